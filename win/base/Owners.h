// Owners of what the system hands out besides kernel handles: registry keys and local
// memory (UniqueOwner, UniqueHandle.h), COM references, window DCs, security descriptors
// built from SDDL. Each is given back when its owner goes, on every path.
#pragma once

#include <windows.h>
// after windows.h
#include <sddl.h>

#include <utility>

#include "win/base/UniqueHandle.h"

struct RegKeyTraits : NullHoldsNothing {
  static void Close(HKEY key) { RegCloseKey(key); }
};
// An open registry key.
using RegKey = UniqueOwner<HKEY, RegKeyTraits>;

// A COM interface pointer: one reference, released when its owner goes.
template <class Interface>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;

  Interface* get() const { return p_; }
  Interface* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For the call that hands out a reference; releases any reference held before.
  Interface** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  void reset() {
    if (p_ != nullptr)
      std::exchange(p_, nullptr)->Release();
  }

 private:
  Interface* p_ = nullptr;
};

// A window's device context (GetDC), or the screen's for a null window.
class WindowDC {
 public:
  explicit WindowDC(HWND window) : window_(window), dc_(GetDC(window)) {}
  ~WindowDC() {
    if (dc_ != nullptr)
      ReleaseDC(window_, dc_);
  }
  WindowDC(const WindowDC&) = delete;
  WindowDC& operator=(const WindowDC&) = delete;

  HDC get() const { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

struct LocalMemoryTraits : NullHoldsNothing {
  static void Close(HLOCAL block) { LocalFree(block); }
};
// Memory the system allocated with LocalAlloc for the caller (a security descriptor, an
// argument list, a formatted message), as a `T`.
template <class T>
using LocalMemory = UniqueOwner<T, LocalMemoryTraits>;

// Security attributes for a new object or file, their descriptor built from SDDL text and
// freed with the owner. get() is null when the text cannot be built into a descriptor, so
// that nothing is then made with the rights it would inherit by default.
class SddlAttributes {
 public:
  explicit SddlAttributes(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR made = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &made,
                                                             nullptr)) {
      descriptor_.reset(made);
      attributes_.lpSecurityDescriptor = made;
    }
  }
  SddlAttributes(const SddlAttributes&) = delete;
  SddlAttributes& operator=(const SddlAttributes&) = delete;

  const SECURITY_ATTRIBUTES* get() const { return descriptor_ ? &attributes_ : nullptr; }

 private:
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor_;
  SECURITY_ATTRIBUTES attributes_{sizeof attributes_, nullptr, FALSE};
};

// The handles CreateProcess hands out for a new process and its first thread.
struct ProcessHandles {
  ProcessHandles() = default;
  explicit ProcessHandles(const PROCESS_INFORMATION& started)
      : process(started.hProcess), thread(started.hThread) {}

  UniqueHandle process;
  UniqueHandle thread;
};
