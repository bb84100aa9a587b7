// The cluster's reserve, release and reset requests through the device
// control entry point, against the simulated array with another node
// (another initiator) sharing the drive: arbitration, the completion
// values, the diagnostic sequence, reservations switched off, and the
// registration carried onto a path that returns.
#include "driverfixture.h"

#include <functional>

namespace tarntest {
namespace {

const uint8_t kOtherKey[8] = {0xB0, 0, 0, 0, 0, 0, 0, 2};
const uint64_t kNodeKey = 0x0102030405060708;     // the configured key 01..08, as the array reads it
const uint8_t kNodeKeyBytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};

class ClusterTest : public OneDriveTest {
protected:
    void Configure() override
    {
        FullConfiguration();
        if (!reservationsOn_) {
            host::RegistrySetDword(kParametersKey, "UsePersistentReservations", 0);
        }
    }

    void SetUp() override
    {
        OneDriveTest::SetUp();
        ids_.Count = 1;
        ids_.IdList[0] = paths_[1];
    }

    // What MPIO hands over: the IRP, the SRB for SCSI requests, an event.
    struct Request {
        IRP Irp{};
        IO_STACK_LOCATION Stack{};
        SCSI_REQUEST_BLOCK Srb{};
        KEVENT Event{};
    };

    NTSTATUS Send(Request *request, bool withSrb = true)
    {
        request->Irp.Tail.Overlay.CurrentStackLocation = &request->Stack;
        request->Irp.IoStatus.Status = STATUS_PENDING;
        request->Irp.IoStatus.Information = 0xA5A5A5A5;
        request->Srb.SrbStatus = SRB_STATUS_PENDING;
        request->Srb.ScsiStatus = 0xFF;
        KeInitializeEvent(&request->Event, NotificationEvent, FALSE);
        NTSTATUS status = host_->Record().DsmSrbDeviceControl(Context(), &ids_, &request->Irp,
                                                               withSrb ? &request->Srb : nullptr, &request->Event);
        EXPECT_EQ(KeReadStateEvent(&request->Event), 1) << "the caller's event is signalled";
        EXPECT_EQ(request->Irp.IoStatus.Status, status);
        EXPECT_EQ(request->Irp.IoStatus.Information, 0u) << "no request of the cluster transfers data";
        return status;
    }

    static Request Scsi(UCHAR opcode)
    {
        Request request;
        request.Stack.MajorFunction = IRP_MJ_SCSI;
        request.Srb.Cdb[0] = opcode;
        return request;
    }

    static Request Control(ULONG code)
    {
        Request request;
        request.Stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
        request.Stack.Parameters.DeviceIoControl.IoControlCode = code;
        return request;
    }

    void OtherNodeReserves()
    {
        ASSERT_EQ(OtherNodeReserveOut(6, 0, nullptr, kOtherKey).Status, array::kStatusGood);
        ASSERT_EQ(OtherNodeReserveOut(1, 6, kOtherKey, nullptr).Status, array::kStatusGood);
    }

    uint64_t Sent(uint8_t opcode) const { return array_->Statistics().WithOpcode(opcode); }

    // Each path's target object replaced by one that shows every command
    // to intercept first; what it does not answer goes on to the array.
    using PathInterceptor =
        std::function<bool(PPDO_ENTRY path, SCSI_PASS_THROUGH &command, PIO_STATUS_BLOCK status)>;
    using Interceptor = std::function<bool(SCSI_PASS_THROUGH &command, PIO_STATUS_BLOCK status)>;
    void Intercept(Interceptor intercept)
    {
        InterceptPaths([intercept](PPDO_ENTRY, SCSI_PASS_THROUGH &command, PIO_STATUS_BLOCK status) {
            return intercept(command, status);
        });
    }
    void InterceptPaths(PathInterceptor intercept)
    {
        std::vector<PDEVICE_OBJECT> targets;
        for (PPDO_ENTRY path : paths_) {
            array::Nexus nexus;
            for (const mpio::Device &device : host_->Devices()) {
                nexus = device.DsmId == path ? device.Nexus : nexus;
            }
            targets.push_back(host::CreateDevice(
                u"", [this, path, nexus, intercept](ULONG, PVOID input, ULONG inputLength, PVOID, ULONG outputLength,
                                                    bool, PIO_STATUS_BLOCK status) {
                    if (!intercept(path, *static_cast<PSCSI_PASS_THROUGH>(input), status)) {
                        mpio::PassThrough(array_.get(), nexus, input, inputLength, outputLength, status);
                    }
                }));
        }
        DsmLockHeld held(Context());
        for (size_t i = 0; i < paths_.size(); i++) {
            paths_[i]->TargetObject = targets[i];
        }
    }

    bool reservationsOn_ = true;
    DSM_IDS ids_{};
};

TEST_F(ClusterTest, ReserveTakesAFreeDriveAndKeepsAHeldOne)
{
    Request reserve = Scsi(SCSIOP_RESERVE_UNIT);
    ASSERT_EQ(Send(&reserve), STATUS_SUCCESS);
    EXPECT_EQ(reserve.Srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(reserve.Srb.ScsiStatus, SCSISTAT_GOOD);
    EXPECT_TRUE(drive_->ReservationsInUse);
    auto reservation = array_->ReservationOf(0);
    ASSERT_TRUE(reservation.has_value());
    EXPECT_EQ(reservation->Key, kNodeKey);
    EXPECT_EQ(reservation->Type, array::ReservationType::ExclusiveAccessRegistrantsOnly);
    EXPECT_EQ(array_->Registrations(0).size(), 4u);   // one per path: each path is an I_T nexus

    // Held by this node already: success, and no PERSISTENT RESERVE OUT.
    uint64_t out = Sent(SCSIOP_PERSISTENT_RESERVE_OUT);
    Request again = Scsi(SCSIOP_RESERVE_UNIT);
    EXPECT_EQ(Send(&again), STATUS_SUCCESS);
    EXPECT_EQ(Sent(SCSIOP_PERSISTENT_RESERVE_OUT), out);
}

TEST_F(ClusterTest, ReserveOfAnotherHostsDriveIsAConflictWithDiagnostics)
{
    OtherNodeReserves();
    uint64_t reads = Sent(SCSIOP_READ16);
    uint64_t keys = Sent(SCSIOP_PERSISTENT_RESERVE_IN);
    uint64_t out = Sent(SCSIOP_PERSISTENT_RESERVE_OUT);
    Request reserve = Scsi(SCSIOP_RESERVE_UNIT);
    EXPECT_EQ(Send(&reserve), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(reserve.Srb.SrbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(reserve.Srb.ScsiStatus, SCSISTAT_RESERVATION_CONFLICT);
    // Nothing registered; probe read, READ KEYS, probe read (after the READ RESERVATION).
    EXPECT_EQ(array_->Registrations(0).size(), 1u);
    EXPECT_EQ(Sent(SCSIOP_PERSISTENT_RESERVE_OUT), out);   // refused on what the holder read showed
    EXPECT_EQ(Sent(SCSIOP_READ16), reads + 2);
    EXPECT_EQ(Sent(SCSIOP_PERSISTENT_RESERVE_IN), keys + 2);
}

TEST_F(ClusterTest, ReleaseLeavesTheDriveFreeAndIsHarmlessWhenNothingIsHeld)
{
    Request reserve = Scsi(SCSIOP_RESERVE_UNIT);
    ASSERT_EQ(Send(&reserve), STATUS_SUCCESS);
    Request release = Scsi(SCSIOP_RELEASE_UNIT);
    EXPECT_EQ(Send(&release), STATUS_SUCCESS);
    EXPECT_EQ(release.Srb.ScsiStatus, SCSISTAT_GOOD);
    EXPECT_FALSE(array_->ReservationOf(0).has_value());
    EXPECT_TRUE(array_->Registrations(0).empty());

    // Another host holds it and this node is not registered: the release
    // conflicts, which means this node held nothing: success.
    OtherNodeReserves();
    Request nothingHeld = Scsi(SCSIOP_RELEASE_UNIT);
    EXPECT_EQ(Send(&nothingHeld), STATUS_SUCCESS);
    EXPECT_TRUE(array_->ReservationOf(0).has_value());
}

TEST_F(ClusterTest, ResetClearsAnyHostsReservationAndNeedsNoSrb)
{
    OtherNodeReserves();
    Request reset = Control(IOCTL_STORAGE_RESET_BUS);
    reset.Srb.SrbStatus = 0x77;
    EXPECT_EQ(Send(&reset, false), STATUS_SUCCESS);
    EXPECT_FALSE(array_->ReservationOf(0).has_value());
    EXPECT_TRUE(array_->Registrations(0).empty());

    // With every path gone the CLEAR fails: the reset is an invalid request.
    array_->SetFault(array::Scope::OnController(0), array::Fault::LinkDown);
    array_->SetFault(array::Scope::OnController(1), array::Fault::LinkDown);
    Request failing = Control(IOCTL_STORAGE_BREAK_RESERVATION);
    EXPECT_EQ(Send(&failing), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(failing.Srb.ScsiStatus, SCSISTAT_CHECK_CONDITION);
}

TEST_F(ClusterTest, OtherRequestsAreRefusedUnsent)
{
    uint64_t out = Sent(SCSIOP_PERSISTENT_RESERVE_OUT) + Sent(SCSIOP_PERSISTENT_RESERVE_IN);
    Request resetDevice = Control(IOCTL_STORAGE_RESET_DEVICE);
    EXPECT_EQ(Send(&resetDevice), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(resetDevice.Srb.SrbStatus, SRB_STATUS_ERROR);
    EXPECT_FALSE(drive_->ReservationsInUse);
    EXPECT_EQ(Sent(SCSIOP_PERSISTENT_RESERVE_OUT) + Sent(SCSIOP_PERSISTENT_RESERVE_IN), out);
}

// Records verifier failures instead of stopping the test.
std::vector<std::string> g_failures;
void RecordFailure(const std::string &message)
{
    g_failures.push_back(message);
}

// The entry points that wait for the storage are only ever called at
// PASSIVE_LEVEL.  One called raised fails its assertion, and since a free
// build drops assertions it also refuses the call: nothing is sent and
// nothing waits.
TEST_F(ClusterTest, EntryPointsThatWaitRefuseACallAtDispatchLevel)
{
    auto commands = [this] {
        uint64_t count = 0;
        for (uint32_t port = 0; port < array::kTargetPortCount; port++) {
            count += array_->Statistics().OnTargetPort(port);
        }
        return count;
    };
    uint64_t sent = commands();
    const mpio::Device &device = host_->Devices()[0];
    STORAGE_DEVICE_DESCRIPTOR descriptor{};
    PVOID dsmId = nullptr;
    PVOID pathId = nullptr;
    Request reserve = Scsi(SCSIOP_RESERVE_UNIT);
    reserve.Irp.Tail.Overlay.CurrentStackLocation = &reserve.Stack;
    reserve.Irp.IoStatus.Information = 0xA5A5A5A5;
    KeInitializeEvent(&reserve.Event, NotificationEvent, FALSE);
    NTSTATUS results[4];

    g_failures.clear();
    host::SetVerifierHandler(RecordFailure);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    results[0] = DsmInquireDriver(Context(), device.TargetObject, device.PortObject, &descriptor, nullptr, &dsmId);
    results[1] = DsmSetDeviceInfo(Context(), device.TargetObject, paths_[0], &pathId);
    results[2] = DsmPathVerify(Context(), paths_[0], paths_[0]);
    results[3] = DsmSrbDeviceControl(Context(), &ids_, &reserve.Irp, &reserve.Srb, &reserve.Event);
    KeLowerIrql(old);
    host::SetVerifierHandler(nullptr);

    for (NTSTATUS result : results) {
        EXPECT_EQ(result, STATUS_INVALID_DEVICE_STATE);
    }
    EXPECT_EQ(reserve.Irp.IoStatus.Status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(reserve.Irp.IoStatus.Information, 0u);
    EXPECT_EQ(reserve.Srb.SrbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(KeReadStateEvent(&reserve.Event), 1);
    // Each call's assertion, and no other fault: no wait, no registry call.
    EXPECT_EQ(g_failures.size(), 4u);
    for (const std::string &failure : g_failures) {
        EXPECT_NE(failure.find("assertion failed: \"KeGetCurrentIrql() == PASSIVE_LEVEL\""), std::string::npos)
            << failure;
    }
    EXPECT_EQ(commands(), sent);
    EXPECT_FALSE(drive_->ReservationsInUse);
    EXPECT_EQ(paths_[0]->HealthState, (ULONG)PDO_HEALTH_HEALTHY);
}

class ClusterOffTest : public ClusterTest {
protected:
    void SetUp() override
    {
        reservationsOn_ = false;
        ClusterTest::SetUp();
    }
};

TEST_F(ClusterOffTest, WithReservationsOffEveryRequestIsRefused)
{
    ASSERT_FALSE(Context()->UsePersistentReservations);
    uint64_t out = Sent(SCSIOP_PERSISTENT_RESERVE_OUT) + Sent(SCSIOP_PERSISTENT_RESERVE_IN);
    Request reserve = Scsi(SCSIOP_RESERVE_UNIT);
    Request release = Scsi(SCSIOP_RELEASE_UNIT);
    Request reset = Control(IOCTL_STORAGE_RESET_BUS);
    EXPECT_EQ(Send(&reserve), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(reserve.Srb.ScsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(Send(&release), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Send(&reset, false), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Sent(SCSIOP_PERSISTENT_RESERVE_OUT) + Sent(SCSIOP_PERSISTENT_RESERVE_IN), out);
    EXPECT_TRUE(drive_->ReservationsInUse);     // accepted all the same
}

TEST_F(ClusterTest, AReturningPathCarriesThisNodesRegistration)
{
    Request reserve = Scsi(SCSIOP_RESERVE_UNIT);
    ASSERT_EQ(Send(&reserve), STATUS_SUCCESS);
    // The fourth path's registration went missing while it was away.
    const mpio::Device &away = host_->Devices()[3];
    uint8_t cdb[10] = {SCSIOP_PERSISTENT_RESERVE_OUT, 6, 0, 0, 0, 0, 0, 0, 24, 0};
    uint8_t zero[24] = {};
    array::Command unregister;
    unregister.Cdb = cdb;
    unregister.CdbLength = 10;
    unregister.DataOut = zero;
    unregister.DataOutLength = 24;
    ASSERT_EQ(array_->Execute(away.Nexus, unregister).Status, array::kStatusGood);
    ASSERT_EQ(array_->Registrations(0).size(), 3u);

    Locked([&] { EXPECT_TRUE(DsmQueueRegistration(paths_[3])); });
    EXPECT_EQ(host::DrainWorkItems(), 1u);
    EXPECT_EQ(array_->Registrations(0).size(), 4u);

    // A path that is gone by the time the work runs: nothing is sent.
    uint64_t out = Sent(SCSIOP_PERSISTENT_RESERVE_OUT) + Sent(SCSIOP_PERSISTENT_RESERVE_IN);
    DsmQueueWorkItem(Context(), drive_, reinterpret_cast<PVOID>(0x1234), paths_[3]->TargetObject,
                     ReservationPathWorker);
    EXPECT_EQ(host::DrainWorkItems(), 1u);
    EXPECT_EQ(Sent(SCSIOP_PERSISTENT_RESERVE_OUT) + Sent(SCSIOP_PERSISTENT_RESERVE_IN), out);
    EXPECT_EQ(host::PoolOutstanding(host::Tag("IoWI")), 0u);
}

// A path of a drive this node holds that comes back from a failure has
// not carried the node's key yet: until its registration has been
// carried, requests stay on the paths that have it.  Failback waits for
// it; a drive left with no other path still uses it.
class ReturningPathTest : public ClusterTest {
protected:
    // The path's link, as the array sees it.
    array::Scope LinkOf(PPDO_ENTRY path) const
    {
        for (const mpio::Device &device : host_->Devices()) {
            if (device.DsmId == path) {
                return array::Scope::OnPath(device.Nexus.Initiator, device.Nexus.TargetPort);
            }
        }
        ADD_FAILURE() << "no device for the path";
        return array::Scope::OnTargetPort(0);
    }

    // The preferred path fails, this node reserves the drive through the
    // others, and the path's verification then finds it answering again;
    // the work that carries the registration onto it has not run yet.
    void ReserveWhileThePreferredPathIsAway()
    {
        ASSERT_EQ(drive_->currentPath, paths_[0]);
        array_->SetFault(LinkOf(paths_[0]), array::Fault::LinkDown);
        ASSERT_EQ(host_->Read(0, 0, 1, block_).Status, STATUS_SUCCESS);
        ASSERT_EQ(paths_[0]->HealthState, (ULONG)PDO_HEALTH_FAILED);
        Request reserve = Scsi(SCSIOP_RESERVE_UNIT);
        ASSERT_EQ(Send(&reserve), STATUS_SUCCESS);
        ASSERT_EQ(array_->Registrations(0).size(), 3u);
        array_->ClearFaults();
        ASSERT_EQ(DsmPathVerify(Context(), paths_[0], nullptr), STATUS_SUCCESS);
        ASSERT_EQ(paths_[0]->HealthState, (ULONG)PDO_HEALTH_HEALTHY);
        ASSERT_EQ(host::PendingWorkItems(), 1u);
    }

    PPDO_ENTRY Current()
    {
        PPDO_ENTRY path = nullptr;
        Locked([&] { path = drive_->currentPath; });
        return path;
    }

    // A read, with time moving for MPIO's retries.
    mpio::IoResult Read()
    {
        auto io = host_->SubmitRead(0, 0, 1, block_);
        for (int i = 0; i < 50 && !io->Done(); i++) {
            host_->WaitIdle();
            host::ClockAdvance(hostOptions_.RetryIntervalMs);
        }
        EXPECT_TRUE(io->Done());
        return io->Done() ? io->Wait() : mpio::IoResult();
    }

    uint8_t block_[512] = {};
};

TEST_F(ReturningPathTest, FailbackWaitsUntilThePathCarriesTheRegistration)
{
    ReserveWhileThePreferredPathIsAway();
    host::ClockAdvance(3000);
    EXPECT_NE(Current(), paths_[0]);
    mpio::IoResult read = Read();
    EXPECT_EQ(read.Status, STATUS_SUCCESS);
    EXPECT_EQ(read.ScsiStatus, SCSISTAT_GOOD);

    host::DrainWorkItems();
    EXPECT_EQ(array_->Registrations(0).size(), 4u);
    host::ClockAdvance(1000);
    EXPECT_EQ(Current(), paths_[0]);
    read = Read();
    EXPECT_EQ(read.Status, STATUS_SUCCESS);
    EXPECT_EQ(read.Path, paths_[0]);

    // Another node that takes the drive is still met with a conflict.
    ASSERT_EQ(OtherNodeReserveOut(6, 0, nullptr, kOtherKey).Status, array::kStatusGood);
    ASSERT_EQ(OtherNodeReserveOut(4, 6, kOtherKey, kNodeKeyBytes).Status, array::kStatusGood);   // PREEMPT
    read = Read();
    EXPECT_EQ(read.Status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(read.ScsiStatus, array::kStatusReservationConflict);
}

// The path returns while the cluster's RESERVE is under way, after the
// snapshot it registers: the registration work finds the drive still
// free, so it runs again once the request is done.
TEST_F(ReturningPathTest, RegistrationWorkOverlappedByAReserveRunsAgain)
{
    array_->SetFault(LinkOf(paths_[0]), array::Fault::LinkDown);
    ASSERT_EQ(host_->Read(0, 0, 1, block_).Status, STATUS_SUCCESS);
    ASSERT_EQ(paths_[0]->HealthState, (ULONG)PDO_HEALTH_FAILED);
    array_->ClearFaults();
    bool returned = false;
    Intercept([&](SCSI_PASS_THROUGH &command, PIO_STATUS_BLOCK) {
        if (command.Cdb[0] == SCSIOP_PERSISTENT_RESERVE_OUT && command.Cdb[1] == 0x01 && !returned) {
            returned = true;
            EXPECT_EQ(DsmPathVerify(Context(), paths_[0], nullptr), STATUS_SUCCESS);
            host::DrainWorkItems();
            EXPECT_EQ(array_->Registrations(0).size(), 3u);
        }
        return false;
    });
    Request reserve = Scsi(SCSIOP_RESERVE_UNIT);
    ASSERT_EQ(Send(&reserve), STATUS_SUCCESS);
    ASSERT_TRUE(returned);
    host::ClockAdvance(3000);
    EXPECT_NE(Current(), paths_[0]);
    host::DrainWorkItems();
    EXPECT_EQ(array_->Registrations(0).size(), 4u);
    host::ClockAdvance(1000);
    EXPECT_EQ(Current(), paths_[0]);
    mpio::IoResult read = Read();
    EXPECT_EQ(read.Status, STATUS_SUCCESS);
    EXPECT_EQ(read.Path, paths_[0]);
}

// The current path's link drops just as the RESERVE registers this node
// there, and nothing else has failed on it: the RESERVE succeeds through
// the other paths, and the one without the key carries nothing (a read
// there would meet the reservation) until it is found answering again
// and has been registered.
TEST_F(ReturningPathTest, APathThatMissedTheRegistrationWaitsUntilItCarriesIt)
{
    ASSERT_EQ(Current(), paths_[0]);
    bool missed = false;
    InterceptPaths([&](PPDO_ENTRY path, SCSI_PASS_THROUGH &command, PIO_STATUS_BLOCK) {
        if (path == paths_[0] && command.Cdb[0] == SCSIOP_PERSISTENT_RESERVE_OUT && !missed) {
            missed = true;
            array_->SetFault(LinkOf(paths_[0]), array::Fault::LinkDown);
        }
        return false;
    });
    Request reserve = Scsi(SCSIOP_RESERVE_UNIT);
    ASSERT_EQ(Send(&reserve), STATUS_SUCCESS);
    ASSERT_TRUE(missed);
    array_->ClearFaults();
    EXPECT_EQ(array_->Registrations(0).size(), 3u);
    EXPECT_EQ(paths_[0]->HealthState, (ULONG)PDO_HEALTH_FAILING);
    mpio::IoResult read = Read();
    EXPECT_EQ(read.Status, STATUS_SUCCESS);
    EXPECT_EQ(read.ScsiStatus, SCSISTAT_GOOD);
    EXPECT_NE(read.Path, paths_[0]);

    ASSERT_EQ(DsmPathVerify(Context(), paths_[0], nullptr), STATUS_SUCCESS);
    host::DrainWorkItems();
    EXPECT_EQ(array_->Registrations(0).size(), 4u);
    host::ClockAdvance(3000);
    EXPECT_EQ(Current(), paths_[0]);
    read = Read();
    EXPECT_EQ(read.Status, STATUS_SUCCESS);
    EXPECT_EQ(read.Path, paths_[0]);
}

// The returning path's link drops again as the work registers this node
// there: it stays out of use until it is found answering and registered.
TEST_F(ReturningPathTest, APathWhoseRegistrationWorkFailedWaitsForTheNext)
{
    ReserveWhileThePreferredPathIsAway();
    bool missed = false;
    InterceptPaths([&](PPDO_ENTRY path, SCSI_PASS_THROUGH &command, PIO_STATUS_BLOCK) {
        if (path == paths_[0] && command.Cdb[0] == SCSIOP_PERSISTENT_RESERVE_OUT && !missed) {
            missed = true;
            array_->SetFault(LinkOf(paths_[0]), array::Fault::LinkDown);
        }
        return false;
    });
    host::DrainWorkItems();
    ASSERT_TRUE(missed);
    array_->ClearFaults();
    EXPECT_EQ(paths_[0]->HealthState, (ULONG)PDO_HEALTH_FAILING);
    host::ClockAdvance(3000);
    mpio::IoResult read = Read();
    EXPECT_EQ(read.Status, STATUS_SUCCESS);
    EXPECT_NE(read.Path, paths_[0]);

    ASSERT_EQ(DsmPathVerify(Context(), paths_[0], nullptr), STATUS_SUCCESS);
    host::DrainWorkItems();
    EXPECT_EQ(array_->Registrations(0).size(), 4u);
    host::ClockAdvance(1000);
    EXPECT_EQ(Current(), paths_[0]);
}

TEST_F(ReturningPathTest, ADriveLeftWithOnlyThatPathUsesIt)
{
    ReserveWhileThePreferredPathIsAway();
    Locked([&] {
        for (size_t i = 1; i < paths_.size(); i++) {
            SetPathHealth(paths_[i], PDO_HEALTH_HEALTHY, PDO_HEALTH_FAILING);
        }
    });
    EXPECT_EQ(Current(), paths_[0]);
    host::DrainWorkItems();
    mpio::IoResult read = Read();
    EXPECT_EQ(read.Status, STATUS_SUCCESS);
    EXPECT_EQ(read.Path, paths_[0]);
}

// The drive is free when this node reads its reservation, but the other
// node reserves before this node's RESERVE arrives: the conflict takes
// this node's registrations back, so it stays fenced out.
TEST_F(ClusterTest, AReservationTakenJustBeforeOursTakesOurRegistrationsBack)
{
    ASSERT_EQ(OtherNodeReserveOut(6, 0, nullptr, kOtherKey).Status, array::kStatusGood);   // registered only
    bool taken = false;
    Intercept([&](SCSI_PASS_THROUGH &command, PIO_STATUS_BLOCK) {
        if (command.Cdb[0] == SCSIOP_PERSISTENT_RESERVE_OUT && command.Cdb[1] == 0x01 && !taken) {
            taken = true;
            EXPECT_EQ(OtherNodeReserveOut(1, 6, kOtherKey, nullptr).Status, array::kStatusGood);
        }
        return false;
    });

    Request reserve = Scsi(SCSIOP_RESERVE_UNIT);
    EXPECT_EQ(Send(&reserve), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(reserve.Srb.ScsiStatus, SCSISTAT_RESERVATION_CONFLICT);
    ASSERT_TRUE(taken);
    ASSERT_EQ(array_->Registrations(0).size(), 1u);
    EXPECT_EQ(array_->Registrations(0)[0].Initiator, kOtherInitiator);
    EXPECT_EQ(host_->Write(0, 5, 1, std::vector<uint8_t>(512).data()).ScsiStatus, array::kStatusReservationConflict);
}

// A release whose CLEAR cannot be carried out still succeeds: the
// reservation is gone, and the cluster must not retry a release.
TEST_F(ClusterTest, AReleaseWhoseClearFailsStillSucceeds)
{
    Request reserve = Scsi(SCSIOP_RESERVE_UNIT);
    ASSERT_EQ(Send(&reserve), STATUS_SUCCESS);
    bool released = false;
    Intercept([&](SCSI_PASS_THROUGH &command, PIO_STATUS_BLOCK status) {
        released = released || (command.Cdb[0] == SCSIOP_PERSISTENT_RESERVE_OUT && command.Cdb[1] == 0x02);
        if (released && command.Cdb[0] == SCSIOP_PERSISTENT_RESERVE_OUT && command.Cdb[1] == 0x03) {
            status->Status = STATUS_IO_TIMEOUT;     // the CLEAR is lost on every path
            status->Information = 0;
            return true;
        }
        return false;
    });
    Request release = Scsi(SCSIOP_RELEASE_UNIT);
    EXPECT_EQ(Send(&release), STATUS_SUCCESS);
    EXPECT_EQ(release.Srb.ScsiStatus, SCSISTAT_GOOD);
    EXPECT_FALSE(array_->ReservationOf(0).has_value());
    EXPECT_EQ(array_->Registrations(0).size(), 4u);     // what the lost CLEAR would have removed
}

// A RESERVE that fails for any reason, or a reset whose CLEAR fails,
// leaves this node without a registration: under the registrants-only
// reservation the other node takes next, a registered node could write.
TEST_F(ClusterTest, ANodeThatFailsToReserveOrResetStaysFenced)
{
    struct Row {
        const char *Name;
        UCHAR Refused;          // the PERSISTENT RESERVE OUT service action that fails
        bool TransportLost;     // lost on the way rather than refused by the unit
        Request (*Make)();
        NTSTATUS Status;
    } rows[] = {
        {"RESERVE refused", 0x01, false, [] { return Scsi(SCSIOP_RESERVE_UNIT); }, STATUS_IO_DEVICE_ERROR},
        {"RESERVE lost", 0x01, true, [] { return Scsi(SCSIOP_RESERVE_UNIT); }, STATUS_IO_DEVICE_ERROR},
        {"reset whose CLEAR is lost", 0x03, true, [] { return Control(IOCTL_STORAGE_RESET_BUS); },
         STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.Name);
        Intercept([&](SCSI_PASS_THROUGH &command, PIO_STATUS_BLOCK status) {
            if (command.Cdb[0] != SCSIOP_PERSISTENT_RESERVE_OUT || command.Cdb[1] != row.Refused) {
                return false;
            }
            status->Status = row.TransportLost ? STATUS_IO_TIMEOUT : STATUS_SUCCESS;
            status->Information = 0;
            command.ScsiStatus = row.TransportLost ? SCSISTAT_GOOD : SCSISTAT_CHECK_CONDITION;
            return true;
        });
        uint64_t reads = Sent(SCSIOP_READ16);
        Request request = row.Make();
        EXPECT_EQ(Send(&request), row.Status);
        EXPECT_EQ(request.Srb.SrbStatus, SRB_STATUS_ERROR);
        EXPECT_EQ(request.Srb.ScsiStatus, SCSISTAT_CHECK_CONDITION);
        EXPECT_EQ(Sent(SCSIOP_READ16), reads) << "no diagnostics without a conflict";
        EXPECT_TRUE(array_->Registrations(0).empty());

        // The other node wins the drive; this node writes nothing to it.
        OtherNodeReserves();
        EXPECT_EQ(host_->Write(0, 5, 1, std::vector<uint8_t>(512).data()).ScsiStatus,
                  array::kStatusReservationConflict);
        ASSERT_EQ(OtherNodeReserveOut(3, 0, kOtherKey, nullptr).Status, array::kStatusGood);   // CLEAR
    }
}

// A registration that did not reach one path must not turn a free drive
// into a lost arbitration: the RESERVE goes only where this node is
// registered.  Either the node then holds the drive or it keeps nothing.
TEST_F(ClusterTest, AFreeDriveIsNeverLostToAPathThatMissedItsRegistration)
{
    auto holdsOrIsGone = [this](const Request &reserve) {
        auto reservation = array_->ReservationOf(0);
        if (reserve.Srb.ScsiStatus == SCSISTAT_GOOD) {
            ASSERT_TRUE(reservation.has_value());
            EXPECT_EQ(reservation->Key, kNodeKey);
        } else {
            EXPECT_FALSE(reservation.has_value());
            EXPECT_TRUE(array_->Registrations(0).empty());
        }
    };

    // The current path, where the RESERVE would go first, refuses the REGISTER.
    InterceptPaths([&](PPDO_ENTRY path, SCSI_PASS_THROUGH &command, PIO_STATUS_BLOCK status) {
        if (path != drive_->currentPath || command.Cdb[0] != SCSIOP_PERSISTENT_RESERVE_OUT || command.Cdb[1] != 0x06) {
            return false;
        }
        status->Status = STATUS_SUCCESS;
        command.ScsiStatus = SCSISTAT_CHECK_CONDITION;
        return true;
    });
    Request reserve = Scsi(SCSIOP_RESERVE_UNIT);
    EXPECT_EQ(Send(&reserve), STATUS_SUCCESS);
    EXPECT_EQ(reserve.Srb.ScsiStatus, SCSISTAT_GOOD);
    holdsOrIsGone(reserve);
    EXPECT_EQ(array_->Registrations(0).size(), 3u);

    // Any one allocation of the request failing, the registrations' included.
    Intercept([](SCSI_PASS_THROUGH &, PIO_STATUS_BLOCK) { return false; });
    for (uint64_t nth = 1; nth <= 24; nth++) {
        SCOPED_TRACE(nth);
        Request reset = Control(IOCTL_STORAGE_RESET_BUS);
        ASSERT_EQ(Send(&reset, false), STATUS_SUCCESS);
        ASSERT_FALSE(array_->ReservationOf(0).has_value());
        host::PoolFailNth(nth);
        Request again = Scsi(SCSIOP_RESERVE_UNIT);
        Send(&again);
        host::PoolClearFailures();
        EXPECT_NE(again.Srb.ScsiStatus, SCSISTAT_RESERVATION_CONFLICT);
        holdsOrIsGone(again);
    }
}

// A RELEASE that reaches no path is a device error, not a conflict.
TEST_F(ClusterTest, AReleaseThatReachesNoPathIsADeviceError)
{
    Intercept([](SCSI_PASS_THROUGH &, PIO_STATUS_BLOCK status) {
        status->Status = STATUS_IO_TIMEOUT;
        status->Information = 0;
        return true;
    });
    Request release = Scsi(SCSIOP_RELEASE_UNIT);
    EXPECT_EQ(Send(&release), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(release.Srb.SrbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(release.Srb.ScsiStatus, SCSISTAT_CHECK_CONDITION);
}

} // namespace
} // namespace tarntest
