// Firmware transfer.
#include "firmware/transfer.h"

#include <cstring>
#include <memory>

#include "device/discovery.h"
#include "device/operation_sink.h"
#include "device/transaction.h"
#include "device/transport.h"
#include "firmware/transfer_progress.h"

int SendFirmwareData(const unsigned char *data, uint32_t length, uint32_t total, uint32_t base,
                     int progressOn) {
  std::unique_ptr<PrinterTransport> printer = NewPrinterTransport(currentDevicePath);
  if (!printer->Open(TransportMode::WritesOnly)) return -1;
  const int result = SendFirmwareDataOn(*printer, data, length, total, base, progressOn);
  printer->Close();
  return result;
}

int SendFirmwareDataOn(PrinterTransport &printer, const unsigned char *data, uint32_t length,
                       uint32_t total, uint32_t base, int progressOn) {
  OperationSink &sink = ActiveSink();
  const uint32_t step = ProgressStep(total);
  for (uint32_t offset = 0; offset < length; offset += kTransferChunkBytes) {
    if (sink.StopRequested()) return -1;
    const uint32_t chunk = length - offset < kTransferChunkBytes ? length - offset
                                                                 : kTransferChunkBytes;
    std::memcpy(replyBuffer, data + offset, chunk);
    const uint32_t count = base + offset;
    if (progressOn && ProgressDue(count, chunk, step)) sink.TransferProgress(count, total);
    uint32_t written = 0;
    const bool wrote = printer.Write(replyBuffer, chunk, 0, &written);
    // From the first byte on, a run that fails has left the printer with part of its firmware.
    if (written > 0) sink.FirmwareWritten(written);
    if (!wrote || written != chunk) return -1;
  }
  return static_cast<int>(length);
}
