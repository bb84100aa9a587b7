/*++

Module Name:

    registrycalls.cpp

Abstract:

    The kernel's registry calls over the key store: RtlQueryRegistryValues,
    RtlCheckRegistryKey, ZwCreateKey, ZwSetValueKey and ZwClose.

    The calls never hold the store's lock while calling back into the
    driver (query routines) or into the pool, so a query routine may
    itself use the registry.

--*/

#include "registryinternal.h"

#include <atomic>
#include <cstring>

namespace host {
namespace {

using namespace reg;

// Statuses of the registry that the driver's header does not name.
constexpr NTSTATUS kStatusKeyDeleted = (NTSTATUS)0xC000017CL;
constexpr NTSTATUS kStatusChildMustBeVolatile = (NTSTATUS)0xC0000181L;

// Pool tag of the string buffers RtlQueryRegistryValues allocates for a
// direct query; the caller frees them with ExFreePool or RtlFreeUnicodeString.
constexpr ULONG kQueryTag = Tag("RtlQ");

constexpr ACCESS_MASK kGenericRead = 0x80000000;
constexpr ACCESS_MASK kGenericWrite = 0x40000000;
constexpr ACCESS_MASK kGenericExecute = 0x20000000;
constexpr ACCESS_MASK kGenericAll = 0x10000000;
constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;
constexpr ACCESS_MASK kKeyAllAccess = 0xF003F;

constexpr ULONG kKnownQueryFlags = RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY |
                                   RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_NOVALUE |
                                   RTL_QUERY_REGISTRY_NOEXPAND | RTL_QUERY_REGISTRY_DIRECT |
                                   RTL_QUERY_REGISTRY_DELETE | RTL_QUERY_REGISTRY_TYPECHECK;

//
// RtlQueryRegistryValues.
//

// What a query entry delivers: a value of the key or the entry's default.
struct QueryData {
    std::u16string Name;
    ULONG Type;
    std::vector<uint8_t> Data;
};

// Kernels older than RTL_QUERY_REGISTRY_TYPECHECK ignore the flag: they
// neither check the value's type nor take the positive-size buffer form.
std::atomic<bool> g_ignoreTypecheck{false};

// Whether this query's type check is carried out.
bool TypeChecked(const RTL_QUERY_REGISTRY_TABLE &entry)
{
    return (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) != 0 && !g_ignoreTypecheck.load();
}

ULONG EntryDefaultType(const RTL_QUERY_REGISTRY_TABLE &entry)
{
    // With TYPECHECK the top byte carries the expected type, not the default's.
    return (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) ? entry.DefaultType & 0x00FFFFFF : entry.DefaultType;
}

// What the caller's EntryContext holds, as far as the entry tells: the
// type TYPECHECK names (whether or not the kernel honours the flag), else
// the default's type.
ULONG HeldType(const RTL_QUERY_REGISTRY_TABLE &entry)
{
    if (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) {
        ULONG expected = entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
        if (expected != REG_NONE) {
            return expected;
        }
    }
    return EntryDefaultType(entry);
}

// The default's bytes; a string default of length 0 runs to its terminator(s).
std::vector<uint8_t> DefaultBytes(const RTL_QUERY_REGISTRY_TABLE &entry, ULONG type)
{
    const uint8_t *p = static_cast<const uint8_t *>(entry.DefaultData);
    if (p == nullptr) {
        return {};
    }
    size_t length = entry.DefaultLength;
    if (length == 0 && IsStringType(type)) {
        auto unit = [p](size_t i) { return p[2 * i] | (p[2 * i + 1] << 8); };
        size_t i = 0;
        if (type == REG_MULTI_SZ) {
            while (unit(i) != 0) {
                while (unit(i) != 0) {
                    i++;
                }
                i++;
            }
        } else {
            while (unit(i) != 0) {
                i++;
            }
        }
        length = (i + 1) * 2;
    }
    return std::vector<uint8_t>(p, p + length);
}

// The strings of a REG_MULTI_SZ, up to the empty string that ends it.
std::vector<std::u16string> SplitMultiString(const std::vector<uint8_t> &data)
{
    std::vector<std::u16string> strings;
    std::u16string current;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c != 0) {
            current += c;
        } else if (current.empty()) {
            return strings;
        } else {
            strings.push_back(current);
            current.clear();
        }
    }
    if (!current.empty()) {
        strings.push_back(current);
    }
    return strings;
}

NTSTATUS CallRoutine(const RTL_QUERY_REGISTRY_TABLE &entry, PVOID context, const std::u16string *name, ULONG type,
                     const std::vector<uint8_t> &data)
{
    // The routine gets copies, padded with zeros past the length so that
    // a routine reading a string without its terminator stops anyway.
    std::u16string nameCopy = name != nullptr ? *name : std::u16string();
    std::vector<uint8_t> dataCopy(data);
    dataCopy.resize(data.size() + 4, 0);
    return entry.QueryRoutine(name != nullptr ? &nameCopy[0] : nullptr, type, dataCopy.data(),
                              static_cast<ULONG>(data.size()), context, entry.EntryContext);
}

// Hands a value to a query routine.  Without NOEXPAND a REG_MULTI_SZ goes
// one string at a time and a REG_EXPAND_SZ goes as REG_SZ; the host has
// no environment, so its %...% references are passed on unexpanded.
NTSTATUS DeliverToRoutine(const RTL_QUERY_REGISTRY_TABLE &entry, PVOID context, const QueryData &value)
{
    bool expand = (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0;
    if (expand && value.Type == REG_MULTI_SZ) {
        for (const auto &text : SplitMultiString(value.Data)) {
            NTSTATUS status = CallRoutine(entry, context, &value.Name, REG_SZ, StringBytes(text));
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        return STATUS_SUCCESS;
    }
    ULONG type = expand && value.Type == REG_EXPAND_SZ ? REG_SZ : value.Type;
    return CallRoutine(entry, context, &value.Name, type, value.Data);
}

std::string Quoted(const std::u16string &name)
{
    return name.empty() ? std::string("(default)") : "\"" + detail::EncodeUtf8(name) + "\"";
}

// A direct query into a UNICODE_STRING: the whole data, always with a
// terminator; Length leaves out the last terminator only (so a
// REG_MULTI_SZ keeps the terminators of its strings).
NTSTATUS StoreDirectString(const RTL_QUERY_REGISTRY_TABLE &entry, const QueryData &value)
{
    std::vector<uint8_t> bytes(value.Data.begin(), value.Data.begin() + (value.Data.size() & ~size_t(1)));
    if (bytes.size() < 2 || bytes[bytes.size() - 1] != 0 || bytes[bytes.size() - 2] != 0) {
        bytes.push_back(0);
        bytes.push_back(0);
    }
    // A UNICODE_STRING cannot count more; truncating would lose data silently.
    if (bytes.size() > 0xFFFE) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto *string = static_cast<PUNICODE_STRING>(entry.EntryContext);
    if (string->Buffer == nullptr) {
        auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes.size(), kQueryTag));
        if (buffer == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        memcpy(buffer, bytes.data(), bytes.size());
        string->Buffer = buffer;
        string->MaximumLength = static_cast<USHORT>(bytes.size());
    } else {
        if (string->MaximumLength < bytes.size()) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(string->Buffer, bytes.data(), bytes.size());
    }
    string->Length = static_cast<USHORT>(bytes.size() - 2);
    return STATUS_SUCCESS;
}

// A direct query of non-string data: up to 4 bytes land in the ULONG at
// EntryContext; longer data needs a buffer whose first LONG is its size,
// negated.  With TYPECHECK a positive size asks for the data behind a
// length and a type.
NTSTATUS StoreDirectData(const RTL_QUERY_REGISTRY_TABLE &entry, const QueryData &value)
{
    auto *target = static_cast<uint8_t *>(entry.EntryContext);
    size_t length = value.Data.size();
    if (length <= sizeof(ULONG)) {
        // An empty value has no bytes to copy (and no buffer to copy from).
        if (length != 0) {
            memcpy(target, value.Data.data(), length);
        }
        return STATUS_SUCCESS;
    }
    LONG header;
    memcpy(&header, target, sizeof(header));
    if (header < 0) {
        if (length > static_cast<ULONG>(-(int64_t)header)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(target, value.Data.data(), length);
        return STATUS_SUCCESS;
    }
    if (TypeChecked(entry)) {
        if (length + 2 * sizeof(ULONG) > static_cast<ULONG>(header)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        ULONG fields[2] = {static_cast<ULONG>(length), value.Type};
        memcpy(target, fields, sizeof(fields));
        memcpy(target + sizeof(fields), value.Data.data(), length);
        return STATUS_SUCCESS;
    }
    // Older kernels take the first LONG as the size whatever its sign and
    // copy past the end of a ULONG: a memory corruption on the target.
    VerifierFail("RtlQueryRegistryValues: direct query of value %s: %zu bytes of %s, but EntryContext does not start "
                 "with the negated size of a buffer (first LONG is %d); set RTL_QUERY_REGISTRY_TYPECHECK or size the "
                 "buffer",
                 Quoted(value.Name).c_str(), length, TypeName(value.Type), header);
    return STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS StoreDirect(const RTL_QUERY_REGISTRY_TABLE &entry, const QueryData &value)
{
    bool typeChecked = TypeChecked(entry);
    ULONG heldType = HeldType(entry);
    // Without a type check the kernel writes whatever type the value has;
    // a string into a ULONG (or a number over a UNICODE_STRING) corrupts
    // the caller's memory.  The entry's types tell what the caller holds.
    if (!typeChecked && heldType != REG_NONE && IsStringType(heldType) != IsStringType(value.Type)) {
        VerifierFail("RtlQueryRegistryValues: direct query of value %s: the value is %s but the entry expects "
                     "%s; without a type check the kernel writes it into EntryContext as a %s",
                     Quoted(value.Name).c_str(), TypeName(value.Type), TypeName(heldType),
                     IsStringType(value.Type) ? "UNICODE_STRING" : "number or buffer");
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (value.Type == REG_MULTI_SZ && (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0) {
        VerifierFail("RtlQueryRegistryValues: direct query of REG_MULTI_SZ value %s without "
                     "RTL_QUERY_REGISTRY_NOEXPAND: the kernel stores the strings one by one into the same "
                     "UNICODE_STRING",
                     Quoted(value.Name).c_str());
    }
    return IsStringType(value.Type) ? StoreDirectString(entry, value) : StoreDirectData(entry, value);
}

NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE &entry, PVOID context, const QueryData &value)
{
    if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) {
        return StoreDirect(entry, value);
    }
    return DeliverToRoutine(entry, context, value);
}

bool TypeMatches(const RTL_QUERY_REGISTRY_TABLE &entry, ULONG type)
{
    return !TypeChecked(entry) || type == entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
}

// Refuses what the table cannot mean, before anything is queried.
NTSTATUS ValidateEntry(const RTL_QUERY_REGISTRY_TABLE &entry)
{
    ULONG flags = entry.Flags;
    bool direct = (flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
    if ((flags & ~kKnownQueryFlags) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((flags & RTL_QUERY_REGISTRY_SUBKEY) && (flags & RTL_QUERY_REGISTRY_TOPKEY)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (flags & RTL_QUERY_REGISTRY_SUBKEY) {
        // Name is the subkey; a routine then sees the subkey's values.
        return entry.Name != nullptr && !direct ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    if (direct) {
        bool valid = entry.Name != nullptr && entry.EntryContext != nullptr && entry.QueryRoutine == nullptr &&
                     (flags & RTL_QUERY_REGISTRY_NOVALUE) == 0;
        return valid ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    if (entry.QueryRoutine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((flags & RTL_QUERY_REGISTRY_NOVALUE) && entry.Name != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

// Calls the routine for every value of the key (or once, with REG_NONE,
// for NOVALUE).
NTSTATUS EnumerateValues(const RTL_QUERY_REGISTRY_TABLE &entry, PVOID context, const KeyPtr &key)
{
    if (entry.Flags & RTL_QUERY_REGISTRY_NOVALUE) {
        std::u16string name(WideZ(entry.Name));
        return CallRoutine(entry, context, entry.Name != nullptr ? &name : nullptr, REG_NONE, {});
    }
    std::vector<Value> values;
    {
        std::lock_guard<std::mutex> lock(Store().Lock);
        values = key->Values;
    }
    if (values.empty() && (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    for (const auto &value : values) {
        if (!TypeMatches(entry, value.Type)) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        NTSTATUS status = DeliverToRoutine(entry, context, QueryData{value.Name, value.Type, value.Data});
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (entry.Flags & RTL_QUERY_REGISTRY_DELETE) {
            std::lock_guard<std::mutex> lock(Store().Lock);
            RemoveValue(*key, value.Name);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS QueryNamedValue(const RTL_QUERY_REGISTRY_TABLE &entry, PVOID context, const KeyPtr &key)
{
    std::u16string name(WideZ(entry.Name));
    QueryData value{name, REG_NONE, {}};
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(Store().Lock);
        if (const Value *stored = FindValue(*key, name)) {
            value = QueryData{stored->Name, stored->Type, stored->Data};
            found = true;
        }
    }
    if (!found) {
        if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        value.Type = EntryDefaultType(entry);
        if (value.Type == REG_NONE) {
            return STATUS_SUCCESS;
        }
        value.Data = DefaultBytes(entry, value.Type);
    } else if (!TypeMatches(entry, value.Type)) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    NTSTATUS status = Deliver(entry, context, value);
    if (NT_SUCCESS(status) && found && (entry.Flags & RTL_QUERY_REGISTRY_DELETE)) {
        std::lock_guard<std::mutex> lock(Store().Lock);
        RemoveValue(*key, name);
    }
    return status;
}

// The key RelativeTo and Path name: *key is null when it does not exist.
// A Path starting with a backslash is absolute whatever RelativeTo says.
NTSTATUS OpenRelative(ULONG relativeTo, PCWSTR path, KeyPtr *key, ACCESS_MASK *access)
{
    Registry &registry = Store();
    *key = nullptr;
    *access = KEY_READ | KEY_SET_VALUE;
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        std::lock_guard<std::mutex> lock(registry.Lock);
        auto it = registry.Handles.find(reinterpret_cast<uintptr_t>(path));
        if (it == registry.Handles.end()) {
            return STATUS_INVALID_HANDLE;
        }
        if (it->second.Target->Deleted) {
            return kStatusKeyDeleted;
        }
        *key = it->second.Target;
        *access = it->second.Access;
        return STATUS_SUCCESS;
    }

    std::u16string_view text = WideZ(path);
    std::u16string full;
    if (!text.empty() && text[0] == u'\\') {
        full = text;
    } else {
        switch (relativeTo & ~RTL_REGISTRY_OPTIONAL) {
        case RTL_REGISTRY_ABSOLUTE:
            full = text;
            break;
        case RTL_REGISTRY_SERVICES:
            full = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
            break;
        case RTL_REGISTRY_CONTROL:
            full = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
            break;
        case RTL_REGISTRY_WINDOWS_NT:
            full = u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
            break;
        case RTL_REGISTRY_DEVICEMAP:
            full = u"\\Registry\\Machine\\Hardware\\DeviceMap";
            break;
        default:
            return STATUS_INVALID_PARAMETER;   // no user hive here, nor unknown bases
        }
        if ((relativeTo & ~RTL_REGISTRY_OPTIONAL) != RTL_REGISTRY_ABSOLUTE && !text.empty()) {
            full += u"\\";
            full += text;
        }
    }
    KeyNames names;
    switch (SplitAbsolute(full, false, &names)) {
    case PathKind::Malformed:
        return STATUS_OBJECT_NAME_INVALID;
    case PathKind::OtherRoot:
        return STATUS_SUCCESS;   // nothing outside the machine root exists here
    case PathKind::Machine:
        break;
    }
    std::lock_guard<std::mutex> lock(registry.Lock);
    *key = FindKey(registry.Root, names);
    return STATUS_SUCCESS;
}

NTSTATUS OpenSubkey(const KeyPtr &top, PCWSTR name, KeyPtr *key)
{
    KeyNames names;
    if (!SplitRelative(WideZ(name), false, &names)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::lock_guard<std::mutex> lock(Store().Lock);
    *key = FindKey(top, names);
    return *key != nullptr ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

ACCESS_MASK MapAccess(ACCESS_MASK access)
{
    if (access & (kGenericAll | kMaximumAllowed)) {
        access |= kKeyAllAccess;
    }
    if (access & (kGenericRead | kGenericExecute)) {
        access |= KEY_READ;
    }
    if (access & kGenericWrite) {
        access |= KEY_WRITE;
    }
    return access;
}

// The text of a counted string argument; false when it is malformed.
bool CountedText(PCUNICODE_STRING string, std::u16string *text)
{
    if (string == nullptr || string->Length % 2 != 0 || (string->Buffer == nullptr && string->Length != 0)) {
        return false;
    }
    text->assign(string->Buffer != nullptr ? string->Buffer : u"", string->Length / 2);
    return true;
}


} // namespace

void RegistryIgnoreTypecheck(bool ignore)
{
    g_ignoreTypecheck = ignore;
}

namespace detail {

void ResetRegistryMode()
{
    g_ignoreTypecheck = false;
}

} // namespace detail
} // namespace host

using namespace host;

//
// The kernel's registry calls.
//

extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                 PVOID Context, PVOID Environment)
{
    RequirePassive("RtlQueryRegistryValues");
    UNREFERENCED_PARAMETER(Environment);
    if (QueryTable == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    for (auto *entry = QueryTable; entry->QueryRoutine != nullptr || entry->Name != nullptr; entry++) {
        NTSTATUS status = ValidateEntry(*entry);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    if (detail::CallFails(Call::ZwOpenKey)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeyPtr top;
    ACCESS_MASK access;
    NTSTATUS status = OpenRelative(RelativeTo, Path, &top, &access);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (top == nullptr) {
        return (RelativeTo & RTL_REGISTRY_OPTIONAL) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if ((access & KEY_QUERY_VALUE) == 0) {
        return STATUS_ACCESS_DENIED;
    }

    KeyPtr current = top;
    for (auto *entry = QueryTable; entry->QueryRoutine != nullptr || entry->Name != nullptr; entry++) {
        if ((entry->Flags & RTL_QUERY_REGISTRY_DELETE) && (access & KEY_SET_VALUE) == 0) {
            return STATUS_ACCESS_DENIED;
        }
        if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) {
            current = top;
        }
        if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            // A subkey path is relative to the top key, not to the last subkey.
            status = OpenSubkey(top, entry->Name, &current);
            if (NT_SUCCESS(status) && entry->QueryRoutine != nullptr) {
                status = EnumerateValues(*entry, Context, current);
            }
        } else if (entry->Name == nullptr) {
            status = EnumerateValues(*entry, Context, current);
        } else {
            status = QueryNamedValue(*entry, Context, current);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    RequirePassive("RtlCheckRegistryKey");
    if (detail::CallFails(Call::ZwOpenKey)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeyPtr key;
    ACCESS_MASK access;
    NTSTATUS status = OpenRelative(RelativeTo, Path, &key, &access);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return key != nullptr ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

extern "C" NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                      ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions,
                                      PULONG Disposition)
{
    RequirePassive("ZwCreateKey");
    UNREFERENCED_PARAMETER(TitleIndex);
    UNREFERENCED_PARAMETER(Class);
    std::u16string name;
    if (KeyHandle == nullptr || ObjectAttributes == nullptr || !CountedText(ObjectAttributes->ObjectName, &name)) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) == 0) {
        // Without it the handle lands in the calling process's table, where
        // that process can use or close it.
        VerifierFail("ZwCreateKey of \"%s\" without OBJ_KERNEL_HANDLE: a kernel component created a user-mode handle",
                     detail::EncodeUtf8(name).c_str());
    }
    if ((CreateOptions & ~REG_OPTION_VOLATILE) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (detail::CallFails(Call::ZwCreateKey)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    bool isVolatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;

    Registry &registry = Store();
    std::lock_guard<std::mutex> lock(registry.Lock);
    KeyPtr base;
    KeyPath names;
    if (ObjectAttributes->RootDirectory != nullptr) {
        auto it = registry.Handles.find(reinterpret_cast<uintptr_t>(ObjectAttributes->RootDirectory));
        if (it == registry.Handles.end()) {
            return STATUS_INVALID_HANDLE;
        }
        base = it->second.Target;
        if (base->Deleted) {
            return kStatusKeyDeleted;
        }
        if (!name.empty() && (name[0] == u'\\' || !SplitRelative(name, false, &names))) {
            return STATUS_OBJECT_NAME_INVALID;
        }
    } else {
        switch (SplitAbsolute(name, false, &names)) {
        case PathKind::Malformed:
            return STATUS_OBJECT_NAME_INVALID;
        case PathKind::OtherRoot:
            return STATUS_OBJECT_NAME_NOT_FOUND;
        case PathKind::Machine:
            break;
        }
        base = registry.Root;
    }

    // As the kernel: the parent must exist; missing parents are not made.
    KeyPtr key = base;
    ULONG disposition = REG_OPENED_EXISTING_KEY;
    if (!names.empty()) {
        KeyPtr parent = FindKey(base, names, names.size() - 1);
        if (parent == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        key = FindChild(*parent, names.back());
        if (key == nullptr) {
            if (parent->Volatile && !isVolatile) {
                return kStatusChildMustBeVolatile;
            }
            key = AddChild(parent, names.back(), isVolatile);
            disposition = REG_CREATED_NEW_KEY;
        }
    }
    uintptr_t handle = registry.NextHandle;
    registry.NextHandle += 4;
    registry.Handles[handle] = OpenHandle{key, MapAccess(DesiredAccess)};
    *KeyHandle = reinterpret_cast<HANDLE>(handle);
    if (Disposition != nullptr) {
        *Disposition = disposition;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                        PVOID Data, ULONG DataSize)
{
    RequirePassive("ZwSetValueKey");
    UNREFERENCED_PARAMETER(TitleIndex);
    std::u16string name;
    if (!CountedText(ValueName, &name) || (Data == nullptr && DataSize != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (detail::CallFails(Call::ZwSetValueKey)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Registry &registry = Store();
    std::lock_guard<std::mutex> lock(registry.Lock);
    auto it = registry.Handles.find(reinterpret_cast<uintptr_t>(KeyHandle));
    if (it == registry.Handles.end()) {
        return STATUS_INVALID_HANDLE;
    }
    if ((it->second.Access & KEY_SET_VALUE) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    if (it->second.Target->Deleted) {
        return kStatusKeyDeleted;
    }
    std::vector<uint8_t> data;
    if (DataSize != 0) {
        const auto *bytes = static_cast<const uint8_t *>(Data);
        data.assign(bytes, bytes + DataSize);
    }
    PutValue(*it->second.Target, name, Type, std::move(data));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    RequirePassive("ZwClose");
    Registry &registry = Store();
    {
        std::lock_guard<std::mutex> lock(registry.Lock);
        if (registry.Handles.erase(reinterpret_cast<uintptr_t>(Handle)) != 0) {
            return STATUS_SUCCESS;
        }
    }
    VerifierFail("ZwClose of handle %p, which is not open (closed already, never opened, or from before a reboot)",
                 Handle);
    return STATUS_INVALID_HANDLE;
}

