#include "installer/data_layout.h"

#include "installer/files.h"
#include "installer/paths.h"

namespace vor::setup {

DataLayout make_data_layout(std::string_view root) {
  const std::string r(root);
  return DataLayout{
      .root = r,
      .state_file = join(r, "state.dat"),
      .agent_config = join(r, "agent-config.json"),
      .logs_dir = join(r, "Logs"),
      .audit_log = join(join(r, "Logs"), "audit.log"),
      .cloud_outbox = join(join(r, "State"), "CloudOutbox"),
      .audit_outbox = join(join(r, "State"), "AuditOutbox"),
      .bundles = join(r, "Bundles"),
      .snapshots = join(r, "Snapshots"),
      .temp_dir = join(r, "Temp"),
  };
}

Result<DataLayout> build_data_layout(FileSystem& files, std::string_view root) {
  DataLayout layout = make_data_layout(root);
  for (const std::string* dir : {&layout.root, &layout.logs_dir, &layout.cloud_outbox}) {
    if (auto made = create_directories(files, *dir); !made) {
      return fail(std::move(made.error()).context("create " + *dir));
    }
  }
  return layout;
}

std::string state_dir(std::string_view root) { return join(root, "State"); }
std::string setup_dir(std::string_view root) { return join(root, "Setup"); }
std::string lock_path(std::string_view root) { return join(state_dir(root), "component-update.lock"); }
std::string journal_path(std::string_view root) { return join(setup_dir(root), "transaction.dat"); }
std::string failure_report_path(std::string_view root) { return join(setup_dir(root), "last-recovery.json"); }

}  // namespace vor::setup
