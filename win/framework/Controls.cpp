#include "win/framework/Controls.h"

#include <commctrl.h>

bool Control::Create(const wchar_t* windowClass,
                     HWND parent,
                     int id,
                     const RECT& rect,
                     DWORD style,
                     const wchar_t* text,
                     DWORD extendedStyle) {
  hWnd_ = CreateWindowExW(
      extendedStyle, windowClass, text, style, rect.left, rect.top, rect.right - rect.left,
      rect.bottom - rect.top, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
      reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(parent, GWLP_HINSTANCE)), nullptr);
  return hWnd_ != nullptr;
}

std::wstring Control::Text() const {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hWnd_)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(hWnd_, text.data(), static_cast<int>(text.size()))));
  return text;
}
