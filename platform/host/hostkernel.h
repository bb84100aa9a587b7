/*++

Module Name:

    hostkernel.h

Abstract:

    The controls of the user-mode kernel: what tests, the MPIO host and
    the tools use to drive and inspect the platform the driver runs on.
    The driver never includes this header; it sees only platform/include.

    The host is strict in the manner of a checked kernel with a driver
    verifier: a call made at the wrong IRQL or under a spin lock, a spin
    lock released by the wrong thread or at the wrong level, a double or
    wrong-tag free, a failed assertion: each is a verifier failure, which
    by default prints the rule broken and the call, and aborts the
    process, so the test that broke the rule fails at once.

    All controls are thread-safe.

--*/

#pragma once

#include <ntddk.h>
#include <wmistr.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace host {

//
// Verifier.
//
using VerifierHandler = void (*)(const std::string &message);

// Replaces the verifier's reaction (tests that expect a violation may
// record it instead of aborting).  nullptr restores the default: print
// "*** VERIFIER: <message>" to stderr and abort.
void SetVerifierHandler(VerifierHandler handler);

// Reports a violation of a kernel rule.
void VerifierFail(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Fails unless the calling thread is at PASSIVE_LEVEL and holds no spin
// lock; the message names the call.
void RequirePassive(const char *call);

// Spin locks held by the calling thread.
int HeldSpinLocks();

// Every call the host makes into the driver -- an entry point through
// the registration record, a completion routine, a DPC, a work item, a
// WMI control callback -- is made inside a DriverCall.  When it ends, the
// calling thread must be back at the IRQL it called at and hold exactly
// the spin locks it held: a routine that returns holding a lock or at
// another level is a verifier failure naming it, and the thread is then
// brought back (its extra locks dropped, its IRQL restored) so that the
// host can go on.  Cheap enough for the per-request path: two
// thread-local reads at each end.
class DriverCall {
public:
    // routine names the call in messages ("DsmInquireDriver", or a kind
    // such as "DPC routine" followed by address when given).
    explicit DriverCall(const char *routine, const void *address = nullptr);
    ~DriverCall();
    DriverCall(const DriverCall &) = delete;
    DriverCall &operator=(const DriverCall &) = delete;

private:
    const char *routine_;
    const void *address_;
    KIRQL irql_;
    int locks_;
};

// Calls a driver routine inside a DriverCall: CallDriver("DsmUnload",
// record.DsmUnload, record.DsmContext).
template <typename Routine, typename... Args>
auto CallDriver(const char *name, Routine routine, Args &&...args) -> decltype(routine(args...))
{
    DriverCall call(name);
    return routine(static_cast<Args &&>(args)...);
}

// Pool tags as the kernel packs them: "TARN" is 'NRAT'.
constexpr ULONG Tag(const char (&text)[5])
{
    return (ULONG)(unsigned char)text[0] | ((ULONG)(unsigned char)text[1] << 8) |
           ((ULONG)(unsigned char)text[2] << 16) | ((ULONG)(unsigned char)text[3] << 24);
}
std::string TagText(ULONG tag);

//
// Pool.
//
struct PoolBlock {
    const void *Address;
    size_t Size;
    ULONG Tag;
    POOL_TYPE Type;
    uint64_t Serial;        // the n-th allocation since boot
};

size_t PoolOutstanding();                   // blocks not yet freed
size_t PoolOutstanding(ULONG tag);
std::vector<PoolBlock> PoolBlocks();
std::string PoolReport();                   // one line per outstanding block

// The verifier's pool sweep: checks the guard bytes before and after
// every live block (lookaside entries included) and reports each damaged
// one as a verifier failure naming its tag, size and serial.  Returns the
// number of damaged blocks.  Tests call it at any time; the fixtures call
// it at every test's end, and Reboot and ResetMachine call it first.
// With damage given, the findings are returned in it instead of reported.
size_t PoolVerify(std::vector<std::string> *damage = nullptr);
uint64_t PoolAllocationCount();             // allocations attempted since boot
// The outstanding block that holds [address, address + size), if any.
bool PoolBlockAt(const void *address, size_t size, PoolBlock *block);

// Allocation failure injection: the n-th allocation attempt from now
// (1 = the next one) fails; or every allocation of a tag fails.
void PoolFailNth(uint64_t n);
void PoolFailTag(ULONG tag);
void PoolClearFailures();

// As the real pool's per-size free lists do: with reuse on, a block just
// freed is handed to the next allocation of the same size and alignment,
// at the same address.  Off (the default, and after ResetMachine), freed
// memory is released at once.
void PoolReuseFreedBlocks(bool on);

// Declares the tag of pool another component (the multipath framework)
// allocates and hands to a driver without promising its pool type.  A
// free of such a block above APC_LEVEL is then a verifier failure, as it
// would be were the block paged.  Kept across Reboot; ResetMachine
// forgets every declared tag.
void PoolForeignTag(ULONG tag);

//
// Failure injection for other kernel calls, by the same controls: the
// n-th call of a routine from now (1 = the next one) fails, or every call
// of it.  A failed call does what it does on the real system:
// IoAllocateErrorLogEntry and IoAllocateWorkItem return NULL; the others
// return STATUS_INSUFFICIENT_RESOURCES and change nothing.  ZwOpenKey is
// the key's opening inside RtlQueryRegistryValues and RtlCheckRegistryKey;
// IoBuildDeviceIoControlRequest the request MPIO's
// DsmSendDeviceIoControlSynchronous builds, which then ends with that
// status in the caller's status block.
//
enum class Call {
    IoAllocateErrorLogEntry,
    IoWMIRegistrationControl,
    ZwCreateKey,
    ZwSetValueKey,
    IoAllocateWorkItem,
    IoGetDeviceObjectPointer,
    ZwOpenKey,
    IoBuildDeviceIoControlRequest,
    Count
};
const char *CallName(Call call);

void FailCallNth(Call call, uint64_t n);
void FailEveryCall(Call call);
void ClearCallFailures();
uint64_t InjectedCallFailures(Call call);   // calls failed since the injection was set
// For the routines the emulated framework serves the driver: true when
// injection (or a sweep, below) fails this call of one.
bool CallInjectedFails(Call call);

//
// Systematic low resources, a verifier's low-resources simulation made
// exhaustive.  While a sweep runs, every failable call the driver makes --
// pool and lookaside allocations and each routine of Call, made inside a
// DriverCall (the services MPIO offers the driver included) -- is a site,
// numbered in the order reached; the failAt-th fails as injection fails it
// (0: none does).  What the host or MPIO allocates for itself outside the
// driver's calls is not a site, nor a block a kernel routine takes for its
// own bookkeeping.  A test runs its scenario once to count the sites, then
// once per site with that one failed, until a run reaches fewer.
//
struct SiteSweepFigures {
    uint64_t Reached = 0;                   // sites reached
    bool Failed = false;                    // the failAt-th was reached and failed
    std::string FailedSite;                 // "pool 'TARN' 64 bytes", "IoAllocateWorkItem", ...
    std::vector<std::pair<std::string, uint64_t>> ReachedByKind;   // "pool 'TARN'", "ZwCreateKey", ... in first-reached order
};
void SiteSweepStart(uint64_t failAt);
SiteSweepFigures SiteSweepStop();

//
// Clock, timers, DPCs.  Time starts at boot (interrupt time 0) and moves
// only when told to, unless real-time mode is on.  System time is a fixed
// boot moment plus interrupt time.
//
void ClockAdvance(uint64_t milliseconds);   // runs each due DPC at DISPATCH_LEVEL, in due order (see SetProcessors)
uint64_t InterruptTime();                   // 100 ns units since boot
void SetBootSystemTime(int64_t systemTime); // 100 ns units since 1601
size_t ActiveTimers();
uint64_t DpcRuns();

// Real-time mode for tools: a host thread advances the clock with the
// wall clock and runs DPCs; work items run on the worker pool (one
// thread unless SetWorkerThreads asks for more).
void SetRealTime(bool on);

// The processors DPCs run on (1 to 8).  With one, the default, each due
// DPC runs on the thread that advances the clock, at its exact due
// moment.  With more, timers expire as the kernel's clock interrupt
// expires them: those due by the end of a tick (15.625 ms) expire
// together at its end, and their DPCs run at once on that many processor
// threads; the advance waits until they have run before the next tick,
// so the expiries stay the same from run to run.  A DPC object is never
// queued twice nor run on two processors at once.  Kept across Reboot;
// ResetMachine brings back one processor and no worker pool.
void SetProcessors(unsigned count);
unsigned Processors();
uint64_t MostDpcsAtOnce();                  // the most DPCs seen running at once since boot

// A pool of worker threads that run work items as soon as they are
// queued, several at once; DrainWorkItems then waits until the pool has
// run everything queued.  0 (the default): work items wait for
// DrainWorkItems, which runs them on the calling thread.  Changing the
// size waits for the routines running; what is queued stays queued.  As
// a driver flushes its work before unloading, stop the pool (0) before
// tearing down what its routines use.
void SetWorkerThreads(unsigned count);

// Spin lock hold times in wall-clock nanoseconds, per lock: measured
// while on (turning it on clears the figures).  Cheap when off.
struct SpinLockHold {
    const void *Lock;
    uint64_t Acquisitions;
    uint64_t LongestNs;
};
void MeasureSpinLockHolds(bool on);
std::vector<SpinLockHold> SpinLockHolds();
// The figures of one lock (zero when never taken while measuring).
SpinLockHold SpinLockHoldOf(const void *lock);

//
// Work items.
//
size_t DrainWorkItems();                    // runs queued items at PASSIVE_LEVEL on this thread
size_t PendingWorkItems();

//
// Objects and devices.
//
using DeviceControlHandler =
    std::function<void(ULONG code, PVOID input, ULONG inputLength, PVOID output, ULONG outputLength,
                       bool internal, PIO_STATUS_BLOCK status)>;

// A device object, named (reachable by IoGetDeviceObjectPointer) or not,
// whose device control requests go to handler.
PDEVICE_OBJECT CreateDevice(const std::u16string &name, DeviceControlHandler handler);
void DeleteDevice(PDEVICE_OBJECT device);
PDRIVER_OBJECT CreateDriverObject(const std::u16string &name);

// Sends a device control request to a device created above (PASSIVE_LEVEL).
void DispatchDeviceControl(PDEVICE_OBJECT device, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                           ULONG outputLength, bool internal, PIO_STATUS_BLOCK status);

// References taken by IoGetDeviceObjectPointer/ObfReferenceObject and
// not yet released, per object and in all.
LONG ObjectReferences(const void *object);
size_t OutstandingFileObjects();

//
// Registry.  Paths may be given as "\Registry\Machine\..." or in the
// .reg form "HKEY_LOCAL_MACHINE\...", case-insensitively.
//
bool RegistryImport(const std::string &regText, std::string *error);   // Windows .reg text
std::string RegistryExport(const std::string &keyPath = "");           // whole store when empty
void RegistryClear();
bool RegistryKeyExists(const std::string &keyPath);
void RegistryDeleteKey(const std::string &keyPath);
void RegistryDeleteValue(const std::string &keyPath, const std::string &valueName);
void RegistrySetValue(const std::string &keyPath, const std::string &valueName, ULONG type,
                      const std::vector<uint8_t> &data);
bool RegistryGetValue(const std::string &keyPath, const std::string &valueName, ULONG *type,
                      std::vector<uint8_t> *data);
void RegistrySetDword(const std::string &keyPath, const std::string &valueName, ULONG value);
bool RegistryGetDword(const std::string &keyPath, const std::string &valueName, ULONG *value);
void RegistrySetString(const std::string &keyPath, const std::string &valueName, const std::string &value);
void RegistrySetMultiString(const std::string &keyPath, const std::string &valueName,
                            const std::vector<std::string> &values);
size_t OpenRegistryHandles();

// As on kernels older than the flag: RtlQueryRegistryValues ignores
// RTL_QUERY_REGISTRY_TYPECHECK, so a direct query stores a value of any
// type and size (and the verifier reports the overrun that would
// follow).  ResetMachine turns it off.
void RegistryIgnoreTypecheck(bool ignore);

//
// Event log.  Each entry keeps the packet byte for byte.
//
struct EventRecord {
    std::vector<uint8_t> Packet;    // IO_ERROR_LOG_PACKET, dump data and strings
    std::u16string Source;          // the I/O object's name (driver object name's last component)
    int64_t SystemTime;
    uint64_t Sequence;
};

struct MessageEntry {
    ULONG Id;
    const char *SymbolicName;
    const char *Text;               // English text, %1..%n insertion points, ends with CRLF
};

// Makes a source's messages renderable, as the event-source registration
// of a driver's message file does.
void RegisterMessageTable(const std::u16string &source, const MessageEntry *entries, size_t count);
const MessageEntry *FindMessage(const std::u16string &source, ULONG id);

std::vector<EventRecord> EventLog();
void ClearEventLog();
size_t PendingErrorLogEntries();    // allocated but never written

// The entry's description with insertion strings filled in (%1 is the
// source name, %2 and on the packet's strings).
std::string EventDescription(const EventRecord &record);
// The entry as Event Viewer shows it: type, source, ID, description and
// the data bytes.
std::string RenderEvent(const EventRecord &record);
// The insertion strings of a packet, narrowed (tests).
std::vector<std::u16string> EventStrings(const EventRecord &record);

//
// Software tracing.
//
struct TraceRecord {
    TRACEHANDLE Logger;
    ULONG MessageFlags;
    GUID MessageGuid;
    USHORT MessageNumber;
    std::vector<std::vector<uint8_t>> Arguments;   // one byte string per (address, length) pair
    uint64_t Sequence;
};

// One trace site, as a trace format file describes it: the module's
// message GUID, the range of source lines of the call (the message number
// is a line inside it), the enabling flag, the format and its argument
// kinds.
struct TraceFormat {
    GUID MessageGuid;
    const char *Module;
    unsigned FirstLine;
    unsigned LastLine;
    ULONG Flag;
    const char *FlagName;
    const char *Format;
    // The arguments' kinds in order, comma-separated, from the trace
    // call's argument macros: ULONG, LONG, ULONGLONG, UCHAR, PTR, STR
    // (8-bit text with its NUL) and USTR (16-bit counted text, no NUL).
    const char *ArgumentKinds;
};

void RegisterTraceFormats(const TraceFormat *formats, size_t count);

// As a trace session would: sends IRP_MN_ENABLE_EVENTS / DISABLE_EVENTS
// to the registered provider for a new logger with these flags and level.
bool TraceEnable(ULONG flags, UCHAR level);
void TraceDisable();
bool TraceProviderRegistered();

// The key of the boot-time trace session for a provider ("Start", "Flags"
// and "Level" values), as the kernel names it from the provider's GUID.
std::string GlobalLoggerKey(const GUID &provider);

std::vector<TraceRecord> TraceRecords();
void ClearTrace();
const TraceFormat *FindTraceFormat(const TraceRecord &record);
// "[module] LEVEL text" with the format's arguments decoded.
std::string RenderTrace(const TraceRecord &record);
std::vector<std::string> RenderTraces(ULONG flagMask = 0xFFFFFFFF);

//
// The whole kernel.
//

// Forgets every kernel object, pool block, timer, DPC, work item, event,
// handle and trace registration, as a restart does; the registry and the
// event log persist.  Nothing is reported as leaked.
void Reboot();

// Reboot, and also empty the registry and the event log and restore the
// verifier's default handler and every injection (pool and calls): a
// clean machine.
void ResetMachine();

} // namespace host
