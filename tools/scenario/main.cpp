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

#include <chrono>
#include <cstring>
#include <memory>
#include <fstream>
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

Exit status: 0 when the driver started, 1 when it did not, 2 when the
scenario or the options are wrong.)";

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

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"dsmscenario: runs the multipath DSM in the emulated host framework and reports what happened."};
    app.footer(kUsageFooter);

    std::string scenarioFile;
    std::string registryFile;
    std::string mpioVersion;
    std::string traceFlags;
    int64_t duration = -1;
    std::string exportRegistry;
    bool printDefault = false;
    bool realTime = false;
    bool eventDetails = false;

    app.add_option("scenario", scenarioFile, "Scenario file (TOML); the built-in default when omitted")
        ->check(CLI::ExistingFile);
    app.add_option("-r,--registry", registryFile, "Registry configuration (.reg) replacing the scenario's")
        ->check(CLI::ExistingFile);
    app.add_option("-m,--mpio-version", mpioVersion, "MPIO version the host reports, e.g. 1.20.0.0");
    app.add_option("-t,--trace", traceFlags,
                   "Trace session flags replacing the scenario's: comma-separated error, warning, trace, or all");
    app.add_option("-d,--duration", duration, "Milliseconds the clock runs after start")->check(CLI::Range(0, 86400000));
    app.add_option("--export-registry", exportRegistry, "Write the registry as a .reg file after the run");
    app.add_flag("-e,--event-details", eventDetails,
                 "Show each event as Event Viewer's properties do: type, source, ID, date, time, description "
                 "and the entry's data bytes");
    app.add_flag("--real-time", realTime,
                 "Run the clock with the wall clock, DPCs and work items on their own threads, instead of "
                 "stepping it");
    app.add_flag("--print-default", printDefault, "Print the built-in default scenario and its .reg file, then exit");

    CLI11_PARSE(app, argc, argv);

    if (printDefault) {
        std::cout << "# default.toml\n" << scenario::DefaultScenarioText() << "\n# default.reg\n"
                  << scenario::DefaultRegistryText();
        return 0;
    }

    scenario::Scenario run;
    std::string error;
    if (scenarioFile.empty()) {
        // The default's registry file is compiled in beside it.
        auto builtIn = [](const std::string &path, std::string *text) {
            if (path != "default.reg") {
                return false;
            }
            *text = scenario::DefaultRegistryText();
            return true;
        };
        run.RegistryOrigin = "built-in default.reg";
        if (!scenario::Parse(scenario::DefaultScenarioText(), "built-in default", "", builtIn, &run, &error)) {
            std::cerr << "dsmscenario: " << error << "\n";
            return 2;
        }
    } else {
        std::string text;
        if (!scenario::ReadFile(scenarioFile, &text)) {
            std::cerr << "dsmscenario: cannot read " << scenarioFile << "\n";
            return 2;
        }
        std::string directory = scenarioFile.find('/') == std::string::npos
                                    ? "."
                                    : scenarioFile.substr(0, scenarioFile.rfind('/'));
        if (!scenario::Parse(text, scenarioFile, directory, scenario::ReadFile, &run, &error)) {
            std::cerr << "dsmscenario: " << error << "\n";
            return 2;
        }
    }

    if (!registryFile.empty()) {
        if (!scenario::ReadFile(registryFile, &run.RegistryText)) {
            std::cerr << "dsmscenario: cannot read " << registryFile << "\n";
            return 2;
        }
        run.RegistryOrigin = registryFile;
    }
    if (!mpioVersion.empty()) {
        run.MpioVersion = mpioVersion;
    }
    if (!traceFlags.empty()) {
        run.TraceFlags = 0;
        std::stringstream list(traceFlags);
        std::string flag;
        while (std::getline(list, flag, ',')) {
            if (flag == "error") {
                run.TraceFlags |= TRDSM_ERROR_LEVEL;
            } else if (flag == "warning") {
                run.TraceFlags |= TRDSM_WARNING_LEVEL;
            } else if (flag == "trace") {
                run.TraceFlags |= TRDSM_TRACE_LEVEL;
            } else if (flag == "all") {
                run.TraceFlags |= TRDSM_ERROR_LEVEL | TRDSM_WARNING_LEVEL | TRDSM_TRACE_LEVEL;
            } else {
                std::cerr << "dsmscenario: --trace: \"" << flag << "\" is not error, warning, trace or all\n";
                return 2;
            }
        }
    }
    if (duration >= 0) {
        run.DurationMs = (uint64_t)duration;
    }

    uint32_t version[4];
    if (!scenario::ParseVersion(run.MpioVersion, version)) {
        std::cerr << "dsmscenario: MPIO version \"" << run.MpioVersion << "\" must look like 1.20.0.0\n";
        return 2;
    }

    host::ResetMachine();
    // Event times read as the moment of the run.
    auto sinceUnixEpoch = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    host::SetBootSystemTime((sinceUnixEpoch.count() + 11644473600LL * 1000000) * 10);
    if (!host::RegistryImport(run.RegistryText, &error)) {
        std::cerr << "dsmscenario: " << run.RegistryOrigin << ": " << error << "\n";
        return 2;
    }
    TarnRegisterMessages(std::u16string(run.ServiceName.begin(), run.ServiceName.end()));
    TarnRegisterTraceFormats();

    std::cout << "Scenario:  " << run.Name << (run.Description.empty() ? "" : " - " + run.Description) << "\n"
              << "From:      " << run.Origin << "\n"
              << "Registry:  " << run.RegistryOrigin << "\n"
              << "MPIO:      version " << run.MpioVersion << "\n";

    mpio::HostOptions options;
    options.Version = {version[0], version[1], version[2], version[3]};
    mpio::Host mpioHost(options);

    // A trace session started with the system, as the boot-time logger is.
    if (run.TraceFlags != 0) {
        host::RegistrySetDword("\\Registry\\Machine\\System\\CurrentControlSet\\Control\\WMI\\GlobalLogger\\"
                               "851d1af8-2933-441c-8b21-fefb85083c5a",
                               "Start", 1);
        host::RegistrySetDword("\\Registry\\Machine\\System\\CurrentControlSet\\Control\\WMI\\GlobalLogger\\"
                               "851d1af8-2933-441c-8b21-fefb85083c5a",
                               "Flags", run.TraceFlags);
    }

    NTSTATUS status = mpioHost.LoadDriver(DriverEntry, run.ServiceName);
    std::cout << "Driver:    " << run.ServiceName << " " << TARN_DRIVER_VERSION << ", DriverEntry returned "
              << DsmStatusName(status) << " (" << Hex((uint32_t)status) << ")";
    if (mpioHost.Registered()) {
        std::cout << ", registered with MPIO (context " << Hex(mpioHost.MpioContext()) << ")";
    } else if (!mpioHost.RefusalReason().empty()) {
        std::cout << ", MPIO refused: " << mpioHost.RefusalReason();
    }
    std::cout << "\n";

    // The storage MPIO finds at boot.
    std::unique_ptr<array::SimulatedArray> storage;
    if (run.HasTopology && mpioHost.Registered()) {
        array::ArrayConfig config;
        for (uint32_t lun : run.Luns) {
            config.Units.push_back(array::LogicalUnitConfig{lun, run.LunBlocks, 512});
        }
        array::ParseIdentifierStyle(run.Identifiers, &config.Identifiers);
        config.StatusBufferLength = run.StatusBufferLength ? run.StatusBufferLength : config.StatusBufferLength;
        try {
            storage = std::make_unique<array::SimulatedArray>(config);
        } catch (const std::exception &failure) {
            std::cerr << "dsmscenario: " << run.Origin << ": [topology]: " << failure.what() << "\n";
            return 2;
        }
        mpio::Topology topology;
        for (const scenario::Path &path : run.Paths) {
            topology.Paths.push_back(mpio::PathSpec{(UCHAR)path.Port, (UCHAR)path.Bus, (UCHAR)path.Target,
                                                    path.Controller * array::kPortsPerController +
                                                        path.ControllerPort});
        }
        for (uint32_t lun : run.Luns) {
            topology.Luns.push_back((UCHAR)lun);
        }
        mpioHost.Discover(storage.get(), topology);
        std::cout << "Storage:   dual-controller array, " << run.Luns.size() << " LUNs, " << run.Paths.size()
                  << " paths each; MPIO found " << mpioHost.Devices().size() << " disk devices, the DSM claimed ";
        size_t claimed = 0;
        for (const mpio::Device &device : mpioHost.Devices()) {
            claimed += NT_SUCCESS(device.ClaimStatus) ? 1 : 0;
        }
        std::cout << claimed << " as " << mpioHost.Disks().size() << " multipath disks\n";
        for (const std::string &problem : mpioHost.DiscoveryProblems()) {
            std::cout << "           skipped " << problem << "\n";
        }
    }

    uint64_t dpcRunsBefore = host::DpcRuns();
    if (realTime) {
        host::SetRealTime(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(run.DurationMs));
        host::SetRealTime(false);
    } else {
        host::ClockAdvance(run.DurationMs);
    }

    Section("System event log");
    auto events = host::EventLog();
    if (events.empty()) {
        std::cout << "(no entries)\n";
    }
    for (size_t i = 0; i < events.size(); i++) {
        if (eventDetails) {
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

    if (run.HasTopology && mpioHost.Registered()) {
        Section("Logical drives and paths");
        PrintDrives(*static_cast<const DSM_CONTEXT *>(mpioHost.Record().DsmContext));
        std::cout << "(Paths stay in INIT_START with controller and port unknown until MPIO binds and verifies "
                     "them; this version claims and groups paths only.)\n";
    }

    Section("Periodic timer");
    std::cout << "The clock ran " << run.DurationMs << " ms after start; the timer fired "
              << host::DpcRuns() - dpcRunsBefore << " times (first after 1 s, then every 100 ms).\n";

    if (run.TraceFlags != 0) {
        Section("Trace");
        std::vector<std::string> lines = host::RenderTraces(run.TraceFlags);
        if (lines.empty()) {
            std::cout << "(no messages at the enabled levels)\n";
        }
        for (const std::string &line : lines) {
            std::cout << line << "\n";
        }
    }

    if (!exportRegistry.empty()) {
        std::ofstream out(exportRegistry, std::ios::binary);
        out << host::RegistryExport();
        if (!out) {
            std::cerr << "dsmscenario: cannot write " << exportRegistry << "\n";
            return 2;
        }
    }
    return NT_SUCCESS(status) ? 0 : 1;
}
