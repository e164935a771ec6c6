// One owner per Windows handle. `UniqueResource` is parameterised by the
// close function and the invalid value, so the same template owns handles
// whose "none" is nullptr and those whose "none" is INVALID_HANDLE_VALUE.
// Move-only; reset() closes, release() gives the handle up. The calling
// thread's last error is preserved across the close.
#pragma once

#include <windows.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/system_library_win32.h"

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
inline void wts_free(void* memory) { ::WTSFreeMemory(memory); }
// userenv is bound on first use (common/system_library_win32.h). A block to
// destroy came from CreateEnvironmentBlock, so userenv is loaded by then; if
// its function still cannot be bound, the block is left to the process's end.
inline void destroy_environment(void* block) {
  static constinit SystemFunction<decltype(::DestroyEnvironmentBlock)> destroy(L"userenv.dll",
                                                                                "DestroyEnvironmentBlock");
  if (auto fn = destroy.get()) (*fn)(block);
}
}  // namespace detail

// Kernel handles that are nullptr when absent (processes, threads, events, jobs, tokens).
using UniqueHandle = UniqueResource<HANDLE, detail::close_handle, 0>;
// File and pipe handles that are INVALID_HANDLE_VALUE when absent.
using UniqueFile = UniqueResource<HANDLE, detail::close_handle, -1>;
// Memory that Windows returns for the caller to LocalFree.
using UniqueLocal = UniqueResource<HLOCAL, detail::local_free, 0>;
// Service-manager and service handles (OpenSCManagerW, OpenServiceW).
using UniqueServiceHandle = UniqueResource<SC_HANDLE, detail::close_service_handle, 0>;
// A desktop opened by OpenInputDesktop or OpenDesktopW (user32).
using UniqueDesktop = UniqueResource<HDESK, detail::close_desktop, 0>;
// Memory that a WTS call returns for WTSFreeMemory (wtsapi32).
using UniqueWtsMemory = UniqueResource<void*, detail::wts_free, 0>;
// A block of CreateEnvironmentBlock, for DestroyEnvironmentBlock (userenv).
using UniqueEnvironmentBlock = UniqueResource<void*, detail::destroy_environment, 0>;

// A PROC_THREAD_ATTRIBUTE_LIST in a buffer of its own. Once initialised it is
// deleted (DeleteProcThreadAttributeList) before its buffer goes, by reset()
// or the destructor. Neither copied nor moved: the list points into itself.
class UniqueAttributeList {
 public:
  UniqueAttributeList() = default;
  UniqueAttributeList(const UniqueAttributeList&) = delete;
  UniqueAttributeList& operator=(const UniqueAttributeList&) = delete;
  ~UniqueAttributeList() { reset(); }

  // The buffer size InitializeProcThreadAttributeList asks for `count` attributes.
  static std::size_t size_for(DWORD count) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, count, 0, &size);
    return size;
  }
  // InitializeProcThreadAttributeList over a fresh buffer of `size` bytes.
  BOOL initialize(std::size_t size, DWORD count) {
    reset();
    buffer_.assign(size, 0);
    SIZE_T given = size;
    initialized_ = ::InitializeProcThreadAttributeList(get(), count, 0, &given) != FALSE;
    return initialized_ ? TRUE : FALSE;
  }
  // The list, or nullptr before a buffer was given.
  LPPROC_THREAD_ATTRIBUTE_LIST get() {
    return buffer_.empty() ? nullptr : reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
  }
  void reset() {
    if (initialized_) {
      const DWORD saved = ::GetLastError();
      ::DeleteProcThreadAttributeList(get());
      ::SetLastError(saved);
    }
    initialized_ = false;
    buffer_.clear();
  }

 private:
  std::vector<std::uint8_t> buffer_;
  bool initialized_ = false;
};

}  // namespace vor
