#include "standalone/state/receipt.h"

#include <array>

#include "common/crypto.h"
#include "common/json.h"

namespace vor::desktop {
namespace {

constexpr std::array<std::string_view, 4> kPhaseNames = {"running", "finished", "unknown", "reconciled"};

constexpr std::array<std::string_view, 12> kReceiptKeys = {
    "operationId", "requestHash", "sessionId", "mutating", "phase",  "createdAt",
    "finishedAt",  "pid",         "pidCreated", "result",  "image", "reconciledBy"};
constexpr std::array<std::string_view, 4> kImageKeys = {"fileName", "bytes", "sha256", "createdAt"};

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

void encode_image(std::string& out, const Image& image) {
  json::ObjectWriter w(out);
  json::write_string(w.key("fileName"), image.file_name);
  json::write_uint(w.key("bytes"), image.bytes);
  json::write_string(w.key("sha256"), image.sha256);
  json::write_time(w.key("createdAt"), image.created_at);
  w.close();
}

Result<Image> image_from_value(const json::Value& value) {
  Image image;
  json::Record r(value, kImageKeys);
  r.required("fileName", image.file_name)
      .required("bytes", image.bytes)
      .required("sha256", image.sha256)
      .required("createdAt", image.created_at);
  VOR_RETURN_IF_ERROR(r.status());
  return image;
}

Result<ReceiptPhase> phase_from_value(const json::Value& value) {
  VOR_ASSIGN_OR_RETURN(auto index, json::read_name(value, kPhaseNames));
  return static_cast<ReceiptPhase>(index);
}

// A key that must be present and may be null.
template <class F>
auto nullable(F convert) {
  return [convert](const json::Value& v) -> Result<std::optional<typename std::invoke_result_t<F, const json::Value&>::value_type>> {
    using T = typename std::invoke_result_t<F, const json::Value&>::value_type;
    if (v.is_null()) return std::optional<T>();
    VOR_ASSIGN_OR_RETURN(auto converted, convert(v));
    return std::optional<T>(std::move(converted));
  };
}

}  // namespace

std::string_view receipt_phase_name(ReceiptPhase phase) { return kPhaseNames[static_cast<std::size_t>(phase)]; }

bool parse_receipt_phase(std::string_view text) { return text == "running" || text == "unknown"; }

bool is_unsettled(ReceiptPhase phase) { return phase == ReceiptPhase::kRunning || phase == ReceiptPhase::kUnknown; }

void encode_receipt(std::string& out, const Receipt& r) {
  json::ObjectWriter w(out);
  json::write_string(w.key("operationId"), r.operation_id);
  json::write_string(w.key("requestHash"), r.request_hash);
  json::write_uint(w.key("sessionId"), r.session_id);
  json::write_bool(w.key("mutating"), r.mutating);
  json::write_string(w.key("phase"), receipt_phase_name(r.phase));
  json::write_time(w.key("createdAt"), r.created_at);
  if (r.finished_at) {
    json::write_time(w.key("finishedAt"), *r.finished_at);
  } else {
    json::write_null(w.key("finishedAt"));
  }
  json::write_uint(w.key("pid"), r.pid);
  json::write_uint(w.key("pidCreated"), r.pid_created);
  if (r.result) {
    encode_response(w.key("result"), *r.result);
  } else {
    json::write_null(w.key("result"));
  }
  if (r.image) {
    encode_image(w.key("image"), *r.image);
  } else {
    json::write_null(w.key("image"));
  }
  if (r.reconciled_by) {
    json::write_string(w.key("reconciledBy"), *r.reconciled_by);
  } else {
    json::write_null(w.key("reconciledBy"));
  }
  w.close();
}

Result<Receipt> decode_receipt(std::string_view text) {
  VOR_ASSIGN_OR_RETURN(auto tree, json::parse(text));
  Receipt r;
  json::Record record(tree, kReceiptKeys);
  record.required("operationId", r.operation_id)
      .required("requestHash", r.request_hash)
      .required("sessionId", r.session_id)
      .required("mutating", r.mutating)
      .required("phase", r.phase, phase_from_value)
      .required("createdAt", r.created_at)
      .required("finishedAt", r.finished_at, nullable(json::to_time))
      .required("pid", r.pid)
      .required("pidCreated", r.pid_created, json::to_scalar)
      .required("result", r.result, nullable(response_from_value))
      .required("image", r.image, nullable(image_from_value))
      .required("reconciledBy", r.reconciled_by, nullable(json::to_text));
  VOR_RETURN_IF_ERROR(record.status());
  return r;
}

bool is_hex_digest(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

Result<std::string> state_file_name(std::string_view key, std::string_view extension) {
  VOR_ASSIGN_OR_RETURN(auto digest, sha256(key));
  std::string name = to_hex(digest);
  name += '.';
  name += extension;
  return name;
}

Result<std::string> state_file_path(const StateRoot& root, std::string_view key, std::string_view extension) {
  VOR_ASSIGN_OR_RETURN(auto name, state_file_name(key, extension));
  return root.join(name);
}

Response redact_response_for_receipt(const Response& response) {
  Response copy = response;
  for (Window& window : copy.windows) window.title.clear();
  if (copy.automation) copy.automation->elements.clear();
  copy.png_base64.reset();
  return copy;
}

Status write_receipt(StateContext& ctx, const StateRoot& root, const Receipt& receipt, bool create_new) {
  Receipt stored = receipt;
  if (stored.result) stored.result = redact_response_for_receipt(*stored.result);

  // Room for the largest receipt allowed, so that growing the text never
  // leaves an unwiped copy behind.
  std::string json;
  json.reserve(kReceiptPlaintextLimit + 1);
  encode_receipt(json, stored);
  if (json.size() > kReceiptPlaintextLimit) {
    wipe_text(json);
    return fail(coded(kStateQuotaExceeded, "receipt too large"));
  }
  auto path = state_file_path(root, stored.operation_id, "json");
  if (!path) {
    wipe_text(json);
    return fail(std::move(path.error()));
  }
  auto envelope = protect_data(ctx.dpapi, *path, as_bytes(json), json.size());
  wipe_text(json);
  if (!envelope) return fail(std::move(envelope.error()));

  VOR_ASSIGN_OR_RETURN(auto uuid, ctx.new_uuid());
  VOR_ASSIGN_OR_RETURN(auto temp, state_file_path(root, stored.operation_id, "tmp-" + uuid));
  if (create_new) return create_file_atomically(ctx.fs, *path, temp, *envelope);
  return replace_file_atomically(ctx.fs, ctx.clock, *path, temp, *envelope);
}

Result<Receipt> load_receipt(StateContext& ctx, const StateRoot& root, std::string_view path) {
  VOR_ASSIGN_OR_RETURN(auto bytes, read_bounded_file(ctx.fs, path, kReceiptFileLimit));
  WipeOnExit wipe_file(bytes);

  Bytes plaintext;
  WipeOnExit wipe_plain(plaintext);
  if (has_protected_header(bytes)) {
    VOR_ASSIGN_OR_RETURN(auto opened, unprotect_file(ctx.dpapi, path, bytes, kReceiptPlaintextLimit));
    plaintext = std::move(opened);
  } else if (!bytes.empty() && bytes.size() <= kReceiptPlaintextLimit && bytes.front() == '{') {
    plaintext = std::move(bytes);
  } else {
    return fail(coded(kStateInvalid, "neither a protected nor a plain receipt"));
  }

  auto receipt = decode_receipt(std::string_view(reinterpret_cast<const char*>(plaintext.data()), plaintext.size()));
  if (!receipt) return fail(coded_over(kStateInvalid, std::move(receipt.error())));
  VOR_ASSIGN_OR_RETURN(auto own, state_file_path(root, receipt->operation_id, "json"));
  if (own != path) return fail(coded(kStateInvalid, "receipt stored under another operation's name"));
  if (receipt->result) receipt->result = redact_response_for_receipt(*receipt->result);
  return std::move(*receipt);
}

Result<Receipt> load_operation_receipt(StateContext& ctx, const StateRoot& root, std::string_view operation_id) {
  VOR_ASSIGN_OR_RETURN(auto path, state_file_path(root, operation_id, "json"));
  VOR_ASSIGN_OR_RETURN(auto receipt, load_receipt(ctx, root, path));
  if (receipt.operation_id != operation_id) return fail(coded(kStateInvalid, "receipt of another operation"));
  return receipt;
}

Result<std::vector<Receipt>> load_receipts(StateContext& ctx, const StateRoot& root) {
  VOR_ASSIGN_OR_RETURN(auto entries, ctx.fs.list(root.path()));
  std::vector<Receipt> receipts;
  for (const DirectoryEntry& entry : entries) {
    const std::string_view name = entry.name;
    if (!name.ends_with(".json")) continue;
    if (name.size() != 69 || !is_hex_digest(name.substr(0, 64))) {
      return fail(coded(kStateInvalid, "unexpected receipt name " + entry.name));
    }
    if (receipts.size() == kMaximumReceipts) return fail(coded(kStateQuotaExceeded, "more than 128 receipts"));
    VOR_ASSIGN_OR_RETURN(auto receipt, load_receipt(ctx, root, root.join(name)));
    receipts.push_back(std::move(receipt));
  }
  return receipts;
}

Result<bool> operation_process_runs(ProcSys& processes, std::uint32_t process_id, std::uint64_t created) {
  auto process = processes.open(process_id, ProcSys::Access::kQueryAndWait);
  if (!process) {
    if (process.error() == kErrorInvalidParameter) return false;
    return fail(coded_os(kProcessStateUnavailable, process.error()));
  }
  auto creation = (*process)->creation_time();
  if (!creation) return fail(coded_os(kProcessStateUnavailable, creation.error()));
  if (*creation != created) return false;
  auto exited = (*process)->has_exited();
  if (!exited) return fail(coded_os(kProcessStateUnavailable, exited.error()));
  return !*exited;
}

}  // namespace vor::desktop
