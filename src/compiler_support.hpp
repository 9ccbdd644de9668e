// The few things standard C++17 cannot say, spelled once for each compiler
// (GCC and Clang, MSVC), so that no other source names a compiler extension.
#pragma once

// UNDARIX_EXPORT: exported from the shared library.  Everything else is
// hidden (the build's default visibility), and older CPython headers do not
// mark PyMODINIT_FUNC visible on ELF platforms.
#if defined(_WIN32)
#define UNDARIX_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#define UNDARIX_EXPORT __attribute__((visibility("default")))
#else
#define UNDARIX_EXPORT
#endif

// UNDARIX_KEEP: a namespace-scope variable that is only ever written stays in
// the binary, so that what it points to stays reachable for leak checkers.
// Only GCC and Clang drop such stores and only their tools look; elsewhere the
// variable is kept as written.
#if defined(__GNUC__)
#define UNDARIX_KEEP __attribute__((used))
#else
#define UNDARIX_KEEP
#endif

// UNDARIX_CALLER_FILE() / UNDARIX_CALLER_LINE(): as default arguments, the
// source location of the call (C++20's std::source_location, before C++20).
// GCC has had them since 4.8, Clang since 9, MSVC since 19.26; without them a
// report names no location rather than the wrong one.
#if defined(__clang__)
#if __has_builtin(__builtin_FILE) && __has_builtin(__builtin_LINE)
#define UNDARIX_HAS_CALLER_LOCATION 1
#endif
#elif defined(__GNUC__) || (defined(_MSC_VER) && _MSC_VER >= 1926)
#define UNDARIX_HAS_CALLER_LOCATION 1
#endif
#if defined(UNDARIX_HAS_CALLER_LOCATION)
#define UNDARIX_CALLER_FILE() __builtin_FILE()
#define UNDARIX_CALLER_LINE() __builtin_LINE()
#else
#define UNDARIX_CALLER_FILE() "(unknown file)"
#define UNDARIX_CALLER_LINE() 0
#endif

// UNDARIX_HAS_INT128: the compiler has unsigned __int128 with its division.
// GCC and Clang define __SIZEOF_INT128__ on 64-bit targets; MSVC has no such
// type, and clang-cl declares it but links no runtime for its division.
// Building with UNDARIX_PORTABLE_INT128 defined takes the 64-bit path
// everywhere, so that it is tested on compilers that do have the type.
#if defined(__SIZEOF_INT128__) && !defined(_MSC_VER) && !defined(UNDARIX_PORTABLE_INT128)
#define UNDARIX_HAS_INT128 1
#else
#define UNDARIX_HAS_INT128 0
#endif

// UNDARIX_FORCED_UNWIND_HANDLER: on a function with a handler for
// abi::__forced_unwind.  The C++ runtime hands such a handler a null
// reference (the unwinding is no C++ object), as its own code expects, which
// the undefined-behaviour sanitizer would otherwise report.  Also on every
// function that calls guarded_entry: once the compiler inlines it there, the
// handler is that function's code, checked by that function's attributes.
#if defined(__GNUC__) || defined(__clang__)
#define UNDARIX_FORCED_UNWIND_HANDLER __attribute__((no_sanitize("null")))
#else
#define UNDARIX_FORCED_UNWIND_HANDLER
#endif
