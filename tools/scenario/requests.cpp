/*++

Module Name:

    requests.cpp

Abstract:

    Reads and writes through the host framework for the workload,
    submitted asynchronously, and the clock moved in steps.  A request
    that waits for a retry interval or is held while its disk has no live
    path completes once the clock has moved far enough; the runner never
    blocks on one, so a held request cannot stop the clock.

--*/

#include "requests.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace scenario {
namespace {

// The driver's timer period: work its DPCs and MPIO's queue runs before
// the clock moves further, as a worker thread would take it up.
constexpr uint64_t kStepMs = 100;

} // namespace

Requests::Requests(mpio::Host *host, bool realTime)
    : host_(host), realTime_(realTime), due_(realTime ? host::InterruptTime() : 0)
{
}

void Requests::Start(size_t disk, bool write, uint64_t lba, uint32_t blocks, uint8_t *buffer,
                     CompletionRoutine done)
{
    inFlight_++;
    auto routine = std::make_shared<CompletionRoutine>(std::move(done));
    // Runs on an MPIO thread at DISPATCH_LEVEL: it only records.
    mpio::IoCallback onDone = [this, routine](const mpio::IoResult &result) {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_.push_back(
            Finished{Completion{result.Status, result.Path, host::InterruptTime()}, std::move(*routine)});
    };
    pending_.push_back(write ? host_->SubmitWrite(disk, lba, blocks, buffer, std::move(onDone))
                             : host_->SubmitRead(disk, lba, blocks, buffer, std::move(onDone)));
}

// Lets the port, the DPCs' work items and what those start run until
// nothing is left but requests waiting on the clock.
void Requests::RunDue()
{
    do {
        host::DrainWorkItems();
        host_->WaitIdle();
    } while (host::PendingWorkItems() != 0);
}

void Requests::Watch(CompletionRoutine completed, std::function<void()> stepped)
{
    completed_ = std::move(completed);
    stepped_ = std::move(stepped);
}

void Requests::Pass(uint64_t milliseconds)
{
    if (realTime_) {
        due_ += milliseconds * kTicksPerMs;
        for (uint64_t now = host::InterruptTime(); now < due_; now = host::InterruptTime()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::max<uint64_t>(1, (due_ - now) / kTicksPerMs)));
        }
    } else {
        RunDue();
        for (uint64_t moved = 0; moved < milliseconds;) {
            uint64_t step = std::min(kStepMs, milliseconds - moved);
            host::ClockAdvance(step);
            moved += step;
            RunDue();
            if (stepped_) {
                stepped_();
            }
        }
    }
    if (stepped_ && (realTime_ || milliseconds == 0)) {
        stepped_();
    }
    std::deque<Finished> finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finished.swap(finished_);
    }
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                  [](const std::shared_ptr<mpio::PendingIo> &io) { return io->Done(); }),
                   pending_.end());
    for (Finished &request : finished) {
        inFlight_--;
        if (completed_) {
            completed_(request.Result);
        }
        request.Done(request.Result);
    }
}

} // namespace scenario
