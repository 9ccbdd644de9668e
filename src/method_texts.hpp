// The strict module's constant texts for a waveform of the table, made at
// compile time from its name and parameters: the method's text signature
// and the name its failure reports give.  Each ends in its only NUL, so
// CPython and the reports use it in place.
#pragma once

#include "maths/waveform_description.hpp"

#include <array>
#include <cstddef>
#include <string_view>

namespace undarix {

template <std::size_t N>
struct FixedText {
    std::array<char, N> chars{};
    std::size_t length = 0;

    constexpr void append(std::string_view text) {
        for (char c : text) {
            chars[length++] = c;
        }
    }
    constexpr std::string_view with_nul() const { return std::string_view(chars.data(), length + 1); }
    constexpr const char* c_str() const { return chars.data(); }
};

// "name(time, amplitude, ...)\n--\n\n": CPython takes the part before the
// "--" line as __text_signature__ and leaves __doc__ None.
template <class W>
struct TextSignature {
    static constexpr std::string_view kSeparator = ", ";
    static constexpr std::string_view kEnd = ")\n--\n\n";

    static constexpr std::size_t size() {
        std::size_t n = W::description.name.size() + 1 + kEnd.size() + 1;
        for (std::size_t i = 0; i < W::description.parameter_count; ++i) {
            n += W::description.parameters[i].name.size() + (i == 0 ? 0 : kSeparator.size());
        }
        return n;
    }

    static constexpr FixedText<size()> make() {
        FixedText<size()> text;
        text.append(W::description.name);
        text.append("(");
        for (std::size_t i = 0; i < W::description.parameter_count; ++i) {
            text.append(i == 0 ? std::string_view() : kSeparator);
            text.append(W::description.parameters[i].name);
        }
        text.append(kEnd);
        return text;
    }

    static constexpr FixedText<size()> kText = make();
};

// "undarix.name()", as failure reports name the function being run.
template <class W>
struct ReportedName {
    static constexpr std::string_view kModule = "undarix.";
    static constexpr std::string_view kCall = "()";

    static constexpr std::size_t size() { return kModule.size() + W::description.name.size() + kCall.size() + 1; }

    static constexpr FixedText<size()> make() {
        FixedText<size()> text;
        text.append(kModule);
        text.append(W::description.name);
        text.append(kCall);
        return text;
    }

    static constexpr FixedText<size()> kText = make();
};

}  // namespace undarix
