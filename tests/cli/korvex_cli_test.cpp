// korvex end to end on Linux: the sanitized program of the host tree on a fake sysfs tree, its
// printers stand-ins on ptys that answer one block per read as usblp does. Each case checks what
// a user or a script depends on: the output, the exit code, and what reached the printer.
#include <gtest/gtest.h>
#include <nettle/md5.h>
#include <nettle/sha2.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "bytes/package_test_support.h"
#include "cli_test_support.h"
#include "device/packets.h"
#include "info/device_code.h"

namespace {

using cli_test::FakeMachine;
using cli_test::KorvexRun;
using cli_test::Lines;
using cli_test::Options;
using cli_test::Orbis300;
using cli_test::Show;
using cli_test::SingleImagePackage;
using package_test::Bytes;
using package_test::FirmwareLike;
using package_test::Text;

// The device code as defined: the model code, '-', and the MD5 of the identity fields and the
// program's salt, in upper-case hex.
std::string DeviceCode(const std::string &modelCode, const std::string &deviceId,
                       const PrinterIdentity &identity) {
  unsigned char salt[kDeviceCodeSaltBytes];
  BuildDeviceCodeSalt(salt);
  std::string input = identity.productCode + deviceId + modelCode + identity.macAddress +
                      identity.firmwareVersion + std::to_string(identity.memoryMegabytes);
  for (unsigned char byte : salt) {
    if (byte == 0) break;
    input.push_back(static_cast<char>(byte));
  }
  md5_ctx context;
  md5_init(&context);
  md5_update(&context, input.size(), reinterpret_cast<const uint8_t *>(input.data()));
  unsigned char digest[MD5_DIGEST_SIZE];
  md5_digest(&context, sizeof digest, digest);
  std::string code = modelCode + "-";
  for (unsigned char byte : digest) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", byte);
    code += hex;
  }
  return code;
}

Transfer PacketOf(const unsigned char *record, size_t length) {
  Transfer packet(kMaxPacketBytes);
  packet.resize(static_cast<size_t>(BuildPacket(static_cast<int>(length), record, packet.data())));
  return packet;
}

// The firmware a stand-in received after its first `before` bytes.
Transfer ReceivedSince(const PtyPrinter &printer, size_t before) {
  const Transfer all = printer.Firmware();
  return before < all.size()
             ? Transfer(all.begin() + static_cast<std::ptrdiff_t>(before), all.end())
             : Transfer();
}

TEST(KorvexOnLinux, ListsPrintersWithThoseLeftOutAndNeverGuessesAmongSeveral) {
  FakeMachine machine("list");
  machine.Plug(0, "4b56", "015c", "ORB-300-A1");
  machine.Plug(1, "4b56", "0022", "");
  machine.Plug(2, "1234", "5678", "X1");
  PtyPrinter &orbis = machine.Attach(0, Options(Orbis300()));
  PtyPrinter &kl = machine.Attach(1, Options(Kl1020Identity()));

  const KorvexRun plain = machine.Korvex({"list"});
  ASSERT_EQ(plain.exitCode, 0) << Show(plain);
  EXPECT_EQ(Lines(plain.out),
            (std::vector<std::string>{
                "lp0  4B56:015C  Orbis 300 (4B56015C)  serial ORB-300-A1  via usblp",
                "lp1  4B56:0022  KL-1020 (4B560022)  via usblp",
                "lp2  left out: 1234:5678 is not a printer this program works with",
            }));

  const KorvexRun json = machine.Korvex({"list", "--json"});
  ASSERT_EQ(json.exitCode, 0) << Show(json);
  const nlohmann::json listed = nlohmann::json::parse(json.out);
  ASSERT_EQ(listed.at("printers").size(), 2u) << json.out;
  const nlohmann::json &first = listed.at("printers").at(0);
  EXPECT_EQ(first.at("id"), "lp0");
  EXPECT_EQ(first.at("serial"), "ORB-300-A1");
  EXPECT_EQ(first.at("vendor_id"), "4B56");
  EXPECT_EQ(first.at("product_id"), "015C");
  EXPECT_EQ(first.at("display_name"), "Orbis 300 (4B56015C)");
  EXPECT_EQ(first.at("via"), "usblp");
  // A Linux device path: the device file korvex opens.
  EXPECT_EQ(first.at("device_path"), machine.DevicePath(0));
  EXPECT_EQ(listed.at("printers").at(1).at("id"), "lp1");
  EXPECT_EQ(listed.at("printers").at(1).at("serial"), "");
  EXPECT_EQ(listed.at("printers").at(1).at("device_path"), machine.DevicePath(1));
  ASSERT_EQ(listed.at("left_out").size(), 1u) << json.out;
  EXPECT_EQ(listed.at("left_out").at(0).at("id"), "lp2");
  EXPECT_EQ(listed.at("left_out").at(0).at("reason"),
            "1234:5678 is not a printer this program works with");

  // Two printers and none named: exit 3, both shown to choose from, neither asked anything.
  const KorvexRun unnamed = machine.Korvex({"info"});
  EXPECT_EQ(unnamed.exitCode, 3) << Show(unnamed);
  EXPECT_NE(unnamed.err.find("2 printers found; name one with --printer ID:"), std::string::npos)
      << unnamed.err;
  EXPECT_NE(unnamed.err.find("  lp0  4B56:015C  Orbis 300 (4B56015C)  serial ORB-300-A1  via usblp\n"),
            std::string::npos)
      << unnamed.err;
  EXPECT_NE(unnamed.err.find("  lp1  4B56:0022  KL-1020 (4B560022)  via usblp\n"), std::string::npos)
      << unnamed.err;
  EXPECT_TRUE(orbis.Packets().empty());
  EXPECT_TRUE(kl.Packets().empty());
}

TEST(KorvexOnLinux, InformationOfBothFamiliesWithALongReplyReadWhole) {
  FakeMachine machine("info");
  machine.Plug(0, "4b56", "0022", "");
  machine.Plug(1, "4b56", "015c", "ORB-300-A1");
  const PrinterIdentity kl = Kl1020Identity(), orbis = Orbis300();
  machine.Attach(0, Options(kl));
  PtyPrinter &orbisPrinter = machine.Attach(1, Options(orbis));

  // Family 1: every reply but three is a 16-byte header alone, each its own read.
  const KorvexRun plain = machine.Korvex({"info", "--printer", "lp0"});
  ASSERT_EQ(plain.exitCode, 0) << Show(plain);
  EXPECT_EQ(Lines(plain.out), (std::vector<std::string>{
                                  "KL-1020 (4B560022)",
                                  "1.20.07 (firmware)",
                                  "KL10220B01 (product code)",
                                  "00:1B:4B:56:00:22 (MAC address)",
                                  "128 MB (memory)",
                                  "KL-1020 boot 1.4 engine 1.20.07 (version)",
                                  DeviceCode("4B4C1022", "4B560022", kl) + " (device code)",
                              }));

  // Family 2, chosen by its serial number in another letter case.
  const KorvexRun json = machine.Korvex({"info", "--printer", "orb-300-a1", "--json"});
  ASSERT_EQ(json.exitCode, 0) << Show(json);
  const nlohmann::json info = nlohmann::json::parse(json.out);
  EXPECT_EQ(info.at("id"), "lp1");
  EXPECT_EQ(info.at("display_name"), "Orbis 300 (4B56015C)");
  EXPECT_EQ(info.at("protocol_family"), 2);
  EXPECT_EQ(info.at("model_code"), "0000012D");  // 301
  EXPECT_EQ(info.at("firmware_version"), orbis.firmwareVersion);
  EXPECT_EQ(info.at("product_code"), orbis.productCode);
  EXPECT_EQ(info.at("mac_address"), orbis.macAddress);
  EXPECT_EQ(info.at("memory_mb"), orbis.memoryMegabytes);
  EXPECT_EQ(info.at("version_text"), "Orbis firmware 3.01.22 (2023-05-14)");
  EXPECT_EQ(info.at("device_code"), DeviceCode("0000012D", "4B56015C", orbis));
  EXPECT_TRUE(info.at("errors").empty()) << info.at("errors");

  // The version text went out as usblp splits it: two full pieces, then the rest.
  const std::vector<size_t> pieces = orbisPrinter.PiecesDelivered();
  const std::vector<size_t> split = {1024, 1024, orbis.versionText.size() - 2048};
  EXPECT_NE(std::search(pieces.begin(), pieces.end(), split.begin(), split.end()), pieces.end());
}

TEST(KorvexOnLinux, UpgradesFromEachFileKindArriveByteForByte) {
  FakeMachine machine("upgrade");
  machine.Plug(0, "4b56", "0022", "");
  machine.Plug(1, "4b56", "015c", "");
  const PrinterIdentity kl = Kl1020Identity(), orbis = Orbis300();
  PtyPrinter &klPrinter = machine.Attach(0, Options(kl));
  PtyPrinter &orbisPrinter = machine.Attach(1, Options(orbis));

  // A single-image package: its blocks arrive inflated.
  const Bytes image = FirmwareLike(300000, 0x1B, 7);
  const std::string package =
      machine.WriteFile("single.kfw", SingleImagePackage(kl.productCode, image));
  const KorvexRun single = machine.Korvex({"upgrade", package, "--printer", "lp0"});
  EXPECT_EQ(single.exitCode, 0) << Show(single);
  EXPECT_TRUE(klPrinter.Firmware() == image) << klPrinter.FirmwareBytes() << " bytes received";

  // A multi-part package of two parts: they arrive decrypted, each followed by its pause.
  Bytes part1 = FirmwareLike(40000, 0x1B, 11), part2 = FirmwareLike(30000, 0x1B, 13);
  part1[1] = part2[1] = '%';
  unsigned char descriptor[kDescriptorLength];
  MakeDescriptor(descriptor, Text(orbis.productCode.c_str()), Text(orbis.firmwareVersion.c_str()),
                 Text("4B56015C"), '2');
  Bytes multi;
  AppendMultiPartHeader(multi, descriptor);
  AppendPart(multi, Text(orbis.productCode.c_str()), 1, part1.data(), part1.size());
  AppendPart(multi, Text(orbis.productCode.c_str()), 1, part2.data(), part2.size());
  const KorvexRun parts =
      machine.Korvex({"upgrade", machine.WriteFile("multi.kmp", multi), "--printer", "lp1"});
  EXPECT_EQ(parts.exitCode, 0) << Show(parts);
  Bytes both = part1;
  both.insert(both.end(), part2.begin(), part2.end());
  EXPECT_TRUE(orbisPrinter.Firmware() == both) << orbisPrinter.FirmwareBytes() << " bytes received";
  EXPECT_GE(parts.seconds, 2.0);

  // A raw image: the file as it is.
  const size_t before = orbisPrinter.Firmware().size();
  const Bytes raw = FirmwareLike(200000, 0x1B, 17);
  const KorvexRun rawRun =
      machine.Korvex({"upgrade", machine.WriteFile("raw.bin", raw), "--printer", "lp1"});
  EXPECT_EQ(rawRun.exitCode, 0) << Show(rawRun);
  EXPECT_TRUE(ReceivedSince(orbisPrinter, before) == raw)
      << orbisPrinter.FirmwareBytes() - before << " bytes received";
}

TEST(KorvexOnLinux, DamagedPackageSendsNothingAndAPrinterGoneMidwayEndsWith5) {
  FakeMachine machine("failed-upgrade");
  machine.Plug(0, "4b56", "015c", "");
  machine.Plug(1, "4b56", "015d", "");
  const PrinterIdentity orbis = Orbis300();
  PtyPrinter &intact = machine.Attach(0, Options(orbis));
  PtyPrinterOptions leaving = Options(orbis);
  // Gone early in the last of the package's 64 KiB blocks, once the walk has nothing left to
  // read, and long enough before its end for the writes after it to fail (a pty buffers a few
  // KiB that a printer would refuse).
  constexpr size_t kGoneAfter = (1 << 20) - 65536 + 4096;
  leaving.faults.disconnectAfter = kGoneAfter;
  PtyPrinter &gone = machine.Attach(1, leaving);

  // The last block's checksum is wrong: the whole file is checked before the first byte goes.
  const Bytes image = FirmwareLike(300000, 0x1B, 19);
  Bytes damaged = SingleImagePackage(orbis.productCode, image);
  damaged.back() ^= 0x01;
  const KorvexRun refused =
      machine.Korvex({"upgrade", machine.WriteFile("damaged.kfw", damaged), "--printer", "lp0"});
  EXPECT_EQ(refused.exitCode, 4) << Show(refused);
  EXPECT_NE(refused.err.find("A firmware block cannot be unpacked."), std::string::npos)
      << refused.err;
  EXPECT_EQ(intact.FirmwareBytes(), 0u);

  // Unplugged during the last block of a 1 MiB image: its writes fail, and the code says that
  // part of the firmware is in the printer, not that it was all sent.
  const Bytes large = FirmwareLike(1 << 20, 0x1B, 23);
  const KorvexRun broken = machine.Korvex(
      {"upgrade", machine.WriteFile("large.kfw", SingleImagePackage(orbis.productCode, large)),
       "--printer", "lp1"});
  EXPECT_EQ(broken.exitCode, 5) << Show(broken);
  EXPECT_NE(broken.err.find("Sending the firmware to the printer failed."), std::string::npos)
      << broken.err;
  ASSERT_TRUE(gone.Gone());
  EXPECT_TRUE(gone.Firmware() == Transfer(large.begin(), large.begin() + kGoneAfter))
      << gone.FirmwareBytes() << " bytes received";
}

TEST(KorvexOnLinux, SilentPrinterFailsAfterTheReadTimeOut) {
  FakeMachine machine("silent");
  machine.Plug(0, "4b56", "015c", "");
  PtyPrinterOptions options = Options(Orbis300());
  options.faults.silent = true;
  PtyPrinter &printer = machine.Attach(0, options);

  const KorvexRun run = machine.Korvex({"info"});
  EXPECT_EQ(run.exitCode, 1) << Show(run);
  EXPECT_NE(run.err.find("Communication with the printer failed."), std::string::npos) << run.err;
  EXPECT_GE(run.seconds, 5.0);
  EXPECT_LT(run.seconds, 15.0);
  // The first question, asked once; nothing after it failed.
  EXPECT_EQ(printer.Packets().size(), 1u);
}

TEST(KorvexOnLinux, UpgradeAllGivesALinePerPrinterASummaryAndTheWorstCode) {
  FakeMachine machine("upgrade-all");
  machine.Plug(0, "4b56", "015d", "");
  machine.Plug(1, "4b56", "015c", "");
  const PrinterIdentity orbis = Orbis300();
  PrinterIdentity other = Orbis300();
  other.productCode = "KV31000B02";
  PtyPrinter &differs = machine.Attach(0, Options(other));
  PtyPrinter &fits = machine.Attach(1, Options(orbis));

  // The refusal comes first: the code is the worst of the run, not the last.
  const Bytes image = FirmwareLike(100000, 0x1B, 29);
  const std::string package =
      machine.WriteFile("orbis.kfw", SingleImagePackage(orbis.productCode, image));
  const KorvexRun run = machine.Korvex({"upgrade", package, "--all"});
  EXPECT_EQ(run.exitCode, 4) << Show(run);
  // A table: printer, serial, seconds, result.
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 4u) << run.out;
  EXPECT_EQ(lines[0], "PRINTER  SERIAL  SECONDS  RESULT");
  EXPECT_TRUE(std::regex_match(
      lines[1], std::regex("lp0      -       [0-9]+\\.[0-9]  +Orbis 310w \\(4B56015D\\)  not "
                           "upgraded: The firmware package does not match the printer's product "
                           "code\\. The operation could not be completed\\. \\(exit 4\\)")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(
      lines[2], std::regex("lp1      -       [0-9]+\\.[0-9]  +Orbis 300 \\(4B56015C\\)  upgraded "
                           "\\(exit 0\\)")))
      << lines[2];
  EXPECT_EQ(lines[3], "2 printers: 1 upgraded, 1 not; exit 4");
  EXPECT_EQ(differs.FirmwareBytes(), 0u);
  EXPECT_TRUE(fits.Firmware() == image);
}

TEST(KorvexOnLinux, MaintenanceCommandReachesThePrinterAndCommand1WaitsForConfirmation) {
  FakeMachine machine("maintenance");
  machine.Plug(0, "4b56", "0022", "");
  PtyPrinter &printer = machine.Attach(0, Options(Kl1020Identity()));

  // Command 3 of family 1: a request answered by a 16-byte header.
  const KorvexRun sent = machine.Korvex({"maintenance", "3"});
  EXPECT_EQ(sent.exitCode, 0) << Show(sent);
  EXPECT_EQ(printer.Packets(),
            std::vector<Transfer>{PacketOf(CMD_F1_LANGUAGE_03.data(), CMD_F1_LANGUAGE_03.size())});

  // Command 1 acts at once: without --yes and without a terminal to ask on, nothing is sent.
  const KorvexRun refused = machine.Korvex({"maintenance", "1"});
  EXPECT_EQ(refused.exitCode, 2) << Show(refused);
  EXPECT_NE(refused.err.find("--yes"), std::string::npos) << refused.err;
  EXPECT_EQ(printer.Packets().size(), 1u);
}

}  // namespace

// korvex check reads the file as the upgrade does, with no printer: what a multi-part package
// holds (its descriptor and parts) and, for a package cut short, the refusal and code 4.
TEST(KorvexOnLinux, CheckTellsWhatAFileHoldsAndRefusesADamagedOne) {
  FakeMachine machine("check");
  Bytes part = FirmwareLike(5000, 0x1B, 31);
  part[1] = '%';
  unsigned char descriptor[kDescriptorLength];
  MakeDescriptor(descriptor, Text("KV30100A01"), Text("3.01.22"), Text("4B56015C"), '1');
  Bytes multi;
  AppendMultiPartHeader(multi, descriptor);
  AppendPart(multi, Text("KV30100A01"), 7, part.data(), part.size());
  const KorvexRun json = machine.Korvex({"check", machine.WriteFile("multi.kmp", multi), "--json"});
  ASSERT_EQ(json.exitCode, 0) << Show(json);
  const nlohmann::json checked = nlohmann::json::parse(json.out);
  EXPECT_EQ(checked.at("kind"), "multi-part package");
  EXPECT_EQ(checked.at("product_code"), "KV30100A01");
  EXPECT_EQ(checked.at("required_version"), "3.01.22");
  EXPECT_EQ(checked.at("any_version"), false);
  EXPECT_EQ(checked.at("target_device_id"), "4B56015C");
  EXPECT_EQ(checked.at("parts"), nlohmann::json::parse(R"([{"length": 5000, "delay_seconds": 7}])"));
  EXPECT_EQ(checked.at("verdict"), "The firmware file is valid.");

  const Bytes image = FirmwareLike(200000, 0x1B, 37);
  Bytes cut = SingleImagePackage("KV30100A01", image);
  cut.resize(cut.size() - 100);
  const KorvexRun refused = machine.Korvex({"check", machine.WriteFile("cut.kfw", cut)});
  EXPECT_EQ(refused.exitCode, 4) << Show(refused);
  EXPECT_NE(refused.out.find("kind: single-image package\n"), std::string::npos) << refused.out;
  EXPECT_NE(refused.out.find("verdict: The firmware file ends inside a block.\n"),
            std::string::npos)
      << refused.out;
}

// A file pinned by its SHA-256 (--expect-sha256) is sent only when it is that file: another one is
// refused before the printer is asked anything, and check says which digest a file has.
TEST(KorvexOnLinux, AFilePinnedByItsDigestIsSentOnlyWhenItIsThatFile) {
  FakeMachine machine("pinned");
  machine.Plug(0, "4b56", "015c", "ORB-0");
  PtyPrinter &printer = machine.Attach(0, Options(Orbis300()));
  const Bytes image = FirmwareLike(100000, 0x1B, 41);
  const Bytes package = SingleImagePackage(Orbis300().productCode, image);
  const std::string path = machine.WriteFile("orbis.kfw", package);
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, package.size(), package.data());
  unsigned char digest[SHA256_DIGEST_SIZE];
  sha256_digest(&context, sizeof digest, digest);
  std::string sha256;
  for (unsigned char byte : digest) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", byte);
    sha256 += hex;
  }
  std::string other = sha256;
  other[0] = other[0] == '0' ? '1' : '0';

  const KorvexRun refused =
      machine.Korvex({"upgrade", path, "--expect-sha256", other, "--json"});
  EXPECT_EQ(refused.exitCode, 4) << Show(refused);
  EXPECT_NE(refused.err.find("SHA-256 is " + sha256 + ", not the one expected (" + other + ")"),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(nlohmann::json::parse(refused.out).at("exit_code"), 4);
  EXPECT_TRUE(printer.Packets().empty());
  EXPECT_TRUE(printer.Firmware().empty());

  const KorvexRun malformed = machine.Korvex({"upgrade", path, "--expect-sha256", "12ab"});
  EXPECT_EQ(malformed.exitCode, 2) << Show(malformed);
  EXPECT_TRUE(printer.Packets().empty());

  std::string upper = sha256;
  for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const KorvexRun sent = machine.Korvex({"upgrade", path, "--expect-sha256", upper});
  EXPECT_EQ(sent.exitCode, 0) << Show(sent);
  EXPECT_TRUE(printer.Firmware() == image);

  const KorvexRun checked = machine.Korvex({"check", path, "--json"});
  EXPECT_EQ(checked.exitCode, 0) << Show(checked);
  EXPECT_EQ(nlohmann::json::parse(checked.out).at("sha256"), sha256);
  const KorvexRun mismatch = machine.Korvex({"check", path, "--expect-sha256", other});
  EXPECT_EQ(mismatch.exitCode, 4) << Show(mismatch);
  EXPECT_NE(mismatch.out.find("verdict: the file's SHA-256 is not the one expected"),
            std::string::npos)
      << mismatch.out;
}
