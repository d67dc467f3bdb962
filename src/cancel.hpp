// A way for the caller to stop a long computation early, without the cores
// knowing who asks or why. A core counts the work it has done and asks the
// hook now and then; when the hook says stop, the core returns an
// Interrupted error and no partial result. A default hook never stops, so
// core runs without a caller (C++ checks, benchmarks) always complete.
#pragma once

#include "error.hpp"

#include <cstdint>

namespace basinkit {

struct CancelHook {
    // True when the computation is to stop; called with `context`.
    bool (*poll)(void *context) = nullptr;
    void *context = nullptr;
};

// Counts work units (about one step of an inner loop each) and asks the hook
// once per POLL_INTERVAL units: well under a millisecond of the slowest
// loops, while the cost of asking disappears in the work between. Hot loops
// run in chunks of POLL_INTERVAL steps with one count per chunk, so the steps
// themselves carry no extra test.
class CancelCheck {
  public:
    static constexpr std::uint64_t POLL_INTERVAL = std::uint64_t{1} << 16;

    explicit CancelCheck(const CancelHook &hook) : hook_(hook) {}

    // Records `work` units done; true when the hook asks to stop.
    bool stop(std::uint64_t work) {
        done_ += work;
        if (done_ < POLL_INTERVAL) [[likely]]
            return false;
        done_ = 0;
        return hook_.poll != nullptr && hook_.poll(hook_.context);
    }

  private:
    CancelHook hook_;
    std::uint64_t done_ = 0;
};

} // namespace basinkit
