/*++

Module Name:

    soak.cpp

Abstract:

    dsmsoak: the driver under MPIO with everything at once, on two
    processors and a pool of worker threads, with tracing on.  Threads
    write and read back blocks on several drives; the clock runs as fast
    as it can (the driver's timer at full rate, MPIO's retries, link
    probes and path verification beside it); one target port after
    another loses its link for long enough that the port gives its disks
    up (removal) and then finds them again (arrival); WMI queries and
    methods and reservation requests go on meanwhile.

    Built with ThreadSanitizer, each report it makes is counted; a lock
    order it finds inverted is counted as a deadlock, as is a run in
    which no request finishes for a whole minute.  Every write is read
    back at once and again at the end.  The last line is the figures:

      soak: 5.0 s, 1234 requests, 0 races, 0 deadlocks, longest DsmLock hold 85 us, 0 verify errors,
            0 errors while a path lived

    A request that fails is never taken for data, but it is only
    legitimate when its drive had no path alive: every target port it is
    seen through down for the whole removal period MPIO holds requests
    for an arrival.  Those are counted apart; any other failed request is
    an error surfaced while a path lived, and the first few are shown.
    The exit status is 0 only when races, deadlocks, verify errors and
    errors while a path lived are all 0.  The paths back in use at the
    end are shown too; --explain prints the driver's trace before the
    first error while a path lived.

      dsmsoak [--seconds N] [--drives N] [--io-threads N] [--explain]

--*/

#include "../support/servicekeys.h"
#include "mpiohost.h"
#include "simarray.h"
#include "tarn.h"
#include "tarnresources.h"
#include "tarntrace.h"
#include "tarnwmi.h"

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer calls this for every report it prints; the report's
// kind tells a race from a lock-order inversion (a potential deadlock).
namespace {
std::atomic<int> g_raceReports{0};
std::atomic<int> g_deadlockReports{0};
}

extern "C" int __tsan_get_report_data(void *report, const char **description, int *count, int *stack_count,
                                      int *mop_count, int *loc_count, int *mutex_count, int *thread_count,
                                      int *unique_tid_count, void **sleep_trace, unsigned long trace_size);

extern "C" void __tsan_on_report(void *report)
{
    const char *description = "";
    int count, stacks, mops, locs, mutexes, threads, tids;
    void *sleep = nullptr;
    __tsan_get_report_data(report, &description, &count, &stacks, &mops, &locs, &mutexes, &threads, &tids, &sleep,
                           0);
    if (description != nullptr && strcmp(description, "lock-order-inversion") == 0) {
        g_deadlockReports++;
    } else {
        g_raceReports++;
    }
}
#define TARN_SOAK_UNDER_TSAN 1
#else
namespace {
std::atomic<int> g_raceReports{0};
std::atomic<int> g_deadlockReports{0};
}
#define TARN_SOAK_UNDER_TSAN 0
#endif

namespace {

using tarnkeys::kParametersKey;
using tarnkeys::kServiceKey;
constexpr uint32_t kBlocks = 2048;
constexpr uint32_t kBlocksPerThread = 32;
constexpr uint64_t kLinkDownMs = 3000;        // longer than the port's link-down time: the disks leave
constexpr int kStallSeconds = 60;             // no request finished for this long: a deadlock
constexpr int kSettleSeconds = 15;            // at most this long for every path to be back at the end

struct Options {
    double Seconds = 5;
    unsigned Drives = 3;
    unsigned IoThreads = 4;
    bool Explain = false;       // the driver's last trace messages at the first error while a path lived
};

bool ParseOptions(int argc, char **argv, Options *options)
{
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        auto number = [&](double low, double high, double *value) {
            if (i + 1 >= argc) {
                return false;
            }
            char *end = nullptr;
            *value = strtod(argv[++i], &end);
            return end != argv[i] && *end == '\0' && *value >= low && *value <= high;
        };
        double value = 0;
        if (arg == "--seconds" && number(0.1, 86400, &value)) {
            options->Seconds = value;
        } else if (arg == "--drives" && number(1, 8, &value)) {
            options->Drives = (unsigned)value;
        } else if (arg == "--io-threads" && number(1, 16, &value)) {
            options->IoThreads = (unsigned)value;
        } else if (arg == "--explain") {
            options->Explain = true;
        } else {
            fprintf(stderr,
                    "usage: dsmsoak [--seconds 0.1-86400] [--drives 1-8] [--io-threads 1-16] [--explain]\n"
                    "dsmsoak: bad or unknown option '%s'\n",
                    arg.c_str());
            return false;
        }
    }
    return true;
}

// What a block holds: who wrote it, where, and which generation.
struct Stamp {
    uint32_t Thread;
    uint32_t Drive;
    uint64_t Lba;
    uint64_t Generation;
};

void Fill(uint8_t *block, const Stamp &stamp)
{
    memcpy(block, &stamp, sizeof(stamp));
    for (size_t i = sizeof(stamp); i < 512; i++) {
        block[i] = (uint8_t)(stamp.Generation * 131 + stamp.Lba * 7 + i);
    }
}

bool Holds(const uint8_t *block, const Stamp &stamp)
{
    uint8_t expected[512];
    Fill(expected, stamp);
    return memcmp(block, expected, sizeof(expected)) == 0;
}

struct Figures {
    std::atomic<uint64_t> Requests{0};
    std::atomic<uint64_t> FailedWithNoPath{0};      // every path of the drive down for the removal period
    std::atomic<uint64_t> FailedWhilePathLived{0};
    std::atomic<uint64_t> VerifyErrors{0};
    std::atomic<uint64_t> WmiCalls{0};
    std::atomic<uint64_t> ReservationRequests{0};
    std::atomic<uint64_t> ReservationRefusals{0};
    std::atomic<uint64_t> LinkFaults{0};
};

class Soak {
public:
    explicit Soak(const Options &options) : options_(options) {}

    bool Start();
    void Run();
    int Finish();

private:
    void IoThread(unsigned thread);
    void ClockThread();
    void FaultThread();
    void WmiThread();
    void ReservationThread();
    void Report(double seconds, int stalls);
    void NoteFailure(const char *what, unsigned drive, uint64_t lba, NTSTATUS status);
    void PullLink(uint32_t port);
    void RestoreLink(uint32_t port);
    bool NoPathAliveSince(uint64_t sinceMs);

    Options options_;
    std::unique_ptr<array::SimulatedArray> array_;
    std::unique_ptr<mpio::Host> host_;
    mpio::Topology topology_;
    Figures figures_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> stopClock_{false};
    std::vector<std::thread> threads_;
    std::thread clock_;
    // Per I/O thread, per drive, per block of its own: the generation last
    // written (0: never).  Only its thread writes it while the run lasts.
    std::vector<std::vector<std::vector<uint64_t>>> written_;
    std::chrono::steady_clock::time_point began_;
    std::mutex failuresMutex_;
    std::vector<std::string> failures_;     // the first few errors while a path lived, for the report
    // The target ports whose link is down, and since when none is up;
    // every drive is seen through every port.
    std::mutex linksMutex_;
    uint32_t portsDown_ = 0;
    bool noPath_ = false;
    uint64_t noPathSinceMs_ = 0;
    uint64_t removalPeriodMs_ = 0;
};

uint64_t NowMs()
{
    return host::InterruptTime() / TIME_UNITS_PER_MS;
}

void Soak::PullLink(uint32_t port)
{
    std::lock_guard<std::mutex> lock(linksMutex_);
    array_->SetFault(array::Scope::OnTargetPort(port), array::Fault::LinkDown);
    portsDown_ |= 1u << port;
    if (portsDown_ == (1u << array::kTargetPortCount) - 1 && !noPath_) {
        noPath_ = true;
        noPathSinceMs_ = NowMs();
    }
}

void Soak::RestoreLink(uint32_t port)
{
    // Counted as alive before it is: a failure in between is never excused.
    std::lock_guard<std::mutex> lock(linksMutex_);
    noPath_ = false;
    portsDown_ &= ~(1u << port);
    array_->ClearFault(array::Scope::OnTargetPort(port), array::Fault::LinkDown);
}

// Whether every path has been down from sinceMs until now.
bool Soak::NoPathAliveSince(uint64_t sinceMs)
{
    std::lock_guard<std::mutex> lock(linksMutex_);
    return noPath_ && noPathSinceMs_ <= sinceMs;
}

// A failed request.  MPIO holds a request for an arrival while its drive
// has no path, for the removal period: one that fails after no path has
// lived that long is what any framework does; any other is an error.
void Soak::NoteFailure(const char *what, unsigned drive, uint64_t lba, NTSTATUS status)
{
    uint64_t now = NowMs();
    if (now >= removalPeriodMs_ && NoPathAliveSince(now - removalPeriodMs_)) {
        figures_.FailedWithNoPath++;
        return;
    }
    figures_.FailedWhilePathLived++;
    std::lock_guard<std::mutex> lock(failuresMutex_);
    if (failures_.size() < 5) {
        char text[160];
        snprintf(text, sizeof(text), "%s of drive %u block %" PRIu64 " at %" PRIu64 " ms: 0x%08X", what, drive, lba,
                 now, (unsigned)status);
        failures_.push_back(text);
        if (options_.Explain && failures_.size() == 1) {
            std::vector<std::string> traces = host::RenderTraces();
            for (size_t i = traces.size() > 60 ? traces.size() - 60 : 0; i < traces.size(); i++) {
                fprintf(stderr, "%s\n", traces[i].c_str());
            }
            fprintf(stderr, "dsmsoak: first error while a path lived: %s\n", text);
        }
    }
}

// A verifier failure ends the soak; the driver's last trace messages
// show what led to it.
void VerifierFailure(const std::string &message)
{
    static std::mutex once;
    std::lock_guard<std::mutex> lock(once);
    std::vector<std::string> traces = host::RenderTraces();
    size_t first = traces.size() > 80 ? traces.size() - 80 : 0;
    for (size_t i = first; i < traces.size(); i++) {
        fprintf(stderr, "%s\n", traces[i].c_str());
    }
    fprintf(stderr, "*** VERIFIER: %s\n", message.c_str());
    fflush(stderr);
    abort();
}

bool Soak::Start()
{
    host::ResetMachine();
    host::PoolForeignTag(host::Tag("MPIO"));
    host::SetVerifierHandler(VerifierFailure);
    TarnRegisterMessages(u"tarndsm");
    TarnRegisterTraceFormats();
    host::RegistrySetMultiString(kParametersKey, "SupportedDeviceList",
                                 {"KESTROM TARN 4000 FC    ", "KESTROM TARN 4000 ISCSI "});
    host::RegistrySetString(kServiceKey, "DisplayName", "Kestrom TARN Multi-Path DSM");
    host::RegistrySetDword(kParametersKey, "PathSelectionPolicy", TARN_LB_POLICY_FAILBACK);
    host::RegistrySetDword(kParametersKey, "UsePersistentReservations", 1);
    host::RegistrySetValue(kParametersKey, "PRKey", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});

    host::SetProcessors(2);
    host::SetWorkerThreads(3);

    array::ArrayConfig config;
    for (unsigned lun = 0; lun < options_.Drives; lun++) {
        config.Units.push_back(array::LogicalUnitConfig{lun, kBlocks, 512});
        topology_.Luns.push_back((UCHAR)lun);
    }
    array_ = std::make_unique<array::SimulatedArray>(config, [] { return int64_t(9 * 3600); });
    topology_.HostId = 1;
    topology_.Paths = {{2, 0, 0, 0}, {2, 0, 1, 2}, {3, 0, 0, 1}, {3, 0, 1, 3}};

    mpio::HostOptions hostOptions;
    hostOptions.RetryIntervalMs = 100;
    hostOptions.PathVerifyEnabled = true;
    hostOptions.PathVerificationPeriodMs = 1000;
    hostOptions.LinkDownTimeMs = 2000;
    hostOptions.LinkProbeIntervalMs = 200;
    removalPeriodMs_ = hostOptions.RemovalPeriodMs;
    host_ = std::make_unique<mpio::Host>(hostOptions);
    NTSTATUS status = host_->LoadDriver(DriverEntry, "tarndsm");
    if (!NT_SUCCESS(status)) {
        fprintf(stderr, "dsmsoak: the driver did not start: 0x%08X\n", (unsigned)status);
        return false;
    }
    host_->Discover(array_.get(), topology_);
    if (host_->Disks().size() != options_.Drives) {
        fprintf(stderr, "dsmsoak: %zu drives found, %u expected\n", host_->Disks().size(), options_.Drives);
        return false;
    }
    if (!host::TraceEnable(TRDSM_ERROR_LEVEL | TRDSM_WARNING_LEVEL | TRDSM_TRACE_LEVEL, 5)) {
        fprintf(stderr, "dsmsoak: tracing could not be turned on\n");
        return false;
    }
    written_.assign(options_.IoThreads,
                    std::vector<std::vector<uint64_t>>(options_.Drives, std::vector<uint64_t>(kBlocksPerThread, 0)));
    host::MeasureSpinLockHolds(true);
    return true;
}

// Writes a block, reads it back at once, and remembers what it holds.
void Soak::IoThread(unsigned thread)
{
    uint8_t block[512];
    uint64_t generation = 0;
    unsigned step = 0;
    while (!stop_.load()) {
        unsigned drive = step % options_.Drives;
        unsigned index = (step / options_.Drives) % kBlocksPerThread;
        step++;
        Stamp stamp{thread, drive, (uint64_t)thread * kBlocksPerThread + index, ++generation};
        Fill(block, stamp);
        mpio::IoResult write = host_->Write(drive, stamp.Lba, 1, block);
        figures_.Requests++;
        if (write.Status != STATUS_SUCCESS) {
            // What the block holds now is not known: it is not checked at the end.
            NoteFailure("write", drive, stamp.Lba, write.Status);
            written_[thread][drive][index] = 0;
            continue;
        }
        written_[thread][drive][index] = generation;
        memset(block, 0, sizeof(block));
        mpio::IoResult read = host_->Read(drive, stamp.Lba, 1, block);
        figures_.Requests++;
        if (read.Status != STATUS_SUCCESS) {
            NoteFailure("read", drive, stamp.Lba, read.Status);
        } else if (!Holds(block, stamp)) {
            figures_.VerifyErrors++;
        }
    }
}

// The clock as fast as it goes: every timer and DPC due runs on the processors.
void Soak::ClockThread()
{
    while (!stopClock_.load()) {
        host::ClockAdvance(5);
    }
}

// The paths MPIO has in use now.
size_t LivePaths(const mpio::Host &host)
{
    size_t live = 0;
    size_t count = host.DeviceCount();
    for (size_t i = 0; i < count; i++) {
        live += host.StateOf(i) == mpio::PathState::Live;
    }
    return live;
}

// One target port after another loses its link, long enough for the
// port to give its disks up, and gets it back; once MPIO has found them
// again and every path is in use, the next port's turn comes.
void Soak::FaultThread()
{
    const size_t full = options_.Drives * topology_.Paths.size();
    uint32_t port = 0;
    auto waitUntil = [this](auto done) {
        while (!stop_.load() && !done()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    while (!stop_.load()) {
        PullLink(port);
        figures_.LinkFaults++;
        uint64_t upAt = NowMs() + kLinkDownMs;
        waitUntil([upAt] { return NowMs() >= upAt; });
        RestoreLink(port);
        waitUntil([&] { return LivePaths(*host_) == full; });
        port = (port + 1) % array::kTargetPortCount;
    }
}

// Queries of every block and the preferred-path method, on every drive.
void Soak::WmiThread()
{
    const GUID guids[] = {TARN_CONFIG_INFO_GUID, TARN_LD_INFO4_GUID};
    const GUID methods = TARN_METHODS_GUID;
    constexpr ULONG kSetPreferredPath = 2;
    unsigned step = 0;
    while (!stop_.load()) {
        std::vector<mpio::WmiInstance> instances;
        host_->WmiQueryAllData(guids[step % 2], &instances);
        unsigned drive = step % options_.Drives;
        std::vector<uint8_t> data;
        host_->WmiQuerySingleInstance(TARN_LD_INFO4_GUID, mpio::Host::WmiInstanceName(drive), &data);
        const mpio::PathSpec &path = topology_.Paths[step % topology_.Paths.size()];
        std::vector<uint8_t> address = {path.PortNumber, path.PathId, path.TargetId, (uint8_t)drive};
        std::vector<uint8_t> output;
        host_->WmiExecuteMethod(methods, mpio::Host::WmiInstanceName(drive), kSetPreferredPath, address, 0, &output);
        figures_.WmiCalls += 3;
        step++;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// A cluster's reservation requests: reserve and release each drive in turn.
void Soak::ReservationThread()
{
    unsigned step = 0;
    while (!stop_.load()) {
        unsigned drive = step++ % options_.Drives;
        for (UCHAR opcode : {(UCHAR)SCSIOP_RESERVE_UNIT, (UCHAR)SCSIOP_RELEASE_UNIT}) {
            mpio::IoResult result = host_->Scsi(drive, {opcode, 0, 0, 0, 0, 0}, nullptr, 0, false);
            figures_.ReservationRequests++;
            if (result.Status != STATUS_SUCCESS) {
                figures_.ReservationRefusals++;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void Soak::Run()
{
    began_ = std::chrono::steady_clock::now();
    clock_ = std::thread(&Soak::ClockThread, this);
    for (unsigned t = 0; t < options_.IoThreads; t++) {
        threads_.emplace_back(&Soak::IoThread, this, t);
    }
    threads_.emplace_back(&Soak::FaultThread, this);
    threads_.emplace_back(&Soak::WmiThread, this);
    threads_.emplace_back(&Soak::ReservationThread, this);

    auto end = began_ + std::chrono::duration<double>(options_.Seconds);
    uint64_t lastRequests = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        host::ClearTrace();     // the records are made and rendered checks; only memory is saved here
        uint64_t requests = figures_.Requests.load();
        auto now = std::chrono::steady_clock::now();
        if (requests != lastRequests) {
            lastRequests = requests;
            lastProgress = now;
        } else if (now - lastProgress > std::chrono::seconds(kStallSeconds)) {
            // Threads are stuck: nothing can be joined or torn down.
            Report(std::chrono::duration<double>(now - began_).count(), 1);
            fflush(stdout);
            _exit(1);
        }
    }
    stop_ = true;
    for (std::thread &thread : threads_) {
        thread.join();
    }
}

int Soak::Finish()
{
    // Every link back, and time for the disks to return and settle.
    uint64_t settleUntil = NowMs() + 5000;
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(kSettleSeconds);
    const size_t full = options_.Drives * topology_.Paths.size();
    while ((NowMs() < settleUntil || LivePaths(*host_) != full) &&
           std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Every block as last written.
    uint8_t block[512];
    for (unsigned t = 0; t < options_.IoThreads; t++) {
        for (unsigned d = 0; d < options_.Drives; d++) {
            for (unsigned i = 0; i < kBlocksPerThread; i++) {
                uint64_t generation = written_[t][d][i];
                if (generation == 0) {
                    continue;
                }
                Stamp stamp{t, d, (uint64_t)t * kBlocksPerThread + i, generation};
                mpio::IoResult read = host_->Read(d, stamp.Lba, 1, block);
                figures_.Requests++;
                if (read.Status != STATUS_SUCCESS) {
                    NoteFailure("final read", d, stamp.Lba, read.Status);
                } else if (!Holds(block, stamp)) {
                    figures_.VerifyErrors++;
                }
            }
        }
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count();
    // The pool first, while the clock still runs for the requests its
    // routines may be waiting on; what is left queued runs (and finds
    // MPIO stopping) when the host goes.  Then the clock: no DPC runs
    // once it has stopped.
    host::SetWorkerThreads(0);
    stopClock_ = true;
    clock_.join();
    host::TraceDisable();
    host::MeasureSpinLockHolds(false);
    Report(seconds, 0);
    host_.reset();
    host::ResetMachine();
    // A path not back in use at the end is shown: a figure to read, not a
    // fault of the run.  Data that is not what was written is one, and so
    // is a request failed while its drive had a path.
    bool clean = g_raceReports.load() == 0 && g_deadlockReports.load() == 0 && figures_.VerifyErrors.load() == 0 &&
                 figures_.FailedWhilePathLived.load() == 0;
    return clean ? 0 : 1;
}

void Soak::Report(double seconds, int stalls)
{
    PDSM_CONTEXT context = static_cast<PDSM_CONTEXT>(host_->Record().DsmContext);
    host::SpinLockHold hold = host::SpinLockHoldOf(&context->DsmLock);
    size_t removed = 0;
    size_t arrived = 0;
    for (const host::EventRecord &record : host::EventLog()) {
        NTSTATUS id = reinterpret_cast<const IO_ERROR_LOG_PACKET *>(record.Packet.data())->ErrorCode;
        removed += id == TARN_MSG_PATH_REMOVED;
        arrived += id == TARN_MSG_REDUNDANT_PATH;
    }
    printf("soak: %u drives, %u I/O threads, 2 processors, 3 workers%s; %" PRIu64 " link faults, %zu paths removed, "
           "%zu added, %zu of %zu in use at the end, %" PRIu64 " WMI calls, %" PRIu64 " reservation requests (%" PRIu64 " refused), %" PRIu64
           " DPCs (at most %" PRIu64 " at once), DsmLock taken %" PRIu64 " times, %" PRIu64
           " requests failed with no path alive\n",
           options_.Drives, options_.IoThreads, TARN_SOAK_UNDER_TSAN ? ", under ThreadSanitizer" : "",
           figures_.LinkFaults.load(), removed, arrived, LivePaths(*host_), options_.Drives * topology_.Paths.size(),
           figures_.WmiCalls.load(),
           figures_.ReservationRequests.load(), figures_.ReservationRefusals.load(), host::DpcRuns(),
           host::MostDpcsAtOnce(), hold.Acquisitions, figures_.FailedWithNoPath.load());
    {
        std::lock_guard<std::mutex> lock(failuresMutex_);
        for (const std::string &failure : failures_) {
            printf("soak: error while a path lived: %s\n", failure.c_str());
        }
    }
    printf("soak: %.1f s, %" PRIu64 " requests, %d races, %d deadlocks, longest DsmLock hold %" PRIu64
           " us, %" PRIu64 " verify errors, %" PRIu64 " errors while a path lived\n",
           seconds, figures_.Requests.load(), g_raceReports.load(), g_deadlockReports.load() + stalls,
           hold.LongestNs / 1000, figures_.VerifyErrors.load(), figures_.FailedWhilePathLived.load());
    fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        return 2;
    }
    Soak soak(options);
    if (!soak.Start()) {
        return 1;
    }
    soak.Run();
    return soak.Finish();
}
