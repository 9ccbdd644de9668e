// The wrapper of each function of the strict module, one per waveform of the
// table: bind, convert in declaration order (the time array, the reals, the
// count), call the kernel.  Each returns a new reference to the result or
// the first failure.
#pragma once

#include "frame/argument_binding.hpp"
#include "frame/argument_spec.hpp"
#include "frame/expected.hpp"
#include "kernels/waveform_kernel.hpp"
#include "maths/waveform_description.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace undarix {

using Wrapper = Expected<OwnedRef> (*)(PyObject* const* args, std::size_t nargs, PyObject* kwnames);

// The argument bound to parameter i, converted, the parameter named in a
// TypeError.
Expected<PyObject*> convert_time(const ArgumentSpec& spec, PyObject* const* slots, std::size_t i);
Expected<double> convert_real(const ArgumentSpec& spec, PyObject* const* slots, std::size_t i);
Expected<std::uint64_t> convert_count(const ArgumentSpec& spec, PyObject* const* slots, std::size_t i);

// Waveform W's parameter names and its plain positional-or-keyword spec.
template <class W>
struct WaveformSpec {
    static constexpr std::size_t kCount = maths::Shape<W>::parameters;

    static constexpr std::array<std::string_view, kCount> names() {
        std::array<std::string_view, kCount> all{};
        for (std::size_t i = 0; i < kCount; ++i) {
            all[i] = W::description.parameters[i].name;
        }
        return all;
    }

    static constexpr std::array<std::string_view, kCount> kNames = names();
    static constexpr ArgumentSpec kSpec{W::description.name, kNames.data(), kCount, nullptr, 0, std::string_view(),
                                        0, kCount};
};

template <class W>
Expected<OwnedRef> waveform_wrapper(PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
    using Shape = maths::Shape<W>;
    const ArgumentSpec& spec = WaveformSpec<W>::kSpec;
    PyObject* slots[Shape::parameters] = {};
    if (Status bound = bind_arguments(spec, args, nargs, kwnames, slots); !bound) {
        return bound.take_failure();
    }
    Expected<PyObject*> time = convert_time(spec, slots, 0);
    if (!time) {
        return time.take_failure();
    }
    typename Shape::Args arguments{};
    for (std::size_t k = 0; k < Shape::reals; ++k) {
        Expected<double> value = convert_real(spec, slots, 1 + k);
        if (!value) {
            return value.take_failure();
        }
        arguments.reals[k] = value.value();
    }
    if constexpr (Shape::counted) {
        Expected<std::uint64_t> count = convert_count(spec, slots, 1 + Shape::reals);
        if (!count) {
            return count.take_failure();
        }
        arguments.count = count.value();
    }
    return kernels::waveform_kernel<W>(time.value(), arguments);
}

}  // namespace undarix
