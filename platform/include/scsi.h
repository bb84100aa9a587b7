/*++

Module Name:

    scsi.h

Abstract:

    SCSI operation codes, status codes, sense keys and additional sense
    codes, as far as the driver uses them.

Environment:

    Kernel mode (host build: user mode emulation).

--*/

#pragma once

//
// Operation codes.
//
#define SCSIOP_TEST_UNIT_READY        0x00
#define SCSIOP_INQUIRY                0x12
#define SCSIOP_READ_CAPACITY          0x25    // READ CAPACITY(10)
#define SCSIOP_RESERVE_UNIT           0x16    // RESERVE(6)
#define SCSIOP_RELEASE_UNIT           0x17    // RELEASE(6)
#define SCSIOP_WRITE_DATA_BUFF        0x3B    // WRITE BUFFER
#define SCSIOP_READ_DATA_BUFF         0x3C    // READ BUFFER
#define SCSIOP_PERSISTENT_RESERVE_IN  0x5E
#define SCSIOP_PERSISTENT_RESERVE_OUT 0x5F
#define SCSIOP_READ16                 0x88
#define SCSIOP_READ                   0x28    // READ(10)
#define SCSIOP_WRITE                  0x2A    // WRITE(10)
#define SCSIOP_RESERVE_UNIT10         0x56    // RESERVE(10)
#define SCSIOP_RELEASE_UNIT10         0x57    // RELEASE(10)

//
// Status codes.
//
#define SCSISTAT_GOOD                 0x00
#define SCSISTAT_CHECK_CONDITION      0x02
#define SCSISTAT_BUSY                 0x08
#define SCSISTAT_RESERVATION_CONFLICT 0x18
#define SCSISTAT_QUEUE_FULL           0x28    // TASK SET FULL

//
// Sense keys and additional sense codes.
//
#define SCSI_SENSE_ILLEGAL_REQUEST      0x05
#define SCSI_SENSE_UNIT_ATTENTION       0x06
#define SCSI_ADSENSE_INVALID_LUN        0x25  // LOGICAL UNIT NOT SUPPORTED
#define SCSI_ADSENSE_BUS_RESET          0x29  // POWER ON, RESET, OR BUS DEVICE RESET OCCURRED
#define SCSI_ADSENSE_PARAMETERS_CHANGED 0x2A  // PARAMETERS CHANGED
#define SCSI_ADSENSE_ILLEGAL_BLOCK      0x21  // LOGICAL BLOCK ADDRESS OUT OF RANGE
#define SCSI_ADSENSE_OPERATING_CONDITIONS_CHANGED 0x3F  // REPORTED LUNS DATA CHANGED and others
#define SCSI_SENSE_NOT_READY            0x02
#define SCSI_ADSENSE_LUN_NOT_READY      0x04  // LOGICAL UNIT NOT READY
#define SCSI_ADSENSE_INVALID_CDB        0x24  // INVALID FIELD IN CDB
