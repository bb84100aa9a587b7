/*++

Module Name:

    srb.h

Abstract:

    The SCSI request block and its status and function codes.

Environment:

    Kernel mode (host build: user mode emulation).

--*/

#pragma once

#include "ntddk.h"

typedef struct _SCSI_REQUEST_BLOCK {
    USHORT Length;
    UCHAR Function;
    UCHAR SrbStatus;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR QueueTag;
    UCHAR QueueAction;
    UCHAR CdbLength;
    UCHAR SenseInfoBufferLength;
    ULONG SrbFlags;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    PVOID DataBuffer;
    PVOID SenseInfoBuffer;
    struct _SCSI_REQUEST_BLOCK *NextSrb;
    PVOID OriginalRequest;
    PVOID SrbExtension;
    union {
        ULONG InternalStatus;
        ULONG QueueSortKey;
    };
    UCHAR Cdb[16];
} SCSI_REQUEST_BLOCK, *PSCSI_REQUEST_BLOCK;

#define SRB_FLAGS_DATA_IN                0x00000040
#define SRB_FLAGS_DATA_OUT               0x00000080

#define SRB_FUNCTION_EXECUTE_SCSI        0x00
#define SRB_FUNCTION_CLAIM_DEVICE        0x01
#define SRB_FUNCTION_IO_CONTROL          0x02
#define SRB_FUNCTION_RECEIVE_EVENT       0x03
#define SRB_FUNCTION_RELEASE_QUEUE       0x04
#define SRB_FUNCTION_ATTACH_DEVICE       0x05
#define SRB_FUNCTION_RELEASE_DEVICE      0x06
#define SRB_FUNCTION_SHUTDOWN            0x07
#define SRB_FUNCTION_FLUSH               0x08
#define SRB_FUNCTION_ABORT_COMMAND       0x10
#define SRB_FUNCTION_RELEASE_RECOVERY    0x11
#define SRB_FUNCTION_RESET_BUS           0x12
#define SRB_FUNCTION_RESET_DEVICE        0x13
#define SRB_FUNCTION_TERMINATE_IO        0x14
#define SRB_FUNCTION_FLUSH_QUEUE         0x15
#define SRB_FUNCTION_REMOVE_DEVICE       0x16
#define SRB_FUNCTION_WMI                 0x17
#define SRB_FUNCTION_LOCK_QUEUE          0x18
#define SRB_FUNCTION_UNLOCK_QUEUE        0x19
#define SRB_FUNCTION_RESET_LOGICAL_UNIT  0x20

#define SRB_STATUS_PENDING                  0x00
#define SRB_STATUS_SUCCESS                  0x01
#define SRB_STATUS_ABORTED                  0x02
#define SRB_STATUS_ABORT_FAILED             0x03
#define SRB_STATUS_ERROR                    0x04
#define SRB_STATUS_BUSY                     0x05
#define SRB_STATUS_INVALID_REQUEST          0x06
#define SRB_STATUS_INVALID_PATH_ID          0x07
#define SRB_STATUS_NO_DEVICE                0x08
#define SRB_STATUS_TIMEOUT                  0x09
#define SRB_STATUS_SELECTION_TIMEOUT        0x0A
#define SRB_STATUS_COMMAND_TIMEOUT          0x0B
#define SRB_STATUS_MESSAGE_REJECTED         0x0D
#define SRB_STATUS_BUS_RESET                0x0E
#define SRB_STATUS_PARITY_ERROR             0x0F
#define SRB_STATUS_REQUEST_SENSE_FAILED     0x10
#define SRB_STATUS_NO_HBA                   0x11
#define SRB_STATUS_DATA_OVERRUN             0x12
#define SRB_STATUS_UNEXPECTED_BUS_FREE      0x13
#define SRB_STATUS_PHASE_SEQUENCE_FAILURE   0x14
#define SRB_STATUS_BAD_SRB_BLOCK_LENGTH     0x15
#define SRB_STATUS_REQUEST_FLUSHED          0x16
#define SRB_STATUS_INVALID_LUN              0x20
#define SRB_STATUS_INVALID_TARGET_ID        0x21
#define SRB_STATUS_BAD_FUNCTION             0x22
#define SRB_STATUS_ERROR_RECOVERY           0x23
#define SRB_STATUS_NOT_POWERED              0x24
#define SRB_STATUS_QUEUE_FROZEN             0x40
#define SRB_STATUS_AUTOSENSE_VALID          0x80
#define SRB_STATUS(Status) ((Status) & ~(SRB_STATUS_AUTOSENSE_VALID | SRB_STATUS_QUEUE_FROZEN))
