#include "installer/flow/Installation.h"

#include <algorithm>
#include <cwctype>
#include <optional>

#include "core/install/InstallFolder.h"
#include "core/product/Product.h"
#include "core/text/NumberText.h"
#include "installer/flow/RunningClient.h"
#include "installer/flow/WorkerReport.h"
#include "win/base/Files.h"
#include "win/base/Owners.h"
#include "win/base/Text.h"
#include "win/install/ManifestFile.h"

namespace {

// The string value `name` of the uninstall entry, or empty.
std::wstring EntryText(HKEY entry, const wchar_t* name) {
  DWORD type = 0, bytes = 0;
  if (RegQueryValueExW(entry, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ) || bytes % 2 != 0 || bytes > 65536) {
    return {};
  }
  std::wstring value(bytes / 2 + 1, L'\0');
  if (RegQueryValueExW(entry, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                       &bytes) != ERROR_SUCCESS) {
    return {};
  }
  value.resize(std::wcslen(value.c_str()));
  return value;
}

// `value` as a folder an installation may have been in (ending with '\'): "X:\..." without
// '%', there, spelled in the code page, no link. Empty otherwise.
std::wstring InstallationFolder(std::wstring value) {
  while (!value.empty() && value.back() == L'\\')
    value.pop_back();
  const bool drive =
      value.size() >= 3 && std::iswalpha(value[0]) && value[1] == L':' && value[2] == L'\\';
  const DWORD attributes = drive ? GetFileAttributesW(value.c_str()) : INVALID_FILE_ATTRIBUTES;
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & kLinkOrFolder) != FILE_ATTRIBUTE_DIRECTORY ||
      CheckInstallFolder(Utf16(value + L"\\"), 0) != FolderVerdict::kOk ||
      !SpelledInCodePage(value)) {
    return {};
  }
  return value + L"\\";
}

std::optional<FileStamp> StampOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & kLinkOrFolder)) {
    return std::nullopt;
  }
  return FileStamp{(std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow,
                   (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                       data.ftLastWriteTime.dwLowDateTime};
}

// Why an earlier folder is not acted on, for the log.
const wchar_t* WhyLeft(FolderTrust trust) {
  switch (trust) {
    case FolderTrust::kMissing:
      return L"is not there";
    case FolderTrust::kLink:
      return L"is a link or lies below one";
    default:
      return L"is not provably the installation's own (its owner or rights let others "
             L"than administrators change it)";
  }
}

struct Call {
  void (*work)(void*);
  void* context;
};

DWORD WINAPI CallOnThread(LPVOID call) {
  const auto* c = static_cast<const Call*>(call);
  c->work(c->context);
  return 0;
}

}  // namespace

void Installation::OnAThread(void (*work)(void*), void* context, const wchar_t* status) {
  if (!interaction_.HasWindow()) {
    work(context);
    return;
  }
  Call call{work, context};
  const UniqueHandle thread(CreateThread(nullptr, 0, CallOnThread, &call, 0, nullptr));
  if (thread.valid())
    interaction_.Wait(thread.get(), INFINITE, status);
  else
    work(context);
}

// --- Find ------------------------------------------------------------------------------------

Stop Installation::Find(bool mayCloseApplications) {
  SetupLog& log = interaction_.Log();
  if (const Stop stop = EndInterrupted())
    return stop;
  ReadEarlierEntry();
  const ClientProcesses found = FindClientProcesses(earlierFolder_);
  // A program that only loaded a module is not ended for it (the system's shell may be
  // one): a file of it still in use goes at the next restart.
  for (const auto& [pid, program] : found.modules) {
    log.Line(L"process " + DecimalText<wchar_t>(pid) + L" (" + program +
             L") loaded a module of the installation");
  }
  if (found.programs.empty()) {
    log.Line(L"the client is not running");
  } else {
    for (const DWORD pid : found.programs)
      log.Line(L"process " + DecimalText<wchar_t>(pid) + L" runs the client");
    if (!mayCloseApplications) {
      interaction_.Tell(L"程序正在运行，请关闭后重新运行安装程序");
      return SetupExit::kApplicationsOpen;
    }
    if (!interaction_.Ask(Question::kEndClient, L"程序正在运行，点击确定将终止后继续"))
      return SetupExit::kCancelled;
    consent_ = true;  // it is closed once every check has passed
  }
  if (!found_)
    return {};
  if (!interaction_.Ask(Question::kRemovePrevious, L"你已经安装过此程序，需卸载后继续"))
    return SetupExit::kCancelled;
  const std::optional<int> order = CompareVersions(Utf16(earlierVersion_), Utf16(version_.text));
  if (order && *order > 0) {
    log.Line(L"the earlier version " + earlierVersion_ + L" is newer than this one, " +
             version_.text);
    if (!interaction_.Ask(Question::kDowngrade, L"已安装的版本 " + earlierVersion_ +
                                                    L" 比此安装程序的版本 " + version_.text +
                                                    L" 新。是否仍要安装此版本？")) {
      return SetupExit::kCancelled;
    }
  }
  return {};
}

void Installation::ReadEarlierEntry() {
  RegKey key;
  found_ = RegOpenKeyExW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, 0, KEY_READ, key.put()) ==
           ERROR_SUCCESS;
  if (!found_) {
    interaction_.Log().Line(L"no earlier installation");
    return;
  }
  const std::wstring location = EntryText(key.get(), L"InstallLocation");
  earlierFolder_ = InstallationFolder(location);
  earlierVersion_ = EntryText(key.get(), L"DisplayVersion");
  earlierMade_ = EntryText(key.get(), product::kCreatedFolderValue);
  DWORD type = 0, bytes = 0;
  if (RegQueryValueExW(key.get(), product::kFileStampsValue, nullptr, &type, nullptr, &bytes) ==
          ERROR_SUCCESS &&
      type == REG_BINARY && bytes <= (DWORD{64} << 20)) {
    earlierStamps_.resize(bytes);
    if (RegQueryValueExW(key.get(), product::kFileStampsValue, nullptr, &type,
                         earlierStamps_.data(), &bytes) != ERROR_SUCCESS) {
      earlierStamps_.clear();
    }
  }
  // The values the new entry replaces.
  interaction_.Log().Line(L"the earlier installation: version " + earlierVersion_ + L" in \"" +
                          location + L"\", removed by " + EntryText(key.get(), L"UninstallString") +
                          L"; this installer's version " + version_.text);
}

// An installation a kill interrupted names the journal of its transaction in the entry (an
// older installer's lies in the entry's folder): it is ended first, from what is on disk,
// and only where the folder is provably the installation's own.
Stop Installation::EndInterrupted() {
  SetupLog& log = interaction_.Log();
  std::wstring folder;
  {
    RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS) {
      return {};
    }
    const std::wstring marked = EntryText(key.get(), product::kJournalValue);
    folder = InstallationFolder(marked.empty() ? EntryText(key.get(), L"InstallLocation") : marked);
    const DWORD aside = GetFileAttributesW((folder + product::kAsideFolder).c_str());
    if (marked.empty() && (aside == INVALID_FILE_ATTRIBUTES || !(aside & FILE_ATTRIBUTE_DIRECTORY)))
      return {};
    if (!marked.empty() && folder.empty())
      log.Line(L"the journal the entry names is not in a folder an installation may be in: " +
               marked);
  }
  Win32Transaction host(log);
  HeldFolder held;
  const FolderTrust trust =
      folder.empty() ? FolderTrust::kMissing : HoldExistingFolder(folder, &held);
  if (trust != FolderTrust::kOwn) {
    log.Line(L"an upgrade did not end in " + folder + L", which " + WhyLeft(trust) +
             L": nothing in it is acted on");
    host.MarkJournal(u"");
    return {};
  }
  host.AddFolder(held.path, std::move(held.handles));
  // Its journal names the new installation's folder, which is acted on too where it is
  // provably its own.
  std::string text;
  Journal journal;
  if (host.ReadJournal(Utf16(folder), &text) == Step::kDone && ParseJournal(text, &journal) &&
      !journal.target.empty() && !SamePath(Wide(journal.target), folder)) {
    HeldFolder target;
    const FolderTrust targetTrust = HoldExistingFolder(Wide(journal.target), &target);
    if (targetTrust == FolderTrust::kOwn)
      host.AddFolder(target.path, std::move(target.handles));
    else
      log.Line(L"the new installation's folder " + Wide(journal.target) + L" " +
               WhyLeft(targetTrust) + L": nothing in it is acted on");
  }
  struct Ending {
    Win32Transaction& host;
    std::u16string folder;
    Recovery recovery = Recovery::kNone;
  } ending{host, Utf16(folder), Recovery::kNone};
  OnAThread(
      [](void* context) {
        auto* e = static_cast<Ending*>(context);
        e->recovery = Recover(e->host, e->folder);
      },
      &ending, L"正在恢复旧版本…");
  if (ending.recovery == Recovery::kLeft || ending.recovery == Recovery::kUnreadable) {
    interaction_.Tell(product::kPreviousNotRemoved);
    return SetupExit::kPreviousNotRemoved;
  }
  return {};
}

// --- Prepare ---------------------------------------------------------------------------------

Stop Installation::Prepare(const std::wstring& typed, const PackageFacts& package) {
  package_ = package;
  std::wstring folder;
  if (const Stop stop = CheckFolderRules(typed, package, interaction_, &folder))
    return stop;
  // Before the folder is made or protected: it may be the earlier one.
  if (const Stop stop = ExamineEarlier())
    return stop;
  if (const Stop stop = MakeInstallFolder(folder, package, interaction_, &prepared_)) {
    earlierHeld_ = HeldFolder{};
    return stop;
  }
  inPlace_ = setAside_ && SameFile(earlierHeld_.handles.back().get(), prepared_.held.back().get());
  earlier_.folder = Utf16(inPlace_ ? prepared_.folder : earlierHeld_.path);
  return {};
}

Stop Installation::ExamineEarlier() {
  SetupLog& log = interaction_.Log();
  setAside_ = false;
  earlierHeld_ = HeldFolder{};
  if (!found_)
    return {};
  const FolderTrust trust = earlierFolder_.empty()
                                ? FolderTrust::kMissing
                                : HoldExistingFolder(earlierFolder_, &earlierHeld_);
  if (trust != FolderTrust::kOwn) {
    earlierHeld_ = HeldFolder{};
    log.Line(L"the earlier installation's folder " + earlierFolder_ + L" " + WhyLeft(trust) +
             L": nothing in it is run, moved or deleted, and its entry is replaced");
    return {};
  }
  const std::wstring manifest = earlierFolder_ + product::kManifestFile;
  const DWORD attributes = GetFileAttributesW(manifest.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    log.Line(earlierFolder_ +
             L" holds no manifest: what is in it stays, and the earlier "
             L"installation's entry is replaced");
    earlierHeld_ = HeldFolder{};
    return {};
  }
  const UniqueHandle readable(CreateFileW(manifest.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  const DWORD error = GetLastError();
  if ((attributes & kLinkOrFolder) || !readable.valid()) {
    log.Line((attributes & kLinkOrFolder)
                 ? L"the earlier manifest " + manifest + L" is a link or a folder"
                 : WithError(L"the earlier manifest cannot be read: " + manifest, error));
    interaction_.Tell(product::kPreviousNotRemoved);
    return SetupExit::kPreviousNotRemoved;
  }
  const ManifestLists lists = ReadManifest(ToCodePage(manifest));
  const std::size_t room =
      earlierFolder_.size() < kMaxFullPathUnits ? kMaxFullPathUnits - earlierFolder_.size() : 0;
  earlier_ = EarlierInstallation{};
  earlier_.keptList = lists.kept;
  earlier_.plan = PlanRemoval(lists.files, lists.folders, lists.kept, room);
  for (const std::u16string& refused : earlier_.plan.refused)
    log.Line(L"the earlier manifest's entry " + Wide(refused) + L" is refused: it stays");
  std::vector<std::optional<FileStamp>> now;
  for (const std::u16string& file : lists.files)
    now.push_back(StampOf(earlierFolder_ + Wide(file)));
  earlier_.changed = ChangedFiles(lists.files, earlierStamps_, now);
  for (const std::u16string& file : earlier_.changed) {
    log.Line(earlierFolder_ + Wide(file) + L" was changed since it was installed: it stays, and " +
             L"an upgrade in its folder writes the new version beside it as " + Wide(file) +
             Wide(kBesideSuffix));
  }
  earlier_.made = Utf16(earlierMade_);
  setAside_ = true;
  return {};
}

// --- Begin and the run -----------------------------------------------------------------------

Stop Installation::Begin(bool mayCloseApplications) {
  // The client is closed only now that nothing can refuse any more.
  const ClientProcesses found = FindClientProcesses(earlierFolder_);
  if (!found.programs.empty()) {
    if (!mayCloseApplications) {
      interaction_.Tell(L"程序正在运行，请关闭后重新运行安装程序");
      return SetupExit::kApplicationsOpen;
    }
    if (!consent_ && !interaction_.Ask(Question::kEndClient, L"程序正在运行，点击确定将终止后继续"))
      return SetupExit::kCancelled;
    if (const Stop stop = CloseClient(found, interaction_))
      return stop;
  }
  host_ = std::make_unique<Win32Transaction>(interaction_.Log());
  host_->AddFolder(prepared_.folder, std::move(prepared_.held));
  if (setAside_ && !inPlace_)
    host_->AddFolder(earlierHeld_.path, std::move(earlierHeld_.handles));
  transaction_ = std::make_unique<Transaction>(
      *host_, Utf16(prepared_.folder),
      prepared_.created.empty() ? std::u16string() : Utf16(prepared_.created.front() + L"\\"));
  if (!setAside_)
    return {};
  struct Aside {
    Installation& self;
    bool done = false;
  } aside{*this, false};
  OnAThread(
      [](void* context) {
        auto* a = static_cast<Aside*>(context);
        a->done = a->self.transaction_->SetAside(a->self.earlier_);
      },
      &aside, nullptr);
  if (!aside.done) {
    interaction_.Tell(product::kPreviousNotRemoved);
    return SetupExit::kPreviousNotRemoved;
  }
  return {};
}

void Installation::Configure(InstallWorker& worker) const {
  lstrcpynW(worker.installFolder_, prepared_.folder.c_str(), kPathBlockUnits);
  worker.freshFolder_ = prepared_.fresh;
  if (package_.summarized)
    worker.summary_ = package_.check;
  if (transaction_ != nullptr && transaction_->InPlace()) {
    worker.carriedKept_ = earlier_.keptList;
    worker.userChanged_ = earlier_.changed;
  }
}

// --- Commit or Undo --------------------------------------------------------------------------

SetupExit Installation::Commit(const InstallOutcome& outcome) {
  // The record of what the user may change: each file as the run left it; the files the
  // user had changed get none that matches (zeros), so that they stay theirs.
  const std::size_t listed = outcome.installedFiles.size() + outcome.userKept.size();
  std::vector<std::uint8_t> stamps;
  stamps.reserve(listed * kFileStampBytes);
  for (const std::u16string_view file : outcome.installedFiles)
    AppendFileStamp(StampOf(prepared_.folder + Wide(file)).value_or(FileStamp{}), &stamps);
  stamps.resize(listed * kFileStampBytes);
  // The outermost folder made for it, or - in the earlier one's folder - the earlier one's.
  const std::wstring made = !prepared_.created.empty() ? prepared_.created.front()
                            : inPlace_                 ? earlierMade_
                                                       : std::wstring();
  struct Committing {
    Transaction& transaction;
    std::vector<EntryValue> entry;
    Transaction::Committed committed;
  } committing{*transaction_,
               UninstallEntryValues(prepared_.folder, outcome.installedBytes, version_, made,
                                    std::move(stamps)),
               {}};
  OnAThread(
      [](void* context) {
        auto* c = static_cast<Committing*>(context);
        c->committed = c->transaction.Commit(c->entry);
      },
      &committing, nullptr);
  const Transaction::Committed& committed = committing.committed;
  if (!committed.committed) {
    const std::wstring journal = earlierHeld_.path + product::kAsideFolder + L"\\journal";
    interaction_.Tell(FailureMessage(INSTALL_CREATE_FAILED, journal));
    Undo(outcome);
    return SetupExit::kWriteFailed;
  }
  if (found_ && !setAside_) {
    interaction_.Log().Line(L"the earlier installation's entry is replaced; what was in " +
                            earlierFolder_ + L" stays as it was");
  }
  if (!committed.entryWritten) {
    interaction_.Tell(L"无法写入卸载信息，请重新运行安装程序");
    return SetupExit::kFatal;
  }
  return committed.restart ? SetupExit::kRestartRequired : SetupExit::kInstalled;
}

void Installation::Undo(const InstallOutcome& outcome) {
  struct Undoing {
    Transaction& transaction;
    RunWritten run;
    unsigned left = 0;
  } undoing{
      *transaction_,
      {outcome.installedFiles, outcome.keptFiles, outcome.madeUninstaller, outcome.madeManifest},
      0};
  interaction_.Log().Line(L"removing what was written");
  OnAThread(
      [](void* context) {
        auto* u = static_cast<Undoing*>(context);
        u->left = u->transaction.RollBack(u->run, true);
      },
      &undoing, nullptr);
  interaction_.Log().Line(undoing.left == 0 ? L"removed what was written"
                                            : DecimalText<wchar_t>(undoing.left) +
                                                  L" entries stay for the next installer");
  Abandon();
}

void Installation::Abandon() {
  transaction_.reset();
  host_.reset();
  earlierHeld_ = HeldFolder{};
  ReleaseInstallFolder(prepared_);
}

void Installation::Finish(const FinishChoices& choices) {
  FinishInstallation(prepared_.folder, choices, interaction_.Log(), found_);
  transaction_.reset();
  host_.reset();
}
