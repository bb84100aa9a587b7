/*++

Module Name:

    main.cpp

Abstract:

    dsmscenario, the main job: starts the emulated host framework with the
    DSM from a scenario's registry configuration, runs the clock, and
    reports like an administrator's console: the event log in plain
    language, the configuration the driver read, the timer, and the trace
    when asked for.

--*/

#include "scenario.h"

#include "mpiohost.h"
#include "simarray.h"
#include "tarn.h"
#include "tarnresources.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <thread>

namespace {

const char *kUsageFooter = R"(
A scenario is a TOML file naming the MPIO version, the driver's registry
configuration (a Windows .reg file), the storage topology (a dual-controller
array's LUNs and the paths that reach its ports), the trace session and how
long the clock runs; --print-default shows the built-in one, which runs
when no scenario is given.

While it runs, a line per step on the error stream tells how far it got
(-q leaves them out); the report goes to the output.

Exit status:
  0  the driver started and the run completed
  1  the driver did not start, or the run failed (a kernel rule broken)
  2  wrong options, or a scenario, registry file or topology that cannot
     run: a one-line message names the file and the line)";

std::string Hex(uint32_t value, int width = 8)
{
    std::ostringstream text;
    text << "0x" << std::uppercase << std::hex << std::setw(width) << std::setfill('0') << value;
    return text.str();
}

std::string Narrow(const UNICODE_STRING &string)
{
    std::string text;
    for (USHORT i = 0; string.Buffer != nullptr && i < string.Length / sizeof(WCHAR); i++) {
        char16_t c = string.Buffer[i];
        text += c < 0x80 ? (char)c : '?';
    }
    return text;
}

std::string PolicyName(ULONG policy)
{
    switch (policy) {
    case TARN_LB_POLICY_FAILOVER:
        return "failover";
    case TARN_LB_POLICY_FAILBACK:
        return "failover with failback to the preferred path";
    case TARN_LB_POLICY_ROUND_ROBIN:
        return "round robin";
    default:
        return "not a policy";
    }
}

// The configuration the driver holds, read from its context as a
// debugger extension would.
void PrintConfiguration(const DSM_CONTEXT &context)
{
    std::cout << "Supported devices:\n";
    const UNICODE_STRING &list = context.SupportedDeviceList;
    size_t characters = list.Length / sizeof(WCHAR);
    size_t start = 0;
    int entries = 0;
    for (size_t i = 0; list.Buffer != nullptr && i <= characters; i++) {
        if (i == characters || list.Buffer[i] == 0) {
            if (i == start) {
                break;
            }
            UNICODE_STRING entry{(USHORT)((i - start) * sizeof(WCHAR)), 0, list.Buffer + start};
            std::cout << "  \"" << Narrow(entry) << "\"\n";
            entries++;
            start = i + 1;
        }
    }
    if (entries == 0) {
        std::cout << "  (none: no device will be claimed)\n";
    }
    std::cout << "Display name:                   \"" << Narrow(context.DisplayName) << "\"\n"
              << "Default path selection policy:  " << Hex(context.PathSelectionPolicy, 3) << " ("
              << PolicyName(context.PathSelectionPolicy) << ")\n"
              << "Round-robin timeslice:          " << context.RoundRobinTimeSlice << " ms\n"
              << "Persistent reservations:        " << (context.UsePersistentReservations ? "on" : "off");
    if (context.UsePersistentReservations) {
        std::cout << ", key ";
        for (UCHAR byte : context.PRKey) {
            std::cout << std::hex << std::setw(2) << std::setfill('0') << (unsigned)byte << std::dec
                      << std::setfill(' ');
        }
    }
    std::cout << "\n"
              << "Path test timeout:              " << context.TurTimeoutValue << " s\n"
              << "Path test retries:              " << context.TurRetryCount << "\n";
}

const char *HealthText(ULONG health)
{
    const char *name = DsmPathHealthName(health);
    return name != nullptr ? name + strlen("PDO_HEALTH_") : "unknown";
}

std::string ControllerText(UCHAR value)
{
    return value == TARN_CONTROLLER_UNKNOWN ? "?" : std::to_string(value);
}

// The drives and paths the driver keeps, read from its records as a
// debugger extension would.
void PrintDrives(const DSM_CONTEXT &context)
{
    const LIST_ENTRY *drives = &context.DriveList;
    if (drives->Flink == drives) {
        std::cout << "(no logical drives)\n";
    }
    for (const LIST_ENTRY *link = drives->Flink; link != drives; link = link->Flink) {
        const LD_ENTRY *drive = CONTAINING_RECORD(link, LD_ENTRY, DriveLink);
        const SCSI_ADDRESS &preferred = drive->PreferredPathAddress;
        std::cout << "Logical drive " << drive->ldIdString << " SN " << drive->SerialNumber << "\n"
                  << "  policy " << Hex(drive->LogicalDriveLbPolicy, 3) << " (" << PolicyName(drive->LogicalDriveLbPolicy)
                  << "), preferred path " << (unsigned)preferred.PortNumber << ":" << (unsigned)preferred.PathId << ":"
                  << (unsigned)preferred.TargetId << ":" << (unsigned)preferred.Lun << ", "
                  << drive->NumberPaths << " paths, current "
                  << (drive->currentPath != nullptr ? drive->currentPath->PathIdString : "none") << "\n";
        for (const LIST_ENTRY *pathLink = drive->PathList.Flink; pathLink != &drive->PathList;
             pathLink = pathLink->Flink) {
            const PDO_ENTRY *path = CONTAINING_RECORD(pathLink, PDO_ENTRY, LdLink);
            std::cout << "    " << std::left << std::setw(16) << path->PathIdString << std::right << " health "
                      << std::left << std::setw(20) << HealthText(path->HealthState) << std::right << " controller "
                      << ControllerText(path->ControllerNumber) << " port " << ControllerText(path->ControllerPort)
                      << "\n";
        }
    }
}

void Section(const std::string &title)
{
    std::cout << "\n== " << title << " " << std::string(title.size() < 70 ? 70 - title.size() : 0, '=') << "\n";
}

// The exit statuses --help and the README document.
enum ExitStatus : int {
    kExitSuccess = 0,       // the driver started and the run completed
    kExitRunFailed = 1,     // the driver did not start, or the run failed
    kExitBadInput = 2,      // wrong options, or a scenario, registry file or topology that cannot run
};

// A step's result when the next step should follow.
constexpr int kContinue = -1;
constexpr int kSteps = 7;

// What the command line asks for.
struct CommandLine {
    std::string ScenarioFile;
    std::string RegistryFile;
    std::string MpioVersion;
    std::string TraceFlags;
    int64_t Duration = -1;
    std::string ExportRegistry;
    bool PrintDefault = false;
    bool RealTime = false;
    bool EventDetails = false;
    bool Quiet = false;
};

// What the steps hand on, one to the next.  The host is declared after
// the storage so it goes first, as a host leaves its storage behind.
struct Run {
    CommandLine Options;
    scenario::Scenario Scenario;
    uint32_t Version[4] = {};
    std::unique_ptr<array::SimulatedArray> Storage;
    mpio::Topology Topology;
    std::unique_ptr<mpio::Host> Host;
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    uint64_t DpcRunsBefore = 0;
};

std::string Count(size_t count, const std::string &noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

int Fail(int status, const std::string &message)
{
    std::cout.flush();
    std::cerr << "dsmscenario: " << message << "\n";
    return status;
}

// One line per step on the error stream, so the report on the output
// stays clean for whoever keeps it.
void Progress(const Run &run, int step, const std::string &text)
{
    if (!run.Options.Quiet) {
        std::cout.flush();
        std::cerr << "dsmscenario: [" << step << "/" << kSteps << "] " << text << "\n";
    }
}

// A kernel rule broken stops the machine as a bug check would; the run
// has failed, whatever the driver did before.
void OnVerifierFailure(const std::string &message)
{
    std::cout.flush();
    std::cerr << "dsmscenario: *** VERIFIER: " << message << "\n";
    std::_Exit(kExitRunFailed);
}

int ParseOptions(int argc, char **argv, CommandLine *options)
{
    CLI::App app{"dsmscenario: runs the multipath DSM in the emulated host framework and reports what happened."};
    app.footer(kUsageFooter);

    app.add_option("scenario", options->ScenarioFile, "Scenario file (TOML); the built-in default when omitted");
    app.add_option("-r,--registry", options->RegistryFile, "Registry configuration (.reg) replacing the scenario's");
    app.add_option("-m,--mpio-version", options->MpioVersion, "MPIO version the host reports, e.g. 1.20.0.0");
    app.add_option("-t,--trace", options->TraceFlags,
                   "Trace session flags replacing the scenario's: comma-separated error, warning, trace, or all");
    app.add_option("-d,--duration", options->Duration, "Milliseconds the clock runs after start")
        ->check(CLI::Range(0, 86400000));
    app.add_option("--export-registry", options->ExportRegistry, "Write the registry as a .reg file after the run");
    app.add_flag("-e,--event-details", options->EventDetails,
                 "Show each event as Event Viewer's properties do: type, source, ID, date, time, description "
                 "and the entry's data bytes");
    app.add_flag("--real-time", options->RealTime,
                 "Run the clock with the wall clock, DPCs and work items on their own threads, instead of "
                 "stepping it");
    app.add_flag("-q,--quiet", options->Quiet, "No progress lines on the error stream, only the report");
    app.add_flag("--print-default", options->PrintDefault,
                 "Print the built-in default scenario and its .reg file, then exit");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &failure) {
        if (failure.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            app.exit(failure);      // --help
            return kExitSuccess;
        }
        return Fail(kExitBadInput, failure.what());
    }
    if (options->PrintDefault) {
        std::cout << "# default.toml\n" << scenario::DefaultScenarioText() << "\n# default.reg\n"
                  << scenario::DefaultRegistryText();
        return kExitSuccess;
    }
    return kContinue;
}

// Step 1: the scenario, with the options laid over it.
int ReadScenario(Run *run)
{
    const CommandLine &options = run->Options;
    std::string error;
    if (options.ScenarioFile.empty()) {
        Progress(*run, 1, "reading the built-in default scenario");
        // The default's registry file is compiled in beside it.
        auto builtIn = [](const std::string &path, std::string *text) {
            if (path != "default.reg") {
                return false;
            }
            *text = scenario::DefaultRegistryText();
            return true;
        };
        run->Scenario.RegistryOrigin = "built-in default.reg";
        if (!scenario::Parse(scenario::DefaultScenarioText(), "built-in default", "", builtIn, &run->Scenario,
                             &error)) {
            return Fail(kExitBadInput, error);
        }
    } else {
        Progress(*run, 1, "reading the scenario " + options.ScenarioFile);
        std::string text;
        if (!scenario::ReadFile(options.ScenarioFile, &text)) {
            return Fail(kExitBadInput, "cannot read scenario " + options.ScenarioFile + ": " + strerror(errno));
        }
        std::string directory = options.ScenarioFile.find('/') == std::string::npos
                                    ? "."
                                    : options.ScenarioFile.substr(0, options.ScenarioFile.rfind('/'));
        if (!scenario::Parse(text, options.ScenarioFile, directory, scenario::ReadFile, &run->Scenario, &error)) {
            return Fail(kExitBadInput, error);
        }
    }

    scenario::Scenario &scenario = run->Scenario;
    if (!options.RegistryFile.empty()) {
        if (!scenario::ReadFile(options.RegistryFile, &scenario.RegistryText)) {
            return Fail(kExitBadInput,
                        "--registry: cannot read " + options.RegistryFile + ": " + strerror(errno));
        }
        scenario.RegistryOrigin = options.RegistryFile;
    }
    if (!options.MpioVersion.empty()) {
        scenario.MpioVersion = options.MpioVersion;
    }
    if (!options.TraceFlags.empty()) {
        scenario.TraceFlags = 0;
        std::stringstream list(options.TraceFlags);
        std::string flag;
        while (std::getline(list, flag, ',')) {
            if (flag == "error") {
                scenario.TraceFlags |= TRDSM_ERROR_LEVEL;
            } else if (flag == "warning") {
                scenario.TraceFlags |= TRDSM_WARNING_LEVEL;
            } else if (flag == "trace") {
                scenario.TraceFlags |= TRDSM_TRACE_LEVEL;
            } else if (flag == "all") {
                scenario.TraceFlags |= TRDSM_ERROR_LEVEL | TRDSM_WARNING_LEVEL | TRDSM_TRACE_LEVEL;
            } else {
                return Fail(kExitBadInput, "--trace: \"" + flag + "\" is not error, warning, trace or all");
            }
        }
    }
    if (options.Duration >= 0) {
        scenario.DurationMs = (uint64_t)options.Duration;
    }
    if (!scenario::ParseVersion(scenario.MpioVersion, run->Version)) {
        return Fail(kExitBadInput, "MPIO version \"" + scenario.MpioVersion + "\" must look like 1.20.0.0");
    }
    return kContinue;
}

// Step 2: the storage the topology describes, built and checked before
// the driver is loaded, so a topology that cannot exist never reaches it.
int CheckTopology(Run *run)
{
    const scenario::Scenario &scenario = run->Scenario;
    if (!scenario.HasTopology) {
        Progress(*run, 2, "no topology: the driver runs without storage");
        return kContinue;
    }
    Progress(*run, 2, "checking the topology: " + Count(scenario.Luns.size(), "LUN") + ", " +
                          Count(scenario.Paths.size(), "path"));
    std::string error;
    if (!scenario::ValidateTopology(scenario, &error)) {
        return Fail(kExitBadInput, error);
    }
    array::ArrayConfig config;
    for (uint32_t lun : scenario.Luns) {
        config.Units.push_back(array::LogicalUnitConfig{lun, scenario.LunBlocks, 512});
    }
    array::ParseIdentifierStyle(scenario.Identifiers, &config.Identifiers);
    if (scenario.StatusBufferLength != 0) {
        config.StatusBufferLength = scenario.StatusBufferLength;
    }
    try {
        run->Storage = std::make_unique<array::SimulatedArray>(config);
    } catch (const std::exception &failure) {
        return Fail(kExitBadInput, scenario.Origin + ": [topology]: " + failure.what());
    }
    for (const scenario::Path &path : scenario.Paths) {
        run->Topology.Paths.push_back(mpio::PathSpec{(UCHAR)path.Port, (UCHAR)path.Bus, (UCHAR)path.Target,
                                                     path.Controller * array::kPortsPerController +
                                                         path.ControllerPort});
    }
    for (uint32_t lun : scenario.Luns) {
        run->Topology.Luns.push_back((UCHAR)lun);
    }
    return kContinue;
}

// Step 3: a clean machine, its registry, message table and trace formats,
// and the host framework.
int SetUpMachine(Run *run)
{
    const scenario::Scenario &scenario = run->Scenario;
    Progress(*run, 3, "setting up the machine and its registry from " + scenario.RegistryOrigin);
    host::ResetMachine();
    host::SetVerifierHandler(OnVerifierFailure);
    // Event times read as the moment of the run.
    auto sinceUnixEpoch = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    host::SetBootSystemTime((sinceUnixEpoch.count() + 11644473600LL * 1000000) * 10);
    std::string error;
    if (!host::RegistryImport(scenario.RegistryText, &error)) {
        return Fail(kExitBadInput, scenario.RegistryOrigin + ": " + error);
    }
    TarnRegisterMessages(std::u16string(scenario.ServiceName.begin(), scenario.ServiceName.end()));
    TarnRegisterTraceFormats();

    std::cout << "Scenario:  " << scenario.Name << (scenario.Description.empty() ? "" : " - " + scenario.Description)
              << "\n"
              << "From:      " << scenario.Origin << "\n"
              << "Registry:  " << scenario.RegistryOrigin << "\n"
              << "MPIO:      version " << scenario.MpioVersion << "\n";

    mpio::HostOptions options;
    options.Version = {run->Version[0], run->Version[1], run->Version[2], run->Version[3]};
    options.RetryCount = scenario.RetryCount;
    options.RetryIntervalMs = scenario.RetryIntervalMs;
    options.PathVerificationPeriodMs = scenario.PathVerificationPeriodMs;
    options.RemovalPeriodMs = scenario.RemovalPeriodMs;
    run->Host = std::make_unique<mpio::Host>(options);

    // A trace session started with the system, as the boot-time logger is.
    if (scenario.TraceFlags != 0) {
        const std::string key = host::GlobalLoggerKey(TarnCtlGuid);
        host::RegistrySetDword(key, "Start", 1);
        host::RegistrySetDword(key, "Flags", scenario.TraceFlags);
    }
    return kContinue;
}

// Step 4: DriverEntry, and the driver's registration with MPIO.
void LoadDriver(Run *run)
{
    const std::string &service = run->Scenario.ServiceName;
    Progress(*run, 4, "loading the driver " + service);
    mpio::Host &mpioHost = *run->Host;
    run->Status = mpioHost.LoadDriver(DriverEntry, service);
    std::cout << "Driver:    " << service << " " << TARN_DRIVER_VERSION << ", DriverEntry returned "
              << DsmStatusName(run->Status) << " (" << Hex((uint32_t)run->Status) << ")";
    if (mpioHost.Registered()) {
        std::cout << ", registered with MPIO (context " << Hex(mpioHost.MpioContext()) << ")";
    } else if (!mpioHost.RefusalReason().empty()) {
        std::cout << ", MPIO refused: " << mpioHost.RefusalReason();
    }
    std::cout << "\n";
}

bool DriverStarted(const Run &run)
{
    return NT_SUCCESS(run.Status) && run.Host->Registered();
}

// Step 5: the storage MPIO finds at boot, offered to the driver.
void Discover(Run *run)
{
    if (run->Storage == nullptr) {
        Progress(*run, 5, "no storage to discover");
        return;
    }
    if (!DriverStarted(*run)) {
        Progress(*run, 5, "no discovery: the driver did not start");
        return;
    }
    Progress(*run, 5, "discovering the storage");
    mpio::Host &mpioHost = *run->Host;
    mpioHost.Discover(run->Storage.get(), run->Topology);
    std::cout << "Storage:   dual-controller array, " << run->Scenario.Luns.size() << " LUNs, "
              << run->Scenario.Paths.size() << " paths each; MPIO found " << mpioHost.Devices().size()
              << " disk devices, the DSM claimed ";
    size_t claimed = 0;
    for (const mpio::Device &device : mpioHost.Devices()) {
        claimed += NT_SUCCESS(device.ClaimStatus) ? 1 : 0;
    }
    std::cout << claimed << " as " << mpioHost.Disks().size() << " multipath disks\n";
    for (const std::string &problem : mpioHost.DiscoveryProblems()) {
        std::cout << "           skipped " << problem << "\n";
    }
}

// Step 6: the clock runs, stepped or with the wall clock.
void RunClock(Run *run)
{
    uint64_t duration = run->Scenario.DurationMs;
    Progress(*run, 6, "running the clock for " + std::to_string(duration) + " ms" +
                          (run->Options.RealTime ? " of real time" : ""));
    run->DpcRunsBefore = host::DpcRuns();
    if (run->Options.RealTime) {
        host::SetRealTime(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(duration));
        host::SetRealTime(false);
    } else {
        host::ClockAdvance(duration);
    }
}

// Step 7: what an administrator would look at.
int Report(Run *run)
{
    Progress(*run, 7, "reporting");
    const scenario::Scenario &scenario = run->Scenario;
    mpio::Host &mpioHost = *run->Host;

    Section("System event log");
    auto events = host::EventLog();
    if (events.empty()) {
        std::cout << "(no entries)\n";
    }
    for (size_t i = 0; i < events.size(); i++) {
        if (run->Options.EventDetails) {
            std::cout << (i == 0 ? "" : "\n") << host::RenderEvent(events[i]);
            continue;
        }
        ULONG id = reinterpret_cast<const IO_ERROR_LOG_PACKET *>(events[i].Packet.data())->ErrorCode;
        static const char *const types[] = {"Success", "Information", "Warning", "Error"};
        std::cout << std::left << std::setw(12) << types[id >> 30] << std::right << std::setw(5) << (id & 0xFFFF)
                  << "  " << host::EventDescription(events[i]) << "\n";
    }

    Section("Configuration read by the driver");
    if (mpioHost.Registered()) {
        PrintConfiguration(*static_cast<const DSM_CONTEXT *>(mpioHost.Record().DsmContext));
    } else {
        std::cout << "(the driver did not start; its configuration is gone with its context)\n";
    }

    if (scenario.HasTopology && mpioHost.Registered()) {
        Section("Logical drives and paths");
        PrintDrives(*static_cast<const DSM_CONTEXT *>(mpioHost.Record().DsmContext));
        std::cout << "(Paths stay in INIT_START with controller and port unknown until MPIO binds and verifies "
                     "them; this version claims and groups paths only.)\n";
    }

    Section("Periodic timer");
    std::cout << "The clock ran " << scenario.DurationMs << " ms after start; the timer fired "
              << host::DpcRuns() - run->DpcRunsBefore << " times (first after 1 s, then every 100 ms).\n";

    if (scenario.TraceFlags != 0) {
        Section("Trace");
        std::vector<std::string> lines = host::RenderTraces(scenario.TraceFlags);
        if (lines.empty()) {
            std::cout << "(no messages at the enabled levels)\n";
        }
        for (const std::string &line : lines) {
            std::cout << line << "\n";
        }
    }

    if (!run->Options.ExportRegistry.empty()) {
        std::ofstream out(run->Options.ExportRegistry, std::ios::binary);
        out << host::RegistryExport();
        if (!out) {
            return Fail(kExitBadInput, "--export-registry: cannot write " + run->Options.ExportRegistry);
        }
    }
    if (!DriverStarted(*run)) {
        return Fail(kExitRunFailed, "the driver did not start: DriverEntry returned " +
                                        std::string(DsmStatusName(run->Status)) +
                                        (run->Host->RefusalReason().empty()
                                             ? ""
                                             : ", MPIO refused: " + run->Host->RefusalReason()));
    }
    return kExitSuccess;
}

int RunSteps(int argc, char **argv)
{
    Run run;
    int status = ParseOptions(argc, argv, &run.Options);
    if (status == kContinue) {
        status = ReadScenario(&run);
    }
    if (status == kContinue) {
        status = CheckTopology(&run);
    }
    if (status == kContinue) {
        status = SetUpMachine(&run);
    }
    if (status == kContinue) {
        LoadDriver(&run);
        Discover(&run);
        RunClock(&run);
        status = Report(&run);
    }
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    // Whatever escapes a step is a fault of the run, reported on one line
    // with the documented status rather than as the library's dump.
    try {
        return RunSteps(argc, argv);
    } catch (const std::exception &failure) {
        return Fail(kExitRunFailed, std::string("the run failed: ") + failure.what());
    }
}
