#include "kernels/signal_poll.hpp"

namespace undarix::kernels {

bool SignalPoll::proceed() {
    if (!main_thread_) {
        return true;
    }
    return unlocked_.with_lock([] { return PyErr_CheckSignals() == 0; });
}

}  // namespace undarix::kernels
