// One worker team for the process's modules: `undarix` and `undarix_ufuncs`
// each carry a copy of the thread runtime, and the first imported lends its
// copy to the other.
#pragma once

namespace undarix::kernels {

// At a module's import, in the main interpreter, with the lock held: the
// first module imported publishes its runtime's entry point in the main
// interpreter's state dict (a capsule under a key of the project's own, no
// module attribute), and a later one adopts it, so that every chunked loop
// of the process runs on one team.  Never fails the import and leaves no
// error pending: where the dict or the capsule cannot be used, the module
// keeps its own runtime, and with it a team of its own.
void share_thread_runtime() noexcept;

}  // namespace undarix::kernels
