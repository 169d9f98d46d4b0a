#pragma once

// The only way the uninstaller reaches the operating system. Each function
// forwards to the Windows function of the same name, in its ANSI form, with
// the same meaning of arguments and results; statuses are passed through as
// Windows reports them (0 is ERROR_SUCCESS for the registry calls).
//
// This header stays free of <windows.h> so that the logic builds on any host.
// The Win32 build links platform_win32.cpp; the unit tests link a fake.

#include <cstdint>

namespace platform {

using RegKey = struct RegKeyHandle*;
using Window = struct WindowHandle*;

// Values of the Windows constants the logic passes through. The Win32
// implementation checks each one against <windows.h> at compile time.
constexpr long kErrorSuccess = 0;
constexpr std::uint32_t kRegSz = 1;
constexpr unsigned kMbOk = 0;
constexpr unsigned kWmClose = 0x0010;
constexpr unsigned kSmtoAbortIfHung = 0x0002;
constexpr int kSwShow = 5;
constexpr int kSwShowDefault = 10;
constexpr std::uint32_t kLocaleUserDefault = 0x0400;
constexpr int kCstrEqual = 2;
constexpr unsigned kSemFailCriticalErrors = 0x0001;
constexpr std::uint32_t kLoadLibrarySearchSystem32 = 0x00000800;
constexpr std::uint32_t kCoinitApartmentThreaded = 0x2;
constexpr std::uint32_t kCoinitDisableOle1Dde = 0x4;

// Start-up of the process.
void SetErrorMode(unsigned mode);
// False where this Windows lacks the function (Vista, and 7 without update
// KB2533623), which is looked up at run time, or where it fails.
bool SetDefaultDllDirectories(std::uint32_t directoryFlags);
bool SetDllDirectoryA(const char* path);
// Initialises COM on this thread; the HRESULT, negative on failure.
long CoInitializeEx(std::uint32_t flags);

// HKEY_LOCAL_MACHINE.
RegKey LocalMachine();

// Opens an existing key, possibly several levels down; never creates one.
long RegOpenKeyA(RegKey parent, const char* subKey, RegKey* result);
// Deletes a subkey. NT refuses a key that still has subkeys; 9x removes the
// whole subtree.
long RegDeleteKeyA(RegKey parent, const char* subKey);
long RegSetValueExA(RegKey key, const char* valueName, std::uint32_t type,
                    const unsigned char* data, std::uint32_t dataSize);
long RegCloseKey(RegKey key);

void MessageBeep(unsigned type);
// A top-level window; the title match ignores case. Null when there is none.
Window FindWindowA(const char* className, const char* windowName);
// Sends synchronously; gives up after timeoutMs, or at once if the receiving
// thread is hung when flags hold kSmtoAbortIfHung. The result is not needed.
void SendMessageTimeoutA(Window window, unsigned message, std::uintptr_t wParam,
                         std::intptr_t lParam, unsigned flags, unsigned timeoutMs);
// Starts a program and returns without waiting for it; the outcome is not
// needed.
void ShellExecuteA(Window owner, const char* verb, const char* file, const char* parameters,
                   const char* directory, int showCommand);

// The whole process command line, program name first.
const char* GetCommandLineA();
// 0 on failure, otherwise 1 (less), 2 (kCstrEqual) or 3 (greater).
int CompareStringA(std::uint32_t locale, std::uint32_t flags, const char* string1, int length1,
                   const char* string2, int length2);
// As Windows: the length copied without the terminator when it fits,
// otherwise the size needed with the terminator; 0 on failure.
unsigned GetSystemDirectoryA(char* buffer, unsigned size);

}  // namespace platform
