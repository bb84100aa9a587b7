/*++

Module Name:

    dsm.h

Abstract:

    What the multipath framework (MPIO) offers a device-specific module:
    the entry point types it calls, the registration record the DSM hands
    it through the control device, the records exchanged with the entry
    points, and the four MPIO routines a DSM may call.

    The registration record is a wire format: on the 32-bit platform it is
    144 bytes, with the nineteen entry points in MPIO's slot order.

Environment:

    Kernel mode (host build: user mode emulation).

--*/

#pragma once

#include "ntddk.h"
#include "ntddscsi.h"
#include "ntddstor.h"
#include "srb.h"
#include "wmistr.h"

//
// Records exchanged with the entry points.
//

// A list of DSM identifiers: a count followed by that many identifiers.
typedef struct _DSM_IDS {
    ULONG Count;
    PVOID IdList[1];
} DSM_IDS, *PDSM_IDS;

typedef VOID(NTAPI *DSM_COMPLETION_ROUTINE)(PVOID DsmId, PIRP Irp, PSCSI_REQUEST_BLOCK Srb, PVOID DsmContext);

typedef struct _DSM_COMPLETION_INFO {
    DSM_COMPLETION_ROUTINE DsmCompletionRoutine;
    PVOID DsmContext;
} DSM_COMPLETION_INFO, *PDSM_COMPLETION_INFO;

// The controller record a DSM hands MPIO (48 bytes on the 32-bit platform).
typedef struct _CONTROLLER_INFO {
    PDEVICE_OBJECT DeviceObject;
    ULONG IdentifierType;
    ULONG IdentifierLength;
    UCHAR Identifier[32];
    ULONG State;
} CONTROLLER_INFO, *PCONTROLLER_INFO;

#define DSM_CNTRL_FLAGS_ALLOCATE 0x00000001
#define DSM_CNTRL_FLAGS_CHECK_STATE 0x00000002

//
// Entry points, in registration slot order.  MPIO passes the DSM's
// context as the first argument of each.
//
typedef NTSTATUS(NTAPI *DSM_INQUIRE_DRIVER)(PVOID DsmContext, PDEVICE_OBJECT TargetDevice,
                                            PDEVICE_OBJECT PortObject, PSTORAGE_DEVICE_DESCRIPTOR Descriptor,
                                            PSTORAGE_DEVICE_ID_DESCRIPTOR DeviceIdList, PVOID *DsmIdentifier);
typedef BOOLEAN(NTAPI *DSM_COMPARE_DEVICES)(PVOID DsmContext, PVOID DsmId1, PVOID DsmId2);
typedef PCHAR(NTAPI *DSM_GET_SERIAL_NUMBER)(PVOID DsmContext, PVOID DsmId);
typedef NTSTATUS(NTAPI *DSM_GET_CONTROLLER_INFO)(PVOID DsmContext, PVOID DsmId, ULONG Flags,
                                                 PCONTROLLER_INFO *ControllerInfo);
typedef NTSTATUS(NTAPI *DSM_SET_DEVICE_INFO)(PVOID DsmContext, PDEVICE_OBJECT TargetObject, PVOID DsmId,
                                             PVOID *PathId);
typedef BOOLEAN(NTAPI *DSM_IS_PATH_ACTIVE)(PVOID DsmContext, PVOID PathId, PVOID DsmId);
typedef NTSTATUS(NTAPI *DSM_PATH_VERIFY)(PVOID DsmContext, PVOID DsmId, PVOID PathId);
typedef NTSTATUS(NTAPI *DSM_INVALIDATE_PATH)(PVOID DsmContext, ULONG ErrorMask, PVOID PathId, PVOID *NewPathId);
typedef NTSTATUS(NTAPI *DSM_MOVE_DEVICE)(PVOID DsmContext, PDSM_IDS DsmIds, PVOID MPIOPath, PVOID SuggestedPath,
                                         ULONG Flags);
typedef NTSTATUS(NTAPI *DSM_REMOVE_PENDING)(PVOID DsmContext, PVOID DsmId);
typedef NTSTATUS(NTAPI *DSM_REMOVE_DEVICE)(PVOID DsmContext, PVOID DsmId, PVOID PathId);
typedef NTSTATUS(NTAPI *DSM_REMOVE_PATH)(PVOID DsmContext, PVOID PathId);
typedef NTSTATUS(NTAPI *DSM_SRB_DEVICE_CONTROL)(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp,
                                                PSCSI_REQUEST_BLOCK Srb, PKEVENT Event);
typedef PVOID(NTAPI *DSM_LB_GET_PATH)(PVOID DsmContext, PSCSI_REQUEST_BLOCK Srb, PDSM_IDS DsmList,
                                      PVOID CurrentPath, NTSTATUS *Status);
// The bit of DsmInterpretError's result, and of the error mask
// DsmInvalidatePath is given, that takes the path out of use.
#define DSM_FATAL_ERROR 0x80000000

typedef ULONG(NTAPI *DSM_INTERPRET_ERROR)(PVOID DsmContext, PVOID DsmId, PSCSI_REQUEST_BLOCK Srb,
                                          NTSTATUS *Status, PBOOLEAN Retry);
typedef NTSTATUS(NTAPI *DSM_UNLOAD)(PVOID DsmContext);
typedef VOID(NTAPI *DSM_SET_COMPLETION)(PVOID DsmContext, PVOID DsmId, PIRP Irp, PSCSI_REQUEST_BLOCK Srb,
                                        PDSM_COMPLETION_INFO DsmCompletion);
// What DsmCategorizeRequest answers: the DSM carries the request out
// itself (MPIO hands it to DsmSrbDeviceControl), a path was chosen, or no
// path can take it.
#define DSM_CATEGORY_CARRIED_OUT_BY_DSM 2
#define DSM_CATEGORY_PATH_CHOSEN 3
#define DSM_CATEGORY_NO_PATH 4

typedef ULONG(NTAPI *DSM_CATEGORIZE_REQUEST)(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp,
                                             PSCSI_REQUEST_BLOCK Srb, PVOID CurrentPath, PVOID *PathId,
                                             NTSTATUS *Status);
typedef NTSTATUS(NTAPI *DSM_BROADCAST_SRB)(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp, PSCSI_REQUEST_BLOCK Srb,
                                           PKEVENT Event);

//
// WMI block of the registration record: MPIO registers the DSM's data
// blocks and forwards WMI requests for its devices to these callbacks.
//
typedef struct _WMIGUIDREGINFO {
    LPCGUID Guid;
    ULONG InstanceCount;
    ULONG Flags;
} WMIGUIDREGINFO, *PWMIGUIDREGINFO;

typedef NTSTATUS(NTAPI *DSM_QUERY_DATA_BLOCK)(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp, ULONG GuidIndex,
                                              ULONG InstanceIndex, ULONG InstanceCount, PULONG InstanceLengthArray,
                                              ULONG BufferAvail, PUCHAR Buffer, PULONG DataLength);
typedef NTSTATUS(NTAPI *DSM_SET_DATA_BLOCK)(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp, ULONG GuidIndex,
                                            ULONG InstanceIndex, ULONG BufferSize, PUCHAR Buffer);
typedef NTSTATUS(NTAPI *DSM_EXECUTE_METHOD)(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp, ULONG GuidIndex,
                                            ULONG InstanceIndex, ULONG MethodId, ULONG InBufferSize,
                                            PULONG OutBufferSize, PUCHAR Buffer);
typedef NTSTATUS(NTAPI *DSM_FUNCTION_CONTROL)(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp, ULONG GuidIndex,
                                              ULONG Function, BOOLEAN Enable);

typedef struct _DSM_WMILIB_CONTEXT {
    ULONG GuidCount;
    PWMIGUIDREGINFO GuidList;
    UNICODE_STRING RegistryPath;
    UNICODE_STRING MofResourceName;
    DSM_QUERY_DATA_BLOCK QueryWmiDataBlock;
    DSM_SET_DATA_BLOCK SetWmiDataBlock;
    DSM_EXECUTE_METHOD ExecuteWmiMethod;
    DSM_FUNCTION_CONTROL WmiFunctionControl;
} DSM_WMILIB_CONTEXT, *PDSM_WMILIB_CONTEXT;

//
// The registration record.  Every byte not named is zero.
//
typedef struct _DSM_INIT_DATA {
    ULONG InitDataSize;
    DSM_INQUIRE_DRIVER DsmInquireDriver;
    DSM_COMPARE_DEVICES DsmCompareDevices;
    DSM_GET_SERIAL_NUMBER DsmGetSerialNumber;
    DSM_GET_CONTROLLER_INFO DsmGetControllerInfo;
    DSM_SET_DEVICE_INFO DsmSetDeviceInfo;
    DSM_IS_PATH_ACTIVE DsmIsPathActive;
    DSM_PATH_VERIFY DsmPathVerify;
    DSM_INVALIDATE_PATH DsmInvalidatePath;
    DSM_MOVE_DEVICE DsmMoveDevice;
    DSM_REMOVE_PENDING DsmRemovePending;
    DSM_REMOVE_DEVICE DsmRemoveDevice;
    DSM_REMOVE_PATH DsmRemovePath;
    DSM_SRB_DEVICE_CONTROL DsmSrbDeviceControl;
    DSM_LB_GET_PATH DsmLBGetPath;
    DSM_INTERPRET_ERROR DsmInterpretError;
    DSM_UNLOAD DsmUnload;
    DSM_SET_COMPLETION DsmSetCompletion;
    DSM_CATEGORIZE_REQUEST DsmCategorizeRequest;
    DSM_BROADCAST_SRB DsmBroadcastSrb;
    DSM_WMILIB_CONTEXT DsmWmiInfo;
    PVOID DsmContext;
    PDRIVER_OBJECT DriverObject;
    UNICODE_STRING DisplayName;
    ULONG Reserved;
    ULONG RecordRevision;       // set to 3; its meaning belongs to MPIO
} DSM_INIT_DATA, *PDSM_INIT_DATA;

#define DSM_INIT_DATA_ENTRY_POINTS 19

//
// MPIO's control device and its registration request.
//
#define IOCTL_MPIO_REGISTER_DSM CTL_CODE(0x736D, 0x01, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)

//
// MPIO routines a DSM may call.
//
typedef struct _MPIO_VERSION_INFO {
    ULONG MajorVersion;
    ULONG MinorVersion;
    ULONG ProductBuild;
    ULONG QfeNumber;
} MPIO_VERSION_INFO, *PMPIO_VERSION_INFO;

// Fills the four version words; Length must be at least 16.
EXTERN_C NTSTATUS NTAPI DsmGetVersion(PMPIO_VERSION_INFO VersionInfo, ULONG Length);

// The device object MPIO keeps for a port object; MpioContext is what
// the registration request returned.
EXTERN_C PDEVICE_OBJECT NTAPI DsmGetPDO(ULONG MpioContext, PDEVICE_OBJECT PortObject);

// Allocates a SCSI_ADDRESS for the device; the caller owns it and frees
// it with ExFreePool.
EXTERN_C NTSTATUS NTAPI DsmGetScsiAddress(PDEVICE_OBJECT DeviceObject, PSCSI_ADDRESS *ScsiAddress);

// Sends a device control request and returns when it is complete; the
// result is in IoStatus.  PASSIVE_LEVEL only.
EXTERN_C VOID NTAPI DsmSendDeviceIoControlSynchronous(ULONG IoControlCode, PDEVICE_OBJECT TargetDeviceObject,
                                                      PVOID InputBuffer, PVOID OutputBuffer, ULONG InputBufferLength,
                                                      ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                                      PIO_STATUS_BLOCK IoStatus);
