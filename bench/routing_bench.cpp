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

#include "requestworld.h"
#include "tarnresources.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using requestworld::World;
using requestworld::WorldOf;

void BM_RequestPath(benchmark::State &state)
{
    World &world = WorldOf((size_t)state.range(0));
    requestworld::Request request;
    size_t next = 0;
    const size_t count = world.Paths.size();

    for (auto _ : state) {
        benchmark::DoNotOptimize(requestworld::RunRequest(world.Context, request, world.Paths[next]));
        next = requestworld::NextSpread(next, count);
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

// Throughput of the request path with one thread, and with two threads
// each sending to a drive of its own: what the one driver lock costs when
// two processors take it in turn.  The world is built before the threads
// start; each thread spreads its requests over its drive's four paths.
void BuildTwoDrives(const benchmark::State &)
{
    WorldOf(8);
}

void BM_RequestThreads(benchmark::State &state)
{
    World &world = WorldOf(8);
    requestworld::Request request;
    const size_t first = 4 * (size_t)state.thread_index();
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(requestworld::RunRequest(world.Context, request, world.Paths[first + next]));
        next = (next + 1) % 4;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RequestThreads)->Setup(BuildTwoDrives)->Threads(1)->Threads(2)->UseRealTime();

// Prints the runs as usual, then the ratios the goals are stated in.
// With --benchmark_repetitions a benchmark reports each repetition and
// then its mean, median, deviation and variation: the ratios use the
// median, never a deviation or a variation in the place of a time.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            bool median = run.run_type == Run::RT_Aggregate;
            if (run.error_occurred || (median && run.aggregate_name != "median")) {
                continue;
            }
            Figure &figure = figures_[Key(run.run_name)];
            if (figure.FromMedian && !median) {
                continue;
            }
            figure.FromMedian = median;
            figure.Nanoseconds = run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            auto rate = run.counters.find("items_per_second");
            figure.PerSecond = rate != run.counters.end() ? rate->second.value : 0;
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
        double one = PerSecond("BM_RequestThreads/threads:1");
        double two = PerSecond("BM_RequestThreads/threads:2");
        if (one > 0 && two > 0) {
            printf("requests per second, one thread: %.0f; two threads on two drives: %.0f; two / one: %.2fx\n", one,
                   two, two / one);
        }
        double failover = Time("BM_Failover");
        if (failover > 0) {
            printf("failover, failing completion to success on the surviving path: %.1f us (goal at most 1000 us)\n",
                   failover / 1000);
        }
        double healthy = Time("BM_HealthyWrite");
        if (healthy > 0) {
            printf("the same write on a healthy path: %.1f us\n", healthy / 1000);
        }
    }

private:
    struct Figure {
        double Nanoseconds = 0;
        double PerSecond = 0;
        bool FromMedian = false;
    };

    // A benchmark's name with its arguments and thread count, without
    // the options that do not tell two benchmarks apart (iterations,
    // repetitions, time type), which the runs of aggregates carry too.
    static std::string Key(const benchmark::BenchmarkName &name)
    {
        std::string key = name.function_name;
        for (const std::string *part : {&name.args, &name.threads}) {
            if (!part->empty()) {
                key += "/" + *part;
            }
        }
        return key;
    }

    double Time(const std::string &key) const
    {
        auto figure = figures_.find(key);
        return figure != figures_.end() ? figure->second.Nanoseconds : 0;
    }

    double PerSecond(const std::string &key) const
    {
        auto figure = figures_.find(key);
        return figure != figures_.end() ? figure->second.PerSecond : 0;
    }

    std::map<std::string, Figure> figures_;
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
