#include "ufuncs/call_loop.hpp"

#include <cstddef>
#include <new>

namespace undarix::ufuncs {
namespace {

// NumPy reads and frees only the head.
struct CallData {
    numpy::AuxDataHead head;
    CallState state;
};

static_assert(offsetof(CallData, head) == 0, "NumPy holds the data by its head");

void free_call_data(numpy::AuxDataHead* head) { delete reinterpret_cast<CallData*>(head); }

// A copy starts as a call of its own would: its work is its own.
numpy::AuxDataHead* clone_call_data(numpy::AuxDataHead* head) {
    CallData* copy = new (std::nothrow) CallData(*reinterpret_cast<CallData*>(head));
    if (copy == nullptr) {
        return nullptr;
    }
    copy->state.work_done = 0;
    copy->state.work_since_poll = 0;
    return &copy->head;
}

}  // namespace

CallState& call_state(numpy::AuxDataHead* auxdata) noexcept { return reinterpret_cast<CallData*>(auxdata)->state; }

int begin_call_loop(StridedLoop loop, StridedLoop* out_loop, numpy::AuxDataHead** out_auxdata, int* flags) noexcept {
    CallData* data = new (std::nothrow) CallData{{free_call_data, clone_call_data, {nullptr, nullptr}}, begin_call()};
    if (data == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    *out_loop = loop;
    *out_auxdata = &data->head;
    *flags = numpy::kMethodNoFlags;
    return 0;
}

}  // namespace undarix::ufuncs
