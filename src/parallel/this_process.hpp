// The process id, without a system call each time it is asked.
#pragma once

#include <sys/types.h>

namespace undarix::parallel {

// getpid(), remembered.  A pthread_atfork child handler, registered as the
// library loads, asks the system again in every child that fork() makes,
// before fork() returns there: a forked child never sees its parent's id,
// so a process-wide cache stamped with this id is trusted only by the
// process that filled it.  os.fork, multiprocessing's fork start method
// and C code calling fork() all run the handler; a process copied by a raw
// clone system call runs none and would keep the parent's id (nothing in
// CPython makes such copies).  If the handler could not be registered,
// every call asks the system.
pid_t this_process_id() noexcept;

}  // namespace undarix::parallel
