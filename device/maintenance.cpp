// Maintenance commands: the record table and the choice of the record for a printer.
#include "device/maintenance.h"

#include <array>

#include "device/packets.h"
#include "device/transaction.h"
#include "info/model_identification.h"
#include "tables/tables.h"

namespace {

template <size_t N>
constexpr MaintenanceRecord RequestReply(const std::array<unsigned char, N> &record) {
  return {record.data(), static_cast<int>(N), 0};
}
template <size_t N>
constexpr MaintenanceRecord WriteOnly(const std::array<unsigned char, N> &record) {
  return {record.data(), static_cast<int>(N), 1};
}

// The record and mode of command n for family 1 and family 2. Family 2 has no command 2.
struct CommandRow {
  MaintenanceRecord family1;
  MaintenanceRecord family2;
};

const CommandRow kCommands[kMaintenanceCommands] = {
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

constexpr int kFirstLanguageCommand = 3;
constexpr int kFirstSettingCommand = 8;

}  // namespace

bool MaintenanceNeedsConfirmation(int command) { return command == 1 || command == 2; }

int CheckMaintenanceModel(PrinterConnection &connection) {
  if (IsFirmwareOnlyDevice(connection.deviceId)) return 1;
  connection.protocolFamily = LookUpProtocolFamily(connection.deviceId);
  return connection.protocolFamily == 0 ? 2 : 0;
}

bool ChooseMaintenanceRecord(int family, int command, MaintenanceRecord *chosen) {
  if (command < 1 || command > kMaintenanceCommands) return false;
  const CommandRow &row = kCommands[command - 1];
  *chosen = family == 1 ? row.family1 : row.family2;
  return chosen->record != nullptr;
}

void LoadMaintenanceSlot(PrinterConnection &connection, const MaintenanceRecord &chosen) {
  ClearCommandSlots(connection);
  PrepareCommandSlot(connection, 0, 0, 0, 0, chosen.record, chosen.recordLength);
}

const wchar_t *MaintenanceLabel(int language, int command) {
  if (command == 1) return UiTextIn(language, 7);
  if (command == 2) return UiTextIn(language, 8);
  // Internal strings 16-20 name the five languages, 21-31 the eleven levels.
  return InternalString(13 + command);
}

const wchar_t *MaintenanceGroupLabel(int language, int command) {
  if (command >= kFirstSettingCommand) return UiTextIn(language, 10);
  if (command >= kFirstLanguageCommand) return UiTextIn(language, 9);
  return nullptr;
}
