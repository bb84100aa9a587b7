// What the array tests share: command blocks, the sense a reply carries,
// and the sense conditions they expect by name.
#pragma once

#include "simarray.h"

#include <array>
#include <cstdint>
#include <vector>

namespace arraytest {

using Bytes = std::vector<uint8_t>;
using SenseTriple = std::array<int, 3>;   // key, ASC, ASCQ

inline SenseTriple Sense(const array::Result &r) { return {r.Sense[2] & 0x0F, r.Sense[12], r.Sense[13]}; }

inline Bytes Cdb10(uint8_t op, uint64_t lba, uint32_t blocks)
{
    return {op, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0,
            uint8_t(blocks >> 8), uint8_t(blocks), 0};
}

const Bytes kTur = {SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0};
const Bytes kReportLuns = {SCSIOP_REPORT_LUNS, 0, 0, 0, 0, 0, 0, 0, 0, 64, 0, 0};

const SenseTriple kNoSense{SCSI_SENSE_NO_SENSE, SCSI_ADSENSE_NO_SENSE, 0},
    kInvalidField{SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_CDB, 0},
    kInvalidOpcode{SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_ILLEGAL_COMMAND, 0},
    kOutOfRange{SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_ILLEGAL_BLOCK, 0},
    kLunNotSupported{SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_LUN, 0},
    kInvalidParameter{SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_FIELD_PARAMETER_LIST, 0},
    kParameterLength{SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_PARAMETER_LIST_LENGTH, 0},
    kInvalidRelease{SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_FIELD_PARAMETER_LIST,
                    SCSI_SENSEQ_INVALID_RELEASE_OF_PERSISTENT_RESERVATION},
    kPowerOn{SCSI_SENSE_UNIT_ATTENTION, SCSI_ADSENSE_BUS_RESET, SCSI_SENSEQ_POWER_ON_RESET},
    kNexusLoss{SCSI_SENSE_UNIT_ATTENTION, SCSI_ADSENSE_BUS_RESET, SCSI_SENSEQ_I_T_NEXUS_LOSS},
    kParametersChanged{SCSI_SENSE_UNIT_ATTENTION, SCSI_ADSENSE_PARAMETERS_CHANGED,
                       SCSI_SENSEQ_MODE_PARAMETERS_CHANGED},
    kPreempted{SCSI_SENSE_UNIT_ATTENTION, SCSI_ADSENSE_PARAMETERS_CHANGED, SCSI_SENSEQ_RESERVATIONS_PREEMPTED},
    kReleased{SCSI_SENSE_UNIT_ATTENTION, SCSI_ADSENSE_PARAMETERS_CHANGED, SCSI_SENSEQ_RESERVATIONS_RELEASED},
    kRegistrationsPreempted{SCSI_SENSE_UNIT_ATTENTION, SCSI_ADSENSE_PARAMETERS_CHANGED,
                            SCSI_SENSEQ_REGISTRATIONS_PREEMPTED};

} // namespace arraytest
