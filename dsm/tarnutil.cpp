/*++

Module Name:

    tarnutil.cpp

Abstract:

    Helpers every module uses: pool allocation, owned counted strings,
    work items, the event-log writer and the code-name lookups that make
    traces readable.

Environment:

    Kernel mode.

--*/

#include "tarn.h"

TARN_TRACE_MODULE_GUID(0x6E0C9B12, 0x47D1, 0x4A52, 0x9F, 0x3E, 0x21, 0x8B, 0xC4, 0x5D, 0x70, 0xA6);

PVOID DsmIoObject;

/*++

Routine Description:

    Allocates zero-filled pool with the DSM's tag.  Every allocation of
    the DSM's own goes through here.

Return Value:

    The block, or NULL.  Any IRQL up to DISPATCH_LEVEL for non-paged pool.

--*/
PVOID DsmAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    PVOID block = ExAllocatePoolWithTag(PoolType, NumberOfBytes, TARN_POOL_TAG);
    if (block != NULL) {
        RtlZeroMemory(block, NumberOfBytes);
    }
    return block;
}

VOID DsmFreePool(PVOID Block)
{
    ExFreePoolWithTag(Block, TARN_POOL_TAG);
}

/*++

Routine Description:

    Whether a routine that waits (on the storage, the registry) has been
    called above PASSIVE_LEVEL, in which case it refuses the call: such
    routines also assert the level, but a free build drops assertions,
    and waiting at DISPATCH_LEVEL hangs the processor.  Traced with the
    routine's name.  Any IRQL.

--*/
BOOLEAN DsmCalledRaised(PCSTR Routine)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql == PASSIVE_LEVEL) {
        return FALSE;
    }
    DsmTrace(TRDSM_ERROR_LEVEL, "%s: refused at IRQL %u", TA_STR(Routine), TA_UCHAR(irql));
    return TRUE;
}

/*++

Routine Description:

    Copies counted characters into one freshly allocated block: the counted-string
    header, the characters and a 16-bit terminator.  The header's length
    runs to the first NUL of the copy.

Arguments:

    Destination - receives the owned string.
    Source - the characters, not necessarily terminated.
    LengthInBytes - their length.

--*/
NTSTATUS DsmCopyCountedString(PUNICODE_STRING *Destination, PCWSTR Source, USHORT LengthInBytes)
{
    // Whole characters only: an odd byte cannot be part of the text.
    ULONG characters = (ULONG)(LengthInBytes / sizeof(WCHAR));
    SIZE_T size = sizeof(UNICODE_STRING) + characters * sizeof(WCHAR) + sizeof(WCHAR);

    PUNICODE_STRING string = (PUNICODE_STRING)DsmAllocatePool(NonPagedPool, size);
    if (string == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmCopyCountedString: no memory for %u bytes", TA_ULONG(size));
        *Destination = NULL;
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PWCHAR characterBuffer = (PWCHAR)(string + 1);
    if (characters != 0) {
        RtlCopyMemory(characterBuffer, Source, characters * sizeof(WCHAR));
    }
    RtlInitUnicodeString(string, characterBuffer);
    *Destination = string;
    return STATUS_SUCCESS;
}

//
// A work item carries, after the three words its routine receives, what
// the trampoline needs to release the platform work item once the
// routine has run: the routine frees the whole record, so these are read
// before it is called.
//
typedef struct _DSM_WORKITEM_ENVELOPE {
    DSM_WORKITEM_RECORD Record;
    PIO_WORKITEM WorkItem;
    DSM_WORKITEM_FUNCTION Routine;
} DSM_WORKITEM_ENVELOPE, *PDSM_WORKITEM_ENVELOPE;

// The routine frees the record it is given, which frees the envelope
// only while the record is the envelope's first field.
static_assert(FIELD_OFFSET(DSM_WORKITEM_ENVELOPE, Record) == 0, "the record must open the work-item envelope");

static VOID NTAPI DsmWorkItemTrampoline(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    PDSM_WORKITEM_ENVELOPE envelope = (PDSM_WORKITEM_ENVELOPE)Context;
    PIO_WORKITEM workItem = envelope->WorkItem;
    DSM_WORKITEM_FUNCTION routine = envelope->Routine;

    routine(DeviceObject, &envelope->Record);

    // Freeing a work item from inside its own routine is allowed; the
    // record is gone by now, so only the saved pointer is used.
    IoFreeWorkItem(workItem);
}

// Queues the routine with a copy of the record; see DsmQueueWorkItem.
// FALSE when nothing could be queued.
static BOOLEAN DsmQueueWorkItemRecord(const DSM_WORKITEM_RECORD *Record, PDEVICE_OBJECT DeviceObject,
                                   DSM_WORKITEM_FUNCTION workItemFunction)
{
    ASSERT(workItemFunction);

    PDSM_WORKITEM_ENVELOPE envelope =
        (PDSM_WORKITEM_ENVELOPE)DsmAllocatePool(NonPagedPool, sizeof(DSM_WORKITEM_ENVELOPE));
    if (envelope == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmQueueWorkItemRecord: no memory for the work-item record");
        return FALSE;
    }

    PIO_WORKITEM workItem = IoAllocateWorkItem(DeviceObject);
    if (workItem == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmQueueWorkItemRecord: no work item for device %p", TA_PTR(DeviceObject));
        DsmFreePool(envelope);
        return FALSE;
    }

    envelope->Record = *Record;
    envelope->WorkItem = workItem;
    envelope->Routine = workItemFunction;
    IoQueueWorkItem(workItem, DsmWorkItemTrampoline, CriticalWorkQueue, envelope);
    return TRUE;
}

/*++

Routine Description:

    Queues workItemFunction for a call at PASSIVE_LEVEL on a system worker
    thread of the critical queue, with a record of the three pointers.
    The routine frees the record; the work item itself is released after
    the routine returns.  When memory is short nothing is queued and the
    caller is not told: the work is simply not done.

    Any IRQL up to DISPATCH_LEVEL; may be called with DsmLock held.

--*/
VOID DsmQueueWorkItem(PDSM_CONTEXT DsmContext, PVOID LdEntry, PVOID PdoEntry, PDEVICE_OBJECT DeviceObject,
                      DSM_WORKITEM_FUNCTION workItemFunction)
{
    DSM_WORKITEM_RECORD record = {DsmContext, LdEntry, PdoEntry, 0};
    (void)DsmQueueWorkItemRecord(&record, DeviceObject, workItemFunction);
}

/*++

Routine Description:

    Queues work on one path: the record names the path's context, drive
    and path and carries the path's serial, so that the routine can tell,
    under the lock, whether the path it was queued for is still there
    (IsPdoEntryCurrent).  The path's target device is the work item's
    device.  FALSE when memory was short and nothing was queued.  Caller
    holds DsmLock.

--*/
BOOLEAN DsmQueuePathWorkItem(PPDO_ENTRY PdoEntry, DSM_WORKITEM_FUNCTION workItemFunction)
{
    DSM_ASSERT_LOCK_HELD(PdoEntry->DsmContext);
    DSM_WORKITEM_RECORD record = {PdoEntry->DsmContext, PdoEntry->LdEntry, PdoEntry, PdoEntry->RecordSerial};
    return DsmQueueWorkItemRecord(&record, PdoEntry->TargetObject, workItemFunction);
}

/*++

Routine Description:

    Writes one event-log entry: the message identifier, up to two 8-bit
    insertion strings (widened byte by byte to 16 bits) and optional dump
    data.  An entry larger than the platform allows, or one the platform
    cannot allocate, is dropped with an error trace.

    Any IRQL up to DISPATCH_LEVEL, also with DsmLock held.

Arguments:

    IoObject - the driver object recorded at start-up.
    ErrorCode - the message identifier.
    String1, String2 - NUL-terminated insertion strings, or NULL.  A lone
        second string becomes the entry's only string.
    DumpData, DumpDataLength - binary data, or NULL and 0.

--*/
VOID DsmLogEvent(PVOID IoObject, NTSTATUS ErrorCode, PCSTR String1, PCSTR String2, PVOID DumpData,
                 ULONG DumpDataLength)
{
    ULONG dumpDataLenRounded = (DumpDataLength + 3) & ~3u;
    ASSERT((dumpDataLenRounded % 4) == 0);

    if (String1 == NULL) {
        String1 = String2;
        String2 = NULL;
    }

    ULONG string1Chars = String1 != NULL ? (ULONG)strlen(String1) + 1 : 0;
    ULONG string2Chars = String2 != NULL ? (ULONG)strlen(String2) + 1 : 0;

    // The fixed packet already holds the first four bytes of dump data.
    ULONG entrySize = sizeof(IO_ERROR_LOG_PACKET);
    if (dumpDataLenRounded > sizeof(ULONG)) {
        entrySize += dumpDataLenRounded;
    }
    entrySize += (string1Chars + string2Chars) * (ULONG)sizeof(WCHAR);

    if (entrySize > ERROR_LOG_MAXIMUM_SIZE) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmLogEvent: entry 0x%08X of %u bytes exceeds the limit of %u; dropped",
                 TA_ULONG(ErrorCode), TA_ULONG(entrySize), TA_ULONG(ERROR_LOG_MAXIMUM_SIZE));
        return;
    }

    PIO_ERROR_LOG_PACKET packet = (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(IoObject, (UCHAR)entrySize);
    if (packet == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmLogEvent: no error-log entry for 0x%08X", TA_ULONG(ErrorCode));
        return;
    }

    RtlZeroMemory(packet, entrySize);
    packet->ErrorCode = ErrorCode;
    packet->DumpDataSize = (USHORT)dumpDataLenRounded;
    if (DumpDataLength != 0) {
        RtlCopyMemory(packet->DumpData, DumpData, DumpDataLength);
    }

    if (String1 != NULL) {
        ULONG stringOffset = (ULONG)FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData) + dumpDataLenRounded;
        PWCHAR target = (PWCHAR)((PUCHAR)packet + stringOffset);

        packet->StringOffset = (USHORT)stringOffset;
        packet->NumberOfStrings = String2 != NULL ? 2 : 1;

        // Each byte becomes the code unit of the same value, terminator included.
        for (ULONG i = 0; i < string1Chars; i++) {
            *target++ = (WCHAR)(UCHAR)String1[i];
        }
        for (ULONG i = 0; i < string2Chars; i++) {
            *target++ = (WCHAR)(UCHAR)String2[i];
        }
    }

    IoWriteErrorLogEntry(packet);
}

//
// Code-name tables.  Each lookup walks its rows in order; the first three
// format an unknown value as "0x%X" into the caller's buffer (a temporary
// of the calling expression, see DsmStatusName), never into one shared
// by threads that trace at the same time.
//
typedef struct _DSM_CODE_NAME {
    ULONG Value;
    PCSTR Name;
} DSM_CODE_NAME, *PDSM_CODE_NAME;

static const DSM_CODE_NAME DsmStatusNames[] = {
    {0x00000000, "STATUS_SUCCESS"},
    {0xC0000185, "STATUS_IO_DEVICE_ERROR"},
    {0x80000005, "STATUS_BUFFER_OVERFLOW"},
    {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
    {0xC00000C0, "STATUS_DEVICE_DOES_NOT_EXIST"},
    {0xC000000E, "STATUS_NO_SUCH_DEVICE"},
    {0xC00000B5, "STATUS_IO_TIMEOUT"},
    {0x00000103, "STATUS_PENDING"},
};

static const DSM_CODE_NAME DsmSrbStatusNames[] = {
    {SRB_STATUS_PENDING, "SRB_STATUS_PENDING"},
    {SRB_STATUS_SUCCESS, "SRB_STATUS_SUCCESS"},
    {SRB_STATUS_ABORTED, "SRB_STATUS_ABORTED"},
    {SRB_STATUS_ABORT_FAILED, "SRB_STATUS_ABORT_FAILED"},
    {SRB_STATUS_ERROR, "SRB_STATUS_ERROR"},
    {SRB_STATUS_BUSY, "SRB_STATUS_BUSY"},
    {SRB_STATUS_INVALID_REQUEST, "SRB_STATUS_INVALID_REQUEST"},
    {SRB_STATUS_INVALID_PATH_ID, "SRB_STATUS_INVALID_PATH_ID"},
    {SRB_STATUS_NO_DEVICE, "SRB_STATUS_NO_DEVICE"},
    {SRB_STATUS_TIMEOUT, "SRB_STATUS_TIMEOUT"},
    {SRB_STATUS_SELECTION_TIMEOUT, "SRB_STATUS_SELECTION_TIMEOUT"},
    {SRB_STATUS_COMMAND_TIMEOUT, "SRB_STATUS_COMMAND_TIMEOUT"},
    {SRB_STATUS_MESSAGE_REJECTED, "SRB_STATUS_MESSAGE_REJECTED"},
    {SRB_STATUS_BUS_RESET, "SRB_STATUS_BUS_RESET"},
    {SRB_STATUS_PARITY_ERROR, "SRB_STATUS_PARITY_ERROR"},
    {SRB_STATUS_REQUEST_SENSE_FAILED, "SRB_STATUS_REQUEST_SENSE_FAILED"},
    {SRB_STATUS_NO_HBA, "SRB_STATUS_NO_HBA"},
    {SRB_STATUS_DATA_OVERRUN, "SRB_STATUS_DATA_OVERRUN"},
    {SRB_STATUS_UNEXPECTED_BUS_FREE, "SRB_STATUS_UNEXPECTED_BUS_FREE"},
    {SRB_STATUS_PHASE_SEQUENCE_FAILURE, "SRB_STATUS_PHASE_SEQUENCE_FAILURE"},
    {SRB_STATUS_BAD_SRB_BLOCK_LENGTH, "SRB_STATUS_BAD_SRB_BLOCK_LENGTH"},
    {SRB_STATUS_REQUEST_FLUSHED, "SRB_STATUS_REQUEST_FLUSHED"},
    {SRB_STATUS_INVALID_LUN, "SRB_STATUS_INVALID_LUN"},
    {SRB_STATUS_INVALID_TARGET_ID, "SRB_STATUS_INVALID_TARGET_ID"},
    {SRB_STATUS_BAD_FUNCTION, "SRB_STATUS_BAD_FUNCTION"},
    {SRB_STATUS_ERROR_RECOVERY, "SRB_STATUS_ERROR_RECOVERY"},
    {SRB_STATUS_NOT_POWERED, "SRB_STATUS_NOT_POWERED"},
};

static const DSM_CODE_NAME DsmSrbFunctionNames[] = {
    {SRB_FUNCTION_EXECUTE_SCSI, "SRB_FUNCTION_EXECUTE_SCSI"},
    {SRB_FUNCTION_CLAIM_DEVICE, "SRB_FUNCTION_CLAIM_DEVICE"},
    {SRB_FUNCTION_IO_CONTROL, "SRB_FUNCTION_IO_CONTROL"},
    {SRB_FUNCTION_RECEIVE_EVENT, "SRB_FUNCTION_RECEIVE_EVENT"},
    {SRB_FUNCTION_RELEASE_QUEUE, "SRB_FUNCTION_RELEASE_QUEUE"},
    {SRB_FUNCTION_ATTACH_DEVICE, "SRB_FUNCTION_ATTACH_DEVICE"},
    {SRB_FUNCTION_RELEASE_DEVICE, "SRB_FUNCTION_RELEASE_DEVICE"},
    {SRB_FUNCTION_SHUTDOWN, "SRB_FUNCTION_SHUTDOWN"},
    {SRB_FUNCTION_FLUSH, "SRB_FUNCTION_FLUSH"},
    {SRB_FUNCTION_ABORT_COMMAND, "SRB_FUNCTION_ABORT_COMMAND"},
    {SRB_FUNCTION_RELEASE_RECOVERY, "SRB_FUNCTION_RELEASE_RECOVERY"},
    {SRB_FUNCTION_RESET_BUS, "SRB_FUNCTION_RESET_BUS"},
    {SRB_FUNCTION_RESET_DEVICE, "SRB_FUNCTION_RESET_DEVICE"},
    {SRB_FUNCTION_TERMINATE_IO, "SRB_FUNCTION_TERMINATE_IO"},
    {SRB_FUNCTION_FLUSH_QUEUE, "SRB_FUNCTION_FLUSH_QUEUE"},
    {SRB_FUNCTION_REMOVE_DEVICE, "SRB_FUNCTION_REMOVE_DEVICE"},
    {SRB_FUNCTION_WMI, "SRB_FUNCTION_WMI"},
    {SRB_FUNCTION_LOCK_QUEUE, "SRB_FUNCTION_LOCK_QUEUE"},
    {SRB_FUNCTION_UNLOCK_QUEUE, "SRB_FUNCTION_UNLOCK_QUEUE"},
    {SRB_FUNCTION_RESET_LOGICAL_UNIT, "SRB_FUNCTION_RESET_LOGICAL_UNIT"},
};

static const DSM_CODE_NAME DsmPathHealthNames[] = {
    {PDO_HEALTH_INIT_START, "PDO_HEALTH_INIT_START"},
    {PDO_HEALTH_INIT_SETDEVICEINFO, "PDO_HEALTH_INIT_SETDEVICEINFO"},
    {PDO_HEALTH_INIT_PATHVERIFY_FAIL, "PDO_HEALTH_INIT_PATHVERIFY_FAIL"},
    {PDO_HEALTH_INIT_PATHVERIFY_SUCCESS, "PDO_HEALTH_INIT_PATHVERIFY_SUCCESS"},
    {PDO_HEALTH_HEALTHY, "PDO_HEALTH_HEALTHY"},
    {PDO_HEALTH_FAILING, "PDO_HEALTH_FAILING"},
    {PDO_HEALTH_FAILED, "PDO_HEALTH_FAILED"},
    {PDO_HEALTH_PENDING_REMOVE, "PDO_HEALTH_PENDING_REMOVE"},
    {PDO_HEALTH_REMOVED, "PDO_HEALTH_REMOVED"},
};

static PCSTR DsmFindCodeName(const DSM_CODE_NAME *Table, ULONG Rows, ULONG Value)
{
    for (ULONG i = 0; i < Rows; i++) {
        if (Table[i].Value == Value) {
            return Table[i].Name;
        }
    }
    return NULL;
}

// Fallback is a DSM_CODE_NAME_TEXT's: "0x" and up to eight digits fit.
static PCSTR DsmCodeNameOrHex(const DSM_CODE_NAME *Table, ULONG Rows, ULONG Value, PCHAR Fallback)
{
    PCSTR name = DsmFindCodeName(Table, Rows, Value);
    if (name == NULL) {
        (void)RtlStringCbPrintfA(Fallback, sizeof(DSM_CODE_NAME_TEXT), "0x%X", Value);
        name = Fallback;
    }
    return name;
}

PCSTR DsmFormatStatusName(NTSTATUS Status, PCHAR Fallback)
{
    return DsmCodeNameOrHex(DsmStatusNames, RTL_NUMBER_OF(DsmStatusNames), (ULONG)Status, Fallback);
}

PCSTR DsmFormatSrbStatusName(ULONG SrbStatus, PCHAR Fallback)
{
    return DsmCodeNameOrHex(DsmSrbStatusNames, RTL_NUMBER_OF(DsmSrbStatusNames), SrbStatus & 0xFF, Fallback);
}

PCSTR DsmFormatSrbFunctionName(ULONG SrbFunction, PCHAR Fallback)
{
    return DsmCodeNameOrHex(DsmSrbFunctionNames, RTL_NUMBER_OF(DsmSrbFunctionNames), SrbFunction & 0xFF, Fallback);
}

PCSTR DsmPathHealthName(ULONG HealthState)
{
    return DsmFindCodeName(DsmPathHealthNames, RTL_NUMBER_OF(DsmPathHealthNames), HealthState);
}
