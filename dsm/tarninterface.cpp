/*++

Module Name:

    tarninterface.cpp

Abstract:

    The entry points MPIO calls through the registration record, and the
    periodic timer routine.

    Claiming and identification, path binding and removal, path life
    (activation, verification, invalidation), request routing and error
    interpretation are here; the cluster's device control lives with the
    cluster code.  Each entry point says at which IRQL MPIO may call it.

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

// What the failover event names when a drive is left without any path.
#define TARN_NO_PATH_TEXT "no available path"

/*++

Routine Description:

    Logs that a drive failed over, naming the path it uses now.  With no
    path left the drive has nowhere to go: the event says so, rather
    than leave its sentence without its end.  Caller holds DsmLock.

--*/
VOID DsmLogFailover(PLD_ENTRY LdEntry)
{
    DSM_ASSERT_LOCK_HELD(LdEntry->DsmContext);
    PPDO_ENTRY current = LdEntry->currentPath;
    DsmLogEvent(DsmIoObject, TARN_MSG_FAILOVER, LdEntry->SerialNumber,
                current != NULL ? current->PathIdString : TARN_NO_PATH_TEXT, NULL, 0);
}

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
    if (DsmCalledRaised("DsmInquireDriver")) {
        return STATUS_INVALID_DEVICE_STATE;
    }

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
    ULONGLONG pathSerial = pdoEntry->RecordSerial;
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

    // The path, and with it a drive created for it, may have been removed
    // while the registry was read; a record now at the same address is
    // another's.
    DsmAcquireLock(dsmContext, &oldIrql);
    if (!IsPdoEntryCurrent(dsmContext, pdoEntry, pathSerial)) {
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

// Copies the drive's label into an 8-byte buffer, for traces and
// commands made after the lock is dropped.  Caller holds DsmLock.
static VOID DsmCopyDriveLabel(PLD_ENTRY LdEntry, CHAR Label[TARN_LD_ID_STRING_SIZE])
{
    DSM_ASSERT_LOCK_HELD(LdEntry->DsmContext);
    RtlZeroMemory(Label, TARN_LD_ID_STRING_SIZE);
    ASSERT(LdEntry->LdIdStringLen < TARN_LD_ID_STRING_SIZE);
    RtlCopyMemory(Label, LdEntry->ldIdString, LdEntry->LdIdStringLen);
}

/*++

Routine Description:

    Binds a claimed path to its target device object and asks the array,
    down that object, where the path lands and what the controller's
    clock says.  The path identifier MPIO uses from now on is the path
    record, as the device identifier is.  PASSIVE_LEVEL: the queries are
    synchronous commands, sent without the lock; the path is looked up
    again before their answers are stored.

Return Value:

    STATUS_SUCCESS, also when a query failed or the path was removed
    meanwhile; STATUS_UNSUCCESSFUL for an unknown identifier.

--*/
NTSTATUS NTAPI DsmSetDeviceInfo(PVOID DsmContext, PDEVICE_OBJECT TargetObject, PVOID DsmId, PVOID *PathId)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    PPDO_ENTRY pdoEntry = (PPDO_ENTRY)DsmId;
    CHAR ldIdString[TARN_LD_ID_STRING_SIZE];
    CHAR timeText[TARN_CONTROLLER_TIME_SIZE];
    UCHAR controllerPort = TARN_CONTROLLER_UNKNOWN;
    UCHAR controllerNumber = TARN_CONTROLLER_UNKNOWN;
    KIRQL oldIrql;

    DSM_ASSERT_PASSIVE();
    if (DsmCalledRaised("DsmSetDeviceInfo")) {
        return STATUS_INVALID_DEVICE_STATE;
    }

    DsmAcquireLock(dsmContext, &oldIrql);
    if (!IsPdoEntryValid(dsmContext, pdoEntry) || TargetObject == NULL) {
        DsmReleaseLock(dsmContext, oldIrql);
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmSetDeviceInfo: unknown identifier %p", TA_PTR(pdoEntry));
        return STATUS_UNSUCCESSFUL;
    }
    ULONGLONG serial = pdoEntry->RecordSerial;
    pdoEntry->TargetObject = TargetObject;
    *PathId = pdoEntry;
    SetPathHealth(pdoEntry, pdoEntry->HealthState, PDO_HEALTH_INIT_SETDEVICEINFO);
    DsmCopyDriveLabel(pdoEntry->LdEntry, ldIdString);
    // MPIO keeps the object for the call; the reference keeps it for the
    // queries also if the path is removed meanwhile.
    ObReferenceObject(TargetObject);
    DsmReleaseLock(dsmContext, oldIrql);

    RtlZeroMemory(timeText, sizeof(timeText));
    NTSTATUS locationStatus = QueryArrayLocation(TargetObject, ldIdString, &controllerPort, &controllerNumber);
    NTSTATUS timeStatus = QueryControllerTime(TargetObject, ldIdString, timeText, sizeof(timeText));
    ObDereferenceObject(TargetObject);

    DsmAcquireLock(dsmContext, &oldIrql);
    if (!IsPdoEntryCurrent(dsmContext, pdoEntry, serial)) {
        DsmReleaseLock(dsmContext, oldIrql);
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmSetDeviceInfo: %s path %p was removed during its queries",
                 TA_STR(ldIdString), TA_PTR(pdoEntry));
        return STATUS_SUCCESS;
    }
    if (NT_SUCCESS(locationStatus)) {
        pdoEntry->ControllerPort = controllerPort;
        pdoEntry->ControllerNumber = controllerNumber;
    }
    if (NT_SUCCESS(timeStatus)) {
        DsmLogEvent(DsmIoObject, TARN_MSG_CONTROLLER_TIME, timeText, pdoEntry->PathIdString, NULL, 0);
    }
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmSetDeviceInfo: %s %s bound to %p; location %s, time %s", TA_STR(ldIdString),
             TA_STR(pdoEntry->PathIdString), TA_PTR(TargetObject), TA_STR(DsmStatusName(locationStatus)),
             TA_STR(DsmStatusName(timeStatus)));
    DsmReleaseLock(dsmContext, oldIrql);
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Whether a path may carry requests: TRUE for a healthy path and for one
    whose first verification succeeded, which becomes healthy now (and
    current, if its drive had none); a path whose first verification
    failed becomes FAILING.  Any IRQL up to DISPATCH_LEVEL.

--*/
BOOLEAN NTAPI DsmIsPathActive(PVOID DsmContext, PVOID PathId, PVOID DsmId)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    PPDO_ENTRY pdoEntry = (PPDO_ENTRY)DsmId;
    KIRQL oldIrql;

    UNREFERENCED_PARAMETER(PathId);

    DsmAcquireLock(dsmContext, &oldIrql);
    if (!IsPdoEntryValid(dsmContext, pdoEntry)) {
        DsmReleaseLock(dsmContext, oldIrql);
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmIsPathActive: unknown identifier %p", TA_PTR(pdoEntry));
        return FALSE;
    }
    ULONG state = pdoEntry->HealthState;
    BOOLEAN active = (BOOLEAN)(state == PDO_HEALTH_HEALTHY || state == PDO_HEALTH_INIT_PATHVERIFY_SUCCESS);
    if (state == PDO_HEALTH_INIT_PATHVERIFY_FAIL) {
        SetPathHealth(pdoEntry, state, PDO_HEALTH_FAILING);
    } else if (state == PDO_HEALTH_INIT_PATHVERIFY_SUCCESS) {
        SetPathHealth(pdoEntry, state, PDO_HEALTH_HEALTHY);
    }
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmIsPathActive: %s %s", TA_STR(pdoEntry->PathIdString),
             TA_STR(active ? "active" : "inactive"));
    DsmReleaseLock(dsmContext, oldIrql);
    return active;
}

/*++

Routine Description:

    Tests a path with TEST UNIT READY and moves it by the answer: a path
    just bound to its first verification's outcome, a failing or failed path
    that answers back to healthy, a healthy path that does not answer to
    FAILING.  The only way a path that failed comes back into use.
    PASSIVE_LEVEL; the commands are sent without the lock, and the path
    is looked up again before the outcome is applied.

Return Value:

    STATUS_SUCCESS if the path answered, STATUS_UNSUCCESSFUL if not (or
    it was removed meanwhile), STATUS_DEVICE_NOT_CONNECTED for an
    unknown identifier.

--*/
NTSTATUS NTAPI DsmPathVerify(PVOID DsmContext, PVOID DsmId, PVOID PathId)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    PPDO_ENTRY pdoEntry = (PPDO_ENTRY)DsmId;
    CHAR ldIdString[TARN_LD_ID_STRING_SIZE];
    KIRQL oldIrql;

    UNREFERENCED_PARAMETER(PathId);
    DSM_ASSERT_PASSIVE();
    if (DsmCalledRaised("DsmPathVerify")) {
        return STATUS_INVALID_DEVICE_STATE;
    }

    DsmAcquireLock(dsmContext, &oldIrql);
    if (!IsPdoEntryValid(dsmContext, pdoEntry)) {
        DsmReleaseLock(dsmContext, oldIrql);
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmPathVerify: unknown identifier %p", TA_PTR(pdoEntry));
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    ULONGLONG serial = pdoEntry->RecordSerial;
    PDEVICE_OBJECT target = DsmReferenceTarget(pdoEntry);
    ULONG timeout = dsmContext->TurTimeoutValue;
    ULONG retries = dsmContext->TurRetryCount;
    DsmCopyDriveLabel(pdoEntry->LdEntry, ldIdString);
    DsmReleaseLock(dsmContext, oldIrql);

    // A path that was never bound has nothing to test and fails.
    NTSTATUS testStatus = STATUS_DEVICE_NOT_CONNECTED;
    if (target != NULL) {
        testStatus = TestUnitReadyOnPath(target, retries, timeout, ldIdString);
        ObDereferenceObject(target);
    }

    DsmAcquireLock(dsmContext, &oldIrql);
    if (!IsPdoEntryCurrent(dsmContext, pdoEntry, serial)) {
        DsmReleaseLock(dsmContext, oldIrql);
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmPathVerify: %s path %p was removed during its test", TA_STR(ldIdString),
                 TA_PTR(pdoEntry));
        return STATUS_UNSUCCESSFUL;
    }
    ULONG state = pdoEntry->HealthState;
    NTSTATUS result;
    if (NT_SUCCESS(testStatus)) {
        if (state == PDO_HEALTH_INIT_SETDEVICEINFO) {
            SetPathHealth(pdoEntry, state, PDO_HEALTH_INIT_PATHVERIFY_SUCCESS);
        } else if (state == PDO_HEALTH_FAILING || state == PDO_HEALTH_FAILED) {
            SetPathHealth(pdoEntry, state, PDO_HEALTH_HEALTHY);
        }
        result = STATUS_SUCCESS;
    } else {
        if (state == PDO_HEALTH_INIT_SETDEVICEINFO) {
            SetPathHealth(pdoEntry, state, PDO_HEALTH_INIT_PATHVERIFY_FAIL);
        } else if (state == PDO_HEALTH_HEALTHY) {
            SetPathHealth(pdoEntry, state, PDO_HEALTH_FAILING);
        }
        result = STATUS_UNSUCCESSFUL;
    }
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmPathVerify: %s %s %s, now %s", TA_STR(ldIdString),
             TA_STR(pdoEntry->PathIdString), TA_STR(DsmStatusName(result)),
             TA_STR(DsmPathHealthName(pdoEntry->HealthState)));
    DsmReleaseLock(dsmContext, oldIrql);
    return result;
}

/*++

Routine Description:

    MPIO takes a failing path out of use: it becomes FAILED and the drive
    re-chooses.  Any IRQL up to DISPATCH_LEVEL.

Arguments:

    NewPathId - receives the drive's current path afterwards, or NULL.

Return Value:

    STATUS_SUCCESS with the drive's current path; STATUS_NO_SUCH_DEVICE
    when the drive has none or the identifier is unknown (then NewPathId
    is not written).

--*/
NTSTATUS NTAPI DsmInvalidatePath(PVOID DsmContext, ULONG ErrorMask, PVOID PathId, PVOID *NewPathId)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    PPDO_ENTRY pdoEntry = (PPDO_ENTRY)PathId;
    KIRQL oldIrql;

    UNREFERENCED_PARAMETER(ErrorMask);

    DsmAcquireLock(dsmContext, &oldIrql);
    if (!IsPdoEntryValid(dsmContext, pdoEntry)) {
        DsmReleaseLock(dsmContext, oldIrql);
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmInvalidatePath: unknown path %p", TA_PTR(pdoEntry));
        return STATUS_NO_SUCH_DEVICE;
    }
    SetPathHealth(pdoEntry, pdoEntry->HealthState, PDO_HEALTH_FAILED);
    PPDO_ENTRY current = pdoEntry->LdEntry->currentPath;
    *NewPathId = current;
    NTSTATUS status = current != NULL ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmInvalidatePath: %s invalidated; %s now uses %s", TA_STR(pdoEntry->PathIdString),
             TA_STR(pdoEntry->LdEntry->ldIdString), TA_STR(current != NULL ? current->PathIdString : "no path"));
    DsmReleaseLock(dsmContext, oldIrql);
    return status;
}

/*++

Routine Description:

    MPIO asks to move a device to another path.  The request is checked
    and acknowledged; the drive's current path stays as the policy chose
    it.  Any IRQL up to DISPATCH_LEVEL.

--*/
NTSTATUS NTAPI DsmMoveDevice(PVOID DsmContext, PDSM_IDS DsmIds, PVOID MPIOPath, PVOID SuggestedPath, ULONG Flags)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    KIRQL oldIrql;

    UNREFERENCED_PARAMETER(DsmIds);
    UNREFERENCED_PARAMETER(Flags);

    DsmAcquireLock(dsmContext, &oldIrql);
    if (!IsPdoEntryValid(dsmContext, (PPDO_ENTRY)MPIOPath) || !IsPdoEntryValid(dsmContext, (PPDO_ENTRY)SuggestedPath)) {
        DsmReleaseLock(dsmContext, oldIrql);
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmMoveDevice: unknown paths %p, %p", TA_PTR(MPIOPath), TA_PTR(SuggestedPath));
        return STATUS_UNSUCCESSFUL;
    }
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmMoveDevice: from %s to %s acknowledged", TA_STR(((PPDO_ENTRY)MPIOPath)->PathIdString),
             TA_STR(((PPDO_ENTRY)SuggestedPath)->PathIdString));
    DsmReleaseLock(dsmContext, oldIrql);
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    MPIO announces a path's removal: it is no longer chosen.  Any IRQL up
    to DISPATCH_LEVEL.

--*/
NTSTATUS NTAPI DsmRemovePending(PVOID DsmContext, PVOID DsmId)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    PPDO_ENTRY pdoEntry = (PPDO_ENTRY)DsmId;
    KIRQL oldIrql;

    DsmAcquireLock(dsmContext, &oldIrql);
    if (!IsPdoEntryValid(dsmContext, pdoEntry)) {
        DsmReleaseLock(dsmContext, oldIrql);
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmRemovePending: unknown identifier %p", TA_PTR(pdoEntry));
        return STATUS_NO_SUCH_DEVICE;
    }
    SetPathHealth(pdoEntry, pdoEntry->HealthState, PDO_HEALTH_PENDING_REMOVE);
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmRemovePending: %s", TA_STR(pdoEntry->PathIdString));
    DsmReleaseLock(dsmContext, oldIrql);
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Removes a path: its record is unlinked and released, and with the
    drive's last path the drive record too.  MPIO may remove a path that
    never had the pending notice, even the drive's current path, when the
    table refuses the move to REMOVED: the drive then re-chooses without
    it before it is released, so no request is routed to a freed record.
    Any IRQL up to DISPATCH_LEVEL.

--*/
NTSTATUS NTAPI DsmRemoveDevice(PVOID DsmContext, PVOID DsmId, PVOID PathId)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    PPDO_ENTRY pdoEntry = (PPDO_ENTRY)DsmId;
    CHAR ldIdString[TARN_LD_ID_STRING_SIZE];
    KIRQL oldIrql;

    UNREFERENCED_PARAMETER(PathId);

    DsmAcquireLock(dsmContext, &oldIrql);
    if (!IsPdoEntryValid(dsmContext, pdoEntry)) {
        DsmReleaseLock(dsmContext, oldIrql);
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmRemoveDevice: unknown identifier %p", TA_PTR(pdoEntry));
        return STATUS_NO_SUCH_DEVICE;
    }
    PLD_ENTRY ldEntry = pdoEntry->LdEntry;
    DsmCopyDriveLabel(ldEntry, ldIdString);
    SetPathHealth(pdoEntry, pdoEntry->HealthState, PDO_HEALTH_REMOVED);

    BOOLEAN wasCurrent = (BOOLEAN)(ldEntry->currentPath == pdoEntry);
    if (wasCurrent) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmRemoveDevice: %s current path %s removed without notice", TA_STR(ldIdString),
                 TA_STR(pdoEntry->PathIdString));
        ldEntry->currentPath = NULL;
    }

    DsmLogEvent(DsmIoObject, TARN_MSG_PATH_REMOVED, pdoEntry->PathIdString, ldEntry->SerialNumber, NULL, 0);
    RemovePdoEntry(dsmContext, ldEntry, pdoEntry);
    FreePdoEntry(pdoEntry);
    if (wasCurrent) {
        SelectCurrentPath(ldEntry);
    }

    if (ldEntry->NumberPaths == 0) {
        DsmLogEvent(DsmIoObject, TARN_MSG_LOGICAL_DRIVE_REMOVED, ldEntry->SerialNumber, NULL, NULL, 0);
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmRemoveDevice: %s last path removed; drive %s removed", TA_STR(ldIdString),
                 TA_STR(ldEntry->SerialNumber));
        RemoveLdEntry(dsmContext, ldEntry);
        FreeLdEntry(ldEntry);
    } else {
        DumpLdEntry(ldEntry);
    }
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmRemoveDevice: %s path %p removed", TA_STR(ldIdString), TA_PTR(DsmId));
    DsmReleaseLock(dsmContext, oldIrql);
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    MPIO removes the path object.  The path record is the path identifier
    and went with its device in DsmRemoveDevice: nothing is left to do,
    and a record still known here is traced as an error.

--*/
NTSTATUS NTAPI DsmRemovePath(PVOID DsmContext, PVOID PathId)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    KIRQL oldIrql;

    DsmAcquireLock(dsmContext, &oldIrql);
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmRemovePath: path %p", TA_PTR(PathId));
    if (IsPdoEntryValid(dsmContext, (PPDO_ENTRY)PathId)) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmRemovePath: path %s was not removed with its device",
                 TA_STR(((PPDO_ENTRY)PathId)->PathIdString));
    }
    DsmReleaseLock(dsmContext, oldIrql);
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    The path a request for the device PdoEntry goes down: its drive's
    current path.  Round robin first moves it on when the timeslice has
    run out.  Every call counts as a request in flight, also when it
    fails.  The identifier is checked here under the lock, whatever a
    caller found before; Slot is where that caller found it
    (DSM_PATH_NO_SLOT if it did not look), which makes the check one
    comparison while the record stays there.  Any IRQL up to
    DISPATCH_LEVEL; takes DsmLock.

--*/
static inline PPDO_ENTRY DsmGetRequestPath(PDSM_CONTEXT DsmContext, PPDO_ENTRY PdoEntry, ULONG Slot, NTSTATUS *Status)
{
    KIRQL oldIrql;

    DsmAcquireLock(DsmContext, &oldIrql);
    DsmRequestCounters.GetPathCalls++;
    DsmRequestCounters.OutstandingRequests++;

    PPDO_ENTRY chosen = NULL;
    PLD_ENTRY ldEntry = DsmLookupPath(DsmContext, PdoEntry, &Slot);
    if (ldEntry == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmLBGetPath: unknown identifier %p", TA_PTR(PdoEntry));
    } else {
        if ((ldEntry->LogicalDriveLbPolicy & TARN_LB_POLICY_STATIC_MASK) == 0 && ldEntry->currentPath != NULL &&
            TimesliceSwitchDue(DsmContext, ldEntry)) {
            SelectCurrentPath(ldEntry);
        }
        chosen = ldEntry->currentPath;
        if (chosen != NULL) {
            // Counted on the drive: the path record stays out of the cache.
            if (ldEntry->CountedPath != chosen) {
                DsmSettleRequestCount(ldEntry);
                ldEntry->CountedPath = chosen;
            }
            ldEntry->CountedRequests++;
        } else {
            DsmTrace(TRDSM_ERROR_LEVEL, "DsmLBGetPath: drive %s has no current path", TA_STR(ldEntry->SerialNumber));
        }
    }
    DsmReleaseLock(DsmContext, oldIrql);

    *Status = chosen != NULL ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
    return chosen;
}

/*++

Routine Description:

    The path a request of the drive goes down: the drive's current path
    (DsmGetRequestPath).

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
    PPDO_ENTRY pdoEntry = (DsmList != NULL && DsmList->Count != 0) ? (PPDO_ENTRY)DsmList->IdList[0] : NULL;

    UNREFERENCED_PARAMETER(Srb);
    UNREFERENCED_PARAMETER(CurrentPath);

    return DsmGetRequestPath((PDSM_CONTEXT)DsmContext, pdoEntry, DSM_PATH_NO_SLOT, Status);
}

//
// Error interpretation: a fixed, ordered list of rules; the first that
// matches decides.
//

// The result that takes the path out of use.
#define TARN_PATH_FAILURE_RESULT 0x80000000

typedef enum _DSM_ERROR_OUTCOME {
    DsmErrorNoRule,             // nothing recognised
    DsmErrorRetry,
    DsmErrorPathFailure,
    DsmErrorRequestOwn,         // recognised, and the request's own fault
} DSM_ERROR_OUTCOME;

// What one failed request shows, as read from its SRB.
typedef struct _DSM_ERROR_FACTS {
    NTSTATUS Status;
    UCHAR SrbStatus;            // the whole byte, flags included
    UCHAR Function;
    UCHAR OperationCode;
    BOOLEAN SenseValid;
    UCHAR SenseKey;
    UCHAR Asc;
    UCHAR Ascq;
} DSM_ERROR_FACTS, *PDSM_ERROR_FACTS;

static BOOLEAN DsmIsPathGoneStatus(NTSTATUS Status)
{
    return (BOOLEAN)(Status == STATUS_DEVICE_NOT_CONNECTED || Status == STATUS_DEVICE_DOES_NOT_EXIST ||
                     Status == STATUS_NO_SUCH_DEVICE);
}

// SRB statuses that say the request never reached the logical unit.
static BOOLEAN DsmIsUnreachedSrbStatus(UCHAR SrbStatus)
{
    switch (SrbStatus) {
    case SRB_STATUS_SELECTION_TIMEOUT:
    case SRB_STATUS_INVALID_LUN:
    case SRB_STATUS_INVALID_TARGET_ID:
    case SRB_STATUS_NO_DEVICE:
    case SRB_STATUS_NO_HBA:
    case SRB_STATUS_INVALID_PATH_ID:
        return TRUE;
    default:
        return FALSE;
    }
}

/*++

Routine Description:

    Applies the rules in order and returns the first match's outcome,
    tracing which rule it was.  Reads only the facts.

--*/
static DSM_ERROR_OUTCOME DsmJudgeError(const DSM_ERROR_FACTS *Facts)
{
    NTSTATUS status = Facts->Status;
    UCHAR srbStatus = Facts->SrbStatus;
    UCHAR opcode = Facts->OperationCode;
    PCSTR rule;
    DSM_ERROR_OUTCOME outcome;

    if (DsmIsPathGoneStatus(status)) {
        rule = "the device is gone";
        outcome = DsmErrorPathFailure;
    } else if (status == STATUS_IO_DEVICE_ERROR && Facts->SenseValid &&
               Facts->SenseKey == SCSI_SENSE_UNIT_ATTENTION) {
        rule = "unit attention";
        outcome = DsmErrorRetry;
    } else if (status == STATUS_IO_DEVICE_ERROR && srbStatus == SRB_STATUS_BUS_RESET) {
        rule = "bus reset";
        outcome = DsmErrorRetry;
    } else if (status == STATUS_BUFFER_OVERFLOW && (opcode == SCSIOP_READ || opcode == SCSIOP_WRITE)) {
        rule = "overflow on a read or write";
        outcome = DsmErrorRetry;
    } else if (DsmIsUnreachedSrbStatus(srbStatus)) {
        rule = "the logical unit was not reached";
        outcome = DsmErrorPathFailure;
    } else if (status == STATUS_IO_DEVICE_ERROR && srbStatus == (SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID) &&
               Facts->SenseKey == SCSI_SENSE_ILLEGAL_REQUEST && Facts->Asc == SCSI_ADSENSE_INVALID_LUN &&
               Facts->Ascq == 0) {
        rule = "logical unit not supported on this path";
        outcome = DsmErrorPathFailure;
    } else if (status == STATUS_IO_TIMEOUT &&
               (srbStatus == SRB_STATUS_TIMEOUT || srbStatus == SRB_STATUS_COMMAND_TIMEOUT)) {
        rule = "timeout";
        outcome = DsmErrorPathFailure;
    } else if (status == STATUS_IO_DEVICE_ERROR && srbStatus == SRB_STATUS_INVALID_REQUEST &&
               Facts->Function == SRB_FUNCTION_IO_CONTROL) {
        rule = "invalid I/O control request";
        outcome = DsmErrorRequestOwn;
    } else if (status == STATUS_BUFFER_OVERFLOW && srbStatus == SRB_STATUS_DATA_OVERRUN &&
               Facts->Function == SRB_FUNCTION_EXECUTE_SCSI && opcode == SCSIOP_MODE_SENSE) {
        rule = "MODE SENSE overrun";
        outcome = DsmErrorRequestOwn;
    } else {
        return DsmErrorNoRule;
    }
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmJudgeError: %s", TA_STR(rule));
    return outcome;
}

/*++

Routine Description:

    Judges a failed request: whether the path is at fault (it becomes
    FAILING, the drive fails over, and the failover is logged), whether
    the request should be retried, or neither.  The request's status is
    never changed.  Any IRQL up to DISPATCH_LEVEL.

Arguments:

    Status - the request's status; written back unchanged.
    Retry - receives whether MPIO should send the request again.

Return Value:

    0x80000000 when the path failed, otherwise 0.  For an unknown
    identifier 0, with Status and Retry not written.

--*/
ULONG NTAPI DsmInterpretError(PVOID DsmContext, PVOID DsmId, PSCSI_REQUEST_BLOCK Srb, NTSTATUS *Status,
                              PBOOLEAN Retry)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    PPDO_ENTRY pdoEntry = (PPDO_ENTRY)DsmId;
    NTSTATUS incoming = *Status;
    DSM_ERROR_FACTS facts;
    KIRQL oldIrql;

    RtlZeroMemory(&facts, sizeof(facts));
    facts.Status = incoming;
    if (Srb != NULL) {
        facts.SrbStatus = Srb->SrbStatus;
        facts.Function = Srb->Function;
        facts.OperationCode = Srb->Cdb[0];
        // Fixed-format sense: the key in byte 2, ASC and ASCQ in 12 and 13.
        const UCHAR *sense = (const UCHAR *)Srb->SenseInfoBuffer;
        if ((Srb->SrbStatus & SRB_STATUS_AUTOSENSE_VALID) != 0 && sense != NULL &&
            Srb->SenseInfoBufferLength > 13) {
            facts.SenseValid = TRUE;
            facts.SenseKey = sense[2] & 0x0F;
            facts.Asc = sense[12];
            facts.Ascq = sense[13];
        }
    }

    DsmAcquireLock(dsmContext, &oldIrql);
    DsmRequestCounters.InterpretErrorCalls++;
    if (!IsPdoEntryValid(dsmContext, pdoEntry)) {
        DsmReleaseLock(dsmContext, oldIrql);
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmInterpretError: unknown identifier %p", TA_PTR(pdoEntry));
        return 0;
    }
    PLD_ENTRY ldEntry = pdoEntry->LdEntry;
    DsmTrace(TRDSM_TRACE_LEVEL,
             "DsmInterpretError: %s %s status %s, SRB status %s, function %s, SCSI status 0x%02X, "
             "CDB %02X %02X %02X %02X %02X %02X",
             TA_STR(ldEntry->ldIdString), TA_STR(pdoEntry->PathIdString), TA_STR(DsmStatusName(incoming)),
             TA_STR(DsmSrbStatusName(facts.SrbStatus)), TA_STR(DsmSrbFunctionName(facts.Function)),
             TA_UCHAR(Srb != NULL ? Srb->ScsiStatus : 0), TA_UCHAR(Srb != NULL ? Srb->Cdb[0] : 0),
             TA_UCHAR(Srb != NULL ? Srb->Cdb[1] : 0), TA_UCHAR(Srb != NULL ? Srb->Cdb[2] : 0),
             TA_UCHAR(Srb != NULL ? Srb->Cdb[3] : 0), TA_UCHAR(Srb != NULL ? Srb->Cdb[4] : 0),
             TA_UCHAR(Srb != NULL ? Srb->Cdb[5] : 0));
    if (facts.SenseValid) {
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmInterpretError: sense %X/%02X/%02X", TA_UCHAR(facts.SenseKey),
                 TA_UCHAR(facts.Asc), TA_UCHAR(facts.Ascq));
    }

    DSM_ERROR_OUTCOME outcome = DsmJudgeError(&facts);
    BOOLEAN retry = (BOOLEAN)(outcome == DsmErrorRetry);
    ULONG result = 0;
    if (outcome == DsmErrorPathFailure) {
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmInterpretError: %s path failure on %s", TA_STR(ldEntry->ldIdString),
                 TA_STR(pdoEntry->PathIdString));
        SetPathHealth(pdoEntry, pdoEntry->HealthState, PDO_HEALTH_FAILING);
        DsmLogFailover(ldEntry);
        result = TARN_PATH_FAILURE_RESULT;
    }
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmInterpretError: %s status %s, rule matched %u, retry %u, path failure %u, 0x%08X",
             TA_STR(pdoEntry->PathIdString), TA_STR(DsmStatusName(incoming)),
             TA_UCHAR(outcome != DsmErrorNoRule), TA_UCHAR(retry), TA_UCHAR(outcome == DsmErrorPathFailure),
             TA_ULONG(result));
    DsmReleaseLock(dsmContext, oldIrql);

    *Status = incoming;
    *Retry = retry;
    return result;
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

    // The clock is read first: the zeroing is then seen to be overwritten
    // whole and costs nothing.
    KeQueryTickCount(&ticks);
    RtlZeroMemory(record, sizeof(COMPLETION_RECORD));
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
    ULONG slot = DSM_PATH_NO_SLOT;
    UNREFERENCED_PARAMETER(CurrentPath);

    DsmAcquireLock(dsmContext, &oldIrql);
    BOOLEAN known = DsmLookupPath(dsmContext, pdoEntry, &slot) != NULL;
    DsmReleaseLock(dsmContext, oldIrql);
    if (!known) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmCategorizeRequest: unknown identifier %p", TA_PTR(pdoEntry));
        return DSM_CATEGORY_NO_PATH;
    }

    DSM_REQUEST_KIND kind = DsmClassifyRequest(Irp, Srb, &value);
    if (kind == DsmRequestReservation) {
        return DSM_CATEGORY_CARRIED_OUT_BY_DSM;
    }
    if (kind == DsmRequestVendorWriteBuffer) {
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmCategorizeRequest: vendor WRITE BUFFER 0x%X routed as usual", TA_ULONG(value));
    }

    // DsmLBGetPath's work, with the slot found above: the lock was
    // dropped in between, so the identifier is checked again there.
    NTSTATUS status = STATUS_SUCCESS;
    PVOID path = DsmGetRequestPath(dsmContext, pdoEntry, slot, &status);
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
    start, at DISPATCH_LEVEL.  It holds DsmLock for its whole run and
    counts its runs: once a second it fails drives back to their
    preferred paths; once a minute (the first run included) it traces the
    request statistics and queues location queries for paths whose place
    on the array is not known.  On nine runs out of ten it does nothing
    but count.

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
    if (tick % TARN_TIMER_RUNS_PER_SECOND == 0) {
        FailbackPass(dsmContext);
    }
    if (tick % TARN_TIMER_RUNS_PER_MINUTE == 0) {
        DsmTrace(TRDSM_TRACE_LEVEL,
                 "DsmTimerRoutine: context %p, GetPath %I64u, SetCompletion %I64u, Completion %I64u, "
                 "InterpretError %I64u, outstanding %I64d",
                 TA_PTR(dsmContext), TA_ULONGLONG(DsmRequestCounters.GetPathCalls),
                 TA_ULONGLONG(DsmRequestCounters.SetCompletionCalls),
                 TA_ULONGLONG(DsmRequestCounters.CompletionCalls),
                 TA_ULONGLONG(DsmRequestCounters.InterpretErrorCalls),
                 TA_ULONGLONG(DsmRequestCounters.OutstandingRequests));
        for (PLIST_ENTRY link = dsmContext->PathRecordList.Flink; link != &dsmContext->PathRecordList;
             link = link->Flink) {
            ASSERT(link != NULL);
            PPDO_ENTRY pdoEntry = CONTAINING_RECORD(link, PDO_ENTRY, DsmLink);
            DsmTrace(TRDSM_TRACE_LEVEL, "DsmTimerRoutine: %s carried %I64u requests", TA_STR(pdoEntry->PathIdString),
                     TA_ULONGLONG(DsmPathRequestCount(pdoEntry)));
        }
        QueueLocationQueries(dsmContext);
    }
    dsmContext->TickCount = tick + 1;

    DsmReleaseLock(dsmContext, oldIrql);
}
