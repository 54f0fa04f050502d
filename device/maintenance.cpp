// Maintenance commands.
#include "device/maintenance.h"

#include <array>

#include "app/app_state.h"
#include "app/main_window.h"
#include "app/notice.h"
#include "app/tables.h"
#include "device/discovery.h"
#include "device/packets.h"
#include "device/transaction.h"
#include "info/model_identification.h"

namespace {

struct Command {
  const unsigned char *record;
  int recordLength;
  int writeOnly;
};

template <size_t N>
constexpr Command RequestReply(const std::array<unsigned char, N> &record) {
  return {record.data(), static_cast<int>(N), 0};
}
template <size_t N>
constexpr Command WriteOnly(const std::array<unsigned char, N> &record) {
  return {record.data(), static_cast<int>(N), 1};
}

// The record and mode of command n for family 1 and family 2. Family 2 has no command 2.
struct CommandRow {
  Command family1;
  Command family2;
};

const CommandRow kCommands[18] = {
    {RequestReply(CMD_F1_FF1A), WriteOnly(CMD_SET_RESTORE_DEFAULT)},
    {RequestReply(CMD_F1_FF00), {nullptr, 0, 0}},
    {RequestReply(CMD_F1_LANGUAGE_03), RequestReply(CMD_SET_LANGUAGE_9)},
    {RequestReply(CMD_F1_LANGUAGE_01), RequestReply(CMD_SET_LANGUAGE_2)},
    {RequestReply(CMD_F1_LANGUAGE_00), RequestReply(CMD_SET_LANGUAGE_1)},
    {RequestReply(CMD_F1_LANGUAGE_08), RequestReply(CMD_SET_LANGUAGE_12)},
    {RequestReply(CMD_F1_LANGUAGE_05), RequestReply(CMD_SET_LANGUAGE_10)},
    {WriteOnly(CMD_FF84_00), RequestReply(CMD_FF84_00)},
    {WriteOnly(CMD_FF84_01), RequestReply(CMD_FF84_01)},
    {WriteOnly(CMD_FF84_02), RequestReply(CMD_FF84_02)},
    {WriteOnly(CMD_FF84_03), RequestReply(CMD_FF84_03)},
    {WriteOnly(CMD_FF84_04), RequestReply(CMD_FF84_04)},
    {WriteOnly(CMD_FF84_05), RequestReply(CMD_FF84_05)},
    {WriteOnly(CMD_FF84_06), RequestReply(CMD_FF84_06)},
    {WriteOnly(CMD_FF84_07), RequestReply(CMD_FF84_07)},
    {WriteOnly(CMD_FF84_08), RequestReply(CMD_FF84_08)},
    {WriteOnly(CMD_FF84_09), RequestReply(CMD_FF84_09)},
    {WriteOnly(CMD_FF84_0A), RequestReply(CMD_FF84_0A)},
};

}  // namespace

int RunMaintenanceCommand(int command) {
  if (command < 1 || command > 18) return 1;
  DiscoverPrinters(3);
  if (!printerSelected) return 1;
  if (IsFirmwareOnlyDevice()) {
    ShowNotice(-1, -1, InternalString(40), UiText(22), kNoticeError);
    return 1;
  }
  LookUpProtocolFamily();
  if (protocolFamily == 0) {
    ShowNotice(-1, -1, InternalString(41), UiText(22), kNoticeError);
    return 2;
  }
  if ((command == 1 || command == 2) &&
      MessageBoxW(app.mainWindow, UiText(33), UiText(21),
                  MB_OKCANCEL | MB_ICONWARNING | MB_DEFBUTTON2) != IDOK) {
    return 0;
  }
  const CommandRow &row = kCommands[command - 1];
  const Command &chosen = protocolFamily == 1 ? row.family1 : row.family2;
  if (!chosen.record) {
    ShowNotice(-1, -1, UiText(8), UiText(22), kNoticeError);
    return 0;
  }
  return StartMaintenance(chosen.record, chosen.recordLength, chosen.writeOnly);
}

int StartMaintenance(const unsigned char *record, int recordLength, int writeOnly) {
  ClearCommandSlots();
  PrepareCommandSlot(0, 0, 0, 0, record, recordLength);
  // Busy from here, on the window's thread: a command already queued behind this one finds the
  // command running and is ignored.
  EnterBusyState(0);
  HANDLE worker = CreateThread(nullptr, 0, MaintenanceWorker,
                               reinterpret_cast<LPVOID>(static_cast<INT_PTR>(writeOnly)),
                               CREATE_SUSPENDED, nullptr);
  if (!worker) {
    LeaveBusyState();
    return 1;
  }
  ResumeThread(worker);
  CloseHandle(worker);
  return 0;
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
