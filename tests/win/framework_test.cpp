// The GDI wrappers hand their objects over without a leak or a second deletion, as the
// wizard relies on when the DPI or the colours change. The wizard's skin keeps its rows at
// every DPI and, in high-contrast mode, puts no artwork under text.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "installer/wizard/Skin.h"
#include "win/framework/Gdi.h"

namespace {

// A DPI or colour change gives the wizard new fonts and brushes (reset) and new artwork
// (moved in): each wrapper deletes the object it held, and one moved from deletes nothing.
TEST(Gdi, ReplacedAndMovedObjectsAreDeletedOnce) {
  const auto font = [] {
    return CreateFontW(-12, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, 0, 0,
                       L"宋体");
  };
  // All three are made first, so that no handle of one deleted is given out again.
  const HFONT first = font(), second = font(), third = font();
  ASSERT_TRUE(first != nullptr && second != nullptr && third != nullptr);
  {
    Font held(first);
    held.reset(second);
    EXPECT_EQ(GetObjectType(first), 0u) << "reset kept the font it replaced";
    Font moved = std::move(held);
    EXPECT_FALSE(held);
    moved = Font(third);
    EXPECT_EQ(GetObjectType(second), 0u) << "the font moved over was kept";
    EXPECT_NE(GetObjectType(third), 0u) << "the font moved in was deleted";
  }
  EXPECT_EQ(GetObjectType(third), 0u);
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
    artwork.header.reset(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &red, nullptr, 0));
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
