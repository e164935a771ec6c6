#include "native/input_sending.h"

#include <string>

namespace vor::desktop {

Status send_input_batch(InputSys& input, const std::vector<InputRecord>& records, bool& dispatched) {
  const auto sent = input.send_input(records);
  const std::size_t inserted = sent ? *sent : 0;
  if (inserted != 0) dispatched = true;
  if (inserted == records.size()) return {};
  const auto release = release_stuck_inputs(records, records.size(), inserted);
  if (!release.empty()) (void)input.send_input(release);
  return fail(coded(kInputOutcomeUnknown));
}

}  // namespace vor::desktop
