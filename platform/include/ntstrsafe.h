/*++

Module Name:

    ntstrsafe.h

Abstract:

    The kernel's bounded formatting into counted buffers, with the
    contract of the platform's safe string library: the destination's
    size is always given (in bytes for the Cb forms, in characters for
    the Cch forms), the result is always NUL-terminated, and output that
    does not fit is cut short and reported as STATUS_BUFFER_OVERFLOW.  A
    size of 0 or above NTSTRSAFE_MAX_CCH characters is refused with
    STATUS_INVALID_PARAMETER and nothing is written.

    Format conventions are the kernel's: 'l' with an integer conversion
    is 32 bits, 'I64' and 'll' 64 bits; %wZ, %ws and %ls are 16-bit text.
    16-bit output or 16-bit text arguments need PASSIVE_LEVEL; 8-bit
    output of 8-bit text and numbers may be made at DISPATCH_LEVEL.

Environment:

    Kernel mode (host build: user mode emulation).

--*/

#pragma once

#include "ntddk.h"

#define NTSTRSAFE_MAX_CCH 2147483647

EXTERN_C NTSTATUS __cdecl RtlStringCbPrintfA(PCHAR Destination, size_t DestinationBytes, PCSTR Format, ...);
EXTERN_C NTSTATUS __cdecl RtlStringCchPrintfA(PCHAR Destination, size_t DestinationChars, PCSTR Format, ...);
EXTERN_C NTSTATUS __cdecl RtlStringCbPrintfW(PWCHAR Destination, size_t DestinationBytes, PCWSTR Format, ...);
EXTERN_C NTSTATUS __cdecl RtlStringCchPrintfW(PWCHAR Destination, size_t DestinationChars, PCWSTR Format, ...);
