/*++

Module Name:

    scsi.h

Abstract:

    SCSI operation codes, status codes, sense keys, additional sense codes
    and their qualifiers, as far as the driver, the emulated framework and
    the simulated array use them.  Plain numbers only, so that code outside
    the kernel surface may include it too.

Environment:

    Kernel mode (host build: user mode emulation).

--*/

#pragma once

//
// Operation codes.
//
#define SCSIOP_TEST_UNIT_READY        0x00
#define SCSIOP_REQUEST_SENSE          0x03
#define SCSIOP_INQUIRY                0x12
#define SCSIOP_MODE_SENSE             0x1A    // MODE SENSE(6)
#define SCSIOP_RESERVE_UNIT           0x16    // RESERVE(6)
#define SCSIOP_RELEASE_UNIT           0x17    // RELEASE(6)
#define SCSIOP_READ_CAPACITY          0x25    // READ CAPACITY(10)
#define SCSIOP_READ                   0x28    // READ(10)
#define SCSIOP_WRITE                  0x2A    // WRITE(10)
#define SCSIOP_WRITE_VERIFY           0x2E
#define SCSIOP_SYNCHRONIZE_CACHE      0x35
#define SCSIOP_WRITE_DATA_BUFF        0x3B    // WRITE BUFFER
#define SCSIOP_READ_DATA_BUFF         0x3C    // READ BUFFER
#define SCSIOP_PERSISTENT_RESERVE_IN  0x5E
#define SCSIOP_PERSISTENT_RESERVE_OUT 0x5F
#define SCSIOP_RESERVE_UNIT10         0x56    // RESERVE(10)
#define SCSIOP_RELEASE_UNIT10         0x57    // RELEASE(10)
#define SCSIOP_READ16                 0x88
#define SCSIOP_WRITE16                0x8A
#define SCSIOP_SERVICE_ACTION_IN16    0x9E
#define SCSIOP_REPORT_LUNS            0xA0

//
// Service actions.
//
#define SERVICE_ACTION_READ_CAPACITY16 0x10   // of SERVICE ACTION IN(16)

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
#define SCSI_SENSE_NO_SENSE             0x00
#define SCSI_SENSE_NOT_READY            0x02
#define SCSI_SENSE_ILLEGAL_REQUEST      0x05
#define SCSI_SENSE_UNIT_ATTENTION       0x06

#define SCSI_ADSENSE_NO_SENSE           0x00
#define SCSI_ADSENSE_LUN_NOT_READY      0x04  // LOGICAL UNIT NOT READY
#define SCSI_ADSENSE_PARAMETER_LIST_LENGTH 0x1A  // PARAMETER LIST LENGTH ERROR
#define SCSI_ADSENSE_ILLEGAL_COMMAND    0x20  // INVALID COMMAND OPERATION CODE
#define SCSI_ADSENSE_ILLEGAL_BLOCK      0x21  // LOGICAL BLOCK ADDRESS OUT OF RANGE
#define SCSI_ADSENSE_INVALID_CDB        0x24  // INVALID FIELD IN CDB
#define SCSI_ADSENSE_INVALID_LUN        0x25  // LOGICAL UNIT NOT SUPPORTED
#define SCSI_ADSENSE_INVALID_FIELD_PARAMETER_LIST 0x26  // INVALID FIELD IN PARAMETER LIST
#define SCSI_ADSENSE_BUS_RESET          0x29  // POWER ON, RESET, OR BUS DEVICE RESET OCCURRED
#define SCSI_ADSENSE_PARAMETERS_CHANGED 0x2A  // PARAMETERS CHANGED
#define SCSI_ADSENSE_OPERATING_CONDITIONS_CHANGED 0x3F  // REPORTED LUNS DATA CHANGED and others

//
// Additional sense code qualifiers.
//
#define SCSI_SENSEQ_POWER_ON_RESET           0x00  // with SCSI_ADSENSE_BUS_RESET
#define SCSI_SENSEQ_I_T_NEXUS_LOSS           0x07  // with SCSI_ADSENSE_BUS_RESET
#define SCSI_SENSEQ_INVALID_RELEASE_OF_PERSISTENT_RESERVATION 0x04  // with ..._INVALID_FIELD_PARAMETER_LIST
#define SCSI_SENSEQ_MODE_PARAMETERS_CHANGED  0x01  // with SCSI_ADSENSE_PARAMETERS_CHANGED
#define SCSI_SENSEQ_RESERVATIONS_PREEMPTED   0x03  // with SCSI_ADSENSE_PARAMETERS_CHANGED
#define SCSI_SENSEQ_RESERVATIONS_RELEASED    0x04  // with SCSI_ADSENSE_PARAMETERS_CHANGED
#define SCSI_SENSEQ_REGISTRATIONS_PREEMPTED  0x05  // with SCSI_ADSENSE_PARAMETERS_CHANGED
