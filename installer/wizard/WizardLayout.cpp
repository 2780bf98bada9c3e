// The wizard's look: its layout at the window's DPI (every control placed from the 96-DPI
// design, texts measured in their fonts), the fonts and brushes, and the painting.
#include "installer/wizard/WizardDialog.h"

#include <algorithm>

#include "win/base/Owners.h"

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

// Where each control stands in the 96-DPI design (left, top, width, height; a text's size
// is measured) and on which pages it shows. The order is the creation order, which is the
// Tab order: each page's controls in their visual order, the band's buttons last.
struct WizardPlacement {
  Control* control;
  int left, top, width, height;
  unsigned pages;
  Fit fit;
};

}  // namespace

void WizardDialog::ApplyDpi(UINT dpi, bool layOut) {
  dpi_ = dpi;
  scale_ = Scale(dpi);
  // The body font is the template's (MS Shell Dlg, 9 points) at this DPI; the title font
  // is 宋体, bold, 16 pixels at 96 DPI.
  LOGFONTW body{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(hWnd_, WM_GETFONT, 0, 0)), sizeof body, &body);
  body.lfHeight = -MulDiv(9, static_cast<int>(dpi), 72);
  bodyFont_.reset(CreateFontIndirectW(&body));
  LOGFONTW title = body;
  title.lfHeight = scale_(16);
  title.lfWeight = FW_BOLD;
  lstrcpynW(title.lfFaceName, L"宋体", LF_FACESIZE);
  titleFont_.reset(CreateFontIndirectW(&title));
  for (Control* c : controls_) {
    if (c != &agreementView_ && c != &progress_)
      c->SetFont(c == &stcTitle_ ? titleFont_.get() : bodyFont_.get());
  }
  agreementView_.FollowDpi(dpi);
  if (artwork_.percent != ArtworkPercent(dpi))
    artwork_ = LoadArtwork(GetModuleHandleW(nullptr), dpi);
  bandBrush_.reset(CreateSolidBrush(colours_.band));
  pageBrush_.reset(CreateSolidBrush(colours_.page));

  // A client area of 576 x 418 units.
  RECT window, client;
  GetWindowRect(hWnd_, &window);
  GetClientRect(hWnd_, &client);
  const int frameWidth = (window.right - window.left) - client.right;
  const int frameHeight = (window.bottom - window.top) - client.bottom;
  SetWindowPos(hWnd_, nullptr, 0, 0, frameWidth + scale_(kDesignWidth),
               frameHeight + scale_(kDesignHeight), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  if (layOut)
    LayOut();
}

void WizardDialog::LayOut() {
  const int titleLeft = page_ == PAGE_TARGET ? 29 : 35;
  const unsigned agreement = Pages({PAGE_AGREEMENT});
  const unsigned target = Pages({PAGE_TARGET});
  const unsigned installing = Pages({PAGE_INSTALLING});
  const unsigned finished = Pages({PAGE_FINISHED});
  const WizardPlacement placements[] = {
      {&stcWelcome_, 0, 0, kDesignWidth, 376, Pages({PAGE_WELCOME}), Fit::kDesign},
      {&stcTitle_, titleLeft, 35, 0, 0, kAllPages & ~Pages({PAGE_WELCOME}), Fit::kText},
      {&agreementView_, 25, 99, 525, 219, agreement, Fit::kDesign},
      {&stcAgreementNote_, 25, 328, 0, 0, agreement, Fit::kText},
      {&stcTargetIntro_, 39, 119, 0, 0, target, Fit::kText},
      {&stcTargetLabel_, 39, 139, 0, 0, target, Fit::kText},
      {&editTarget_, 39, 172, 349, 24, target, Fit::kDesign},
      {&btnBrowse_, 400, 172, 30, 25, target, Fit::kDesign},
      {&stcTargetHint_, 39, 300, 0, 0, target, Fit::kText},
      {&stcFreeSpace_, 39, 320, 399, 29, target, Fit::kDesign},
      {&stcStatus_, 35, 120, 399, 29, installing, Fit::kDesign},
      {&progress_, 35, 155, 399, 29, installing, Fit::kDesign},
      {&stcRecommendation_, 35, 120, 0, 0, finished, Fit::kText},
      {&chkAutoStart_, 70, 150, 0, 19, finished, Fit::kCheckBox},
      {&chkRunNow_, 70, 175, 0, 19, finished, Fit::kCheckBox},
      {&chkShortcuts_, 70, 200, 0, 19, finished, Fit::kCheckBox},
      {&stcStartLater_, 70, 230, 0, 0, clientStartable_ ? 0u : finished, Fit::kText},
      {&stcRestart_, 70, 255, 0, 0, restartRequired_ ? finished : 0u, Fit::kText},
      {&btnBack_, 281, 384, 84, 27, Pages({PAGE_AGREEMENT, PAGE_TARGET, PAGE_INSTALLING}),
       Fit::kDesign},
      {&btnNext_, 371, 384, 84, 27, kAllPages & ~finished, Fit::kDesign},
      {&btnCancel_, 461, 384, 84, 27, kAllPages, Fit::kDesign},
      {&stcWaiting_, 25, 389, 250, 17, busyStatus_ ? kAllPages : 0u, Fit::kDesign},
  };
  const WindowDC screen(hWnd_);
  const HDC dc = screen.get();
  for (const WizardPlacement& p : placements) {
    RECT rect = scale_.Box(p.left, p.top, p.width, p.height);
    if (p.fit != Fit::kDesign) {
      // Measured in the control's own font at this DPI.
      const std::wstring text = p.control->Text();
      SelectGuard font(dc, p.control == &stcTitle_ ? titleFont_.get() : bodyFont_.get());
      SIZE extent{};
      GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
      int width = extent.cx + scale_(2);
      if (p.fit == Fit::kCheckBox)
        width += scale_(13) + scale_(6);  // the box and the gap before the text
      rect.right = rect.left + width;
      rect.bottom = rect.top + std::max<int>(extent.cy, scale_(p.height));
    }
    SetWindowPos(p.control->Handle(), nullptr, rect.left, rect.top, rect.right - rect.left,
                 rect.bottom - rect.top, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW);
    if (p.pages & (1u << page_)) {
      if (!p.control->Visible())
        ShowWindow(p.control->Handle(), SW_SHOWNORMAL);
    } else if (p.control->Visible()) {
      ShowWindow(p.control->Handle(), SW_HIDE);
    }
  }
  InvalidateRect(hWnd_, nullptr, TRUE);
}

LRESULT WizardDialog::OnDpiChanged(WPARAM wParam, LPARAM lParam) {
  const auto* suggested = reinterpret_cast<const RECT*>(lParam);
  if (suggested != nullptr) {
    SetWindowPos(hWnd_, nullptr, suggested->left, suggested->top,
                 suggested->right - suggested->left, suggested->bottom - suggested->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ApplyDpi(LOWORD(wParam));
  return 0;
}

LRESULT WizardDialog::OnSettingChange(WPARAM, LPARAM) {
  colours_ = CurrentSkinColours();
  bandBrush_.reset(CreateSolidBrush(colours_.band));
  pageBrush_.reset(CreateSolidBrush(colours_.page));
  InvalidateRect(hWnd_, nullptr, TRUE);
  return 0;
}

LRESULT WizardDialog::OnPaint(WPARAM, LPARAM) {
  PaintDC paint(hWnd_);
  RECT client;
  GetClientRect(hWnd_, &client);
  if (IsIconic(hWnd_)) {
    SendMessageW(hWnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(paint.get()), 0);
    DrawIcon(paint.get(), (client.right - GetSystemMetrics(SM_CXICON) + 1) / 2,
             (client.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2, hIcon_);
    return 0;
  }
  PaintSkin(paint.get(), client, page_ == PAGE_WELCOME, scale_, artwork_, colours_);
  return 0;
}

LRESULT WizardDialog::OnCtlColor(WPARAM wParam, LPARAM lParam) {
  const auto dc = reinterpret_cast<HDC>(wParam);
  const auto control = reinterpret_cast<HWND>(lParam);
  if (control == btnBack_.Handle() || control == btnNext_.Handle() ||
      control == btnCancel_.Handle()) {
    return reinterpret_cast<LRESULT>(bandBrush_.get());
  }
  if (control == stcWaiting_.Handle()) {
    // The line stands in the band.
    SetTextColor(dc, colours_.text);
    SetBkColor(dc, colours_.band);
    return reinterpret_cast<LRESULT>(bandBrush_.get());
  }
  if (control == editTarget_.Handle() && colours_.highContrast) {
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
  }
  SetTextColor(dc, colours_.text);
  if (control == stcTitle_.Handle() && !colours_.highContrast) {
    // The title stands on the header artwork.
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
  }
  SetBkColor(dc, colours_.page);
  return reinterpret_cast<LRESULT>(pageBrush_.get());
}

LRESULT WizardDialog::OnQueryDragIcon(WPARAM, LPARAM) {
  return reinterpret_cast<LRESULT>(hIcon_);
}
