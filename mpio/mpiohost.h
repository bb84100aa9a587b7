/*++

Module Name:

    mpiohost.h

Abstract:

    The multipath framework as the DSM sees it: it opens its control
    device, accepts a DSM's registration record, and from then on calls
    the DSM only through the entry points of the record it received.  It
    also serves the MPIO routines a DSM may call.

    Host is the facade of the stack beneath the DSM, in three parts as on
    the real platform: the port (its links, per-path request timing and
    the devices it presents), Plug and Play (arrival, removal and each
    device's remove lock) and MPIO proper (registration, routing, error
    policy, path life, timers and WMI).  Each routine that needs a lock
    says so in its name (...Locked) or asserts it at entry.

    One host per process: the MPIO routines are global, as in the kernel.

--*/

#pragma once

#include <dsm.h>

#include "hostkernel.h"
#include "scsitarget.h"

#include <atomic>
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
    ULONG BlockLength = 0;                  // as READ CAPACITY reported it when the disk started
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
    ULONG BlockLength = 0;                  // the bytes of one block, from its first device
};

// A mutex that knows which thread holds it, so that a routine that needs
// it held can assert so at entry, as the driver asserts its own lock, and
// the host checks it.
class HostMutex {
public:
    void lock()
    {
        lock_.lock();
        owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    bool try_lock()
    {
        if (!lock_.try_lock()) {
            return false;
        }
        owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        return true;
    }
    void unlock()
    {
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        lock_.unlock();
    }
    bool HeldHere() const { return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

private:
    std::mutex lock_;
    std::atomic<std::thread::id> owner_{};
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
    const std::deque<Device> &Devices() const { return pnp_.Devices; }
    const std::deque<MultipathDisk> &Disks() const { return disks_; }
    // How many devices there are, safe beside arrivals on other threads.
    size_t DeviceCount() const;
    // The bytes of one block of the disk, as its unit reported them.
    ULONG BlockLength(size_t disk) const;
    // A copy of a device's record, also safe beside arrivals; what the
    // driver and MPIO give it is final once StateOf is past Unbound.
    Device DeviceAt(size_t device) const;
    // Requests the DSM routed to a path it may no longer name (one whose
    // removal notice it had heard when asked) or that MPIO never bound.
    // Each is also a verifier failure.
    unsigned RoutingFaults() const;
    // For tests that sequence a removal against requests: called on the
    // removing thread, with no lock held, when a device's removal finds
    // requests still holding its remove lock and waits for them.
    void OnRemovalWaits(std::function<void(size_t device)> observer);
    // For tests that sequence the host's stop against a DPC or a work
    // item still running: called on the stopping thread, with no lock
    // held, once the host takes no new work and has cancelled its timers,
    // before it waits for what is still running.
    void OnStopping(std::function<void()> observer);
    // Why devices were skipped during discovery.
    const std::vector<std::string> &DiscoveryProblems() const { return port_.Problems; }

    // The I/O path, as the disk class driver's requests take it: an IRP
    // with an SRB, categorised by the driver; a request it carries out
    // itself (reservations, resets) goes to its device-control entry point
    // and is waited for; any other goes down the path it chose, with its
    // completion hooked.  PASSIVE_LEVEL.
    IoResult Scsi(size_t disk, const std::vector<uint8_t> &cdb, void *data, ULONG dataLength, bool dataIn);
    // Reads and writes move whole blocks of the disk's block length.
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
    struct Request;
    struct DiskState;
    struct WorkContext;
    struct Link;
    class HeldIds;

    // ---- MPIO proper: registration, routing, error policy, path life,
    // timers and WMI.  Routines named ...Locked run with lock_ held and
    // assert it; the others take it themselves and never hold it while
    // they call the DSM or the storage.

    // Registration.
    void OnControl(ULONG code, PVOID input, ULONG inputLength, PVOID output, ULONG outputLength, bool internal,
                   PIO_STATUS_BLOCK status);
    NTSTATUS Refuse(NTSTATUS status, const std::string &reason);
    std::string RecordProblem(const DSM_INIT_DATA *record) const;
    const DSM_INIT_DATA &LiveRecord(const char *use) const;

    // WMI.
    void RegisterWmiBlocks(const DSM_INIT_DATA &record);
    const DSM_WMILIB_CONTEXT &LiveWmiBlock(const char *use) const;
    bool WmiGuidIndex(const GUID &guid, ULONG *index) const;
    bool WmiDiskOf(const std::string &instance, size_t *disk) const;
    NTSTATUS WmiInstanceOf(const GUID &guid, const std::string &instance, ULONG *index, size_t *disk) const;
    NTSTATUS WmiQueryDisk(ULONG guidIndex, size_t disk, std::vector<uint8_t> *data);

    // Routing and error policy, at DISPATCH_LEVEL (iopath.cpp).
    std::shared_ptr<PendingIo> Submit(size_t disk, std::shared_ptr<PendingIo> io);
    bool DeviceIndexOfPath(PVOID pathId, size_t *index) const;
    std::vector<PVOID> IdsOf(size_t disk) const;
    std::vector<size_t> ListedDevicesLocked(size_t disk) const;
    bool HasLivePathLocked(size_t disk) const;
    void Send(Request *request, PVOID path, NTSTATUS status);
    void NoPath(Request *request, NTSTATUS status);
    bool MayName(Request *request, PVOID path, size_t *device);
    void PrepareAttempt(Request *request, PVOID path, size_t device);
    void RoutingFault(Request *request, const char *format, PVOID path);
    void CompleteAttempt(Request *request, bool gone);
    void FailOver(Request *request, ULONG verdict);
    void NoteAsked(Request *request);
    void Route(Request *request);
    void Hold(Request *request);
    void RetryAfter(Request *request, ULONG milliseconds);
    void ParkLocked(Request *request);
    void FailRequest(Request *request, NTSTATUS status);
    void Complete(Request *request);
    void FailPathLocked(size_t device);
    static VOID NTAPI RetryDpc(PKDPC dpc, PVOID context, PVOID, PVOID);

    // Claiming and the life of paths (claim.cpp, pathlife.cpp).
    void Claim(size_t index, std::vector<uint8_t> *descriptor, std::vector<uint8_t> *identifiers);
    bool JoinsDisk(size_t disk, const Device &device);
    void AddDiskState();
    void BringUp(size_t index);
    bool PresentLocked(size_t device) const;
    void ArmDiskTimerLocked(size_t disk);
    void LoseLastPathLocked(size_t disk);
    bool RearmForRestOfPeriodLocked(size_t disk);
    void QueueWorkLocked();
    void VerifyPaths();
    void FailAndInvalidate(size_t device);
    void ReleaseDisksWithPaths();
    void LinkLost(uint32_t initiator, uint32_t targetPort);
    void InvalidateLostPaths();
    void ExpireDisks();
    void ReleaseHeld(size_t disk);
    void NoticeRemoval(size_t device);
    void MarkNoticedLocked(size_t device);
    void FinishRemoval(size_t device);
    void DropEmptyDisksLocked(std::vector<Request *> *orphans);
    void StartPathMachinery();
    void StopPathMachinery();
    void CancelForStopLocked();
    void WaitForWorkItems();
    void DoNotedWork();
    static VOID NTAPI VerifyDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
    static VOID NTAPI DiskDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
    static VOID NTAPI WorkRoutine(PDEVICE_OBJECT device, PVOID context);

    // ---- Plug and Play: arrival, removal and each device's remove lock
    // (pnp.cpp).  Arrival and removal run at PASSIVE_LEVEL with pnp_.Mutex
    // held, which they assert.
    void Arrive(size_t index, std::vector<uint8_t> *descriptor, std::vector<uint8_t> *identifiers);
    ULONG StartDisk(const Device &device);
    void RemoveDevices(const std::vector<size_t> &devices);
    void AcquireRemoveLockLocked(size_t device);
    void ReleaseRemoveLockLocked(size_t device);
    void WaitForRemoveLockLocked(std::unique_lock<HostMutex> &lock, size_t device);

    // ---- The port: its links, per-path request timing and device
    // presence (port.cpp).  Routines named ...Locked run with lock_ held.
    PDEVICE_OBJECT PortObjectFor(UCHAR portNumber);
    bool Identify(Device *device, std::vector<uint8_t> *descriptor, std::vector<uint8_t> *identifiers,
                  std::string *problem);
    void Enumerate(size_t link, UCHAR lun);
    bool HasDevice(size_t link, UCHAR lun);
    // The port starts with a few threads and adds one whenever a request
    // would wait behind others, as a port driver times each request out
    // on its own: a path that hangs must not stall requests on the others.
    static constexpr size_t kPortThreads = 2;
    static constexpr size_t kMaxPortThreads = 64;
    void StartPortLocked();
    void QueueAtPortLocked(Request *request);
    void PortThread();
    // False while the port times the request out: the storage will never answer it.
    bool CarryOut(Request *request, bool gone);
    bool Answer(Request *request, bool gone);
    bool ExecuteOnStorage(PSCSI_REQUEST_BLOCK srb, const Device &device);
    void StartTimingLocked(Request *request);
    bool TakePortFault(size_t link, UCHAR *srbStatus);
    void EndTimedAtPort(Request *request, UCHAR srbStatus, bool gone);
    void AbortTimedAtPort(size_t device);
    void NoteLinkDown(size_t link);
    void NoteLinkDownLocked(size_t link);
    void ServiceLinks();
    bool ProbeLink(size_t link);
    void NoteUnitGone(size_t link);
    bool UnitAnswers(size_t link, UCHAR lun, bool *answers);
    bool RescanUnits(size_t link);
    static VOID NTAPI PortTimeoutDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
    static VOID NTAPI LinkDpc(PKDPC dpc, PVOID context, PVOID, PVOID);

    // lock_ guards the state of all three parts that threads share (as
    // marked below); it is never held while the DSM or the storage is
    // called.
    mutable HostMutex lock_;
    bool stopping_ = false;                 // the host is shutting down: nothing new starts (lock_)
    std::function<void()> stopObserver_;    // see OnStopping (lock_)

    // MPIO proper.
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
    // Grown under lock_ by claims; an element, once added, never moves.
    std::deque<MultipathDisk> disks_;
    std::vector<std::unique_ptr<DiskState>> diskStates_;    // (lock_)
    std::vector<PathState> states_;         // per device (lock_)
    std::set<Request *> live_;              // every request not yet completed (lock_)
    unsigned routingFaults_ = 0;            // (lock_)
    uint64_t removalNotices_ = 0;           // DsmRemovePending calls returned so far (lock_)
    std::vector<uint64_t> noticedAt_;       // per device: removalNotices_ once its notice returned, or 0 (lock_)
    std::vector<bool> linkLost_;            // per device: the port reported its link lost (lock_)
    PDEVICE_OBJECT mpioDevice_ = nullptr;   // owns MPIO's work items
    // MPIO's work items queued or running, and an event signalled while
    // there are none: the stop's rundown (lock_).
    size_t workOutstanding_ = 0;
    KEVENT workIdle_;
    // What MPIO's DPCs noted for its work item (lock_).
    bool workQueued_ = false;
    bool verifyDue_ = false;
    bool expiryDue_ = false;
    bool lostDue_ = false;
    bool machinery_ = false;
    KTIMER verifyTimer_;
    KDPC verifyDpc_;

    // Plug and Play.
    struct PnpState {
        // Serialises arrival, removal and MPIO's verification (which must
        // not verify a device being removed).  PASSIVE_LEVEL.
        HostMutex Mutex;
        // Every disk device PnP has seen, removed ones included.  Grown
        // under lock_ with Mutex held; an element, once added, never moves.
        std::deque<Device> Devices;
        // Per device: holders of its remove lock (lock_).  A request holds
        // it from the moment the device's identifier is in a list it hands
        // the DSM until the DSM has answered, and from being sent down the
        // device to the end of its completion handling.
        std::vector<size_t> RemoveLocks;
        std::condition_variable_any Released;   // a remove lock count dropped
        std::function<void(size_t)> WaitObserver;   // see OnRemovalWaits (Mutex)
    } pnp_;

    // The port.
    struct PortState {
        array::ScsiTarget *Target = nullptr;
        uint32_t HostId = 1;
        std::vector<UCHAR> Luns;
        // One per path of the topology, built at discovery before any other
        // thread runs; a link's state is guarded by lock_.
        std::vector<std::unique_ptr<Link>> Links;
        bool LinksDue = false;                  // a link's probe interval passed (lock_)
        std::map<UCHAR, PDEVICE_OBJECT> Objects;        // the host ports
        std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> Pdos;  // a host port's PDO (lock_)
        std::map<PDEVICE_OBJECT, SCSI_ADDRESS> Addresses;   // (lock_)
        std::vector<PDEVICE_OBJECT> Created;    // device objects it made and has not deleted
        std::vector<std::string> Problems;      // logical units it could not identify
        // Requests waiting for a port thread, and those threads (lock_).
        std::deque<Request *> Queue;
        std::vector<std::thread> Threads;
        size_t Idle = 0;                        // threads waiting for work
        size_t Busy = 0;                        // requests queued or being carried out
        std::condition_variable_any Work;       // work at the port, or stop
        std::condition_variable_any Drained;    // Busy dropped
    } port_;
};

// Serves IOCTL_SCSI_PASS_THROUGH for a disk device: checks the request's
// header and offsets against the buffer, runs the command on the nexus,
// and writes back SCSI status, sense and data as a port driver does.
void PassThrough(array::ScsiTarget *target, const array::Nexus &nexus, PVOID buffer, ULONG inputLength,
                 ULONG outputLength, PIO_STATUS_BLOCK status);

// Services root of the host's registry, as the I/O manager names it.
constexpr const char *kServicesRoot = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

} // namespace mpio
