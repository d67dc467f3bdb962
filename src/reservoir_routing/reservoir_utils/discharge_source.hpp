// One outlet of any kind, and the one question every outlet answers: its
// release (inflow unit) at a water-surface elevation and a time since the
// start of routing.
#pragma once

#include "error.hpp"
#include "reservoir_routing/reservoir_utils/constant_discharge.hpp"
#include "reservoir_routing/reservoir_utils/controlled_discharge.hpp"
#include "reservoir_routing/reservoir_utils/specified_discharge.hpp"
#include "reservoir_routing/reservoir_utils/uncontrolled_discharge.hpp"

#include <concepts>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <variant>

namespace basinkit {

template <class T>
concept DischargeSource = requires(const T &outlet, double e, std::optional<std::int64_t> t) {
    { outlet.get_discharge(e, t) } -> std::same_as<Result<double>>;
};

static_assert(DischargeSource<UnControlledDischargeInfo>);
static_assert(DischargeSource<ControlledDischargeInfo>);
static_assert(DischargeSource<SpecifiedDischargeInfo>);
static_assert(DischargeSource<ConstantDischargeInfo>);

// Variant order is the order in which a Python value is tried as an outlet.
using DischargeInfo = std::variant<UnControlledDischargeInfo, ControlledDischargeInfo,
                                   SpecifiedDischargeInfo, ConstantDischargeInfo>;

inline Result<double> get_discharge(const DischargeInfo &outlet, double elevation,
                                    std::optional<std::int64_t> duration_secs) {
    return std::visit([&](const auto &o) { return o.get_discharge(elevation, duration_secs); },
                      outlet);
}

// An outlet made ready for many questions in one routing call: tables checked
// once, searches hinted. It borrows the outlet. Where the outlet would answer
// with a release it gives the same release, bit for bit; where it would fail
// it gives nothing, and the outlet itself must be asked for the error.
using PreparedDischarge =
    std::variant<UnControlledDischargeInfo::Prepared, ControlledDischargeInfo::Prepared,
                 SpecifiedDischargeInfo::Prepared, ConstantDischargeInfo::Prepared>;

inline PreparedDischarge prepare(const DischargeInfo &outlet) {
    return std::visit(
        [](const auto &o) -> PreparedDischarge {
            return typename std::remove_cvref_t<decltype(o)>::Prepared(o);
        },
        outlet);
}

inline std::optional<double> try_get_discharge(PreparedDischarge &outlet, double elevation,
                                               std::optional<std::int64_t> duration_secs) {
    return std::visit([&](auto &o) { return o.try_get_discharge(elevation, duration_secs); },
                      outlet);
}

} // namespace basinkit
