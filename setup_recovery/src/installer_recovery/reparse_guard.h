// Refuses a path that is, or lies under, a reparse point (junction, symbolic
// link, any tag), so the recovery never writes or deletes through a link.
#pragma once

#include <string>

#include "installer/ports.h"

namespace vor::setup {

// Walks `path` and each parent up to the root, describing each without
// following links: a reparse point is "SETUP_RECOVERY_STATE_INVALID", a
// missing component is passed over, any other metadata error is returned.
Status reject_reparse_points(FileSystem& files, const std::string& path);

}  // namespace vor::setup
