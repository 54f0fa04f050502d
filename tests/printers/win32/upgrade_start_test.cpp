// Starting an upgrade as the user does: button 901 with the open dialog, a dropped file, the
// command line of korvex_tool.exe; printers found by the real discovery. These tests register
// simulated printers, which every discovery in the prefix sees, so they run alone.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/printer_state.h"
#include "app/upgrade_worker.h"
#include "box_answerer.h"
#include "device/discovery.h"
#include "firmware/package_builder.h"
#include "gui_support.h"
#include "os/win32/device_control.h"
#include "printer_test_support.h"
#include "tests/bytes/package_test_support.h"
#include "upgrade_test_support.h"

namespace {

using package_test::FirmwareLike;

constexpr int kFileNameField = 0x47C;  // cmb13

// Waits for the open dialog of this process, notes what it shows, and then either chooses the
// file it was opened on or cancels it.
class OpenDialogDriver {
 public:
  explicit OpenDialogDriver(bool choose) : choose_(choose), thread_([this] { Drive(); }) {}
  ~OpenDialogDriver() { Finish(); }
  void Finish() {
    if (thread_.joinable()) thread_.join();
  }
  bool shown = false;
  HWND owner = nullptr;
  std::wstring fileName;

 private:
  static BOOL CALLBACK Match(HWND window, LPARAM param) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == GetCurrentProcessId() && IsWindowVisible(window) &&
        GetDlgItem(window, kFileNameField)) {
      *reinterpret_cast<HWND *>(param) = window;
      return FALSE;
    }
    return TRUE;
  }
  void Drive() {
    HWND dialog = nullptr;
    for (const DWORD start = GetTickCount(); !dialog && GetTickCount() - start < 10000;) {
      EnumWindows(Match, reinterpret_cast<LPARAM>(&dialog));
      if (!dialog) Sleep(20);
    }
    if (!dialog) return;
    shown = true;
    owner = GetWindow(dialog, GW_OWNER);
    wchar_t text[MAX_PATH] = {};
    GetDlgItemTextW(dialog, kFileNameField, text, MAX_PATH);
    fileName = text;
    PostMessageW(dialog, WM_COMMAND, choose_ ? IDOK : IDCANCEL, 0);
  }
  bool choose_;
  std::thread thread_;
};

// An HDROP of one file, as the shell hands it to the window.
HDROP DropOf(const std::wstring &name) {
  HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + (name.size() + 2) * sizeof(wchar_t));
  auto *drop = static_cast<DROPFILES *>(GlobalLock(memory));
  drop->pFiles = sizeof(DROPFILES);
  drop->fWide = TRUE;
  lstrcpyW(reinterpret_cast<wchar_t *>(drop + 1), name.c_str());
  GlobalUnlock(memory);
  return static_cast<HDROP>(memory);
}

std::wstring FileNamePart(const std::wstring &path) {
  return path.substr(path.find_last_of(L"\\/") + 1);
}

class UpgradeStart : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveSimulatedInterfaces();  // left behind by a simulator that was killed
    printerDeviceControl = SimulatedDeviceControl;
    UseUpgradeWindow();
  }
  void TearDown() override { printerDeviceControl = DeviceIoControl; }
};

TEST_F(UpgradeStart, ButtonWithTheDialogCancelledStartsNothing) {
  UpgradePrinter printer(L"015C", 2, 1, true);
  FirmwareFile previous(L"previous.bin", FirmwareLike(5000, 0x1B, 1));
  lstrcpynW(app.firmwarePath, previous.path().c_str(), 260);
  SetWindowTextW(app.infoPane, L"untouched");
  OpenDialogDriver dialog(false);
  const SeenRun run = WatchStart([] { return StartFirmwareUpgrade(2, 1); }, false);
  dialog.Finish();
  Pump(300);

  EXPECT_EQ(run.exitCode, 1u);
  ASSERT_TRUE(dialog.shown);
  EXPECT_EQ(dialog.owner, app.mainWindow);
  EXPECT_NE(dialog.fileName.find(FileNamePart(previous.path())), std::wstring::npos)
      << "the dialog opens on the previous path";
  EXPECT_EQ(printerSelected, 1) << "the printer chosen by discovery stays selected";
  EXPECT_EQ(std::wstring(currentDevicePath), printer.path());
  EXPECT_EQ(run.pane, L"untouched");
  EXPECT_EQ(run.heading, L"") << "no upgrade thread";
  EXPECT_TRUE(printer.record().received.empty());
  EXPECT_EQ(printer.record().firmwareBytes, 0u);
}

TEST_F(UpgradeStart, ButtonAndDialogUpgradeTheChosenFile) {
  UpgradePrinter printer(L"015C", 2, 1, true);
  const Bytes image = FirmwareLike(30000, 0x1B, 2);
  FirmwareFile file(L"chosen.bin", image);
  lstrcpynW(app.firmwarePath, file.path().c_str(), 260);
  OpenDialogDriver dialog(true);
  const SeenRun run = WatchStart([] { return StartFirmwareUpgrade(2, 1); }, true);
  dialog.Finish();
  EXPECT_EQ(run.exitCode, 0u);
  ASSERT_TRUE(dialog.shown);
  EXPECT_EQ(printer.Firmware(), image);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].caption, UiText(26));
  EXPECT_EQ(std::wstring(app.firmwarePath), file.path());
}

TEST_F(UpgradeStart, DroppedFileIsUpgradedWithoutADialog) {
  UpgradePrinter printer(L"015C", 2, 1, true);
  const Bytes image = FirmwareLike(30000, 0x1B, 3);
  FirmwareFile file(L"dropped.bin", image);
  const SeenRun run = WatchStart(
      [&] {
        SendMessageW(app.mainWindow, WM_DROPFILES, reinterpret_cast<WPARAM>(DropOf(file.path())),
                     0);
        return 0;
      },
      true);
  EXPECT_EQ(printer.Firmware(), image);
  EXPECT_EQ(run.heading, UiText(12));
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].caption, UiText(26));
}

TEST_F(UpgradeStart, UnattendedStartWithoutAChoiceClosesTheProgram) {
  FirmwareFile file(L"unused.bin", FirmwareLike(5000, 0x1B, 4));
  lstrcpynW(app.firmwarePath, file.path().c_str(), 260);
  {
    // No printer at all: discovery says so in a box.
    UseUpgradeWindow(true);
    app.exitCode = kExitNothingSent;
    const SeenRun run = WatchStart([] { return StartFirmwareUpgrade(3, 0); }, false);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(app.exitCode, kExitNoPrinter);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].caption, UiText(22));
    EXPECT_EQ(run.closeRequests, 1);
  }
  {
    // Two printers, and the choice menu dismissed.
    UpgradePrinter first(L"015C", 2, 1, true);
    UpgradePrinter second(L"0110", 2, 2, true);
    UseUpgradeWindow(true);
    app.exitCode = kExitNothingSent;
    MenuDriver menu(-1);
    const SeenRun run = WatchStart([] { return StartFirmwareUpgrade(3, 0); }, false);
    EXPECT_TRUE(menu.Finish().shown);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(app.exitCode, kExitNoPrinter) << "the program ends with the no-printer code";
    EXPECT_EQ(run.closeRequests, 1);
    EXPECT_EQ(run.heading, L"") << "no upgrade thread";
    EXPECT_EQ(first.record().firmwareBytes + second.record().firmwareBytes, 0u);
  }
}

// korvex_tool.exe as a script runs it unattended: it upgrades the printer or says why not in a
// box, ends by itself, and tells the outcome by its exit code.
TEST_F(UpgradeStart, CommandLineRunEndsWithTheOutcomeAsExitCodeAndBox) {
  // The program starts in English: the saved language says so.
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, InternalString(11), InternalString(12), REG_SZ,
                            L"1", 2 * sizeof(wchar_t)),
            ERROR_SUCCESS);
  const Bytes image = FirmwareLike(300000, 0x1B, 5);
  auto package = [&](const char *code) {
    return BuildSingleImagePackage(reinterpret_cast<const unsigned char *>(code), image.data(),
                                   image.size(), 100000, 6);
  };
  const Bytes good = package(kPrinterProductCode);
  const std::wstring loopError = Format(InternalString(132), UiText(22), InternalString(87));
  struct Case {
    const char *what;
    bool printer;                 // a printer is attached
    long long disconnectAfter;    // firmware bytes it takes before it goes away; -1 never
    Bytes file;
    const wchar_t *caption;
    std::wstring text;            // of the box
    int exitCode;
    size_t received;              // firmware bytes the printer took
  } cases[] = {
      {"sent", true, -1, good, UiText(26), UiText(32), 0, image.size()},
      {"no printer", false, -1, good, UiText(22), UiText(29), 3, 0},
      {"refused", true, -1, package("KX99999Z99"), UiText(22),
       std::wstring(InternalString(83)) + UiText(30), 4, 0},
      {"damaged", true, -1, Bytes(good.begin(), good.end() - 1), UiText(22),
       Format(InternalString(132), UiText(22), InternalString(101)) + L"\r\n" + UiText(30), 4, 0},
      {"cut off", true, 50000, good, UiText(22), loopError + L"\r\n" + UiText(30), 5, 50000},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<UpgradePrinter> printer;
    if (c.printer) {
      SimulatedPrinterSetup setup;
      setup.productId = L"0110";  // KLC-2510: family 2, its note is in the pane
      setup.registerInterface = true;
      setup.faults.disconnectAfter = c.disconnectAfter;
      printer = std::make_unique<UpgradePrinter>(setup, 1);
    }
    FirmwareFile file(L"command line.bin", c.file);
    const UnattendedRun run = RunUnattended(file.path(), c.caption, 15000, 4000);
    ASSERT_TRUE(run.started);
    ASSERT_TRUE(run.box.found) << "no box";
    EXPECT_EQ(run.box.text, c.text);
    EXPECT_EQ(run.exitCode, c.exitCode) << "the program closes itself with the outcome";
    if (printer) {
      const Bytes received = printer->Firmware();
      EXPECT_EQ(received.size(), c.received);
      EXPECT_TRUE(std::equal(received.begin(), received.end(), image.begin()));
    }
  }
}

}  // namespace
