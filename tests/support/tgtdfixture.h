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
// The initiator names the tests log in with: the sessions' own, and the
// hosts' (1 and 2, and 255 for a stray host) as IscsiTarget names them.
constexpr const char *kTgtdInitiator = "iqn.2026-12.test.tarn:host";

struct TgtdFixture {
    TempDirectory Directory{"tgtd"};
    std::unique_ptr<iscsi::Tgtd> Daemon;   // destroyed before the directory
    iscsi::TgtdAccess Access = iscsi::Tgtd::NewAccess({std::string(kTgtdInitiator), std::string(kTgtdInitiator) + "1",
                                                       std::string(kTgtdInitiator) + "2",
                                                       std::string(kTgtdInitiator) + "255"});

    // The target's account in a host's options (iscsi::IscsiOptions; a
    // template, so tests that speak libiscsi directly need not include
    // the SCSI definitions that clash with its own).
    template <typename Options> void Admit(Options *options) const
    {
        options->ChapUser = Access.User;
        options->ChapSecret = Access.Secret;
    }

    // Empty on success, otherwise why tgtd or the target did not come up.
    std::string Start(const std::vector<iscsi::TgtdLogicalUnit> &units)
    {
        std::string error;
        if (Directory.Path().empty()) {
            return "no temporary directory";
        }
        Daemon = iscsi::Tgtd::Start(Directory.Path(), kTgtdPortals, &error);
        if (Daemon && !Daemon->AddTarget(kTgtdTargetId, kTgtdTargetName, units, Access, &error)) {
            Daemon.reset();
        }
        return Daemon ? std::string() : error;
    }
};

} // namespace tarntest
