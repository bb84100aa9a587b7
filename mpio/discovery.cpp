/*++

Module Name:

    discovery.cpp

Abstract:

    What the storage stack and MPIO do when disks appear: a disk device
    per LUN and path, its storage descriptors built from the target's own
    INQUIRY and device identification (VPD page 0x83) answers, the device
    offered to the driver, and the claimed devices grouped into multipath
    disks by the driver's answers.  Also the port driver's pass-through
    service, through which the driver's own commands reach the target.

--*/

#include "mpiointernal.h"

#include <scsi.h>

#include <algorithm>
#include <cstring>

namespace mpio {
namespace {

constexpr uint8_t kInquiry = SCSIOP_INQUIRY;
// The class driver retries a command that meets a unit attention this many
// times before it gives up on it.
constexpr int kUnitAttentionRetries = 4;
constexpr size_t kStandardInquiryLength = 96;
constexpr size_t kVpdLength = 252;
constexpr uint8_t kDeviceIdentificationPage = 0x83;
// What the disk class driver assumes of a disk that will not tell its
// capacity: 512-byte blocks.
constexpr ULONG kDefaultBlockLength = 512;

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

bool MetUnitAttention(const array::Result &result)
{
    return result.Outcome == array::Transport::Completed && result.Status == SCSISTAT_CHECK_CONDITION &&
           result.SenseLength > 12 && (result.Sense[2] & 0x0F) == SCSI_SENSE_UNIT_ATTENTION;
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
    auto found = portObjects_.find(portNumber);
    if (found != portObjects_.end()) {
        return found->second;
    }
    // The host port and the device object MPIO keeps for it.
    PDEVICE_OBJECT port = host::CreateDevice(u"", nullptr);
    PDEVICE_OBJECT pdo = host::CreateDevice(u"", nullptr);
    createdDevices_.push_back(port);
    createdDevices_.push_back(pdo);
    portObjects_[portNumber] = port;
    SetPortPdo(port, pdo);
    return port;
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
    if (!RunDataIn(target_, device->Nexus, {kInquiry, 0, 0, 0, (uint8_t)kStandardInquiryLength, 0}, &inquiry,
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
        if (!RunDataIn(target_, device->Nexus,
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

    Starts a disk as the class driver does before the device is offered to
    a DSM: TEST UNIT READY, then READ CAPACITY, each sent again when it
    meets a unit attention.  That consumes the power-on or nexus-loss
    attention the target holds for this nexus.  A disk that is not ready
    or will not tell its capacity still starts, as it does for real.

Return Value:

    The block length READ CAPACITY reported, or the class driver's
    default when it reported none.

--*/
ULONG Host::StartDisk(const Device &device)
{
    const uint8_t testUnitReady[6] = {SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0};
    const uint8_t readCapacity[10] = {SCSIOP_READ_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    uint8_t capacity[8] = {};
    const struct {
        const uint8_t *Cdb;
        size_t CdbLength;
        uint8_t *Data;
        size_t DataLength;
    } steps[] = {
        {testUnitReady, sizeof(testUnitReady), nullptr, 0},
        {readCapacity, sizeof(readCapacity), capacity, sizeof(capacity)},
    };
    for (const auto &step : steps) {
        array::Command command;
        command.Cdb = step.Cdb;
        command.CdbLength = step.CdbLength;
        command.DataIn = step.Data;
        command.DataInLength = step.DataLength;
        for (int attempt = 0; attempt <= kUnitAttentionRetries; attempt++) {
            array::Result result = target_->Execute(device.Nexus, command);
            if (!MetUnitAttention(result)) {
                if (step.Data == capacity && (result.Outcome != array::Transport::Completed ||
                                              result.Status != SCSISTAT_GOOD || result.DataInTransferred < 8)) {
                    memset(capacity, 0, sizeof(capacity));
                }
                break;
            }
        }
    }
    // Bytes 4-7: the block length in bytes, big-endian.
    ULONG length = ((ULONG)capacity[4] << 24) | ((ULONG)capacity[5] << 16) | ((ULONG)capacity[6] << 8) | capacity[7];
    return length != 0 ? length : kDefaultBlockLength;
}

// Whether a claimed device belongs to a multipath disk: the DSM compares
// it with one of the disk's present devices.  A disk whose devices have
// all gone but which still holds its requests (its removal period runs)
// is recognised by the serial number the DSM gave for it, the identity
// MPIO keeps for its disk.  PASSIVE_LEVEL, with pnpMutex_ held after
// discovery.
bool Host::JoinsDisk(size_t disk, const Device &device)
{
    PVOID present = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (diskStates_[disk]->Gone) {
            return false;
        }
        for (size_t index : disks_[disk].Devices) {
            if (PresentLocked(index)) {
                present = devices_[index].DsmId;
                break;
            }
        }
    }
    if (present == nullptr) {
        return !device.SerialNumber.empty() && device.SerialNumber == disks_[disk].SerialNumber;
    }
    const DSM_INIT_DATA &record = LiveRecord("DsmCompareDevices");
    AtDispatch raised;
    return host::CallDriver("DsmCompareDevices", record.DsmCompareDevices, record.DsmContext, present,
                            device.DsmId) != FALSE;
}

// Offers one device to the driver and files a claimed one under its disk.
void Host::Claim(size_t index, std::vector<uint8_t> *descriptor, std::vector<uint8_t> *identifiers)
{
    Device &device = devices_[index];
    host::RequirePassive("DsmInquireDriver");
    const DSM_INIT_DATA &record = LiveRecord("DsmInquireDriver");
    device.ClaimStatus = host::CallDriver(
        "DsmInquireDriver", record.DsmInquireDriver, record.DsmContext, device.TargetObject, device.PortObject,
        reinterpret_cast<PSTORAGE_DEVICE_DESCRIPTOR>(descriptor->data()),
        reinterpret_cast<PSTORAGE_DEVICE_ID_DESCRIPTOR>(identifiers->data()), &device.DsmId);
    if (!NT_SUCCESS(device.ClaimStatus)) {
        device.DsmId = nullptr;
        return;
    }

    // Both may come at DISPATCH_LEVEL, and do here.
    {
        AtDispatch raised;
        PCHAR serial = host::CallDriver("DsmGetSerialNumber", record.DsmGetSerialNumber, record.DsmContext,
                                         device.DsmId);
        if (serial != nullptr) {
            device.SerialNumber = serial;
            ExFreePool(serial);
        }

        // MPIO keeps one controller record per device; it is not used here.
        PCONTROLLER_INFO controller = nullptr;
        if (NT_SUCCESS(host::CallDriver("DsmGetControllerInfo", record.DsmGetControllerInfo, record.DsmContext,
                                        device.DsmId, DSM_CNTRL_FLAGS_ALLOCATE, &controller)) &&
            controller != nullptr) {
            ExFreePool(controller);
        }
    }

    size_t disks;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        disks = disks_.size();
    }
    for (size_t disk = 0; disk < disks; disk++) {
        if (JoinsDisk(disk, device)) {
            std::lock_guard<std::mutex> lock(mutex_);
            disks_[disk].Devices.push_back(index);
            device.Group = (int)disk;
            break;
        }
    }
    if (device.Group < 0) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            disks_.push_back(MultipathDisk{{index}, device.SerialNumber, device.BlockLength});
            device.Group = (int)disks_.size() - 1;
        }
        AddDiskState();
    }
    BringUp(index);
}

/*++

Routine Description:

    The port finds one logical unit on one of its links: a disk device
    is built from the target's own INQUIRY and device identification
    answers, started and offered to the driver.  A logical unit the
    storage does not identify is skipped, and why is kept.  PASSIVE_LEVEL.

--*/
void Host::Enumerate(size_t linkIndex, UCHAR lun)
{
    const Link &link = *links_[linkIndex];
    const PathSpec &path = link.Path;
    Device device;
    device.Path = path;
    device.Lun = lun;
    device.Link = linkIndex;
    device.Nexus.Initiator = link.Initiator;
    device.Nexus.TargetPort = path.TargetPort;
    device.Nexus.Lun = lun;
    device.PortObject = PortObjectFor(path.PortNumber);

    array::ScsiTarget *target = target_;
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
    createdDevices_.push_back(device.TargetObject);
    SetScsiAddress(device.TargetObject,
                   SCSI_ADDRESS{sizeof(SCSI_ADDRESS), path.PortNumber, path.PathId, path.TargetId, lun});

    std::vector<uint8_t> descriptor;
    std::vector<uint8_t> identifiers;
    std::string problem;
    bool identified = Identify(&device, &descriptor, &identifiers, &problem);
    if (identified) {
        device.BlockLength = StartDisk(device);
    }
    size_t index;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        devices_.push_back(device);
        states_.push_back(PathState::Unbound);
        atPort_.push_back(0);
        linkLost_.push_back(false);
        noticedAt_.push_back(0);
        index = devices_.size() - 1;
    }
    if (!identified) {
        char where[64];
        snprintf(where, sizeof(where), "%u:%u:%u:%u: ", path.PortNumber, path.PathId, path.TargetId, lun);
        discoveryProblems_.push_back(where + problem);
        return;
    }
    Claim(index, &descriptor, &identifiers);
}

void Host::Discover(array::ScsiTarget *target, const Topology &topology)
{
    if (!registered_) {
        host::VerifierFail("MPIO discovery without a registered DSM");
        return;
    }
    target_ = target;
    hostId_ = topology.HostId;
    luns_ = topology.Luns;
    for (const PathSpec &path : topology.Paths) {
        auto link = std::make_unique<Link>();
        link->Owner = this;
        link->Index = links_.size();
        link->Path = path;
        // One initiator port per host port of this host.
        link->Initiator = topology.HostId * 256 + path.PortNumber;
        KeInitializeTimerEx(&link->Timer, NotificationTimer);
        KeInitializeDpc(&link->Dpc, LinkDpc, link.get());
        links_.push_back(std::move(link));
    }
    for (size_t link = 0; link < links_.size(); link++) {
        PortObjectFor(links_[link]->Path.PortNumber);
        for (UCHAR lun : luns_) {
            Enumerate(link, lun);
        }
    }
    if (!devices_.empty()) {
        StartPathMachinery();
        // The devices are all known now: a link the port loses from here
        // on takes its paths out of use.
        target->WatchLinks([this](uint32_t initiator, uint32_t targetPort) { LinkLost(initiator, targetPort); });
    }
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
    case array::Transport::Timeout:
    case array::Transport::NoAnswer:
        // Answered while the caller waits, so the pass-through's own
        // timeout is not waited out on the clock.
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
