/*++

Module Name:

    dsm_bench.cpp

Abstract:

    Benchmarks of the driver's helpers that run on hot paths: the event
    writer (which may run under the driver lock) and the code-name
    lookups behind every trace.  They print figures; tests never time.

--*/

#include "mpiohost.h"
#include "tarn.h"
#include "tarnresources.h"

#include <benchmark/benchmark.h>

namespace {

void BM_LogEvent(benchmark::State &state)
{
    DsmIoObject = host::CreateDriverObject(u"\\Driver\\tarndsm-bench");
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

