#include "standalone/cli/probe.h"

#include <algorithm>

#include "protocol/diagnostics.h"
#include "protocol/messages.h"
#include "standalone/cli/error_codes.h"

namespace vor::desktop {
namespace {

template <class T>
json::Value optional_value(const std::optional<T>& value) {
  return value ? json::Value(*value) : json::Value(nullptr);
}

void set(CliDocument& document, std::string key, json::Value value) {
  document.as_object()->push_back({std::move(key), std::move(value)});
}

}  // namespace

CliDocument probe_document(std::uint32_t session, const Status& outcome, const CallerFacts& caller,
                           std::uint64_t elapsed_ms) {
  CliDocument document;
  if (outcome) {
    document = json::Object{
        {"schemaVersion", kCliSchema},
        {"code", kWorkerReadyCode},
        {"ready", true},
        {"nextSafeAction", kProbeReadyGuidance},
    };
  } else {
    const Error& error = outcome.error();
    document = error_guidance(error_code_of(error), std::nullopt);
    set(document, "ready", false);
    if (const NotSentMarker* marker = error.find<NotSentMarker>()) {
      set(document, "startup",
          json::Object{{"phase", startup_phase_name(marker->phase)}, {"requestDispatched", false}});
    }
    if (auto win32 = os_error_code_of(error)) set(document, "win32Error", *win32);
  }
  set(document, "sessionId", session);
  set(document, "requestDispatched", false);
  set(document, "elapsedMs", elapsed_ms);
  set(document, "callerSessionId", optional_value(caller.session_id));
  set(document, "callerIsSystem", optional_value(caller.is_system));
  set(document, "callerInJob", optional_value(caller.in_job));
  const bool host_start = caller.session_id && *caller.session_id == session && caller.is_system == false;
  set(document, "reusableHostStartSupported", host_start);
  return document;
}

CliDocument run_probe(ProbeSys& sys, std::uint32_t session) {
  Clock& clock = sys.clock();
  const Clock::Monotonic start = clock.monotonic_now();
  const CallerFacts caller = sys.caller_facts();
  const Status outcome = sys.probe_worker(session);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(clock.monotonic_now() - start);
  return probe_document(session, outcome, caller, static_cast<std::uint64_t>(std::max<std::int64_t>(0, elapsed.count())));
}

}  // namespace vor::desktop
