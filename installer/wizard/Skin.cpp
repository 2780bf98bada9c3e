#include "installer/wizard/Skin.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "core/inflate/ResourceInflater.h"
#include "win/base/Owners.h"

namespace {

// The largest inflated picture: the welcome picture at 200 % is 2.9 MB.
constexpr std::uint32_t kArtworkLimit = 4 * 1024 * 1024;

const COLORREF kBand = RGB(227, 227, 227);
const COLORREF kSeparator = RGB(174, 174, 174);
const COLORREF kWhite = RGB(255, 255, 255);

// A device-independent bitmap built from the deflated .bmp file of resource `id`.
Bitmap LoadPicture(HMODULE module, int id, SIZE* size) {
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), kArtworkType);
  HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
  const auto* stream =
      loaded != nullptr ? static_cast<const std::uint8_t*>(LockResource(loaded)) : nullptr;
  if (stream == nullptr)
    return Bitmap();
  std::unique_ptr<std::uint8_t[]> file(new (std::nothrow) std::uint8_t[kArtworkLimit]);
  if (!file)
    return Bitmap();
  int result = -1;
  const std::uint32_t length =
      InflateResource(stream, SizeofResource(module, found), file.get(), kArtworkLimit, &result);
  // BITMAPFILEHEADER (14 bytes), BITMAPINFOHEADER, then bottom-up rows from bfOffBits.
  BITMAPFILEHEADER head{};
  BITMAPINFOHEADER info{};
  if (result != kInflateOk || length < sizeof head + sizeof info)
    return Bitmap();
  std::memcpy(&head, file.get(), sizeof head);
  std::memcpy(&info, file.get() + sizeof head, sizeof info);
  const std::uint64_t rowBytes =
      ((static_cast<std::uint64_t>(info.biWidth) * info.biBitCount + 31) / 32) * 4;
  const std::uint64_t pixels = rowBytes * static_cast<std::uint64_t>(info.biHeight);
  if (head.bfType != 0x4D42 || info.biSize != sizeof info || info.biWidth <= 0 ||
      info.biHeight <= 0 || (info.biBitCount != 24 && info.biBitCount != 32) ||
      info.biCompression != BI_RGB || head.bfOffBits > length || pixels > length - head.bfOffBits) {
    return Bitmap();
  }
  void* bits = nullptr;
  Bitmap bitmap(CreateDIBSection(nullptr, reinterpret_cast<const BITMAPINFO*>(&info),
                                 DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!bitmap || bits == nullptr)
    return Bitmap();
  std::memcpy(bits, file.get() + head.bfOffBits, static_cast<std::size_t>(pixels));
  *size = SIZE{info.biWidth, info.biHeight};
  return bitmap;
}

// Copies `source` (a part of `bitmap`) onto `target`, scaling smoothly where the sizes differ.
void Draw(HDC dc, const RECT& target, HBITMAP bitmap, const RECT& source) {
  MemoryDC memory;
  SelectGuard selected(memory.get(), bitmap);
  const int width = target.right - target.left;
  const int height = target.bottom - target.top;
  const int sourceWidth = source.right - source.left;
  const int sourceHeight = source.bottom - source.top;
  if (width == sourceWidth && height == sourceHeight) {
    BitBlt(dc, target.left, target.top, width, height, memory.get(), source.left, source.top,
           SRCCOPY);
    return;
  }
  const int mode = SetStretchBltMode(dc, HALFTONE);
  POINT origin;
  SetBrushOrgEx(dc, 0, 0, &origin);
  StretchBlt(dc, target.left, target.top, width, height, memory.get(), source.left, source.top,
             sourceWidth, sourceHeight, SRCCOPY);
  SetBrushOrgEx(dc, origin.x, origin.y, nullptr);
  SetStretchBltMode(dc, mode);
}

void Fill(HDC dc, const RECT& rect, COLORREF colour) {
  const Brush brush(CreateSolidBrush(colour));
  FillRect(dc, &rect, brush.get());
}

}  // namespace

UINT WindowDpi(HWND window) {
  using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (getDpiForWindow != nullptr && window != nullptr) {
    const UINT dpi = getDpiForWindow(window);
    if (dpi != 0)
      return dpi;
  }
  const WindowDC screen(nullptr);
  const int dpi = GetDeviceCaps(screen.get(), LOGPIXELSY);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

int ArtworkPercent(UINT dpi) {
  return dpi <= 96 ? 100 : dpi <= 144 ? 150 : 200;
}

Artwork LoadArtwork(HMODULE module, UINT dpi) {
  Artwork artwork;
  const int percent = ArtworkPercent(dpi);
  const int offset = percent == 100 ? 0 : percent == 150 ? 100 : 200;
  artwork.header = LoadPicture(module, IDB_HEADER + offset, &artwork.headerSize);
  artwork.welcome = LoadPicture(module, IDB_WELCOME + offset, &artwork.welcomeSize);
  artwork.percent = artwork.header && artwork.welcome ? percent : 0;
  return artwork;
}

SkinColours SkinColoursFor(bool highContrast) {
  if (!highContrast)
    return SkinColours{false, kWhite, kBand, kSeparator, RGB(0, 0, 0)};
  return SkinColours{true, GetSysColor(COLOR_WINDOW), GetSysColor(COLOR_BTNFACE),
                     GetSysColor(COLOR_WINDOWTEXT), GetSysColor(COLOR_WINDOWTEXT)};
}

SkinColours CurrentSkinColours() {
  HIGHCONTRASTW contrast{};
  contrast.cbSize = sizeof contrast;
  const bool on = SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) &&
                  (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
  return SkinColoursFor(on);
}

void PaintSkin(HDC dc,
               const RECT& client,
               bool welcomePage,
               const Scale& scale,
               const Artwork& artwork,
               const SkinColours& colours) {
  const int separator = scale(kSeparatorTop);
  const int band = separator + scale(1);
  if (welcomePage && artwork.welcome) {
    // The picture above the separator; its own separator and band rows are painted below
    // exactly, whatever the scaling did to them.
    const int pictureSeparator = MulDiv(kSeparatorTop, artwork.percent, 100);
    Draw(dc, RECT{0, 0, client.right, separator}, artwork.welcome.get(),
         RECT{0, 0, artwork.welcomeSize.cx - MulDiv(1, artwork.percent, 100), pictureSeparator});
  } else {
    Fill(dc, RECT{0, 0, client.right, separator}, colours.page);
    if (!colours.highContrast && artwork.header) {
      Draw(dc, RECT{0, 0, client.right, scale(kHeaderHeight)}, artwork.header.get(),
           RECT{0, 0, artwork.headerSize.cx, artwork.headerSize.cy});
    }
  }
  Fill(dc, RECT{0, separator, client.right, band}, colours.separator);
  Fill(dc, RECT{0, band, client.right, client.bottom}, colours.band);
}
