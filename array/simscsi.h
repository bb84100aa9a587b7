/*++

Module Name:

    simscsi.h

Abstract:

    What the simulated array's command handlers share: operation codes,
    sense keys, big-endian field access and the common replies.  Private
    to the array's sources.

--*/

#pragma once

#include "scsitarget.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace array {
namespace sim {

// Operation codes.
constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kRequestSense = 0x03;
constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kReadCapacity10 = 0x25;
constexpr uint8_t kRead10 = 0x28;
constexpr uint8_t kWrite10 = 0x2A;
constexpr uint8_t kReadBuffer10 = 0x3C;
constexpr uint8_t kPersistentReserveIn = 0x5E;
constexpr uint8_t kPersistentReserveOut = 0x5F;
constexpr uint8_t kRead16 = 0x88;
constexpr uint8_t kWrite16 = 0x8A;
constexpr uint8_t kServiceActionIn16 = 0x9E;
constexpr uint8_t kReadCapacity16 = 0x10;    // its service action
constexpr uint8_t kReportLuns = 0xA0;

// Sense keys.
constexpr uint8_t kNoSense = 0x0;
constexpr uint8_t kIllegalRequest = 0x5;
constexpr uint8_t kUnitAttention = 0x6;

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

inline Result Check(uint8_t key, uint8_t asc, uint8_t ascq)
{
    Result result;
    result.Status = kStatusCheckCondition;
    SetFixedSense(&result, key, asc, ascq);
    return result;
}

inline Result InvalidFieldInCdb() { return Check(kIllegalRequest, 0x24, 0x00); /* INVALID FIELD IN CDB */ }

inline Result InvalidFieldInParameterList()
{
    return Check(kIllegalRequest, 0x26, 0x00);  /* INVALID FIELD IN PARAMETER LIST */
}

// RESERVATION CONFLICT carries no sense data.
inline Result Conflict()
{
    Result result;
    result.Status = kStatusReservationConflict;
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
