#include "ufuncs/loop_driver.hpp"

#include "frame/entry_depth.hpp"
#include "kernels/interpreter_lock.hpp"
#include "kernels/thread_settings.hpp"
#include "parallel/chunked_loop.hpp"
#include "parallel/worker_team.hpp"

#include <atomic>
#include <cfenv>
#include <chrono>
#include <optional>
#include <thread>

namespace undarix::ufuncs {
namespace {

// Below this much work a loop call runs on the calling thread and reads no
// setting: about 10 to 20 microseconds, less than splitting it would save.
constexpr std::uint64_t kTeamWork = 768;
// Each team thread gets at least this much (a few microseconds), so that a
// row of a sweep (a thousand elements) goes to two threads.
constexpr std::uint64_t kTeamWorkPerThread = 384;
// From here on threads are started for the call itself, as the strict
// module does, and pending signals are run while it goes on: the same
// thresholds as kernels/kernel_frame.cpp, so both interfaces split a long
// evaluation alike.
constexpr std::uint64_t kLongWork = 65536;
constexpr std::uint64_t kMinWorkPerThread = 32768;
constexpr std::uint64_t kChunkWork = 8192;

// Holds the interpreter lock for its lifetime: NumPy released it around the
// loop, or kept it (small loops), and gets it back as it was.
class LockHeld {
public:
    LockHeld() : held_before_(PyGILState_Check() != 0) {
        if (!held_before_) {
            state_ = PyGILState_GetThisThreadState();
            if (state_ != nullptr) {
                // Whether this is the main thread can be asked only with the
                // lock held: the lock is taken the cautious way, on the
                // thread's separate stack, as for any thread the interpreter
                // may end at exit.
                kernels::prepare_separate_stack();
                kernels::take_back_lock(state_, false);
            } else {
                ensured_ = PyGILState_Ensure();  // not a thread Python knows: cannot happen from NumPy
            }
        }
    }
    ~LockHeld() {
        if (held_before_) {
            return;
        }
        if (state_ != nullptr) {
            PyEval_SaveThread();
        } else {
            PyGILState_Release(ensured_);
        }
    }
    LockHeld(const LockHeld&) = delete;
    LockHeld& operator=(const LockHeld&) = delete;

private:
    const bool held_before_;
    PyThreadState* state_ = nullptr;
    PyGILState_STATE ensured_{};
};

// Reads the thread count, and whether this is the main thread, with the
// lock held; 0 when the call has already failed (a pending exception), or
// fails now.
unsigned threads_or_failure(bool& main_thread) {
    LockHeld lock;
    main_thread = kernels::on_main_thread();
    EntryDepth entry;  // references dropped meanwhile are released at once
    if (PyErr_Occurred() != nullptr) {
        return 0;
    }
    Expected<unsigned> threads = kernels::configured_threads();
    if (!threads) {
        restore_failure(threads.take_failure());
        return 0;
    }
    return threads.value();
}

class NeverStop final : public parallel::Checkpoint {
public:
    bool keep_going(std::size_t) override { return true; }
};

// Runs pending signal handlers, on the main thread only (the one that runs
// them); a handler that raises stops the loop and leaves its exception
// pending.
class SignalPoll final : public parallel::CallerPoll {
public:
    // `main_thread` is kernels::on_main_thread(), asked with the lock held.
    explicit SignalPoll(bool main_thread) : main_thread_(main_thread) {}

    bool proceed() override {
        if (!main_thread_) {
            return true;
        }
        LockHeld lock;
        return PyErr_CheckSignals() == 0;
    }

private:
    const bool main_thread_;
};

// A long loop's body with its floating-point flags collected per chunk, so
// that the flags workers raise reach the calling thread.
struct FlagCollecting {
    const LoopBody& body;
    mutable std::atomic<int> flags{0};
};

void run_collecting(const void* erased, std::size_t first, std::size_t last, parallel::Checkpoint& checkpoint) {
    const FlagCollecting& wrapped = *static_cast<const FlagCollecting*>(erased);
    fexcept_t before;
    std::fegetexceptflag(&before, FE_ALL_EXCEPT);
    std::feclearexcept(FE_ALL_EXCEPT);
    wrapped.body.run(wrapped.body.context, first, last, checkpoint);
    const int raised = std::fetestexcept(FE_ALL_EXCEPT);
    if (raised != 0) {
        wrapped.flags.fetch_or(raised, std::memory_order_relaxed);
    }
    std::fesetexceptflag(&before, FE_ALL_EXCEPT);
}

void run_short_part(const void* erased, std::size_t first, std::size_t last) {
    const LoopBody& body = *static_cast<const LoopBody*>(erased);
    NeverStop checkpoint;
    body.run(body.context, first, last, checkpoint);
}

bool drive_long(const LoopBody& body, std::size_t elements, std::uint64_t work, unsigned configured,
                bool main_thread) {
    const std::uint64_t per_element = (work - 1) / elements + 1;
    const std::uint64_t chunk_elements = per_element < kChunkWork ? kChunkWork / per_element : 1;
    const std::uint64_t chunks = (elements + chunk_elements - 1) / chunk_elements;
    std::uint64_t threads = configured;
    if (threads > work / kMinWorkPerThread) {
        threads = work / kMinWorkPerThread;
    }
    if (threads > chunks) {
        threads = chunks;
    }
    if (threads < 1) {
        threads = 1;
    }
    FlagCollecting wrapped{body};
    const parallel::RangeTask task{&wrapped, run_collecting};
    const parallel::LoopPlan plan{elements, static_cast<std::size_t>(chunk_elements), static_cast<unsigned>(threads)};
    // NumPy keeps the lock around small loops (a few hundred elements),
    // which can still be long ones here (many harmonics): it is given up
    // for the evaluation, so that other threads, and the one that may send
    // the interrupt, can run.
    std::optional<kernels::InterpreterLockReleased> unlocked;
    if (PyGILState_Check() != 0) {
        unlocked.emplace(main_thread);
    }
    SignalPoll poll(main_thread);
    const parallel::LoopOutcome outcome = parallel::run_chunked(plan, task, poll);
    unlocked.reset();
    const int flags = wrapped.flags.load(std::memory_order_relaxed);
    if (flags != 0) {
        std::feraiseexcept(flags);
    }
    return outcome == parallel::LoopOutcome::completed;
}

}  // namespace

bool drive_loop(const LoopBody& body, std::size_t elements, std::uint64_t work) {
    if (work < kTeamWork) {
        NeverStop checkpoint;
        body.run(body.context, 0, elements, checkpoint);
        return true;
    }
    bool main_thread = false;
    const unsigned configured = threads_or_failure(main_thread);
    if (configured == 0) {
        return false;
    }
    if (work >= kLongWork) {
        return drive_long(body, elements, work, configured, main_thread);
    }
    std::uint64_t threads = configured;
    if (threads > work / kTeamWorkPerThread) {
        threads = work / kTeamWorkPerThread;
    }
    if (threads <= 1) {
        NeverStop checkpoint;
        body.run(body.context, 0, elements, checkpoint);
        return true;
    }
    const parallel::TeamTask team_task{&body, run_short_part};
    const int flags = parallel::run_on_team(team_task, elements, static_cast<unsigned>(threads));
    if (flags != 0) {
        std::feraiseexcept(flags);
    }
    return true;
}

void raise_in_loop(PyObject* type, const char* message) {
    LockHeld lock;
    if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(type, message);
    }
}

}  // namespace undarix::ufuncs
