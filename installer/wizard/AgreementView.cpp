#include "installer/wizard/AgreementView.h"

// after windows.h
#include <richedit.h>

#include <string>

#include "installer/wizard/AgreementText.h"

namespace {

constexpr LONG kTextTwips = 180;  // 9 points: 12 px at 96 DPI

}  // namespace

bool AgreementView::Create(HWND parent, int id, const RECT& rect) {
  // The rich-edit control comes from the system folder, never from beside the installer.
  static const HMODULE richEdit =
      LoadLibraryExW(L"msftedit.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (richEdit == nullptr)
    return false;
  return Control::Create(
      MSFTEDIT_CLASS, parent, id, rect,
      WS_CHILD | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, L"");
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

  SendMessageW(hWnd_, EM_SETTARGETDEVICE, 0, 0);  // wrap at the window's width
  SendMessageW(hWnd_, EM_SETBKGNDCOLOR, 0, RGB(255, 255, 255));
  for (const TextRun& run : ParseAgreementHtml(html)) {
    CHARFORMAT2W format{};
    format.cbSize = sizeof format;
    format.dwMask = CFM_BOLD | CFM_SIZE | CFM_COLOR | CFM_FACE;
    format.dwEffects = run.bold ? CFE_BOLD : 0;
    format.yHeight = kTextTwips;
    format.crTextColor = RGB(0, 0, 0);
    lstrcpynW(format.szFaceName, L"宋体", LF_FACESIZE);
    SendMessageW(hWnd_, EM_SETSEL, static_cast<WPARAM>(-1), -1);
    SendMessageW(hWnd_, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    std::wstring text(run.text.begin(), run.text.end());
    SendMessageW(hWnd_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  }
  SendMessageW(hWnd_, EM_SETSEL, 0, 0);
}

void AgreementView::FollowDpi(UINT dpi) {
  // The control keeps the DPI it was made at: 9 points at `dpi` are that many twips at it.
  // The text is sized anew, not zoomed, so that it wraps anew at the box's new width.
  if (hWnd_ == nullptr)
    return;
  if (firstDpi_ == 0)
    firstDpi_ = dpi;
  CHARFORMAT2W format{};
  format.cbSize = sizeof format;
  format.dwMask = CFM_SIZE;
  format.yHeight = MulDiv(kTextTwips, static_cast<int>(dpi), static_cast<int>(firstDpi_));
  SendMessageW(hWnd_, EM_SETCHARFORMAT, SCF_ALL, reinterpret_cast<LPARAM>(&format));
}
