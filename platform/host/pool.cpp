/*++

Module Name:

    pool.cpp

Abstract:

    Pool and non-paged lookaside lists of the user-mode kernel, strict in
    the manner of a checked kernel with the driver verifier's pool
    tracking on:

      - every block is tracked by address with its tag, size, type and
        serial, so leaks are reported by tag and size;
      - a double free, a free of an address that is not a block (or points
        inside one), a free with the wrong tag, a paged allocation or free
        above APC_LEVEL and any pool call above DISPATCH_LEVEL are
        verifier failures naming the call;
      - a new block is filled with 0xCD (pool is never handed out zeroed),
        a freed block with 0xDF before it is released, and 16 guard bytes
        after each block are checked at the free (an overrun is a verifier
        failure);
      - freeing pool that still holds an active timer, a queued work item
        or an initialised lookaside list is a verifier failure;
      - allocations can be made to fail, the n-th from now or all of a tag.

    The host mutexes are never held while the verifier handler or a
    driver-supplied lookaside routine runs.

--*/

#include "coreinternal.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace host {
namespace {

constexpr unsigned char kNewFill = 0xCD;
constexpr unsigned char kFreedFill = 0xDF;
constexpr unsigned char kGuardFill = 0xFB;
constexpr size_t kGuardBytes = 16;
constexpr size_t kRecentFrees = 4096;   // freed blocks remembered to name a double free

struct Block {
    size_t Size;
    ULONG Tag;
    POOL_TYPE Type;
    uint64_t Serial;
};

struct FreedBlock {
    const void *Address;
    size_t Size;
    ULONG Tag;
    uint64_t Serial;
};

std::mutex g_poolMutex;
std::map<const void *, Block> g_blocks;       // ordered: a free can be matched to the block it points into
std::deque<FreedBlock> g_recentFrees;
uint64_t g_serial = 0;
uint64_t g_attempts = 0;

// Injection persists across a reboot (it is a host setting); ResetInjections clears it.
uint64_t g_failCountdown = 0;   // 0: off; 1: the next attempt fails
std::set<ULONG> g_failTags;

bool IsPaged(POOL_TYPE type)
{
    return (static_cast<int>(type) & 1) != 0;
}

const char *PoolTypeName(POOL_TYPE type)
{
    switch (type) {
    case NonPagedPool:
        return "NonPagedPool";
    case PagedPool:
        return "PagedPool";
    case NonPagedPoolMustSucceed:
        return "NonPagedPoolMustSucceed";
    case NonPagedPoolCacheAligned:
        return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned:
        return "PagedPoolCacheAligned";
    }
    return "an unknown pool type";
}

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

void Fail(const std::string &message)
{
    VerifierFail("%s", message.c_str());
}

bool GuardIntact(const void *p, size_t size)
{
    const unsigned char *guard = static_cast<const unsigned char *>(p) + size;
    for (size_t i = 0; i < kGuardBytes; i++) {
        if (guard[i] != kGuardFill) {
            return false;
        }
    }
    return true;
}

void ReleaseMemory(void *p, size_t size)
{
    memset(p, kFreedFill, size + kGuardBytes);
    free(p);
}

//
// Lookaside lists.  The list's state lives on the host side; the
// registry maps each state to the driver's NPAGED_LOOKASIDE_LIST that
// owns it, so a stale or garbage HostList pointer is never followed.
//
struct LookasideState {
    std::mutex Mutex;
    PNPAGED_LOOKASIDE_LIST Owner;
    size_t Size;
    ULONG Tag;
    size_t Depth;
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    std::vector<void *> Cache;
};

std::mutex g_lookasideMutex;
std::unordered_map<const void *, std::shared_ptr<LookasideState>> g_lookasides;   // by state address

std::shared_ptr<LookasideState> FindLookaside(PNPAGED_LOOKASIDE_LIST list)
{
    if (list == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(g_lookasideMutex);
    auto it = g_lookasides.find(list->HostList);
    if (it == g_lookasides.end() || it->second->Owner != list || list->Initialized == 0) {
        return nullptr;
    }
    return it->second;
}

// The lookaside list whose NPAGED_LOOKASIDE_LIST lies in [begin, begin + size), if any.
bool LookasideIn(const void *begin, size_t size)
{
    const char *b = static_cast<const char *>(begin);
    std::lock_guard<std::mutex> lock(g_lookasideMutex);
    for (const auto &entry : g_lookasides) {
        const char *owner = reinterpret_cast<const char *>(entry.second->Owner);
        if (owner >= b && owner < b + size) {
            return true;
        }
    }
    return false;
}

// Frees a block; call names the kernel routine for messages; checkTag
// says whether tag must match.
void FreeBlock(const char *call, PVOID p, ULONG tag, bool checkTag)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        Fail(Format("%s(%p) called above DISPATCH_LEVEL", call, p));
        return;
    }
    if (p == nullptr) {
        Fail(Format("%s(NULL): freeing a NULL pointer", call));
        return;
    }

    Block block;
    {
        std::unique_lock<std::mutex> lock(g_poolMutex);
        auto it = g_blocks.find(p);
        if (it == g_blocks.end()) {
            std::string message;
            auto after = g_blocks.upper_bound(p);
            if (after != g_blocks.begin()) {
                auto before = std::prev(after);
                const char *start = static_cast<const char *>(before->first);
                if (static_cast<const char *>(p) < start + before->second.Size) {
                    message = Format("%s(%p): the address points inside the '%s' pool block of %zu bytes at %p "
                                     "(serial %" PRIu64 "), not at its start",
                                     call, p, TagText(before->second.Tag).c_str(), before->second.Size,
                                     before->first, before->second.Serial);
                }
            }
            if (message.empty()) {
                for (auto freed = g_recentFrees.rbegin(); freed != g_recentFrees.rend(); ++freed) {
                    if (freed->Address == p) {
                        message = Format("%s(%p): double free of the '%s' pool block of %zu bytes (serial %" PRIu64
                                         "), already freed",
                                         call, p, TagText(freed->Tag).c_str(), freed->Size, freed->Serial);
                        break;
                    }
                }
            }
            if (message.empty()) {
                message = Format("%s(%p): the address is not an allocated pool block (double free or never "
                                 "allocated)",
                                 call, p);
            }
            lock.unlock();
            Fail(message);
            return;
        }
        block = it->second;
    }

    if (checkTag && block.Tag != tag) {
        Fail(Format("%s(%p, '%s'): wrong tag; the block (%zu bytes, serial %" PRIu64 ") was allocated with tag '%s'",
                    call, p, TagText(tag).c_str(), block.Size, block.Serial, TagText(block.Tag).c_str()));
        return;   // left allocated: the caller's idea of the block is wrong
    }
    if (IsPaged(block.Type) && KeGetCurrentIrql() > APC_LEVEL) {
        Fail(Format("%s(%p): paged pool ('%s') freed at DISPATCH_LEVEL; it may only be freed at or below APC_LEVEL",
                    call, p, TagText(block.Tag).c_str()));
        return;
    }
    if (const char *what = detail::ActiveObjectIn(p, block.Size)) {
        Fail(Format("%s(%p): freed pool containing %s ('%s' block of %zu bytes, serial %" PRIu64 ")", call, p, what,
                    TagText(block.Tag).c_str(), block.Size, block.Serial));
        return;
    }
    if (LookasideIn(p, block.Size)) {
        Fail(Format("%s(%p): freed pool containing an initialised lookaside list ('%s' block of %zu bytes)", call, p,
                    TagText(block.Tag).c_str(), block.Size));
        return;
    }
    if (!GuardIntact(p, block.Size)) {
        Fail(Format("%s(%p): pool overrun: bytes past the end of the '%s' block of %zu bytes (serial %" PRIu64
                    ") were written",
                    call, p, TagText(block.Tag).c_str(), block.Size, block.Serial));
        // freed all the same: the overrun is reported
    }

    {
        std::unique_lock<std::mutex> lock(g_poolMutex);
        auto it = g_blocks.find(p);
        if (it == g_blocks.end()) {
            lock.unlock();
            Fail(Format("%s(%p): the block was freed concurrently by another thread (double free)", call, p));
            return;
        }
        g_blocks.erase(it);
        g_recentFrees.push_back(FreedBlock{p, block.Size, block.Tag, block.Serial});
        if (g_recentFrees.size() > kRecentFrees) {
            g_recentFrees.pop_front();
        }
    }
    ReleaseMemory(p, block.Size);
}

} // namespace

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; i++) {
        unsigned char c = static_cast<unsigned char>(tag >> (8 * i));
        text += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    return text;
}

size_t PoolOutstanding()
{
    std::lock_guard<std::mutex> lock(g_poolMutex);
    return g_blocks.size();
}

size_t PoolOutstanding(ULONG tag)
{
    std::lock_guard<std::mutex> lock(g_poolMutex);
    size_t count = 0;
    for (const auto &entry : g_blocks) {
        count += entry.second.Tag == tag;
    }
    return count;
}

std::vector<PoolBlock> PoolBlocks()
{
    std::vector<PoolBlock> blocks;
    {
        std::lock_guard<std::mutex> lock(g_poolMutex);
        blocks.reserve(g_blocks.size());
        for (const auto &entry : g_blocks) {
            blocks.push_back(
                PoolBlock{entry.first, entry.second.Size, entry.second.Tag, entry.second.Type, entry.second.Serial});
        }
    }
    std::sort(blocks.begin(), blocks.end(),
              [](const PoolBlock &a, const PoolBlock &b) { return a.Serial < b.Serial; });
    return blocks;
}

std::string PoolReport()
{
    std::string report;
    for (const PoolBlock &block : PoolBlocks()) {
        report += Format("'%s' %zu bytes, serial %" PRIu64 ", %s, at %p\n", TagText(block.Tag).c_str(), block.Size,
                         block.Serial, PoolTypeName(block.Type), block.Address);
    }
    return report;
}

uint64_t PoolAllocationCount()
{
    std::lock_guard<std::mutex> lock(g_poolMutex);
    return g_attempts;
}

void PoolFailNth(uint64_t n)
{
    std::lock_guard<std::mutex> lock(g_poolMutex);
    g_failCountdown = n;
}

void PoolFailTag(ULONG tag)
{
    std::lock_guard<std::mutex> lock(g_poolMutex);
    g_failTags.insert(tag);
}

void PoolClearFailures()
{
    std::lock_guard<std::mutex> lock(g_poolMutex);
    g_failCountdown = 0;
    g_failTags.clear();
}

namespace detail {

void ResetInjections()
{
    PoolClearFailures();
}

void RebootPool()
{
    {
        std::lock_guard<std::mutex> lock(g_lookasideMutex);
        g_lookasides.clear();
    }
    std::map<const void *, Block> blocks;
    {
        std::lock_guard<std::mutex> lock(g_poolMutex);
        blocks.swap(g_blocks);
        g_recentFrees.clear();
        g_serial = 0;
        g_attempts = 0;
    }
    for (const auto &entry : blocks) {
        ReleaseMemory(const_cast<void *>(entry.first), entry.second.Size);
    }
}

} // namespace detail
} // namespace host

using namespace host;

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        VerifierFail("ExAllocatePoolWithTag('%s', %zu bytes) called above DISPATCH_LEVEL", TagText(Tag).c_str(),
                     static_cast<size_t>(NumberOfBytes));
        return nullptr;
    }
    if (IsPaged(PoolType) && irql > APC_LEVEL) {
        VerifierFail("ExAllocatePoolWithTag(%s, '%s', %zu bytes) called at DISPATCH_LEVEL; paged pool may only be "
                     "allocated at or below APC_LEVEL",
                     PoolTypeName(PoolType), TagText(Tag).c_str(), static_cast<size_t>(NumberOfBytes));
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(g_poolMutex);
        g_attempts++;
        bool fail = g_failTags.count(Tag) != 0;
        if (g_failCountdown != 0 && --g_failCountdown == 0) {
            fail = true;
        }
        if (fail) {
            return nullptr;
        }
    }

    size_t alignment = (PoolType == NonPagedPoolCacheAligned || PoolType == PagedPoolCacheAligned) ? 64 : 16;
    void *p = nullptr;
    if (posix_memalign(&p, alignment, NumberOfBytes + kGuardBytes) != 0) {
        return nullptr;
    }
    memset(p, kNewFill, NumberOfBytes);
    memset(static_cast<char *>(p) + NumberOfBytes, kGuardFill, kGuardBytes);

    std::lock_guard<std::mutex> lock(g_poolMutex);
    g_blocks[p] = Block{NumberOfBytes, Tag, PoolType, ++g_serial};
    for (auto it = g_recentFrees.begin(); it != g_recentFrees.end();) {
        it = it->Address == p ? g_recentFrees.erase(it) : std::next(it);
    }
    return p;
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    // A zero tag asks for no check, as ExFreePool.
    FreeBlock("ExFreePoolWithTag", P, Tag, Tag != 0);
}

extern "C" VOID NTAPI ExFreePool(PVOID P)
{
    FreeBlock("ExFreePool", P, 0, false);
}

//
// Lookaside lists.
//

extern "C" VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                                      PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                                      USHORT Depth)
{
    UNREFERENCED_PARAMETER(Flags);
    detail::RequireAtMostDispatch("ExInitializeNPagedLookasideList");
    if (Lookaside == nullptr) {
        VerifierFail("ExInitializeNPagedLookasideList(NULL)");
        return;
    }
    if (FindLookaside(Lookaside) != nullptr) {
        VerifierFail("ExInitializeNPagedLookasideList(%p): the list is already initialised and not deleted",
                     (void *)Lookaside);
        return;
    }
    auto state = std::make_shared<LookasideState>();
    state->Owner = Lookaside;
    state->Size = Size;
    state->Tag = Tag;
    state->Depth = Depth != 0 ? Depth : 4;
    state->Allocate = Allocate;
    state->Free = Free;

    memset(Lookaside, 0, sizeof(*Lookaside));
    Lookaside->HostList = state.get();
    Lookaside->Size = static_cast<ULONG>(Size);
    Lookaside->Tag = Tag;
    Lookaside->Depth = static_cast<USHORT>(state->Depth);
    Lookaside->Initialized = 1;
    Lookaside->Allocate = Allocate;
    Lookaside->Free = Free;

    std::lock_guard<std::mutex> lock(g_lookasideMutex);
    g_lookasides[state.get()] = state;
}

extern "C" VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    detail::RequireAtMostDispatch("ExDeleteNPagedLookasideList");
    std::shared_ptr<LookasideState> state = FindLookaside(Lookaside);
    if (state == nullptr) {
        VerifierFail("ExDeleteNPagedLookasideList(%p): the list is not initialised (or already deleted)",
                     (void *)Lookaside);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_lookasideMutex);
        g_lookasides.erase(state.get());
    }
    Lookaside->Initialized = 0;
    Lookaside->HostList = nullptr;

    std::vector<void *> cached;
    {
        std::lock_guard<std::mutex> lock(state->Mutex);
        cached.swap(state->Cache);
    }
    for (void *entry : cached) {
        if (state->Free != nullptr) {
            state->Free(entry);
        } else {
            ExFreePoolWithTag(entry, state->Tag);
        }
    }
}

extern "C" PVOID NTAPI ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    detail::RequireAtMostDispatch("ExAllocateFromNPagedLookasideList");
    std::shared_ptr<LookasideState> state = FindLookaside(Lookaside);
    if (state == nullptr) {
        VerifierFail("ExAllocateFromNPagedLookasideList(%p): the list is not initialised (or was deleted)",
                     (void *)Lookaside);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(state->Mutex);
        if (!state->Cache.empty()) {
            void *entry = state->Cache.back();
            state->Cache.pop_back();
            return entry;
        }
    }
    if (state->Allocate != nullptr) {
        return state->Allocate(NonPagedPool, state->Size, state->Tag);
    }
    return ExAllocatePoolWithTag(NonPagedPool, state->Size, state->Tag);
}

extern "C" VOID NTAPI ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    detail::RequireAtMostDispatch("ExFreeToNPagedLookasideList");
    std::shared_ptr<LookasideState> state = FindLookaside(Lookaside);
    if (state == nullptr) {
        VerifierFail("ExFreeToNPagedLookasideList(%p, %p): the list is not initialised (or was deleted)",
                     (void *)Lookaside, Entry);
        return;
    }
    if (Entry == nullptr) {
        VerifierFail("ExFreeToNPagedLookasideList(%p, NULL): freeing a NULL entry", (void *)Lookaside);
        return;
    }
    if (state->Allocate == nullptr) {
        // The entry must be a live pool block of the list's tag and large enough.
        std::string message;
        {
            std::lock_guard<std::mutex> lock(g_poolMutex);
            auto it = g_blocks.find(Entry);
            if (it == g_blocks.end()) {
                message = Format("ExFreeToNPagedLookasideList(%p, %p): the entry is not an allocated pool block "
                                 "(double free or foreign pointer)",
                                 (void *)Lookaside, Entry);
            } else if (it->second.Tag != state->Tag || it->second.Size < state->Size) {
                message = Format("ExFreeToNPagedLookasideList(%p, %p): the entry is a '%s' block of %zu bytes, not "
                                 "an entry of this '%s' list of %zu bytes",
                                 (void *)Lookaside, Entry, TagText(it->second.Tag).c_str(), it->second.Size,
                                 TagText(state->Tag).c_str(), state->Size);
            }
        }
        if (!message.empty()) {
            Fail(message);
            return;
        }
    }
    if (const char *what = detail::ActiveObjectIn(Entry, state->Size)) {
        VerifierFail("ExFreeToNPagedLookasideList(%p, %p): freed an entry containing %s", (void *)Lookaside, Entry,
                     what);
        return;
    }
    {
        std::unique_lock<std::mutex> lock(state->Mutex);
        for (void *cached : state->Cache) {
            if (cached == Entry) {
                lock.unlock();
                VerifierFail("ExFreeToNPagedLookasideList(%p, %p): double free; the entry is already on the list",
                             (void *)Lookaside, Entry);
                return;
            }
        }
        if (state->Cache.size() < state->Depth) {
            memset(Entry, kFreedFill, state->Size);
            state->Cache.push_back(Entry);
            return;
        }
    }
    if (state->Free != nullptr) {
        state->Free(Entry);
    } else {
        ExFreePoolWithTag(Entry, state->Tag);
    }
}
