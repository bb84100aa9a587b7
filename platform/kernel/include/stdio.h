/*++

Module Name:

    stdio.h

Abstract:

    The formatting routines the 32-bit kernel exports (narrow text).  The
    wide ones are declared with the kernel surface, over its 16-bit WCHAR.

Environment:

    Kernel mode.

--*/

#pragma once

#include <stdarg.h>
#include <stddef.h>

extern "C" {
int __cdecl sprintf(char *Buffer, const char *Format, ...);
int __cdecl _snprintf(char *Buffer, size_t Count, const char *Format, ...);
int __cdecl _vsnprintf(char *Buffer, size_t Count, const char *Format, va_list Arguments);
}
