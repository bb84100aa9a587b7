// Driver, device and file objects, references and device control of the
// user-mode kernel.
#include "core_testutil.h"

#include <gmock/gmock.h>

using coretest::VerifierRecorder;
using testing::HasSubstr;

namespace {

UNICODE_STRING Name(const char16_t *text)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text);
    return name;
}

TEST(CoreObjects, DeviceIsFoundByItsWholeNameCaseInsensitivelyAndOpensAFileObject)
{
    PDEVICE_OBJECT port = host::CreateDevice(u"\\Device\\ScsiPort0", nullptr);
    host::CreateDevice(u"\\Device\\ScsiPort01", nullptr);

    UNICODE_STRING name = Name(u"\\device\\SCSIPORT0");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(device, port);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->DeviceObject, port);
    EXPECT_EQ(host::ObjectReferences(file), 1);
    EXPECT_EQ(host::OutstandingFileObjects(), 1u);

    UNICODE_STRING prefix = Name(u"\\Device\\ScsiPort");
    EXPECT_EQ(IoGetDeviceObjectPointer(&prefix, FILE_READ_ATTRIBUTES, &file, &device), STATUS_OBJECT_NAME_NOT_FOUND);
    host::CreateDevice(u"", nullptr);   // an unnamed device is not found by the empty name
    UNICODE_STRING empty = Name(u"");
    EXPECT_NE(IoGetDeviceObjectPointer(&empty, 0, &file, &device), STATUS_SUCCESS);

    // A second open is a second file object.
    PFILE_OBJECT second = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &second, &device), STATUS_SUCCESS);
    EXPECT_NE(second, file);
    EXPECT_EQ(host::OutstandingFileObjects(), 2u);

    EXPECT_EQ(ObfReferenceObject(file), 2);
    EXPECT_EQ(host::ObjectReferences(file), 2);
    EXPECT_EQ(ObfDereferenceObject(file), 1);
    EXPECT_EQ(ObfDereferenceObject(file), 0);   // closed and freed
    EXPECT_EQ(host::OutstandingFileObjects(), 1u);
    ObDereferenceObject(second);
    EXPECT_EQ(host::OutstandingFileObjects(), 0u);
}

TEST(CoreObjects, DereferencingBelowZeroIsAVerifierFailure)
{
    VerifierRecorder verifier;
    PDEVICE_OBJECT device = host::CreateDevice(u"\\Device\\Disk0", nullptr);
    EXPECT_EQ(ObfReferenceObject(device), 1);
    EXPECT_EQ(host::ObjectReferences(device), 1);
    EXPECT_EQ(ObfDereferenceObject(device), 0);
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
    ObfDereferenceObject(device);
    EXPECT_THAT(verifier.One(), HasSubstr("below zero"));

    UNICODE_STRING name = Name(u"\\Device\\Disk0");
    PFILE_OBJECT file;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, 0, &file, &device), STATUS_SUCCESS);
    ObfDereferenceObject(file);
    ObfDereferenceObject(file);
    EXPECT_THAT(verifier.One(), HasSubstr("ObfDereferenceObject"));

    int notAnObject;
    ObfReferenceObject(&notAnObject);
    EXPECT_THAT(verifier.One(), HasSubstr("ObfReferenceObject"));
}

TEST(CoreObjects, DeviceControlReachesTheHandler)
{
    ULONG seenCode = 0;
    bool seenInternal = false;
    PDEVICE_OBJECT device = host::CreateDevice(
        u"\\Device\\Port", [&](ULONG code, PVOID input, ULONG inputLength, PVOID output, ULONG outputLength,
                               bool internal, PIO_STATUS_BLOCK status) {
            seenCode = code;
            seenInternal = internal;
            ASSERT_EQ(inputLength, 4u);
            ASSERT_GE(outputLength, 4u);
            ULONG value = *static_cast<ULONG *>(input);
            *static_cast<ULONG *>(output) = value + 1;
            status->Status = STATUS_SUCCESS;
            status->Information = sizeof(ULONG);
        });
    ULONG in = 41, out = 0;
    IO_STATUS_BLOCK status;
    host::DispatchDeviceControl(device, 0x41018, &in, sizeof(in), &out, sizeof(out), true, &status);
    EXPECT_EQ(status.Status, STATUS_SUCCESS);
    EXPECT_EQ(status.Information, sizeof(ULONG));
    EXPECT_EQ(out, 42u);
    EXPECT_EQ(seenCode, 0x41018u);
    EXPECT_TRUE(seenInternal);

    PDEVICE_OBJECT silent = host::CreateDevice(u"", nullptr);
    host::DispatchDeviceControl(silent, 0x41018, &in, sizeof(in), &out, sizeof(out), false, &status);
    EXPECT_EQ(status.Status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST(CoreObjects, ADeletedDeviceStaysWhileAFileObjectHoldsIt)
{
    int calls = 0;
    PDEVICE_OBJECT device =
        host::CreateDevice(u"\\Device\\Gone", [&](ULONG, PVOID, ULONG, PVOID, ULONG, bool, PIO_STATUS_BLOCK status) {
            calls++;
            status->Status = STATUS_SUCCESS;
        });
    UNICODE_STRING name = Name(u"\\Device\\Gone");
    PFILE_OBJECT file;
    PDEVICE_OBJECT opened;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, 0, &file, &opened), STATUS_SUCCESS);

    host::DeleteDevice(device);
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, 0, &file, &opened), STATUS_OBJECT_NAME_NOT_FOUND);
    IO_STATUS_BLOCK status;
    host::DispatchDeviceControl(device, 1, nullptr, 0, nullptr, 0, false, &status);
    EXPECT_EQ(status.Status, STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(file->DeviceObject, device);   // still readable memory
    ObDereferenceObject(file);
    EXPECT_EQ(host::OutstandingFileObjects(), 0u);

    // With the last reference gone the object is freed: a request sent to
    // it is a use after free.
    coretest::FastDeathTests();
    EXPECT_DEATH(host::DispatchDeviceControl(device, 1, nullptr, 0, nullptr, 0, false, &status),
                 "VERIFIER: DispatchDeviceControl.*not a live device object");
}

TEST(CoreVerifier, DeviceControlUnderASpinLockOrAtDispatchIsFatal)
{
    coretest::FastDeathTests();
    PDEVICE_OBJECT device = host::CreateDevice(
        u"\\Device\\Port", [](ULONG, PVOID, ULONG, PVOID, ULONG, bool, PIO_STATUS_BLOCK status) {
            status->Status = STATUS_SUCCESS;
        });
    IO_STATUS_BLOCK status;
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KIRQL old;
            KeInitializeSpinLock(&lock);
            KeAcquireSpinLock(&lock, &old);
            host::DispatchDeviceControl(device, 1, nullptr, 0, nullptr, 0, false, &status);
        },
        "VERIFIER: DispatchDeviceControl called (with a spin lock held|at DISPATCH_LEVEL)");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            UNICODE_STRING name = Name(u"\\Device\\Port");
            PFILE_OBJECT file;
            PDEVICE_OBJECT found;
            IoGetDeviceObjectPointer(&name, 0, &file, &found);
        },
        "VERIFIER: IoGetDeviceObjectPointer called at DISPATCH_LEVEL");
}

TEST(CoreReboot, RebootForgetsDevicesAndFileObjects)
{
    PDRIVER_OBJECT driver = host::CreateDriverObject(u"\\Driver\\tarndsm");
    UNICODE_STRING driverName = Name(u"\\Driver\\tarndsm");
    EXPECT_TRUE(RtlEqualUnicodeString(&driver->DriverName, &driverName, FALSE));
    EXPECT_EQ(driver->DriverName.Length, 15 * sizeof(WCHAR));
    host::CreateDevice(u"\\Device\\Port", nullptr);
    UNICODE_STRING name = Name(u"\\Device\\Port");
    PFILE_OBJECT file;
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, 0, &file, &device), STATUS_SUCCESS);
    host::Reboot();
    EXPECT_EQ(host::OutstandingFileObjects(), 0u);
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, 0, &file, &device), STATUS_OBJECT_NAME_NOT_FOUND);
    // The name is free again.
    EXPECT_NE(host::CreateDevice(u"\\Device\\Port", nullptr), nullptr);
}

} // namespace
