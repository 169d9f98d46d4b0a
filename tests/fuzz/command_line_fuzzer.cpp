// Feeds arbitrary bytes to FirstArgument as a whole command line and checks
// what must always hold: the argument is terminated, never longer than the
// limit, and the same as a small model of the cutting rules written here
// independently, as a character-by-character state machine over all
// arguments. AddressSanitizer catches any read past the line's terminator.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.h"

namespace {

std::vector<std::string> ModelArguments(const std::string& line) {
  enum class State { kBetween, kPlain, kQuoted } state = State::kBetween;
  std::vector<std::string> arguments;
  std::size_t i = 0;
  while (i < line.size()) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    switch (state) {
      case State::kBetween:
        if (c <= 32) {
          ++i;
        } else if (line.compare(i, 2, "\"\"") == 0) {
          i += 2;  // an empty quoted argument counts for nothing
        } else {
          arguments.emplace_back();
          state = State::kPlain;
        }
        break;
      case State::kPlain:
        if (c <= 32 || arguments.back().size() == kMaxArgumentLength) {
          state = State::kBetween;  // a full argument ends without a separator
        } else if (c == '"') {
          state = State::kQuoted;
          ++i;
        } else {
          arguments.back() += static_cast<char>(c);
          ++i;
        }
        break;
      case State::kQuoted:
        if (c == '"') {
          state = State::kPlain;
        } else if (arguments.back().size() < kMaxArgumentLength) {
          arguments.back() += static_cast<char>(c);
        }
        ++i;
        break;
    }
  }
  return arguments;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exactly sized copy, so that reading one byte past its end is caught.
  char* line = static_cast<char*>(std::malloc(size + 1));
  std::memcpy(line, data, size);
  line[size] = '\0';

  const Argument first = FirstArgument(line);
  if (first.length > kMaxArgumentLength) std::abort();
  if (first.text[first.length] != '\0' || std::strlen(first.text) != first.length) std::abort();

  // The system's command line ends at its first NUL.
  const std::vector<std::string> model = ModelArguments(std::string(line));
  const std::string expected = model.size() >= 2 ? model[1] : "";
  if (std::string(first.text, first.length) != expected) std::abort();

  std::free(line);
  return 0;
}
