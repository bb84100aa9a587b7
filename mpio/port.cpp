/*++

Module Name:

    port.cpp

Abstract:

    The host port driver beneath MPIO: it enumerates the logical units on
    its links as disk devices, carries each request out on the storage
    and times it out after the SRB's TimeOutValue when the storage never
    answers, and serves the pass-through requests of the DSM.

    Its links: a command that meets a link down fails at once (selection
    timeout) and MPIO fails it over; the port marks the link down and,
    while it stays down, tries it again every probe interval.  Once it
    has been down for the link-down time the port reports every disk
    device seen through it gone, and Plug and Play removes each while I/O
    goes on elsewhere.  When the link answers again the port enumerates
    its logical units anew (a bus rescan) and each arrives as a new
    device.  A link that returns within the link-down time keeps its
    devices: their paths stay as MPIO left them, failed until
    verification brings them back.

    The timers' DPCs only note what is due; probing, removal and arrival
    run in MPIO's work item at PASSIVE_LEVEL.

--*/

#include "mpiointernal.h"

#include <scsi.h>

#include <algorithm>
#include <cstring>

namespace mpio {
namespace {

constexpr uint8_t kInquiry = SCSIOP_INQUIRY;
constexpr size_t kStandardInquiryLength = 96;
constexpr size_t kVpdLength = 252;
constexpr uint8_t kDeviceIdentificationPage = 0x83;

// The IRP status the class driver gives a request that ended with this SRB status.
NTSTATUS StatusOfSrb(UCHAR srbStatus)
{
    switch (SRB_STATUS(srbStatus)) {
    case SRB_STATUS_SUCCESS:
        return STATUS_SUCCESS;
    case SRB_STATUS_SELECTION_TIMEOUT:
        return STATUS_DEVICE_NOT_CONNECTED;
    case SRB_STATUS_TIMEOUT:
    case SRB_STATUS_COMMAND_TIMEOUT:
        return STATUS_IO_TIMEOUT;
    case SRB_STATUS_NO_DEVICE:
        return STATUS_NO_SUCH_DEVICE;
    default:
        return STATUS_IO_DEVICE_ERROR;
    }
}

// Runs a data-in command directly on the nexus, as the port driver does
// for the class driver's enumeration.
bool RunDataIn(array::ScsiTarget *target, const array::Nexus &nexus, const std::vector<uint8_t> &cdb,
               std::vector<uint8_t> *data, std::string *problem)
{
    array::Command command;
    command.Cdb = cdb.data();
    command.CdbLength = cdb.size();
    command.DataIn = data->data();
    command.DataInLength = data->size();
    array::Result result = target->Execute(nexus, command);
    if (result.Outcome != array::Transport::Completed) {
        *problem = result.Outcome == array::Transport::LinkDown ? "link down" : "no answer";
        return false;
    }
    if (result.Status != SCSISTAT_GOOD) {
        char text[64];
        snprintf(text, sizeof(text), "status 0x%02X, sense %X/%02X/%02X", result.Status, result.Sense[2] & 0x0F,
                 result.Sense[12], result.Sense[13]);
        *problem = text;
        return false;
    }
    data->resize(result.DataInTransferred);
    return true;
}

// LOGICAL UNIT NOT SUPPORTED (ILLEGAL REQUEST, 25h/00h): the storage
// maps no such unit through this nexus.
bool UnitNotSupported(const array::Result &result)
{
    return result.Outcome == array::Transport::Completed && result.Status == SCSISTAT_CHECK_CONDITION &&
           result.SenseLength > 13 && (result.Sense[2] & 0x0F) == SCSI_SENSE_ILLEGAL_REQUEST &&
           result.Sense[12] == SCSI_ADSENSE_INVALID_LUN && result.Sense[13] == 0;
}

void AppendString(std::vector<uint8_t> *buffer, const std::string &text, ULONG *offset)
{
    *offset = (ULONG)buffer->size();
    buffer->insert(buffer->end(), text.begin(), text.end());
    buffer->push_back(0);
}

} // namespace

PDEVICE_OBJECT Host::PortObjectFor(UCHAR portNumber)
{
    auto found = port_.Objects.find(portNumber);
    if (found != port_.Objects.end()) {
        return found->second;
    }
    // The host port and the device object MPIO keeps for it.
    PDEVICE_OBJECT port = host::CreateDevice(u"", nullptr);
    PDEVICE_OBJECT pdo = host::CreateDevice(u"", nullptr);
    port_.Created.push_back(port);
    port_.Created.push_back(pdo);
    port_.Objects[portNumber] = port;
    SetPortPdo(port, pdo);
    return port;
}

// Arrivals add to these while the driver may ask on other threads: each
// takes lock_.
void Host::SetPortPdo(PDEVICE_OBJECT portObject, PDEVICE_OBJECT pdo)
{
    std::lock_guard<HostMutex> lock(lock_);
    port_.Pdos[portObject] = pdo;
}

void Host::SetScsiAddress(PDEVICE_OBJECT device, const SCSI_ADDRESS &address)
{
    std::lock_guard<HostMutex> lock(lock_);
    port_.Addresses[device] = address;
}

PDEVICE_OBJECT Host::PortPdo(PDEVICE_OBJECT portObject) const
{
    std::lock_guard<HostMutex> lock(lock_);
    auto it = port_.Pdos.find(portObject);
    return it == port_.Pdos.end() ? nullptr : it->second;
}

bool Host::ScsiAddressOf(PDEVICE_OBJECT device, SCSI_ADDRESS *address) const
{
    std::lock_guard<HostMutex> lock(lock_);
    auto it = port_.Addresses.find(device);
    if (it == port_.Addresses.end()) {
        return false;
    }
    *address = it->second;
    return true;
}

/*++

Routine Description:

    Builds a device's storage device descriptor (the INQUIRY strings at
    offsets behind the fixed part, each NUL-terminated, as the device
    reported them) and its device identifier list (one STORAGE_IDENTIFIER
    per designator of VPD page 0x83, in the target's order).

--*/
bool Host::Identify(Device *device, std::vector<uint8_t> *descriptor, std::vector<uint8_t> *identifiers,
                    std::string *problem)
{
    std::vector<uint8_t> inquiry(kStandardInquiryLength);
    if (!RunDataIn(port_.Target, device->Nexus, {kInquiry, 0, 0, 0, (uint8_t)kStandardInquiryLength, 0}, &inquiry,
                   problem)) {
        *problem = "INQUIRY: " + *problem;
        return false;
    }
    if (inquiry.size() < 36 || (inquiry[0] & 0xE0) != 0) {
        *problem = "no logical unit at this address";
        return false;
    }
    device->Vendor.assign(inquiry.begin() + 8, inquiry.begin() + 16);
    device->Product.assign(inquiry.begin() + 16, inquiry.begin() + 32);
    std::string revision(inquiry.begin() + 32, inquiry.begin() + 36);

    descriptor->assign(FIELD_OFFSET(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties), 0);
    ULONG vendorOffset = 0;
    ULONG productOffset = 0;
    ULONG revisionOffset = 0;
    AppendString(descriptor, device->Vendor, &vendorOffset);
    AppendString(descriptor, device->Product, &productOffset);
    AppendString(descriptor, revision, &revisionOffset);
    auto *fixed = reinterpret_cast<PSTORAGE_DEVICE_DESCRIPTOR>(descriptor->data());
    fixed->Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    fixed->Size = (ULONG)descriptor->size();
    fixed->DeviceType = inquiry[0] & 0x1F;
    fixed->VendorIdOffset = vendorOffset;
    fixed->ProductIdOffset = productOffset;
    fixed->ProductRevisionOffset = revisionOffset;
    fixed->BusType = BusTypeFibre;

    // Asked first for what fits one byte of allocation length, then again
    // for the whole page when the target says it holds more.
    std::vector<uint8_t> page(kVpdLength);
    size_t pageLength = 0;
    for (int attempt = 0; attempt < 2; attempt++) {
        const size_t room = page.size();
        if (!RunDataIn(port_.Target, device->Nexus,
                       {kInquiry, 1, kDeviceIdentificationPage, (uint8_t)(room >> 8), (uint8_t)room, 0}, &page,
                       problem)) {
            *problem = "device identification: " + *problem;
            return false;
        }
        pageLength = page.size() >= 4 ? 4 + ((size_t(page[2]) << 8) | page[3]) : 0;
        if (pageLength <= page.size() || room > kVpdLength) {
            break;
        }
        page.assign(pageLength, 0);
    }

    // One STORAGE_IDENTIFIER per designator, the way the port driver copies
    // them: the code set, type and association fields as the target sent
    // them (whatever their value, so they are stored as numbers and never
    // formed as enumerations), the identifier bytes unpadded, each record
    // starting on a 4-byte boundary.
    const size_t header = FIELD_OFFSET(STORAGE_IDENTIFIER, Identifier);
    static_assert(sizeof(STORAGE_IDENTIFIER_CODE_SET) == sizeof(ULONG) &&
                      sizeof(STORAGE_IDENTIFIER_TYPE) == sizeof(ULONG) &&
                      sizeof(STORAGE_ASSOCIATION_TYPE) == sizeof(ULONG),
                  "identifier fields are 32-bit enumerations");
    identifiers->assign(FIELD_OFFSET(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers), 0);
    ULONG count = 0;
    const size_t pageEnd = std::min(page.size(), pageLength);
    for (size_t at = 4; at + 4 <= pageEnd;) {
        const uint8_t *designator = page.data() + at;
        const size_t length = designator[3];
        if (at + 4 + length > pageEnd) {
            break;   // a truncated designator ends the list
        }
        const size_t recordSize = (header + length + 3) & ~(size_t)3;
        const size_t offset = identifiers->size();
        identifiers->resize(offset + recordSize, 0);
        uint8_t *record = identifiers->data() + offset;
        const ULONG codeSet = designator[0] & 0x0F;
        const ULONG type = designator[1] & 0x0F;
        const ULONG association = (designator[1] >> 4) & 0x03;
        const USHORT identifierSize = (USHORT)length;
        const USHORT nextOffset = (USHORT)recordSize;
        memcpy(record + FIELD_OFFSET(STORAGE_IDENTIFIER, CodeSet), &codeSet, sizeof(codeSet));
        memcpy(record + FIELD_OFFSET(STORAGE_IDENTIFIER, Type), &type, sizeof(type));
        memcpy(record + FIELD_OFFSET(STORAGE_IDENTIFIER, IdentifierSize), &identifierSize, sizeof(identifierSize));
        memcpy(record + FIELD_OFFSET(STORAGE_IDENTIFIER, NextOffset), &nextOffset, sizeof(nextOffset));
        memcpy(record + FIELD_OFFSET(STORAGE_IDENTIFIER, Association), &association, sizeof(association));
        memcpy(record + header, designator + 4, length);
        count++;
        at += 4 + length;
    }
    auto *list = reinterpret_cast<PSTORAGE_DEVICE_ID_DESCRIPTOR>(identifiers->data());
    list->Version = sizeof(STORAGE_DEVICE_ID_DESCRIPTOR);
    list->Size = (ULONG)identifiers->size();
    list->NumberOfIdentifiers = count;
    return true;
}

/*++

Routine Description:

    The port finds one logical unit on one of its links: a disk device
    is built from the target's own INQUIRY and device identification
    answers, and arrives.  A logical unit the storage does not identify
    is skipped, and why is kept.  PASSIVE_LEVEL, with pnp_.Mutex held.

--*/
void Host::Enumerate(size_t linkIndex, UCHAR lun)
{
    RequireHeld(pnp_.Mutex, "Enumerate");
    const Link &link = *port_.Links[linkIndex];
    const PathSpec &path = link.Path;
    Device device;
    device.Path = path;
    device.Lun = lun;
    device.Link = linkIndex;
    device.Nexus.Initiator = link.Initiator;
    device.Nexus.TargetPort = path.TargetPort;
    device.Nexus.Lun = lun;
    device.PortObject = PortObjectFor(path.PortNumber);

    array::ScsiTarget *target = port_.Target;
    array::Nexus nexus = device.Nexus;
    device.TargetObject = host::CreateDevice(
        u"", [this, target, nexus, linkIndex](ULONG code, PVOID input, ULONG inputLength, PVOID output,
                                              ULONG outputLength, bool internal, PIO_STATUS_BLOCK status) {
            if (code != IOCTL_SCSI_PASS_THROUGH || internal || input != output) {
                status->Status = STATUS_INVALID_DEVICE_REQUEST;
                status->Information = 0;
                return;
            }
            PassThrough(target, nexus, input, inputLength, outputLength, status);
            if (status->Status == STATUS_DEVICE_NOT_CONNECTED) {
                NoteLinkDown(linkIndex);
            }
        });
    port_.Created.push_back(device.TargetObject);
    SetScsiAddress(device.TargetObject,
                   SCSI_ADDRESS{sizeof(SCSI_ADDRESS), path.PortNumber, path.PathId, path.TargetId, lun});

    std::vector<uint8_t> descriptor;
    std::vector<uint8_t> identifiers;
    std::string problem;
    bool identified = Identify(&device, &descriptor, &identifiers, &problem);
    size_t index;
    {
        std::lock_guard<HostMutex> lock(lock_);
        pnp_.Devices.push_back(device);
        states_.push_back(PathState::Unbound);
        pnp_.RemoveLocks.push_back(0);
        linkLost_.push_back(false);
        noticedAt_.push_back(0);
        index = pnp_.Devices.size() - 1;
    }
    if (!identified) {
        char where[64];
        snprintf(where, sizeof(where), "%u:%u:%u:%u: ", path.PortNumber, path.PathId, path.TargetId, lun);
        port_.Problems.push_back(where + problem);
        return;
    }
    Arrive(index, &descriptor, &identifiers);
}

void Host::Discover(array::ScsiTarget *target, const Topology &topology)
{
    if (!registered_) {
        host::VerifierFail("MPIO discovery without a registered DSM");
        return;
    }
    port_.Target = target;
    port_.HostId = topology.HostId;
    port_.Luns = topology.Luns;
    for (const PathSpec &path : topology.Paths) {
        auto link = std::make_unique<Link>();
        link->Owner = this;
        link->Index = port_.Links.size();
        link->Path = path;
        // One initiator port per host port of this host.
        link->Initiator = topology.HostId * 256 + path.PortNumber;
        KeInitializeTimerEx(&link->Timer, NotificationTimer);
        KeInitializeDpc(&link->Dpc, LinkDpc, link.get());
        port_.Links.push_back(std::move(link));
    }
    {
        std::lock_guard<HostMutex> pnp(pnp_.Mutex);
        for (size_t link = 0; link < port_.Links.size(); link++) {
            PortObjectFor(port_.Links[link]->Path.PortNumber);
            for (UCHAR lun : port_.Luns) {
                Enumerate(link, lun);
            }
        }
    }
    if (!pnp_.Devices.empty()) {
        StartPathMachinery();
        // The devices are all known now: a link the port loses from here
        // on takes its paths out of use.
        target->WatchLinks([this](uint32_t initiator, uint32_t targetPort) { LinkLost(initiator, targetPort); });
    }
}

// The port's completion context: carries requests out on the storage
// and completes them.
void Host::PortThread()
{
    std::unique_lock<HostMutex> lock(lock_);
    for (;;) {
        port_.Idle++;
        port_.Work.wait(lock, [this] { return stopping_ || !port_.Queue.empty(); });
        port_.Idle--;
        if (stopping_) {
            return;
        }
        Request *request = port_.Queue.front();
        port_.Queue.pop_front();
        size_t device = request->Device;
        bool gone = states_[device] == PathState::Removing || states_[device] == PathState::Removed;
        lock.unlock();
        bool done = CarryOut(request, gone);
        lock.lock();
        // One the port is timing stays at the port, holding the device's
        // remove lock, but leaves the thread free.
        if (done) {
            ReleaseRemoveLockLocked(device);
        }
        port_.Busy--;
        port_.Drained.notify_all();
    }
}

// Caller holds lock_.  The port's first threads, for its first request.
void Host::StartPortLocked()
{
    RequireHeld(lock_, "StartPortLocked");
    if (port_.Threads.empty()) {
        for (size_t i = 0; i < kPortThreads; i++) {
            port_.Threads.emplace_back([this] { PortThread(); });
        }
    }
}

// Caller holds lock_.  The request waits for a port thread; another
// thread starts when none is free.
void Host::QueueAtPortLocked(Request *request)
{
    RequireHeld(lock_, "QueueAtPortLocked");
    port_.Queue.push_back(request);
    port_.Busy++;
    if (port_.Queue.size() > port_.Idle && port_.Threads.size() < kMaxPortThreads) {
        port_.Threads.emplace_back([this] { PortThread(); });
    }
    port_.Work.notify_one();
}

/*++

Routine Description:

    Carries out one attempt at the port and hands its outcome to MPIO's
    completion at DISPATCH_LEVEL.  A command the storage will never
    answer stays at the port, and false is returned: the port times it
    out once the SRB's TimeOutValue has passed on the clock, as a port
    driver's timer does.

--*/
bool Host::CarryOut(Request *request, bool gone)
{
    if (!Answer(request, gone)) {
        return false;
    }
    AtDispatch raised;
    CompleteAttempt(request, gone);
    return true;
}

/*++

Routine Description:

    The port's outcome of one attempt, written into the SRB and the IRP's
    status: a device the storage took away answers as gone, the port's
    fault switch ends the request as set, and otherwise the storage
    answers.  False, with the port's timer started, when the storage will
    never answer.

--*/
bool Host::Answer(Request *request, bool gone)
{
    PendingIo &io = *request->Io;
    const Device &device = *request->Record;
    PSCSI_REQUEST_BLOCK srb = io.hasSrb_ ? &io.srb_ : nullptr;
    if (srb == nullptr) {
        // A device control the storage has no SCSI command for: the port
        // driver refuses it.
        io.irp_.IoStatus.Status = gone ? STATUS_NO_SUCH_DEVICE : STATUS_INVALID_DEVICE_REQUEST;
        return true;
    }
    if (gone) {
        srb->SrbStatus = SRB_STATUS_NO_DEVICE;
    } else if (TakePortFault(device.Link, &srb->SrbStatus)) {
        if (SRB_STATUS(srb->SrbStatus) == SRB_STATUS_SELECTION_TIMEOUT) {
            NoteLinkDown(device.Link);
        }
    } else if (!ExecuteOnStorage(srb, device)) {
        std::lock_guard<HostMutex> lock(lock_);
        StartTimingLocked(request);
        return false;
    }
    io.irp_.IoStatus.Status = StatusOfSrb(srb->SrbStatus);
    return true;
}

// Runs the SRB's command on the storage and writes the answer into the
// SRB as a port driver does.  False when the storage will never answer.
bool Host::ExecuteOnStorage(PSCSI_REQUEST_BLOCK srb, const Device &device)
{
    array::Command command;
    command.Cdb = srb->Cdb;
    command.CdbLength = srb->CdbLength;
    if ((srb->SrbFlags & SRB_FLAGS_DATA_OUT) != 0) {
        command.DataOut = static_cast<const uint8_t *>(srb->DataBuffer);
        command.DataOutLength = srb->DataTransferLength;
    } else {
        command.DataIn = static_cast<uint8_t *>(srb->DataBuffer);
        command.DataInLength = srb->DataTransferLength;
    }
    array::Result answer = port_.Target->Execute(device.Nexus, command);
    switch (answer.Outcome) {
    case array::Transport::LinkDown:
        srb->SrbStatus = SRB_STATUS_SELECTION_TIMEOUT;
        NoteLinkDown(device.Link);
        break;
    case array::Transport::Timeout:
        srb->SrbStatus = SRB_STATUS_TIMEOUT;
        break;
    case array::Transport::NoAnswer:
        return false;
    case array::Transport::Completed:
        if (UnitNotSupported(answer)) {
            NoteUnitGone(device.Link);
        }
        srb->ScsiStatus = answer.Status;
        if (command.DataIn != nullptr) {
            // An underrun: the bytes past what came hold nothing the storage sent.
            srb->DataTransferLength = (ULONG)std::min<size_t>(answer.DataInTransferred, command.DataInLength);
        }
        if (answer.Status == SCSISTAT_GOOD) {
            srb->SrbStatus = SRB_STATUS_SUCCESS;
        } else if (answer.Status == SCSISTAT_CHECK_CONDITION && srb->SenseInfoBuffer != nullptr) {
            memcpy(srb->SenseInfoBuffer, answer.Sense,
                   std::min<size_t>(srb->SenseInfoBufferLength, answer.SenseLength));
            srb->SrbStatus = SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID;
        } else {
            srb->SrbStatus = answer.Status == SCSISTAT_BUSY ? SRB_STATUS_BUSY : SRB_STATUS_ERROR;
        }
        break;
    }
    return true;
}

// Caller holds lock_.  The port's timer for a request the storage will
// never answer: it ends the request once the SRB's TimeOutValue passes.
void Host::StartTimingLocked(Request *request)
{
    RequireHeld(lock_, "StartTimingLocked");
    request->Timing = true;
    KeSetTimerEx(&request->Timer, DueIn(request->Io->srb_.TimeOutValue * 1000), 0, &request->TimeoutDpc);
}

// The port's timer for a request the storage never answered.
VOID NTAPI Host::PortTimeoutDpc(PKDPC dpc, PVOID context, PVOID, PVOID)
{
    UNREFERENCED_PARAMETER(dpc);
    auto *request = static_cast<Request *>(context);
    request->Owner->EndTimedAtPort(request, SRB_STATUS_TIMEOUT, false);
}

// Ends a request the port was timing out, and releases the device's
// remove lock it held.  DISPATCH_LEVEL.
void Host::EndTimedAtPort(Request *request, UCHAR srbStatus, bool gone)
{
    size_t device = request->Device;
    {
        std::lock_guard<HostMutex> lock(lock_);
        request->Timing = false;
    }
    PendingIo &io = *request->Io;
    io.srb_.SrbStatus = srbStatus;
    io.irp_.IoStatus.Status = StatusOfSrb(srbStatus);
    CompleteAttempt(request, gone);
    std::lock_guard<HostMutex> lock(lock_);
    ReleaseRemoveLockLocked(device);
}

// A device that leaves takes with it what the port was timing out on it:
// the storage will never answer those, and the removal, which waits for
// them, cannot wait for the clock.  PASSIVE_LEVEL; lock_ not held.
void Host::AbortTimedAtPort(size_t device)
{
    std::vector<Request *> aborted;
    {
        std::lock_guard<HostMutex> lock(lock_);
        for (Request *request : live_) {
            // A timer no longer queued has its DPC running: that ends it.
            if (request->Timing && request->Device == device && KeCancelTimer(&request->Timer)) {
                aborted.push_back(request);
            }
        }
    }
    AtDispatch raised;
    for (Request *request : aborted) {
        EndTimedAtPort(request, SRB_STATUS_NO_DEVICE, true);
    }
}

void Host::WaitIdle()
{
    std::unique_lock<HostMutex> lock(lock_);
    port_.Drained.wait(lock, [this] { return port_.Busy == 0; });
}

// Caller holds lock_.  The port met the link down: from now on it is
// tried every probe interval until it answers or its devices go.
void Host::NoteLinkDownLocked(size_t index)
{
    RequireHeld(lock_, "NoteLinkDownLocked");
    Link &link = *port_.Links[index];
    if (link.Down || stopping_) {
        return;
    }
    link.Down = true;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    link.DownSince = now.QuadPart;
    KeSetTimerEx(&link.Timer, DueIn(options_.LinkProbeIntervalMs), (LONG)options_.LinkProbeIntervalMs, &link.Dpc);
}

// Whether the port still has a device for this logical unit on the link.
// PASSIVE_LEVEL, with pnp_.Mutex held (which alone adds devices).
bool Host::HasDevice(size_t link, UCHAR lun)
{
    RequireHeld(pnp_.Mutex, "HasDevice");
    std::lock_guard<HostMutex> lock(lock_);
    for (size_t device = 0; device < pnp_.Devices.size(); device++) {
        if (pnp_.Devices[device].Link == link && pnp_.Devices[device].Lun == lun && states_[device] != PathState::Removed) {
            return true;
        }
    }
    return false;
}

void Host::FailAtPort(size_t link, UCHAR srbStatus, unsigned count)
{
    std::lock_guard<HostMutex> lock(lock_);
    port_.Links.at(link)->FaultStatus = srbStatus;
    port_.Links.at(link)->FaultsLeft = count;
}

// Whether the port's fault switch ends the next request down the link,
// and with what.  Any IRQL up to DISPATCH_LEVEL; lock_ not held.
bool Host::TakePortFault(size_t index, UCHAR *srbStatus)
{
    std::lock_guard<HostMutex> lock(lock_);
    Link &link = *port_.Links[index];
    if (link.FaultsLeft == 0) {
        return false;
    }
    link.FaultsLeft--;
    *srbStatus = link.FaultStatus;
    return true;
}

// Any thread, any IRQL up to DISPATCH_LEVEL; lock_ not held.
void Host::NoteLinkDown(size_t index)
{
    std::lock_guard<HostMutex> lock(lock_);
    NoteLinkDownLocked(index);
}

// A unit on the link answered as not there: the port rescans the link
// at the next probe interval, and every one after while a unit is
// missing.  Any IRQL up to DISPATCH_LEVEL; lock_ not held.
void Host::NoteUnitGone(size_t index)
{
    std::lock_guard<HostMutex> lock(lock_);
    Link &link = *port_.Links[index];
    if (link.UnitsMissing || stopping_) {
        return;
    }
    link.UnitsMissing = true;
    if (!link.Down) {
        KeSetTimerEx(&link.Timer, DueIn(options_.LinkProbeIntervalMs), (LONG)options_.LinkProbeIntervalMs,
                     &link.Dpc);
    }
}

VOID NTAPI Host::LinkDpc(PKDPC dpc, PVOID context, PVOID, PVOID)
{
    UNREFERENCED_PARAMETER(dpc);
    auto *link = static_cast<Link *>(context);
    Host *self = link->Owner;
    std::lock_guard<HostMutex> lock(self->lock_);
    link->Due = true;
    self->port_.LinksDue = true;
    self->QueueWorkLocked();
}

// Whether the link delivers a command again: a standard INQUIRY, which
// reports no unit attention and changes nothing at the target.
// PASSIVE_LEVEL.
bool Host::ProbeLink(size_t index)
{
    const Link &link = *port_.Links[index];
    uint8_t cdb[6] = {SCSIOP_INQUIRY, 0, 0, 0, 36, 0};
    uint8_t data[36];
    array::Command command;
    command.Cdb = cdb;
    command.CdbLength = sizeof(cdb);
    command.DataIn = data;
    command.DataInLength = sizeof(data);
    array::Nexus nexus;
    nexus.Initiator = link.Initiator;
    nexus.TargetPort = link.Path.TargetPort;
    nexus.Lun = port_.Luns.empty() ? 0 : port_.Luns.front();
    return port_.Target->Execute(nexus, command).Outcome == array::Transport::Completed;
}

/*++

Routine Description:

    Acts on the links whose probe interval passed: one that answers is up
    again, and enumerated anew if its devices went; one that has stayed
    down for the link-down time has its devices removed; one the port
    held up (a probe that came due as it came back) is down from now.
    PASSIVE_LEVEL, in MPIO's work item.

--*/
void Host::ServiceLinks()
{
    std::lock_guard<HostMutex> pnp(pnp_.Mutex);
    for (size_t index = 0; index < port_.Links.size(); index++) {
        Link &link = *port_.Links[index];
        {
            std::lock_guard<HostMutex> lock(lock_);
            if (!link.Due || stopping_) {
                continue;
            }
            link.Due = false;
        }
        bool up = ProbeLink(index);
        std::vector<size_t> gone;
        bool rescan = false;
        {
            std::lock_guard<HostMutex> lock(lock_);
            if (up) {
                if (!link.UnitsMissing) {
                    KeCancelTimer(&link.Timer);
                }
                link.Down = false;
                rescan = link.DevicesRemoved;
                link.DevicesRemoved = false;
            } else if (!link.Down) {
                // A probe due before the link came back, run after it went
                // again: a fresh loss, with the whole link-down time.
                NoteLinkDownLocked(index);
            } else if (!link.DevicesRemoved) {
                LARGE_INTEGER now;
                KeQuerySystemTime(&now);
                if (now.QuadPart - link.DownSince >= (LONGLONG)options_.LinkDownTimeMs * TIME_UNITS_PER_MS) {
                    link.DevicesRemoved = true;
                    for (size_t device = 0; device < pnp_.Devices.size(); device++) {
                        if (pnp_.Devices[device].Link != index || states_[device] == PathState::Removed) {
                            continue;
                        }
                        if (PresentLocked(device)) {
                            gone.push_back(device);
                        } else if (pnp_.Devices[device].DsmId == nullptr) {
                            // Never claimed: MPIO has nothing to tell the DSM.
                            states_[device] = PathState::Removed;
                        }
                    }
                }
            }
        }
        if (!gone.empty()) {
            RemoveDevices(gone);
        }
        if (rescan) {
            for (UCHAR lun : port_.Luns) {
                if (!HasDevice(index, lun)) {
                    Enumerate(index, lun);
                }
            }
            ReleaseDisksWithPaths();
        }
        bool unitsMissing;
        {
            std::lock_guard<HostMutex> lock(lock_);
            unitsMissing = up && link.UnitsMissing;
        }
        if (unitsMissing && !RescanUnits(index)) {
            std::lock_guard<HostMutex> lock(lock_);
            link.UnitsMissing = false;
            if (!link.Down) {
                KeCancelTimer(&link.Timer);
            }
        }
    }
}

// Whether a unit answers a standard INQUIRY on the link as one that is
// there (peripheral qualifier 0).  False when the link did not deliver
// the command, so nothing is known.  PASSIVE_LEVEL.
bool Host::UnitAnswers(size_t index, UCHAR lun, bool *answers)
{
    const Link &link = *port_.Links[index];
    uint8_t cdb[6] = {SCSIOP_INQUIRY, 0, 0, 0, 36, 0};
    uint8_t data[36] = {};
    array::Command command;
    command.Cdb = cdb;
    command.CdbLength = sizeof(cdb);
    command.DataIn = data;
    command.DataInLength = sizeof(data);
    array::Result result = port_.Target->Execute(array::Nexus{link.Initiator, link.Path.TargetPort, lun}, command);
    if (result.Outcome != array::Transport::Completed) {
        return false;
    }
    *answers = result.Status == SCSISTAT_GOOD && result.DataInTransferred >= 1 && (data[0] & 0xE0) == 0;
    return true;
}

/*++

Routine Description:

    Rescans the logical units of a link on which one answered as not
    there, as a port does when the storage reports its units changed: the
    device of a unit that no longer answers leaves (Plug and Play
    removal), and a unit that answers again with no device arrives as a
    new one.  PASSIVE_LEVEL, with pnp_.Mutex held.

Return Value:

    True while a unit of the link is still missing.

--*/
bool Host::RescanUnits(size_t index)
{
    RequireHeld(pnp_.Mutex, "RescanUnits");
    bool missing = false;
    std::vector<size_t> gone;
    std::vector<UCHAR> back;
    for (UCHAR lun : port_.Luns) {
        bool answers = false;
        if (!UnitAnswers(index, lun, &answers)) {
            missing = true;
            continue;
        }
        missing = missing || !answers;
        std::lock_guard<HostMutex> lock(lock_);
        bool present = false;
        for (size_t device = 0; device < pnp_.Devices.size(); device++) {
            if (pnp_.Devices[device].Link == index && pnp_.Devices[device].Lun == lun && PresentLocked(device)) {
                present = true;
                if (!answers) {
                    gone.push_back(device);
                }
            }
        }
        if (answers && !present) {
            back.push_back(lun);
        }
    }
    if (!gone.empty()) {
        RemoveDevices(gone);
    }
    for (UCHAR lun : back) {
        Enumerate(index, lun);
    }
    if (!back.empty()) {
        ReleaseDisksWithPaths();
    }
    return missing;
}


/*++

Routine Description:

    The port driver's side of IOCTL_SCSI_PASS_THROUGH: the header must
    describe areas inside the buffer; the command runs on the nexus; a
    command the target answered completes with STATUS_SUCCESS and its SCSI
    status, sense and data in the buffer; a failed transport completes
    with the error and no data.

--*/
void PassThrough(array::ScsiTarget *target, const array::Nexus &nexus, PVOID buffer, ULONG inputLength,
                 ULONG outputLength, PIO_STATUS_BLOCK status)
{
    status->Information = 0;
    auto *header = static_cast<PSCSI_PASS_THROUGH>(buffer);
    ULONG length = std::min(inputLength, outputLength);
    if (buffer == nullptr || length < sizeof(SCSI_PASS_THROUGH) || header->Length != sizeof(SCSI_PASS_THROUGH) ||
        header->CdbLength == 0 || header->CdbLength > sizeof(header->Cdb) ||
        (header->SenseInfoLength != 0 &&
         (header->SenseInfoOffset < sizeof(SCSI_PASS_THROUGH) || header->SenseInfoOffset > length ||
          length - header->SenseInfoOffset < header->SenseInfoLength)) ||
        (header->DataTransferLength != 0 &&
         (header->DataBufferOffset < sizeof(SCSI_PASS_THROUGH) || header->DataBufferOffset > length ||
          length - header->DataBufferOffset < header->DataTransferLength))) {
        status->Status = STATUS_INVALID_PARAMETER;
        return;
    }

    uint8_t *bytes = static_cast<uint8_t *>(buffer);
    uint8_t *data = header->DataTransferLength != 0 ? bytes + header->DataBufferOffset : nullptr;
    array::Command command;
    command.Cdb = header->Cdb;
    command.CdbLength = header->CdbLength;
    if (header->DataIn == SCSI_IOCTL_DATA_OUT) {
        command.DataOut = data;
        command.DataOutLength = header->DataTransferLength;
    } else {
        command.DataIn = data;
        command.DataInLength = header->DataTransferLength;
    }

    array::Result result = target->Execute(nexus, command);
    switch (result.Outcome) {
    case array::Transport::LinkDown:
        status->Status = STATUS_DEVICE_NOT_CONNECTED;
        return;
    case array::Transport::NoAnswer: {
        // The port times the command out after its TimeOutValue, as it
        // does the class driver's requests, on the kernel's clock.
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        LARGE_INTEGER timeout = DueIn(header->TimeOutValue * 1000);
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
        status->Status = STATUS_IO_TIMEOUT;
        return;
    }
    case array::Transport::Timeout:
        status->Status = STATUS_IO_TIMEOUT;
        return;
    case array::Transport::Completed:
        break;
    }

    header->ScsiStatus = result.Status;
    if (header->DataIn != SCSI_IOCTL_DATA_OUT) {
        header->DataTransferLength = (ULONG)result.DataInTransferred;
    }
    if (result.Status == SCSISTAT_CHECK_CONDITION && header->SenseInfoLength != 0) {
        size_t senseLength = std::min<size_t>(header->SenseInfoLength, result.SenseLength);
        memcpy(bytes + header->SenseInfoOffset, result.Sense, senseLength);
        header->SenseInfoLength = (UCHAR)senseLength;
    } else {
        header->SenseInfoLength = 0;
    }
    status->Status = STATUS_SUCCESS;
    status->Information = length;
}

} // namespace mpio
