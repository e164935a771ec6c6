#include "standalone_main/entry.h"

#include "standalone/cli/error_codes.h"

namespace vor::desktop {
namespace {

// The operation id that a failed one-shot command's error document names.
std::optional<std::string> reported_operation_id(const OneShotCommand& command) {
  if (const auto* s = std::get_if<cmd::Status>(&command)) return s->operation_id;
  if (const auto* r = std::get_if<cmd::Reconcile>(&command)) return r->operation_id;
  return std::nullopt;
}

// The five members of an error document; the session host adds the OS
// error of a failed client check as a sixth.
bool is_error_document(const CliDocument& document) {
  const json::Object* members = document.as_object();
  if (members == nullptr) return false;
  const std::size_t extra = document.find("win32Error") != nullptr ? 1 : 0;
  if (members->size() != 5 + extra) return false;
  for (const char* key : {"code", "nextSafeAction", "operationId", "retryable", "schemaVersion"}) {
    if (document.find(key) == nullptr) return false;
  }
  return true;
}

}  // namespace

int one_shot_exit_code(const CliDocument& document) {
  // An error document returned as a command's result is still a failure.
  if (is_error_document(document)) return kExitFailure;
  if (const json::Value* ready = document.find("ready")) {
    if (const bool* value = ready->as_bool(); value != nullptr && !*value) return kExitFailure;
  }
  return kExitSuccess;
}

int run_entry(std::span<const Argument> args, EntryServices& services) {
  if (args.empty()) return kExitSuccess;
  const Role role = select_role(args);

  const bool watched = role != Role::kSessionHost;
  const std::optional<LifetimeWatchdog> watchdog =
      watched ? services.start_watchdog(role == Role::kWorker ? kWorkerLifetime : kCommandLifetime) : std::nullopt;
  if (watched && !watchdog) return kExitInvocation;

  if (role == Role::kWorker) {
    return services.run_worker(args.subspan(1)) ? kExitSuccess : kExitInvocation;
  }

  auto parsed = parse_command(args);
  if (!parsed) {
    services.write_stdout(print_line(error_guidance(error_code_of(parsed.error()), std::nullopt)));
    return kExitInvocation;
  }

  if (const auto* one_shot = std::get_if<OneShotCommand>(&*parsed)) {
    auto document = services.run_one_shot(*one_shot);
    if (!document) {
      services.write_stdout(
          print_line(error_guidance(error_code_of(document.error()), reported_operation_id(*one_shot))));
      return kExitFailure;
    }
    rewrite_window_identifiers(*document);
    services.write_stdout(print_line(*document));
    return one_shot_exit_code(*document);
  }

  auto document = services.run_session(std::get<SessionCommand>(*parsed));
  if (!document) {
    services.write_stdout(print_line(error_guidance(error_code_of(document.error()), std::nullopt)));
    return kExitFailure;
  }
  rewrite_window_identifiers(*document);
  services.write_stdout(print_line(*document));
  return is_error_document(*document) ? kExitFailure : kExitSuccess;
}

}  // namespace vor::desktop
