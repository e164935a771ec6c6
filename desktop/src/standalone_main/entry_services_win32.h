// The composition root's Win32 pieces for the entry.
#pragma once

#include "standalone_main/entry.h"

namespace vor::desktop {

EntryServices make_win32_entry_services();

}  // namespace vor::desktop
