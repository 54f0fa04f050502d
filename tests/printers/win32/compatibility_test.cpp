// The compatibility checks against simulated printers of both families, and the failure report
// they and the upgrade share: what is compared, what the printer is asked, what the user sees.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/printer_state.h"
#include "device/compatibility.h"
#include "device/pick_lines.h"
#include "device/transaction.h"
#include "upgrade_test_support.h"

namespace {

// A 26-byte descriptor: product code, required version, device id, part count.
struct Descriptor {
  unsigned char bytes[26];
  Descriptor(const std::string &code, const std::string &version, const std::string &deviceId) {
    std::memset(bytes, 0, sizeof bytes);
    std::memcpy(bytes, code.data(), std::min<size_t>(code.size(), 10));
    std::memcpy(bytes + 10, version.data(), std::min<size_t>(version.size(), 7));
    std::memcpy(bytes + 17, deviceId.data(), std::min<size_t>(deviceId.size(), 8));
    bytes[25] = '1';
  }
};

const std::wstring kBefore = L"Preparing";

class Compatibility : public ::testing::Test {
 protected:
  void SetUp() override { UseUpgradeWindow(); }

  // Runs a check on a worker, as the upgrade does, with the pane holding kBefore.
  SeenRun Check(int (*check)(const unsigned char *), const unsigned char *bytes) {
    SetWindowTextW(app.infoPane, kBefore.c_str());
    return WatchRun([=] { return static_cast<DWORD>(check(bytes)); });
  }
};

std::wstring Picked(std::initializer_list<unsigned char> lines) {
  std::vector<unsigned char> numbers(lines);
  numbers.push_back(0);
  wchar_t text[500] = {};
  PickLines(UiText(31), text, 500, numbers.data());
  return text;
}

TEST_F(Compatibility, DeviceIdMustMatchCharacterForCharacter) {
  struct Case {
    const char *deviceId;
    DWORD result;
  } cases[] = {
      {"4B56015C", 0},
      {"4b56015c", 1},  // device ids are upper case; so is the comparison
      {"4B56015D", 1},
      {"5B56015C", 1},
      {"4B56015", 1},   // a NUL where the last character belongs
  };
  AimAt(L"\\\\.\\pipe\\nobody-listens", L"4B56015C");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.deviceId);
    const Descriptor descriptor(kPrinterProductCode, "3.01.22", c.deviceId);
    const SeenRun run = Check(CheckDeviceId, descriptor.bytes);
    EXPECT_EQ(run.exitCode, c.result);
    EXPECT_EQ(run.Added(kBefore), c.result ? FailureBeforeLoop(81) : L"");
  }
}

TEST_F(Compatibility, ProductCodeIsReadFromTheReplyOfEitherFamily) {
  // Family 1 announces the code's length at byte 6 of the reply header, family 2 at byte 7.
  struct Case {
    const wchar_t *productId;
    int family;
    const char *packageCode;
    DWORD result;
  } cases[] = {
      {L"0035", 1, kPrinterProductCode, 0},
      {L"0035", 1, "KV30100A02", 1},
      {L"015C", 2, kPrinterProductCode, 0},
      {L"015C", 2, "kv30100a01", 1},
  };
  int number = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.packageCode);
    UpgradePrinter printer(c.productId, c.family, ++number);
    printer.Select();
    const SeenRun run =
        Check(CheckProductCode, reinterpret_cast<const unsigned char *>(c.packageCode));
    EXPECT_EQ(run.exitCode, c.result);
    EXPECT_EQ(printer.record().received, std::vector<std::string>{"CMD_FF05"});
    // The ticker adds its dots to the pane meanwhile; a failure adds a line.
    if (c.result) {
      EXPECT_TRUE(EndsWith(run.pane, FailureBeforeLoop(83))) << testing::PrintToString(run.pane);
    } else {
      EXPECT_EQ(run.pane.find(L"\r\n"), std::wstring::npos) << testing::PrintToString(run.pane);
    }
  }
}

// A printer that reports a shorter code or version than the package compares leaves the reply
// header's bytes in replyBuffer past its data block. Even a package made of exactly those bytes
// must not pass.
TEST_F(Compatibility, DataBlockShorterThanTheComparedFieldIsAMismatch) {
  SimulatedPrinterSetup setup;
  setup.productId = L"015C";
  setup.identity.productCode = "KV3";
  setup.identity.firmwareVersion = "3.0";
  UpgradePrinter printer(setup, 1);
  printer.Select();

  Descriptor first(kPrinterProductCode, "3.01.22", "4B56015C");
  ASSERT_EQ(Check(CheckProductCode, first.bytes).exitCode, 1u);
  Descriptor stale(std::string(reinterpret_cast<const char *>(replyBuffer), 10), "3.01.22",
                   "4B56015C");
  ASSERT_EQ(std::memcmp(stale.bytes, "KV3", 4), 0) << "the short code and its terminator";
  SeenRun run = Check(CheckProductCode, stale.bytes);
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_TRUE(EndsWith(run.pane, FailureBeforeLoop(83))) << testing::PrintToString(run.pane);

  ASSERT_EQ(Check(CheckFirmwareVersion, first.bytes).exitCode, 1u);
  std::memcpy(stale.bytes + 10, replyBuffer, 7);
  run = Check(CheckFirmwareVersion, stale.bytes);
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_TRUE(EndsWith(run.pane, FailureBeforeLoop(82))) << testing::PrintToString(run.pane);
}

TEST_F(Compatibility, UnansweredQueryToldWithTheAdviceLines) {
  const std::wstring paneDetail = Picked({1, 3});
  const std::wstring boxDetail = Picked({1});
  ASSERT_EQ(paneDetail.find(boxDetail), 0u) << "line 1 opens both";
  const Descriptor descriptor(kPrinterProductCode, "3.01.22", "4B56015C");
  using WindowCheck = int (*)(const unsigned char *);
  for (WindowCheck check : {WindowCheck(CheckProductCode), WindowCheck(CheckFirmwareVersion)}) {
    for (bool unattended : {false, true}) {
      UseUpgradeWindow(unattended);
      AimAt(L"\\\\.\\pipe\\nobody-listens", L"4B56015C");  // a model of family 2
      const SeenRun run = Check(check, descriptor.bytes);
      EXPECT_EQ(run.exitCode, 1u);
      EXPECT_EQ(run.pane, Format(InternalString(135), kBefore.c_str(), InternalString(80),
                                 paneDetail.c_str()));
      if (unattended) {
        // The reason, as in the pane line, which holds line 1 already.
        ASSERT_EQ(run.boxes.size(), 1u);
        EXPECT_EQ(run.boxes[0].caption, UiText(22));
        EXPECT_EQ(run.boxes[0].text, InternalString(80) + paneDetail);
        EXPECT_EQ(run.boxes[0].owner, app.mainWindow);
      } else {
        EXPECT_TRUE(run.boxes.empty());
      }
    }
  }
}

TEST_F(Compatibility, RefusedModelsAndBootLoadersAreNotAsked) {
  struct Case {
    const wchar_t *vendorId;
    const wchar_t *productId;
    DWORD result;
  } cases[] = {
      {L"4B56", L"0300", 1},  // KT-20 Label, refused with the reason
      {L"4B56", L"B002", 0},  // a boot loader takes the firmware
      {L"4B52", L"0022", 0},  // a boot vendor's device, whatever its product id
  };
  int number = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.vendorId) + c.productId));
    UpgradePrinter printer(c.productId, 2, ++number, false, c.vendorId);
    printer.Select();
    const SeenRun run =
        Check(CheckProductCode, reinterpret_cast<const unsigned char *>("XXXXXXXXXX"));
    EXPECT_EQ(run.exitCode, c.result);
    EXPECT_EQ(run.pane, c.result ? kBefore + std::wstring(L"\r\n") + InternalString(41)
                                 : std::wstring(kBefore));
    EXPECT_EQ(printer.record().connections, 0);
  }
}

TEST_F(Compatibility, WildcardVersionIsAcceptedWithoutAsking) {
  UpgradePrinter printer(L"015C", 2, 1);  // reports 3.01.22
  struct Case {
    const char *version;
    DWORD result;
    bool asked;
  } cases[] = {
      {"*a*b*c*", 0, false},  // the wildcard at 10, 12, 14 and 16: bytes between are free
      {"*******", 0, false},
      {"*a*b*c7", 1, true},   // three of four is a version like any other
      {"3.01.22", 0, true},
      {"3.01.23", 1, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.version);
    printer.Select();
    const int before = printer.record().connections;
    const Descriptor descriptor(kPrinterProductCode, c.version, "4B56015C");
    const SeenRun run = Check(CheckFirmwareVersion, descriptor.bytes);
    EXPECT_EQ(run.exitCode, c.result);
    EXPECT_EQ(printer.record().connections - before, c.asked ? 1 : 0);
    if (c.asked) {
      EXPECT_EQ(printer.record().received.back(), "CMD_SSI_FW_VERSION");
    }
    EXPECT_EQ(EndsWith(run.pane, FailureBeforeLoop(82)), c.result != 0);
  }
}

TEST_F(Compatibility, FailureReportAppendsALineAndUnattendedShowsABox) {
  struct Case {
    const wchar_t *paneDetail;
    const wchar_t *boxDetail;
    std::wstring paneShows;
    std::wstring boxShows;
  } cases[] = {
      // The unattended box names the reason as the pane line does (the pane closes with the
      // program), then its own detail unless the reason holds it already.
      {L"", L"", UiText(30), std::wstring(L"Short. ") + UiText(30)},
      {L"pane detail", L"box detail", L"pane detail", L"Short. pane detail\r\nbox detail"},
      {L"pane detail", L"detail", L"pane detail", L"Short. pane detail"},
      {L"100% 'sure' %s", L"", L"100% 'sure' %s",  // details are text, not formats
       std::wstring(L"Short. 100% 'sure' %s\r\n") + UiText(30)},
  };
  for (const Case &c : cases) {
    for (bool unattended : {false, true}) {
      UseUpgradeWindow(unattended);
      SetWindowTextW(app.infoPane, kBefore.c_str());
      const SeenRun run = WatchRun([&] {
        return static_cast<DWORD>(ReportFailure(L"Short. ", c.paneDetail, c.boxDetail));
      });
      EXPECT_EQ(run.exitCode, 0u);
      EXPECT_EQ(run.pane, kBefore + L"\r\nShort. " + c.paneShows);
      ASSERT_EQ(run.boxes.size(), unattended ? 1u : 0u);
      if (unattended) {
        EXPECT_EQ(run.boxes[0].caption, UiText(22));
        EXPECT_EQ(run.boxes[0].text, c.boxShows);
      }
    }
  }
}

}  // namespace
