// The wizard's look at any DPI: its design in 96-DPI units and their scaling to the window's
// DPI, the artwork (deflated bitmaps drawn at 100, 150 and 200 %, inflated by the
// installer's own inflater and scaled to the exact size), and the painting of each page's
// skin. Painting takes a DC and the page, so a test can paint into a memory DC.
//
//   rows 0 .. 80 (96-DPI units)    the header artwork (pages 1-4), or the welcome picture
//   rows 81 .. 375                  white (pages 1-4)
//   row  376                        the separator, RGB(174,174,174), one unit thick
//   rows 377 .. 417                 the button band, RGB(227,227,227)
//
// At 96 DPI every row is exact; above it each length is scaled and rounded half up, so the
// separator is 1 pixel at 120 DPI and 2 at 144 and 192. In high-contrast mode the skin keeps
// its shape in the system's colours, and no artwork lies under text.
#pragma once

#include <windows.h>

#include "win/framework/Gdi.h"

inline constexpr int kDesignWidth = 576;
inline constexpr int kDesignHeight = 418;
inline constexpr int kHeaderHeight = 81;
inline constexpr int kSeparatorTop = 376;

// Lengths of the 96-DPI design in pixels at `dpi`, rounded half up.
class Scale {
 public:
  explicit Scale(UINT dpi = 96) : dpi_(dpi == 0 ? 96 : dpi) {}
  UINT Dpi() const { return dpi_; }
  int operator()(int units) const { return MulDiv(units, static_cast<int>(dpi_), 96); }
  // A rectangle given by its left, top, width and height in units.
  RECT Box(int left, int top, int width, int height) const {
    return RECT{(*this)(left), (*this)(top), (*this)(left + width), (*this)(top + height)};
  }

 private:
  UINT dpi_;
};

// The DPI of `window` (per monitor where the system knows it, else the system's).
UINT WindowDpi(HWND window);

// Resource type and ids of the deflated artwork: header and welcome picture at 100 %, and
// the same plus 100 and plus 200 for 150 % and 200 %.
inline constexpr wchar_t kArtworkType[] = L"SKIN";
inline constexpr int IDB_HEADER = 130;
inline constexpr int IDB_WELCOME = 131;

struct Artwork {
  Bitmap header;
  Bitmap welcome;
  SIZE headerSize{};
  SIZE welcomeSize{};
  int percent = 0;  // the drawing's scale: 100, 150 or 200; 0 when none could be read
};

// The scale of the artwork for `dpi`: the smallest of 100, 150 and 200 % not below it
// (200 % above that).
int ArtworkPercent(UINT dpi);

// The artwork for `dpi`, built from the resources of `module`; empty bitmaps (and percent
// 0) when they cannot be read.
Artwork LoadArtwork(HMODULE module, UINT dpi);

struct SkinColours {
  bool highContrast = false;
  COLORREF page;       // below the header
  COLORREF band;       // the button band, and the three band buttons' background
  COLORREF separator;  // the line above the band
  COLORREF text;       // the labels
};

// The skin's colours now: its own, or the system's in high-contrast mode.
SkinColours CurrentSkinColours();
SkinColours SkinColoursFor(bool highContrast);

// Paints a page's skin over `client` at `scale`: the welcome picture on the welcome page;
// on the others the header artwork (the page colour in high-contrast mode, since the title
// stands on it) and the page colour; then the separator and the button band.
void PaintSkin(HDC dc,
               const RECT& client,
               bool welcomePage,
               const Scale& scale,
               const Artwork& artwork,
               const SkinColours& colours);
