/*++

Module Name:

    strsafe.cpp

Abstract:

    The counted, always-terminated formatting routines of the kernel's
    safe-string library.  On the real system they are header inlines over
    the kernel's _vsnprintf and _vsnwprintf, not exports; the image gets
    them from here, linked only where the driver calls them.

    Each formats at most the destination's size, always ends the text
    with a terminator, and reports STATUS_BUFFER_OVERFLOW when the text
    was cut, STATUS_INVALID_PARAMETER for an empty or oversized
    destination.

Environment:

    Kernel mode, any IRQL the format's arguments allow.

--*/

#include <ntddk.h>

#define TARN_STRSAFE_MAX_CCH 2147483647

extern "C" int __cdecl _vsnwprintf(WCHAR *Buffer, size_t Count, const WCHAR *Format, va_list Arguments);

namespace {

// Formats into Count characters of Destination with Format (the kernel's
// _vsnprintf or _vsnwprintf), cutting and terminating as the safe-string
// routines do.
template <typename Char, typename Formatter>
NTSTATUS FormatCounted(Char *Destination, size_t Count, const Char *Text, va_list Arguments, Formatter Format)
{
    if (Count == 0 || Count > TARN_STRSAFE_MAX_CCH) {
        return STATUS_INVALID_PARAMETER;
    }
    // The kernel's formatter leaves no terminator when the text fills the
    // room exactly, and answers -1 when it is cut: both are an overflow
    // here, with the last character given to the terminator.
    int written = Format(Destination, Count - 1, Text, Arguments);
    if (written < 0 || (size_t)written > Count - 1) {
        Destination[Count - 1] = 0;
        return STATUS_BUFFER_OVERFLOW;
    }
    Destination[written] = 0;
    return STATUS_SUCCESS;
}

} // namespace

extern "C" {

NTSTATUS NTAPI RtlStringCchVPrintfA(char *Destination, size_t Count, const char *Format, va_list Arguments)
{
    return FormatCounted(Destination, Count, Format, Arguments, _vsnprintf);
}

NTSTATUS NTAPI RtlStringCbVPrintfA(char *Destination, size_t Bytes, const char *Format, va_list Arguments)
{
    return RtlStringCchVPrintfA(Destination, Bytes, Format, Arguments);
}

NTSTATUS __cdecl RtlStringCchPrintfA(char *Destination, size_t Count, const char *Format, ...)
{
    va_list arguments;
    va_start(arguments, Format);
    NTSTATUS status = RtlStringCchVPrintfA(Destination, Count, Format, arguments);
    va_end(arguments);
    return status;
}

NTSTATUS __cdecl RtlStringCbPrintfA(char *Destination, size_t Bytes, const char *Format, ...)
{
    va_list arguments;
    va_start(arguments, Format);
    NTSTATUS status = RtlStringCchVPrintfA(Destination, Bytes, Format, arguments);
    va_end(arguments);
    return status;
}

NTSTATUS NTAPI RtlStringCchVPrintfW(WCHAR *Destination, size_t Count, const WCHAR *Format, va_list Arguments)
{
    return FormatCounted(Destination, Count, Format, Arguments, _vsnwprintf);
}

NTSTATUS NTAPI RtlStringCbVPrintfW(WCHAR *Destination, size_t Bytes, const WCHAR *Format, va_list Arguments)
{
    return RtlStringCchVPrintfW(Destination, Bytes / sizeof(WCHAR), Format, Arguments);
}

NTSTATUS __cdecl RtlStringCchPrintfW(WCHAR *Destination, size_t Count, const WCHAR *Format, ...)
{
    va_list arguments;
    va_start(arguments, Format);
    NTSTATUS status = RtlStringCchVPrintfW(Destination, Count, Format, arguments);
    va_end(arguments);
    return status;
}

NTSTATUS __cdecl RtlStringCbPrintfW(WCHAR *Destination, size_t Bytes, const WCHAR *Format, ...)
{
    va_list arguments;
    va_start(arguments, Format);
    NTSTATUS status = RtlStringCchVPrintfW(Destination, Bytes / sizeof(WCHAR), Format, arguments);
    va_end(arguments);
    return status;
}

} // extern "C"
