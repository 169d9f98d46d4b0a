// The Win32 side of the platform layer and the process entry. This is the
// only file of the program that includes <windows.h>.

#include "platform/platform.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include "uninstall.h"

namespace platform {

static_assert(kErrorSuccess == ERROR_SUCCESS);
static_assert(kRegSz == REG_SZ);
static_assert(kMbOk == MB_OK);
static_assert(kWmClose == WM_CLOSE);
static_assert(kSmtoAbortIfHung == SMTO_ABORTIFHUNG);
static_assert(kSwShow == SW_SHOW);
static_assert(kSwShowDefault == SW_SHOWDEFAULT);
static_assert(kLocaleUserDefault == LOCALE_USER_DEFAULT);
static_assert(kCstrEqual == CSTR_EQUAL);
static_assert(kSemFailCriticalErrors == SEM_FAILCRITICALERRORS);
static_assert(kLoadLibrarySearchSystem32 == LOAD_LIBRARY_SEARCH_SYSTEM32);
static_assert(kCoinitApartmentThreaded == COINIT_APARTMENTTHREADED);
static_assert(kCoinitDisableOle1Dde == COINIT_DISABLE_OLE1DDE);

namespace {

HKEY ToHkey(RegKey key) { return reinterpret_cast<HKEY>(key); }
HWND ToHwnd(Window window) { return reinterpret_cast<HWND>(window); }

}  // namespace

void SetErrorMode(unsigned mode) { ::SetErrorMode(mode); }

bool SetDefaultDllDirectories(std::uint32_t directoryFlags) {
  // Linking to it would keep the program from starting where it is missing.
  using Function = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel32 = ::GetModuleHandleA("kernel32.dll");
  if (kernel32 == nullptr) return false;
  const auto function = reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(::GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  return function != nullptr && function(directoryFlags) != FALSE;
}

bool SetDllDirectoryA(const char* path) { return ::SetDllDirectoryA(path) != FALSE; }

long CoInitializeEx(std::uint32_t flags) { return ::CoInitializeEx(nullptr, flags); }

RegKey LocalMachine() { return reinterpret_cast<RegKey>(HKEY_LOCAL_MACHINE); }

long RegOpenKeyA(RegKey parent, const char* subKey, RegKey* result) {
  HKEY opened = nullptr;
  const LONG status = ::RegOpenKeyA(ToHkey(parent), subKey, &opened);
  *result = reinterpret_cast<RegKey>(opened);
  return status;
}

long RegDeleteKeyA(RegKey parent, const char* subKey) {
  return ::RegDeleteKeyA(ToHkey(parent), subKey);
}

long RegSetValueExA(RegKey key, const char* valueName, std::uint32_t type,
                    const unsigned char* data, std::uint32_t dataSize) {
  return ::RegSetValueExA(ToHkey(key), valueName, 0, type, data, dataSize);
}

long RegCloseKey(RegKey key) { return ::RegCloseKey(ToHkey(key)); }

void MessageBeep(unsigned type) { ::MessageBeep(type); }

Window FindWindowA(const char* className, const char* windowName) {
  return reinterpret_cast<Window>(::FindWindowA(className, windowName));
}

void SendMessageTimeoutA(Window window, unsigned message, std::uintptr_t wParam,
                         std::intptr_t lParam, unsigned flags, unsigned timeoutMs) {
  DWORD_PTR ignored = 0;
  ::SendMessageTimeoutA(ToHwnd(window), message, wParam, lParam, flags, timeoutMs, &ignored);
}

void ShellExecuteA(Window owner, const char* verb, const char* file, const char* parameters,
                   const char* directory, int showCommand) {
  ::ShellExecuteA(ToHwnd(owner), verb, file, parameters, directory, showCommand);
}

const char* GetCommandLineA() { return ::GetCommandLineA(); }

int CompareStringA(std::uint32_t locale, std::uint32_t flags, const char* string1, int length1,
                   const char* string2, int length2) {
  return ::CompareStringA(locale, flags, string1, length1, string2, length2);
}

unsigned GetSystemDirectoryA(char* buffer, unsigned size) {
  return ::GetSystemDirectoryA(buffer, size);
}

}  // namespace platform

// The four arguments are not used: the mode is read from the full command
// line, which keeps the program name that lpCmdLine has already dropped.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  PrepareProcess();
  return UninstallMain();
}
