#include "kernels/available_cpus.hpp"

#include <thread>

#if defined(__linux__)
#include <sched.h>

#include <fstream>
#include <string>
#endif

namespace undarix::kernels {
namespace {

#if defined(__linux__)

unsigned affinity_cpus() noexcept {
    // Large enough for any machine; CPU_ALLOC sizes the set at run time.
    constexpr int kMaxCpus = 8192;
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
}

// CPUs allowed by `quota` microseconds per `period`; 0 for no limit.
unsigned cpus_for(long long quota, long long period) {
    if (quota <= 0 || period <= 0) {
        return 0;
    }
    return static_cast<unsigned>((quota + period - 1) / period);
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

// The tightest quota from `root + path` up to `root`; 0 when none is set.
unsigned tightest_quota(const std::string& root, std::string path, unsigned (*read)(const std::string&)) {
    unsigned tightest = 0;
    for (;;) {
        const unsigned cpus = read(root + path);
        if (cpus > 0 && (tightest == 0 || cpus < tightest)) {
            tightest = cpus;
        }
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

// The CPU quota of this process's cgroups, v2 or v1; 0 when none is set.
unsigned quota_cpus() {
    std::ifstream file("/proc/self/cgroup");
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
        const std::string path = line.substr(second + 1);
        unsigned cpus = 0;
        if (controllers.empty()) {
            cpus = tightest_quota("/sys/fs/cgroup", path == "/" ? std::string() : path, v2_quota);
        } else if (names_cpu_controller(controllers)) {
            cpus = tightest_quota("/sys/fs/cgroup/" + controllers, path == "/" ? std::string() : path, v1_quota);
        }
        if (cpus > 0 && (tightest == 0 || cpus < tightest)) {
            tightest = cpus;
        }
    }
    return tightest;
}

#endif

}  // namespace

unsigned available_cpus() noexcept {
    unsigned cpus = 0;
#if defined(__linux__)
    cpus = affinity_cpus();
    try {
        const unsigned quota = quota_cpus();
        if (quota > 0 && (cpus == 0 || quota < cpus)) {
            cpus = quota;
        }
    } catch (...) {
        // An unreadable or malformed quota file limits nothing.
    }
#endif
    if (cpus == 0) {
        cpus = std::thread::hardware_concurrency();
    }
    return cpus > 0 ? cpus : 1;
}

}  // namespace undarix::kernels
