/*++

Module Name:

    stddef.h

Abstract:

    The compiler's own definitions, for a driver built with no C library
    headers at all.

Environment:

    Kernel mode.

--*/

#pragma once

typedef __SIZE_TYPE__ size_t;
typedef __PTRDIFF_TYPE__ ptrdiff_t;
#ifndef NULL
#define NULL 0
#endif
#define offsetof(type, member) __builtin_offsetof(type, member)
