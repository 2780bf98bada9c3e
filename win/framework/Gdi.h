// Ownership of GDI objects and device contexts: each wrapper releases what it took, and a
// selection guard puts the previous object back, so painting code cannot leak or leave a DC
// holding a deleted object.
#pragma once

#include <windows.h>

#include "win/base/Owners.h"

struct GdiObjectTraits : NullHoldsNothing {
  static void Close(HGDIOBJ object) { DeleteObject(object); }
};
// A GDI object (font, brush, pen, bitmap) deleted with the wrapper.
template <class Handle>
using GdiObject = UniqueOwner<Handle, GdiObjectTraits>;

using Font = GdiObject<HFONT>;
using Brush = GdiObject<HBRUSH>;
using Pen = GdiObject<HPEN>;
using Bitmap = GdiObject<HBITMAP>;

// Selects an object into a DC for the guard's lifetime.
class SelectGuard {
 public:
  SelectGuard(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
  ~SelectGuard() { SelectObject(dc_, previous_); }
  SelectGuard(const SelectGuard&) = delete;
  SelectGuard& operator=(const SelectGuard&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// BeginPaint/EndPaint.
class PaintDC {
 public:
  explicit PaintDC(HWND window) : window_(window), dc_(BeginPaint(window, &paint_)) {}
  ~PaintDC() { EndPaint(window_, &paint_); }
  PaintDC(const PaintDC&) = delete;
  PaintDC& operator=(const PaintDC&) = delete;
  HDC get() const { return dc_; }

 private:
  HWND window_;
  PAINTSTRUCT paint_{};
  HDC dc_;
};

struct MemoryDCTraits : NullHoldsNothing {
  static void Close(HDC dc) { DeleteDC(dc); }
};
// A memory DC compatible with the screen, deleted with the wrapper.
class MemoryDC : public UniqueOwner<HDC, MemoryDCTraits> {
 public:
  MemoryDC() : UniqueOwner(CreateCompatibleDC(nullptr)) {}
};
