#pragma once

// A fake of the platform layer for the unit tests, linked in place of the
// Win32 one. Its registry behaves like Windows wherever the logic depends on
// it: names compare without regard to case, a backslash path opens several
// levels at once, opening never creates, an empty path component fails with
// ERROR_BAD_PATHNAME, deletion follows NT or 9x rules, and every handle is
// tracked. Every call that reaches the outside world is recorded in order.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

constexpr long kErrorFileNotFound = 2;
constexpr long kErrorAccessDenied = 5;
constexpr long kErrorInvalidHandle = 6;
constexpr long kErrorBadPathname = 161;
constexpr long kErrorKeyDeleted = 1018;

// Key paths given to and reported by the fake start below HKEY_LOCAL_MACHINE,
// which the call log writes as "HKLM".
constexpr char kDriveIconsPath[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";

enum class Deletion {
  kNt,     // a key with subkeys cannot be deleted: ERROR_ACCESS_DENIED
  kWin9x,  // deleting a key removes its whole subtree
};

struct Value {
  std::uint32_t type = 0;
  std::string data;  // raw bytes, exactly as many as were written
  bool operator==(const Value& other) const { return type == other.type && data == other.data; }
};

// Makes registry calls fail. An empty call name or path matches any. With
// occurrence -1 every matching call fails; otherwise only the matching call
// with that index, counting from 0.
struct Failure {
  std::string call;  // "RegOpenKeyA", "RegDeleteKeyA", "RegSetValueExA", ...
  std::string path;  // full key path the call is aimed at, below HKLM
  long status = kErrorAccessDenied;
  int occurrence = -1;
};

// Forgets everything: an empty registry, no windows, no calls, no failures.
void Reset(Deletion deletion = Deletion::kNt);

// Registry set-up and inspection, bypassing the call log and any failures.
void CreateKey(const std::string& path);  // with every missing parent
void PutValue(const std::string& path, const std::string& name, const Value& value);
bool KeyExists(const std::string& path);
std::optional<Value> GetValue(const std::string& path, const std::string& name);
// Every key and value below HKLM, one per line, in a stable order.
std::string DumpRegistry();
// Every key below HKLM by its path as created, with its values by name ("" for
// the default value).
using Snapshot = std::map<std::string, std::map<std::string, Value>>;
Snapshot TakeSnapshot();

void FailRegistryCall(const Failure& failure);
// The calls that an armed failure made fail, as "<call> <full key path>".
const std::vector<std::string>& InjectedFailures();

// Handles opened and not yet closed, the most open at any one time, and
// closes of handles that were not open.
int OpenHandleCount();
int PeakOpenHandleCount();
int BadCloseCount();

void SetCommandLine(const std::string& commandLine);
void SetSystemDirectory(std::optional<std::string> directory);
void MakeCompareStringFail();
// As on Vista, or 7 without KB2533623: SetDefaultDllDirectories is missing.
void MakeDefaultDllDirectoriesMissing();
// A top-level window with this title.
void AddWindow(const std::string& title);

// The recorded calls, e.g. "RegOpenKeyA HKLM\SOFTWARE\... = 0" or
// "ShellExecuteA null null "USBSetup.exe" "-U" null 10".
const std::vector<std::string>& Calls();

}  // namespace fake
