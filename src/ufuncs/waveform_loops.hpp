// The inner loops of the ufuncs, one set per waveform of the table and per
// thing evaluated (its value, or its derivatives): each loop evaluates the
// waveform's formula entry over the elements NumPy hands it, at any strides,
// through the loop driver.
#pragma once

#include "maths/saturating_arithmetic.hpp"
#include "maths/waveform_description.hpp"
#include "ufuncs/call_loop.hpp"
#include "ufuncs/count_operand.hpp"
#include "ufuncs/loop_driver.hpp"
#include "ufuncs/operand_overlap.hpp"
#include "ufuncs/ufunc_api.hpp"

#include <array>
#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace undarix::ufuncs {

// The value of waveform W: one output.
template <class W>
struct ValueOf {
    using Waveform = W;
    static constexpr std::size_t outputs = 1;
    template <class KeepGoing>
    static void evaluate(const typename W::Bound& bound, double t, KeepGoing&& keep_going, double* results) {
        results[0] = W::value(bound, t, keep_going);
    }
    static std::uint64_t work(std::uint64_t count) { return W::value_work(count); }
};

// The partial derivatives of waveform W: one output per real parameter, in
// parameter order.
template <class W>
struct DerivativesOf {
    using Waveform = W;
    static constexpr std::size_t outputs = maths::Shape<W>::derivatives;
    template <class KeepGoing>
    static void evaluate(const typename W::Bound& bound, double t, KeepGoing&& keep_going, double* results) {
        W::gradient(bound, t, keep_going, results);
    }
    static std::uint64_t work(std::uint64_t count) { return W::gradient_work(count); }
};

// The count type of the loops of a waveform without a count parameter.
struct NoCount {};

// NumPy's type number of a loop's operand type.
template <class T>
constexpr char type_number() {
    if constexpr (std::is_same_v<T, float>) {
        return kTypeFloat;
    } else if constexpr (std::is_same_v<T, double>) {
        return kTypeDouble;
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return kTypeInt64;
    } else {
        static_assert(std::is_same_v<T, std::uint64_t>, "the loops take float, double, int64 and uint64");
        return kTypeUInt64;
    }
}

// The loop of `Of` (ValueOf or DerivativesOf a waveform) whose real operands
// are `Real` and whose count operand, if the waveform has one, is `Count`.
// A float loop widens its inputs to double exactly and rounds each result to
// float once, after the double evaluation, so that each is the double loop's
// value cast to float32.
template <class Of, class Real, class Count>
struct WaveformLoop {
    using W = typename Of::Waveform;
    using Shape = maths::Shape<W>;
    using Bound = typename W::Bound;
    static constexpr std::size_t kInputs = Shape::parameters;
    static constexpr std::size_t kOutputs = Of::outputs;
    static constexpr std::size_t kOperands = kInputs + kOutputs;
    static_assert(Shape::counted != std::is_same_v<Count, NoCount>, "a count type exactly for a counted waveform");

    // One loop call's operands.  `forward`: an output overlaps an input, so
    // every input of an element is read again just before it is evaluated
    // (an earlier element's write may have changed it).
    struct Operands {
        char* const* args;
        const npy_intp* steps;
        bool forward;
    };

    static double load_real(const char* address) { return static_cast<double>(load<Real>(address)); }

    static void store_real(char* address, double value) {
        const Real narrowed = static_cast<Real>(value);
        std::memcpy(address, &narrowed, sizeof narrowed);
    }

    // The parameters after the time, from the operands at `in`; false for a
    // count outside the domain.
    static bool read_arguments(const char* const* in, typename Shape::Args& arguments) {
        for (std::size_t k = 0; k < Shape::reals; ++k) {
            arguments.reals[k] = load_real(in[1 + k]);
        }
        arguments.count = 0;
        if constexpr (Shape::counted) {
            const Count count = load<Count>(in[kInputs - 1]);
            if (is_negative(count)) {
                return false;
            }
            arguments.count = static_cast<std::uint64_t>(count);
        }
        return true;
    }

    // A negative count has no waveform: as NumPy's own functions do outside
    // their domain, every output of the element is NaN and the "invalid"
    // flag is raised, which numpy.errstate turns into a warning, an error or
    // nothing once the loop has returned; the other elements are evaluated.
    static void outside_domain(double* results) {
        for (std::size_t k = 0; k < kOutputs; ++k) {
            results[k] = std::numeric_limits<double>::quiet_NaN();
        }
        std::feraiseexcept(FE_INVALID);
    }

    // Evaluates elements [first, last).  When every input but the time is
    // the same for all elements (scalar parameters, the common case, as in a
    // sweep's rows or a fit) they are read and bound once; not when an
    // output overlaps the inputs, where writing an element may change a
    // parameter read after it.
    static void range(const void* context, std::size_t first, std::size_t last, parallel::Checkpoint& checkpoint) {
        const Operands& operands = *static_cast<const Operands*>(context);
        const npy_intp offset = static_cast<npy_intp>(first);
        const char* in[kInputs];
        npy_intp in_steps[kInputs];
        bool parameters_fixed = !operands.forward;
        for (std::size_t k = 0; k < kInputs; ++k) {
            in_steps[k] = operands.steps[k];
            in[k] = operands.args[k] + offset * in_steps[k];
            parameters_fixed = parameters_fixed && (k == 0 || in_steps[k] == 0);
        }
        char* out[kOutputs];
        npy_intp out_steps[kOutputs];
        for (std::size_t k = 0; k < kOutputs; ++k) {
            out_steps[k] = operands.steps[kInputs + k];
            out[k] = operands.args[kInputs + k] + offset * out_steps[k];
        }
        std::size_t i = first;
        // Asked inside a long element: element i is not written yet.
        auto keep_going = [&checkpoint, &i] { return checkpoint.keep_going(i); };
        double results[kOutputs];
        auto write = [&] {
            for (std::size_t k = 0; k < kOutputs; ++k) {
                store_real(out[k], results[k]);
                out[k] += out_steps[k];
            }
        };
        typename Shape::Args arguments{};
        if (parameters_fixed) {
            const bool in_domain = read_arguments(in, arguments);
            const Bound bound = in_domain ? W::bind(arguments) : Bound{};
            for (; i < last; ++i) {
                const double t = load_real(in[0]);
                if (in_domain) {
                    Of::evaluate(bound, t, keep_going, results);
                } else {
                    outside_domain(results);
                }
                write();
                in[0] += in_steps[0];
            }
            return;
        }
        for (; i < last; ++i) {
            const double t = load_real(in[0]);
            if (read_arguments(in, arguments)) {
                Of::evaluate(W::bind(arguments), t, keep_going, results);
            } else {
                outside_domain(results);
            }
            write();
            for (std::size_t k = 0; k < kInputs; ++k) {
                in[k] += in_steps[k];
            }
        }
    }

    // One element's work in evaluations of the cheapest formula; an element
    // outside the domain costs about as little as one without any.
    static std::uint64_t element_work(Count count) {
        if constexpr (Shape::counted) {
            return is_negative(count) ? 1 : Of::work(static_cast<std::uint64_t>(count));
        } else {
            return Of::work(0);
        }
    }

    // With an output overlapping an input, or outputs overlapping each
    // other or themselves, the elements are evaluated in order, each after
    // the ones before it were written, as a plain loop does.  `reread`: an
    // output overlaps an input, so the inputs are read again for every
    // element.  An element with a count goes through the loop driver one at
    // a time: it may be long enough for the driver to run pending signal
    // handlers (Ctrl-C) and to give up the interpreter lock, and it depends
    // on no other thread.  The others are short: they run at once on this
    // thread.  False when an exception is pending (Ctrl-C), for NumPy to
    // raise.
    template <class Drive>
    static bool forward(char* const* args, const npy_intp* steps, std::size_t n, bool reread, Drive& drive) {
        if constexpr (Shape::counted) {
            char* element_args[kOperands];
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t k = 0; k < kOperands; ++k) {
                    element_args[k] = args[k] + static_cast<npy_intp>(i) * steps[k];
                }
                const Operands element{element_args, steps, reread};
                // Read now, after the elements before it were written.
                const std::uint64_t work = element_work(load<Count>(element_args[kInputs - 1]));
                if (!drive(LoopBody{&element, range}, 1, work)) {
                    return false;
                }
            }
        } else {
            parallel::NeverStop checkpoint;
            const Operands operands{args, steps, reread};
            range(&operands, 0, n, checkpoint);
        }
        return true;
    }

    // One loop call through `drive` (a LoopBody, its elements and its work:
    // false when an exception is pending).
    template <class Drive>
    static bool run(char* const* args, const npy_intp* steps, std::size_t n, Drive&& drive) {
        const bool overlaps_inputs = output_overlaps_inputs(args, steps, kInputs, kOutputs, n);
        if (overlaps_inputs || outputs_overlap(args, steps, kInputs, kOutputs, sizeof(Real), n)) {
            return forward(args, steps, n, overlaps_inputs, drive);
        }
        // The work is added up before anything is evaluated, to choose the
        // number of threads.
        std::uint64_t work = 0;
        if constexpr (Shape::counted) {
            work = count_work<Count>(args[kInputs - 1], steps[kInputs - 1], n,
                                     [](Count count) { return element_work(count); });
        } else {
            work = maths::saturating_multiply(static_cast<std::uint64_t>(n), element_work(NoCount{}));
        }
        const Operands operands{args, steps, false};
        return drive(LoopBody{&operands, range}, n, work);
    }

    // The legacy inner loop (NumPy 1.x): a loop call of its own.
    static void loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
        run(args, steps, static_cast<std::size_t>(dimensions[0]), drive_loop);
    }

    // The ArrayMethod's strided loop (NumPy 2): one loop call of the ufunc
    // call whose state NumPy hands back; -1 with the exception set stops
    // NumPy's iteration, which then raises it as it is.
    static int strided_loop(void*, char* const* data, const npy_intp* dimensions, const npy_intp* strides,
                            numpy::AuxDataHead* auxdata) {
        CallState& call = call_state(auxdata);
        auto drive = [&call](const LoopBody& body, std::size_t elements, std::uint64_t work) {
            return drive_call_loop(call, body, elements, work);
        };
        return run(data, strides, static_cast<std::size_t>(dimensions[0]), drive) ? 0 : -1;
    }

    // Every input's type, then every output's.
    static constexpr std::array<char, kOperands> types() {
        std::array<char, kOperands> all{};
        for (std::size_t k = 0; k < kOperands; ++k) {
            all[k] = type_number<Real>();
        }
        if constexpr (Shape::counted) {
            all[kInputs - 1] = type_number<Count>();
        }
        return all;
    }
};

// The loops of one waveform's loops for one real type: for a waveform with a
// count, int64 first (Python ints, int64 and smaller integers take it), then
// uint64.
template <class Of, class Real>
struct LoopsOfReal {
    using Shape = maths::Shape<typename Of::Waveform>;
    static constexpr std::size_t count = Shape::counted ? 2 : 1;
    static constexpr std::size_t operands = Shape::parameters + Of::outputs;

    static constexpr std::array<InnerLoop, count> functions() {
        if constexpr (Shape::counted) {
            return {WaveformLoop<Of, Real, std::int64_t>::loop, WaveformLoop<Of, Real, std::uint64_t>::loop};
        } else {
            return {WaveformLoop<Of, Real, NoCount>::loop};
        }
    }

    static constexpr std::array<ArrayMethodLoop, count> methods() {
        if constexpr (Shape::counted) {
            return {method_loop<WaveformLoop<Of, Real, std::int64_t>::strided_loop>(),
                    method_loop<WaveformLoop<Of, Real, std::uint64_t>::strided_loop>()};
        } else {
            return {method_loop<WaveformLoop<Of, Real, NoCount>::strided_loop>()};
        }
    }

    static constexpr std::array<char, count * operands> types() {
        std::array<char, count * operands> all{};
        if constexpr (Shape::counted) {
            const auto signed_count = WaveformLoop<Of, Real, std::int64_t>::types();
            const auto unsigned_count = WaveformLoop<Of, Real, std::uint64_t>::types();
            for (std::size_t k = 0; k < operands; ++k) {
                all[k] = signed_count[k];
                all[operands + k] = unsigned_count[k];
            }
        } else {
            const auto only = WaveformLoop<Of, Real, NoCount>::types();
            for (std::size_t k = 0; k < operands; ++k) {
                all[k] = only[k];
            }
        }
        return all;
    }
};

// `parts` one after the other.
template <class T, std::size_t... N>
constexpr std::array<T, (N + ...)> joined(const std::array<T, N>&... parts) {
    std::array<T, (N + ...)> all{};
    std::size_t next = 0;
    auto append = [&](const auto& part) {
        for (const T& item : part) {
            all[next++] = item;
        }
    };
    (append(parts), ...);
    return all;
}

// The loops of one ufunc and their operand types, as NumPy takes them: for
// every loop, its inputs' type numbers and then its outputs'.
struct UfuncLoops {
    InnerLoop* loops;
    const ArrayMethodLoop* methods;  // the same loops as ArrayMethods, in the same order (NumPy 2)
    void* const* data;
    const char* types;
    int count;
    int inputs;
    int outputs;
};

// A ufunc's loops with real operands of each of `Reals`, in that order:
// NumPy takes the first loop every input casts to safely.  NumPy keeps the
// pointers for the life of the process.
template <class Of, class... Reals>
struct LoopSet {
    static constexpr std::size_t kCount = (LoopsOfReal<Of, Reals>::count + ...);
    inline static std::array<InnerLoop, kCount> functions = joined(LoopsOfReal<Of, Reals>::functions()...);
    static constexpr std::array<ArrayMethodLoop, kCount> kMethods = joined(LoopsOfReal<Of, Reals>::methods()...);
    inline static std::array<void*, kCount> data = {};
    static constexpr auto kTypes = joined(LoopsOfReal<Of, Reals>::types()...);

    static UfuncLoops loops() {
        return {functions.data(), kMethods.data(), data.data(), kTypes.data(), static_cast<int>(kCount),
                static_cast<int>(maths::Shape<typename Of::Waveform>::parameters), static_cast<int>(Of::outputs)};
    }
};

}  // namespace undarix::ufuncs
