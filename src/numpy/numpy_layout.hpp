// The parts of NumPy's published object structures that this module reads,
// mirrored here so that the build needs no NumPy headers.  Each object
// structure begins with the interpreter's own object header (PyObject_HEAD),
// as NumPy's do, so its fields move with that header: 16 bytes on a build
// with the interpreter lock, more on a free-threaded one, whose header also
// holds the owning thread, a per-object lock and split reference counts.
// The static_asserts pin each layout to NumPy's for 64-bit platforms,
// measured from the end of the header; the comment on each says which NumPy
// releases publish it.
#pragma once

#include "frame/python.hpp"

#include <cstddef>
#include <cstdint>

namespace undarix::numpy {

using npy_intp = std::intptr_t;

// PyArrayObject_fields, up to the last field read.  The same in NumPy 1.x
// (C ABI version 1) and NumPy 2.x (C ABI version 2).
struct ArrayObject {
    PyObject_HEAD
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

// PyArray_Descr up to type_num: the same in NumPy 1.x and 2.x (NumPy 2 keeps
// the former flags byte unused so that type_num stays where it was).
struct DescrHead {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char flags;
    int type_num;
};

// PyArray_Descr of NumPy 1.x (C ABI version 1), up to elsize.
struct DescrAbi1 {
    DescrHead head;
    int elsize;
};

// PyArray_Descr of NumPy 2.x (C ABI version 2), up to elsize: flags widened
// to 64 bits and elsize to a pointer-sized integer.
struct DescrAbi2 {
    DescrHead head;
    std::uint64_t flags;
    npy_intp elsize;
};

static_assert(sizeof(void*) == 8, "NumPy layouts are mirrored for 64-bit platforms");

// Where the fields after the object header begin.
constexpr std::size_t kHead = sizeof(PyObject);
#if !defined(Py_GIL_DISABLED)
static_assert(kHead == 16, "the object header of a build with the interpreter lock");
#endif

static_assert(offsetof(ArrayObject, data) == kHead + 0);
static_assert(offsetof(ArrayObject, nd) == kHead + 8);
static_assert(offsetof(ArrayObject, dimensions) == kHead + 16);
static_assert(offsetof(ArrayObject, strides) == kHead + 24);
static_assert(offsetof(ArrayObject, base) == kHead + 32);
static_assert(offsetof(ArrayObject, descr) == kHead + 40);
static_assert(offsetof(ArrayObject, flags) == kHead + 48);
static_assert(offsetof(DescrHead, type_num) == kHead + 12);
static_assert(offsetof(DescrAbi1, elsize) == kHead + 16);
static_assert(offsetof(DescrAbi2, flags) == kHead + 16);
static_assert(offsetof(DescrAbi2, elsize) == kHead + 24);

// The C ABI versions whose layouts are mirrored above, as reported by
// PyArray_GetNDArrayCVersion (NPY_ABI_VERSION).
constexpr unsigned kAbiVersion1 = 0x01000009;
constexpr unsigned kAbiVersion2 = 0x02000000;

// Flag bits and type numbers: unchanged from NumPy 1.x to 2.x.
constexpr int kCContiguous = 0x0001;
constexpr int kFContiguous = 0x0002;
constexpr int kWriteable = 0x0400;
constexpr int kTypeDouble = 12;  // NPY_DOUBLE

// ---- NumPy 2's ArrayMethod API (numpy/dtype_api.h, public from NumPy 2.0) ----

// NpyAuxData: the head of the auxiliary data a loop getter hands NumPy,
// which frees it through `free` (with the interpreter lock held) once the
// ufunc call is over.  The same from NumPy 1.x on.
struct AuxDataHead {
    void (*free)(AuxDataHead*);
    AuxDataHead* (*clone)(AuxDataHead*);
    void* reserved[2];
};

// PyArrayMethod_Spec, as PyUFunc_AddLoopFromSpec takes it: `dtypes` holds
// one DType class (the type of a descriptor) per operand, `slots` ends with
// {0, nullptr}.
struct ArrayMethodSpec {
    const char* name;
    int nin;
    int nout;
    int casting;  // NPY_CASTING
    int flags;    // NPY_ARRAYMETHOD_FLAGS
    PyObject** dtypes;
    PyType_Slot* slots;
};

// PyUFuncObject of NumPy 2.x (C ABI version 2), up to `_loops`: the list of
// (DType tuple, ArrayMethod or promoter) entries that NumPy dispatches
// through, filled with a wrapper of each legacy loop when the ufunc is made.
struct UfuncObjectAbi2 {
    PyObject_HEAD
    int nin;
    int nout;
    int nargs;
    int identity;
    void* functions;
    void* data;
    int ntypes;
    int ufunc_flags;
    const char* name;
    const char* types;
    const char* doc;
    void* ptr;
    PyObject* obj;
    PyObject* userloops;
    int core_enabled;
    int core_num_dim_ix;
    int* core_num_dims;
    int* core_dim_ixs;
    int* core_offsets;
    char* core_signature;
    void* type_resolver;
    PyObject* dict;
    void* vectorcall;
    void* reserved3;
    std::uint32_t* op_flags;
    std::uint32_t iter_flags;
    npy_intp* core_dim_sizes;
    std::uint32_t* core_dim_flags;
    PyObject* identity_value;
    void* dispatch_cache;
    PyObject* loops;
};

static_assert(offsetof(UfuncObjectAbi2, nin) == kHead + 0);
static_assert(offsetof(UfuncObjectAbi2, ntypes) == kHead + 32);
static_assert(offsetof(UfuncObjectAbi2, core_dim_sizes) == kHead + 176);
static_assert(offsetof(UfuncObjectAbi2, loops) == kHead + 208);
static_assert(sizeof(AuxDataHead) == 32);
static_assert(offsetof(ArrayMethodSpec, dtypes) == 24);
static_assert(offsetof(ArrayMethodSpec, slots) == 32);

// Slot ids of an ArrayMethod spec.
constexpr int kMethodGetLoop = 3;        // NPY_METH_get_loop
constexpr int kMethodStridedLoop = 5;    // NPY_METH_strided_loop
constexpr int kNoCasting = 0;            // NPY_NO_CASTING
constexpr int kMethodNoFlags = 0;        // needs no Python API; may raise floating-point flags

inline ArrayObject* as_array(PyObject* object) noexcept { return reinterpret_cast<ArrayObject*>(object); }

}  // namespace undarix::numpy
