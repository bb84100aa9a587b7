// Drive and path records: list discipline on both lists, lookups by
// serial and by identity, the labels, the snapshot of healthy paths and
// what releasing records gives back.
#include "driverfixture.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace tarntest {
namespace {

class RecordsTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        MinimalConfiguration();
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        context_ = Context();
        baseline_ = host::PoolOutstanding();
        lock_.emplace(context_);     // the record routines run under DsmLock
    }

    void TearDown() override
    {
        lock_.reset();
        DriverTest::TearDown();
    }

    // Path records are made without the lock (MPIO may block).
    PPDO_ENTRY NewPath(const char *serial, UCHAR port, UCHAR pathId, UCHAR target, UCHAR lun)
    {
        lock_.reset();
        PDEVICE_OBJECT device = host::CreateDevice(u"", nullptr);
        host_->SetScsiAddress(device, SCSI_ADDRESS{sizeof(SCSI_ADDRESS), port, pathId, target, lun});
        PPDO_ENTRY path = nullptr;
        EXPECT_EQ(CreatePdoEntry(&path, context_, device, device, serial), STATUS_SUCCESS);
        lock_.emplace(context_);
        return path;
    }

    PLD_ENTRY NewDrive(const char *serial)
    {
        size_t length = strlen(serial);
        PCHAR text = static_cast<PCHAR>(DsmAllocatePool(NonPagedPool, length + 1));
        memcpy(text, serial, length);
        PLD_ENTRY drive = nullptr;
        EXPECT_EQ(CreateLdEntry(&drive, context_, text, (ULONG)length, TARN_LB_POLICY_FAILOVER), STATUS_SUCCESS);
        return drive;
    }

    // Takes the drive and these paths off the lists and frees them.
    void Drop(PLD_ENTRY drive, const std::vector<PPDO_ENTRY> &paths)
    {
        drive->currentPath = nullptr;
        for (PPDO_ENTRY path : paths) {
            if (IsPdoEntryValid(context_, path)) {
                RemovePdoEntry(context_, drive, path);
                EXPECT_FALSE(IsPdoEntryValid(context_, path));
            }
            FreePdoEntry(path);
        }
        RemoveLdEntry(context_, drive);
        EXPECT_FALSE(IsLdEntryValid(context_, drive));
        FreeLdEntry(drive);
    }

    std::vector<PPDO_ENTRY> AllPaths() const
    {
        std::vector<PPDO_ENTRY> paths;
        for (PLIST_ENTRY link = context_->PathRecordList.Flink; link != &context_->PathRecordList;
             link = link->Flink) {
            paths.push_back(CONTAINING_RECORD(link, PDO_ENTRY, DsmLink));
        }
        return paths;
    }

    PDSM_CONTEXT context_ = nullptr;
    size_t baseline_ = 0;
    std::optional<DsmLockHeld> lock_;
};

TEST_F(RecordsTest, PathsJoinBothListsInOrderAndLeaveThemCleanly)
{
    PLD_ENTRY drive = NewDrive("6001A3B7");
    EXPECT_STREQ(drive->ldIdString, "[001]");
    EXPECT_EQ(drive->LdIdStringLen, 5u);
    EXPECT_EQ(drive->currentPath, nullptr);
    EXPECT_FALSE(drive->ReservationsInUse);
    const SCSI_ADDRESS zero{};
    EXPECT_EQ(memcmp(&drive->PreferredPathAddress, &zero, sizeof(zero)), 0);
    EXPECT_FALSE(IsLdEntryValid(context_, drive));     // not added yet
    AddLdEntry(context_, drive);
    EXPECT_TRUE(IsListEmpty(&drive->PathList));
    PPDO_ENTRY first = NewPath("6001A3B7", 2, 0, 1, 31);
    PPDO_ENTRY second = NewPath("6001A3B7", 3, 0, 0, 31);
    EXPECT_STREQ(first->PathIdString, "[001 2:0:1:1f]");
    EXPECT_EQ(first->PathIdStringLen, 14u);
    EXPECT_FALSE(IsPdoEntryValid(context_, first));

    AddPdoEntry(context_, drive, first);
    AddPdoEntry(context_, drive, second);
    EXPECT_EQ(drive->NumberPaths, 2u);
    EXPECT_EQ(PathsOf(drive), (std::vector<PPDO_ENTRY>{first, second}));
    EXPECT_EQ(AllPaths(), (std::vector<PPDO_ENTRY>{first, second}));
    EXPECT_EQ(first->LdEntry, drive);
    EXPECT_TRUE(IsPdoEntryValid(context_, second));

    RemovePdoEntry(context_, drive, first);
    EXPECT_EQ(drive->NumberPaths, 1u);
    EXPECT_EQ(PathsOf(drive), std::vector<PPDO_ENTRY>{second});
    EXPECT_EQ(AllPaths(), std::vector<PPDO_ENTRY>{second});
    EXPECT_FALSE(IsPdoEntryValid(context_, first));
    EXPECT_EQ(first->LdEntry, drive);       // left as it was
    FreePdoEntry(first);

    Drop(drive, {second});
    // The addresses MPIO allocated and the labels went with their records;
    // the context keeps its path index.
    EXPECT_EQ(host::PoolOutstanding(), baseline_ + 1) << host::PoolReport();
}

// Serials that are prefixes of each other are different logical units,
// whichever of them was stored first.
// A path record keeps MPIO's answer in a copy of its own; MPIO's block,
// whose pool type nothing promises, is freed when the record is made,
// at PASSIVE_LEVEL, never under the lock when the path goes.
TEST_F(RecordsTest, PathsKeepTheirOwnCopyOfTheirScsiAddress)
{
    PPDO_ENTRY path = NewPath("600A0B80001122334455", 2, 0, 1, 3);
    EXPECT_EQ(host::PoolOutstanding(host::Tag("MPIO")), 0u) << host::PoolReport();
    EXPECT_EQ(path->ScsiAddress, &path->Address);
    const SCSI_ADDRESS expected = {sizeof(SCSI_ADDRESS), 2, 0, 1, 3};
    EXPECT_EQ(memcmp(&path->Address, &expected, sizeof(expected)), 0);
    FreePdoEntry(path);     // under DsmLock: only the driver's own pool is freed
}

TEST_F(RecordsTest, DrivesAreFoundByTheirWholeSerialOnly)
{
    struct {
        const char *Stored[2];
    } orders[] = {{{"600A0B80", "600A0B8000"}}, {{"600A0B8000", "600A0B80"}}};
    for (const auto &order : orders) {
        SCOPED_TRACE(order.Stored[0]);
        PLD_ENTRY first = NewDrive(order.Stored[0]);
        AddLdEntry(context_, first);
        // Only the first drive is stored: a longer or shorter text is not it.
        EXPECT_EQ(FindLdEntry(context_, order.Stored[1]), nullptr);
        PLD_ENTRY second = NewDrive(order.Stored[1]);
        AddLdEntry(context_, second);

        EXPECT_EQ(FindLdEntry(context_, order.Stored[0]), first);
        EXPECT_EQ(FindLdEntry(context_, order.Stored[1]), second);
        EXPECT_EQ(FindLdEntry(context_, "600A0B80FF"), nullptr);
        EXPECT_EQ(FindLdEntry(context_, "600A0B8"), nullptr);
        EXPECT_EQ(FindLdEntry(context_, "600a0b80"), nullptr);
        EXPECT_EQ(FindLdEntry(context_, "700A0B80"), nullptr);

        Drop(first, {});
        Drop(second, {});
    }
}

TEST_F(RecordsTest, SnapshotHoldsHealthyPathsCurrentFirst)
{
    PLD_ENTRY drive = NewDrive("6001A3B7");
    AddLdEntry(context_, drive);
    PPDO_ENTRY paths[3];
    const ULONG health[3] = {PDO_HEALTH_HEALTHY, PDO_HEALTH_FAILING, PDO_HEALTH_HEALTHY};
    for (int i = 0; i < 3; i++) {
        paths[i] = NewPath("6001A3B7", (UCHAR)(2 + i), 0, 0, 0);
        paths[i]->HealthState = health[i];
        paths[i]->TargetObject = host::CreateDevice(u"", nullptr);
        AddPdoEntry(context_, drive, paths[i]);
    }
    drive->currentPath = paths[2];

    LIST_ENTRY snapshot;
    EXPECT_TRUE(BuildDeviceObjectList(drive, &snapshot));
    std::vector<PDEVICE_OBJECT_ENTRY> entries;
    for (PLIST_ENTRY link = snapshot.Flink; link != &snapshot; link = link->Flink) {
        entries.push_back(CONTAINING_RECORD(link, DEVICE_OBJECT_ENTRY, Link));
    }
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]->DeviceObject, paths[2]->TargetObject);
    EXPECT_STREQ(entries[0]->pathIdString, "[001 4:0:0:0]");
    EXPECT_EQ(entries[1]->DeviceObject, paths[0]->TargetObject);
    // The path may be removed while the snapshot is used: it holds its devices.
    EXPECT_EQ(host::ObjectReferences(paths[2]->TargetObject), 1);
    EXPECT_EQ(host::ObjectReferences(paths[1]->TargetObject), 0);

    // Out of memory after the first entry: the snapshot keeps what it built.
    FreeDeviceObjectList(&snapshot);
    EXPECT_TRUE(IsListEmpty(&snapshot));
    host::PoolFailNth(2);
    EXPECT_FALSE(BuildDeviceObjectList(drive, &snapshot));
    host::PoolClearFailures();
    EXPECT_EQ(snapshot.Flink->Flink, &snapshot);
    FreeDeviceObjectList(&snapshot);
    EXPECT_EQ(host::ObjectReferences(paths[2]->TargetObject), 0);

    for (PPDO_ENTRY path : paths) {
        host::DeleteDevice(path->TargetObject);
    }
    Drop(drive, {paths[0], paths[1], paths[2]});
    EXPECT_EQ(host::PoolOutstanding(), baseline_ + 1) << host::PoolReport();
}

// The identifier check answers from an index.  Many more inserts than
// the table has slots while it cannot grow, then more with memory back:
// degraded, it walks the list; the rebuild is sized from the list, not
// from the count the degraded index kept; removed slots are reused.
// Whatever the index went through, its answer is the path list's.
TEST_F(RecordsTest, IdentifierCheckAlwaysAgreesWithThePathList)
{
    PLD_ENTRY drive = NewDrive("6001A3B7");
    AddLdEntry(context_, drive);
    std::vector<PPDO_ENTRY> paths;
    for (int i = 0; i < 80; i++) {
        paths.push_back(NewPath("6001A3B7", (UCHAR)(i / 16), 0, (UCHAR)(i % 16), 0));
    }
    auto agrees = [&] {
        std::vector<PPDO_ENTRY> listed = AllPaths();
        for (PPDO_ENTRY path : paths) {
            bool onList = std::find(listed.begin(), listed.end(), path) != listed.end();
            if ((IsPdoEntryValid(context_, path) != FALSE) != onList) {
                return false;
            }
        }
        return IsPdoEntryValid(context_, reinterpret_cast<PPDO_ENTRY>(drive)) == FALSE &&
               IsPdoEntryValid(context_, nullptr) == FALSE;
    };
    AddPdoEntry(context_, drive, paths[0]);
    ASSERT_LT(context_->PathIndex.Capacity, 64u);

    host::PoolFailTag(kTarnTag);
    for (int i = 1; i < 70; i++) {
        AddPdoEntry(context_, drive, paths[i]);
    }
    host::PoolClearFailures();
    EXPECT_TRUE(context_->PathIndex.Degraded != FALSE);
    EXPECT_TRUE(agrees()) << "a degraded index walks the list";
    for (int i = 70; i < 80; i++) {
        AddPdoEntry(context_, drive, paths[i]);
    }
    EXPECT_TRUE(context_->PathIndex.Degraded == FALSE) << "the next insert rebuilt it";
    EXPECT_EQ(context_->PathIndex.Count, 80u);
    EXPECT_GE(context_->PathIndex.Capacity, 160u);
    EXPECT_TRUE(agrees());

    for (size_t i = 0; i < paths.size(); i += 2) {
        RemovePdoEntry(context_, drive, paths[i]);
    }
    EXPECT_TRUE(agrees());
    for (size_t i = 0; i < 10; i += 2) {
        AddPdoEntry(context_, drive, paths[i]);
    }
    EXPECT_TRUE(agrees());

    Drop(drive, paths);
    EXPECT_TRUE(IsListEmpty(&context_->PathRecordList));
    EXPECT_EQ(context_->PathIndex.Count, 0u);
}

// A request checks its identifier twice, under two holds of the lock:
// the second check starts from the slot the first found.  Whatever the
// index went through in between (records removed, their slots reused,
// the table rebuilt or degraded), both answers are the path list's, and
// the drive they give is the path's own.
TEST_F(RecordsTest, RepeatedIdentifierCheckGivesThePathsDrive)
{
    PLD_ENTRY drives[2] = {NewDrive("6001A3B7"), NewDrive("6001A3C8")};
    AddLdEntry(context_, drives[0]);
    AddLdEntry(context_, drives[1]);
    std::vector<PPDO_ENTRY> paths;
    for (int i = 0; i < 60; i++) {
        paths.push_back(NewPath(i % 2 ? "6001A3C8" : "6001A3B7", (UCHAR)(i / 16), 0, (UCHAR)(i % 16), 0));
    }
    std::vector<ULONG> firstSlots(paths.size(), DSM_PATH_NO_SLOT);
    auto agrees = [&] {
        std::vector<PPDO_ENTRY> listed = AllPaths();
        for (size_t i = 0; i < paths.size(); i++) {
            bool onList = std::find(listed.begin(), listed.end(), paths[i]) != listed.end();
            PLD_ENTRY expected = onList ? drives[i % 2] : nullptr;
            // The slot an earlier check found, none, and slots that never were.
            for (ULONG hint : {firstSlots[i], DSM_PATH_NO_SLOT, context_->PathIndex.Capacity, 0u}) {
                ULONG slot = hint;
                if (DsmLookupPath(context_, paths[i], &slot) != expected) {
                    return false;
                }
                ULONG again = slot;
                if (DsmLookupPath(context_, paths[i], &again) != expected || again != slot) {
                    return false;
                }
            }
        }
        // A missing identifier is refused whichever slot it is tried in.
        for (ULONG slot = 0; slot < context_->PathIndex.Capacity; slot++) {
            ULONG hint = slot;
            if (DsmLookupPath(context_, nullptr, &hint) != nullptr) {
                return false;
            }
        }
        return true;
    };

    for (int i = 0; i < 20; i++) {
        AddPdoEntry(context_, drives[i % 2], paths[i]);
        ASSERT_EQ(DsmLookupPath(context_, paths[i], &firstSlots[i]), drives[i % 2]);
        ASSERT_NE(firstSlots[i], DSM_PATH_NO_SLOT);
    }
    EXPECT_TRUE(agrees());
    for (int i = 0; i < 20; i += 2) {
        RemovePdoEntry(context_, drives[0], paths[i]);
    }
    EXPECT_TRUE(agrees()) << "removed records leave tombstones in their slots";
    for (int i = 20; i < 40; i++) {
        AddPdoEntry(context_, drives[i % 2], paths[i]);
    }
    EXPECT_TRUE(agrees()) << "the table was rebuilt, or its tombstones reused";
    host::PoolFailTag(kTarnTag);
    for (int i = 40; i < 60; i++) {
        AddPdoEntry(context_, drives[i % 2], paths[i]);
    }
    host::PoolClearFailures();
    EXPECT_TRUE(context_->PathIndex.Degraded != FALSE);
    EXPECT_TRUE(agrees()) << "a degraded index walks the list";

    std::vector<PPDO_ENTRY> byDrive[2];
    for (size_t i = 0; i < paths.size(); i++) {
        byDrive[i % 2].push_back(paths[i]);
    }
    Drop(drives[0], byDrive[0]);
    Drop(drives[1], byDrive[1]);
}

TEST_F(RecordsTest, ReleasingADriveWithPathsIsCaught)
{
    PLD_ENTRY drive = NewDrive("6001A3B7");
    AddLdEntry(context_, drive);
    PPDO_ENTRY path = NewPath("6001A3B7", 2, 0, 0, 0);
    AddPdoEntry(context_, drive, path);
    lock_.reset();
    EXPECT_DEATH(FreeLdEntry(drive), "LdEntry->NumberPaths == 0");
}

} // namespace
} // namespace tarntest
