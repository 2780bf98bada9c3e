#include "installer/wizard/WizardDialog.h"

// after windows.h
#include <commctrl.h>
#include <shlobj.h>
#include <windowsx.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "core/product/Product.h"
#include "installer/flow/Finishing.h"

namespace {

// The page titles, by page.
constexpr const wchar_t* kTitles[] = {L"", L"安装协议", L"选择安装路径", L"正在安装", L"安装完成"};

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
    Message(WM_PASSIVE_START, &WizardDialog::OnPassiveStart),
    Message(DM_GETDEFID, &WizardDialog::OnGetDefId),
    kEndOfMap};

const Dialog::MessageEntry* WizardDialog::GetMessageMap() const {
  return kMap;
}

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
  // Its text is its name for a screen reader; it draws nothing (no WM_DRAWITEM is answered)
  // and lets every click through to the picture below.
  m_stcWelcome.Create(m_hWnd, IDC_STATIC_WELCOME, none, product::kWelcomeText,
                      SS_OWNERDRAW | SS_NOPREFIX);
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
  m_stcRestart.Create(m_hWnd, IDC_STATIC_RESTART, none, product::kRestartToFinish, kLabel);
  m_btnBack.Create(m_hWnd, IDC_BTN_BACK, none, L"上一步", BS_PUSHBUTTON | WS_TABSTOP);
  m_btnNext.Create(m_hWnd, IDC_BTN_NEXT, none, L"下一步", BS_PUSHBUTTON | WS_TABSTOP);
  m_btnCancel.Create(m_hWnd, IDC_BTN_CANCEL, none, L"取消", BS_PUSHBUTTON | WS_TABSTOP);
  m_stcWaiting.Create(m_hWnd, IDC_STATIC_WAITING, none, L"", kLabel | SS_ENDELLIPSIS);
  for (const Button* button : {&m_btnBack, &m_btnNext, &m_btnCancel})
    SetWindowSubclass(button->Handle(), BandButtonProc, 0, reinterpret_cast<DWORD_PTR>(this));
  SetWindowSubclass(m_btnBrowse.Handle(), BrowseButtonProc, 0, 0);
  m_controls = {&m_stcWelcome,        &m_stcTitle,       &m_agreementView, &m_stcAgreementNote,
                &m_stcTargetIntro,    &m_stcTargetLabel, &m_editTarget,    &m_btnBrowse,
                &m_stcTargetHint,     &m_stcFreeSpace,   &m_stcStatus,     &m_progress,
                &m_stcRecommendation, &m_chkAutoStart,   &m_chkRunNow,     &m_chkShortcuts,
                &m_stcStartLater,     &m_stcRestart,     &m_btnBack,       &m_btnNext,
                &m_btnCancel,         &m_stcWaiting};

  ApplyDpi(WindowDpi(m_hWnd));
  // The window at the screen's centre, as for the welcome picture (a unit larger each way).
  RECT window;
  GetWindowRect(m_hWnd, &window);
  const int width = window.right - window.left;
  const int height = window.bottom - window.top;
  SetWindowPos(m_hWnd, nullptr, (GetSystemMetrics(SM_CXSCREEN) - (width + m_scale(1))) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - (height + m_scale(1))) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  // Progress only opens on the installing page, which shows the checks' waits too; the
  // worker starts on it once they passed.
  ShowPage(m_options.passive ? PAGE_INSTALLING : PAGE_WELCOME);
  if (m_options.passive)
    PostMessageW(m_hWnd, WM_PASSIVE_START, 0, 0);
  return FALSE;
}

// --- pages ----------------------------------------------------------------------------------

void WizardDialog::ShowPage(int page) {
  for (Control* c : m_controls)
    ShowWindow(c->Handle(), SW_HIDE);
  m_page = page;
  ++m_pageChanges;
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
      ProposeFolder();
      break;
    }
    case PAGE_INSTALLING:
      m_btnBack.Enable(false);
      m_btnNext.Enable(false);
      m_btnCancel.Focus();  // the focused button is now disabled: Esc must still ask
      // Progress only opens on this page before its checks accepted a folder: the worker
      // waits for one.
      if (m_targetDir[0] != L'\0') {
        m_installation.Configure(m_worker);
        m_worker.Resume();
      }
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

// Enter presses the focused push button, on every page; anywhere else it does nothing.
LRESULT WizardDialog::OnGetDefId(WPARAM, LPARAM) {
  const HWND focus = GetFocus();
  for (const Button* button : {&m_btnBack, &m_btnNext, &m_btnCancel, &m_btnBrowse}) {
    if (focus == button->Handle())
      return MAKELONG(button->Id(), DC_HASDEFID);
  }
  return MAKELONG(0, DC_HASDEFID);
}

void WizardDialog::ProposeFolder() {
  const FolderSuggestion suggestion = SuggestTargetFolder();
  // /D= first, then the earlier installation's folder, then the suggestion.
  std::wstring folder(m_options.folder.begin(), m_options.folder.end());
  const std::wstring& earlier = m_installation.EarlierFolder();
  if (folder.empty())
    folder = earlier.empty() ? suggestion.folder : earlier.substr(0, earlier.size() - 1);
  m_editTarget.SetText(folder.c_str());
  m_stcFreeSpace.SetText(suggestion.freeSpace.c_str());
}

// --- page flow ------------------------------------------------------------------------------

LRESULT WizardDialog::OnPassiveStart(WPARAM, LPARAM) {
  Stop stop = m_installation.Find(!m_options.noCloseApplications);
  if (!stop) {
    ProposeFolder();
    stop = AcceptTargetFolder();
  }
  if (stop) {
    m_exit = *stop;
    End(IDCANCEL);
  } else {
    ShowPage(PAGE_INSTALLING);
  }
  return 0;
}

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
    if (!m_installation.Find(!m_options.noCloseApplications))
      ShowPage(PAGE_AGREEMENT);
  } else if (m_page == PAGE_AGREEMENT) {
    ShowPage(PAGE_TARGET);
  } else if (m_page == PAGE_TARGET) {
    if (!AcceptTargetFolder())
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

// The finish page's choices; the exit code is the commit's.
void WizardDialog::OnOK() {
  m_autoStart = m_chkAutoStart.GetCheck();
  m_runNow = m_chkRunNow.GetCheck();
  m_createShortcuts = m_chkShortcuts.GetCheck();
  End(IDOK);
}

void WizardDialog::OnCancel() {
  if (m_busy || m_asking || m_ending)
    return;  // sent while the wizard waits, asks or ends
  if (m_page == PAGE_FINISHED) {
    End(IDOK);  // no choice made: the installation stays as committed
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
      UndoRun();
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
    if (m_page != PAGE_INSTALLING)
      return;
    // The completion is the run's last report; its thread still hands back what it holds.
    WaitBusy(m_worker.Thread(), INFINITE);
    // From the finish page on the installation stays: committed now, whatever comes after.
    m_exit = m_installation.Commit(m_worker.Outcome());
    if (m_exit != SetupExit::kInstalled && m_exit != SetupExit::kRestartRequired) {
      End(IDCANCEL);  // told, and undone where it could not be committed
      return;
    }
    m_restartRequired = m_exit == SetupExit::kRestartRequired;
    ShowPage(PAGE_FINISHED);
    if (m_options.passive) {
      // The finish page's choices as the switches set them; its notice of a restart is
      // told before the window goes.
      if (m_restartRequired)
        Tell(product::kRestartToFinish);
      OnOK();
    }
    return;
  }
  Tell(FailureMessage(code, path));
  m_worker.RequestStop();
  UndoRun();
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
    auto* dialog = reinterpret_cast<WizardDialog*>(self);
    const Press press{true, static_cast<DWORD>(GetMessageTime()),
                      POINT{GET_X_LPARAM(GetMessagePos()), GET_Y_LPARAM(GetMessagePos())},
                      dialog->m_pageChanges};
    const Press before = std::exchange(dialog->m_lastPress, press);
    if (before.made && before.page != press.page &&
        press.time - before.time <= GetDoubleClickTime() &&
        std::abs(press.at.x - before.at.x) <= GetSystemMetrics(SM_CXDOUBLECLK) / 2 &&
        std::abs(press.at.y - before.at.y) <= GetSystemMetrics(SM_CYDOUBLECLK) / 2) {
      return 0;  // the second press of a double-click made on the page before
    }
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

bool WizardDialog::Ask(Question question, const std::wstring& text) {
  // Progress only asks one question, whether to quit after a cancel, and with
  // /SUPPRESSMSGBOXES not that either; the others take the answers /S gives. Too little
  // space then ends the run: that is told, as the failure it is.
  // A newer version is kept unless Yes is chosen on purpose: No is the default button.
  const UINT buttons = MB_YESNO | (question == Question::kDowngrade ? MB_DEFBUTTON2 : 0);
  const bool asks = !m_options.passive || (question == Question::kQuit && !m_options.noBoxes);
  const bool yes = asks ? MessageBoxW(m_hWnd, text.c_str(), L"提示", buttons) == IDYES
                        : question != Question::kLowSpace;
  Log().Line(L"asked: " + text + (yes ? L" - yes" : L" - no"));
  if (!asks && question == Question::kLowSpace)
    Tell(text.substr(0, text.rfind(L'。') + 1));  // the warning, without its question
  return yes;
}

void WizardDialog::Tell(const std::wstring& text) {
  Log().Line(L"told: " + text);
  if (!m_options.passive || !m_options.noBoxes)
    MessageBoxW(m_hWnd, text.c_str(), ApplicationName().c_str(), MB_OK);
}
