#include "format_string.h"

#include <cstdarg>
#include <cstdio>

FormattedString FormatString(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  if (length < 0) return nullptr;

  const std::size_t size = static_cast<std::size_t>(length) + 1;
  FormattedString text(static_cast<char*>(std::malloc(size)));
  if (!text) return nullptr;

  va_start(arguments, format);
  const int written = std::vsnprintf(text.get(), size, format, arguments);
  va_end(arguments);
  if (written != length) return nullptr;
  return text;
}
