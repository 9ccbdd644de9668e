#include "kernels/thread_settings.hpp"

#include "parallel/available_cpus.hpp"
#include "parallel/thread_count_setting.hpp"

#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>

namespace undarix::kernels {
namespace {

struct ThreadVariable {
    const char* name;
    bool first_level_only;  // OMP_NUM_THREADS may list one count per nesting level
    // Set by the one thread that warns: without the interpreter lock (a
    // free-threaded build) two calls may find the variable invalid at once.
    std::atomic<bool> warned;
};

ThreadVariable undarix_variable{"UNDARIX_NUM_THREADS", false, false};
ThreadVariable omp_variable{"OMP_NUM_THREADS", true, false};

// The value as printable ASCII, for the warning text.
std::string printable(const std::string& value) {
    std::string text;
    for (const char c : value) {
        text += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return text;
}

// The variable's count; nothing when it is unset, empty or invalid.
Expected<std::optional<unsigned>> read_variable(ThreadVariable& variable) {
    const char* raw = std::getenv(variable.name);
    const parallel::ThreadCountSetting setting = parallel::parse_thread_count(raw, variable.first_level_only);
    switch (setting.kind) {
        case parallel::ThreadCountSetting::Kind::threads:
            return std::optional<unsigned>(setting.threads);
        case parallel::ThreadCountSetting::Kind::unset:
            return std::optional<unsigned>();
        case parallel::ThreadCountSetting::Kind::invalid:
            break;
    }
    if (!variable.warned.load(std::memory_order_relaxed) && !variable.warned.exchange(true)) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "ignoring %s='%s': not a positive integer", variable.name,
                             printable(raw).c_str()) < 0) {
            return fetch_failure();
        }
    }
    return std::optional<unsigned>();
}

}  // namespace

Expected<unsigned> configured_threads() {
    for (ThreadVariable* variable : {&undarix_variable, &omp_variable}) {
        Expected<std::optional<unsigned>> count = read_variable(*variable);
        if (!count) {
            return count.take_failure();
        }
        if (count.value()) {
            return *count.value();
        }
    }
    return parallel::available_cpus();
}

}  // namespace undarix::kernels
