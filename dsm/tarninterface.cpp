/*++

Module Name:

    tarninterface.cpp

Abstract:

    The entry points MPIO calls through the registration record, and the
    periodic timer routine.

    Devices are not claimed yet: DsmInquireDriver declines every device,
    so MPIO never holds an identifier of this DSM, and the entry points
    that take one answer as for an unknown identifier.  Claiming, path
    life and request routing replace these answers as they are built.

Environment:

    Kernel mode.

--*/

#include "tarn.h"

TARN_TRACE_MODULE_GUID(0xA3D05F6E, 0x2B81, 0x4C97, 0x8E, 0x14, 0x6F, 0xB2, 0x09, 0xD7, 0x35, 0x5C);

// Categories DsmCategorizeRequest answers with.
#define DSM_CATEGORY_CARRIED_OUT_BY_DSM 2
#define DSM_CATEGORY_PATH_CHOSEN 3
#define DSM_CATEGORY_NO_PATH 4

NTSTATUS NTAPI DsmInquireDriver(PVOID DsmContext, PDEVICE_OBJECT TargetDevice, PDEVICE_OBJECT PortObject,
                                PSTORAGE_DEVICE_DESCRIPTOR Descriptor, PSTORAGE_DEVICE_ID_DESCRIPTOR DeviceIdList,
                                PVOID *DsmIdentifier)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(PortObject);
    UNREFERENCED_PARAMETER(Descriptor);
    UNREFERENCED_PARAMETER(DeviceIdList);
    UNREFERENCED_PARAMETER(DsmIdentifier);

    DsmTrace(TRDSM_TRACE_LEVEL, "DsmInquireDriver: device %p declined; claiming is not available",
             TA_PTR(TargetDevice));
    return STATUS_NOT_SUPPORTED;
}

BOOLEAN NTAPI DsmCompareDevices(PVOID DsmContext, PVOID DsmId1, PVOID DsmId2)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(DsmId1);
    UNREFERENCED_PARAMETER(DsmId2);
    return FALSE;
}

PCHAR NTAPI DsmGetSerialNumber(PVOID DsmContext, PVOID DsmId)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(DsmId);
    return NULL;
}

NTSTATUS NTAPI DsmGetControllerInfo(PVOID DsmContext, PVOID DsmId, ULONG Flags, PCONTROLLER_INFO *ControllerInfo)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(Flags);
    UNREFERENCED_PARAMETER(ControllerInfo);
    DsmTrace(TRDSM_ERROR_LEVEL, "DsmGetControllerInfo: unknown identifier %p", TA_PTR(DsmId));
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI DsmSetDeviceInfo(PVOID DsmContext, PDEVICE_OBJECT TargetObject, PVOID DsmId, PVOID *PathId)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(TargetObject);
    UNREFERENCED_PARAMETER(PathId);
    DsmTrace(TRDSM_ERROR_LEVEL, "DsmSetDeviceInfo: unknown identifier %p", TA_PTR(DsmId));
    return STATUS_UNSUCCESSFUL;
}

BOOLEAN NTAPI DsmIsPathActive(PVOID DsmContext, PVOID PathId, PVOID DsmId)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(PathId);
    UNREFERENCED_PARAMETER(DsmId);
    return FALSE;
}

NTSTATUS NTAPI DsmPathVerify(PVOID DsmContext, PVOID DsmId, PVOID PathId)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(PathId);
    DsmTrace(TRDSM_ERROR_LEVEL, "DsmPathVerify: unknown identifier %p", TA_PTR(DsmId));
    return STATUS_DEVICE_NOT_CONNECTED;
}

NTSTATUS NTAPI DsmInvalidatePath(PVOID DsmContext, ULONG ErrorMask, PVOID PathId, PVOID *NewPathId)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(ErrorMask);
    UNREFERENCED_PARAMETER(NewPathId);
    DsmTrace(TRDSM_ERROR_LEVEL, "DsmInvalidatePath: unknown path %p", TA_PTR(PathId));
    return STATUS_NO_SUCH_DEVICE;
}

NTSTATUS NTAPI DsmMoveDevice(PVOID DsmContext, PDSM_IDS DsmIds, PVOID MPIOPath, PVOID SuggestedPath, ULONG Flags)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(DsmIds);
    UNREFERENCED_PARAMETER(Flags);
    DsmTrace(TRDSM_ERROR_LEVEL, "DsmMoveDevice: unknown paths %p, %p", TA_PTR(MPIOPath), TA_PTR(SuggestedPath));
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI DsmRemovePending(PVOID DsmContext, PVOID DsmId)
{
    UNREFERENCED_PARAMETER(DsmContext);
    DsmTrace(TRDSM_ERROR_LEVEL, "DsmRemovePending: unknown identifier %p", TA_PTR(DsmId));
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI DsmRemoveDevice(PVOID DsmContext, PVOID DsmId, PVOID PathId)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(PathId);
    DsmTrace(TRDSM_ERROR_LEVEL, "DsmRemoveDevice: unknown identifier %p", TA_PTR(DsmId));
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI DsmRemovePath(PVOID DsmContext, PVOID PathId)
{
    UNREFERENCED_PARAMETER(DsmContext);
    DsmTrace(TRDSM_ERROR_LEVEL, "DsmRemovePath: unknown path %p", TA_PTR(PathId));
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI DsmSrbDeviceControl(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp, PSCSI_REQUEST_BLOCK Srb,
                                   PKEVENT Event)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(DsmIds);
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Srb);

    // The caller waits on the event whatever the outcome.
    DsmTrace(TRDSM_ERROR_LEVEL, "DsmSrbDeviceControl: no device of this DSM");
    KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PVOID NTAPI DsmLBGetPath(PVOID DsmContext, PSCSI_REQUEST_BLOCK Srb, PDSM_IDS DsmList, PVOID CurrentPath,
                         NTSTATUS *Status)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(Srb);
    UNREFERENCED_PARAMETER(DsmList);
    UNREFERENCED_PARAMETER(CurrentPath);
    *Status = STATUS_NO_SUCH_DEVICE;
    return NULL;
}

ULONG NTAPI DsmInterpretError(PVOID DsmContext, PVOID DsmId, PSCSI_REQUEST_BLOCK Srb, NTSTATUS *Status,
                              PBOOLEAN Retry)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(DsmId);
    UNREFERENCED_PARAMETER(Srb);
    UNREFERENCED_PARAMETER(Status);
    *Retry = FALSE;
    return 0;
}

VOID NTAPI DsmSetCompletion(PVOID DsmContext, PVOID DsmId, PIRP Irp, PSCSI_REQUEST_BLOCK Srb,
                            PDSM_COMPLETION_INFO DsmCompletion)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(DsmId);
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Srb);
    UNREFERENCED_PARAMETER(DsmCompletion);
}

ULONG NTAPI DsmCategorizeRequest(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp, PSCSI_REQUEST_BLOCK Srb,
                                 PVOID CurrentPath, PVOID *PathId, NTSTATUS *Status)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(DsmIds);
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Srb);
    UNREFERENCED_PARAMETER(CurrentPath);
    *PathId = NULL;
    *Status = STATUS_NO_SUCH_DEVICE;
    return DSM_CATEGORY_NO_PATH;
}

NTSTATUS NTAPI DsmBroadcastSrb(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp, PSCSI_REQUEST_BLOCK Srb, PKEVENT Event)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(DsmIds);
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Srb);
    UNREFERENCED_PARAMETER(Event);
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    The periodic routine, every 100 ms from one second after start, at
    DISPATCH_LEVEL.  It holds DsmLock for its whole run, counts its runs
    and once a minute (including the first run) traces the request
    statistics.  On nine runs out of ten it does nothing but count.

--*/
VOID NTAPI DsmTimerRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DeferredContext;
    KIRQL oldIrql;

    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);

    KeAcquireSpinLock(&dsmContext->DsmLock, &oldIrql);

    ULONGLONG tick = dsmContext->TickCount;
    if (tick % 600 == 0) {
        DsmTrace(TRDSM_TRACE_LEVEL,
                 "DsmTimerRoutine: context %p, GetPath %I64u, SetCompletion %I64u, Completion %I64u, "
                 "InterpretError %I64u, outstanding %I64d",
                 TA_PTR(dsmContext), TA_ULONGLONG(DsmRequestCounters.GetPathCalls),
                 TA_ULONGLONG(DsmRequestCounters.SetCompletionCalls),
                 TA_ULONGLONG(DsmRequestCounters.CompletionCalls),
                 TA_ULONGLONG(DsmRequestCounters.InterpretErrorCalls),
                 TA_ULONGLONG(DsmRequestCounters.OutstandingRequests));
    }
    dsmContext->TickCount = tick + 1;

    KeReleaseSpinLock(&dsmContext->DsmLock, oldIrql);
}
