#include "ufuncs/loop_driver.hpp"

#include "frame/entry_depth.hpp"
#include "frame/guarded_entry.hpp"
#include "frame/interpreter_lock.hpp"
#include "kernels/signal_poll.hpp"
#include "kernels/thread_settings.hpp"
#include "maths/saturating_arithmetic.hpp"
#include "parallel/chunked_loop.hpp"
#include "parallel/loop_plan.hpp"
#include "parallel/split_policy.hpp"
#include "parallel/this_process.hpp"

#include <atomic>
#include <cfenv>
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

using parallel::kPollWork;

enum class MainThread : unsigned char { unknown, yes, no };

// What a thread's legacy loop calls (NumPy 1.x) carry from one to the next:
// nothing that decides how a loop call is split, only when signals are next
// run and whether an earlier loop call's exception still waits for NumPy.
// Trivially destructible: valid for the whole life of the thread.
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

std::uint64_t added(std::uint64_t a, std::uint64_t b) noexcept { return maths::saturating_add(a, b); }

// The interpreter lock as this loop call found it: held (NumPy kept it for
// a small loop) or released by NumPy around the loop, in which case it is
// taken only for the Python work (with_lock) and left released, as NumPy
// expects it back.  `main_thread`: known to be Python's main thread (a "yes"
// cannot be out of date: in a forked child the threads that survive are the
// one that forked, which is the child's main thread, and none other).
class LoopLock {
public:
    explicit LoopLock(bool main_thread) noexcept : held_(this_thread_holds_interpreter_lock()) {
        if (!held_) {
            released_.emplace(ReleasedByCaller{}, main_thread);
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
    if (PyErr_Occurred() != nullptr) {
        return false;
    }
    return PyErr_CheckSignals() == 0;
}

// The thread setting, with the lock held; 0 when its warning raised, the
// exception then set.
unsigned read_threads() {
    EntryDepth entry;  // references dropped meanwhile are released at once
    Expected<unsigned> threads = kernels::configured_threads();
    if (!threads) {
        restore_failure(threads.take_failure());
        return 0;
    }
    return threads.value();
}

// A loop call shorter than kPollWork polls nothing while it runs: the
// driver does, between loop calls.
class NoPoll final : public parallel::CallerPoll {
public:
    bool proceed() override { return true; }
};

void run_here(const LoopBody& body, std::size_t elements) {
    parallel::NeverStop checkpoint;
    body.run(body.context, 0, elements, checkpoint);
}

// Runs a loop call that goes to the chunked loop: split, or long enough to
// poll for signals while it runs (it then gives up the lock NumPy kept
// around a small loop, which can still be a long one here, many harmonics,
// so that other threads, and the one that may send the interrupt, can run).
// True when it completed, the workers' flags then raised here; false when a
// poll's signal handler raised, its exception pending.
bool run_planned(const parallel::LoopPlan& plan, const LoopBody& body, bool main_thread, bool long_loop,
                 LoopLock& lock) {
    const parallel::RangeTask task{body.context, body.run};
    parallel::LoopResult result{};
    if (long_loop) {
        std::optional<InterpreterLockReleased> given_up;
        InterpreterLockReleased& unlocked = lock.held() ? given_up.emplace(main_thread) : lock.released();
        kernels::SignalPoll poll(unlocked, main_thread);
        result = parallel::run_chunked(plan, task, poll);
    } else {
        NoPoll poll;
        result = parallel::run_chunked(plan, task, poll);
    }
    if (result.outcome != parallel::LoopOutcome::completed) {
        return false;
    }
    if (result.worker_flags != 0) {
        std::feraiseexcept(result.worker_flags);
    }
    return true;
}

// ---- NumPy 2: one state per ufunc call ---------------------------------------

// Counts a short loop call's work into its ufunc call, and runs pending
// signal handlers once a millisecond's worth has been done since the call
// last did; false when a handler raised.
bool poll_between(CallState& call, std::uint64_t work) noexcept {
    call.work_since_poll = added(call.work_since_poll, work);
    if (call.work_since_poll < kPollWork) {
        return true;
    }
    call.work_since_poll = 0;
    if (!call.main_thread) {
        return true;
    }
    LoopLock lock(true);
    return !lock.can_lock() || lock.with_lock(signals_handled);
}

bool drive_call(CallState& call, const LoopBody& body, std::size_t elements, std::uint64_t work) {
    parallel::LoopPlan plan = parallel::plan_loop_call(work, elements, call.work_done);
    call.work_done = added(call.work_done, work);
    const bool long_loop = work >= kPollWork;
    // The setting is read once per call, at its first loop call that could
    // be split once the call's work adds up: a short call never reads it,
    // and a failure to read it (its warning turned into an error) comes
    // before most of a sweep is written.
    const bool read_setting = call.threads == 0 && (plan.threads > 1 || work >= parallel::kAwakeSplitWork);
    if (plan.threads <= 1 && !long_loop && !read_setting) {
        run_here(body, elements);
        return poll_between(call, work);
    }
    LoopLock lock(call.main_thread);
    if (!lock.can_lock()) {
        run_here(body, elements);
        return true;
    }
    if (read_setting) {
        // Pending signals first (a handler may raise before any Python code
        // of the setting's warning runs), then the setting.
        const bool read = lock.with_lock([&call] {
            if (call.main_thread && !signals_handled()) {
                return false;
            }
            call.threads = read_threads();
            return call.threads != 0;
        });
        if (!read) {
            return false;
        }
        call.work_since_poll = 0;
    }
    if (call.threads != 0 && plan.threads > call.threads) {
        plan.threads = call.threads;
    }
    if (plan.threads <= 1 && !long_loop) {
        run_here(body, elements);
        return poll_between(call, work);
    }
    if (!run_planned(plan, body, call.main_thread, long_loop, lock)) {
        return false;
    }
    if (long_loop) {
        call.work_since_poll = 0;  // it polled while it ran
        return true;
    }
    return poll_between(call, work);
}

// ---- NumPy 1.x: each loop call planned on its own -----------------------------

// Whether an exception that an earlier loop call left is still pending;
// forgets it once NumPy has raised it.
bool earlier_failure_pending() noexcept {
    if (!this_thread.failure_pending) {
        return false;
    }
    LoopLock lock(this_thread.main == MainThread::yes);
    if (lock.can_lock() && lock.with_lock([] { return PyErr_Occurred() != nullptr; })) {
        return true;
    }
    this_thread.failure_pending = false;
    return false;
}

// Counts a short loop call's work, and runs pending signal handlers once a
// millisecond's worth has been done on this thread; false when a handler
// raised.
bool count_work(std::uint64_t work) noexcept {
    this_thread.work_since_poll = added(this_thread.work_since_poll, work);
    if (this_thread.work_since_poll < kPollWork) {
        return true;
    }
    this_thread.work_since_poll = 0;
    if (remembered_main_thread() == MainThread::no) {
        return true;
    }
    LoopLock lock(this_thread.main == MainThread::yes);
    if (!lock.can_lock()) {
        return true;
    }
    return lock.with_lock([] { return !ask_main_thread() || signals_handled(); });
}

// What a legacy loop call long enough to be split learns with the lock held.
struct LegacySettings {
    unsigned threads;  // 0: the call has failed, its exception pending
    bool main_thread;
};

// In this order: an exception already pending (an earlier loop call of the
// same ufunc call failed) ends the call before any other Python work can
// disturb it; then the pending signals, on the main thread; then the thread
// settings, whose warning may run any Python code.
LegacySettings read_legacy_settings() {
    if (PyErr_Occurred() != nullptr) {
        return {0, false};
    }
    const bool main_thread = ask_main_thread();
    this_thread.work_since_poll = 0;
    if (main_thread && !signals_handled()) {
        return {0, true};
    }
    return {read_threads(), main_thread};
}

bool drive_legacy(const LoopBody& body, std::size_t elements, std::uint64_t work) {
    if (earlier_failure_pending()) {
        return false;
    }
    parallel::LoopPlan plan = parallel::plan_threads(work, elements);
    const bool long_loop = work >= kPollWork;
    // The settings are read from kAwakeSplitWork on, as a NumPy 2 call reads
    // them: a warning turned into an error fails the row of a sweep.
    if (plan.threads <= 1 && !long_loop && work < parallel::kAwakeSplitWork) {
        run_here(body, elements);
        return count_work(work);
    }
    LoopLock lock(this_thread.main == MainThread::yes);
    if (!lock.can_lock()) {
        // A thread Python does not know: it can neither read the settings
        // nor run signal handlers.
        run_here(body, elements);
        return true;
    }
    const LegacySettings settings = lock.with_lock(read_legacy_settings);
    if (settings.threads == 0) {
        return false;
    }
    if (plan.threads > settings.threads) {
        plan.threads = settings.threads;
    }
    if (!run_planned(plan, body, settings.main_thread, long_loop, lock)) {
        return false;
    }
    if (!long_loop) {
        this_thread.work_since_poll = added(this_thread.work_since_poll, work);
    }
    return true;
}

// ---- Failures -----------------------------------------------------------------

// Sets the exception unless one is pending, with the lock held.
void report(PyObject* type, const char* message) noexcept {
    LoopLock lock(false);
    if (lock.can_lock()) {
        lock.with_lock([type, message] {
            if (PyErr_Occurred() == nullptr) {
                PyErr_SetString(type, message);
            }
        });
    }
}

void report_no_memory() noexcept {
    LoopLock lock(false);
    if (lock.can_lock()) {
        lock.with_lock([] {
            if (PyErr_Occurred() == nullptr) {
                PyErr_NoMemory();
            }
        });
    }
}

// Runs drive() and turns what escapes it into the pending exception.  A
// loop call that fails leaves no floating-point flag raised, the workers'
// included: NumPy 1.x runs its floating-point check after the loop whatever
// it did, and a flag would make that check raise or warn over the pending
// exception (a FloatingPointError, or a SystemError for a warning raised
// with an exception set) instead of letting it through.
template <class Drive>
UNDARIX_FORCED_UNWIND_HANDLER bool guarded_loop(Drive&& drive) {
    bool completed = false;
    try {
        completed = drive();
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
    if (!completed) {
        std::feclearexcept(FE_ALL_EXCEPT);
    }
    return completed;
}

}  // namespace

CallState begin_call() noexcept {
    CallState call;
    call.main_thread = on_main_thread();
    return call;
}

UNDARIX_FORCED_UNWIND_HANDLER bool drive_call_loop(CallState& call, const LoopBody& body, std::size_t elements,
                                                   std::uint64_t work) {
    return guarded_loop([&] { return drive_call(call, body, elements, work); });
}

UNDARIX_FORCED_UNWIND_HANDLER bool drive_loop(const LoopBody& body, std::size_t elements, std::uint64_t work) {
    const bool completed = guarded_loop([&] { return drive_legacy(body, elements, work); });
    if (!completed) {
        this_thread.failure_pending = true;
    }
    return completed;
}

}  // namespace undarix::ufuncs
