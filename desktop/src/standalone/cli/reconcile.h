// `reconcile`: settles an unsettled mutating operation against a fresh,
// read-only observation of the same session, taken after the operation
// began, under the `.gate`. The receipt is written back "reconciled" with
// the observation's id, which lifts its fence on new mutating requests.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/error.h"
#include "protocol/response.h"
#include "standalone/cli/cli_documents.h"
#include "standalone/cli/commands.h"
#include "standalone/cli/operation_status.h"

namespace vor::desktop {

inline constexpr std::string_view kReconcileObservationRequired = "DESKTOP_RECONCILE_OBSERVATION_REQUIRED";
inline constexpr std::int64_t kObservationFreshnessMilliseconds = 15000;

Result<CliDocument> run_reconcile(StatePorts& ports, const cmd::Reconcile& command);

}  // namespace vor::desktop
