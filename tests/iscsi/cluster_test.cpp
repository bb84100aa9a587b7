// Two cluster nodes, each a process with its own driver, registry and
// key, arbitrate one logical unit of tgtd over their own iSCSI sessions:
// two paths each, through cables of their own.  tgtd's reservations are
// its own, not our array's, so the outcomes here are what the driver's
// commands get from a target nobody on this team wrote.
#include "arbitration.h"
#include "child.h"
#include "tgtdfixture.h"

#include <gmock/gmock.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using tarntest::Child;
using testing::HasSubstr;

using namespace tarntest::cluster;

class TgtdCluster : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(tgtd_.Start({{1, 2048, "KESTROM", "TARN 4000 ISCSI", "TARNCL0001"},
                               {2, 2048, "KESTROM", "TARN 4000 ISCSI", "TARNCL0002"}}),
                  "");
        const std::vector<std::string> &portals = tgtd_.Daemon->Portals();
        where_ = std::string("iscsi:") + tarntest::kTgtdTargetName + "@" + portals[0] + "," + portals[1];
        // The nodes inherit the account through their environment.
        setenv("TARN_ISCSI_CHAP", (tgtd_.Access.User + ":" + tgtd_.Access.Secret).c_str(), 1);
    }

    std::unique_ptr<Child> StartNode(const char *hostId, const char *key)
    {
        auto node = std::make_unique<Child>(TARN_CLUSTERNODE, std::vector<std::string>{where_, hostId, key,
                                                                                       "verify=500"});
        EXPECT_EQ(node->ReadLine(), "ready disks=2 paths=4");
        return node;
    }

    // Asks until the answer holds `text`, for up to `seconds` of real time.
    static std::string AskUntil(Child &node, const std::string &command, const std::string &text, int seconds)
    {
        std::string answer;
        for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
             std::chrono::steady_clock::now() < until;
             std::this_thread::sleep_for(std::chrono::milliseconds(200))) {
            answer = node.Ask(command);
            if (answer.find(text) != std::string::npos) {
                break;
            }
        }
        return answer;
    }

    tarntest::TgtdFixture tgtd_;
    std::string where_;
};

TEST_F(TgtdCluster, ArbitrateReserveReleaseAndReset)
{
    auto a = StartNode("1", kKeyA);
    auto b = StartNode("2", kKeyB);

    // tgtd raises a unit attention on B's nexuses when A's reset clears
    // B's hold; the driver's retry absorbs it.
    ArbitrateDriveZero(*a, *b, "keys=A0000000000000A1,A0000000000000A1");

    EXPECT_EQ(a->Finish(), 0);
    EXPECT_EQ(b->Finish(), 0);
}

// The holder reserves while one of its cables is out: only the live path
// is registered.  When the cable returns and MPIO has the path again, the
// driver registers the holder's key on it, so the path can carry the
// holder's requests through its own reservation.
TEST_F(TgtdCluster, APathThatReturnsOnTheHolderGetsTheHoldersRegistration)
{
    auto a = StartNode("1", kKeyA);
    auto b = StartNode("2", kKeyB);

    EXPECT_EQ(a->Ask("cable 1 pulled"), "cable=1 pulled");
    // The lost sessions are reported: MPIO takes path 1 of each disk out of use.
    EXPECT_THAT(AskUntil(*a, "paths", "paths=live,live,failed,failed", 10), HasSubstr("paths=live,live,failed,failed"));
    EXPECT_EQ(a->Ask("reserve 0"), kGood);
    EXPECT_THAT(b->Ask("keys 0"), testing::EndsWith("keys=A0000000000000A1"));

    EXPECT_EQ(a->Ask("cable 1 plugged"), "cable=1 plugged");
    EXPECT_THAT(AskUntil(*a, "paths", "paths=live,live,live,live", 15), HasSubstr("paths=live,live,live,live"));
    EXPECT_THAT(AskUntil(*b, "keys 0", "keys=A0000000000000A1,A0000000000000A1", 15),
                HasSubstr("keys=A0000000000000A1,A0000000000000A1"));

    // With the other cable out, the returned path carries A's writes.
    EXPECT_EQ(a->Ask("cable 0 pulled"), "cable=0 pulled");
    EXPECT_THAT(a->Ask("write 0 3 kept"), HasSubstr("status=0x00000000"));
    EXPECT_THAT(b->Ask("write 0 3 stolen"), HasSubstr(kConflict));
    EXPECT_THAT(a->Ask("read 0 3"), HasSubstr("data=kept"));

    EXPECT_EQ(a->Finish(), 0);
    EXPECT_EQ(b->Finish(), 0);
}

} // namespace
