// Set-up shared by the firmware upgrade tests.
#include "app/printer_state.h"
#include "app/upgrade_worker.h"
#include "upgrade_test_support.h"

#include <gtest/gtest.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/busy_state.h"
#include "app/main_window.h"
#include "app/notice.h"
#include "device/discovery.h"
#include "firmware/package_builder.h"
#include "gui_support.h"

const char kPrinterProductCode[] = "KV30100A01";

namespace {

constexpr wchar_t kWindowClass[] = L"KorvexUpgradeTestWindow";
constexpr int kMessageBoxTextId = 0xFFFF;  // the text control of a message box
constexpr int kFileNameField = 0x47C;      // cmb13, the file name of the common file dialogs

// What the window's controls were told during a run. Only the window's thread touches it: the
// worker's calls on the controls are carried out there.
struct Recorder {
  std::vector<std::wstring> paneTexts;
  std::vector<UINT> positions;
  UINT rangeHigh = 0;
  int closeRequests = 0;
} recorder;

// The window made once per process, and the controls of it, put back into app for each test
// (tests of other suites in the same process may have aimed app at windows of their own).
struct MadeWindow {
  bool made = false;
  AppState handles;
  WNDPROC paneProcedure = nullptr;
  WNDPROC barProcedure = nullptr;
} madeWindow;

LRESULT CALLBACK WatchedMainWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE) {
    ++recorder.closeRequests;
    return 0;
  }
  return MainWindowProc(window, message, wParam, lParam);
}

LRESULT CALLBACK WatchedPane(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SETTEXT) recorder.paneTexts.emplace_back(reinterpret_cast<LPCWSTR>(lParam));
  return CallWindowProcW(madeWindow.paneProcedure, window, message, wParam, lParam);
}

LRESULT CALLBACK WatchedBar(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == PBM_SETPOS) recorder.positions.push_back(static_cast<UINT>(wParam));
  if (message == PBM_SETRANGE32) recorder.rangeHigh = static_cast<UINT>(lParam);
  return CallWindowProcW(madeWindow.barProcedure, window, message, wParam, lParam);
}

void MakeWindow() {
  ASSERT_EQ(ExpandUiTexts(), 0);
  ASSERT_EQ(ExpandInternalStrings(), 0);
  ASSERT_EQ(ExpandModelTable(), 0);
  app.instance = GetModuleHandleW(nullptr);
  app.currentLanguage = 1;
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = WatchedMainWindow;
  windowClass.hInstance = app.instance;
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kWindowClass;
  RegisterClassW(&windowClass);
  app.mainWindow = CreateWindowExW(WS_EX_ACCEPTFILES, kWindowClass, L"Korvex upgrade test",
                                   WS_OVERLAPPEDWINDOW, 60, 60, 622, 215, nullptr, nullptr,
                                   app.instance, nullptr);
  ASSERT_NE(app.mainWindow, nullptr) << "no window: is there a display?";
  // The program's controls, without the menu bar and language step of start-up: those save the
  // language in the registry, which tests of other suites own.
  CreateTooltipWindows();
  CreateMainWindowControls();
  madeWindow.paneProcedure = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
      app.infoPane, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WatchedPane)));
  madeWindow.barProcedure = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
      app.progressBar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WatchedBar)));
  ShowWindow(app.mainWindow, SW_SHOW);
  RECT client;
  GetClientRect(app.mainWindow, &client);
  SendMessageW(app.mainWindow, WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
  ShowWindow(app.progressBar, SW_HIDE);
  madeWindow.handles = app;
  madeWindow.made = true;
}

void RestoreHandles() {
  const AppState &saved = madeWindow.handles;
  app.instance = saved.instance;
  app.mainWindow = saved.mainWindow;
  app.headingLabel = saved.headingLabel;
  app.infoPane = saved.infoPane;
  app.queryButton = saved.queryButton;
  app.upgradeButton = saved.upgradeButton;
  app.openReportButton = saved.openReportButton;
  app.copyReportButton = saved.copyReportButton;
  app.saveReportButton = saved.saveReportButton;
  app.progressBar = saved.progressBar;
  app.hoverTip = saved.hoverTip;
  app.noticeTip = saved.noticeTip;
  app.buttonFont = saved.buttonFont;
  app.textFont = saved.textFont;
}

// Answers every message box of this process while it runs, noting caption, text and owner.
class BoxWatcher {
 public:
  BoxWatcher() : thread_([this] { Watch(); }) {}
  ~BoxWatcher() { Stop(); }
  int Answered() const { return answered_; }
  std::vector<SeenBox> Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return boxes_;
  }

 private:
  static BOOL CALLBACK Match(HWND window, LPARAM param) {
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    // File dialogs are #32770 too; their tests drive them.
    if (pid == GetCurrentProcessId() && lstrcmpW(className, L"#32770") == 0 &&
        IsWindowVisible(window) && !GetDlgItem(window, kFileNameField)) {
      reinterpret_cast<std::vector<HWND> *>(param)->push_back(window);
    }
    return TRUE;
  }
  void Watch() {
    std::vector<HWND> answered;
    while (!stop_) {
      std::vector<HWND> shown;
      EnumWindows(Match, reinterpret_cast<LPARAM>(&shown));
      for (HWND box : shown) {
        bool known = false;
        for (HWND old : answered) known = known || old == box;
        if (known) continue;
        SeenBox seen;
        wchar_t text[1024] = {};
        GetWindowTextW(box, text, 1024);
        seen.caption = text;
        GetDlgItemTextW(box, kMessageBoxTextId, text, 1024);
        seen.text = text;
        seen.owner = GetWindow(box, GW_OWNER);
        boxes_.push_back(seen);
        answered.push_back(box);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        ++answered_;
      }
      Sleep(20);
    }
  }
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0};
  std::vector<SeenBox> boxes_;
  std::thread thread_;
};

}  // namespace

void UseUpgradeWindow(bool unattended) {
  if (!madeWindow.made || !IsWindow(madeWindow.handles.mainWindow)) {
    // Another suite's window of the program's class may be gone; this one has its own class.
    MakeWindow();
  }
  RestoreHandles();
  app.currentLanguage = 1;
  app.unattendedMode = 0;
  LeaveBusyState();
  app.unattendedMode = unattended ? 1 : 0;
  app.noticeShown = 0;
  SetWindowTextW(app.infoPane, L"");
  SetWindowTextW(app.headingLabel, L"");
  Pump(20);
  recorder = Recorder();
}

std::wstring SeenRun::Added(const std::wstring &before) const {
  if (pane.compare(0, before.size(), before) != 0) return L"<pane rewritten: " + pane + L">";
  return pane.substr(before.size());
}

namespace {

// What the window showed by the end of a run.
void Collect(SeenRun &seen, BoxWatcher &boxes) {
  Pump(30);  // requests the run posted on its way out
  seen.boxes = boxes.Stop();
  seen.paneTexts = recorder.paneTexts;
  seen.positions = recorder.positions;
  seen.rangeHigh = recorder.rangeHigh;
  seen.closeRequests = recorder.closeRequests;
  wchar_t text[1024] = {};
  GetWindowTextW(app.infoPane, text, 1024);
  seen.pane = text;
  GetWindowTextW(app.headingLabel, text, 1024);
  seen.heading = text;
  seen.busyAfter = app.isBusy != 0;
}

}  // namespace

SeenRun WatchRun(const std::function<DWORD()> &work, DWORD timeoutMs) {
  SeenRun seen;
  recorder = Recorder();
  BoxWatcher boxes;
  std::atomic<bool> finished(false);
  const DWORD start = GetTickCount();
  std::thread worker([&] {
    seen.exitCode = work();
    seen.milliseconds = GetTickCount() - start;
    finished = true;
  });
  const bool ended = PumpUntil([&] { return finished.load(); }, timeoutMs);
  EXPECT_TRUE(ended) << "the run did not end within " << timeoutMs << " ms";
  worker.join();
  Collect(seen, boxes);
  return seen;
}

SeenRun WatchStart(const std::function<int()> &start, bool runExpected, DWORD timeoutMs) {
  SeenRun seen;
  recorder = Recorder();
  BoxWatcher boxes;
  const DWORD began = GetTickCount();
  seen.exitCode = static_cast<DWORD>(start());
  if (runExpected) {
    // Every run ends with a box here (a result box, or the error box of an unattended run),
    // then leaves the busy state.
    const bool ended =
        PumpUntil([&] { return boxes.Answered() > 0 && app.isBusy == 0; }, timeoutMs);
    EXPECT_TRUE(ended) << "the run did not end within " << timeoutMs << " ms";
  }
  seen.milliseconds = GetTickCount() - began;
  Collect(seen, boxes);
  return seen;
}

SeenRun RunUpgrade(const std::wstring &path) {
  lstrcpynW(app.firmwarePath, path.c_str(), 260);
  return WatchRun([] { return FirmwareUpgradeThread(nullptr); });
}

SeenRun RunFileOn(const UpgradePrinter &printer, const Bytes &content, size_t *receivedBefore,
                  bool unattended) {
  static int files = 0;
  UseUpgradeWindow(unattended);
  printer.Select();
  *receivedBefore = printer.Firmware().size();
  FirmwareFile file(L"run" + std::to_wstring(++files) + L".bin", content);
  return RunUpgrade(file.path());
}

void AimAt(const std::wstring &devicePath, const std::wstring &deviceId) {
  lstrcpynW(currentDevicePath, devicePath.c_str(), kDevicePathUnits);
  lstrcpynW(currentDeviceId, deviceId.c_str(), kDeviceIdUnits);
  printerSelected = 1;
}

// ---- Printers -------------------------------------------------------------------------------

// Each connection of the tool is served on a thread of its own, and the simulator stores what
// each thread reads as it comes. When the tool closes the device after a block and opens it for
// the next, the new connection's first transfer can be stored before the old connection's last
// one, which was still waiting in the pipe. A USB printer has one endpoint and takes the bytes in
// the order they were written; to see them so, every stored transfer is noted with the serving
// thread (told apart by its creation time, since thread ids are reused), and the stored bytes
// are put back in connection order, each connection's transfers in their own order.
struct UpgradePrinter::Log {
  struct Stored {
    uint64_t connection;  // creation time of the serving thread
    uint64_t length;
  };
  std::mutex lock;
  std::vector<Arrival> arrivals;
  std::vector<Stored> stored;
  unsigned long long total = 0;
};

namespace {

uint64_t ServingThreadStart() {
  FILETIME creation, exit, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &creation, &exit, &kernel, &user)) return 0;
  return uint64_t{creation.dwHighDateTime} << 32 | creation.dwLowDateTime;
}

}  // namespace

UpgradePrinter::UpgradePrinter(const wchar_t *productId, int family, int number, bool registered,
                               const wchar_t *vendorId) {
  setup_.vendorId = vendorId;
  setup_.productId = productId;
  setup_.identity.family = family;
  setup_.registerInterface = registered;
  Start(number);
}

UpgradePrinter::UpgradePrinter(SimulatedPrinterSetup setup, int number)
    : setup_(std::move(setup)) {
  Start(number);
}

void UpgradePrinter::Start(int number) {
  wchar_t serial[32];
  wsprintfW(serial, L"u%lx-%d", GetCurrentProcessId(), number);
  setup_.serial = serial;
  setup_.firmwareFile = TemporaryPath(std::wstring(L"received-") + serial + L".bin");
  log_ = std::make_shared<Log>();
  std::shared_ptr<Log> log = log_;
  setup_.logLine = [log](const std::string &line) {
    // "[simN] <- firmware (4096 bytes), 8192 in all", told right after the bytes were stored.
    const size_t firmware = line.find("<- firmware (");
    const size_t all = line.rfind(", ");
    if (firmware == std::string::npos || all == std::string::npos) return;
    const unsigned long long total = std::stoull(line.substr(all + 2));
    std::lock_guard<std::mutex> hold(log->lock);
    log->arrivals.push_back({GetTickCount(), total});
    log->stored.push_back({ServingThreadStart(), total - log->total});
    log->total = total;
  };
  printer_ = StartSimulatedPrinter(setup_);
  EXPECT_NE(printer_, nullptr) << "the simulated printer does not start";
}

UpgradePrinter::~UpgradePrinter() {
  StopSimulatedPrinter(printer_);
  DeleteFileW(setup_.firmwareFile.c_str());
}

std::wstring UpgradePrinter::path() const {
  return printer_ ? SimulatedPrinterPath(printer_) : L"";
}

SimulatedPrinterRecord UpgradePrinter::record() const { return ReadSimulatedPrinter(printer_); }

Bytes UpgradePrinter::Firmware() const {
  // The tool's last write returns once the pipe holds it; the printer may still be storing it.
  const DWORD start = GetTickCount();
  while (record().openConnections > 0 && GetTickCount() - start < 5000) Sleep(10);
  HANDLE file = CreateFileW(setup_.firmwareFile.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  Bytes asStored;
  if (file == INVALID_HANDLE_VALUE) return asStored;
  LARGE_INTEGER size = {};
  GetFileSizeEx(file, &size);
  asStored.resize(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  if (!asStored.empty()) {
    ReadFile(file, asStored.data(), static_cast<DWORD>(asStored.size()), &read, nullptr);
  }
  asStored.resize(read);
  CloseHandle(file);

  std::vector<Log::Stored> stored;
  {
    std::lock_guard<std::mutex> hold(log_->lock);
    stored = log_->stored;
  }
  struct Piece {
    uint64_t connection;
    size_t offset, length;
  };
  std::vector<Piece> pieces;
  size_t offset = 0;
  for (const Log::Stored &transfer : stored) {
    pieces.push_back({transfer.connection, offset, static_cast<size_t>(transfer.length)});
    offset += static_cast<size_t>(transfer.length);
  }
  EXPECT_EQ(offset, asStored.size()) << "the log and the stored bytes disagree";
  if (offset != asStored.size()) return asStored;
  std::stable_sort(pieces.begin(), pieces.end(), [](const Piece &a, const Piece &b) {
    return a.connection < b.connection;
  });
  Bytes inOrder;
  inOrder.reserve(asStored.size());
  for (const Piece &piece : pieces) {
    inOrder.insert(inOrder.end(), asStored.begin() + piece.offset,
                   asStored.begin() + piece.offset + piece.length);
  }
  return inOrder;
}

std::vector<UpgradePrinter::Arrival> UpgradePrinter::Arrivals() const {
  std::lock_guard<std::mutex> hold(log_->lock);
  return log_->arrivals;
}

void UpgradePrinter::Unplug() { UnplugSimulatedPrinter(printer_); }

// ---- Files ----------------------------------------------------------------------------------

std::wstring TemporaryPath(const std::wstring &name) {
  wchar_t directory[MAX_PATH];
  GetTempPathW(MAX_PATH, directory);
  wchar_t prefix[32];
  wsprintfW(prefix, L"korvex-upgrade-%lx-", GetCurrentProcessId());
  return std::wstring(directory) + prefix + name;
}

FirmwareFile::FirmwareFile(const std::wstring &name, const Bytes &content)
    : path_(TemporaryPath(name)) {
  HANDLE file = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE) << "cannot write a firmware file";
  DWORD written = 0;
  if (!content.empty()) {
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  }
  CloseHandle(file);
  EXPECT_EQ(written, content.size());
}

FirmwareFile::~FirmwareFile() { DeleteFileW(path_.c_str()); }

// ---- Texts ----------------------------------------------------------------------------------

namespace {

std::wstring FormatArguments(const wchar_t *format, va_list arguments) {
  wchar_t text[1024];
  wvsprintfW(text, format, arguments);
  return text;
}

}  // namespace

std::wstring Format(const wchar_t *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::wstring text = FormatArguments(format, arguments);
  va_end(arguments);
  return text;
}

std::wstring FailureBeforeLoop(int text) {
  return Format(InternalString(135), L"", InternalString(text),
                Format(InternalString(128), UiText(30)).c_str());
}

std::wstring FailureInLoop(int text) {
  return Format(InternalString(135), L"", InternalString(0),
                Format(InternalString(132), UiText(22), InternalString(text)).c_str());
}

bool EndsWith(const std::wstring &text, const std::wstring &end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

int FirstPaneTextWith(const SeenRun &run, const std::wstring &piece) {
  for (size_t i = 0; i < run.paneTexts.size(); ++i) {
    if (run.paneTexts[i].find(piece) != std::wstring::npos) return static_cast<int>(i);
  }
  return -1;
}

std::wstring LineAfter(const wchar_t *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const std::wstring line = FormatArguments(format, arguments);
  va_end(arguments);
  return line.compare(0, 2, L"\r\n") == 0 ? line.substr(2) : line;
}

// ---- Multi-part packages --------------------------------------------------------------------

Bytes MultiPartHeader(const std::string &productCode, const std::string &requiredVersion,
                      const std::string &deviceId, unsigned char partCount) {
  unsigned char descriptor[26];
  MakeDescriptor(descriptor, reinterpret_cast<const unsigned char *>(productCode.data()),
                 reinterpret_cast<const unsigned char *>(requiredVersion.data()),
                 reinterpret_cast<const unsigned char *>(deviceId.data()), partCount);
  Bytes package;
  AppendMultiPartHeader(package, descriptor);
  return package;
}

void AppendPartTo(Bytes &package, const std::string &productCode, unsigned char delaySeconds,
                  const Bytes &data) {
  AppendPart(package, reinterpret_cast<const unsigned char *>(productCode.data()), delaySeconds,
             data.data(), data.size());
}

Bytes PartData(size_t length, uint32_t mix) {
  Bytes data(length);
  uint32_t x = mix;
  for (unsigned char &byte : data) {
    x = x * 1103515245u + 12345u;
    byte = static_cast<unsigned char>(x >> 16);
  }
  if (length > 0) data[0] = 0x1B;
  if (length > 1) data[1] = '%';
  return data;
}

UnattendedRun RunUnattended(const std::wstring &path, const std::wstring &caption,
                            DWORD boxWaitMs, DWORD exitWaitMs) {
  UnattendedRun run;
  ChildProgram program(L"\"" + path + L"\"");
  run.started = program.started;
  if (!run.started) return run;
  RunOnWorker([&] {
    BoxAnswerer result(caption, IDOK, boxWaitMs, program.process.dwProcessId);
    run.box = result.Result();
    run.exitCode = program.ExitCode(exitWaitMs);
  });
  return run;
}
