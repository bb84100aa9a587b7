/*++

Module Name:

    simscsi.h

Abstract:

    What the simulated array's command handlers share: big-endian field access and the common replies.  Private
    to the array's sources.

--*/

#pragma once

#include "scsitarget.h"

#include <scsi.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace array {
namespace sim {

inline uint32_t Be16(const uint8_t *p) { return uint32_t(p[0]) << 8 | p[1]; }
inline uint32_t Be24(const uint8_t *p) { return uint32_t(p[0]) << 16 | Be16(p + 1); }
inline uint32_t Be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | Be24(p + 1); }
inline uint64_t Be64(const uint8_t *p) { return uint64_t(Be32(p)) << 32 | Be32(p + 4); }

inline void PutBe(uint8_t *p, uint64_t value, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i) {
        p[i] = uint8_t(value >> (8 * (bytes - 1 - i)));
    }
}

inline Result Check(uint8_t key, uint8_t asc, uint8_t ascq) { return CheckCondition(key, asc, ascq); }

inline Result InvalidFieldInCdb() { return Check(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_CDB, 0); }

inline Result InvalidFieldInParameterList()
{
    return Check(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_FIELD_PARAMETER_LIST, 0);
}

// RESERVATION CONFLICT carries no sense data.
inline Result Conflict()
{
    Result result;
    result.Status = SCSISTAT_RESERVATION_CONFLICT;
    return result;
}

// Returns the data to the initiator, cut to the allocation length and to
// the room it gave.
inline Result Answer(const Command &command, const uint8_t *data, size_t length, size_t allocation)
{
    Result result;
    size_t room = command.DataIn ? command.DataInLength : 0;
    size_t n = std::min({length, allocation, room});
    if (n) {
        memcpy(command.DataIn, data, n);
    }
    result.DataInTransferred = n;
    return result;
}

} // namespace sim
} // namespace array
