/*++

Module Name:

    concurrency_test.cpp

Abstract:

    Entry points run on many threads at once while the timer's DPC runs
    on another: they serialise on the driver's one spin lock.  Meant to
    run under ThreadSanitizer as well.

--*/

#include "driverfixture.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

namespace tarntest {
namespace {

using ConcurrencyTest = DriverTest;

// Requests through MPIO on several threads at once, round robin moving
// the drives between paths as the clock runs: every request is counted in
// and out again and every completion record comes back.
TEST_F(ConcurrencyTest, RequestsOnManyThreadsAreCountedInAndOut)
{
    FullConfiguration();
    host::RegistrySetDword(kParametersKey, "PathSelectionPolicy", TARN_LB_POLICY_ROUND_ROBIN);
    host::RegistrySetDword(kParametersKey, "RoundRobinTimeSlice", 100);
    AttachArray({0, 1});
    ASSERT_EQ(StartAndDiscover(), STATUS_SUCCESS);
    ASSERT_EQ(host_->Disks().size(), 2u);
    LivePathsOf(FirstDrive());
    ASSERT_TRUE(host::TraceEnable(TRDSM_ERROR_LEVEL | TRDSM_WARNING_LEVEL | TRDSM_TRACE_LEVEL, 4));
    const TARN_REQUEST_COUNTERS before = DsmRequestCounters;

    constexpr int kThreads = 4;
    constexpr int kRequests = 300;
    std::atomic<int> failures{0};
    std::atomic<int> finished{0};
    std::vector<std::set<PVOID>> pathsUsed(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            uint8_t block[512];
            for (int i = 0; i < kRequests; i++) {
                memset(block, t * 16 + i % 16, sizeof(block));
                size_t disk = (size_t)(t + i) % 2;
                uint64_t lba = (uint64_t)t * 64 + i % 64;
                mpio::IoResult write = host_->Write(disk, lba, 1, block);
                mpio::IoResult read = host_->Read(disk, lba, 1, block);
                if (write.Status != STATUS_SUCCESS || read.Status != STATUS_SUCCESS ||
                    block[511] != (uint8_t)(t * 16 + i % 16)) {
                    failures++;
                }
                pathsUsed[t].insert(read.Path);
            }
            finished++;
        });
    }
    // Slices run out meanwhile, and the timer fires.
    while (finished.load() < kThreads) {
        host::ClockAdvance(20);
    }
    for (auto &thread : threads) {
        thread.join();
    }
    std::set<PVOID> everyPath;
    for (const auto &used : pathsUsed) {
        everyPath.insert(used.begin(), used.end());
    }
    EXPECT_GT(everyPath.size(), 2u);

    EXPECT_EQ(failures.load(), 0);
    const uint64_t requests = 2u * kThreads * kRequests;
    EXPECT_EQ(DsmRequestCounters.GetPathCalls - before.GetPathCalls, requests);
    EXPECT_EQ(DsmRequestCounters.SetCompletionCalls - before.SetCompletionCalls, requests);
    EXPECT_EQ(DsmRequestCounters.CompletionCalls - before.CompletionCalls, requests);
    EXPECT_EQ(DsmRequestCounters.OutstandingRequests, before.OutstandingRequests);
    EXPECT_EQ(host::HeldSpinLocks(), 0);
}

// Loggers come and go while entry points trace on other threads: the
// provider state is published and read atomically (ThreadSanitizer sees
// any plain access), and every message that is written reaches a logger
// that was enabled when it was sent.
TEST_F(ConcurrencyTest, TracingTurnsOnAndOffWhileEntryPointsTrace)
{
    MinimalConfiguration();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const DSM_INIT_DATA record = host_->Record();

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; t++) {
        threads.emplace_back([&] {
            while (!stop.load()) {
                record.DsmUnload(record.DsmContext);
                EXPECT_EQ(record.DsmGetSerialNumber(record.DsmContext, &stop), nullptr);
                EXPECT_FALSE(record.DsmCompareDevices(record.DsmContext, &stop, &stop));
            }
        });
    }
    for (int i = 0; i < 200; i++) {
        ASSERT_TRUE(host::TraceEnable(i % 2 != 0 ? TRDSM_ERROR_LEVEL : TRDSM_ERROR_LEVEL | TRDSM_TRACE_LEVEL, 4));
        std::this_thread::yield();
        host::TraceDisable();
    }
    // However the threads were scheduled, some message goes out while a
    // logger is on.
    ASSERT_TRUE(host::TraceEnable(TRDSM_ERROR_LEVEL, 4));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (host::TraceRecords().empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    host::TraceDisable();
    stop = true;
    for (auto &thread : threads) {
        thread.join();
    }

    EXPECT_EQ(TarnTraceState.EnableFlags, 0u);
    EXPECT_EQ(TarnTraceState.Logger, 0u);
    EXPECT_FALSE(host::TraceRecords().empty());
    for (const auto &trace : host::TraceRecords()) {
        EXPECT_GE(trace.Logger, 2u);    // a session's handle, never a torn or cleared one
    }
    EXPECT_EQ(host::HeldSpinLocks(), 0);
}

} // namespace
} // namespace tarntest
