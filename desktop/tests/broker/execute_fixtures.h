// Requests and worker answers for the execute transaction's tests, native
// and Windows alike: an observed window, requests over it, the worker's
// `WorkerReady` frame and a response it would send.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "common/time.h"
#include "native/execution_evidence.h"
#include "protocol/messages.h"
#include "protocol/request.h"
#include "protocol/response.h"

namespace vor::desktop::testing {

// The window a request targets, as observed at `observed_at`.
inline Window observed_window(Time observed_at) {
  Window w;
  w.handle = 0x10010;
  w.process_id = 100;
  w.process_created = 133'000'000'000'000'000ULL;
  w.rect = {10, 20, 650, 500};
  w.title = "Editor";
  w.observed_at = observed_at;
  w.last_input_tick = 1000;
  w.foreground = true;
  return w;
}

inline Request request_of(std::string id, Action action, std::uint32_t session = 1) {
  return Request{1, std::move(id), session, std::move(action)};
}

// The worker's announcement: ready, from `process_id` in `session`.
inline std::string ready_frame(std::uint32_t process_id = 700, std::uint32_t session = 1) {
  WorkerReady r;
  r.protocol = 1;
  r.process_id = process_id;
  r.session_id = session;
  r.code = std::string(kWorkerReadyCode);
  return encode_worker_ready(r);
}

// What the worker answers for `request` with this code; an observation
// lists `seen`.
inline Response answer(const Request& request, std::string code, const Window& seen) {
  Response r = build_response(request, code, "Worker guidance.");
  if (code == kObservedCode) r.windows.push_back(seen);
  return r;
}

}  // namespace vor::desktop::testing
