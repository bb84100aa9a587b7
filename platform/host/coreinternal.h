/*++

Module Name:

    coreinternal.h

Abstract:

    What the core modules of the user-mode kernel (pool.cpp, clock.cpp,
    objects.cpp, strings.cpp) share among themselves only.

--*/

#pragma once

#include "hostinternal.h"

#include <cstddef>

namespace host {
namespace detail {

// clock.cpp: describes a kernel object still in use inside
// [begin, begin + size) -- "an active timer", "a timer's DPC",
// "a queued work item" -- or returns nullptr.  Freeing pool that holds one
// is a verifier failure.
const char *ActiveObjectIn(const void *begin, size_t size);

// Each core module's share of RebootCore (clock.cpp calls them).
void RebootPool();
void RebootObjects();

} // namespace detail
} // namespace host
