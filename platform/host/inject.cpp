/*++

Module Name:

    inject.cpp

Abstract:

    Failure injection for the kernel calls beyond pool allocation: the
    n-th call of a routine from now, or every call of it, fails as it
    fails on the real system (a NULL return or a failure status), so a
    test can prove the driver's handling of each.

    Injection is a host setting: it persists across a reboot and
    ResetMachine clears it.

--*/

#include "hostinternal.h"

#include <atomic>
#include <mutex>

namespace host {
namespace {

constexpr size_t kCalls = static_cast<size_t>(Call::Count);

struct Injection {
    uint64_t Countdown = 0;     // 0: off; 1: the next call fails
    bool Every = false;
    uint64_t Failed = 0;        // calls failed by injection since set
};

std::mutex g_injectMutex;
Injection g_injections[kCalls];

Injection *Slot(Call call)
{
    size_t index = static_cast<size_t>(call);
    if (index >= kCalls) {
        VerifierFail("failure injection: call %zu is not an injectable call", index);
        return nullptr;
    }
    return &g_injections[index];
}

// The low-resources sweep: on while one runs, so that the common case
// costs one relaxed load.
struct Sweep {
    uint64_t FailAt = 0;
    uint64_t Reached = 0;
    bool Failed = false;
    std::string FailedSite;
    std::vector<std::pair<std::string, uint64_t>> ReachedByKind;
};

std::atomic<bool> g_sweeping{false};
std::mutex g_sweepMutex;
Sweep g_sweep;
thread_local int t_kernelOwn = 0;

// Counts a site when the driver reached it; true when it is the one to fail.
bool SiteFails(const std::string &kind, const std::string &detail)
{
    if (!g_sweeping.load(std::memory_order_relaxed) || t_kernelOwn != 0 || !detail::InDriverCall()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(g_sweepMutex);
    g_sweep.Reached++;
    auto it = g_sweep.ReachedByKind.begin();
    while (it != g_sweep.ReachedByKind.end() && it->first != kind) {
        ++it;
    }
    if (it == g_sweep.ReachedByKind.end()) {
        g_sweep.ReachedByKind.emplace_back(kind, 1);
    } else {
        it->second++;
    }
    if (g_sweep.Reached != g_sweep.FailAt) {
        return false;
    }
    g_sweep.Failed = true;
    g_sweep.FailedSite = detail.empty() ? kind : kind + " " + detail;
    return true;
}

} // namespace

const char *CallName(Call call)
{
    switch (call) {
    case Call::IoAllocateErrorLogEntry: return "IoAllocateErrorLogEntry";
    case Call::IoWMIRegistrationControl: return "IoWMIRegistrationControl";
    case Call::ZwCreateKey: return "ZwCreateKey";
    case Call::ZwSetValueKey: return "ZwSetValueKey";
    case Call::IoAllocateWorkItem: return "IoAllocateWorkItem";
    case Call::IoGetDeviceObjectPointer: return "IoGetDeviceObjectPointer";
    case Call::ZwOpenKey: return "ZwOpenKey";
    case Call::IoBuildDeviceIoControlRequest: return "IoBuildDeviceIoControlRequest";
    case Call::Count: break;
    }
    return "?";
}

void SiteSweepStart(uint64_t failAt)
{
    std::lock_guard<std::mutex> lock(g_sweepMutex);
    g_sweep = Sweep();
    g_sweep.FailAt = failAt;
    g_sweeping.store(true);
}

SiteSweepFigures SiteSweepStop()
{
    g_sweeping.store(false);
    std::lock_guard<std::mutex> lock(g_sweepMutex);
    SiteSweepFigures figures;
    figures.Reached = g_sweep.Reached;
    figures.Failed = g_sweep.Failed;
    figures.FailedSite = g_sweep.FailedSite;
    figures.ReachedByKind = g_sweep.ReachedByKind;
    g_sweep = Sweep();
    return figures;
}

void FailCallNth(Call call, uint64_t n)
{
    std::lock_guard<std::mutex> lock(g_injectMutex);
    if (Injection *slot = Slot(call)) {
        slot->Countdown = n;
        slot->Every = false;
        slot->Failed = 0;
    }
}

void FailEveryCall(Call call)
{
    std::lock_guard<std::mutex> lock(g_injectMutex);
    if (Injection *slot = Slot(call)) {
        slot->Countdown = 0;
        slot->Every = true;
        slot->Failed = 0;
    }
}

void ClearCallFailures()
{
    std::lock_guard<std::mutex> lock(g_injectMutex);
    for (auto &slot : g_injections) {
        slot = Injection();
    }
}

uint64_t InjectedCallFailures(Call call)
{
    std::lock_guard<std::mutex> lock(g_injectMutex);
    Injection *slot = Slot(call);
    return slot != nullptr ? slot->Failed : 0;
}

bool CallInjectedFails(Call call)
{
    return detail::CallFails(call);
}

namespace detail {

KernelOwnAllocation::KernelOwnAllocation()
{
    t_kernelOwn++;
}

KernelOwnAllocation::~KernelOwnAllocation()
{
    t_kernelOwn--;
}

bool PoolSiteFails(ULONG tag, size_t size)
{
    if (!g_sweeping.load(std::memory_order_relaxed)) {
        return false;
    }
    return SiteFails("pool '" + TagText(tag) + "'", std::to_string(size) + " bytes");
}

bool CallFails(Call call)
{
    if (SiteFails(CallName(call), std::string())) {
        std::lock_guard<std::mutex> lock(g_injectMutex);
        if (Injection *slot = Slot(call)) {
            slot->Failed++;
        }
        return true;
    }
    std::lock_guard<std::mutex> lock(g_injectMutex);
    Injection *slot = Slot(call);
    if (slot == nullptr) {
        return false;
    }
    bool fails = slot->Every;
    if (slot->Countdown != 0 && --slot->Countdown == 0) {
        fails = true;
    }
    slot->Failed += fails;
    return fails;
}

} // namespace detail
} // namespace host
