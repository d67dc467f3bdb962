#include "utils/large_buffer.hpp"

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

struct Block {
    void *start;
    std::size_t size;
};

// Oldest first. Trivially destructible, so it stays readable while the
// thread's other thread_local objects are destroyed; `closed` is set once
// the thread's blocks have been unmapped at its exit.
struct Cache {
    Block blocks[LARGE_BUFFER_CACHE_BLOCKS];
    std::size_t count;
    std::size_t bytes;
    bool closed;
};
constinit thread_local Cache cache{};

void drop_oldest() {
    munmap(cache.blocks[0].start, cache.blocks[0].size);
    cache.bytes -= cache.blocks[0].size;
    for (std::size_t i = 1; i < cache.count; ++i) cache.blocks[i - 1] = cache.blocks[i];
    --cache.count;
}

void clear() {
    while (cache.count) drop_oldest();
}

// Unmaps the thread's blocks when the thread ends.
struct CacheCloser {
    bool armed = false;
    ~CacheCloser() {
        clear();
        cache.closed = true;
    }
};
thread_local CacheCloser closer;

} // namespace

void *large_buffer_acquire(std::size_t bytes) {
    const std::size_t size = block_size(bytes);
    // Most recently freed first: the likeliest to be in the processor's caches.
    for (std::size_t i = cache.count; i-- > 0;) {
        if (cache.blocks[i].size != size) continue;
        void *block = cache.blocks[i].start;
        for (std::size_t j = i + 1; j < cache.count; ++j) cache.blocks[j - 1] = cache.blocks[j];
        --cache.count;
        cache.bytes -= size;
        return block;
    }
    return map_block(size);
}

void large_buffer_release(void *block, std::size_t bytes) noexcept {
    if (!block) return;
    const std::size_t size = round_up(bytes);
    if (cache.closed || size > LARGE_BUFFER_CACHE_BYTES) {
        munmap(block, size);
        return;
    }
    // First use on this thread: registers the closer's destructor.
    closer.armed = true;
    while (cache.count == LARGE_BUFFER_CACHE_BLOCKS ||
           cache.bytes + size > LARGE_BUFFER_CACHE_BYTES)
        drop_oldest();
    cache.blocks[cache.count++] = {block, size};
    cache.bytes += size;
}

LargeBufferCacheState large_buffer_cache_state() noexcept {
    return {cache.count, cache.bytes};
}

void large_buffer_cache_clear() noexcept {
    clear();
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

void large_buffer_cache_clear() noexcept {}

#endif

} // namespace basinkit
