/*++

Module Name:

    toolnames.h

Abstract:

    The words the tools print and read for the driver's values, in one
    place: numbers in hex, SCSI addresses, and the path selection
    policies under the names the scenario files, the command lines and
    the console's listing use.

--*/

#pragma once

#include "tarn.h"

#include <cstdint>
#include <iomanip>
#include <sstream>
#include <string>

namespace tools {

// "0x0000001F": upper-case digits, zero-padded to width.
inline std::string Hex(uint64_t value, int width = 8)
{
    std::ostringstream text;
    text << "0x" << std::uppercase << std::hex << std::setw(width) << std::setfill('0') << value;
    return text.str();
}

// "port:bus:target", as a path of the topology is written.
inline std::string AddressText(uint32_t port, uint32_t bus, uint32_t target)
{
    return std::to_string(port) + ":" + std::to_string(bus) + ":" + std::to_string(target);
}

// "port:bus:target:lun", as a disk device is written.
inline std::string AddressText(uint32_t port, uint32_t bus, uint32_t target, uint32_t lun)
{
    return AddressText(port, bus, target) + ":" + std::to_string(lun);
}

struct PolicyWord {
    uint32_t Code;
    const char *Name;
};

// The policies a drive can run under, by the names given for input.
constexpr PolicyWord kPolicies[] = {
    {TARN_LB_POLICY_FAILOVER, "failover"},
    {TARN_LB_POLICY_FAILBACK, "failback"},
    {TARN_LB_POLICY_ROUND_ROBIN, "round_robin"},
};

// "failover", "failback", "round_robin" -> the driver's code; 0 for any other name.
inline uint32_t PolicyCode(const std::string &name)
{
    for (const PolicyWord &policy : kPolicies) {
        if (name == policy.Name) {
            return policy.Code;
        }
    }
    return 0;
}

// The name a policy is given by, or its code in hex when it is none.
inline std::string PolicyName(uint32_t code)
{
    for (const PolicyWord &policy : kPolicies) {
        if (code == policy.Code) {
            return policy.Name;
        }
    }
    return Hex(code, 3);
}

} // namespace tools
