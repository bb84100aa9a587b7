/*++

Module Name:

    scenario.h

Abstract:

    A scenario of the main job: the host framework's version, the
    driver's registry configuration (a .reg file), the trace session, how
    long the clock runs, and the sections later steps fill in (topology,
    workload, fault timeline).  Scenarios are TOML files.

--*/

#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace scenario {

// One path of the topology: where the host sees it (SCSI port number, bus
// and target id) and which port of which array controller it reaches.
struct Path {
    uint32_t Port = 0;
    uint32_t Bus = 0;
    uint32_t Target = 0;
    uint32_t Controller = 0;
    uint32_t ControllerPort = 0;
    uint32_t Line = 0;                  // where the scenario gives it, for messages
};

struct Scenario {
    std::string Name = "unnamed";
    std::string Description;
    std::string Origin;                 // the file it came from, or "built-in default"
    std::string MpioVersion = "1.20.0.0";
    // MPIO's own settings ([mpio]), with the values the platform ships.
    uint32_t RetryCount = 3;
    uint32_t RetryIntervalMs = 1000;
    uint32_t PathVerificationPeriodMs = 30000;
    uint32_t RemovalPeriodMs = 20000;
    std::string RegistryText;           // the .reg content
    std::string RegistryOrigin;
    std::string ServiceName = "tarndsm";
    uint32_t TraceFlags = 0;
    uint64_t DurationMs = 2000;

    // The storage: a dual-controller array with these LUNs, reached by
    // these paths.  No topology: the driver runs without storage.
    bool HasTopology = false;
    std::vector<uint32_t> Luns;
    std::vector<uint32_t> LunLines;     // where the scenario gives each LUN, for messages
    uint64_t LunBlocks = 2048;
    std::vector<Path> Paths;
    // How the array names its LUs and ports: "standard", "short", "names".
    std::string Identifiers = "standard";
    // Bytes the array's status buffer holds; 0 = the array's own size.
    uint64_t StatusBufferLength = 0;
};

// Reads a file a scenario names; false when it cannot.
using FileReader = std::function<bool(const std::string &path, std::string *text)>;

// Reads from the file system; false with errno set when it cannot.
bool ReadFile(const std::string &path, std::string *text);

// Parses a scenario; relative file names resolve against baseDirectory.
// On failure returns false with a message naming the place and the fault.
bool Parse(const std::string &text, const std::string &origin, const std::string &baseDirectory,
           const FileReader &readFile, Scenario *result, std::string *error);

// Checks the topology as a whole before anything is built from it: no
// LUN and no path (port, bus and target) given twice.  On failure returns
// false with a message naming the file and the line.
bool ValidateTopology(const Scenario &scenario, std::string *error);

// The built-in default scenario and its registry file, as shipped in scenarios/.
const char *DefaultScenarioText();
const char *DefaultRegistryText();

// "1.20.0.0" -> four words; false when malformed.
bool ParseVersion(const std::string &text, uint32_t words[4]);

} // namespace scenario
