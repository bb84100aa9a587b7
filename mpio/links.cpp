/*++

Module Name:

    links.cpp

Abstract:

    The port's links.  A command that meets a link down fails at once
    (selection timeout) and MPIO fails it over; the port marks the link
    down and, while it stays down, tries it again every probe interval.
    Once it has been down for the link-down time the port reports every
    disk device seen through it gone, and MPIO runs the removal sequence
    for each while I/O goes on elsewhere.  When the link answers again
    the port enumerates its logical units anew (a bus rescan) and MPIO
    offers each to the DSM as a new device.  A link that returns within
    the link-down time keeps its devices: their paths stay as MPIO left
    them, failed until verification brings them back.

    The timers' DPCs only note what is due; probing, removal and arrival
    run in MPIO's work item at PASSIVE_LEVEL.

--*/

#include "mpiointernal.h"

#include <scsi.h>

namespace mpio {

// Caller holds mutex_.  The port met the link down: from now on it is
// tried every probe interval until it answers or its devices go.
void Host::NoteLinkDownLocked(size_t index)
{
    Link &link = *links_[index];
    if (link.Down || stopping_) {
        return;
    }
    link.Down = true;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    link.DownSince = now.QuadPart;
    KeSetTimerEx(&link.Timer, DueIn(options_.LinkProbeIntervalMs), (LONG)options_.LinkProbeIntervalMs, &link.Dpc);
}

// Whether the port still has a device for this logical unit on the link.
// PASSIVE_LEVEL, with pnpMutex_ held (which alone adds devices).
bool Host::HasDeviceLocked(size_t link, UCHAR lun)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t device = 0; device < devices_.size(); device++) {
        if (devices_[device].Link == link && devices_[device].Lun == lun && states_[device] != PathState::Removed) {
            return true;
        }
    }
    return false;
}

void Host::FailAtPort(size_t link, UCHAR srbStatus, unsigned count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    links_.at(link)->FaultStatus = srbStatus;
    links_.at(link)->FaultsLeft = count;
}

// Whether the port's fault switch ends the next request down the link,
// and with what.  Any IRQL up to DISPATCH_LEVEL; mutex_ not held.
bool Host::TakePortFault(size_t index, UCHAR *srbStatus)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Link &link = *links_[index];
    if (link.FaultsLeft == 0) {
        return false;
    }
    link.FaultsLeft--;
    *srbStatus = link.FaultStatus;
    return true;
}

// Any thread, any IRQL up to DISPATCH_LEVEL; mutex_ not held.
void Host::NoteLinkDown(size_t index)
{
    std::lock_guard<std::mutex> lock(mutex_);
    NoteLinkDownLocked(index);
}

VOID NTAPI Host::LinkDpc(PKDPC dpc, PVOID context, PVOID, PVOID)
{
    UNREFERENCED_PARAMETER(dpc);
    auto *link = static_cast<Link *>(context);
    Host *self = link->Owner;
    std::lock_guard<std::mutex> lock(self->mutex_);
    link->Due = true;
    self->linksDue_ = true;
    self->QueueWork();
}

// Whether the link delivers a command again: a standard INQUIRY, which
// reports no unit attention and changes nothing at the target.
// PASSIVE_LEVEL.
bool Host::ProbeLink(size_t index)
{
    const Link &link = *links_[index];
    uint8_t cdb[6] = {SCSIOP_INQUIRY, 0, 0, 0, 36, 0};
    uint8_t data[36];
    array::Command command;
    command.Cdb = cdb;
    command.CdbLength = sizeof(cdb);
    command.DataIn = data;
    command.DataInLength = sizeof(data);
    array::Nexus nexus;
    nexus.Initiator = link.Initiator;
    nexus.TargetPort = link.Path.TargetPort;
    nexus.Lun = luns_.empty() ? 0 : luns_.front();
    return target_->Execute(nexus, command).Outcome == array::Transport::Completed;
}

/*++

Routine Description:

    Acts on the links whose probe interval passed: one that answers is up
    again, and enumerated anew if its devices went; one that has stayed
    down for the link-down time has its devices removed.  PASSIVE_LEVEL,
    in MPIO's work item.

--*/
void Host::ServiceLinks()
{
    std::lock_guard<std::mutex> pnp(pnpMutex_);
    for (size_t index = 0; index < links_.size(); index++) {
        Link &link = *links_[index];
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!link.Due || stopping_) {
                continue;
            }
            link.Due = false;
        }
        bool up = ProbeLink(index);
        std::vector<size_t> gone;
        bool rescan = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (up) {
                KeCancelTimer(&link.Timer);
                link.Down = false;
                rescan = link.DevicesRemoved;
                link.DevicesRemoved = false;
            } else if (!link.DevicesRemoved) {
                LARGE_INTEGER now;
                KeQuerySystemTime(&now);
                if (now.QuadPart - link.DownSince >= (LONGLONG)options_.LinkDownTimeMs * TIME_UNITS_PER_MS) {
                    link.DevicesRemoved = true;
                    for (size_t device = 0; device < devices_.size(); device++) {
                        if (devices_[device].Link != index || states_[device] == PathState::Removed) {
                            continue;
                        }
                        if (PresentLocked(device)) {
                            gone.push_back(device);
                        } else if (devices_[device].DsmId == nullptr) {
                            // Never claimed: MPIO has nothing to tell the DSM.
                            states_[device] = PathState::Removed;
                        }
                    }
                }
            }
        }
        if (!gone.empty()) {
            RemoveDevices(gone);
        }
        if (rescan) {
            for (UCHAR lun : luns_) {
                if (!HasDeviceLocked(index, lun)) {
                    Enumerate(index, lun);
                }
            }
            ReleaseDisksWithPaths();
        }
    }
}

} // namespace mpio
