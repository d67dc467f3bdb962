#include "check.hpp"

#include "utils/large_buffer.hpp"

#include <barrier>
#include <cerrno>
#include <cstdint>
#include <sys/mman.h>
#include <thread>
#include <vector>

using namespace basinkit;

namespace {
constexpr std::size_t MIB = std::size_t{1} << 20;
constexpr std::size_t MILLION = 1'000'000;

} // namespace

#ifdef BASINKIT_PLAIN_LARGE_BUFFERS

// Sanitizer builds: every buffer comes from operator new and nothing is kept.
TEST(large_buffer_plain_in_sanitizer_builds) {
    {
        Values v(MILLION, 2.0);
        v[MILLION - 1] = 3.0;
        CHECK_BITS(v[0] + v[MILLION - 1], 5.0);
    }
    CHECK_EQ(large_buffer_cache_state().blocks, 0u);
    CHECK_EQ(large_buffer_cache_state().bytes, 0u);
}

#else

namespace {

bool huge_page_aligned(const void *p) {
    return reinterpret_cast<std::uintptr_t>(p) % (2 * MIB) == 0;
}

// Whether the page at `p` still belongs to the process.
bool mapped(const void *p) {
    unsigned char resident;
    void *page = const_cast<void *>(p);
    return mincore(page, 4096, &resident) == 0 || errno != ENOMEM;
}

} // namespace

TEST(large_buffer_freed_block_is_handed_out_again) {
    large_buffer_cache_clear();
    void *a = large_buffer_acquire(8 * MIB - 3);
    CHECK(huge_page_aligned(a));
    large_buffer_release(a, 8 * MIB - 3);
    CHECK_EQ(large_buffer_cache_state().blocks, 1u);
    CHECK_EQ(large_buffer_cache_state().bytes, 8 * MIB);
    // Any request that rounds to the same whole huge pages takes it.
    void *b = large_buffer_acquire(7 * MIB);
    CHECK(b == a);
    CHECK_EQ(large_buffer_cache_state().blocks, 0u);
    // Another size does not.
    large_buffer_release(b, 7 * MIB);
    void *c = large_buffer_acquire(5 * MIB);
    CHECK(c != a);
    CHECK(huge_page_aligned(c));
    large_buffer_release(c, 5 * MIB);
    CHECK_EQ(large_buffer_cache_state().blocks, 2u);
    // Blocks below the huge-page size are kept by 64 KiB.
    void *d = large_buffer_acquire(300 * 1024);
    large_buffer_release(d, 300 * 1024);
    CHECK_EQ(large_buffer_cache_state().bytes, 8 * MIB + 6 * MIB + 320 * 1024);
    CHECK(large_buffer_acquire(310 * 1024) == d);
    large_buffer_release(d, 310 * 1024);
    large_buffer_cache_clear();
    CHECK_EQ(large_buffer_cache_state().blocks, 0u);
    CHECK_EQ(large_buffer_cache_state().bytes, 0u);
}

TEST(large_buffer_cache_is_bounded) {
    large_buffer_cache_clear();
    void *blocks[12];
    for (void *&b : blocks) b = large_buffer_acquire(4 * MIB);
    for (void *b : blocks) large_buffer_release(b, 4 * MIB);
    CHECK_EQ(large_buffer_cache_state().blocks, LARGE_BUFFER_CACHE_BLOCKS);
    // The oldest went first: the last one freed is still there.
    CHECK(large_buffer_acquire(4 * MIB) == blocks[11]);
    large_buffer_release(blocks[11], 4 * MIB);
    // Bytes are bounded too, and a block larger than the whole cache is
    // never kept.
    void *big = large_buffer_acquire(40 * MIB);
    large_buffer_release(big, 40 * MIB);
    CHECK(large_buffer_cache_state().bytes <= LARGE_BUFFER_CACHE_BYTES);
    void *huge = large_buffer_acquire(LARGE_BUFFER_CACHE_BYTES + 1);
    large_buffer_release(huge, LARGE_BUFFER_CACHE_BYTES + 1);
    CHECK(large_buffer_cache_state().bytes <= LARGE_BUFFER_CACHE_BYTES);
    CHECK(large_buffer_acquire(40 * MIB) == big);
    large_buffer_release(big, 40 * MIB);
    large_buffer_cache_clear();
}

TEST(large_buffer_vectors_start_from_their_values) {
    large_buffer_cache_clear();
    const double *first;
    {
        Values v(MILLION, 7.5);
        first = v.data();
        CHECK(huge_page_aligned(first));
        v[MILLION - 1] = -1.0;
    }
    // The block comes back, but a new vector still holds what it was given.
    Values zeros(MILLION);
    CHECK(zeros.data() == first);
    bool all_zero = true;
    for (double z : zeros) all_zero = all_zero && check::bits(z) == 0;
    CHECK(all_zero);
    // Small vectors never touch the cache.
    Values small(1000, 1.0);
    CHECK_EQ(large_buffer_cache_state().blocks, 0u);
    large_buffer_cache_clear();
}

TEST(large_buffer_freed_on_another_thread) {
    large_buffer_cache_clear();
    Values *made = new Values(MILLION, 1.0);
    const double *block = made->data();
    std::size_t kept_there = 0;
    bool reused_there = false;
    std::thread other([&] {
        delete made; // freed here: kept by this thread
        kept_there = large_buffer_cache_state().blocks;
        Values again(MILLION);
        reused_there = again.data() == block;
    });
    other.join();
    CHECK_EQ(kept_there, 1u);
    CHECK(reused_there);
    // That thread's cache went with it.
    CHECK(!mapped(block));
    // Nothing came back to this thread's cache.
    CHECK_EQ(large_buffer_cache_state().blocks, 0u);
}

// Idle threads holding full caches: together they keep no more than the
// process bound, and a thread that frees blocks after them still keeps its
// own, taken from the idlest threads, so it reuses them call after call.
TEST(large_buffer_idle_threads_keep_little) {
    large_buffer_cache_clear();
    constexpr int THREADS = 6;
    constexpr std::size_t PER_THREAD = 6; // 6 x 8 MiB each: over the bound together
    std::barrier filled(THREADS + 1), done(THREADS + 1);
    std::vector<std::thread> idle;
    for (int k = 0; k < THREADS; ++k)
        idle.emplace_back([&] {
            void *b[PER_THREAD];
            for (void *&p : b) p = large_buffer_acquire(8 * MIB);
            for (void *p : b) large_buffer_release(p, 8 * MIB);
            filled.arrive_and_wait();
            done.arrive_and_wait();
        });
    filled.arrive_and_wait();
    CHECK(large_buffer_kept_bytes() <= LARGE_BUFFER_PROCESS_BYTES);
    CHECK(large_buffer_kept_bytes() >= LARGE_BUFFER_PROCESS_BYTES - 8 * MIB);
    // A busy thread: the second call gets the blocks of the first.
    void *first[5], *second[5];
    for (int call = 0; call < 2; ++call) {
        void **b = call ? second : first;
        for (int i = 0; i < 5; ++i) b[i] = large_buffer_acquire(8 * MIB);
        for (int i = 0; i < 5; ++i) large_buffer_release(b[i], 8 * MIB);
    }
    bool reused = true;
    for (int i = 0; i < 5; ++i) {
        bool found = false;
        for (void *p : first) found = found || p == second[i];
        reused = reused && found;
    }
    CHECK(reused);
    CHECK_EQ(large_buffer_cache_state().blocks, 5u);
    CHECK(large_buffer_kept_bytes() <= LARGE_BUFFER_PROCESS_BYTES);
    done.arrive_and_wait();
    for (auto &t : idle) t.join();
    // The idle threads' blocks went with them.
    CHECK_EQ(large_buffer_kept_bytes(), 5 * 8 * MIB);
    large_buffer_cache_clear();
    CHECK_EQ(large_buffer_kept_bytes(), 0u);
}

#endif
