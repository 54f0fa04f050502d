// The Windows backend's one call into the USB printer class driver besides file I/O: the
// protocol switch of a printer that starts in IPP-over-USB mode.
#pragma once

#include <windows.h>

// A simulated printer is a named pipe, which answers no driver control code, so tests put
// their own printer's answer here. DeviceIoControl by default.
using DeviceControlFunction = BOOL(WINAPI *)(HANDLE device, DWORD code, LPVOID input,
                                             DWORD inputBytes, LPVOID output, DWORD outputBytes,
                                             LPDWORD returnedBytes, LPOVERLAPPED overlapped);
extern DeviceControlFunction printerDeviceControl;
