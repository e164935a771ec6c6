// Platform pieces every watchdog thread needs: a name for the thread, and an
// end of the whole process that runs no destructors and cannot be stopped.
// Used by the lifetime watchdog of every command and by the session host's
// lease thread.
#pragma once

namespace vor::desktop {

// Names the calling thread for debuggers (SetThreadDescription where the
// system has it); nothing happens where it cannot.
void set_current_thread_name(const char* name);

// Ends this process at once with `exit_code` and does not return.
[[noreturn]] void terminate_current_process(int exit_code);

}  // namespace vor::desktop
