// korvex-upgrade-bench: how fast korvex_tool.exe upgrades a printer that takes data as fast as it
// can, beside a bare loop of 4096-byte writes to the same simulated printer, and how much memory
// the program holds meanwhile. A Windows program, run under Wine by tools/bench/upgrade_bench.sh.
//
//   korvex-upgrade-bench make-image PATH MIB
//       a firmware-like raw image (led by 0x1B) of MIB mebibytes
//   korvex-upgrade-bench bare-loop DEVICE BYTES [REOPEN_BYTES]
//       opens DEVICE as the program does and writes BYTES in 4096-byte writes, opening it anew
//       every REOPEN_BYTES if given (run as a child)
//   korvex-upgrade-bench run ROUNDS TOOL FILE...
//       one simulated printer; per FILE and round: TOOL run unattended on FILE, then bare loops of
//       as many bytes as the printer received, once opened and reopened every 4 MiB as the
//       program does; all timed at the printer (first to last byte). Printed: the medians of the
//       rates and of each round's ratio; the time from the program's start to the first byte at
//       the printer (start-up, checks and, for a package, the check of the whole file) beside
//       the transfer's; TOOL's peak working set and its working set while its result box stands
//       (the run's buffers still held). A multi-part package's transfer holds its pauses, so it
//       gets no rates.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simulator.h"
#include "tests/bytes/package_test_support.h"

namespace {

constexpr DWORD kChunkBytes = 4096;
constexpr size_t kImagePiece = 4194304;
constexpr double kMiB = 1048576.0;

double Seconds(const LARGE_INTEGER &from, const LARGE_INTEGER &to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// ---- make-image -------------------------------------------------------------------------------

int MakeImage(const wchar_t *path, int mebibytes) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  // Fresh data in every 4 MiB piece, so that no block of a package compresses better than
  // firmware does.
  const unsigned long long total = static_cast<unsigned long long>(mebibytes) << 20;
  bool ok = true;
  for (unsigned long long done = 0; ok && done < total; done += kImagePiece) {
    const size_t length = total - done < kImagePiece ? static_cast<size_t>(total - done)
                                                      : kImagePiece;
    const package_test::Bytes bytes = package_test::FirmwareLike(
        length, 0x1B, static_cast<uint32_t>(done / kImagePiece + 1));
    DWORD written = 0;
    ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
  }
  CloseHandle(file);
  return ok ? 0 : 1;
}

// ---- bare-loop --------------------------------------------------------------------------------

HANDLE OpenPrinter(const wchar_t *device) {
  return CreateFileW(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Writes bytes in 4096-byte writes, opening the device once, or anew every reopenBytes (the
// program opens it for every block it sends).
int BareLoop(const wchar_t *device, unsigned long long bytes, unsigned long long reopenBytes) {
  static unsigned char chunk[kChunkBytes];
  chunk[0] = 0x1B;
  HANDLE printer = INVALID_HANDLE_VALUE;
  bool ok = true;
  for (unsigned long long sent = 0; ok && sent < bytes; sent += kChunkBytes) {
    if (printer == INVALID_HANDLE_VALUE) {
      printer = OpenPrinter(device);
      ok = printer != INVALID_HANDLE_VALUE;
    }
    const DWORD length = bytes - sent < kChunkBytes ? static_cast<DWORD>(bytes - sent) : kChunkBytes;
    DWORD written = 0;
    ok = ok && WriteFile(printer, chunk, length, &written, nullptr) && written == length;
    if (reopenBytes != 0 && (sent + kChunkBytes) % reopenBytes == 0 && printer != INVALID_HANDLE_VALUE) {
      CloseHandle(printer);
      printer = INVALID_HANDLE_VALUE;
    }
  }
  if (printer != INVALID_HANDLE_VALUE) CloseHandle(printer);
  return ok ? 0 : 1;
}

// ---- run --------------------------------------------------------------------------------------

// When firmware reaches the printer: its first and last transfer, and the bytes in all.
struct Arrivals {
  std::mutex lock;
  bool any = false;
  LARGE_INTEGER first = {}, last = {};
  unsigned long long total = 0;

  void Note(unsigned long long count) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    std::lock_guard<std::mutex> hold(lock);
    if (!any) first = now;
    any = true;
    last = now;
    total = count;
  }
  unsigned long long Bytes() {
    std::lock_guard<std::mutex> hold(lock);
    return total;
  }
  double Span() {
    std::lock_guard<std::mutex> hold(lock);
    return any ? Seconds(first, last) : 0.0;
  }
  // From a moment before the first byte to the first byte.
  double Since(const LARGE_INTEGER &from) {
    std::lock_guard<std::mutex> hold(lock);
    return any ? Seconds(from, first) : 0.0;
  }
};

struct Child {
  PROCESS_INFORMATION process = {};
  bool started = false;
  explicit Child(std::wstring commandLine) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &process) != 0;
  }
  ~Child() {
    if (!started) return;
    if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
      TerminateProcess(process.hProcess, 99);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  // The exit code, or -1 after timeoutMs.
  int Wait(DWORD timeoutMs) {
    if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    return static_cast<int>(code);
  }
};

struct FoundBox {
  DWORD processId;
  HWND box;
};

BOOL CALLBACK MatchBox(HWND window, LPARAM param) {
  auto *search = reinterpret_cast<FoundBox *>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  if (pid == search->processId && lstrcmpW(className, L"#32770") == 0 &&
      IsWindowVisible(window)) {
    search->box = window;
    return FALSE;
  }
  return TRUE;
}

struct ToolRun {
  LARGE_INTEGER started = {};
  int exitCode = -1;
  SIZE_T peakWorkingSet = 0;
  SIZE_T finalWorkingSet = 0;  // while the result box stands, the run's buffers still held
  std::wstring boxText;
};

// Runs the program unattended on a file. It ends by showing its result box: the peak working set
// is read while the box stands (the process is still there to be asked), then the box is
// answered and the program closes itself.
ToolRun RunTool(const std::wstring &tool, const std::wstring &file) {
  ToolRun run;
  QueryPerformanceCounter(&run.started);
  Child child(L"\"" + tool + L"\" \"" + file + L"\"");
  if (!child.started) return run;
  for (int polls = 0; polls < 6000; ++polls) {  // 10 minutes at most
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(child.process.hProcess, &memory, sizeof memory) &&
        memory.PeakWorkingSetSize > run.peakWorkingSet) {
      run.peakWorkingSet = memory.PeakWorkingSetSize;
    }
    FoundBox search = {child.process.dwProcessId, nullptr};
    EnumWindows(MatchBox, reinterpret_cast<LPARAM>(&search));
    if (search.box) {
      run.finalWorkingSet = memory.WorkingSetSize;
      wchar_t text[1024] = {};
      GetDlgItemTextW(search.box, 0xFFFF, text, 1024);
      run.boxText = text;
      PostMessageW(search.box, WM_COMMAND, IDOK, 0);
      break;
    }
    if (WaitForSingleObject(child.process.hProcess, 100) == WAIT_OBJECT_0) break;
  }
  run.exitCode = child.Wait(30000);
  return run;
}

// The printer every measurement sends to, started afresh for each one: the simulator keeps a log
// line of every transfer, and a log grown by earlier runs would slow the later ones.
struct BenchPrinter {
  std::shared_ptr<Arrivals> arrivals = std::make_shared<Arrivals>();
  SimulatedPrinter *printer = nullptr;

  BenchPrinter() {
    SimulatedPrinterSetup setup;
    setup.productId = L"015C";  // Orbis 300: family 2, no upgrade note
    setup.serial = L"bench";
    std::shared_ptr<Arrivals> noted = arrivals;
    setup.logLine = [noted](const std::string &line) {
      // "[simN] <- firmware (4096 bytes), 8192 in all"
      if (line.find("<- firmware (") == std::string::npos) return;
      noted->Note(std::stoull(line.substr(line.rfind(", ") + 2)));
    };
    printer = StartSimulatedPrinter(setup);
  }
  ~BenchPrinter() { StopSimulatedPrinter(printer); }

  // Waits until the printer has taken every byte written to it (a writer's last writes return
  // once the pipe holds them), then gives the bytes received and their throughput in MB/s.
  double Rate(unsigned long long *bytes) {
    for (int polls = 0; polls < 1000 && ReadSimulatedPrinter(printer).openConnections > 0;
         ++polls) {
      Sleep(10);
    }
    *bytes = arrivals->Bytes();
    const double span = arrivals->Span();
    return span > 0 ? *bytes / span / 1e6 : 0.0;
  }
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

// Below this the first-to-last-byte span is too short to time.
constexpr unsigned long long kTimedBytes = 16ull << 20;

int Run(int rounds, const std::wstring &tool, const std::vector<std::wstring> &files) {
  RemoveSimulatedInterfaces();
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  // One bare loop of bytes (reopening every reopenBytes, 0: never); its throughput, or 0.
  auto bareLoop = [&](unsigned long long bytes, unsigned long long reopenBytes) {
    BenchPrinter printer;
    Child bare(L"\"" + std::wstring(self) + L"\" bare-loop \"" +
               SimulatedPrinterPath(printer.printer) + L"\" " + std::to_wstring(bytes) + L" " +
               std::to_wstring(reopenBytes));
    const bool ok = bare.started && bare.Wait(600000) == 0;
    unsigned long long received = 0;
    const double rate = printer.Rate(&received);
    return ok && received == bytes ? rate : 0.0;
  };

  std::printf("%-22s %6s %10s %10s %7s %12s %11s %10s %12s %12s\n", "file", "MiB", "tool MB/s",
              "bare MB/s", "ratio", "reopen MB/s", "1st byte s", "transfer s", "peak WS MiB",
              "end WS MiB");
  int status = 0;
  for (const std::wstring &file : files) {
    std::vector<double> toolRates, bareRates, reopenRates, ratios, firstByte, transfer;
    SIZE_T peak = 0, atEnd = 0;
    unsigned long long received = 0;
    for (int round = 0; round < rounds; ++round) {
      double toolRate;
      ToolRun toolRun;
      {
        BenchPrinter printer;
        if (!printer.printer) {
          std::fprintf(stderr, "the simulated printer does not start\n");
          return 1;
        }
        toolRun = RunTool(tool, file);
        toolRate = printer.Rate(&received);
        firstByte.push_back(printer.arrivals->Since(toolRun.started));
        transfer.push_back(printer.arrivals->Span());
      }
      if (toolRun.exitCode != 0 || received == 0) {
        std::printf("  program exit %d after %llu bytes; box: %ls\n", toolRun.exitCode, received,
                    toolRun.boxText.c_str());
        status = 1;
        break;
      }
      if (toolRun.peakWorkingSet > peak) peak = toolRun.peakWorkingSet;
      if (toolRun.finalWorkingSet > atEnd) atEnd = toolRun.finalWorkingSet;
      const bool multiPart = file.size() > 4 && file.compare(file.size() - 4, 4, L".kmp") == 0;
      if (received < kTimedBytes || multiPart) continue;
      // The machine's load drifts: each round's ratio compares runs made one after the other.
      const double bareRate = bareLoop(received, 0);
      toolRates.push_back(toolRate);
      bareRates.push_back(bareRate);
      ratios.push_back(bareRate > 0 ? toolRate / bareRate : 0.0);
      reopenRates.push_back(bareLoop(received, kImagePiece));
    }
    const std::wstring name = file.substr(file.find_last_of(L"\\/") + 1);
    if (toolRates.empty()) {
      std::printf("%-22ls %6.0f %10s %10s %7s %12s %11.2f %10.2f %12.1f %12.1f\n", name.c_str(),
                  received / kMiB, "-", "-", "-", "-", Median(firstByte), Median(transfer),
                  peak / kMiB, atEnd / kMiB);
    } else {
      std::printf("%-22ls %6.0f %10.1f %10.1f %7.3f %12.1f %11.2f %10.2f %12.1f %12.1f\n",
                  name.c_str(), received / kMiB, Median(toolRates), Median(bareRates),
                  Median(ratios), Median(reopenRates), Median(firstByte), Median(transfer),
                  peak / kMiB, atEnd / kMiB);
    }
    std::fflush(stdout);
  }
  return status;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"make-image" && argc == 4) return MakeImage(argv[2], _wtoi(argv[3]));
  if (mode == L"bare-loop" && (argc == 4 || argc == 5)) {
    return BareLoop(argv[2], _wcstoui64(argv[3], nullptr, 10),
                    argc == 5 ? _wcstoui64(argv[4], nullptr, 10) : 0);
  }
  if (mode == L"run" && argc >= 5) {
    return Run(_wtoi(argv[2]), argv[3], std::vector<std::wstring>(argv + 4, argv + argc));
  }
  std::fprintf(stderr,
               "usage: korvex-upgrade-bench make-image PATH MIB\n"
               "       korvex-upgrade-bench bare-loop DEVICE BYTES [REOPEN_BYTES]\n"
               "       korvex-upgrade-bench run ROUNDS TOOL FILE...\n");
  return 2;
}
