// The Win32 adapter of one worker launch (worker_launch.h), and the caller
// facts the probe reports.
#pragma once

#include <memory>

#include <asio.hpp>

#include "windows/worker_launch.h"

namespace vor::desktop {

// One launch whose pipe I/O runs on `io` (which must outlive it).
std::unique_ptr<WorkerLaunchSys> make_win32_worker_launch(asio::io_context& io);

}  // namespace vor::desktop
