#include "ufuncs/ufunc_catalogue.hpp"

#include "maths/waveform_table.hpp"
#include "ufuncs/ufunc_texts.hpp"

#include <deque>
#include <string>

namespace undarix::ufuncs {
namespace {

struct Catalogue {
    std::deque<std::string> texts;  // never moved: the records point into them
    std::vector<UfuncRecord> records;

    const char* keep(std::string text) { return texts.emplace_back(std::move(text)).c_str(); }

    // The values compute in double and round to float32 once for float32
    // inputs; the Jacobians take and give float64 only.
    template <class W>
    void add_value() {
        records.push_back({W::description.name.data(), keep(value_ufunc_text(W::description)),
                           LoopSet<ValueOf<W>, float, double>::loops()});
    }

    template <class W>
    void add_jacobian() {
        records.push_back({keep(jacobian_ufunc_name(W::description.name)), keep(jacobian_ufunc_text(W::description)),
                           LoopSet<DerivativesOf<W>, double>::loops()});
    }

    template <class... W>
    void add_all(maths::WaveformList<W...>) {
        (add_value<W>(), ...);
        (add_jacobian<W>(), ...);
    }
};

}  // namespace

const std::vector<UfuncRecord>& ufunc_records() {
    // Filled in place: moving a short string would move the characters the
    // records point to.
    static const Catalogue* const catalogue = [] {
        auto* made = new Catalogue;
        made->add_all(maths::UfuncWaveforms{});
        return made;
    }();
    return catalogue->records;
}

}  // namespace undarix::ufuncs
