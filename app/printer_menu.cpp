// The window program's printer discovery and choice.
#include "app/printer_menu.h"

#include <windows.h>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/notice.h"
#include "app/printer_state.h"

namespace {

POINT PopupAnchorPoint(int popupAnchor) {
  POINT origin = {0, 0};
  MapWindowPoints(app.mainWindow, GetParent(app.mainWindow), &origin, 1);
  RECT client = {};
  GetClientRect(app.mainWindow, &client);
  const LONG width = client.right, height = client.bottom;
  switch (popupAnchor) {
    case 1:
      return {origin.x + ScaleForDpi(101), origin.y + height - ScaleForDpi(3)};
    case 2:
      return {origin.x + width - ScaleForDpi(203), origin.y + height - ScaleForDpi(3)};
    case 3:
      return {origin.x + ScaleForDpi(105), origin.y + ScaleForDpi(10)};
    default:
      return {GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 3};
  }
}

// Offers the listed printers in a popup menu; returns the chosen index or -1.
int ChoosePrinter(int count, int popupAnchor) {
  HMENU menu = CreatePopupMenu();
  if (!menu) return -1;
  AppendMenuW(menu, MF_STRING | MF_DISABLED | MF_GRAYED, 0, UiText(27));
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  for (int i = 0; i < count; ++i) {
    AppendMenuW(menu, MF_STRING, kFirstPrinterCommand + i, printerList[i].displayName);
  }
  const POINT at = PopupAnchorPoint(popupAnchor);
  const int command = static_cast<int>(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY, at.x,
                                                      at.y, 0, app.mainWindow, nullptr));
  DestroyMenu(menu);
  const int index = command - kFirstPrinterCommand;
  return index >= 0 && index < count ? index : -1;
}

}  // namespace

int DiscoverPrinters(int popupAnchor) {
  const int count = ListPrinters();
  if (count < 0) return 1;
  if (count == 0) {
    if (app.unattendedMode) {
      MessageBoxW(app.mainWindow, UiText(29), UiText(22), MB_ICONERROR);
    } else {
      ShowNotice(-1, -1, UiText(29), UiText(22), kNoticeError);
    }
  } else if (count == 1) {
    SelectPrinter(0);
  } else {
    const int index = ChoosePrinter(count, popupAnchor);
    if (index >= 0) SelectPrinter(index);
  }
  return 0;
}
