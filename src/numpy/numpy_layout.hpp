// The parts of NumPy 1.x's published object structures that this module
// reads, mirrored here so that the build needs no NumPy headers.  The
// static_asserts pin the layout to NumPy's for 64-bit platforms.
#pragma once

#include "frame/python.hpp"

#include <cstddef>
#include <cstdint>

namespace undarix::numpy {

using npy_intp = std::intptr_t;

// PyArrayObject_fields, up to the last field read.
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

// PyArray_Descr, up to elsize.
struct DescrObject {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char flags;
    int type_num;
    int elsize;
};

static_assert(sizeof(void*) == 8, "NumPy layouts are mirrored for 64-bit platforms");
static_assert(offsetof(ArrayObject, data) == 16);
static_assert(offsetof(ArrayObject, nd) == 24);
static_assert(offsetof(ArrayObject, dimensions) == 32);
static_assert(offsetof(ArrayObject, strides) == 40);
static_assert(offsetof(ArrayObject, base) == 48);
static_assert(offsetof(ArrayObject, descr) == 56);
static_assert(offsetof(ArrayObject, flags) == 64);
static_assert(offsetof(DescrObject, type_num) == 28);
static_assert(offsetof(DescrObject, elsize) == 32);

constexpr int kCContiguous = 0x0001;
constexpr int kFContiguous = 0x0002;
constexpr int kWriteable = 0x0400;
constexpr int kTypeDouble = 12;  // NPY_DOUBLE

inline ArrayObject* as_array(PyObject* object) noexcept { return reinterpret_cast<ArrayObject*>(object); }
inline DescrObject* as_descr(PyObject* object) noexcept { return reinterpret_cast<DescrObject*>(object); }

}  // namespace undarix::numpy
