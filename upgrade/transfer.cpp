// Firmware transfer.
#include "upgrade/transfer.h"

#include <cstring>
#include <memory>

#include "device/operation_sink.h"
#include "device/transport.h"
#include "upgrade/transfer_progress.h"

namespace {

// A transfer whose pieces the transport keeps in flight several at a time: each piece is
// counted, and the progress moved, once the printer has taken it.
struct Streamed {
  OperationSink *sink;
  uint32_t total;
  uint32_t count;  // the run's bytes taken so far
  uint32_t step;
  int progressOn;
};

bool PieceTaken(void *context, uint32_t bytes) {
  auto *streamed = static_cast<Streamed *>(context);
  OperationSink &sink = *streamed->sink;
  sink.FirmwareWritten(bytes);
  const uint32_t before = streamed->count;
  streamed->count += bytes;
  if (streamed->progressOn && ProgressDue(before, bytes, streamed->step)) {
    sink.TransferProgress(streamed->count, streamed->total);
  }
  return !sink.StopRequested();
}

int SendStreamed(PrinterConnection &connection, PrinterTransport &printer,
                 const unsigned char *data, uint32_t length, uint32_t total, uint32_t base,
                 int progressOn) {
  OperationSink &sink = *connection.sink;
  if (sink.StopRequested()) return -1;
  if (progressOn && base == 0) sink.TransferProgress(0, total);
  Streamed streamed = {&sink, total, base, ProgressStep(total), progressOn};
  if (!printer.WritePieces(data, length, kTransferChunkBytes, connection.stallMilliseconds,
                           PieceTaken, &streamed)) {
    connection.lastFailure = printer.LastFailure();
    return -1;
  }
  return static_cast<int>(length);
}

// Each chunk is staged in the reply buffer before it is written, as the window program writes;
// a transport held for the whole operation (the command line) is written straight from the
// data, one copy of every byte fewer.
int SendOn(PrinterConnection &connection, PrinterTransport &printer, const unsigned char *data,
           uint32_t length, uint32_t total, uint32_t base, int progressOn, bool staged) {
  OperationSink &sink = *connection.sink;
  const uint32_t step = ProgressStep(total);
  for (uint32_t offset = 0; offset < length; offset += kTransferChunkBytes) {
    if (sink.StopRequested()) return -1;
    const uint32_t chunk = length - offset < kTransferChunkBytes ? length - offset
                                                                 : kTransferChunkBytes;
    const unsigned char *piece = data + offset;
    if (staged) {
      std::memcpy(connection.reply, piece, chunk);
      piece = connection.reply;
    }
    const uint32_t count = base + offset;
    if (progressOn && ProgressDue(count, chunk, step)) sink.TransferProgress(count, total);
    uint32_t written = 0;
    const bool wrote = printer.Write(piece, chunk, connection.stallMilliseconds, &written);
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
    if (connection.transport->PiecesInFlight() > 1) {
      return SendStreamed(connection, *connection.transport, data, length, total, base,
                          progressOn);
    }
    return SendOn(connection, *connection.transport, data, length, total, base, progressOn,
                  false);
  }
  std::unique_ptr<PrinterTransport> printer = NewPrinterTransport(connection.devicePath);
  if (!printer->Open(TransportMode::WritesOnly)) {
    connection.lastFailure = printer->LastFailure();
    return -1;
  }
  const int result = SendOn(connection, *printer, data, length, total, base, progressOn, true);
  printer->Close();
  return result;
}
