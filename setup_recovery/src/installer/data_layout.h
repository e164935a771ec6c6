// The product's fixed data layout under its ProgramData root, built once per
// run. The program uses the root and its `State` and `Setup` directories; the
// other paths are the product's shared layout, which it never reads. The root
// is a parameter so tests can place it elsewhere; the program passes
// kDataRoot.
#pragma once

#include <string>
#include <string_view>

#include "installer/ports.h"

namespace vor::setup {

inline constexpr std::string_view kDataRoot = "C:\\ProgramData\\Vor\\Kerno";
inline constexpr std::string_view kInstallDir = "C:\\Program Files\\Vor\\Kerno Client";

struct DataLayout {
  std::string root;
  std::string state_file;    // root\state.dat
  std::string agent_config;  // root\agent-config.json
  std::string logs_dir;      // root\Logs
  std::string audit_log;     // root\Logs\audit.log
  std::string cloud_outbox;  // root\State\CloudOutbox
  std::string audit_outbox;  // root\State\AuditOutbox
  std::string bundles;       // root\Bundles
  std::string snapshots;     // root\Snapshots
  std::string temp_dir;      // root\Temp
};

// The paths of the layout under `root`, without touching the disk.
DataLayout make_data_layout(std::string_view root);

// make_data_layout, then creates the root, `Logs` and the cloud outbox
// (`State`, then `CloudOutbox`), each with its missing parents. A failure is
// "create <path>" over the OS error.
Result<DataLayout> build_data_layout(FileSystem& files, std::string_view root = kDataRoot);

std::string state_dir(std::string_view root);          // root\State
std::string setup_dir(std::string_view root);          // root\Setup
std::string lock_path(std::string_view root);          // root\State\component-update.lock
std::string journal_path(std::string_view root);       // root\Setup\transaction.dat
std::string failure_report_path(std::string_view root);  // root\Setup\last-recovery.json

}  // namespace vor::setup
