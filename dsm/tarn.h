/*++

Module Name:

    tarn.h

Abstract:

    Record types, constants and routines shared by the modules of the
    multipath DSM.

Environment:

    Kernel mode.

--*/

#pragma once

#include <ntddk.h>
#include <ntstrsafe.h>
#include <dsm.h>
#include <scsi.h>
#include <wmistr.h>

#include "tarnmsg.h"
#include "tarntrace.h"

// The platform's code analysis bans formatting that does not know its
// buffer's size, and the C library's generator is for PASSIVE_LEVEL
// callers only: the driver's own sources may not name them.
#if defined(TARN_DRIVER_SOURCE) && defined(__GNUC__)
#pragma GCC poison sprintf swprintf rand srand
#endif

//
// Pool tags, one per purpose.
//
#define TARN_POOL_TAG 'NRAT'    // "TARN": every record and buffer of the DSM's own
#define TARN_DDK_TAG  ' kdD'    // "Ddk ": pass-through buffers and the WMI registry path copy

#define TARN_DRIVER_VERSION "4.0.183.10"

//
// Path selection policies, as stored in the registry.
//
#define TARN_LB_POLICY_STATIC_MASK  0x100
#define TARN_LB_POLICY_DYNAMIC_MASK 0x200
#define TARN_LB_POLICY_FAILOVER     0x101   // static: keep the current path; no failback
#define TARN_LB_POLICY_FAILBACK     0x102   // static, failing back to the preferred path
#define TARN_LB_POLICY_ROUND_ROBIN  0x201   // dynamic: switch paths over time

inline BOOLEAN DsmIsValidPolicy(ULONG Policy)
{
    return (BOOLEAN)(Policy == TARN_LB_POLICY_FAILOVER || Policy == TARN_LB_POLICY_FAILBACK ||
                     Policy == TARN_LB_POLICY_ROUND_ROBIN);
}

//
// Configuration defaults and limits.
//
#define TARN_DEFAULT_ROUND_ROBIN_TIMESLICE 2500     // milliseconds
#define TARN_DEFAULT_TUR_TIMEOUT           120      // seconds
#define TARN_MAX_TUR_TIMEOUT               360
#define TARN_DEFAULT_TUR_RETRY_COUNT       2
#define TARN_MAX_TUR_RETRY_COUNT           10
#define TARN_PR_KEY_LENGTH                 8
// The most a counted string can count, terminator included.
#define TARN_MAX_COUNTED_STRING_BYTES      0xFFFE

// Relative-to-services key paths are formatted into buffers of this many
// wide characters, terminator included.
#define TARN_SERVICE_KEY_PATH_CHARS 56

//
// Path health states.  Only SetPathHealth moves a path between them, and
// only along the rows of its transition table (tarnsupport.cpp); each
// state below names who sets it, what a path in it may do, and the rows
// that leave it.  "Carries requests" means path choice may make it a
// drive's current path; a drive with no HEALTHY path falls back to a
// FAILING one, then a FAILED one, rather than to none.
//
// INIT_START: the record was made for a device MPIO offered (the claim,
//   DsmInquireDriver).  Carries nothing, has no target object yet.
//   Leaves to INIT_SETDEVICEINFO or PENDING_REMOVE.
#define PDO_HEALTH_INIT_START               0
// INIT_SETDEVICEINFO: DsmSetDeviceInfo bound MPIO's target object.  The
//   driver's own commands may now reach the device; carries no requests.
//   Leaves by the first DsmPathVerify to INIT_PATHVERIFY_SUCCESS or
//   INIT_PATHVERIFY_FAIL, or to PENDING_REMOVE.
#define PDO_HEALTH_INIT_SETDEVICEINFO       1
// INIT_PATHVERIFY_FAIL: that first verification failed.  Inactive; the
//   next DsmIsPathActive moves it to FAILING.  Leaves to FAILING,
//   PENDING_REMOVE or straight to REMOVED.
#define PDO_HEALTH_INIT_PATHVERIFY_FAIL     2
// INIT_PATHVERIFY_SUCCESS: the first verification passed.  DsmIsPathActive
//   answers active and moves it to HEALTHY (re-choosing the drive's path
//   and carrying this node's reservation onto it).  Leaves to HEALTHY or
//   PENDING_REMOVE.
#define PDO_HEALTH_INIT_PATHVERIFY_SUCCESS  3
// HEALTHY: in full use.  The only state path choice prefers, failback
//   returns to and broadcast requests go down.  A path failure judged by
//   DsmInterpretError or a failed DsmPathVerify moves it to FAILING;
//   DsmRemovePending to PENDING_REMOVE.  Both re-choose the drive's path.
//   A path that has just become HEALTHY on a drive that has seen the
//   cluster's reservation requests may not carry this node's key yet:
//   while the work that registers it there is queued or running
//   (RegistrationsQueued), path choice passes it over for any HEALTHY
//   path without such work and failback waits for it.  On a drive this
//   node holds, the unit would meet the path as a stranger and answer
//   every request down it with RESERVATION CONFLICT, which is not
//   retried and would fail the request to its caller.  A drive with no
//   other HEALTHY path still takes it, before a FAILING one.
#define PDO_HEALTH_HEALTHY                  4
// FAILING: errors were seen on the path (DsmInterpretError,
//   DsmPathVerify, DsmIsPathActive after a failed first verification).
//   Carries requests only as a fallback.  Another path failure keeps it
//   FAILING (re-choosing again); DsmInvalidatePath makes it FAILED; a
//   passed DsmPathVerify makes it HEALTHY; or PENDING_REMOVE.
#define PDO_HEALTH_FAILING                  5
// FAILED: MPIO invalidated the path (DsmInvalidatePath).  Carries
//   requests only when no HEALTHY or FAILING path is left.  A passed
//   DsmPathVerify makes it HEALTHY again; or PENDING_REMOVE.
#define PDO_HEALTH_FAILED                   6
// PENDING_REMOVE: MPIO announced the device's removal
//   (DsmRemovePending).  Never chosen.
//   Leaves only to REMOVED.
#define PDO_HEALTH_PENDING_REMOVE           7
// REMOVED: DsmRemoveDevice is taking the record away; nothing leaves it.
#define PDO_HEALTH_REMOVED                  8

// Serial numbers are the upper-case hexadecimal text of a device
// identifier, two characters per byte.  Identifiers of up to 64 bytes are
// accepted, so every serial text, and every registry value named by one,
// has room for 128 characters and the terminator.
#define TARN_MAX_IDENTIFIER_BYTES 64
#define TARN_MAX_SERIAL_CHARS (2 * TARN_MAX_IDENTIFIER_BYTES)

// A serial of 4 characters or fewer has no characters 1 to 3 to label by.
#define TARN_MIN_SERIAL_CHARS 5

// Labels: "[%c%c%c]" and "[%c%c%c %x:%x:%x:%x]".
#define TARN_LD_ID_STRING_SIZE 8
#define TARN_LD_ID_STRING_LEN 5
#define TARN_PATH_ID_STRING_SIZE 32

// Absolute registry paths of the per-drive settings, in wide characters.
#define TARN_ABSOLUTE_KEY_PATH_CHARS 128
// Relative-to-services key path of the preferred-path reader.
#define TARN_PREFERRED_PATH_KEY_CHARS 64

#define TARN_CONTROLLER_UNKNOWN 0xFF
// The controller's clock as text, "hh:mm:ss" and room to spare.
#define TARN_CONTROLLER_TIME_SIZE 20

// The periodic timer's period; its once-a-second and once-a-minute duties
// count runs of it.
#define TARN_TIMER_PERIOD_MS 100
#define TARN_TIMER_RUNS_PER_SECOND (1000 / TARN_TIMER_PERIOD_MS)
#define TARN_TIMER_RUNS_PER_MINUTE (60 * TARN_TIMER_RUNS_PER_SECOND)

typedef struct _LD_ENTRY LD_ENTRY, *PLD_ENTRY;
typedef struct _PDO_ENTRY PDO_ENTRY, *PPDO_ENTRY;

//
// One slot of the path index: a path record and the drive it is linked
// to.  The drive rides along because a request's identifier check is
// followed at once by a look at its drive; from the slot, the check
// finds the drive without reading the path record, whose cache line
// the request has no other use for.  A record's LdEntry does not change
// while it is indexed.
//
typedef struct _DSM_PATH_INDEX_SLOT {
    PPDO_ENTRY Record;                  // NULL (never used), a record, or the tombstone
    PLD_ENTRY LdEntry;                  // Record's LdEntry
} DSM_PATH_INDEX_SLOT, *PDSM_PATH_INDEX_SLOT;

// No slot: the lookup has yet to be made, or found the record only on
// the list.
#define DSM_PATH_NO_SLOT ((ULONG)-1)

//
// An index of the path records on PathRecordList, kept with the list
// under DsmLock, so that checking an identifier MPIO hands in costs the
// same however many paths there are.  Open addressing over pointers;
// when it cannot grow it is marked degraded and the list is walked
// instead, so its answer is always exactly the list's.
//
typedef struct _DSM_PATH_INDEX {
    PDSM_PATH_INDEX_SLOT Slots;
    ULONG Capacity;         // a power of two, or 0
    ULONG Count;            // records in the index
    ULONG Tombstones;       // slots of removed records
    BOOLEAN Degraded;       // the index lacks records: walk the list
} DSM_PATH_INDEX, *PDSM_PATH_INDEX;

//
// The one driver-wide record.  DsmLock guards DriveList, PathRecordList,
// every record on them, TickCount and the request counters.  The
// configuration fields are written only while the context is built and
// read without the lock afterwards.
//
typedef struct _DSM_CONTEXT {
    PDRIVER_OBJECT DriverObject;
    ULONG MpioContext;                      // what MPIO returned from registration
    KSPIN_LOCK DsmLock;                     // taken only through DsmAcquireLock
    PKTHREAD DsmLockOwner;                  // the thread holding DsmLock, or NULL
    NPAGED_LOOKASIDE_LIST CompletionLookaside;
    KDPC TimerDpc;
    KTIMER Timer;
    ULONGLONG TickCount;                    // timer runs so far; protected by DsmLock
    BOOLEAN UsePersistentReservations;
    UCHAR PRKey[TARN_PR_KEY_LENGTH];
    ULONG TurTimeoutValue;                  // seconds
    ULONG TurRetryCount;
    PUNICODE_STRING RegistryPath;           // owned counted string
    PUNICODE_STRING ServiceName;            // owned counted string
    UNICODE_STRING SupportedDeviceList;     // multi-string; buffer from the registry query
    UNICODE_STRING DisplayName;
    ULONG PathSelectionPolicy;              // default policy of drives yet to be claimed
    LIST_ENTRY DriveList;
    LIST_ENTRY PathRecordList;
    ULONG RoundRobinTimeSlice;              // milliseconds
    DSM_PATH_INDEX PathIndex;               // the records of PathRecordList; protected by DsmLock
    ULONGLONG RecordSerial;                 // the last serial given to a record; protected by DsmLock
    ULONG RandomState;                      // round robin's skip generator, never 0; protected by DsmLock

    // Which of the above own something that a failed start must release.
    BOOLEAN LookasideInitialized;
    BOOLEAN DisplayNameAllocated;
    BOOLEAN TimerInitialized;
} DSM_CONTEXT, *PDSM_CONTEXT;

//
// DsmLock is taken and released only through these two, which record the
// holder so that a routine relying on the lock can assert at its entry
// that its caller holds it (DSM_ASSERT_LOCK_HELD).  Any IRQL up to
// DISPATCH_LEVEL.
//
inline VOID DsmAcquireLock(PDSM_CONTEXT DsmContext, PKIRQL OldIrql)
{
    KeAcquireSpinLock(&DsmContext->DsmLock, OldIrql);
    DsmContext->DsmLockOwner = KeGetCurrentThread();
}

inline VOID DsmReleaseLock(PDSM_CONTEXT DsmContext, KIRQL OldIrql)
{
    ASSERT(DsmContext->DsmLockOwner == KeGetCurrentThread());
    DsmContext->DsmLockOwner = NULL;
    KeReleaseSpinLock(&DsmContext->DsmLock, OldIrql);
}

// The owner field is written only under the lock, so the holder reads its
// own identity there; any other thread fails the comparison.
#define DSM_ASSERT_LOCK_HELD(DsmContext) ASSERT((DsmContext)->DsmLockOwner == KeGetCurrentThread())

// Routines that read the registry or send synchronous commands.
#define DSM_ASSERT_PASSIVE() ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL)

//
// One logical drive: a LUN of the supported array, known by its serial
// number.  Every field is protected by DsmLock.
//
// A request reads LogicalDriveLbPolicy and currentPath and counts itself
// in CountedRequests: those fields share one cache line (the record is
// allocated cache-aligned), so that a request to a drive not in the cache
// costs one miss on the drive besides its index slot.  The count is kept
// on the drive rather than on the path so that the request never touches
// the path record: it is added to the path's RequestCount when the
// drive's current path moves on or the path is unlinked, and
// DsmPathRequestCount adds what is still held here.
//
struct _LD_ENTRY {
    LIST_ENTRY DriveLink;               // in DsmContext->DriveList
    PDSM_CONTEXT DsmContext;
    LIST_ENTRY PathList;                // the drive's PDO_ENTRY records, by LdLink
    ULONG NumberPaths;                  // records on PathList
    PCHAR SerialNumber;                 // owned, NUL-terminated upper-case hexadecimal
    ULONG SerialNumberLength;           // characters without the NUL
    PCHAR ldIdString;                   // owned, "[%c%c%c]"
    ULONG LdIdStringLen;                // always 5
    BOOLEAN ReservationsInUse;          // a cluster reservation request was seen; never cleared
    ULONG LogicalDriveLbPolicy;         // TARN_LB_POLICY_*
    PPDO_ENTRY currentPath;             // requests go down this path; none at creation
    PPDO_ENTRY CountedPath;             // the path CountedRequests belong to, or NULL
    ULONGLONG CountedRequests;          // requests down CountedPath not yet in its RequestCount
    SCSI_ADDRESS PreferredPathAddress;  // only the four address bytes are compared
    LARGE_INTEGER TimesliceStart;       // system time the round-robin slice began
    ULONGLONG RecordSerial;             // given when linked; tells this record from a later one at its address
    ULONG ClusterRequestsActive;        // cluster requests being carried out now
    ULONG ClusterRequestsBegun;         // cluster requests begun so far (wraps)
};

// The fields a request reads and writes lie in one cache line of the
// cache-aligned record.
#define TARN_CACHE_LINE 64
static_assert(FIELD_OFFSET(LD_ENTRY, LogicalDriveLbPolicy) / TARN_CACHE_LINE ==
                  (FIELD_OFFSET(LD_ENTRY, CountedRequests) + sizeof(ULONGLONG) - 1) / TARN_CACHE_LINE,
              "a request's fields of the drive record must share a cache line");

//
// One path to a logical drive: one port device object through which the
// LUN is seen.  Its address is the identifier MPIO uses for the device
// and for the path.  Every field is protected by DsmLock.
//
struct _PDO_ENTRY {
    LIST_ENTRY DsmLink;                 // in DsmContext->PathRecordList
    LIST_ENTRY LdLink;                  // in LdEntry->PathList
    PDSM_CONTEXT DsmContext;
    PLD_ENTRY LdEntry;                  // none until linked to a drive
    PDEVICE_OBJECT PortPdo;             // DsmGetPDO's answer for PortObject
    PDEVICE_OBJECT PortObject;
    PDEVICE_OBJECT TargetObject;        // bound by MPIO; the DSM's own commands go here
    PSCSI_ADDRESS ScsiAddress;          // points at Address
    SCSI_ADDRESS Address;               // MPIO's answer, copied when the record is made
    PCHAR PathIdString;                 // owned, "[%c%c%c %x:%x:%x:%x]"
    ULONG PathIdStringLen;
    ULONG HealthState;                  // PDO_HEALTH_*
    ULONGLONG RequestCount;             // requests routed down this path, but for those its drive
                                        // still counts (DsmPathRequestCount gives the sum)
    UCHAR ControllerPort;               // 0 or 1; TARN_CONTROLLER_UNKNOWN until the array says
    UCHAR ControllerNumber;             // 0 or 1; TARN_CONTROLLER_UNKNOWN until the array says
    ULONGLONG CreationTicks;            // tick count at creation
    BOOLEAN LocationQueryQueued;        // a location query is queued or running; at most one is
    ULONG RegistrationsQueued;          // ReservationPathWorker runs queued or running for the path
    BOOLEAN RegistrationAwaitsRequest;  // that work met a cluster request; the request's end queues it again
    ULONGLONG RecordSerial;             // given when linked; tells this record from a later one at its address
};

//
// One healthy path of a drive, copied under the lock for work done at
// PASSIVE_LEVEL without it.  The device object is referenced while the
// entry lives: the path may be removed, and its device deleted, meanwhile.
//
typedef struct _DEVICE_OBJECT_ENTRY {
    PDEVICE_OBJECT DeviceObject;        // the path's TargetObject, referenced
    LIST_ENTRY Link;
    CHAR pathIdString[TARN_PATH_ID_STRING_SIZE];
} DEVICE_OBJECT_ENTRY, *PDEVICE_OBJECT_ENTRY;

//
// Driver-wide request counters, traced once a minute; protected by
// DsmLock.
//
typedef struct _TARN_REQUEST_COUNTERS {
    ULONGLONG GetPathCalls;
    ULONGLONG SetCompletionCalls;
    ULONGLONG CompletionCalls;
    ULONGLONG InterpretErrorCalls;
    LONGLONG OutstandingRequests;
} TARN_REQUEST_COUNTERS, *PTARN_REQUEST_COUNTERS;

extern TARN_REQUEST_COUNTERS DsmRequestCounters;

//
// One hooked request in flight, from the completion lookaside list.
//
typedef struct _COMPLETION_RECORD {
    ULONGLONG IssueTicks;               // tick count when the hook was set
    PVOID DsmId;                        // as MPIO gave it; not used afterwards
    PDSM_CONTEXT DsmContext;
} COMPLETION_RECORD, *PCOMPLETION_RECORD;

//
// Work-item record: the three words a queued routine receives.  The
// routine frees the record when done.
//
typedef struct _DSM_WORKITEM_RECORD {
    PDSM_CONTEXT DsmContext;
    PVOID LdEntry;
    PVOID PdoEntry;
    ULONGLONG PdoSerial;                // PdoEntry's RecordSerial when queued
} DSM_WORKITEM_RECORD, *PDSM_WORKITEM_RECORD;

//
// tarnentry
//
EXTERN_C NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS DsmContextCreate(PDSM_CONTEXT *DsmContext, PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID DsmContextDestroy(PDSM_CONTEXT DsmContext);
NTSTATUS NTAPI DsmUnload(PVOID DsmContext);

// The record handed to MPIO; lives in static storage for the life of the driver.
extern DSM_INIT_DATA DsmInitData;

//
// tarnregistry
//
NTSTATUS DsmLoadConfiguration(PDSM_CONTEXT DsmContext);
NTSTATUS DsmFormatKeyPath(PWCHAR Buffer, ULONG BufferChars, PCUNICODE_STRING Base, PCWSTR SubKey);
NTSTATUS DsmQueryDword(ULONG RelativeTo, PCWSTR KeyPath, PCWSTR ValueName, PULONG Value);
NTSTATUS DsmReadPreferredPath(PDSM_CONTEXT DsmContext, PCSTR SerialNumber, PSCSI_ADDRESS DefaultAddress,
                              PBOOLEAN Found, PSCSI_ADDRESS Result);
NTSTATUS DsmWritePreferredPath(PDSM_CONTEXT DsmContext, PCSTR SerialNumber, PSCSI_ADDRESS Address);
NTSTATUS DsmReadDrivePolicy(PDSM_CONTEXT DsmContext, PCSTR SerialNumber, PULONG Policy);
NTSTATUS DsmWriteDrivePolicy(PDSM_CONTEXT DsmContext, PCSTR SerialNumber, ULONG Policy);

//
// tarnstructures: every operation but CreatePdoEntry and
// FreeDeviceObjectList is called with DsmLock held.
//
NTSTATUS CreatePdoEntry(PPDO_ENTRY *PdoEntry, PDSM_CONTEXT DsmContext, PDEVICE_OBJECT TargetDevice,
                        PDEVICE_OBJECT PortObject, PCSTR SerialNumber);
VOID FreePdoEntry(PPDO_ENTRY PdoEntry);
NTSTATUS CreateLdEntry(PLD_ENTRY *LdEntry, PDSM_CONTEXT DsmContext, PCHAR SerialNumber, ULONG SerialNumberLength,
                       ULONG Policy);
VOID FreeLdEntry(PLD_ENTRY LdEntry);
VOID AddLdEntry(PDSM_CONTEXT DsmContext, PLD_ENTRY LdEntry);
VOID RemoveLdEntry(PDSM_CONTEXT DsmContext, PLD_ENTRY LdEntry);
VOID AddPdoEntry(PDSM_CONTEXT DsmContext, PLD_ENTRY LdEntry, PPDO_ENTRY PdoEntry);
VOID RemovePdoEntry(PDSM_CONTEXT DsmContext, PLD_ENTRY LdEntry, PPDO_ENTRY PdoEntry);
PLD_ENTRY FindLdEntry(PDSM_CONTEXT DsmContext, PCSTR SerialNumber);
BOOLEAN IsLdEntryValid(PDSM_CONTEXT DsmContext, PLD_ENTRY LdEntry);
BOOLEAN IsPdoEntryValid(PDSM_CONTEXT DsmContext, PPDO_ENTRY PdoEntry);
PLD_ENTRY DsmFindUnindexedPath(PDSM_CONTEXT DsmContext, PPDO_ENTRY PdoEntry);

// The home slot of a record in an index of Capacity slots (a power of
// two).  Records are pool blocks: the low bits carry no information.
inline ULONG DsmPathIndexHash(PVOID Record, ULONG Capacity)
{
    ULONG_PTR value = (ULONG_PTR)Record >> 4;
    return (ULONG)((value * (ULONG_PTR)0x9E3779B97F4A7C15ULL) >> 7) & (Capacity - 1);
}

// The slot holding Record, or the capacity when it is not indexed (an
// index without a table probes nothing).  An empty slot or a tombstone
// holds no drive, so a NULL or tombstone identifier that matches one is
// still refused by the caller that reads the slot's LdEntry.
inline ULONG DsmPathIndexFind(PDSM_PATH_INDEX Index, PPDO_ENTRY Record)
{
    ULONG slot = DsmPathIndexHash(Record, Index->Capacity);
    for (ULONG probes = 0; probes < Index->Capacity; probes++) {
        PPDO_ENTRY held = Index->Slots[slot].Record;
        if (held == Record) {
            return slot;
        }
        if (held == NULL) {
            break;
        }
        slot = (slot + 1) & (Index->Capacity - 1);
    }
    return Index->Capacity;
}

/*++

Routine Description:

    Looks an identifier MPIO handed in up among the path records on
    PathRecordList (pointer identity) and gives the drive the path is
    linked to.  The index answers in constant time unless it is degraded;
    then a record it lacks is looked for on the list.

    A caller that checks the same identifier again under a later hold of
    the lock passes back the slot the first lookup found: a record still
    in that slot is still indexed, and so still on the list, and the
    second check costs one comparison.  Any other slot, or one the index
    has since moved or reused, just means a probe.  Inline because every
    request makes it twice.  Caller holds DsmLock.

Arguments:

    Slot - in: DSM_PATH_NO_SLOT, or the slot an earlier lookup of the
        same identifier gave; out: the slot for the next lookup of it.

Return Value:

    The path's drive, or NULL when the record is not on PathRecordList.

--*/
inline PLD_ENTRY DsmLookupPath(PDSM_CONTEXT DsmContext, PPDO_ENTRY PdoEntry, PULONG Slot)
{
    DSM_ASSERT_LOCK_HELD(DsmContext);
    PDSM_PATH_INDEX index = &DsmContext->PathIndex;
    ULONG slot = *Slot;
    if (slot >= index->Capacity || index->Slots[slot].Record != PdoEntry) {
        slot = DsmPathIndexFind(index, PdoEntry);
        if (slot >= index->Capacity) {
            *Slot = DSM_PATH_NO_SLOT;
            return index->Degraded ? DsmFindUnindexedPath(DsmContext, PdoEntry) : NULL;
        }
        *Slot = slot;
    }
    return index->Slots[slot].LdEntry;
}

VOID DsmSettleRequestCount(PLD_ENTRY LdEntry);
ULONGLONG DsmPathRequestCount(PPDO_ENTRY PdoEntry);

BOOLEAN IsPdoEntryCurrent(PDSM_CONTEXT DsmContext, PPDO_ENTRY PdoEntry, ULONGLONG RecordSerial);
BOOLEAN IsLdEntryCurrent(PDSM_CONTEXT DsmContext, PLD_ENTRY LdEntry, ULONGLONG RecordSerial);
PDEVICE_OBJECT DsmReferenceTarget(PPDO_ENTRY PdoEntry);
PPDO_ENTRY FindPreferredPdoEntry(PLD_ENTRY LdEntry);
VOID DumpLdEntry(PLD_ENTRY LdEntry);
BOOLEAN BuildDeviceObjectList(PLD_ENTRY LdEntry, PLIST_ENTRY ListHead);
VOID DsmFreePathIndex(PDSM_PATH_INDEX Index);
VOID FreeDeviceObjectList(PLIST_ENTRY ListHead);

//
// tarnsupport: the DSM's own commands.  PASSIVE_LEVEL, never with DsmLock held.
//
#define TARN_SENSE_AREA_LENGTH 18

// One buffer: pass-through header, sense area, data area.
typedef struct _PASS_THROUGH_REQUEST {
    SCSI_PASS_THROUGH Header;
    UCHAR Sense[TARN_SENSE_AREA_LENGTH];
    UCHAR Data[1];
} PASS_THROUGH_REQUEST, *PPASS_THROUGH_REQUEST;

#define TARN_PASS_THROUGH_SIZE(DataLength) ((ULONG)FIELD_OFFSET(PASS_THROUGH_REQUEST, Data) + (DataLength))

// What one command came back with.
typedef struct _PASS_THROUGH_OUTCOME {
    NTSTATUS Status;        // the I/O status block's
    UCHAR ScsiStatus;
    UCHAR SenseKey;
    UCHAR Asc;
    UCHAR Ascq;
} PASS_THROUGH_OUTCOME, *PPASS_THROUGH_OUTCOME;

PPASS_THROUGH_REQUEST DsmAllocatePassThrough(ULONG DataLength);
VOID DsmFreePassThrough(PPASS_THROUGH_REQUEST Request);
VOID DsmPreparePassThrough(PPASS_THROUGH_REQUEST Request, const UCHAR *Cdb, UCHAR CdbLength, ULONG DataLength,
                           UCHAR DataIn, ULONG TimeOutValue);
VOID DsmSendPreparedPassThrough(PDEVICE_OBJECT DeviceObject, PPASS_THROUGH_REQUEST Request, ULONG DataLength,
                                PPASS_THROUGH_OUTCOME Outcome);
VOID DsmSendPassThrough(PDEVICE_OBJECT DeviceObject, PPASS_THROUGH_REQUEST Request, const UCHAR *Cdb,
                        UCHAR CdbLength, ULONG DataLength, UCHAR DataIn, ULONG TimeOutValue,
                        PPASS_THROUGH_OUTCOME Outcome);
ULONG DsmPassThroughTransferred(const PASS_THROUGH_REQUEST *Request, ULONG Requested);
NTSTATUS TestUnitReadyOnPath(PDEVICE_OBJECT DeviceObject, ULONG RetryCount, ULONG TimeOutValue, PCSTR Label);
// Path choice, called with DsmLock held.
VOID SelectCurrentPath(PLD_ENTRY LdEntry);
VOID SelectNextPath(PLD_ENTRY LdEntry);
PPDO_ENTRY NextPathAfterCurrent(PLD_ENTRY LdEntry);
BOOLEAN TimesliceSwitchDue(PDSM_CONTEXT DsmContext, PLD_ENTRY LdEntry);
ULONG DsmRandom(PDSM_CONTEXT DsmContext);
ULONG DsmRandomSeed(VOID);
ULONG PathDistance(PPDO_ENTRY Path, PPDO_ENTRY From);

// Path health and the timer's duties, called with DsmLock held.
VOID SetPathHealth(PPDO_ENTRY PdoEntry, ULONG From, ULONG To);
VOID FailbackPass(PDSM_CONTEXT DsmContext);
VOID QueueLocationQueries(PDSM_CONTEXT DsmContext);
VOID NTAPI LocationQueryWorker(PDEVICE_OBJECT DeviceObject, PVOID Context);

BOOLEAN IsPathResponsive(NTSTATUS Status, UCHAR ScsiStatus, UCHAR SenseKey, UCHAR Asc, UCHAR Ascq);
NTSTATUS QueryArrayLocation(PDEVICE_OBJECT DeviceObject, PCSTR Label, PUCHAR ControllerPort,
                            PUCHAR ControllerNumber);
NTSTATUS QueryControllerTime(PDEVICE_OBJECT DeviceObject, PCSTR Label, PCHAR TimeStamp, ULONG timeStampSize);

//
// tarnutil
//

// The I/O object every event-log entry names, recorded at start-up.
extern PVOID DsmIoObject;

PVOID DsmAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID DsmFreePool(PVOID Block);
BOOLEAN DsmCalledRaised(PCSTR Routine);
NTSTATUS DsmCopyCountedString(PUNICODE_STRING *Destination, PCWSTR Source, USHORT LengthInBytes);

typedef VOID(NTAPI *DSM_WORKITEM_FUNCTION)(PDEVICE_OBJECT DeviceObject, PVOID Context);
VOID DsmQueueWorkItem(PDSM_CONTEXT DsmContext, PVOID LdEntry, PVOID PdoEntry, PDEVICE_OBJECT DeviceObject,
                      DSM_WORKITEM_FUNCTION workItemFunction);
BOOLEAN DsmQueuePathWorkItem(PPDO_ENTRY PdoEntry, DSM_WORKITEM_FUNCTION workItemFunction);
PDEVICE_OBJECT DsmReferenceQueuedPath(const DSM_WORKITEM_RECORD *Record, CHAR LdIdString[TARN_LD_ID_STRING_SIZE],
                                      CHAR PathIdString[TARN_PATH_ID_STRING_SIZE]);

VOID DsmLogEvent(PVOID IoObject, NTSTATUS ErrorCode, PCSTR String1, PCSTR String2, PVOID DumpData,
                 ULONG DumpDataLength);

// Code names for traces.  A value without a row is written as "0x%X"
// into a buffer that is a temporary of the calling expression: each use
// has its own, so threads never share one, and the text lives until the
// end of the full expression (the trace call it is passed to).  Never
// keep the returned pointer beyond that.
typedef struct _DSM_CODE_NAME_TEXT {
    CHAR Text[11];          // "0x" and up to eight digits, with the NUL
} DSM_CODE_NAME_TEXT;

PCSTR DsmFormatStatusName(NTSTATUS Status, PCHAR Fallback);
PCSTR DsmFormatSrbStatusName(ULONG SrbStatus, PCHAR Fallback);
PCSTR DsmFormatSrbFunctionName(ULONG SrbFunction, PCHAR Fallback);
#define DsmStatusName(Status) DsmFormatStatusName((Status), DSM_CODE_NAME_TEXT().Text)
#define DsmSrbStatusName(SrbStatus) DsmFormatSrbStatusName((SrbStatus), DSM_CODE_NAME_TEXT().Text)
#define DsmSrbFunctionName(SrbFunction) DsmFormatSrbFunctionName((SrbFunction), DSM_CODE_NAME_TEXT().Text)
PCSTR DsmPathHealthName(ULONG HealthState);

//
// tarncluster.  The predicates take no lock and read only the request.
//
BOOLEAN IsReservationRequest(PIRP Irp, PSCSI_REQUEST_BLOCK Srb);
BOOLEAN IsVendorWriteBuffer(PIRP Irp, PSCSI_REQUEST_BLOCK Srb, PULONG Value);

typedef enum _DSM_REQUEST_KIND {
    DsmRequestOrdinary,
    DsmRequestReservation,              // IsReservationRequest
    DsmRequestVendorWriteBuffer,        // IsVendorWriteBuffer
} DSM_REQUEST_KIND;

DSM_REQUEST_KIND DsmClassifyRequest(PIRP Irp, PSCSI_REQUEST_BLOCK Srb, PULONG Value);

// Persistent reservations.  PASSIVE_LEVEL, never with DsmLock held.  Each
// returns STATUS_SUCCESS, STATUS_DEVICE_NOT_CONNECTED or
// STATUS_IO_DEVICE_ERROR (a worker also STATUS_INSUFFICIENT_RESOURCES).
// A drive is named by its record and that record's RecordSerial when the
// request began: a record at the same address with another serial is
// another drive, which is sent nothing.
NTSTATUS PrReserve(PDSM_CONTEXT context, PLD_ENTRY ldEntry, ULONGLONG ldSerial, PBOOLEAN reservationConflict);
NTSTATUS PrRelease(PDSM_CONTEXT context, PLD_ENTRY ldEntry, ULONGLONG ldSerial, PBOOLEAN reservationConflict);
NTSTATUS PrClear(PDSM_CONTEXT context, PLD_ENTRY ldEntry, ULONGLONG ldSerial);
NTSTATUS PrReadKeys(PDSM_CONTEXT context, PLD_ENTRY ldEntry, ULONGLONG ldSerial);
NTSTATUS PrReadReservation(PDSM_CONTEXT context, PLD_ENTRY ldEntry, ULONGLONG ldSerial, PBOOLEAN isReserved,
                           PBOOLEAN byThisNode);
NTSTATUS PrRegisterAllPaths(PDSM_CONTEXT context, PLD_ENTRY ldEntry, ULONGLONG ldSerial, BOOLEAN Register);
NTSTATUS PrProbeRead(PDSM_CONTEXT context, PLD_ENTRY ldEntry, ULONGLONG ldSerial);
NTSTATUS PrReserveOnPath(PDEVICE_OBJECT deviceObject, PUCHAR prKey, PCSTR ldIdString, PCSTR pathIdString,
                         PBOOLEAN reservationConflict);
NTSTATUS PrReleaseOnPath(PDEVICE_OBJECT deviceObject, PUCHAR prKey, PCSTR ldIdString, PCSTR pathIdString,
                         PBOOLEAN reservationConflict);
NTSTATUS PrClearOnPath(PDEVICE_OBJECT deviceObject, PUCHAR prKey, PCSTR ldIdString, PCSTR pathIdString);
NTSTATUS PrReadKeysOnPath(PDEVICE_OBJECT deviceObject, PCSTR ldIdString, PCSTR pathIdString);
NTSTATUS PrReadReservationOnPath(PDEVICE_OBJECT deviceObject, PUCHAR prKey, PCSTR ldIdString, PCSTR pathIdString,
                                 PBOOLEAN isReserved, PBOOLEAN byThisNode);
NTSTATUS PrRegisterOnPath(PDEVICE_OBJECT deviceObject, PUCHAR prKey, BOOLEAN Register, PCSTR ldIdString,
                          PCSTR pathIdString);

// The cluster's requests: each handler completes its request and
// signals the event.  PASSIVE_LEVEL, without DsmLock.
NTSTATUS ClusterReserve(PDSM_CONTEXT DsmContext, PLD_ENTRY ldEntry, ULONGLONG ldSerial, PIRP Irp,
                        PSCSI_REQUEST_BLOCK Srb, PKEVENT Event);
NTSTATUS ClusterRelease(PDSM_CONTEXT DsmContext, PLD_ENTRY ldEntry, ULONGLONG ldSerial, PIRP Irp,
                        PSCSI_REQUEST_BLOCK Srb, PKEVENT Event);
NTSTATUS ClusterReset(PDSM_CONTEXT DsmContext, PLD_ENTRY ldEntry, ULONGLONG ldSerial, PIRP Irp,
                      PSCSI_REQUEST_BLOCK Srb, PKEVENT Event);
NTSTATUS ClusterRequestRefused(PDSM_CONTEXT DsmContext, PLD_ENTRY ldEntry, ULONGLONG ldSerial, PIRP Irp,
                               PSCSI_REQUEST_BLOCK Srb, PKEVENT Event);
VOID NTAPI ReservationPathWorker(PDEVICE_OBJECT DeviceObject, PVOID Context);
BOOLEAN DsmQueueRegistration(PPDO_ENTRY PdoEntry);

//
// tarninterface: the entry points MPIO calls and the periodic timer.
//
VOID DsmLogFailover(PLD_ENTRY LdEntry);
NTSTATUS NTAPI DsmInquireDriver(PVOID DsmContext, PDEVICE_OBJECT TargetDevice, PDEVICE_OBJECT PortObject,
                                PSTORAGE_DEVICE_DESCRIPTOR Descriptor, PSTORAGE_DEVICE_ID_DESCRIPTOR DeviceIdList,
                                PVOID *DsmIdentifier);
BOOLEAN NTAPI DsmCompareDevices(PVOID DsmContext, PVOID DsmId1, PVOID DsmId2);
PCHAR NTAPI DsmGetSerialNumber(PVOID DsmContext, PVOID DsmId);
NTSTATUS NTAPI DsmGetControllerInfo(PVOID DsmContext, PVOID DsmId, ULONG Flags, PCONTROLLER_INFO *ControllerInfo);
NTSTATUS NTAPI DsmSetDeviceInfo(PVOID DsmContext, PDEVICE_OBJECT TargetObject, PVOID DsmId, PVOID *PathId);
BOOLEAN NTAPI DsmIsPathActive(PVOID DsmContext, PVOID PathId, PVOID DsmId);
NTSTATUS NTAPI DsmPathVerify(PVOID DsmContext, PVOID DsmId, PVOID PathId);
NTSTATUS NTAPI DsmInvalidatePath(PVOID DsmContext, ULONG ErrorMask, PVOID PathId, PVOID *NewPathId);
NTSTATUS NTAPI DsmMoveDevice(PVOID DsmContext, PDSM_IDS DsmIds, PVOID MPIOPath, PVOID SuggestedPath, ULONG Flags);
NTSTATUS NTAPI DsmRemovePending(PVOID DsmContext, PVOID DsmId);
NTSTATUS NTAPI DsmRemoveDevice(PVOID DsmContext, PVOID DsmId, PVOID PathId);
NTSTATUS NTAPI DsmRemovePath(PVOID DsmContext, PVOID PathId);
NTSTATUS NTAPI DsmSrbDeviceControl(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp, PSCSI_REQUEST_BLOCK Srb,
                                   PKEVENT Event);
PVOID NTAPI DsmLBGetPath(PVOID DsmContext, PSCSI_REQUEST_BLOCK Srb, PDSM_IDS DsmList, PVOID CurrentPath,
                         NTSTATUS *Status);
ULONG NTAPI DsmInterpretError(PVOID DsmContext, PVOID DsmId, PSCSI_REQUEST_BLOCK Srb, NTSTATUS *Status,
                              PBOOLEAN Retry);
VOID NTAPI DsmSetCompletion(PVOID DsmContext, PVOID DsmId, PIRP Irp, PSCSI_REQUEST_BLOCK Srb,
                            PDSM_COMPLETION_INFO DsmCompletion);
ULONG NTAPI DsmCategorizeRequest(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp, PSCSI_REQUEST_BLOCK Srb,
                                 PVOID CurrentPath, PVOID *PathId, NTSTATUS *Status);
NTSTATUS NTAPI DsmBroadcastSrb(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp, PSCSI_REQUEST_BLOCK Srb, PKEVENT Event);

VOID NTAPI RequestCompletion(PVOID DsmId, PIRP Irp, PSCSI_REQUEST_BLOCK Srb, PVOID Context);

VOID NTAPI DsmTimerRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);

//
// tarnwmi: the WMI block of the registration record.
//
VOID InitializeWmiContext(PDSM_WMILIB_CONTEXT WmiContext, PCUNICODE_STRING RegistryPath);
VOID DsmFreeWmiContext(PDSM_WMILIB_CONTEXT WmiContext);
