// Seeing a printer come back after its upgrade.
#include "cli/verify.h"

#include <thread>
#include <utility>
#include <vector>

#include "cli/console.h"
#include "cli/interrupts.h"
#include "info/information_query.h"

namespace {

using Clock = std::chrono::steady_clock;

// Often enough to see a printer that is away for a second or two.
constexpr auto kLookInterval = std::chrono::milliseconds(200);
constexpr auto kAskInterval = std::chrono::milliseconds(1000);

bool Present(const FoundPrinter &printer, FoundPrinter *now) {
  std::vector<FoundPrinter> printers;
  if (!FindPrinters(&printers)) return false;
  for (FoundPrinter &each : printers) {
    if (SamePrinter(each, printer)) {
      *now = std::move(each);
      return true;
    }
  }
  return false;
}

// A pause that a stop ends early.
void Rest(Clock::duration pause) {
  const Clock::time_point end = Clock::now() + pause;
  while (!UpgradeInterrupts::StopRequested() && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

RestartSeen WaitForRestart(const FoundPrinter &printer, Clock::time_point deadline,
                           FoundPrinter *back) {
  bool gone = false;
  for (;;) {
    if (UpgradeInterrupts::StopRequested()) return RestartSeen::Stopped;
    FoundPrinter now;
    const bool present = Present(printer, &now);
    // Another device number: it went away and came back between two looks.
    if (!present || (!printer.instance.empty() && !now.instance.empty() &&
                     now.instance != printer.instance)) {
      gone = true;
    }
    if (gone && present) {
      *back = now;
      return RestartSeen::Back;
    }
    if (Clock::now() >= deadline) return gone ? RestartSeen::NotBack : RestartSeen::NotGone;
    Rest(kLookInterval);
  }
}

bool AskVersionUntil(const FoundPrinter &printer, OperationSink *sink, Clock::time_point deadline,
                     std::string *version) {
  for (;;) {
    if (UpgradeInterrupts::StopRequested()) return false;
    HeldPrinter held(printer, sink);
    if (held.Open() == TransportFailure::None && AskFirmwareVersion(held.connection()) == 0) {
      *version = OneLine(held.connection().fields.firmwareVersion);
      return true;
    }
    held.Close();
    if (Clock::now() >= deadline) return false;
    Rest(kAskInterval);
  }
}
