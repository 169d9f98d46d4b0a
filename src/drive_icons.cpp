#include "drive_icons.h"

#include "format_string.h"
#include "platform/platform.h"

namespace {

constexpr char kDriveIconsRoot[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";
// The package writes this subkey into each drive entry it creates; entries
// without it belong to someone else.
constexpr char kPackageMarker[] = "VIDORUVA";

// Sets the default value of root\path to an empty REG_SZ of zero bytes, if
// that key exists.
void EmptyDefaultValue(platform::RegKey root, const FormattedString& path) {
  if (!path) return;
  platform::RegKey key = nullptr;
  if (platform::RegOpenKeyA(root, path.get(), &key) != platform::kErrorSuccess) return;
  platform::RegSetValueExA(key, nullptr, platform::kRegSz, nullptr, 0);
  platform::RegCloseKey(key);
}

// Removes the entry for one drive below the opened root if it is the
// package's. A name that cannot be built (out of memory) leaves the drive as
// it is.
void RemoveDriveEntry(platform::RegKey root, char drive) {
  const FormattedString markerPath = FormatString("%c\\%s", drive, kPackageMarker);
  if (!markerPath) return;
  platform::RegKey marker = nullptr;
  if (platform::RegOpenKeyA(root, markerPath.get(), &marker) != platform::kErrorSuccess) {
    return;
  }
  platform::RegCloseKey(marker);

  const FormattedString entry = FormatString("%c", drive);
  if (!entry) return;
  // 9x deletes the whole entry. NT refuses, because the marker is a subkey;
  // empty default values then make Explorer fall back to its own icon and
  // label.
  if (platform::RegDeleteKeyA(root, entry.get()) == platform::kErrorSuccess) return;
  EmptyDefaultValue(root, FormatString("%s\\DefaultIcon", entry.get()));
  EmptyDefaultValue(root, FormatString("%s\\DefaultLabel", entry.get()));
}

}  // namespace

bool RemoveDriveIcons(std::uint32_t driveMask) {
  // Bits 26 to 31 stand for '[' to '`' and are walked like the letters.
  char drive = 'A';
  for (; driveMask != 0; driveMask >>= 1, ++drive) {
    if ((driveMask & 1) == 0) continue;
    platform::RegKey root = nullptr;
    if (platform::RegOpenKeyA(platform::LocalMachine(), kDriveIconsRoot, &root) !=
        platform::kErrorSuccess) {
      return false;
    }
    RemoveDriveEntry(root, drive);
    platform::RegCloseKey(root);
  }
  return true;
}
