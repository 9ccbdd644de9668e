#include "ufuncs/ufunc_texts.hpp"

namespace undarix::ufuncs {
namespace {

using maths::Parameter;
using maths::ParameterType;
using maths::WaveformDescription;

constexpr std::string_view kValueCommon =
    "All arguments broadcast against each other and may be any array-like: NumPy\n"
    "arrays of any shape, strides and order, lists, scalars, or objects that\n"
    "override ufuncs (pandas, xarray, Dask).  Real inputs of other dtypes are\n"
    "cast to float64 under NumPy's casting rules.  ``out=``, ``where=``,\n"
    "``casting=``, ``order=``, ``dtype=`` and ``subok=`` work as for any ufunc;\n"
    "an ``out=`` array that overlaps an input gives the values of a copy.\n"
    "Every element has exactly the bits the strict function of the same name in\n"
    "the ``undarix`` module gives for the same scalar inputs, on any number of\n"
    "threads (UNDARIX_NUM_THREADS, OMP_NUM_THREADS, CPU affinity and cgroup\n"
    "quota decide how many).  Floating-point overflow and invalid operations\n"
    "(``exp`` overflowing, ``sin`` of infinity) are reported as for NumPy's own\n"
    "ufuncs and governed by ``numpy.errstate``.\n";

constexpr std::string_view kValueReturns =
    "out : ndarray or scalar\n"
    "    float64 values of the broadcast shape; a NumPy scalar when every input\n"
    "    is a scalar.\n";

constexpr std::string_view kJacobianCommon =
    "Inputs are those of the waveform's ufunc, positional, broadcast and cast\n"
    "as for it; ``out=`` takes a tuple with one float64 array per output, and\n"
    "``where=`` and the other ufunc keywords work as for any ufunc.  Each\n"
    "derivative is computed in the fixed order of operations written here,\n"
    "with the C runtime's exp, sin and cos, so every element has the same bits\n"
    "on any number of threads.  Floating-point overflow and invalid operations\n"
    "are reported as for NumPy's own ufuncs and governed by ``numpy.errstate``.\n";

constexpr std::string_view kJacobianSuffix = "_jacobian";

// "``name(time, ...)``" and a line break.
void append_call(std::string& text, std::string_view name, const WaveformDescription& waveform) {
    text += "``";
    text += name;
    text += "(";
    for (std::size_t i = 0; i < waveform.parameter_count; ++i) {
        text += i == 0 ? "" : ", ";
        text += waveform.parameters[i].name;
    }
    text += ")``\n";
}

// `lines`, separated by '\n', each indented by four spaces.
void append_indented(std::string& text, std::string_view lines) {
    while (!lines.empty()) {
        const std::size_t end = lines.find('\n');
        text += "    ";
        text += lines.substr(0, end);
        text += "\n";
        lines = end == std::string_view::npos ? std::string_view() : lines.substr(end + 1);
    }
}

// "<meaning>, in <unit>." or "<meaning>."
std::string one_line(const Parameter& parameter) {
    std::string line(parameter.meaning);
    if (!parameter.unit.empty()) {
        line += ", in ";
        line += parameter.unit;
    }
    line += ".";
    return line;
}

void append_parameters(std::string& text, const WaveformDescription& waveform, bool jacobian) {
    text += "Parameters\n----------\n";
    for (std::size_t i = 0; i < waveform.parameter_count; ++i) {
        const Parameter& parameter = waveform.parameters[i];
        text += parameter.name;
        text += parameter.type == ParameterType::count ? " : array_like of int\n" : " : array_like\n";
        const std::string line = one_line(parameter);
        append_indented(text, jacobian || parameter.description.empty() ? std::string_view(line)
                                                                        : parameter.description);
    }
}

// The part every text shares from the call line on, around the Parameters
// and Returns sections.
void append_body(std::string& text, std::string_view name, const WaveformDescription& waveform,
                 const maths::UfuncText& pieces, bool jacobian) {
    text += "\n";
    append_call(text, name, waveform);
    text += "\n";
    text += pieces.formula;
    text += "\n";
    if (!pieces.notes.empty()) {
        text += pieces.notes;
        text += "\n";
    }
    text += jacobian ? kJacobianCommon : kValueCommon;
    text += "\n";
    append_parameters(text, waveform, jacobian);
    text += "\nReturns\n-------\n";
    if (jacobian) {
        // One output per real parameter: "d_amplitude, d_gamma, ...".
        const char* separator = "";
        for (std::size_t i = 0; i < waveform.parameter_count; ++i) {
            if (waveform.parameters[i].type == ParameterType::real) {
                text += separator;
                text += "d_";
                text += waveform.parameters[i].name;
                separator = ", ";
            }
        }
        text += " : ndarray or scalar\n";
        text += pieces.returns;
    } else {
        text += kValueReturns;
    }
    if (!pieces.sections.empty()) {
        text += "\n";
        text += pieces.sections;
    }
    text += "\nExamples\n--------\n";
    text += pieces.examples;
}

}  // namespace

std::string value_ufunc_text(const WaveformDescription& waveform) {
    std::string text(waveform.value_text.summary);
    append_body(text, waveform.name, waveform, waveform.value_text, false);
    return text;
}

std::string jacobian_ufunc_name(std::string_view waveform_name) {
    std::string name(waveform_name);
    name += kJacobianSuffix;
    return name;
}

std::string jacobian_ufunc_text(const WaveformDescription& waveform) {
    std::string text = "Partial derivatives of ``";
    text += waveform.name;
    text += "`` with respect to its parameters.\n";
    append_body(text, jacobian_ufunc_name(waveform.name), waveform, waveform.jacobian_text, true);
    return text;
}

}  // namespace undarix::ufuncs
