#include "ufuncs/inner_loops.hpp"

#include "maths/formulas.hpp"
#include "ufuncs/harmonic_count.hpp"
#include "ufuncs/loop_driver.hpp"
#include "ufuncs/operand_overlap.hpp"

#include <cfenv>
#include <cstring>
#include <limits>
#include <type_traits>

namespace undarix::ufuncs {
namespace {

// NumPy's type number of float32 (NPY_FLOAT, the same in 1.x and 2.x), for
// the loops' float operands.
constexpr char kTypeFloat = 11;

// One loop call's operands: `Inputs` inputs, then the output.  `forward`:
// the output overlaps an input, so the elements are evaluated in order on
// one thread, each one's inputs read before its output is written.
template <std::size_t Inputs>
struct Operands {
    char* const* args;
    const npy_intp* steps;
    bool forward;
};

// The loops' element types: `double`, or `float`, whose inputs are widened
// to double exactly and whose results are rounded to float once, after the
// double evaluation, so that each is the float64 loop's value cast to
// float32.
template <class Real>
double load_real(const char* address) {
    return static_cast<double>(load<Real>(address));
}

template <class Real>
void store_real(char* address, double value) {
    const Real narrowed = static_cast<Real>(value);
    std::memcpy(address, &narrowed, sizeof narrowed);
}

// One element's inputs, read from the operands: `Inputs` doubles, except
// that fourier_square_wave's last input, the harmonic count, is kept as the
// loop's integer type in `count`.
template <std::size_t Inputs, class Count>
struct ElementInputs {
    double values[Inputs];
    Count count;
};

// Evaluates `element` for elements [first, last): element(inputs, keep_going)
// returns the value for one element's ElementInputs.  When every input but
// the time is the same for all elements (scalar parameters, the common
// case) they are read once; not when the output overlaps the inputs, where
// writing an element may change a parameter read after it.  `Real`: the
// type of every operand but the count.
template <class Real, std::size_t Inputs, class Count, class Element>
void evaluate_range(const Operands<Inputs>& operands, std::size_t first, std::size_t last,
                    parallel::Checkpoint& checkpoint, Element&& element) {
    constexpr bool kHasCount = !std::is_same_v<Count, double>;
    constexpr std::size_t kDoubles = kHasCount ? Inputs - 1 : Inputs;
    const char* in[Inputs];
    npy_intp steps[Inputs];
    const npy_intp offset = static_cast<npy_intp>(first);
    bool parameters_fixed = !operands.forward;
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
    ElementInputs<Inputs, Count> inputs{};
    auto read = [&](std::size_t from) {
        for (std::size_t k = from; k < kDoubles; ++k) {
            inputs.values[k] = load_real<Real>(in[k]);
        }
        if constexpr (kHasCount) {
            inputs.count = load<Count>(in[Inputs - 1]);
        }
    };
    if (parameters_fixed) {
        read(1);
        for (; i < last; ++i) {
            inputs.values[0] = load_real<Real>(in[0]);
            store_real<Real>(out, element(inputs, keep_going));
            in[0] += steps[0];
            out += out_step;
        }
        return;
    }
    for (; i < last; ++i) {
        read(0);
        store_real<Real>(out, element(inputs, keep_going));
        for (std::size_t k = 0; k < Inputs; ++k) {
            in[k] += steps[k];
        }
        out += out_step;
    }
}

class NeverStop final : public parallel::Checkpoint {
public:
    bool keep_going(std::size_t) override { return true; }
};

// Runs `body` over a loop call's `n` elements: forward on this thread when
// an output overlaps an input (operands.forward), else through the loop
// driver on as many threads as `work` calls for.
template <std::size_t Inputs>
void run_loop(const Operands<Inputs>& operands, const LoopBody& body, std::size_t n, std::uint64_t work) {
    if (operands.forward) {
        NeverStop checkpoint;
        body.run(body.context, 0, n, checkpoint);
        return;
    }
    drive_loop(body, n, work);
}

template <std::size_t Inputs>
Operands<Inputs> operands_of(char* const* args, const npy_intp* steps, std::size_t n) {
    return {args, steps, output_overlaps_inputs(args, steps, Inputs, 1, n)};
}

// The four damped waveforms with five double parameters.
template <class Real, double (*Formula)(double, double, double, double, double, double)>
void damped_range(const void* context, std::size_t first, std::size_t last, parallel::Checkpoint& checkpoint) {
    evaluate_range<Real, 6, double>(*static_cast<const Operands<6>*>(context), first, last, checkpoint,
                              [](const ElementInputs<6, double>& x, auto&&) {
                                  const double* v = x.values;
                                  return Formula(v[0], v[1], v[2], v[3], v[4], v[5]);
                              });
}

template <class Real, double (*Formula)(double, double, double, double, double, double)>
void damped_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    const std::size_t n = static_cast<std::size_t>(dimensions[0]);
    const Operands<6> operands = operands_of<6>(args, steps, n);
    run_loop(operands, LoopBody{&operands, damped_range<Real, Formula>}, n, n);
}

template <class Real>
void transient_range(const void* context, std::size_t first, std::size_t last, parallel::Checkpoint& checkpoint) {
    // The onset depends on the period alone: computed again only when the
    // period's bits change (never, for a scalar period).
    std::uint64_t period_bits = 0;
    double onset = maths::transient_onset(0.0);
    evaluate_range<Real, 5, double>(*static_cast<const Operands<5>*>(context), first, last, checkpoint,
                              [&](const ElementInputs<5, double>& x, auto&&) {
                                  const double* v = x.values;
                                  std::uint64_t bits;
                                  std::memcpy(&bits, &v[2], sizeof bits);
                                  if (bits != period_bits) {
                                      period_bits = bits;
                                      onset = maths::transient_onset(v[2]);
                                  }
                                  return maths::transient_impulse(v[0], onset, v[1], v[3], v[4]);
                              });
}

template <class Real>
void transient_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    const std::size_t n = static_cast<std::size_t>(dimensions[0]);
    const Operands<5> operands = operands_of<5>(args, steps, n);
    run_loop(operands, LoopBody{&operands, transient_range<Real>}, n, n);
}

// fourier_square_wave's count, read as the loop's integer type.  A negative
// count is outside the domain: as NumPy's own functions do there, the
// element is NaN and the "invalid" flag is raised, which np.errstate turns
// into a warning, an error or nothing once the loop has returned; the other
// elements are evaluated.
template <class Real, class Count>
void fourier_range(const void* context, std::size_t first, std::size_t last, parallel::Checkpoint& checkpoint) {
    evaluate_range<Real, 7, Count>(*static_cast<const Operands<7>*>(context), first, last, checkpoint,
                             [](const ElementInputs<7, Count>& x, auto&& keep_going) {
                                 if (is_negative(x.count)) {
                                     std::feraiseexcept(FE_INVALID);
                                     return std::numeric_limits<double>::quiet_NaN();
                                 }
                                 const double* v = x.values;
                                 return maths::fourier_square_wave(v[0], v[1], v[2], v[3], v[4], v[5],
                                                                     static_cast<std::uint64_t>(x.count),
                                                                     keep_going);
                             });
}

// Each harmonic costs about one evaluation of the cheapest formula; an
// element outside the domain costs about as little as one without any.
template <class Count>
std::uint64_t element_work(Count harmonics) {
    return is_negative(harmonics) ? 1 : saturating_add(static_cast<std::uint64_t>(harmonics), 1);
}

// Forward, one element at a time through the loop driver: an element with
// many harmonics is still long enough for the driver to run pending signal
// handlers (Ctrl-C) and to give up the interpreter lock, and one element
// depends on no other thread.  Cheap elements the driver runs at once.
template <class Real, class Count>
void fourier_forward(char* const* args, const npy_intp* steps, std::size_t n) {
    char* element_args[8];
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < 8; ++k) {
            element_args[k] = args[k] + static_cast<npy_intp>(i) * steps[k];
        }
        const Operands<7> element{element_args, steps, true};
        // Read now, after the elements before it were written.
        const std::uint64_t work = element_work(load<Count>(element_args[6]));
        if (!drive_loop(LoopBody{&element, fourier_range<Real, Count>}, 1, work)) {
            return;  // an exception is pending (Ctrl-C): NumPy raises it
        }
    }
}

template <class Real, class Count>
void fourier_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    const std::size_t n = static_cast<std::size_t>(dimensions[0]);
    const Operands<7> operands = operands_of<7>(args, steps, n);
    if (operands.forward) {
        fourier_forward<Real, Count>(args, steps, n);
        return;
    }
    // The work is added up before anything is evaluated, to choose the
    // number of threads.
    const std::uint64_t work =
        count_work<Count>(args[6], steps[6], n, [](Count count) { return element_work(count); });
    drive_loop(LoopBody{&operands, fourier_range<Real, Count>}, n, work);
}

// NumPy keeps these pointers for the life of the process.  NumPy takes the
// first loop every input casts to safely, so the float loops come first:
// float32 and float16 inputs take them (as do int8, int16 and their unsigned
// and bool kin, which cast to float32 safely, as in NumPy's own ufuncs), and
// any float64, int32, int64 or (on NumPy 1.x, value-based) large or
// all-scalar input the double ones.
constexpr char d = kTypeDouble;
constexpr char f = kTypeFloat;

InnerLoop harmonic_functions[] = {damped_loop<float, maths::harmonic_oscillator>,
                                  damped_loop<double, maths::harmonic_oscillator>};
InnerLoop pseudo_square_functions[] = {damped_loop<float, maths::pseudo_square_wave>,
                                       damped_loop<double, maths::pseudo_square_wave>};
InnerLoop pseudo_cycloid_functions[] = {damped_loop<float, maths::pseudo_cycloid_wave>,
                                        damped_loop<double, maths::pseudo_cycloid_wave>};
InnerLoop transient_functions[] = {transient_loop<float>, transient_loop<double>};
// For each element type int64 first: Python ints, int64 and smaller integers
// use it, and uint64 the second.
InnerLoop fourier_functions[] = {fourier_loop<float, std::int64_t>, fourier_loop<float, std::uint64_t>,
                                 fourier_loop<double, std::int64_t>, fourier_loop<double, std::uint64_t>};

void* two_loop_data[] = {nullptr, nullptr};
void* four_loop_data[] = {nullptr, nullptr, nullptr, nullptr};

const char damped_types[] = {f, f, f, f, f, f, f, d, d, d, d, d, d, d};
const char transient_types[] = {f, f, f, f, f, f, d, d, d, d, d, d};
const char fourier_types[] = {f, f, f, f, f, f, kTypeInt64, f, f, f, f, f, f, f, kTypeUInt64, f,
                              d, d, d, d, d, d, kTypeInt64, d, d, d, d, d, d, d, kTypeUInt64, d};

}  // namespace

const UfuncLoops harmonic_oscillator_loops{harmonic_functions, two_loop_data, damped_types, 2, 6};
const UfuncLoops pseudo_square_wave_loops{pseudo_square_functions, two_loop_data, damped_types, 2, 6};
const UfuncLoops fourier_square_wave_loops{fourier_functions, four_loop_data, fourier_types, 4, 7};
const UfuncLoops pseudo_cycloid_wave_loops{pseudo_cycloid_functions, two_loop_data, damped_types, 2, 6};
const UfuncLoops transient_impulse_loops{transient_functions, two_loop_data, transient_types, 2, 5};

}  // namespace undarix::ufuncs
