/*++

Module Name:

    pnp.cpp

Abstract:

    Plug and Play beneath MPIO: a disk device that arrives is started by
    the class driver and offered to MPIO; one that leaves is removed once
    every request sent down it has completed, as its remove lock
    guarantees.  Arrival and removal are serialised by pnp_.Mutex.

--*/

#include "mpiointernal.h"

#include <scsi.h>

#include <algorithm>

namespace mpio {
namespace {

// The class driver retries a command that meets a unit attention this many
// times before it gives up on it.
constexpr int kUnitAttentionRetries = 4;
// What the disk class driver assumes of a disk that will not tell its
// capacity: 512-byte blocks.
constexpr ULONG kDefaultBlockLength = 512;

bool MetUnitAttention(const array::Result &result)
{
    return result.Outcome == array::Transport::Completed && result.Status == SCSISTAT_CHECK_CONDITION &&
           result.SenseLength > 12 && (result.Sense[2] & 0x0F) == SCSI_SENSE_UNIT_ATTENTION;
}

} // namespace

/*++

Routine Description:

    A disk device arrives: the class driver starts it, and MPIO is
    offered it.  PASSIVE_LEVEL, with pnp_.Mutex held.

--*/
void Host::Arrive(size_t index, std::vector<uint8_t> *descriptor, std::vector<uint8_t> *identifiers)
{
    RequireHeld(pnp_.Mutex, "Arrive");
    Device &device = pnp_.Devices[index];
    device.BlockLength = StartDisk(device);
    Claim(index, descriptor, identifiers);
}

// Caller holds lock_.  A request is sent down the device: its removal
// waits until the request is done with it.
void Host::AcquireRemoveLockLocked(size_t device)
{
    RequireHeld(lock_, "AcquireRemoveLockLocked");
    pnp_.RemoveLocks[device]++;
}

// Caller holds lock_.  A request sent down the device is done with it,
// its completion handling included.
void Host::ReleaseRemoveLockLocked(size_t device)
{
    RequireHeld(lock_, "ReleaseRemoveLockLocked");
    pnp_.RemoveLocks[device]--;
    pnp_.Released.notify_all();
}

// Caller holds lock_ in `lock`, and pnp_.Mutex.  Waits until no request
// holds the device's remove lock.
void Host::WaitForRemoveLockLocked(std::unique_lock<HostMutex> &lock, size_t device)
{
    RequireHeld(lock_, "WaitForRemoveLockLocked");
    RequireHeld(pnp_.Mutex, "WaitForRemoveLockLocked");
    if (pnp_.RemoveLocks[device] != 0 && pnp_.WaitObserver) {
        lock.unlock();
        pnp_.WaitObserver(device);
        lock.lock();
    }
    pnp_.Released.wait(lock, [&] { return pnp_.RemoveLocks[device] == 0; });
}

void Host::OnRemovalWaits(std::function<void(size_t device)> observer)
{
    std::lock_guard<HostMutex> pnp(pnp_.Mutex);
    pnp_.WaitObserver = std::move(observer);
}

/*++

Routine Description:

    Starts a disk as the class driver does before the device is offered to
    a DSM: TEST UNIT READY, then READ CAPACITY, each sent again when it
    meets a unit attention.  That consumes the power-on or nexus-loss
    attention the target holds for this nexus.  A disk that is not ready
    or will not tell its capacity still starts, as it does for real.

Return Value:

    The block length READ CAPACITY reported, or the class driver's
    default when it reported none.

--*/
ULONG Host::StartDisk(const Device &device)
{
    const uint8_t testUnitReady[6] = {SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0};
    const uint8_t readCapacity[10] = {SCSIOP_READ_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    uint8_t capacity[8] = {};
    const struct {
        const uint8_t *Cdb;
        size_t CdbLength;
        uint8_t *Data;
        size_t DataLength;
    } steps[] = {
        {testUnitReady, sizeof(testUnitReady), nullptr, 0},
        {readCapacity, sizeof(readCapacity), capacity, sizeof(capacity)},
    };
    for (const auto &step : steps) {
        array::Command command;
        command.Cdb = step.Cdb;
        command.CdbLength = step.CdbLength;
        command.DataIn = step.Data;
        command.DataInLength = step.DataLength;
        for (int attempt = 0; attempt <= kUnitAttentionRetries; attempt++) {
            array::Result result = port_.Target->Execute(device.Nexus, command);
            if (!MetUnitAttention(result)) {
                if (step.Data == capacity && (result.Outcome != array::Transport::Completed ||
                                              result.Status != SCSISTAT_GOOD || result.DataInTransferred < 8)) {
                    memset(capacity, 0, sizeof(capacity));
                }
                break;
            }
        }
    }
    // Bytes 4-7: the block length in bytes, big-endian.
    ULONG length = ((ULONG)capacity[4] << 24) | ((ULONG)capacity[5] << 16) | ((ULONG)capacity[6] << 8) | capacity[7];
    return length != 0 ? length : kDefaultBlockLength;
}

/*++

Routine Description:

    Removes devices as the platform does when their disk devices go, one
    device after the other: MPIO stops using it and the DSM hears
    DsmRemovePending at once, while requests may still be in flight on
    it; those complete (as gone, unless the storage answers first) and
    their completion, error interpretation and failover reach the DSM
    after the notice; the port ends at once the ones it was timing out.
    Only when the device's last request has completed (its remove lock)
    does the DSM hear DsmRemoveDevice and
    DsmRemovePath, and only after those is the device object deleted.
    The removal calls come at DISPATCH_LEVEL, as MPIO may make them.
    PASSIVE_LEVEL, with pnp_.Mutex held.

--*/
void Host::RemoveDevices(const std::vector<size_t> &devices)
{
    RequireHeld(pnp_.Mutex, "RemoveDevices");
    for (size_t index : devices) {
        NoticeRemoval(index);
        AbortTimedAtPort(index);
        {
            std::unique_lock<HostMutex> lock(lock_);
            MarkNoticedLocked(index);
            WaitForRemoveLockLocked(lock, index);
        }
        FinishRemoval(index);
    }

    std::vector<Request *> orphans;
    {
        std::lock_guard<HostMutex> lock(lock_);
        for (size_t index : devices) {
            states_[index] = PathState::Removed;
            PDEVICE_OBJECT target = pnp_.Devices[index].TargetObject;
            port_.Created.erase(std::remove(port_.Created.begin(), port_.Created.end(), target),
                                port_.Created.end());
            host::DeleteDevice(target);
        }
        DropEmptyDisksLocked(&orphans);
    }
    for (Request *request : orphans) {
        FailRequest(request, STATUS_NO_SUCH_DEVICE);
    }
}

bool Host::RemoveDevice(size_t device)
{
    host::RequirePassive("mpio::Host::RemoveDevice");
    std::lock_guard<HostMutex> pnp(pnp_.Mutex);
    {
        std::lock_guard<HostMutex> lock(lock_);
        if (device >= states_.size() || pnp_.Devices[device].DsmId == nullptr ||
            states_[device] == PathState::Removing || states_[device] == PathState::Removed) {
            return false;
        }
    }
    RemoveDevices({device});
    return true;
}

} // namespace mpio
