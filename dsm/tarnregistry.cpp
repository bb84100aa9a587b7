/*++

Module Name:

    tarnregistry.cpp

Abstract:

    The driver-wide configuration, read once while the DSM context is
    built from the Parameters subkey of the service key, the service key
    itself and the disk class key.  Only the supported device list is
    mandatory; every other value falls back to its default.

Environment:

    Kernel mode, PASSIVE_LEVEL.

--*/

#include "tarn.h"

TARN_TRACE_MODULE_GUID(0x9D41A6C3, 0x7E25, 0x4B0F, 0x8C, 0x92, 0x5A, 0x17, 0xE3, 0x6B, 0xD0, 0x44);

#define TARN_PARAMETERS_SUBKEY TARN_WIDE("Parameters")
#define TARN_DISK_CLASS_KEY TARN_WIDE("Disk")

/*++

Routine Description:

    Formats "Base\SubKey" (or Base alone when SubKey is NULL) into a
    buffer of BufferChars wide characters.  A name that does not fit is
    refused rather than written past the buffer.

Return Value:

    STATUS_SUCCESS, or STATUS_NAME_TOO_LONG with the buffer untouched.

--*/
NTSTATUS DsmFormatKeyPath(PWCHAR Buffer, ULONG BufferChars, PCUNICODE_STRING Base, PCWSTR SubKey)
{
    ULONG needed = (ULONG)(Base->Length / sizeof(WCHAR)) + 1;
    if (SubKey != NULL) {
        needed += 1 + (ULONG)wcslen(SubKey);
    }
    if (needed > BufferChars) {
        return STATUS_NAME_TOO_LONG;
    }

    NTSTATUS status;
    if (SubKey != NULL) {
        status = RtlStringCchPrintfW(Buffer, BufferChars, TARN_WIDE("%wZ\\%ls"), Base, SubKey);
    } else {
        status = RtlStringCchPrintfW(Buffer, BufferChars, TARN_WIDE("%wZ"), Base);
    }
    // The length was checked; a name with a NUL inside is cut short, never too long.
    return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_NAME_TOO_LONG;
}

//
// Every value is read through a query routine of ours that checks the
// value's type and length before anything is stored.  The kernel's
// RTL_QUERY_REGISTRY_TYPECHECK flag would do the type check for a direct
// query, but kernels older than the flag ignore it and write a value of
// any type and size into the caller's field; a string where a DWORD is
// expected would then overrun it.
//

// What a query routine fills: the expected type and the caller's place.
typedef struct _TARN_VALUE_QUERY {
    ULONG Type;
    PVOID Place;
} TARN_VALUE_QUERY, *PTARN_VALUE_QUERY;

/*++

Routine Description:

    Query routine of one value: accepts only the expected type and a
    length the place can hold, and stores the value only then.

    - REG_DWORD: 1 to 4 bytes, a little-endian number, into a ULONG.
    - REG_BINARY: exactly the 8 bytes of a reservation key.
    - REG_SZ, REG_MULTI_SZ: a whole number of characters that a counted
      string can count with its terminator, copied into the DSM's own
      pool with a terminator added when the value lacks one, into a
      UNICODE_STRING whose buffer must still be NULL.

Return Value:

    STATUS_SUCCESS, STATUS_OBJECT_TYPE_MISMATCH for another type,
    STATUS_INVALID_PARAMETER for a length that does not fit, or
    STATUS_INSUFFICIENT_RESOURCES.

--*/
static NTSTATUS NTAPI DsmValueQueryRoutine(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                                           PVOID Context, PVOID EntryContext)
{
    PTARN_VALUE_QUERY query = (PTARN_VALUE_QUERY)EntryContext;

    UNREFERENCED_PARAMETER(ValueName);
    UNREFERENCED_PARAMETER(Context);

    if (ValueType != query->Type) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }

    switch (ValueType) {
    case REG_DWORD: {
        // A shorter value is the little-endian number it holds.
        ULONG number = 0;
        if (ValueLength == 0 || ValueLength > sizeof(ULONG)) {
            return STATUS_INVALID_PARAMETER;
        }
        RtlCopyMemory(&number, ValueData, ValueLength);
        RtlCopyMemory(query->Place, &number, sizeof(ULONG));
        return STATUS_SUCCESS;
    }

    case REG_BINARY:
        if (ValueLength != TARN_PR_KEY_LENGTH) {
            return STATUS_INVALID_PARAMETER;
        }
        RtlCopyMemory(query->Place, ValueData, TARN_PR_KEY_LENGTH);
        return STATUS_SUCCESS;

    case REG_SZ:
    case REG_MULTI_SZ: {
        PUNICODE_STRING string = (PUNICODE_STRING)query->Place;
        PCWSTR chars = (PCWSTR)ValueData;
        ULONG count = ValueLength / (ULONG)sizeof(WCHAR);
        ULONG bytes;
        PWCHAR buffer;

        ASSERT(string->Buffer == NULL);
        if (ValueLength % sizeof(WCHAR) != 0) {
            return STATUS_INVALID_PARAMETER;
        }
        // The copy ends with a terminator, added when the value has none.
        bytes = ValueLength;
        if (count == 0 || chars[count - 1] != 0) {
            bytes += (ULONG)sizeof(WCHAR);
        }
        if (bytes > TARN_MAX_COUNTED_STRING_BYTES) {
            return STATUS_INVALID_PARAMETER;
        }
        buffer = (PWCHAR)DsmAllocatePool(NonPagedPool, bytes);
        if (buffer == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (ValueLength != 0) {
            RtlCopyMemory(buffer, ValueData, ValueLength);
        }
        // Length leaves out the last terminator only, so a multi-string
        // keeps the terminators of its strings.
        string->Buffer = buffer;
        string->Length = (USHORT)(bytes - sizeof(WCHAR));
        string->MaximumLength = (USHORT)bytes;
        return STATUS_SUCCESS;
    }

    default:
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
}

/*++

Routine Description:

    One required query of one value of the expected type, through
    DsmValueQueryRoutine.  A missing key or value, a value of another
    type or of a length that does not fit counts as a failed read and
    leaves Place as it was.

Arguments:

    RelativeTo, KeyPath - the key, as RtlQueryRegistryValues takes them.
    ValueType - REG_DWORD, REG_BINARY (a reservation key), REG_SZ or
        REG_MULTI_SZ.
    Place - a ULONG, the 8 key bytes, or a UNICODE_STRING with a NULL
        buffer that receives the DSM's own pool (DsmFreePool).

--*/
static NTSTATUS DsmQueryValue(ULONG RelativeTo, PCWSTR KeyPath, PCWSTR ValueName, ULONG ValueType, PVOID Place)
{
    DSM_ASSERT_PASSIVE();
    RTL_QUERY_REGISTRY_TABLE table[2];
    TARN_VALUE_QUERY query;
    UCHAR scratch[TARN_PR_KEY_LENGTH];
    NTSTATUS status;

    // Fixed-size values land in a scratch copy first, so a read that
    // fails leaves the caller's place untouched.
    query.Type = ValueType;
    query.Place = (ValueType == REG_DWORD || ValueType == REG_BINARY) ? (PVOID)scratch : Place;

    RtlZeroMemory(table, sizeof(table));
    table[0].QueryRoutine = DsmValueQueryRoutine;
    table[0].Flags = RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_NOEXPAND;
    table[0].Name = (PWSTR)ValueName;
    table[0].EntryContext = &query;
    table[0].DefaultType = REG_NONE;

    status = RtlQueryRegistryValues(RelativeTo, KeyPath, table, NULL, NULL);
    if (NT_SUCCESS(status)) {
        if (ValueType == REG_DWORD) {
            RtlCopyMemory(Place, scratch, sizeof(ULONG));
        } else if (ValueType == REG_BINARY) {
            RtlCopyMemory(Place, scratch, TARN_PR_KEY_LENGTH);
        }
    }
    return status;
}

// One value under the services root, of the key "ServiceName\SubKey".
static NTSTATUS DsmQueryServiceValue(PCUNICODE_STRING ServiceName, PCWSTR SubKey, PCWSTR ValueName, ULONG ValueType,
                                     PVOID Place)
{
    WCHAR keyPath[TARN_SERVICE_KEY_PATH_CHARS];

    NTSTATUS status = DsmFormatKeyPath(keyPath, RTL_NUMBER_OF(keyPath), ServiceName, SubKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return DsmQueryValue(RTL_REGISTRY_SERVICES, keyPath, ValueName, ValueType, Place);
}

// Reads a 32-bit value; Value changes only when the read succeeds.
static NTSTATUS DsmQueryServiceDword(PCUNICODE_STRING ServiceName, PCWSTR SubKey, PCWSTR ValueName, PULONG Value)
{
    return DsmQueryServiceValue(ServiceName, SubKey, ValueName, REG_DWORD, Value);
}

/*++

Routine Description:

    Reads "PRKey": binary data of exactly the key's length, and not all
    zeros.  A shorter value would leave part of the key as whatever the
    buffer held, registering a key nobody configured on every path; and
    a zero service-action key means "unregister" to the array, so every
    reserve would report a false arbitration loss.  Either is a failed
    read.  PrKey changes only on success.

--*/
static NTSTATUS DsmQueryPrKey(PCUNICODE_STRING ServiceName, PUCHAR PrKey)
{
    UCHAR key[TARN_PR_KEY_LENGTH];
    ULONG i;

    RtlZeroMemory(key, sizeof(key));
    NTSTATUS status = DsmQueryServiceValue(ServiceName, TARN_PARAMETERS_SUBKEY, TARN_WIDE("PRKey"), REG_BINARY, key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (i = 0; i < TARN_PR_KEY_LENGTH && key[i] == 0; i++) {
    }
    if (i == TARN_PR_KEY_LENGTH) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmQueryPrKey: PRKey is all zeros, which is no reservation key");
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(PrKey, key, TARN_PR_KEY_LENGTH);
    return STATUS_SUCCESS;
}

//
// The driver-wide 32-bit settings, one row each: where the value lives,
// its default, what bounds it and what an unreadable value costs.  A
// value is read once, at start-up; the row's default stays when the
// read fails.
//
typedef struct _TARN_DWORD_SETTING {
    PCWSTR ValueName;                   // under the Parameters subkey
    PCSTR TraceName;                    // the same name, for the trace
    LONG Offset;                        // of the ULONG in DSM_CONTEXT
    ULONG Default;
    ULONG Maximum;                      // a larger value is clamped to it
    BOOLEAN (*IsValid)(ULONG Value);    // NULL when any value up to Maximum goes; else the default replaces it
    NTSTATUS MissingEvent;              // logged with the read's status when unreadable; 0 for none
    PCWSTR FallbackKey;                 // a services key consulted when the value is missing, or NULL
    PCWSTR FallbackValueName;
    PCSTR FallbackTraceName;
    BOOLEAN Hex;                        // traced in hexadecimal (a code, not a quantity)
    PCSTR Unit;                         // after the value in the trace
} TARN_DWORD_SETTING;

#define TARN_NO_MAXIMUM 0xFFFFFFFFUL
#define TARN_SETTING_NAME(Name) TARN_WIDE(#Name), #Name, FIELD_OFFSET(DSM_CONTEXT, Name)

static const TARN_DWORD_SETTING DsmDwordSettings[] = {
    // Default path selection policy of drives yet to be claimed.
    {TARN_SETTING_NAME(PathSelectionPolicy), TARN_LB_POLICY_FAILOVER, TARN_NO_MAXIMUM, DsmIsValidPolicy,
     TARN_MSG_NO_PATH_SELECTION_POLICY, NULL, NULL, NULL, TRUE, ""},
    // Zero is used as read.
    {TARN_SETTING_NAME(RoundRobinTimeSlice), TARN_DEFAULT_ROUND_ROBIN_TIMESLICE, TARN_NO_MAXIMUM, NULL,
     TARN_MSG_NO_ROUND_ROBIN_TIMESLICE, NULL, NULL, NULL, FALSE, " ms"},
    // Timeout of the DSM's own TEST UNIT READY: ours, else the disk
    // class's, else the default.
    {TARN_SETTING_NAME(TurTimeoutValue), TARN_DEFAULT_TUR_TIMEOUT, TARN_MAX_TUR_TIMEOUT, NULL, 0, TARN_DISK_CLASS_KEY,
     TARN_WIDE("TimeOutValue"), "TimeOutValue", FALSE, " s"},
    // Retries of those commands.
    {TARN_SETTING_NAME(TurRetryCount), TARN_DEFAULT_TUR_RETRY_COUNT, TARN_MAX_TUR_RETRY_COUNT, NULL, 0, NULL, NULL,
     NULL, FALSE, ""},
};

/*++

Routine Description:

    Reads one row's value into the context: the value, else its
    fallback, else the default; then the default in place of a value
    that is no setting, or the maximum in place of a larger one.
    PASSIVE_LEVEL, no lock.

--*/
static VOID DsmLoadDwordSetting(PDSM_CONTEXT DsmContext, const TARN_DWORD_SETTING *Setting)
{
    PULONG value = (PULONG)((PUCHAR)DsmContext + Setting->Offset);

    DSM_ASSERT_PASSIVE();

    *value = Setting->Default;
    NTSTATUS status =
        DsmQueryServiceDword(DsmContext->ServiceName, TARN_PARAMETERS_SUBKEY, Setting->ValueName, value);
    if (!NT_SUCCESS(status) && Setting->FallbackKey != NULL) {
        UNICODE_STRING fallbackKey;
        RtlInitUnicodeString(&fallbackKey, Setting->FallbackKey);
        status = DsmQueryServiceDword(&fallbackKey, NULL, Setting->FallbackValueName, value);
        if (!NT_SUCCESS(status)) {
            DsmTrace(TRDSM_TRACE_LEVEL, "DsmLoadConfiguration: no %s nor disk %s, %s", TA_STR(Setting->TraceName),
                     TA_STR(Setting->FallbackTraceName), TA_STR(DsmStatusName(STATUS_IO_DEVICE_ERROR)));
        }
    } else if (!NT_SUCCESS(status) && Setting->MissingEvent != 0) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmLoadConfiguration: %s unreadable, %s (0x%08X)", TA_STR(Setting->TraceName),
                 TA_STR(DsmStatusName(status)), TA_ULONG(status));
        DsmLogEvent(DsmIoObject, Setting->MissingEvent, NULL, NULL, &status, sizeof(status));
    } else if (!NT_SUCCESS(status)) {
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmLoadConfiguration: %s unreadable, %s", TA_STR(Setting->TraceName),
                 TA_STR(DsmStatusName(status)));
    }

    if (Setting->IsValid != NULL && !Setting->IsValid(*value)) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmLoadConfiguration: %s 0x%X is not a policy; using 0x%X",
                 TA_STR(Setting->TraceName), TA_ULONG(*value), TA_ULONG(Setting->Default));
        *value = Setting->Default;
    }
    if (*value > Setting->Maximum) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmLoadConfiguration: %s %u above %u; using %u", TA_STR(Setting->TraceName),
                 TA_ULONG(*value), TA_ULONG(Setting->Maximum), TA_ULONG(Setting->Maximum));
        *value = Setting->Maximum;
    }
    if (Setting->Hex) {
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmLoadConfiguration: %s 0x%X", TA_STR(Setting->TraceName), TA_ULONG(*value));
    } else {
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmLoadConfiguration: %s %u%s", TA_STR(Setting->TraceName), TA_ULONG(*value),
                 TA_STR(Setting->Unit));
    }
}

// The display name, from the service key itself; empty when unreadable.
static VOID DsmLoadDisplayName(PDSM_CONTEXT DsmContext)
{
    RtlZeroMemory(&DsmContext->DisplayName, sizeof(UNICODE_STRING));
    NTSTATUS status =
        DsmQueryServiceValue(DsmContext->ServiceName, NULL, TARN_WIDE("DisplayName"), REG_SZ, &DsmContext->DisplayName);
    if (NT_SUCCESS(status) && DsmContext->DisplayName.Buffer != NULL) {
        DsmContext->DisplayNameAllocated = TRUE;
    } else {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmLoadConfiguration: DisplayName unreadable, %s; using an empty name",
                 TA_STR(DsmStatusName(status)));
        RtlInitUnicodeString(&DsmContext->DisplayName, TARN_WIDE(""));
        DsmContext->DisplayNameAllocated = FALSE;
    }
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmLoadConfiguration: DisplayName \"%wZ\"", TA_USTR(&DsmContext->DisplayName));
}

// Persistent reservations: on only with a low byte of 1 and a key.
static VOID DsmLoadReservationSettings(PDSM_CONTEXT DsmContext)
{
    ULONG usePersistentReservations = 0;

    DsmContext->UsePersistentReservations = FALSE;
    NTSTATUS status = DsmQueryServiceDword(DsmContext->ServiceName, TARN_PARAMETERS_SUBKEY,
                                           TARN_WIDE("UsePersistentReservations"), &usePersistentReservations);
    if (NT_SUCCESS(status)) {
        DsmContext->UsePersistentReservations = (usePersistentReservations & 0xFF) == 1;
        if (DsmContext->UsePersistentReservations) {
            status = DsmQueryPrKey(DsmContext->ServiceName, DsmContext->PRKey);
            if (!NT_SUCCESS(status)) {
                DsmTrace(TRDSM_ERROR_LEVEL,
                         "DsmLoadConfiguration: PRKey unreadable, %s (0x%08X); persistent reservations off",
                         TA_STR(DsmStatusName(status)), TA_ULONG(status));
                DsmContext->UsePersistentReservations = FALSE;
            }
        }
    } else {
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmLoadConfiguration: UsePersistentReservations unreadable, %s",
                 TA_STR(DsmStatusName(status)));
    }
    DsmTrace(TRDSM_TRACE_LEVEL,
             "DsmLoadConfiguration: UsePersistentReservations %u, PRKey %02X%02X%02X%02X%02X%02X%02X%02X",
             TA_UCHAR(DsmContext->UsePersistentReservations), TA_UCHAR(DsmContext->PRKey[0]),
             TA_UCHAR(DsmContext->PRKey[1]), TA_UCHAR(DsmContext->PRKey[2]), TA_UCHAR(DsmContext->PRKey[3]),
             TA_UCHAR(DsmContext->PRKey[4]), TA_UCHAR(DsmContext->PRKey[5]), TA_UCHAR(DsmContext->PRKey[6]),
             TA_UCHAR(DsmContext->PRKey[7]));
}

/*++

Routine Description:

    Loads the configuration into the context.  A failed read of the
    supported device list fails the start; every other value keeps its
    default.  The values with messages of their own are logged with the
    read's status as dump data.  PASSIVE_LEVEL, no lock.

Return Value:

    STATUS_SUCCESS, or STATUS_UNSUCCESSFUL when the supported device list
    cannot be read.

--*/
NTSTATUS DsmLoadConfiguration(PDSM_CONTEXT DsmContext)
{
    DSM_ASSERT_PASSIVE();

    //
    // The supported device list: without it the DSM supports nothing and
    // does not start.  The context owns the copy.
    //
    RtlZeroMemory(&DsmContext->SupportedDeviceList, sizeof(UNICODE_STRING));
    NTSTATUS status = DsmQueryServiceValue(DsmContext->ServiceName, TARN_PARAMETERS_SUBKEY,
                                           TARN_WIDE("SupportedDeviceList"), REG_MULTI_SZ,
                                           &DsmContext->SupportedDeviceList);
    if (!NT_SUCCESS(status)) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmLoadConfiguration: SupportedDeviceList unreadable, %s (0x%08X)",
                 TA_STR(DsmStatusName(status)), TA_ULONG(status));
        DsmLogEvent(DsmIoObject, TARN_MSG_NO_SUPPORTED_DEVICE_LIST, NULL, NULL, &status, sizeof(status));
        RtlZeroMemory(&DsmContext->SupportedDeviceList, sizeof(UNICODE_STRING));
        return STATUS_UNSUCCESSFUL;
    }
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmLoadConfiguration: SupportedDeviceList of %u bytes",
             TA_ULONG(DsmContext->SupportedDeviceList.Length));

    for (ULONG i = 0; i < RTL_NUMBER_OF(DsmDwordSettings); i++) {
        DsmLoadDwordSetting(DsmContext, &DsmDwordSettings[i]);
    }
    DsmLoadDisplayName(DsmContext);
    DsmLoadReservationSettings(DsmContext);
    return STATUS_SUCCESS;
}

//
// Per-drive settings: the preferred path and the policy of each logical
// drive, one value per drive named by its serial number, under the
// service key's "PreferredPath" and "PathSelectionPolicy" subkeys.
//
#define TARN_PREFERRED_PATH_SUBKEY TARN_WIDE("PreferredPath")
#define TARN_DRIVE_POLICY_SUBKEY TARN_WIDE("PathSelectionPolicy")

// A serial number widened to a value name; the buffer fits the longest
// serial a claim accepts, so a drive's settings are stored under its
// whole serial.
typedef struct _TARN_VALUE_NAME {
    WCHAR Name[TARN_MAX_SERIAL_CHARS + 1];
} TARN_VALUE_NAME;

static NTSTATUS DsmSerialValueName(PCSTR SerialNumber, TARN_VALUE_NAME *ValueName)
{
    ULONG i = 0;
    for (; SerialNumber[i] != '\0'; i++) {
        if (i == TARN_MAX_SERIAL_CHARS) {
            return STATUS_NAME_TOO_LONG;
        }
        ValueName->Name[i] = (WCHAR)(UCHAR)SerialNumber[i];
    }
    ValueName->Name[i] = 0;
    return STATUS_SUCCESS;
}

static ULONG DsmPackScsiAddress(const SCSI_ADDRESS *Address)
{
    return ((ULONG)Address->PortNumber << 24) | ((ULONG)Address->PathId << 16) | ((ULONG)Address->TargetId << 8) |
           (ULONG)Address->Lun;
}

static VOID DsmUnpackScsiAddress(ULONG Packed, PSCSI_ADDRESS Address)
{
    Address->PortNumber = (UCHAR)(Packed >> 24);
    Address->PathId = (UCHAR)(Packed >> 16);
    Address->TargetId = (UCHAR)(Packed >> 8);
    Address->Lun = (UCHAR)Packed;
}

/*++

Routine Description:

    One required query of a 32-bit value through the checked reader;
    Value changes only on success.  PASSIVE_LEVEL.

--*/
NTSTATUS DsmQueryDword(ULONG RelativeTo, PCWSTR KeyPath, PCWSTR ValueName, PULONG Value)
{
    return DsmQueryValue(RelativeTo, KeyPath, ValueName, REG_DWORD, Value);
}

/*++

Routine Description:

    Stores a 32-bit value named by a drive's serial number under a subkey
    of the service key, creating the subkey when missing.  Refused above
    PASSIVE_LEVEL without touching the registry.

--*/
static NTSTATUS DsmWriteDriveValue(PDSM_CONTEXT DsmContext, PCSTR SerialNumber, PCWSTR SubKey, ULONG Value)
{
    WCHAR keyPath[TARN_ABSOLUTE_KEY_PATH_CHARS];
    TARN_VALUE_NAME valueName;
    UNICODE_STRING keyName;
    UNICODE_STRING valueString;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key = NULL;
    ULONG disposition = 0;

    if (DsmCalledRaised("DsmWriteDriveValue")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NTSTATUS status = DsmFormatKeyPath(keyPath, RTL_NUMBER_OF(keyPath), DsmContext->RegistryPath, SubKey);
    if (NT_SUCCESS(status)) {
        status = DsmSerialValueName(SerialNumber, &valueName);
    }
    if (!NT_SUCCESS(status)) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmWriteDriveValue: no key path or value name for %s, %s", TA_STR(SerialNumber),
                 TA_STR(DsmStatusName(status)));
        return status;
    }

    RtlInitUnicodeString(&keyName, keyPath);
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwCreateKey(&key, KEY_WRITE, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, &disposition);
    if (!NT_SUCCESS(status)) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmWriteDriveValue: cannot open %wZ, %s (0x%08X)", TA_USTR(&keyName),
                 TA_STR(DsmStatusName(status)), TA_ULONG(status));
        return status;
    }

    RtlInitUnicodeString(&valueString, valueName.Name);
    status = ZwSetValueKey(key, &valueString, 0, REG_DWORD, &Value, sizeof(Value));
    if (!NT_SUCCESS(status)) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmWriteDriveValue: cannot set %s under %wZ, %s (0x%08X)", TA_STR(SerialNumber),
                 TA_USTR(&keyName), TA_STR(DsmStatusName(status)), TA_ULONG(status));
    }
    ZwClose(key);
    return status;
}

/*++

Routine Description:

    Stores a drive's preferred path: its SCSI address packed as port
    number, path id, target id and LUN from the most significant byte.
    PASSIVE_LEVEL, without DsmLock.

--*/
NTSTATUS DsmWritePreferredPath(PDSM_CONTEXT DsmContext, PCSTR SerialNumber, PSCSI_ADDRESS Address)
{
    if (SerialNumber == NULL || Address == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    return DsmWriteDriveValue(DsmContext, SerialNumber, TARN_PREFERRED_PATH_SUBKEY, DsmPackScsiAddress(Address));
}

/*++

Routine Description:

    Stores a drive's policy as given; the caller checks it.  PASSIVE_LEVEL,
    without DsmLock.

--*/
NTSTATUS DsmWriteDrivePolicy(PDSM_CONTEXT DsmContext, PCSTR SerialNumber, ULONG Policy)
{
    if (SerialNumber == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    return DsmWriteDriveValue(DsmContext, SerialNumber, TARN_DRIVE_POLICY_SUBKEY, Policy);
}

/*++

Routine Description:

    Reads a drive's preferred path.  When none can be read (no key, no
    value, a value of another type), the default becomes the result and
    is stored as the drive's preferred path.

Arguments:

    DefaultAddress - the address of the path the drive was first seen on.
    Found - TRUE when a stored value was used.
    Result - always filled, from the registry or from the default.

Return Value:

    STATUS_SUCCESS when a value was found, else the status of storing the
    default.  PASSIVE_LEVEL, without DsmLock.

--*/
NTSTATUS DsmReadPreferredPath(PDSM_CONTEXT DsmContext, PCSTR SerialNumber, PSCSI_ADDRESS DefaultAddress,
                              PBOOLEAN Found, PSCSI_ADDRESS Result)
{
    DSM_ASSERT_PASSIVE();
    WCHAR keyPath[TARN_PREFERRED_PATH_KEY_CHARS];
    TARN_VALUE_NAME valueName;

    if (SerialNumber == NULL || DefaultAddress == NULL || Found == NULL || Result == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *Found = FALSE;

    NTSTATUS status =
        DsmFormatKeyPath(keyPath, RTL_NUMBER_OF(keyPath), DsmContext->ServiceName, TARN_PREFERRED_PATH_SUBKEY);
    if (NT_SUCCESS(status)) {
        status = DsmSerialValueName(SerialNumber, &valueName);
    }
    if (NT_SUCCESS(status)) {
        status = RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, keyPath);
    }
    if (NT_SUCCESS(status)) {
        ULONG packed = 0;
        status = DsmQueryDword(RTL_REGISTRY_SERVICES, keyPath, valueName.Name, &packed);
        if (NT_SUCCESS(status)) {
            Result->Length = sizeof(SCSI_ADDRESS);
            DsmUnpackScsiAddress(packed, Result);
            *Found = TRUE;
        }
    }

    if (*Found) {
        DsmTrace(TRDSM_TRACE_LEVEL, "DsmReadPreferredPath: %s prefers %x:%x:%x:%x", TA_STR(SerialNumber),
                 TA_UCHAR(Result->PortNumber), TA_UCHAR(Result->PathId), TA_UCHAR(Result->TargetId),
                 TA_UCHAR(Result->Lun));
        return STATUS_SUCCESS;
    }

    DsmTrace(TRDSM_TRACE_LEVEL, "DsmReadPreferredPath: none stored for %s (%s); storing the default",
             TA_STR(SerialNumber), TA_STR(DsmStatusName(status)));
    RtlCopyMemory(Result, DefaultAddress, sizeof(SCSI_ADDRESS));
    return DsmWritePreferredPath(DsmContext, SerialNumber, DefaultAddress);
}

/*++

Routine Description:

    Reads a drive's policy.  Only the three policies are accepted; the
    caller's value stays as it was otherwise.  PASSIVE_LEVEL, without
    DsmLock.

--*/
NTSTATUS DsmReadDrivePolicy(PDSM_CONTEXT DsmContext, PCSTR SerialNumber, PULONG Policy)
{
    DSM_ASSERT_PASSIVE();
    WCHAR keyPath[TARN_ABSOLUTE_KEY_PATH_CHARS];
    TARN_VALUE_NAME valueName;
    ULONG policy = 0;

    if (SerialNumber == NULL) {
        return STATUS_INVALID_PARAMETER;
    }

    NTSTATUS status =
        DsmFormatKeyPath(keyPath, RTL_NUMBER_OF(keyPath), DsmContext->RegistryPath, TARN_DRIVE_POLICY_SUBKEY);
    if (NT_SUCCESS(status)) {
        status = DsmSerialValueName(SerialNumber, &valueName);
    }
    if (NT_SUCCESS(status)) {
        status = RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, keyPath);
        if (!NT_SUCCESS(status)) {
            DsmTrace(TRDSM_TRACE_LEVEL, "DsmReadDrivePolicy: no policy key, %s", TA_STR(DsmStatusName(status)));
        }
    }
    if (NT_SUCCESS(status)) {
        status = DsmQueryDword(RTL_REGISTRY_ABSOLUTE, keyPath, valueName.Name, &policy);
        if (!NT_SUCCESS(status)) {
            DsmTrace(TRDSM_TRACE_LEVEL, "DsmReadDrivePolicy: no policy for %s, %s", TA_STR(SerialNumber),
                     TA_STR(DsmStatusName(status)));
        }
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }

    if (!DsmIsValidPolicy(policy)) {
        DsmTrace(TRDSM_ERROR_LEVEL, "DsmReadDrivePolicy: stored policy 0x%X of %s is not a policy", TA_ULONG(policy),
                 TA_STR(SerialNumber));
        return STATUS_UNSUCCESSFUL;
    }
    *Policy = policy;
    DsmTrace(TRDSM_TRACE_LEVEL, "DsmReadDrivePolicy: %s uses 0x%X", TA_STR(SerialNumber), TA_ULONG(policy));
    return STATUS_SUCCESS;
}
