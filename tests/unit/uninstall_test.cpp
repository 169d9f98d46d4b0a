#include "uninstall.h"

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_platform.h"

namespace {

using testing::ElementsAre;

const std::string kRoot = fake::kDriveIconsPath;
const char kInstallerLaunch[] =
    "ShellExecuteA null null \"C:\\windows\\system32\\MsiExec.exe\" "
    "\"/X {6E1F0A47-93C2-4B5D-8E07-2D4C19B8F361} /qn /norestart\" \"C:\\windows\\system32\" 5";
const char kSetupLaunch[] = "ShellExecuteA null null \"USBSetup.exe\" \"-U\" null 10";
const char kBeep[] = "MessageBeep 0";
const char kFindCompanion[] = "FindWindowA null \"Nolvex\"";
const char kCloseCompanion[] = "SendMessageTimeoutA \"Nolvex\" 16 0 0 2 10000";

// The calls that reach beyond the registry, in order.
std::vector<std::string> Effects() {
  std::vector<std::string> effects;
  for (const std::string& call : fake::Calls()) {
    if (call.rfind("Reg", 0) != 0 && call.rfind("CompareStringA", 0) != 0) {
      effects.push_back(call);
    }
  }
  return effects;
}

bool Contains(const std::vector<std::string>& calls, const std::string& call) {
  return std::find(calls.begin(), calls.end(), call) != calls.end();
}

class UninstallTest : public testing::Test {
 protected:
  void SetUp() override {
    fake::Reset(fake::Deletion::kNt);
    fake::CreateKey(kRoot + "\\E\\VIDORUVA");
    fake::PutValue(kRoot + "\\E\\DefaultIcon", "", {platform::kRegSz, "x.ico"});
  }
  void TearDown() override { EXPECT_EQ(fake::OpenHandleCount(), 0); }
};

struct ModeCase {
  const char* name;
  const char* commandLine;
  bool removal;
};

void PrintTo(const ModeCase& testCase, std::ostream* out) { *out << testCase.name; }

class ModeTest : public UninstallTest, public testing::WithParamInterface<ModeCase> {};

TEST_P(ModeTest, FirstArgumentChoosesTheMode) {
  fake::SetCommandLine(GetParam().commandLine);

  EXPECT_EQ(UninstallMain(), 0);

  const std::vector<std::string> effects = Effects();
  EXPECT_EQ(Contains(effects, kInstallerLaunch), GetParam().removal);
  EXPECT_EQ(Contains(effects, kSetupLaunch), !GetParam().removal);
  EXPECT_EQ(fake::GetValue(kRoot + "\\E\\DefaultIcon", "")->data.empty(), GetParam().removal);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModeTest,
    testing::Values(
        ModeCase{"Switch", "prog -O", true}, ModeCase{"SwitchAndMore", "prog -O /X extra", true},
        ModeCase{"QuotedSwitch", "\"C:\\A B\\Uninstall.exe\" \"-O\"", true},
        ModeCase{"EmptyArgumentBefore", "prog \"\" -O", true},
        ModeCase{"PartlyQuoted", "prog -\"O\"", true}, ModeCase{"NoArgument", "prog", false},
        ModeCase{"EmptyCommandLine", "", false}, ModeCase{"LowerCase", "prog -o", false},
        ModeCase{"Slash", "prog /O", false}, ModeCase{"DoubleHyphen", "prog --O", false},
        ModeCase{"ExtraLetter", "prog -OX", false}, ModeCase{"SwitchSecond", "prog -U -O", false},
        ModeCase{"SwitchAsProgramName", "-O", false}),
    [](const testing::TestParamInfo<ModeCase>& info) { return info.param.name; });

TEST_F(UninstallTest, ComparesByLocaleWithBothLengths) {
  fake::SetCommandLine("prog -O");
  UninstallMain();
  EXPECT_TRUE(Contains(fake::Calls(), "CompareStringA 1024 0 2 2"));
}

TEST_F(UninstallTest, FailedComparisonHandsOff) {
  fake::SetCommandLine("prog -O");
  fake::MakeCompareStringFail();

  EXPECT_EQ(UninstallMain(), 0);

  EXPECT_THAT(Effects(), ElementsAre(kSetupLaunch));
}

TEST_F(UninstallTest, RemovalRunsItsStepsInOrder) {
  fake::SetCommandLine("prog -O");
  fake::AddWindow("Nolvex");

  EXPECT_EQ(UninstallMain(), 0);

  EXPECT_THAT(Effects(), ElementsAre(kBeep, kFindCompanion, kCloseCompanion, kInstallerLaunch));
  // The registry is done with before the beep.
  const auto& calls = fake::Calls();
  const auto beep = std::find(calls.begin(), calls.end(), kBeep);
  EXPECT_EQ(
      std::count_if(
          beep, calls.end(), [](const std::string& call) { return call.rfind("Reg", 0) == 0; }),
      0);
  EXPECT_EQ(std::count_if(calls.begin(),
                          beep,
                          [](const std::string& call) {
                            return call.rfind("RegOpenKeyA HKLM\\" + kRoot + " ", 0) == 0;
                          }),
            32);
}

TEST_F(UninstallTest, RemovalWithoutCompanionSendsNothing) {
  fake::SetCommandLine("prog -O");
  fake::AddWindow("Another window");

  EXPECT_EQ(UninstallMain(), 0);

  EXPECT_THAT(Effects(), ElementsAre(kBeep, kFindCompanion, kInstallerLaunch));
}

TEST_F(UninstallTest, RemovalGoesOnWhenTheDriveIconKeyIsMissing) {
  fake::Reset(fake::Deletion::kNt);
  fake::SetCommandLine("prog -O");
  fake::AddWindow("Nolvex");

  EXPECT_EQ(UninstallMain(), 0);

  EXPECT_THAT(Effects(), ElementsAre(kBeep, kFindCompanion, kCloseCompanion, kInstallerLaunch));
  EXPECT_FALSE(fake::KeyExists(kRoot));
}

TEST_F(UninstallTest, RemovalStartsNothingWithoutTheSystemDirectory) {
  fake::SetCommandLine("prog -O");
  fake::SetSystemDirectory(std::nullopt);

  EXPECT_EQ(UninstallMain(), 0);

  EXPECT_THAT(Effects(), ElementsAre(kBeep, kFindCompanion));
}

TEST_F(UninstallTest, InstallerPathFollowsTheSystemDirectory) {
  fake::SetCommandLine("prog -O");
  const std::string longDirectory = "D:\\" + std::string(300, 'w') + "\\System32";
  fake::SetSystemDirectory(longDirectory);

  UninstallMain();

  EXPECT_EQ(Effects().back(),
            "ShellExecuteA null null \"" + longDirectory +
                "\\MsiExec.exe\" \"/X {6E1F0A47-93C2-4B5D-8E07-2D4C19B8F361} "
                "/qn /norestart\" \"" +
                longDirectory + "\" 5");
}

struct StartUpCase {
  const char* name;
  bool defaultDllDirectoriesMissing;
  std::vector<std::string> calls;
};

void PrintTo(const StartUpCase& testCase, std::ostream* out) { *out << testCase.name; }

class StartUpTest : public UninstallTest, public testing::WithParamInterface<StartUpCase> {};

TEST_P(StartUpTest, PreparesTheProcessInOrder) {
  if (GetParam().defaultDllDirectoriesMissing) fake::MakeDefaultDllDirectoriesMissing();

  PrepareProcess();

  EXPECT_EQ(fake::Calls(), GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(Table, StartUpTest,
                         testing::Values(StartUpCase{"SystemDirectoryOnly",
                                                     false,
                                                     {"SetErrorMode 1",
                                                      "SetDefaultDllDirectories 2048 = true",
                                                      "CoInitializeEx 6"}},
                                         // Without the system-directory-only search, the current
                                         // directory is at least taken out of it.
                                         StartUpCase{"OlderWindows",
                                                     true,
                                                     {"SetErrorMode 1",
                                                      "SetDefaultDllDirectories 2048 = false",
                                                      "SetDllDirectoryA \"\"",
                                                      "CoInitializeEx 6"}}),
                         [](const testing::TestParamInfo<StartUpCase>& info) {
                           return info.param.name;
                         });

TEST_F(UninstallTest, HandOffOnlyStartsSetup) {
  fake::SetCommandLine("prog");
  fake::AddWindow("Nolvex");

  EXPECT_EQ(UninstallMain(), 0);

  EXPECT_THAT(Effects(), ElementsAre(kSetupLaunch));
  EXPECT_EQ(std::count_if(fake::Calls().begin(),
                          fake::Calls().end(),
                          [](const std::string& call) { return call.rfind("Reg", 0) == 0; }),
            0);
}

}  // namespace
