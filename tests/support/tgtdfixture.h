/*++

Module Name:

    tgtdfixture.h

Abstract:

    tgtd for a test: a directory of its own and a daemon with two portals
    and target 1, stopped and removed when the test ends.  A machine
    without tgtd fails the test rather than skipping it: the tests of the
    real target must run wherever the suite does.

--*/

#pragma once

#include "tempdirectory.h"

#include "tgtd.h"

#include <memory>
#include <string>
#include <vector>

namespace tarntest {

constexpr const char *kTgtdTargetName = "iqn.2026-12.test.tarn:array";
constexpr int kTgtdTargetId = 1;
constexpr size_t kTgtdPortals = 2;

struct TgtdFixture {
    TempDirectory Directory{"tgtd"};
    std::unique_ptr<array::Tgtd> Daemon;   // destroyed before the directory

    // Empty on success, otherwise why tgtd or the target did not come up.
    std::string Start(const std::vector<array::TgtdLogicalUnit> &units)
    {
        std::string error;
        if (Directory.Path().empty()) {
            return "no temporary directory";
        }
        Daemon = array::Tgtd::Start(Directory.Path(), kTgtdPortals, &error);
        if (Daemon && !Daemon->AddTarget(kTgtdTargetId, kTgtdTargetName, units, &error)) {
            Daemon.reset();
        }
        return Daemon ? std::string() : error;
    }
};

} // namespace tarntest
