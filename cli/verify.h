// Seeing a printer come back after its upgrade: it installs the firmware and restarts by itself,
// so it goes away and comes back at the same USB port with the same USB serial number, and then
// tells the firmware version it runs. A restart is seen by its absence, or, where the system
// tells it, by the printer's USB device number changing: a printer back within one look was
// still restarted.
#pragma once

#include <chrono>
#include <string>

#include "cli/printers.h"

class OperationSink;

enum class RestartSeen {
  Back,      // gone, then back: *back is the printer as listed now (its id may differ)
  NotGone,   // still there when the time ran out
  NotBack,   // gone, and not back when the time ran out
  Stopped,   // the run was stopped meanwhile
};

// Waits, until deadline, for the printer to go away and come back. printer is as the printer was
// listed before its upgrade.
RestartSeen WaitForRestart(const FoundPrinter &printer,
                           std::chrono::steady_clock::time_point deadline, FoundPrinter *back);

// The firmware version the printer runs, asked until it answers or the deadline passes (a
// printer that has just come back may not take questions yet); false when it never answered.
bool AskVersionUntil(const FoundPrinter &printer, OperationSink *sink,
                     std::chrono::steady_clock::time_point deadline, std::string *version);
