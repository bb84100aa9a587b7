/*++

Module Name:

    iopath_test.cpp

Abstract:

    Requests through MPIO's I/O path with the driver choosing the path:
    data written down one path reads back down another, the completion
    hook counts every request out again, and the cluster's requests go to
    the driver's device-control entry point.

--*/

#include "driverfixture.h"

#include <numeric>

namespace tarntest {
namespace {

class IoPathTest : public OneDriveTest {
protected:
    void SetUp() override
    {
        OneDriveTest::SetUp();
        ASSERT_EQ(host_->Disks().size(), 1u);
    }
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
    EXPECT_EQ(outside.Sense[12], SCSI_ADSENSE_ILLEGAL_BLOCK);
}

// A READ the storage answers with fewer bytes than the buffer holds says
// so: the rest of the buffer is no data.
TEST_F(IoPathTest, AShortReadReportsWhatWasTransferred)
{
    std::vector<uint8_t> block(4 * 512, 0xA5);
    mpio::IoResult full = host_->Read(0, 8, 4, block.data());
    ASSERT_EQ(full.Status, STATUS_SUCCESS);
    EXPECT_EQ(full.Transferred, 4u * 512);

    // READ(10) of one block into room for four.
    std::vector<uint8_t> cdb = {SCSIOP_READ, 0, 0, 0, 0, 8, 0, 0, 1, 0};
    mpio::IoResult partial = host_->Scsi(0, cdb, block.data(), (ULONG)block.size(), true);
    ASSERT_EQ(partial.Status, STATUS_SUCCESS);
    EXPECT_EQ(partial.Transferred, 512u);

    uint8_t written[512] = {};
    mpio::IoResult write = host_->Write(0, 8, 1, written);
    ASSERT_EQ(write.Status, STATUS_SUCCESS);
    EXPECT_EQ(write.Transferred, 512u);
    EXPECT_EQ(host_->Read(0, 1u << 30, 1, block.data()).Transferred, 0u);
}

// The cluster's requests reach the driver's device-control entry point
// through MPIO rather than going down a path.
TEST_F(IoPathTest, ClusterRequestsAreCarriedOutByTheDriver)
{
    mpio::IoResult reserve = host_->Scsi(0, {SCSIOP_RESERVE_UNIT, 0, 0, 0, 0, 0}, nullptr, 0, false);
    EXPECT_EQ(reserve.Category, (ULONG)DSM_CATEGORY_CARRIED_OUT_BY_DSM);
    ASSERT_EQ(reserve.Status, STATUS_SUCCESS);
    EXPECT_EQ(reserve.SrbStatus, SRB_STATUS_SUCCESS);
    ASSERT_TRUE(array_->ReservationOf(0).has_value());
    uint8_t block[512] = {};
    EXPECT_EQ(host_->Write(0, 5, 1, block).Status, STATUS_SUCCESS) << "the holder still writes";

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
