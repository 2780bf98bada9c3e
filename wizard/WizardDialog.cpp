#include "wizard/WizardDialog.h"

// after windows.h
#include <commctrl.h>
#include <richedit.h>
#include <shlobj.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>

#include "app/Finishing.h"
#include "install/Directories.h"
#include "install/FolderRights.h"
#include "install/InstallFolder.h"
#include "wizard/AgreementText.h"

namespace {

constexpr wchar_t kClientClass[] = L"ZephlinHallFrameWindow_Brimvale";
constexpr wchar_t kCaption[] = L"提示";
constexpr int kClientWidth = 576;
constexpr int kClientHeight = 418;

const COLORREF kBand = RGB(227, 227, 227);
const COLORREF kSeparator = RGB(174, 174, 174);

// Pages' texts: title (x, y) and descriptions in the dialog font.
struct Label {
  int page;
  const wchar_t* text;
  int x;
  int y;
  bool title;
};
constexpr Label kLabels[] = {
    {PAGE_AGREEMENT, L"安装协议", 35, 35, true},
    {PAGE_AGREEMENT, L"如果你按[接受],则表示你接受用户许可协议条款。单击[取消]终止安装向导。", 25,
     328, false},
    {PAGE_TARGET, L"选择安装路径", 29, 35, true},
    {PAGE_TARGET, L"安装向导将安装Korvel到下面指定的文件夹。要安装到其他文件夹请单击[...]", 39, 119,
     false},
    {PAGE_TARGET, L"软件安装文件夹", 39, 139, false},
    {PAGE_TARGET, L"建议使用默认安装路径", 39, 300, false},
    {PAGE_INSTALLING, L"正在安装", 35, 35, true},
    {PAGE_FINISHED, L"安装完成", 35, 35, true},
    {PAGE_FINISHED, L"Korvel推荐您：", 35, 120, false},
};

RECT Rect(int left, int top, int width, int height) {
  return RECT{left, top, left + width - 1, top + height - 1};
}

// Runs `command` (current folder `folder`, or the installer's when null) and waits for it.
void RunAndWait(std::wstring command, const wchar_t* folder) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, folder,
                      &startup, &process)) {
    return;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

}  // namespace

std::wstring ApplicationName() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring name = path;
  name = name.substr(name.find_last_of(L"\\/") + 1);
  const std::size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}

// --- AgreementView ------------------------------------------------------------------------

bool AgreementView::Create(HWND parent, int id, const RECT& rect) {
  // The rich-edit control comes from the system folder, never from beside the installer.
  static const HMODULE richEdit =
      LoadLibraryExW(L"msftedit.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (richEdit == nullptr)
    return false;
  return Control::Create(MSFTEDIT_CLASS, parent, id, rect,
                         WS_CHILD | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, L"");
}

void AgreementView::Load(HMODULE module, int resource) const {
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(resource), MAKEINTRESOURCEW(23));  // RT_HTML
  HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
  const auto* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  if (bytes == nullptr)
    return;
  const int size = static_cast<int>(SizeofResource(module, found));
  const int units = MultiByteToWideChar(936, 0, bytes, size, nullptr, 0);
  std::u16string html(static_cast<std::size_t>(units), u'\0');
  MultiByteToWideChar(936, 0, bytes, size, reinterpret_cast<wchar_t*>(html.data()), units);

  SendMessageW(m_hWnd, EM_SETTARGETDEVICE, 0, 0);  // wrap at the window's width
  SendMessageW(m_hWnd, EM_SETBKGNDCOLOR, 0, RGB(255, 255, 255));
  for (const TextRun& run : ParseAgreementHtml(html)) {
    CHARFORMAT2W format{};
    format.cbSize = sizeof format;
    format.dwMask = CFM_BOLD | CFM_SIZE | CFM_COLOR | CFM_FACE;
    format.dwEffects = run.bold ? CFE_BOLD : 0;
    format.yHeight = 180;  // 12 px: 9 points in twips
    format.crTextColor = RGB(0, 0, 0);
    lstrcpynW(format.szFaceName, L"宋体", LF_FACESIZE);
    SendMessageW(m_hWnd, EM_SETSEL, static_cast<WPARAM>(-1), -1);
    SendMessageW(m_hWnd, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    std::wstring text(run.text.begin(), run.text.end());
    SendMessageW(m_hWnd, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  }
  SendMessageW(m_hWnd, EM_SETSEL, 0, 0);
}

// --- construction ---------------------------------------------------------------------------

WizardDialog::WizardDialog()
    : m_hIcon(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_SETUP))),
      m_bandBrush(CreateSolidBrush(kBand)),
      m_whiteBrush(CreateSolidBrush(RGB(255, 255, 255))) {}

WizardDialog::~WizardDialog() = default;

const Dialog::MessageEntry WizardDialog::kMap[] = {
    Message(WM_PAINT, &WizardDialog::OnPaint),
    Message(WM_QUERYDRAGICON, &WizardDialog::OnQueryDragIcon),
    Message(WM_TIMER, &WizardDialog::OnTimer),
    Message(WM_CTLCOLORBTN, &WizardDialog::OnCtlColor),
    Message(WM_CTLCOLORSTATIC, &WizardDialog::OnCtlColor),
    Message(WM_CTLCOLOREDIT, &WizardDialog::OnCtlColor),
    Message(WM_CTLCOLORDLG, &WizardDialog::OnCtlColor),
    Message(WM_CTLCOLORLISTBOX, &WizardDialog::OnCtlColor),
    Message(WM_CTLCOLORSCROLLBAR, &WizardDialog::OnCtlColor),
    Message(WM_CTLCOLORMSGBOX, &WizardDialog::OnCtlColor),
    Command(BN_CLICKED, IDC_BTN_BACK, &WizardDialog::OnBack),
    Command(BN_CLICKED, IDC_BTN_NEXT, &WizardDialog::OnNext),
    Command(BN_CLICKED, IDC_BTN_CANCEL, &WizardDialog::OnCancelOrFinish),
    Command(BN_CLICKED, IDC_BTN_BROWSE, &WizardDialog::OnBrowse),
    Message(WM_INSTALL_PROGRESS, &WizardDialog::OnInstallProgress),
    Message(DM_GETDEFID, &WizardDialog::OnGetDefId),
    kEndOfMap};

const Dialog::MessageEntry* WizardDialog::GetMessageMap() const {
  return kMap;
}

BOOL WizardDialog::OnInitDialog() {
  SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
  SetWindowTextW(m_hWnd, L"KorvelV1.0 - 安装向导");
  std::wmemset(m_worker.m_installFolder, L'\0', kPathBlockUnits);
  m_worker.m_owner = m_hWnd;

  // A 576 x 418 client area, centred as for the 577 x 419 welcome picture.
  RECT window, client;
  GetWindowRect(m_hWnd, &window);
  GetClientRect(m_hWnd, &client);
  const int frameWidth = (window.right - window.left) - (client.right - client.left);
  const int frameHeight = (window.bottom - window.top) - (client.bottom - client.top);
  MoveWindow(m_hWnd, (GetSystemMetrics(SM_CXSCREEN) - (frameWidth + kClientWidth + 1)) / 2,
             (GetSystemMetrics(SM_CYSCREEN) - (frameHeight + kClientHeight + 1)) / 2,
             frameWidth + kClientWidth, frameHeight + kClientHeight, FALSE);

  const auto dialogFont = reinterpret_cast<HFONT>(SendMessageW(m_hWnd, WM_GETFONT, 0, 0));
  LOGFONTW title{};
  GetObjectW(dialogFont, sizeof title, &title);
  title.lfHeight = 16;
  title.lfWeight = 700;
  lstrcpynW(title.lfFaceName, L"宋体", LF_FACESIZE);
  m_titleFont.Reset(CreateFontIndirectW(&title));

  m_btnBack.Create(m_hWnd, IDC_BTN_BACK, Rect(281, 384, 84, 27), L"上一步", BS_DEFPUSHBUTTON);
  m_btnNext.Create(m_hWnd, IDC_BTN_NEXT, Rect(371, 384, 84, 27), L"下一步", BS_DEFPUSHBUTTON);
  m_btnCancel.Create(m_hWnd, IDC_BTN_CANCEL, Rect(461, 384, 84, 27), L"取消", BS_DEFPUSHBUTTON);
  m_agreementView.Create(m_hWnd, IDC_AGREEMENT, RECT{25, 99, 550, 318});
  m_agreementView.Load(GetModuleHandleW(nullptr), IDR_AGREEMENT);
  m_editTarget.Create(m_hWnd, IDC_EDIT_TARGET, RECT{39, 172, 388, 196}, L"", 0,
                      WS_EX_CLIENTEDGE | WS_EX_NOPARENTNOTIFY);
  m_stcFreeSpace.Create(m_hWnd, IDC_STATIC_FREESPACE, RECT{39, 320, 438, 349}, nullptr);
  m_btnBrowse.Create(m_hWnd, IDC_BTN_BROWSE, Rect(400, 172, 30, 25), L"...", BS_DEFPUSHBUTTON);
  m_stcStatus.Create(m_hWnd, IDC_STATIC_STATUS, RECT{35, 120, 434, 149}, L"正在安装");
  m_progress.Create(m_hWnd, IDC_PROGRESS, RECT{35, 155, 434, 184});
  m_chkAutoStart.Create(m_hWnd, IDC_CHK_AUTOSTART, Rect(70, 150, 80, 20), L"开机启动",
                        BS_AUTOCHECKBOX);
  m_chkRunNow.Create(m_hWnd, IDC_CHK_RUNNOW, Rect(70, 175, 100, 20), L"马上运行Korvel",
                     BS_AUTOCHECKBOX);
  m_chkShortcuts.Create(m_hWnd, IDC_CHK_SHORTCUTS, Rect(70, 200, 100, 20), L"创建快捷方式",
                        BS_AUTOCHECKBOX);
  m_controls = {&m_btnBack,    &m_btnNext,      &m_btnCancel, &m_agreementView,
                &m_editTarget, &m_stcFreeSpace, &m_btnBrowse, &m_stcStatus,
                &m_progress,   &m_chkAutoStart, &m_chkRunNow, &m_chkShortcuts};
  for (Control* c : m_controls) {
    if (c != &m_agreementView && c != &m_progress)
      c->SetFont(dialogFont);
  }
  ShowPage(PAGE_WELCOME);
  return FALSE;
}

void WizardDialog::ShowPage(int page) {
  for (Control* c : m_controls)
    ShowWindow(c->Handle(), SW_HIDE);
  auto show = [](const Control& c) { ShowWindow(c.Handle(), SW_SHOWNORMAL); };
  switch (page) {
    case PAGE_WELCOME:
      show(m_btnNext);
      show(m_btnCancel);
      m_btnNext.Focus();
      SetDlgItemTextW(m_hWnd, IDC_BTN_NEXT, L"下一步");
      break;
    case PAGE_AGREEMENT:
      show(m_btnBack);
      show(m_btnNext);
      show(m_btnCancel);
      m_btnNext.Focus();
      show(m_agreementView);
      SetDlgItemTextW(m_hWnd, IDC_BTN_NEXT, L"接受");
      break;
    case PAGE_TARGET:
      show(m_btnBack);
      show(m_btnNext);
      show(m_btnCancel);
      m_btnNext.Focus();
      show(m_btnBrowse);
      show(m_editTarget);
      show(m_stcFreeSpace);
      SetDlgItemTextW(m_hWnd, IDC_BTN_NEXT, L"安装");
      SuggestTargetFolder();
      break;
    case PAGE_INSTALLING:
      show(m_btnBack);
      show(m_btnNext);
      show(m_btnCancel);
      show(m_stcStatus);
      show(m_progress);
      m_btnBack.Enable(false);
      m_btnNext.Enable(false);
      lstrcpynW(m_worker.m_installFolder, m_targetDir, kPathBlockUnits);
      if (m_worker.Thread() != nullptr)
        m_worker.Resume();
      SetTimer(m_hWnd, IDT_PROGRESS, 100, nullptr);
      SetDlgItemTextW(m_hWnd, IDC_BTN_NEXT, L"下一步");
      break;
    case PAGE_FINISHED:
      show(m_btnCancel);
      m_btnCancel.Focus();
      show(m_chkAutoStart);
      show(m_chkRunNow);
      show(m_chkShortcuts);
      m_chkRunNow.SetCheck(BST_CHECKED);
      m_chkShortcuts.SetCheck(BST_CHECKED);
      SetDlgItemTextW(m_hWnd, IDC_BTN_CANCEL, L"完成");
      break;
    default:
      break;
  }
  m_page = page;
  InvalidateRect(m_hWnd, nullptr, TRUE);
}

// --- painting -------------------------------------------------------------------------------

void WizardDialog::DrawLabel(const wchar_t* text, HDC dc, int x, int y, bool dialogFont) const {
  const auto font = dialogFont ? reinterpret_cast<HFONT>(SendMessageW(m_hWnd, WM_GETFONT, 0, 0))
                               : m_titleFont.get();
  SelectGuard selected(dc, font);
  TextOutW(dc, x, y, text, static_cast<int>(std::wcslen(text)));
}

LRESULT WizardDialog::OnPaint(WPARAM, LPARAM) {
  PaintDC paint(m_hWnd);
  RECT client;
  GetClientRect(m_hWnd, &client);
  if (IsIconic(m_hWnd)) {
    SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(paint.get()), 0);
    DrawIcon(paint.get(), (client.right - GetSystemMetrics(SM_CXICON) + 1) / 2,
             (client.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2, m_hIcon);
    return 0;
  }
  const HDC dc = paint.get();
  HDC memory = CreateCompatibleDC(dc);
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  if (m_page == PAGE_WELCOME) {
    Bitmap picture(LoadBitmapW(instance, MAKEINTRESOURCEW(IDB_WELCOME)));
    BITMAP size{};
    GetObjectW(picture.get(), sizeof size, &size);
    {
      // The picture is one pixel larger each way than the client area; its last row is the
      // band's grey again. Dropping that row and column, rather than letting a stretch
      // choose which row to drop, keeps the separator on row 376 on every system.
      SelectGuard selected(memory, picture.get());
      BitBlt(dc, 0, 0, std::min<int>(client.right, size.bmWidth),
             std::min<int>(client.bottom, size.bmHeight), memory, 0, 0, SRCCOPY);
    }
  } else {
    Pen separator(CreatePen(PS_SOLID, 1, kSeparator));
    Bitmap header(LoadBitmapW(instance, MAKEINTRESOURCEW(IDB_HEADER)));
    BITMAP size{};
    GetObjectW(header.get(), sizeof size, &size);
    {
      SelectGuard selected(memory, header.get());
      StretchBlt(dc, 0, 0, client.right, size.bmHeight, memory, 0, 0, size.bmWidth, size.bmHeight,
                 SRCCOPY);
    }
    RECT band{0, 377, client.right, 377 + 43};
    FillRect(dc, &band, m_bandBrush.get());
    {
      SelectGuard pen(dc, separator.get());
      MoveToEx(dc, 0, 376, nullptr);
      LineTo(dc, client.right, 376);
    }
    SetBkMode(dc, TRANSPARENT);
    for (const Label& label : kLabels) {
      if (label.page == m_page)
        DrawLabel(label.text, dc, label.x, label.y, !label.title);
    }
  }
  DeleteDC(memory);
  return 0;
}

LRESULT WizardDialog::OnCtlColor(WPARAM, LPARAM lParam) {
  const auto control = reinterpret_cast<HWND>(lParam);
  // The dialog procedure is asked with the kind in the message; the three band buttons
  // take the band's grey.
  const bool bandButton = control == m_btnBack.Handle() || control == m_btnNext.Handle() ||
                          control == m_btnCancel.Handle();
  return reinterpret_cast<LRESULT>(bandButton ? m_bandBrush.get() : m_whiteBrush.get());
}

LRESULT WizardDialog::OnQueryDragIcon(WPARAM, LPARAM) {
  return reinterpret_cast<LRESULT>(m_hIcon);
}

LRESULT WizardDialog::OnGetDefId(WPARAM, LPARAM) {
  return MAKELONG(0, DC_HASDEFID);
}

// --- page flow ------------------------------------------------------------------------------

LRESULT WizardDialog::OnTimer(WPARAM, LPARAM) {
  SetDlgItemTextW(m_hWnd, IDC_STATIC_STATUS, m_statusText);
  m_progress.SetPos(m_percent);
  return 0;
}

LRESULT WizardDialog::OnBack(WPARAM, LPARAM) {
  if (m_page == PAGE_AGREEMENT)
    ShowPage(PAGE_WELCOME);
  else if (m_page == PAGE_TARGET)
    ShowPage(PAGE_AGREEMENT);
  return 0;
}

LRESULT WizardDialog::OnNext(WPARAM, LPARAM) {
  if (m_page == PAGE_WELCOME) {
    if (CheckRunningClient() && CheckPreviousInstall())
      ShowPage(PAGE_AGREEMENT);
  } else if (m_page == PAGE_AGREEMENT) {
    ShowPage(PAGE_TARGET);
  } else if (m_page == PAGE_TARGET) {
    if (AcceptTargetFolder())
      ShowPage(PAGE_INSTALLING);
  }
  return 0;
}

LRESULT WizardDialog::OnCancelOrFinish(WPARAM, LPARAM) {
  if (m_page >= PAGE_WELCOME && m_page <= PAGE_INSTALLING)
    OnCancel();
  else if (m_page == PAGE_FINISHED)
    OnOK();
  return 0;
}

void WizardDialog::OnOK() {
  m_autoStart = m_chkAutoStart.GetCheck();
  m_runNow = m_chkRunNow.GetCheck();
  m_createShortcuts = m_chkShortcuts.GetCheck();
  Dialog::OnOK();
}

void WizardDialog::OnCancel() {
  if (m_page == PAGE_FINISHED) {
    Dialog::OnOK();
    return;
  }
  const bool installing = m_page == PAGE_INSTALLING;
  if (installing)
    m_worker.Pause();  // parks at the next record boundary
  if (Ask(L"安装还没结束，是否要退出安装") == IDYES) {
    if (installing) {
      KillTimer(m_hWnd, IDT_PROGRESS);
      m_worker.Stop();
      RemovePartialInstall();
    }
    Dialog::OnCancel();
  } else if (installing) {
    m_worker.Continue();
  }
}

LRESULT WizardDialog::OnInstallProgress(WPARAM wParam, LPARAM lParam) {
  const int code = static_cast<int>(static_cast<INT_PTR>(wParam));
  const auto* path = reinterpret_cast<const wchar_t*>(lParam);
  if (code < 0 && code != INSTALL_PREPARING) {
    KillTimer(m_hWnd, IDT_PROGRESS);
    const std::wstring file = path != nullptr ? path : L"";
    if (code == INSTALL_CREATE_FAILED)
      Tell(L"创建文件" + file + L"失败");
    else if (code == INSTALL_REGISTER_FAILED)
      Tell(L"注册组件" + file + L"失败");
    else if (code == INSTALL_REGISTER_HUNG)
      Tell(L"注册组件" + file + L"无响应，安装已停止");
    else
      Tell(L"初始化资源列表失败，可能程序已损坏，请重新下载");
    FreePathBlock(lParam);
    m_worker.Stop();
    RemovePartialInstall();
    Dialog::OnCancel();
  } else if (code == INSTALL_PREPARING) {
    lstrcpynW(m_statusText, L"正在准备安装资源，请稍候", 260);
  } else if (code >= 0 && code < INSTALL_COMPLETE) {
    m_percent = code;
    std::wstring status = std::wstring(L"正在安装： ") + (path != nullptr ? path : L"");
    lstrcpynW(m_statusText, status.c_str(), 260);  // cut to fit
    FreePathBlock(lParam);
  } else if (code == INSTALL_COMPLETE) {
    // An empty last file reports 100 with its path just before the completion itself:
    // the first of the two finishes the page, the second changes nothing.
    FreePathBlock(lParam);
    m_percent = 100;
    KillTimer(m_hWnd, IDT_PROGRESS);
    if (m_page == PAGE_INSTALLING)
      ShowPage(PAGE_FINISHED);
  }
  return 1;
}

void WizardDialog::RemovePartialInstall() {
  m_targetPin.reset();
  const std::wstring folder = m_targetDir;
  RunAndWait(UninstallerCommandLine(folder, true), folder.c_str());
  // The folders this wizard made go too when nothing is left in them (a refused package
  // leaves them empty; otherwise the uninstaller's helper removes the install folder).
  for (auto it = m_createdFolders.rbegin(); it != m_createdFolders.rend(); ++it) {
    if (!RemoveDirectoryW(it->c_str()))
      break;
  }
  m_createdFolders.clear();
}

std::size_t WizardDialog::LongestPackagePath() {
  if (!m_packageInspected) {
    m_packageInspected = true;
    HMODULE module =
        m_worker.m_resources != nullptr ? m_worker.m_resources : GetModuleHandleW(nullptr);
    std::uint32_t size = 0;
    const std::uint8_t* payload = LoadFileResource(module, 137, &size);
    PackageCheck check;
    // An unreadable package is refused by the worker before it writes anything.
    if (payload != nullptr && InspectPackage(payload, size, &check))
      m_longestPackagePath = check.longestPath;
  }
  return m_longestPackagePath;
}

// --- pre-install checks ---------------------------------------------------------------------

int WizardDialog::Ask(const wchar_t* text) const {
  return MessageBoxW(m_hWnd, text, kCaption, MB_YESNO);
}

void WizardDialog::Tell(const std::wstring& text) const {
  MessageBoxW(m_hWnd, text.c_str(), ApplicationName().c_str(), MB_OK);
}

bool WizardDialog::CheckRunningClient() {
  if (FindWindowW(kClientClass, nullptr) == nullptr)
    return true;
  if (Ask(L"程序正在运行，点击确定将终止后继续") != IDYES)
    return false;
  for (HWND window; (window = FindWindowW(kClientClass, nullptr)) != nullptr;) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    const bool ended = process != nullptr && TerminateProcess(process, 0);
    // Wait for the process to be gone before looking again: its window lingers briefly.
    if (ended)
      WaitForSingleObject(process, 5000);
    if (process != nullptr)
      CloseHandle(process);
    if (!ended) {
      Tell(L"终止程序失败，请尝试手动关闭");
      return false;
    }
  }
  return true;
}

bool WizardDialog::CheckPreviousInstall() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKeyPath, 0, KEY_READ | KEY_WRITE, &key) !=
      ERROR_SUCCESS) {
    return true;
  }
  if (Ask(L"你已经安装过此程序，需卸载后继续") != IDYES) {
    RegCloseKey(key);
    return false;
  }
  wchar_t value[1024] = {};
  DWORD type = 0;
  DWORD bytes = sizeof value - sizeof(wchar_t);
  const bool readable = RegQueryValueExW(key, L"UninstallString", nullptr, &type,
                                         reinterpret_cast<BYTE*>(value), &bytes) == ERROR_SUCCESS &&
                        (type == REG_SZ || type == REG_EXPAND_SZ) && bytes % 2 == 0;
  RegCloseKey(key);
  if (readable && value[0] != L'\0') {
    RunAndWait(PreviousUninstallerCommand(value), nullptr);
  }
  return true;
}

void WizardDialog::SuggestTargetFolder() {
  std::wstring folder = L"X:\\brimvale";
  wchar_t windows[256] = {};
  GetWindowsDirectoryW(windows, 256);
  folder[0] = windows[0];
  folder[1] = windows[1];
  wchar_t drives[256] = {};
  GetLogicalDriveStringsW(255, drives);
  std::wstring line = L"可用空间： ";
  bool choosing = true;
  for (const wchar_t* root = drives; *root != L'\0'; root += std::wcslen(root) + 1) {
    ULARGE_INTEGER available{}, total{}, free{};
    GetDiskFreeSpaceExW(root, &available, &total, &free);
    wchar_t item[64];
    swprintf(item, 64, L"%lc%lc%0.1fG ", root[0], root[1],
             static_cast<double>(free.QuadPart) / 1073741824.0);
    line += item;
    if (choosing && root[0] != folder[0]) {
      folder[0] = root[0];
      choosing = false;
    }
  }
  m_editTarget.SetText(folder.c_str());
  m_stcFreeSpace.SetText(line.c_str());
}

LRESULT WizardDialog::OnBrowse(WPARAM, LPARAM) {
  BROWSEINFOW browse{};
  browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN | BIF_EDITBOX;
  LPITEMIDLIST chosen = SHBrowseForFolderW(&browse);
  if (chosen == nullptr)
    return 0;
  wchar_t path[MAX_PATH] = {};
  const bool ok = SHGetPathFromIDListW(chosen, path) != FALSE;
  CoTaskMemFree(chosen);
  if (!ok)
    return 0;
  std::wstring folder = path;
  if (folder.empty() || folder.back() != L'\\')
    folder += L'\\';
  folder += L"brimvale";
  m_editTarget.SetText(folder.c_str());
  return 0;
}

bool WizardDialog::AcceptTargetFolder() {
  std::wstring typed = m_editTarget.Text();
  while (!typed.empty() && typed.back() == L' ')
    typed.pop_back();
  bool blank = true;
  for (const wchar_t c : typed)
    blank = blank && std::iswspace(c);
  if (blank) {
    Tell(L"创建文件夹失败，请检查文件名是否正确");
    return false;
  }
  // A relative folder is taken from the current folder, once, here.
  wchar_t full[MAX_PATH * 2] = {};
  const DWORD n = GetFullPathNameW(typed.c_str(), MAX_PATH * 2, full, nullptr);
  std::wstring folder = (n > 0 && n < MAX_PATH * 2) ? std::wstring(full, n) : typed;
  if (folder.back() != L'\\')
    folder += L'\\';
  const FolderVerdict verdict =
      CheckInstallFolder(std::u16string(folder.begin(), folder.end()), LongestPackagePath());
  if (verdict == FolderVerdict::kTooLong) {
    Tell(L"安装路径过长，请选择较短的文件夹");
    return false;
  }
  if (verdict == FolderVerdict::kPercent) {
    Tell(L"安装路径中不能含有字符%，请选择其他文件夹");
    return false;
  }
  lstrcpynW(m_targetDir, folder.c_str(), 260);
  // What this wizard makes gets the program folder's rights; a folder that exists keeps
  // its own.
  if (!EnsureDirectories(m_targetDir, ProtectedRights::Get().Folder(), &m_createdFolders)) {
    Tell(L"创建文件夹失败，请检查文件名是否正确");
    return false;
  }
  // Held open until the installation ends, so that nobody (an earlier uninstaller's
  // clean-up helper, say) removes or replaces the folder before the worker holds it.
  m_targetPin.reset(CreateFileW(m_targetDir, FILE_LIST_DIRECTORY,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return true;
}
