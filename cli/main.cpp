// korvex: the Korvex printer tool for scripts and servers. Lists the USB printers, reads their
// information, upgrades their firmware and sends maintenance commands, on the same protocol core
// as the window program; results on standard output (text or JSON), progress and questions on
// standard error, the outcome in the exit code.
#include <CLI/CLI.hpp>

#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/english_texts.h"
#include "cli/interrupts.h"
#include "cli/printers.h"
#include "korvex_exit_codes.h"
#include "korvex_version.h"

#ifdef _WIN32
#include "os/text.h"
#endif

namespace {

const char kDescription[] =
    "korvex: the Korvex printer tool for scripts and servers. It lists the Korvex USB printers,\n"
    "reads their information, upgrades their firmware from a file and sends maintenance\n"
    "commands, as the Korvex Firmware Tool does, without a window.";


int Run(int argc, char **argv) {
  TakeInterrupts();
  PrepareConsole();
  CLI::App app{kDescription, "korvex"};
  app.set_version_flag("--version", "korvex " KORVEX_PRODUCT_VERSION_TEXT);
  app.require_subcommand(1, 1);
  app.footer(kExitCodesText);

  std::string printer, file;
  bool json = false, all = false, yes = false, listCommands = false;
  int command = 0;
  const char kPrinterHelp[] =
      "the printer: its id from korvex list (lpN on Linux, the device path on Windows) or its "
      "USB serial number; needed when several printers are attached";

  CLI::App *list = app.add_subcommand("list", "List the printers found, and those left out and why");
  list->add_flag("--json", json, "JSON on standard output");

  CLI::App *info = app.add_subcommand("info", "Read the printer's information (the seven-line text)");
  info->add_option("--printer", printer, kPrinterHelp);
  info->add_flag("--json", json, "JSON with a field each; a field not read is null, with the reason");

  CLI::App *upgrade = app.add_subcommand(
      "upgrade", "Check FILE against the printer and as a whole, then send it to the printer");
  upgrade->add_option("FILE", file, "the firmware file: package or raw image")->required();
  CLI::Option *upgradePrinter = upgrade->add_option("--printer", printer, kPrinterHelp);
  upgrade->add_flag("--all", all, "every printer found, one after the other")
      ->excludes(upgradePrinter);

  CLI::App *maintenance = app.add_subcommand(
      "maintenance", "Send maintenance command N (1-18; --list shows them) to the printer");
  CLI::Option *number = maintenance->add_option("N", command, "the command's number, 1 to 18");
  maintenance->add_flag("--list", listCommands, "list the commands")->excludes(number);
  maintenance->add_option("--printer", printer, kPrinterHelp);
  maintenance->add_flag("--yes", yes, "confirm commands 1 and 2, which act at once, without asking");

  CLI::App *check = app.add_subcommand(
      "check", "Verify FILE as a whole, without a printer: what it holds and the verdict");
  check->add_option("FILE", file, "the firmware file")->required();
  check->add_flag("--json", json, "JSON on standard output");

  try {
    app.parse(argc, argv);
    if (maintenance->parsed() && !listCommands && number->count() == 0) {
      throw CLI::RequiredError("N (or --list)");
    }
  } catch (const CLI::ParseError &error) {
    const int code = app.exit(error, std::cout, std::cerr);
    return code == 0 ? kExitDone : kExitUsage;
  }

  if (!LoadBuiltInTables()) return kExitFailed;
  if (list->parsed()) return RunList(json);
  if (info->parsed()) return RunInfo(printer, json);
  if (upgrade->parsed()) return RunUpgrade(file, printer, all);
  if (maintenance->parsed()) {
    return listCommands ? ListMaintenanceCommands() : RunMaintenance(command, printer, yes);
  }
  return RunCheck(file, json);
}

}  // namespace

#ifdef _WIN32
// The arguments as UTF-8, so that every path reaches the file functions as it was given.
int wmain(int argc, wchar_t **wideArguments) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(EncodeUtf8(wideArguments[i], wcslen(wideArguments[i])));
  std::vector<char *> pointers;
  for (std::string &argument : arguments) pointers.push_back(&argument[0]);
  pointers.push_back(nullptr);
  return Run(argc, pointers.data());
}
#else
int main(int argc, char **argv) { return Run(argc, argv); }
#endif
