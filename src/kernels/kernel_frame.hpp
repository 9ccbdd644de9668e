// The evaluation frame shared by the waveforms' kernels: borrow the time array,
// create the result array, evaluate a formula at every element straight into
// it, and give the borrow back.
#pragma once

#include "frame/expected.hpp"
#include "frame/interpreter_lock.hpp"
#include "kernels/readonly_array_view.hpp"
#include "parallel/chunked_loop.hpp"
#include "parallel/split_policy.hpp"

#include <cstddef>
#include <cstdint>

namespace undarix::kernels {

// A new plain, C-ordered float64 ndarray of n elements whose memory NumPy
// allocates; returns a new reference.  NumPy's MemoryError is passed on as
// a failure; any other failure to create it is an InternalFailure.
Expected<OwnedRef> new_result_array(std::size_t n);

// The first element of a result array made by new_result_array.
double* result_data(PyObject* result) noexcept;

// Evaluates the task in place over the n elements of `values`, with the
// interpreter lock released, on as many threads as the work and the user's
// settings call for.  Pending signals are handled every few milliseconds on
// the calling thread; when a handler raises, the evaluation stops and that
// exception is returned.  `work` is n times the cost of one element.
Status evaluate_unlocked(const parallel::RangeTask& task, std::size_t n, std::uint64_t work);

// Formula: double(double t, KeepGoing keep_going), the waveform with the
// call's parameters bound, where keep_going() -> bool may be asked inside a
// long element (a sum of many harmonics); it must not touch Python objects
// or throw.  `work_per_element` is its cost relative to the cheapest
// formula.  Returns a new reference to the result array.  The borrow is
// released on every way out, failures included.
template <class Formula>
Expected<OwnedRef> evaluate(PyObject* time, const Formula& formula, std::uint64_t work_per_element = 1) {
    ReadonlyArrayView view(time);
    const std::size_t n = view.size();
    Expected<OwnedRef> result = new_result_array(n);
    if (!result) {
        return result.take_failure();
    }
    double* out = result_data(result.value().get());
    const std::uint64_t work = n <= UINT64_MAX / work_per_element ? n * work_per_element : UINT64_MAX;
    if (work < parallel::kReleaseLockWork) {
        // Too short to give the lock up, and so to be split.
        for (std::size_t i = 0; i < n; ++i) {
            out[i] = formula(view[i], [] { return true; });
        }
        return result;
    }
    // Other threads run while the lock is released and may resize the
    // array or change its dtype in place.  So the times are copied into the
    // result first and the borrow given back, both with the lock held: the
    // evaluation then reads and writes only memory this call owns.
    view.copy_to(out);
    view.release();
    struct Context {
        const Formula& formula;
        double* values;
    } context{formula, out};
    // Each value is written once, after its formula returns: a checkpoint
    // asked inside element i finds the elements before it written and none
    // from it on.
    const parallel::RangeTask task{
        &context, [](const void* erased, std::size_t first, std::size_t last, parallel::Checkpoint& checkpoint) {
            const Context& bound = *static_cast<const Context*>(erased);
            double* values = bound.values;
            for (std::size_t i = first; i < last; ++i) {
                values[i] = bound.formula(values[i], [&checkpoint, i] { return checkpoint.keep_going(i); });
            }
        }};
    if (Status evaluated = evaluate_unlocked(task, n, work); !evaluated) {
        return evaluated.take_failure();
    }
    return result;
}

}  // namespace undarix::kernels
