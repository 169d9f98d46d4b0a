#include "drive_icons.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_platform.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;

const std::string kRoot = fake::kDriveIconsPath;
const fake::Value kIconValue{platform::kRegSz, "C:\\Pkg\\drive.ico"};
const fake::Value kLabelValue{platform::kRegSz, "Pkg Drive"};
const fake::Value kEmptyString{platform::kRegSz, ""};

std::string Entry(char drive) { return kRoot + "\\" + drive; }

struct EntryShape {
  bool marked = true;
  bool icon = true;
  bool label = true;
};

void AddEntry(char drive, EntryShape shape) {
  fake::CreateKey(Entry(drive));
  if (shape.marked) fake::CreateKey(Entry(drive) + "\\VIDORUVA");
  if (shape.icon) fake::PutValue(Entry(drive) + "\\DefaultIcon", "", kIconValue);
  if (shape.label) fake::PutValue(Entry(drive) + "\\DefaultLabel", "", kLabelValue);
}

constexpr std::uint32_t Bit(char drive) { return 1u << (drive - 'A'); }

// The call log with the drive-icon key written as "Root", for readability.
std::vector<std::string> Calls() {
  std::vector<std::string> calls;
  const std::string prefix = "HKLM\\" + kRoot;
  for (std::string call : fake::Calls()) {
    const auto at = call.find(prefix);
    if (at != std::string::npos) call.replace(at, prefix.size(), "Root");
    calls.push_back(call);
  }
  return calls;
}

int CountCalls(const std::string& start) {
  int count = 0;
  for (const std::string& call : fake::Calls()) count += call.rfind(start, 0) == 0;
  return count;
}

class DriveIconsTest : public testing::Test {
 protected:
  void SetUp() override {
    fake::Reset(fake::Deletion::kNt);
    fake::CreateKey(kRoot);
  }
  // Whatever happened, no handle is left open, none is closed twice, and no
  // more than the root and one key below it are ever open at once.
  void TearDown() override {
    EXPECT_EQ(fake::OpenHandleCount(), 0);
    EXPECT_EQ(fake::BadCloseCount(), 0);
    EXPECT_LE(fake::PeakOpenHandleCount(), 2);
  }
};

TEST_F(DriveIconsTest, EmptyMaskTouchesNothing) {
  AddEntry('A', {});
  EXPECT_TRUE(RemoveDriveIcons(0));
  EXPECT_THAT(fake::Calls(), IsEmpty());
}

TEST_F(DriveIconsTest, OnNtMarkedEntryKeepsKeysAndLosesItsTwoDefaultValues) {
  AddEntry('E', {});
  const fake::Value other{platform::kRegSz, "kept"};
  fake::PutValue(Entry('E') + "\\DefaultIcon", "Other", other);

  EXPECT_TRUE(RemoveDriveIcons(Bit('E')));

  EXPECT_THAT(Calls(),
              ElementsAre("RegOpenKeyA Root = 0",
                          "RegOpenKeyA Root\\E\\VIDORUVA = 0",
                          "RegCloseKey Root\\E\\VIDORUVA = 0",
                          "RegDeleteKeyA Root\\E = 5",
                          "RegOpenKeyA Root\\E\\DefaultIcon = 0",
                          "RegSetValueExA Root\\E\\DefaultIcon @ type 1, 0 bytes from null = 0",
                          "RegCloseKey Root\\E\\DefaultIcon = 0",
                          "RegOpenKeyA Root\\E\\DefaultLabel = 0",
                          "RegSetValueExA Root\\E\\DefaultLabel @ type 1, 0 bytes from null = 0",
                          "RegCloseKey Root\\E\\DefaultLabel = 0",
                          "RegCloseKey Root = 0"));
  EXPECT_TRUE(fake::KeyExists(Entry('E') + "\\VIDORUVA"));
  EXPECT_EQ(fake::GetValue(Entry('E') + "\\DefaultIcon", ""), kEmptyString);
  EXPECT_EQ(fake::GetValue(Entry('E') + "\\DefaultLabel", ""), kEmptyString);
  EXPECT_EQ(fake::GetValue(Entry('E') + "\\DefaultIcon", "Other"), other);
}

TEST_F(DriveIconsTest, On9xMarkedEntryIsDeletedWholeAndNothingIsWritten) {
  fake::Reset(fake::Deletion::kWin9x);
  fake::CreateKey(kRoot);
  AddEntry('E', {});
  AddEntry('F', {.marked = false});

  EXPECT_TRUE(RemoveDriveIcons(Bit('E') | Bit('F')));

  EXPECT_FALSE(fake::KeyExists(Entry('E')));
  EXPECT_TRUE(fake::KeyExists(Entry('F') + "\\DefaultIcon"));
  EXPECT_EQ(CountCalls("RegSetValueExA"), 0);
}

TEST_F(DriveIconsTest, UnmarkedEntryIsLeftAloneAndRootClosedBeforeNextDrive) {
  AddEntry('F', {.marked = false});
  const std::string before = fake::DumpRegistry();

  EXPECT_TRUE(RemoveDriveIcons(Bit('F') | Bit('G')));

  EXPECT_THAT(Calls(),
              ElementsAre("RegOpenKeyA Root = 0",
                          "RegOpenKeyA Root\\F\\VIDORUVA = 2",
                          "RegCloseKey Root = 0",
                          "RegOpenKeyA Root = 0",
                          "RegOpenKeyA Root\\G\\VIDORUVA = 2",
                          "RegCloseKey Root = 0"));
  EXPECT_EQ(fake::DumpRegistry(), before);
}

TEST_F(DriveIconsTest, MissingIconOrLabelIsPassedOver) {
  struct Shape {
    bool icon;
    bool label;
  };
  for (const Shape shape : {Shape{true, false}, Shape{false, true}, Shape{false, false}}) {
    SCOPED_TRACE(testing::Message() << "icon " << shape.icon << ", label " << shape.label);
    SetUp();
    AddEntry('E', {.marked = true, .icon = shape.icon, .label = shape.label});

    EXPECT_TRUE(RemoveDriveIcons(Bit('E')));

    EXPECT_EQ(fake::KeyExists(Entry('E') + "\\DefaultIcon"), shape.icon);
    EXPECT_EQ(fake::KeyExists(Entry('E') + "\\DefaultLabel"), shape.label);
    if (shape.icon) {
      EXPECT_EQ(fake::GetValue(Entry('E') + "\\DefaultIcon", ""), kEmptyString);
    }
    if (shape.label) {
      EXPECT_EQ(fake::GetValue(Entry('E') + "\\DefaultLabel", ""), kEmptyString);
    }
    EXPECT_EQ(CountCalls("RegSetValueExA"), shape.icon + shape.label);
    EXPECT_EQ(fake::OpenHandleCount(), 0);
  }
}

TEST_F(DriveIconsTest, OnlyDrivesInTheMaskAreVisited) {
  AddEntry('D', {});
  AddEntry('E', {});
  AddEntry('F', {});

  EXPECT_TRUE(RemoveDriveIcons(Bit('E')));

  EXPECT_EQ(CountCalls("RegOpenKeyA HKLM\\" + kRoot + " "), 1);
  EXPECT_EQ(fake::GetValue(Entry('D') + "\\DefaultIcon", ""), kIconValue);
  EXPECT_EQ(fake::GetValue(Entry('E') + "\\DefaultIcon", ""), kEmptyString);
  EXPECT_EQ(fake::GetValue(Entry('F') + "\\DefaultIcon", ""), kIconValue);
}

TEST_F(DriveIconsTest, MissingRootStopsAtTheFirstDrive) {
  fake::Reset(fake::Deletion::kNt);
  fake::CreateKey("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer");

  EXPECT_FALSE(RemoveDriveIcons(0xFFFFFFFF));

  EXPECT_THAT(Calls(), ElementsAre("RegOpenKeyA Root = 2"));
  EXPECT_FALSE(fake::KeyExists(kRoot));
}

TEST_F(DriveIconsTest, RootFailingLaterKeepsEarlierWorkAndStops) {
  AddEntry('C', {});
  AddEntry('E', {});
  // The fourth opening of the root is the one for D.
  fake::FailRegistryCall({"RegOpenKeyA", kRoot, fake::kErrorAccessDenied, 3});

  EXPECT_FALSE(RemoveDriveIcons(0xFFFFFFFF));

  EXPECT_EQ(fake::GetValue(Entry('C') + "\\DefaultIcon", ""), kEmptyString);
  EXPECT_EQ(fake::GetValue(Entry('E') + "\\DefaultIcon", ""), kIconValue);
  EXPECT_EQ(CountCalls("RegOpenKeyA HKLM\\" + kRoot + " "), 4);
  EXPECT_EQ(Calls().back(), "RegOpenKeyA Root = 5");
}

TEST_F(DriveIconsTest, RefusedDeletionAndWritesChangeNothing) {
  AddEntry('E', {});
  const std::string before = fake::DumpRegistry();
  fake::FailRegistryCall({"RegDeleteKeyA", "", fake::kErrorAccessDenied});
  fake::FailRegistryCall({"RegSetValueExA", "", fake::kErrorAccessDenied});

  EXPECT_TRUE(RemoveDriveIcons(Bit('E')));

  EXPECT_EQ(fake::DumpRegistry(), before);
  EXPECT_EQ(CountCalls("RegSetValueExA"), 2);
}

TEST_F(DriveIconsTest, FailingMarkerOrIconOpenIsTreatedAsAbsent) {
  AddEntry('E', {});
  AddEntry('F', {});
  fake::FailRegistryCall({"RegOpenKeyA", Entry('E') + "\\VIDORUVA", fake::kErrorAccessDenied});
  fake::FailRegistryCall({"RegOpenKeyA", Entry('F') + "\\DefaultIcon", fake::kErrorAccessDenied});

  EXPECT_TRUE(RemoveDriveIcons(Bit('E') | Bit('F')));

  EXPECT_EQ(fake::GetValue(Entry('E') + "\\DefaultIcon", ""), kIconValue);
  EXPECT_EQ(fake::GetValue(Entry('E') + "\\DefaultLabel", ""), kLabelValue);
  EXPECT_EQ(fake::GetValue(Entry('F') + "\\DefaultIcon", ""), kIconValue);
  EXPECT_EQ(fake::GetValue(Entry('F') + "\\DefaultLabel", ""), kEmptyString);
}

TEST_F(DriveIconsTest, FullMaskVisitsThirtyTwoPositionsPastZ) {
  fake::Reset(fake::Deletion::kWin9x);
  fake::CreateKey(kRoot);
  AddEntry('Z', {});
  AddEntry('[', {});
  AddEntry('`', {});

  EXPECT_TRUE(RemoveDriveIcons(0xFFFFFFFF));

  EXPECT_EQ(CountCalls("RegOpenKeyA HKLM\\" + kRoot + " "), 32);
  EXPECT_EQ(CountCalls("RegCloseKey HKLM\\" + kRoot + " "), 32);
  EXPECT_THAT(fake::Calls(), testing::Contains("RegOpenKeyA HKLM\\" + kRoot + "\\_\\VIDORUVA = 2"));
  EXPECT_FALSE(fake::KeyExists(Entry('Z')));
  EXPECT_FALSE(fake::KeyExists(Entry('[')));
  EXPECT_FALSE(fake::KeyExists(Entry('`')));
}

TEST_F(DriveIconsTest, BackslashPositionIsAnInvalidPathAndHarmless) {
  const std::string before = fake::DumpRegistry();

  EXPECT_TRUE(RemoveDriveIcons(Bit('\\')));

  EXPECT_THAT(
      Calls(),
      ElementsAre(
          "RegOpenKeyA Root = 0", "RegOpenKeyA Root\\\\\\VIDORUVA = 161", "RegCloseKey Root = 0"));
  EXPECT_EQ(fake::DumpRegistry(), before);
}

}  // namespace
