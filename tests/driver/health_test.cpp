// The path health state machine and the entry points that drive it:
// which transitions are accepted, which of them re-choose the drive's
// current path or carry the node's registration onto the path, and
// what activation, verification, invalidation and failback do to a
// drive of four paths on the simulated array.
#include "driverfixture.h"

#include <set>
#include <string>
#include <utility>

namespace tarntest {
namespace {

class HealthTest : public OneDriveTest {
protected:
    void SetStates(std::initializer_list<ULONG> states, PPDO_ENTRY current)
    {
        Locked([&] {
            size_t i = 0;
            for (ULONG state : states) {
                paths_[i++]->HealthState = state;
            }
            drive_->currentPath = current;
        });
    }

    ULONG State(size_t path) const { return paths_[path]->HealthState; }
    static std::string Name(ULONG state)
    {
        PCSTR name = DsmPathHealthName(state);
        return name != nullptr ? name : "state " + std::to_string(state);
    }
    PPDO_ENTRY Current() const { return drive_->currentPath; }
};

// Every pair of states, and a state beyond the last: only the table's
// pairs move the path; every other request leaves it where it was.
TEST_F(HealthTest, OnlyTheTablesTransitionsAreAccepted)
{
    const std::set<std::pair<ULONG, ULONG>> accepted = {
        {PDO_HEALTH_INIT_START, PDO_HEALTH_INIT_SETDEVICEINFO},
        {PDO_HEALTH_INIT_START, PDO_HEALTH_PENDING_REMOVE},
        {PDO_HEALTH_INIT_SETDEVICEINFO, PDO_HEALTH_INIT_PATHVERIFY_FAIL},
        {PDO_HEALTH_INIT_SETDEVICEINFO, PDO_HEALTH_INIT_PATHVERIFY_SUCCESS},
        {PDO_HEALTH_INIT_SETDEVICEINFO, PDO_HEALTH_PENDING_REMOVE},
        {PDO_HEALTH_INIT_PATHVERIFY_FAIL, PDO_HEALTH_FAILING},
        {PDO_HEALTH_INIT_PATHVERIFY_FAIL, PDO_HEALTH_REMOVED},
        {PDO_HEALTH_INIT_PATHVERIFY_FAIL, PDO_HEALTH_PENDING_REMOVE},
        {PDO_HEALTH_INIT_PATHVERIFY_SUCCESS, PDO_HEALTH_HEALTHY},
        {PDO_HEALTH_INIT_PATHVERIFY_SUCCESS, PDO_HEALTH_PENDING_REMOVE},
        {PDO_HEALTH_HEALTHY, PDO_HEALTH_FAILING},
        {PDO_HEALTH_HEALTHY, PDO_HEALTH_PENDING_REMOVE},
        {PDO_HEALTH_FAILING, PDO_HEALTH_FAILING},
        {PDO_HEALTH_FAILING, PDO_HEALTH_FAILED},
        {PDO_HEALTH_FAILING, PDO_HEALTH_HEALTHY},
        {PDO_HEALTH_FAILING, PDO_HEALTH_PENDING_REMOVE},
        {PDO_HEALTH_FAILED, PDO_HEALTH_HEALTHY},
        {PDO_HEALTH_FAILED, PDO_HEALTH_PENDING_REMOVE},
        {PDO_HEALTH_PENDING_REMOVE, PDO_HEALTH_REMOVED},
    };
    for (ULONG from = PDO_HEALTH_INIT_START; from <= PDO_HEALTH_REMOVED + 1; from++) {
        for (ULONG to = PDO_HEALTH_INIT_START; to <= PDO_HEALTH_REMOVED; to++) {
            SCOPED_TRACE(testing::Message() << Name(from) << " to " << Name(to));
            SetStates({from}, paths_[1]);
            Locked([&] { SetPathHealth(paths_[0], from, to); });
            EXPECT_EQ(State(0), accepted.count({from, to}) != 0 ? to : from);
        }
    }
}

// The drive re-chooses (leaving a failed current path for a healthy one)
// only on the rows that change which paths can carry requests, and a
// path that comes back healthy on a drive the cluster reserves gets the
// node's registration carried onto it.
TEST_F(HealthTest, AcceptedChangesReChooseAndCarryTheRegistrationByTheirRow)
{
    struct Row {
        ULONG From, To;
        bool Reselect, Registration;
    };
    const Row rows[] = {
        {PDO_HEALTH_INIT_START, PDO_HEALTH_INIT_SETDEVICEINFO, false, false},
        {PDO_HEALTH_INIT_SETDEVICEINFO, PDO_HEALTH_INIT_PATHVERIFY_SUCCESS, false, false},
        {PDO_HEALTH_INIT_PATHVERIFY_FAIL, PDO_HEALTH_FAILING, false, false},
        {PDO_HEALTH_INIT_PATHVERIFY_FAIL, PDO_HEALTH_REMOVED, false, false},
        {PDO_HEALTH_INIT_PATHVERIFY_SUCCESS, PDO_HEALTH_HEALTHY, true, true},
        {PDO_HEALTH_HEALTHY, PDO_HEALTH_FAILING, true, false},
        {PDO_HEALTH_HEALTHY, PDO_HEALTH_PENDING_REMOVE, true, false},
        {PDO_HEALTH_FAILING, PDO_HEALTH_FAILING, true, false},
        {PDO_HEALTH_FAILING, PDO_HEALTH_FAILED, true, false},
        {PDO_HEALTH_FAILING, PDO_HEALTH_HEALTHY, true, true},
        {PDO_HEALTH_FAILED, PDO_HEALTH_HEALTHY, true, true},
        {PDO_HEALTH_FAILED, PDO_HEALTH_PENDING_REMOVE, true, false},   // it may be the fallback in use
        {PDO_HEALTH_PENDING_REMOVE, PDO_HEALTH_REMOVED, true, false},
    };
    Locked([&] { drive_->ReservationsInUse = TRUE; });
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << Name(row.From) << " to " << Name(row.To));
        SetStates({row.From, PDO_HEALTH_HEALTHY, PDO_HEALTH_HEALTHY, PDO_HEALTH_FAILED}, paths_[3]);
        size_t queued = host::PendingWorkItems();
        Locked([&] { SetPathHealth(paths_[0], row.From, row.To); });
        EXPECT_EQ(State(0), row.To);
        EXPECT_EQ(Current() != paths_[3], row.Reselect);
        EXPECT_EQ(host::PendingWorkItems() - queued, row.Registration ? 1u : 0u);
    }
    host::DrainWorkItems();
}

TEST_F(HealthTest, ActivationMakesAVerifiedPathHealthyAndAFailedOneFailing)
{
    SetStates({PDO_HEALTH_INIT_PATHVERIFY_SUCCESS, PDO_HEALTH_INIT_PATHVERIFY_FAIL, PDO_HEALTH_FAILED,
               PDO_HEALTH_FAILED},
              nullptr);
    EXPECT_TRUE(DsmIsPathActive(Context(), nullptr, paths_[0]));
    EXPECT_EQ(State(0), PDO_HEALTH_HEALTHY);
    EXPECT_EQ(Current(), paths_[0]);   // the drive had none
    EXPECT_TRUE(DsmIsPathActive(Context(), nullptr, paths_[0]));
    EXPECT_EQ(State(0), PDO_HEALTH_HEALTHY);

    SetStates({PDO_HEALTH_FAILED, PDO_HEALTH_INIT_PATHVERIFY_FAIL}, paths_[2]);
    EXPECT_FALSE(DsmIsPathActive(Context(), nullptr, paths_[1]));
    EXPECT_EQ(State(1), PDO_HEALTH_FAILING);
    EXPECT_EQ(Current(), paths_[2]);   // not re-chosen
    EXPECT_FALSE(DsmIsPathActive(Context(), nullptr, paths_[2]));
    EXPECT_EQ(State(2), PDO_HEALTH_FAILED);
}

TEST_F(HealthTest, InvalidationFailsAFailingPathOverAndLeavesAHealthyOneAlone)
{
    // A move between known paths is acknowledged and changes nothing.
    PPDO_ENTRY current = Current();
    EXPECT_EQ(DsmMoveDevice(Context(), nullptr, paths_[0], paths_[3], 0), STATUS_SUCCESS);
    PVOID next = nullptr;
    EXPECT_EQ(DsmInvalidatePath(Context(), 0, paths_[1], &next), STATUS_SUCCESS);
    EXPECT_EQ(State(1), PDO_HEALTH_HEALTHY);   // a healthy path must fail first
    EXPECT_EQ(next, current);
    EXPECT_EQ(Current(), current);

    SetStates({PDO_HEALTH_FAILING, PDO_HEALTH_HEALTHY, PDO_HEALTH_HEALTHY, PDO_HEALTH_HEALTHY}, paths_[0]);
    EXPECT_EQ(DsmInvalidatePath(Context(), 0, paths_[0], &next), STATUS_SUCCESS);
    EXPECT_EQ(State(0), PDO_HEALTH_FAILED);
    EXPECT_NE(next, paths_[0]);
    EXPECT_EQ(next, Current());

    // The last path: it stays current, as the last failed candidate.
    SetStates({PDO_HEALTH_FAILING, PDO_HEALTH_PENDING_REMOVE, PDO_HEALTH_PENDING_REMOVE, PDO_HEALTH_PENDING_REMOVE},
              paths_[0]);
    EXPECT_EQ(DsmInvalidatePath(Context(), 0, paths_[0], &next), STATUS_SUCCESS);
    EXPECT_EQ(next, paths_[0]);

    // Nothing left that can carry a request.
    SetStates({PDO_HEALTH_PENDING_REMOVE}, nullptr);
    next = paths_[1];
    EXPECT_EQ(DsmInvalidatePath(Context(), 0, paths_[0], &next), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(next, nullptr);
}

// Verification moves a path by whether it answers TEST UNIT READY; the
// array's faults on one path's link decide the answer.
TEST_F(HealthTest, VerificationMovesAPathByItsAnswer)
{
    struct Row {
        ULONG From;
        bool LinkDown;
        NTSTATUS Result;
        ULONG To;
    };
    const Row rows[] = {
        {PDO_HEALTH_INIT_SETDEVICEINFO, false, STATUS_SUCCESS, PDO_HEALTH_INIT_PATHVERIFY_SUCCESS},
        {PDO_HEALTH_INIT_SETDEVICEINFO, true, STATUS_UNSUCCESSFUL, PDO_HEALTH_INIT_PATHVERIFY_FAIL},
        {PDO_HEALTH_HEALTHY, false, STATUS_SUCCESS, PDO_HEALTH_HEALTHY},
        {PDO_HEALTH_HEALTHY, true, STATUS_UNSUCCESSFUL, PDO_HEALTH_FAILING},
        {PDO_HEALTH_FAILING, false, STATUS_SUCCESS, PDO_HEALTH_HEALTHY},
        {PDO_HEALTH_FAILING, true, STATUS_UNSUCCESSFUL, PDO_HEALTH_FAILING},
        {PDO_HEALTH_FAILED, false, STATUS_SUCCESS, PDO_HEALTH_HEALTHY},
        {PDO_HEALTH_FAILED, true, STATUS_UNSUCCESSFUL, PDO_HEALTH_FAILED},
        {PDO_HEALTH_PENDING_REMOVE, false, STATUS_SUCCESS, PDO_HEALTH_PENDING_REMOVE},
    };
    const mpio::Device &device = *std::find_if(host_->Devices().begin(), host_->Devices().end(),
                                               [&](const mpio::Device &d) { return d.DsmId == paths_[2]; });
    array::Scope link = array::Scope::OnPath(device.Nexus.Initiator, device.Nexus.TargetPort);
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << Name(row.From) << (row.LinkDown ? ", link down" : ""));
        SetStates({PDO_HEALTH_HEALTHY, PDO_HEALTH_HEALTHY, row.From}, paths_[0]);
        if (row.LinkDown) {
            array_->SetFault(link, array::Fault::LinkDown);
        }
        EXPECT_EQ(DsmPathVerify(Context(), paths_[2], nullptr), row.Result);
        EXPECT_EQ(State(2), row.To);
        array_->ClearFaults();
    }
}

// The failback pass runs once a second from the timer (first run one
// second after start) and returns a drive to its preferred path only
// once that path's record is 1.5 s old.
TEST_F(HealthTest, FailbackReturnsToThePreferredPathOnceItHasSettled)
{
    ASSERT_EQ(drive_->LogicalDriveLbPolicy, (ULONG)TARN_LB_POLICY_FAILBACK);
    PPDO_ENTRY preferred = nullptr;
    Locked([&] { preferred = FindPreferredPdoEntry(drive_); });
    ASSERT_EQ(preferred, paths_[0]);
    SetStates({PDO_HEALTH_HEALTHY}, paths_[3]);
    host::ClearEventLog();

    host::ClockAdvance(1500);   // passes at 1.0 s (too young); none at 1.5 s
    EXPECT_EQ(Current(), paths_[3]);
    EXPECT_EQ(CountEvents(TARN_MSG_FAILBACK), 0);
    host::ClockAdvance(500);    // the pass at 2.0 s
    EXPECT_EQ(Current(), paths_[0]);
    ASSERT_EQ(CountEvents(TARN_MSG_FAILBACK), 1);
    auto strings = host::EventStrings(host::EventLog().back());
    ASSERT_EQ(strings.size(), 2u);
    EXPECT_EQ(strings[1], std::u16string(paths_[0]->PathIdString, paths_[0]->PathIdString + paths_[0]->PathIdStringLen));

    // Not while the preferred path is unhealthy, not under another policy.
    struct Row {
        ULONG Policy, PreferredState;
    };
    for (Row row : {Row{TARN_LB_POLICY_FAILBACK, PDO_HEALTH_FAILED}, Row{TARN_LB_POLICY_FAILOVER, PDO_HEALTH_HEALTHY},
                    Row{TARN_LB_POLICY_ROUND_ROBIN, PDO_HEALTH_HEALTHY}}) {
        Locked([&] { drive_->LogicalDriveLbPolicy = row.Policy; });
        SetStates({row.PreferredState}, paths_[3]);
        host::ClockAdvance(2000);
        EXPECT_EQ(Current(), paths_[3]);
    }
    EXPECT_EQ(CountEvents(TARN_MSG_FAILBACK), 1);
}

} // namespace
} // namespace tarntest
