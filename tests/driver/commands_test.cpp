// The driver's own commands: the judgement of a path's answer, TEST
// UNIT READY with its attempts, the two queries of the array status
// buffer, the exact bytes of what goes down the path, and the same
// commands against the simulated array.
#include "driverfixture.h"
#include "scripteddevice.h"

#include <cstring>

namespace tarntest {
namespace {

// A status buffer reply of the given length with these bytes set.
std::vector<uint8_t> StatusBuffer(size_t length, std::initializer_list<std::pair<size_t, uint8_t>> bytes)
{
    std::vector<uint8_t> data(length, 0);
    for (auto [at, value] : bytes) {
        data[at] = value;
    }
    return data;
}

class CommandsTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        DsmIoObject = host::CreateDriverObject(u"\\Driver\\tarndsm");
    }
};

struct ResponsiveCase {
    NTSTATUS Status;
    UCHAR ScsiStatus;
    UCHAR Key;
    UCHAR Asc;
    bool Responsive;
};

TEST_F(CommandsTest, APathIsResponsiveWhenTheUnitItselfAnswered)
{
    const ResponsiveCase cases[] = {
        {STATUS_SUCCESS, SCSISTAT_GOOD, 0, 0, true},
        {STATUS_SUCCESS, SCSISTAT_RESERVATION_CONFLICT, 0, 0, true},
        // The unit is not on this path; any other refusal is the unit's answer.
        {STATUS_SUCCESS, SCSISTAT_CHECK_CONDITION, SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_LUN, false},
        {STATUS_SUCCESS, SCSISTAT_CHECK_CONDITION, SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_CDB, true},
        {STATUS_SUCCESS, SCSISTAT_CHECK_CONDITION, SCSI_SENSE_UNIT_ATTENTION, SCSI_ADSENSE_BUS_RESET, true},
        {STATUS_SUCCESS, SCSISTAT_CHECK_CONDITION, SCSI_SENSE_NOT_READY, SCSI_ADSENSE_LUN_NOT_READY, true},
        {STATUS_SUCCESS, SCSISTAT_BUSY, 0, 0, false},
        {STATUS_SUCCESS, SCSISTAT_QUEUE_FULL, 0, 0, false},
        {STATUS_IO_DEVICE_ERROR, SCSISTAT_RESERVATION_CONFLICT, 0, 0, true},     // conflict reported with an error
        {STATUS_IO_TIMEOUT, SCSISTAT_GOOD, 0, 0, false},
        {STATUS_DEVICE_NOT_CONNECTED, SCSISTAT_CHECK_CONDITION, SCSI_SENSE_UNIT_ATTENTION, SCSI_ADSENSE_BUS_RESET,
         false},
        {(NTSTATUS)0x40000000, SCSISTAT_GOOD, 0, 0, true},     // any non-negative status is success
    };
    for (const auto &c : cases) {
        EXPECT_EQ(IsPathResponsive(c.Status, c.ScsiStatus, c.Key, c.Asc, 0) != FALSE, c.Responsive)
            << std::hex << c.Status << " " << (int)c.ScsiStatus << " " << (int)c.Key << "/" << (int)c.Asc;
    }
}

TEST_F(CommandsTest, TestUnitReadyGoesDownInTheExactEnvelope)
{
    ScriptedDevice path;
    // NOT READY is still an answer.
    path.Script({Answer{STATUS_SUCCESS, SCSISTAT_CHECK_CONDITION,
                        Sense(SCSI_SENSE_NOT_READY, SCSI_ADSENSE_LUN_NOT_READY, 0x01), {}}});
    ASSERT_EQ(TestUnitReadyOnPath(path.Device(), 2, 120, "[00A]"), STATUS_SUCCESS);
    ASSERT_EQ(path.Requests().size(), 1u);

    const std::vector<uint8_t> &bytes = path.Requests()[0];
    ASSERT_EQ(bytes.size(), (size_t)TARN_PASS_THROUGH_SIZE(0));
    auto *header = reinterpret_cast<const SCSI_PASS_THROUGH *>(bytes.data());
    EXPECT_EQ(header->Length, sizeof(SCSI_PASS_THROUGH));
    EXPECT_EQ(header->ScsiStatus, 0);
    EXPECT_EQ(header->PathId | header->TargetId | header->Lun, 0);
    EXPECT_EQ(header->CdbLength, 6);
    EXPECT_EQ(header->SenseInfoLength, 18);
    EXPECT_EQ(header->DataIn, SCSI_IOCTL_DATA_IN);
    EXPECT_EQ(header->DataTransferLength, 0u);
    EXPECT_EQ(header->TimeOutValue, 120u);
    EXPECT_EQ(header->SenseInfoOffset, sizeof(SCSI_PASS_THROUGH));
    EXPECT_EQ(header->DataBufferOffset, sizeof(SCSI_PASS_THROUGH) + 18);
    const uint8_t zeros[16] = {};
    EXPECT_EQ(memcmp(header->Cdb, zeros, 16), 0);
    // The sense area goes down zeroed.
    EXPECT_EQ(memcmp(&bytes[sizeof(SCSI_PASS_THROUGH)], zeros, 16), 0);
#if defined(__i386__)
    // The 32-bit envelope: 44-byte header, 18-byte sense area, data at 62.
    EXPECT_EQ(sizeof(SCSI_PASS_THROUGH), 44u);
    EXPECT_EQ(FIELD_OFFSET(PASS_THROUGH_REQUEST, Sense), 44);
    EXPECT_EQ(FIELD_OFFSET(PASS_THROUGH_REQUEST, Data), 62);
    EXPECT_EQ(bytes.size(), 62u);
    EXPECT_EQ(bytes[20], 62);   // DataBufferOffset
    EXPECT_EQ(bytes[24], 44);   // SenseInfoOffset
#endif
}

TEST_F(CommandsTest, TestUnitReadyTriesRetriesPlusOneTimesAndHoldsTheDevice)
{
    ScriptedDevice path;
    path.Script({Answer{STATUS_SUCCESS, SCSISTAT_CHECK_CONDITION,
                        Sense(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_LUN, 0), {}}});
    EXPECT_EQ(TestUnitReadyOnPath(path.Device(), 2, 30, "[00A]"), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(path.Requests().size(), 3u);
    EXPECT_EQ(host::ObjectReferences(path.Device()), 0);

    // Busy twice, then good: success at the third attempt.
    ScriptedDevice busy;
    busy.Script({Answer{STATUS_SUCCESS, SCSISTAT_BUSY, {}, {}}, Answer{STATUS_IO_TIMEOUT, 0, {}, {}}, Answer{}});
    EXPECT_EQ(TestUnitReadyOnPath(busy.Device(), 2, 30, "[00A]"), STATUS_SUCCESS);
    EXPECT_EQ(busy.Requests().size(), 3u);

    // A transport error that still shows a reservation conflict: answered.
    ScriptedDevice conflict;
    conflict.Script({Answer{STATUS_IO_DEVICE_ERROR, SCSISTAT_RESERVATION_CONFLICT, {}, {}}});
    EXPECT_EQ(TestUnitReadyOnPath(conflict.Device(), 0, 30, "[00A]"), STATUS_SUCCESS);

    // No memory: nothing sent, the reference given back.
    ScriptedDevice starved;
    host::PoolFailTag(host::Tag("Ddk "));
    EXPECT_EQ(TestUnitReadyOnPath(starved.Device(), 2, 30, "[00A]"), STATUS_INSUFFICIENT_RESOURCES);
    host::PoolClearFailures();
    EXPECT_TRUE(starved.Requests().empty());
    EXPECT_EQ(host::ObjectReferences(starved.Device()), 0);
    EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolReport();
}

// The port and controller a path arrives at, from bytes 4 and 5 of the
// status buffer.  A reply shorter than the bytes read from it is a failed
// query: the zeroes left in the buffer are not the array's answer.
TEST_F(CommandsTest, LocationQueryReadsPortAndControllerOfArrival)
{
    const UCHAR unknown = TARN_CONTROLLER_UNKNOWN;
    struct {
        const char *Case;
        Answer Reply;
        NTSTATUS Status;
        UCHAR Port;
        UCHAR Controller;
    } rows[] = {
        {"second port of the first controller", {STATUS_SUCCESS, 0, {}, StatusBuffer(8, {{4, 2}, {5, 1}})},
         STATUS_SUCCESS, 1, 0},
        {"port byte outside 1 and 2", {STATUS_SUCCESS, 0, {}, StatusBuffer(8, {{4, 0}, {5, 2}})}, STATUS_SUCCESS,
         unknown, 1},
        {"check condition",
         {STATUS_SUCCESS, SCSISTAT_CHECK_CONDITION, Sense(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_CDB, 0),
          StatusBuffer(8, {{4, 1}, {5, 1}})},
         STATUS_IO_DEVICE_ERROR, unknown, unknown},
        {"status not exactly success", {(NTSTATUS)0x00000001, 0, {}, StatusBuffer(8, {{4, 1}, {5, 1}})},
         STATUS_IO_DEVICE_ERROR, unknown, unknown},
        {"5 bytes", {STATUS_SUCCESS, 0, {}, StatusBuffer(5, {{4, 2}})}, STATUS_IO_DEVICE_ERROR, unknown, unknown},
        {"no bytes", {STATUS_SUCCESS, 0, {}, {}}, STATUS_IO_DEVICE_ERROR, unknown, unknown},
        {"6 bytes", {STATUS_SUCCESS, 0, {}, StatusBuffer(6, {{4, 2}, {5, 2}})}, STATUS_SUCCESS, 1, 1},
    };
    ScriptedDevice path;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.Case);
        path.Script({row.Reply});
        UCHAR port = 0;
        UCHAR controller = 0;
        EXPECT_EQ(QueryArrayLocation(path.Device(), "[00A]", &port, &controller), row.Status);
        EXPECT_EQ(port, row.Port);
        EXPECT_EQ(controller, row.Controller);
    }
    EXPECT_EQ(host::ObjectReferences(path.Device()), 0);

    const std::vector<uint8_t> &bytes = path.Requests().at(0);
    auto *header = reinterpret_cast<const SCSI_PASS_THROUGH *>(bytes.data());
    const uint8_t cdb[16] = {SCSIOP_READ_DATA_BUFF, 0x02, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00};
    EXPECT_EQ(memcmp(header->Cdb, cdb, 16), 0);
    EXPECT_EQ(header->CdbLength, 10);
    EXPECT_EQ(header->DataTransferLength, 8u);
    EXPECT_EQ(header->TimeOutValue, 1u);
    EXPECT_EQ(bytes.size(), (size_t)TARN_PASS_THROUGH_SIZE(8));
}

// The first controller whose marker says its clock is set answers; its
// clock ends at byte 111, the second's at 331, and a reply that stops
// short of the clock read is a failed query with an empty text.
TEST_F(CommandsTest, TimeQueryReadsTheFirstControllerWithAUsableClock)
{
    struct {
        size_t Length;
        uint8_t Marker0;
        uint8_t Marker1;
        const char *Text;   // empty: the query fails
    } rows[] = {
        {448, 0x00, 0xF1, "23:59:7"}, {448, 0xF1, 0xF1, "9:5:30"}, {448, 0x00, 0x00, ""},
        {7, 0x00, 0xF1, ""},          {111, 0xF1, 0xF1, ""},       {112, 0xF1, 0xF1, "9:5:30"},
        {331, 0x00, 0xF1, ""},        {332, 0x00, 0xF1, "23:59:7"},
    };
    ScriptedDevice path;
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::Message() << row.Length << " bytes, markers " << (int)row.Marker0 << "/"
                                          << (int)row.Marker1);
        std::vector<uint8_t> data = StatusBuffer(448, {{6, row.Marker0}, {7, row.Marker1}, {109, 9}, {110, 5},
                                                       {111, 30}, {329, 23}, {330, 59}, {331, 7}});
        data.resize(row.Length);
        path.Script({Answer{STATUS_SUCCESS, SCSISTAT_GOOD, {}, data}});
        char text[20];
        memset(text, 'x', sizeof(text));
        EXPECT_EQ(QueryControllerTime(path.Device(), "[00A]", text, sizeof(text)),
                  *row.Text != 0 ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR);
        EXPECT_STREQ(text, row.Text);
    }
    EXPECT_EQ(host::ObjectReferences(path.Device()), 0);

    const uint8_t cdb[16] = {SCSIOP_READ_DATA_BUFF, 0x02, 0x40, 0x00, 0x00, 0x00, 0x00, 0x01, 0xC0, 0x00};
    auto *header = reinterpret_cast<const SCSI_PASS_THROUGH *>(path.Requests().at(0).data());
    EXPECT_EQ(memcmp(header->Cdb, cdb, 16), 0);
    EXPECT_EQ(header->DataTransferLength, 448u);
    EXPECT_EQ(header->TimeOutValue, 3u);
}

// The same commands on real paths of the simulated array.
TEST_F(CommandsTest, AgainstTheArrayEachPathKnowsWhereItLands)
{
    FullConfiguration();
    AttachArray({0});
    ASSERT_EQ(StartAndDiscover(), STATUS_SUCCESS);
    array_->SetControllerClock(0, 14, 2, 9);
    array_->ClearControllerClock(1);

    for (const mpio::Device &device : host_->Devices()) {
        SCOPED_TRACE(device.Path.TargetPort);
        UCHAR port = 0;
        UCHAR controller = 0;
        ASSERT_EQ(QueryArrayLocation(device.TargetObject, "[lab]", &port, &controller), STATUS_SUCCESS);
        EXPECT_EQ(controller, array::SimulatedArray::ControllerOf(device.Path.TargetPort));
        EXPECT_EQ(port, array::SimulatedArray::PortOf(device.Path.TargetPort));
        char text[20];
        ASSERT_EQ(QueryControllerTime(device.TargetObject, "[lab]", text, sizeof(text)), STATUS_SUCCESS);
        EXPECT_STREQ(text, "14:2:9");
        EXPECT_EQ(TestUnitReadyOnPath(device.TargetObject, 2, 120, "[lab]"), STATUS_SUCCESS);
    }

    // Faults: a path whose link is down, a busy port and a LUN hidden on a
    // path are not responsive; a pending unit attention is an answer.
    const mpio::Device &first = host_->Devices()[0];
    array_->SetFault(array::Scope::OnTargetPort(first.Path.TargetPort), array::Fault::LinkDown);
    EXPECT_EQ(TestUnitReadyOnPath(first.TargetObject, 1, 120, "[lab]"), STATUS_IO_DEVICE_ERROR);
    array_->ClearFaults();
    array_->SetFault(array::Scope::OnController(0), array::Fault::Busy);
    EXPECT_EQ(TestUnitReadyOnPath(first.TargetObject, 1, 120, "[lab]"), STATUS_IO_DEVICE_ERROR);
    array_->ClearFaults();
    array_->SetFault(array::Scope::OnPath(first.Nexus.Initiator, first.Nexus.TargetPort),
                     array::Fault::LunNotSupported);
    EXPECT_EQ(TestUnitReadyOnPath(first.TargetObject, 1, 120, "[lab]"), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(TestUnitReadyOnPath(host_->Devices()[1].TargetObject, 0, 120, "[lab]"), STATUS_SUCCESS);
    array_->ClearFaults();
    array_->RaiseUnitAttention(array::Scope::OnController(0), array::UnitAttention::PowerOnReset);
    EXPECT_EQ(TestUnitReadyOnPath(first.TargetObject, 0, 120, "[lab]"), STATUS_SUCCESS);
    array_->SetFault(array::Scope::OnController(1), array::Fault::NoAnswer);
    UCHAR port = 0;
    UCHAR controller = 0;
    EXPECT_EQ(QueryArrayLocation(host_->Devices()[1].TargetObject, "[lab]", &port, &controller),
              STATUS_IO_DEVICE_ERROR);
}

} // namespace
} // namespace tarntest
