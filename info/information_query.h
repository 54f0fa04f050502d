// The information query: the printer's identity read over USB into the information text.
#pragma once

// The information text: the buffer from which every worker sets the information pane's text.
extern wchar_t infoText[1024];

// Discovers and selects the printer, prepares the query and starts its worker thread.
int StartInformationQuery();
