// Clock, timers, DPCs, events, work items and spin-lock rules of the
// user-mode kernel.
#include "core_testutil.h"

#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>

#include <atomic>
#include <chrono>
#include <thread>

using coretest::RelativeMs;
using coretest::VerifierRecorder;
using testing::AllOf;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

constexpr NTSTATUS kStatusTimeout = 0x00000102;
constexpr int64_t kDefaultBoot = 134409888000000000LL;   // 2026-12-06 00:00:00 UTC

//
// Clock.
//

TEST(CoreClock, TimeMovesOnlyWhenAdvanced)
{
    LARGE_INTEGER system, ticks;
    KeQuerySystemTime(&system);
    EXPECT_EQ(system.QuadPart, kDefaultBoot);
    EXPECT_EQ(host::InterruptTime(), 0u);

    host::ClockAdvance(1000);
    EXPECT_EQ(host::InterruptTime(), 10000000u);
    KeQuerySystemTime(&system);
    EXPECT_EQ(system.QuadPart, kDefaultBoot + 10000000);
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ticks.QuadPart, 64);   // 1 s / 15.625 ms

    host::SetBootSystemTime(kDefaultBoot + 5);
    KeQuerySystemTime(&system);
    EXPECT_EQ(system.QuadPart, kDefaultBoot + 5 + 10000000);

    host::Reboot();
    EXPECT_EQ(host::InterruptTime(), 0u);
    KeQuerySystemTime(&system);
    EXPECT_EQ(system.QuadPart, kDefaultBoot);
}

struct Recorded {
    std::vector<int> Order;
    std::vector<uint64_t> Times;
    std::vector<KIRQL> Irqls;
};

struct Tagged {
    KTIMER Timer;
    KDPC Dpc;
    int Id;
    Recorded *Log;
};

VOID NTAPI RecordingDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *tagged = static_cast<Tagged *>(context);
    tagged->Log->Order.push_back(tagged->Id);
    tagged->Log->Times.push_back(host::InterruptTime());
    tagged->Log->Irqls.push_back(KeGetCurrentIrql());
}

void InitTagged(Tagged *tagged, int id, Recorded *log)
{
    tagged->Id = id;
    tagged->Log = log;
    KeInitializeTimerEx(&tagged->Timer, NotificationTimer);
    KeInitializeDpc(&tagged->Dpc, RecordingDpc, tagged);
}

TEST(CoreTimers, DpcsRunInDueOrderAtTheirDueMomentAtDispatchLevel)
{
    Recorded log;
    Tagged timers[4];
    int64_t dueMs[4] = {300, 100, 200, 100};
    for (int i = 0; i < 4; i++) {
        InitTagged(&timers[i], i, &log);
        EXPECT_FALSE(KeSetTimerEx(&timers[i].Timer, RelativeMs(dueMs[i]), 0, &timers[i].Dpc));
    }
    EXPECT_EQ(host::ActiveTimers(), 4u);

    host::ClockAdvance(150);
    EXPECT_THAT(log.Order, ElementsAre(1, 3));   // same due moment: in the order they were set
    host::ClockAdvance(1000);
    EXPECT_THAT(log.Order, ElementsAre(1, 3, 2, 0));
    EXPECT_THAT(log.Times, ElementsAre(1000000u, 1000000u, 2000000u, 3000000u));
    EXPECT_THAT(log.Irqls, testing::Each(DISPATCH_LEVEL));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(host::InterruptTime(), 11500000u);
    EXPECT_EQ(host::DpcRuns(), 4u);
    EXPECT_EQ(host::ActiveTimers(), 0u);
}

TEST(CoreTimers, PeriodicTimerRearmsAtDuePlusPeriod)
{
    Recorded log;
    Tagged timer{};
    InitTagged(&timer, 0, &log);
    KeSetTimerEx(&timer.Timer, RelativeMs(1000), 100, &timer.Dpc);

    host::ClockAdvance(999);
    EXPECT_EQ(log.Order.size(), 0u);
    host::ClockAdvance(1);
    EXPECT_EQ(log.Order.size(), 1u);
    host::ClockAdvance(1000);
    EXPECT_EQ(log.Order.size(), 11u);
    EXPECT_EQ(log.Times[1], 11000000u);
    EXPECT_EQ(log.Times[10], 20000000u);
    EXPECT_EQ(host::ActiveTimers(), 1u);

    EXPECT_TRUE(KeCancelTimer(&timer.Timer));
    EXPECT_FALSE(KeCancelTimer(&timer.Timer));
    host::ClockAdvance(1000);
    EXPECT_EQ(log.Order.size(), 11u);
}

// Setting a set timer replaces its due time and says it was set; an
// absolute due time is system time, and one already past is due at once.
TEST(CoreTimers, ResettingAndAbsoluteDueTimes)
{
    Recorded log;
    Tagged timer{};
    InitTagged(&timer, 0, &log);
    EXPECT_FALSE(KeSetTimerEx(&timer.Timer, RelativeMs(100), 0, &timer.Dpc));
    EXPECT_TRUE(KeSetTimerEx(&timer.Timer, RelativeMs(500), 0, &timer.Dpc));
    host::ClockAdvance(499);
    EXPECT_TRUE(log.Order.empty());
    host::ClockAdvance(1);
    EXPECT_THAT(log.Times, ElementsAre(5000000u));

    LARGE_INTEGER due;
    due.QuadPart = kDefaultBoot + 2 * 10000000LL;   // two seconds after boot
    EXPECT_FALSE(KeSetTimerEx(&timer.Timer, due, 0, &timer.Dpc));   // expired: no longer set
    host::ClockAdvance(1499);
    EXPECT_EQ(log.Times.size(), 1u);
    host::ClockAdvance(1);
    EXPECT_THAT(log.Times, ElementsAre(5000000u, 20000000u));
    due.QuadPart = kDefaultBoot;
    KeSetTimerEx(&timer.Timer, due, 0, &timer.Dpc);
    host::ClockAdvance(0);
    EXPECT_EQ(log.Times.size(), 3u);
}

struct SelfCancel {
    KTIMER Timer;
    KDPC Dpc;
    int Runs;
};

TEST(CoreTimers, ADpcMaySetOrCancelItsOwnTimer)
{
    SelfCancel state{};
    KeInitializeTimerEx(&state.Timer, NotificationTimer);
    KeInitializeDpc(
        &state.Dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            auto *self = static_cast<SelfCancel *>(context);
            if (++self->Runs == 3) {
                KeCancelTimer(&self->Timer);
            }
        },
        &state);
    KeSetTimerEx(&state.Timer, RelativeMs(10), 10, &state.Dpc);
    host::ClockAdvance(1000);
    EXPECT_EQ(state.Runs, 3);
    EXPECT_EQ(host::ActiveTimers(), 0u);
}

TEST(CoreTimers, ClockAdvanceAtDispatchIsAVerifierFailure)
{
    coretest::FastDeathTests();
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            host::ClockAdvance(10);
        },
        "VERIFIER: host::ClockAdvance called at DISPATCH_LEVEL");
}

TEST(CoreTimers, ReinitialisingASetTimerIsAVerifierFailure)
{
    VerifierRecorder verifier;
    KTIMER timer;
    KeInitializeTimerEx(&timer, NotificationTimer);
    KeSetTimerEx(&timer, RelativeMs(10), 0, nullptr);
    KeInitializeTimerEx(&timer, NotificationTimer);
    EXPECT_THAT(verifier.One(), HasSubstr("KeInitializeTimerEx"));
    KeCancelTimer(&timer);

    KTIMER garbage;
    memset(&garbage, 0xCC, sizeof(garbage));
    EXPECT_FALSE(KeSetTimerEx(&garbage, RelativeMs(10), 0, nullptr));
    EXPECT_THAT(verifier.One(), HasSubstr("not initialised"));
    EXPECT_EQ(host::ActiveTimers(), 0u);

    // Cancelling one never initialised follows links that are not there,
    // zeroed memory included.
    EXPECT_FALSE(KeCancelTimer(&garbage));
    EXPECT_THAT(verifier.One(), HasSubstr("KeCancelTimer"));
    KTIMER zeroed;
    memset(&zeroed, 0, sizeof(zeroed));
    EXPECT_FALSE(KeCancelTimer(&zeroed));
    EXPECT_THAT(verifier.One(), HasSubstr("not initialised"));
}

//
// Events.
//

TEST(CoreEvents, StatesAndAutoReset)
{
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);

    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), kStatusTimeout);
    // A relative timeout on the controlled clock times out at once: the test owns the clock.
    LARGE_INTEGER timeout = RelativeMs(5000);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &timeout), kStatusTimeout);
    EXPECT_EQ(host::InterruptTime(), 0u);
    {
        VerifierRecorder verifier;   // a poll is allowed at DISPATCH_LEVEL
        KSPIN_LOCK lock;
        KIRQL old;
        KeInitializeSpinLock(&lock);
        KeAcquireSpinLock(&lock, &old);
        EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), kStatusTimeout);
        KeReleaseSpinLock(&lock, old);
        EXPECT_THAT(verifier.Take(), testing::IsEmpty());
    }
    EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&notification), 1);
    KeClearEvent(&notification);
    EXPECT_EQ(KeReadStateEvent(&notification), 0);

    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0);   // a satisfied wait consumed it
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), kStatusTimeout);
}

TEST(CoreEvents, ABlockingWaitIsReleasedByAnotherThread)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<bool> released{false};
    std::thread waiter([&] {
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        released = true;
    });
    // Signalled from DISPATCH_LEVEL, as a DPC would.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeLowerIrql(old);
    waiter.join();
    EXPECT_TRUE(released);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(CoreVerifier, BlockingWaitUnderASpinLockIsFatal)
{
    coretest::FastDeathTests();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);   // even a wait that would not block
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
        {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        "VERIFIER: KeWaitForSingleObject called (with a spin lock held|at DISPATCH_LEVEL)");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER timeout = RelativeMs(10);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        },
        "VERIFIER: KeWaitForSingleObject called at DISPATCH_LEVEL");
}

TEST(CoreVerifier, LeavingDispatchLevelWithASpinLockHeldIsAVerifierFailure)
{
    VerifierRecorder verifier;
    KSPIN_LOCK outer, inner;
    KeInitializeSpinLock(&outer);
    KeInitializeSpinLock(&inner);
    KIRQL fromPassive, fromDispatch;

    KeAcquireSpinLock(&outer, &fromPassive);
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_THAT(verifier.One(), HasSubstr("KeLowerIrql to PASSIVE_LEVEL with spin lock"));
    // At PASSIVE_LEVEL but holding a lock: a blocking wait is the held lock's fault.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_THAT(verifier.One(), HasSubstr("KeWaitForSingleObject called with a spin lock held"));
    KeRaiseIrql(DISPATCH_LEVEL, &fromDispatch);

    // Released out of order: the outer lock's level is PASSIVE_LEVEL, but
    // the inner one is still held.
    KeAcquireSpinLock(&inner, &fromDispatch);
    KeReleaseSpinLock(&outer, fromPassive);
    EXPECT_THAT(verifier.One(), HasSubstr("released to PASSIVE_LEVEL while spin lock"));
    KeRaiseIrql(DISPATCH_LEVEL, &fromDispatch);
    KeReleaseSpinLock(&inner, DISPATCH_LEVEL);
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
}

// What a misbehaving driver routine does before it returns.
KSPIN_LOCK g_keptLock;
void (*g_misbehave)();
void KeepLock()
{
    KIRQL old;
    KeAcquireSpinLock(&g_keptLock, &old);
}
void ChangeIrql()
{
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    } else {
        KeLowerIrql(PASSIVE_LEVEL);
    }
}

// Each way the host calls into the driver catches a routine that returns
// unbalanced, names it, and brings the thread back to where it was.
TEST(CoreVerifier, DriverRoutineReturningUnbalancedIsNamedAndTheThreadBroughtBack)
{
    enum Way { EntryPoint, Dpc, WorkItem };
    struct Case {
        Way How;
        void (*Misbehave)();
        const char *Expected;
    };
    const Case cases[] = {
        {EntryPoint, KeepLock, "DsmExample returned holding a spin lock"},
        {EntryPoint, ChangeIrql, "DsmExample returned at DISPATCH_LEVEL; it was called at PASSIVE_LEVEL"},
        {Dpc, KeepLock, "returned holding a spin lock"},
        {Dpc, ChangeIrql, "returned at PASSIVE_LEVEL; it was called at DISPATCH_LEVEL"},
        {WorkItem, KeepLock, "returned holding a spin lock"},
        {WorkItem, ChangeIrql, "returned at DISPATCH_LEVEL; it was called at PASSIVE_LEVEL"},
    };
    const char *const wayNames[] = {"", "DPC routine 0x", "work item routine 0x"};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Expected);
        host::ResetMachine();
        KeInitializeSpinLock(&g_keptLock);
        g_misbehave = c.Misbehave;
        VerifierRecorder verifier;
        switch (c.How) {
        case EntryPoint: {
            host::DriverCall call("DsmExample");
            g_misbehave();
            break;
        }
        case Dpc: {
            KTIMER timer;
            KDPC dpc;
            KeInitializeTimerEx(&timer, NotificationTimer);
            KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { g_misbehave(); }, nullptr);
            KeSetTimerEx(&timer, RelativeMs(1), 0, &dpc);
            host::ClockAdvance(1);
            break;
        }
        case WorkItem: {
            PIO_WORKITEM item = IoAllocateWorkItem(host::CreateDevice(u"", nullptr));
            IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) { g_misbehave(); }, DelayedWorkQueue, nullptr);
            host::DrainWorkItems();
            IoFreeWorkItem(item);
            break;
        }
        }
        EXPECT_THAT(verifier.One(), AllOf(HasSubstr(wayNames[c.How]), HasSubstr(c.Expected)));
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        EXPECT_EQ(host::HeldSpinLocks(), 0);
        KIRQL old;   // the kept lock was dropped
        KeAcquireSpinLock(&g_keptLock, &old);
        KeReleaseSpinLock(&g_keptLock, old);
        EXPECT_THAT(verifier.Take(), testing::IsEmpty());
    }
}

TEST(CoreVerifier, TestEndCheckFailsATestLeftHoldingALockOrRaised)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_NONFATAL_FAILURE(tarntest::CheckMachineAtTestEnd(), "holding 1 spin lock");
    EXPECT_EQ(host::HeldSpinLocks(), 0);   // the quiet reboot after the report
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_NONFATAL_FAILURE(tarntest::CheckMachineAtTestEnd(), "the test ends at IRQL 2");
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(CoreVerifier, SpinLockMisuse)
{
    coretest::FastDeathTests();
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);

    EXPECT_DEATH(
        {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            std::thread other([] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); });
            other.join();
        },
        "VERIFIER: spin lock .* released by a thread that does not hold it");
    EXPECT_DEATH(
        {
            KIRQL old;
            KIRQL again;
            KeAcquireSpinLock(&lock, &old);
            KeAcquireSpinLock(&lock, &again);
        },
        "VERIFIER: spin lock .* acquired recursively");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeReleaseSpinLock(&lock, APC_LEVEL);
        },
        "VERIFIER: spin lock .* released to APC_LEVEL; it was taken at PASSIVE_LEVEL");

    // And the rules as kept: usable again, at the level it was taken at.
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(host::HeldSpinLocks(), 1);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

//
// Work items.
//

struct WorkLog {
    std::vector<int> Order;
    PIO_WORKITEM Items[3];
    PDEVICE_OBJECT Device;
};

WorkLog g_work;

VOID NTAPI LoggingRoutine(PDEVICE_OBJECT device, PVOID context)
{
    int id = static_cast<int>(reinterpret_cast<intptr_t>(context));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(device, g_work.Device);
    g_work.Order.push_back(id);
    if (id == 1) {
        // Queued by an item: runs in the same drain, after those queued before it.
        IoQueueWorkItem(g_work.Items[2], LoggingRoutine, DelayedWorkQueue, reinterpret_cast<PVOID>(3));
    }
    if (id == 3) {
        IoFreeWorkItem(g_work.Items[2]);   // freeing its own item from inside the routine
        g_work.Items[2] = nullptr;
    }
}

TEST(CoreWorkItems, RunInFifoOrderAtPassiveIncludingItemsQueuedByItems)
{
    g_work = WorkLog{};
    g_work.Device = host::CreateDevice(u"", nullptr);
    for (PIO_WORKITEM &item : g_work.Items) {
        item = IoAllocateWorkItem(g_work.Device);
        ASSERT_NE(item, nullptr);
    }
    EXPECT_EQ(host::PoolOutstanding(host::Tag("IoWI")), 3u);

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);   // queuing is allowed at DISPATCH_LEVEL
    IoQueueWorkItem(g_work.Items[0], LoggingRoutine, DelayedWorkQueue, reinterpret_cast<PVOID>(1));
    IoQueueWorkItem(g_work.Items[1], LoggingRoutine, CriticalWorkQueue, reinterpret_cast<PVOID>(2));
    KeLowerIrql(old);
    EXPECT_EQ(host::PendingWorkItems(), 2u);
    EXPECT_TRUE(g_work.Order.empty());   // nothing runs until drained

    EXPECT_EQ(host::DrainWorkItems(), 3u);
    EXPECT_THAT(g_work.Order, ElementsAre(1, 2, 3));
    EXPECT_EQ(host::PendingWorkItems(), 0u);
    EXPECT_EQ(g_work.Items[2], nullptr);
    EXPECT_EQ(host::PoolOutstanding(host::Tag("IoWI")), 2u);

    // A work item may be queued again once its routine has started.
    IoQueueWorkItem(g_work.Items[0], LoggingRoutine, DelayedWorkQueue, reinterpret_cast<PVOID>(4));
    EXPECT_EQ(host::DrainWorkItems(), 1u);
    IoFreeWorkItem(g_work.Items[0]);
    IoFreeWorkItem(g_work.Items[1]);
    EXPECT_EQ(host::PoolOutstanding(), 0u);
}

TEST(CoreWorkItems, MisuseIsAVerifierFailure)
{
    VerifierRecorder verifier;
    EXPECT_EQ(IoAllocateWorkItem(nullptr), nullptr);
    EXPECT_THAT(verifier.One(), HasSubstr("IoAllocateWorkItem(NULL)"));

    PDEVICE_OBJECT device = host::CreateDevice(u"", nullptr);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    auto routine = [](PDEVICE_OBJECT, PVOID) {};
    IoQueueWorkItem(item, routine, DelayedWorkQueue, nullptr);
    IoQueueWorkItem(item, routine, DelayedWorkQueue, nullptr);
    EXPECT_THAT(verifier.One(), AllOf(HasSubstr("IoQueueWorkItem"), HasSubstr("already queued")));
    EXPECT_EQ(host::PendingWorkItems(), 1u);

    IoFreeWorkItem(item);
    EXPECT_THAT(verifier.One(), AllOf(HasSubstr("IoFreeWorkItem"), HasSubstr("queued")));
    ExFreePool(item);
    EXPECT_THAT(verifier.One(), HasSubstr("freed pool containing a queued work item"));

    EXPECT_EQ(host::DrainWorkItems(), 1u);
    IoFreeWorkItem(item);
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
    IoFreeWorkItem(item);
    EXPECT_THAT(verifier.One(), HasSubstr("already freed"));
}

//
// Real-time mode.
//

struct RealTimeState {
    KTIMER Timer;
    KDPC Dpc;
    KEVENT TimerFired;
    KEVENT WorkDone;
    PIO_WORKITEM Item;
};

TEST(CoreRealTime, TimersAndWorkItemsRunByThemselves)
{
    static RealTimeState state;
    KeInitializeEvent(&state.TimerFired, NotificationEvent, FALSE);
    KeInitializeEvent(&state.WorkDone, NotificationEvent, FALSE);
    KeInitializeTimerEx(&state.Timer, NotificationTimer);
    state.Item = IoAllocateWorkItem(host::CreateDevice(u"", nullptr));
    // The DPC queues the work item, which signals the waiting test thread.
    KeInitializeDpc(
        &state.Dpc,
        [](PKDPC, PVOID, PVOID, PVOID) {
            KeSetEvent(&state.TimerFired, IO_NO_INCREMENT, FALSE);
            IoQueueWorkItem(
                state.Item,
                [](PDEVICE_OBJECT, PVOID) {
                    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
                    KeSetEvent(&state.WorkDone, IO_NO_INCREMENT, FALSE);
                },
                DelayedWorkQueue, nullptr);
        },
        nullptr);

    host::SetRealTime(true);
    KeSetTimerEx(&state.Timer, RelativeMs(20), 0, &state.Dpc);
    EXPECT_EQ(KeWaitForSingleObject(&state.WorkDone, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&state.TimerFired), 1);
    EXPECT_GE(host::InterruptTime(), 200000u);

    // A timed wait really waits in real-time mode.
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = RelativeMs(30);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), kStatusTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));
    host::SetRealTime(false);
    IoFreeWorkItem(state.Item);
}

TEST(CoreReboot, RebootForgetsTimersWorkItemsAndTheClock)
{
    static KTIMER timer;
    KeInitializeTimerEx(&timer, NotificationTimer);
    KeSetTimerEx(&timer, RelativeMs(100), 100, nullptr);
    PIO_WORKITEM item = IoAllocateWorkItem(host::CreateDevice(u"", nullptr));
    IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) { ADD_FAILURE() << "ran after a reboot"; }, DelayedWorkQueue,
                    nullptr);
    host::ClockAdvance(250);

    host::Reboot();
    EXPECT_EQ(host::ActiveTimers(), 0u);
    EXPECT_EQ(host::PendingWorkItems(), 0u);
    EXPECT_EQ(host::DrainWorkItems(), 0u);
    EXPECT_EQ(host::DpcRuns(), 0u);
    EXPECT_EQ(host::InterruptTime(), 0u);
    EXPECT_EQ(host::PoolOutstanding(), 0u);

    // Real-time mode ends with the reboot.
    host::SetRealTime(true);
    // However loaded the machine, the clock moves within a few seconds.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (host::InterruptTime() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GT(host::InterruptTime(), 0u);
    host::Reboot();
    EXPECT_EQ(host::InterruptTime(), 0u);
}

} // namespace
