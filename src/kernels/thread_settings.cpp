#include "kernels/thread_settings.hpp"

#include "kernels/available_cpus.hpp"

#include <cstdlib>
#include <optional>
#include <string>

namespace undarix::kernels {
namespace {

// Far beyond any useful count; larger values are taken as this.
constexpr unsigned long kMaxThreads = 1u << 16;

struct ThreadVariable {
    const char* name;
    bool first_level_only;  // OMP_NUM_THREADS may list one count per nesting level
    bool warned;            // guarded by the interpreter lock
};

ThreadVariable undarix_variable{"UNDARIX_NUM_THREADS", false, false};
ThreadVariable omp_variable{"OMP_NUM_THREADS", true, false};

// The positive integer `text` holds (surrounding blanks allowed), capped at
// kMaxThreads; nothing when it holds anything else.
std::optional<unsigned> parse_positive(const std::string& text) {
    const std::size_t begin = text.find_first_not_of(" \t");
    const std::size_t end = text.find_last_not_of(" \t");
    if (begin == std::string::npos) {
        return std::nullopt;
    }
    unsigned long value = 0;
    for (std::size_t i = begin; i <= end; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > kMaxThreads) {
            value = kMaxThreads;  // saturate: more digits only make it larger
        }
    }
    if (value == 0) {
        return std::nullopt;
    }
    return static_cast<unsigned>(value);
}

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
    if (raw == nullptr || raw[0] == '\0') {
        return std::optional<unsigned>();
    }
    std::string value(raw);
    std::string counted = value;
    if (variable.first_level_only) {
        counted = value.substr(0, value.find(','));
    }
    std::optional<unsigned> count = parse_positive(counted);
    if (!count && !variable.warned) {
        variable.warned = true;
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "ignoring %s='%s': not a positive integer", variable.name,
                             printable(value).c_str()) < 0) {
            return fetch_failure();
        }
    }
    return count;
}

}  // namespace

Expected<unsigned> configured_threads() { return configured_threads(available_cpus); }

Expected<unsigned> configured_threads(unsigned (*cpus)() noexcept) {
    for (ThreadVariable* variable : {&undarix_variable, &omp_variable}) {
        Expected<std::optional<unsigned>> count = read_variable(*variable);
        if (!count) {
            return count.take_failure();
        }
        if (count.value()) {
            return *count.value();
        }
    }
    return cpus();
}

}  // namespace undarix::kernels
