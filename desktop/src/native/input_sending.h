// Sending one batch of input records: one SendInput, and when it inserted
// fewer records than the batch, one more with the records that release what
// the sent prefix left pressed.
//
//   if (auto s = send_input_batch(ports.input, records, flags.dispatched); !s) return s;
#pragma once

#include <vector>

#include "common/error.h"
#include "native/execution_evidence.h"
#include "native/input_records.h"
#include "native/ports.h"

namespace vor::desktop {

// Sends the batch; `dispatched` becomes true as soon as any record was
// inserted (it is never reset). A batch not inserted whole is released as far
// as it went (that second call's result is ignored) and fails with
// "DESKTOP_INPUT_OUTCOME_UNKNOWN": its effect may have happened.
Status send_input_batch(InputSys& input, const std::vector<InputRecord>& records, bool& dispatched);

}  // namespace vor::desktop
