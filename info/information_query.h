// The information query: the printer's identity read over USB into the information text.
#pragma once

#include <windows.h>

// The information fields; capacities include the terminator. They keep their values after a
// query until the next one starts.
extern wchar_t modelCode[9];
extern wchar_t firmwareVersion[16];
extern wchar_t productCode[11];
extern wchar_t macAddress[18];
extern wchar_t memorySize[5];
extern wchar_t versionText[128];
extern wchar_t deviceCode[42];
// The information text: the buffer from which every worker sets the information pane's text.
extern wchar_t infoText[1024];

// Discovers and selects the printer, checks that its model may be queried, loads the query set
// of its protocol family, enters the busy state and starts the worker. 0 started; 1 no printer
// chosen, a firmware-only device or no worker; 2 a model that is not supported. Main thread only.
int StartInformationQuery();
DWORD WINAPI InformationQueryWorker(LPVOID unused);
