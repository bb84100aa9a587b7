// The low-resources sweep of the user-mode kernel: which calls are the
// driver's sites, in what order, and that the chosen one fails as
// injection fails it.
#include "core_testutil.h"

namespace {

constexpr ULONG kTarn = host::Tag("TARN");

// Every failable kind the driver reaches inside a DriverCall is a site;
// the same calls made by the host outside one, and the block a work item
// takes for itself, are not.
TEST(CoreSweep, CountsOnlyTheDriversOwnCallsInOrder)
{
    host::ResetMachine();
    PDEVICE_OBJECT device = host::CreateDevice(u"\\Device\\Sweep", nullptr);
    host::SiteSweepStart(0);
    void *outside = ExAllocatePoolWithTag(NonPagedPool, 8, kTarn);
    void *block = nullptr;
    PIO_WORKITEM item = nullptr;
    {
        host::DriverCall call("sweep test");
        block = ExAllocatePoolWithTag(NonPagedPool, 16, kTarn);
        item = IoAllocateWorkItem(device);
    }
    host::SiteSweepFigures figures = host::SiteSweepStop();
    EXPECT_EQ(figures.Reached, 2u);
    EXPECT_FALSE(figures.Failed);
    ASSERT_EQ(figures.ReachedByKind.size(), 2u);
    EXPECT_EQ(figures.ReachedByKind[0].first, "pool 'TARN'");
    EXPECT_EQ(figures.ReachedByKind[1].first, "IoAllocateWorkItem");
    IoFreeWorkItem(item);
    ExFreePoolWithTag(block, kTarn);
    ExFreePoolWithTag(outside, kTarn);
    host::DeleteDevice(device);
}

TEST(CoreSweep, FailsTheChosenSiteAsInjectionFailsIt)
{
    host::ResetMachine();
    PDEVICE_OBJECT device = host::CreateDevice(u"\\Device\\Sweep", nullptr);
    {
        host::DriverCall call("sweep test");
        host::SiteSweepStart(2);
        void *first = ExAllocatePoolWithTag(NonPagedPool, 16, kTarn);
        EXPECT_EQ(IoAllocateWorkItem(device), nullptr);
        void *third = ExAllocatePoolWithTag(NonPagedPool, 32, kTarn);
        host::SiteSweepFigures figures = host::SiteSweepStop();
        EXPECT_NE(first, nullptr);
        EXPECT_NE(third, nullptr);
        EXPECT_EQ(figures.Reached, 3u);
        EXPECT_TRUE(figures.Failed);
        EXPECT_EQ(figures.FailedSite, "IoAllocateWorkItem");
        EXPECT_EQ(host::InjectedCallFailures(host::Call::IoAllocateWorkItem), 1u);

        // A pool site names its tag and size; nothing fails once stopped.
        host::SiteSweepStart(1);
        EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 40, kTarn), nullptr);
        EXPECT_EQ(host::SiteSweepStop().FailedSite, "pool 'TARN' 40 bytes");
        void *after = ExAllocatePoolWithTag(NonPagedPool, 40, kTarn);
        EXPECT_NE(after, nullptr);
        ExFreePoolWithTag(after, kTarn);
        ExFreePoolWithTag(first, kTarn);
        ExFreePoolWithTag(third, kTarn);
    }
    host::DeleteDevice(device);
}

} // namespace
