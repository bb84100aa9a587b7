/*++

Module Name:

    mpio_test.cpp

Abstract:

    The MPIO host's side of registration: it accepts only a whole record
    with all nineteen entry points, answers one registration, and serves
    the MPIO routines to the DSM it registered.

--*/

#include "driverfixture.h"

#include <cstring>

namespace tarntest {
namespace {

class MpioTest : public DriverTest {
protected:
    static NTSTATUS Register(DSM_INIT_DATA *record, ULONG length, ULONG *mpioContext, BOOLEAN internal = TRUE)
    {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\DosDevices\\MPIOControl");
        PFILE_OBJECT file = nullptr;
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        IO_STATUS_BLOCK ioStatus{};
        DsmSendDeviceIoControlSynchronous(IOCTL_MPIO_REGISTER_DSM, device, record, mpioContext, length,
                                          sizeof(ULONG), internal, &ioStatus);
        ObDereferenceObject(file);
        return ioStatus.Status;
    }

    // A record as a driver fills it, every slot pointing at a real entry point.
    static DSM_INIT_DATA WholeRecord()
    {
        static int context;
        DSM_INIT_DATA record;
        memset(&record, 0, sizeof(record));
        record.InitDataSize = sizeof(record);
        PVOID *slots = reinterpret_cast<PVOID *>(&record.DsmInquireDriver);
        for (int i = 0; i < DSM_INIT_DATA_ENTRY_POINTS; i++) {
            slots[i] = reinterpret_cast<PVOID>(&DsmUnload);
        }
        record.DsmContext = &context;
        return record;
    }

public:
    // For the DriverEntry routines of the tests below.
    static DSM_INIT_DATA WholeRecordForEntry() { return WholeRecord(); }
    static NTSTATUS RegisterForEntry(DSM_INIT_DATA *record, ULONG *mpioContext)
    {
        return Register(record, sizeof(DSM_INIT_DATA), mpioContext);
    }
};

TEST_F(MpioTest, RefusesIncompleteRecordsAndSaysWhy)
{
    mpio::Host mpio;
    ULONG mpioContext = 0;

    DSM_INIT_DATA record = WholeRecord();
    record.DsmSetCompletion = nullptr;
    EXPECT_EQ(Register(&record, sizeof(record), &mpioContext), STATUS_INVALID_PARAMETER);
    EXPECT_NE(mpio.RefusalReason().find("DsmSetCompletion (slot 17)"), std::string::npos) << mpio.RefusalReason();

    record = WholeRecord();
    EXPECT_EQ(Register(&record, sizeof(record) - 4, &mpioContext), STATUS_INVALID_PARAMETER);
    record.InitDataSize = sizeof(record) + 4;
    EXPECT_EQ(Register(&record, sizeof(record), &mpioContext), STATUS_INVALID_PARAMETER);

    record = WholeRecord();
    record.DsmContext = nullptr;
    EXPECT_EQ(Register(&record, sizeof(record), &mpioContext), STATUS_INVALID_PARAMETER);

    EXPECT_FALSE(mpio.Registered());
    EXPECT_EQ(mpioContext, 0u);

    record = WholeRecord();
    EXPECT_EQ(Register(&record, sizeof(record), &mpioContext), STATUS_SUCCESS);
    EXPECT_EQ(mpioContext, mpio.MpioContext());
    // One DSM per host.
    ULONG second = 0;
    EXPECT_EQ(Register(&record, sizeof(record), &second), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(host::OutstandingFileObjects(), 0u);
}

// Records MPIO must refuse, as the real framework does, before keeping them.
struct BadRecord {
    const char *Name;
    void (*Spoil)(DSM_INIT_DATA *record);
    const char *Reason;
};

const WCHAR kName[] = u"Tarn";

class BadRecordTest : public MpioTest, public ::testing::WithParamInterface<BadRecord> {};

TEST_P(BadRecordTest, IsRefusedAndNotKept)
{
    mpio::Host mpio;
    static DSM_INIT_DATA record;
    record = WholeRecord();
    record.DisplayName = {8, 10, const_cast<PWSTR>(kName)};
    GetParam().Spoil(&record);
    ULONG mpioContext = 0;

    EXPECT_EQ(Register(&record, sizeof(record), &mpioContext), STATUS_INVALID_PARAMETER);
    EXPECT_NE(mpio.RefusalReason().find(GetParam().Reason), std::string::npos) << mpio.RefusalReason();
    EXPECT_FALSE(mpio.Registered());
    EXPECT_EQ(mpioContext, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Records, BadRecordTest,
    ::testing::Values(
        BadRecord{"ReservedWordSet", [](DSM_INIT_DATA *r) { r->Reserved = 1; }, "reserved word at offset"},
        BadRecord{"NameLongerThanItsMaximum", [](DSM_INIT_DATA *r) { r->DisplayName.Length = 12; }, "display name"},
        BadRecord{"NameOfOddLength", [](DSM_INIT_DATA *r) { r->DisplayName.Length = 7; }, "display name"},
        BadRecord{"NameOfOddMaximum", [](DSM_INIT_DATA *r) { r->DisplayName.MaximumLength = 9; }, "display name"},
        BadRecord{"NameWithoutCharacters", [](DSM_INIT_DATA *r) { r->DisplayName.Buffer = nullptr; },
                  "display name"},
        BadRecord{"WmiPathWithoutCharacters", [](DSM_INIT_DATA *r) { r->DsmWmiInfo.RegistryPath.Length = 2; },
                  "WMI registry path"}),
    [](const ::testing::TestParamInfo<BadRecord> &info) { return std::string(info.param.Name); });

// MPIO keeps the record by reference: a record that does not outlive
// DriverEntry, or that changes after registration, is caught at its next use.
std::vector<std::string> g_verifier;

void Collect(const std::string &message)
{
    g_verifier.push_back(message);
}

NTSTATUS NTAPI StackRecordEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    DSM_INIT_DATA record = MpioTest::WholeRecordForEntry();
    ULONG mpioContext = 0;
    return MpioTest::RegisterForEntry(&record, &mpioContext);
}

PDSM_INIT_DATA g_poolRecord;

NTSTATUS NTAPI PoolRecordEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    g_poolRecord = static_cast<PDSM_INIT_DATA>(ExAllocatePoolWithTag(NonPagedPool, sizeof(DSM_INIT_DATA), 'ceRT'));
    *g_poolRecord = MpioTest::WholeRecordForEntry();
    ULONG mpioContext = 0;
    return MpioTest::RegisterForEntry(g_poolRecord, &mpioContext);
}

DSM_INIT_DATA g_staticRecord;

NTSTATUS NTAPI StaticRecordEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    g_staticRecord = MpioTest::WholeRecordForEntry();
    ULONG mpioContext = 0;
    return MpioTest::RegisterForEntry(&g_staticRecord, &mpioContext);
}

TEST_F(MpioTest, RecordMustOutliveDriverEntryAndStayUnchanged)
{
    host::SetVerifierHandler(Collect);

    // On DriverEntry's stack: caught as DriverEntry returns.
    g_verifier.clear();
    {
        mpio::Host mpio;
        EXPECT_EQ(mpio.LoadDriver(StackRecordEntry, kServiceName), STATUS_SUCCESS);
        ASSERT_EQ(g_verifier.size(), 1u);
        EXPECT_NE(g_verifier[0].find("on the stack of DriverEntry"), std::string::npos) << g_verifier[0];
    }

    // In pool freed after the start: caught at the next use.
    g_verifier.clear();
    {
        mpio::Host mpio;
        EXPECT_EQ(mpio.LoadDriver(PoolRecordEntry, kServiceName), STATUS_SUCCESS);
        EXPECT_EQ(mpio.Record().DsmContext, g_poolRecord->DsmContext);
        EXPECT_TRUE(g_verifier.empty());
        ExFreePool(g_poolRecord);
        // The copy MPIO accepted comes back, not the freed memory.
        EXPECT_EQ(mpio.Record().DsmUnload, &DsmUnload);
        ASSERT_EQ(g_verifier.size(), 1u);
        EXPECT_NE(g_verifier[0].find("pool that has been freed"), std::string::npos) << g_verifier[0];
    }

    // Static, but changed after MPIO accepted it.
    g_verifier.clear();
    {
        mpio::Host mpio;
        EXPECT_EQ(mpio.LoadDriver(StaticRecordEntry, kServiceName), STATUS_SUCCESS);
        mpio.Record();
        EXPECT_TRUE(g_verifier.empty());
        g_staticRecord.DsmUnload = nullptr;
        mpio.Record();
        ASSERT_EQ(g_verifier.size(), 1u);
        // The first byte that differs lies in the changed pointer; which
        // one depends on where the routine was loaded.
        size_t offset = g_verifier[0].find("changed at offset ");
        ASSERT_NE(offset, std::string::npos) << g_verifier[0];
        size_t changed = std::stoul(g_verifier[0].substr(offset + strlen("changed at offset ")));
        EXPECT_GE(changed, offsetof(DSM_INIT_DATA, DsmUnload)) << g_verifier[0];
        EXPECT_LT(changed, offsetof(DSM_INIT_DATA, DsmUnload) + sizeof(PVOID)) << g_verifier[0];
    }
}

TEST_F(MpioTest, RegistrationIsAnInternalRequest)
{
    mpio::Host mpio;
    DSM_INIT_DATA record = WholeRecord();
    ULONG mpioContext = 0;
    EXPECT_EQ(Register(&record, sizeof(record), &mpioContext, FALSE), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_FALSE(mpio.Registered());
}

TEST_F(MpioTest, VersionQueryNeedsRoomForFourWords)
{
    mpio::HostOptions options;
    options.Version = {1, 16, 3790, 2};
    mpio::Host mpio(options);
    MPIO_VERSION_INFO version{};
    EXPECT_EQ(DsmGetVersion(&version, 12), STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(DsmGetVersion(&version, sizeof(version)), STATUS_SUCCESS);
    EXPECT_EQ(version.MajorVersion, 1u);
    EXPECT_EQ(version.MinorVersion, 16u);
    EXPECT_EQ(version.ProductBuild, 3790u);
    EXPECT_EQ(version.QfeNumber, 2u);
}

TEST_F(MpioTest, SynchronousDeviceRequestUnderTheSpinLockFailsAtOnce)
{
    mpio::Host mpio;
    PDEVICE_OBJECT device = host::CreateDevice(u"", nullptr);
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KIRQL oldIrql;
            KeInitializeSpinLock(&lock);
            KeAcquireSpinLock(&lock, &oldIrql);
            IO_STATUS_BLOCK ioStatus{};
            DsmSendDeviceIoControlSynchronous(IOCTL_SCSI_PASS_THROUGH, device, nullptr, nullptr, 0, 0, FALSE,
                                              &ioStatus);
        },
        "DsmSendDeviceIoControlSynchronous called at DISPATCH_LEVEL");
    // The port's device object is asked for as the other MPIO routines
    // are called: at PASSIVE_LEVEL, with no spin lock held.
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KIRQL oldIrql;
            KeInitializeSpinLock(&lock);
            KeAcquireSpinLock(&lock, &oldIrql);
            DsmGetPDO(0, device);
        },
        "DsmGetPDO called at DISPATCH_LEVEL");
}

} // namespace
} // namespace tarntest
