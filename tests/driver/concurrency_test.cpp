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
#include <thread>

namespace tarntest {
namespace {

using ConcurrencyTest = DriverTest;

TEST_F(ConcurrencyTest, EntryPointsAndTimerSerialiseOnTheDriverLock)
{
    MinimalConfiguration();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_TRUE(host::TraceEnable(TRDSM_TRACE_LEVEL, 4));
    const DSM_INIT_DATA record = host_->Record();

    constexpr int kThreads = 4;
    constexpr int kCalls = 500;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < kCalls; i++) {
                if (record.DsmUnload(record.DsmContext) != STATUS_SUCCESS) {
                    failures++;
                }
            }
        });
    }
    // The timer runs 1 + 600 times meanwhile, on this thread, at DISPATCH_LEVEL.
    host::ClockAdvance(61000);
    for (auto &thread : threads) {
        thread.join();
    }

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(Context()->TickCount, 601u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(host::HeldSpinLocks(), 0);
}

} // namespace
} // namespace tarntest
