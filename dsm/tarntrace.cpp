/*++

Module Name:

    tarntrace.cpp

Abstract:

    The trace provider: registration with the platform's WMI, the control
    routine through which loggers enable and disable it, and the
    boot-time enabling from the global logger's registry settings.

Environment:

    Kernel mode.

--*/

#include "tarn.h"

TARN_TRACE_MODULE_GUID(0x2B7F4E90, 0x1C3A, 0x4D85, 0xA6, 0x0B, 0x93, 0x5E, 0x1F, 0xC2, 0x48, 0x7D);

// 851D1AF8-2933-441C-8B21-FEFB85083C5A
const GUID TarnCtlGuid = {0x851D1AF8, 0x2933, 0x441C, {0x8B, 0x21, 0xFE, 0xFB, 0x85, 0x08, 0x3C, 0x5A}};

TARN_TRACE_STATE TarnTraceState;

// The handle under which the boot-time logger is known.
#define TARN_GLOBAL_LOGGER_HANDLE 1

// "WMI\GlobalLogger\" and a GUID of 36 characters, with the terminator.
#define TARN_GLOBAL_LOGGER_KEY_CHARS 64

//
// What IoWMIRegistrationControl receives with WMIREG_FLAG_CALLBACK: a
// block whose first field is the control routine.
//
typedef struct _TARN_TRACE_CONTROL_BLOCK {
    WMIENTRY Callback;
} TARN_TRACE_CONTROL_BLOCK;

static TARN_TRACE_CONTROL_BLOCK TarnTraceControlBlock = {TarnTraceControl};

/*++

Routine Description:

    Registers the provider with WMI.  Called first thing at start-up, at
    PASSIVE_LEVEL.  The provider state starts cleared: tracing is off
    until a logger enables it.

--*/
NTSTATUS TarnTraceRegister(VOID)
{
    TarnTracePublish(0, 0, 0);
    return IoWMIRegistrationControl((PDEVICE_OBJECT)&TarnTraceControlBlock,
                                    WMIREG_ACTION_REGISTER | WMIREG_FLAG_CALLBACK);
}

/*++

Routine Description:

    Publishes the provider state for the trace points running meanwhile
    on other processors.  Enabling stores the logger and level before the
    flags, so a trace point that sees a flag finds its logger; disabling
    clears the flags first.  Any IRQL.

--*/
VOID TarnTracePublish(TRACEHANDLE Logger, ULONG Flags, UCHAR Level)
{
    volatile LONGLONG *logger = (volatile LONGLONG *)&TarnTraceState.Logger;

    if (Logger == 0) {
        InterlockedExchange((volatile LONG *)&TarnTraceState.EnableFlags, 0);
    }
    LONGLONG seen = InterlockedCompareExchange64(logger, 0, 0);
    for (;;) {
        LONGLONG before = InterlockedCompareExchange64(logger, (LONGLONG)Logger, seen);
        if (before == seen) {
            break;
        }
        seen = before;
    }
    InterlockedExchange(&TarnTraceState.EnableLevel, Level);
    InterlockedExchange((volatile LONG *)&TarnTraceState.EnableFlags, (LONG)Flags);
}

/*++

Routine Description:

    Withdraws the provider from WMI and clears its state, after a failed
    start: the image is unloaded then, and WMI must not call a control
    routine that is gone.  PASSIVE_LEVEL.

--*/
VOID TarnTraceDeregister(VOID)
{
    NTSTATUS status = IoWMIRegistrationControl((PDEVICE_OBJECT)&TarnTraceControlBlock, WMIREG_ACTION_DEREGISTER);
    UNREFERENCED_PARAMETER(status);
    TarnTracePublish(0, 0, 0);
}

/*++

Routine Description:

    Enables the provider for the boot-time logger when the global
    logger's key for the control GUID says so: "Start" 1 enables it with
    "Flags" (bit 31 cleared) and the low byte of "Level".  A missing key
    or value leaves tracing off.  PASSIVE_LEVEL.

    The three values go through the driver's checked reader: a direct
    query would let a kernel that ignores the type-check flag write a
    string value's counted string over a 4-byte local.

--*/
static VOID TarnTraceCheckGlobalLogger(VOID)
{
    WCHAR keyPath[TARN_GLOBAL_LOGGER_KEY_CHARS];
    ULONG start = 0;
    ULONG flags = 0;
    ULONG level = 0;
    const ULONG relativeTo = RTL_REGISTRY_CONTROL | RTL_REGISTRY_OPTIONAL;

    NTSTATUS status =
        RtlStringCbPrintfW(keyPath, sizeof(keyPath),
                           TARN_WIDE("WMI\\GlobalLogger\\%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x"),
                           TarnCtlGuid.Data1, TarnCtlGuid.Data2, TarnCtlGuid.Data3, TarnCtlGuid.Data4[0],
                           TarnCtlGuid.Data4[1], TarnCtlGuid.Data4[2], TarnCtlGuid.Data4[3], TarnCtlGuid.Data4[4],
                           TarnCtlGuid.Data4[5], TarnCtlGuid.Data4[6], TarnCtlGuid.Data4[7]);
    if (!NT_SUCCESS(status)) {
        return;
    }

    status = DsmQueryDword(relativeTo, keyPath, TARN_WIDE("Start"), &start);
    if (!NT_SUCCESS(status) || start == 0) {
        return;
    }
    // Each unreadable value keeps its default of 0.
    (void)DsmQueryDword(relativeTo, keyPath, TARN_WIDE("Flags"), &flags);
    (void)DsmQueryDword(relativeTo, keyPath, TARN_WIDE("Level"), &level);

    if (start == 1) {
        TarnTracePublish(TARN_GLOBAL_LOGGER_HANDLE, flags & 0x7FFFFFFF, (UCHAR)(level & 0xFF));
        DsmTrace(TRDSM_TRACE_LEVEL, "Boot-time tracing enabled: flags 0x%08X, level %u", TA_ULONG(flags & 0x7FFFFFFF),
                 TA_UCHAR(level & 0xFF));
    }
}

/*++

Routine Description:

    Answers the platform's trace control requests: registration
    information (with the boot-time check), enable and disable.  Any
    other request is refused.

--*/
NTSTATUS NTAPI TarnTraceControl(UCHAR MinorFunction, PVOID DataPath, ULONG BufferLength, PVOID Buffer,
                                PVOID Context, PULONG Size)
{
    UNREFERENCED_PARAMETER(DataPath);
    UNREFERENCED_PARAMETER(Context);

    switch (MinorFunction) {
    case IRP_MN_REGINFO: {
        ULONG needed = sizeof(WMIREGINFO);
        if (BufferLength < needed || Buffer == NULL) {
            *Size = needed;
            return STATUS_BUFFER_TOO_SMALL;
        }
        PWMIREGINFO regInfo = (PWMIREGINFO)Buffer;
        RtlZeroMemory(regInfo, needed);
        regInfo->BufferSize = needed;
        regInfo->GuidCount = 1;
        regInfo->WmiRegGuid[0].Guid = TarnCtlGuid;
        regInfo->WmiRegGuid[0].Flags = WMIREG_FLAG_TRACE_CONTROL_GUID | WMIREG_FLAG_TRACED_GUID;
        *Size = needed;

        TarnTraceCheckGlobalLogger();
        return STATUS_SUCCESS;
    }

    case IRP_MN_ENABLE_EVENTS: {
        if (BufferLength < sizeof(WNODE_HEADER) || Buffer == NULL) {
            return STATUS_INVALID_PARAMETER;
        }
        PWNODE_HEADER wnode = (PWNODE_HEADER)Buffer;
        ULONG flags = 0;
        ULONG level = 0;

        if (!NT_SUCCESS(WmiQueryTraceInformation(TraceEnableFlagsClass, &flags, sizeof(flags), NULL, wnode))) {
            flags = 0;
        }
        if (!NT_SUCCESS(WmiQueryTraceInformation(TraceEnableLevelClass, &level, sizeof(level), NULL, wnode))) {
            level = 0;
        }
        TarnTracePublish(wnode->HistoricalContext, flags, (UCHAR)(level & 0xFF));
        *Size = 0;
        return STATUS_SUCCESS;
    }

    case IRP_MN_DISABLE_EVENTS:
        TarnTracePublish(0, 0, 0);
        *Size = 0;
        return STATUS_SUCCESS;

    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}
