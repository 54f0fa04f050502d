// korvex maintenance: one of the 18 maintenance commands of the window program's menu, sent to
// the printer in one transaction. Commands 1 and 2 act on the printer at once: they are
// confirmed on the terminal, or by --yes.
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/console_sink.h"
#include "cli/english_texts.h"
#include "cli/printers.h"
#include "device/maintenance.h"
#include "device/transaction.h"
#include "tables/tables.h"

namespace {

std::string Label(int command) {
  const wchar_t *group = MaintenanceGroupLabel(kEnglish, command);
  return (group ? Plain(group) + ": " : std::string()) +
         Plain(MaintenanceLabel(kEnglish, command));
}

bool Confirmed() {
  Err(Plain(UiText(33)) + " [y/N] ");
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes";
}

}  // namespace

int ListMaintenanceCommands() {
  for (int command = 1; command <= kMaintenanceCommands; ++command) {
    Out((command < 10 ? " " : "") + std::to_string(command) + "  " + Label(command) + "\n");
  }
  return kExitDone;
}

int RunMaintenance(int command, const std::string &wanted, bool yes) {
  if (command < 1 || command > kMaintenanceCommands) {
    Err("korvex: maintenance commands are 1 to 18 (korvex maintenance --list)\n");
    return kExitUsage;
  }
  if (MaintenanceNeedsConfirmation(command) && !yes && !IsTerminal(stdin)) {
    Err("korvex: command " + std::to_string(command) + " (" + Label(command) +
        ") acts on the printer at once; without a terminal to ask on, confirm it with --yes\n");
    return kExitUsage;
  }
  ConsoleSink sink;
  int exitCode = kExitDone;
  const std::unique_ptr<HeldPrinter> printer = OpenChosenPrinter(wanted, &sink, &exitCode);
  if (!printer) return exitCode;
  PrinterConnection &connection = printer->connection();
  const int refused = CheckMaintenanceModel(connection);
  if (refused) {
    sink.Say("error: " + Plain(InternalString(refused == 1 ? 40 : 41)));
    return kExitNothingSent;
  }
  if (MaintenanceNeedsConfirmation(command) && !yes && !Confirmed()) {
    sink.Say("Nothing was sent.");
    return kExitNothingSent;
  }
  MaintenanceRecord chosen;
  if (!ChooseMaintenanceRecord(connection.protocolFamily, command, &chosen)) {
    sink.Say("error: this printer has no command \"" + Label(command) + "\"; nothing was sent");
    return kExitNothingSent;
  }
  LoadMaintenanceSlot(connection, chosen);
  unsigned int length = 0;
  if (RunTransaction(connection, 0, &length, chosen.writeOnly)) {
    sink.Say("error: " + Label(command) + ": " + Plain(UiText(30)));
    return kExitFailed;
  }
  Out(Label(command) + ": " + Plain(UiText(20)) + "\n");
  return kExitDone;
}
