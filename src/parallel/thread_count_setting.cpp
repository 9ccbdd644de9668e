#include "parallel/thread_count_setting.hpp"

#include <cstring>

namespace undarix::parallel {
namespace {

bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }

}  // namespace

ThreadCountSetting parse_thread_count(const char* text, bool first_level_only) noexcept {
    if (text == nullptr || text[0] == '\0') {
        return {ThreadCountSetting::Kind::unset, 0};
    }
    const ThreadCountSetting invalid{ThreadCountSetting::Kind::invalid, 0};
    std::size_t end = std::strlen(text);
    if (first_level_only) {
        if (const char* comma = std::strchr(text, ',')) {
            end = static_cast<std::size_t>(comma - text);
        }
    }
    std::size_t begin = 0;
    while (begin < end && is_blank(text[begin])) {
        ++begin;
    }
    while (end > begin && is_blank(text[end - 1])) {
        --end;
    }
    if (begin == end) {
        return invalid;
    }
    unsigned long value = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            return invalid;
        }
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > kMaxThreads) {
            value = kMaxThreads;  // saturate: more digits only make it larger
        }
    }
    if (value == 0) {
        return invalid;
    }
    return {ThreadCountSetting::Kind::threads, static_cast<unsigned>(value)};
}

}  // namespace undarix::parallel
