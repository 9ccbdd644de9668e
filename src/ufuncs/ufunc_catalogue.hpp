// undarix_ufuncs' ufuncs as made from the waveform table: for every waveform
// of the table's UfuncWaveforms, in its order, the waveform's ufunc; then,
// in the same order, its Jacobian ufunc.
#pragma once

#include "ufuncs/waveform_loops.hpp"

#include <vector>

namespace undarix::ufuncs {

struct UfuncRecord {
    const char* name;
    const char* doc;
    UfuncLoops loops;
};

// Made on first use and kept for the life of the process, as NumPy keeps
// the names, texts and loops of the ufuncs made from them.
const std::vector<UfuncRecord>& ufunc_records();

}  // namespace undarix::ufuncs
