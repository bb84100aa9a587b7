// The path-failure soak: 16 workers write blocks and read each back while
// the controllable clock moves and, every 5 seconds of it, the cable of
// another target port is pulled and the previous one returned (MPIO's path
// verification brings it back).  One path of each drive is down at a time,
// so none of the workers may see an error, every block must read back as
// written, and every failover the driver reports must follow a pulled
// cable and go to a path that is up.
//
// The clock time comes from TARN_SOAK_SECONDS (30 s by default, the CI
// form; tools/reliability.sh runs 600).  One figure line is printed
// ("path-failure soak: ...").
#include "driverfixture.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <regex>
#include <thread>

namespace tarntest {
namespace {

constexpr int kWorkers = 16;
constexpr uint64_t kFaultEveryMs = 5000;
constexpr uint64_t kStepMs = 20;
constexpr uint64_t kBlocksPerWorker = 32;

class PathFailureSoak : public DriverTest {
protected:
    static uint64_t ClockSeconds()
    {
        const char *text = getenv("TARN_SOAK_SECONDS");
        uint64_t seconds = text != nullptr ? strtoull(text, nullptr, 10) : 0;
        return seconds != 0 ? seconds : 30;
    }

    // The block a worker writes: who, where and which generation, over
    // every byte, so a misplaced or stale block is told from the right one.
    static void Fill(uint8_t *block, int worker, uint64_t lba, uint32_t generation)
    {
        for (size_t i = 0; i < 512; i += 16) {
            memcpy(block + i, &worker, 4);
            memcpy(block + i + 4, &lba, 8);
            memcpy(block + i + 12, &generation, 4);
        }
    }

    static int64_t Now()
    {
        LARGE_INTEGER time;
        KeQuerySystemTime(&time);
        return time.QuadPart;
    }
};

TEST_F(PathFailureSoak, VerifiedWritesOutliveAPathFailingEveryFiveSeconds)
{
    FullConfiguration();
    AttachArray({0, 1});
    mpio::HostOptions options;
    options.PathVerifyEnabled = true;
    options.PathVerificationPeriodMs = 2000;
    ASSERT_EQ(StartAndDiscover(options), STATUS_SUCCESS);
    ASSERT_EQ(host_->Disks().size(), 2u);
    host::ClearEventLog();

    const uint64_t clockMs = ClockSeconds() * 1000;
    auto begin = std::chrono::steady_clock::now();
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> verified{0}, verifyErrors{0}, surfaced{0};
    std::mutex firstLock;
    std::string firstProblem;
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; w++) {
        workers.emplace_back([&, w] {
            size_t disk = (size_t)w % 2;
            uint64_t base = (uint64_t)(w / 2) * kBlocksPerWorker;
            uint8_t block[512], read[512];
            for (uint32_t generation = 1; !stop.load(); generation++) {
                uint64_t lba = base + generation % kBlocksPerWorker;
                Fill(block, w, lba, generation);
                mpio::IoResult write = host_->Write(disk, lba, 1, block);
                mpio::IoResult back = host_->Read(disk, lba, 1, read);
                std::string problem;
                if (write.Status != STATUS_SUCCESS || back.Status != STATUS_SUCCESS) {
                    surfaced++;
                    char text[96];
                    snprintf(text, sizeof(text), "worker %d LBA %llu: write 0x%08X, read 0x%08X", w,
                             (unsigned long long)lba, (unsigned)write.Status, (unsigned)back.Status);
                    problem = text;
                } else if (memcmp(block, read, sizeof(block)) != 0) {
                    verifyErrors++;
                    problem = "worker " + std::to_string(w) + " LBA " + std::to_string(lba) + ": read back differs";
                } else {
                    verified++;
                }
                if (!problem.empty()) {
                    std::lock_guard<std::mutex> hold(firstLock);
                    if (firstProblem.empty()) {
                        firstProblem = problem;
                    }
                }
            }
        });
    }

    // The cables, one target port at a time, each down for one period.
    struct Fault {
        int64_t At;
        uint32_t Port;
    };
    std::vector<Fault> faults;
    int down = -1;
    for (uint64_t elapsed = kStepMs; elapsed <= clockMs; elapsed += kStepMs) {
        host::ClockAdvance(kStepMs);
        host::DrainWorkItems();
        if (elapsed % kFaultEveryMs == 0) {
            if (down >= 0) {
                array_->ClearFault(array::Scope::OnTargetPort((uint32_t)down), array::Fault::LinkDown);
            }
            down = (int)(faults.size() % 4);
            array_->SetFault(array::Scope::OnTargetPort((uint32_t)down), array::Fault::LinkDown);
            faults.push_back(Fault{Now(), (uint32_t)down});
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (down >= 0) {
        array_->ClearFault(array::Scope::OnTargetPort((uint32_t)down), array::Fault::LinkDown);
    }
    // Requests waiting on a retry finish as the clock goes on.
    stop = true;
    std::atomic<bool> joined{false};
    std::thread clock([&] {
        while (!joined.load()) {
            host::ClockAdvance(kStepMs);
            host::DrainWorkItems();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (auto &worker : workers) {
        worker.join();
    }
    joined = true;
    clock.join();
    double realSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    // Each failover follows a pulled cable, within that cable's period,
    // and goes to a path on a port that is up.  Every request that meets
    // the dead path writes one (the driver logs the path error of each),
    // so a cable may explain several per drive.
    std::regex target(R"(has failed over to \[[0-9A-F]+ (\d+):(\d+):(\d+):\d+\])");
    unsigned failovers = 0, unmatched = 0;
    for (const host::EventRecord &record : host::EventLog()) {
        if (Packet(record)->ErrorCode != TARN_MSG_FAILOVER) {
            continue;
        }
        failovers++;
        std::string text = host::RenderEvent(record);
        size_t fault = faults.size();
        while (fault > 0 && faults[fault - 1].At > record.SystemTime) {
            fault--;
        }
        std::smatch match;
        bool matched = fault > 0 && std::regex_search(text, match, target);
        if (matched) {
            fault--;
            UCHAR port = (UCHAR)std::stoi(match[1]), bus = (UCHAR)std::stoi(match[2]),
                  targetId = (UCHAR)std::stoi(match[3]);
            for (const mpio::PathSpec &path : topology_.Paths) {
                if (path.PortNumber == port && path.PathId == bus && path.TargetId == targetId &&
                    path.TargetPort == faults[fault].Port) {
                    matched = false;   // to the port whose cable is out
                }
            }
        }
        if (!matched) {
            unmatched++;
            ADD_FAILURE() << "a failover no pulled cable explains: " << text;
        }
    }

    printf("path-failure soak: %llu s of clock in %.1f s, %zu path faults, %d workers, %llu verified writes, "
           "%llu verify errors, %llu errors surfaced while a path lived, %u failovers, %u unmatched\n",
           (unsigned long long)(clockMs / 1000), realSeconds, faults.size(), kWorkers,
           (unsigned long long)verified.load(), (unsigned long long)verifyErrors.load(),
           (unsigned long long)surfaced.load(), failovers, unmatched);
    fflush(stdout);
    EXPECT_EQ(verifyErrors.load(), 0u) << firstProblem;
    EXPECT_EQ(surfaced.load(), 0u) << firstProblem;
    EXPECT_GT(verified.load(), 0u);
    EXPECT_GT(failovers, 0u);
    EXPECT_EQ(host_->RoutingFaults(), 0u);
}

} // namespace
} // namespace tarntest
