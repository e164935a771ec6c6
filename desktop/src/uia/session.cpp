#include "uia/session.h"

#include <string>
#include <utility>

namespace vor::desktop::uia {

namespace {

std::string hresult_text(HResult hr) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "HRESULT 0x";
  const auto value = static_cast<std::uint32_t>(hr);
  for (int shift = 28; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
  return out;
}

}  // namespace

Error com_failure(ComSys& com, HResult hr, std::string_view code) {
  com.discard_error_info();
  return Error(hresult_text(hr)).context(std::string(code));
}

Result<UiaSession> UiaSession::open(ComSys& com) {
  UiaSession session(com);
  const HResult init = com.initialize_multithreaded();
  if (com_failed(init)) return fail(com_failure(com, init, kUiaApartmentUnavailable));
  session.apartment_ = true;

  // From here on a failure leaves the apartment again (the destructor).
  auto automation = com.create_automation();
  if (!automation) return fail(com_failure(com, automation.error(), kUiaProviderUnavailable));
  if (!*automation) return fail(std::string(kUiaProviderUnavailable));
  session.automation_ = std::move(*automation);

  {
    auto settings = session.automation_->query_settings();
    if (!settings) return fail(com_failure(com, settings.error(), kUiaProviderUnavailable));
    if (!*settings) return fail(std::string(kUiaProviderUnavailable));
    AutomationSettings& s = **settings;
    if (HResult hr = s.put_auto_set_focus(false); com_failed(hr)) return fail(com_failure(com, hr, kUiaProviderUnavailable));
    if (HResult hr = s.put_connection_timeout(kAutomationTimeoutMs); com_failed(hr)) {
      return fail(com_failure(com, hr, kUiaProviderUnavailable));
    }
    if (HResult hr = s.put_transaction_timeout(kAutomationTimeoutMs); com_failed(hr)) {
      return fail(com_failure(com, hr, kUiaProviderUnavailable));
    }
  }  // the settings interface is released here

  auto cache = session.automation_->create_cache_request();
  if (!cache) return fail(com_failure(com, cache.error(), kUiaProviderUnavailable));
  if (!*cache) return fail(std::string(kUiaProviderUnavailable));
  session.cache_ = std::move(*cache);
  if (HResult hr = session.cache_->set_tree_scope_element(); com_failed(hr)) {
    return fail(com_failure(com, hr, kUiaProviderUnavailable));
  }
  for (PropertyId property : kCachedProperties) {
    if (HResult hr = session.cache_->add_property(property); com_failed(hr)) {
      return fail(com_failure(com, hr, kUiaProviderUnavailable));
    }
  }
  return session;
}

UiaSession::UiaSession(UiaSession&& other) noexcept
    : com_(other.com_),
      apartment_(std::exchange(other.apartment_, false)),
      automation_(std::move(other.automation_)),
      cache_(std::move(other.cache_)) {}

UiaSession::~UiaSession() {
  automation_.reset();
  cache_.reset();
  if (apartment_) com_->uninitialize();
}

}  // namespace vor::desktop::uia
