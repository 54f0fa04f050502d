// A printer that scripts/korvex-linux bridges in from Linux, as the program meets it under Wine:
// a USB printer interface path (\\?\usb#vid_4b56&pid_015c#…) found through SetupAPI. Here the
// path leads to a simulated printer through a symbolic link in Wine's object namespace. Without
// the usblp write guard in the process (KORVEX_USBLP_GUARD naming this program's architecture)
// an upgrade or a maintenance command is refused before anything is sent; with it, it goes
// through.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/main_window.h"
#include "app/maintenance_worker.h"
#include "app/notice.h"
#include "app/printer_state.h"
#include "app/upgrade_worker.h"
#include "box_answerer.h"
#include "gui_support.h"
#include "os/win32/device_control.h"
#include "printer_test_support.h"
#include "tables/tables.h"
#include "tables/upgrade_texts.h"
#include "tests/bytes/package_test_support.h"
#include "upgrade_test_support.h"

namespace {

using package_test::FirmwareLike;

constexpr wchar_t kGuardVariable[] = L"KORVEX_USBLP_GUARD";
#ifdef _WIN64
constexpr wchar_t kOwnArchitecture[] = L"x86_64";
constexpr wchar_t kOtherArchitecture[] = L"i386";
#else
constexpr wchar_t kOwnArchitecture[] = L"i386";
constexpr wchar_t kOtherArchitecture[] = L"x86_64";
#endif

// ntdll's NtCreateSymbolicLinkObject with its UNICODE_STRING and OBJECT_ATTRIBUTES, laid out
// as ntdll has them (winternl.h would clash with the test support's names).
struct CountedText {
  USHORT length, capacity;
  const wchar_t *text;
};
struct ObjectAttributes {
  ULONG size;
  HANDLE root;
  CountedText *name;
  ULONG attributes;
  void *securityDescriptor, *securityQuality;
};
using CreateSymbolicLinkObject = LONG(WINAPI *)(HANDLE *, ACCESS_MASK, ObjectAttributes *,
                                                CountedText *);
constexpr ACCESS_MASK kLinkAllAccess = 0xF0001;  // SYMBOLIC_LINK_ALL_ACCESS
constexpr ULONG kCaseInsensitive = 0x40;         // OBJ_CASE_INSENSITIVE

CountedText Counted(const std::wstring &text) {
  const USHORT bytes = static_cast<USHORT>(text.size() * sizeof(wchar_t));
  return {bytes, bytes, text.c_str()};
}

// A simulated printer reached by a bridged printer's path: a symbolic link from the DOS device
// name to its pipe, and the path registered as a present USB printer interface.
class BridgedPrinter {
 public:
  explicit BridgedPrinter(int number) {
    SimulatedPrinterSetup setup;
    setup.productId = L"015C";  // Orbis 300, family 2
    setup.registerInterface = false;
    printer_ = std::make_unique<UpgradePrinter>(setup, number);
    const std::wstring pipe = printer_->path();  // \\.\pipe\NAME
    const std::wstring name = L"usb#vid_4b56&pid_015c#bridged" + std::to_wstring(number) +
                              L"#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
    path_ = L"\\\\?\\" + name;
    const std::wstring linkName = L"\\??\\" + name;
    const std::wstring target = L"\\Device\\NamedPipe\\" + pipe.substr(pipe.rfind(L'\\') + 1);
    CountedText linkText = Counted(linkName), targetText = Counted(target);
    ObjectAttributes attributes = {sizeof attributes, nullptr, &linkText, kCaseInsensitive,
                                   nullptr, nullptr};
    auto create = reinterpret_cast<CreateSymbolicLinkObject>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateSymbolicLinkObject")));
    if (!create || create(&link_, kLinkAllAccess, &attributes, &targetText) != 0) link_ = nullptr;
    key_ = std::wstring(kSimulatedKeyPrefix) + L"bridged" + std::to_wstring(number);
    registered_ = link_ && RegisterPrinterInterface(
                               key_, L"USB\\VID_4B56&PID_015C\\KORVEXSIMbridged" +
                                         std::to_wstring(number),
                               path_);
  }
  ~BridgedPrinter() {
    if (registered_) UnregisterPrinterInterface(key_);
    if (link_) CloseHandle(link_);
  }
  bool ready() const { return registered_ && printer_->started(); }
  const std::wstring &path() const { return path_; }
  UpgradePrinter &printer() { return *printer_; }

 private:
  std::unique_ptr<UpgradePrinter> printer_;
  HANDLE link_ = nullptr;
  std::wstring path_, key_;
  bool registered_ = false;
};

class BridgedUpgrade : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveSimulatedInterfaces();
    printerDeviceControl = SimulatedDeviceControl;
    UseUpgradeWindow();
  }
  void TearDown() override {
    SetEnvironmentVariableW(kGuardVariable, nullptr);
    printerDeviceControl = DeviceIoControl;
    HideNotice();
  }
};

TEST_F(BridgedUpgrade, WithoutTheGuardTheUpgradeIsRefusedAndNothingIsSent) {
  BridgedPrinter bridged(1);
  ASSERT_TRUE(bridged.ready());
  FirmwareFile file(L"bridged.bin", FirmwareLike(30000, 0x1B, 7));
  // Unset, set by a guard of the other architecture (a process it was loaded in started this
  // one), or anything else: all the same.
  const wchar_t *const values[] = {nullptr, kOtherArchitecture, L"1"};
  const wchar_t *const codes[4] = {L"ru", L"en", L"pt", L"zh"};
  for (const wchar_t *value : values) {
    SCOPED_TRACE(value ? value : L"unset");
    SetEnvironmentVariableW(kGuardVariable, value);
    for (int language = 0; language < 4; ++language) {
      SendMessageW(app.mainWindow, WM_COMMAND, kFirstLanguageCommand + language, 0);
      lstrcpynW(app.firmwarePath, file.path().c_str(), 260);
      const SeenRun run = WatchStart([] { return StartFirmwareUpgrade(2, 0); }, false);
      EXPECT_EQ(run.exitCode, 1u) << "no upgrade thread";
      EXPECT_EQ(std::wstring(currentDevicePath), bridged.path()) << "the bridged printer chosen";
      EXPECT_EQ(app.noticeShown, 1);
      EXPECT_EQ(NoticeText(), UiText(kBridgedUpgradeRefusedText));
      EXPECT_TRUE(run.boxes.empty());
      EXPECT_NE(run.heading, UiText(kUpgradeHeadingText)) << "no upgrade thread";
      if (!value) {
        RECT area;
        GetWindowRect(app.mainWindow, &area);
        InflateRect(&area, 4, 4);
        SaveScreenshot(std::wstring(L"bridged_upgrade_refused_") + codes[language], area);
      }
      HideNotice();
    }
  }
  SendMessageW(app.mainWindow, WM_COMMAND, kFirstLanguageCommand + kEnglish, 0);
  const SimulatedPrinterRecord seen = bridged.printer().record();
  EXPECT_TRUE(seen.received.empty()) << "no question was asked either";
  EXPECT_EQ(seen.firmwareBytes, 0u);
}

TEST_F(BridgedUpgrade, UnattendedRefusalEndsWithNothingSent) {
  BridgedPrinter bridged(2);
  ASSERT_TRUE(bridged.ready());
  FirmwareFile file(L"bridged unattended.bin", FirmwareLike(30000, 0x1B, 8));
  UseUpgradeWindow(true);
  app.exitCode = kExitNothingSent;
  lstrcpynW(app.firmwarePath, file.path().c_str(), 260);
  const SeenRun run = WatchStart([] { return StartFirmwareUpgrade(3, 0); }, false);
  EXPECT_EQ(run.exitCode, 1u);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].caption, UiText(kErrorWordText));
  EXPECT_EQ(run.boxes[0].text, UiText(kBridgedUpgradeRefusedText));
  EXPECT_EQ(app.exitCode, kExitNothingSent);
  EXPECT_EQ(run.closeRequests, 1) << "the program ends";
  EXPECT_EQ(bridged.printer().record().firmwareBytes, 0u);
}

TEST_F(BridgedUpgrade, WithTheGuardTheUpgradeGoesThrough) {
  BridgedPrinter bridged(3);
  ASSERT_TRUE(bridged.ready());
  const Bytes image = FirmwareLike(30000, 0x1B, 9);
  FirmwareFile file(L"bridged guarded.bin", image);
  SetEnvironmentVariableW(kGuardVariable, kOwnArchitecture);
  lstrcpynW(app.firmwarePath, file.path().c_str(), 260);
  const SeenRun run = WatchStart([] { return StartFirmwareUpgrade(2, 0); }, true);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(app.noticeShown, 0);
  EXPECT_EQ(bridged.printer().Firmware(), image);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].caption, UiText(kResultCaptionText));
}

// Restore defaults (which asks first) and a panel language (which does not): refused before any
// question, with nothing sent; with the guard the command goes out once.
TEST_F(BridgedUpgrade, WithoutTheGuardMaintenanceCommandsAreRefusedToo) {
  BridgedPrinter bridged(6);
  ASSERT_TRUE(bridged.ready());
  for (int menuId : {600, 702}) {
    SCOPED_TRACE(menuId);
    BoxAnswerer question(UiText(21), IDOK, 400);
    SendMessageW(app.mainWindow, WM_COMMAND, menuId, 0);
    Pump(300);
    EXPECT_FALSE(question.Result().found) << "nothing is asked";
    EXPECT_EQ(std::wstring(currentDevicePath), bridged.path());
    EXPECT_EQ(app.noticeShown, 1);
    EXPECT_EQ(NoticeText(), UiText(kBridgedMaintenanceRefusedText));
    HideNotice();
  }
  EXPECT_TRUE(bridged.printer().record().received.empty());

  SetEnvironmentVariableW(kGuardVariable, kOwnArchitecture);
  EXPECT_TRUE(RunCommandUntilIdle(702, 20000));
  EXPECT_EQ(NoticeText(), UiText(3)) << "the success notice";
  EXPECT_EQ(bridged.printer().record().received,
            std::vector<std::string>{"CMD_SET_LANGUAGE_1"});
  HideNotice();
}

// korvex_tool.exe as a script runs it on the bridged printer: refused with exit 4 without the
// guard (the variable is the parent's, as Wine hands the environment on), through with it.
TEST_F(BridgedUpgrade, ShippedProgramRefusesUnattendedWithoutTheGuard) {
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, InternalString(11), InternalString(12), REG_SZ,
                            L"1", 2 * sizeof(wchar_t)),
            ERROR_SUCCESS);
  const Bytes image = FirmwareLike(30000, 0x1B, 10);
  struct Case {
    const wchar_t *guard;
    const wchar_t *caption;
    std::wstring text;  // the box text ends with it
    int exitCode;
    size_t received;
  } cases[] = {
      {nullptr, UiText(kErrorWordText), UiText(kBridgedUpgradeRefusedText), 4, 0},
      {kOwnArchitecture, UiText(kResultCaptionText), UiText(kAfterTransferNoteText), 0,
       image.size()},
  };
  int number = 4;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.guard ? c.guard : L"unset");
    BridgedPrinter bridged(number++);
    ASSERT_TRUE(bridged.ready());
    FirmwareFile file(L"bridged command line.bin", image);
    SetEnvironmentVariableW(kGuardVariable, c.guard);
    const UnattendedRun run = RunUnattended(file.path(), c.caption, 15000, 4000);
    ASSERT_TRUE(run.started);
    ASSERT_TRUE(run.box.found) << "no box";
    EXPECT_TRUE(EndsWith(run.box.text, c.text));
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(bridged.printer().Firmware().size(), c.received);
  }
}

}  // namespace
