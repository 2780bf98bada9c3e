// The Wine prefix the Windows tests run in looks like the systems the installer is made
// for: code page 936, the Chinese faces it asks for map to a font that has Chinese glyphs,
// and the drives are the ones the tests expect.
#include <windows.h>

#include <gtest/gtest.h>

namespace {

TEST(WineEnvironment, AnsiCodePageIs936) {
  EXPECT_EQ(GetACP(), 936u);
}

TEST(WineEnvironment, ChineseFacesHaveChineseGlyphs) {
  HDC dc = CreateCompatibleDC(nullptr);
  ASSERT_NE(dc, nullptr);
  for (const wchar_t* face : {L"宋体", L"SimSun", L"MS Shell Dlg"}) {
    HFONT font =
        CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, GB2312_CHARSET,
                    OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, face);
    ASSERT_NE(font, nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    WORD glyphs[2] = {};
    EXPECT_EQ(GetGlyphIndicesW(dc, L"安装", 2, glyphs, GGI_MARK_NONEXISTING_GLYPHS), 2u);
    EXPECT_NE(glyphs[0], 0xffff);
    EXPECT_NE(glyphs[1], 0xffff);
    SelectObject(dc, old);
    DeleteObject(font);
  }
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
