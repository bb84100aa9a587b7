/*++

Module Name:

    tarnwmi.cpp

Abstract:

    Management through WMI.  The DSM does not register with WMI itself:
    it fills the WMI library context inside its MPIO registration record,
    MPIO registers the data blocks and forwards each request for one of
    its multipath devices, with that device's identifiers, to the
    callbacks here.  The blocks' GUIDs and layouts come from the
    management classes (resources/tarnwmi.mof) through a generated
    header; the checks below fail the build if the classes and the bytes
    written here part ways.

    Every input is the caller's: sizes are checked before a byte is read
    or written, and a block never goes past the buffer it is given.

Environment:

    Kernel mode.  The query callback runs at any IRQL up to
    DISPATCH_LEVEL; the method callback at PASSIVE_LEVEL (it writes the
    registry).

--*/

#include "tarn.h"
#include "tarnwmi.h"

TARN_TRACE_MODULE_GUID(0x2E8B4D17, 0x5C3A, 0x4F60, 0x9D, 0x21, 0x84, 0x6A, 0x0F, 0xB3, 0xC5, 0x72);

// The texts must be equal, character for character, at compile time.
static constexpr bool DsmSameText(const char *A, const char *B)
{
    return *A == *B && (*A == '\0' || DsmSameText(A + 1, B + 1));
}

static_assert(DsmSameText(TARN_CONFIG_INFO_LAYOUT, "1 uint32 PathSelectionPolicy"),
              "the configuration block the driver writes differs from TARN_CONFIG_INFO");
static_assert(DsmSameText(TARN_LD_INFO4_LAYOUT,
                          "1 uint32 NumberPaths; 2 uint32 ReservationsInUse; 3 uint32 PathSelectionPolicy; "
                          "4 uint32 ReservedForFuture; 5 string(63) CompanyName; 6 TARN_PATH_INFO Paths[NumberPaths]"),
              "the drive block the driver writes differs from TARN_LD_INFO4");
static_assert(DsmSameText(TARN_PATH_INFO_LAYOUT,
                          "1 uint32 PreferredPath; 2 uint32 ActivePath; 3 uint8 ControllerNumber; "
                          "4 uint8 ControllerPort; 5 uint16 Reserved1; 6 uint32 Reserved; 7 uint64 PathIdentifier; "
                          "8 string(63) PathHealth"),
              "the path record the driver writes differs from TARN_PATH_INFO");
static_assert(DsmSameText(TARN_METHODS_METHODS,
                          "1 SetPathSelectionPolicy(uint32 PathSelectionPolicy); 2 SetPreferredPath(uint8 PortNumber, "
                          "uint8 ScsiPathId, uint8 TargetId, uint8 Lun); 3 SetPathSelectionPolicyForSingleLd(uint32 "
                          "PathSelectionPolicy, string SerialNumber)"),
              "the methods the driver carries out differ from TARN_METHODS");

//
// The registered blocks.  The row index is the GUID index MPIO passes
// back; the last three rows have no class and answer "not found".
//
#define TARN_WMI_CONFIG_INDEX 0
#define TARN_WMI_DRIVE_INDEX 1
#define TARN_WMI_METHODS_INDEX 2
#define TARN_WMI_GUID_COUNT 6

static const GUID DsmConfigInfoGuid = TARN_CONFIG_INFO_GUID;
static const GUID DsmDriveInfoGuid = TARN_LD_INFO4_GUID;
static const GUID DsmMethodsGuid = TARN_METHODS_GUID;
static const GUID DsmSpareGuid3 = {0xC944053C, 0xC90F, 0x4012, {0xB7, 0x75, 0x1F, 0x1A, 0x26, 0x1D, 0x4B, 0xE4}};
static const GUID DsmSpareGuid4 = {0x20A4663B, 0xBF54, 0x4738, {0xB4, 0x03, 0x0C, 0xFC, 0x71, 0xEC, 0xFC, 0x90}};
static const GUID DsmSpareGuid5 = {0xFFCF3F4E, 0xBAB6, 0x455C, {0xBA, 0x99, 0xD6, 0x0C, 0xFB, 0xC5, 0x88, 0x7D}};

static WMIGUIDREGINFO DsmWmiGuids[TARN_WMI_GUID_COUNT] = {
    {&DsmConfigInfoGuid, 1, 0}, {&DsmDriveInfoGuid, 1, 0}, {&DsmMethodsGuid, 1, 0},
    {&DsmSpareGuid3, 1, 0},     {&DsmSpareGuid4, 1, 0},    {&DsmSpareGuid5, 1, 0},
};

static const WCHAR DsmMofResourceName[] = TARN_WIDE("MofResourceName");

//
// The drive block.  WMI strings are a 16-bit byte count and UTF-16
// characters without a NUL; here the count includes zero padding that
// brings the item after the string to an 8-byte boundary.
//
#define TARN_WMI_MAX_STRING_CHARS 63
#define TARN_WMI_DRIVE_HEADER 16            // four 32-bit words before the company name
#define TARN_WMI_PATH_FIXED 24              // the path record before its health text
#define TARN_WMI_RESERVED1 0xFEED
#define TARN_WMI_RESERVED 0x9A8B7C6D
// What the request's identifiers buy: the first 296 bytes, every further
// one 152.
#define TARN_WMI_FIRST_ALLOWANCE 296
#define TARN_WMI_MORE_ALLOWANCE 152

#define TARN_COMPANY_NAME "Kestrom"

// Bytes a string item takes: the count, the text (cut to 63 characters)
// and the padding, which is never empty.
static ULONG DsmWmiStringSize(PCSTR Text)
{
    ULONG length = 2 * (ULONG)strlen(Text);
    if (length > 2 * TARN_WMI_MAX_STRING_CHARS) {
        length = 2 * TARN_WMI_MAX_STRING_CHARS;
    }
    ULONG padding = 8 - ((length + 2) % 8);
    return 2 + length + padding;
}

// Writes a string item at Offset (the buffer is zeroed and large enough);
// returns the offset after it.
static ULONG DsmWmiPutString(PUCHAR Buffer, ULONG Offset, PCSTR Text)
{
    ULONG size = DsmWmiStringSize(Text);
    USHORT count = (USHORT)(size - 2);
    RtlCopyMemory(Buffer + Offset, &count, sizeof(count));
    PUCHAR characters = Buffer + Offset + 2;
    for (ULONG i = 0; Text[i] != '\0' && i < TARN_WMI_MAX_STRING_CHARS; i++) {
        characters[2 * i] = (UCHAR)Text[i];
        characters[2 * i + 1] = 0;
    }
    return Offset + size;
}

static VOID DsmWmiPutUlong(PUCHAR Buffer, ULONG Offset, ULONG Value)
{
    RtlCopyMemory(Buffer + Offset, &Value, sizeof(Value));
}

static PCSTR DsmWmiHealthText(ULONG HealthState)
{
    if (HealthState <= PDO_HEALTH_INIT_PATHVERIFY_SUCCESS) {
        return "Initializing";
    }
    return HealthState == PDO_HEALTH_HEALTHY ? "Healthy" : "Failed";
}

static BOOLEAN DsmIsPreferredPath(PLD_ENTRY LdEntry, PPDO_ENTRY PdoEntry)
{
    const SCSI_ADDRESS *address = PdoEntry->ScsiAddress;
    const SCSI_ADDRESS *preferred = &LdEntry->PreferredPathAddress;
    return (BOOLEAN)(address->PortNumber == preferred->PortNumber && address->PathId == preferred->PathId &&
                     address->TargetId == preferred->TargetId && address->Lun == preferred->Lun);
}

// The bytes the drive's block really takes.  Caller holds DsmLock.
static ULONG DsmDriveBlockSize(PLD_ENTRY LdEntry)
{
    DSM_ASSERT_LOCK_HELD(LdEntry->DsmContext);
    ULONG size = TARN_WMI_DRIVE_HEADER + DsmWmiStringSize(TARN_COMPANY_NAME);
    for (PLIST_ENTRY link = LdEntry->PathList.Flink; link != &LdEntry->PathList; link = link->Flink) {
        ASSERT(link != NULL);
        PPDO_ENTRY pdoEntry = CONTAINING_RECORD(link, PDO_ENTRY, LdLink);
        size += TARN_WMI_PATH_FIXED + DsmWmiStringSize(DsmWmiHealthText(pdoEntry->HealthState));
    }
    return size;
}

// Writes the drive's block into a zeroed buffer that holds at least
// DsmDriveBlockSize bytes.  Caller holds DsmLock.
static VOID DsmWriteDriveBlock(PLD_ENTRY LdEntry, PUCHAR Buffer)
{
    DSM_ASSERT_LOCK_HELD(LdEntry->DsmContext);
    DsmWmiPutUlong(Buffer, 0, LdEntry->NumberPaths);
    DsmWmiPutUlong(Buffer, 4, LdEntry->ReservationsInUse ? 1 : 0);
    DsmWmiPutUlong(Buffer, 8, LdEntry->LogicalDriveLbPolicy);
    DsmWmiPutUlong(Buffer, 12, 0);
    ULONG offset = DsmWmiPutString(Buffer, TARN_WMI_DRIVE_HEADER, TARN_COMPANY_NAME);

    for (PLIST_ENTRY link = LdEntry->PathList.Flink; link != &LdEntry->PathList; link = link->Flink) {
        ASSERT(link != NULL);
        PPDO_ENTRY pdoEntry = CONTAINING_RECORD(link, PDO_ENTRY, LdLink);
        ASSERT((offset % 8) == 0);
        USHORT reserved1 = TARN_WMI_RESERVED1;
        // The identifier MPIO knows, widened as a signed address is.
        ULONGLONG identifier = (ULONGLONG)(LONGLONG)(LONG_PTR)pdoEntry;

        DsmWmiPutUlong(Buffer, offset, DsmIsPreferredPath(LdEntry, pdoEntry) ? 1 : 0);
        DsmWmiPutUlong(Buffer, offset + 4, pdoEntry == LdEntry->currentPath ? 1 : 0);
        Buffer[offset + 8] = pdoEntry->ControllerNumber;
        Buffer[offset + 9] = pdoEntry->ControllerPort;
        RtlCopyMemory(Buffer + offset + 10, &reserved1, sizeof(reserved1));
        DsmWmiPutUlong(Buffer, offset + 12, TARN_WMI_RESERVED);
        RtlCopyMemory(Buffer + offset + 16, &identifier, sizeof(identifier));
        offset = DsmWmiPutString(Buffer, offset + TARN_WMI_PATH_FIXED, DsmWmiHealthText(pdoEntry->HealthState));
    }
}

/*++

Routine Description:

    The drive block of the multipath device the identifiers name.  The
    size asked for is what the identifiers buy (296 bytes, 152 more for
    every further one) or, when the drive has more or longer path records
    than that covers, what the block really takes: the answer always
    fits the buffer it is written into.

--*/
static NTSTATUS DsmQueryDriveBlock(PDSM_CONTEXT DsmContext, PDSM_IDS DsmIds, PULONG InstanceLengthArray,
                                   ULONG BufferAvail, PUCHAR Buffer, PULONG DataLength)
{
    ULONG count = DsmIds != NULL ? DsmIds->Count : 0;
    ULONG needed = TARN_WMI_FIRST_ALLOWANCE;
    if (count > 1) {
        // So many identifiers buy more than a ULONG can say: the most it can.
        ULONG more = count - 1;
        needed = more > (0xFFFFFFFFu - TARN_WMI_FIRST_ALLOWANCE) / TARN_WMI_MORE_ALLOWANCE
                     ? 0xFFFFFFFFu
                     : TARN_WMI_FIRST_ALLOWANCE + TARN_WMI_MORE_ALLOWANCE * more;
    }
    *DataLength = needed;
    if (BufferAvail < needed) {
        return STATUS_BUFFER_TOO_SMALL;
    }

    // The caller's buffer can be large: clear what the answer covers
    // before taking the lock, so the lock is held only for the block.
    RtlZeroMemory(Buffer, needed);
    KIRQL oldIrql;
    DsmAcquireLock(DsmContext, &oldIrql);
    PPDO_ENTRY pdoEntry = count != 0 ? (PPDO_ENTRY)DsmIds->IdList[0] : NULL;
    if (!IsPdoEntryValid(DsmContext, pdoEntry)) {
        DsmReleaseLock(DsmContext, oldIrql);
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmQueryDriveBlock: unknown identifier %p", TA_PTR(pdoEntry));
        return STATUS_UNSUCCESSFUL;
    }
    PLD_ENTRY ldEntry = pdoEntry->LdEntry;
    ULONG actual = DsmDriveBlockSize(ldEntry);
    if (actual > needed) {
        // More paths, or longer records, than the identifiers pay for.
        *DataLength = actual;
        if (actual > BufferAvail) {
            DsmReleaseLock(DsmContext, oldIrql);
            DsmTrace(TRDSM_WARNING_LEVEL, "DsmQueryDriveBlock: block of %u bytes, %u given", TA_ULONG(actual),
                     TA_ULONG(BufferAvail));
            return STATUS_BUFFER_TOO_SMALL;
        }
        RtlZeroMemory(Buffer + needed, actual - needed);
        needed = actual;
    }
    InstanceLengthArray[0] = needed;
    DsmWriteDriveBlock(ldEntry, Buffer);
    DsmReleaseLock(DsmContext, oldIrql);
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    MPIO's query of one data block for one multipath device.  Any IRQL up
    to DISPATCH_LEVEL.

Arguments:

    GuidIndex - the row of the GUID table.
    InstanceLengthArray - receives the block's length.
    BufferAvail, Buffer - the output buffer.
    DataLength - receives the bytes the block needs, also when the buffer
        is too small.

--*/
static NTSTATUS NTAPI DsmQueryWmiDataBlock(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp, ULONG GuidIndex,
                                           ULONG InstanceIndex, ULONG InstanceCount, PULONG InstanceLengthArray,
                                           ULONG BufferAvail, PUCHAR Buffer, PULONG DataLength)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;
    KIRQL oldIrql;

    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(InstanceIndex);

    // Each request is for the one instance of one multipath device; with
    // no instance asked for there is no length to write.
    if (InstanceCount == 0 || InstanceLengthArray == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmQueryWmiDataBlock: %u instances asked of block %u", TA_ULONG(InstanceCount),
                 TA_ULONG(GuidIndex));
        *DataLength = 0;
        return STATUS_INVALID_PARAMETER;
    }
    switch (GuidIndex) {
    case TARN_WMI_CONFIG_INDEX:
        *DataLength = sizeof(ULONG);
        if (BufferAvail < sizeof(ULONG)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        InstanceLengthArray[0] = sizeof(ULONG);
        RtlZeroMemory(Buffer, sizeof(ULONG));
        DsmAcquireLock(dsmContext, &oldIrql);
        DsmWmiPutUlong(Buffer, 0, dsmContext->PathSelectionPolicy);
        DsmReleaseLock(dsmContext, oldIrql);
        return STATUS_SUCCESS;
    case TARN_WMI_DRIVE_INDEX:
        return DsmQueryDriveBlock(dsmContext, DsmIds, InstanceLengthArray, BufferAvail, Buffer, DataLength);
    case TARN_WMI_METHODS_INDEX:
        *DataLength = 0;
        InstanceLengthArray[0] = 0;
        return STATUS_SUCCESS;
    default:
        if (GuidIndex >= TARN_WMI_GUID_COUNT) {
            DsmTrace(TRDSM_ERROR_LEVEL, "DsmQueryWmiDataBlock: no GUID index %u", TA_ULONG(GuidIndex));
        }
        *DataLength = 0;
        return STATUS_WMI_GUID_NOT_FOUND;
    }
}

// No block can be set.
static NTSTATUS NTAPI DsmSetWmiDataBlock(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp, ULONG GuidIndex,
                                         ULONG InstanceIndex, ULONG BufferSize, PUCHAR Buffer)
{
    UNREFERENCED_PARAMETER(DsmContext);
    UNREFERENCED_PARAMETER(DsmIds);
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(InstanceIndex);
    UNREFERENCED_PARAMETER(BufferSize);
    UNREFERENCED_PARAMETER(Buffer);
    DsmTrace(TRDSM_WARNING_LEVEL, "DsmSetWmiDataBlock: block %u cannot be set", TA_ULONG(GuidIndex));
    return STATUS_UNSUCCESSFUL;
}

//
// The methods.
//
#define TARN_WMI_METHOD_SET_POLICY 1
#define TARN_WMI_METHOD_SET_PREFERRED_PATH 2
#define TARN_WMI_METHOD_SET_DRIVE_POLICY 3

// SetPathSelectionPolicyForSingleLd: the policy, a 16-bit byte count and
// room for 16 UTF-16 characters.
#define TARN_WMI_SERIAL_OFFSET 6u
#define TARN_WMI_MAX_METHOD_SERIAL_CHARS 16
#define TARN_WMI_DRIVE_POLICY_INPUT (TARN_WMI_SERIAL_OFFSET + 2 * TARN_WMI_MAX_METHOD_SERIAL_CHARS)

// The default policy is only traced: it is the configuration's, read at start.
static NTSTATUS DsmSetPathSelectionPolicy(ULONG InBufferSize, PUCHAR Buffer)
{
    ULONG policy;
    if (InBufferSize < sizeof(ULONG)) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(&policy, Buffer, sizeof(policy));
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmSetPathSelectionPolicy: 0x%X asked for; the default stays", TA_ULONG(policy));
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Makes the path at an address the preferred path of its drive (every
    path at that address, should there be several), logs it, and stores
    it with the drive's settings.  The current path stays: failback moves
    a failback drive's I/O within a second.

--*/
static NTSTATUS DsmSetPreferredPath(PDSM_CONTEXT DsmContext, ULONG InBufferSize, PUCHAR Buffer)
{
    CHAR serialNumber[TARN_MAX_SERIAL_CHARS + 1];
    SCSI_ADDRESS address;
    BOOLEAN matched = FALSE;
    KIRQL oldIrql;

    if (InBufferSize < 4) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(&address, sizeof(address));
    address.Length = sizeof(SCSI_ADDRESS);
    address.PortNumber = Buffer[0];
    address.PathId = Buffer[1];
    address.TargetId = Buffer[2];
    address.Lun = Buffer[3];
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmSetPreferredPath: %x:%x:%x:%x", TA_UCHAR(address.PortNumber),
             TA_UCHAR(address.PathId), TA_UCHAR(address.TargetId), TA_UCHAR(address.Lun));

    DsmAcquireLock(DsmContext, &oldIrql);
    for (PLIST_ENTRY link = DsmContext->PathRecordList.Flink; link != &DsmContext->PathRecordList;
         link = link->Flink) {
        ASSERT(link != NULL);
        PPDO_ENTRY pdoEntry = CONTAINING_RECORD(link, PDO_ENTRY, DsmLink);
        const SCSI_ADDRESS *path = pdoEntry->ScsiAddress;
        if (path->PortNumber != address.PortNumber || path->PathId != address.PathId ||
            path->TargetId != address.TargetId || path->Lun != address.Lun) {
            continue;
        }
        PLD_ENTRY ldEntry = pdoEntry->LdEntry;
        RtlCopyMemory(&ldEntry->PreferredPathAddress, &address, sizeof(SCSI_ADDRESS));
        ASSERT(ldEntry->SerialNumberLength <= TARN_MAX_SERIAL_CHARS);
        RtlCopyMemory(serialNumber, ldEntry->SerialNumber, ldEntry->SerialNumberLength + 1);
        DsmLogEvent(DsmIoObject, TARN_MSG_PREFERRED_PATH_SET, pdoEntry->PathIdString, ldEntry->SerialNumber, NULL, 0);
        matched = TRUE;
    }
    DsmReleaseLock(DsmContext, oldIrql);

    if (matched) {
        NTSTATUS status = DsmWritePreferredPath(DsmContext, serialNumber, &address);
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmSetPreferredPath: stored for %s, %s", TA_STR(serialNumber),
                 TA_STR(DsmStatusName(status)));
    }
    return STATUS_SUCCESS;
}

// Whether a character can be in a serial number (upper-case hexadecimal).
static BOOLEAN DsmIsSerialCharacter(WCHAR Character)
{
    return (BOOLEAN)((Character >= L'0' && Character <= L'9') || (Character >= L'A' && Character <= L'F'));
}

/*++

Routine Description:

    Sets one drive's policy, named by its serial number, and stores it
    with the drive's settings.  A code that is not a policy is refused and
    not stored: stored, it would replace the drive's valid setting with
    one its next claim ignores, so a refused call would change the drive's
    policy after a restart.

Return Value:

    STATUS_SUCCESS (also when no drive has the serial number),
    STATUS_UNSUCCESSFUL for a code that is not a policy,
    STATUS_INVALID_PARAMETER for an input that does not hold what it
    announces, STATUS_INSUFFICIENT_RESOURCES.

--*/
static NTSTATUS DsmSetDrivePolicy(PDSM_CONTEXT DsmContext, ULONG InBufferSize, PUCHAR Buffer)
{
    ULONG policy;
    USHORT serialBytes;
    KIRQL oldIrql;

    if (InBufferSize < TARN_WMI_DRIVE_POLICY_INPUT) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmSetDrivePolicy: input of %u bytes, at least %u needed",
                 TA_ULONG(InBufferSize), TA_ULONG(TARN_WMI_DRIVE_POLICY_INPUT));
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(&policy, Buffer, sizeof(policy));
    RtlCopyMemory(&serialBytes, Buffer + sizeof(ULONG), sizeof(serialBytes));
    ULONG characters = serialBytes / 2u;
    if (characters > TARN_WMI_MAX_METHOD_SERIAL_CHARS || TARN_WMI_SERIAL_OFFSET + (ULONG)serialBytes > InBufferSize) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmSetDrivePolicy: serial number of %u bytes refused", TA_ULONG(serialBytes));
        return STATUS_INVALID_PARAMETER;
    }
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmSetDrivePolicy: policy 0x%X", TA_ULONG(policy));

    PCHAR serialNumber = (PCHAR)DsmAllocatePool(NonPagedPool, characters + 1);
    if (serialNumber == NULL) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmSetDrivePolicy: no memory for the serial number");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // A serial number is upper-case hexadecimal.  Anything else, a NUL
    // before the stated end included, names no drive: narrowed, it could
    // name another one.
    for (ULONG i = 0; i < characters; i++) {
        WCHAR character;
        RtlCopyMemory(&character, Buffer + TARN_WMI_SERIAL_OFFSET + 2 * i, sizeof(character));
        if (!DsmIsSerialCharacter(character)) {
            DsmTrace(TRDSM_ERROR_LEVEL, "DsmSetDrivePolicy: character 0x%X at %u cannot be in a serial number",
                     TA_ULONG(character), TA_ULONG(i));
            DsmFreePool(serialNumber);
            return STATUS_INVALID_PARAMETER;
        }
        serialNumber[i] = (CHAR)character;
    }

    BOOLEAN valid = DsmIsValidPolicy(policy);
    DsmAcquireLock(DsmContext, &oldIrql);
    PLD_ENTRY ldEntry = FindLdEntry(DsmContext, serialNumber);
    if (ldEntry != NULL && valid) {
        ldEntry->LogicalDriveLbPolicy = policy;
    }
    DsmReleaseLock(DsmContext, oldIrql);

    NTSTATUS result = STATUS_SUCCESS;
    if (ldEntry != NULL && !valid) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmSetDrivePolicy: %s keeps its policy; 0x%X is none", TA_STR(serialNumber),
                 TA_ULONG(policy));
        result = STATUS_UNSUCCESSFUL;
    } else if (ldEntry != NULL) {
        NTSTATUS status = DsmWriteDrivePolicy(DsmContext, serialNumber, policy);
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmSetDrivePolicy: %s now 0x%X, stored %s", TA_STR(serialNumber),
                 TA_ULONG(policy), TA_STR(DsmStatusName(status)));
    } else {
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmSetDrivePolicy: no drive %s", TA_STR(serialNumber));
    }
    DsmFreePool(serialNumber);
    return result;
}

/*++

Routine Description:

    MPIO's method call on the methods block.  No method writes output.
    PASSIVE_LEVEL.

--*/
static NTSTATUS NTAPI DsmExecuteWmiMethod(PVOID DsmContext, PDSM_IDS DsmIds, PIRP Irp, ULONG GuidIndex,
                                          ULONG InstanceIndex, ULONG MethodId, ULONG InBufferSize,
                                          PULONG OutBufferSize, PUCHAR Buffer)
{
    PDSM_CONTEXT dsmContext = (PDSM_CONTEXT)DsmContext;

    UNREFERENCED_PARAMETER(DsmIds);
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(InstanceIndex);
    DSM_ASSERT_PASSIVE();

    // No method has output.  Left as it came, the size would make MPIO
    // return the caller's own input as the method's output.
    if (OutBufferSize != NULL) {
        *OutBufferSize = 0;
    }

    if (GuidIndex != TARN_WMI_METHODS_INDEX) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmExecuteWmiMethod: block %u has no methods", TA_ULONG(GuidIndex));
        return STATUS_WMI_ITEMID_NOT_FOUND;
    }
    if (Buffer == NULL) {
        InBufferSize = 0;
    }
    switch (MethodId) {
    case TARN_WMI_METHOD_SET_POLICY:
        return DsmSetPathSelectionPolicy(InBufferSize, Buffer);
    case TARN_WMI_METHOD_SET_PREFERRED_PATH:
        return DsmSetPreferredPath(dsmContext, InBufferSize, Buffer);
    case TARN_WMI_METHOD_SET_DRIVE_POLICY:
        return DsmSetDrivePolicy(dsmContext, InBufferSize, Buffer);
    default:
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmExecuteWmiMethod: no method %u", TA_ULONG(MethodId));
        return STATUS_INVALID_PARAMETER;
    }
}

/*++

Routine Description:

    Fills the WMI block of the registration record: the GUID table, a
    copy of the service's registry path (pool tag "Ddk "), the MOF
    resource's name and the callbacks.  Without memory for the copy the
    registry path stays empty, so nothing reads a buffer that is not
    there; MPIO then registers the blocks without it.  PASSIVE_LEVEL.

--*/
VOID InitializeWmiContext(PDSM_WMILIB_CONTEXT WmiContext, PCUNICODE_STRING RegistryPath)
{
    DSM_ASSERT_PASSIVE();
    RtlZeroMemory(WmiContext, sizeof(DSM_WMILIB_CONTEXT));
    WmiContext->GuidCount = TARN_WMI_GUID_COUNT;
    WmiContext->GuidList = DsmWmiGuids;

    USHORT maximum = RegistryPath->MaximumLength;
    PWCHAR copy = maximum != 0 ? (PWCHAR)ExAllocatePoolWithTag(NonPagedPool, maximum, TARN_DDK_TAG) : NULL;
    if (copy != NULL) {
        RtlZeroMemory(copy, maximum);
        RtlCopyMemory(copy, RegistryPath->Buffer, RegistryPath->Length);
        WmiContext->RegistryPath.Buffer = copy;
        WmiContext->RegistryPath.Length = RegistryPath->Length;
        WmiContext->RegistryPath.MaximumLength = maximum;
    } else {
        DsmTrace(TRDSM_ERROR_LEVEL, "InitializeWmiContext: no memory for the registry path");
    }

    WmiContext->MofResourceName.Buffer = (PWCHAR)DsmMofResourceName;
    WmiContext->MofResourceName.Length = (USHORT)(sizeof(DsmMofResourceName) - sizeof(WCHAR));
    WmiContext->MofResourceName.MaximumLength = (USHORT)sizeof(DsmMofResourceName);
    WmiContext->QueryWmiDataBlock = DsmQueryWmiDataBlock;
    WmiContext->SetWmiDataBlock = DsmSetWmiDataBlock;
    WmiContext->ExecuteWmiMethod = DsmExecuteWmiMethod;
    WmiContext->WmiFunctionControl = NULL;
}

// Releases what InitializeWmiContext allocated (a failed start).
VOID DsmFreeWmiContext(PDSM_WMILIB_CONTEXT WmiContext)
{
    if (WmiContext->RegistryPath.Buffer != NULL) {
        ExFreePoolWithTag(WmiContext->RegistryPath.Buffer, TARN_DDK_TAG);
    }
    RtlZeroMemory(WmiContext, sizeof(DSM_WMILIB_CONTEXT));
}
