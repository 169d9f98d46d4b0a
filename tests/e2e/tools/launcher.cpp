// Starts a program with an exact, raw command line, which `wine prog args`
// cannot express because it quotes each argument anew:
//
//   launcher.exe <program> <file holding the command line> <directory>
//
// The application name is given, so the command line need not begin with the
// program's name. Waits for the program alone (not for what it starts) and
// logs its exit code and how long it ran.

#include <windows.h>

#include <string>
#include <vector>

#include "events.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  HANDLE file = CreateFileA(argv[2],
                            GENERIC_READ,
                            FILE_SHARE_READ,
                            nullptr,
                            OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  std::vector<char> commandLine(GetFileSize(file, nullptr) + 1, '\0');
  DWORD read = 0;
  ReadFile(file, commandLine.data(), static_cast<DWORD>(commandLine.size() - 1), &read, nullptr);
  CloseHandle(file);

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  const long long started = e2e::Now();
  e2e::LogEvent("launcher", "start");
  if (!CreateProcessA(argv[1],
                      commandLine.data(),
                      nullptr,
                      nullptr,
                      FALSE,
                      0,
                      nullptr,
                      argv[3],
                      &startup,
                      &process)) {
    e2e::LogEvent("launcher", "failed", ", \"error\": " + std::to_string(GetLastError()));
    return 4;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  const long long ended = e2e::Now();
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);

  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  const long long elapsedMs = (ended - started) * 1000 / frequency.QuadPart;
  e2e::LogEvent("launcher",
                "end",
                ", \"exit_code\": " + std::to_string(exitCode) +
                    ", \"elapsed_ms\": " + std::to_string(elapsedMs));
  return 0;
}
