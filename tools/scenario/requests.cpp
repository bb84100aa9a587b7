/*++

Module Name:

    requests.cpp

Abstract:

    Reads and writes through the host framework for the workload, and the
    clock moved in steps.  This MPIO carries a request through before
    Start returns and does not bring paths up itself, so the runner binds,
    verifies and activates each claimed path through the driver's entry
    points as the framework does.

--*/

#include "requests.h"

namespace scenario {

void Requests::BringUpPaths()
{
    const DSM_INIT_DATA &record = host_->Record();
    for (const mpio::Device &device : host_->Devices()) {
        if (device.DsmId == nullptr) {
            continue;
        }
        PVOID pathId = nullptr;
        NTSTATUS status = host::CallDriver("DsmSetDeviceInfo", record.DsmSetDeviceInfo, record.DsmContext,
                                           device.TargetObject, device.DsmId, &pathId);
        if (!NT_SUCCESS(status) || pathId == nullptr) {
            continue;
        }
        host::CallDriver("DsmPathVerify", record.DsmPathVerify, record.DsmContext, device.DsmId, pathId);
        KIRQL oldIrql;
        KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
        host::CallDriver("DsmIsPathActive", record.DsmIsPathActive, record.DsmContext, pathId, device.DsmId);
        KeLowerIrql(oldIrql);
    }
}

void Requests::Start(size_t disk, bool write, uint64_t lba, uint32_t blocks, uint8_t *buffer,
                     CompletionRoutine done)
{
    mpio::IoResult result = write ? host_->Write(disk, lba, blocks, buffer) : host_->Read(disk, lba, blocks, buffer);
    inFlight_++;
    std::lock_guard<std::mutex> lock(mutex_);
    finished_.push_back(Finished{Completion{result.Status, result.Path}, std::move(done)});
}

void Requests::Pass(uint64_t milliseconds)
{
    if (milliseconds != 0) {
        host::ClockAdvance(milliseconds);
    }
    host::DrainWorkItems();
    std::deque<Finished> finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finished.swap(finished_);
    }
    for (Finished &request : finished) {
        inFlight_--;
        request.Done(request.Result);
    }
}

} // namespace scenario
