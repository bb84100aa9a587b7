/*++

Module Name:

    tarncluster.cpp

Abstract:

    Cluster reservations.  So far: recognising the reservation requests a
    cluster sends to a shared drive (RESERVE(6), RELEASE(6), bus reset and
    break-reservation), which the DSM carries out itself rather than send
    down a path, and a vendor WRITE BUFFER sent as a direct pass-through,
    which is only traced.

    The predicates take no lock, touch no DSM record and read nothing but
    the request, and of its system buffer only what its length covers.

Environment:

    Kernel mode, any IRQL up to DISPATCH_LEVEL.

--*/

#include "tarn.h"

TARN_TRACE_MODULE_GUID(0xE4A61D09, 0x3B7C, 0x4F52, 0x86, 0x2D, 0x91, 0x0E, 0x5B, 0xC7, 0x34, 0xF8);

#define SCSIOP_RESERVE_UNIT 0x16        // RESERVE(6)
#define SCSIOP_RELEASE_UNIT 0x17        // RELEASE(6)
#define SCSIOP_WRITE_DATA_BUFF 0x3B     // WRITE BUFFER
#define TARN_WRITE_BUFFER_MODE_VENDOR 1
#define TARN_WRITE_BUFFER_VENDOR_ID 0xC3

/*++

Routine Description:

    TRUE exactly for the requests a cluster reserves, releases or resets a
    shared drive with: RESERVE(6) and RELEASE(6) as SCSI requests, and the
    bus reset and break-reservation device controls.

--*/
BOOLEAN IsReservationRequest(PIRP Irp, PSCSI_REQUEST_BLOCK Srb)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    switch (stack->MajorFunction) {
    case IRP_MJ_SCSI:
        // A SCSI request always carries its SRB; one without is nothing of ours.
        return (BOOLEAN)(Srb != NULL &&
                         (Srb->Cdb[0] == SCSIOP_RESERVE_UNIT || Srb->Cdb[0] == SCSIOP_RELEASE_UNIT));
    case IRP_MJ_DEVICE_CONTROL:
        return (BOOLEAN)(stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_STORAGE_RESET_BUS ||
                         stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_STORAGE_BREAK_RESERVATION);
    default:
        return FALSE;
    }
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
