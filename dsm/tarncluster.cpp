/*++

Module Name:

    tarncluster.cpp

Abstract:

    Cluster reservations.  The cluster's SCSI-2 requests to a shared drive
    (RESERVE(6), RELEASE(6), bus reset and break-reservation) are
    recognised and carried out by the DSM itself with SCSI-3 persistent
    reservations on every healthy path: the per-path PERSISTENT RESERVE
    OUT and IN commands with their unit-attention retries, the walks over
    a drive's path snapshot, the completion of the cluster's request, and
    the work item that registers a returning path.  A vendor WRITE BUFFER
    sent as a direct pass-through is recognised and only traced.

    The predicates take no lock, touch no DSM record and read nothing but
    the request, and of its system buffer only what its length covers;
    they run at any IRQL up to DISPATCH_LEVEL.  Everything that sends a
    command runs at PASSIVE_LEVEL without DsmLock, working from snapshots
    copied under it.

Environment:

    Kernel mode.

--*/

#include "tarn.h"

TARN_TRACE_MODULE_GUID(0xE4A61D09, 0x3B7C, 0x4F52, 0x86, 0x2D, 0x91, 0x0E, 0x5B, 0xC7, 0x34, 0xF8);

#define TARN_WRITE_BUFFER_MODE_VENDOR 1
#define TARN_WRITE_BUFFER_VENDOR_ID 0xC3

typedef enum _CLUSTER_REQUEST_KIND {
    ClusterRequestNone,
    ClusterRequestReserve,
    ClusterRequestRelease,
    ClusterRequestReset,
} CLUSTER_REQUEST_KIND;

// Which of the cluster's requests this is, if any.
static CLUSTER_REQUEST_KIND DsmClusterRequestKind(PIRP Irp, PSCSI_REQUEST_BLOCK Srb)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    switch (stack->MajorFunction) {
    case IRP_MJ_SCSI:
        // A SCSI request always carries its SRB; one without is nothing of ours.
        if (Srb == NULL) {
            return ClusterRequestNone;
        }
        if (Srb->Cdb[0] == SCSIOP_RESERVE_UNIT) {
            return ClusterRequestReserve;
        }
        return Srb->Cdb[0] == SCSIOP_RELEASE_UNIT ? ClusterRequestRelease : ClusterRequestNone;
    case IRP_MJ_DEVICE_CONTROL:
        return (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_STORAGE_RESET_BUS ||
                stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_STORAGE_BREAK_RESERVATION)
                   ? ClusterRequestReset
                   : ClusterRequestNone;
    default:
        return ClusterRequestNone;
    }
}

/*++

Routine Description:

    TRUE exactly for the requests a cluster reserves, releases or resets a
    shared drive with: RESERVE(6) and RELEASE(6) as SCSI requests, and the
    bus reset and break-reservation device controls.

--*/
BOOLEAN IsReservationRequest(PIRP Irp, PSCSI_REQUEST_BLOCK Srb)
{
    return (BOOLEAN)(DsmClusterRequestKind(Irp, Srb) != ClusterRequestNone);
}

/*++

Routine Description:

    Recognises a vendor WRITE BUFFER (mode 1, buffer 0xC3) sent as a
    direct pass-through, and gives its CDB byte 3.  The CDB is read only
    when the input buffer holds the whole pass-through structure.

Arguments:

    Value - receives CDB byte 3 when the answer is TRUE; untouched
        otherwise.

--*/
BOOLEAN IsVendorWriteBuffer(PIRP Irp, PSCSI_REQUEST_BLOCK Srb, PULONG Value)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    UNREFERENCED_PARAMETER(Srb);

    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL ||
        stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_SCSI_PASS_THROUGH_DIRECT ||
        stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(SCSI_PASS_THROUGH_DIRECT) ||
        Irp->AssociatedIrp.SystemBuffer == NULL) {
        return FALSE;
    }

    const SCSI_PASS_THROUGH_DIRECT *passThrough = (const SCSI_PASS_THROUGH_DIRECT *)Irp->AssociatedIrp.SystemBuffer;
    if (passThrough->Cdb[0] != SCSIOP_WRITE_DATA_BUFF ||
        (passThrough->Cdb[1] & 0x0F) != TARN_WRITE_BUFFER_MODE_VENDOR ||
        passThrough->Cdb[2] != TARN_WRITE_BUFFER_VENDOR_ID) {
        return FALSE;
    }
    *Value = passThrough->Cdb[3];
    DsmTrace(TRDSM_TRACE_LEVEL, "IsVendorWriteBuffer: vendor WRITE BUFFER, value 0x%02X", TA_ULONG(*Value));
    return TRUE;
}

/*++

Routine Description:

    What DsmCategorizeRequest needs to know of a request, in one call on
    the request path: a reservation request (IsReservationRequest), a vendor WRITE
    BUFFER (IsVendorWriteBuffer, with Value set), or neither.

--*/
DSM_REQUEST_KIND DsmClassifyRequest(PIRP Irp, PSCSI_REQUEST_BLOCK Srb, PULONG Value)
{
    if (DsmClusterRequestKind(Irp, Srb) != ClusterRequestNone) {
        return DsmRequestReservation;
    }
    return IsVendorWriteBuffer(Irp, Srb, Value) ? DsmRequestVendorWriteBuffer : DsmRequestOrdinary;
}

//
// Persistent reservation commands.  Each per-drive operation snapshots the
// drive's healthy paths under the lock and walks them without it, either
// until one path succeeds or over every path; each per-path worker sends
// one command, retrying it on the unit attentions a reset or a parameter
// change leaves behind.  All run at PASSIVE_LEVEL.
//

#define TARN_PR_OUT_REGISTER_IGNORE 0x06
#define TARN_PR_OUT_RESERVE 0x01
#define TARN_PR_OUT_RELEASE 0x02
#define TARN_PR_OUT_CLEAR 0x03
#define TARN_PR_IN_READ_KEYS 0x00
#define TARN_PR_IN_READ_RESERVATION 0x01
#define TARN_PR_TYPE_EXCLUSIVE_REGISTRANTS 0x06   // Exclusive Access, Registrants Only

#define TARN_PR_PARAMETER_LENGTH 24
#define TARN_PR_READ_KEYS_LENGTH 256
#define TARN_PR_READ_RESERVATION_LENGTH 32
#define TARN_PR_IN_HEADER_LENGTH 8        // generation and additional length
#define TARN_PR_RESERVATION_DESCRIPTOR_LENGTH 16
#define TARN_PR_PROBE_LENGTH 512
#define TARN_PR_PROBE_LBA 12
#define TARN_PR_TIMEOUT 3                 // seconds
#define TARN_PR_ATTEMPTS 3                // the first try and two retries

#define DSM_PR_STATUS_IS_KNOWN(status)                                                                   \
    ((status == STATUS_SUCCESS) || (status == STATUS_DEVICE_NOT_CONNECTED) || (status == STATUS_IO_DEVICE_ERROR))
#define DSM_ASSERT_PR_STATUS(status) ASSERT(DSM_PR_STATUS_IS_KNOWN(status))

static ULONG ReadBigEndianUlong(const UCHAR *Bytes)
{
    return ((ULONG)Bytes[0] << 24) | ((ULONG)Bytes[1] << 16) | ((ULONG)Bytes[2] << 8) | (ULONG)Bytes[3];
}

// What one worker sends: the command, its data and how to read the answer.
typedef struct _PR_COMMAND {
    UCHAR Cdb[16];
    UCHAR CdbLength;
    UCHAR DataIn;               // SCSI_IOCTL_DATA_IN or SCSI_IOCTL_DATA_OUT
    ULONG DataLength;
    UCHAR Parameters[TARN_PR_PARAMETER_LENGTH];  // PERSISTENT RESERVE OUT only
} PR_COMMAND, *PPR_COMMAND;

static VOID DsmPrOutCommand(PPR_COMMAND Command, UCHAR ServiceAction, UCHAR Type, const UCHAR *ReservationKey,
                            const UCHAR *ServiceActionKey)
{
    RtlZeroMemory(Command, sizeof(PR_COMMAND));
    Command->Cdb[0] = SCSIOP_PERSISTENT_RESERVE_OUT;
    Command->Cdb[1] = ServiceAction;
    Command->Cdb[2] = Type;     // scope LU (0) in the high nibble
    Command->Cdb[8] = TARN_PR_PARAMETER_LENGTH;
    Command->CdbLength = 10;
    Command->DataIn = SCSI_IOCTL_DATA_OUT;
    Command->DataLength = TARN_PR_PARAMETER_LENGTH;
    if (ReservationKey != NULL) {
        RtlCopyMemory(&Command->Parameters[0], ReservationKey, TARN_PR_KEY_LENGTH);
    }
    if (ServiceActionKey != NULL) {
        RtlCopyMemory(&Command->Parameters[8], ServiceActionKey, TARN_PR_KEY_LENGTH);
    }
}

static VOID DsmPrInCommand(PPR_COMMAND Command, UCHAR ServiceAction, USHORT AllocationLength)
{
    RtlZeroMemory(Command, sizeof(PR_COMMAND));
    Command->Cdb[0] = SCSIOP_PERSISTENT_RESERVE_IN;
    Command->Cdb[1] = ServiceAction;
    Command->Cdb[7] = (UCHAR)(AllocationLength >> 8);
    Command->Cdb[8] = (UCHAR)AllocationLength;
    Command->CdbLength = 10;
    Command->DataIn = SCSI_IOCTL_DATA_IN;
    Command->DataLength = AllocationLength;
}

/*++

Routine Description:

    Sends one persistent reservation command down one path: up to three
    attempts, the later two only after a unit attention of a reset or a
    parameter change.  On success the answer's data is left in Request.

Arguments:

    Conflict - when not NULL, set TRUE if any attempt failed with
        RESERVATION CONFLICT.

Return Value:

    STATUS_SUCCESS, STATUS_DEVICE_NOT_CONNECTED (the path's device is
    gone), STATUS_IO_DEVICE_ERROR, or STATUS_INSUFFICIENT_RESOURCES when
    the request could not be built.

--*/
static NTSTATUS DsmPrSend(PDEVICE_OBJECT DeviceObject, PPASS_THROUGH_REQUEST Request, PPR_COMMAND Command,
                          PCSTR LdIdString, PCSTR PathIdString, PBOOLEAN Conflict)
{
    NTSTATUS result = STATUS_IO_DEVICE_ERROR;
    PASS_THROUGH_OUTCOME outcome;

    for (ULONG attempt = 0; attempt < TARN_PR_ATTEMPTS; attempt++) {
        DsmPreparePassThrough(Request, Command->Cdb, Command->CdbLength, Command->DataLength, Command->DataIn,
                              TARN_PR_TIMEOUT);
        if (Command->DataIn == SCSI_IOCTL_DATA_OUT) {
            RtlCopyMemory(Request->Data, Command->Parameters, Command->DataLength);
        }
        DsmSendPreparedPassThrough(DeviceObject, Request, Command->DataLength, &outcome);
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmPrSend: %s %s opcode 0x%02X/%u: %s, SCSI status 0x%02X, sense %x/%x/%x",
                 TA_STR(LdIdString), TA_STR(PathIdString), TA_UCHAR(Command->Cdb[0]), TA_UCHAR(Command->Cdb[1]),
                 TA_STR(DsmStatusName(outcome.Status)), TA_UCHAR(outcome.ScsiStatus), TA_UCHAR(outcome.SenseKey),
                 TA_UCHAR(outcome.Asc), TA_UCHAR(outcome.Ascq));

        if (outcome.ScsiStatus == 0 && outcome.Status == STATUS_SUCCESS) {
            return STATUS_SUCCESS;
        }
        // No memory to build the request: nothing reached the path, which
        // is no more at fault than when the request itself found none.
        if (outcome.Status == STATUS_INSUFFICIENT_RESOURCES) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (Conflict != NULL && outcome.ScsiStatus == SCSISTAT_RESERVATION_CONFLICT) {
            *Conflict = TRUE;
        }
        if (outcome.Status == STATUS_DEVICE_NOT_CONNECTED || outcome.Status == STATUS_DEVICE_DOES_NOT_EXIST ||
            outcome.Status == STATUS_NO_SUCH_DEVICE) {
            return STATUS_DEVICE_NOT_CONNECTED;
        }
        result = STATUS_IO_DEVICE_ERROR;
        if (!(outcome.SenseKey == SCSI_SENSE_UNIT_ATTENTION &&
              (outcome.Asc == SCSI_ADSENSE_BUS_RESET || outcome.Asc == SCSI_ADSENSE_PARAMETERS_CHANGED))) {
            break;
        }
    }
    return result;
}

// One worker: allocates the request, sends the command, frees the request.
static NTSTATUS DsmPrOnPath(PDEVICE_OBJECT DeviceObject, PPR_COMMAND Command, PCSTR LdIdString, PCSTR PathIdString,
                            PBOOLEAN Conflict, PPASS_THROUGH_REQUEST *Answer)
{
    DSM_ASSERT_PASSIVE();
    ASSERT(DeviceObject);
    ASSERT(LdIdString);
    ASSERT(PathIdString);

    PPASS_THROUGH_REQUEST request = DsmAllocatePassThrough(Command->DataLength);
    if (request == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmPrOnPath: %s %s no memory for the request", TA_STR(LdIdString),
                 TA_STR(PathIdString));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = DsmPrSend(DeviceObject, request, Command, LdIdString, PathIdString, Conflict);
    if (Answer != NULL && NT_SUCCESS(status)) {
        *Answer = request;      // the caller parses it and frees it
    } else {
        DsmFreePassThrough(request);
    }
    ASSERT(status == STATUS_INSUFFICIENT_RESOURCES || DSM_PR_STATUS_IS_KNOWN(status));
    return status;
}

// RESERVE and RELEASE of this node's type-6 reservation differ only in
// their service action.
static NTSTATUS DsmPrHoldOnPath(UCHAR ServiceAction, PDEVICE_OBJECT deviceObject, PUCHAR prKey, PCSTR ldIdString,
                                PCSTR pathIdString, PBOOLEAN reservationConflict)
{
    PR_COMMAND command;
    ASSERT(prKey);
    ASSERT(reservationConflict);
    *reservationConflict = FALSE;
    DsmPrOutCommand(&command, ServiceAction, TARN_PR_TYPE_EXCLUSIVE_REGISTRANTS, prKey, NULL);
    return DsmPrOnPath(deviceObject, &command, ldIdString, pathIdString, reservationConflict, NULL);
}

NTSTATUS PrReserveOnPath(PDEVICE_OBJECT deviceObject, PUCHAR prKey, PCSTR ldIdString, PCSTR pathIdString,
                         PBOOLEAN reservationConflict)
{
    return DsmPrHoldOnPath(TARN_PR_OUT_RESERVE, deviceObject, prKey, ldIdString, pathIdString, reservationConflict);
}

NTSTATUS PrReleaseOnPath(PDEVICE_OBJECT deviceObject, PUCHAR prKey, PCSTR ldIdString, PCSTR pathIdString,
                         PBOOLEAN reservationConflict)
{
    return DsmPrHoldOnPath(TARN_PR_OUT_RELEASE, deviceObject, prKey, ldIdString, pathIdString, reservationConflict);
}

NTSTATUS PrClearOnPath(PDEVICE_OBJECT deviceObject, PUCHAR prKey, PCSTR ldIdString, PCSTR pathIdString)
{
    PR_COMMAND command;
    ASSERT(prKey);
    DsmPrOutCommand(&command, TARN_PR_OUT_CLEAR, 0, prKey, NULL);
    return DsmPrOnPath(deviceObject, &command, ldIdString, pathIdString, NULL, NULL);
}

// Registers this node's key on one path, or with register FALSE removes
// the path's registration (an all-zero service action key).
NTSTATUS PrRegisterOnPath(PDEVICE_OBJECT deviceObject, PUCHAR prKey, BOOLEAN Register, PCSTR ldIdString,
                          PCSTR pathIdString)
{
    PR_COMMAND command;
    ASSERT(prKey);
    DsmPrOutCommand(&command, TARN_PR_OUT_REGISTER_IGNORE, 0, NULL, Register ? prKey : NULL);
    return DsmPrOnPath(deviceObject, &command, ldIdString, pathIdString, NULL, NULL);
}

// Reads the registered keys of the drive through one path; they are
// traced.  A reply too short to hold its own header is a failure.
NTSTATUS PrReadKeysOnPath(PDEVICE_OBJECT deviceObject, PCSTR ldIdString, PCSTR pathIdString)
{
    PR_COMMAND command;
    PPASS_THROUGH_REQUEST answer = NULL;
    DsmPrInCommand(&command, TARN_PR_IN_READ_KEYS, TARN_PR_READ_KEYS_LENGTH);
    NTSTATUS status = DsmPrOnPath(deviceObject, &command, ldIdString, pathIdString, NULL, &answer);
    if (answer != NULL) {
        ULONG transferred = DsmPassThroughTransferred(answer, TARN_PR_READ_KEYS_LENGTH);
        if (transferred < TARN_PR_IN_HEADER_LENGTH) {
            DsmTrace(TRDSM_ERROR_LEVEL, "PrReadKeysOnPath: %s %s reply of %u bytes is unreadable", TA_STR(ldIdString),
                     TA_STR(pathIdString), TA_ULONG(transferred));
            status = STATUS_IO_DEVICE_ERROR;
        } else {
            // Only the keys the reply holds; at most 31 fit behind the header.
            ULONG additionalLength = ReadBigEndianUlong(&answer->Data[4]);
            ULONG keys = (transferred - TARN_PR_IN_HEADER_LENGTH) / TARN_PR_KEY_LENGTH;
            DsmTrace(TRDSM_TRACE_LEVEL, "PrReadKeysOnPath: %s %s additional length %u", TA_STR(ldIdString),
                     TA_STR(pathIdString), TA_ULONG(additionalLength));
            for (ULONG i = 0; i < additionalLength / TARN_PR_KEY_LENGTH && i < keys; i++) {
                const UCHAR *key = &answer->Data[TARN_PR_IN_HEADER_LENGTH + TARN_PR_KEY_LENGTH * i];
                DsmTrace(TRDSM_TRACE_LEVEL, "PrReadKeysOnPath: key %u %02X%02X%02X%02X%02X%02X%02X%02X", TA_ULONG(i),
                         TA_UCHAR(key[0]), TA_UCHAR(key[1]), TA_UCHAR(key[2]), TA_UCHAR(key[3]), TA_UCHAR(key[4]),
                         TA_UCHAR(key[5]), TA_UCHAR(key[6]), TA_UCHAR(key[7]));
            }
        }
        DsmFreePassThrough(answer);
    }
    return status;
}

/*++

Routine Description:

    Reads the drive's reservation through one path: whether it is
    reserved, and whether by this node's key.  Only the bytes the device
    transferred are read: a reply too short for its header, or for the
    holder it announces, is a failure rather than a holder whose key is
    made of bytes the device never sent.

--*/
NTSTATUS PrReadReservationOnPath(PDEVICE_OBJECT deviceObject, PUCHAR prKey, PCSTR ldIdString, PCSTR pathIdString,
                                 PBOOLEAN isReserved, PBOOLEAN byThisNode)
{
    PR_COMMAND command;
    PPASS_THROUGH_REQUEST answer = NULL;

    ASSERT(prKey);
    ASSERT(isReserved);
    ASSERT(byThisNode);
    *isReserved = FALSE;
    *byThisNode = FALSE;

    DsmPrInCommand(&command, TARN_PR_IN_READ_RESERVATION, TARN_PR_READ_RESERVATION_LENGTH);
    NTSTATUS status = DsmPrOnPath(deviceObject, &command, ldIdString, pathIdString, NULL, &answer);
    if (answer != NULL) {
        ULONG transferred = DsmPassThroughTransferred(answer, TARN_PR_READ_RESERVATION_LENGTH);
        ULONG additionalLength =
            transferred >= TARN_PR_IN_HEADER_LENGTH ? ReadBigEndianUlong(&answer->Data[4]) : 0;
        if (transferred < TARN_PR_IN_HEADER_LENGTH ||
            (additionalLength == TARN_PR_RESERVATION_DESCRIPTOR_LENGTH &&
             transferred < TARN_PR_IN_HEADER_LENGTH + TARN_PR_RESERVATION_DESCRIPTOR_LENGTH)) {
            DsmTrace(TRDSM_ERROR_LEVEL, "PrReadReservationOnPath: %s %s reply of %u bytes is unreadable",
                     TA_STR(ldIdString), TA_STR(pathIdString), TA_ULONG(transferred));
            status = STATUS_IO_DEVICE_ERROR;
        } else if (additionalLength == 0) {
            DsmTrace(TRDSM_TRACE_LEVEL, "PrReadReservationOnPath: %s not reserved", TA_STR(ldIdString));
        } else if (additionalLength == TARN_PR_RESERVATION_DESCRIPTOR_LENGTH) {
            *isReserved = TRUE;
            *byThisNode = (BOOLEAN)(RtlCompareMemory(&answer->Data[8], prKey, TARN_PR_KEY_LENGTH) == TARN_PR_KEY_LENGTH);
            DsmTrace(TRDSM_TRACE_LEVEL,
                     "PrReadReservationOnPath: %s reserved, key %02X%02X%02X%02X%02X%02X%02X%02X type %u, by this node %u",
                     TA_STR(ldIdString), TA_UCHAR(answer->Data[8]), TA_UCHAR(answer->Data[9]),
                     TA_UCHAR(answer->Data[10]), TA_UCHAR(answer->Data[11]), TA_UCHAR(answer->Data[12]),
                     TA_UCHAR(answer->Data[13]), TA_UCHAR(answer->Data[14]), TA_UCHAR(answer->Data[15]),
                     TA_UCHAR(answer->Data[21] & 0x0F), TA_UCHAR(*byThisNode));
        } else {
            DsmTrace(TRDSM_ERROR_LEVEL, "PrReadReservationOnPath: %s additional length %u", TA_STR(ldIdString),
                     TA_ULONG(additionalLength));
        }
        DsmFreePassThrough(answer);
    }
    ASSERT((status == STATUS_SUCCESS) || (*isReserved == FALSE));
    ASSERT((*isReserved == TRUE) || (*byThisNode == FALSE));
    return status;
}

//
// Per-drive operations.
//
typedef enum _PR_OPERATION {
    PrOperationReserve,
    PrOperationRelease,
    PrOperationClear,
    PrOperationReadKeys,
    PrOperationReadReservation,
} PR_OPERATION;

/*++

Routine Description:

    Snapshots the drive's healthy paths and copies its label, under the
    lock, after checking the drive is still the one the request was for:
    its address alone is not enough, since a drive removed meanwhile may
    have left its address to another drive's record.

Arguments:

    Whole - when not NULL, set TRUE only if the snapshot holds every
        healthy path (none was left out for want of memory).

Return Value:

    STATUS_SUCCESS, or STATUS_DEVICE_NOT_CONNECTED for a drive that is gone.

--*/
static NTSTATUS DsmPrSnapshot(PDSM_CONTEXT context, PLD_ENTRY ldEntry, ULONGLONG ldSerial, PLIST_ENTRY snapshot,
                              CHAR ldIdString[TARN_LD_ID_STRING_SIZE], PBOOLEAN Whole)
{
    KIRQL oldIrql;
    NTSTATUS status = STATUS_SUCCESS;

    DSM_ASSERT_PASSIVE();
    ASSERT(context);
    ASSERT(ldEntry);
    RtlZeroMemory(ldIdString, TARN_LD_ID_STRING_SIZE);
    InitializeListHead(snapshot);
    DsmAcquireLock(context, &oldIrql);
    if (!IsLdEntryCurrent(context, ldEntry, ldSerial)) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmPrSnapshot: drive %p is no longer known", TA_PTR(ldEntry));
        status = STATUS_DEVICE_NOT_CONNECTED;
    } else {
        BOOLEAN whole = BuildDeviceObjectList(ldEntry, snapshot);
        RtlCopyMemory(ldIdString, ldEntry->ldIdString, ldEntry->LdIdStringLen);
        if (Whole != NULL) {
            *Whole = whole;
        }
    }
    DsmReleaseLock(context, oldIrql);
    return status;
}

/*++

Routine Description:

    Runs one operation down the paths of a snapshot, in order, until one
    succeeds.  A reservation conflict on RESERVE or RELEASE ends the walk.
    No lock held; the snapshot is the caller's.

Return Value:

    STATUS_SUCCESS, STATUS_IO_DEVICE_ERROR (a path failed or conflicted),
    or STATUS_DEVICE_NOT_CONNECTED (no path answered at all).

--*/
static NTSTATUS DsmPrWalkFirstSuccess(PDSM_CONTEXT context, PLIST_ENTRY snapshot, PCSTR ldIdString,
                                      PR_OPERATION operation, PBOOLEAN reservationConflict, PBOOLEAN isReserved,
                                      PBOOLEAN byThisNode)
{
    NTSTATUS result = STATUS_DEVICE_NOT_CONNECTED;
    for (PLIST_ENTRY link = snapshot->Flink; link != snapshot; link = link->Flink) {
        PDEVICE_OBJECT_ENTRY deviceObjectEntry = CONTAINING_RECORD(link, DEVICE_OBJECT_ENTRY, Link);
        ASSERT(deviceObjectEntry);
        BOOLEAN conflict = FALSE;
        BOOLEAN reserved = FALSE;
        BOOLEAN mine = FALSE;
        NTSTATUS status;

        switch (operation) {
        case PrOperationReserve:
            status = PrReserveOnPath(deviceObjectEntry->DeviceObject, context->PRKey, ldIdString,
                                     deviceObjectEntry->pathIdString, &conflict);
            break;
        case PrOperationRelease:
            status = PrReleaseOnPath(deviceObjectEntry->DeviceObject, context->PRKey, ldIdString,
                                     deviceObjectEntry->pathIdString, &conflict);
            break;
        case PrOperationClear:
            status = PrClearOnPath(deviceObjectEntry->DeviceObject, context->PRKey, ldIdString,
                                   deviceObjectEntry->pathIdString);
            break;
        case PrOperationReadKeys:
            status = PrReadKeysOnPath(deviceObjectEntry->DeviceObject, ldIdString, deviceObjectEntry->pathIdString);
            break;
        default:
            status = PrReadReservationOnPath(deviceObjectEntry->DeviceObject, context->PRKey, ldIdString,
                                             deviceObjectEntry->pathIdString, &reserved, &mine);
            break;
        }

        if (status == STATUS_SUCCESS) {
            result = STATUS_SUCCESS;
            if (isReserved != NULL) {
                *isReserved = reserved;
                *byThisNode = mine;
            }
            break;
        }
        if (conflict) {
            *reservationConflict = TRUE;
            result = STATUS_IO_DEVICE_ERROR;
            break;
        }
        if (status == STATUS_IO_DEVICE_ERROR) {
            result = STATUS_IO_DEVICE_ERROR;
        }
    }
    DSM_ASSERT_PR_STATUS(result);
    return result;
}

// Snapshots the drive's healthy paths, the current path first, and runs
// one operation down them until one succeeds.
static NTSTATUS DsmPrFirstSuccess(PDSM_CONTEXT context, PLD_ENTRY ldEntry, ULONGLONG ldSerial, PR_OPERATION operation,
                                  PBOOLEAN reservationConflict, PBOOLEAN isReserved, PBOOLEAN byThisNode)
{
    LIST_ENTRY snapshot;
    CHAR ldIdString[TARN_LD_ID_STRING_SIZE];

    NTSTATUS result = DsmPrSnapshot(context, ldEntry, ldSerial, &snapshot, ldIdString, NULL);
    if (result != STATUS_SUCCESS) {
        return result;
    }
    result = DsmPrWalkFirstSuccess(context, &snapshot, ldIdString, operation, reservationConflict, isReserved,
                                   byThisNode);
    FreeDeviceObjectList(&snapshot);
    return result;
}

NTSTATUS PrReserve(PDSM_CONTEXT context, PLD_ENTRY ldEntry, ULONGLONG ldSerial, PBOOLEAN reservationConflict)
{
    DSM_ASSERT_PASSIVE();
    ASSERT(reservationConflict);
    *reservationConflict = FALSE;
    return DsmPrFirstSuccess(context, ldEntry, ldSerial, PrOperationReserve, reservationConflict, NULL, NULL);
}

NTSTATUS PrRelease(PDSM_CONTEXT context, PLD_ENTRY ldEntry, ULONGLONG ldSerial, PBOOLEAN reservationConflict)
{
    DSM_ASSERT_PASSIVE();
    ASSERT(reservationConflict);
    *reservationConflict = FALSE;
    return DsmPrFirstSuccess(context, ldEntry, ldSerial, PrOperationRelease, reservationConflict, NULL, NULL);
}

NTSTATUS PrClear(PDSM_CONTEXT context, PLD_ENTRY ldEntry, ULONGLONG ldSerial)
{
    DSM_ASSERT_PASSIVE();
    return DsmPrFirstSuccess(context, ldEntry, ldSerial, PrOperationClear, NULL, NULL, NULL);
}

NTSTATUS PrReadKeys(PDSM_CONTEXT context, PLD_ENTRY ldEntry, ULONGLONG ldSerial)
{
    DSM_ASSERT_PASSIVE();
    return DsmPrFirstSuccess(context, ldEntry, ldSerial, PrOperationReadKeys, NULL, NULL, NULL);
}

NTSTATUS PrReadReservation(PDSM_CONTEXT context, PLD_ENTRY ldEntry, ULONGLONG ldSerial, PBOOLEAN isReserved,
                           PBOOLEAN byThisNode)
{
    DSM_ASSERT_PASSIVE();
    ASSERT(isReserved);
    ASSERT(byThisNode);
    *isReserved = FALSE;
    *byThisNode = FALSE;
    NTSTATUS status =
        DsmPrFirstSuccess(context, ldEntry, ldSerial, PrOperationReadReservation, NULL, isReserved, byThisNode);
    ASSERT((status == STATUS_SUCCESS) || (*isReserved == FALSE));
    ASSERT((*isReserved == TRUE) || (*byThisNode == FALSE));
    return status;
}

/*++

Routine Description:

    Registers this node's key on every path of a snapshot (or with
    register FALSE removes the registrations), whatever earlier paths
    answered.  No lock held.

Arguments:

    Refused - when not NULL, each path that did not take the command is
        moved from the snapshot onto this list, so that the snapshot
        keeps only the paths that did.

    NoMemory - when not NULL, set TRUE if a path was left out for want
        of memory for its command.

Return Value:

    STATUS_DEVICE_NOT_CONNECTED if any path's device is gone, else
    STATUS_IO_DEVICE_ERROR if any path failed, else STATUS_SUCCESS.  A path
    without memory for its command counts for neither.

--*/
static NTSTATUS DsmPrRegisterWalk(PDSM_CONTEXT context, PLIST_ENTRY snapshot, PCSTR ldIdString, BOOLEAN Register,
                                  PLIST_ENTRY Refused, PBOOLEAN NoMemory)
{
    NTSTATUS result = STATUS_SUCCESS;
    PLIST_ENTRY next;

    for (PLIST_ENTRY link = snapshot->Flink; link != snapshot; link = next) {
        PDEVICE_OBJECT_ENTRY deviceObjectEntry = CONTAINING_RECORD(link, DEVICE_OBJECT_ENTRY, Link);
        ASSERT(deviceObjectEntry);
        next = link->Flink;
        NTSTATUS status = PrRegisterOnPath(deviceObjectEntry->DeviceObject, context->PRKey, Register, ldIdString,
                                           deviceObjectEntry->pathIdString);
        if (status == STATUS_DEVICE_NOT_CONNECTED) {
            result = STATUS_DEVICE_NOT_CONNECTED;
        } else if (status == STATUS_IO_DEVICE_ERROR && result == STATUS_SUCCESS) {
            result = STATUS_IO_DEVICE_ERROR;
        } else if (status == STATUS_INSUFFICIENT_RESOURCES && NoMemory != NULL) {
            *NoMemory = TRUE;
        }
        if (status != STATUS_SUCCESS && Refused != NULL) {
            DsmTrace(TRDSM_ERROR_LEVEL, "DsmPrRegisterWalk: %s %s did not take the registration: %s",
                     TA_STR(ldIdString), TA_STR(deviceObjectEntry->pathIdString), TA_STR(DsmStatusName(status)));
            RemoveEntryList(link);
            InsertTailList(Refused, link);
        }
    }
    DSM_ASSERT_PR_STATUS(result);
    return result;
}

/*++

Routine Description:

    Registers this node's key on every healthy path of the drive (or with
    register FALSE removes the registrations), whatever earlier paths
    answered.  A path whose device is gone outweighs one that failed.

--*/
NTSTATUS PrRegisterAllPaths(PDSM_CONTEXT context, PLD_ENTRY ldEntry, ULONGLONG ldSerial, BOOLEAN Register)
{
    DSM_ASSERT_PASSIVE();
    LIST_ENTRY snapshot;
    CHAR ldIdString[TARN_LD_ID_STRING_SIZE];

    NTSTATUS result = DsmPrSnapshot(context, ldEntry, ldSerial, &snapshot, ldIdString, NULL);
    if (result != STATUS_SUCCESS) {
        return result;
    }
    result = DsmPrRegisterWalk(context, &snapshot, ldIdString, Register, NULL, NULL);
    FreeDeviceObjectList(&snapshot);
    return result;
}

/*++

Routine Description:

    Takes a HEALTHY path that did not take this node's key, while the
    node holds its drive, out of use.  The unit answers every request
    down such a path with RESERVATION CONFLICT, which is not retried,
    and a RELEASE down it would read as nothing held.  The path is
    FAILING until it is found answering again; the way back to HEALTHY
    carries the registration onto it before it is used.  A drive left
    with no other path still falls back to it.  Caller holds DsmLock.

--*/
static VOID DsmTakeKeylessPathOutOfUse(PPDO_ENTRY PdoEntry, PCSTR ldIdString)
{
    DSM_ASSERT_LOCK_HELD(PdoEntry->DsmContext);
    PLD_ENTRY ldEntry = PdoEntry->LdEntry;
    if (ldEntry == NULL || PdoEntry->HealthState != PDO_HEALTH_HEALTHY) {
        return;
    }
    BOOLEAN wasCurrent = (BOOLEAN)(ldEntry->currentPath == PdoEntry);
    DsmTrace(TRDSM_WARNING_LEVEL, "DsmTakeKeylessPathOutOfUse: %s %s lacks this node's key", TA_STR(ldIdString),
             TA_STR(PdoEntry->PathIdString));
    SetPathHealth(PdoEntry, PDO_HEALTH_HEALTHY, PDO_HEALTH_FAILING);
    if (wasCurrent) {
        DsmLogFailover(ldEntry);
    }
}

/*++

Routine Description:

    Takes out of use each path of a RESERVE that succeeded through the
    others but did not take the key itself (its link dropped just then,
    say).  PASSIVE_LEVEL, no lock held.

--*/
static VOID DsmFailUnregisteredPaths(PDSM_CONTEXT context, PLD_ENTRY ldEntry, ULONGLONG ldSerial,
                                     PLIST_ENTRY Refused, PCSTR ldIdString)
{
    KIRQL oldIrql;

    DSM_ASSERT_PASSIVE();
    DsmAcquireLock(context, &oldIrql);
    if (IsLdEntryCurrent(context, ldEntry, ldSerial)) {
        for (PLIST_ENTRY link = Refused->Flink; link != Refused; link = link->Flink) {
            PDEVICE_OBJECT_ENTRY refused = CONTAINING_RECORD(link, DEVICE_OBJECT_ENTRY, Link);
            for (PLIST_ENTRY pathLink = ldEntry->PathList.Flink; pathLink != &ldEntry->PathList;
                 pathLink = pathLink->Flink) {
                PPDO_ENTRY pdoEntry = CONTAINING_RECORD(pathLink, PDO_ENTRY, LdLink);
                if (pdoEntry->TargetObject == refused->DeviceObject) {
                    DsmTakeKeylessPathOutOfUse(pdoEntry, ldIdString);
                }
            }
        }
    }
    DsmReleaseLock(context, oldIrql);
}

/*++

Routine Description:

    Makes this node a registrant on every healthy path of the drive and
    then carries out RESERVE or CLEAR down the first of those paths that
    answers, but only down a path that took the registration: under a
    registrants-only reservation the unit answers an unregistered path
    with RESERVATION CONFLICT, which would read as another host's hold.

    A RESERVE conflict counts as one only when the unit then shows
    another host's reservation; when it shows this node's own (an earlier
    attempt got through), the RESERVE succeeded.

    Whenever the operation fails, for whatever reason, the registrations
    are taken back from every path of the snapshot.  A node left
    registered could write to the drive once another host holds it,
    since every registrant may.  PASSIVE_LEVEL, no lock held.

Arguments:

    operation - PrOperationReserve or PrOperationClear.

    reservationConflict - set TRUE when the RESERVE lost to another host.

Return Value:

    STATUS_SUCCESS, STATUS_IO_DEVICE_ERROR or STATUS_DEVICE_NOT_CONNECTED.

--*/
static NTSTATUS DsmPrRegisterAndRun(PDSM_CONTEXT context, PLD_ENTRY ldEntry, ULONGLONG ldSerial,
                                    PR_OPERATION operation, PBOOLEAN reservationConflict)
{
    LIST_ENTRY registered;
    LIST_ENTRY refused;
    CHAR ldIdString[TARN_LD_ID_STRING_SIZE];
    BOOLEAN conflict = FALSE;

    ASSERT(operation == PrOperationReserve || operation == PrOperationClear);
    ASSERT(reservationConflict);
    *reservationConflict = FALSE;

    BOOLEAN whole = FALSE;
    NTSTATUS result = DsmPrSnapshot(context, ldEntry, ldSerial, &registered, ldIdString, &whole);
    if (result != STATUS_SUCCESS) {
        return result;
    }
    InitializeListHead(&refused);
    BOOLEAN noMemory = !whole;
    (void)DsmPrRegisterWalk(context, &registered, ldIdString, TRUE, &refused, &noMemory);
    if (noMemory && operation == PrOperationReserve) {
        // A healthy path left unregistered only for want of memory would
        // meet the reservation with a conflict on every request MPIO sends
        // down it, and a RELEASE taking it would look like another host's
        // hold: the RESERVE fails instead, and the cluster asks again.
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmPrRegisterAndRun: %s a path could not be registered for want of memory",
                 TA_STR(ldIdString));
        result = STATUS_IO_DEVICE_ERROR;
    } else {
        result = DsmPrWalkFirstSuccess(context, &registered, ldIdString, operation, &conflict, NULL, NULL);
    }

    if (conflict) {
        BOOLEAN isReserved = FALSE;
        BOOLEAN byThisNode = FALSE;
        (void)PrReadReservation(context, ldEntry, ldSerial, &isReserved, &byThisNode);
        if (byThisNode) {
            result = STATUS_SUCCESS;
        } else {
            *reservationConflict = isReserved;
        }
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmPrRegisterAndRun: %s RESERVE conflicted; reserved %u, by this node %u",
                 TA_STR(ldIdString), TA_UCHAR(isReserved), TA_UCHAR(byThisNode));
    }
    if (result == STATUS_SUCCESS && operation == PrOperationReserve && !IsListEmpty(&refused)) {
        DsmFailUnregisteredPaths(context, ldEntry, ldSerial, &refused, ldIdString);
    }
    if (result != STATUS_SUCCESS) {
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmPrRegisterAndRun: %s failed (%s), registrations taken back",
                 TA_STR(ldIdString), TA_STR(DsmStatusName(result)));
        (void)DsmPrRegisterWalk(context, &registered, ldIdString, FALSE, NULL, NULL);
        (void)DsmPrRegisterWalk(context, &refused, ldIdString, FALSE, NULL, NULL);
    }
    FreeDeviceObjectList(&registered);
    FreeDeviceObjectList(&refused);
    DSM_ASSERT_PR_STATUS(result);
    return result;
}

/*++

Routine Description:

    A diagnostic read of one block through the drive's first path,
    whatever its health.  A drive without any path, or gone, sends
    nothing.  The path's device and labels are taken under the lock: the
    path may be removed while the read is outstanding.

--*/
NTSTATUS PrProbeRead(PDSM_CONTEXT context, PLD_ENTRY ldEntry, ULONGLONG ldSerial)
{
    PR_COMMAND command;
    CHAR ldIdString[TARN_LD_ID_STRING_SIZE];
    CHAR pathIdString[TARN_PATH_ID_STRING_SIZE];
    PDEVICE_OBJECT target = NULL;
    KIRQL oldIrql;

    DSM_ASSERT_PASSIVE();
    RtlZeroMemory(ldIdString, sizeof(ldIdString));
    RtlZeroMemory(pathIdString, sizeof(pathIdString));

    DsmAcquireLock(context, &oldIrql);
    if (IsLdEntryCurrent(context, ldEntry, ldSerial)) {
        RtlCopyMemory(ldIdString, ldEntry->ldIdString, ldEntry->LdIdStringLen);
        if (!IsListEmpty(&ldEntry->PathList)) {
            PPDO_ENTRY first = CONTAINING_RECORD(ldEntry->PathList.Flink, PDO_ENTRY, LdLink);
            RtlCopyMemory(pathIdString, first->PathIdString, first->PathIdStringLen);
            target = DsmReferenceTarget(first);
        }
    }
    DsmReleaseLock(context, oldIrql);

    if (target == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "PrProbeRead: drive %p %s has no bound path", TA_PTR(ldEntry), TA_STR(ldIdString));
        return STATUS_DEVICE_NOT_CONNECTED;
    }

    RtlZeroMemory(&command, sizeof(command));
    command.Cdb[0] = SCSIOP_READ16;
    command.Cdb[9] = TARN_PR_PROBE_LBA;
    command.Cdb[13] = 1;
    command.CdbLength = 16;
    command.DataIn = SCSI_IOCTL_DATA_IN;
    command.DataLength = TARN_PR_PROBE_LENGTH;
    NTSTATUS status = DsmPrOnPath(target, &command, ldIdString, pathIdString, NULL, NULL);
    ObDereferenceObject(target);
    return status == STATUS_INSUFFICIENT_RESOURCES ? STATUS_IO_DEVICE_ERROR : status;
}

//
// The cluster's requests, carried out with persistent reservations on
// every healthy path.  The reservation itself is never stored here: each
// decision reads it from the logical unit.
//

static PCSTR const DsmClusterRequestLabels[] = {
    "",
    "[RESERVE][       ][     ]",
    "[       ][RELEASE][     ]",
    "[       ][       ][RESET]",
};

/*++

Routine Description:

    Completes the request: the IRP's status (with no data transferred),
    the SRB's statuses when there is an SRB, then the caller's event.  A
    request that failed on a drive removed meanwhile fails as
    STATUS_DEVICE_NOT_CONNECTED, whatever step found it gone.
    PASSIVE_LEVEL, without DsmLock.

--*/
static NTSTATUS DsmCompleteClusterRequest(PDSM_CONTEXT Context, PLD_ENTRY LdEntry, ULONGLONG LdSerial, PIRP Irp,
                                          PSCSI_REQUEST_BLOCK Srb, PKEVENT Event, NTSTATUS Status, UCHAR ScsiStatus)
{
    if (!NT_SUCCESS(Status)) {
        KIRQL oldIrql;
        DsmAcquireLock(Context, &oldIrql);
        BOOLEAN gone = (BOOLEAN)!IsLdEntryCurrent(Context, LdEntry, LdSerial);
        DsmReleaseLock(Context, oldIrql);
        if (gone) {
            DsmTrace(TRDSM_ERROR_LEVEL, "DsmCompleteClusterRequest: drive %p is gone, %s", TA_PTR(LdEntry),
                     TA_STR(DsmStatusName(Status)));
            Status = STATUS_DEVICE_NOT_CONNECTED;
            ScsiStatus = SCSISTAT_GOOD;
        }
    }
    if (Srb != NULL) {
        Srb->SrbStatus = NT_SUCCESS(Status) ? SRB_STATUS_SUCCESS : SRB_STATUS_ERROR;
        Srb->ScsiStatus = ScsiStatus;
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
    return Status;
}

/*++

Routine Description:

    RESERVE(6): the drive becomes this node's unless another host holds
    it.  A free drive gets this node's registration on every healthy path
    and then the reservation; a RESERVE that fails, for a conflict or
    otherwise, takes the registrations back.  A refusal for another host's
    reservation is followed, when there is an SRB, by a diagnostic probe
    read, key read and probe read.

--*/
NTSTATUS ClusterReserve(PDSM_CONTEXT DsmContext, PLD_ENTRY ldEntry, ULONGLONG ldSerial, PIRP Irp,
                        PSCSI_REQUEST_BLOCK Srb, PKEVENT Event)
{
    DSM_ASSERT_PASSIVE();
    BOOLEAN isReserved = FALSE;
    BOOLEAN byThisNode = FALSE;
    BOOLEAN conflict = FALSE;
    BOOLEAN functionDone = FALSE;
    NTSTATUS status = STATUS_IO_DEVICE_ERROR;

    // Its own status does not matter: a reservation nobody could read counts as none.
    (void)PrReadReservation(DsmContext, ldEntry, ldSerial, &isReserved, &byThisNode);
    if (byThisNode) {
        status = STATUS_SUCCESS;
        functionDone = TRUE;
    } else if (isReserved) {
        conflict = TRUE;
        functionDone = TRUE;
    } else {
        status = DsmPrRegisterAndRun(DsmContext, ldEntry, ldSerial, PrOperationReserve, &conflict) == STATUS_SUCCESS
                     ? STATUS_SUCCESS
                     : STATUS_IO_DEVICE_ERROR;
        functionDone = TRUE;
    }
    ASSERT(functionDone);

    UCHAR scsiStatus = SCSISTAT_GOOD;
    if (!NT_SUCCESS(status)) {
        scsiStatus = conflict ? SCSISTAT_RESERVATION_CONFLICT : SCSISTAT_CHECK_CONDITION;
        if (conflict && Srb != NULL) {
            NTSTATUS probe = PrProbeRead(DsmContext, ldEntry, ldSerial);
            NTSTATUS keys = PrReadKeys(DsmContext, ldEntry, ldSerial);
            NTSTATUS again = PrProbeRead(DsmContext, ldEntry, ldSerial);
            DsmTrace(TRDSM_TRACE_LEVEL, "ClusterReserve: conflict diagnostics: probe %s, keys %s, probe %s",
                     TA_STR(DsmStatusName(probe)), TA_STR(DsmStatusName(keys)), TA_STR(DsmStatusName(again)));
        }
    }
    return DsmCompleteClusterRequest(DsmContext, ldEntry, ldSerial, Irp, Srb, Event, status, scsiStatus);
}

/*++

Routine Description:

    RELEASE(6): a successful release is followed by registering on every
    path and CLEAR, which leaves the drive without any registration or
    reservation.  A conflict means this node held nothing: success.

--*/
NTSTATUS ClusterRelease(PDSM_CONTEXT DsmContext, PLD_ENTRY ldEntry, ULONGLONG ldSerial, PIRP Irp,
                        PSCSI_REQUEST_BLOCK Srb, PKEVENT Event)
{
    DSM_ASSERT_PASSIVE();
    BOOLEAN conflict = FALSE;
    NTSTATUS status = PrRelease(DsmContext, ldEntry, ldSerial, &conflict);
    if (status == STATUS_SUCCESS) {
        (void)PrRegisterAllPaths(DsmContext, ldEntry, ldSerial, TRUE);
        (void)PrClear(DsmContext, ldEntry, ldSerial);
    } else if (conflict) {
        status = STATUS_SUCCESS;
    } else {
        status = STATUS_IO_DEVICE_ERROR;
    }
    return DsmCompleteClusterRequest(DsmContext, ldEntry, ldSerial, Irp, Srb, Event, status,
                                     NT_SUCCESS(status) ? SCSISTAT_GOOD : SCSISTAT_CHECK_CONDITION);
}

/*++

Routine Description:

    Bus reset or break-reservation: register on every path and CLEAR,
    which removes every host's registrations and reservation.  When the
    CLEAR fails this node's registrations are taken back, so a reset that
    did not happen leaves it no way past another host's reservation.

--*/
NTSTATUS ClusterReset(PDSM_CONTEXT DsmContext, PLD_ENTRY ldEntry, ULONGLONG ldSerial, PIRP Irp,
                      PSCSI_REQUEST_BLOCK Srb, PKEVENT Event)
{
    DSM_ASSERT_PASSIVE();
    // The drive is not looked at without the lock; DsmSrbDeviceControl
    // has traced its label.
    DsmTrace(TRDSM_TRACE_LEVEL, "ClusterReset: drive %p, %s SRB", TA_PTR(ldEntry),
             TA_STR(Srb != NULL ? "with" : "without"));
    BOOLEAN conflict = FALSE;
    NTSTATUS status = DsmPrRegisterAndRun(DsmContext, ldEntry, ldSerial, PrOperationClear, &conflict) == STATUS_SUCCESS
                          ? STATUS_SUCCESS
                          : STATUS_INVALID_DEVICE_REQUEST;
    return DsmCompleteClusterRequest(DsmContext, ldEntry, ldSerial, Irp, Srb, Event, status,
                                     NT_SUCCESS(status) ? SCSISTAT_GOOD : SCSISTAT_CHECK_CONDITION);
}

// With persistent reservations off, every cluster request is refused unsent.
NTSTATUS ClusterRequestRefused(PDSM_CONTEXT DsmContext, PLD_ENTRY ldEntry, ULONGLONG ldSerial, PIRP Irp,
                               PSCSI_REQUEST_BLOCK Srb, PKEVENT Event)
{
    DSM_ASSERT_PASSIVE();
    return DsmCompleteClusterRequest(DsmContext, ldEntry, ldSerial, Irp, Srb, Event, STATUS_INVALID_DEVICE_REQUEST,
                                     SCSISTAT_CHECK_CONDITION);
}

/*++

Routine Description:

    Queues again the registration work of each path of the drive that
    met a cluster request under way, now that none is: what it read of
    the reservation then may be out of date.  A path whose work cannot
    be queued is let go as it is.  Caller holds DsmLock.

--*/
static VOID DsmRequeueAwaitingRegistrations(PLD_ENTRY LdEntry)
{
    DSM_ASSERT_LOCK_HELD(LdEntry->DsmContext);
    for (PLIST_ENTRY link = LdEntry->PathList.Flink; link != &LdEntry->PathList; link = link->Flink) {
        ASSERT(link != NULL);
        PPDO_ENTRY pdoEntry = CONTAINING_RECORD(link, PDO_ENTRY, LdLink);
        if (!pdoEntry->RegistrationAwaitsRequest) {
            continue;
        }
        pdoEntry->RegistrationAwaitsRequest = FALSE;
        ASSERT(pdoEntry->RegistrationsQueued > 0);
        if (!DsmQueuePathWorkItem(pdoEntry, ReservationPathWorker)) {
            DsmTrace(TRDSM_ERROR_LEVEL, "DsmRequeueAwaitingRegistrations: %s registration could not be queued",
                     TA_STR(pdoEntry->PathIdString));
            pdoEntry->RegistrationsQueued--;
        }
    }
}

/*++

Routine Description:

    Carries out a cluster reservation request synchronously and completes
    it: the IRP's status, the SRB's statuses when there is one, and the
    caller's event, signalled exactly once before returning.  PASSIVE_LEVEL.

Return Value:

    The IRP's status.

--*/
NTSTATUS NTAPI DsmSrbDeviceControl(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp, PSCSI_REQUEST_BLOCK Srb,
                                   PKEVENT Event)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    PLD_ENTRY ldEntry = NULL;
    ULONGLONG ldSerial = 0;
    CLUSTER_REQUEST_KIND kind = ClusterRequestNone;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL oldIrql;

    DSM_ASSERT_PASSIVE();
    if (DsmCalledRaised("DsmSrbDeviceControl")) {
        // Refused unsent; the caller still waits for the event.
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_STATE;
        Irp->IoStatus.Information = 0;
        if (Srb != NULL) {
            Srb->SrbStatus = SRB_STATUS_ERROR;
        }
        KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
        return STATUS_INVALID_DEVICE_STATE;
    }

    DsmAcquireLock(dsmContext, &oldIrql);
    if (DsmIds == NULL || DsmIds->Count == 0 || !IsPdoEntryValid(dsmContext, (PPDO_ENTRY)DsmIds->IdList[0])) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmSrbDeviceControl: no known path identifier");
        status = STATUS_NO_SUCH_DEVICE;
    } else {
        ldEntry = ((PPDO_ENTRY)DsmIds->IdList[0])->LdEntry;
        ldSerial = ldEntry->RecordSerial;
        kind = DsmClusterRequestKind(Irp, Srb);
        if (kind == ClusterRequestNone) {
            DsmTrace(TRDSM_TRACE_LEVEL, "DsmSrbDeviceControl: %s not a reservation request",
                     TA_STR(ldEntry->ldIdString));
            status = STATUS_INVALID_DEVICE_REQUEST;
        } else {
            DsmTrace(TRDSM_TRACE_LEVEL, "DsmSrbDeviceControl: %s %s", TA_STR(ldEntry->ldIdString),
                     TA_STR(DsmClusterRequestLabels[kind]));
        }
    }
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        if (Srb != NULL) {
            Srb->SrbStatus = SRB_STATUS_ERROR;
        }
        KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
    } else {
        ldEntry->ReservationsInUse = TRUE;
        // Told to the registration work of returning paths: what it read
        // of the reservation while this runs may be out of date.
        ldEntry->ClusterRequestsActive++;
        ldEntry->ClusterRequestsBegun++;
    }
    BOOLEAN accepted = (BOOLEAN)NT_SUCCESS(status);
    DsmReleaseLock(dsmContext, oldIrql);

    if (kind != ClusterRequestNone && NT_SUCCESS(status)) {
        if (!dsmContext->UsePersistentReservations) {
            status = ClusterRequestRefused(dsmContext, ldEntry, ldSerial, Irp, Srb, Event);
        } else if (kind == ClusterRequestReserve) {
            status = ClusterReserve(dsmContext, ldEntry, ldSerial, Irp, Srb, Event);
        } else if (kind == ClusterRequestRelease) {
            status = ClusterRelease(dsmContext, ldEntry, ldSerial, Irp, Srb, Event);
        } else {
            status = ClusterReset(dsmContext, ldEntry, ldSerial, Irp, Srb, Event);
        }
    }

    DsmAcquireLock(dsmContext, &oldIrql);
    if (ldEntry != NULL && IsLdEntryCurrent(dsmContext, ldEntry, ldSerial)) {
        if (accepted) {
            ASSERT(ldEntry->ClusterRequestsActive > 0);
            if (--ldEntry->ClusterRequestsActive == 0) {
                DsmRequeueAwaitingRegistrations(ldEntry);
            }
        }
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmSrbDeviceControl: %s done, %s", TA_STR(ldEntry->ldIdString),
                 TA_STR(DsmStatusName(status)));
    } else {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmSrbDeviceControl: done, %s", TA_STR(DsmStatusName(status)));
    }
    DsmReleaseLock(dsmContext, oldIrql);
    return status;
}

/*++

Routine Description:

    Queues ReservationPathWorker for a path and counts it on the path
    until it has run, so that path choice holds the path back meanwhile.
    Work that cannot be queued is not counted: nothing would end the
    wait, and the path, held back for good, would carry no requests
    while any other path could.  Caller holds DsmLock.

Return Value:

    Whether the work was queued.

--*/
BOOLEAN DsmQueueRegistration(PPDO_ENTRY PdoEntry)
{
    DSM_ASSERT_LOCK_HELD(PdoEntry->DsmContext);
    if (!DsmQueuePathWorkItem(PdoEntry, ReservationPathWorker)) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmQueueRegistration: %s registration could not be queued",
                 TA_STR(PdoEntry->PathIdString));
        return FALSE;
    }
    PdoEntry->RegistrationsQueued++;
    return TRUE;
}

/*++

Routine Description:

    Work item for a path that became healthy on a drive that has seen
    reservation requests: when this node holds the drive, its key is
    registered through that path too.  Then the path, if it is still
    there, stops waiting for this work: path choice may take it, and a
    failback to it follows at the next pass.  Frees its record.
    PASSIVE_LEVEL.

    Nothing orders this work against the cluster's requests for the
    drive.  One that was being carried out meanwhile may have reserved
    the drive after the read here found it free, through a snapshot
    taken before the path was healthy: the path would carry requests
    without the key.  So when one overlapped, the path keeps waiting and
    the work runs again: at the end of the requests under way, or at
    once when they have ended already.

--*/
VOID NTAPI ReservationPathWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    DSM_ASSERT_PASSIVE();
    PDSM_WORKITEM_RECORD record = (PDSM_WORKITEM_RECORD)Context;
    PDSM_CONTEXT dsmContext = record->DsmContext;
    CHAR ldIdString[TARN_LD_ID_STRING_SIZE];
    CHAR pathIdString[TARN_PATH_ID_STRING_SIZE];

    UNREFERENCED_PARAMETER(DeviceObject);
    PPDO_ENTRY pdoEntry = (PPDO_ENTRY)record->PdoEntry;
    ULONG begun = 0;
    BOOLEAN overlapped = FALSE;
    KIRQL oldIrql;

    DsmAcquireLock(dsmContext, &oldIrql);
    if (IsPdoEntryCurrent(dsmContext, pdoEntry, record->PdoSerial) && pdoEntry->LdEntry != NULL) {
        begun = pdoEntry->LdEntry->ClusterRequestsBegun;
        overlapped = (BOOLEAN)(pdoEntry->LdEntry->ClusterRequestsActive != 0);
    }
    DsmReleaseLock(dsmContext, oldIrql);

    PDEVICE_OBJECT targetObject = DsmReferenceQueuedPath(record, ldIdString, pathIdString);

    BOOLEAN keyMissing = FALSE;
    if (targetObject != NULL) {
        BOOLEAN isReserved = FALSE;
        BOOLEAN byThisNode = FALSE;
        (void)PrReadReservationOnPath(targetObject, dsmContext->PRKey, ldIdString, pathIdString, &isReserved,
                                      &byThisNode);
        if (byThisNode) {
            keyMissing = (BOOLEAN)(PrRegisterOnPath(targetObject, dsmContext->PRKey, TRUE, ldIdString,
                                                    pathIdString) != STATUS_SUCCESS);
        }
        DsmTrace(TRDSM_TRACE_LEVEL, "ReservationPathWorker: %s %s, held by this node %u", TA_STR(ldIdString),
                 TA_STR(pathIdString), TA_UCHAR(byThisNode));
        ObDereferenceObject(targetObject);
    }

    DsmAcquireLock(dsmContext, &oldIrql);
    if (IsPdoEntryCurrent(dsmContext, pdoEntry, record->PdoSerial) && pdoEntry->LdEntry != NULL &&
        pdoEntry->RegistrationsQueued > 0) {
        PLD_ENTRY ldEntry = pdoEntry->LdEntry;
        if (ldEntry->ClusterRequestsActive != 0) {
            DsmTrace(TRDSM_TRACE_LEVEL, "ReservationPathWorker: %s %s again when the cluster's requests end",
                     TA_STR(ldIdString), TA_STR(pathIdString));
            pdoEntry->RegistrationAwaitsRequest = TRUE;
        } else if ((overlapped || ldEntry->ClusterRequestsBegun != begun) &&
                   DsmQueuePathWorkItem(pdoEntry, ReservationPathWorker)) {
            DsmTrace(TRDSM_TRACE_LEVEL, "ReservationPathWorker: %s %s a cluster request overlapped; again",
                     TA_STR(ldIdString), TA_STR(pathIdString));
        } else {
            pdoEntry->RegistrationsQueued--;
            if (keyMissing) {
                DsmTakeKeylessPathOutOfUse(pdoEntry, ldIdString);
            }
        }
    }
    DsmReleaseLock(dsmContext, oldIrql);
    DsmFreePool(record);
}
