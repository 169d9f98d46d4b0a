#pragma once

#include <cstdlib>
#include <memory>

struct FreeDeleter {
  void operator()(char* text) const noexcept { std::free(text); }
};

// A null-terminated string on the heap, sized to fit; freed with its owner.
using FormattedString = std::unique_ptr<char, FreeDeleter>;

// printf-style formatting into a string of exactly the size needed. Null when
// the format cannot be applied or memory runs out.
FormattedString FormatString(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
