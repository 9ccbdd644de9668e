// Compares the exact full-turn remainder with the C runtime's fmod, bit for
// bit, on edge inputs and on random doubles spread over every exponent, and
// its modular product with a 128-bit one where the compiler has that.
// Prints the number of inputs checked and which product the remainder used;
// exits non-zero on the first mismatch.
#include "kernels/full_turn_remainder.hpp"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

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

long long checked = 0;
long long products_checked = 0;

void check(double t) {
    const double expected = std::fmod(t, 6.283185307179586);
    const double got = undarix::kernels::full_turn_remainder(t);
    const bool both_nan = std::isnan(expected) && std::isnan(got);
    if (!both_nan && bits_of(expected) != bits_of(got)) {
        std::printf("mismatch for t=%a (%016" PRIx64 "): fmod=%a got=%a\n", t, bits_of(t), expected, got);
        std::exit(1);
    }
    ++checked;
}

// The 64-bit product against the compiler's 128-bit integers, on the
// extremes of both factors and on random pairs.
void check_multiply_mod(std::mt19937_64& rng) {
#if defined(__SIZEOF_INT128__)
    using undarix::kernels::full_turn::kMantissa;
    const std::uint64_t edges[] = {0, 1, 2, 0x3FF, 0x400, std::uint64_t{1} << 52, kMantissa / 2, kMantissa - 2,
                                   kMantissa - 1};
    auto compare = [](std::uint64_t a, std::uint64_t b) {
        const auto expected = static_cast<std::uint64_t>(static_cast<unsigned __int128>(a) * b % kMantissa);
        const std::uint64_t got = undarix::kernels::full_turn::multiply_mod(a, b);
        if (got != expected) {
            std::printf("mismatch for %" PRIu64 " * %" PRIu64 " mod M: %" PRIu64 " instead of %" PRIu64 "\n", a, b,
                        got, expected);
            std::exit(1);
        }
        ++products_checked;
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
    static_cast<void>(rng);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    const long long per_exponent = argc > 1 ? std::atoll(argv[1]) : 2000;
    const double specials[] = {0.0, 1024.0, 1023.9999999999999, 6.283185307179586, 2 * 6.283185307179586,
                               std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
                               std::numeric_limits<double>::max(), std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN(), 1e6, 1e9, 1e15, 1e22, 1e300,
                               9007199254740992.0, 4503599627370496.5};
    for (double s : specials) {
        check(s);
        check(-s);
        check(std::nextafter(s, 0.0));
        check(-std::nextafter(s, 0.0));
        check(std::nextafter(s, std::numeric_limits<double>::infinity()));
    }
    // Exact multiples of 2π·2^k and their neighbours (remainder zero or tiny).
    for (int k = 0; k < 1020; ++k) {
        const double multiple = std::ldexp(6.283185307179586, k);
        check(multiple);
        check(-multiple);
        check(std::nextafter(multiple, 0.0));
        check(std::nextafter(multiple, std::numeric_limits<double>::infinity()));
    }
    // Random mantissas at every biased exponent, both signs.
    std::mt19937_64 rng(20261207);
    for (std::uint64_t exponent = 0; exponent < 0x7FF; ++exponent) {
        for (long long i = 0; i < per_exponent; ++i) {
            const std::uint64_t mantissa = rng() & ((std::uint64_t{1} << 52) - 1);
            const std::uint64_t sign = rng() & 1;
            check(from_bits((sign << 63) | (exponent << 52) | mantissa));
        }
    }
    check_multiply_mod(rng);
    std::printf("%lld inputs identical to fmod with the %s modular product\n", checked,
                UNDARIX_HAS_INT128 ? "128-bit" : "64-bit");
    std::printf("%lld modular products identical to 128-bit arithmetic\n", products_checked);
    return 0;
}
