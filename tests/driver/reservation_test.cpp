// The persistent reservation commands: the exact bytes that go down, the
// walks over a drive's healthy paths, the unit attention retries, the
// parsing of what comes back, and the commands against the simulated
// array with another node holding the drive.
#include "driverfixture.h"
#include "scripteddevice.h"

#include <algorithm>

namespace tarntest {
namespace {

UCHAR kNodeKey[8] = {1, 2, 3, 4, 5, 6, 7, 8};   // the configured key
const uint8_t kOtherKey[8] = {0xB0, 0, 0, 0, 0, 0, 0, 2};

class ReservationTest : public OneDriveTest {
protected:
    uint64_t ReservationCommandsSent() const
    {
        return array_->Statistics().WithOpcode(SCSIOP_PERSISTENT_RESERVE_OUT) +
               array_->Statistics().WithOpcode(SCSIOP_PERSISTENT_RESERVE_IN);
    }

    void SetHealth(ULONG state)
    {
        DsmLockHeld held(Context());
        for (PPDO_ENTRY path : paths_) {
            path->HealthState = state;
        }
    }

    void SetTarget(PDEVICE_OBJECT target)
    {
        DsmLockHeld held(Context());
        paths_[0]->TargetObject = target;
    }
};

// Unregistered, this node's RESERVE of another node's drive conflicts on
// the first path and no other path is tried.
TEST_F(ReservationTest, AConflictingReserveIsTriedOnOnePathOnly)
{
    ASSERT_EQ(OtherNodeReserveOut(6, 0, nullptr, kOtherKey).Status, array::kStatusGood);    // register
    ASSERT_EQ(OtherNodeReserveOut(1, 6, kOtherKey, nullptr).Status, array::kStatusGood);    // reserve, type 6
    uint64_t before = array_->Statistics().WithOpcode(SCSIOP_PERSISTENT_RESERVE_OUT);
    BOOLEAN conflict = FALSE;
    EXPECT_EQ(PrReserve(Context(), drive_, drive_->RecordSerial, &conflict), STATUS_IO_DEVICE_ERROR);
    EXPECT_TRUE(conflict);
    EXPECT_EQ(array_->Statistics().WithOpcode(SCSIOP_PERSISTENT_RESERVE_OUT), before + 1);
}

TEST_F(ReservationTest, CommandsGoDownExactly)
{
    ScriptedDevice device;
    device.Script({Answer{STATUS_SUCCESS, SCSISTAT_GOOD, {}, std::vector<uint8_t>(256, 0)}});     // empty lists
    BOOLEAN conflict = FALSE;
    PUCHAR key = kNodeKey;
    ASSERT_EQ(PrReserveOnPath(device.Device(), key, "[001]", "[001 2:0:0:0]", &conflict), STATUS_SUCCESS);
    ASSERT_EQ(PrRegisterOnPath(device.Device(), key, TRUE, "[001]", "[001 2:0:0:0]"), STATUS_SUCCESS);
    ASSERT_EQ(PrRegisterOnPath(device.Device(), key, FALSE, "[001]", "[001 2:0:0:0]"), STATUS_SUCCESS);
    ASSERT_EQ(PrReadKeysOnPath(device.Device(), "[001]", "[001 2:0:0:0]"), STATUS_SUCCESS);
    ASSERT_EQ(PrReleaseOnPath(device.Device(), key, "[001]", "[001 2:0:0:0]", &conflict), STATUS_SUCCESS);
    ASSERT_EQ(PrClearOnPath(device.Device(), key, "[001]", "[001 2:0:0:0]"), STATUS_SUCCESS);
    BOOLEAN reserved = TRUE, byThisNode = TRUE;
    ASSERT_EQ(PrReadReservationOnPath(device.Device(), key, "[001]", "[001 2:0:0:0]", &reserved, &byThisNode),
              STATUS_SUCCESS);
    EXPECT_FALSE(reserved);
    ASSERT_EQ(device.Requests().size(), 7u);

    struct Expect {
        std::vector<uint8_t> Cdb;
        UCHAR DataIn;
        ULONG Length;
        std::vector<uint8_t> Parameters;
    } expected[] = {
        {{SCSIOP_PERSISTENT_RESERVE_OUT, 0x01, 0x06, 0, 0, 0, 0, 0, 0x18, 0}, SCSI_IOCTL_DATA_OUT, 24,
         {1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {{SCSIOP_PERSISTENT_RESERVE_OUT, 0x06, 0x00, 0, 0, 0, 0, 0, 0x18, 0}, SCSI_IOCTL_DATA_OUT, 24,
         {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 0}},
        {{SCSIOP_PERSISTENT_RESERVE_OUT, 0x06, 0x00, 0, 0, 0, 0, 0, 0x18, 0}, SCSI_IOCTL_DATA_OUT, 24,
         std::vector<uint8_t>(24, 0)},
        {{SCSIOP_PERSISTENT_RESERVE_IN, 0x00, 0, 0, 0, 0, 0, 0x01, 0x00, 0}, SCSI_IOCTL_DATA_IN, 256, {}},
        {{SCSIOP_PERSISTENT_RESERVE_OUT, 0x02, 0x06, 0, 0, 0, 0, 0, 0x18, 0}, SCSI_IOCTL_DATA_OUT, 24,
         {1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {{SCSIOP_PERSISTENT_RESERVE_OUT, 0x03, 0x00, 0, 0, 0, 0, 0, 0x18, 0}, SCSI_IOCTL_DATA_OUT, 24,
         {1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {{SCSIOP_PERSISTENT_RESERVE_IN, 0x01, 0, 0, 0, 0, 0, 0x00, 0x20, 0}, SCSI_IOCTL_DATA_IN, 32, {}},
    };
    for (size_t i = 0; i < std::size(expected); i++) {
        SCOPED_TRACE(i);
        const std::vector<uint8_t> &bytes = device.Requests()[i];
        auto *header = reinterpret_cast<const SCSI_PASS_THROUGH *>(bytes.data());
        EXPECT_EQ(header->Length, sizeof(SCSI_PASS_THROUGH));
        EXPECT_EQ(header->CdbLength, 10);
        EXPECT_EQ(header->SenseInfoLength, 18);
        EXPECT_EQ(header->DataIn, expected[i].DataIn);
        EXPECT_EQ(header->DataTransferLength, expected[i].Length);
        EXPECT_EQ(header->TimeOutValue, 3u);
        EXPECT_EQ(std::vector<uint8_t>(header->Cdb, header->Cdb + 10), expected[i].Cdb);
        EXPECT_EQ(std::vector<uint8_t>(header->Cdb + 10, header->Cdb + 16), std::vector<uint8_t>(6, 0));
        EXPECT_EQ(bytes.size(), (size_t)TARN_PASS_THROUGH_SIZE(expected[i].Length));
        if (!expected[i].Parameters.empty()) {
            EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + FIELD_OFFSET(PASS_THROUGH_REQUEST, Data), bytes.end()),
                      expected[i].Parameters);
        }
    }
    // No reference is taken on the device by these commands.
    EXPECT_EQ(host::ObjectReferences(device.Device()), 0);
}

TEST_F(ReservationTest, OnlyResetAndParameterUnitAttentionsAreRetried)
{
    auto attention = [](UCHAR asc, UCHAR ascq) {
        return Answer{STATUS_SUCCESS, SCSISTAT_CHECK_CONDITION, Sense(SCSI_SENSE_UNIT_ATTENTION, asc, ascq), {}};
    };
    Answer gone = attention(SCSI_ADSENSE_BUS_RESET, 0);
    gone.Status = STATUS_NO_SUCH_DEVICE;
    struct Row {
        const char *Name;
        std::vector<Answer> Script;
        NTSTATUS Status;
        size_t Sent;
    } rows[] = {
        {"reset, every time", {attention(SCSI_ADSENSE_BUS_RESET, 0)}, STATUS_IO_DEVICE_ERROR, 3},
        {"parameters changed, once", {attention(SCSI_ADSENSE_PARAMETERS_CHANGED, 3), Answer{}}, STATUS_SUCCESS, 2},
        {"other attention", {attention(SCSI_ADSENSE_OPERATING_CONDITIONS_CHANGED, 0)}, STATUS_IO_DEVICE_ERROR, 1},
        {"device gone", {gone}, STATUS_DEVICE_NOT_CONNECTED, 1},
    };
    UCHAR key[8] = {};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.Name);
        ScriptedDevice device;
        device.Script(row.Script);
        EXPECT_EQ(PrClearOnPath(device.Device(), key, "[001]", "[p]"), row.Status);
        EXPECT_EQ(device.Requests().size(), row.Sent);
    }
}

// Only the bytes the device transferred are its answer: whatever lies
// beyond them in the data area must not be read as a holder or as keys.
// A holder is this node only by the whole key; an additional length
// other than 0 or 16 is no reservation.
TEST_F(ReservationTest, ReservationRepliesAreReadOnlyWithinTheirData)
{
    struct Row {
        ULONG Transferred;
        UCHAR AdditionalLength, LastKeyByte;
        NTSTATUS Status;
        bool Reserved, Mine;
    } reservationRows[] = {
        {32, 16, 8, STATUS_SUCCESS, true, true},
        {24, 16, 8, STATUS_SUCCESS, true, true},             // the descriptor, nothing after it
        {32, 16, 0xF7, STATUS_SUCCESS, true, false},
        {32, 8, 8, STATUS_SUCCESS, false, false},
        {23, 16, 8, STATUS_IO_DEVICE_ERROR, false, false},    // announces a holder it does not carry
        {8, 16, 8, STATUS_IO_DEVICE_ERROR, false, false},
        {4, 16, 8, STATUS_IO_DEVICE_ERROR, false, false},     // not even its own length
        {0, 16, 8, STATUS_IO_DEVICE_ERROR, false, false},
    };
    for (const Row &row : reservationRows) {
        SCOPED_TRACE(testing::Message() << row.Transferred << " " << (int)row.AdditionalLength);
        std::vector<uint8_t> held(32, 0);     // a reservation of type 6
        held[7] = row.AdditionalLength;
        memcpy(&held[8], kNodeKey, 8);
        held[15] = row.LastKeyByte;
        held[21] = 6;
        ScriptedDevice path;
        path.Script({Answer{STATUS_SUCCESS, SCSISTAT_GOOD, {}, held, row.Transferred}});
        BOOLEAN reserved = !row.Reserved;
        BOOLEAN mine = !row.Mine;
        EXPECT_EQ(PrReadReservationOnPath(path.Device(), kNodeKey, "[001]", "[p]", &reserved, &mine), row.Status);
        EXPECT_EQ(reserved, (BOOLEAN)row.Reserved);
        EXPECT_EQ(mine, (BOOLEAN)row.Mine);
    }
}

TEST_F(ReservationTest, KeysAreReadOnlyWithinTheirData)
{

    // READ KEYS announcing 40 keys: only those inside the transfer are traced.
    std::vector<uint8_t> keys(256, 0x11);
    keys[4] = 0, keys[5] = 0, keys[6] = 0x01, keys[7] = 0x40;
    struct KeysRow {
        ULONG Transferred;
        NTSTATUS Status;
        long Traced;
    } keysRows[] = {
        {256, STATUS_SUCCESS, 31},
        {31, STATUS_SUCCESS, 2},                // a part key is no key
        {8, STATUS_SUCCESS, 0},
        {6, STATUS_IO_DEVICE_ERROR, 0},
    };
    ASSERT_TRUE(host::TraceEnable(TRDSM_TRACE_LEVEL, 4));
    for (const KeysRow &row : keysRows) {
        SCOPED_TRACE(row.Transferred);
        ScriptedDevice path;
        path.Script({Answer{STATUS_SUCCESS, SCSISTAT_GOOD, {}, keys, row.Transferred}});
        size_t before = host::RenderTraces().size();
        EXPECT_EQ(PrReadKeysOnPath(path.Device(), "[001]", "[p]"), row.Status);
        auto lines = host::RenderTraces();
        EXPECT_EQ(std::count_if(lines.begin() + before, lines.end(),
                                [](const std::string &line) {
                                    return line.find("PrReadKeysOnPath: key ") != std::string::npos;
                                }),
                  row.Traced);
    }
}

TEST_F(ReservationTest, WalksOverTheHealthyPaths)
{
    // No healthy path: nothing is sent.
    SetHealth(PDO_HEALTH_FAILED);
    uint64_t sent = ReservationCommandsSent();
    BOOLEAN conflict = FALSE;
    EXPECT_EQ(PrReserve(Context(), drive_, drive_->RecordSerial, &conflict), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(PrReadKeys(Context(), drive_, drive_->RecordSerial), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(PrRegisterAllPaths(Context(), drive_, drive_->RecordSerial, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(ReservationCommandsSent(), sent);

    // The current path fails for good, the next answers: success.
    SetHealth(PDO_HEALTH_HEALTHY);
    array_->SetFault(array::Scope::OnTargetPort(host_->Devices()[0].Path.TargetPort), array::Fault::Busy);
    EXPECT_EQ(PrReadKeys(Context(), drive_, drive_->RecordSerial), STATUS_SUCCESS);

    // One path busy, the others gone: a first-success walk reports the
    // error; registering everywhere reports the missing device.
    array_->SetFault(array::Scope::OnController(1), array::Fault::LinkDown);
    array_->SetFault(array::Scope::OnTargetPort(1), array::Fault::LinkDown);
    EXPECT_EQ(PrReadKeys(Context(), drive_, drive_->RecordSerial), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(PrRegisterAllPaths(Context(), drive_, drive_->RecordSerial, TRUE), STATUS_DEVICE_NOT_CONNECTED);

    // A drive that is gone: nothing is sent.
    {
        DsmLockHeld held(Context());
        RemoveLdEntry(Context(), drive_);
    }
    EXPECT_EQ(PrClear(Context(), drive_, drive_->RecordSerial), STATUS_DEVICE_NOT_CONNECTED);
    {
        DsmLockHeld held(Context());
        AddLdEntry(Context(), drive_);
    }
    // Only the WMI block's copy of the registry path stays.
    EXPECT_EQ(host::PoolOutstanding(host::Tag("Ddk ")), 1u);
}

TEST_F(ReservationTest, ProbeReadUsesTheFirstPathAndNeedsOne)
{
    array_->ClearFaults();
    {
        DsmLockHeld held(Context());
        paths_[0]->HealthState = PDO_HEALTH_FAILED;     // whatever its health
    }
    EXPECT_EQ(PrProbeRead(Context(), drive_, drive_->RecordSerial), STATUS_SUCCESS);

    // READ(16) of block 12, one block in.
    ScriptedDevice device;
    PDEVICE_OBJECT bound = paths_[0]->TargetObject;
    SetTarget(device.Device());
    EXPECT_EQ(PrProbeRead(Context(), drive_, drive_->RecordSerial), STATUS_SUCCESS);
    SetTarget(bound);
    ASSERT_EQ(device.Requests().size(), 1u);
    auto *header = reinterpret_cast<const SCSI_PASS_THROUGH *>(device.Requests()[0].data());
    EXPECT_EQ(header->CdbLength, 16);
    EXPECT_EQ(header->DataIn, SCSI_IOCTL_DATA_IN);
    EXPECT_EQ(header->DataTransferLength, 512u);
    EXPECT_EQ(std::vector<uint8_t>(header->Cdb, header->Cdb + 16),
              std::vector<uint8_t>({SCSIOP_READ16, 0, 0, 0, 0, 0, 0, 0, 0, 0x0C, 0, 0, 0, 0x01, 0, 0}));

    PCHAR serial = static_cast<PCHAR>(DsmAllocatePool(NonPagedPool, 9));
    memcpy(serial, "600A0B80", 9);
    PLD_ENTRY empty = nullptr;
    ASSERT_EQ(CreateLdEntry(&empty, Context(), serial, 8, TARN_LB_POLICY_FAILOVER), STATUS_SUCCESS);
    uint64_t reads = array_->Statistics().WithOpcode(SCSIOP_READ16);
    EXPECT_EQ(PrProbeRead(Context(), empty, empty->RecordSerial), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(array_->Statistics().WithOpcode(SCSIOP_READ16), reads);
    FreeLdEntry(empty);
}

} // namespace
} // namespace tarntest
