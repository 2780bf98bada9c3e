// An installation is one transaction: whichever step of setting the earlier installation
// aside, writing the new one, committing or recovering fails or is cut off by a kill, the
// PC ends - once the next installer has recovered - with the earlier installation whole or
// the new one whole, never neither; the file its user changed is kept and still told apart
// by the next upgrade; and no class is registered to a file that is not there.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/install/InstallRun.h"
#include "core/install/Transaction.h"
#include "core/package/PayloadPackage.h"
#include "core/package/Utf8.h"
#include "tests/unit/deflate_writer.h"

namespace {

const std::u16string kOld = u"D:\\g\\old\\";
const std::u16string kNew = u"D:\\g\\new\\";
const std::u16string kClass = u"{6A1F3E2B-7C4D-4E59-9B1A-2D3C4B5A6978}";
const std::u16string kJournalValue = u"UpgradeJournal";
const std::string kUserEdit = "the user's own settings";

std::u16string Parent(const std::u16string& path) {
  const std::size_t cut = path.rfind(u'\\');
  return cut == std::u16string::npos ? u"" : path.substr(0, cut);
}

std::u16string NoSlash(std::u16string folder) {
  while (!folder.empty() && folder.back() == u'\\')
    folder.pop_back();
  return folder;
}

struct File {
  std::string bytes;
  std::uint64_t written = 0;
  bool loaded = false;  // a module a program loaded: it may be renamed, not deleted
};

// The PC as far as an installation touches it.
struct World {
  std::map<std::u16string, File> files;
  std::set<std::u16string> folders;  // without their trailing '\'
  std::map<std::u16string, EntryValue> entry;
  std::map<std::u16string, std::u16string> classes;  // class -> the file serving it
  std::set<std::u16string> shortcuts;
  std::vector<std::u16string> atRestart;
  std::uint64_t clock = 0;

  void MakeFolders(const std::u16string& path) {
    for (std::size_t cut = path.find(u'\\', 3); cut != std::u16string::npos;
         cut = path.find(u'\\', cut + 1)) {
      folders.insert(path.substr(0, cut));
    }
  }
  void Write(const std::u16string& path, const std::string& bytes) {
    MakeFolders(path);
    files[path] = {bytes, ++clock};
  }
  bool Holds(const std::u16string& folder) const {
    const std::u16string below = NoSlash(folder) + u'\\';
    const auto starts = [&below](const std::u16string& p) { return p.rfind(below, 0) == 0; };
    return std::any_of(files.begin(), files.end(),
                       [&](const auto& f) { return starts(f.first); }) ||
           std::any_of(folders.begin(), folders.end(), starts);
  }
  std::u16string Text(const std::u16string& name) const {
    const auto it = entry.find(name);
    return it == entry.end() ? u"" : it->second.text;
  }
  std::string Bytes(const std::u16string& path) const {
    const auto it = files.find(path);
    return it == files.end() ? "<none>" : it->second.bytes;
  }
  std::optional<FileStamp> Stamp(const std::u16string& path) const {
    const auto it = files.find(path);
    if (it == files.end())
      return std::nullopt;
    return FileStamp{it->second.bytes.size(), it->second.written};
  }
};

// A manifest's text read back as the profile calls read it.
ManifestLists ReadLists(const std::string& text) {
  std::string files, folders;
  std::string* section = nullptr;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find("\r\n", at);
    end = end == std::string::npos ? text.size() : end;
    const std::string line = text.substr(at, end - at);
    at = end + 2;
    if (line == "[InstallFileInfo]")
      section = &files;
    else if (line == "[InstallDirectoryInfo]")
      section = &folders;
    else if (section != nullptr)
      *section += line + '\0';
  }
  ManifestLists lists;
  const auto read = [](const std::string& s, const char* prefix, EmptyValue empty,
                       std::vector<std::u16string>* out) {
    for (const std::string& value : NumberedValues(s, prefix, empty)) {
      std::u16string wide;
      EXPECT_TRUE(Utf8ToUtf16(value, &wide));
      out->push_back(wide);
    }
  };
  read(files, "FILE", EmptyValue::kEndsTheList, &lists.files);
  read(files, "KEPT", EmptyValue::kEndsTheList, &lists.kept);
  read(folders, "DIRECTORY", EmptyValue::kSkipped, &lists.folders);
  return lists;
}

// The PC's operations, the Nth of which fails, or - a kill - from which on every one fails
// without effect. Queries of the registration do not count: they change nothing.
class Host : public TransactionHost, public InstallFiles {
 public:
  explicit Host(World& world, int failAt = -1, bool kill = false)
      : w_(world), failAt_(failAt), kill_(kill) {}
  int operations = 0;
  bool Killed() const { return kill_ && failAt_ >= 0 && operations > failAt_; }

  // --- TransactionHost ---
  bool MakeJournal(const std::u16string& folder, const std::string& text) override {
    if (Fails() || w_.files.count(Journal(folder)) != 0)
      return false;
    w_.Write(Journal(folder), text);
    return true;
  }
  bool AppendJournal(const std::u16string& folder, const std::string& text) override {
    if (Fails() || w_.files.count(Journal(folder)) == 0)
      return false;
    w_.files[Journal(folder)].bytes += text;
    return true;
  }
  Step ReadJournal(const std::u16string& folder, std::string* text) override {
    if (Fails())
      return Step::kFailed;
    if (w_.files.count(Journal(folder)) == 0)
      return Step::kAbsent;
    *text = w_.files[Journal(folder)].bytes;
    return Step::kDone;
  }
  bool RemoveJournal(const std::u16string& folder) override {
    if (Fails())
      return false;
    w_.files.erase(Journal(folder));
    if (!w_.Holds(Aside(folder)))
      w_.folders.erase(Aside(folder));
    return true;
  }
  Step RemoveAside(const std::u16string& folder) override {
    if (Fails())
      return Step::kFailed;
    if (w_.folders.count(Aside(folder)) == 0)
      return Step::kAbsent;
    for (auto it = w_.files.begin(); it != w_.files.end();) {
      if (it->first.rfind(Aside(folder) + u'\\', 0) == 0 && !it->second.loaded)
        it = w_.files.erase(it);
      else
        ++it;
    }
    if (w_.Holds(Aside(folder)))
      return Step::kKept;
    w_.folders.erase(Aside(folder));
    return Step::kDone;
  }
  bool MarkJournal(const std::u16string& folder) override {
    if (Fails())
      return false;
    if (folder.empty())
      w_.entry.erase(kJournalValue);
    else
      w_.entry[kJournalValue] = EntryValue::Text(kJournalValue, folder);
    return true;
  }
  Step Move(const std::u16string& from, const std::u16string& to) override {
    if (Fails())
      return Step::kFailed;
    if (w_.files.count(from) == 0)
      return Step::kAbsent;
    if (w_.files.count(to) != 0 || w_.folders.count(to) != 0 || w_.folders.count(Parent(to)) == 0)
      return Step::kFailed;
    w_.files[to] = w_.files[from];
    w_.files.erase(from);
    return Step::kDone;
  }
  Step Remove(const std::u16string& path) override {
    if (Fails() || w_.folders.count(path) != 0)
      return Step::kFailed;
    const auto it = w_.files.find(path);
    if (it == w_.files.end())
      return Step::kAbsent;
    if (it->second.loaded)
      return Step::kFailed;
    w_.files.erase(it);
    return Step::kDone;
  }
  Step RemoveFolder(const std::u16string& path) override {
    const std::u16string folder = NoSlash(path);
    if (Fails())
      return Step::kFailed;
    if (w_.folders.count(folder) == 0)
      return Step::kAbsent;
    if (w_.Holds(folder))
      return Step::kKept;
    w_.folders.erase(folder);
    return Step::kDone;
  }
  bool RemoveAtRestart(const std::u16string& path, const std::u16string& place) override {
    if (Fails() || w_.files.count(path) == 0)
      return false;
    std::u16string name = place + u".4242.del";
    for (char16_t k = u'1'; w_.files.count(name) != 0; ++k)
      name = place + u".4242." + k + u".del";
    w_.files[name] = w_.files[path];
    w_.files.erase(path);
    w_.atRestart.push_back(name);
    return true;
  }
  bool RemoveFolderAtRestart(const std::u16string& path) override {
    if (Fails())
      return false;
    w_.atRestart.push_back(path);
    return true;
  }
  bool ReadManifest(const std::u16string& path, ManifestLists* lists) override {
    if (Fails())
      return false;
    *lists = w_.files.count(path) != 0 ? ReadLists(w_.files[path].bytes) : ManifestLists{};
    return true;
  }
  bool WriteEntry(const std::vector<EntryValue>& values) override {
    if (Fails())
      return false;
    for (const EntryValue& value : values) {
      if (value.kind == EntryValue::Kind::kAbsent)
        w_.entry.erase(value.name);
      else
        w_.entry[value.name] = value;
    }
    return true;
  }
  bool Served(const std::u16string& folder) override {
    return std::any_of(w_.classes.begin(), w_.classes.end(),
                       [&](const auto& c) { return c.second.rfind(folder, 0) == 0; });
  }
  bool Register(const std::u16string& folder) override { return !Fails() && RegisterIn(folder); }
  bool Unregister(const std::u16string& folder, bool) override {
    if (Fails())
      return false;
    for (auto it = w_.classes.begin(); it != w_.classes.end();)
      it = it->second.rfind(folder, 0) == 0 ? w_.classes.erase(it) : std::next(it);
    return true;
  }
  bool RemoveShortcuts() override {
    if (Fails())
      return false;
    w_.shortcuts.clear();
    return true;
  }
  void Note(const std::u16string&) override {}

  // --- InstallFiles ---
  class FakeFile : public File {
   public:
    FakeFile(Host& host, std::u16string path) : host_(host), path_(std::move(path)) {}
    bool Write(const std::uint8_t* data, std::size_t size) override {
      if (host_.Fails())
        return false;
      host_.w_.files[path_].bytes.append(reinterpret_cast<const char*>(data), size);
      return true;
    }
    bool Close() override { return !host_.Fails(); }

   private:
    Host& host_;
    std::u16string path_;
  };
  bool MakeFolders(const std::u16string& path) override {
    if (Fails())
      return false;
    w_.MakeFolders(path);
    return true;
  }
  bool Occupied(const std::u16string& path) override {
    return !Fails() && (w_.files.count(path) != 0 || w_.folders.count(path) != 0);
  }
  bool KeepAside(const std::u16string& path, const std::u16string& keptPath) override {
    if (Fails() || w_.files.count(path) == 0 || w_.files.count(keptPath) != 0)
      return false;
    w_.folders.insert(Parent(keptPath));
    w_.files[keptPath] = w_.files[path];
    w_.files.erase(path);
    return true;
  }
  std::unique_ptr<InstallFiles::File> Create(const std::u16string& path) override {
    if (w_.files.count(path) != 0)
      return Fails(), nullptr;
    return Replace(path);
  }
  std::unique_ptr<InstallFiles::File> Replace(const std::u16string& path) override {
    if (Fails() || (Parent(path) + u'\\' != root && w_.folders.count(Parent(path)) == 0))
      return nullptr;
    w_.files[path] = {"", ++w_.clock};
    return std::make_unique<FakeFile>(*this, path);
  }
  void WriteChannelInfo(const std::u16string& folder) override {
    if (!Fails())
      w_.Write(folder + u"RudodeData\\Spread.ini", "[SpreadInfo]");
  }
  RegistrationResult RegisterComponent(const std::u16string& folder) override {
    return !Fails() && RegisterIn(folder) ? RegistrationResult::kRegistered
                                          : RegistrationResult::kFailed;
  }
  std::string ToAnsi(std::u16string_view line) override { return Utf16ToUtf8(line); }

  std::u16string root;  // the folder the run installs into

 private:
  bool Fails() {
    const int n = operations++;
    return n == failAt_ || (kill_ && failAt_ >= 0 && n > failAt_);
  }
  static std::u16string Aside(const std::u16string& folder) {
    return folder + std::u16string(kAsideFolderName);
  }
  static std::u16string Journal(const std::u16string& folder) {
    return Aside(folder) + u"\\journal";
  }
  bool RegisterIn(const std::u16string& folder) {
    for (const auto& [path, file] : w_.files) {
      if (Parent(path) + u'\\' == folder && IsComponentPath(path.substr(folder.size()))) {
        w_.classes[kClass] = path;
        return true;
      }
    }
    return false;
  }

  World& w_;
  int failAt_;
  bool kill_;
};

std::string EarlierManifest() {
  std::u16string text(kManifestFileHeader);
  text += ManifestKeptLine(0, u"notes.txt");
  for (const auto& [n, path] : {std::pair{0, u"RudodeData\\Spread.ini"},
                                {1, u"ImageOle.dll"},
                                {2, u"client.exe"},
                                {3, u"config.ini"},
                                {4, u"Skin\\a.png"}}) {
    text += ManifestFileLine(static_cast<std::size_t>(n), path);
  }
  for (const std::u16string& line : ManifestFolderList({u"RudodeData\\Spread.ini", u"Skin\\a.png"}))
    text += line;
  return Utf16ToUtf8(text);
}

// The earlier installation, A, complete in kOld: its files, manifest, the user's own file
// it kept aside, its registration, a shortcut and its entry - then its user edits config.ini.
World EarlierInstalled() {
  World w;
  const std::vector<std::pair<std::u16string, std::string>> files = {
      {u"RudodeData\\Spread.ini", "[SpreadInfo]"},
      {u"ImageOle.dll", "old component"},
      {u"client.exe", "old client"},
      {u"config.ini", "old settings"},
      {u"Skin\\a.png", "old picture"}};
  std::vector<FileStamp> stamps;
  for (const auto& [path, bytes] : files) {
    w.Write(kOld + path, bytes);
    stamps.push_back(*w.Stamp(kOld + path));
  }
  w.Write(kOld + u"uninstall.exe", "old uninstaller");
  w.Write(kOld + u"uninstall.ini", EarlierManifest());
  w.Write(kOld + u"uninstall.kept\\0", "the user's notes");
  w.classes[kClass] = kOld + u"ImageOle.dll";
  w.shortcuts.insert(u"desktop");
  w.entry[u"InstallLocation"] = EntryValue::Text(u"InstallLocation", NoSlash(kOld));
  w.entry[u"FileStamps"] = EntryValue::Bytes(u"FileStamps", EncodeFileStamps(stamps));
  w.Write(kOld + u"config.ini", kUserEdit);
  return w;
}

// The new installation's package, B.
const std::vector<std::pair<std::u16string, std::string>> kNewFiles = {
    {u"ImageOle.dll", "new component"},
    {u"client.exe", "new client"},
    {u"config.ini", "new settings"},
    {u"Skin\\b.png", "new picture"},
    {u"web\\index.htm", "new page"}};

std::vector<std::uint8_t> Stored(const std::vector<std::uint8_t>& data) {
  DeflateWriter w;
  w.Stored(true, data);
  return w.Finish();
}

// What the installer knows of A before it changes anything: its manifest and which files
// its user changed.
EarlierInstallation Describe(const World& w) {
  EarlierInstallation earlier;
  earlier.folder = kOld;
  const ManifestLists lists = ReadLists(w.Bytes(kOld + u"uninstall.ini"));
  earlier.keptList = lists.kept;
  earlier.plan = PlanRemoval(lists.files, lists.folders, lists.kept, 259 - kOld.size());
  std::vector<std::optional<FileStamp>> now;
  for (const std::u16string& file : lists.files)
    now.push_back(w.Stamp(kOld + file));
  earlier.changed = ChangedFiles(lists.files, w.entry.at(u"FileStamps").bytes, now);
  return earlier;
}

// B's entry: its folder and a stamp of every file it lists, none that matches for the file
// its user changed.
std::vector<EntryValue> NewEntry(const World& w,
                                 const std::u16string& target,
                                 const InstallOutcome& outcome) {
  std::vector<FileStamp> stamps;
  for (const std::u16string_view file : outcome.installedFiles)
    stamps.push_back(w.Stamp(target + std::u16string(file)).value_or(FileStamp{}));
  stamps.resize(stamps.size() + outcome.userKept.size());
  return {EntryValue::Text(u"InstallLocation", NoSlash(target)),
          EntryValue::Bytes(u"FileStamps", EncodeFileStamps(stamps)),
          EntryValue::Absent(u"CreatedFolder")};
}

struct NoReports : InstallReports {
  void Report(int, const std::u16string*) override {}
};
struct NoStop : InstallControl {
  bool Running() override { return true; }
  void SafePoint() override {}
};

RunWritten Written(const InstallOutcome& outcome) {
  return {outcome.installedFiles, outcome.keptFiles, outcome.madeUninstaller, outcome.madeManifest};
}

// An upgrade from A to B into `target`, as the installer makes it: set aside, the run, then
// the commit, or the undo when either fails.
void Upgrade(Host& host, World& w, const std::u16string& target) {
  const EarlierInstallation earlier = Describe(w);
  Transaction transaction(host, target, target == kOld ? u"" : target);
  if (target != kOld)
    w.folders.insert(NoSlash(target));  // made and held before anything changes
  if (!transaction.SetAside(earlier))
    return;
  std::vector<std::uint8_t> package;
  for (const auto& [path, bytes] : kNewFiles) {
    AppendPackageRecord(&package, path, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                        bytes.size(), u'#');
  }
  const std::vector<std::uint8_t> u = Stored({'n', 'e', 'w'});
  const std::vector<std::uint8_t> p = Stored(package);
  InstallStreams streams{u.data(), static_cast<std::uint32_t>(u.size()), p.data(),
                         static_cast<std::uint32_t>(p.size())};
  if (transaction.InPlace()) {
    streams.carriedKept = &earlier.keptList;
    streams.userChanged = &earlier.changed;
  }
  host.root = target;
  NoReports reports;
  NoStop control;
  const InstallOutcome outcome = RunInstallation(target, streams, host, reports, control);
  if (outcome.finalReport == INSTALL_COMPLETE &&
      transaction.Commit(NewEntry(w, target, outcome)).committed) {
    return;
  }
  transaction.RollBack(Written(outcome), true);
}

// What the next installer does first: ends the transaction the entry names a journal of.
void NextInstallerRecovers(World& w) {
  for (int round = 0; round < 3 && w.entry.count(kJournalValue) != 0; ++round) {
    Host host(w);
    Recover(host, w.Text(kJournalValue));
  }
}

// "A" or "B" when the world holds that installation whole; otherwise what is wrong.
std::string Whole(const World& w, const std::u16string& target) {
  std::vector<std::string> wrong;
  const auto check = [&wrong](bool held, const std::string& what) {
    if (!held)
      wrong.push_back(what);
  };
  check(w.entry.count(kJournalValue) == 0, "a journal is still named");
  check(std::none_of(w.files.begin(), w.files.end(),
                     [](const auto& f) {
                       return f.first.rfind(kOld + u"uninstall.old\\", 0) == 0 &&
                              !f.first.ends_with(u".del");
                     }),
        "something is still aside");
  for (const auto& [name, server] : w.classes)
    check(w.files.count(server) != 0, "a class is served from a missing file");
  const std::u16string at = w.Text(u"InstallLocation") + u'\\';
  const std::u16string folder = at == kOld ? kOld : target;
  const ManifestLists lists = ReadLists(w.Bytes(folder + u"uninstall.ini"));
  std::vector<std::optional<FileStamp>> now;
  for (const std::u16string& file : lists.files)
    now.push_back(w.Stamp(folder + file));
  const auto stamps = w.entry.find(u"FileStamps");
  const std::vector<std::u16string> changed = ChangedFiles(
      lists.files, stamps == w.entry.end() ? std::vector<std::uint8_t>() : stamps->second.bytes,
      now);
  std::string which;
  if (at == kOld && w.Bytes(kOld + u"client.exe") == "old client") {
    which = "A";
    check(w.Bytes(kOld + u"uninstall.ini") == EarlierManifest(), "A's manifest");
    check(w.Bytes(kOld + u"Skin\\a.png") == "old picture", "A's files");
    check(w.Bytes(kOld + u"ImageOle.dll") == "old component", "A's component");
    check(w.Bytes(kOld + u"uninstall.kept\\0") == "the user's notes", "the file A kept");
    check(w.classes.count(kClass) != 0 && w.classes.at(kClass) == kOld + u"ImageOle.dll",
          "A's registration");
    // Folders made for B may stay empty after a fault: a failed removal of one, or a kill
    // before anything changed.
    check(std::none_of(w.files.begin(), w.files.end(),
                       [](const auto& f) { return f.first.rfind(kNew, 0) == 0; }),
          "nothing of B elsewhere");
    check(w.files.count(kOld + u"web\\index.htm") == 0 &&
              w.files.count(kOld + u"config.ini.new") == 0,
          "nothing of B in place");
  } else if (at == target && w.Bytes(target + u"client.exe") == "new client") {
    which = "B";
    for (const auto& [path, bytes] : kNewFiles) {
      check(w.Bytes(target + path + (path == u"config.ini" && target == kOld ? u".new" : u"")) ==
                bytes,
            "B's files");
    }
    check(w.Bytes(target + u"uninstall.ini").find("[InstallDirectoryInfo]") != std::string::npos,
          "B's manifest");
    check(w.classes.count(kClass) != 0 && w.classes.at(kClass) == target + u"ImageOle.dll",
          "B's registration");
    check(w.files.count(kOld + u"Skin\\a.png") == 0, "A's files are gone");
    if (target != kOld) {
      check(w.Bytes(kOld + u"notes.txt") == "the user's notes", "the file A kept is back");
      check(w.shortcuts.empty(), "A's shortcuts are gone");
    }
  } else {
    return "neither: the entry names " + Utf16ToUtf8(at);
  }
  // The user's edit is kept, and the next upgrade still tells it from the package's.
  const std::u16string edited = which == "B" && target != kOld ? kOld : folder;
  check(w.Bytes(edited + u"config.ini") == kUserEdit, "the user's edit is kept");
  if (edited == folder)
    check(std::count(changed.begin(), changed.end(), u"config.ini") == 1, "the edit is told");
  std::string text = which;
  for (const std::string& what : wrong)
    text += "; " + what;
  return text;
}

TEST(Transaction, AnUpgradeGoesThroughInPlaceAndElsewhere) {
  for (const std::u16string& target : {kOld, kNew}) {
    World w = EarlierInstalled();
    Host host(w);
    Upgrade(host, w, target);
    EXPECT_EQ(Whole(w, target), "B") << Utf16ToUtf8(target);
    if (target == kNew) {  // the earlier folder keeps only its user's files
      std::vector<std::u16string> left;
      for (const auto& [path, file] : w.files) {
        if (path.rfind(kOld, 0) == 0)
          left.push_back(path.substr(kOld.size()));
      }
      EXPECT_EQ(left, (std::vector<std::u16string>{u"config.ini", u"notes.txt"}));
    }
  }
}

// Every operation of the upgrade failing once, or a kill at each - then every operation of
// the next installer's recovery cut off in turn, and the one after that: each ends with A
// or B whole.
TEST(Transaction, EveryStepFailedOrCutOffLeavesOneInstallationWhole) {
  for (const std::u16string& target : {kOld, kNew}) {
    const World start = EarlierInstalled();
    World probe = start;
    Host counting(probe);
    Upgrade(counting, probe, target);
    ASSERT_EQ(Whole(probe, target), "B");
    const int total = counting.operations;
    ASSERT_GT(total, 30);
    int both[2] = {0, 0};
    for (int n = 0; n < total; ++n) {
      for (const bool kill : {false, true}) {
        const std::string where =
            Utf16ToUtf8(target) + (kill ? " killed at " : " failed at ") + std::to_string(n);
        World w = start;
        {
          Host host(w, n, kill);
          Upgrade(host, w, target);
        }
        if (kill) {
          // The recovery is cut off in turn at each of its own operations first.
          World counted = w;
          Host recovery(counted);
          if (counted.entry.count(kJournalValue) != 0)
            Recover(recovery, counted.Text(kJournalValue));
          for (int m = 0; m < recovery.operations; ++m) {
            World again = w;
            Host cut(again, m, true);
            Recover(cut, again.Text(kJournalValue));
            NextInstallerRecovers(again);
            const std::string whole = Whole(again, target);
            EXPECT_TRUE(whole == "A" || whole == "B")
                << where << ", recovery cut at " << m << ": " << whole;
          }
        }
        NextInstallerRecovers(w);
        const std::string whole = Whole(w, target);
        EXPECT_TRUE(whole == "A" || whole == "B") << where << ": " << whole;
        ++both[whole == "B"];
      }
    }
    EXPECT_GT(both[0], 0);  // the loop reached both sides of the commit
    EXPECT_GT(both[1], 0);
  }
}

// The earlier component loaded by a program at each commit: it goes at the next restart
// under a name of its own, and any number of upgrades may come before that restart.
TEST(Transaction, FilesInUseAtTheCommitGoAtRestartUnderNamesOfTheirOwn) {
  World w = EarlierInstalled();
  for (int upgrade = 0; upgrade < 3; ++upgrade) {
    w.files[kOld + u"ImageOle.dll"].loaded = true;
    w.entry[u"FileStamps"] = EntryValue::Bytes(u"FileStamps", {});
    w.files[kOld + u"uninstall.ini"].bytes = EarlierManifest();
    Host host(w);
    const EarlierInstallation earlier = Describe(w);
    Transaction transaction(host, kOld, u"");
    ASSERT_TRUE(transaction.SetAside(earlier));
    w.Write(kOld + u"ImageOle.dll", "new component");
    const Transaction::Committed committed =
        transaction.Commit({EntryValue::Text(u"InstallLocation", NoSlash(kOld))});
    EXPECT_TRUE(committed.committed && committed.entryWritten && committed.restart);
    EXPECT_EQ(w.entry.count(kJournalValue), 0u);
  }
  EXPECT_EQ(w.atRestart, (std::vector<std::u16string>{kOld + u"uninstall.old\\1.4242.del",
                                                      kOld + u"uninstall.old\\1.4242.1.del",
                                                      kOld + u"uninstall.old\\1.4242.2.del"}));
}

// The journal reads back as written; an older installer's (moved files and *begun only)
// reads too; what cannot be trusted is refused, not guessed at.
TEST(Transaction, JournalRoundTripAndWhatItRefuses) {
  Journal journal;
  journal.described = true;
  journal.target = u"D:\\g\\新\\";
  journal.made = u"D:\\g\\新\\";
  journal.earlierMade = u"D:\\g\\";
  journal.component = true;
  journal.changed = {u"config.ini"};
  journal.carried = 2;
  journal.kept = {{u"notes.txt", u"uninstall.kept\\1"}};
  journal.folders = {u"Skin"};
  journal.moved = {u"Skin\\a.png", u"uninstall.ini"};
  const std::vector<EntryValue> entry = {EntryValue::Text(u"InstallLocation", u"D:\\g\\新"),
                                         EntryValue::Number(u"EstimatedSize", 4294967295u),
                                         EntryValue::Bytes(u"FileStamps", {0, 1, 0xfe, 0xff}),
                                         EntryValue::Absent(u"CreatedFolder")};
  const std::string text = JournalText(journal) + "*begun\r\n" + CommitText(entry);
  Journal read;
  ASSERT_TRUE(ParseJournal(text, &read));
  journal.begun = journal.committed = true;
  journal.entry = entry;
  EXPECT_EQ(read.target, journal.target);
  EXPECT_EQ(read.moved, journal.moved);
  EXPECT_EQ(read.kept[0].kept, u"uninstall.kept\\1");
  EXPECT_EQ(read.entry, entry);
  EXPECT_TRUE(read.begun && read.committed && read.component && !read.removed);
  // A kill cuts the last line short: the commit is not there.
  ASSERT_TRUE(ParseJournal(text.substr(0, text.size() - 1), &read));
  EXPECT_FALSE(read.committed);
  ASSERT_TRUE(ParseJournal("Skin\\a.png\r\nuninstall.ini\r\n*begun\r\n", &read));
  EXPECT_FALSE(read.described);
  EXPECT_EQ(read.moved.size(), 2u);
  for (const char* refused : {"..\\outside.txt\r\n", "*rename a b\r\n", "*target relative\\\r\n",
                              "*value number X=4294967296\r\n", "\xff\xfe\r\n", "*kept x y\r\n"}) {
    EXPECT_FALSE(ParseJournal(refused, &read)) << refused;
  }
}

TEST(Transaction, VersionsCompareByTheirNumbers) {
  EXPECT_EQ(CompareVersions(u"1.10", u"1.9"), 1);
  EXPECT_EQ(CompareVersions(u"2.0.0.0", u"2"), 0);
  EXPECT_EQ(CompareVersions(u"1.2.3", u"1.2.4"), -1);
  for (const char16_t* bad : {u"", u"1..2", u"1.2.3.4.5", u"v1", u"1.2a", u"1234567890"})
    EXPECT_EQ(CompareVersions(bad, u"1.0"), std::nullopt) << Utf16ToUtf8(bad);
}

}  // namespace
