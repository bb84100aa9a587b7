/*++

Module Name:

    string.h

Abstract:

    The memory and string routines of the C library that the 32-bit
    kernel exports, and nothing else: the driver image links against the
    kernel, never a C runtime.  (No memcmp: the kernel has none.)

Environment:

    Kernel mode.

--*/

#pragma once

#include <stddef.h>

extern "C" {
void *__cdecl memcpy(void *Destination, const void *Source, size_t Count);
void *__cdecl memmove(void *Destination, const void *Source, size_t Count);
void *__cdecl memset(void *Destination, int Value, size_t Count);
size_t __cdecl strlen(const char *String);
}
