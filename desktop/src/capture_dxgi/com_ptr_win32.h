// One owner per COM interface pointer: Release when dropped, move-only.
#pragma once

#include <unknwn.h>

#include <utility>

namespace vor::desktop {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  explicit ComPtr(T* p) : p_(p) {}  // takes over one reference
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) reset(std::exchange(other.p_, nullptr));
    return *this;
  }
  ~ComPtr() { reset(); }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  void reset(T* p = nullptr) {
    if (p_) p_->Release();
    p_ = p;
  }
  T* release() { return std::exchange(p_, nullptr); }
  // For out-parameters: releases the current pointer and returns its address.
  T** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }

 private:
  T* p_ = nullptr;
};

}  // namespace vor::desktop
