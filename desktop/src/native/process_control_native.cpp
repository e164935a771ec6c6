#include <pthread.h>
#include <unistd.h>

#include <cstring>

#include "native/process_control.h"

namespace vor::desktop {

void set_current_thread_name(const char* name) {
  char shortened[16] = {};  // Linux keeps 15 characters
  std::strncpy(shortened, name, sizeof shortened - 1);
  pthread_setname_np(pthread_self(), shortened);
}

void terminate_current_process(int exit_code) { ::_exit(exit_code); }

}  // namespace vor::desktop
