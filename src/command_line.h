#pragma once

#include <cstddef>

// The longest argument that is kept, in characters.
constexpr std::size_t kMaxArgumentLength = 4096;

struct Argument {
  char text[kMaxArgumentLength + 1];  // null-terminated
  std::size_t length;
};

// Argument 1 of a whole process command line, argument 0 being the program
// name; empty when the line ends before it.
//
// Arguments are separated by characters 1 to 32. An empty quoted pair in
// front of an argument is passed over. Inside an argument a double quote opens
// a stretch that is taken literally up to the next quote (or the end of the
// line); the quotes themselves are dropped. An argument keeps at most
// kMaxArgumentLength characters: outside quotes it ends when it is full, and
// the next character starts the next argument; a quoted stretch is always read
// to its closing quote, and what does not fit is dropped.
Argument FirstArgument(const char* commandLine);
