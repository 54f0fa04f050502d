// The window program's information query.
#include "app/query_worker.h"

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/busy_state.h"
#include "app/printer_menu.h"
#include "app/printer_state.h"
#include "info/information_query.h"

int StartInformationQuery() {
  DiscoverPrinters(1);
  if (!printerSelected) return 1;
  SetWindowTextW(app.headingLabel, UiText(11));
  SetWindowTextW(app.infoPane, L"");
  const int refused = PrepareInformationQuery();
  if (refused) {
    SetWindowTextW(app.infoPane, InternalString(refused == 1 ? 40 : 41));
    return refused;
  }
  // Busy from here, on the window's thread: a command already queued behind this one finds the
  // query running and is ignored.
  EnterBusyState(1);
  return StartWorker(InformationQueryWorker, nullptr);
}

DWORD WINAPI InformationQueryWorker(LPVOID) {
  const InformationQueryResult result = AskInformationQuestions();
  if (result.failures) MessageBoxW(app.mainWindow, UiText(31), UiText(22), MB_ICONERROR);
  LeaveBusyState();
  FocusQueryButton();
  return 0;
}
