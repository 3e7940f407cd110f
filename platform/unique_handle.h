#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/unique_resource.h"

namespace qzb {

struct HandleTraits {
    using Value = HANDLE;
    static HANDLE empty() { return INVALID_HANDLE_VALUE; }
    static bool close(HANDLE handle) { return CloseHandle(handle) != 0; }
};

// A Windows handle, closed once. Calls that answer a null handle on failure are stored as
// INVALID_HANDLE_VALUE by the caller.
using UniqueHandle = UniqueResource<HandleTraits>;

} // namespace qzb
