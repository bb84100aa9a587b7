/*++

Module Name:

    stdlib.h

Abstract:

    The one routine of this header the 32-bit kernel exports that the
    driver may use.

Environment:

    Kernel mode.

--*/

#pragma once

#include <stddef.h>

extern "C" {
int __cdecl rand(void);
}
