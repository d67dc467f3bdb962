#include "check.hpp"

int main() {
    int run = 0;
    for (const auto &c : check::registry()) {
        int before = check::failures();
        c.fn();
        ++run;
        if (check::failures() != before) std::fprintf(stderr, "FAILED: %s\n", c.name);
    }
    int failed_checks = check::failures();
    std::printf("core: %d cases, %d failed checks\n", run, failed_checks);
    return failed_checks == 0 ? 0 : 1;
}
