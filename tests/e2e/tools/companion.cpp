// Stands in for the package's companion application: a top-level window with
// the given title that logs when it gets WM_CLOSE and when it has handled it.
//
//   companion.exe <title> <milliseconds to take over closing | hang>

#include <windows.h>

#include <cstdlib>
#include <cstring>

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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  hang = std::strcmp(argv[2], "hang") == 0;
  if (!hang) closeDelayMs = static_cast<DWORD>(std::atoi(argv[2]));

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
