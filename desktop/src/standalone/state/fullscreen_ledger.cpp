#include "standalone/state/fullscreen_ledger.h"

#include <array>

#include "common/json.h"

namespace vor::desktop {
namespace {

constexpr std::array<std::string_view, 2> kLedgerKeys = {"schemaVersion", "operationIds"};

bool is_ledger_id(std::string_view id) {
  if (id.empty() || id.size() > kMaximumLedgerIdLength) return false;
  for (char c : id) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

bool has_arm_extension(std::string_view name) {
  const auto dot = name.rfind('.');
  return dot != std::string_view::npos && dot != 0 && name.substr(dot + 1) == "arm";
}

// The ids of one ledger file's document; other keys are ignored.
Status read_ledger_document(std::string_view text, FullscreenLedger& ids) {
  auto tree = json::parse(text);
  if (!tree) return fail(coded_over(kStateInvalid, std::move(tree.error())));
  json::Record record(*tree, kLedgerKeys, json::Mode::kLenient);
  const json::Value* schema = record.member("schemaVersion");
  const json::Value* list = record.member("operationIds");
  if (auto ok = record.status(); !ok) return fail(coded_over(kStateInvalid, std::move(ok.error())));
  if (!schema || !schema->as_string() || *schema->as_string() != kFullscreenSchemaVersion) {
    return fail(coded(kStateInvalid, "ledger schemaVersion"));
  }
  if (!list || !list->as_array() || list->as_array()->size() > kMaximumLedgerIds) {
    return fail(coded(kStateInvalid, "ledger operationIds"));
  }
  for (const json::Value& item : *list->as_array()) {
    if (!item.as_string() || !is_ledger_id(*item.as_string())) return fail(coded(kStateInvalid, "ledger operation id"));
  }
  for (const json::Value& item : *list->as_array()) ids.insert(*item.as_string());
  return {};
}

}  // namespace

Result<FullscreenLedger> read_fullscreen_ledger(FileSystem& fs, const StateRoot& root) {
  VOR_ASSIGN_OR_RETURN(auto entries, fs.list(root.path()));
  FullscreenLedger ids;
  std::size_t read = 0;
  for (const DirectoryEntry& entry : entries) {
    if (!has_arm_extension(entry.name)) continue;
    if (read == kMaximumLedgerFiles) return fail(coded(kFullscreenReceiptQuota));
    ++read;
    VOR_ASSIGN_OR_RETURN(auto bytes, read_bounded_file(fs, root.join(entry.name), kLedgerFileLimit));
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (auto ok = read_ledger_document(text, ids); !ok) return fail(std::move(ok.error()).context("ledger " + entry.name));
  }
  return ids;
}

Status check_operation_not_consumed(const FullscreenLedger& ledger, std::string_view operation_id) {
  if (ledger.count(std::string(operation_id))) return fail(coded(kFullscreenOperationConsumed));
  return {};
}

}  // namespace vor::desktop
