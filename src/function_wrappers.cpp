#include "function_wrappers.hpp"

#include "frame/argument_binding.hpp"
#include "frame/argument_conversion.hpp"
#include "kernels/kernels.hpp"
#include "numpy/time_argument.hpp"

#include <array>
#include <tuple>

namespace undarix {
namespace {

constexpr std::string_view kDampedParameters[] = {"time", "amplitude", "gamma", "omega", "phi", "y"};
constexpr std::string_view kFourierParameters[] = {"time", "amplitude", "gamma", "omega",
                                                   "phi",  "y",         "num_harmonics"};
constexpr std::string_view kImpulseParameters[] = {"time", "amplitude", "period", "width", "equilibrium"};

template <std::size_t P>
constexpr ArgumentSpec plain_spec(std::string_view name, const std::string_view (&parameters)[P]) {
    return ArgumentSpec{name, parameters, P, nullptr, 0, std::string_view(), 0, P};
}

constexpr ArgumentSpec kHarmonicOscillator = plain_spec("harmonic_oscillator", kDampedParameters);
constexpr ArgumentSpec kPseudoSquareWave = plain_spec("pseudo_square_wave", kDampedParameters);
constexpr ArgumentSpec kFourierSquareWave = plain_spec("fourier_square_wave", kFourierParameters);
constexpr ArgumentSpec kPseudoCycloidWave = plain_spec("pseudo_cycloid_wave", kDampedParameters);
constexpr ArgumentSpec kTransientImpulse = plain_spec("transient_impulse", kImpulseParameters);

// Converts the argument bound to parameter i, naming the parameter in a
// TypeError.
template <class T>
Expected<T> convert(const ArgumentSpec& spec, PyObject* const* slots, std::size_t i,
                    Expected<T> (*extract)(PyObject*)) {
    Expected<T> converted = extract(slots[i]);
    if (!converted) {
        return qualify_argument_error(spec.parameter_names[i], converted.take_failure());
    }
    return converted;
}

// Parameters first .. first+K-1 as doubles, stopping at the first failure.
template <std::size_t K>
Expected<std::array<double, K>> convert_doubles(const ArgumentSpec& spec, PyObject* const* slots,
                                                std::size_t first) {
    std::array<double, K> values{};
    for (std::size_t k = 0; k < K; ++k) {
        Expected<double> value = convert(spec, slots, first + k, extract_double);
        if (!value) {
            return value.take_failure();
        }
        values[k] = value.value();
    }
    return values;
}

template <std::size_t K>
struct TimeAndDoubles {
    PyObject* time;  // borrowed from the caller's arguments
    std::array<double, K> scalars;
};

// Parameter 0 as the time array and parameters 1 .. K as doubles, the
// conversions every wrapper starts with.
template <std::size_t K>
Expected<TimeAndDoubles<K>> convert_time_and_doubles(const ArgumentSpec& spec, PyObject* const* slots) {
    Expected<PyObject*> time = convert(spec, slots, 0, numpy::extract_time);
    if (!time) {
        return time.take_failure();
    }
    Expected<std::array<double, K>> scalars = convert_doubles<K>(spec, slots, 1);
    if (!scalars) {
        return scalars.take_failure();
    }
    return TimeAndDoubles<K>{time.value(), scalars.value()};
}

// The wrapper of a function whose parameters are `time` and then K doubles.
template <std::size_t K, class Kernel>
Expected<OwnedRef> time_and_doubles(const ArgumentSpec& spec, Kernel kernel, PyObject* const* args,
                                    std::size_t nargs, PyObject* kwnames) {
    PyObject* slots[1 + K] = {};
    if (Status bound = bind_arguments(spec, args, nargs, kwnames, slots); !bound) {
        return bound.take_failure();
    }
    Expected<TimeAndDoubles<K>> converted = convert_time_and_doubles<K>(spec, slots);
    if (!converted) {
        return converted.take_failure();
    }
    const TimeAndDoubles<K>& arguments = converted.value();
    return std::apply([&](auto... values) { return kernel(arguments.time, values...); }, arguments.scalars);
}

}  // namespace

Expected<OwnedRef> harmonic_oscillator_wrapper(PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
    return time_and_doubles<5>(kHarmonicOscillator, kernels::harmonic_oscillator_kernel, args, nargs, kwnames);
}

Expected<OwnedRef> pseudo_square_wave_wrapper(PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
    return time_and_doubles<5>(kPseudoSquareWave, kernels::pseudo_square_wave_kernel, args, nargs, kwnames);
}

Expected<OwnedRef> pseudo_cycloid_wave_wrapper(PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
    return time_and_doubles<5>(kPseudoCycloidWave, kernels::pseudo_cycloid_wave_kernel, args, nargs, kwnames);
}

Expected<OwnedRef> transient_impulse_wrapper(PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
    return time_and_doubles<4>(kTransientImpulse, kernels::transient_impulse_kernel, args, nargs, kwnames);
}

Expected<OwnedRef> fourier_square_wave_wrapper(PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
    const ArgumentSpec& spec = kFourierSquareWave;
    PyObject* slots[7] = {};
    if (Status bound = bind_arguments(spec, args, nargs, kwnames, slots); !bound) {
        return bound.take_failure();
    }
    Expected<TimeAndDoubles<5>> converted = convert_time_and_doubles<5>(spec, slots);
    if (!converted) {
        return converted.take_failure();
    }
    Expected<std::uint64_t> num_harmonics = convert(spec, slots, 6, extract_unsigned);
    if (!num_harmonics) {
        return num_harmonics.take_failure();
    }
    const auto& [amplitude, gamma, omega, phi, y] = converted.value().scalars;
    return kernels::fourier_square_wave_kernel(converted.value().time, amplitude, gamma, omega, phi, y,
                                               num_harmonics.value());
}

}  // namespace undarix
