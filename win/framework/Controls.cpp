#include "win/framework/Controls.h"

#include <commctrl.h>

bool Control::Create(const wchar_t* windowClass,
                     HWND parent,
                     int id,
                     const RECT& rect,
                     DWORD style,
                     const wchar_t* text,
                     DWORD extendedStyle) {
  m_hWnd = CreateWindowExW(
      extendedStyle, windowClass, text, style, rect.left, rect.top, rect.right - rect.left,
      rect.bottom - rect.top, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
      reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(parent, GWLP_HINSTANCE)), nullptr);
  return m_hWnd != nullptr;
}

std::wstring Control::Text() const {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(m_hWnd)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(m_hWnd, text.data(), static_cast<int>(text.size()))));
  return text;
}
