#include "parallel/available_cpus.hpp"

#include "parallel/this_process.hpp"

#include <sched.h>

#include <atomic>
#include <fstream>
#include <thread>

namespace undarix::parallel {
namespace {

// CPUs allowed by `quota` microseconds per `period`, rounded up; 0 for no
// limit.
unsigned cpus_for(long long quota, long long period) {
    if (quota <= 0 || period <= 0) {
        return 0;
    }
    const long long cpus = quota / period + (quota % period != 0 ? 1 : 0);
    return cpus > 0xffff ? 0xffffu : static_cast<unsigned>(cpus);
}

// cgroup v2: "cpu.max" holds "<quota|max> <period>".
unsigned v2_quota(const std::string& directory) {
    std::ifstream file(directory + "/cpu.max");
    std::string quota;
    long long period = 0;
    if (!(file >> quota >> period) || quota == "max") {
        return 0;
    }
    return cpus_for(std::stoll(quota), period);
}

// cgroup v1: quota (-1 for none) and period in two files.
unsigned v1_quota(const std::string& directory) {
    std::ifstream quota_file(directory + "/cpu.cfs_quota_us");
    std::ifstream period_file(directory + "/cpu.cfs_period_us");
    long long quota = 0;
    long long period = 0;
    if (!(quota_file >> quota) || !(period_file >> period)) {
        return 0;
    }
    return cpus_for(quota, period);
}

unsigned tighter(unsigned a, unsigned b) noexcept { return a == 0 || (b > 0 && b < a) ? b : a; }

// The tightest quota from `root + path` up to `root`; 0 when none is set.
unsigned tightest_quota(const std::string& root, std::string path, unsigned (*read)(const std::string&)) {
    unsigned tightest = 0;
    for (;;) {
        tightest = tighter(tightest, read(root + path));
        const std::size_t slash = path.rfind('/');
        if (path.empty() || slash == std::string::npos) {
            return tightest;
        }
        path.erase(slash);
    }
}

// Whether a comma-separated controller list of /proc/self/cgroup names "cpu".
bool names_cpu_controller(const std::string& controllers) {
    return ("," + controllers + ",").find(",cpu,") != std::string::npos;
}

unsigned read_quota_cpus(const std::string& proc_root, const std::string& sys_root) {
    std::ifstream file(proc_root + "/self/cgroup");
    const std::string cgroup_root = sys_root + "/fs/cgroup";
    std::string line;
    unsigned tightest = 0;
    while (std::getline(file, line)) {
        // "<id>:<controllers>:<path>"; cgroup v2 has id 0 and no controllers.
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) {
            continue;
        }
        const std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        if (path == "/") {
            path.clear();
        }
        if (controllers.empty()) {
            tightest = tighter(tightest, tightest_quota(cgroup_root, path, v2_quota));
        } else if (names_cpu_controller(controllers)) {
            tightest = tighter(tightest, tightest_quota(cgroup_root + "/" + controllers, path, v1_quota));
        }
    }
    return tightest;
}

// The quota, and the process it was read in (0: not read yet).  Threads
// that read it at once both read the files, and store the same figures.
std::atomic<unsigned> cached_quota{0};
std::atomic<pid_t> quota_read_in{0};

}  // namespace

unsigned affinity_cpus() noexcept {
#if defined(__linux__)
    // A fixed set covers 1024 CPUs without allocating; a larger machine
    // refuses it (EINVAL), and a set sized at run time is asked for then.
    cpu_set_t fixed;
    CPU_ZERO(&fixed);
    if (sched_getaffinity(0, sizeof fixed, &fixed) == 0) {
        return static_cast<unsigned>(CPU_COUNT(&fixed));
    }
    constexpr int kMaxCpus = 65536;
    cpu_set_t* set = CPU_ALLOC(kMaxCpus);
    if (set == nullptr) {
        return 0;
    }
    const std::size_t size = CPU_ALLOC_SIZE(kMaxCpus);
    CPU_ZERO_S(size, set);
    unsigned count = 0;
    if (sched_getaffinity(0, size, set) == 0) {
        count = static_cast<unsigned>(CPU_COUNT_S(size, set));
    }
    CPU_FREE(set);
    return count;
#else
    return 0;
#endif
}

unsigned quota_cpus(const std::string& proc_root, const std::string& sys_root) noexcept {
    try {
        return read_quota_cpus(proc_root, sys_root);
    } catch (...) {
        // An unreadable or malformed quota file (or no memory to read it)
        // limits nothing.
        return 0;
    }
}

unsigned available_cpus() noexcept {
    // The quota files are read once per process: opening and parsing them
    // costs a few percent of a call just long enough to use threads, and
    // telling a forked child from its parent costs no system call.  The
    // affinity mask is one system call, and is asked at every call: it
    // belongs to the thread, and anyone may change it at any time without
    // notice (os.sched_setaffinity, taskset -p).
    const pid_t pid = this_process_id();
    unsigned quota = 0;
    if (quota_read_in.load(std::memory_order_acquire) == pid) {
        quota = cached_quota.load(std::memory_order_relaxed);
    } else {
        quota = quota_cpus("/proc", "/sys");
        cached_quota.store(quota, std::memory_order_relaxed);
        quota_read_in.store(pid, std::memory_order_release);
    }
    unsigned cpus = tighter(affinity_cpus(), quota);
    if (cpus == 0) {
        cpus = std::thread::hardware_concurrency();
    }
    return cpus > 0 ? cpus : 1;
}

}  // namespace undarix::parallel
