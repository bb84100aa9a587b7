// The timeline's bookkeeping: marks counted together, the stall of each
// fault's failover, and the CSV and gnuplot texts other programs read.

#include "timeline.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using scenario::MarkKind;
using scenario::Timeline;

// Two paths; path 0 carries the I/O until a fault at 3000 ms, and after
// a failover path 1 does.
Timeline TwoPaths()
{
    Timeline timeline;
    timeline.AddLane({"2:0:0", "controller 0 port 0"});
    timeline.AddLane({"3:0:1", "controller 1 port 1"});
    for (uint64_t at = 100; at <= 2900; at += 100) {
        timeline.Completed(at, 0, false);
    }
    timeline.Mark(3000, MarkKind::Fault, 0, "cable pulled on 2:0:0");
    timeline.Completed(3100, 0, true);
    timeline.Mark(3100, MarkKind::Failover, 1, "failover to 3:0:1", 2000);
    for (uint64_t at = 3400; at <= 6000; at += 100) {
        timeline.Completed(at, 1, false);
    }
    timeline.End(6000);
    return timeline;
}

TEST(Timeline, AlikeMarksCloseTogetherAreOneWithACount)
{
    Timeline timeline = TwoPaths();
    timeline.Mark(3150, MarkKind::Failover, 1, "failover to 3:0:1", 2000);
    timeline.Mark(5200, MarkKind::Failover, 1, "failover to 3:0:1", 2000);     // past the window
    timeline.Mark(3200, MarkKind::Failover, 0, "failover to 2:0:0", 2000);     // another path
    timeline.Mark(3300, MarkKind::Removal, 1, "MPIO removes 3:0:1", 2000);     // another kind
    ASSERT_EQ(timeline.Marks().size(), 5u);
    EXPECT_EQ(timeline.Marks()[1].Count, 2u);
    EXPECT_EQ(timeline.Marks()[1].AtMs, 3100u);
    EXPECT_EQ(timeline.Marks()[2].Count, 1u);
}

TEST(Timeline, StallRunsFromTheLastCompletionOnTheFailingPathToTheFirstOnItsSuccessor)
{
    Timeline timeline = TwoPaths();
    // A second fault fails back over to path 0, which the fault does not name.
    timeline.Mark(4000, MarkKind::Fault, scenario::kNoLane, "controller fails");
    timeline.Completed(6100, 1, true);
    timeline.Mark(6100, MarkKind::Failover, 0, "failover to 2:0:0", 2000);
    timeline.Completed(6500, 0, false);
    timeline.End(7000);

    auto stalls = timeline.Stalls();
    ASSERT_EQ(stalls.size(), 2u);
    EXPECT_EQ(stalls[0].FromLane, 0);
    EXPECT_EQ(stalls[0].ToLane, 1);
    EXPECT_EQ(stalls[0].FromMs, 2900u);       // a failed request is no completion
    EXPECT_EQ(stalls[0].ToMs, 3400u);
    EXPECT_EQ(timeline.StallText(stalls[0]),
              "I/O stalled 500 ms: last completion on 2:0:0 at 2900 ms, first on 3:0:1 at 3400 ms");
    // The failing path found from where the failed-over request failed.
    EXPECT_EQ(stalls[1].FromLane, 1);
    EXPECT_EQ(stalls[1].FromMs, 6000u);
    EXPECT_EQ(stalls[1].ToMs, 6500u);
}

TEST(Timeline, NoFailoverNoStall)
{
    Timeline timeline;
    timeline.AddLane({"2:0:0", ""});
    timeline.Completed(100, 0, false);
    timeline.Mark(200, MarkKind::Fault, 0, "target busy");
    timeline.Mark(300, MarkKind::Return, 0, "target no longer busy");
    EXPECT_TRUE(timeline.Stalls().empty());
}

TEST(Timeline, CsvCountsPerIntervalAndQuotesWhatNeedsIt)
{
    Timeline timeline = TwoPaths();
    timeline.Event(3100, "Warning", 515, "failed over to [3A5 3:0:1:0], \"path error\"");
    timeline.Health(3100, 0, "FAILED");
    timeline.Health(3200, 0, "FAILED");      // no change: not kept
    const std::string csv = timeline.Csv();
    EXPECT_EQ(csv.rfind("record,time_ms,lane,what,count,text\nlane,,0,2:0:0,,controller 0 port 0\n", 0), 0u);
    // 6000 ms in intervals of 100 ms: path 0 completed one in each up to 2900.
    EXPECT_EQ(timeline.IntervalMs(), 100u);
    EXPECT_NE(csv.find("io,2900,0,completed,1,\nio,2900,0,failed,0,\n"), std::string::npos);
    EXPECT_NE(csv.find("io,3100,0,completed,0,\nio,3100,0,failed,1,\n"), std::string::npos);
    EXPECT_NE(csv.find("\nhealth,3100,0,FAILED,,\nmark,"), std::string::npos);
    EXPECT_NE(csv.find("mark,3100,1,failover,1,failover to 3:0:1\n"), std::string::npos);
    EXPECT_NE(csv.find("event,3100,,Warning,515,\"failed over to [3A5 3:0:1:0], \"\"path error\"\"\"\n"),
              std::string::npos);
    EXPECT_NE(csv.find("\nend,6000,,,,\n"), std::string::npos);
}

TEST(Timeline, IntervalsKeepALongRunToAboutNinetyBars)
{
    Timeline timeline;
    timeline.End(35000);
    EXPECT_EQ(timeline.IntervalMs(), 400u);
    timeline.End(600000);
    EXPECT_EQ(timeline.IntervalMs(), 6700u);
}

TEST(Timeline, GnuplotTextKeepsQuotesAndBurstsInBounds)
{
    Timeline timeline = TwoPaths();
    for (int i = 0; i < 300; i++) {
        timeline.Completed(50, 0, false);       // every block written at the start
    }
    timeline.Mark(5000, MarkKind::Return, 0, "cable \"back\" on 2:0:0\\");
    const std::string script = timeline.Gnuplot("/tmp/it's.png", "Scenario \"default\"\nsecond line");
    EXPECT_EQ(script.rfind("set terminal pngcairo noenhanced size 1200,820", 0), 0u);
    EXPECT_NE(script.find("set output '/tmp/it''s.png'\n"), std::string::npos);
    EXPECT_NE(script.find("set multiplot title \"Scenario \\\"default\\\"\\nsecond line\""), std::string::npos);
    EXPECT_NE(script.find("5.0 s cable \\\"back\\\" on 2:0:0\\\\\""), std::string::npos);
    // The burst is clipped and its rate written; the axis fits the steady rate.
    EXPECT_NE(script.find("set label \"3000/s\" at first 0"), std::string::npos);
    EXPECT_NE(script.find("set yrange [0:20]"), std::string::npos);
    EXPECT_EQ(timeline.Gnuplot("x.svg", "t").rfind("set terminal svg noenhanced size 1200,820", 0), 0u);
}

TEST(Timeline, PicturesAreSvgOrPng)
{
    EXPECT_TRUE(scenario::PictureName("run.svg"));
    EXPECT_TRUE(scenario::PictureName("a/b.png"));
    EXPECT_FALSE(scenario::PictureName("run.jpg"));
    EXPECT_FALSE(scenario::PictureName("svg"));
}

} // namespace
