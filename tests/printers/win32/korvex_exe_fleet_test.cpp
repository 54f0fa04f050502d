// korvex.exe upgrading printers under Wine where the window program's ways must not reach it:
// more printers than its menu holds, a Ctrl+C while --verify waits, printers whose maker gave
// them one serial number, a raw image sent to a printer that answers no question, and a stall
// time-out too long for a write's time-out. Each printer is a simulated one of its own.
#include <gtest/gtest.h>
#include <windows.h>

#include <nlohmann/json.hpp>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "firmware/package_builder.h"
#include "gui_support.h"
#include "korvex_exe_support.h"
#include "printer_test_support.h"
#include "tests/bytes/package_test_support.h"
#include "upgrade_test_support.h"

namespace {

using package_test::FirmwareLike;

std::string Narrow(const std::wstring &text) { return std::string(text.begin(), text.end()); }

std::string Lower(std::string text) {
  for (char &c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text;
}

// The temporary folder, where the simulators keep the firmware they take; without its closing
// backslash, which would escape the quote around it on a command line.
std::wstring Folder() {
  wchar_t temporary[MAX_PATH];
  GetTempPathW(MAX_PATH, temporary);
  std::wstring folder = temporary;
  folder.pop_back();
  return folder;
}

// The firmware a simulator kept for the printer of that name (serial, and -portN), read once
// the simulator has stopped, and the file removed.
std::string TakeReceived(const std::wstring &name) {
  const std::wstring path = Folder() + L"\\sim" + name + L".bin";
  const std::string bytes = ReadFileBytes(path);
  DeleteFileW(path.c_str());
  return bytes;
}

std::string AsText(const Bytes &bytes) { return std::string(bytes.begin(), bytes.end()); }

Bytes PackageOf(const Bytes &image) {
  return BuildSingleImagePackage(reinterpret_cast<const unsigned char *>(kPrinterProductCode),
                                 image.data(), image.size(), 65536, 6);
}

std::wstring Quoted(const std::wstring &text) { return L"\"" + text + L"\""; }

// A run's JSON document (null, after a failure, when there is none).
nlohmann::json Document(const KorvexRun &run) {
  nlohmann::json document = nlohmann::json::parse(run.out, nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    ADD_FAILURE() << "no JSON document on standard output:\n" << run.out << "\n" << run.err;
    return nullptr;
  }
  return document;
}

// The result of each printer in an upgrade's document, by its id in lower case (the case of a
// device path is the system's business).
std::map<std::string, nlohmann::json> ByPrinter(const nlohmann::json &document) {
  std::map<std::string, nlohmann::json> results;
  if (!document.is_object() || !document.contains("printers")) return results;
  for (const nlohmann::json &printer : document.at("printers")) {
    const std::string id = Lower(printer.value("id", ""));
    EXPECT_EQ(results.count(id), 0u) << "two results for " << id;
    results[id] = printer;
  }
  return results;
}

// Until the simulator has said text (false after timeoutMs).
bool AwaitSimulatorLine(SimulatorProcess &simulator, const std::string &text, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  while (simulator.Output().find(text) == std::string::npos) {
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(20);
  }
  return true;
}

// The firmware bytes the printer of that name has taken, as it last logged them ("[simNAME] <-
// firmware (4096 bytes), 8192 in all"), once that count has reached at least bytes or 5 s have
// passed: a printer takes a piece some time after a write of it has ended.
unsigned long long FirmwareTakenBy(SimulatorProcess &simulator, const std::wstring &name,
                                   unsigned long long bytes) {
  const std::string line = "[sim" + Narrow(name) + "] <- firmware (";
  unsigned long long taken = 0;
  for (const DWORD start = GetTickCount(); taken < bytes && GetTickCount() - start < 5000;
       Sleep(20)) {
    const std::string output = simulator.Output();
    const size_t at = output.rfind(line);
    const size_t count = at == std::string::npos ? at : output.find("), ", at);
    if (count != std::string::npos) taken = std::stoull(output.substr(count + 3));
  }
  return taken;
}

// A field of a result, or a text that says it is missing (a document of another build may not
// have it).
nlohmann::json Field(const nlohmann::json &result, const char *name) {
  return result.contains(name) ? result.at(name) : nlohmann::json("<no " + std::string(name) + ">");
}

constexpr char kWaiting[] = "waiting for the printer to restart on its new firmware";

// One more printer than the window program's menu holds: korvex.exe lists every one and upgrades
// every one.
TEST(KorvexExeFleet, SeventeenPrintersAreAllListedAndEachGetsItsImage) {
  RemoveSimulatedInterfaces();
  constexpr size_t kPrinters = 17;
  const Bytes image = FirmwareLike(64 * 1024, 0x1B, 41);
  FirmwareFile package(L"korvex seventeen.kfw", PackageOf(image));
  std::vector<std::wstring> serials;
  std::wstring printers;
  for (size_t i = 0; i < kPrinters; ++i) {
    serials.push_back(UniqueSerial(40 + static_cast<int>(i)));
    printers += L" --printer family=2,pid=015C,serial=" + serials.back();
  }
  {
    SimulatorProcess simulator(L"--quiet --firmware-dir " + Quoted(Folder()) + printers);
    ASSERT_EQ(simulator.paths().size(), kPrinters) << simulator.Output();
    std::set<std::string> paths;
    for (const std::wstring &path : simulator.paths()) paths.insert(Lower(Narrow(path)));

    const KorvexRun list = RunKorvex(L"list --json");
    EXPECT_EQ(list.exitCode, 0) << list.err;
    const nlohmann::json listed = Document(list);
    std::set<std::string> listedPaths;
    if (listed.contains("printers")) {
      for (const nlohmann::json &printer : listed.at("printers")) {
        listedPaths.insert(Lower(printer.value("device_path", "")));
      }
      EXPECT_EQ(listed.at("printers").size(), kPrinters);
      EXPECT_EQ(Field(listed, "left_out"), nlohmann::json::array());
    }
    EXPECT_EQ(listedPaths, paths);
    EXPECT_EQ(CrLfLines(RunKorvex(L"list").out).size(), kPrinters);

    const KorvexRun run = RunKorvex(L"upgrade " + Quoted(package.path()) + L" --all --json");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::map<std::string, nlohmann::json> results = ByPrinter(Document(run));
    EXPECT_EQ(results.size(), kPrinters) << run.err;
    for (const std::string &path : paths) {
      ASSERT_EQ(results.count(path), 1u) << path << " has no result";
      EXPECT_EQ(results.at(path).value("exit_code", -1), 0) << results.at(path);
    }
    EXPECT_EQ(simulator.Stop(), 0);
  }
  for (const std::wstring &serial : serials) {
    EXPECT_TRUE(TakeReceived(serial) == AsText(image)) << "printer sim" << Narrow(serial);
  }
}

// Ctrl+C while --verify waits for a printer that never comes back ends the wait and the JSON
// document is printed: alone, the first Ctrl+C stops the run (no firmware flows then); beside a
// printer still taking its firmware, the first one only warns and the second stops both.
TEST(KorvexExeFleet, CtrlCWhileVerifyWaitsEndsTheWaitAndTheDocumentIsPrinted) {
  RemoveSimulatedInterfaces();
  const Bytes image = FirmwareLike(256 * 1024, 0x1B, 43);
  FirmwareFile package(L"korvex stop.kfw", PackageOf(image));
  const std::wstring alone = UniqueSerial(60), waited = UniqueSerial(61),
                     sending = UniqueSerial(62);
  const std::wstring neverBack =
      L",restart-after=" + std::to_wstring(image.size()) + L",never-back,serial=";
  SimulatorProcess simulator(L"--firmware-dir " + Quoted(Folder()) +
                             L" --printer family=2,pid=015C" + neverBack + alone +
                             L" --printer family=2,pid=015C" + neverBack + waited +
                             // Four seconds for the image: still taking it when stopped.
                             L" --printer family=2,pid=015C,intake=65536,serial=" + sending);
  ASSERT_EQ(simulator.paths().size(), 3u) << simulator.Output();
  const std::wstring upgrade = L"upgrade " + Quoted(package.path());
  const std::string why = "korvex.exe did not end after the stop: ";

  {
    RunningKorvex korvex(upgrade + L" --printer sim" + alone +
                         L" --verify --verify-timeout 60 --json");
    ASSERT_TRUE(AwaitSimulatorLine(simulator, "[sim" + Narrow(alone) + "] restarting", 20000))
        << simulator.Output();
    ASSERT_TRUE(korvex.AwaitErr(kWaiting, 10000)) << korvex.Finish(0).err;
    std::string failure;
    ASSERT_TRUE(korvex.PressCtrlC(&failure)) << failure;
    const KorvexRun stopped = korvex.Finish(20000);
    ASSERT_NE(stopped.exitCode, -1) << why << stopped.ended << "\n" << stopped.err;
    EXPECT_EQ(stopped.exitCode, 6) << stopped.err;
    const nlohmann::json document = Document(stopped);
    ASSERT_TRUE(document.contains("printers")) << stopped.out;
    ASSERT_EQ(document.at("printers").size(), 1u) << stopped.out;
    EXPECT_EQ(document.value("exit_code", -1), 6);
    const nlohmann::json &one = document.at("printers")[0];
    EXPECT_EQ(one.value("exit_code", -1), 6) << one;
    EXPECT_EQ(one.value("message", ""),
              "stopped by Ctrl+C while waiting for the printer to restart");
    EXPECT_EQ(one.value("bytes_sent", 0ull), image.size()) << one;
  }

  {
    RunningKorvex korvex(upgrade + L" --printer sim" + waited + L" --printer sim" + sending +
                         L" --verify --verify-timeout 60 --json");
    ASSERT_TRUE(AwaitSimulatorLine(simulator, "[sim" + Narrow(waited) + "] restarting", 20000))
        << simulator.Output();
    ASSERT_TRUE(korvex.AwaitErr(kWaiting, 10000)) << korvex.Finish(0).err;
    // On a busy machine the other printer may still be asked its questions: firmware must flow
    // to it for the first Ctrl+C to be only a warning.
    ASSERT_TRUE(AwaitSimulatorLine(simulator, "[sim" + Narrow(sending) + "] <- firmware (", 20000))
        << simulator.Output();
    std::string failure;
    ASSERT_TRUE(korvex.PressCtrlC(&failure)) << failure;
    ASSERT_TRUE(korvex.AwaitErr("press Ctrl+C again", 10000)) << why << korvex.Finish(0).err;
    ASSERT_TRUE(korvex.PressCtrlC(&failure)) << failure;
    const KorvexRun stopped = korvex.Finish(20000);
    ASSERT_NE(stopped.exitCode, -1) << why << stopped.ended << "\n" << stopped.err;
    EXPECT_EQ(stopped.exitCode, 5) << stopped.err;
    const std::map<std::string, nlohmann::json> results = ByPrinter(Document(stopped));
    ASSERT_EQ(results.size(), 2u) << stopped.out;
    const std::string waitedId = Lower(Narrow(simulator.paths()[1]));
    const std::string sendingId = Lower(Narrow(simulator.paths()[2]));
    ASSERT_EQ(results.count(waitedId) + results.count(sendingId), 2u) << stopped.out;
    EXPECT_EQ(results.at(waitedId).value("exit_code", -1), 6) << results.at(waitedId);
    EXPECT_EQ(results.at(waitedId).value("message", ""),
              "stopped by a second Ctrl+C while waiting for the printer to restart");
    EXPECT_EQ(results.at(waitedId).value("bytes_sent", 0ull), image.size());
    const nlohmann::json &cut = results.at(sendingId);
    EXPECT_EQ(cut.value("exit_code", -1), 5) << cut;
    EXPECT_EQ(cut.value("message", "").rfind("stopped by a second Ctrl+C: ", 0), 0u) << cut;
    const unsigned long long sent = cut.value("bytes_sent", 0ull);
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, image.size());
    // What korvex.exe counts as sent reached the printer; at most the piece being written when
    // it was stopped may have reached it besides.
    const unsigned long long taken = FirmwareTakenBy(simulator, sending, sent);
    EXPECT_GE(taken, sent);
    EXPECT_LE(taken, sent + 4096);
    EXPECT_EQ(simulator.Stop(), 0);
    EXPECT_EQ(TakeReceived(sending).size(), taken);
  }
  TakeReceived(alone);
  TakeReceived(waited);
}

// Two printers with one serial number, at two ports; one never comes back after its firmware.
// Each result belongs to the printer it names: the one back is seen back on its new firmware,
// the other is not taken for its twin and ends with 6.
TEST(KorvexExeFleet, PrintersWithOneSerialNumberAreToldApartByTheirPorts) {
  RemoveSimulatedInterfaces();
  const Bytes image = FirmwareLike(128 * 1024, 0x1B, 47);
  FirmwareFile package(L"korvex twins.kfw", PackageOf(image));
  const std::wstring serial = UniqueSerial(70);
  const std::wstring restarting = L"family=2,pid=015C,serial=" + serial + L",restart-after=" +
                                  std::to_wstring(image.size()) +
                                  L",restart-seconds=1,firmware-after=3.02.00";
  {
    SimulatorProcess simulator(L"--quiet --firmware-dir " + Quoted(Folder()) + L" --printer " +
                               restarting + L",port=1 --printer " + restarting +
                               L",port=2,never-back");
    ASSERT_EQ(simulator.paths().size(), 2u) << simulator.Output();
    const std::string back = Lower(Narrow(simulator.paths()[0]));
    const std::string gone = Lower(Narrow(simulator.paths()[1]));

    const KorvexRun run = RunKorvex(L"upgrade " + Quoted(package.path()) +
                                    L" --all --verify --verify-timeout 6 --json");
    EXPECT_EQ(run.exitCode, 6) << run.err;
    const std::map<std::string, nlohmann::json> results = ByPrinter(Document(run));
    ASSERT_EQ(results.size(), 2u) << run.out;
    ASSERT_EQ(results.count(back) + results.count(gone), 2u) << run.out;
    for (const std::string &id : {back, gone}) {
      EXPECT_EQ(results.at(id).value("serial", ""), "sim" + Narrow(serial)) << results.at(id);
      // Back at its own port, or not at all: never under another's id.
      EXPECT_TRUE(Field(results.at(id), "id_after").is_null()) << results.at(id);
    }
    EXPECT_EQ(results.at(back).value("exit_code", -1), 0) << results.at(back);
    EXPECT_EQ(Field(results.at(back), "firmware_after"), "3.02.00") << results.at(back);
    EXPECT_EQ(results.at(gone).value("exit_code", -1), 6) << results.at(gone);
    EXPECT_TRUE(Field(results.at(gone), "firmware_after").is_null()) << results.at(gone);
    EXPECT_EQ(results.at(gone).value("message", ""), "the printer was not back within 6 s");
    EXPECT_EQ(simulator.Stop(), 0);
  }
  for (const wchar_t *port : {L"-port1", L"-port2"}) {
    EXPECT_TRUE(TakeReceived(serial + port) == AsText(image)) << Narrow(port);
  }
}

// A printer that answers no question still takes a raw image. The version question asked for
// --verify times out before the transfer; the transfer that delivered every byte is judged by
// that, not by the question's time-out: the printer is then waited for, and not seen to restart.
TEST(KorvexExeFleet, AnUnansweredQuestionBeforeARawImageIsNoStall) {
  RemoveSimulatedInterfaces();
  const Bytes image = FirmwareLike(256 * 1024, 0x1B, 53);
  FirmwareFile raw(L"korvex raw image.bin", image);
  const std::wstring serial = UniqueSerial(80);
  {
    SimulatorProcess simulator(L"--quiet --firmware-dir " + Quoted(Folder()) +
                               L" --printer family=2,pid=015C,silent,serial=" + serial);
    ASSERT_EQ(simulator.paths().size(), 1u) << simulator.Output();
    const KorvexRun run =
        RunKorvex(L"upgrade " + Quoted(raw.path()) + L" --verify --verify-timeout 2 --json");
    EXPECT_EQ(run.exitCode, 6) << run.err;
    const nlohmann::json document = Document(run);
    ASSERT_TRUE(document.contains("printers")) << run.out;
    ASSERT_EQ(document.at("printers").size(), 1u) << run.out;
    const nlohmann::json &result = document.at("printers")[0];
    EXPECT_EQ(result.value("bytes_sent", 0ull), image.size()) << result;
    EXPECT_EQ(result.value("message", ""), "the printer did not restart within 2 s") << result;
    EXPECT_EQ(run.err.find("took nothing"), std::string::npos) << run.err;
    EXPECT_EQ(simulator.Stop(), 0);
  }
  EXPECT_TRUE(TakeReceived(serial) == AsText(image));
}

// Stall time-outs whose milliseconds do not fit a write's time-out are refused before anything
// is sent, not wrapped round to a fraction of a second; the longest one that fits is taken whole
// by a printer that needs a second for each piece.
TEST(KorvexExeFleet, AStallTimeOutOutOfRangeIsRefused) {
  RemoveSimulatedInterfaces();
  const Bytes image = FirmwareLike(12 * 1024, 0x1B, 59);
  FirmwareFile package(L"korvex stall.kfw", PackageOf(image));
  const std::wstring serial = UniqueSerial(90);
  {
    SimulatorProcess simulator(L"--firmware-dir " + Quoted(Folder()) +
                               L" --printer family=2,pid=015C,intake=4096,serial=" + serial);
    ASSERT_EQ(simulator.paths().size(), 1u) << simulator.Output();
    const std::wstring upgrade = L"upgrade " + Quoted(package.path()) + L" --stall-timeout ";
    for (const wchar_t *seconds : {L"4294968", L"536870912"}) {
      const KorvexRun refused = RunKorvex(upgrade + seconds);
      EXPECT_EQ(refused.exitCode, 2) << Narrow(seconds) << "\n" << refused.err;
      EXPECT_NE(refused.err.find("--stall-timeout"), std::string::npos) << refused.err;
    }
    // The simulator logs every transfer it takes: none so far.
    EXPECT_EQ(simulator.Output().find("] <- "), std::string::npos) << simulator.Output();
    const KorvexRun longest = RunKorvex(upgrade + L"4294967");
    EXPECT_EQ(longest.exitCode, 0) << longest.err;
    EXPECT_EQ(FirmwareTakenBy(simulator, serial, image.size()), image.size());
    EXPECT_EQ(simulator.Stop(), 0);
  }
  EXPECT_TRUE(TakeReceived(serial) == AsText(image));
}

}  // namespace
