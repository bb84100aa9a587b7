/*++

Module Name:

    mpiointernal.h

Abstract:

    What the three parts of the emulated stack share: the port
    (port.cpp), Plug and Play (pnp.cpp) and MPIO proper (claim.cpp,
    iopath.cpp, pathlife.cpp, wmi.cpp, mpiohost.cpp).  A request as it
    travels between them, MPIO's record of one multipath disk, the port's
    record of one link, and the assertion each routine makes of the lock
    it needs.

--*/

#pragma once

#include "mpiohost.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace mpio {


// What MPIO puts in a DSM's outputs before each call, so one the DSM
// should have written and did not is caught.
inline const PVOID kUnwrittenPath = reinterpret_cast<PVOID>(static_cast<uintptr_t>(0xBAADF00D));
constexpr NTSTATUS kUnwrittenStatus = (NTSTATUS)0xBAADF00DL;
constexpr ULONG kUnwrittenSize = 0xBAADF00D;

// The disk class driver's request timeout, in seconds, where its
// "TimeOutValue" is not set.
constexpr ULONG kDiskTimeOutValue = 10;
constexpr char kDiskClassKey[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Disk";

// A relative due time of so many milliseconds, as KeSetTimerEx takes it.
inline LARGE_INTEGER DueIn(ULONG milliseconds)
{
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)milliseconds * TIME_UNITS_PER_MS;
    return due;
}

// One request from the class driver's submission to its completion.
struct Host::Request {
    Host *Owner = nullptr;
    size_t Disk = 0;
    std::shared_ptr<PendingIo> Io;
    PVOID Path = nullptr;               // the path identifier of the current attempt
    size_t Device = SIZE_MAX;           // the device it went down
    const mpio::Device *Record = nullptr;   // and its record, taken under lock_
    DSM_COMPLETION_INFO Completion{};
    ULONG Retries = 0;                  // resends the DSM asked for so far
    ULONG BusyRetries = 0;              // resends of the class driver above, after BUSY
    ULONG Failovers = 0;                // path failures it met
    uint64_t AskedAt = 0;               // removal notices returned when the DSM was last asked for its path
    KTIMER Timer;                       // the retry interval, or the port's timeout while at the port
    KDPC Dpc;
    KDPC TimeoutDpc;
    bool Timing = false;                // the port is timing it out (under lock_)
    // The host is stopping and no party carries the request on: the stop
    // fails it, once everything else has finished (lock_).
    bool Parked = false;
};

// MPIO's record of one multipath disk.
struct Host::DiskState {
    Host *Owner = nullptr;
    size_t Disk = 0;
    std::deque<Request *> Held;         // waiting for a path
    KTIMER Timer;                       // the removal period
    KDPC Dpc;
    bool Armed = false;
    bool Expired = false;               // the removal period ran out; the work item acts on it
    LONGLONG LostAt = 0;                // system time its last live path went (lock_)
    // No device left and no removal period running: MPIO removed the
    // disk, and a logical unit that returns is a new disk.
    bool Gone = false;
    // Seconds the class driver gives each request (its SRB's
    // TimeOutValue), read when the disk started.
    ULONG TimeOutValue = kDiskTimeOutValue;
};

// The port's view of one path of the topology: its link to a target
// port.  A command that meets the link down (or the transport's report
// of a lost connection) marks it down; from then on the port tries it
// every probe interval.  Past the link-down time it reports the disk
// devices seen through it gone; once it answers again it enumerates the
// logical units anew.  Guarded by Host::lock_, apart from the fields
// fixed at discovery.
struct Host::Link {
    Host *Owner = nullptr;
    size_t Index = 0;
    PathSpec Path;                      // fixed at discovery
    uint32_t Initiator = 0;             // fixed at discovery
    bool Down = false;
    bool DevicesRemoved = false;        // the link-down time ran out while down
    LONGLONG DownSince = 0;             // system time the port met it down
    bool Due = false;                   // a probe interval passed; the work item acts on it
    // A unit it enumerated answered LOGICAL UNIT NOT SUPPORTED: the port
    // rescans the link every probe interval until every unit answers.
    bool UnitsMissing = false;
    UCHAR FaultStatus = 0;              // the port's fault switch (Host::FailAtPort)
    unsigned FaultsLeft = 0;
    KTIMER Timer;                       // the probe interval while down or a unit is missing
    KDPC Dpc;
};

// What MPIO's work item is given.
struct Host::WorkContext {
    Host *Owner;
    PIO_WORKITEM Item;
};

// The identifier list MPIO passes: a count and the disk's paths.
std::unique_ptr<uint8_t[]> IdList(const std::vector<PVOID> &ids);

// A disk's identifier list as MPIO hands it to the DSM: taken as it
// stands under lock_, with the remove lock of every device in it held
// until the list is let go.  So a device whose removal has begun may
// still be in a list the DSM is looking at, but the DSM is not told to
// forget it (DsmRemoveDevice) until every such call has returned.  Any
// IRQL up to DISPATCH_LEVEL; lock_ not held.
class Host::HeldIds {
public:
    HeldIds(Host *host, size_t disk);
    ~HeldIds();
    HeldIds(const HeldIds &) = delete;
    HeldIds &operator=(const HeldIds &) = delete;

    bool Empty() const { return devices_.empty(); }
    PDSM_IDS List() const { return reinterpret_cast<PDSM_IDS>(list_.get()); }

private:
    Host *host_;
    std::vector<size_t> devices_;
    std::unique_ptr<uint8_t[]> list_;
};

// What MPIO would refuse in a record's WMI block, or empty.
std::string WmiBlockProblem(const DSM_WMILIB_CONTEXT &wmi);

// One call of a DSM's WMI callback offering `size` bytes: returns the
// DSM's status and sets *needed to the size it asked for.
using WmiCall = std::function<NTSTATUS(ULONG size, ULONG *needed)>;

// Calls offering `size` bytes and, while the DSM answers
// STATUS_BUFFER_TOO_SMALL asking for more, again offering what it asked
// for, as WMI does: up to `attempts` calls in all.  *calls (if given)
// counts the calls made.
NTSTATUS CallWithLargerBuffers(ULONG size, int attempts, const WmiCall &call, int *calls = nullptr);

// A routine's lock, asserted at its entry: a verifier failure unless the
// calling thread holds it.
inline void RequireHeld(const HostMutex &mutex, const char *routine)
{
    if (!mutex.HeldHere()) {
        host::VerifierFail("MPIO: %s called without the lock it needs", routine);
    }
}

// Raises the calling thread to DISPATCH_LEVEL for a scope, as MPIO's
// completion and routing code runs.
class AtDispatch {
public:
    AtDispatch() { KeRaiseIrql(DISPATCH_LEVEL, &old_); }
    ~AtDispatch() { KeLowerIrql(old_); }
    AtDispatch(const AtDispatch &) = delete;
    AtDispatch &operator=(const AtDispatch &) = delete;

private:
    KIRQL old_ = PASSIVE_LEVEL;
};

} // namespace mpio
