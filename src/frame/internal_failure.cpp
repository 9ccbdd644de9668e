#include "frame/internal_failure.hpp"

#include "frame/python.hpp"

#include <cstdio>
#include <cstring>

namespace undarix {
namespace {

// Shows the path from the source root, not the build machine's full path.
const char* short_path(const char* file) {
    const char* src = std::strstr(file, "src/");
    return src != nullptr ? src : file;
}

}  // namespace

void raise_internal(std::string message, const char* file, int line) {
    std::fprintf(stderr, "undarix: internal failure at %s:%d: %s\n", short_path(file), line, message.c_str());
    std::fflush(stderr);
    throw InternalFailure(std::move(message));
}

void unexpected_api_failure(const char* file, int line) {
    if (PyErr_Occurred() != nullptr) {
        PyErr_Print();
    }
    raise_internal("Python API call failed", file, line);
}

}  // namespace undarix
