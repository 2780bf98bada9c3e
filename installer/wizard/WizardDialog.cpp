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
#include "installer/flow/FolderPreparation.h"
#include "installer/flow/WorkerReport.h"

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

WizardDialog::WizardDialog(const SetupOptions& options, SetupLog& log)
    : options_(options),
      log_(log),
      hIcon_(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_SETUP))),
      colours_(CurrentSkinColours()) {}

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

bool WizardDialog::OnInitDialog() {
  SendMessageW(hWnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(hIcon_));
  SendMessageW(hWnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(hIcon_));
  SetWindowTextW(hWnd_, product::kWizardCaption);
  std::fill(std::begin(worker_.installFolder_), std::end(worker_.installFolder_), L'\0');
  worker_.owner_ = hWnd_;
  worker_.log_ = &log_;
  KeepDpiLayoutToUs(hWnd_);

  const RECT none{0, 0, 0, 0};
  constexpr DWORD kLabel = SS_LEFT | SS_NOPREFIX;
  // Its text is its name for a screen reader; it draws nothing (no WM_DRAWITEM is answered)
  // and lets every click through to the picture below.
  stcWelcome_.Create(hWnd_, IDC_STATIC_WELCOME, none, product::kWelcomeText,
                     SS_OWNERDRAW | SS_NOPREFIX);
  stcTitle_.Create(hWnd_, IDC_STATIC_TITLE, none, L"", kLabel);
  stcAgreementNote_.Create(hWnd_, IDC_STATIC_AGREEMENT_NOTE, none,
                           L"如果你按[接受],则表示你接受用户许可协议条款。单击[取消]终止安装向导。",
                           kLabel);
  stcTargetIntro_.Create(hWnd_, IDC_STATIC_TARGET_INTRO, none, product::kTargetDescription, kLabel);
  stcTargetLabel_.Create(hWnd_, IDC_STATIC_TARGET_LABEL, none, L"软件安装文件夹", kLabel);
  // It scrolls sideways, so that no typed letter is lost at its edge; the folder rules
  // decide how long a folder may be.
  editTarget_.Create(hWnd_, IDC_EDIT_TARGET, none, L"", WS_TABSTOP | ES_AUTOHSCROLL,
                     WS_EX_CLIENTEDGE | WS_EX_NOPARENTNOTIFY);
  btnBrowse_.Create(hWnd_, IDC_BTN_BROWSE, none, L"...", BS_PUSHBUTTON | WS_TABSTOP);
  stcTargetHint_.Create(hWnd_, IDC_STATIC_TARGET_HINT, none, L"建议使用默认安装路径", kLabel);
  stcFreeSpace_.Create(hWnd_, IDC_STATIC_FREESPACE, none, nullptr, kLabel);
  // One line, the path shortened in its middle: it never wraps onto the progress bar.
  stcStatus_.Create(hWnd_, IDC_STATIC_STATUS, none, L"正在安装", kLabel | SS_PATHELLIPSIS);
  progress_.Create(hWnd_, IDC_PROGRESS, none);
  SetWindowTextW(progress_.Handle(), L"安装进度");  // its name for a screen reader
  stcRecommendation_.Create(hWnd_, IDC_STATIC_RECOMMENDATION, none, product::kRecommendation,
                            kLabel);
  chkAutoStart_.Create(hWnd_, IDC_CHK_AUTOSTART, none, L"开机启动", BS_AUTOCHECKBOX | WS_TABSTOP);
  chkRunNow_.Create(hWnd_, IDC_CHK_RUNNOW, none, product::kRunNowChoice,
                    BS_AUTOCHECKBOX | WS_TABSTOP);
  chkShortcuts_.Create(hWnd_, IDC_CHK_SHORTCUTS, none, L"创建快捷方式",
                       BS_AUTOCHECKBOX | WS_TABSTOP);
  stcStartLater_.Create(hWnd_, IDC_STATIC_START_LATER, none, product::kStartFromShortcut, kLabel);
  stcRestart_.Create(hWnd_, IDC_STATIC_RESTART, none, product::kRestartToFinish, kLabel);
  btnBack_.Create(hWnd_, IDC_BTN_BACK, none, L"上一步", BS_PUSHBUTTON | WS_TABSTOP);
  btnNext_.Create(hWnd_, IDC_BTN_NEXT, none, L"下一步", BS_PUSHBUTTON | WS_TABSTOP);
  btnCancel_.Create(hWnd_, IDC_BTN_CANCEL, none, L"取消", BS_PUSHBUTTON | WS_TABSTOP);
  stcWaiting_.Create(hWnd_, IDC_STATIC_WAITING, none, L"", kLabel | SS_ENDELLIPSIS);
  for (const Button* button : {&btnBack_, &btnNext_, &btnCancel_})
    SetWindowSubclass(button->Handle(), BandButtonProc, 0, reinterpret_cast<DWORD_PTR>(this));
  SetWindowSubclass(btnBrowse_.Handle(), BrowseButtonProc, 0, 0);
  controls_ = {&stcWelcome_,        &stcTitle_,       &agreementView_, &stcAgreementNote_,
               &stcTargetIntro_,    &stcTargetLabel_, &editTarget_,    &btnBrowse_,
               &stcTargetHint_,     &stcFreeSpace_,   &stcStatus_,     &progress_,
               &stcRecommendation_, &chkAutoStart_,   &chkRunNow_,     &chkShortcuts_,
               &stcStartLater_,     &stcRestart_,     &btnBack_,       &btnNext_,
               &btnCancel_,         &stcWaiting_};

  ApplyDpi(WindowDpi(hWnd_), false);
  // The window at the screen's centre, as for the welcome picture (a unit larger each way).
  RECT window;
  GetWindowRect(hWnd_, &window);
  const int width = window.right - window.left;
  const int height = window.bottom - window.top;
  SetWindowPos(hWnd_, nullptr, (GetSystemMetrics(SM_CXSCREEN) - (width + scale_(1))) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - (height + scale_(1))) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  // Progress only opens on the installing page, which shows the checks' waits too; the
  // worker starts on it once they passed.
  ShowPage(options_.passive ? PAGE_INSTALLING : PAGE_WELCOME);
  if (options_.passive)
    PostMessageW(hWnd_, WM_PASSIVE_START, 0, 0);
  return false;
}

// --- pages ----------------------------------------------------------------------------------

void WizardDialog::ShowPage(int page) {
  if (page == PAGE_AGREEMENT && agreementView_.Handle() == nullptr)
    MakeAgreement();
  for (Control* c : controls_)
    ShowWindow(c->Handle(), SW_HIDE);
  page_ = page;
  ++pageChanges_;
  if (page == PAGE_FINISHED)
    clientStartable_ = CanStartClientAsUser(Log());
  stcTitle_.SetText(kTitles[page]);
  LayOut();  // shows the page's controls
  switch (page) {
    case PAGE_WELCOME:
      btnNext_.Focus();
      SetDlgItemTextW(hWnd_, IDC_BTN_NEXT, L"下一步");
      break;
    case PAGE_AGREEMENT:
      btnNext_.Focus();
      SetDlgItemTextW(hWnd_, IDC_BTN_NEXT, L"接受");
      break;
    case PAGE_TARGET: {
      btnNext_.Focus();
      SetDlgItemTextW(hWnd_, IDC_BTN_NEXT, L"安装");
      ProposeFolder();
      break;
    }
    case PAGE_INSTALLING:
      btnBack_.Enable(false);
      btnNext_.Enable(false);
      btnCancel_.Focus();  // the focused button is now disabled: Esc must still ask
      // Progress only opens on this page before its checks accepted a folder: the worker
      // waits for one.
      if (folderAccepted_) {
        installation_.Configure(worker_);
        worker_.Resume();
      }
      SetTimer(hWnd_, IDT_PROGRESS, 100, nullptr);
      SetDlgItemTextW(hWnd_, IDC_BTN_NEXT, L"下一步");
      break;
    case PAGE_FINISHED:
      btnCancel_.Focus();
      chkAutoStart_.SetCheck(options_.startup ? BST_CHECKED : BST_UNCHECKED);
      chkRunNow_.SetCheck(options_.noRun || !clientStartable_ ? BST_UNCHECKED : BST_CHECKED);
      chkRunNow_.Enable(clientStartable_);
      chkShortcuts_.SetCheck(options_.noShortcuts ? BST_UNCHECKED : BST_CHECKED);
      SetDlgItemTextW(hWnd_, IDC_BTN_CANCEL, L"完成");
      break;
    default:
      break;
  }
  InvalidateRect(hWnd_, nullptr, TRUE);
  if (page != PAGE_WELCOME) {
    // A screen reader announces the new page by its title.
    NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, stcTitle_.Handle(), OBJID_CLIENT, CHILDID_SELF);
    NotifyWinEvent(EVENT_SYSTEM_ALERT, stcTitle_.Handle(), OBJID_CLIENT, CHILDID_SELF);
  }
}

void WizardDialog::MakeAgreement() {
  agreementView_.Create(hWnd_, IDC_AGREEMENT, RECT{0, 0, 0, 0});
  // In the Tab order where the layout lists it, after the title.
  SetWindowPos(agreementView_.Handle(), stcTitle_.Handle(), 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  agreementView_.FollowDpi(dpi_);
  agreementView_.Load(GetModuleHandleW(nullptr), IDR_AGREEMENT);
}

// Enter presses the focused push button, on every page; anywhere else it does nothing.
LRESULT WizardDialog::OnGetDefId(WPARAM, LPARAM) {
  const HWND focus = GetFocus();
  for (const Button* button : {&btnBack_, &btnNext_, &btnCancel_, &btnBrowse_}) {
    if (focus == button->Handle())
      return MAKELONG(button->Id(), DC_HASDEFID);
  }
  return MAKELONG(0, DC_HASDEFID);
}

void WizardDialog::ProposeFolder() {
  const FolderSuggestion suggestion = SuggestTargetFolder();
  // /D= first, then the earlier installation's folder, then the suggestion.
  std::wstring folder(options_.folder.begin(), options_.folder.end());
  const std::wstring& earlier = installation_.EarlierFolder();
  if (folder.empty())
    folder = earlier.empty() ? suggestion.folder : earlier.substr(0, earlier.size() - 1);
  editTarget_.SetText(folder.c_str());
  stcFreeSpace_.SetText(suggestion.freeSpace.c_str());
}

// --- page flow ------------------------------------------------------------------------------

LRESULT WizardDialog::OnPassiveStart(WPARAM, LPARAM) {
  Stop stop = installation_.Find(!options_.noCloseApplications);
  if (!stop) {
    ProposeFolder();
    stop = AcceptTargetFolder();
  }
  if (stop) {
    exit_ = *stop;
    End(IDCANCEL);
  } else {
    ShowPage(PAGE_INSTALLING);
  }
  return 0;
}

LRESULT WizardDialog::OnTimer(WPARAM, LPARAM) {
  SetDlgItemTextW(hWnd_, IDC_STATIC_STATUS, statusText_.c_str());
  progress_.SetPos(percent_);
  return 0;
}

LRESULT WizardDialog::OnBack(WPARAM, LPARAM) {
  if (busy_)
    return 0;  // a command another program sent while the wizard waits
  if (page_ == PAGE_AGREEMENT)
    ShowPage(PAGE_WELCOME);
  else if (page_ == PAGE_TARGET)
    ShowPage(PAGE_AGREEMENT);
  return 0;
}

LRESULT WizardDialog::OnNext(WPARAM, LPARAM) {
  if (busy_)
    return 0;
  if (page_ == PAGE_WELCOME) {
    // A stop here keeps the welcome page: the user may try again or quit.
    if (!installation_.Find(!options_.noCloseApplications))
      ShowPage(PAGE_AGREEMENT);
  } else if (page_ == PAGE_AGREEMENT) {
    ShowPage(PAGE_TARGET);
  } else if (page_ == PAGE_TARGET) {
    if (!AcceptTargetFolder())
      ShowPage(PAGE_INSTALLING);
  }
  return 0;
}

LRESULT WizardDialog::OnCancelOrFinish(WPARAM, LPARAM) {
  if (page_ >= PAGE_WELCOME && page_ <= PAGE_INSTALLING)
    OnCancel();
  else if (page_ == PAGE_FINISHED)
    OnOK();
  return 0;
}

// The finish page's choices; the exit code is the commit's.
void WizardDialog::OnOK() {
  choices_ = {chkAutoStart_.GetCheck() != 0, chkRunNow_.GetCheck() != 0,
              chkShortcuts_.GetCheck() != 0};
  End(IDOK);
}

void WizardDialog::OnCancel() {
  if (busy_ || asking_ || ending_)
    return;  // sent while the wizard waits, asks or ends
  if (page_ == PAGE_FINISHED) {
    End(IDOK);  // no choice made: the installation stays as committed
    return;
  }
  const bool installing = page_ == PAGE_INSTALLING;
  if (installing)
    worker_.Pause();  // parks at the next record boundary
  // The registration has no place to pause: the run may end while the question is open.
  // Its final report then waits for the answer, so that the run has one outcome.
  asking_ = true;
  const bool quit = Ask(Question::kQuit, L"安装还没结束，是否要退出安装");
  asking_ = false;
  const bool held = std::exchange(reportHeld_, false);
  if (held && heldCode_ != INSTALL_COMPLETE) {
    Conclude(heldCode_, heldPath_);  // the run failed: that is its outcome, answered or not
  } else if (quit) {
    if (installing) {
      // A run that completed meanwhile is removed like one that was stopped.
      KillTimer(hWnd_, IDT_PROGRESS);
      worker_.RequestStop();
      UndoRun();
    }
    exit_ = SetupExit::kCancelled;
    End(IDCANCEL);
  } else if (held) {
    Conclude(INSTALL_COMPLETE, L"");
  } else if (installing) {
    worker_.Continue();
  }
}

void WizardDialog::End(INT_PTR result) {
  ending_ = true;
  if (browser_ != nullptr)
    PostMessageW(browser_, WM_CLOSE, 0, 0);  // its loop ends first, then this dialog's
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
  if (ending_)
    return 1;
  if (final && asking_) {
    reportHeld_ = true;  // the quit question decides first
    heldCode_ = code;
    heldPath_ = path;
  } else if (final) {
    Conclude(code, path);
  } else if (code == INSTALL_PREPARING) {
    statusText_ = L"正在准备安装资源，请稍候";
  } else if (code >= 0 && code <= INSTALL_COMPLETE) {
    percent_ = code;
    statusText_ = L"正在安装： " + path;
    if (statusText_.size() > kStatusUnits)
      statusText_.resize(kStatusUnits);
  }
  return 1;
}

void WizardDialog::Conclude(int code, const std::wstring& path) {
  KillTimer(hWnd_, IDT_PROGRESS);
  if (code == INSTALL_COMPLETE) {
    percent_ = 100;
    if (page_ != PAGE_INSTALLING)
      return;
    // The completion is the run's last report; its thread still hands back what it holds.
    WaitBusy(worker_.Thread(), INFINITE);
    // From the finish page on the installation stays: committed now, whatever comes after.
    exit_ = installation_.Commit(worker_.Outcome());
    if (exit_ != SetupExit::kInstalled && exit_ != SetupExit::kRestartRequired) {
      End(IDCANCEL);  // told, and undone where it could not be committed
      return;
    }
    restartRequired_ = exit_ == SetupExit::kRestartRequired;
    ShowPage(PAGE_FINISHED);
    if (options_.passive) {
      // The finish page's choices as the switches set them; its notice of a restart is
      // told before the window goes.
      if (restartRequired_)
        Tell(product::kRestartToFinish);
      OnOK();
    }
    return;
  }
  Tell(FailureMessage(code, path));
  worker_.RequestStop();
  UndoRun();
  exit_ = ExitForReport(code);
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
                      dialog->pageChanges_};
    const Press before = std::exchange(dialog->lastPress_, press);
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
  const bool asks = !options_.passive || (question == Question::kQuit && !options_.noBoxes);
  const bool yes = asks ? MessageBoxW(hWnd_, text.c_str(), L"提示", buttons) == IDYES
                        : question != Question::kLowSpace;
  Log().Line(L"asked: " + text + (yes ? L" - yes" : L" - no"));
  if (!asks && question == Question::kLowSpace)
    Tell(text.substr(0, text.rfind(L'。') + 1));  // the warning, without its question
  return yes;
}

void WizardDialog::Tell(const std::wstring& text) {
  Log().Line(L"told: " + text);
  if (!options_.passive || !options_.noBoxes)
    MessageBoxW(hWnd_, text.c_str(), ApplicationName().c_str(), MB_OK);
}
