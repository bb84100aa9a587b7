// Telling the cluster's reservation requests and the vendor WRITE BUFFER
// apart from everything else, reading only what the request's lengths
// cover.
#include "driverfixture.h"

#include <cstring>

namespace tarntest {
namespace {

// An IRP with one stack location, as MPIO hands it over.
struct Request {
    IRP Irp{};
    IO_STACK_LOCATION Stack{};
    SCSI_REQUEST_BLOCK Srb{};

    Request(UCHAR major, ULONG ioControlCode = 0)
    {
        Irp.Tail.Overlay.CurrentStackLocation = &Stack;
        Stack.MajorFunction = major;
        Stack.Parameters.DeviceIoControl.IoControlCode = ioControlCode;
        Stack.Parameters.Scsi.Srb = &Srb;
    }
};

Request Scsi(UCHAR opcode)
{
    Request request(IRP_MJ_SCSI);
    request.Srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
    request.Srb.Cdb[0] = opcode;
    return request;
}

TEST(RecognitionTest, OnlyTheClusterRequestsAreReservationRequests)
{
    Request reserve = Scsi(SCSIOP_RESERVE_UNIT);
    Request release = Scsi(SCSIOP_RELEASE_UNIT);
    EXPECT_TRUE(IsReservationRequest(&reserve.Irp, &reserve.Srb));
    EXPECT_TRUE(IsReservationRequest(&release.Irp, &release.Srb));
    reserve.Srb.Cdb[1] = 0xFF;  // the bytes after the opcode are not examined
    EXPECT_TRUE(IsReservationRequest(&reserve.Irp, &reserve.Srb));

    for (UCHAR opcode : {SCSIOP_RESERVE_UNIT10, SCSIOP_RELEASE_UNIT10, SCSIOP_READ, SCSIOP_TEST_UNIT_READY,
                         SCSIOP_PERSISTENT_RESERVE_OUT}) {
        Request other = Scsi(opcode);
        EXPECT_FALSE(IsReservationRequest(&other.Irp, &other.Srb)) << (int)opcode;
    }

    Request resetBus(IRP_MJ_DEVICE_CONTROL, IOCTL_STORAGE_RESET_BUS);
    Request breakReservation(IRP_MJ_DEVICE_CONTROL, IOCTL_STORAGE_BREAK_RESERVATION);
    Request resetDevice(IRP_MJ_DEVICE_CONTROL, IOCTL_STORAGE_RESET_DEVICE);
    EXPECT_EQ(IOCTL_STORAGE_RESET_BUS, 0x002D5000u);
    EXPECT_EQ(IOCTL_STORAGE_BREAK_RESERVATION, 0x002D5014u);
    // Device controls may come without an SRB.
    EXPECT_TRUE(IsReservationRequest(&resetBus.Irp, NULL));
    EXPECT_TRUE(IsReservationRequest(&breakReservation.Irp, NULL));
    EXPECT_FALSE(IsReservationRequest(&resetDevice.Irp, NULL));

    // The same control code under another major function is not one.
    Request internal(IRP_MJ_READ, IOCTL_STORAGE_RESET_BUS);
    EXPECT_FALSE(IsReservationRequest(&internal.Irp, NULL));
}

class VendorWriteBufferTest : public ::testing::Test {
protected:
    // A direct pass-through whose structure is `length` bytes long, in a
    // buffer of exactly that size.
    Request DirectPassThrough(std::vector<uint8_t> *buffer, size_t length, std::initializer_list<uint8_t> cdb)
    {
        buffer->assign(length, 0);
        size_t at = FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, Cdb);
        for (uint8_t byte : cdb) {
            if (at < buffer->size()) {
                (*buffer)[at] = byte;
            }
            at++;
        }
        Request request(IRP_MJ_DEVICE_CONTROL, IOCTL_SCSI_PASS_THROUGH_DIRECT);
        request.Stack.Parameters.DeviceIoControl.InputBufferLength = (ULONG)length;
        request.Irp.AssociatedIrp.SystemBuffer = buffer->data();
        return request;
    }
};

TEST_F(VendorWriteBufferTest, RecognisedOnlyWithModeOneAndBufferC3)
{
    EXPECT_EQ(IOCTL_SCSI_PASS_THROUGH_DIRECT, 0x0004D014u);
#if defined(__i386__)
    EXPECT_EQ(sizeof(SCSI_PASS_THROUGH_DIRECT), 44u);
    EXPECT_EQ(FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, Cdb), 28);
#endif
    std::vector<uint8_t> buffer;
    ULONG value = 0xDEAD;

    Request vendor
        = DirectPassThrough(&buffer, sizeof(SCSI_PASS_THROUGH_DIRECT), {SCSIOP_WRITE_DATA_BUFF, 0xE1, 0xC3, 0x7A});
    EXPECT_TRUE(IsVendorWriteBuffer(&vendor.Irp, NULL, &value));
    EXPECT_EQ(value, 0x7Au); // only the low 4 bits of byte 1 are the mode

    value = 0xDEAD;
    Request mode5
        = DirectPassThrough(&buffer, sizeof(SCSI_PASS_THROUGH_DIRECT), {SCSIOP_WRITE_DATA_BUFF, 0x05, 0xC3, 0x7A});
    EXPECT_FALSE(IsVendorWriteBuffer(&mode5.Irp, NULL, &value));
    Request otherBuffer
        = DirectPassThrough(&buffer, sizeof(SCSI_PASS_THROUGH_DIRECT), {SCSIOP_WRITE_DATA_BUFF, 0x01, 0xC2, 0x7A});
    EXPECT_FALSE(IsVendorWriteBuffer(&otherBuffer.Irp, NULL, &value));
    Request read
        = DirectPassThrough(&buffer, sizeof(SCSI_PASS_THROUGH_DIRECT), {SCSIOP_READ_DATA_BUFF, 0x01, 0xC3, 0x7A});
    EXPECT_FALSE(IsVendorWriteBuffer(&read.Irp, NULL, &value));
    EXPECT_EQ(value, 0xDEADu);

    // One byte short of the structure: refused, and the CDB is never read
    // (the buffer ends there, so the address sanitizer would see a read).
    Request tooShort = DirectPassThrough(
        &buffer, sizeof(SCSI_PASS_THROUGH_DIRECT) - 1, {SCSIOP_WRITE_DATA_BUFF, 0x01, 0xC3, 0x7A});
    EXPECT_FALSE(IsVendorWriteBuffer(&tooShort.Irp, NULL, &value));
    EXPECT_EQ(value, 0xDEADu);

    // The buffered pass-through is not the direct one.
    Request buffered
        = DirectPassThrough(&buffer, sizeof(SCSI_PASS_THROUGH_DIRECT), {SCSIOP_WRITE_DATA_BUFF, 0x01, 0xC3, 0x7A});
    buffered.Stack.Parameters.DeviceIoControl.IoControlCode = IOCTL_SCSI_PASS_THROUGH;
    EXPECT_FALSE(IsVendorWriteBuffer(&buffered.Irp, NULL, &value));
}

// Categorisation asks once what a request is; the answer is the two
// predicates' answers together.
TEST_F(VendorWriteBufferTest, OneClassificationAgreesWithBothPredicates)
{
    std::vector<uint8_t> buffer;
    Request vendor
        = DirectPassThrough(&buffer, sizeof(SCSI_PASS_THROUGH_DIRECT), {SCSIOP_WRITE_DATA_BUFF, 0x01, 0xC3, 0x7A});
    Request requests[] = {Scsi(SCSIOP_READ), Scsi(SCSIOP_RESERVE_UNIT), Scsi(SCSIOP_RELEASE_UNIT),
                          Request(IRP_MJ_DEVICE_CONTROL, IOCTL_STORAGE_RESET_BUS),
                          Request(IRP_MJ_DEVICE_CONTROL, IOCTL_STORAGE_RESET_DEVICE), vendor};
    int seen[3] = {};
    for (Request &request : requests) {
        // The structures point into themselves: point them again after the
        // copy (the SRB only where it does not share the device control's
        // lengths).
        request.Irp.Tail.Overlay.CurrentStackLocation = &request.Stack;
        PSCSI_REQUEST_BLOCK srb = NULL;
        if (request.Stack.MajorFunction == IRP_MJ_SCSI) {
            srb = request.Stack.Parameters.Scsi.Srb = &request.Srb;
        }
        ULONG classified = 0xDEAD;
        ULONG alone = 0xDEAD;
        DSM_REQUEST_KIND kind = DsmClassifyRequest(&request.Irp, srb, &classified);
        seen[kind]++;
        if (IsReservationRequest(&request.Irp, srb)) {
            EXPECT_EQ(kind, DsmRequestReservation);
        } else if (IsVendorWriteBuffer(&request.Irp, srb, &alone)) {
            EXPECT_EQ(kind, DsmRequestVendorWriteBuffer);
            EXPECT_EQ(classified, alone);
        } else {
            EXPECT_EQ(kind, DsmRequestOrdinary);
            EXPECT_EQ(classified, 0xDEADu);
        }
    }
    EXPECT_EQ(seen[DsmRequestOrdinary], 2);
    EXPECT_EQ(seen[DsmRequestReservation], 3);
    EXPECT_EQ(seen[DsmRequestVendorWriteBuffer], 1);
}

} // namespace
} // namespace tarntest
