// The window program's information query: button 900 starts it, a worker thread asks.
#pragma once

#include <windows.h>

// Discovers and selects the printer, checks that its model may be queried, loads the query set
// of its protocol family, enters the busy state and starts the worker. 0 started; 1 no printer
// chosen, a firmware-only device or no worker; 2 a model that is not supported. Main thread only.
int StartInformationQuery();
// Asks the questions, shows the failure box when a step failed, and leaves the busy state.
DWORD WINAPI InformationQueryWorker(LPVOID unused);
