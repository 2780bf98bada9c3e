// Ownership of what the system hands out and takes back - a kernel handle (a file, a
// mapping, a process, a job...), a registry key, a GDI object, a block of local memory:
// given back when its owner goes, on every path.
#pragma once

#include <windows.h>

#include <utility>

// The one owner of a handle of the kind `Traits` describes: Traits::Close gives one back,
// Traits::Valid tells one from the values that hold nothing. Moved, the handle goes with it.
template <class Handle, class Traits>
class UniqueOwner {
 public:
  explicit UniqueOwner(Handle h = nullptr) : h_(h) {}
  ~UniqueOwner() { reset(); }
  UniqueOwner(UniqueOwner&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  UniqueOwner& operator=(UniqueOwner&& other) noexcept {
    if (this != &other)
      reset(std::exchange(other.h_, nullptr));
    return *this;
  }
  UniqueOwner(const UniqueOwner&) = delete;
  UniqueOwner& operator=(const UniqueOwner&) = delete;

  Handle get() const { return h_; }
  bool valid() const { return Traits::Valid(h_); }
  explicit operator bool() const { return valid(); }
  // For the call that hands one out; gives back any held before.
  Handle* put() {
    reset();
    return &h_;
  }
  // Gives the handle up without giving it back.
  Handle release() { return std::exchange(h_, nullptr); }
  // Gives back the handle held, if any, and takes `h`.
  void reset(Handle h = nullptr) {
    if (valid())
      Traits::Close(h_);
    h_ = h;
  }

 private:
  Handle h_;
};

// For the kinds whose one value that holds nothing is null.
struct NullHoldsNothing {
  template <class Handle>
  static bool Valid(Handle h) {
    return h != nullptr;
  }
};

// A kernel handle: both null and INVALID_HANDLE_VALUE mean "no handle".
struct KernelHandleTraits {
  static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { CloseHandle(h); }
};
using UniqueHandle = UniqueOwner<HANDLE, KernelHandleTraits>;
