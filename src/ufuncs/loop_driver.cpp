#include "ufuncs/loop_driver.hpp"

#include "frame/entry_depth.hpp"
#include "frame/guarded_entry.hpp"
#include "frame/interpreter_lock.hpp"
#include "kernels/signal_poll.hpp"
#include "kernels/thread_settings.hpp"
#include "maths/saturating_arithmetic.hpp"
#include "parallel/chunked_loop.hpp"
#include "parallel/this_process.hpp"

#include <atomic>
#include <cfenv>
#include <chrono>
#include <exception>
#include <new>
#include <optional>
#include <type_traits>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/types.h>
#include <unistd.h>
#define UNDARIX_HAS_GETPID 1
#endif

namespace undarix::ufuncs {
namespace {

// From this much work (about a millisecond) on, a loop call runs pending
// signals while it goes on, with the lock given up; shorter loop calls run
// them once this much has been done on the thread since it last did, so
// that a sweep of short rows answers Ctrl-C as promptly as one long loop.
constexpr std::uint64_t kPollWork = 65536;

enum class MainThread : unsigned char { unknown, yes, no };

using Clock = std::chrono::steady_clock;

// What a thread's loop calls carry from one call to the next.  Trivially
// destructible: valid for the whole life of the thread.
struct ThreadLoopState {
    // Work done since this thread last ran pending signal handlers (or
    // learned that it is not the thread that runs them).
    std::uint64_t work_since_poll = 0;
    // A loop call on this thread left an exception pending: later calls
    // skip their work for as long as it is (that is, until NumPy raised it
    // and the ufunc call ended).
    bool failure_pending = false;
    // Whether this is Python's main thread, last asked with the lock held,
    // in the process `answered_in` (a forked child's main thread is the one
    // that forked).
    MainThread main = MainThread::unknown;
#if defined(UNDARIX_HAS_GETPID)
    pid_t answered_in = 0;
#endif
    // When this thread's last loop call of kRowSplitWork or more ended, and
    // the work of the run it ended (see splits_as_a_row).
    Clock::time_point last_long_end{};
    std::uint64_t run_work = 0;
};

static_assert(std::is_trivially_destructible_v<ThreadLoopState>,
              "the loop state stays valid until the thread's very end");
thread_local ThreadLoopState this_thread;

// Asks with the lock held, and remembers the answer for later loop calls.
bool ask_main_thread() noexcept {
    const bool main = on_main_thread();
    this_thread.main = main ? MainThread::yes : MainThread::no;
#if defined(UNDARIX_HAS_GETPID)
    this_thread.answered_in = parallel::this_process_id();
#endif
    return main;
}

// The remembered answer; unknown when none was given in this process.
MainThread remembered_main_thread() noexcept {
#if defined(UNDARIX_HAS_GETPID)
    if (this_thread.main != MainThread::unknown && this_thread.answered_in != parallel::this_process_id()) {
        this_thread.main = MainThread::unknown;
    }
#endif
    return this_thread.main;
}

// The interpreter lock as this loop call found it: held (NumPy kept it for
// a small loop) or released by NumPy around the loop, in which case it is
// taken only for the Python work (with_lock) and left released, as NumPy
// expects it back.
class LoopLock {
public:
    LoopLock() noexcept : held_(this_thread_holds_interpreter_lock()) {
        if (!held_) {
            // A "yes" cannot be out of date: in a forked child the threads
            // that survive are the one that forked, which is the child's main
            // thread, and none other.
            released_.emplace(ReleasedByCaller{}, this_thread.main == MainThread::yes);
        }
    }

    bool held() const noexcept { return held_; }
    bool can_lock() const noexcept { return held_ || released_->can_lock(); }

    // The caller's release (only when !held()).
    InterpreterLockReleased& released() noexcept { return *released_; }

    // Runs body() with the lock held; needs can_lock().
    template <class Body>
    auto with_lock(Body&& body) {
        if (held_) {
            return body();
        }
        return released_->with_lock(body);
    }

private:
    const bool held_;
    std::optional<InterpreterLockReleased> released_;
};

// Runs pending signal handlers; false (the handler's exception pending)
// when one raised.  With the lock held, on the main thread.
bool signals_handled() noexcept {
    this_thread.work_since_poll = 0;
    if (PyErr_Occurred() != nullptr) {
        return false;
    }
    return PyErr_CheckSignals() == 0;
}

// Whether an exception that an earlier loop call left is still pending;
// forgets it once NumPy has raised it.
bool earlier_failure_pending() noexcept {
    if (!this_thread.failure_pending) {
        return false;
    }
    LoopLock lock;
    if (lock.can_lock() && lock.with_lock([] { return PyErr_Occurred() != nullptr; })) {
        return true;
    }
    this_thread.failure_pending = false;
    return false;
}

// Counts a short loop call's work, and runs pending signal handlers once a
// millisecond's worth has been done; false when a handler raised.
bool count_work(std::uint64_t work) noexcept {
    this_thread.work_since_poll += work;
    if (this_thread.work_since_poll < kPollWork) {
        return true;
    }
    if (remembered_main_thread() == MainThread::no) {
        this_thread.work_since_poll = 0;
        return true;
    }
    LoopLock lock;
    if (!lock.can_lock()) {
        this_thread.work_since_poll = 0;
        return true;
    }
    return lock.with_lock([] { return !ask_main_thread() || signals_handled(); });
}

// A loop call shorter than kPollWork polls nothing while it runs: count_work
// does, between loop calls.
class NoPoll final : public parallel::CallerPoll {
public:
    bool proceed() override { return true; }
};

void run_here(const LoopBody& body, std::size_t elements) {
    parallel::NeverStop checkpoint;
    body.run(body.context, 0, elements, checkpoint);
}

// What a loop call long enough to be split learns with the lock held.
struct CallSettings {
    unsigned threads;  // 0: the call has failed, its exception pending
    bool main_thread;
};

// In this order: an exception already pending (an earlier loop call of the
// same ufunc call failed) ends the call before any other Python work can
// disturb it; then the pending signals, on the main thread; then the thread
// settings, whose warning may run any Python code.
CallSettings read_settings() {
    if (PyErr_Occurred() != nullptr) {
        return {0, false};
    }
    const bool main_thread = ask_main_thread();
    if (main_thread && !signals_handled()) {
        return {0, true};
    }
    EntryDepth entry;  // references dropped meanwhile are released at once
    Expected<unsigned> threads = kernels::configured_threads();
    if (!threads) {
        restore_failure(threads.take_failure());
        return {0, main_thread};
    }
    return {threads.value(), main_thread};
}

bool drive_long(const parallel::LoopPlan& plan, const parallel::RangeTask& task, const CallSettings& settings,
                LoopLock& lock) {
    parallel::LoopResult result{};
    {
        // NumPy keeps the lock around small loops (a few hundred elements),
        // which can still be long ones here (many harmonics): it is given up
        // for the evaluation, so that other threads, and the one that may
        // send the interrupt, can run.
        std::optional<InterpreterLockReleased> given_up;
        InterpreterLockReleased& unlocked = lock.held() ? given_up.emplace(settings.main_thread) : lock.released();
        kernels::SignalPoll poll(unlocked, settings.main_thread);
        result = parallel::run_chunked(plan, task, poll);
    }
    if (result.worker_flags != 0) {
        std::feraiseexcept(result.worker_flags);
    }
    return result.outcome == parallel::LoopOutcome::completed;
}

// Whether this loop call is split as one of a run (from kRowSplitWork)
// rather than as a call of its own (from kSplitWork); counts a call of
// kRowSplitWork or more into this thread's run, whether it is then split or
// not (one element, one thread allowed), so that a run's work is all of it.
//
// A loop call that follows this thread's last one of kRowSplitWork or more
// within the workers' spin time is one of a run: the rows or buffers of a
// sweep, a fit's evaluations, calls in a quick loop.  Splitting pays from
// kRowSplitWork while the workers are awake; waking them is what costs, 7
// to 12 us of the waking thread on the 2-core VM (a futex wake and the
// interrupt it sends).  That is more than splitting a 1,300-element Jacobian
// saves: such a call of its own took 34 us on two threads, 26 us on one, and
// a fit of three such evaluations took longer on two threads than on one.
// So a run wakes the workers as a single call does, once its work reaches
// kSplitWork: at the ninth row of a sweep of rows of 1,000, or the fifth
// evaluation of a harmonic_oscillator fit at 1,277 points.  Its calls before
// that, and all of a shorter run (one iteration of such a fit), are calls of
// their own.
bool splits_as_a_row(std::uint64_t work) noexcept {
    if (work < parallel::kRowSplitWork) {
        return false;
    }
    const bool in_run = Clock::now() - this_thread.last_long_end < parallel::kWorkerSpinTime;
    this_thread.run_work = in_run ? maths::saturating_add(this_thread.run_work, work) : work;
    return in_run && this_thread.run_work >= parallel::kSplitWork;
}

bool drive(const LoopBody& body, std::size_t elements, std::uint64_t work, bool as_row) {
    if (earlier_failure_pending()) {
        return false;
    }
    parallel::LoopPlan plan = parallel::plan_threads(work, elements, parallel::LoopKind::row);
    const bool long_loop = work >= kPollWork;
    if (plan.threads <= 1 && !long_loop) {
        run_here(body, elements);
        return count_work(work);
    }
    LoopLock lock;
    if (!lock.can_lock()) {
        // A thread Python does not know: it can neither read the settings
        // nor run signal handlers.
        run_here(body, elements);
        return true;
    }
    const CallSettings settings = lock.with_lock(read_settings);
    if (settings.threads == 0) {
        return false;
    }
    if (settings.threads < plan.threads) {
        plan.threads = settings.threads;
    }
    if (plan.threads > 1 && !as_row) {
        const unsigned alone = parallel::plan_threads(work, elements, parallel::LoopKind::single).threads;
        plan.threads = alone < plan.threads ? alone : plan.threads;
    }
    const parallel::RangeTask task{body.context, body.run};
    if (long_loop) {
        return drive_long(plan, task, settings, lock);
    }
    NoPoll poll;
    const parallel::LoopResult result = parallel::run_chunked(plan, task, poll);
    if (result.worker_flags != 0) {
        std::feraiseexcept(result.worker_flags);
    }
    this_thread.work_since_poll += work;
    return true;
}

// Sets the exception unless one is pending, with the lock held.
void report(PyObject* type, const char* message) noexcept {
    LoopLock lock;
    if (lock.can_lock()) {
        lock.with_lock([type, message] {
            if (PyErr_Occurred() == nullptr) {
                PyErr_SetString(type, message);
            }
        });
    }
}

void report_no_memory() noexcept {
    LoopLock lock;
    if (lock.can_lock()) {
        lock.with_lock([] {
            if (PyErr_Occurred() == nullptr) {
                PyErr_NoMemory();
            }
        });
    }
}

}  // namespace

UNDARIX_FORCED_UNWIND_HANDLER bool drive_loop(const LoopBody& body, std::size_t elements, std::uint64_t work) {
    try {
        const bool completed = drive(body, elements, work, splits_as_a_row(work));
        if (work >= parallel::kRowSplitWork) {
            this_thread.last_long_end = Clock::now();
        }
        if (!completed) {
            this_thread.failure_pending = true;
        }
        return completed;
#if defined(UNDARIX_HAS_FORCED_UNWIND)
    } catch (abi::__forced_unwind&) {
        // The thread is being ended at exit; swallowing this would abort the
        // process.
        throw;
#endif
    } catch (const InternalFailure& failure) {
        // Already reported on standard error, with where it was raised.
        report(PyExc_SystemError, failure.message().c_str());
    } catch (const std::bad_alloc&) {
        report_no_memory();
    } catch (const std::exception& failure) {
        report(PyExc_SystemError, failure.what());
    } catch (...) {
        report(PyExc_SystemError, "undarix_ufuncs: unknown C++ exception in an inner loop");
    }
    this_thread.failure_pending = true;
    return false;
}

}  // namespace undarix::ufuncs
