#include "protocol/response.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "standalone/cli/error_codes.h"
#include "standalone/cli/uncertain_outcome.h"
#include "response_fixture.h"

namespace vor::desktop {
namespace {

using testing::full_response_json;

using Path = std::vector<std::string_view>;

// The fixture's edits take a brace list of keys; these take a held path.
template <class F>
std::string at(const Path& p, F&& edit) {
  switch (p.size()) {
    case 0:
      return edit({});
    case 1:
      return edit({p[0]});
    case 2:
      return edit({p[0], p[1]});
    default:
      return edit({p[0], p[1], p[2]});
  }
}
std::string with_member(std::string_view doc, const Path& p, std::string_view key, std::string_view value) {
  return at(p, [&](std::initializer_list<std::string_view> l) { return testing::with_member(doc, l, key, value); });
}
std::string without_member(std::string_view doc, const Path& p, std::string_view key) {
  return at(p, [&](std::initializer_list<std::string_view> l) { return testing::without_member(doc, l, key); });
}
std::string with_appended(std::string_view doc, const Path& p, std::string_view key, std::string_view value) {
  return at(p, [&](std::initializer_list<std::string_view> l) { return testing::with_appended(doc, l, key, value); });
}
std::vector<std::string> keys_at(std::string_view doc, const Path& p) {
  std::vector<std::string> keys;
  at(p, [&](std::initializer_list<std::string_view> l) {
    keys = testing::keys_at(doc, l);
    return std::string();
  });
  return keys;
}

std::string reencode(std::string_view doc) {
  auto r = decode_response(doc);
  EXPECT_TRUE(r) << r.error().display_chain();
  return r ? encode_response(*r) : std::string();
}

Request inspect_request() {
  auto r = decode_request(R"({"protocol":1,"operationId":"op-9","sessionId":3,"action":{"kind":"inspect"}})");
  EXPECT_TRUE(r);
  return *r;
}

TEST(ResponseDocument, FullDocumentRoundTripsByteExact) {
  const std::string full = full_response_json();
  auto r = decode_response(full);
  ASSERT_TRUE(r) << r.error().display_chain();
  EXPECT_EQ(encode_response(*r), full);
  ASSERT_TRUE(r->capture_diagnostic && r->capture_diagnostic->dxgi);
  EXPECT_EQ(r->capture_diagnostic->dxgi->raw_nonzero_alpha_pixels, 18446744073709551615u);
  EXPECT_EQ(r->win32_error, -5);
  ASSERT_TRUE(r->startup);
  EXPECT_EQ(r->startup->phase, StartupPhase::kProcessCreate);
  ASSERT_TRUE(r->automation_diagnostic);
  EXPECT_EQ(r->automation_diagnostic->phase, AutomationFailurePhase::kPostDispatchGuard);
}

TEST(ResponseDocument, BuiltResponseIsWrittenAsItsSixRequiredKeysOnly) {
  const Response r = build_response(inspect_request(), "DESKTOP_OBSERVED", "Choose a window from this observation.");
  EXPECT_EQ(encode_response(r),
            R"({"protocol":1,"operationId":"op-9","sessionId":3,"code":"DESKTOP_OBSERVED",)"
            R"("nextSafeAction":"Choose a window from this observation.","windows":[]})");
  EXPECT_EQ(json::to_string(response_to_value(r)),
            R"({"code":"DESKTOP_OBSERVED","nextSafeAction":"Choose a window from this observation.",)"
            R"("operationId":"op-9","protocol":1,"sessionId":3,"windows":[]})");
}

TEST(ResponseDocument, PresentZeroNumbersAreWrittenAndReadBackAsPresent) {
  Response r = build_response(inspect_request(), "DESKTOP_OBSERVED", "x");
  r.image_width = 0;
  r.win32_error = 0;
  const std::string text = encode_response(r);
  EXPECT_NE(text.find(R"("imageWidth":0,"win32Error":0})"), std::string::npos) << text;
  auto back = decode_response(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->image_width, 0u);
  EXPECT_EQ(back->win32_error, 0);
  EXPECT_FALSE(back->image_height);
}

// Each record under the response: where it sits, whether it skips unknown
// keys, its required and optional fields.
struct RecordCase {
  const char* name;
  Path path;
  bool lenient;
  std::vector<std::string_view> required;
  std::vector<std::string_view> optional;
};

const std::vector<RecordCase>& record_cases() {
  static const std::vector<RecordCase> cases = {
      {"Response", {}, true, {"protocol", "operationId", "sessionId", "code", "nextSafeAction", "windows"},
       {"pngBase64", "imageWidth", "imageHeight", "processId", "win32Error", "startup", "targetDiagnostic",
        "captureDiagnostic", "windowCaptureDiagnostic", "windowCaptureFailure", "inputDiagnostic", "noticeContext",
        "automation", "automationDiagnostic", "execution", "noticeDiagnostic"}},
      {"StartupDiagnostic", {"startup"}, false, {"phase", "requestDispatched"}, {}},
      {"TargetDiagnostic",
       {"targetDiagnostic"},
       false,
       {"phase", "processIdentityChanged", "boundsChanged", "foregroundChanged", "humanInputChanged",
        "inputDispatched"},
       {}},
      {"CaptureDiagnostic",
       {"captureDiagnostic"},
       false,
       {"method", "acquiredAt", "lastPresentTimeQpc", "accumulatedFrames", "pointerOnly", "cropDesktopRect",
        "outputDesktopRect"},
       {"dxgi"}},
      {"DxgiFrameDiagnostic",
       {"captureDiagnostic", "dxgi"},
       true,
       {"adapterIndex", "outputIndex", "lastMouseUpdateTimeQpc", "totalMetadataBufferSize",
        "protectedContentMaskedOut", "acquireAttempts", "pointerOnlyFramesSkipped"},
       {"sourceTexture", "stagingTexture", "rowPitch", "rawNonzeroRgbPixels", "rawNonzeroAlphaPixels"}},
      {"TextureDiagnostic (source)",
       {"captureDiagnostic", "dxgi", "sourceTexture"},
       true,
       {"width", "height", "format", "usage", "cpuAccessFlags", "sampleCount"},
       {}},
      {"TextureDiagnostic (staging)",
       {"captureDiagnostic", "dxgi", "stagingTexture"},
       true,
       {"width", "height", "format", "usage", "cpuAccessFlags", "sampleCount"},
       {}},
      {"WindowCaptureDiagnostic",
       {"windowCaptureDiagnostic"},
       false,
       {"method", "acquiredAt", "frameTime100ns", "captureStart100ns", "sourceWidth", "sourceHeight",
        "borderRequired", "coordinateSpace"},
       {}},
      {"WindowCaptureFailure", {"windowCaptureFailure"}, false, {"phase", "hresult"}, {}},
      {"InputDiagnostic", {"inputDiagnostic"}, false, {"mode", "inputDispatched", "entryIssued"}, {"armId"}},
      {"NoticeContext",
       {"noticeContext"},
       true,
       {"observedAt", "workerSessionId", "inputDesktopAvailable", "notificationHresult", "notificationStateName",
        "compositionHresult", "foregroundHandle", "foregroundMinimized"},
       {"inputDesktopName", "inputDesktopError", "notificationState", "screensaverRunning", "screensaverError",
        "lastInputIdleMilliseconds", "compositionEnabled", "foregroundProcessId", "foregroundProcessCreated",
        "foregroundRect", "displayRect", "foregroundCoversDisplay"}},
      {"Outcome", {"automation"}, true, {"elements", "elapsedMs", "actionAttempted", "verification"}, {}},
      {"FailureDiagnostic", {"automationDiagnostic"}, true, {"phase", "reasonCode"}, {}},
      {"Evidence",
       {"execution"},
       false,
       {"version", "effect", "backend", "delivery", "verification", "reasonCode", "automaticReplay"},
       {}},
      {"Diagnostic", {"noticeDiagnostic"}, false, {"phase", "reasonCode"}, {}},
  };
  return cases;
}

TEST(ResponseDocument, UnknownKeysAreSkippedInLenientRecordsAndFailStrictOnes) {
  const std::string full = full_response_json();
  const std::string extra = R"({"nested":[1,{"deep":[null,true,"x"]}],"more":{}})";
  for (const RecordCase& c : record_cases()) {
    SCOPED_TRACE(c.name);
    const std::string doc = with_member(full, c.path, "unknownExtra", extra);
    auto r = decode_response(doc);
    if (c.lenient) {
      ASSERT_TRUE(r) << r.error().display_chain();
      EXPECT_EQ(encode_response(*r), full) << "the skipped key leaves nothing behind";
    } else {
      EXPECT_FALSE(r) << "a strict record refuses an undeclared key";
    }
  }
}

TEST(ResponseDocument, WindowsAndElementsInsideTheResponseStayStrict) {
  const std::string full = full_response_json();
  for (const auto& [what, from, to] : {
           std::tuple<const char*, std::string_view, std::string_view>{"window", R"("foreground":true})",
                                                                       R"("foreground":true,"extra":1})"},
           {"element", R"("password":false})", R"("password":false,"extra":1})"},
       }) {
    SCOPED_TRACE(what);
    std::string doc = full;
    const auto at = doc.find(from);
    ASSERT_NE(at, std::string::npos);
    doc.replace(at, from.size(), to);
    EXPECT_FALSE(decode_response(doc));
  }
}

TEST(ResponseDocument, RepeatedUnknownTopLevelKeysAreSkippedEachTime) {
  std::string doc = with_appended(full_response_json(), {}, "later", "1");
  doc = with_appended(doc, {}, "later", R"({"a":[2]})");
  EXPECT_EQ(reencode(doc), full_response_json());
}

TEST(ResponseDocument, UnknownKeyMustStillBeWellFormedJson) {
  std::string doc = full_response_json();
  doc.insert(1, R"("skipped":[1,2,)");
  EXPECT_FALSE(decode_response(doc));
}

TEST(ResponseDocument, MissingRequiredFieldFailsEveryRecord) {
  const std::string full = full_response_json();
  for (const RecordCase& c : record_cases()) {
    for (std::string_view key : c.required) {
      SCOPED_TRACE(std::string(c.name) + "." + std::string(key));
      EXPECT_FALSE(decode_response(without_member(full, c.path, key)));
    }
  }
}

TEST(ResponseDocument, AbsentOrNullOptionalFieldsDecodeAsNoneAndAreWrittenByTheirRule) {
  const std::string full = full_response_json();
  for (const RecordCase& c : record_cases()) {
    for (std::string_view key : c.optional) {
      SCOPED_TRACE(std::string(c.name) + "." + std::string(key));
      // Top-level members and `dxgi` leave no key; inner fields are written as null.
      const bool omitted = c.path.size() == 0 || key == "dxgi";
      const std::string expected = omitted ? without_member(full, c.path, key) : with_member(full, c.path, key, "null");
      EXPECT_EQ(reencode(without_member(full, c.path, key)), expected) << "left out";
      EXPECT_EQ(reencode(with_member(full, c.path, key, "null")), expected) << "given as null";
    }
  }
}

TEST(ResponseDocument, OmissionRulesOfTheEdgeCases) {
  Response r = build_response(inspect_request(), "DESKTOP_OBSERVED", "x");
  r.capture_diagnostic = CaptureDiagnostic{.method = "dxgi_desktop_duplication"};
  r.input_diagnostic = InputDiagnostic{.mode = "visible_per_action"};
  r.notice_context = NoticeContext{.foreground_handle = "0"};
  const std::string no_dxgi = encode_response(r);
  EXPECT_EQ(no_dxgi.find(R"("dxgi":)"), std::string::npos);
  EXPECT_NE(no_dxgi.find(R"("armId":null)"), std::string::npos);
  EXPECT_NE(no_dxgi.find(R"("foregroundRect":null,"displayRect":null)"), std::string::npos);

  r.capture_diagnostic->dxgi = DxgiFrameDiagnostic{};
  const std::string with_dxgi = encode_response(r);
  EXPECT_NE(with_dxgi.find(R"("sourceTexture":null,"stagingTexture":null,"rowPitch":null)"), std::string::npos);
  auto back = decode_response(with_dxgi);
  ASSERT_TRUE(back);
  EXPECT_EQ(encode_response(*back), with_dxgi);
  EXPECT_TRUE(*back == r);
}

TEST(ResponseDocument, WindowsMemberIsRequiredEvenWhenEmpty) {
  const std::string empty = with_member(full_response_json(), {}, "windows", "[]");
  auto r = decode_response(empty);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->windows.empty());
  EXPECT_NE(encode_response(*r).find(R"("windows":[])"), std::string::npos);
  EXPECT_FALSE(decode_response(without_member(full_response_json(), {}, "windows")));
  EXPECT_FALSE(decode_response(with_member(full_response_json(), {}, "windows", "null")));
}

TEST(ResponseDocument, DeclaredKeyGivenTwiceFailsEvenAfterNullOrWithTheSameValue) {
  const std::string full = full_response_json();
  struct Case {
    const char* name;
    std::string doc;
  };
  const Case cases[] = {
      {"code twice, equal", with_appended(full, {}, "code", R"("DESKTOP_OBSERVED")")},
      {"startup null then object",
       with_appended(with_member(full, {}, "startup", "null"), {}, "startup",
                     R"({"phase":"validate","requestDispatched":false})")},
      {"optional given null twice", with_appended(with_member(full, {}, "pngBase64", "null"), {}, "pngBase64", "null")},
      {"lenient record's declared key twice",
       with_appended(full, {"noticeContext"}, "workerSessionId", "1")},
      {"strict record's key twice", with_appended(full, {"execution"}, "version", "1")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(decode_response(c.doc));
  }
}

TEST(ResponseDocument, RecordOfTheWrongJsonTypeFailsAndNullMeansAbsent) {
  const std::string full = full_response_json();
  for (const char* member : {"startup", "targetDiagnostic", "captureDiagnostic", "noticeContext", "automation",
                             "automationDiagnostic", "execution", "noticeDiagnostic"}) {
    SCOPED_TRACE(member);
    for (const char* wrong : {R"("x")", "5", "true", "[]"}) {
      EXPECT_FALSE(decode_response(with_member(full, {}, member, wrong))) << wrong;
    }
    EXPECT_EQ(reencode(with_member(full, {}, member, "null")), without_member(full, {}, member));
  }
  EXPECT_EQ(reencode(with_member(full, {}, "pngBase64", "null")), without_member(full, {}, "pngBase64"));
}

TEST(ResponseDocument, EnumerationsAcceptOnlyTheirExactSpellings) {
  const std::string full = full_response_json();
  struct Case {
    Path path;
    const char* value;
    bool ok;
  };
  const Case cases[] = {
      {{"startup"}, R"("pipeCreate")", true},
      {{"startup"}, R"("workerReadiness")", true},
      {{"startup"}, R"("process_create")", false},
      {{"startup"}, R"("ProcessCreate")", false},
      {{"targetDiagnostic"}, R"("after_notice")", true},
      {{"targetDiagnostic"}, R"("beforeCapture")", false},
      {{"targetDiagnostic"}, "0", false},
      {{"targetDiagnostic"}, "null", false},
      {{"automationDiagnostic"}, R"("verification_deadline")", true},
      {{"automationDiagnostic"}, R"("postDispatchGuard")", false},
      {{"automationDiagnostic"}, R"(["dispatch"])", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const std::string doc = with_member(full, c.path, "phase", c.value);
    if (c.ok) {
      EXPECT_EQ(reencode(doc), doc) << "written back with the same spelling";
    } else {
      EXPECT_FALSE(decode_response(doc));
    }
  }
}

TEST(ResponseDocument, FieldKindsRefuseOtherJsonTypesAndRanges) {
  const std::string full = full_response_json();
  struct Case {
    Path path;
    const char* key;
    const char* value;
  };
  const Case cases[] = {
      {{}, "protocol", "-1"},
      {{}, "sessionId", "4294967296"},
      {{}, "imageWidth", "1.0"},
      {{}, "win32Error", "2147483648"},
      {{}, "code", "5"},
      {{"captureDiagnostic"}, "acquiredAt", R"("yesterday")"},
      {{"captureDiagnostic"}, "lastPresentTimeQpc", "123"},
      {{"captureDiagnostic", "dxgi"}, "rawNonzeroRgbPixels", "-1"},
      {{"noticeContext"}, "screensaverRunning", "0"},
      {{"automation"}, "elements", "{}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    EXPECT_FALSE(decode_response(with_member(full, c.path, c.key, c.value)));
  }
}

TEST(ResponseDocument, TimesWithAnOffsetAreHeldInUtc) {
  const std::string doc =
      with_member(full_response_json(), {"captureDiagnostic"}, "acquiredAt", R"("2026-03-04T07:06:07.5+02:00")");
  EXPECT_EQ(reencode(doc), full_response_json());
}

TEST(ResponseDocument, OnlyWhitespaceMayFollowTheDocument) {
  const std::string full = full_response_json();
  EXPECT_TRUE(decode_response(" \t\r\n" + full + " \t\r\n"));
  EXPECT_FALSE(decode_response(full + "x"));
  EXPECT_FALSE(decode_response(full + "{}"));
  EXPECT_FALSE(decode_response("\xEF\xBB\xBF" + full));
  for (const char* other : {"", "null", R"("text")", "7", "true", "[]"}) {
    EXPECT_FALSE(decode_response(other)) << other;
  }
}

TEST(ResponseValueForm, TopLevelKeysComeInByteOrderWithAbsentMembersSkipped) {
  auto r = decode_response(full_response_json());
  ASSERT_TRUE(r);
  const std::string printed = json::to_string(response_to_value(*r));
  const std::vector<std::string> expected = {
      "automation",      "automationDiagnostic", "captureDiagnostic", "code",
      "execution",       "imageHeight",          "imageWidth",        "inputDiagnostic",
      "nextSafeAction",  "noticeContext",        "noticeDiagnostic",  "operationId",
      "pngBase64",       "processId",            "protocol",          "sessionId",
      "startup",         "targetDiagnostic",     "win32Error",        "windowCaptureDiagnostic",
      "windowCaptureFailure", "windows"};
  EXPECT_EQ(keys_at(printed, {}), expected);

  r->automation.reset();
  r->png_base64.reset();
  std::vector<std::string> fewer = expected;
  std::erase(fewer, "automation");
  std::erase(fewer, "pngBase64");
  EXPECT_EQ(keys_at(json::to_string(response_to_value(*r)), {}), fewer);
}

TEST(ResponseValueForm, EveryObjectOfTheTreeIsSortedAndHoldsTheEncodersValues) {
  auto r = decode_response(full_response_json());
  ASSERT_TRUE(r);
  const json::Value value = response_to_value(*r);

  // The same tree as the encoder's text, only sorted.
  EXPECT_EQ(json::to_string(value), json::to_sorted_string(*json::parse(encode_response(*r))));

  // Every object in held order is already sorted, windows and elements included.
  std::vector<const json::Value*> pending = {&value};
  int objects = 0;
  while (!pending.empty()) {
    const json::Value* v = pending.back();
    pending.pop_back();
    if (const json::Array* items = v->as_array()) {
      for (const json::Value& item : *items) pending.push_back(&item);
    } else if (const json::Object* members = v->as_object()) {
      ++objects;
      EXPECT_TRUE(std::is_sorted(members->begin(), members->end(),
                                 [](const json::Member& a, const json::Member& b) { return a.key < b.key; }));
      for (const json::Member& m : *members) pending.push_back(&m.value);
    }
  }
  EXPECT_GE(objects, 20);
  EXPECT_EQ(keys_at(json::to_string(value), {"captureDiagnostic"}),
            (std::vector<std::string>{"accumulatedFrames", "acquiredAt", "cropDesktopRect", "dxgi",
                                      "lastPresentTimeQpc", "method", "outputDesktopRect", "pointerOnly"}));
  // Handles stay numbers in the tree.
  const json::Value* handle = (*value.find("windows")->as_array())[0].find("handle");
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->as_unsigned() ? *handle->as_unsigned() : 0, 132456u);
}

TEST(ResponseValueForm, StartupRecordAloneIsSortedToo) {
  EXPECT_EQ(json::to_string(startup_to_value({StartupPhase::kPipeCreate, false})),
            R"({"phase":"pipeCreate","requestDispatched":false})");
}

TEST(UncertainOutcome, WithoutTheMarkerKeepsTheFixedSentenceAndNoStartup) {
  const Request request = inspect_request();
  const Error error = Error("DESKTOP_OUTCOME_UNKNOWN: worker response was not confirmed; do not replay");
  const Response r = uncertain_outcome_response(request, error);
  EXPECT_EQ(r.code, "DESKTOP_OUTCOME_UNKNOWN");
  EXPECT_EQ(r.next_safe_action,
            "Observe the application's state before new input; never replay an uncertain operation.");
  EXPECT_EQ(r.operation_id, "op-9");
  EXPECT_EQ(r.session_id, 3u);
  EXPECT_FALSE(r.startup);
  EXPECT_FALSE(r.win32_error);
  EXPECT_TRUE(r.windows.empty());
}

TEST(UncertainOutcome, MarkerBecomesStartupWithRequestNotDispatchedAndPrefixedGuidance) {
  const Error error = not_sent(Error::os(5).context("DESKTOP_WORKER_START_FAILED"), StartupPhase::kPipeCreate);
  EXPECT_EQ(error.outermost(), "startup phase pipeCreate");
  const Response r = uncertain_outcome_response(inspect_request(), error);
  EXPECT_EQ(r.code, "DESKTOP_WORKER_START_FAILED");
  EXPECT_EQ(r.win32_error, 5);
  ASSERT_TRUE(r.startup);
  EXPECT_EQ(*r.startup, (StartupDiagnostic{StartupPhase::kPipeCreate, false}));
  EXPECT_EQ(r.next_safe_action,
            "No desktop Request bytes were sent. " + std::string(guidance_text("DESKTOP_WORKER_START_FAILED")));
  EXPECT_NE(encode_response(r).find(R"("win32Error":5,"startup":{"phase":"pipeCreate","requestDispatched":false}})"),
            std::string::npos);
}

TEST(UncertainOutcome, MarkerDeeperInTheChainIsFound) {
  const Error error = not_sent(Error("DESKTOP_WORKER_READY_INVALID"), StartupPhase::kWorkerReadiness)
                          .context("while starting the worker");
  const Response r = uncertain_outcome_response(inspect_request(), error);
  EXPECT_EQ(r.code, "DESKTOP_WORKER_READY_INVALID");
  ASSERT_TRUE(r.startup);
  EXPECT_EQ(r.startup->phase, StartupPhase::kWorkerReadiness);
}

}  // namespace
}  // namespace vor::desktop
