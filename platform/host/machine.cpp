/*++

Module Name:

    machine.cpp

Abstract:

    Restart and reset of the whole user-mode kernel.

--*/

#include "hostinternal.h"

namespace host {

void Reboot()
{
    // Damage to a block nobody freed is found here at the latest.
    PoolVerify();
    detail::RebootDiagnostics();
    detail::RebootRegistry();
    detail::RebootCore();
    detail::RebootIrql();
}

void ResetMachine()
{
    Reboot();
    detail::ClearRegistry();
    detail::ClearEventLog();
    detail::ResetInjections();
    ClearCallFailures();
    detail::ResetConcurrency();
    detail::ResetRegistryMode();
    SetVerifierHandler(nullptr);
}

} // namespace host
