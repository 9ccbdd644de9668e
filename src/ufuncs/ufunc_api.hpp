// The ufunc objects' constructor from NumPy's ufunc C-API table (loaded and
// checked by numpy/ufunc_table.hpp), and the loop signature and type numbers
// the module's loops use.
#pragma once

#include "frame/python.hpp"
#include "numpy/numpy_layout.hpp"

namespace undarix::ufuncs {

using numpy::npy_intp;

// NumPy's legacy inner loop: args holds one pointer per operand (inputs,
// then the output), dimensions[0] the element count, steps the byte strides.
using InnerLoop = void (*)(char** args, const npy_intp* dimensions, const npy_intp* steps, void* data);

// NumPy 2's strided loop of an ArrayMethod (PyArrayMethod_StridedLoop):
// returns 0, or -1 with an exception set, which stops NumPy's iteration.
// `context` is NumPy's PyArrayMethod_Context, which the loops do not read.
using StridedLoop = int (*)(void* context, char* const* data, const npy_intp* dimensions, const npy_intp* strides,
                            numpy::AuxDataHead* auxdata);

// Its getter (PyArrayMethod_GetLoop), which NumPy calls once per ufunc
// call, with the interpreter lock held, before any loop call: it hands back
// the strided loop, the auxiliary data that NumPy passes to each of the
// call's loop calls and frees at the call's end, and the loop's flags.
using GetLoop = int (*)(void* context, int aligned, int move_references, const npy_intp* strides,
                        StridedLoop* out_loop, numpy::AuxDataHead** out_auxdata, int* flags);

struct ArrayMethodLoop {
    GetLoop get_loop;
    StridedLoop loop;
};

// NumPy's type numbers used by the loops (the same in 1.x and 2.x).
constexpr char kTypeLong = 7;
constexpr char kTypeUnsignedLong = 8;
constexpr char kTypeLongLong = 9;
constexpr char kTypeUnsignedLongLong = 10;
constexpr char kTypeFloat = 11;
constexpr char kTypeDouble = 12;
// The 64-bit integer types under the names NumPy gives int64 and uint64 on
// this platform, so that those arrays need no cast.
constexpr char kTypeInt64 = sizeof(long) == 8 ? kTypeLong : kTypeLongLong;
constexpr char kTypeUInt64 = sizeof(long) == 8 ? kTypeUnsignedLong : kTypeUnsignedLongLong;

// A new ufunc (PyUFunc_FromFuncAndData, slot 1 of the table in NumPy 1.21 to
// 2.x) with `inputs` inputs, `outputs` outputs and no identity; `types` holds
// each loop's input types and then its output types.  NumPy keeps the
// pointers, which must live for the process.  Returns a new reference, or
// null with a Python exception set (ImportError when the table cannot be
// loaded).
PyObject* new_ufunc(InnerLoop* loops, void* const* data, const char* types, int type_count, int inputs,
                    int outputs, const char* name, const char* doc);

// Whether the running NumPy takes a ufunc's loops as ArrayMethods
// (PyUFunc_AddLoopFromSpec, slot 43 of the ufunc table from NumPy 2.0, whose
// C ABI version 2 is the mark): decided once, when the tables are loaded.
bool array_method_loops_available();

// Adds to `ufunc` the ArrayMethod `method` for the operand types `types`
// (inputs, then outputs), named `name` (kept for the process), in place of
// NumPy's wrapper of the legacy loop of the same types in its dispatch list.
// NumPy then dispatches a call whose operands resolve to those types to it,
// while the legacy loops go on deciding how other operand types are cast
// (and make the ufunc's `types`).  Where the dispatch list does not look as
// NumPy 2's layout says, nothing is changed and the legacy loop serves.
// False with an exception set.
bool add_array_method_loop(PyObject* ufunc, const char* name, const char* types, int inputs, int outputs,
                           const ArrayMethodLoop& method);

}  // namespace undarix::ufuncs
