// Receipts: codec, redaction, writing, loading and listing, through the fakes.
#include "standalone/state/receipt.h"

#include <gtest/gtest.h>

#include "receipt_fixtures.h"
#include "state_fakes.h"

namespace vor::desktop {
namespace {

using testing::code_of;
using testing::ReceiptStore;

TEST(ReceiptCodec, WritesEveryKeyInOrderAndReadsItBack) {
  Receipt r = testing::sample_receipt("op-1");
  r.image = Image{"x.image", 42, std::string(64, 'a'), testing::kEpoch + std::chrono::milliseconds(1500)};
  std::string text;
  encode_receipt(text, r);
  EXPECT_EQ(text,
            "{\"operationId\":\"op-1\",\"requestHash\":\"" + std::string(64, 'f') +
                "\",\"sessionId\":1,\"mutating\":true,\"phase\":\"running\",\"createdAt\":\"2027-01-15T08:00:00Z\","
                "\"finishedAt\":null,\"pid\":4242,\"pidCreated\":133000000000000000,\"result\":null,"
                "\"image\":{\"fileName\":\"x.image\",\"bytes\":42,\"sha256\":\"" +
                std::string(64, 'a') + "\",\"createdAt\":\"2027-01-15T08:00:01.500Z\"},\"reconciledBy\":null}");
  auto back = decode_receipt(text);
  ASSERT_TRUE(back) << back.error().display_chain();
  EXPECT_EQ(*back, r);

  Receipt full = testing::sample_receipt("op-2");
  full.phase = ReceiptPhase::kReconciled;
  full.finished_at = testing::kEpoch + std::chrono::seconds(3);
  full.result = testing::sample_response("op-2");
  full.reconciled_by = "obs-1";
  std::string full_text;
  encode_receipt(full_text, full);
  auto full_back = decode_receipt(full_text);
  ASSERT_TRUE(full_back) << full_back.error().display_chain();
  EXPECT_EQ(*full_back, full);
}

TEST(ReceiptCodec, TimesAtTheEndsOfTheRangeRoundTripExactly) {
  const std::string first = "0000-01-01T00:00:00Z";
  const std::string windows_epoch = "1601-01-01T00:00:00Z";
  const std::string last = "9999-12-31T23:59:59.999999999Z";
  const std::string text =
      "{\"operationId\":\"op-1\",\"requestHash\":\"" + std::string(64, 'f') +
      "\",\"sessionId\":1,\"mutating\":false,\"phase\":\"finished\",\"createdAt\":\"" + first +
      "\",\"finishedAt\":\"" + last + "\",\"pid\":4242,\"pidCreated\":1,\"result\":null,"
      "\"image\":{\"fileName\":\"x.image\",\"bytes\":42,\"sha256\":\"" + std::string(64, 'a') +
      "\",\"createdAt\":\"" + windows_epoch + "\"},\"reconciledBy\":null}";
  auto r = decode_receipt(text);
  ASSERT_TRUE(r) << r.error().display_chain();
  EXPECT_LT(r->created_at, r->image->created_at);
  EXPECT_LT(r->image->created_at, *r->finished_at);
  std::string again;
  encode_receipt(again, *r);
  EXPECT_EQ(again, text);
}

TEST(ReceiptCodec, DecodesStrictly) {
  std::string base;
  encode_receipt(base, testing::sample_receipt("op-1"));
  auto edited = [&](const std::string& from, const std::string& to) {
    std::string s = base;
    const auto at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return s.replace(at, from.size(), to);
  };
  const std::string refused[] = {
      edited(",\"reconciledBy\":null", ""),                          // missing key, even a nullable one
      edited("\"reconciledBy\":null", "\"reconciledBy\":null,\"x\":1"),  // undeclared key
      edited("\"pid\":4242", "\"pid\":4242,\"pid\":4242"),           // duplicate key
      edited("\"finishedAt\":null", "\"finishedAt\":null,\"finishedAt\":null"),
      edited("\"phase\":\"running\"", "\"phase\":\"Running\""),
      edited("\"sessionId\":1", "\"sessionId\":-1"),
      edited("\"sessionId\":1", "\"sessionId\":1.0"),
      edited("\"createdAt\":\"2027-01-15T08:00:00Z\"", "\"createdAt\":\"yesterday\""),
      edited("\"image\":null", "\"image\":{\"fileName\":\"a\",\"bytes\":-1,\"sha256\":\"b\",\"createdAt\":\"2027-01-15T08:00:00Z\"}"),
      edited("\"image\":null", "\"image\":{\"fileName\":\"a\",\"bytes\":1,\"sha256\":\"b\"}"),
      base + "x",
  };
  for (const std::string& text : refused) EXPECT_FALSE(decode_receipt(text)) << text;

  // A creation time as a decimal string is accepted; an offset converts to UTC.
  auto as_text = decode_receipt(edited("\"pidCreated\":133000000000000000", "\"pidCreated\":\"133000000000000000\""));
  ASSERT_TRUE(as_text);
  EXPECT_EQ(as_text->pid_created, 133000000000000000u);
  auto offset = decode_receipt(edited("\"2027-01-15T08:00:00Z\"", "\"2027-01-15T10:00:00+02:00\""));
  ASSERT_TRUE(offset);
  EXPECT_EQ(offset->created_at, testing::kEpoch);
  EXPECT_TRUE(decode_receipt(" \n" + base + " \t\r\n"));
}

TEST(ReceiptPhases, Names) {
  EXPECT_TRUE(parse_receipt_phase("running"));
  EXPECT_TRUE(parse_receipt_phase("unknown"));
  for (const char* settled : {"finished", "reconciled", "Running", "unknown ", ""}) EXPECT_FALSE(parse_receipt_phase(settled));
  EXPECT_TRUE(is_unsettled(ReceiptPhase::kRunning));
  EXPECT_TRUE(is_unsettled(ReceiptPhase::kUnknown));
  EXPECT_FALSE(is_unsettled(ReceiptPhase::kFinished));
  EXPECT_FALSE(is_unsettled(ReceiptPhase::kReconciled));
}

TEST(ReceiptNames, HashOfTheOperationId) {
  testing::FakeFileSystem fs;
  fs.add_directory("C:\\s");
  testing::FakeIdentity id;
  auto root = ensure_state_directory(fs, id, "C:\\s");
  ASSERT_TRUE(root);
  EXPECT_EQ(state_file_path(*root, "abc", "json").value(),
            "C:\\s\\VorDesktop-v1\\ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad.json");
  EXPECT_EQ(state_file_name("abc", "tmp-0123").value(),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad.tmp-0123");
}

TEST(ReceiptRedaction, DropsTitlesElementsAndPng) {
  const Response full = testing::sample_response("op-1");
  ASSERT_FALSE(full.windows.at(0).title.empty());
  ASSERT_FALSE(full.automation->elements.empty());
  ASSERT_TRUE(full.png_base64);
  const Response redacted = redact_response_for_receipt(full);
  Response expected = full;
  for (Window& w : expected.windows) w.title = "";
  expected.automation->elements.clear();
  expected.png_base64.reset();
  EXPECT_EQ(redacted, expected);

  Response without = full;
  without.automation.reset();
  EXPECT_FALSE(redact_response_for_receipt(without).automation);
}

class ReceiptTest : public ReceiptStore {};

TEST_F(ReceiptTest, CreateNewThenReplace) {
  Receipt r = testing::sample_receipt("op-1");
  ASSERT_TRUE(write_receipt(ctx, root(), r, true));
  const std::string path = state_file_path(root(), "op-1", "json").value();
  EXPECT_TRUE(has_protected_header(fs.data(path)));
  EXPECT_EQ(dpapi.last_entropy, "Qzt.Pembrola.HoldStore.v4/" + std::string(file_name_of(path)));
  EXPECT_EQ(fs.names(root().path()), std::vector<std::string>{std::string(file_name_of(path))});
  auto again = write_receipt(ctx, root(), r, true);
  ASSERT_FALSE(again);
  EXPECT_EQ(code_of(again.error()), "DESKTOP_STATE_WRITE_FAILED");

  r.phase = ReceiptPhase::kFinished;
  r.finished_at = testing::kEpoch + std::chrono::seconds(2);
  r.result = testing::sample_response("op-1");
  ASSERT_TRUE(write_receipt(ctx, root(), r, false));
  auto loaded = load_operation_receipt(ctx, root(), "op-1");
  ASSERT_TRUE(loaded) << loaded.error().display_chain();
  Receipt expected = r;
  expected.result = redact_response_for_receipt(*r.result);
  EXPECT_EQ(*loaded, expected);
  // Nothing but the receipt: no temporary stays behind.
  for (const std::string& name : fs.names(root().path())) EXPECT_EQ(name.find(".tmp-"), std::string::npos) << name;
}

TEST_F(ReceiptTest, PlaintextLimitIs65536Bytes) {
  Receipt r = testing::sample_receipt("op-1");
  r.reconciled_by = "";
  std::string text;
  encode_receipt(text, r);
  r.reconciled_by = std::string(65536 - text.size(), 'r');
  text.clear();
  encode_receipt(text, r);
  ASSERT_EQ(text.size(), 65536u);
  ASSERT_TRUE(write_receipt(ctx, root(), r, true));
  auto loaded = load_operation_receipt(ctx, root(), "op-1");
  ASSERT_TRUE(loaded) << loaded.error().display_chain();
  EXPECT_EQ(loaded->reconciled_by, r.reconciled_by);

  r.operation_id = "op-10";  // one byte longer
  auto over = write_receipt(ctx, root(), r, true);
  ASSERT_FALSE(over);
  EXPECT_EQ(code_of(over.error()), "DESKTOP_STATE_QUOTA_EXCEEDED");
  EXPECT_FALSE(state_file_exists(fs, state_file_path(root(), "op-10", "json").value()));
}

TEST_F(ReceiptTest, MovedReceiptsFailToLoad) {
  ASSERT_TRUE(write_receipt(ctx, root(), testing::sample_receipt("op-1"), true));
  const std::string one = state_file_path(root(), "op-1", "json").value();
  const std::string two = state_file_path(root(), "op-2", "json").value();
  fs.add_file(two, fs.data(one));
  auto protected_moved = load_operation_receipt(ctx, root(), "op-2");
  ASSERT_FALSE(protected_moved);
  EXPECT_EQ(code_of(protected_moved.error()), "DESKTOP_STATE_PROTECTION_FAILED");

  fs.add_file(two, testing::plain_receipt_text("op-1"));
  auto plain_moved = load_operation_receipt(ctx, root(), "op-2");
  ASSERT_FALSE(plain_moved);
  EXPECT_EQ(code_of(plain_moved.error()), "DESKTOP_STATE_INVALID");

  auto missing = load_operation_receipt(ctx, root(), "op-3");
  ASSERT_FALSE(missing);
  EXPECT_EQ(code_of(missing.error()), "DESKTOP_FILE_UNAVAILABLE");
}

TEST_F(ReceiptTest, PlainReceipts) {
  const std::string path = state_file_path(root(), "op-1", "json").value();
  const std::string plain = testing::plain_receipt_text("op-1");
  struct Case {
    std::string text;
    bool loads;
  };
  const Case cases[] = {
      {plain, true},
      {plain + "\n", true},
      {" " + plain, false},   // must begin with '{'
      {"", false},
      {"{", false},
      {plain + "{}", false},
      {"{" + std::string(65536, ' ') + "}", false},  // plain JSON above the plaintext limit
      {std::string("Vor.Marionet.Protected.v1\0", 26) + "garbage", false},
  };
  for (const Case& c : cases) {
    fs.add_file(path, c.text);
    auto r = load_receipt(ctx, root(), path);
    EXPECT_EQ(r.has_value(), c.loads) << c.text.substr(0, 40);
    if (!r && c.text.size() > 26 && c.text[0] == 'V') {
      EXPECT_EQ(code_of(r.error()), "DESKTOP_STATE_PROTECTION_FAILED");
    } else if (!r) {
      EXPECT_EQ(code_of(r.error()), "DESKTOP_STATE_INVALID") << c.text.substr(0, 40);
    }
  }
}

TEST_F(ReceiptTest, ReceiptFileReadLimitIs69632Bytes) {
  const std::string path = state_file_path(root(), "op-1", "json").value();
  Bytes header(kProtectedHeader.begin(), kProtectedHeader.end());
  Bytes file = header;
  file.resize(69632, 0);
  fs.add_file(path, file);
  EXPECT_EQ(code_of(load_receipt(ctx, root(), path).error()), "DESKTOP_STATE_PROTECTION_FAILED");  // read, then refused
  file.push_back(0);
  fs.add_file(path, file);
  EXPECT_EQ(code_of(load_receipt(ctx, root(), path).error()), "DESKTOP_FILE_TOO_LARGE");
}

TEST_F(ReceiptTest, HandWrittenResultIsRedactedOnLoad) {
  Receipt r = testing::sample_receipt("op-1");
  r.result = testing::sample_response("op-1");
  std::string text;
  encode_receipt(text, r);  // unredacted, as a person might write it
  ASSERT_NE(text.find("pngBase64"), std::string::npos);
  const std::string path = state_file_path(root(), "op-1", "json").value();
  fs.add_file(path, text);
  auto loaded = load_receipt(ctx, root(), path);
  ASSERT_TRUE(loaded) << loaded.error().display_chain();
  EXPECT_EQ(loaded->result, redact_response_for_receipt(*r.result));
}

TEST_F(ReceiptTest, ListingRules) {
  ASSERT_TRUE(write_receipt(ctx, root(), testing::sample_receipt("op-1"), true));
  fs.add_file(root().join("notes.txt"), "ignored");
  fs.add_file(root().join(std::string(64, 'a') + ".JSON"), "ignored: the suffix is case-sensitive");
  fs.add_file(root().join(std::string(64, 'a') + ".image"), "ignored");
  auto listed = load_receipts(ctx, root());
  ASSERT_TRUE(listed) << listed.error().display_chain();
  ASSERT_EQ(listed->size(), 1u);
  EXPECT_EQ(listed->at(0).operation_id, "op-1");

  const std::string bad_names[] = {"notes.json", std::string(63, 'a') + "g.json", std::string(65, 'a') + ".json",
                                   std::string(63, 'a') + ".json", ".json"};
  for (const std::string& name : bad_names) {
    fs.add_file(root().join(name), testing::plain_receipt_text("op-1"));
    auto r = load_receipts(ctx, root());
    ASSERT_FALSE(r) << name;
    EXPECT_EQ(code_of(r.error()), "DESKTOP_STATE_INVALID") << name;
    fs.erase(root().join(name));
  }

  // The right digits in upper case: a valid name that its receipt does not own.
  std::string upper = std::string(file_name_of(state_file_path(root(), "op-1", "json").value()));
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  upper.replace(64, 5, ".json");
  fs.add_file(root().join(upper), testing::plain_receipt_text("op-1"));
  EXPECT_EQ(code_of(load_receipts(ctx, root()).error()), "DESKTOP_STATE_INVALID");
}

TEST_F(ReceiptTest, AtMost128Receipts) {
  for (int i = 0; i < 128; ++i) {
    const std::string id = "op-" + std::to_string(i);
    fs.add_file(state_file_path(root(), id, "json").value(), testing::plain_receipt_text(id));
  }
  auto all = load_receipts(ctx, root());
  ASSERT_TRUE(all) << all.error().display_chain();
  EXPECT_EQ(all->size(), 128u);
  fs.add_file(state_file_path(root(), "op-128", "json").value(), testing::plain_receipt_text("op-128"));
  auto over = load_receipts(ctx, root());
  ASSERT_FALSE(over);
  EXPECT_EQ(code_of(over.error()), "DESKTOP_STATE_QUOTA_EXCEEDED");
}

}  // namespace
}  // namespace vor::desktop
