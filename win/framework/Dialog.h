// The dialog class of the framework: a modal dialog whose messages are dispatched through
// a static message map - a table of small handlers, one per message, or per command id and
// notification code - in the scratch-program shape: the static dialog procedure stores
// `this` at WM_INITDIALOG and forwards every later message to the map.
//
//   class MyDialog : public Dialog {
//     LRESULT OnGo(WPARAM, LPARAM);
//     static inline const MessageEntry kMap[] = {
//         Command(BN_CLICKED, 100, &MyDialog::OnGo),
//         Message(WM_TIMER, &MyDialog::OnTimer),
//         kEndOfMap};
//     const MessageEntry* GetMessageMap() const override { return kMap; }
//   };
//
// A map's entries are looked at in order; the first that matches handles the message and
// its result is the dialog procedure's answer (DWLP_MSGRESULT). IDOK and IDCANCEL reach
// OnOK and OnCancel when no entry of the map takes them.
#pragma once

#include <windows.h>

#include <vector>

class Dialog {
 public:
  using Handler = LRESULT (Dialog::*)(WPARAM, LPARAM);
  struct MessageEntry {
    UINT message;  // 0 ends the map
    UINT code;     // for WM_COMMAND: the notification code
    UINT id;       // for WM_COMMAND: the control id
    Handler handler;
  };
  static constexpr MessageEntry kEndOfMap = {0, 0, 0, nullptr};

  template <class D>
  static MessageEntry Message(UINT message, LRESULT (D::*handler)(WPARAM, LPARAM)) {
    return {message, 0, 0, static_cast<Handler>(handler)};
  }
  template <class D>
  static MessageEntry Command(UINT code, UINT id, LRESULT (D::*handler)(WPARAM, LPARAM)) {
    return {WM_COMMAND, code, id, static_cast<Handler>(handler)};
  }

  Dialog() = default;
  virtual ~Dialog() = default;
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Runs the dialog modally from template `templateId` of `instance`; the value given to
  // EndDialog, or -1 when the window could not be made.
  INT_PTR DoModal(HINSTANCE instance, int templateId, HWND owner = nullptr);
  // The same from a template in memory.
  INT_PTR DoModal(HINSTANCE instance, const DLGTEMPLATE* dialogTemplate, HWND owner = nullptr);

  HWND Handle() const { return hWnd_; }
  void EndDialog(INT_PTR result) { ::EndDialog(hWnd_, result); }

 protected:
  virtual const MessageEntry* GetMessageMap() const { return nullptr; }
  // Called once the window exists; the result is WM_INITDIALOG's (true: focus the first
  // control).
  virtual bool OnInitDialog() { return true; }
  virtual void OnOK() { EndDialog(IDOK); }
  virtual void OnCancel() { EndDialog(IDCANCEL); }

  HWND hWnd_ = nullptr;

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // True when the map or the base behaviour handled the message; `*result` is its answer.
  bool Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
};

// An empty dialog template in memory: a popup of `width` x `height` dialog units with a
// caption, system menu and minimize box, font "MS Shell Dlg" 9, no controls. The dialog
// makes its controls itself.
std::vector<WORD> EmptyDialogTemplate(short width, short height, const wchar_t* caption);
