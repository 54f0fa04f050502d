// The window program under Wine on Linux, where scripts/korvex-linux bridges in the printers of
// the kernel's usblp driver: a firmware upgrade or a maintenance command to such a printer is
// refused, before anything is sent, in a process that lacks the launcher's usblp write guard.
#pragma once

#include <windows.h>

// Whether Wine runs this process (its ntdll has wine_get_version; Windows' has not).
bool RunningUnderWine();

// The rule: refused when the process runs under Wine, the printer's device path is a USB printer
// interface (\\?\usb#… or \\.\usb#…: Wine has no USB printer driver, so under Wine only the
// launcher's bridge gives such a path; simulated printers are pipes) and guard, the value of
// KORVEX_USBLP_GUARD (nullptr when unset), does not name this program's architecture (the guard
// sets it when it is loaded; a process of the other architecture may have inherited it).
bool BridgedPrinterRefused(bool underWine, const wchar_t *devicePath, const wchar_t *guard);

// The rule for this process and the printer at devicePath. Always false on Windows.
bool BridgedPrinterRefused(const wchar_t *devicePath);
