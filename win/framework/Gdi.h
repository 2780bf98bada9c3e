// Ownership of GDI objects and device contexts: each wrapper releases what it took, and a
// selection guard puts the previous object back, so painting code cannot leak or leave a DC
// holding a deleted object.
#pragma once

#include <windows.h>

#include <utility>

// A GDI object (font, brush, pen, bitmap) deleted with the wrapper.
template <class Handle>
class GdiObject {
 public:
  GdiObject() = default;
  explicit GdiObject(Handle h) : h_(h) {}
  ~GdiObject() { Reset(); }
  GdiObject(GdiObject&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  GdiObject& operator=(GdiObject&& other) noexcept {
    if (this != &other) {
      Reset();
      h_ = std::exchange(other.h_, nullptr);
    }
    return *this;
  }
  GdiObject(const GdiObject&) = delete;
  GdiObject& operator=(const GdiObject&) = delete;

  Handle get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }
  void Reset(Handle h = nullptr) {
    if (h_ != nullptr)
      DeleteObject(h_);
    h_ = h;
  }

 private:
  Handle h_ = nullptr;
};

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

// A memory DC compatible with the screen, deleted with the wrapper.
class MemoryDC {
 public:
  MemoryDC() : dc_(CreateCompatibleDC(nullptr)) {}
  ~MemoryDC() {
    if (dc_ != nullptr)
      DeleteDC(dc_);
  }
  MemoryDC(const MemoryDC&) = delete;
  MemoryDC& operator=(const MemoryDC&) = delete;
  HDC get() const { return dc_; }

 private:
  HDC dc_;
};
