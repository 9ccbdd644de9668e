#include "frame/boundary_trap.hpp"

#include <cstdio>
#include <cstdlib>

namespace undarix {

void BoundaryTrap::abort_process() const noexcept {
    if (armed_) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::fflush(stderr);
    }
    std::abort();
}

}  // namespace undarix
