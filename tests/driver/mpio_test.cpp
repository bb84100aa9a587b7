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
    NTSTATUS Register(DSM_INIT_DATA *record, ULONG length, ULONG *mpioContext)
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
                                          sizeof(ULONG), TRUE, &ioStatus);
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
};

TEST_F(MpioTest, IoctlCodeIsTheRegistrationControlCode)
{
    EXPECT_EQ(IOCTL_MPIO_REGISTER_DSM, 0x736DC004u);
    EXPECT_EQ(IOCTL_SCSI_PASS_THROUGH, 0x4D004u);
}

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

TEST_F(MpioTest, RegistrationIsAnInternalRequest)
{
    mpio::Host mpio;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\DosDevices\\MPIOControl");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device), STATUS_SUCCESS);
    DSM_INIT_DATA record = WholeRecord();
    ULONG mpioContext = 0;
    IO_STATUS_BLOCK ioStatus{};
    DsmSendDeviceIoControlSynchronous(IOCTL_MPIO_REGISTER_DSM, device, &record, &mpioContext, sizeof(record),
                                      sizeof(mpioContext), FALSE, &ioStatus);
    ObDereferenceObject(file);
    EXPECT_EQ(ioStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
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
}

} // namespace
} // namespace tarntest
