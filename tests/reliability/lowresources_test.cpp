// Systematic low resources: each scenario runs once to count the failable
// calls the driver reaches, then once per call with that one failed,
// until a run reaches no more.  After every run the machine must show no
// verifier fault, the driver's lists must hang together, only the events
// of the scenario and of the failure may be written, every disk must
// serve I/O once memory returns, and with every device gone the driver
// must hold what it holds after a run with nothing failed.
//
// Each scenario prints one figure line ("low-resources <name>: ...").
// Start and claim are quick and run in CI; the others run by
// tools/reliability.sh.
#include "driverfixture.h"
#include "tarnwmi.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
#include <numeric>
#include <set>

namespace tarntest {
namespace {

constexpr ULONG kDdkTag = host::Tag("Ddk ");
const GUID kConfigGuid = TARN_CONFIG_INFO_GUID;
const GUID kDriveGuid = TARN_LD_INFO4_GUID;
const GUID kMethodsGuid = TARN_METHODS_GUID;
constexpr ULONG kSetPreferredPath = 2;

// What a failed call may make the driver write besides the scenario's
// own: no memory, a failed system call, a configuration value it could
// not read (and replaced by its default).
const std::set<NTSTATUS> kFailureEvents = {TARN_MSG_NO_MEMORY, TARN_MSG_SYSTEM_CALL_FAILED,
                                           TARN_MSG_NO_SUPPORTED_DEVICE_LIST, TARN_MSG_NO_PATH_SELECTION_POLICY,
                                           TARN_MSG_NO_ROUND_ROBIN_TIMESLICE};

struct Scenario {
    const char *Name = "";
    mpio::HostOptions Options;
    bool Discover = true;                     // before the swept part
    std::function<void()> Swept;              // the part whose failable calls are swept
    std::set<NTSTATUS> Statuses;              // what a swept start may answer besides success
};

class LowResourcesTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        // A verifier fault during a sweep is the test's failure, named with
        // the site that was failed; the sweep goes on to the next.
        host::SetVerifierHandler(VerifierFault);
    }

    void TearDown() override
    {
        host::SiteSweepStop();
        host::SetVerifierHandler(nullptr);
        DriverTest::TearDown();
    }

    // A clean machine with the full configuration and two LUNs, four paths each.
    void Fresh()
    {
        host_.reset();
        host::ResetMachine();
        host::PoolForeignTag(host::Tag("MPIO"));
        host::SetVerifierHandler(VerifierFault);
        TarnRegisterMessages(u"tarndsm");
        TarnRegisterTraceFormats();
        FullConfiguration();
        AttachArray({0, 1});
    }

    void Pass(uint64_t milliseconds)
    {
        host::ClockAdvance(milliseconds);
        host::DrainWorkItems();
        host_->WaitIdle();
        host::DrainWorkItems();
    }

    void SetLink(uint32_t port, bool down)
    {
        if (down) {
            array_->SetFault(array::Scope::OnTargetPort(port), array::Fault::LinkDown);
        } else {
            array_->ClearFault(array::Scope::OnTargetPort(port), array::Fault::LinkDown);
        }
    }

    // Waits for a request while the clock moves, as a retry interval or a
    // held request needs; one that two minutes of it do not end has hung.
    bool Await(const std::shared_ptr<mpio::PendingIo> &io, NTSTATUS *status)
    {
        host_->WaitIdle();
        for (int step = 0; step < 1200 && !io->Done(); step++) {
            Pass(100);
        }
        if (!io->Done()) {
            std::string states;
            for (size_t device = 0; device < host_->Devices().size(); device++) {
                states += std::string(" ") + mpio::PathStateName(host_->StateOf(device));
            }
            ADD_FAILURE() << "a request has not ended after two minutes; held " << host_->HeldRequests(0) << "/"
                          << host_->HeldRequests(1) << ", devices" << states;
            return false;
        }
        *status = io->Wait().Status;
        return true;
    }

    // The index of the disk of a LUN that still has a path, or SIZE_MAX.
    size_t DiskOf(uint64_t lun) const
    {
        const auto &disks = host_->Disks();
        for (size_t disk = 0; disk < disks.size(); disk++) {
            for (size_t device : disks[disk].Devices) {
                if (host_->Devices()[device].Lun == lun && host_->StateOf(device) == mpio::PathState::Live) {
                    return disk;
                }
            }
        }
        return SIZE_MAX;
    }

    // Writes and reads back a block of each LUN's disk.
    void ExpectEveryDiskServes(uint8_t fill)
    {
        for (uint64_t lun : {0, 1}) {
            size_t disk = DiskOf(lun);
            ASSERT_NE(disk, SIZE_MAX) << "LUN " << lun << " has no disk with a live path";
            std::vector<uint8_t> written(512, (uint8_t)(fill + lun)), read(512);
            NTSTATUS status = STATUS_PENDING;
            ASSERT_TRUE(Await(host_->SubmitWrite(disk, 100 + lun, 1, written.data()), &status)) << "LUN " << lun;
            ASSERT_EQ(status, STATUS_SUCCESS) << "write, LUN " << lun;
            ASSERT_TRUE(Await(host_->SubmitRead(disk, 100 + lun, 1, read.data()), &status)) << "LUN " << lun;
            ASSERT_EQ(status, STATUS_SUCCESS) << "read, LUN " << lun;
            EXPECT_EQ(read, written) << "LUN " << lun;
        }
    }

    // The driver's records hang together: every list walks both ways,
    // every drive holds the paths that name it and has at least one, and
    // every path MPIO uses is one of the driver's records.
    void ExpectConsistentLists()
    {
        PDSM_CONTEXT context = Context();
        if (context == nullptr) {
            return;
        }
        std::set<PPDO_ENTRY> records;
        Locked([&] {
            for (PLIST_ENTRY link = context->PathRecordList.Flink; link != &context->PathRecordList;
                 link = link->Flink) {
                ASSERT_EQ(link->Flink->Blink, link);
                records.insert(CONTAINING_RECORD(link, PDO_ENTRY, DsmLink));
            }
            size_t linked = 0;
            for (PLIST_ENTRY link = context->DriveList.Flink; link != &context->DriveList; link = link->Flink) {
                ASSERT_EQ(link->Flink->Blink, link);
                PLD_ENTRY drive = CONTAINING_RECORD(link, LD_ENTRY, DriveLink);
                ULONG count = 0;
                for (PLIST_ENTRY p = drive->PathList.Flink; p != &drive->PathList; p = p->Flink) {
                    ASSERT_EQ(p->Flink->Blink, p);
                    PPDO_ENTRY path = CONTAINING_RECORD(p, PDO_ENTRY, LdLink);
                    EXPECT_EQ(path->LdEntry, drive) << path->PathIdString;
                    EXPECT_EQ(records.count(path), 1u) << path->PathIdString << " is on no path list";
                    EXPECT_TRUE(drive->currentPath == nullptr || drive->currentPath->LdEntry == drive);
                    count++;
                }
                EXPECT_EQ(count, drive->NumberPaths) << drive->SerialNumber;
                EXPECT_GT(count, 0u) << drive->SerialNumber << " is a drive without paths";
                linked += count;
            }
            EXPECT_EQ(linked, records.size()) << "path records belong to no drive";
        });
        for (size_t device = 0; device < host_->Devices().size(); device++) {
            if (host_->StateOf(device) == mpio::PathState::Live) {
                EXPECT_EQ(records.count(static_cast<PPDO_ENTRY>(host_->Devices()[device].DsmId)), 1u)
                    << "device " << device << " is in MPIO's use but not the driver's";
            }
        }
    }

    // What the driver still holds once every device is gone: its blocks
    // by tag and size, and the device references it keeps.
    struct Holdings {
        std::multiset<std::pair<ULONG, size_t>> Blocks;
        size_t Files = 0;
    };

    Holdings EmptyAndCount()
    {
        for (size_t device = 0; device < host_->Devices().size(); device++) {
            host_->RemoveDevice(device);
        }
        Pass(2000);
        EXPECT_EQ(host::OpenRegistryHandles(), 0u);
        EXPECT_EQ(host::PendingErrorLogEntries(), 0u);
        Holdings holdings;
        for (const host::PoolBlock &block : host::PoolBlocks()) {
            if (block.Tag == kTarnTag || block.Tag == kDdkTag) {
                holdings.Blocks.insert({block.Tag, block.Size});
            }
        }
        holdings.Files = host::OutstandingFileObjects();
        return holdings;
    }

    // A block the run with nothing failed does not hold is a leak; one it
    // holds and this run does not is an optional value gone without.
    static void ExpectNoMoreThan(const Holdings &left, const Holdings &base)
    {
        std::multiset<std::pair<ULONG, size_t>> extra;
        std::set_difference(left.Blocks.begin(), left.Blocks.end(), base.Blocks.begin(), base.Blocks.end(),
                            std::inserter(extra, extra.end()));
        for (const auto &block : extra) {
            ADD_FAILURE() << "leaked: '" << host::TagText(block.first) << "' " << block.second << " bytes";
        }
        EXPECT_LE(left.Files, base.Files) << "device references leaked";
    }

    // Starts (and discovers) without failures, then runs the swept part
    // with the failAt-th site failed.
    host::SiteSweepFigures RunOnce(const Scenario &scenario, uint64_t failAt, std::vector<NTSTATUS> *events)
    {
        Fresh();
        host::SiteSweepFigures figures;
        if (!scenario.Swept) {
            host::SiteSweepStart(failAt);
            status_ = Start(scenario.Options);
            figures = host::SiteSweepStop();
            *events = EventIds();
            if (NT_SUCCESS(status_)) {
                host_->Discover(array_.get(), topology_);
            }
            return figures;
        }
        EXPECT_EQ(Start(scenario.Options), STATUS_SUCCESS);
        if (scenario.Discover) {
            host_->Discover(array_.get(), topology_);
        }
        host::ClearEventLog();
        host::SiteSweepStart(failAt);
        scenario.Swept();
        figures = host::SiteSweepStop();
        *events = EventIds();
        return figures;
    }

    // Memory is back: a driver that did not start starts at the next boot.
    void Recover(const Scenario &scenario)
    {
        if (Context() != nullptr) {
            return;
        }
        EXPECT_EQ(host::PoolOutstanding(kTarnTag) + host::PoolOutstanding(kDdkTag), 0u) << host::PoolReport();
        EXPECT_EQ(host::OpenRegistryHandles(), 0u);
        EXPECT_FALSE(host::TraceProviderRegistered());
        host_.reset();
        host::Reboot();
        ASSERT_EQ(Start(scenario.Options), STATUS_SUCCESS);
        host_->Discover(array_.get(), topology_);
    }

    void Sweep(const Scenario &scenario)
    {
        // The run with nothing failed: what the scenario writes, and what
        // the driver holds at the end.
        std::vector<NTSTATUS> cleanEvents;
        failing_ = "nothing";
        host::SiteSweepFigures clean = RunOnce(scenario, 0, &cleanEvents);
        ASSERT_GT(clean.Reached, 0u);
        ExpectConsistentLists();
        ExpectEveryDiskServes(0x10);
        Holdings base = EmptyAndCount();
        std::set<NTSTATUS> allowed(cleanEvents.begin(), cleanEvents.end());
        allowed.insert(kFailureEvents.begin(), kFailureEvents.end());

        uint64_t failed = 0;
        for (uint64_t n = 1;; n++) {
            std::vector<NTSTATUS> events;
            failing_ = "site " + std::to_string(n);
            host::SiteSweepFigures figures = RunOnce(scenario, n, &events);
            if (!figures.Failed) {
                break;   // the run reached fewer sites: every one has been failed
            }
            failed++;
            failing_ = "site " + std::to_string(n) + " (" + figures.FailedSite + ")";
            SCOPED_TRACE(scenario.Name + std::string(": ") + failing_);
            if (!scenario.Swept) {
                EXPECT_TRUE(NT_SUCCESS(status_) || scenario.Statuses.count(status_)) << std::hex << status_;
            }
            for (NTSTATUS id : events) {
                EXPECT_EQ(allowed.count(id), 1u) << "event 0x" << std::hex << (ULONG)id;
            }
            ExpectConsistentLists();
            Recover(scenario);
            ExpectConsistentLists();
            ExpectEveryDiskServes((uint8_t)n);
            if (HasFatalFailure()) {
                break;   // a disk that no longer serves, or a hung request: the rest would only repeat it
            }
            ExpectNoMoreThan(EmptyAndCount(), base);
            if (HasFailure() && ++faults_ > 20) {
                break;   // enough to go on
            }
        }
        std::string kinds;
        for (const auto &kind : clean.ReachedByKind) {
            kinds += (kinds.empty() ? "" : ", ") + kind.first + " " + std::to_string(kind.second);
        }
        printf("low-resources %s: %llu sites reached (%s), %llu failed in turn, %s\n", scenario.Name,
               (unsigned long long)clean.Reached, kinds.c_str(), (unsigned long long)failed,
               HasFailure() ? "FAULTS FOUND" : "all recovered");
        fflush(stdout);
        EXPECT_GE(failed, clean.Reached);
    }

    // The site failed now, for the verifier's messages.
    static std::string failing_;
    static void VerifierFault(const std::string &message)
    {
        ADD_FAILURE() << "verifier, with " << failing_ << " failed: " << message;
    }
    NTSTATUS status_ = STATUS_SUCCESS;
    int faults_ = 0;
};

std::string LowResourcesTest::failing_ = "nothing";

TEST_F(LowResourcesTest, Start)
{
    Scenario scenario;
    scenario.Name = "start";
    scenario.Statuses = {STATUS_INSUFFICIENT_RESOURCES, STATUS_UNSUCCESSFUL};
    Sweep(scenario);
}

TEST_F(LowResourcesTest, Claim)
{
    Scenario scenario;
    scenario.Name = "claim";
    scenario.Discover = false;
    scenario.Swept = [this] { host_->Discover(array_.get(), topology_); };
    Sweep(scenario);
}

// Writes and reads, a pulled cable failed over and, verified back by
// MPIO, failed back to.
TEST_F(LowResourcesTest, FailoverAndFailback)
{
    Scenario scenario;
    scenario.Name = "io-failover-failback";
    scenario.Options.PathVerifyEnabled = true;
    scenario.Swept = [this] {
        std::vector<uint8_t> block(512, 0x5A), read(512);
        for (size_t disk = 0; disk < host_->Disks().size(); disk++) {
            host_->Write(disk, 7, 1, block.data());
        }
        SetLink(0, true);
        for (size_t disk = 0; disk < host_->Disks().size(); disk++) {
            host_->Write(disk, 8, 1, block.data());
            host_->Read(disk, 7, 1, read.data());
        }
        SetLink(0, false);
        Pass(mpio::HostOptions().PathVerificationPeriodMs + 3000);
        for (size_t disk = 0; disk < host_->Disks().size(); disk++) {
            host_->Read(disk, 8, 1, read.data());
        }
    };
    Sweep(scenario);
}

// A cable pulled past the port's link-down time: its devices leave; it
// returns and they arrive again as new devices.
TEST_F(LowResourcesTest, RemovalAndArrival)
{
    Scenario scenario;
    scenario.Name = "removal-arrival";
    scenario.Swept = [this] {
        std::vector<uint8_t> block(512, 0x3C);
        SetLink(0, true);
        host_->Write(0, 9, 1, block.data());
        Pass(mpio::HostOptions().LinkDownTimeMs + mpio::HostOptions().LinkProbeIntervalMs);
        SetLink(0, false);
        Pass(mpio::HostOptions().LinkProbeIntervalMs);
        Pass(5000);
    };
    Sweep(scenario);
}

// A cluster's reservation requests: reserve, release, and a bus reset
// that breaks what is held.
TEST_F(LowResourcesTest, ClusterRequests)
{
    Scenario scenario;
    scenario.Name = "cluster";
    scenario.Swept = [this] {
        host_->Scsi(0, {SCSIOP_RESERVE_UNIT, 0, 0, 0, 0, 0}, nullptr, 0, false);
        host_->Scsi(0, {SCSIOP_RELEASE_UNIT, 0, 0, 0, 0, 0}, nullptr, 0, false);
        host_->Scsi(0, {SCSIOP_RESERVE_UNIT, 0, 0, 0, 0, 0}, nullptr, 0, false);
        host_->DeviceControl(0, IOCTL_STORAGE_RESET_BUS);
        host_->Scsi(1, {SCSIOP_RESERVE_UNIT, 0, 0, 0, 0, 0}, nullptr, 0, false);
        host_->Scsi(1, {SCSIOP_RELEASE_UNIT, 0, 0, 0, 0, 0}, nullptr, 0, false);
    };
    Sweep(scenario);
}

// A path that returns while this node holds a drive's reservation: the
// driver carries the node's registration onto it before it takes I/O
// again under the failback policy.
TEST_F(LowResourcesTest, ReservedDriveFailsOverAndBack)
{
    Scenario scenario;
    scenario.Name = "cluster-failover-failback";
    scenario.Options.PathVerifyEnabled = true;
    scenario.Swept = [this] {
        std::vector<uint8_t> block(512, 0x6B);
        host_->Scsi(0, {SCSIOP_RESERVE_UNIT, 0, 0, 0, 0, 0}, nullptr, 0, false);
        SetLink(0, true);
        host_->Write(0, 11, 1, block.data());
        SetLink(0, false);
        Pass(mpio::HostOptions().PathVerificationPeriodMs + 3000);
        host_->Write(0, 12, 1, block.data());
    };
    Sweep(scenario);
}

// WMI's queries of every block and the policy methods.
TEST_F(LowResourcesTest, WmiQueriesAndMethods)
{
    Scenario scenario;
    scenario.Name = "wmi";
    scenario.Swept = [this] {
        std::vector<mpio::WmiInstance> all;
        host_->WmiQueryAllData(kConfigGuid, &all);
        host_->WmiQueryAllData(kDriveGuid, &all);
        std::vector<uint8_t> data;
        host_->WmiQuerySingleInstance(kDriveGuid, mpio::Host::WmiInstanceName(1), &data);
        const mpio::Device &last = host_->Devices()[host_->Disks()[1].Devices.back()];
        std::vector<uint8_t> address = {last.Path.PortNumber, last.Path.PathId, last.Path.TargetId, last.Lun};
        std::vector<uint8_t> output;
        host_->WmiExecuteMethod(kMethodsGuid, mpio::Host::WmiInstanceName(1), kSetPreferredPath, address, 0,
                                &output);
        host_->WmiQuerySingleInstance(kDriveGuid, mpio::Host::WmiInstanceName(1), &data);
    };
    Sweep(scenario);
}

// A RESERVE that finds no memory to register one of the paths must not
// succeed: the reservation admits registrants only, so every request MPIO
// sent down that path would meet a conflict, and a RELEASE that took it
// would be read as another host's hold and leave the drive reserved.
TEST_F(LowResourcesTest, AReserveThatSucceedsHasRegisteredEveryPath)
{
    for (uint64_t n = 1;; n++) {
        SCOPED_TRACE("site " + std::to_string(n));
        Fresh();
        ASSERT_EQ(StartAndDiscover(), STATUS_SUCCESS);
        host::SiteSweepStart(n);
        mpio::IoResult reserve = host_->Scsi(0, {SCSIOP_RESERVE_UNIT, 0, 0, 0, 0, 0}, nullptr, 0, false);
        host::SiteSweepFigures figures = host::SiteSweepStop();
        if (!figures.Failed) {
            break;
        }
        if (reserve.Status == STATUS_SUCCESS) {
            EXPECT_EQ(array_->Registrations(0).size(), 4u) << figures.FailedSite;
            ExpectEveryDiskServes((uint8_t)n);
        }
        host_->Scsi(0, {SCSIOP_RELEASE_UNIT, 0, 0, 0, 0, 0}, nullptr, 0, false);
        EXPECT_FALSE(array_->ReservationOf(0).has_value()) << figures.FailedSite;
    }
}

} // namespace
} // namespace tarntest
