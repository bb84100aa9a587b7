/*++

Module Name:

    tarnentry.cpp

Abstract:

    Driver entry and registration with the multipath framework, the
    driver-wide DSM context and the unload notice.

    There is no orderly shutdown: after a successful start the context,
    its records and the periodic timer live as long as the system.

Environment:

    Kernel mode.

--*/

#include "tarn.h"

TARN_TRACE_MODULE_GUID(0x4C8E2A17, 0x93B6, 0x4F01, 0xB5, 0x7D, 0x0E, 0x62, 0xA9, 0x3F, 0x81, 0xC4);

#define TARN_MPIO_CONTROL_DEVICE TARN_WIDE("\\DosDevices\\MPIOControl")

// MPIO 1.15 is the oldest that serves this DSM.
#define TARN_MIN_MPIO_MAJOR 1
#define TARN_MIN_MPIO_MINOR 15

// The timer's first run comes one second after start, then every period.
#define TARN_TIMER_FIRST_DUE_100NS (-10000000LL)

// The registration record's final word; its meaning belongs to MPIO.
#define TARN_INIT_DATA_REVISION 3


DSM_INIT_DATA DsmInitData;
TARN_REQUEST_COUNTERS DsmRequestCounters;

static VOID DsmFillInitData(PDSM_CONTEXT DsmContext, PDRIVER_OBJECT DriverObject);

/*++

Routine Description:

    Asks MPIO for its version and refuses one older than this DSM needs.
    A failed query is logged; an old framework is traced only.
    PASSIVE_LEVEL.

--*/
static NTSTATUS DsmCheckMpioVersion(VOID)
{
    MPIO_VERSION_INFO mpioVersion;

    DSM_ASSERT_PASSIVE();

    RtlZeroMemory(&mpioVersion, sizeof(mpioVersion));
    NTSTATUS status = DsmGetVersion(&mpioVersion, sizeof(mpioVersion));
    if (!NT_SUCCESS(status)) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DriverEntry: DsmGetVersion failed, %s (0x%08X)", TA_STR(DsmStatusName(status)),
                 TA_ULONG(status));
        DsmLogEvent(DsmIoObject, TARN_MSG_SYSTEM_CALL_FAILED, NULL, NULL, &status, sizeof(status));
        return STATUS_UNSUCCESSFUL;
    }

    DsmTrace(TRDSM_TRACE_LEVEL, "DriverEntry: MPIO version %u.%u.%u.%u, DSM version %s",
             TA_ULONG(mpioVersion.MajorVersion), TA_ULONG(mpioVersion.MinorVersion),
             TA_ULONG(mpioVersion.ProductBuild), TA_ULONG(mpioVersion.QfeNumber), TA_STR(TARN_DRIVER_VERSION));

    if (!(mpioVersion.MajorVersion > TARN_MIN_MPIO_MAJOR ||
          (mpioVersion.MajorVersion == TARN_MIN_MPIO_MAJOR && mpioVersion.MinorVersion >= TARN_MIN_MPIO_MINOR))) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DriverEntry: MPIO %u.%u is older than %u.%u",
                 TA_ULONG(mpioVersion.MajorVersion), TA_ULONG(mpioVersion.MinorVersion),
                 TA_ULONG(TARN_MIN_MPIO_MAJOR), TA_ULONG(TARN_MIN_MPIO_MINOR));
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Hands the filled registration record to MPIO through its control
    device, which is not kept, and stores the context MPIO returns.  A
    failure is logged.  PASSIVE_LEVEL.

--*/
static NTSTATUS DsmRegisterWithMpio(PDSM_CONTEXT DsmContext)
{
    UNICODE_STRING controlName;
    PFILE_OBJECT fileObject = NULL;
    PDEVICE_OBJECT controlDevice = NULL;
    IO_STATUS_BLOCK ioStatus;
    ULONG mpioContext = 0;

    DSM_ASSERT_PASSIVE();

    RtlInitUnicodeString(&controlName, TARN_MPIO_CONTROL_DEVICE);
    NTSTATUS status = IoGetDeviceObjectPointer(&controlName, FILE_READ_ATTRIBUTES, &fileObject, &controlDevice);
    if (!NT_SUCCESS(status)) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DriverEntry: cannot open %wZ, %s (0x%08X)", TA_USTR(&controlName),
                 TA_STR(DsmStatusName(status)), TA_ULONG(status));
        DsmLogEvent(DsmIoObject, TARN_MSG_SYSTEM_CALL_FAILED, NULL, NULL, &status, sizeof(status));
        return status;
    }

    RtlZeroMemory(&ioStatus, sizeof(ioStatus));
    DsmSendDeviceIoControlSynchronous(IOCTL_MPIO_REGISTER_DSM, controlDevice, &DsmInitData, &mpioContext,
                                      sizeof(DsmInitData), sizeof(mpioContext), TRUE, &ioStatus);
    ObDereferenceObject(fileObject);

    status = ioStatus.Status;
    if (!NT_SUCCESS(status)) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DriverEntry: MPIO refused the registration, %s (0x%08X)",
                 TA_STR(DsmStatusName(status)), TA_ULONG(status));
        DsmLogEvent(DsmIoObject, TARN_MSG_SYSTEM_CALL_FAILED, NULL, NULL, &status, sizeof(status));
        return status;
    }
    DsmContext->MpioContext = mpioContext;
    DsmTrace(TRDSM_TRACE_LEVEL, "DriverEntry: registered with MPIO, context 0x%08X", TA_ULONG(mpioContext));
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    The driver's only start-up path, in stages: tracing, MPIO's version,
    the DSM context with its configuration, the registration with MPIO
    and the periodic timer.  A failing stage ends the start, and one
    unwind undoes the stages done, newest first.

Arguments:

    DriverObject - this driver; every event-log entry names it.
    RegistryPath - the driver's service key.

Return Value:

    STATUS_SUCCESS, or the status of the first failing step.  After a
    failure nothing stays allocated and the timer never runs.

Environment:

    PASSIVE_LEVEL, once, before any entry point can be called.

--*/
EXTERN_C NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DSM_ASSERT_PASSIVE();
    PDSM_CONTEXT dsmContext = NULL;

    // The stages done so far, each undone by the unwind.
    enum { StartedNothing, StartedContext, StartedWmi } started = StartedNothing;

    //
    // Tracing first, so every later step can be traced; events of every
    // later step name this driver object.  Tracing is a diagnostic aid:
    // the driver starts without it.
    //
    BOOLEAN traceRegistered = (BOOLEAN)NT_SUCCESS(TarnTraceRegister());
    DsmIoObject = DriverObject;
    DsmTrace(TRDSM_TRACE_LEVEL, "DriverEntry: driver object %p, registry path %wZ", TA_PTR(DriverObject),
             TA_USTR(RegistryPath));

    NTSTATUS status = DsmCheckMpioVersion();

    //
    // The context and its configuration.  Creation writes its own events;
    // a creation that fails may leave a partly built context, which the
    // unwind destroys.
    //
    if (NT_SUCCESS(status)) {
        status = DsmContextCreate(&dsmContext, DriverObject, RegistryPath);
        if (dsmContext != NULL) {
            started = StartedContext;
        }
        if (NT_SUCCESS(status)) {
            DsmTrace(TRDSM_TRACE_LEVEL, "DriverEntry: registry path %wZ, service name %wZ",
                     TA_USTR(dsmContext->RegistryPath), TA_USTR(dsmContext->ServiceName));
        } else {
            DsmTrace(TRDSM_ERROR_LEVEL, "DriverEntry: DsmContextCreate failed, %s (0x%08X)",
                     TA_STR(DsmStatusName(status)), TA_ULONG(status));
        }
    }

    //
    // Registration.  MPIO may call in from then on, so the request
    // counters, which its calls change under DsmLock, are cleared first.
    //
    if (NT_SUCCESS(status)) {
        RtlZeroMemory(&DsmRequestCounters, sizeof(DsmRequestCounters));
        DsmFillInitData(dsmContext, DriverObject);
        InitializeWmiContext(&DsmInitData.DsmWmiInfo, RegistryPath);
        started = StartedWmi;
        status = DsmRegisterWithMpio(dsmContext);
    }

    //
    // The periodic timer, for the life of the system.
    //
    if (NT_SUCCESS(status)) {
        LARGE_INTEGER dueTime;
        dueTime.QuadPart = TARN_TIMER_FIRST_DUE_100NS;
        KeSetTimerEx(&dsmContext->Timer, dueTime, TARN_TIMER_PERIOD_MS, &dsmContext->TimerDpc);
        DsmTrace(TRDSM_TRACE_LEVEL, "DriverEntry: started");
        DsmLogEvent(DsmIoObject, TARN_MSG_DSM_STARTED, NULL, NULL, NULL, 0);
        return STATUS_SUCCESS;
    }

    //
    // The unwind, newest stage first.  The image is unloaded after a
    // failed start; WMI must not keep calling its control routine.
    //
    DsmTrace(TRDSM_ERROR_LEVEL, "DriverEntry: start failed, %s (0x%08X)", TA_STR(DsmStatusName(status)),
             TA_ULONG(status));
    if (started >= StartedWmi) {
        DsmFreeWmiContext(&DsmInitData.DsmWmiInfo);
    }
    if (started >= StartedContext) {
        DsmContextDestroy(dsmContext);
    }
    if (traceRegistered) {
        TarnTraceDeregister();
    }
    return status;
}

/*++

Routine Description:

    Fills the registration record: size, the nineteen entry points in
    MPIO's slot order, the context, the driver object and the display
    name.  The WMI block is InitializeWmiContext's.

--*/
static VOID DsmFillInitData(PDSM_CONTEXT DsmContext, PDRIVER_OBJECT DriverObject)
{
    PDSM_INIT_DATA initData = &DsmInitData;

    RtlZeroMemory(initData, sizeof(DSM_INIT_DATA));
    initData->DsmContext = DsmContext;
    initData->InitDataSize = sizeof(DSM_INIT_DATA);
    initData->Reserved = 0;
    initData->RecordRevision = TARN_INIT_DATA_REVISION;

    initData->DsmInquireDriver = DsmInquireDriver;
    initData->DsmCompareDevices = DsmCompareDevices;
    initData->DsmGetSerialNumber = DsmGetSerialNumber;
    initData->DsmGetControllerInfo = DsmGetControllerInfo;
    initData->DsmSetDeviceInfo = DsmSetDeviceInfo;
    initData->DsmIsPathActive = DsmIsPathActive;
    initData->DsmPathVerify = DsmPathVerify;
    initData->DsmInvalidatePath = DsmInvalidatePath;
    initData->DsmMoveDevice = DsmMoveDevice;
    initData->DsmRemovePending = DsmRemovePending;
    initData->DsmRemoveDevice = DsmRemoveDevice;
    initData->DsmRemovePath = DsmRemovePath;
    initData->DsmSrbDeviceControl = DsmSrbDeviceControl;
    initData->DsmLBGetPath = DsmLBGetPath;
    initData->DsmInterpretError = DsmInterpretError;
    initData->DsmUnload = DsmUnload;
    initData->DsmSetCompletion = DsmSetCompletion;
    initData->DsmCategorizeRequest = DsmCategorizeRequest;
    initData->DsmBroadcastSrb = DsmBroadcastSrb;

    initData->DriverObject = DriverObject;

    // A counted string over the context's characters, measured to the NUL.
    // The configuration always leaves a name, empty when none was read.
    ASSERT(DsmContext->DisplayName.Buffer != NULL);
    SIZE_T displayNameBytes = wcslen(DsmContext->DisplayName.Buffer) * sizeof(WCHAR);
    initData->DisplayName.Buffer = DsmContext->DisplayName.Buffer;
    initData->DisplayName.Length = (USHORT)displayNameBytes;
    initData->DisplayName.MaximumLength = (USHORT)(displayNameBytes + sizeof(WCHAR));
}

/*++

Routine Description:

    Allocates and fills the DSM context: the copies of the registry path
    and service name, the lock, the completion lookaside list, the timer
    and its DPC, the empty record lists and the configuration.

Arguments:

    DsmContext - receives the context, also a partly built one on failure,
        which the caller destroys.

Return Value:

    STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES, or STATUS_UNSUCCESSFUL
    when the supported device list cannot be read.  PASSIVE_LEVEL.

--*/
NTSTATUS DsmContextCreate(PDSM_CONTEXT *DsmContext, PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DSM_ASSERT_PASSIVE();
    PDSM_CONTEXT context = (PDSM_CONTEXT)DsmAllocatePool(NonPagedPool, sizeof(DSM_CONTEXT));
    *DsmContext = context;
    if (context == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmContextCreate: no memory for the context");
        DsmLogEvent(DsmIoObject, TARN_MSG_NO_MEMORY, NULL, NULL, NULL, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    context->DriverObject = DriverObject;

    NTSTATUS status = DsmCopyCountedString(&context->RegistryPath, RegistryPath->Buffer, RegistryPath->Length);
    if (!NT_SUCCESS(status)) {
        DsmLogEvent(DsmIoObject, TARN_MSG_NO_MEMORY, NULL, NULL, NULL, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    //
    // The service name is the path's last component: scan back from the
    // last character to a backslash, stopping at the first character.
    //
    ULONG pathChars = (ULONG)(RegistryPath->Length / sizeof(WCHAR));
    ULONG nameStart = pathChars;
    if (pathChars != 0) {
        ULONG position = pathChars - 1;
        while (position > 0 && RegistryPath->Buffer[position] != TARN_WIDE('\\')) {
            position--;
        }
        nameStart = position + 1;
    }
    status = DsmCopyCountedString(&context->ServiceName, RegistryPath->Buffer + nameStart,
                                  (USHORT)((pathChars - nameStart) * sizeof(WCHAR)));
    if (!NT_SUCCESS(status)) {
        DsmLogEvent(DsmIoObject, TARN_MSG_NO_MEMORY, NULL, NULL, NULL, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    KeInitializeSpinLock(&context->DsmLock);
    // Entries hold one completion record (16 bytes on the 32-bit platform);
    // depth 0 asks the platform for its default.
    ExInitializeNPagedLookasideList(&context->CompletionLookaside, NULL, NULL, 0, sizeof(COMPLETION_RECORD),
                                    TARN_POOL_TAG, 0);
    context->LookasideInitialized = TRUE;
    KeInitializeDpc(&context->TimerDpc, DsmTimerRoutine, context);
    KeInitializeTimerEx(&context->Timer, SynchronizationTimer);
    context->TimerInitialized = TRUE;
    context->TickCount = 0;
    context->RandomState = DsmRandomSeed();
    InitializeListHead(&context->DriveList);
    InitializeListHead(&context->PathRecordList);

    return DsmLoadConfiguration(context);
}

/*++

Routine Description:

    Releases a context after a failed start: everything it owns, each only
    if present, then the context itself.  PASSIVE_LEVEL.

--*/
VOID DsmContextDestroy(PDSM_CONTEXT DsmContext)
{
    ASSERT(DsmContext != NULL);

    if (DsmContext->RegistryPath != NULL) {
        DsmFreePool(DsmContext->RegistryPath);
    }
    if (DsmContext->ServiceName != NULL) {
        DsmFreePool(DsmContext->ServiceName);
    }
    // The copies the configuration reads made.
    if (DsmContext->SupportedDeviceList.Buffer != NULL) {
        DsmFreePool(DsmContext->SupportedDeviceList.Buffer);
    }
    if (DsmContext->DisplayNameAllocated && DsmContext->DisplayName.Buffer != NULL) {
        DsmFreePool(DsmContext->DisplayName.Buffer);
    }
    if (DsmContext->LookasideInitialized) {
        ExDeleteNPagedLookasideList(&DsmContext->CompletionLookaside);
    }
    // A creation that failed early never initialised the timer.
    if (DsmContext->TimerInitialized) {
        KeCancelTimer(&DsmContext->Timer);
    }
    DsmFreePathIndex(&DsmContext->PathIndex);

    RtlZeroMemory(DsmContext, sizeof(DSM_CONTEXT));
    DsmFreePool(DsmContext);
}

/*++

Routine Description:

    MPIO's end-of-life notice.  It frees and stops nothing: the context,
    its records and the timer stay for the life of the system.

--*/
NTSTATUS NTAPI DsmUnload(PVOID DsmContext)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    KIRQL oldIrql;

    DsmAcquireLock(dsmContext, &oldIrql);
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmUnload: entered, context %p", TA_PTR(dsmContext));
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmUnload: done");
    DsmReleaseLock(dsmContext, oldIrql);
    return STATUS_SUCCESS;
}
