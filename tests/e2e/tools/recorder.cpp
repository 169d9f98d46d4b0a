// Stands in for a program the uninstaller starts ("USBSetup.exe", the Windows
// Installer). It logs how it was started: its path, the exact command line,
// the current directory and the show command. With E2E_LINGER_MS set it then
// stays alive that long, so the suite can see whether its starter waited.

#include <windows.h>

#include <cstdlib>
#include <string>

#include "events.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char module[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, module, sizeof module);
  char directory[MAX_PATH] = "";
  GetCurrentDirectoryA(sizeof directory, directory);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  GetStartupInfoA(&startup);
  const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;

  std::string name = module;
  name = name.substr(name.find_last_of('\\') + 1);
  e2e::LogEvent(name,
                "start",
                ", \"exe\": " + e2e::JsonString(module) +
                    ", \"cmdline\": " + e2e::JsonString(GetCommandLineA()) + ", \"cwd\": " +
                    e2e::JsonString(directory) + ", \"show\": " + std::to_string(show));

  char linger[32];
  if (GetEnvironmentVariableA("E2E_LINGER_MS", linger, sizeof linger) != 0) {
    Sleep(static_cast<DWORD>(std::atoi(linger)));
  }
  e2e::LogEvent(name, "exit");
  return 0;
}
