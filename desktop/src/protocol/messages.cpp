#include "protocol/messages.h"

#include "protocol/response_tree.h"

namespace vor::desktop {
namespace {

using json::Mode;
using json::ObjectWriter;
using json::Record;
using json::Value;

constexpr std::string_view kInputPolicyScopeNames[] = {"fullscreen_diagnostic", "visible_single_action"};
constexpr std::string_view kSessionActionKinds[] = {"status",          "execute",          "operationStatus",
                                                    "exportImage",     "reconcile",        "close",
                                                    "fullscreenBegin", "fullscreenStatus", "fullscreenEnd"};

constexpr std::string_view kWorkerReadyKeys[] = {"protocol", "processId", "sessionId", "code", "win32Error"};
constexpr std::string_view kReadyAckKeys[] = {"protocol", "execute", "inputPolicy"};
constexpr std::string_view kPolicyKeys[] = {"armId",        "operationId", "sessionId",   "processId",
                                            "processCreated", "windowHandle", "expiresAt", "cancelEvent",
                                            "scope",        "announcementInputTick"};
constexpr std::string_view kRpcKeys[] = {"protocol", "requestId", "peerQueryHandle", "action"};
constexpr std::string_view kReplyKeys[] = {"protocol", "requestId", "result"};
constexpr std::string_view kAckKeys[] = {"protocol", "requestId"};
constexpr std::string_view kRequestFieldKeys[] = {"request"};
constexpr std::string_view kIdKeys[] = {"id"};
constexpr std::string_view kReconcileKeys[] = {"id", "observation"};

Result<Value> any_value(const Value& v) { return v; }

// A record variant: `read` fills its fields from the members besides
// "kind", which are strict.
template <class A, std::size_t N, class Read>
Result<SessionAction> record_action(const Value& v, const std::string_view (&keys)[N], Read read) {
  A a;
  Record r(v, keys, Mode::kStrict, /*tagged=*/true);
  read(r, a);
  auto done = finish_record(r, std::move(a), "SessionAction");
  if (!done) return fail(std::move(done.error()));
  return SessionAction(std::move(*done));
}

// A record variant with one text field `id`.
template <class A>
Result<SessionAction> id_action(const Value& v) {
  return record_action<A>(v, kIdKeys, [](Record& r, A& a) { r.required("id", a.id); });
}

std::string with_capacity(std::size_t n) {
  std::string out;
  out.reserve(n);
  return out;
}

}  // namespace

std::string_view input_policy_scope_name(InputPolicyScope scope) {
  return kInputPolicyScopeNames[static_cast<std::size_t>(scope)];
}

std::string_view session_action_kind(const SessionAction& action) { return kSessionActionKinds[action.index()]; }

// --- encoders ---

void encode_worker_ready(std::string& out, const WorkerReady& m) {
  ObjectWriter w(out);
  json::write_uint(w.key("protocol"), m.protocol);
  json::write_uint(w.key("processId"), m.process_id);
  json::write_uint(w.key("sessionId"), m.session_id);
  json::write_string(w.key("code"), m.code);
  if (m.win32_error) json::write_int(w.key("win32Error"), *m.win32_error);
  w.close();
}

void encode_armed_input_policy(std::string& out, const ArmedInputPolicy& p) {
  ObjectWriter w(out);
  json::write_string(w.key("armId"), p.arm_id);
  json::write_string(w.key("operationId"), p.operation_id);
  json::write_uint(w.key("sessionId"), p.session_id);
  json::write_uint(w.key("processId"), p.process_id);
  json::write_uint(w.key("processCreated"), p.process_created);
  json::write_uint(w.key("windowHandle"), p.window_handle);
  json::write_time(w.key("expiresAt"), p.expires_at);
  json::write_string(w.key("cancelEvent"), p.cancel_event);
  json::write_string(w.key("scope"), input_policy_scope_name(p.scope));
  if (p.announcement_input_tick) {
    json::write_uint(w.key("announcementInputTick"), *p.announcement_input_tick);
  } else {
    json::write_null(w.key("announcementInputTick"));
  }
  w.close();
}

void encode_ready_ack(std::string& out, const ReadyAck& m) {
  ObjectWriter w(out);
  json::write_uint(w.key("protocol"), m.protocol);
  json::write_bool(w.key("execute"), m.execute);
  if (m.input_policy) encode_armed_input_policy(w.key("inputPolicy"), *m.input_policy);
  w.close();
}

void encode_session_action(std::string& out, const SessionAction& action) {
  ObjectWriter w(out);
  json::write_string(w.key("kind"), session_action_kind(action));
  std::visit(
      [&](const auto& a) {
        using A = std::decay_t<decltype(a)>;
        if constexpr (std::is_same_v<A, SessionExecute>) {
          encode_request(w.key("request"), a.request);
        } else if constexpr (std::is_same_v<A, SessionFullscreenBegin>) {
          json::write_sorted(w.key("request"), a.request);
        } else if constexpr (std::is_same_v<A, SessionReconcile>) {
          json::write_string(w.key("id"), a.id);
          json::write_string(w.key("observation"), a.observation);
        } else if constexpr (requires { a.id; }) {
          json::write_string(w.key("id"), a.id);
        }
      },
      action);
  w.close();
}

void encode_rpc(std::string& out, const Rpc& m) {
  ObjectWriter w(out);
  json::write_uint(w.key("protocol"), m.protocol);
  json::write_string(w.key("requestId"), m.request_id);
  if (m.peer_query_handle) json::write_uint(w.key("peerQueryHandle"), *m.peer_query_handle);
  encode_session_action(w.key("action"), m.action);
  w.close();
}

void encode_reply(std::string& out, const Reply& m) {
  ObjectWriter w(out);
  json::write_uint(w.key("protocol"), m.protocol);
  json::write_string(w.key("requestId"), m.request_id);
  json::write_sorted(w.key("result"), m.result);
  w.close();
}

void encode_ack(std::string& out, const Ack& m) {
  ObjectWriter w(out);
  json::write_uint(w.key("protocol"), m.protocol);
  json::write_string(w.key("requestId"), m.request_id);
  w.close();
}

std::string encode_worker_ready(const WorkerReady& m) {
  std::string out = with_capacity(128);
  encode_worker_ready(out, m);
  return out;
}
std::string encode_ready_ack(const ReadyAck& m) {
  std::string out = with_capacity(128);
  encode_ready_ack(out, m);
  return out;
}
std::string encode_rpc(const Rpc& m) {
  // An execute action carries a whole request.
  std::string out = with_capacity(std::holds_alternative<SessionExecute>(m.action) ? 16384 : 128);
  encode_rpc(out, m);
  return out;
}
std::string encode_reply(const Reply& m) {
  std::string out = with_capacity(128);
  encode_reply(out, m);
  return out;
}
std::string encode_ack(const Ack& m) {
  std::string out = with_capacity(128);
  encode_ack(out, m);
  return out;
}

// --- decoders ---

Result<InputPolicyScope> decode_input_policy_scope(const Value& v) {
  auto index = json::read_name(v, kInputPolicyScopeNames);
  if (!index) return fail(std::move(index.error()));
  return static_cast<InputPolicyScope>(*index);
}

Result<ArmedInputPolicy> decode_armed_input_policy(const Value& v) {
  ArmedInputPolicy p;
  Record r(v, kPolicyKeys);
  r.required("armId", p.arm_id)
      .required("operationId", p.operation_id)
      .required("sessionId", p.session_id)
      .required("processId", p.process_id)
      .required("processCreated", p.process_created)
      .required("windowHandle", p.window_handle)
      .required("expiresAt", p.expires_at)
      .required("cancelEvent", p.cancel_event)
      .required("scope", p.scope, decode_input_policy_scope)
      .optional("announcementInputTick", p.announcement_input_tick);
  return finish_record(r, std::move(p), "ArmedInputPolicy");
}

Result<SessionAction> decode_session_action(const Value& v) {
  auto tag = json::read_tag(v, kSessionActionKinds);
  if (!tag) return fail(std::move(tag.error()).context("SessionAction"));
  switch (*tag) {
    case 0:
      return SessionAction(SessionStatus{});  // other members ignored
    case 1:
      return record_action<SessionExecute>(v, kRequestFieldKeys, [](Record& r, SessionExecute& a) {
        r.required("request", a.request, request_from_value);
      });
    case 2:
      return id_action<SessionOperationStatus>(v);
    case 3:
      return id_action<SessionExportImage>(v);
    case 4:
      return record_action<SessionReconcile>(v, kReconcileKeys, [](Record& r, SessionReconcile& a) {
        r.required("id", a.id).required("observation", a.observation);
      });
    case 5:
      return SessionAction(SessionClose{});  // other members ignored
    case 6:
      return record_action<SessionFullscreenBegin>(v, kRequestFieldKeys, [](Record& r, SessionFullscreenBegin& a) {
        r.required("request", a.request, any_value);
      });
    case 7:
      return id_action<SessionFullscreenStatus>(v);
    default:
      return id_action<SessionFullscreenEnd>(v);
  }
}

Result<WorkerReady> decode_worker_ready(std::string_view bytes) {
  return json::decode_document(bytes, [](const Value& v) -> Result<WorkerReady> {
    WorkerReady m;
    Record r(v, kWorkerReadyKeys);
    r.required("protocol", m.protocol)
        .required("processId", m.process_id)
        .required("sessionId", m.session_id)
        .required("code", m.code)
        .optional("win32Error", m.win32_error);
    return finish_record(r, std::move(m), "WorkerReady");
  });
}

Result<ReadyAck> decode_ready_ack(std::string_view bytes) {
  return json::decode_document(bytes, [](const Value& v) -> Result<ReadyAck> {
    ReadyAck m;
    Record r(v, kReadyAckKeys);
    r.required("protocol", m.protocol)
        .required("execute", m.execute)
        .optional("inputPolicy", m.input_policy, decode_armed_input_policy);
    return finish_record(r, std::move(m), "ReadyAck");
  });
}

Result<Rpc> decode_rpc(std::string_view bytes) {
  return json::decode_document(bytes, [](const Value& v) -> Result<Rpc> {
    Rpc m;
    Record r(v, kRpcKeys);
    r.required("protocol", m.protocol)
        .required("requestId", m.request_id)
        .optional("peerQueryHandle", m.peer_query_handle)
        .required("action", m.action, decode_session_action);
    return finish_record(r, std::move(m), "Rpc");
  });
}

Result<Reply> decode_reply(std::string_view bytes) {
  return json::decode_document(bytes, [](const Value& v) -> Result<Reply> {
    Reply m;
    Record r(v, kReplyKeys);
    r.required("protocol", m.protocol).required("requestId", m.request_id).required("result", m.result, any_value);
    return finish_record(r, std::move(m), "Reply");
  });
}

Result<Ack> decode_ack(std::string_view bytes) {
  return json::decode_document(bytes, [](const Value& v) -> Result<Ack> {
    Ack m;
    Record r(v, kAckKeys);
    r.required("protocol", m.protocol).required("requestId", m.request_id);
    return finish_record(r, std::move(m), "Ack");
  });
}

}  // namespace vor::desktop
