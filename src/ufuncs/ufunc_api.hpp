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

}  // namespace undarix::ufuncs
