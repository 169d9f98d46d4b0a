#pragma once

// Shared by the stand-in programs: one JSON object per line, appended to the
// file named by the E2E_EVENTS environment variable. Every event carries a
// QueryPerformanceCounter stamp, one clock for all processes, so the suite can
// order events across them.

#include <windows.h>

#include <cstdio>
#include <string>

namespace e2e {

inline std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);  // bytes read as Latin-1
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

inline long long Now() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

// fields: already-formatted ", \"name\": value" pairs.
inline void LogEvent(const std::string& who, const std::string& what,
                     const std::string& fields = "") {
  char path[MAX_PATH];
  if (GetEnvironmentVariableA("E2E_EVENTS", path, sizeof path) == 0) return;
  const std::string line = "{\"who\": " + JsonString(who) + ", \"what\": " + JsonString(what) +
                           ", \"t\": " + std::to_string(Now()) +
                           ", \"pid\": " + std::to_string(GetCurrentProcessId()) + fields + "}\n";
  HANDLE file = CreateFileA(path,
                            FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr,
                            OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

}  // namespace e2e
