// The device transaction engine.
#include "device/transaction.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "device/operation_sink.h"
#include "device/transport.h"

namespace {

constexpr uint32_t kWriteMilliseconds = 3000;
constexpr uint32_t kReadMilliseconds = 5000;
constexpr auto kEmptyDataPause = std::chrono::milliseconds(3000);

// The sink is told of the wait on every way out, before the connection closes: nothing it shows
// for the wait changes once the transaction has returned.
struct WaitShown {
  explicit WaitShown(OperationSink &sink) : sink_(sink) { sink_.WaitBegins(); }
  ~WaitShown() { sink_.WaitEnds(); }
  OperationSink &sink_;
};

// The printer for one transaction: the held transport, or one opened for it and closed after.
class TransactionPrinter {
 public:
  TransactionPrinter(PrinterConnection &connection, TransportMode mode)
      : connection_(connection), printer_(connection.transport) {
    // What failed before belongs to the step before: a held connection still tells it.
    connection_.lastFailure = TransportFailure::None;
    if (printer_ == nullptr) {
      own_ = NewPrinterTransport(connection.devicePath);
      printer_ = own_.get();
      opened_ = printer_->Open(mode);
      Note();
    }
  }
  ~TransactionPrinter() {
    Note();
    if (own_) own_->Close();
  }
  bool Opened() const { return opened_; }
  PrinterTransport &operator*() const { return *printer_; }

 private:
  // What failed last, for a front end that explains it.
  void Note() {
    if (opened_ || own_) connection_.lastFailure = printer_->LastFailure();
  }
  PrinterConnection &connection_;
  PrinterTransport *printer_;
  std::unique_ptr<PrinterTransport> own_;
  bool opened_ = true;
};

int WriteOnlyTransaction(PrinterConnection &connection, const CommandSlot &command) {
  TransactionPrinter printer(connection, TransportMode::WritesOnly);
  if (!printer.Opened()) return 1;
  uint32_t written = 0;
  const uint32_t length = static_cast<uint32_t>(command.packetLength);
  const bool wrote = (*printer).Write(command.packet, length, 0, &written);
  return wrote && written == length ? 0 : 1;
}

// The data block of length bytes into the reply buffer, within one read time-out. Windows
// delivers a block in one read; the usblp driver in pieces of its 1024-byte buffer and a shorter
// rest, so the block is joined as long as every piece so far has filled that buffer (a shorter
// piece ends a USB transfer, as a short packet does). Not cleared first: bytes past a short data
// block keep the header's contents, which callers comparing fixed lengths rely on.
bool ReadDataBlock(PrinterTransport &printer, unsigned char *reply, uint32_t length,
                   uint32_t *count) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kReadMilliseconds);
  uint32_t got = 0;
  uint32_t piece = 0;
  do {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (got > 0 && left.count() <= 0) return false;
    const uint32_t wait = got == 0 ? kReadMilliseconds : static_cast<uint32_t>(left.count());
    if (!printer.Read(reply + got, length - got, wait, &piece)) return false;
    got += piece;
  } while (got < length && piece > 0 && piece % kUsblpReadPieceBytes == 0);
  *count = got;
  return true;
}

int RequestReplyTransaction(PrinterConnection &connection, const CommandSlot &command,
                            unsigned int *outLength) {
  TransactionPrinter printer(connection, TransportMode::RequestReply);
  if (!printer.Opened()) return 1;
  WaitShown wait(*connection.sink);
  unsigned char *reply = connection.reply;

  uint32_t count = 0;
  const uint32_t packetLength = static_cast<uint32_t>(command.packetLength);
  if (!(*printer).Write(command.packet, packetLength, kWriteMilliseconds, &count) ||
      count != packetLength) {
    return 1;
  }

  // Blocks that do not echo this packet (the tail of an earlier reply, another command's answer)
  // are skipped. Running out of reads without the echo is a failure: the last block read is not
  // the reply, whatever it holds.
  bool matched = false;
  for (unsigned int reads = 0; reads < connection.replySearchReads && !matched; ++reads) {
    std::memset(reply, 0, kReplyBlockBytes);
    if (!(*printer).Read(reply, kReplyBlockBytes, kReadMilliseconds, &count) || count == 0) {
      return 1;
    }
    matched = ReplyHeaderMatches(reply, count, command.packet, connection.protocolFamily);
  }
  if (!matched) return 1;

  if (command.readData == 1) {
    uint32_t length = 0;
    if (!ReadReplyDataLength(reply, kReplyBlockBytes, command.lengthOffset, command.lengthWidth,
                             &length)) {
      return 1;
    }
    if (length == 0) {
      std::this_thread::sleep_for(kEmptyDataPause);
      count = 0;
    } else {
      if (length > kReplyBlockBytes) length = kReplyBlockBytes;
      if (!ReadDataBlock(*printer, reply, length, &count) || count != length) return 1;
    }
  }
  *outLength = count;
  return 0;
}

}  // namespace

void ClearCommandSlots(PrinterConnection &connection) {
  for (CommandSlot &slot : connection.slots) std::memset(slot.packet, 0, sizeof slot.packet);
}

int PrepareCommandSlot(PrinterConnection &connection, int slot, int readData, int lengthOffset,
                       int lengthWidth, const unsigned char *record, int recordLength) {
  if (slot < 0 || slot >= kCommandSlots) return 0;
  CommandSlot &command = connection.slots[slot];
  command.readData = readData;
  command.lengthOffset = lengthOffset;
  command.lengthWidth = lengthWidth;
  command.packetLength = BuildPacket(recordLength, record, command.packet);
  return command.packetLength;
}

int RunTransaction(PrinterConnection &connection, int slot, unsigned int *outLength,
                   int writeOnly) {
  if (slot < 0 || slot >= kCommandSlots) return 1;
  const CommandSlot &command = connection.slots[slot];
  if (command.packetLength <= 0 || command.packetLength > kMaxPacketBytes) return 1;
  if (writeOnly) return WriteOnlyTransaction(connection, command);
  return RequestReplyTransaction(connection, command, outLength);
}
