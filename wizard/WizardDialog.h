// The installer's one window: a skinned five-page wizard on an empty dialog template. It
// creates its twelve controls itself at fixed pixel rectangles, switches pages by showing
// control sets (ShowPage), paints its own skin, runs the pre-install checks, starts the
// install worker and shows its reports, and removes a partial installation when the user
// quits or the worker fails. Start-up reads the results after DoModal.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "framework/Controls.h"
#include "framework/Dialog.h"
#include "framework/Gdi.h"
#include "install/InstallWorker.h"
#include "install/UniqueHandle.h"

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
inline constexpr int IDB_HEADER = 130;
inline constexpr int IDB_WELCOME = 131;
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
inline constexpr UINT_PTR IDT_PROGRESS = 100;

// The agreement: resource 138 (HTML in GBK) shown as formatted text in a read-only rich-edit
// control loaded from the system folder.
class AgreementView : public Control {
 public:
  bool Create(HWND parent, int id, const RECT& rect);
  // Loads and shows the agreement page `resource` of `module`.
  void Load(HMODULE module, int resource) const;
};

class WizardDialog : public Dialog {
 public:
  WizardDialog();
  ~WizardDialog() override;

  // Switches to `page`: hides every control, shows the page's set, captions and focus,
  // performs the page's entry actions, and repaints the whole window.
  void ShowPage(int page);

  HICON m_hIcon;
  Button m_btnBack;
  Button m_btnNext;
  Button m_btnCancel;
  Button m_btnBrowse;
  Button m_chkAutoStart;
  Button m_chkRunNow;
  Button m_chkShortcuts;
  Static m_stcStatus;
  Static m_stcFreeSpace;
  AgreementView m_agreementView;
  Edit m_editTarget;
  std::vector<Control*> m_controls;
  ProgressBar m_progress;
  InstallWorker m_worker;
  int m_page = PAGE_WELCOME;
  int m_percent = 0;
  wchar_t m_statusText[260] = {};
  Font m_titleFont;
  int m_autoStart = 0;
  int m_runNow = 0;
  int m_createShortcuts = 0;
  wchar_t m_targetDir[260] = {};

 protected:
  const MessageEntry* GetMessageMap() const override;
  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;

 private:
  LRESULT OnPaint(WPARAM, LPARAM);
  LRESULT OnQueryDragIcon(WPARAM, LPARAM);
  LRESULT OnTimer(WPARAM, LPARAM);
  LRESULT OnCtlColor(WPARAM, LPARAM);
  LRESULT OnBack(WPARAM, LPARAM);
  LRESULT OnNext(WPARAM, LPARAM);
  LRESULT OnCancelOrFinish(WPARAM, LPARAM);
  LRESULT OnBrowse(WPARAM, LPARAM);
  LRESULT OnInstallProgress(WPARAM, LPARAM);
  LRESULT OnGetDefId(WPARAM, LPARAM);

  // Pre-install checks; each returns true to go on.
  bool CheckRunningClient();
  bool CheckPreviousInstall();
  void SuggestTargetFolder();
  bool AcceptTargetFolder();
  void RemovePartialInstall();
  // The payload package's longest relative path, read once from the resource (0 when it
  // cannot be read).
  std::size_t LongestPackagePath();
  void DrawLabel(const wchar_t* text, HDC dc, int x, int y, bool dialogFont) const;
  int Ask(const wchar_t* text) const;         // Yes/No, caption "提示"
  void Tell(const std::wstring& text) const;  // OK, caption: the application name

  Brush m_bandBrush;
  Brush m_whiteBrush;
  std::vector<std::wstring> m_createdFolders;  // by AcceptTargetFolder, outermost first
  UniqueHandle m_targetPin;  // the accepted folder, held until the installation ends
  bool m_packageInspected = false;
  std::size_t m_longestPackagePath = 0;

  static const MessageEntry kMap[];
};

// The application name: the program's file name without its extension.
std::wstring ApplicationName();
