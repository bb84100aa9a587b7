/*++

Module Name:

    iopath.cpp

Abstract:

    MPIO's I/O path.  A request to a multipath disk is categorised by the
    driver; one it carries out itself (reservations, resets) goes to its
    device-control entry point at PASSIVE_LEVEL and is waited for; any
    other is sent down the path the driver chose, with its completion
    hooked, and carried out by a port completion thread, which completes
    it at DISPATCH_LEVEL as a port driver would: SRB status, SCSI status
    and sense, the IRP's status.

    A failed request goes to the driver's error interpretation: a retry
    is sent again after the retry interval, up to the retry count; a path
    failure takes the path out of MPIO's use, is reported to the driver
    (DsmInvalidatePath) and the request goes down the path the driver
    chooses next.  A request for which no live path is left is held for
    the disk (see pathlife.cpp).

    Routing, completion and error handling run at DISPATCH_LEVEL, so any
    entry point that needs PASSIVE_LEVEL there fails at once.

--*/

#include "mpiointernal.h"

#include <cstring>

namespace mpio {
namespace {

std::vector<uint8_t> Cdb10(uint8_t opcode, uint64_t lba, uint32_t blocks)
{
    return {opcode,
            0,
            (uint8_t)(lba >> 24),
            (uint8_t)(lba >> 16),
            (uint8_t)(lba >> 8),
            (uint8_t)lba,
            0,
            (uint8_t)(blocks >> 8),
            (uint8_t)blocks,
            0};
}

} // namespace

std::unique_ptr<uint8_t[]> IdList(const std::vector<PVOID> &ids)
{
    size_t size = FIELD_OFFSET(DSM_IDS, IdList) + ids.size() * sizeof(PVOID);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[size + sizeof(PVOID)]());
    auto *list = reinterpret_cast<PDSM_IDS>(buffer.get());
    list->Count = (ULONG)ids.size();
    for (size_t i = 0; i < ids.size(); i++) {
        list->IdList[i] = ids[i];
    }
    return buffer;
}

PendingIo::PendingIo()
{
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    irp_.Tail.Overlay.CurrentStackLocation = &stack_;
    irp_.IoStatus.Status = STATUS_PENDING;
}

bool PendingIo::Done() const
{
    return KeReadStateEvent(const_cast<PRKEVENT>(&done_)) != 0;
}

const IoResult &PendingIo::Wait()
{
    KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
    return result_;
}

// The device a path identifier names: the latest one bound to it, since
// a DSM may give a new path the identifier of one that was removed (its
// record freed and the memory used again).
bool Host::DeviceIndexOfPath(PVOID pathId, size_t *index) const
{
    if (pathId == nullptr) {
        return false;
    }
    std::lock_guard<HostMutex> lock(lock_);
    for (size_t i = pnp_.Devices.size(); i-- > 0;) {
        if (pnp_.Devices[i].PathId == pathId) {
            *index = i;
            return true;
        }
    }
    return false;
}

// Caller holds lock_.  The disk's devices MPIO still lists for the DSM
// (none whose removal has begun), in the order they were found.
std::vector<size_t> Host::ListedDevicesLocked(size_t disk) const
{
    RequireHeld(lock_, "ListedDevicesLocked");
    std::vector<size_t> devices;
    for (size_t index : disks_.at(disk).Devices) {
        if (states_[index] != PathState::Removing && states_[index] != PathState::Removed) {
            devices.push_back(index);
        }
    }
    return devices;
}

std::vector<PVOID> Host::IdsOf(size_t disk) const
{
    std::vector<PVOID> ids;
    std::lock_guard<HostMutex> lock(lock_);
    for (size_t index : ListedDevicesLocked(disk)) {
        ids.push_back(pnp_.Devices[index].DsmId);
    }
    return ids;
}

Host::HeldIds::HeldIds(Host *host, size_t disk) : host_(host)
{
    std::vector<PVOID> ids;
    {
        std::lock_guard<HostMutex> lock(host_->lock_);
        devices_ = host_->ListedDevicesLocked(disk);
        for (size_t index : devices_) {
            host_->AcquireRemoveLockLocked(index);
            ids.push_back(host_->pnp_.Devices[index].DsmId);
        }
    }
    list_ = IdList(ids);
}

Host::HeldIds::~HeldIds()
{
    std::lock_guard<HostMutex> lock(host_->lock_);
    for (size_t index : devices_) {
        host_->ReleaseRemoveLockLocked(index);
    }
}

// Caller holds lock_.
bool Host::HasLivePathLocked(size_t disk) const
{
    RequireHeld(lock_, "HasLivePathLocked");
    for (size_t index : disks_.at(disk).Devices) {
        if (states_[index] == PathState::Live) {
            return true;
        }
    }
    return false;
}

size_t Host::DeviceCount() const
{
    std::lock_guard<HostMutex> lock(lock_);
    return pnp_.Devices.size();
}

Device Host::DeviceAt(size_t device) const
{
    std::lock_guard<HostMutex> lock(lock_);
    return pnp_.Devices.at(device);
}

PathState Host::StateOf(size_t device) const
{
    std::lock_guard<HostMutex> lock(lock_);
    return states_.at(device);
}

size_t Host::HeldRequests(size_t disk) const
{
    std::lock_guard<HostMutex> lock(lock_);
    return disk < diskStates_.size() ? diskStates_[disk]->Held.size() : 0;
}

/*++

Routine Description:

    Sends one attempt of a request down the path the DSM gave.  Given no
    path, or one it may not name, the request goes no further here.
    Down the path the DSM named, whatever MPIO thinks of it: the port
    carries it out as the link allows, and one the storage took away
    answers as gone.  DISPATCH_LEVEL.

--*/
void Host::Send(Request *request, PVOID path, NTSTATUS status)
{
    if (path == nullptr || !NT_SUCCESS(status)) {
        NoPath(request, status);
        return;
    }
    size_t device = SIZE_MAX;
    if (!MayName(request, path, &device)) {
        return;
    }
    PrepareAttempt(request, path, device);
    std::lock_guard<HostMutex> lock(lock_);
    request->Record = &pnp_.Devices[device];
    if (stopping_) {
        ParkLocked(request);
        return;
    }
    AcquireRemoveLockLocked(device);
    QueueAtPortLocked(request);
}

// The DSM has no path for the request: held while the disk has no live
// path (one may come back), failed at once while it has one.
// DISPATCH_LEVEL.
void Host::NoPath(Request *request, NTSTATUS status)
{
    bool live;
    {
        std::lock_guard<HostMutex> lock(lock_);
        live = HasLivePathLocked(request->Disk);
    }
    if (!live) {
        Hold(request);
        return;
    }
    FailRequest(request, NT_SUCCESS(status) ? STATUS_NO_SUCH_DEVICE : status);
}

// Whether the DSM may name this path for the request, and the device it
// names; naming one it may not is a routing fault.  DISPATCH_LEVEL.
bool Host::MayName(Request *request, PVOID path, size_t *device)
{
    if (!DeviceIndexOfPath(path, device)) {
        RoutingFault(request, "MPIO: the DSM routed a request to path %p, which MPIO never bound", path);
        return false;
    }
    bool noticed;
    {
        std::lock_guard<HostMutex> lock(lock_);
        noticed = noticedAt_[*device] != 0 && noticedAt_[*device] <= request->AskedAt;
    }
    if (noticed) {
        RoutingFault(request, "MPIO: the DSM routed a request to path %p after DsmRemovePending for it returned",
                     path);
        return false;
    }
    return true;
}

// A fresh attempt down the path: the last attempt's outcome cleared and
// the DSM's completion routine asked for.  DISPATCH_LEVEL.
void Host::PrepareAttempt(Request *request, PVOID path, size_t device)
{
    PendingIo &io = *request->Io;
    request->Path = path;
    request->Device = device;
    io.result_.Path = path;
    io.irp_.IoStatus.Status = STATUS_PENDING;
    PSCSI_REQUEST_BLOCK srb = io.hasSrb_ ? &io.srb_ : nullptr;
    if (srb != nullptr) {
        srb->SrbStatus = SRB_STATUS_PENDING;
        srb->ScsiStatus = 0;
        srb->DataTransferLength = io.dataLength_;
        memset(io.sense_, 0, sizeof(io.sense_));
    }
    const DSM_INIT_DATA &record = LiveRecord("DsmSetCompletion");
    request->Completion = DSM_COMPLETION_INFO{};
    host::CallDriver("DsmSetCompletion", record.DsmSetCompletion, record.DsmContext, path, &io.irp_, srb,
                     &request->Completion);
}

/*++

Routine Description:

    The DSM named a path it may not name: one MPIO never bound, or one
    whose removal notice it had already heard when it was asked.  The
    real framework logs its own error and fails the request; here the
    fault is also counted and reported to the verifier, so that a test
    meeting it fails.  DISPATCH_LEVEL.

--*/
void Host::RoutingFault(Request *request, const char *format, PVOID path)
{
    {
        std::lock_guard<HostMutex> lock(lock_);
        routingFaults_++;
    }
    host::VerifierFail(format, path);
    FailRequest(request, STATUS_NO_SUCH_DEVICE);
}

unsigned Host::RoutingFaults() const
{
    std::lock_guard<HostMutex> lock(lock_);
    return routingFaults_;
}

// Asks the DSM for a path again and sends the request down it.  The
// list stays held until the request holds the remove lock of the path
// chosen.  DISPATCH_LEVEL.
void Host::Route(Request *request)
{
    HeldIds ids(this, request->Disk);
    if (ids.Empty()) {
        Hold(request);
        return;
    }
    PendingIo &io = *request->Io;
    const DSM_INIT_DATA &record = LiveRecord("DsmLBGetPath");
    NoteAsked(request);
    NTSTATUS status = kUnwrittenStatus;
    PVOID path = host::CallDriver("DsmLBGetPath", record.DsmLBGetPath, record.DsmContext,
                                  io.hasSrb_ ? &io.srb_ : nullptr, ids.List(), request->Path, &status);
    if (status == kUnwrittenStatus) {
        host::VerifierFail("MPIO: DsmLBGetPath returned without writing its Status");
        status = STATUS_NO_SUCH_DEVICE;
    }
    Send(request, path, status);
}

// Ends a request that no path took.  Any IRQL up to DISPATCH_LEVEL.
void Host::FailRequest(Request *request, NTSTATUS status)
{
    PendingIo &io = *request->Io;
    io.irp_.IoStatus.Status = status;
    if (io.hasSrb_) {
        io.srb_.SrbStatus = SRB_STATUS_NO_DEVICE;
    }
    Complete(request);
}

// Hands the request's outcome back to its submitter: the party that owns
// the request, and only it, completes it, once.  Any IRQL up to
// DISPATCH_LEVEL.
void Host::Complete(Request *request)
{
    {
        std::lock_guard<HostMutex> lock(lock_);
        if (live_.erase(request) == 0) {
            host::VerifierFail("MPIO: request %p completed twice", static_cast<void *>(request));
            return;
        }
    }
    std::shared_ptr<PendingIo> io = request->Io;
    io->result_.Status = io->irp_.IoStatus.Status;
    if (io->hasSrb_) {
        io->result_.SrbStatus = io->srb_.SrbStatus;
        io->result_.ScsiStatus = io->srb_.ScsiStatus;
        io->result_.Transferred = NT_SUCCESS(io->result_.Status) ? io->srb_.DataTransferLength : 0;
        memcpy(io->result_.Sense, io->sense_, sizeof(io->result_.Sense));
    }
    delete request;
    if (io->onDone_) {
        io->onDone_(io->result_);
    }
    KeSetEvent(&io->done_, 0, FALSE);
}

// Caller holds lock_.  A live path leaves MPIO's use; a disk left with
// none starts its removal period.
void Host::FailPathLocked(size_t device)
{
    RequireHeld(lock_, "FailPathLocked");
    if (states_[device] != PathState::Live) {
        return;
    }
    states_[device] = PathState::Failed;
    size_t disk = (size_t)pnp_.Devices[device].Group;
    if (!HasLivePathLocked(disk)) {
        LoseLastPathLocked(disk);
    }
}

// The request waits for a path of its disk; one for a disk MPIO removed
// fails.  DISPATCH_LEVEL.
void Host::Hold(Request *request)
{
    {
        std::lock_guard<HostMutex> lock(lock_);
        if (stopping_) {
            // Shutting down: nothing will carry it; the stop fails it.
            ParkLocked(request);
            return;
        }
        DiskState &disk = *diskStates_[request->Disk];
        if (!disk.Gone) {
            disk.Held.push_back(request);
            ArmDiskTimerLocked(request->Disk);
            return;
        }
    }
    FailRequest(request, STATUS_NO_SUCH_DEVICE);
}

// The request goes again once the interval has passed, on its own timer;
// a stopping host sets no timer and parks it instead.  DISPATCH_LEVEL.
void Host::RetryAfter(Request *request, ULONG milliseconds)
{
    std::lock_guard<HostMutex> lock(lock_);
    if (stopping_) {
        ParkLocked(request);
        return;
    }
    KeSetTimerEx(&request->Timer, DueIn(milliseconds), 0, &request->Dpc);
}

// Caller holds lock_, with the host stopping.  The party that had the
// request gives it up: from now on only the stop completes it.
void Host::ParkLocked(Request *request)
{
    RequireHeld(lock_, "ParkLocked");
    request->Parked = true;
}

std::shared_ptr<PendingIo> Host::Submit(size_t disk, std::shared_ptr<PendingIo> io)
{
    host::RequirePassive("MPIO I/O path");
    auto *request = new Request;
    request->Owner = this;
    request->Disk = disk;
    request->Io = io;
    KeInitializeTimerEx(&request->Timer, NotificationTimer);
    KeInitializeDpc(&request->Dpc, RetryDpc, request);
    KeInitializeDpc(&request->TimeoutDpc, PortTimeoutDpc, request);
    {
        std::lock_guard<HostMutex> lock(lock_);
        live_.insert(request);
        StartPortLocked();
    }

    // Held until the DSM is done with the list: it categorises the
    // request, and sends it down the path chosen or carries it out.
    HeldIds ids(this, disk);
    if (ids.Empty()) {
        // No device left: held while the disk waits out its removal
        // period for one to arrive, failed once it is gone.
        AtDispatch raised;
        Hold(request);
        return io;
    }
    PDSM_IDS dsmIds = ids.List();
    PIRP irp = &io->irp_;
    PSCSI_REQUEST_BLOCK srb = io->hasSrb_ ? &io->srb_ : nullptr;
    const DSM_INIT_DATA &record = LiveRecord("DsmCategorizeRequest");

    NTSTATUS status = kUnwrittenStatus;
    PVOID path = kUnwrittenPath;
    ULONG category;
    {
        AtDispatch raised;
        NoteAsked(request);
        category = host::CallDriver("DsmCategorizeRequest", record.DsmCategorizeRequest, record.DsmContext, dsmIds,
                                    irp, srb, nullptr, &path, &status);
        io->result_.Category = category;
        if (category != DSM_CATEGORY_CARRIED_OUT_BY_DSM) {
            if (category == DSM_CATEGORY_PATH_CHOSEN && (path == kUnwrittenPath || status == kUnwrittenStatus)) {
                host::VerifierFail("MPIO: DsmCategorizeRequest chose a path without writing %s",
                                   path == kUnwrittenPath ? "PathId" : "Status");
                path = nullptr;
            }
            if (category != DSM_CATEGORY_PATH_CHOSEN) {
                path = nullptr;
            }
            Send(request, path, status == kUnwrittenStatus ? STATUS_NO_SUCH_DEVICE : status);
            return io;
        }
    }

    // The DSM carries it out itself, synchronously, at PASSIVE_LEVEL.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    host::CallDriver("DsmSrbDeviceControl", record.DsmSrbDeviceControl, record.DsmContext, dsmIds, irp, srb,
                     &event);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    Complete(request);
    return io;
}

/*++

Routine Description:

    Completes an attempt the port has an outcome for: the DSM's
    completion routine, then, for an error, its judgement.  MPIO fails a
    request on a device the storage took away over whatever the DSM
    says.  DISPATCH_LEVEL.

--*/
void Host::CompleteAttempt(Request *request, bool gone)
{
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
        host::VerifierFail("MPIO: a port completion ran at IRQL %u, not DISPATCH_LEVEL", KeGetCurrentIrql());
    }
    PendingIo &io = *request->Io;
    const Device &device = *request->Record;
    PSCSI_REQUEST_BLOCK srb = io.hasSrb_ ? &io.srb_ : nullptr;
    if (request->Completion.DsmCompletionRoutine != nullptr) {
        host::CallDriver("DSM completion routine", request->Completion.DsmCompletionRoutine, request->Path,
                         &io.irp_, srb, request->Completion.DsmContext);
    }
    if (NT_SUCCESS(io.irp_.IoStatus.Status) || srb == nullptr) {
        Complete(request);
        return;
    }

    const DSM_INIT_DATA &record = LiveRecord("DsmInterpretError");
    NTSTATUS status = io.irp_.IoStatus.Status;
    BOOLEAN retry = FALSE;
    ULONG verdict = host::CallDriver("DsmInterpretError", record.DsmInterpretError, record.DsmContext,
                                     device.DsmId, srb, &status, &retry);
    if ((verdict & DSM_FATAL_ERROR) != 0 || gone) {
        FailOver(request, verdict | DSM_FATAL_ERROR);
        return;
    }
    if (retry && request->Retries < options_.RetryCount) {
        request->Retries++;
        RetryAfter(request, options_.RetryIntervalMs);
        return;
    }
    // Neither the DSM nor MPIO acts on BUSY: the request goes back up to
    // the disk class driver, which sends it again after a pause.
    if (!retry && SRB_STATUS(srb->SrbStatus) == SRB_STATUS_BUSY && request->BusyRetries < options_.BusyRetryCount) {
        request->BusyRetries++;
        RetryAfter(request, options_.BusyRetryIntervalMs);
        return;
    }
    io.irp_.IoStatus.Status = status;
    Complete(request);
}

/*++

Routine Description:

    A request's path failed: MPIO takes the path out of use, tells the
    DSM, and resends the request down the path the DSM gives back.  With
    no path given (the call failed, or the drive has none), the request
    is routed afresh while the disk has a live path, else held for an
    arrival within the removal period.  A request failed over more often
    than its disk has paths is held too, so that a DSM that keeps naming
    dead paths cannot spin it.  DISPATCH_LEVEL.

--*/
void Host::FailOver(Request *request, ULONG verdict)
{
    {
        std::lock_guard<HostMutex> lock(lock_);
        FailPathLocked(request->Device);
    }
    const DSM_INIT_DATA &record = LiveRecord("DsmInvalidatePath");
    PVOID newPath = kUnwrittenPath;
    NoteAsked(request);
    NTSTATUS status = host::CallDriver("DsmInvalidatePath", record.DsmInvalidatePath, record.DsmContext, verdict,
                                       request->Path, &newPath);
    if (NT_SUCCESS(status) && newPath == kUnwrittenPath) {
        host::VerifierFail("MPIO: DsmInvalidatePath succeeded without writing NewPathId");
    }
    if (!NT_SUCCESS(status) || newPath == kUnwrittenPath) {
        newPath = nullptr;
    }
    bool live;
    size_t paths;
    {
        std::lock_guard<HostMutex> lock(lock_);
        live = HasLivePathLocked(request->Disk);
        paths = disks_[request->Disk].Devices.size();
    }
    if (++request->Failovers > paths) {
        Hold(request);
    } else if (newPath != nullptr) {
        Send(request, newPath, STATUS_SUCCESS);
    } else if (live) {
        Route(request);
    } else {
        Hold(request);
    }
}

// Notes when the DSM was asked for the request's path: a path whose
// removal notice returned before then may not be named.
void Host::NoteAsked(Request *request)
{
    std::lock_guard<HostMutex> lock(lock_);
    request->AskedAt = removalNotices_;
}

VOID NTAPI Host::RetryDpc(PKDPC dpc, PVOID context, PVOID, PVOID)
{
    UNREFERENCED_PARAMETER(dpc);
    auto *request = static_cast<Request *>(context);
    request->Owner->Route(request);
}

std::shared_ptr<PendingIo> Host::SubmitScsi(size_t disk, const std::vector<uint8_t> &cdb, void *data,
                                            ULONG dataLength, bool dataIn, IoCallback onDone)
{
    auto io = std::make_shared<PendingIo>();
    SCSI_REQUEST_BLOCK &srb = io->srb_;
    io->hasSrb_ = true;
    io->stack_.MajorFunction = IRP_MJ_SCSI;
    io->stack_.Parameters.Scsi.Srb = &srb;
    srb.Length = sizeof(srb);
    srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb.CdbLength = (UCHAR)std::min<size_t>(cdb.size(), sizeof(srb.Cdb));
    memcpy(srb.Cdb, cdb.data(), srb.CdbLength);
    srb.DataBuffer = data;
    srb.DataTransferLength = dataLength;
    io->dataLength_ = dataLength;
    srb.SrbFlags = dataLength == 0 ? 0 : (dataIn ? SRB_FLAGS_DATA_IN : SRB_FLAGS_DATA_OUT);
    {
        std::lock_guard<HostMutex> lock(lock_);
        srb.TimeOutValue = disk < diskStates_.size() ? diskStates_[disk]->TimeOutValue : kDiskTimeOutValue;
    }
    srb.SenseInfoBuffer = io->sense_;
    srb.SenseInfoBufferLength = sizeof(io->sense_);
    srb.OriginalRequest = &io->irp_;
    io->onDone_ = std::move(onDone);
    return Submit(disk, io);
}

ULONG Host::BlockLength(size_t disk) const
{
    std::lock_guard<HostMutex> lock(lock_);
    return disks_.at(disk).BlockLength;
}

std::shared_ptr<PendingIo> Host::SubmitRead(size_t disk, uint64_t lba, uint32_t blocks, void *buffer,
                                            IoCallback onDone)
{
    return SubmitScsi(disk, Cdb10(SCSIOP_READ, lba, blocks), buffer, blocks * BlockLength(disk), true,
                      std::move(onDone));
}

std::shared_ptr<PendingIo> Host::SubmitWrite(size_t disk, uint64_t lba, uint32_t blocks, const void *buffer,
                                             IoCallback onDone)
{
    return SubmitScsi(disk, Cdb10(SCSIOP_WRITE, lba, blocks), const_cast<void *>(buffer), blocks * BlockLength(disk),
                      false, std::move(onDone));
}

std::shared_ptr<PendingIo> Host::SubmitDeviceControl(size_t disk, ULONG ioControlCode, IoCallback onDone)
{
    auto io = std::make_shared<PendingIo>();
    io->stack_.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    io->stack_.Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    io->onDone_ = std::move(onDone);
    return Submit(disk, io);
}

IoResult Host::Scsi(size_t disk, const std::vector<uint8_t> &cdb, void *data, ULONG dataLength, bool dataIn)
{
    return SubmitScsi(disk, cdb, data, dataLength, dataIn)->Wait();
}

IoResult Host::Read(size_t disk, uint64_t lba, uint32_t blocks, void *buffer)
{
    return SubmitRead(disk, lba, blocks, buffer)->Wait();
}

IoResult Host::Write(size_t disk, uint64_t lba, uint32_t blocks, const void *buffer)
{
    return SubmitWrite(disk, lba, blocks, buffer)->Wait();
}

IoResult Host::DeviceControl(size_t disk, ULONG ioControlCode)
{
    return SubmitDeviceControl(disk, ioControlCode)->Wait();
}

} // namespace mpio
