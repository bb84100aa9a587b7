/*++

Module Name:

    requestworld.h

Abstract:

    The world the request-path measurements run in: a started driver with
    a given number of paths, four to a drive, every path healthy and each
    drive on its first path; and one request as MPIO makes it (categorise,
    which gets the path; hook the completion; complete).  The timed
    benchmarks and the instruction and cache-miss count share it, so both
    measure the same thing.

--*/

#pragma once

#include "mpiohost.h"
#include "tarn.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace requestworld {

inline constexpr const char *kParametersKey =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tarndsm\\Parameters";

struct World {
    std::unique_ptr<mpio::Host> Host;
    PDSM_CONTEXT Context = nullptr;
    std::vector<PPDO_ENTRY> Paths;
};

// The world with `paths` paths; built again only when the count changes.
inline World &WorldOf(size_t paths)
{
    static World world;
    static size_t built = 0;
    if (built == paths) {
        return world;
    }
    world.Host.reset();
    host::ResetMachine();
    host::RegistrySetMultiString(kParametersKey, "SupportedDeviceList", {"KESTROM TARN 4000 FC    "});
    world.Host = std::make_unique<mpio::Host>();
    world.Host->LoadDriver(DriverEntry, "tarndsm");
    world.Context = static_cast<PDSM_CONTEXT>(world.Host->Record().DsmContext);
    world.Paths.clear();

    KIRQL oldIrql;
    for (size_t drive = 0; drive < paths / 4; drive++) {
        char serial[17];
        snprintf(serial, sizeof(serial), "600A%012llX", (unsigned long long)(drive & 0xFFFFFFFFFFFFull));
        PCHAR text = static_cast<PCHAR>(DsmAllocatePool(NonPagedPool, sizeof(serial)));
        memcpy(text, serial, sizeof(serial));
        PLD_ENTRY ldEntry = nullptr;
        CreateLdEntry(&ldEntry, world.Context, text, 16, TARN_LB_POLICY_FAILOVER);
        DsmAcquireLock(world.Context, &oldIrql);
        AddLdEntry(world.Context, ldEntry);
        DsmReleaseLock(world.Context, oldIrql);
        for (UCHAR i = 0; i < 4; i++) {
            PDEVICE_OBJECT device = host::CreateDevice(u"", nullptr);
            world.Host->SetScsiAddress(device, SCSI_ADDRESS{sizeof(SCSI_ADDRESS), (UCHAR)(2 + i % 2), 0,
                                                            (UCHAR)(i / 2), (UCHAR)drive});
            PPDO_ENTRY path = nullptr;
            CreatePdoEntry(&path, world.Context, device, device, serial);
            DsmAcquireLock(world.Context, &oldIrql);
            AddPdoEntry(world.Context, ldEntry, path);
            path->HealthState = PDO_HEALTH_HEALTHY;
            if (i == 0) {
                ldEntry->currentPath = path;
            }
            DsmReleaseLock(world.Context, oldIrql);
            world.Paths.push_back(path);
        }
    }
    built = paths;
    return world;
}

// A read request as the disk class driver sends it.
struct Request {
    IRP Irp{};
    IO_STACK_LOCATION Stack{};
    SCSI_REQUEST_BLOCK Srb{};
    DSM_IDS Ids{1, {nullptr}};

    Request()
    {
        Irp.Tail.Overlay.CurrentStackLocation = &Stack;
        Stack.MajorFunction = IRP_MJ_SCSI;
        Stack.Parameters.Scsi.Srb = &Srb;
        Srb.Cdb[0] = SCSIOP_READ;
    }
};

// The four calls of one request for the device `dsmId`: categorise (which
// gets the path), hook the completion, complete.  Returns the category.
inline ULONG RunRequest(PDSM_CONTEXT context, Request &request, PVOID dsmId)
{
    request.Ids.IdList[0] = dsmId;
    PVOID path = nullptr;
    NTSTATUS status;
    ULONG category =
        DsmCategorizeRequest(context, &request.Ids, &request.Irp, &request.Srb, nullptr, &path, &status);
    DSM_COMPLETION_INFO completion;
    DsmSetCompletion(context, path, &request.Irp, &request.Srb, &completion);
    completion.DsmCompletionRoutine(path, &request.Irp, &request.Srb, completion.DsmContext);
    return category;
}

// Requests spread over every drive, as a busy host's are: each goes to a
// path far from the last one's, and a full round visits every path.
inline size_t NextSpread(size_t index, size_t count)
{
    return (index + 4 * 97 + 1) % count;
}

} // namespace requestworld
