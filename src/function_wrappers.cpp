#include "function_wrappers.hpp"

#include "frame/argument_conversion.hpp"
#include "numpy/time_argument.hpp"

namespace undarix {
namespace {

template <class T>
Expected<T> convert(const ArgumentSpec& spec, PyObject* const* slots, std::size_t i,
                    Expected<T> (*extract)(PyObject*)) {
    Expected<T> converted = extract(slots[i]);
    if (!converted) {
        return qualify_argument_error(spec.parameter_names[i], converted.take_failure());
    }
    return converted;
}

}  // namespace

Expected<PyObject*> convert_time(const ArgumentSpec& spec, PyObject* const* slots, std::size_t i) {
    return convert(spec, slots, i, numpy::extract_time);
}

Expected<double> convert_real(const ArgumentSpec& spec, PyObject* const* slots, std::size_t i) {
    return convert(spec, slots, i, extract_double);
}

Expected<std::uint64_t> convert_count(const ArgumentSpec& spec, PyObject* const* slots, std::size_t i) {
    return convert(spec, slots, i, extract_unsigned);
}

}  // namespace undarix
