#include "parallel/worker_team.hpp"

#include "parallel/this_process.hpp"

#include <atomic>
#include <chrono>
#include <cfenv>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

// A spinning thread re-reads the shared word without the processor's
// pause hint: under a hypervisor the hint makes the virtual CPU exit to the
// host, which may then schedule it away for far longer than a row takes.
#define UNDARIX_SPIN_PAUSE() __asm__ __volatile__("" ::: "memory")

namespace undarix::parallel {
namespace {

// How long a worker keeps polling for the next task before it sleeps: the
// gap between two rows of a sweep is a microsecond or two (NumPy's
// iteration), so the next row finds it awake, and an idle team gives the
// cores back at once.
constexpr std::chrono::microseconds kSpinTime{50};
// Polls between two looks at the clock.
constexpr unsigned kPollsPerClockRead = 64;
// How long the caller polls for the workers' last parts before it starts
// yielding its core: longer means a worker was preempted mid-part, and may
// be waiting for this very core.
constexpr std::chrono::microseconds kCallerSpinTime{20};

// Enough for the formulas and the C runtime's maths functions, which is all
// a worker ever runs.
constexpr std::size_t kWorkerStack = 128 * 1024;

// The generation word's low bits hold the number of workers the task wants.
constexpr unsigned kHelperBits = 8;
constexpr std::uint64_t kHelperMask = (1u << kHelperBits) - 1;
static_assert(kMaxTeamThreads <= kHelperMask, "the helper count must fit below the sequence number");

// Parts per thread: a little slack when one core is also busy elsewhere.
constexpr std::size_t kPartsPerThread = 4;

// A claim word says everything a thread needs to claim a part: the task's
// number (modulo 2^kSequenceBits), its part count and the next part to
// claim.  A thread that read the word of an earlier task can therefore
// neither take a part of the task now running (the number differs, so its
// compare-and-swap fails) nor judge that task's parts by its own stale
// count: until its compare-and-swap succeeds it reads nothing but this word.
// The word of a task returns only after 2^kSequenceBits further tasks.
constexpr unsigned kPartBits = 10;
constexpr unsigned kSequenceBits = 64 - 2 * kPartBits;
constexpr std::uint64_t kPartMask = (std::uint64_t{1} << kPartBits) - 1;
constexpr std::uint64_t kSequenceMask = (std::uint64_t{1} << kSequenceBits) - 1;
static_assert(kMaxTeamThreads * kPartsPerThread <= kPartMask, "a part count must fit in its field");

constexpr std::uint64_t claim_word(std::uint64_t sequence, std::uint64_t parts, std::uint64_t next) noexcept {
    return (sequence & kSequenceMask) << (2 * kPartBits) | parts << kPartBits | next;
}
constexpr std::uint64_t claim_sequence(std::uint64_t claim) noexcept { return claim >> (2 * kPartBits); }
constexpr std::size_t claim_parts(std::uint64_t claim) noexcept {
    return static_cast<std::size_t>(claim >> kPartBits & kPartMask);
}
constexpr std::size_t claim_next(std::uint64_t claim) noexcept { return static_cast<std::size_t>(claim & kPartMask); }

class Team {
public:
    explicit Team(pid_t owner) : owner_(owner) {}

    pid_t owner() const noexcept { return owner_; }

    // True when the calling thread now owns the team for one task.
    bool try_claim() noexcept { return !busy_.exchange(true, std::memory_order_acquire); }
    void unclaim() noexcept { busy_.store(false, std::memory_order_release); }

    // Starts workers until there are `wanted` (or as many as can be
    // started); called by the team's owner only.
    void grow(unsigned wanted) noexcept {
        while (workers_ < wanted && workers_ < kMaxTeamThreads - 1) {
            if (!start_worker(workers_)) {
                return;
            }
            ++workers_;
        }
    }

    unsigned workers() const noexcept { return workers_; }

    // Returns once every part has been evaluated.  A worker reads the task
    // (task_, elements_) only between claiming a part and counting it done,
    // so when the count is complete no worker is inside the task or will
    // read it again: a late one finds only the claim word, which no longer
    // matches its own.
    int run(const TeamTask& task, std::size_t elements, unsigned helpers) noexcept {
        task_ = task;
        elements_ = elements;
        std::size_t parts = (static_cast<std::size_t>(helpers) + 1) * kPartsPerThread;
        if (parts > elements) {
            parts = elements;
        }
        parts_done_.store(0, std::memory_order_relaxed);
        flags_.store(0, std::memory_order_relaxed);
        const std::uint64_t sequence = (generation_.load(std::memory_order_relaxed) >> kHelperBits) + 1;
        claims_.store(claim_word(sequence, parts, 0), std::memory_order_release);
        // Publishes the task; the sequentially consistent pair with the
        // sleepers count means that a worker about to sleep either sees
        // this generation or is woken below.
        generation_.store(sequence << kHelperBits | helpers, std::memory_order_seq_cst);
        if (sleepers_.load(std::memory_order_seq_cst) > 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            wake_.notify_all();
        }
        // The caller takes parts too, all of them if no worker comes in
        // time (a busy machine): it waits only for parts a worker has begun.
        const std::size_t mine = work_parts(sequence);
        parts_done_.fetch_add(mine, std::memory_order_relaxed);
        if (parts_done_.load(std::memory_order_acquire) < parts) {
            const auto yield_after = std::chrono::steady_clock::now() + kCallerSpinTime;
            bool yielding = false;
            unsigned polls = 0;
            while (parts_done_.load(std::memory_order_acquire) < parts) {
                if (yielding) {
                    sched_yield();
                } else if (++polls % kPollsPerClockRead == 0) {
                    yielding = std::chrono::steady_clock::now() >= yield_after;
                } else {
                    UNDARIX_SPIN_PAUSE();
                }
            }
        }
        return flags_.load(std::memory_order_relaxed);
    }

private:
    struct WorkerStart {
        Team* team;
        unsigned index;
        std::uint64_t seen;  // the last task published before it was started
    };

    bool start_worker(unsigned index) noexcept {
        starts_[index] = WorkerStart{this, index, generation_.load(std::memory_order_relaxed)};
        pthread_attr_t attributes;
        if (pthread_attr_init(&attributes) != 0) {
            return false;
        }
        pthread_attr_setstacksize(&attributes, kWorkerStack);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        // Signals stay with the interpreter's threads.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        pthread_t thread;
        const bool started = pthread_create(&thread, &attributes, worker_main, &starts_[index]) == 0;
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        pthread_attr_destroy(&attributes);
        return started;
    }

    static void* worker_main(void* raw) {
        const WorkerStart start = *static_cast<WorkerStart*>(raw);
        start.team->serve(start.index, start.seen);
        return nullptr;
    }

    // Claims and evaluates parts of task `sequence` until none is left;
    // returns how many it evaluated.  Until a claim succeeds only the claim
    // word is read: the task may have ended, and the next one be written.
    std::size_t work_parts(std::uint64_t sequence) noexcept {
        std::size_t done = 0;
        std::uint64_t claim = claims_.load(std::memory_order_acquire);
        for (;;) {
            if (claim_sequence(claim) != (sequence & kSequenceMask)) {
                return done;
            }
            const std::size_t part = claim_next(claim);
            const std::size_t parts = claim_parts(claim);
            if (part >= parts) {
                return done;
            }
            if (!claims_.compare_exchange_weak(claim, claim + 1, std::memory_order_acq_rel,
                                               std::memory_order_acquire)) {
                continue;
            }
            // The part is ours, so the task cannot end before we count it.
            // Near-equal contiguous parts; the boundaries depend only on the
            // part count, and each element is written by one thread.
            const std::size_t base = elements_ / parts;
            const std::size_t extra = elements_ % parts;
            const std::size_t first = base * part + (part < extra ? part : extra);
            const std::size_t last = first + base + (part < extra ? 1 : 0);
            task_.run(task_.context, first, last);
            ++done;
            claim = claims_.load(std::memory_order_acquire);
        }
    }

    // A worker may start running only after the first task it is meant for
    // has been published: it starts from the generation before that one.
    void serve(unsigned index, std::uint64_t seen) noexcept {
        for (;;) {
            const std::uint64_t current = wait_for_task(seen);
            seen = current;
            // The helper count comes in the same word as the task's number,
            // so a worker never mistakes one task's count for another's.
            if (index >= (current & kHelperMask)) {
                continue;  // this task wants fewer workers
            }
            // Flags raised before are not this task's.
            std::feclearexcept(FE_ALL_EXCEPT);
            const std::size_t done = work_parts(current >> kHelperBits);
            if (done == 0) {
                continue;
            }
            const int raised = std::fetestexcept(FE_ALL_EXCEPT);
            if (raised != 0) {
                flags_.fetch_or(raised, std::memory_order_relaxed);
            }
            parts_done_.fetch_add(done, std::memory_order_release);
        }
    }

    std::uint64_t wait_for_task(std::uint64_t seen) noexcept {
        const auto deadline = std::chrono::steady_clock::now() + kSpinTime;
        for (;;) {
            for (unsigned poll = 0; poll < kPollsPerClockRead; ++poll) {
                const std::uint64_t current = generation_.load(std::memory_order_acquire);
                if (current != seen) {
                    return current;
                }
                UNDARIX_SPIN_PAUSE();
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                break;
            }
        }
        std::unique_lock<std::mutex> lock(mutex_);
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        std::uint64_t current;
        while ((current = generation_.load(std::memory_order_seq_cst)) == seen) {
            wake_.wait(lock);
        }
        sleepers_.fetch_sub(1, std::memory_order_relaxed);
        return current;
    }

    const pid_t owner_;
    std::atomic<bool> busy_{false};
    unsigned workers_ = 0;  // changed only by the claiming thread
    WorkerStart starts_[kMaxTeamThreads];

    // The current task, written by its caller before the generation and the
    // claim word change, and read by a worker only while it holds a part.
    TeamTask task_{nullptr, nullptr};
    std::size_t elements_ = 0;

    // The task's sequence number above kHelperBits, its helper count below.
    std::atomic<std::uint64_t> generation_{0};
    // The current task's claim word (claim_word).
    std::atomic<std::uint64_t> claims_{0};
    std::atomic<std::size_t> parts_done_{0};
    std::atomic<int> flags_{0};
    std::atomic<unsigned> sleepers_{0};
    std::mutex mutex_;
    std::condition_variable wake_;
};

// The process's team.  It is never destroyed: its detached workers may still
// be spinning or asleep when the process exits.  A team inherited through
// fork() belongs to the parent (its threads do not exist in the child) and
// is left alone; the child makes its own.
std::atomic<Team*> current_team{nullptr};
std::mutex team_creation;

// In a child of fork() only the forking thread runs: the creation lock, which
// another parent thread may have held at the fork, is made anew there.
void forget_team_in_child() noexcept {
    new (&team_creation) std::mutex();
    current_team.store(nullptr, std::memory_order_relaxed);
}

Team* team_for_this_process() noexcept {
    const pid_t pid = this_process_id();
    Team* team = current_team.load(std::memory_order_acquire);
    if (team != nullptr && team->owner() == pid) {
        return team;
    }
    static const bool fork_handler = pthread_atfork(nullptr, nullptr, forget_team_in_child) == 0;
    (void)fork_handler;
    std::lock_guard<std::mutex> lock(team_creation);
    team = current_team.load(std::memory_order_acquire);
    if (team == nullptr || team->owner() != pid) {
        team = new (std::nothrow) Team(pid);
        if (team == nullptr) {
            return nullptr;
        }
        current_team.store(team, std::memory_order_release);
    }
    return team;
}

void run_alone(const TeamTask& task, std::size_t elements) noexcept { task.run(task.context, 0, elements); }

}  // namespace

int run_on_team(const TeamTask& task, std::size_t elements, unsigned threads) noexcept {
    if (threads > kMaxTeamThreads) {
        threads = kMaxTeamThreads;
    }
    if (threads < 2 || elements < 2) {
        run_alone(task, elements);
        return 0;
    }
    Team* team = team_for_this_process();
    if (team == nullptr || !team->try_claim()) {
        run_alone(task, elements);
        return 0;
    }
    team->grow(threads - 1);
    unsigned helpers = threads - 1;
    if (helpers > team->workers()) {
        helpers = team->workers();
    }
    int flags = 0;
    if (helpers == 0) {
        run_alone(task, elements);
    } else {
        flags = team->run(task, elements, helpers);
    }
    team->unclaim();
    return flags;
}

}  // namespace undarix::parallel
