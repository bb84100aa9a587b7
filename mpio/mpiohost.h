/*++

Module Name:

    mpiohost.h

Abstract:

    The multipath framework as the DSM sees it: it opens its control
    device, accepts a DSM's registration record, and from then on calls
    the DSM only through the entry points of the record it received.  It
    also serves the MPIO routines a DSM may call.

    One host per process: the MPIO routines are global, as in the kernel.

--*/

#pragma once

#include <dsm.h>

#include "hostkernel.h"

#include <map>
#include <string>

namespace mpio {

struct HostOptions {
    MPIO_VERSION_INFO Version{1, 20, 0, 0};
    NTSTATUS GetVersionStatus = STATUS_SUCCESS;     // a failing DsmGetVersion
    NTSTATUS RegistrationStatus = STATUS_SUCCESS;   // a refusing MPIO
    bool ControlDevice = true;                      // "\DosDevices\MPIOControl" exists
};

using DriverEntryRoutine = NTSTATUS(NTAPI *)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

class Host {
public:
    explicit Host(const HostOptions &options = HostOptions());
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // Loads a driver as the I/O manager does: a driver object named
    // "\Driver\<service>", the service key as registry path, the entry
    // routine called at PASSIVE_LEVEL.
    NTSTATUS LoadDriver(DriverEntryRoutine entry, const std::string &serviceName);

    PDRIVER_OBJECT DriverObject() const { return driverObject_; }
    const std::u16string &RegistryPath() const { return registryPath_; }

    // The registration, once accepted.
    bool Registered() const { return registered_; }
    const DSM_INIT_DATA &Record() const { return record_; }
    ULONG MpioContext() const { return mpioContext_; }
    // Why the last registration request was refused (empty if none was).
    const std::string &RefusalReason() const { return refusalReason_; }
    unsigned RegistrationRequests() const { return registrationRequests_; }

    // Entry points, called through the received record.
    NTSTATUS Unload();

    // Port objects and the SCSI addresses of devices, as discovery learns them.
    void SetPortPdo(PDEVICE_OBJECT portObject, PDEVICE_OBJECT pdo);
    void SetScsiAddress(PDEVICE_OBJECT device, const SCSI_ADDRESS &address);

    const HostOptions &Options() const { return options_; }

    // Served to the MPIO routines.
    static Host *Current();
    PDEVICE_OBJECT PortPdo(PDEVICE_OBJECT portObject) const;
    bool ScsiAddressOf(PDEVICE_OBJECT device, SCSI_ADDRESS *address) const;

private:
    void OnControl(ULONG code, PVOID input, ULONG inputLength, PVOID output, ULONG outputLength, bool internal,
                   PIO_STATUS_BLOCK status);
    NTSTATUS Refuse(NTSTATUS status, const std::string &reason);

    HostOptions options_;
    PDEVICE_OBJECT controlDevice_ = nullptr;
    PDRIVER_OBJECT driverObject_ = nullptr;
    std::u16string registryPath_;
    bool registered_ = false;
    DSM_INIT_DATA record_{};
    ULONG mpioContext_ = 0;
    unsigned registrationRequests_ = 0;
    std::string refusalReason_;
    std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> portPdos_;
    std::map<PDEVICE_OBJECT, SCSI_ADDRESS> scsiAddresses_;
};

// Services root of the host's registry, as the I/O manager names it.
constexpr const char *kServicesRoot = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

} // namespace mpio
