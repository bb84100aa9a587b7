/*++

Module Name:

    storage.cpp

Abstract:

    Fuzzes what the storage tells the driver: the storage descriptor and
    the identifier list a claim is decided on, and the replies to the
    driver's own commands (TEST UNIT READY, the array's status buffer
    for a path's location and a controller's clock, persistent
    reservation IN and OUT), with hostile lengths and short transfers.
    The first byte picks the input.

    Every buffer is exactly as long as it says, so the address sanitizer
    sees any byte read outside it, and each outcome is checked against
    what the device said: a claim is taken exactly for a listed product
    with a usable logical unit name, whose hexadecimal text becomes the
    serial number; a reply counts only for the bytes transferred.

--*/

#include "fuzzdriver.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

using fuzzdriver::Expect;

// The array's status buffer, as the array lays it out.
constexpr size_t kArrivalPort = 4;
constexpr size_t kArrivalController = 5;
constexpr size_t kClockMarker[2] = {6, 7};
constexpr uint8_t kClockValid = 0xF1;
constexpr size_t kClockRecord[2] = {8, 228};
constexpr size_t kRecordHours = 101;

// Statuses a port may report that the driver has no name for.
constexpr NTSTATUS kDataOverrun = (NTSTATUS)0xC000003C;

const uint8_t kLuName[] = {0x60, 0x0A, 0x0B, 0x80, 0x00, 0x2A, 0xBC, 0xDE};
const uint8_t kNodeKey[TARN_PR_KEY_LENGTH] = {1, 2, 3, 4, 5, 6, 7, 8};

// What the fuzzed device answers to every command of one input.
struct Answer {
    NTSTATUS Status = STATUS_SUCCESS;
    uint8_t ScsiStatus = 0;
    uint32_t Transferred = 0;
    std::vector<uint8_t> Sense;
    std::vector<uint8_t> Data;
    unsigned Asked = 0;     // commands the device received
};

struct World {
    std::unique_ptr<mpio::Host> Host;
    PDEVICE_OBJECT Port = nullptr;
    PDEVICE_OBJECT Target = nullptr;
    PDEVICE_OBJECT Reference = nullptr;     // a claimed drive another claim may join
    PVOID ReferenceId = nullptr;
    PDEVICE_OBJECT Answering = nullptr;     // answers from Reply
    Answer Reply;
    fuzzdriver::Baseline Baseline;
};

World *TheWorld;

// A descriptor with the listed FC product, exactly as long as it says.
std::vector<uint8_t> GoodDescriptor()
{
    std::vector<uint8_t> buffer(FIELD_OFFSET(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties), 0);
    const std::string vendor = "KESTROM ", product = "TARN 4000 FC    ";
    auto *descriptor = reinterpret_cast<PSTORAGE_DEVICE_DESCRIPTOR>(buffer.data());
    descriptor->VendorIdOffset = (ULONG)buffer.size();
    buffer.insert(buffer.end(), vendor.begin(), vendor.end());
    buffer.push_back(0);
    descriptor = reinterpret_cast<PSTORAGE_DEVICE_DESCRIPTOR>(buffer.data());
    descriptor->ProductIdOffset = (ULONG)buffer.size();
    buffer.insert(buffer.end(), product.begin(), product.end());
    buffer.push_back(0);
    descriptor = reinterpret_cast<PSTORAGE_DEVICE_DESCRIPTOR>(buffer.data());
    descriptor->Size = (ULONG)buffer.size();
    return buffer;
}

template <typename T>
T At(const std::vector<uint8_t> &buffer, size_t offset)
{
    T value;
    memcpy(&value, buffer.data() + offset, sizeof(value));
    return value;
}

// An identifier list naming one logical unit.
std::vector<uint8_t> GoodIdentifiers(const uint8_t *name, size_t length)
{
    const size_t header = FIELD_OFFSET(STORAGE_IDENTIFIER, Identifier);
    std::vector<uint8_t> buffer(FIELD_OFFSET(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers) + header + length, 0);
    size_t record = FIELD_OFFSET(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers);
    const ULONG size = (ULONG)buffer.size(), count = 1, codeSet = 1, type = 3;
    const USHORT bytes = (USHORT)length, next = (USHORT)(header + length);
    memcpy(&buffer[FIELD_OFFSET(STORAGE_DEVICE_ID_DESCRIPTOR, Size)], &size, 4);
    memcpy(&buffer[FIELD_OFFSET(STORAGE_DEVICE_ID_DESCRIPTOR, NumberOfIdentifiers)], &count, 4);
    memcpy(&buffer[record + FIELD_OFFSET(STORAGE_IDENTIFIER, CodeSet)], &codeSet, 4);
    memcpy(&buffer[record + FIELD_OFFSET(STORAGE_IDENTIFIER, Type)], &type, 4);
    memcpy(&buffer[record + FIELD_OFFSET(STORAGE_IDENTIFIER, IdentifierSize)], &bytes, 2);
    memcpy(&buffer[record + FIELD_OFFSET(STORAGE_IDENTIFIER, NextOffset)], &next, 2);
    memcpy(&buffer[record + header], name, length);
    return buffer;
}

// Fuzzed bytes as a structure that is exactly as long as its leading Size
// field says (the field is cut down to the bytes there are), and at
// least as long as the fields before its variable part.
std::vector<uint8_t> Sized(const uint8_t *data, size_t size, size_t least)
{
    std::vector<uint8_t> buffer(data, data + size);
    if (buffer.size() < least) {
        buffer.resize(least, 0);
    }
    ULONG stated = At<ULONG>(buffer, 4);    // Size follows Version in both structures
    if (stated < least) {
        stated = (ULONG)least;
    }
    if (stated < buffer.size()) {
        buffer.resize(stated);
    }
    stated = (ULONG)buffer.size();
    memcpy(&buffer[4], &stated, 4);
    return buffer;
}

//
// The claim's rules, as the device's side sees them.
//
bool IsListedProduct(const std::vector<uint8_t> &descriptor)
{
    const auto *header = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR *>(descriptor.data());
    auto text = [&](ULONG offset, size_t characters, std::string *out) {
        if (offset == 0 || offset >= descriptor.size()) {
            return false;
        }
        const char *begin = reinterpret_cast<const char *>(descriptor.data()) + offset;
        size_t available = descriptor.size() - offset;
        size_t length = strnlen(begin, available);
        if (length != characters || length == available) {
            return false;
        }
        *out = std::string(begin, length);
        return true;
    };
    std::string vendor, product;
    if (!text(header->VendorIdOffset, 8, &vendor) || !text(header->ProductIdOffset, 16, &product)) {
        return false;
    }
    const std::string joined = vendor + product;
    return joined == fuzzdriver::kProductFc || joined == fuzzdriver::kProductIscsi;
}

// The serial a well-formed list keys its drive by; empty when the list
// is malformed or names no usable logical unit.
std::string SerialOf(const std::vector<uint8_t> &list)
{
    const size_t first = FIELD_OFFSET(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers);
    const size_t header = FIELD_OFFSET(STORAGE_IDENTIFIER, Identifier);
    const size_t size = list.size();
    const ULONG count = At<ULONG>(list, FIELD_OFFSET(STORAGE_DEVICE_ID_DESCRIPTOR, NumberOfIdentifiers));
    size_t offset = first, chosen = 0;
    for (ULONG i = 0; i < count; i++) {
        if (offset + header > size) {
            return "";
        }
        const size_t bytes = At<USHORT>(list, offset + FIELD_OFFSET(STORAGE_IDENTIFIER, IdentifierSize));
        const size_t next = At<USHORT>(list, offset + FIELD_OFFSET(STORAGE_IDENTIFIER, NextOffset));
        if (offset + header + bytes > size || (i + 1 < count && next < header + bytes) ||
            (i + 1 < count && next == 0)) {
            return "";
        }
        if (chosen == 0 && At<ULONG>(list, offset + FIELD_OFFSET(STORAGE_IDENTIFIER, Association)) != 1 &&
            At<ULONG>(list, offset + FIELD_OFFSET(STORAGE_IDENTIFIER, Type)) == 3) {
            chosen = offset;
        }
        offset += next;
    }
    if (chosen == 0 || At<ULONG>(list, chosen + FIELD_OFFSET(STORAGE_IDENTIFIER, CodeSet)) != 1) {
        return "";
    }
    const size_t bytes = At<USHORT>(list, chosen + FIELD_OFFSET(STORAGE_IDENTIFIER, IdentifierSize));
    if (2 * bytes < TARN_MIN_SERIAL_CHARS || bytes > TARN_MAX_IDENTIFIER_BYTES) {
        return "";
    }
    std::string serial;
    static const char digits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < bytes; i++) {
        const uint8_t byte = list[chosen + header + i];
        serial += digits[byte >> 4];
        serial += digits[byte & 15];
    }
    return serial;
}

void Claim(World &world, const std::vector<uint8_t> &descriptorBytes, const std::vector<uint8_t> &listBytes)
{
    // Each in its own block of exactly its size.
    std::vector<uint8_t> descriptor(descriptorBytes), list(listBytes);
    const bool listed = IsListedProduct(descriptor);
    const std::string serial = listed ? SerialOf(list) : "";
    PDSM_CONTEXT context = fuzzdriver::ContextOf(*world.Host);

    PVOID id = nullptr;
    NTSTATUS status = host::CallDriver("DsmInquireDriver", DsmInquireDriver, context, world.Target, world.Port,
                                       reinterpret_cast<PSTORAGE_DEVICE_DESCRIPTOR>(descriptor.data()),
                                       reinterpret_cast<PSTORAGE_DEVICE_ID_DESCRIPTOR>(list.data()), &id);
    if (serial.empty()) {
        Expect(status == STATUS_NOT_SUPPORTED && id == nullptr, "a device that is not ours was claimed");
        return;
    }
    Expect(status == STATUS_SUCCESS && id != nullptr, "a listed device with a usable name was declined");
    PCHAR text = host::CallDriver("DsmGetSerialNumber", DsmGetSerialNumber, context, id);
    Expect(text != nullptr && serial == text, "the serial is not the name's hexadecimal text");
    ExFreePool(text);
    // The drive of the same name is the reference drive; any other is new.
    const bool same = serial == "600A0B80002ABCDE";
    Expect(host::CallDriver("DsmCompareDevices", DsmCompareDevices, context, id, world.ReferenceId) == same,
           "the claim joined the wrong drive");
    Expect(host::CallDriver("DsmRemoveDevice", DsmRemoveDevice, context, id, id) == STATUS_SUCCESS,
           "the claimed path cannot be removed");
}

//
// The replies.
//
void OnCommand(PVOID input, ULONG inputLength, PIO_STATUS_BLOCK status)
{
    Answer &reply = TheWorld->Reply;
    auto *header = static_cast<PSCSI_PASS_THROUGH>(input);
    auto *bytes = static_cast<uint8_t *>(input);
    reply.Asked++;
    Expect(header->SenseInfoOffset + header->SenseInfoLength <= inputLength &&
               header->DataBufferOffset + header->DataTransferLength <= inputLength,
           "a pass-through request larger than its buffer");
    header->ScsiStatus = reply.ScsiStatus;
    memcpy(bytes + header->SenseInfoOffset, reply.Sense.data(),
           std::min<size_t>(reply.Sense.size(), header->SenseInfoLength));
    if (header->DataIn == SCSI_IOCTL_DATA_IN) {
        memcpy(bytes + header->DataBufferOffset, reply.Data.data(),
               std::min<size_t>(reply.Data.size(), header->DataTransferLength));
        header->DataTransferLength = reply.Transferred;   // whatever the port says, however hostile
    }
    status->Status = reply.Status;
    status->Information = inputLength;
}

// What the driver may read of a reply: the bytes transferred, at most
// the bytes asked for.
size_t Usable(const Answer &reply, size_t asked)
{
    return std::min<size_t>(reply.Transferred, asked);
}

bool Good(const Answer &reply)
{
    return reply.Status == STATUS_SUCCESS && reply.ScsiStatus == SCSISTAT_GOOD;
}

// A persistent reservation command's status and attempts: success needs
// GOOD on a working transport (and a reply the caller can read); a gone
// device says so; the unit attentions of a reset or a change are retried.
void ExpectPr(const Answer &reply, NTSTATUS status, bool readable, const char *what)
{
    const bool gone = reply.Status == STATUS_DEVICE_NOT_CONNECTED || reply.Status == STATUS_NO_SUCH_DEVICE;
    NTSTATUS expected = STATUS_IO_DEVICE_ERROR;
    if (Good(reply)) {
        expected = readable ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
    } else if (gone) {
        expected = STATUS_DEVICE_NOT_CONNECTED;
    }
    Expect(status == expected, what);
    const bool retried = !Good(reply) && !gone && (reply.Sense[2] & 15) == SCSI_SENSE_UNIT_ATTENTION &&
                         (reply.Sense[12] == SCSI_ADSENSE_BUS_RESET ||
                          reply.Sense[12] == SCSI_ADSENSE_PARAMETERS_CHANGED);
    Expect(reply.Asked == (retried ? 3u : 1u), what);
}

// The answer the storage gives every command of this input: status, SCSI
// status, the length transferred (two bytes, and one that can claim more
// than there was), sense, then the data.
void ReadReply(Answer &reply, const uint8_t *data, size_t size)
{
    static const NTSTATUS kStatuses[] = {STATUS_SUCCESS,       STATUS_IO_DEVICE_ERROR,     STATUS_DEVICE_NOT_CONNECTED,
                                         STATUS_IO_TIMEOUT,    STATUS_BUFFER_OVERFLOW,     STATUS_NO_SUCH_DEVICE,
                                         kDataOverrun,         STATUS_INVALID_DEVICE_REQUEST};
    constexpr size_t kHeader = 5 + 18;     // status, SCSI status, transferred (3 bytes), sense
    uint8_t head[kHeader] = {};
    memcpy(head, data, std::min(size, kHeader));
    reply = Answer();
    reply.Status = kStatuses[head[0] % 8];
    reply.ScsiStatus = head[1];
    reply.Transferred = (uint32_t)head[2] | (uint32_t)head[3] << 8;
    if (head[4] & 0x80) {
        reply.Transferred = 0xFFFFFFFFu - head[4];     // a port that reports more than there was
    }
    reply.Sense.assign(head + 5, head + kHeader);
    if (size > kHeader) {
        reply.Data.assign(data + kHeader, data + size);
    }
    // What the input does not give is zeros, as far as any command asks.
    reply.Data.resize(std::max<size_t>(reply.Data.size(), 512), 0);
}

void Replies(World &world, uint8_t which, const uint8_t *data, size_t size)
{
    Answer &reply = world.Reply;
    ReadReply(reply, data, size);
    const char *label = "[fuzz]";
    switch (which % 6) {
    case 0: {
        NTSTATUS status = TestUnitReadyOnPath(world.Answering, 2, 10, label);
        Expect(status == STATUS_SUCCESS || status == STATUS_IO_DEVICE_ERROR, "TEST UNIT READY status");
        // The unit answered: a reservation conflict, GOOD, or a check
        // condition other than "logical unit not supported" on a
        // transport that worked.  Every attempt is answered alike.
        const bool unsupported = (reply.Sense[2] & 15) == SCSI_SENSE_ILLEGAL_REQUEST &&
                                 reply.Sense[12] == SCSI_ADSENSE_INVALID_LUN;
        const bool answered = reply.ScsiStatus == SCSISTAT_RESERVATION_CONFLICT ||
                              (reply.Status == STATUS_SUCCESS &&
                               (reply.ScsiStatus == SCSISTAT_GOOD ||
                                (reply.ScsiStatus == SCSISTAT_CHECK_CONDITION && !unsupported)));
        Expect((status == STATUS_SUCCESS) == answered, "TEST UNIT READY against the unit's answer");
        Expect(reply.Asked == (answered ? 1u : 3u), "TEST UNIT READY attempts");
        break;
    }
    case 1: {
        UCHAR port = 0, controller = 0;
        NTSTATUS status = QueryArrayLocation(world.Answering, label, &port, &controller);
        const size_t usable = Usable(reply, 8);
        const bool readable = Good(reply) && usable > kArrivalController;
        Expect(status == (readable ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR), "location status");
        auto side = [&](size_t offset) {
            const uint8_t value = readable ? reply.Data[offset] : 0;
            return (value == 1 || value == 2) ? (UCHAR)(value - 1) : (UCHAR)TARN_CONTROLLER_UNKNOWN;
        };
        Expect(port == side(kArrivalPort) && controller == side(kArrivalController), "location read");
        break;
    }
    case 2: {
        CHAR stamp[16];
        NTSTATUS status = QueryControllerTime(world.Answering, label, stamp, sizeof(stamp));
        const size_t usable = Usable(reply, 448);
        std::string expected;
        if (Good(reply) && usable > kClockMarker[1]) {
            for (int record = 0; record < 2; record++) {
                if (reply.Data[kClockMarker[record]] == kClockValid) {
                    const size_t at = kClockRecord[record] + kRecordHours;
                    if (usable > at + 2) {
                        expected = std::to_string(reply.Data[at]) + ":" + std::to_string(reply.Data[at + 1]) + ":" +
                                   std::to_string(reply.Data[at + 2]);
                    }
                    break;
                }
            }
        }
        Expect(status == (expected.empty() ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS), "clock status");
        Expect(expected == std::string(stamp, strnlen(stamp, sizeof(stamp))), "clock text");
        break;
    }
    case 3: {
        NTSTATUS status = PrReadKeysOnPath(world.Answering, label, label);
        ExpectPr(reply, status, Usable(reply, 256) >= 8, "READ KEYS");
        break;
    }
    case 4: {
        UCHAR key[TARN_PR_KEY_LENGTH];
        memcpy(key, kNodeKey, sizeof(key));
        BOOLEAN reserved = TRUE, ours = TRUE;
        NTSTATUS status = PrReadReservationOnPath(world.Answering, key, label, label, &reserved, &ours);
        const size_t usable = Usable(reply, 32);
        const uint32_t additional =
            usable >= 8 ? (uint32_t)reply.Data[4] << 24 | reply.Data[5] << 16 | reply.Data[6] << 8 | reply.Data[7] : 0;
        ExpectPr(reply, status, usable >= 8 && !(additional == 16 && usable < 24), "READ RESERVATION");
        const bool holder = status == STATUS_SUCCESS && additional == 16 && usable >= 24;
        Expect(reserved == holder, "a reservation reported that the reply does not hold");
        Expect(ours == (holder && memcmp(&reply.Data[8], kNodeKey, 8) == 0), "the holder's key misread");
        break;
    }
    default: {
        BOOLEAN conflict = FALSE;
        UCHAR key[TARN_PR_KEY_LENGTH];
        memcpy(key, kNodeKey, sizeof(key));
        NTSTATUS status = PrReserveOnPath(world.Answering, key, label, label, &conflict);
        ExpectPr(reply, status, true, "RESERVE");
        Expect(conflict == (reply.ScsiStatus == SCSISTAT_RESERVATION_CONFLICT && !Good(reply)), "RESERVE conflict");
        break;
    }
    }
}

World *Start()
{
    auto *world = new World();
    TheWorld = world;
    fuzzdriver::ResetWithConfiguration();
    world->Host = fuzzdriver::Load();
    world->Port = host::CreateDevice(u"", nullptr);
    world->Host->SetPortPdo(world->Port, host::CreateDevice(u"", nullptr));
    world->Target = host::CreateDevice(u"", nullptr);
    world->Host->SetScsiAddress(world->Target, SCSI_ADDRESS{sizeof(SCSI_ADDRESS), 2, 0, 1, 31});
    world->Reference = host::CreateDevice(u"", nullptr);
    world->Host->SetScsiAddress(world->Reference, SCSI_ADDRESS{sizeof(SCSI_ADDRESS), 3, 0, 1, 31});
    std::vector<uint8_t> descriptor = GoodDescriptor(), list = GoodIdentifiers(kLuName, sizeof(kLuName));
    if (DsmInquireDriver(fuzzdriver::ContextOf(*world->Host), world->Reference, world->Port,
                         reinterpret_cast<PSTORAGE_DEVICE_DESCRIPTOR>(descriptor.data()),
                         reinterpret_cast<PSTORAGE_DEVICE_ID_DESCRIPTOR>(list.data()),
                         &world->ReferenceId) != STATUS_SUCCESS) {
        fuzzdriver::Fail("the reference drive is not claimed");
    }
    world->Answering = host::CreateDevice(u"", [](ULONG code, PVOID input, ULONG inputLength, PVOID output,
                                                  ULONG outputLength, bool, PIO_STATUS_BLOCK status) {
        Expect(code == IOCTL_SCSI_PASS_THROUGH && input == output && inputLength == outputLength,
               "not a pass-through request");
        OnCommand(input, inputLength, status);
    });
    fuzzdriver::ForgetLogs();
    world->Baseline.Take();
    return world;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static World *world = Start();
    if (size == 0) {
        return 0;
    }
    const uint8_t selector = data[0];
    data++;
    size--;
    const size_t descriptorHeader = FIELD_OFFSET(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties);
    const size_t listHeader = FIELD_OFFSET(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers);
    switch (selector % 4) {
    case 0:     // a hostile descriptor with a good name
        Claim(*world, Sized(data, size, descriptorHeader), GoodIdentifiers(kLuName, sizeof(kLuName)));
        break;
    case 1:     // a good descriptor with a hostile identifier list
        Claim(*world, GoodDescriptor(), Sized(data, size, listHeader));
        break;
    case 2: {   // both hostile, split where the first byte says
        const size_t split = size == 0 ? 0 : data[0] % size;
        Claim(*world, Sized(data, split, descriptorHeader), Sized(data + split, size - split, listHeader));
        break;
    }
    default:
        Replies(*world, selector / 4, data, size);
        break;
    }
    fuzzdriver::ForgetLogs();
    world->Baseline.Check("storage");
    return 0;
}
