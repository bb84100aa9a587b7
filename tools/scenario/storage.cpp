/*++

Module Name:

    storage.cpp

Abstract:

    The simulated dual-controller array as the runner's storage, with
    every fault switch it has; the choice of storage; a stray host's write.

--*/

#include "storage.h"

#include "mpiohost.h"
#include "workload.h"

namespace scenario {

#ifdef TARN_WITH_ISCSI
std::unique_ptr<Storage> MakeTgtdStorage(const Scenario &scenario);
#endif

namespace {

array::UnitAttention AttentionKind(const std::string &name)
{
    if (name == "it_nexus_loss") {
        return array::UnitAttention::ItNexusLoss;
    }
    if (name == "parameters_changed") {
        return array::UnitAttention::ParametersChanged;
    }
    return array::UnitAttention::PowerOnReset;
}

class SimulatedStorage : public Storage {
public:
    explicit SimulatedStorage(const Scenario &scenario) : scenario_(scenario) {}

    std::string Refusal(const Fault &) const override { return ""; }

    bool Start(mpio::Topology *topology, std::string *error, bool *badInput) override
    {
        // The array refuses only what the scenario asks of it.
        *badInput = true;
        return BuildStorage(scenario_, &array_, topology, error);
    }

    array::ScsiTarget &Target() override { return *array_; }

    std::string Description() const override { return "dual-controller array"; }

    bool NeedsRealTime() const override { return false; }

    std::string TargetPortText(uint32_t targetPort) const override
    {
        return "controller " + std::to_string(array::SimulatedArray::ControllerOf(targetPort)) + " port " +
               std::to_string(array::SimulatedArray::PortOf(targetPort));
    }

    std::string Apply(const Fault &fault, const ResolvedPlace &where, bool isReturn) override;

private:
    const Scenario &scenario_;
    std::unique_ptr<array::SimulatedArray> array_;
};

std::string SimulatedStorage::Apply(const Fault &fault, const ResolvedPlace &where, bool isReturn)
{
    array::SimulatedArray &storage = *array_;
    if (fault.Action == FaultAction::ControllerFailure) {
        if (isReturn) {
            storage.RestoreController(fault.Controller);
            return "controller " + std::to_string(fault.Controller) + " restored";
        }
        storage.FailController(fault.Controller);
        return "controller " + std::to_string(fault.Controller) + " failed";
    }
    if (fault.Action == FaultAction::StrayWrite) {
        bool done = StrayWrite(storage, 0, fault.Lun, fault.Block);
        return "stray write on LUN " + std::to_string(fault.Lun) + ": block " + std::to_string(fault.Block + 1) +
               " copied over block " + std::to_string(fault.Block) + (done ? "" : " (the array refused it)");
    }
    if (fault.Action == FaultAction::UnitAttention) {
        for (const array::Scope &scope : where.Scopes) {
            storage.RaiseUnitAttention(scope, AttentionKind(fault.Attention));
        }
        return "unit attention on " + where.Place;
    }
    static const struct {
        FaultAction Action;
        array::Fault Switch;
        const char *Begins;
        const char *Ends;
    } switches[] = {
        {FaultAction::LinkDown, array::Fault::LinkDown, "link down", "link up"},
        {FaultAction::NoAnswer, array::Fault::NoAnswer, "link hung", "hung link answers"},
        {FaultAction::Busy, array::Fault::Busy, "busy", "busy no more"},
        {FaultAction::LunNotSupported, array::Fault::LunNotSupported, "LUN not supported", "LUN supported again"},
    };
    for (const auto &entry : switches) {
        if (entry.Action == fault.Action) {
            for (const array::Scope &scope : where.Scopes) {
                if (isReturn) {
                    storage.ClearFault(scope, entry.Switch);
                } else {
                    storage.SetFault(scope, entry.Switch);
                }
            }
            return std::string(isReturn ? entry.Ends : entry.Begins) + " on " + where.Place;
        }
    }
    return "?";
}

} // namespace

std::unique_ptr<Storage> MakeStorage(const std::string &kind, const Scenario &scenario)
{
    if (kind == "simulated") {
        return std::make_unique<SimulatedStorage>(scenario);
    }
#ifdef TARN_WITH_ISCSI
    if (kind == "tgtd") {
        return MakeTgtdStorage(scenario);
    }
#endif
    return nullptr;
}

bool StrayWrite(array::ScsiTarget &target, uint32_t targetPort, uint32_t lun, uint64_t block)
{
    // An initiator no path of the topology uses: another host's port.
    const array::Nexus stray{kStrayInitiator, targetPort, lun};
    uint8_t data[kBlockSize];
    auto run = [&](uint8_t opcode, uint64_t lba) {
        const uint8_t cdb[10] = {opcode, 0, (uint8_t)(lba >> 24), (uint8_t)(lba >> 16), (uint8_t)(lba >> 8),
                                 (uint8_t)lba, 0, 0, 1, 0};
        array::Command command;
        command.Cdb = cdb;
        command.CdbLength = sizeof(cdb);
        if (opcode == SCSIOP_WRITE) {
            command.DataOut = data;
            command.DataOutLength = sizeof(data);
        } else {
            command.DataIn = data;
            command.DataInLength = sizeof(data);
        }
        // The first commands of a new initiator meet its pending unit attentions.
        for (int attempt = 0; attempt < 8; attempt++) {
            array::Result result = target.Execute(stray, command);
            if (result.Outcome == array::Transport::Completed && result.Status == array::kStatusGood) {
                return true;
            }
        }
        return false;
    };
    return run(SCSIOP_READ, block + 1) && run(SCSIOP_WRITE, block);
}

} // namespace scenario
