// How many CPUs this process may use.
#pragma once

#include <string>

namespace undarix::parallel {

// The CPUs in the calling thread's affinity mask; 0 when it cannot be read.
unsigned affinity_cpus() noexcept;

// The tightest CPU quota of the cgroups of the process described by
// `proc_root` (its "self/cgroup" file) under the cgroup file systems of
// `sys_root` ("fs/cgroup"): cgroup v2's cpu.max and v1's cpu.cfs_quota_us
// over cpu.cfs_period_us, in the process's group and every group above it
// up to the root, each rounded up to whole CPUs.  0 when no quota is set or
// none can be read.
unsigned quota_cpus(const std::string& proc_root, const std::string& sys_root) noexcept;

// The CPUs in the affinity mask, further limited by the cgroup quota of
// /proc and /sys where one is set; at least 1.  The quota is read once per
// process (and again in a forked child, which may be moved to another
// group); the mask at every call.
unsigned available_cpus() noexcept;

}  // namespace undarix::parallel
