// Whether a loop call's outputs share memory with its inputs.
//
// NumPy copies an input that overlaps an output only where reading the
// elements in order could see a value already written; otherwise (an input
// that runs ahead of the output, as in f(x[1:], ..., out=x[:-1])) it hands the
// loop the overlapping operands and relies on element i being read before
// any later element is written.  Split across threads, one thread's writes
// land on elements another has not read yet, so such a call must be
// evaluated forward on one thread.  The test is on memory extents and may
// say "overlaps" where no element actually meets another (it is then only
// slower); it never misses an overlap.
//
// Plain arithmetic on addresses and NumPy's strides (npy_intp is intptr_t),
// with no Python or NumPy header, so that it is checked on its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace undarix::ufuncs {

// Bytes of one element of every operand: the loops take doubles and 64-bit
// integers only.
constexpr std::uintptr_t kOperandItemSize = 8;

namespace overlap_detail {

using npy_intp = std::intptr_t;

inline std::uintptr_t magnitude(npy_intp step) { return static_cast<std::uintptr_t>(step < 0 ? -step : step); }

// The bytes [first, end) that `n` elements from `base` at `step` occupy.
struct ByteExtent {
    std::uintptr_t first;
    std::uintptr_t end;
};

inline ByteExtent extent(const char* base, npy_intp step, std::size_t n) {
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(base);
    // The elements lie inside one array NumPy allocated: the span fits.
    const std::uintptr_t span = magnitude(step) * (n - 1);
    const std::uintptr_t first = step < 0 ? start - span : start;
    return {first, first + span + kOperandItemSize};
}

// Whether any element of the output (`out`, `out_step`) may share a byte with
// an element of the input other than its own: `n` > 0 elements each.
inline bool output_meets_input(const char* out, npy_intp out_step, const char* in, npy_intp in_step,
                               std::size_t n) {
    const ByteExtent written = extent(out, out_step, n);
    const ByteExtent read = extent(in, in_step, n);
    if (written.end <= read.first || read.end <= written.first) {
        return false;
    }
    if (n == 1) {
        return false;  // one element: it is read before it is written
    }
    // In place (out= the input: the same start and stride) each element is
    // read and written by the same thread, its input before its output,
    // whatever the element's size (float32 loops too).  Not for a stride of
    // 0, where every element is read from and written to the same place.
    const std::uintptr_t start_out = reinterpret_cast<std::uintptr_t>(out);
    const std::uintptr_t start_in = reinterpret_cast<std::uintptr_t>(in);
    if (start_out == start_in && out_step == in_step && out_step != 0) {
        return false;
    }
    const std::uintptr_t stride = magnitude(out_step);
    if (out_step != in_step || stride < kOperandItemSize) {
        return true;
    }
    // The same stride: the output's elements sit at a fixed offset from the
    // input's.  An offset of whole elements is a shift: element i is written
    // onto element j != i.  Any other offset that keeps every output element
    // clear of the input's elements interleaves them (x[0::2] and x[1::2]).
    const std::uintptr_t residue = start_out > start_in ? (start_out - start_in) % stride
                                                        : (stride - (start_in - start_out) % stride) % stride;
    return residue < kOperandItemSize || residue > stride - kOperandItemSize;
}

// Whether two elements of one output (`out`, `out_step`), `n` > 1 of them of
// `item_size` bytes each, may share a byte: a stride of 0 (every element
// written to one place, where a plain loop leaves the last one's value) or
// any stride shorter than an element.
inline bool output_meets_itself(npy_intp out_step, std::size_t item_size, std::size_t n) {
    return n > 1 && magnitude(out_step) < item_size;
}

}  // namespace overlap_detail

// Whether the `outputs` operands, which follow the `inputs` operands in `args`
// and `steps`, may share memory among themselves: an output with itself (a
// stride shorter than its `item_size`, 0 included), or two outputs
// (out=(x[:-1], x[1:]) of a Jacobian).  NumPy hands such outputs to the loop
// as they are and, as its own loops do, the last write to a place in plain
// loop order must be the one that stays; split across threads, another
// thread's earlier element may land last.  Two outputs that are one array
// (the same start and stride) are written element by element by the thread
// that owns the element, so they stay in order.
inline bool outputs_overlap(char* const* args, const std::intptr_t* steps, std::size_t inputs,
                            std::size_t outputs, std::size_t item_size, std::size_t n) {
    if (n == 0) {
        return false;
    }
    for (std::size_t o = inputs; o < inputs + outputs; ++o) {
        if (overlap_detail::output_meets_itself(steps[o], item_size, n)) {
            return true;
        }
        for (std::size_t other = o + 1; other < inputs + outputs; ++other) {
            // The same test as an output against an input: a shift of whole
            // elements is a conflict, one array and interleaved halves are not.
            if (overlap_detail::output_meets_input(args[o], steps[o], args[other], steps[other], n)) {
                return true;
            }
        }
    }
    return false;
}

// Whether any of the `outputs` operands, which follow the `inputs` operands in
// `args` and `steps` as NumPy passes them to an inner loop, may share memory
// with an input in a way that makes the order of the `n` elements matter.
inline bool output_overlaps_inputs(char* const* args, const std::intptr_t* steps, std::size_t inputs,
                                   std::size_t outputs, std::size_t n) {
    if (n == 0) {
        return false;
    }
    for (std::size_t o = inputs; o < inputs + outputs; ++o) {
        for (std::size_t i = 0; i < inputs; ++i) {
            if (overlap_detail::output_meets_input(args[o], steps[o], args[i], steps[i], n)) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace undarix::ufuncs
