// Checks of the exact full-turn remainder: the same bits as the C runtime's
// fmod(t, 2π) on edge inputs and on random doubles spread over every
// exponent, and the same bits from its two modular products (64-bit only and
// 128-bit), compared in one program where the compiler has 128-bit integers.
// Built twice (CMakeLists.txt): as the module builds it, and with
// UNDARIX_PORTABLE_INT128, as compilers without 128-bit integers build it.
// UNDARIX_REMAINDER_INPUTS sets the random inputs per exponent (default 500).
#include "check.hpp"
#include "maths/full_turn_remainder.hpp"

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

using namespace undarix::maths;

namespace {

std::uint64_t bits_of(double value) {
    std::uint64_t raw;
    std::memcpy(&raw, &value, sizeof raw);
    return raw;
}

double from_bits(std::uint64_t raw) {
    double value;
    std::memcpy(&value, &raw, sizeof value);
    return value;
}

// Equal bits, or NaN both (the runtime's NaN may carry another payload).
bool same(double a, double b) { return bits_of(a) == bits_of(b) || (std::isnan(a) && std::isnan(b)); }

long long per_exponent() {
    const char* setting = std::getenv("UNDARIX_REMAINDER_INPUTS");
    return setting != nullptr ? std::atoll(setting) : 500;
}

// Edge inputs, exact multiples of 2π·2^k and their neighbours, and random
// mantissas at every biased exponent with both signs.
std::vector<double> inputs() {
    std::vector<double> all;
    const double specials[] = {0.0, 1024.0, 1023.9999999999999, 6.283185307179586, 2 * 6.283185307179586,
                               std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
                               std::numeric_limits<double>::max(), std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN(), 1e6, 1e9, 1e15, 1e22, 1e300,
                               9007199254740992.0, 4503599627370496.5};
    for (double s : specials) {
        for (double t : {s, -s, std::nextafter(s, 0.0), -std::nextafter(s, 0.0),
                         std::nextafter(s, std::numeric_limits<double>::infinity())}) {
            all.push_back(t);
        }
    }
    for (int k = 0; k < 1020; ++k) {
        const double multiple = std::ldexp(6.283185307179586, k);
        for (double t : {multiple, -multiple, std::nextafter(multiple, 0.0),
                         std::nextafter(multiple, std::numeric_limits<double>::infinity())}) {
            all.push_back(t);
        }
    }
    std::mt19937_64 rng(20261207);
    const long long count = per_exponent();
    for (std::uint64_t exponent = 0; exponent < 0x7FF; ++exponent) {
        for (long long i = 0; i < count; ++i) {
            const std::uint64_t mantissa = rng() & ((std::uint64_t{1} << 52) - 1);
            const std::uint64_t sign = rng() & 1;
            all.push_back(from_bits((sign << 63) | (exponent << 52) | mantissa));
        }
    }
    return all;
}

void report_mismatch(const char* what, double t, double expected, double got) {
    std::fprintf(stderr, "%s: t=%a (%016" PRIx64 "): expected %a, got %a\n", what, t, bits_of(t), expected, got);
    std::fflush(stderr);
    std::_Exit(1);
}

// The remainder the module uses gives fmod's bits for every input.
void remainder_matches_fmod() {
    for (double t : inputs()) {
        const double expected = std::fmod(t, 6.283185307179586);
        const double got = full_turn_remainder(t);
        if (!same(expected, got)) {
            report_mismatch("full_turn_remainder", t, expected, got);
        }
    }
}

// The 64-bit product gives the very remainder of the 128-bit one, and fmod's;
// its products agree on the extremes of both factors and on random pairs.
void portable_product_matches_wide() {
#if UNDARIX_HAS_INT128
    using full_turn::kMantissa;
    for (double t : inputs()) {
        const double wide = full_turn::remainder_with<full_turn::multiply_mod_wide>(t);
        const double portable = full_turn::remainder_with<full_turn::multiply_mod_portable>(t);
        if (!same(wide, portable)) {
            report_mismatch("64-bit against 128-bit product", t, wide, portable);
        }
    }
    const std::uint64_t edges[] = {0, 1, 2, 0x3FF, 0x400, std::uint64_t{1} << 52, kMantissa / 2, kMantissa - 2,
                                   kMantissa - 1};
    std::mt19937_64 rng(20261208);
    auto compare = [](std::uint64_t a, std::uint64_t b) {
        CHECK(full_turn::multiply_mod_portable(a, b) == full_turn::multiply_mod_wide(a, b));
    };
    for (std::uint64_t a : edges) {
        for (std::uint64_t b : edges) {
            compare(a, b);
        }
    }
    for (int i = 0; i < 200000; ++i) {
        compare(rng() % kMantissa, rng() % kMantissa);
    }
#else
    // Without 128-bit integers there is nothing to compare against here: the
    // build with them runs this check.
    CHECK(UNDARIX_HAS_INT128 == 1);
#endif
}

// Which product the build chose: the 64-bit one where UNDARIX_PORTABLE_INT128
// is defined, the 128-bit one otherwise (GCC and Clang on 64-bit targets).
void build_chose_its_product() {
#if defined(UNDARIX_PORTABLE_INT128)
    CHECK(UNDARIX_HAS_INT128 == 0);
#else
    CHECK(UNDARIX_HAS_INT128 == 1);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    static const checks::Check portable_build[] = {
        {"remainder_matches_fmod", remainder_matches_fmod},
        {"build_chose_its_product", build_chose_its_product},
    };
    static const checks::Check wide_build[] = {
        {"remainder_matches_fmod", remainder_matches_fmod},
        {"portable_product_matches_wide", portable_product_matches_wide},
        {"build_chose_its_product", build_chose_its_product},
    };
    return UNDARIX_HAS_INT128 ? checks::run_named(wide_build, argc, argv)
                              : checks::run_named(portable_build, argc, argv);
}
