// The driver when kernel calls other than pool allocation fail: an
// error-log entry that cannot be allocated, and per-drive settings whose
// key cannot be created or whose value cannot be set.
#include "driverfixture.h"

namespace tarntest {
namespace {

using FailureTest = DriverTest;

TEST_F(FailureTest, EventWithoutAnEntryIsDroppedAndTheStartGoesOn)
{
    // Without "PathSelectionPolicy" and "RoundRobinTimeSlice" the start
    // writes three events; the first finds no entry.
    MinimalConfiguration();
    host::FailCallNth(host::Call::IoAllocateErrorLogEntry, 1);

    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(host::InjectedCallFailures(host::Call::IoAllocateErrorLogEntry), 1u);
    EXPECT_EQ(EventIds(), (std::vector<NTSTATUS>{TARN_MSG_NO_ROUND_ROBIN_TIMESLICE, TARN_MSG_DSM_STARTED}));
    EXPECT_EQ(host::PendingErrorLogEntries(), 0u);

    // With no entry at all, nothing is written and nothing is held.
    host_.reset();
    host::Reboot();
    host::ClearEventLog();
    host::FailEveryCall(host::Call::IoAllocateErrorLogEntry);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_TRUE(host::EventLog().empty());
    EXPECT_EQ(host::PendingErrorLogEntries(), 0u);
}

// A settings write whose key cannot be opened, or whose value cannot be
// set, reports the registry's status, stores nothing and keeps no handle.
struct WriteFailure {
    const char *Name;
    host::Call Call;
};

class SettingsWriteFailureTest : public DriverTest, public ::testing::WithParamInterface<WriteFailure> {};

TEST_P(SettingsWriteFailureTest, ReportsTheStatusAndStoresNothing)
{
    MinimalConfiguration();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const char *serial = "600A0B80001122334455";
    const std::string policyKey = std::string(kServiceKey) + "\\PathSelectionPolicy";
    const std::string preferredKey = std::string(kServiceKey) + "\\PreferredPath";
    SCSI_ADDRESS address = {sizeof(SCSI_ADDRESS), 2, 0, 1, 3};
    ULONG stored = 0;

    host::FailEveryCall(GetParam().Call);
    EXPECT_EQ(DsmWriteDrivePolicy(Context(), serial, TARN_LB_POLICY_FAILBACK), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(DsmWritePreferredPath(Context(), serial, &address), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(host::RegistryGetDword(policyKey, serial, &stored));
    EXPECT_FALSE(host::RegistryGetDword(preferredKey, serial, &stored));
    EXPECT_EQ(host::OpenRegistryHandles(), 0u);

    // A new drive's default preferred path that cannot be stored: still
    // the drive's preferred path in memory, and the write's status returned.
    SCSI_ADDRESS result = {};
    BOOLEAN found = TRUE;
    EXPECT_EQ(DsmReadPreferredPath(Context(), serial, &address, &found, &result), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(found);
    EXPECT_EQ(result.PortNumber, 2);
    EXPECT_EQ(result.Lun, 3);
    EXPECT_EQ(host::OpenRegistryHandles(), 0u);

    // Once the registry works again, so do the writers.
    host::ClearCallFailures();
    EXPECT_EQ(DsmWriteDrivePolicy(Context(), serial, TARN_LB_POLICY_FAILBACK), STATUS_SUCCESS);
    EXPECT_TRUE(host::RegistryGetDword(policyKey, serial, &stored));
    EXPECT_EQ(stored, TARN_LB_POLICY_FAILBACK);
}

INSTANTIATE_TEST_SUITE_P(Calls, SettingsWriteFailureTest,
                         ::testing::Values(WriteFailure{"CreateKey", host::Call::ZwCreateKey},
                                           WriteFailure{"SetValue", host::Call::ZwSetValueKey}),
                         [](const ::testing::TestParamInfo<WriteFailure> &info) { return info.param.Name; });

} // namespace
} // namespace tarntest
