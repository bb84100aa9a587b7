/*++

Module Name:

    scenario.h

Abstract:

    A scenario of the main job: the host framework's version, the
    driver's registry configuration (a .reg file), the trace session, how
    long the clock runs, the storage topology, the verified workload and
    the timeline of faults.  Scenarios are TOML files.

--*/

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace array {
class SimulatedArray;
}
namespace mpio {
struct Topology;
struct HostOptions;
}

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

// The verified workload: every block of every LUN written with a pattern
// derived from LUN, LBA and a generation, I/O kept going while the faults
// happen, and every block read back and compared at the end.
struct Workload {
    bool Enabled = false;
    uint32_t BlocksPerRequest = 16;
    uint32_t IntervalMs = 100;          // each LUN gets one write and one read this often
    uint32_t Outstanding = 4;           // requests per LUN at most in flight
    bool ExpectErrors = false;          // the scenario takes every path away for good
};

// What a fault does to the storage.
enum class FaultAction {
    LinkDown,           // a pulled cable: nothing delivered
    NoAnswer,           // a hung link: commands time out
    Busy,               // the target answers BUSY
    LunNotSupported,    // the LUs are masked: LOGICAL UNIT NOT SUPPORTED
    ControllerFailure,  // a controller fails (its ports go dark) and comes back reset
    UnitAttention,      // a unit attention on every I_T_L nexus of the scope
    // The storage writes one block's content over its neighbour (a
    // misdirected write), behind the host's back: the read-back must see it.
    StrayWrite,
};

// Where a fault applies.
enum class FaultWhere {
    CurrentPath,        // the path a drive is using when the fault begins
    Path,               // one path of the topology (port, bus, target)
    TargetPort,         // one array target port, for every host port
    Controller,         // both ports of one controller
    AllPaths,           // every target port of the array
};

// One entry of the fault timeline: a fault from AtMs, returned at UntilMs
// (0: never, or a one-shot such as a unit attention).
struct Fault {
    uint64_t AtMs = 0;
    uint64_t UntilMs = 0;
    FaultAction Action = FaultAction::LinkDown;
    FaultWhere Where = FaultWhere::CurrentPath;
    uint32_t Lun = 0;                   // whose current path, for CurrentPath; StrayWrite's LUN
    uint64_t Block = 0;                 // StrayWrite: the block overwritten
    uint32_t Port = 0;                  // for Path
    uint32_t Bus = 0;
    uint32_t Target = 0;
    uint32_t TargetPort = 0;            // for TargetPort
    uint32_t Controller = 0;            // for Controller and ControllerFailure
    std::string Attention = "power_on_reset";  // for UnitAttention
    uint32_t Line = 0;
};

struct Scenario {
    std::string Name = "unnamed";
    std::string Description;
    std::string Origin;                 // the file it came from, or "built-in default"
    std::string MpioVersion = "1.20.0.0";
    // MPIO's own settings ([mpio]), with the values the platform ships.
    uint32_t RetryCount = 3;
    uint32_t RetryIntervalMs = 1000;
    bool PathVerifyEnabled = false;
    uint32_t PathVerificationPeriodMs = 30000;
    uint32_t RemovalPeriodMs = 20000;
    // The port driver's: how long a link stays down before the disk
    // devices behind it are removed.
    uint32_t LinkDownTimeMs = 15000;
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

    // The default path selection policy the drives start with, replacing
    // the registry's "PathSelectionPolicy"; 0 keeps the registry's.
    uint32_t Policy = 0;
    Workload Load;
    // With tgtd behind the paths ([tgtd]): how long a command or a login
    // may go unanswered before its path counts as failed.
    uint32_t TgtdCommandTimeoutMs = 3000;
    std::vector<Fault> Faults;          // in time order
};

// "error", "warning", "trace" -> the driver's trace flag; 0 for any other
// name.
uint32_t TraceFlag(const std::string &name);
// An action's name as a scenario gives it.
const char *FaultActionName(FaultAction action);

// Reads a file a scenario names; false when it cannot.
using FileReader = std::function<bool(const std::string &path, std::string *text)>;

// The largest file a scenario or registry may be: more is no input of ours.
constexpr uint64_t kMaxInputFileBytes = 16u << 20;
// The most blocks a LUN may have (1 GiB of 512-byte blocks).
constexpr int64_t kMaxLunBlocks = 1 << 21;

// Reads a regular file of at most kMaxInputFileBytes from the file
// system; false when it cannot, with FileError() saying why.
bool ReadFile(const std::string &path, std::string *text);
// Why the last ReadFile or ReplaceFile on this thread failed.
std::string FileError();
// Replaces a file's content whole or not at all: writes a temporary file
// beside it, flushes it to disk and renames it over the original, whose
// permissions it keeps.  False with FileError() set when it cannot; the
// original is then as it was.
bool ReplaceFile(const std::string &path, const std::string &text);
// A .reg text that does not end with a line break was cut short: the
// last line may have lost characters and still parse.  False with a
// message when so.
bool RegistryTextWhole(const std::string &text, std::string *error);

// Parses a scenario; relative file names resolve against baseDirectory.
// On failure returns false with a message naming the place and the fault.
bool Parse(const std::string &text, const std::string &origin, const std::string &baseDirectory,
           const FileReader &readFile, Scenario *result, std::string *error);

// Checks the topology as a whole before anything is built from it: no
// LUN and no path (port, bus and target) given twice.  On failure returns
// false with a message naming the file and the line.
bool ValidateTopology(const Scenario &scenario, std::string *error);

// The simulated array and the topology MPIO discovers it through, as the
// scenario describes them.  False with a message naming the file when
// the array refuses the configuration.
bool BuildStorage(const Scenario &scenario, std::unique_ptr<array::SimulatedArray> *storage,
                  mpio::Topology *topology, std::string *error);

// The paths and LUNs MPIO discovers, as the scenario gives them.
void TopologyOf(const Scenario &scenario, mpio::Topology *topology);

// Fills the machine's registry from the scenario's .reg text (with its
// policy override) and registers the driver's message table and trace
// formats.  False with a message naming the file when the text is bad.
bool ApplyRegistry(const Scenario &scenario, std::string *error);

// MPIO's settings as the scenario gives them; the version already parsed.
mpio::HostOptions HostOptionsOf(const Scenario &scenario, const uint32_t version[4]);

// The built-in default scenario and its registry file, as shipped in scenarios/.
const char *DefaultScenarioText();
const char *DefaultRegistryText();

// "1.20.0.0" -> four words; false when malformed.
bool ParseVersion(const std::string &text, uint32_t words[4]);

} // namespace scenario
