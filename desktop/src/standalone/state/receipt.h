// Receipts: one protected record per executed operation in the state root,
// named by the SHA-256 of its operation id.
//
// The execute transaction creates a receipt "running" (`write_receipt` with
// create_new), rewrites it with its final phase, and `reconcile` may settle it
// later; `status`, `image-export`, the maintenance pass and the session host
// read them (`load_operation_receipt`, `load_receipts`). A stored `result` is
// always in redacted form: no window titles, automation elements or PNG.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "common/time.h"
#include "native/ports.h"
#include "protocol/response.h"
#include "standalone/state/state_store.h"

namespace vor::desktop {

inline constexpr std::size_t kMaximumReceipts = 128;
inline constexpr std::string_view kProcessStateUnavailable = "DESKTOP_PROCESS_STATE_UNAVAILABLE";

enum class ReceiptPhase { kRunning, kFinished, kUnknown, kReconciled };

std::string_view receipt_phase_name(ReceiptPhase phase);
// True when the text is exactly "running" or exactly "unknown".
bool parse_receipt_phase(std::string_view text);
// "running" and "unknown" are unsettled: never aged out, and a mutating one
// fences new mutating requests.
bool is_unsettled(ReceiptPhase phase);

struct Image {
  std::string file_name;  // normally "<hash>.image"; older stores name "<hash>.png"
  std::uint64_t bytes = 0;  // PNG length
  std::string sha256;       // 64 lowercase hex digits of the PNG
  Time created_at{};
  bool operator==(const Image&) const = default;
};

struct Receipt {
  std::string operation_id;
  std::string request_hash;
  std::uint32_t session_id = 0;
  bool mutating = false;
  ReceiptPhase phase = ReceiptPhase::kRunning;
  Time created_at{};
  std::optional<Time> finished_at;
  std::uint32_t pid = 0;
  std::uint64_t pid_created = 0;  // FILETIME of the broker's creation
  std::optional<Response> result;
  std::optional<Image> image;
  std::optional<std::string> reconciled_by;
  bool operator==(const Receipt&) const = default;
};

// Compact JSON in declared key order, every key written (null when absent).
void encode_receipt(std::string& out, const Receipt& receipt);
// One whole receipt document, strictly: undeclared, duplicate or missing
// keys fail.
Result<Receipt> decode_receipt(std::string_view json);

// root\<64 lowercase hex SHA-256 of key>.<extension>
Result<std::string> state_file_path(const StateRoot& root, std::string_view key, std::string_view extension);
// "<hash>.<extension>", the name alone.
Result<std::string> state_file_name(std::string_view key, std::string_view extension);

// Titles emptied, automation elements dropped, pngBase64 removed.
Response redact_response_for_receipt(const Response& response);

// Redacts, serializes (at most 65,536 bytes, else "DESKTOP_STATE_QUOTA_EXCEEDED"),
// protects for `<hash>.json` and stores it. `create_new`: the receipt must not
// exist yet ("DESKTOP_STATE_WRITE_FAILED" if it does); it is written to a
// temporary and moved into place without replacing, so a cut-short write
// never leaves a half receipt. Otherwise the receipt replaces the old one
// atomically. The plaintext is wiped in every case.
Status write_receipt(StateContext& ctx, const StateRoot& root, const Receipt& receipt, bool create_new);

// The receipt stored at `path`: protected, or plain JSON starting with '{';
// its operation id must name this very path.
Result<Receipt> load_receipt(StateContext& ctx, const StateRoot& root, std::string_view path);
// The receipt of this operation id; a missing file is "DESKTOP_FILE_UNAVAILABLE".
Result<Receipt> load_operation_receipt(StateContext& ctx, const StateRoot& root, std::string_view operation_id);
// Every receipt of the root in listing order. A "*.json" entry that is not
// 64 hex digits + ".json" is "DESKTOP_STATE_INVALID"; a 129th receipt is
// "DESKTOP_STATE_QUOTA_EXCEEDED".
Result<std::vector<Receipt>> load_receipts(StateContext& ctx, const StateRoot& root);

// True for exactly 64 hexadecimal digits (either case).
bool is_hex_digest(std::string_view text);

// True while the process with this id and creation time (a receipt's `pid`
// and `pidCreated`) still runs. An id that no process has
// (ERROR_INVALID_PARAMETER) or another creation time is gone; any other
// failure is "DESKTOP_PROCESS_STATE_UNAVAILABLE" over it.
Result<bool> operation_process_runs(ProcSys& processes, std::uint32_t process_id, std::uint64_t created);

}  // namespace vor::desktop
