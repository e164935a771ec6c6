#include "standalone_main/command_line.h"

#include <map>

#include "common/text.h"

namespace vor::desktop {
namespace {

constexpr std::string_view kInvocationInvalid = "DESKTOP_INVOCATION_INVALID";
constexpr std::string_view kSessionPrefix = "session-";
constexpr std::string_view kFullscreenPrefix = "session-fullscreen-";

std::unexpected<Error> invalid(std::string_view code = kInvocationInvalid) { return fail(std::string(code)); }

// Options by name; each one a verb reads is taken out, so what remains at the
// end was not expected by the verb.
class OptionMap {
 public:
  static Result<OptionMap> read(std::span<const Argument> pairs) {
    OptionMap map;
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
      const Argument& name = pairs[i];
      const Argument& value = pairs[i + 1];
      if (!name || !value) return invalid();
      if (name->size() < 2 || !name->starts_with("--") || value->empty()) return invalid();
      if (!map.options_.emplace(*name, *value).second) return invalid();
    }
    return map;
  }

  Result<std::string> take(const char* name, std::string_view missing_code) {
    auto it = options_.find(name);
    if (it == options_.end()) return invalid(missing_code);
    std::string value = std::move(it->second);
    options_.erase(it);
    return value;
  }

  Result<std::uint32_t> take_session_id() {
    VOR_ASSIGN_OR_RETURN(auto text, take("--session-id", "DESKTOP_SESSION_REQUIRED"));
    const auto id = parse_u32_decimal(text);
    if (!id || *id == 0) return invalid("DESKTOP_SESSION_INVALID");
    return *id;
  }

  Status finish() const {
    if (!options_.empty()) return invalid();
    return {};
  }

 private:
  std::map<std::string, std::string> options_;
};

template <class T>
Result<ParsedCommand> done(const OptionMap& map, T command) {
  VOR_RETURN_IF_ERROR(map.finish());
  return ParsedCommand(std::move(command));
}

// Expands to an early return of the failure held by `expr`.
#define VOR_TRY_ASSIGN(var, expr)                 \
  auto var##_result = (expr);                     \
  if (!var##_result) return fail(std::move(var##_result.error())); \
  auto var = std::move(*var##_result)

Result<ParsedCommand> parse_one_shot(const std::string& verb, OptionMap map) {
  if (verb == "probe") {
    VOR_TRY_ASSIGN(session, map.take_session_id());
    return done(map, OneShotCommand(cmd::Probe{session}));
  }
  VOR_TRY_ASSIGN(state_dir, map.take("--state-dir", "DESKTOP_STATE_DIR_REQUIRED"));
  if (verb == "status" || verb == "image-export") {
    VOR_TRY_ASSIGN(op, map.take("--operation-id", "DESKTOP_OPERATION_ID_REQUIRED"));
    if (verb == "status") return done(map, OneShotCommand(cmd::Status{op, state_dir}));
    return done(map, OneShotCommand(cmd::ImageExport{op, state_dir}));
  }
  if (verb == "execute") {
    VOR_TRY_ASSIGN(request, map.take("--request", "DESKTOP_REQUEST_REQUIRED"));
    return done(map, OneShotCommand(cmd::Execute{request, state_dir}));
  }
  if (verb == "reconcile") {
    VOR_TRY_ASSIGN(op, map.take("--operation-id", "DESKTOP_OPERATION_ID_REQUIRED"));
    VOR_TRY_ASSIGN(obs, map.take("--observation-id", "DESKTOP_OBSERVATION_REQUIRED"));
    return done(map, OneShotCommand(cmd::Reconcile{op, obs, state_dir}));
  }
  return invalid();
}

Result<ParsedCommand> parse_session(const std::string& verb, std::span<const Argument> args) {
  if (verb.size() >= kFullscreenPrefix.size() && verb.starts_with(kFullscreenPrefix)) {
    return invalid("DESKTOP_FULLSCREEN_UNSUPPORTED");
  }
  if (args.size() % 2 == 0) return invalid();
  VOR_TRY_ASSIGN(map, OptionMap::read(args.subspan(1)));
  VOR_TRY_ASSIGN(state_dir, map.take("--state-dir", "DESKTOP_STATE_DIR_REQUIRED"));
  if (verb == "session-start" || verb == "session-host") {
    VOR_TRY_ASSIGN(session, map.take_session_id());
    if (verb == "session-start") return done(map, SessionCommand(cmd::SessionStart{session, state_dir}));
    return done(map, SessionCommand(cmd::SessionHost{session, state_dir}));
  }
  if (verb == "session-status") return done(map, SessionCommand(cmd::SessionStatus{state_dir}));
  if (verb == "session-close") return done(map, SessionCommand(cmd::SessionClose{state_dir}));
  if (verb == "session-execute") {
    VOR_TRY_ASSIGN(request, map.take("--request", "DESKTOP_REQUEST_REQUIRED"));
    return done(map, SessionCommand(cmd::SessionExecute{request, state_dir}));
  }
  if (verb == "session-operation-status" || verb == "session-image-export") {
    VOR_TRY_ASSIGN(op, map.take("--operation-id", "DESKTOP_OPERATION_ID_REQUIRED"));
    if (verb == "session-operation-status") {
      return done(map, SessionCommand(cmd::SessionOperationStatus{op, state_dir}));
    }
    return done(map, SessionCommand(cmd::SessionImageExport{op, state_dir}));
  }
  if (verb == "session-reconcile") {
    VOR_TRY_ASSIGN(op, map.take("--operation-id", "DESKTOP_OPERATION_ID_REQUIRED"));
    VOR_TRY_ASSIGN(obs, map.take("--observation-id", "DESKTOP_OBSERVATION_REQUIRED"));
    return done(map, SessionCommand(cmd::SessionReconcile{op, obs, state_dir}));
  }
  return invalid();
}

}  // namespace

Role select_role(std::span<const Argument> args) {
  if (args.empty() || !args.front()) return Role::kCommandLine;
  if (*args.front() == "worker") return Role::kWorker;
  if (*args.front() == "session-host") return Role::kSessionHost;
  return Role::kCommandLine;
}

Result<ParsedCommand> parse_command(std::span<const Argument> args) {
  if (args.empty()) return invalid();
  // A first word that is not valid text is no verb of this program: it takes
  // the path of an unknown verb.
  const std::string verb = args.front().value_or(std::string());
  if (verb.size() >= kSessionPrefix.size() && verb.starts_with(kSessionPrefix)) return parse_session(verb, args);
  if (args.size() == 1) {
    if (verb == "help" || verb == "--help" || verb == "--version") return ParsedCommand(OneShotCommand(cmd::Capabilities{}));
    if (verb == "sessions") return ParsedCommand(OneShotCommand(cmd::Sessions{}));
  }
  if (args.size() > 1 && args.size() % 2 == 0) return invalid();
  VOR_TRY_ASSIGN(map, OptionMap::read(args.subspan(1)));
  return parse_one_shot(verb, std::move(map));
}

}  // namespace vor::desktop
