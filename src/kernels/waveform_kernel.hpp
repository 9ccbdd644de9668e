// The strict module's kernel of a waveform of the table: the evaluation
// frame (kernels/kernel_frame.hpp) applied to its formula, with the call's
// parameters bound once.
#pragma once

#include "kernels/kernel_frame.hpp"
#include "maths/waveform_description.hpp"

namespace undarix::kernels {

// `time` is a borrowed, already validated one-dimensional float64 array;
// returns a new reference to the result array.
template <class W>
Expected<OwnedRef> waveform_kernel(PyObject* time, const typename maths::Shape<W>::Args& arguments) {
    const typename W::Bound bound = W::bind(arguments);
    return evaluate(
        time, [&bound](double t, auto&& keep_going) { return W::value(bound, t, keep_going); },
        W::value_work(arguments.count));
}

}  // namespace undarix::kernels
