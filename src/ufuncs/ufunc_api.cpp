#include "ufuncs/ufunc_api.hpp"

#include "numpy/ufunc_table.hpp"

namespace undarix::ufuncs {
namespace {

// Slot 1 has this signature in NumPy 1.21 to 2.x (the 2.x headers only add
// const to the data and types pointers).
constexpr std::size_t kFromFuncAndDataSlot = 1;
using FromFuncAndData = PyObject* (*)(InnerLoop*, void* const*, const char*, int, int, int, int, const char*,
                                      const char*, int);
constexpr int kNoIdentity = -1;  // PyUFunc_None

}  // namespace

PyObject* new_ufunc(InnerLoop* loops, void* const* data, const char* types, int type_count, int inputs,
                    int outputs, const char* name, const char* doc) {
    void* const* table = numpy::ufunc_api();
    if (table == nullptr) {
        return nullptr;
    }
    const auto from_func_and_data = reinterpret_cast<FromFuncAndData>(table[kFromFuncAndDataSlot]);
    return from_func_and_data(loops, data, types, type_count, inputs, outputs, kNoIdentity, name, doc, 0);
}

}  // namespace undarix::ufuncs
