// Stands in for the package's companion application: a top-level window with
// the given title that logs when it gets WM_CLOSE and when it has handled it.
// Given drive letters, it first gives each of those drives the package's
// marked icon and label entry, as the real application does for its device.
//
//   companion.exe <title> <milliseconds to take over closing | hang> [drives]

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "events.h"

namespace {

bool hang = false;
DWORD closeDelayMs = 0;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      e2e::LogEvent(
          "companion",
          "close-received",
          ", \"wparam\": " + std::to_string(wParam) + ", \"lparam\": " + std::to_string(lParam));
      if (hang) Sleep(INFINITE);
      Sleep(closeDelayMs);
      e2e::LogEvent("companion", "closed");
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

void SetDefaultValue(const std::string& path, const std::string& text) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                      path.c_str(),
                      0,
                      nullptr,
                      0,
                      KEY_ALL_ACCESS,
                      nullptr,
                      &key,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExA(key,
                 nullptr,
                 0,
                 REG_SZ,
                 reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>(text.size() + 1));
  RegCloseKey(key);
}

void MarkDrive(char drive) {
  const std::string entry =
      std::string("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons\\") + drive;
  char module[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, module, sizeof module);
  SetDefaultValue(entry + "\\VIDORUVA", "");
  SetDefaultValue(entry + "\\DefaultIcon", std::string(module) + ",0");
  SetDefaultValue(entry + "\\DefaultLabel", "Nolvex USB");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) return 2;
  hang = std::strcmp(argv[2], "hang") == 0;
  if (!hang) closeDelayMs = static_cast<DWORD>(std::atoi(argv[2]));
  for (const char* drive = argc == 4 ? argv[3] : ""; *drive != '\0'; ++drive) MarkDrive(*drive);

  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "E2ECompanion";
  RegisterClassA(&windowClass);
  HWND window = CreateWindowA("E2ECompanion",
                              argv[1],
                              WS_OVERLAPPEDWINDOW,
                              0,
                              0,
                              200,
                              100,
                              nullptr,
                              nullptr,
                              windowClass.hInstance,
                              nullptr);
  if (window == nullptr) return 3;
  e2e::LogEvent("companion", "ready");

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  e2e::LogEvent("companion", "exit");
  return 0;
}
