#include "frame/failure_report.hpp"

#include <cstdio>
#include <cstring>

namespace undarix {
namespace {

// Trivially destructible, so valid for the whole life of the thread.
thread_local const char* reported_function = nullptr;

struct Advice {
    const char* message;  // the failure's message, exactly as the kernels raise it
    const char* advice;
};

// Failures of the caller's data rather than of the module: the report says
// what to do instead of where in the sources it happened.
constexpr Advice kAdvice[] = {
    {"called `Result::unwrap()` on an `Err` value: NotContiguousError",
     "the `time` array is not contiguous in memory (a strided view such as data[:, 0] or t[::2]); "
     "pass np.ascontiguousarray(time) instead"},
    {"called `Result::unwrap()` on an `Err` value: AlreadyBorrowed",
     "another extension module has borrowed the memory of `time` exclusively (it is writing to it); "
     "wait for that module to release it, then call again"},
};

// The path from the project's root (src/frame/...), not the build machine's.
// The build makes the compiler write it so where the compiler can; otherwise
// the build passes the root, which is cut off here.  A path that is neither
// is reported whole rather than cut at a guess.
const char* short_path(const char* file) {
#if defined(UNDARIX_SOURCE_ROOT)
    constexpr const char* root = UNDARIX_SOURCE_ROOT;
    const std::size_t length = std::strlen(root);
    if (std::strncmp(file, root, length) == 0) {
        return file + length;
    }
#endif
    return file;
}

}  // namespace

ReportedFunction::ReportedFunction(const char* name) noexcept : enclosing_(reported_function) {
    reported_function = name;
}

ReportedFunction::~ReportedFunction() { reported_function = enclosing_; }

void report_internal_failure(const std::string& message, const char* file, int line) noexcept {
    const char* function = reported_function != nullptr ? reported_function : "a call into undarix";
    for (const Advice& known : kAdvice) {
        if (message == known.message) {
            std::fprintf(stderr, "undarix: %s failed: %s\nundarix: %s\n", function, message.c_str(), known.advice);
            std::fflush(stderr);
            return;
        }
    }
    std::fprintf(stderr, "undarix: %s failed: %s (internal failure at %s:%d)\n", function, message.c_str(),
                 short_path(file), line);
    std::fflush(stderr);
}

}  // namespace undarix
