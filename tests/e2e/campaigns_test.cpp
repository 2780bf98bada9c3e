// Campaigns: the real installer under cancels, kills and tampering, each run at a moment or
// on a copy chosen from a seed. A cancelled or killed installation must leave the machine as
// it was (the user's own file untouched, nothing else in the folder, no shortcut, no
// uninstall entry, the component unregistered); a damaged copy must refuse itself and write
// nothing. The normal test run makes a short, fixed-seed run of each; scripts/campaign.sh
// makes the long one (SETUP_CAMPAIGN_SEED, SETUP_CAMPAIGN_RUNS, SETUP_CAMPAIGN_ONLY). Every
// campaign prints its seed and what each run did, so that a failing run can be repeated.
#include <windows.h>
// after windows.h
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/integrity/InstallerDigest.h"
#include "core/integrity/PeImage.h"
#include "core/package/PayloadPackage.h"
#include "core/package/Utf8.h"
#include "demo/payload/SplitMix64.h"
#include "installer/flow/Finishing.h"
#include "tests/e2e/journey_helpers.h"

namespace {

constexpr wchar_t kUserFile[] = L"我的笔记.txt";
constexpr DWORD kSlowRegistrationMs = 1500;

std::string Narrow(const std::wstring& text) {
  return Utf16ToUtf8(std::u16string(text.begin(), text.end()));
}

class Random : public SplitMix64 {
 public:
  using SplitMix64::SplitMix64;
  // A number in [0, n); 0 when n is 0.
  std::uint32_t Below(std::uint64_t n) {
    return n == 0 ? 0 : static_cast<std::uint32_t>(Next() % n);
  }
};

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// One campaign: its seed and runs, the tally of what held, and the figures printed at the end.
// A campaign made of phases (`phases`, each given to Begin) judges each in at least one run:
// a run that missed its moment is neither passed nor failed, so runs that all miss would
// otherwise pass having tried nothing.
class Campaign {
 public:
  Campaign(const char* name, int shortRuns, std::vector<std::string> phases = {})
      : name_(name), phases_(std::move(phases)), started_(GetTickCount64()) {
    const std::string seed = Env("SETUP_CAMPAIGN_SEED"), runs = Env("SETUP_CAMPAIGN_RUNS");
    seed_ = seed.empty() ? 20261209 : std::strtoull(seed.c_str(), nullptr, 10);
    runs_ = runs.empty() ? shortRuns : std::atoi(runs.c_str());
    const std::string only = Env("SETUP_CAMPAIGN_ONLY");
    only_ = only.empty() ? 0 : std::atoi(only.c_str());
    Say("seed %llu, %d runs%s", static_cast<unsigned long long>(seed_), runs_,
        only_ > 0 ? (", only run " + std::to_string(only_)).c_str() : "");
  }
  ~Campaign() {
    Say("%d runs tried, %d held, %d failed, %d missed their moment, seed %llu, %.1f s", tried_,
        tried_ - failedRuns_ - missed_, failedRuns_, missed_,
        static_cast<unsigned long long>(seed_),
        static_cast<double>(GetTickCount64() - started_) / 1000.0);
    for (const auto& [check, count] : failedChecks_)
      Say("check failed in %d runs: %s", count, check.c_str());
  }
  Campaign(const Campaign&) = delete;
  Campaign& operator=(const Campaign&) = delete;

  int Runs() const { return runs_; }
  std::uint64_t Seed() const { return seed_; }
  // Whether run `run` (from 1) is made; with SETUP_CAMPAIGN_ONLY, only that one.
  bool Makes(int run) const { return only_ == 0 || only_ == run; }
  // The numbers of run `run`: the same for a run whatever runs come before it.
  Random RunRandom(int run) const { return Random(seed_ * 1000003u + static_cast<unsigned>(run)); }

  // Starts run `run`, in `phase` (one of the campaign's phases, or none).
  void Begin(int run, const std::string& what, const std::string& phase = "") {
    run_ = run;
    phase_ = phase;
    problems_.clear();
    ++tried_;
    Say("run %d: %s", run, what.c_str());
  }
  void Note(const std::string& what) const { Say("  %s", what.c_str()); }
  // A check of the current run; a failure is reported with the run's number.
  void Check(bool held, const std::string& check, const std::string& detail = "") {
    if (held)
      return;
    problems_.push_back(check);
    ++failedChecks_[check];
    ADD_FAILURE() << "[" << name_ << "] run " << run_ << " (seed " << seed_ << "): " << check
                  << (detail.empty() ? "" : ": " + detail);
  }
  // The installation ended before the run's moment: nothing was tried, nothing is judged.
  void Missed(const std::string& why) {
    ++missed_;
    missedRun_ = true;
    Say("run %d missed its moment: %s", run_, why.c_str());
  }
  void End() {
    if (missedRun_) {
      missedRun_ = false;
      return;
    }
    ++judged_[phase_];
    if (problems_.empty()) {
      Say("run %d held", run_);
    } else {
      ++failedRuns_;
      std::string list;
      for (const std::string& p : problems_)
        list += (list.empty() ? "" : "; ") + p;
      Say("run %d FAILED: %s", run_, list.c_str());
    }
  }
  // Each phase was judged in a run. Not when the runs asked for are fewer than the phases,
  // or only one run is made: the phases are taken in turn, so some were never tried.
  void ExpectEveryPhaseJudged() const {
    if (only_ != 0 || runs_ < static_cast<int>(phases_.size()))
      return;
    for (const std::string& phase : phases_) {
      const auto judged = judged_.find(phase);
      EXPECT_TRUE(judged != judged_.end() && judged->second > 0)
          << "[" << name_ << "] no run judged the phase \"" << phase << "\" (seed " << seed_
          << "): each missed its moment";
    }
  }

 private:
  template <typename... Args>
  void Say(const char* format, Args... args) const {
    std::printf("[%s] ", name_);
    std::printf(format, args...);
    std::printf("\n");
    std::fflush(stdout);
  }
  void Say(const char* format) const { Say("%s", format); }

  const char* name_;
  std::vector<std::string> phases_;
  std::string phase_;
  std::map<std::string, int> judged_;  // runs judged, by phase
  std::uint64_t seed_ = 0;
  int runs_ = 0;
  int only_ = 0;
  int run_ = 0;
  int tried_ = 0;
  int failedRuns_ = 0;
  int missed_ = 0;
  bool missedRun_ = false;
  std::vector<std::string> problems_;
  std::map<std::string, int> failedChecks_;
  ULONGLONG started_;
};

// The user's own file in the install folder, with a last-write time in the past: its bytes
// and time must survive whatever happens to the installation.
struct UserFile {
  std::wstring path;
  std::string bytes;
  FILETIME written{};

  UserFile(const std::wstring& folder, Random& random) : path(folder + kUserFile) {
    bytes = "the user's own notes\r\n";
    for (int i = 0; i < 64; ++i)
      bytes += static_cast<char>(random.Below(256));
    WriteBytes(path, bytes);
    HANDLE file =
        CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    SYSTEMTIME then{2020, 2, 0, 29, 8, 30, 0, 0};
    SystemTimeToFileTime(&then, &written);
    SetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
  }
  bool Untouched() const {
    WIN32_FILE_ATTRIBUTE_DATA now{};
    return ReadBytes(path) == bytes &&
           GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &now) &&
           CompareFileTime(&now.ftLastWriteTime, &written) == 0;
  }
};

// --- moments ---------------------------------------------------------------------------------

// Where in an installation a cancel or a kill comes: the phase, chosen in turn from the
// seed so that every short run covers them all, and a moment inside it from the seed.
// An upgrade has one more: its commit, the moment its journal records it.
enum class Phase { kPreparing, kEarlyFiles, kMiddle, kLastFile, kRegistration, kCommit };
constexpr const char* kPhaseNames[] = {"preparing",     "early files",  "the middle",
                                       "the last file", "registration", "the commit"};
const std::vector<std::string> kPhases(std::begin(kPhaseNames), std::end(kPhaseNames) - 1);
const std::vector<std::string> kUpgradePhases(std::begin(kPhaseNames), std::end(kPhaseNames));

struct Moment {
  Phase phase;
  std::size_t file;  // the payload file whose appearance starts the wait (not for preparing)
  DWORD delayMs;     // then this long
  std::string Describe(const std::vector<std::wstring>& files) const {
    std::string text = kPhaseNames[static_cast<int>(phase)];
    if (phase == Phase::kCommit)
      text += ", " + std::to_string(delayMs) + " ms after its journal records it";
    else if (phase != Phase::kPreparing)
      text += ", " + std::to_string(delayMs) + " ms after " + Narrow(files[file]) + " appears";
    else
      text += ", " + std::to_string(delayMs) + " ms in";
    return text;
  }
};

Moment ChooseMoment(const Campaign& campaign,
                    int run,
                    Random& random,
                    std::size_t files,
                    DWORD preparingMs,
                    std::size_t phases = kPhases.size()) {
  const auto phase = static_cast<Phase>((campaign.Seed() + static_cast<unsigned>(run)) % phases);
  switch (phase) {
    case Phase::kCommit:
      return {phase, files - 1, random.Below(30)};
    case Phase::kPreparing:
      return {phase, 0, random.Below(preparingMs)};
    case Phase::kEarlyFiles:
      return {phase, random.Below(files / 3), random.Below(20)};
    case Phase::kMiddle:
      return {phase, files / 3 + random.Below(files / 3), random.Below(20)};
    case Phase::kLastFile:
      return {phase, files - 1, random.Below(20)};
    case Phase::kRegistration:
      break;
  }
  // The stand-in sleeps, then registers for real (some 300 ms under Wine): the moment
  // falls before, during or just after the component is registered.
  return {phase, files - 1, random.Below(kSlowRegistrationMs + 250)};
}

// A registration that takes kSlowRegistrationMs and then really registers the component,
// for the programs started while it lives.
class SlowRegistration {
 public:
  SlowRegistration() {
    env_ = std::make_unique<EnvironmentVariables>(EnvironmentVariables::Values{
        {L"SETUP_SLOW_REGISTRATION_MS", std::to_wstring(kSlowRegistrationMs)}});
  }

 private:
  std::unique_ptr<EnvironmentVariables> env_;
};

// Whether the journal at `path` records a commit; read sharing everything, so that the
// installer can go on appending to it and deleting it.
bool Committed(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  std::string text(1 << 20, '\0');
  DWORD read = 0;
  ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
  CloseHandle(file);
  return text.substr(0, read).find("*committed\r\n") != std::string::npos;
}

// Waits until `moment` in an installation into `folder` that began at `start` (tick count),
// as long as `running` holds; the commit is the one `journal` records. False when the
// installation ended or went past it first.
bool WaitForMoment(const Moment& moment,
                   const std::wstring& folder,
                   const std::vector<std::wstring>& files,
                   ULONGLONG start,
                   const std::function<bool()>& running,
                   const std::wstring& journal = L"") {
  if (moment.phase == Phase::kCommit) {
    for (ULONGLONG t = GetTickCount64(); !Committed(journal); Sleep(1)) {
      if (!running() || GetTickCount64() - t > 120000)
        return false;
    }
    start = GetTickCount64();
  } else if (moment.phase != Phase::kPreparing) {
    const std::wstring file = folder + files[moment.file];
    for (ULONGLONG t = GetTickCount64(); !Exists(file); Sleep(1)) {
      if (!running() || GetTickCount64() - t > 60000)
        return false;
    }
    start = GetTickCount64();
  }
  while (GetTickCount64() - start < moment.delayMs) {
    if (!running())
      return false;
    Sleep(1);
  }
  return running();
}

// What an installation into `folder` had written at a moment: payload files, and whether
// the component was registered.
std::string WrittenSoFar(const std::wstring& folder, const std::vector<std::wstring>& files) {
  const auto written = std::count_if(files.begin(), files.end(),
                                     [&](const std::wstring& f) { return Exists(folder + f); });
  return std::to_string(written) + "/" + std::to_string(files.size()) + " payload files" +
         (Exists(folder + L"uninstall.exe") ? ", uninstall.exe" : "") +
         (Exists(folder + L"uninstall.ini") ? ", uninstall.ini" : "") +
         (ComponentRegistered() ? ", component registered" : "");
}

// After a removal: only the user's file, untouched, and nothing else of the product.
void ExpectOnlyTheUserFile(Campaign& campaign,
                           const std::wstring& folder,
                           const UserFile& user,
                           const char* after) {
  for (const Difference& d : NotClean(folder, {kUserFile}))
    campaign.Check(false, d.check + " " + after, d.found);
  campaign.Check(user.Untouched(), std::string("the user's file is untouched ") + after);
}

// --- cancel anywhere -------------------------------------------------------------------------

// The wizard's quit question answered Yes at a moment of the installation: the cancelled
// exit code, and the machine as it was before.
TEST(Campaign, CancelAnywhere) {
  Campaign campaign("cancel", 5, kPhases);
  const std::vector<std::wstring> files = PayloadInOrder(SETUP_REFERENCE_PAYLOAD_W);
  ASSERT_GE(files.size(), 6u);
  for (int run = 1; run <= campaign.Runs(); ++run) {
    if (!campaign.Makes(run))
      continue;
    Random random = campaign.RunRandom(run);
    const Moment moment = ChooseMoment(campaign, run, random, files.size(), 30);
    CleanMachine();
    const std::wstring folder = FreshFolder(L"cancel", L"D:\\e2e\\");
    const UserFile user(folder, random);
    campaign.Begin(run, moment.Describe(files), kPhaseNames[static_cast<int>(moment.phase)]);
    std::unique_ptr<SlowRegistration> slow;
    if (moment.phase == Phase::kRegistration)
      slow = std::make_unique<SlowRegistration>();
    // Each run's log stays for a failure to be read: D:\e2e\logs\cancel-<run>.log.
    const std::wstring logs = L"D:\\e2e\\logs\\";
    CreateDirectoryW(logs.c_str(), nullptr);
    Driver d;
    ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe", false, SETUP_CAMPAIGN_INSTALLER_W),
                        L"\"/LOG=" + logs + L"cancel-" + std::to_wstring(run) + L".log\""));
    ToTargetPage(d, folder);
    // The click that starts the installation starts the clock: the wizard handles the
    // quit click only after it, on the installing page, while the worker prepares.
    const ULONGLONG start = GetTickCount64();
    d.Click(kNext);
    if (moment.phase != Phase::kPreparing) {
      ASSERT_TRUE(d.WaitForText(kTitle, L"正在安装", 30000));
    }
    const bool inTime = WaitForMoment(moment, folder, files, start, [&d] {
      return d.WaitForExit(0) == STILL_ACTIVE && d.Text(kCancel) == L"取消";
    });
    if (!inTime) {
      // The installation ended before the moment: nothing was tried. Remove it again.
      const DWORD code = d.WaitForExit(0);
      campaign.Missed(code == STILL_ACTIVE
                          ? "the page shows \"" + Narrow(d.Text(kTitle)) + "\", its button \"" +
                                Narrow(d.Text(kCancel)) + "\""
                          : "it ended with " + std::to_string(code));
      if (d.Text(kCancel) == L"完成") {
        SendMessageW(GetDlgItem(d.Window(), kRunNow), BM_CLICK, 0, 0);
        d.Click(kCancel);
      }
      d.WaitForExit(60000);
      RunForExitCode(folder + L"uninstall.exe", L"-silent", folder.c_str());
      campaign.End();
      continue;
    }
    const std::string before = WrittenSoFar(folder, files);
    const ULONGLONG clicked = GetTickCount64();
    d.Click(kCancel);
    // Where the paused worker is while the question waits, then the answer.
    for (int i = 0; i < 400 && FindWindowW(L"#32770", L"提示") == nullptr; ++i)
      Sleep(5);
    const ULONGLONG asked = GetTickCount64() - clicked;
    campaign.Note("clicked with " + before + "; asked " + std::to_string(asked) +
                  " ms later with " + WrittenSoFar(folder, files) + "; status \"" +
                  Narrow(d.Text(kStatus)) + "\"");
    const std::wstring question = AnswerMessageBox(L"提示", IDYES);
    campaign.Check(question == L"安装还没结束，是否要退出安装", "the quit question was asked",
                   Narrow(question));
    const DWORD code = d.WaitForExit(90000);
    campaign.Check(code == Exit(SetupExit::kCancelled), "the cancelled exit code",
                   std::to_string(code));
    ExpectOnlyTheUserFile(campaign, folder, user, "after the cancel");
    campaign.End();
    slow.reset();
  }
  CleanMachine();
  campaign.ExpectEveryPhaseJudged();
}

// --- kill anywhere ---------------------------------------------------------------------------

// A silent installation ended with TerminateProcess at a moment. The uninstaller it left,
// if any, removes what it wrote; a new installation into the same folder succeeds, and its
// own uninstaller removes everything.
TEST(Campaign, KillAnywhere) {
  // Five runs: one in each phase.
  Campaign campaign("kill", 5, kPhases);
  const std::vector<std::wstring> files = PayloadInOrder(SETUP_REFERENCE_PAYLOAD_W);
  ASSERT_GE(files.size(), 6u);
  for (int run = 1; run <= campaign.Runs(); ++run) {
    if (!campaign.Makes(run))
      continue;
    Random random = campaign.RunRandom(run);
    const Moment moment = ChooseMoment(campaign, run, random, files.size(), 1200);
    CleanMachine();
    const std::wstring folder = FreshFolder(L"kill", L"D:\\e2e\\");
    const UserFile user(folder, random);
    const std::wstring installer =
        InstallerCopy(L"setup_portal_77.exe", false, SETUP_CAMPAIGN_INSTALLER_W);
    const std::wstring arguments = L"/S /NORUN /D=" + folder;
    campaign.Begin(run, moment.Describe(files), kPhaseNames[static_cast<int>(moment.phase)]);
    {
      std::unique_ptr<SlowRegistration> slow;
      if (moment.phase == Phase::kRegistration)
        slow = std::make_unique<SlowRegistration>();
      HANDLE process = Launch(installer, arguments);
      ASSERT_NE(process, nullptr);
      const bool inTime = WaitForMoment(moment, folder, files, GetTickCount64(), [process] {
        return WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
      });
      TerminateProcess(process, 255);
      WaitForSingleObject(process, 30000);
      const DWORD code = ExitCode(process);
      CloseHandle(process);
      if (!inTime) {
        campaign.Missed("it ended with " + std::to_string(code) + " first");
        RunForExitCode(folder + L"uninstall.exe", L"-silent", folder.c_str());
        campaign.End();
        continue;
      }
      campaign.Note("killed; left " + WrittenSoFar(folder, files));
    }
    WaitForTheRegistrationToEnd();
    if (Exists(folder + L"uninstall.exe") && Exists(folder + L"uninstall.ini")) {
      const DWORD removed = RunForExitCode(folder + L"uninstall.exe", L"-silent", folder.c_str());
      campaign.Note("the uninstaller it left ended with " + std::to_string(removed));
      const std::vector<std::wstring> only = {kUserFile};
      std::vector<std::wstring> left;
      WaitUntil([&] { return (left = Listing(folder)) == only; }, 8000);
      campaign.Check(left == only, "the uninstaller it left removes what it wrote", Joined(left));
      campaign.Check(user.Untouched(), "the user's file is untouched after that removal");
    } else {
      campaign.Note("no uninstaller left; in the folder: " + Joined(Listing(folder)));
    }
    const SilentRun again = RunSilently(installer, arguments);
    campaign.Check(again.exitCode == 0, "the next installation succeeds",
                   "exit code " + std::to_string(again.exitCode));
    const DWORD removed = RunForExitCode(folder + L"uninstall.exe", L"-silent", folder.c_str());
    campaign.Check(removed == 0, "its uninstaller ends with 0", std::to_string(removed));
    ExpectOnlyTheUserFile(campaign, folder, user, "after the next installation's removal");
    campaign.End();
  }
  CleanMachine();
  campaign.ExpectEveryPhaseJudged();
}

// --- tamper sweep ----------------------------------------------------------------------------

// Writes the digest of `bytes` into its string 32, as the packager stamps: an installer
// whose changes the integrity check cannot see.
bool Restamp(std::string* bytes) {
  auto* data = reinterpret_cast<std::uint8_t*>(bytes->data());
  PeImage image;
  FileRange block;
  std::uint32_t blockId = 0;
  Md5Digest digest;
  return image.Parse(data, bytes->size()) == PeStatus::kOk &&
         image.FindDigestBlock(&block, &blockId) == PeStatus::kOk &&
         ComputeInstallerDigest(data, bytes->size(), &digest) == PeStatus::kOk &&
         WriteStoredDigest(data + block.position, block.size, blockId, digest) ==
             StoredDigestStatus::kOk;
}

// Every resource of the installer, by type - a name, or a number when `typeName` is null -
// and id: the payload, its summary and the uninstaller (cmake/SetupExecutable.cmake), the artwork,
// the icon's one image (3) and its group (14), the dialog (5), strings 32-47 (6, the digest block),
// the version (16), the agreement (23) and the application manifest (24) (resources/wizard.rc.in).
struct InstallerResource {
  const char16_t* typeName;
  std::uint32_t typeId;
  std::uint32_t id;
};
constexpr InstallerResource kInstallerResources[] = {
    {u"FILE", 0, 137},  {u"FILE", 0, 138}, {u"FILE", 0, 139},  {u"SKIN", 0, 130},
    {u"SKIN", 0, 131},  {u"SKIN", 0, 230}, {u"SKIN", 0, 231},  {u"SKIN", 0, 330},
    {u"SKIN", 0, 331},  {nullptr, 3, 1},   {nullptr, 5, 102},  {nullptr, 6, 3},
    {nullptr, 14, 128}, {nullptr, 16, 1},  {nullptr, 23, 138}, {nullptr, 24, 1},
};

std::string Record(const std::u16string& path, const std::string& data);

// A valid raw-deflate stream, in stored blocks, of exactly `size` bytes, whose package is
// a record of zeros ("filler.bin", as long as the size asks) followed by `damaged`, so that
// a damage at the end of `damaged` stays at the package's end. Empty when it cannot be.
std::string StoredDeflate(const std::string& damaged, std::size_t size) {
  const std::size_t blocks = (size + 65539) / 65540;  // each block adds 5 bytes to its data
  const std::size_t total = size - 5 * blocks;
  const std::size_t around = kPackageHeaderBytes + damaged.size();
  if (size < 5 * blocks + around || total > 65535 * blocks)
    return {};
  const std::string content = Record(u"filler.bin", std::string(total - around, '\0')) + damaged;
  std::string stream;
  for (std::size_t b = 0, at = 0; b < blocks; ++b) {
    const std::size_t left = blocks - b;
    const std::size_t length =
        std::min<std::size_t>(65535, (content.size() - at + left - 1) / left);
    stream += static_cast<char>(b + 1 == blocks ? 1 : 0);  // BFINAL on the last, BTYPE 00
    stream += static_cast<char>(length & 0xFF);
    stream += static_cast<char>(length >> 8);
    stream += static_cast<char>(~length & 0xFF);
    stream += static_cast<char>((~length >> 8) & 0xFF);
    stream += content.substr(at, length);
    at += length;
  }
  return stream.size() == size ? stream : std::string();
}

std::string Record(const std::u16string& path, const std::string& data) {
  std::vector<std::uint8_t> record;
  AppendPackageRecord(&record, path, reinterpret_cast<const std::uint8_t*>(data.data()),
                      data.size());
  return std::string(record.begin(), record.end());
}

// The position of the data entry whose data lies at `range` (its RVA and size, 8 bytes).
std::size_t DataEntryPosition(const std::string& bytes, const PeImage& image, FileRange range) {
  for (const PeSection& s : image.Sections()) {
    if (range.position >= s.rawPosition && range.position < s.rawPosition + s.rawSize) {
      const std::uint32_t rva = range.position - s.rawPosition + s.virtualAddress;
      char pattern[8];
      std::memcpy(pattern, &rva, 4);
      std::memcpy(pattern + 4, &range.size, 4);
      return bytes.find(std::string(pattern, 8));
    }
  }
  return std::string::npos;
}

struct Copy {
  std::string name;
  std::string bytes;
  SetupExit expected;
  bool mayNotStart = false;  // cut into its sections: the system may refuse it first
};

// Each copy, run with /S /D=, ends with its exit code and makes nothing: not the folder,
// not the entry.
std::string Hex(std::size_t n) {
  char text[20];
  std::snprintf(text, sizeof text, "0x%zX", n);
  return text;
}

// A flipped byte in code that runs before the self-check (the C runtime's start, say) can
// crash the copy; no debugger may then hold it: the crash is its end.
class NoDebuggerForCrashes {
 public:
  NoDebuggerForCrashes() : mode_(SetErrorMode(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS)) {
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kAeDebug, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                    &key_, nullptr);
    DWORD size = sizeof saved_;
    had_ = RegQueryValueExW(key_, L"Debugger", nullptr, nullptr, reinterpret_cast<BYTE*>(saved_),
                            &size) == ERROR_SUCCESS;
    RegSetValueExW(key_, L"Debugger", 0, REG_SZ, reinterpret_cast<const BYTE*>(L""),
                   sizeof(wchar_t));
  }
  ~NoDebuggerForCrashes() {
    if (had_) {
      RegSetValueExW(key_, L"Debugger", 0, REG_SZ, reinterpret_cast<const BYTE*>(saved_),
                     static_cast<DWORD>((wcslen(saved_) + 1) * sizeof(wchar_t)));
    } else {
      RegDeleteValueW(key_, L"Debugger");
    }
    RegCloseKey(key_);
    SetErrorMode(mode_);
  }

 private:
  static constexpr wchar_t kAeDebug[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug";
  UINT mode_;
  HKEY key_ = nullptr;
  bool had_ = false;
  wchar_t saved_[512] = {};
};

void RunCopies(Campaign& campaign, const std::vector<Copy>& copies, int& run) {
  const NoDebuggerForCrashes crashes;
  const std::wstring root = FreshFolder(L"tamper", L"D:\\e2e\\");
  const std::wstring target = root + L"target";
  for (const Copy& copy : copies) {
    ++run;
    if (!campaign.Makes(run))
      continue;
    campaign.Begin(run, copy.name);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
    RemoveTree(target + L"\\");
    const std::wstring path = root + L"setup_portal_77.exe";
    WriteBytes(path, copy.bytes);
    const SilentRun result = RunSilently(path, L"/S /NORUN /D=" + target);
    if (!result.started && copy.mayNotStart) {
      campaign.Note("the system refused to start it");
    } else if (result.exitCode >= 0xC0000000u && result.exitCode != STILL_ACTIVE) {
      campaign.Note("it crashed (exception " + Hex(result.exitCode) + ") before its check");
    } else if (result.started && result.exitCode == STILL_ACTIVE) {
      // Damaged code may as well loop for ever before the check; what counts is that it
      // wrote nothing. (A loaded Wine, too, now and then never gets a process going.)
      campaign.Note("it did not end in two minutes and was ended");
    } else {
      campaign.Check(result.exitCode == Exit(copy.expected),
                     "exit code " + std::to_string(Exit(copy.expected)),
                     result.exitCode == STILL_ACTIVE ? "it did not start or end"
                                                     : std::to_string(result.exitCode));
    }
    campaign.Check(!Exists(target), "the folder is not made", Joined(Listing(target + L"\\")));
    campaign.Check(!EntryExists(), "no uninstall entry");
    campaign.Check(!result.window, "no window");
    campaign.End();
    if (Exists(target + L"\\uninstall.exe"))
      RunForExitCode(target + L"\\uninstall.exe", L"-silent", target.c_str());
  }
}

std::string Flipped(std::string bytes, std::size_t at, int bit) {
  bytes[at] = static_cast<char>(bytes[at] ^ (1 << bit));
  return bytes;
}

// Copies of a built, stamped installer with one byte flipped in a 4 KiB region (each
// region in turn once the runs allow it, a seeded sample otherwise), in both headers and
// in every resource; cut short and extended; and of the signed installer in its signed
// content: each refuses itself (the integrity check). Then installers stamped correctly
// around a damaged package or deflate stream: each refuses its package and extracts nothing.
TEST(Campaign, TamperSweep) {
  Campaign campaign("tamper", 16);
  Random random = campaign.RunRandom(0);
  const std::string original = ReadBytes(SETUP_INSTALLER_W);
  PeImage image;
  ASSERT_EQ(image.Parse(reinterpret_cast<const std::uint8_t*>(original.data()), original.size()),
            PeStatus::kOk);
  const std::uint32_t checksum = image.ChecksumPosition();
  std::vector<Copy> copies;
  const auto flip = [&](const std::string& bytes, std::size_t at, const std::string& what) {
    const int bit = static_cast<int>(random.Below(8));
    copies.push_back({what + ", byte " + Hex(at) + " bit " + std::to_string(bit),
                      Flipped(bytes, at, bit), SetupExit::kIntegrityFailed});
  };

  // Left out of the digest by design, and never read: the strings after string 32 in the
  // digest block. A flip there changes nothing the installer does.
  InstallerParts parts;
  Md5Digest unused;
  ASSERT_EQ(ComputeInstallerDigest(reinterpret_cast<const std::uint8_t*>(original.data()),
                                   original.size(), &unused, &parts),
            PeStatus::kOk);
  const std::size_t unread = parts.block.position + 2 + 2 * kDigestStringUnits;
  const std::size_t unreadEnd = parts.block.position + parts.block.size;

  // Regions in a seeded order, each once before any comes again: as many as the runs.
  const std::size_t regions = (original.size() + 4095) / 4096;
  std::vector<std::size_t> order(regions);
  for (std::size_t r = 0; r < regions; ++r)
    order[r] = r;
  for (std::size_t r = regions - 1; r > 0; --r)
    std::swap(order[r], order[random.Below(r + 1)]);
  std::vector<std::size_t> chosen;
  for (std::size_t i = 0; chosen.size() < static_cast<std::size_t>(campaign.Runs()); ++i)
    chosen.push_back(order[i % regions]);
  for (const std::size_t r : chosen) {
    // In the first region only the DOS stub, which the loader never reads: elsewhere there
    // the copy would not even start. The checksum is left out of the digest by design.
    const std::size_t begin = r == 0 ? 0x40 : r * 4096;
    const std::size_t end = r == 0 ? 0x80 : std::min(original.size(), begin + 4096);
    std::size_t at = begin + random.Below(end - begin);
    if (at >= checksum && at < checksum + 4u)
      at = checksum + 4;
    if (at >= unread && at < unreadEnd)
      at = unreadEnd;
    flip(original, at, "region " + std::to_string(r));
  }

  // Both headers, in fields the loader does not judge.
  std::uint32_t pe = 0;
  std::memcpy(&pe, original.data() + 0x3C, 4);
  flip(original, 0x02, "DOS header (e_cblp)");
  flip(original, pe + 8, "file header (time stamp)");
  flip(original, pe + 24 + 44, "optional header (image version)");
  std::uint16_t optionalSize = 0;
  std::memcpy(&optionalSize, original.data() + pe + 20, 2);
  flip(original, pe + 24 + optionalSize + 1, "section table (first name)");

  // Every resource's bytes.
  for (const InstallerResource& r : kInstallerResources) {
    const std::string name =
        (r.typeName != nullptr ? Utf16ToUtf8(r.typeName) : std::to_string(r.typeId)) + "/" +
        std::to_string(r.id);
    FileRange range;
    const PeStatus found = r.typeName != nullptr
                               ? image.FindNamedTypeResource(r.typeName, r.id, &range)
                               : image.FindTypedResource(r.typeId, r.id, &range);
    EXPECT_EQ(found, PeStatus::kOk) << "resource " << name << ": " << DescribePeStatus(found);
    if (found != PeStatus::kOk || range.size == 0)
      continue;
    const std::size_t read =
        range.position == parts.block.position ? unread - range.position : range.size;
    flip(original, range.position + random.Below(read), "resource " + name);
  }

  // Cut short and extended.
  for (const std::size_t cut : {std::size_t{1}, std::size_t{4096}, original.size() / 2}) {
    copies.push_back({"cut short by " + std::to_string(cut) + " bytes",
                      original.substr(0, original.size() - cut), SetupExit::kIntegrityFailed,
                      true});
  }
  for (const std::size_t more : {std::size_t{1}, std::size_t{8}, std::size_t{4096}}) {
    copies.push_back({"extended by " + std::to_string(more) + " bytes",
                      original + std::string(more, static_cast<char>(random.Below(256))),
                      SetupExit::kIntegrityFailed});
  }

  // The signed installer, flipped in what its signature covers.
  const std::string signedBytes = ReadBytes(SETUP_SIGNED_INSTALLER_W);
  PeImage signedImage;
  ASSERT_EQ(signedImage.Parse(reinterpret_cast<const std::uint8_t*>(signedBytes.data()),
                              signedBytes.size()),
            PeStatus::kOk);
  const FileRange certificates = signedImage.DataDirectory(4);
  ASSERT_GT(certificates.size, 0u) << "not signed";
  flip(signedBytes, random.Below(certificates.position), "signed installer, signed content");
  flip(signedBytes, certificates.position - 1, "signed installer, last byte before the signature");
  flip(signedBytes, pe + 8, "signed installer, file header (time stamp)");

  // Stamped correctly around a damaged package or deflate stream.
  FileRange payload;
  ASSERT_EQ(image.FindNamedTypeResource(u"FILE", 137, &payload), PeStatus::kOk);
  FileRange uninstaller;
  ASSERT_EQ(image.FindNamedTypeResource(u"FILE", 139, &uninstaller), PeStatus::kOk);
  const std::string good = Record(u"readme.txt", "a file before the damage\r\n");
  const std::string header = Record(u"x", "").substr(0, kPackageHeaderBytes);
  std::string overrun = Record(u"config.ini", "0123456789");
  overrun[kPackageSizeOffset] = 100;  // says 100 bytes, 10 follow
  const struct {
    const char* name;
    std::string package;
  } packages[] = {
      {"a path with ..", Record(u"..\\evil.txt", "x") + good},
      {"an absolute path", good + Record(u"\\evil.txt", "x")},
      {"a drive", Record(u"C:\\evil.txt", "x") + good},
      {"a device name", good + Record(u"web\\CON.txt", "x")},
      {"a forbidden character", Record(u"a<b.txt", "x") + good},
      {"a path without its NUL", std::string(kPackagePathBytes, 'a') + std::string(4, '\0')},
      {"data that runs past the end", good + overrun},
      {"a header cut short", good + header.substr(0, 300)},
  };
  const auto stamped = [&](std::string bytes, const std::string& what) {
    ASSERT_TRUE(Restamp(&bytes)) << what;
    copies.push_back({what, bytes, SetupExit::kPackageUnreadable});
  };
  for (const auto& p : packages) {
    const std::string stream = StoredDeflate(p.package, payload.size);
    ASSERT_FALSE(stream.empty()) << p.name;
    std::string bytes = original;
    bytes.replace(payload.position, payload.size, stream);
    stamped(bytes, std::string("package: ") + p.name);
  }
  {
    std::string bytes = original;
    bytes[payload.position] = static_cast<char>(bytes[payload.position] | 0x06);
    stamped(bytes, "payload stream: a reserved block type");
  }
  {
    std::string bytes = original;
    const char header5[] = {0, 0x10, 0, 0x10, 0};  // LEN 16, NLEN not its complement
    bytes.replace(payload.position, 5, header5, 5);
    stamped(bytes, "payload stream: a stored block whose lengths disagree");
  }
  {
    std::string bytes = original;
    const std::size_t entry = DataEntryPosition(bytes, image, payload);
    ASSERT_NE(entry, std::string::npos);
    const std::uint32_t half = payload.size / 2;
    std::memcpy(&bytes[entry + 4], &half, 4);
    stamped(bytes, "payload stream: cut to half its length");
  }
  {
    std::string bytes = original;
    bytes[uninstaller.position] = static_cast<char>(bytes[uninstaller.position] | 0x06);
    stamped(bytes, "uninstaller stream: a reserved block type");
  }

  int run = 0;
  RunCopies(campaign, copies, run);
}

// --- upgrade anywhere ------------------------------------------------------------------------

// The installation complete in `folder`: "A" (the demo payload) or "B" (the reference
// payload), each file with its payload's bytes, with its uninstaller, a manifest with its
// folder list, the component registered from the folder, an entry that names the folder and
// nothing set aside. Empty otherwise, with what is wrong in `why`. A file the user changed
// is theirs: `edited`'s bytes are not compared.
std::string CompleteInstallation(const std::wstring& folder,
                                 const std::wstring& edited,
                                 std::string* why) {
  std::string version;
  for (const auto& [name, payload] :
       {std::pair{"A", SETUP_DEMO_PAYLOAD_W}, std::pair{"B", SETUP_REFERENCE_PAYLOAD_W}}) {
    const std::wstring root = std::wstring(payload) + L"\\";
    std::vector<std::wstring> files;
    ListFiles(root, L"", &files);
    if (std::all_of(files.begin(), files.end(), [&](const std::wstring& file) {
          return file == edited || ReadBytes(folder + file) == ReadBytes(root + file);
        })) {
      version = name;
    }
  }
  std::string wrong = version.empty() ? "the files are neither A's nor B's" : "";
  const auto check = [&wrong](bool held, const char* what) {
    if (!held)
      wrong += (wrong.empty() ? "" : "; ") + std::string(what);
  };
  check(Exists(folder + L"uninstall.exe"), "no uninstall.exe");
  check(ReadBytes(folder + L"uninstall.ini").find("[InstallDirectoryInfo]") != std::string::npos,
        "no complete manifest");
  // B's package spells the component "ImageOle.dll": Windows compares names without case.
  check(lstrcmpiW(RegisteredServer().c_str(), (folder + L"imageOle.dll").c_str()) == 0,
        "the component is not registered there");
  check(EntryText(L"InstallLocation") + L"\\" == folder, "the entry does not name the folder");
  check(EntryText(product::kJournalValue).empty(), "the entry still names a journal");
  for (const std::wstring& file : Listing(folder + L"uninstall.old\\"))
    check(file.ends_with(L".del"), "something is still set aside");
  *why = wrong;
  return wrong.empty() ? version : std::string();
}

// The demo installer's installation (A) with the user's file beside it and its config.ini
// changed by its user, then an upgrade by the campaign installer (B, the reference payload)
// into the same folder or another, cancelled in the wizard or killed at a moment - its
// commit included (the wizard killed as it records it). A cancel leaves A; a kill leaves what
// the next installer (its wizard, the earlier installation's question answered No) makes of
// it: A, or B when the kill came after the commit. Either is complete, no class names a file
// that is not there, and the user's change is kept: the next upgrade (A's installer again)
// still tells it from the package's file. Its uninstaller then removes it all.
void UpgradeAnywhere(const char* name, bool kill) {
  Campaign campaign(name, static_cast<int>(kUpgradePhases.size()), kUpgradePhases);
  const std::wstring wideName(name, name + std::strlen(name));  // ASCII
  const std::vector<std::wstring> files = PayloadInOrder(SETUP_REFERENCE_PAYLOAD_W);
  ASSERT_GE(files.size(), 6u);
  const std::wstring logs = L"D:\\e2e\\logs\\";
  CreateDirectoryW(logs.c_str(), nullptr);
  for (int run = 1; run <= campaign.Runs(); ++run) {
    if (!campaign.Makes(run))
      continue;
    Random random = campaign.RunRandom(run);
    const Moment moment =
        ChooseMoment(campaign, run, random, files.size(), kill ? 400 : 30, kUpgradePhases.size());
    const bool elsewhere = random.Below(2) == 1;
    CleanMachine();
    const std::wstring folder = FreshFolder(wideName.c_str(), L"D:\\e2e\\");
    // Another folder is made by the installer, so that an undo removes it again.
    const std::wstring target =
        elsewhere ? FreshFolder((wideName + L" new").c_str(), L"D:\\e2e\\") + L"brimvale\\"
                  : folder;
    const UserFile user(folder, random);
    ASSERT_EQ(
        RunSilently(InstallerCopy(L"setup_portal_77.exe"), L"/S /NORUN /D=" + folder).exitCode, 0u);
    const std::string edit = ReadBytes(folder + L"config.ini") + "Server=mine\r\n";
    WriteBytes(folder + L"config.ini", edit);
    const std::wstring upgrade =
        InstallerCopy(L"setup_portal_77.exe", false, SETUP_CAMPAIGN_INSTALLER_W);
    const std::wstring log = L"\"/LOG=" + logs + wideName + L"-" + std::to_wstring(run) + L".log\"";
    const std::wstring journal = folder + L"uninstall.old\\journal";
    campaign.Begin(run, moment.Describe(files) + (elsewhere ? ", into another folder" : ""),
                   kPhaseNames[static_cast<int>(moment.phase)]);
    std::unique_ptr<SlowRegistration> slow;
    if (moment.phase == Phase::kRegistration)
      slow = std::make_unique<SlowRegistration>();
    // The moment's file may be the earlier installation's too: it is waited for once the
    // earlier files are being set aside.
    const auto momentCame = [&](ULONGLONG start, const std::function<bool()>& running) {
      if (moment.phase != Phase::kPreparing &&
          !WaitUntil([&] { return Exists(folder + L"uninstall.old") || !running(); }, 60000)) {
        return false;
      }
      return WaitForMoment(moment, target, files, start, running, journal);
    };
    bool inTime = false;
    bool killed = kill;
    if (kill) {
      HANDLE process = Launch(upgrade, L"/S /NORUN " + log + (elsewhere ? L" /D=" + target : L""));
      ASSERT_NE(process, nullptr);
      inTime = momentCame(GetTickCount64(),
                          [process] { return WaitForSingleObject(process, 0) == WAIT_TIMEOUT; });
      TerminateProcess(process, 255);
      WaitForSingleObject(process, 30000);
      CloseHandle(process);
    } else {
      Driver d;
      ASSERT_TRUE(d.Start(upgrade, log));
      d.Click(kNext);
      AnswerMessageBox(L"提示", IDYES);
      ASSERT_TRUE(d.WaitForText(kNext, L"接受", 30000));
      d.Click(kNext);
      ASSERT_TRUE(d.WaitForText(kNext, L"安装"));
      d.SetText(kEdit, target);
      const ULONGLONG start = GetTickCount64();
      d.Click(kNext);
      inTime = momentCame(start, [&d, &moment] {
        return d.WaitForExit(0) == STILL_ACTIVE &&
               (moment.phase == Phase::kCommit || d.Text(kCancel) == L"取消");
      });
      if (inTime && moment.phase == Phase::kCommit) {
        // No cancel once the installation is recorded: the wizard is killed instead.
        TerminateProcess(d.Process(), 255);
        d.WaitForExit(30000);
        killed = true;
      } else if (inTime) {
        campaign.Note("cancelled with " + WrittenSoFar(target, files));
        d.Click(kCancel);
        AnswerMessageBox(L"提示", IDYES);
        campaign.Check(d.WaitForExit(90000) == Exit(SetupExit::kCancelled),
                       "the cancelled exit code");
      } else {
        if (d.Text(kCancel) == L"完成") {
          SendMessageW(GetDlgItem(d.Window(), kRunNow), BM_CLICK, 0, 0);
          d.Click(kCancel);
        }
        d.WaitForExit(60000);
      }
    }
    if (inTime && killed) {
      campaign.Note("killed; left " + WrittenSoFar(target, files));
      WaitForTheRegistrationToEnd();
      Driver next;
      ASSERT_TRUE(next.Start(upgrade));
      next.Click(kNext);
      campaign.Check(AnswerMessageBox(L"提示", IDNO) == L"你已经安装过此程序，需卸载后继续",
                     "the next installer asks about the earlier installation");
      next.SettleInput();
      next.Click(kCancel);
      AnswerMessageBox(L"提示", IDYES);
      const DWORD code = next.WaitForExit(60000);
      campaign.Check(code == Exit(SetupExit::kCancelled), "the next installer is cancelled",
                     std::to_string(code));
    }
    slow.reset();
    if (!inTime)
      campaign.Missed("the upgrade ended first");
    std::string whyA, whyB;
    const std::string a = CompleteInstallation(folder, L"config.ini", &whyA);
    const std::string b = CompleteInstallation(target, L"", &whyB);
    const std::string complete = a == "A" ? a : b == "B" ? b : std::string();
    const std::wstring installed = complete == "A" ? folder : target;
    if (inTime) {
      campaign.Note("then installed: " + (complete.empty() ? "nothing complete" : complete));
      campaign.Check(complete == "A" || (killed && complete == "B"),
                     killed ? "a complete installation, A or B" : "the earlier installation",
                     "A: " + whyA + "; B: " + whyB);
      campaign.Check(user.Untouched(), "the user's file is untouched");
      const std::wstring server = RegisteredServer();
      campaign.Check(server.empty() || Exists(server), "no class names a missing file",
                     Narrow(server));
      campaign.Check(ReadBytes(folder + L"config.ini") == edit, "the user's change is kept");
    }
    // The next upgrade into the installation's folder: A's installer, whose package has the
    // file the user changed. Where that file is the installation's, it stays as it is.
    const SilentRun next = RunSilently(InstallerCopy(L"setup_portal_77.exe"), L"/S /NORUN");
    campaign.Check(next.exitCode == 0, "the next upgrade installs", std::to_string(next.exitCode));
    if (complete == "A" || installed != folder) {
      campaign.Check(ReadBytes(folder + L"config.ini") == edit,
                     "the next upgrade keeps the user's change");
    }
    const DWORD removed =
        RunForExitCode(installed + L"uninstall.exe", L"-silent", installed.c_str());
    campaign.Check(removed == 0, "its uninstaller ends with 0", std::to_string(removed));
    // What stays is the user's: their file, and the file they changed where the removal did
    // not take it as the installation's.
    for (const std::wstring& place : {folder, target}) {
      std::vector<std::wstring> kept;
      if (place == folder)
        kept.push_back(kUserFile);
      if (ReadBytes(place + L"config.ini") == edit)
        kept.push_back(L"config.ini");
      for (const Difference& d : NotClean(place, kept))
        campaign.Check(false, d.check + " after the removal", d.found);
      if (place == target)
        break;
    }
    campaign.Check(user.Untouched(), "the user's file is untouched after the removal");
    campaign.End();
  }
  CleanMachine();
  campaign.ExpectEveryPhaseJudged();
}

TEST(Campaign, UpgradeCancelledAnywhere) {
  UpgradeAnywhere("upgrade-cancel", false);
}

TEST(Campaign, UpgradeKilledAnywhere) {
  UpgradeAnywhere("upgrade-kill", true);
}

}  // namespace
