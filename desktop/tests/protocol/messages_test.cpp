#include "protocol/messages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "document_fixture.h"

namespace vor::desktop {
namespace {

using testing::with_appended;
using testing::with_member;
using testing::without_member;

constexpr std::string_view kPolicyJson =
    R"({"armId":"arm-1","operationId":"op-1","sessionId":1,"processId":4242,"processCreated":133000000000000000,)"
    R"("windowHandle":18446744073709551615,"expiresAt":"2026-03-04T05:06:07.250Z","cancelEvent":"Local\\vor-cancel",)"
    R"("scope":"visible_single_action","announcementInputTick":null})";

constexpr std::string_view kInspectRequestJson =
    R"({"protocol":1,"operationId":"op-1","sessionId":1,"action":{"kind":"inspect"}})";

// Each message once, exactly as its encoder writes it; decoding and
// re-encoding must give the same bytes.
struct Canonical {
  const char* name;
  std::string json;
  std::string (*reencode)(std::string_view);
};

template <class Decode, class Encode>
std::string roundtrip(std::string_view bytes, Decode decode, Encode encode) {
  auto m = decode(bytes);
  if (!m) return "decode failed: " + m.error().display_chain();
  return encode(*m);
}

std::string ready_rt(std::string_view b) {
  return roundtrip(b, decode_worker_ready, [](const WorkerReady& m) { return encode_worker_ready(m); });
}
std::string ack_rt(std::string_view b) {
  return roundtrip(b, decode_ready_ack, [](const ReadyAck& m) { return encode_ready_ack(m); });
}
std::string rpc_rt(std::string_view b) {
  return roundtrip(b, decode_rpc, [](const Rpc& m) { return encode_rpc(m); });
}
std::string reply_rt(std::string_view b) {
  return roundtrip(b, decode_reply, [](const Reply& m) { return encode_reply(m); });
}
std::string client_ack_rt(std::string_view b) {
  return roundtrip(b, decode_ack, [](const Ack& m) { return encode_ack(m); });
}

std::string rpc_with(std::string_view action) {
  return R"({"protocol":1,"requestId":"req-1","action":)" + std::string(action) + "}";
}

std::vector<Canonical> canonical_messages() {
  return {
      {"ready worker", R"({"protocol":1,"processId":77,"sessionId":1,"code":"DESKTOP_WORKER_READY"})", ready_rt},
      {"failed worker",
       R"({"protocol":1,"processId":77,"sessionId":1,"code":"DESKTOP_PEER_NOT_AUTHORIZED","win32Error":-5})",
       ready_rt},
      {"ack without policy", R"({"protocol":1,"execute":false})", ack_rt},
      {"ack with policy", R"({"protocol":1,"execute":true,"inputPolicy":)" + std::string(kPolicyJson) + "}", ack_rt},
      {"ack with announcement tick",
       R"({"protocol":1,"execute":true,"inputPolicy":)" +
           with_member(kPolicyJson, {}, "announcementInputTick", "4294967295") + "}",
       ack_rt},
      {"rpc status", rpc_with(R"({"kind":"status"})"), rpc_rt},
      {"rpc execute", rpc_with(R"({"kind":"execute","request":)" + std::string(kInspectRequestJson) + "}"), rpc_rt},
      {"rpc operationStatus", rpc_with(R"({"kind":"operationStatus","id":"op-1"})"), rpc_rt},
      {"rpc exportImage", rpc_with(R"({"kind":"exportImage","id":"op-1"})"), rpc_rt},
      {"rpc reconcile", rpc_with(R"({"kind":"reconcile","id":"op-1","observation":"op-2"})"), rpc_rt},
      {"rpc close", rpc_with(R"({"kind":"close"})"), rpc_rt},
      {"rpc fullscreenBegin", rpc_with(R"({"kind":"fullscreenBegin","request":{"a":[1,{"b":null}],"z":-2}})"),
       rpc_rt},
      {"rpc fullscreenStatus", rpc_with(R"({"kind":"fullscreenStatus","id":"arm-1"})"), rpc_rt},
      {"rpc fullscreenEnd", rpc_with(R"({"kind":"fullscreenEnd","id":"arm-1"})"), rpc_rt},
      {"rpc with peer handle",
       R"({"protocol":1,"requestId":"req-1","peerQueryHandle":1234,"action":{"kind":"status"}})", rpc_rt},
      {"reply", R"({"protocol":1,"requestId":"req-1","result":{"a":{"x":1,"y":[true]},"b":"t"}})", reply_rt},
      {"client ack", R"({"protocol":1,"requestId":"req-1"})", client_ack_rt},
  };
}

TEST(PipeMessages, EveryMessageRoundTripsByteExact) {
  for (const Canonical& c : canonical_messages()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.reencode(c.json), c.json);
  }
}

TEST(PipeMessages, PolicyExpiryAtTheEndsOfTheTimeRangeRoundTrips) {
  for (const char* at : {"0000-01-01T00:00:00Z", "1601-01-01T00:00:00Z", "9999-12-31T23:59:59.999999999Z"}) {
    const std::string ack = R"({"protocol":1,"execute":true,"inputPolicy":)" +
                            with_member(kPolicyJson, {}, "expiresAt", "\"" + std::string(at) + "\"") + "}";
    EXPECT_EQ(ack_rt(ack), ack) << at;
  }
}

TEST(PipeMessages, UndeclaredKeysFailEveryMessageAndRecordVariant) {
  for (const Canonical& c : canonical_messages()) {
    SCOPED_TRACE(c.name);
    EXPECT_NE(c.reencode(with_member(c.json, {}, "extra", "1")), c.json) << "top level";
  }
  const std::string policy_ack = R"({"protocol":1,"execute":true,"inputPolicy":)" + std::string(kPolicyJson) + "}";
  EXPECT_FALSE(decode_ready_ack(with_member(policy_ack, {"inputPolicy"}, "extra", "1")));
  for (const char* action : {R"({"kind":"execute","request":{"protocol":1,"operationId":"o","sessionId":1,)"
                             R"("action":{"kind":"inspect"}},"extra":1})",
                             R"({"kind":"operationStatus","id":"a","extra":1})",
                             R"({"kind":"exportImage","id":"a","extra":1})",
                             R"({"kind":"reconcile","id":"a","observation":"b","extra":1})",
                             R"({"kind":"fullscreenBegin","request":1,"extra":1})",
                             R"({"kind":"fullscreenStatus","id":"a","extra":1})",
                             R"({"kind":"fullscreenEnd","id":"a","extra":1})"}) {
    SCOPED_TRACE(action);
    EXPECT_FALSE(decode_rpc(rpc_with(action)));
  }
  // The request inside "execute" is decoded strictly as well.
  EXPECT_FALSE(decode_rpc(rpc_with(R"({"kind":"execute","request":{"protocol":1,"operationId":"o","sessionId":1,)"
                                   R"("action":{"kind":"inspect"},"extra":1}})")));
}

TEST(PipeMessages, UnitVariantsIgnoreOtherMembersAndKindMayStandAnywhere) {
  struct Case {
    const char* action;
    std::size_t index;
  };
  const Case cases[] = {
      {R"({"kind":"status","id":"x","more":[1]})", 0},
      {R"({"extra":{},"kind":"close"})", 5},
      {R"({"id":"op-1","kind":"operationStatus"})", 2},
      {R"({"observation":"b","id":"a","kind":"reconcile"})", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action);
    auto rpc = decode_rpc(rpc_with(c.action));
    ASSERT_TRUE(rpc) << rpc.error().display_chain();
    EXPECT_EQ(rpc->action.index(), c.index);
  }
  auto reconcile = decode_rpc(rpc_with(R"({"observation":"b","id":"a","kind":"reconcile"})"));
  ASSERT_TRUE(reconcile);
  EXPECT_EQ(encode_rpc(*reconcile), rpc_with(R"({"kind":"reconcile","id":"a","observation":"b"})"));
}

TEST(PipeMessages, MalformedSessionActionsFail) {
  for (const char* action : {R"({})", R"({"kind":"Status"})", R"({"kind":5})", R"({"kind":"status","kind":"close"})",
                             R"({"kind":"reconcile","id":"a"})", R"({"kind":"operationStatus"})",
                             R"({"kind":"operationStatus","id":7})", R"({"kind":"execute"})",
                             R"({"kind":"execute","request":{"protocol":1}})", R"("status")", "null"}) {
    SCOPED_TRACE(action);
    EXPECT_FALSE(decode_rpc(rpc_with(action)));
  }
}

TEST(PipeMessages, OptionalMembersAreLeftOutOrNullByTheirRule) {
  // Left out when absent: WorkerReady.win32Error, ReadyAck.inputPolicy, Rpc.peerQueryHandle.
  WorkerReady ready{1, 77, 1, "DESKTOP_WORKER_READY", std::nullopt};
  EXPECT_EQ(encode_worker_ready(ready).find("win32Error"), std::string::npos);
  EXPECT_EQ(encode_ready_ack(ReadyAck{1, true, std::nullopt}), R"({"protocol":1,"execute":true})");
  EXPECT_EQ(encode_rpc(Rpc{1, "r", std::nullopt, SessionClose{}}),
            R"({"protocol":1,"requestId":"r","action":{"kind":"close"}})");

  // Absent and null decode alike.
  auto null_policy = decode_ready_ack(R"({"protocol":1,"execute":false,"inputPolicy":null})");
  ASSERT_TRUE(null_policy);
  EXPECT_FALSE(null_policy->input_policy);
  auto null_handle = decode_rpc(R"({"protocol":1,"requestId":"r","peerQueryHandle":null,"action":{"kind":"close"}})");
  ASSERT_TRUE(null_handle);
  EXPECT_FALSE(null_handle->peer_query_handle);
  auto null_error = decode_worker_ready(R"({"protocol":1,"processId":1,"sessionId":1,"code":"C","win32Error":null})");
  ASSERT_TRUE(null_error);
  EXPECT_FALSE(null_error->win32_error);

  // Written as null inside the policy; leaving it out decodes the same.
  auto policy = decode_armed_input_policy(*json::parse(without_member(kPolicyJson, {}, "announcementInputTick")));
  ASSERT_TRUE(policy);
  EXPECT_FALSE(policy->announcement_input_tick);
  std::string out;
  encode_armed_input_policy(out, *policy);
  EXPECT_EQ(out, kPolicyJson);
}

TEST(PipeMessages, DuplicateMissingAndMistypedMembersFail) {
  const std::string ready = R"({"protocol":1,"processId":77,"sessionId":1,"code":"DESKTOP_WORKER_READY"})";
  struct Case {
    const char* name;
    std::string doc;
    bool (*decodes)(std::string_view);
  };
  auto ready_ok = [](std::string_view b) { return decode_worker_ready(b).has_value(); };
  auto ack_ok = [](std::string_view b) { return decode_ready_ack(b).has_value(); };
  auto reply_ok = [](std::string_view b) { return decode_reply(b).has_value(); };
  auto client_ack_ok = [](std::string_view b) { return decode_ack(b).has_value(); };
  const std::string policy_ack = R"({"protocol":1,"execute":true,"inputPolicy":)" + std::string(kPolicyJson) + "}";
  const Case cases[] = {
      {"code twice", with_appended(ready, {}, "code", R"("DESKTOP_WORKER_READY")"), ready_ok},
      {"win32Error null then number",
       with_appended(with_member(ready, {}, "win32Error", "null"), {}, "win32Error", "5"), ready_ok},
      {"processId missing", without_member(ready, {}, "processId"), ready_ok},
      {"processId negative", with_member(ready, {}, "processId", "-1"), ready_ok},
      {"win32Error over i32", with_member(ready, {}, "win32Error", "2147483648"), ready_ok},
      {"execute as number", R"({"protocol":1,"execute":1})", ack_ok},
      {"policy scope unknown", with_member(policy_ack, {"inputPolicy"}, "scope", R"("fullscreen")"), ack_ok},
      {"policy scope as object", with_member(policy_ack, {"inputPolicy"}, "scope", R"({"visible_single_action":null})"),
       ack_ok},
      {"policy handle as decimal string", with_member(policy_ack, {"inputPolicy"}, "windowHandle", R"("123")"),
       ack_ok},
      {"policy expiresAt not a time", with_member(policy_ack, {"inputPolicy"}, "expiresAt", R"("soon")"), ack_ok},
      {"policy cancelEvent missing", without_member(policy_ack, {"inputPolicy"}, "cancelEvent"), ack_ok},
      {"policy as string", R"({"protocol":1,"execute":true,"inputPolicy":"arm"})", ack_ok},
      {"reply without result", R"({"protocol":1,"requestId":"r"})", reply_ok},
      {"ack without requestId", R"({"protocol":1})", client_ack_ok},
      {"ack protocol as float", R"({"protocol":1.0,"requestId":"r"})", client_ack_ok},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(c.decodes(c.doc));
  }
  EXPECT_TRUE(decode_reply(R"({"protocol":1,"requestId":"r","result":null})")) << "any value, null included";
  EXPECT_TRUE(decode_worker_ready(with_member(ready, {}, "protocol", "2"))) << "the value is the receiver's concern";
}

TEST(PipeMessages, ReplyResultAndFullscreenRequestAreWrittenKeySorted) {
  auto reply = decode_reply(R"({"protocol":1,"requestId":"r","result":{"z":1,"a":{"y":2,"b":3}}})");
  ASSERT_TRUE(reply);
  EXPECT_EQ(encode_reply(*reply), R"({"protocol":1,"requestId":"r","result":{"a":{"b":3,"y":2},"z":1}})");
  auto rpc = decode_rpc(rpc_with(R"({"request":{"z":1,"a":2},"kind":"fullscreenBegin"})"));
  ASSERT_TRUE(rpc);
  EXPECT_EQ(encode_rpc(*rpc), rpc_with(R"({"kind":"fullscreenBegin","request":{"a":2,"z":1}})"));
}

TEST(PipeMessages, OnlyWhitespaceMayFollowAMessageBody) {
  const std::string ack = R"({"protocol":1,"requestId":"r"})";
  EXPECT_TRUE(decode_ack(ack + "  \r\n\t"));
  EXPECT_FALSE(decode_ack(ack + ack));
  EXPECT_FALSE(decode_ack(ack + "x"));
}

}  // namespace
}  // namespace vor::desktop
