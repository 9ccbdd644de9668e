// How many CPUs this process may use.
#pragma once

namespace undarix::kernels {

// The CPUs in the process's affinity mask, further limited by a cgroup CPU
// quota where one is set (rounded up); at least 1.
unsigned available_cpus() noexcept;

}  // namespace undarix::kernels
