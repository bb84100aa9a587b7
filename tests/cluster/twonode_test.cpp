// Two cluster nodes, each a process of its own with its own driver,
// registry and reservation key, share one array served by arrayd.  The
// cluster's RESERVE, RELEASE and bus reset go through each node's MPIO
// and driver; the drive's data and its reservation are what the nodes
// fight over.
#include "arbitration.h"
#include "child.h"
#include "tempdirectory.h"

#include <gmock/gmock.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;
using tarntest::Child;

using namespace tarntest::cluster;

class TwoNodes : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(directory_.Path().empty());
        array_ = std::make_unique<Child>(TARN_ARRAYD, std::vector<std::string>{socket_, "2", "4096"});
        ASSERT_THAT(array_->ReadLine(), StartsWith("arrayd: serving 2 LUNs"));
    }

    void TearDown() override { array_.reset(); }

    std::unique_ptr<Child> StartNode(const char *hostId, const char *key, bool reservations = true,
                                     const char *verify = nullptr)
    {
        std::vector<std::string> arguments{socket_, hostId, key};
        if (!reservations) {
            arguments.push_back("off");
        }
        if (verify != nullptr) {
            arguments.push_back(verify);
        }
        auto node = std::make_unique<Child>(TARN_CLUSTERNODE, arguments);
        EXPECT_EQ(node->ReadLine(), "ready disks=2 paths=8");
        return node;
    }

    tarntest::TempDirectory directory_{"tarn-cluster"};
    const std::string socket_ = directory_ / "array.sock";
    std::unique_ptr<Child> array_;
};

TEST_F(TwoNodes, ArbitrateADriveThroughTheirOwnDrivers)
{
    auto a = StartNode("1", kKeyA);
    auto b = StartNode("2", kKeyB);

    // Registered on its four paths.
    ArbitrateDriveZero(*a, *b, "keys=A0000000000000A1,A0000000000000A1,A0000000000000A1,A0000000000000A1");

    EXPECT_EQ(a->Finish(), 0);
    EXPECT_EQ(b->Finish(), 0);
}

// A node whose RESERVE, or whose reset's CLEAR, never came back is left
// with no registration: once the other node holds the drive with its
// registrants-only reservation, the node that lost writes nothing.
TEST_F(TwoNodes, ANodeThatLostItsReserveOrResetWritesNothing)
{
    auto a = StartNode("1", kKeyA);
    auto b = StartNode("2", kKeyB);

    EXPECT_EQ(b->Ask("lose reserve"), "lost=reserve");
    EXPECT_THAT(b->Ask("reserve 0"), HasSubstr("status=0xC0000185 srb=0x04 scsi=0x02"));
    EXPECT_THAT(a->Ask("keys 0"), HasSubstr("keys=none"));
    EXPECT_EQ(a->Ask("reserve 0"), kGood);
    EXPECT_THAT(b->Ask("write 0 11 beta"), HasSubstr(kConflict));
    EXPECT_THAT(a->Ask("keys 0"), Not(HasSubstr("B0000000000000B2")));

    // B's reset to break A's hold is lost too: A keeps the drive and B is
    // fenced from it as before.
    EXPECT_EQ(b->Ask("lose clear"), "lost=clear");
    EXPECT_THAT(b->Ask("reset 0"), StartsWith("category=2 status=0xC0000010"));
    EXPECT_THAT(a->Ask("holder 0"), HasSubstr("holder=A0000000000000A1"));
    EXPECT_THAT(b->Ask("write 0 11 beta"), HasSubstr(kConflict));
    EXPECT_THAT(a->Ask("keys 0"), Not(HasSubstr("B0000000000000B2")));
    EXPECT_THAT(a->Ask("write 0 11 alpha"), HasSubstr("status=0x00000000"));

    // With its link whole again B arbitrates as usual.
    EXPECT_EQ(b->Ask("lose none"), "lost=none");
    EXPECT_THAT(b->Ask("reserve 0"), HasSubstr(kConflict));
    EXPECT_EQ(a->Ask("release 0"), kGood);
    EXPECT_EQ(b->Ask("reserve 0"), kGood);
    EXPECT_THAT(b->Ask("read 0 11"), HasSubstr("data=alpha"));

    EXPECT_EQ(a->Finish(), 0);
    EXPECT_EQ(b->Finish(), 0);
}

TEST_F(TwoNodes, ANodeWithoutPersistentReservationsRefusesTheClusterRequests)
{
    auto a = StartNode("1", kKeyA, false);
    auto b = StartNode("2", kKeyB);

    EXPECT_THAT(a->Ask("reserve 0"), HasSubstr("category=2 status=0xC0000010 srb=0x04 scsi=0x02"));
    EXPECT_THAT(a->Ask("release 0"), HasSubstr("status=0xC0000010"));
    EXPECT_THAT(b->Ask("holder 0"), HasSubstr("holder=none"));
    EXPECT_THAT(b->Ask("keys 0"), HasSubstr("keys=none"));
    // Ordinary requests still flow.
    EXPECT_THAT(a->Ask("write 1 3 delta"), HasSubstr("status=0x00000000"));
    EXPECT_THAT(b->Ask("read 1 3"), HasSubstr("data=delta"));
    EXPECT_EQ(a->Ask("frobnicate 0"), "error: unknown command \"frobnicate\"");
    EXPECT_EQ(a->Ask("read 2 0"), "error: no such disk");

    EXPECT_EQ(a->Finish(), 0);
    EXPECT_EQ(b->Finish(), 0);
}

TEST_F(TwoNodes, AnArrayThatGoesAwayIsALostLinkUntilItReturns)
{
    auto a = StartNode("1", kKeyA, true, "verify=500");
    EXPECT_THAT(a->Ask("write 0 9 kept"), HasSubstr("status=0x00000000"));

    array_.reset();
    EXPECT_THAT(a->Ask("reserve 0"), Not(HasSubstr("status=0x00000000")));

    // With every path lost MPIO holds the read; its path verification
    // (on, every half second here) reconnects to the array served again
    // on the same socket, and the path that comes back carries the read
    // (a new array: the block is blank) well within the link-down time.
    ASSERT_TRUE(a->Tell("read 0 9"));
    array_ = std::make_unique<Child>(TARN_ARRAYD, std::vector<std::string>{socket_, "2", "4096"});
    ASSERT_THAT(array_->ReadLine(), StartsWith("arrayd: serving 2 LUNs"));
    EXPECT_THAT(a->ReadLine(), HasSubstr("status=0x00000000"));
    EXPECT_EQ(a->Ask("reserve 0"), kGood);
    EXPECT_EQ(a->Finish(), 0);
}

} // namespace
