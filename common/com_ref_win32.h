// One owner of one COM reference, for the interfaces mingw declares and for
// the hand-declared ones alike (every COM interface begins with IUnknown's
// three slots, so Release is called through IUnknown). Move-only.
#pragma once

#include <unknwn.h>

#include <utility>

namespace vor::desktop {

template <class T>
class ComRef {
 public:
  ComRef() = default;
  explicit ComRef(T* p) : p_(p) {}  // takes over a reference
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ComRef(ComRef&& other) noexcept : p_(other.release()) {}
  ComRef& operator=(ComRef&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~ComRef() { reset(); }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  void reset(T* p = nullptr) {
    if (p_) reinterpret_cast<IUnknown*>(p_)->Release();
    p_ = p;
  }
  T* release() { return std::exchange(p_, nullptr); }
  // For out-parameters: releases the current reference and returns the slot.
  T** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }

  // QueryInterface into `out`; the call's HRESULT.
  template <class U>
  HRESULT query(REFIID iid, ComRef<U>& out) const {
    return reinterpret_cast<IUnknown*>(p_)->QueryInterface(iid, out.put_void());
  }

 private:
  T* p_ = nullptr;
};

}  // namespace vor::desktop
