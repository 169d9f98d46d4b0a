#pragma once

// The process entry. A first argument of exactly "-O" removes the package:
// its drive-icon entries, a beep, a close request to the companion window and
// a silent product removal by the Windows Installer. Anything else hands the
// job to the package's setup program. Nothing started is waited for, nothing
// is reported, and the result, the exit code, is always 0.
int UninstallMain();

// What the entry does before UninstallMain, as an elevated program that
// shows no window should: no "no disk in the drive" box, DLLs loaded from the
// system directory only (never one planted beside this file, which may sit on
// the USB drive or in a download folder), and COM ready for the shell's
// launch. Each step that fails is passed over.
void PrepareProcess();
