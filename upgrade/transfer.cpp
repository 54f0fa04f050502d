// Firmware transfer.
#include "upgrade/transfer.h"

#include <cstring>
#include <memory>

#include "device/operation_sink.h"
#include "device/transport.h"
#include "upgrade/transfer_progress.h"

namespace {

int SendOn(PrinterConnection &connection, PrinterTransport &printer, const unsigned char *data,
           uint32_t length, uint32_t total, uint32_t base, int progressOn) {
  OperationSink &sink = *connection.sink;
  const uint32_t step = ProgressStep(total);
  for (uint32_t offset = 0; offset < length; offset += kTransferChunkBytes) {
    if (sink.StopRequested()) return -1;
    const uint32_t chunk = length - offset < kTransferChunkBytes ? length - offset
                                                                 : kTransferChunkBytes;
    std::memcpy(connection.reply, data + offset, chunk);
    const uint32_t count = base + offset;
    if (progressOn && ProgressDue(count, chunk, step)) sink.TransferProgress(count, total);
    uint32_t written = 0;
    const bool wrote =
        printer.Write(connection.reply, chunk, connection.stallMilliseconds, &written);
    // From the first byte on, a run that fails has left the printer with part of its firmware.
    if (written > 0) sink.FirmwareWritten(written);
    if (!wrote || written != chunk) {
      connection.lastFailure = printer.LastFailure();
      return -1;
    }
  }
  return static_cast<int>(length);
}

}  // namespace

int SendFirmwareData(PrinterConnection &connection, const unsigned char *data, uint32_t length,
                     uint32_t total, uint32_t base, int progressOn) {
  // A question before it may have timed out; this transfer is judged by its own writes.
  connection.lastFailure = TransportFailure::None;
  if (connection.transport != nullptr) {
    return SendOn(connection, *connection.transport, data, length, total, base, progressOn);
  }
  std::unique_ptr<PrinterTransport> printer = NewPrinterTransport(connection.devicePath);
  if (!printer->Open(TransportMode::WritesOnly)) {
    connection.lastFailure = printer->LastFailure();
    return -1;
  }
  const int result = SendOn(connection, *printer, data, length, total, base, progressOn);
  printer->Close();
  return result;
}
