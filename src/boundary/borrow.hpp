// The shared/exclusive use flag carried by every object of the module's
// classes. A conflict raises RuntimeError instead of waiting.
#pragma once

#include <atomic>
#include <cstdint>

namespace basinkit::py {

class BorrowFlag {
  public:
    bool acquire_shared() {
        std::int32_t s = state_.load(std::memory_order_relaxed);
        do {
            if (s < 0) return false;
        } while (!state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire));
        return true;
    }
    void release_shared() { state_.fetch_sub(1, std::memory_order_release); }
    bool acquire_exclusive() {
        std::int32_t expected = 0;
        return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire);
    }
    void release_exclusive() { state_.store(0, std::memory_order_release); }

  private:
    std::atomic<std::int32_t> state_{0};
};

} // namespace basinkit::py
