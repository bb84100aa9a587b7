/*++

Module Name:

    watch.cpp

Abstract:

    The timeline's watcher over the running machine (see watch.h).

--*/

#include "watch.h"

#include "tarn.h"
#include "tarnresources.h"

#include <cstring>
#include <sstream>

namespace scenario {
namespace {

// Alike marks this close together are one: the failover of every request
// in flight on a path, the removal or arrival of each LUN's device on it.
constexpr uint64_t kSameMarkMs = 2000;

// The worse of two health states a lane's paths are in, one per LUN: a
// lane shows the worst of them.
int Badness(ULONG health)
{
    switch (health) {
    case PDO_HEALTH_HEALTHY:
        return 0;
    case PDO_HEALTH_FAILING:
        return 2;
    case PDO_HEALTH_FAILED:
    case PDO_HEALTH_INIT_PATHVERIFY_FAIL:
        return 3;
    case PDO_HEALTH_PENDING_REMOVE:
    case PDO_HEALTH_REMOVED:
        return 4;
    default:
        return 1;       // still being set up
    }
}

std::string HealthName(ULONG health)
{
    const char *name = DsmPathHealthName(health);
    return name != nullptr ? name + strlen("PDO_HEALTH_") : "UNKNOWN";
}

std::string Narrow(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text) {
        out += c < 0x80 ? (char)c : '?';
    }
    return out;
}

} // namespace

uint64_t EventMs(const host::EventRecord &event, int64_t bootSystemTime, uint64_t clockStart)
{
    int64_t at = (event.SystemTime - bootSystemTime - (int64_t)clockStart) / (int64_t)kTicksPerMs;
    return at < 0 ? 0 : (uint64_t)at;
}

NTSTATUS EventCode(const host::EventRecord &event)
{
    return reinterpret_cast<const IO_ERROR_LOG_PACKET *>(event.Packet.data())->ErrorCode;
}

const char *EventTypeName(const host::EventRecord &event)
{
    static const char *const types[] = {"Success", "Information", "Warning", "Error"};
    return types[((ULONG)EventCode(event) >> 30) & 3];
}

std::string FaultMarkText(const Fault &fault, bool isReturn, const std::string &place)
{
    static const struct {
        FaultAction Action;
        const char *Begins;
        const char *Ends;
    } kWords[] = {
        {FaultAction::LinkDown, "cable pulled", "cable back"},
        {FaultAction::NoAnswer, "link hangs", "link answers again"},
        {FaultAction::Busy, "target busy", "target no longer busy"},
        {FaultAction::LunNotSupported, "LUNs hidden", "LUNs shown again"},
        {FaultAction::ControllerFailure, "controller fails", "controller back"},
        {FaultAction::UnitAttention, "unit attention", "unit attention"},
        {FaultAction::StrayWrite, "stray write", "stray write"},
    };
    for (const auto &words : kWords) {
        if (words.Action == fault.Action) {
            return std::string(isReturn ? words.Ends : words.Begins) + (place.empty() ? "" : " on " + place);
        }
    }
    return FaultActionName(fault.Action);
}

Watcher::Watcher(mpio::Host *host, const Scenario &scenario, const mpio::Topology &topology, int64_t bootSystemTime,
                 uint64_t clockStart, Timeline *timeline)
    : host_(host), topology_(topology), bootSystemTime_(bootSystemTime), clockStart_(clockStart),
      timeline_(timeline), links_(topology.Paths.size())
{
    for (const mpio::PathSpec &path : topology.Paths) {
        TimelineLane lane;
        lane.Address = std::to_string(path.PortNumber) + ":" + std::to_string(path.PathId) + ":" +
                       std::to_string(path.TargetId);
        for (const Path &given : scenario.Paths) {
            if (given.Port == path.PortNumber && given.Bus == path.PathId && given.Target == path.TargetId) {
                lane.Reaches = "controller " + std::to_string(given.Controller) + " port " +
                               std::to_string(given.ControllerPort);
            }
        }
        timeline_->AddLane(lane);
    }
    Learn(0, false);
    Sample();
}

uint64_t Watcher::NowMs() const
{
    uint64_t now = host::InterruptTime();
    return now > clockStart_ ? (now - clockStart_) / kTicksPerMs : 0;
}

// The lane of the latest device whose identifier (MPIO's path identifier
// or the driver's) is `id`: a removed device may have left the same
// identifier behind.
int Watcher::LaneOf(PVOID Known::*field, PVOID id) const
{
    for (size_t i = devices_.size(); id != nullptr && i-- > 0;) {
        if (devices_[i].Bound && devices_[i].*field == id) {
            return devices_[i].Lane;
        }
    }
    return kNoLane;
}

void Watcher::Learn(uint64_t now, bool arrivals)
{
    devices_.resize(host_->DeviceCount());
    for (size_t i = 0; i < devices_.size(); i++) {
        Known &known = devices_[i];
        if (known.Bound || host_->StateOf(i) == mpio::PathState::Unbound) {
            continue;
        }
        mpio::Device device = host_->DeviceAt(i);
        known = Known{true, false, LaneOfLink(device.Link), device.DsmId, device.PathId};
        if (arrivals) {
            std::string address = known.Lane == kNoLane ? "?" : timeline_->Lanes()[known.Lane].Address;
            timeline_->Mark(now, MarkKind::Arrival, known.Lane, "MPIO adds " + address, kSameMarkMs);
        }
    }
}

// A path as the driver's events name it: "<identifier> port:bus:target:lun".
int Watcher::LaneOfText(const std::string &pathText) const
{
    unsigned port = 0, bus = 0, target = 0, lun = 0;
    size_t space = pathText.rfind(' ');
    std::string address = space == std::string::npos ? pathText : pathText.substr(space + 1);
    if (sscanf(address.c_str(), "%u:%u:%u:%u", &port, &bus, &target, &lun) != 4) {
        return kNoLane;
    }
    for (size_t link = 0; link < links_; link++) {
        const mpio::PathSpec &path = topology_.Paths[link];
        if (path.PortNumber == port && path.PathId == bus && path.TargetId == target) {
            return (int)link;
        }
    }
    return kNoLane;
}

void Watcher::Completed(const Completion &completion)
{
    uint64_t at = completion.At > clockStart_ ? (completion.At - clockStart_) / kTicksPerMs : 0;
    int lane = LaneOf(&Known::PathId, completion.Path);
    if (lane == kNoLane && completion.Path != nullptr) {
        Learn(NowMs(), true);       // bound since the last step
        lane = LaneOf(&Known::PathId, completion.Path);
    }
    timeline_->Completed(at, lane, !NT_SUCCESS(completion.Status));
}

void Watcher::Sample()
{
    uint64_t now = NowMs();
    // Events first: a failover is counted against the path the drive used
    // before this step, which the driver's records are about to replace.
    SampleEvents(now);
    SampleDevices(now);
    SampleDriver(now);
    timeline_->End(now);
}

void Watcher::SampleEvents(uint64_t now)
{
    (void)now;
    std::vector<host::EventRecord> events = host::EventLog();
    for (; eventsSeen_ < events.size(); eventsSeen_++) {
        const host::EventRecord &event = events[eventsSeen_];
        uint64_t at = EventMs(event, bootSystemTime_, clockStart_);
        NTSTATUS code = EventCode(event);
        timeline_->Event(at, EventTypeName(event), (unsigned)code & 0xFFFF, host::EventDescription(event));
        std::vector<std::u16string> strings = host::EventStrings(event);
        if (strings.size() < 2 || (code != TARN_MSG_FAILOVER && code != TARN_MSG_FAILBACK)) {
            continue;
        }
        // Both name the drive's serial number, then the path it moved to.
        std::string drive = Narrow(strings[0]);
        int lane = LaneOfText(Narrow(strings[1]));
        std::string to = lane == kNoLane ? Narrow(strings[1]) : timeline_->Lanes()[lane].Address;
        if (code == TARN_MSG_FAILOVER) {
            // One entry per request in flight: it failed on the drive's path.
            timeline_->Completed(at, timeline_->CurrentOf(drive), true);
            timeline_->Mark(at, MarkKind::Failover, lane, "failover to " + to, kSameMarkMs);
        } else {
            timeline_->Mark(at, MarkKind::Failback, lane, "failback to " + to, kSameMarkMs);
        }
    }
}

void Watcher::SampleDriver(uint64_t now)
{
    if (!host_->Registered()) {
        return;
    }
    auto *context = static_cast<DSM_CONTEXT *>(host_->Record().DsmContext);
    std::vector<int> worst(links_, -1);
    std::vector<ULONG> health(links_, PDO_HEALTH_INIT_START);
    KIRQL oldIrql;
    DsmAcquireLock(context, &oldIrql);
    const LIST_ENTRY *drives = &context->DriveList;
    for (const LIST_ENTRY *link = drives->Flink; link != drives; link = link->Flink) {
        const LD_ENTRY *drive = CONTAINING_RECORD(link, LD_ENTRY, DriveLink);
        timeline_->Current(now, drive->SerialNumber, LaneOf(&Known::DsmId, drive->currentPath));
        for (const LIST_ENTRY *pathLink = drive->PathList.Flink; pathLink != &drive->PathList;
             pathLink = pathLink->Flink) {
            const PDO_ENTRY *path = CONTAINING_RECORD(pathLink, PDO_ENTRY, LdLink);
            int lane = LaneOf(&Known::DsmId, const_cast<PDO_ENTRY *>(path));
            if (lane != kNoLane && Badness(path->HealthState) > worst[lane]) {
                worst[lane] = Badness(path->HealthState);
                health[lane] = path->HealthState;
            }
        }
    }
    DsmReleaseLock(context, oldIrql);
    for (size_t lane = 0; lane < links_; lane++) {
        // No path of the driver's on it: MPIO removed its devices.
        timeline_->Health(now, (int)lane, worst[lane] < 0 ? "GONE" : HealthName(health[lane]));
    }
}

void Watcher::SampleDevices(uint64_t now)
{
    Learn(now, true);
    for (size_t i = 0; i < devices_.size(); i++) {
        Known &known = devices_[i];
        if (known.Bound && !known.Removed && host_->StateOf(i) == mpio::PathState::Removed) {
            known.Removed = true;
            std::string address = known.Lane == kNoLane ? "?" : timeline_->Lanes()[known.Lane].Address;
            timeline_->Mark(now, MarkKind::Removal, known.Lane, "MPIO removes " + address, kSameMarkMs);
        }
    }
}

} // namespace scenario
