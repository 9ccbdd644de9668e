#include "kernels/kernel_frame.hpp"

#include "frame/internal_failure.hpp"
#include "frame/main_thread.hpp"
#include "kernels/signal_poll.hpp"
#include "kernels/thread_settings.hpp"
#include "numpy/numpy_api.hpp"

namespace undarix::kernels {

Expected<OwnedRef> new_result_array(std::size_t n) {
    PyObject* descr = numpy::float64_descr();
    numpy::npy_intp dimensions[1] = {static_cast<numpy::npy_intp>(n)};
    Py_INCREF(descr);  // consumed by the creation, whatever its outcome
    OwnedRef result = OwnedRef::steal(
        numpy::new_from_descr(numpy::array_type(), descr, 1, dimensions, nullptr, nullptr, 0, nullptr));
    if (!result) {
        // Running out of memory is the caller's ordinary MemoryError.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            return fetch_failure();
        }
        unexpected_api_failure();
    }
    return result;
}

double* result_data(PyObject* result) noexcept { return reinterpret_cast<double*>(numpy::as_array(result)->data); }

Status evaluate_unlocked(const parallel::RangeTask& task, std::size_t n, std::uint64_t work) {
    parallel::LoopPlan plan = parallel::plan_threads(work, n);
    if (plan.threads > 1) {
        Expected<unsigned> configured = configured_threads();
        if (!configured) {
            return configured.take_failure();
        }
        if (configured.value() < plan.threads) {
            plan.threads = configured.value();
        }
    }
    // Signal handlers run only on Python's main thread, so only there is it
    // worth taking the interpreter lock back to run them.
    const bool main_thread = on_main_thread();
    parallel::LoopOutcome outcome = parallel::LoopOutcome::completed;
    {
        InterpreterLockReleased unlocked(main_thread);
        SignalPoll poll(unlocked, main_thread);
        outcome = parallel::run_chunked(plan, task, poll).outcome;
    }
    if (outcome == parallel::LoopOutcome::stopped) {
        return fetch_failure();
    }
    return Status();
}

}  // namespace undarix::kernels
