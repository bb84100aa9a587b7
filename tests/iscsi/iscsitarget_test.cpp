// What no iSCSI command can carry is refused before any session is made,
// as a completed command the target would refuse: CHECK CONDITION,
// ILLEGAL REQUEST.  A nexus with no route finds its link down.
#include "iscsitarget.h"

#include <gtest/gtest.h>

#include <scsi.h>

namespace {

TEST(IscsiTargetTest, RefusesWhatNoCommandCanCarryWithoutLoggingIn)
{
    iscsi::IscsiOptions options;
    options.TargetName = "iqn.2026-12.test.tarn:none";
    iscsi::IscsiTarget target(options);
    // Nothing listens here: a command that reached a session would end LinkDown.
    target.Route(0, "127.0.0.1:1");

    uint8_t longCdb[20] = {SCSIOP_READ};
    uint8_t cdb[10] = {SCSIOP_READ};
    uint8_t buffer[512];
    struct {
        const char *Name;
        array::Command Command;
        uint64_t Lun;
        uint8_t Asc;
    } const rows[] = {
        {"no CDB", {nullptr, 0, nullptr, 0, nullptr, 0}, 0, SCSI_ADSENSE_INVALID_CDB},
        {"CDB over 16 bytes", {longCdb, sizeof longCdb, nullptr, 0, buffer, sizeof buffer}, 0,
         SCSI_ADSENSE_INVALID_CDB},
        {"data both ways", {cdb, sizeof cdb, buffer, sizeof buffer, buffer, sizeof buffer}, 0,
         SCSI_ADSENSE_INVALID_CDB},
        {"a length without its buffer", {cdb, sizeof cdb, nullptr, 0, nullptr, sizeof buffer}, 0,
         SCSI_ADSENSE_INVALID_CDB},
        {"a LUN past flat addressing", {cdb, sizeof cdb, nullptr, 0, buffer, sizeof buffer}, 0x3FFF,
         SCSI_ADSENSE_INVALID_LUN},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.Name);
        array::Result result = target.Execute(array::Nexus{0x102, 0, row.Lun}, row.Command);
        EXPECT_EQ(result.Outcome, array::Transport::Completed);
        EXPECT_EQ(result.Status, array::kStatusCheckCondition);
        EXPECT_EQ(result.Sense[2], SCSI_SENSE_ILLEGAL_REQUEST);
        EXPECT_EQ(result.Sense[12], row.Asc);
    }
    EXPECT_EQ(target.Logins(), 0u);

    const array::Command good{cdb, sizeof cdb, nullptr, 0, buffer, sizeof buffer};
    EXPECT_EQ(target.Execute(array::Nexus{0x102, 0, 0}, good).Outcome, array::Transport::LinkDown);
    EXPECT_EQ(target.Execute(array::Nexus{0x102, 7, 0}, good).Outcome, array::Transport::LinkDown);
}

} // namespace
