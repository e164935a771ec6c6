#include "standalone/one_shot.h"

#include "build_capabilities/capabilities.h"
#include "standalone/windows_sessions.h"

namespace vor::desktop {
namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

Result<CliDocument> not_built(const char* verb) {
  return fail(std::string("DESKTOP_OPERATION_FAILED: ") + verb + " is not available in this build");
}

}  // namespace

Result<CliDocument> run_standalone_command(const OneShotCommand& command) {
  return run_standalone_command(command, OneShotServices{});
}

Result<CliDocument> run_standalone_command(const OneShotCommand& command, const OneShotServices& services) {
  return std::visit(
      Overloaded{
          [](const cmd::Capabilities&) -> Result<CliDocument> { return capability_document(); },
          [](const cmd::Sessions&) -> Result<CliDocument> {
            auto sessions = enumerate_windows_sessions();
            if (!sessions) return fail(std::move(sessions.error()));
            return sessions_document(active_user_sessions(*sessions));
          },
          [&](const cmd::Probe& probe) -> Result<CliDocument> {
            if (!services.probe) return not_built("probe");
            return services.probe(probe);
          },
          [](const cmd::Execute&) { return not_built("execute"); },
          [](const cmd::Status&) { return not_built("status"); },
          [](const cmd::ImageExport&) { return not_built("image-export"); },
          [](const cmd::Reconcile&) { return not_built("reconcile"); },
      },
      command);
}

}  // namespace vor::desktop
