#include "kernels/kernel_frame.hpp"

#include "frame/internal_failure.hpp"
#include "kernels/thread_settings.hpp"
#include "numpy/numpy_api.hpp"

namespace undarix::kernels {
namespace {

// Elements are handed to threads in chunks of about this much work (30 to
// 100 microseconds): small enough to balance the threads and to stop
// promptly, large enough that claiming a chunk costs nothing measurable.
constexpr std::uint64_t kChunkWork = 8192;

// Each thread must get at least this much work (0.15 to 0.5 ms on one core)
// to earn the cost of starting it: measured on 2 cores, two threads already
// take 0.6 to 0.7 times one thread's time at twice this.  Calls with less
// never start a thread, nor read the thread settings.
constexpr std::uint64_t kMinWorkPerThread = 32768;

// Runs pending signal handlers, as the interpreter's own loop would; a
// handler that raises (KeyboardInterrupt by default) stops the evaluation
// and leaves its exception pending.
class SignalPoll final : public parallel::CallerPoll {
public:
    SignalPoll(InterpreterLockReleased& unlocked, bool main_thread) : unlocked_(unlocked), main_thread_(main_thread) {}

    bool proceed() override {
        if (!main_thread_) {
            return true;
        }
        return unlocked_.with_lock([] { return PyErr_CheckSignals() == 0; });
    }

private:
    InterpreterLockReleased& unlocked_;
    const bool main_thread_;
};

// How many threads a call of `work` in `chunks` chunks starts, the calling
// thread included.
Expected<unsigned> threads_for(std::uint64_t work, std::uint64_t chunks) {
    if (work < 2 * kMinWorkPerThread || chunks < 2) {
        return 1u;
    }
    Expected<unsigned> configured = configured_threads();
    if (!configured) {
        return configured.take_failure();
    }
    std::uint64_t threads = configured.value();
    if (threads > work / kMinWorkPerThread) {
        threads = work / kMinWorkPerThread;
    }
    if (threads > chunks) {
        threads = chunks;
    }
    return static_cast<unsigned>(threads);
}

}  // namespace

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

Status evaluate_unlocked(const parallel::RangeTask& task, std::size_t n, std::uint64_t work,
                         std::uint64_t work_per_element) {
    const std::uint64_t chunk_elements = work_per_element < kChunkWork ? kChunkWork / work_per_element : 1;
    const std::uint64_t chunks = (n + chunk_elements - 1) / chunk_elements;
    Expected<unsigned> threads = threads_for(work, chunks);
    if (!threads) {
        return threads.take_failure();
    }
    const parallel::LoopPlan plan{n, static_cast<std::size_t>(chunk_elements), threads.value()};
    // Signal handlers run only on Python's main thread, so only there is it
    // worth taking the interpreter lock back to run them.
    const bool main_thread = on_main_thread();
    parallel::LoopOutcome outcome = parallel::LoopOutcome::completed;
    {
        InterpreterLockReleased unlocked(main_thread);
        SignalPoll poll(unlocked, main_thread);
        outcome = parallel::run_chunked(plan, task, poll);
    }
    if (outcome == parallel::LoopOutcome::stopped) {
        return fetch_failure();
    }
    return Status();
}

}  // namespace undarix::kernels
