// The driver under MPIO against tgtd over iSCSI: two portals, one cable
// per path, a command timeout per session.  What tgtd answers is nobody's
// simulation of an array: every CDB, parameter list and sense rule of the
// driver meets a target written elsewhere.
#include "cable.h"
#include "driverfixture.h"
#include "iscsitarget.h"
#include "tgtdfixture.h"

#include <gmock/gmock.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace tarntest {
namespace {

constexpr uint64_t kBlocks = 2048;

class TgtdDriveTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_EQ(tgtd_.Start({{1, kBlocks, "KESTROM", "TARN 4000 ISCSI", "TARNLU0001"}}), "");

        iscsi::IscsiOptions options;
        options.TargetName = kTgtdTargetName;
        tgtd_.Admit(&options);
        options.CommandTimeoutMs = 1500;
        options.LoginTimeoutMs = 1500;
        storage_ = std::make_unique<iscsi::IscsiTarget>(options);
        // Host ports 2 and 3, each with its own cable to one portal.
        topology_ = mpio::Topology();
        topology_.Paths = {{2, 0, 0, 0}, {3, 0, 1, 1}};
        topology_.Luns = {0};
        for (size_t i = 0; i < 2; i++) {
            std::string error;
            cables_[i] = std::make_unique<iscsi::Cable>(tgtd_.Daemon->Portals()[i]);
            ASSERT_TRUE(cables_[i]->Start(&error)) << error;
            const mpio::PathSpec &path = topology_.Paths[i];
            storage_->Route(topology_.HostId * 256 + path.PortNumber, path.TargetPort, cables_[i]->Address());
        }

        FullConfiguration();
        hostOptions_.RetryIntervalMs = 200;
        ASSERT_EQ(Start(hostOptions_), STATUS_SUCCESS);
        host_->Discover(storage_.get(), topology_);
        host::SetRealTime(true);
    }

    void TearDown() override
    {
        host::SetRealTime(false);
        DriverTest::TearDown();
    }

    // The cable of the drive's current path.
    iscsi::Cable &CurrentCable()
    {
        PVOID current = nullptr;
        Locked([&] { current = FirstDrive()->currentPath; });
        for (size_t i = 0; i < host_->Devices().size(); i++) {
            if (host_->Devices()[i].DsmId == current) {
                return *cables_[i];
            }
        }
        ADD_FAILURE() << "the drive has no current path";
        return *cables_[0];
    }

    // Waits (real time) until MPIO uses every path again.
    bool EveryPathLiveWithin(std::chrono::milliseconds limit)
    {
        auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            if (host_->StateOf(0) == mpio::PathState::Live && host_->StateOf(1) == mpio::PathState::Live) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    static void Fill(uint8_t *block, uint64_t lba, int generation)
    {
        for (int i = 0; i < 512; i += 16) {
            snprintf(reinterpret_cast<char *>(block + i), 17, "L%06llu.G%02d.%03d", (unsigned long long)lba,
                     generation, i / 16);
        }
    }

    // Verification on and often; a link-down time the tests outlast only
    // when they mean to.
    static mpio::HostOptions DefaultHostOptions()
    {
        mpio::HostOptions options;
        options.PathVerifyEnabled = true;
        options.PathVerificationPeriodMs = 1000;
        options.LinkDownTimeMs = 60000;
        return options;
    }

    // Waits (real time) for a condition.
    template <typename Condition>
    static bool Within(std::chrono::milliseconds limit, Condition condition)
    {
        auto until = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() >= until) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    mpio::HostOptions hostOptions_ = DefaultHostOptions();
    TgtdFixture tgtd_;
    std::unique_ptr<iscsi::Cable> cables_[2];
    std::unique_ptr<iscsi::IscsiTarget> storage_;
};

// Both portals lead to one logical unit: one drive with two paths.  tgtd
// has no array status buffer, so the controller of each path stays
// unknown and no controller clock is reported; tgtd's power-on attention
// on each new session was met in discovery.
TEST_F(TgtdDriveTest, ClaimsOneDriveWithTwoPathsThroughTwoPortals)
{
    ASSERT_EQ(host_->Devices().size(), 2u);
    EXPECT_EQ(host_->Disks().size(), 1u);
    EXPECT_EQ(host_->Devices()[0].Vendor, "KESTROM ");
    EXPECT_TRUE(NT_SUCCESS(host_->Devices()[0].ClaimStatus));
    EXPECT_TRUE(NT_SUCCESS(host_->Devices()[1].ClaimStatus));
    EXPECT_EQ(host_->Devices()[0].Group, host_->Devices()[1].Group);
    EXPECT_EQ(storage_->SessionsUp(), 2u);

    PLD_ENTRY drive = FirstDrive();
    ASSERT_NE(drive, nullptr);
    std::vector<PPDO_ENTRY> paths = LivePathsOf(drive);
    ASSERT_EQ(paths.size(), 2u);
    Locked([&] {
        for (PPDO_ENTRY path : paths) {
            EXPECT_EQ(path->ControllerNumber, (UCHAR)TARN_CONTROLLER_UNKNOWN) << path->PathIdString;
        }
    });
    EXPECT_EQ(CountEvents(TARN_MSG_NEW_LOGICAL_DRIVE), 1);
    EXPECT_EQ(CountEvents(TARN_MSG_REDUNDANT_PATH), 1);
    EXPECT_EQ(CountEvents(TARN_MSG_CONTROLLER_TIME), 0);

    // The driver's location queries on its timer find nothing either.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(CountEvents(TARN_MSG_CONTROLLER_TIME), 0);
}

// A hung cable (commands time out) and then a pulled one (the link is
// reset) on the current path: every block written before, during and
// after reads back as written, the drive fails over each time, and the
// path comes back once its cable does.
TEST_F(TgtdDriveTest, DataSurvivesAHungAndAPulledCableAndThePathReturns)
{
    constexpr uint64_t kSpan = 64;
    uint8_t block[512];
    int generation[kSpan] = {};
    auto writeAll = [&](int gen) {
        for (uint64_t lba = 0; lba < kSpan; lba++) {
            Fill(block, lba, gen);
            mpio::IoResult result = host_->Write(0, lba, 1, block);
            ASSERT_EQ(result.Status, STATUS_SUCCESS) << "write of block " << lba << ", generation " << gen;
            generation[lba] = gen;
        }
    };
    auto readAll = [&] {
        uint8_t expected[512];
        for (uint64_t lba = 0; lba < kSpan; lba++) {
            mpio::IoResult result = host_->Read(0, lba, 1, block);
            ASSERT_EQ(result.Status, STATUS_SUCCESS) << "read of block " << lba;
            Fill(expected, lba, generation[lba]);
            ASSERT_EQ(memcmp(block, expected, sizeof block), 0) << "block " << lba;
        }
    };

    writeAll(1);
    const long failovers = CountEvents(TARN_MSG_FAILOVER);
    const iscsi::CableState faults[] = {iscsi::CableState::Hung, iscsi::CableState::Pulled};
    int gen = 2;
    for (iscsi::CableState fault : faults) {
        SCOPED_TRACE(iscsi::CableStateName(fault));
        iscsi::Cable &cable = CurrentCable();
        cable.Set(fault);
        writeAll(gen++);
        readAll();
        EXPECT_NE(&CurrentCable(), &cable) << "no failover";
        cable.Set(iscsi::CableState::Plugged);
        EXPECT_TRUE(EveryPathLiveWithin(std::chrono::seconds(15)));
        // The path's new session met tgtd's attention for the new login.
        writeAll(gen++);
        readAll();
    }
    // The hung cable's timed-out requests each wrote the failover event.
    // The pulled cable's reset reaches MPIO as a lost link too, and when
    // MPIO's verification of it comes before the next request, the drive
    // fails over through the failed verification, which writes no event.
    EXPECT_GT(CountEvents(TARN_MSG_FAILOVER), failovers);
    EXPECT_GE(storage_->Logins(), 4u);
}

// Without verification and with a short link-down time: a session that
// stays lost past it takes its device away, and the new login once the
// cable is back enumerates it again as a new device, which the driver
// adds as a redundant path.
class TgtdArrivalTest : public TgtdDriveTest {
protected:
    void SetUp() override
    {
        hostOptions_.PathVerifyEnabled = false;
        hostOptions_.LinkDownTimeMs = 2000;
        TgtdDriveTest::SetUp();
    }
};

TEST_F(TgtdArrivalTest, ALostSessionPastTheLinkDownTimeRemovesItsDeviceAndALoginBringsItBack)
{
    ASSERT_EQ(host_->Devices().size(), 2u);
    const long redundant = CountEvents(TARN_MSG_REDUNDANT_PATH);
    cables_[1]->Set(iscsi::CableState::Pulled);
    EXPECT_TRUE(Within(std::chrono::seconds(15), [&] { return host_->StateOf(1) == mpio::PathState::Removed; }));
    EXPECT_EQ(CountEvents(TARN_MSG_PATH_REMOVED), 1);
    uint8_t block[512] = {1};
    EXPECT_EQ(host_->Write(0, 2, 1, block).Status, STATUS_SUCCESS);

    cables_[1]->Set(iscsi::CableState::Plugged);
    EXPECT_TRUE(Within(std::chrono::seconds(15), [&] {
        return host_->DeviceCount() == 3 && host_->StateOf(2) == mpio::PathState::Live;
    }));
    EXPECT_EQ(CountEvents(TARN_MSG_REDUNDANT_PATH), redundant + 1);
    Locked([&] { EXPECT_EQ(FirstDrive()->NumberPaths, 2u); });
}

} // namespace
} // namespace tarntest
