// Listing and choosing printers.
#include "cli/printers.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <utility>

#include "cli/console.h"
#include "cli/console_sink.h"
#include "cli/english_texts.h"
#include "cli/interrupts.h"
#include "device/discovery.h"
#include "device/transport.h"
#include "info/model_identification.h"
#include "tables/tables.h"

namespace {

std::string LowerAscii(std::string text) {
  for (char &c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text;
}

std::string Describe(const FoundPrinter &printer) {
  std::string line = OneLine(printer.id) + "  " + printer.vendorId + ":" + printer.productId +
                     "  " + printer.displayName;
  if (!printer.serial.empty()) line += "  serial " + OneLine(printer.serial);
  if (!printer.via.empty()) line += "  via " + printer.via;
  return line;
}

}  // namespace

// Why there is no printer to work with: the system's reasons, the printers left out.
void SayNoPrinter(const std::vector<LeftOutPrinter> &leftOut) {
  const std::string why = WhyNoPrinterIsListed();
  Err("korvex: " + (why.empty() ? Plain(UiText(29)) : why) + "\n");
  for (const LeftOutPrinter &left : leftOut) {
    Err("korvex: " + left.id + " left out: " + left.reason + "\n");
  }
}

bool FindPrinters(std::vector<FoundPrinter> *printers, std::vector<LeftOutPrinter> *leftOut) {
  printers->clear();
  InterfaceListing listing = ListInterfacesNow();
  if (leftOut) *leftOut = listing.leftOut;
  if (!listing.listed) return false;
  for (ListedInterface &listed : listing.printers) {
    FoundPrinter printer;
    if (!MakePrinterEntry(listed.devicePath.c_str(), &printer.entry)) continue;
    printer.id = listed.info.id;
    printer.serial = listed.info.serial;
    printer.port = listed.info.port;
    printer.instance = listed.info.instance;
    printer.via = listed.info.via;
    // Where the system has it: /dev/usb/lpN or /dev/bus/usb/BBB/DDD on Linux, the interface's
    // path on Windows.
    printer.devicePath = listed.info.node.empty() ? OneLine(printer.entry.devicePath)
                                                  : OneLine(listed.info.node);
    const std::string deviceId = OneLine(printer.entry.deviceId);
    printer.vendorId = deviceId.substr(0, 4);
    printer.productId = deviceId.size() >= 8 ? deviceId.substr(4, 4) : std::string();
    printer.displayName = OneLine(printer.entry.displayName);
    printer.listed = std::move(listed);
    printers->push_back(std::move(printer));
  }
  return true;
}

bool SamePrinter(const FoundPrinter &a, const FoundPrinter &b) {
  // Without a port there is nothing but the serial number to know it by.
  if (a.port.empty() || b.port.empty()) return !a.serial.empty() && a.serial == b.serial;
  return a.port == b.port && a.serial == b.serial;
}

RecordedPrinter AsRecorded(const FoundPrinter &printer) {
  RecordedPrinter recorded;
  recorded.id = printer.id;
  recorded.serial = printer.serial;
  recorded.port = printer.port;
  recorded.way = printer.via.empty() ? "windows" : printer.via;
  recorded.vendorId = printer.vendorId;
  recorded.productId = printer.productId;
  recorded.interfaceProtocol = printer.listed.info.protocol;
  return recorded;
}

std::vector<RecordedPrinter> AsRecorded(const std::vector<FoundPrinter> &printers) {
  std::vector<RecordedPrinter> recorded;
  for (const FoundPrinter &printer : printers) recorded.push_back(AsRecorded(printer));
  return recorded;
}

int RunList(bool json) {
  std::vector<FoundPrinter> printers;
  std::vector<LeftOutPrinter> leftOut;
  const bool listed = FindPrinters(&printers, &leftOut);
  if (json) {
    nlohmann::json out = {{"printers", nlohmann::json::array()},
                          {"left_out", nlohmann::json::array()}};
    for (const FoundPrinter &printer : printers) {
      out["printers"].push_back({{"id", printer.id},
                                 {"serial", printer.serial},
                                 {"vendor_id", printer.vendorId},
                                 {"product_id", printer.productId},
                                 {"display_name", printer.displayName},
                                 {"device_path", printer.devicePath},
                                 {"via", printer.via.empty() ? nlohmann::json(nullptr)
                                                             : nlohmann::json(printer.via)}});
    }
    for (const LeftOutPrinter &left : leftOut) {
      out["left_out"].push_back({{"id", left.id}, {"reason", left.reason}});
    }
    if (printers.empty()) {
      const std::string why = WhyNoPrinterIsListed();
      out["why_none"] = why.empty() ? Plain(UiText(29)) : why;
    }
    Out(JsonText(out));
  } else {
    for (const FoundPrinter &printer : printers) Out(Describe(printer) + "\n");
    for (const LeftOutPrinter &left : leftOut) Out(left.id + "  left out: " + left.reason + "\n");
    if (printers.empty()) SayNoPrinter(leftOut);
  }
  if (!listed) Err("korvex: the system gives no list of USB printers\n");
  return printers.empty() ? kExitNoPrinter : kExitDone;
}

int ChoosePrinter(const std::string &wanted, const std::vector<FoundPrinter> &printers) {
  int chosen = -1;
  if (wanted.empty()) {
    if (printers.size() == 1) chosen = 0;
  } else {
    const std::string name = LowerAscii(wanted);
    for (size_t i = 0; i < printers.size() && chosen < 0; ++i) {
      const FoundPrinter &printer = printers[i];
      if (printer.id == wanted || LowerAscii(printer.devicePath) == name ||
          (!printer.serial.empty() && LowerAscii(printer.serial) == name)) {
        chosen = static_cast<int>(i);
      }
    }
  }
  if (chosen < 0) {
    if (wanted.empty()) {
      Err("korvex: " + std::to_string(printers.size()) +
          " printers found; name one with --printer ID:\n");
    } else {
      Err("korvex: no printer \"" + wanted + "\"; the printers found:\n");
    }
    for (const FoundPrinter &printer : printers) Err("  " + Describe(printer) + "\n");
  }
  return chosen;
}

int FindAndChoosePrinter(const std::string &wanted, std::vector<FoundPrinter> *printers,
                         int *exitCode) {
  *exitCode = kExitNoPrinter;
  std::vector<LeftOutPrinter> leftOut;
  if (!FindPrinters(printers, &leftOut)) {
    Err("korvex: the system gives no list of USB printers\n");
    return -1;
  }
  if (printers->empty()) {
    SayNoPrinter(leftOut);
    return -1;
  }
  const int chosen = ChoosePrinter(wanted, *printers);
  if (chosen >= 0) *exitCode = kExitDone;
  return chosen;
}

std::string WhyNotOpened(TransportFailure failure) {
  switch (failure) {
    case TransportFailure::Busy:
      return "the printer is in use by another program (a print job, ipp-usb or another korvex), "
             "which korvex leaves alone; try again once it is free";
    case TransportFailure::NoAccess:
      return "you may not read and write the printer's device";
    case TransportFailure::Gone:
      return "the printer has gone: unplugged or switched off";
    case TransportFailure::Cancelled:
      return "stopped";
    default:
      return "the printer cannot be opened";
  }
}

HeldPrinter::HeldPrinter(const FoundPrinter &found, OperationSink *sink)
    : found_(found), connection_(new PrinterConnection()) {
  connection_->sink = sink;
}

HeldPrinter::~HeldPrinter() { Close(); }

TransportFailure HeldPrinter::Open() {
  PrinterConnection &connection = *connection_;
  SelectListedPrinter(connection, found_.entry, found_.listed);
  IdentifyModel(connection);
  transport_ = Recorded(AsRecorded(found_), connection, NewPrinterTransport(found_.listed));
  // Known to the stop before it opens: a stop that comes while it opens ends the open.
  UpgradeInterrupts::Watch(transport_.get());
  // Request/reply mode: the transactions' time-outs, and writes that wait as long as they must.
  if (!transport_->Open(TransportMode::RequestReply)) {
    const TransportFailure failure = transport_->LastFailure();
    Close();
    return failure;
  }
  connection.transport = transport_.get();
  return TransportFailure::None;
}

void HeldPrinter::Close() {
  connection_->transport = nullptr;
  if (!transport_) return;
  // Forgotten before it is closed and freed: a stop from now on must not reach it.
  UpgradeInterrupts::Forget(transport_.get());
  transport_->Close();
  transport_.reset();
}

std::unique_ptr<HeldPrinter> OpenChosenPrinter(const std::string &wanted, ConsoleSink *sink,
                                               int *exitCode) {
  std::vector<FoundPrinter> printers;
  const int chosen = FindAndChoosePrinter(wanted, &printers, exitCode);
  if (chosen < 0) return nullptr;
  if (!OpenRecordings({AsRecorded(printers[chosen])})) {
    *exitCode = kExitUsage;
    return nullptr;
  }
  std::unique_ptr<HeldPrinter> printer(new HeldPrinter(printers[chosen], sink));
  const TransportFailure failure = printer->Open();
  if (failure != TransportFailure::None) {
    sink->Say("error: " + WhyNotOpened(failure));
    *exitCode = kExitFailed;
    return nullptr;
  }
  return printer;
}
