// The pty stand-in as a printer during a firmware upgrade, driven by writing to its link as korvex
// writes to /dev/usb/lpN: its flash intake rate, and its restart once it has taken its firmware.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "bytes/package_test_support.h"
#include "cli_test_support.h"
#include "device/packets.h"

namespace {

using cli_test::FakeMachine;
using cli_test::Options;
using cli_test::Orbis300;
using package_test::FirmwareLike;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool WaitFor(const std::function<bool()> &done, int timeoutMs = 10000) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

bool Linked(const std::string &link) {
  struct stat status;
  return lstat(link.c_str(), &status) == 0;
}

// Writes image in pieces of 4096 bytes, as korvex sends firmware; how many bytes the device took
// before a write failed.
size_t WriteFirmware(const std::string &device, const Transfer &image) {
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return 0;
  size_t done = 0;
  while (done < image.size()) {
    const ssize_t n = write(fd, image.data() + done, std::min<size_t>(4096, image.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return done;
}

// One block as the stand-in delivers it, or empty after 5 s.
Transfer ReadBlock(int fd) {
  pollfd wait = {fd, POLLIN, 0};
  if (poll(&wait, 1, 5000) != 1) return {};
  Transfer block(kReplyBlockBytes);
  const ssize_t n = read(fd, block.data(), block.size());
  block.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return block;
}

// The data block of the reply to a firmware-version question, asked as korvex asks it.
std::string AskFirmwareVersion(const std::string &device) {
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return "(cannot open)";
  Transfer packet(kMaxPacketBytes);
  packet.resize(static_cast<size_t>(BuildPacket(static_cast<int>(CMD_SSI_FW_VERSION.size()),
                                                CMD_SSI_FW_VERSION.data(), packet.data())));
  std::string answer = "(no reply)";
  if (write(fd, packet.data(), packet.size()) == static_cast<ssize_t>(packet.size()) &&
      ReadBlock(fd).size() == 16) {
    const Transfer data = ReadBlock(fd);
    answer.assign(data.begin(), data.end());
  }
  close(fd);
  return answer;
}

TEST(PtyPrinter, TakesFirmwareNoFasterThanItsIntakeRate) {
  FakeMachine machine("pty-intake");
  PtyPrinterOptions options = Options(Orbis300());
  options.faults.intakeBytesPerSecond = 1 << 20;
  PtyPrinter &printer = machine.Attach(0, options);
  const Transfer image = FirmwareLike(512 << 10, 0x1B, 31);

  const Clock::time_point start = Clock::now();
  ASSERT_EQ(WriteFirmware(machine.DevicePath(0), image), image.size());
  // The writes waited for the flash: no more than the pty holds is still on its way.
  EXPECT_GE(printer.FirmwareBytes(), image.size() / 2);
  ASSERT_TRUE(WaitFor([&] { return printer.FirmwareBytes() == image.size(); }))
      << printer.FirmwareBytes() << " bytes taken";
  EXPECT_GE(SecondsSince(start), 0.45);
  EXPECT_TRUE(printer.Firmware() == image) << "every byte, in order";
  // Questions are answered as before.
  EXPECT_EQ(AskFirmwareVersion(machine.DevicePath(0)), std::string("3.01.22\0", 8));
}

TEST(PtyPrinter, RestartsAfterItsFirmwareAndComesBackOnTheNewVersionOrNever) {
  FakeMachine machine("pty-restart");
  constexpr long long kRestartAfter = 100000;
  PtyPrinterOptions options = Options(Orbis300());
  options.faults.restartAfter = kRestartAfter;
  options.faults.restartSeconds = 1;
  options.faults.firmwareAfterRestart = "3.02.07";
  PtyPrinter &printer = machine.Attach(0, options);
  options.faults.restartSeconds = 0;  // were it to come back, it would be back at once
  options.faults.neverBack = true;
  PtyPrinter &lost = machine.Attach(1, options);
  const std::string device = machine.DevicePath(0);
  // More than the pty and the stand-in hold beyond the restart point, so the last writes fail.
  const Transfer image = FirmwareLike(400000, 0x1B, 37);

  EXPECT_LT(WriteFirmware(machine.DevicePath(1), image), image.size());
  ASSERT_TRUE(WaitFor([&] { return !Linked(machine.DevicePath(1)); }));
  const Clock::time_point lostAt = Clock::now();

  EXPECT_LT(WriteFirmware(device, image), image.size()) << "its writes fail once it is gone";
  ASSERT_TRUE(WaitFor([&] { return !Linked(device); }));
  const Clock::time_point wentAt = Clock::now();
  EXPECT_FALSE(printer.Present());
  EXPECT_EQ(printer.Restarts(), 1);
  EXPECT_TRUE(printer.Firmware() == Transfer(image.begin(), image.begin() + kRestartAfter))
      << printer.FirmwareBytes() << " bytes taken";

  ASSERT_TRUE(WaitFor([&] { return printer.Present(); }));
  EXPECT_GE(SecondsSince(wentAt), 0.5) << "back only after its restart seconds";
  EXPECT_TRUE(Linked(device));
  EXPECT_EQ(AskFirmwareVersion(device), std::string("3.02.07\0", 8));

  // Started again, it takes as many bytes more before its next restart.
  EXPECT_LT(WriteFirmware(device, image), image.size());
  ASSERT_TRUE(WaitFor([&] { return printer.Restarts() == 2; }));
  EXPECT_EQ(printer.FirmwareBytes(), 2u * kRestartAfter);

  EXPECT_GE(SecondsSince(lostAt), 0.5);
  EXPECT_FALSE(Linked(machine.DevicePath(1))) << "never back";
  EXPECT_FALSE(lost.Present());
  EXPECT_EQ(lost.Restarts(), 1);
}

}  // namespace
