/*++

Module Name:

    tarnstructures.cpp

Abstract:

    Logical drive and path records: creation, linking into the context's
    lists, lookups, and the snapshot of a drive's healthy paths that code
    at PASSIVE_LEVEL works from without the lock.

    Every operation but CreatePdoEntry and FreeDeviceObjectList is called
    with DsmLock held and takes no lock itself.

Environment:

    Kernel mode.

--*/

#include "tarn.h"

TARN_TRACE_MODULE_GUID(0x5F2B8C41, 0xA7E3, 0x4D16, 0x92, 0x0C, 0x3B, 0x7E, 0x44, 0xD1, 0x6A, 0x28);

// Records are wiped before they are released, so a stale pointer to one
// finds zeros rather than plausible contents.
static VOID DsmWipeAndFree(PVOID Block, SIZE_T Size)
{
    RtlZeroMemory(Block, Size);
    DsmFreePool(Block);
}

/*++

Routine Description:

    Allocates and fills a path record for a device being claimed: its SCSI
    address from MPIO, its port's device object, its label.  Called
    without DsmLock: asking MPIO for the address may block.

Arguments:

    SerialNumber - the drive's serial text; its characters 1 to 3 label
        the path.

Return Value:

    STATUS_SUCCESS or STATUS_INSUFFICIENT_RESOURCES; a failed create
    leaves nothing allocated.

--*/
NTSTATUS CreatePdoEntry(PPDO_ENTRY *PdoEntry, PDSM_CONTEXT DsmContext, PDEVICE_OBJECT TargetDevice,
                        PDEVICE_OBJECT PortObject, PCSTR SerialNumber)
{
    DSM_ASSERT_PASSIVE();
    CHAR label[TARN_PATH_ID_STRING_SIZE];
    LARGE_INTEGER ticks;

    ASSERT(strlen(SerialNumber) >= TARN_MIN_SERIAL_CHARS);
    *PdoEntry = NULL;

    PPDO_ENTRY pdoEntry = (PPDO_ENTRY)DsmAllocatePool(NonPagedPool, sizeof(PDO_ENTRY));
    if (pdoEntry == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "CreatePdoEntry: no memory for the path record");
        DsmLogEvent(DsmIoObject, TARN_MSG_NO_MEMORY, NULL, NULL, NULL, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // MPIO's block is copied into the record and freed here, at
    // PASSIVE_LEVEL: nothing promises it is non-paged, and the record is
    // freed under DsmLock.
    PSCSI_ADDRESS mpioAddress = NULL;
    NTSTATUS status = DsmGetScsiAddress(TargetDevice, &mpioAddress);
    if (!NT_SUCCESS(status) || mpioAddress == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "CreatePdoEntry: DsmGetScsiAddress failed for %p, %s (0x%08X)",
                 TA_PTR(TargetDevice), TA_STR(DsmStatusName(status)), TA_ULONG(status));
        DsmLogEvent(DsmIoObject, TARN_MSG_SYSTEM_CALL_FAILED, NULL, NULL, &status, sizeof(status));
        DsmWipeAndFree(pdoEntry, sizeof(PDO_ENTRY));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(&pdoEntry->Address, mpioAddress, sizeof(SCSI_ADDRESS));
    ExFreePool(mpioAddress);
    pdoEntry->ScsiAddress = &pdoEntry->Address;

    PSCSI_ADDRESS address = pdoEntry->ScsiAddress;
    DsmTrace(TRDSM_TRACE_LEVEL, "CreatePdoEntry: device %p at %x:%x:%x:%x", TA_PTR(TargetDevice),
             TA_UCHAR(address->PortNumber), TA_UCHAR(address->PathId), TA_UCHAR(address->TargetId),
             TA_UCHAR(address->Lun));

    InitializeListHead(&pdoEntry->DsmLink);
    InitializeListHead(&pdoEntry->LdLink);
    pdoEntry->DsmContext = DsmContext;
    pdoEntry->LdEntry = NULL;
    pdoEntry->PortPdo = DsmGetPDO(DsmContext->MpioContext, PortObject);
    pdoEntry->PortObject = PortObject;
    pdoEntry->ControllerPort = TARN_CONTROLLER_UNKNOWN;
    pdoEntry->ControllerNumber = TARN_CONTROLLER_UNKNOWN;
    KeQueryTickCount(&ticks);
    pdoEntry->CreationTicks = (ULONGLONG)ticks.QuadPart;
    pdoEntry->HealthState = PDO_HEALTH_INIT_START;

    // At most "[" + 3 + " " + four bytes of up to two hex digits and three
    // colons + "]": 17 characters, within the snapshot's 32.
    status = RtlStringCbPrintfA(label, sizeof(label), "[%c%c%c %x:%x:%x:%x]", SerialNumber[1], SerialNumber[2],
                                SerialNumber[3], address->PortNumber, address->PathId, address->TargetId,
                                address->Lun);
    ASSERT(NT_SUCCESS(status));
    UNREFERENCED_PARAMETER(status);
    ULONG length = (ULONG)strlen(label);

    pdoEntry->PathIdString = (PCHAR)DsmAllocatePool(NonPagedPool, (SIZE_T)length + 1);
    if (pdoEntry->PathIdString == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "CreatePdoEntry: no memory for the label %s", TA_STR(label));
        DsmLogEvent(DsmIoObject, TARN_MSG_NO_MEMORY, NULL, NULL, NULL, 0);
        DsmWipeAndFree(pdoEntry, sizeof(PDO_ENTRY));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(pdoEntry->PathIdString, label, (SIZE_T)length + 1);
    pdoEntry->PathIdStringLen = length;

    *PdoEntry = pdoEntry;
    return STATUS_SUCCESS;
}

// Releases a path record with the label it owns.  Any IRQL up to
// DISPATCH_LEVEL: everything freed is the DSM's own non-paged pool.
VOID FreePdoEntry(PPDO_ENTRY PdoEntry)
{
    if (PdoEntry->PathIdString != NULL) {
        DsmFreePool(PdoEntry->PathIdString);
    }
    DsmWipeAndFree(PdoEntry, sizeof(PDO_ENTRY));
}

/*++

Routine Description:

    Allocates and fills a drive record.  On success the record owns
    SerialNumber; on failure it stays with the caller.

--*/
NTSTATUS CreateLdEntry(PLD_ENTRY *LdEntry, PDSM_CONTEXT DsmContext, PCHAR SerialNumber, ULONG SerialNumberLength,
                       ULONG Policy)
{
    ASSERT(SerialNumberLength >= TARN_MIN_SERIAL_CHARS);
    *LdEntry = NULL;

    // Cache-aligned: the fields a request uses must not straddle two lines.
    PLD_ENTRY ldEntry = (PLD_ENTRY)DsmAllocatePool(NonPagedPoolCacheAligned, sizeof(LD_ENTRY));
    if (ldEntry == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "CreateLdEntry: no memory for the drive record of %s", TA_STR(SerialNumber));
        DsmLogEvent(DsmIoObject, TARN_MSG_NO_MEMORY, NULL, NULL, NULL, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    InitializeListHead(&ldEntry->DriveLink);
    InitializeListHead(&ldEntry->PathList);
    ldEntry->DsmContext = DsmContext;
    ldEntry->NumberPaths = 0;

    ldEntry->ldIdString = (PCHAR)DsmAllocatePool(NonPagedPool, TARN_LD_ID_STRING_SIZE);
    if (ldEntry->ldIdString == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "CreateLdEntry: no memory for the label of %s", TA_STR(SerialNumber));
        DsmLogEvent(DsmIoObject, TARN_MSG_NO_MEMORY, NULL, NULL, NULL, 0);
        DsmWipeAndFree(ldEntry, sizeof(LD_ENTRY));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = RtlStringCbPrintfA(ldEntry->ldIdString, TARN_LD_ID_STRING_SIZE, "[%c%c%c]", SerialNumber[1],
                                         SerialNumber[2], SerialNumber[3]);
    ASSERT(NT_SUCCESS(status));
    UNREFERENCED_PARAMETER(status);

    ldEntry->SerialNumber = SerialNumber;
    ldEntry->SerialNumberLength = SerialNumberLength;
    ldEntry->LdIdStringLen = TARN_LD_ID_STRING_LEN;
    ldEntry->ReservationsInUse = FALSE;
    ldEntry->LogicalDriveLbPolicy = Policy;
    ldEntry->currentPath = NULL;
    ldEntry->CountedPath = NULL;
    ldEntry->CountedRequests = 0;
    KeQuerySystemTime(&ldEntry->TimesliceStart);

    *LdEntry = ldEntry;
    return STATUS_SUCCESS;
}

// Releases a drive record, which must have no paths, with what it owns.
VOID FreeLdEntry(PLD_ENTRY LdEntry)
{
    ASSERT(LdEntry->NumberPaths == 0);

    if (LdEntry->SerialNumber != NULL) {
        DsmFreePool(LdEntry->SerialNumber);
    }
    if (LdEntry->ldIdString != NULL) {
        DsmFreePool(LdEntry->ldIdString);
    }
    DsmWipeAndFree(LdEntry, sizeof(LD_ENTRY));
}

//
// The path index.
//
#define DSM_PATH_INDEX_TOMBSTONE ((PPDO_ENTRY)(ULONG_PTR)1)
#define DSM_PATH_INDEX_MIN_CAPACITY 16

// Puts Record in the first free or tombstone slot of its chain.  The
// table always has free slots (it is sized to at most half full), and
// the probe stops after one round in any case.
static VOID DsmPathIndexPlace(PDSM_PATH_INDEX_SLOT Slots, ULONG Capacity, PPDO_ENTRY Record, PULONG Tombstones)
{
    ASSERT(Record->LdEntry != NULL);
    ULONG slot = DsmPathIndexHash(Record, Capacity);
    for (ULONG probes = 0; probes < Capacity; probes++) {
        if (Slots[slot].Record == NULL || Slots[slot].Record == DSM_PATH_INDEX_TOMBSTONE) {
            if (Slots[slot].Record == DSM_PATH_INDEX_TOMBSTONE) {
                (*Tombstones)--;
            }
            Slots[slot].Record = Record;
            Slots[slot].LdEntry = Record->LdEntry;
            return;
        }
        slot = (slot + 1) & (Capacity - 1);
    }
    ASSERTMSG("the path index has no free slot", FALSE);
}

/*++

Routine Description:

    Rebuilds the index from PathRecordList into a table sized from the
    list's real length (twice it, at least the minimum): while the index
    was degraded its count fell behind the list, so only the list can
    say how many records there are.  Fails, leaving the index as it was,
    when memory is short.  Caller holds DsmLock.

--*/
static BOOLEAN DsmPathIndexRebuild(PDSM_CONTEXT DsmContext)
{
    DSM_ASSERT_LOCK_HELD(DsmContext);
    PDSM_PATH_INDEX index = &DsmContext->PathIndex;
    ULONG count = 0;
    for (PLIST_ENTRY link = DsmContext->PathRecordList.Flink; link != &DsmContext->PathRecordList;
         link = link->Flink) {
        count++;
    }
    ULONG capacity = DSM_PATH_INDEX_MIN_CAPACITY;
    while (capacity < 2 * count) {
        capacity *= 2;
    }

    PDSM_PATH_INDEX_SLOT slots =
        (PDSM_PATH_INDEX_SLOT)DsmAllocatePool(NonPagedPool, (SIZE_T)capacity * sizeof(DSM_PATH_INDEX_SLOT));
    if (slots == NULL) {
        DsmTrace(TRDSM_WARNING_LEVEL, "DsmPathIndexRebuild: no memory for %u slots; identifiers are checked by "
                 "walking the path list", TA_ULONG(capacity));
        return FALSE;
    }
    ULONG tombstones = 0;
    for (PLIST_ENTRY link = DsmContext->PathRecordList.Flink; link != &DsmContext->PathRecordList;
         link = link->Flink) {
        DsmPathIndexPlace(slots, capacity, CONTAINING_RECORD(link, PDO_ENTRY, DsmLink), &tombstones);
    }
    if (index->Slots != NULL) {
        DsmFreePool(index->Slots);
    }
    index->Slots = slots;
    index->Capacity = capacity;
    index->Count = count;
    index->Tombstones = 0;
    index->Degraded = FALSE;
    return TRUE;
}

/*++

Routine Description:

    Indexes a record just linked onto PathRecordList, rebuilding first
    (grown, or cleared of tombstones) so that at least a quarter of the
    slots stay free.  When that needs memory that is not there, the index
    is marked degraded and lookups walk the list until a later rebuild
    succeeds.  Caller holds DsmLock.

--*/
static VOID DsmPathIndexInsert(PDSM_CONTEXT DsmContext, PPDO_ENTRY PdoEntry)
{
    DSM_ASSERT_LOCK_HELD(DsmContext);
    PDSM_PATH_INDEX index = &DsmContext->PathIndex;

    if (index->Degraded || index->Capacity == 0 ||
        (index->Count + 1 + index->Tombstones) * 4 > index->Capacity * 3) {
        // The record is on the list already, so the rebuild indexes it.
        if (!DsmPathIndexRebuild(DsmContext)) {
            index->Degraded = TRUE;
        }
        return;
    }
    DsmPathIndexPlace(index->Slots, index->Capacity, PdoEntry, &index->Tombstones);
    index->Count++;
}

static VOID DsmPathIndexRemove(PDSM_CONTEXT DsmContext, PPDO_ENTRY PdoEntry)
{
    DSM_ASSERT_LOCK_HELD(DsmContext);
    PDSM_PATH_INDEX index = &DsmContext->PathIndex;
    ULONG slot = DsmPathIndexFind(index, PdoEntry);
    if (slot < index->Capacity) {
        index->Slots[slot].Record = DSM_PATH_INDEX_TOMBSTONE;
        index->Slots[slot].LdEntry = NULL;
        index->Tombstones++;
        index->Count--;
    }
}

// Releases the index's table (a failed start; the index lives otherwise).
VOID DsmFreePathIndex(PDSM_PATH_INDEX Index)
{
    if (Index->Slots != NULL) {
        DsmFreePool(Index->Slots);
    }
    RtlZeroMemory(Index, sizeof(DSM_PATH_INDEX));
}

VOID AddLdEntry(PDSM_CONTEXT DsmContext, PLD_ENTRY LdEntry)
{
    DSM_ASSERT_LOCK_HELD(DsmContext);
    ASSERT(LdEntry->DsmContext == DsmContext);
    InsertTailList(&DsmContext->DriveList, &LdEntry->DriveLink);
    LdEntry->RecordSerial = ++DsmContext->RecordSerial;
}

VOID RemoveLdEntry(PDSM_CONTEXT DsmContext, PLD_ENTRY LdEntry)
{
    DSM_ASSERT_LOCK_HELD(DsmContext);
    ASSERT(LdEntry->DsmContext == DsmContext);
    RemoveEntryList(&LdEntry->DriveLink);
    InitializeListHead(&LdEntry->DriveLink);
}

// Links a path to its drive and to the context's path list.
VOID AddPdoEntry(PDSM_CONTEXT DsmContext, PLD_ENTRY LdEntry, PPDO_ENTRY PdoEntry)
{
    DSM_ASSERT_LOCK_HELD(DsmContext);
    ASSERT(LdEntry->DsmContext == DsmContext);
    ASSERT(PdoEntry->DsmContext == DsmContext);
    ASSERT(PdoEntry->PathIdStringLen < TARN_PATH_ID_STRING_SIZE);

    InsertTailList(&LdEntry->PathList, &PdoEntry->LdLink);
    LdEntry->NumberPaths++;
    InsertTailList(&DsmContext->PathRecordList, &PdoEntry->DsmLink);
    PdoEntry->LdEntry = LdEntry;
    PdoEntry->RecordSerial = ++DsmContext->RecordSerial;
    DsmPathIndexInsert(DsmContext, PdoEntry);
}

/*++

Routine Description:

    Adds the requests the drive holds for CountedPath to that path's
    RequestCount and lets go of the path.  Run before the counted path
    is unlinked, and by a request that finds another current path.
    Caller holds DsmLock.

--*/
VOID DsmSettleRequestCount(PLD_ENTRY LdEntry)
{
    DSM_ASSERT_LOCK_HELD(LdEntry->DsmContext);
    if (LdEntry->CountedPath != NULL) {
        ASSERT(LdEntry->CountedPath->LdEntry == LdEntry);
        LdEntry->CountedPath->RequestCount += LdEntry->CountedRequests;
    }
    LdEntry->CountedPath = NULL;
    LdEntry->CountedRequests = 0;
}

// Requests routed down a path so far.  Caller holds DsmLock.
ULONGLONG DsmPathRequestCount(PPDO_ENTRY PdoEntry)
{
    DSM_ASSERT_LOCK_HELD(PdoEntry->DsmContext);
    PLD_ENTRY ldEntry = PdoEntry->LdEntry;
    if (ldEntry != NULL && ldEntry->CountedPath == PdoEntry) {
        return PdoEntry->RequestCount + ldEntry->CountedRequests;
    }
    return PdoEntry->RequestCount;
}

// Unlinks a path from its drive and the context; LdEntry stays set.
VOID RemovePdoEntry(PDSM_CONTEXT DsmContext, PLD_ENTRY LdEntry, PPDO_ENTRY PdoEntry)
{
    DSM_ASSERT_LOCK_HELD(DsmContext);
    ASSERT(PdoEntry->LdEntry == LdEntry);
    ASSERT(PdoEntry->DsmContext == DsmContext);
    ASSERT(LdEntry->currentPath != PdoEntry);
    ASSERT(LdEntry->NumberPaths > 0);

    if (LdEntry->CountedPath == PdoEntry) {
        DsmSettleRequestCount(LdEntry);
    }
    RemoveEntryList(&PdoEntry->LdLink);
    InitializeListHead(&PdoEntry->LdLink);
    LdEntry->NumberPaths--;
    RemoveEntryList(&PdoEntry->DsmLink);
    InitializeListHead(&PdoEntry->DsmLink);
    DsmPathIndexRemove(DsmContext, PdoEntry);
}

/*++

Routine Description:

    The drive whose serial equals the given text in length and in every
    character (case-sensitive), or NULL.  A serial that merely begins
    with a stored one is another logical unit: grouping the two would
    send one unit's I/O down the other's paths.

--*/
PLD_ENTRY FindLdEntry(PDSM_CONTEXT DsmContext, PCSTR SerialNumber)
{
    DSM_ASSERT_LOCK_HELD(DsmContext);
    SIZE_T length = strlen(SerialNumber);

    for (PLIST_ENTRY link = DsmContext->DriveList.Flink; link != &DsmContext->DriveList; link = link->Flink) {
        ASSERT(link != NULL);
        PLD_ENTRY ldEntry = CONTAINING_RECORD(link, LD_ENTRY, DriveLink);
        ASSERT(ldEntry->DsmContext == DsmContext);
        if (ldEntry->SerialNumberLength == length && RtlEqualMemory(ldEntry->SerialNumber, SerialNumber, length)) {
            return ldEntry;
        }
    }
    DsmTrace(TRDSM_TRACE_LEVEL, "FindLdEntry: no drive with serial %s", TA_STR(SerialNumber));
    return NULL;
}

// TRUE when the record is on DriveList (pointer identity).
BOOLEAN IsLdEntryValid(PDSM_CONTEXT DsmContext, PLD_ENTRY LdEntry)
{
    DSM_ASSERT_LOCK_HELD(DsmContext);
    for (PLIST_ENTRY link = DsmContext->DriveList.Flink; link != &DsmContext->DriveList; link = link->Flink) {
        ASSERT(link != NULL);
        if (CONTAINING_RECORD(link, LD_ENTRY, DriveLink) == LdEntry) {
            return TRUE;
        }
    }
    return FALSE;
}

// A record on PathRecordList that the index lacks (it is degraded), or
// NULL.  Caller holds DsmLock.
PLD_ENTRY DsmFindUnindexedPath(PDSM_CONTEXT DsmContext, PPDO_ENTRY PdoEntry)
{
    DSM_ASSERT_LOCK_HELD(DsmContext);
    for (PLIST_ENTRY link = DsmContext->PathRecordList.Flink; link != &DsmContext->PathRecordList;
         link = link->Flink) {
        ASSERT(link != NULL);
        if (CONTAINING_RECORD(link, PDO_ENTRY, DsmLink) == PdoEntry) {
            return PdoEntry->LdEntry;
        }
    }
    return NULL;
}

// TRUE when the record is on PathRecordList (pointer identity).
BOOLEAN IsPdoEntryValid(PDSM_CONTEXT DsmContext, PPDO_ENTRY PdoEntry)
{
    ULONG slot = DSM_PATH_NO_SLOT;
    return (BOOLEAN)(DsmLookupPath(DsmContext, PdoEntry, &slot) != NULL);
}

/*++

Routine Description:

    Whether a record the caller saw before dropping DsmLock is still
    known and still the same record.  Records are freed while the driver
    runs, and pool hands a freed record's address to the next one, so
    the address alone could name another path or drive: the serial given
    when the record was linked tells them apart.  Caller holds DsmLock.

--*/
BOOLEAN IsPdoEntryCurrent(PDSM_CONTEXT DsmContext, PPDO_ENTRY PdoEntry, ULONGLONG RecordSerial)
{
    return (BOOLEAN)(IsPdoEntryValid(DsmContext, PdoEntry) && PdoEntry->RecordSerial == RecordSerial);
}

BOOLEAN IsLdEntryCurrent(PDSM_CONTEXT DsmContext, PLD_ENTRY LdEntry, ULONGLONG RecordSerial)
{
    return (BOOLEAN)(IsLdEntryValid(DsmContext, LdEntry) && LdEntry->RecordSerial == RecordSerial);
}

/*++

Routine Description:

    The path's target device object with a reference taken, for a command
    sent after DsmLock is dropped: once the path is removed its device may
    be deleted, and the reference keeps the object until the sender is
    done.  NULL for a path not bound yet.  The caller dereferences it.
    Caller holds DsmLock.

--*/
PDEVICE_OBJECT DsmReferenceTarget(PPDO_ENTRY PdoEntry)
{
    DSM_ASSERT_LOCK_HELD(PdoEntry->DsmContext);
    PDEVICE_OBJECT target = PdoEntry->TargetObject;
    if (target != NULL) {
        ObReferenceObject(target);
    }
    return target;
}

/*++

Routine Description:

    What queued work on one path needs before it sends a command there:
    whether the path it was queued for is still there and, if it is, the
    path's device (referenced; the caller dereferences it) and both
    labels.  Takes DsmLock; PASSIVE_LEVEL.

Return Value:

    The referenced device, or NULL when the path is gone or not bound.

--*/
PDEVICE_OBJECT DsmReferenceQueuedPath(const DSM_WORKITEM_RECORD *Record, CHAR LdIdString[TARN_LD_ID_STRING_SIZE],
                                      CHAR PathIdString[TARN_PATH_ID_STRING_SIZE])
{
    PDSM_CONTEXT dsmContext = Record->DsmContext;
    PPDO_ENTRY pdoEntry = (PPDO_ENTRY)Record->PdoEntry;
    PDEVICE_OBJECT target = NULL;
    KIRQL oldIrql;

    DSM_ASSERT_PASSIVE();
    RtlZeroMemory(LdIdString, TARN_LD_ID_STRING_SIZE);
    RtlZeroMemory(PathIdString, TARN_PATH_ID_STRING_SIZE);
    DsmAcquireLock(dsmContext, &oldIrql);
    if (IsPdoEntryCurrent(dsmContext, pdoEntry, Record->PdoSerial)) {
        target = DsmReferenceTarget(pdoEntry);
        RtlCopyMemory(LdIdString, pdoEntry->LdEntry->ldIdString, pdoEntry->LdEntry->LdIdStringLen);
        RtlCopyMemory(PathIdString, pdoEntry->PathIdString, pdoEntry->PathIdStringLen);
    }
    DsmReleaseLock(dsmContext, oldIrql);
    if (target == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmReferenceQueuedPath: path %p is gone", TA_PTR(pdoEntry));
    }
    return target;
}

static BOOLEAN DsmSameScsiAddress(const SCSI_ADDRESS *A, const SCSI_ADDRESS *B)
{
    return (BOOLEAN)(A->PortNumber == B->PortNumber && A->PathId == B->PathId && A->TargetId == B->TargetId &&
                     A->Lun == B->Lun);
}

// The drive's first path at its preferred address, or NULL.
PPDO_ENTRY FindPreferredPdoEntry(PLD_ENTRY LdEntry)
{
    DSM_ASSERT_LOCK_HELD(LdEntry->DsmContext);
    for (PLIST_ENTRY link = LdEntry->PathList.Flink; link != &LdEntry->PathList; link = link->Flink) {
        ASSERT(link != NULL);
        PPDO_ENTRY pdoEntry = CONTAINING_RECORD(link, PDO_ENTRY, LdLink);
        if (DsmSameScsiAddress(pdoEntry->ScsiAddress, &LdEntry->PreferredPathAddress)) {
            return pdoEntry;
        }
    }
    return NULL;
}

// Traces a drive and each of its paths.
VOID DumpLdEntry(PLD_ENTRY LdEntry)
{
    DSM_ASSERT_LOCK_HELD(LdEntry->DsmContext);
    DsmTrace(TRDSM_TRACE_LEVEL, "DumpLdEntry: %s serial %s, policy 0x%X, %u paths", TA_STR(LdEntry->ldIdString),
             TA_STR(LdEntry->SerialNumber), TA_ULONG(LdEntry->LogicalDriveLbPolicy), TA_ULONG(LdEntry->NumberPaths));
    if (LdEntry->currentPath != NULL) {
        DsmTrace(TRDSM_TRACE_LEVEL, "DumpLdEntry: %s current path %s", TA_STR(LdEntry->ldIdString),
                 TA_STR(LdEntry->currentPath->PathIdString));
    } else {
        DsmTrace(TRDSM_TRACE_LEVEL, "DumpLdEntry: %s has no current path", TA_STR(LdEntry->ldIdString));
    }
    for (PLIST_ENTRY link = LdEntry->PathList.Flink; link != &LdEntry->PathList; link = link->Flink) {
        ASSERT(link != NULL);
        PPDO_ENTRY pdoEntry = CONTAINING_RECORD(link, PDO_ENTRY, LdLink);
        DsmTrace(TRDSM_TRACE_LEVEL, "DumpLdEntry: %s path %s %s", TA_STR(LdEntry->ldIdString),
                 TA_STR(pdoEntry->PathIdString), TA_STR(DsmPathHealthName(pdoEntry->HealthState)));
    }
}

/*++

Routine Description:

    Snapshots the drive's healthy paths, the current path first, the
    others in path order, for use without the lock, each device object
    referenced (FreeDeviceObjectList drops the references).  Stops at the
    first allocation failure and keeps what it built.  Called with
    DsmLock held, after the drive was confirmed known.

Return Value:

    TRUE when the snapshot holds every healthy path, FALSE when it
    stopped short for want of memory.

--*/
BOOLEAN BuildDeviceObjectList(PLD_ENTRY LdEntry, PLIST_ENTRY ListHead)
{
    DSM_ASSERT_LOCK_HELD(LdEntry->DsmContext);
    InitializeListHead(ListHead);

    for (PLIST_ENTRY link = LdEntry->PathList.Flink; link != &LdEntry->PathList; link = link->Flink) {
        ASSERT(link != NULL);
        PPDO_ENTRY pdoEntry = CONTAINING_RECORD(link, PDO_ENTRY, LdLink);
        if (pdoEntry->HealthState != PDO_HEALTH_HEALTHY || pdoEntry->TargetObject == NULL) {
            continue;
        }

        PDEVICE_OBJECT_ENTRY entry =
            (PDEVICE_OBJECT_ENTRY)DsmAllocatePool(NonPagedPool, sizeof(DEVICE_OBJECT_ENTRY));
        if (entry == NULL) {
            DsmTrace(TRDSM_ERROR_LEVEL, "BuildDeviceObjectList: no memory; %s snapshot stops before %s",
                     TA_STR(LdEntry->ldIdString), TA_STR(pdoEntry->PathIdString));
            DsmLogEvent(DsmIoObject, TARN_MSG_NO_MEMORY, NULL, NULL, NULL, 0);
            return FALSE;
        }
        entry->DeviceObject = DsmReferenceTarget(pdoEntry);
        ASSERT(pdoEntry->PathIdStringLen < TARN_PATH_ID_STRING_SIZE);
        RtlCopyMemory(entry->pathIdString, pdoEntry->PathIdString, pdoEntry->PathIdStringLen);

        if (pdoEntry == LdEntry->currentPath) {
            InsertHeadList(ListHead, &entry->Link);
        } else {
            InsertTailList(ListHead, &entry->Link);
        }
    }
    return TRUE;
}

// Releases a snapshot, with its device references, and leaves its head
// empty.  No lock needed.
VOID FreeDeviceObjectList(PLIST_ENTRY ListHead)
{
    PLIST_ENTRY link = ListHead->Flink;
    while (link != ListHead) {
        PLIST_ENTRY next = link->Flink;
        PDEVICE_OBJECT_ENTRY entry = CONTAINING_RECORD(link, DEVICE_OBJECT_ENTRY, Link);
        ObDereferenceObject(entry->DeviceObject);
        DsmWipeAndFree(entry, sizeof(DEVICE_OBJECT_ENTRY));
        link = next;
    }
    InitializeListHead(ListHead);
}
