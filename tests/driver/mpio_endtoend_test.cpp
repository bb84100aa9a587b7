/*++

Module Name:

    mpio_endtoend_test.cpp

Abstract:

    Path health end to end: MPIO and the driver together against the
    array, with faults where a cable or a port would fail.  A request
    meets a dead path and completes on another with its data; a path
    that returns comes back through the driver's verification; requests
    wait while every path is down and fail, with the drive removed, past
    the removal period; a path the storage takes away leaves the drive.
    A link that stays down past the port's link-down time takes its
    devices away, and when it returns they arrive as new devices.

--*/

#include "driverfixture.h"

#include <chrono>
#include <numeric>

namespace tarntest {
namespace {

class MpioEndToEndTest : public OneDriveTest {
protected:
    void Configure() override { MinimalConfiguration(); }

    void SetUp() override
    {
        OneDriveTest::SetUp();
        ASSERT_EQ(drive_->currentPath, paths_[0]);
    }

    // The driver never named a path it may not name.
    void TearDown() override
    {
        EXPECT_EQ(host_->RoutingFaults(), 0u);
        OneDriveTest::TearDown();
    }

    void Pass(uint64_t milliseconds)
    {
        host::ClockAdvance(milliseconds);
        host::DrainWorkItems();
        host_->WaitIdle();
        host::DrainWorkItems();
    }

    // The topology's target ports in device order: 0, 2, 1, 3.
    void SetLinks(std::initializer_list<uint32_t> ports, bool down)
    {
        for (uint32_t port : ports) {
            if (down) {
                array_->SetFault(array::Scope::OnTargetPort(port), array::Fault::LinkDown);
            } else {
                array_->ClearFault(array::Scope::OnTargetPort(port), array::Fault::LinkDown);
            }
        }
    }

    ULONG HealthOf(PPDO_ENTRY path)
    {
        ULONG state = 0;
        Locked([&] { state = path->HealthState; });
        return state;
    }

    // The path the driver uses for the drive now.
    PPDO_ENTRY Current()
    {
        PPDO_ENTRY path = nullptr;
        Locked([&] { path = drive_->currentPath; });
        return path;
    }

    // The devices MPIO has now (removed ones included).
    size_t DeviceCount() const { return host_->Devices().size(); }

    const mpio::HostOptions &options_ = hostOptions_;
};

// The same with MPIO's periodic path verification on.
class MpioVerifyingTest : public MpioEndToEndTest {
protected:
    void Configure() override
    {
        MinimalConfiguration();
        hostOptions_.PathVerifyEnabled = true;
    }
};

// A unit of 4096-byte blocks: MPIO's reads and writes move whole blocks
// of the length its READ CAPACITY reported.
class MpioLargeBlockTest : public MpioEndToEndTest {
protected:
    void Configure() override
    {
        MinimalConfiguration();
        blockSize_ = 4096;
    }
};

TEST_F(MpioLargeBlockTest, RequestsMoveTheUnitsOwnBlocks)
{
    EXPECT_EQ(host_->BlockLength(0), 4096u);
    std::vector<uint8_t> written(2 * 4096);
    std::iota(written.begin(), written.end(), 3);
    mpio::IoResult write = host_->Write(0, 7, 2, written.data());
    ASSERT_EQ(write.Status, STATUS_SUCCESS);
    EXPECT_EQ(write.Transferred, written.size());
    std::vector<uint8_t> read(written.size());
    mpio::IoResult result = host_->Read(0, 7, 2, read.data());
    ASSERT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Transferred, read.size());
    EXPECT_EQ(read, written);
}

TEST_F(MpioVerifyingTest, ADeadPathFailsOverWithTheDataAndComesBackVerified)
{
    std::vector<uint8_t> written(2 * 512);
    std::iota(written.begin(), written.end(), 11);
    SetLinks({0}, true);
    mpio::IoResult write = host_->Write(0, 20, 2, written.data());
    ASSERT_EQ(write.Status, STATUS_SUCCESS);
    EXPECT_NE(write.Path, paths_[0]);
    EXPECT_EQ(HealthOf(paths_[0]), (ULONG)PDO_HEALTH_FAILED);
    EXPECT_NE(Current(), paths_[0]);
    EXPECT_EQ(CountEvents(TARN_MSG_FAILOVER), 1);
    std::vector<uint8_t> read(written.size());
    ASSERT_EQ(host_->Read(0, 20, 2, read.data()).Status, STATUS_SUCCESS);
    EXPECT_EQ(read, written);

    // MPIO's next verification asks the driver, which finds it healthy.
    SetLinks({0}, false);
    Pass(options_.PathVerificationPeriodMs);
    EXPECT_EQ(HealthOf(paths_[0]), (ULONG)PDO_HEALTH_HEALTHY);
    EXPECT_EQ(host_->StateOf(0), mpio::PathState::Live);
}

TEST_F(MpioVerifyingTest, ThePathInUseIsVerifiedToo)
{
    // No request meets the pulled cable: only verification can find it.
    SetLinks({0}, true);
    Pass(options_.PathVerificationPeriodMs);
    EXPECT_EQ(host_->StateOf(0), mpio::PathState::Failed);
    EXPECT_EQ(HealthOf(paths_[0]), (ULONG)PDO_HEALTH_FAILED);
    EXPECT_NE(Current(), paths_[0]);
    uint8_t block[512];
    EXPECT_EQ(host_->Read(0, 0, 1, block).Status, STATUS_SUCCESS);
}

// A hung link fails over one disk class timeout after the request met it,
// the request's data intact.
TEST_F(MpioEndToEndTest, AHungPathFailsOverOneTimeoutAfterTheHang)
{
    constexpr ULONG kDefaultTimeOutValue = 10;  // the disk class's, as none is set
    array_->SetFault(array::Scope::OnTargetPort(0), array::Fault::NoAnswer);
    std::vector<uint8_t> written(512);
    std::iota(written.begin(), written.end(), 5);
    auto io = host_->SubmitWrite(0, 30, 1, written.data());
    host_->WaitIdle();
    Pass(kDefaultTimeOutValue * 1000 - 1);
    EXPECT_FALSE(io->Done());
    EXPECT_EQ(CountEvents(TARN_MSG_FAILOVER), 0);
    Pass(1);
    ASSERT_TRUE(io->Done());
    EXPECT_EQ(io->Wait().Status, STATUS_SUCCESS);
    EXPECT_NE(io->Wait().Path, paths_[0]);
    EXPECT_EQ(CountEvents(TARN_MSG_FAILOVER), 1);
    array_->ClearFault(array::Scope::OnTargetPort(0), array::Fault::NoAnswer);
    std::vector<uint8_t> read(512);
    ASSERT_EQ(host_->Read(0, 30, 1, read.data()).Status, STATUS_SUCCESS);
    EXPECT_EQ(read, written);
}

// What a port driver reports for each way a transport can fail a request,
// and what the driver's error rules make of it.
enum class PortVerdict {
    FailsOver,          // a path failure: the request completes on another path
    RetriedOnThePath,   // resent down the same path after MPIO's retry interval
    FailsOnThePath,     // no rule: the error goes back to the class driver
};

struct PortOutcome {
    const char *Name;
    UCHAR SrbStatus;
    NTSTATUS IoStatus;  // the IRP's status the class driver derives from it
    PortVerdict Verdict;
};

const PortOutcome kPortOutcomes[] = {
    {"lost_link", SRB_STATUS_SELECTION_TIMEOUT, STATUS_DEVICE_NOT_CONNECTED, PortVerdict::FailsOver},
    {"missing_device", SRB_STATUS_NO_DEVICE, STATUS_NO_SUCH_DEVICE, PortVerdict::FailsOver},
    {"timeout", SRB_STATUS_TIMEOUT, STATUS_IO_TIMEOUT, PortVerdict::FailsOver},
    {"command_timeout", SRB_STATUS_COMMAND_TIMEOUT, STATUS_IO_TIMEOUT, PortVerdict::FailsOver},
    {"bus_reset", SRB_STATUS_BUS_RESET, STATUS_IO_DEVICE_ERROR, PortVerdict::RetriedOnThePath},
    {"error_without_sense", SRB_STATUS_ERROR, STATUS_IO_DEVICE_ERROR, PortVerdict::FailsOnThePath},
    {"phase_sequence_failure", SRB_STATUS_PHASE_SEQUENCE_FAILURE, STATUS_IO_DEVICE_ERROR,
     PortVerdict::FailsOnThePath},
    {"unexpected_bus_free", SRB_STATUS_UNEXPECTED_BUS_FREE, STATUS_IO_DEVICE_ERROR, PortVerdict::FailsOnThePath},
    {"parity_error", SRB_STATUS_PARITY_ERROR, STATUS_IO_DEVICE_ERROR, PortVerdict::FailsOnThePath},
};

const PortOutcome &PortOutcomeNamed(const std::string &name)
{
    for (const PortOutcome &row : kPortOutcomes) {
        if (name == row.Name) {
            return row;
        }
    }
    ADD_FAILURE() << "no port outcome named " << name;
    return kPortOutcomes[0];
}

class MpioPortOutcomeTest : public MpioEndToEndTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(MpioPortOutcomeTest, FailsOverAsTheErrorRulesSay)
{
    const PortOutcome &row = PortOutcomeNamed(GetParam());
    std::vector<uint8_t> written(512);
    std::iota(written.begin(), written.end(), row.SrbStatus);
    // Device 0 is the current path, on the topology's first link.
    host_->FailAtPort(0, row.SrbStatus);
    auto io = host_->SubmitWrite(0, 40, 1, written.data());
    host_->WaitIdle();
    Pass(options_.RetryIntervalMs);
    ASSERT_TRUE(io->Done());
    const mpio::IoResult &result = io->Wait();
    switch (row.Verdict) {
    case PortVerdict::FailsOver:
        EXPECT_EQ(result.Status, STATUS_SUCCESS);
        EXPECT_NE(result.Path, paths_[0]);
        EXPECT_EQ(CountEvents(TARN_MSG_FAILOVER), 1);
        EXPECT_EQ(host_->StateOf(0), mpio::PathState::Failed);
        EXPECT_EQ(HealthOf(paths_[0]), (ULONG)PDO_HEALTH_FAILED);
        break;
    case PortVerdict::RetriedOnThePath:
        EXPECT_EQ(result.Status, STATUS_SUCCESS);
        EXPECT_EQ(result.Path, paths_[0]);
        EXPECT_EQ(CountEvents(TARN_MSG_FAILOVER), 0);
        EXPECT_EQ(host_->StateOf(0), mpio::PathState::Live);
        break;
    case PortVerdict::FailsOnThePath:
        EXPECT_EQ(result.Status, row.IoStatus);
        EXPECT_EQ(result.SrbStatus, row.SrbStatus);
        EXPECT_EQ(result.Path, paths_[0]);
        EXPECT_EQ(CountEvents(TARN_MSG_FAILOVER), 0);
        EXPECT_EQ(host_->StateOf(0), mpio::PathState::Live);
        EXPECT_EQ(Current(), paths_[0]);
        break;
    }
    if (row.Verdict != PortVerdict::FailsOnThePath) {
        std::vector<uint8_t> read(512);
        ASSERT_EQ(host_->Read(0, 40, 1, read.data()).Status, STATUS_SUCCESS);
        EXPECT_EQ(read, written);
    }
}

INSTANTIATE_TEST_SUITE_P(PortOutcomes, MpioPortOutcomeTest,
                         ::testing::Values("lost_link", "missing_device", "timeout", "command_timeout", "bus_reset",
                                           "error_without_sense", "phase_sequence_failure", "unexpected_bus_free",
                                           "parity_error"),
                         [](const ::testing::TestParamInfo<std::string> &info) { return info.param; });

TEST_F(MpioEndToEndTest, ALinkBackWithinTheLinkDownTimeLeavesItsPathFailedWithoutVerification)
{
    uint8_t block[512] = {};
    SetLinks({0}, true);
    ASSERT_EQ(host_->Write(0, 3, 1, block).Status, STATUS_SUCCESS);
    EXPECT_EQ(host_->StateOf(0), mpio::PathState::Failed);
    Pass(options_.LinkDownTimeMs - 2 * options_.LinkProbeIntervalMs);
    SetLinks({0}, false);
    Pass(options_.PathVerificationPeriodMs + options_.LinkDownTimeMs);
    // Nothing verifies it and nothing removed it: failed it stays, as an
    // administrator of the real platform would see it.
    EXPECT_EQ(host_->StateOf(0), mpio::PathState::Failed);
    EXPECT_EQ(HealthOf(paths_[0]), (ULONG)PDO_HEALTH_FAILED);
    EXPECT_EQ(DeviceCount(), 4u);
    EXPECT_EQ(CountEvents(TARN_MSG_PATH_REMOVED), 0);
    EXPECT_EQ(host_->Read(0, 3, 1, block).Status, STATUS_SUCCESS);
}

// The driver's own commands through the port take their TimeOutValue on
// a hung link, as the class driver's requests do: on the kernel's clock,
// which in real time is the wall clock.
TEST_F(MpioEndToEndTest, APassThroughOnAHungLinkTakesItsTimeOutValue)
{
    array_->SetFault(array::Scope::OnTargetPort(0), array::Fault::NoAnswer);
    struct {
        SCSI_PASS_THROUGH Header;
        uint8_t Sense[18];
    } request{};
    request.Header.Length = sizeof(SCSI_PASS_THROUGH);
    request.Header.CdbLength = 6;       // TEST UNIT READY
    request.Header.DataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
    request.Header.TimeOutValue = 1;
    request.Header.SenseInfoLength = sizeof(request.Sense);
    request.Header.SenseInfoOffset = sizeof(SCSI_PASS_THROUGH);
    IO_STATUS_BLOCK status{};
    host::SetRealTime(true);
    auto start = std::chrono::steady_clock::now();
    DsmSendDeviceIoControlSynchronous(IOCTL_SCSI_PASS_THROUGH, host_->Devices()[0].TargetObject, &request, &request,
                                      sizeof(request), sizeof(request), FALSE, &status);
    auto took = std::chrono::steady_clock::now() - start;
    host::SetRealTime(false);
    EXPECT_EQ(status.Status, STATUS_IO_TIMEOUT);
    EXPECT_GE(took, std::chrono::milliseconds(900));
}

// Under the failback policy, where a returning preferred path is used again.
class MpioFailbackTest : public MpioEndToEndTest {
protected:
    void Configure() override
    {
        MinimalConfiguration();
        host::RegistrySetDword(kParametersKey, "PathSelectionPolicy", TARN_LB_POLICY_FAILBACK);
    }
};

TEST_F(MpioFailbackTest, ALinkDownPastItsTimeTakesItsDevicesAndTheyArriveWhenItReturns)
{
    std::vector<uint8_t> written(2 * 512);
    std::iota(written.begin(), written.end(), 5);
    SetLinks({0}, true);
    ASSERT_EQ(host_->Write(0, 40, 2, written.data()).Status, STATUS_SUCCESS);
    EXPECT_EQ(host_->StateOf(0), mpio::PathState::Failed);
    EXPECT_EQ(CountEvents(TARN_MSG_FAILOVER), 1);

    // The port removes the path's device once the link has been down for
    // its link-down time; the driver drops the path and I/O goes on.
    Pass(options_.LinkDownTimeMs);
    EXPECT_EQ(host_->StateOf(0), mpio::PathState::Removed);
    EXPECT_EQ(CountEvents(TARN_MSG_PATH_REMOVED), 1);
    Locked([&] { EXPECT_EQ(drive_->NumberPaths, 3u); });
    std::vector<uint8_t> read(written.size());
    ASSERT_EQ(host_->Read(0, 40, 2, read.data()).Status, STATUS_SUCCESS);
    EXPECT_EQ(read, written);

    // The cable returns: the port enumerates the LUN again, MPIO offers
    // it as a new device, the driver adds it as a redundant path and,
    // since it is the preferred one, fails back to it.
    long redundant = CountEvents(TARN_MSG_REDUNDANT_PATH);
    SetLinks({0}, false);
    Pass(options_.LinkProbeIntervalMs);
    ASSERT_EQ(DeviceCount(), 5u);
    EXPECT_EQ(host_->Devices()[4].Link, host_->Devices()[0].Link);
    EXPECT_EQ(host_->Devices()[4].Group, 0);
    EXPECT_EQ(host_->StateOf(4), mpio::PathState::Live);
    EXPECT_EQ(CountEvents(TARN_MSG_REDUNDANT_PATH), redundant + 1);
    Locked([&] { EXPECT_EQ(drive_->NumberPaths, 4u); });
    Pass(5000);
    EXPECT_EQ(Current(), host_->Devices()[4].DsmId);
    EXPECT_EQ(CountEvents(TARN_MSG_FAILBACK), 1);
    mpio::IoResult again = host_->Read(0, 40, 2, read.data());
    ASSERT_EQ(again.Status, STATUS_SUCCESS);
    EXPECT_EQ(again.Path, host_->Devices()[4].PathId);
    EXPECT_EQ(read, written);
}

// A logical unit unmapped from one path leaves as a pulled cable's do,
// with nothing verifying paths: once a request meets LOGICAL UNIT NOT
// SUPPORTED the port rescans the link and reports the unit gone; mapped
// again, it arrives at a later rescan as a new device.
TEST_F(MpioFailbackTest, AUnitUnmappedFromAPathLeavesAndArrivesWhenMappedAgain)
{
    const array::Nexus nexus = host_->Devices()[0].Nexus;
    const array::Scope scope = array::Scope::OnPath(nexus.Initiator, nexus.TargetPort);
    array_->SetFault(scope, array::Fault::LunNotSupported);
    std::vector<uint8_t> written(512);
    std::iota(written.begin(), written.end(), 9);
    ASSERT_EQ(host_->Write(0, 12, 1, written.data()).Status, STATUS_SUCCESS);
    EXPECT_EQ(host_->StateOf(0), mpio::PathState::Failed);
    Pass(options_.LinkProbeIntervalMs);
    EXPECT_EQ(host_->StateOf(0), mpio::PathState::Removed);
    EXPECT_EQ(CountEvents(TARN_MSG_PATH_REMOVED), 1);
    Locked([&] { EXPECT_EQ(drive_->NumberPaths, 3u); });
    // Unmapped still: nothing arrives.
    Pass(3 * options_.LinkProbeIntervalMs);
    EXPECT_EQ(DeviceCount(), 4u);

    long redundant = CountEvents(TARN_MSG_REDUNDANT_PATH);
    array_->ClearFault(scope, array::Fault::LunNotSupported);
    Pass(options_.LinkProbeIntervalMs);
    ASSERT_EQ(DeviceCount(), 5u);
    EXPECT_EQ(host_->Devices()[4].Link, host_->Devices()[0].Link);
    EXPECT_EQ(host_->StateOf(4), mpio::PathState::Live);
    EXPECT_EQ(CountEvents(TARN_MSG_REDUNDANT_PATH), redundant + 1);
    Pass(5000);
    EXPECT_EQ(Current(), host_->Devices()[4].DsmId);
    std::vector<uint8_t> read(written.size());
    mpio::IoResult again = host_->Read(0, 12, 1, read.data());
    ASSERT_EQ(again.Status, STATUS_SUCCESS);
    EXPECT_EQ(again.Path, host_->Devices()[4].PathId);
    EXPECT_EQ(read, written);
}

TEST_F(MpioEndToEndTest, RequestsWaitWhileEveryPathIsDownAndACableThatReturnsCarriesThem)
{
    std::vector<uint8_t> written(512, 0xC3);
    SetLinks({0, 1, 2, 3}, true);
    auto io = host_->SubmitWrite(0, 7, 1, written.data());
    host_->WaitIdle();

    // Every device goes with its link; the drive leaves the driver, but
    // MPIO's disk waits out its removal period with the request.
    Pass(options_.LinkDownTimeMs);
    EXPECT_EQ(CountEvents(TARN_MSG_PATH_REMOVED), 4);
    EXPECT_EQ(FirstDrive(), nullptr);
    EXPECT_FALSE(io->Done());

    SetLinks({1}, false);
    Pass(options_.LinkProbeIntervalMs);
    ASSERT_TRUE(io->Done());
    EXPECT_EQ(io->Wait().Status, STATUS_SUCCESS);
    ASSERT_EQ(DeviceCount(), 5u);
    EXPECT_EQ(io->Wait().Path, host_->Devices()[4].PathId);
    EXPECT_EQ(host_->Disks().size(), 1u);
    EXPECT_EQ(CountEvents(TARN_MSG_NEW_LOGICAL_DRIVE), 2);
    std::vector<uint8_t> read(512);
    ASSERT_EQ(host_->Read(0, 7, 1, read.data()).Status, STATUS_SUCCESS);
    EXPECT_EQ(read, written);
    Pass(options_.RemovalPeriodMs);
    EXPECT_NE(FirstDrive(), nullptr);
}

TEST_F(MpioEndToEndTest, PastTheRemovalPeriodRequestsFailAndTheDriveIsRemoved)
{
    SetLinks({0, 1, 2, 3}, true);
    uint8_t block[512];
    auto io = host_->SubmitRead(0, 0, 1, block);
    host_->WaitIdle();
    Pass(options_.RemovalPeriodMs);
    ASSERT_TRUE(io->Done());
    EXPECT_EQ(io->Wait().Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(FirstDrive(), nullptr);
    EXPECT_EQ(CountEvents(TARN_MSG_PATH_REMOVED), 4);
    EXPECT_EQ(CountEvents(TARN_MSG_LOGICAL_DRIVE_REMOVED), 1);
    EXPECT_EQ(host_->Read(0, 0, 1, block).Status, STATUS_NO_SUCH_DEVICE);

    // The logical unit returns as a new disk, claimed anew.
    SetLinks({0, 1, 2, 3}, false);
    Pass(options_.LinkProbeIntervalMs);
    ASSERT_EQ(host_->Disks().size(), 2u);
    EXPECT_EQ(host_->Disks()[1].Devices.size(), 4u);
    EXPECT_EQ(CountEvents(TARN_MSG_NEW_LOGICAL_DRIVE), 2);
    ASSERT_NE(FirstDrive(), nullptr);
    EXPECT_EQ(host_->Read(1, 0, 1, block).Status, STATUS_SUCCESS);
    EXPECT_EQ(host_->Read(0, 0, 1, block).Status, STATUS_NO_SUCH_DEVICE);
}

TEST_F(MpioEndToEndTest, ARemovedPathTakesItsRequestsElsewhereAndLeavesTheDrive)
{
    std::vector<std::vector<uint8_t>> blocks(16, std::vector<uint8_t>(512));
    std::vector<std::shared_ptr<mpio::PendingIo>> pending;
    for (size_t i = 0; i < blocks.size(); i++) {
        std::fill(blocks[i].begin(), blocks[i].end(), (uint8_t)(i + 1));
        pending.push_back(host_->SubmitWrite(0, 100 + i, 1, blocks[i].data()));
    }
    ASSERT_TRUE(host_->RemoveDevice(0));
    for (auto &io : pending) {
        EXPECT_EQ(io->Wait().Status, STATUS_SUCCESS);
    }
    ASSERT_EQ(FirstDrive(), drive_);
    Locked([&] { EXPECT_EQ(drive_->NumberPaths, 3u); });
    for (size_t i = 0; i < blocks.size(); i++) {
        uint8_t read[512];
        ASSERT_EQ(host_->Read(0, 100 + i, 1, read).Status, STATUS_SUCCESS);
        EXPECT_EQ(read[0], (uint8_t)(i + 1));
    }
}

} // namespace
} // namespace tarntest
