// Marks what the shared library exports: the public API and nothing else.
#pragma once

// The library is built with hidden visibility (CMake's CXX_VISIBILITY_PRESET hidden), so its
// internals stay internal; every public class, function and constant carries this mark.
#if defined(__GNUC__) || defined(__clang__)
#define ZEPLOG_API __attribute__((visibility("default")))
#else
#define ZEPLOG_API
#endif
