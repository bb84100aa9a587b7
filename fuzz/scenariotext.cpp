/*++

Module Name:

    scenariotext.cpp

Abstract:

    Fuzzes scenario TOML.  A scenario the parser accepts holds only
    values within their bounds, and one it refuses says where and why.

--*/

#include "scenario.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    // No file is readable: a scenario naming one is refused, not read.
    auto noFiles = [](const std::string &, std::string *) { return false; };
    scenario::Scenario parsed;
    std::string error;
    if (!scenario::Parse(text, "fuzz.toml", "", noFiles, &parsed, &error)) {
        if (error.rfind("fuzz.toml", 0) != 0) {
            abort();
        }
        return 0;
    }
    if (parsed.LunBlocks < 1 || parsed.LunBlocks > (uint64_t)scenario::kMaxLunBlocks) {
        abort();
    }
    for (const scenario::Fault &fault : parsed.Faults) {
        if (fault.UntilMs != 0 && fault.UntilMs <= fault.AtMs) {
            abort();
        }
    }
    if (!scenario::ValidateTopology(parsed, &error) && error.empty()) {
        abort();
    }
    return 0;
}
