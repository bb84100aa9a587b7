/*++

Module Name:

    healpaths.h

Abstract:

    Leaves every claimed path bound to its target device and healthy, and
    every drive on its first path, as MPIO's binding and the driver's path
    verification will once they exist.  Until then tests (and the cluster
    node processes) stand in for them with this.

--*/

#pragma once

#include "mpiohost.h"
#include "tarn.h"

namespace tarntest {

inline void BindAndHealAllPaths(mpio::Host &host, PDSM_CONTEXT context)
{
    for (size_t i = 0; i < host.Devices().size(); i++) {
        host.AdoptUnboundPath(i);
    }
    KIRQL oldIrql;
    DsmAcquireLock(context, &oldIrql);
    for (const mpio::Device &device : host.Devices()) {
        if (device.DsmId != nullptr && IsPdoEntryValid(context, (PPDO_ENTRY)device.DsmId)) {
            PPDO_ENTRY path = (PPDO_ENTRY)device.DsmId;
            path->TargetObject = device.TargetObject;
            path->HealthState = PDO_HEALTH_HEALTHY;
        }
    }
    for (PLIST_ENTRY link = context->DriveList.Flink; link != &context->DriveList; link = link->Flink) {
        PLD_ENTRY drive = CONTAINING_RECORD(link, LD_ENTRY, DriveLink);
        drive->currentPath = IsListEmpty(&drive->PathList)
                                 ? nullptr
                                 : CONTAINING_RECORD(drive->PathList.Flink, PDO_ENTRY, LdLink);
    }
    DsmReleaseLock(context, oldIrql);
}

} // namespace tarntest
