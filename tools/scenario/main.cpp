/*++

Module Name:

    main.cpp

Abstract:

    dsmscenario, the main job: starts the emulated host framework with the
    DSM from a scenario's registry configuration, runs a verified workload
    through a timeline of faults on the stepped clock, and reports like an
    administrator's console: after each phase the new event-log entries in
    plain language and the drives and paths with their health; then the
    configuration the driver read, the timer, the trace when asked for,
    and a one-line verdict on the data.

--*/

#include "listing.h"
#include "readscenario.h"
#include "toolnames.h"
#include "requests.h"
#include "scenario.h"
#include "storage.h"
#include "timeline.h"
#include "watch.h"
#include "workload.h"

#include "mpiohost.h"
#include "simarray.h"
#include "tarn.h"
#include "tarnresources.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <mutex>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <thread>

#include <pthread.h>

namespace {

const char *kUsageFooter = R"(
A scenario is a TOML file naming the MPIO version, the driver's registry
configuration (a Windows .reg file), the storage topology (a dual-controller
array's LUNs and the paths that reach its ports), the trace session, how
long the clock runs and under which path selection policy, a verified
workload and a timeline of faults; --print-default shows the built-in one,
which runs when no scenario is given.  The report shows each phase (before
the faults, after each fault and after each return) and ends with a line
on the data: blocks written, blocks read back, mismatches and errors
surfaced to the workload.

While it runs, a line per step on the error stream tells how far it got
(-q leaves them out); the report goes to the output.

Exit status:
  0  the driver started, the run completed and the data is intact: every
     block read back holds what was written, and no request failed to the
     workload (or, where the scenario expects errors, some did)
  1  the driver did not start, the run failed (a kernel rule broken), a
     block read back differs (data lost), or requests failed where the
     scenario allows none
  2  wrong options, or a scenario, registry file or topology that cannot
     run: a one-line message names the file and the line
  130, 143  interrupted by SIGINT or SIGTERM: the run stopped, and its
     daemon and files were removed)";

std::string Narrow(const UNICODE_STRING &string)
{
    std::string text;
    for (USHORT i = 0; string.Buffer != nullptr && i < string.Length / sizeof(WCHAR); i++) {
        char16_t c = string.Buffer[i];
        text += c < 0x80 ? (char)c : '?';
    }
    return text;
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
              << "Default path selection policy:  " << tools::Hex(context.PathSelectionPolicy, 3) << " ("
              << tools::PolicyName(context.PathSelectionPolicy) << ")\n"
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

// The drives and paths the driver keeps, read from its records under its
// lock as a debugger extension would.
void PrintDrives(DSM_CONTEXT &context)
{
    KIRQL oldIrql;
    DsmAcquireLock(&context, &oldIrql);
    const LIST_ENTRY *drives = &context.DriveList;
    if (drives->Flink == drives) {
        std::cout << "(no logical drives)\n";
    }
    for (const LIST_ENTRY *link = drives->Flink; link != drives; link = link->Flink) {
        const LD_ENTRY *drive = CONTAINING_RECORD(link, LD_ENTRY, DriveLink);
        const SCSI_ADDRESS &preferred = drive->PreferredPathAddress;
        std::cout << "Logical drive " << drive->ldIdString << " SN " << drive->SerialNumber << "\n"
                  << "  policy " << tools::Hex(drive->LogicalDriveLbPolicy, 3) << " (" << tools::PolicyName(drive->LogicalDriveLbPolicy)
                  << "), preferred path "
                  << tools::AddressText(preferred.PortNumber, preferred.PathId, preferred.TargetId, preferred.Lun)
                  << ", "
                  << drive->NumberPaths << " paths, current "
                  << (drive->currentPath != nullptr ? drive->currentPath->PathIdString : "none") << "\n";
        for (const LIST_ENTRY *pathLink = drive->PathList.Flink; pathLink != &drive->PathList;
             pathLink = pathLink->Flink) {
            const PDO_ENTRY *path = CONTAINING_RECORD(pathLink, PDO_ENTRY, LdLink);
            std::cout << "    " << std::left << std::setw(16) << path->PathIdString << std::right << " health "
                      << std::left << std::setw(20) << HealthText(path->HealthState) << std::right << " controller "
                      << ControllerText(path->ControllerNumber) << " port " << ControllerText(path->ControllerPort)
                      << (path == drive->currentPath ? "  <- current" : "") << "\n";
        }
    }
    DsmReleaseLock(&context, oldIrql);
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
    std::string Policy;
    std::string PathVerify;
    int64_t Duration = -1;
    std::string ExportRegistry;
    std::string Target = "simulated";
    std::string TimelineFile;
    std::string TimelineData;
    bool PrintDefault = false;
    bool RealTime = false;
    bool EventDetails = false;
    bool Quiet = false;
};

// What the steps hand on, one to the next.  The host is declared after
// the storage and the workload's requests so it goes first: as it stops
// it fails what is still in flight, and those completions are recorded.
struct Run {
    CommandLine Options;
    scenario::Scenario Scenario;
    uint32_t Version[4] = {};
    std::unique_ptr<scenario::Storage> Storage;
    mpio::Topology Topology;
    std::unique_ptr<scenario::Requests> Io;
    std::unique_ptr<scenario::VerifiedWorkload> Load;
    std::unique_ptr<mpio::Host> Host;
    scenario::Timeline Timeline;
    std::unique_ptr<scenario::Watcher> Watch;  // goes before the host it reads
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    int64_t BootSystemTime = 0;                 // the machine's system time at boot
    uint64_t ClockStart = 0;                    // interrupt time when the clock began to run
    uint64_t ClockMs = 0;                       // how long the clock ran after discovery
    size_t EventsShown = 0;
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

// The storage of the run, for the last act of a verifier failure or an
// interruption: what runs outside this process (a daemon and its files)
// must not outlive it.  The lock is held while it is abandoned or torn
// down, so the two never overlap.
std::mutex g_storageLock;
scenario::Storage *g_storage = nullptr;

void AbandonStorage()
{
    std::lock_guard<std::mutex> lock(g_storageLock);
    if (g_storage != nullptr) {
        g_storage->Abandon();
        g_storage = nullptr;
    }
}

// A kernel rule broken stops the machine as a bug check would; the run
// has failed, whatever the driver did before.
void OnVerifierFailure(const std::string &message)
{
    std::cout.flush();
    std::cerr << "dsmscenario: *** VERIFIER: " << message << "\n";
    AbandonStorage();
    std::_Exit(kExitRunFailed);
}

// SIGINT and SIGTERM are taken by a thread of their own (every other
// thread blocks them): the run's daemon and files are removed and the
// process ends with 128 + the signal's number, as a shell reports a
// program the signal killed.
void WatchStopSignals(sigset_t signals)
{
    int signal = 0;
    while (sigwait(&signals, &signal) != 0) {
    }
    std::cout.flush();
    std::cerr << "dsmscenario: interrupted by " << (signal == SIGINT ? "SIGINT" : "SIGTERM")
              << "; the run's daemon and files are removed\n";
    AbandonStorage();
    std::_Exit(128 + signal);
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
    app.add_option("-p,--policy", options->Policy,
                   "Path selection policy the drives run under, replacing the scenario's and the registry's: "
                   "failover, failback or round_robin");
    app.add_option("--path-verify", options->PathVerify,
                   "MPIO's periodic path verification, replacing the scenario's: on or off")
        ->check(CLI::IsMember({"on", "off"}));
    app.add_option("-d,--duration", options->Duration, "Milliseconds the clock runs after start")
        ->check(CLI::Range(0, 86400000));
    app.add_option("--export-registry", options->ExportRegistry, "Write the registry as a .reg file after the run");
    app.add_flag("-e,--event-details", options->EventDetails,
                 "Show each event as Event Viewer's properties do: type, source, ID, date, time, description "
                 "and the entry's data bytes");
    app.add_option("--target", options->Target,
                   "The storage behind the paths: the simulated array (default), or tgtd, Linux's user-space "
                   "SCSI target, over iSCSI through a cable per path (needs root and the tgt package; runs in "
                   "real time; only link_down, no_answer and stray_write faults)")
        ->check(CLI::IsMember({"simulated", "tgtd"}));
    app.add_flag("--real-time", options->RealTime,
                 "Run the clock with the wall clock, DPCs and work items on their own threads, instead of "
                 "stepping it");
    app.add_option("--timeline", options->TimelineFile,
                   "Draw the run's timeline into this file (.svg or .png) with gnuplot: a lane per path with "
                   "its requests per second shaded by its health, and marks for faults, failovers, MPIO's "
                   "removals and arrivals, and failbacks")
        ->check([](const std::string &name) {
            return scenario::PictureName(name) ? std::string() : std::string("give a file ending in .svg or .png");
        });
    app.add_option("--timeline-data", options->TimelineData,
                   "Write the timeline's data as CSV (record,time_ms,lane,what,count,text) into this file");
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
    Progress(*run, 1, options.ScenarioFile.empty() ? "reading the built-in default scenario"
                                                   : "reading the scenario " + options.ScenarioFile);
    if (!tools::ReadScenario(options.ScenarioFile, options.RegistryFile, &run->Scenario, &error)) {
        return Fail(kExitBadInput, error);
    }
    scenario::Scenario &scenario = run->Scenario;
    if (!options.MpioVersion.empty()) {
        scenario.MpioVersion = options.MpioVersion;
    }
    if (!options.TraceFlags.empty()) {
        scenario.TraceFlags = 0;
        std::stringstream list(options.TraceFlags);
        std::string flag;
        while (std::getline(list, flag, ',')) {
            if (flag == "all") {
                scenario.TraceFlags |= TRDSM_ERROR_LEVEL | TRDSM_WARNING_LEVEL | TRDSM_TRACE_LEVEL;
            } else if (scenario::TraceFlag(flag) != 0) {
                scenario.TraceFlags |= scenario::TraceFlag(flag);
            } else {
                return Fail(kExitBadInput, "--trace: \"" + flag + "\" is not error, warning, trace or all");
            }
        }
    }
    if (options.Duration >= 0) {
        scenario.DurationMs = (uint64_t)options.Duration;
    }
    if (!options.Policy.empty()) {
        scenario.Policy = tools::PolicyCode(options.Policy);
        if (scenario.Policy == 0) {
            return Fail(kExitBadInput, "--policy: \"" + options.Policy + "\" is not failover, failback or round_robin");
        }
    }
    if (!options.PathVerify.empty()) {
        scenario.PathVerifyEnabled = options.PathVerify == "on";
    }
    if ((!options.TimelineFile.empty() || !options.TimelineData.empty()) && !scenario.HasTopology) {
        return Fail(kExitBadInput, scenario.Origin + ": no [topology]: there are no paths for a timeline");
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
    std::string error;
    if (!scenario.HasTopology) {
        Progress(*run, 2, "no topology: the driver runs without storage");
        return scenario::ValidateTopology(scenario, &error) ? kContinue : Fail(kExitBadInput, error);
    }
    Progress(*run, 2, "checking the topology: " + Count(scenario.Luns.size(), "LUN") + ", " +
                          Count(scenario.Paths.size(), "path") +
                          (run->Options.Target == "simulated" ? "" : ", on " + run->Options.Target));
    if (!scenario::ValidateTopology(scenario, &error)) {
        return Fail(kExitBadInput, error);
    }
    run->Storage = scenario::MakeStorage(run->Options.Target, scenario);
    if (run->Storage == nullptr) {
        return Fail(kExitRunFailed, "--target " + run->Options.Target +
                                        ": this build has no iSCSI initiator (libiscsi was missing when it was "
                                        "built)");
    }
    // Faults the storage cannot carry are refused before anything starts.
    for (const scenario::Fault &fault : scenario.Faults) {
        std::string refusal = run->Storage->Refusal(fault);
        if (!refusal.empty()) {
            return Fail(kExitBadInput, scenario.Origin + ":" + std::to_string(fault.Line) + ": " + refusal);
        }
    }
    {
        std::lock_guard<std::mutex> lock(g_storageLock);
        g_storage = run->Storage.get();
    }
    bool badInput = false;
    if (!run->Storage->Start(&run->Topology, &error, &badInput)) {
        return Fail(badInput ? kExitBadInput : kExitRunFailed, error);
    }
    return kContinue;
}

// Whether the clock runs with the wall clock rather than stepped: the
// storage's answers take real time.
bool StorageNeedsRealTime(const Run &run)
{
    return run.Storage != nullptr && run.Storage->NeedsRealTime();
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
    run->BootSystemTime = (sinceUnixEpoch.count() + 11644473600LL * 1000000) * 10;
    host::SetBootSystemTime(run->BootSystemTime);
    std::string error;
    if (!scenario::ApplyRegistry(scenario, &error)) {
        return Fail(kExitBadInput, error);
    }

    std::cout << "Scenario:  " << scenario.Name << (scenario.Description.empty() ? "" : " - " + scenario.Description)
              << "\n"
              << "From:      " << scenario.Origin << "\n"
              << "Registry:  " << scenario.RegistryOrigin << "\n"
              << "MPIO:      version " << scenario.MpioVersion << ", path verification "
              << (scenario.PathVerifyEnabled ? "every " + std::to_string(scenario.PathVerificationPeriodMs) + " ms"
                                             : std::string("off"))
              << ", removal period " << scenario.RemovalPeriodMs << " ms\n"
              << "Port:      link-down time " << scenario.LinkDownTimeMs << " ms\n";
    if (StorageNeedsRealTime(*run)) {
        std::cout << "Clock:     real time (" << run->Options.Target << " answers in real time; the clock cannot be "
                  << "stepped)\n";
    }
    if (scenario.Policy != 0) {
        std::cout << "Policy:    " << tools::PolicyName(scenario.Policy) << " (\"PathSelectionPolicy\" "
                  << tools::Hex(scenario.Policy, 3) << " replaces the registry's)\n";
    }

    run->Host = std::make_unique<mpio::Host>(scenario::HostOptionsOf(scenario, run->Version));

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
              << DsmStatusName(run->Status) << " (" << tools::Hex((uint32_t)run->Status) << ")";
    if (mpioHost.Registered()) {
        std::cout << ", registered with MPIO (context " << tools::Hex(mpioHost.MpioContext()) << ")";
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
    Progress(*run, 5, "discovering the storage" +
                          std::string(StorageNeedsRealTime(*run) ? ", the clock running in real time" : ""));
    if (StorageNeedsRealTime(*run)) {
        // Discovery's commands, their retries and the driver's timer all
        // meet real time from here on.
        host::SetRealTime(true);
    }
    mpio::Host &mpioHost = *run->Host;
    mpioHost.Discover(&run->Storage->Target(), run->Topology);
    std::cout << "Storage:   " << run->Storage->Description() << ", " << run->Scenario.Luns.size() << " LUNs, "
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

// The disk a LUN is seen as, or false when no device of it was claimed.
bool DiskOfLun(const mpio::Host &host, uint32_t lun, size_t *disk)
{
    for (const mpio::Device &device : host.Devices()) {
        if (device.Lun == lun && device.Group >= 0) {
            *disk = (size_t)device.Group;
            return true;
        }
    }
    return false;
}

// One moment of the timeline: a fault begins or returns.
struct Moment {
    uint64_t AtMs = 0;
    size_t Fault = 0;
    bool Return = false;
};

using scenario::ResolvedPlace;

// The cable of one path: the I_T nexus from its host port to its target port.
ResolvedPlace OnDevicePath(const scenario::Storage &storage, const mpio::Device &device, const std::string &label)
{
    return ResolvedPlace{{array::Scope::OnPath(device.Nexus.Initiator, device.Nexus.TargetPort)},
                         "path " + label,
                         "the cable from host port " +
                             tools::AddressText(device.Path.PortNumber, device.Path.PathId, device.Path.TargetId) + " to " +
                             storage.TargetPortText(device.Nexus.TargetPort),
                         "",
                         (int)device.Link};
}

// Resolves a fault's place when it begins: "current" is the path the drive
// uses at that moment, and its return goes to the same path.
bool Resolve(Run *run, const scenario::Fault &fault, ResolvedPlace *resolved)
{
    mpio::Host &mpioHost = *run->Host;
    switch (fault.Where) {
    case scenario::FaultWhere::CurrentPath: {
        if (fault.Action == scenario::FaultAction::StrayWrite) {
            *resolved = ResolvedPlace{};
            return true;
        }
        auto *context = static_cast<DSM_CONTEXT *>(mpioHost.Record().DsmContext);
        PVOID current = nullptr;
        std::string label;
        KIRQL oldIrql;
        DsmAcquireLock(context, &oldIrql);
        for (const mpio::Device &device : mpioHost.Devices()) {
            auto *path = static_cast<PPDO_ENTRY>(device.DsmId);
            if (device.Lun == fault.Lun && path != nullptr && IsPdoEntryValid(context, path) &&
                path->LdEntry->currentPath != nullptr) {
                current = path->LdEntry->currentPath;
                label = path->LdEntry->currentPath->PathIdString;
                break;
            }
        }
        DsmReleaseLock(context, oldIrql);
        // The latest device bound to it: a removed one may have left the
        // same identifier behind.
        const auto &devices = mpioHost.Devices();
        for (auto at = devices.rbegin(); at != devices.rend(); ++at) {
            const mpio::Device &device = *at;
            if (current != nullptr && device.DsmId == current) {
                *resolved = OnDevicePath(*run->Storage, device, label);
                resolved->Detail += ", the current path of LUN " + std::to_string(fault.Lun);
                return true;
            }
        }
        return false;
    }
    case scenario::FaultWhere::Path:
        for (const mpio::Device &device : mpioHost.Devices()) {
            if (device.Path.PortNumber == fault.Port && device.Path.PathId == fault.Bus &&
                device.Path.TargetId == fault.Target) {
                *resolved = OnDevicePath(*run->Storage, device, tools::AddressText(fault.Port, fault.Bus, fault.Target));
                return true;
            }
        }
        return false;
    case scenario::FaultWhere::TargetPort:
        *resolved = ResolvedPlace{{array::Scope::OnTargetPort(fault.TargetPort)},
                                  "target port " + std::to_string(fault.TargetPort),
                                  run->Storage->TargetPortText(fault.TargetPort) + ", for every host port", ""};
        return true;
    case scenario::FaultWhere::Controller:
        *resolved = ResolvedPlace{{array::Scope::OnController(fault.Controller)},
                                  "controller " + std::to_string(fault.Controller), "both its target ports", ""};
        return true;
    case scenario::FaultWhere::AllPaths:
        resolved->Scopes.clear();
        for (uint32_t port = 0; port < array::kTargetPortCount; port++) {
            resolved->Scopes.push_back(array::Scope::OnTargetPort(port));
        }
        resolved->Place = "every target port";
        resolved->Detail = "no path to the array is left";
        resolved->ReturnDetail = "every path to the array is back";
        return true;
    }
    return false;
}

// What an administrator would look at after a phase: the event-log entries
// written during it, and the drives and paths.
void ReportPhase(Run *run, size_t number, const std::string &title, const std::string &detail, uint64_t from,
                 uint64_t to)
{
    Section("Phase " + std::to_string(number) + " (" + std::to_string(from) + "-" + std::to_string(to) +
            " ms): " + title);
    if (!detail.empty()) {
        std::cout << "(" << detail << ")\n";
    }
    auto events = host::EventLog();
    std::cout << "Event log:\n";
    if (events.size() == run->EventsShown) {
        std::cout << "  (no new entries)\n";
    }
    for (size_t i = run->EventsShown; i < events.size(); i++) {
        if (run->Options.EventDetails) {
            std::cout << host::RenderEvent(events[i]) << "\n";
            continue;
        }
        // When it was written, on the run's clock: discovery's entries come before it starts.
        std::string description = host::EventDescription(events[i]);
        std::cout << "  " << std::setw(7) << scenario::EventMs(events[i], run->BootSystemTime, run->ClockStart)
                  << " ms  " << std::left << std::setw(12) << scenario::EventTypeName(events[i]) << std::right
                  << std::setw(5) << (scenario::EventCode(events[i]) & 0xFFFF) << "  " << description << "\n";
        // The driver writes a failover once per request in flight on the
        // path: the same line again says nothing new.
        size_t same = 1;
        while (scenario::EventCode(events[i]) == TARN_MSG_FAILOVER && i + same < events.size() &&
               scenario::EventCode(events[i + same]) == TARN_MSG_FAILOVER &&
               host::EventDescription(events[i + same]) == description) {
            same++;
        }
        if (same > 1) {
            std::cout << std::string(32, ' ') << same << " requests in flight on the path failed over\n";
            i += same - 1;
        }
    }
    run->EventsShown = events.size();
    if (run->Scenario.HasTopology && run->Host->Registered()) {
        std::cout << "Drives and paths:\n";
        PrintDrives(*static_cast<DSM_CONTEXT *>(run->Host->Record().DsmContext));
        std::cout << "Console listing (tarnctl, from the WMI blocks):\n";
        console::PrintDiskListing(*run->Host, std::cout);
    }
}

// Moves the clock to `to`, with the workload's ticks on the way.
void RunUntil(Run *run, uint64_t to, uint64_t *nextTick)
{
    while (run->ClockMs < to) {
        uint64_t stop = run->Load != nullptr ? std::min(to, *nextTick) : to;
        run->Io->Pass(stop - run->ClockMs);
        run->ClockMs = stop;
        if (run->Load != nullptr && run->ClockMs == *nextTick) {
            run->Load->Tick();
            run->Io->Pass(0);
            *nextTick += run->Scenario.Load.IntervalMs;
        }
    }
}

// Moves the clock on, without new requests, until those in flight are done.
// MPIO may keep one through its retries and, while its disk has no live
// path, for the removal period; one still there a minute after that
// never completes.
constexpr uint64_t kSettleSlackMs = 60000;
constexpr uint64_t kSettleStepMs = 100;

void Settle(Run *run)
{
    const scenario::Scenario &scenario = run->Scenario;
    uint64_t limit = (uint64_t)scenario.RemovalPeriodMs +
                     ((uint64_t)scenario.RetryCount + 1) * scenario.RetryIntervalMs + kSettleSlackMs;
    run->Io->Pass(0);
    for (uint64_t waited = 0; run->Io->InFlight() != 0 && waited < limit; waited += kSettleStepMs) {
        run->Io->Pass(kSettleStepMs);
        run->ClockMs += kSettleStepMs;
    }
}

// Marks a fault or its return on the timeline, at the path it took
// when that is one path.
void MarkFault(Run *run, const scenario::Fault &fault, const ResolvedPlace &place, bool isReturn)
{
    if (run->Watch == nullptr) {
        return;
    }
    int lane = place.Link >= 0 ? run->Watch->LaneOfLink((size_t)place.Link) : scenario::kNoLane;
    std::string where = lane != scenario::kNoLane ? run->Timeline.Lanes()[lane].Address : place.Place;
    run->Timeline.Mark(run->Watch->NowMs(), isReturn ? scenario::MarkKind::Return : scenario::MarkKind::Fault, lane,
                       scenario::FaultMarkText(fault, isReturn, where));
}

// The faults' beginnings and returns in time order, each ending a phase.
std::vector<Moment> MomentsOf(const scenario::Scenario &scenario)
{
    std::vector<Moment> moments;
    for (size_t i = 0; i < scenario.Faults.size(); i++) {
        moments.push_back(Moment{scenario.Faults[i].AtMs, i, false});
        if (scenario.Faults[i].UntilMs != 0) {
            moments.push_back(Moment{scenario.Faults[i].UntilMs, i, true});
        }
    }
    std::stable_sort(moments.begin(), moments.end(),
                     [](const Moment &a, const Moment &b) { return a.AtMs < b.AtMs; });
    return moments;
}

// The phases: the clock runs to each moment, the phase before it is
// reported and the fault begins or returns.
int RunPhases(Run *run, const std::vector<Moment> &moments)
{
    const scenario::Scenario &scenario = run->Scenario;
    std::vector<ResolvedPlace> places(scenario.Faults.size());
    uint64_t nextTick = run->ClockMs + scenario.Load.IntervalMs;
    uint64_t phaseStart = run->ClockMs;
    std::string title = moments.empty() ? "the run" : "before the faults";
    std::string detail;
    for (size_t i = 0; i <= moments.size(); i++) {
        uint64_t end = i < moments.size() ? std::max(moments[i].AtMs, run->ClockMs)
                                          : std::max(scenario.DurationMs, run->ClockMs);
        RunUntil(run, end, &nextTick);
        if (i == moments.size()) {
            break;
        }
        ReportPhase(run, i + 1, title, detail, phaseStart, run->ClockMs);
        const Moment &moment = moments[i];
        const scenario::Fault &fault = scenario.Faults[moment.Fault];
        if (!moment.Return && !Resolve(run, fault, &places[moment.Fault])) {
            return Fail(kExitRunFailed, scenario.Origin + ":" + std::to_string(fault.Line) +
                                            ": no drive of LUN " + std::to_string(fault.Lun) +
                                            " has a current path to fault");
        }
        title = run->Storage->Apply(fault, places[moment.Fault], moment.Return);
        const ResolvedPlace &place = places[moment.Fault];
        MarkFault(run, fault, place, moment.Return);
        detail = moment.Return && !place.ReturnDetail.empty() ? place.ReturnDetail : place.Detail;
        if (fault.Action == scenario::FaultAction::UnitAttention) {
            detail += (detail.empty() ? "" : "; ") + fault.Attention;
        }
        std::string state = run->Storage->FaultState();
        if (!state.empty()) {
            detail += (detail.empty() ? "" : "; ") + state;
        }
        phaseStart = run->ClockMs;
        run->Io->Pass(0);
    }
    if (run->Load != nullptr) {
        Settle(run);
        run->Load->StartReadBack();
        Settle(run);
    }
    ReportPhase(run, moments.size() + 1, title,
                run->Load == nullptr ? detail : detail + (detail.empty() ? "" : "; ") + "then every block read back",
                phaseStart, run->ClockMs);
    return kContinue;
}

// The workload on every LUN the driver claimed, with every block written
// before the faults begin.
void StartWorkload(Run *run)
{
    std::vector<scenario::WorkloadLun> luns;
    for (uint32_t lun : run->Scenario.Luns) {
        size_t disk = 0;
        if (DiskOfLun(*run->Host, lun, &disk)) {
            luns.push_back(scenario::WorkloadLun{lun, disk, run->Scenario.LunBlocks});
        }
    }
    run->Load = std::make_unique<scenario::VerifiedWorkload>(run->Scenario.Load, run->Io.get(), luns);
    run->Load->StartFill();
    Settle(run);
    run->Timeline.Note(" (the workload writes every block first and reads every block back last)");
}

// The timeline's watcher, hearing of every request and every step (when
// requests are made).
void StartWatching(Run *run)
{
    if (!DriverStarted(*run) || run->Storage == nullptr) {
        return;
    }
    run->Watch = std::make_unique<scenario::Watcher>(run->Host.get(), run->Scenario, run->Topology,
                                                     run->BootSystemTime, run->ClockStart, &run->Timeline);
    scenario::Watcher *watch = run->Watch.get();
    if (run->Io != nullptr) {
        run->Io->Watch([watch](const scenario::Completion &completion) { watch->Completed(completion); },
                       [watch]() { watch->Sample(); });
    }
}

// Step 6: the clock runs through the phases of the timeline, stepped (or
// with the wall clock when asked and there is nothing to drive, or when
// the storage answers in real time).
int RunTimeline(Run *run)
{
    const scenario::Scenario &scenario = run->Scenario;
    uint64_t duration = scenario.DurationMs;
    bool driven = scenario.Load.Enabled || !scenario.Faults.empty();
    bool realTime = StorageNeedsRealTime(*run);
    if (run->Options.RealTime && driven && !realTime) {
        return Fail(kExitBadInput, "--real-time runs the clock alone; a workload or faults need the stepped clock");
    }
    Progress(*run, 6, "running the clock for " + std::to_string(duration) + " ms" +
                          (run->Options.RealTime || realTime ? " of real time" : "") +
                          (scenario.Load.Enabled ? " with the verified workload" : "") +
                          (scenario.Faults.empty() ? "" : " through " + Count(scenario.Faults.size(), "fault")));
    run->ClockStart = host::InterruptTime();
    if (!driven && (run->Options.RealTime || realTime)) {
        StartWatching(run);
        host::SetRealTime(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(duration));
        host::SetRealTime(false);
        if (run->Watch != nullptr) {
            run->Watch->Sample();
        }
        run->ClockMs = duration;
        ReportPhase(run, 1, "the run", "", 0, duration);
        return kContinue;
    }

    if (realTime) {
        host::SetRealTime(true);    // on since discovery, unless the driver never got that far
    }
    run->Io = std::make_unique<scenario::Requests>(run->Host.get(), realTime);
    bool canRun = DriverStarted(*run) && run->Storage != nullptr;
    StartWatching(run);
    if (scenario.Load.Enabled && canRun) {
        StartWorkload(run);
    }
    int status = RunPhases(run, canRun ? MomentsOf(scenario) : std::vector<Moment>());
    host::SetRealTime(false);
    return status;
}

// The last word: what became of the data, and whether that is what the
// scenario allows.
int ReportData(const Run &run)
{
    const scenario::DataVerdict &verdict = run.Load->Verdict();
    bool expectErrors = run.Scenario.Load.ExpectErrors;
    Section("Data");
    for (const std::string &detail : verdict.Details) {
        std::cout << "  " << detail << "\n";
    }
    if (run.Io->InFlight() != 0) {
        std::cout << "  " << Count(run.Io->InFlight(), "request") << " never completed\n";
    }
    for (const scenario::TimelineStall &stall : run.Timeline.Stalls()) {
        std::cout << "Failover: " << run.Timeline.StallText(stall) << "\n";
    }
    const unsigned faults = run.Host != nullptr ? run.Host->RoutingFaults() : 0;
    std::cout << "Routing: " << faults << " requests sent to a path the driver could no longer name\n";
    std::cout << "Data: " << verdict.BlocksWritten << " blocks written, " << verdict.BlocksRead << " read back, "
              << verdict.Mismatches << " mismatches, " << verdict.Errors << " errors surfaced"
              << (expectErrors ? " (the scenario expects errors: it leaves no path for longer than MPIO holds "
                                 "requests)"
                               : "")
              << "\n";
    if (faults != 0) {
        return Fail(kExitRunFailed, "the driver routed requests to paths it could no longer name");
    }
    if (verdict.Mismatches != 0) {
        return Fail(kExitRunFailed, "data lost: " + Count(verdict.Mismatches, "block") + " read back " +
                                        (verdict.Mismatches == 1 ? "differs" : "differ") +
                                        " from what was written");
    }
    if (run.Io->InFlight() != 0) {
        return Fail(kExitRunFailed, Count(run.Io->InFlight(), "request") + " never completed");
    }
    if (verdict.Errors != 0 && !expectErrors) {
        return Fail(kExitRunFailed,
                    Count(verdict.Errors, "request") + " failed to the workload, where the scenario allows none");
    }
    if (verdict.Errors == 0 && expectErrors) {
        return Fail(kExitRunFailed, "the scenario expects requests to fail to the workload, and none did");
    }
    return kExitSuccess;
}

// The timeline as CSV and as a picture, when asked for.
int WriteTimeline(const Run &run)
{
    const CommandLine &options = run.Options;
    if (!options.TimelineData.empty() && !scenario::ReplaceFile(options.TimelineData, run.Timeline.Csv())) {
        return Fail(kExitBadInput, "--timeline-data: cannot write " + options.TimelineData + ": " + scenario::FileError());
    }
    std::string error;
    const scenario::Scenario &scenario = run.Scenario;
    std::string title = "Scenario \"" + scenario.Name + "\"" +
                        (scenario.Description.empty() ? "" : ": " + scenario.Description);
    std::vector<scenario::TimelineStall> stalls = run.Timeline.Stalls();
    if (!stalls.empty()) {
        title += "\n" + run.Timeline.StallText(stalls[0]) +
                 (stalls.size() > 1 ? " (and " + Count(stalls.size() - 1, "more failover") + ")" : "");
    }
    if (!options.TimelineFile.empty() && !scenario::DrawTimeline(run.Timeline, options.TimelineFile, title, &error)) {
        return Fail(kExitBadInput, "--timeline: " + error);
    }
    return kContinue;
}

// Step 7: what an administrator would look at.
int Report(Run *run)
{
    Progress(*run, 7, "reporting");
    const scenario::Scenario &scenario = run->Scenario;
    mpio::Host &mpioHost = *run->Host;

    Section("Configuration read by the driver");
    if (mpioHost.Registered()) {
        PrintConfiguration(*static_cast<const DSM_CONTEXT *>(mpioHost.Record().DsmContext));
    } else {
        std::cout << "(the driver did not start; its configuration is gone with its context)\n";
    }

    Section("Periodic timer");
    std::cout << "The clock ran " << run->ClockMs << " ms after start";
    if (mpioHost.Registered()) {
        // The driver's own count; the clock's DPC count would include MPIO's timers.
        auto *context = static_cast<DSM_CONTEXT *>(mpioHost.Record().DsmContext);
        KIRQL oldIrql;
        DsmAcquireLock(context, &oldIrql);
        ULONGLONG runs = context->TickCount;
        DsmReleaseLock(context, oldIrql);
        std::cout << "; the driver's timer fired " << runs << " times (first after 1 s, then every 100 ms)";
    }
    std::cout << ".\n";

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
        if (!scenario::ReplaceFile(run->Options.ExportRegistry, host::RegistryExport())) {
            return Fail(kExitBadInput,
                        "--export-registry: cannot write " + run->Options.ExportRegistry + ": " + scenario::FileError());
        }
    }
    if (!DriverStarted(*run)) {
        return Fail(kExitRunFailed, "the driver did not start: DriverEntry returned " +
                                        std::string(DsmStatusName(run->Status)) +
                                        (run->Host->RefusalReason().empty()
                                             ? ""
                                             : ", MPIO refused: " + run->Host->RefusalReason()));
    }
    int status = WriteTimeline(*run);
    if (status != kContinue) {
        return status;
    }
    if (run->Load != nullptr) {
        return ReportData(*run);
    }
    return kExitSuccess;
}

// The wall clock's threads end before the machine they drive (and before
// the process, whatever way a step leaves).
struct RealTimeOff {
    ~RealTimeOff() { host::SetRealTime(false); }
};

int RunSteps(int argc, char **argv)
{
    Run run;
    RealTimeOff realTimeOff;
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
        status = RunTimeline(&run);
    }
    if (status == kContinue) {
        status = Report(&run);
    }
    host::SetRealTime(false);
    run.Host.reset();
    // Torn down under the lock: an interruption now waits for it to end.
    std::lock_guard<std::mutex> lock(g_storageLock);
    g_storage = nullptr;
    run.Load.reset();
    run.Io.reset();
    run.Storage.reset();
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    // Blocked before any thread starts, so every thread inherits the mask
    // and only the watcher takes the signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::thread(WatchStopSignals, stopSignals).detach();

    // Whatever escapes a step is a fault of the run, reported on one line
    // with the documented status rather than as the library's dump.
    try {
        return RunSteps(argc, argv);
    } catch (const std::exception &failure) {
        return Fail(kExitRunFailed, std::string("the run failed: ") + failure.what());
    }
}
