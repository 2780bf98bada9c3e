// Ownership of a kernel handle (a file, a mapping, a process, a job...): closed when its
// owner goes. Both null and INVALID_HANDLE_VALUE mean "no handle".
#pragma once

#include <windows.h>

#include <utility>

class Handle {
 public:
  explicit Handle(HANDLE h = nullptr) : h_(h) {}
  ~Handle() { reset(); }
  Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other)
      reset(std::exchange(other.h_, nullptr));
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

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
