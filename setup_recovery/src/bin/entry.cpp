#include "bin/entry.h"

#include <exception>
#include <optional>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include "bin/command_line.h"
#include "installer/component_update_lock.h"
#include "installer_recovery/failure_report.h"
#include "installer_recovery/recovery.h"

namespace vor::setup {
namespace {

// Releases the held lock when it goes out of scope, whichever way the run
// leaves: a result, or an exception out of the event loop.
class ReleaseAtExit {
 public:
  ReleaseAtExit(FileSystem& files, ComponentUpdateLock& lock) : files_(files), lock_(lock) {}
  ReleaseAtExit(const ReleaseAtExit&) = delete;
  ReleaseAtExit& operator=(const ReleaseAtExit&) = delete;
  ~ReleaseAtExit() {
    try {
      release_component_update_lock(files_, lock_);
    } catch (...) {
      lock_.close();  // a release that fails is ignored; the handle closes all the same
    }
  }

 private:
  FileSystem& files_;
  ComponentUpdateLock& lock_;
};

// Layout, lock, recovery, release: the failure of any step before release.
Status run_locked_recovery(ProgramEnvironment& env) {
  VOR_ASSIGN_OR_RETURN(auto layout, build_data_layout(env.context.ports.files, env.data_root));
  VOR_ASSIGN_OR_RETURN(auto lock, acquire_component_update_lock(env.context.ports, layout));
  ReleaseAtExit release(env.context.ports.files, lock);

  std::optional<Status> outcome;
  {
    asio::io_context loop(1);
    asio::co_spawn(loop, recover_transaction(env.context, layout, env.install_dir),
                   [&outcome](std::exception_ptr thrown, Status result) {
                     outcome = thrown ? Status(fail("recovery ended by an exception")) : std::move(result);
                   });
    loop.run();
  }  // the loop is shut down before the lock is released
  if (!outcome) return fail("recovery did not finish");
  return std::move(*outcome);
}

}  // namespace

int run_recover(ProgramEnvironment& env) {
  Status outcome;
  try {
    outcome = run_locked_recovery(env);
  } catch (const std::exception&) {
    outcome = fail("recovery ended by an exception");
  }
  if (outcome) return kExitSuccess;
  try {
    if (auto layout = build_data_layout(env.context.ports.files, env.data_root); layout) {
      (void)write_recovery_failure_report(env.context.ports.files, env.context.ports.ids, layout->root, outcome.error());
    }
  } catch (const std::exception&) {
    // The exit code says the run failed; a report that cannot be written changes nothing.
  }
  return kExitFailure;
}

int setup_recovery_main(std::u16string_view command_line, StdOutput& out, ProgramEnvironment& env) {
  switch (parse_invocation(command_line)) {
    case Invocation::kVersion:
      if (!out.has_handle()) return kExitSuccess;
      return out.write(kVersionLine) ? kExitSuccess : kExitFailure;
    case Invocation::kRecover:
      return run_recover(env);
    case Invocation::kInvalid:
      break;
  }
  return kExitUsage;
}

}  // namespace vor::setup
