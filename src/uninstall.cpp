#include "uninstall.h"

#include <cstdlib>

#include "command_line.h"
#include "drive_icons.h"
#include "format_string.h"
#include "platform/platform.h"

namespace {

constexpr char kRemovalSwitch[] = "-O";
constexpr std::uint32_t kAllDrives = 0xFFFFFFFF;
constexpr char kCompanionTitle[] = "Nolvex";
// Long enough for a companion that is closing normally, short enough that a
// hung one cannot hold up the removal of the product indefinitely.
constexpr unsigned kCloseTimeoutMs = 10000;

constexpr char kInstallerFile[] = "MsiExec.exe";
// "/norestart": with "/qn" alone the Installer restarts the machine without
// asking whenever the removal needs it (a file still in use, say), and every
// open program loses its unsaved work. Files in use go at the next restart.
constexpr char kRemoveProductParameters[] =
    "/X {6E1F0A47-93C2-4B5D-8E07-2D4C19B8F361} /qn /norestart";
constexpr char kSetupFile[] = "USBSetup.exe";
constexpr char kSetupParameters[] = "-U";

bool IsRemovalMode(const Argument& first) {
  constexpr std::uint32_t kNoFlags = 0;  // so that case counts
  const int result = platform::CompareStringA(platform::kLocaleUserDefault,
                                              kNoFlags,
                                              first.text,
                                              static_cast<int>(first.length),
                                              kRemovalSwitch,
                                              static_cast<int>(sizeof kRemovalSwitch - 1));
  return result == platform::kCstrEqual;
}

// The system directory, without a trailing backslash; null if it cannot be
// had.
FormattedString SystemDirectory() {
  const unsigned size = platform::GetSystemDirectoryA(nullptr, 0);
  if (size == 0) return nullptr;
  FormattedString directory(static_cast<char*>(std::malloc(size)));
  if (!directory) return nullptr;
  const unsigned length = platform::GetSystemDirectoryA(directory.get(), size);
  if (length == 0 || length >= size) return nullptr;
  return directory;
}

void RemovePackage() {
  RemoveDriveIcons(kAllDrives);
  platform::MessageBeep(platform::kMbOk);

  const platform::Window companion = platform::FindWindowA(nullptr, kCompanionTitle);
  if (companion != nullptr) {
    platform::SendMessageTimeoutA(
        companion, platform::kWmClose, 0, 0, platform::kSmtoAbortIfHung, kCloseTimeoutMs);
  }

  // The Windows Installer by its full path. A bare name would be looked for
  // in the current directory first, so an "MsiExec.exe" planted there would
  // run with this process's administrator rights.
  const FormattedString systemDirectory = SystemDirectory();
  if (!systemDirectory) return;
  const FormattedString installer = FormatString("%s\\%s", systemDirectory.get(), kInstallerFile);
  if (!installer) return;
  // The Installer's client runs for the whole removal and would otherwise
  // hold the caller's current directory open, often the package's own folder,
  // which then could not be deleted.
  platform::ShellExecuteA(nullptr,
                          nullptr,
                          installer.get(),
                          kRemoveProductParameters,
                          systemDirectory.get(),
                          platform::kSwShow);
}

// No directory: the setup program is looked for in, and runs in, the
// current directory, normally the package's folder.
void HandOffToSetup() {
  platform::ShellExecuteA(
      nullptr, nullptr, kSetupFile, kSetupParameters, nullptr, platform::kSwShowDefault);
}

}  // namespace

void PrepareProcess() {
  platform::SetErrorMode(platform::kSemFailCriticalErrors);
  // Where the system-directory-only search is missing, at least take the
  // current directory out of the search.
  if (!platform::SetDefaultDllDirectories(platform::kLoadLibrarySearchSystem32)) {
    platform::SetDllDirectoryA("");
  }
  platform::CoInitializeEx(platform::kCoinitApartmentThreaded | platform::kCoinitDisableOle1Dde);
}

int UninstallMain() {
  const Argument first = FirstArgument(platform::GetCommandLineA());
  if (IsRemovalMode(first)) {
    RemovePackage();
  } else {
    HandOffToSetup();
  }
  return 0;
}
