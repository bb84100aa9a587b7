/*++

Module Name:

    tarntrace.h

Abstract:

    The driver's trace provider: its control GUID, enable flags and state,
    and the trace call every module uses.  A trace call compiles to one
    WmiTraceMessage with the module's message GUID and the call's source
    line as message number; the format text is not compiled into the
    driver: the build collects it, with the argument kinds, into the
    trace format table, as a trace preprocessor does.

    Usage, in a module:

        TARN_TRACE_MODULE_GUID(0x12345678, 0x1234, 0x1234, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0);
        ...
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmContextCreate: no memory for %u bytes", TA_ULONG(size));

    The format takes printf conversions (%u %d %x %X %c with flags and
    width; %I64u/%I64x for 64-bit; %s for 8-bit text; %wZ for counted
    16-bit text; %p for pointers); each is matched to one argument macro,
    and the build refuses a call whose conversions and arguments differ.

Environment:

    Kernel mode.

--*/

#pragma once

#include <ntddk.h>
#include <wmistr.h>

// Wide literals are 16-bit text on the target; the host's wchar_t is 32
// bits, so the host build spells them as char16_t literals.
#if defined(_WIN32)
#define TARN_WIDE(s) L##s
#else
#define TARN_WIDE(s) u##s
#endif

//
// Enable flags.
//
#define TRDSM_ERROR_LEVEL   0x00000001
#define TRDSM_WARNING_LEVEL 0x00000002
#define TRDSM_TRACE_LEVEL   0x00000004

//
// Provider state: all zero until a logger enables the provider.  The
// control routine writes it while trace points on other processors read
// it, so every access is atomic: the fields are written with interlocked
// operations, the logger first and the flags last when enabling (the
// flags first when disabling); trace points read the flags with acquire
// order and the 64-bit logger handle with a compare-exchange, which
// cannot tear on a 32-bit processor.
//
typedef struct _TARN_TRACE_STATE {
    volatile ULONG EnableFlags;
    volatile LONG EnableLevel;
    volatile TRACEHANDLE Logger;
} TARN_TRACE_STATE, *PTARN_TRACE_STATE;

extern TARN_TRACE_STATE TarnTraceState;
extern const GUID TarnCtlGuid;

#define TARN_TRACE_MESSAGE_FLAGS \
    (TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_TIMESTAMP | TRACE_MESSAGE_SYSTEMINFO)

#define TARN_TRACE_MODULE_GUID(l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    static const GUID TarnTraceModuleGuid = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

//
// Argument macros: each yields one (address, length) pair.
//
#define TA_ULONG(v) (const void *)&(const ULONG &)(ULONG)(v), (SIZE_T)sizeof(ULONG)
#define TA_LONG(v) (const void *)&(const LONG &)(LONG)(v), (SIZE_T)sizeof(LONG)
#define TA_ULONGLONG(v) (const void *)&(const ULONGLONG &)(ULONGLONG)(v), (SIZE_T)sizeof(ULONGLONG)
#define TA_UCHAR(v) (const void *)&(const UCHAR &)(UCHAR)(v), (SIZE_T)sizeof(UCHAR)
#define TA_PTR(v) (const void *)&(const ULONG_PTR &)(ULONG_PTR)(v), (SIZE_T)sizeof(ULONG_PTR)
#define TA_STR(s) TarnTraceText(s), TarnTraceTextSize(s)
#define TA_USTR(u) TarnTraceCounted(u), TarnTraceCountedSize(u)

inline const void *TarnTraceText(PCSTR Text)
{
    return Text != NULL ? Text : "NULL";
}

inline SIZE_T TarnTraceTextSize(PCSTR Text)
{
    return Text != NULL ? strlen(Text) + 1 : sizeof("NULL");
}

inline const void *TarnTraceCounted(PCUNICODE_STRING String)
{
    return (String != NULL && String->Buffer != NULL) ? (const void *)String->Buffer : (const void *)TARN_WIDE("NULL");
}

inline SIZE_T TarnTraceCountedSize(PCUNICODE_STRING String)
{
    return (String != NULL && String->Buffer != NULL) ? String->Length : 4 * sizeof(WCHAR);
}

inline ULONG TarnTraceFlags(VOID)
{
    return (ULONG)ReadAcquire((LONG const volatile *)&TarnTraceState.EnableFlags);
}

inline TRACEHANDLE TarnTraceLogger(VOID)
{
    return (TRACEHANDLE)InterlockedCompareExchange64((LONGLONG volatile *)&TarnTraceState.Logger, 0, 0);
}

#define TarnTraceEnabled(Flag) ((TarnTraceFlags() & (Flag)) != 0)

// A logger that went away between the flag test and the handle read
// leaves a zero handle: the message is dropped.
#define DsmTrace(Flag, Format, ...)                                                                        \
    do {                                                                                                   \
        if (TarnTraceEnabled(Flag)) {                                                                      \
            TRACEHANDLE tarnLogger_ = TarnTraceLogger();                                                   \
            if (tarnLogger_ != 0) {                                                                        \
                (void)WmiTraceMessage(tarnLogger_, TARN_TRACE_MESSAGE_FLAGS, &TarnTraceModuleGuid,         \
                                      (USHORT)__LINE__, ##__VA_ARGS__, (const void *)NULL);                \
            }                                                                                              \
        }                                                                                                  \
    } while (0)

//
// Registration with the platform's WMI, first thing at start-up.
//
NTSTATUS TarnTraceRegister(VOID);
VOID TarnTraceDeregister(VOID);

// Enables the provider for a logger, or disables it (Logger 0).
VOID TarnTracePublish(TRACEHANDLE Logger, ULONG Flags, UCHAR Level);

// The control routine the platform calls to enable and disable the
// provider and to ask for its registration information.
NTSTATUS NTAPI TarnTraceControl(UCHAR MinorFunction, PVOID DataPath, ULONG BufferLength, PVOID Buffer, PVOID Context,
                                PULONG Size);
