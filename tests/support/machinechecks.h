/*++

Module Name:

    machinechecks.h

Abstract:

    What every test of the user-mode kernel and the driver must leave
    behind: the test thread at PASSIVE_LEVEL holding no spin lock, and
    every live pool block's guard bytes intact.  A reboot would hide all
    three, so they are checked before one: by the fixtures' TearDown, and
    for tests without a fixture by a listener that runs when the test
    ends (before the result is printed, so the failure is the test's).

--*/

#pragma once

#include "hostkernel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarntest {

// Fails the running test for each rule the machine's state breaks.
// After a failure the machine is rebooted quietly, so the next test (or
// the fixture's own reboot) does not report the same fault again.
inline void CheckMachineAtTestEnd()
{
    bool broken = false;
    if (host::HeldSpinLocks() != 0) {   // and so at DISPATCH_LEVEL: one fault
        ADD_FAILURE() << "the test ends holding " << host::HeldSpinLocks() << " spin lock(s)";
        broken = true;
    } else if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ADD_FAILURE() << "the test ends at IRQL " << (int)KeGetCurrentIrql() << ", not PASSIVE_LEVEL";
        broken = true;
    }
    std::vector<std::string> damage;
    host::PoolVerify(&damage);
    for (const std::string &message : damage) {
        ADD_FAILURE() << "the test ends with damaged pool: " << message;
        broken = true;
    }
    if (broken) {
        host::SetVerifierHandler([](const std::string &) {});
        host::Reboot();
        host::SetVerifierHandler(nullptr);
    }
}

class MachineCheckListener : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo &) override { CheckMachineAtTestEnd(); }
};

// Listeners' end-of-test events run in reverse order of registration, so
// this one runs before the result printer's and its failures count.
inline const bool kMachineChecksInstalled =
    (testing::UnitTest::GetInstance()->listeners().Append(new MachineCheckListener), true);

} // namespace tarntest
