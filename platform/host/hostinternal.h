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

namespace host {
namespace detail {

// Fails when called above DISPATCH_LEVEL (calls allowed at any level up to it).
void RequireAtMostDispatch(const char *call);

// UTF-16 <-> UTF-8 for names and texts the host shows.
std::string Narrow(const std::u16string &text);
std::u16string Widen(const std::string &text);

// Each module forgets its kernel state at a reboot (Reboot), and a clean
// machine also empties what persists (ResetMachine).
void RebootIrql();
void RebootCore();          // pool, clock, timers, DPCs, events, work items, objects, devices
void RebootRegistry();      // open handles; the stored keys persist
void ClearRegistry();
void RebootDiagnostics();   // pending error-log entries, trace provider registration, trace records
void ClearEventLog();
void ResetInjections();     // pool failure injection

} // namespace detail
} // namespace host
