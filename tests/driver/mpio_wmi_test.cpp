/*++

Module Name:

    mpio_wmi_test.cpp

Abstract:

    MPIO's WMI forwarding: the DSM's blocks registered from its record,
    one instance per multipath disk, queries of one and of all instances
    reaching the driver with the disk's identifiers, buffers the DSM finds
    too small offered again at its size (a bounded number of times), a
    method call reaching the driver, and records whose WMI block MPIO
    must refuse.

--*/

#include "driverfixture.h"
#include "mpiointernal.h"
#include "tarnwmi.h"

#include <cstring>

namespace tarntest {
namespace {

const GUID kConfigGuid = TARN_CONFIG_INFO_GUID;
const GUID kDriveGuid = TARN_LD_INFO4_GUID;
const GUID kMethodsGuid = TARN_METHODS_GUID;
constexpr ULONG kSetPreferredPath = 2;

// What the test reads of a drive block: each path record's identifier
// and preferred flag.
struct PathSeen {
    uint64_t Identifier;
    ULONG Preferred;
};

std::vector<PathSeen> PathsIn(const std::vector<uint8_t> &block)
{
    std::vector<PathSeen> paths;
    ULONG count = 0;
    memcpy(&count, block.data(), 4);
    size_t offset = 40;     // the header with the company name
    for (ULONG i = 0; i < count && offset + 26 <= block.size(); i++) {
        PathSeen path;
        USHORT health = 0;
        memcpy(&path.Preferred, block.data() + offset, 4);
        memcpy(&path.Identifier, block.data() + offset + 16, 8);
        memcpy(&health, block.data() + offset + 24, 2);
        paths.push_back(path);
        offset += 26 + health;
    }
    return paths;
}

uint64_t AsIdentifier(PVOID id)
{
    return (uint64_t)(LONGLONG)(intptr_t)id;
}

class MpioWmiTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        FullConfiguration();
        AttachArray({0, 1});
        ASSERT_EQ(StartAndDiscover(), STATUS_SUCCESS);
        ASSERT_EQ(host_->Disks().size(), 2u);
    }

    // The identifiers MPIO holds for a disk's paths, as the drive block shows them.
    std::vector<uint64_t> IdsOfDisk(size_t disk) const
    {
        std::vector<uint64_t> ids;
        for (size_t device : host_->Disks()[disk].Devices) {
            ids.push_back(AsIdentifier(host_->Devices()[device].DsmId));
        }
        return ids;
    }
};

// Each disk is an instance; its drive block (752 bytes for four paths, more
// than the first buffer holds) comes back whole, naming that disk's paths.
TEST_F(MpioWmiTest, QueriesReachTheDriverWithTheDisksIdentifiers)
{
    EXPECT_EQ(host_->WmiGuids().size(), 6u);
    ASSERT_EQ(host_->WmiInstanceNames(), (std::vector<std::string>{"MPIO_DISK0_0", "MPIO_DISK1_0"}));

    std::vector<mpio::WmiInstance> all;
    ASSERT_EQ(host_->WmiQueryAllData(kDriveGuid, &all), STATUS_SUCCESS);
    ASSERT_EQ(all.size(), 2u);
    for (const mpio::WmiInstance &instance : all) {
        SCOPED_TRACE(instance.Name);
        EXPECT_EQ(instance.Data.size(), 296u + 152u * 3);
        std::vector<uint64_t> seen;
        for (const PathSeen &path : PathsIn(instance.Data)) {
            seen.push_back(path.Identifier);
        }
        EXPECT_EQ(seen, IdsOfDisk(instance.Disk));

        std::vector<uint8_t> single;
        ASSERT_EQ(host_->WmiQuerySingleInstance(kDriveGuid, instance.Name, &single), STATUS_SUCCESS);
        EXPECT_EQ(single, instance.Data);
    }

    std::vector<uint8_t> data;
    ASSERT_EQ(host_->WmiQuerySingleInstance(kConfigGuid, "MPIO_DISK1_0", &data), STATUS_SUCCESS);
    ULONG policy = 0;
    ASSERT_EQ(data.size(), sizeof(policy));
    memcpy(&policy, data.data(), sizeof(policy));
    EXPECT_EQ(policy, (ULONG)TARN_LB_POLICY_FAILBACK);

    // What WMI does not know, and what the driver does not.
    const GUID unknown = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(host_->WmiQuerySingleInstance(unknown, "MPIO_DISK0_0", &data), STATUS_WMI_GUID_NOT_FOUND);
    for (const char *name : {"MPIO_DISK2_0", "MPIO_DISK00_0", "MPIO_DISK0_1", "MPIO_DISK_0", "disk0"}) {
        EXPECT_EQ(host_->WmiQuerySingleInstance(kDriveGuid, name, &data), STATUS_WMI_INSTANCE_NOT_FOUND) << name;
    }
    const GUID spare = *host_->Record().DsmWmiInfo.GuidList[3].Guid;
    EXPECT_EQ(host_->WmiQuerySingleInstance(spare, "MPIO_DISK0_0", &data), STATUS_WMI_GUID_NOT_FOUND);

    // A disk whose paths are all gone is no instance any more.
    for (size_t device : host_->Disks()[0].Devices) {
        host_->RemoveDevice(device);
    }
    EXPECT_EQ(host_->WmiInstanceNames(), std::vector<std::string>{"MPIO_DISK1_0"});
    EXPECT_EQ(host_->WmiQuerySingleInstance(kDriveGuid, "MPIO_DISK0_0", &data), STATUS_WMI_INSTANCE_NOT_FOUND);
    ASSERT_EQ(host_->WmiQueryAllData(kDriveGuid, &all), STATUS_SUCCESS);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].Disk, 1u);
}

// The retry rule on a scripted DSM: its asked-for size is offered, a
// DSM that asks for ever more is given up on, one that asks for no more
// than it had is not asked again.
TEST(WmiRetryTest, OffersTheSizeAskedForAFewTimesAtMost)
{
    struct Row {
        const char *Name;
        ULONG First;
        std::function<NTSTATUS(ULONG, ULONG *)> Dsm;
        NTSTATUS Status;
        int Calls;
    };
    auto fitsIn752 = [](ULONG size, ULONG *needed) {
        *needed = 752;
        return size >= 752 ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
    };
    auto alwaysMore = [](ULONG size, ULONG *needed) {
        *needed = size + 8;
        return STATUS_BUFFER_TOO_SMALL;
    };
    auto noMore = [](ULONG size, ULONG *needed) {
        *needed = size;
        return STATUS_BUFFER_TOO_SMALL;
    };
    const Row rows[] = {
        {"enough at once", 1024, fitsIn752, STATUS_SUCCESS, 1},
        {"too small, then the size asked for", 512, fitsIn752, STATUS_SUCCESS, 2},
        {"ever more", 0, alwaysMore, STATUS_BUFFER_TOO_SMALL, mpio::Host::kWmiAttempts},
        {"too small at the size asked for", 512, noMore, STATUS_BUFFER_TOO_SMALL, 1},
        {"another failure", 512, [](ULONG, ULONG *) { return STATUS_UNSUCCESSFUL; }, STATUS_UNSUCCESSFUL, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.Name);
        int calls = 0;
        EXPECT_EQ(mpio::CallWithLargerBuffers(row.First, mpio::Host::kWmiAttempts, row.Dsm, &calls), row.Status);
        EXPECT_EQ(calls, row.Calls);
    }
}

// SetPreferredPath on disk 1's instance reaches the driver at
// PASSIVE_LEVEL: the event is written and the drive block shows it.
TEST_F(MpioWmiTest, AMethodCallReachesTheDriver)
{
    host::ClearEventLog();
    const mpio::Device &last = host_->Devices()[host_->Disks()[1].Devices.back()];
    std::vector<uint8_t> address = {last.Path.PortNumber, last.Path.PathId, last.Path.TargetId, last.Lun};
    std::vector<uint8_t> output;
    ASSERT_EQ(host_->WmiExecuteMethod(kMethodsGuid, "MPIO_DISK1_0", kSetPreferredPath, address, 0, &output),
              STATUS_SUCCESS);
    EXPECT_TRUE(output.empty());
    EXPECT_EQ(EventIds(), std::vector<NTSTATUS>{TARN_MSG_PREFERRED_PATH_SET});

    std::vector<uint8_t> block;
    ASSERT_EQ(host_->WmiQuerySingleInstance(kDriveGuid, "MPIO_DISK1_0", &block), STATUS_SUCCESS);
    std::vector<PathSeen> paths = PathsIn(block);
    ASSERT_EQ(paths.size(), 4u);
    for (size_t i = 0; i < paths.size(); i++) {
        EXPECT_EQ(paths[i].Preferred, i == 3 ? 1u : 0u) << "path " << i;
    }

    // The driver's own answer comes back: only its methods block has methods.
    EXPECT_EQ(host_->WmiExecuteMethod(kDriveGuid, "MPIO_DISK1_0", kSetPreferredPath, address, 0, &output),
              STATUS_WMI_ITEMID_NOT_FOUND);
    EXPECT_EQ(host_->WmiExecuteMethod(kMethodsGuid, "MPIO_DISK5_0", kSetPreferredPath, address, 0, &output),
              STATUS_WMI_INSTANCE_NOT_FOUND);
}

NTSTATUS NTAPI NeverQueried(PVOID, PDSM_IDS, PIRP, ULONG, ULONG, ULONG, PULONG, ULONG, PUCHAR, PULONG)
{
    ADD_FAILURE() << "a refused DSM was queried";
    return STATUS_UNSUCCESSFUL;
}

// A WMI block MPIO cannot register is refused with the record.
TEST(WmiRegistrationTest, RefusesABlockItCannotRegister)
{
    static const GUID first = TARN_CONFIG_INFO_GUID;
    static const GUID second = TARN_LD_INFO4_GUID;
    static WMIGUIDREGINFO rows[2];
    struct Row {
        const char *Name;
        void (*Spoil)(DSM_WMILIB_CONTEXT *wmi);
        const char *Reason;
    };
    const Row table[] = {
        {"no list", [](DSM_WMILIB_CONTEXT *wmi) { wmi->GuidList = nullptr; }, "2 GUIDs and no GUID list"},
        {"a row without a GUID", [](DSM_WMILIB_CONTEXT *) { rows[1].Guid = nullptr; }, "row 1 has no GUID"},
        {"a GUID twice", [](DSM_WMILIB_CONTEXT *) { rows[1].Guid = &first; }, "in rows 0 and 1"},
        {"no query callback", [](DSM_WMILIB_CONTEXT *wmi) { wmi->QueryWmiDataBlock = nullptr; }, "query callback"},
    };
    for (const Row &row : table) {
        SCOPED_TRACE(row.Name);
        host::ResetMachine();
        mpio::Host mpio;
        static int context;
        static DSM_INIT_DATA record;
        memset(&record, 0, sizeof(record));
        record.InitDataSize = sizeof(record);
        auto **slots = reinterpret_cast<PVOID *>(&record.DsmInquireDriver);
        for (int i = 0; i < DSM_INIT_DATA_ENTRY_POINTS; i++) {
            slots[i] = reinterpret_cast<PVOID>(&DsmUnload);
        }
        record.DsmContext = &context;
        rows[0] = {&first, 1, 0};
        rows[1] = {&second, 1, 0};
        record.DsmWmiInfo.GuidCount = 2;
        record.DsmWmiInfo.GuidList = rows;
        record.DsmWmiInfo.QueryWmiDataBlock = NeverQueried;
        row.Spoil(&record.DsmWmiInfo);

        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\DosDevices\\MPIOControl");
        PFILE_OBJECT file = nullptr;
        PDEVICE_OBJECT device = nullptr;
        ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device), STATUS_SUCCESS);
        IO_STATUS_BLOCK ioStatus{};
        ULONG mpioContext = 0;
        DsmSendDeviceIoControlSynchronous(IOCTL_MPIO_REGISTER_DSM, device, &record, &mpioContext, sizeof(record),
                                          sizeof(ULONG), TRUE, &ioStatus);
        ObDereferenceObject(file);
        EXPECT_EQ(ioStatus.Status, STATUS_INVALID_PARAMETER);
        EXPECT_NE(mpio.RefusalReason().find(row.Reason), std::string::npos) << mpio.RefusalReason();
        EXPECT_FALSE(mpio.Registered());
    }
    host::ResetMachine();
}

} // namespace
} // namespace tarntest
