// Large value buffers: series data, result records and working vectors of
// hundreds of thousands of values and more. glibc hands such blocks back to
// the kernel when they are freed, so a model called in a loop pays
// first-touch page faults for every buffer of every call. Here a block of
// LARGE_BUFFER_MIN_BYTES or more is a whole mapping (from HUGE_BUFFER_BYTES
// on 2 MiB-aligned and marked for transparent huge pages), and a freed one
// waits in a small cache of the freeing thread for the next request of its
// size. Each thread has its own cache, so no lock is taken; a block may be
// freed on another thread than the one that obtained it. What all threads
// keep together is bounded too (atomics, no lock): a thread that frees a
// block beyond that bound unmaps blocks of the least recently active
// threads first, so idle pool threads end up keeping little while a busy
// thread keeps what it reuses.
#pragma once

#include <cstddef>
#include <limits>
#include <new>
#include <vector>

namespace basinkit {

// Requests below this size go to operator new as usual.
inline constexpr std::size_t LARGE_BUFFER_MIN_BYTES = std::size_t{256} << 10;
// Requests from this size on get whole huge pages.
inline constexpr std::size_t HUGE_BUFFER_BYTES = std::size_t{4} << 20;
// What one thread keeps at most: a Muskingum call on 10^6 values needs two
// blocks, the baseflow model with three layers five, level pool routing seven.
inline constexpr std::size_t LARGE_BUFFER_CACHE_BLOCKS = 8;
inline constexpr std::size_t LARGE_BUFFER_CACHE_BYTES = std::size_t{64} << 20;
// What all threads keep together at most: two threads' full caches.
inline constexpr std::size_t LARGE_BUFFER_PROCESS_BYTES = 2 * LARGE_BUFFER_CACHE_BYTES;
// Threads that may keep blocks at once; further ones keep none.
inline constexpr std::size_t LARGE_BUFFER_CACHES = 256;

// A block of at least `bytes` (>= LARGE_BUFFER_MIN_BYTES), from the calling
// thread's cache or newly mapped; throws std::bad_alloc when none can be had.
void *large_buffer_acquire(std::size_t bytes);
// Gives back a block of large_buffer_acquire(bytes), on any thread.
void large_buffer_release(void *block, std::size_t bytes) noexcept;

// The calling thread's cache, for checks and measurements.
struct LargeBufferCacheState {
    std::size_t blocks;
    std::size_t bytes;
};
LargeBufferCacheState large_buffer_cache_state() noexcept;
// Bytes kept by all threads' caches together.
std::size_t large_buffer_kept_bytes() noexcept;
// Unmaps every block the calling thread keeps.
void large_buffer_cache_clear() noexcept;

template <class T> struct LargeBufferAllocator {
    using value_type = T;

    LargeBufferAllocator() noexcept = default;
    template <class U> LargeBufferAllocator(const LargeBufferAllocator<U> &) noexcept {}

    T *allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T))
            throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= LARGE_BUFFER_MIN_BYTES) return static_cast<T *>(large_buffer_acquire(bytes));
        return static_cast<T *>(::operator new(bytes));
    }
    void deallocate(T *p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= LARGE_BUFFER_MIN_BYTES)
            large_buffer_release(p, bytes);
        else
            ::operator delete(p, bytes);
    }

    friend bool operator==(const LargeBufferAllocator &, const LargeBufferAllocator &) noexcept {
        return true;
    }
};

// The value vector of every series and result record.
using Values = std::vector<double, LargeBufferAllocator<double>>;

} // namespace basinkit
