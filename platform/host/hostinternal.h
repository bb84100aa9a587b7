/*++

Module Name:

    hostinternal.h

Abstract:

    What the modules of the user-mode kernel share among themselves and
    do not offer to tests: the reboot hooks of each module and a few
    checks.

--*/

#pragma once

#include "hostkernel.h"

#include <string>
#include <string_view>

namespace host {
namespace detail {

// "PASSIVE_LEVEL", "DISPATCH_LEVEL", ... for messages.
const char *IrqlName(KIRQL irql);

// Fails when called above DISPATCH_LEVEL (calls allowed at any level up to it).
void RequireAtMostDispatch(const char *call);

// UTF-16 <-> UTF-8 for names and texts the host shows.  DecodeUtf8 is
// strict (false on a malformed sequence, an overlong form, a surrogate or a
// code point beyond U+10FFFF); EncodeUtf8 turns an unpaired surrogate into
// U+FFFD and clears *exact.  Narrow and Widen never fail: what cannot be
// converted becomes U+FFFD.
bool DecodeUtf8(std::string_view in, std::u16string *out);
std::string EncodeUtf8(std::u16string_view in, bool *exact = nullptr);
std::string Narrow(const std::u16string &text);
std::u16string Widen(const std::string &text);

// The name of the driver an I/O object belongs to ("\Driver\tarndsm"):
// the object itself when it is a driver object, a device's owner.  False
// for anything that is not a driver or device object the host made.
bool IoObjectDriverName(const void *object, std::u16string *driverName);

// Each module forgets its kernel state at a reboot (Reboot), and a clean
// machine also empties what persists (ResetMachine).
void RebootIrql();
void RebootCore();          // pool, clock, timers, DPCs, events, work items, objects, devices
void ResetConcurrency();    // one processor, no worker pool
void RebootRegistry();      // open handles; the stored keys persist
void ClearRegistry();
void ResetRegistryMode();   // the kernel's query semantics back to the current ones
void RebootDiagnostics();   // pending error-log entries, trace provider registration, trace records
void ClearEventLog();
void ResetInjections();     // pool failure injection

// True when injection fails this call of the routine (inject.cpp).
bool CallFails(Call call);

// True when a low-resources sweep fails this pool allocation (inject.cpp).
bool PoolSiteFails(ULONG tag, size_t size);

// Whether the calling thread runs driver code (inside a DriverCall), and
// a scope in which the kernel allocates for itself: what a routine takes
// for its own bookkeeping is no site of the driver's.
bool InDriverCall();
class KernelOwnAllocation {
public:
    KernelOwnAllocation();
    ~KernelOwnAllocation();
    KernelOwnAllocation(const KernelOwnAllocation &) = delete;
    KernelOwnAllocation &operator=(const KernelOwnAllocation &) = delete;
};

} // namespace detail
} // namespace host
