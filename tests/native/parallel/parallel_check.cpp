// Checks of the chunked loop (chunk claiming, stops, forks, and forks again in
// a forked child), of the CPU count from cgroup files in fixture directories,
// of the thread-count settings and of the remembered process id.
#include "check.hpp"
#include "parallel/available_cpus.hpp"
#include "parallel/chunked_loop.hpp"
#include "parallel/thread_count_setting.hpp"
#include "parallel/this_process.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace undarix::parallel;

namespace {

// values[i] = 3 * values[i] + 1 in place, as the kernels evaluate: applied
// twice, or to a value already written, it shows.  `spin` steps of busy
// work per element, with a checkpoint every `steps_per_check` of them.
struct InPlace {
    std::vector<double> values;
    unsigned spin = 0;
    unsigned steps_per_check = 0;
    // When set: each element waits at its first checkpoint, asking again and
    // again, until the gate opens.
    std::atomic<bool>* gate = nullptr;

    explicit InPlace(std::size_t n, unsigned spin_steps = 0, unsigned per_check = 0)
        : values(n), spin(spin_steps), steps_per_check(per_check) {
        for (std::size_t i = 0; i < n; ++i) {
            values[i] = static_cast<double>(i);
        }
    }

    static void run(const void* erased, std::size_t first, std::size_t last, Checkpoint& checkpoint) {
        const InPlace& self = *static_cast<const InPlace*>(erased);
        double* values = const_cast<double*>(self.values.data());
        for (std::size_t i = first; i < last; ++i) {
            volatile double sink = 0.0;
            for (unsigned step = 1; step <= self.spin; ++step) {
                sink = sink + 1.0;
                if (self.steps_per_check != 0 && step % self.steps_per_check == 0 && !checkpoint.keep_going(i)) {
                    return;
                }
                while (self.gate != nullptr && !self.gate->load() && step == self.steps_per_check) {
                    if (!checkpoint.keep_going(i)) {
                        return;
                    }
                }
            }
            values[i] = 3.0 * values[i] + 1.0;
        }
    }

    RangeTask task() const { return RangeTask{this, &InPlace::run}; }

    // Every element written exactly once.
    bool all_written() const {
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (values[i] != 3.0 * static_cast<double>(i) + 1.0) {
                return false;
            }
        }
        return true;
    }

    // Every element written once or not at all.
    bool none_twice() const {
        for (std::size_t i = 0; i < values.size(); ++i) {
            const double original = static_cast<double>(i);
            if (values[i] != original && values[i] != 3.0 * original + 1.0) {
                return false;
            }
        }
        return true;
    }
};

class Proceed final : public CallerPoll {
public:
    bool proceed() override {
        ++calls;
        return true;
    }
    unsigned calls = 0;
};

class StopAt final : public CallerPoll {
public:
    explicit StopAt(unsigned k) : k_(k) {}
    bool proceed() override { return ++calls < k_; }
    unsigned calls = 0;

private:
    unsigned k_;
};

LoopPlan plan_of(std::size_t elements, std::size_t chunk, unsigned threads,
                 std::chrono::nanoseconds interval = std::chrono::milliseconds(20)) {
    LoopPlan plan{elements, chunk, threads};
    plan.poll_interval = interval;
    return plan;
}

void chunk_claiming() {
    {
        // Nothing to evaluate: the task is never run.
        const RangeTask never{nullptr, [](const void*, std::size_t, std::size_t, Checkpoint&) { CHECK(false); }};
        Proceed poll;
        CHECK(run_chunked(plan_of(0, 1, 4), never, poll).outcome == LoopOutcome::completed);
        CHECK(poll.calls == 0);
    }
    for (const std::size_t n : {1u, 2u, 7u, 63u, 64u, 65u, 1000u, 8191u, 8192u, 8193u, 100003u}) {
        for (const std::size_t chunk : {1u, 3u, 64u, 8192u, 200000u}) {
            if (n / chunk > 20000) {
                continue;  // thousands of single-element chunks say nothing more
            }
            for (const unsigned threads : {1u, 2u, 3u, 5u, 8u}) {
                InPlace work(n);
                Proceed poll;
                CHECK(run_chunked(plan_of(n, chunk, threads), work.task(), poll).outcome == LoopOutcome::completed);
                CHECK(work.all_written());
            }
        }
    }
    // Polls due at every checkpoint change nothing.
    InPlace work(50000, 200, 50);
    Proceed poll;
    CHECK(run_chunked(plan_of(50000, 100, 3, std::chrono::nanoseconds(0)), work.task(), poll).outcome ==
          LoopOutcome::completed);
    CHECK(work.all_written());
    CHECK(poll.calls > 0);
}

void stop_at_every_poll() {
    struct Shape {
        std::size_t n, chunk;
        unsigned spin, per_check;
    };
    // Many short chunks; and long elements, one per chunk, that ask inside.
    for (const Shape shape : {Shape{20000, 100, 0, 0}, Shape{12, 1, 4000, 100}}) {
        for (const unsigned threads : {1u, 2u, 4u}) {
            bool completed = false;
            for (unsigned k = 1; !completed; ++k) {
                CHECK(k < 5000);
                InPlace work(shape.n, shape.spin, shape.per_check);
                StopAt poll(k);
                const LoopOutcome outcome =
                    run_chunked(plan_of(shape.n, shape.chunk, threads, std::chrono::nanoseconds(0)), work.task(), poll).outcome;
                CHECK(work.none_twice());
                if (outcome == LoopOutcome::stopped) {
                    CHECK(poll.calls == k);  // no poll after the one that said stop
                } else {
                    CHECK(poll.calls < k);
                    CHECK(work.all_written());
                    completed = true;
                }
            }
        }
    }
}

// Forks at its k-th call, as a signal handler run by the poll may.
class ForkAt final : public CallerPoll {
public:
    explicit ForkAt(unsigned k) : k_(k) {}
    bool proceed() override {
        if (++calls == k_) {
            child = fork();
            CHECK(child >= 0);
        }
        return true;
    }
    unsigned calls = 0;
    pid_t child = -1;

private:
    unsigned k_;
};

// The exit status of `child`, killing it if it has not ended in `seconds`.
int wait_for(pid_t child, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;  // it hung
}

void fork_during_the_loop() {
    struct Shape {
        std::size_t n, chunk;
        unsigned spin, per_check;
    };
    // Workers held between chunks; and inside long elements.
    for (const Shape shape : {Shape{4000, 16, 3000, 0}, Shape{24, 1, 200000, 2000}}) {
        for (const unsigned threads : {2u, 3u}) {
            for (unsigned k = 1; k <= 12; ++k) {
                InPlace work(shape.n, shape.spin, shape.per_check);
                ForkAt poll(k);
                const LoopPlan plan = plan_of(shape.n, shape.chunk, threads, std::chrono::microseconds(200));
                const LoopOutcome outcome = run_chunked(plan, work.task(), poll).outcome;
                if (poll.child == 0) {
                    // The child: its workers are gone; it finished alone.  (exit,
                    // not _Exit: a coverage build writes the child's counters.)
                    std::exit(outcome == LoopOutcome::completed && work.all_written() ? 0 : 3);
                }
                CHECK(outcome == LoopOutcome::completed);
                CHECK(work.all_written());
                if (poll.child > 0) {
                    CHECK(wait_for(poll.child, 30) == 0);
                }
            }
        }
    }
}

// The inner loop's poll forks while the outer loop's workers run too.
void fork_inside_a_nested_loop() {
    struct Outer final : public CallerPoll {
        bool proceed() override {
            if (!inner_done) {
                inner_done = true;
                ForkAt fork_poll(2);
                const LoopOutcome outcome =
                    run_chunked(plan_of(inner.values.size(), 8, 2, std::chrono::microseconds(100)), inner.task(), fork_poll).outcome;
                CHECK(outcome == LoopOutcome::completed && inner.all_written());
                child = fork_poll.child;
            }
            return true;
        }
        InPlace inner{3000, 3000, 0};
        bool inner_done = false;
        pid_t child = -1;
    } poll;
    InPlace outer(3000, 3000, 0);
    const LoopOutcome outcome =
        run_chunked(plan_of(outer.values.size(), 8, 3, std::chrono::microseconds(100)), outer.task(), poll).outcome;
    if (poll.child == 0) {
        std::exit(outcome == LoopOutcome::completed && outer.all_written() ? 0 : 3);
    }
    CHECK(outcome == LoopOutcome::completed && outer.all_written());
    CHECK(poll.child > 0);
    CHECK(wait_for(poll.child, 30) == 0);
}

// Registered before the loops' own fork handlers, so that it runs after
// them, with the workers held: it waits a while, a different while for each
// fork, before the process is copied, so that the copies catch the workers
// released after the previous fork at every stage of waking up and waiting
// again.
std::atomic<unsigned> forks_to_stagger{0};

void stagger_before_fork() {
    static unsigned fork_number = 0;
    if (forks_to_stagger.load() == 0) {
        return;
    }
    forks_to_stagger.fetch_sub(1);
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(++fork_number * 37 % 97);
    while (std::chrono::steady_clock::now() < until) {
    }
}

// At its first call, forks kForks times in a row: the workers released
// after one fork are still waking, some already waiting again, when the
// next fork holds them and copies the process.  In each child, at its next
// call, runs a second loop whose own poll forks again; the child's fork
// handlers then meet, besides that loop, the loop copied from the parent,
// whose workers do not exist there and whose mutex and condition variables
// are as those workers left them.  The loop's elements wait at their first
// checkpoint until this first call: the team's workers, awake from the loop
// before, would otherwise take every chunk while the calling thread is kept
// off its core, and leave it nothing to call this again for in the child.
class ForkAgainInTheChild final : public CallerPoll {
public:
    static constexpr unsigned kForks = 64;

    bool proceed() override {
        gate.store(true);
        if (in_child) {
            // Again if the workers took every chunk before the first poll.
            for (unsigned tries = 0; grandchild == -1 && tries < 100; ++tries) {
                InPlace inner(4, 20000, 200);
                ForkAt fork_poll(1);
                const LoopOutcome outcome = run_chunked(
                    plan_of(inner.values.size(), 1, 2, std::chrono::nanoseconds(0)), inner.task(), fork_poll).outcome;
                inner_exact = outcome == LoopOutcome::completed && inner.all_written();
                grandchild = fork_poll.child;
            }
            return true;
        }
        while (forked < kForks) {
            const pid_t pid = fork();
            CHECK(pid >= 0);
            if (pid == 0) {
                in_child = true;
                forks_to_stagger.store(0);
                break;
            }
            children[forked++] = pid;
        }
        return true;
    }

    std::atomic<bool> gate{false};
    bool in_child = false;
    pid_t children[kForks] = {};
    unsigned forked = 0;
    pid_t grandchild = -1;  // 0 in the grandchild
    bool inner_exact = false;
};

// How many of `children` end with status 0 within `seconds` together; the
// others are killed then.
unsigned passed_within(const pid_t* children, unsigned count, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    unsigned passed = 0;
    for (unsigned i = 0; i < count; ++i) {
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(deadline - std::chrono::steady_clock::now());
        passed += wait_for(children[i], left.count() > 0 ? static_cast<int>(left.count()) : 0) == 0 ? 1 : 0;
    }
    return passed;
}

// A child's fork meets the copied loop in a state that hangs it only if the
// copy caught a worker half woken: some hundreds of children.
void fork_again_in_the_child() {
    CHECK(pthread_atfork(stagger_before_fork, nullptr, nullptr) == 0);
    for (const unsigned threads : {3u, 4u, 5u, 3u, 4u, 5u}) {
        // Again if the workers took every chunk before the first poll.
        for (unsigned tries = 0; tries < 100; ++tries) {
            InPlace work(400, 10000, 100);
            ForkAgainInTheChild poll;
            work.gate = &poll.gate;
            forks_to_stagger.store(ForkAgainInTheChild::kForks);
            const LoopOutcome outcome =
                run_chunked(plan_of(work.values.size(), 1, threads, std::chrono::nanoseconds(0)), work.task(), poll).outcome;
            const bool exact = outcome == LoopOutcome::completed && work.all_written();
            if (poll.in_child) {
                // A child or a grandchild: each finished its loops alone.
                if (poll.grandchild == 0) {
                    std::exit(exact && poll.inner_exact ? 0 : 3);
                }
                const bool grandchild_passed = poll.grandchild > 0 && passed_within(&poll.grandchild, 1, 20) == 1;
                std::exit(exact && poll.inner_exact && grandchild_passed ? 0 : 4);
            }
            CHECK(exact);
            CHECK(passed_within(poll.children, poll.forked, 60) == poll.forked);
            if (poll.forked == ForkAgainInTheChild::kForks) {
                break;
            }
            CHECK(poll.forked == 0 && tries + 1 < 100);
        }
    }
}

// ---- The remembered process id ------------------------------------------------

// The id read once is refreshed in a child, and in the child's child, before
// fork() returns there: asked first in the child, or only after the parent
// asked it, it is never the parent's.
void process_id_in_forked_children() {
    CHECK(this_process_id() == getpid());
    CHECK(this_process_id() == getpid());
    const pid_t child = fork();
    CHECK(child >= 0);
    if (child == 0) {
        const bool own = this_process_id() == getpid() && this_process_id() != getppid();
        const pid_t grandchild = fork();
        if (grandchild == 0) {
            std::_Exit(this_process_id() == getpid() && this_process_id() != getppid() ? 0 : 5);
        }
        int status = 0;
        const bool grandchild_passed = grandchild > 0 && waitpid(grandchild, &status, 0) == grandchild &&
                                       WIFEXITED(status) && WEXITSTATUS(status) == 0;
        std::_Exit(own && grandchild_passed && this_process_id() == getpid() ? 0 : 4);
    }
    int status = 0;
    CHECK(waitpid(child, &status, 0) == child);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CHECK(this_process_id() == getpid());
}

// ---- CPU count from fixture directories --------------------------------------

struct Fixture {
    std::string root;

    Fixture() {
        char pattern[] = "/tmp/undarix-cgroup-XXXXXX";
        CHECK(mkdtemp(pattern) != nullptr);
        root = pattern;
        make("/proc/self");
        make("/sys/fs/cgroup");
    }
    ~Fixture() {
        const std::string command = "rm -rf '" + root + "'";
        CHECK(std::system(command.c_str()) == 0);
    }

    void make(const std::string& path) const {
        std::string partial;
        for (std::size_t slash = 0; slash != std::string::npos;) {
            slash = path.find('/', slash + 1);
            partial = path.substr(0, slash);
            mkdir((root + partial).c_str(), 0755);
        }
    }

    void write(const std::string& path, const std::string& text) const {
        make(path.substr(0, path.rfind('/')));
        std::ofstream file(root + path);
        file << text;
        CHECK(file.good());
    }

    unsigned quota() const { return quota_cpus(root + "/proc", root + "/sys"); }
};

void cgroup_v2() {
    {
        Fixture fixture;  // no cgroup file at all
        CHECK(fixture.quota() == 0);
    }
    {
        Fixture fixture;
        fixture.write("/proc/self/cgroup", "0::/\n");
        CHECK(fixture.quota() == 0);  // no cpu.max in the root group
        fixture.write("/sys/fs/cgroup/cpu.max", "max 100000\n");
        CHECK(fixture.quota() == 0);
        fixture.write("/sys/fs/cgroup/cpu.max", "150000 100000\n");
        CHECK(fixture.quota() == 2);  // 1.5 CPUs, rounded up
        fixture.write("/sys/fs/cgroup/cpu.max", "50000 100000\n");
        CHECK(fixture.quota() == 1);
        fixture.write("/sys/fs/cgroup/cpu.max", "400000 100000\n");
        CHECK(fixture.quota() == 4);
    }
    {
        // Nested groups: the tightest from the process's group to the root wins.
        Fixture fixture;
        fixture.write("/proc/self/cgroup", "0::/user.slice/app/worker\n");
        fixture.write("/sys/fs/cgroup/user.slice/app/worker/cpu.max", "max 100000\n");
        fixture.write("/sys/fs/cgroup/user.slice/app/cpu.max", "300000 100000\n");
        fixture.write("/sys/fs/cgroup/user.slice/cpu.max", "max 100000\n");
        CHECK(fixture.quota() == 3);
        fixture.write("/sys/fs/cgroup/user.slice/cpu.max", "120000 100000\n");
        CHECK(fixture.quota() == 2);
        fixture.write("/sys/fs/cgroup/user.slice/app/worker/cpu.max", "100000 100000\n");
        CHECK(fixture.quota() == 1);
        // A sibling's quota is not this process's.
        fixture.write("/proc/self/cgroup", "0::/user.slice/other\n");
        fixture.write("/sys/fs/cgroup/user.slice/other/cpu.max", "max 100000\n");
        CHECK(fixture.quota() == 2);
    }
    {
        Fixture fixture;  // malformed and missing files limit nothing
        fixture.write("/proc/self/cgroup", "0::/a\n");
        fixture.write("/sys/fs/cgroup/a/cpu.max", "lots 100000\n");
        CHECK(fixture.quota() == 0);
        fixture.write("/sys/fs/cgroup/a/cpu.max", "200000\n");
        CHECK(fixture.quota() == 0);
        fixture.write("/sys/fs/cgroup/a/cpu.max", "200000 0\n");
        CHECK(fixture.quota() == 0);
        fixture.write("/proc/self/cgroup", "garbage\n0::/missing/group\n");
        CHECK(fixture.quota() == 0);
    }
}

void cgroup_v1() {
    {
        Fixture fixture;
        fixture.write("/proc/self/cgroup", "4:memory:/app\n3:cpu,cpuacct:/app/job\n2:cpuset:/\n");
        fixture.write("/sys/fs/cgroup/cpu,cpuacct/app/job/cpu.cfs_quota_us", "-1\n");
        fixture.write("/sys/fs/cgroup/cpu,cpuacct/app/job/cpu.cfs_period_us", "100000\n");
        CHECK(fixture.quota() == 0);  // -1: no quota
        fixture.write("/sys/fs/cgroup/cpu,cpuacct/app/cpu.cfs_quota_us", "250000\n");
        fixture.write("/sys/fs/cgroup/cpu,cpuacct/app/cpu.cfs_period_us", "100000\n");
        CHECK(fixture.quota() == 3);  // 2.5, rounded up, from the parent group
        fixture.write("/sys/fs/cgroup/cpu,cpuacct/app/job/cpu.cfs_quota_us", "100001\n");
        CHECK(fixture.quota() == 2);  // just over one CPU
        // A quota file without its period limits nothing.
        fixture.write("/sys/fs/cgroup/cpu,cpuacct/app/job/cpu.cfs_quota_us", "50000\n");
        CHECK(std::remove((fixture.root + "/sys/fs/cgroup/cpu,cpuacct/app/job/cpu.cfs_period_us").c_str()) == 0);
        CHECK(fixture.quota() == 3);
        // The memory controller's files do not count.
        fixture.write("/sys/fs/cgroup/memory/app/cpu.cfs_quota_us", "100000\n");
        fixture.write("/sys/fs/cgroup/memory/app/cpu.cfs_period_us", "100000\n");
        CHECK(fixture.quota() == 3);
    }
    {
        // Both hierarchies (a hybrid set-up): the tightest of the two.
        Fixture fixture;
        fixture.write("/proc/self/cgroup", "5:cpu:/\n0::/svc\n");
        fixture.write("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "600000\n");
        fixture.write("/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n");
        CHECK(fixture.quota() == 6);
        fixture.write("/sys/fs/cgroup/svc/cpu.max", "350000 100000\n");
        CHECK(fixture.quota() == 4);
    }
}

void affinity_mask() {
    cpu_set_t saved;
    CHECK(sched_getaffinity(0, sizeof saved, &saved) == 0);
    CHECK(affinity_cpus() == static_cast<unsigned>(CPU_COUNT(&saved)));
    int first = 0;
    while (!CPU_ISSET(first, &saved)) {
        ++first;
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    CHECK(sched_setaffinity(0, sizeof one, &one) == 0);
    // The mask is asked at every call, whatever was read before.
    CHECK(affinity_cpus() == 1);
    CHECK(available_cpus() == 1);
    CHECK(sched_setaffinity(0, sizeof saved, &saved) == 0);
    CHECK(available_cpus() >= 1 && available_cpus() <= static_cast<unsigned>(CPU_COUNT(&saved)));
}

void thread_count_settings() {
    using Kind = ThreadCountSetting::Kind;
    struct Case {
        const char* text;
        bool first_level_only;
        Kind kind;
        unsigned threads;
    };
    const Case cases[] = {
        {nullptr, false, Kind::unset, 0},
        {"", false, Kind::unset, 0},
        {"", true, Kind::unset, 0},
        {"4", false, Kind::threads, 4},
        {" 2 ", false, Kind::threads, 2},
        {"\t3\t", false, Kind::threads, 3},
        {"007", false, Kind::threads, 7},
        {"65536", false, Kind::threads, kMaxThreads},
        {"65537", false, Kind::threads, kMaxThreads},
        {"99999999999999999999999999", false, Kind::threads, kMaxThreads},
        {"0", false, Kind::invalid, 0},
        {"000", false, Kind::invalid, 0},
        {"-1", false, Kind::invalid, 0},
        {"+2", false, Kind::invalid, 0},
        {"2.0", false, Kind::invalid, 0},
        {"2 3", false, Kind::invalid, 0},
        {"  ", false, Kind::invalid, 0},
        {"bogus", false, Kind::invalid, 0},
        {"4,2", false, Kind::invalid, 0},  // a list only where levels are allowed
        {"4,2", true, Kind::threads, 4},
        {" 3 ,1", true, Kind::threads, 3},
        {",2", true, Kind::invalid, 0},
        {"x,2", true, Kind::invalid, 0},
        {"5,", true, Kind::threads, 5},
    };
    for (const Case& c : cases) {
        const ThreadCountSetting setting = parse_thread_count(c.text, c.first_level_only);
        if (setting.kind != c.kind || (c.kind == Kind::threads && setting.threads != c.threads)) {
            std::fprintf(stderr, "'%s' (levels %d): kind %d threads %u\n", c.text ? c.text : "(null)",
                         c.first_level_only, static_cast<int>(setting.kind), setting.threads);
            CHECK(false);
        }
    }
}

const checks::Check all_checks[] = {
    {"chunk_claiming", chunk_claiming},
    {"stop_at_every_poll", stop_at_every_poll},
    {"fork_during_the_loop", fork_during_the_loop},
    {"fork_inside_a_nested_loop", fork_inside_a_nested_loop},
    {"fork_again_in_the_child", fork_again_in_the_child},
    {"cgroup_v2", cgroup_v2},
    {"cgroup_v1", cgroup_v1},
    {"affinity_mask", affinity_mask},
    {"thread_count_settings", thread_count_settings},
    {"process_id_in_forked_children", process_id_in_forked_children},
};

}  // namespace

int main(int argc, char** argv) { return checks::run_named(all_checks, argc, argv); }
