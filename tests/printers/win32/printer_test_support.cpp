// Set-up shared by the tests on simulated printers.
#include "app/printer_state.h"
#include "os/win32/device_control.h"
#include "printer_test_support.h"

#include <gtest/gtest.h>

#include <vector>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/busy_state.h"
#include "app/main_window.h"
#include "app/notice.h"
#include "device/discovery.h"
#include "device/transaction.h"
#include "gui_support.h"

namespace {

constexpr wchar_t kWindowClass[] = L"KorvexPrinterTestWindow";

// The layout of SystemHandleInformation (class 16), one row per open handle in the system.
struct HandleRow {
  ULONG processId;
  BYTE objectType;
  BYTE flags;
  USHORT handle;
  PVOID object;
  ACCESS_MASK access;
};
struct HandleTable {
  ULONG count;
  HandleRow rows[1];
};

struct MenuSearch {
  DWORD processId;
  HWND found;
};

BOOL CALLBACK MatchMenuWindow(HWND window, LPARAM param) {
  auto *search = reinterpret_cast<MenuSearch *>(param);
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == search->processId && lstrcmpW(className, L"#32768") == 0 &&
      IsWindowVisible(window)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// The shown popup menu of this process (window class #32768), or nullptr.
HWND FindMenuWindow(DWORD processId) {
  MenuSearch search = {processId, nullptr};
  EnumWindows(MatchMenuWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace

TestWindows::TestWindows() {
  EXPECT_EQ(ExpandUiTexts(), 0);
  EXPECT_EQ(ExpandInternalStrings(), 0);
  EXPECT_EQ(ExpandModelTable(), 0);
  app.currentLanguage = 1;
  app.unattendedMode = 0;
  app.instance = GetModuleHandleW(nullptr);
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = app.instance;
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kWindowClass;
  RegisterClassW(&windowClass);
  app.mainWindow = CreateWindowExW(0, kWindowClass, L"Korvex printer test", WS_OVERLAPPEDWINDOW,
                                   100, 120, 622, 215, nullptr, nullptr, app.instance, nullptr);
  app.infoPane = CreateWindowExW(0, L"Edit", L"", WS_CHILD | WS_VISIBLE | ES_MULTILINE, 101, 6,
                                 486, 120, app.mainWindow, nullptr, app.instance, nullptr);
  EXPECT_NE(app.mainWindow, nullptr) << "no window: is there a display?";
  EXPECT_NE(app.infoPane, nullptr);
  CreateTooltipWindows();
  ShowWindow(app.mainWindow, SW_SHOW);
  Pump(50);
}

TestWindows::~TestWindows() {
  DestroyWindow(app.noticeTip);
  DestroyWindow(app.hoverTip);
  DestroyWindow(app.mainWindow);
  app.mainWindow = app.infoPane = app.noticeTip = app.hoverTip = nullptr;
  app.noticeShown = 0;
}

HWND TestWindows::pane() const { return app.infoPane; }

std::wstring UniqueSerial(int number) {
  wchar_t serial[32];
  wsprintfW(serial, L"%lx-%d", GetCurrentProcessId(), number);
  return serial;
}

PrinterUnderTest::PrinterUnderTest(SimulatedPrinterSetup setup)
    : printer_(StartSimulatedPrinter(setup)) {
  EXPECT_NE(printer_, nullptr) << "the simulated printer does not start";
}

PrinterUnderTest::~PrinterUnderTest() { StopSimulatedPrinter(printer_); }

int PrinterUnderTest::ConnectionsReaching(int expected) const {
  for (int waited = 0; waited < 2000 && record().connections < expected; waited += 20) Sleep(20);
  return record().connections;
}

SimulatedPrinterSetup FamilyPrinter(int family, int number) {
  SimulatedPrinterSetup setup;
  setup.identity.family = family;
  setup.productId = family == 1 ? L"0022" : L"015C";
  setup.serial = UniqueSerial(number);
  setup.registerInterface = false;
  return setup;
}

int AskSelectedPrinter(int slot, int lengthOffset, int lengthWidth, const unsigned char *record,
                       int recordLength, std::string *reply) {
  ClearCommandSlots();
  PrepareCommandSlot(slot, 1, lengthOffset, lengthWidth, record, recordLength);
  unsigned int length = 0;
  int result = -1;
  RunOnWorker([&] { result = RunTransaction(slot, &length, 0); });
  reply->assign(reinterpret_cast<const char *>(replyBuffer), result == 0 ? length : 0);
  return result;
}

int ProcessHandleCount() {
  using Query = LONG(WINAPI *)(ULONG, PVOID, ULONG, PULONG);
  static const auto query = reinterpret_cast<Query>(reinterpret_cast<void *>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  std::vector<unsigned char> buffer(1 << 20);
  ULONG needed = 0;
  while (query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) != 0) {
    if (buffer.size() >= (64u << 20)) return -1;
    buffer.resize(buffer.size() * 2);
  }
  const auto *table = reinterpret_cast<const HandleTable *>(buffer.data());
  int count = 0;
  for (ULONG i = 0; i < table->count; ++i) {
    if (table->rows[i].processId == GetCurrentProcessId()) ++count;
  }
  return count;
}

SimulatorProcess::SimulatorProcess(const std::wstring &arguments) {
  InitializeCriticalSection(&lock_);
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  HANDLE childInput = nullptr, childOutput = nullptr;
  CreatePipe(&childInput, &input_, &inherited, 0);
  CreatePipe(&output_, &childOutput, &inherited, 0);
  SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childInput;
  startup.hStdOutput = childOutput;
  startup.hStdError = childOutput;
  std::wstring commandLine =
      L"\"" + std::wstring(KORVEX_PRINTER_SIM_EXE) + L"\" --stdin " + arguments;
  const BOOL started = CreateProcessW(KORVEX_PRINTER_SIM_EXE, &commandLine[0], nullptr, nullptr,
                                      TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                                      &process_);
  CloseHandle(childInput);
  CloseHandle(childOutput);
  EXPECT_TRUE(started) << "cannot start " << KORVEX_PRINTER_SIM_EXE;
  if (!started) return;
  reader_ = std::thread([this] { ReadOutput(); });
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < 10000) {
    EnterCriticalSection(&lock_);
    const bool done = ready_ || stopped_;
    LeaveCriticalSection(&lock_);
    if (done || WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0) break;
    Sleep(20);
  }
  EXPECT_TRUE(ready_) << "the simulator did not get ready:\n" << Output();
}

SimulatorProcess::~SimulatorProcess() {
  Stop();
  if (reader_.joinable()) reader_.join();
  if (output_) CloseHandle(output_);
  DeleteCriticalSection(&lock_);
}

void SimulatorProcess::ReadOutput() {
  char buffer[512];
  DWORD count = 0;
  size_t parsed = 0;
  while (ReadFile(output_, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    EnterCriticalSection(&lock_);
    text_.append(buffer, count);
    for (size_t end; (end = text_.find('\n', parsed)) != std::string::npos; parsed = end + 1) {
      const std::string line = text_.substr(parsed, end - parsed);
      const size_t at = line.find(" at ");
      if (line.rfind("korvex-printer-sim: printer ", 0) == 0 && at != std::string::npos) {
        const std::string path = line.substr(at + 4);
        paths_.emplace_back(path.begin(), path.end());
      }
      if (line == "korvex-printer-sim: ready") ready_ = true;
    }
    LeaveCriticalSection(&lock_);
  }
}

int SimulatorProcess::Stop() {
  if (input_) CloseHandle(input_);
  input_ = nullptr;
  if (!process_.hProcess || stopped_) return exitCode_;
  stopped_ = true;
  if (WaitForSingleObject(process_.hProcess, 10000) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    exitCode_ = static_cast<int>(code);
  } else {
    TerminateProcess(process_.hProcess, 99);
    WaitForSingleObject(process_.hProcess, 5000);
  }
  CloseHandle(process_.hThread);
  CloseHandle(process_.hProcess);
  if (reader_.joinable()) reader_.join();
  return exitCode_;
}

std::string SimulatorProcess::Output() {
  EnterCriticalSection(&lock_);
  const std::string text = text_;
  LeaveCriticalSection(&lock_);
  return text;
}

MenuDriver::MenuDriver(int pick, DWORD timeoutMs, std::wstring screenshot, DWORD processId)
    : pick_(pick),
      timeoutMs_(timeoutMs),
      processId_(processId ? processId : GetCurrentProcessId()),
      screenshot_(std::move(screenshot)) {
  thread_ = std::thread([this] { Drive(); });
}

MenuDriver::~MenuDriver() { Finish(); }

SeenMenu MenuDriver::Result() {
  if (thread_.joinable()) thread_.join();
  return seen_;
}

SeenMenu MenuDriver::Finish() {
  finished_ = true;
  if (thread_.joinable()) thread_.join();
  return seen_;
}

void MenuDriver::Drive() {
  const DWORD start = GetTickCount();
  HWND menuWindow = nullptr;
  while (!(menuWindow = FindMenuWindow(processId_))) {
    if (finished_ || GetTickCount() - start > timeoutMs_) return;
    Sleep(20);
  }
  seen_.shown = true;
  RECT rect = {};
  GetWindowRect(menuWindow, &rect);
  seen_.at = {rect.left, rect.top};
  constexpr UINT kGetMenu = 0x01E1;  // MN_GETHMENU
  HMENU menu = reinterpret_cast<HMENU>(SendMessageW(menuWindow, kGetMenu, 0, 0));
  const int count = GetMenuItemCount(menu);
  for (int i = 0; i < count; ++i) {
    SeenMenuItem item;
    wchar_t text[256] = {};
    GetMenuStringW(menu, static_cast<UINT>(i), text, 256, MF_BYPOSITION);
    item.text = text;
    item.id = GetMenuItemID(menu, i);
    item.state = GetMenuState(menu, static_cast<UINT>(i), MF_BYPOSITION) &
                 (MF_GRAYED | MF_DISABLED | MF_SEPARATOR);
    seen_.items.push_back(item);
  }
  if (!screenshot_.empty()) {
    RECT area = {};
    GetWindowRect(GetWindow(menuWindow, GW_OWNER) ? GetWindow(menuWindow, GW_OWNER) : menuWindow,
                  &area);
    UnionRect(&area, &area, &rect);
    SaveScreenshot(screenshot_, area);
  }
  // Keys go through the menu's own loop, as a user's would: down until the item is lit, Enter.
  // Another process's menu cannot be read here. Down from no selection lights the items in turn,
  // skipping separators: with the one separator of the printer menu, pick steps light item pick.
  if (pick_ >= 0 && count < 0) {
    for (int step = 0; step < pick_; ++step) {
      PostMessageW(menuWindow, WM_KEYDOWN, VK_DOWN, 0);
      Sleep(100);
    }
    PostMessageW(menuWindow, WM_KEYDOWN, VK_RETURN, 0);
    Sleep(300);
  }
  if (pick_ >= 0 && pick_ < count) {
    for (int step = 0; step < 2 * count && IsWindow(menuWindow); ++step) {
      if (GetMenuState(menu, static_cast<UINT>(pick_), MF_BYPOSITION) & MF_HILITE) {
        PostMessageW(menuWindow, WM_KEYDOWN, VK_RETURN, 0);
        break;
      }
      PostMessageW(menuWindow, WM_KEYDOWN, VK_DOWN, 0);
      Sleep(50);
    }
  }
  // Whatever happened above, the menu must not stay open.
  for (int attempt = 0; attempt < 100 && IsWindow(menuWindow) && IsWindowVisible(menuWindow);
       ++attempt) {
    if (attempt > 0 || pick_ < 0) PostMessageW(menuWindow, WM_KEYDOWN, VK_ESCAPE, 0);
    Sleep(50);
  }
}

void ProgramOnPrinters::SetUpTestSuite() { StartProgramWindowOnce(); }

void ProgramOnPrinters::SetUp() {
  RemoveSimulatedInterfaces();
  printerDeviceControl = SimulatedDeviceControl;
  SendMessageW(app.mainWindow, WM_COMMAND, kFirstLanguageCommand + 1, 0);  // English
}

void ProgramOnPrinters::TearDown() {
  printerDeviceControl = DeviceIoControl;
  RemoveSimulatedInterfaces();
}

SimulatedPrinterSetup ProgramOnPrinters::Registered(int family, int number) {
  SimulatedPrinterSetup setup = FamilyPrinter(family, number);
  setup.registerInterface = true;
  return setup;
}

std::wstring PaneText() {
  wchar_t text[1024] = {};
  GetWindowTextW(app.infoPane, text, 1024);
  return text;
}
