#include "installer/wizard/WizardDialog.h"

// after windows.h
#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>

#include "core/product/Product.h"
#include "installer/flow/Finishing.h"

namespace {

constexpr unsigned Pages(std::initializer_list<int> pages) {
  unsigned mask = 0;
  for (const int page : pages)
    mask |= 1u << page;
  return mask;
}
constexpr unsigned kAllPages = 0x1F;

// How a control takes its size: its design rectangle, its text, or its text beside a
// check box.
enum class Fit { kDesign, kText, kCheckBox };

// The page titles, by page.
constexpr const wchar_t* kTitles[] = {L"", L"安装协议", L"选择安装路径", L"正在安装", L"安装完成"};

// Keyboard and mouse messages, which a wait drops.
void DropInput() {
  constexpr UINT kRanges[][2] = {{WM_KEYFIRST, WM_KEYLAST},
                                 {WM_MOUSEFIRST, WM_MOUSELAST},
                                 {WM_NCMOUSEMOVE, WM_NCXBUTTONDBLCLK},
                                 {0x0240, 0x024F},  // touch and pointer input
                                 {WM_NCMOUSEHOVER, WM_MOUSELEAVE}};
  MSG message;
  for (const auto& range : kRanges) {
    while (PeekMessageW(&message, nullptr, range[0], range[1], PM_REMOVE)) {
    }
  }
}

// Lets the wizard lay itself out when the window changes DPI: the system would otherwise
// rescale a dialog and its controls on its own (Windows 10 1703 and later).
void KeepDpiLayoutToUs(HWND dialog) {
  using SetBehavior = BOOL(WINAPI*)(HWND, int, int);
  static const auto setBehavior = reinterpret_cast<SetBehavior>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetDialogDpiChangeBehavior")));
  if (setBehavior != nullptr)
    setBehavior(dialog, 1 /* DDC_DISABLE_ALL */, 1);
}

}  // namespace

// --- construction ---------------------------------------------------------------------------

WizardDialog::WizardDialog()
    : m_hIcon(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_SETUP))),
      m_colours(CurrentSkinColours()) {}

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
    Message(WM_SETCURSOR, &WizardDialog::OnSetCursor),
    Message(WM_DPICHANGED, &WizardDialog::OnDpiChanged),
    Message(WM_SETTINGCHANGE, &WizardDialog::OnSettingChange),
    Message(WM_SYSCOLORCHANGE, &WizardDialog::OnSettingChange),
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

// Where each control stands in the 96-DPI design (left, top, width, height; a text's size
// is measured) and on which pages it shows. The order is the creation order, which is the
// Tab order: each page's controls in their visual order, the band's buttons last.
struct WizardPlacement {
  Control* control;
  int left, top, width, height;
  unsigned pages;
  Fit fit;
};

BOOL WizardDialog::OnInitDialog() {
  SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
  SetWindowTextW(m_hWnd, product::kWizardCaption);
  std::fill(std::begin(m_worker.m_installFolder), std::end(m_worker.m_installFolder), L'\0');
  m_worker.m_owner = m_hWnd;
  m_worker.m_log = m_log;
  KeepDpiLayoutToUs(m_hWnd);

  const RECT none{0, 0, 0, 0};
  constexpr DWORD kLabel = SS_LEFT | SS_NOPREFIX;
  m_stcTitle.Create(m_hWnd, IDC_STATIC_TITLE, none, L"", kLabel);
  m_agreementView.Create(m_hWnd, IDC_AGREEMENT, none);
  m_agreementView.Load(GetModuleHandleW(nullptr), IDR_AGREEMENT);
  m_stcAgreementNote.Create(
      m_hWnd, IDC_STATIC_AGREEMENT_NOTE, none,
      L"如果你按[接受],则表示你接受用户许可协议条款。单击[取消]终止安装向导。", kLabel);
  m_stcTargetIntro.Create(m_hWnd, IDC_STATIC_TARGET_INTRO, none, product::kTargetDescription,
                          kLabel);
  m_stcTargetLabel.Create(m_hWnd, IDC_STATIC_TARGET_LABEL, none, L"软件安装文件夹", kLabel);
  // It scrolls sideways, so that no typed letter is lost at its edge; the folder rules
  // decide how long a folder may be.
  m_editTarget.Create(m_hWnd, IDC_EDIT_TARGET, none, L"", WS_TABSTOP | ES_AUTOHSCROLL,
                      WS_EX_CLIENTEDGE | WS_EX_NOPARENTNOTIFY);
  m_btnBrowse.Create(m_hWnd, IDC_BTN_BROWSE, none, L"...", BS_PUSHBUTTON | WS_TABSTOP);
  m_stcTargetHint.Create(m_hWnd, IDC_STATIC_TARGET_HINT, none, L"建议使用默认安装路径", kLabel);
  m_stcFreeSpace.Create(m_hWnd, IDC_STATIC_FREESPACE, none, nullptr, kLabel);
  // One line, the path shortened in its middle: it never wraps onto the progress bar.
  m_stcStatus.Create(m_hWnd, IDC_STATIC_STATUS, none, L"正在安装", kLabel | SS_PATHELLIPSIS);
  m_progress.Create(m_hWnd, IDC_PROGRESS, none);
  SetWindowTextW(m_progress.Handle(), L"安装进度");  // its name for a screen reader
  m_stcRecommendation.Create(m_hWnd, IDC_STATIC_RECOMMENDATION, none, product::kRecommendation,
                             kLabel);
  m_chkAutoStart.Create(m_hWnd, IDC_CHK_AUTOSTART, none, L"开机启动", BS_AUTOCHECKBOX | WS_TABSTOP);
  m_chkRunNow.Create(m_hWnd, IDC_CHK_RUNNOW, none, product::kRunNowChoice,
                     BS_AUTOCHECKBOX | WS_TABSTOP);
  m_chkShortcuts.Create(m_hWnd, IDC_CHK_SHORTCUTS, none, L"创建快捷方式",
                        BS_AUTOCHECKBOX | WS_TABSTOP);
  m_stcStartLater.Create(m_hWnd, IDC_STATIC_START_LATER, none, product::kStartFromShortcut, kLabel);
  m_btnBack.Create(m_hWnd, IDC_BTN_BACK, none, L"上一步", BS_PUSHBUTTON | WS_TABSTOP);
  m_btnNext.Create(m_hWnd, IDC_BTN_NEXT, none, L"下一步", BS_PUSHBUTTON | WS_TABSTOP);
  m_btnCancel.Create(m_hWnd, IDC_BTN_CANCEL, none, L"取消", BS_PUSHBUTTON | WS_TABSTOP);
  m_stcWaiting.Create(m_hWnd, IDC_STATIC_WAITING, none, L"", kLabel | SS_ENDELLIPSIS);
  for (const Button* button : {&m_btnBack, &m_btnNext, &m_btnCancel})
    SetWindowSubclass(button->Handle(), BandButtonProc, 0, reinterpret_cast<DWORD_PTR>(this));
  SetWindowSubclass(m_btnBrowse.Handle(), BrowseButtonProc, 0, 0);
  m_controls = {&m_stcTitle,       &m_agreementView, &m_stcAgreementNote, &m_stcTargetIntro,
                &m_stcTargetLabel, &m_editTarget,    &m_btnBrowse,        &m_stcTargetHint,
                &m_stcFreeSpace,   &m_stcStatus,     &m_progress,         &m_stcRecommendation,
                &m_chkAutoStart,   &m_chkRunNow,     &m_chkShortcuts,     &m_stcStartLater,
                &m_btnBack,        &m_btnNext,       &m_btnCancel,        &m_stcWaiting};

  ApplyDpi(WindowDpi(m_hWnd));
  // The window at the screen's centre, as for the welcome picture (a unit larger each way).
  RECT window;
  GetWindowRect(m_hWnd, &window);
  const int width = window.right - window.left;
  const int height = window.bottom - window.top;
  SetWindowPos(m_hWnd, nullptr, (GetSystemMetrics(SM_CXSCREEN) - (width + m_scale(1))) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - (height + m_scale(1))) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  ShowPage(PAGE_WELCOME);
  m_pageShownAt = 0;  // the first page took no click to come
  return FALSE;
}

// --- DPI and layout -------------------------------------------------------------------------

void WizardDialog::ApplyDpi(UINT dpi) {
  m_dpi = dpi;
  m_scale = Scale(dpi);
  // The body font is the template's (MS Shell Dlg, 9 points) at this DPI; the title font
  // is 宋体, bold, 16 pixels at 96 DPI.
  LOGFONTW body{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(m_hWnd, WM_GETFONT, 0, 0)), sizeof body, &body);
  body.lfHeight = -MulDiv(9, static_cast<int>(dpi), 72);
  m_bodyFont.Reset(CreateFontIndirectW(&body));
  LOGFONTW title = body;
  title.lfHeight = m_scale(16);
  title.lfWeight = FW_BOLD;
  lstrcpynW(title.lfFaceName, L"宋体", LF_FACESIZE);
  m_titleFont.Reset(CreateFontIndirectW(&title));
  for (Control* c : m_controls) {
    if (c != &m_agreementView && c != &m_progress)
      c->SetFont(c == &m_stcTitle ? m_titleFont.get() : m_bodyFont.get());
  }
  m_agreementView.FollowDpi(dpi);
  if (m_artwork.percent != ArtworkPercent(dpi))
    m_artwork = LoadArtwork(GetModuleHandleW(nullptr), dpi);
  m_bandBrush.Reset(CreateSolidBrush(m_colours.band));
  m_pageBrush.Reset(CreateSolidBrush(m_colours.page));

  // A client area of 576 x 418 units.
  RECT window, client;
  GetWindowRect(m_hWnd, &window);
  GetClientRect(m_hWnd, &client);
  const int frameWidth = (window.right - window.left) - client.right;
  const int frameHeight = (window.bottom - window.top) - client.bottom;
  SetWindowPos(m_hWnd, nullptr, 0, 0, frameWidth + m_scale(kDesignWidth),
               frameHeight + m_scale(kDesignHeight), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  LayOut();
}

void WizardDialog::LayOut() {
  const int titleLeft = m_page == PAGE_TARGET ? 29 : 35;
  const unsigned agreement = Pages({PAGE_AGREEMENT});
  const unsigned target = Pages({PAGE_TARGET});
  const unsigned installing = Pages({PAGE_INSTALLING});
  const unsigned finished = Pages({PAGE_FINISHED});
  const WizardPlacement placements[] = {
      {&m_stcTitle, titleLeft, 35, 0, 0, kAllPages & ~Pages({PAGE_WELCOME}), Fit::kText},
      {&m_agreementView, 25, 99, 525, 219, agreement, Fit::kDesign},
      {&m_stcAgreementNote, 25, 328, 0, 0, agreement, Fit::kText},
      {&m_stcTargetIntro, 39, 119, 0, 0, target, Fit::kText},
      {&m_stcTargetLabel, 39, 139, 0, 0, target, Fit::kText},
      {&m_editTarget, 39, 172, 349, 24, target, Fit::kDesign},
      {&m_btnBrowse, 400, 172, 30, 25, target, Fit::kDesign},
      {&m_stcTargetHint, 39, 300, 0, 0, target, Fit::kText},
      {&m_stcFreeSpace, 39, 320, 399, 29, target, Fit::kDesign},
      {&m_stcStatus, 35, 120, 399, 29, installing, Fit::kDesign},
      {&m_progress, 35, 155, 399, 29, installing, Fit::kDesign},
      {&m_stcRecommendation, 35, 120, 0, 0, finished, Fit::kText},
      {&m_chkAutoStart, 70, 150, 0, 19, finished, Fit::kCheckBox},
      {&m_chkRunNow, 70, 175, 0, 19, finished, Fit::kCheckBox},
      {&m_chkShortcuts, 70, 200, 0, 19, finished, Fit::kCheckBox},
      {&m_stcStartLater, 70, 230, 0, 0, m_clientStartable ? 0u : finished, Fit::kText},
      {&m_btnBack, 281, 384, 84, 27, Pages({PAGE_AGREEMENT, PAGE_TARGET, PAGE_INSTALLING}),
       Fit::kDesign},
      {&m_btnNext, 371, 384, 84, 27, kAllPages & ~finished, Fit::kDesign},
      {&m_btnCancel, 461, 384, 84, 27, kAllPages, Fit::kDesign},
      {&m_stcWaiting, 25, 389, 250, 17, m_busyStatus ? kAllPages : 0u, Fit::kDesign},
  };
  HDC dc = GetDC(m_hWnd);
  for (const WizardPlacement& p : placements) {
    RECT rect = m_scale.Box(p.left, p.top, p.width, p.height);
    if (p.fit != Fit::kDesign) {
      // Measured in the control's own font at this DPI.
      const std::wstring text = p.control->Text();
      SelectGuard font(dc, p.control == &m_stcTitle ? m_titleFont.get() : m_bodyFont.get());
      SIZE extent{};
      GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
      int width = extent.cx + m_scale(2);
      if (p.fit == Fit::kCheckBox)
        width += m_scale(13) + m_scale(6);  // the box and the gap before the text
      rect.right = rect.left + width;
      rect.bottom = rect.top + std::max<int>(extent.cy, m_scale(p.height));
    }
    SetWindowPos(p.control->Handle(), nullptr, rect.left, rect.top, rect.right - rect.left,
                 rect.bottom - rect.top, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW);
    if (p.pages & (1u << m_page)) {
      if (!p.control->Visible())
        ShowWindow(p.control->Handle(), SW_SHOWNORMAL);
    } else if (p.control->Visible()) {
      ShowWindow(p.control->Handle(), SW_HIDE);
    }
  }
  ReleaseDC(m_hWnd, dc);
  InvalidateRect(m_hWnd, nullptr, TRUE);
}

LRESULT WizardDialog::OnDpiChanged(WPARAM wParam, LPARAM lParam) {
  const auto* suggested = reinterpret_cast<const RECT*>(lParam);
  if (suggested != nullptr) {
    SetWindowPos(m_hWnd, nullptr, suggested->left, suggested->top,
                 suggested->right - suggested->left, suggested->bottom - suggested->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ApplyDpi(LOWORD(wParam));
  return 0;
}

LRESULT WizardDialog::OnSettingChange(WPARAM, LPARAM) {
  m_colours = CurrentSkinColours();
  m_bandBrush.Reset(CreateSolidBrush(m_colours.band));
  m_pageBrush.Reset(CreateSolidBrush(m_colours.page));
  InvalidateRect(m_hWnd, nullptr, TRUE);
  return 0;
}

// --- pages ----------------------------------------------------------------------------------

void WizardDialog::ShowPage(int page) {
  for (Control* c : m_controls)
    ShowWindow(c->Handle(), SW_HIDE);
  m_page = page;
  m_pageShownAt = GetTickCount64();
  if (page == PAGE_FINISHED)
    m_clientStartable = CanStartClientAsUser(Log());
  m_stcTitle.SetText(kTitles[page]);
  LayOut();  // shows the page's controls
  switch (page) {
    case PAGE_WELCOME:
      m_btnNext.Focus();
      SetDlgItemTextW(m_hWnd, IDC_BTN_NEXT, L"下一步");
      break;
    case PAGE_AGREEMENT:
      m_btnNext.Focus();
      SetDlgItemTextW(m_hWnd, IDC_BTN_NEXT, L"接受");
      break;
    case PAGE_TARGET: {
      m_btnNext.Focus();
      SetDlgItemTextW(m_hWnd, IDC_BTN_NEXT, L"安装");
      const FolderSuggestion suggestion = SuggestTargetFolder();
      const std::wstring folder(m_options.folder.begin(), m_options.folder.end());
      m_editTarget.SetText(folder.empty() ? suggestion.folder.c_str() : folder.c_str());
      m_stcFreeSpace.SetText(suggestion.freeSpace.c_str());
      break;
    }
    case PAGE_INSTALLING:
      m_btnBack.Enable(false);
      m_btnNext.Enable(false);
      m_btnCancel.Focus();  // the focused button is now disabled: Esc must still ask
      std::copy_n(m_targetDir, kPathBlockUnits, m_worker.m_installFolder);
      if (m_worker.Thread() != nullptr)
        m_worker.Resume();
      SetTimer(m_hWnd, IDT_PROGRESS, 100, nullptr);
      SetDlgItemTextW(m_hWnd, IDC_BTN_NEXT, L"下一步");
      break;
    case PAGE_FINISHED:
      m_btnCancel.Focus();
      m_chkAutoStart.SetCheck(m_options.startup ? BST_CHECKED : BST_UNCHECKED);
      m_chkRunNow.SetCheck(m_options.noRun || !m_clientStartable ? BST_UNCHECKED : BST_CHECKED);
      m_chkRunNow.Enable(m_clientStartable);
      m_chkShortcuts.SetCheck(m_options.noShortcuts ? BST_UNCHECKED : BST_CHECKED);
      SetDlgItemTextW(m_hWnd, IDC_BTN_CANCEL, L"完成");
      break;
    default:
      break;
  }
  InvalidateRect(m_hWnd, nullptr, TRUE);
  if (page != PAGE_WELCOME) {
    // A screen reader announces the new page by its title.
    NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, m_stcTitle.Handle(), OBJID_CLIENT, CHILDID_SELF);
    NotifyWinEvent(EVENT_SYSTEM_ALERT, m_stcTitle.Handle(), OBJID_CLIENT, CHILDID_SELF);
  }
}

// --- painting -------------------------------------------------------------------------------

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
  PaintSkin(paint.get(), client, m_page == PAGE_WELCOME, m_scale, m_artwork, m_colours);
  return 0;
}

LRESULT WizardDialog::OnCtlColor(WPARAM wParam, LPARAM lParam) {
  const auto dc = reinterpret_cast<HDC>(wParam);
  const auto control = reinterpret_cast<HWND>(lParam);
  if (control == m_btnBack.Handle() || control == m_btnNext.Handle() ||
      control == m_btnCancel.Handle()) {
    return reinterpret_cast<LRESULT>(m_bandBrush.get());
  }
  if (control == m_editTarget.Handle() && m_colours.highContrast) {
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
  }
  SetTextColor(dc, m_colours.text);
  if (control == m_stcTitle.Handle() && !m_colours.highContrast) {
    // The title stands on the header artwork.
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
  }
  SetBkColor(dc, m_colours.page);
  return reinterpret_cast<LRESULT>(m_pageBrush.get());
}

LRESULT WizardDialog::OnQueryDragIcon(WPARAM, LPARAM) {
  return reinterpret_cast<LRESULT>(m_hIcon);
}

LRESULT WizardDialog::OnSetCursor(WPARAM wParam, LPARAM lParam) {
  if (m_busy) {
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    return TRUE;
  }
  return DefWindowProcW(m_hWnd, WM_SETCURSOR, wParam, lParam);
}

// Enter presses the focused push button, on every page; anywhere else it does nothing.
LRESULT WizardDialog::OnGetDefId(WPARAM, LPARAM) {
  const HWND focus = GetFocus();
  for (const Button* button : {&m_btnBack, &m_btnNext, &m_btnCancel, &m_btnBrowse}) {
    if (focus == button->Handle())
      return MAKELONG(button->Id(), DC_HASDEFID);
  }
  return MAKELONG(0, DC_HASDEFID);
}

// --- waiting --------------------------------------------------------------------------------

DWORD WizardDialog::WaitBusy(HANDLE object, DWORD milliseconds, const wchar_t* status) {
  // The page's buttons go grey and the cursor shows the wait; both are given back after.
  Control* const buttons[] = {&m_btnBack, &m_btnNext, &m_btnCancel, &m_btnBrowse};
  bool enabled[std::size(buttons)];
  const HWND focus = GetFocus();
  for (std::size_t i = 0; i < std::size(buttons); ++i) {
    enabled[i] = IsWindowEnabled(buttons[i]->Handle()) != FALSE;
    buttons[i]->Enable(false);
  }
  m_busy = true;
  if (status != nullptr) {
    m_stcWaiting.SetText(status);
    m_busyStatus = true;
    ShowWindow(m_stcWaiting.Handle(), SW_SHOWNORMAL);
    UpdateWindow(m_stcWaiting.Handle());
  }
  SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  const DWORD start = GetTickCount();
  DWORD result = WAIT_TIMEOUT;
  for (;;) {
    const DWORD elapsed = GetTickCount() - start;
    if (milliseconds != INFINITE && elapsed >= milliseconds)
      break;
    const DWORD woke = MsgWaitForMultipleObjects(
        1, &object, FALSE, milliseconds == INFINITE ? INFINITE : milliseconds - elapsed,
        QS_INPUT | QS_PAINT | QS_TIMER | QS_SENDMESSAGE);
    if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) {
      result = woke;
      break;
    }
    if (woke == WAIT_TIMEOUT)
      break;
    // Messages other programs send - a screen reader's WM_GETOBJECT, a WM_NULL asking
    // whether the window still answers - are answered at once: looking at the queue for
    // them delivers them. Input is dropped, never queued for afterwards; the window and
    // whatever a closed message box uncovered repaint. Posted messages wait for the
    // dialog's own loop.
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    DropInput();
    while (PeekMessageW(&message, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE))
      DispatchMessageW(&message);
    while (PeekMessageW(&message, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE))
      DispatchMessageW(&message);
  }
  DropInput();
  m_busy = false;
  if (m_busyStatus) {
    m_busyStatus = false;
    ShowWindow(m_stcWaiting.Handle(), SW_HIDE);
  }
  for (std::size_t i = 0; i < std::size(buttons); ++i)
    buttons[i]->Enable(enabled[i]);
  if (focus != nullptr && IsWindowEnabled(focus) && IsWindowVisible(focus))
    SetFocus(focus);
  SetCursor(LoadCursorW(nullptr, IDC_ARROW));
  return result;
}

// --- page flow ------------------------------------------------------------------------------

LRESULT WizardDialog::OnTimer(WPARAM, LPARAM) {
  SetDlgItemTextW(m_hWnd, IDC_STATIC_STATUS, m_statusText);
  m_progress.SetPos(m_percent);
  return 0;
}

LRESULT WizardDialog::OnBack(WPARAM, LPARAM) {
  if (m_busy)
    return 0;  // a command another program sent while the wizard waits
  if (m_page == PAGE_AGREEMENT)
    ShowPage(PAGE_WELCOME);
  else if (m_page == PAGE_TARGET)
    ShowPage(PAGE_AGREEMENT);
  return 0;
}

LRESULT WizardDialog::OnNext(WPARAM, LPARAM) {
  if (m_busy)
    return 0;
  if (m_page == PAGE_WELCOME) {
    // A stop here keeps the welcome page: the user may try again or quit.
    if (!EndRunningClient(*this) && !RemovePreviousInstallation(*this))
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
  m_exit = SetupExit::kInstalled;
  End(IDOK);
}

void WizardDialog::OnCancel() {
  if (m_busy || m_asking || m_ending)
    return;  // sent while the wizard waits, asks or ends
  if (m_page == PAGE_FINISHED) {
    m_exit = SetupExit::kInstalled;
    End(IDOK);
    return;
  }
  const bool installing = m_page == PAGE_INSTALLING;
  if (installing)
    m_worker.Pause();  // parks at the next record boundary
  // The registration has no place to pause: the run may end while the question is open.
  // Its final report then waits for the answer, so that the run has one outcome.
  m_asking = true;
  const bool quit = Ask(Question::kQuit, L"安装还没结束，是否要退出安装");
  m_asking = false;
  const bool held = std::exchange(m_reportHeld, false);
  if (held && m_heldCode != INSTALL_COMPLETE) {
    Conclude(m_heldCode, m_heldPath);  // the run failed: that is its outcome, answered or not
  } else if (quit) {
    if (installing) {
      // A run that completed meanwhile is removed like one that was stopped.
      KillTimer(m_hWnd, IDT_PROGRESS);
      m_worker.RequestStop();
      WaitBusy(m_worker.Thread(), INFINITE);
      RemovePartialInstall();
    }
    m_exit = SetupExit::kCancelled;
    End(IDCANCEL);
  } else if (held) {
    Conclude(INSTALL_COMPLETE, L"");
  } else if (installing) {
    m_worker.Continue();
  }
}

void WizardDialog::End(INT_PTR result) {
  m_ending = true;
  if (m_browser != nullptr)
    PostMessageW(m_browser, WM_CLOSE, 0, 0);  // its loop ends first, then this dialog's
  EndDialog(result);
}

LRESULT WizardDialog::OnInstallProgress(WPARAM wParam, LPARAM lParam) {
  const int code = static_cast<int>(static_cast<INT_PTR>(wParam));
  const auto* block = reinterpret_cast<const wchar_t*>(lParam);
  const std::wstring path = block != nullptr ? block : L"";
  FreePathBlock(lParam);
  // The completion carries no path; a progress of 100 with one is an empty last file.
  const bool final =
      (code < 0 && code != INSTALL_PREPARING) || (code == INSTALL_COMPLETE && block == nullptr);
  if (m_ending)
    return 1;
  if (final && m_asking) {
    m_reportHeld = true;  // the quit question decides first
    m_heldCode = code;
    m_heldPath = path;
  } else if (final) {
    Conclude(code, path);
  } else if (code == INSTALL_PREPARING) {
    lstrcpynW(m_statusText, L"正在准备安装资源，请稍候", 260);
  } else if (code >= 0 && code <= INSTALL_COMPLETE) {
    m_percent = code;
    std::wstring status = L"正在安装： " + path;
    lstrcpynW(m_statusText, status.c_str(), 260);  // cut to fit
  }
  return 1;
}

void WizardDialog::Conclude(int code, const std::wstring& path) {
  KillTimer(m_hWnd, IDT_PROGRESS);
  if (code == INSTALL_COMPLETE) {
    m_percent = 100;
    if (m_page == PAGE_INSTALLING)
      ShowPage(PAGE_FINISHED);
    return;
  }
  Tell(FailureMessage(code, path));
  m_worker.RequestStop();
  WaitBusy(m_worker.Thread(), INFINITE);
  RemovePartialInstall();
  m_exit = ExitForReport(code);
  End(IDCANCEL);
}

LRESULT CALLBACK WizardDialog::BandButtonProc(HWND button,
                                              UINT message,
                                              WPARAM wParam,
                                              LPARAM lParam,
                                              UINT_PTR,
                                              DWORD_PTR self) {
  if (message == WM_LBUTTONDOWN || message == WM_LBUTTONDBLCLK) {
    const auto* dialog = reinterpret_cast<const WizardDialog*>(self);
    if (GetTickCount64() - dialog->m_pageShownAt < GetDoubleClickTime())
      return 0;  // the second click of a double-click made on the page before
  }
  if (message == WM_NCDESTROY)
    RemoveWindowSubclass(button, BandButtonProc, 0);
  return DefSubclassProc(button, message, wParam, lParam);
}

LRESULT CALLBACK WizardDialog::BrowseButtonProc(HWND button,
                                                UINT message,
                                                WPARAM wParam,
                                                LPARAM lParam,
                                                UINT_PTR,
                                                DWORD_PTR) {
  // The button shows "..." (it paints the text it asks itself for); another program asking
  // for its text - a screen reader asking its name - is told what it does.
  static constexpr wchar_t kName[] = L"浏览";
  constexpr int kNameUnits = static_cast<int>(std::size(kName)) - 1;
  const bool fromElsewhere = (message == WM_GETTEXT || message == WM_GETTEXTLENGTH) &&
                             InSendMessageEx(nullptr) != ISMEX_NOSEND;
  if (fromElsewhere && message == WM_GETTEXTLENGTH)
    return kNameUnits;
  if (fromElsewhere) {
    const int room = static_cast<int>(wParam);
    if (room <= 0)
      return 0;
    lstrcpynW(reinterpret_cast<wchar_t*>(lParam), kName, room);
    return std::min(kNameUnits, room - 1);
  }
  if (message == WM_NCDESTROY)
    RemoveWindowSubclass(button, BrowseButtonProc, 0);
  return DefSubclassProc(button, message, wParam, lParam);
}

DWORD WINAPI WizardDialog::RemovalThread(LPVOID self) {
  auto* dialog = static_cast<WizardDialog*>(self);
  RemovePartialInstallation(dialog->m_prepared, dialog->m_worker.Outcome(), *dialog);
  return 0;
}

void WizardDialog::RemovePartialInstall() {
  const UniqueHandle thread(CreateThread(nullptr, 0, RemovalThread, this, 0, nullptr));
  if (!thread.valid()) {
    RemovalThread(this);
    return;
  }
  WaitBusy(thread.get(), INFINITE);
}

bool WizardDialog::Ask(Question, const std::wstring& text) {
  const bool yes = MessageBoxW(m_hWnd, text.c_str(), L"提示", MB_YESNO) == IDYES;
  Log().Line(L"asked: " + text + (yes ? L" - yes" : L" - no"));
  return yes;
}

void WizardDialog::Tell(const std::wstring& text) {
  Log().Line(L"told: " + text);
  MessageBoxW(m_hWnd, text.c_str(), ApplicationName().c_str(), MB_OK);
}

// --- the target page ------------------------------------------------------------------------

LRESULT WizardDialog::OnBrowse(WPARAM, LPARAM) {
  if (m_busy)
    return 0;
  // Owned by the wizard: modal to it, one at a time, and closed before the wizard ends. It
  // opens on the folder the box names, or the nearest one above it that exists.
  m_browseStart = m_editTarget.Text();
  while (!m_browseStart.empty() && (m_browseStart.back() == L' ' || m_browseStart.back() == L'\\'))
    m_browseStart.pop_back();
  for (DWORD a; !m_browseStart.empty() &&
                ((a = GetFileAttributesW(m_browseStart.c_str())) == INVALID_FILE_ATTRIBUTES ||
                 !(a & FILE_ATTRIBUTE_DIRECTORY));) {
    const std::size_t cut = m_browseStart.rfind(L'\\');
    m_browseStart.resize(cut == std::wstring::npos ? 0 : cut);
  }
  BROWSEINFOW browse{};
  browse.hwndOwner = m_hWnd;
  browse.lpszTitle = L"选择安装文件夹";
  browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN | BIF_EDITBOX;
  browse.lpfn = BrowseCallback;
  browse.lParam = reinterpret_cast<LPARAM>(this);
  LPITEMIDLIST chosen = SHBrowseForFolderW(&browse);
  m_browser = nullptr;
  if (chosen == nullptr)
    return 0;
  wchar_t path[MAX_PATH] = {};
  const bool ok = SHGetPathFromIDListW(chosen, path) != FALSE;
  CoTaskMemFree(chosen);
  if (!ok || m_ending)
    return 0;
  std::wstring folder = path;
  if (folder.empty() || folder.back() != L'\\')
    folder += L'\\';
  folder += product::kFolderName;
  m_editTarget.SetText(folder.c_str());
  return 0;
}

int CALLBACK WizardDialog::BrowseCallback(HWND window, UINT message, LPARAM, LPARAM self) {
  auto* dialog = reinterpret_cast<WizardDialog*>(self);
  if (message == BFFM_INITIALIZED) {
    dialog->m_browser = window;
    if (!dialog->m_browseStart.empty()) {
      SendMessageW(window, BFFM_SETSELECTIONW, TRUE,
                   reinterpret_cast<LPARAM>(dialog->m_browseStart.c_str()));
    }
  }
  return 0;
}

DWORD WINAPI WizardDialog::InspectionThread(LPVOID self) {
  auto* dialog = static_cast<WizardDialog*>(self);
  dialog->m_package =
      InspectInstallerPackage(dialog->m_worker.m_resources != nullptr ? dialog->m_worker.m_resources
                                                                      : GetModuleHandleW(nullptr));
  return 0;
}

bool WizardDialog::AcceptTargetFolder() {
  if (!m_packageInspected) {
    // Up to 100 MiB inflated: on a thread of its own, while the window waits busy.
    const UniqueHandle thread(CreateThread(nullptr, 0, InspectionThread, this, 0, nullptr));
    if (thread.valid())
      WaitBusy(thread.get(), INFINITE, L"正在检查安装包…");
    else
      InspectionThread(this);
    m_packageInspected = true;
  }
  PreparedFolder prepared;
  if (PrepareInstallFolder(m_editTarget.Text(), m_package, *this, &prepared))
    return false;
  m_prepared = std::move(prepared);
  lstrcpynW(m_targetDir, m_prepared.folder.c_str(), 260);
  m_worker.m_freshFolder = m_prepared.fresh;
  if (m_package.readable)
    m_worker.m_inspected = m_package.check;
  return true;
}
