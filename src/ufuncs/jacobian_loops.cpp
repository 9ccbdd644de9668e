#include "ufuncs/jacobian_loops.hpp"

#include "maths/formulas.hpp"
#include "maths/jacobian_formulas.hpp"
#include "ufuncs/harmonic_count.hpp"
#include "ufuncs/loop_driver.hpp"
#include "ufuncs/operand_overlap.hpp"

#include <cfenv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace undarix::ufuncs {
namespace {

// One loop call's operands: `Inputs` inputs, then `Outputs` outputs.
// `forward`: an output overlaps an input, so every input of an element is
// read again just before it is evaluated (an earlier element's write may
// have changed it).
template <std::size_t Inputs, std::size_t Outputs>
struct Operands {
    char* const* args;
    const npy_intp* steps;
    bool forward = false;
};

// One element's inputs: `Inputs` doubles, except that a harmonic count (when
// `Count` is an integer type) is kept, as read, in `count`.
template <std::size_t Inputs, class Count>
struct ElementInputs {
    double values[Inputs];
    Count count;
};

// Evaluates `element` for elements [first, last):
// element(inputs, keep_going, results) writes one element's `Outputs`
// derivatives to results.  When every input but the time is the same for
// all elements (scalar parameters, as in a fit) they are read once.
template <std::size_t Inputs, std::size_t Outputs, class Count, class Element>
void evaluate_range(const Operands<Inputs, Outputs>& operands, std::size_t first, std::size_t last,
                    parallel::Checkpoint& checkpoint, Element&& element) {
    constexpr bool kHasCount = !std::is_same_v<Count, double>;
    constexpr std::size_t kDoubles = kHasCount ? Inputs - 1 : Inputs;
    const npy_intp offset = static_cast<npy_intp>(first);
    const char* in[Inputs];
    npy_intp in_steps[Inputs];
    bool parameters_fixed = !operands.forward;
    for (std::size_t k = 0; k < Inputs; ++k) {
        in_steps[k] = operands.steps[k];
        in[k] = operands.args[k] + offset * in_steps[k];
        parameters_fixed = parameters_fixed && (k == 0 || in_steps[k] == 0);
    }
    char* out[Outputs];
    npy_intp out_steps[Outputs];
    for (std::size_t k = 0; k < Outputs; ++k) {
        out_steps[k] = operands.steps[Inputs + k];
        out[k] = operands.args[Inputs + k] + offset * out_steps[k];
    }
    std::size_t i = first;
    // Asked inside a long element: element i is not written yet.
    auto keep_going = [&checkpoint, &i] { return checkpoint.keep_going(i); };
    ElementInputs<Inputs, Count> inputs{};
    double results[Outputs];
    auto read = [&](std::size_t from) {
        for (std::size_t k = from; k < kDoubles; ++k) {
            inputs.values[k] = load<double>(in[k]);
        }
        if constexpr (kHasCount) {
            inputs.count = load<Count>(in[Inputs - 1]);
        }
    };
    auto write = [&] {
        for (std::size_t k = 0; k < Outputs; ++k) {
            std::memcpy(out[k], &results[k], sizeof(double));
            out[k] += out_steps[k];
        }
    };
    if (parameters_fixed) {
        read(1);
        for (; i < last; ++i) {
            inputs.values[0] = load<double>(in[0]);
            element(inputs, keep_going, results);
            write();
            in[0] += in_steps[0];
        }
        return;
    }
    for (; i < last; ++i) {
        read(0);
        element(inputs, keep_going, results);
        write();
        for (std::size_t k = 0; k < Inputs; ++k) {
            in[k] += in_steps[k];
        }
    }
}

// Runs a loop call: through the loop driver, on as many threads as `work`
// calls for, unless an output overlaps an input.  Then the elements are
// evaluated in order, each after the ones before it were written, one at a
// time through the driver, so that a long element (many harmonics) still
// runs pending signal handlers and gives up the interpreter lock, and no
// element depends on another thread.  `element_work(args)` is the work of
// the element whose operands start at args.
template <std::size_t Inputs, std::size_t Outputs, class ElementWork>
void run_loop(char* const* args, const npy_intp* steps, std::size_t n, std::uint64_t work,
              void (*range)(const void*, std::size_t, std::size_t, parallel::Checkpoint&),
              ElementWork&& element_work) {
    constexpr std::size_t kOperands = Inputs + Outputs;
    if (!output_overlaps_inputs(args, steps, Inputs, Outputs, n)) {
        const Operands<Inputs, Outputs> operands{args, steps};
        drive_loop(LoopBody{&operands, range}, n, work);
        return;
    }
    char* element_args[kOperands];
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < kOperands; ++k) {
            element_args[k] = args[k] + static_cast<npy_intp>(i) * steps[k];
        }
        const Operands<Inputs, Outputs> element{element_args, steps, true};
        if (!drive_loop(LoopBody{&element, range}, 1, element_work(element_args))) {
            return;  // an exception is pending (Ctrl-C): NumPy raises it
        }
    }
}

void store(const maths::DampedGradient& gradient, double* results) {
    results[0] = gradient.amplitude;
    results[1] = gradient.gamma;
    results[2] = gradient.omega;
    results[3] = gradient.phi;
    results[4] = gradient.y;
}

constexpr std::size_t kDampedInputs = 6;
constexpr std::size_t kDampedOutputs = kDampedJacobianOutputs;
using DampedOperands = Operands<kDampedInputs, kDampedOutputs>;
using DampedGradientFormula = maths::DampedGradient (*)(double, double, double, double, double, double);

template <DampedGradientFormula Gradient>
void damped_range(const void* context, std::size_t first, std::size_t last, parallel::Checkpoint& checkpoint) {
    evaluate_range<kDampedInputs, kDampedOutputs, double>(
        *static_cast<const DampedOperands*>(context), first, last, checkpoint,
        [](const ElementInputs<kDampedInputs, double>& x, auto&&, double* results) {
            const double* v = x.values;
            store(Gradient(v[0], v[1], v[2], v[3], v[4], v[5]), results);
        });
}

// A sine and a cosine per element besides the exp: about twice the cheapest
// formula, in the driver's unit of work.
constexpr std::uint64_t kDampedElementWork = 2;

template <DampedGradientFormula Gradient>
void damped_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    const std::size_t n = static_cast<std::size_t>(dimensions[0]);
    run_loop<kDampedInputs, kDampedOutputs>(args, steps, n, static_cast<std::uint64_t>(n) * kDampedElementWork,
                                            damped_range<Gradient>, [](char* const*) { return kDampedElementWork; });
}

constexpr std::size_t kTransientInputs = 5;
constexpr std::size_t kTransientOutputs = kTransientJacobianOutputs;
using TransientOperands = Operands<kTransientInputs, kTransientOutputs>;

void transient_range(const void* context, std::size_t first, std::size_t last, parallel::Checkpoint& checkpoint) {
    evaluate_range<kTransientInputs, kTransientOutputs, double>(
        *static_cast<const TransientOperands*>(context), first, last, checkpoint,
        [](const ElementInputs<kTransientInputs, double>& x, auto&&, double* results) {
            const double* v = x.values;
            const maths::TransientGradient gradient =
                maths::transient_impulse_gradient(v[0], maths::transient_onset(v[2]), v[1], v[3], v[4]);
            results[0] = gradient.amplitude;
            results[1] = gradient.period;
            results[2] = gradient.width;
            results[3] = gradient.equilibrium;
        });
}

void transient_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    const std::size_t n = static_cast<std::size_t>(dimensions[0]);
    run_loop<kTransientInputs, kTransientOutputs>(args, steps, n, n, transient_range,
                                                  [](char* const*) { return std::uint64_t{1}; });
}

constexpr std::size_t kFourierInputs = 7;
using FourierOperands = Operands<kFourierInputs, kDampedOutputs>;

// A negative harmonic count has no waveform: every derivative of the element
// is NaN, and the "invalid" flag is raised for NumPy (numpy.errstate) to
// report, as for an invalid operation.
void fill_invalid(double* results) {
    for (std::size_t k = 0; k < kDampedOutputs; ++k) {
        results[k] = std::numeric_limits<double>::quiet_NaN();
    }
    std::feraiseexcept(FE_INVALID);
}

template <class Count>
void fourier_range(const void* context, std::size_t first, std::size_t last, parallel::Checkpoint& checkpoint) {
    evaluate_range<kFourierInputs, kDampedOutputs, Count>(
        *static_cast<const FourierOperands*>(context), first, last, checkpoint,
        [](const ElementInputs<kFourierInputs, Count>& x, auto&& keep_going, double* results) {
            if (is_negative(x.count)) {
                fill_invalid(results);
                return;
            }
            const double* v = x.values;
            store(maths::fourier_square_wave_gradient(v[0], v[1], v[2], v[3], v[4], v[5],
                                                        static_cast<std::uint64_t>(x.count), keep_going),
                  results);
        });
}

// Each harmonic costs a sine and a cosine: about two evaluations of the
// cheapest formula; a negative count costs nothing but the element.
template <class Count>
std::uint64_t element_work(Count count) {
    if (is_negative(count)) {
        return 1;
    }
    return saturating_add(saturating_multiply(static_cast<std::uint64_t>(count), 2), kDampedElementWork);
}

template <class Count>
void fourier_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    const std::size_t n = static_cast<std::size_t>(dimensions[0]);
    // The work is added up first, so that the driver splits long loops
    // (many harmonics) however few their elements.
    const std::uint64_t work = count_work<Count>(args[kFourierInputs - 1], steps[kFourierInputs - 1], n,
                                                 [](Count count) { return element_work(count); });
    // With out= overlapping an input, each element's count is read again
    // when it comes, after the elements before it were written.
    run_loop<kFourierInputs, kDampedOutputs>(args, steps, n, work, fourier_range<Count>, [](char* const* element) {
        return element_work(load<Count>(element[kFourierInputs - 1]));
    });
}

// NumPy keeps these pointers for the life of the process.
constexpr char d = kTypeDouble;

InnerLoop harmonic_functions[] = {damped_loop<maths::harmonic_oscillator_gradient>};
InnerLoop pseudo_square_functions[] = {damped_loop<maths::pseudo_square_wave_gradient>};
InnerLoop pseudo_cycloid_functions[] = {damped_loop<maths::pseudo_cycloid_wave_gradient>};
InnerLoop transient_functions[] = {transient_loop};
// int64 first, as for the value ufunc: Python ints, int64 and smaller
// integers take it, uint64 the second.
InnerLoop fourier_functions[] = {fourier_loop<std::int64_t>, fourier_loop<std::uint64_t>};

void* one_loop_data[] = {nullptr};
void* two_loop_data[] = {nullptr, nullptr};

const char damped_types[] = {d, d, d, d, d, d, /* outputs */ d, d, d, d, d};
const char transient_types[] = {d, d, d, d, d, /* outputs */ d, d, d, d};
const char fourier_types[] = {d, d, d, d, d, d, kTypeInt64,  /* outputs */ d, d, d, d, d,
                              d, d, d, d, d, d, kTypeUInt64, /* outputs */ d, d, d, d, d};

static_assert(sizeof damped_types == kDampedInputs + kDampedOutputs);
static_assert(sizeof transient_types == kTransientInputs + kTransientOutputs);
static_assert(sizeof fourier_types == 2 * (kFourierInputs + kDampedOutputs));

}  // namespace

const UfuncLoops harmonic_oscillator_jacobian_loops{harmonic_functions, one_loop_data, damped_types, 1, 6};
const UfuncLoops pseudo_square_wave_jacobian_loops{pseudo_square_functions, one_loop_data, damped_types, 1, 6};
const UfuncLoops fourier_square_wave_jacobian_loops{fourier_functions, two_loop_data, fourier_types, 2, 7};
const UfuncLoops pseudo_cycloid_wave_jacobian_loops{pseudo_cycloid_functions, one_loop_data, damped_types, 1, 6};
const UfuncLoops transient_impulse_jacobian_loops{transient_functions, one_loop_data, transient_types, 1, 5};

}  // namespace undarix::ufuncs
