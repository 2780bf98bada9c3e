// Journeys through the real installer under Wine, driven as a person would: a complete
// installation (pages, pixels, defaults, and the machine afterwards), quitting before
// anything is installed, a second installer while one runs, a damaged installer, the
// folders the target page refuses and accepts, input while the wizard waits, the folder
// browser, the keyboard, a full disk, and every page at 96, 120, 144 and 192 DPI read by a
// screen reader. With SETUP_E2E_SHOTS set, the pages are saved there as .bmp files.
#include <windows.h>
// after windows.h
#include <aclapi.h>
#include <commctrl.h>
#include <oleacc.h>
#include <richedit.h>
#include <shellapi.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/inflate/ResourceInflater.h"
#include "core/package/PayloadPackage.h"
#include "core/package/Utf8.h"
#include "core/product/Product.h"
#include "core/setup/SetupOptions.h"
#include "installer/flow/Finishing.h"
#include "tests/e2e/driver.h"
#include "tests/e2e/journey_helpers.h"
#include "tests/win/program_checks.h"
#include "tests/win/worker_harness.h"
#include "win/install/AdminObjects.h"

namespace {

// Saves `page` as `name`.bmp in the folder SETUP_E2E_SHOTS names, if it names one: the
// pictures are the pixels the journeys check.
void ShotIf(const Capture& page, const wchar_t* name) {
  wchar_t folder[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"SETUP_E2E_SHOTS", folder, MAX_PATH) == 0)
    return;
  page.Save(std::wstring(folder) + L"\\" + name + L".bmp");
}

int Px(int units, UINT dpi) {
  return MulDiv(units, static_cast<int>(dpi), 96);
}

// The client area's size and the skin's rows at `dpi`: at 96 row 376 is the separator and
// rows 377 to 417 the band, exactly; above it every length scales, rounded half up.
void ExpectSkin(const Capture& c, UINT dpi, const char* page, bool welcome = false) {
  ASSERT_EQ(c.width, Px(576, dpi)) << page;
  ASSERT_EQ(c.height, Px(418, dpi)) << page;
  const int separator = Px(376, dpi);
  for (int y = separator; y < separator + Px(1, dpi); ++y)
    EXPECT_EQ(c.Pixel(5, y), RGB(174, 174, 174)) << page << " row " << y;
  EXPECT_EQ(c.Pixel(5, separator + Px(1, dpi)), RGB(227, 227, 227)) << page;
  EXPECT_EQ(c.Pixel(5, c.height - 1), RGB(227, 227, 227)) << page;
  if (!welcome) {
    EXPECT_EQ(c.Pixel(5, separator - 1), RGB(255, 255, 255)) << page;
  }
}

// Every visible text of the wizard fits its control at `dpi`, measured with
// GetTextExtentPoint32 in the wizard's fonts made here at that DPI: the body font (MS
// Shell Dlg, 9 points) and the title font (宋体, bold, 16 pixels at 96 DPI).
void ExpectTextsFit(HWND wizard, UINT dpi, const char* page) {
  struct Context {
    HWND wizard;
    UINT dpi;
    const char* page;
    HDC dc;
    HFONT body;
    HFONT title;
  } context{
      wizard,
      dpi,
      page,
      CreateCompatibleDC(nullptr),
      CreateFontW(-MulDiv(9, static_cast<int>(dpi), 72), 0, 0, 0, FW_NORMAL, 0, 0, 0,
                  DEFAULT_CHARSET, 0, 0, 0, 0, L"MS Shell Dlg"),
      CreateFontW(Px(16, dpi), 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"宋体")};
  EnumChildWindows(
      wizard,
      [](HWND control, LPARAM lParam) -> BOOL {
        const auto& c = *reinterpret_cast<const Context*>(lParam);
        wchar_t className[64] = {}, text[512] = {};
        GetClassNameW(control, className, 64);
        GetWindowTextW(control, text, 512);
        if (GetDlgCtrlID(control) == kBrowse)
          lstrcpyW(text, L"...");  // what it shows; other programs are told its name
        const std::wstring kind = className;
        if (!IsWindowVisible(control) || text[0] == L'\0' ||
            (kind != L"Static" && kind != L"Button")) {
          return TRUE;  // edits and the agreement scroll; the progress bar has no text
        }
        const LONG style = GetWindowLongW(control, GWL_STYLE);
        SelectObject(c.dc, GetDlgCtrlID(control) == kTitle ? c.title : c.body);
        RECT client;
        GetClientRect(control, &client);
        SIZE extent{};
        GetTextExtentPoint32W(c.dc, text, lstrlenW(text), &extent);
        const std::string where = std::string(c.page) + ", control " +
                                  std::to_string(GetDlgCtrlID(control)) + " at " +
                                  std::to_string(c.dpi) + " DPI";
        EXPECT_LE(extent.cy, client.bottom) << where;
        if (kind == L"Static" && (style & SS_ELLIPSISMASK) != 0)
          return TRUE;  // one line, shortened in the middle by design
        int room = client.right;
        if ((style & BS_TYPEMASK) == BS_AUTOCHECKBOX && kind == L"Button")
          room -= Px(13, c.dpi) + Px(4, c.dpi);  // the box and the gap before the text
        else if (kind == L"Button")
          room -= Px(6, c.dpi);  // the button's edges
        if (kind == L"Static" && GetDlgCtrlID(control) == kFreeSpace) {
          RECT wrapped{0, 0, client.right, 0};  // it may wrap onto its second line
          DrawTextW(c.dc, text, -1, &wrapped, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
          EXPECT_LE(wrapped.bottom, client.bottom) << where;
          EXPECT_LE(wrapped.right, client.right) << where;
          return TRUE;
        }
        EXPECT_LE(extent.cx, room) << where;
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&context));
  DeleteObject(context.body);
  DeleteObject(context.title);
  DeleteDC(context.dc);
}

// The name a screen reader reads for `control`, of another process; "(none)" when it has
// no accessible object.
std::wstring AccessibleName(HWND control) {
  CoInitialize(nullptr);
  IAccessible* accessible = nullptr;
  if (FAILED(AccessibleObjectFromWindow(control, static_cast<DWORD>(OBJID_CLIENT),
                                        __uuidof(IAccessible),
                                        reinterpret_cast<void**>(&accessible)))) {
    return L"(none)";
  }
  VARIANT self{};
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  BSTR name = nullptr;
  accessible->get_accName(self, &name);
  std::wstring text = name != nullptr ? name : L"";
  SysFreeString(name);
  accessible->Release();
  return text;
}

// Every visible control has a name a screen reader reads (Wine's oleacc, like Windows',
// names an edit box after the label before it).
void ExpectAccessibleNames(HWND wizard, const char* page) {
  EnumChildWindows(
      wizard,
      [](HWND control, LPARAM lParam) -> BOOL {
        if (!IsWindowVisible(control))
          return TRUE;
        const std::wstring name = AccessibleName(control);
        EXPECT_TRUE(!name.empty() && name != L"(none)")
            << reinterpret_cast<const char*>(lParam) << ": control " << GetDlgCtrlID(control)
            << " has no name";
        if (GetDlgCtrlID(control) == kBrowse) {
          EXPECT_EQ(name, L"浏览") << reinterpret_cast<const char*>(lParam);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(page));
}

// The alerts a program raises, as a screen reader hears them (WinEvents, out of context).
class AlertWatch {
 public:
  explicit AlertWatch(HANDLE process)
      : hook_(SetWinEventHook(EVENT_SYSTEM_ALERT,
                              EVENT_SYSTEM_ALERT,
                              nullptr,
                              Heard,
                              GetProcessId(process),
                              0,
                              WINEVENT_OUTOFCONTEXT)) {
    heard_.clear();
  }
  ~AlertWatch() { UnhookWinEvent(hook_); }
  AlertWatch(const AlertWatch&) = delete;
  AlertWatch& operator=(const AlertWatch&) = delete;

  // The text of the control that raised the next alert, as it was then, within
  // `milliseconds`.
  std::wstring Next(DWORD milliseconds = 5000) {
    if (!WaitUntil([] { return !heard_.empty(); }, milliseconds))
      return L"(none)";
    const std::wstring text = heard_.front();
    heard_.erase(heard_.begin());
    return text;
  }

 private:
  static void CALLBACK Heard(HWINEVENTHOOK, DWORD, HWND window, LONG, LONG, DWORD, DWORD) {
    wchar_t text[128] = {};
    GetWindowTextW(window, text, 128);
    heard_.push_back(text);
  }
  static inline std::vector<std::wstring> heard_;
  HWINEVENTHOOK hook_;
};

// The DPI (LogPixels) of the programs started from now on, and back to 96.
class SystemDpi {
 public:
  explicit SystemDpi(UINT dpi) { Set(dpi); }
  ~SystemDpi() { Set(96); }
  SystemDpi(const SystemDpi&) = delete;
  SystemDpi& operator=(const SystemDpi&) = delete;

 private:
  static void Set(UINT dpi) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_WRITE,
                        nullptr, &key, nullptr) == ERROR_SUCCESS) {
      const DWORD value = dpi;
      RegSetValueExW(key, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                     sizeof value);
      RegCloseKey(key);
    }
  }
};

// The lines of a log, each checked for its time stamp ("2026-12-09 13:05:01.234  ") and
// returned without it; the file must begin with UTF-8's byte-order mark.
std::vector<std::string> LogLines(const std::wstring& path) {
  const std::string bytes = ReadBytes(path);
  EXPECT_EQ(bytes.compare(0, 3, "\xEF\xBB\xBF"), 0) << "no byte-order mark";
  std::vector<std::string> lines;
  for (std::size_t at = 3; at < bytes.size();) {
    const std::size_t end = bytes.find("\r\n", at);
    const std::string line = bytes.substr(at, end - at);
    at = end == std::string::npos ? bytes.size() : end + 2;
    bool stamped = line.size() > 25 && line.compare(23, 2, "  ") == 0;
    for (const std::size_t digit : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18, 20, 21, 22})
      stamped = stamped && line.size() > digit && line[digit] >= '0' && line[digit] <= '9';
    EXPECT_TRUE(stamped) << line;
    lines.push_back(stamped ? line.substr(25) : line);
  }
  return lines;
}

bool Logged(const std::vector<std::string>& lines, const std::wstring& text) {
  const std::string wanted = Utf8(text);
  return std::any_of(lines.begin(), lines.end(), [&wanted](const std::string& line) {
    return line.find(wanted) != std::string::npos;
  });
}

TEST(Journey, CompleteInstallationThenSilentRemoval) {
  CleanMachine();
  RemoveTree(L"D:\\e2e\\brimvale\\");  // the wizard makes it
  Driver d;
  {
    // This installer's component takes three seconds to register: the installing page
    // stays long enough to be seen, however fast the files are written.
    const EnvironmentVariables slowly(
        EnvironmentVariables::Values{{L"SETUP_SLOW_REGISTRATION_MS", L"3000"}});
    ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  }

  // Welcome: the picture, Next and Cancel only.
  Capture welcome = d.CaptureClient();
  ShotIf(welcome, L"1-welcome");
  ExpectSkin(welcome, 96, "welcome", true);
  EXPECT_TRUE(d.Visible(kNext) && d.Visible(kCancel));
  EXPECT_FALSE(d.Visible(kBack) || d.Visible(kEdit) || d.Visible(kBrowse));
  EXPECT_EQ(d.Text(kNext), L"下一步");
  EXPECT_EQ(d.Text(kCancel), L"取消");
  EXPECT_EQ(d.Focus(), GetDlgItem(d.Window(), kNext));
  // The agreement's rich-edit control and text are made as its page first shows, not
  // before the first window.
  EXPECT_EQ(GetDlgItem(d.Window(), kAgreement), nullptr);

  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"接受"));
  Capture agreement = d.CaptureClient();
  ShotIf(agreement, L"2-agreement");
  ExpectSkin(agreement, 96, "agreement");
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
  ASSERT_TRUE(d.Settle());
  EXPECT_EQ(d.Text(kNext), L"安装");
  const Capture target = d.CaptureClient();
  ShotIf(target, L"3-target");
  ExpectSkin(target, 96, "target");

  // Installing: while the component registers, the page shows the last file written, the
  // bar and 取消; the other buttons are disabled.
  d.Click(kNext);
  ASSERT_TRUE(
      d.WaitForText(kStatus, L"正在安装： D:\\e2e\\brimvale\\web\\IconHelp\\index.htm", 30000));
  // The bar follows the files on a timer.
  EXPECT_TRUE(WaitUntil(
      [&d] { return SendMessageW(GetDlgItem(d.Window(), kProgress), PBM_GETPOS, 0, 0) > 0; }, 2000))
      << "the bar does not move";
  const Capture installing = d.CaptureClient();
  ShotIf(installing, L"4-installing");
  EXPECT_EQ(d.Text(kTitle), L"正在安装");
  EXPECT_TRUE(d.Visible(kProgress) && d.Visible(kCancel));
  EXPECT_EQ(d.Text(kCancel), L"取消");
  EXPECT_FALSE(d.Enabled(kBack) || d.Enabled(kNext));
  ExpectSkin(installing, 96, "installing");
  ASSERT_TRUE(d.WaitForText(kCancel, L"完成", 120000)) << "the installation did not finish";
  const Capture finished = d.CaptureClient();
  ShotIf(finished, L"5-finished");
  ExpectSkin(finished, 96, "finished");
  EXPECT_NE(installing.bgr, finished.bgr) << "the installing page's picture is the finish page";
  EXPECT_EQ(d.Checked(kAutoStart), BST_UNCHECKED);
  EXPECT_EQ(d.Checked(kRunNow), BST_CHECKED);
  EXPECT_EQ(d.Checked(kShortcuts), BST_CHECKED);
  EXPECT_FALSE(d.Visible(kNext));
  EXPECT_EQ(d.Focus(), GetDlgItem(d.Window(), kCancel));

  d.Click(kCancel);  // "完成"
  EXPECT_EQ(d.WaitForExit(60000), 0u);

  const std::wstring folder = L"D:\\e2e\\brimvale\\";
  ExpectInstalled({folder});
  EXPECT_TRUE(WaitUntil([] {
    return FindWindowW(product::kClientWindowClass, nullptr) != nullptr;
  })) << "the client was not started";
  CloseClient();

  // And away again.
  ASSERT_TRUE(RunToEnd(folder + L"uninstall.exe", L"-silent", folder.c_str()));
  ExpectClean(folder);
}

// Nothing but the wizard's own log, in the temporary folder, for support to ask for.
TEST(Journey, QuitOnTheAgreementPageWritesNothing) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  const std::wstring temporary = FreshFolder(L"wizard temp", L"D:\\e2e\\");
  const EnvironmentVariables temp({{L"TMP", temporary}, {L"TEMP", temporary}});
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"接受"));
  d.Click(kCancel);
  EXPECT_EQ(AnswerMessageBox(L"提示", IDNO), L"安装还没结束，是否要退出安装");
  EXPECT_EQ(d.WaitForExit(500), static_cast<DWORD>(STILL_ACTIVE));  // declined: still there
  d.Click(kCancel);
  EXPECT_EQ(AnswerMessageBox(L"提示", IDYES), L"安装还没结束，是否要退出安装");
  EXPECT_EQ(d.WaitForExit(30000), Exit(SetupExit::kCancelled));
  EXPECT_FALSE(EntryExists());
  const std::vector<std::wstring> logs = Listing(temporary);
  ASSERT_EQ(logs.size(), 1u) << Joined(logs);
  EXPECT_EQ(logs[0].rfind(L"brimvale-setup-", 0), 0u) << Utf8(logs[0]);
  const std::vector<std::string> lines = LogLines(temporary + logs[0]);
  EXPECT_TRUE(Logged(lines, L"asked: 安装还没结束，是否要退出安装 - no"));
  EXPECT_EQ(lines.back(), "result: 1602, cancelled by the user");
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
  EXPECT_EQ(ExitCode(process), Exit(SetupExit::kAlreadyRunning));
  CloseHandle(process);
  EXPECT_EQ(first.WaitForExit(200), static_cast<DWORD>(STILL_ACTIVE));
  first.Click(kCancel);
  AnswerMessageBox(L"提示", IDYES);
  EXPECT_EQ(first.WaitForExit(30000), Exit(SetupExit::kCancelled));
}

TEST(Journey, DamagedInstallerStopsAtTheIntegrityCheck) {
  const std::wstring damaged = InstallerCopy(L"setup_portal_77.exe", true);
  HANDLE process = Launch(damaged);
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(AnswerMessageBox(L"提示", IDOK), L"安装程序自我完整性检测失败，请尝试重新下载");
  EXPECT_EQ(WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
  EXPECT_EQ(ExitCode(process), Exit(SetupExit::kIntegrityFailed));
  CloseHandle(process);
}

// The user owns the folder an installer was downloaded to, and Windows lets a running
// program's file be renamed: another correctly stamped installer could be put at its path.
// The installer holds its file from its self-check to its end, so while the wizard runs
// the file cannot be renamed; a silent installer whose file was swapped before it could
// hold it refuses itself. Either way only the payload checked is ever installed.
TEST(Journey, TheInstallersFileCannotBeSwappedUnderIt) {
  CloseClient();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  const std::string demoClient =
      ReadBytes(std::wstring(SETUP_DEMO_PAYLOAD_W) + L"\\Korvel互动.exe");
  const std::string substitute = ReadBytes(SETUP_CAMPAIGN_INSTALLER_W);
  const std::wstring folder = FreshFolder(L"swap", L"D:\\e2e\\");
  const std::wstring installer = InstallerCopy(L"setup_portal_77.exe");
  Driver d;
  ASSERT_TRUE(d.Start(installer, L"/NORUN"));
  EXPECT_FALSE(MoveFileW(installer.c_str(), (installer + L".old").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  if (!Exists(installer))
    WriteBytes(installer, substitute);
  ToTargetPage(d, folder);
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kCancel, L"完成", 120000));
  d.Click(kCancel);
  EXPECT_EQ(d.WaitForExit(60000), 0u);
  EXPECT_TRUE(ReadBytes(folder + L"Korvel互动.exe") == demoClient) << "not the payload checked";
  EXPECT_EQ(RunForExitCode(folder + L"uninstall.exe", L"-silent", folder.c_str()), 0u);

  const std::wstring silentFolder = FreshFolder(L"swap-silent", L"D:\\e2e\\");
  const std::wstring started = InstallerCopy(L"setup_portal_77.exe");
  HANDLE process = Launch(started, L"/S /NORUN /D=" + silentFolder);
  ASSERT_NE(process, nullptr);
  bool swapped = false;
  while (!swapped && WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
    swapped = MoveFileW(started.c_str(), (started + L".old").c_str()) != FALSE;
  }
  if (swapped)
    WriteBytes(started, substitute);
  WaitForSingleObject(process, 120000);
  const DWORD code = ExitCode(process);
  CloseHandle(process);
  if (swapped) {
    EXPECT_EQ(code, Exit(SetupExit::kIntegrityFailed)) << "a swapped file was taken";
    EXPECT_FALSE(Exists(silentFolder + L"uninstall.ini"));
  } else {
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(ReadBytes(silentFolder + L"Korvel互动.exe") == demoClient);
    RunForExitCode(silentFolder + L"uninstall.exe", L"-silent", silentFolder.c_str());
  }
  EXPECT_FALSE(Exists(silentFolder + L"Plugins")) << "the substitute's payload";
}

TEST(Journey, QuitDuringInstallationRemovesWhatWasWritten) {
  CleanMachine();
  const std::wstring folder = FreshFolder(L"quit", L"D:\\e2e\\");
  // The folder held the user's files before: one the package also carries, one it does not.
  WriteBytes(folder + L"Emotions\\经典\\大笑.gif", "the user's picture");
  WriteBytes(folder + L"notes.txt", "the user's notes");
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  ToTargetPage(d, folder);
  // Install, then Cancel at once: the question comes while the installation runs, with
  // the worker paused at its next file. The uninstaller it wrote, started meanwhile,
  // refuses: the installer holds its mutex.
  d.Click(kNext);
  d.Click(kCancel);
  // The manifest comes first, then the uninstaller, written whole and closed: nothing
  // writes it any more.
  const std::wstring uninstaller = folder + L"uninstall.exe";
  ASSERT_TRUE(WaitUntil([&] {
    HANDLE file = CreateFileW(uninstaller.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE)
      CloseHandle(file);
    return FindWindowW(L"#32770", L"提示") != nullptr && Exists(folder + L"uninstall.ini") &&
           file != INVALID_HANDLE_VALUE;
  })) << "no question, or no uninstaller written before it";
  EXPECT_EQ(RunForExitCode(uninstaller, L"-silent", folder.c_str()), 1618u);
  EXPECT_TRUE(Exists(folder + L"uninstall.ini"));
  EXPECT_EQ(AnswerMessageBox(L"提示", IDYES), L"安装还没结束，是否要退出安装");
  EXPECT_EQ(d.WaitForExit(60000), Exit(SetupExit::kCancelled));
  ExpectClean(folder, {L"Emotions\\经典\\大笑.gif", L"notes.txt"});
  EXPECT_EQ(ReadBytes(folder + L"Emotions\\经典\\大笑.gif"), "the user's picture");
}

// The registration has no place to pause, so the run may end while the quit question is
// open; it still has one outcome. A completion waits for the answer: 否 shows the finish
// page, 是 removes the installation (cancelled). A failure is the outcome whatever the
// answer: told once, after the question, with its own exit code. And while the folder is
// prepared and the run starts, the window answers other programs well within the 5 s after
// which Windows calls it not responding.
TEST(Journey, ARunEndingUnderTheQuitQuestionHasOneOutcome) {
  CloseClient();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  const std::wstring last = PayloadInOrder(SETUP_REFERENCE_PAYLOAD_W).back();
  struct Case {
    const char* name;
    bool fails;
    int answer;
    SetupExit exit;
  };
  const Case cases[] = {
      {"completes, 否", false, IDNO, SetupExit::kInstalled},
      {"completes, 是", false, IDYES, SetupExit::kCancelled},
      {"fails, 是", true, IDYES, SetupExit::kRegistrationFailed},
  };
  for (const Case& c : cases) {
    const std::wstring folder = FreshFolder(L"question", L"D:\\e2e\\");
    EnvironmentVariables::Values slow = {{L"SETUP_SLOW_REGISTRATION_MS", L"2500"}};
    if (c.fails)
      slow.emplace_back(L"SETUP_FAILING_REGISTRATION", L"1");
    const EnvironmentVariables registration(slow);
    Driver d;
    ASSERT_TRUE(d.Start(InstallerCopy(L"setup_campaign_77.exe", false, SETUP_CAMPAIGN_INSTALLER_W),
                        L"/NORUN"));
    ToTargetPage(d, folder);
    d.Click(kNext);
    for (ULONGLONG start = GetTickCount64(); d.Text(kNext) == L"安装" && d.Visible(kEdit);) {
      DWORD_PTR answer = 0;
      ASSERT_NE(SendMessageTimeoutW(d.Window(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &answer), 0)
          << c.name << ": not answered while the installation is prepared";
      ASSERT_LT(GetTickCount64() - start, 30000u) << c.name;
    }
    ASSERT_TRUE(WaitUntil([&] { return Exists(folder + last); }, 60000)) << c.name;
    d.Click(kCancel);  // every file is there: the registration takes its 2.5 s
    // The run goes on to its registration under the question, or waits for the answer at
    // the last file's safe point; the answer comes when a registration begun under the
    // question has had its 2.5 s. Nothing outside the run shows which, so this is a time.
    Sleep(3500);
    AlertWatch alerts(d.Process());
    EXPECT_EQ(AnswerMessageBox(L"提示", c.answer), L"安装还没结束，是否要退出安装") << c.name;
    if (c.fails) {
      EXPECT_EQ(AnswerMessageBox(L"setup_campaign_77", IDOK).rfind(L"注册组件", 0), 0u) << c.name;
    } else if (c.answer == IDNO) {
      ASSERT_TRUE(d.WaitForText(kCancel, L"完成", 30000)) << c.name;
      d.Click(kCancel);
    }
    // While the run is removed, the page - and a screen reader - says so.
    if (c.exit != SetupExit::kInstalled) {
      EXPECT_EQ(alerts.Next(), L"正在撤销安装…") << c.name;
    }
    EXPECT_EQ(d.WaitForExit(60000), Exit(c.exit)) << c.name;
    EXPECT_EQ(FindWindowW(L"#32770", nullptr), nullptr) << c.name << ": a box is left";
    const bool installed = c.exit == SetupExit::kInstalled;
    EXPECT_EQ(Exists(folder + L"uninstall.exe"), installed) << c.name;
    EXPECT_EQ(Exists(folder + last), installed) << c.name;
    if (installed)
      RunForExitCode(folder + L"uninstall.exe", L"-silent", folder.c_str());
  }
}

// Declining the quit question lets the paused installation go on to the end; the finish
// page's boxes then decide: here the start-up shortcut and no client.
TEST(Journey, QuitDeclinedDuringInstallationThenChosenFinish) {
  CleanMachine();
  const std::wstring folder = FreshFolder(L"declined", L"D:\\e2e\\");
  Driver d;
  // The switches set the finish page's boxes; the user still has the last word.
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe"), L"/startup /NoRun /NOSHORTCUTS"));
  ToTargetPage(d, folder);
  d.Click(kNext);
  d.Click(kCancel);
  EXPECT_EQ(AnswerMessageBox(L"提示", IDNO), L"安装还没结束，是否要退出安装");
  ASSERT_TRUE(d.WaitForText(kCancel, L"完成", 120000));
  EXPECT_EQ(d.Checked(kAutoStart), BST_CHECKED);
  EXPECT_EQ(d.Checked(kRunNow), BST_UNCHECKED);
  EXPECT_EQ(d.Checked(kShortcuts), BST_UNCHECKED);
  SendMessageW(GetDlgItem(d.Window(), kShortcuts), BM_CLICK, 0, 0);
  d.Click(kCancel);
  EXPECT_EQ(d.WaitForExit(60000), 0u);
  ExpectInstalled({folder, /*shortcuts=*/true, /*startup=*/true});
  EXPECT_FALSE(ClientRunning());
  EXPECT_TRUE(RunToEnd(folder + L"uninstall.exe", L"-silent", folder.c_str()));
  ExpectClean(folder);
}

// On a desktop without a shell (a service's, session 0's) the client cannot be started as
// the signed-in user: the finish page unticks and disables "马上运行Korvel" and says that the
// shortcut starts it, in a line that fits at 192 DPI and that a screen reader reads.
TEST(Journey, WithoutAShellTheFinishPagePointsToTheShortcut) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  const std::wstring folder = FreshFolder(L"no shell", L"D:\\e2e\\");
  const std::wstring log = FreshFolder(L"no shell log", L"D:\\e2e\\") + L"install.log";
  const SystemDpi dpi(192);
  DesktopWithoutShell desktop;
  ASSERT_TRUE(desktop.Run([&] {
    Driver d;
    ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe"), L"\"/LOG=" + log + L"\"",
                        DesktopWithoutShell::kName));
    ToTargetPage(d, folder);
    d.Click(kNext);
    ASSERT_TRUE(d.WaitForText(kCancel, L"完成", 120000));
    EXPECT_EQ(d.Checked(kRunNow), BST_UNCHECKED);
    EXPECT_FALSE(d.Enabled(kRunNow));
    EXPECT_TRUE(d.Visible(kStartLater));
    EXPECT_EQ(d.Text(kStartLater), product::kStartFromShortcut);
    ExpectTextsFit(d.Window(), 192, "finished without a shell");
    ExpectAccessibleNames(d.Window(), "finished without a shell");
    d.Click(kCancel);
    EXPECT_EQ(d.WaitForExit(60000), 0u);
  }));
  EXPECT_TRUE(Logged(LogLines(log),
                     L"the client cannot be started now: this desktop has no "
                     L"shell window and no taskbar"));
  EXPECT_TRUE(RunToEnd(folder + L"uninstall.exe", L"-silent", folder.c_str()));
}

TEST(Journey, LockedTargetFileIsReportedAndTheInstallationRemoved) {
  CleanMachine();
  const std::wstring folder = FreshFolder(L"locked", L"D:\\e2e\\");
  const std::wstring blocked = folder + L"config.ini";
  WriteBytes(blocked, "the user's");
  HANDLE lock = CreateFileW(blocked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  // /D= is the folder the target page suggests; /LOG= makes the wizard keep a log.
  const std::wstring log = L"D:\\e2e\\locked.log";
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe"), L"/LOG=" + log + L" /D=" + folder));
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"接受"));
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"安装"));
  EXPECT_EQ(d.Text(kEdit), folder);
  d.Click(kNext);
  EXPECT_EQ(AnswerMessageBox(L"setup_portal_77", IDOK, 60000), L"创建文件" + blocked + L"失败");
  EXPECT_EQ(d.WaitForExit(60000), Exit(SetupExit::kWriteFailed));
  CloseHandle(lock);
  EXPECT_EQ(ReadBytes(blocked), "the user's");
  ExpectClean(folder, {L"config.ini"});  // ImageOle.dll was written before it, and removed
  const std::vector<std::string> lines = LogLines(log);
  for (const std::wstring& step :
       {L"install folder " + folder, L"wrote " + folder + L"ImageOle.dll",
        L"told: 创建文件" + blocked + L"失败", std::wstring(L"removing what was written")}) {
    EXPECT_TRUE(Logged(lines, step)) << Utf8(step);
  }
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "result: 7, a file could not be written");
}

// The target page refuses a folder it cannot make, one with '%', one a unit too long for the
// package's longest path, one below a link, one the code page cannot spell and a system
// folder, each with its message, keeping the page and the text. The longest folder it
// accepts then installs every file and is removed again.
TEST(Journey, TargetPageRefusalsAndTheLongestFolderItAccepts) {
  CleanMachine();
  std::vector<std::wstring> files;
  ListFiles(std::wstring(SETUP_DEMO_PAYLOAD_W) + L"\\", L"", &files);
  std::size_t longest = 0;
  for (const std::wstring& file : files)
    longest = std::max(longest, file.size());
  const std::wstring parent = FreshFolder(L"long", L"D:\\e2e\\");
  // With its '\', the longest folder leaves exactly room for the longest path within 259.
  const std::wstring longestFolder = parent + std::wstring(259 - longest - parent.size() - 1, L'l');
  WriteBytes(parent + L"a file", "a file where the folder would go");
  struct Refusal {
    std::wstring typed;
    const wchar_t* message;
  };
  ASSERT_TRUE(PlantHostLink(parent + L"linked", "."));
  const Refusal refusals[] = {
      {L"Q:\\no\\such\\drive", L"创建文件夹失败，请检查文件名是否正确"},
      {parent + L"a file", L"创建文件夹失败，请检查文件名是否正确"},
      {L"D:\\e2e\\100%PATH%\\brimvale", L"安装路径中不能含有字符%，请选择其他文件夹"},
      {longestFolder + L"l", L"安装路径过长，请选择较短的文件夹"},
      {parent + L"linked\\brimvale", L"安装路径中含有链接，请选择其他文件夹"},
      {parent + L"日本語と한국어", L"安装路径中含有当前系统语言无法表示的字符，请选择其他文件夹"},
      {L"C:\\windows", L"不能安装到磁盘根目录或系统文件夹，请选择其他文件夹"},
  };
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  ToTargetPage(d, L"");
  for (const Refusal& r : refusals) {
    d.SetText(kEdit, r.typed);
    d.Click(kNext);
    EXPECT_EQ(AnswerMessageBox(L"setup_portal_77", IDOK), r.message);
    ASSERT_TRUE(d.Settle());
    EXPECT_EQ(d.Text(kNext), L"安装");
    EXPECT_EQ(d.Text(kEdit), r.typed);
  }
  EXPECT_FALSE(Exists(L"D:\\e2e\\100%PATH%"));
  EXPECT_FALSE(Exists(parent + L"brimvale")) << "made through the link";
  EXPECT_TRUE(EveryoneMay(L"C:\\windows")) << "the system folder's rights were changed";
  d.SetText(kEdit, longestFolder);
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kCancel, L"完成", 120000)) << "the longest folder did not install";
  SendMessageW(GetDlgItem(d.Window(), kRunNow), BM_CLICK, 0, 0);  // a running client stops removal
  d.Click(kCancel);
  EXPECT_EQ(d.WaitForExit(60000), 0u);
  const std::wstring folder = longestFolder + L"\\";
  ExpectInstalled({folder});
  EXPECT_EQ(RunForExitCode(folder + L"uninstall.exe", L"-silent", folder.c_str()), 0u);
  ExpectClean(folder);
}

TEST(Journey, EscOnTheFinishPageWritesTheEntryOnly) {
  CleanMachine();
  const std::wstring folder = FreshFolder(L"esc", L"D:\\e2e\\");
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  ToTargetPage(d, folder);
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kCancel, L"完成", 120000));
  PostMessageW(d.Window(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);  // Esc
  EXPECT_EQ(d.WaitForExit(60000), 0u);
  ExpectInstalled({folder, /*shortcuts=*/false});
  EXPECT_FALSE(ClientRunning());
  // The next installer finds this installation and proposes its folder; cancelled before it
  // installs, it leaves the earlier installation as it was. Over a newer version it asks
  // first, keeping it unless told.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, 0, KEY_WRITE, &key),
            ERROR_SUCCESS);
  WriteStringValue(key, L"DisplayVersion", L"99.0");
  Driver again;
  ASSERT_TRUE(again.Start(InstallerCopy(L"setup_portal_77.exe")));
  for (const int answer : {IDNO, IDYES}) {
    again.Click(kNext);
    EXPECT_EQ(AnswerMessageBox(L"提示", IDYES), L"你已经安装过此程序，需卸载后继续");
    EXPECT_EQ(AnswerMessageBox(L"提示", answer),
              std::wstring(L"已安装的版本 99.0 比此安装程序的版本 ") + product::kVersion +
                  L" 新。是否仍要安装此版本？");
    ASSERT_TRUE(again.Settle());
  }
  WriteStringValue(key, L"DisplayVersion", product::kVersion);
  RegCloseKey(key);
  ASSERT_TRUE(again.WaitForText(kNext, L"接受", 60000));
  again.Click(kNext);
  ASSERT_TRUE(again.WaitForText(kNext, L"安装"));
  EXPECT_EQ(again.Text(kEdit), folder.substr(0, folder.size() - 1));
  again.Click(kCancel);
  AnswerMessageBox(L"提示", IDYES);
  EXPECT_EQ(again.WaitForExit(30000), Exit(SetupExit::kCancelled));
  ExpectInstalled({folder, /*shortcuts=*/false});
}

// A running client is asked about as the welcome page is left, and closed only as the
// installation begins: a folder the target page refuses leaves it running.
TEST(Journey, RunningClientIsEndedOnlyAsTheInstallationBegins) {
  CleanMachine();
  const std::wstring client = std::wstring(SETUP_DEMO_PAYLOAD_W) + L"\\Korvel互动.exe";
  HANDLE process = Launch(client);
  ASSERT_NE(process, nullptr);
  ASSERT_TRUE(WaitUntil([] {
    return FindWindowW(product::kClientWindowClass, nullptr) != nullptr;
  })) << "the client did not start";
  const std::wstring folder = FreshFolder(L"client", L"D:\\e2e\\") + L"brimvale\\";
  const EnvironmentVariables slowly(
      EnvironmentVariables::Values{{L"SETUP_SLOW_REGISTRATION_MS", L"3000"}});
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  d.Click(kNext);
  EXPECT_EQ(AnswerMessageBox(L"提示", IDYES), L"程序正在运行，点击确定将终止后继续");
  ASSERT_TRUE(d.WaitForText(kNext, L"接受"));
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"安装"));
  d.SetText(kEdit, L"D:\\e2e\\100%client");
  d.Click(kNext);
  EXPECT_EQ(AnswerMessageBox(L"setup_portal_77", IDOK),
            L"安装路径中不能含有字符%，请选择其他文件夹");
  EXPECT_EQ(WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "the client was ended before the folder was accepted";
  d.SetText(kEdit, folder);
  d.Click(kNext);
  EXPECT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
  CloseHandle(process);
  EXPECT_EQ(FindWindowW(L"ZephlinHallFrameWindow_Brimvale", nullptr), nullptr);
  ASSERT_TRUE(d.WaitForText(kTitle, L"正在安装"));
  d.Click(kCancel);
  AnswerMessageBox(L"提示", IDYES);
  EXPECT_EQ(d.WaitForExit(30000), Exit(SetupExit::kCancelled));
  ExpectClean(folder);
}

// Every page at 96, 120, 144 and 192 DPI: the window and its skin scale, every text fits
// its control, and every control has a name a screen reader reads. The pages are kept as
// screenshots, dpiN-page.bmp.
class DpiJourney : public testing::TestWithParam<UINT> {};

TEST_P(DpiJourney, EveryPageFitsAndIsNamed) {
  const UINT dpi = GetParam();
  CloseClient();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  const std::wstring folder = FreshFolder((L"dpi" + std::to_wstring(dpi)).c_str(), L"D:\\e2e\\");
  const SystemDpi system(dpi);
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  const auto check = [&](const char* page, bool welcome = false) {
    const std::wstring name =
        L"dpi" + std::to_wstring(dpi) + L"-" + std::wstring(page, page + std::strlen(page));
    const Capture picture = d.CaptureClient();
    ShotIf(picture, name.c_str());
    ExpectSkin(picture, dpi, page, welcome);
    ExpectTextsFit(d.Window(), dpi, page);
    ExpectAccessibleNames(d.Window(), page);
  };
  check("1-welcome", true);
  // The picture's text alternative, over the picture.
  const HWND welcome = GetDlgItem(d.Window(), kWelcome);
  EXPECT_TRUE(IsWindowVisible(welcome));
  EXPECT_EQ(AccessibleName(welcome), product::kWelcomeText);
  // A screen reader hears each new page's title.
  AlertWatch alerts(d.Process());
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"接受"));
  EXPECT_EQ(alerts.Next(), L"安装协议");
  check("2-agreement");
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"安装"));
  EXPECT_EQ(alerts.Next(), L"选择安装路径");
  d.SetText(kEdit, folder);
  check("3-target");
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kCancel, L"完成", 120000));
  check("5-finished");
  SendMessageW(GetDlgItem(d.Window(), kRunNow), BM_CLICK, 0, 0);
  d.Click(kCancel);
  EXPECT_EQ(d.WaitForExit(60000), 0u);
  EXPECT_EQ(RunForExitCode(folder + L"uninstall.exe", L"-silent", folder.c_str()), 0u);
}

INSTANTIATE_TEST_SUITE_P(Dpi,
                         DpiJourney,
                         testing::Values(96u, 120u, 144u, 192u),
                         [](const testing::TestParamInfo<UINT>& row) {
                           return "Dpi" + std::to_string(row.param);
                         });

// A window moved to a monitor of another DPI lays itself out again.
TEST(Journey, DpiChangeLaysTheWizardOutAgain) {
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"接受"));
  // The agreement's text grows with its box: it wraps into as many lines at every DPI.
  const auto lines = [&d] {
    return static_cast<double>(
        SendMessageW(GetDlgItem(d.Window(), kAgreement), EM_GETLINECOUNT, 0, 0));
  };
  const double lines96 = lines();
  // Room on the screen for the window at 200 %.
  SetWindowPos(d.Window(), nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  for (const UINT dpi : {192u, 96u}) {
    // The system sends it with a suggested rectangle; from another process only the DPI
    // can be given, and the wizard keeps its place.
    SendMessageW(d.Window(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi), 0);
    ASSERT_TRUE(d.Settle());
    ExpectSkin(d.CaptureClient(), dpi, "agreement after a DPI change");
    ExpectTextsFit(d.Window(), dpi, "agreement after a DPI change");
    EXPECT_NEAR(lines(), lines96, lines96 / 10) << "the agreement's text at " << dpi << " DPI";
  }
  d.Click(kCancel);
  AnswerMessageBox(L"提示", IDYES);
  EXPECT_EQ(d.WaitForExit(30000), Exit(SetupExit::kCancelled));
}

// While a program of the earlier installation, asked to close as the installation begins,
// does not, and is ended after a while, the wizard repaints, says what it waits for and is
// busy, yet answers what other programs send it - a screen reader's questions - within a
// second; a
// click made meanwhile on 取消, which the installing page keeps, is dropped, never kept for
// that page. And one action moves one page: a double-click, quick or slow, on 下一步 or 接受
// moves a single page.
TEST(Journey, ClicksDuringAWaitAndDoubleClicksMoveOnePage) {
  CleanMachine();
  const std::wstring earlier = FreshFolder(L"slow earlier", L"D:\\e2e\\");
  const std::wstring program = earlier + L"slow.exe";
  WriteBytes(program, ReadBytes(SETUP_SLOW_PROGRAM_W));
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, 0, nullptr, 0,
                            KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  WriteStringValue(key, L"InstallLocation", earlier.substr(0, earlier.size() - 1).c_str());
  RegCloseKey(key);
  const EnvironmentVariables slowly(EnvironmentVariables::Values{{L"SETUP_SLOW_MS", L"60000"}});
  HANDLE running = Launch(program);
  ASSERT_NE(running, nullptr);
  const std::wstring folder = FreshFolder(L"waited", L"D:\\e2e\\");
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  d.Click(kNext);
  EXPECT_EQ(AnswerMessageBox(L"提示", IDYES), L"程序正在运行，点击确定将终止后继续");
  EXPECT_EQ(AnswerMessageBox(L"提示", IDYES), L"你已经安装过此程序，需卸载后继续");
  ASSERT_TRUE(d.WaitForText(kNext, L"接受"));
  d.Click(kNext);
  ASSERT_TRUE(d.WaitForText(kNext, L"安装"));
  d.SetText(kEdit, folder);
  d.Click(kNext);
  ASSERT_TRUE(WaitUntil([&d] { return !d.Enabled(kCancel) && d.Visible(kWaiting); }, 3000))
      << "busy: the buttons are disabled and the wait is shown";
  EXPECT_EQ(d.Text(kWaiting), L"正在关闭Korvel…");
  for (const UINT message : {WM_NULL, WM_GETTEXTLENGTH, WM_GETOBJECT}) {
    DWORD_PTR answer = 0;
    const ULONGLONG sent = GetTickCount64();
    EXPECT_NE(SendMessageTimeoutW(d.Window(), message, 0, static_cast<LPARAM>(OBJID_CLIENT),
                                  SMTO_ABORTIFHUNG, 1000, &answer),
              0)
        << "message " << message << " not answered";
    EXPECT_LT(GetTickCount64() - sent, 1000u) << "message " << message;
  }
  InvalidateRect(d.Window(), nullptr, FALSE);
  EXPECT_TRUE(WaitUntil([&d] { return !GetUpdateRect(d.Window(), nullptr, FALSE); }, 2500))
      << "the wizard did not repaint";
  EXPECT_TRUE(d.Visible(kWaiting)) << "the wait ended before the repaint was seen";
  {
    // The line stands on the band's own grey, right to the end of its control.
    const Capture band = d.CaptureClient();
    ShotIf(band, L"waiting");
    RECT line;
    GetWindowRect(GetDlgItem(d.Window(), kWaiting), &line);
    MapWindowPoints(nullptr, d.Window(), reinterpret_cast<POINT*>(&line), 2);
    EXPECT_EQ(band.Pixel(line.right - 2, (line.top + line.bottom) / 2), RGB(227, 227, 227));
  }
  d.ClickWithMouse(kCancel);
  ASSERT_TRUE(d.WaitForText(kCancel, L"完成", 60000));
  EXPECT_EQ(WaitForSingleObject(running, 0), WAIT_OBJECT_0) << "the program was not ended";
  CloseHandle(running);
  EXPECT_EQ(FindWindowW(L"#32770", L"提示"), nullptr) << "a click made during the wait was kept";
  EXPECT_FALSE(d.Visible(kWaiting));
  SendMessageW(GetDlgItem(d.Window(), kRunNow), BM_CLICK, 0, 0);
  d.Click(kCancel);
  EXPECT_EQ(d.WaitForExit(30000), 0u);
  EXPECT_EQ(RunForExitCode(folder + L"uninstall.exe", L"-silent", folder.c_str()), 0u);

  Driver slow;
  ASSERT_TRUE(slow.Start(InstallerCopy(L"setup_portal_77.exe")));
  slow.Click(kNext);
  ASSERT_TRUE(slow.WaitForText(kNext, L"接受"));
  ASSERT_TRUE(slow.SettleInput());
  slow.DoubleClickWithMouse(kNext, 250);
  ASSERT_TRUE(slow.SettleInput());
  EXPECT_EQ(slow.Text(kNext), L"安装") << "a double-click on 接受 went past the folder page";
  // A single click soon after a page change - here 300 ms after 上一步 - is no double-click:
  // it counts.
  slow.Click(kBack);
  ASSERT_TRUE(slow.WaitForText(kNext, L"接受"));
  Sleep(300);
  slow.ClickWithMouse(kNext);
  ASSERT_TRUE(slow.SettleInput());
  EXPECT_EQ(slow.Text(kNext), L"安装") << "a click 300 ms after a page change was dropped";
  slow.Click(kCancel);
  AnswerMessageBox(L"提示", IDYES);
  EXPECT_EQ(slow.WaitForExit(30000), Exit(SetupExit::kCancelled));

  Driver quick;
  ASSERT_TRUE(quick.Start(InstallerCopy(L"setup_portal_77.exe")));
  quick.DoubleClickWithMouse(kNext, 80);
  ASSERT_TRUE(quick.SettleInput());
  EXPECT_EQ(quick.Text(kNext), L"接受") << "a double-click on 下一步 skipped the agreement";
  quick.Click(kCancel);
  AnswerMessageBox(L"提示", IDYES);
  EXPECT_EQ(quick.WaitForExit(30000), Exit(SetupExit::kCancelled));
}

// The folder browser is the wizard's: modal to it, so 安装 cannot be pressed behind it,
// and closed when the wizard ends, so no process stays behind with a stray browser.
// The text of the selected item of the tree view `tree`, a window of another process.
std::wstring SelectedTreeItem(HWND tree) {
  DWORD pid = 0;
  GetWindowThreadProcessId(tree, &pid);
  HANDLE process =
      OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  const auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
  if (process == nullptr || item == nullptr)
    return {};
  // The item and its text in the other process, where the tree view fills them in.
  constexpr std::size_t kUnits = 128;
  auto* remote = static_cast<std::uint8_t*>(VirtualAllocEx(
      process, nullptr, sizeof(TVITEMW) + kUnits * sizeof(wchar_t), MEM_COMMIT, PAGE_READWRITE));
  TVITEMW query{};
  query.mask = TVIF_TEXT;
  query.hItem = item;
  query.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(TVITEMW));
  query.cchTextMax = kUnits;
  wchar_t text[kUnits] = {};
  if (remote != nullptr && WriteProcessMemory(process, remote, &query, sizeof query, nullptr) &&
      SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(remote))) {
    ReadProcessMemory(process, remote + sizeof(TVITEMW), text, sizeof text - sizeof(wchar_t),
                      nullptr);
  }
  if (remote != nullptr)
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  CloseHandle(process);
  return text;
}

TEST(Journey, FolderBrowserBelongsToTheWizard) {
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  ToTargetPage(d, L"D:\\e2e\\browsed");
  d.Click(kBrowse);
  HWND browser = nullptr;
  ASSERT_TRUE(WaitUntil([&] {
    for (HWND w : d.OwnedWindows())
      browser = w;
    return browser != nullptr;
  })) << "no browser owned by the wizard";
  EXPECT_FALSE(IsWindowEnabled(d.Window()));
  // It says what it is for, and opens on the nearest folder of the box that exists.
  std::vector<std::wstring> texts;
  EnumChildWindows(
      browser,
      [](HWND child, LPARAM found) -> BOOL {
        wchar_t text[128] = {};
        GetWindowTextW(child, text, 128);
        reinterpret_cast<std::vector<std::wstring>*>(found)->push_back(text);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&texts));
  EXPECT_NE(std::find(texts.begin(), texts.end(), L"选择安装文件夹"), texts.end());
  const HWND tree = FindWindowExW(browser, nullptr, WC_TREEVIEWW, nullptr);
  EXPECT_TRUE(WaitUntil([tree] { return SelectedTreeItem(tree) == L"e2e"; }, 10000))
      << "it does not open on D:\\e2e";
  d.ClickWithMouse(kNext);
  ASSERT_TRUE(d.SettleInput());
  EXPECT_EQ(d.Text(kNext), L"安装");
  EXPECT_TRUE(IsWindow(browser));
  PostMessageW(d.Window(), WM_CLOSE, 0, 0);
  EXPECT_EQ(AnswerMessageBox(L"提示", IDYES), L"安装还没结束，是否要退出安装");
  EXPECT_EQ(d.WaitForExit(30000), Exit(SetupExit::kCancelled))
      << "the process waits for its browser";
  EXPECT_FALSE(IsWindow(browser));
}

// The keyboard alone: Enter presses the focused button on every page, also after Tab went
// through the agreement (which scrolls with the keyboard); Esc asks the quit question while
// installing (the focus left the disabled buttons for 取消). The file being written is shown
// on one line, shortened in its middle.
TEST(Journey, KeyboardAlone) {
  CloseClient();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  const std::wstring folder = FreshFolder(std::wstring(180, L'k').c_str(), L"D:\\e2e\\");
  // A registration that takes four seconds keeps the installing page on screen.
  const EnvironmentVariables slowly(
      EnvironmentVariables::Values{{L"SETUP_SLOW_REGISTRATION_MS", L"4000"}});
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  d.PressKey(VK_RETURN);
  ASSERT_TRUE(d.WaitForText(kNext, L"接受", 10000));
  const HWND agreement = GetDlgItem(d.Window(), kAgreement);
  for (int i = 0; i < 4 && d.Focus() != agreement; ++i)
    d.PressKey(VK_TAB);
  ASSERT_EQ(d.Focus(), agreement) << "Tab does not reach the agreement";
  d.PressKey(VK_NEXT);
  d.PressKey(VK_NEXT);
  EXPECT_GT(SendMessageW(agreement, EM_GETFIRSTVISIBLELINE, 0, 0), 0) << "it does not scroll";
  for (int i = 0; i < 4 && d.Focus() != GetDlgItem(d.Window(), kNext); ++i)
    d.PressKey(VK_TAB);
  d.PressKey(VK_RETURN);
  ASSERT_TRUE(d.WaitForText(kNext, L"安装", 10000)) << "Enter after Tab pressed nothing";
  // Typed, the long folder scrolls in its box: no letter is lost at the box's edge.
  d.SetText(kEdit, L"");
  d.FocusControl(kEdit);
  d.TypeText(folder);
  EXPECT_EQ(d.Text(kEdit), folder);
  for (int i = 0; i < 4 && d.Focus() != GetDlgItem(d.Window(), kNext); ++i)
    d.PressKey(VK_TAB);
  d.PressKey(VK_RETURN);
  ASSERT_TRUE(d.WaitForText(kStatus, L"正在安装： " + folder + L"web\\IconHelp\\index.htm", 30000));
  d.PressKey(VK_ESCAPE);
  HWND status = GetDlgItem(d.Window(), kStatus);
  EXPECT_NE(GetWindowLongW(status, GWL_STYLE) & SS_PATHELLIPSIS, 0);
  const Capture page = d.CaptureClient();
  RECT line;
  GetWindowRect(status, &line);
  MapWindowPoints(nullptr, d.Window(), reinterpret_cast<POINT*>(&line), 2);
  for (int y = line.top + (line.bottom - line.top) * 2 / 3; y < line.bottom; ++y) {
    for (int x = line.left; x < line.right; ++x)
      ASSERT_EQ(page.Pixel(x, y), RGB(255, 255, 255)) << "a second line at " << x << "," << y;
  }
  EXPECT_EQ(AnswerMessageBox(L"提示", IDNO), L"安装还没结束，是否要退出安装");
  ASSERT_TRUE(d.WaitForText(kCancel, L"完成", 60000));
  // Tab to "马上运行Korvel", clear it with the space bar, Tab on to 完成.
  for (int i = 0; i < 4 && d.Focus() != GetDlgItem(d.Window(), kRunNow); ++i)
    d.PressKey(VK_TAB);
  d.PressKey(VK_SPACE);
  EXPECT_EQ(d.Checked(kRunNow), BST_UNCHECKED);
  for (int i = 0; i < 4 && d.Focus() != GetDlgItem(d.Window(), kCancel); ++i)
    d.PressKey(VK_TAB);
  d.PressKey(VK_RETURN);
  EXPECT_EQ(d.WaitForExit(30000), 0u);
  EXPECT_EQ(RunForExitCode(folder + L"uninstall.exe", L"-silent", folder.c_str()), 0u);
}

// A volume without room for the package: the wizard says so, naming the drive, what is
// needed and what is free; 否 stays on the folder page. 是 on a volume that fills - while
// the uninstaller is written, or later among the payload's files - fails there, and the
// installer removes what it wrote itself: the uninstaller may be the truncated file.
TEST(Journey, AFullVolumeIsWarnedAbout) {
  ASSERT_EQ(NoSmallDisk(), "");
  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe")));
  ToTargetPage(d, L"F:\\brimvale");
  d.Click(kNext);
  const std::wstring warning = AnswerMessageBox(L"提示", IDNO);
  EXPECT_EQ(warning.rfind(L"磁盘空间可能不足：F: 需要 ", 0), 0u) << "no warning";
  EXPECT_NE(warning.find(L"可用"), std::wstring::npos);
  ASSERT_TRUE(d.Settle());
  EXPECT_EQ(d.Text(kNext), L"安装");
  EXPECT_FALSE(Exists(L"F:\\brimvale"));
  d.Click(kCancel);
  AnswerMessageBox(L"提示", IDYES);
  EXPECT_EQ(d.WaitForExit(30000), Exit(SetupExit::kCancelled));
  ULARGE_INTEGER free{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(L"F:\\", &free, nullptr, nullptr));
  for (const std::uint64_t left : {24576u, 196608u}) {
    ASSERT_GT(free.QuadPart, left);
    WriteBytes(L"F:\\filler.bin", std::string(free.QuadPart - left, 'f'));
    Driver run;
    ASSERT_TRUE(run.Start(InstallerCopy(L"setup_portal_77.exe")));
    ToTargetPage(run, L"F:\\brimvale");
    run.Click(kNext);
    AnswerMessageBox(L"提示", IDYES);
    const std::wstring failure = AnswerMessageBox(L"setup_portal_77", IDOK, 60000);
    EXPECT_EQ(failure.rfind(L"创建文件F:\\brimvale\\", 0), 0u) << left;
    EXPECT_EQ(failure.find(L"uninstall.exe") != std::wstring::npos, left == 24576u) << left;
    EXPECT_EQ(run.WaitForExit(30000), Exit(SetupExit::kWriteFailed));
    DeleteFileW(L"F:\\filler.bin");
    EXPECT_FALSE(Exists(L"F:\\brimvale")) << left;
  }
}

// Built as a release is - the stub given the release's version, stamped, then signed, with
// its uninstaller signed inside - the installer still checks itself and opens its wizard,
// and both programs, the entry and the log state the release's version.
TEST(Journey, SignedInstallerChecksItselfAndRuns) {
  const std::string bytes = ReadBytes(SETUP_SIGNED_INSTALLER_W);
  PeImage image;
  ASSERT_EQ(image.Parse(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
            PeStatus::kOk);
  EXPECT_GT(image.DataDirectory(4).size, 0u) << "not signed";
  FileRange resource;
  ASSERT_EQ(image.FindNamedTypeResource(u"FILE", 139, &resource), PeStatus::kOk);
  std::vector<std::uint8_t> uninstaller(kUninstallerLimit);
  int result = -1;
  uninstaller.resize(
      InflateResource(reinterpret_cast<const std::uint8_t*>(bytes.data()) + resource.position,
                      resource.size, uninstaller.data(), kUninstallerLimit, &result));
  ASSERT_EQ(result, kInflateOk);
  PeImage inner;
  ASSERT_EQ(inner.Parse(uninstaller.data(), uninstaller.size()), PeStatus::kOk);
  EXPECT_GT(inner.DataDirectory(4).size, 0u) << "the uninstaller is not signed";
  constexpr wchar_t kRelease[] = L"2.1.0.7";  // tests/CMakeLists.txt gives it
  ExpectVersionResource(SETUP_SIGNED_INSTALLER_W, L"Korvel视频安装程序", kRelease, 2, 1);

  CleanMachine();
  const std::wstring root = FreshFolder(L"signed", L"D:\\e2e\\");
  const std::wstring folder = root + L"brimvale\\";
  const SilentRun run =
      RunSilently(InstallerCopy(L"setup_portal_77.exe", false, SETUP_SIGNED_INSTALLER_W),
                  L"/S /NORUN \"/LOG=" + root + L"install.log\" /D=" + folder);
  ASSERT_EQ(run.exitCode, 0u);
  ExpectInstalled({folder, true, false, kRelease, 2, 1});
  ExpectVersionResource(folder + product::kUninstallerFile, L"Korvel视频卸载程序", kRelease, 2, 1);
  EXPECT_TRUE(ReadBytes(folder + product::kUninstallerFile) ==
              std::string(uninstaller.begin(), uninstaller.end()));
  const std::vector<std::string> lines = LogLines(root + L"install.log");
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines[0].ends_with(", version 2.1.0.7")) << lines[0];
  CleanMachine();

  Driver d;
  ASSERT_TRUE(d.Start(InstallerCopy(L"setup_portal_77.exe", false, SETUP_SIGNED_INSTALLER_W)))
      << "the signed installer did not open its wizard";
  EXPECT_EQ(d.Text(kNext), L"下一步");
  d.Click(kCancel);
  EXPECT_EQ(AnswerMessageBox(L"提示", IDYES), L"安装还没结束，是否要退出安装");
  EXPECT_EQ(d.WaitForExit(30000), Exit(SetupExit::kCancelled));
}

// --- unattended -----------------------------------------------------------------------------

// What an admin does: install silently into a folder with blanks and Chinese letters,
// choosing the finish page's boxes by switch, then remove it with the entry's
// QuietUninstallString - no window either way, and the exit codes and log say what happened.
TEST(Silent, InstallThenRemoveWithTheQuietUninstallString) {
  CleanMachine();
  const std::wstring root = FreshFolder(L"silent", L"D:\\e2e\\");
  const std::wstring folder = root + L"Program Files\\互动 视频\\";
  const std::wstring log = root + L"logs\\install.log";
  // The folder is there already, with the user's config.ini: the installation keeps it aside
  // and the removal puts it back.
  WriteBytes(folder + L"config.ini", "the user's settings");
  CreateDirectoryW((root + L"logs").c_str(), nullptr);
  const SilentRun run = RunSilently(InstallerCopy(L"setup_portal_77.exe"),
                                    L"/s /NORUN /StartUp \"/LOG=" + log + L"\" /D=" + folder);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_FALSE(run.window) << "a silent installation showed a window";
  ExpectInstalled({folder, /*shortcuts=*/true, /*startup=*/true});  // config.ini the package's
  EXPECT_FALSE(ClientRunning()) << "/NORUN";

  const std::vector<std::string> lines = LogLines(log);
  ASSERT_GE(lines.size(), 10u);
  EXPECT_EQ(lines.front().rfind("start: ", 0), 0u);
  for (const std::wstring& step :
       {std::wstring(L"integrity check passed"), L"install folder " + folder,
        L"wrote " + folder + L"uninstall.exe", L"wrote " + folder + L"Korvel互动.exe",
        L"registered " + folder + L"imageOle.dll", L"wrote " + folder + L"uninstall.ini",
        L"shortcut " + ShortcutPath(CSIDL_STARTUP, L"Korvel互动.lnk") + L": made",
        std::wstring(L"uninstall entry HKEY_LOCAL_MACHINE\\") + product::kUninstallKeyPath}) {
    EXPECT_TRUE(Logged(lines, step)) << Utf8(step);
  }
  EXPECT_EQ(lines.back(), "result: 0, installed");

  // An upgrade without /D= installs where the earlier installation was; without /LOG= it
  // logs to the temporary folder.
  const std::wstring temporary = root + L"temp\\";
  CreateDirectoryW(temporary.c_str(), nullptr);
  {
    const EnvironmentVariables temp({{L"TMP", temporary}, {L"TEMP", temporary}});
    EXPECT_EQ(RunSilently(InstallerCopy(L"setup_portal_77.exe"), L"/S /NORUN").exitCode, 0u);
  }
  ExpectInstalled({folder});
  const std::vector<std::wstring> logs = Listing(temporary);
  ASSERT_EQ(logs.size(), 1u) << Joined(logs);
  EXPECT_EQ(logs[0].rfind(L"brimvale-setup-", 0), 0u) << Utf8(logs[0]);
  EXPECT_EQ(LogLines(temporary + logs[0]).back(), "result: 0, installed");
  // One that finds a file of the earlier installation in use stops before it installs
  // anything, and leaves the earlier installation whole.
  HANDLE held = CreateFileW((folder + L"Korvel互动.exe").c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(RunSilently(InstallerCopy(L"setup_portal_77.exe"), L"/S /NORUN").exitCode,
            Exit(SetupExit::kPreviousNotRemoved));
  CloseHandle(held);
  ExpectInstalled({folder});
  // With the client running from the folder, /NOCLOSEAPPLICATIONS stops before anything
  // changes; without it the upgrade asks the client to close. The component, loaded by this
  // program, is replaced, and the earlier file goes at the next restart.
  HANDLE client = Launch(folder + L"Korvel互动.exe");
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(WaitUntil([] { return FindWindowW(product::kClientWindowClass, nullptr); }));
  EXPECT_EQ(RunSilently(InstallerCopy(L"setup_portal_77.exe"), L"/S /NORUN /NOCLOSEAPPLICATIONS")
                .exitCode,
            Exit(SetupExit::kApplicationsOpen));
  EXPECT_EQ(WaitForSingleObject(client, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  const HMODULE component = LoadLibraryW((folder + L"imageOle.dll").c_str());
  ASSERT_NE(component, nullptr);
  const std::wstring inUseLog = root + L"logs\\in use.log";
  EXPECT_EQ(
      RunSilently(InstallerCopy(L"setup_portal_77.exe"), L"/S /NORUN \"/LOG=" + inUseLog + L"\"")
          .exitCode,
      Exit(SetupExit::kRestartRequired));
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring program = std::wcsrchr(self, L'\\') + 1;
  EXPECT_TRUE(Logged(LogLines(inUseLog), L"process " + std::to_wstring(GetCurrentProcessId()) +
                                             L" (" + program +
                                             L") loaded a module of the installation"));
  EXPECT_EQ(WaitForSingleObject(client, 10000), WAIT_OBJECT_0) << "the client was not closed";
  CloseHandle(client);
  ExpectInstalled({folder});
  EXPECT_NE(PendingDeletions().find(folder + L"uninstall.old\\"), std::wstring::npos)
      << "the earlier component is not deleted at the next restart";
  FreeLibrary(component);
  // A file its user changed since it was installed stays as it is; an upgrade writes the
  // package's beside it, and says so.
  const std::wstring config = folder + L"config.ini";
  const std::string edited = ReadBytes(config) + "Server=mine\r\n";
  WriteBytes(config, edited);
  const std::wstring upgradeLog = root + L"logs\\upgrade.log";
  EXPECT_EQ(
      RunSilently(InstallerCopy(L"setup_portal_77.exe"), L"/S /NORUN \"/LOG=" + upgradeLog + L"\"")
          .exitCode,
      0u);
  EXPECT_EQ(ReadBytes(config), edited);
  EXPECT_EQ(ReadBytes(config + L".new"),
            ReadBytes(std::wstring(SETUP_DEMO_PAYLOAD_W) + L"\\config.ini"));
  EXPECT_TRUE(Logged(LogLines(upgradeLog), config + L" was changed since it was installed"));

  // The QuietUninstallString, split as Windows splits it: the uninstaller and -silent.
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(EntryText(L"QuietUninstallString").c_str(), &count);
  ASSERT_EQ(count, 2);
  const std::wstring uninstaller = argv[0], argument = argv[1];
  LocalFree(argv);
  EXPECT_EQ(uninstaller, folder + L"uninstall.exe");
  const SilentRun removal = RunSilently(uninstaller, argument);
  EXPECT_EQ(removal.exitCode, 0u);
  EXPECT_FALSE(removal.window);
  ExpectClean(folder, {L"config.ini"});
  EXPECT_EQ(ReadBytes(folder + L"config.ini"), "the user's settings");

  // The folders an installation made above its own go with it while nothing else is there.
  const std::wstring made = root + L"made\\by it\\";
  ASSERT_EQ(RunSilently(InstallerCopy(L"setup_portal_77.exe"), L"/S /NORUN /D=" + made).exitCode,
            0u);
  // An upgrade there carries them on.
  ASSERT_EQ(RunSilently(InstallerCopy(L"setup_portal_77.exe"), L"/S /NORUN").exitCode, 0u);
  EXPECT_EQ(RunForExitCode(made + L"uninstall.exe", L"-silent", made.c_str()), 0u);
  ExpectClean(made);
  EXPECT_TRUE(WaitUntil([&] { return !Exists(root + L"made"); }, 20000))
      << "a folder made above the install folder is left";

  // An upgrade into another folder runs nothing of the earlier installation - not its
  // uninstall.exe, another program here - and removes it itself once the new one is complete,
  // folder and all. Over a newer version it logs both and goes ahead.
  const std::wstring first = root + L"first\\";
  const std::wstring second = root + L"second\\";
  const std::wstring ran = root + L"logs\\ran.txt";
  const std::wstring movedLog = root + L"logs\\moved.log";
  ASSERT_EQ(RunSilently(InstallerCopy(L"setup_portal_77.exe"), L"/S /NORUN /D=" + first).exitCode,
            0u);
  WriteBytes(first + L"uninstall.exe", ReadBytes(SETUP_SLOW_PROGRAM_W));
  HKEY entry = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath, 0, KEY_WRITE, &entry),
            ERROR_SUCCESS);
  WriteStringValue(entry, L"DisplayVersion", L"99.0");
  RegCloseKey(entry);
  {
    const EnvironmentVariables watched({{L"SETUP_SLOW_RUNS", ran}, {L"SETUP_SLOW_MS", L"0"}});
    EXPECT_EQ(RunSilently(InstallerCopy(L"setup_portal_77.exe"),
                          L"/S /NORUN \"/LOG=" + movedLog + L"\" /D=" + second)
                  .exitCode,
              0u);
  }
  EXPECT_FALSE(Exists(ran)) << "a program of the earlier installation ran";
  EXPECT_TRUE(Logged(LogLines(movedLog), L"the earlier version 99.0 is newer than this one, " +
                                             std::wstring(product::kVersion)));
  ExpectInstalled({second});
  EXPECT_TRUE(WaitUntil([&] { return !Exists(first); }, 20000)) << "the earlier folder is left";
  EXPECT_EQ(RunForExitCode(second + L"uninstall.exe", L"-silent", second.c_str()), 0u);
  ExpectClean(second);
}

// A silent installation that fails: its switches, and what it must say.
struct Failure {
  const char* name;
  std::wstring arguments;  // after /LOG=
  SetupExit code;
  std::vector<std::wstring> logged;
  const wchar_t* box = nullptr;  // the start of the message box's text, if one is wanted
  bool damaged = false;
  bool mutex = false;   // another installer holds the mutex
  bool client = false;  // the client runs, and still runs after: nothing changed
};

// Runs failure `f`, its log in `root`: its exit code, the lines it logs and its last, no
// window (but the box it wants), and no uninstall entry.
void ExpectFailure(const Failure& f, const std::wstring& root) {
  const std::wstring log = root + L"failure.log";
  DeleteFileW(log.c_str());
  const std::wstring installer = InstallerCopy(L"setup_portal_77.exe", f.damaged);
  // An installer's mutex: global, and owned by Administrators.
  HANDLE mutex = f.mutex ? CreateMutexW(const_cast<SECURITY_ATTRIBUTES*>(AdminObjectRights()),
                                        FALSE, product::kMutexName)
                         : nullptr;
  const std::wstring arguments = L"\"/LOG=" + log + L"\" " + f.arguments;
  HANDLE client =
      f.client ? Launch(std::wstring(SETUP_DEMO_PAYLOAD_W) + L"\\Korvel互动.exe") : nullptr;
  if (client != nullptr)
    WaitUntil([] { return FindWindowW(product::kClientWindowClass, nullptr) != nullptr; });
  SilentRun run;
  if (f.box != nullptr) {
    HANDLE process = Launch(installer, arguments);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(AnswerMessageBox(L"提示", IDOK).rfind(f.box, 0), 0u) << f.name;
    WaitForSingleObject(process, 30000);
    run.exitCode = ExitCode(process);
    CloseHandle(process);
  } else {
    run = RunSilently(installer, arguments);
    EXPECT_TRUE(run.started) << f.name << ": not started (error " << run.startError << ")";
    EXPECT_FALSE(run.window) << f.name;
  }
  if (mutex != nullptr)
    CloseHandle(mutex);
  if (client != nullptr) {
    EXPECT_EQ(WaitForSingleObject(client, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << f.name << ": the client was ended";
    CloseHandle(client);
    CloseClient();
  }
  EXPECT_EQ(run.exitCode, Exit(f.code)) << f.name;
  const std::vector<std::string> lines = LogLines(log);
  for (const std::wstring& line : f.logged)
    EXPECT_TRUE(Logged(lines, line)) << f.name << ": " << Utf8(line);
  EXPECT_FALSE(Logged(lines, L"(error 0)")) << f.name << ": an error code read after it was lost";
  ASSERT_FALSE(lines.empty()) << f.name;
  EXPECT_EQ(lines.back(), "result: " + std::to_string(Exit(f.code)) + ", " +
                              Utf16ToUtf8(std::u16string(ExitMeaning(f.code))))
      << f.name;
  EXPECT_FALSE(EntryExists()) << f.name;
}

// Each way a silent installation fails, caused for real: its exit code, its log, no window,
// nothing left installed and nothing of anyone else's changed - the user's files in an
// existing folder, a component planted there, a folder a link leads to, a file a log path
// links to. /? and a refused switch without /S say it in a message box.
TEST(Silent, EachFailureHasItsExitCodeAndLog) {
  CloseClient();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  const std::wstring root = FreshFolder(L"failures", L"D:\\e2e\\");
  const std::wstring locked = root + L"locked\\";
  WriteBytes(locked + L"config.ini", "the user's");
  HANDLE lock = CreateFileW((locked + L"config.ini").c_str(), GENERIC_READ, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  // The package's first file, a user's before the run, is kept aside and put back when the
  // run fails at Skin.
  const std::wstring blocked = root + L"blocked\\";
  WriteBytes(blocked + L"Skin", "a file where a folder of the package goes");
  WriteBytes(blocked + L"Emotions\\经典\\大笑.gif", "the user's picture");
  // A component planted where the package puts its own, and a file in the way before it: the
  // run fails, and registers nothing - the planted DLL's code never runs.
  const std::wstring planted = root + L"planted\\";
  WriteBytes(planted + L"imageOle.dll",
             ReadBytes(std::wstring(SETUP_DEMO_PAYLOAD_W) + L"\\ImageOle.dll"));
  WriteBytes(planted + L"Emotions", "a file where a folder of the package goes");
  RegDeleteTreeW(HKEY_CLASSES_ROOT, L"CLSID\\{6A1F3E2B-7C4D-4E59-9B1A-2D3C4B5A6978}");
  // A folder a user linked elsewhere, and one below it: writing there would land in the
  // folder linked to.
  const std::wstring elsewhere = FreshFolder(L"elsewhere", root.c_str());
  ASSERT_TRUE(PlantHostLink(root + L"linked", "elsewhere"));
  // A folder anyone may change, holding a file of someone's: anyone may hold it open with
  // rights that no change of its rights takes back, and may move away what is below it.
  const std::wstring shared = root + L"shared\\";
  WriteBytes(shared + L"note.txt", "someone's");
  ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(shared.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);  // no list: everyone may do anything
  const Failure failures[] = {
      {"tampered",
       L"/S",
       SetupExit::kIntegrityFailed,
       {L"told: 安装程序自我完整性检测失败，请尝试重新下载"},
       nullptr,
       true},
      {"second instance",
       L"/S",
       SetupExit::kAlreadyRunning,
       {L"told: 安装程序已经在运行"},
       nullptr,
       false,
       true},
      {"locked file",
       L"/S /D=" + locked,
       SetupExit::kWriteFailed,
       {L"could not keep " + locked + L"config.ini aside (error 32)",
        L"told: 创建文件" + locked + L"config.ini失败", L"removing what was written"}},
      {"a file where a folder goes",
       L"/S /D=" + blocked,
       SetupExit::kWriteFailed,
       {L"told: 创建文件" + blocked + L"Skin\\", L"removed what was written"}},
      {"a planted component and a file in the way",
       L"/S /D=" + planted,
       SetupExit::kWriteFailed,
       {L"told: 创建文件" + planted + L"Emotions\\"}},
      {"a link as the install folder",
       L"/S /D=" + root + L"linked",
       SetupExit::kFolderRefused,
       {L"told: 安装路径中含有链接，请选择其他文件夹",
        L"the folder " + root + L"linked\\ was refused: it, or a folder on its way, is a link"}},
      {"a folder below a link",
       L"/S /D=" + root + L"linked\\brimvale",
       SetupExit::kFolderRefused,
       {L"told: 安装路径中含有链接，请选择其他文件夹"}},
      {"a folder anyone may change, holding a file",
       L"/S /D=" + shared,
       SetupExit::kFolderRefused,
       {L"told: 其他用户可以更改此文件夹，且其中已有文件，请选择其他文件夹"}},
      {"a folder below one anyone may change",
       L"/S /D=" + shared + L"brimvale",
       SetupExit::kFolderRefused,
       {L"told: 其他用户可以移走或替换安装路径上的文件夹，请选择其他文件夹"}},
      {"a name the code page cannot spell",
       L"/S /D=" + root + L"한국",
       SetupExit::kFolderRefused,
       {L"told: 安装路径中含有当前系统语言无法表示的字符，请选择其他文件夹"}},
      {"a volume's root",
       L"/S /D=D:\\",
       SetupExit::kFolderRefused,
       {L"told: 不能安装到磁盘根目录或系统文件夹，请选择其他文件夹"}},
      {"relative folder",
       L"/S /D=brimvale",
       SetupExit::kFolderRefused,
       {L"told: 安装文件夹无效（须为完整路径）：/D=brimvale"}},
      {"folder with %, the client running",
       L"/S /D=" + root + L"100%PATH%",
       SetupExit::kFolderRefused,
       {L"told: 安装路径中不能含有字符%，请选择其他文件夹"},
       nullptr,
       false,
       false,
       true},
      {"unknown switch", L"/X /S", SetupExit::kUsage, {L"told: 无法识别的参数：/X"}},
      {"usage", L"/?", SetupExit::kUsage, {L"told: 用法："}, L"用法："},
      {"unknown switch, no /S", L"/QUIET", SetupExit::kUsage, {}, L"无法识别的参数：/QUIET"},
  };
  for (const Failure& f : failures)
    ExpectFailure(f, root);
  CloseHandle(lock);
  EXPECT_EQ(ReadBytes(locked + L"config.ini"), "the user's");
  EXPECT_FALSE(Exists(locked + L"uninstall.ini"));
  EXPECT_FALSE(Exists(locked + L"ImageOle.dll"));
  EXPECT_EQ(ReadBytes(blocked + L"Skin"), "a file where a folder of the package goes");
  EXPECT_FALSE(Exists(blocked + L"uninstall.exe"));
  EXPECT_EQ(ReadBytes(blocked + L"Emotions\\经典\\大笑.gif"), "the user's picture");
  EXPECT_FALSE(Exists(blocked + L"uninstall.kept"));
  EXPECT_EQ(ReadBytes(planted + L"imageOle.dll"),
            ReadBytes(std::wstring(SETUP_DEMO_PAYLOAD_W) + L"\\ImageOle.dll"));
  EXPECT_EQ(ReadBytes(planted + L"Emotions"), "a file where a folder of the package goes");
  EXPECT_EQ(RegisteredServer(), L"") << "the planted component was registered";
  std::vector<std::wstring> there;
  ListFiles(elsewhere, L"", &there);
  EXPECT_TRUE(there.empty()) << "written through the link";
  EXPECT_FALSE(Exists(root + L"한국"));
  EXPECT_EQ(ReadBytes(shared + L"note.txt"), "someone's");
  EXPECT_FALSE(Exists(shared + L"brimvale"));
  // A log that is a link to another file, or another name of it, overwrites nothing; nor
  // does one in a missing folder. The dated log in the temporary folder says why.
  WriteBytes(root + L"victim.txt", "keep");
  ASSERT_TRUE(
      CreateHardLinkW((root + L"hard.log").c_str(), (root + L"victim.txt").c_str(), nullptr));
  ASSERT_TRUE(PlantHostLink(root + L"soft.log", "victim.txt"));
  for (const auto& [log, error] :
       {std::pair<const wchar_t*, int>{L"hard.log", 5}, {L"soft.log", 5}, {L"missing\\x.log", 3}}) {
    const std::wstring temporary = FreshFolder(L"log temp", root.c_str());
    const EnvironmentVariables temp({{L"TMP", temporary}, {L"TEMP", temporary}});
    EXPECT_EQ(RunSilently(InstallerCopy(L"setup_portal_77.exe"), L"/S \"/LOG=" + root + log + L"\"")
                  .exitCode,
              Exit(SetupExit::kUsage));
    EXPECT_EQ(ReadBytes(root + L"victim.txt"), "keep") << "written through " << Utf8(log);
    const std::vector<std::wstring> logs = Listing(temporary);
    ASSERT_EQ(logs.size(), 1u) << Joined(logs);
    const std::vector<std::string> lines = LogLines(temporary + logs[0]);
    EXPECT_TRUE(Logged(lines, L"the log " + root + log + L" could not be made (error " +
                                  std::to_wstring(error) + L")"))
        << Utf8(log);
    EXPECT_EQ(lines.back(), "result: " + std::to_string(Exit(SetupExit::kUsage)) + ", " +
                                Utf16ToUtf8(std::u16string(ExitMeaning(SetupExit::kUsage))));
  }
  RemoveHostLink(root + L"soft.log");
  EXPECT_FALSE(Exists(L"D:\\e2e\\downloads\\brimvale"));
  EXPECT_FALSE(Exists(root + L"100%PATH%"));
}

// Runs the installer progress-only with `arguments`: it must show a box owned by its window,
// captioned with its name, whose text begins with `text`, and end with `code` once the box
// is answered. The box's text.
std::wstring ExpectProgressOnlyTells(const std::wstring& arguments,
                                     const std::wstring& text,
                                     SetupExit code) {
  Driver d;
  if (!d.Start(InstallerCopy(L"setup_portal_77.exe"), arguments)) {
    ADD_FAILURE() << Utf8(arguments) << ": no window; exit code "
                  << (d.Process() != nullptr ? d.WaitForExit(10000) : STILL_ACTIVE);
    return {};
  }
  HWND box = nullptr;
  WaitUntil([&] { return (box = FindWindowW(L"#32770", L"setup_portal_77")) != nullptr; });
  EXPECT_TRUE(box != nullptr && GetWindow(box, GW_OWNER) == d.Window())
      << Utf8(arguments) << ": the box is not the progress window's";
  const std::wstring told = AnswerMessageBox(L"setup_portal_77", IDOK);
  EXPECT_EQ(told.rfind(text, 0), 0u) << Utf8(arguments) << ": " << Utf8(told);
  EXPECT_EQ(d.WaitForExit(60000), Exit(code)) << Utf8(arguments);
  return told;
}

// Progress only (/PASSIVE, /SILENT): the wizard's installing page, which installs with the
// answers of /S and ends by itself, an upgrade included. A person watches it: what they
// must know - a failure, a restart that completes the upgrade - is told in a box the
// window owns before the run ends with its code, and 取消 or the window's Close asks
// whether to quit (否 goes on; 是 removes the run, and says so meanwhile). With
// /SUPPRESSMSGBOXES no box shows; with a switch it does not know, nothing shows at all.
TEST(Silent, ProgressOnlyTellsWhatAPersonWatchingMustKnow) {
  CleanMachine();
  const std::wstring folder = FreshFolder(L"passive", L"D:\\e2e\\");
  const SilentRun first =
      RunSilently(InstallerCopy(L"setup_portal_77.exe"), L"/PASSIVE /NORUN /D=" + folder);
  EXPECT_EQ(first.exitCode, 0u);
  EXPECT_TRUE(first.window) << "no progress was shown";
  ExpectInstalled({folder});
  const SilentRun upgrade = RunSilently(InstallerCopy(L"setup_portal_77.exe"), L"/SILENT /NORUN");
  EXPECT_EQ(upgrade.exitCode, 0u);
  ExpectInstalled({folder});

  HANDLE held = CreateFileW((folder + L"Korvel互动.exe").c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ExpectProgressOnlyTells(L"/PASSIVE /NORUN", product::kPreviousNotRemoved,
                          SetupExit::kPreviousNotRemoved);
  CloseHandle(held);
  const std::wstring percent = folder.substr(0, folder.size() - 1) + L"-100%PATH%";
  ExpectProgressOnlyTells(L"/PASSIVE /D=" + percent, L"安装路径中不能含有字符%，请选择其他文件夹",
                          SetupExit::kFolderRefused);
  EXPECT_EQ(RunSilently(InstallerCopy(L"setup_portal_77.exe"),
                        L"/PASSIVE /SUPPRESSMSGBOXES /D=" + percent)
                .exitCode,
            Exit(SetupExit::kFolderRefused));
  const HMODULE component = LoadLibraryW((folder + L"imageOle.dll").c_str());
  ASSERT_NE(component, nullptr);
  ExpectProgressOnlyTells(L"/PASSIVE /NORUN", product::kRestartToFinish,
                          SetupExit::kRestartRequired);
  FreeLibrary(component);
  ExpectInstalled({folder});
  EXPECT_TRUE(RunToEnd(folder + L"uninstall.exe", L"-silent", folder.c_str()));

  // The larger package, so that the question comes while it installs.
  for (const int answer : {IDNO, IDYES}) {
    const std::wstring cancelled = FreshFolder(L"passive cancel", L"D:\\e2e\\") + L"brimvale\\";
    Driver d;
    ASSERT_TRUE(d.Start(InstallerCopy(L"setup_campaign_77.exe", false, SETUP_CAMPAIGN_INSTALLER_W),
                        L"/PASSIVE /NORUN /D=" + cancelled));
    ASSERT_TRUE(WaitUntil([&] { return Exists(cancelled + L"uninstall.exe"); }, 60000));
    if (answer == IDNO)
      d.Click(kCancel);
    else
      PostMessageW(d.Window(), WM_CLOSE, 0, 0);  // the window's Close
    AlertWatch alerts(d.Process());
    EXPECT_EQ(AnswerMessageBox(L"提示", answer), L"安装还没结束，是否要退出安装");
    if (answer == IDYES) {
      EXPECT_EQ(alerts.Next(), L"正在撤销安装…");
    }
    EXPECT_EQ(d.WaitForExit(120000), answer == IDNO ? 0u : Exit(SetupExit::kCancelled));
    if (answer == IDNO) {
      EXPECT_EQ(RunForExitCode(cancelled + L"uninstall.exe", L"-silent", cancelled.c_str()), 0u);
    } else {
      ExpectClean(cancelled);
    }
  }

  const SilentRun unknown = RunSilently(InstallerCopy(L"setup_portal_77.exe"), L"/PASSIVE /X");
  EXPECT_EQ(unknown.exitCode, Exit(SetupExit::kUsage));
  EXPECT_FALSE(unknown.window) << "a refused switch showed a box";
}

// A volume without room for the package: a silent installation takes the warning's 否 and
// ends with its own exit code, having made nothing there.
TEST(Silent, NotEnoughSpaceHasItsExitCodeAndLog) {
  ASSERT_EQ(NoSmallDisk(), "");
  CloseClient();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, product::kUninstallKeyPath);
  ExpectFailure({"not enough space",
                 L"/S /D=F:\\brimvale",
                 SetupExit::kNotEnoughSpace,
                 {L"asked: 磁盘空间可能不足：F: 需要 ", L"- no"}},
                FreshFolder(L"no space", L"D:\\e2e\\"));
  EXPECT_FALSE(Exists(L"F:\\brimvale"));
  // Progress only answers the same, and tells the warning, owned by its window.
  const std::wstring told = ExpectProgressOnlyTells(
      L"/PASSIVE /D=F:\\brimvale", L"磁盘空间可能不足：F: 需要 ", SetupExit::kNotEnoughSpace);
  EXPECT_TRUE(told.ends_with(L"。")) << "the question was told: " << Utf8(told);
  EXPECT_FALSE(Exists(L"F:\\brimvale"));
}

TEST(Installer, AsksForAdministratorAndImportsOnlySystemDlls) {
  const ProgramFacts program = ReadProgram(ReadBytes(SETUP_INSTALLER_W));
  ExpectElevatedManifest(program);
  // KnownDLLs, and the common controls, which the manifest binds to the system's own.
  ExpectOnlyImports(program, {"KERNEL32.dll", "USER32.dll", "GDI32.dll", "ADVAPI32.dll",
                              "SHELL32.dll", "ole32.dll", "msvcrt.dll", "COMCTL32.dll"});
  ExpectVersionResource(SETUP_INSTALLER_W, L"Korvel视频安装程序");
}

}  // namespace
