// The mirrored Win32 numbers must be the SDK's.
#include <windows.h>

#include "common/win32_values.h"

namespace vor {

static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(kErrorPathNotFound == ERROR_PATH_NOT_FOUND);
static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(kErrorSharingViolation == ERROR_SHARING_VIOLATION);
static_assert(kErrorFileExists == ERROR_FILE_EXISTS);
static_assert(kErrorInvalidParameter == ERROR_INVALID_PARAMETER);
static_assert(kErrorDirNotEmpty == ERROR_DIR_NOT_EMPTY);
static_assert(kErrorAlreadyExists == ERROR_ALREADY_EXISTS);
static_assert(kErrorPipeBusy == ERROR_PIPE_BUSY);
static_assert(kErrorPipeNotConnected == ERROR_PIPE_NOT_CONNECTED);
static_assert(kFileAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY);
static_assert(kFileAttributeReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT);
// The name-surrogate test masks exactly this bit.
static_assert(IsReparseTagNameSurrogate(kReparseTagNameSurrogate) == kReparseTagNameSurrogate);
static_assert(!IsReparseTagNameSurrogate(~kReparseTagNameSurrogate));

}  // namespace vor
