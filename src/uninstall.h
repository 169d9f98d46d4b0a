#pragma once

// The process entry. A first argument of exactly "-O" removes the package:
// its drive-icon entries, a beep, a close request to the companion window and
// a silent product removal by the Windows Installer. Anything else hands the
// job to the package's setup program. Nothing started is waited for, nothing
// is reported, and the result, the exit code, is always 0.
int UninstallMain();
