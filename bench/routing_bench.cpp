/*++

Module Name:

    routing_bench.cpp

Abstract:

    The per-request path: categorise (with its identifier check), get the
    path (the identifier checked again), hook the completion, complete.
    Measured with 8, 64, 1,024 and 4,096 paths, four to a drive, beside a
    floor of what the design cannot do without: the driver lock taken in
    each of the four calls, the counter updates, and the completion record
    from the lookaside list and back.  The ratios it prints are the figures that
    matter: the cost must not grow with the number of paths, and must stay
    close to the floor.

--*/

#include "mpiohost.h"
#include "tarn.h"
#include "tarnresources.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char *kParametersKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tarndsm\\Parameters";

struct World {
    std::unique_ptr<mpio::Host> Host;
    PDSM_CONTEXT Context = nullptr;
    std::vector<PPDO_ENTRY> Paths;
};

// A started driver with `paths` paths, four to a drive, every path
// healthy and each drive on its first path.
World &WorldOf(size_t paths)
{
    static World world;
    static size_t built = 0;
    if (built == paths) {
        return world;
    }
    world.Host.reset();
    host::ResetMachine();
    host::RegistrySetMultiString(kParametersKey, "SupportedDeviceList", {"KESTROM TARN 4000 FC    "});
    world.Host = std::make_unique<mpio::Host>();
    world.Host->LoadDriver(DriverEntry, "tarndsm");
    world.Context = static_cast<PDSM_CONTEXT>(world.Host->Record().DsmContext);
    world.Paths.clear();

    KIRQL oldIrql;
    for (size_t drive = 0; drive < paths / 4; drive++) {
        char serial[17];
        snprintf(serial, sizeof(serial), "600A%012llX", (unsigned long long)(drive & 0xFFFFFFFFFFFFull));
        PCHAR text = static_cast<PCHAR>(DsmAllocatePool(NonPagedPool, sizeof(serial)));
        memcpy(text, serial, sizeof(serial));
        PLD_ENTRY ldEntry = nullptr;
        CreateLdEntry(&ldEntry, world.Context, text, 16, TARN_LB_POLICY_FAILOVER);
        DsmAcquireLock(world.Context, &oldIrql);
        AddLdEntry(world.Context, ldEntry);
        DsmReleaseLock(world.Context, oldIrql);
        for (UCHAR i = 0; i < 4; i++) {
            PDEVICE_OBJECT device = host::CreateDevice(u"", nullptr);
            world.Host->SetScsiAddress(device, SCSI_ADDRESS{sizeof(SCSI_ADDRESS), (UCHAR)(2 + i % 2), 0,
                                                            (UCHAR)(i / 2), (UCHAR)drive});
            PPDO_ENTRY path = nullptr;
            CreatePdoEntry(&path, world.Context, device, device, serial);
            DsmAcquireLock(world.Context, &oldIrql);
            AddPdoEntry(world.Context, ldEntry, path);
            path->HealthState = PDO_HEALTH_HEALTHY;
            if (i == 0) {
                ldEntry->currentPath = path;
            }
            DsmReleaseLock(world.Context, oldIrql);
            world.Paths.push_back(path);
        }
    }
    built = paths;
    return world;
}

void BM_RequestPath(benchmark::State &state)
{
    World &world = WorldOf((size_t)state.range(0));
    IRP irp{};
    IO_STACK_LOCATION stack{};
    SCSI_REQUEST_BLOCK srb{};
    irp.Tail.Overlay.CurrentStackLocation = &stack;
    stack.MajorFunction = IRP_MJ_SCSI;
    stack.Parameters.Scsi.Srb = &srb;
    srb.Cdb[0] = SCSIOP_READ;
    DSM_IDS ids{1, {nullptr}};
    size_t next = 0;
    const size_t count = world.Paths.size();

    for (auto _ : state) {
        // Requests spread over every drive, as a busy host's are.
        ids.IdList[0] = world.Paths[next];
        next = (next + 4 * 97 + 1) % count;
        PVOID path = nullptr;
        NTSTATUS status;
        ULONG category = DsmCategorizeRequest(world.Context, &ids, &irp, &srb, nullptr, &path, &status);
        DSM_COMPLETION_INFO completion;
        DsmSetCompletion(world.Context, path, &irp, &srb, &completion);
        completion.DsmCompletionRoutine(path, &irp, &srb, completion.DsmContext);
        benchmark::DoNotOptimize(category);
    }
}
BENCHMARK(BM_RequestPath)->Arg(8)->Arg(64)->Arg(1024)->Arg(4096);

// The least a request can cost as the driver is designed: the lock taken
// once in each of the four calls a request makes (categorise, get the
// path, hook the completion, complete), the counters updated, and a
// completion record from the lookaside list and back.
void BM_RequestFloor(benchmark::State &state)
{
    World &world = WorldOf(8);
    PDSM_CONTEXT context = world.Context;
    for (auto _ : state) {
        KIRQL oldIrql;
        DsmAcquireLock(context, &oldIrql);
        DsmReleaseLock(context, oldIrql);
        DsmAcquireLock(context, &oldIrql);
        DsmRequestCounters.GetPathCalls++;
        DsmRequestCounters.OutstandingRequests++;
        DsmReleaseLock(context, oldIrql);
        DsmAcquireLock(context, &oldIrql);
        DsmRequestCounters.SetCompletionCalls++;
        PVOID record = ExAllocateFromNPagedLookasideList(&context->CompletionLookaside);
        DsmReleaseLock(context, oldIrql);
        DsmAcquireLock(context, &oldIrql);
        DsmRequestCounters.CompletionCalls++;
        DsmRequestCounters.OutstandingRequests--;
        ExFreeToNPagedLookasideList(&context->CompletionLookaside, record);
        DsmReleaseLock(context, oldIrql);
    }
}
BENCHMARK(BM_RequestFloor);

// Prints the runs as usual, then the ratios the goals are stated in.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            nanoseconds_[run.benchmark_name()] =
                run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        double floor = Time("BM_RequestFloor");
        double at8 = Time("BM_RequestPath/8");
        double at4096 = Time("BM_RequestPath/4096");
        if (floor > 0 && at8 > 0 && at4096 > 0) {
            printf("\nper request: %.1f ns at 8 paths, %.1f ns at 4,096 paths, floor %.1f ns\n", at8, at4096, floor);
            printf("4,096 paths / 8 paths: %.2fx (goal at most 1.2x)\n", at4096 / at8);
            printf("8 paths / floor:       %.2fx (goal at most 1.5x)\n", at8 / floor);
            printf("4,096 paths / floor:   %.2fx (goal at most 1.5x)\n", at4096 / floor);
        }
        double failover = Time("BM_Failover");
        if (failover > 0) {
            printf("failover, failing completion to success on the surviving path: %.1f us (goal at most 1000 us); "
                   "the same write on a healthy path: %.1f us\n",
                   failover / 1000, Time("BM_HealthyWrite") / 1000);
        }
    }

private:
    // The run of this benchmark, whatever options its name carries.
    double Time(const std::string &name) const
    {
        for (const auto &entry : nanoseconds_) {
            if (entry.first == name || entry.first.rfind(name + "/", 0) == 0) {
                return entry.second;
            }
        }
        return 0;
    }

    std::map<std::string, double> nanoseconds_;
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    TarnRegisterMessages(u"tarndsm");
    TarnRegisterTraceFormats();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
