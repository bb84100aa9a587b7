// Management through WMI, as MPIO calls the callbacks of the record's WMI
// block: the drive block decoded byte for byte for drives of one, two and
// five paths, buffers too small for it, and each method's accepted and
// refused inputs.  Output buffers come from pool, so a write past one
// trips its guard bytes.
#include "driverfixture.h"

namespace tarntest {
namespace {

constexpr ULONG kConfigBlock = 0;
constexpr ULONG kDriveBlock = 1;
constexpr ULONG kMethodsBlock = 2;

// One path record of a decoded drive block.
struct PathRecord {
    size_t Offset = 0;
    ULONG Preferred = 0, Active = 0;
    UCHAR Controller = 0, Port = 0;
    USHORT Reserved1 = 0;
    ULONG Reserved = 0;
    ULONGLONG Identifier = 0;
    std::string Health;
};

struct DriveBlock {
    ULONG NumberPaths = 0, Reservations = 0, Policy = 0, Spare = 0;
    std::string Company;
    std::vector<PathRecord> Paths;
};

template <typename T>
T At(const std::vector<uint8_t> &bytes, size_t offset)
{
    T value;
    EXPECT_LE(offset + sizeof(T), bytes.size());
    memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

// A WMI string: its count, then UTF-16 text padded with zeros.  Returns
// the offset after it.
size_t ReadString(const std::vector<uint8_t> &bytes, size_t offset, std::string *text)
{
    USHORT count = At<USHORT>(bytes, offset);
    text->clear();
    for (size_t i = 0; i + 1 < count; i += 2) {
        char16_t c = At<char16_t>(bytes, offset + 2 + i);
        if (c != 0) {
            *text += (char)c;
        }
    }
    return offset + 2 + count;
}

DriveBlock Decode(const std::vector<uint8_t> &bytes)
{
    DriveBlock block;
    block.NumberPaths = At<ULONG>(bytes, 0);
    block.Reservations = At<ULONG>(bytes, 4);
    block.Policy = At<ULONG>(bytes, 8);
    block.Spare = At<ULONG>(bytes, 12);
    size_t offset = ReadString(bytes, 16, &block.Company);
    for (ULONG i = 0; i < block.NumberPaths; i++) {
        PathRecord path;
        path.Offset = offset;
        path.Preferred = At<ULONG>(bytes, offset);
        path.Active = At<ULONG>(bytes, offset + 4);
        path.Controller = At<UCHAR>(bytes, offset + 8);
        path.Port = At<UCHAR>(bytes, offset + 9);
        path.Reserved1 = At<USHORT>(bytes, offset + 10);
        path.Reserved = At<ULONG>(bytes, offset + 12);
        path.Identifier = At<ULONGLONG>(bytes, offset + 16);
        offset = ReadString(bytes, offset + 24, &path.Health);
        block.Paths.push_back(path);
    }
    return block;
}

class WmiTest : public DriverTest {
protected:
    // A drive on `paths` paths, named by a 16-character serial number.
    void StartWithPaths(size_t paths)
    {
        host_.reset();
        host::Reboot();
        FullConfiguration();
        array::ArrayConfig config;
        config.Units.push_back(array::LogicalUnitConfig{0, 2048, 512});
        config.Identifiers = array::IdentifierStyle::Short;
        array_ = std::make_unique<array::SimulatedArray>(config, [] { return int64_t(0); });
        const mpio::PathSpec all[] = {{2, 0, 0, 0}, {2, 0, 1, 2}, {3, 0, 0, 1}, {3, 0, 1, 3}, {4, 0, 0, 0}};
        topology_ = mpio::Topology();
        topology_.Paths.assign(all, all + paths);
        topology_.Luns = {0};
        ASSERT_EQ(StartAndDiscover(), STATUS_SUCCESS);
        drive_ = FirstDrive();
        ASSERT_NE(drive_, nullptr);
        paths_ = LivePathsOf(drive_);
        ASSERT_EQ(paths_.size(), paths);
    }

    // Queries a block with the drive's first `ids` paths as the device's
    // identifiers, into a pool buffer of `size` bytes.
    NTSTATUS Query(ULONG index, size_t ids, ULONG size, std::vector<uint8_t> *bytes, ULONG *needed,
                   ULONG *instanceLength = nullptr, ULONG instanceCount = 1)
    {
        std::vector<uint8_t> list(FIELD_OFFSET(DSM_IDS, IdList) + std::max<size_t>(ids, 1) * sizeof(PVOID));
        auto *dsmIds = reinterpret_cast<PDSM_IDS>(list.data());
        dsmIds->Count = (ULONG)ids;
        for (size_t i = 0; i < ids; i++) {
            dsmIds->IdList[i] = paths_[i % paths_.size()];
        }
        auto *buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, std::max<ULONG>(size, 1), 'tseT'));
        ULONG length = 0xFFFFFFFF;
        const DSM_WMILIB_CONTEXT &wmi = host_->Record().DsmWmiInfo;
        NTSTATUS status = host::CallDriver("QueryWmiDataBlock", wmi.QueryWmiDataBlock, Context(), dsmIds, nullptr,
                                           index, 0, instanceCount, &length, size, buffer, needed);
        bytes->assign(buffer, buffer + size);
        ExFreePoolWithTag(buffer, 'tseT');
        if (instanceLength != nullptr) {
            *instanceLength = length;
        }
        return status;
    }

    NTSTATUS Method(ULONG index, ULONG method, std::vector<uint8_t> input, ULONG *output = nullptr)
    {
        ULONG room = 0;
        ULONG &outSize = output != nullptr ? *output : room;
        const DSM_WMILIB_CONTEXT &wmi = host_->Record().DsmWmiInfo;
        return host::CallDriver("ExecuteWmiMethod", wmi.ExecuteWmiMethod, Context(), nullptr, nullptr, index, 0,
                                method, (ULONG)input.size(), &outSize, input.empty() ? nullptr : input.data());
    }

    // SetPathSelectionPolicyForSingleLd's input: the policy, the serial
    // number's byte count and its characters, in at least `size` bytes.
    static std::vector<uint8_t> DrivePolicyInput(ULONG policy, const std::string &serial, size_t size = 38)
    {
        std::vector<uint8_t> input(std::max<size_t>(size, 6 + 2 * serial.size()));
        memcpy(input.data(), &policy, 4);
        USHORT bytes = (USHORT)(2 * serial.size());
        memcpy(input.data() + 4, &bytes, 2);
        for (size_t i = 0; i < serial.size(); i++) {
            input[6 + 2 * i] = (uint8_t)serial[i];
        }
        return input;
    }

    PLD_ENTRY drive_ = nullptr;
    std::vector<PPDO_ENTRY> paths_;
};

// Every field and offset of the drive block, for drives of one, two and
// five paths in mixed states.
TEST_F(WmiTest, TheDriveBlockShowsEveryPathByteForByte)
{
    for (size_t count : {1u, 2u, 5u}) {
        SCOPED_TRACE(testing::Message() << count << " paths");
        StartWithPaths(count);
        const ULONG states[] = {PDO_HEALTH_HEALTHY, PDO_HEALTH_INIT_SETDEVICEINFO, PDO_HEALTH_FAILING,
                                PDO_HEALTH_PENDING_REMOVE, PDO_HEALTH_HEALTHY};
        Locked([&] {
            for (size_t i = 0; i < count; i++) {
                paths_[i]->HealthState = states[i];
                paths_[i]->ControllerNumber = i == 1 ? TARN_CONTROLLER_UNKNOWN : (UCHAR)(i % 2);
            }
            drive_->currentPath = paths_[count - 1];
            drive_->ReservationsInUse = TRUE;
        });

        std::vector<uint8_t> bytes;
        ULONG needed = 0;
        ULONG instance = 0;
        ASSERT_EQ(Query(kDriveBlock, count, 1024, &bytes, &needed, &instance), STATUS_SUCCESS);
        ULONG expected = 296 + 152 * (ULONG)(count - 1);
        EXPECT_EQ(needed, expected);
        EXPECT_EQ(instance, expected);

        DriveBlock block = Decode(bytes);
        EXPECT_EQ(block.NumberPaths, count);
        EXPECT_EQ(block.Reservations, 1u);
        EXPECT_EQ(block.Policy, (ULONG)TARN_LB_POLICY_FAILBACK);
        EXPECT_EQ(block.Spare, 0u);
        EXPECT_EQ(block.Company, "Kestrom");
        EXPECT_EQ(At<USHORT>(bytes, 16), 22);
        const char *health[] = {"Healthy", "Initializing", "Failed", "Failed", "Healthy"};
        const size_t sizes[] = {48, 56, 40, 40, 48};
        size_t offset = 40;
        for (size_t i = 0; i < count; i++) {
            SCOPED_TRACE(testing::Message() << "path " << i);
            const PathRecord &path = block.Paths[i];
            EXPECT_EQ(path.Offset, offset);
            EXPECT_EQ(path.Offset % 8, 0u);
            offset += sizes[i];
            EXPECT_EQ(path.Preferred, i == 0 ? 1u : 0u);   // the first path's address is the default
            EXPECT_EQ(path.Active, i == count - 1 ? 1u : 0u);
            EXPECT_EQ(path.Controller, paths_[i]->ControllerNumber);
            EXPECT_EQ(path.Port, paths_[i]->ControllerPort);
            EXPECT_EQ(path.Reserved1, 0xFEED);
            EXPECT_EQ(path.Reserved, 0x9A8B7C6Du);
            EXPECT_EQ(path.Identifier, (ULONGLONG)(LONGLONG)(intptr_t)paths_[i]);
            EXPECT_EQ(path.Health, health[i]);
        }
        // Nothing but zeros after the last record, up to the instance's end.
        for (size_t i = offset; i < instance; i++) {
            ASSERT_EQ(bytes[i], 0) << "at " << i;
        }
    }
}

// Too small a buffer gets the size needed and nothing written, also when
// the drive has more paths than the request has identifiers.
TEST_F(WmiTest, ATooSmallBufferIsToldTheTrueSize)
{
    StartWithPaths(5);
    Locked([&] {
        for (PPDO_ENTRY path : paths_) {
            path->HealthState = PDO_HEALTH_INIT_PATHVERIFY_SUCCESS;   // the longest text
        }
    });
    const ULONG fiveLong = 40 + 5 * 56;
    struct Row {
        size_t Ids;
        ULONG Size, Needed;
        NTSTATUS Status;
    };
    for (Row row : {Row{2, 447, 448, STATUS_BUFFER_TOO_SMALL}, Row{1, 296, fiveLong, STATUS_BUFFER_TOO_SMALL},
                    Row{2, 448, 448, STATUS_SUCCESS}, Row{1, fiveLong, fiveLong, STATUS_SUCCESS},
                    Row{3, 600, 600, STATUS_SUCCESS}}) {
        SCOPED_TRACE(testing::Message() << row.Ids << " identifiers, " << row.Size << " bytes");
        std::vector<uint8_t> bytes;
        ULONG needed = 0;
        EXPECT_EQ(Query(kDriveBlock, row.Ids, row.Size, &bytes, &needed), row.Status);
        EXPECT_EQ(needed, row.Needed);
    }
    EXPECT_EQ(host::PoolVerify(), 0u);

    // The configuration block, the methods block and the blocks without a class.
    std::vector<uint8_t> bytes;
    ULONG needed = 0;
    EXPECT_EQ(Query(kConfigBlock, 1, 3, &bytes, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 4u);
    EXPECT_EQ(Query(kConfigBlock, 1, 4, &bytes, &needed), STATUS_SUCCESS);
    EXPECT_EQ(At<ULONG>(bytes, 0), (ULONG)TARN_LB_POLICY_FAILBACK);
    EXPECT_EQ(Query(kMethodsBlock, 1, 0, &bytes, &needed), STATUS_SUCCESS);
    EXPECT_EQ(needed, 0u);
    for (ULONG index : {3u, 5u, 6u}) {
        EXPECT_EQ(Query(index, 1, 16, &bytes, &needed), STATUS_WMI_GUID_NOT_FOUND);
        EXPECT_EQ(needed, 0u);
    }

    // A device whose path is gone.
    PPDO_ENTRY gone = paths_[0];
    ASSERT_EQ(DsmRemoveDevice(Context(), gone, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Query(kDriveBlock, 1, 1024, &bytes, &needed), STATUS_UNSUCCESSFUL);
}

TEST_F(WmiTest, SetPreferredPathMovesThePreferenceAndStoresIt)
{
    StartWithPaths(2);
    host::ClearEventLog();
    const SCSI_ADDRESS &second = *paths_[1]->ScsiAddress;
    std::vector<uint8_t> address = {second.PortNumber, second.PathId, second.TargetId, second.Lun};
    PPDO_ENTRY current = drive_->currentPath;

    EXPECT_EQ(Method(kMethodsBlock, 2, address), STATUS_SUCCESS);
    PPDO_ENTRY preferred = nullptr;
    Locked([&] { preferred = FindPreferredPdoEntry(drive_); });
    EXPECT_EQ(preferred, paths_[1]);
    EXPECT_EQ(drive_->currentPath, current);   // failback moves it, not the method
    ASSERT_EQ(EventIds(), std::vector<NTSTATUS>{TARN_MSG_PREFERRED_PATH_SET});
    EXPECT_NE(host::RenderEvent(host::EventLog()[0]).find(std::string(drive_->SerialNumber)), std::string::npos);

    // No path at the address, and inputs too short: nothing changes.
    host::ClearEventLog();
    EXPECT_EQ(Method(kMethodsBlock, 2, {9, 9, 9, 9}), STATUS_SUCCESS);
    EXPECT_EQ(Method(kMethodsBlock, 2, {second.PortNumber, second.PathId, second.TargetId}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Method(kMethodsBlock, 1, {1, 2, 3}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Method(kMethodsBlock, 1, {0x01, 0x02, 0, 0}), STATUS_SUCCESS);
    EXPECT_EQ(Context()->PathSelectionPolicy, (ULONG)TARN_LB_POLICY_FAILBACK);
    EXPECT_TRUE(host::EventLog().empty());

    // Only the methods block has methods, and only three.
    EXPECT_EQ(Method(kDriveBlock, 2, address), STATUS_WMI_ITEMID_NOT_FOUND);
    EXPECT_EQ(Method(kConfigBlock, 1, address), STATUS_WMI_ITEMID_NOT_FOUND);
    EXPECT_EQ(Method(kMethodsBlock, 4, address), STATUS_INVALID_PARAMETER);

    // The preference was stored: the drive claimed again prefers that path.
    SCSI_ADDRESS wanted = second;
    ASSERT_EQ(Restart(), STATUS_SUCCESS);
    Locked([&] { preferred = FindPreferredPdoEntry(FirstDrive()); });
    ASSERT_NE(preferred, nullptr);
    EXPECT_EQ(memcmp(preferred->ScsiAddress, &wanted, sizeof(wanted)), 0);
}

// The policy of one drive, named by a serial number of at most 16
// characters; a code that is no policy is refused and not stored, so
// the stored setting survives for the next claim.
TEST_F(WmiTest, SetDrivePolicyChecksItsInputAndStoresOnlyAPolicy)
{
    StartWithPaths(1);
    std::string serial = drive_->SerialNumber;
    ASSERT_EQ(serial.size(), 16u);
    const std::string key = std::string(kServiceKey) + "\\PathSelectionPolicy";
    auto stored = [&] {
        ULONG value = 0;
        return host::RegistryGetDword(key, serial, &value) ? value : 0;
    };

    EXPECT_EQ(Method(kMethodsBlock, 3, DrivePolicyInput(TARN_LB_POLICY_ROUND_ROBIN, serial)), STATUS_SUCCESS);
    EXPECT_EQ(drive_->LogicalDriveLbPolicy, (ULONG)TARN_LB_POLICY_ROUND_ROBIN);
    EXPECT_EQ(stored(), (ULONG)TARN_LB_POLICY_ROUND_ROBIN) << host::RegistryExport();

    EXPECT_EQ(Method(kMethodsBlock, 3, DrivePolicyInput(0x103, serial)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(drive_->LogicalDriveLbPolicy, (ULONG)TARN_LB_POLICY_ROUND_ROBIN);
    EXPECT_EQ(stored(), (ULONG)TARN_LB_POLICY_ROUND_ROBIN);

    struct Row {
        const char *Name;
        std::vector<uint8_t> Input;
        NTSTATUS Status;
    };
    std::vector<uint8_t> overstated = DrivePolicyInput(TARN_LB_POLICY_FAILOVER, serial);
    overstated[4] = 34;     // 17 characters announced in room for 16
    std::vector<uint8_t> beyond = DrivePolicyInput(TARN_LB_POLICY_FAILOVER, serial.substr(0, 15), 38);
    beyond.resize(36);      // 15 characters, but an input too short to be one
    const Row rows[] = {
        {"15 characters in 36 bytes", beyond, STATUS_INVALID_PARAMETER},
        {"17 characters", DrivePolicyInput(TARN_LB_POLICY_FAILOVER, serial + "0"), STATUS_INVALID_PARAMETER},
        {"a count beyond the input", overstated, STATUS_INVALID_PARAMETER},
        {"15 characters padded to 38 bytes, no such drive",
         DrivePolicyInput(TARN_LB_POLICY_FAILOVER, serial.substr(0, 15)), STATUS_SUCCESS},
        {"an unknown drive", DrivePolicyInput(TARN_LB_POLICY_FAILOVER, "0000000000000000"), STATUS_SUCCESS},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.Name);
        EXPECT_EQ(Method(kMethodsBlock, 3, row.Input), row.Status);
        EXPECT_EQ(drive_->LogicalDriveLbPolicy, (ULONG)TARN_LB_POLICY_ROUND_ROBIN);
    }

    // A serial number holds nothing but upper-case hexadecimal, and as
    // many characters as it says: one that narrows or stops early to the
    // drive's own is no name for it.
    auto withCharacter = [&](size_t at, uint8_t low, uint8_t high) {
        std::vector<uint8_t> input = DrivePolicyInput(TARN_LB_POLICY_FAILOVER, serial);
        input[6 + 2 * at] = low;
        input[7 + 2 * at] = high;
        return input;
    };
    std::vector<uint8_t> earlyEnd = withCharacter(15, 0, 0);   // 16 characters stated, 15 real
    const Row refused[] = {
        {"a NUL inside the stated length", earlyEnd, STATUS_INVALID_PARAMETER},
        {"a character beyond ASCII", withCharacter(3, (uint8_t)serial[3], 0x01), STATUS_INVALID_PARAMETER},
        {"a lower-case letter", withCharacter(0, 'a', 0), STATUS_INVALID_PARAMETER},
        {"a space", withCharacter(15, ' ', 0), STATUS_INVALID_PARAMETER},
    };
    for (const Row &row : refused) {
        SCOPED_TRACE(row.Name);
        EXPECT_EQ(Method(kMethodsBlock, 3, row.Input), row.Status);
        EXPECT_EQ(drive_->LogicalDriveLbPolicy, (ULONG)TARN_LB_POLICY_ROUND_ROBIN);
    }

    // The stored setting is the drive's policy when it is claimed again.
    ASSERT_EQ(Restart(), STATUS_SUCCESS);
    EXPECT_EQ(FirstDrive()->LogicalDriveLbPolicy, (ULONG)TARN_LB_POLICY_ROUND_ROBIN);
}

// No method has output: whatever room the caller offers, none is used.
TEST_F(WmiTest, AMethodReportsNoOutput)
{
    StartWithPaths(1);
    std::string serial = drive_->SerialNumber;
    for (ULONG method : {1u, 2u, 3u}) {
        SCOPED_TRACE(testing::Message() << "method " << method);
        ULONG output = 64;
        std::vector<uint8_t> input = method == 3 ? DrivePolicyInput(TARN_LB_POLICY_FAILOVER, serial)
                                                 : std::vector<uint8_t>{9, 9, 9, 9};
        EXPECT_EQ(Method(kMethodsBlock, method, input, &output), STATUS_SUCCESS);
        EXPECT_EQ(output, 0u);
    }
}

// Hostile query shapes: no instance asked for, an identifier count whose
// allowance passes 4 GiB, and a large buffer only partly answered.
TEST_F(WmiTest, AQueryKeepsItsSizesAndWritesWithinItsAnswer)
{
    StartWithPaths(2);
    std::vector<uint8_t> bytes;
    ULONG needed = 0;
    ULONG instance = 0;
    // (The helper's instance length starts as 0xFFFFFFFF.)
    EXPECT_EQ(Query(kDriveBlock, 1, 1024, &bytes, &needed, &instance, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(instance, 0xFFFFFFFFu);
    EXPECT_EQ(Query(kConfigBlock, 1, 4, &bytes, &needed, &instance, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(instance, 0xFFFFFFFFu);

    // 2^28 + 1 identifiers buy 296 + 152 * 2^28 bytes, more than a ULONG
    // holds; the list is short, but a too-small buffer stops the query
    // before any identifier past the first is read.
    std::vector<uint8_t> list(FIELD_OFFSET(DSM_IDS, IdList) + sizeof(PVOID));
    auto *dsmIds = reinterpret_cast<PDSM_IDS>(list.data());
    dsmIds->Count = (1u << 28) + 1;
    dsmIds->IdList[0] = paths_[0];
    std::vector<uint8_t> buffer(1024);
    ULONG length = 0;
    const DSM_WMILIB_CONTEXT &wmi = host_->Record().DsmWmiInfo;
    EXPECT_EQ(host::CallDriver("QueryWmiDataBlock", wmi.QueryWmiDataBlock, Context(), dsmIds, nullptr, kDriveBlock,
                               ULONG(0), ULONG(1), &length, (ULONG)buffer.size(), buffer.data(), &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 0xFFFFFFFFu);

    // Only the instance's bytes are written: the rest of the caller's
    // buffer is left as it was.
    std::vector<uint8_t> marked(4096, 0xEE);
    length = 0;
    ASSERT_EQ(host::CallDriver("QueryWmiDataBlock", wmi.QueryWmiDataBlock, Context(), dsmIds, nullptr, kDriveBlock,
                               ULONG(0), ULONG(1), &length, (ULONG)marked.size(), marked.data(), &needed),
              STATUS_BUFFER_TOO_SMALL);
    dsmIds->Count = 1;
    ASSERT_EQ(host::CallDriver("QueryWmiDataBlock", wmi.QueryWmiDataBlock, Context(), dsmIds, nullptr, kDriveBlock,
                               ULONG(0), ULONG(1), &length, (ULONG)marked.size(), marked.data(), &needed),
              STATUS_SUCCESS);
    ASSERT_EQ(length, 296u);
    for (size_t i = length; i < marked.size(); i++) {
        ASSERT_EQ(marked[i], 0xEE) << "at " << i;
    }
}

} // namespace
} // namespace tarntest
