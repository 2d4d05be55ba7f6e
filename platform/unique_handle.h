#pragma once
// Owner of one platform handle. The handle is closed with CloseHandle when the owner goes
// out of scope, which keeps a handle from leaking on any early return or unwinding. Where
// the order of closing matters, the code closes explicitly with reset(), in that order;
// release() hands the handle back without closing it.

#include <utility>

#include "platform/types.h"

namespace halcyra::platform {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  ~UniqueHandle() { reset(); }

  Handle get() const { return handle_; }

  // Null and INVALID_HANDLE_VALUE are the two "no handle" results of the platform.
  explicit operator bool() const { return handle_ != nullptr && handle_ != kInvalidHandle; }

  // Gives up ownership without closing the handle.
  [[nodiscard]] Handle release() { return std::exchange(handle_, nullptr); }

  // Closes the handle held so far, if any (the result of CloseHandle is ignored), and
  // takes ownership of `handle`.
  void reset(Handle handle = nullptr) {
    const Handle old = std::exchange(handle_, handle);
    if (old != nullptr && old != kInvalidHandle) {
      CloseHandle(old);
    }
  }

 private:
  Handle handle_ = nullptr;
};

}  // namespace halcyra::platform
