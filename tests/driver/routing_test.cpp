// Request routing on a claimed drive of four paths: categories, the
// current path under each policy (the farthest healthy path, failing and
// failed fallbacks, round-robin slices on the controllable clock with a
// seeded generator), and the request counters and completion hooks.
#include "driverfixture.h"

#include <cstdlib>

namespace tarntest {
namespace {

class RoutingTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        FullConfiguration();
        host::RegistrySetDword(kParametersKey, "RoundRobinTimeSlice", 2500);
        AttachArray({0});
        ASSERT_EQ(StartAndDiscover(), STATUS_SUCCESS);
        drive_ = FirstDrive();
        ASSERT_NE(drive_, nullptr);
        paths_ = PathsOf(drive_);
        ASSERT_EQ(paths_.size(), 4u);
        ids_.Count = 1;
        ids_.IdList[0] = paths_[0];
    }

    // Path states and locations as the health machine and the location
    // queries would leave them.
    void SetPaths(std::initializer_list<ULONG> health)
    {
        Locked([&] {
            size_t i = 0;
            for (ULONG state : health) {
                paths_[i++]->HealthState = state;
            }
        });
    }

    void SetPolicy(ULONG policy) { Locked([&] { drive_->LogicalDriveLbPolicy = policy; }); }
    void SetCurrent(PPDO_ENTRY current) { Locked([&] { drive_->currentPath = current; }); }

    void SetLocation(size_t path, UCHAR controller, UCHAR port)
    {
        Locked([&] {
            paths_[path]->ControllerNumber = controller;
            paths_[path]->ControllerPort = port;
        });
    }

    ULONG Distance(size_t path, size_t from)
    {
        ULONG distance = 0;
        Locked([&] { distance = PathDistance(paths_[path], paths_[from]); });
        return distance;
    }

    void Select(PPDO_ENTRY current)
    {
        Locked([&] {
            drive_->currentPath = current;
            SelectCurrentPath(drive_);
        });
    }

    ULONGLONG Requests(PPDO_ENTRY path)
    {
        ULONGLONG count = 0;
        Locked([&] { count = DsmPathRequestCount(path); });
        return count;
    }

    PVOID GetPath(NTSTATUS *status)
    {
        return DsmLBGetPath(Context(), nullptr, &ids_, nullptr, status);
    }

    PLD_ENTRY drive_ = nullptr;
    std::vector<PPDO_ENTRY> paths_;
    DSM_IDS ids_{};
};

TEST_F(RoutingTest, StaticPolicyTakesTheFarthestHealthyPath)
{
    SetPolicy(TARN_LB_POLICY_FAILOVER);
    // C (controller 0, port 0, SCSI port 2, path id 0) fails; A (0, 1, 2, 0)
    // scores 2, B (1, 0, 3, 0) scores 12.
    SetLocation(0, 0, 0);
    SetLocation(1, 0, 1);
    SetLocation(2, 1, 0);
    SetPaths({PDO_HEALTH_FAILING, PDO_HEALTH_HEALTHY, PDO_HEALTH_HEALTHY, PDO_HEALTH_INIT_START});
    EXPECT_EQ(Distance(1, 0), 2u);
    EXPECT_EQ(Distance(2, 0), 12u);
    Select(paths_[0]);
    EXPECT_EQ(drive_->currentPath, paths_[2]);

    // A healthy current path stays.
    Select(paths_[1]);
    EXPECT_EQ(drive_->currentPath, paths_[1]);

    // Equal scores: the earlier path wins; a score of 0 is still taken.
    SetLocation(1, 1, 0);
    Select(paths_[0]);
    EXPECT_EQ(drive_->currentPath, paths_[2]) << "unknown locations are equal only to each other";
    for (size_t path = 0; path < paths_.size(); path++) {
        SetLocation(path, TARN_CONTROLLER_UNKNOWN, TARN_CONTROLLER_UNKNOWN);
    }
    SetPaths({PDO_HEALTH_FAILING, PDO_HEALTH_HEALTHY, PDO_HEALTH_INIT_START, PDO_HEALTH_INIT_START});
    Select(paths_[0]);
    EXPECT_EQ(drive_->currentPath, paths_[1]);
}

TEST_F(RoutingTest, WithoutHealthyPathsTheFallbacksDifferByPolicy)
{
    SetPaths({PDO_HEALTH_FAILED, PDO_HEALTH_FAILING, PDO_HEALTH_FAILED, PDO_HEALTH_FAILING});

    // Static: the last failing path in list order.
    SetPolicy(TARN_LB_POLICY_FAILBACK);
    Select(paths_[0]);
    EXPECT_EQ(drive_->currentPath, paths_[3]);

    // Round robin: the first failing path after the current one.
    SetPolicy(TARN_LB_POLICY_ROUND_ROBIN);
    Select(paths_[0]);
    EXPECT_EQ(drive_->currentPath, paths_[1]);

    // No failing path: failed ones; the static policy takes the last.
    SetPaths({PDO_HEALTH_FAILED, PDO_HEALTH_INIT_START, PDO_HEALTH_FAILED, PDO_HEALTH_REMOVED});
    SetPolicy(TARN_LB_POLICY_FAILOVER);
    Select(paths_[3]);
    EXPECT_EQ(drive_->currentPath, paths_[2]);

    // Only paths pending removal: none, and requests find no path.
    SetPaths({PDO_HEALTH_PENDING_REMOVE, PDO_HEALTH_PENDING_REMOVE, PDO_HEALTH_INIT_START, PDO_HEALTH_REMOVED});
    Select(paths_[0]);
    EXPECT_EQ(drive_->currentPath, nullptr);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(GetPath(&status), nullptr);
    EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(RoutingTest, StaticPolicyKeepsSendingDownAFailingCurrentPath)
{
    SetPolicy(TARN_LB_POLICY_FAILOVER);
    SetPaths({PDO_HEALTH_FAILING, PDO_HEALTH_HEALTHY, PDO_HEALTH_HEALTHY, PDO_HEALTH_HEALTHY});
    SetCurrent(paths_[0]);
    for (int i = 0; i < 3; i++) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        EXPECT_EQ(GetPath(&status), paths_[0]);
        EXPECT_EQ(status, STATUS_SUCCESS);
    }
    EXPECT_EQ(Requests(paths_[0]), 3u);
    EXPECT_EQ(Requests(paths_[1]), 0u);
}

// The drive counts requests for its current path; each path's count must
// stay its own as the current path moves on, also when the counted path
// is removed (the drive must not add to the freed record afterwards).
TEST_F(RoutingTest, RequestCountsStayWithTheirPathAsTheCurrentPathMoves)
{
    SetPolicy(TARN_LB_POLICY_FAILOVER);
    SetPaths({PDO_HEALTH_HEALTHY, PDO_HEALTH_HEALTHY, PDO_HEALTH_HEALTHY, PDO_HEALTH_HEALTHY});
    auto route = [&](int requests) {
        for (int i = 0; i < requests; i++) {
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            ASSERT_NE(GetPath(&status), nullptr);
        }
    };
    SetCurrent(paths_[0]);
    route(3);
    SetCurrent(paths_[1]);
    route(2);
    SetCurrent(paths_[0]);
    route(1);
    EXPECT_EQ(Requests(paths_[0]), 4u);
    EXPECT_EQ(Requests(paths_[1]), 2u);
    EXPECT_EQ(Requests(paths_[2]), 0u);

    SetCurrent(paths_[1]);
    route(1);
    ASSERT_EQ(DsmRemoveDevice(Context(), paths_[1], nullptr), STATUS_SUCCESS);
    PPDO_ENTRY next = drive_->currentPath;
    ASSERT_NE(next, nullptr);
    ULONGLONG before = Requests(next);
    route(2);
    EXPECT_EQ(Requests(next), before + 2);
    EXPECT_EQ(Requests(paths_[0]) + Requests(paths_[2]) + Requests(paths_[3]), 6u);
}

// Sets the driver's generator so that its next draw is (or is not) a
// multiple of 8.
void NextDraw(PDSM_CONTEXT context, bool multipleOfEight)
{
    DsmLockHeld held(context);
    for (ULONG seed = 1;; seed++) {
        context->RandomState = seed;
        if ((DsmRandom(context) % 8 == 0) == multipleOfEight) {
            context->RandomState = seed;
            return;
        }
    }
}

// Its draws are 0 to 32767 and their residues modulo 8 come equally
// often, so the switch is due seven times in eight; it is seeded at start.
TEST_F(RoutingTest, TheSkipsGeneratorSpreadsItsDrawsEvenlyModuloEight)
{
    EXPECT_NE(Context()->RandomState, 0u);
    constexpr int kDraws = 80000;
    int counts[8] = {};
    Locked([&] {
        for (int i = 0; i < kDraws; i++) {
            ULONG draw = DsmRandom(Context());
            ASSERT_LE(draw, 32767u);
            counts[draw % 8]++;
        }
    });
    for (int residue = 0; residue < 8; residue++) {
        EXPECT_NEAR(counts[residue], kDraws / 8, kDraws / 80) << "residue " << residue;
    }
}

TEST_F(RoutingTest, RoundRobinMovesOnAfterItsSliceSevenTimesInEight)
{
    SetPolicy(TARN_LB_POLICY_ROUND_ROBIN);
    SetPaths({PDO_HEALTH_HEALTHY, PDO_HEALTH_FAILING, PDO_HEALTH_HEALTHY, PDO_HEALTH_HEALTHY});
    SetCurrent(paths_[0]);
    Locked([&] { KeQuerySystemTime(&drive_->TimesliceStart); });
    NTSTATUS status;

    // Within the slice: the same path.
    host::ClockAdvance(2499);
    EXPECT_EQ(GetPath(&status), paths_[0]);

    // After it, with a draw that is not a multiple of 8: the next usable
    // path, skipping the failing one, and a new slice.
    host::ClockAdvance(1);
    NextDraw(Context(), false);
    EXPECT_EQ(GetPath(&status), paths_[2]);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(drive_->TimesliceStart.QuadPart, now.QuadPart);
    EXPECT_EQ(GetPath(&status), paths_[2]);

    // A multiple of 8 keeps the path, and still starts a new slice.
    host::ClockAdvance(2500);
    NextDraw(Context(), true);
    EXPECT_EQ(GetPath(&status), paths_[2]);
    host::ClockAdvance(2499);
    NextDraw(Context(), false);
    EXPECT_EQ(GetPath(&status), paths_[2]);
    host::ClockAdvance(1);
    EXPECT_EQ(GetPath(&status), paths_[3]);

    // A single healthy path stays current after its slice.
    SetPaths({PDO_HEALTH_FAILED, PDO_HEALTH_FAILED, PDO_HEALTH_FAILED, PDO_HEALTH_HEALTHY});
    host::ClockAdvance(2500);
    NextDraw(Context(), false);
    EXPECT_EQ(GetPath(&status), paths_[3]);
}

TEST_F(RoutingTest, CategoriesAndCounters)
{
    SetPolicy(TARN_LB_POLICY_FAILOVER);
    SetPaths({PDO_HEALTH_HEALTHY, PDO_HEALTH_HEALTHY, PDO_HEALTH_HEALTHY, PDO_HEALTH_HEALTHY});
    Select(nullptr);
    ASSERT_EQ(drive_->currentPath, paths_[0]);
    TARN_REQUEST_COUNTERS before = DsmRequestCounters;

    IRP irp{};
    IO_STACK_LOCATION stack{};
    SCSI_REQUEST_BLOCK srb{};
    irp.Tail.Overlay.CurrentStackLocation = &stack;
    stack.MajorFunction = IRP_MJ_SCSI;
    stack.Parameters.Scsi.Srb = &srb;
    // A read gets a path; RESERVE(6) is carried out by the DSM and is no
    // path request; without a usable path there is none, and the SRB says so.
    const PVOID untouched = reinterpret_cast<PVOID>(0x1);
    const struct {
        UCHAR Opcode;
        PPDO_ENTRY Current;
        ULONG Category;
        PVOID Path;
        NTSTATUS Status;
    } rows[] = {
        {SCSIOP_READ, paths_[0], DSM_CATEGORY_PATH_CHOSEN, paths_[0], STATUS_SUCCESS},
        {SCSIOP_RESERVE_UNIT, paths_[0], DSM_CATEGORY_CARRIED_OUT_BY_DSM, untouched, 0},
        {SCSIOP_WRITE, nullptr, DSM_CATEGORY_NO_PATH, nullptr, STATUS_DEVICE_NOT_CONNECTED},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE((int)row.Opcode);
        SetCurrent(row.Current);
        srb.Cdb[0] = row.Opcode;
        PVOID path = untouched;
        NTSTATUS status = STATUS_PENDING;
        EXPECT_EQ(DsmCategorizeRequest(Context(), &ids_, &irp, &srb, nullptr, &path, &status), row.Category);
        EXPECT_EQ(path, row.Path);
        if (row.Category != DSM_CATEGORY_CARRIED_OUT_BY_DSM) {
            EXPECT_EQ(status, row.Status);
        }
    }
    EXPECT_EQ(srb.SrbStatus, SRB_STATUS_NO_DEVICE);

    // Two path requests in, both failed or not: both still outstanding.
    EXPECT_EQ(DsmRequestCounters.GetPathCalls, before.GetPathCalls + 2);
    EXPECT_EQ(DsmRequestCounters.OutstandingRequests, before.OutstandingRequests + 2);

    // A hooked completion counts one out and returns its record.
    DSM_COMPLETION_INFO completion{};
    DsmSetCompletion(Context(), paths_[0], &irp, &srb, &completion);
    ASSERT_EQ(completion.DsmCompletionRoutine, &RequestCompletion);
    auto *record = static_cast<PCOMPLETION_RECORD>(completion.DsmContext);
    EXPECT_EQ(record->DsmContext, Context());
    EXPECT_EQ(record->DsmId, paths_[0]);
    completion.DsmCompletionRoutine(paths_[0], &irp, &srb, completion.DsmContext);
    EXPECT_EQ(DsmRequestCounters.SetCompletionCalls, before.SetCompletionCalls + 1);
    EXPECT_EQ(DsmRequestCounters.CompletionCalls, before.CompletionCalls + 1);
    EXPECT_EQ(DsmRequestCounters.OutstandingRequests, before.OutstandingRequests + 1);

    // No record to be had (the list's cached one is in use, pool is out):
    // an event, and the request goes on unhooked.
    DSM_COMPLETION_INFO cached{};
    DsmSetCompletion(Context(), paths_[0], &irp, &srb, &cached);
    ASSERT_NE(cached.DsmContext, nullptr);
    host::PoolFailTag(kTarnTag);
    DsmSetCompletion(Context(), paths_[0], &irp, &srb, &completion);
    host::PoolClearFailures();
    EXPECT_EQ(completion.DsmCompletionRoutine, nullptr);
    EXPECT_EQ(completion.DsmContext, nullptr);
    EXPECT_EQ(EventIds().back(), TARN_MSG_NO_MEMORY);
    cached.DsmCompletionRoutine(paths_[0], &irp, &srb, cached.DsmContext);

    EXPECT_EQ(DsmBroadcastSrb(Context(), &ids_, &irp, &srb, nullptr), STATUS_SUCCESS);
}

} // namespace
} // namespace tarntest
