// The framework's dialog dispatches through its message map in table order, answers what a
// handler returns (DM_GETDEFID included), routes unmapped IDOK/IDCANCEL to OnOK/OnCancel,
// and its GDI wrappers release what they took. The wizard's skin keeps its rows at every
// DPI and, in high-contrast mode, puts no artwork under text.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer/wizard/Skin.h"
#include "win/framework/Controls.h"
#include "win/framework/Dialog.h"
#include "win/framework/Gdi.h"

namespace {

constexpr UINT kStep = WM_APP + 1;
constexpr int kGoId = 100;

class ProbeDialog : public Dialog {
 public:
  std::vector<std::string> events;
  LRESULT defId = 0;
  Button go;
  Static label;
  int finishWith = 0;  // 0: end with 42 from the map; IDOK/IDCANCEL: click that id

 protected:
  BOOL OnInitDialog() override {
    events.push_back("init");
    go.Create(m_hWnd, kGoId, RECT{10, 10, 90, 34}, L"Go");
    label.Create(m_hWnd, 101, RECT{10, 40, 200, 60}, L"标签");
    PostMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(kGoId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(go.Handle()));
    return TRUE;
  }
  void OnOK() override {
    events.push_back("ok");
    Dialog::OnOK();
  }
  void OnCancel() override {
    events.push_back("cancel");
    Dialog::OnCancel();
  }
  const MessageEntry* GetMessageMap() const override { return kMap; }

 private:
  LRESULT OnGo(WPARAM, LPARAM) {
    events.push_back("go");
    defId = SendMessageW(m_hWnd, DM_GETDEFID, 0, 0);
    PostMessageW(m_hWnd, kStep, 7, 0);
    return 0;
  }
  LRESULT OnStep(WPARAM wParam, LPARAM) {
    events.push_back("step " + std::to_string(wParam));
    if (finishWith == 0) {
      EndDialog(42);
    } else {
      PostMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(finishWith, BN_CLICKED), 0);
    }
    return 0;
  }
  LRESULT OnGetDefId(WPARAM, LPARAM) { return MAKELONG(0, DC_HASDEFID); }
  LRESULT FirstStep(WPARAM, LPARAM) {
    events.push_back("first");
    return 0;
  }

  static inline const MessageEntry kMap[] = {
      Command(BN_CLICKED, kGoId, &ProbeDialog::OnGo),
      Message(DM_GETDEFID, &ProbeDialog::OnGetDefId), Message(kStep, &ProbeDialog::OnStep),
      Message(kStep, &ProbeDialog::FirstStep),  // never reached: the first match wins
      kEndOfMap};
};

TEST(Dialog, MessageMapDispatchInOrder) {
  const std::vector<WORD> tmpl = EmptyDialogTemplate(200, 100, L"测试");
  ProbeDialog dialog;
  const INT_PTR result =
      dialog.DoModal(GetModuleHandleW(nullptr), reinterpret_cast<const DLGTEMPLATE*>(tmpl.data()));
  EXPECT_EQ(result, 42);
  EXPECT_EQ(dialog.events, (std::vector<std::string>{"init", "go", "step 7"}));
  EXPECT_EQ(dialog.defId, 0x534B0000);
  EXPECT_EQ(dialog.Handle(), nullptr);  // the window is gone, the object remains
}

TEST(Dialog, UnmappedOkAndCancelReachTheVirtuals) {
  const std::vector<WORD> tmpl = EmptyDialogTemplate(200, 100, L"测试");
  for (int id : {IDOK, IDCANCEL}) {
    ProbeDialog dialog;
    dialog.finishWith = id;
    EXPECT_EQ(dialog.DoModal(GetModuleHandleW(nullptr),
                             reinterpret_cast<const DLGTEMPLATE*>(tmpl.data())),
              id);
    EXPECT_EQ(dialog.events.back(), id == IDOK ? "ok" : "cancel");
  }
}

TEST(Gdi, WrappersReleaseWhatTheyTook) {
  HFONT fontHandle = nullptr;
  HBRUSH brushHandle = nullptr;
  {
    Font font = MakeFont(12, FW_BOLD, L"宋体");
    Brush brush(CreateSolidBrush(RGB(174, 174, 174)));
    fontHandle = font.get();
    brushHandle = brush.get();
    ASSERT_NE(GetObjectType(fontHandle), 0u);
    MemoryDC dc;
    const HGDIOBJ before = GetCurrentObject(dc.get(), OBJ_FONT);
    {
      SelectGuard selected(dc.get(), font.get());
      EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_FONT), fontHandle);
    }
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_FONT), before);
    Font moved = std::move(font);
    EXPECT_FALSE(font);
    EXPECT_EQ(moved.get(), fontHandle);
  }
  EXPECT_EQ(GetObjectType(fontHandle), 0u);
  EXPECT_EQ(GetObjectType(brushHandle), 0u);
}

// The skin painted into a bitmap: the header artwork (here a red stand-in) on the pages
// after the welcome page, white below it, the separator and the band, scaled; in
// high-contrast mode the system's colours, and no artwork where the title stands.
TEST(Skin, RowsAtEveryDpiAndSystemColoursInHighContrast) {
  for (const UINT dpi : {96u, 144u}) {
    const Scale scale(dpi);
    Artwork artwork;
    artwork.percent = 100;
    artwork.headerSize = SIZE{576, 81};
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), 576, 81, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* red = nullptr;
    artwork.header.Reset(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &red, nullptr, 0));
    std::fill_n(static_cast<std::uint32_t*>(red), 576 * 81, 0x00FF0000u);
    for (const bool highContrast : {false, true}) {
      const SkinColours colours = SkinColoursFor(highContrast);
      const RECT client{0, 0, scale(576), scale(418)};
      info.bmiHeader.biWidth = client.right;
      info.bmiHeader.biHeight = -client.bottom;
      void* bits = nullptr;
      Bitmap canvas(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
      MemoryDC dc;
      {
        SelectGuard selected(dc.get(), canvas.get());
        PaintSkin(dc.get(), client, false, scale, artwork, colours);
      }
      const auto pixel = [&](int y) {
        const std::uint32_t p = static_cast<const std::uint32_t*>(bits)[y * client.right + 5];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
      };
      const std::string row = std::to_string(dpi) + (highContrast ? " DPI, high contrast" : " DPI");
      EXPECT_EQ(pixel(scale(40)), highContrast ? GetSysColor(COLOR_WINDOW) : RGB(255, 0, 0)) << row;
      EXPECT_EQ(pixel(scale(200)), colours.page) << row;
      EXPECT_EQ(pixel(scale(376)), colours.separator) << row;
      EXPECT_EQ(pixel(scale(376) + scale(1) - 1), colours.separator) << row;
      EXPECT_EQ(pixel(scale(376) + scale(1)), colours.band) << row;
      EXPECT_EQ(pixel(client.bottom - 1), colours.band) << row;
      if (highContrast) {
        EXPECT_EQ(colours.band, GetSysColor(COLOR_BTNFACE));
        EXPECT_EQ(colours.text, GetSysColor(COLOR_WINDOWTEXT));
      }
    }
  }
}

}  // namespace
