#include "executor/input_owner.h"

namespace vor::desktop {

std::u16string input_owner_mutex_name(std::uint32_t session) {
  std::u16string name(kInputOwnerMutexPrefix);
  for (char c : std::to_string(session)) name.push_back(static_cast<char16_t>(c));
  return name;
}

InputOwner::~InputOwner() {
  if (!mutex_) return;
  (void)mutex_->release();
  mutex_.reset();
}

Result<InputOwner> acquire_input_owner(InputOwnerSys& sys, std::uint32_t session) {
  auto mutex = sys.create_mutex(input_owner_mutex_name(session));
  if (!mutex) return fail(win32_failure(mutex.error(), kOwnerUnavailable));
  if (!*mutex) return fail(std::string(kOwnerUnavailable));
  const std::uint32_t waited = (*mutex)->wait_now();
  if (waited != kWaitObject0 && waited != kWaitAbandoned) return fail(std::string(kOwnerConflict));
  return InputOwner(std::move(*mutex));
}

}  // namespace vor::desktop
