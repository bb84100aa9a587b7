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
        a freed block with 0xDF before it is released, and guard bytes
        before and after each block (0xFB) are checked when it is freed,
        when a lookaside list takes an entry back, and by the verifier's
        sweep (host::PoolVerify, run at every reboot): an overrun or
        underrun is a verifier failure even for a block never freed;
      - freeing pool that still holds an active timer, a queued work item
        or an initialised lookaside list is a verifier failure;
      - a lookaside list takes back only live pool blocks of its tag and
        size, and an entry it caches is neither freed to it again nor
        freed as pool;
      - allocations can be made to fail, the n-th from now or all of a tag;
      - a block of a tag declared foreign (pool a framework hands over
        without promising its type) freed above APC_LEVEL is a verifier
        failure, as paged pool would be;
      - on request, a freed block is handed to the next allocation of its
        size at the same address, as the real pool's per-size lists do,
        so that code telling records apart by address alone is caught.

    The host mutexes are never held while the verifier handler or a
    driver-supplied lookaside routine runs.

--*/

#include "coreinternal.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace host {
namespace {

constexpr unsigned char kNewFill = 0xCD;
constexpr unsigned char kFreedFill = 0xDF;
constexpr unsigned char kGuardFill = 0xFB;
constexpr size_t kGuardBytes = 16;       // after each block; before it, as many as its alignment
constexpr size_t kRecentFrees = 4096;   // freed blocks remembered to name a double free

struct LookasideState;

struct Block {
    size_t Size;
    ULONG Tag;
    POOL_TYPE Type;
    uint64_t Serial;
    size_t Front;   // guard bytes before the block: the block keeps its alignment
    // The lookaside list that handed the block out or holds it in its
    // cache, if one did: the only list whose entry table may name it.
    LookasideState *Lookaside;
};

struct FreedBlock {
    const void *Address;
    size_t Size;
    ULONG Tag;
    uint64_t Serial;
};

std::mutex g_poolMutex;
std::map<const void *, Block> g_blocks;       // ordered: a free can be matched to the block it points into
// The newest free at each address of the last kRecentFrees frees, found
// by address: every allocation forgets its address's entry, so a scan
// of them all would cost every allocation thousands of comparisons.
// The order of frees holds each one's address and serial; an entry whose
// address was freed again since (another serial) names nothing.
std::unordered_map<const void *, FreedBlock> g_recentFrees;
std::deque<std::pair<const void *, uint64_t>> g_recentOrder;
uint64_t g_serial = 0;
uint64_t g_attempts = 0;

// Injection persists across a reboot (it is a host setting); ResetInjections clears it.
uint64_t g_failCountdown = 0;   // 0: off; 1: the next attempt fails
std::set<ULONG> g_failTags;

// Tags of the pool a framework hands to drivers without promising its
// type (a host setting, like injection).
std::set<ULONG> g_foreignTags;

// With reuse on, freed memory is kept, newest last, and handed to the
// next allocation of the same size and alignment, as the real pool's
// per-size free lists do; off, it goes back to the C library at once.
struct ReusableBlock {
    void *Address;
    size_t Size;
    size_t Front;
};
bool g_reuseFreed = false;
std::vector<ReusableBlock> g_reusable;

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

size_t FrontGuardBytes(POOL_TYPE type)
{
    return (type == NonPagedPoolCacheAligned || type == PagedPoolCacheAligned) ? 64 : 16;
}

bool FillIntact(const unsigned char *bytes, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        if (bytes[i] != kGuardFill) {
            return false;
        }
    }
    return true;
}

// What damage the guards of a block show: nullptr when none, else
// "overrun", "underrun" or "underrun and overrun".
const char *GuardDamage(const void *p, size_t size, size_t front)
{
    const unsigned char *block = static_cast<const unsigned char *>(p);
    bool under = !FillIntact(block - front, front);
    bool over = !FillIntact(block + size, kGuardBytes);
    return under ? (over ? "underrun and overrun" : "underrun") : (over ? "overrun" : nullptr);
}

std::string DamageMessage(const char *call, const void *p, const char *damage, ULONG tag, size_t size,
                          uint64_t serial)
{
    const char *where = strcmp(damage, "overrun") == 0    ? "past the end of"
                        : strcmp(damage, "underrun") == 0 ? "before the start of"
                                                          : "before the start of and past the end of";
    std::string serialText = serial != 0 ? Format(" (serial %" PRIu64 ")", serial) : std::string();
    return Format("%s(%p): pool %s: bytes %s the '%s' block of %zu bytes%s were written", call, p, damage, where,
                  TagText(tag).c_str(), size, serialText.c_str());
}

void LayGuards(void *p, size_t size, size_t front)
{
    memset(static_cast<char *>(p) - front, kGuardFill, front);
    memset(static_cast<char *>(p) + size, kGuardFill, kGuardBytes);
}

void ReleaseMemory(void *p, size_t size, size_t front)
{
    char *base = static_cast<char *>(p) - front;
    memset(base, kFreedFill, front + size + kGuardBytes);
    free(base);
}

//
// Lookaside lists.  A list's state lives on the host side, in slabs that
// are never freed: a deleted list's state is only marked dead (no owner)
// and reused by a later list.  A HostList pointer is therefore checked
// against the slabs and then against the state's owner, so a stale or
// garbage one is never followed, and no global table is consulted on the
// per-request path.
//
// Locks: g_lookasideMutex (creation, deletion, reboot) is taken before a
// list's lock; under a list's lock only the clock's mutex may be taken
// (to look for active objects in an entry), and never another list's lock
// or g_poolMutex.
//

// The lock of one list.  Its critical sections are a few instructions
// long; taking it costs one atomic exchange where a std::mutex costs two
// locked operations.
class ListLock {
public:
    void lock()
    {
        while (locked_.exchange(true, std::memory_order_acquire)) {
            while (locked_.load(std::memory_order_relaxed)) {
                std::this_thread::yield();
            }
        }
    }
    void unlock() { locked_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> locked_{false};
};

// The entries a list knows by address: those it handed out (lists whose
// entries are pool, which are checked without a pool lookup when they come
// back) and those in its cache (a second free of one is a double free).
// Each keeps the entry's pool block size (0 when unknown), so the guards
// of an entry coming back are checked without a pool lookup.  Open
// addressing with linear probing and backward-shift deletion: the
// per-request path allocates nothing and leaves no tombstones.
class EntryTable {
public:
    enum State : unsigned char { Unknown, HandedOut, Cached };

    State Find(const void *entry, size_t *blockSize = nullptr) const
    {
        if (count_ == 0) {
            return Unknown;
        }
        for (size_t i = Home(entry);; i = (i + 1) & mask_) {
            if (slots_[i].Entry == entry) {
                if (blockSize != nullptr) {
                    *blockSize = slots_[i].Size;
                }
                return slots_[i].Value;
            }
            if (slots_[i].Entry == nullptr) {
                return Unknown;
            }
        }
    }

    // blockSize 0 keeps what is known of a listed entry.
    void Set(const void *entry, State state, size_t blockSize = 0)
    {
        if (count_ != 0) {
            size_t i = Home(entry);
            while (slots_[i].Entry != nullptr) {
                if (slots_[i].Entry == entry) {
                    slots_[i].Value = state;
                    if (blockSize != 0) {
                        slots_[i].Size = blockSize;
                    }
                    return;
                }
                i = (i + 1) & mask_;
            }
        }
        if ((count_ + 1) * 2 > slots_.size()) {
            Grow();
        }
        size_t i = Home(entry);
        while (slots_[i].Entry != nullptr) {
            i = (i + 1) & mask_;
        }
        slots_[i] = Slot{entry, state, blockSize};
        count_++;
    }

    void Erase(const void *entry)
    {
        if (count_ == 0) {
            return;
        }
        size_t hole = Home(entry);
        while (slots_[hole].Entry != entry) {
            if (slots_[hole].Entry == nullptr) {
                return;
            }
            hole = (hole + 1) & mask_;
        }
        // Moves back each later entry of the run that may not sit after the hole.
        for (size_t i = (hole + 1) & mask_; slots_[i].Entry != nullptr; i = (i + 1) & mask_) {
            size_t home = Home(slots_[i].Entry);
            bool reachable = hole <= i ? (home > hole && home <= i) : (home > hole || home <= i);
            if (!reachable) {
                slots_[hole] = slots_[i];
                hole = i;
            }
        }
        slots_[hole] = Slot{nullptr, Unknown, 0};
        count_--;
    }

    void Clear()
    {
        std::fill(slots_.begin(), slots_.end(), Slot{nullptr, Unknown, 0});
        count_ = 0;
    }

private:
    struct Slot {
        const void *Entry;
        State Value;
        size_t Size;
    };

    size_t Home(const void *entry) const
    {
        uint64_t hash = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(entry)) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(hash >> 32) & mask_;
    }

    void Grow()
    {
        std::vector<Slot> old(std::max<size_t>(slots_.size() * 2, 16), Slot{nullptr, Unknown, 0});
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        count_ = 0;
        for (const Slot &slot : old) {
            if (slot.Entry != nullptr) {
                Set(slot.Entry, slot.Value, slot.Size);
            }
        }
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t count_ = 0;
};

struct LookasideState {
    ListLock Lock;
    // The list this state belongs to, nullptr while unused.  Written under
    // both g_lookasideMutex and Lock; read under either.
    PNPAGED_LOOKASIDE_LIST Owner = nullptr;
    size_t Size = 0;
    ULONG Tag = 0;
    size_t Depth = 0;
    PALLOCATE_FUNCTION Allocate = nullptr;
    PFREE_FUNCTION Free = nullptr;
    uint64_t Generation = 0;     // counts the lists that have used the state
    std::vector<void *> Cache;   // reserved to the depth at initialisation
    EntryTable Entries;

    // Entries are pool blocks of the list's tag, allocated by the list.
    bool PoolBacked() const { return Allocate == nullptr; }
};

constexpr size_t kFirstSlab = 16;   // slab k holds kFirstSlab << k states
constexpr size_t kSlabs = 24;

std::mutex g_lookasideMutex;
std::atomic<LookasideState *> g_slabs[kSlabs];   // filled in order, under g_lookasideMutex
std::vector<LookasideState *> g_unusedLookasides;

size_t SlabLength(size_t slab)
{
    return kFirstSlab << slab;
}

// The state a HostList value points at, if it points at one at all.
LookasideState *StateAt(const void *handle)
{
    uintptr_t at = reinterpret_cast<uintptr_t>(handle);
    for (size_t k = 0; k < kSlabs; k++) {
        LookasideState *slab = g_slabs[k].load(std::memory_order_acquire);
        if (slab == nullptr) {
            break;
        }
        uintptr_t begin = reinterpret_cast<uintptr_t>(slab);
        if (at >= begin && at - begin < SlabLength(k) * sizeof(LookasideState)) {
            size_t offset = at - begin;
            return offset % sizeof(LookasideState) == 0 ? &slab[offset / sizeof(LookasideState)] : nullptr;
        }
    }
    return nullptr;
}

// Calls visit on every state ever made (g_lookasideMutex held).
template <typename Visit>
void ForEachState(Visit visit)
{
    for (size_t k = 0; k < kSlabs; k++) {
        LookasideState *slab = g_slabs[k].load(std::memory_order_relaxed);
        if (slab == nullptr) {
            return;
        }
        for (size_t i = 0; i < SlabLength(k); i++) {
            visit(&slab[i]);
        }
    }
}

// An unused state, a new slab's when none is left (g_lookasideMutex held).
LookasideState *TakeUnusedState()
{
    if (g_unusedLookasides.empty()) {
        size_t k = 0;
        while (k < kSlabs && g_slabs[k].load(std::memory_order_relaxed) != nullptr) {
            k++;
        }
        if (k == kSlabs) {
            return nullptr;
        }
        LookasideState *slab = new LookasideState[SlabLength(k)];   // never freed: see above
        for (size_t i = SlabLength(k); i-- > 0;) {
            g_unusedLookasides.push_back(&slab[i]);
        }
        g_slabs[k].store(slab, std::memory_order_release);
    }
    LookasideState *state = g_unusedLookasides.back();
    g_unusedLookasides.pop_back();
    return state;
}

// The state of list, locked, or nullptr (nothing locked) when list is not
// an initialised list.
LookasideState *LockLookaside(PNPAGED_LOOKASIDE_LIST list)
{
    if (list == nullptr) {
        return nullptr;
    }
    LookasideState *state = StateAt(list->HostList);
    if (state == nullptr) {
        return nullptr;
    }
    state->Lock.lock();
    if (state->Owner != list || list->Initialized == 0) {
        state->Lock.unlock();
        return nullptr;
    }
    return state;
}

// The lookaside list whose NPAGED_LOOKASIDE_LIST lies in [begin, begin + size), if any.
bool LookasideIn(const void *begin, size_t size)
{
    const char *b = static_cast<const char *>(begin);
    bool found = false;
    std::lock_guard<std::mutex> lock(g_lookasideMutex);
    ForEachState([&](const LookasideState *state) {
        const char *owner = reinterpret_cast<const char *>(state->Owner);
        found = found || (owner != nullptr && owner >= b && owner < b + size);
    });
    return found;
}

// Checks an entry that a list whose entries are pool did not hand out,
// and takes it over for the list: it must be a live pool block of the
// list's tag and at least its size, and not one another list caches (a
// double free); another list that handed it out forgets it.  No list lock
// is held.  Returns the failure, empty when the entry is fine; *blockSize
// is the block's size when its guards lie where a list entry's do.
std::string ClaimForeignEntry(PNPAGED_LOOKASIDE_LIST list, LookasideState *state, ULONG tag, size_t size,
                              const void *entry, size_t *blockSize)
{
    *blockSize = 0;
    LookasideState *previous = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_poolMutex);
        auto it = g_blocks.find(entry);
        if (it == g_blocks.end()) {
            return Format("ExFreeToNPagedLookasideList(%p, %p): the entry is not an allocated pool block "
                          "(double free or foreign pointer)",
                          (void *)list, entry);
        }
        if (it->second.Tag != tag || it->second.Size < size) {
            return Format("ExFreeToNPagedLookasideList(%p, %p): the entry is a '%s' block of %zu bytes, not an entry "
                          "of this '%s' list of %zu bytes",
                          (void *)list, entry, TagText(it->second.Tag).c_str(), it->second.Size,
                          TagText(tag).c_str(), size);
        }
        previous = it->second.Lookaside;
    }
    if (previous != nullptr && previous != state) {
        std::lock_guard<ListLock> lock(previous->Lock);
        if (previous->Entries.Find(entry) == EntryTable::Cached) {
            return Format("ExFreeToNPagedLookasideList(%p, %p): double free; the entry is cached on lookaside list %p",
                          (void *)list, entry, (void *)previous->Owner);
        }
        previous->Entries.Erase(entry);
    }
    std::lock_guard<std::mutex> lock(g_poolMutex);
    auto it = g_blocks.find(entry);
    if (it == g_blocks.end()) {
        return Format("ExFreeToNPagedLookasideList(%p, %p): the entry was freed concurrently by another thread "
                      "(double free)",
                      (void *)list, entry);
    }
    it->second.Lookaside = state;
    if (it->second.Front == FrontGuardBytes(NonPagedPool)) {
        *blockSize = it->second.Size;
    }
    return std::string();
}

// Says what a pointer that is no live block is: the inside of one, a
// block freed lately, or nothing the pool knows (g_poolMutex held).
std::string UnknownBlockMessage(const char *call, const void *p)
{
    auto after = g_blocks.upper_bound(p);
    if (after != g_blocks.begin()) {
        auto before = std::prev(after);
        const char *start = static_cast<const char *>(before->first);
        if (static_cast<const char *>(p) < start + before->second.Size) {
            return Format("%s(%p): the address points inside the '%s' pool block of %zu bytes at %p "
                          "(serial %" PRIu64 "), not at its start",
                          call, p, TagText(before->second.Tag).c_str(), before->second.Size, before->first,
                          before->second.Serial);
        }
    }
    auto freed = g_recentFrees.find(p);
    if (freed != g_recentFrees.end()) {
        return Format("%s(%p): double free of the '%s' pool block of %zu bytes (serial %" PRIu64 "), already freed",
                      call, p, TagText(freed->second.Tag).c_str(), freed->second.Size, freed->second.Serial);
    }
    return Format("%s(%p): the address is not an allocated pool block (double free or never allocated)", call, p);
}

// Why a live block may not be freed here, empty when it may: a wrong
// tag, paged or foreign pool at DISPATCH_LEVEL, or an object still in use
// inside it.  No pool lock is held.
std::string FreeRefusal(const char *call, PVOID p, const Block &block, ULONG tag, bool checkTag)
{
    if (checkTag && block.Tag != tag) {
        return Format("%s(%p, '%s'): wrong tag; the block (%zu bytes, serial %" PRIu64 ") was allocated with tag '%s'",
                      call, p, TagText(tag).c_str(), block.Size, block.Serial, TagText(block.Tag).c_str());
    }
    if (IsPaged(block.Type) && KeGetCurrentIrql() > APC_LEVEL) {
        return Format("%s(%p): paged pool ('%s') freed at DISPATCH_LEVEL; it may only be freed at or below APC_LEVEL",
                      call, p, TagText(block.Tag).c_str());
    }
    bool foreign;
    {
        std::lock_guard<std::mutex> lock(g_poolMutex);
        foreign = g_foreignTags.count(block.Tag) != 0;
    }
    if (foreign && KeGetCurrentIrql() > APC_LEVEL) {
        return Format("%s(%p): the '%s' block was allocated by another component, which does not promise non-paged "
                      "pool; freed at DISPATCH_LEVEL it may be paged pool",
                      call, p, TagText(block.Tag).c_str());
    }
    if (const char *what = detail::ActiveObjectIn(p, block.Size)) {
        return Format("%s(%p): freed pool containing %s ('%s' block of %zu bytes, serial %" PRIu64 ")", call, p, what,
                      TagText(block.Tag).c_str(), block.Size, block.Serial);
    }
    if (LookasideIn(p, block.Size)) {
        return Format("%s(%p): freed pool containing an initialised lookaside list ('%s' block of %zu bytes)", call, p,
                      TagText(block.Tag).c_str(), block.Size);
    }
    return std::string();
}

// Frees a block; call names the kernel routine for messages; checkTag
// says whether tag must match.  A refused free leaves the block allocated:
// the caller's idea of it is wrong.
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
            std::string message = UnknownBlockMessage(call, p);
            lock.unlock();
            Fail(message);
            return;
        }
        block = it->second;
    }

    std::string refusal = FreeRefusal(call, p, block, tag, checkTag);
    if (!refusal.empty()) {
        Fail(refusal);
        return;
    }
    if (block.Lookaside != nullptr) {
        // A list that handed the block out forgets it, so that the address
        // is a stranger to the list once it is reused; one that still
        // caches it would hand out freed memory.
        LookasideState *state = block.Lookaside;
        std::unique_lock<ListLock> lock(state->Lock);
        if (state->Entries.Find(p) == EntryTable::Cached) {
            const void *owner = state->Owner;
            lock.unlock();
            Fail(Format("%s(%p): the '%s' block is an entry cached on lookaside list %p; it was freed to the list "
                        "already (double free)",
                        call, p, TagText(block.Tag).c_str(), owner));
            return;
        }
        state->Entries.Erase(p);
    }
    if (const char *damage = GuardDamage(p, block.Size, block.Front)) {
        Fail(DamageMessage(call, p, damage, block.Tag, block.Size, block.Serial));
        // freed all the same: the damage is reported
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
        g_recentFrees[p] = FreedBlock{p, block.Size, block.Tag, block.Serial};
        g_recentOrder.emplace_back(p, block.Serial);
        if (g_recentOrder.size() > kRecentFrees) {
            auto oldest = g_recentFrees.find(g_recentOrder.front().first);
            if (oldest != g_recentFrees.end() && oldest->second.Serial == g_recentOrder.front().second) {
                g_recentFrees.erase(oldest);
            }
            g_recentOrder.pop_front();
        }
        if (g_reuseFreed) {
            memset(static_cast<char *>(p) - block.Front, kFreedFill, block.Front + block.Size + kGuardBytes);
            g_reusable.push_back(ReusableBlock{p, block.Size, block.Front});
            return;
        }
    }
    ReleaseMemory(p, block.Size, block.Front);
}

// The newest freed block of this size and alignment, when reuse is on
// (g_poolMutex held).
void *TakeReusable(size_t size, size_t front)
{
    for (auto it = g_reusable.rbegin(); it != g_reusable.rend(); ++it) {
        if (it->Size == size && it->Front == front) {
            void *p = it->Address;
            g_reusable.erase(std::next(it).base());
            return p;
        }
    }
    return nullptr;
}

// Gives the kept freed blocks back to the C library.
void ReleaseReusable()
{
    std::vector<ReusableBlock> blocks;
    {
        std::lock_guard<std::mutex> lock(g_poolMutex);
        blocks.swap(g_reusable);
    }
    for (const ReusableBlock &block : blocks) {
        ReleaseMemory(block.Address, block.Size, block.Front);
    }
}

// ExAllocatePoolWithTag; list is the lookaside list the block is
// allocated for, if any.
void *AllocateBlock(POOL_TYPE type, size_t size, ULONG tag, LookasideState *list)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        VerifierFail("ExAllocatePoolWithTag('%s', %zu bytes) called above DISPATCH_LEVEL", TagText(tag).c_str(), size);
        return nullptr;
    }
    if (IsPaged(type) && irql > APC_LEVEL) {
        VerifierFail("ExAllocatePoolWithTag(%s, '%s', %zu bytes) called at DISPATCH_LEVEL; paged pool may only be "
                     "allocated at or below APC_LEVEL",
                     PoolTypeName(type), TagText(tag).c_str(), size);
        return nullptr;
    }
    bool siteFails = detail::PoolSiteFails(tag, size);
    {
        std::lock_guard<std::mutex> lock(g_poolMutex);
        g_attempts++;
        bool fail = siteFails || g_failTags.count(tag) != 0;
        if (g_failCountdown != 0 && --g_failCountdown == 0) {
            fail = true;
        }
        if (fail) {
            return nullptr;
        }
    }

    size_t front = FrontGuardBytes(type);
    char *p;
    void *reused;
    {
        std::lock_guard<std::mutex> lock(g_poolMutex);
        reused = g_reuseFreed ? TakeReusable(size, front) : nullptr;
    }
    if (reused != nullptr) {
        p = static_cast<char *>(reused);
    } else {
        void *base = nullptr;
        if (posix_memalign(&base, front, front + size + kGuardBytes) != 0) {
            return nullptr;
        }
        p = static_cast<char *>(base) + front;
    }
    memset(p, kNewFill, size);
    LayGuards(p, size, front);

    std::lock_guard<std::mutex> lock(g_poolMutex);
    g_blocks[p] = Block{size, tag, type, ++g_serial, front, list};
    g_recentFrees.erase(p);
    return p;
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

bool PoolBlockAt(const void *address, size_t size, PoolBlock *block)
{
    std::lock_guard<std::mutex> lock(g_poolMutex);
    auto it = g_blocks.upper_bound(address);
    if (it == g_blocks.begin()) {
        return false;
    }
    --it;
    auto begin = reinterpret_cast<uintptr_t>(it->first);
    auto at = reinterpret_cast<uintptr_t>(address);
    if (at < begin || at + size > begin + it->second.Size) {
        return false;
    }
    if (block != nullptr) {
        *block = PoolBlock{it->first, it->second.Size, it->second.Tag, it->second.Type, it->second.Serial};
    }
    return true;
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

size_t PoolVerify(std::vector<std::string> *found)
{
    std::vector<std::string> damaged;
    {
        std::lock_guard<std::mutex> lock(g_poolMutex);
        for (const auto &entry : g_blocks) {
            const Block &block = entry.second;
            if (const char *damage = GuardDamage(entry.first, block.Size, block.Front)) {
                damaged.push_back(DamageMessage("pool sweep", entry.first, damage, block.Tag, block.Size,
                                                block.Serial));
            }
        }
    }
    size_t count = damaged.size();
    for (std::string &message : damaged) {
        message += "; the block is still allocated";
        if (found != nullptr) {
            found->push_back(std::move(message));
        } else {
            Fail(message);
        }
    }
    return count;
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

void PoolReuseFreedBlocks(bool on)
{
    {
        std::lock_guard<std::mutex> lock(g_poolMutex);
        g_reuseFreed = on;
    }
    if (!on) {
        ReleaseReusable();
    }
}

void PoolForeignTag(ULONG tag)
{
    std::lock_guard<std::mutex> lock(g_poolMutex);
    g_foreignTags.insert(tag);
}

namespace detail {

void ResetInjections()
{
    PoolClearFailures();
    PoolReuseFreedBlocks(false);
    std::lock_guard<std::mutex> lock(g_poolMutex);
    g_foreignTags.clear();
}

void RebootPool()
{
    {
        std::lock_guard<std::mutex> lock(g_lookasideMutex);
        g_unusedLookasides.clear();
        ForEachState([](LookasideState *state) {
            std::lock_guard<ListLock> listLock(state->Lock);
            state->Owner = nullptr;
            state->Cache.clear();
            state->Entries.Clear();
            g_unusedLookasides.push_back(state);
        });
        std::reverse(g_unusedLookasides.begin(), g_unusedLookasides.end());   // the first states first
    }
    std::map<const void *, Block> blocks;
    {
        std::lock_guard<std::mutex> lock(g_poolMutex);
        blocks.swap(g_blocks);
        g_recentFrees.clear();
        g_recentOrder.clear();
        g_serial = 0;
        g_attempts = 0;
    }
    for (const auto &entry : blocks) {
        ReleaseMemory(const_cast<void *>(entry.first), entry.second.Size, entry.second.Front);
    }
    ReleaseReusable();
}

} // namespace detail
} // namespace host

using namespace host;

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return AllocateBlock(PoolType, NumberOfBytes, Tag, nullptr);
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
    if (LookasideState *live = LockLookaside(Lookaside)) {
        live->Lock.unlock();
        VerifierFail("ExInitializeNPagedLookasideList(%p): the list is already initialised and not deleted",
                     (void *)Lookaside);
        return;
    }
    {
        std::lock_guard<std::mutex> registry(g_lookasideMutex);
        LookasideState *state = TakeUnusedState();
        if (state != nullptr) {
            std::lock_guard<ListLock> lock(state->Lock);
            state->Size = Size;
            state->Tag = Tag;
            state->Depth = Depth != 0 ? Depth : 4;
            state->Allocate = Allocate;
            state->Free = Free;
            state->Cache.clear();
            state->Cache.reserve(state->Depth);
            state->Entries.Clear();
            state->Generation++;

            memset(Lookaside, 0, sizeof(*Lookaside));
            Lookaside->HostList = state;
            Lookaside->Size = static_cast<ULONG>(Size);
            Lookaside->Tag = Tag;
            Lookaside->Depth = static_cast<USHORT>(state->Depth);
            Lookaside->Initialized = 1;
            Lookaside->Allocate = Allocate;
            Lookaside->Free = Free;
            state->Owner = Lookaside;
            return;
        }
    }
    VerifierFail("ExInitializeNPagedLookasideList(%p): too many lookaside lists at once", (void *)Lookaside);
}

extern "C" VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    detail::RequireAtMostDispatch("ExDeleteNPagedLookasideList");
    std::vector<void *> cached;
    PFREE_FUNCTION freeRoutine = nullptr;
    ULONG tag = 0;
    bool deleted = false;
    {
        std::lock_guard<std::mutex> registry(g_lookasideMutex);
        if (LookasideState *state = LockLookaside(Lookaside)) {
            std::lock_guard<ListLock> lock(state->Lock, std::adopt_lock);
            state->Owner = nullptr;
            state->Entries.Clear();
            cached.swap(state->Cache);
            freeRoutine = state->Free;
            tag = state->Tag;
            Lookaside->Initialized = 0;
            Lookaside->HostList = nullptr;
            g_unusedLookasides.push_back(state);
            deleted = true;
        }
    }
    if (!deleted) {
        VerifierFail("ExDeleteNPagedLookasideList(%p): the list is not initialised (or already deleted)",
                     (void *)Lookaside);
        return;
    }
    for (void *entry : cached) {
        if (freeRoutine != nullptr) {
            freeRoutine(entry);
        } else {
            ExFreePoolWithTag(entry, tag);
        }
    }
}

extern "C" PVOID NTAPI ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    detail::RequireAtMostDispatch("ExAllocateFromNPagedLookasideList");
    LookasideState *state = LockLookaside(Lookaside);
    if (state == nullptr) {
        VerifierFail("ExAllocateFromNPagedLookasideList(%p): the list is not initialised (or was deleted)",
                     (void *)Lookaside);
        return nullptr;
    }
    std::unique_lock<ListLock> lock(state->Lock, std::adopt_lock);
    if (!state->Cache.empty()) {
        void *entry = state->Cache.back();
        state->Cache.pop_back();
        if (state->PoolBacked()) {
            state->Entries.Set(entry, EntryTable::HandedOut);
        } else {
            state->Entries.Erase(entry);
        }
        return entry;
    }
    PALLOCATE_FUNCTION allocate = state->Allocate;
    size_t size = state->Size;
    ULONG tag = state->Tag;
    uint64_t generation = state->Generation;
    lock.unlock();

    if (allocate != nullptr) {
        return allocate(NonPagedPool, size, tag);
    }
    void *entry = AllocateBlock(NonPagedPool, size, tag, state);
    if (entry != nullptr) {
        lock.lock();
        if (state->Generation == generation && state->Owner == Lookaside) {   // not deleted meanwhile
            state->Entries.Set(entry, EntryTable::HandedOut, size);
        }
    }
    return entry;
}

extern "C" VOID NTAPI ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    detail::RequireAtMostDispatch("ExFreeToNPagedLookasideList");
    LookasideState *state = LockLookaside(Lookaside);
    if (state == nullptr) {
        VerifierFail("ExFreeToNPagedLookasideList(%p, %p): the list is not initialised (or was deleted)",
                     (void *)Lookaside, Entry);
        return;
    }
    std::unique_lock<ListLock> lock(state->Lock, std::adopt_lock);
    if (Entry == nullptr) {
        lock.unlock();
        VerifierFail("ExFreeToNPagedLookasideList(%p, NULL): freeing a NULL entry", (void *)Lookaside);
        return;
    }
    size_t blockSize = 0;
    EntryTable::State known = state->Entries.Find(Entry, &blockSize);
    if (known == EntryTable::Unknown && state->PoolBacked()) {
        // Not an entry the list handed out: the full checks, with the list
        // unlocked, and then the list takes it over.
        ULONG tag = state->Tag;
        size_t size = state->Size;
        lock.unlock();
        std::string message = ClaimForeignEntry(Lookaside, state, tag, size, Entry, &blockSize);
        if (!message.empty()) {
            Fail(message);
            return;
        }
        state = LockLookaside(Lookaside);
        if (state == nullptr) {
            VerifierFail("ExFreeToNPagedLookasideList(%p, %p): the list was deleted during the call", (void *)Lookaside,
                         Entry);
            return;
        }
        lock = std::unique_lock<ListLock>(state->Lock, std::adopt_lock);
        known = state->Entries.Find(Entry);
    }
    if (blockSize != 0) {
        if (const char *damage = GuardDamage(Entry, blockSize, FrontGuardBytes(NonPagedPool))) {
            // Reported (once the list is unlocked) and taken back all the
            // same, with its guards laid again so that no later check
            // reports the same damage.
            std::string message =
                DamageMessage("ExFreeToNPagedLookasideList", Entry, damage, state->Tag, blockSize, 0);
            LayGuards(Entry, blockSize, FrontGuardBytes(NonPagedPool));
            lock.unlock();
            Fail(message);
            ExFreeToNPagedLookasideList(Lookaside, Entry);
            return;
        }
    }
    if (known == EntryTable::Cached) {
        lock.unlock();
        VerifierFail("ExFreeToNPagedLookasideList(%p, %p): double free; the entry is already on the list",
                     (void *)Lookaside, Entry);
        return;
    }
    if (const char *what = detail::ActiveObjectIn(Entry, state->Size)) {
        lock.unlock();
        VerifierFail("ExFreeToNPagedLookasideList(%p, %p): freed an entry containing %s", (void *)Lookaside, Entry,
                     what);
        return;
    }
    if (state->Cache.size() < state->Depth) {
        memset(Entry, kFreedFill, state->Size);
        state->Cache.push_back(Entry);
        state->Entries.Set(Entry, EntryTable::Cached, blockSize);
        return;
    }
    state->Entries.Erase(Entry);
    PFREE_FUNCTION freeRoutine = state->Free;
    ULONG tag = state->Tag;
    lock.unlock();
    if (freeRoutine != nullptr) {
        freeRoutine(Entry);
    } else {
        ExFreePoolWithTag(Entry, tag);
    }
}
