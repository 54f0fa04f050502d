// The simulator as firmware goes to it, and korvex-printer-sim.exe run as a user would run it:
// its printers found by discovery and answering the engine, its registry entries gone after it.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/notice.h"
#include "app/printer_menu.h"
#include "app/printer_state.h"
#include "device/discovery.h"
#include "device/packets.h"
#include "device/transaction.h"
#include "device/transport.h"
#include "gui_support.h"
#include "printer_test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::wstring TemporaryFile() {
  wchar_t directory[MAX_PATH], file[MAX_PATH];
  GetTempPathW(MAX_PATH, directory);
  GetTempFileNameW(directory, L"kfw", 0, file);
  return file;
}

Bytes FileBytes(const std::wstring &path) {
  Bytes bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  bytes.resize(GetFileSize(file, nullptr));
  DWORD read = 0;
  ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  CloseHandle(file);
  bytes.resize(read);
  return bytes;
}

// Writes firmware the way the transfer does: synchronous writes of at most 4096 bytes on a
// device opened for the call. Returns how many writes succeeded.
int WriteFirmware(const std::wstring &path, const Bytes &image) {
  HANDLE device = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (device == INVALID_HANDLE_VALUE) return -1;
  int writes = 0;
  for (size_t offset = 0; offset < image.size(); offset += 4096) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(4096, image.size() - offset));
    DWORD written = 0;
    if (!WriteFile(device, image.data() + offset, chunk, &written, nullptr) || written != chunk) {
      break;
    }
    ++writes;
  }
  CloseHandle(device);
  return writes;
}

Bytes Image(size_t size) {
  const std::string head = "\x1B%-12345X@PJL FIRMWARE UPDATE\r\n";
  Bytes image(head.begin(), head.end());
  for (size_t i = image.size(); i < size; ++i) image.push_back(static_cast<unsigned char>(i * 7));
  return image;
}

bool WaitFor(const std::function<bool()> &done, DWORD timeoutMs = 3000) {
  const DWORD start = GetTickCount();
  while (!done() && GetTickCount() - start < timeoutMs) Sleep(10);
  return done();
}

TEST(Simulator, StoresFirmwareBytesAsTheyCome) {
  const std::wstring file = TemporaryFile();
  SimulatedPrinterSetup setup = FamilyPrinter(2, 1);
  setup.firmwareFile = file;
  {
    PrinterUnderTest printer(setup);
    const Bytes image = Image(2 * 4096 + 100);
    EXPECT_EQ(WriteFirmware(printer.path(), image), 3);
    // A second part through a device opened anew, as a multi-part package sends it.
    const Bytes part = Image(5000);
    EXPECT_EQ(WriteFirmware(printer.path(), part), 2);
    ASSERT_TRUE(WaitFor([&] { return printer.record().firmwareBytes == image.size() + 5000; }));
    Bytes expected = image;
    expected.insert(expected.end(), part.begin(), part.end());
    EXPECT_EQ(FileBytes(file), expected);
    EXPECT_TRUE(printer.record().received.empty()) << "no firmware byte is taken for a command";
  }
  DeleteFileW(file.c_str());
}

TEST(Simulator, GoesAwayAfterTheGivenFirmwareBytes) {
  const std::wstring file = TemporaryFile();
  SimulatedPrinterSetup setup = FamilyPrinter(1, 1);
  setup.firmwareFile = file;
  setup.faults.disconnectAfter = 5000;
  {
    PrinterUnderTest printer(setup);
    const Bytes image = Image(6 * 4096);
    const int writes = WriteFirmware(printer.path(), image);
    EXPECT_GE(writes, 2);
    EXPECT_LT(writes, 6) << "writes fail once the printer is gone";
    EXPECT_EQ(WriteFirmware(printer.path(), image), -1) << "and it cannot be opened again";
    EXPECT_EQ(printer.record().firmwareBytes, 5000u);
    EXPECT_EQ(FileBytes(file), Bytes(image.begin(), image.begin() + 5000));
  }
  DeleteFileW(file.c_str());
}

TEST(Simulator, SlowPrinterHoldsEveryWrite) {
  SimulatedPrinterSetup setup = FamilyPrinter(2, 1);
  setup.faults.slowWriteMilliseconds = 200;
  PrinterUnderTest printer(setup);
  const DWORD start = GetTickCount();
  EXPECT_EQ(WriteFirmware(printer.path(), Image(3 * 4096)), 3);
  EXPECT_GE(GetTickCount() - start, 550u);
}

TEST(Simulator, TakesFirmwareNoFasterThanItsIntakeRate) {
  SimulatedPrinterSetup setup = FamilyPrinter(2, 1);
  setup.faults.intakeBytesPerSecond = 1 << 20;
  PrinterUnderTest printer(setup);
  const Bytes image = Image(512 << 10);
  const DWORD start = GetTickCount();
  EXPECT_EQ(WriteFirmware(printer.path(), image), 128);
  // The writes waited for the flash: only the last ones can still be on their way.
  EXPECT_GE(printer.record().firmwareBytes, image.size() - 2 * 4096);
  ASSERT_TRUE(WaitFor([&] { return printer.record().firmwareBytes == image.size(); }));
  EXPECT_GE(GetTickCount() - start, 450u);
}

// Whether the program's SetupAPI walk lists this device path.
bool Listed(const std::wstring &path) {
  struct Search {
    const std::wstring &path;
    bool found;
  } search = {path, false};
  EnumeratePrinterInterfaces(
      [](void *context, const wchar_t *listed) {
        auto *search = static_cast<Search *>(context);
        search->found = CompareStringOrdinal(listed, -1, search->path.c_str(), -1, TRUE) ==
                        CSTR_EQUAL;
        return !search->found;
      },
      &search);
  return search.found;
}

TEST(SimulatorRestart, ThePrinterLeavesTheWalkAndComesBackOnTheNewVersion) {
  TestWindows windows;
  RemoveSimulatedInterfaces();
  SimulatedPrinterSetup setup = FamilyPrinter(2, 1);
  setup.registerInterface = true;
  setup.faults.restartAfter = 5000;
  setup.faults.restartSeconds = 2;
  setup.faults.firmwareAfterRestart = "3.02.07";
  PrinterUnderTest printer(setup);
  const std::wstring path = printer.path();
  ASSERT_TRUE(Listed(path));

  EXPECT_LT(WriteFirmware(path, Image(4 * 4096)), 4) << "writes fail once it restarts";
  ASSERT_TRUE(WaitFor([&] { return !Listed(path); }));
  const DWORD goneAt = GetTickCount();
  EXPECT_EQ(WriteFirmware(path, Image(4096)), -1) << "and it cannot be opened";
  const SimulatedPrinterRecord away = printer.record();
  EXPECT_FALSE(away.present);
  EXPECT_EQ(away.restarts, 1);
  EXPECT_EQ(away.firmwareBytes, 5000u);

  ASSERT_TRUE(WaitFor([&] { return Listed(path); }, 10000));
  EXPECT_GE(GetTickCount() - goneAt, 1000u) << "away for its restart seconds";
  EXPECT_TRUE(printer.record().present);
  lstrcpynW(currentDevicePath, path.c_str(), kDevicePathUnits);
  protocolFamily = 2;
  std::string reply;
  EXPECT_EQ(AskSelectedPrinter(1, 6, 2, CMD_SSI_FW_VERSION.data(), 54, &reply), 0);
  EXPECT_EQ(reply, std::string("3.02.07\0", 8));
}

// The interface keys of the USB printer class that name an instance with this serial: the
// simulator's own and those Wine's SetupAPI adds as it lists them.
std::vector<std::wstring> InterfaceKeysNaming(const std::wstring &serial) {
  const std::wstring end = L"\\KORVEXSIM" + serial;
  std::vector<std::wstring> found;
  for (auto [key, instance] : InterfaceKeys()) {
    if (instance.size() >= end.size() &&
        CompareStringOrdinal(instance.c_str() + instance.size() - end.size(),
                             static_cast<int>(end.size()), end.c_str(),
                             static_cast<int>(end.size()), TRUE) == CSTR_EQUAL) {
      found.push_back(key);
    }
  }
  return found;
}

TEST(SimulatorProgram, ItsPrintersAreFoundAndAnswerUntilItEnds) {
  TestWindows windows;
  RemoveSimulatedInterfaces();
  SimulatorProcess simulator(L"--printer family=1,serial=" + UniqueSerial(1) +
                             L" --printer family=2,stray=2,serial=" + UniqueSerial(2));
  ASSERT_TRUE(simulator.ready());
  ASSERT_EQ(simulator.paths().size(), 2u);

  std::set<std::wstring> chosen;
  for (int pick : {2, 3}) {
    MenuDriver menu(pick);
    EXPECT_EQ(DiscoverPrinters(1), 0);
    EXPECT_TRUE(menu.Finish().shown);
    ASSERT_EQ(printerSelected, 1);
    chosen.insert(currentDeviceId);
    // Each printer answers the product-code query in the layout of its family.
    LookUpProtocolFamily();
    const bool family1 = std::wstring(currentDeviceId) == L"4B560022";
    EXPECT_EQ(protocolFamily, family1 ? 1 : 2) << testing::PrintToString(currentDeviceId);
    std::string reply;
    EXPECT_EQ(AskSelectedPrinter(2, protocolFamily + 5, 1, CMD_FF05.data(), 14, &reply), 0);
    EXPECT_EQ(reply,
              std::string(family1 ? "KL1020A001" : "KV30100A01") + '\0');
  }

  EXPECT_EQ(chosen, (std::set<std::wstring>{L"4B560022", L"4B56015C"}));
  // Listing them made Wine add keys of its own beside the simulator's two.
  EXPECT_GT(
      InterfaceKeysNaming(UniqueSerial(1)).size() + InterfaceKeysNaming(UniqueSerial(2)).size(),
      2u);

  EXPECT_EQ(simulator.Stop(), 0) << simulator.Output();
  const std::string output = simulator.Output();
  EXPECT_NE(output.find("CMD_FF05 (59 bytes)"), std::string::npos) << output;
  EXPECT_NE(output.find("korvex-printer-sim: stopped"), std::string::npos) << output;

  // Its registry entries went with it, Wine's too: left, they would order later lists.
  EXPECT_EQ(InterfaceKeysNaming(UniqueSerial(1)), std::vector<std::wstring>{});
  EXPECT_EQ(InterfaceKeysNaming(UniqueSerial(2)), std::vector<std::wstring>{});
  EXPECT_EQ(DiscoverPrinters(1), 0);
  EXPECT_EQ(printerSelected, 0);
  EXPECT_EQ(NoticeText(), UiText(29));
  HideNotice();
}

}  // namespace
