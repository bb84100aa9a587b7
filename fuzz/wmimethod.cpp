/*++

Module Name:

    wmimethod.cpp

Abstract:

    Fuzzes what a management client asks of the driver's WMI blocks on a
    running machine (started once: the default scenario with
    16-character serial numbers).  The first byte picks a method, whose
    input is the rest, or a query, whose block, instance count, buffer
    size and identifier list the rest gives.  Whatever comes in: no
    method has output, the status is one the methods document, a drive's
    policy changes only when the input names its serial number exactly
    and a policy that is one; a query writes only the buffer it was
    given and the lengths it was asked for, and says how much it needs.

--*/

#include "fuzzdriver.h"
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
    std::vector<PVOID> Ids;     // the first disk's identifiers, one a path
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
    for (const mpio::Device &device : machine->Host->Devices()) {
        if (device.Group == 0 && device.DsmId != nullptr) {
            machine->Ids.push_back(device.DsmId);
        }
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

// A query of a block with whatever sizes and identifiers the input
// gives: the identifiers are the disk's, repeated, or ones the driver
// never gave out.
void Query(Machine &machine, const uint8_t *data, size_t size)
{
    uint8_t shape[6] = {};
    memcpy(shape, data, std::min(size, sizeof(shape)));
    const ULONG guidIndex = shape[0] % 8;
    const ULONG instances = shape[1] % 4;
    const ULONG room = (ULONG)(shape[2] | shape[3] << 8) % 4096;
    const size_t count = shape[4] % 12;
    const bool lengths = (shape[5] & 1) == 0;
    std::vector<uint8_t> idBytes(FIELD_OFFSET(DSM_IDS, IdList) + std::max<size_t>(count, 1) * sizeof(PVOID), 0);
    auto *ids = reinterpret_cast<PDSM_IDS>(idBytes.data());
    ids->Count = (ULONG)count;
    for (size_t i = 0; i < count; i++) {
        const uint8_t pick = 6 + i < size ? data[6 + i] : 0;
        ids->IdList[i] = pick < 0xF0 ? machine.Ids[pick % machine.Ids.size()] : reinterpret_cast<PVOID>(&idBytes);
    }
    constexpr ULONG kUntouched = 0xA5A5A5A5;
    std::vector<ULONG> lengthArray(4, kUntouched);
    std::vector<uint8_t> buffer(room);
    ULONG needed = kUntouched;
    const DSM_WMILIB_CONTEXT &wmi = machine.Host->Record().DsmWmiInfo;
    IRP irp{};
    NTSTATUS status = host::CallDriver("QueryWmiDataBlock", wmi.QueryWmiDataBlock, machine.Host->Record().DsmContext,
                                       ids, &irp, guidIndex, ULONG(0), instances,
                                       lengths ? lengthArray.data() : nullptr, room,
                                       room != 0 ? buffer.data() : nullptr, &needed);
    host::ClearEventLog();
    for (size_t i = 1; i < lengthArray.size(); i++) {
        if (lengthArray[i] != kUntouched) {
            abort();    // one instance is answered at most
        }
    }
    if (status == STATUS_SUCCESS) {
        if (instances == 0 || !lengths || lengthArray[0] > room || lengthArray[0] > needed) {
            abort();
        }
    } else if (status == STATUS_BUFFER_TOO_SMALL) {
        if (needed <= room || lengthArray[0] != kUntouched) {
            abort();    // says what it needs, and writes no length for an answer it did not give
        }
    } else if (status != STATUS_INVALID_PARAMETER && status != STATUS_UNSUCCESSFUL &&
               status != STATUS_WMI_GUID_NOT_FOUND) {
        abort();
    }
    if ((instances == 0 || !lengths) && status != STATUS_INVALID_PARAMETER) {
        abort();    // with no instance asked for there is no length to write
    }
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
    if (data[0] % 8 >= 5) {
        Query(*machine, data + 1, size - 1);
        return 0;
    }
    const ULONG method = data[0] % 8;
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
