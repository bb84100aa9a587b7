// DPCs on several processors, the worker pool and spin lock hold times
// of the user-mode kernel.
#include "core_testutil.h"

#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <thread>

using coretest::RelativeMs;
using coretest::VerifierRecorder;
using testing::HasSubstr;

namespace {

// Waits, up to a generous wall-clock limit, until count reaches want:
// true when it did.  The routines below meet this way, so that a test
// proves they ran at the same time rather than hoping they did.
bool Meet(std::atomic<int> *count, int want)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (count->load() < want) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

struct Meeting {
    std::atomic<int> Arrived{0};
    std::atomic<int> Met{0};
    std::atomic<int> AtDispatch{0};
    std::atomic<int> OffTestThread{0};
    std::thread::id TestThread;
    std::atomic<uint64_t> Clock{0};
};

struct MeetingTimer {
    KTIMER Timer;
    KDPC Dpc;
    Meeting *Log;
};

VOID NTAPI MeetingDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    Meeting *log = static_cast<MeetingTimer *>(context)->Log;
    log->AtDispatch += KeGetCurrentIrql() == DISPATCH_LEVEL;
    log->OffTestThread += std::this_thread::get_id() != log->TestThread;
    log->Clock = host::InterruptTime();
    log->Arrived++;
    log->Met += Meet(&log->Arrived, 2);
}

// Timers due within one clock tick expire together at its end, and their
// DPCs run at the same time on two processor threads, at DISPATCH_LEVEL.
TEST(CoreProcessors, DpcsDueInOneTickRunAtOnceOnTwoProcessors)
{
    host::SetProcessors(2);
    EXPECT_EQ(host::Processors(), 2u);
    static Meeting log;
    log.TestThread = std::this_thread::get_id();
    static MeetingTimer timers[2];
    for (int i = 0; i < 2; i++) {
        timers[i].Log = &log;
        KeInitializeTimerEx(&timers[i].Timer, NotificationTimer);
        KeInitializeDpc(&timers[i].Dpc, MeetingDpc, &timers[i]);
    }
    KeSetTimerEx(&timers[0].Timer, RelativeMs(3), 0, &timers[0].Dpc);
    KeSetTimerEx(&timers[1].Timer, RelativeMs(9), 0, &timers[1].Dpc);

    host::ClockAdvance(100);
    EXPECT_EQ(log.Met.load(), 2);
    EXPECT_EQ(log.AtDispatch.load(), 2);
    EXPECT_EQ(log.OffTestThread.load(), 2);
    EXPECT_EQ(log.Clock.load(), 156250u);     // the end of the first tick
    EXPECT_EQ(host::MostDpcsAtOnce(), 2u);
    EXPECT_EQ(host::DpcRuns(), 2u);
    EXPECT_EQ(host::InterruptTime(), 1000000u);
}

struct Lonely {
    KTIMER Timer;
    KDPC Dpc;
    std::atomic<int> Inside{0};
    std::atomic<int> MostInside{0};
    std::atomic<int> Runs{0};
};

VOID NTAPI LonelyDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *state = static_cast<Lonely *>(context);
    int inside = ++state->Inside;
    if (inside > state->MostInside) {
        state->MostInside = inside;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    state->Runs++;
    state->Inside--;
}

// A periodic timer faster than the tick expires many times in each, but
// its DPC is queued once per tick and never runs on two processors at
// once; the number of runs is the same at every run.
TEST(CoreProcessors, ADpcIsQueuedOnceAndNeverRunsOnTwoProcessors)
{
    host::SetProcessors(2);
    static Lonely state;
    KeInitializeTimerEx(&state.Timer, NotificationTimer);
    KeInitializeDpc(&state.Dpc, LonelyDpc, &state);
    KeSetTimerEx(&state.Timer, RelativeMs(1), 1, &state.Dpc);

    host::ClockAdvance(200);
    KeCancelTimer(&state.Timer);
    EXPECT_EQ(state.MostInside.load(), 1);
    EXPECT_EQ(state.Runs.load(), 13);   // twelve whole ticks, and the part of one up to 200 ms
}

struct Requeued {
    KTIMER Timer;
    KDPC Dpc;
    std::atomic<int> Runs{0};
    std::atomic<uint64_t> Clock{0};
};

VOID NTAPI RequeuedDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *state = static_cast<Requeued *>(context);
    state->Clock = host::InterruptTime();
    state->Runs++;
}

// Setting a timer that is set moves it: it expires once, at the new time.
TEST(CoreProcessors, SettingASetTimerRequeuesIt)
{
    host::SetProcessors(2);
    static Requeued state;
    KeInitializeTimerEx(&state.Timer, NotificationTimer);
    KeInitializeDpc(&state.Dpc, RequeuedDpc, &state);
    EXPECT_FALSE(KeSetTimerEx(&state.Timer, RelativeMs(20), 0, &state.Dpc));
    EXPECT_TRUE(KeSetTimerEx(&state.Timer, RelativeMs(100), 0, &state.Dpc));
    host::ClockAdvance(50);
    EXPECT_EQ(state.Runs.load(), 0);
    host::ClockAdvance(100);
    EXPECT_EQ(state.Runs.load(), 1);
    EXPECT_EQ(state.Clock.load(), 1093750u);   // 100 ms rounded up to the tick
    EXPECT_EQ(host::ActiveTimers(), 0u);
}

// A DPC that frees the pool of another DPC expired in the same tick.
struct Freeing {
    KTIMER Timers[2];
    KDPC Dpcs[2];
    std::atomic<int> Arrived{0};
    std::atomic<int> FreeRefused{0};
    std::atomic<int> VictimRuns{0};
    struct Doomed {
        KTIMER Timer;
        KDPC Dpc;
    } *Victim = nullptr;
    VerifierRecorder *Verifier = nullptr;
};
Freeing g_freeing;

VOID NTAPI VictimDpc(PKDPC, PVOID, PVOID, PVOID)
{
    g_freeing.VictimRuns++;
}

// Both processors are held here, so the victim's DPC stays queued: the
// first cancels its timer (too late: it expired) and tries to free it.
VOID NTAPI FreeingDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    g_freeing.Arrived++;
    Meet(&g_freeing.Arrived, 2);
    if (context != nullptr) {
        EXPECT_FALSE(KeCancelTimer(&g_freeing.Victim->Timer));
        ExFreePool(g_freeing.Victim);
        g_freeing.FreeRefused += !g_freeing.Verifier->One().empty();
        g_freeing.Arrived++;
    } else {
        Meet(&g_freeing.Arrived, 3);   // holds the other processor until the free was tried
    }
}

TEST(CoreProcessors, CancellingDoesNotTakeBackAQueuedDpcAndItsPoolCannotBeFreed)
{
    host::SetProcessors(2);
    VerifierRecorder verifier;
    g_freeing.Verifier = &verifier;
    g_freeing.Victim = static_cast<Freeing::Doomed *>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(Freeing::Doomed), host::Tag("Test")));
    ASSERT_NE(g_freeing.Victim, nullptr);
    KeInitializeTimerEx(&g_freeing.Victim->Timer, NotificationTimer);
    KeInitializeDpc(&g_freeing.Victim->Dpc, VictimDpc, nullptr);
    for (int i = 0; i < 2; i++) {
        KeInitializeTimerEx(&g_freeing.Timers[i], NotificationTimer);
        KeInitializeDpc(&g_freeing.Dpcs[i], FreeingDpc, i == 0 ? &g_freeing : nullptr);
        KeSetTimerEx(&g_freeing.Timers[i], RelativeMs(2 + i), 0, &g_freeing.Dpcs[i]);
    }
    KeSetTimerEx(&g_freeing.Victim->Timer, RelativeMs(5), 0, &g_freeing.Victim->Dpc);

    host::ClockAdvance(20);
    EXPECT_EQ(g_freeing.FreeRefused.load(), 1);
    EXPECT_EQ(g_freeing.VictimRuns.load(), 1);   // it ran all the same, from pool still whole
    ExFreePool(g_freeing.Victim);
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
}

// DPCs that take their time, and note whether a flush had returned
// before they ended.
struct Flushed {
    KTIMER Timers[3];
    KDPC Dpcs[3];
    std::atomic<int> Started{0};
    std::atomic<bool> FlushReturned{false};
    std::atomic<bool> SawFlushReturned[3] = {};
};
Flushed *g_flushed;

VOID NTAPI SlowDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto index = reinterpret_cast<uintptr_t>(context);
    g_flushed->Started++;
    // Long enough for a flush that does not wait to return meanwhile.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    while (!g_flushed->FlushReturned.load() && std::chrono::steady_clock::now() < until) {
        std::this_thread::yield();
    }
    g_flushed->SawFlushReturned[index] = g_flushed->FlushReturned.load();
}

// KeFlushQueuedDpcs returns only once the DPCs queued before it have run,
// whichever thread runs them: with one processor the thread that moves
// the clock runs each as it expires (the first is waited for); with two,
// the three expired in one tick are queued together and all waited for.
TEST(CoreProcessors, FlushingWaitsForTheDpcsQueuedBeforeIt)
{
    for (unsigned processors : {1u, 2u}) {
        SCOPED_TRACE(std::to_string(processors) + " processors");
        host::ResetMachine();
        host::SetProcessors(processors);
        Flushed state;
        g_flushed = &state;
        for (uintptr_t i = 0; i < 3; i++) {
            KeInitializeTimerEx(&state.Timers[i], NotificationTimer);
            KeInitializeDpc(&state.Dpcs[i], SlowDpc, reinterpret_cast<PVOID>(i));
            KeSetTimerEx(&state.Timers[i], RelativeMs(2 + (LONG)i), 0, &state.Dpcs[i]);
        }
        std::thread clock([] { host::ClockAdvance(20); });
        while (state.Started.load() == 0) {
            std::this_thread::yield();
        }
        KeFlushQueuedDpcs();
        state.FlushReturned = true;
        clock.join();
        EXPECT_FALSE(state.SawFlushReturned[0].load());
        if (processors > 1) {
            EXPECT_FALSE(state.SawFlushReturned[1].load());
            EXPECT_FALSE(state.SawFlushReturned[2].load());
        }
        EXPECT_EQ(host::DpcRuns(), 3u);
    }
}

// It blocks, so it is for PASSIVE_LEVEL only; with nothing queued it
// returns at once.
TEST(CoreProcessors, FlushingAboveThePassiveLevelIsAVerifierFailure)
{
    KeFlushQueuedDpcs();
    VerifierRecorder verifier;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeFlushQueuedDpcs();
    KeLowerIrql(old);
    EXPECT_THAT(verifier.One(), HasSubstr("KeFlushQueuedDpcs called at DISPATCH_LEVEL"));
}

struct PoolMeeting {
    std::atomic<int> Arrived{0};
    std::atomic<int> Met{0};
    std::atomic<int> AtPassive{0};
    std::atomic<int> Followers{0};
    PIO_WORKITEM Items[3] = {};
};
PoolMeeting g_pool;

VOID NTAPI FollowerRoutine(PDEVICE_OBJECT, PVOID)
{
    g_pool.Followers++;
}

VOID NTAPI MeetingRoutine(PDEVICE_OBJECT, PVOID context)
{
    g_pool.AtPassive += KeGetCurrentIrql() == PASSIVE_LEVEL && host::HeldSpinLocks() == 0;
    g_pool.Arrived++;
    g_pool.Met += Meet(&g_pool.Arrived, 2);
    if (context != nullptr) {
        IoQueueWorkItem(g_pool.Items[2], FollowerRoutine, DelayedWorkQueue, nullptr);
    }
}

// With a pool, work items run as soon as they are queued, several at
// once, and a drain waits for all of them, those they queue included.
TEST(CoreProcessors, WorkItemsRunOnThePoolSeveralAtOnce)
{
    host::SetWorkerThreads(3);
    PDEVICE_OBJECT device = host::CreateDevice(u"", nullptr);
    for (PIO_WORKITEM &item : g_pool.Items) {
        item = IoAllocateWorkItem(device);
        ASSERT_NE(item, nullptr);
    }
    IoQueueWorkItem(g_pool.Items[0], MeetingRoutine, DelayedWorkQueue, &g_pool);
    IoQueueWorkItem(g_pool.Items[1], MeetingRoutine, CriticalWorkQueue, nullptr);
    // The pool may finish some before the drain begins, so the drain's
    // own count proves nothing; the routines count themselves.
    host::DrainWorkItems();
    EXPECT_EQ(g_pool.Arrived.load(), 2);
    EXPECT_EQ(g_pool.Met.load(), 2);
    EXPECT_EQ(g_pool.AtPassive.load(), 2);
    EXPECT_EQ(g_pool.Followers.load(), 1);
    EXPECT_EQ(host::PendingWorkItems(), 0u);
    for (PIO_WORKITEM item : g_pool.Items) {
        IoFreeWorkItem(item);
    }

    // A reset machine drains on demand again.
    host::ResetMachine();
    device = host::CreateDevice(u"", nullptr);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    IoQueueWorkItem(item, FollowerRoutine, DelayedWorkQueue, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(host::PendingWorkItems(), 1u);
    EXPECT_EQ(host::DrainWorkItems(), 1u);
    IoFreeWorkItem(item);
}

TEST(CoreProcessors, SpinLockHoldsAreMeasuredPerLockWhileOn)
{
    KSPIN_LOCK measured, other;
    KeInitializeSpinLock(&measured);
    KeInitializeSpinLock(&other);
    KIRQL old;
    KeAcquireSpinLock(&measured, &old);
    KeReleaseSpinLock(&measured, old);
    EXPECT_EQ(host::SpinLockHoldOf(&measured).Acquisitions, 0u);   // off

    host::MeasureSpinLockHolds(true);
    for (int i = 0; i < 3; i++) {
        KeAcquireSpinLock(&measured, &old);
        if (i == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        KeReleaseSpinLock(&measured, old);
    }
    KeAcquireSpinLock(&other, &old);
    KeReleaseSpinLock(&other, old);
    host::MeasureSpinLockHolds(false);

    host::SpinLockHold hold = host::SpinLockHoldOf(&measured);
    EXPECT_EQ(hold.Acquisitions, 3u);
    EXPECT_GE(hold.LongestNs, 3000000u);
    EXPECT_EQ(host::SpinLockHoldOf(&other).Acquisitions, 1u);
    EXPECT_EQ(host::SpinLockHolds().size(), 2u);
}

TEST(CoreProcessors, OutOfRangeCountIsAVerifierFailure)
{
    VerifierRecorder verifier;
    host::SetProcessors(0);
    EXPECT_THAT(verifier.One(), HasSubstr("host::SetProcessors(0)"));
    EXPECT_EQ(host::Processors(), 1u);
}

} // namespace
