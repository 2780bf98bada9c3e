// The installer's one window: a skinned five-page wizard on an empty dialog template. It
// creates its controls itself, lays them out from a design in 96-DPI units at the window's
// DPI (and again when the window moves to a monitor of another DPI), switches pages by
// showing control sets (ShowPage), runs the pre-install checks, starts the install worker
// and shows its reports, and removes a partial installation when the user quits or the
// worker fails. Start-up reads the results after DoModal.
//
// Every text is a control, so that a screen reader reads it and a test can measure it;
// Tab moves through the page's controls in their visual order, Enter presses the focused
// button, and input that arrives while the wizard waits for another program is dropped.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "core/setup/SetupOptions.h"
#include "installer/flow/Installation.h"
#include "installer/flow/Interaction.h"
#include "installer/wizard/AgreementView.h"
#include "installer/wizard/Skin.h"
#include "win/framework/Controls.h"
#include "win/framework/Dialog.h"
#include "win/framework/Gdi.h"
#include "win/install/InstallWorker.h"
#include "win/install/SetupLog.h"

enum WizardPage {
  PAGE_WELCOME = 0,
  PAGE_AGREEMENT = 1,
  PAGE_TARGET = 2,
  PAGE_INSTALLING = 3,
  PAGE_FINISHED = 4,
};

// Resources.
inline constexpr int IDD_WIZARD = 102;
inline constexpr int IDI_SETUP = 128;
inline constexpr int IDR_AGREEMENT = 138;

// Controls.
inline constexpr int IDC_BTN_BACK = 20001;
inline constexpr int IDC_BTN_NEXT = 20002;
inline constexpr int IDC_BTN_CANCEL = 20003;
inline constexpr int IDC_BTN_BROWSE = 20004;
inline constexpr int IDC_CHK_AUTOSTART = 20005;
inline constexpr int IDC_CHK_RUNNOW = 20006;
inline constexpr int IDC_CHK_SHORTCUTS = 20007;
inline constexpr int IDC_AGREEMENT = 20101;
inline constexpr int IDC_EDIT_TARGET = 20102;
inline constexpr int IDC_STATIC_STATUS = 20201;
inline constexpr int IDC_STATIC_FREESPACE = 20202;
inline constexpr int IDC_PROGRESS = 20301;
// The page texts.
inline constexpr int IDC_STATIC_TITLE = 20401;
inline constexpr int IDC_STATIC_AGREEMENT_NOTE = 20402;
inline constexpr int IDC_STATIC_TARGET_INTRO = 20403;
inline constexpr int IDC_STATIC_TARGET_LABEL = 20404;
inline constexpr int IDC_STATIC_TARGET_HINT = 20405;
inline constexpr int IDC_STATIC_RECOMMENDATION = 20406;
// The finish page's line when the client cannot be started now (see clientStartable_).
inline constexpr int IDC_STATIC_START_LATER = 20407;
// One line in the band, shown while the wizard waits for another program: what it waits for.
inline constexpr int IDC_STATIC_WAITING = 20408;
// The finish page's line when files of the earlier installation go at the next restart.
inline constexpr int IDC_STATIC_RESTART = 20409;
// The welcome picture's text alternative: a label over the picture that paints nothing.
inline constexpr int IDC_STATIC_WELCOME = 20410;
inline constexpr UINT_PTR IDT_PROGRESS = 100;
// The installing page's status while a cancelled or failed run is removed again.
inline constexpr wchar_t kUndoingStatus[] = L"正在撤销安装…";
// Posted to itself by a progress-only wizard (/PASSIVE) once it shows.
inline constexpr UINT WM_PASSIVE_START = WM_APP + 1;

class WizardDialog : public Dialog, private Interaction {
 public:
  // `options` are the command line's: /D= is the folder the target page suggests, /NORUN,
  // /NOSHORTCUTS and /STARTUP set the finish page's boxes as it shows them, /PASSIVE shows
  // progress only. Questions, answers and messages go to `log`, which outlives the wizard.
  WizardDialog(const SetupOptions& options, SetupLog& log);
  ~WizardDialog() override;

  // After DoModal: how the wizard ended - installed, cancelled, or the worker's failure.
  SetupExit Exit() const { return exit_; }
  // After DoModal returned IDOK (the installation was committed as the finish page showed):
  // what the finish page chose, carried out.
  void Finish() { installation_.Finish(choices_); }

 protected:
  const MessageEntry* GetMessageMap() const override;
  bool OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;

 private:
  // Switches to `page`: hides every control, shows the page's set, captions and focus,
  // performs the page's entry actions, and repaints the whole window.
  void ShowPage(int page);
  // Makes the agreement's control and fills it, when its page first shows: the rich-edit
  // library and the formatted text would otherwise hold back the first window.
  void MakeAgreement();

  LRESULT OnPaint(WPARAM, LPARAM);
  LRESULT OnQueryDragIcon(WPARAM, LPARAM);
  LRESULT OnTimer(WPARAM, LPARAM);
  LRESULT OnCtlColor(WPARAM, LPARAM);
  LRESULT OnSetCursor(WPARAM, LPARAM);
  LRESULT OnDpiChanged(WPARAM, LPARAM);
  LRESULT OnSettingChange(WPARAM, LPARAM);
  LRESULT OnBack(WPARAM, LPARAM);
  LRESULT OnNext(WPARAM, LPARAM);
  LRESULT OnCancelOrFinish(WPARAM, LPARAM);
  LRESULT OnBrowse(WPARAM, LPARAM);
  LRESULT OnInstallProgress(WPARAM, LPARAM);
  LRESULT OnGetDefId(WPARAM, LPARAM);
  // Progress only: the first pages' steps, answered as /S answers them, then the installing
  // page.
  LRESULT OnPassiveStart(WPARAM, LPARAM);
  // Notes the folder browser's window, so that the wizard can close it, and opens it on
  // browseStart_.
  static int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM, LPARAM self);

  // The folder the folder page proposes: /D=, else the earlier installation's, else the
  // suggestion; and the free space of every drive.
  void ProposeFolder();
  // Takes the folder page's folder, closes the client and sets the earlier installation
  // aside; why not, if not (the folder let go again).
  Stop AcceptTargetFolder();
  // Undoes the stopped or failed run, once its thread has ended.
  void UndoRun();
  // Interaction: message boxes owned by the wizard, waits that keep it painted.
  bool Ask(Question question, const std::wstring& text) override;
  void Tell(const std::wstring& text) override;
  DWORD Wait(HANDLE object, DWORD milliseconds, const wchar_t* status) override {
    return WaitBusy(object, milliseconds, status);
  }
  // The worker's final report `code` (with the path it names): the finish page, or the
  // failure told, the installation removed and the dialog ended.
  void Conclude(int code, const std::wstring& path);
  // The band's buttons take no second press of a double-click - within the system's
  // double-click time and distance of the press before - when the page changed between the
  // two: it belongs to the page it was made on. Any other press counts.
  static LRESULT CALLBACK BandButtonProc(HWND button,
                                         UINT message,
                                         WPARAM wParam,
                                         LPARAM lParam,
                                         UINT_PTR id,
                                         DWORD_PTR self);
  // The browse button's name for other programs (a screen reader): it shows only "...".
  static LRESULT CALLBACK BrowseButtonProc(HWND button,
                                           UINT message,
                                           WPARAM wParam,
                                           LPARAM lParam,
                                           UINT_PTR id,
                                           DWORD_PTR self);
  SetupLog& Log() override { return log_; }
  // Ends the dialog with `result`, closing the folder browser first if it is open.
  void End(INT_PTR result);

  // Applies `dpi`: fonts, artwork, the window's size, and with `layOut` every control's
  // place and size (ShowPage lays the first page out itself).
  void ApplyDpi(UINT dpi, bool layOut = true);
  void LayOut();
  // Waits for `object` up to `milliseconds` while the window stays painted and answers the
  // messages other programs send it (a screen reader's among them): the buttons are
  // disabled, the cursor shows the wait, `status` (when given) says in the band what it
  // waits for, and keyboard and mouse input is dropped.
  DWORD WaitBusy(HANDLE object, DWORD milliseconds, const wchar_t* status = nullptr);

  const SetupOptions options_;
  SetupLog& log_;
  HICON hIcon_;
  Button btnBack_;
  Button btnNext_;
  Button btnCancel_;
  Button btnBrowse_;
  Button chkAutoStart_;
  Button chkRunNow_;
  Button chkShortcuts_;
  Static stcStatus_;
  Static stcFreeSpace_;
  Static stcTitle_;
  Static stcAgreementNote_;
  Static stcTargetIntro_;
  Static stcTargetLabel_;
  Static stcTargetHint_;
  Static stcRecommendation_;
  Static stcStartLater_;
  Static stcRestart_;
  Static stcWaiting_;
  Static stcWelcome_;
  AgreementView agreementView_;
  Edit editTarget_;
  std::vector<Control*> controls_;  // in creation order, which is the Tab order
  ProgressBar progress_;
  InstallWorker worker_;
  int page_ = PAGE_WELCOME;
  int percent_ = 0;
  // The installing page's status line: at most 259 UTF-16 code units, the rest cut off.
  static constexpr std::size_t kStatusUnits = 259;
  std::wstring statusText_;
  Font titleFont_;
  // Whether the client can be started as the signed-in user, checked as the finish page
  // shows: when it cannot, "马上运行Korvel" is unticked and disabled and the page says
  // that the shortcut starts it.
  bool clientStartable_ = true;
  // The target page's folder was accepted, made and held: the worker may start.
  bool folderAccepted_ = false;
  // The installation's steps: checked on leaving the welcome page and on 安装, the earlier
  // installation set aside as the installing page opens, committed as the finish page shows
  // (or undone), finished by start-up with the finish page's choices.
  Installation installation_{static_cast<Interaction&>(*this)};
  // The commit left files of the earlier installation in use to the next restart: the
  // finish page says so.
  bool restartRequired_ = false;
  // How the wizard ended: installed, cancelled, or the worker's failure.
  SetupExit exit_ = SetupExit::kCancelled;
  FinishChoices choices_;  // the finish page's, as 完成 left them

  UINT dpi_ = 96;
  Scale scale_;
  Font bodyFont_;
  Artwork artwork_;
  SkinColours colours_;
  Brush bandBrush_;
  Brush pageBrush_;
  bool busy_ = false;
  bool busyStatus_ = false;   // the band says what a wait waits for
  HWND browser_ = nullptr;    // the open folder browser
  std::wstring browseStart_;  // the folder it opens on
  bool ending_ = false;
  unsigned pageChanges_ = 0;  // how often ShowPage changed the page
  // The last mouse press on a band button: its time, place and the page change it was on.
  struct Press {
    bool made = false;
    DWORD time = 0;
    POINT at{};
    unsigned page = 0;
  } lastPress_;
  // While the quit question is open, the worker's final report waits for its answer.
  bool asking_ = false;
  bool reportHeld_ = false;
  int heldCode_ = 0;
  std::wstring heldPath_;

  static const MessageEntry kMap[];
};
