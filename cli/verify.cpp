// Seeing a printer come back after its upgrade.
#include "cli/verify.h"

#include <thread>
#include <vector>

#include "cli/console.h"
#include "cli/interrupts.h"
#include "info/information_query.h"

namespace {

using Clock = std::chrono::steady_clock;

// Often enough to see a printer that is away for a second or two.
constexpr auto kLookInterval = std::chrono::milliseconds(200);
constexpr auto kAskInterval = std::chrono::milliseconds(1000);

// The same printer: the same serial number; without one, the same port.
bool Same(const FoundPrinter &a, const FoundPrinter &b) {
  if (!a.serial.empty() || !b.serial.empty()) return a.serial == b.serial;
  return !a.port.empty() && a.port == b.port;
}

bool Present(const FoundPrinter &printer, FoundPrinter *now) {
  std::vector<FoundPrinter> printers;
  if (!FindPrinters(&printers)) return false;
  for (const FoundPrinter &each : printers) {
    if (Same(each, printer)) {
      *now = each;
      return true;
    }
  }
  return false;
}

}  // namespace

RestartSeen WaitForRestart(const FoundPrinter &printer, Clock::time_point deadline,
                           FoundPrinter *back) {
  bool gone = false;
  for (;;) {
    if (UpgradeInterrupts::StopRequested()) return RestartSeen::Stopped;
    FoundPrinter now;
    const bool present = Present(printer, &now);
    if (!present) gone = true;
    if (gone && present) {
      *back = now;
      return RestartSeen::Back;
    }
    if (Clock::now() >= deadline) return gone ? RestartSeen::NotBack : RestartSeen::NotGone;
    std::this_thread::sleep_for(kLookInterval);
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
    std::this_thread::sleep_for(kAskInterval);
  }
}
