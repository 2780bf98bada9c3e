// Ownership of a kernel handle (a file, a mapping, a process, a job...): closed when its
// owner goes. Both null and INVALID_HANDLE_VALUE mean "no handle".
#pragma once

#include <windows.h>

#include <utility>

class UniqueHandle {
 public:
  explicit UniqueHandle(HANDLE h = nullptr) : h_(h) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other)
      reset(std::exchange(other.h_, nullptr));
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  // Gives the handle up without closing it.
  HANDLE release() { return std::exchange(h_, nullptr); }
  // Closes the handle held, if any, and takes `h`.
  void reset(HANDLE h = nullptr) {
    if (valid())
      CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_;
};
