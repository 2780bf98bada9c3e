// An installation run writes exactly the package's files, reports in protocol order with
// one final report, keeps a manifest that lists exactly what is on disk however the run
// ends, registers its component only once it wrote every file whole, is complete only when
// the component is registered and the manifest written, and refuses a damaged package or
// uninstaller with nothing on disk.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/install/ChannelName.h"
#include "core/install/InstallFolder.h"
#include "core/install/InstallRun.h"
#include "core/install/ManifestText.h"
#include "core/package/PayloadPackage.h"
#include "core/package/Utf8.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Deflate(const Bytes& data) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 16);
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// A disk in memory whose Nth operation (folder, create, write, close or registration) can
// be made to fail, or to throw std::bad_alloc as an allocation would, or from which on
// every operation fails - what a killed process leaves behind.
class FakeDisk : public InstallFiles {
 public:
  std::map<std::u16string, std::string> files;
  std::set<std::u16string> folders;
  int operations = 0;
  int failAt = -1;
  bool throwInstead = false;
  bool failFromThenOn = false;
  int openFiles = 0;
  int registrations = 0;
  int registrationCalls = 0;
  int channelWrites = 0;
  int folderCalls = 0;
  RegistrationResult registration = RegistrationResult::kRegistered;
  std::u16string root;  // the install folder

  class FakeFile : public File {
   public:
    FakeFile(FakeDisk& disk, std::u16string path) : disk_(disk), path_(std::move(path)) {
      ++disk_.openFiles;
    }
    ~FakeFile() override {
      if (open_)
        --disk_.openFiles;
    }
    bool Write(const std::uint8_t* data, std::size_t size) override {
      if (disk_.Fails())
        return false;
      disk_.files[path_].append(reinterpret_cast<const char*>(data), size);
      return true;
    }
    bool Close() override {
      if (open_)
        --disk_.openFiles;
      open_ = false;
      return !disk_.Fails();
    }

   private:
    FakeDisk& disk_;
    std::u16string path_;
    bool open_ = true;
  };

  bool Fails() {
    const int n = operations++;
    if (failFromThenOn && failAt >= 0 && n >= failAt)
      return true;
    if (n != failAt)
      return false;
    if (throwInstead)
      throw std::bad_alloc();
    return true;
  }

  bool MakeFolders(const std::u16string& path) override {
    ++folderCalls;
    if (Fails())
      return false;
    for (std::size_t cut = path.find(u'\\'); cut != std::u16string::npos;
         cut = path.find(u'\\', cut + 1)) {
      folders.insert(path.substr(0, cut));
    }
    return true;
  }
  bool Occupied(const std::u16string& path) override {
    return !Fails() && (files.count(path) != 0 || folders.count(path) != 0);
  }
  bool KeepAside(const std::u16string& path, const std::u16string& keptPath) override {
    if (Fails() || files.count(path) == 0 || files.count(keptPath) != 0)
      return false;
    folders.insert(keptPath.substr(0, keptPath.rfind(u'\\')));
    files[keptPath] = std::move(files[path]);
    files.erase(path);
    return true;
  }
  // A file can be made in the install folder and in folders MakeFolders made, where nothing
  // is yet.
  std::unique_ptr<File> Create(const std::u16string& path) override {
    if (files.count(path) != 0)
      return Fails(), nullptr;
    return Replace(path);
  }
  std::unique_ptr<File> Replace(const std::u16string& path) override {
    const std::u16string parent = path.substr(0, path.rfind(u'\\'));
    if (Fails() || (parent + u'\\' != root && folders.count(parent) == 0))
      return nullptr;
    files[path].clear();
    return std::make_unique<FakeFile>(*this, path);
  }
  void WriteChannelInfo(const std::u16string& folder) override {
    ++channelWrites;
    files[folder + u"RudodeData\\Spread.ini"] = "[SpreadInfo]";
  }
  RegistrationResult RegisterComponent(const std::u16string&) override {
    ++registrationCalls;
    if (Fails())
      return RegistrationResult::kFailed;
    ++registrations;
    return registration;
  }
  std::string ToAnsi(std::u16string_view line) override { return Utf16ToUtf8(line); }
};

struct Recorder : InstallReports {
  std::vector<std::pair<int, std::u16string>> reports;
  void Report(int code, const std::u16string* path) override {
    reports.emplace_back(code, path ? *path : u"");
  }
  void Flush() override { flushedAfter.push_back(reports.size()); }
  std::vector<std::size_t> flushedAfter;  // how many reports had come at each flush
  std::vector<int> Codes() const {
    std::vector<int> codes;
    for (const auto& r : reports)
      codes.push_back(r.first);
    return codes;
  }
};

struct Control : InstallControl {
  bool running = true;
  int stopAfterRecords = -1;  // stop once this many records were written
  int records = 0;
  bool Running() override { return running; }
  void SafePoint() override {
    if (++records == stopAfterRecords)
      running = false;
  }
};

const std::u16string kFolder = u"D:\\brimvale\\";
const Bytes kUninstaller = {'M', 'Z', 'u', 'n', 'i', 'n', 's', 't'};

// The payload stream "in a file": served in batches of at most 700 bytes, counted.
class MemoryFile : public StreamFile {
 public:
  explicit MemoryFile(const Bytes& bytes) : bytes_(bytes) {}
  std::unique_ptr<InflateSource> Open() const override {
    ++opened;
    return std::make_unique<Reader>(bytes_);
  }
  mutable int opened = 0;

 private:
  class Reader : public InflateSource {
   public:
    explicit Reader(const Bytes& bytes) : bytes_(bytes) {}
    std::uint32_t Next(const std::uint8_t** data) override {
      const std::size_t n = std::min<std::size_t>(700, bytes_.size() - at_);
      *data = bytes_.data() + at_;
      at_ += n;
      return static_cast<std::uint32_t>(n);
    }

   private:
    const Bytes& bytes_;
    std::size_t at_ = 0;
  };
  const Bytes& bytes_;
};

// The run's second thread from the standard library, for the piped read of the writing
// pass (the Win32 worker's own is Win32ThreadPair).
class StdThreadPair : public ThreadPair {
 public:
  bool Start(void (*body)(void*), void* context) override {
    thread_ = std::thread(body, context);
    return true;
  }
  void Join() override { thread_.join(); }
  void Lock() override { mutex_.lock(); }
  void Unlock() override { mutex_.unlock(); }
  void Wait() override {
    std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
    changed_.wait(lock);
    lock.release();
  }
  void WakeAll() override { changed_.notify_all(); }

 private:
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
};

struct Installation {
  FakeDisk disk;
  Recorder recorder;
  Control control;
  InstallOutcome outcome;

  int fileOpened = 0;  // how often the run opened the payload's file

  // With `summarized`, the run gets the summary the packager makes of the streams; with
  // `fromFile`, it reads the payload from a file whose memory copy is garbage.
  void Run(const Bytes& package,
           const std::u16string& folder = kFolder,
           bool summarized = false,
           bool fromFile = false) {
    const Bytes u = Deflate(kUninstaller);
    const Bytes p = Deflate(package);
    const Bytes garbage(p.size(), 0xff);
    InstallStreams streams{u.data(), static_cast<std::uint32_t>(u.size()),
                           fromFile ? garbage.data() : p.data(),
                           static_cast<std::uint32_t>(p.size())};
    MemoryFile file(p);
    if (fromFile)
      streams.payloadFile = &file;
    PackageCheck check;
    if (summarized) {
      PackageSummary summary;
      EXPECT_TRUE(SummarizePackage(p.data(), static_cast<std::uint32_t>(p.size()), u.data(),
                                   static_cast<std::uint32_t>(u.size()), &summary, &check));
      streams.summary = &check;
    }
    StdThreadPair threads;
    streams.threads = &threads;
    disk.root = folder;
    outcome = RunInstallation(folder, streams, disk, recorder, control);
    fileOpened = file.opened;
  }
  std::string Manifest() const {
    auto it = disk.files.find(kFolder + u"uninstall.ini");
    return it == disk.files.end() ? "<none>" : it->second;
  }
};

Bytes Package(const std::vector<std::pair<std::u16string, std::string>>& records) {
  Bytes p;
  for (const auto& [path, data] : records) {
    AppendPackageRecord(&p, path, reinterpret_cast<const std::uint8_t*>(data.data()), data.size(),
                        u'#');
  }
  return p;
}

// The manifest of the worked example, written out by hand. Also with the payload read from
// its file rather than from memory: twice (checked, then written), or once with a summary.
TEST(InstallRun, CompleteRunWritesFilesReportsAndManifest) {
  for (const auto& [fromFile, summarized] :
       {std::pair{false, false}, std::pair{true, false}, std::pair{true, true}}) {
    Installation run;
    run.Run(Package({{u"a\\b\\c.txt", "ccc"},
                     {u"a\\d.txt", "dd"},
                     {u"B\\e.txt", "e"},
                     {u"IMAGEOLE.DLL", "component"},
                     {u"x.txt", std::string(60000, 'x')}}),
            kFolder, summarized, fromFile);
    EXPECT_EQ(run.fileOpened, !fromFile ? 0 : summarized ? 1 : 2);
    EXPECT_EQ(run.Manifest(),
              "[InstallFileInfo]\r\n"
              "FILE0=RudodeData\\Spread.ini\r\n"
              "FILE1=a\\b\\c.txt\r\n"
              "FILE2=a\\d.txt\r\n"
              "FILE3=B\\e.txt\r\n"
              "FILE4=IMAGEOLE.DLL\r\n"
              "FILE5=x.txt\r\n"
              "[InstallDirectoryInfo]\r\n"
              "DIRECTORY0=a\\b\r\n"
              "DIRECTORY1=a\r\n"
              "DIRECTORY2=RudodeData\r\n"
              "DIRECTORY3=B\r\n");
    EXPECT_EQ(run.disk.files[kFolder + u"a\\b\\c.txt"], "ccc");
    EXPECT_EQ(run.disk.files[kFolder + u"x.txt"], std::string(60000, 'x'));
    EXPECT_EQ(run.disk.files[kFolder + u"uninstall.exe"],
              std::string(kUninstaller.begin(), kUninstaller.end()));
    EXPECT_EQ(run.disk.registrations, 1);
    EXPECT_EQ(run.disk.channelWrites, 1);
    EXPECT_EQ(run.disk.openFiles, 0);
    EXPECT_EQ(run.disk.folderCalls, 2);  // a\b (with a), then B: each folder once
    EXPECT_TRUE(run.outcome.listsWritten);

    const std::vector<int> codes = run.recorder.Codes();
    ASSERT_EQ(codes.size(), 7u);
    EXPECT_EQ(codes.front(), INSTALL_PREPARING);
    EXPECT_EQ(codes.back(), INSTALL_COMPLETE);
    EXPECT_EQ(codes[1], 0);  // the first file: 524 * 100 / length, truncated
    EXPECT_TRUE(std::is_sorted(codes.begin() + 1, codes.end() - 1));
    EXPECT_EQ(run.recorder.reports[1].second, kFolder + u"a\\b\\c.txt");
    // Held-back progress is delivered once, when the files are written.
    EXPECT_EQ(run.recorder.flushedAfter, std::vector<std::size_t>{6});
  }
}

TEST(InstallRun, EmptyLastRecordReports100ThenComplete) {
  Installation run;
  run.Run(Package({{u"a.txt", "a"}, {u"empty.txt", ""}}));
  const std::vector<int> codes = run.recorder.Codes();
  ASSERT_EQ(codes.size(), 4u);
  EXPECT_EQ(codes[2], 100);
  EXPECT_EQ(codes[3], INSTALL_COMPLETE);
}

TEST(InstallRun, EmptyPackageIsPreparingThenComplete) {
  Installation run;
  run.Run({});
  EXPECT_EQ(run.recorder.Codes(), (std::vector<int>{INSTALL_PREPARING, INSTALL_COMPLETE}));
}

// --- stops ------------------------------------------------------------------------------

// A stopped run registers nothing: its component may not be its own, or not whole.
TEST(InstallRun, StopBeforeTheRunWritesNoPayloadButAWholeManifest) {
  Installation run;
  run.control.running = false;
  run.Run(Package({{u"a\\b.txt", "b"}, {u"ImageOle.dll", "component"}}));
  EXPECT_EQ(run.recorder.Codes(), std::vector<int>{INSTALL_PREPARING});
  EXPECT_EQ(run.disk.files.count(kFolder + u"a\\b.txt"), 0u);
  EXPECT_EQ(run.Manifest(),
            "[InstallFileInfo]\r\nFILE0=RudodeData\\Spread.ini\r\n"
            "[InstallDirectoryInfo]\r\nDIRECTORY0=RudodeData\r\n");
  EXPECT_EQ(run.disk.registrationCalls, 0);
  EXPECT_FALSE(run.outcome.registrationRan);
}

TEST(InstallRun, StopDuringExtractionListsExactlyTheFilesWritten) {
  Installation run;
  run.control.stopAfterRecords = 2;
  run.Run(Package({{u"1.txt", "1"}, {u"d\\2.txt", "2"}, {u"3.txt", "3"}}));
  EXPECT_EQ(run.Manifest(),
            "[InstallFileInfo]\r\nFILE0=RudodeData\\Spread.ini\r\nFILE1=1.txt\r\n"
            "FILE2=d\\2.txt\r\n[InstallDirectoryInfo]\r\nDIRECTORY0=d\r\n"
            "DIRECTORY1=RudodeData\r\n");
  EXPECT_EQ(run.disk.files.count(kFolder + u"3.txt"), 0u);
  EXPECT_NE(run.recorder.Codes().back(), INSTALL_COMPLETE);
}

TEST(InstallRun, StopNoticedAfterTheLastRecordStillCompletes) {
  Installation run;
  run.control.stopAfterRecords = 2;
  run.Run(Package({{u"1.txt", "1"}, {u"2.txt", "2"}}));
  EXPECT_EQ(run.recorder.Codes().back(), INSTALL_COMPLETE);
}

// --- refusals ---------------------------------------------------------------------------

// Without a summary a damaged package is refused before anything is written. With one that
// says the package is sound and fits, the run stops at the damage: no registration, and
// every file it made is in the outcome (its lists, or the manifest and uninstaller it made)
// for the caller to remove.
TEST(InstallRun, DamagedPackagesAreRefusedBeforeAnyPayloadFileOrStopTheOnePass) {
  const Bytes good = Package({{u"a.txt", "a"}, {u"b.txt", "b"}});
  const Bytes compressed = Deflate(good);
  const Bytes hostile = Deflate(Package({{u"a.txt", "a"}, {u"..\\..\\evil.dll", "x"}}));
  const std::u16string tooLong(259 - kFolder.size() + 1, u'x');
  const Bytes overlong = Deflate(Package({{u"a.txt", "a"}, {tooLong, "x"}}));
  const Bytes u = Deflate(kUninstaller);
  const auto size = [](const Bytes& b) { return static_cast<std::uint32_t>(b.size()); };
  const struct {
    const char* name;
    InstallStreams streams;
    std::u16string refused;  // the path reported, or none for a damaged package
  } cases[] = {
      {"missing payload", {u.data(), size(u), nullptr, 0}, u""},
      {"truncated payload", {u.data(), size(u), compressed.data(), size(compressed) - 1}, u""},
      {"hostile path", {u.data(), size(u), hostile.data(), size(hostile)}, u""},
      {"a path too long for the folder",
       {u.data(), size(u), overlong.data(), size(overlong)},
       kFolder + tooLong},
  };
  PackageCheck summary;  // what a summary of `good` says
  summary.recordIndex = 2;
  summary.dataBytes = 2;
  summary.longestPath = 5;
  for (const bool summarized : {false, true}) {
    for (const auto& c : cases) {
      const std::string name = std::string(c.name) + (summarized ? ", summarized" : "");
      InstallStreams streams = c.streams;
      if (summarized)
        streams.summary = &summary;
      Installation run;
      run.disk.root = kFolder;
      run.outcome = RunInstallation(kFolder, streams, run.disk, run.recorder, run.control);
      const std::vector<int> codes = run.recorder.Codes();
      EXPECT_EQ(codes.front(), INSTALL_PREPARING) << name;
      EXPECT_EQ(run.recorder.reports.back(),
                std::pair(c.refused.empty() ? INSTALL_PACKAGE_UNREADABLE : INSTALL_CREATE_FAILED,
                          c.refused))
          << name;
      EXPECT_EQ(run.disk.registrations, 0) << name;
      if (!summarized) {
        EXPECT_EQ(codes.size(), 2u) << name;
        EXPECT_TRUE(run.disk.files.empty()) << name;
        EXPECT_TRUE(run.disk.folders.empty()) << name;
        EXPECT_EQ(run.disk.channelWrites, 0) << name;
        continue;
      }
      for (const auto& [path, bytes] : run.disk.files) {
        const std::u16string relative = path.substr(kFolder.size());
        const PathList& listed = run.outcome.installedFiles;
        EXPECT_TRUE((relative == u"uninstall.ini" && run.outcome.madeManifest) ||
                    (relative == u"uninstall.exe" && run.outcome.madeUninstaller) ||
                    std::find(listed.begin(), listed.end(), relative) != listed.end())
            << name << ": " << Utf16ToUtf8(relative);
      }
    }
  }
}

TEST(InstallRun, DamagedUninstallerWritesNothing) {
  const Bytes p = Deflate(Package({{u"a.txt", "a"}}));
  const Bytes garbage = {0xff, 0xff, 0xff};
  FakeDisk disk;
  Recorder recorder;
  Control control;
  RunInstallation(kFolder, {garbage.data(), 3, p.data(), static_cast<std::uint32_t>(p.size())},
                  disk, recorder, control);
  EXPECT_EQ(recorder.Codes(), (std::vector<int>{INSTALL_PREPARING, INSTALL_PACKAGE_UNREADABLE}));
  EXPECT_TRUE(disk.files.empty());
  EXPECT_EQ(disk.channelWrites, 0);
}

// A path that would not fit below the folder - a payload file's, or the channel file's -
// is refused as the file that cannot be created, before anything is written.
TEST(InstallRun, PathTooLongForTheFolderIsRefusedWithNothingWritten) {
  const std::u16string folder = u"D:\\" + std::u16string(237, u'f') + u"\\";  // room for 18
  struct Case {
    Bytes package;
    std::u16string refused;
  };
  const Case cases[] = {
      {Package({{u"short.txt", "s"}, {u"a-rather-long-name-for-this.txt", "l"}}),
       folder + u"a-rather-long-name-for-this.txt"},
      {Package({{u"short.txt", "s"}}), folder + u"RudodeData\\Spread.ini"},
  };
  for (const auto& [c, summarized] : {std::pair{cases[0], false}, std::pair{cases[1], false},
                                      std::pair{cases[0], true}, std::pair{cases[1], true}}) {
    Installation run;
    run.Run(c.package, folder, summarized);
    ASSERT_EQ(run.recorder.reports.size(), 2u);
    EXPECT_EQ(run.recorder.reports[1].first, INSTALL_CREATE_FAILED);
    EXPECT_EQ(run.recorder.reports[1].second, c.refused);
    EXPECT_TRUE(run.disk.files.empty());
    EXPECT_EQ(run.disk.registrations, 0);
  }
}

// --- every operation failing once -------------------------------------------------------

// Whatever operation fails, or throws as a failed allocation would, the run ends with
// exactly one final report - the completion only when every file is there and the
// manifest whole - closes every file, and the outcome lists only files on the disk. Where
// the run is cut off at any operation, as a killed process is, the manifest on the disk
// already names every file the run made.
TEST(InstallRun, FaultInjectionOverEveryOperation) {
  const Bytes package = Package({{u"ImageOle.dll", "component"},
                                 {u"a\\1.txt", "one"},
                                 {u"a\\b\\2.txt", "two"},
                                 {u"3.txt", std::string(5000, 't')}});
  // A file of the user's lies where the package's 3.txt goes.
  const std::u16string usersFile = kFolder + u"3.txt";
  const std::u16string keptFile = kFolder + u"uninstall.kept\\0";
  Installation probe;
  probe.disk.files[usersFile] = "the user's";
  probe.Run(package);
  const int total = probe.disk.operations;
  ASSERT_GT(total, 10);
  enum Fault { kFails, kThrows, kKilled };
  for (const Fault fault : {kFails, kThrows, kKilled}) {
    for (int n = 0; n < total; ++n) {
      Installation run;
      run.disk.files[usersFile] = "the user's";
      run.disk.failAt = n;
      run.disk.throwInstead = fault == kThrows;
      run.disk.failFromThenOn = fault == kKilled;
      run.Run(package);
      const std::string manifest = run.Manifest();
      // The user's file is never lost: in its place, or kept aside and named by a KEPT line
      // written before it moved, for a removal to put back.
      const bool kept = run.disk.files.count(keptFile) != 0;
      EXPECT_EQ(kept ? run.disk.files[keptFile] : run.disk.files[usersFile], "the user's")
          << "operation " << n << " fault " << fault;
      if (kept) {
        EXPECT_NE(manifest.find("KEPT0=3.txt\r\n"), std::string::npos) << "operation " << n;
        EXPECT_EQ(run.outcome.keptFiles.size(), 1u) << "operation " << n;
      }
      for (const auto& [path, bytes] : run.disk.files) {
        const std::u16string name = path.substr(kFolder.size());
        if (name != u"uninstall.ini" && name != u"uninstall.exe" && bytes != "the user's") {
          EXPECT_NE(manifest.find("=" + Utf16ToUtf8(name) + "\r\n"), std::string::npos)
              << Utf16ToUtf8(name) << " unlisted, operation " << n << " fault " << fault;
        }
      }
      const std::vector<int> codes = run.recorder.Codes();
      const auto final = std::count_if(codes.begin(), codes.end(), [](int c) {
        return c == INSTALL_COMPLETE || (c < 0 && c != INSTALL_PREPARING);
      });
      EXPECT_EQ(final, 1) << "operation " << n << " fault " << fault;
      if (codes.back() == INSTALL_COMPLETE) {  // a folder that was not needed
        EXPECT_TRUE(run.outcome.listsWritten) << "operation " << n;
        EXPECT_EQ(run.disk.files[kFolder + u"3.txt"], std::string(5000, 't')) << n;
        EXPECT_EQ(run.disk.files[kFolder + u"a\\b\\2.txt"], "two") << "operation " << n;
      }
      EXPECT_EQ(run.disk.openFiles, 0) << "operation " << n;
      // Registered only once every file, the component's among them, was written whole.
      if (run.disk.registrationCalls > 0) {
        EXPECT_EQ(run.disk.files[kFolder + u"ImageOle.dll"], "component") << "operation " << n;
        EXPECT_EQ(run.disk.files[kFolder + u"3.txt"], std::string(5000, 't')) << "operation " << n;
      }
      EXPECT_EQ(run.outcome.registrationRan, run.disk.registrationCalls > 0) << "operation " << n;
      for (const std::u16string_view listed : run.outcome.installedFiles) {
        if (listed == kChannelFilePath)
          continue;
        EXPECT_EQ(run.disk.files.count(kFolder + std::u16string(listed)), 1u) << "operation " << n;
      }
    }
  }
}

// The component's registration decides as much as the files: a failure or a hang is
// reported with the component's path, after the manifest is complete.
TEST(InstallRun, RegistrationThatFailsOrHangsIsTheRunsFailure) {
  const std::pair<RegistrationResult, int> cases[] = {
      {RegistrationResult::kFailed, INSTALL_REGISTER_FAILED},
      {RegistrationResult::kHung, INSTALL_REGISTER_HUNG},
  };
  for (const auto& [registration, report] : cases) {
    Installation run;
    run.disk.registration = registration;
    run.Run(Package({{u"ImageOle.dll", "component"}, {u"a.txt", "a"}}));
    ASSERT_EQ(run.recorder.reports.size(), 4u);
    EXPECT_EQ(run.recorder.reports[3].first, report);
    EXPECT_EQ(run.recorder.reports[3].second, kFolder + u"imageOle.dll");
    EXPECT_TRUE(run.outcome.listsWritten);
  }
}

// --- channel name -----------------------------------------------------------------------

struct ChannelCase {
  std::u16string name;
  std::u16string platform;
  std::u16string detail;
};

TEST(ChannelName, ScansLikeTheProgramNamePattern) {
  const ChannelCase cases[] = {
      {u"D:\\Downloads\\setup_portal_77.exe", u"portal", u"77"},
      {u"D:\\Downloads\\setup.exe", u"", u""},
      {u"D:\\Downloads\\setup_portal.exe", u"portal.exe", u""},
      {u"D:\\Downloads\\setup_portal_77.2.exe", u"portal", u"77"},
      {u"D:\\my_files\\setup_portal_77.exe", u"files\\setup", u"portal_77"},
      {u"D:\\Downloads\\setup__77.exe", u"", u""},
      {u"_portal_77.exe", u"", u""},
      {u"setup_" + std::u16string(40, u'p') + u"_" + std::u16string(40, u'd') + u".exe",
       std::u16string(31, u'p'), std::u16string(31, u'd')},
      // The 31st unit is the first half of a pair: the character goes whole.
      {u"setup_" + std::u16string(30, u'p') + u"\U0001F600x_" + std::u16string(29, u'd') +
           u"\U0001F600.exe",
       std::u16string(30, u'p'), std::u16string(29, u'd') + u"\U0001F600"},
  };
  for (const ChannelCase& c : cases) {
    const ChannelFields f = ParseChannelName(c.name);
    EXPECT_EQ(f.platform, c.platform) << Utf16ToUtf8(c.name);
    EXPECT_EQ(f.detail, c.detail) << Utf16ToUtf8(c.name);
  }
}

// The folder rules any way of naming a folder meets: room below it for the package's
// longest path and the installer's own files, no '%', and the space its files take.
TEST(InstallFolder, RoomPercentAndSpace) {
  EXPECT_EQ(MaxInstallFolderUnits(31), 259u - 31u);
  EXPECT_EQ(MaxInstallFolderUnits(5), 259u - 21u);  // "RudodeData\\Spread.ini"
  EXPECT_EQ(MaxInstallFolderUnits(300), 0u);
  const std::u16string longest = u"D:\\" + std::u16string(259 - 31 - 4, u'x') + u"\\";
  EXPECT_EQ(CheckInstallFolder(longest, 31), FolderVerdict::kOk);
  EXPECT_EQ(CheckInstallFolder(longest, 32), FolderVerdict::kTooLong);
  EXPECT_EQ(CheckInstallFolder(u"D:\\100%\\", 31), FolderVerdict::kPercent);
  // Whole clusters per file (an empty file takes none), a cluster size between the steps
  // as the next one up; the summary reads back as written, and nothing else reads.
  const auto space = [](std::initializer_list<std::uint32_t> sizes, std::uint64_t cluster) {
    PackageSummary summary;
    for (const std::uint32_t size : sizes)
      summary.AddFile(size);
    return summary.SpaceNeeded(cluster);
  };
  EXPECT_EQ(space({0, 1, 4096, 4097}, 4096), 0u + 4096 + 4096 + 8192);
  EXPECT_EQ(space({0, 1, 4096, 4097}, 3000), 0u + 4096 + 4096 + 8192);
  EXPECT_EQ(space({0xffffffffu, 0xffffffffu}, 65536), 2u * 0x100000000ull);
  EXPECT_EQ(space({7, 9}, 0), 16u);
  EXPECT_EQ(space({1}, std::uint64_t{1} << 26), std::uint64_t{1} << 25);
  PackageSummary summary{3, 31, std::uint64_t{1} << 33};
  summary.AddFile(5);
  std::vector<std::uint8_t> bytes = EncodePackageSummary(summary);
  PackageSummary read;
  ASSERT_TRUE(DecodePackageSummary(bytes.data(), bytes.size(), &read));
  EXPECT_EQ(read, summary);
  EXPECT_FALSE(DecodePackageSummary(bytes.data(), bytes.size() - 1, &read));
  bytes[0] = 2;
  EXPECT_FALSE(DecodePackageSummary(bytes.data(), bytes.size(), &read));
}

// Each folder once, however the files are ordered: a file in the same folder as the one
// before it is passed over, and that must not lose a folder listed only through another.
TEST(ManifestFolders, CaseMattersAndEachFolderOnce) {
  const struct {
    PathList files;
    std::vector<std::u16string> folders;
  } cases[] = {
      {{u"Skin\\a.png", u"skin\\b.png", u"Skin\\c.png", u"top.txt"}, {u"skin", u"Skin"}},
      {{u"a\\b\\x", u"a\\b\\y", u"a\\c\\k", u"a\\b\\z", u"d\\e\\f\\g"},
       {u"d\\e\\f", u"d\\e", u"d", u"a\\c", u"a\\b", u"a"}},
      {{u"x", u"a\\b", u"x", u"a\\b\\c"}, {u"a\\b", u"a"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ManifestFolders(c.files), c.folders);
}

// Paths kept end to end come back whole across the list's blocks, a path longer than a
// block among them.
TEST(PathList, EveryPathBackAcrossBlocks) {
  std::vector<std::u16string> paths;
  for (int n = 0; n < 5000; ++n)
    paths.push_back(u"d" + std::u16string(static_cast<std::size_t>(n % 37), u'x') + u"\\f");
  paths.insert(paths.begin() + 2500, std::u16string(40000, u'L'));
  paths.emplace_back();
  PathList list;
  for (const std::u16string& path : paths)
    list.push_back(path);
  ASSERT_EQ(list.size(), paths.size());
  EXPECT_TRUE(std::equal(list.begin(), list.end(), paths.begin(), paths.end()));
  EXPECT_EQ(list.back(), u"");
}

// The uninstaller reads a section once and finds each numbered key as the profile call
// would; a list of 100,000 entries costs no more than its size.
TEST(ManifestReading, NumberedValuesAsTheProfileCallFindsThem) {
  using namespace std::string_literals;
  const std::string section =
      "FILE0=a.txt\0file1 =  b c.txt \0FILE1=second\0FILE01=zero-led\0junk\0"
      "FILE2=\"q.txt\"\0FILE3=\0FILE4=after-empty\0"s;
  EXPECT_EQ(NumberedValues(section, "FILE"),
            (std::vector<std::string>{"a.txt", "b c.txt", "q.txt"}));
  EXPECT_EQ(NumberedValues("DIRECTORY1=x\0"s, "DIRECTORY"), std::vector<std::string>{});
  EXPECT_EQ(NumberedValues("DIRECTORY0=\0DIRECTORY1=a\0DIRECTORY3=b\0"s, "DIRECTORY",
                           EmptyValue::kSkipped),
            std::vector<std::string>{"a"});
  std::string many;
  for (int n = 99999; n >= 0; --n)
    many += "FILE" + std::to_string(n) + "=f" + std::to_string(n) + '\0';
  const std::vector<std::string> values = NumberedValues(many, "FILE");
  ASSERT_EQ(values.size(), 100000u);
  EXPECT_EQ(values[99999], "f99999");
}

// Hostile entries are refused, never acted on; a manifest whose folder list is missing
// (its run was cut off) gets the folders of its accepted files, deepest first.
TEST(ManifestReading, PlanRefusesHostileEntriesAndDerivesFolders) {
  const std::vector<std::u16string> hostile = {
      u"..\\outside.txt",
      u"a\\..\\..\\x",
      u"\\root.txt",
      u"C:\\Windows\\x.dll",
      u"C:x.txt",
      u"\\\\server\\share\\x",
      u"CON",
      u"sub\\nul.txt",
      u"a.txt:stream",
      u"a/../b",
      u"COM\u00B9.log",
      std::u16string(300, u'x'),
      u"sub\\",
      u"a\\\\b",
      u"trailing. ",
  };
  std::vector<std::u16string> files = {u"Emotions\\\u5FAE\u7B11\\1.gif", u"top.txt",
                                       u"Emotions\\2.gif"};
  files.insert(files.end(), hostile.begin(), hostile.end());
  const RemovalPlan plan = PlanRemoval(files, {}, {u"config.ini", u"..\\kept.ini"}, 259 - 12);
  std::vector<std::u16string> refused = hostile;
  refused.push_back(u"..\\kept.ini");
  EXPECT_EQ(plan.refused, refused);
  ASSERT_EQ(plan.kept.size(), 1u);
  EXPECT_EQ(plan.kept[0].path, u"config.ini");
  EXPECT_EQ(plan.kept[0].kept, u"uninstall.kept\\0");
  EXPECT_EQ(plan.files, (std::vector<std::u16string>{u"Emotions\\\u5FAE\u7B11\\1.gif", u"top.txt",
                                                     u"Emotions\\2.gif"}));
  EXPECT_EQ(plan.folders, (std::vector<std::u16string>{u"Emotions\\\u5FAE\u7B11", u"Emotions"}));
  const RemovalPlan listed = PlanRemoval({u"a\\b.txt"}, {u"a", u"..\\up"}, {}, 259);
  EXPECT_EQ(listed.folders, std::vector<std::u16string>{u"a"});
  EXPECT_EQ(listed.refused, std::vector<std::u16string>{u"..\\up"});
}

}  // namespace
