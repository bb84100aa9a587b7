/*++

Module Name:

    requests.h

Abstract:

    The one place the runner meets MPIO's request interface: reads and
    writes started on a multipath disk, and the clock moved until what is
    due has run.  Completions are handed back on the runner's own thread,
    so the workload's books need no lock.

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

struct Completion {
    NTSTATUS Status = STATUS_PENDING;
    PVOID Path = nullptr;       // the path identifier the request last went down
};

using CompletionRoutine = std::function<void(const Completion &)>;

class Requests {
public:
    explicit Requests(mpio::Host *host) : host_(host) {}

    // Brings the claimed paths into use after discovery.
    void BringUpPaths();

    // Starts a read or a write of whole blocks; done runs from Pass once
    // the request has completed.  The buffer must stay until then.
    void Start(size_t disk, bool write, uint64_t lba, uint32_t blocks, uint8_t *buffer, CompletionRoutine done);

    // Moves the clock on (0: not at all), lets the timers, work items and
    // the port run what is due, then runs the completion routines.
    void Pass(uint64_t milliseconds);

    size_t InFlight() const { return inFlight_; }

private:
    struct Finished {
        Completion Result;
        CompletionRoutine Done;
    };

    mpio::Host *host_;
    size_t inFlight_ = 0;
    std::mutex mutex_;                  // finished_ is filled on MPIO's threads
    std::deque<Finished> finished_;
};

} // namespace scenario
