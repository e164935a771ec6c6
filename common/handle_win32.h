// One owner per Windows handle. `UniqueResource` is parameterised by the
// close function and the invalid value, so the same template owns handles
// whose "none" is nullptr and those whose "none" is INVALID_HANDLE_VALUE.
// Move-only; reset() closes, release() gives the handle up. The calling
// thread's last error is preserved across the close.
#pragma once

#include <windows.h>

#include <utility>

namespace vor {

template <class T, auto Close, auto Invalid>
class UniqueResource {
 public:
  UniqueResource() = default;
  explicit UniqueResource(T value) : value_(value) {}
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueResource() { reset(); }

  T get() const { return value_; }
  bool valid() const { return value_ != invalid(); }
  explicit operator bool() const { return valid(); }

  void reset(T value = invalid()) {
    if (valid()) {
      const DWORD saved = ::GetLastError();
      Close(value_);
      ::SetLastError(saved);
    }
    value_ = value;
  }
  T release() { return std::exchange(value_, invalid()); }
  // For out-parameters: closes the current value and returns its address.
  T* put() {
    reset();
    return &value_;
  }

 private:
  static T invalid() { return reinterpret_cast<T>(Invalid); }
  T value_ = invalid();
};

namespace detail {
inline void close_handle(HANDLE h) { ::CloseHandle(h); }
inline void local_free(HLOCAL h) { ::LocalFree(h); }
inline void close_service_handle(SC_HANDLE h) { ::CloseServiceHandle(h); }
inline void close_desktop(HDESK h) { ::CloseDesktop(h); }
}  // namespace detail

// Kernel handles that are nullptr when absent (processes, threads, events, jobs, tokens).
using UniqueHandle = UniqueResource<HANDLE, detail::close_handle, 0>;
// File and pipe handles that are INVALID_HANDLE_VALUE when absent.
using UniqueFile = UniqueResource<HANDLE, detail::close_handle, -1>;
// Memory that Windows returns for the caller to LocalFree.
using UniqueLocal = UniqueResource<HLOCAL, detail::local_free, 0>;
// Service-manager and service handles (OpenSCManagerW, OpenServiceW).
using UniqueServiceHandle = UniqueResource<SC_HANDLE, detail::close_service_handle, 0>;
// Desktop handles (OpenInputDesktop).
using UniqueDesktop = UniqueResource<HDESK, detail::close_desktop, 0>;

}  // namespace vor
