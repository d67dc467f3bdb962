// Runs Clark cases read from standard input on one convolution kernel and
// writes each result as IEEE-754 bit patterns, so that a driver can compare
// every kernel with stored outputs.
//
//   clark_replay fastest|portable < cases
//
// A case is one line: time_step basin_area tc_secs tc_nanos r_secs r_nanos n
// followed by n rainfall values; doubles are 16 hex digits of their bits. The
// first line written names the kernel that ran ("kernel avx2"); then one line
// a case: "ok" and the values, or "error" and the message.
#include "rainfall_transform/clark_uh.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

using namespace basinkit;

namespace {

bool read_double(double *out) {
    std::uint64_t bits;
    if (std::scanf("%" SCNx64, &bits) != 1) return false;
    std::memcpy(out, &bits, sizeof bits);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2 || (std::strcmp(argv[1], "fastest") != 0 && std::strcmp(argv[1], "portable"))) {
        std::fprintf(stderr, "usage: clark_replay fastest|portable < cases\n");
        return 2;
    }
    const ConvolutionKernel kernel = std::strcmp(argv[1], "fastest") == 0
                                         ? ConvolutionKernel::Fastest
                                         : ConvolutionKernel::Portable;
    std::printf("kernel %s\n", kernel_name(kernel));
    std::int32_t step;
    while (std::scanf("%" SCNd32, &step) == 1) {
        double area;
        std::uint64_t tc_s, r_s, n;
        std::uint32_t tc_ns, r_ns;
        if (!read_double(&area) ||
            std::scanf("%" SCNu64 " %" SCNu32 " %" SCNu64 " %" SCNu32 " %" SCNu64, &tc_s, &tc_ns,
                       &r_s, &r_ns, &n) != 5)
            return 2;
        std::vector<double> rain(n);
        for (double &p : rain)
            if (!read_double(&p)) return 2;
        auto q = clark_uh_rs(rain, step, area, Duration{tc_s, tc_ns}, Duration{r_s, r_ns}, kernel);
        if (!q) {
            std::printf("error %s\n", q.error().message.c_str());
            continue;
        }
        std::printf("ok");
        for (const double v : *q) {
            std::uint64_t bits;
            std::memcpy(&bits, &v, sizeof bits);
            std::printf(" %016" PRIx64, bits);
        }
        std::printf("\n");
    }
    return 0;
}
