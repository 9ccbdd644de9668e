// The parts of NumPy's published object structures that this module reads,
// mirrored here so that the build needs no NumPy headers.  The static_asserts
// pin each layout to NumPy's for 64-bit platforms; the comment on each says
// which NumPy releases publish it.
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
static_assert(offsetof(ArrayObject, data) == 16);
static_assert(offsetof(ArrayObject, nd) == 24);
static_assert(offsetof(ArrayObject, dimensions) == 32);
static_assert(offsetof(ArrayObject, strides) == 40);
static_assert(offsetof(ArrayObject, base) == 48);
static_assert(offsetof(ArrayObject, descr) == 56);
static_assert(offsetof(ArrayObject, flags) == 64);
static_assert(offsetof(DescrHead, type_num) == 28);
static_assert(offsetof(DescrAbi1, elsize) == 32);
static_assert(offsetof(DescrAbi2, flags) == 32);
static_assert(offsetof(DescrAbi2, elsize) == 40);

// The C ABI versions whose layouts are mirrored above, as reported by
// PyArray_GetNDArrayCVersion (NPY_ABI_VERSION).
constexpr unsigned kAbiVersion1 = 0x01000009;
constexpr unsigned kAbiVersion2 = 0x02000000;

// Flag bits and type numbers: unchanged from NumPy 1.x to 2.x.
constexpr int kCContiguous = 0x0001;
constexpr int kFContiguous = 0x0002;
constexpr int kWriteable = 0x0400;
constexpr int kTypeDouble = 12;  // NPY_DOUBLE

inline ArrayObject* as_array(PyObject* object) noexcept { return reinterpret_cast<ArrayObject*>(object); }

}  // namespace undarix::numpy
