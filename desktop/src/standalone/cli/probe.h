// The probe document: whether a worker could be started, authenticated and
// ended in a session, with facts about the caller.
//
// The one-shot runner calls `run_probe` with the probe services that the
// composition root built (the broker's worker launch, broker/probe.h). A
// failed probe is a document with "ready": false, never an error.
#pragma once

#include <cstdint>
#include <optional>

#include "common/error.h"
#include "native/clock.h"
#include "standalone/cli/cli_documents.h"

namespace vor::desktop {

inline constexpr std::string_view kProbeReadyGuidance =
    "The finite helper authenticated and exited without dispatch. Observe the chosen session; desktop lock, capture "
    "and application outcome are not verified by this probe.";

// Each fact is unknown (nullopt) when it could not be read.
struct CallerFacts {
  std::optional<std::uint32_t> session_id;
  std::optional<bool> is_system;
  std::optional<bool> in_job;
};

class ProbeSys {
 public:
  virtual ~ProbeSys() = default;
  virtual CallerFacts caller_facts() = 0;
  // Starts a worker for the session, runs the readiness exchange without
  // execution and waits for the worker's end.
  virtual Status probe_worker(std::uint32_t session) = 0;
  virtual Clock& clock() = 0;
};

// The ready document when `outcome` succeeded, else the failed one.
CliDocument probe_document(std::uint32_t session, const Status& outcome, const CallerFacts& caller,
                           std::uint64_t elapsed_ms);

CliDocument run_probe(ProbeSys& sys, std::uint32_t session);

}  // namespace vor::desktop
