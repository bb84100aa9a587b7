/*++

Module Name:

    watch.h

Abstract:

    Watches the running machine for the timeline: each completed request
    on the path it went down, and after each step of the clock the new
    event-log entries, the driver's drives and paths (their health and
    current path, read under its lock as a debugger extension would) and
    MPIO's devices (a removal or an arrival).  Lanes are the topology's
    paths, in its order.

--*/

#pragma once

#include "requests.h"
#include "scenario.h"
#include "timeline.h"

#include "hostkernel.h"
#include "mpiohost.h"

#include <cstdint>
#include <string>
#include <vector>

namespace scenario {

// When an event-log entry was written, in milliseconds of the run (from
// clockStart, interrupt time); entries written before it count as 0.
uint64_t EventMs(const host::EventRecord &event, int64_t bootSystemTime, uint64_t clockStart);
// "Information", "Warning", ...: the entry's type as Event Viewer names it.
const char *EventTypeName(const host::EventRecord &event);
// The message identifier an entry was written with.
NTSTATUS EventCode(const host::EventRecord &event);

// A fault or its return in plain words, for its mark: "cable pulled on 2:0:0".
std::string FaultMarkText(const Fault &fault, bool isReturn, const std::string &place);

class Watcher {
public:
    // Starts from what discovery left: its devices are no arrivals and its
    // event-log entries are kept with time 0.
    Watcher(mpio::Host *host, const Scenario &scenario, const mpio::Topology &topology, int64_t bootSystemTime,
            uint64_t clockStart, Timeline *timeline);

    void Completed(const Completion &completion);
    void Sample();
    // The lane of the topology's path `link`.
    int LaneOfLink(size_t link) const { return link < links_ ? (int)link : kNoLane; }
    uint64_t NowMs() const;

private:
    // What the watcher keeps of a device once MPIO has bound it (read
    // under MPIO's lock: devices arrive on other threads).
    struct Known {
        bool Bound = false;
        bool Removed = false;
        int Lane = kNoLane;
        PVOID DsmId = nullptr;
        PVOID PathId = nullptr;
    };
    int LaneOf(PVOID Known::*field, PVOID id) const;
    // Learns the devices bound since; each is an arrival once the run
    // has begun.
    void Learn(uint64_t now, bool arrivals);
    int LaneOfText(const std::string &pathText) const;
    void SampleEvents(uint64_t now);
    void SampleDriver(uint64_t now);
    void SampleDevices(uint64_t now);

    mpio::Host *host_;
    const mpio::Topology &topology_;
    int64_t bootSystemTime_;
    uint64_t clockStart_;
    Timeline *timeline_;
    size_t links_;
    std::vector<Known> devices_;
    size_t eventsSeen_ = 0;
};

} // namespace scenario
