/*++

Module Name:

    tarninterface.cpp

Abstract:

    The entry points MPIO calls through the registration record, and the
    periodic timer routine.

    Claiming, identification and request routing are here (the cluster's
    device control lives with the cluster code); path binding, path life
    and error interpretation are not built yet: their entry points answer
    as for an unknown identifier.

Environment:

    Kernel mode.

--*/

#include "tarn.h"

TARN_TRACE_MODULE_GUID(0xA3D05F6E, 0x2B81, 0x4C97, 0x8E, 0x14, 0x6F, 0xB2, 0x09, 0xD7, 0x35, 0x5C);

//
// Claiming.  The descriptors come from outside the driver: every offset
// and length in them is checked against the size they declare before a
// byte behind it is read, and a device whose descriptors do not hold
// together is declined.
//

// Vendor and product identification are exactly 8 and 16 characters.
#define TARN_VENDOR_ID_CHARS 8
#define TARN_PRODUCT_ID_CHARS 16
#define TARN_INQUIRY_ID_CHARS (TARN_VENDOR_ID_CHARS + TARN_PRODUCT_ID_CHARS)

// The controller record handed to MPIO.
#define TARN_CONTROLLER_ID_TYPE 1
#define TARN_CONTROLLER_ID_LENGTH 8
#define TARN_CONTROLLER_STATE_ACTIVE 4

// Label of a device whose serial is not known yet.
#define TARN_UNKNOWN_LABEL "[xxx]"

/*++

Routine Description:

    Whether the text at Offset of a descriptor of Size bytes is exactly
    Characters long: NUL at index Characters, none before, all inside.

--*/
static BOOLEAN DsmIsExactInquiryString(const UCHAR *Descriptor, ULONG Size, ULONG Offset, ULONG Characters)
{
    if (Offset == 0 || Offset >= Size || Size - Offset < Characters + 1) {
        return FALSE;
    }
    for (ULONG i = 0; i < Characters; i++) {
        if (Descriptor[Offset + i] == '\0') {
            return FALSE;
        }
    }
    return (BOOLEAN)(Descriptor[Offset + Characters] == '\0');
}

/*++

Routine Description:

    Whether the device's vendor and product identification is on the
    supported device list (exact, case-sensitive comparison of the joined
    24 characters with each entry).  An empty list supports nothing.

--*/
static BOOLEAN DsmIsSupportedDevice(PDSM_CONTEXT DsmContext, PSTORAGE_DEVICE_DESCRIPTOR Descriptor)
{
    const UCHAR *bytes = (const UCHAR *)Descriptor;
    ULONG size = Descriptor->Size;
    WCHAR joined[TARN_INQUIRY_ID_CHARS + 1];

    if (size < (ULONG)FIELD_OFFSET(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties) ||
        !DsmIsExactInquiryString(bytes, size, Descriptor->VendorIdOffset, TARN_VENDOR_ID_CHARS) ||
        !DsmIsExactInquiryString(bytes, size, Descriptor->ProductIdOffset, TARN_PRODUCT_ID_CHARS)) {
        DsmTrace(TRDSM_TRACE_LEVEL,
                 "DsmIsSupportedDevice: %s vendor or product identification is not 8 and 16 characters",
                 TA_STR(TARN_UNKNOWN_LABEL));
        return FALSE;
    }

    for (ULONG i = 0; i < TARN_VENDOR_ID_CHARS; i++) {
        joined[i] = (WCHAR)bytes[Descriptor->VendorIdOffset + i];
    }
    for (ULONG i = 0; i < TARN_PRODUCT_ID_CHARS; i++) {
        joined[TARN_VENDOR_ID_CHARS + i] = (WCHAR)bytes[Descriptor->ProductIdOffset + i];
    }
    joined[TARN_INQUIRY_ID_CHARS] = 0;

    // Walk the entries within the list's own length: a list without its
    // final empty string ends there too.
    const UNICODE_STRING *list = &DsmContext->SupportedDeviceList;
    ULONG listChars = list->Buffer != NULL ? (ULONG)(list->Length / sizeof(WCHAR)) : 0;
    ULONG position = 0;
    while (position < listChars && list->Buffer[position] != 0) {
        ULONG entryChars = 0;
        while (position + entryChars < listChars && list->Buffer[position + entryChars] != 0) {
            entryChars++;
        }
        if (entryChars == TARN_INQUIRY_ID_CHARS &&
            RtlEqualMemory(&list->Buffer[position], joined, TARN_INQUIRY_ID_CHARS * sizeof(WCHAR))) {
            return TRUE;
        }
        position += entryChars + 1;
    }
    return FALSE;
}

//
// The identifier list is read as bytes at the fields' offsets.  Its
// records need not be aligned (nothing makes a device pad them to 4
// bytes), and its code set, type and association fields carry whatever
// the device reported: values such as association 2 (target device),
// type 8 (SCSI name string) or code set 3 (UTF-8) lie outside the
// platform's enumerations, so a field is never read as its enum type.
//
#define TARN_ID_LIST_SIZE ((ULONG)FIELD_OFFSET(STORAGE_DEVICE_ID_DESCRIPTOR, Size))
#define TARN_ID_LIST_COUNT ((ULONG)FIELD_OFFSET(STORAGE_DEVICE_ID_DESCRIPTOR, NumberOfIdentifiers))
#define TARN_ID_LIST_FIRST ((ULONG)FIELD_OFFSET(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers))
#define TARN_ID_CODE_SET ((ULONG)FIELD_OFFSET(STORAGE_IDENTIFIER, CodeSet))
#define TARN_ID_TYPE ((ULONG)FIELD_OFFSET(STORAGE_IDENTIFIER, Type))
#define TARN_ID_SIZE ((ULONG)FIELD_OFFSET(STORAGE_IDENTIFIER, IdentifierSize))
#define TARN_ID_NEXT ((ULONG)FIELD_OFFSET(STORAGE_IDENTIFIER, NextOffset))
#define TARN_ID_ASSOCIATION ((ULONG)FIELD_OFFSET(STORAGE_IDENTIFIER, Association))
#define TARN_ID_HEADER ((ULONG)FIELD_OFFSET(STORAGE_IDENTIFIER, Identifier))

// The 32-bit field at Offset, whatever its alignment; the caller has
// checked that it lies inside the buffer.
static ULONG DsmReadUlong(const UCHAR *Bytes, ULONG Offset)
{
    ULONG value;
    RtlCopyMemory(&value, Bytes + Offset, sizeof(value));
    return value;
}

static USHORT DsmReadUshort(const UCHAR *Bytes, ULONG Offset)
{
    USHORT value;
    RtlCopyMemory(&value, Bytes + Offset, sizeof(value));
    return value;
}

/*++

Routine Description:

    Derives the serial number text from the device identifier list: the
    upper-case hexadecimal of the first identifier of type 3 whose
    association is not the port, which must be binary.

Arguments:

    SerialNumber - receives the text, owned by the caller.
    SerialNumberLength - its characters without the NUL.

Return Value:

    STATUS_SUCCESS; STATUS_UNSUCCESSFUL when there is no usable
    identifier; STATUS_NOT_SUPPORTED for a malformed list or an
    identifier too short or too long to key a drive;
    STATUS_INSUFFICIENT_RESOURCES.

--*/
static NTSTATUS DsmGetSerialNumberText(PSTORAGE_DEVICE_ID_DESCRIPTOR DeviceIdList, PCHAR *SerialNumber,
                                       PULONG SerialNumberLength)
{
    static const CHAR digits[] = "0123456789ABCDEF";

    *SerialNumber = NULL;
    *SerialNumberLength = 0;

    if (DeviceIdList == NULL) {
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmGetSerialNumberText: %s no device identifier list", TA_STR(TARN_UNKNOWN_LABEL));
        return STATUS_UNSUCCESSFUL;
    }

    // The size field is read first, and alone: nothing else is known to
    // lie inside the list until it says so.
    const UCHAR *bytes = (const UCHAR *)DeviceIdList;
    ULONG size = DsmReadUlong(bytes, TARN_ID_LIST_SIZE);
    if (size < TARN_ID_LIST_FIRST) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmGetSerialNumberText: identifier list of %u bytes is malformed", TA_ULONG(size));
        return STATUS_NOT_SUPPORTED;
    }
    ULONG count = DsmReadUlong(bytes, TARN_ID_LIST_COUNT);

    //
    // Check the whole list first: each record's header and identifier lie
    // inside the list, each record holds its identifier, and every record
    // but the last says where the next one is.
    //
    ULONG chosen = 0;           // offset of the chosen record; 0 for none
    ULONG offset = TARN_ID_LIST_FIRST;
    for (ULONG i = 0; i < count; i++) {
        if (offset > size || size - offset < TARN_ID_HEADER) {
            DsmTrace(TRDSM_ERROR_LEVEL, "DsmGetSerialNumberText: identifier %u lies past the list's %u bytes",
                     TA_ULONG(i), TA_ULONG(size));
            return STATUS_NOT_SUPPORTED;
        }
        ULONG identifierSize = DsmReadUshort(bytes, offset + TARN_ID_SIZE);
        ULONG nextOffset = DsmReadUshort(bytes, offset + TARN_ID_NEXT);
        BOOLEAN last = (BOOLEAN)(i + 1 == count);

        if (size - offset - TARN_ID_HEADER < identifierSize ||
            (!last && (nextOffset == 0 || nextOffset < TARN_ID_HEADER + identifierSize))) {
            DsmTrace(TRDSM_ERROR_LEVEL,
                     "DsmGetSerialNumberText: identifier %u of %u bytes, next at +%u, does not fit its record "
                     "or the list",
                     TA_ULONG(i), TA_ULONG(identifierSize), TA_ULONG(nextOffset));
            return STATUS_NOT_SUPPORTED;
        }
        if (chosen == 0 && DsmReadUlong(bytes, offset + TARN_ID_ASSOCIATION) != (ULONG)StorageIdAssocPort &&
            DsmReadUlong(bytes, offset + TARN_ID_TYPE) == (ULONG)StorageIdTypeFCPHName) {
            chosen = offset;
        }
        offset += nextOffset;
    }

    if (chosen == 0) {
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmGetSerialNumberText: %s no logical unit name among the identifiers",
                 TA_STR(TARN_UNKNOWN_LABEL));
        return STATUS_UNSUCCESSFUL;
    }
    ULONG codeSet = DsmReadUlong(bytes, chosen + TARN_ID_CODE_SET);
    if (codeSet != (ULONG)StorageIdCodeSetBinary) {
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmGetSerialNumberText: %s the logical unit name is not binary (code set %u)",
                 TA_STR(TARN_UNKNOWN_LABEL), TA_ULONG(codeSet));
        return STATUS_UNSUCCESSFUL;
    }
    ULONG identifierSize = DsmReadUshort(bytes, chosen + TARN_ID_SIZE);
    if (2 * identifierSize < TARN_MIN_SERIAL_CHARS || identifierSize > TARN_MAX_IDENTIFIER_BYTES) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmGetSerialNumberText: a %u-byte identifier cannot key a drive",
                 TA_ULONG(identifierSize));
        return STATUS_NOT_SUPPORTED;
    }

    PCHAR text = (PCHAR)DsmAllocatePool(NonPagedPool, 2 * identifierSize + 1);
    if (text == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmGetSerialNumberText: no memory for the serial number");
        DsmLogEvent(DsmIoObject, TARN_MSG_NO_MEMORY, NULL, NULL, NULL, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const UCHAR *identifier = bytes + chosen + TARN_ID_HEADER;
    for (ULONG i = 0; i < identifierSize; i++) {
        text[2 * i] = digits[identifier[i] >> 4];
        text[2 * i + 1] = digits[identifier[i] & 0x0F];
    }

    *SerialNumber = text;
    *SerialNumberLength = 2 * identifierSize;
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    MPIO offers a device.  A supported device with a usable serial number
    is claimed: its path record is filed under the drive of that serial,
    which is created (with its stored policy and preferred path) when it
    is new.  PASSIVE_LEVEL: the registry is read and MPIO is asked for the
    device's address, with DsmLock dropped around both.

Arguments:

    DsmIdentifier - receives the path record, MPIO's identifier for the
        device and the path from now on.

Return Value:

    STATUS_SUCCESS; STATUS_NOT_SUPPORTED for a device that is not the
    DSM's; the failing status of a record that could not be made;
    STATUS_UNSUCCESSFUL when the path was removed meanwhile.

--*/
NTSTATUS NTAPI DsmInquireDriver(PVOID DsmContext, PDEVICE_OBJECT TargetDevice, PDEVICE_OBJECT PortObject,
                                PSTORAGE_DEVICE_DESCRIPTOR Descriptor, PSTORAGE_DEVICE_ID_DESCRIPTOR DeviceIdList,
                                PVOID *DsmIdentifier)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    PCHAR serialNumber = NULL;
    ULONG serialNumberLength = 0;
    PPDO_ENTRY pdoEntry = NULL;
    PLD_ENTRY ldEntry = NULL;
    BOOLEAN newDrive = FALSE;
    SCSI_ADDRESS firstAddress;
    CHAR driveSerial[TARN_MAX_SERIAL_CHARS + 1];
    ULONG policy;
    KIRQL oldIrql;

    DSM_ASSERT_PASSIVE();

    if (Descriptor == NULL || !DsmIsSupportedDevice(dsmContext, Descriptor)) {
        return STATUS_NOT_SUPPORTED;
    }

    NTSTATUS status = DsmGetSerialNumberText(DeviceIdList, &serialNumber, &serialNumberLength);
    if (!NT_SUCCESS(status)) {
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmInquireDriver: %s declined, %s", TA_STR(TARN_UNKNOWN_LABEL),
                 TA_STR(DsmStatusName(status)));
        return STATUS_NOT_SUPPORTED;
    }

    status = CreatePdoEntry(&pdoEntry, dsmContext, TargetDevice, PortObject, serialNumber);
    if (!NT_SUCCESS(status)) {
        DsmFreePool(serialNumber);
        return status;
    }

    // Used only if the drive turns out to be new.
    policy = dsmContext->PathSelectionPolicy;
    if (!NT_SUCCESS(DsmReadDrivePolicy(dsmContext, serialNumber, &policy))) {
        policy = dsmContext->PathSelectionPolicy;
    }

    DsmAcquireLock(dsmContext, &oldIrql);
    ldEntry = FindLdEntry(dsmContext, serialNumber);
    if (ldEntry != NULL) {
        DsmFreePool(serialNumber);
        serialNumber = NULL;
    } else {
        status = CreateLdEntry(&ldEntry, dsmContext, serialNumber, serialNumberLength, policy);
        if (!NT_SUCCESS(status)) {
            DsmReleaseLock(dsmContext, oldIrql);
            DsmFreePool(serialNumber);
            FreePdoEntry(pdoEntry);
            return status;
        }
        AddLdEntry(dsmContext, ldEntry);
        newDrive = TRUE;
    }

    AddPdoEntry(dsmContext, ldEntry, pdoEntry);
    RtlCopyMemory(&firstAddress, pdoEntry->ScsiAddress, sizeof(SCSI_ADDRESS));
    if (newDrive) {
        DsmLogEvent(DsmIoObject, TARN_MSG_NEW_LOGICAL_DRIVE, ldEntry->SerialNumber, pdoEntry->PathIdString, NULL, 0);
    } else {
        DsmLogEvent(DsmIoObject, TARN_MSG_REDUNDANT_PATH, pdoEntry->PathIdString, ldEntry->SerialNumber, NULL, 0);
    }
    // The drive may be removed once the lock is dropped: the registry is
    // read with a copy of its serial, never with the drive's own text.
    RtlCopyMemory(driveSerial, ldEntry->SerialNumber, ldEntry->SerialNumberLength + 1);
    DsmReleaseLock(dsmContext, oldIrql);

    SCSI_ADDRESS preferred;
    RtlCopyMemory(&preferred, &firstAddress, sizeof(SCSI_ADDRESS));
    if (newDrive) {
        BOOLEAN found = FALSE;
        status = DsmReadPreferredPath(dsmContext, driveSerial, &firstAddress, &found, &preferred);
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmInquireDriver: preferred path of %s %s stored, %s", TA_STR(driveSerial),
                 TA_STR(found ? "was" : "was not"), TA_STR(DsmStatusName(status)));
    }

    DsmAcquireLock(dsmContext, &oldIrql);
    if (!IsPdoEntryValid(dsmContext, pdoEntry)) {
        DsmReleaseLock(dsmContext, oldIrql);
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmInquireDriver: path %p was removed during the claim", TA_PTR(pdoEntry));
        return STATUS_UNSUCCESSFUL;
    }
    if (newDrive) {
        RtlCopyMemory(&ldEntry->PreferredPathAddress, &preferred, sizeof(SCSI_ADDRESS));
    }
    DumpLdEntry(pdoEntry->LdEntry);
    *DsmIdentifier = pdoEntry;
    DsmReleaseLock(dsmContext, oldIrql);
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Whether both identifiers are paths of the same logical drive.  Both
    are checked under DsmLock first: MPIO may ask about a device whose
    path record was freed meanwhile.  Any IRQL up to DISPATCH_LEVEL.

Return Value:

    TRUE for two known paths of one drive; FALSE otherwise, also when
    either identifier is unknown.

--*/
BOOLEAN NTAPI DsmCompareDevices(PVOID DsmContext, PVOID DsmId1, PVOID DsmId2)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    PPDO_ENTRY first = (PPDO_ENTRY)DsmId1;
    PPDO_ENTRY second = (PPDO_ENTRY)DsmId2;
    BOOLEAN same = FALSE;
    KIRQL oldIrql;

    DsmAcquireLock(dsmContext, &oldIrql);
    if (!IsPdoEntryValid(dsmContext, first) || !IsPdoEntryValid(dsmContext, second)) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmCompareDevices: unknown identifier among %p, %p", TA_PTR(DsmId1),
                 TA_PTR(DsmId2));
    } else {
        same = (BOOLEAN)(first->LdEntry == second->LdEntry);
    }
    DsmReleaseLock(dsmContext, oldIrql);
    return same;
}

/*++

Routine Description:

    A copy of the device's serial number text that the caller owns.  The
    identifier is checked and the copy made under DsmLock, so a drive
    removed meanwhile is never read.  Any IRQL up to DISPATCH_LEVEL.

Return Value:

    The copy, or NULL for an unknown identifier or when memory is short.

--*/
PCHAR NTAPI DsmGetSerialNumber(PVOID DsmContext, PVOID DsmId)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    PPDO_ENTRY pdoEntry = (PPDO_ENTRY)DsmId;
    PCHAR copy = NULL;
    KIRQL oldIrql;

    DsmAcquireLock(dsmContext, &oldIrql);
    if (!IsPdoEntryValid(dsmContext, pdoEntry)) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmGetSerialNumber: unknown identifier %p", TA_PTR(DsmId));
    } else {
        PLD_ENTRY ldEntry = pdoEntry->LdEntry;
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmGetSerialNumber: %s %s", TA_STR(ldEntry->ldIdString),
                 TA_STR(ldEntry->SerialNumber));
        copy = (PCHAR)DsmAllocatePool(NonPagedPool, (SIZE_T)ldEntry->SerialNumberLength + 1);
        if (copy != NULL) {
            RtlCopyMemory(copy, ldEntry->SerialNumber, ldEntry->SerialNumberLength);
        }
    }
    DsmReleaseLock(dsmContext, oldIrql);
    return copy;
}

/*++

Routine Description:

    The controller record of a device.  With DSM_CNTRL_FLAGS_ALLOCATE a
    fresh record is made whose identifier comes from the system time, so
    every call yields another controller; with DSM_CNTRL_FLAGS_CHECK_STATE
    the given record is marked active.

--*/
NTSTATUS NTAPI DsmGetControllerInfo(PVOID DsmContext, PVOID DsmId, ULONG Flags, PCONTROLLER_INFO *ControllerInfo)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    PPDO_ENTRY pdoEntry = (PPDO_ENTRY)DsmId;
    LARGE_INTEGER now;
    KIRQL oldIrql;

    DsmAcquireLock(dsmContext, &oldIrql);
    if (!IsPdoEntryValid(dsmContext, pdoEntry)) {
        DsmReleaseLock(dsmContext, oldIrql);
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmGetControllerInfo: unknown identifier %p", TA_PTR(DsmId));
        return STATUS_UNSUCCESSFUL;
    }
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmGetControllerInfo: %s flags 0x%X", TA_STR(pdoEntry->LdEntry->ldIdString),
             TA_ULONG(Flags));
    DsmReleaseLock(dsmContext, oldIrql);

    KeQuerySystemTime(&now);
    if ((Flags & DSM_CNTRL_FLAGS_ALLOCATE) != 0) {
        PCONTROLLER_INFO info = (PCONTROLLER_INFO)DsmAllocatePool(NonPagedPool, sizeof(CONTROLLER_INFO));
        if (info == NULL) {
            DsmTrace(TRDSM_ERROR_LEVEL, "DsmGetControllerInfo: no memory for the controller record");
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        info->IdentifierType = TARN_CONTROLLER_ID_TYPE;
        info->IdentifierLength = TARN_CONTROLLER_ID_LENGTH;
        RtlCopyMemory(info->Identifier, &now.u.LowPart, sizeof(ULONG));
        info->State = TARN_CONTROLLER_STATE_ACTIVE;
        *ControllerInfo = info;
    } else if ((Flags & DSM_CNTRL_FLAGS_CHECK_STATE) != 0) {
        (*ControllerInfo)->State = TARN_CONTROLLER_STATE_ACTIVE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DsmSetDeviceInfo(PVOID DsmContext, PDEVICE_OBJECT TargetObject, PVOID DsmId, PVOID *PathId)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(TargetObject);
    UNREFERENCED_PARAMETER(PathId);
    DsmTrace(TRDSM_ERROR_LEVEL, "DsmSetDeviceInfo: unknown identifier %p", TA_PTR(DsmId));
    return STATUS_UNSUCCESSFUL;
}

BOOLEAN NTAPI DsmIsPathActive(PVOID DsmContext, PVOID PathId, PVOID DsmId)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(PathId);
    UNREFERENCED_PARAMETER(DsmId);
    return FALSE;
}

NTSTATUS NTAPI DsmPathVerify(PVOID DsmContext, PVOID DsmId, PVOID PathId)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(PathId);
    DsmTrace(TRDSM_ERROR_LEVEL, "DsmPathVerify: unknown identifier %p", TA_PTR(DsmId));
    return STATUS_DEVICE_NOT_CONNECTED;
}

NTSTATUS NTAPI DsmInvalidatePath(PVOID DsmContext, ULONG ErrorMask, PVOID PathId, PVOID *NewPathId)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(ErrorMask);
    UNREFERENCED_PARAMETER(NewPathId);
    DsmTrace(TRDSM_ERROR_LEVEL, "DsmInvalidatePath: unknown path %p", TA_PTR(PathId));
    return STATUS_NO_SUCH_DEVICE;
}

NTSTATUS NTAPI DsmMoveDevice(PVOID DsmContext, PDSM_IDS DsmIds, PVOID MPIOPath, PVOID SuggestedPath, ULONG Flags)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(DsmIds);
    UNREFERENCED_PARAMETER(Flags);
    DsmTrace(TRDSM_ERROR_LEVEL, "DsmMoveDevice: unknown paths %p, %p", TA_PTR(MPIOPath), TA_PTR(SuggestedPath));
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI DsmRemovePending(PVOID DsmContext, PVOID DsmId)
{
    UNREFERENCED_PARAMETER(DsmContext);
    DsmTrace(TRDSM_ERROR_LEVEL, "DsmRemovePending: unknown identifier %p", TA_PTR(DsmId));
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI DsmRemoveDevice(PVOID DsmContext, PVOID DsmId, PVOID PathId)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(PathId);
    DsmTrace(TRDSM_ERROR_LEVEL, "DsmRemoveDevice: unknown identifier %p", TA_PTR(DsmId));
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI DsmRemovePath(PVOID DsmContext, PVOID PathId)
{
    UNREFERENCED_PARAMETER(DsmContext);
    DsmTrace(TRDSM_ERROR_LEVEL, "DsmRemovePath: unknown path %p", TA_PTR(PathId));
    return STATUS_UNSUCCESSFUL;
}

/*++

Routine Description:

    The path a request of the drive goes down: the drive's current path.
    Round robin first moves it on when the timeslice has run out.  Every
    call counts as a request in flight, also when it fails.

Arguments:

    DsmList - only the first identifier is used; its path's drive is the
        request's drive.
    Status - STATUS_SUCCESS, or STATUS_DEVICE_NOT_CONNECTED when the
        identifier is unknown or the drive has no usable path.

Return Value:

    The path record, or NULL.  Any IRQL up to DISPATCH_LEVEL.

--*/
PVOID NTAPI DsmLBGetPath(PVOID DsmContext, PSCSI_REQUEST_BLOCK Srb, PDSM_IDS DsmList, PVOID CurrentPath,
                         NTSTATUS *Status)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    PPDO_ENTRY pdoEntry = (DsmList != NULL && DsmList->Count != 0) ? (PPDO_ENTRY)DsmList->IdList[0] : NULL;
    KIRQL oldIrql;

    UNREFERENCED_PARAMETER(Srb);
    UNREFERENCED_PARAMETER(CurrentPath);

    DsmAcquireLock(dsmContext, &oldIrql);
    DsmRequestCounters.GetPathCalls++;
    DsmRequestCounters.OutstandingRequests++;

    PPDO_ENTRY chosen = NULL;
    if (!IsPdoEntryValid(dsmContext, pdoEntry)) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmLBGetPath: unknown identifier %p", TA_PTR(pdoEntry));
    } else {
        PLD_ENTRY ldEntry = pdoEntry->LdEntry;
        if ((ldEntry->LogicalDriveLbPolicy & TARN_LB_POLICY_STATIC_MASK) == 0 && ldEntry->currentPath != NULL &&
            TimesliceSwitchDue(dsmContext, ldEntry)) {
            SelectCurrentPath(ldEntry);
        }
        chosen = ldEntry->currentPath;
        if (chosen != NULL) {
            chosen->RequestCount++;
        } else {
            DsmTrace(TRDSM_ERROR_LEVEL, "DsmLBGetPath: drive %s has no current path", TA_STR(ldEntry->SerialNumber));
        }
    }
    DsmReleaseLock(dsmContext, oldIrql);

    *Status = chosen != NULL ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
    return chosen;
}

ULONG NTAPI DsmInterpretError(PVOID DsmContext, PVOID DsmId, PSCSI_REQUEST_BLOCK Srb, NTSTATUS *Status,
                              PBOOLEAN Retry)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(DsmId);
    UNREFERENCED_PARAMETER(Srb);
    UNREFERENCED_PARAMETER(Status);
    *Retry = FALSE;
    return 0;
}

/*++

Routine Description:

    Hooks the request's completion so that it is counted out again.  When
    no completion record can be had the request goes on unhooked (and is
    never counted out).  Any IRQL up to DISPATCH_LEVEL.

--*/
VOID NTAPI DsmSetCompletion(PVOID DsmContext, PVOID DsmId, PIRP Irp, PSCSI_REQUEST_BLOCK Srb,
                            PDSM_COMPLETION_INFO DsmCompletion)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    LARGE_INTEGER ticks;
    KIRQL oldIrql;

    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Srb);

    DsmAcquireLock(dsmContext, &oldIrql);
    DsmRequestCounters.SetCompletionCalls++;

    PCOMPLETION_RECORD record =
        (PCOMPLETION_RECORD)ExAllocateFromNPagedLookasideList(&dsmContext->CompletionLookaside);
    if (record == NULL) {
        DsmLogEvent(DsmIoObject, TARN_MSG_NO_MEMORY, NULL, NULL, NULL, 0);
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmSetCompletion: no completion record; %p goes unhooked", TA_PTR(Irp));
        DsmCompletion->DsmCompletionRoutine = NULL;
        DsmCompletion->DsmContext = NULL;
        DsmReleaseLock(dsmContext, oldIrql);
        return;
    }

    RtlZeroMemory(record, sizeof(COMPLETION_RECORD));
    KeQueryTickCount(&ticks);
    record->IssueTicks = (ULONGLONG)ticks.QuadPart;
    record->DsmId = DsmId;
    record->DsmContext = dsmContext;
    DsmCompletion->DsmCompletionRoutine = RequestCompletion;
    DsmCompletion->DsmContext = record;
    DsmReleaseLock(dsmContext, oldIrql);
}

// A hooked request completed: count it out and give its record back.
VOID NTAPI RequestCompletion(PVOID DsmId, PIRP Irp, PSCSI_REQUEST_BLOCK Srb, PVOID Context)
{
    PCOMPLETION_RECORD record = (PCOMPLETION_RECORD)Context;
    PDSM_CONTEXT dsmContext = record->DsmContext;
    KIRQL oldIrql;

    UNREFERENCED_PARAMETER(DsmId);
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Srb);

    DsmAcquireLock(dsmContext, &oldIrql);
    DsmRequestCounters.CompletionCalls++;
    DsmRequestCounters.OutstandingRequests--;
    ExFreeToNPagedLookasideList(&dsmContext->CompletionLookaside, record);
    DsmReleaseLock(dsmContext, oldIrql);
}

/*++

Routine Description:

    Says how MPIO is to handle a request: the cluster's reservation
    requests the DSM carries out itself (2); every other request goes
    down the drive's current path (3), or nowhere when there is none (4,
    with the SRB marked as having no device).

--*/
ULONG NTAPI DsmCategorizeRequest(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp, PSCSI_REQUEST_BLOCK Srb,
                                 PVOID CurrentPath, PVOID *PathId, NTSTATUS *Status)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    KIRQL oldIrql;
    ULONG value = 0;

    PPDO_ENTRY pdoEntry = (DsmIds != NULL && DsmIds->Count != 0) ? (PPDO_ENTRY)DsmIds->IdList[0] : NULL;
    DsmAcquireLock(dsmContext, &oldIrql);
    BOOLEAN known = IsPdoEntryValid(dsmContext, pdoEntry);
    DsmReleaseLock(dsmContext, oldIrql);
    if (!known) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmCategorizeRequest: unknown identifier %p", TA_PTR(pdoEntry));
        return DSM_CATEGORY_NO_PATH;
    }

    if (IsReservationRequest(Irp, Srb)) {
        return DSM_CATEGORY_CARRIED_OUT_BY_DSM;
    }
    if (IsVendorWriteBuffer(Irp, Srb, &value)) {
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmCategorizeRequest: vendor WRITE BUFFER 0x%X routed as usual", TA_ULONG(value));
    }

    NTSTATUS status = STATUS_SUCCESS;
    PVOID path = DsmLBGetPath(DsmContext, Srb, DsmIds, CurrentPath, &status);
    ULONG category = DSM_CATEGORY_PATH_CHOSEN;
    if (!NT_SUCCESS(status)) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmCategorizeRequest: no path, %s", TA_STR(DsmStatusName(status)));
        if (Srb != NULL) {
            Srb->SrbStatus = SRB_STATUS_NO_DEVICE;
        }
        path = NULL;
        category = DSM_CATEGORY_NO_PATH;
    }
    *PathId = path;
    *Status = status;
    return category;
}

NTSTATUS NTAPI DsmBroadcastSrb(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp, PSCSI_REQUEST_BLOCK Srb, PKEVENT Event)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(DsmIds);
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Srb);
    UNREFERENCED_PARAMETER(Event);
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    The periodic routine, every TARN_TIMER_PERIOD_MS from one second after
    start, at DISPATCH_LEVEL.  It holds DsmLock for its whole run, counts its runs
    and once a minute (including the first run) traces the request
    statistics.  On nine runs out of ten it does nothing but count.

--*/
VOID NTAPI DsmTimerRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DeferredContext;
    KIRQL oldIrql;

    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);

    DsmAcquireLock(dsmContext, &oldIrql);

    ULONGLONG tick = dsmContext->TickCount;
    if (tick % TARN_TIMER_RUNS_PER_MINUTE == 0) {
        DsmTrace(TRDSM_TRACE_LEVEL,
                 "DsmTimerRoutine: context %p, GetPath %I64u, SetCompletion %I64u, Completion %I64u, "
                 "InterpretError %I64u, outstanding %I64d",
                 TA_PTR(dsmContext), TA_ULONGLONG(DsmRequestCounters.GetPathCalls),
                 TA_ULONGLONG(DsmRequestCounters.SetCompletionCalls),
                 TA_ULONGLONG(DsmRequestCounters.CompletionCalls),
                 TA_ULONGLONG(DsmRequestCounters.InterpretErrorCalls),
                 TA_ULONGLONG(DsmRequestCounters.OutstandingRequests));
    }
    dsmContext->TickCount = tick + 1;

    DsmReleaseLock(dsmContext, oldIrql);
}
