// Listing and choosing printers.
#include "cli/printers.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <mutex>

#include "cli/console.h"
#include "cli/console_sink.h"
#include "cli/english_texts.h"
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
void SayNoPrinter() {
  const std::string why = WhyNoPrinterIsListed();
  Err("korvex: " + (why.empty() ? Plain(UiText(29)) : why) + "\n");
  for (const LeftOutPrinter &left : LeftOutPrinters()) {
    Err("korvex: " + left.id + " left out: " + left.reason + "\n");
  }
}

bool FindPrinters(std::vector<FoundPrinter> *printers) {
  printers->clear();
  PrinterEntry list[kMaxPrinters];
  const int count = ListPrinterInterfaces(list, kMaxPrinters);
  if (count < 0) return false;
  for (int i = 0; i < count; ++i) {
    const PrinterEntry &entry = list[i];
    const PrinterPortInfo port = DescribePrinterInterface(entry.devicePath);
    FoundPrinter printer;
    printer.entry = entry;
    printer.id = port.id;
    printer.serial = port.serial;
    printer.port = port.port;
    printer.via = port.via;
    printer.devicePath = OneLine(entry.devicePath);
    const std::string deviceId = OneLine(entry.deviceId);
    printer.vendorId = deviceId.substr(0, 4);
    printer.productId = deviceId.size() >= 8 ? deviceId.substr(4, 4) : std::string();
    printer.displayName = OneLine(entry.displayName);
    printers->push_back(printer);
  }
  return true;
}

int RunList(bool json) {
  std::vector<FoundPrinter> printers;
  const bool listed = FindPrinters(&printers);
  const std::vector<LeftOutPrinter> leftOut = LeftOutPrinters();
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
    if (printers.empty()) SayNoPrinter();
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
  if (!FindPrinters(printers)) {
    Err("korvex: the system gives no list of USB printers\n");
    return -1;
  }
  if (printers->empty()) {
    SayNoPrinter();
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
  SelectPrinterEntry(connection, found_.entry);
  IdentifyModel(connection);
  transport_ = NewPrinterTransport(connection.devicePath);
  // Request/reply mode: the transactions' time-outs, and writes that wait as long as they must.
  if (!transport_->Open(TransportMode::RequestReply)) {
    const TransportFailure failure = transport_->LastFailure();
    transport_.reset();
    return failure;
  }
  connection.transport = transport_.get();
  return TransportFailure::None;
}

void HeldPrinter::Close() {
  connection_->transport = nullptr;
  if (transport_) transport_->Close();
  transport_.reset();
}

std::unique_ptr<HeldPrinter> OpenChosenPrinter(const std::string &wanted, ConsoleSink *sink,
                                               int *exitCode) {
  std::vector<FoundPrinter> printers;
  const int chosen = FindAndChoosePrinter(wanted, &printers, exitCode);
  if (chosen < 0) return nullptr;
  std::unique_ptr<HeldPrinter> printer(new HeldPrinter(printers[chosen], sink));
  const TransportFailure failure = printer->Open();
  if (failure != TransportFailure::None) {
    sink->Say("error: " + WhyNotOpened(failure));
    *exitCode = kExitFailed;
    return nullptr;
  }
  return printer;
}
