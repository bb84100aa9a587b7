/*++

Module Name:

    request.cpp

Abstract:

    Fuzzes the requests MPIO hands the driver and what came back for
    them: IRPs and SRBs with any CDB into categorisation, failed requests
    with any status, SRB status, function and sense data into error
    interpretation, and the cluster's requests into the device-control
    entry point.  The first byte picks the entry point.  The world is
    one drive with four live paths on the simulated array, started once.

    Each outcome is checked against the rules the driver promises: the
    categories (carried out by the driver exactly for the cluster's
    reservation requests, otherwise the drive's current path), the error
    rules in their order with the request's status never changed and a
    failover event exactly for a path failure, and a cluster request
    completed once with its status in the IRP and no data.

--*/

#include "fuzzdriver.h"

#include "simarray.h"

#include <cstdint>
#include <cstring>

namespace {

using fuzzdriver::Expect;

struct World {
    std::unique_ptr<array::SimulatedArray> Array;
    std::unique_ptr<mpio::Host> Host;
    PDSM_CONTEXT Context = nullptr;
    PLD_ENTRY Drive = nullptr;
    PPDO_ENTRY Paths[4] = {};
    fuzzdriver::Baseline Baseline;
};

World *Start()
{
    auto *world = new World();
    fuzzdriver::ResetWithConfiguration();
    array::ArrayConfig config;
    config.Units.push_back(array::LogicalUnitConfig{0, 2048, 512});
    world->Array = std::make_unique<array::SimulatedArray>(config, [] { return int64_t(9 * 3600); });
    mpio::Topology topology;
    topology.HostId = 1;
    topology.Paths = {{2, 0, 0, 0}, {2, 0, 1, 2}, {3, 0, 0, 1}, {3, 0, 1, 3}};
    topology.Luns = {0};
    world->Host = fuzzdriver::Load();
    world->Host->Discover(world->Array.get(), topology);
    world->Context = fuzzdriver::ContextOf(*world->Host);
    Expect(!IsListEmpty(&world->Context->DriveList), "no drive claimed");
    world->Drive = CONTAINING_RECORD(world->Context->DriveList.Flink, LD_ENTRY, DriveLink);
    size_t count = 0;
    for (PLIST_ENTRY link = world->Drive->PathList.Flink; link != &world->Drive->PathList; link = link->Flink) {
        Expect(count < 4, "more than four paths");
        world->Paths[count++] = CONTAINING_RECORD(link, PDO_ENTRY, LdLink);
    }
    Expect(count == 4, "fewer than four paths");
    host::DrainWorkItems();
    return world;
}

// Reads fuzzed bytes in order; zeros once they run out.
class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t Ulong()
    {
        uint32_t value = 0;
        for (int i = 0; i < 4; i++) {
            value |= (uint32_t)Byte() << (8 * i);
        }
        return value;
    }
    size_t Left() const { return size_ - at_; }
    const uint8_t *Here() const { return data_ + at_; }
    void Skip(size_t count) { at_ += std::min(count, Left()); }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

// Statuses a failed request comes back with; the fuzzer may also give
// any other value.  (Busy and overrun: statuses the driver has no name for.)
NTSTATUS PickStatus(Reader &in)
{
    static const NTSTATUS kStatuses[] = {
        STATUS_SUCCESS,          STATUS_IO_DEVICE_ERROR, STATUS_DEVICE_NOT_CONNECTED, STATUS_DEVICE_DOES_NOT_EXIST,
        STATUS_NO_SUCH_DEVICE,   STATUS_IO_TIMEOUT,      STATUS_BUFFER_OVERFLOW,      (NTSTATUS)0x80000011,
        STATUS_INVALID_DEVICE_REQUEST, (NTSTATUS)0xC000003C, STATUS_INSUFFICIENT_RESOURCES, STATUS_UNSUCCESSFUL,
    };
    const uint8_t pick = in.Byte();
    if (pick == 0xFF) {
        return (NTSTATUS)in.Ulong();
    }
    return kStatuses[pick % (sizeof(kStatuses) / sizeof(kStatuses[0]))];
}

ULONG PickControlCode(Reader &in)
{
    static const ULONG kCodes[] = {IOCTL_STORAGE_RESET_BUS, IOCTL_STORAGE_BREAK_RESERVATION,
                                   IOCTL_SCSI_PASS_THROUGH_DIRECT, IOCTL_SCSI_PASS_THROUGH};
    const uint8_t pick = in.Byte();
    return pick < 0xF0 ? kCodes[pick % 4] : in.Ulong();
}

bool IsClusterRequest(UCHAR major, ULONG code, const SCSI_REQUEST_BLOCK *srb)
{
    if (major == IRP_MJ_SCSI) {
        return srb != nullptr && (srb->Cdb[0] == SCSIOP_RESERVE_UNIT || srb->Cdb[0] == SCSIOP_RELEASE_UNIT);
    }
    return major == IRP_MJ_DEVICE_CONTROL &&
           (code == IOCTL_STORAGE_RESET_BUS || code == IOCTL_STORAGE_BREAK_RESERVATION);
}

// An IRP and SRB as MPIO hands them over, with a system buffer of the
// length the input gives (a pass-through structure, or less).
struct Request {
    IRP Irp{};
    IO_STACK_LOCATION Stack{};
    SCSI_REQUEST_BLOCK Srb{};
    std::vector<uint8_t> SystemBuffer;
    bool WithSrb = true;
    UCHAR Major = 0;
    ULONG Code = 0;

    void Build(Reader &in)
    {
        const uint8_t shape = in.Byte();
        static const UCHAR kMajors[] = {IRP_MJ_SCSI, IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                                        IRP_MJ_READ};
        Major = kMajors[shape % 4];
        WithSrb = (shape & 0x10) == 0;
        Code = PickControlCode(in);
        Irp.Tail.Overlay.CurrentStackLocation = &Stack;
        Stack.MajorFunction = Major;
        Stack.Parameters.DeviceIoControl.IoControlCode = Code;
        Srb.Function = in.Byte();
        Srb.CdbLength = 16;
        for (UCHAR &byte : Srb.Cdb) {
            byte = in.Byte();
        }
        if (Major == IRP_MJ_SCSI) {
            Stack.Parameters.Scsi.Srb = WithSrb ? &Srb : nullptr;
        } else {
            // The system buffer: a pass-through of the stated length, cut
            // short when the input says so.
            const size_t length = std::min<size_t>(in.Byte() * 2u, in.Left());
            SystemBuffer.assign(in.Here(), in.Here() + length);
            in.Skip(length);
            Stack.Parameters.DeviceIoControl.InputBufferLength = (ULONG)length;
            Irp.AssociatedIrp.SystemBuffer = length != 0 ? SystemBuffer.data() : nullptr;
        }
    }
};

void Categorize(World &world, Reader &in)
{
    Request request;
    request.Build(in);
    DSM_IDS ids{};
    ids.Count = 1;
    ids.IdList[0] = world.Paths[in.Byte() % 4];
    PVOID path = reinterpret_cast<PVOID>(0x1);
    NTSTATUS status = STATUS_PENDING;
    const LONGLONG outstanding = DsmRequestCounters.OutstandingRequests;
    PPDO_ENTRY current;
    {
        KIRQL irql;
        DsmAcquireLock(world.Context, &irql);
        current = world.Drive->currentPath;
        DsmReleaseLock(world.Context, irql);
    }
    SCSI_REQUEST_BLOCK *srb = request.WithSrb ? &request.Srb : nullptr;
    const ULONG category = host::CallDriver("DsmCategorizeRequest", DsmCategorizeRequest, world.Context, &ids,
                                            &request.Irp, srb, nullptr, &path, &status);
    if (IsClusterRequest(request.Major, request.Code, srb)) {
        Expect(category == DSM_CATEGORY_CARRIED_OUT_BY_DSM && path == reinterpret_cast<PVOID>(0x1),
               "a cluster request not carried out by the driver");
        Expect(DsmRequestCounters.OutstandingRequests == outstanding, "a request carried out was counted in flight");
        return;
    }
    Expect(current != nullptr, "the drive lost its current path");
    Expect(category == DSM_CATEGORY_PATH_CHOSEN && status == STATUS_SUCCESS, "a request was given no path");
    // Round robin may move on after its timeslice; the world uses failback.
    Expect(path == current, "a request was routed past the current path");
    // The request is counted in; its completion counts it out again.
    DSM_COMPLETION_INFO completion{};
    host::CallDriver("DsmSetCompletion", DsmSetCompletion, world.Context, path, &request.Irp, srb, &completion);
    Expect(completion.DsmCompletionRoutine == &RequestCompletion, "the completion was not hooked");
    host::CallDriver("completion", completion.DsmCompletionRoutine, path, &request.Irp, srb, completion.DsmContext);
    Expect(DsmRequestCounters.OutstandingRequests == outstanding, "a completed request is still counted in flight");
}

enum Outcome { kNeither, kRetry, kPathFailure };

// The error rules, first match deciding.
Outcome Judge(NTSTATUS status, const SCSI_REQUEST_BLOCK &srb, bool senseValid, const uint8_t *sense)
{
    const UCHAR srbStatus = srb.SrbStatus, opcode = srb.Cdb[0];
    const UCHAR key = senseValid ? sense[2] & 15 : 0, asc = senseValid ? sense[12] : 0,
                ascq = senseValid ? sense[13] : 0;
    if (status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_DEVICE_DOES_NOT_EXIST ||
        status == STATUS_NO_SUCH_DEVICE) {
        return kPathFailure;
    }
    if (status == STATUS_IO_DEVICE_ERROR && senseValid && key == SCSI_SENSE_UNIT_ATTENTION) {
        return kRetry;
    }
    if (status == STATUS_IO_DEVICE_ERROR && srbStatus == SRB_STATUS_BUS_RESET) {
        return kRetry;
    }
    if (status == STATUS_BUFFER_OVERFLOW && (opcode == SCSIOP_READ || opcode == SCSIOP_WRITE)) {
        return kRetry;
    }
    switch (srbStatus) {
    case SRB_STATUS_SELECTION_TIMEOUT:
    case SRB_STATUS_INVALID_LUN:
    case SRB_STATUS_INVALID_TARGET_ID:
    case SRB_STATUS_NO_DEVICE:
    case SRB_STATUS_NO_HBA:
    case SRB_STATUS_INVALID_PATH_ID:
        return kPathFailure;
    default:
        break;
    }
    if (status == STATUS_IO_DEVICE_ERROR && srbStatus == (SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID) &&
        key == SCSI_SENSE_ILLEGAL_REQUEST && asc == SCSI_ADSENSE_INVALID_LUN && ascq == 0) {
        return kPathFailure;
    }
    if (status == STATUS_IO_TIMEOUT && (srbStatus == SRB_STATUS_TIMEOUT || srbStatus == SRB_STATUS_COMMAND_TIMEOUT)) {
        return kPathFailure;
    }
    return kNeither;    // the driver's own requests' rules ask for neither
}

void Interpret(World &world, Reader &in)
{
    SCSI_REQUEST_BLOCK srb{};
    NTSTATUS status = PickStatus(in);
    const uint8_t srbPick = in.Byte();
    srb.SrbStatus = srbPick < 0x40 ? (UCHAR)(srbPick | (in.Byte() & 0xC0)) : in.Byte();
    srb.Function = in.Byte() & 0x1F;
    srb.ScsiStatus = in.Byte();
    for (UCHAR &byte : srb.Cdb) {
        byte = in.Byte();
    }
    // Sense of the length the input gives, in a buffer exactly that long.
    const uint8_t senseShape = in.Byte();
    const size_t senseLength = senseShape % 33;
    std::vector<uint8_t> sense(in.Here(), in.Here() + std::min(senseLength, in.Left()));
    sense.resize(senseLength, 0);
    in.Skip(senseLength);
    const bool senseBuffer = (senseShape & 0x80) == 0 && senseLength != 0;
    srb.SenseInfoBuffer = senseBuffer ? sense.data() : nullptr;
    srb.SenseInfoBufferLength = senseBuffer ? (UCHAR)senseLength : (UCHAR)(senseShape & 0x40 ? 32 : 0);
    if (!senseBuffer) {
        srb.SenseInfoBufferLength = 0;    // a length without a buffer is MPIO's fault, not the device's
    }
    const bool senseValid = senseBuffer && (srb.SrbStatus & SRB_STATUS_AUTOSENSE_VALID) != 0 && senseLength > 13;

    PPDO_ENTRY path = world.Paths[in.Byte() % 4];
    const Outcome expected = Judge(status, srb, senseValid, sense.data());
    const NTSTATUS incoming = status;
    BOOLEAN retry = 2;
    const size_t events = host::EventLog().size();
    const ULONG result =
        host::CallDriver("DsmInterpretError", DsmInterpretError, world.Context, path, &srb, &status, &retry);
    Expect(status == incoming, "the request's status was changed");
    Expect(retry == (expected == kRetry), "retry against the rules");
    Expect((result == 0x80000000u) == (expected == kPathFailure) && (result == 0 || result == 0x80000000u),
           "path failure against the rules");
    const auto log = host::EventLog();
    Expect(log.size() == events + (expected == kPathFailure ? 1u : 0u), "failover event");
    if (expected == kPathFailure) {
        Expect(reinterpret_cast<const IO_ERROR_LOG_PACKET *>(log.back().Packet.data())->ErrorCode == TARN_MSG_FAILOVER,
               "the event of a path failure is not a failover");
        // As the path returns: back to healthy, and the drive re-chooses.
        KIRQL irql;
        DsmAcquireLock(world.Context, &irql);
        Expect(path->HealthState == PDO_HEALTH_FAILING, "a failed path is not failing");
        SetPathHealth(path, PDO_HEALTH_FAILING, PDO_HEALTH_HEALTHY);
        DsmReleaseLock(world.Context, irql);
        host::DrainWorkItems();
    }
}

void Cluster(World &world, Reader &in)
{
    Request request;
    request.Build(in);
    DSM_IDS ids{};
    ids.Count = 1;
    ids.IdList[0] = world.Paths[in.Byte() % 4];
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    request.Irp.IoStatus.Status = STATUS_PENDING;
    request.Irp.IoStatus.Information = 0xA5A5A5A5;
    SCSI_REQUEST_BLOCK *srb = request.WithSrb ? &request.Srb : nullptr;
    const bool cluster = IsClusterRequest(request.Major, request.Code, srb);
    const NTSTATUS status = host::CallDriver("DsmSrbDeviceControl", DsmSrbDeviceControl, world.Context, &ids,
                                             &request.Irp, srb, &event);
    Expect(KeReadStateEvent(&event) == 1, "the caller's event was not signalled");
    Expect(request.Irp.IoStatus.Status == status && request.Irp.IoStatus.Information == 0,
           "the IRP does not say how the request ended");
    // Every path is healthy and the array serves them: each of the
    // cluster's requests succeeds; anything else is refused unsent.
    Expect(status == (cluster ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST), "cluster request status");
    if (srb != nullptr) {
        Expect(srb->SrbStatus == (cluster ? SRB_STATUS_SUCCESS : SRB_STATUS_ERROR), "the SRB's status");
    }
    host::DrainWorkItems();
}

// A request's completion record comes from a lookaside list, which
// keeps the first one given back: one read goes through before the pool
// is counted.
World *Warm(World *world)
{
    const uint8_t read[] = {0, 0, 0, SCSIOP_READ};   // shape, control code, function, CDB
    Reader in(read, sizeof(read));
    Categorize(*world, in);
    fuzzdriver::ForgetLogs();
    world->Baseline.Take();
    return world;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static World *world = Warm(Start());
    Reader in(data, size);
    switch (in.Byte() % 3) {
    case 0:
        Categorize(*world, in);
        break;
    case 1:
        Interpret(*world, in);
        break;
    default:
        Cluster(*world, in);
        break;
    }
    fuzzdriver::ForgetLogs();
    world->Baseline.Check("request");
    return 0;
}
