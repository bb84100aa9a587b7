/*++

Module Name:

    mpio_failover_test.cpp

Abstract:

    MPIO's own half of path health, against a scripted DSM that records
    each entry point with the IRQL it was called at: a path's life
    (bind, verify, activate), requests in flight completed on the port's
    threads, retries by count and interval, failover on a path failure,
    requests held while no path lives, the removal period, devices the
    storage takes away, and the host's stop while its DPCs and work item
    still run.

--*/

#include "driverfixture.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <numeric>
#include <thread>

namespace tarntest {
namespace {

constexpr int kFakePaths = 2;
// Identifiers for the paths found at discovery and those that arrive later.
constexpr int kFakeIds = 8;

// A DSM reduced to what MPIO asks of it: every device claimed as one
// drive, requests down the first path it has not seen fail, a busy
// answer retried, a dead link a path failure.  Entry points that need
// PASSIVE_LEVEL insist on it as the real driver does.
struct FakeDsm {
    std::mutex Lock;
    std::vector<std::pair<std::string, KIRQL>> Calls;
    int Claimed = 0;
    bool Failed[kFakeIds] = {};
    PDEVICE_OBJECT Targets[kFakeIds] = {};      // referenced while bound, as a driver does
    bool TargetAliveAtRemoval = false;
    int LinkOf[kFakeIds] = {};                  // which of the two links each path is on
    PVOID Named = nullptr;                      // a path to name whatever the identifiers say
    PVOID NewPath = nullptr;                    // what invalidation answers, if set
    std::string Unwritten;                      // the entry point that leaves its output unwritten
    // While set, categorisation waits for the test once it has the
    // identifier list, and says it has it.
    bool HoldCategorize = false;
    bool Categorizing = false;
    // The same for error interpretation.
    bool HoldInterpret = false;
    bool Interpreting = false;
    bool RetryAll = false;                      // every error is to be retried
    std::condition_variable Changed;
    std::atomic<int> Completions{0};
    std::atomic<int> CompletionsElsewhere{0};   // on a thread other than the test's
    std::thread::id TestThread;

    void Record(const char *name)
    {
        std::lock_guard<std::mutex> hold(Lock);
        Calls.emplace_back(name, KeGetCurrentIrql());
    }
    std::vector<std::string> Names(const std::string &prefix)
    {
        std::lock_guard<std::mutex> hold(Lock);
        std::vector<std::string> names;
        for (const auto &call : Calls) {
            if (call.first.rfind(prefix, 0) == 0) {
                names.push_back(call.first);
            }
        }
        return names;
    }
};

FakeDsm *g_fake;
int g_pathTokens[kFakeIds];
int g_context;

int IndexOf(PVOID id)
{
    return (int)(static_cast<int *>(id) - g_pathTokens);
}

NTSTATUS NTAPI FakeInquire(PVOID, PDEVICE_OBJECT target, PDEVICE_OBJECT, PSTORAGE_DEVICE_DESCRIPTOR,
                           PSTORAGE_DEVICE_ID_DESCRIPTOR, PVOID *id)
{
    g_fake->Record("DsmInquireDriver");
    SCSI_ADDRESS address{};
    mpio::Host::Current()->ScsiAddressOf(target, &address);
    g_fake->LinkOf[g_fake->Claimed] = address.PortNumber - 2;
    *id = &g_pathTokens[g_fake->Claimed++];
    return STATUS_SUCCESS;
}
BOOLEAN NTAPI FakeCompare(PVOID, PVOID, PVOID)
{
    g_fake->Record("DsmCompareDevices");
    return TRUE;
}
// One serial for the one drive, in pool MPIO frees: a disk whose devices
// have all gone is known again by it.
PCHAR NTAPI FakeSerial(PVOID, PVOID)
{
    static const char kSerial[] = "FAKE0001";
    auto *serial = static_cast<PCHAR>(ExAllocatePoolWithTag(NonPagedPool, sizeof(kSerial), host::Tag("Fake")));
    if (serial != nullptr) {
        memcpy(serial, kSerial, sizeof(kSerial));
    }
    return serial;
}
NTSTATUS NTAPI FakeControllerInfo(PVOID, PVOID, ULONG, PCONTROLLER_INFO *) { return STATUS_NOT_SUPPORTED; }
NTSTATUS NTAPI FakeSetDeviceInfo(PVOID, PDEVICE_OBJECT target, PVOID id, PVOID *pathId)
{
    host::RequirePassive("DsmSetDeviceInfo");
    g_fake->Record("DsmSetDeviceInfo");
    ObReferenceObject(target);
    g_fake->Targets[IndexOf(id)] = target;
    *pathId = id;
    return STATUS_SUCCESS;
}
BOOLEAN NTAPI FakeIsPathActive(PVOID, PVOID pathId, PVOID)
{
    g_fake->Record("DsmIsPathActive");
    std::lock_guard<std::mutex> hold(g_fake->Lock);
    return !g_fake->Failed[IndexOf(pathId)];
}
// Verification asks the storage itself, as the driver's TEST UNIT READY does.
array::SimulatedArray *g_array;
NTSTATUS NTAPI FakePathVerify(PVOID, PVOID id, PVOID)
{
    host::RequirePassive("DsmPathVerify");
    g_fake->Record("DsmPathVerify");
    const uint8_t tur[6] = {SCSIOP_TEST_UNIT_READY};
    array::Command command;
    command.Cdb = tur;
    command.CdbLength = sizeof(tur);
    int index = IndexOf(id);
    uint32_t link = (uint32_t)g_fake->LinkOf[index];
    array::Result result = g_array->Execute(array::Nexus{256 + 2 + link, link, 0}, command);
    if (result.Outcome != array::Transport::Completed) {
        return STATUS_UNSUCCESSFUL;
    }
    std::lock_guard<std::mutex> hold(g_fake->Lock);
    g_fake->Failed[index] = false;
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI FakeInvalidate(PVOID, ULONG, PVOID pathId, PVOID *newPath)
{
    g_fake->Record("DsmInvalidatePath");
    std::lock_guard<std::mutex> hold(g_fake->Lock);
    g_fake->Failed[IndexOf(pathId)] = true;
    if (g_fake->Unwritten != "DsmInvalidatePath") {
        *newPath = g_fake->NewPath;
    }
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI FakeMove(PVOID, PDSM_IDS, PVOID, PVOID, ULONG) { return STATUS_SUCCESS; }
NTSTATUS NTAPI FakeRemovePending(PVOID, PVOID id)
{
    g_fake->Record(("DsmRemovePending " + std::to_string(IndexOf(id))).c_str());
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI FakeRemoveDevice(PVOID, PVOID id, PVOID)
{
    g_fake->Record(("DsmRemoveDevice " + std::to_string(IndexOf(id))).c_str());
    std::lock_guard<std::mutex> hold(g_fake->Lock);
    g_fake->Changed.notify_all();
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI FakeRemovePath(PVOID, PVOID id)
{
    g_fake->Record(("DsmRemovePath " + std::to_string(IndexOf(id))).c_str());
    // MPIO deletes the device object once it has marked the path removed.
    g_fake->TargetAliveAtRemoval = mpio::Host::Current()->StateOf((size_t)IndexOf(id)) == mpio::PathState::Removing;
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI FakeDeviceControl(PVOID, PDSM_IDS, PIRP irp, PSCSI_REQUEST_BLOCK srb, PKEVENT event)
{
    host::RequirePassive("DsmSrbDeviceControl");
    g_fake->Record("DsmSrbDeviceControl");
    irp->IoStatus.Status = STATUS_SUCCESS;
    srb->SrbStatus = SRB_STATUS_SUCCESS;
    KeSetEvent(event, 0, FALSE);
    return STATUS_SUCCESS;
}
// The first path not failed; with none, the first (failed) one, as a
// driver falls back to a failed path.
PVOID NTAPI FakeGetPath(PVOID, PSCSI_REQUEST_BLOCK, PDSM_IDS ids, PVOID, NTSTATUS *status)
{
    g_fake->Record("DsmLBGetPath");
    std::lock_guard<std::mutex> hold(g_fake->Lock);
    if (g_fake->Unwritten != "DsmLBGetPath") {
        *status = STATUS_SUCCESS;
    }
    if (g_fake->Named != nullptr) {
        return g_fake->Named;
    }
    for (int i = 0; i < g_fake->Claimed; i++) {
        if (!g_fake->Failed[i] && std::find(ids->IdList, ids->IdList + ids->Count, &g_pathTokens[i]) !=
                                      ids->IdList + ids->Count) {
            return &g_pathTokens[i];
        }
    }
    return ids->IdList[0];
}
ULONG NTAPI FakeInterpret(PVOID, PVOID, PSCSI_REQUEST_BLOCK srb, NTSTATUS *, PBOOLEAN retry)
{
    g_fake->Record("DsmInterpretError");
    {
        std::unique_lock<std::mutex> hold(g_fake->Lock);
        g_fake->Interpreting = true;
        g_fake->Changed.notify_all();
        g_fake->Changed.wait(hold, [] { return !g_fake->HoldInterpret; });
        g_fake->Interpreting = false;
        if (g_fake->RetryAll) {
            *retry = TRUE;
            return 0;
        }
    }
    *retry = SRB_STATUS(srb->SrbStatus) == SRB_STATUS_BUSY;
    return SRB_STATUS(srb->SrbStatus) == SRB_STATUS_SELECTION_TIMEOUT ? DSM_FATAL_ERROR : 0;
}
NTSTATUS NTAPI FakeUnload(PVOID) { return STATUS_SUCCESS; }
VOID NTAPI FakeCompletion(PVOID, PIRP, PSCSI_REQUEST_BLOCK, PVOID)
{
    g_fake->Record("DSM completion routine");
    g_fake->Completions++;
    if (std::this_thread::get_id() != g_fake->TestThread) {
        g_fake->CompletionsElsewhere++;
    }
}
VOID NTAPI FakeSetCompletion(PVOID, PVOID, PIRP, PSCSI_REQUEST_BLOCK, PDSM_COMPLETION_INFO completion)
{
    g_fake->Record("DsmSetCompletion");
    completion->DsmCompletionRoutine = FakeCompletion;
    completion->DsmContext = nullptr;
}
ULONG NTAPI FakeCategorize(PVOID context, PDSM_IDS ids, PIRP, PSCSI_REQUEST_BLOCK srb, PVOID current, PVOID *path,
                           NTSTATUS *status)
{
    g_fake->Record("DsmCategorizeRequest");
    {
        std::unique_lock<std::mutex> hold(g_fake->Lock);
        g_fake->Categorizing = true;
        g_fake->Changed.notify_all();
        g_fake->Changed.wait(hold, [] { return !g_fake->HoldCategorize; });
        // A driver forgets a removed device's identifier: one in the list
        // it is handed must not have been removed yet.
        for (ULONG i = 0; i < ids->Count; i++) {
            std::string removed = "DsmRemoveDevice " + std::to_string(IndexOf(ids->IdList[i]));
            for (const auto &call : g_fake->Calls) {
                EXPECT_NE(call.first, removed) << "categorised with an identifier already removed";
            }
        }
        g_fake->Categorizing = false;
    }
    if (srb != nullptr && srb->Cdb[0] == SCSIOP_RESERVE_UNIT) {
        return DSM_CATEGORY_CARRIED_OUT_BY_DSM;
    }
    NTSTATUS chosenStatus = STATUS_SUCCESS;
    PVOID chosen = FakeGetPath(context, srb, ids, current, &chosenStatus);
    *status = chosenStatus;
    if (g_fake->Unwritten != "DsmCategorizeRequest") {
        *path = chosen;
    }
    return DSM_CATEGORY_PATH_CHOSEN;
}
NTSTATUS NTAPI FakeBroadcast(PVOID, PDSM_IDS, PIRP, PSCSI_REQUEST_BLOCK, PKEVENT) { return STATUS_SUCCESS; }
// One data block of four bytes; the status it answers is the test's.
const GUID kFakeBlockGuid = {0x5A3C0E71, 0x2B4D, 0x4E8F, {0x91, 0x0A, 0x6C, 0x2E, 0x47, 0xD3, 0x88, 0x15}};
WMIGUIDREGINFO g_fakeGuids[] = {{&kFakeBlockGuid, 1, 0}};
NTSTATUS g_fakeBlockStatus = STATUS_SUCCESS;
NTSTATUS NTAPI FakeQueryBlock(PVOID, PDSM_IDS, PIRP, ULONG, ULONG, ULONG, PULONG lengths, ULONG, PUCHAR,
                              PULONG dataLength)
{
    g_fake->Record("QueryWmiDataBlock");
    if (g_fake->Unwritten != "DataLength") {
        *dataLength = g_fakeBlockStatus == STATUS_BUFFER_TOO_SMALL ? 1u << 16 : 4;
    }
    if (g_fake->Unwritten != "InstanceLengthArray" && NT_SUCCESS(g_fakeBlockStatus)) {
        lengths[0] = 4;
    }
    return g_fakeBlockStatus;
}

DSM_INIT_DATA g_record;

std::vector<std::string> g_verifierMessages;
void CollectVerifier(const std::string &message) { g_verifierMessages.push_back(message); }

NTSTATUS NTAPI FakeEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    g_record = DSM_INIT_DATA{};
    g_record.InitDataSize = sizeof(g_record);
    g_record.DsmInquireDriver = FakeInquire;
    g_record.DsmCompareDevices = FakeCompare;
    g_record.DsmGetSerialNumber = FakeSerial;
    g_record.DsmGetControllerInfo = FakeControllerInfo;
    g_record.DsmSetDeviceInfo = FakeSetDeviceInfo;
    g_record.DsmIsPathActive = FakeIsPathActive;
    g_record.DsmPathVerify = FakePathVerify;
    g_record.DsmInvalidatePath = FakeInvalidate;
    g_record.DsmMoveDevice = FakeMove;
    g_record.DsmRemovePending = FakeRemovePending;
    g_record.DsmRemoveDevice = FakeRemoveDevice;
    g_record.DsmRemovePath = FakeRemovePath;
    g_record.DsmSrbDeviceControl = FakeDeviceControl;
    g_record.DsmLBGetPath = FakeGetPath;
    g_record.DsmInterpretError = FakeInterpret;
    g_record.DsmUnload = FakeUnload;
    g_record.DsmSetCompletion = FakeSetCompletion;
    g_record.DsmCategorizeRequest = FakeCategorize;
    g_record.DsmBroadcastSrb = FakeBroadcast;
    g_record.DsmContext = &g_context;
    g_record.DsmWmiInfo.GuidCount = 1;
    g_record.DsmWmiInfo.GuidList = g_fakeGuids;
    g_record.DsmWmiInfo.QueryWmiDataBlock = FakeQueryBlock;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\DosDevices\\MPIOControl");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT control = nullptr;
    NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &control);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG mpioContext = 0;
    IO_STATUS_BLOCK ioStatus{};
    DsmSendDeviceIoControlSynchronous(IOCTL_MPIO_REGISTER_DSM, control, &g_record, &mpioContext, sizeof(g_record),
                                      sizeof(mpioContext), TRUE, &ioStatus);
    ObDereferenceObject(file);
    return ioStatus.Status;
}

// In front of the array: holds every command addressed at or past
// kStalledFrom while closed, as a path whose link hangs holds what was
// sent down it, until the test opens it.
class Gate : public array::ScsiTarget {
public:
    static constexpr uint32_t kStalledFrom = 1000;

    void Bind(array::ScsiTarget *inner) { inner_ = inner; }
    void Close()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = false;
        changed_.notify_all();
    }
    size_t Holding()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return holding_;
    }
    // Runs once, as the port's next link probe (a 36-byte standard
    // INQUIRY) reaches the storage.
    void AtNextProbe(std::function<void()> action)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        atProbe_ = std::move(action);
    }

    array::Result Execute(const array::Nexus &nexus, const array::Command &command) override
    {
        if (command.CdbLength == 6 && command.Cdb[0] == SCSIOP_INQUIRY && command.Cdb[1] == 0 &&
            command.Cdb[4] == 36) {
            std::function<void()> action;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                action.swap(atProbe_);
            }
            if (action) {
                action();
            }
        }
        const bool stalls = command.CdbLength == 10 && command.Cdb[0] == SCSIOP_WRITE &&
                            ((uint32_t)command.Cdb[2] << 24 | (uint32_t)command.Cdb[3] << 16 |
                             (uint32_t)command.Cdb[4] << 8 | command.Cdb[5]) >= kStalledFrom;
        if (stalls) {
            std::unique_lock<std::mutex> lock(mutex_);
            holding_++;
            changed_.wait(lock, [this] { return !closed_; });
            holding_--;
        }
        return inner_->Execute(nexus, command);
    }

private:
    array::ScsiTarget *inner_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool closed_ = false;
    size_t holding_ = 0;
    std::function<void()> atProbe_;
};

class MpioFailoverTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        fake_ = std::make_unique<FakeDsm>();
        fake_->TestThread = std::this_thread::get_id();
        g_fake = fake_.get();
        AttachArray({0});
        g_array = array_.get();
        // Host port 2 reaches target port 0, host port 3 target port 1.
        topology_.Paths = {{2, 0, 0, 0}, {3, 0, 0, 1}};
        // Verification on, and more often than the removal period, so a
        // path that returns is found while requests wait for it.
        options_.PathVerifyEnabled = true;
        options_.PathVerificationPeriodMs = 5000;
        BeforeDiscovery();
        host_ = std::make_unique<mpio::Host>(options_);
        ASSERT_EQ(host_->LoadDriver(FakeEntry, "fakedsm"), STATUS_SUCCESS);
        gate_.Bind(array_.get());
        host_->Discover(&gate_, topology_);
        ASSERT_EQ(host_->Disks().size(), 1u);
    }

    void TearDown() override
    {
        host_.reset();
        for (PDEVICE_OBJECT target : fake_->Targets) {
            if (target != nullptr) {
                ObDereferenceObject(target);
            }
        }
        g_fake = nullptr;
        gate_.Open();
        DriverTest::TearDown();
    }

    // Lets everything due by then happen: timers, MPIO's work, the port.
    void Pass(uint64_t milliseconds)
    {
        host::ClockAdvance(milliseconds);
        host::DrainWorkItems();
        host_->WaitIdle();
        host::DrainWorkItems();
    }

    virtual void BeforeDiscovery() {}

    // The first path's link goes; a request meets it down and fails
    // over, and past the link-down time its device is removed.
    void LoseFirstPath()
    {
        LinkDown(0);
        uint8_t block[512] = {};
        ASSERT_EQ(host_->Write(0, 0, 1, block).Status, STATUS_SUCCESS);
        Pass(options_.LinkDownTimeMs);
        ASSERT_EQ(host_->StateOf(0), mpio::PathState::Removed);
    }

    // The first path's link goes and the DSM keeps naming it: a write
    // fails over more often than the disk has paths and is held though
    // the second path lives, which starts the disk's removal timer.
    // Verification then releases it down the live path.
    void HoldWhileAPathLives()
    {
        LinkDown(0);
        {
            std::lock_guard<std::mutex> hold(fake_->Lock);
            fake_->Named = &g_pathTokens[0];
        }
        uint8_t block[512] = {5};
        auto misrouted = host_->SubmitWrite(0, 2, 1, block);
        host_->WaitIdle();
        ASSERT_EQ(host_->HeldRequests(0), 1u);
        ASSERT_EQ(host_->StateOf(1), mpio::PathState::Live);
        {
            std::lock_guard<std::mutex> hold(fake_->Lock);
            fake_->Named = nullptr;
        }
        Pass(options_.PathVerificationPeriodMs);
        ASSERT_TRUE(misrouted->Done());
        ASSERT_EQ(misrouted->Wait().Status, STATUS_SUCCESS);
    }

    // Holds or lets go of an entry point of the fake DSM (HoldCategorize,
    // HoldInterpret), and waits until one is held (Categorizing,
    // Interpreting).
    void SetFlag(bool FakeDsm::*flag, bool value)
    {
        std::lock_guard<std::mutex> hold(fake_->Lock);
        fake_.get()->*flag = value;
        fake_->Changed.notify_all();
    }
    void WaitFor(bool FakeDsm::*flag)
    {
        std::unique_lock<std::mutex> hold(fake_->Lock);
        fake_->Changed.wait(hold, [&] { return fake_.get()->*flag; });
    }

    void LinkDown(uint32_t targetPort) { array_->SetFault(array::Scope::OnTargetPort(targetPort), array::Fault::LinkDown); }
    void LinkUp(uint32_t targetPort) { array_->ClearFault(array::Scope::OnTargetPort(targetPort), array::Fault::LinkDown); }

    mpio::HostOptions options_;
    std::unique_ptr<FakeDsm> fake_;
    Gate gate_;
};

// Each path is bound, verified at PASSIVE_LEVEL and asked whether it is
// active at DISPATCH_LEVEL, in that order, before any request uses it.
TEST_F(MpioFailoverTest, APathIsBoundVerifiedAndActivatedBeforeUse)
{
    std::vector<std::pair<std::string, KIRQL>> expected;
    for (int i = 0; i < kFakePaths; i++) {
        expected.emplace_back("DsmInquireDriver", PASSIVE_LEVEL);
        if (i != 0) {
            expected.emplace_back("DsmCompareDevices", DISPATCH_LEVEL);
        }
        expected.emplace_back("DsmSetDeviceInfo", PASSIVE_LEVEL);
        expected.emplace_back("DsmPathVerify", PASSIVE_LEVEL);
        expected.emplace_back("DsmIsPathActive", DISPATCH_LEVEL);
    }
    EXPECT_EQ(fake_->Calls, expected);
    for (size_t i = 0; i < host_->Devices().size(); i++) {
        EXPECT_EQ(host_->StateOf(i), mpio::PathState::Live);
        EXPECT_EQ(host_->Devices()[i].PathId, &g_pathTokens[i]);
    }

    // Routing and completion at DISPATCH_LEVEL; the DSM's own requests at PASSIVE_LEVEL.
    fake_->Calls.clear();
    uint8_t block[512] = {};
    ASSERT_EQ(host_->Write(0, 1, 1, block).Status, STATUS_SUCCESS);
    ASSERT_EQ(host_->Scsi(0, {SCSIOP_RESERVE_UNIT, 0, 0, 0, 0, 0}, nullptr, 0, false).Status, STATUS_SUCCESS);
    expected = {{"DsmCategorizeRequest", DISPATCH_LEVEL}, {"DsmLBGetPath", DISPATCH_LEVEL},
                {"DsmSetCompletion", DISPATCH_LEVEL},     {"DSM completion routine", DISPATCH_LEVEL},
                {"DsmCategorizeRequest", DISPATCH_LEVEL}, {"DsmSrbDeviceControl", PASSIVE_LEVEL}};
    EXPECT_EQ(fake_->Calls, expected);
}

// A DSM whose verification is PASSIVE-only is caught if MPIO verifies
// from its timer's DPC.
TEST_F(MpioFailoverTest, PassiveOnlyEntryPointsAreNeverCalledFromADpc)
{
    LinkDown(0);
    uint8_t block[512] = {};
    ASSERT_EQ(host_->Write(0, 0, 1, block).Status, STATUS_SUCCESS);   // failed over to path 1
    ASSERT_EQ(host_->StateOf(0), mpio::PathState::Failed);
    LinkUp(0);
    fake_->Calls.clear();
    host::ClockAdvance(options_.PathVerificationPeriodMs);
    EXPECT_TRUE(fake_->Names("DsmPathVerify").empty()) << "verification waits for the work item";
    EXPECT_EQ(host::DrainWorkItems(), 1u);
    EXPECT_EQ(fake_->Calls.front(), std::make_pair(std::string("DsmPathVerify"), (KIRQL)PASSIVE_LEVEL));
    EXPECT_EQ(host_->StateOf(0), mpio::PathState::Live);
}

// Many requests in flight at once, completed on the port's threads.
TEST_F(MpioFailoverTest, ManyRequestsInFlightCompleteOnThePortsThreads)
{
    constexpr int kRequests = 64;
    std::vector<std::vector<uint8_t>> blocks(kRequests, std::vector<uint8_t>(512));
    std::vector<std::shared_ptr<mpio::PendingIo>> pending;
    std::atomic<int> called{0};
    for (int i = 0; i < kRequests; i++) {
        std::fill(blocks[i].begin(), blocks[i].end(), (uint8_t)i);
        pending.push_back(host_->SubmitWrite(0, i, 1, blocks[i].data(), [&](const mpio::IoResult &) { called++; }));
    }
    for (auto &io : pending) {
        EXPECT_EQ(io->Wait().Status, STATUS_SUCCESS);
    }
    EXPECT_EQ(called.load(), kRequests);
    EXPECT_EQ(fake_->CompletionsElsewhere.load(), kRequests);
    for (int i = 0; i < kRequests; i++) {
        uint8_t read[512];
        ASSERT_EQ(host_->Read(0, i, 1, read).Status, STATUS_SUCCESS);
        EXPECT_EQ(read[100], (uint8_t)i);
    }
}

// Requests held at the storage (a hung link) do not hold up the ones
// behind them: the port carries each out on its own, as a port driver
// times each request out on its own.
TEST_F(MpioFailoverTest, RequestsStalledAtTheStorageDoNotHoldUpOthers)
{
    constexpr int kStalled = 8;
    uint8_t block[512] = {};
    gate_.Close();
    std::vector<std::shared_ptr<mpio::PendingIo>> stalled;
    for (int i = 0; i < kStalled; i++) {
        stalled.push_back(host_->SubmitWrite(0, Gate::kStalledFrom + i, 1, block));
    }
    auto waitFor = [](auto done) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    };
    EXPECT_TRUE(waitFor([&] { return gate_.Holding() == (size_t)kStalled; })) << gate_.Holding() << " at the storage";
    // With every stalled request at the storage, another still gets through.
    auto other = host_->SubmitWrite(0, 5, 1, block);
    EXPECT_TRUE(waitFor([&] { return other->Done(); }));
    gate_.Open();
    EXPECT_EQ(other->Wait().Status, STATUS_SUCCESS);
    for (auto &io : stalled) {
        EXPECT_EQ(io->Wait().Status, STATUS_SUCCESS);
    }
}

// The class driver gives each request the disk class's timeout, and the
// port times out a request the storage never answers once that much has
// passed on the clock, not before.
class MpioHungLinkTest : public MpioFailoverTest {
protected:
    static constexpr ULONG kTimeOutValue = 25;

    void BeforeDiscovery() override
    {
        host::RegistrySetDword(kDiskKey, "TimeOutValue", kTimeOutValue);
    }

    // Stops the host while the DPC of the port's timer for a request down
    // the hung path runs on another thread (the one moving the clock, or
    // a processor), inside DsmInterpretError: too late for the stop's
    // cancel.  The DPC goes on once the stop has cancelled MPIO's timers.
    // The request's completions are counted.
    std::shared_ptr<mpio::PendingIo> StopWhileTheTimeoutDpcRuns(std::atomic<int> *completions)
    {
        array_->SetFault(array::Scope::OnTargetPort(0), array::Fault::NoAnswer);
        auto io = host_->SubmitWrite(0, 0, 1, block_, [completions](const mpio::IoResult &) { (*completions)++; });
        host_->WaitIdle();
        SetFlag(&FakeDsm::HoldInterpret, true);
        std::thread clock([] { host::ClockAdvance(kTimeOutValue * 1000); });
        WaitFor(&FakeDsm::Interpreting);
        host_->OnStopping([this] { SetFlag(&FakeDsm::HoldInterpret, false); });
        host_.reset();
        clock.join();
        return io;
    }

    uint8_t block_[512] = {};
};

TEST_F(MpioHungLinkTest, ARequestDownAHungPathTimesOutAfterTheSrbTimeOutValue)
{
    array_->SetFault(array::Scope::OnTargetPort(0), array::Fault::NoAnswer);
    uint8_t block[512] = {};
    auto io = host_->SubmitWrite(0, 0, 1, block);
    host_->WaitIdle();
    Pass(kTimeOutValue * 1000 - 1);
    EXPECT_FALSE(io->Done()) << "timed out before its TimeOutValue";
    EXPECT_EQ(fake_->Completions.load(), 0);
    // The storage answering later changes nothing: the command was lost.
    array_->ClearFault(array::Scope::OnTargetPort(0), array::Fault::NoAnswer);
    Pass(1);
    ASSERT_TRUE(io->Done());
    EXPECT_EQ(io->Wait().SrbStatus, SRB_STATUS_TIMEOUT);
    EXPECT_EQ(io->Wait().Status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(fake_->Names("DsmInterpretError").size(), 1u);
}

// A device that leaves ends what the port was timing out on it: its
// removal does not wait for the clock, and the request fails over.
TEST_F(MpioHungLinkTest, ARemovedDeviceEndsTheRequestsTheStorageNeverAnswered)
{
    array_->SetFault(array::Scope::OnTargetPort(0), array::Fault::NoAnswer);
    uint8_t block[512] = {};
    auto io = host_->SubmitWrite(0, 0, 1, block);
    host_->WaitIdle();
    EXPECT_FALSE(io->Done());
    ASSERT_TRUE(host_->RemoveDevice(0));
    host_->WaitIdle();
    ASSERT_TRUE(io->Done());
    EXPECT_EQ(io->Wait().Status, STATUS_SUCCESS);
    EXPECT_EQ(io->Wait().Path, &g_pathTokens[1]);
    EXPECT_EQ(fake_->Names("DsmRemoveDevice 0").size(), 1u);
}

// A busy array is retried after each retry interval, up to the count.
TEST_F(MpioFailoverTest, ARetryIsSentAgainAfterTheIntervalUpToTheCount)
{
    array_->SetFault(array::Scope::OnTargetPort(0), array::Fault::Busy);
    uint8_t block[512] = {};
    auto io = host_->SubmitWrite(0, 0, 1, block);
    host_->WaitIdle();
    for (ULONG attempt = 1; attempt <= options_.RetryCount; attempt++) {
        EXPECT_EQ(fake_->Names("DsmInterpretError").size(), attempt);
        host::ClockAdvance(options_.RetryIntervalMs - 1);
        host_->WaitIdle();
        EXPECT_EQ(fake_->Names("DsmInterpretError").size(), attempt) << "resent before the interval";
        Pass(1);
    }
    ASSERT_TRUE(io->Done());
    EXPECT_EQ(io->Wait().Status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(fake_->Names("DsmInterpretError").size(), options_.RetryCount + 1);

    // A retry that meets a ready array succeeds.
    auto second = host_->SubmitWrite(0, 0, 1, block);
    host_->WaitIdle();
    array_->ClearFault(array::Scope::OnTargetPort(0), array::Fault::Busy);
    Pass(options_.RetryIntervalMs);
    EXPECT_EQ(second->Wait().Status, STATUS_SUCCESS);
}

// A path failure invalidates the path and the request completes on the
// other path with its data intact.
TEST_F(MpioFailoverTest, APathFailureFailsOverAndTheDataArrives)
{
    std::vector<uint8_t> written(512);
    std::iota(written.begin(), written.end(), 3);
    LinkDown(0);
    mpio::IoResult write = host_->Write(0, 9, 1, written.data());
    ASSERT_EQ(write.Status, STATUS_SUCCESS);
    EXPECT_EQ(write.Path, &g_pathTokens[1]);
    EXPECT_EQ(host_->StateOf(0), mpio::PathState::Failed);
    EXPECT_EQ(fake_->Names("DsmInvalidatePath").size(), 1u);
    // Two attempts, each counted out by the DSM's completion.
    EXPECT_EQ(fake_->Completions.load(), 2);
    LinkUp(0);
    std::vector<uint8_t> read(512);
    ASSERT_EQ(host_->Read(0, 9, 1, read.data()).Status, STATUS_SUCCESS);
    EXPECT_EQ(read, written);
}

// The resend after a path failure goes down the path invalidation gave,
// without asking the DSM again.
TEST_F(MpioFailoverTest, TheResendTakesThePathInvalidationGives)
{
    fake_->NewPath = &g_pathTokens[1];
    LinkDown(0);
    fake_->Calls.clear();
    uint8_t block[512] = {};
    mpio::IoResult write = host_->Write(0, 2, 1, block);
    EXPECT_EQ(write.Status, STATUS_SUCCESS);
    EXPECT_EQ(write.Path, &g_pathTokens[1]);
    EXPECT_EQ(fake_->Names("DsmLBGetPath").size(), 1u) << "asked once, by categorisation";
    EXPECT_EQ(fake_->Names("DsmInvalidatePath").size(), 1u);
}

// An output the DSM leaves unwritten is caught: MPIO poisons each before
// the call.
TEST_F(MpioFailoverTest, AnOutputLeftUnwrittenIsCaught)
{
    const struct {
        const char *EntryPoint;
        const char *Output;
        bool PathFails;
    } cases[] = {
        {"DsmCategorizeRequest", "PathId", false},
        {"DsmInvalidatePath", "NewPathId", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.EntryPoint);
        fake_->Unwritten = c.EntryPoint;
        if (c.PathFails) {
            LinkDown(0);
        }
        g_verifierMessages.clear();
        host::SetVerifierHandler(CollectVerifier);
        uint8_t block[512] = {};
        host_->Write(0, 2, 1, block);
        host::SetVerifierHandler(nullptr);
        ASSERT_FALSE(g_verifierMessages.empty());
        EXPECT_NE(g_verifierMessages[0].find(c.EntryPoint), std::string::npos) << g_verifierMessages[0];
        EXPECT_NE(g_verifierMessages[0].find(c.Output), std::string::npos) << g_verifierMessages[0];
        fake_->Unwritten.clear();
        LinkUp(0);
    }
    // DsmLBGetPath's Status, on a request routed again after a retry.
    fake_->Unwritten = "DsmLBGetPath";
    array_->SetFault(array::Scope::OnTargetPort(1), array::Fault::Busy);
    array_->SetFault(array::Scope::OnTargetPort(0), array::Fault::Busy);
    g_verifierMessages.clear();
    host::SetVerifierHandler(CollectVerifier);
    uint8_t block[512] = {};
    auto io = host_->SubmitWrite(0, 2, 1, block);
    host_->WaitIdle();
    array_->ClearFault(array::Scope::OnTargetPort(0), array::Fault::Busy);
    array_->ClearFault(array::Scope::OnTargetPort(1), array::Fault::Busy);
    Pass(options_.RetryIntervalMs);
    io->Wait();
    host::SetVerifierHandler(nullptr);
    ASSERT_FALSE(g_verifierMessages.empty());
    EXPECT_NE(g_verifierMessages.back().find("DsmLBGetPath"), std::string::npos) << g_verifierMessages.back();
    fake_->Unwritten.clear();
}

// So are the sizes a WMI query's callback owes: the instance's length
// when it succeeds, the bytes used or wanted when it succeeds or finds
// the buffer too small.
TEST_F(MpioFailoverTest, AWmiSizeLeftUnwrittenIsCaught)
{
    const struct {
        const char *Output;
        NTSTATUS Status;
    } cases[] = {
        {"InstanceLengthArray", STATUS_SUCCESS},
        {"DataLength", STATUS_SUCCESS},
        {"DataLength", STATUS_BUFFER_TOO_SMALL},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.Output) + (NT_SUCCESS(c.Status) ? ", success" : ", too small"));
        fake_->Unwritten = c.Output;
        g_fakeBlockStatus = c.Status;
        g_verifierMessages.clear();
        host::SetVerifierHandler(CollectVerifier);
        std::vector<uint8_t> data;
        host_->WmiQuerySingleInstance(kFakeBlockGuid, mpio::Host::WmiInstanceName(0), &data);
        host::SetVerifierHandler(nullptr);
        ASSERT_FALSE(g_verifierMessages.empty());
        EXPECT_NE(g_verifierMessages[0].find("QueryWmiDataBlock"), std::string::npos) << g_verifierMessages[0];
        EXPECT_NE(g_verifierMessages[0].find(c.Output), std::string::npos) << g_verifierMessages[0];
        EXPECT_EQ(fake_->Names("QueryWmiDataBlock").size(), 1u) << "a size never written is not a size to offer";
        fake_->Calls.clear();
    }
    fake_->Unwritten.clear();
    g_fakeBlockStatus = STATUS_SUCCESS;
    std::vector<uint8_t> data;
    EXPECT_EQ(host_->WmiQuerySingleInstance(kFakeBlockGuid, mpio::Host::WmiInstanceName(0), &data), STATUS_SUCCESS);
    EXPECT_EQ(data.size(), 4u);
}

// Every path down: requests are held, not failed; a path that returns
// within the removal period carries them.
TEST_F(MpioFailoverTest, HeldRequestsAreCarriedByAPathThatReturns)
{
    LinkDown(0);
    LinkDown(1);
    uint8_t block[512] = {7};
    auto io = host_->SubmitWrite(0, 4, 1, block);
    host_->WaitIdle();
    EXPECT_FALSE(io->Done());
    EXPECT_EQ(host_->HeldRequests(0), 1u);
    EXPECT_EQ(host_->StateOf(0), mpio::PathState::Failed);
    EXPECT_EQ(host_->StateOf(1), mpio::PathState::Failed);

    Pass(options_.RetryIntervalMs);
    EXPECT_FALSE(io->Done()) << "no path has returned";
    LinkUp(1);
    // Found at MPIO's next verification, not before.
    Pass(options_.PathVerificationPeriodMs - options_.RetryIntervalMs - 1);
    EXPECT_FALSE(io->Done());
    Pass(1);
    ASSERT_TRUE(io->Done());
    EXPECT_EQ(io->Wait().Status, STATUS_SUCCESS);
    EXPECT_EQ(io->Wait().Path, &g_pathTokens[1]);
    EXPECT_EQ(host_->StateOf(1), mpio::PathState::Live);
    EXPECT_EQ(host_->HeldRequests(0), 0u);

    // The removal period stopped when the path came back: only the device
    // whose link stayed down goes, at the port's link-down time.
    Pass(options_.RemovalPeriodMs);
    EXPECT_EQ(fake_->Names("DsmRemove"),
              (std::vector<std::string>{"DsmRemovePending 0", "DsmRemoveDevice 0", "DsmRemovePath 0"}));
    EXPECT_EQ(host_->StateOf(1), mpio::PathState::Live);
}

// Links down past the port's link-down time take their devices away, in
// the platform's order for each; the disk still holds its requests for
// the rest of its removal period, then they fail and the disk goes.
TEST_F(MpioFailoverTest, PastTheRemovalPeriodHeldRequestsFailAndTheDiskGoes)
{
    LinkDown(0);
    LinkDown(1);
    uint8_t block[512] = {};
    auto io = host_->SubmitRead(0, 0, 1, block);
    host_->WaitIdle();
    Pass(options_.LinkDownTimeMs - options_.LinkProbeIntervalMs);
    EXPECT_TRUE(fake_->Names("DsmRemove").empty());
    Pass(options_.LinkProbeIntervalMs);
    EXPECT_EQ(fake_->Names("DsmRemove"),
              (std::vector<std::string>{"DsmRemovePending 0", "DsmRemoveDevice 0", "DsmRemovePath 0",
                                        "DsmRemovePending 1", "DsmRemoveDevice 1", "DsmRemovePath 1"}));
    EXPECT_EQ(host_->StateOf(0), mpio::PathState::Removed);
    Pass(options_.RemovalPeriodMs - options_.LinkDownTimeMs - options_.RetryIntervalMs);
    EXPECT_FALSE(io->Done());
    Pass(options_.RetryIntervalMs);
    ASSERT_TRUE(io->Done());
    EXPECT_EQ(io->Wait().Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(host_->Read(0, 0, 1, block).Status, STATUS_NO_SUCH_DEVICE);
}

// The removal period runs from the moment the disk's last path went.  A
// request held earlier while a path still lived (the DSM kept naming a
// dead one) started the disk's timer; that must not cut short a later
// outage: the disk keeps its requests and devices for the whole period
// after its last path goes, and a path back within it carries them.
TEST_F(MpioFailoverTest, TheRemovalPeriodRunsFromTheLossOfTheLastPath)
{
    ASSERT_NO_FATAL_FAILURE(HoldWhileAPathLives());
    uint8_t block[512] = {};

    // Well into that first timer's period, the last path goes too.
    Pass(options_.RemovalPeriodMs - options_.PathVerificationPeriodMs - 2 * options_.RetryIntervalMs);
    LinkDown(1);
    auto io = host_->SubmitRead(0, 2, 1, block);
    host_->WaitIdle();
    ASSERT_EQ(host_->HeldRequests(0), 1u);
    Pass(4 * options_.RetryIntervalMs);
    EXPECT_FALSE(io->Done()) << "failed " << 4 * options_.RetryIntervalMs << " ms into the outage";
    EXPECT_NE(host_->StateOf(1), mpio::PathState::Removed);

    LinkUp(1);
    Pass(options_.PathVerificationPeriodMs);
    ASSERT_TRUE(io->Done());
    EXPECT_EQ(io->Wait().Status, STATUS_SUCCESS);
    EXPECT_EQ(io->Wait().Path, &g_pathTokens[1]);
}

// The same old timer running out just as the port removes the disk's
// last device (the link-down time ends at the same moment): the disk
// still waits out its removal period, and a device that arrives within
// it carries the held request.
TEST_F(MpioFailoverTest, AnOldRemovalTimerDoesNotTakeTheDiskWithItsLastDevice)
{
    ASSERT_NO_FATAL_FAILURE(HoldWhileAPathLives());
    uint8_t block[512] = {};

    // The last path goes as long before the old timer's end as the
    // link-down time is shorter than the removal period.
    LinkDown(1);
    auto io = host_->SubmitRead(0, 2, 1, block);
    host_->WaitIdle();
    ASSERT_EQ(host_->HeldRequests(0), 1u);
    Pass(options_.LinkDownTimeMs);
    ASSERT_EQ(host_->StateOf(1), mpio::PathState::Removed);
    EXPECT_FALSE(io->Done()) << "failed " << options_.LinkDownTimeMs << " ms into the outage";

    LinkUp(1);
    Pass(options_.LinkProbeIntervalMs);
    ASSERT_TRUE(io->Done());
    EXPECT_EQ(io->Wait().Status, STATUS_SUCCESS);
    EXPECT_EQ(host_->Disks().size(), 1u) << "the device joined its disk";
}

// A link lost again just after it came back gets the whole link-down
// time before its devices go, and is probed until it returns.  Here the
// port's next probe comes due while it probes the returning link, and
// the link is down again when that probe runs: a fresh loss for the
// port, not the old one run out.
TEST_F(MpioFailoverTest, ALinkLostAgainKeepsItsDevicesForTheLinkDownTime)
{
    ASSERT_NO_FATAL_FAILURE(LoseFirstPath());
    LinkUp(0);
    gate_.AtNextProbe([this] {
        host::ClockAdvance(options_.LinkProbeIntervalMs);
        gate_.AtNextProbe([this] { LinkDown(0); });
    });
    Pass(options_.LinkProbeIntervalMs);
    ASSERT_EQ(host_->DeviceCount(), 3u) << "enumerated anew";
    EXPECT_EQ(host_->StateOf(2), mpio::PathState::Live) << "removed at once";
    Pass(options_.LinkDownTimeMs);
    EXPECT_EQ(host_->StateOf(2), mpio::PathState::Removed) << "kept past the link-down time";

    // Still probed, it is found when it returns.
    LinkUp(0);
    Pass(options_.LinkProbeIntervalMs);
    ASSERT_EQ(host_->DeviceCount(), 4u);
    EXPECT_EQ(host_->StateOf(3), mpio::PathState::Live);
}

// A link that returns after its devices went is enumerated again: MPIO
// offers the device as a new one, in the framework's order, and uses it
// once it is bound, verified and active.
TEST_F(MpioFailoverTest, AReturningLinkIsEnumeratedAndItsDeviceOfferedAnew)
{
    ASSERT_NO_FATAL_FAILURE(LoseFirstPath());
    uint8_t block[512] = {};
    fake_->Calls.clear();
    LinkUp(0);
    Pass(options_.LinkProbeIntervalMs);
    ASSERT_EQ(host_->Devices().size(), 3u);
    EXPECT_EQ(host_->StateOf(2), mpio::PathState::Live);
    std::vector<std::string> names;
    for (const auto &call : fake_->Calls) {
        if (call.first.rfind("Dsm", 0) == 0) {
            names.push_back(call.first);
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"DsmInquireDriver", "DsmCompareDevices", "DsmSetDeviceInfo",
                                               "DsmPathVerify", "DsmIsPathActive"}));
    // The new path carries requests.
    {
        std::lock_guard<std::mutex> hold(fake_->Lock);
        fake_->Failed[1] = true;
    }
    mpio::IoResult write = host_->Write(0, 1, 1, block);
    EXPECT_EQ(write.Status, STATUS_SUCCESS);
    EXPECT_EQ(write.Path, &g_pathTokens[2]);
}

// A device the storage takes away: its requests in flight go to the other
// path, the DSM hears the removal, and the device object goes last.
TEST_F(MpioFailoverTest, ARemovedPathFailsItsRequestsOverAndIsRemoved)
{
    std::vector<std::vector<uint8_t>> blocks(16, std::vector<uint8_t>(512, 0x5A));
    std::vector<std::shared_ptr<mpio::PendingIo>> pending;
    for (size_t i = 0; i < blocks.size(); i++) {
        pending.push_back(host_->SubmitWrite(0, i, 1, blocks[i].data()));
    }
    ASSERT_TRUE(host_->RemoveDevice(0));
    for (auto &io : pending) {
        EXPECT_EQ(io->Wait().Status, STATUS_SUCCESS);
    }
    EXPECT_EQ(fake_->Names("DsmRemove"),
              (std::vector<std::string>{"DsmRemovePending 0", "DsmRemoveDevice 0", "DsmRemovePath 0"}));
    EXPECT_EQ(host_->StateOf(0), mpio::PathState::Removed);
    EXPECT_TRUE(fake_->TargetAliveAtRemoval);
    IO_STATUS_BLOCK status{};
    host::DispatchDeviceControl(fake_->Targets[0], IOCTL_SCSI_PASS_THROUGH, nullptr, 0, nullptr, 0, false, &status);
    EXPECT_EQ(status.Status, STATUS_DEVICE_DOES_NOT_EXIST) << "the device object is gone";
    EXPECT_FALSE(host_->RemoveDevice(0));

    // A DSM that names the path after its removal notice is at fault: the
    // framework fails the request and counts it, and the verifier hears it.
    {
        std::lock_guard<std::mutex> hold(fake_->Lock);
        fake_->Named = &g_pathTokens[0];
    }
    g_verifierMessages.clear();
    host::SetVerifierHandler(CollectVerifier);
    uint8_t block[512];
    mpio::IoResult read = host_->Read(0, 3, 1, block);
    host::SetVerifierHandler(nullptr);
    EXPECT_EQ(read.Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(host_->RoutingFaults(), 1u);
    ASSERT_EQ(g_verifierMessages.size(), 1u);
    EXPECT_NE(g_verifierMessages[0].find("after DsmRemovePending"), std::string::npos) << g_verifierMessages[0];
}

// A removal that begins while a request has its disk's identifier list
// but has not yet been categorised: the DSM hears the notice at once, but
// is told to forget the device only once categorisation has returned, so
// it never meets an identifier it has already dropped.  The request goes
// down the path chosen from that list and fails over.
TEST_F(MpioFailoverTest, ARemovalWaitsForARequestCategorisedWithItsIdentifier)
{
    std::mutex mutex;
    std::vector<size_t> waited;
    host_->OnRemovalWaits([&](size_t device) {
        {
            std::lock_guard<std::mutex> hold(mutex);
            waited.push_back(device);
        }
        std::lock_guard<std::mutex> hold(g_fake->Lock);
        g_fake->Changed.notify_all();
    });
    {
        std::lock_guard<std::mutex> hold(fake_->Lock);
        fake_->HoldCategorize = true;
    }
    uint8_t block[512] = {0x33};
    std::shared_ptr<mpio::PendingIo> io;
    std::thread submitter([&] { io = host_->SubmitWrite(0, 6, 1, block); });
    {
        std::unique_lock<std::mutex> hold(fake_->Lock);
        fake_->Changed.wait(hold, [&] { return fake_->Categorizing; });
    }
    std::thread remover([&] { EXPECT_TRUE(host_->RemoveDevice(0)); });
    // The removal either waits for the request, or (wrongly) goes through.
    auto settled = [&] {
        std::lock_guard<std::mutex> hold(mutex);
        return !waited.empty() || std::find_if(fake_->Calls.begin(), fake_->Calls.end(), [](const auto &call) {
                                      return call.first == "DsmRemoveDevice 0";
                                  }) != fake_->Calls.end();
    };
    {
        std::unique_lock<std::mutex> hold(fake_->Lock);
        fake_->Changed.wait(hold, settled);
        fake_->HoldCategorize = false;
        fake_->Changed.notify_all();
    }
    EXPECT_EQ(waited, std::vector<size_t>{0});
    submitter.join();
    remover.join();
    EXPECT_EQ(io->Wait().Status, STATUS_SUCCESS);
    EXPECT_EQ(io->Wait().Path, &g_pathTokens[1]);
    EXPECT_EQ(fake_->Names("DsmRemove"),
              (std::vector<std::string>{"DsmRemovePending 0", "DsmRemoveDevice 0", "DsmRemovePath 0"}));
    EXPECT_EQ(host_->RoutingFaults(), 0u);
    host_->OnRemovalWaits(nullptr);
}

// The host stops while its port timer's DPC is still running: the stop
// waits for it, and the request is completed once, here by the DPC, the
// DSM having given up on it.
TEST_F(MpioHungLinkTest, AStopWaitsForTheDpcOfAnExpiredPortTimer)
{
    std::atomic<int> completions{0};
    auto io = StopWhileTheTimeoutDpcRuns(&completions);
    EXPECT_EQ(completions.load(), 1);
    EXPECT_EQ(io->Wait().Status, STATUS_IO_TIMEOUT);
}

// The same on two processors, with the DSM asking for a retry: the
// stopping host arms no timer for it and fails the request, once.
TEST_F(MpioHungLinkTest, AStopFailsOnceARequestItsDpcLeftForARetry)
{
    host::SetProcessors(2);
    fake_->RetryAll = true;
    std::atomic<int> completions{0};
    auto io = StopWhileTheTimeoutDpcRuns(&completions);
    EXPECT_EQ(completions.load(), 1);
    EXPECT_EQ(io->Wait().Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(host::ActiveTimers(), 0u) << "a timer armed after the stop's cancel";
}

// The host stops while its work item, past a disk's removal period, is
// failing the requests the disk held, on another thread: the stop waits
// for the work item before it fails what is left, so each request is
// completed once.
TEST_F(MpioFailoverTest, AStopWaitsForTheWorkItemFailingHeldRequests)
{
    LinkDown(0);
    LinkDown(1);
    std::mutex mutex;
    std::condition_variable changed;
    bool inside = false;
    bool release = false;
    std::atomic<bool> first{true};
    std::atomic<int> completions[2] = {};
    uint8_t blocks[2][512];
    std::vector<std::shared_ptr<mpio::PendingIo>> held;
    for (int i = 0; i < 2; i++) {
        held.push_back(host_->SubmitRead(0, i, 1, blocks[i], [&, i](const mpio::IoResult &) {
            completions[i]++;
            // The first completion holds the work item until the stop has begun.
            if (first.exchange(false)) {
                std::unique_lock<std::mutex> hold(mutex);
                inside = true;
                changed.notify_all();
                changed.wait(hold, [&] { return release; });
            }
        }));
    }
    host_->WaitIdle();
    Pass(options_.RemovalPeriodMs - 1);
    ASSERT_EQ(host_->HeldRequests(0), 2u);
    host::ClockAdvance(1);      // the removal period runs out: MPIO queues its work item
    std::thread worker([] { host::DrainWorkItems(); });
    {
        std::unique_lock<std::mutex> hold(mutex);
        changed.wait(hold, [&] { return inside; });
    }
    host_->OnStopping([&] {
        std::lock_guard<std::mutex> hold(mutex);
        release = true;
        changed.notify_all();
    });
    host_.reset();
    worker.join();
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(completions[i].load(), 1) << "request " << i;
        EXPECT_EQ(held[i]->Wait().Status, STATUS_NO_SUCH_DEVICE) << "request " << i;
    }
}

} // namespace
} // namespace tarntest
