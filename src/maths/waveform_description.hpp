// The shape of an entry of the waveform table (maths/waveform_table.hpp):
// what both modules need to know of a waveform besides its formulas, as
// constant data that the strict module's functions, the ufuncs, their loops
// and their texts are made from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace undarix::maths {

// A parameter's C type as the formulas take it.  `time` comes first, then
// every `real`, then at most one `count`: the loops and the argument
// conversions rely on that order, which check_parameter_order enforces.
enum class ParameterType {
    time,   // double: one time point (an array of them at the interfaces)
    real,   // double
    count,  // std::uint64_t
};

struct Parameter {
    std::string_view name;
    ParameterType type;
    // The unit, where the parameter has one of its own; empty where it is
    // the caller's (the unit of the result, of time) or said in `meaning`.
    std::string_view unit;
    // What the parameter is, in one line without its unit: the Jacobian
    // ufunc's text gives "<meaning>, in <unit>." (or "<meaning>." without).
    std::string_view meaning;
    // The value ufunc's text for it, lines separated by '\n' and not
    // indented; empty where it is the Jacobian's line.
    std::string_view description;
};

// The numpydoc text of a waveform's ufunc around what the table's facts
// give (its call line, its Parameters section).  Each piece is whole lines
// ending in '\n', or empty where the waveform has none.
struct UfuncText {
    std::string_view summary;   // the first line
    std::string_view formula;   // the order of operations, indented
    std::string_view notes;     // paragraphs after the formula
    std::string_view returns;   // the Jacobian's: what its outputs are (the value's is the same for all)
    std::string_view sections;  // sections between Returns and Examples (Warns, Raises)
    std::string_view examples;  // the Examples section's body
};

struct WaveformDescription {
    std::string_view name;
    const Parameter* parameters;  // `time` first
    std::size_t parameter_count;
    UfuncText value_text;
    // The Jacobian ufunc's text: `summary` is left empty (it names the
    // waveform), `formula` holds the derivation, `returns` the description
    // under the line that names the outputs.
    UfuncText jacobian_text;
};

// How many parameters have `type`.
constexpr std::size_t count_of(const WaveformDescription& waveform, ParameterType type) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < waveform.parameter_count; ++i) {
        n += waveform.parameters[i].type == type ? 1 : 0;
    }
    return n;
}

// `time` first, the reals next, a count only last.
constexpr bool check_parameter_order(const WaveformDescription& waveform) {
    if (waveform.parameter_count == 0 || waveform.parameters[0].type != ParameterType::time) {
        return false;
    }
    for (std::size_t i = 1; i < waveform.parameter_count; ++i) {
        const ParameterType type = waveform.parameters[i].type;
        if (type == ParameterType::time || (type == ParameterType::count && i + 1 != waveform.parameter_count)) {
            return false;
        }
    }
    return true;
}

// The values of a waveform's parameters after `time` as they arrive, reals
// in order and then the count (0 for a waveform without one).
template <std::size_t Reals>
struct Arguments {
    double reals[Reals];
    std::uint64_t count;
};

// The facts about waveform W (an entry of the table) that the generic code
// needs at compile time.
template <class W>
struct Shape {
    static_assert(check_parameter_order(W::description), "time first, then the reals, then at most one count");
    static constexpr std::size_t parameters = W::description.parameter_count;
    static constexpr std::size_t reals = count_of(W::description, ParameterType::real);
    static constexpr bool counted = count_of(W::description, ParameterType::count) == 1;
    // The Jacobian's outputs: one derivative per real parameter.
    static constexpr std::size_t derivatives = reals;
    using Args = Arguments<reals>;
};

// The table's entries, in the order both modules list them.
template <class... Waveforms>
struct WaveformList {};

}  // namespace undarix::maths
