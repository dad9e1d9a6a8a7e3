#pragma once
// Move-only owners of Win32 handles. Each closes its handle exactly once, on every path.
#include <windows.h>

#include <utility>

namespace corlinq::win {

template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() = default;
  explicit UniqueHandle(Handle h) : handle_(h) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  [[nodiscard]] bool valid() const { return Traits::IsValid(handle_); }
  explicit operator bool() const { return valid(); }
  [[nodiscard]] Handle get() const { return handle_; }
  // For out-parameters of the API: frees the current handle first.
  Handle* receive() {
    reset();
    return &handle_;
  }
  [[nodiscard]] Handle release() { return std::exchange(handle_, Traits::Invalid()); }
  void reset(Handle h = Traits::Invalid()) {
    if (Traits::IsValid(handle_)) Traits::Close(handle_);
    handle_ = h;
  }

 private:
  Handle handle_ = Traits::Invalid();
};

// Kernel objects whose failure value is NULL (processes, threads, events, mutexes, pipes opened
// by name through CreateFile use the other traits below).
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { CloseHandle(h); }
};
using ScopedHandle = UniqueHandle<KernelHandleTraits>;

struct RegKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { RegCloseKey(h); }
};
using ScopedHKey = UniqueHandle<RegKeyTraits>;

struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { FindClose(h); }
};
using ScopedFindHandle = UniqueHandle<FindHandleTraits>;

}  // namespace corlinq::win
