#include "core/install/Transaction.h"

#include <algorithm>

#include "core/package/PayloadPackage.h"
#include "core/package/Utf8.h"
#include "core/text/NumberText.h"

namespace {

// What an older installer's journal (its moved files and *begun only) leaves out, from the
// earlier manifest it set aside with them: the files it did not move are those their user
// changed.
bool DescribeFromEarlierManifest(TransactionHost& host,
                                 const std::u16string& folder,
                                 Journal* journal) {
  const auto manifest = std::find(journal->moved.begin(), journal->moved.end(), kManifestName);
  if (manifest == journal->moved.end())
    return true;
  const std::u16string path = folder + std::u16string(kAsideFolderName) + u'\\' +
                              DecimalText<char16_t>(manifest - journal->moved.begin());
  ManifestLists lists;
  if (!host.ReadManifest(path, &lists))
    return false;
  const std::size_t room =
      folder.size() < kMaxFullPathUnits ? kMaxFullPathUnits - folder.size() : 0;
  const RemovalPlan plan = PlanRemoval(lists.files, lists.folders, lists.kept, room);
  journal->folders = plan.folders;
  journal->kept = plan.kept;
  journal->carried = lists.kept.size();
  for (const std::u16string& file : plan.files) {
    journal->component = journal->component || IsComponentPath(file);
    if (std::find(journal->moved.begin(), journal->moved.end(), file) == journal->moved.end())
      journal->changed.push_back(file);
  }
  return true;
}

// What the new run in `target` wrote, from its manifest, as a removal takes it: not the
// files its user changed that it listed in place, nor the KEPT lines it carried on.
// False when the manifest is there but cannot be read.
bool WrittenByManifest(TransactionHost& host,
                       const std::u16string& target,
                       bool inPlace,
                       const Journal& journal,
                       RunWritten* written) {
  ManifestLists lists;
  if (!host.ReadManifest(target + std::u16string(kManifestName), &lists))
    return false;
  const std::size_t room =
      target.size() < kMaxFullPathUnits ? kMaxFullPathUnits - target.size() : 0;
  const RemovalPlan plan = PlanRemoval(lists.files, lists.folders, lists.kept, room);
  RunWritten run;
  for (const std::u16string& file : plan.files) {
    if (!inPlace ||
        std::find(journal.changed.begin(), journal.changed.end(), file) == journal.changed.end()) {
      run.files.push_back(file);
    }
  }
  const std::size_t carried = inPlace ? journal.carried : 0;
  for (const KeptFile& kept : plan.kept) {
    std::size_t number = 0;
    if (ParseDecimal(std::u16string_view(kept.kept).substr(kKeptFolderName.size() + 1), 9,
                     &number) &&
        number >= carried) {
      run.kept.push_back(kept);
    }
  }
  run.madeUninstaller = run.madeManifest = true;
  *written = std::move(run);
  return true;
}

// `folder` and the folders above it up to `outermost`, deepest first; only `folder` when
// `outermost` is not it or a folder above it.
std::vector<std::u16string> FoldersUpTo(const std::u16string& folder,
                                        const std::u16string& outermost) {
  std::vector<std::u16string> chain{folder};
  std::u16string top = outermost;
  if (!top.empty() && top.back() != u'\\')
    top += u'\\';
  if (top.empty() || top.size() >= folder.size() || folder.compare(0, top.size(), top) != 0)
    return chain;
  for (std::u16string at = folder; at.size() > top.size();) {
    at.pop_back();
    at.resize(at.rfind(u'\\') + 1);
    chain.push_back(at);
  }
  return chain;
}

}  // namespace

Transaction::Transaction(TransactionHost& host, std::u16string target, std::u16string made)
    : host_(host), target_(std::move(target)), made_(std::move(made)) {}

std::u16string Transaction::AsidePath(std::size_t n) const {
  return earlier_ + std::u16string(kAsideFolderName) + u'\\' + DecimalText<char16_t>(n);
}

bool Transaction::SetAside(const EarlierInstallation& earlier) {
  earlier_ = earlier.folder;
  const bool inPlace = earlier_ == target_;
  journal_ = Journal{};
  journal_.described = true;
  journal_.target = target_;
  journal_.made = made_;
  journal_.earlierMade = earlier.made;
  journal_.changed = earlier.changed;
  journal_.carried = inPlace ? earlier.keptList.size() : 0;
  journal_.kept = earlier.plan.kept;
  journal_.folders = earlier.plan.folders;
  for (const std::u16string& file : earlier.plan.files) {
    journal_.component = journal_.component || IsComponentPath(file);
    if (std::find(earlier.changed.begin(), earlier.changed.end(), file) == earlier.changed.end())
      journal_.moved.push_back(file);
  }
  // Last: while the earlier manifest is in its place, it tells the earlier files from the
  // new run's.
  journal_.moved.emplace_back(kUninstallerName);
  journal_.moved.emplace_back(kManifestName);
  if (!host_.MarkJournal(earlier_)) {
    host_.Note(u"could not note the journal in the uninstall entry");
    return false;
  }
  if (!host_.MakeJournal(earlier_, JournalText(journal_))) {
    host_.Note(u"could not make the journal in " + earlier_ + std::u16string(kAsideFolderName));
    host_.MarkJournal(u"");
    return false;
  }
  aside_ = true;
  for (std::size_t n = 0; n < journal_.moved.size(); ++n) {
    if (host_.Move(earlier_ + journal_.moved[n], AsidePath(n)) != Step::kFailed)
      continue;
    host_.Note(u"could not set " + earlier_ + journal_.moved[n] + u" aside");
    RollBack({}, false);
    return false;
  }
  if (!host_.AppendJournal(earlier_, std::string(kJournalBegun))) {
    host_.Note(u"could not write to the journal");
    RollBack({}, false);
    return false;
  }
  journal_.begun = true;
  host_.Note(u"set the earlier installation in " + earlier_ + u" aside (" +
             DecimalText<char16_t>(journal_.moved.size()) + u" files)");
  return true;
}

unsigned Transaction::RollBack(const RunWritten& run, bool live) {
  unsigned left = 0;
  // Its classes go first, while its component is there to be asked. A run that did not
  // write the component registered nothing, and a component there is not its own.
  const bool component = std::any_of(run.files.begin(), run.files.end(), IsComponentPath);
  if (live && component && host_.Served(target_)) {
    if (host_.Unregister(target_, true)) {
      host_.Note(u"removed the registration of the component in " + target_);
    } else {
      host_.Note(u"could not remove the registration of the component in " + target_);
      ++left;
    }
  }
  const auto remove = [&](const std::u16string& path) {
    if (host_.Remove(path) == Step::kFailed) {
      host_.Note(u"could not remove " + path);
      ++left;
    }
  };
  for (const std::u16string_view file : run.files)
    remove(target_ + std::u16string(file));
  if (run.madeUninstaller)
    remove(target_ + std::u16string(kUninstallerName));
  for (const KeptFile& kept : run.kept) {
    const std::u16string place = target_ + kept.path;
    if (host_.Move(target_ + kept.kept, place) == Step::kFailed) {
      host_.Note(u"could not put back " + place);
      ++left;
    }
  }
  // While something of the run stays, its manifest names it.
  if (run.madeManifest && left == 0)
    remove(target_ + std::u16string(kManifestName));
  if (aside_) {
    if (live && !journal_.removed) {
      // The earlier files come back only over places the run no longer holds.
      if (left != 0) {
        host_.Note(u"the earlier installation stays aside until the new one's files are gone");
        return left;
      }
      if (!host_.AppendJournal(earlier_, std::string(kJournalRemoved))) {
        host_.Note(u"could not write to the journal");
        return 1;
      }
      journal_.removed = true;
    }
    for (std::size_t n = 0; n < journal_.moved.size(); ++n) {
      const std::u16string place = earlier_ + journal_.moved[n];
      if (host_.Move(AsidePath(n), place) == Step::kFailed) {
        host_.Note(u"could not put back " + place);
        ++left;
      }
    }
    if (left == 0 && journal_.component && !host_.Served(earlier_)) {
      if (host_.Register(earlier_)) {
        host_.Note(u"registered the earlier component again");
      } else {
        host_.Note(u"could not register the earlier component again");
        ++left;
      }
    }
  }
  // The folders last: the earlier files went back into them.
  std::vector<std::u16string> folders = ManifestFolders(run.files);
  folders.emplace_back(kKeptFolderName);
  for (const std::u16string& folder : folders)
    host_.RemoveFolder(target_ + folder);
  if (left == 0)
    RemoveMadeFolders();
  if (aside_ && left == 0) {
    CloseJournal();
    host_.Note(u"put the earlier installation back");
  }
  return left;
}

void Transaction::CloseJournal() {
  // A journal that stays, while the entry no longer names it, would be found by no one.
  if (!host_.RemoveJournal(earlier_)) {
    host_.Note(u"could not delete the journal: the next installer ends the upgrade");
    return;
  }
  host_.MarkJournal(u"");
  aside_ = false;
}

void Transaction::RemoveMadeFolders() {
  if (made_.empty())
    return;
  for (const std::u16string& folder : FoldersUpTo(target_, made_)) {
    if (host_.RemoveFolder(folder) != Step::kDone)
      return;
  }
}

Transaction::Committed Transaction::Commit(const std::vector<EntryValue>& entry) {
  Committed result;
  if (aside_) {
    if (!host_.AppendJournal(earlier_, CommitText(entry))) {
      host_.Note(u"could not write the commit to the journal");
      return result;
    }
    journal_.entry = entry;
    journal_.committed = true;
  }
  result.committed = true;
  result.entryWritten = host_.WriteEntry(entry);
  if (!result.entryWritten) {
    host_.Note(u"could not write the uninstall entry");
    return result;  // with a journal, the next installer writes it
  }
  if (aside_)
    result.restart = RollForward();
  return result;
}

bool Transaction::RollForward() {
  unsigned left = 0;
  bool restart = false;
  for (std::size_t n = 0; n < journal_.moved.size(); ++n) {
    const std::u16string path = AsidePath(n);
    if (host_.Remove(path) != Step::kFailed)
      continue;
    // In use (a module a program loaded): under a name of its own, so that no later
    // upgrade's file is ever the one the restart deletes.
    if (host_.RemoveAtRestart(path, path)) {
      host_.Note(u"in use, deleted at the next restart: " + earlier_ + journal_.moved[n]);
      restart = true;
    } else {
      host_.Note(u"could not remove " + path);
      ++left;
    }
  }
  const bool elsewhere = earlier_ != target_;
  if (elsewhere) {
    // What was in the earlier folder before it goes back; its registration and shortcuts,
    // which name that folder, go.
    for (const KeptFile& kept : journal_.kept) {
      if (host_.Move(earlier_ + kept.kept, earlier_ + kept.path) == Step::kFailed) {
        host_.Note(u"could not put back " + earlier_ + kept.path);
        ++left;
      }
    }
    if (host_.RemoveFolder(earlier_ + std::u16string(kKeptFolderName)) == Step::kFailed)
      ++left;
    if (host_.Served(earlier_) && !host_.Unregister(earlier_, false)) {
      host_.Note(u"could not remove the registration of the component in " + earlier_);
      ++left;
    }
    if (!host_.RemoveShortcuts()) {
      host_.Note(u"could not delete the earlier shortcuts");
      ++left;
    }
  }
  for (const std::u16string& folder : journal_.folders) {
    if (host_.RemoveFolder(earlier_ + folder) == Step::kFailed)
      ++left;
  }
  if (left != 0) {
    host_.Note(u"the journal stays: the next installer completes the removal");
    return restart;
  }
  CloseJournal();
  if (aside_)
    return restart;
  if (elsewhere)
    RemoveEarlierFolders(restart);
  host_.Note(restart ? u"removed the earlier installation; a restart completes it"
                     : u"removed the earlier installation");
  return restart;
}

void Transaction::RemoveEarlierFolders(bool restart) {
  const std::vector<std::u16string> chain = FoldersUpTo(earlier_, journal_.earlierMade);
  std::size_t removed = 0;
  while (removed < chain.size() && host_.RemoveFolder(chain[removed]) == Step::kDone)
    ++removed;
  if (!restart || removed == chain.size())
    return;
  // A file that goes at the restart keeps its folders until then: they go after it.
  for (const std::u16string& folder : journal_.folders)
    host_.RemoveFolderAtRestart(earlier_ + folder);
  for (std::size_t n = removed; n < chain.size(); ++n)
    host_.RemoveFolderAtRestart(chain[n]);
}

Recovery Recover(TransactionHost& host, const std::u16string& folder) {
  std::string text;
  const Step read = host.ReadJournal(folder, &text);
  if (read == Step::kFailed) {
    host.Note(u"the journal in " + folder + u" cannot be read");
    return Recovery::kLeft;
  }
  if (read == Step::kAbsent) {
    // An older installer's commit deleted its journal first; a transaction that never made
    // one set nothing aside. What is aside goes either way.
    const Step aside = host.RemoveAside(folder);  // kKept: files that go at the next restart
    if (aside == Step::kFailed) {
      host.Note(u"could not delete what an upgrade set aside in " + folder);
      return Recovery::kLeft;
    }
    host.MarkJournal(u"");
    if (aside != Step::kDone)
      return Recovery::kNone;
    host.Note(u"deleted what an upgrade that ended had set aside in " + folder);
    return Recovery::kRolledForward;
  }
  Journal journal;
  if (!ParseJournal(text, &journal)) {
    host.Note(u"the journal in " + folder + u" cannot be trusted: nothing is done");
    return Recovery::kUnreadable;
  }
  if (!journal.described && !DescribeFromEarlierManifest(host, folder, &journal)) {
    host.Note(u"the earlier manifest set aside in " + folder + u" cannot be read");
    return Recovery::kLeft;
  }
  Transaction transaction(host, journal.target.empty() ? folder : journal.target, journal.made);
  transaction.earlier_ = folder;
  transaction.journal_ = journal;
  transaction.aside_ = true;
  if (journal.committed) {
    host.Note(u"an upgrade from " + folder + u" was committed and did not end: completing it");
    if (!host.WriteEntry(journal.entry)) {
      host.Note(u"could not write the uninstall entry");
      return Recovery::kLeft;
    }
    transaction.RollForward();
    return transaction.aside_ ? Recovery::kLeft : Recovery::kRolledForward;
  }
  host.Note(u"an upgrade from " + folder + u" did not end: putting the earlier installation back");
  const bool live = journal.begun && !journal.removed;
  RunWritten run;
  if (live &&
      !WrittenByManifest(host, transaction.target_, transaction.target_ == folder, journal, &run)) {
    host.Note(u"the new installation's manifest in " + transaction.target_ + u" cannot be read");
    return Recovery::kLeft;
  }
  if (transaction.RollBack(run, live) != 0 || transaction.aside_)
    return Recovery::kLeft;
  return Recovery::kRolledBack;
}
