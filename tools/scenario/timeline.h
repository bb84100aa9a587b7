/*++

Module Name:

    timeline.h

Abstract:

    The run's story on one time axis, for a picture and for other tools:
    per path (a lane) the requests completed and failed and its health;
    per drive the path it uses; marks for the faults, their returns, the
    failovers, MPIO's removals and arrivals of devices and the failbacks;
    every event-log entry.  It knows times in milliseconds of the run and
    lanes by index, not the machine: the watcher (watch.h) feeds it.

--*/

#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace scenario {

enum class MarkKind { Fault, Return, Failover, Removal, Arrival, Failback };
// "fault", "return", "failover", "removal", "arrival", "failback".
const char *MarkKindName(MarkKind kind);

constexpr int kNoLane = -1;

struct TimelineLane {
    std::string Address;        // "2:0:0": host port, bus, target
    std::string Reaches;        // "controller 0 port 0"
};

// One mark.  Several alike close together (the failover of every request
// in flight on a pulled cable, the removal of each LUN's device) are one
// mark with a count.
struct TimelineMark {
    uint64_t AtMs = 0;
    MarkKind Kind = MarkKind::Fault;
    int Lane = kNoLane;         // the path it concerns: the faulted one, the one failed over or back to
    unsigned Count = 1;
    std::string Text;
};

// The I/O stall of a failover: from the last request completed on the
// failing path to the first completed on the path that took over.
struct TimelineStall {
    bool Found = false;
    uint64_t FromMs = 0;
    uint64_t ToMs = 0;
    int FromLane = kNoLane;
    int ToLane = kNoLane;
};

class Timeline {
public:
    size_t AddLane(const TimelineLane &lane);
    const std::vector<TimelineLane> &Lanes() const { return lanes_; }

    // A request completed on a lane; failed: it ended in an error there,
    // or MPIO failed it over to another path.
    void Completed(uint64_t atMs, int lane, bool failed);
    // A lane's health, kept when it changes: a PDO_HEALTH_* name without
    // its prefix, or "GONE" once MPIO removed its devices.
    void Health(uint64_t atMs, int lane, const std::string &state);
    // A drive's current path, kept when it changes.
    void Current(uint64_t atMs, const std::string &drive, int lane);
    // The lane a drive used last (kNoLane if none yet).
    int CurrentOf(const std::string &drive) const;
    // Adds a mark, or counts it into the last one of its kind and lane
    // when that is at most windowMs earlier.
    void Mark(uint64_t atMs, MarkKind kind, int lane, const std::string &text, uint64_t windowMs = 0);
    void Event(uint64_t atMs, const std::string &type, unsigned id, const std::string &text);
    // Words added under the time axis.
    void Note(const std::string &text) { note_ = text; }
    // The clock's end; the picture runs to it.
    void End(uint64_t atMs) { endMs_ = atMs; }

    const std::vector<TimelineMark> &Marks() const { return marks_; }
    // The stall of each fault's failover (the first after it, before the
    // next fault), in time order.
    std::vector<TimelineStall> Stalls() const;
    // "I/O stalled 100 ms: last completion on 2:0:0 at 3000 ms, first on 3:0:1 at 3100 ms"
    std::string StallText(const TimelineStall &stall) const;

    // The same data as rows of "record,time_ms,lane,what,count,text":
    // lane (its address and what it reaches), io (completed and failed per
    // interval), health, current, mark, stall and event.
    std::string Csv() const;
    // A gnuplot script drawing it into `output` (SVG or PNG by the name's
    // extension) under `title`.
    std::string Gnuplot(const std::string &output, const std::string &title) const;
    // The length of one rate interval of the picture and the CSV.
    uint64_t IntervalMs() const;

    static constexpr int kWidth = 1200;     // the picture's size in pixels
    static constexpr int kHeight = 820;

private:
    struct Io {
        uint64_t AtMs;
        int Lane;
        bool Failed;
    };
    struct State {
        uint64_t AtMs;
        int Lane;
        std::string Health;
    };
    struct Use {
        uint64_t AtMs;
        std::string Drive;
        int Lane;
    };
    struct Entry {
        uint64_t AtMs;
        std::string Type;
        unsigned Id;
        std::string Text;
    };

    // Per lane and interval: requests completed and failed.
    void Rates(std::vector<std::vector<uint64_t>> *completed, std::vector<std::vector<uint64_t>> *failed) const;
    std::string LaneHealthAt(int lane, uint64_t atMs) const;
    std::string LanePanel(int lane, const std::string &marks, bool top) const;
    std::string MarkLines() const;
    std::string MarkLabels() const;
    TimelineStall StallOf(const TimelineMark &fault, const TimelineMark &failover) const;
    std::string StallsDrawing(int lane) const;
    std::string StallDrawing(const TimelineStall &stall) const;
    std::string Legend() const;

    std::vector<TimelineLane> lanes_;
    std::vector<Io> io_;
    std::vector<State> states_;
    std::vector<Use> uses_;
    std::vector<TimelineMark> marks_;
    std::vector<Entry> events_;
    uint64_t endMs_ = 0;
    std::string note_;
};

// Draws the timeline into `output` with gnuplot: written whole or not at
// all.  False with a one-line reason when it cannot.
bool DrawTimeline(const Timeline &timeline, const std::string &output, const std::string &title, std::string *error);
// Whether gnuplot can draw into a file of this name: it ends in .svg or .png.
bool PictureName(const std::string &output);

// A value as a CSV field: quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string &text);

} // namespace scenario
