// The Wine prefix the Windows tests run in looks like the systems the installer is made
// for: code page 936, the Chinese faces it asks for map to a font that has Chinese glyphs
// and draws them whole at 9 points and 96 DPI, and the drives are the ones the tests expect.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(WineEnvironment, AnsiCodePageIs936) {
  EXPECT_EQ(GetACP(), 936u);
}

// Each face is drawn smoothed at 12 pixels (9 points at 96 DPI): a font whose own table asks
// for aliased drawing at that size (WenQuanYi Zen Hei's, from 9 to 16 pixels) breaks the
// strokes of the wizard's body text and title.
TEST(WineEnvironment, ChineseFacesHaveChineseGlyphs) {
  HDC dc = CreateCompatibleDC(nullptr);
  ASSERT_NE(dc, nullptr);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), 32, -16, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP canvas = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ASSERT_NE(canvas, nullptr);
  HGDIOBJ oldCanvas = SelectObject(dc, canvas);
  for (const wchar_t* face : {L"宋体", L"SimSun", L"MS Shell Dlg", L"MS Shell Dlg 2"}) {
    HFONT font =
        CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, GB2312_CHARSET,
                    OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, face);
    ASSERT_NE(font, nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    WORD glyphs[2] = {};
    EXPECT_EQ(GetGlyphIndicesW(dc, L"安装", 2, glyphs, GGI_MARK_NONEXISTING_GLYPHS), 2u);
    EXPECT_NE(glyphs[0], 0xffff);
    EXPECT_NE(glyphs[1], 0xffff);
    auto* pixels = static_cast<DWORD*>(bits);
    std::fill(pixels, pixels + 32 * 16, 0xffffffu);
    GdiFlush();
    SetBkMode(dc, TRANSPARENT);
    TextOutW(dc, 0, 0, L"安装", 2);
    GdiFlush();
    const auto grey = std::count_if(pixels, pixels + 32 * 16, [](DWORD p) {
      return (p & 0xffffffu) != 0xffffffu && (p & 0xffffffu) != 0;
    });
    EXPECT_GT(grey, 0) << face << " is drawn aliased at 12 pixels";
    SelectObject(dc, old);
    DeleteObject(font);
  }
  SelectObject(dc, oldCanvas);
  DeleteObject(canvas);
  DeleteDC(dc);
}

// C: the system, D: an empty folder, Z: the host; F: a small disk where the harness may
// mount one.
TEST(WineEnvironment, DrivesAreTheHarnesssOwn) {
  const DWORD drives = GetLogicalDrives() & ~(1u << 5);
  EXPECT_EQ(drives, (1u << 2) | (1u << 3) | (1u << 25));
  EXPECT_EQ(GetDriveTypeW(L"D:\\"), static_cast<UINT>(DRIVE_FIXED));
}

}  // namespace
