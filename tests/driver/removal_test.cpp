// Paths and drives removed while the driver runs: the removal entry
// points and their events, and the races where a path is removed while
// a command the driver sent on it is still outstanding (the storage
// holds the command until the test lets it go).  Under the sanitizers a
// freed record used after the command returns fails the test.
#include "driverfixture.h"
#include "heldtarget.h"

#include <future>
#include <thread>

namespace tarntest {
namespace {

// A cluster RESERVE(6) as MPIO hands it to the device-control entry point.
struct ReserveRequest {
    explicit ReserveRequest(PPDO_ENTRY path) : Ids{1, {path}}
    {
        Irp.Tail.Overlay.CurrentStackLocation = &Stack;
        Stack.MajorFunction = IRP_MJ_SCSI;
        Srb.Cdb[0] = SCSIOP_RESERVE_UNIT;
        KeInitializeEvent(&Event, NotificationEvent, FALSE);
    }
    NTSTATUS Send(PDSM_CONTEXT context) { return DsmSrbDeviceControl(context, &Ids, &Irp, &Srb, &Event); }

    IRP Irp{};
    IO_STACK_LOCATION Stack{};
    SCSI_REQUEST_BLOCK Srb{};
    KEVENT Event{};
    DSM_IDS Ids;
};

class RemovalTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        FullConfiguration();
        AttachArray(luns_);
        topology_.Luns = {0};   // the array's other units wait for a test to claim them
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        held_ = std::make_unique<HeldTarget>(array_.get());
        host_->Discover(held_.get(), topology_);
        drive_ = FirstDrive();
        ASSERT_NE(drive_, nullptr);
        paths_ = LivePathsOf(drive_);
        ASSERT_EQ(paths_.size(), 4u);
        serial_ = drive_->SerialNumber;
        host::ClearEventLog();
    }

    void TearDown() override
    {
        held_->Release();
        DriverTest::TearDown();
    }

    // MPIO's removal of one device: the notice, then the removal.
    void Remove(PPDO_ENTRY path)
    {
        EXPECT_EQ(DsmRemovePending(Context(), path), STATUS_SUCCESS);
        EXPECT_EQ(DsmRemoveDevice(Context(), path, path), STATUS_SUCCESS);
    }

    PLD_ENTRY Drive()
    {
        PLD_ENTRY drive = nullptr;
        Locked([&] { drive = FindLdEntry(Context(), serial_.c_str()); });
        return drive;
    }

    // Runs a driver call on a thread of its own, as MPIO's threads do,
    // holding the next command with this operation code; returns once
    // the command is held.
    template <typename Call>
    auto WhileHeld(uint8_t opcode, Call call) -> std::future<decltype(call())>
    {
        held_->HoldNext(opcode);
        auto result = std::async(std::launch::async, call);
        EXPECT_TRUE(held_->WaitUntilHeld());
        return result;
    }

    std::vector<uint64_t> luns_ = {0};
    std::unique_ptr<HeldTarget> held_;
    PLD_ENTRY drive_ = nullptr;
    std::vector<PPDO_ENTRY> paths_;
    std::string serial_;
};

// MPIO's removal under I/O: the notice comes while writes are held at
// the storage; they complete after it (their completion, judgement and
// failover reaching the driver after the notice), and the path is
// removed only once the last of them has completed.
TEST_F(RemovalTest, WritesHeldAcrossTheRemovalNoticeCompleteBeforeThePathGoes)
{
    constexpr int kWrites = 6;
    std::vector<std::vector<uint8_t>> blocks(kWrites, std::vector<uint8_t>(512));
    held_->HoldNext(SCSIOP_WRITE);
    std::vector<std::shared_ptr<mpio::PendingIo>> writes;
    for (int i = 0; i < kWrites; i++) {
        std::fill(blocks[i].begin(), blocks[i].end(), (uint8_t)(0x30 + i));
        writes.push_back(host_->SubmitWrite(0, 60 + i, 1, blocks[i].data()));
    }
    ASSERT_TRUE(held_->WaitUntilHeld());
    auto removal = std::async(std::launch::async, [&] { return host_->RemoveDevice(0); });

    // The notice arrives while the held write is still out.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    ULONG health = 0;
    while (std::chrono::steady_clock::now() < until) {
        Locked([&] { health = paths_[0]->HealthState; });
        if (health == PDO_HEALTH_PENDING_REMOVE) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(health, (ULONG)PDO_HEALTH_PENDING_REMOVE);
    EXPECT_EQ(host_->StateOf(0), mpio::PathState::Removing);
    EXPECT_EQ(removal.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
        << "removed with a request still out";
    EXPECT_EQ(CountEvents(TARN_MSG_PATH_REMOVED), 0);

    held_->Release();
    EXPECT_TRUE(removal.get());
    for (auto &io : writes) {
        EXPECT_EQ(io->Wait().Status, STATUS_SUCCESS);
    }
    EXPECT_EQ(host_->StateOf(0), mpio::PathState::Removed);
    // Writes still queued when the notice came failed over, as gone.
    EXPECT_EQ(CountEvents(TARN_MSG_PATH_REMOVED), 1);
    EXPECT_EQ(host_->RoutingFaults(), 0u);
    for (int i = 0; i < kWrites; i++) {
        uint8_t read[512];
        ASSERT_EQ(host_->Read(0, 60 + i, 1, read).Status, STATUS_SUCCESS);
        EXPECT_EQ(read[7], (uint8_t)(0x30 + i));
    }
}

TEST_F(RemovalTest, PathsGoOneByOneAndTheDriveWithTheLast)
{
    for (size_t i = 0; i < 3; i++) {
        Remove(paths_[i]);
        ASSERT_EQ(Drive(), drive_);
        EXPECT_EQ(drive_->NumberPaths, 3 - i);
        EXPECT_EQ(EventIds(), std::vector<NTSTATUS>(i + 1, TARN_MSG_PATH_REMOVED));
    }
    EXPECT_EQ(drive_->currentPath, paths_[3]);

    Remove(paths_[3]);
    EXPECT_EQ(Drive(), nullptr);
    EXPECT_EQ(EventIds().back(), TARN_MSG_LOGICAL_DRIVE_REMOVED);
    EXPECT_EQ(CountEvents(TARN_MSG_PATH_REMOVED), 4);
    auto strings = host::EventStrings(host::EventLog().back());
    ASSERT_EQ(strings.size(), 1u);
    EXPECT_EQ(std::string(strings[0].begin(), strings[0].end()), serial_);

    // A second removal of the same device, and the path object's removal
    // after its device's, find nothing to do.
    EXPECT_EQ(DsmRemoveDevice(Context(), paths_[3], nullptr), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(DsmRemovePending(Context(), paths_[3]), STATUS_NO_SUCH_DEVICE);
    ASSERT_TRUE(host::TraceEnable(TRDSM_ERROR_LEVEL, 4));
    EXPECT_EQ(DsmRemovePath(Context(), paths_[3]), STATUS_SUCCESS);
    EXPECT_TRUE(host::TraceRecords().empty());

    // The drive seen again is a new drive.
    host::ClearEventLog();
    host_->Discover(held_.get(), topology_);
    EXPECT_EQ(CountEvents(TARN_MSG_NEW_LOGICAL_DRIVE), 1);
}

// MPIO may remove a device without the notice, even its drive's current
// path: the drive must not keep routing to the freed record.
TEST_F(RemovalTest, ACurrentPathRemovedWithoutNoticeIsReplacedFirst)
{
    Locked([&] { drive_->currentPath = paths_[1]; });
    EXPECT_EQ(DsmRemoveDevice(Context(), paths_[1], nullptr), STATUS_SUCCESS);
    ASSERT_NE(drive_->currentPath, nullptr);
    EXPECT_NE(drive_->currentPath, paths_[1]);

    DSM_IDS ids{1, {paths_[0]}};
    NTSTATUS status;
    PVOID chosen = DsmLBGetPath(Context(), nullptr, &ids, nullptr, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(chosen, drive_->currentPath);
}

// A drive left with failed paths only uses one of them; when that one
// gets the removal notice the drive moves to another, and with none left
// names no path, never the one MPIO is removing.
TEST_F(RemovalTest, AFailedCurrentPathGivesWayAtTheRemovalNotice)
{
    Locked([&] {
        for (PPDO_ENTRY path : paths_) {
            SetPathHealth(path, PDO_HEALTH_HEALTHY, PDO_HEALTH_FAILING);
            SetPathHealth(path, PDO_HEALTH_FAILING, PDO_HEALTH_FAILED);
        }
    });
    for (size_t left = paths_.size(); left > 0; left--) {
        PPDO_ENTRY current = drive_->currentPath;
        ASSERT_NE(current, nullptr) << left << " paths left";
        EXPECT_EQ(current->HealthState, (ULONG)PDO_HEALTH_FAILED);
        EXPECT_EQ(DsmRemovePending(Context(), current), STATUS_SUCCESS);
        EXPECT_NE(drive_->currentPath, current) << left << " paths left";

        DSM_IDS ids{1, {current}};
        NTSTATUS status;
        PVOID chosen = DsmLBGetPath(Context(), nullptr, &ids, nullptr, &status);
        EXPECT_NE(chosen, current);
        EXPECT_EQ(status, left > 1 ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED);
    }
}

TEST_F(RemovalTest, AVerificationOutlivedByItsPathChangesNothing)
{
    Locked([&] { paths_[2]->HealthState = PDO_HEALTH_FAILED; });
    auto verify = WhileHeld(SCSIOP_TEST_UNIT_READY, [&] { return DsmPathVerify(Context(), paths_[2], nullptr); });
    Remove(paths_[2]);
    held_->Release();
    EXPECT_EQ(verify.get(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(drive_->NumberPaths, 3u);
}

TEST_F(RemovalTest, ABindingOutlivedByItsPathStoresAndLogsNothing)
{
    PDEVICE_OBJECT target = paths_[1]->TargetObject;
    Locked([&] { paths_[1]->HealthState = PDO_HEALTH_INIT_START; });
    PVOID pathId = nullptr;
    auto bind = WhileHeld(SCSIOP_READ_DATA_BUFF, [&] { return DsmSetDeviceInfo(Context(), target, paths_[1], &pathId); });
    EXPECT_EQ(pathId, paths_[1]);
    Remove(paths_[1]);
    host::ClearEventLog();
    held_->Release();
    EXPECT_EQ(bind.get(), STATUS_SUCCESS);
    EXPECT_EQ(CountEvents(TARN_MSG_CONTROLLER_TIME), 0);
    EXPECT_EQ(host::ObjectReferences(target), 0);
}

// The once-a-minute location query: queued for a path whose place is
// unknown, it runs on a worker thread while the path goes away.
TEST_F(RemovalTest, ALocationQueryOutlivedByItsPathStoresNothing)
{
    Locked([&] {
        for (PPDO_ENTRY path : paths_) {
            path->ControllerNumber = 0;
            path->ControllerPort = 0;
        }
        paths_[3]->ControllerNumber = TARN_CONTROLLER_UNKNOWN;
    });
    host::ClockAdvance(1000);   // the first timer run queues the query
    ASSERT_EQ(host::PendingWorkItems(), 1u);
    auto worker = WhileHeld(SCSIOP_READ_DATA_BUFF, [] { return host::DrainWorkItems(); });
    Remove(paths_[3]);
    held_->Release();
    EXPECT_EQ(worker.get(), 1u);
    EXPECT_EQ(host::PoolOutstanding(host::Tag("IoWI")), 0u);

    // A path removed before its queued query runs: nothing is sent.
    Locked([&] { paths_[2]->ControllerPort = TARN_CONTROLLER_UNKNOWN; });
    host::ClockAdvance(60000);
    ASSERT_EQ(host::PendingWorkItems(), 1u);
    Remove(paths_[2]);
    uint64_t sent = array_->Statistics().WithOpcode(SCSIOP_READ_DATA_BUFF);
    EXPECT_EQ(host::DrainWorkItems(), 1u);
    EXPECT_EQ(array_->Statistics().WithOpcode(SCSIOP_READ_DATA_BUFF), sent);
}

// A cluster RESERVE walks a snapshot of the drive's paths; the drive
// loses every path, and so is freed, while the walk's command is out.
TEST_F(RemovalTest, AReservationWalkOutlivedByTheWholeDriveEnds)
{
    ReserveRequest request(paths_[0]);
    auto reserve = WhileHeld(SCSIOP_PERSISTENT_RESERVE_OUT, [&] { return request.Send(Context()); });
    for (PPDO_ENTRY path : paths_) {
        Remove(path);
    }
    ASSERT_EQ(Drive(), nullptr);
    held_->Release();
    reserve.get();
    EXPECT_EQ(KeReadStateEvent(&request.Event), 1);
    for (const mpio::Device &device : host_->Devices()) {
        EXPECT_EQ(host::ObjectReferences(device.TargetObject), 0);
    }
}

// The pool hands a freed record's address to the next record of its
// size: a drive removed under a reservation request may leave its
// address to the drive claimed next.  No step of the request may then
// reach that other logical unit.
class ReusedAddressTest : public RemovalTest {
protected:
    ReusedAddressTest() { luns_ = {0, 1}; }
};

TEST_F(ReusedAddressTest, AReservationOutlivedByItsDriveSendsNothingToTheDriveNowAtItsAddress)
{
    host::PoolReuseFreedBlocks(true);
    uint32_t generation = array_->PrGeneration(1);
    ReserveRequest request(paths_[0]);
    // The RESERVE first reads the drive's reservation; it is held there.
    auto reserve = WhileHeld(SCSIOP_PERSISTENT_RESERVE_IN, [&] { return request.Send(Context()); });
    for (PPDO_ENTRY path : paths_) {
        Remove(path);
    }
    ASSERT_EQ(Drive(), nullptr);
    topology_.Luns = {1};
    host_->Discover(held_.get(), topology_);
    ASSERT_EQ(FirstDrive(), drive_) << "the next drive's record is not at the freed address";
    EXPECT_NE(std::string(FirstDrive()->SerialNumber), serial_);

    held_->Release();
    EXPECT_EQ(reserve.get(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(request.Irp.IoStatus.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(request.Srb.SrbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(KeReadStateEvent(&request.Event), 1);
    EXPECT_TRUE(array_->Registrations(1).empty());
    EXPECT_FALSE(array_->ReservationOf(1).has_value());
    EXPECT_EQ(array_->PrGeneration(1), generation);
}

// A RESERVE that finds the drive held by another node reads one block
// through the drive's first path to show what the conflict looks like;
// that path goes away while the read is out.
TEST_F(RemovalTest, AConflictsProbeReadOutlivedByItsPathEnds)
{
    const uint8_t otherKey[8] = {0xB0, 0, 0, 0, 0, 0, 0, 2};
    // The other node registers (ignoring any key) and reserves, registrants only.
    ASSERT_EQ(OtherNodeReserveOut(6, 0, nullptr, otherKey).Status, SCSISTAT_GOOD);
    ASSERT_EQ(OtherNodeReserveOut(1, 6, otherKey, nullptr).Status, SCSISTAT_GOOD);
    ReserveRequest request(paths_[1]);
    PDEVICE_OBJECT target = paths_[0]->TargetObject;
    auto reserve = WhileHeld(SCSIOP_READ16, [&] { return request.Send(Context()); });
    Remove(paths_[0]);
    held_->Release();
    EXPECT_EQ(reserve.get(), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(request.Srb.ScsiStatus, SCSISTAT_RESERVATION_CONFLICT);
    EXPECT_EQ(host::ObjectReferences(target), 0);
}

// A path that came back healthy on a reserved drive gets the node's
// registration from a work item; the path is removed while the work
// item's READ RESERVATION is out.
TEST_F(RemovalTest, ARegistrationCarriedOntoARemovedPathEnds)
{
    Locked([&] {
        drive_->ReservationsInUse = TRUE;
        paths_[1]->HealthState = PDO_HEALTH_FAILED;
        SetPathHealth(paths_[1], PDO_HEALTH_FAILED, PDO_HEALTH_HEALTHY);
    });
    ASSERT_EQ(host::PendingWorkItems(), 1u);
    PDEVICE_OBJECT target = paths_[1]->TargetObject;
    auto worker = WhileHeld(SCSIOP_PERSISTENT_RESERVE_IN, [] { return host::DrainWorkItems(); });
    Remove(paths_[1]);
    held_->Release();
    EXPECT_EQ(worker.get(), 1u);
    EXPECT_EQ(host::ObjectReferences(target), 0);
}

} // namespace
} // namespace tarntest
