/*++

Module Name:

    attention_test.cpp

Abstract:

    Unit attentions where the array raises them: discovery consumes the
    power-on attention as the storage stack does, and after a nexus comes
    back the driver's reservation commands retry through it while its
    single-attempt status buffer query fails once.

--*/

#include "driverfixture.h"

#include <scsi.h>

#include <functional>

namespace tarntest {
namespace {

constexpr uint8_t kReadCapacity10 = SCSIOP_READ_CAPACITY;

class AttentionTest : public OneDriveTest {
protected:
    AttentionTest() { luns_ = {0, 1}; }

    array::Result TestUnitReady(const array::Nexus &nexus)
    {
        const uint8_t cdb[6] = {SCSIOP_TEST_UNIT_READY};
        array::Command command;
        command.Cdb = cdb;
        command.CdbLength = sizeof(cdb);
        return array_->Execute(nexus, command);
    }
};

// Every nexus was started before its device was offered: each met the
// power-on attention once, in TEST UNIT READY, and nothing is left for
// the driver's own verification of the path.
TEST_F(AttentionTest, DiscoveryConsumesThePowerOnAttention)
{
    array::ArrayStatistics seen = array_->Statistics();
    const size_t nexuses = host_->Devices().size();
    ASSERT_EQ(nexuses, 8u);
    // The attention, then GOOD, then the path's verification; and the
    // other node's start of each LU.
    EXPECT_EQ(seen.WithOpcode(SCSIOP_TEST_UNIT_READY), 3 * nexuses + 2);
    EXPECT_EQ(seen.WithOpcode(kReadCapacity10), nexuses);
    for (const mpio::Device &device : host_->Devices()) {
        EXPECT_EQ(TestUnitReady(device.Nexus).Status, array::kStatusGood) << device.Nexus.TargetPort;
    }
}

// Each way a nexus is lost and returns leaves an attention on the drive's
// paths: the reservation commands absorb it with one retry per path, the
// status buffer query meets it and fails once.
TEST_F(AttentionTest, AfterANexusReturnsReservationsRetryAndTheTimeQueryFailsOnce)
{
    struct Case {
        const char *Name;
        std::function<void(array::SimulatedArray &)> LoseAndReturn;
    };
    const Case cases[] = {
        {"links down and up",
         [](array::SimulatedArray &a) {
             for (uint32_t port = 0; port < array::kTargetPortCount; ++port) {
                 a.SetFault(array::Scope::OnTargetPort(port), array::Fault::LinkDown);
                 a.ClearFault(array::Scope::OnTargetPort(port), array::Fault::LinkDown);
             }
         }},
        {"ports silent and back",
         [](array::SimulatedArray &a) {
             for (uint32_t controller = 0; controller < array::kControllerCount; ++controller) {
                 a.SetFault(array::Scope::OnController(controller), array::Fault::NoAnswer);
                 a.ClearFault(array::Scope::OnController(controller), array::Fault::NoAnswer);
             }
         }},
        {"controllers failed and restored",
         [](array::SimulatedArray &a) {
             for (uint32_t controller = 0; controller < array::kControllerCount; ++controller) {
                 a.FailController(controller);
                 a.RestoreController(controller);
             }
         }},
    };
    array_->SetControllerClock(0, 9, 5, 30);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        c.LoseAndReturn(*array_);
        array_->ResetStatistics();
        ASSERT_EQ(PrRegisterAllPaths(Context(), drive_, drive_->RecordSerial, TRUE), STATUS_SUCCESS);
        EXPECT_EQ(array_->Registrations(0).size(), 4u);
        EXPECT_EQ(array_->Statistics().WithOpcode(SCSIOP_PERSISTENT_RESERVE_OUT), 2 * paths_.size());
        ASSERT_EQ(PrRegisterAllPaths(Context(), drive_, drive_->RecordSerial, FALSE), STATUS_SUCCESS);
        EXPECT_TRUE(array_->Registrations(0).empty());

        // LUN 1 still holds the attention on every nexus; its query makes
        // one attempt.
        c.LoseAndReturn(*array_);
        for (const mpio::Device &device : host_->Devices()) {
            if (device.Lun != 1) {
                continue;
            }
            char text[20];
            EXPECT_EQ(QueryControllerTime(device.TargetObject, "[att]", text, sizeof(text)), STATUS_IO_DEVICE_ERROR);
            EXPECT_STREQ(text, "");
            ASSERT_EQ(QueryControllerTime(device.TargetObject, "[att]", text, sizeof(text)), STATUS_SUCCESS);
            EXPECT_STREQ(text, "9:5:30");
        }
        // Drain LUN 0's attentions for the next case.
        for (const mpio::Device &device : host_->Devices()) {
            TestUnitReady(device.Nexus);
        }
    }
}

} // namespace
} // namespace tarntest
