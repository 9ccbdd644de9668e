#include "ufuncs/call_loop.hpp"

#include <atomic>
#include <cstddef>
#include <new>

namespace undarix::ufuncs {
namespace {

// NumPy reads and frees only the head.  `slot` is the thread slot the data
// lives in, or null for data on the heap.
struct CallData {
    numpy::AuxDataHead head;
    CallState state;
    std::atomic<bool>* slot;
};

static_assert(offsetof(CallData, head) == 0, "NumPy holds the data by its head");

// A call's data lives in one of a few slots of the calling thread rather
// than on the heap.  A daemon thread that CPython ends at exit inside a call
// never returns to NumPy, which would have freed the data: from the heap that
// is a leak in every such process, from a slot it is nothing.  A call nested
// in another on the same thread (Python code that a cast of the outer call
// runs) takes the next free slot; calls nested deeper than the slots go to
// the heap.  NumPy frees a call's data on the thread that asked for it,
// before the call returns.
constexpr std::size_t kThreadSlots = 4;

struct ThreadSlots {
    CallData data[kThreadSlots];
    std::atomic<bool> in_use[kThreadSlots];
};

thread_local ThreadSlots this_threads_slots;

void free_call_data(numpy::AuxDataHead* head) {
    CallData* data = reinterpret_cast<CallData*>(head);
    if (data->slot != nullptr) {
        data->slot->store(false, std::memory_order_release);
    } else {
        delete data;
    }
}

CallData* new_call_data(const CallState& state) {
    ThreadSlots& slots = this_threads_slots;
    for (std::size_t i = 0; i < kThreadSlots; ++i) {
        if (!slots.in_use[i].load(std::memory_order_acquire)) {
            slots.in_use[i].store(true, std::memory_order_relaxed);
            CallData* data = &slots.data[i];
            data->state = state;
            data->slot = &slots.in_use[i];
            return data;
        }
    }
    CallData* data = new (std::nothrow) CallData{};
    if (data != nullptr) {
        data->state = state;
        data->slot = nullptr;
    }
    return data;
}

numpy::AuxDataHead* clone_call_data(numpy::AuxDataHead* head);

CallData* with_head(CallData* data) {
    if (data != nullptr) {
        data->head = {free_call_data, clone_call_data, {nullptr, nullptr}};
    }
    return data;
}

// A copy starts as a call of its own would: its work is its own.  It may be
// freed on another thread, so it lives on the heap.
numpy::AuxDataHead* clone_call_data(numpy::AuxDataHead* head) {
    CallData* copy = with_head(new (std::nothrow) CallData{});
    if (copy == nullptr) {
        return nullptr;
    }
    copy->state = reinterpret_cast<CallData*>(head)->state;
    copy->state.work_done = 0;
    copy->state.work_since_poll = 0;
    copy->slot = nullptr;
    return &copy->head;
}

}  // namespace

CallState& call_state(numpy::AuxDataHead* auxdata) noexcept { return reinterpret_cast<CallData*>(auxdata)->state; }

int begin_call_loop(StridedLoop loop, StridedLoop* out_loop, numpy::AuxDataHead** out_auxdata, int* flags) noexcept {
    CallData* data = with_head(new_call_data(begin_call()));
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
