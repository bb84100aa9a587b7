/*++

Module Name:

    scsitarget.cpp

Abstract:

    Helpers every SCSI target shares.

--*/

#include "scsitarget.h"

#include <cstring>

namespace array {

void SetFixedSense(Result *result, uint8_t key, uint8_t asc, uint8_t ascq)
{
    memset(result->Sense, 0, sizeof(result->Sense));
    result->Sense[0] = 0x70;            // current error, fixed format
    result->Sense[2] = key & 0x0F;
    result->Sense[7] = kFixedSenseLength - 8;   // additional sense length
    result->Sense[12] = asc;
    result->Sense[13] = ascq;
    result->SenseLength = kFixedSenseLength;
}

Result CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq)
{
    Result result;
    result.Status = kStatusCheckCondition;
    SetFixedSense(&result, key, asc, ascq);
    return result;
}

} // namespace array
