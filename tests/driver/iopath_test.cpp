/*++

Module Name:

    iopath_test.cpp

Abstract:

    Requests through MPIO's I/O path with the driver choosing the path:
    data written down one path reads back down another, the completion
    hook counts every request out again, and the cluster's requests go to
    the driver's device-control entry point and arbitrate the drive with
    another node on the array.

--*/

#include "driverfixture.h"

#include <numeric>

namespace tarntest {
namespace {

const uint8_t kOtherKey[8] = {0xB0, 0, 0, 0, 0, 0, 0, 2};

class IoPathTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        FullConfiguration();
        AttachArray({0});
        ASSERT_EQ(StartAndDiscover(), STATUS_SUCCESS);
        drive_ = FirstDrive();
        paths_ = BindAndHealPaths(drive_);
        ASSERT_EQ(host_->Disks().size(), 1u);
    }

    PLD_ENTRY drive_ = nullptr;
    std::vector<PPDO_ENTRY> paths_;
};

TEST_F(IoPathTest, DataWrittenDownOnePathReadsBackDownAnother)
{
    std::vector<uint8_t> written(4 * 512);
    std::iota(written.begin(), written.end(), 7);
    TARN_REQUEST_COUNTERS before = DsmRequestCounters;

    mpio::IoResult write = host_->Write(0, 100, 4, written.data());
    ASSERT_EQ(write.Status, STATUS_SUCCESS);
    EXPECT_EQ(write.Category, (ULONG)DSM_CATEGORY_PATH_CHOSEN);
    EXPECT_EQ(write.Path, paths_[0]);
    EXPECT_EQ(write.SrbStatus, SRB_STATUS_SUCCESS);

    // The current path fails over: the next read goes elsewhere.
    {
        DsmLockHeld held(Context());
        paths_[0]->HealthState = PDO_HEALTH_FAILING;
        SelectCurrentPath(drive_);
    }
    std::vector<uint8_t> read(4 * 512, 0);
    mpio::IoResult result = host_->Read(0, 100, 4, read.data());
    ASSERT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_NE(result.Path, paths_[0]);
    EXPECT_EQ(read, written);

    // Both requests were counted in and out again.
    EXPECT_EQ(DsmRequestCounters.GetPathCalls, before.GetPathCalls + 2);
    EXPECT_EQ(DsmRequestCounters.CompletionCalls, before.CompletionCalls + 2);
    EXPECT_EQ(DsmRequestCounters.OutstandingRequests, before.OutstandingRequests);

    // A check condition from the array comes back with its sense.
    mpio::IoResult outside = host_->Read(0, 1u << 30, 1, read.data());
    EXPECT_EQ(outside.Status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(outside.ScsiStatus, array::kStatusCheckCondition);
    EXPECT_EQ(outside.Sense[12], 0x21);     // LOGICAL BLOCK ADDRESS OUT OF RANGE
}

TEST_F(IoPathTest, ClusterRequestsArbitrateTheDriveWithAnotherNode)
{
    // RESERVE(6) through MPIO: carried out by the driver, the drive is ours.
    mpio::IoResult reserve = host_->Scsi(0, {0x16, 0, 0, 0, 0, 0}, nullptr, 0, false);
    EXPECT_EQ(reserve.Category, (ULONG)DSM_CATEGORY_CARRIED_OUT_BY_DSM);
    ASSERT_EQ(reserve.Status, STATUS_SUCCESS);
    EXPECT_EQ(reserve.SrbStatus, SRB_STATUS_SUCCESS);
    ASSERT_TRUE(array_->ReservationOf(0).has_value());

    // The other node is fenced out of the data; this node is not.
    uint8_t block[512] = {};
    uint8_t cdb[10] = {0x2A, 0, 0, 0, 0, 5, 0, 0, 1, 0};
    array::Command write;
    write.Cdb = cdb;
    write.CdbLength = sizeof(cdb);
    write.DataOut = block;
    write.DataOutLength = sizeof(block);
    EXPECT_EQ(array_->Execute(array::Nexus{kOtherInitiator, 1, 0}, write).Status, array::kStatusReservationConflict);
    EXPECT_EQ(host_->Write(0, 5, 1, block).Status, STATUS_SUCCESS);

    // The other node's RESERVE conflicts; after our RELEASE it gets the drive.
    ASSERT_EQ(OtherNodeReserveOut(6, 0, nullptr, kOtherKey).Status, array::kStatusGood);
    EXPECT_EQ(OtherNodeReserveOut(1, 6, kOtherKey, nullptr).Status, array::kStatusReservationConflict);
    mpio::IoResult release = host_->Scsi(0, {0x17, 0, 0, 0, 0, 0}, nullptr, 0, false);
    ASSERT_EQ(release.Status, STATUS_SUCCESS);
    // Our release and clear left unit attentions on the other node's nexus
    // (reservations released, then preempted): it hears each once.
    for (int i = 0; i < 2; i++) {
        array::Result attention = OtherNodeReserveOut(6, 0, nullptr, kOtherKey);
        ASSERT_EQ(attention.Status, array::kStatusCheckCondition);
        EXPECT_EQ(attention.Sense[2], 6);
        EXPECT_EQ(attention.Sense[12], 0x2A);
    }
    ASSERT_EQ(OtherNodeReserveOut(6, 0, nullptr, kOtherKey).Status, array::kStatusGood);
    ASSERT_EQ(OtherNodeReserveOut(1, 6, kOtherKey, nullptr).Status, array::kStatusGood);

    // Now our RESERVE is refused for the conflict, and our writes are fenced.
    mpio::IoResult refused = host_->Scsi(0, {0x16, 0, 0, 0, 0, 0}, nullptr, 0, false);
    EXPECT_EQ(refused.Status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(refused.ScsiStatus, array::kStatusReservationConflict);
    EXPECT_EQ(host_->Write(0, 5, 1, block).Status, STATUS_IO_DEVICE_ERROR);

    // A bus reset through MPIO breaks the other node's reservation.
    mpio::IoResult reset = host_->DeviceControl(0, IOCTL_STORAGE_RESET_BUS);
    EXPECT_EQ(reset.Category, (ULONG)DSM_CATEGORY_CARRIED_OUT_BY_DSM);
    EXPECT_EQ(reset.Status, STATUS_SUCCESS);
    EXPECT_FALSE(array_->ReservationOf(0).has_value());
}

TEST_F(IoPathTest, ADeviceControlDownAPathIsRefusedByThePortAndCountedOut)
{
    TARN_REQUEST_COUNTERS before = DsmRequestCounters;
    mpio::IoResult reset = host_->DeviceControl(0, IOCTL_STORAGE_RESET_DEVICE);
    EXPECT_EQ(reset.Category, (ULONG)DSM_CATEGORY_PATH_CHOSEN);
    EXPECT_EQ(reset.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(DsmRequestCounters.CompletionCalls, before.CompletionCalls + 1);
    EXPECT_EQ(DsmRequestCounters.OutstandingRequests, before.OutstandingRequests);
}

TEST_F(IoPathTest, ADriveWithoutAUsablePathFailsItsRequests)
{
    {
        DsmLockHeld held(Context());
        for (PPDO_ENTRY path : paths_) {
            path->HealthState = PDO_HEALTH_PENDING_REMOVE;
        }
        drive_->currentPath = nullptr;
    }
    uint8_t block[512];
    mpio::IoResult read = host_->Read(0, 0, 1, block);
    EXPECT_EQ(read.Category, (ULONG)DSM_CATEGORY_NO_PATH);
    EXPECT_EQ(read.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read.SrbStatus, SRB_STATUS_NO_DEVICE);
}

} // namespace
} // namespace tarntest
