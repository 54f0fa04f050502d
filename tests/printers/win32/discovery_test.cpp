// Printer discovery through the real SetupAPI walk over printers registered in the Wine prefix,
// the choice in the popup menu, and the protocol check of the chosen printer.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/notice.h"
#include "app/printer_menu.h"
#include "app/printer_state.h"
#include "box_answerer.h"
#include "device/discovery.h"
#include "device/transaction.h"
#include "gui_support.h"
#include "os/win32/device_control.h"
#include "printer_test_support.h"

namespace {

constexpr wchar_t kGuidField[] = L"{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveSimulatedInterfaces();  // whatever a killed run left behind
  }
  void TearDown() override {
    RemoveSimulatedInterfaces();
    app.unattendedMode = 0;
  }

  // Registers a present USB printer interface with this device path; nothing needs to serve it
  // unless the test selects it.
  void Register(const std::wstring &path) {
    const std::wstring serial = UniqueSerial(++registered_);
    ASSERT_TRUE(RegisterPrinterInterface(std::wstring(kSimulatedKeyPrefix) + serial,
                                         L"USB\\VID_4B56&PID_0000\\KORVEXTEST" + serial, path));
  }

  static std::vector<std::wstring> ListedPaths() {
    std::vector<std::wstring> paths;
    for (const PrinterEntry &entry : printerList) {
      if (entry.devicePath[0]) paths.push_back(entry.devicePath);
    }
    return paths;
  }

  TestWindows windows_;
  int registered_ = 0;
};

TEST_F(Discovery, NoPrinterIsToldInTheNoticeOrUnattendedInABox) {
  for (int unattended : {0, 1}) {
    SCOPED_TRACE(unattended ? "unattended" : "interactive");
    app.unattendedMode = unattended;
    lstrcpyW(currentDevicePath, L"left from before");
    BoxAnswerer answerer(UiText(22), IDOK, unattended ? 10000 : 300);
    EXPECT_EQ(DiscoverPrinters(1), 0);
    // The watcher reads window texts, which this thread must serve until it gives up.
    if (!unattended) Pump(400);
    const AnsweredBox box = answerer.Result();
    EXPECT_EQ(printerSelected, 0);
    EXPECT_STREQ(currentDevicePath, L"");
    EXPECT_STREQ(currentDeviceId, L"");
    if (unattended) {
      EXPECT_TRUE(box.found);
      EXPECT_EQ(box.text, UiText(29));
      EXPECT_EQ(box.owner, app.mainWindow);
    } else {
      EXPECT_FALSE(box.found);
      EXPECT_EQ(NoticeText(), UiText(29));
      EXPECT_EQ(app.noticeShown, 1);
      HideNotice();
    }
  }
}

TEST_F(Discovery, TheOnlyPrinterIsSelectedAtOnce) {
  SimulatedPrinterSetup setup = FamilyPrinter(2, 1);
  setup.registerInterface = true;
  PrinterUnderTest printer(setup);
  MenuDriver menu(-1);
  EXPECT_EQ(DiscoverPrinters(1), 0);
  EXPECT_FALSE(menu.Finish().shown) << "no menu for a single printer";
  EXPECT_EQ(printerSelected, 1);
  EXPECT_EQ(currentDevicePath, printer.path());
  EXPECT_STREQ(currentDeviceId, L"4B56015C");
  EXPECT_STREQ(printerList[0].displayName, L"Orbis 300 (4B56015C)");
  EXPECT_EQ(printer.ConnectionsReaching(1), 1) << "the protocol check opened the printer";

  // The selection is what the engine talks to.
  protocolFamily = 2;
  std::string reply;
  EXPECT_EQ(AskSelectedPrinter(1, 6, 2, CMD_SSI_FW_VERSION.data(), 54, &reply), 0);
  EXPECT_EQ(reply, std::string("3.01.22\0", 8));
}

TEST_F(Discovery, SeveralPrintersAreOfferedAndTheChoiceIsSelected) {
  SimulatedPrinterSetup first = FamilyPrinter(1, 1);
  first.registerInterface = true;
  SimulatedPrinterSetup second = FamilyPrinter(2, 2);
  second.registerInterface = true;
  PrinterUnderTest printerA(first), printerB(second);
  for (int pick : {2, 3}) {
    SCOPED_TRACE("menu position " + std::to_string(pick));
    MenuDriver menu(pick, 8000, pick == 3 ? L"printer_menu" : L"");
    EXPECT_EQ(DiscoverPrinters(2), 0);
    const SeenMenu seen = menu.Finish();
    ASSERT_TRUE(seen.shown);
    ASSERT_EQ(seen.items.size(), 4u);
    EXPECT_EQ(seen.items[0].text, UiText(27));
    EXPECT_EQ(seen.items[0].state & (MF_GRAYED | MF_DISABLED), UINT(MF_GRAYED | MF_DISABLED));
    EXPECT_TRUE(seen.items[1].state & MF_SEPARATOR);
    EXPECT_EQ(seen.items[2].text, printerList[0].displayName);
    EXPECT_EQ(seen.items[2].id, 1000u);
    EXPECT_EQ(seen.items[3].text, printerList[1].displayName);
    EXPECT_EQ(seen.items[3].id, 1001u);
    const std::set<std::wstring> names = {seen.items[2].text, seen.items[3].text};
    EXPECT_EQ(names, (std::set<std::wstring>{L"KL-1020 (4B560022)", L"Orbis 300 (4B56015C)"}));

    EXPECT_EQ(printerSelected, 1);
    const PrinterEntry &chosen = printerList[pick - 2];
    EXPECT_STREQ(currentDevicePath, chosen.devicePath);
    EXPECT_STREQ(currentDeviceId, chosen.deviceId);
  }
  // Each was chosen once, and only a chosen printer is opened by the protocol check.
  EXPECT_EQ(printerA.ConnectionsReaching(1), 1);
  EXPECT_EQ(printerB.ConnectionsReaching(1), 1);
}

TEST_F(Discovery, DismissedMenuSelectsNothing) {
  SimulatedPrinterSetup first = FamilyPrinter(1, 1), second = FamilyPrinter(2, 2);
  first.registerInterface = second.registerInterface = true;
  PrinterUnderTest printerA(first), printerB(second);
  MenuDriver menu(-1);
  EXPECT_EQ(DiscoverPrinters(3), 0);
  EXPECT_TRUE(menu.Finish().shown);
  EXPECT_EQ(printerSelected, 0);
  EXPECT_STREQ(currentDevicePath, L"");
  EXPECT_EQ(ListedPaths().size(), 2u);
  EXPECT_EQ(printerA.record().connections + printerB.record().connections, 0);
}

TEST_F(Discovery, MenuOpensAtItsAnchor) {
  Register(std::wstring(L"\\\\.\\pipe\\id_4B56&pid_0022#a#") + kGuidField);
  Register(std::wstring(L"\\\\.\\pipe\\id_4B56&pid_0023#b#") + kGuidField);
  POINT origin = {0, 0};
  MapWindowPoints(app.mainWindow, nullptr, &origin, 1);
  RECT client;
  GetClientRect(app.mainWindow, &client);
  struct Case {
    int anchor;
    POINT expected;
  };
  const Case cases[] = {
      {1, {origin.x + ScaleForDpi(101), origin.y + client.bottom - ScaleForDpi(3)}},
      {2, {origin.x + client.right - ScaleForDpi(203), origin.y + client.bottom - ScaleForDpi(3)}},
      {3, {origin.x + ScaleForDpi(105), origin.y + ScaleForDpi(10)}},
      {0, {GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 3}},
      {7, {GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 3}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("anchor " + std::to_string(c.anchor));
    MenuDriver menu(-1);
    DiscoverPrinters(c.anchor);
    const SeenMenu seen = menu.Finish();
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(seen.at.x, c.expected.x);
    EXPECT_EQ(seen.at.y, c.expected.y);
  }
}

TEST_F(Discovery, SixteenPrintersAtMost) {
  std::set<std::wstring> registered;
  for (int i = 0; i < 17; ++i) {
    wchar_t path[128];
    wsprintfW(path, L"\\\\.\\pipe\\id_4B56&pid_01%02X#p%d#%s", i, i, kGuidField);
    Register(path);
    registered.insert(path);
  }
  MenuDriver menu(-1);
  EXPECT_EQ(DiscoverPrinters(1), 0);
  const SeenMenu seen = menu.Finish();
  ASSERT_TRUE(seen.shown);
  EXPECT_EQ(seen.items.size(), 2u + kMaxPrinters);
  const std::vector<std::wstring> listed = ListedPaths();
  ASSERT_EQ(listed.size(), static_cast<size_t>(kMaxPrinters));
  const std::set<std::wstring> distinct(listed.begin(), listed.end());
  EXPECT_EQ(distinct.size(), listed.size());
  EXPECT_TRUE(std::includes(registered.begin(), registered.end(), distinct.begin(),
                            distinct.end()));
}

TEST_F(Discovery, PathsAreAdmittedByTheirLowerCaseTextAndNamedByPosition) {
  const std::wstring tooLong =
      L"\\\\?\\usb#vid_4b56&pid_0022#" + std::wstring(260 - 26 - 38, L'x') + kGuidField;
  ASSERT_EQ(tooLong.size(), 260u);  // one unit more than a device path may hold
  // Path as registered, and the id it gets (empty: left out).
  const std::map<std::wstring, std::wstring> cases = {
      {L"\\\\?\\usb#vid_4b56&pid_0042#5&1a2b3c&0&1#" + std::wstring(kGuidField), L"4B560042"},
      {L"\\\\.\\pipe\\ID_4B56&PID_015c#Upper#" + std::wstring(kGuidField), L"4B56015C"},
      {L"\\\\?\\USB#VID_4B42&PID_A001#boot#" + std::wstring(kGuidField), L"4B42A001"},
      {L"\\\\?\\usb#vid_4b52&pid_0001#boot#" + std::wstring(kGuidField), L"4B520001"},
      // Admitted, but its ids do not stand where a USB path has them.
      {L"\\\\.\\pipe\\printer_id_4b56&pid_0300", L"NTERB56&"},
      {L"\\\\?\\usb#vid_4b56&pid_0000#blank#" + std::wstring(kGuidField), L""},
      {L"\\\\?\\usb#vid_4b56&pid_FFFF#blank#" + std::wstring(kGuidField), L""},
      {L"\\\\?\\usb#vid_04b8&pid_0005#other#" + std::wstring(kGuidField), L""},
      {L"\\\\?\\usb#vid_4b57&pid_0022#other#" + std::wstring(kGuidField), L""},
      {tooLong, L""},
      {tooLong.substr(0, 26) + tooLong.substr(27), L"4B560022"},  // 259 units fit
  };
  for (const auto &[path, id] : cases) Register(path);
  MenuDriver menu(-1);
  EXPECT_EQ(DiscoverPrinters(1), 0);
  menu.Finish();

  std::map<std::wstring, std::wstring> listed;
  for (const PrinterEntry &entry : printerList) {
    if (entry.devicePath[0]) listed[entry.devicePath] = entry.deviceId;
  }
  std::map<std::wstring, std::wstring> expected;
  for (const auto &[path, id] : cases) {
    if (!id.empty()) expected[path] = id;
  }
  EXPECT_EQ(listed, expected);
  for (const PrinterEntry &entry : printerList) {
    if (std::wstring(entry.deviceId) == L"4B42A001") {
      EXPECT_STREQ(entry.displayName, L"Boot mode (4B42A001)");
    }
  }
}

class ProtocolCheck : public ::testing::Test {
 protected:
  void TearDown() override { printerDeviceControl = DeviceIoControl; }

  static void List(const std::wstring &path) {
    ZeroMemory(printerList, sizeof printerList);
    lstrcpynW(printerList[0].devicePath, path.c_str(), kDevicePathUnits);
    lstrcpyW(printerList[0].deviceId, L"4B56015C");
    printerSelected = 0;
  }

  TestWindows windows_;
};

TEST_F(ProtocolCheck, OpensThePathWithTheClassGuidInItsGuidField) {
  PrinterUnderTest printer(FamilyPrinter(2, 1));
  const std::wstring path = printer.path();
  const size_t field = path.find(L'{') + 1;
  std::wstring otherGuid = path;
  otherGuid.replace(field, 36, L"00000000-0000-0000-0000-000000000000");
  std::wstring noClosing = otherGuid;
  noClosing[field + 36] = L')';
  std::wstring noOpening = path;
  noOpening[field - 1] = L'(';
  struct Case {
    std::wstring path;
    int result;
    int connections;  // the simulated printer opened by the check
    const char *what;
  };
  const Case cases[] = {
      {path, 0, 1, "a simulated printer's own path"},
      {otherGuid, 0, 1, "another GUID in the field: the class GUID is put in"},
      {noClosing, 0, 0, "no closing delimiter 36 units on: no check"},
      {noOpening, 0, 0, "no opening delimiter: no check"},
      {path.substr(0, field + 10), 0, 0, "the path ends inside the field: no check"},
      {path + L"-gone", 1, 0, "nothing to open: the check fails, the selection stands"},
  };
  int opened = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    List(c.path);
    EXPECT_EQ(SelectPrinter(0), c.result);
    EXPECT_EQ(printerSelected, 1);
    EXPECT_EQ(currentDevicePath, c.path) << "the path is kept as listed";
    EXPECT_STREQ(currentDeviceId, L"4B56015C");
    opened += c.connections;
    EXPECT_EQ(printer.ConnectionsReaching(opened), opened);
  }
}

TEST_F(ProtocolCheck, PrinterInIppModeIsSwitchedToBidirectional) {
  printerDeviceControl = SimulatedDeviceControl;
  SimulatedPrinterSetup ippSetup = FamilyPrinter(2, 1);
  ippSetup.faults.reportsIpp = true;
  PrinterUnderTest ipp(ippSetup);
  PrinterUnderTest plain(FamilyPrinter(2, 2));
  auto logged = [](const PrinterUnderTest &printer, const std::string &text) {
    const std::vector<std::string> log = printer.record().log;
    return std::any_of(log.begin(), log.end(), [&](const std::string &line) {
      return line.find(text) != std::string::npos;
    });
  };

  List(plain.path());
  EXPECT_EQ(SelectPrinter(0), 0);
  EXPECT_TRUE(logged(plain, "protocol asked"));
  EXPECT_FALSE(logged(plain, "protocol set")) << "a bidirectional printer is left alone";

  EXPECT_TRUE(ipp.record().ippMode);
  List(ipp.path());
  const DWORD start = GetTickCount();
  EXPECT_EQ(SelectPrinter(0), 0);
  EXPECT_GE(GetTickCount() - start, 90u) << "a pause after the switch";
  EXPECT_TRUE(logged(ipp, "protocol set to 2"));
  EXPECT_FALSE(ipp.record().ippMode);

  // Out of IPP mode the printer answers commands.
  protocolFamily = 2;
  std::string reply;
  EXPECT_EQ(AskSelectedPrinter(1, 6, 2, CMD_SSI_FW_VERSION.data(), 54, &reply), 0);
  EXPECT_EQ(reply, std::string("3.01.22\0", 8));
}

}  // namespace
