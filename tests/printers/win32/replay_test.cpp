// The recordings of tests/recordings, made by korvex on Linux, replayed through the simulated
// printer to both Windows front ends: korvex.exe (the simulator program's replay=FILE) and the
// window program (its information query and maintenance command in its own window, its upgrade
// as korvex_tool.exe FILE). Every request must be the recorded one, byte for byte, and every
// recorded request must come: a printer sees the same packets from both.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "app/built_in_tables.h"
#include "app/main_window.h"
#include "app/notice.h"
#include "box_answerer.h"
#include "device/recording_format.h"
#include "gui_support.h"
#include "korvex_exe_support.h"
#include "printer_test_support.h"
#include "tests/recordings/recorded_sessions.h"
#include "upgrade_test_support.h"

namespace {

using recorded_sessions::Firmware;
using recorded_sessions::Session;
using recorded_sessions::Sessions;

std::wstring Wide(const std::string &text) { return std::wstring(text.begin(), text.end()); }

std::wstring RecordingPath(const Session &session) {
  return std::wstring(KORVEX_RECORDINGS_DIR) + L"/" + Wide(session.name) + L".jsonl";
}

std::shared_ptr<const Recording> Load(const Session &session) {
  auto recording = std::make_shared<Recording>();
  std::string error;
  const std::wstring path = RecordingPath(session);
  EXPECT_TRUE(ReadRecordingFile(std::string(path.begin(), path.end()), recording.get(), &error))
      << error;
  return recording;
}

// A registered simulated printer of the recording's USB ids that answers as it says.
SimulatedPrinterSetup Replaying(const Session &session, int number) {
  SimulatedPrinterSetup setup = FamilyPrinter(session.family, number);
  setup.registerInterface = true;
  setup.replay = Load(session);
  setup.vendorId = Wide(setup.replay->header.vendorId);
  setup.productId = Wide(setup.replay->header.productId);
  return setup;
}

// The session's firmware file in the temporary folder, or none.
std::unique_ptr<FirmwareFile> FileOf(const Session &session) {
  if (session.firmware == Firmware::None) return nullptr;
  return std::make_unique<FirmwareFile>(Wide(session.name) + L".firmware",
                                        recorded_sessions::FirmwareFile(session.firmware));
}

void ExpectReplayedAsRecorded(const SimulatedPrinterRecord &seen) {
  EXPECT_TRUE(seen.replayReports.empty()) << seen.replayReports.front();
  EXPECT_TRUE(seen.replayClean) << seen.replaySummary;
}

// korvex.exe with the session's arguments, against korvex-printer-sim.exe replaying it: what the
// simulator program says at its end is that every request came as recorded.
TEST(ReplayToKorvexExe, EachKeptRecordingThroughTheSimulatorsReplaySetting) {
  int number = 0;
  for (const Session &session : Sessions()) {
    SCOPED_TRACE(session.name);
    RemoveSimulatedInterfaces();
    const std::unique_ptr<FirmwareFile> file = FileOf(session);
    std::wstring arguments;
    for (const std::string &argument : session.korvex) {
      arguments += argument == "FILE" ? L" \"" + file->path() + L"\"" : L" " + Wide(argument);
    }
    SimulatorProcess simulator(L"--quiet --printer replay=" + RecordingPath(session) +
                               L",serial=" + UniqueSerial(++number));
    ASSERT_EQ(simulator.paths().size(), 1u) << simulator.Output();
    // The recording's USB ids are the printer's.
    const std::string header = Load(session)->header.vendorId;
    EXPECT_NE(simulator.paths()[0].find(L"id_" + Wide(header)), std::wstring::npos);
    const KorvexRun run = RunKorvex(arguments);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(simulator.Stop(), 0);
    const std::string output = simulator.Output();
    const size_t requests = [&] {
      size_t count = 0;
      for (const RecordedEvent &recorded : Load(session)->events) {
        count += recorded.event.kind == ConversationEvent::Kind::Write ||
                 recorded.event.kind == ConversationEvent::Kind::Firmware;
      }
      return count;
    }();
    const std::string summary = "replay: " + std::to_string(requests) + " of " +
                                std::to_string(requests) + " requests as recorded, 0 differed\n";
    EXPECT_NE(output.find(summary), std::string::npos) << output;
    EXPECT_EQ(output.find("replay: line"), std::string::npos) << output;
    if (session.korvex[0] == "info") {
      EXPECT_EQ(CrLfLines(run.out).size(), 7u) << run.out;
    }
  }
}

class ReplayToWindowProgram : public ProgramOnPrinters {};

// The window's own information query and maintenance command, on the printer its discovery
// finds.
TEST_F(ReplayToWindowProgram, InformationQueryAndMaintenanceCommandAsRecorded) {
  int number = 20;
  for (const Session &session : Sessions()) {
    if (session.windowCommand == 0) continue;
    SCOPED_TRACE(session.name);
    PrinterUnderTest printer(Replaying(session, ++number));
    BoxAnswerer failureBox(UiText(22), IDOK, 30000);
    ASSERT_TRUE(RunCommandUntilIdle(session.windowCommand));
    Pump(100);
    failureBox.Stop();
    EXPECT_FALSE(failureBox.Result().found) << "no failure box";
    ExpectReplayedAsRecorded(printer.record());
    if (session.windowCommand == recorded_sessions::kQueryCommand) {
      const std::wstring pane = PaneText();
      EXPECT_EQ(pane.substr(0, pane.find(L"\r\n")),
                session.family == 1 ? L"KL-1020 (4B560022)" : L"Orbis 300 (4B56015C)");
      EXPECT_NE(pane.find(L"(device code)"), std::wstring::npos) << pane;
      if (session.redacted) {
        // The stand-in of the recording is the MAC address the window shows.
        EXPECT_NE(pane.find(L"\r\n02:"), std::wstring::npos) << pane;
      }
    } else {
      EXPECT_EQ(NoticeText(), UiText(3)) << "the success notice";
      HideNotice();
    }
  }
}

// korvex.exe records on Windows too: the way is "windows", the id the device path, the
// interface's protocol unknown (the pipe answers no driver control code); and what it recorded
// replays to the window program as to a printer.
TEST_F(ReplayToWindowProgram, ARecordingMadeByKorvexExeReplaysToTheWindowProgram) {
  const std::wstring path = TemporaryPath(L"korvex-exe-recording.jsonl");
  DeleteFileW(path.c_str());
  std::wstring devicePath;
  {
    PrinterUnderTest printer(Registered(2, 60));
    devicePath = printer.path();
    KorvexRun run;
    RunOnWorker([&] { run = RunKorvex(L"--record \"" + path + L"\" info"); });
    ASSERT_EQ(run.exitCode, 0) << run.err;
  }
  auto recording = std::make_shared<Recording>();
  std::string error;
  ASSERT_TRUE(ReadRecordingFile(std::string(path.begin(), path.end()), recording.get(), &error))
      << error;
  DeleteFileW(path.c_str());
  const RecordingHeader &header = recording->header;
  EXPECT_EQ(header.way, "windows");
  EXPECT_EQ(Wide(header.id), devicePath);
  EXPECT_EQ(header.deviceId, "4B56015C");
  EXPECT_EQ(header.interfaceProtocol, -1);
  EXPECT_EQ(header.protocolFamily, 2);

  SimulatedPrinterSetup setup = Registered(2, 61);
  setup.replay = recording;
  PrinterUnderTest printer(setup);
  ASSERT_TRUE(RunCommandUntilIdle(recorded_sessions::kQueryCommand));
  const std::wstring pane = PaneText();
  EXPECT_EQ(pane.substr(0, pane.find(L"\r\n")), L"Orbis 300 (4B56015C)");
  ExpectReplayedAsRecorded(printer.record());
}

// korvex_tool.exe FILE, as a script runs it unattended: the upgrade of each package kind.
TEST_F(ReplayToWindowProgram, UnattendedUpgradeOfEachKindAsRecorded) {
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, InternalString(11), InternalString(12), REG_SZ,
                            L"1", 2 * sizeof(wchar_t)),
            ERROR_SUCCESS);
  int number = 40;
  for (const Session &session : Sessions()) {
    if (session.windowCommand != 0) continue;
    SCOPED_TRACE(session.name);
    PrinterUnderTest printer(Replaying(session, ++number));
    const std::unique_ptr<FirmwareFile> file = FileOf(session);
    const UnattendedRun run = RunUnattended(file->path(), UiText(26), 20000, 5000);
    ASSERT_TRUE(run.started);
    EXPECT_TRUE(run.box.found) << "the result box";
    EXPECT_EQ(run.exitCode, 0) << "the whole firmware was sent";
    ExpectReplayedAsRecorded(printer.record());
  }
}

}  // namespace
