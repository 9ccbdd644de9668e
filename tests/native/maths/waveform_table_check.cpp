// Checks of the waveform table compiled on its own, without Python: every
// entry's parameters in the order the generic code relies on, and every
// entry's derivatives in the order of its real parameters, against central
// differences of its own value (a derivative wired to the wrong parameter,
// or a parameter bound in the wrong place, shows as a mismatch).
#include "check.hpp"
#include "maths/waveform_table.hpp"

#include <cmath>
#include <cstdio>
#include <string_view>

using namespace undarix::maths;

namespace {

constexpr auto kNoStop = [] { return true; };

// A point inside every waveform's smooth part: away from the impulse's
// onset (at 6 h, pi/2 rad) and from the turn's wrap.
constexpr double kTime = 1.8;
constexpr std::uint64_t kCount = 7;

double sample(std::string_view parameter) {
    struct Sample {
        std::string_view name;
        double value;
    };
    constexpr Sample samples[] = {{"amplitude", 1.3}, {"gamma", -0.2}, {"omega", 1.7},      {"phi", 0.3},
                                  {"y", 0.5},         {"period", 6.0}, {"width", 0.3},      {"equilibrium", 1.0}};
    for (const Sample& known : samples) {
        if (known.name == parameter) {
            return known.value;
        }
    }
    std::fprintf(stderr, "no sample value for parameter %.*s\n", static_cast<int>(parameter.size()), parameter.data());
    std::_Exit(1);
}

template <class W>
typename Shape<W>::Args sample_arguments() {
    typename Shape<W>::Args arguments{};
    for (std::size_t k = 0; k < Shape<W>::reals; ++k) {
        arguments.reals[k] = sample(W::description.parameters[1 + k].name);
    }
    arguments.count = Shape<W>::counted ? kCount : 0;
    return arguments;
}

template <class W>
void check_order() {
    CHECK(check_parameter_order(W::description));
    CHECK(W::description.parameters[0].name == "time");
    CHECK(Shape<W>::parameters == 1 + Shape<W>::reals + (Shape<W>::counted ? 1 : 0));
}

template <class W>
void check_derivatives() {
    const typename Shape<W>::Args arguments = sample_arguments<W>();
    double derivatives[Shape<W>::derivatives];
    W::gradient(W::bind(arguments), kTime, kNoStop, derivatives);
    for (std::size_t k = 0; k < Shape<W>::reals; ++k) {
        const double step = 1e-6 * std::fmax(1.0, std::fabs(arguments.reals[k]));
        typename Shape<W>::Args above = arguments;
        typename Shape<W>::Args below = arguments;
        above.reals[k] += step;
        below.reals[k] -= step;
        const double difference =
            (W::value(W::bind(above), kTime, kNoStop) - W::value(W::bind(below), kTime, kNoStop)) / (2 * step);
        const double tolerance = 1e-6 * std::fmax(1.0, std::fabs(difference));
        if (!(std::fabs(derivatives[k] - difference) <= tolerance)) {
            std::fprintf(stderr, "%.*s: d/d%.*s is %.17g, the value's central difference %.17g\n",
                         static_cast<int>(W::description.name.size()), W::description.name.data(),
                         static_cast<int>(W::description.parameters[1 + k].name.size()),
                         W::description.parameters[1 + k].name.data(), derivatives[k], difference);
            std::_Exit(1);
        }
    }
}

template <class... W>
void every_entry_in_order(WaveformList<W...>) {
    (check_order<W>(), ...);
}

template <class... W>
void every_derivative_of(WaveformList<W...>) {
    (check_derivatives<W>(), ...);
}

void parameters_in_order() {
    every_entry_in_order(StrictWaveforms{});
    every_entry_in_order(UfuncWaveforms{});
}

void derivatives_follow_the_values() {
    every_derivative_of(UfuncWaveforms{});
}

}  // namespace

int main(int argc, char** argv) {
    static const checks::Check all[] = {
        {"parameters_in_order", parameters_in_order},
        {"derivatives_follow_the_values", derivatives_follow_the_values},
    };
    return checks::run_named(all, argc, argv);
}
