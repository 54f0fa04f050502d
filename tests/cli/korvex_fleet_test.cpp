// korvex upgrading several printers at once, as a service bench or a print server does: each on
// a connection and a thread of its own, one's failure never stopping or slowing the others, the
// file checked once before any printer is touched, and each printer seen back on its new
// firmware. The stand-ins take firmware at a printer's pace and restart after it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "bytes/package_test_support.h"
#include "cli_test_support.h"

namespace {

using cli_test::FakeMachine;
using cli_test::KorvexRun;
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

}  // namespace
