/*++

Module Name:

    registry.cpp

Abstract:

    The registry of the user-mode kernel: the key store, the kernel's
    registry calls (RtlQueryRegistryValues, RtlCheckRegistryKey,
    ZwCreateKey, ZwSetValueKey, ZwClose) and the host's controls.

    The store holds HKEY_LOCAL_MACHINE only.  Key and value names compare
    case-insensitively and keep the case they were created with.  Subkeys
    enumerate in name order and values in creation order, as the kernel
    enumerates them.  Strings are stored as the kernel stores them:
    UTF-16LE with their terminator.  CurrentControlSet is an ordinary key
    here, not a link to a numbered control set.

    The store survives a reboot; open handles and volatile keys do not.
    Handle numbers are never reused, so a handle kept across a reboot or
    after its close is always recognised as invalid.

    The kernel calls never hold the store's lock while calling back into
    the driver (query routines) or into the pool, so a query routine may
    itself use the registry.

    .reg text is read whole before anything changes, so a bad file
    changes nothing.  Export writes what regedit writes (CRLF, sections in
    tree order, hex wrapped at 80 columns) and uses the "text" and dword:
    forms only where they give back the very bytes stored, so that
    importing an export restores the store byte for byte.

--*/

#include "hostinternal.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string_view>

namespace host {
namespace {

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
// Text.
//

// The registry's case folding: ASCII and Latin-1 letters.
char16_t Fold(char16_t c)
{
    if (c >= u'a' && c <= u'z') {
        return c - 0x20;
    }
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) {
        return c - 0x20;
    }
    return c;
}

std::u16string FoldName(std::u16string_view name)
{
    std::u16string folded(name);
    for (auto &c : folded) {
        c = Fold(c);
    }
    return folded;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); i++) {
        if (Fold(a[i]) != Fold(b[i])) {
            return false;
        }
    }
    return true;
}

// Host paths and names come as UTF-8 from tests and tools.
std::u16string WidenArgument(const std::string &text)
{
    std::u16string wide;
    if (!detail::DecodeUtf8(text, &wide)) {
        throw std::invalid_argument("registry: \"" + text + "\" is not UTF-8");
    }
    return wide;
}

// A NUL-terminated 16-bit string of the driver, without its terminator.
std::u16string_view WideZ(PCWSTR text)
{
    if (text == nullptr) {
        return {};
    }
    size_t n = 0;
    while (text[n] != 0) {
        n++;
    }
    return std::u16string_view(text, n);
}

bool IsStringType(ULONG type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

const char *TypeName(ULONG type)
{
    switch (type) {
    case REG_NONE:
        return "REG_NONE";
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_BINARY:
        return "REG_BINARY";
    case REG_DWORD:
        return "REG_DWORD";
    case REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    default:
        return "a non-standard type";
    }
}

std::vector<uint8_t> StringBytes(const std::u16string &text)
{
    std::vector<uint8_t> bytes;
    bytes.reserve((text.size() + 1) * 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

//
// The store.
//
struct Value {
    std::u16string Name;
    ULONG Type;
    std::vector<uint8_t> Data;
};

struct Key;
using KeyPtr = std::shared_ptr<Key>;

struct Key {
    std::u16string Name;
    bool Volatile = false;
    bool Deleted = false;                   // removed from the tree; open handles now fail
    Key *Parent = nullptr;
    std::map<std::u16string, KeyPtr> Subkeys;   // by folded name, so in name order
    std::vector<Value> Values;              // in creation order
};

struct OpenHandle {
    KeyPtr Target;
    ACCESS_MASK Access;
};

// Handle values look like x86 kernel handles (high bit, multiples of 4).
constexpr uintptr_t kFirstHandle = 0x80000004u;

struct Registry {
    std::mutex Lock;
    KeyPtr Root = std::make_shared<Key>();
    std::map<uintptr_t, OpenHandle> Handles;
    uintptr_t NextHandle = kFirstHandle;    // never rewound, so stale handles stay invalid
};

Registry &Store()
{
    static Registry registry;
    return registry;
}

// The names of a key path below HKEY_LOCAL_MACHINE; the root is the empty list.
using KeyPath = std::vector<std::u16string>;

enum class PathKind { Machine, OtherRoot, Malformed };

// Splits "A\B" into names.  Strict parsing refuses empty names (doubled or
// trailing separators), as the object manager does; lenient parsing, for
// host paths, skips them.
bool SplitRelative(std::u16string_view text, bool lenient, KeyPath *names)
{
    size_t start = 0;
    for (;;) {
        size_t end = text.find(u'\\', start);
        std::u16string_view name = text.substr(start, end == std::u16string_view::npos ? end : end - start);
        if (name.empty()) {
            if (!lenient) {
                return false;
            }
        } else {
            names->emplace_back(name);
        }
        if (end == std::u16string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

// Splits an absolute path into the names below the machine root.  The
// kernel knows only "\Registry\Machine"; host paths may also use the .reg
// forms "HKEY_LOCAL_MACHINE" and "HKLM".
PathKind SplitAbsolute(std::u16string_view text, bool hostForm, KeyPath *names)
{
    static const std::u16string_view kKernelRoot = u"\\Registry\\Machine";
    static const std::u16string_view kHostRoots[] = {u"\\Registry\\Machine", u"HKEY_LOCAL_MACHINE", u"HKLM"};
    names->clear();
    const std::u16string_view *roots = hostForm ? kHostRoots : &kKernelRoot;
    size_t count = hostForm ? RTL_NUMBER_OF(kHostRoots) : 1;
    for (size_t i = 0; i < count; i++) {
        std::u16string_view root = roots[i];
        if (text.size() < root.size() || !EqualNoCase(text.substr(0, root.size()), root)) {
            continue;
        }
        std::u16string_view rest = text.substr(root.size());
        if (rest.empty()) {
            return PathKind::Machine;
        }
        if (rest[0] != u'\\') {
            continue;   // "HKLMX" is no root
        }
        rest.remove_prefix(1);
        if (rest.empty()) {
            return hostForm ? PathKind::Machine : PathKind::Malformed;
        }
        return SplitRelative(rest, hostForm, names) ? PathKind::Machine : PathKind::Malformed;
    }
    if (!hostForm && (text.empty() || text[0] != u'\\')) {
        return PathKind::Malformed;
    }
    return PathKind::OtherRoot;
}

// The rest of the store's helpers expect the caller to hold the lock.

KeyPtr FindChild(const Key &parent, std::u16string_view name)
{
    auto it = parent.Subkeys.find(FoldName(name));
    return it == parent.Subkeys.end() ? nullptr : it->second;
}

KeyPtr FindKey(KeyPtr key, const KeyPath &names, size_t count)
{
    for (size_t i = 0; i < count && key != nullptr; i++) {
        key = FindChild(*key, names[i]);
    }
    return key;
}

KeyPtr FindKey(const KeyPtr &from, const KeyPath &names)
{
    return FindKey(from, names, names.size());
}

KeyPtr AddChild(const KeyPtr &parent, const std::u16string &name, bool isVolatile)
{
    auto key = std::make_shared<Key>();
    key->Name = name;
    key->Volatile = isVolatile;
    key->Parent = parent.get();
    parent->Subkeys[FoldName(name)] = key;
    return key;
}

// Creates the key and its missing parents (host controls and .reg import).
KeyPtr CreatePath(KeyPtr key, const KeyPath &names)
{
    for (const auto &name : names) {
        KeyPtr child = FindChild(*key, name);
        key = child != nullptr ? child : AddChild(key, name, false);
    }
    return key;
}

void MarkDeleted(Key &key)
{
    key.Deleted = true;
    for (auto &child : key.Subkeys) {
        MarkDeleted(*child.second);
    }
}

// Removes a key and its subtree.  The root cannot go; it is emptied instead.
void DeleteTree(Registry &registry, const KeyPtr &key)
{
    if (key == registry.Root) {
        for (auto &child : key->Subkeys) {
            MarkDeleted(*child.second);
            child.second->Parent = nullptr;
        }
        key->Subkeys.clear();
        key->Values.clear();
        return;
    }
    MarkDeleted(*key);
    if (key->Parent != nullptr) {
        key->Parent->Subkeys.erase(FoldName(key->Name));
        key->Parent = nullptr;
    }
}

void DropVolatile(Key &key)
{
    for (auto it = key.Subkeys.begin(); it != key.Subkeys.end();) {
        if (it->second->Volatile) {
            MarkDeleted(*it->second);
            it->second->Parent = nullptr;
            it = key.Subkeys.erase(it);
        } else {
            DropVolatile(*it->second);
            ++it;
        }
    }
}

Value *FindValue(Key &key, std::u16string_view name)
{
    for (auto &value : key.Values) {
        if (EqualNoCase(value.Name, name)) {
            return &value;
        }
    }
    return nullptr;
}

// Replacing a value keeps its place and the case of its name.
void PutValue(Key &key, std::u16string_view name, ULONG type, std::vector<uint8_t> data)
{
    Value *value = FindValue(key, name);
    if (value != nullptr) {
        value->Type = type;
        value->Data = std::move(data);
    } else {
        key.Values.push_back(Value{std::u16string(name), type, std::move(data)});
    }
}

void RemoveValue(Key &key, std::u16string_view name)
{
    auto it = std::find_if(key.Values.begin(), key.Values.end(),
                           [&](const Value &value) { return EqualNoCase(value.Name, name); });
    if (it != key.Values.end()) {
        key.Values.erase(it);
    }
}

// "HKEY_LOCAL_MACHINE\A\B" (the .reg form) or "\Registry\Machine\A\B".
std::string KeyText(const Key *key, bool regForm)
{
    std::u16string path;
    for (; key != nullptr && key->Parent != nullptr; key = key->Parent) {
        path = u"\\" + key->Name + path;
    }
    return (regForm ? "HKEY_LOCAL_MACHINE" : "\\Registry\\Machine") + detail::EncodeUtf8(path);
}

// A host control's key, or null when the path is not under the machine root.
KeyPtr FindHostKey(Registry &registry, const std::string &keyPath)
{
    KeyPath names;
    if (SplitAbsolute(WidenArgument(keyPath), true, &names) != PathKind::Machine) {
        return nullptr;
    }
    return FindKey(registry.Root, names);
}

KeyPtr CreateHostKey(Registry &registry, const std::string &keyPath)
{
    KeyPath names;
    if (SplitAbsolute(WidenArgument(keyPath), true, &names) != PathKind::Machine) {
        throw std::invalid_argument("registry: \"" + keyPath + "\" is not a key of HKEY_LOCAL_MACHINE");
    }
    return CreatePath(registry.Root, names);
}

//
// The .reg text format.
//
const char kRegHeader[] = "Windows Registry Editor Version 5.00";
const char kRegHeader4[] = "REGEDIT4";

// One change a .reg file asks for, parsed before anything is applied.
struct RegOperation {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } Kind;
    KeyPath Path;
    std::u16string Name;
    ULONG Type = REG_NONE;
    std::vector<uint8_t> Data;
};

class RegParser {
public:
    explicit RegParser(std::vector<RegOperation> *operations) : m_operations(operations) {}

    // Parses the whole text; on an error returns false with "line N: reason".
    bool Parse(std::string text, std::string *error);

private:
    bool Fail(const std::string &reason)
    {
        m_error = "line " + std::to_string(m_line) + ": " + reason;
        return false;
    }
    bool ParseSection(std::string_view line);
    bool ParseValue(std::string_view line);
    bool ParseQuoted(std::string_view *text, std::string *out, const char *what);
    bool ParseHex(std::string_view text, ULONG type, std::vector<uint8_t> *data);
    bool Widen(const std::string &text, std::u16string *out, const char *what);

    std::vector<RegOperation> *m_operations;
    std::string m_error;
    size_t m_line = 0;
    bool m_regedit4 = false;
    bool m_inSection = false;
    bool m_deletedSection = false;
    KeyPath m_key;
};

std::string_view TrimLeft(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    return text;
}

std::string_view TrimRight(std::string_view text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::string_view Trim(std::string_view text)
{
    return TrimRight(TrimLeft(text));
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); i++) {
        if (tolower(static_cast<unsigned char>(text[i])) != tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// 1 to maxDigits hex digits, nothing else.
bool ParseHexNumber(std::string_view text, size_t maxDigits, ULONG *value)
{
    if (text.empty() || text.size() > maxDigits) {
        return false;
    }
    ULONG result = 0;
    for (char c : text) {
        int digit = HexDigit(c);
        if (digit < 0) {
            return false;
        }
        result = (result << 4) | static_cast<ULONG>(digit);
    }
    *value = result;
    return true;
}

std::string Shown(std::string_view text)
{
    return "'" + std::string(text.substr(0, 40)) + (text.size() > 40 ? "...'" : "'");
}

bool RegParser::Widen(const std::string &text, std::u16string *out, const char *what)
{
    if (!detail::DecodeUtf8(text, out)) {
        return Fail(std::string(what) + " is not valid UTF-8");
    }
    return true;
}

bool RegParser::Parse(std::string text, std::string *error)
{
    // Regedit writes UTF-16LE with a byte order mark; hand-written files are UTF-8.
    if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF && static_cast<unsigned char>(text[1]) == 0xFE) {
        bool even = text.size() % 2 == 0;
        std::u16string wide;
        for (size_t i = 2; i + 1 < text.size(); i += 2) {
            wide += static_cast<char16_t>(static_cast<unsigned char>(text[i]) |
                                          (static_cast<unsigned char>(text[i + 1]) << 8));
        }
        bool exact;
        text = detail::EncodeUtf8(wide, &exact);
        if (!exact || !even) {
            m_line = 1;
            Fail("the UTF-16 text is malformed");
            *error = m_error;
            return false;
        }
    } else if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text.erase(0, 3);
    }

    std::vector<std::string_view> lines;
    std::string_view rest = text;
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }

    bool header = false;
    for (size_t i = 0; i < lines.size(); i++) {
        m_line = i + 1;
        std::string_view line = Trim(lines[i]);
        if (!header) {
            if (line.empty()) {
                continue;
            }
            if (line == kRegHeader || line == kRegHeader4) {
                m_regedit4 = line == kRegHeader4;
                header = true;
                continue;
            }
            Fail(std::string("expected the header \"") + kRegHeader + "\" or \"" + kRegHeader4 + "\"");
            break;
        }
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            if (!ParseSection(line)) {
                break;
            }
            continue;
        }
        if (line[0] != '"' && line[0] != '@') {
            Fail("expected a [key] section, a value or a ; comment, found " + Shown(line));
            break;
        }
        // A value may go on over lines that end in a backslash (long hex data).
        std::string joined(line);
        while (!joined.empty() && joined.back() == '\\' && i + 1 < lines.size()) {
            joined.pop_back();
            joined += TrimRight(TrimLeft(lines[++i]));
        }
        if (!ParseValue(joined)) {
            break;
        }
    }
    if (m_error.empty() && !header) {
        m_line = std::max<size_t>(m_line, 1);
        Fail(std::string("expected the header \"") + kRegHeader + "\" or \"" + kRegHeader4 + "\"");
    }
    if (!m_error.empty()) {
        if (error != nullptr) {
            *error = m_error;
        }
        return false;
    }
    return true;
}

bool RegParser::ParseSection(std::string_view line)
{
    if (line.back() != ']') {
        return Fail("a key section must end with ']'");
    }
    std::string_view inner = line.substr(1, line.size() - 2);
    bool remove = !inner.empty() && inner[0] == '-';
    if (remove) {
        inner.remove_prefix(1);
    }
    if (inner.empty()) {
        return Fail("empty key name");
    }
    std::u16string wide;
    if (!Widen(std::string(inner), &wide, "the key name")) {
        return false;
    }
    KeyPath names;
    if (SplitAbsolute(wide, true, &names) != PathKind::Machine) {
        return Fail("key " + Shown(inner) + " is not under HKEY_LOCAL_MACHINE, the only root this registry holds");
    }
    if (remove && names.empty()) {
        return Fail("HKEY_LOCAL_MACHINE itself cannot be deleted");
    }
    m_operations->push_back(RegOperation{remove ? RegOperation::DeleteKey : RegOperation::CreateKey, names, {}, 0, {}});
    m_key = names;
    m_inSection = true;
    m_deletedSection = remove;
    return true;
}

// A "quoted" text with \\ and \" escapes; *text moves past the closing quote.
bool RegParser::ParseQuoted(std::string_view *text, std::string *out, const char *what)
{
    out->clear();
    for (size_t i = 1; i < text->size(); i++) {
        char c = (*text)[i];
        if (c == '"') {
            text->remove_prefix(i + 1);
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= text->size()) {
                break;
            }
            char next = (*text)[++i];
            if (next != '\\' && next != '"') {
                return Fail(std::string("unknown escape '\\") + next + "' in " + what +
                            " (only \\\\ and \\\" are escapes)");
            }
            c = next;
        }
        *out += c;
    }
    return Fail(std::string("unterminated quoted ") + what);
}

bool RegParser::ParseValue(std::string_view line)
{
    if (!m_inSection) {
        return Fail("value before any [key] section");
    }
    if (m_deletedSection) {
        return Fail("value in the section of a deleted key");
    }

    std::u16string name;
    std::string text;
    if (line[0] == '@') {
        line.remove_prefix(1);
    } else {
        if (!ParseQuoted(&line, &text, "value name") || !Widen(text, &name, "the value name")) {
            return false;
        }
    }
    line = TrimLeft(line);
    if (line.empty() || line[0] != '=') {
        return Fail("expected '=' after the value name");
    }
    line = Trim(line.substr(1));

    RegOperation operation{RegOperation::SetValue, m_key, name, REG_NONE, {}};
    if (line == "-") {
        operation.Kind = RegOperation::DeleteValue;
    } else if (!line.empty() && line[0] == '"') {
        std::u16string wide;
        if (!ParseQuoted(&line, &text, "string") || !Widen(text, &wide, "the string")) {
            return false;
        }
        if (!Trim(line).empty()) {
            return Fail("unexpected text " + Shown(Trim(line)) + " after the string");
        }
        operation.Type = REG_SZ;
        operation.Data = StringBytes(wide);
    } else if (StartsWithNoCase(line, "dword:")) {
        ULONG value;
        if (!ParseHexNumber(line.substr(6), 8, &value)) {
            return Fail("dword data must be 1 to 8 hex digits, found " + Shown(line.substr(6)));
        }
        operation.Type = REG_DWORD;
        for (int i = 0; i < 4; i++) {
            operation.Data.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
    } else if (StartsWithNoCase(line, "hex:")) {
        operation.Type = REG_BINARY;
        if (!ParseHex(line.substr(4), REG_BINARY, &operation.Data)) {
            return false;
        }
    } else if (StartsWithNoCase(line, "hex(")) {
        size_t close = line.find("):");
        if (close == std::string_view::npos || !ParseHexNumber(line.substr(4, close - 4), 8, &operation.Type)) {
            return Fail("expected hex(TYPE): with TYPE in hex, found " + Shown(line));
        }
        if (!ParseHex(line.substr(close + 2), operation.Type, &operation.Data)) {
            return false;
        }
    } else {
        return Fail("unrecognised value data " + Shown(line) +
                    " (expected \"string\", dword:, hex:, hex(TYPE): or -)");
    }
    m_operations->push_back(std::move(operation));
    return true;
}

// Comma-separated bytes.  In a REGEDIT4 file the string types are 8-bit
// text, widened here to the UTF-16 the store holds.
bool RegParser::ParseHex(std::string_view text, ULONG type, std::vector<uint8_t> *data)
{
    data->clear();
    text = Trim(text);
    if (!text.empty()) {
        for (;;) {
            size_t comma = text.find(',');
            std::string_view item = Trim(text.substr(0, comma));
            ULONG byte;
            if (!ParseHexNumber(item, 2, &byte)) {
                return Fail("expected a hex byte, found " + Shown(item));
            }
            data->push_back(static_cast<uint8_t>(byte));
            if (comma == std::string_view::npos) {
                break;
            }
            text = text.substr(comma + 1);
        }
    }
    if (m_regedit4 && IsStringType(type)) {
        std::vector<uint8_t> wide;
        for (uint8_t byte : *data) {
            wide.push_back(byte);
            wide.push_back(0);
        }
        *data = std::move(wide);
    }
    return true;
}

void ApplyOperations(Registry &registry, const std::vector<RegOperation> &operations)
{
    for (const auto &operation : operations) {
        switch (operation.Kind) {
        case RegOperation::CreateKey:
            CreatePath(registry.Root, operation.Path);
            break;
        case RegOperation::DeleteKey:
            if (KeyPtr key = FindKey(registry.Root, operation.Path)) {
                DeleteTree(registry, key);
            }
            break;
        case RegOperation::SetValue:
            PutValue(*CreatePath(registry.Root, operation.Path), operation.Name, operation.Type, operation.Data);
            break;
        case RegOperation::DeleteValue:
            if (KeyPtr key = FindKey(registry.Root, operation.Path)) {
                RemoveValue(*key, operation.Name);
            }
            break;
        }
    }
}

std::string EscapeQuoted(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

// A REG_SZ shown as "text" must come back byte for byte: one terminator
// at the very end, no other NUL, well-formed UTF-16 and no line breaks.
bool StringRoundTrips(const std::vector<uint8_t> &data, std::string *text)
{
    if (data.size() < 2 || data.size() % 2 != 0 || data[data.size() - 1] != 0 || data[data.size() - 2] != 0) {
        return false;
    }
    std::u16string wide;
    for (size_t i = 0; i + 2 < data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0 || c == u'\r' || c == u'\n') {
            return false;
        }
        wide += c;
    }
    bool exact;
    *text = detail::EncodeUtf8(wide, &exact);
    return exact;
}

// Regedit's layout: bytes after the prefix, lines of at most 80 columns
// continued with a backslash, continuation lines indented by two.
void AppendHex(std::string *out, std::string line, const std::vector<uint8_t> &data)
{
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < data.size(); i++) {
        std::string item{kDigits[data[i] >> 4], kDigits[data[i] & 15]};
        if (i + 1 < data.size()) {
            item += ',';
        }
        if (line.size() + item.size() + 1 > 80 && line != "  ") {
            *out += line + "\\\r\n";
            line = "  ";
        }
        line += item;
    }
    *out += line + "\r\n";
}

void ExportValue(std::string *out, const Value &value)
{
    std::string line = value.Name.empty() ? "@=" : EscapeQuoted(detail::EncodeUtf8(value.Name)) + "=";
    std::string text;
    if (value.Type == REG_SZ && StringRoundTrips(value.Data, &text)) {
        *out += line + EscapeQuoted(text) + "\r\n";
    } else if (value.Type == REG_DWORD && value.Data.size() == 4) {
        char number[16];
        ULONG dword = value.Data[0] | (value.Data[1] << 8) | (value.Data[2] << 16) | ((ULONG)value.Data[3] << 24);
        snprintf(number, sizeof(number), "dword:%08x", dword);
        *out += line + number + "\r\n";
    } else if (value.Type == REG_BINARY) {
        AppendHex(out, line + "hex:", value.Data);
    } else {
        char prefix[24];
        snprintf(prefix, sizeof(prefix), "hex(%x):", value.Type);
        AppendHex(out, line + prefix, value.Data);
    }
}

// Sections in tree order: a key, then its subkeys in name order.  The
// root's own section is written only when it holds values.
void ExportKey(std::string *out, const Key &key, bool isRoot)
{
    if (!isRoot || !key.Values.empty()) {
        *out += "\r\n[" + KeyText(&key, true) + "]\r\n";
        for (const auto &value : key.Values) {
            ExportValue(out, value);
        }
    }
    for (const auto &child : key.Subkeys) {
        ExportKey(out, *child.second, false);
    }
}

//
// RtlQueryRegistryValues.
//

// What a query entry delivers: a value of the key or the entry's default.
struct QueryData {
    std::u16string Name;
    ULONG Type;
    std::vector<uint8_t> Data;
};

ULONG EntryDefaultType(const RTL_QUERY_REGISTRY_TABLE &entry)
{
    // With TYPECHECK the top byte carries the expected type, not the default's.
    return (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) ? entry.DefaultType & 0x00FFFFFF : entry.DefaultType;
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
        memcpy(target, value.Data.data(), length);
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
    if (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) {
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
    bool typeChecked = (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) != 0;
    ULONG defaultType = EntryDefaultType(entry);
    // Without TYPECHECK the kernel writes whatever type the value has; a
    // string into a ULONG (or a number over a UNICODE_STRING) corrupts
    // the caller's memory.  The default's type tells what the caller holds.
    if (!typeChecked && defaultType != REG_NONE && IsStringType(defaultType) != IsStringType(value.Type)) {
        VerifierFail("RtlQueryRegistryValues: direct query of value %s: the value is %s but the entry's default is "
                     "%s; without RTL_QUERY_REGISTRY_TYPECHECK the kernel writes it into EntryContext as a %s",
                     Quoted(value.Name).c_str(), TypeName(value.Type), TypeName(defaultType),
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
    return (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) == 0 ||
           type == entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
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
    KeyPath names;
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
    KeyPath names;
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

//
// Host controls.
//

bool RegistryImport(const std::string &regText, std::string *error)
{
    std::vector<RegOperation> operations;
    RegParser parser(&operations);
    if (!parser.Parse(regText, error)) {
        return false;
    }
    Registry &registry = Store();
    std::lock_guard<std::mutex> lock(registry.Lock);
    ApplyOperations(registry, operations);
    if (error != nullptr) {
        error->clear();
    }
    return true;
}

std::string RegistryExport(const std::string &keyPath)
{
    Registry &registry = Store();
    std::lock_guard<std::mutex> lock(registry.Lock);
    std::string out = std::string(kRegHeader) + "\r\n";
    KeyPtr start = keyPath.empty() ? registry.Root : FindHostKey(registry, keyPath);
    if (start != nullptr) {
        ExportKey(&out, *start, start == registry.Root);
    }
    return out + "\r\n";
}

void RegistryClear()
{
    detail::ClearRegistry();
}

bool RegistryKeyExists(const std::string &keyPath)
{
    Registry &registry = Store();
    std::lock_guard<std::mutex> lock(registry.Lock);
    return FindHostKey(registry, keyPath) != nullptr;
}

void RegistryDeleteKey(const std::string &keyPath)
{
    Registry &registry = Store();
    std::lock_guard<std::mutex> lock(registry.Lock);
    if (KeyPtr key = FindHostKey(registry, keyPath)) {
        DeleteTree(registry, key);
    }
}

void RegistryDeleteValue(const std::string &keyPath, const std::string &valueName)
{
    Registry &registry = Store();
    std::lock_guard<std::mutex> lock(registry.Lock);
    if (KeyPtr key = FindHostKey(registry, keyPath)) {
        RemoveValue(*key, WidenArgument(valueName));
    }
}

void RegistrySetValue(const std::string &keyPath, const std::string &valueName, ULONG type,
                      const std::vector<uint8_t> &data)
{
    std::u16string name = WidenArgument(valueName);
    Registry &registry = Store();
    std::lock_guard<std::mutex> lock(registry.Lock);
    PutValue(*CreateHostKey(registry, keyPath), name, type, data);
}

bool RegistryGetValue(const std::string &keyPath, const std::string &valueName, ULONG *type,
                      std::vector<uint8_t> *data)
{
    std::u16string name = WidenArgument(valueName);
    Registry &registry = Store();
    std::lock_guard<std::mutex> lock(registry.Lock);
    KeyPtr key = FindHostKey(registry, keyPath);
    const Value *value = key != nullptr ? FindValue(*key, name) : nullptr;
    if (value == nullptr) {
        return false;
    }
    if (type != nullptr) {
        *type = value->Type;
    }
    if (data != nullptr) {
        *data = value->Data;
    }
    return true;
}

void RegistrySetDword(const std::string &keyPath, const std::string &valueName, ULONG value)
{
    std::vector<uint8_t> data(4);
    memcpy(data.data(), &value, 4);
    RegistrySetValue(keyPath, valueName, REG_DWORD, data);
}

bool RegistryGetDword(const std::string &keyPath, const std::string &valueName, ULONG *value)
{
    ULONG type;
    std::vector<uint8_t> data;
    if (!RegistryGetValue(keyPath, valueName, &type, &data) || type != REG_DWORD || data.size() != 4) {
        return false;
    }
    memcpy(value, data.data(), 4);
    return true;
}

void RegistrySetString(const std::string &keyPath, const std::string &valueName, const std::string &value)
{
    RegistrySetValue(keyPath, valueName, REG_SZ, StringBytes(WidenArgument(value)));
}

void RegistrySetMultiString(const std::string &keyPath, const std::string &valueName,
                            const std::vector<std::string> &values)
{
    std::vector<uint8_t> data;
    for (const auto &value : values) {
        if (value.empty()) {
            throw std::invalid_argument("registry: a REG_MULTI_SZ cannot hold an empty string");
        }
        auto bytes = StringBytes(WidenArgument(value));
        data.insert(data.end(), bytes.begin(), bytes.end());
    }
    data.push_back(0);
    data.push_back(0);
    RegistrySetValue(keyPath, valueName, REG_MULTI_SZ, data);
}

size_t OpenRegistryHandles()
{
    Registry &registry = Store();
    std::lock_guard<std::mutex> lock(registry.Lock);
    return registry.Handles.size();
}

namespace detail {

void RebootRegistry()
{
    Registry &registry = Store();
    std::lock_guard<std::mutex> lock(registry.Lock);
    registry.Handles.clear();
    DropVolatile(*registry.Root);
}

void ClearRegistry()
{
    Registry &registry = Store();
    std::lock_guard<std::mutex> lock(registry.Lock);
    DeleteTree(registry, registry.Root);
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
    const auto *bytes = static_cast<const uint8_t *>(Data);
    PutValue(*it->second.Target, name, Type, std::vector<uint8_t>(bytes, bytes + DataSize));
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
