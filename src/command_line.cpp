#include "command_line.h"

namespace {

bool IsSeparator(char c) {
  const unsigned char code = static_cast<unsigned char>(c);
  return code >= 1 && code <= 32;
}

bool IsArgumentCharacter(char c) { return static_cast<unsigned char>(c) > 32; }

const char* SkipToArgument(const char* cursor) {
  for (;;) {
    while (IsSeparator(*cursor)) ++cursor;
    if (cursor[0] != '"' || cursor[1] != '"') return cursor;
    cursor += 2;
  }
}

// Copies one argument into `argument` and returns where the next one may
// begin.
const char* CollectArgument(const char* cursor, Argument* argument) {
  std::size_t length = 0;
  while (IsArgumentCharacter(*cursor) && length < kMaxArgumentLength) {
    if (*cursor != '"') {
      argument->text[length++] = *cursor++;
      continue;
    }
    // Read a quoted stretch to its end even when it no longer fits, so that
    // the rest of an over-long program path cannot pose as the next argument.
    ++cursor;
    while (*cursor != '\0' && *cursor != '"') {
      if (length < kMaxArgumentLength) argument->text[length++] = *cursor;
      ++cursor;
    }
    if (*cursor == '"') ++cursor;
  }
  argument->text[length] = '\0';
  argument->length = length;
  return cursor;
}

}  // namespace

Argument FirstArgument(const char* commandLine) {
  Argument argument;
  const char* cursor = CollectArgument(SkipToArgument(commandLine), &argument);
  CollectArgument(SkipToArgument(cursor), &argument);
  return argument;
}
