/*++

Module Name:

    irql.cpp

Abstract:

    The verifier, per-thread IRQL and spin locks of the user-mode kernel.

    A spin lock is a real lock: the KSPIN_LOCK word holds a token of the
    owning thread while held, so that concurrent entry points serialise as
    on a multiprocessor, and so that a release by a thread that does not
    hold the lock, a recursive acquire, or a release at the wrong level is
    caught here rather than deadlocking or corrupting state.

--*/

#include "hostinternal.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace host {
namespace {

std::atomic<VerifierHandler> g_handler{nullptr};

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local int t_heldLocks = 0;
thread_local int t_driverCalls = 0;   // DriverCalls the thread is inside

// The locks this thread holds, with the level each was taken at, so a
// release can be checked against its acquire.
struct HeldLock {
    PKSPIN_LOCK Lock;
    KIRQL OldIrql;
    uint64_t Since;     // when it was taken (ns), while holds are measured; else 0
};
constexpr int kMaxHeldLocks = 16;
thread_local HeldLock t_held[kMaxHeldLocks];
thread_local char t_lockToken;   // its address identifies the thread as a lock owner

// Hold times, per lock, in an open-addressed table that a release
// updates without a lock: a slot is claimed once for a lock address and
// keeps it until the figures are cleared.
constexpr size_t kHoldSlots = 1024;
struct HoldSlot {
    std::atomic<uintptr_t> Lock{0};
    std::atomic<uint64_t> Acquisitions{0};
    std::atomic<uint64_t> LongestNs{0};
};
HoldSlot g_holds[kHoldSlots];
std::atomic<bool> g_measureHolds{false};

uint64_t NowNs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// The slot of a lock, claimed if need be; nullptr when the table is full.
HoldSlot *HoldSlotOf(uintptr_t lock, bool claim)
{
    size_t start = (lock >> 3) % kHoldSlots;
    for (size_t i = 0; i < kHoldSlots; i++) {
        HoldSlot &slot = g_holds[(start + i) % kHoldSlots];
        uintptr_t owner = slot.Lock.load(std::memory_order_acquire);
        if (owner == lock) {
            return &slot;
        }
        if (owner == 0) {
            if (!claim) {
                return nullptr;
            }
            if (slot.Lock.compare_exchange_strong(owner, lock, std::memory_order_acq_rel) || owner == lock) {
                return &slot;
            }
        }
    }
    return nullptr;
}

void RecordHold(PKSPIN_LOCK lock, uint64_t since)
{
    HoldSlot *slot = HoldSlotOf(reinterpret_cast<uintptr_t>(lock), true);
    if (slot == nullptr) {
        return;
    }
    uint64_t held = NowNs() - since;
    slot->Acquisitions.fetch_add(1, std::memory_order_relaxed);
    uint64_t longest = slot->LongestNs.load(std::memory_order_relaxed);
    while (held > longest && !slot->LongestNs.compare_exchange_weak(longest, held, std::memory_order_relaxed)) {
    }
}

// The lock this thread took last, for messages.
PKSPIN_LOCK LastHeldLock()
{
    int slot = (t_heldLocks < kMaxHeldLocks ? t_heldLocks : kMaxHeldLocks) - 1;
    return slot >= 0 ? t_held[slot].Lock : nullptr;
}

ULONG_PTR OwnToken()
{
    return reinterpret_cast<ULONG_PTR>(&t_lockToken);
}

} // namespace

void SetVerifierHandler(VerifierHandler handler)
{
    g_handler.store(handler);
}

void VerifierFail(const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);

    VerifierHandler handler = g_handler.load();
    if (handler != nullptr) {
        handler(text);
        return;
    }
    fprintf(stderr, "*** VERIFIER: %s\n", text);
    fflush(stderr);
    abort();
}

void RequirePassive(const char *call)
{
    if (t_irql != PASSIVE_LEVEL) {
        VerifierFail("%s called at %s; it may only be called at PASSIVE_LEVEL", call, detail::IrqlName(t_irql));
    } else if (t_heldLocks != 0) {
        VerifierFail("%s called with a spin lock held; it may only be called at PASSIVE_LEVEL", call);
    }
}

namespace detail {

bool InDriverCall()
{
    return t_driverCalls > 0;
}

} // namespace detail

int HeldSpinLocks()
{
    return t_heldLocks;
}

DriverCall::DriverCall(const char *routine, const void *address)
    : routine_(routine), address_(address), irql_(t_irql), locks_(t_heldLocks)
{
    t_driverCalls++;
}

DriverCall::~DriverCall()
{
    t_driverCalls--;
    if (t_heldLocks == locks_ && t_irql == irql_) {
        return;
    }
    char name[160];
    if (address_ != nullptr) {
        snprintf(name, sizeof(name), "%s %p", routine_, address_);
    } else {
        snprintf(name, sizeof(name), "%s", routine_);
    }
    if (t_heldLocks > locks_) {
        PKSPIN_LOCK lock = locks_ < kMaxHeldLocks ? t_held[locks_].Lock : nullptr;
        VerifierFail("%s returned holding a spin lock (%p); every lock it takes must be released before it returns",
                     name, (void *)lock);
    } else if (t_heldLocks < locks_) {
        VerifierFail("%s returned having released a spin lock its caller holds", name);
    } else {
        VerifierFail("%s returned at %s; it was called at %s", name, detail::IrqlName(t_irql),
                     detail::IrqlName(irql_));
    }

    // Back to the caller's state, so that the host (and a test that
    // records the failure) can go on: the locks taken inside are dropped.
    ULONG_PTR token = OwnToken();
    for (int i = locks_; i < t_heldLocks && i < kMaxHeldLocks; i++) {
        ULONG_PTR owned = token;
        __atomic_compare_exchange_n(t_held[i].Lock, &owned, (ULONG_PTR)0, false, __ATOMIC_RELEASE,
                                    __ATOMIC_RELAXED);
    }
    if (t_heldLocks > locks_) {
        t_heldLocks = locks_;
    }
    t_irql = irql_;
}

void MeasureSpinLockHolds(bool on)
{
    if (on) {
        for (HoldSlot &slot : g_holds) {
            slot.Acquisitions.store(0, std::memory_order_relaxed);
            slot.LongestNs.store(0, std::memory_order_relaxed);
            slot.Lock.store(0, std::memory_order_release);
        }
    }
    g_measureHolds.store(on, std::memory_order_release);
}

std::vector<SpinLockHold> SpinLockHolds()
{
    std::vector<SpinLockHold> holds;
    for (const HoldSlot &slot : g_holds) {
        uintptr_t lock = slot.Lock.load(std::memory_order_acquire);
        if (lock != 0) {
            holds.push_back(SpinLockHold{reinterpret_cast<const void *>(lock),
                                         slot.Acquisitions.load(std::memory_order_relaxed),
                                         slot.LongestNs.load(std::memory_order_relaxed)});
        }
    }
    return holds;
}

SpinLockHold SpinLockHoldOf(const void *lock)
{
    HoldSlot *slot = HoldSlotOf(reinterpret_cast<uintptr_t>(lock), false);
    if (slot == nullptr) {
        return SpinLockHold{lock, 0, 0};
    }
    return SpinLockHold{lock, slot->Acquisitions.load(std::memory_order_relaxed),
                        slot->LongestNs.load(std::memory_order_relaxed)};
}

namespace detail {

const char *IrqlName(KIRQL irql)
{
    switch (irql) {
    case PASSIVE_LEVEL:
        return "PASSIVE_LEVEL";
    case APC_LEVEL:
        return "APC_LEVEL";
    case DISPATCH_LEVEL:
        return "DISPATCH_LEVEL";
    default:
        return "a device IRQL";
    }
}

void RequireAtMostDispatch(const char *call)
{
    if (t_irql > DISPATCH_LEVEL) {
        VerifierFail("%s called above DISPATCH_LEVEL", call);
    }
}

void RebootIrql()
{
    t_irql = PASSIVE_LEVEL;
    t_heldLocks = 0;
}

} // namespace detail
} // namespace host

using namespace host;

extern "C" VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message)
{
    VerifierFail("assertion failed: \"%s\" at %s:%u%s%s", static_cast<const char *>(FailedAssertion),
                 static_cast<const char *>(FileName), LineNumber, Message != nullptr ? ": " : "",
                 Message != nullptr ? Message : "");
}

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID)
{
    return t_irql;
}

// The thread's identity is the same token its spin locks carry, so a
// driver's record of who holds its lock agrees with the lock itself.
extern "C" PKTHREAD NTAPI KeGetCurrentThread(VOID)
{
    return reinterpret_cast<PKTHREAD>(OwnToken());
}

extern "C" KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql)
{
    KIRQL old = t_irql;
    if (NewIrql < old) {
        VerifierFail("KeRaiseIrql to %s from the higher %s", detail::IrqlName(NewIrql), detail::IrqlName(old));
    }
    t_irql = NewIrql;
    return old;
}

extern "C" VOID FASTCALL KfLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > t_irql) {
        VerifierFail("KeLowerIrql to %s from the lower %s", detail::IrqlName(NewIrql), detail::IrqlName(t_irql));
    } else if (NewIrql < DISPATCH_LEVEL && t_heldLocks != 0) {
        // The holder could be preempted, and a thread spinning on the lock
        // at DISPATCH_LEVEL would never let it run again.
        VerifierFail("KeLowerIrql to %s with spin lock %p held; a spin lock holder must stay at DISPATCH_LEVEL",
                     detail::IrqlName(NewIrql), (void *)LastHeldLock());
    }
    t_irql = NewIrql;
}

extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE);
}

extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    if (t_irql > DISPATCH_LEVEL) {
        VerifierFail("KeAcquireSpinLock called at %s, above DISPATCH_LEVEL", detail::IrqlName(t_irql));
    }
    ULONG_PTR token = OwnToken();
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == token) {
        VerifierFail("spin lock %p acquired recursively by its owner (deadlock)", (void *)SpinLock);
    }
    KIRQL old = t_irql;
    t_irql = DISPATCH_LEVEL;
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, token, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            break;
        }
        std::this_thread::yield();
    }
    if (t_heldLocks >= kMaxHeldLocks) {
        VerifierFail("more than %d spin locks held at once", kMaxHeldLocks);
    } else {
        t_held[t_heldLocks] = HeldLock{SpinLock, old, g_measureHolds.load(std::memory_order_relaxed) ? NowNs() : 0};
    }
    t_heldLocks++;
    return old;
}

extern "C" VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != OwnToken()) {
        VerifierFail("spin lock %p released by a thread that does not hold it", (void *)SpinLock);
        return;
    }
    if (t_irql != DISPATCH_LEVEL) {
        VerifierFail("spin lock %p released at %s; it was taken at DISPATCH_LEVEL", (void *)SpinLock,
                     detail::IrqlName(t_irql));
    }
    int slot = t_heldLocks - 1;
    while (slot >= 0 && t_held[slot].Lock != SpinLock) {
        slot--;
    }
    if (slot >= 0) {
        if (t_held[slot].OldIrql != NewIrql) {
            VerifierFail("spin lock %p released to %s; it was taken at %s", (void *)SpinLock, detail::IrqlName(NewIrql),
                         detail::IrqlName(t_held[slot].OldIrql));
        }
        if (t_held[slot].Since != 0 && g_measureHolds.load(std::memory_order_relaxed)) {
            RecordHold(SpinLock, t_held[slot].Since);
        }
        for (int i = slot; i + 1 < t_heldLocks && i + 1 < kMaxHeldLocks; i++) {
            t_held[i] = t_held[i + 1];
        }
    }
    t_heldLocks--;
    __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE);
    if (NewIrql < DISPATCH_LEVEL && t_heldLocks != 0) {
        VerifierFail("spin lock %p released to %s while spin lock %p is still held; a spin lock holder must stay at "
                     "DISPATCH_LEVEL",
                     (void *)SpinLock, detail::IrqlName(NewIrql), (void *)LastHeldLock());
    }
    t_irql = NewIrql;
}
