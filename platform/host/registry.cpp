/*++

Module Name:

    registry.cpp

Abstract:

    The registry's key store, and the host controls that read and change
    it directly.  registryinternal.h describes the store.

--*/

#include "registryinternal.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace host {
namespace reg {

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

// Names mostly match letter for letter where they match at all: only
// letters that differ are folded.
bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    const char16_t *x = a.data(), *y = b.data();
    for (size_t i = 0; i < a.size(); i++) {
        if (x[i] != y[i] && Fold(x[i]) != Fold(y[i])) {
            return false;
        }
    }
    return true;
}

bool FoldedLess::operator()(std::u16string_view a, std::u16string_view b) const
{
    const size_t common = std::min(a.size(), b.size());
    const char16_t *x = a.data(), *y = b.data();
    for (size_t i = 0; i < common; i++) {
        if (x[i] == y[i]) {
            continue;
        }
        const char16_t foldedX = Fold(x[i]), foldedY = Fold(y[i]);
        if (foldedX != foldedY) {
            return foldedX < foldedY;
        }
    }
    return a.size() < b.size();
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
Registry &Store()
{
    static Registry registry;
    return registry;
}

// Splits "A\B" into names.  Strict parsing refuses empty names (doubled or
// trailing separators), as the object manager does; lenient parsing, for
// host paths, skips them.
template <typename Names> bool SplitRelative(std::u16string_view text, bool lenient, Names *names)
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
template <typename Names> PathKind SplitAbsolute(std::u16string_view text, bool hostForm, Names *names)
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
    auto it = parent.Subkeys.find(name);
    return it == parent.Subkeys.end() ? nullptr : it->second;
}

template <typename Names> KeyPtr FindKey(KeyPtr key, const Names &names, size_t count)
{
    for (size_t i = 0; i < count && key != nullptr; i++) {
        key = FindChild(*key, names[i]);
    }
    return key;
}

template bool SplitRelative(std::u16string_view, bool, KeyPath *);
template bool SplitRelative(std::u16string_view, bool, KeyNames *);
template PathKind SplitAbsolute(std::u16string_view, bool, KeyPath *);
template PathKind SplitAbsolute(std::u16string_view, bool, KeyNames *);
template KeyPtr FindKey(KeyPtr, const KeyPath &, size_t);
template KeyPtr FindKey(KeyPtr, const KeyNames &, size_t);

KeyPtr AddChild(const KeyPtr &parent, std::u16string_view name, bool isVolatile)
{
    auto key = std::make_shared<Key>();
    key->Name = name;
    key->Volatile = isVolatile;
    key->Parent = parent.get();
    parent->Subkeys[FoldName(name)] = key;
    return key;
}

// Creates the key and its missing parents (host controls and .reg import).
KeyPtr CreatePath(KeyPtr key, const KeyNames &names)
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
    const std::u16string wide = WidenArgument(keyPath);
    KeyNames names;
    if (SplitAbsolute(wide, true, &names) != PathKind::Machine) {
        return nullptr;
    }
    return FindKey(registry.Root, names);
}

KeyPtr CreateHostKey(Registry &registry, const std::string &keyPath)
{
    const std::u16string wide = WidenArgument(keyPath);
    KeyNames names;
    if (SplitAbsolute(wide, true, &names) != PathKind::Machine) {
        throw std::invalid_argument("registry: \"" + keyPath + "\" is not a key of HKEY_LOCAL_MACHINE");
    }
    return CreatePath(registry.Root, names);
}

} // namespace reg

using namespace reg;

//
// Host controls.
//

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
