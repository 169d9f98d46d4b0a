#include "command_line.h"

#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string First(const std::string& commandLine) {
  const Argument argument = FirstArgument(commandLine.c_str());
  EXPECT_EQ(argument.length, std::string(argument.text).size());
  return std::string(argument.text, argument.length);
}

struct Case {
  const char* name;
  std::string commandLine;
  std::string expected;
};

void PrintTo(const Case& testCase, std::ostream* out) { *out << testCase.name; }

class FirstArgumentTest : public testing::TestWithParam<Case> {};

TEST_P(FirstArgumentTest, CutsArgumentOne) {
  EXPECT_EQ(First(GetParam().commandLine), GetParam().expected);
}

const std::string kLong(kMaxArgumentLength, 'a');

INSTANTIATE_TEST_SUITE_P(
    Table, FirstArgumentTest,
    testing::Values(
        Case{"Empty", "", ""}, Case{"ProgramOnly", "prog", ""},
        Case{"ProgramAndBlanks", "prog   ", ""}, Case{"Plain", "prog -O", "-O"},
        Case{"RestIgnored", "prog -O extra args", "-O"},
        Case{"LeadingBlanks", "  \t prog  \t -O", "-O"},
        Case{"ControlCharactersSeparate", "prog\x01\x1f-O\x02x", "-O"},
        Case{"HighBytesBelongToArgument", "prog \xa0-O\xff", "\xa0-O\xff"},
        Case{"QuotedProgramWithBlanks", "\"C:\\Program Files\\Pkg\\Uninstall.exe\" -O", "-O"},
        Case{"QuotedArgument", "prog \"-O\"", "-O"},
        Case{"QuotesInsideArgument", "prog a\"b c\"d e", "ab cd"},
        Case{"OnlyHyphenQuoted", "prog \"-\"O", "-O"},
        Case{"OnlyLetterQuoted", "prog -\"O\"", "-O"},
        Case{"UnclosedQuoteRunsToEnd", "prog \"-O  x", "-O  x"},
        Case{"EmptyQuotedArgumentSkipped", "prog \"\" -O", "-O"},
        Case{"EmptyQuotedPairDirectlyBefore", "prog \"\"-O", "-O"},
        Case{"SeveralEmptyQuotedArguments", "prog \"\" \"\"  \"\" -O", "-O"},
        Case{"EmptyPairThenQuoted", "prog \"\"\"-O\"", "-O"},
        Case{"OnlyEmptyQuoted", "prog \"\"", ""},
        Case{"EmptyQuotedBeforeProgram", "\"\" prog -O", "-O"},
        Case{"QuotedProgramRunsOnWithoutBlank", "\"prog\"-O", ""},
        Case{"FirstTokenIsProgramName", "-O", ""}, Case{"FirstTokenThenSwitch", "-O -O", "-O"},
        Case{"LowerCaseKeptAsIs", "prog -o", "-o"},
        // Outside quotes a full argument ends without a separator and the
        // next character starts the next one.
        Case{"FullProgramNameSpills", kLong + "-O", "-O"},
        Case{"ProgramNameOneShortSpillsLetter", kLong.substr(1) + "-O", "O"},
        Case{"ArgumentCutToLimit", "prog " + kLong + "bbb", kLong},
        Case{"QuotedArgumentCutToLimit", "prog \"" + kLong + "b b\" c", kLong},
        // A quoted stretch is read to its closing quote even past the limit.
        Case{"LongQuotedProgramDoesNotSpill", "\"" + kLong + "-O\" x", "x"},
        Case{"LongUnclosedQuotedProgram", "\"" + kLong + " -O", ""},
        Case{"FullQuotedProgramThenCharacter", "\"" + kLong + "\"x -O", "x"}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
