// korvex-printer-sim: plays one or more USB printers on named pipes until stopped.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "simulator.h"

namespace {

constexpr wchar_t kStopEventName[] = L"korvex-printer-sim-stop";

const char kUsage[] =
    "usage: korvex-printer-sim [--firmware-dir DIR] [--seconds N] [--stdin] [--quiet]\n"
    "                          --printer SETTINGS...\n"
    "       korvex-printer-sim --stop     ends every simulator running in this Wine prefix\n"
    "       korvex-printer-sim --clean    removes registry entries a killed simulator left\n"
    "SETTINGS: comma-separated settings of one printer (\\, \\n \\r \\t \\\\ escape in values):\n"
    "  family=1|2 vid=HHHH pid=HHHH serial=NNNN port=N (a USB port of its own: printers\n"
    "          with one serial number are told apart by it)\n"
    "  model=HHHHHHHH (family 1: reply bytes 6-9) | model=N (family 2: decimal)\n"
    "  firmware=TEXT kernel=TEXT product-code=TEXT mac=TEXT memory=N version=TEXT date=TEXT\n"
    "  print-name=TEXT no-register\n"
    "  faults: silent stray=N empty-block zero-length short-data=N oversize wrong-echo\n"
    "          disconnect-after=N slow-writes=MS ipp\n"
    "  upgrades: intake=N (firmware bytes a second, at most) restart-after=N (firmware\n"
    "          bytes since it started; then it is unplugged and unregistered)\n"
    "          restart-seconds=N (away that long, default 3) firmware-after=TEXT (the\n"
    "          version it reports when back) never-back\n"
    "  replay=FILE  answers as the recording FILE says (korvex --record): each request must\n"
    "          be the next one recorded and gets its recorded replies; what differs is said\n"
    "          (also with --quiet), with the recording's line, and not answered. vid and pid\n"
    "          are the recording's unless given; a damaged recording is refused\n"
    "It runs until Ctrl+C, --stop, --seconds, or with --stdin the end of its standard input;\n"
    "it removes its registry entries on the way out.\n";

std::mutex outputLock;
HANDLE stopEvent;        // this simulator only
HANDLE sharedStopEvent;  // every simulator of the prefix: --stop

void Print(const std::string &line) {
  std::lock_guard<std::mutex> hold(outputLock);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

BOOL WINAPI OnConsoleControl(DWORD) {
  SetEvent(stopEvent);
  return TRUE;
}

std::string Narrow(const std::wstring &text) {
  std::string out;
  for (wchar_t unit : text) out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  return out;
}

std::wstring Unescape(const std::wstring &value) {
  std::wstring out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != L'\\' || i + 1 == value.size()) {
      out.push_back(value[i]);
      continue;
    }
    const wchar_t next = value[++i];
    out.push_back(next == L'n' ? L'\n' : next == L'r' ? L'\r' : next == L't' ? L'\t' : next);
  }
  return out;
}

// Splits at commas that are not escaped.
std::vector<std::wstring> SplitSettings(const std::wstring &text) {
  std::vector<std::wstring> parts(1);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\\' && i + 1 < text.size()) {
      parts.back() += text.substr(i, 2);
      ++i;
    } else if (text[i] == L',') {
      parts.emplace_back();
    } else {
      parts.back().push_back(text[i]);
    }
  }
  return parts;
}

bool Number(const std::wstring &text, long long *value, int base = 10) {
  if (text.empty()) return false;
  wchar_t *end = nullptr;
  *value = std::wcstoll(text.c_str(), &end, base);
  return *end == 0;
}

// The settings of a family that are not given keep this family's plausible values.
void UseFamilyDefaults(int family, SimulatedPrinterSetup &setup) {
  setup.identity.family = family;
  if (family == 1) {
    setup.productId = L"0022";
    setup.identity.firmwareVersion = "1.40.07";
    setup.identity.productCode = "KL1020A001";
    setup.identity.macAddress = "00:1B:4B:56:00:22";
    setup.identity.memoryMegabytes = 64;
    setup.identity.versionText = "KL-1020 engine 2.4\r\nboot 1.1\r\n";
  } else {
    setup.productId = L"015C";
  }
}

// A recording read whole through its wide path, refused when damaged or of another version.
bool LoadRecording(const std::wstring &path, SimulatedPrinterSetup &setup, std::string *error) {
  const std::string name = Narrow(path);
  FILE *file = _wfopen(path.c_str(), L"rb");
  if (!file) {
    *error = "the recording " + name + " cannot be read";
    return false;
  }
  std::string text;
  char buffer[65536];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0 &&
         text.size() <= kMaxRecordingFileBytes) {
    text.append(buffer, got);
  }
  std::fclose(file);
  auto recording = std::make_shared<Recording>();
  std::string why;
  if (!ParseRecording(text.data(), text.size(), recording.get(), &why)) {
    *error = "the recording " + name + " is refused: " + why;
    return false;
  }
  const RecordingHeader &header = recording->header;
  setup.vendorId = std::wstring(header.vendorId.begin(), header.vendorId.end());
  setup.productId = std::wstring(header.productId.begin(), header.productId.end());
  for (std::wstring *id : {&setup.vendorId, &setup.productId}) {
    CharUpperBuffW(&(*id)[0], static_cast<DWORD>(id->size()));
  }
  if (header.protocolFamily == 1 || header.protocolFamily == 2) {
    setup.identity.family = header.protocolFamily;
  }
  setup.replay = recording;
  return true;
}

bool ParsePrinter(const std::wstring &text, int number, SimulatedPrinterSetup &setup,
                  std::string *error) {
  wchar_t serial[8];
  swprintf(serial, 8, L"%04d", number);
  setup.serial = serial;
  std::vector<std::wstring> settings = SplitSettings(text);
  // The family first: it decides the defaults the other settings override.
  UseFamilyDefaults(2, setup);
  for (const std::wstring &setting : settings) {
    if (setting == L"family=1") UseFamilyDefaults(1, setup);
  }
  // A recording next: its USB ids, which settings given beside it override.
  for (const std::wstring &setting : settings) {
    if (setting.rfind(L"replay=", 0) == 0 &&
        !LoadRecording(Unescape(setting.substr(7)), setup, error)) {
      return false;
    }
  }
  for (const std::wstring &setting : settings) {
    if (setting.empty()) continue;
    const size_t equals = setting.find(L'=');
    const std::wstring name = setting.substr(0, equals);
    const std::wstring raw = equals == std::wstring::npos ? L"" : setting.substr(equals + 1);
    const std::string value = Narrow(Unescape(raw));
    long long n = 0;
    PrinterIdentity &id = setup.identity;
    PrinterFaults &faults = setup.faults;
    bool ok = true;
    if (name == L"family") {
      ok = raw == L"1" || raw == L"2";
    } else if (name == L"vid" || name == L"pid") {
      ok = raw.size() == 4 && Number(raw, &n, 16);
      (name == L"vid" ? setup.vendorId : setup.productId) = raw;
    } else if (name == L"serial") {
      ok = !raw.empty();
      setup.serial = raw;
    } else if (name == L"port") {
      // Digits only: it becomes part of a pipe name and a registry key.
      ok = !raw.empty() && raw.size() <= 3 && raw.find_first_not_of(L"0123456789") == raw.npos;
      setup.port = raw;
    } else if (name == L"model" && id.family == 1) {
      ok = raw.size() == 8 && Number(raw, &n, 16);
      for (int i = 0; i < 4; ++i) id.modelBytes[i] = static_cast<unsigned char>(n >> (24 - 8 * i));
    } else if (name == L"model") {
      ok = Number(raw, &n);
      id.modelNumber = static_cast<long>(n);
    } else if (name == L"memory") {
      ok = Number(raw, &n);
      id.memoryMegabytes = static_cast<unsigned>(n);
    } else if (name == L"stray" || name == L"short-data" || name == L"disconnect-after" ||
               name == L"slow-writes" || name == L"intake" || name == L"restart-after" ||
               name == L"restart-seconds") {
      ok = Number(raw, &n) && n >= 0;
      if (name == L"stray") faults.strayBlocks = static_cast<int>(n);
      if (name == L"short-data") faults.shortDataBytes = static_cast<int>(n);
      if (name == L"disconnect-after") faults.disconnectAfter = n;
      if (name == L"slow-writes") faults.slowWriteMilliseconds = static_cast<unsigned>(n);
      if (name == L"intake") faults.intakeBytesPerSecond = static_cast<unsigned long long>(n);
      if (name == L"restart-after") faults.restartAfter = n;
      if (name == L"restart-seconds") {
        ok = ok && n <= 4000000;  // in milliseconds it must fit a wait
        faults.restartSeconds = static_cast<unsigned>(n);
      }
    } else if (std::string *text = name == L"firmware"         ? &id.firmwareVersion
                                   : name == L"kernel"         ? &id.kernelVersion
                                   : name == L"product-code"   ? &id.productCode
                                   : name == L"mac"            ? &id.macAddress
                                   : name == L"version"        ? &id.versionText
                                   : name == L"date"           ? &id.productDate
                                   : name == L"print-name"     ? &id.printName
                                   : name == L"firmware-after" ? &faults.firmwareAfterRestart
                                                               : nullptr) {
      *text = value;
    } else if (bool *flag = name == L"no-register"   ? nullptr
                            : name == L"silent"      ? &faults.silent
                            : name == L"empty-block" ? &faults.emptyBlock
                            : name == L"zero-length" ? &faults.zeroLength
                            : name == L"oversize"    ? &faults.oversizeLength
                            : name == L"wrong-echo"  ? &faults.wrongEcho
                            : name == L"ipp"         ? &faults.reportsIpp
                            : name == L"never-back"  ? &faults.neverBack
                                                     : nullptr) {
      *flag = true;
    } else if (name == L"no-register") {
      setup.registerInterface = false;
    } else if (name == L"replay") {
      ok = setup.replay != nullptr;  // read above
    } else {
      ok = false;
    }
    if (!ok) {
      *error = "bad printer setting \"" + Narrow(setting) + "\"";
      return false;
    }
  }
  return true;
}

DWORD WINAPI WatchInput(LPVOID) {
  char buffer[256];
  DWORD count = 0;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  while (ReadFile(input, buffer, sizeof buffer, &count, nullptr) && count > 0) {
  }
  SetEvent(stopEvent);
  return 0;
}

int Stop() {
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEventName);
  if (!event) {
    Print("korvex-printer-sim: no simulator is running");
    return 1;
  }
  SetEvent(event);
  CloseHandle(event);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  std::vector<SimulatedPrinterSetup> setups;
  std::wstring firmwareDirectory;
  DWORD milliseconds = INFINITE;
  bool quiet = false;
  bool watchInput = false;
  for (int i = 1; i < argc; ++i) {
    const std::wstring argument = argv[i];
    const bool hasValue = i + 1 < argc;
    if (argument == L"--stop") return Stop();
    if (argument == L"--clean") {
      Print("korvex-printer-sim: removed " + std::to_string(RemoveSimulatedInterfaces()) +
            " registered printer(s)");
      return 0;
    }
    if (argument == L"--quiet") {
      quiet = true;
    } else if (argument == L"--stdin") {
      watchInput = true;
    } else if (argument == L"--firmware-dir" && hasValue) {
      firmwareDirectory = argv[++i];
    } else if (argument == L"--seconds" && hasValue) {
      milliseconds = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10) * 1000);
    } else if (argument == L"--printer" && hasValue) {
      SimulatedPrinterSetup setup;
      std::string error;
      if (!ParsePrinter(argv[++i], static_cast<int>(setups.size()) + 1, setup, &error)) {
        std::fputs(("korvex-printer-sim: " + error + "\n").c_str(), stderr);
        return 2;
      }
      setups.push_back(setup);
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (setups.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  sharedStopEvent = CreateEventW(nullptr, TRUE, FALSE, kStopEventName);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  if (watchInput) CloseHandle(CreateThread(nullptr, 0, WatchInput, nullptr, 0, nullptr));
  std::vector<SimulatedPrinter *> printers;
  int status = 0;
  for (SimulatedPrinterSetup &setup : setups) {
    const std::wstring name = SimulatedPrinterName(setup);
    if (!firmwareDirectory.empty()) {
      setup.firmwareFile = firmwareDirectory + L"\\sim" + name + L".bin";
    }
    if (!quiet) setup.logLine = Print;
    // Quiet or not, what differs from a recording is said (the log says it when not quiet).
    if (setup.replay && quiet) {
      setup.replayReport = [name](const std::string &report) {
        Print("korvex-printer-sim: printer sim" + Narrow(name) + " " + report);
      };
    }
    // A simulator killed earlier may have left this printer's entries behind.
    if (setup.registerInterface) UnregisterPrinterInterface(kSimulatedKeyPrefix + name);
    SimulatedPrinter *printer = StartSimulatedPrinter(setup);
    if (!printer) {
      Print("korvex-printer-sim: printer sim" + Narrow(name) + " cannot be started");
      status = 1;
      break;
    }
    printers.push_back(printer);
    Print("korvex-printer-sim: printer sim" + Narrow(name) + " family " +
          std::to_string(setup.identity.family) + (setup.registerInterface ? "" : " (unregistered)") +
          " at " + Narrow(SimulatedPrinterPath(printer)));
  }
  if (status == 0) {
    Print("korvex-printer-sim: ready");
    HANDLE stops[2] = {stopEvent, sharedStopEvent};
    WaitForMultipleObjects(2, stops, FALSE, milliseconds);
  }
  for (size_t i = 0; i < printers.size(); ++i) {
    // What a replay came to, before the printer and its record go.
    if (setups[i].replay) {
      Print("korvex-printer-sim: printer sim" + Narrow(SimulatedPrinterName(setups[i])) + " " +
            ReadSimulatedPrinter(printers[i]).replaySummary);
    }
    StopSimulatedPrinter(printers[i]);
  }
  Print("korvex-printer-sim: stopped");
  CloseHandle(sharedStopEvent);
  CloseHandle(stopEvent);
  return status;
}
