/*++

Module Name:

    tarnsupport.cpp

Abstract:

    Path choice and the DSM's own SCSI commands.

    Path choice (SelectCurrentPath, SelectNextPath, NextPathAfterCurrent,
    TimesliceSwitchDue, PathDistance) runs under DsmLock at any IRQL up to
    DISPATCH_LEVEL, on every request and health change; each asserts the
    lock at entry.

    The commands go down one path: the pass-through envelope every one of
    them travels in, TEST UNIT READY with the judgement of whether a path
    answered, and the two queries of the array status buffer that tell
    where a path lands and what the controller's clock says.  They run at
    PASSIVE_LEVEL, never with DsmLock held: they wait for their
    completion.  Callers copy what they need under the lock first and
    store results under it afterwards.

Environment:

    Kernel mode.

--*/

#include "tarn.h"

TARN_TRACE_MODULE_GUID(0x7C19E3A5, 0x6D02, 0x4B8E, 0xA1, 0x5F, 0xC8, 0x30, 0x2E, 0x97, 0x4B, 0x16);

// The array status buffer, buffer 0x40 of READ BUFFER(10) mode 2.
#define TARN_ARRAY_BUFFER_ID 0x40
#define TARN_LOCATION_QUERY_LENGTH 8
#define TARN_TIME_QUERY_LENGTH 448
#define TARN_LOCATION_TIMEOUT 1            // seconds
#define TARN_TIME_TIMEOUT 3
#define TARN_STATUS_ARRIVAL_PORT 4         // 1 or 2
#define TARN_STATUS_ARRIVAL_CONTROLLER 5   // 1 or 2
#define TARN_STATUS_CLOCK_MARKER_0 6       // 0xF1: the first record holds a usable time
#define TARN_STATUS_CLOCK_MARKER_1 7
#define TARN_STATUS_CLOCK_VALID 0xF1
#define TARN_STATUS_RECORD_0 8
#define TARN_STATUS_RECORD_1 228
#define TARN_RECORD_HOURS 101
#define TARN_RECORD_MINUTES 102
#define TARN_RECORD_SECONDS 103

/*++

Routine Description:

    How much of the data area a completed command filled: the length the
    port driver reports as really transferred, never more than was asked
    for.  Anything beyond it is whatever the buffer held before, not the
    device's answer, and must not be read as one.  Any IRQL.

--*/
ULONG DsmPassThroughTransferred(const PASS_THROUGH_REQUEST *Request, ULONG Requested)
{
    ULONG transferred = Request->Header.DataTransferLength;
    return transferred < Requested ? transferred : Requested;
}

// Whether the reply reaches byte Offset of the data area.
static BOOLEAN DsmReplyCovers(const PASS_THROUGH_REQUEST *Request, ULONG Requested, ULONG Offset)
{
    return (BOOLEAN)(Offset < DsmPassThroughTransferred(Request, Requested));
}

static const UCHAR DsmTestUnitReadyCdb[6] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
static const UCHAR DsmLocationQueryCdb[10] = {SCSIOP_READ_DATA_BUFF, 0x02, TARN_ARRAY_BUFFER_ID, 0x00, 0x00, 0x00,
                                              0x00, 0x00, TARN_LOCATION_QUERY_LENGTH, 0x00};
static const UCHAR DsmTimeQueryCdb[10] = {SCSIOP_READ_DATA_BUFF, 0x02, TARN_ARRAY_BUFFER_ID, 0x00, 0x00, 0x00, 0x00, 0x01, 0xC0, 0x00};

// A request of this data length, from pool tagged apart from the DSM's
// own records; NULL when memory is short.
PPASS_THROUGH_REQUEST DsmAllocatePassThrough(ULONG DataLength)
{
    return (PPASS_THROUGH_REQUEST)ExAllocatePoolWithTag(NonPagedPool, TARN_PASS_THROUGH_SIZE(DataLength),
                                                        TARN_DDK_TAG);
}

VOID DsmFreePassThrough(PPASS_THROUGH_REQUEST Request)
{
    ExFreePoolWithTag(Request, TARN_DDK_TAG);
}

/*++

Routine Description:

    Sends a prepared request down a path as IOCTL_SCSI_PASS_THROUGH, with
    the buffer as both input and output, waits for it, and reads back the
    status, the SCSI status and the fixed-format sense.

--*/
VOID DsmSendPreparedPassThrough(PDEVICE_OBJECT DeviceObject, PPASS_THROUGH_REQUEST Request, ULONG DataLength,
                            PPASS_THROUGH_OUTCOME Outcome)
{
    DSM_ASSERT_PASSIVE();
    IO_STATUS_BLOCK ioStatus;
    ULONG length = TARN_PASS_THROUGH_SIZE(DataLength);

    RtlZeroMemory(&ioStatus, sizeof(ioStatus));
    DsmSendDeviceIoControlSynchronous(IOCTL_SCSI_PASS_THROUGH, DeviceObject, Request, Request, length, length, FALSE,
                                      &ioStatus);

    Outcome->Status = ioStatus.Status;
    Outcome->ScsiStatus = Request->Header.ScsiStatus;
    Outcome->SenseKey = Request->Sense[2] & 0x0F;
    Outcome->Asc = Request->Sense[12];
    Outcome->Ascq = Request->Sense[13];

    DsmTrace(TRDSM_TRACE_LEVEL,
             "DsmSendPreparedPassThrough: opcode 0x%02X on %p: %s (0x%08X), SCSI status 0x%02X, sense %x/%x/%x",
             TA_UCHAR(Request->Header.Cdb[0]), TA_PTR(DeviceObject), TA_STR(DsmStatusName(Outcome->Status)),
             TA_ULONG(Outcome->Status), TA_UCHAR(Outcome->ScsiStatus), TA_UCHAR(Outcome->SenseKey),
             TA_UCHAR(Outcome->Asc), TA_UCHAR(Outcome->Ascq));
}

// Zeroes the whole request and fills its header and CDB; a command that
// sends data writes it into the data area afterwards.
VOID DsmPreparePassThrough(PPASS_THROUGH_REQUEST Request, const UCHAR *Cdb, UCHAR CdbLength, ULONG DataLength,
                                  UCHAR DataIn, ULONG TimeOutValue)
{
    ASSERT(CdbLength <= sizeof(Request->Header.Cdb));

    RtlZeroMemory(Request, TARN_PASS_THROUGH_SIZE(DataLength));
    Request->Header.Length = sizeof(SCSI_PASS_THROUGH);
    Request->Header.CdbLength = CdbLength;
    Request->Header.SenseInfoLength = TARN_SENSE_AREA_LENGTH;
    Request->Header.DataIn = DataIn;
    Request->Header.DataTransferLength = DataLength;
    Request->Header.TimeOutValue = TimeOutValue;
    Request->Header.DataBufferOffset = (ULONG_PTR)FIELD_OFFSET(PASS_THROUGH_REQUEST, Data);
    Request->Header.SenseInfoOffset = (ULONG)FIELD_OFFSET(PASS_THROUGH_REQUEST, Sense);
    RtlCopyMemory(Request->Header.Cdb, Cdb, CdbLength);
}

/*++

Routine Description:

    One attempt of one command: the request is zeroed and filled, sent,
    and its outcome read back.  PASSIVE_LEVEL, without DsmLock.

--*/
VOID DsmSendPassThrough(PDEVICE_OBJECT DeviceObject, PPASS_THROUGH_REQUEST Request, const UCHAR *Cdb,
                        UCHAR CdbLength, ULONG DataLength, UCHAR DataIn, ULONG TimeOutValue,
                        PPASS_THROUGH_OUTCOME Outcome)
{
    DSM_ASSERT_PASSIVE();
    DsmPreparePassThrough(Request, Cdb, CdbLength, DataLength, DataIn, TimeOutValue);
    DsmSendPreparedPassThrough(DeviceObject, Request, DataLength, Outcome);
}

/*++

Routine Description:

    Whether a command's outcome shows that the logical unit answered on
    this path.  A reservation held by another node or a check condition
    still means the unit is there; a failed transport, a busy unit or a
    LUN the array does not offer on this path does not.

--*/
BOOLEAN IsPathResponsive(NTSTATUS Status, UCHAR ScsiStatus, UCHAR SenseKey, UCHAR Asc, UCHAR Ascq)
{
    UNREFERENCED_PARAMETER(Ascq);

    if (ScsiStatus == SCSISTAT_RESERVATION_CONFLICT) {
        return TRUE;
    }
    if (!NT_SUCCESS(Status)) {
        return FALSE;
    }
    if (ScsiStatus == SCSISTAT_GOOD) {
        return TRUE;
    }
    if (ScsiStatus == SCSISTAT_CHECK_CONDITION) {
        return (BOOLEAN)!(SenseKey == SCSI_SENSE_ILLEGAL_REQUEST && Asc == SCSI_ADSENSE_INVALID_LUN);
    }
    return FALSE;
}

/*++

Routine Description:

    Tests a path with TEST UNIT READY: up to RetryCount + 1 attempts, one
    right after the other, until one shows the path responsive.  Holds a
    reference on the device for its whole run.

Return Value:

    STATUS_SUCCESS, STATUS_IO_DEVICE_ERROR or STATUS_INSUFFICIENT_RESOURCES.

--*/
NTSTATUS TestUnitReadyOnPath(PDEVICE_OBJECT DeviceObject, ULONG RetryCount, ULONG TimeOutValue, PCSTR Label)
{
    DSM_ASSERT_PASSIVE();
    PASS_THROUGH_OUTCOME outcome;
    NTSTATUS result = STATUS_IO_DEVICE_ERROR;

    ObReferenceObject(DeviceObject);
    PPASS_THROUGH_REQUEST request = DsmAllocatePassThrough(0);
    if (request == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "TestUnitReadyOnPath: %s no memory for the request", TA_STR(Label));
        ObDereferenceObject(DeviceObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    for (ULONG attempt = 0; attempt <= RetryCount; attempt++) {
        DsmSendPassThrough(DeviceObject, request, DsmTestUnitReadyCdb, sizeof(DsmTestUnitReadyCdb), 0,
                           SCSI_IOCTL_DATA_IN, TimeOutValue, &outcome);
        if (IsPathResponsive(outcome.Status, outcome.ScsiStatus, outcome.SenseKey, outcome.Asc, outcome.Ascq)) {
            result = STATUS_SUCCESS;
            break;
        }
        DsmTrace(TRDSM_WARNING_LEVEL, "TestUnitReadyOnPath: %s attempt %u of %u unanswered", TA_STR(Label),
                 TA_ULONG(attempt + 1), TA_ULONG(RetryCount + 1));
    }

    DsmFreePassThrough(request);
    ObDereferenceObject(DeviceObject);
    DsmTrace(TRDSM_TRACE_LEVEL, "TestUnitReadyOnPath: %s %s", TA_STR(Label), TA_STR(DsmStatusName(result)));
    return result;
}

/*++

Routine Description:

    Asks the array which controller port and controller a path arrives
    on.  Each answer is 0 or 1, or TARN_CONTROLLER_UNKNOWN when the reply
    does not say; both stay unknown unless the result is STATUS_SUCCESS.

--*/
NTSTATUS QueryArrayLocation(PDEVICE_OBJECT DeviceObject, PCSTR Label, PUCHAR ControllerPort, PUCHAR ControllerNumber)
{
    DSM_ASSERT_PASSIVE();
    PASS_THROUGH_OUTCOME outcome;
    NTSTATUS result;

    *ControllerPort = TARN_CONTROLLER_UNKNOWN;
    *ControllerNumber = TARN_CONTROLLER_UNKNOWN;

    ObReferenceObject(DeviceObject);
    PPASS_THROUGH_REQUEST request = DsmAllocatePassThrough(TARN_LOCATION_QUERY_LENGTH);
    if (request == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "QueryArrayLocation: %s no memory for the request", TA_STR(Label));
        ObDereferenceObject(DeviceObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    DsmSendPassThrough(DeviceObject, request, DsmLocationQueryCdb, sizeof(DsmLocationQueryCdb),
                       TARN_LOCATION_QUERY_LENGTH, SCSI_IOCTL_DATA_IN, TARN_LOCATION_TIMEOUT, &outcome);

    if (outcome.ScsiStatus != SCSISTAT_GOOD || outcome.Status != STATUS_SUCCESS) {
        DsmTrace(TRDSM_ERROR_LEVEL, "QueryArrayLocation: %s failed, %s, SCSI status 0x%02X", TA_STR(Label),
                 TA_STR(DsmStatusName(outcome.Status)), TA_UCHAR(outcome.ScsiStatus));
        result = STATUS_IO_DEVICE_ERROR;
    } else if (!DsmReplyCovers(request, TARN_LOCATION_QUERY_LENGTH, TARN_STATUS_ARRIVAL_CONTROLLER)) {
        DsmTrace(TRDSM_ERROR_LEVEL, "QueryArrayLocation: %s reply of %u bytes is short", TA_STR(Label),
                 TA_ULONG(request->Header.DataTransferLength));
        result = STATUS_IO_DEVICE_ERROR;
    } else {
        UCHAR port = request->Data[TARN_STATUS_ARRIVAL_PORT];
        UCHAR controller = request->Data[TARN_STATUS_ARRIVAL_CONTROLLER];
        if (port == 1 || port == 2) {
            *ControllerPort = (UCHAR)(port - 1);
        }
        if (controller == 1 || controller == 2) {
            *ControllerNumber = (UCHAR)(controller - 1);
        }
        DsmTrace(TRDSM_TRACE_LEVEL, "QueryArrayLocation: %s controller 0x%02X port 0x%02X", TA_STR(Label),
                 TA_UCHAR(*ControllerNumber), TA_UCHAR(*ControllerPort));
        result = STATUS_SUCCESS;
    }

    DsmFreePassThrough(request);
    ObDereferenceObject(DeviceObject);
    return result;
}

/*++

Routine Description:

    Reads the time of day of the first controller whose clock the array
    marks usable, as "%d:%d:%d" text for the event log.

Arguments:

    TimeStamp - zeroed, then filled on success; at least 16 bytes.

--*/
NTSTATUS QueryControllerTime(PDEVICE_OBJECT DeviceObject, PCSTR Label, PCHAR TimeStamp, ULONG timeStampSize)
{
    DSM_ASSERT_PASSIVE();
    PASS_THROUGH_OUTCOME outcome;
    NTSTATUS result = STATUS_IO_DEVICE_ERROR;

    ASSERT(timeStampSize >= 16);
    ObReferenceObject(DeviceObject);
    RtlZeroMemory(TimeStamp, timeStampSize);

    PPASS_THROUGH_REQUEST request = DsmAllocatePassThrough(TARN_TIME_QUERY_LENGTH);
    if (request == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "QueryControllerTime: %s no memory for the request", TA_STR(Label));
        ObDereferenceObject(DeviceObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    DsmSendPassThrough(DeviceObject, request, DsmTimeQueryCdb, sizeof(DsmTimeQueryCdb), TARN_TIME_QUERY_LENGTH,
                       SCSI_IOCTL_DATA_IN, TARN_TIME_TIMEOUT, &outcome);

    if (outcome.ScsiStatus != SCSISTAT_GOOD || outcome.Status != STATUS_SUCCESS) {
        DsmTrace(TRDSM_ERROR_LEVEL, "QueryControllerTime: %s failed, %s, SCSI status 0x%02X", TA_STR(Label),
                 TA_STR(DsmStatusName(outcome.Status)), TA_UCHAR(outcome.ScsiStatus));
    } else if (!DsmReplyCovers(request, TARN_TIME_QUERY_LENGTH, TARN_STATUS_CLOCK_MARKER_1)) {
        DsmTrace(TRDSM_ERROR_LEVEL, "QueryControllerTime: %s reply of %u bytes is short", TA_STR(Label),
                 TA_ULONG(request->Header.DataTransferLength));
    } else {
        ULONG recordOffset = 0;
        if (request->Data[TARN_STATUS_CLOCK_MARKER_0] == TARN_STATUS_CLOCK_VALID) {
            recordOffset = TARN_STATUS_RECORD_0;
        } else if (request->Data[TARN_STATUS_CLOCK_MARKER_1] == TARN_STATUS_CLOCK_VALID) {
            recordOffset = TARN_STATUS_RECORD_1;
        }
        const UCHAR *record = recordOffset != 0 ? &request->Data[recordOffset] : NULL;

        if (record == NULL) {
            DsmTrace(TRDSM_ERROR_LEVEL, "QueryControllerTime: %s no controller clock is set", TA_STR(Label));
        } else if (!DsmReplyCovers(request, TARN_TIME_QUERY_LENGTH, recordOffset + TARN_RECORD_SECONDS)) {
            DsmTrace(TRDSM_ERROR_LEVEL, "QueryControllerTime: %s reply of %u bytes ends before the clock",
                     TA_STR(Label), TA_ULONG(request->Header.DataTransferLength));
        } else {
            NTSTATUS formatted = RtlStringCbPrintfA(TimeStamp, timeStampSize, "%d:%d:%d", record[TARN_RECORD_HOURS],
                                                    record[TARN_RECORD_MINUTES], record[TARN_RECORD_SECONDS]);
            ASSERT(NT_SUCCESS(formatted));
            UNREFERENCED_PARAMETER(formatted);
            DsmTrace(TRDSM_TRACE_LEVEL, "QueryControllerTime: %s %s", TA_STR(Label), TA_STR(TimeStamp));
            result = STATUS_SUCCESS;
        }
    }

    DsmFreePassThrough(request);
    ObDereferenceObject(DeviceObject);
    return result;
}

//
// Path choice.  Every drive has one current path that all its requests
// go down; these procedures decide when and to which path it moves.  All
// run with DsmLock held and never take it.
//

#define TARN_SWITCH_KEEP_ONE_IN 8      // round robin keeps its path for one slice in eight

static PPDO_ENTRY DsmFirstPath(PLD_ENTRY LdEntry)
{
    return IsListEmpty(&LdEntry->PathList) ? NULL : CONTAINING_RECORD(LdEntry->PathList.Flink, PDO_ENTRY, LdLink);
}

static PPDO_ENTRY DsmPathAfter(PLD_ENTRY LdEntry, PPDO_ENTRY PdoEntry)
{
    PLIST_ENTRY next = PdoEntry->LdLink.Flink;
    return next == &LdEntry->PathList ? DsmFirstPath(LdEntry) : CONTAINING_RECORD(next, PDO_ENTRY, LdLink);
}

// Whether path choice may take the path as a drive's current path ahead
// of every fallback: HEALTHY, with no registration of this node's key
// still on its way there.  Until that work has run, the path may not
// carry the key, and on a drive this node holds the unit would answer
// each request down it with RESERVATION CONFLICT.  Caller holds DsmLock.
static BOOLEAN DsmIsPathReady(PPDO_ENTRY Path)
{
    DSM_ASSERT_LOCK_HELD(Path->DsmContext);
    return (BOOLEAN)(Path->HealthState == PDO_HEALTH_HEALTHY && Path->RegistrationsQueued == 0);
}

// The paths a drive falls back to when none is ready, by health.
typedef struct _DSM_FALLBACK_PATHS {
    PPDO_ENTRY Unregistered;    // healthy, its registration still on its way
    PPDO_ENTRY Failing;
    PPDO_ENTRY Failed;
    PPDO_ENTRY Pending;         // never chosen; only told of
} DSM_FALLBACK_PATHS, *PDSM_FALLBACK_PATHS;

// Notes a path that is not ready among the fallbacks: the first seen of
// each kind when KeepFirst, the last otherwise.
static VOID DsmNoteFallback(PDSM_FALLBACK_PATHS Fallbacks, PPDO_ENTRY Path, BOOLEAN KeepFirst)
{
    PPDO_ENTRY *slot;
    switch (Path->HealthState) {
    case PDO_HEALTH_HEALTHY:
        slot = &Fallbacks->Unregistered;
        break;
    case PDO_HEALTH_FAILING:
        slot = &Fallbacks->Failing;
        break;
    case PDO_HEALTH_FAILED:
        slot = &Fallbacks->Failed;
        break;
    case PDO_HEALTH_PENDING_REMOVE:
        slot = &Fallbacks->Pending;
        break;
    default:
        return;
    }
    if (!KeepFirst || *slot == NULL) {
        *slot = Path;
    }
}

// The path a drive without a ready one takes: a healthy path whose
// registration is on its way (its requests may meet the reservation
// until it arrives, but it answers), else a failing path, else a failed
// one, else none (a path pending removal never carries requests).
static PPDO_ENTRY DsmChooseFallback(PLD_ENTRY LdEntry, const DSM_FALLBACK_PATHS *Fallbacks)
{
    PPDO_ENTRY chosen = Fallbacks->Unregistered;
    if (chosen == NULL) {
        chosen = Fallbacks->Failing != NULL ? Fallbacks->Failing : Fallbacks->Failed;
    }
    if (chosen == NULL && Fallbacks->Pending != NULL) {
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmChooseFallback: %s only %s, pending removal, is left",
                 TA_STR(LdEntry->ldIdString), TA_STR(Fallbacks->Pending->PathIdString));
    }
    return chosen;
}

/*++

Routine Description:

    How far a path lies from another on the array and on the host: +8 for
    another controller, +4 for another SCSI port, +2 for another
    controller port, +1 for another path id.  Unknown location values
    (0xFF) are equal to each other and differ from known ones.

--*/
ULONG PathDistance(PPDO_ENTRY Path, PPDO_ENTRY From)
{
    DSM_ASSERT_LOCK_HELD(Path->DsmContext);
    ULONG distance = 0;
    if (Path->ControllerNumber != From->ControllerNumber) {
        distance += 8;
    }
    if (Path->ScsiAddress->PortNumber != From->ScsiAddress->PortNumber) {
        distance += 4;
    }
    if (Path->ControllerPort != From->ControllerPort) {
        distance += 2;
    }
    if (Path->ScsiAddress->PathId != From->ScsiAddress->PathId) {
        distance += 1;
    }
    return distance;
}

/*++

Routine Description:

    Where a walk for the next path starts: the path after the current one
    (wrapping to the first), or the first path when there is no current
    path or it is not on the drive's list.  Caller holds DsmLock.

--*/
PPDO_ENTRY NextPathAfterCurrent(PLD_ENTRY LdEntry)
{
    DSM_ASSERT_LOCK_HELD(LdEntry->DsmContext);
    if (LdEntry->currentPath == NULL) {
        return DsmFirstPath(LdEntry);
    }
    for (PLIST_ENTRY link = LdEntry->PathList.Flink; link != &LdEntry->PathList; link = link->Flink) {
        ASSERT(link != NULL);
        PPDO_ENTRY pdoEntry = CONTAINING_RECORD(link, PDO_ENTRY, LdLink);
        if (pdoEntry == LdEntry->currentPath) {
            return DsmPathAfter(LdEntry, pdoEntry);
        }
    }
    DsmTrace(TRDSM_ERROR_LEVEL, "NextPathAfterCurrent: %s current path is not on its list",
             TA_STR(LdEntry->ldIdString));
    return DsmFirstPath(LdEntry);
}

static VOID DsmTraceCurrentPath(PLD_ENTRY LdEntry)
{
    DSM_ASSERT_LOCK_HELD(LdEntry->DsmContext);
    PPDO_ENTRY current = LdEntry->currentPath;
    if (current == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmTraceCurrentPath: %s has no usable path", TA_STR(LdEntry->ldIdString));
    } else if (current->HealthState != PDO_HEALTH_HEALTHY) {
        DsmTrace(TRDSM_WARNING_LEVEL, "DsmTraceCurrentPath: %s uses %s, which is %s", TA_STR(LdEntry->ldIdString),
                 TA_STR(current->PathIdString), TA_STR(DsmPathHealthName(current->HealthState)));
    } else if (!DsmIsPathReady(current)) {
        DsmTrace(TRDSM_WARNING_LEVEL, "DsmTraceCurrentPath: %s uses %s before its registration is carried",
                 TA_STR(LdEntry->ldIdString), TA_STR(current->PathIdString));
    } else {
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmTraceCurrentPath: %s uses %s", TA_STR(LdEntry->ldIdString),
                 TA_STR(current->PathIdString));
    }
}

/*++

Routine Description:

    Makes the first usable path after the current one current, visiting
    every path once and the current path last: the first ready path;
    else the first healthy one still waiting for its registration, else
    the first failing, else the first failed one; else none.  Caller
    holds DsmLock.

--*/
VOID SelectNextPath(PLD_ENTRY LdEntry)
{
    DSM_ASSERT_LOCK_HELD(LdEntry->DsmContext);
    PPDO_ENTRY start = NextPathAfterCurrent(LdEntry);
    DSM_FALLBACK_PATHS fallbacks = {NULL, NULL, NULL, NULL};

    LdEntry->currentPath = NULL;
    if (start == NULL) {
        return;
    }

    PPDO_ENTRY path = start;
    do {
        if (DsmIsPathReady(path)) {
            LdEntry->currentPath = path;
            return;
        }
        DsmNoteFallback(&fallbacks, path, TRUE);
        path = DsmPathAfter(LdEntry, path);
    } while (path != start);

    LdEntry->currentPath = DsmChooseFallback(LdEntry, &fallbacks);
}

/*++

Routine Description:

    Re-chooses a drive's current path under its policy.  The static
    policies keep a ready current path and otherwise take the ready path
    farthest from it (see PathDistance; the earliest among equals); with
    none, a healthy current path still waiting for its registration is
    kept, else they fall back to the last such healthy path, then the
    last failing, then the last failed path.  Round robin moves to the
    next usable path.  Caller holds DsmLock.

--*/
VOID SelectCurrentPath(PLD_ENTRY LdEntry)
{
    DSM_ASSERT_LOCK_HELD(LdEntry->DsmContext);
    ULONG policy = LdEntry->LogicalDriveLbPolicy;

    if ((policy & TARN_LB_POLICY_STATIC_MASK) != 0) {
        PPDO_ENTRY current = LdEntry->currentPath;
        if (current == NULL) {
            SelectNextPath(LdEntry);
        } else if (!DsmIsPathReady(current)) {
            PPDO_ENTRY best = NULL;
            LONG bestDistance = -1;
            DSM_FALLBACK_PATHS fallbacks = {NULL, NULL, NULL, NULL};

            for (PLIST_ENTRY link = LdEntry->PathList.Flink; link != &LdEntry->PathList; link = link->Flink) {
                ASSERT(link != NULL);
                PPDO_ENTRY path = CONTAINING_RECORD(link, PDO_ENTRY, LdLink);
                if (DsmIsPathReady(path)) {
                    LONG distance = (LONG)PathDistance(path, current);
                    if (distance > bestDistance) {
                        best = path;
                        bestDistance = distance;
                    }
                } else {
                    DsmNoteFallback(&fallbacks, path, FALSE);
                }
            }
            if (best != NULL) {
                LdEntry->currentPath = best;
            } else if (current->HealthState != PDO_HEALTH_HEALTHY) {
                LdEntry->currentPath = DsmChooseFallback(LdEntry, &fallbacks);
            }
        }
    } else {
        ASSERT(policy & TARN_LB_POLICY_DYNAMIC_MASK);
        if (policy == TARN_LB_POLICY_ROUND_ROBIN) {
            SelectNextPath(LdEntry);
        } else {
            DsmTrace(TRDSM_ERROR_LEVEL, "SelectCurrentPath: %s has no policy 0x%X", TA_STR(LdEntry->ldIdString),
                     TA_ULONG(policy));
            LdEntry->currentPath = NULL;
        }
    }
    DsmTraceCurrentPath(LdEntry);
}

/*++

Routine Description:

    The driver's own pseudo-random draw, 0 to 32767: a 32-bit xorshift
    generator whose top fifteen bits are returned, so the residues
    modulo 8 are evenly spread.  The C library's rand is documented
    for PASSIVE_LEVEL only, and the kernel's own generators need a level
    below DISPATCH_LEVEL; this runs under DsmLock.  Caller holds DsmLock.

--*/
ULONG DsmRandom(PDSM_CONTEXT DsmContext)
{
    DSM_ASSERT_LOCK_HELD(DsmContext);
    ULONG x = DsmContext->RandomState;
    ASSERT(x != 0);
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    DsmContext->RandomState = x;
    return x >> 17;
}

/*++

Routine Description:

    A seed for DsmRandom from the moment of the call: never 0, which
    would keep the generator at 0.  Any IRQL.

--*/
ULONG DsmRandomSeed(VOID)
{
    LARGE_INTEGER now;
    LARGE_INTEGER ticks;
    KeQuerySystemTime(&now);
    KeQueryTickCount(&ticks);
    ULONG seed = (ULONG)now.QuadPart ^ (ULONG)(now.QuadPart >> 32) ^ ((ULONG)ticks.QuadPart * 0x9E3779B9u);
    return seed != 0 ? seed : 0x2545F491u;
}

/*++

Routine Description:

    Whether a round-robin drive's timeslice has run out, so that the
    request at hand should move it to its next path.  When it has, a new
    slice starts, and one time in eight the path is kept for it.  Caller
    holds DsmLock.

--*/
BOOLEAN TimesliceSwitchDue(PDSM_CONTEXT DsmContext, PLD_ENTRY LdEntry)
{
    DSM_ASSERT_LOCK_HELD(DsmContext);
    LARGE_INTEGER now;

    if (LdEntry->LogicalDriveLbPolicy != TARN_LB_POLICY_ROUND_ROBIN) {
        DsmTrace(TRDSM_ERROR_LEVEL, "TimesliceSwitchDue: %s policy 0x%X is not round robin",
                 TA_STR(LdEntry->ldIdString), TA_ULONG(LdEntry->LogicalDriveLbPolicy));
        return FALSE;
    }

    KeQuerySystemTime(&now);
    LONGLONG elapsedMs = (now.QuadPart - LdEntry->TimesliceStart.QuadPart) / TIME_UNITS_PER_MS;
    if (elapsedMs < (LONGLONG)DsmContext->RoundRobinTimeSlice) {
        return FALSE;
    }

    BOOLEAN due = (BOOLEAN)((DsmRandom(DsmContext) % TARN_SWITCH_KEEP_ONE_IN) != 0);
    KeQuerySystemTime(&LdEntry->TimesliceStart);
    return due;
}

//
// Path health.  Every change of a path's HealthState goes through
// SetPathHealth, which accepts only the transitions of its table; a
// change that alters which paths can carry requests re-chooses the
// drive's current path, and that re-choice is what fails a drive over.
//

typedef struct _DSM_HEALTH_TRANSITION {
    UCHAR From;
    UCHAR To;
    BOOLEAN Reselect;           // re-choose the drive's current path
    BOOLEAN QueueReservation;   // carry this node's registration onto the path
} DSM_HEALTH_TRANSITION;

static const DSM_HEALTH_TRANSITION DsmHealthTransitions[] = {
    {PDO_HEALTH_INIT_START, PDO_HEALTH_INIT_SETDEVICEINFO, FALSE, FALSE},
    {PDO_HEALTH_INIT_START, PDO_HEALTH_PENDING_REMOVE, FALSE, FALSE},
    {PDO_HEALTH_INIT_SETDEVICEINFO, PDO_HEALTH_INIT_PATHVERIFY_FAIL, FALSE, FALSE},
    {PDO_HEALTH_INIT_SETDEVICEINFO, PDO_HEALTH_INIT_PATHVERIFY_SUCCESS, FALSE, FALSE},
    {PDO_HEALTH_INIT_SETDEVICEINFO, PDO_HEALTH_PENDING_REMOVE, FALSE, FALSE},
    {PDO_HEALTH_INIT_PATHVERIFY_FAIL, PDO_HEALTH_FAILING, FALSE, FALSE},
    {PDO_HEALTH_INIT_PATHVERIFY_FAIL, PDO_HEALTH_REMOVED, FALSE, FALSE},
    {PDO_HEALTH_INIT_PATHVERIFY_FAIL, PDO_HEALTH_PENDING_REMOVE, FALSE, FALSE},
    {PDO_HEALTH_INIT_PATHVERIFY_SUCCESS, PDO_HEALTH_HEALTHY, TRUE, TRUE},
    {PDO_HEALTH_INIT_PATHVERIFY_SUCCESS, PDO_HEALTH_PENDING_REMOVE, FALSE, FALSE},
    {PDO_HEALTH_HEALTHY, PDO_HEALTH_FAILING, TRUE, FALSE},
    {PDO_HEALTH_HEALTHY, PDO_HEALTH_PENDING_REMOVE, TRUE, FALSE},
    {PDO_HEALTH_FAILING, PDO_HEALTH_FAILING, TRUE, FALSE},
    {PDO_HEALTH_FAILING, PDO_HEALTH_FAILED, TRUE, FALSE},
    {PDO_HEALTH_FAILING, PDO_HEALTH_HEALTHY, TRUE, TRUE},
    {PDO_HEALTH_FAILING, PDO_HEALTH_PENDING_REMOVE, TRUE, FALSE},
    {PDO_HEALTH_FAILED, PDO_HEALTH_HEALTHY, TRUE, TRUE},
    // A failed path is current when the drive has nothing better; at its
    // removal notice the drive must stop naming it.
    {PDO_HEALTH_FAILED, PDO_HEALTH_PENDING_REMOVE, TRUE, FALSE},
    {PDO_HEALTH_PENDING_REMOVE, PDO_HEALTH_REMOVED, TRUE, FALSE},
};

/*++

Routine Description:

    Requests a health change of a path.  A pair that is not in the table
    is refused and changes nothing (traced at error level); callers go on
    either way.  An accepted change may re-choose the drive's current
    path and, for a path that became healthy on a drive that has seen
    the cluster's reservation requests, queue the work that carries this
    node's registration onto it.  Caller holds DsmLock.

Arguments:

    From - the path's state now; To - the state requested.

--*/
VOID SetPathHealth(PPDO_ENTRY PdoEntry, ULONG From, ULONG To)
{
    PDSM_CONTEXT dsmContext = PdoEntry->DsmContext;
    DSM_ASSERT_LOCK_HELD(dsmContext);
    ASSERT(From == PdoEntry->HealthState);

    DsmTrace(TRDSM_TRACE_LEVEL, "SetPathHealth: %s %s to %s", TA_STR(PdoEntry->PathIdString),
             TA_STR(DsmPathHealthName(From)), TA_STR(DsmPathHealthName(To)));

    const DSM_HEALTH_TRANSITION *transition = NULL;
    for (ULONG i = 0; i < RTL_NUMBER_OF(DsmHealthTransitions); i++) {
        if (DsmHealthTransitions[i].From == From && DsmHealthTransitions[i].To == To) {
            transition = &DsmHealthTransitions[i];
            break;
        }
    }
    if (transition == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "SetPathHealth: %s refused %s to %s", TA_STR(PdoEntry->PathIdString),
                 TA_STR(DsmPathHealthName(From)), TA_STR(DsmPathHealthName(To)));
        return;
    }

    PdoEntry->HealthState = To;
    if (From == PDO_HEALTH_FAILING && To == PDO_HEALTH_FAILING) {
        DsmTrace(TRDSM_TRACE_LEVEL, "SetPathHealth: %s failing again", TA_STR(PdoEntry->PathIdString));
    }

    PLD_ENTRY ldEntry = PdoEntry->LdEntry;
    // The registration is queued before the re-choice, which must not
    // take the path ahead of those that carry the key already.
    if (transition->QueueReservation && dsmContext->UsePersistentReservations && ldEntry != NULL &&
        ldEntry->ReservationsInUse && PdoEntry->TargetObject != NULL) {
        DsmTrace(TRDSM_TRACE_LEVEL, "SetPathHealth: %s registration carried onto %s", TA_STR(ldEntry->ldIdString),
                 TA_STR(PdoEntry->PathIdString));
        (void)DsmQueueRegistration(PdoEntry);
    }
    if (transition->Reselect && ldEntry != NULL) {
        SelectCurrentPath(ldEntry);
    }
}

// A failback switch waits until the preferred path's record is this old,
// so that a path just attached has time to settle.
#define TARN_FAILBACK_MIN_AGE_MS 1500

/*++

Routine Description:

    Returns each failback drive whose preferred path is ready, old enough
    and not current to that path, with an event.  A preferred path whose
    registration is still on its way is waited for: until it arrives the
    path may meet the drive's reservation as a stranger.  A drive without
    a current path is left alone.  Runs from the timer once a second.
    Caller holds DsmLock, at DISPATCH_LEVEL.

--*/
VOID FailbackPass(PDSM_CONTEXT DsmContext)
{
    DSM_ASSERT_LOCK_HELD(DsmContext);
    LARGE_INTEGER now;

    KeQueryTickCount(&now);
    ULONGLONG tickLength = KeQueryTimeIncrement();

    for (PLIST_ENTRY link = DsmContext->DriveList.Flink; link != &DsmContext->DriveList; link = link->Flink) {
        ASSERT(link != NULL);
        PLD_ENTRY ldEntry = CONTAINING_RECORD(link, LD_ENTRY, DriveLink);
        if (ldEntry->LogicalDriveLbPolicy != TARN_LB_POLICY_FAILBACK) {
            continue;
        }
        PPDO_ENTRY preferred = FindPreferredPdoEntry(ldEntry);
        if (preferred == NULL || ldEntry->currentPath == NULL || preferred == ldEntry->currentPath ||
            preferred->HealthState != PDO_HEALTH_HEALTHY) {
            continue;
        }
        if (!DsmIsPathReady(preferred)) {
            DsmTrace(TRDSM_TRACE_LEVEL, "FailbackPass: %s preferred path %s waits for its registration",
                     TA_STR(ldEntry->ldIdString), TA_STR(preferred->PathIdString));
            continue;
        }
        ULONGLONG ageMs = ((ULONGLONG)now.QuadPart - preferred->CreationTicks) * tickLength / TIME_UNITS_PER_MS;
        if (ageMs < TARN_FAILBACK_MIN_AGE_MS) {
            DsmTrace(TRDSM_TRACE_LEVEL, "FailbackPass: %s preferred path %s is %I64u ms old, too young",
                     TA_STR(ldEntry->ldIdString), TA_STR(preferred->PathIdString), TA_ULONGLONG(ageMs));
            continue;
        }
        DsmTrace(TRDSM_TRACE_LEVEL, "FailbackPass: %s back from %s to its preferred path %s",
                 TA_STR(ldEntry->ldIdString), TA_STR(ldEntry->currentPath->PathIdString),
                 TA_STR(preferred->PathIdString));
        DsmLogEvent(DsmIoObject, TARN_MSG_FAILBACK, ldEntry->SerialNumber, preferred->PathIdString, NULL, 0);
        ldEntry->currentPath = preferred;
    }
}

/*++

Routine Description:

    Queues a location query for every healthy path whose controller or
    controller port is not known yet and that has none queued: a work
    queue that is slow to run them (its threads busy with commands that
    wait on the storage) must not collect one per path each minute.  A
    path whose location stays unknown is asked again once its query has
    run.  Caller holds DsmLock.

--*/
VOID QueueLocationQueries(PDSM_CONTEXT DsmContext)
{
    DSM_ASSERT_LOCK_HELD(DsmContext);
    for (PLIST_ENTRY link = DsmContext->PathRecordList.Flink; link != &DsmContext->PathRecordList;
         link = link->Flink) {
        ASSERT(link != NULL);
        PPDO_ENTRY pdoEntry = CONTAINING_RECORD(link, PDO_ENTRY, DsmLink);
        if (pdoEntry->HealthState == PDO_HEALTH_HEALTHY && pdoEntry->TargetObject != NULL &&
            !pdoEntry->LocationQueryQueued &&
            (pdoEntry->ControllerPort == TARN_CONTROLLER_UNKNOWN ||
             pdoEntry->ControllerNumber == TARN_CONTROLLER_UNKNOWN)) {
            pdoEntry->LocationQueryQueued = DsmQueuePathWorkItem(pdoEntry, LocationQueryWorker);
        }
    }
}

/*++

Routine Description:

    Work item: asks the array where one path lands and stores the answer
    if the path is still there.  The path may be removed while the query
    is outstanding, so its device is referenced and the path is looked up
    again before anything is stored.  Frees its record.  PASSIVE_LEVEL.

--*/
VOID NTAPI LocationQueryWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    DSM_ASSERT_PASSIVE();
    PDSM_WORKITEM_RECORD record = (PDSM_WORKITEM_RECORD)Context;
    PDSM_CONTEXT dsmContext = record->DsmContext;
    PPDO_ENTRY pdoEntry = (PPDO_ENTRY)record->PdoEntry;
    CHAR ldIdString[TARN_LD_ID_STRING_SIZE];
    CHAR pathIdString[TARN_PATH_ID_STRING_SIZE];
    UCHAR controllerPort = TARN_CONTROLLER_UNKNOWN;
    UCHAR controllerNumber = TARN_CONTROLLER_UNKNOWN;
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    KIRQL oldIrql;

    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_OBJECT target = DsmReferenceQueuedPath(record, ldIdString, pathIdString);

    if (target != NULL) {
        status = QueryArrayLocation(target, ldIdString, &controllerPort, &controllerNumber);
        ObDereferenceObject(target);
    }

    DsmAcquireLock(dsmContext, &oldIrql);
    BOOLEAN current = IsPdoEntryCurrent(dsmContext, pdoEntry, record->PdoSerial);
    if (current) {
        pdoEntry->LocationQueryQueued = FALSE;
    }
    if (target == NULL || !current) {
        DsmTrace(TRDSM_ERROR_LEVEL, "LocationQueryWorker: path %p %s is gone", TA_PTR(pdoEntry),
                 TA_STR(pathIdString));
    } else if (NT_SUCCESS(status)) {
        pdoEntry->ControllerPort = controllerPort;
        pdoEntry->ControllerNumber = controllerNumber;
        DsmTrace(TRDSM_TRACE_LEVEL, "LocationQueryWorker: %s %s at controller %u port %u", TA_STR(ldIdString),
                 TA_STR(pathIdString), TA_UCHAR(controllerNumber), TA_UCHAR(controllerPort));
    } else {
        DsmTrace(TRDSM_WARNING_LEVEL, "LocationQueryWorker: %s %s location unknown, %s", TA_STR(ldIdString),
                 TA_STR(pathIdString), TA_STR(DsmStatusName(status)));
    }
    DsmFreePool(record);
    DsmReleaseLock(dsmContext, oldIrql);
}
