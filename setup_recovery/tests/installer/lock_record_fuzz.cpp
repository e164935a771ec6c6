// libFuzzer target over the component-update lock record reader: any input
// that decodes must re-encode to bytes that decode to the same record and
// re-encode to the same bytes; the holder's age and display form must hold
// for any recorded instant. Built and run by scripts/fuzz-run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "installer/component_update_lock.h"
#include "installer/errors.h"
#include "installer/utc_time.h"

namespace {

namespace vs = vor::setup;

[[noreturn]] void fault(const char* what) {
  std::fprintf(stderr, "lock_record_fuzz: %s\n", what);
  std::abort();
}

bool same(const vs::ComponentUpdateLockRecord& a, const vs::ComponentUpdateLockRecord& b) {
  return a.lock_id == b.lock_id && a.owner == b.owner && a.process_id == b.process_id &&
         a.acquired_at == b.acquired_at;
}

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto first = vs::decode_lock_record({data, size});
  if (!first) return 0;
  const std::string encoded = vs::encode_lock_record(*first);
  const auto second = vs::decode_lock_record(bytes_of(encoded));
  if (!second) fault("the encoding of a decoded record does not decode");
  if (!same(*first, *second)) fault("decode(encode(record)) differs from the record");
  if (vs::encode_lock_record(*second) != encoded) fault("re-encoding is not byte-stable");

  // The display form is the RFC 3339 text with a blank for "T" and " UTC" for "Z".
  std::string display = vor::format_rfc3339(first->acquired_at);
  display[10] = ' ';
  display.replace(display.size() - 1, 1, " UTC");
  if (vs::format_display(first->acquired_at) != display) fault("display form differs from the RFC 3339 text");

  // A foreign holder that is gone is stale exactly when acquired more than
  // 1800 s before now; a record with the installer's owner is stale at once.
  const vor::Status gone = vor::fail(vor::Error::os(vor::kErrorInvalidParameter));
  for (const vor::Time now : {vor::Time::min(), vor::Time{}, vor::Time::max(), first->acquired_at}) {
    const auto state = vs::judge_recorded_holder(*first, gone, now, first->process_id + 1);
    const bool old = now - first->acquired_at > std::chrono::seconds(1800);
    const bool want_stale = first->owner == vs::kLockOwnerInstaller || old;
    if ((state == vs::HolderState::kStale) != want_stale) fault("holder judged against the 1800 s rule");
  }
  return 0;
}
