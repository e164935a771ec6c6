// `image-export`: a plain PNG copy of an operation's protected capture, made
// while its 60-second lease lasts.
//
// Under the `.gate` and after the maintenance pass, the protected
// `<hash>.image` is read, unprotected and checked against the receipt's
// record, then written as `<hash>.png` beside it and checked again as read
// back. The maintenance pass removes the copy with the image once the lease
// is over.
#pragma once

#include <chrono>
#include <string_view>

#include "common/error.h"
#include "standalone/cli/cli_documents.h"
#include "standalone/cli/commands.h"
#include "standalone/cli/operation_status.h"
#include "standalone/state/image_store.h"

namespace vor::desktop {

inline constexpr std::string_view kImageExpired = "DESKTOP_IMAGE_EXPIRED";
inline constexpr std::string_view kImageUnavailable = "DESKTOP_IMAGE_UNAVAILABLE";
inline constexpr std::string_view kImageExported = "DESKTOP_IMAGE_EXPORTED";

Result<CliDocument> run_image_export(StatePorts& ports, const cmd::ImageExport& command);

}  // namespace vor::desktop
