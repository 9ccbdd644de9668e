// ArgumentSpec: the constant description of one function's parameters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace undarix {

struct KeywordOnlyParameter {
    std::string_view name;
    bool required;
};

struct ArgumentSpec {
    std::string_view function_name;
    const std::string_view* parameter_names;  // positional-or-keyword, in order
    std::size_t parameter_count;              // P
    const KeywordOnlyParameter* keyword_only;
    std::size_t keyword_only_count;
    std::string_view owner_name;              // empty: a plain function
    std::uint64_t positional_only_count;
    std::uint64_t required_count;

    std::size_t slot_count() const noexcept { return parameter_count + keyword_only_count; }
};

}  // namespace undarix
