#include "ufuncs/inner_loops.hpp"

#include "kernels/formulas.hpp"
#include "ufuncs/loop_driver.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace undarix::ufuncs {
namespace {

template <class T>
T load(const char* address) {
    T value;
    std::memcpy(&value, address, sizeof value);
    return value;
}

// One loop call's operands: `Inputs` inputs, then the output.
template <std::size_t Inputs>
struct Operands {
    char* const* args;
    const npy_intp* steps;
};

// One element's inputs, read from the operands: `Inputs` doubles, except
// that fourier_square_wave's last input, the harmonic count, is kept as an
// integer in `count`.
template <std::size_t Inputs>
struct ElementInputs {
    double values[Inputs];
    std::uint64_t count;
};

// Evaluates `element` for elements [first, last): element(inputs, keep_going)
// returns the value for one element's ElementInputs.  When every input but
// the time is the same for all elements (scalar parameters, the common
// case) they are read once.
template <std::size_t Inputs, class Count, class Element>
void evaluate_range(const Operands<Inputs>& operands, std::size_t first, std::size_t last,
                    parallel::Checkpoint& checkpoint, Element&& element) {
    constexpr bool kHasCount = !std::is_same_v<Count, double>;
    constexpr std::size_t kDoubles = kHasCount ? Inputs - 1 : Inputs;
    const char* in[Inputs];
    npy_intp steps[Inputs];
    const npy_intp offset = static_cast<npy_intp>(first);
    bool parameters_fixed = true;
    for (std::size_t k = 0; k < Inputs; ++k) {
        steps[k] = operands.steps[k];
        in[k] = operands.args[k] + offset * steps[k];
        parameters_fixed = parameters_fixed && (k == 0 || steps[k] == 0);
    }
    const npy_intp out_step = operands.steps[Inputs];
    char* out = operands.args[Inputs] + offset * out_step;
    std::size_t i = first;
    // Asked inside a long element: element i is not written yet.
    auto keep_going = [&checkpoint, &i] { return checkpoint.keep_going(i); };
    ElementInputs<Inputs> inputs{};
    auto read = [&](std::size_t from) {
        for (std::size_t k = from; k < kDoubles; ++k) {
            inputs.values[k] = load<double>(in[k]);
        }
        if constexpr (kHasCount) {
            inputs.count = static_cast<std::uint64_t>(load<Count>(in[Inputs - 1]));
        }
    };
    if (parameters_fixed) {
        read(1);
        for (; i < last; ++i) {
            inputs.values[0] = load<double>(in[0]);
            const double value = element(inputs, keep_going);
            std::memcpy(out, &value, sizeof value);
            in[0] += steps[0];
            out += out_step;
        }
        return;
    }
    for (; i < last; ++i) {
        read(0);
        const double value = element(inputs, keep_going);
        std::memcpy(out, &value, sizeof value);
        for (std::size_t k = 0; k < Inputs; ++k) {
            in[k] += steps[k];
        }
        out += out_step;
    }
}

// The four damped waveforms with five double parameters.
template <double (*Formula)(double, double, double, double, double, double)>
void damped_range(const void* context, std::size_t first, std::size_t last, parallel::Checkpoint& checkpoint) {
    evaluate_range<6, double>(*static_cast<const Operands<6>*>(context), first, last, checkpoint,
                              [](const ElementInputs<6>& x, auto&&) {
                                  const double* v = x.values;
                                  return Formula(v[0], v[1], v[2], v[3], v[4], v[5]);
                              });
}

template <double (*Formula)(double, double, double, double, double, double)>
void damped_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    const Operands<6> operands{args, steps};
    const std::size_t n = static_cast<std::size_t>(dimensions[0]);
    drive_loop(LoopBody{&operands, damped_range<Formula>}, n, n);
}

void transient_range(const void* context, std::size_t first, std::size_t last, parallel::Checkpoint& checkpoint) {
    // The onset depends on the period alone: computed again only when the
    // period's bits change (never, for a scalar period).
    std::uint64_t period_bits = 0;
    double onset = kernels::transient_onset(0.0);
    evaluate_range<5, double>(*static_cast<const Operands<5>*>(context), first, last, checkpoint,
                              [&](const ElementInputs<5>& x, auto&&) {
                                  const double* v = x.values;
                                  std::uint64_t bits;
                                  std::memcpy(&bits, &v[2], sizeof bits);
                                  if (bits != period_bits) {
                                      period_bits = bits;
                                      onset = kernels::transient_onset(v[2]);
                                  }
                                  return kernels::transient_impulse(v[0], onset, v[1], v[3], v[4]);
                              });
}

void transient_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    const Operands<5> operands{args, steps};
    const std::size_t n = static_cast<std::size_t>(dimensions[0]);
    drive_loop(LoopBody{&operands, transient_range}, n, n);
}

// fourier_square_wave's count, read as the loop's integer type; a negative
// int64 count has been refused before the evaluation starts.
template <class Count>
void fourier_range(const void* context, std::size_t first, std::size_t last, parallel::Checkpoint& checkpoint) {
    evaluate_range<7, Count>(*static_cast<const Operands<7>*>(context), first, last, checkpoint,
                             [](const ElementInputs<7>& x, auto&& keep_going) {
                                 const double* v = x.values;
                                 return kernels::fourier_square_wave(v[0], v[1], v[2], v[3], v[4], v[5], x.count,
                                                                     keep_going);
                             });
}

template <class Count>
bool is_negative(Count count) {
    if constexpr (std::is_signed_v<Count>) {
        return count < 0;
    } else {
        return false;
    }
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// Each harmonic costs about one evaluation of the cheapest formula.
std::uint64_t element_work(std::uint64_t harmonics) { return saturating_add(harmonics, 1); }

std::uint64_t saturating_multiply(std::uint64_t a, std::uint64_t b) {
    return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

template <class Count>
void fourier_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    const Operands<7> operands{args, steps};
    const std::size_t n = static_cast<std::size_t>(dimensions[0]);
    // The counts are checked and the work added up before anything is
    // evaluated: a count outside the domain fails the call at once.
    std::uint64_t work = 0;
    const npy_intp count_step = steps[6];
    const std::size_t distinct = count_step == 0 && n > 0 ? 1 : n;
    for (std::size_t i = 0; i < distinct; ++i) {
        const Count count = load<Count>(args[6] + static_cast<npy_intp>(i) * count_step);
        if (is_negative(count)) {
            char message[160];
            std::snprintf(message, sizeof message,
                          "fourier_square_wave: argument 'num_harmonics' must be a non-negative integer, got "
                          "%" PRId64,
                          static_cast<std::int64_t>(count));
            raise_in_loop(PyExc_ValueError, message);
            return;
        }
        work = saturating_add(work, element_work(static_cast<std::uint64_t>(count)));
    }
    if (distinct == 1) {
        work = saturating_multiply(work, n);
    }
    drive_loop(LoopBody{&operands, fourier_range<Count>}, n, work);
}

// NumPy keeps these pointers for the life of the process.
constexpr char d = kTypeDouble;

InnerLoop harmonic_functions[] = {damped_loop<kernels::harmonic_oscillator>};
InnerLoop pseudo_square_functions[] = {damped_loop<kernels::pseudo_square_wave>};
InnerLoop pseudo_cycloid_functions[] = {damped_loop<kernels::pseudo_cycloid_wave>};
InnerLoop transient_functions[] = {transient_loop};
// int64 first: NumPy takes the first loop every input casts to safely, so
// Python ints, int64 and smaller integers use it, and uint64 the second.
InnerLoop fourier_functions[] = {fourier_loop<std::int64_t>, fourier_loop<std::uint64_t>};

void* one_loop_data[] = {nullptr};
void* two_loop_data[] = {nullptr, nullptr};

const char damped_types[] = {d, d, d, d, d, d, d};
const char transient_types[] = {d, d, d, d, d, d};
const char fourier_types[] = {d, d, d, d, d, d, kTypeInt64, d, d, d, d, d, d, d, kTypeUInt64, d};

}  // namespace

const UfuncLoops harmonic_oscillator_loops{harmonic_functions, one_loop_data, damped_types, 1, 6};
const UfuncLoops pseudo_square_wave_loops{pseudo_square_functions, one_loop_data, damped_types, 1, 6};
const UfuncLoops fourier_square_wave_loops{fourier_functions, two_loop_data, fourier_types, 2, 7};
const UfuncLoops pseudo_cycloid_wave_loops{pseudo_cycloid_functions, one_loop_data, damped_types, 1, 6};
const UfuncLoops transient_impulse_loops{transient_functions, one_loop_data, transient_types, 1, 5};

}  // namespace undarix::ufuncs
