/*++

Module Name:

    objects.cpp

Abstract:

    Driver, device and file objects of the user-mode kernel and their
    references.

    Devices are made by the host (tests, the MPIO host) with a handler for
    their device control requests; named ones are found by
    IoGetDeviceObjectPointer, by exact name compared case-insensitively.
    IoGetDeviceObjectPointer opens a new file object on the device holding
    one reference; the caller's last ObDereferenceObject on it closes and
    frees it.  A device deleted while file objects or references to it
    are outstanding stays in memory, unreachable by name and without a
    handler, until the last of them goes.

    Objects are host memory (new), not pool; the side tables below keep
    their state by address.  Object type codes are the kernel's
    (IO_TYPE_DEVICE 3, IO_TYPE_DRIVER 4, IO_TYPE_FILE 5).

--*/

#include "coreinternal.h"

#include <memory>
#include <mutex>
#include <unordered_map>

namespace host {
namespace {

constexpr SHORT kIoTypeDevice = 3;
constexpr SHORT kIoTypeDriver = 4;
constexpr SHORT kIoTypeFile = 5;

struct DriverRecord {
    DRIVER_OBJECT Object;
    std::u16string Name;
};

struct DeviceRecord {
    DEVICE_OBJECT Object;
    std::u16string Name;
    DeviceControlHandler Handler;
    bool Deleted = false;
    LONG References = 0;    // ObfReferenceObject minus ObfDereferenceObject
    LONG OpenFiles = 0;
};

struct FileRecord {
    FILE_OBJECT Object;
    LONG References = 0;
};

std::mutex g_objectMutex;
std::unordered_map<const void *, std::unique_ptr<DriverRecord>> g_drivers;
std::unordered_map<const void *, std::unique_ptr<DeviceRecord>> g_devices;
std::unordered_map<const void *, std::unique_ptr<FileRecord>> g_files;

char16_t FoldAscii(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool SameName(const std::u16string &a, const char16_t *b, size_t bLength)
{
    if (a.size() != bLength) {
        return false;
    }
    for (size_t i = 0; i < bLength; i++) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

DeviceRecord *FindNamedDevice(const char16_t *name, size_t length)
{
    for (auto &entry : g_devices) {
        DeviceRecord *record = entry.second.get();
        if (!record->Deleted && !record->Name.empty() && SameName(record->Name, name, length)) {
            return record;
        }
    }
    return nullptr;
}

// Frees a deleted device once nothing refers to it any more (lock held).
void ReapDevice(DeviceRecord *record)
{
    if (record->Deleted && record->References == 0 && record->OpenFiles == 0) {
        g_devices.erase(&record->Object);
    }
}

} // namespace

PDRIVER_OBJECT CreateDriverObject(const std::u16string &name)
{
    auto record = std::make_unique<DriverRecord>();
    record->Name = name;
    DRIVER_OBJECT &object = record->Object;
    memset(&object, 0, sizeof(object));
    object.Type = kIoTypeDriver;
    object.Size = sizeof(DRIVER_OBJECT);
    object.DriverName.Buffer = record->Name.empty() ? nullptr : &record->Name[0];
    object.DriverName.Length = static_cast<USHORT>(record->Name.size() * sizeof(WCHAR));
    object.DriverName.MaximumLength = object.DriverName.Length;
    object.HostExtension = record.get();
    PDRIVER_OBJECT result = &object;
    std::lock_guard<std::mutex> lock(g_objectMutex);
    g_drivers[result] = std::move(record);
    return result;
}

PDEVICE_OBJECT CreateDevice(const std::u16string &name, DeviceControlHandler handler)
{
    auto record = std::make_unique<DeviceRecord>();
    record->Name = name;
    record->Handler = std::move(handler);
    DEVICE_OBJECT &object = record->Object;
    memset(&object, 0, sizeof(object));
    object.Type = kIoTypeDevice;
    object.Size = sizeof(DEVICE_OBJECT);
    object.HostExtension = record.get();
    PDEVICE_OBJECT result = &object;
    {
        std::lock_guard<std::mutex> lock(g_objectMutex);
        if (name.empty() || FindNamedDevice(name.data(), name.size()) == nullptr) {
            g_devices[result] = std::move(record);
            return result;
        }
    }
    VerifierFail("host::CreateDevice: a device named \"%s\" exists already", detail::Narrow(name).c_str());
    return nullptr;
}

void DeleteDevice(PDEVICE_OBJECT device)
{
    {
        std::lock_guard<std::mutex> lock(g_objectMutex);
        auto it = g_devices.find(device);
        if (it != g_devices.end() && !it->second->Deleted) {
            DeviceRecord *record = it->second.get();
            record->Deleted = true;
            record->Handler = nullptr;
            ReapDevice(record);
            return;
        }
    }
    VerifierFail("host::DeleteDevice(%p): not a device created by host::CreateDevice (or deleted already)",
                 (void *)device);
}

void DispatchDeviceControl(PDEVICE_OBJECT device, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                           ULONG outputLength, bool internal, PIO_STATUS_BLOCK status)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || HeldSpinLocks() != 0) {
        RequirePassive("DispatchDeviceControl");
        status->Status = STATUS_INVALID_DEVICE_REQUEST;
        status->Information = 0;
        return;
    }
    DeviceControlHandler handler;
    bool known = false;
    bool deleted = false;
    {
        std::lock_guard<std::mutex> lock(g_objectMutex);
        auto it = g_devices.find(device);
        if (it != g_devices.end()) {
            known = true;
            deleted = it->second->Deleted;
            handler = it->second->Handler;
        }
    }
    status->Information = 0;
    if (!known) {
        // Deleted with no reference left: the object's memory is gone.
        // A sender must hold a reference across the request.
        VerifierFail("DispatchDeviceControl(%p, code 0x%08X): not a live device object (deleted with no reference "
                     "held, or never created)",
                     (void *)device, code);
        status->Status = STATUS_INVALID_DEVICE_REQUEST;
        return;
    }
    if (deleted) {
        // Still referenced, so the memory is there, but the device is gone.
        status->Status = STATUS_DEVICE_DOES_NOT_EXIST;
        return;
    }
    if (!handler) {
        status->Status = STATUS_INVALID_DEVICE_REQUEST;
        return;
    }
    status->Status = STATUS_PENDING;
    handler(code, input, inputLength, output, outputLength, internal, status);
    if (status->Status == STATUS_PENDING) {
        VerifierFail("DispatchDeviceControl(%p, code 0x%08X): the device's handler did not complete the request",
                     (void *)device, code);
    }
}

LONG ObjectReferences(const void *object)
{
    std::lock_guard<std::mutex> lock(g_objectMutex);
    auto file = g_files.find(object);
    if (file != g_files.end()) {
        return file->second->References;
    }
    auto device = g_devices.find(object);
    if (device != g_devices.end()) {
        return device->second->References;
    }
    return 0;
}

size_t OutstandingFileObjects()
{
    std::lock_guard<std::mutex> lock(g_objectMutex);
    return g_files.size();
}

namespace detail {

void RebootObjects()
{
    std::unordered_map<const void *, std::unique_ptr<DriverRecord>> drivers;
    std::unordered_map<const void *, std::unique_ptr<DeviceRecord>> devices;
    std::unordered_map<const void *, std::unique_ptr<FileRecord>> files;
    {
        std::lock_guard<std::mutex> lock(g_objectMutex);
        drivers.swap(g_drivers);
        devices.swap(g_devices);
        files.swap(g_files);
    }
    // Destroyed outside the lock: a handler's captures may run destructors of their own.
}

} // namespace detail
namespace detail {

bool IoObjectDriverName(const void *object, std::u16string *driverName)
{
    std::lock_guard<std::mutex> lock(g_objectMutex);
    auto driver = g_drivers.find(object);
    if (driver != g_drivers.end()) {
        *driverName = driver->second->Name;
        return true;
    }
    auto device = g_devices.find(object);
    if (device == g_devices.end()) {
        return false;
    }
    auto owner = g_drivers.find(device->second->Object.DriverObject);
    *driverName = owner != g_drivers.end() ? owner->second->Name : std::u16string();
    return true;
}

} // namespace detail
} // namespace host

using namespace host;

extern "C" NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                                   PFILE_OBJECT *FileObject, PDEVICE_OBJECT *DeviceObject)
{
    UNREFERENCED_PARAMETER(DesiredAccess);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || HeldSpinLocks() != 0) {
        RequirePassive("IoGetDeviceObjectPointer");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (FileObject == nullptr || DeviceObject == nullptr) {
        VerifierFail("IoGetDeviceObjectPointer: NULL FileObject or DeviceObject pointer");
        return STATUS_INVALID_PARAMETER;
    }
    if (ObjectName == nullptr || ObjectName->Buffer == nullptr || ObjectName->Length == 0) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (detail::CallFails(Call::IoGetDeviceObjectPointer)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto record = std::make_unique<FileRecord>();
    std::lock_guard<std::mutex> lock(g_objectMutex);
    DeviceRecord *device = FindNamedDevice(ObjectName->Buffer, ObjectName->Length / sizeof(WCHAR));
    if (device == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    FILE_OBJECT &file = record->Object;
    memset(&file, 0, sizeof(file));
    file.Type = kIoTypeFile;
    file.Size = sizeof(FILE_OBJECT);
    file.DeviceObject = &device->Object;
    file.HostExtension = record.get();
    record->References = 1;
    device->OpenFiles++;
    device->Object.ReferenceCount = device->OpenFiles;
    *FileObject = &file;
    *DeviceObject = &device->Object;
    g_files[&file] = std::move(record);
    return STATUS_SUCCESS;
}

extern "C" LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    detail::RequireAtMostDispatch("ObfReferenceObject");
    {
        std::lock_guard<std::mutex> lock(g_objectMutex);
        auto file = g_files.find(Object);
        if (file != g_files.end()) {
            return ++file->second->References;
        }
        auto device = g_devices.find(Object);
        if (device != g_devices.end()) {
            return ++device->second->References;
        }
        if (g_drivers.count(Object) != 0) {
            return 1;   // driver objects live until reboot
        }
    }
    VerifierFail("ObfReferenceObject(%p): not a live kernel object (freed, or never created by the host)", Object);
    return 0;
}

extern "C" LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    detail::RequireAtMostDispatch("ObfDereferenceObject");
    std::unique_ptr<FileRecord> closed;   // freed outside the lock
    {
        std::unique_lock<std::mutex> lock(g_objectMutex);
        auto file = g_files.find(Object);
        if (file != g_files.end()) {
            LONG count = --file->second->References;
            if (count > 0) {
                return count;
            }
            closed = std::move(file->second);
            g_files.erase(file);
            PDEVICE_OBJECT target = closed->Object.DeviceObject;
            auto device = g_devices.find(target);
            if (device != g_devices.end()) {
                DeviceRecord *record = device->second.get();
                record->OpenFiles--;
                record->Object.ReferenceCount = record->OpenFiles;
                ReapDevice(record);
            }
            memset(&closed->Object, 0xDF, sizeof(closed->Object));
            return 0;
        }
        auto device = g_devices.find(Object);
        if (device != g_devices.end()) {
            DeviceRecord *record = device->second.get();
            if (record->References == 0) {
                lock.unlock();
                VerifierFail("ObfDereferenceObject(%p): the device object's reference count would drop below zero",
                             Object);
                return 0;
            }
            LONG count = --record->References;
            ReapDevice(record);
            return count;
        }
        if (g_drivers.count(Object) != 0) {
            return 1;
        }
    }
    VerifierFail("ObfDereferenceObject(%p): not a live kernel object (references dropped below zero: a file "
                 "object dereferenced after its last reference; or never created by the host)",
                 Object);
    return 0;
}
