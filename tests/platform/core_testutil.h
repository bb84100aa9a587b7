// Shared by the core_*.cpp tests of the user-mode kernel.
#pragma once

#include "hostinternal.h"
#include "machinechecks.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace coretest {

// Records verifier failures instead of aborting, for the checks whose
// aftermath is itself worth a look; the death tests cover the default.
class VerifierRecorder {
public:
    VerifierRecorder()
    {
        std::lock_guard<std::mutex> lock(Mutex());
        Messages().clear();
        host::SetVerifierHandler(&Record);
    }
    ~VerifierRecorder() { host::SetVerifierHandler(nullptr); }

    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> lock(Mutex());
        std::vector<std::string> out;
        out.swap(Messages());
        return out;
    }
    // The single failure recorded since the last Take (empty when none,
    // a test failure when several).
    std::string One()
    {
        std::vector<std::string> all = Take();
        EXPECT_LE(all.size(), 1u) << (all.empty() ? "" : all[0] + " ... " + all.back());
        return all.empty() ? std::string() : all[0];
    }

private:
    static std::mutex &Mutex()
    {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<std::string> &Messages()
    {
        static std::vector<std::string> messages;
        return messages;
    }
    static void Record(const std::string &message)
    {
        std::lock_guard<std::mutex> lock(Mutex());
        Messages().push_back(message);
    }
};

// Every test of the platform program starts on a freshly reset machine,
// whatever the test before it left behind.
class FreshMachineListener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &) override { host::ResetMachine(); }
};
inline const bool kFreshMachineInstalled =
    (testing::UnitTest::GetInstance()->listeners().Append(new FreshMachineListener), true);

// A due time the given milliseconds from now.
inline LARGE_INTEGER RelativeMs(int64_t ms)
{
    LARGE_INTEGER due;
    due.QuadPart = -ms * TIME_UNITS_PER_MS;
    return due;
}

// Death tests fork without re-executing the program: the 32-bit build's
// tests may run under a user-mode emulator that cannot re-execute it.
// The core tests start no thread that outlives its test, so the process
// is single-threaded whenever a death test forks.
inline void FastDeathTests()
{
    testing::FLAGS_gtest_death_test_style = "fast";
}

} // namespace coretest
