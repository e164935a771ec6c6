#include "protocol/messages.h"

#include <type_traits>

#include "common/json_fields.h"

namespace vor::desktop {
namespace {

using fields::Alternative;
using json::Mode;
using json::Value;

constexpr std::string_view kInputPolicyScopeNames[] = {"fullscreen_diagnostic", "visible_single_action"};
constexpr std::string_view kSessionActionKinds[] = {"status",          "execute",          "operationStatus",
                                                    "exportImage",     "reconcile",        "close",
                                                    "fullscreenBegin", "fullscreenStatus", "fullscreenEnd"};

constexpr fields::Names<InputPolicyScope> kInputPolicyScope{kInputPolicyScopeNames};

// A whole request inside a session action.
struct RequestField {
  static Result<Request> from(const Value& v) { return request_from_value(v); }
  static void write(std::string& out, const Request& request) { encode_request(out, request); }
};

constexpr auto kWorkerReady = fields::record<WorkerReady>(
    [](auto& f, auto& m) {
      f.required("protocol", m.protocol);
      f.required("processId", m.process_id);
      f.required("sessionId", m.session_id);
      f.required("code", m.code);
      f.omittable("win32Error", m.win32_error);
    },
    Mode::kStrict, "WorkerReady");

constexpr auto kArmedInputPolicy = fields::record<ArmedInputPolicy>(
    [](auto& f, auto& p) {
      f.required("armId", p.arm_id);
      f.required("operationId", p.operation_id);
      f.required("sessionId", p.session_id);
      f.required("processId", p.process_id);
      f.required("processCreated", p.process_created);
      f.required("windowHandle", p.window_handle);
      f.required("expiresAt", p.expires_at);
      f.required("cancelEvent", p.cancel_event);
      f.required("scope", p.scope, kInputPolicyScope);
      f.nullable("announcementInputTick", p.announcement_input_tick);
    },
    Mode::kStrict, "ArmedInputPolicy");

constexpr auto kReadyAck = fields::record<ReadyAck>(
    [](auto& f, auto& m) {
      f.required("protocol", m.protocol);
      f.required("execute", m.execute);
      f.omittable("inputPolicy", m.input_policy, kArmedInputPolicy);
    },
    Mode::kStrict, "ReadyAck");

// "status" and "close" ignore members besides their kind; every other action
// refuses members it does not declare.
constexpr auto kSessionAction = fields::tagged<SessionAction>(
    kSessionActionKinds,
    [](auto& f, auto& a) {
      using A = Alternative<decltype(a)>;
      if constexpr (std::is_same_v<A, SessionStatus> || std::is_same_v<A, SessionClose>) {
        f.ignore_members();
      } else if constexpr (std::is_same_v<A, SessionExecute>) {
        f.required("request", a.request, RequestField{});
      } else if constexpr (std::is_same_v<A, SessionFullscreenBegin>) {
        f.required("request", a.request, fields::SortedValue{});
      } else if constexpr (std::is_same_v<A, SessionReconcile>) {
        f.required("id", a.id);
        f.required("observation", a.observation);
      } else {
        f.required("id", a.id);
      }
    },
    "SessionAction");

constexpr auto kRpc = fields::record<Rpc>(
    [](auto& f, auto& m) {
      f.required("protocol", m.protocol);
      f.required("requestId", m.request_id);
      f.omittable("peerQueryHandle", m.peer_query_handle);
      f.required("action", m.action, kSessionAction);
    },
    Mode::kStrict, "Rpc");

constexpr auto kReply = fields::record<Reply>(
    [](auto& f, auto& m) {
      f.required("protocol", m.protocol);
      f.required("requestId", m.request_id);
      f.required("result", m.result, fields::SortedValue{});
    },
    Mode::kStrict, "Reply");

constexpr auto kAck = fields::record<Ack>(
    [](auto& f, auto& m) {
      f.required("protocol", m.protocol);
      f.required("requestId", m.request_id);
    },
    Mode::kStrict, "Ack");

// The encoding of `message` into a string reserved for `capacity` bytes.
template <class Codec, class M>
std::string encoded(const Codec& codec, const M& message, std::size_t capacity) {
  std::string out;
  out.reserve(capacity);
  codec.write(out, message);
  return out;
}

template <class Codec>
auto decoded(const Codec& codec, std::string_view bytes) {
  return json::decode_document(bytes, [&codec](const Value& v) { return codec.from(v); });
}

}  // namespace

std::string_view input_policy_scope_name(InputPolicyScope scope) { return kInputPolicyScope.name(scope); }

std::string_view session_action_kind(const SessionAction& action) { return kSessionActionKinds[action.index()]; }

// --- encoders ---

void encode_worker_ready(std::string& out, const WorkerReady& m) { kWorkerReady.write(out, m); }
void encode_armed_input_policy(std::string& out, const ArmedInputPolicy& p) { kArmedInputPolicy.write(out, p); }
void encode_ready_ack(std::string& out, const ReadyAck& m) { kReadyAck.write(out, m); }
void encode_session_action(std::string& out, const SessionAction& action) { kSessionAction.write(out, action); }
void encode_rpc(std::string& out, const Rpc& m) { kRpc.write(out, m); }
void encode_reply(std::string& out, const Reply& m) { kReply.write(out, m); }
void encode_ack(std::string& out, const Ack& m) { kAck.write(out, m); }

std::string encode_worker_ready(const WorkerReady& m) { return encoded(kWorkerReady, m, 128); }
std::string encode_ready_ack(const ReadyAck& m) { return encoded(kReadyAck, m, 128); }
std::string encode_rpc(const Rpc& m) {
  // An execute action carries a whole request.
  return encoded(kRpc, m, std::holds_alternative<SessionExecute>(m.action) ? 16384 : 128);
}
std::string encode_reply(const Reply& m) { return encoded(kReply, m, 128); }
std::string encode_ack(const Ack& m) { return encoded(kAck, m, 128); }

// --- decoders ---

Result<InputPolicyScope> decode_input_policy_scope(const Value& v) { return kInputPolicyScope.from(v); }
Result<ArmedInputPolicy> decode_armed_input_policy(const Value& v) { return kArmedInputPolicy.from(v); }
Result<SessionAction> decode_session_action(const Value& v) { return kSessionAction.from(v); }

Result<WorkerReady> decode_worker_ready(std::string_view bytes) { return decoded(kWorkerReady, bytes); }
Result<ReadyAck> decode_ready_ack(std::string_view bytes) { return decoded(kReadyAck, bytes); }
Result<Rpc> decode_rpc(std::string_view bytes) { return decoded(kRpc, bytes); }
Result<Reply> decode_reply(std::string_view bytes) { return decoded(kReply, bytes); }
Result<Ack> decode_ack(std::string_view bytes) { return decoded(kAck, bytes); }

}  // namespace vor::desktop
