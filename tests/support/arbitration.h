/*++

Module Name:

    arbitration.h

Abstract:

    The cluster's arbitration of one drive between two nodes, each a
    process with its own driver and key (tarn_clusternode), whatever
    target they share: the outcomes are the driver's, so they are the
    same on every target that keeps SPC-3 persistent reservations.

--*/

#pragma once

#include "child.h"

#include <gmock/gmock.h>

#include <string>

namespace tarntest {
namespace cluster {

constexpr const char *kKeyA = "A0000000000000A1";
constexpr const char *kKeyB = "B0000000000000B2";
constexpr const char *kGood = "category=2 status=0x00000000 srb=0x01 scsi=0x00";
constexpr const char *kConflict = "status=0xC0000185 srb=0x04 scsi=0x18";

// Node A (key kKeyA) and node B (kKeyB) arbitrate drive 0; `keysOfA` is
// what B's READ KEYS shows once A holds it, one key per path of A.
inline void ArbitrateDriveZero(Child &a, Child &b, const std::string &keysOfA)
{
    using testing::HasSubstr;
    using testing::Not;
    using testing::StartsWith;

    // A takes the drive: registered on every path, reservation type 6.
    EXPECT_EQ(a.Ask("reserve 0"), kGood);
    EXPECT_THAT(a.Ask("holder 0"), HasSubstr("holder=A0000000000000A1 type=6"));
    EXPECT_THAT(b.Ask("keys 0"), HasSubstr(keysOfA));
    EXPECT_THAT(a.Ask("write 0 7 alpha"), HasSubstr("status=0x00000000"));

    // B is fenced from the data, and its RESERVE is refused for the
    // conflict after the diagnostic reads, with nothing of B registered.
    EXPECT_THAT(b.Ask("write 0 7 beta"), HasSubstr(kConflict));
    EXPECT_THAT(b.Ask("read 0 7"), HasSubstr(kConflict));
    EXPECT_THAT(b.Ask("reserve 0"), HasSubstr(kConflict));
    EXPECT_THAT(b.Ask("keys 0"), Not(HasSubstr("B0000000000000B2")));
    // A release from a node that holds nothing succeeds and changes nothing.
    EXPECT_EQ(b.Ask("release 0"), kGood);
    EXPECT_THAT(a.Ask("holder 0"), HasSubstr("holder=A0000000000000A1"));

    // A lets go; B takes the drive and reads what A wrote.
    EXPECT_EQ(a.Ask("release 0"), kGood);
    EXPECT_THAT(a.Ask("holder 0"), HasSubstr("holder=none"));
    EXPECT_EQ(b.Ask("reserve 0"), kGood);
    EXPECT_THAT(b.Ask("read 0 7"), HasSubstr("data=alpha"));
    EXPECT_THAT(a.Ask("write 0 7 gamma"), HasSubstr(kConflict));
    EXPECT_THAT(a.Ask("reserve 0"), HasSubstr(kConflict));

    // A's bus reset breaks B's hold; B's next request meets the attention,
    // which MPIO retries as the driver asks, and B can take the drive again.
    // A reset carries no SRB.
    EXPECT_THAT(a.Ask("reset 0"), StartsWith("category=2 status=0x00000000"));
    EXPECT_THAT(a.Ask("holder 0"), HasSubstr("holder=none"));
    EXPECT_THAT(b.Ask("read 0 7"), HasSubstr("data=alpha"));
    EXPECT_EQ(b.Ask("reserve 0"), kGood);
    EXPECT_THAT(a.Ask("holder 1"), HasSubstr("holder=none"));
}

} // namespace cluster
} // namespace tarntest
