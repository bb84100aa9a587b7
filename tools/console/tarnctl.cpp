/*++

Module Name:

    tarnctl.cpp

Abstract:

    tarnctl, the administrator's console: starts the emulated host
    framework with the DSM against the simulated array of a scenario
    (the built-in default one unless told otherwise), and then, as a
    platform's multipath tool does, lists the multipath disks and their
    paths or changes a disk's preferred path or policy.  Everything it
    shows comes from the DSM's WMI blocks, and every change goes through
    the DSM's WMI methods; with --registry the registry is read from a
    .reg file at start and written back after a change, so the change is
    there at the next start, as it would be after a reboot.

--*/

#include "listing.h"
#include "readscenario.h"
#include "scenario.h"
#include "toolnames.h"

#include "mpiohost.h"
#include "simarray.h"
#include "tarn.h"
#include "tarnresources.h"
#include "tarnwmi.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

namespace {

const char *kUsageFooter = R"(
Commands:
  list                        the multipath disks and their paths (the default)
  set-preferred DISK ADDRESS  make the path at ADDRESS (port:bus:target:lun)
                              the disk's preferred path
  set-policy DISK POLICY      set the disk's path selection policy: failover,
                              failback or round_robin

DISK is a disk number, an instance name (MPIO_DISK0_0) or a serial number.
The machine is the one the scenario describes (the runner's built-in
default when none is given): its array, its paths and its registry.
With --registry the registry comes from that .reg file, and a change is
written back to it, so the next start finds it.

Exit status:
  0  done
  1  the driver did not start, or it refused or failed the request
  2  wrong options or input: an unknown disk, a bad address, an unknown
     policy, a file that cannot be read or written)";

enum ExitStatus : int {
    kExitSuccess = 0,
    kExitFailed = 1,
    kExitBadInput = 2,
};
constexpr int kContinue = -1;

// After start and after a change the clock runs this long, so the
// driver's timer has run its failback pass (every second).
constexpr uint64_t kSettleMs = 2000;

constexpr ULONG kMethodSetPreferredPath = 2;
constexpr ULONG kMethodSetDrivePolicy = 3;
// SetPathSelectionPolicyForSingleLd: the policy, the serial number's byte
// count and its UTF-16 characters, in room for 16 characters at least.
constexpr size_t kDrivePolicyInput = 4 + 2 + 2 * 16;
constexpr size_t kMethodSerialChars = 16;

struct CommandLine {
    std::string ScenarioFile;
    std::string RegistryFile;
    std::string Identifiers;
    bool Json = false;
    std::string Command = "list";
    std::string Disk;
    std::string Value;              // the address or the policy
};

int Fail(int status, const std::string &message)
{
    std::cout.flush();
    std::cerr << "tarnctl: " << message << "\n";
    return status;
}

std::string StatusText(NTSTATUS status)
{
    char hex[16];
    snprintf(hex, sizeof(hex), "0x%08X", (unsigned)status);
    std::string name = DsmStatusName(status);
    return name == hex ? name : name + " (" + hex + ")";
}

void OnVerifierFailure(const std::string &message)
{
    std::cout.flush();
    std::cerr << "tarnctl: *** VERIFIER: " << message << "\n";
    std::_Exit(kExitFailed);
}

// "port:bus:target:lun", each 0 to 255.
bool ParseAddress(const std::string &text, uint8_t address[4])
{
    std::istringstream in(text);
    for (int i = 0; i < 4; i++) {
        std::string part;
        if (!std::getline(in, part, i < 3 ? ':' : '\n') || part.empty() || part.size() > 3 ||
            part.find_first_not_of("0123456789") != std::string::npos || std::stoul(part) > 255) {
            return false;
        }
        address[i] = (uint8_t)std::stoul(part);
    }
    return in.peek() == EOF;
}

int ParseOptions(int argc, char **argv, CommandLine *options)
{
    CLI::App app{"tarnctl: lists the multipath disks the DSM manages and changes a disk's preferred path or "
                 "policy, through the DSM's WMI blocks and methods."};
    app.footer(kUsageFooter);
    app.add_option("-s,--scenario", options->ScenarioFile,
                   "Scenario (TOML) whose array, paths and registry make the machine; the built-in default when "
                   "omitted");
    app.add_option("-r,--registry", options->RegistryFile,
                   "Registry (.reg) read at start, replacing the scenario's, and written back after a change");
    app.add_option("--identifiers", options->Identifiers,
                   "How the array names its logical units, replacing the scenario's: standard, short or names");
    app.add_flag("--json", options->Json, "The listing as JSON, for scripts");
    app.require_subcommand(0, 1);
    app.add_subcommand("list", "List the multipath disks and their paths");
    CLI::App *preferred = app.add_subcommand("set-preferred", "Set a disk's preferred path");
    preferred->add_option("disk", options->Disk, "Disk number, instance name or serial number")->required();
    preferred->add_option("address", options->Value, "The path's port:bus:target:lun")->required();
    CLI::App *policy = app.add_subcommand("set-policy", "Set a disk's path selection policy");
    policy->add_option("disk", options->Disk, "Disk number, instance name or serial number")->required();
    policy->add_option("policy", options->Value, "failover, failback or round_robin")->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &failure) {
        if (failure.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            app.exit(failure);      // --help
            return kExitSuccess;
        }
        return Fail(kExitBadInput, failure.what());
    }
    options->Command = preferred->parsed() ? "set-preferred" : policy->parsed() ? "set-policy" : "list";
    uint8_t address[4];
    if (options->Command == "set-preferred" && !ParseAddress(options->Value, address)) {
        return Fail(kExitBadInput,
                    "bad path address \"" + options->Value + "\": give port:bus:target:lun, each 0 to 255");
    }
    if (options->Command == "set-policy" && tools::PolicyCode(options->Value) == 0) {
        return Fail(kExitBadInput,
                    "unknown policy \"" + options->Value + "\": give failover, failback or round_robin");
    }
    return kContinue;
}

// The machine: the scenario's array and topology, its registry (or the
// one given), the host framework with the driver loaded, the disks
// discovered.  The host is declared after the storage so it goes first.
struct Machine {
    scenario::Scenario Scenario;
    std::unique_ptr<array::SimulatedArray> Storage;
    mpio::Topology Topology;
    std::unique_ptr<mpio::Host> Host;
};

int ReadScenario(const CommandLine &options, scenario::Scenario *result)
{
    std::string error;
    if (!tools::ReadScenario(options.ScenarioFile, options.RegistryFile, result, &error)) {
        return Fail(kExitBadInput, error);
    }
    if (!options.Identifiers.empty()) {
        array::IdentifierStyle style;
        if (!array::ParseIdentifierStyle(options.Identifiers, &style)) {
            return Fail(kExitBadInput, "--identifiers: \"" + options.Identifiers + "\" is not standard, short or names");
        }
        result->Identifiers = options.Identifiers;
    }
    if (!result->HasTopology) {
        return Fail(kExitBadInput, result->Origin + ": no [topology]: there are no disks to manage");
    }
    return scenario::ValidateTopology(*result, &error) ? kContinue : Fail(kExitBadInput, error);
}

int StartMachine(Machine *machine)
{
    const scenario::Scenario &scenario = machine->Scenario;
    std::string error;
    if (!scenario::BuildStorage(scenario, &machine->Storage, &machine->Topology, &error)) {
        return Fail(kExitBadInput, error);
    }

    host::ResetMachine();
    host::SetVerifierHandler(OnVerifierFailure);
    if (!scenario::ApplyRegistry(scenario, &error)) {
        return Fail(kExitBadInput, error);
    }

    uint32_t version[4] = {};
    if (!scenario::ParseVersion(scenario.MpioVersion, version)) {
        return Fail(kExitBadInput, "MPIO version \"" + scenario.MpioVersion + "\" must look like 1.20.0.0");
    }
    machine->Host = std::make_unique<mpio::Host>(scenario::HostOptionsOf(scenario, version));
    NTSTATUS status = machine->Host->LoadDriver(DriverEntry, scenario.ServiceName);
    if (!NT_SUCCESS(status) || !machine->Host->Registered()) {
        return Fail(kExitFailed, "the driver did not start: DriverEntry returned " + StatusText(status));
    }
    machine->Host->Discover(machine->Storage.get(), machine->Topology);
    host::ClockAdvance(kSettleMs);
    host::DrainWorkItems();
    return kContinue;
}

// The disk a DISK argument names: a number, an instance name or a serial number.
bool FindDisk(const console::Listing &listing, const std::string &name, const console::DiskView **found)
{
    for (const console::DiskView &disk : listing.Disks) {
        if (name == std::to_string(disk.Disk) || name == disk.Instance || strcasecmp(name.c_str(), disk.SerialNumber.c_str()) == 0) {
            *found = &disk;
            return true;
        }
    }
    return false;
}

std::string DiskNames(const console::Listing &listing)
{
    std::string names;
    for (const console::DiskView &disk : listing.Disks) {
        names += (names.empty() ? "" : ", ") + std::to_string(disk.Disk) + " (" + disk.Instance + ")";
    }
    return names.empty() ? "none" : names;
}

// What a change did, told on the output; with --json on the error stream,
// so the output is the listing alone.
std::ostream &Notes(const CommandLine &options)
{
    return options.Json ? std::cerr : std::cout;
}

int WriteRegistryBack(const CommandLine &options)
{
    if (options.RegistryFile.empty()) {
        Notes(options) << "(the change holds until the machine stops; give --registry FILE to keep it)\n";
        return kContinue;
    }
    if (!scenario::ReplaceFile(options.RegistryFile, host::RegistryExport())) {
        return Fail(kExitBadInput, "--registry: cannot write " + options.RegistryFile + ": " + scenario::FileError());
    }
    Notes(options) << "Stored in " << options.RegistryFile << "\n";
    return kContinue;
}

// Calls a method of the DSM's methods block on the disk's instance.
int CallMethod(mpio::Host &host, const console::DiskView &disk, ULONG method, const char *name,
               const std::vector<uint8_t> &input, const std::string &hint, std::ostream &notes)
{
    static const GUID methods = TARN_METHODS_GUID;
    size_t eventsBefore = host::EventLog().size();
    std::vector<uint8_t> output;
    NTSTATUS status = host.WmiExecuteMethod(methods, disk.Instance, method, input, 0, &output);
    if (!NT_SUCCESS(status)) {
        return Fail(kExitFailed, std::string(name) + " on " + disk.Instance + " failed: " + StatusText(status) + hint);
    }
    notes << name << " on " << disk.Instance << ": done\n";
    auto events = host::EventLog();
    for (size_t i = eventsBefore; i < events.size(); i++) {
        notes << "  Event: " << host::EventDescription(events[i]) << "\n";
    }
    return kContinue;
}

int SetPreferred(mpio::Host &host, const console::DiskView &disk, const std::string &text, std::ostream &notes)
{
    uint8_t address[4];
    ParseAddress(text, address);    // checked before the machine started
    std::string paths;
    bool found = false;
    for (const console::PathView &path : disk.Paths) {
        paths += (paths.empty() ? "" : ", ") + console::AddressText(path);
        found = found || (path.Known && path.Port == address[0] && path.Bus == address[1] &&
                          path.Target == address[2] && path.Lun == address[3]);
    }
    if (!found) {
        return Fail(kExitBadInput, "disk " + std::to_string(disk.Disk) + " has no path " + text + "; its paths are " +
                                       (paths.empty() ? "none" : paths));
    }
    return CallMethod(host, disk, kMethodSetPreferredPath, "SetPreferredPath",
                      std::vector<uint8_t>(address, address + 4), "", notes);
}

int SetPolicy(mpio::Host &host, const console::DiskView &disk, const std::string &name, std::ostream &notes)
{
    uint32_t policy = tools::PolicyCode(name);     // checked before the machine started
    const std::string &serial = disk.SerialNumber;
    std::vector<uint8_t> input(std::max(kDrivePolicyInput, 6 + 2 * serial.size()));
    memcpy(input.data(), &policy, sizeof(policy));
    uint16_t bytes = (uint16_t)(2 * serial.size());
    memcpy(input.data() + 4, &bytes, sizeof(bytes));
    for (size_t i = 0; i < serial.size(); i++) {
        input[6 + 2 * i] = (uint8_t)serial[i];
    }
    std::string hint;
    if (serial.size() > kMethodSerialChars) {
        hint = "; the method takes serial numbers of at most " + std::to_string(kMethodSerialChars) +
               " characters, this disk's has " + std::to_string(serial.size());
    }
    return CallMethod(host, disk, kMethodSetDrivePolicy, "SetPathSelectionPolicyForSingleLd", input, hint, notes);
}

int Show(mpio::Host &host, const CommandLine &options)
{
    console::Listing listing;
    std::string problem;
    if (!console::CollectListing(host, &listing, &problem)) {
        return Fail(kExitFailed, problem);
    }
    if (options.Json) {
        console::PrintListingJson(listing, std::cout);
    } else {
        console::PrintListing(listing, std::cout);
    }
    return kExitSuccess;
}

int Run(int argc, char **argv)
{
    CommandLine options;
    int status = ParseOptions(argc, argv, &options);
    Machine machine;
    if (status == kContinue) {
        status = ReadScenario(options, &machine.Scenario);
    }
    if (status == kContinue) {
        status = StartMachine(&machine);
    }
    if (status != kContinue) {
        return status;
    }
    mpio::Host &host = *machine.Host;
    if (options.Command != "list") {
        console::Listing listing;
        std::string problem;
        if (!console::CollectListing(host, &listing, &problem)) {
            return Fail(kExitFailed, problem);
        }
        const console::DiskView *disk = nullptr;
        if (!FindDisk(listing, options.Disk, &disk)) {
            return Fail(kExitBadInput, "no multipath disk \"" + options.Disk + "\"; the disks are " +
                                           DiskNames(listing));
        }
        status = options.Command == "set-preferred" ? SetPreferred(host, *disk, options.Value, Notes(options))
                                                    : SetPolicy(host, *disk, options.Value, Notes(options));
        if (status == kContinue) {
            status = WriteRegistryBack(options);
        }
        if (status != kContinue) {
            return status;
        }
        host::ClockAdvance(kSettleMs);
        host::DrainWorkItems();
        Notes(options) << "\n";
    }
    return Show(host, options);
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception &failure) {
        return Fail(kExitFailed, std::string("failed: ") + failure.what());
    }
}
