// Checks the ufuncs' test of outputs against inputs exhaustively over small
// layouts in one buffer: every output and input offset, stride and length
// below the bounds.  It must say "overlaps" wherever an output element
// shares a byte with an input element of another index (the elements a
// thread may read after another has written them), and must not where the
// loops rely on the fast path: disjoint operands, out= the input itself,
// and interleaved elements.  Prints the number of layouts checked; exits
// non-zero on the first wrong answer.
#include "ufuncs/operand_overlap.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using undarix::ufuncs::kOperandItemSize;
using undarix::ufuncs::output_overlaps_inputs;

char buffer[4096];

bool bytes_meet(std::intptr_t a, std::intptr_t b) {
    const auto size = static_cast<std::intptr_t>(kOperandItemSize);
    return a < b + size && b < a + size;
}

// Some output element i meets some input element j != i.
bool order_matters(std::intptr_t out, std::intptr_t out_step, std::intptr_t in, std::intptr_t in_step, int n) {
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            if (i != j && bytes_meet(out + i * out_step, in + j * in_step)) {
                return true;
            }
        }
    }
    return false;
}

// The operands' spans of bytes, from the lowest element to the end of the
// highest, do not meet.
bool spans_apart(std::intptr_t out, std::intptr_t out_step, std::intptr_t in, std::intptr_t in_step, int n) {
    auto low = [n](std::intptr_t start, std::intptr_t step) { return step < 0 ? start + (n - 1) * step : start; };
    auto high = [n](std::intptr_t start, std::intptr_t step) {
        return (step < 0 ? start : start + (n - 1) * step) + static_cast<std::intptr_t>(kOperandItemSize);
    };
    return high(out, out_step) <= low(in, in_step) || high(in, in_step) <= low(out, out_step);
}

bool answer(std::intptr_t out, std::intptr_t out_step, std::intptr_t in, std::intptr_t in_step, int n) {
    char* args[] = {buffer + in, buffer + out};
    const std::intptr_t steps[] = {in_step, out_step};
    return output_overlaps_inputs(args, steps, 1, 1, static_cast<std::size_t>(n));
}

void fail(const char* what, std::intptr_t out, std::intptr_t out_step, std::intptr_t in, std::intptr_t in_step,
          int n) {
    std::printf("%s: out at %ld step %ld, in at %ld step %ld, n=%d\n", what, static_cast<long>(out),
                static_cast<long>(out_step), static_cast<long>(in), static_cast<long>(in_step), n);
    std::exit(1);
}

}  // namespace

int main() {
    const std::intptr_t steps[] = {-40, -24, -16, -12, -8, -4, 0, 4, 8, 12, 16, 24, 40};
    long checked = 0;
    for (int n = 1; n <= 5; ++n) {
        for (std::intptr_t out_step : steps) {
            for (std::intptr_t in_step : steps) {
                for (std::intptr_t out = 1024; out < 1024 + 48; ++out) {
                    for (std::intptr_t in = 1024; in < 1024 + 48; ++in) {
                        const bool said = answer(out, out_step, in, in_step, n);
                        // out= the input itself with a stride below 8 bytes: the float32
                        // loops' elements, which this 8-byte model sees overlapping.
                        const bool same_elements = out == in && out_step == in_step && out_step != 0;
                        if (order_matters(out, out_step, in, in_step, n) && !said && !same_elements) {
                            fail("overlap missed", out, out_step, in, in_step, n);
                        }
                        if (spans_apart(out, out_step, in, in_step, n) && said) {
                            fail("disjoint operands said to overlap", out, out_step, in, in_step, n);
                        }
                        if (same_elements && said) {
                            fail("out= the input said to overlap", out, out_step, in, in_step, n);
                        }
                        const bool interleaved = out_step == in_step && (out_step >= 16 || out_step <= -16) &&
                                                 !order_matters(out, out_step, in, in_step, n) &&
                                                 !bytes_meet(out, in);
                        if (interleaved && said) {
                            fail("interleaved elements said to overlap", out, out_step, in, in_step, n);
                        }
                        ++checked;
                    }
                }
            }
        }
    }
    // No elements, nothing to order; several inputs and outputs: any pair counts.
    char* args[] = {buffer + 1024, buffer + 2048, buffer + 3072, buffer + 2056, buffer + 1024};
    const std::intptr_t wide[] = {8, 8, 8, 8, 8};
    if (output_overlaps_inputs(args, wide, 3, 2, 0)) {
        fail("an empty loop said to overlap", 0, 0, 0, 0, 0);
    }
    if (!output_overlaps_inputs(args, wide, 3, 1, 4)) {  // output 3 is input 1 shifted by one element
        fail("the second input's overlap missed", 2056, 8, 2048, 8, 4);
    }
    if (output_overlaps_inputs(args, wide, 4, 1, 4)) {  // output 4 is input 0 itself
        fail("a second output in place said to overlap", 1024, 8, 1024, 8, 4);
    }
    std::printf("%ld layouts checked\n", checked);
    return 0;
}
