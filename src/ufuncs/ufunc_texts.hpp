// The texts help() shows for the ufuncs (numpydoc), made from a waveform's
// entry in the table: its call line and Parameters section from its
// parameters, the rest from its texts.  NumPy puts the ufunc's call
// signature, with its own names x1, x2, ..., out1, ..., before each text.
#pragma once

#include "maths/waveform_description.hpp"

#include <string>
#include <string_view>

namespace undarix::ufuncs {

// The text of the waveform's ufunc.
std::string value_ufunc_text(const maths::WaveformDescription& waveform);

// The name and the text of the waveform's Jacobian ufunc.
std::string jacobian_ufunc_name(std::string_view waveform_name);
std::string jacobian_ufunc_text(const maths::WaveformDescription& waveform);

}  // namespace undarix::ufuncs
