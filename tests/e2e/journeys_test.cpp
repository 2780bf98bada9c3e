// Journeys through the real installer under Wine, driven as a person would: a complete
// installation (pages, pixels, defaults, and the machine afterwards), quitting before
// anything is installed, a second installer while one runs, a damaged installer, and the
// folders the target page refuses and accepts.
// With SETUP_E2E_SHOTS set, every page of the complete journey is saved there as a .bmp.
#include <windows.h>
// after windows.h
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/Finishing.h"
#include "product/Product.h"
#include "tests/e2e/driver.h"
#include "tests/win/program_checks.h"
#include "tests/win/worker_harness.h"

namespace {

constexpr int kBack = 20001, kNext = 20002, kCancel = 20003, kBrowse = 20004;
constexpr int kAutoStart = 20005, kRunNow = 20006, kShortcuts = 20007;
constexpr int kEdit = 20102, kFreeSpace = 20202;

// A copy of the installer under its channel name, in a folder of its own.
std::wstring InstallerCopy(const wchar_t* name, bool damage = false) {
  const std::wstring folder = FreshFolder(L"downloads", L"D:\\e2e\\");
  const std::wstring path = folder + name;
  std::string bytes = ReadBytes(SETUP_INSTALLER_W);
  if (damage)
    bytes[bytes.size() / 2] ^= 0x01;
  WriteBytes(path, bytes);
  return path;
}

void ShotIf(const Driver& d, const wchar_t* name) {
  wchar_t folder[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"SETUP_E2E_SHOTS", folder, MAX_PATH) == 0)
    return;
  d.CaptureClient().Save(std::wstring(folder) + L"\\" + name + L".bmp");
}

bool EntryExists() {
  HKEY key = nullptr;
  const bool found = RegOpenKeyExW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, 0, KEY_READ,
                                   &key) == ERROR_SUCCESS;
  if (found)
    RegCloseKey(key);
  return found;
}

// The band every page but the welcome page paints, and the welcome picture's own rows.
void ExpectBands(const Capture& c, const char* page) {
  ASSERT_EQ(c.width, 576) << page;
  ASSERT_EQ(c.height, 418) << page;
  EXPECT_EQ(c.Pixel(5, 376), RGB(174, 174, 174)) << page;
  EXPECT_EQ(c.Pixel(5, 377), RGB(227, 227, 227)) << page;
  EXPECT_EQ(c.Pixel(5, 417), RGB(227, 227, 227)) << page;
}

void CloseClient() {
  for (HWND w; (w = FindWindowW(L"ZephlinHallFrameWindow_Brimvale", nullptr)) != nullptr;) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (p == nullptr)
      break;
    TerminateProcess(p, 0);
    WaitForSingleObject(p, 5000);
    CloseHandle(p);
  }
}

TEST(Journey, CompleteInstallationThenSilentRemoval) {
  CloseClient();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  RemoveTree(L"D:\\e2e\\brimvale\\");  // the wizard makes it
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));

  // Welcome: the picture, Next and Cancel only.
  Capture welcome = d.CaptureClient();
  ShotIf(d, L"1-welcome");
  ExpectBands(welcome, "welcome");
  EXPECT_TRUE(d.Visible(kNext) && d.Visible(kCancel));
  EXPECT_FALSE(d.Visible(kBack) || d.Visible(kEdit) || d.Visible(kBrowse));
  EXPECT_EQ(d.Text(kNext), L"下一步");
  EXPECT_EQ(d.Text(kCancel), L"取消");
  EXPECT_EQ(d.Focus(), GetDlgItem(d.Window(), kNext));

  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"接受"));
  Capture agreement = d.CaptureClient();
  ShotIf(d, L"2-agreement");
  ExpectBands(agreement, "agreement");
  EXPECT_EQ(agreement.Pixel(5, 200), RGB(255, 255, 255));
  EXPECT_TRUE(d.Visible(kBack) && d.Visible(20101));

  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"安装"));
  EXPECT_EQ(d.Text(kEdit), L"D:\\brimvale");
  EXPECT_EQ(d.Text(kFreeSpace).rfind(L"可用空间： C:", 0), 0u) << "free space line";
  // Back and forth recomputes the suggestion, replacing what was typed.
  d.SetText(kEdit, L"D:\\typed");
  d.Click(kBack);
  ASSERT_TRUE(d.WaitForText(kNext, L"接受"));
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"安装"));
  EXPECT_EQ(d.Text(kEdit), L"D:\\brimvale");
  EXPECT_EQ(d.Focus(), GetDlgItem(d.Window(), kNext));
  d.SetText(kEdit, L"D:\\e2e\\brimvale   ");
  // Enter in the folder box presses nothing: the dialog has no default button.
  d.FocusControl(kEdit);
  ASSERT_EQ(d.Focus(), GetDlgItem(d.Window(), kEdit));
  PostMessageW(GetDlgItem(d.Window(), kEdit), WM_KEYDOWN, VK_RETURN, 0);
  PostMessageW(GetDlgItem(d.Window(), kEdit), WM_KEYUP, VK_RETURN, 0);
  Sleep(300);
  EXPECT_EQ(d.Text(kNext), L"安装");
  ShotIf(d, L"3-target");
  ExpectBands(d.CaptureClient(), "target");

  d.Click(kNext);
  Sleep(150);
  if (d.Visible(kNext) && !d.Enabled(kNext))
    ShotIf(d, L"4-installing");  // if still there
  ASSERT_TRUE(d.WaitForText(kCancel, L"完成", 120000)) << "the installation did not finish";
  ShotIf(d, L"5-finished");
  ExpectBands(d.CaptureClient(), "finished");
  EXPECT_EQ(d.Checked(kAutoStart), BST_UNCHECKED);
  EXPECT_EQ(d.Checked(kRunNow), BST_CHECKED);
  EXPECT_EQ(d.Checked(kShortcuts), BST_CHECKED);
  EXPECT_FALSE(d.Visible(kNext));
  EXPECT_EQ(d.Focus(), GetDlgItem(d.Window(), kCancel));

  d.Click(kCancel);  // "完成"
  EXPECT_EQ(d.WaitForExit(60000), 0u);

  const std::wstring folder = L"D:\\e2e\\brimvale\\";
  EXPECT_TRUE(Exists(folder + L"Korvel互动.exe"));
  EXPECT_FALSE(EveryoneMay(folder)) << "the folder the wizard made has the program folder's rights";
  EXPECT_TRUE(Exists(folder + L"uninstall.exe"));
  EXPECT_EQ(ReadBytes(folder + L"RudodeData\\Spread.ini"),
            "[SpreadInfo]\r\nSpreadPlat=portal\r\nSubDetailInfo=77\r\n");
  EXPECT_NE(ReadBytes(folder + L"uninstall.ini").find("DIRECTORY"), std::string::npos);
  EXPECT_TRUE(EntryExists());
  EXPECT_TRUE(Exists(ShortcutPath(CSIDL_COMMON_DESKTOPDIRECTORY, L"Korvel互动.lnk")));
  EXPECT_TRUE(Exists(ShortcutPath(CSIDL_COMMON_PROGRAMS, L"brimvale\\uninstall.lnk")));
  EXPECT_FALSE(Exists(ShortcutPath(CSIDL_STARTUP, L"Korvel互动.lnk")));
  HWND client = nullptr;
  for (int i = 0; i < 100 && client == nullptr; ++i, Sleep(50)) {
    client = FindWindowW(L"ZephlinHallFrameWindow_Brimvale", nullptr);
  }
  EXPECT_NE(client, nullptr) << "the client was not started";
  CloseClient();

  // And away again.
  ASSERT_TRUE(RunToEnd(folder + L"uninstall.exe", L"-silent", folder.c_str()));
  EXPECT_FALSE(EntryExists());
  for (int i = 0; i < 200 && Exists(folder); ++i)
    Sleep(50);
  EXPECT_FALSE(Exists(folder));
}

TEST(Journey, QuitOnTheAgreementPageWritesNothing) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"接受"));
  d.Click(kCancel);
  EXPECT_EQ(AnswerMessageBox(L"提示", IDNO), L"安装还没结束，是否要退出安装");
  EXPECT_EQ(d.WaitForExit(500), static_cast<DWORD>(STILL_ACTIVE));  // declined: still there
  d.Click(kCancel);
  EXPECT_EQ(AnswerMessageBox(L"提示", IDYES), L"安装还没结束，是否要退出安装");
  EXPECT_EQ(d.WaitForExit(30000), 0u);
  EXPECT_FALSE(EntryExists());
}

TEST(Journey, SecondInstallerRefusesToRun) {
  Driver first;
  ASSERT_TRUE(first.Start(InstallerCopy(L"setup_portal_77.exe")));
  const std::wstring second = FreshFolder(L"second", L"D:\\e2e\\") + L"setup_portal_78.exe";
  WriteBytes(second, ReadBytes(SETUP_INSTALLER_W));
  HANDLE process = Launch(second);
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(AnswerMessageBox(L"提示", IDOK), L"安装程序已经在运行");
  EXPECT_EQ(WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
  CloseHandle(process);
  EXPECT_EQ(first.WaitForExit(200), static_cast<DWORD>(STILL_ACTIVE));
  first.Click(kCancel);
  AnswerMessageBox(L"提示", IDYES);
  EXPECT_EQ(first.WaitForExit(30000), 0u);
}

TEST(Journey, DamagedInstallerStopsAtTheIntegrityCheck) {
  const std::wstring damaged = InstallerCopy(L"setup_portal_77.exe", true);
  HANDLE process = Launch(damaged);
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(AnswerMessageBox(L"提示", IDOK), L"安装程序自我完整性检测失败，请尝试重新下载");
  EXPECT_EQ(WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
  CloseHandle(process);
}

// From a fresh start to the target page with `folder` typed in.
void ToTargetPage(Driver& d, const std::wstring& folder) {
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"接受"));
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"安装"));
  d.SetText(kEdit, folder);
}

TEST(Journey, QuitDuringInstallationRemovesWhatWasWritten) {
  CloseClient();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  const std::wstring folder = FreshFolder(L"quit", L"D:\\e2e\\");
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  ToTargetPage(d, folder);
  // Install, then Cancel at once: the question comes while the installation runs, with
  // the worker paused at its next file.
  d.Click(kNext);
  d.Click(kCancel);
  EXPECT_EQ(AnswerMessageBox(L"提示", IDYES), L"安装还没结束，是否要退出安装");
  EXPECT_EQ(d.WaitForExit(60000), 0u);
  EXPECT_FALSE(EntryExists());
  EXPECT_FALSE(Exists(folder + L"uninstall.ini"));
  EXPECT_FALSE(Exists(folder + L"ImageOle.dll"));
  EXPECT_FALSE(Exists(ShortcutPath(CSIDL_COMMON_DESKTOPDIRECTORY, L"Korvel互动.lnk")));
}

// Declining the quit question lets the paused installation go on to the end; the finish
// page's boxes then decide: here the start-up shortcut and no client.
TEST(Journey, QuitDeclinedDuringInstallationThenChosenFinish) {
  CloseClient();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  DeleteShortcut(CSIDL_STARTUP, L"Korvel互动.lnk");
  const std::wstring folder = FreshFolder(L"declined", L"D:\\e2e\\");
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  ToTargetPage(d, folder);
  d.Click(kNext);
  d.Click(kCancel);
  EXPECT_EQ(AnswerMessageBox(L"提示", IDNO), L"安装还没结束，是否要退出安装");
  ASSERT_TRUE(d.WaitForText(kCancel, L"完成", 120000));
  SendMessageW(GetDlgItem(d.Window(), kAutoStart), BM_CLICK, 0, 0);
  SendMessageW(GetDlgItem(d.Window(), kRunNow), BM_CLICK, 0, 0);
  EXPECT_EQ(d.Checked(kAutoStart), BST_CHECKED);
  EXPECT_EQ(d.Checked(kRunNow), BST_UNCHECKED);
  d.Click(kCancel);
  EXPECT_EQ(d.WaitForExit(60000), 0u);
  EXPECT_TRUE(Exists(folder + L"Korvel互动.exe"));
  EXPECT_TRUE(Exists(ShortcutPath(CSIDL_STARTUP, L"Korvel互动.lnk")));
  Sleep(500);
  EXPECT_EQ(FindWindowW(L"ZephlinHallFrameWindow_Brimvale", nullptr), nullptr);
  EXPECT_TRUE(RunToEnd(folder + L"uninstall.exe", L"-silent", folder.c_str()));
  EXPECT_FALSE(Exists(ShortcutPath(CSIDL_STARTUP, L"Korvel互动.lnk")));
}

TEST(Journey, LockedTargetFileIsReportedAndTheInstallationRemoved) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  const std::wstring folder = FreshFolder(L"locked", L"D:\\e2e\\");
  const std::wstring blocked = folder + L"config.ini";
  WriteBytes(blocked, "the user's");
  HANDLE lock = CreateFileW(blocked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  ToTargetPage(d, folder);
  d.Click(kNext);
  EXPECT_EQ(AnswerMessageBox(L"setup_portal_77", IDOK, 60000), L"创建文件" + blocked + L"失败");
  EXPECT_EQ(d.WaitForExit(60000), 0u);
  CloseHandle(lock);
  EXPECT_EQ(ReadBytes(blocked), "the user's");
  EXPECT_FALSE(Exists(folder + L"ImageOle.dll"));  // written before it, removed again
  EXPECT_FALSE(EntryExists());
}

// The target page refuses a folder it cannot make, one with '%' and one a unit too long
// for the package's longest path, each with its message, keeping the page and the text.
// The longest folder it accepts then installs every file and is removed again.
TEST(Journey, TargetPageRefusalsAndTheLongestFolderItAccepts) {
  CloseClient();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  std::vector<std::wstring> files;
  ListFiles(std::wstring(SETUP_DEMO_PAYLOAD_W) + L"\\", L"", &files);
  std::size_t longest = 0;
  for (const std::wstring& file : files)
    longest = std::max(longest, file.size());
  const std::wstring parent = FreshFolder(L"long", L"D:\\e2e\\");
  // With its '\', the longest folder leaves exactly room for the longest path within 259.
  const std::wstring longestFolder = parent + std::wstring(259 - longest - parent.size() - 1, L'l');
  struct Refusal {
    std::wstring typed;
    const wchar_t* message;
  };
  const Refusal refusals[] = {
      {L"Q:\\no\\such\\drive", L"创建文件夹失败，请检查文件名是否正确"},
      {L"D:\\e2e\\100%PATH%\\brimvale", L"安装路径中不能含有字符%，请选择其他文件夹"},
      {longestFolder + L"l", L"安装路径过长，请选择较短的文件夹"},
  };
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  ToTargetPage(d, L"");
  for (const Refusal& r : refusals) {
    d.SetText(kEdit, r.typed);
    d.Click(kNext);
    EXPECT_EQ(AnswerMessageBox(L"setup_portal_77", IDOK), r.message);
    Sleep(200);
    EXPECT_EQ(d.Text(kNext), L"安装");
    EXPECT_EQ(d.Text(kEdit), r.typed);
  }
  EXPECT_FALSE(Exists(L"D:\\e2e\\100%PATH%"));
  d.SetText(kEdit, longestFolder);
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kCancel, L"完成", 120000)) << "the longest folder did not install";
  SendMessageW(GetDlgItem(d.Window(), kRunNow), BM_CLICK, 0, 0);  // a running client stops removal
  d.Click(kCancel);
  EXPECT_EQ(d.WaitForExit(60000), 0u);
  const std::wstring folder = longestFolder + L"\\";
  for (const std::wstring& file : files)
    EXPECT_TRUE(Exists(folder + file)) << file;
  EXPECT_EQ(RunForExitCode(folder + L"uninstall.exe", L"-silent", folder.c_str()), 0u);
  for (int i = 0; i < 200 && Exists(folder); ++i)
    Sleep(50);
  EXPECT_FALSE(Exists(folder));
}

TEST(Journey, EscOnTheFinishPageWritesTheEntryOnly) {
  CloseClient();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  DeleteShortcut(CSIDL_COMMON_DESKTOPDIRECTORY, L"Korvel互动.lnk");
  const std::wstring folder = FreshFolder(L"esc", L"D:\\e2e\\");
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  ToTargetPage(d, folder);
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kCancel, L"完成", 120000));
  PostMessageW(d.Window(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);  // Esc
  EXPECT_EQ(d.WaitForExit(60000), 0u);
  EXPECT_TRUE(EntryExists());
  EXPECT_FALSE(Exists(ShortcutPath(CSIDL_COMMON_DESKTOPDIRECTORY, L"Korvel互动.lnk")));
  Sleep(500);
  EXPECT_EQ(FindWindowW(L"ZephlinHallFrameWindow_Brimvale", nullptr), nullptr);
  // The next installer finds this installation and removes it first.
  Driver again;
  ASSERT_TRUE(again.Start(InstallerCopy(L"setup_portal_77.exe")));
  again.Click(kNext);
  EXPECT_EQ(AnswerMessageBox(L"提示", IDYES), L"你已经安装过此程序，需卸载后继续");
  ASSERT_TRUE(again.WaitForText(kNext, L"接受", 60000));
  EXPECT_FALSE(EntryExists());
  EXPECT_FALSE(Exists(folder + L"Korvel互动.exe"));
  again.Click(kCancel);
  AnswerMessageBox(L"提示", IDYES);
  EXPECT_EQ(again.WaitForExit(30000), 0u);
}

TEST(Journey, RunningClientIsEndedAfterYes) {
  CloseClient();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  const std::wstring client = std::wstring(SETUP_DEMO_PAYLOAD_W) + L"\\Korvel互动.exe";
  HANDLE process = Launch(client);
  ASSERT_NE(process, nullptr);
  for (int i = 0; i < 200 && !FindWindowW(L"ZephlinHallFrameWindow_Brimvale", nullptr); ++i) {
    Sleep(50);
  }
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  d.Click(kNext);
  EXPECT_EQ(AnswerMessageBox(L"提示", IDYES), L"程序正在运行，点击确定将终止后继续");
  ASSERT_TRUE(d.WaitForText(kNext, L"接受"));
  EXPECT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
  CloseHandle(process);
  EXPECT_EQ(FindWindowW(L"ZephlinHallFrameWindow_Brimvale", nullptr), nullptr);
  d.Click(kCancel);
  AnswerMessageBox(L"提示", IDYES);
  EXPECT_EQ(d.WaitForExit(30000), 0u);
}

TEST(Installer, AsksForAdministratorAndImportsOnlySystemDlls) {
  const ProgramFacts program = ReadProgram(ReadBytes(SETUP_INSTALLER_W));
  ExpectElevatedManifest(program);
  // KnownDLLs, and the common controls, which the manifest binds to the system's own.
  ExpectOnlyImports(program, {"KERNEL32.dll", "USER32.dll", "GDI32.dll", "ADVAPI32.dll",
                              "SHELL32.dll", "ole32.dll", "msvcrt.dll", "COMCTL32.dll"});
}

}  // namespace
