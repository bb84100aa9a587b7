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

} // namespace

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

namespace detail {

bool CallFails(Call call)
{
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
