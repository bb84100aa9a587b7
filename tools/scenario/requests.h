/*++

Module Name:

    requests.h

Abstract:

    The one place the runner meets MPIO's request interface: reads and
    writes submitted to a multipath disk, and the clock moved until what
    is due has run.  MPIO completes requests on its own threads; their
    outcomes are handed back on the runner's thread, so the workload's
    books need no lock.

--*/

#pragma once

#include "mpiohost.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace scenario {

// Interrupt time's units (100 ns) per millisecond.
constexpr uint64_t kTicksPerMs = TIME_UNITS_PER_MS;

struct Completion {
    NTSTATUS Status = STATUS_PENDING;
    PVOID Path = nullptr;       // the path identifier the request last went down
    uint64_t At = 0;            // interrupt time when it completed
};

using CompletionRoutine = std::function<void(const Completion &)>;

class Requests {
public:
    // With realTime the clock runs with the wall clock (host::SetRealTime):
    // Pass waits for it instead of moving it, and leaves the timers and
    // work items to the clock's own threads.
    explicit Requests(mpio::Host *host, bool realTime = false);

    // Submits a read or a write of whole blocks; done runs from Pass once
    // the request has completed.  The buffer must stay until then.
    void Start(size_t disk, bool write, uint64_t lba, uint32_t blocks, uint8_t *buffer, CompletionRoutine done);

    // Moves the clock on (0: not at all) in steps no longer than the
    // driver's timer period, letting the timers, work items and the port
    // run what is due at each, then runs the completion routines.
    // Requests MPIO holds for a path or a retry stay in flight.  In real
    // time it waits until the clock is that much past where the last
    // Pass left it, so the schedule does not drift.
    void Pass(uint64_t milliseconds);

    // Submitted, and their completion routines not yet run.
    size_t InFlight() const { return inFlight_; }

    // Someone watching: completed hears of every request before its
    // routine runs, stepped runs after each step of the clock (and once
    // a Pass in real time).  Both on the runner's thread.
    void Watch(CompletionRoutine completed, std::function<void()> stepped);

private:
    struct Finished {
        Completion Result;
        CompletionRoutine Done;
    };

    void RunDue();

    mpio::Host *host_;
    bool realTime_;
    uint64_t due_ = 0;                  // real time: where the last Pass left the clock (interrupt time)
    size_t inFlight_ = 0;
    std::vector<std::shared_ptr<mpio::PendingIo>> pending_;     // handles of requests not yet done
    std::mutex mutex_;                  // finished_ is filled on MPIO's threads
    std::deque<Finished> finished_;
    CompletionRoutine completed_;
    std::function<void()> stepped_;
};

} // namespace scenario
