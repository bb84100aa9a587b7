/*++

Module Name:

    mpiohost.cpp

Abstract:

    The multipath framework's registration side and the MPIO routines a
    DSM calls.

--*/

#include "mpiointernal.h"

#include <pthread.h>

#include <cstring>

namespace mpio {
namespace {

Host *g_current = nullptr;

// The handle MPIO returns from registration; what it means is MPIO's.
constexpr ULONG kMpioContextCookie = 0x4D500001;

// MPIO's own pool, from which it hands the DSM a device's SCSI address.
constexpr ULONG kAddressTag = host::Tag("MPIO");

const char *EntryPointName(int slot)
{
    static const char *const names[DSM_INIT_DATA_ENTRY_POINTS] = {
        "DsmInquireDriver", "DsmCompareDevices", "DsmGetSerialNumber", "DsmGetControllerInfo",
        "DsmSetDeviceInfo", "DsmIsPathActive", "DsmPathVerify", "DsmInvalidatePath",
        "DsmMoveDevice", "DsmRemovePending", "DsmRemoveDevice", "DsmRemovePath",
        "DsmSrbDeviceControl", "DsmLBGetPath", "DsmInterpretError", "DsmUnload",
        "DsmSetCompletion", "DsmCategorizeRequest", "DsmBroadcastSrb"};
    return names[slot];
}

// Whether [p, p + size) lies on the calling thread's stack.
bool OnThisStack(const void *p, size_t size)
{
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return false;
    }
    void *base = nullptr;
    size_t stackSize = 0;
    int result = pthread_attr_getstack(&attributes, &base, &stackSize);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        return false;
    }
    auto low = reinterpret_cast<uintptr_t>(base);
    auto at = reinterpret_cast<uintptr_t>(p);
    return at >= low && at + size <= low + stackSize;
}

// A counted string MPIO can read: even lengths, Length within
// MaximumLength, and characters behind a non-empty one.
std::string CountedStringProblem(const char *what, const UNICODE_STRING &string)
{
    if (string.Length % 2 == 0 && string.MaximumLength % 2 == 0 && string.Length <= string.MaximumLength &&
        (string.Buffer != nullptr || string.Length == 0)) {
        return std::string();
    }
    char text[160];
    snprintf(text, sizeof(text), "%s: Length %u, MaximumLength %u, Buffer %p", what, string.Length,
             string.MaximumLength, static_cast<const void *>(string.Buffer));
    return text;
}

} // namespace

Host::Host(const HostOptions &options) : options_(options)
{
    if (g_current != nullptr) {
        host::VerifierFail("a second MPIO host in one process; the MPIO routines serve one");
    }
    g_current = this;
    // MPIO's own device object, which its work items belong to.
    mpioDevice_ = host::CreateDevice(u"", nullptr);
    KeInitializeTimerEx(&verifyTimer_, NotificationTimer);
    KeInitializeDpc(&verifyDpc_, VerifyDpc, this);
    KeInitializeEvent(&workIdle_, NotificationEvent, TRUE);
    if (options_.ControlDevice) {
        controlDevice_ = host::CreateDevice(u"\\DosDevices\\MPIOControl",
                                            [this](ULONG code, PVOID input, ULONG inputLength, PVOID output,
                                                   ULONG outputLength, bool internal, PIO_STATUS_BLOCK status) {
                                                OnControl(code, input, inputLength, output, outputLength, internal,
                                                          status);
                                            });
    }
}

Host::~Host()
{
    StopPathMachinery();
    host::DeleteDevice(mpioDevice_);
    if (controlDevice_ != nullptr) {
        host::DeleteDevice(controlDevice_);
    }
    for (PDEVICE_OBJECT device : port_.Created) {
        host::DeleteDevice(device);
    }
    g_current = nullptr;
}

Host *Host::Current()
{
    return g_current;
}

NTSTATUS Host::LoadDriver(DriverEntryRoutine entry, const std::string &serviceName)
{
    std::u16string name(serviceName.begin(), serviceName.end());
    driverObject_ = host::CreateDriverObject(u"\\Driver\\" + name);

    std::string path = std::string(kServicesRoot) + serviceName;
    registryPath_.assign(path.begin(), path.end());

    UNICODE_STRING registryPath;
    registryPath.Buffer = registryPath_.data();
    registryPath.Length = (USHORT)(registryPath_.size() * sizeof(WCHAR));
    registryPath.MaximumLength = registryPath.Length;

    // The blocks MPIO hands the DSM come from a pool type nothing
    // promises: a DSM that frees one at DISPATCH_LEVEL is told so.
    host::PoolForeignTag(kAddressTag);
    host::RequirePassive("DriverEntry");
    inDriverEntry_ = true;
    NTSTATUS status = host::CallDriver("DriverEntry", entry, driverObject_, &registryPath);
    inDriverEntry_ = false;
    // The record registered must outlive DriverEntry.
    if (registered_) {
        LiveRecord("the return of DriverEntry");
    }
    return status;
}

// What MPIO would refuse in a record of the right size, or empty.
std::string Host::RecordProblem(const DSM_INIT_DATA *record) const
{
    if (record->Reserved != 0) {
        return "reserved word at offset " + std::to_string(offsetof(DSM_INIT_DATA, Reserved)) + " is " +
               std::to_string(record->Reserved) + ", must be 0";
    }
    std::string problem = CountedStringProblem("display name", record->DisplayName);
    if (problem.empty()) {
        problem = CountedStringProblem("WMI registry path", record->DsmWmiInfo.RegistryPath);
    }
    if (problem.empty()) {
        problem = CountedStringProblem("WMI MOF resource name", record->DsmWmiInfo.MofResourceName);
    }
    if (problem.empty()) {
        problem = WmiBlockProblem(record->DsmWmiInfo);
    }
    return problem;
}

// The registered record, checked to be still the one MPIO accepted.
// After a verifier failure the accepted copy is returned, so nothing
// reads memory that is gone.
const DSM_INIT_DATA &Host::LiveRecord(const char *use) const
{
    if (!registered_) {
        host::VerifierFail("MPIO: %s with no DSM registered", use);
        return recordCopy_;
    }
    if (recordStorage_ == RecordStorage::Stack && !inDriverEntry_) {
        host::VerifierFail("MPIO: %s: the DSM registration record at %p was on the stack of DriverEntry, which has "
                           "returned; MPIO keeps the record by reference, so it must live as long as the driver",
                           use, static_cast<const void *>(record_));
        return recordCopy_;
    }
    if (recordStorage_ == RecordStorage::Pool) {
        host::PoolBlock block;
        if (!host::PoolBlockAt(record_, sizeof(DSM_INIT_DATA), &block) || block.Serial != recordPoolSerial_) {
            host::VerifierFail("MPIO: %s: the DSM registration record at %p was in pool that has been freed; MPIO "
                               "keeps the record by reference, so it must live as long as the driver",
                               use, static_cast<const void *>(record_));
            return recordCopy_;
        }
    }
    if (memcmp(record_, &recordCopy_, sizeof(DSM_INIT_DATA)) != 0) {
        size_t offset = 0;
        const auto *now = reinterpret_cast<const uint8_t *>(record_);
        const auto *then = reinterpret_cast<const uint8_t *>(&recordCopy_);
        while (now[offset] == then[offset]) {
            offset++;
        }
        host::VerifierFail("MPIO: %s: the DSM registration record at %p changed at offset %zu since MPIO accepted "
                           "it; MPIO keeps the record by reference",
                           use, static_cast<const void *>(record_), offset);
        return recordCopy_;
    }
    return *record_;
}

NTSTATUS Host::Refuse(NTSTATUS status, const std::string &reason)
{
    refusalReason_ = reason;
    return status;
}

// The control device's one request: a DSM's registration.
void Host::OnControl(ULONG code, PVOID input, ULONG inputLength, PVOID output, ULONG outputLength, bool internal,
                     PIO_STATUS_BLOCK status)
{
    status->Information = 0;
    if (code != IOCTL_MPIO_REGISTER_DSM || !internal) {
        status->Status = STATUS_INVALID_DEVICE_REQUEST;
        return;
    }
    registrationRequests_++;
    refusalReason_.clear();

    const auto *record = static_cast<const DSM_INIT_DATA *>(input);
    NTSTATUS result = STATUS_SUCCESS;
    if (input == nullptr || inputLength != sizeof(DSM_INIT_DATA)) {
        result = Refuse(STATUS_INVALID_PARAMETER, "registration record of " + std::to_string(inputLength) +
                                                      " bytes, expected " + std::to_string(sizeof(DSM_INIT_DATA)));
    } else if (record->InitDataSize != sizeof(DSM_INIT_DATA)) {
        result = Refuse(STATUS_INVALID_PARAMETER, "registration record claims " +
                                                      std::to_string(record->InitDataSize) + " bytes");
    } else if (output == nullptr || outputLength < sizeof(ULONG)) {
        result = Refuse(STATUS_BUFFER_TOO_SMALL, "no room for the MPIO context");
    } else if (record->DsmContext == nullptr) {
        result = Refuse(STATUS_INVALID_PARAMETER, "registration record without a DSM context");
    } else if (registered_) {
        result = Refuse(STATUS_INVALID_DEVICE_REQUEST, "a DSM is already registered");
    } else if (!RecordProblem(record).empty()) {
        result = Refuse(STATUS_INVALID_PARAMETER, RecordProblem(record));
    } else if (!NT_SUCCESS(options_.RegistrationStatus)) {
        result = Refuse(options_.RegistrationStatus, "registration refused by configuration");
    } else {
        // The nineteen entry points follow the size word, in slot order.
        void *slots[DSM_INIT_DATA_ENTRY_POINTS];
        memcpy(slots, reinterpret_cast<const char *>(record) + offsetof(DSM_INIT_DATA, DsmInquireDriver),
               sizeof(slots));
        for (int slot = 0; slot < DSM_INIT_DATA_ENTRY_POINTS && NT_SUCCESS(result); slot++) {
            if (slots[slot] == nullptr) {
                result = Refuse(STATUS_INVALID_PARAMETER, std::string("entry point ") + EntryPointName(slot) +
                                                              " (slot " + std::to_string(slot + 1) + ") missing");
            }
        }
    }

    if (NT_SUCCESS(result)) {
        record_ = record;
        // Byte for byte, padding included: the record is compared as bytes
        // at every use, and a member-wise copy leaves padding undefined.
        memcpy(&recordCopy_, record, sizeof(DSM_INIT_DATA));
        host::PoolBlock block;
        if (OnThisStack(record, sizeof(DSM_INIT_DATA))) {
            recordStorage_ = RecordStorage::Stack;
        } else if (host::PoolBlockAt(record, sizeof(DSM_INIT_DATA), &block)) {
            recordStorage_ = RecordStorage::Pool;
            recordPoolSerial_ = block.Serial;
        } else {
            recordStorage_ = RecordStorage::Static;
        }
        registered_ = true;
        RegisterWmiBlocks(*record);
        mpioContext_ = kMpioContextCookie;
        memcpy(output, &mpioContext_, sizeof(ULONG));
        status->Information = sizeof(ULONG);
    }
    status->Status = result;
}

NTSTATUS Host::Unload()
{
    if (!registered_) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const DSM_INIT_DATA &record = LiveRecord("DsmUnload");
    return host::CallDriver("DsmUnload", record.DsmUnload, record.DsmContext);
}

} // namespace mpio

using mpio::Host;

extern "C" NTSTATUS NTAPI DsmGetVersion(PMPIO_VERSION_INFO VersionInfo, ULONG Length)
{
    Host *host = Host::Current();
    if (host == nullptr) {
        host::VerifierFail("DsmGetVersion called with no MPIO host");
        return STATUS_UNSUCCESSFUL;
    }
    if (VersionInfo == nullptr || Length < sizeof(MPIO_VERSION_INFO)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!NT_SUCCESS(host->Options().GetVersionStatus)) {
        return host->Options().GetVersionStatus;
    }
    *VersionInfo = host->Options().Version;
    return STATUS_SUCCESS;
}

extern "C" PDEVICE_OBJECT NTAPI DsmGetPDO(ULONG MpioContext, PDEVICE_OBJECT PortObject)
{
    host::RequirePassive("DsmGetPDO");
    Host *host = Host::Current();
    if (host == nullptr || !host->Registered() || MpioContext != host->MpioContext()) {
        host::VerifierFail("DsmGetPDO called with MPIO context 0x%08X that MPIO never returned", MpioContext);
        return nullptr;
    }
    return host->PortPdo(PortObject);
}

extern "C" NTSTATUS NTAPI DsmGetScsiAddress(PDEVICE_OBJECT DeviceObject, PSCSI_ADDRESS *ScsiAddress)
{
    host::RequirePassive("DsmGetScsiAddress");
    Host *host = Host::Current();
    SCSI_ADDRESS address;
    if (host == nullptr || !host->ScsiAddressOf(DeviceObject, &address)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto *copy = static_cast<PSCSI_ADDRESS>(ExAllocatePoolWithTag(NonPagedPool, sizeof(SCSI_ADDRESS), mpio::kAddressTag));
    if (copy == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *copy = address;
    copy->Length = sizeof(SCSI_ADDRESS);
    *ScsiAddress = copy;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI DsmSendDeviceIoControlSynchronous(ULONG IoControlCode, PDEVICE_OBJECT TargetDeviceObject,
                                                        PVOID InputBuffer, PVOID OutputBuffer,
                                                        ULONG InputBufferLength, ULONG OutputBufferLength,
                                                        BOOLEAN InternalDeviceIoControl, PIO_STATUS_BLOCK IoStatus)
{
    host::RequirePassive("DsmSendDeviceIoControlSynchronous");
    // The request MPIO builds for it can find no memory.
    if (host::CallInjectedFails(host::Call::IoBuildDeviceIoControlRequest)) {
        IoStatus->Status = STATUS_INSUFFICIENT_RESOURCES;
        IoStatus->Information = 0;
        return;
    }
    host::DispatchDeviceControl(TargetDeviceObject, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                                OutputBufferLength, InternalDeviceIoControl != FALSE, IoStatus);
}
