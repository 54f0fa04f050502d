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
#include "cli/file_digest.h"
#include "cli/interrupts.h"
#include "cli/printers.h"
#include "cli/recording.h"
#include "device/transport.h"
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


const char kSha256Help[] =
    "the SHA-256 the file must have (64 hexadecimal digits); a file with another one is refused "
    "before any printer is asked anything (4)";

const CLI::Validator kSha256Text(
    [](const std::string &text) {
      return IsSha256Text(text) ? std::string() : "not 64 hexadecimal digits: " + text;
    },
    "SHA256");

int Run(int argc, char **argv) {
  TakeInterrupts();
  PrepareConsole();
  CLI::App app{kDescription, "korvex"};
  app.set_version_flag("--version", "korvex " KORVEX_PRODUCT_VERSION_TEXT);
  app.require_subcommand(1, 1);
  app.footer(kExitCodesText);

  std::string printer, file, checkSha256;
  bool json = false, yes = false, listCommands = false;
  int command = 0;
  const char kPrinterHelp[] =
      "the printer: its id from korvex list (lpN or usb:BUS-PORTS on Linux, the device path on "
      "Windows) or its USB serial number; needed when several printers are attached";
  // Options of every command, given before or after it.
  app.fallthrough();
#ifndef _WIN32
  std::string via;
  app.add_option("--via", via,
                 "the way to every printer: usblp (the kernel's driver) or libusb (usbfs; usblp "
                 "is detached from a printer it has while korvex works with it); without it, "
                 "usblp where usblp has the printer, else libusb")
      ->check(CLI::IsMember({"usblp", "libusb"}));
#endif
  std::string recordFile;
  bool redact = false;
  CLI::Option *record = app.add_option(
      "--record", recordFile,
      "record each printer's conversation to FILE (JSON Lines: every packet and reply, firmware "
      "as its length and SHA-256), for a stand-in printer to replay; with several printers, "
      "each to a file of its own: FILE with the printer's id before its extension "
      "(rec.jsonl: rec.lp0.jsonl)");
  record->type_name("FILE");
  app.add_flag("--redact", redact,
               "with --record: stand-ins in place of the printer's serial number and MAC "
               "address, the same for the same printer every time")
      ->needs(record);

  CLI::App *list = app.add_subcommand("list", "List the printers found, and those left out and why");
  list->add_flag("--json", json, "JSON on standard output");

  CLI::App *info = app.add_subcommand("info", "Read the printer's information (the seven-line text)");
  info->add_option("--printer", printer, kPrinterHelp);
  info->add_flag("--json", json, "JSON with a field each; a field not read is null, with the reason");

  UpgradeOptions upgradeOptions;
  CLI::App *upgrade = app.add_subcommand(
      "upgrade", "Check FILE as a whole, then against each printer, then send it to the printers");
  upgrade->add_option("FILE", upgradeOptions.file, "the firmware file: package or raw image")
      ->required();
  CLI::Option *upgradePrinter = upgrade->add_option(
      "--printer", upgradeOptions.printers,
      std::string(kPrinterHelp) + "; give it again for each printer to upgrade at once");
  upgrade->add_flag("--all", upgradeOptions.all, "every printer found, all at once")
      ->excludes(upgradePrinter);
  upgrade->add_option("--jobs", upgradeOptions.jobs,
                      "how many printers at once (1: one after the other); all by default")
      ->check(CLI::PositiveNumber);
  upgrade->add_flag("--json", upgradeOptions.json,
                    "JSON on standard output: a result for each printer, and the run's code");
  upgrade->add_flag("--verify", upgradeOptions.verify,
                    "wait for each printer to restart and tell the firmware it runs then "
                    "(before -> after); one not back in time ends with 6");
  upgrade->add_option("--verify-timeout", upgradeOptions.verifySeconds,
                      "seconds to wait for a printer to restart (default 600)")
      ->check(CLI::PositiveNumber);
  upgrade->add_option("--expect-version", upgradeOptions.expectVersion,
                      "with --verify: the firmware version a printer must come back with (else 6)");
  upgrade->add_option("--stall-timeout", upgradeOptions.stallSeconds,
                      "seconds a firmware write may take nothing before that printer's transfer "
                      "ends with 5 (default 120, at most 4294967)")
      ->check(CLI::Range(1, kMaxStallSeconds));
  upgrade->add_option("--expect-sha256", upgradeOptions.expectSha256, kSha256Help)
      ->check(kSha256Text);

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
  check->add_option("--expect-sha256", checkSha256, kSha256Help)->check(kSha256Text);

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
  PlanRecordings(recordFile, redact);
#ifndef _WIN32
  if (!ChoosePrinterWay(via)) return kExitUsage;
#endif
  if (list->parsed()) return RunList(json);
  if (info->parsed()) return RunInfo(printer, json);
  if (upgrade->parsed()) {
    if (!upgradeOptions.expectVersion.empty() && !upgradeOptions.verify) {
      Err("korvex: --expect-version goes with --verify\n");
      return kExitUsage;
    }
    return RunUpgrade(upgradeOptions);
  }
  if (maintenance->parsed()) {
    return listCommands ? ListMaintenanceCommands() : RunMaintenance(command, printer, yes);
  }
  return RunCheck(file, json, checkSha256);
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
