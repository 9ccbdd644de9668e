#include "function_entries.hpp"

#include "frame/failure_report.hpp"
#include "frame/guarded_entry.hpp"

namespace undarix {

UNDARIX_FORCED_UNWIND_HANDLER PyObject* enter(const char* reported_name, Wrapper wrapper, PyObject* const* args,
                                              Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_entry([&] {
        const ReportedFunction reported(reported_name);
        return wrapper(args, static_cast<std::size_t>(nargs), kwnames);
    });
}

}  // namespace undarix
