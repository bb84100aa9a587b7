// Pool, lookaside lists and failure injection of the user-mode kernel.
#include "core_testutil.h"

#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>

#include <atomic>
#include <set>
#include <thread>

using coretest::VerifierRecorder;
using testing::AllOf;
using testing::HasSubstr;

namespace {

constexpr ULONG kTarn = host::Tag("TARN");
constexpr ULONG kOther = host::Tag("Oth1");

TEST(CorePool, OutstandingBlocksAreReportedByTagSizeAndSerial)
{
    EXPECT_EQ(host::TagText(kTarn), "TARN");

    void *a = ExAllocatePoolWithTag(NonPagedPool, 24, kTarn);
    void *b = ExAllocatePoolWithTag(PagedPool, 100, kOther);
    void *c = ExAllocatePoolWithTag(NonPagedPool, 0, kTarn);   // zero bytes is a valid request
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(host::PoolOutstanding(), 3u);
    EXPECT_EQ(host::PoolOutstanding(kTarn), 2u);
    EXPECT_EQ(host::PoolOutstanding(kOther), 1u);

    ExFreePoolWithTag(a, kTarn);
    std::vector<host::PoolBlock> blocks = host::PoolBlocks();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].Address, b);
    EXPECT_EQ(blocks[0].Size, 100u);
    EXPECT_EQ(blocks[0].Tag, kOther);
    EXPECT_EQ(blocks[0].Type, PagedPool);
    EXPECT_EQ(blocks[1].Size, 0u);
    EXPECT_LT(blocks[0].Serial, blocks[1].Serial);

    std::string report = host::PoolReport();
    EXPECT_THAT(report, AllOf(HasSubstr("Oth1"), HasSubstr("100"), HasSubstr("TARN")));
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 2);
    EXPECT_THAT(report, testing::Not(HasSubstr(" 24 ")));

    ExFreePool(b);
    ExFreePoolWithTag(c, kTarn);
    EXPECT_EQ(host::PoolOutstanding(), 0u);
    EXPECT_EQ(host::PoolReport(), "");
}

// Aligned for the target, usable to the last byte, and not zeroed:
// drivers must initialise what they allocate.
TEST(CorePool, BlocksAreAlignedAndNotZeroed)
{
    for (SIZE_T size : {1u, 7u, 24u, 4096u}) {
        auto *p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, size, kTarn));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
        EXPECT_EQ(std::count(p, p + size, 0), 0);
        memset(p, 0x5A, size);
        ExFreePoolWithTag(p, kTarn);
    }
    void *aligned = ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 10, kTarn);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(aligned) % 64, 0u);
    ExFreePool(aligned);
}

TEST(CorePool, DoubleFreeIsAVerifierFailure)
{
    coretest::FastDeathTests();
    void *p = ExAllocatePoolWithTag(NonPagedPool, 16, kTarn);
    ExFreePoolWithTag(p, kTarn);
    EXPECT_DEATH(ExFreePoolWithTag(p, kTarn), "VERIFIER: ExFreePoolWithTag.*double free of the 'TARN' pool block");
}

// A double free names the block last freed at that address, however many
// frees came after it, and an address handed out again is no longer one.
TEST(CorePool, ADoubleFreeNamesTheLastBlockFreedAtItsAddress)
{
    VerifierRecorder verifier;
    host::PoolReuseFreedBlocks(true);
    void *first = ExAllocatePoolWithTag(NonPagedPool, 48, kTarn);
    ExFreePoolWithTag(first, kTarn);
    void *second = ExAllocatePoolWithTag(NonPagedPool, 48, host::Tag("Ddk "));
    ASSERT_EQ(second, first);
    host::PoolBlock block;
    ASSERT_TRUE(host::PoolBlockAt(second, 48, &block));
    for (int i = 0; i < 1000; i++) {
        ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 24, kTarn));
    }
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
    ExFreePoolWithTag(second, host::Tag("Ddk "));
    for (int i = 0; i < 1000; i++) {
        ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 24, kTarn));
    }
    ExFreePoolWithTag(second, host::Tag("Ddk "));
    EXPECT_THAT(verifier.One(), HasSubstr("double free of the 'Ddk ' pool block of 48 bytes (serial " +
                                          std::to_string(block.Serial) + ")"));
    host::PoolReuseFreedBlocks(false);
}

TEST(CorePool, FreeingUnknownOrInteriorAddressesOrByTheWrongTagIsAVerifierFailure)
{
    VerifierRecorder verifier;
    int local = 0;
    ExFreePool(&local);
    EXPECT_THAT(verifier.One(), HasSubstr("ExFreePool"));

    char *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 32, kTarn));
    ExFreePool(p + 8);
    EXPECT_THAT(verifier.One(), HasSubstr("inside the 'TARN' pool block of 32 bytes"));
    ExFreePoolWithTag(p, host::Tag("Tarn"));
    EXPECT_THAT(verifier.One(), AllOf(HasSubstr("ExFreePoolWithTag"), HasSubstr("'Tarn'"), HasSubstr("'TARN'")));
    EXPECT_EQ(host::PoolOutstanding(kTarn), 1u);   // the block itself is untouched
    ExFreePoolWithTag(p, kTarn);
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
}

// Writes one byte just outside a block: before it, after it, or both.
struct GuardCase {
    const char *Damage;   // as the verifier names it
    bool Before;
    bool After;
    POOL_TYPE Type;
};
const GuardCase kGuardCases[] = {
    {"overrun", false, true, NonPagedPool},
    {"underrun", true, false, NonPagedPool},
    {"underrun and overrun", true, true, NonPagedPool},
    {"underrun", true, false, NonPagedPoolCacheAligned},   // its guard keeps the block aligned
    {"overrun", false, true, PagedPool},
};

void Damage(const GuardCase &c, char *p, size_t size)
{
    if (c.Before) {
        p[-1] = 0;
    }
    if (c.After) {
        p[size] = 0;
    }
}

TEST(CorePool, DamagedGuardsAreCaughtAtTheFree)
{
    for (const GuardCase &c : kGuardCases) {
        SCOPED_TRACE(c.Damage);
        host::ResetMachine();
        VerifierRecorder verifier;
        char *p = static_cast<char *>(ExAllocatePoolWithTag(c.Type, 10, kTarn));
        Damage(c, p, 10);
        ExFreePoolWithTag(p, kTarn);
        EXPECT_THAT(verifier.One(),
                    AllOf(HasSubstr("ExFreePoolWithTag"), HasSubstr(std::string("pool ") + c.Damage + ":"),
                          HasSubstr("'TARN' block of 10 bytes")));
        EXPECT_EQ(host::PoolOutstanding(), 0u);
    }
}

// A block that is never freed: its damage is found by the sweep a test
// may run at any time, by the end-of-test check, and by a reboot.
TEST(CorePool, DamagedGuardsOfALiveBlockAreFoundBySweepTestEndAndReboot)
{
    enum Finder { Sweep, TestEnd, Reboot };
    for (const GuardCase &c : kGuardCases) {
        for (Finder finder : {Sweep, TestEnd, Reboot}) {
            SCOPED_TRACE(std::string(c.Damage) + " found by " + std::to_string(finder));
            host::ResetMachine();
            ExAllocatePoolWithTag(c.Type, 32, kTarn);
            char *p = static_cast<char *>(ExAllocatePoolWithTag(c.Type, 10, kTarn));
            Damage(c, p, 10);
            std::string expected = std::string("pool ") + c.Damage + ":";
            VerifierRecorder verifier;
            switch (finder) {
            case Sweep:
                EXPECT_EQ(host::PoolVerify(), 1u);
                EXPECT_THAT(verifier.One(), AllOf(HasSubstr(expected), HasSubstr("'TARN' block of 10 bytes (serial 2)"),
                                                  HasSubstr("still allocated")));
                EXPECT_EQ(host::PoolVerify(), 1u);   // a sweep repairs nothing
                host::Reboot();
                verifier.Take();
                break;
            case TestEnd:
                EXPECT_NONFATAL_FAILURE(tarntest::CheckMachineAtTestEnd(), expected);
                EXPECT_EQ(host::PoolOutstanding(), 0u);   // rebooted quietly after the report
                break;
            case Reboot:
                host::Reboot();
                EXPECT_THAT(verifier.One(), HasSubstr(expected));
                break;
            }
            EXPECT_THAT(verifier.Take(), testing::IsEmpty());
        }
    }
}

TEST(CorePool, IrqlRulesOfPool)
{
    VerifierRecorder verifier;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void *nonPaged = ExAllocatePoolWithTag(NonPagedPool, 8, kTarn);
    EXPECT_NE(nonPaged, nullptr);
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTarn), nullptr);
    EXPECT_THAT(verifier.One(), AllOf(HasSubstr("ExAllocatePoolWithTag"), HasSubstr("PagedPool")));
    KeLowerIrql(old);

    void *paged = ExAllocatePoolWithTag(PagedPool, 8, kTarn);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExFreePool(paged);
    EXPECT_THAT(verifier.One(), HasSubstr("paged pool"));
    ExFreePool(nonPaged);
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());

    KIRQL dispatch;
    KeRaiseIrql(HIGH_LEVEL, &dispatch);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTarn), nullptr);
    EXPECT_THAT(verifier.One(), HasSubstr("above DISPATCH_LEVEL"));
    ExFreePool(paged);
    EXPECT_THAT(verifier.One(), HasSubstr("above DISPATCH_LEVEL"));
    KeLowerIrql(dispatch);
    KeLowerIrql(old);
    ExFreePool(paged);
    EXPECT_EQ(host::PoolOutstanding(), 0u);
}

// A block another component handed over without promising its pool
// type may not be freed at DISPATCH_LEVEL, whatever it happens to be.
TEST(CorePool, AForeignBlockFreedAtDispatchLevelIsAVerifierFailure)
{
    VerifierRecorder verifier;
    const ULONG framework = host::Tag("MPIO");
    host::PoolForeignTag(framework);
    void *early = ExAllocatePoolWithTag(NonPagedPool, 8, framework);
    void *own = ExAllocatePoolWithTag(NonPagedPool, 8, kTarn);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExFreePool(early);
    EXPECT_THAT(verifier.One(), AllOf(HasSubstr("'MPIO'"), HasSubstr("another component")));
    ExFreePool(own);
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
    KeLowerIrql(old);
    ExFreePool(early);      // at PASSIVE_LEVEL it may go
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
    EXPECT_EQ(host::PoolOutstanding(), 0u);
}

// In the tests' reuse mode a freed block is the next block of its size,
// refilled and guarded as a new one; other sizes get other memory.
TEST(CorePool, ReuseModeHandsAFreedBlockToTheNextAllocationOfItsSize)
{
    host::PoolReuseFreedBlocks(true);
    auto *first = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 48, kTarn));
    ExFreePoolWithTag(first, kTarn);
    void *other = ExAllocatePoolWithTag(NonPagedPool, 40, kTarn);
    EXPECT_NE(other, first);
    auto *second = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 48, host::Tag("Ddk ")));
    EXPECT_EQ(second, first);
    EXPECT_EQ(second[0], 0xCD);
    host::PoolBlock block;
    ASSERT_TRUE(host::PoolBlockAt(second, 48, &block));
    EXPECT_EQ(block.Tag, host::Tag("Ddk "));
    ExFreePoolWithTag(second, host::Tag("Ddk "));
    ExFreePoolWithTag(other, kTarn);
    EXPECT_EQ(host::PoolVerify(), 0u);

    // Off again: freed memory is released, and reuse is off after a reset.
    host::PoolReuseFreedBlocks(false);
    host::ResetMachine();
    void *third = ExAllocatePoolWithTag(NonPagedPool, 48, kTarn);
    ExFreePoolWithTag(third, kTarn);
    EXPECT_EQ(host::PoolOutstanding(), 0u);
}

TEST(CorePool, FailNthFailsExactlyThatAttempt)
{
    void *before = ExAllocatePoolWithTag(NonPagedPool, 8, kTarn);
    uint64_t attempts = host::PoolAllocationCount();
    host::PoolFailNth(3);
    std::vector<void *> blocks{before};
    for (ULONG tag : {kTarn, kOther, kTarn, kTarn}) {
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, tag));
    }
    EXPECT_THAT(blocks, testing::ElementsAre(testing::NotNull(), testing::NotNull(), testing::NotNull(),
                                             testing::IsNull(), testing::NotNull()));
    EXPECT_EQ(host::PoolAllocationCount(), attempts + 4);   // the failed attempt counts too
    EXPECT_EQ(host::PoolOutstanding(), 4u);
    blocks.erase(blocks.begin() + 3);
    for (void *p : blocks) {
        ExFreePool(p);
    }
}

TEST(CorePool, FailTagFailsEveryAllocationOfThatTagUntilCleared)
{
    host::PoolFailTag(kOther);
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kOther), nullptr);
    }
    void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTarn);
    EXPECT_NE(p, nullptr);
    ExFreePool(p);

    // Injection survives a reboot (it is the test's setting, not kernel
    // state) but not a machine reset.
    host::Reboot();
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kOther), nullptr);
    host::ResetMachine();
    p = ExAllocatePoolWithTag(NonPagedPool, 8, kOther);
    EXPECT_NE(p, nullptr);
    ExFreePool(p);

    host::PoolFailTag(kOther);
    host::PoolFailNth(1);
    host::PoolClearFailures();
    p = ExAllocatePoolWithTag(NonPagedPool, 8, kOther);
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
}

// Pool holding a timer that is still set, or its DPC, may not be freed;
// once the timer is cancelled or has expired (one-shot), it may.
TEST(CorePool, FreeingPoolHoldingAnActiveTimerIsAVerifierFailure)
{
    VerifierRecorder verifier;
    struct Context {
        KTIMER Timer;
        KDPC Dpc;
    };
    Context *contexts[3];
    for (Context *&context : contexts) {
        context = static_cast<Context *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Context), kTarn));
        KeInitializeTimerEx(&context->Timer, NotificationTimer);
        KeInitializeDpc(&context->Dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    }
    for (int i = 0; i < 3; i++) {
        KeSetTimerEx(&contexts[i]->Timer, coretest::RelativeMs(i == 1 ? 1000 : 10), 0, &contexts[i]->Dpc);
    }
    EXPECT_TRUE(KeCancelTimer(&contexts[0]->Timer));
    host::ClockAdvance(10);   // the third expires
    ExFreePool(contexts[0]);
    ExFreePool(contexts[2]);
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
    ExFreePool(contexts[1]);
    EXPECT_THAT(verifier.One(), HasSubstr("freed pool containing an active timer"));
    EXPECT_EQ(host::PoolOutstanding(kTarn), 1u);   // the block stays

    // Nor pool holding the DPC of a timer that is set.
    KTIMER timer;
    auto *dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), kTarn));
    KeInitializeTimerEx(&timer, NotificationTimer);
    KeInitializeDpc(dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    KeSetTimerEx(&timer, coretest::RelativeMs(1), 50, dpc);
    ExFreePool(dpc);
    EXPECT_THAT(verifier.One(), HasSubstr("the DPC of an active timer"));
    EXPECT_TRUE(KeCancelTimer(&timer));
    ExFreePool(dpc);

    // Nor may a lookaside entry holding one go back to its list.
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, sizeof(Context), kTarn, 0);
    auto *entry = static_cast<Context *>(ExAllocateFromNPagedLookasideList(&list));
    KeInitializeTimerEx(&entry->Timer, NotificationTimer);
    KeSetTimerEx(&entry->Timer, coretest::RelativeMs(10), 0, nullptr);
    ExFreeToNPagedLookasideList(&list, entry);
    EXPECT_THAT(verifier.One(), HasSubstr("freed an entry containing an active timer"));

    EXPECT_TRUE(KeCancelTimer(&entry->Timer));
    EXPECT_TRUE(KeCancelTimer(&contexts[1]->Timer));
    ExFreeToNPagedLookasideList(&list, entry);
    ExDeleteNPagedLookasideList(&list);
    ExFreePool(contexts[1]);
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
    EXPECT_EQ(host::PoolOutstanding(), 0u);
}

//
// Lookaside lists.
//

TEST(CoreLookaside, EntriesArePoolBlocksOfTheListAndAreReused)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 48, kTarn, 0);

    void *a = ExAllocateFromNPagedLookasideList(&list);
    ASSERT_NE(a, nullptr);
    std::vector<host::PoolBlock> blocks = host::PoolBlocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].Tag, kTarn);
    EXPECT_EQ(blocks[0].Size, 48u);

    ExFreeToNPagedLookasideList(&list, a);
    uint64_t attempts = host::PoolAllocationCount();
    void *again = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(again, a);                                     // served from the cache
    EXPECT_EQ(host::PoolAllocationCount(), attempts);        // without touching pool
    ExFreeToNPagedLookasideList(&list, again);

    EXPECT_EQ(host::PoolOutstanding(kTarn), 1u);   // cached entries stay allocated
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(host::PoolOutstanding(), 0u);
}

TEST(CoreLookaside, DamageToAHandedOutEntryIsFoundBySweepAndWhenTheListTakesItBack)
{
    VerifierRecorder verifier;
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 48, kTarn, 0);
    char *entry = static_cast<char *>(ExAllocateFromNPagedLookasideList(&list));
    entry[48] = 0;
    EXPECT_EQ(host::PoolVerify(), 1u);
    EXPECT_THAT(verifier.One(), AllOf(HasSubstr("pool overrun"), HasSubstr("'TARN' block of 48 bytes")));

    ExFreeToNPagedLookasideList(&list, entry);
    EXPECT_THAT(verifier.One(), AllOf(HasSubstr("ExFreeToNPagedLookasideList"), HasSubstr("pool overrun")));
    EXPECT_EQ(host::PoolVerify(), 0u);   // reported once; the cached entry is whole again
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), entry);

    entry[-1] = 0;   // and an entry a list took over from pool
    ExFreeToNPagedLookasideList(&list, entry);
    char *foreign = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 64, kTarn));
    foreign[-3] = 0;
    ExFreeToNPagedLookasideList(&list, foreign);
    std::vector<std::string> found = verifier.Take();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_THAT(found[0], HasSubstr("pool underrun"));
    EXPECT_THAT(found[1], AllOf(HasSubstr("pool underrun"), HasSubstr("block of 64 bytes")));
    ExDeleteNPagedLookasideList(&list);
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
}

TEST(CoreLookaside, CachesAtMostItsDepth)
{
    const struct {
        USHORT Depth;
        size_t Entries, Cached;
    } cases[] = {{3, 10, 3}, {0, 2, 2}};   // depth 0: the kernel's default, more than two
    for (const auto &c : cases) {
        host::ResetMachine();
        NPAGED_LOOKASIDE_LIST list;
        ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 16, kTarn, c.Depth);
        std::vector<void *> entries;
        for (size_t i = 0; i < c.Entries; i++) {
            entries.push_back(ExAllocateFromNPagedLookasideList(&list));
        }
        for (void *entry : entries) {
            ExFreeToNPagedLookasideList(&list, entry);
        }
        EXPECT_EQ(host::PoolOutstanding(kTarn), c.Cached) << "depth " << c.Depth;
        ExDeleteNPagedLookasideList(&list);
        EXPECT_EQ(host::PoolOutstanding(kTarn), 0u);
    }
}

TEST(CoreLookaside, UseOfAnUninitialisedOrDeletedListIsAVerifierFailure)
{
    NPAGED_LOOKASIDE_LIST list;
    VerifierRecorder verifier;
    memset(&list, 0xAB, sizeof(list));
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    EXPECT_THAT(verifier.One(), HasSubstr("ExAllocateFromNPagedLookasideList"));

    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 16, kTarn, 0);
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 16, kTarn, 0);
    EXPECT_THAT(verifier.One(), HasSubstr("already initialised"));
    ExDeleteNPagedLookasideList(&list);
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());

    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    EXPECT_THAT(verifier.One(), HasSubstr("not initialised (or was deleted)"));
    ExDeleteNPagedLookasideList(&list);
    EXPECT_THAT(verifier.One(), HasSubstr("ExDeleteNPagedLookasideList"));
}

TEST(CoreLookaside, FreeingPoolHoldingALiveListIsAVerifierFailure)
{
    VerifierRecorder verifier;
    auto *list = static_cast<PNPAGED_LOOKASIDE_LIST>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(NPAGED_LOOKASIDE_LIST), kOther));
    ExInitializeNPagedLookasideList(list, nullptr, nullptr, 0, 16, kTarn, 0);
    ExFreePool(list);
    EXPECT_THAT(verifier.One(), HasSubstr("lookaside list"));
    ExDeleteNPagedLookasideList(list);
    ExFreePool(list);
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
}

// An entry belongs to one list at a time, to none once freed as pool,
// and never to a list of another tag.
TEST(CoreLookaside, ForeignAndDoubleFreesAreVerifierFailures)
{
    VerifierRecorder verifier;
    NPAGED_LOOKASIDE_LIST first;
    NPAGED_LOOKASIDE_LIST second;
    ExInitializeNPagedLookasideList(&first, nullptr, nullptr, 0, 32, kTarn, 4);
    ExInitializeNPagedLookasideList(&second, nullptr, nullptr, 0, 32, kTarn, 4);

    // Handed out, then freed as pool (allowed): the list no longer takes it.
    void *entry = ExAllocateFromNPagedLookasideList(&first);
    ExFreePool(entry);
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
    ExFreeToNPagedLookasideList(&first, entry);
    EXPECT_THAT(verifier.One(), HasSubstr("not an allocated pool block"));

    // Cached by a list: neither freed as pool nor taken by any list again.
    entry = ExAllocateFromNPagedLookasideList(&first);
    ExFreeToNPagedLookasideList(&first, entry);
    ExFreeToNPagedLookasideList(&first, entry);
    EXPECT_THAT(verifier.One(), HasSubstr("double free"));
    ExFreePool(entry);
    EXPECT_THAT(verifier.One(), AllOf(HasSubstr("ExFreePool"), HasSubstr("cached on lookaside list")));
    ExFreeToNPagedLookasideList(&second, entry);
    EXPECT_THAT(verifier.One(), HasSubstr("double free; the entry is cached on lookaside list"));

    // Handed out by one list, it may go to another of its tag and size, which then owns it.
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&first), entry);
    ExFreeToNPagedLookasideList(&second, entry);
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
    ExFreeToNPagedLookasideList(&first, entry);
    EXPECT_THAT(verifier.One(), HasSubstr("double free; the entry is cached on lookaside list"));

    void *foreign = ExAllocatePoolWithTag(NonPagedPool, 32, kOther);
    ExFreeToNPagedLookasideList(&first, foreign);
    EXPECT_THAT(verifier.One(), AllOf(HasSubstr("'Oth1'"), HasSubstr("'TARN'")));
    ExFreePool(foreign);
    ExDeleteNPagedLookasideList(&first);
    ExDeleteNPagedLookasideList(&second);
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
    EXPECT_EQ(host::PoolOutstanding(), 0u);
}

TEST(CoreLookaside, AListForgottenByARebootStaysDeadWhenANewListTakesItsPlace)
{
    NPAGED_LOOKASIDE_LIST stale;
    NPAGED_LOOKASIDE_LIST fresh;
    ExInitializeNPagedLookasideList(&stale, nullptr, nullptr, 0, 16, kTarn, 0);
    host::Reboot();
    ExInitializeNPagedLookasideList(&fresh, nullptr, nullptr, 0, 16, kOther, 0);
    ASSERT_EQ(fresh.HostList, stale.HostList);   // the host reuses the forgotten list's state

    VerifierRecorder verifier;
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&stale), nullptr);
    EXPECT_THAT(verifier.One(), HasSubstr("not initialised"));
    void *entry = ExAllocateFromNPagedLookasideList(&fresh);
    ExFreeToNPagedLookasideList(&stale, entry);
    EXPECT_THAT(verifier.One(), HasSubstr("not initialised"));
    ExFreeToNPagedLookasideList(&fresh, entry);
    ExDeleteNPagedLookasideList(&fresh);
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
    EXPECT_EQ(host::PoolOutstanding(), 0u);
}

std::atomic<int> g_customAllocations{0};
std::atomic<int> g_customFrees{0};

TEST(CoreLookaside, CustomRoutinesReplacePool)
{
    g_customAllocations = 0;
    g_customFrees = 0;
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(
        &list,
        [](POOL_TYPE, SIZE_T size, ULONG) -> PVOID {
            g_customAllocations++;
            return malloc(size);
        },
        [](PVOID p) {
            g_customFrees++;
            free(p);
        },
        0, 20, kTarn, 1);
    void *a = ExAllocateFromNPagedLookasideList(&list);
    void *b = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(g_customAllocations, 2);
    EXPECT_EQ(host::PoolOutstanding(), 0u);
    ExFreeToNPagedLookasideList(&list, a);   // cached (depth 1)
    ExFreeToNPagedLookasideList(&list, b);   // beyond the depth: handed to Free
    EXPECT_EQ(g_customFrees, 1);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(g_customFrees, 2);
}

TEST(CoreLookaside, ConcurrentUseAtDispatchHandsOutEachEntryToOneThreadAtATime)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 64, kTarn, 8);
    constexpr int kThreads = 8;
    constexpr int kRounds = 2000;
    std::atomic<int> corrupted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            for (int round = 0; round < kRounds; round++) {
                void *held[3];
                for (void *&entry : held) {
                    entry = ExAllocateFromNPagedLookasideList(&list);
                    memset(entry, t + 1, 64);
                }
                std::this_thread::yield();
                for (void *entry : held) {
                    const auto *bytes = static_cast<const unsigned char *>(entry);
                    for (int i = 0; i < 64; i++) {
                        if (bytes[i] != t + 1) {
                            corrupted++;
                            break;
                        }
                    }
                    ExFreeToNPagedLookasideList(&list, entry);
                }
            }
            KeLowerIrql(old);
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(corrupted, 0);
    EXPECT_LE(host::PoolOutstanding(kTarn), 8u);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(host::PoolOutstanding(), 0u);
}

TEST(CorePool, ConcurrentAllocationsAreAllTracked)
{
    constexpr int kThreads = 8;
    constexpr int kPerThread = 500;
    std::vector<std::vector<void *>> kept(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; i++) {
                void *p = ExAllocatePoolWithTag(NonPagedPool, 16 + i % 7, kTarn);
                if (i % 2 == 0) {
                    ExFreePoolWithTag(p, kTarn);
                } else {
                    kept[t].push_back(p);
                }
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(host::PoolOutstanding(kTarn), static_cast<size_t>(kThreads * kPerThread / 2));
    std::set<uint64_t> serials;
    for (const host::PoolBlock &block : host::PoolBlocks()) {
        serials.insert(block.Serial);
    }
    EXPECT_EQ(serials.size(), static_cast<size_t>(kThreads * kPerThread / 2));
    for (auto &list : kept) {
        for (void *p : list) {
            ExFreePoolWithTag(p, kTarn);
        }
    }
    EXPECT_EQ(host::PoolOutstanding(), 0u);
}

TEST(CoreReboot, RebootForgetsPoolWithoutReportingIt)
{
    ExAllocatePoolWithTag(NonPagedPool, 24, kTarn);
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 16, kTarn, 0);
    ExFreeToNPagedLookasideList(&list, ExAllocateFromNPagedLookasideList(&list));
    ASSERT_EQ(host::PoolOutstanding(), 2u);

    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    host::Reboot();
    std::string printed = testing::internal::GetCapturedStderr() + testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "");
    EXPECT_EQ(host::PoolOutstanding(), 0u);
    EXPECT_EQ(host::PoolReport(), "");
    EXPECT_EQ(host::PoolAllocationCount(), 0u);

    // The list did not survive the reboot.
    VerifierRecorder verifier;
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    EXPECT_THAT(verifier.One(), HasSubstr("not initialised"));
}

} // namespace
