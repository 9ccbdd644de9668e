// A minimal harness for the parallel layer's checks: each check is a named
// function; a failed CHECK reports where and ends the process.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

#define CHECK(condition)                                                                      \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::fflush(stderr);                                                              \
            std::_Exit(1);                                                                    \
        }                                                                                     \
    } while (false)

namespace checks {

struct Check {
    const char* name;
    void (*run)();
};

// Runs the check named argv[1], or lists the names with --list.
template <std::size_t N>
int run_named(const Check (&all)[N], int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--list") {
        for (const Check& check : all) {
            std::printf("%s\n", check.name);
        }
        return 0;
    }
    if (argc == 2) {
        for (const Check& check : all) {
            if (std::string_view(argv[1]) == check.name) {
                check.run();
                std::printf("%s passed\n", check.name);
                return 0;
            }
        }
    }
    std::fprintf(stderr, "usage: %s --list | CHECK\n", argv[0]);
    return 2;
}

}  // namespace checks
