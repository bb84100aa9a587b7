/*++

Module Name:

    failover_bench.cpp

Abstract:

    Failover: a write sent down a drive's current path whose cable has
    just been pulled, until it completes successfully down the surviving
    path.  The time covers the failing completion, the error judgement,
    the health change and re-choice, MPIO's invalidation and the resend
    on the new path; the link fails at once, so no transport timeout is
    in it.  Between measurements the cable returns and MPIO's periodic
    verification brings the path back (not timed), so every measurement
    fails a healthy, current path over.

--*/

#include "mpiohost.h"
#include "simarray.h"
#include "tarn.h"
#include "tarnresources.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

constexpr const char *kParametersKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tarndsm\\Parameters";

struct FailoverWorld {
    std::unique_ptr<array::SimulatedArray> Array;
    std::unique_ptr<mpio::Host> Host;
    PDSM_CONTEXT Context = nullptr;

    FailoverWorld()
    {
        host::ResetMachine();
        TarnRegisterMessages(u"tarndsm");
        host::RegistrySetMultiString(kParametersKey, "SupportedDeviceList", {"KESTROM TARN 4000 FC    "});
        array::ArrayConfig config;
        config.Units.push_back(array::LogicalUnitConfig{0, 2048, array::kBlockSize});
        Array = std::make_unique<array::SimulatedArray>(config, [] { return int64_t(0); });
        Host = std::make_unique<mpio::Host>();
        Host->LoadDriver(DriverEntry, "tarndsm");
        Context = static_cast<PDSM_CONTEXT>(Host->Record().DsmContext);
        mpio::Topology topology;
        topology.Paths = {{2, 0, 0, 0}, {2, 0, 1, 2}, {3, 0, 0, 1}, {3, 0, 1, 3}};
        topology.Luns = {0};
        Host->Discover(Array.get(), topology);
    }

    // The cable of the drive's current path.
    array::Scope CurrentCable()
    {
        PLD_ENTRY drive = CONTAINING_RECORD(Context->DriveList.Flink, LD_ENTRY, DriveLink);
        KIRQL oldIrql;
        DsmAcquireLock(Context, &oldIrql);
        PVOID current = drive->currentPath;
        DsmReleaseLock(Context, oldIrql);
        for (const mpio::Device &device : Host->Devices()) {
            if (device.DsmId == current) {
                return array::Scope::OnPath(device.Nexus.Initiator, device.Nexus.TargetPort);
            }
        }
        return array::Scope::OnTargetPort(0);
    }

    // The cable returns and MPIO's verification brings the path back.
    void Heal(const array::Scope &cable)
    {
        Array->ClearFault(cable, array::Fault::LinkDown);
        host::ClockAdvance(Host->Options().PathVerificationPeriodMs);
        host::DrainWorkItems();
        Host->WaitIdle();
        host::DrainWorkItems();
    }
};

void BM_Failover(benchmark::State &state)
{
    FailoverWorld world;
    std::vector<uint8_t> block(array::kBlockSize, 0x5A);
    size_t failed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        array::Scope cable = world.CurrentCable();
        world.Array->SetFault(cable, array::Fault::LinkDown);
        state.ResumeTiming();

        auto io = world.Host->SubmitWrite(0, 7, 1, block.data());
        const mpio::IoResult &result = io->Wait();

        state.PauseTiming();
        failed += result.Status == STATUS_SUCCESS ? 0 : 1;
        world.Heal(cable);
        state.ResumeTiming();
    }
    state.counters["errors surfaced"] = (double)failed;
}
BENCHMARK(BM_Failover)->UseRealTime()->Unit(benchmark::kMicrosecond)->Iterations(200);

// The same write on a healthy path, for comparison.
void BM_HealthyWrite(benchmark::State &state)
{
    FailoverWorld world;
    std::vector<uint8_t> block(array::kBlockSize, 0x5A);
    for (auto _ : state) {
        world.Host->SubmitWrite(0, 7, 1, block.data())->Wait();
    }
}
BENCHMARK(BM_HealthyWrite)->UseRealTime()->Unit(benchmark::kMicrosecond)->Iterations(2000);

} // namespace
