// The input-owner mutex: one desktop operation at a time per Windows
// session, across every worker process of that session. It is taken without
// waiting; a mutex whose owner died (abandoned) counts as taken.
//
//   auto owner = acquire_input_owner(sys, request.session_id);
//   if (!owner) return fail(std::move(owner.error()));  // DESKTOP_OWNER_CONFLICT / _UNAVAILABLE
//   // ... the operation; the owner releases and closes the mutex when dropped
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/error.h"
#include "executor/input_owner_sys.h"
#include "native/owner_conflict.h"

namespace vor::desktop {

inline constexpr std::string_view kOwnerUnavailable = "DESKTOP_OWNER_UNAVAILABLE";
inline constexpr std::u16string_view kInputOwnerMutexPrefix = u"Local\\VorKerno.Desktop.Input.";

// WaitForSingleObject results that leave the mutex owned by the caller.
inline constexpr std::uint32_t kWaitObject0 = 0x00000000;
inline constexpr std::uint32_t kWaitAbandoned = 0x00000080;

// DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2.
inline constexpr std::intptr_t kPerMonitorAwareV2 = -4;

// "Local\VorKerno.Desktop.Input." and the session in decimal.
std::u16string input_owner_mutex_name(std::uint32_t session);

// The owned mutex. Dropping it releases the mutex, then closes the handle.
class InputOwner {
 public:
  InputOwner(InputOwner&&) noexcept = default;
  InputOwner& operator=(InputOwner&&) = delete;
  InputOwner(const InputOwner&) = delete;
  ~InputOwner();

 private:
  friend Result<InputOwner> acquire_input_owner(InputOwnerSys& sys, std::uint32_t session);
  explicit InputOwner(std::unique_ptr<InputOwnerSys::Mutex> mutex) : mutex_(std::move(mutex)) {}
  std::unique_ptr<InputOwnerSys::Mutex> mutex_;
};

// Opens the session's mutex and takes it without waiting. A null handle is
// "DESKTOP_OWNER_UNAVAILABLE" (over the Win32 error); any wait result other
// than signalled or abandoned closes the handle and is
// "DESKTOP_OWNER_CONFLICT".
Result<InputOwner> acquire_input_owner(InputOwnerSys& sys, std::uint32_t session);

}  // namespace vor::desktop
