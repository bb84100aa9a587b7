/*++

Module Name:

    dsm_bench.cpp

Abstract:

    Benchmarks of the driver's hot helpers on the user-mode kernel.  They
    print figures; tests never time.  The lock floor is the cost every
    per-request entry point pays at least: the driver lock taken and
    released.

--*/

#include "mpiohost.h"
#include "tarn.h"
#include "tarnresources.h"

#include <benchmark/benchmark.h>

namespace {

void BM_LockFloor(benchmark::State &state)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ULONGLONG counter = 0;
    for (auto _ : state) {
        KIRQL oldIrql;
        KeAcquireSpinLock(&lock, &oldIrql);
        counter++;
        KeReleaseSpinLock(&lock, oldIrql);
        benchmark::DoNotOptimize(counter);
    }
}
BENCHMARK(BM_LockFloor);

void BM_LogEvent(benchmark::State &state)
{
    host::ResetMachine();
    DsmIoObject = host::CreateDriverObject(u"\\Driver\\tarndsm");
    NTSTATUS status = STATUS_IO_TIMEOUT;
    for (auto _ : state) {
        DsmLogEvent(DsmIoObject, TARN_MSG_FAILOVER, "600A0B80002A", "[00A 2:0:1:1f]", &status, sizeof(status));
        state.PauseTiming();
        host::ClearEventLog();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_LogEvent);

void BM_TraceOff(benchmark::State &state)
{
    TarnTraceState.EnableFlags = 0;
    for (auto _ : state) {
        DsmPathHealthName(PDO_HEALTH_HEALTHY);
        benchmark::DoNotOptimize(DsmStatusName(STATUS_SUCCESS));
    }
}
BENCHMARK(BM_TraceOff);

} // namespace

BENCHMARK_MAIN();
