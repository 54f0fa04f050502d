// A simulated printer on a pty that answers as a printer of the Linux usblp driver is read: one
// reply block per read, a block longer than usblp's 1024-byte read buffer in pieces of 1024 and
// a rest. For korvex's end-to-end tests and benchmarks; its answers are printer_logic.h's.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "packet_stream.h"
#include "printer_logic.h"
#include "replay.h"

struct PtyPrinterOptions {
  PrinterIdentity identity;
  // Of the faults, silent and disconnectAfter are what a pty can play: a printer that answers
  // nothing, and one that goes away (its pty closed, its link removed) once it has taken that
  // many firmware bytes. So are a real printer's flash intake rate (what it has not taken waits
  // in the pty, and the sender's writes with it) and its restart after firmware: it goes away
  // as for disconnectAfter and, unless neverBack, comes back after restartSeconds on a new pty
  // behind the same link.
  PrinterFaults faults;
  // Stops taking anything once it has taken this many firmware bytes (-1 never): the pty's
  // buffers fill and the program's writes wait, as for a printer that stalls.
  long long stallAfter = -1;
  // False: firmware bytes are counted and dropped, so that a benchmark measures the sender.
  bool keepFirmware = true;
  // Called on the printer's thread as it comes back from a restart, before its new pty is behind
  // the link: what a new enumeration changes elsewhere (a fake sysfs's device number) changes
  // there first, as the kernel numbers a device before its driver makes its node.
  std::function<void()> onBack;
  // Answers as this recording says (replay.h) instead of as identity says; told each line of
  // what differs from it as it happens, when given.
  std::shared_ptr<const Recording> replay;
  std::function<void(const std::string &)> onReplayReport;
};

class PtyPrinter {
 public:
  explicit PtyPrinter(const PtyPrinterOptions &options);
  ~PtyPrinter();
  PtyPrinter(const PtyPrinter &) = delete;
  PtyPrinter &operator=(const PtyPrinter &) = delete;

  // Opens a new pty with its slave in raw mode, makes link a symbolic link to the slave and
  // answers on a thread of its own. False with *error set when any step fails (nothing is left).
  bool Start(const std::string &link, std::string *error);
  // Stops answering, closes the pty and removes the link; waits for the thread. Safe to repeat.
  void Stop();
  // Until everything written to the pty so far has been taken (a program that has ended may
  // have left its last writes in the pty's buffers); false after timeoutMs. A reply the program
  // left unread is given up after 7 s, so the default waits longer than that.
  bool Settle(int timeoutMs = 10000) const;

  // What it has received, while it runs too: every command packet as its raw bytes, in order,
  // and the firmware bytes (kept only with keepFirmware; counted always).
  std::vector<Transfer> Packets() const;
  Transfer Firmware() const;
  uint64_t FirmwareBytes() const { return firmwareBytes_.load(); }
  // When the first and the last firmware byte came (the clock's epoch before any did), for
  // throughput measured at the printer.
  std::chrono::steady_clock::time_point FirstFirmwareByte() const;
  std::chrono::steady_clock::time_point LastFirmwareByte() const;
  // Forgets the firmware received so far: bytes, count and times.
  void ClearFirmware();
  // The sizes of the pieces of reply it has written, each one read before the next was written.
  std::vector<size_t> PiecesDelivered() const;
  // Whether the disconnectAfter fault has struck: the pty is closed and the link removed.
  bool Gone() const { return gone_.load(); }
  // Whether the stallAfter fault has struck.
  bool Stalled() const { return stalled_.load(); }
  // How often it has gone away to restart (one that never comes back included), and whether
  // its pty is there now, behind the link.
  int Restarts() const { return restarts_.load(); }
  bool Present() const { return present_.load(); }
  // The pty's slave now; a restart brings a new one.
  std::string SlaveName() const;
  // With a recording to replay: what differed from it so far, a line each, and the summary
  // (ReplayEngine::Summary); Clean once every request came as recorded.
  std::vector<std::string> ReplayReports() const;
  std::string ReplaySummary() const;
  bool ReplayClean() const;

 private:
  bool OpenPty(std::string *error);
  void Serve();
  void ComeBack();
  bool AwaitIntake(size_t bytes);
  void Take(const unsigned char *bytes, size_t length);
  void KeepFirmware(const unsigned char *bytes, size_t length);
  bool Deliver(const Transfer &block);
  void Replay(const unsigned char *bytes, size_t length);
  bool AwaitRead();
  void GoAway();
  void CloseAll();

  PtyPrinterOptions options_;
  PrinterState state_;
  FlashIntake intake_;
  std::string link_;
  bool linked_ = false;  // link_ is ours, made to the current slave
  std::string slaveName_;
  int master_ = -1;
  int slave_ = -1;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> gone_{false};
  std::atomic<bool> stalled_{false};
  std::atomic<bool> idle_{false};  // waiting for bytes, with everything read so far taken
  std::atomic<bool> present_{false};
  std::atomic<int> restarts_{0};
  std::chrono::steady_clock::time_point backAt_{};  // while away for a restart
  std::atomic<uint64_t> firmwareBytes_{0};

  mutable std::mutex fdMutex_;  // the descriptors, closed on the thread when the printer goes
  mutable std::mutex mutex_;    // guards what the accessors read
  std::vector<Transfer> packets_;
  Transfer firmware_;
  std::vector<size_t> pieces_;
  std::unique_ptr<ReplayEngine> replay_;
  std::vector<std::string> replayReports_;
  std::chrono::steady_clock::time_point firstFirmware_{};
  std::chrono::steady_clock::time_point lastFirmware_{};
};
