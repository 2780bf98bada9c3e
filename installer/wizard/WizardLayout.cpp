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

void WizardDialog::ApplyDpi(UINT dpi) {
  m_dpi = dpi;
  m_scale = Scale(dpi);
  // The body font is the template's (MS Shell Dlg, 9 points) at this DPI; the title font
  // is 宋体, bold, 16 pixels at 96 DPI.
  LOGFONTW body{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(m_hWnd, WM_GETFONT, 0, 0)), sizeof body, &body);
  body.lfHeight = -MulDiv(9, static_cast<int>(dpi), 72);
  m_bodyFont.Reset(CreateFontIndirectW(&body));
  LOGFONTW title = body;
  title.lfHeight = m_scale(16);
  title.lfWeight = FW_BOLD;
  lstrcpynW(title.lfFaceName, L"宋体", LF_FACESIZE);
  m_titleFont.Reset(CreateFontIndirectW(&title));
  for (Control* c : m_controls) {
    if (c != &m_agreementView && c != &m_progress)
      c->SetFont(c == &m_stcTitle ? m_titleFont.get() : m_bodyFont.get());
  }
  m_agreementView.FollowDpi(dpi);
  if (m_artwork.percent != ArtworkPercent(dpi))
    m_artwork = LoadArtwork(GetModuleHandleW(nullptr), dpi);
  m_bandBrush.Reset(CreateSolidBrush(m_colours.band));
  m_pageBrush.Reset(CreateSolidBrush(m_colours.page));

  // A client area of 576 x 418 units.
  RECT window, client;
  GetWindowRect(m_hWnd, &window);
  GetClientRect(m_hWnd, &client);
  const int frameWidth = (window.right - window.left) - client.right;
  const int frameHeight = (window.bottom - window.top) - client.bottom;
  SetWindowPos(m_hWnd, nullptr, 0, 0, frameWidth + m_scale(kDesignWidth),
               frameHeight + m_scale(kDesignHeight), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  LayOut();
}

void WizardDialog::LayOut() {
  const int titleLeft = m_page == PAGE_TARGET ? 29 : 35;
  const unsigned agreement = Pages({PAGE_AGREEMENT});
  const unsigned target = Pages({PAGE_TARGET});
  const unsigned installing = Pages({PAGE_INSTALLING});
  const unsigned finished = Pages({PAGE_FINISHED});
  const WizardPlacement placements[] = {
      {&m_stcWelcome, 0, 0, kDesignWidth, 376, Pages({PAGE_WELCOME}), Fit::kDesign},
      {&m_stcTitle, titleLeft, 35, 0, 0, kAllPages & ~Pages({PAGE_WELCOME}), Fit::kText},
      {&m_agreementView, 25, 99, 525, 219, agreement, Fit::kDesign},
      {&m_stcAgreementNote, 25, 328, 0, 0, agreement, Fit::kText},
      {&m_stcTargetIntro, 39, 119, 0, 0, target, Fit::kText},
      {&m_stcTargetLabel, 39, 139, 0, 0, target, Fit::kText},
      {&m_editTarget, 39, 172, 349, 24, target, Fit::kDesign},
      {&m_btnBrowse, 400, 172, 30, 25, target, Fit::kDesign},
      {&m_stcTargetHint, 39, 300, 0, 0, target, Fit::kText},
      {&m_stcFreeSpace, 39, 320, 399, 29, target, Fit::kDesign},
      {&m_stcStatus, 35, 120, 399, 29, installing, Fit::kDesign},
      {&m_progress, 35, 155, 399, 29, installing, Fit::kDesign},
      {&m_stcRecommendation, 35, 120, 0, 0, finished, Fit::kText},
      {&m_chkAutoStart, 70, 150, 0, 19, finished, Fit::kCheckBox},
      {&m_chkRunNow, 70, 175, 0, 19, finished, Fit::kCheckBox},
      {&m_chkShortcuts, 70, 200, 0, 19, finished, Fit::kCheckBox},
      {&m_stcStartLater, 70, 230, 0, 0, m_clientStartable ? 0u : finished, Fit::kText},
      {&m_stcRestart, 70, 255, 0, 0, m_restartRequired ? finished : 0u, Fit::kText},
      {&m_btnBack, 281, 384, 84, 27, Pages({PAGE_AGREEMENT, PAGE_TARGET, PAGE_INSTALLING}),
       Fit::kDesign},
      {&m_btnNext, 371, 384, 84, 27, kAllPages & ~finished, Fit::kDesign},
      {&m_btnCancel, 461, 384, 84, 27, kAllPages, Fit::kDesign},
      {&m_stcWaiting, 25, 389, 250, 17, m_busyStatus ? kAllPages : 0u, Fit::kDesign},
  };
  const WindowDC screen(m_hWnd);
  const HDC dc = screen.get();
  for (const WizardPlacement& p : placements) {
    RECT rect = m_scale.Box(p.left, p.top, p.width, p.height);
    if (p.fit != Fit::kDesign) {
      // Measured in the control's own font at this DPI.
      const std::wstring text = p.control->Text();
      SelectGuard font(dc, p.control == &m_stcTitle ? m_titleFont.get() : m_bodyFont.get());
      SIZE extent{};
      GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
      int width = extent.cx + m_scale(2);
      if (p.fit == Fit::kCheckBox)
        width += m_scale(13) + m_scale(6);  // the box and the gap before the text
      rect.right = rect.left + width;
      rect.bottom = rect.top + std::max<int>(extent.cy, m_scale(p.height));
    }
    SetWindowPos(p.control->Handle(), nullptr, rect.left, rect.top, rect.right - rect.left,
                 rect.bottom - rect.top, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW);
    if (p.pages & (1u << m_page)) {
      if (!p.control->Visible())
        ShowWindow(p.control->Handle(), SW_SHOWNORMAL);
    } else if (p.control->Visible()) {
      ShowWindow(p.control->Handle(), SW_HIDE);
    }
  }
  InvalidateRect(m_hWnd, nullptr, TRUE);
}

LRESULT WizardDialog::OnDpiChanged(WPARAM wParam, LPARAM lParam) {
  const auto* suggested = reinterpret_cast<const RECT*>(lParam);
  if (suggested != nullptr) {
    SetWindowPos(m_hWnd, nullptr, suggested->left, suggested->top,
                 suggested->right - suggested->left, suggested->bottom - suggested->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ApplyDpi(LOWORD(wParam));
  return 0;
}

LRESULT WizardDialog::OnSettingChange(WPARAM, LPARAM) {
  m_colours = CurrentSkinColours();
  m_bandBrush.Reset(CreateSolidBrush(m_colours.band));
  m_pageBrush.Reset(CreateSolidBrush(m_colours.page));
  InvalidateRect(m_hWnd, nullptr, TRUE);
  return 0;
}

LRESULT WizardDialog::OnPaint(WPARAM, LPARAM) {
  PaintDC paint(m_hWnd);
  RECT client;
  GetClientRect(m_hWnd, &client);
  if (IsIconic(m_hWnd)) {
    SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(paint.get()), 0);
    DrawIcon(paint.get(), (client.right - GetSystemMetrics(SM_CXICON) + 1) / 2,
             (client.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2, m_hIcon);
    return 0;
  }
  PaintSkin(paint.get(), client, m_page == PAGE_WELCOME, m_scale, m_artwork, m_colours);
  return 0;
}

LRESULT WizardDialog::OnCtlColor(WPARAM wParam, LPARAM lParam) {
  const auto dc = reinterpret_cast<HDC>(wParam);
  const auto control = reinterpret_cast<HWND>(lParam);
  if (control == m_btnBack.Handle() || control == m_btnNext.Handle() ||
      control == m_btnCancel.Handle()) {
    return reinterpret_cast<LRESULT>(m_bandBrush.get());
  }
  if (control == m_stcWaiting.Handle()) {
    // The line stands in the band.
    SetTextColor(dc, m_colours.text);
    SetBkColor(dc, m_colours.band);
    return reinterpret_cast<LRESULT>(m_bandBrush.get());
  }
  if (control == m_editTarget.Handle() && m_colours.highContrast) {
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
  }
  SetTextColor(dc, m_colours.text);
  if (control == m_stcTitle.Handle() && !m_colours.highContrast) {
    // The title stands on the header artwork.
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
  }
  SetBkColor(dc, m_colours.page);
  return reinterpret_cast<LRESULT>(m_pageBrush.get());
}

LRESULT WizardDialog::OnQueryDragIcon(WPARAM, LPARAM) {
  return reinterpret_cast<LRESULT>(m_hIcon);
}
