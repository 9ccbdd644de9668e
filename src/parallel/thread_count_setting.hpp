// The text of a thread-count setting (UNDARIX_NUM_THREADS, OMP_NUM_THREADS)
// read as a number of threads.
#pragma once

namespace undarix::parallel {

struct ThreadCountSetting {
    enum class Kind {
        unset,    // no text, or empty text
        threads,  // a positive integer
        invalid,  // anything else: "not a positive integer"
    };
    Kind kind;
    unsigned threads;  // for Kind::threads: at least 1, at most kMaxThreads
};

// Far beyond any useful count; larger values are taken as this.
constexpr unsigned kMaxThreads = 1u << 16;

// `text` (may be null) as a thread count: a positive decimal integer,
// surrounding blanks and tabs allowed.  With `first_level_only`, only the
// text before the first comma counts (OMP_NUM_THREADS lists one count per
// nesting level: "4,2" is 4).
ThreadCountSetting parse_thread_count(const char* text, bool first_level_only) noexcept;

}  // namespace undarix::parallel
