// The operation status document and the `status` verb over the fake store.
#include "standalone/cli/operation_status.h"

#include <gtest/gtest.h>

#include "operation_status_fixtures.h"
#include "standalone/cli/image_export.h"
#include "standalone/cli/one_shot.h"
#include "standalone/state/state_maintenance.h"

namespace vor::desktop {
namespace {

using testing::code_of;
using testing::kEpoch;
using testing::sample_receipt;
using testing::sample_response;
using testing::text_of;
using namespace std::chrono_literals;

class OperationStatus : public testing::StateVerbs {
 protected:
  CliDocument document_of(const Receipt& receipt) {
    auto doc = operation_status_document(ports, root(), receipt);
    EXPECT_TRUE(doc) << (doc ? "" : doc.error().display_chain());
    return doc ? *doc : CliDocument{};
  }
  Result<CliDocument> status(const std::string& operation_id) {
    return run_status(ports, cmd::Status{operation_id, "C:\\s"});
  }
};

TEST_F(OperationStatus, FinishedReceiptWithoutImageOrResultPrintsEveryKey) {
  Receipt r = sample_receipt("op-1");
  r.phase = ReceiptPhase::kFinished;
  r.finished_at = kEpoch + 1500ms;
  EXPECT_EQ(json::to_sorted_string(document_of(r)),
            "{\"code\":\"DESKTOP_OPERATION_FINISHED\",\"createdAt\":\"2027-01-15T08:00:00Z\","
            "\"finishedAt\":\"2027-01-15T08:00:01.500Z\",\"image\":null,\"mutating\":true,"
            "\"nextSafeAction\":\"Inspect the result; observe again to verify application effects. An expired image "
            "requires a new observation.\",\"operationId\":\"op-1\",\"phase\":\"finished\",\"result\":null,"
            "\"schemaVersion\":\"vor.desktop-cli/v1\",\"sessionId\":1}");
  EXPECT_EQ(processes.opens, 0);  // only a running receipt asks after its process
}

TEST_F(OperationStatus, ResultIsTheStoredResponseAndFinishedAtMayBeNull) {
  Receipt r = sample_receipt("op-1");
  r.phase = ReceiptPhase::kUnknown;
  r.result = redact_response_for_receipt(sample_response("op-1"));
  const CliDocument doc = document_of(r);
  EXPECT_EQ(*doc.find("result"), response_to_value(*r.result));
  EXPECT_EQ(text_of(doc.find("result")->find("code")), "DESKTOP_OBSERVED");
  EXPECT_TRUE(doc.find("finishedAt")->is_null());
}

TEST_F(OperationStatus, CodeAndSentenceFollowThePhase) {
  processes.gone();
  struct Case {
    ReceiptPhase phase;
    const char* shown;
    std::string_view code;
    std::string_view sentence;
  } cases[] = {
      {ReceiptPhase::kFinished, "finished", kOperationFinished, kSettledSentence},
      {ReceiptPhase::kUnknown, "unknown", kOutcomeUnknown, kUnsettledSentence},
      {ReceiptPhase::kReconciled, "reconciled", kOutcomeReconciled, kSettledSentence},
      {ReceiptPhase::kRunning, "unknown", kOutcomeUnknown, kUnsettledSentence},  // its process is gone
  };
  for (const Case& c : cases) {
    Receipt r = sample_receipt("op-1");
    r.phase = c.phase;
    const CliDocument doc = document_of(r);
    EXPECT_EQ(text_of(doc.find("phase")), c.shown) << c.shown;
    EXPECT_EQ(text_of(doc.find("code")), c.code) << c.shown;
    EXPECT_EQ(text_of(doc.find("nextSafeAction")), c.sentence) << c.shown;
  }
  EXPECT_EQ(std::string(kUnsettledSentence),
            "Observe and verify the same session, then explicitly reconcile; never replay input.");
}

TEST_F(OperationStatus, RunningReceiptStaysRunningOnlyWhileItsOwnProcessRuns) {
  struct Case {
    const char* name;
    void (*script)(testing::FakeProcessLiveness&);
    const char* phase;
  } cases[] = {
      {"runs", [](testing::FakeProcessLiveness&) {}, "running"},
      {"id free", [](testing::FakeProcessLiveness& p) { p.gone(); }, "unknown"},
      {"exited", [](testing::FakeProcessLiveness& p) { p.exited = true; }, "unknown"},
      {"id reused", [](testing::FakeProcessLiveness& p) { p.created += 1; }, "unknown"},
      {"open denied", [](testing::FakeProcessLiveness& p) { p.open_error = kErrorAccessDenied; }, "unknown"},
      {"times unreadable", [](testing::FakeProcessLiveness& p) { p.creation_error = kErrorAccessDenied; }, "unknown"},
  };
  for (const Case& c : cases) {
    processes = testing::FakeProcessLiveness{};
    c.script(processes);
    const CliDocument doc = document_of(sample_receipt("op-1"));
    EXPECT_EQ(text_of(doc.find("phase")), c.phase) << c.name;
    EXPECT_EQ(text_of(doc.find("code")), std::string(c.phase) == "running" ? kOperationRunning : kOutcomeUnknown)
        << c.name;
  }
}

TEST_F(OperationStatus, LivenessSeparatesGoneFromUnreadable) {
  auto runs = operation_process_runs(processes, 4242, processes.created);
  ASSERT_TRUE(runs);
  EXPECT_TRUE(*runs);
  processes.gone();
  runs = operation_process_runs(processes, 4242, processes.created);
  ASSERT_TRUE(runs);
  EXPECT_FALSE(*runs);
  processes.open_error = kErrorAccessDenied;
  runs = operation_process_runs(processes, 4242, processes.created);
  ASSERT_FALSE(runs);
  EXPECT_EQ(code_of(runs.error()), kProcessStateUnavailable);
  EXPECT_EQ(runs.error().os_error(), kErrorAccessDenied);
  processes = testing::FakeProcessLiveness{};
  processes.wait_error = 6;
  runs = operation_process_runs(processes, 4242, processes.created);
  ASSERT_FALSE(runs);
  EXPECT_EQ(code_of(runs.error()), kProcessStateUnavailable);
}

TEST_F(OperationStatus, ImageObjectOnlyWhileTheLeaseHoldsAndTheFileIsRegular) {
  const Receipt base = with_image("op-1", kEpoch);
  const std::string image_path = path_of("op-1", "image");

  clock.now = kEpoch + 59999ms + 999us;  // 59,999 whole milliseconds
  CliDocument doc = document_of(base);
  ASSERT_FALSE(doc.find("image")->is_null());
  EXPECT_EQ(json::to_sorted_string(*doc.find("image")), json::to_sorted_string(json::Object{
                                    {"bytes", base.image->bytes},
                                    {"createdAt", "2027-01-15T08:00:00Z"},
                                    {"mimeType", "image/png"},
                                    {"path", image_path},
                                    {"protection", "windows_dpapi_machine_v1"},
                                    {"sha256", to_hex(*sha256(png))},
                                }));

  clock.now = kEpoch + 60000ms;
  EXPECT_TRUE(document_of(base).find("image")->is_null()) << "lease over";
  clock.now = kEpoch + 1s;

  Receipt legacy = base;
  legacy.image->file_name = *state_file_name("op-1", "png");
  EXPECT_TRUE(document_of(legacy).find("image")->is_null()) << "plaintext name";
  Receipt no_image = base;
  no_image.image.reset();
  EXPECT_TRUE(document_of(no_image).find("image")->is_null()) << "no image";

  fs.make_reparse(image_path, 0x80000023);  // a reparse point that names no other file
  EXPECT_FALSE(document_of(base).find("image")->is_null()) << "non-surrogate reparse point";
  fs.make_reparse(image_path);  // symbolic link
  EXPECT_TRUE(document_of(base).find("image")->is_null()) << "link";
  fs.erase(image_path);
  EXPECT_TRUE(document_of(base).find("image")->is_null()) << "missing";
  fs.add_directory(image_path);
  EXPECT_TRUE(document_of(base).find("image")->is_null()) << "directory";
}

TEST_F(OperationStatus, StatusReadsBesideAGateHolderWithoutMaintenance) {
  Receipt r = with_image("op-1", kEpoch);
  r.phase = ReceiptPhase::kFinished;
  r.finished_at = kEpoch;
  put(r);
  auto gate = open_gate(fs, root());
  ASSERT_TRUE(gate);
  clock.now = kEpoch + 48h;  // maintenance would drop both image and receipt
  auto doc = status("op-1");
  ASSERT_TRUE(doc) << doc.error().display_chain();
  EXPECT_EQ(text_of(doc->find("code")), kOperationFinished);
  EXPECT_TRUE(doc->find("image")->is_null());
  EXPECT_TRUE(fs.exists(path_of("op-1", "image")));
  EXPECT_TRUE(fs.exists(path_of("op-1", "json")));
}

// `status` takes no gate: while it has a file open, the gate holder's
// maintenance pass may remove that very file (an aged-out receipt, an image
// whose lease ended). The removal must succeed, and status still answers.
TEST_F(OperationStatus, GateHolderRemovesWhatStatusHasOpen) {
  struct Case {
    const char* name;
    const char* extension;  // of the file removed while status has it open
  } cases[] = {{"receipt being read", "json"}, {"image being checked", "image"}};
  for (const Case& c : cases) {
    put(with_image("op-1", kEpoch));
    const std::string path = path_of("op-1", c.extension);
    std::optional<Status> removal;
    fs.on_access = [&](const std::string& accessed) {
      if (accessed == path && !removal) removal = remove_state_file(fs, path);
    };
    auto doc = status("op-1");
    fs.on_access = nullptr;
    ASSERT_TRUE(removal) << c.name << ": status never had the file open";
    EXPECT_TRUE(*removal) << c.name << ": " << removal->error().display_chain();
    EXPECT_FALSE(fs.exists(path)) << c.name;
    ASSERT_TRUE(doc) << c.name << ": " << doc.error().display_chain();
    EXPECT_EQ(text_of(doc->find("operationId")), "op-1") << c.name;
    fs.erase(path_of("op-1", "image"));
  }
}

// An image whose `createdAt` lies ahead of the clock (the clock was set
// back) is expired for status, export, the maintenance pass and the lease
// timer alike, as is one whose 60 seconds are over.
TEST_F(OperationStatus, ImageLeaseIsOneRuleEverywhere) {
  struct Case {
    const char* name;
    std::chrono::nanoseconds age;  // now - createdAt
    bool holds;
  } cases[] = {
      {"made now", 0ns, true},
      {"last nanosecond", 60s - 1ns, true},
      {"sixty seconds", 60s, false},
      {"a nanosecond ahead", -1ns, false},
      {"an hour ahead", -1h, false},
  };
  for (const Case& c : cases) {
    fs.erase(path_of("op-1", "image"));
    Receipt r = with_image("op-1", kEpoch);
    r.mutating = false;
    r.phase = ReceiptPhase::kFinished;
    r.finished_at = kEpoch;
    put(r);
    clock.now = kEpoch + c.age;
    EXPECT_EQ(image_lease_holds(*r.image, clock.now), c.holds) << c.name;

    auto doc = status("op-1");
    ASSERT_TRUE(doc) << c.name;
    EXPECT_EQ(!doc->find("image")->is_null(), c.holds) << c.name << ": status";

    auto left = image_expiry_time(fs, root(), clock.now, r);
    ASSERT_TRUE(left && *left) << c.name;
    EXPECT_EQ(**left > 0ns, c.holds) << c.name << ": lease timer";
    EXPECT_LE(**left, 60s) << c.name;

    auto exported = run_image_export(ports, cmd::ImageExport{"op-1", "C:\\s"});
    EXPECT_EQ(exported.has_value(), c.holds) << c.name << ": export";
    if (!exported) {
      EXPECT_EQ(code_of(exported.error()), kImageExpired) << c.name;
    }

    ASSERT_TRUE(maintain_state_directory(ctx, processes, root(), clock.now, false)) << c.name;
    EXPECT_EQ(fs.exists(path_of("op-1", "image")), c.holds) << c.name << ": maintenance";
    if (!c.holds) {
      EXPECT_FALSE(fs.exists(path_of("op-1", "png"))) << c.name << ": no copy outlives the lease";
    }
    fs.erase(path_of("op-1", "png"));
    clock.now = kEpoch;
  }
}

TEST_F(OperationStatus, StatusFailures) {
  auto missing = status("op-none");
  ASSERT_FALSE(missing);
  EXPECT_EQ(code_of(missing.error()), kFileUnavailable);
  auto no_dir = run_status(ports, cmd::Status{"op-1", "C:\\nowhere"});
  ASSERT_FALSE(no_dir);
  EXPECT_EQ(code_of(no_dir.error()), kStateDirRequired);
}

TEST_F(OperationStatus, OneShotRunnerServesStatusThroughItsPorts) {
  processes.gone();
  put(sample_receipt("op-1"));
  auto doc = run_standalone_command(cmd::Status{"op-1", "C:\\s"}, OneShotServices{{}, &ports});
  ASSERT_TRUE(doc) << doc.error().display_chain();
  EXPECT_EQ(text_of(doc->find("code")), kOutcomeUnknown);
  auto without = run_standalone_command(cmd::Status{"op-1", "C:\\s"}, OneShotServices{});
  ASSERT_FALSE(without);
  EXPECT_EQ(code_of(without.error()), "DESKTOP_OPERATION_FAILED");
}

}  // namespace
}  // namespace vor::desktop
