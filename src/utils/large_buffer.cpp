#include "utils/large_buffer.hpp"

#include <atomic>
#include <cstdint>

#if !defined(BASINKIT_PLAIN_LARGE_BUFFERS) && __has_include(<sys/mman.h>)
#include <sys/mman.h>
#define BASINKIT_MAPPED_LARGE_BUFFERS 1
#endif

namespace basinkit {

#ifdef BASINKIT_MAPPED_LARGE_BUFFERS

namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
// Granularity of the smaller blocks: sizes that differ by a few values
// still share a block.
constexpr std::size_t SMALL_GRAIN = std::size_t{64} << 10;

std::size_t round_up(std::size_t bytes) {
    const std::size_t grain = bytes < HUGE_BUFFER_BYTES ? SMALL_GRAIN : HUGE_PAGE;
    return (bytes + grain - 1) & ~(grain - 1);
}

std::size_t block_size(std::size_t bytes) {
    if (bytes > std::numeric_limits<std::size_t>::max() - 2 * HUGE_PAGE) throw std::bad_alloc();
    return round_up(bytes);
}

void *map_block(std::size_t size) {
    if (size < HUGE_BUFFER_BYTES) {
        void *block =
            mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) throw std::bad_alloc();
        return block;
    }
    // One huge page more than needed, so that an aligned start can be cut out
    // and the rest unmapped.
    const std::size_t span = size + HUGE_PAGE;
    void *raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + HUGE_PAGE - 1) & ~std::uintptr_t{HUGE_PAGE - 1};
    const std::size_t head = aligned - start;
    const std::size_t tail = span - head - size;
    if (head) munmap(raw, head);
    if (tail) munmap(reinterpret_cast<void *>(aligned + size), tail);
#ifdef MADV_HUGEPAGE
    // Only advice: without huge pages the block works the same.
    madvise(reinterpret_cast<void *>(aligned), size, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void *>(aligned);
}

// A thread's kept blocks. The caches live in one static table rather than in
// thread-local storage, so that any thread may take a block out of another
// thread's cache (when the process keeps too much) without a lock and
// without the cache going away under it when its thread exits. A slot holds
// a block's start with its size in 64 KiB units in the low bits (blocks are
// page-aligned and at most LARGE_BUFFER_CACHE_BYTES), 0 when empty; only the
// owner fills slots, anyone may empty one with a compare-and-swap.
static_assert(LARGE_BUFFER_CACHE_BYTES / SMALL_GRAIN < 4096);

struct alignas(64) Cache {
    std::atomic<std::uintptr_t> slots[LARGE_BUFFER_CACHE_BLOCKS];
    // When each slot was filled (owner's count): the owner reuses the newest
    // block and drops the oldest.
    std::uint64_t filled[LARGE_BUFFER_CACHE_BLOCKS];
    // The global use count at the owner's last acquire or release: the least
    // recently used cache gives up its blocks first.
    std::atomic<std::uint64_t> last_use;
    std::atomic<bool> owned;
};

Cache caches[LARGE_BUFFER_CACHES];
// Bytes kept in all caches together.
std::atomic<std::size_t> kept_bytes{0};
std::atomic<std::uint64_t> use_count{0};

std::uintptr_t pack(void *start, std::size_t size) {
    return reinterpret_cast<std::uintptr_t>(start) | (size / SMALL_GRAIN);
}
void *start_of(std::uintptr_t slot) {
    return reinterpret_cast<void *>(slot & ~std::uintptr_t{4095});
}
std::size_t size_of(std::uintptr_t slot) {
    return (slot & 4095) * SMALL_GRAIN;
}

// Empties the slot if it still holds `seen`; the block is then the caller's.
bool take(Cache &c, std::size_t i, std::uintptr_t seen) {
    if (!seen || !c.slots[i].compare_exchange_strong(seen, 0, std::memory_order_acq_rel))
        return false;
    kept_bytes.fetch_sub(size_of(seen), std::memory_order_relaxed);
    return true;
}

bool drop(Cache &c, std::size_t i) {
    const std::uintptr_t seen = c.slots[i].load(std::memory_order_acquire);
    if (!take(c, i, seen)) return false;
    munmap(start_of(seen), size_of(seen));
    return true;
}

struct Tally {
    std::size_t blocks = 0, bytes = 0;
    std::size_t oldest = LARGE_BUFFER_CACHE_BLOCKS; // index, or past the end when empty
};

// The owner's view of its cache (another thread may empty slots meanwhile).
Tally tally(const Cache &c) {
    Tally t;
    for (std::size_t i = 0; i < LARGE_BUFFER_CACHE_BLOCKS; ++i) {
        const std::uintptr_t s = c.slots[i].load(std::memory_order_relaxed);
        if (!s) continue;
        ++t.blocks;
        t.bytes += size_of(s);
        if (t.oldest == LARGE_BUFFER_CACHE_BLOCKS || c.filled[i] < c.filled[t.oldest]) t.oldest = i;
    }
    return t;
}

void clear(Cache &c) {
    for (std::size_t i = 0; i < LARGE_BUFFER_CACHE_BLOCKS; ++i) drop(c, i);
}

// Unmaps one block of the least recently used other cache; false when no
// other cache keeps any.
bool drop_from_idlest(const Cache *self) {
    Cache *idlest = nullptr;
    std::uint64_t idlest_use = 0;
    for (Cache &c : caches) {
        if (&c == self) continue;
        bool any = false;
        for (const auto &s : c.slots) any = any || s.load(std::memory_order_relaxed) != 0;
        const std::uint64_t use = c.last_use.load(std::memory_order_relaxed);
        if (any && (!idlest || use < idlest_use)) idlest = &c, idlest_use = use;
    }
    if (!idlest) return false;
    for (std::size_t i = 0; i < LARGE_BUFFER_CACHE_BLOCKS; ++i)
        if (drop(*idlest, i)) return true;
    return true; // emptied meanwhile by someone else: look again
}

struct Local {
    Cache *cache;
    std::uint64_t fills;
    bool closed; // the thread has exited: free blocks straight away
};
constinit thread_local Local local{};

// Gives the thread's blocks back when the thread ends.
struct CacheCloser {
    bool armed = false;
    ~CacheCloser() {
        if (Cache *c = local.cache) {
            clear(*c);
            c->owned.store(false, std::memory_order_release);
            local.cache = nullptr;
        }
        local.closed = true;
    }
};
thread_local CacheCloser closer;

// The calling thread's cache, claimed on its first release; null when every
// cache is taken (the thread then keeps nothing).
Cache *own_cache() {
    if (local.cache) return local.cache;
    for (Cache &c : caches) {
        bool free = false;
        if (c.owned.compare_exchange_strong(free, true, std::memory_order_acq_rel)) {
            // First use on this thread: registers the closer's destructor.
            closer.armed = true;
            return local.cache = &c;
        }
    }
    return nullptr;
}

} // namespace

void *large_buffer_acquire(std::size_t bytes) {
    const std::size_t size = block_size(bytes);
    if (Cache *c = local.cache) {
        c->last_use.store(use_count.fetch_add(1, std::memory_order_relaxed) + 1,
                          std::memory_order_relaxed);
        // Most recently freed first: the likeliest to be in the processor's
        // caches. Another thread may take a block meanwhile: then look again.
        for (;;) {
            std::size_t best = LARGE_BUFFER_CACHE_BLOCKS;
            std::uintptr_t seen = 0;
            for (std::size_t i = 0; i < LARGE_BUFFER_CACHE_BLOCKS; ++i) {
                const std::uintptr_t s = c->slots[i].load(std::memory_order_acquire);
                if (s && size_of(s) == size && (!seen || c->filled[i] > c->filled[best]))
                    best = i, seen = s;
            }
            if (!seen) break;
            if (take(*c, best, seen)) return start_of(seen);
        }
    }
    return map_block(size);
}

void large_buffer_release(void *block, std::size_t bytes) noexcept {
    if (!block) return;
    const std::size_t size = round_up(bytes);
    Cache *c = local.closed || size > LARGE_BUFFER_CACHE_BYTES ? nullptr : own_cache();
    if (!c) {
        munmap(block, size);
        return;
    }
    c->last_use.store(use_count.fetch_add(1, std::memory_order_relaxed) + 1,
                      std::memory_order_relaxed);
    // The thread's own bounds: the oldest blocks go first.
    for (Tally t = tally(*c);
         t.blocks == LARGE_BUFFER_CACHE_BLOCKS || t.bytes + size > LARGE_BUFFER_CACHE_BYTES;
         t = tally(*c))
        drop(*c, t.oldest);
    // The process's bound: the idlest threads' blocks go first, then this
    // thread's oldest; failing both, this block is not kept.
    while (kept_bytes.fetch_add(size, std::memory_order_relaxed) + size >
           LARGE_BUFFER_PROCESS_BYTES) {
        kept_bytes.fetch_sub(size, std::memory_order_relaxed);
        if (drop_from_idlest(c)) continue;
        if (const Tally t = tally(*c); t.blocks) {
            drop(*c, t.oldest);
            continue;
        }
        munmap(block, size);
        return;
    }
    // A free slot exists: only this thread fills them, and it made room.
    for (std::size_t i = 0; i < LARGE_BUFFER_CACHE_BLOCKS; ++i) {
        if (c->slots[i].load(std::memory_order_relaxed)) continue;
        c->filled[i] = ++local.fills;
        c->slots[i].store(pack(block, size), std::memory_order_release);
        return;
    }
}

LargeBufferCacheState large_buffer_cache_state() noexcept {
    if (!local.cache) return {0, 0};
    const Tally t = tally(*local.cache);
    return {t.blocks, t.bytes};
}

std::size_t large_buffer_kept_bytes() noexcept {
    return kept_bytes.load(std::memory_order_relaxed);
}

void large_buffer_cache_clear() noexcept {
    if (local.cache) clear(*local.cache);
}

#else

// Sanitizer builds (and systems without mmap): plain operator new, so that
// every access to a buffer is checked and a freed one is never handed out
// again early.

void *large_buffer_acquire(std::size_t bytes) {
    return ::operator new(bytes);
}

void large_buffer_release(void *block, std::size_t bytes) noexcept {
    ::operator delete(block, bytes);
}

LargeBufferCacheState large_buffer_cache_state() noexcept {
    return {0, 0};
}

std::size_t large_buffer_kept_bytes() noexcept {
    return 0;
}

void large_buffer_cache_clear() noexcept {}

#endif

} // namespace basinkit
