// Owners of what the system hands out besides kernel handles (UniqueHandle.h): each is
// given back when its owner goes, on every path.
#pragma once

#include <windows.h>

#include <utility>

#include "win/base/UniqueHandle.h"

// An open registry key.
class RegKey {
 public:
  RegKey() = default;
  ~RegKey() { reset(); }
  RegKey(RegKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
  RegKey& operator=(RegKey&& other) noexcept {
    if (this != &other) {
      reset();
      key_ = std::exchange(other.key_, nullptr);
    }
    return *this;
  }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  HKEY get() const { return key_; }
  explicit operator bool() const { return key_ != nullptr; }
  // For the call that opens or creates the key; closes any key held before.
  HKEY* put() {
    reset();
    return &key_;
  }
  void reset() {
    if (key_ != nullptr)
      RegCloseKey(std::exchange(key_, nullptr));
  }

 private:
  HKEY key_ = nullptr;
};

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

// Memory the system allocated with LocalAlloc for the caller (a security descriptor, an
// argument list, a formatted message).
template <class T>
class LocalMemory {
 public:
  explicit LocalMemory(T p = nullptr) : p_(p) {}
  ~LocalMemory() {
    if (p_ != nullptr)
      LocalFree(p_);
  }
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;

  T get() const { return p_; }
  // For the call that allocates it; frees any block held before.
  T* put() {
    if (p_ != nullptr)
      LocalFree(std::exchange(p_, nullptr));
    return &p_;
  }

 private:
  T p_;
};

// The handles CreateProcess hands out for a new process and its first thread.
struct ProcessHandles {
  ProcessHandles() = default;
  explicit ProcessHandles(const PROCESS_INFORMATION& started)
      : process(started.hProcess), thread(started.hThread) {}

  UniqueHandle process;
  UniqueHandle thread;
};
