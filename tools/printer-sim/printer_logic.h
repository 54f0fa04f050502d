// What a simulated printer does with each USB transfer it receives: command packets are
// answered with the reply layouts the tool reads, anything else is firmware. Byte level (no
// Windows headers): the pipe server of simulator.h carries the transfers.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The values a printer reports. The defaults describe a plausible printer of each family.
struct PrinterIdentity {
  int family = 2;  // which reply layouts it uses: 1 fixed records, 2 SSI/OID values
  // Family 1: header bytes 6-9 of the reply to CMD_F1_FF11.
  unsigned char modelBytes[4] = {0x4B, 0x4C, 0x10, 0x20};
  // Family 2: the decimal product model number.
  long modelNumber = 301;
  std::string firmwareVersion = "3.01.22";  // 7 characters
  std::string kernelVersion = "4.9.118";    // family 2, asked when the firmware's 2nd is no '.'
  std::string productCode = "KV30100A01";   // 10 letters and digits
  std::string macAddress = "00:1B:4B:56:01:2C";
  unsigned memoryMegabytes = 256;
  // Family 1: the data block of CMD_F1_0008. Family 2: the contents of /etc/version.
  std::string versionText = "build 2291\nOrbis firmware 3.01.22 (2023-05-14)\n";
  std::string productDate = "2023-05-14";
  std::string printName = "Orbis 300 Studio";
};

// A KL-1020 (product id 0022) of the older family, whose replies are 16-byte headers: the
// family-1 printer of korvex's end-to-end tests on stand-in printers.
PrinterIdentity Kl1020Identity();

// Per-printer misbehaviour on demand.
struct PrinterFaults {
  bool silent = false;          // takes every transfer, answers none
  int strayBlocks = 0;          // blocks that are not the reply, sent before each reply
  bool emptyBlock = false;      // a zero-length transfer before each reply
  bool zeroLength = false;      // announces an empty data block and sends none
  int shortDataBytes = 0;       // announces this many bytes more than it sends
  bool oversizeLength = false;  // announces 5000 bytes (255 in a 1-byte field), sends 4096
  bool wrongEcho = false;       // reply headers echo another command code
  long long disconnectAfter = -1;  // firmware bytes taken before it goes away; -1 never
  unsigned slowWriteMilliseconds = 0;  // pause before taking each transfer
  bool reportsIpp = false;      // starts in IPP-over-USB mode, where it answers nothing

  // Behaviour of a real printer rather than faults:
  // its flash intake, firmware bytes taken per second at most (0: as fast as they come);
  unsigned long long intakeBytesPerSecond = 0;
  // a restart once it has taken this many firmware bytes since it last started (-1: never):
  // it goes away for restartSeconds and comes back reporting firmwareAfterRestart (unchanged
  // when empty), or never comes back.
  long long restartAfter = -1;
  unsigned restartSeconds = 3;
  std::string firmwareAfterRestart;
  bool neverBack = false;
};

using Transfer = std::vector<unsigned char>;

enum class TransferKind {
  kCommand,         // a packet of a known record; replies hold its answer
  kUnknownCommand,  // a whole packet whose record the printer does not know; no answer
  kIgnored,         // a packet while in IPP mode; no answer
  kFirmware,        // anything else: firmware bytes to store
};

// Everything a printer remembers between transfers.
struct PrinterState {
  PrinterIdentity identity;
  PrinterFaults faults;
  bool ippMode = false;
  std::vector<std::string> received;  // name of every command record received, in order
  std::vector<std::string> settings;  // assignments and setting records, e.g. "OID_..._CODE=9"
  unsigned long long firmwareBytes = 0;
  unsigned long long firmwareSinceStart = 0;  // since it last started (see restartAfter)
};

PrinterState NewPrinterState(const PrinterIdentity &identity, const PrinterFaults &faults);

// Decides what a transfer is and, for a command, appends the transfers of its answer (stray
// and empty blocks of the faults included) to replies. Firmware bytes are only counted here;
// the caller stores them: as many as firmwareBytes grew (a printer that restarts takes nothing
// past the firmware it restarts after).
TransferKind HandleTransfer(PrinterState &state, const unsigned char *data, size_t length,
                            std::vector<Transfer> *replies);

// How many of length firmware bytes it takes before it restarts: all of them, or fewer when its
// restartAfter count falls among them (the rest never reaches a printer that restarts).
size_t FirmwareBeforeRestart(const PrinterState &state, size_t length);
// Whether it has taken all the firmware it restarts after.
bool RestartDue(const PrinterState &state);
// It has started again: the firmware it now reports, the count since it started, the mode.
void Restarted(PrinterState &state);

// When firmware reaches a flash of intakeBytesPerSecond: each piece is taken once the flash has
// written the pieces before it and this one. Of the time it spent idle, a few milliseconds are
// saved up, so that pieces that come a little late (the carrier's thread was not scheduled at
// once) do not slow it below its rate, and no burst longer than that outruns it. Without a rate
// a piece is taken as it arrives.
class FlashIntake {
 public:
  using Clock = std::chrono::steady_clock;
  explicit FlashIntake(unsigned long long bytesPerSecond) : bytesPerSecond_(bytesPerSecond) {}
  // When bytes that arrived at `arrived` are taken.
  Clock::time_point Due(size_t bytes, Clock::time_point arrived);

 private:
  static constexpr std::chrono::milliseconds kSavedIdle{20};
  unsigned long long bytesPerSecond_;
  Clock::time_point busyUntil_{};
};

// One log line for a received transfer, e.g. "CMD_SSI_FW_VERSION (99 bytes)".
std::string DescribeTransfer(TransferKind kind, const PrinterState &state, size_t length);
