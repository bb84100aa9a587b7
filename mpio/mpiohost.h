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
#include "scsitarget.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace mpio {

struct HostOptions {
    MPIO_VERSION_INFO Version{1, 20, 0, 0};
    NTSTATUS GetVersionStatus = STATUS_SUCCESS;     // a failing DsmGetVersion
    NTSTATUS RegistrationStatus = STATUS_SUCCESS;   // a refusing MPIO
    bool ControlDevice = true;                      // "\DosDevices\MPIOControl" exists
};

using DriverEntryRoutine = NTSTATUS(NTAPI *)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// One path of a topology: the host port (SCSI port number), bus and
// target id it is seen at, and the target port of the storage it reaches.
struct PathSpec {
    UCHAR PortNumber = 0;
    UCHAR PathId = 0;
    UCHAR TargetId = 0;
    uint32_t TargetPort = 0;
};

struct Topology {
    uint32_t HostId = 1;                // distinguishes this host's initiator ports from another host's
    std::vector<PathSpec> Paths;
    std::vector<UCHAR> Luns;
};

// One disk device as the storage stack reports it: one LUN seen down one path.
struct Device {
    PathSpec Path;
    UCHAR Lun = 0;
    array::Nexus Nexus;
    PDEVICE_OBJECT PortObject = nullptr;    // the host port's device object
    PDEVICE_OBJECT TargetObject = nullptr;  // the disk on this path; takes pass-through requests
    std::string Vendor;                     // as INQUIRY reported it
    std::string Product;
    NTSTATUS ClaimStatus = STATUS_NOT_SUPPORTED;
    PVOID DsmId = nullptr;                  // the driver's identifier once claimed
    std::string SerialNumber;               // the driver's answer to DsmGetSerialNumber
    int Group = -1;                         // index of its multipath disk
};

// What one request through the I/O path came to.
struct IoResult {
    ULONG Category = 0;         // the driver's answer, a DSM_CATEGORY_* code
    PVOID Path = nullptr;       // the path identifier it went down (category 3)
    NTSTATUS Status = STATUS_PENDING;   // the IRP's final status
    UCHAR SrbStatus = SRB_STATUS_PENDING;
    UCHAR ScsiStatus = 0;
    uint8_t Sense[18] = {};
};

// A multipath disk: claimed devices the driver says are one logical drive.
struct MultipathDisk {
    std::vector<size_t> Devices;            // indexes into Host::Devices()
    std::string SerialNumber;
};

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

    // The registration, once accepted.  MPIO keeps the driver's record by
    // reference, as the real framework does: every use checks that the
    // record is still where it was registered, alive and unchanged, and
    // a record on DriverEntry's stack or in pool since freed is a
    // verifier failure.
    bool Registered() const { return registered_; }
    const DSM_INIT_DATA &Record() const { return LiveRecord("Record"); }
    ULONG MpioContext() const { return mpioContext_; }
    // Why the last registration request was refused (empty if none was).
    const std::string &RefusalReason() const { return refusalReason_; }
    unsigned RegistrationRequests() const { return registrationRequests_; }

    // Entry points, called through the received record.
    NTSTATUS Unload();

    // Discovery, as the storage stack and MPIO do it at boot: for every
    // path of the topology and every LUN, a disk device is built from the
    // target's own INQUIRY and device identification answers and offered
    // to the driver; claimed devices are grouped by the driver's answers.
    // A device the storage does not identify (no answer, no logical unit)
    // is skipped, and why is kept in DiscoveryProblems.
    void Discover(array::ScsiTarget *target, const Topology &topology);
    const std::vector<Device> &Devices() const { return devices_; }
    const std::vector<MultipathDisk> &Disks() const { return disks_; }
    // Why devices were skipped during discovery.
    const std::vector<std::string> &DiscoveryProblems() const { return discoveryProblems_; }

    // The I/O path, as the disk class driver's requests take it: an IRP
    // with an SRB, categorised by the driver; a request it carries out
    // itself (reservations, resets) goes to its device-control entry point
    // and is waited for; any other goes down the path it chose, with its
    // completion hooked.  PASSIVE_LEVEL.
    IoResult Scsi(size_t disk, const std::vector<uint8_t> &cdb, void *data, ULONG dataLength, bool dataIn);
    IoResult Read(size_t disk, uint64_t lba, uint32_t blocks, void *buffer);
    IoResult Write(size_t disk, uint64_t lba, uint32_t blocks, const void *buffer);
    IoResult DeviceControl(size_t disk, ULONG ioControlCode);

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
    std::string RecordProblem(const DSM_INIT_DATA *record) const;
    const DSM_INIT_DATA &LiveRecord(const char *use) const;
    PDEVICE_OBJECT PortObjectFor(UCHAR portNumber);
    void StartDisk(const Device &device);
    bool Identify(Device *device, std::vector<uint8_t> *descriptor, std::vector<uint8_t> *identifiers,
                  std::string *problem);
    void Claim(size_t index, std::vector<uint8_t> *descriptor, std::vector<uint8_t> *identifiers);
    IoResult Submit(size_t disk, PIRP irp, PSCSI_REQUEST_BLOCK srb);
    const Device *DeviceOfPath(PVOID pathId) const;

    HostOptions options_;
    PDEVICE_OBJECT controlDevice_ = nullptr;
    PDRIVER_OBJECT driverObject_ = nullptr;
    std::u16string registryPath_;
    bool registered_ = false;
    // Where the record lives, as classified at registration.
    enum class RecordStorage { Static, Pool, Stack };
    const DSM_INIT_DATA *record_ = nullptr;     // the driver's own record
    DSM_INIT_DATA recordCopy_{};                // its contents when accepted
    RecordStorage recordStorage_ = RecordStorage::Static;
    uint64_t recordPoolSerial_ = 0;
    bool inDriverEntry_ = false;
    ULONG mpioContext_ = 0;
    unsigned registrationRequests_ = 0;
    std::string refusalReason_;
    std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> portPdos_;
    std::map<PDEVICE_OBJECT, SCSI_ADDRESS> scsiAddresses_;
    array::ScsiTarget *target_ = nullptr;
    std::map<UCHAR, PDEVICE_OBJECT> portObjects_;
    std::vector<PDEVICE_OBJECT> createdDevices_;
    std::vector<Device> devices_;
    std::vector<MultipathDisk> disks_;
    std::vector<std::string> discoveryProblems_;
};

// Serves IOCTL_SCSI_PASS_THROUGH for a disk device: checks the request's
// header and offsets against the buffer, runs the command on the nexus,
// and writes back SCSI status, sense and data as a port driver does.
void PassThrough(array::ScsiTarget *target, const array::Nexus &nexus, PVOID buffer, ULONG inputLength,
                 ULONG outputLength, PIO_STATUS_BLOCK status);

// Services root of the host's registry, as the I/O manager names it.
constexpr const char *kServicesRoot = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

} // namespace mpio
