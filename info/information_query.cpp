// The information query: six questions to the printer, the pane rebuilt after every answer,
// then the device code and the final seven-line text.
#include "info/information_query.h"

#include <commctrl.h>

#include "app/app_state.h"
#include "app/main_window.h"
#include "app/tables.h"
#include "device/discovery.h"
#include "device/transaction.h"
#include "info/device_code.h"
#include "info/model_identification.h"
#include "info/reply_parsers.h"

wchar_t modelCode[9];
wchar_t firmwareVersion[16];
wchar_t productCode[11];
wchar_t macAddress[18];
wchar_t memorySize[5];
wchar_t versionText[128];
wchar_t deviceCode[42];
wchar_t infoText[1024];

namespace {

constexpr int kSteps = 6;
using Parser = int (*)(unsigned char *, int);
const Parser kParsers[kSteps] = {ParseModelReply,      ParseFirmwareVersionReply,
                                 ParseProductCodeReply, ParseMacAddressReply,
                                 ParseMemorySizeReply,  ParseVersionTextReply};

template <int N>
void SetPlaceholder(wchar_t (&field)[N]) {
  wchar_t text[1024];
  wsprintfW(text, InternalString(71));
  lstrcpynW(field, text, N);
}

// The information text after a step: one line more per answered question (formats 115-120),
// or all seven lines (121).
void ShowInformationText(int lastStep) {
  const wchar_t *format = InternalString(115 + lastStep);
  switch (lastStep) {
    case 0: wsprintfW(infoText, format, currentDisplayName); break;
    case 1: wsprintfW(infoText, format, currentDisplayName, firmwareVersion); break;
    case 2: wsprintfW(infoText, format, currentDisplayName, firmwareVersion, productCode); break;
    case 3:
      wsprintfW(infoText, format, currentDisplayName, firmwareVersion, productCode, macAddress);
      break;
    case 4:
      wsprintfW(infoText, format, currentDisplayName, firmwareVersion, productCode, macAddress,
                memorySize);
      break;
    case 5:
      wsprintfW(infoText, format, currentDisplayName, firmwareVersion, productCode, macAddress,
                memorySize, versionText);
      break;
    default:
      wsprintfW(infoText, format, currentDisplayName, firmwareVersion, productCode, macAddress,
                memorySize, versionText, deviceCode);
      break;
  }
  SetWindowTextW(app.infoPane, infoText);
}

}  // namespace

int StartInformationQuery() {
  DiscoverPrinters(1);
  if (!printerSelected) return 1;
  SetWindowTextW(app.headingLabel, UiText(11));
  SetWindowTextW(app.infoPane, L"");
  if (IsFirmwareOnlyDevice()) {
    SetWindowTextW(app.infoPane, InternalString(40));
    return 1;
  }
  LookUpProtocolFamily();
  if (protocolFamily == 0) {
    SetWindowTextW(app.infoPane, InternalString(41));
    return 2;
  }
  LoadQuerySet(protocolFamily == 1 ? 1 : 2);
  // Busy from here, on the window's thread: a command already queued behind this one finds the
  // query running and is ignored.
  EnterBusyState(1);
  HANDLE worker = CreateThread(nullptr, 0, InformationQueryWorker, nullptr, CREATE_SUSPENDED,
                               nullptr);
  if (!worker) {
    LeaveBusyState();
    return 1;
  }
  ResumeThread(worker);
  CloseHandle(worker);
  return 0;
}

DWORD WINAPI InformationQueryWorker(LPVOID) {
  SendMessageW(app.progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, kSteps));
  SendMessageW(app.progressBar, PBM_SETPOS, 0, 0);

  ZeroMemory(infoText, sizeof infoText);
  ZeroMemory(modelCode, sizeof modelCode);
  ComposeDisplayName();
  SetPlaceholder(firmwareVersion);
  SetPlaceholder(productCode);
  SetPlaceholder(macAddress);
  SetPlaceholder(memorySize);
  SetPlaceholder(versionText);
  SetPlaceholder(deviceCode);

  int failures = 0;
  for (int step = 0; step < kSteps; ++step) {
    SendMessageW(app.progressBar, PBM_SETPOS, step, 0);
    unsigned int length = 0;
    if (RunTransaction(step, &length, 0)) {
      ++failures;
      break;
    }
    failures += kParsers[step](replyBuffer, static_cast<int>(length));
    ShowInformationText(step);
  }

  if (failures == 0) {
    TickerThread ticker = StartProgressTicker();
    SendMessageW(app.progressBar, PBM_SETPOS, kSteps, 0);
    Sleep(500);
    ComputeDeviceCode();
    StopProgressTicker(&ticker);
  }
  ShowInformationText(kSteps);
  if (failures) MessageBoxW(app.mainWindow, UiText(31), UiText(22), MB_ICONERROR);

  LeaveBusyState();
  FocusQueryButton();
  return 0;
}
