// korvex upgrading several printers at once, as a service bench or a print server does: each on
// a connection and a thread of its own, one's failure never stopping or slowing the others, the
// file checked once before any printer is touched, and each printer seen back on its new
// firmware. The stand-ins take firmware at a printer's pace and restart after it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bytes/package_test_support.h"
#include "cli/console_sink.h"
#include "cli/english_texts.h"
#include "cli/printers.h"
#include "cli_test_support.h"
#include "info/information_query.h"

namespace {

using cli_test::FakeMachine;
using cli_test::KorvexRun;
using cli_test::Launch;
using cli_test::Lines;
using cli_test::RunningKorvex;
using cli_test::Options;
using cli_test::Orbis300;
using cli_test::Show;
using cli_test::SingleImagePackage;
using package_test::Bytes;
using package_test::FirmwareLike;

constexpr unsigned long long kIntake = 4 << 20;  // bytes a second

// The printer of each id in a run's JSON.
nlohmann::json ByPrinter(const KorvexRun &run) {
  const nlohmann::json document = nlohmann::json::parse(run.out);
  nlohmann::json printers = nlohmann::json::object();
  for (const nlohmann::json &printer : document.at("printers")) {
    printers[printer.at("id").get<std::string>()] = printer;
  }
  return printers;
}

PtyPrinterOptions Flash(const PrinterIdentity &identity) {
  PtyPrinterOptions options = Options(identity);
  options.faults.intakeBytesPerSecond = kIntake;
  return options;
}

// Four printers at once; one is unplugged halfway. It alone ends with 5, the others get the
// image byte for byte, and the run's code is the worst.
TEST(KorvexFleet, FourPrintersAtOnceByteForByteWithOneUnpluggedMidway) {
  FakeMachine machine("fleet-four");
  std::vector<PtyPrinter *> printers;
  const Bytes image = FirmwareLike(2 << 20, 0x1B, 83);
  for (int lp = 0; lp < 4; ++lp) {
    machine.Plug(lp, "4b56", "015c", "ORB-" + std::to_string(lp));
    PtyPrinterOptions options = Flash(Orbis300());
    if (lp == 2) options.faults.disconnectAfter = 1 << 20;
    printers.push_back(&machine.Attach(lp, options));
  }
  const std::string package =
      machine.WriteFile("orbis.kfw", SingleImagePackage(Orbis300().productCode, image));
  const KorvexRun run = machine.Korvex({"upgrade", package, "--all", "--json"});
  ASSERT_EQ(run.exitCode, 5) << Show(run);
  const nlohmann::json results = ByPrinter(run);
  EXPECT_EQ(nlohmann::json::parse(run.out).at("exit_code"), 5);
  for (int lp = 0; lp < 4; ++lp) {
    const nlohmann::json &result = results.at("lp" + std::to_string(lp));
    EXPECT_EQ(result.at("serial"), "ORB-" + std::to_string(lp));
    if (lp == 2) {
      EXPECT_EQ(result.at("exit_code"), 5) << result;
      EXPECT_TRUE(printers[lp]->Firmware() == Bytes(image.begin(), image.begin() + (1 << 20)));
    } else {
      EXPECT_EQ(result.at("exit_code"), 0) << result;
      EXPECT_EQ(result.at("bytes_sent"), image.size());
      EXPECT_TRUE(printers[lp]->Firmware() == image) << "lp" << lp;
    }
  }
}

// A damaged file is refused before any printer is asked anything; a silent printer fails on its
// own while the others are upgraded, and it does not hold them up.
TEST(KorvexFleet, ADamagedFileTouchesNoPrinterAndASilentOneDelaysNoOther) {
  FakeMachine machine("fleet-faults");
  machine.Plug(0, "4b56", "015c", "ORB-0");
  machine.Plug(1, "4b56", "015c", "ORB-1");
  machine.Plug(2, "4b56", "015c", "ORB-2");
  PtyPrinter &first = machine.Attach(0, Flash(Orbis300()));
  PtyPrinterOptions silent = Flash(Orbis300());
  silent.faults.silent = true;
  PtyPrinter &quiet = machine.Attach(1, silent);
  PtyPrinter &third = machine.Attach(2, Flash(Orbis300()));

  const Bytes image = FirmwareLike(512 * 1024, 0x1B, 89);
  Bytes damaged = SingleImagePackage(Orbis300().productCode, image);
  damaged.back() ^= 0x01;
  const KorvexRun refused =
      machine.Korvex({"upgrade", machine.WriteFile("damaged.kfw", damaged), "--all", "--json"});
  EXPECT_EQ(refused.exitCode, 4) << Show(refused);
  EXPECT_NE(refused.err.find("No printer was touched."), std::string::npos) << refused.err;
  // A script still gets a document to read: the code, and no printer in it.
  const nlohmann::json document = nlohmann::json::parse(refused.out);
  EXPECT_EQ(document.at("exit_code"), 4);
  EXPECT_TRUE(document.at("printers").empty());
  for (PtyPrinter *printer : {&first, &quiet, &third}) EXPECT_TRUE(printer->Packets().empty());

  const std::string package =
      machine.WriteFile("orbis.kfw", SingleImagePackage(Orbis300().productCode, image));
  const KorvexRun run = machine.Korvex({"upgrade", package, "--all", "--json"});
  EXPECT_EQ(run.exitCode, 4) << Show(run);
  const nlohmann::json results = ByPrinter(run);
  const double silentSeconds = results.at("lp1").at("seconds");
  EXPECT_EQ(results.at("lp1").at("exit_code"), 4);
  EXPECT_GE(silentSeconds, 5.0);  // the read time-out of its first question
  for (const char *id : {"lp0", "lp2"}) {
    EXPECT_EQ(results.at(id).at("exit_code"), 0) << results.at(id);
    EXPECT_LT(results.at(id).at("seconds").get<double>(), silentSeconds) << id;
  }
  EXPECT_TRUE(first.Firmware() == image);
  EXPECT_TRUE(third.Firmware() == image);
}

// --verify: a printer that restarts onto its new firmware is seen back with it (before -> after);
// one that never comes back ends with 6, and so does one back on another version than
// --expect-version asks for.
TEST(KorvexFleet, VerifySeesEachPrinterBackOrEndsWith6) {
  FakeMachine machine("fleet-verify");
  machine.Plug(0, "4b56", "015c", "ORB-0");
  machine.Plug(1, "4b56", "015c", "");  // no serial: known again by its port
  machine.Plug(2, "4b56", "015c", "ORB-2");
  const Bytes image = FirmwareLike(256 * 1024, 0x1B, 97);
  auto restarting = [&](const char *after, bool back) {
    PtyPrinterOptions options = Flash(Orbis300());
    options.faults.restartAfter = static_cast<long long>(image.size());
    options.faults.restartSeconds = 1;
    options.faults.firmwareAfterRestart = after;
    options.faults.neverBack = !back;
    return options;
  };
  machine.Attach(0, restarting("3.02.00", true));
  machine.Attach(1, restarting("3.02.00", true));
  machine.Attach(2, restarting("3.02.00", false));
  const std::string package =
      machine.WriteFile("orbis.kfw", SingleImagePackage(Orbis300().productCode, image));

  const KorvexRun run = machine.Korvex(
      {"upgrade", package, "--all", "--verify", "--verify-timeout", "8", "--json"});
  EXPECT_EQ(run.exitCode, 6) << Show(run);
  const nlohmann::json results = ByPrinter(run);
  for (const char *id : {"lp0", "lp1"}) {
    const nlohmann::json &result = results.at(id);
    EXPECT_EQ(result.at("exit_code"), 0) << result;
    EXPECT_EQ(result.at("firmware_before"), "3.01.22") << result;
    EXPECT_EQ(result.at("firmware_after"), "3.02.00") << result;
    EXPECT_EQ(result.at("firmware_unchanged"), false) << result;
  }
  EXPECT_EQ(results.at("lp2").at("exit_code"), 6) << results.at("lp2");
  EXPECT_EQ(results.at("lp2").at("firmware_after"), nullptr);
  EXPECT_NE(run.err.find("lp2: error: the printer was not back within 8 s"), std::string::npos)
      << run.err;

  // Back on 3.02.00, so upgraded again it comes back unchanged: fine without an expected
  // version (a warning), 6 with another one expected.
  const KorvexRun expecting = machine.Korvex({"upgrade", package, "--printer", "ORB-0", "--verify",
                                              "--verify-timeout", "8", "--expect-version",
                                              "3.03.00"});
  EXPECT_EQ(expecting.exitCode, 6) << Show(expecting);
  EXPECT_NE(expecting.err.find("back on firmware 3.02.00, not 3.03.00"), std::string::npos)
      << expecting.err;
  const KorvexRun unchanged =
      machine.Korvex({"upgrade", package, "--printer", "lp1", "--verify", "--verify-timeout", "8"});
  EXPECT_EQ(unchanged.exitCode, 0) << Show(unchanged);
  EXPECT_NE(unchanged.err.find("warning: the printer is back on the firmware version it had "
                               "before, 3.02.00"),
            std::string::npos)
      << unchanged.err;
}

// A printer that stops taking data ends that printer's run with 5 once the stall time-out has
// passed, and says how much got through.
TEST(KorvexFleet, AStalledPrinterEndsWith5AfterTheStallTimeOut) {
  FakeMachine machine("fleet-stall");
  machine.Plug(0, "4b56", "015c", "ORB-0");
  PtyPrinterOptions stalling = Options(Orbis300());
  stalling.stallAfter = 256 * 1024;
  machine.Attach(0, stalling);
  const Bytes image = FirmwareLike(1 << 20, 0x1B, 101);
  const std::string package =
      machine.WriteFile("orbis.kfw", SingleImagePackage(Orbis300().productCode, image));
  const KorvexRun run = machine.Korvex({"upgrade", package, "--stall-timeout", "2"});
  EXPECT_EQ(run.exitCode, 5) << Show(run);
  EXPECT_GE(run.seconds, 2.0);
  EXPECT_LT(run.seconds, 15.0);
  EXPECT_NE(run.err.find("stopped: the printer took nothing for 2 s: "), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find(" bytes of firmware had reached the printer"), std::string::npos)
      << run.err;
}

// Until the condition holds (false after 30 s).
template <typename Condition>
bool Await(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

PtyPrinterOptions Restarting(size_t image, const char *after, bool back) {
  PtyPrinterOptions options = Flash(Orbis300());
  options.faults.restartAfter = static_cast<long long>(image);
  options.faults.restartSeconds = 1;
  options.faults.firmwareAfterRestart = after;
  options.faults.neverBack = !back;
  return options;
}

// More printers than the window program's menu holds (16): korvex lists them all, upgrades them
// all and finds each by its id.
TEST(KorvexFleet, EighteenPrintersAreAllListedAndUpgraded) {
  constexpr int kPrinters = 18;
  FakeMachine machine("fleet-eighteen");
  std::vector<PtyPrinter *> printers;
  for (int lp = 0; lp < kPrinters; ++lp) {
    machine.Plug(lp, "4b56", "015c", "ORB-" + std::to_string(lp));
    printers.push_back(&machine.Attach(lp, Options(Orbis300())));
  }
  const KorvexRun list = machine.Korvex({"list", "--json"});
  ASSERT_EQ(list.exitCode, 0) << Show(list);
  const nlohmann::json listed = nlohmann::json::parse(list.out);
  EXPECT_EQ(listed.at("printers").size(), static_cast<size_t>(kPrinters)) << list.out;
  EXPECT_TRUE(listed.at("left_out").empty()) << list.out;
  EXPECT_EQ(Lines(machine.Korvex({"list"}).out).size(), static_cast<size_t>(kPrinters));

  const Bytes image = FirmwareLike(64 * 1024, 0x1B, 103);
  const std::string package =
      machine.WriteFile("orbis.kfw", SingleImagePackage(Orbis300().productCode, image));
  const KorvexRun run = machine.Korvex({"upgrade", package, "--all", "--json"});
  ASSERT_EQ(run.exitCode, 0) << Show(run);
  const nlohmann::json results = ByPrinter(run);
  EXPECT_EQ(results.size(), static_cast<size_t>(kPrinters));
  for (int lp = 0; lp < kPrinters; ++lp) {
    const std::string id = "lp" + std::to_string(lp);
    EXPECT_EQ(results.at(id).at("exit_code"), 0) << results.at(id);
    EXPECT_TRUE(printers[lp]->Firmware() == image) << id;
  }
  const KorvexRun last = machine.Korvex({"info", "--printer", "lp17"});
  EXPECT_EQ(last.exitCode, 0) << Show(last);
}

// Printers whose maker gave every unit the same serial number are told apart by their USB
// ports: each result belongs to the printer it names, and none is reported under another's id
// or seen back as another.
TEST(KorvexFleet, PrintersWithOneSerialNumberAreToldApartByTheirPorts) {
  FakeMachine machine("fleet-twins");
  const Bytes image = FirmwareLike(128 * 1024, 0x1B, 107);
  for (int lp = 0; lp < 3; ++lp) machine.Plug(lp, "4b56", "015c", "KV-000000");
  machine.Attach(0, Restarting(image.size(), "3.02.00", true));
  machine.Attach(1, Restarting(image.size(), "3.02.00", true));
  machine.Attach(2, Restarting(image.size(), "3.02.00", false));
  const std::string package =
      machine.WriteFile("orbis.kfw", SingleImagePackage(Orbis300().productCode, image));
  const KorvexRun run = machine.Korvex(
      {"upgrade", package, "--all", "--verify", "--verify-timeout", "6", "--json"});
  EXPECT_EQ(run.exitCode, 6) << Show(run);
  const nlohmann::json document = nlohmann::json::parse(run.out);
  std::set<std::string> ids;
  for (const nlohmann::json &printer : document.at("printers")) ids.insert(printer.at("id"));
  EXPECT_EQ(ids, (std::set<std::string>{"lp0", "lp1", "lp2"})) << run.out;
  const nlohmann::json results = ByPrinter(run);
  for (const char *id : {"lp0", "lp1"}) {
    EXPECT_EQ(results.at(id).at("exit_code"), 0) << results.at(id);
    EXPECT_EQ(results.at(id).at("firmware_after"), "3.02.00") << results.at(id);
    // Back long before the time-out: not waited out.
    EXPECT_LT(results.at(id).at("seconds").get<double>(), 5.5) << results.at(id);
  }
  EXPECT_EQ(results.at("lp2").at("exit_code"), 6) << results.at("lp2");
  EXPECT_EQ(results.at("lp2").at("firmware_after"), nullptr) << results.at("lp2");
}

// A printer back within one look (its restart takes no time at all) is still seen to have
// restarted: its USB device number has changed.
TEST(KorvexFleet, ARestartFasterThanALookIsSeenByTheNewDeviceNumber) {
  FakeMachine machine("fleet-fast-restart");
  machine.Plug(0, "4b56", "015c", "ORB-0");
  const Bytes image = FirmwareLike(128 * 1024, 0x1B, 109);
  PtyPrinterOptions options = Restarting(image.size(), "3.02.00", true);
  options.faults.restartSeconds = 0;
  PtyPrinter &printer = machine.Attach(0, options);
  const int before = machine.DeviceNumber(0);
  const std::string package =
      machine.WriteFile("orbis.kfw", SingleImagePackage(Orbis300().productCode, image));
  const KorvexRun run =
      machine.Korvex({"upgrade", package, "--verify", "--verify-timeout", "5", "--json"});
  EXPECT_EQ(run.exitCode, 0) << Show(run);
  EXPECT_EQ(printer.Restarts(), 1);
  EXPECT_NE(machine.DeviceNumber(0), before);
  EXPECT_EQ(ByPrinter(run).at("lp0").at("firmware_after"), "3.02.00") << run.out;
  EXPECT_LT(run.seconds, 4.0);
}

// A stop while --verify waits ends the wait: the printer sent whole and waited for ends with 6,
// one still taking its firmware with 5, and the JSON document is printed.
TEST(KorvexFleet, AStopWhileVerifyWaitsEndsTheWaitAndTheDocumentIsPrinted) {
  FakeMachine machine("fleet-stop-verify");
  const Bytes image = FirmwareLike(512 * 1024, 0x1B, 113);
  for (int lp = 0; lp < 3; ++lp) machine.Plug(lp, "4b56", "015c", "ORB-" + std::to_string(lp));
  PtyPrinter &waitedAlone = machine.Attach(0, Restarting(image.size(), "3.02.00", false));
  PtyPrinter &waited = machine.Attach(1, Restarting(image.size(), "3.02.00", false));
  PtyPrinterOptions slow = Options(Orbis300());
  slow.faults.intakeBytesPerSecond = 64 * 1024;
  PtyPrinter &sending = machine.Attach(2, slow);
  const std::string package =
      machine.WriteFile("orbis.kfw", SingleImagePackage(Orbis300().productCode, image));

  // Alone: Ctrl+C while it waits (no firmware flows then, so the first one stops the run).
  RunningKorvex alone = machine.Start(
      {"upgrade", package, "--printer", "lp0", "--verify", "--verify-timeout", "60", "--json"},
      Launch());
  ASSERT_TRUE(Await([&] { return waitedAlone.Restarts() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(alone.pid, SIGINT);
  const KorvexRun stopped = machine.Finish(&alone, 20);
  EXPECT_EQ(stopped.exitCode, 6) << Show(stopped);
  const nlohmann::json one = ByPrinter(stopped).at("lp0");
  EXPECT_EQ(one.at("exit_code"), 6) << one;
  EXPECT_EQ(one.at("message"), "stopped by Ctrl+C while waiting for the printer to restart");
  EXPECT_EQ(one.at("bytes_sent"), image.size());

  // In a fleet: SIGTERM while one waits and the other still takes its firmware.
  RunningKorvex fleet = machine.Start({"upgrade", package, "--printer", "lp1", "--printer", "lp2",
                                       "--verify", "--verify-timeout", "60", "--json"},
                                      Launch());
  ASSERT_TRUE(Await([&] { return waited.Restarts() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_LT(sending.FirmwareBytes(), image.size()) << "the slow printer was done too soon";
  kill(fleet.pid, SIGTERM);
  const KorvexRun both = machine.Finish(&fleet, 20);
  EXPECT_EQ(both.exitCode, 5) << Show(both);
  const nlohmann::json results = ByPrinter(both);
  EXPECT_EQ(results.at("lp1").at("exit_code"), 6) << results.at("lp1");
  EXPECT_EQ(results.at("lp2").at("exit_code"), 5) << results.at("lp2");
  EXPECT_EQ(results.at("lp2").at("bytes_sent").get<uint64_t>(), sending.FirmwareBytes());
}

// A transfer that delivered every byte is judged by that: a version question before it that the
// printer left unanswered (a printer that answers nothing still takes a raw image) is no stall.
TEST(KorvexFleet, AnUnansweredQuestionBeforeARawImageIsNoStall) {
  FakeMachine machine("fleet-raw-silent");
  machine.Plug(0, "4b56", "015c", "ORB-0");
  PtyPrinterOptions silent = Options(Orbis300());
  silent.faults.silent = true;
  PtyPrinter &printer = machine.Attach(0, silent);
  const Bytes image = FirmwareLike(256 * 1024, 0x1B, 127);
  const std::string raw = machine.WriteFile("image.bin", image);
  const KorvexRun run =
      machine.Korvex({"upgrade", raw, "--verify", "--verify-timeout", "2", "--json"});
  EXPECT_EQ(run.exitCode, 6) << Show(run);
  EXPECT_TRUE(printer.Firmware() == image);
  const nlohmann::json result = ByPrinter(run).at("lp0");
  EXPECT_EQ(result.at("bytes_sent"), image.size());
  EXPECT_EQ(result.at("message"), "the printer did not restart within 2 s") << result;
  EXPECT_EQ(run.err.find("took nothing"), std::string::npos) << run.err;
}

// A stall time-out beyond what a write's time-out can hold is refused, not wrapped around to a
// fraction of a second.
TEST(KorvexFleet, AStallTimeOutOutOfRangeIsRefused) {
  FakeMachine machine("fleet-stall-range");
  machine.Plug(0, "4b56", "015c", "ORB-0");
  PtyPrinter &printer = machine.Attach(0, Options(Orbis300()));
  const Bytes image = FirmwareLike(64 * 1024, 0x1B, 131);
  const std::string package =
      machine.WriteFile("orbis.kfw", SingleImagePackage(Orbis300().productCode, image));
  for (const char *seconds : {"4294968", "536870912"}) {
    const KorvexRun refused = machine.Korvex({"upgrade", package, "--stall-timeout", seconds});
    EXPECT_EQ(refused.exitCode, 2) << seconds << "\n" << Show(refused);
    EXPECT_NE(refused.err.find("--stall-timeout"), std::string::npos) << refused.err;
  }
  EXPECT_TRUE(printer.Packets().empty());
  const KorvexRun longest = machine.Korvex({"upgrade", package, "--stall-timeout", "4294967"});
  EXPECT_EQ(longest.exitCode, 0) << Show(longest);
  EXPECT_TRUE(printer.Firmware() == image);
}

// A listing is a value: a later one, which no longer finds a printer, changes nothing of what an
// earlier one found, and a printer of the earlier listing is still reached through it. (A printer
// looked up by its path in one listing shared by every thread was lost as soon as another
// thread's listing replaced it.)
TEST(KorvexFleet, AListingIsAValueThatNoLaterListingChanges) {
  FakeMachine machine("fleet-listing-value");
  machine.Plug(0, "4b56", "015c", "ORB-0");
  machine.Plug(1, "4b56", "015c", "ORB-1");
  machine.Attach(0, Options(Orbis300()));
  PtyPrinter &second = machine.Attach(1, Options(Orbis300()));
  ASSERT_TRUE(LoadBuiltInTables());
  setenv("KORVEX_SYSFS", machine.SysfsRoot().c_str(), 1);
  setenv("KORVEX_DEV", machine.DeviceRoot().c_str(), 1);
  std::vector<FoundPrinter> before, after;
  ASSERT_TRUE(FindPrinters(&before));
  ASSERT_EQ(before.size(), 2u);
  machine.Unplug(1);
  ASSERT_TRUE(FindPrinters(&after));
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].id, "lp0");

  EXPECT_EQ(before[1].id, "lp1");
  EXPECT_EQ(before[1].serial, "ORB-1");
  ConsoleSink sink;
  HeldPrinter held(before[1], &sink);
  ASSERT_EQ(held.Open(), TransportFailure::None);
  EXPECT_EQ(AskFirmwareVersion(held.connection()), 0);
  held.Close();
  EXPECT_FALSE(second.Packets().empty());
  unsetenv("KORVEX_SYSFS");
  unsetenv("KORVEX_DEV");
}

// Each way keeps the transfers it can in flight through the connection korvex opens for a
// printer: libusb several 4 KiB pieces, usblp writes of its own 8 KiB buffer. (A connection
// that wrapped libusb's and did not pass this on sent one piece at a time, at less than half
// the speed.)
TEST(KorvexFleet, EachWayKeepsItsTransfersInFlightThroughThePrintersConnection) {
  FakeMachine machine("fleet-ways");
  machine.Plug(0, "4b56", "015c", "ORB-0");
  machine.Plug(1, "4b56", "015c", "ORB-1");
  // lp1's interface has no driver: libusb's way, through its USB device node.
  machine.Unplug(1);
  const std::string node = machine.DeviceRoot() + "/bus/usb/001/" +
                           std::string(3 - std::to_string(machine.DeviceNumber(1)).size(), '0') +
                           std::to_string(machine.DeviceNumber(1));
  std::filesystem::create_directories(std::filesystem::path(node).parent_path());
  std::ofstream(node).put(0);
  machine.Attach(0, Options(Orbis300()));
  ASSERT_TRUE(LoadBuiltInTables());
  setenv("KORVEX_SYSFS", machine.SysfsRoot().c_str(), 1);
  setenv("KORVEX_DEV", machine.DeviceRoot().c_str(), 1);
  std::vector<FoundPrinter> printers;
  ASSERT_TRUE(FindPrinters(&printers));
  unsetenv("KORVEX_SYSFS");
  unsetenv("KORVEX_DEV");
  ASSERT_EQ(printers.size(), 2u);
  for (const FoundPrinter &printer : printers) {
    const std::unique_ptr<PrinterTransport> connection = NewPrinterTransport(printer.listed);
    if (printer.via == "libusb") {
      EXPECT_GE(connection->PiecesInFlight(), 4u) << printer.id;
    } else {
      EXPECT_EQ(printer.via, "usblp");
      EXPECT_EQ(connection->PiecesInFlight(), 2u) << printer.id;
    }
  }
}

}  // namespace
