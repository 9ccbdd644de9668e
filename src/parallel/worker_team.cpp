#include "parallel/worker_team.hpp"

#include "parallel/fork_guard.hpp"
#include "parallel/split_policy.hpp"
#include "parallel/this_process.hpp"
#include "parallel/thread_start.hpp"

#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cfenv>
#include <chrono>
#include <mutex>
#include <new>

// A spinning thread re-reads the shared word without the processor's
// pause hint: under a hypervisor the hint makes the virtual CPU exit to the
// host, which may then schedule it away for far longer than a row takes.
#define UNDARIX_SPIN_PAUSE() __asm__ __volatile__("" ::: "memory")

namespace undarix::parallel {
namespace {

using Clock = std::chrono::steady_clock;

// Polls between two looks at the clock.
constexpr unsigned kPollsPerClockRead = 64;
// How long a caller whose loop has stopped sleeps between two looks, where
// it polls no more.
constexpr std::chrono::milliseconds kStoppedWait{20};

// The generation word's low bits hold the number of workers the task wants.
constexpr unsigned kHelperBits = 8;
constexpr std::uint64_t kHelperMask = (1u << kHelperBits) - 1;
static_assert(kMaxTeamThreads <= kHelperMask, "the helper count must fit below the sequence number");

// Whether the task of generation word `generation` wants worker `index`.
constexpr bool wants(std::uint64_t generation, unsigned index) noexcept { return index < (generation & kHelperMask); }

// Parts per thread at least: a little slack when one core is also busy
// elsewhere.
constexpr std::size_t kPartsPerThread = 4;
// Tapered parts only up to this many parts and elements: their boundaries
// are computed as n * left^2 / parts^2, which must not overflow.
constexpr std::size_t kMaxTaperedParts = 1024;
constexpr std::uint64_t kMaxTaperedElements = std::uint64_t{1} << 40;

// The plan's chunk, at least one element.
std::size_t plan_chunk(const LoopPlan& plan) noexcept { return plan.chunk_elements > 0 ? plan.chunk_elements : 1; }

// A claim word says everything a thread needs to claim a part: the task's
// number (modulo 2^kSequenceBits), its part count and the next part to
// claim.  A thread that read the word of an earlier task can therefore
// neither take a part of the task now running (the number differs, so its
// compare-and-swap fails) nor judge that task's parts by its own stale
// count: until its compare-and-swap succeeds it reads nothing but this word.
// The word of a task returns only after 2^32 further tasks, hours of the
// shortest ones.
constexpr unsigned kPartBits = 16;
constexpr unsigned kSequenceBits = 64 - 2 * kPartBits;
constexpr std::uint64_t kPartMask = (std::uint64_t{1} << kPartBits) - 1;
constexpr std::uint64_t kSequenceMask = (std::uint64_t{1} << kSequenceBits) - 1;
constexpr std::size_t kMaxParts = kPartMask;
static_assert(kMaxTeamThreads * kPartsPerThread <= kMaxParts, "a part count must fit in its field");

constexpr std::uint64_t claim_word(std::uint64_t sequence, std::uint64_t parts, std::uint64_t next) noexcept {
    return (sequence & kSequenceMask) << (2 * kPartBits) | parts << kPartBits | next;
}
constexpr std::uint64_t claim_sequence(std::uint64_t claim) noexcept { return claim >> (2 * kPartBits); }
constexpr std::size_t claim_parts(std::uint64_t claim) noexcept {
    return static_cast<std::size_t>(claim >> kPartBits & kPartMask);
}
constexpr std::size_t claim_next(std::uint64_t claim) noexcept { return static_cast<std::size_t>(claim & kPartMask); }

// A lock on a raw mutex for the scope.  pthread_mutex_lock fails only on
// misuse (an error-checking or robust mutex), which this is not.
class Locked {
public:
    explicit Locked(pthread_mutex_t& mutex) noexcept : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
    ~Locked() { pthread_mutex_unlock(&mutex_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    pthread_mutex_t& mutex_;
};

// The monotonic clock's reading at `when`, for a timed wait.
timespec monotonic_deadline(Clock::time_point when) noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(when - Clock::now()).count();
    const long long nanoseconds = now.tv_nsec + (left > 0 ? left : 0);
    now.tv_sec += static_cast<time_t>(nanoseconds / 1000000000);
    now.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    return now;
}

// The process's team.  It is never destroyed: its detached workers may still
// be spinning or asleep when the process exits.  A team inherited through
// fork() belongs to the parent (its threads do not exist in the child) and
// is left alone; the child makes its own.
std::atomic<WorkerTeam*> current_team{nullptr};
std::mutex team_creation;

}  // namespace

// A worker's checkpoint: notes how far its range has got, so that a child
// forked while the worker is held can take over from there, and lets the
// worker be held.
class WorkerTeam::WorkerCheckpoint final : public Checkpoint {
public:
    WorkerCheckpoint(WorkerTeam& team, WorkerRecord& record) noexcept : team_(team), record_(record) {}

    bool keep_going(std::size_t next) override {
        record_.next = next;
        team_.hold_if_asked();
        return !team_.stop_->load(std::memory_order_relaxed);
    }

private:
    WorkerTeam& team_;
    WorkerRecord& record_;
};

WorkerTeam::WorkerTeam(pid_t owner) noexcept : owner_(owner) {
    pthread_mutex_init(&mutex_, nullptr);
    for (pthread_cond_t& wake : wake_) {
        pthread_cond_init(&wake, nullptr);
    }
    pthread_cond_init(&changed_, nullptr);
    pthread_cond_init(&resumed_, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    // Timed waits measure a duration: the wall clock may jump.
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&done_, &attributes);
    pthread_condattr_destroy(&attributes);
}

WorkerTeam* WorkerTeam::claim(unsigned threads) noexcept {
    const pid_t pid = this_process_id();
    WorkerTeam* team = current_team.load(std::memory_order_acquire);
    if (team == nullptr || team->owner_ != pid) {
        register_fork_handlers();
        std::lock_guard<std::mutex> lock(team_creation);
        team = current_team.load(std::memory_order_acquire);
        if (team == nullptr || team->owner_ != pid) {
            team = new (std::nothrow) WorkerTeam(pid);
            if (team == nullptr) {
                return nullptr;
            }
            current_team.store(team, std::memory_order_release);
        }
    }
    if (team->busy_.exchange(true, std::memory_order_acquire)) {
        return nullptr;
    }
    team->grow(threads < kMaxTeamThreads ? threads - 1 : kMaxTeamThreads - 1);
    return team;
}

void WorkerTeam::unclaim() noexcept { busy_.store(false, std::memory_order_release); }

unsigned WorkerTeam::helpers_for(unsigned threads) const noexcept {
    return threads - 1 < workers_ ? threads - 1 : workers_;
}

void WorkerTeam::forget_in_child() noexcept {
    // Only the forking thread runs in the child: the creation lock, which
    // another parent thread may have held at the fork, is made anew.
    new (&team_creation) std::mutex();
    current_team.store(nullptr, std::memory_order_relaxed);
}

bool WorkerTeam::belongs_to_this_process() const noexcept { return owner_ == this_process_id(); }

void WorkerTeam::grow(unsigned wanted) noexcept {
    while (workers_ < wanted) {
        // A worker may start running only after the first task it is meant
        // for has been published: it starts from the generation before.
        starts_[workers_] = WorkerStart{this, workers_, generation_.load(std::memory_order_relaxed)};
        if (!start_thread(worker_main, &starts_[workers_])) {
            return;
        }
        ++workers_;
    }
}

void* WorkerTeam::worker_main(void* raw) noexcept {
    const WorkerStart start = *static_cast<WorkerStart*>(raw);
    start.team->serve(start.index, start.seen);
    return nullptr;
}

int WorkerTeam::run(const LoopPlan& plan, const RangeTask& task, unsigned helpers, CallerCheckpoint& checkpoint,
                    std::atomic<bool>& stop) {
    // Contiguous parts of `chunk` elements, the last one shorter; finer than
    // the plan's chunks where these are too few to give each thread several.
    const std::size_t n = plan.elements;
    std::size_t chunk = plan_chunk(plan);
    std::size_t parts = (n - 1) / chunk + 1;
    const std::size_t wanted = (static_cast<std::size_t>(helpers) + 1) * kPartsPerThread;
    if (parts < wanted) {
        parts = n < wanted ? n : wanted;
    }
    if (parts > kMaxParts) {
        parts = kMaxParts;
    }
    chunk = (n - 1) / parts + 1;
    parts = (n - 1) / chunk + 1;
    if (helpers > parts - 1) {
        helpers = static_cast<unsigned>(parts - 1);
    }
    // A task of few parts ends when its last part does, and a thread that
    // has run out of parts waits for the others' last ones: up to a part's
    // time, a tenth of a sweep's loop call of 8,192 elements in eight parts.
    // Tapered parts, large first and small last, end together: still
    // `parts` claims, none larger than the plan's chunks allow.
    tapered_ = parts <= kMaxTaperedParts && n <= kMaxTaperedElements && n >= parts * parts &&
               2 * chunk <= plan_chunk(plan);

    task_ = task;
    elements_ = n;
    chunk_ = chunk;
    stop_ = &stop;
    parts_done_.store(0, std::memory_order_relaxed);
    flags_.store(0, std::memory_order_relaxed);
    const std::uint64_t sequence = (generation_.load(std::memory_order_relaxed) >> kHelperBits) + 1;
    claims_.store(claim_word(sequence, parts, 0), std::memory_order_release);
    // Publishes the task; the sequentially consistent pair with each
    // worker's sleep flag means that a worker about to sleep either sees
    // this generation or is woken below.  Only the workers the task wants
    // are woken: the others sleep on, or end their spin as if nothing came.
    generation_.store(sequence << kHelperBits | helpers, std::memory_order_seq_cst);
    for (unsigned i = 0; i < helpers; ++i) {
        if (asleep_[i].load(std::memory_order_seq_cst)) {
            Locked lock(mutex_);
            pthread_cond_signal(&wake_[i]);
        }
    }

    // Should the caller's thread be unwound (the interpreter ends it at
    // exit), no worker may go on reading a task that lives on its stack:
    // the loop stops, and the unwinding waits for the parts under way.
    struct Unwinding {
        WorkerTeam& team;
        std::uint64_t sequence;
        std::size_t parts;
        CallerCheckpoint& checkpoint;
        bool finished = false;
        ~Unwinding() {
            if (finished || checkpoint.orphaned()) {
                return;
            }
            team.stop_->store(true, std::memory_order_relaxed);
            if (team.caller_in_part_) {
                team.parts_done(1);
            }
            team.parts_done(team.close_parts(sequence));
            while (team.parts_done_.load(std::memory_order_acquire) < parts) {
                sched_yield();
            }
        }
    } unwinding{*this, sequence, parts, checkpoint};

    work_as_caller(sequence, checkpoint);
    if (!checkpoint.orphaned()) {
        // The caller takes parts too, all of them if no worker comes in time
        // (a busy machine): it waits only for parts a worker has begun.
        wait_for_parts(parts, checkpoint, sequence);
    }
    if (checkpoint.orphaned()) {
        // A child forked by a poll: the workers do not exist here.  What they
        // were evaluating, and any part nobody claimed, is done on this thread.
        take_over_lost_ranges(checkpoint);
        work_as_caller(sequence, checkpoint);
    }
    unwinding.finished = true;
    return flags_.load(std::memory_order_relaxed);
}

bool WorkerTeam::claim_part(std::uint64_t sequence, std::size_t& first, std::size_t& last) noexcept {
    std::uint64_t claim = claims_.load(std::memory_order_acquire);
    for (;;) {
        if (claim_sequence(claim) != (sequence & kSequenceMask)) {
            return false;
        }
        const std::size_t part = claim_next(claim);
        if (part >= claim_parts(claim)) {
            return false;
        }
        if (claims_.compare_exchange_weak(claim, claim + 1, std::memory_order_acq_rel, std::memory_order_acquire)) {
            // The part is ours, so the task cannot end before we count it.
            first = part_start(part, claim_parts(claim));
            last = part_start(part + 1, claim_parts(claim));
            return true;
        }
    }
}

std::size_t WorkerTeam::part_start(std::size_t part, std::size_t parts) const noexcept {
    if (!tapered_) {
        return part < parts ? part * chunk_ : elements_;
    }
    // Part k ends where n (1 - ((parts - k - 1) / parts)^2) does: sizes fall
    // linearly from (2 parts - 1) / parts^2 of the elements to 1 / parts^2
    // of them, at least one element each (n >= parts^2).
    const std::uint64_t left = parts - part;
    return elements_ - static_cast<std::size_t>(elements_ * left * left / (parts * parts));
}

std::size_t WorkerTeam::close_parts(std::uint64_t sequence) noexcept {
    std::uint64_t claim = claims_.load(std::memory_order_acquire);
    for (;;) {
        const std::size_t next = claim_next(claim);
        const std::size_t parts = claim_parts(claim);
        if (claim_sequence(claim) != (sequence & kSequenceMask) || next >= parts) {
            return 0;
        }
        if (claims_.compare_exchange_weak(claim, claim_word(sequence, parts, parts), std::memory_order_acq_rel,
                                          std::memory_order_acquire)) {
            return parts - next;
        }
    }
}

void WorkerTeam::parts_done(std::size_t count) noexcept {
    if (count == 0) {
        return;
    }
    parts_done_.fetch_add(count, std::memory_order_seq_cst);
    if (caller_waiting_.load(std::memory_order_seq_cst)) {
        Locked lock(mutex_);
        pthread_cond_broadcast(&done_);
    }
}

void WorkerTeam::work_as_caller(std::uint64_t sequence, CallerCheckpoint& checkpoint) {
    std::size_t first = 0;
    std::size_t last = 0;
    for (;;) {
        if (checkpoint.stopped()) {
            // The parts nobody claimed are closed: none will be evaluated.
            parts_done(close_parts(sequence));
            return;
        }
        if (!claim_part(sequence, first, last)) {
            return;
        }
        caller_in_part_ = true;
        task_.run(task_.context, first, last, checkpoint);
        caller_in_part_ = false;
        parts_done(1);
        if (!checkpoint.keep_going(last)) {
            parts_done(close_parts(sequence));
            return;
        }
    }
}

std::size_t WorkerTeam::work_as_worker(std::uint64_t sequence, WorkerRecord& record) noexcept {
    WorkerCheckpoint checkpoint(*this, record);
    std::size_t done = 0;
    std::size_t first = 0;
    std::size_t last = 0;
    for (;;) {
        // Between parts: every part this worker claimed is written.
        hold_if_asked();
        if (!claim_part(sequence, first, last)) {
            return done;
        }
        ++done;  // evaluated, or skipped when the loop has stopped
        if (stop_->load(std::memory_order_relaxed)) {
            continue;
        }
        record.next = first;
        record.last = last;
        record.in_range = true;
        task_.run(task_.context, first, last, checkpoint);
        record.in_range = false;
    }
}

void WorkerTeam::wait_for_parts(std::size_t parts, CallerCheckpoint& checkpoint, std::uint64_t sequence) {
    Clock::time_point now = Clock::now();
    const Clock::time_point yield_from = now + kCallerSpinTime;
    const Clock::time_point sleep_from = now + kCallerYieldTime;
    unsigned spins = 0;
    while (parts_done_.load(std::memory_order_acquire) < parts) {
        if (now < yield_from && ++spins % kPollsPerClockRead != 0) {
            UNDARIX_SPIN_PAUSE();
            continue;
        }
        now = Clock::now();
        // A stop is still honoured while the last parts run elsewhere.
        if (!checkpoint.stopped() && now >= checkpoint.next_poll()) {
            if (!checkpoint.poll_now()) {
                parts_done(close_parts(sequence));
            }
            if (checkpoint.orphaned()) {
                return;
            }
            continue;
        }
        if (now < yield_from) {
            continue;
        }
        if (now < sleep_from) {
            sched_yield();
            continue;
        }
        const timespec deadline =
            monotonic_deadline(checkpoint.stopped() ? now + kStoppedWait : checkpoint.next_poll());
        Locked lock(mutex_);
        caller_waiting_.store(true, std::memory_order_seq_cst);
        while (parts_done_.load(std::memory_order_seq_cst) < parts) {
            if (pthread_cond_timedwait(&done_, &mutex_, &deadline) != 0) {
                break;
            }
        }
        caller_waiting_.store(false, std::memory_order_relaxed);
    }
}

void WorkerTeam::take_over_lost_ranges(CallerCheckpoint& checkpoint) {
    for (unsigned i = 0; i < workers_; ++i) {
        WorkerRecord& record = records_[i];
        if (!record.in_range) {
            continue;
        }
        record.in_range = false;
        if (record.next < record.last) {
            task_.run(task_.context, record.next, record.last, checkpoint);
        }
        if (!checkpoint.keep_going(record.last)) {
            return;
        }
    }
}

void WorkerTeam::serve(unsigned index, std::uint64_t seen) noexcept {
    for (;;) {
        const std::uint64_t current = wait_for_task(index, seen);
        seen = current;
        // The helper count comes in the same word as the task's number, so a
        // worker never mistakes one task's count for another's.
        if (index >= (current & kHelperMask)) {
            continue;  // this task wants fewer workers
        }
        engaged_.fetch_add(1, std::memory_order_seq_cst);
        // Flags raised before are not this task's.
        std::feclearexcept(FE_ALL_EXCEPT);
        const std::size_t done = work_as_worker(current >> kHelperBits, records_[index]);
        if (done > 0) {
            publish_flags();
            parts_done(done);
        }
        engaged_.fetch_sub(1, std::memory_order_seq_cst);
        if (hold_.load(std::memory_order_seq_cst)) {
            Locked lock(mutex_);
            pthread_cond_broadcast(&changed_);
        }
    }
}

std::uint64_t WorkerTeam::wait_for_task(unsigned index, std::uint64_t seen) noexcept {
    // The spin lasts while a loop that wants this worker is under way (the
    // team is claimed for it) and kWorkerSpinTime after.  Counted from the
    // end of this worker's own parts alone, it let a worker that woke late,
    // into a loop call whose parts the caller had all claimed, fall asleep
    // again before the next call of the sweep: woken late again, it missed
    // that one too, and the sweep ran on one thread for good.  A task that
    // wants fewer workers neither ends nor lengthens the spin of the ones it
    // leaves out, so a team grown once for many threads costs no more than
    // the threads each task uses.
    const Clock::time_point start = Clock::now();
    const Clock::time_point limit = start + kBusySpinLimit;
    Clock::time_point deadline = start + kWorkerSpinTime;
    for (;;) {
        std::uint64_t current = seen;
        for (unsigned poll = 0; poll < kPollsPerClockRead; ++poll) {
            current = generation_.load(std::memory_order_acquire);
            if (current != seen) {
                if (wants(current, index)) {
                    return current;
                }
                seen = current;
            }
            UNDARIX_SPIN_PAUSE();
        }
        const Clock::time_point now = Clock::now();
        if (now < limit && busy_.load(std::memory_order_relaxed) && wants(current, index)) {
            deadline = now + kWorkerSpinTime;
        }
        if (now >= deadline) {
            break;
        }
    }
    Locked lock(mutex_);
    asleep_[index].store(true, std::memory_order_seq_cst);
    std::uint64_t current;
    while (!wants(current = generation_.load(std::memory_order_seq_cst), index) || current == seen) {
        pthread_cond_wait(&wake_[index], &mutex_);
    }
    asleep_[index].store(false, std::memory_order_relaxed);
    return current;
}

void WorkerTeam::publish_flags() noexcept {
    const int raised = std::fetestexcept(FE_ALL_EXCEPT);
    if (raised != 0) {
        flags_.fetch_or(raised, std::memory_order_relaxed);
    }
}

void WorkerTeam::hold_if_asked() noexcept {
    if (!hold_.load(std::memory_order_seq_cst)) {
        return;
    }
    // What this worker raised so far reaches a forked child too.
    publish_flags();
    Locked lock(mutex_);
    ++held_;
    pthread_cond_broadcast(&changed_);
    while (hold_.load(std::memory_order_relaxed)) {
        pthread_cond_wait(&resumed_, &mutex_);
    }
    --held_;
}

void WorkerTeam::hold_workers() noexcept {
    Locked lock(mutex_);
    hold_.store(true, std::memory_order_seq_cst);
    // Each worker inside a task reaches a checkpoint within one part, or
    // within one stretch of a long element between two of its checkpoints;
    // one that enters a task from now on is held before it claims a part.
    while (held_ < engaged_.load(std::memory_order_seq_cst)) {
        pthread_cond_wait(&changed_, &mutex_);
    }
}

void WorkerTeam::release_workers() noexcept {
    Locked lock(mutex_);
    hold_.store(false, std::memory_order_seq_cst);
    pthread_cond_broadcast(&resumed_);
}

}  // namespace undarix::parallel
