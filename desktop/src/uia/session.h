// The UI Automation session of one element operation.
//
// `UiaSession::open` enters a multithreaded COM apartment on the calling
// thread, creates the automation object, turns automatic focus off and sets
// the 400 ms connection and transaction time-outs, and builds the one cache
// request (element scope, ten properties) that every search uses. The
// session closes in order when destroyed: the automation object, the cache
// request, then the apartment. The executor opens one around each of the
// element kinds.
//
//   auto session = UiaSession::open(com);
//   if (!session) return fail(std::move(session.error()));   // a DESKTOP_UIA_ code
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "common/error.h"
#include "uia/automation_port.h"

namespace vor::desktop::uia {

inline constexpr std::string_view kUiaApartmentUnavailable = "DESKTOP_UIA_APARTMENT_UNAVAILABLE";
inline constexpr std::string_view kUiaProviderUnavailable = "DESKTOP_UIA_PROVIDER_UNAVAILABLE";

// The connection and transaction time-outs of every automation call.
inline constexpr std::uint32_t kAutomationTimeoutMs = 400;

class UiaSession {
 public:
  static Result<UiaSession> open(ComSys& com);

  UiaSession(UiaSession&& other) noexcept;
  UiaSession& operator=(UiaSession&&) = delete;
  UiaSession(const UiaSession&) = delete;
  ~UiaSession();

  ComSys& com() { return *com_; }
  Automation& automation() { return *automation_; }
  CacheRequest& cache() { return *cache_; }

 private:
  explicit UiaSession(ComSys& com) : com_(&com) {}

  ComSys* com_;
  bool apartment_ = false;
  std::unique_ptr<Automation> automation_;
  std::unique_ptr<CacheRequest> cache_;
};

// The error of a failed COM call: the thread's error info is fetched and
// discarded, and `code` is the outermost message over the HRESULT.
Error com_failure(ComSys& com, HResult hr, std::string_view code);

// `com_failure` with "DESKTOP_UIA_PROVIDER_UNAVAILABLE".
inline Error provider_failure(ComSys& com, HResult hr) { return com_failure(com, hr, kUiaProviderUnavailable); }

// A property read of the provider: its value, or
// "DESKTOP_UIA_PROVIDER_UNAVAILABLE" over the HRESULT.
template <class T>
Result<T> read_property(const Com<T>& read, ComSys& com) {
  if (!read) return fail(provider_failure(com, read.error()));
  return *read;
}

}  // namespace vor::desktop::uia
