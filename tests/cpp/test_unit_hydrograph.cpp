#include "check.hpp"

#include "rainfall_transform/nrcs_uh.hpp"
#include "rainfall_transform/snyder_uh.hpp"
#include "rainfall_transform/user_uh.hpp"

#include <cmath>
#include <span>
#include <vector>

using namespace basinkit;

namespace {

double sum(std::span<const double> v) {
    double s = 0.0;
    for (double x : v) s += x;
    return s;
}

double peak(std::span<const double> v) {
    double p = 0.0;
    for (double x : v) p = x > p ? x : p;
    return p;
}

// One acre-inch in the layer's own units (cfs x s).
constexpr double ACRE_INCH = 1.00833 * 3600.0;

} // namespace

TEST(nrcs_curve_reads_the_table_and_its_gamma_area) {
    CHECK_EQ(nrcs_curve(0.0, true, 0.0), 0.0);
    CHECK_EQ(nrcs_curve(1.0, true, 0.0), 1.0);
    CHECK_NEAR(nrcs_curve(2.1, true, 0.0), 0.2435, 1e-15);
    CHECK_NEAR(nrcs_curve(4.75, true, 0.0), 0.0025, 1e-15);
    CHECK_EQ(nrcs_curve(5.0, true, 0.0), 0.0);
    // Gamma(m + 1) e^m / m^(m + 1) at m = 1: e; at m = 2: e^2 / 4.
    CHECK_NEAR(nrcs_gamma_area(1.0) / std::exp(1.0), 1.0, 1e-13);
    CHECK_NEAR(nrcs_gamma_area(2.0) / (std::exp(2.0) / 4.0), 1.0, 1e-13);
    // 484 asks for an area of 4/3 of qp Tp: m near 3.7.
    auto m = nrcs_gamma_shape(645.333333 / 484.0);
    CHECK(m.has_value() && *m > 3.5 && *m < 3.9);
    CHECK_NEAR(nrcs_gamma_area(*m), 645.333333 / 484.0, 1e-12);
    CHECK(!nrcs_gamma_shape(1000.0).has_value() && !nrcs_gamma_shape(0.0).has_value());
}

TEST(nrcs_holds_one_unit_and_peaks_at_484_for_fine_steps) {
    // 640 acres, Tp = 30 s + 2130 s, a whole number of steps; peak 484 A Q / Tp (A in mi^2,
    // Tp in h).
    for (bool tabulated : {true, false}) {
        const double m = tabulated ? 0.0 : *nrcs_gamma_shape(645.333333 / 484.0);
        auto uh = nrcs_unit_hydrograph(60, 640.0 * ACRE_INCH, 2130.0, tabulated, m);
        CHECK(uh.has_value() && uh->front() == 0.0 && uh->back() == 0.0);
        CHECK_NEAR(60.0 * sum(*uh) / (640.0 * ACRE_INCH), 1.0, 1e-14);
        const double tp_h = 2160.0 / 3600.0;
        // The table's own area is 0.1 % above 4/3, so its scaled peak lies that much lower.
        CHECK_NEAR(peak(*uh) / (484.0 / tp_h), tabulated ? 0.9988 : 1.0, 1e-3);
    }
    // A tenfold area, tenfold ordinates; a longer lag, a later and lower peak.
    auto a = nrcs_unit_hydrograph(600, 100.0 * ACRE_INCH, 7200.0, true, 0.0);
    auto b = nrcs_unit_hydrograph(600, 1000.0 * ACRE_INCH, 7200.0, true, 0.0);
    auto c = nrcs_unit_hydrograph(600, 100.0 * ACRE_INCH, 14400.0, true, 0.0);
    CHECK(a && b && c && a->size() == b->size() && c->size() > a->size());
    for (std::size_t k = 0; k < a->size(); ++k) CHECK_NEAR((*b)[k], 10.0 * (*a)[k], 1e-9);
    CHECK(peak(*c) < peak(*a));
}

TEST(convolution_keeps_volume_and_superposes) {
    const std::vector<double> rain{0.0, 0.4, 1.25, 0.0, -0.0, 0.3, 0.05};
    auto uh = nrcs_unit_hydrograph(900, 250.0 * ACRE_INCH, 5400.0, true, 0.0);
    auto q = nrcs_uh_rs(rain, 900, 250.0 * ACRE_INCH, 5400.0, true, 0.0);
    CHECK(uh && q && q->size() == rain.size() + uh->size() - 1);
    CHECK_NEAR(900.0 * sum(*q), sum(rain) * 250.0 * ACRE_INCH, 1e-9 * 250.0 * ACRE_INCH);
    // One pulse reproduces the unit hydrograph times its depth, to the bit.
    const std::vector<double> pulse{0.0, 2.0};
    auto one = convolve_unit_hydrograph(pulse, *uh);
    CHECK(one.has_value());
    for (std::size_t k = 0; k < uh->size(); ++k) CHECK_BITS((*one)[k + 1], 2.0 * (*uh)[k]);
    CHECK_BITS((*one)[0], 0.0);
}

TEST(user_ordinates_are_checked_and_scaled) {
    // 1 in over 100 acres on hourly steps: ordinates summing to 100 x 1.00833 cfs.
    const double v = 100.0 * ACRE_INCH;
    const std::vector<double> good{0.0, 30.0, 50.0, 20.833};
    auto uh = user_unit_hydrograph(3600, good, v, false);
    CHECK(uh.has_value() && uh->size() == 5 && uh->back() == 0.0);
    CHECK_NEAR(3600.0 * sum(*uh), v, 1e-9);
    const std::vector<double> off{0.0, 30.0, 50.0, 22.0};
    CHECK(!user_unit_hydrograph(3600, off, v, false).has_value());
    auto scaled = user_unit_hydrograph(3600, off, v, true);
    CHECK(scaled.has_value() && std::fabs(3600.0 * sum(*scaled) - v) < 1e-9);
    const std::vector<double> late{5.0, 30.0, 50.0, 15.833};
    const std::vector<double> negative{0.0, 130.0, -30.0, 1.0};
    CHECK(!user_unit_hydrograph(3600, late, v, true).has_value());
    CHECK(!user_unit_hydrograph(3600, negative, v, true).has_value());
    auto q = user_uh_rs(std::vector<double>{1.0, 0.5}, 3600, good, v, false);
    CHECK(q.has_value() && q->size() == 6);
    CHECK_NEAR((*q)[2], 50.0 * 1.0 + 30.0 * 0.5, 1e-2);
}

TEST(snyder_polygon_keeps_snyders_peak_and_widths_and_one_unit) {
    // tp = 6 h, Cp = 0.6, 10 mi^2 on hourly steps: tr = 6 / 5.5 h, tpR = tp + (1 - tr) / 4.
    const double v = 6400.0 * ACRE_INCH;
    auto p = snyder_polygon(3600, v, 10.0, 6.0 * 3600.0, 0.6, SnyderUnits{});
    CHECK(p.has_value());
    const double tp_r = 6.0 + (1.0 - 6.0 / 5.5) / 4.0;
    const double qp = 640.0 * 0.6 / tp_r;
    CHECK_NEAR(p->q[3], qp * 10.0, 1e-9);
    CHECK_NEAR(p->t[3], (0.5 + tp_r) * 3600.0, 1e-9);
    CHECK_NEAR((p->t[5] - p->t[1]) / 3600.0, 770.0 / std::pow(qp, 1.08), 1e-9);
    CHECK_NEAR((p->t[4] - p->t[2]) / 3600.0, 440.0 / std::pow(qp, 1.08), 1e-9);
    CHECK_NEAR(p->t[3] - p->t[1], (p->t[5] - p->t[3]) / 2.0, 1e-6);
    double area = 0.0;
    for (std::size_t i = 0; i < 6; ++i)
        area += 0.5 * (p->t[i + 1] - p->t[i]) * (p->q[i] + p->q[i + 1]);
    CHECK_NEAR(area / v, 1.0, 1e-12);
    // The drawn ordinates hold one unit and peak near Qp (of a 15-minute step's tpR).
    auto fine = snyder_polygon(900, v, 10.0, 6.0 * 3600.0, 0.6, SnyderUnits{});
    auto uh = snyder_unit_hydrograph(900, v, 10.0, 6.0 * 3600.0, 0.6, SnyderUnits{});
    CHECK(fine && uh && uh->front() == 0.0 && uh->back() == 0.0);
    CHECK_NEAR(900.0 * sum(*uh) / v, 1.0, 1e-14);
    CHECK_NEAR(peak(*uh) / fine->q[3], 1.0, 0.01);
    CHECK(fine->q[3] > p->q[3]);
    // At the standard duration tR = tr the lag is unadjusted.
    auto s = snyder_polygon(3600, v, 10.0, 5.5 * 3600.0, 0.6, SnyderUnits{});
    CHECK(s.has_value());
    CHECK_NEAR(s->t[3], (0.5 + 5.5) * 3600.0, 1e-9);
    // A low peak on a short lag reaches before the excess; too wide to hold one unit.
    CHECK(!snyder_polygon(3600, v, 10.0, 3600.0, 0.1, SnyderUnits{}).has_value());
    CHECK(!snyder_polygon(3600, 0.01 * v, 10.0, 6.0 * 3600.0, 0.6, SnyderUnits{}).has_value());
}
