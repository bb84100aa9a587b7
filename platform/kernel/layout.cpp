/*++

Module Name:

    layout.cpp

Abstract:

    Compiles the wire formats' 32-bit layout checks into the image's
    build: what the 32-bit host build asserts must hold for the real
    compiler and ABI too.

Environment:

    Kernel mode (compile time only).

--*/

#include "wirelayout.h"

static_assert(sizeof(PVOID) == 4 && sizeof(WCHAR) == 2 && sizeof(LONG) == 4, "the 32-bit target");
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48 && offsetof(IO_ERROR_LOG_PACKET, DeviceOffset) == 32,
              "error-log packet");
