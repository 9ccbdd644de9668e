// The short report that raise_internal writes to standard error: which of
// the module's functions failed and why, and, for the two failures that calls
// with ordinary arguments meet, what the caller can do about them.
#pragma once

#include <string>

namespace undarix {

// Names what is being run on this thread ("undarix.<function>()",
// "import undarix") in the reports raised while it lives; nested entries
// name their own and restore the enclosing one.  `name` must outlive it.
class ReportedFunction {
public:
    explicit ReportedFunction(const char* name) noexcept;
    ~ReportedFunction();
    ReportedFunction(const ReportedFunction&) = delete;
    ReportedFunction& operator=(const ReportedFunction&) = delete;

private:
    const char* enclosing_;
};

// Writes the report for an InternalFailure with `message`, raised at
// file:line.
void report_internal_failure(const std::string& message, const char* file, int line) noexcept;

}  // namespace undarix
