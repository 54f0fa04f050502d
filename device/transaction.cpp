// The device transaction engine and the progress ticker.
#include "device/transaction.h"

#include <cstring>

#include "app/app_state.h"
#include "app/tables.h"
#include "device/discovery.h"
#include "info/model_identification.h"

CommandSlot slotTable[kCommandSlots];
unsigned char replyBuffer[kReplyBlockBytes];

namespace {

constexpr DWORD kWriteMilliseconds = 3000;
constexpr DWORD kReadMilliseconds = 5000;
constexpr DWORD kEmptyDataPauseMilliseconds = 3000;
constexpr unsigned int kReplySearchReads = 0x40000;
constexpr int kTickerSteps = 128;
constexpr DWORD kTickerMilliseconds = 250;
constexpr int kTickerFormat = 127;  // saved pane text, dots
constexpr int kPaneUnits = 1024;

unsigned int replySearchReads = kReplySearchReads;

HANDLE OpenPrinter(DWORD flags) {
  return CreateFileW(currentDevicePath, GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
}

// What one request/reply transaction owns; released on every way out, the ticker first so that
// it has stopped writing the pane before the caller learns the outcome.
struct TransactionResources {
  HANDLE device = INVALID_HANDLE_VALUE;
  OVERLAPPED overlapped = {};
  TickerThread ticker = {};

  ~TransactionResources() {
    StopProgressTicker(&ticker);
    if (overlapped.hEvent) CloseHandle(overlapped.hEvent);
    if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
  }
};

// Waits for an overlapped read or write just started (started: what ReadFile or WriteFile
// returned). On a time-out the operation is cancelled and its end awaited, so that the buffer,
// the event and the OVERLAPPED structure are no longer in use when the caller releases them.
bool FinishOverlapped(TransactionResources &owned, BOOL started, DWORD milliseconds,
                      DWORD *count) {
  *count = 0;
  // A message larger than the read is not an error here: the read took what it asked for and
  // the rest waits for the next read, as on a USB printer's byte stream.
  if (!started && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) {
    return false;
  }
  if (WaitForSingleObject(owned.overlapped.hEvent, milliseconds) != WAIT_OBJECT_0) {
    CancelIoEx(owned.device, &owned.overlapped);
    GetOverlappedResult(owned.device, &owned.overlapped, count, TRUE);
    return false;
  }
  if (!GetOverlappedResult(owned.device, &owned.overlapped, count, TRUE)) {
    return GetLastError() == ERROR_MORE_DATA;
  }
  return true;
}

bool ReadBlock(TransactionResources &owned, DWORD bytes, DWORD *count) {
  const BOOL started = ReadFile(owned.device, replyBuffer, bytes, nullptr, &owned.overlapped);
  return FinishOverlapped(owned, started, kReadMilliseconds, count);
}

int WriteOnlyTransaction(const CommandSlot &command) {
  HANDLE device = OpenPrinter(FILE_ATTRIBUTE_NORMAL);
  if (device == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  const BOOL wrote = WriteFile(device, command.packet, static_cast<DWORD>(command.packetLength),
                               &written, nullptr);
  CloseHandle(device);
  return wrote && written == static_cast<DWORD>(command.packetLength) ? 0 : 1;
}

int RequestReplyTransaction(const CommandSlot &command, unsigned int *outLength) {
  TransactionResources owned;
  owned.overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!owned.overlapped.hEvent) return 1;
  owned.device = OpenPrinter(FILE_FLAG_OVERLAPPED);
  if (owned.device == INVALID_HANDLE_VALUE) return 1;
  owned.ticker = StartProgressTicker();

  DWORD count = 0;
  const DWORD packetLength = static_cast<DWORD>(command.packetLength);
  const BOOL writing =
      WriteFile(owned.device, command.packet, packetLength, nullptr, &owned.overlapped);
  if (!FinishOverlapped(owned, writing, kWriteMilliseconds, &count) || count != packetLength) {
    return 1;
  }

  // Blocks that do not echo this packet (the tail of an earlier reply, another command's answer)
  // are skipped. Running out of reads without the echo is a failure: the last block read is not
  // the reply, whatever it holds.
  bool matched = false;
  for (unsigned int reads = 0; reads < replySearchReads && !matched; ++reads) {
    std::memset(replyBuffer, 0, sizeof replyBuffer);
    if (!ReadBlock(owned, kReplyBlockBytes, &count) || count == 0) return 1;
    matched = ReplyHeaderMatches(replyBuffer, count, command.packet, protocolFamily);
  }
  if (!matched) return 1;

  if (command.readData == 1) {
    uint32_t length = 0;
    if (!ReadReplyDataLength(replyBuffer, sizeof replyBuffer, command.lengthOffset,
                             command.lengthWidth, &length)) {
      return 1;
    }
    if (length == 0) {
      Sleep(kEmptyDataPauseMilliseconds);
      count = 0;
    } else {
      if (length > kReplyBlockBytes) length = kReplyBlockBytes;
      // Not cleared first: bytes past a short data block keep the header's contents, which
      // callers comparing fixed lengths rely on.
      if (!ReadBlock(owned, length, &count) || count != length) return 1;
    }
  }
  *outLength = count;
  return 0;
}

}  // namespace

void ClearCommandSlots() {
  for (CommandSlot &slot : slotTable) std::memset(slot.packet, 0, sizeof slot.packet);
}

int PrepareCommandSlot(int slot, int readData, int lengthOffset, int lengthWidth,
                       const unsigned char *record, int recordLength) {
  if (slot < 0 || slot >= kCommandSlots) return 0;
  CommandSlot &command = slotTable[slot];
  command.readData = readData;
  command.lengthOffset = lengthOffset;
  command.lengthWidth = lengthWidth;
  command.packetLength = BuildPacket(recordLength, record, command.packet);
  return command.packetLength;
}

int RunTransaction(int slot, unsigned int *outLength, int writeOnly) {
  if (slot < 0 || slot >= kCommandSlots) return 1;
  const CommandSlot &command = slotTable[slot];
  if (command.packetLength <= 0 || command.packetLength > kMaxPacketBytes) return 1;
  if (writeOnly) return WriteOnlyTransaction(command);
  return RequestReplyTransaction(command, outLength);
}

DWORD WINAPI ProgressTicker(LPVOID stopEvent) {
  wchar_t saved[kPaneUnits] = {};
  GetWindowTextW(app.infoPane, saved, kPaneUnits);
  wchar_t dots[kTickerSteps + 1] = {};
  wchar_t text[kPaneUnits];
  for (int step = 0; step < kTickerSteps; ++step) {
    dots[step] = L'.';
    wsprintfW(text, InternalString(kTickerFormat), saved, dots);
    SetWindowTextW(app.infoPane, text);
    if (stopEvent) {
      if (WaitForSingleObject(static_cast<HANDLE>(stopEvent), kTickerMilliseconds) ==
          WAIT_OBJECT_0) {
        break;
      }
    } else {
      Sleep(kTickerMilliseconds);
    }
  }
  return 0;
}

TickerThread StartProgressTicker() {
  TickerThread ticker = {};
  ticker.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!ticker.stopEvent) return ticker;
  ticker.thread = CreateThread(nullptr, 0, ProgressTicker, ticker.stopEvent, CREATE_SUSPENDED,
                               nullptr);
  if (ticker.thread) {
    ResumeThread(ticker.thread);
  } else {
    CloseHandle(ticker.stopEvent);
    ticker.stopEvent = nullptr;
  }
  return ticker;
}

void StopProgressTicker(TickerThread *ticker) {
  if (ticker->thread) {
    SetEvent(ticker->stopEvent);
    WaitForSingleObject(ticker->thread, INFINITE);
    CloseHandle(ticker->thread);
  }
  if (ticker->stopEvent) CloseHandle(ticker->stopEvent);
  ticker->thread = nullptr;
  ticker->stopEvent = nullptr;
}

void SetReplySearchReadsForTesting(unsigned int reads) {
  replySearchReads = reads ? reads : kReplySearchReads;
}
