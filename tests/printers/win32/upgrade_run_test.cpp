// The firmware upgrade run against simulated printers: what reaches the printer, byte for byte,
// from raw images and single-image packages; what the user sees on success, on each failure of
// the run and for each kind of model; progress through a whole run.
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/upgrade_worker.h"
#include "firmware/package.h"
#include "firmware/package_builder.h"
#include "tests/bytes/package_test_support.h"
#include "upgrade/transfer.h"
#include "upgrade_test_support.h"

namespace {

using package_test::FirmwareLike;

const unsigned char *Code(const char *code = kPrinterProductCode) {
  return reinterpret_cast<const unsigned char *>(code);
}

Bytes Package(const Bytes &image, size_t blockSize, const char *code = kPrinterProductCode) {
  return BuildSingleImagePackage(Code(code), image.data(), image.size(), blockSize, 6);
}

// A package of one block whose stored bytes are exactly storedLength long: the stream of image,
// then padding, which inflation leaves alone once the stream has ended.
Bytes PaddedOneBlockPackage(const Bytes &image, size_t storedLength) {
  Bytes stream = CompressBlock(image.data(), image.size(), 6);
  stream.resize(storedLength, 0);
  Bytes package;
  AppendSingleImageHeader(package, Code(), static_cast<uint32_t>(image.size()));
  AppendBlock(package, Code(), stream.data(), stream.size());
  return package;
}

Bytes Concat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Lead(Bytes bytes, std::initializer_list<unsigned char> lead) {
  size_t i = 0;
  for (unsigned char byte : lead) bytes[i++] = byte;
  return bytes;
}

// The final line of a successful run, and the line the run adds once the file is accepted.
std::wstring FinalLine(uint32_t total) {
  return LineAfter(InternalString(125), L"", UiText(28), total, total, UiText(20));
}
std::wstring AcceptedLine() { return LineAfter(InternalString(130), L""); }

class UpgradeRun : public ::testing::Test {
 protected:
  void SetUp() override { UseUpgradeWindow(); }
};

TEST_F(UpgradeRun, FirmwareReachesThePrinterExactlyAsTheImage) {
  struct Case {
    const char *what;
    Bytes file;
    Bytes image;  // what the printer must receive
    bool checked;  // the file was checked whole before the transfer (a raw image has no check)
  };
  const Bytes escapeLead = FirmwareLike(3 * 4096 + 1000, 0x1B, 1);
  // Two raw reads, the second one short.
  const Bytes markLead = Lead(FirmwareLike(4194304 + 5000, 0xAD, 2), {0xAD, 0xDE});
  // Four blocks of 300,000 bytes and a last one of 100,000: no block a multiple of 4096.
  const Bytes image = FirmwareLike(1300000, 0x1B, 3);
  const Case cases[] = {
      {"raw image led by 0x1B", escapeLead, escapeLead, false},
      {"raw image led by 0xAD 0xDE", markLead, markLead, false},
      {"single-image package of five blocks", Package(image, 300000), image, true},
  };
  UpgradePrinter printer(L"015C", 2, 1);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    size_t before = 0;
    const SeenRun run = RunFileOn(printer, c.file, &before);

    EXPECT_EQ(run.exitCode, 0u);
    const Bytes received = printer.Firmware();
    ASSERT_EQ(received.size() - before, c.image.size());
    EXPECT_TRUE(std::equal(c.image.begin(), c.image.end(), received.begin() + before))
        << "the printer received other bytes";

    EXPECT_EQ(run.heading, UiText(12));
    EXPECT_EQ(run.pane.compare(0, lstrlenW(UiText(25)), UiText(25)), 0) << "starts with text 25";
    const int checkLine = FirstPaneTextWith(run, std::wstring(UiText(24)) + L": ");
    EXPECT_EQ(checkLine >= 0, c.checked);
    if (c.checked) {
      EXPECT_LT(checkLine, FirstPaneTextWith(run, std::wstring(UiText(28)) + L": "));
    }
    EXPECT_TRUE(EndsWith(run.pane, L"\r\n" + AcceptedLine() + L"\r\n" +
                                       FinalLine(static_cast<uint32_t>(c.image.size()))))
        << testing::PrintToString(run.pane);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].caption, UiText(26));
    EXPECT_EQ(run.boxes[0].text, UiText(32)) << "a model without a note";
    EXPECT_EQ(run.boxes[0].owner, app.mainWindow);
    EXPECT_EQ(run.rangeHigh, c.image.size());
    ASSERT_FALSE(run.positions.empty());
    EXPECT_EQ(run.positions.front(), 0u);
    EXPECT_EQ(run.positions.back(), c.image.size());
    EXPECT_FALSE(run.busyAfter);
    EXPECT_FALSE(IsWindowVisible(app.progressBar));
    EXPECT_EQ(run.closeRequests, 0) << "an interactive run leaves the window open";
  }
}

TEST_F(UpgradeRun, ProgressMovesThroughEveryBlockOfTheRun) {
  // Blocks of 300,000 bytes put every chunk after the first block off the 4096 grid; the bar
  // and the line must still move once per step (1,300,000 / 100 in whole chunks: 12,288).
  const Bytes image = FirmwareLike(1300000, 0x1B, 4);
  FirmwareFile file(L"progress.bin", Package(image, 300000));
  UpgradePrinter printer(L"015C", 2, 1);
  printer.Select();
  const SeenRun run = RunUpgrade(file.path());
  ASSERT_EQ(run.exitCode, 0u);

  const uint32_t step = 12288;
  // Set up at 0, one update per multiple of the step below the total, then the total.
  const size_t updates = (image.size() - 1) / step + 1;
  ASSERT_EQ(run.positions.size(), 1 + updates + 1);
  for (size_t i = 1; i <= updates; ++i) {
    const uint64_t multiple = (i - 1) * uint64_t{step};
    EXPECT_LE(run.positions[i], multiple) << "update " << i;
    EXPECT_GT(run.positions[i] + 4096u, multiple) << "update " << i;
  }
  // Each update also rewrote the progress line after the snapshot.
  size_t progressLines = 0;
  const std::wstring progressWord = std::wstring(UiText(28)) + L": ";
  for (const std::wstring &text : run.paneTexts) {
    if (text.find(progressWord) != std::wstring::npos) ++progressLines;
  }
  EXPECT_EQ(progressLines, updates + 1) << "the updates and the final line";
  EXPECT_NE(run.paneTexts[run.paneTexts.size() - 2].find(
                LineAfter(InternalString(124), L"", UiText(28), run.positions[updates],
                          static_cast<uint32_t>(image.size()))),
            std::wstring::npos);
}

TEST_F(UpgradeRun, UnattendedRunShowsItsOutcomeInABoxAndClosesTheProgram) {
  UpgradePrinter printer(L"015C", 2, 1);
  const Bytes image = FirmwareLike(20000, 0x1B, 5);
  struct Case {
    Bytes file;
    DWORD exitCode;
    const wchar_t *caption;
    std::wstring text;
  } cases[] = {
      {image, 0, UiText(26), UiText(32)},
      // The reason, then the default detail (the run passes no box detail).
      {Lead(image, {'X'}), 1, UiText(22),
       std::wstring(InternalString(96)) + UiText(30)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.exitCode);
    size_t before = 0;
    const SeenRun run = RunFileOn(printer, c.file, &before, true);
    EXPECT_EQ(run.exitCode, c.exitCode);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].caption, c.caption);
    EXPECT_EQ(run.boxes[0].text, c.text);
    EXPECT_EQ(run.closeRequests, 1) << "leaving the busy state closes an unattended program";
  }
}

// Each way the run can fail, in the order the run meets them: what the pane says, and that
// nothing reached the printer, also for damage after the first block: the whole file is checked
// before anything is sent.
TEST_F(UpgradeRun, EachFailureIsReportedWhereTheRunMeetsIt) {
  const Bytes image = FirmwareLike(700000, 0x1B, 6);
  const Bytes package = Package(image, 300000);  // blocks of 300,000, 300,000, 100,000
  const size_t firstBlockEnd = 32 + ReadLittleEndian32(package.data() + 28);
  const size_t secondBlockEnd = firstBlockEnd + 4 + ReadLittleEndian32(&package[firstBlockEnd]);

  Bytes firstLengthZero = package;
  WriteLittleEndian32(&firstLengthZero[28], 0);
  Bytes firstLengthTooLarge = package;
  WriteLittleEndian32(&firstLengthTooLarge[28], 5242881);
  Bytes secondBlockDamaged = package;
  secondBlockDamaged[secondBlockEnd - 10] ^= 0xFF;  // its Adler-32 trailer
  const Bytes notFirmwarePackage = Package(Lead(image, {'X'}), 300000);
  Bytes notZlib;  // a first block whose decrypted head is no zlib header
  AppendSingleImageHeader(notZlib, Code(), 1000);
  const Bytes garbage(1000, 'G');
  AppendBlock(notZlib, Code(), garbage.data(), garbage.size());

  struct Case {
    const char *what;
    Bytes file;
    bool inLoop;  // reported in the loop form
    int text;
  };
  const Case cases[] = {
      {"31 bytes", Bytes(31, 0x1B), false, 88},
      {"first_block_length 0", firstLengthZero, false, 89},
      {"first_block_length above 5 MiB", firstLengthTooLarge, false, 89},
      {"first block cut short", Bytes(package.begin(), package.begin() + 1000), false, 94},
      {"first block not zlib", notZlib, false, 95},
      {"raw image not firmware", Lead(image, {0xAD, 0xDF}), false, 96},
      {"package not firmware", notFirmwarePackage, false, 96},
      {"first block above 4 MiB", PaddedOneBlockPackage(image, 4194305), true, 99},
      {"two stray bytes at the end", Concat(package, {0x00, 0x01}), true, 98},
      {"three stray bytes at the end", Concat(package, {0x00, 0x01, 0x02}), true, 98},
      {"last block cut short", Bytes(package.begin(), package.end() - 1), true, 101},
      {"second block damaged", secondBlockDamaged, true, 102},
  };
  UpgradePrinter printer(L"015C", 2, 1);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    size_t before = 0;
    const SeenRun run = RunFileOn(printer, c.file, &before);
    EXPECT_EQ(run.exitCode, 1u);
    const std::wstring added = c.inLoop ? FailureInLoop(c.text) : FailureBeforeLoop(c.text);
    EXPECT_TRUE(EndsWith(run.pane, added)) << testing::PrintToString(run.pane);
    EXPECT_EQ(printer.Firmware().size() - before, 0u) << "nothing may reach the printer";
    EXPECT_TRUE(run.boxes.empty()) << "interactive failures show no box";
    EXPECT_FALSE(run.busyAfter);
    EXPECT_FALSE(IsWindowVisible(app.progressBar));
    if (c.text == 99) {
      EXPECT_NE(run.pane.find(AcceptedLine()), std::wstring::npos)
          << "the block is refused in the loop, after the file was accepted";
    }
    if (c.inLoop) {
      EXPECT_EQ(run.heading, UiText(19)) << "found while the file was checked";
    }
  }
}

// Read and positioning errors of a disk file cannot be brought about here; they are told as the
// walk reports them, each in the form of its place in the run.
TEST_F(UpgradeRun, EveryOutcomeOfTheWalkIsToldInTheFormOfItsPlace) {
  using O = FirmwareOutcome;
  struct Case {
    FirmwareOutcome outcome;
    int text;  // 0: told by the check that refused
    bool inLoop;
  } cases[] = {
      {O::OpenFailed, 85, false},           {O::HeaderReadFailed, 86, false},
      {O::FileSizeRefused, 88, false},      {O::FirstBlockLengthRefused, 89, false},
      {O::ProbeSeekFailed, 92, false},      {O::FirstBlockReadFailed, 94, false},
      {O::FirstBlockInflateFailed, 95, false}, {O::ContentNotRecognised, 96, false},
      {O::DescriptorReadFailed, 86, false}, {O::LoopSeekFailed, 92, true},
      {O::BlockLengthReadFailed, 97, true}, {O::BlockLengthShort, 98, true},
      {O::BlockTooLong, 99, true},          {O::BlockReadFailed, 100, true},
      {O::BlockShort, 101, true},           {O::BlockInflateFailed, 102, true},
      {O::RawReadFailed, 86, true},         {O::PartHeaderShort, 93, true},
      {O::PartDelayRefused, 90, true},      {O::PartTooLong, 89, true},
      {O::PartReadFailed, 94, true},        {O::PartNotRecognised, 91, true},
      {O::TransferFailed, 87, true},        {O::ProductCodeRefused, 0, false},
      {O::DescriptorRefused, 0, false},     {O::Accepted, 0, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(static_cast<int>(c.outcome));
    SetWindowTextW(app.infoPane, L"Before");
    const SeenRun run = WatchRun([&] {
      ReportFirmwareOutcome(c.outcome);
      return DWORD{0};
    });
    const std::wstring expected =
        c.text == 0 ? L"" : c.inLoop ? FailureInLoop(c.text) : FailureBeforeLoop(c.text);
    EXPECT_EQ(run.Added(L"Before"), expected);
  }
}

TEST_F(UpgradeRun, FilesThatCannotBeOpenedOrAreTooLargeAreRefusedBeforeAnythingIsSent) {
  UpgradePrinter printer(L"015C", 2, 1);
  printer.Select();
  SeenRun run = RunUpgrade(TemporaryPath(L"missing.bin"));
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_TRUE(EndsWith(run.pane, FailureBeforeLoop(85)));


  // 1 GiB and one byte, made sparse: nothing of it is written to the disk.
  const std::wstring path = TemporaryPath(L"huge.bin");
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD unused = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
  LARGE_INTEGER size;
  size.QuadPart = 1073741825;
  SetFilePointerEx(file, size, nullptr, FILE_BEGIN);
  ASSERT_TRUE(SetEndOfFile(file));
  CloseHandle(file);
  UseUpgradeWindow();
  printer.Select();
  run = RunUpgrade(path);
  DeleteFileW(path.c_str());
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_TRUE(EndsWith(run.pane, FailureBeforeLoop(88)));
  EXPECT_EQ(printer.record().connections, 0) << "the printer was not asked";
}

TEST_F(UpgradeRun, PrinterUnpluggedMidTransferKeepsWhatItTookAndTheRunFails) {
  SimulatedPrinterSetup setup;
  setup.productId = L"015C";
  setup.faults.disconnectAfter = 50000;
  UpgradePrinter printer(setup, 1);
  const Bytes image = FirmwareLike(200000, 0x1B, 7);
  FirmwareFile file(L"unplugged.bin", Package(image, 65536));
  printer.Select();
  const SeenRun run = RunUpgrade(file.path());
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_TRUE(EndsWith(run.pane, FailureInLoop(87))) << testing::PrintToString(run.pane);
  const Bytes received = printer.Firmware();
  ASSERT_EQ(received.size(), 50000u);
  EXPECT_TRUE(std::equal(received.begin(), received.end(), image.begin()));
}

// Which note a model gets, and where: in the pane before the transfer for family 2, in the
// result message for family 1; a firmware-only device gets its own message.
TEST_F(UpgradeRun, ModelNotesAndMessagesFollowTheModel) {
  const std::wstring plain = UiText(32);
  const std::wstring firstNote = Format(InternalString(122), UiText(34), UiText(32));
  const std::wstring secondNote = Format(InternalString(122), UiText(35), UiText(32));
  const std::wstring bootMessage = Format(InternalString(129), UiText(20));
  struct Case {
    const wchar_t *vendorId;
    const wchar_t *productId;
    int family;
    int paneNote;  // UI text shown before the transfer, or 0
    std::wstring message;
    bool asked;    // the printer was asked for its product code
  } cases[] = {
      {L"4B56", L"015C", 2, 0, plain, true},        // Orbis 300
      {L"4B56", L"0110", 2, 35, plain, true},       // KLC-2510
      {L"4B56", L"0101", 2, 34, plain, true},       // KL-2010n
      {L"4B56", L"0035", 1, 0, plain, true},        // KP-100
      {L"4B56", L"0022", 1, 0, firstNote, true},    // KL-1020
      {L"4B56", L"002C", 1, 0, secondNote, true},   // KLC-1510
      {L"4B56", L"B001", 2, 0, bootMessage, false}, // a boot loader
      {L"4B42", L"0022", 1, 0, bootMessage, false}, // any device of a boot vendor
  };
  const Bytes image = FirmwareLike(9000, 0x1B, 8);
  FirmwareFile file(L"models.bin", Package(image, 5000));
  int number = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.vendorId) + c.productId));
    UseUpgradeWindow();
    UpgradePrinter printer(c.productId, c.family, ++number, false, c.vendorId);
    printer.Select();
    const SeenRun run = RunUpgrade(file.path());
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(printer.Firmware(), image);
    const std::wstring afterAccepted =
        c.paneNote ? std::wstring(L"\r\n") + UiText(c.paneNote) : std::wstring();
    EXPECT_TRUE(EndsWith(run.pane, AcceptedLine() + afterAccepted + L"\r\n" +
                                       FinalLine(static_cast<uint32_t>(image.size()))))
        << testing::PrintToString(run.pane);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, c.message);
    EXPECT_EQ(printer.record().received.size(), c.asked ? 1u : 0u);
  }
}

TEST_F(UpgradeRun, RefusedModelEndsAPackageRunWithItsReasonButTakesARawImage) {
  UpgradePrinter printer(L"0300", 2, 1);  // KT-20 Label, family 0
  const Bytes image = FirmwareLike(30000, 0x1B, 9);
  FirmwareFile package(L"refused.bin", Package(image, 10000));
  FirmwareFile raw(L"raw.bin", image);

  printer.Select();
  SeenRun run = RunUpgrade(package.path());
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(run.pane, std::wstring(UiText(25)) + L"\r\n" + InternalString(41));
  EXPECT_TRUE(run.boxes.empty()) << "no box when not unattended";
  EXPECT_FALSE(run.busyAfter);
  EXPECT_EQ(printer.record().connections, 0) << "the printer was not asked";

  UseUpgradeWindow();
  printer.Select();
  run = RunUpgrade(raw.path());
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(printer.Firmware(), image) << "no check applies to a raw image";
}

TEST_F(UpgradeRun, ProductCodeMismatchStopsThePackageBeforeAnythingIsSent) {
  UpgradePrinter printer(L"015C", 2, 1);
  FirmwareFile file(L"other.bin", Package(FirmwareLike(9000, 0x1B, 10), 5000, "KX99999Z99"));
  printer.Select();
  const SeenRun run = RunUpgrade(file.path());
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_TRUE(EndsWith(run.pane, FailureBeforeLoop(83)));
  EXPECT_EQ(run.pane.find(AcceptedLine()), std::wstring::npos);
  EXPECT_EQ(printer.record().firmwareBytes, 0u);
}

TEST_F(UpgradeRun, ImageSizeSmallerThanTheImageStillCompletes) {
  const Bytes image = FirmwareLike(50000, 0x1B, 11);
  Bytes package = Package(image, 20000);
  WriteLittleEndian32(&package[14], 1000);  // image_size
  FirmwareFile file(L"small_size.bin", package);
  UpgradePrinter printer(L"015C", 2, 1);
  printer.Select();
  const SeenRun run = RunUpgrade(file.path());
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(printer.Firmware(), image);
  EXPECT_TRUE(EndsWith(run.pane, FinalLine(1000))) << "total of total, as image_size says";
}

}  // namespace
