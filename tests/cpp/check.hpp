// A minimal test harness for the numerical cores: no interpreter, no
// third-party framework. Each TEST registers itself; main() runs them all.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char *name;
    std::function<void()> fn;
};

inline std::vector<Case> &registry() {
    static std::vector<Case> cases;
    return cases;
}
inline int &failures() {
    static int n = 0;
    return n;
}

struct Register {
    Register(const char *name, std::function<void()> fn) {
        registry().push_back({name, std::move(fn)});
    }
};

inline std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

inline void fail(const char *file, int line, const std::string &what) {
    ++failures();
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
}

} // namespace check

#define CHECK_CAT2(a, b) a##b
#define CHECK_CAT(a, b) CHECK_CAT2(a, b)
#define TEST(name)                                                                                 \
    static void CHECK_CAT(test_, name)();                                                          \
    static check::Register CHECK_CAT(reg_, name)(#name, CHECK_CAT(test_, name));                   \
    static void CHECK_CAT(test_, name)()

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) check::fail(__FILE__, __LINE__, #cond);                                       \
    } while (0)

// Bit-for-bit equality of two doubles (NaN equals NaN of the same payload).
#define CHECK_BITS(a, b)                                                                           \
    do {                                                                                           \
        double check_a_ = (a), check_b_ = (b);                                                     \
        if (check::bits(check_a_) != check::bits(check_b_))                                        \
            check::fail(__FILE__, __LINE__,                                                        \
                        std::string(#a " == " #b " bitwise: ") + std::to_string(check_a_) +        \
                            " vs " + std::to_string(check_b_));                                    \
    } while (0)

#define CHECK_NEAR(a, b, tol)                                                                      \
    do {                                                                                           \
        double check_a_ = (a), check_b_ = (b);                                                     \
        if (!(check_a_ - check_b_ <= (tol) && check_b_ - check_a_ <= (tol)))                       \
            check::fail(__FILE__, __LINE__,                                                        \
                        std::string(#a " ~= " #b ": ") + std::to_string(check_a_) + " vs " +       \
                            std::to_string(check_b_));                                             \
    } while (0)

#define CHECK_EQ(a, b)                                                                             \
    do {                                                                                           \
        if (!((a) == (b))) check::fail(__FILE__, __LINE__, #a " == " #b);                          \
    } while (0)
