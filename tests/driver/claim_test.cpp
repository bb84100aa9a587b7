// Claiming through MPIO's discovery of a simulated array: drives and
// their redundant paths, the per-drive settings across a restart, and
// every allocation of a claim failing in turn.
#include "driverfixture.h"

#include <algorithm>
#include <cstring>

namespace tarntest {
namespace {

class ClaimTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        FullConfiguration();
        host::RegistrySetDword(kParametersKey, "PathSelectionPolicy", TARN_LB_POLICY_FAILOVER);
    }

    static std::string PreferredPathKey() { return std::string(kServiceKey) + "\\PreferredPath"; }
    static std::string PolicyKey() { return std::string(kServiceKey) + "\\PathSelectionPolicy"; }
};

TEST_F(ClaimTest, FourPathsToTwoLunsMakeTwoDrivesWithTheirEvents)
{
    AttachArray({0, 1});
    ASSERT_EQ(StartAndDiscover(), STATUS_SUCCESS);

    // One "new drive" and three "redundant path" events per LUN, with the
    // drive's serial and the path's label.
    std::vector<std::string> descriptions;
    for (const auto &record : host::EventLog()) {
        descriptions.push_back(host::EventDescription(record));
    }
    std::string serial = SerialOf(0);
    std::string label = "[" + serial.substr(1, 3) + " 2:0:0:0]";
    EXPECT_NE(std::find(descriptions.begin(), descriptions.end(),
                        "Found new logical drive [SN: " + serial + "] on path " + label + "."),
              descriptions.end());
    EXPECT_NE(std::find(descriptions.begin(), descriptions.end(),
                        "Adding redundant path [" + serial.substr(1, 3) + " 3:0:1:0] to logical drive [SN: " + serial +
                            "]."),
              descriptions.end());
    EXPECT_EQ(CountEvents(TARN_MSG_NEW_LOGICAL_DRIVE), 2);
    EXPECT_EQ(CountEvents(TARN_MSG_REDUNDANT_PATH), 6);

    PLD_ENTRY drive = FirstDrive();
    ASSERT_NE(drive, nullptr);
    EXPECT_EQ(drive->NumberPaths, 4u);
    EXPECT_EQ(drive->LogicalDriveLbPolicy, TARN_LB_POLICY_FAILOVER);
    EXPECT_EQ(drive->currentPath, PathsOf(drive).front()) << "MPIO brought the first path up first";
    EXPECT_STREQ(drive->ldIdString, ("[" + serial.substr(1, 3) + "]").c_str());
    // The first path is the preferred one, and now stored as such.
    EXPECT_EQ(drive->PreferredPathAddress.PortNumber, 2);
    EXPECT_EQ(drive->PreferredPathAddress.TargetId, 0);
    ULONG stored = 0;
    ASSERT_TRUE(host::RegistryGetDword(PreferredPathKey(), serial, &stored));
    EXPECT_EQ(stored, 0x02000000u);
}

TEST_F(ClaimTest, UnsupportedProductIsDeclinedAndUnreachablePathsAreSkipped)
{
    host::RegistrySetMultiString(kParametersKey, "SupportedDeviceList", {"KESTROM tarn 4000 FC    "});
    AttachArray();
    ASSERT_EQ(StartAndDiscover(), STATUS_SUCCESS);
    EXPECT_TRUE(host_->Disks().empty());
    for (const auto &device : host_->Devices()) {
        EXPECT_EQ(device.ClaimStatus, STATUS_NOT_SUPPORTED);
    }
    // The context, its registry path and service name, the supported device
    // list and the display name.
    EXPECT_EQ(host::PoolOutstanding(kTarnTag), 5u) << host::PoolReport();

    // A path whose link is down cannot be identified: skipped, the others claimed.
    host_.reset();
    host::Reboot();
    MinimalConfiguration();
    array_->SetFault(array::Scope::OnTargetPort(3), array::Fault::LinkDown);
    ASSERT_EQ(StartAndDiscover(), STATUS_SUCCESS);
    ASSERT_EQ(host_->Disks().size(), 1u);
    EXPECT_EQ(host_->Disks()[0].Devices.size(), 3u);
    ASSERT_EQ(host_->DiscoveryProblems().size(), 1u);
    EXPECT_NE(host_->DiscoveryProblems()[0].find("3:0:1:0"), std::string::npos);
}

TEST_F(ClaimTest, StoredSettingsSurviveARestartAndARegFile)
{
    AttachArray({0});
    ASSERT_EQ(StartAndDiscover(), STATUS_SUCCESS);
    std::string serial = SerialOf(0);

    // Management changes the drive's settings (as its WMI methods will).
    SCSI_ADDRESS third{sizeof(SCSI_ADDRESS), 3, 0, 0, 0};
    ASSERT_EQ(DsmWritePreferredPath(Context(), serial.c_str(), &third), STATUS_SUCCESS);
    ASSERT_EQ(DsmWriteDrivePolicy(Context(), serial.c_str(), TARN_LB_POLICY_ROUND_ROBIN), STATUS_SUCCESS);
    EXPECT_EQ(host::OpenRegistryHandles(), 0u);

    // The registry goes out as a .reg file and comes back on a clean machine.
    std::string reg = host::RegistryExport();
    EXPECT_NE(reg.find("\\Services\\tarndsm\\PreferredPath]"), std::string::npos) << reg;
    EXPECT_NE(reg.find("\"" + serial + "\"=dword:03000000"), std::string::npos) << reg;
    host_.reset();
    host::Reboot();
    host::RegistryClear();
    std::string error;
    ASSERT_TRUE(host::RegistryImport(reg, &error)) << error;

    host::ClearEventLog();
    ASSERT_EQ(StartAndDiscover(), STATUS_SUCCESS);
    PLD_ENTRY drive = FirstDrive();
    ASSERT_NE(drive, nullptr);
    EXPECT_EQ(drive->LogicalDriveLbPolicy, TARN_LB_POLICY_ROUND_ROBIN);
    EXPECT_EQ(drive->PreferredPathAddress.PortNumber, 3);
    EXPECT_EQ(drive->PreferredPathAddress.TargetId, 0);
    DsmLockHeld held(Context());
    PPDO_ENTRY preferred = FindPreferredPdoEntry(drive);
    ASSERT_NE(preferred, nullptr);
    EXPECT_STREQ(preferred->PathIdString, ("[" + serial.substr(1, 3) + " 3:0:0:0]").c_str());
}

TEST_F(ClaimTest, StoredValuesThatAreNotSettingsFallBack)
{
    AttachArray({0});
    std::string serial = SerialOf(0);
    host::RegistrySetDword(PolicyKey(), serial, 0x200);                  // not a policy
    host::RegistrySetString(PreferredPathKey(), serial, "3:0:0:0");       // not a packed address
    host::RegistrySetDword(kParametersKey, "PathSelectionPolicy", TARN_LB_POLICY_FAILBACK);
    ASSERT_EQ(StartAndDiscover(), STATUS_SUCCESS);

    PLD_ENTRY drive = FirstDrive();
    ASSERT_NE(drive, nullptr);
    EXPECT_EQ(drive->LogicalDriveLbPolicy, TARN_LB_POLICY_FAILBACK);   // the driver-wide default
    EXPECT_EQ(drive->PreferredPathAddress.PortNumber, 2);              // the first path
    ULONG type = 0;
    std::vector<uint8_t> data;
    ASSERT_TRUE(host::RegistryGetValue(PreferredPathKey(), serial, &type, &data));
    EXPECT_EQ(type, (ULONG)REG_DWORD);                                 // and stored again, readable
}

TEST_F(ClaimTest, WritersRefuseAbovePassiveAndTouchNothing)
{
    AttachArray({0});
    ASSERT_EQ(StartAndDiscover(), STATUS_SUCCESS);
    std::string serial = SerialOf(0);
    std::string before = host::RegistryExport();

    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    SCSI_ADDRESS address{sizeof(SCSI_ADDRESS), 3, 0, 1, 0};
    NTSTATUS pathStatus = DsmWritePreferredPath(Context(), serial.c_str(), &address);
    NTSTATUS policyStatus = DsmWriteDrivePolicy(Context(), serial.c_str(), TARN_LB_POLICY_FAILBACK);
    KeLowerIrql(oldIrql);

    EXPECT_EQ(pathStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(policyStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host::RegistryExport(), before);

    EXPECT_EQ(DsmWritePreferredPath(Context(), NULL, &address), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DsmWritePreferredPath(Context(), serial.c_str(), NULL), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DsmWriteDrivePolicy(Context(), NULL, TARN_LB_POLICY_FAILBACK), STATUS_INVALID_PARAMETER);
}

TEST_F(ClaimTest, StoredAddressUnpacksMostSignificantByteFirst)
{
    MinimalConfiguration();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const std::string serial = "600A0B80001122334455";
    host::RegistrySetDword(PreferredPathKey(), serial, 0x02000103);

    SCSI_ADDRESS fallback{sizeof(SCSI_ADDRESS), 9, 9, 9, 9};
    SCSI_ADDRESS result{};
    BOOLEAN found = FALSE;
    ASSERT_EQ(DsmReadPreferredPath(Context(), serial.c_str(), &fallback, &found, &result), STATUS_SUCCESS);
    EXPECT_TRUE(found);
    const SCSI_ADDRESS expected{sizeof(SCSI_ADDRESS), 2, 0, 1, 3};
    EXPECT_EQ(memcmp(&result, &expected, sizeof(result)), 0);
}

// Every allocation a claim makes, failing in turn: the claim reports it or
// gets by, and a failed claim leaves nothing of its own behind.
TEST_F(ClaimTest, EveryAllocationFailureOfAClaimLeavesNothingBehind)
{
    AttachArray({0});
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    size_t baseline = host::PoolOutstanding();
    uint64_t before = host::PoolAllocationCount();
    host_->Discover(array_.get(), mpio::Topology{1, {topology_.Paths[0]}, {0}});
    ASSERT_EQ(host_->Disks().size(), 1u);
    uint64_t claimAllocations = host::PoolAllocationCount() - before;
    ASSERT_GE(claimAllocations, 4u);

    for (uint64_t n = 1; n <= claimAllocations; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        host_.reset();
        host::Reboot();
        host::RegistryDeleteKey(PreferredPathKey());
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        baseline = host::PoolOutstanding();
        host::ClearEventLog();

        host::PoolFailNth(n);
        host_->Discover(array_.get(), mpio::Topology{1, {topology_.Paths[0]}, {0}});
        host::PoolClearFailures();

        const mpio::Device &device = host_->Devices().at(0);
        if (NT_SUCCESS(device.ClaimStatus)) {
            continue;
        }
        EXPECT_TRUE(host_->Disks().empty());
        EXPECT_TRUE(IsListEmpty(&Context()->DriveList));
        EXPECT_TRUE(IsListEmpty(&Context()->PathRecordList));
        EXPECT_EQ(host::PoolOutstanding(), baseline) << host::PoolReport();
        for (NTSTATUS id : EventIds()) {
            EXPECT_TRUE(id == TARN_MSG_NO_MEMORY || id == TARN_MSG_SYSTEM_CALL_FAILED) << std::hex << id;
        }
    }
}

} // namespace
} // namespace tarntest
