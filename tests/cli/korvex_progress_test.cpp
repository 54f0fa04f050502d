// korvex's progress rows as a person sees them: standard error a terminal (a pty) of a given
// width, whatever korvex wrote played on a small terminal, and the screen it leaves looked at.
// A row wider than the terminal wraps, and the board, counting one line per row, then goes back
// up too few lines at each redraw and leaves copies of the rows behind; a message written past
// the rows is drawn over at their next redraw.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bytes/package_test_support.h"
#include "cli_test_support.h"
#include "terminal_screen.h"

namespace {

using cli_test::FakeMachine;
using cli_test::KorvexRun;
using cli_test::Launch;
using cli_test::Options;
using cli_test::Orbis300;
using cli_test::RunningKorvex;
using cli_test::SingleImagePackage;
using cli_test::TerminalPiece;
using cli_test::TerminalScreen;
using package_test::Bytes;
using package_test::FirmwareLike;

using Clock = std::chrono::steady_clock;

constexpr unsigned long long kIntake = 1 << 20;  // bytes a second: two seconds of redraws
const char kFailed[] = "FAILED after firmware reached it";

TerminalScreen Replay(const KorvexRun &run) {
  TerminalScreen screen(run.terminal.front().columns);
  for (const TerminalPiece &piece : run.terminal) {
    screen.Resize(piece.columns);
    screen.Feed(piece.bytes);
  }
  return screen;
}

std::string Shown(const TerminalScreen &screen) {
  std::string text;
  for (const std::string &line : screen.Lines()) text += line + "\n";
  return text;
}

bool StartsWith(const std::string &text, const std::string &start) {
  return text.rfind(start, 0) == 0;
}

bool Contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// Until the printer has taken more than bytes of firmware (false after 15 s).
bool AwaitFirmware(const PtyPrinter &printer, uint64_t bytes) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(15);
  while (printer.FirmwareBytes() <= bytes) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Three printers that take firmware slowly, lp1 of them unplugged halfway when unplug is set.
struct Bench {
  explicit Bench(const std::string &name, bool unplug) : machine(name) {
    for (int lp = 0; lp < 3; ++lp) {
      machine.Plug(lp, "4b56", "015c", "ORB-" + std::to_string(lp));
      PtyPrinterOptions options = Options(Orbis300());
      options.faults.intakeBytesPerSecond = kIntake;
      if (unplug && lp == 1) options.faults.disconnectAfter = 1 << 20;
      printers.push_back(&machine.Attach(lp, options));
    }
    package = machine.WriteFile(
        "orbis.kfw", SingleImagePackage(Orbis300().productCode, FirmwareLike(2 << 20, 0x1B, 107)));
  }
  FakeMachine machine;
  std::vector<PtyPrinter *> printers;
  std::string package;
};

Launch OnTerminal(int columns) {
  Launch launch;
  launch.stderrTerminalColumns = columns;
  return launch;
}

// What every run on a terminal must leave: rows redrawn in place and never wrapped, and of each
// printer a single line with a percentage, its last, ending the way its upgrade did.
void ExpectRowsKeptInPlace(const TerminalScreen &screen, const std::vector<std::string> &ids,
                           const std::string &failedId) {
  EXPECT_TRUE(screen.Unknown().empty()) << screen.Unknown().front();
  EXPECT_TRUE(screen.WrappedThenRedrawn().empty()) << screen.WrappedThenRedrawn().front();
  EXPECT_GE(screen.MovesUp(), 10) << "too few redraws to tell anything";
  for (const std::string &id : ids) {
    std::vector<std::string> rows;
    for (const std::string &line : screen.Lines()) {
      if (StartsWith(line, id + ": ") && Contains(line, "%")) rows.push_back(line);
    }
    ASSERT_EQ(rows.size(), 1u) << id << "\n" << Shown(screen);
    if (id == failedId) {
      EXPECT_TRUE(Contains(rows[0], kFailed)) << rows[0];
    } else {
      EXPECT_TRUE(Contains(rows[0], "100%")) << rows[0];
      EXPECT_FALSE(Contains(rows[0], kFailed)) << rows[0];
    }
  }
}

// Three printers at once on terminals of 80 and of 40 columns, one unplugged midway: each row
// fits, and the unplugged printer's failure stays readable above the rows still running.
TEST(KorvexProgress, ThreePrintersOneUnpluggedFitTerminalsOf80And40Columns) {
  for (const int columns : {80, 40}) {
    Bench bench("progress-" + std::to_string(columns), true);
    RunningKorvex running =
        bench.machine.Start({"upgrade", bench.package, "--all"}, OnTerminal(columns));
    const KorvexRun run = bench.machine.Finish(&running, 30);
    ASSERT_EQ(run.exitCode, 5) << columns << " columns\n" << run.out << run.err;
    const TerminalScreen screen = Replay(run);
    SCOPED_TRACE(std::to_string(columns) + " columns\n" + Shown(screen));
    ExpectRowsKeptInPlace(screen, {"lp0", "lp1", "lp2"}, "lp1");
  }
}

// The window narrowed from 80 to 40 columns while the rows are drawn: the next redraw fits the
// new width (korvex is stopped meanwhile, so that nothing it drew at 80 is taken for the 40).
TEST(KorvexProgress, ANarrowedWindowIsFollowedAtTheNextRedraw) {
  Bench bench("progress-narrowed", false);
  RunningKorvex running =
      bench.machine.Start({"upgrade", bench.package, "--all"}, OnTerminal(80));
  ASSERT_TRUE(AwaitFirmware(*bench.printers[0], 512 * 1024));
  kill(running.pid, SIGSTOP);
  siginfo_t info = {};
  waitid(P_PID, static_cast<id_t>(running.pid), &info, WSTOPPED);
  running.terminal->Resize(40);
  kill(running.pid, SIGWINCH);
  kill(running.pid, SIGCONT);
  const KorvexRun run = bench.machine.Finish(&running, 30);
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  ASSERT_EQ(run.terminal.size(), 2u);
  // Rows were drawn at the new width: wider ones would have wrapped.
  EXPECT_TRUE(Contains(run.terminal[1].bytes, "F\r")) << "no redraw after the resize";
  const TerminalScreen screen = Replay(run);
  SCOPED_TRACE(Shown(screen));
  ExpectRowsKeptInPlace(screen, {"lp0", "lp1", "lp2"}, "");
}

// Ctrl+C once firmware flows warns that an interrupted transfer can leave the printers
// unusable; the warning goes above the rows, where no redraw reaches it.
TEST(KorvexProgress, TheCtrlCWarningStaysReadableAboveTheRows) {
  Bench bench("progress-ctrl-c", false);
  RunningKorvex running =
      bench.machine.Start({"upgrade", bench.package, "--all"}, OnTerminal(40));
  ASSERT_TRUE(AwaitFirmware(*bench.printers[2], 256 * 1024));
  kill(running.pid, SIGINT);
  const KorvexRun run = bench.machine.Finish(&running, 30);
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  const TerminalScreen screen = Replay(run);
  SCOPED_TRACE(Shown(screen));
  const std::vector<std::string> lines = screen.Lines();
  size_t found = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != "korvex: press Ctrl+C again to interrupt it all the same.") continue;
    ++found;
    // The warning itself, on the line before.
    ASSERT_GT(i, 0u);
    EXPECT_TRUE(StartsWith(lines[i - 1], "korvex: ")) << lines[i - 1];
    EXPECT_GT(lines[i - 1].size(), 40u) << lines[i - 1];
  }
  EXPECT_EQ(found, 1u);
  ExpectRowsKeptInPlace(screen, {"lp0", "lp1", "lp2"}, "");
}

}  // namespace
