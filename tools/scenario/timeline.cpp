/*++

Module Name:

    timeline.cpp

Abstract:

    The run's timeline: kept as it happens, written as CSV, and drawn by
    gnuplot as one lane per path (requests per second over a background
    shaded by the path's health) under vertical marks for faults,
    failovers, removals, arrivals and failbacks, with the failover's stall
    written on the lane that took over.

--*/

#include "timeline.h"

#include "scenario.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

namespace scenario {
namespace {

// Rates are counted per interval: a multiple of the runner's 100 ms step
// long enough that a run is drawn in at most about 90 bars.
constexpr uint64_t kStepMs = 100;
constexpr uint64_t kMostBars = 90;

// The picture's frame, in screen fractions: the lanes between kPanelsBottom
// and kPanelsTop, the marks' labels above them, the legend below.
constexpr double kPanelsTop = 0.78;
constexpr double kPanelsBottom = 0.13;
constexpr double kPanelGap = 0.012;
constexpr double kLeft = 0.15;
constexpr double kRight = 0.97;
constexpr double kLabelRows[] = {0.795, 0.825, 0.855, 0.885, 0.915};
constexpr double kCharPixels = 7.0;     // a label character's width at the picture's font

struct Look {
    const char *Color;
    const char *Dash;           // gnuplot dash type
};

Look MarkLook(MarkKind kind)
{
    switch (kind) {
    case MarkKind::Fault:
        return {"#c00000", "2"};
    case MarkKind::Return:
        return {"#008000", "2"};
    case MarkKind::Failover:
        return {"#e07000", "1"};
    case MarkKind::Removal:
        return {"#606060", "3"};
    case MarkKind::Arrival:
        return {"#0060c0", "3"};
    case MarkKind::Failback:
        return {"#8000a0", "1"};
    }
    return {"#000000", "1"};
}

// The health shades, lightest for a path in full use; names are the
// driver's health states without their prefix.
struct Shade {
    const char *Legend;
    const char *Color;
};

Shade ShadeOf(const std::string &health)
{
    if (health == "HEALTHY") {
        return {"healthy", "#d8f0d8"};
    }
    if (health == "FAILING") {
        return {"failing", "#ffe8a8"};
    }
    if (health == "FAILED" || health == "INIT_PATHVERIFY_FAIL") {
        return {"failed", "#f4bcbc"};
    }
    if (health == "PENDING_REMOVE" || health == "REMOVED" || health == "GONE") {
        return {"removed", "#d0d0d0"};
    }
    return {"starting", "#dce6f6"};
}

const Shade kLegendShades[] = {ShadeOf("HEALTHY"), ShadeOf("FAILING"), ShadeOf("FAILED"), ShadeOf("GONE"),
                               ShadeOf("INIT_START")};

// Text in a gnuplot double-quoted string.
std::string Quoted(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out + "\"";
}

// A file name in a gnuplot single-quoted string, which knows no escapes
// but a doubled quote.
std::string FileQuoted(const std::string &path)
{
    std::string out = "'";
    for (char c : path) {
        out += c == '\'' ? "''" : std::string(1, c);
    }
    return out + "'";
}

std::string Seconds(uint64_t ms)
{
    char text[32];
    snprintf(text, sizeof(text), "%.1f", (double)ms / 1000.0);
    return text;
}

std::string Fraction(double value)
{
    char text[32];
    snprintf(text, sizeof(text), "%.4f", value);
    return text;
}

bool EndsWith(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A path as one word of a shell command.
std::string ShellQuoted(const std::string &path)
{
    std::string out = "'";
    for (char c : path) {
        out += c == '\'' ? "'\\''" : std::string(1, c);
    }
    return out + "'";
}

// What a mark's count counts.
const char *CountedNoun(MarkKind kind)
{
    switch (kind) {
    case MarkKind::Failover:
        return "requests";
    case MarkKind::Removal:
    case MarkKind::Arrival:
        return "devices";
    case MarkKind::Failback:
        return "drives";
    default:
        return "times";
    }
}

// A step for the rate axis of about a third of its height: 1, 2 or 5 times a power of ten.
double TicStep(double top)
{
    double step = 1;
    while (step * 10 <= top / 3) {
        step *= 10;
    }
    return step * 5 <= top / 3 ? step * 5 : step * 2 <= top / 3 ? step * 2 : step;
}

} // namespace

bool PictureName(const std::string &output)
{
    return EndsWith(output, ".svg") || EndsWith(output, ".png");
}

bool DrawTimeline(const Timeline &timeline, const std::string &output, const std::string &title, std::string *error)
{
    // gnuplot writes a file of its own beside the picture, renamed over it
    // once whole; its script goes in another.
    const std::string part = output + ".part" + std::to_string(getpid()) + (EndsWith(output, ".svg") ? ".svg" : ".png");
    const std::string script = output + ".part" + std::to_string(getpid()) + ".gp";
    if (!ReplaceFile(script, timeline.Gnuplot(part, title))) {
        *error = "cannot write " + script + ": " + FileError();
        return false;
    }
    std::string messages;
    FILE *pipe = popen(("gnuplot " + ShellQuoted(script) + " 2>&1").c_str(), "r");
    int status = -1;
    if (pipe != nullptr) {
        char buffer[256];
        while (fgets(buffer, sizeof(buffer), pipe) != nullptr) {
            messages += buffer;
        }
        status = pclose(pipe);
    }
    unlink(script.c_str());
    bool drawn = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (drawn && rename(part.c_str(), output.c_str()) == 0) {
        return true;
    }
    unlink(part.c_str());
    if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 127) {
        *error = "gnuplot is not installed (Debian package gnuplot-nox)";
    } else {
        std::string first = messages.substr(0, messages.find('\n'));
        *error = "gnuplot could not draw " + output + (first.empty() ? "" : ": " + first);
    }
    return false;
}

const char *MarkKindName(MarkKind kind)
{
    switch (kind) {
    case MarkKind::Fault:
        return "fault";
    case MarkKind::Return:
        return "return";
    case MarkKind::Failover:
        return "failover";
    case MarkKind::Removal:
        return "removal";
    case MarkKind::Arrival:
        return "arrival";
    case MarkKind::Failback:
        return "failback";
    }
    return "mark";
}

std::string CsvField(const std::string &text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (char c : text) {
        out += c == '"' ? "\"\"" : std::string(1, c);
    }
    return out + "\"";
}

size_t Timeline::AddLane(const TimelineLane &lane)
{
    lanes_.push_back(lane);
    return lanes_.size() - 1;
}

void Timeline::Completed(uint64_t atMs, int lane, bool failed)
{
    if (lane >= 0 && (size_t)lane < lanes_.size()) {
        io_.push_back(Io{atMs, lane, failed});
    }
}

void Timeline::Health(uint64_t atMs, int lane, const std::string &state)
{
    for (auto at = states_.rbegin(); at != states_.rend(); ++at) {
        if (at->Lane == lane) {
            if (at->Health == state) {
                return;
            }
            break;
        }
    }
    states_.push_back(State{atMs, lane, state});
}

int Timeline::CurrentOf(const std::string &drive) const
{
    for (auto at = uses_.rbegin(); at != uses_.rend(); ++at) {
        if (at->Drive == drive) {
            return at->Lane;
        }
    }
    return kNoLane;
}

void Timeline::Current(uint64_t atMs, const std::string &drive, int lane)
{
    bool known = std::any_of(uses_.begin(), uses_.end(), [&](const Use &use) { return use.Drive == drive; });
    if (!known || CurrentOf(drive) != lane) {
        uses_.push_back(Use{atMs, drive, lane});
    }
}

void Timeline::Mark(uint64_t atMs, MarkKind kind, int lane, const std::string &text, uint64_t windowMs)
{
    for (auto at = marks_.rbegin(); at != marks_.rend(); ++at) {
        if (at->Kind == kind && at->Lane == lane && atMs - at->AtMs <= windowMs && atMs >= at->AtMs) {
            at->Count++;
            return;
        }
    }
    marks_.push_back(TimelineMark{atMs, kind, lane, 1, text});
}

void Timeline::Event(uint64_t atMs, const std::string &type, unsigned id, const std::string &text)
{
    events_.push_back(Entry{atMs, type, id, text});
}

std::vector<TimelineStall> Timeline::Stalls() const
{
    std::vector<TimelineStall> stalls;
    for (auto fault = marks_.begin(); fault != marks_.end(); ++fault) {
        if (fault->Kind != MarkKind::Fault) {
            continue;
        }
        // The fault's failover: the first before the next fault.
        for (auto at = fault + 1; at != marks_.end() && at->Kind != MarkKind::Fault; ++at) {
            if (at->Kind == MarkKind::Failover) {
                TimelineStall stall = StallOf(*fault, *at);
                if (stall.Found) {
                    stalls.push_back(stall);
                }
                break;
            }
        }
    }
    return stalls;
}

TimelineStall Timeline::StallOf(const TimelineMark &fault, const TimelineMark &failover) const
{
    TimelineStall stall;
    // The failing path: the faulted one, or where the failed-over requests failed.
    int from = fault.Lane;
    for (const Io &io : io_) {
        if (from == kNoLane && io.Failed && io.AtMs >= fault.AtMs && io.Lane != failover.Lane) {
            from = io.Lane;
        }
    }
    bool last = false;
    bool first = false;
    for (const Io &io : io_) {
        if (io.Failed) {
            continue;
        }
        if (io.Lane == from && io.AtMs <= failover.AtMs) {
            stall.FromMs = std::max(stall.FromMs, io.AtMs);
            last = true;
        }
        if (io.Lane == failover.Lane && io.AtMs >= failover.AtMs && (!first || io.AtMs < stall.ToMs)) {
            stall.ToMs = io.AtMs;
            first = true;
        }
    }
    stall.Found = last && first;
    stall.FromLane = from;
    stall.ToLane = failover.Lane;
    return stall;
}

std::string Timeline::StallText(const TimelineStall &stall) const
{
    return "I/O stalled " + std::to_string(stall.ToMs - stall.FromMs) + " ms: last completion on " +
           lanes_[stall.FromLane].Address + " at " + std::to_string(stall.FromMs) + " ms, first on " +
           lanes_[stall.ToLane].Address + " at " + std::to_string(stall.ToMs) + " ms";
}

uint64_t Timeline::IntervalMs() const
{
    uint64_t steps = (endMs_ + kMostBars * kStepMs - 1) / (kMostBars * kStepMs);
    return std::max<uint64_t>(1, steps) * kStepMs;
}

void Timeline::Rates(std::vector<std::vector<uint64_t>> *completed, std::vector<std::vector<uint64_t>> *failed) const
{
    uint64_t interval = IntervalMs();
    size_t bars = (size_t)(endMs_ / interval + 1);
    completed->assign(lanes_.size(), std::vector<uint64_t>(bars, 0));
    failed->assign(lanes_.size(), std::vector<uint64_t>(bars, 0));
    for (const Io &io : io_) {
        size_t bar = std::min<size_t>(bars - 1, (size_t)(io.AtMs / interval));
        ((io.Failed ? *failed : *completed)[io.Lane])[bar]++;
    }
}

std::string Timeline::Csv() const
{
    std::ostringstream out;
    out << "record,time_ms,lane,what,count,text\n";
    for (size_t i = 0; i < lanes_.size(); i++) {
        out << "lane,," << i << "," << CsvField(lanes_[i].Address) << ",," << CsvField(lanes_[i].Reaches) << "\n";
    }
    std::vector<std::vector<uint64_t>> completed, failed;
    Rates(&completed, &failed);
    for (size_t lane = 0; lane < lanes_.size(); lane++) {
        for (size_t bar = 0; bar < completed[lane].size(); bar++) {
            out << "io," << bar * IntervalMs() << "," << lane << ",completed," << completed[lane][bar] << ",\n"
                << "io," << bar * IntervalMs() << "," << lane << ",failed," << failed[lane][bar] << ",\n";
        }
    }
    for (const State &state : states_) {
        out << "health," << state.AtMs << "," << state.Lane << "," << state.Health << ",,\n";
    }
    for (const Use &use : uses_) {
        out << "current," << use.AtMs << "," << (use.Lane == kNoLane ? "" : std::to_string(use.Lane)) << ","
            << CsvField(use.Drive) << ",,\n";
    }
    for (const TimelineMark &mark : marks_) {
        out << "mark," << mark.AtMs << "," << (mark.Lane == kNoLane ? "" : std::to_string(mark.Lane)) << ","
            << MarkKindName(mark.Kind) << "," << mark.Count << "," << CsvField(mark.Text) << "\n";
    }
    for (const TimelineStall &stall : Stalls()) {
        out << "stall," << stall.FromMs << "," << stall.ToLane << ",stall," << stall.ToMs - stall.FromMs << ","
            << CsvField(StallText(stall)) << "\n";
    }
    for (const Entry &event : events_) {
        out << "event," << event.AtMs << ",," << event.Type << "," << event.Id << "," << CsvField(event.Text) << "\n";
    }
    out << "end," << endMs_ << ",,,,\n";
    return out.str();
}

// The marks' vertical lines, for every lane.
std::string Timeline::MarkLines() const
{
    std::ostringstream out;
    for (const TimelineMark &mark : marks_) {
        Look look = MarkLook(mark.Kind);
        out << "set arrow from " << Seconds(mark.AtMs) << ", graph 0 to " << Seconds(mark.AtMs)
            << ", graph 1 nohead front lw 2 dt " << look.Dash << " lc rgb \"" << look.Color << "\"\n";
    }
    return out.str();
}

// The marks' labels above the top lane, each at its time, moved up a row
// where it would run into the one before.
std::string Timeline::MarkLabels() const
{
    std::ostringstream out;
    const double plotPixels = (kRight - kLeft) * kWidth;
    const double msPerPixel = (double)std::max<uint64_t>(endMs_, 1) / plotPixels;
    const size_t rows = sizeof(kLabelRows) / sizeof(kLabelRows[0]);
    std::vector<double> rowEnd(rows, -1e18);
    for (const TimelineMark &mark : marks_) {
        std::string text = Seconds(mark.AtMs) + " s " + mark.Text;
        if (mark.Count > 1) {
            text += " (" + std::to_string(mark.Count) + " " + CountedNoun(mark.Kind) + ")";
        }
        double width = (double)text.size() * kCharPixels * msPerPixel;
        double start = (double)mark.AtMs;
        // Labels right of the middle end at their line rather than start there.
        bool leftward = start + width > (double)endMs_;
        double from = leftward ? start - width : start;
        // The lowest row free there, or else the one that frees soonest.
        size_t row = 0;
        while (row < rows && rowEnd[row] > from) {
            row++;
        }
        if (row == rows) {
            row = (size_t)(std::min_element(rowEnd.begin(), rowEnd.end()) - rowEnd.begin());
        }
        rowEnd[row] = from + width + 2 * kCharPixels * msPerPixel;
        out << "set label " << Quoted(text) << " at first " << Seconds(mark.AtMs) << ", screen "
            << Fraction(kLabelRows[row]) << (leftward ? " right" : " left") << " offset " << (leftward ? "-0.3" : "0.3")
            << ",0 tc rgb \"" << MarkLook(mark.Kind).Color << "\" font \",11\"\n";
    }
    return out.str();
}

// The stall as a double arrow on the lane that took over, with its figure.
std::string Timeline::StallsDrawing(int lane) const
{
    std::ostringstream out;
    for (const TimelineStall &stall : Stalls()) {
        if (stall.ToLane == lane) {
            out << StallDrawing(stall);
        }
    }
    return out.str();
}

std::string Timeline::StallDrawing(const TimelineStall &stall) const
{
    std::ostringstream out;
    out << "set arrow from " << Seconds(stall.FromMs) << ", graph 0.78 to " << Seconds(stall.ToMs)
        << ", graph 0.78 heads size screen 0.006,90 front lw 2 lc rgb \"#000000\"\n"
        << "set label " << Quoted("I/O stall " + std::to_string(stall.ToMs - stall.FromMs) + " ms");
    // Above the arrow's middle, kept inside the lane near either end.
    uint64_t middle = (stall.FromMs + stall.ToMs) / 2;
    if (middle * 10 < endMs_) {
        out << " at first " << Seconds(stall.FromMs) << ", graph 0.78 left offset 1,0.9";
    } else if (middle * 10 > endMs_ * 9) {
        out << " at first " << Seconds(stall.ToMs) << ", graph 0.78 right offset -1,0.9";
    } else {
        out << " at first " << Seconds(middle) << ", graph 0.78 center offset 0,0.9";
    }
    out << " front font \",12\" tc rgb \"#000000\"\n";
    return out.str();
}

// The key below the lanes: the bars, the health shades and the marks.
std::string Timeline::Legend() const
{
    std::ostringstream out;
    double x = 0.01;
    auto swatch = [&](const char *color, const std::string &text) {
        out << "set object rect from screen " << Fraction(x) << ", screen 0.055 to screen " << Fraction(x + 0.018)
            << ", screen 0.075 fc rgb \"" << color << "\" fs solid 1.0 border lc rgb \"#808080\"\n"
            << "set label " << Quoted(text) << " at screen " << Fraction(x + 0.022) << ", screen 0.065 left font \",10\"\n";
        x += 0.03 + (double)text.size() * kCharPixels / kWidth;
    };
    swatch("#1f5fa8", "requests completed per second");
    swatch("#d62728", "failed (over)");
    for (const Shade &shade : kLegendShades) {
        swatch(shade.Color, std::string("path ") + shade.Legend);
    }
    x = 0.01;
    for (MarkKind kind : {MarkKind::Fault, MarkKind::Return, MarkKind::Failover, MarkKind::Removal, MarkKind::Arrival,
                          MarkKind::Failback}) {
        Look look = MarkLook(kind);
        out << "set arrow from screen " << Fraction(x) << ", screen 0.025 to screen " << Fraction(x + 0.03)
            << ", screen 0.025 nohead lw 2 dt " << look.Dash << " lc rgb \"" << look.Color << "\"\n"
            << "set label " << Quoted(MarkKindName(kind)) << " at screen " << Fraction(x + 0.035)
            << ", screen 0.025 left font \",10\"\n";
        x += 0.11;
    }
    return out.str();
}

std::string Timeline::LaneHealthAt(int lane, uint64_t atMs) const
{
    std::string health = "INIT_START";
    for (const State &state : states_) {
        if (state.Lane == lane && state.AtMs <= atMs) {
            health = state.Health;
        }
    }
    return health;
}

std::string Timeline::LanePanel(int lane, const std::string &marks, bool bottom) const
{
    const double height = (kPanelsTop - kPanelsBottom) / (double)lanes_.size();
    const double top = kPanelsTop - height * lane;
    std::ostringstream out;
    out << "unset object\nunset arrow\nunset label\n"
        << "set tmargin at screen " << Fraction(top) << "\nset bmargin at screen "
        << Fraction(top - height + kPanelGap) << "\n"
        << "set label " << Quoted("path " + lanes_[lane].Address) << " at screen 0.01, screen "
        << Fraction(top - height / 2 + 0.012) << " left font \",13\"\n"
        << "set label " << Quoted(lanes_[lane].Reaches) << " at screen 0.01, screen "
        << Fraction(top - height / 2 - 0.018) << " left font \",10\" tc rgb \"#404040\"\n";
    // The health shading: one rectangle from each change to the next.
    std::vector<uint64_t> changes{0};
    for (const State &state : states_) {
        if (state.Lane == lane) {
            changes.push_back(state.AtMs);
        }
    }
    changes.push_back(endMs_);
    for (size_t i = 0; i + 1 < changes.size(); i++) {
        if (changes[i + 1] <= changes[i] && i + 2 < changes.size()) {
            continue;
        }
        out << "set object rect from " << Seconds(changes[i]) << ", graph 0 to " << Seconds(changes[i + 1])
            << ", graph 1 behind fc rgb \"" << ShadeOf(LaneHealthAt(lane, changes[i])).Color
            << "\" fs solid 1.0 noborder\n";
    }
    out << marks << StallsDrawing(lane);
    if (bottom) {
        out << "set format x \"%g\"\nset xlabel " << Quoted("seconds since the run began" + note_)
            << " offset 0,0.3\n";
    } else {
        out << "set format x \"\"\nunset xlabel\n";
    }
    out << "plot $lane" << lane << " using 1:($2+$3) with boxes lc rgb \"#d62728\" notitle, "
        << "'' using 1:2 with boxes lc rgb \"#1f5fa8\" notitle\n";
    return out.str();
}

std::string Timeline::Gnuplot(const std::string &output, const std::string &title) const
{
    std::ostringstream out;
    const bool svg = EndsWith(output, ".svg");
    out << "set terminal " << (svg ? "svg" : "pngcairo") << " noenhanced size " << kWidth << "," << kHeight
        << " font \"Sans," << (svg ? 12 : 10) << "\" background rgb \"white\"\n"
        << "set output " << FileQuoted(output) << "\n";

    // The rates, one data block per lane: the interval's middle in
    // seconds, requests completed and failed per second.
    std::vector<std::vector<uint64_t>> completed, failed;
    Rates(&completed, &failed);
    const double perSecond = 1000.0 / (double)IntervalMs();
    std::vector<double> busy;
    for (size_t lane = 0; lane < lanes_.size(); lane++) {
        out << "$lane" << lane << " << EOD\n";
        for (size_t bar = 0; bar < completed[lane].size(); bar++) {
            double middle = ((double)bar + 0.5) * (double)IntervalMs() / 1000.0;
            double done = (double)completed[lane][bar] * perSecond;
            double lost = (double)failed[lane][bar] * perSecond;
            if (done + lost > 0) {
                busy.push_back(done + lost);
            }
            out << middle << " " << done << " " << lost << "\n";
        }
        out << "EOD\n";
    }
    // The axis fits the steady rate: a burst (every block written at the
    // start, read back at the end) is clipped and its figure written.
    std::sort(busy.begin(), busy.end());
    const double top = busy.empty() ? 10 : std::max(busy.back() < busy[busy.size() * 9 / 10] * 2.5
                                                        ? busy.back() * 1.15
                                                        : busy[busy.size() * 9 / 10] * 2.0,
                                                    4.0);

    out << "set multiplot title " << Quoted(title) << " font \",15\"\n"
        << "set lmargin at screen " << kLeft << "\nset rmargin at screen " << kRight << "\n"
        << "set xrange [0:" << Seconds(endMs_) << "]\nset yrange [0:" << top << "]\n"
        << "set ytics " << TicStep(top) << " font \",10\"\n"
        << "set mxtics 5\nset grid xtics lc rgb \"#b0b0b0\" lw 0.5\nset style fill solid 0.9 noborder\n"
        << "set boxwidth " << (double)IntervalMs() / 1000.0 * 0.85 << " absolute\nunset key\n";
    const std::string marks = MarkLines();
    for (size_t lane = 0; lane < lanes_.size(); lane++) {
        std::string panel = LanePanel((int)lane, marks, lane + 1 == lanes_.size());
        std::ostringstream clipped;
        for (size_t bar = 0; bar < completed[lane].size(); bar++) {
            double rate = (double)(completed[lane][bar] + failed[lane][bar]) * perSecond;
            if (rate > top) {
                clipped << "set label \"" << (uint64_t)(rate + 0.5) << "/s\" at first "
                        << (double)bar * (double)IntervalMs() / 1000.0 << ", graph 0.9 "
                        << (bar * 2 < completed[lane].size() ? "left offset 1,0" : "right offset -1,0")
                        << " front font \",10\"\n";
            }
        }
        panel.insert(panel.find("plot $lane"), clipped.str());
        if (lane == 0) {
            // The labels belong to the top lane's plot so they are drawn once.
            panel.insert(panel.find("plot $lane"), MarkLabels() + Legend());
        }
        out << panel;
    }
    out << "unset multiplot\nset output\n";
    return out.str();
}

} // namespace scenario
