// The pipe messages besides `Request` and `Response`.
//
// Worker pipe: `WorkerReady` (worker), `ReadyAck` (broker, optionally with an
// `ArmedInputPolicy`), then `Request` and `Response` when `execute` is true.
// Session pipe, one exchange per connection: `Rpc` (client, carrying a
// `SessionAction`), `Reply` (host), `Ack` (client). Every message is a strict
// record; each travels as one frame (frame.h) bounded by its own maximum.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "common/error.h"
#include "common/json.h"
#include "common/time.h"
#include "protocol/request.h"

namespace vor::desktop {

inline constexpr std::string_view kWorkerReadyCode = "DESKTOP_WORKER_READY";
// The code of a `WorkerReady` whose worker refused the pipe server it reached.
inline constexpr std::string_view kPeerNotAuthorized = "DESKTOP_PEER_NOT_AUTHORIZED";

struct WorkerReady {
  std::uint32_t protocol = 1;
  std::uint32_t process_id = 0;
  std::uint32_t session_id = 0;
  std::string code;
  std::optional<std::int32_t> win32_error;  // omitted from the document when absent
  bool operator==(const WorkerReady&) const = default;
};

enum class InputPolicyScope { kFullscreenDiagnostic, kVisibleSingleAction };
std::string_view input_policy_scope_name(InputPolicyScope scope);

struct ArmedInputPolicy {
  std::string arm_id;
  std::string operation_id;
  std::uint32_t session_id = 0;
  std::uint32_t process_id = 0;
  std::uint64_t process_created = 0;  // a plain number, not a decimal-string scalar
  std::uint64_t window_handle = 0;
  Time expires_at{};
  std::string cancel_event;
  InputPolicyScope scope = InputPolicyScope::kFullscreenDiagnostic;
  std::optional<std::uint32_t> announcement_input_tick;  // written as null when absent
  bool operator==(const ArmedInputPolicy&) const = default;
};

struct ReadyAck {
  std::uint32_t protocol = 1;
  bool execute = false;
  std::optional<ArmedInputPolicy> input_policy;  // omitted from the document when absent
  bool operator==(const ReadyAck&) const = default;
};

// The session host's actions, in their tag order.
struct SessionStatus {
  bool operator==(const SessionStatus&) const = default;
};
struct SessionExecute {
  Request request;
  bool operator==(const SessionExecute&) const = default;
};
struct SessionOperationStatus {
  std::string id;
  bool operator==(const SessionOperationStatus&) const = default;
};
struct SessionExportImage {
  std::string id;
  bool operator==(const SessionExportImage&) const = default;
};
struct SessionReconcile {
  std::string id;
  std::string observation;
  bool operator==(const SessionReconcile&) const = default;
};
struct SessionClose {
  bool operator==(const SessionClose&) const = default;
};
struct SessionFullscreenBegin {
  json::Value request;  // any value, kept as a tree
  bool operator==(const SessionFullscreenBegin&) const = default;
};
struct SessionFullscreenStatus {
  std::string id;
  bool operator==(const SessionFullscreenStatus&) const = default;
};
struct SessionFullscreenEnd {
  std::string id;
  bool operator==(const SessionFullscreenEnd&) const = default;
};

using SessionAction =
    std::variant<SessionStatus, SessionExecute, SessionOperationStatus, SessionExportImage, SessionReconcile,
                 SessionClose, SessionFullscreenBegin, SessionFullscreenStatus, SessionFullscreenEnd>;

// The `kind` of each variant, by variant index.
std::string_view session_action_kind(const SessionAction& action);

struct Rpc {
  std::uint32_t protocol = 1;
  std::string request_id;
  std::optional<std::uint64_t> peer_query_handle;  // omitted from the document when absent
  SessionAction action;
  bool operator==(const Rpc&) const = default;
};

struct Reply {
  std::uint32_t protocol = 1;
  std::string request_id;
  json::Value result;  // written with object keys in ascending byte order
  bool operator==(const Reply&) const = default;
};

struct Ack {
  std::uint32_t protocol = 1;
  std::string request_id;
  bool operator==(const Ack&) const = default;
};

// Compact encoders, appending to `out` (the frame writer checks the size).
void encode_worker_ready(std::string& out, const WorkerReady& message);
void encode_ready_ack(std::string& out, const ReadyAck& message);
void encode_armed_input_policy(std::string& out, const ArmedInputPolicy& policy);
void encode_session_action(std::string& out, const SessionAction& action);
void encode_rpc(std::string& out, const Rpc& message);
void encode_reply(std::string& out, const Reply& message);
void encode_ack(std::string& out, const Ack& message);

// The same, into a new buffer.
std::string encode_worker_ready(const WorkerReady& message);
std::string encode_ready_ack(const ReadyAck& message);
std::string encode_rpc(const Rpc& message);
std::string encode_reply(const Reply& message);
std::string encode_ack(const Ack& message);

// Decoders of one whole frame body (only whitespace may follow the document).
Result<WorkerReady> decode_worker_ready(std::string_view bytes);
Result<ReadyAck> decode_ready_ack(std::string_view bytes);
Result<Rpc> decode_rpc(std::string_view bytes);
Result<Reply> decode_reply(std::string_view bytes);
Result<Ack> decode_ack(std::string_view bytes);

// Decoders of a member already held as a value.
Result<ArmedInputPolicy> decode_armed_input_policy(const json::Value& value);
Result<SessionAction> decode_session_action(const json::Value& value);
Result<InputPolicyScope> decode_input_policy_scope(const json::Value& value);

}  // namespace vor::desktop
