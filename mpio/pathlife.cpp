/*++

Module Name:

    pathlife.cpp

Abstract:

    The life of MPIO's paths.  A claimed device is bound to the DSM
    (DsmSetDeviceInfo), verified (DsmPathVerify) and asked whether it may
    carry requests (DsmIsPathActive); only then does MPIO send requests
    down it.  A path MPIO took out of use is verified again every path
    verification period, and every retry interval while requests wait for
    a path, and comes back when the DSM says it is active again.  A disk
    left without a live path holds its requests for the removal period;
    past it they fail and the disk's devices are removed.  A device the
    storage takes away is removed at once.

    MPIO's timers run on the kernel's clock as KTIMERs with DPCs; the
    DPCs only note what is due and queue one work item, and everything
    that calls the DSM at PASSIVE_LEVEL (verification, removal) runs in
    that work item or on the caller's thread, never in a DPC.

    At the host's stop every request still live completes exactly once:
    whoever would hand one on parks it instead, and the stop fails what is
    parked once no timer, DPC or work item of MPIO's is left.

--*/

#include "mpiointernal.h"

#include <algorithm>

namespace mpio {

const char *PathStateName(PathState state)
{
    switch (state) {
    case PathState::Unbound:
        return "unbound";
    case PathState::Live:
        return "live";
    case PathState::Failed:
        return "failed";
    case PathState::Removing:
        return "removing";
    case PathState::Removed:
        return "removed";
    }
    return "?";
}

// A new multipath disk's record and its removal timer.
void Host::AddDiskState()
{
    auto state = std::make_unique<DiskState>();
    state->Owner = this;
    state->Disk = diskStates_.size();
    KeInitializeTimerEx(&state->Timer, NotificationTimer);
    KeInitializeDpc(&state->Dpc, DiskDpc, state.get());
    ULONG timeout = 0;
    if (host::RegistryGetDword(kDiskClassKey, "TimeOutValue", &timeout) && timeout != 0) {
        state->TimeOutValue = timeout;
    }
    std::lock_guard<HostMutex> lock(lock_);
    diskStates_.push_back(std::move(state));
}

/*++

Routine Description:

    Brings a claimed device's path into use as MPIO does: bind, verify,
    activate.  PASSIVE_LEVEL; DsmIsPathActive is asked at DISPATCH_LEVEL,
    where MPIO may ask it.

--*/
void Host::BringUp(size_t index)
{
    host::RequirePassive("MPIO path bring-up");
    Device &device = pnp_.Devices[index];
    const DSM_INIT_DATA &record = LiveRecord("DsmSetDeviceInfo");
    PVOID pathId = nullptr;
    NTSTATUS status = host::CallDriver("DsmSetDeviceInfo", record.DsmSetDeviceInfo, record.DsmContext,
                                       device.TargetObject, device.DsmId, &pathId);
    if (!NT_SUCCESS(status) || pathId == nullptr) {
        return;     // stays unbound: MPIO never sends requests down it
    }
    {
        // Routing looks paths up under MPIO's lock while devices come up.
        std::lock_guard<HostMutex> lock(lock_);
        device.PathId = pathId;
    }
    status = host::CallDriver("DsmPathVerify", record.DsmPathVerify, record.DsmContext, device.DsmId, pathId);
    BOOLEAN active;
    {
        AtDispatch raised;
        active = host::CallDriver("DsmIsPathActive", record.DsmIsPathActive, record.DsmContext, pathId,
                                  device.DsmId);
    }
    std::lock_guard<HostMutex> lock(lock_);
    states_[index] = NT_SUCCESS(status) && active ? PathState::Live : PathState::Failed;
    if (states_[index] == PathState::Live) {
        KeCancelTimer(&diskStates_[(size_t)device.Group]->Timer);
        diskStates_[(size_t)device.Group]->Armed = false;
    }
}

// Caller holds lock_.
void Host::ArmDiskTimerLocked(size_t disk)
{
    RequireHeld(lock_, "ArmDiskTimerLocked");
    DiskState &state = *diskStates_[disk];
    if (!state.Armed && !stopping_) {
        state.Armed = true;
        KeSetTimerEx(&state.Timer, DueIn(options_.RemovalPeriodMs), 0, &state.Dpc);
    }
}

// Caller holds lock_.  The disk's last live path went: its removal
// period runs from now, whatever an earlier hold started.
void Host::LoseLastPathLocked(size_t disk)
{
    RequireHeld(lock_, "LoseLastPathLocked");
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    diskStates_[disk]->LostAt = now.QuadPart;
    ArmDiskTimerLocked(disk);
}

// Caller holds lock_.  One work item at a time does what the DPCs noted;
// one that cannot be had is tried again at the next period.
void Host::QueueWorkLocked()
{
    RequireHeld(lock_, "QueueWorkLocked");
    if (workQueued_ || stopping_) {
        return;
    }
    PIO_WORKITEM item = IoAllocateWorkItem(mpioDevice_);
    if (item == nullptr) {
        return;
    }
    workQueued_ = true;
    if (workOutstanding_++ == 0) {
        KeClearEvent(&workIdle_);
    }
    IoQueueWorkItem(item, WorkRoutine, DelayedWorkQueue, new WorkContext{this, item});
}

VOID NTAPI Host::VerifyDpc(PKDPC dpc, PVOID context, PVOID, PVOID)
{
    UNREFERENCED_PARAMETER(dpc);
    auto *self = static_cast<Host *>(context);
    std::lock_guard<HostMutex> lock(self->lock_);
    self->verifyDue_ = true;
    self->QueueWorkLocked();
}

// Caller holds lock_.  A disk without a live path keeps its removal
// period running until the period has passed since its last live path
// went: an earlier start (a hold while a path lived) runs on for the
// rest, and true is returned.
bool Host::RearmForRestOfPeriodLocked(size_t disk)
{
    RequireHeld(lock_, "RearmForRestOfPeriodLocked");
    DiskState &state = *diskStates_[disk];
    if (HasLivePathLocked(disk) || stopping_) {
        return false;
    }
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    const LONGLONG left = state.LostAt + (LONGLONG)options_.RemovalPeriodMs * TIME_UNITS_PER_MS - now.QuadPart;
    if (left <= 0) {
        return false;
    }
    state.Armed = true;
    KeSetTimerEx(&state.Timer, DueIn((ULONG)((left + TIME_UNITS_PER_MS - 1) / TIME_UNITS_PER_MS)), 0, &state.Dpc);
    return true;
}

VOID NTAPI Host::DiskDpc(PKDPC dpc, PVOID context, PVOID, PVOID)
{
    UNREFERENCED_PARAMETER(dpc);
    auto *state = static_cast<DiskState *>(context);
    Host *self = state->Owner;
    std::lock_guard<HostMutex> lock(self->lock_);
    if (self->RearmForRestOfPeriodLocked(state->Disk)) {
        return;
    }
    state->Armed = false;
    state->Expired = true;
    self->expiryDue_ = true;
    self->QueueWorkLocked();
}

VOID NTAPI Host::WorkRoutine(PDEVICE_OBJECT device, PVOID context)
{
    UNREFERENCED_PARAMETER(device);
    auto *work = static_cast<WorkContext *>(context);
    Host *self = work->Owner;
    IoFreeWorkItem(work->Item);
    delete work;
    self->DoNotedWork();
    // The routine's last touch of the host: the stop, which waits for the
    // event, takes lock_ after it and may then free the host.
    std::lock_guard<HostMutex> lock(self->lock_);
    if (--self->workOutstanding_ == 0) {
        KeSetEvent(&self->workIdle_, IO_NO_INCREMENT, FALSE);
    }
}

// What MPIO's DPCs noted, done in its work item at PASSIVE_LEVEL; nothing
// once the host is stopping.
void Host::DoNotedWork()
{
    bool verify;
    bool expire;
    bool lost;
    bool links;
    {
        std::lock_guard<HostMutex> lock(lock_);
        workQueued_ = false;
        verify = verifyDue_;
        expire = expiryDue_;
        lost = lostDue_;
        links = port_.LinksDue;
        verifyDue_ = false;
        expiryDue_ = false;
        lostDue_ = false;
        port_.LinksDue = false;
        if (stopping_) {
            return;
        }
    }
    if (lost) {
        InvalidateLostPaths();
    }
    if (links) {
        ServiceLinks();
    }
    if (expire) {
        ExpireDisks();
    }
    if (verify) {
        VerifyPaths();
    }
}

// Caller holds lock_.  A device the storage still presents to MPIO.
bool Host::PresentLocked(size_t device) const
{
    RequireHeld(lock_, "PresentLocked");
    return pnp_.Devices[device].DsmId != nullptr && states_[device] != PathState::Removing &&
           states_[device] != PathState::Removed;
}

/*++

Routine Description:

    MPIO's periodic path verification: every bound path, the one in use
    included, is verified through the DSM.  A live path that fails is
    taken out of use and invalidated, as after a failed request; a failed
    one the DSM verifies and reports active is live again, and carries
    the requests its disk holds.  PASSIVE_LEVEL, in MPIO's work item.

--*/
void Host::VerifyPaths()
{
    std::lock_guard<HostMutex> pnp(pnp_.Mutex);
    std::vector<size_t> bound;
    {
        std::lock_guard<HostMutex> lock(lock_);
        for (size_t i = 0; i < states_.size(); i++) {
            if (states_[i] == PathState::Live || states_[i] == PathState::Failed) {
                bound.push_back(i);
            }
        }
    }
    const DSM_INIT_DATA &record = LiveRecord("DsmPathVerify");
    for (size_t index : bound) {
        const Device &device = pnp_.Devices[index];
        NTSTATUS status = host::CallDriver("DsmPathVerify", record.DsmPathVerify, record.DsmContext, device.DsmId,
                                           device.PathId);
        if (!NT_SUCCESS(status)) {
            FailAndInvalidate(index);
            continue;
        }
        BOOLEAN active;
        {
            AtDispatch raised;
            active = host::CallDriver("DsmIsPathActive", record.DsmIsPathActive, record.DsmContext, device.PathId,
                                      device.DsmId);
        }
        if (active) {
            std::lock_guard<HostMutex> lock(lock_);
            if (states_[index] == PathState::Failed) {
                states_[index] = PathState::Live;
                DiskState &disk = *diskStates_[(size_t)device.Group];
                KeCancelTimer(&disk.Timer);
                disk.Armed = false;
            }
        }
    }
    ReleaseDisksWithPaths();
}

// Takes a live path out of use and tells the DSM, which re-chooses the
// drive's path.  PASSIVE_LEVEL, with pnp_.Mutex held.
void Host::FailAndInvalidate(size_t index)
{
    RequireHeld(pnp_.Mutex, "FailAndInvalidate");
    {
        std::lock_guard<HostMutex> lock(lock_);
        if (states_[index] != PathState::Live) {
            return;
        }
        FailPathLocked(index);
    }
    const DSM_INIT_DATA &record = LiveRecord("DsmInvalidatePath");
    AtDispatch raised;
    PVOID newPath = kUnwrittenPath;
    NTSTATUS status = host::CallDriver("DsmInvalidatePath", record.DsmInvalidatePath, record.DsmContext,
                                       DSM_FATAL_ERROR, pnp_.Devices[index].PathId, &newPath);
    if (NT_SUCCESS(status) && newPath == kUnwrittenPath) {
        host::VerifierFail("MPIO: DsmInvalidatePath succeeded without writing NewPathId");
    }
}

// Sends the held requests of every disk that has a live path again.
// PASSIVE_LEVEL.
void Host::ReleaseDisksWithPaths()
{
    size_t disks;
    {
        std::lock_guard<HostMutex> lock(lock_);
        disks = diskStates_.size();
    }
    for (size_t disk = 0; disk < disks; disk++) {
        bool release;
        {
            std::lock_guard<HostMutex> lock(lock_);
            release = !diskStates_[disk]->Held.empty() && HasLivePathLocked(disk);
        }
        if (release) {
            ReleaseHeld(disk);
        }
    }
}

/*++

Routine Description:

    The port reports a nexus's link lost with no request on it (the
    transport's thread).  Its live devices are noted and MPIO's work item
    takes them out of use, as a failed request would have.

--*/
void Host::LinkLost(uint32_t initiator, uint32_t targetPort)
{
    std::lock_guard<HostMutex> lock(lock_);
    for (const auto &link : port_.Links) {
        if (link->Initiator == initiator && link->Path.TargetPort == targetPort) {
            NoteLinkDownLocked(link->Index);
        }
    }
    bool any = false;
    for (size_t i = 0; i < states_.size(); i++) {
        const array::Nexus &nexus = pnp_.Devices[i].Nexus;
        if (nexus.Initiator == initiator && nexus.TargetPort == targetPort && states_[i] == PathState::Live) {
            linkLost_[i] = true;
            any = true;
        }
    }
    if (any) {
        lostDue_ = true;
        QueueWorkLocked();
    }
}

// Verifies, through the DSM, each live path whose link the port reported
// lost: one that fails is taken out of use and invalidated, as after a
// failed request (the DSM re-chooses the drive's path), and periodic
// verification brings it back.  PASSIVE_LEVEL, in MPIO's work item.
void Host::InvalidateLostPaths()
{
    std::lock_guard<HostMutex> pnp(pnp_.Mutex);
    std::vector<size_t> lost;
    {
        std::lock_guard<HostMutex> lock(lock_);
        for (size_t i = 0; i < linkLost_.size(); i++) {
            if (linkLost_[i] && states_[i] == PathState::Live) {
                lost.push_back(i);
            }
            linkLost_[i] = false;
        }
    }
    const DSM_INIT_DATA &record = LiveRecord("DsmPathVerify");
    for (size_t index : lost) {
        const Device &device = pnp_.Devices[index];
        if (!NT_SUCCESS(host::CallDriver("DsmPathVerify", record.DsmPathVerify, record.DsmContext, device.DsmId,
                                         device.PathId))) {
            FailAndInvalidate(index);
        }
    }
}

// Sends a disk's held requests down the paths the DSM chooses now.  PASSIVE_LEVEL.
void Host::ReleaseHeld(size_t disk)
{
    std::deque<Request *> held;
    {
        std::lock_guard<HostMutex> lock(lock_);
        held.swap(diskStates_[disk]->Held);
    }
    AtDispatch raised;
    for (Request *request : held) {
        Route(request);
    }
}

/*++

Routine Description:

    A disk's removal period ran out.  Still without a live path: its
    held requests fail and its devices are removed, once the period has
    passed since its last live path went (a timer an earlier hold
    started runs on for the rest).  With a live path (the DSM kept
    choosing one MPIO does not use): its held requests fail, the disk
    stays.  PASSIVE_LEVEL, in MPIO's work item.

--*/
void Host::ExpireDisks()
{
    std::lock_guard<HostMutex> pnp(pnp_.Mutex);
    for (size_t disk = 0; disk < diskStates_.size(); disk++) {
        std::deque<Request *> held;
        std::vector<size_t> devices;
        {
            std::lock_guard<HostMutex> lock(lock_);
            DiskState &state = *diskStates_[disk];
            if (!state.Expired) {
                continue;
            }
            state.Expired = false;
            // The last path may have gone again since the timer ran out.
            if (RearmForRestOfPeriodLocked(disk)) {
                continue;
            }
            held.swap(state.Held);
            if (!HasLivePathLocked(disk)) {
                for (size_t index : disks_[disk].Devices) {
                    if (states_[index] != PathState::Removing && states_[index] != PathState::Removed) {
                        devices.push_back(index);
                    }
                }
                // MPIO's disk goes with its removal period.
                state.Gone = true;
            }
        }
        for (Request *request : held) {
            FailRequest(request, STATUS_NO_SUCH_DEVICE);
        }
        if (!devices.empty()) {
            RemoveDevices(devices);
        }
    }
}

// MPIO stops using a device that is leaving and tells the DSM, while
// requests may still be in flight on it.  PASSIVE_LEVEL.
void Host::NoticeRemoval(size_t index)
{
    {
        std::lock_guard<HostMutex> lock(lock_);
        bool wasLive = states_[index] == PathState::Live;
        states_[index] = PathState::Removing;
        size_t disk = (size_t)pnp_.Devices[index].Group;
        if (wasLive && !HasLivePathLocked(disk)) {
            LoseLastPathLocked(disk);
        }
    }
    const DSM_INIT_DATA &record = LiveRecord("DsmRemovePending");
    AtDispatch raised;
    host::CallDriver("DsmRemovePending", record.DsmRemovePending, record.DsmContext, pnp_.Devices[index].DsmId);
}

// Caller holds lock_.  The device's removal notice has returned: the DSM
// may not name its path in a request it is asked about from now on.
void Host::MarkNoticedLocked(size_t index)
{
    RequireHeld(lock_, "MarkNoticedLocked");
    noticedAt_[index] = ++removalNotices_;
}

// The DSM forgets a device that has left, once its last request is done.
// PASSIVE_LEVEL.
void Host::FinishRemoval(size_t index)
{
    const DSM_INIT_DATA &record = LiveRecord("DsmRemoveDevice");
    AtDispatch raised;
    host::CallDriver("DsmRemoveDevice", record.DsmRemoveDevice, record.DsmContext, pnp_.Devices[index].DsmId,
                     pnp_.Devices[index].PathId);
    host::CallDriver("DsmRemovePath", record.DsmRemovePath, record.DsmContext, pnp_.Devices[index].PathId);
}

// Caller holds lock_.  A disk whose last device went waits out its
// removal period for a device to arrive; one without a removal period
// running (it never had a live path, or its period ran out) goes, and
// its held requests are handed back to fail.
void Host::DropEmptyDisksLocked(std::vector<Request *> *orphans)
{
    RequireHeld(lock_, "DropEmptyDisksLocked");
    for (size_t disk = 0; disk < diskStates_.size(); disk++) {
        bool any = false;
        for (size_t index : disks_[disk].Devices) {
            any = any || states_[index] != PathState::Removed;
        }
        DiskState &state = *diskStates_[disk];
        if (!any && !state.Armed) {
            state.Gone = true;
            orphans->insert(orphans->end(), state.Held.begin(), state.Held.end());
            state.Held.clear();
        }
    }
}

// Starts the periodic verification, when on, once there are paths to verify.
void Host::StartPathMachinery()
{
    std::lock_guard<HostMutex> lock(lock_);
    if (machinery_) {
        return;
    }
    machinery_ = true;
    if (options_.PathVerifyEnabled) {
        KeSetTimerEx(&verifyTimer_, DueIn(options_.PathVerificationPeriodMs),
                     (LONG)options_.PathVerificationPeriodMs, &verifyDpc_);
    }
}

/*++

Routine Description:

    Stops MPIO and its port so that every request still live completes
    exactly once, completed by the one party that owns it.  In order:
    nothing new starts (no timer is set, no work item queued, no request
    sent to the port or held: a party that would hand a request on parks
    it for the stop instead) and the port's threads finish the attempts
    they carry out; every timer is cancelled, and what a cancelled timer
    or the port's queue held is parked; the DPCs the cancel came too late
    for run to their end (KeFlushQueuedDpcs), and so do MPIO's work
    items; only then do the parked requests fail.  PASSIVE_LEVEL, with no
    request being submitted.

--*/
void Host::StopPathMachinery()
{
    host::RequirePassive("MPIO's stop");
    // No more reports of lost links: waits for one being made.
    if (port_.Target != nullptr) {
        port_.Target->WatchLinks(nullptr);
    }
    std::vector<std::thread> threads;
    {
        std::lock_guard<HostMutex> lock(lock_);
        stopping_ = true;
        threads.swap(port_.Threads);
    }
    port_.Work.notify_all();
    for (std::thread &thread : threads) {
        thread.join();
    }
    std::function<void()> observer;
    {
        std::lock_guard<HostMutex> lock(lock_);
        CancelForStopLocked();
        observer = stopObserver_;
    }
    if (observer) {
        observer();
    }
    KeFlushQueuedDpcs();
    WaitForWorkItems();
    // Nothing else runs now: what is live and parked is the stop's alone.
    // A request that is live but not parked is with a thread still in
    // Submit, which completes it.
    std::vector<Request *> parked;
    {
        std::lock_guard<HostMutex> lock(lock_);
        for (Request *request : live_) {
            if (request->Parked) {
                parked.push_back(request);
            }
        }
    }
    for (Request *request : parked) {
        FailRequest(request, STATUS_NO_SUCH_DEVICE);
    }
}

/*++

Routine Description:

    Cancels every timer of MPIO and its port.  The requests a cancelled
    timer held (a retry, or the port timing one the storage never
    answered), those in the port's queue and those the disks held are
    parked, and the port lets go of their devices.  A request whose timer
    could not be cancelled belongs to the DPC already queued or running
    for it.  Caller holds lock_, with the host stopping.

--*/
void Host::CancelForStopLocked()
{
    RequireHeld(lock_, "CancelForStopLocked");
    KeCancelTimer(&verifyTimer_);
    for (auto &link : port_.Links) {
        KeCancelTimer(&link->Timer);
    }
    for (auto &disk : diskStates_) {
        KeCancelTimer(&disk->Timer);
        disk->Armed = false;
        for (Request *request : disk->Held) {
            ParkLocked(request);
        }
        disk->Held.clear();
    }
    for (Request *request : live_) {
        if (!KeCancelTimer(&request->Timer)) {
            continue;
        }
        ParkLocked(request);
        if (request->Timing) {
            request->Timing = false;
            ReleaseRemoveLockLocked(request->Device);
        }
    }
    for (Request *request : port_.Queue) {
        ParkLocked(request);
        ReleaseRemoveLockLocked(request->Device);
        port_.Busy--;
    }
    port_.Queue.clear();
    port_.Drained.notify_all();
}

// Returns once MPIO's work items, queued or running, have all ended; the
// stopping host queues no more.  With no worker pool the system runs work
// items only when they are drained: this thread then runs those queued.
// PASSIVE_LEVEL.
void Host::WaitForWorkItems()
{
    bool outstanding;
    {
        std::lock_guard<HostMutex> lock(lock_);
        outstanding = workOutstanding_ != 0;
    }
    if (outstanding) {
        host::DrainWorkItems();
    }
    KeWaitForSingleObject(&workIdle_, Executive, KernelMode, FALSE, nullptr);
}

void Host::OnStopping(std::function<void()> observer)
{
    std::lock_guard<HostMutex> lock(lock_);
    stopObserver_ = std::move(observer);
}

} // namespace mpio
