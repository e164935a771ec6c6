#include <pthread.h>

#include <cstdlib>
#include <string>

#include "session/lease.h"

namespace vor::desktop {

void terminate_own_process(int exit_code) { std::_Exit(exit_code); }

void name_current_thread(const char* name) {
  // Linux thread names hold at most 15 bytes.
  pthread_setname_np(pthread_self(), std::string(name).substr(0, 15).c_str());
}

}  // namespace vor::desktop
