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

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace mpio {

struct HostOptions {
    MPIO_VERSION_INFO Version{1, 20, 0, 0};
    NTSTATUS GetVersionStatus = STATUS_SUCCESS;     // a failing DsmGetVersion
    NTSTATUS RegistrationStatus = STATUS_SUCCESS;   // a refusing MPIO
    bool ControlDevice = true;                      // "\DosDevices\MPIOControl" exists

    // MPIO's own settings, with the values the platform ships.
    ULONG RetryCount = 3;                   // resends of a request the DSM asks to retry
    ULONG RetryIntervalMs = 1000;           // between those resends
    // Periodic verification of every path, the one in use included; off
    // as the platform ships, so a failed path returns only as a new
    // device (an arrival) unless it is turned on.
    bool PathVerifyEnabled = false;
    ULONG PathVerificationPeriodMs = 30000; // how often, when on
    ULONG RemovalPeriodMs = 20000;          // how long requests are held while a disk has no live path
    // The port's: a link that stays down this long takes the disk devices
    // seen through it away (Plug and Play removal); while it is down the
    // port tries it every LinkProbeIntervalMs and, once it answers again,
    // enumerates its logical units anew.
    ULONG LinkDownTimeMs = 15000;
    ULONG LinkProbeIntervalMs = 1000;
    // The disk class driver above MPIO resends a request the target
    // answered BUSY, after a pause, this many times.
    ULONG BusyRetryCount = 8;
    ULONG BusyRetryIntervalMs = 250;
    ULONG WmiBufferSize = 512;              // the buffer a WMI query is first given
};

// MPIO's own view of one path (a claimed device), apart from the DSM's.
enum class PathState {
    Unbound,    // claimed, but the DSM would not bind it (DsmSetDeviceInfo failed)
    Live,       // verified and reported active: requests may go down it
    Failed,     // a path failure, a failed verification or an inactive answer; verified again periodically
    Removing,   // the storage took it away; outstanding requests are being failed over
    Removed,    // the DSM's removal entry points have run and its device object is gone
};
const char *PathStateName(PathState state);

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
    PVOID PathId = nullptr;                 // what DsmSetDeviceInfo returned
    size_t Link = 0;                        // index of its path in the topology
};

// What one request through the I/O path came to.
struct IoResult {
    ULONG Category = 0;         // the driver's answer, a DSM_CATEGORY_* code
    PVOID Path = nullptr;       // the path identifier it went down (category 3)
    NTSTATUS Status = STATUS_PENDING;   // the IRP's final status
    UCHAR SrbStatus = SRB_STATUS_PENDING;
    UCHAR ScsiStatus = 0;
    uint8_t Sense[18] = {};
    ULONG Transferred = 0;      // bytes moved by a request that succeeded
};

// A request in flight through the I/O path: its IRP, SRB and sense area,
// and the event its completion signals.  The data buffer is the caller's
// and must stay valid until the request is done.
class PendingIo {
public:
    PendingIo();
    PendingIo(const PendingIo &) = delete;
    PendingIo &operator=(const PendingIo &) = delete;

    bool Done() const;
    // Waits for completion (PASSIVE_LEVEL).  With the controllable clock a
    // request waiting for a retry or held for a path needs another thread
    // to move the clock.
    const IoResult &Wait();

private:
    friend class Host;
    IRP irp_{};
    IO_STACK_LOCATION stack_{};
    SCSI_REQUEST_BLOCK srb_{};
    bool hasSrb_ = false;
    uint8_t sense_[18] = {};
    ULONG dataLength_ = 0;
    KEVENT done_;
    IoResult result_;
    std::function<void(const IoResult &)> onDone_;
};

using IoCallback = std::function<void(const IoResult &)>;

// The platform's answer for an instance name WMI does not know.
#ifndef STATUS_WMI_INSTANCE_NOT_FOUND
#define STATUS_WMI_INSTANCE_NOT_FOUND ((NTSTATUS)0xC0000296L)
#endif

// One instance of a DSM data block: the multipath disk it belongs to, its
// instance name and the bytes the DSM answered (as long as the instance
// length it reported).
struct WmiInstance {
    size_t Disk = 0;
    std::string Name;
    std::vector<uint8_t> Data;
};

// A multipath disk: claimed devices the driver says are one logical drive.
struct MultipathDisk {
    std::vector<size_t> Devices;            // indexes into Host::Devices(), removed ones included
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
    // Devices the storage takes away later stay in Devices() as Removed;
    // devices that arrive later (a link that returns and is enumerated
    // again) are added behind them, and a logical unit whose disk was
    // removed comes back as a new disk.  Elements never move.
    void Discover(array::ScsiTarget *target, const Topology &topology);
    const std::deque<Device> &Devices() const { return devices_; }
    const std::deque<MultipathDisk> &Disks() const { return disks_; }
    // How many devices there are, safe beside arrivals on other threads.
    size_t DeviceCount() const;
    // A copy of a device's record, also safe beside arrivals; what the
    // driver and MPIO give it is final once StateOf is past Unbound.
    Device DeviceAt(size_t device) const;
    // Requests the DSM routed to a path it may no longer name (one whose
    // removal notice it had heard when asked) or that MPIO never bound.
    // Each is also a verifier failure.
    unsigned RoutingFaults() const;
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

    // The same, returning at once: the request completes on a port
    // completion thread, a DPC or a work item, which then runs onDone (if
    // given; it must only record what it is told) and signals the handle.
    // Requests categorised for the DSM's device-control entry point are
    // carried out before this returns.  PASSIVE_LEVEL.
    std::shared_ptr<PendingIo> SubmitScsi(size_t disk, const std::vector<uint8_t> &cdb, void *data,
                                          ULONG dataLength, bool dataIn, IoCallback onDone = nullptr);
    std::shared_ptr<PendingIo> SubmitRead(size_t disk, uint64_t lba, uint32_t blocks, void *buffer,
                                          IoCallback onDone = nullptr);
    std::shared_ptr<PendingIo> SubmitWrite(size_t disk, uint64_t lba, uint32_t blocks, const void *buffer,
                                           IoCallback onDone = nullptr);
    std::shared_ptr<PendingIo> SubmitDeviceControl(size_t disk, ULONG ioControlCode, IoCallback onDone = nullptr);

    // Returns when no request is at the port (queued, being carried out or
    // being completed).  Requests waiting for a retry interval, held for a
    // path or timed by the port stay where they are: tests move the clock
    // and drain work items for those.
    void WaitIdle();

    // The port's fault switch: the next `count` requests down the
    // topology's path `link` never reach the storage and end with
    // `srbStatus`, as a port driver reports a transport outcome.  A
    // selection timeout also marks the link down, as meeting a dead link
    // does.
    void FailAtPort(size_t link, UCHAR srbStatus, unsigned count = 1);

    // MPIO's view of a device's path, and the requests of a disk it holds
    // while no path can take them.
    PathState StateOf(size_t device) const;
    size_t HeldRequests(size_t disk) const;

    // The storage takes a disk device away for good (a surprise removal):
    // its outstanding requests are failed over, then the DSM hears
    // DsmRemovePending, DsmRemoveDevice and DsmRemovePath, and only then is
    // the device object deleted.  False when it was removed already.
    // PASSIVE_LEVEL.
    bool RemoveDevice(size_t device);
    // Every device seen down this path (host port, bus, target).
    size_t RemovePath(UCHAR portNumber, UCHAR pathId, UCHAR targetId);

    // Port objects and the SCSI addresses of devices, as discovery learns them.
    void SetPortPdo(PDEVICE_OBJECT portObject, PDEVICE_OBJECT pdo);
    void SetScsiAddress(PDEVICE_OBJECT device, const SCSI_ADDRESS &address);

    // WMI, forwarded as MPIO does it.  MPIO registers the GUIDs of the
    // record's WMI block and presents one instance of each per multipath
    // disk that still has a path, named "MPIO_DISK<n>_0" after the disk's
    // index.  A request reaches the DSM's callback with the GUID's index
    // in the DSM's table and the disk's DSM identifiers (one per path, in
    // the order found), at PASSIVE_LEVEL as WMI's requests arrive.  A
    // buffer the DSM finds too small is offered again at the size it asked
    // for, up to kWmiAttempts calls in all.  Unknown GUID:
    // STATUS_WMI_GUID_NOT_FOUND; unknown instance:
    // STATUS_WMI_INSTANCE_NOT_FOUND; otherwise the DSM's status.
    // PASSIVE_LEVEL.
    static constexpr int kWmiAttempts = 4;
    const std::vector<GUID> &WmiGuids() const { return wmiGuids_; }
    static std::string WmiInstanceName(size_t disk);
    std::vector<std::string> WmiInstanceNames() const;
    NTSTATUS WmiQuerySingleInstance(const GUID &guid, const std::string &instance, std::vector<uint8_t> *data);
    NTSTATUS WmiQueryAllData(const GUID &guid, std::vector<WmiInstance> *instances);
    // A method of the block on an instance, with room for `outputRoom`
    // bytes of output (0 for a method without output); what it wrote in
    // output.
    NTSTATUS WmiExecuteMethod(const GUID &guid, const std::string &instance, ULONG methodId,
                              const std::vector<uint8_t> &input, ULONG outputRoom, std::vector<uint8_t> *output);

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
    void RegisterWmiBlocks(const DSM_INIT_DATA &record);
    const DSM_WMILIB_CONTEXT &LiveWmiBlock(const char *use) const;
    bool WmiGuidIndex(const GUID &guid, ULONG *index) const;
    bool WmiDiskOf(const std::string &instance, size_t *disk) const;
    NTSTATUS WmiInstanceOf(const GUID &guid, const std::string &instance, ULONG *index, size_t *disk) const;
    NTSTATUS WmiQueryDisk(ULONG guidIndex, size_t disk, std::vector<uint8_t> *data);
    PDEVICE_OBJECT PortObjectFor(UCHAR portNumber);
    void StartDisk(const Device &device);
    bool Identify(Device *device, std::vector<uint8_t> *descriptor, std::vector<uint8_t> *identifiers,
                  std::string *problem);
    void Claim(size_t index, std::vector<uint8_t> *descriptor, std::vector<uint8_t> *identifiers);
    bool JoinsDisk(size_t disk, const Device &device);
    void Enumerate(size_t link, UCHAR lun);
    struct Request;
    struct DiskState;
    struct WorkContext;
    struct Link;
    // The port starts with a few threads and adds one whenever a request
    // would wait behind others, as a port driver times each request out
    // on its own: a path that hangs must not stall requests on the others.
    static constexpr size_t kPortThreads = 2;
    static constexpr size_t kMaxPortThreads = 64;
    std::shared_ptr<PendingIo> Submit(size_t disk, std::shared_ptr<PendingIo> io);
    void BringUp(size_t index);
    bool DeviceIndexOfPath(PVOID pathId, size_t *index) const;
    std::vector<PVOID> IdsOf(size_t disk) const;
    bool HasLivePath(size_t disk) const;
    void Send(Request *request, PVOID path, NTSTATUS status);
    void RoutingFault(Request *request, const char *format, PVOID path);
    void FailOver(Request *request, ULONG verdict);
    void NoteAsked(Request *request);
    void Route(Request *request);
    void Hold(Request *request);
    void FailRequest(Request *request, NTSTATUS status);
    void Complete(Request *request);
    void FailPathLocked(size_t device);
    void PortThread();
    // False while the port times the request out: the storage will never answer it.
    bool CarryOut(Request *request, bool gone);
    void FinishAtPort(Request *request, bool gone);
    bool TakePortFault(size_t link, UCHAR *srbStatus);
    void EndTimedAtPort(Request *request, UCHAR srbStatus, bool gone);
    void AbortTimedAtPort(size_t device);
    void ArmDiskTimer(size_t disk);
    void QueueWork();
    void VerifyPaths();
    void FailAndInvalidate(size_t device);
    void ReleaseDisksWithPaths();
    bool PresentLocked(size_t device) const;
    void LinkLost(uint32_t initiator, uint32_t targetPort);
    void InvalidateLostPaths();
    void NoteLinkDown(size_t link);
    void NoteLinkDownLocked(size_t link);
    void ServiceLinks();
    bool ProbeLink(size_t link);
    bool HasDeviceLocked(size_t link, UCHAR lun);
    void ExpireDisks();
    void ReleaseHeld(size_t disk);
    void RemoveDevices(const std::vector<size_t> &devices);
    void AddDiskState();
    void StartPathMachinery();
    void StopPathMachinery();
    static VOID NTAPI RetryDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
    static VOID NTAPI PortTimeoutDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
    static VOID NTAPI VerifyDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
    static VOID NTAPI DiskDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
    static VOID NTAPI LinkDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
    static VOID NTAPI WorkRoutine(PDEVICE_OBJECT device, PVOID context);

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
    std::vector<GUID> wmiGuids_;            // the DSM's GUID table, as registered
    std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> portPdos_;
    std::map<PDEVICE_OBJECT, SCSI_ADDRESS> scsiAddresses_;
    array::ScsiTarget *target_ = nullptr;
    std::map<UCHAR, PDEVICE_OBJECT> portObjects_;
    std::vector<PDEVICE_OBJECT> createdDevices_;
    // Grown under mutex_ (by discovery and arrivals, with pnpMutex_ held
    // after discovery); an element, once added, never moves.
    std::deque<Device> devices_;
    std::deque<MultipathDisk> disks_;
    std::vector<std::string> discoveryProblems_;

    // The I/O path and the path life.  mutex_ guards what follows; it is
    // never held while the DSM or the storage is called.
    mutable std::mutex mutex_;
    std::condition_variable portCv_;        // work at the port, or stop
    std::condition_variable idleCv_;        // the port ran dry, or a device's requests left it
    std::vector<PathState> states_;         // per device
    std::vector<size_t> atPort_;            // per device: requests at the port
    size_t portBusy_ = 0;                   // requests queued or being carried out
    std::deque<Request *> portQueue_;
    std::vector<std::thread> portThreads_;
    size_t portIdle_ = 0;                   // port threads waiting for work
    bool stopping_ = false;
    std::set<Request *> live_;              // every request not yet completed
    unsigned routingFaults_ = 0;
    uint64_t removalNotices_ = 0;           // DsmRemovePending calls returned so far
    std::vector<uint64_t> noticedAt_;       // per device: removalNotices_ once its notice returned, or 0
    std::vector<std::unique_ptr<DiskState>> diskStates_;
    std::mutex pnpMutex_;                   // verification and removal, at PASSIVE_LEVEL
    PDEVICE_OBJECT mpioDevice_ = nullptr;   // owns MPIO's work items
    PIO_WORKITEM workItem_ = nullptr;
    bool workQueued_ = false;
    bool verifyDue_ = false;
    bool expiryDue_ = false;
    bool lostDue_ = false;
    bool linksDue_ = false;
    std::vector<bool> linkLost_;            // per device: the port reported its link lost
    bool machinery_ = false;
    KTIMER verifyTimer_;
    KDPC verifyDpc_;
    // The port's links, one per path of the topology, and the logical
    // units it enumerates on each.  Filled by discovery before any
    // other thread runs; a link's state is guarded by mutex_.
    std::vector<std::unique_ptr<Link>> links_;
    std::vector<UCHAR> luns_;
    uint32_t hostId_ = 1;
};

// Serves IOCTL_SCSI_PASS_THROUGH for a disk device: checks the request's
// header and offsets against the buffer, runs the command on the nexus,
// and writes back SCSI status, sense and data as a port driver does.
void PassThrough(array::ScsiTarget *target, const array::Nexus &nexus, PVOID buffer, ULONG inputLength,
                 ULONG outputLength, PIO_STATUS_BLOCK status);

// Services root of the host's registry, as the I/O manager names it.
constexpr const char *kServicesRoot = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

} // namespace mpio
