// BoundaryTrap: ends the process when a failure is about to escape an entry.
#pragma once

namespace undarix {

class BoundaryTrap {
public:
    BoundaryTrap() noexcept = default;
    BoundaryTrap(const BoundaryTrap&) = delete;
    BoundaryTrap& operator=(const BoundaryTrap&) = delete;

    void disarm() noexcept { armed_ = false; }

    // Reports "uncaught panic at ffi boundary" on standard error while armed,
    // then aborts.
    [[noreturn]] void abort_process() const noexcept;

private:
    bool armed_ = true;
};

}  // namespace undarix
