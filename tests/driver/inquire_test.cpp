// The claim decision on hand-made descriptors: which products are
// supported, which identifier keys the drive, and descriptors that do
// not hold together, which are declined without a byte read outside
// them (the buffers are exactly their declared size, so the address
// sanitizer sees any stray read).
#include "driverfixture.h"

#include <cstring>
#include <functional>

namespace tarntest {
namespace {

struct Designator {
    ULONG CodeSet;
    ULONG Type;
    ULONG Association;
    std::vector<uint8_t> Bytes;
};

// A device descriptor with the given vendor and product fields, exactly
// as long as it says.
std::vector<uint8_t> DeviceDescriptor(const std::string &vendor, const std::string &product)
{
    std::vector<uint8_t> buffer(FIELD_OFFSET(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties), 0);
    ULONG vendorOffset = (ULONG)buffer.size();
    buffer.insert(buffer.end(), vendor.begin(), vendor.end());
    buffer.push_back(0);
    ULONG productOffset = (ULONG)buffer.size();
    buffer.insert(buffer.end(), product.begin(), product.end());
    buffer.push_back(0);
    auto *descriptor = reinterpret_cast<PSTORAGE_DEVICE_DESCRIPTOR>(buffer.data());
    descriptor->Size = (ULONG)buffer.size();
    descriptor->VendorIdOffset = vendorOffset;
    descriptor->ProductIdOffset = productOffset;
    return buffer;
}

template <typename T>
void Put(std::vector<uint8_t> &buffer, size_t at, T value)
{
    memcpy(&buffer[at], &value, sizeof(value));
}

// An identifier list as a device reports it, written byte by byte (the
// fields may hold values outside the platform's enumerations, and
// unpadded records leave the next one unaligned).
std::vector<uint8_t> IdentifierList(const std::vector<Designator> &designators, bool padded = true)
{
    const size_t header = FIELD_OFFSET(STORAGE_IDENTIFIER, Identifier);
    std::vector<uint8_t> buffer(FIELD_OFFSET(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers), 0);
    for (const Designator &d : designators) {
        size_t record = header + d.Bytes.size();
        if (padded) {
            record = (record + 3) & ~(size_t)3;
        }
        size_t at = buffer.size();
        buffer.resize(at + record, 0);
        Put<ULONG>(buffer, at + FIELD_OFFSET(STORAGE_IDENTIFIER, CodeSet), d.CodeSet);
        Put<ULONG>(buffer, at + FIELD_OFFSET(STORAGE_IDENTIFIER, Type), d.Type);
        Put<ULONG>(buffer, at + FIELD_OFFSET(STORAGE_IDENTIFIER, Association), d.Association);
        Put<USHORT>(buffer, at + FIELD_OFFSET(STORAGE_IDENTIFIER, IdentifierSize), (USHORT)d.Bytes.size());
        Put<USHORT>(buffer, at + FIELD_OFFSET(STORAGE_IDENTIFIER, NextOffset), (USHORT)record);
        if (!d.Bytes.empty()) {
            memcpy(&buffer[at + header], d.Bytes.data(), d.Bytes.size());
        }
    }
    Put<ULONG>(buffer, FIELD_OFFSET(STORAGE_DEVICE_ID_DESCRIPTOR, Size), (ULONG)buffer.size());
    Put<ULONG>(buffer, FIELD_OFFSET(STORAGE_DEVICE_ID_DESCRIPTOR, NumberOfIdentifiers), (ULONG)designators.size());
    return buffer;
}

const std::vector<uint8_t> kLuName = {0x60, 0x0A, 0x0B, 0x80, 0x00, 0x2A, 0xBC, 0xDE};

class InquireTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        host::RegistrySetMultiString(kParametersKey, "SupportedDeviceList",
                                     {"OTHER   PRODUCT         ", kProductFc, kProductIscsi});
        ASSERT_NO_FATAL_FAILURE(StartWithPort());
        target_ = host::CreateDevice(u"", nullptr);
        host_->SetScsiAddress(target_, SCSI_ADDRESS{sizeof(SCSI_ADDRESS), 2, 0, 1, 31});
    }

    void StartWithPort()
    {
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        port_ = host::CreateDevice(u"", nullptr);
        host_->SetPortPdo(port_, host::CreateDevice(u"", nullptr));
    }

    NTSTATUS Inquire(std::vector<uint8_t> descriptor, std::vector<uint8_t> identifiers, PVOID *id = nullptr)
    {
        PVOID dsmId = nullptr;
        NTSTATUS status = DsmInquireDriver(Context(), target_, port_,
                                           reinterpret_cast<PSTORAGE_DEVICE_DESCRIPTOR>(descriptor.data()),
                                           identifiers.empty()
                                               ? nullptr
                                               : reinterpret_cast<PSTORAGE_DEVICE_ID_DESCRIPTOR>(identifiers.data()),
                                           &dsmId);
        if (id != nullptr) {
            *id = dsmId;
        }
        return status;
    }

    static std::vector<uint8_t> GoodDevice() { return DeviceDescriptor("KESTROM ", "TARN 4000 FC    "); }

    PDEVICE_OBJECT port_ = nullptr;
    PDEVICE_OBJECT target_ = nullptr;
};

TEST_F(InquireTest, ProductMustMatchAListEntryExactly)
{
    auto ids = IdentifierList({{1, 3, 0, kLuName}});
    size_t events = host::EventLog().size();
    EXPECT_EQ(Inquire(DeviceDescriptor("KESTROM", "TARN 4000 FC    "), ids), STATUS_NOT_SUPPORTED);   // 7 + NUL
    EXPECT_EQ(Inquire(DeviceDescriptor("Kestrom ", "TARN 4000 FC    "), ids), STATUS_NOT_SUPPORTED);  // case
    EXPECT_EQ(Inquire(DeviceDescriptor("KESTROM ", "TARN 4000 FC     "), ids), STATUS_NOT_SUPPORTED); // 17
    EXPECT_EQ(host::EventLog().size(), events);     // declining logs nothing

    // The second and third entries are found as well as the first.
    EXPECT_EQ(Inquire(GoodDevice(), ids), STATUS_SUCCESS);
    auto ids2 = IdentifierList({{1, 3, 0, {0x60, 1, 2, 3, 4, 5, 6, 7}}});
    EXPECT_EQ(Inquire(DeviceDescriptor("KESTROM ", "TARN 4000 ISCSI "), ids2), STATUS_SUCCESS);
}

TEST_F(InquireTest, SerialIsTheHexTextOfTheFirstLogicalUnitName)
{
    PVOID id = nullptr;
    // A port-associated name first, an ASCII vendor id, then the LU's name.
    auto ids = IdentifierList({{1, 3, 1, {0x50, 0x0A, 0, 0, 0, 0, 0, 1}},
                               {2, 1, 0, {'K', 'E', 'S', 'T', 'R', 'O', 'M', ' '}},
                               {1, 3, 0, kLuName}});
    ASSERT_EQ(Inquire(GoodDevice(), ids, &id), STATUS_SUCCESS);
    auto *path = static_cast<PPDO_ENTRY>(id);
    EXPECT_STREQ(path->LdEntry->SerialNumber, "600A0B80002ABCDE");
    EXPECT_EQ(path->LdEntry->SerialNumberLength, 16u);
    EXPECT_STREQ(path->PathIdString, "[00A 2:0:1:1f]");
    EXPECT_EQ(path->PathIdStringLen, 14u);
    EXPECT_EQ(path->ControllerPort, TARN_CONTROLLER_UNKNOWN);
    EXPECT_EQ(path->HealthState, (ULONG)PDO_HEALTH_INIT_START);
    EXPECT_NE(path->PortPdo, nullptr);

    PCHAR copy = DsmGetSerialNumber(Context(), id);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "600A0B80002ABCDE");
    ExFreePool(copy);
}

// Identifiers that are prefixes of each other name two logical units,
// in whichever order discovery offers them; an equal one joins its drive.
TEST_F(InquireTest, OnlyAWholeSerialGroupsDevicesIntoADrive)
{
    const std::vector<uint8_t> shorter = {0x60, 0x0A, 0x0B, 0x80};
    const std::vector<uint8_t> longer = {0x60, 0x0A, 0x0B, 0x80, 0x00};
    for (bool shortFirst : {true, false}) {
        SCOPED_TRACE(shortFirst ? "shorter first" : "longer first");
        if (!shortFirst) {
            host_.reset();
            host::Reboot();
            host::ClearEventLog();
            ASSERT_NO_FATAL_FAILURE(StartWithPort());
        }
        std::vector<PVOID> ids;
        const std::vector<uint8_t> *order[] = {shortFirst ? &shorter : &longer, shortFirst ? &longer : &shorter,
                                               shortFirst ? &shorter : &longer};
        for (int i = 0; i < 3; i++) {
            PDEVICE_OBJECT target = host::CreateDevice(u"", nullptr);
            host_->SetScsiAddress(target, SCSI_ADDRESS{sizeof(SCSI_ADDRESS), (UCHAR)(2 + i), 0, 0, 0});
            target_ = target;
            PVOID id = nullptr;
            ASSERT_EQ(Inquire(GoodDevice(), IdentifierList({{1, 3, 0, *order[i]}}), &id), STATUS_SUCCESS);
            ids.push_back(id);
        }
        auto *first = static_cast<PPDO_ENTRY>(ids[0]);
        auto *second = static_cast<PPDO_ENTRY>(ids[1]);
        EXPECT_NE(first->LdEntry, second->LdEntry);
        EXPECT_EQ(first->LdEntry->NumberPaths, 2u);
        EXPECT_EQ(second->LdEntry->NumberPaths, 1u);
        EXPECT_STREQ(second->LdEntry->SerialNumber, shortFirst ? "600A0B8000" : "600A0B80");
        EXPECT_FALSE(DsmCompareDevices(Context(), ids[0], ids[1]));
        EXPECT_TRUE(DsmCompareDevices(Context(), ids[0], ids[2]));
        EXPECT_EQ(CountEvents(TARN_MSG_NEW_LOGICAL_DRIVE), 2);
    }
}

// Designators the platform's enumerations do not name (target device
// association, SCSI name strings, UTF-8), in records not padded to 4
// bytes: skipped over, never misread, and the LU's name still found.
TEST_F(InquireTest, UnnamedDesignatorsAndUnpaddedRecordsAreReadAsBytes)
{
    const ULONG kAssocTarget = 2;
    const ULONG kTypeScsiName = 8;
    const ULONG kCodeSetUtf8 = 3;
    const std::vector<uint8_t> name = {'i', 'q', 'n', '.', 'x', 0};   // 6 bytes: the next record is unaligned
    struct {
        const char *Case;
        std::vector<Designator> Designators;
        bool Padded;
        const char *Serial;     // nullptr: declined
    } cases[] = {
        {"target name, then LU name, unpadded",
         {{kCodeSetUtf8, kTypeScsiName, kAssocTarget, name}, {1, 3, 0, kLuName}}, false, "600A0B80002ABCDE"},
        {"odd-sized LU name first, unpadded",
         {{1, 3, 0, {0x60, 0x0A, 0x0B}}, {kCodeSetUtf8, kTypeScsiName, kAssocTarget, name}}, false, "600A0B"},
        {"type 3 with target association", {{1, 3, kAssocTarget, kLuName}}, true, "600A0B80002ABCDE"},
        {"type 3 in UTF-8", {{kCodeSetUtf8, 3, 0, kLuName}, {1, 3, 0, kLuName}}, false, nullptr},
        {"only a SCSI name string", {{kCodeSetUtf8, kTypeScsiName, 0, name}}, false, nullptr},
        {"type 3 plus 256", {{1, 3 + 256, 0, kLuName}}, true, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Case);
        PVOID id = nullptr;
        NTSTATUS status = Inquire(GoodDevice(), IdentifierList(c.Designators, c.Padded), &id);
        if (c.Serial == nullptr) {
            EXPECT_EQ(status, STATUS_NOT_SUPPORTED);
            continue;
        }
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_STREQ(static_cast<PPDO_ENTRY>(id)->LdEntry->SerialNumber, c.Serial);
    }

    // An unpadded record whose NextOffset runs past the list, and one
    // whose identifier size does.
    auto pastEnd = IdentifierList({{kCodeSetUtf8, kTypeScsiName, kAssocTarget, name}, {1, 3, 0, kLuName}}, false);
    const size_t first = FIELD_OFFSET(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers);
    Put<USHORT>(pastEnd, first + FIELD_OFFSET(STORAGE_IDENTIFIER, NextOffset), (USHORT)pastEnd.size());
    EXPECT_EQ(Inquire(GoodDevice(), pastEnd), STATUS_NOT_SUPPORTED);
    auto sizePastEnd = IdentifierList({{kCodeSetUtf8, kTypeScsiName, kAssocTarget, name}, {1, 3, 0, kLuName}}, false);
    const size_t second = first + FIELD_OFFSET(STORAGE_IDENTIFIER, Identifier) + name.size();
    Put<USHORT>(sizePastEnd, second + FIELD_OFFSET(STORAGE_IDENTIFIER, IdentifierSize), (USHORT)(kLuName.size() + 1));
    EXPECT_EQ(Inquire(GoodDevice(), sizePastEnd), STATUS_NOT_SUPPORTED);
}

TEST_F(InquireTest, IdentifiersThatCannotKeyADriveAreRefused)
{
    // The first suitable name is ASCII: refused even though a binary one follows.
    EXPECT_EQ(Inquire(GoodDevice(), IdentifierList({{2, 3, 0, {'6', '0', '0', 'A'}}, {1, 3, 0, kLuName}})),
              STATUS_NOT_SUPPORTED);
    // Only port names, no list at all, a name of 2 bytes (4 characters).
    EXPECT_EQ(Inquire(GoodDevice(), IdentifierList({{1, 3, 1, kLuName}})), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Inquire(GoodDevice(), {}), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Inquire(GoodDevice(), IdentifierList({{1, 3, 0, {0x60, 0x0A}}})), STATUS_NOT_SUPPORTED);
    // Three bytes make a 6-character serial: enough for the labels.
    EXPECT_EQ(Inquire(GoodDevice(), IdentifierList({{1, 3, 0, {0x60, 0x0A, 0x0B}}})), STATUS_SUCCESS);
    EXPECT_NE(FirstDrive(), nullptr);
}

TEST_F(InquireTest, MalformedDescriptorsAreDeclinedWithoutReadingOutsideThem)
{
    using Buffer = std::vector<uint8_t>;
    const Designator port{1, 3, 1, kLuName}, lu{1, 3, 0, kLuName};
    auto device = [](Buffer &b) { return reinterpret_cast<PSTORAGE_DEVICE_DESCRIPTOR>(b.data()); };
    auto list = [](Buffer &b) { return reinterpret_cast<PSTORAGE_DEVICE_ID_DESCRIPTOR>(b.data()); };
    auto first = [](Buffer &b) {
        return reinterpret_cast<PSTORAGE_IDENTIFIER>(&b[FIELD_OFFSET(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers)]);
    };
    const struct {
        const char *Case;
        std::vector<Designator> Designators;
        std::function<void(Buffer &descriptor, Buffer &ids)> Break;
    } cases[] = {
        {"vendor past the end", {lu}, [&](Buffer &d, Buffer &) { device(d)->VendorIdOffset = 4096; }},
        {"8 bytes left for the product: no room for 16 and a NUL", {lu},
         [&](Buffer &d, Buffer &) { device(d)->ProductIdOffset = device(d)->Size - 8; }},
        {"the first of two claims no next record", {port, lu}, [&](Buffer &, Buffer &i) { first(i)->NextOffset = 0; }},
        {"more identifiers counted than held", {port}, [&](Buffer &, Buffer &i) { list(i)->NumberOfIdentifiers = 3; }},
        {"identifier longer than the list", {lu}, [&](Buffer &, Buffer &i) { first(i)->IdentifierSize = 200; }},
        {"identifier longer than its record", {port, lu}, [&](Buffer &, Buffer &i) { first(i)->IdentifierSize = 20; }},
        {"list size smaller than its header", {lu}, [&](Buffer &, Buffer &i) { list(i)->Size = 4; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Case);
        Buffer descriptor = GoodDevice();
        Buffer ids = IdentifierList(c.Designators);
        c.Break(descriptor, ids);
        EXPECT_EQ(Inquire(descriptor, ids), STATUS_NOT_SUPPORTED);
    }

    EXPECT_TRUE(IsListEmpty(&Context()->PathRecordList));
    // Only what the started driver keeps: the context, its two names and the
    // supported device list.
    EXPECT_EQ(host::PoolOutstanding(kTarnTag), 4u) << host::PoolReport();
}

TEST_F(InquireTest, ControllerRecordIsNewForEveryAllocatingCall)
{
    PVOID id = nullptr;
    ASSERT_EQ(Inquire(GoodDevice(), IdentifierList({{1, 3, 0, kLuName}}), &id), STATUS_SUCCESS);

    PCONTROLLER_INFO first = nullptr;
    ASSERT_EQ(DsmGetControllerInfo(Context(), id, DSM_CNTRL_FLAGS_ALLOCATE | DSM_CNTRL_FLAGS_CHECK_STATE, &first),
              STATUS_SUCCESS);
    host::ClockAdvance(1);
    PCONTROLLER_INFO second = first;
    ASSERT_EQ(DsmGetControllerInfo(Context(), id, DSM_CNTRL_FLAGS_ALLOCATE, &second), STATUS_SUCCESS);
    ASSERT_NE(second, first);
    EXPECT_EQ(first->IdentifierType, 1u);
    EXPECT_EQ(first->IdentifierLength, 8u);
    EXPECT_EQ(first->State, 4u);
    EXPECT_NE(memcmp(first->Identifier, second->Identifier, 4), 0);
    for (int i = 4; i < 32; i++) {
        EXPECT_EQ(first->Identifier[i], 0);
    }

    second->State = 0;
    PCONTROLLER_INFO existing = second;
    ASSERT_EQ(DsmGetControllerInfo(Context(), id, DSM_CNTRL_FLAGS_CHECK_STATE, &existing), STATUS_SUCCESS);
    EXPECT_EQ(existing, second);
    EXPECT_EQ(second->State, 4u);
    ExFreePool(first);
    ExFreePool(second);

    EXPECT_EQ(DsmGetControllerInfo(Context(), (PVOID)0x1234, DSM_CNTRL_FLAGS_ALLOCATE, &existing),
              STATUS_UNSUCCESSFUL);
}

// Every entry point that takes an identifier refuses one that is not on
// the path list: never known, NULL, or a path record freed meanwhile
// (read through, the last is a use of freed memory).
TEST_F(InquireTest, EveryEntryPointRefusesUnknownIdentifiers)
{
    PVOID known = nullptr;
    PVOID freed = nullptr;
    ASSERT_EQ(Inquire(GoodDevice(), IdentifierList({{1, 3, 0, kLuName}}), &known), STATUS_SUCCESS);
    target_ = host::CreateDevice(u"", nullptr);
    host_->SetScsiAddress(target_, SCSI_ADDRESS{sizeof(SCSI_ADDRESS), 3, 0, 1, 31});
    ASSERT_EQ(Inquire(GoodDevice(), IdentifierList({{1, 3, 0, kLuName}}), &freed), STATUS_SUCCESS);
    {
        PDSM_CONTEXT context = Context();
        auto *path = static_cast<PPDO_ENTRY>(freed);
        {
            DsmLockHeld held(context);
            RemovePdoEntry(context, path->LdEntry, path);
        }
        FreePdoEntry(path);
    }
    // Zeroed memory shaped like a path record, never handed out.
    alignas(PDO_ENTRY) static uint8_t stranger[sizeof(PDO_ENTRY)];
    const PVOID unknowns[] = {stranger, nullptr, freed};

    const DSM_INIT_DATA &r = host_->Record();
    PVOID c = r.DsmContext;
    struct Case {
        const char *EntryPoint;
        std::function<bool(PVOID)> Refuses;
    };
    const Case cases[] = {
        {"DsmCompareDevices", [&](PVOID id) { return !r.DsmCompareDevices(c, known, id) &&
                                                     !r.DsmCompareDevices(c, id, known) &&
                                                     !r.DsmCompareDevices(c, id, stranger); }},
        {"DsmGetSerialNumber", [&](PVOID id) { return r.DsmGetSerialNumber(c, id) == nullptr; }},
        {"DsmGetControllerInfo",
         [&](PVOID id) {
             PCONTROLLER_INFO info = nullptr;
             return r.DsmGetControllerInfo(c, id, DSM_CNTRL_FLAGS_ALLOCATE, &info) == STATUS_UNSUCCESSFUL &&
                    info == nullptr;
         }},
        {"DsmSetDeviceInfo",
         [&](PVOID id) {
             PVOID pathId = nullptr;
             return r.DsmSetDeviceInfo(c, target_, id, &pathId) == STATUS_UNSUCCESSFUL;
         }},
        {"DsmIsPathActive", [&](PVOID id) { return !r.DsmIsPathActive(c, id, id); }},
        {"DsmPathVerify", [&](PVOID id) { return r.DsmPathVerify(c, id, id) == STATUS_DEVICE_NOT_CONNECTED; }},
        {"DsmInvalidatePath",
         [&](PVOID id) {
             PVOID newPath = nullptr;
             return r.DsmInvalidatePath(c, 0, id, &newPath) == STATUS_NO_SUCH_DEVICE;
         }},
        {"DsmMoveDevice",
         [&](PVOID id) {
             DSM_IDS ids{1, {id}};
             return r.DsmMoveDevice(c, &ids, id, id, 0) == STATUS_UNSUCCESSFUL &&
                    r.DsmMoveDevice(c, &ids, known, id, 0) == STATUS_UNSUCCESSFUL &&
                    r.DsmMoveDevice(c, &ids, id, known, 0) == STATUS_UNSUCCESSFUL;
         }},
        {"DsmRemovePending", [&](PVOID id) { return r.DsmRemovePending(c, id) == STATUS_NO_SUCH_DEVICE; }},
        {"DsmRemoveDevice", [&](PVOID id) { return r.DsmRemoveDevice(c, id, id) == STATUS_NO_SUCH_DEVICE; }},
        {"DsmRemovePath", [&](PVOID id) { return r.DsmRemovePath(c, id) == STATUS_SUCCESS; }},
        {"DsmLBGetPath",
         [&](PVOID id) {
             DSM_IDS ids{1, {id}};
             NTSTATUS status = STATUS_SUCCESS;
             return r.DsmLBGetPath(c, nullptr, &ids, nullptr, &status) == nullptr &&
                    status == STATUS_DEVICE_NOT_CONNECTED;
         }},
        {"DsmCategorizeRequest",
         [&](PVOID id) {
             DSM_IDS ids{1, {id}};
             PVOID pathId = nullptr;
             NTSTATUS status = STATUS_SUCCESS;
             return r.DsmCategorizeRequest(c, &ids, nullptr, nullptr, nullptr, &pathId, &status) ==
                    DSM_CATEGORY_NO_PATH;
         }},
    };
    size_t pool = host::PoolOutstanding();
    for (const Case &entry : cases) {
        for (size_t i = 0; i < RTL_NUMBER_OF(unknowns); i++) {
            EXPECT_TRUE(entry.Refuses(unknowns[i])) << entry.EntryPoint << ", unknown identifier " << i;
        }
    }
    EXPECT_EQ(host::PoolOutstanding(), pool) << host::PoolReport();
    EXPECT_EQ(host::HeldSpinLocks(), 0);

    // The known identifier still answers.
    PCHAR serial = r.DsmGetSerialNumber(c, known);
    ASSERT_NE(serial, nullptr);
    EXPECT_STREQ(serial, "600A0B80002ABCDE");
    ExFreePool(serial);
    EXPECT_TRUE(r.DsmCompareDevices(c, known, known));
    EXPECT_EQ(static_cast<PPDO_ENTRY>(known)->LdEntry->NumberPaths, 1u);
    EXPECT_EQ(static_cast<PPDO_ENTRY>(known)->HealthState, (ULONG)PDO_HEALTH_INIT_START);
}

} // namespace
} // namespace tarntest
