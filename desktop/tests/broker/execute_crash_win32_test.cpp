// Crash cuts of the execute transaction under Wine, with real processes:
// execute_crash_helper runs the transaction over the real files and DPAPI
// (a scripted worker, no desktop) and ends itself at the k-th changing file
// call; then the real Vor.Marionet.exe answers `status` of the cut operation
// from what is on the disk, fences new input while the cut input is
// unsettled and answers a replay from the receipt. Every receipt on the disk
// must load, and the store must stay usable.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>

#include "common/handle_win32.h"
#include "common/json.h"
#include "common/text.h"
#include "execute_fixtures.h"
#include "native/clock.h"
#include "native/process_sys_win32.h"
#include "standalone/cli/operation_status.h"
#include "standalone/state/receipt.h"
#include "standalone/state/state_maintenance.h"
#include "support/test_files_win32.h"
#include "support/test_process_win32.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;

const std::wstring kTestDir = L"C:\\vor-execute-crash";
constexpr std::string_view kCutId = "op-cut";

std::wstring bin_dir() {
  std::wstring buffer(32768, L'\0');
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(n);
  return buffer.substr(0, buffer.find_last_of(L'\\'));
}

void write_text(const std::wstring& path, const std::string& text) {
  std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
  out << text;
}

struct Ran {
  DWORD exit_code = 0xFFFFFFFF;
  std::string output;  // standard output
};

// Runs `exe` (in this program's folder) with `arguments`, its standard
// output in `output_file`, and waits (at most 20 s) for it to end.
Ran run(const std::wstring& exe, const std::wstring& arguments, const std::wstring& output_file) {
  Ran ran;
  {
    CapturedProcess process(bin_dir() + L"\\" + exe, arguments, output_file);
    if (auto code = process.wait(20000)) ran.exit_code = *code;
  }
  ran.output = read_text_file(output_file);
  return ran;
}

std::wstring wide(const std::string& text) { return *to_wide(text); }
std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::uint32_t own_session() {
  DWORD session = 0;
  ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
  return session;
}

// A request of `action` observed just now, in this session.
Request fresh_request(std::string id, std::function<Action(const Window&)> action) {
  const Window window = testing::observed_window(system_clock().utc_now());
  return testing::request_of(std::move(id), action(window), own_session());
}

std::string text_at(const json::Value* value, std::string_view key) {
  const json::Value* member = value ? value->find(key) : nullptr;
  return member && member->as_string() ? *member->as_string() : std::string("<not text>");
}
std::string result_code(const json::Value& doc) {
  const json::Value* result = doc.find("result");
  return result && !result->is_null() ? text_at(result, "code") : "<no result>";
}
bool ends_with(const std::string& text, std::string_view tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The real store of one state directory, opened in this process.
struct Store {
  std::unique_ptr<FileSystem> fs = make_win32_file_system();
  std::unique_ptr<DataProtection> dpapi = make_win32_data_protection();
  std::unique_ptr<CallerIdentity> caller = make_win32_caller_identity();
  std::unique_ptr<ProcSys> processes = make_win32_proc_sys();
  StateContext ctx = make_state_context(*fs, *dpapi, system_clock());

  std::vector<std::string> names(const StateRoot& root) {
    std::vector<std::string> out;
    const std::vector<DirectoryEntry> entries = fs->list(root.path()).value();
    for (const DirectoryEntry& e : entries) out.push_back(e.name);
    return out;
  }
};

// One state directory and the programs run on it.
class Case {
 public:
  Case(const std::string& name) : dir_(kTestDir + L"\\" + wide(name)) {
    remove_tree(dir_);
    ::CreateDirectoryW(dir_.c_str(), nullptr);
  }
  ~Case() { remove_tree(dir_); }

  std::string state_dir() const { return *from_wide(dir_); }
  std::wstring file(const std::wstring& name) const { return kTestDir + L"\\" + name; }

  std::wstring write_request(const std::wstring& name, const Request& request) const {
    const std::wstring path = file(name);
    write_text(path, encode_request(request));
    return path;
  }

  Ran helper(const std::wstring& request_file, const std::string& answer, int cut_at) const {
    return run(L"execute_crash_helper.exe",
               quoted(dir_) + L" " + quoted(request_file) + L" " + wide(answer) + L" " + std::to_wstring(cut_at) +
                   L" " + quoted(report()),
               file(L"helper.out"));
  }
  std::wstring report() const { return file(L"report.txt"); }

  // The real program's document and exit code.
  std::pair<DWORD, json::Value> marionet(const std::wstring& arguments) const {
    const Ran ran = run(L"Vor.Marionet.exe", arguments + L" --state-dir " + quoted(dir_), file(L"marionet.out"));
    auto doc = json::parse(ran.output);
    EXPECT_TRUE(doc) << "not one document: " << ran.output;
    return {ran.exit_code, doc ? *doc : json::Value()};
  }

 private:
  std::wstring dir_;
};

struct CutCase {
  const char* name;
  std::function<Action(const Window&)> action;
  const char* answer;  // what the helper's worker answers
  const char* answer_code;
  const char* final_phase;
  bool image;
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class ExecuteCrashWin32 : public ::testing::TestWithParam<CutCase> {};

TEST_P(ExecuteCrashWin32, TheRealProgramReadsEveryCutStoreAndNeverHidesSentInput) {
  const CutCase& c = GetParam();
  ::CreateDirectoryW(kTestDir.c_str(), nullptr);

  int total = 0;
  int sent_before = 0;
  {
    Case whole(std::string(c.name) + "-whole");
    const Ran ran = whole.helper(whole.write_request(L"request.json", fresh_request(std::string(kCutId), c.action)),
                                 c.answer, 0);
    ASSERT_EQ(ran.exit_code, 0u) << ran.output;
    const std::string report = read_text_file(whole.report());
    ASSERT_EQ(std::sscanf(report.c_str(), "changes=%d sent=%d", &total, &sent_before), 2) << report;
    auto doc = json::parse(report.substr(report.find('\n') + 1));
    ASSERT_TRUE(doc) << report;
    ASSERT_EQ(text_at(&*doc, "phase"), c.final_phase) << report;
    ASSERT_EQ(result_code(*doc), c.answer_code);
  }
  ASSERT_GT(total, 8);
  ASSERT_LT(sent_before, total);

  int receipt_temporaries = 0;
  // The last round cuts nothing: the helper ends normally after its last
  // write, as a broker that dies before its answer is read.
  for (int k = 1; k <= total + 1; ++k) {
    SCOPED_TRACE("cut at changing call " + std::to_string(k) + " of " + std::to_string(total));
    Case cut(std::string(c.name) + "-" + std::to_string(k));
    const Request request = fresh_request(std::string(kCutId), c.action);
    const std::wstring request_file = cut.write_request(L"request.json", request);
    const Ran ran = cut.helper(request_file, c.answer, k);
    ASSERT_EQ(ran.exit_code, k <= total ? 1u : 0u) << ran.output;
    const bool sent = k > sent_before;
    const bool mutating = is_mutating(request.action);

    // Every receipt on the disk loads, protected.
    Store store;
    auto root = ensure_state_directory(*store.fs, *store.caller, cut.state_dir());
    ASSERT_TRUE(root) << root.error().display_chain();
    auto receipts = load_receipts(store.ctx, *root);
    ASSERT_TRUE(receipts) << receipts.error().display_chain();
    for (const std::string& name : store.names(*root)) {
      if (!ends_with(name, ".json")) continue;
      auto bytes = read_bounded_file(*store.fs, root->join(name), kReceiptFileLimit);
      ASSERT_TRUE(bytes);
      EXPECT_TRUE(has_protected_header(*bytes)) << name;
    }

    // `status` of the real program, the helper gone.
    const auto [status_exit, status] = cut.marionet(L"status --operation-id " + wide(std::string(kCutId)));
    std::string phase = text_at(&status, "phase");
    const bool present = phase != "<not text>";
    if (!present) {
      EXPECT_EQ(text_at(&status, "code"), "DESKTOP_FILE_UNAVAILABLE");
      EXPECT_EQ(status_exit, 1u);
      EXPECT_FALSE(sent) << "a request that may have been sent has no receipt";
      phase = "absent";
    } else if (phase == "unknown") {
      EXPECT_EQ(text_at(&status, "code"), "DESKTOP_OUTCOME_UNKNOWN");
      EXPECT_EQ(text_at(&status, "nextSafeAction"), kUnsettledSentence);
      const std::string code = result_code(status);
      EXPECT_TRUE(code == "<no result>" || code == c.answer_code) << code;
    } else {
      EXPECT_EQ(phase, c.final_phase);
      EXPECT_EQ(text_at(&status, "code"), "DESKTOP_OPERATION_FINISHED");
      EXPECT_EQ(result_code(status), c.answer_code);
      const json::Value* image = status.find("image");
      ASSERT_NE(image, nullptr);
      EXPECT_EQ(image->is_null(), !c.image);
    }
    if (present) {
      EXPECT_EQ(status_exit, 0u);
      const json::Value* result = status.find("result");
      const json::Value* startup = result && !result->is_null() ? result->find("startup") : nullptr;
      if (startup != nullptr && !startup->is_null()) {
        const json::Value* dispatched = startup->find("requestDispatched");
        EXPECT_TRUE(!sent || (dispatched && dispatched->as_bool() && *dispatched->as_bool()))
            << "a sent request is reported as not sent";
      }
    }

    // New input through the real program is fenced while the cut input is
    // unsettled (otherwise the program would start a real worker: the
    // helper's run below shows the store working instead).
    if (mutating && phase == "unknown") {
      const Request next = fresh_request("op-next", [](const Window& w) { return Type{w, "next"}; });
      const auto [fence_exit, fenced] =
          cut.marionet(L"execute --request " + quoted(cut.write_request(L"next.json", next)));
      EXPECT_EQ(text_at(&fenced, "code"), "DESKTOP_INPUT_FENCED");
      EXPECT_EQ(text_at(&fenced, "operationId"), kCutId);
      EXPECT_EQ(fence_exit, 1u);
    }

    // A replay through the real program answers from the receipt.
    if (present) {
      const auto [replay_exit, replay] = cut.marionet(L"execute --request " + quoted(request_file));
      EXPECT_EQ(text_at(&replay, "phase"), phase);
      EXPECT_EQ(text_at(&replay, "code"), text_at(&status, "code"));
      EXPECT_EQ(text_at(&replay, "createdAt"), text_at(&status, "createdAt"));
      EXPECT_EQ(replay_exit, 0u);
    }

    // An observation runs on the same store, and its pass leaves no image
    // without a record.
    const Request look = fresh_request("op-look", [](const Window&) { return Inspect{}; });
    const Ran looked = cut.helper(cut.write_request(L"look.json", look), "observed", 0);
    ASSERT_EQ(looked.exit_code, 0u) << looked.output;
    const std::string report = read_text_file(cut.report());
    auto look_doc = json::parse(report.substr(report.find('\n') + 1));
    ASSERT_TRUE(look_doc) << report;
    EXPECT_EQ(text_at(&*look_doc, "phase"), "finished") << report;
    std::set<std::string> recorded;
    const std::vector<Receipt> after = load_receipts(store.ctx, *root).value();
    for (const Receipt& r : after) {
      if (r.image) recorded.insert(r.image->file_name);
    }
    for (const std::string& name : store.names(*root)) {
      if (ends_with(name, ".image") || ends_with(name, ".png")) {
        EXPECT_TRUE(recorded.count(name)) << name;
      }
      // No plaintext receipt stays on the disk: a temporary the cut left
      // empty is protected in place by the pass.
      if (is_receipt_temporary_name(name)) {
        ++receipt_temporaries;
        auto bytes = read_bounded_file(*store.fs, root->join(name), kReceiptFileLimit);
        ASSERT_TRUE(bytes) << bytes.error().display_chain();
        EXPECT_TRUE(has_protected_header(*bytes)) << name;
      }
    }

    // A day later no temporary and no image is left; unsettled input stays.
    auto pass = maintain_state_directory(store.ctx, *store.processes, *root, system_clock().utc_now() + 25h, false);
    ASSERT_TRUE(pass) << pass.error().display_chain();
    for (const std::string& name : store.names(*root)) {
      EXPECT_EQ(name.find(".tmp-"), std::string::npos) << name;
      EXPECT_FALSE(ends_with(name, ".image") || ends_with(name, ".png")) << name;
    }
    const bool kept = state_file_exists(*store.fs, state_file_path(*root, std::string(kCutId), "json").value());
    EXPECT_EQ(kept, mutating && phase == "unknown");
  }
  EXPECT_GT(receipt_temporaries, 0);
}

std::vector<CutCase> cut_cases() {
  return {
      {"TypeAccepted", [](const Window& w) { return Type{w, "hello"}; }, "accepted", "DESKTOP_INPUT_ACCEPTED",
       "finished", false},
      {"ClickOutcomeUnknown", [](const Window& w) { return Click{w, 5, 6}; }, "unknown",
       "DESKTOP_INPUT_OUTCOME_UNKNOWN", "unknown", false},
      {"CaptureStoresItsImage", [](const Window& w) { return Capture{w}; }, "captured", "DESKTOP_OBSERVED", "finished",
       true},
  };
}

INSTANTIATE_TEST_SUITE_P(Cases, ExecuteCrashWin32, ::testing::ValuesIn(cut_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vor::desktop
