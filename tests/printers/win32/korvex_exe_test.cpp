// korvex.exe, the console program, under Wine on simulated printers: its information text and an
// upgrade read through pipes, and the command packets it sends beside the window program's.
#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/busy_state.h"
#include "app/main_window.h"
#include "app/printer_state.h"
#include "device/packets.h"
#include "firmware/package_builder.h"
#include "gui_support.h"
#include "korvex_exe_support.h"
#include "printer_test_support.h"
#include "tests/bytes/package_test_support.h"
#include "upgrade_test_support.h"

namespace {

TEST(KorvexExe, InfoOnAFamily2PrinterPrintsTheSevenLineText) {
  RemoveSimulatedInterfaces();
  SimulatorProcess simulator(L"--quiet --printer family=2,pid=015C,serial=" + UniqueSerial(1));
  ASSERT_EQ(simulator.paths().size(), 1u) << simulator.Output();

  const KorvexRun run = RunKorvex(L"info");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const std::vector<std::string> lines = CrLfLines(run.out);
  ASSERT_EQ(lines.size(), 7u) << run.out;
  EXPECT_EQ(lines[0], "Orbis 300 (4B56015C)");
  // The model code of model 301, then the MD5 of the fields in hexadecimal.
  EXPECT_TRUE(std::regex_match(lines[6], std::regex("0000012D-[0-9A-F]{32} \\(device code\\)")))
      << lines[6];
  EXPECT_EQ(simulator.Stop(), 0);
}

TEST(KorvexExe, UpgradeSendsTheImageOfASingleImagePackageAndNothingOfARefusedOne) {
  RemoveSimulatedInterfaces();
  wchar_t temporary[MAX_PATH];
  GetTempPathW(MAX_PATH, temporary);
  // Without its closing backslash, which would escape the quote around it on a command line.
  std::wstring directory = temporary;
  directory.pop_back();
  const std::wstring serial = UniqueSerial(2);
  const std::wstring received = directory + L"\\sim" + serial + L".bin";
  const Bytes image = package_test::FirmwareLike(200000, 0x1B, 11);
  auto packageFor = [&](const char *productCode) {
    return BuildSingleImagePackage(reinterpret_cast<const unsigned char *>(productCode),
                                   image.data(), image.size(), 65536, 6);
  };
  // Spaces in the name: the argument reaches the program whole only when quoted.
  FirmwareFile good(L"korvex upgrade.kfw", packageFor(kPrinterProductCode));
  FirmwareFile refused(L"korvex other printer.kfw", packageFor("KX99999Z99"));
  {
    SimulatorProcess simulator(L"--quiet --firmware-dir \"" + directory +
                               L"\" --printer family=2,pid=015C,serial=" + serial);
    ASSERT_EQ(simulator.paths().size(), 1u) << simulator.Output();

    const KorvexRun other = RunKorvex(L"upgrade \"" + refused.path() + L"\"");
    EXPECT_EQ(other.exitCode, 4) << other.err;
    const KorvexRun run = RunKorvex(L"upgrade \"" + good.path() + L"\"");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    // Stopped, the simulator has stored and closed everything it took.
    EXPECT_EQ(simulator.Stop(), 0);
  }
  // The file holds every firmware byte of the simulator's run: the refused package added none.
  const std::string stored = ReadFileBytes(received);
  EXPECT_EQ(stored.size(), image.size());
  EXPECT_TRUE(stored == std::string(image.begin(), image.end())) << "not the image's bytes";
  DeleteFileW(received.c_str());
}

// Several printers at once under Windows too: each on a thread and a connection of its own. One
// goes away halfway; it alone ends with 5, the others get the image whole, and the run's code is
// the worst.
TEST(KorvexExe, UpgradeAllSendsEveryPrinterItsImageAtOnce) {
  RemoveSimulatedInterfaces();
  wchar_t temporary[MAX_PATH];
  GetTempPathW(MAX_PATH, temporary);
  std::wstring directory = temporary;
  directory.pop_back();
  const Bytes image = package_test::FirmwareLike(600000, 0x1B, 13);
  FirmwareFile package(L"korvex fleet.kfw",
                       BuildSingleImagePackage(
                           reinterpret_cast<const unsigned char *>(kPrinterProductCode),
                           image.data(), image.size(), 65536, 6));
  std::vector<std::wstring> serials;
  std::wstring printers;
  for (int i = 0; i < 3; ++i) {
    serials.push_back(UniqueSerial(10 + i));
    // About half a second a printer at its flash's pace: the transfers overlap.
    printers += L" --printer family=2,pid=015C,intake=1048576,serial=" + serials.back() +
                (i == 1 ? L",disconnect-after=200000" : L"");
  }
  {
    SimulatorProcess simulator(L"--quiet --firmware-dir \"" + directory + L"\"" + printers);
    ASSERT_EQ(simulator.paths().size(), 3u) << simulator.Output();
    const KorvexRun run = RunKorvex(L"upgrade \"" + package.path() + L"\" --all --json");
    EXPECT_EQ(run.exitCode, 5) << run.err;
    const std::vector<std::string> lines = CrLfLines(run.out);
    int done = 0, broken = 0;
    for (const std::string &line : lines) {
      if (line.find("\"exit_code\": 0") != std::string::npos) ++done;
      if (line.find("\"exit_code\": 5") != std::string::npos) ++broken;
    }
    EXPECT_EQ(done, 2) << run.out;   // two printers
    EXPECT_EQ(broken, 2) << run.out;  // the printer gone halfway, and the run
    EXPECT_EQ(simulator.Stop(), 0);
  }
  for (size_t i = 0; i < serials.size(); ++i) {
    const std::wstring received = directory + L"\\sim" + serials[i] + L".bin";
    const std::string stored = ReadFileBytes(received);
    if (i == 1) {
      EXPECT_EQ(stored, std::string(image.begin(), image.begin() + 200000));
    } else {
      EXPECT_TRUE(stored == std::string(image.begin(), image.end())) << stored.size() << " bytes";
    }
    DeleteFileW(received.c_str());
  }
}

// The information query of korvex.exe and of the window program, on the same printer, one after
// the other: the same packets, byte for byte and in the same order, and the same text.
class WireEquivalence : public ProgramOnPrinters {};

TEST_F(WireEquivalence, InfoSendsTheWindowProgramsPacketsOnFamily2AndFamily1Printers) {
  for (int family : {2, 1}) {
    SCOPED_TRACE("family " + std::to_string(family));
    PrinterUnderTest printer(Registered(family, family));
    ASSERT_TRUE(RunCommandUntilIdle(kQueryButtonId));
    const std::wstring pane = PaneText();
    const SimulatedPrinterRecord byWindow = printer.record();
    KorvexRun run;
    RunOnWorker([&] { run = RunKorvex(L"info"); });
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const SimulatedPrinterRecord seen = printer.record();

    // Every packet recorded is one whole packet of the record received at its place, so the
    // comparison below cannot pass on missing or cut recordings.
    ASSERT_EQ(seen.packets.size(), seen.received.size());
    for (size_t i = 0; i < seen.packets.size(); ++i) {
      const unsigned char *record = nullptr;
      int recordLength = 0;
      ASSERT_TRUE(SplitPacket(seen.packets[i].data(), seen.packets[i].size(), &record,
                              &recordLength));
      const CommandRecordEntry *entry = FindCommandRecord(record, recordLength);
      ASSERT_NE(entry, nullptr);
      EXPECT_EQ(entry->name, seen.received[i]) << "packet " << i;
    }
    const size_t windowCount = byWindow.packets.size();
    ASSERT_GE(windowCount, 6u) << "six questions at least";
    const std::vector<std::string> korvexRecords(seen.received.begin() + windowCount,
                                                 seen.received.end());
    ASSERT_EQ(korvexRecords, byWindow.received);
    for (size_t i = 0; i < windowCount; ++i) {
      EXPECT_TRUE(seen.packets[windowCount + i] == byWindow.packets[i])
          << "packet " << i << " (" << byWindow.received[i] << ") differs";
    }

    // The text too: the pane's lines, as korvex.exe ends each one.
    const int n = WideCharToMultiByte(CP_UTF8, 0, pane.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string paneUtf8(static_cast<size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, pane.c_str(), -1, &paneUtf8[0], n, nullptr, nullptr);
    EXPECT_EQ(run.out, paneUtf8 + "\r\n");
  }
}

}  // namespace
