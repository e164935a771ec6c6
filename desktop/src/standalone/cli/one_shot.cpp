#include "standalone/cli/one_shot.h"

#include "common/overloaded.h"
#include "native/windows_sessions.h"
#include "standalone/cli/image_export.h"
#include "standalone/cli/operation_status.h"
#include "standalone/cli/reconcile.h"

namespace vor::desktop {
namespace {

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
          [&](const cmd::Capabilities&) -> Result<CliDocument> {
            if (!services.capabilities) return not_built("help");
            return services.capabilities();
          },
          [](const cmd::Sessions&) -> Result<CliDocument> {
            VOR_ASSIGN_OR_RETURN(auto sessions, enumerate_windows_sessions());
            return sessions_document(active_user_sessions(sessions));
          },
          [&](const cmd::Probe& probe) -> Result<CliDocument> {
            if (!services.probe) return not_built("probe");
            return services.probe(probe);
          },
          [&](const cmd::Execute& execute) -> Result<CliDocument> {
            if (!services.execute) return not_built("execute");
            return services.execute(execute);
          },
          [&](const cmd::Status& status) -> Result<CliDocument> {
            if (services.state == nullptr) return not_built("status");
            return run_status(*services.state, status);
          },
          [&](const cmd::ImageExport& image_export) -> Result<CliDocument> {
            if (services.state == nullptr) return not_built("image-export");
            return run_image_export(*services.state, image_export);
          },
          [&](const cmd::Reconcile& reconcile) -> Result<CliDocument> {
            if (services.state == nullptr) return not_built("reconcile");
            return run_reconcile(*services.state, reconcile);
          },
      },
      command);
}

}  // namespace vor::desktop
