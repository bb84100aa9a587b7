/*++

Module Name:

    wmimethod.cpp

Abstract:

    Fuzzes the WMI method inputs a management client sends, through MPIO
    to the driver of a running machine (started once: the default
    scenario with 16-character serial numbers).  The first byte picks the
    method, the rest is its input.  Whatever comes in: no method has
    output, the status is one the methods document, and a drive's policy
    changes only when the input names its serial number exactly and a
    policy that is one.

--*/

#include "scenario.h"

#include "mpiohost.h"
#include "simarray.h"
#include "tarn.h"
#include "tarnwmi.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const GUID kMethods = TARN_METHODS_GUID;
const GUID kDrive = TARN_LD_INFO4_GUID;
const char kInstance[] = "MPIO_DISK0_0";
constexpr size_t kPolicyOffset = 8;     // in the drive block

struct Machine {
    scenario::Scenario Scenario;
    std::unique_ptr<array::SimulatedArray> Storage;
    mpio::Topology Topology;
    std::unique_ptr<mpio::Host> Host;
    std::string Serial;
};

// Starts the machine as tarnctl does; aborts when it cannot.
Machine *Start()
{
    auto *machine = new Machine();
    std::string error;
    auto builtIn = [](const std::string &path, std::string *text) {
        if (path != "default.reg") {
            return false;
        }
        *text = scenario::DefaultRegistryText();
        return true;
    };
    uint32_t version[4] = {};
    if (!scenario::Parse(scenario::DefaultScenarioText(), "built-in default", "", builtIn, &machine->Scenario,
                         &error)) {
        abort();
    }
    machine->Scenario.Identifiers = "short";
    host::ResetMachine();
    if (!scenario::BuildStorage(machine->Scenario, &machine->Storage, &machine->Topology, &error) ||
        !scenario::ApplyRegistry(machine->Scenario, &error) ||
        !scenario::ParseVersion(machine->Scenario.MpioVersion, version)) {
        abort();
    }
    machine->Host = std::make_unique<mpio::Host>(scenario::HostOptionsOf(machine->Scenario, version));
    if (!NT_SUCCESS(machine->Host->LoadDriver(DriverEntry, machine->Scenario.ServiceName))) {
        abort();
    }
    machine->Host->Discover(machine->Storage.get(), machine->Topology);
    host::ClockAdvance(2000);
    host::DrainWorkItems();
    for (const mpio::Device &device : machine->Host->Devices()) {
        if (device.Group == 0 && !device.SerialNumber.empty()) {
            machine->Serial = device.SerialNumber;
            break;
        }
    }
    if (machine->Serial.size() != 16) {
        abort();
    }
    return machine;
}

ULONG DrivePolicy(mpio::Host &host)
{
    std::vector<uint8_t> block;
    if (!NT_SUCCESS(host.WmiQuerySingleInstance(kDrive, kInstance, &block)) || block.size() < kPolicyOffset + 4) {
        abort();
    }
    ULONG policy;
    memcpy(&policy, block.data() + kPolicyOffset, sizeof(policy));
    return policy;
}

bool IsPolicy(ULONG policy)
{
    return policy == TARN_LB_POLICY_FAILOVER || policy == TARN_LB_POLICY_FAILBACK ||
           policy == TARN_LB_POLICY_ROUND_ROBIN;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Machine *machine = Start();
    // Only the methods change the drive's policy: what the last input
    // left is known without asking again.
    static ULONG before = DrivePolicy(*machine->Host);
    if (size == 0) {
        return 0;
    }
    mpio::Host &host = *machine->Host;
    const ULONG method = data[0] % 5;
    std::vector<uint8_t> input(data + 1, data + size);

    std::vector<uint8_t> output;
    NTSTATUS status = host.WmiExecuteMethod(kMethods, kInstance, method, input, 64, &output);
    host::ClearEventLog();
    if (!output.empty()) {
        abort();    // no method has output
    }
    if (status != STATUS_SUCCESS && status != STATUS_INVALID_PARAMETER && status != STATUS_UNSUCCESSFUL) {
        abort();
    }

    // The drive's policy: changed only by method 3 naming it exactly.
    const ULONG after = DrivePolicy(host);
    bool names = false;
    ULONG policy = 0;
    if (method == 3 && input.size() >= 38) {
        uint16_t bytes;
        memcpy(&policy, input.data(), sizeof(policy));
        memcpy(&bytes, input.data() + 4, sizeof(bytes));
        names = bytes == 2 * machine->Serial.size() && 6u + bytes <= input.size();
        for (size_t i = 0; names && i < machine->Serial.size(); i++) {
            names = input[6 + 2 * i] == (uint8_t)machine->Serial[i] && input[7 + 2 * i] == 0;
        }
    }
    if (names && IsPolicy(policy)) {
        if (status != STATUS_SUCCESS || after != policy) {
            abort();
        }
    } else if (after != before) {
        abort();
    }
    before = after;
    return 0;
}
