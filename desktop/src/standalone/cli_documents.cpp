#include "standalone/cli_documents.h"

#include "standalone/error_codes.h"

namespace vor::desktop {

CliDocument error_guidance(std::string_view code, const std::optional<std::string>& operation_id) {
  CliDocument doc = CliDocument::object();
  doc["code"] = std::string(code);
  doc["nextSafeAction"] = std::string(guidance_text(code));
  doc["operationId"] = operation_id ? CliDocument(*operation_id) : CliDocument(nullptr);
  doc["retryable"] = false;
  doc["schemaVersion"] = std::string(kCliSchema);
  return doc;
}

CliDocument sessions_document(const std::vector<std::uint32_t>& active_sessions) {
  CliDocument list = CliDocument::array();
  for (std::uint32_t id : active_sessions) list.push_back({{"sessionId", id}, {"state", "active"}});
  return {{"schemaVersion", std::string(kCliSchema)}, {"code", "DESKTOP_SESSIONS"}, {"sessions", std::move(list)}};
}

void rewrite_window_identifiers(CliDocument& document) {
  if (!document.is_object()) return;
  auto result = document.find("result");
  if (result == document.end() || !result->is_object()) return;
  auto windows = result->find("windows");
  if (windows == result->end() || !windows->is_array()) return;
  for (CliDocument& window : *windows) {
    if (!window.is_object()) continue;
    for (const char* key : {"handle", "processCreated"}) {
      auto member = window.find(key);
      if (member == window.end()) continue;
      if (member->is_number_unsigned()) {
        *member = std::to_string(member->get<std::uint64_t>());
      } else if (member->is_number_integer() && member->get<std::int64_t>() >= 0) {
        *member = std::to_string(member->get<std::int64_t>());
      }
    }
  }
}

std::string print_line(const CliDocument& document) {
  try {
    return document.dump() + "\n";
  } catch (const nlohmann::json::exception&) {
    return error_guidance(kOperationFailed, std::nullopt).dump() + "\n";
  }
}

}  // namespace vor::desktop
