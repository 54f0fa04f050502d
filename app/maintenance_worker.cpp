// The window program's maintenance commands.
#include "app/maintenance_worker.h"

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/busy_state.h"
#include "app/notice.h"
#include "app/printer_menu.h"
#include "app/printer_state.h"
#include "app/wine_bridge.h"
#include "device/maintenance.h"
#include "device/transaction.h"

int RunMaintenanceCommand(int command) {
  if (command < 1 || command > kMaintenanceCommands) return 1;
  DiscoverPrinters(3);
  if (!printerSelected) return 1;
  const int refused = CheckMaintenanceModel();
  if (refused) {
    ShowNotice(-1, -1, InternalString(refused == 1 ? 40 : 41), UiText(22), kNoticeError);
    return refused;
  }
  // Under Wine, a printer bridged in from Linux without the usblp write guard: a signal could
  // make Wine write the command a second time. Nothing is sent, and nothing is asked first.
  if (BridgedPrinterRefused(currentDevicePath)) {
    ShowNotice(-1, -1, UiText(kBridgedMaintenanceRefusedText), UiText(22), kNoticeError);
    return 1;
  }
  if (MaintenanceNeedsConfirmation(command) &&
      MessageBoxW(app.mainWindow, UiText(33), UiText(21),
                  MB_OKCANCEL | MB_ICONWARNING | MB_DEFBUTTON2) != IDOK) {
    return 0;
  }
  MaintenanceRecord chosen;
  if (!ChooseMaintenanceRecord(command, &chosen)) {
    ShowNotice(-1, -1, UiText(8), UiText(22), kNoticeError);
    return 0;
  }
  return StartMaintenance(chosen.record, chosen.recordLength, chosen.writeOnly);
}

int StartMaintenance(const unsigned char *record, int recordLength, int writeOnly) {
  LoadMaintenanceSlot({record, recordLength, writeOnly});
  // Busy from here, on the window's thread: a command already queued behind this one finds the
  // command running and is ignored.
  EnterBusyState(0);
  return StartWorker(MaintenanceWorker, reinterpret_cast<LPVOID>(static_cast<INT_PTR>(writeOnly)));
}

DWORD WINAPI MaintenanceWorker(LPVOID writeOnly) {
  // While the transaction runs the ticker shows its dots alone; the text comes back after.
  wchar_t saved[1024] = {};
  GetWindowTextW(app.infoPane, saved, 1024);
  SetWindowTextW(app.infoPane, L"");
  unsigned int length = 0;
  const int failed =
      RunTransaction(0, &length, static_cast<int>(reinterpret_cast<INT_PTR>(writeOnly)));
  SetWindowTextW(app.infoPane, saved);
  if (failed) {
    ShowNotice(-1, -1, UiText(30), UiText(22), kNoticeError);
  } else {
    ShowNotice(-1, -1, UiText(3), UiText(20), kNoticeInformation);
  }
  LeaveBusyState();
  return 0;
}
