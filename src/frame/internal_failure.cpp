#include "frame/internal_failure.hpp"

#include "frame/failure_report.hpp"
#include "frame/python.hpp"

namespace undarix {

void raise_internal(std::string message, const char* file, int line) {
    report_internal_failure(message, file, line);
    throw InternalFailure(std::move(message));
}

void unexpected_api_failure(const char* file, int line) {
    if (PyErr_Occurred() != nullptr) {
        PyErr_Print();
    }
    raise_internal("Python API call failed", file, line);
}

}  // namespace undarix
