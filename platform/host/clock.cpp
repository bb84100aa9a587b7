/*++

Module Name:

    clock.cpp

Abstract:

    Time, timers, DPCs, events and work items of the user-mode kernel.

    The clock is interrupt time in 100 ns units since boot.  It moves only
    when a test calls host::ClockAdvance, or with the wall clock in
    real-time mode.  Advancing runs each due timer's DPC on the advancing
    thread at DISPATCH_LEVEL, in order of due time, with the clock set to
    that timer's due moment; a periodic timer is re-armed at due + period.

    Events are real: a blocking wait sleeps on a condition variable until
    another thread signals the event.  A wait with a timeout, though, is
    measured on the kernel's clock: with the controllable clock, time does
    not pass while a thread waits (only the test moves it), so a wait with
    a non-zero timeout on an event that is not signalled returns
    STATUS_TIMEOUT at once, as if the whole timeout had elapsed, without
    moving the clock.  In real-time mode such a wait really waits, up to
    the timeout in wall-clock time.

    With several processors (host::SetProcessors), timers expire as the
    kernel's clock interrupt expires them, tick by tick: every timer due
    by the end of a tick (KeQueryTimeIncrement) expires with the clock at
    that moment, and the DPCs expired together are queued and run on the
    processor threads at once.  The advancing thread waits until the
    processors have run them all before it moves on, so that a test sees
    the same expiries, in the same ticks, at every run; only their
    overlap differs.  A DPC object is queued at most once (an expiry that
    finds it queued adds nothing) and never runs on two processors at
    once.  Cancelling a timer does not take back a DPC it already queued,
    as on the real kernel, and pool that holds a queued DPC may not be
    freed.

    KeFlushQueuedDpcs waits until every DPC queued before the call has
    run, whichever thread runs it: the one advancing the clock (one
    processor, or the real-time clock's thread) or a processor thread.
    Each expiry that queues a DPC is numbered, so the wait ends even
    while timers go on expiring: DPCs queued after the call are not
    waited for.

    Work items are queued FIFO and run at PASSIVE_LEVEL by
    host::DrainWorkItems on the calling thread, or, with a pool of worker
    threads (host::SetWorkerThreads, and always in real-time mode), on
    the pool as soon as they are queued; draining then waits until the
    pool has run everything queued.

    No host mutex is held while a DPC, a work item routine or the verifier
    handler runs.

--*/

#include "coreinternal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace host {
namespace {

constexpr NTSTATUS kStatusTimeout = 0x00000102;   // STATUS_TIMEOUT, not in the driver's surface
constexpr int64_t kDefaultBootSystemTime = 134409888000000000LL;   // 2026-12-06 00:00:00 UTC
constexpr ULONG kTimeIncrement = 156250;                           // 15.625 ms
constexpr uint64_t kTicksPerMs = TIME_UNITS_PER_MS;

// Object type codes, as the kernel's dispatcher headers carry them.
constexpr UCHAR kTimerNotificationObject = 8;
constexpr UCHAR kTimerSynchronizationObject = 9;
constexpr UCHAR kDpcObject = 19;

// Brings the calling thread back to irql after a routine left it elsewhere.
void RestoreIrql(KIRQL irql)
{
    KIRQL current = KeGetCurrentIrql();
    if (current > irql) {
        KfLowerIrql(irql);
    } else if (current < irql) {
        KfRaiseIrql(irql);
    }
}

//
// Clock, timers, work items: one mutex.
//
struct TimerState {
    uint64_t Due;
    LONG Period;
    PKDPC Dpc;
    uint64_t Sequence;   // orders timers due at the same moment by when they were set
};

struct WorkItemState {
    bool Queued;
    PDEVICE_OBJECT Device;
    PIO_WORKITEM_ROUTINE Routine;
    PVOID Context;
};

std::mutex g_clockMutex;
// Written under g_clockMutex, read without it: the driver asks the time on
// every request, and a torn or locked read would cost more than the answer.
std::atomic<uint64_t> g_now{0};
std::atomic<int64_t> g_bootSystemTime{kDefaultBootSystemTime};
uint64_t g_timerSequence = 0;
std::unordered_map<PKTIMER, TimerState> g_timers;
std::unordered_map<PIO_WORKITEM, WorkItemState> g_workItems;
std::deque<PIO_WORKITEM> g_workQueue;
// The two that the pool and the processors wait on are never destroyed:
// a program may exit while they wait, without a reboot.
std::condition_variable &g_workCv = *new std::condition_variable;      // work queued, or stop
std::condition_variable g_stopCv;      // real-time stop
bool g_stopRealTime = false;

// The processors' DPC queue, with several processors (clock mutex).  A
// DPC is in g_dpcQueue at most once, and in g_dpcRunning while a
// processor runs it.
struct QueuedDpc {
    PKTIMER Timer;
    PKDPC Dpc;
    uint64_t Sequence;   // its queuing's number (g_dpcSequence)
};
constexpr unsigned kMaxProcessors = 8;
std::deque<QueuedDpc> g_dpcQueue;
std::unordered_map<PKDPC, uint64_t> g_dpcRunning;   // each with its queuing's number
std::condition_variable &g_dpcCv = *new std::condition_variable;       // a DPC queued, or stop
std::condition_variable g_dpcIdleCv;   // the processors ran everything queued

// DPCs queued since the process started, on any processor (clock mutex):
// each queuing takes the next number.  With one processor the DPC the
// advancing thread runs is g_inlineDpc (0 while none runs).
uint64_t g_dpcSequence = 0;
uint64_t g_inlineDpc = 0;
// A DPC finished (KeFlushQueuedDpcs waits on it); never destroyed, like
// the other two a thread may wait on at exit.
std::condition_variable &g_dpcDoneCv = *new std::condition_variable;
unsigned g_processors = 1;
bool g_stopProcessors = false;
std::vector<std::thread> &g_processorThreads = *new std::vector<std::thread>;
uint64_t g_maxDpcOverlap = 0;          // the most DPCs seen running at once

// The worker pool (clock mutex): its size as set, the threads running,
// and how many items they are running now.
unsigned g_workerCount = 0;
bool g_stopWorkers = false;
std::vector<std::thread> &g_workerThreads = *new std::vector<std::thread>;
size_t g_workRunning = 0;
uint64_t g_workDone = 0;
std::condition_variable g_workIdleCv;  // the pool ran everything queued
thread_local bool t_poolWorker = false;

// The lowest and highest address of an active timer, its DPC or a queued
// work item, kept under g_clockMutex and read without it, so that the
// check on every free (ActiveObjectIn) needs no lock for memory that lies
// clear of them all.  A removal may leave the range wider than needed
// until the next recomputation; it is never narrower than the set.
std::atomic<uintptr_t> g_activeLow{UINTPTR_MAX};
std::atomic<uintptr_t> g_activeHigh{0};

// Clock mutex held.
void WidenActive(const void *object)
{
    uintptr_t at = reinterpret_cast<uintptr_t>(object);
    if (at < g_activeLow.load(std::memory_order_relaxed)) {
        g_activeLow.store(at, std::memory_order_release);
    }
    if (at > g_activeHigh.load(std::memory_order_relaxed)) {
        g_activeHigh.store(at, std::memory_order_release);
    }
}

// After a removal (clock mutex held).  The bounds are stored one at a time;
// either intermediate pair still covers the new set.
void RecomputeActive()
{
    uintptr_t low = UINTPTR_MAX;
    uintptr_t high = 0;
    auto add = [&](const void *object) {
        uintptr_t at = reinterpret_cast<uintptr_t>(object);
        low = std::min(low, at);
        high = std::max(high, at);
    };
    for (const auto &entry : g_timers) {
        add(entry.first);
        if (entry.second.Dpc != nullptr) {
            add(entry.second.Dpc);
        }
    }
    for (const auto &entry : g_workItems) {
        if (entry.second.Queued) {
            add(entry.first);
        }
    }
    for (const auto &queued : g_dpcQueue) {
        add(queued.Dpc);
    }
    g_activeLow.store(low, std::memory_order_release);
    g_activeHigh.store(high, std::memory_order_release);
}

std::atomic<uint64_t> g_dpcRuns{0};

// Serialises the threads that advance the clock (tests, the real-time
// thread), and the changes of the number of processors.
std::mutex g_advanceMutex;

// Events.
std::mutex g_eventMutex;
std::condition_variable g_eventCv;

// Real-time mode.
std::mutex g_realTimeControl;
std::atomic<bool> g_realTime{false};
std::thread g_clockThread;

void RunDpc(PKTIMER timer, PKDPC dpc)
{
    if (dpc->Type != kDpcObject || dpc->DeferredRoutine == nullptr) {
        VerifierFail("timer %p expired with DPC %p that is not initialised (KeInitializeDpc)", (void *)timer,
                     (void *)dpc);
        return;
    }
    LARGE_INTEGER systemTime;
    KeQuerySystemTime(&systemTime);
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;

    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    {
        DriverCall call("DPC routine", reinterpret_cast<const void *>(routine));
        routine(dpc, dpc->DeferredContext, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime.u.LowPart)),
                reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(systemTime.u.HighPart))));
    }
    g_dpcRuns++;
    RestoreIrql(old);
}

// Expires the earliest timer due by target (ties in the order they were
// set): the clock moves to its due moment, a periodic one is re-armed at
// due + period, a one-shot one leaves the table.  False when none is due.
// Clock mutex held.
bool ExpireNext(uint64_t target, PKTIMER *timer, PKDPC *dpc)
{
    auto next = g_timers.end();
    for (auto it = g_timers.begin(); it != g_timers.end(); ++it) {
        if (it->second.Due > target) {
            continue;
        }
        if (next == g_timers.end() || it->second.Due < next->second.Due ||
            (it->second.Due == next->second.Due && it->second.Sequence < next->second.Sequence)) {
            next = it;
        }
    }
    if (next == g_timers.end()) {
        return false;
    }
    *timer = next->first;
    TimerState &state = next->second;
    if (state.Due > g_now.load(std::memory_order_relaxed)) {
        g_now.store(state.Due, std::memory_order_release);
    }
    *dpc = state.Dpc;
    if (state.Period > 0) {
        state.Due += static_cast<uint64_t>(state.Period) * kTicksPerMs;
        state.Sequence = ++g_timerSequence;
        (*timer)->DueTime.QuadPart = state.Due;
    } else {
        g_timers.erase(next);
        (*timer)->Inserted = FALSE;
        RecomputeActive();
    }
    return true;
}

// Whether a DPC queued by the numbered queuing `last` or earlier is still
// queued or running.  Clock mutex held.
bool DpcQueuedBy(uint64_t last)
{
    if (g_inlineDpc != 0 && g_inlineDpc <= last) {
        return true;
    }
    for (const auto &queued : g_dpcQueue) {
        if (queued.Sequence <= last) {
            return true;
        }
    }
    for (const auto &running : g_dpcRunning) {
        if (running.second <= last) {
            return true;
        }
    }
    return false;
}

// One processor: moves the clock to target, running each due timer's DPC
// on this thread at its due moment.  Advance mutex held.
void AdvanceOnThisThread(uint64_t target)
{
    for (;;) {
        PKTIMER timer = nullptr;
        PKDPC dpc = nullptr;
        {
            std::lock_guard<std::mutex> lock(g_clockMutex);
            if (!ExpireNext(target, &timer, &dpc)) {
                if (target > g_now.load(std::memory_order_relaxed)) {
                    g_now.store(target, std::memory_order_release);
                }
                return;
            }
            if (dpc != nullptr) {
                g_inlineDpc = ++g_dpcSequence;
            }
        }
        if (dpc != nullptr) {
            RunDpc(timer, dpc);
            std::lock_guard<std::mutex> lock(g_clockMutex);
            g_inlineDpc = 0;
            g_dpcDoneCv.notify_all();
        }
    }
}

// The end of the clock tick in which a moment falls.
uint64_t TickEnd(uint64_t moment)
{
    return (moment + kTimeIncrement - 1) / kTimeIncrement * kTimeIncrement;
}

// Several processors: moves the clock to target tick by tick; the timers
// due by the end of a tick expire together, their DPCs are queued for the
// processors, and the next tick waits until they have all run.  Advance
// mutex held.
void AdvanceOnProcessors(uint64_t target)
{
    std::unique_lock<std::mutex> lock(g_clockMutex);
    for (;;) {
        uint64_t earliest = UINT64_MAX;
        for (const auto &entry : g_timers) {
            earliest = std::min(earliest, entry.second.Due);
        }
        if (earliest > target) {
            if (target > g_now.load(std::memory_order_relaxed)) {
                g_now.store(target, std::memory_order_release);
            }
            return;
        }
        uint64_t boundary = std::min(target, TickEnd(earliest));
        PKTIMER timer = nullptr;
        PKDPC dpc = nullptr;
        while (ExpireNext(boundary, &timer, &dpc)) {
            if (dpc == nullptr) {
                continue;
            }
            // A DPC already queued is not queued again: it runs once for both expiries.
            bool queued = std::any_of(g_dpcQueue.begin(), g_dpcQueue.end(),
                                      [dpc](const QueuedDpc &entry) { return entry.Dpc == dpc; });
            if (!queued) {
                g_dpcQueue.push_back(QueuedDpc{timer, dpc, ++g_dpcSequence});
                WidenActive(dpc);
            }
        }
        if (boundary > g_now.load(std::memory_order_relaxed)) {
            g_now.store(boundary, std::memory_order_release);
        }
        g_dpcCv.notify_all();
        g_dpcIdleCv.wait(lock, [] { return g_dpcQueue.empty() && g_dpcRunning.empty(); });
    }
}

// Moves the clock forward to target (100 ns units), running each timer
// due by then.  The caller is at PASSIVE_LEVEL.
void AdvanceTo(uint64_t target)
{
    std::lock_guard<std::mutex> advancing(g_advanceMutex);
    bool processors;
    {
        std::lock_guard<std::mutex> lock(g_clockMutex);
        processors = !g_processorThreads.empty();
    }
    if (processors) {
        AdvanceOnProcessors(target);
    } else {
        AdvanceOnThisThread(target);
    }
}

// A processor thread: runs queued DPCs, each at DISPATCH_LEVEL, never one
// that another processor is running.
void ProcessorThread()
{
    std::unique_lock<std::mutex> lock(g_clockMutex);
    for (;;) {
        auto runnable = g_dpcQueue.end();
        g_dpcCv.wait(lock, [&] {
            runnable = std::find_if(g_dpcQueue.begin(), g_dpcQueue.end(),
                                    [](const QueuedDpc &entry) { return g_dpcRunning.count(entry.Dpc) == 0; });
            return g_stopProcessors || runnable != g_dpcQueue.end();
        });
        if (g_stopProcessors) {
            return;
        }
        QueuedDpc next = *runnable;
        g_dpcQueue.erase(runnable);
        g_dpcRunning.emplace(next.Dpc, next.Sequence);
        g_maxDpcOverlap = std::max<uint64_t>(g_maxDpcOverlap, g_dpcRunning.size());
        RecomputeActive();
        lock.unlock();
        RunDpc(next.Timer, next.Dpc);
        lock.lock();
        g_dpcRunning.erase(next.Dpc);
        g_dpcDoneCv.notify_all();
        // A DPC held back while this one ran may go now; or the tick is done.
        g_dpcCv.notify_all();
        if (g_dpcQueue.empty() && g_dpcRunning.empty()) {
            g_dpcIdleCv.notify_all();
        }
    }
}

bool OutsidePassive()
{
    return KeGetCurrentIrql() != PASSIVE_LEVEL || HeldSpinLocks() != 0;
}

void RunWorkItemsUntilEmpty(size_t *count)
{
    for (;;) {
        PIO_WORKITEM item;
        WorkItemState work;
        {
            std::lock_guard<std::mutex> lock(g_clockMutex);
            // A pool thread being stopped leaves the rest queued.
            if (g_workQueue.empty() || (t_poolWorker && g_stopWorkers)) {
                return;
            }
            item = g_workQueue.front();
            g_workQueue.pop_front();
            auto it = g_workItems.find(item);
            if (it == g_workItems.end()) {
                continue;   // forgotten by a reboot meanwhile
            }
            it->second.Queued = false;
            work = it->second;
            g_workRunning++;
            RecomputeActive();
        }
        // The item may be freed (or requeued) by its own routine: not touched after the call.
        {
            DriverCall call("work item routine", reinterpret_cast<const void *>(work.Routine));
            work.Routine(work.Device, work.Context);
        }
        ++*count;
        RestoreIrql(PASSIVE_LEVEL);
        std::lock_guard<std::mutex> lock(g_clockMutex);
        g_workRunning--;
        g_workDone++;
        if (g_workQueue.empty() && g_workRunning == 0) {
            g_workIdleCv.notify_all();
        }
    }
}

void ClockThread()
{
    auto start = std::chrono::steady_clock::now();
    uint64_t base = g_now.load(std::memory_order_acquire);
    std::unique_lock<std::mutex> lock(g_clockMutex);
    while (!g_stopCv.wait_for(lock, std::chrono::milliseconds(1), [] { return g_stopRealTime; })) {
        lock.unlock();
        auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
        AdvanceTo(base + static_cast<uint64_t>(elapsed.count()) / 100);
        lock.lock();
    }
}

// One thread of the worker pool.
void WorkerThread()
{
    t_poolWorker = true;
    std::unique_lock<std::mutex> lock(g_clockMutex);
    for (;;) {
        g_workCv.wait(lock, [] { return g_stopWorkers || !g_workQueue.empty(); });
        if (g_stopWorkers) {
            return;
        }
        lock.unlock();
        size_t count = 0;
        RunWorkItemsUntilEmpty(&count);
        lock.lock();
    }
}

// Stops the threads of the pool or of the processors; what they have
// not taken stays queued.  Not from one of those threads.
void StopThreads(std::vector<std::thread> *threads, bool *stop, std::condition_variable *wake)
{
    std::vector<std::thread> stopping;
    {
        std::lock_guard<std::mutex> lock(g_clockMutex);
        *stop = true;
        stopping.swap(*threads);
    }
    wake->notify_all();
    for (std::thread &thread : stopping) {
        thread.join();
    }
    std::lock_guard<std::mutex> lock(g_clockMutex);
    *stop = false;
}

// Brings the pool to the size set (at least one thread in real-time mode).
void ResizeWorkers()
{
    StopThreads(&g_workerThreads, &g_stopWorkers, &g_workCv);
    std::lock_guard<std::mutex> lock(g_clockMutex);
    unsigned count = g_workerCount;
    if (g_realTime.load() && count == 0) {
        count = 1;
    }
    for (unsigned i = 0; i < count; i++) {
        g_workerThreads.emplace_back(WorkerThread);
    }
}

// Brings the processor threads to the number set (none for one
// processor: the advancing thread is it).  Advance mutex held.
void ResizeProcessors()
{
    StopThreads(&g_processorThreads, &g_stopProcessors, &g_dpcCv);
    std::lock_guard<std::mutex> lock(g_clockMutex);
    if (g_processors > 1) {
        for (unsigned i = 0; i < g_processors; i++) {
            g_processorThreads.emplace_back(ProcessorThread);
        }
    }
}

} // namespace

void ClockAdvance(uint64_t milliseconds)
{
    if (OutsidePassive()) {
        RequirePassive("host::ClockAdvance");
        return;
    }
    AdvanceTo(g_now.load(std::memory_order_acquire) + milliseconds * kTicksPerMs);
}

uint64_t InterruptTime()
{
    return g_now.load(std::memory_order_acquire);
}

void SetBootSystemTime(int64_t systemTime)
{
    std::lock_guard<std::mutex> lock(g_clockMutex);
    g_bootSystemTime.store(systemTime, std::memory_order_release);
}

size_t ActiveTimers()
{
    std::lock_guard<std::mutex> lock(g_clockMutex);
    return g_timers.size();
}

uint64_t DpcRuns()
{
    return g_dpcRuns.load();
}

void SetProcessors(unsigned count)
{
    if (count < 1 || count > kMaxProcessors) {
        VerifierFail("host::SetProcessors(%u): 1 to %u processors", count, kMaxProcessors);
        return;
    }
    std::lock_guard<std::mutex> advancing(g_advanceMutex);
    {
        std::lock_guard<std::mutex> lock(g_clockMutex);
        if (count == g_processors) {
            return;
        }
        g_processors = count;
    }
    ResizeProcessors();
}

unsigned Processors()
{
    std::lock_guard<std::mutex> lock(g_clockMutex);
    return g_processors;
}

uint64_t MostDpcsAtOnce()
{
    std::lock_guard<std::mutex> lock(g_clockMutex);
    return g_maxDpcOverlap;
}

void SetWorkerThreads(unsigned count)
{
    if (t_poolWorker) {
        VerifierFail("host::SetWorkerThreads(%u) called by a work item of the pool", count);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_clockMutex);
        g_workerCount = count;
    }
    ResizeWorkers();
}

void SetRealTime(bool on)
{
    std::lock_guard<std::mutex> control(g_realTimeControl);
    if (on == g_realTime.load()) {
        return;
    }
    if (on) {
        {
            std::lock_guard<std::mutex> lock(g_clockMutex);
            g_stopRealTime = false;
        }
        g_realTime = true;
        g_clockThread = std::thread(ClockThread);
        ResizeWorkers();
    } else {
        {
            std::lock_guard<std::mutex> lock(g_clockMutex);
            g_stopRealTime = true;
        }
        g_stopCv.notify_all();
        g_clockThread.join();
        g_realTime = false;
        ResizeWorkers();
        g_eventCv.notify_all();
    }
}

size_t DrainWorkItems()
{
    if (OutsidePassive()) {
        RequirePassive("host::DrainWorkItems");
        return 0;
    }
    size_t count = 0;
    {
        std::unique_lock<std::mutex> lock(g_clockMutex);
        if (!g_workerThreads.empty() && !t_poolWorker) {
            // The pool runs them: wait until it has run everything queued.
            uint64_t before = g_workDone;
            g_workIdleCv.wait(lock, [] { return g_workQueue.empty() && g_workRunning == 0; });
            return static_cast<size_t>(g_workDone - before);
        }
    }
    RunWorkItemsUntilEmpty(&count);
    return count;
}

size_t PendingWorkItems()
{
    std::lock_guard<std::mutex> lock(g_clockMutex);
    return g_workQueue.size();
}

namespace detail {

const char *ActiveObjectIn(const void *begin, size_t size)
{
    const char *b = static_cast<const char *>(begin);
    auto inside = [&](const void *p) {
        const char *c = static_cast<const char *>(p);
        return c >= b && c < b + size;
    };
    uintptr_t first = reinterpret_cast<uintptr_t>(begin);
    if (size == 0 || first > g_activeHigh.load(std::memory_order_acquire) ||
        first + (size - 1) < g_activeLow.load(std::memory_order_acquire)) {
        return nullptr;   // clear of every active object: the common case, without the lock
    }
    std::lock_guard<std::mutex> lock(g_clockMutex);
    for (const auto &entry : g_timers) {
        if (inside(entry.first)) {
            return "an active timer";
        }
        if (entry.second.Dpc != nullptr && inside(entry.second.Dpc)) {
            return "the DPC of an active timer";
        }
    }
    for (const auto &queued : g_dpcQueue) {
        if (inside(queued.Dpc)) {
            return "a DPC queued to run on a processor";
        }
    }
    for (const auto &entry : g_workItems) {
        if (entry.second.Queued && inside(entry.first)) {
            return "a queued work item";
        }
    }
    return nullptr;
}

void RebootCore()
{
    SetRealTime(false);
    {
        // Nothing of the old boot runs on: the pool and the processors
        // stop (what they hold is forgotten below) and start again afresh.
        std::lock_guard<std::mutex> advancing(g_advanceMutex);
        StopThreads(&g_processorThreads, &g_stopProcessors, &g_dpcCv);
        StopThreads(&g_workerThreads, &g_stopWorkers, &g_workCv);
        std::lock_guard<std::mutex> lock(g_clockMutex);
        g_now.store(0, std::memory_order_release);
        g_bootSystemTime.store(kDefaultBootSystemTime, std::memory_order_release);
        g_timerSequence = 0;
        g_timers.clear();
        g_workItems.clear();
        g_workQueue.clear();
        g_workRunning = 0;
        g_workDone = 0;
        g_dpcQueue.clear();
        g_dpcRunning.clear();
        g_inlineDpc = 0;
        g_maxDpcOverlap = 0;
        RecomputeActive();
        g_dpcRuns = 0;
    }
    g_eventCv.notify_all();
    g_dpcDoneCv.notify_all();
    RebootObjects();
    RebootPool();
    std::lock_guard<std::mutex> advancing(g_advanceMutex);
    ResizeProcessors();
    ResizeWorkers();
}

void ResetConcurrency()
{
    {
        std::lock_guard<std::mutex> advancing(g_advanceMutex);
        {
            std::lock_guard<std::mutex> lock(g_clockMutex);
            g_processors = 1;
            g_workerCount = 0;
        }
        ResizeProcessors();
    }
    ResizeWorkers();
}

} // namespace detail
} // namespace host

using namespace host;

//
// Time.
//

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = g_bootSystemTime.load(std::memory_order_acquire) +
                            static_cast<int64_t>(g_now.load(std::memory_order_acquire));
}

extern "C" VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount)
{
    TickCount->QuadPart = static_cast<int64_t>(g_now.load(std::memory_order_acquire) / kTimeIncrement);
}

extern "C" ULONG NTAPI KeQueryTimeIncrement(VOID)
{
    return kTimeIncrement;
}

//
// DPCs and timers.
//

extern "C" VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    if (Dpc == nullptr || DeferredRoutine == nullptr) {
        VerifierFail("KeInitializeDpc(%p, %p): NULL DPC or routine", (void *)Dpc, (void *)DeferredRoutine);
        return;
    }
    Dpc->Type = kDpcObject;
    Dpc->Importance = 1;   // MediumImportance
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
}

extern "C" VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    detail::RequireAtMostDispatch("KeInitializeTimerEx");
    if (Timer == nullptr) {
        VerifierFail("KeInitializeTimerEx(NULL)");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_clockMutex);
        if (g_timers.count(Timer) == 0) {
            Timer->Type = Type == SynchronizationTimer ? kTimerSynchronizationObject : kTimerNotificationObject;
            Timer->Inserted = FALSE;
            Timer->TimerType = static_cast<USHORT>(Type);
            Timer->Period = 0;
            Timer->DueTime.QuadPart = 0;
            Timer->Dpc = nullptr;
            InitializeListHead(&Timer->TimerListEntry);
            return;
        }
    }
    VerifierFail("KeInitializeTimerEx(%p): the timer is set (not cancelled or expired); re-initialising it "
                 "corrupts the timer table",
                 (void *)Timer);
}

extern "C" BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    detail::RequireAtMostDispatch("KeSetTimerEx");
    if (Timer == nullptr ||
        (Timer->Type != kTimerNotificationObject && Timer->Type != kTimerSynchronizationObject)) {
        VerifierFail("KeSetTimerEx(%p): the timer is not initialised (KeInitializeTimerEx)", (void *)Timer);
        return FALSE;
    }
    if (Period < 0) {
        VerifierFail("KeSetTimerEx(%p): negative period %d ms", (void *)Timer, Period);
        return FALSE;
    }
    if (Dpc != nullptr && Dpc->Type != kDpcObject) {
        VerifierFail("KeSetTimerEx(%p): DPC %p is not initialised (KeInitializeDpc)", (void *)Timer, (void *)Dpc);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(g_clockMutex);
    uint64_t now = g_now.load(std::memory_order_relaxed);
    uint64_t due;
    int64_t requested = DueTime.QuadPart;
    if (requested < 0) {
        due = now + static_cast<uint64_t>(-requested);
    } else {
        int64_t interrupt = requested - g_bootSystemTime.load(std::memory_order_relaxed);
        due = interrupt < static_cast<int64_t>(now) ? now : static_cast<uint64_t>(interrupt);
    }
    bool wasSet = g_timers.erase(Timer) != 0;
    g_timers[Timer] = TimerState{due, Period, Dpc, ++g_timerSequence};
    WidenActive(Timer);   // a DPC it had before stays in the range until the next removal
    if (Dpc != nullptr) {
        WidenActive(Dpc);
    }
    Timer->Inserted = TRUE;
    Timer->Period = Period;
    Timer->DueTime.QuadPart = due;
    Timer->Dpc = Dpc;
    return wasSet ? TRUE : FALSE;
}

// PASSIVE_LEVEL: the caller blocks until the processors have run what
// was queued.  A DPC that never ends (or waits for the caller) keeps it
// waiting, as on the real kernel.
extern "C" VOID NTAPI KeFlushQueuedDpcs(VOID)
{
    if (OutsidePassive()) {
        RequirePassive("KeFlushQueuedDpcs");
        return;
    }
    std::unique_lock<std::mutex> lock(g_clockMutex);
    uint64_t last = g_dpcSequence;
    g_dpcDoneCv.wait(lock, [last] { return !DpcQueuedBy(last); });
}

extern "C" BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer)
{
    detail::RequireAtMostDispatch("KeCancelTimer");
    // The kernel takes the timer's list links as they are: on a timer
    // never initialised they are whatever the memory held.
    if (Timer == nullptr ||
        (Timer->Type != kTimerNotificationObject && Timer->Type != kTimerSynchronizationObject)) {
        VerifierFail("KeCancelTimer(%p): the timer is not initialised (KeInitializeTimerEx)", (void *)Timer);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(g_clockMutex);
    if (g_timers.erase(Timer) == 0) {
        return FALSE;
    }
    RecomputeActive();
    Timer->Inserted = FALSE;
    return TRUE;
}

//
// Events.
//

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    if (Event == nullptr || (Type != NotificationEvent && Type != SynchronizationEvent)) {
        VerifierFail("KeInitializeEvent(%p, %d): NULL event or unknown type", (void *)Event, (int)Type);
        return;
    }
    std::lock_guard<std::mutex> lock(g_eventMutex);
    Event->Type = static_cast<UCHAR>(Type);
    Event->Reserved[0] = Event->Reserved[1] = Event->Reserved[2] = 0;
    Event->SignalState = State ? 1 : 0;
    InitializeListHead(&Event->WaitListHead);
}

namespace {

bool ValidEvent(const char *call, PRKEVENT event)
{
    if (event == nullptr || (event->Type != NotificationEvent && event->Type != SynchronizationEvent)) {
        VerifierFail("%s(%p): not an initialised event (KeInitializeEvent)", call, (void *)event);
        return false;
    }
    return true;
}

} // namespace

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    detail::RequireAtMostDispatch("KeSetEvent");
    if (!ValidEvent("KeSetEvent", Event)) {
        return 0;
    }
    LONG previous;
    {
        std::lock_guard<std::mutex> lock(g_eventMutex);
        previous = Event->SignalState;
        Event->SignalState = 1;
    }
    g_eventCv.notify_all();
    return previous;
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    detail::RequireAtMostDispatch("KeClearEvent");
    if (!ValidEvent("KeClearEvent", Event)) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_eventMutex);
    Event->SignalState = 0;
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    detail::RequireAtMostDispatch("KeReadStateEvent");
    if (!ValidEvent("KeReadStateEvent", Event)) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(g_eventMutex);
    return Event->SignalState;
}

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);

    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (!poll && OutsidePassive()) {
        RequirePassive("KeWaitForSingleObject");
        poll = true;   // when the verifier lets the caller go on, do not block it
    } else if (poll) {
        detail::RequireAtMostDispatch("KeWaitForSingleObject");
    }
    PRKEVENT event = static_cast<PRKEVENT>(Object);
    if (!ValidEvent("KeWaitForSingleObject", event)) {
        return STATUS_INVALID_PARAMETER;
    }

    // The wall-clock deadline of a timed wait in real-time mode.
    bool timed = !poll && Timeout != nullptr;
    int64_t waitTicks = 0;
    if (timed) {
        if (Timeout->QuadPart < 0) {
            waitTicks = -Timeout->QuadPart;
        } else {
            LARGE_INTEGER now;
            KeQuerySystemTime(&now);
            waitTicks = Timeout->QuadPart - now.QuadPart;
        }
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(std::max<int64_t>(waitTicks, 0) * 100);

    std::unique_lock<std::mutex> lock(g_eventMutex);
    auto signalled = [event] { return event->SignalState != 0; };
    if (!signalled()) {
        if (poll) {
            return kStatusTimeout;
        }
        if (!timed) {
            g_eventCv.wait(lock, signalled);
        } else if (!g_realTime.load() || !g_eventCv.wait_until(lock, deadline, signalled)) {
            // Controllable clock: time does not pass while waiting, so the timeout is taken as elapsed.
            return kStatusTimeout;
        }
    }
    if (event->Type == SynchronizationEvent) {
        event->SignalState = 0;
    }
    return STATUS_SUCCESS;
}

//
// Work items.  The IO_WORKITEM is a pool block of tag "IoWI", so a leaked
// one shows in the pool tracker; its state is kept on the host side.
//
struct _IO_WORKITEM {
    PDEVICE_OBJECT DeviceObject;
    ULONG Reserved[4];
};

extern "C" PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    detail::RequireAtMostDispatch("IoAllocateWorkItem");
    if (DeviceObject == nullptr) {
        VerifierFail("IoAllocateWorkItem(NULL): a work item needs a device object");
        return nullptr;
    }
    if (detail::CallFails(Call::IoAllocateWorkItem)) {
        return nullptr;
    }
    PIO_WORKITEM item;
    {
        detail::KernelOwnAllocation own;
        item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_WORKITEM), Tag("IoWI")));
    }
    if (item == nullptr) {
        return nullptr;
    }
    memset(item, 0, sizeof(*item));
    item->DeviceObject = DeviceObject;
    std::lock_guard<std::mutex> lock(g_clockMutex);
    g_workItems[item] = WorkItemState{false, DeviceObject, nullptr, nullptr};
    return item;
}

extern "C" VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                      WORK_QUEUE_TYPE QueueType, PVOID Context)
{
    UNREFERENCED_PARAMETER(QueueType);
    detail::RequireAtMostDispatch("IoQueueWorkItem");
    if (WorkerRoutine == nullptr) {
        VerifierFail("IoQueueWorkItem(%p): NULL routine", (void *)IoWorkItem);
        return;
    }
    {
        std::unique_lock<std::mutex> lock(g_clockMutex);
        auto it = g_workItems.find(IoWorkItem);
        if (it == g_workItems.end()) {
            lock.unlock();
            VerifierFail("IoQueueWorkItem(%p): not a work item from IoAllocateWorkItem (or already freed)",
                         (void *)IoWorkItem);
            return;
        }
        if (it->second.Queued) {
            lock.unlock();
            VerifierFail("IoQueueWorkItem(%p): the work item is already queued; its routine has not run yet",
                         (void *)IoWorkItem);
            return;
        }
        it->second.Queued = true;
        it->second.Routine = WorkerRoutine;
        it->second.Context = Context;
        g_workQueue.push_back(IoWorkItem);
        WidenActive(IoWorkItem);
    }
    g_workCv.notify_all();
}

extern "C" VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    detail::RequireAtMostDispatch("IoFreeWorkItem");
    {
        std::unique_lock<std::mutex> lock(g_clockMutex);
        auto it = g_workItems.find(IoWorkItem);
        if (it == g_workItems.end()) {
            lock.unlock();
            VerifierFail("IoFreeWorkItem(%p): not a work item from IoAllocateWorkItem (or already freed)",
                         (void *)IoWorkItem);
            return;
        }
        if (it->second.Queued) {
            lock.unlock();
            VerifierFail("IoFreeWorkItem(%p): the work item is queued; its routine has not run yet",
                         (void *)IoWorkItem);
            return;
        }
        g_workItems.erase(it);
    }
    ExFreePoolWithTag(IoWorkItem, Tag("IoWI"));
}
