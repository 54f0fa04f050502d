// korvex against what can cut a transfer short or corrupt it: signals, output that nobody reads,
// other programs that want the printer, and a file that changes while it is sent. The stand-in
// printers behave as usblp does where it matters (usblp_standin_shim.c): one open at a time, and
// a write that a signal ends with EINTR after the printer has taken its bytes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bytes/package_test_support.h"
#include "cli_test_support.h"

namespace {

using cli_test::FakeMachine;
using cli_test::KorvexRun;
using cli_test::Launch;
using cli_test::MultiPartPackage;
using cli_test::Options;
using cli_test::Orbis300;
using cli_test::RunningKorvex;
using cli_test::Show;
using cli_test::SingleImagePackage;
using package_test::Bytes;
using package_test::FirmwareLike;

using Clock = std::chrono::steady_clock;

const char kWarning[] = "press Ctrl+C again to interrupt it all the same";

// The stand-ins take about 4 MiB/s: each 4096-byte write waits a millisecond for its transfer.
Launch UsblpLike() {
  Launch launch;
  launch.withStandinShim = true;
  launch.environment = {"KORVEX_STANDIN_WRITE_US=1000"};
  return launch;
}

// Until the printer has taken more than bytes of firmware (false after 30 s).
bool AwaitFirmware(const PtyPrinter &printer, uint64_t bytes) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
  while (printer.FirmwareBytes() <= bytes) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

size_t Count(const std::string &text, const std::string &what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

Bytes Part(size_t length, uint32_t mix) {
  Bytes part = FirmwareLike(length, 0x1B, mix);
  part[1] = '%';
  return part;
}

Bytes Joined(const std::vector<Bytes> &parts) {
  Bytes all;
  for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// One Ctrl+C while firmware flows: a warning, and the transfer goes on untouched. usblp's write
// returns EINTR after its transfer is under way, so a write that a signal interrupted and that
// was written again put a piece into the printer twice; a program that keeps signals away from
// its writing threads never meets that. Multi-part packages were sent from the thread the
// signal lands on.
TEST(KorvexInterrupts, OneCtrlCWhileFirmwareFlowsWarnsAndEveryByteArrivesOnce) {
  FakeMachine machine("ctrl-c-once");
  machine.Plug(0, "4b56", "015c", "");
  PtyPrinter &printer = machine.Attach(0, Options(Orbis300()));

  const std::vector<Bytes> parts = {Part(1 << 20, 41), Part(1 << 20, 43)};
  const Bytes image = FirmwareLike(2 << 20, 0x1B, 47);
  const std::vector<std::pair<std::string, Bytes>> files = {
      {machine.WriteFile("two-parts.kmp", MultiPartPackage(parts, 1)), Joined(parts)},
      {machine.WriteFile("single.kfw", SingleImagePackage(Orbis300().productCode, image)), image},
  };
  for (const auto &file : files) {
    printer.ClearFirmware();
    RunningKorvex running = machine.Start({"upgrade", file.first}, UsblpLike());
    ASSERT_TRUE(AwaitFirmware(printer, 256 * 1024)) << file.first;
    kill(running.pid, SIGINT);
    const KorvexRun run = machine.Finish(&running);
    EXPECT_EQ(run.exitCode, 0) << file.first << "\n" << Show(run);
    EXPECT_EQ(Count(run.err, kWarning), 1u) << run.err;
    EXPECT_EQ(printer.FirmwareBytes(), file.second.size()) << file.first;
    EXPECT_TRUE(printer.Firmware() == file.second) << file.first;
  }
}

// Before firmware flows, Ctrl+C stops the run: nothing sent, and no warning about a transfer
// that never began. A job started with Ctrl+C ignored (a shell's background job) keeps ignoring
// it: no warning, nothing stopped.
TEST(KorvexInterrupts, CtrlCBeforeTheTransferStopsWithNothingSentAndAnIgnoredOneStaysIgnored) {
  FakeMachine machine("ctrl-c-early");
  machine.Plug(0, "4b56", "015c", "ORB-0");
  machine.Plug(1, "4b56", "015c", "ORB-1");
  // The first printer does not answer: its checks wait for it until the Ctrl+C, however late
  // the signal comes on a busy machine.
  PtyPrinterOptions silent = Options(Orbis300());
  silent.faults.silent = true;
  PtyPrinter &waiting = machine.Attach(0, silent);
  PtyPrinter &printer = machine.Attach(1, Options(Orbis300()));
  const Bytes image = FirmwareLike(4 << 20, 0x1B, 53);
  const std::string package =
      machine.WriteFile("single.kfw", SingleImagePackage(Orbis300().productCode, image));

  // The product-code question is the first packet: the checks are under way.
  RunningKorvex early = machine.Start({"upgrade", package, "--printer", "lp0"}, UsblpLike());
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
  while (waiting.Packets().empty() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kill(early.pid, SIGINT);
  const KorvexRun stopped = machine.Finish(&early);
  EXPECT_EQ(stopped.exitCode, 4) << Show(stopped);
  EXPECT_NE(stopped.err.find("stopped by Ctrl+C before any firmware was sent"), std::string::npos)
      << stopped.err;
  EXPECT_EQ(Count(stopped.err, kWarning), 0u) << stopped.err;
  EXPECT_EQ(waiting.FirmwareBytes(), 0u);
  // The question it waited on was ended by the Ctrl+C, not by its time-out, and is not told as
  // the printer's failure.
  EXPECT_LT(stopped.seconds, 4.0) << Show(stopped);
  EXPECT_EQ(stopped.err.find("did not answer"), std::string::npos) << stopped.err;

  Launch background = UsblpLike();
  background.interruptIgnored = true;
  RunningKorvex ignoring = machine.Start({"upgrade", package, "--printer", "lp1"}, background);
  ASSERT_TRUE(AwaitFirmware(printer, 256 * 1024));
  kill(ignoring.pid, SIGINT);
  kill(ignoring.pid, SIGINT);
  const KorvexRun done = machine.Finish(&ignoring);
  EXPECT_EQ(done.exitCode, 0) << Show(done);
  EXPECT_EQ(Count(done.err, kWarning), 0u) << done.err;
  EXPECT_TRUE(printer.Firmware() == image) << printer.FirmwareBytes() << " bytes received";
}

// A printer that stops taking data holds the write for ever; SIGTERM (a service manager, a
// time-out) ends it within moments, with exit 5 and what got through.
TEST(KorvexInterrupts, TermEndsAStalledTransferWithWhatGotThrough) {
  FakeMachine machine("term-stalled");
  machine.Plug(0, "4b56", "015c", "");
  PtyPrinterOptions stalling = Options(Orbis300());
  stalling.stallAfter = 256 * 1024;
  PtyPrinter &printer = machine.Attach(0, stalling);
  const Bytes image = FirmwareLike(2 << 20, 0x1B, 59);
  const std::string package =
      machine.WriteFile("single.kfw", SingleImagePackage(Orbis300().productCode, image));

  RunningKorvex running = machine.Start({"upgrade", package}, UsblpLike());
  ASSERT_TRUE(AwaitFirmware(printer, 256 * 1024 - 1));
  // The pty's buffers fill; then every write waits.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const Clock::time_point sent = Clock::now();
  kill(running.pid, SIGTERM);
  const KorvexRun run = machine.Finish(&running, 30);
  const double seconds = std::chrono::duration<double>(Clock::now() - sent).count();
  EXPECT_EQ(run.exitCode, 5) << Show(run);
  EXPECT_LT(seconds, 2.0);
  EXPECT_NE(run.err.find("stopped by SIGTERM: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(" bytes of firmware had reached the printer"), std::string::npos)
      << run.err;
}

// korvex upgrade FILE 2>&1 | tee log, and Ctrl+C ends tee: the output has nowhere to go, and
// the transfer must not end with it.
TEST(KorvexInterrupts, OutputNobodyReadsNeverStopsATransfer) {
  FakeMachine machine("closed-output");
  machine.Plug(0, "4b56", "015c", "");
  PtyPrinter &printer = machine.Attach(0, Options(Orbis300()));
  const Bytes image = FirmwareLike(2 << 20, 0x1B, 61);
  const std::string package =
      machine.WriteFile("single.kfw", SingleImagePackage(Orbis300().productCode, image));

  Launch piped = UsblpLike();
  piped.outputToPipe = true;
  RunningKorvex running = machine.Start({"upgrade", package}, piped);
  char first[64];
  ASSERT_GT(read(running.output, first, sizeof first), 0);
  close(running.output);
  running.output = -1;
  const KorvexRun run = machine.Finish(&running);
  EXPECT_EQ(run.exitCode, 0) << "exit " << run.exitCode;
  EXPECT_TRUE(printer.Firmware() == image) << printer.FirmwareBytes() << " bytes received";
}

// usblp admits one open at a time. korvex holds the printer from the first firmware byte to the
// last, the pauses between parts included, so another program that tries meanwhile is refused
// and cannot take it halfway; and a printer another program holds before the upgrade is
// explained, with nothing sent.
TEST(KorvexInterrupts, ThePrinterIsHeldForTheWholeTransfer) {
  FakeMachine machine("held");
  machine.Plug(0, "4b56", "015c", "");
  PtyPrinter &printer = machine.Attach(0, Options(Orbis300()));
  const std::vector<Bytes> parts = {Part(512 * 1024, 67), Part(512 * 1024, 71)};
  const std::string package = machine.WriteFile("two-parts.kmp", MultiPartPackage(parts, 1));

  // As another program would: open the device and take it for a moment, again and again.
  auto tryToTake = [&]() {
    const int fd = open(machine.DevicePath(0).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool taken = flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (taken) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    close(fd);
    return taken;
  };
  RunningKorvex running = machine.Start({"upgrade", package}, UsblpLike());
  ASSERT_TRUE(AwaitFirmware(printer, 0));
  auto stillRunning = [&]() {
    siginfo_t info = {};
    return waitid(P_PID, static_cast<id_t>(running.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  };
  int refused = 0, taken = 0;
  while (printer.FirmwareBytes() < parts[0].size() + parts[1].size() && stillRunning()) {
    (tryToTake() ? taken : refused) += 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const KorvexRun run = machine.Finish(&running);
  EXPECT_EQ(run.exitCode, 0) << Show(run);
  EXPECT_EQ(taken, 0);
  EXPECT_GT(refused, 10);
  EXPECT_TRUE(printer.Firmware() == Joined(parts)) << printer.FirmwareBytes() << " bytes received";

  // Held by another program before the upgrade: explained, nothing sent.
  printer.ClearFirmware();
  const int holder = open(machine.DevicePath(0).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  RunningKorvex refusedRun = machine.Start({"upgrade", package}, UsblpLike());
  const KorvexRun held = machine.Finish(&refusedRun);
  close(holder);
  EXPECT_EQ(held.exitCode, 4) << Show(held);
  EXPECT_NE(held.err.find("in use by another program"), std::string::npos) << held.err;
  EXPECT_EQ(printer.FirmwareBytes(), 0u);
}

// Another program rewrites the raw image in place while it is sent, between the check korvex
// makes and its next read: that read must not reach the printer.
TEST(KorvexInterrupts, AFileRewrittenWhileItIsSentSendsNothingOfTheNewContent) {
  FakeMachine machine("rewritten");
  machine.Plug(0, "4b56", "015c", "");
  PtyPrinter &printer = machine.Attach(0, Options(Orbis300()));
  const Bytes image = FirmwareLike(12 << 20, 0x1B, 73);
  Bytes other = image;
  for (size_t i = 4 << 20; i < other.size(); ++i) other[i] ^= 0x5A;
  const std::string raw = machine.WriteFile("raw.bin", image);
  const std::string replacement = machine.WriteFile("replacement.bin", other);
  // The rewrite must fall in another tick of the file system's clock than the file's writing.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  Launch rewriting = UsblpLike();
  rewriting.environment.push_back("KORVEX_STANDIN_REWRITE=" + std::to_string(4 << 20) + ":1:" +
                                  raw + ":" + replacement);
  RunningKorvex running = machine.Start({"upgrade", raw}, rewriting);
  const KorvexRun run = machine.Finish(&running);
  EXPECT_EQ(run.exitCode, 5) << Show(run);
  const Bytes received = printer.Firmware();
  ASSERT_LE(received.size(), static_cast<size_t>(4 << 20));
  EXPECT_TRUE(received == Bytes(image.begin(), image.begin() + received.size()));
}

}  // namespace
