// Control wrappers of the framework: child windows the owner creates itself at a pixel
// rectangle with an id, style and text. The wrapper does not own the window: the parent
// destroys its children.
#pragma once

#include <windows.h>
// after windows.h
#include <commctrl.h>

#include <string>

class Control {
 public:
  // Creates the control; false when the window could not be made.
  bool Create(const wchar_t* windowClass,
              HWND parent,
              int id,
              const RECT& rect,
              DWORD style,
              const wchar_t* text = L"",
              DWORD extendedStyle = 0);
  HWND Handle() const { return hWnd_; }
  int Id() const { return GetDlgCtrlID(hWnd_); }
  bool Visible() const { return IsWindowVisible(hWnd_) != FALSE; }
  void Enable(bool enabled) const { EnableWindow(hWnd_, enabled ? TRUE : FALSE); }
  void SetText(const wchar_t* text) const { SetWindowTextW(hWnd_, text); }
  std::wstring Text() const;
  void SetFont(HFONT font) const {
    SendMessageW(hWnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  }
  void Focus() const { SetFocus(hWnd_); }

 protected:
  HWND hWnd_ = nullptr;
};

class Button : public Control {
 public:
  // BS_PUSHBUTTON by default; BS_AUTOCHECKBOX for a check box.
  bool Create(HWND parent,
              int id,
              const RECT& rect,
              const wchar_t* text,
              DWORD style = BS_PUSHBUTTON) {
    return Control::Create(L"BUTTON", parent, id, rect, WS_CHILD | style, text);
  }
  int GetCheck() const { return static_cast<int>(SendMessageW(hWnd_, BM_GETCHECK, 0, 0)); }
  void SetCheck(int state) const {
    SendMessageW(hWnd_, BM_SETCHECK, static_cast<WPARAM>(state), 0);
  }
};

class Static : public Control {
 public:
  bool Create(HWND parent, int id, const RECT& rect, const wchar_t* text, DWORD style = SS_LEFT) {
    return Control::Create(L"STATIC", parent, id, rect, WS_CHILD | style, text);
  }
};

class Edit : public Control {
 public:
  bool Create(HWND parent,
              int id,
              const RECT& rect,
              const wchar_t* text,
              DWORD style = ES_AUTOHSCROLL,
              DWORD extendedStyle = WS_EX_CLIENTEDGE) {
    return Control::Create(L"EDIT", parent, id, rect, WS_CHILD | style, text, extendedStyle);
  }
};

class ProgressBar : public Control {
 public:
  bool Create(HWND parent, int id, const RECT& rect, DWORD style = 0) {
    return Control::Create(L"msctls_progress32", parent, id, rect, WS_CHILD | style);
  }
  void SetPos(int percent) const {
    SendMessageW(hWnd_, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
  }
};
