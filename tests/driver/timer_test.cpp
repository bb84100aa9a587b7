// The periodic timer's duties on the controllable clock: which runs
// fail drives back, which trace the statistics and queue location
// queries, and which paths get a query.
#include "driverfixture.h"

namespace tarntest {
namespace {

class TimerTest : public OneDriveTest {
protected:
    void SetUp() override
    {
        OneDriveTest::SetUp();
        ASSERT_TRUE(host::TraceEnable(TRDSM_TRACE_LEVEL, 4));
    }

    // The paths' places on the array as the queries would leave them:
    // path 0 known, path 1 half known, path 2 failing and unknown, path
    // 3 unknown.  Only 1 and 3 are asked about.
    void ForgetLocations()
    {
        Locked([&] {
            paths_[0]->ControllerNumber = 0;
            paths_[0]->ControllerPort = 1;
            paths_[1]->ControllerNumber = TARN_CONTROLLER_UNKNOWN;
            paths_[1]->ControllerPort = 0;
            paths_[2]->HealthState = PDO_HEALTH_FAILING;
            paths_[2]->ControllerNumber = TARN_CONTROLLER_UNKNOWN;
            paths_[3]->ControllerNumber = TARN_CONTROLLER_UNKNOWN;
            paths_[3]->ControllerPort = TARN_CONTROLLER_UNKNOWN;
        });
    }

    // What one timer run did, seen in the traces it wrote and the work it queued.
    struct Run {
        bool Failback = false;
        bool Statistics = false;
        size_t Queries = 0;
    };

    // Lets the next run happen.  The preferred path is made brand new
    // first, so a failback pass traces that it is too young and changes
    // nothing.
    Run NextRun()
    {
        Locked([&] {
            LARGE_INTEGER now;
            KeQueryTickCount(&now);
            paths_[0]->CreationTicks = (ULONGLONG)now.QuadPart;
            drive_->currentPath = paths_[1];
        });
        host::ClearTrace();
        size_t queued = host::PendingWorkItems();
        host::ClockAdvance(TARN_TIMER_PERIOD_MS);
        Run run;
        for (const std::string &line : host::RenderTraces()) {
            run.Failback |= line.find("FailbackPass:") != std::string::npos;
            run.Statistics |= line.find("carried") != std::string::npos;
        }
        run.Queries = host::PendingWorkItems() - queued;
        return run;
    }
};

TEST_F(TimerTest, DutiesRunOnTheirSchedule)
{
    ForgetLocations();
    host::ClockAdvance(1000 - TARN_TIMER_PERIOD_MS);   // just before the first run, one second after start
    ASSERT_EQ(Context()->TickCount, 0u);
    for (ULONGLONG tick = 0; tick <= 20; tick++) {
        SCOPED_TRACE(testing::Message() << "run " << tick);
        Run run = NextRun();
        EXPECT_EQ(run.Failback, tick % 10 == 0);
        EXPECT_EQ(run.Statistics, tick == 0);
        EXPECT_EQ(run.Queries, tick == 0 ? 2u : 0u);
    }
    EXPECT_EQ(host::DrainWorkItems(), 2u);
    EXPECT_NE(paths_[1]->ControllerNumber, TARN_CONTROLLER_UNKNOWN);
    EXPECT_NE(paths_[3]->ControllerPort, TARN_CONTROLLER_UNKNOWN);
    EXPECT_EQ(paths_[2]->ControllerNumber, TARN_CONTROLLER_UNKNOWN);

    // The next minute: every duty again, for the paths still unknown.
    ForgetLocations();
    host::ClockAdvance((TARN_TIMER_RUNS_PER_MINUTE - 21) * TARN_TIMER_PERIOD_MS);
    ASSERT_EQ(Context()->TickCount, (ULONGLONG)TARN_TIMER_RUNS_PER_MINUTE);
    EXPECT_EQ(host::PendingWorkItems(), 0u);
    Run minute = NextRun();
    EXPECT_TRUE(minute.Failback);
    EXPECT_TRUE(minute.Statistics);
    EXPECT_EQ(minute.Queries, 2u);
    EXPECT_EQ(host::DrainWorkItems(), 2u);
}

// While the work queue has not run a path's location query, later
// minutes queue no other for that path; once it has run and the place is
// still unknown, the path is asked again.
TEST_F(TimerTest, APathHasAtMostOneLocationQueryQueued)
{
    ForgetLocations();
    host::ClockAdvance(1000);
    EXPECT_EQ(host::PendingWorkItems(), 2u);
    host::ClockAdvance(3 * TARN_TIMER_RUNS_PER_MINUTE * TARN_TIMER_PERIOD_MS);
    EXPECT_EQ(host::PendingWorkItems(), 2u);

    // A query that cannot learn the place leaves the path to be asked again.
    array_->SetFault(array::Scope::OnController(0), array::Fault::LinkDown);
    array_->SetFault(array::Scope::OnController(1), array::Fault::LinkDown);
    EXPECT_EQ(host::DrainWorkItems(), 2u);
    array_->ClearFaults();
    // The port saw its links down under those queries; let it find them
    // back before counting the driver's work items again.
    host::ClockAdvance(1000);
    host::DrainWorkItems();
    Locked([&] {
        for (PPDO_ENTRY path : paths_) {
            EXPECT_FALSE(path->LocationQueryQueued) << path->PathIdString;
        }
    });
    EXPECT_EQ(paths_[3]->ControllerPort, TARN_CONTROLLER_UNKNOWN);
    host::ClockAdvance(TARN_TIMER_RUNS_PER_MINUTE * TARN_TIMER_PERIOD_MS);
    EXPECT_EQ(host::PendingWorkItems(), 2u);
    EXPECT_EQ(host::DrainWorkItems(), 2u);
}

} // namespace
} // namespace tarntest
