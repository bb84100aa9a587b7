/*++

Module Name:

    registryinternal.h

Abstract:

    What the registry's modules share: the key store (registry.cpp), the
    .reg text format (registryformat.cpp) and the kernel's registry calls
    (registrycalls.cpp).

    The store holds HKEY_LOCAL_MACHINE only.  Key and value names compare
    case-insensitively and keep the case they were created with.  Subkeys
    enumerate in name order and values in creation order, as the kernel
    enumerates them.  Strings are stored as the kernel stores them:
    UTF-16LE with their terminator.  CurrentControlSet is an ordinary key
    here, not a link to a numbered control set.

    The store survives a reboot; open handles and volatile keys do not.
    Handle numbers are never reused, so a handle kept across a reboot or
    after its close is always recognised as invalid.

    Helpers that walk or change the store expect the caller to hold
    Store().Lock.

--*/

#pragma once

#include "hostinternal.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace host {
namespace reg {

//
// Text.
//
char16_t Fold(char16_t c);
std::u16string FoldName(std::u16string_view name);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
// Host paths and names come as UTF-8 from tests and tools; throws on bad UTF-8.
std::u16string WidenArgument(const std::string &text);
// A NUL-terminated 16-bit string of the driver, without its terminator.
std::u16string_view WideZ(PCWSTR text);
bool IsStringType(ULONG type);
const char *TypeName(ULONG type);
// UTF-16LE bytes of a text with its terminator.
std::vector<uint8_t> StringBytes(const std::u16string &text);

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

// Orders names as their folded forms order, folding as it compares, so
// that a lookup needs no folded copy of the name it looks for.
struct FoldedLess {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const;
};

struct Key {
    std::u16string Name;
    bool Volatile = false;
    bool Deleted = false;                   // removed from the tree; open handles now fail
    Key *Parent = nullptr;
    std::map<std::u16string, KeyPtr, FoldedLess> Subkeys;   // by folded name, so in name order
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

Registry &Store();

// The names of a key path below HKEY_LOCAL_MACHINE; the root is the empty
// list.  A path kept for later owns its names; one split to be looked up
// at once views them in the text it came from, which must outlive it.
using KeyPath = std::vector<std::u16string>;
using KeyNames = std::vector<std::u16string_view>;

enum class PathKind { Machine, OtherRoot, Malformed };

// Names is KeyPath or KeyNames.
template <typename Names> bool SplitRelative(std::u16string_view text, bool lenient, Names *names);
template <typename Names> PathKind SplitAbsolute(std::u16string_view text, bool hostForm, Names *names);
KeyPtr FindChild(const Key &parent, std::u16string_view name);
template <typename Names> KeyPtr FindKey(KeyPtr key, const Names &names, size_t count);
template <typename Names> KeyPtr FindKey(const KeyPtr &from, const Names &names)
{
    return FindKey(from, names, names.size());
}
KeyPtr AddChild(const KeyPtr &parent, std::u16string_view name, bool isVolatile);
KeyPtr CreatePath(KeyPtr key, const KeyNames &names);
void DeleteTree(Registry &registry, const KeyPtr &key);
void DropVolatile(Key &key);
Value *FindValue(Key &key, std::u16string_view name);
void PutValue(Key &key, std::u16string_view name, ULONG type, std::vector<uint8_t> data);
void RemoveValue(Key &key, std::u16string_view name);
std::string KeyText(const Key *key, bool regForm);
KeyPtr FindHostKey(Registry &registry, const std::string &keyPath);
KeyPtr CreateHostKey(Registry &registry, const std::string &keyPath);

} // namespace reg
} // namespace host
