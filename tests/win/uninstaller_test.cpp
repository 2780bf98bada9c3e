// Under Windows (Wine): install the demo payload with the worker (which writes the real
// uninstall.exe), then run the uninstaller the ways users and the installer do, answering
// its message boxes, and check what is left: only the user's own files, nothing in the
// user's temporary folder, and the clean-up helper's copy only while it runs, in a folder
// of its own that users cannot change. Hostile manifests and a link planted in the install
// folder delete nothing outside it; what cannot be removed is named and fails the exit
// code; a folder the code page cannot spell is left whole; the clean-up helper leaves a new
// installation's uninstall.exe alone. The uninstaller asks for administrator rights and
// imports only DLLs the loader takes from the system.
#include <windows.h>
// after windows.h
#include <shellapi.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/driver.h"
#include "tests/win/program_checks.h"
#include "tests/win/worker_harness.h"
#include "uninstaller/SelfRemoval.h"
#include "uninstaller/UninstallApp.h"
#include "win/install/AdminObjects.h"

namespace {

constexpr wchar_t kEntryKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvel视频安装版";

std::wstring Install(const wchar_t* name) {
  const std::wstring folder = FreshFolder(name, L"D:\\uninstall\\");
  InstallWorker worker;
  const std::vector<Report> reports = RunWorker(worker, folder);
  EXPECT_FALSE(reports.empty());
  if (!reports.empty()) {
    EXPECT_EQ(reports.back().code, INSTALL_COMPLETE)
        << std::string(reports.back().path.begin(), reports.back().path.end());
  }
  return folder;
}

// Answers the uninstaller's message boxes ("提示") in turn, recording their texts.
class BoxAnswerer {
 public:
  explicit BoxAnswerer(std::vector<int> answers) : answers_(std::move(answers)) {
    thread_ = std::thread([this] { Loop(); });
  }
  ~BoxAnswerer() { Stop(); }
  // Stops answering and returns the texts of the boxes answered. Called once the
  // uninstaller has ended, every box it showed was answered.
  const std::vector<std::wstring>& Texts() {
    Stop();
    return texts_;
  }

 private:
  void Stop() {
    done_ = true;
    if (thread_.joinable())
      thread_.join();
  }
  void Loop() {
    HWND answered = nullptr;
    for (std::size_t next = 0; next < answers_.size(); ++next) {
      // Under load the box answered last may still be going when the next is made: it is
      // never answered twice.
      HWND box = nullptr;
      if (!WaitUntil([&] {
            box = FindWindowW(L"#32770", L"提示");
            return done_ || (box != nullptr && box != answered);
          }) ||
          done_) {
        return;
      }
      // A box found as it is made has no text yet, and takes no answer: wait for its text.
      wchar_t text[256] = {};
      WaitUntil([&] { return GetDlgItemTextW(box, 0xFFFF, text, 256) != 0; }, 5000);
      texts_.push_back(text);
      const int id = answers_[next];
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
      answered = box;
      WaitUntil([box] { return !IsWindow(box); }, 2000);
    }
  }
  std::vector<int> answers_;
  std::vector<std::wstring> texts_;
  std::thread thread_;
  std::atomic<bool> done_{false};
};

// Runs `folder`\uninstall.exe with `arguments`; its exit code, not its helper's.
DWORD Uninstall(const std::wstring& folder, const std::wstring& arguments) {
  const DWORD code = RunForExitCode(folder + L"uninstall.exe", arguments, folder.c_str());
  EXPECT_NE(code, static_cast<DWORD>(STILL_ACTIVE));
  return code;
}

bool WaitUntilGone(const std::wstring& path) {
  return WaitUntil([&path] { return !Exists(path); }, 10000);
}

std::wstring WindowsTemp() {
  wchar_t windows[MAX_PATH] = {};
  GetSystemWindowsDirectoryW(windows, MAX_PATH);
  return std::wstring(windows) + L"\\Temp\\";
}

// The clean-up helpers' folders (each ending with '\'), left empty until the next restart.
std::vector<std::wstring> HelperFolders() {
  std::vector<std::wstring> folders;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((WindowsTemp() + L"Del*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE)
    return folders;
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      folders.push_back(WindowsTemp() + data.cFileName + L"\\");
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return folders;
}

std::vector<std::wstring> TemporaryCopies() {
  std::vector<std::wstring> copies;
  for (const std::wstring& folder : HelperFolders()) {
    if (Exists(folder + L"uninstall.exe"))
      copies.push_back(folder + L"uninstall.exe");
  }
  return copies;
}

bool NoTemporaryCopyLeft() {
  return WaitUntil([] { return TemporaryCopies().empty(); }, 10000);
}

std::wstring Special(int csidl) {
  wchar_t path[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, 0, path);
  return path;
}

// What an installation's finishing step leaves outside the folder: shortcuts and the entry,
// which names the installation's `folder`.
void PlantShortcutsAndEntry(const std::wstring& folder) {
  WriteBytes(Special(CSIDL_STARTUP) + L"\\Korvel互动.lnk", "lnk");
  WriteBytes(Special(CSIDL_COMMON_DESKTOPDIRECTORY) + L"\\Korvel互动.lnk", "lnk");
  WriteBytes(Special(CSIDL_COMMON_PROGRAMS) + L"\\brimvale\\Korvel互动.lnk", "lnk");
  WriteBytes(Special(CSIDL_COMMON_PROGRAMS) + L"\\brimvale\\uninstall.lnk", "lnk");
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEntryKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  const std::wstring location = folder.substr(0, folder.size() - 1);
  RegSetValueExW(key, L"InstallLocation", 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(location.c_str()),
                 static_cast<DWORD>((location.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

// How many of the four shortcuts and the entry are there.
int ShortcutsAndEntryLeft() {
  HKEY key = nullptr;
  const bool entry =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEntryKey, 0, KEY_READ, &key) == ERROR_SUCCESS;
  if (entry)
    RegCloseKey(key);
  int left = entry ? 1 : 0;
  for (const std::wstring& shortcut :
       {Special(CSIDL_STARTUP) + L"\\Korvel互动.lnk",
        Special(CSIDL_COMMON_DESKTOPDIRECTORY) + L"\\Korvel互动.lnk",
        Special(CSIDL_COMMON_PROGRAMS) + L"\\brimvale\\Korvel互动.lnk",
        Special(CSIDL_COMMON_PROGRAMS) + L"\\brimvale\\uninstall.lnk"}) {
    left += Exists(shortcut) ? 1 : 0;
  }
  return left;
}

bool ShortcutsAndEntryGone() {
  return ShortcutsAndEntryLeft() == 0 && !Exists(Special(CSIDL_COMMON_PROGRAMS) + L"\\brimvale");
}

const wchar_t* const kInstalled[] = {L"Emotions\\经典\\大笑.gif",
                                     L"ImageOle.dll",
                                     L"Korvel互动.exe",
                                     L"Skin\\UserIcon\\Level\\Level01.png",
                                     L"config.ini",
                                     L"web\\IconHelp\\index.htm",
                                     L"RudodeData\\Spread.ini"};

// The helper's command line is split with Windows' rules: blanks in any path must keep it
// three arguments, or four with the folder the installation made.
TEST(Uninstaller, CleanUpCommandLineSplitsIntoItsArguments) {
  const std::wstring copy = L"C:\\Windows (100%)\\Temp\\Del0123456789ABCDEF\\uninstall.exe";
  const std::wstring installed = L"D:\\a&b (x) ^c\\互动\\uninstall.exe";
  const std::wstring made = L"D:\\a&b (x) ^c";
  for (const std::wstring& folder : {std::wstring(), made}) {
    int count = 0;
    LPWSTR* arguments =
        CommandLineToArgvW(CleanUpCommandLine(copy, 452, installed, folder).c_str(), &count);
    ASSERT_EQ(count, folder.empty() ? 4 : 5);
    EXPECT_EQ(arguments[0], copy);
    EXPECT_STREQ(arguments[1], L"/clean-up-after-uninstall");
    EXPECT_STREQ(arguments[2], L"452");
    EXPECT_EQ(arguments[3], installed);
    if (!folder.empty()) {
      EXPECT_EQ(arguments[4], made);
    }
    LocalFree(arguments);
  }
}

// The user's temporary folder, which a process of the user's could change, is never used:
// the helper's copy lies in a folder of its own that only administrators can change (Wine
// keeps no rights per file, but builds an entry for Everyone into what it reads back from
// any folder made with the rights it would inherit).
TEST(Uninstaller, SilentRemovalLeavesOnlyTheUsersFiles) {
  const std::wstring folder = Install(L"silent");
  EXPECT_EQ(RegisteredServer(), folder + L"imageOle.dll");
  WriteBytes(folder + L"Skin\\UserIcon\\mine.txt", "the user's");
  WriteBytes(folder + L"web\\IconHelp\\images\\THUMBS.DB", "cache");
  PlantShortcutsAndEntry(folder);
  const std::wstring temporaryFolder = FreshFolder(L"John Smith & Co", L"D:\\uninstall\\");
  const EnvironmentVariables temporary({{L"TMP", temporaryFolder}, {L"TEMP", temporaryFolder}});
  HANDLE change =
      FindFirstChangeNotificationW(temporaryFolder.c_str(), TRUE, FILE_NOTIFY_CHANGE_DIR_NAME);
  ASSERT_NE(change, INVALID_HANDLE_VALUE);
  const std::vector<std::wstring> before = HelperFolders();
  // What other uninstallers take for -silent, as a deployment tool may write it.
  EXPECT_EQ(Uninstall(folder, L"/VERYSILENT /SUPPRESSMSGBOXES /NORESTART"), 0u);
  // The helper waits a second after the uninstaller's end; its copy is there meanwhile.
  std::vector<std::wstring> made;
  for (const std::wstring& helperFolder : HelperFolders()) {
    if (std::find(before.begin(), before.end(), helperFolder) == before.end())
      made.push_back(helperFolder);
  }
  ASSERT_EQ(made.size(), 1u);
  const std::wstring copy = made[0] + L"uninstall.exe";
  EXPECT_TRUE(Exists(copy));
  EXPECT_FALSE(EveryoneMay(made[0]));
  EXPECT_FALSE(EveryoneMay(copy));
  for (const wchar_t* file : kInstalled)
    EXPECT_FALSE(Exists(folder + file));
  EXPECT_TRUE(Exists(folder + L"Skin\\UserIcon\\mine.txt"));
  EXPECT_FALSE(Exists(folder + L"Skin\\UserIcon\\Level"));
  EXPECT_FALSE(Exists(folder + L"web"));
  EXPECT_FALSE(Exists(folder + L"uninstall.ini"));
  EXPECT_EQ(RegisteredServer(), L"");  // unregistered before its file went
  EXPECT_TRUE(ShortcutsAndEntryGone());
  EXPECT_TRUE(WaitUntilGone(folder + L"uninstall.exe"));
  EXPECT_TRUE(Exists(folder));  // it still holds the user's file
  EXPECT_TRUE(WaitUntilGone(copy));
  EXPECT_EQ(WaitForSingleObject(change, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  FindCloseChangeNotification(change);
  // Its log alone, as every silent run writes one.
  WIN32_FIND_DATAW log;
  const HANDLE find =
      FindFirstFileW((temporaryFolder + L"\\brimvale-uninstall-*.log").c_str(), &log);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  FindClose(find);
  EXPECT_TRUE(
      ReadBytes(temporaryFolder + L"\\" + log.cFileName).ends_with("  result: 0, removed\r\n"));
}

TEST(Uninstaller, InteractiveYesRemovesEverythingAndTheFolder) {
  const std::wstring folder = Install(L"interactive-yes");
  {
    BoxAnswerer answers({IDYES, IDOK});
    EXPECT_EQ(Uninstall(folder, L""), 0u);
    EXPECT_EQ(answers.Texts(),
              (std::vector<std::wstring>{L"是否要卸载Korvel视频安装版",
                                         L"Korvel视频安装版成功从你的计算机移除"}));
  }
  EXPECT_FALSE(Exists(folder + L"Korvel互动.exe"));
  EXPECT_TRUE(WaitUntilGone(folder));
  EXPECT_TRUE(NoTemporaryCopyLeft());
}

TEST(Uninstaller, InteractiveNoChangesNothing) {
  const std::wstring folder = Install(L"interactive-no");
  {
    BoxAnswerer answers({IDNO});
    EXPECT_EQ(Uninstall(folder, L""), 1602u);
  }
  for (const wchar_t* file : kInstalled)
    EXPECT_TRUE(Exists(folder + file));
  EXPECT_TRUE(Exists(folder + L"uninstall.ini"));
  EXPECT_TRUE(Exists(folder + L"uninstall.exe"));
}

TEST(Uninstaller, OtherArgumentsDoNothing) {
  const std::wstring folder = Install(L"arguments");
  // What an admin might guess, and the helper's form without its handle: nothing removed.
  for (const wchar_t* arguments :
       {L"-Silent", L"one two three", L"-silent x", L"/S /REBOOT", L"/quiet", L"/NORESTART",
        L"-silent /LOG=", L"12 \"D:\\x\\uninstall.exe\"",
        L"/clean-up-after-uninstall 0 \"D:\\x\\uninstall.exe\""}) {
    EXPECT_EQ(Uninstall(folder, arguments), 4u) << arguments;
  }
  // A log that cannot be made is a usage error too; the dated log in the temporary folder
  // says why.
  {
    const std::wstring temporaryFolder = FreshFolder(L"log temp", L"D:\\uninstall\\");
    const EnvironmentVariables temporary({{L"TMP", temporaryFolder}, {L"TEMP", temporaryFolder}});
    const std::wstring log = temporaryFolder + L"missing\\x.log";
    EXPECT_EQ(Uninstall(folder, L"/S \"/LOG=" + log + L"\""), 4u);
    WIN32_FIND_DATAW found;
    const HANDLE find =
        FindFirstFileW((temporaryFolder + L"brimvale-uninstall-*.log").c_str(), &found);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    const std::string text = ReadBytes(temporaryFolder + found.cFileName);
    EXPECT_NE(text.find("the log D:\\uninstall\\log temp\\missing\\x.log could not be made "
                        "(error 3)"),
              std::string::npos)
        << text;
    EXPECT_TRUE(text.ends_with("  result: 4, usage\r\n")) << text;
  }
  // The helper's form with a handle number guessed (live handles of the program), or a
  // pseudo handle of its own process or thread, and a path and made folder outside: usage,
  // no wait, nothing deleted - not even a copy of uninstall.exe there.
  const std::wstring outside = FreshFolder(L"guessed", L"D:\\uninstall\\");
  WriteBytes(outside + L"a\\b\\uninstall.exe", ReadBytes(folder + L"uninstall.exe"));
  ASSERT_TRUE(CreateDirectoryW((outside + L"c").c_str(), nullptr));
  for (const wchar_t* handle : {L"4", L"12", L"16", L"20", L"32", L"64", L"4294967294",
                                L"18446744073709551614", L"18446744073709551615"}) {
    for (const wchar_t* path : {L"a\\b\\uninstall.exe", L"c\\uninstall.exe"}) {
      EXPECT_EQ(Uninstall(folder, std::wstring(L"/clean-up-after-uninstall ") + handle + L" \"" +
                                      outside + path + L"\" \"" + outside + L"\""),
                4u)
          << handle;
    }
  }
  EXPECT_TRUE(Exists(outside + L"a\\b\\uninstall.exe"));
  EXPECT_TRUE(Exists(outside + L"c"));
  for (const wchar_t* file : kInstalled)
    EXPECT_TRUE(Exists(folder + file));
  EXPECT_TRUE(Exists(folder + L"uninstall.exe"));
}

TEST(Uninstaller, RunningClientOrInstallerStopsEveryMode) {
  const std::wstring folder = Install(L"client-running");
  const std::wstring client = folder + L"Korvel互动.exe";
  HANDLE process = Launch(client, L"", folder.c_str());
  ASSERT_NE(process, nullptr);
  HWND window = nullptr;
  ASSERT_TRUE(WaitUntil([&window] {
    return (window = FindWindowW(L"ZephlinHallFrameWindow_Brimvale", nullptr)) != nullptr;
  })) << "the client did not start";
  // Each mode says so and removes nothing; -silent says it by its exit code alone.
  for (const wchar_t* arguments : {L"-silent", L""}) {
    BoxAnswerer answers({IDOK});
    EXPECT_EQ(Uninstall(folder, arguments), 2u);
    const bool silent = arguments == std::wstring(L"-silent");
    EXPECT_EQ(answers.Texts(), silent ? std::vector<std::wstring>{}
                                      : std::vector<std::wstring>{L"Korvel正在运行，请终止后卸载"})
        << arguments;
  }
  PostMessageW(window, WM_CLOSE, 0, 0);
  WaitForSingleObject(process, 10000);
  CloseHandle(process);
  // An installer holds its mutex: removing its files under it would leave its entry
  // pointing at nothing.
  HANDLE installer = CreateMutexW(const_cast<SECURITY_ATTRIBUTES*>(AdminObjectRights()), FALSE,
                                  L"Global\\vorlixInstall");
  for (const wchar_t* arguments : {L"-silent", L""}) {
    BoxAnswerer answers({IDOK});
    EXPECT_EQ(Uninstall(folder, arguments), 1618u);
    const bool silent = arguments == std::wstring(L"-silent");
    EXPECT_EQ(answers.Texts(),
              silent ? std::vector<std::wstring>{}
                     : std::vector<std::wstring>{L"Korvel视频安装版正在安装，请在安装结束后卸载"})
        << arguments;
  }
  for (const wchar_t* file : kInstalled)
    EXPECT_TRUE(Exists(folder + file));
  // The variable alone, set by hand, grants nothing.
  for (const wchar_t* forged : {L"1", L"0123456789ABCDEF0123456789ABCDEF"}) {
    const EnvironmentVariables started(
        EnvironmentVariables::Values{{L"vorlixStartedByInstaller", forged}});
    EXPECT_EQ(Uninstall(folder, L"-silent"), 1618u) << forged;
  }
  CloseHandle(installer);
  // An upgrade from or to another folder that did not end is the next installer's to end:
  // a removal now would take the entry and leave that folder's half.
  PlantShortcutsAndEntry(folder);
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, kEntryKey, L"UpgradeJournal", REG_SZ,
                            L"D:\\elsewhere\\", sizeof L"D:\\elsewhere\\"),
            ERROR_SUCCESS);
  EXPECT_EQ(Uninstall(folder, L"-silent"), 1618u);
  EXPECT_TRUE(Exists(folder + L"Korvel互动.exe"));
  // An older installer runs the earlier installation's uninstaller itself, while it holds
  // the mutex, with its grant: that run goes ahead.
  installer = CreateMutexW(const_cast<SECURITY_ATTRIBUTES*>(AdminObjectRights()), FALSE,
                           L"Global\\vorlixInstall");
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kEntryKey, L"UpgradeJournal");
  {
    const InstallerGrant grant;
    ASSERT_TRUE(grant.valid());
    EXPECT_EQ(Uninstall(folder, L"-silent"), 0u);
  }
  CloseHandle(installer);
  EXPECT_FALSE(Exists(folder + L"Korvel互动.exe"));
  EXPECT_TRUE(WaitUntilGone(folder));
}

// An installation cut off (a killed installer) leaves a manifest without its folder list:
// the folders of its files are removed all the same, and the install folder with them. Its
// component's file may be gone while its class still names it: the class goes all the same,
// never left for whoever makes that file again.
TEST(Uninstaller, ManifestOfAnInstallationCutOffRemovesItsFolders) {
  const std::wstring folder = Install(L"cut-off");
  std::string manifest = ReadBytes(folder + L"uninstall.ini");
  manifest.resize(manifest.find("[InstallDirectoryInfo]"));
  WriteBytes(folder + L"uninstall.ini", manifest);
  ASSERT_EQ(RegisteredServer(), folder + L"imageOle.dll");
  ASSERT_TRUE(DeleteFileW((folder + L"ImageOle.dll").c_str()));
  EXPECT_EQ(Uninstall(folder, L"-silent"), 0u);
  EXPECT_EQ(RegisteredServer(), L"") << "a class is left registered to the missing component";
  EXPECT_FALSE(Exists(folder + L"Skin"));
  EXPECT_FALSE(Exists(folder + L"Emotions"));
  EXPECT_TRUE(WaitUntilGone(folder));
}

// A gap ends a list; an empty folder entry is passed over, not taken for the end.
TEST(Uninstaller, GapInTheNumberingEndsTheList) {
  const std::wstring folder = Install(L"gap");
  ASSERT_TRUE(CreateDirectoryW((folder + L"listed").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((folder + L"after-gap").c_str(), nullptr));
  WriteBytes(folder + L"uninstall.ini",
             "[InstallFileInfo]\r\nFILE0=config.ini\r\nFILE1=readme.txt\r\nFILE3=ImageOle.dll\r\n"
             "[InstallDirectoryInfo]\r\nDIRECTORY0=\r\nDIRECTORY1=listed\r\n"
             "DIRECTORY3=after-gap\r\n");
  Uninstall(folder, L"-silent");
  EXPECT_FALSE(Exists(folder + L"config.ini"));
  EXPECT_FALSE(Exists(folder + L"readme.txt"));
  EXPECT_TRUE(Exists(folder + L"ImageOle.dll"));
  EXPECT_FALSE(Exists(folder + L"listed"));
  EXPECT_TRUE(Exists(folder + L"after-gap"));
}

// The entry, the shortcuts and the class are the installation's whose folder the entry
// names: a copy of the folder, or a bare copy of uninstall.exe, elsewhere removes its own
// files alone and says why. The real one removes them, even without its manifest.
TEST(Uninstaller, OnlyTheInstallationsOwnUninstallerRemovesItsEntry) {
  const std::wstring folder = Install(L"no-manifest");
  PlantShortcutsAndEntry(folder);
  const std::wstring copied = FreshFolder(L"backup", L"D:\\uninstall\\");
  std::vector<std::wstring> files;
  ListFiles(folder, L"", &files);
  for (const std::wstring& file : files)
    WriteBytes(copied + file, ReadBytes(folder + file));
  const std::wstring bare = FreshFolder(L"bare", L"D:\\uninstall\\");
  WriteBytes(bare + L"uninstall.exe", ReadBytes(folder + L"uninstall.exe"));
  const std::wstring log = copied.substr(0, copied.size() - 1) + L".log";
  EXPECT_EQ(Uninstall(copied, L"/S \"/LOG=" + log + L"\""), 0u);
  EXPECT_EQ(Uninstall(bare, L"-silent"), 0u);
  EXPECT_EQ(ShortcutsAndEntryLeft(), 5);
  EXPECT_EQ(RegisteredServer(), folder + L"imageOle.dll");
  EXPECT_NE(ReadBytes(log).find("the uninstall entry is the installation's in D:\\uninstall\\"
                                "no-manifest, not this folder's"),
            std::string::npos);
  EXPECT_TRUE(WaitUntilGone(copied));
  EXPECT_TRUE(WaitUntilGone(bare));
  for (const wchar_t* file : kInstalled)
    EXPECT_TRUE(Exists(folder + file));

  DeleteFileW((folder + L"uninstall.ini").c_str());
  Uninstall(folder, L"-silent");
  EXPECT_TRUE(ShortcutsAndEntryGone());
  EXPECT_TRUE(Exists(folder + L"Korvel互动.exe"));
  EXPECT_TRUE(WaitUntilGone(folder + L"uninstall.exe"));
}

// Entries that leave the folder, and a symbolic link planted in it (Wine shows a host
// link as a reparse point), delete nothing outside the folder.
TEST(Uninstaller, HostileEntriesAndLinksDeleteNothingOutside) {
  const std::wstring folder = Install(L"hostile");
  const std::wstring outside = FreshFolder(L"outside", L"D:\\uninstall\\");
  for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.txt", L"victim.txt", L"Thumbs.db"}) {
    WriteBytes(outside + name, "keep");
  }
  ASSERT_TRUE(PlantHostLink(folder + L"linked", "../outside"));
  ASSERT_TRUE(Exists(folder + L"linked\\victim.txt"));
  // An installed file swapped for a link to a file outside.
  ASSERT_TRUE(DeleteFileW((folder + L"readme.txt").c_str()));
  ASSERT_TRUE(PlantHostLink(folder + L"readme.txt", "../outside/a.txt"));

  // Traversal, absolute, rooted, drive-relative, UNC and device entries, a line longer than
  // any path, and 100,000 entries after them: refused or missing, never a hang.
  std::string manifest =
      "[InstallFileInfo]\r\nFILE0=..\\outside\\a.txt\r\nFILE1=D:\\uninstall\\outside\\b.txt\r\n"
      "FILE2=\\uninstall\\outside\\c.txt\r\nFILE3=linked\\victim.txt\r\nFILE4=config.ini\r\n"
      "FILE5=D:..\\outside\\a.txt\r\nFILE6=\\\\localhost\\D$\\uninstall\\outside\\b.txt\r\n"
      "FILE7=\\\\?\\D:\\uninstall\\outside\\c.txt\r\nFILE8=CON\r\nFILE9=web\\nul.txt\r\n"
      "FILE10=" +
      std::string(300, 'x') + "\r\nFILE11=readme.txt\r\n";
  for (int n = 12; n < 100000; ++n)
    manifest += "FILE" + std::to_string(n) + "=gone\\" + std::to_string(n) + ".txt\r\n";
  manifest += "[InstallDirectoryInfo]\r\nDIRECTORY0=linked\r\nDIRECTORY1=..\\outside\r\n";
  WriteBytes(folder + L"uninstall.ini", manifest);
  EXPECT_EQ(Uninstall(folder, L"-silent"), 1u);  // refused entries are reported; no time-out
  EXPECT_FALSE(Exists(folder + L"config.ini"));  // the list went on past the refusals
  for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.txt", L"victim.txt", L"Thumbs.db"}) {
    EXPECT_TRUE(Exists(outside + name))
        << "deleted outside: " << std::string(name, name + wcslen(name));
  }
  RemoveHostLink(folder + L"readme.txt");
}

// What is listed but cannot be removed - a file in use, a name the code page could not
// spell (a system whose code page is not 936 writes '?' for such letters) - is named in
// place of the success text, and the exit code says so. A file in use keeps the entry,
// uninstall.exe and a manifest naming only it: run again once it is free, the uninstaller
// finishes the removal.
TEST(Uninstaller, WhatCannotBeRemovedIsReported) {
  const std::wstring folder = Install(L"leftovers");
  const std::wstring locked = folder + L"config.ini";
  HANDLE lock = CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  PlantShortcutsAndEntry(folder);
  {
    BoxAnswerer answers({IDYES, IDOK});
    EXPECT_EQ(Uninstall(folder, L""), 1u);
    const std::vector<std::wstring>& texts = answers.Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1], L"Korvel视频安装版未能完全移除，无法删除：\r\n" + locked);
  }
  CloseHandle(lock);
  EXPECT_TRUE(Exists(locked));
  EXPECT_FALSE(Exists(folder + L"ImageOle.dll"));  // the rest went
  EXPECT_EQ(ShortcutsAndEntryLeft(), 1);           // the entry alone
  EXPECT_EQ(ReadBytes(folder + L"uninstall.ini"),
            "[InstallFileInfo]\r\nFILE0=config.ini\r\n[InstallDirectoryInfo]\r\n");
  EXPECT_TRUE(NoTemporaryCopyLeft());  // no helper to take uninstall.exe
  EXPECT_TRUE(Exists(folder + L"uninstall.exe"));
  EXPECT_EQ(Uninstall(folder, L"-silent"), 0u);
  EXPECT_TRUE(ShortcutsAndEntryGone());
  EXPECT_TRUE(WaitUntilGone(folder));

  const std::wstring other = Install(L"code-page");
  WriteBytes(other + L"uninstall.ini",
             "[InstallFileInfo]\r\nFILE0=Emotions\\??\\\xb4\xf3\xd0\xa6.gif\r\n");
  EXPECT_EQ(Uninstall(other, L"-silent"), 1u);
  EXPECT_TRUE(Exists(other + L"Emotions\\经典\\大笑.gif"));

  // No folder for the copy (the Windows folder's Temp folder is missing): uninstall.exe
  // cannot go, and says so. The user's temporary folder does not matter, however long.
  const std::wstring third = Install(L"no-windows-temp");
  const std::wstring windowsTemp = WindowsTemp().substr(0, WindowsTemp().size() - 1);
  ASSERT_TRUE(NoTemporaryCopyLeft());  // no helper runs from it
  ASSERT_TRUE(MoveFileW(windowsTemp.c_str(), (windowsTemp + L"-aside").c_str()));
  EXPECT_EQ(Uninstall(third, L"-silent"), 1u);
  EXPECT_TRUE(MoveFileW((windowsTemp + L"-aside").c_str(), windowsTemp.c_str()));
  EXPECT_FALSE(Exists(third + L"Korvel互动.exe"));
  const std::wstring fourth = Install(L"long-temporary");
  {
    const EnvironmentVariables temporary({{L"TMP", L"C:\\" + std::wstring(300, L't')},
                                          {L"TEMP", L"C:\\" + std::wstring(300, L't')}});
    EXPECT_EQ(Uninstall(fourth, L"-silent"), 0u);
  }
  EXPECT_TRUE(WaitUntilGone(fourth));
  EXPECT_TRUE(Exists(third + L"uninstall.exe"));

  // The component loaded by a program cannot be deleted, but moves aside and goes at the
  // next restart: the removal is done, and says that a restart completes it.
  const std::wstring fifth = Install(L"in-use");
  const HMODULE component = LoadLibraryW((fifth + L"imageOle.dll").c_str());
  ASSERT_NE(component, nullptr);
  const std::wstring log = fifth.substr(0, fifth.size() - 1) + L".log";
  EXPECT_EQ(Uninstall(fifth, L"/S \"/LOG=" + log + L"\""), 3010u);
  EXPECT_TRUE(ShortcutsAndEntryGone());
  EXPECT_FALSE(Exists(fifth + L"imageOle.dll"));
  EXPECT_NE(PendingDeletions().find(fifth + L"ImageOle.dll."), std::wstring::npos);
  EXPECT_TRUE(
      ReadBytes(log).ends_with("  result: 3010, removed; files in use go at the next restart\r\n"));
  FreeLibrary(component);
}

// A folder whose name code page 936 cannot spell: the single-byte path holds '?' and finds
// no manifest, so nothing at all is removed and the interactive mode says why. Moved to a
// name the code page can spell, the same installation is then removed but for its class,
// which names the file at the folder's former place.
TEST(Uninstaller, FolderTheCodePageCannotSpellIsLeftWhole) {
  const std::wstring folder = Install(L"한국");
  PlantShortcutsAndEntry(folder);
  EXPECT_EQ(Uninstall(folder, L"-silent"), 7u);
  {
    BoxAnswerer answers({IDYES, IDOK});
    EXPECT_EQ(Uninstall(folder, L""), 7u);
    const std::vector<std::wstring>& texts = answers.Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1],
              L"Korvel视频安装版无法卸载：安装文件夹的名称含有系统代码页无法表示的字符：\r\n" +
                  folder.substr(0, folder.size() - 1));
  }
  for (const wchar_t* file : kInstalled)
    EXPECT_TRUE(Exists(folder + file));
  EXPECT_TRUE(Exists(folder + L"uninstall.ini"));
  EXPECT_EQ(RegisteredServer(), folder + L"imageOle.dll");
  EXPECT_EQ(ShortcutsAndEntryLeft(), 5);

  const std::wstring moved = L"D:\\uninstall\\korean-moved\\";
  RemoveTree(moved);
  ASSERT_TRUE(MoveFileW(folder.substr(0, folder.size() - 1).c_str(),
                        moved.substr(0, moved.size() - 1).c_str()));
  PlantShortcutsAndEntry(moved);  // as an installation there writes it
  EXPECT_EQ(Uninstall(moved, L"-silent"), 0u);
  EXPECT_EQ(RegisteredServer(), folder + L"imageOle.dll");  // no file of this folder's
  EXPECT_TRUE(ShortcutsAndEntryGone());
  EXPECT_TRUE(WaitUntilGone(moved));
}

// A new installation right after a removal - the helper still waits to delete the old
// uninstall.exe - keeps the uninstall.exe it writes, and its folder.
TEST(Uninstaller, ReinstallRightAfterRemovalKeepsItsUninstaller) {
  const std::wstring folder = Install(L"reinstall");
  EXPECT_EQ(Uninstall(folder, L"-silent"), 0u);
  InstallWorker worker;
  ASSERT_EQ(RunWorker(worker, folder).back().code, INSTALL_COMPLETE);
  EXPECT_TRUE(NoTemporaryCopyLeft());  // the helper has run
  EXPECT_TRUE(Exists(folder + L"uninstall.exe"));
  EXPECT_TRUE(Exists(folder + L"Korvel互动.exe"));
}

// Read from the file: the elevation and DLL search that only real Windows applies.
TEST(Uninstaller, AsksForAdministratorAndImportsOnlySystemDlls) {
  const std::wstring folder = Install(L"imports");
  const ProgramFacts program = ReadProgram(ReadBytes(folder + L"uninstall.exe"));
  ExpectElevatedManifest(program);
  ExpectOnlyImports(program,
                    {"KERNEL32.dll", "USER32.dll", "ADVAPI32.dll", "SHELL32.dll", "msvcrt.dll"});
  ExpectVersionResource(folder + L"uninstall.exe", L"Korvel视频卸载程序");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
