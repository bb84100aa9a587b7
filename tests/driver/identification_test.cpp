// Discovery against each style of device identification page the array
// can give: whatever designators surround it, the driver keys each LU by
// its binary NAA name, groups that LU's paths into one drive and keeps
// distinct LUs apart.
#include "driverfixture.h"

#include <algorithm>

namespace tarntest {
namespace {

class IdentificationTest : public DriverTest,
                           public testing::WithParamInterface<array::IdentifierStyle> {};

TEST_P(IdentificationTest, EachLuIsOneDriveOverAllItsPaths)
{
    const std::vector<uint64_t> luns = {0, 1, 300};
    MinimalConfiguration();
    AttachArray(luns);
    array::ArrayConfig config;
    for (uint64_t lun : luns) {
        config.Units.push_back(array::LogicalUnitConfig{lun, 2048, 512});
    }
    config.Identifiers = GetParam();
    array_ = std::make_unique<array::SimulatedArray>(config, [] { return int64_t(0); });
    topology_.Luns = {0, 1, 44};     // 300 is out of this host's reach; 44 does not exist
    ASSERT_EQ(StartAndDiscover(), STATUS_SUCCESS);

    EXPECT_EQ(host_->DiscoveryProblems().size(), topology_.Paths.size());    // LUN 44 on each path
    ASSERT_EQ(host_->Disks().size(), 2u);
    for (size_t i = 0; i < 2; i++) {
        const mpio::MultipathDisk &disk = host_->Disks()[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(disk.SerialNumber, SerialOf(luns[i]));
        ASSERT_EQ(disk.Devices.size(), topology_.Paths.size());
        for (size_t index : disk.Devices) {
            EXPECT_EQ(host_->Devices()[index].Lun, luns[i]);
            EXPECT_TRUE(NT_SUCCESS(host_->Devices()[index].ClaimStatus));
        }
    }
    EXPECT_NE(SerialOf(0), SerialOf(1));
    // 16-byte names give 32 characters, the short style's 8-byte ones 16.
    EXPECT_EQ(SerialOf(0).size(), GetParam() == array::IdentifierStyle::Short ? 16u : 32u);
}

INSTANTIATE_TEST_SUITE_P(Styles, IdentificationTest,
                         testing::Values(array::IdentifierStyle::Standard, array::IdentifierStyle::Short,
                                         array::IdentifierStyle::Names),
                         [](const testing::TestParamInfo<array::IdentifierStyle> &info) {
                             return std::string(array::IdentifierStyleName(info.param));
                         });

} // namespace
} // namespace tarntest
