#include "standalone/cli/cli_documents.h"

#include "common/text.h"
#include "standalone/cli/error_codes.h"

namespace vor::desktop {
namespace {

json::Value* find_member(json::Value& value, std::string_view key) {
  json::Object* object = value.as_object();
  if (object == nullptr) return nullptr;
  for (json::Member& m : *object) {
    if (m.key == key) return &m.value;
  }
  return nullptr;
}

bool all_text_valid(const json::Value& value) {
  if (const std::string* s = value.as_string()) return is_valid_utf8(*s);
  if (const json::Array* items = value.as_array()) {
    for (const json::Value& item : *items) {
      if (!all_text_valid(item)) return false;
    }
  }
  if (const json::Object* members = value.as_object()) {
    for (const json::Member& m : *members) {
      if (!is_valid_utf8(m.key) || !all_text_valid(m.value)) return false;
    }
  }
  return true;
}

}  // namespace

CliDocument error_guidance(std::string_view code, const std::optional<std::string>& operation_id) {
  return json::Object{
      {"code", std::string(code)},
      {"nextSafeAction", guidance_text(code)},
      {"operationId", operation_id ? json::Value(*operation_id) : json::Value(nullptr)},
      {"retryable", false},
      {"schemaVersion", kCliSchema},
  };
}

CliDocument sessions_document(const std::vector<std::uint32_t>& active_sessions) {
  json::Array list;
  for (std::uint32_t id : active_sessions) list.push_back(json::Object{{"sessionId", id}, {"state", "active"}});
  return json::Object{{"schemaVersion", kCliSchema}, {"code", "DESKTOP_SESSIONS"}, {"sessions", std::move(list)}};
}

void rewrite_window_identifiers(CliDocument& document) {
  json::Value* result = find_member(document, "result");
  json::Value* windows = result ? find_member(*result, "windows") : nullptr;
  json::Array* list = windows ? windows->as_array() : nullptr;
  if (list == nullptr) return;
  for (json::Value& window : *list) {
    for (const char* key : {"handle", "processCreated"}) {
      json::Value* member = find_member(window, key);
      // Only unsigned numbers are non-negative integers; negative ones stay.
      if (member != nullptr && member->as_unsigned() != nullptr) *member = std::to_string(*member->as_unsigned());
    }
  }
}

std::string print_line(const CliDocument& document) {
  std::string line =
      all_text_valid(document) ? json::to_sorted_string(document) : json::to_sorted_string(error_guidance(kOperationFailed, std::nullopt));
  line += '\n';
  return line;
}

}  // namespace vor::desktop
