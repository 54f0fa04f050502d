// Simulated printers on named pipes, and their registration as USB printer interfaces.
#include "simulator.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "device/packets.h"

namespace {

constexpr wchar_t kPipePrefix[] = L"\\\\.\\pipe\\";
constexpr wchar_t kInterfaceGuid[] = L"{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
constexpr wchar_t kDeviceClassesKey[] =
    L"System\\CurrentControlSet\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
constexpr wchar_t kEnumKey[] = L"System\\CurrentControlSet\\Enum";
constexpr wchar_t kSimulatedInstanceMark[] = L"\\KORVEXSIM";
// The device setup class of printers; Wine wants a class on the instance, any will do.
constexpr wchar_t kPrinterClassGuid[] = L"{4d36e979-e325-11ce-bfc1-08002be10318}";

constexpr DWORD IOCTL_USBPRINT_GET_PROTOCOL = 0x220044;
constexpr DWORD IOCTL_USBPRINT_SET_PROTOCOL = 0x220048;
constexpr DWORD kBidirectionalProtocol = 2;
constexpr DWORD kIppOverUsbProtocol = 4;

constexpr DWORD kTransferBytes = 4096;      // what the tool writes at most in one transfer
// The tool opens the pipe as a plain file, so its reads are in byte mode, where blocks waiting
// side by side would run together into one read. With no room in the pipe each block waits in
// its write until the tool has read it, and the next is written only then: one transfer per
// read, as from a USB printer.
constexpr DWORD kReplyRoomBytes = 1;
constexpr DWORD kEmptyBlockPause = 200;
// Instances kept waiting for a client: the tool opens the device again right after closing it
// (transaction after transaction), and an instance still busy with the old handle is no use.
constexpr int kWaitingInstances = 2;

}  // namespace

struct WaitingInstance {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  OVERLAPPED overlapped = {};
  bool connectedAtOnce = false;
};

struct SimulatedPrinter {
  SimulatedPrinterSetup setup;
  std::wstring path;
  std::wstring key;
  bool registered = false;
  HANDLE stopEvent = nullptr;  // set: the printer is unplugged, stopping or restarting
  HANDLE endEvent = nullptr;   // set: the printer is stopping, and a restart stays away
  WaitingInstance waiting[kWaitingInstances];  // owned by the listener once it runs
  std::thread listener;
  std::mutex listenerLock;  // whoever unplugs first waits for the listener to end
  std::thread restarter;    // away and back again after firmware (Restart)
  std::mutex restartLock;   // guards restarter

  std::mutex lock;  // guards everything below
  std::condition_variable serversDone;
  int activeServers = 0;
  std::set<int> servedConnections;  // numbers of the connections still being served
  PrinterState state;
  FlashIntake intake{0};
  std::vector<Transfer> packets;
  std::vector<std::string> log;
  int connections = 0;
  HANDLE firmwareFile = INVALID_HANDLE_VALUE;
  bool restarting = false;  // from the firmware it restarts after until it is back
  int restarts = 0;
  bool present = true;
  std::unique_ptr<ReplayEngine> replay;
  std::vector<std::string> replayReports;
};

namespace {

std::mutex runningLock;
std::vector<SimulatedPrinter *> running;

std::string Narrow(const std::wstring &text) {
  return std::string(text.begin(), text.end());  // pipe names and serials are ASCII
}

void AddLog(SimulatedPrinter *printer, const std::string &line) {
  const std::string full = "[sim" + Narrow(SimulatedPrinterName(printer->setup)) + "] " + line;
  printer->log.push_back(full);
  if (printer->setup.logLine) printer->setup.logLine(full);
}

HANDLE NewEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

// Waits for an overlapped operation on pipe, or for the printer to stop (then cancels it).
bool Finish(SimulatedPrinter *printer, HANDLE pipe, OVERLAPPED *overlapped, BOOL started,
            DWORD *count) {
  *count = 0;
  if (!started && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) {
    return false;
  }
  HANDLE waits[2] = {overlapped->hEvent, printer->stopEvent};
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
    CancelIoEx(pipe, overlapped);
    GetOverlappedResult(pipe, overlapped, count, TRUE);
    return false;
  }
  return GetOverlappedResult(pipe, overlapped, count, TRUE) || GetLastError() == ERROR_MORE_DATA;
}

// Stores firmware bytes; returns false once the printer has taken all it will before going away.
bool StoreFirmware(SimulatedPrinter *printer, const unsigned char *data, DWORD length) {
  const long long limit = printer->state.faults.disconnectAfter;
  const unsigned long long before = printer->state.firmwareBytes - length;
  DWORD keep = length;
  if (limit >= 0 && before + length > static_cast<unsigned long long>(limit)) {
    keep = static_cast<DWORD>(static_cast<unsigned long long>(limit) - before);
    printer->state.firmwareBytes = static_cast<unsigned long long>(limit);
  }
  if (printer->firmwareFile != INVALID_HANDLE_VALUE && keep > 0) {
    DWORD written = 0;
    WriteFile(printer->firmwareFile, data, keep, &written, nullptr);
  }
  return limit < 0 || printer->state.firmwareBytes < static_cast<unsigned long long>(limit);
}

// Until the flash has taken a piece of firmware at its intake rate (FlashIntake); false when the
// printer goes away first.
bool AwaitIntake(SimulatedPrinter *printer, FlashIntake::Clock::time_point due) {
  using std::chrono::milliseconds;
  for (;;) {
    const milliseconds left = std::chrono::ceil<milliseconds>(due - FlashIntake::Clock::now());
    if (left.count() <= 0) return true;
    const DWORD wait = static_cast<DWORD>(left.count());
    if (WaitForSingleObject(printer->stopEvent, wait) == WAIT_OBJECT_0) return false;
  }
}

void BeginRestart(SimulatedPrinter *printer);

std::string DescribeReplayed(TransferKind kind, DWORD length) {
  const std::string size = " (" + std::to_string(length) + " bytes)";
  switch (kind) {
    case TransferKind::kCommand: return "command as recorded" + size;
    case TransferKind::kFirmware: return "firmware" + size;
    default: return "command not as recorded" + size + ", not answered";
  }
}

// One connection: the tool opened the device. Transfers are taken and answered until the tool
// closes its handle or the printer stops.
void Serve(SimulatedPrinter *printer, HANDLE pipe, int number) {
  // A USB printer takes its transfers in order. The tool closes one connection before it opens
  // the next, but the bytes of a closed one may still wait here to be read: a connection is
  // read only once every earlier one has been served to its end, so firmware is stored in the
  // order it was sent.
  {
    std::unique_lock<std::mutex> hold(printer->lock);
    while (!printer->servedConnections.empty() && *printer->servedConnections.begin() < number &&
           WaitForSingleObject(printer->stopEvent, 0) != WAIT_OBJECT_0) {
      printer->serversDone.wait_for(hold, std::chrono::milliseconds(50));
    }
  }
  OVERLAPPED overlapped = {};
  overlapped.hEvent = NewEvent();
  std::vector<unsigned char> buffer(2 * kTransferBytes);
  const SimulatedPrinterSetup &setup = printer->setup;
  const DWORD pause = setup.faults.slowWriteMilliseconds;
  for (;;) {
    if (pause && WaitForSingleObject(printer->stopEvent, pause) == WAIT_OBJECT_0) break;
    DWORD count = 0;
    const BOOL reading = ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                                  &overlapped);
    if (!Finish(printer, pipe, &overlapped, reading, &count)) break;

    // The flash takes firmware at its own pace; the tool's next write waits meanwhile, as the
    // pipe keeps no room for it.
    const unsigned char *record = nullptr;
    int recordLength = 0;
    if (setup.faults.intakeBytesPerSecond > 0 &&
        !SplitPacket(buffer.data(), count, &record, &recordLength)) {
      FlashIntake::Clock::time_point due;
      {
        std::lock_guard<std::mutex> hold(printer->lock);
        due = printer->intake.Due(FirmwareBeforeRestart(printer->state, count),
                                  FlashIntake::Clock::now());
      }
      if (!AwaitIntake(printer, due)) break;
    }

    const ULONGLONG arrived = GetTickCount64();
    std::vector<ReplayReply> replies;
    bool goesAway = false;
    bool restarts = false;
    {
      std::lock_guard<std::mutex> hold(printer->lock);
      PrinterState &state = printer->state;
      const unsigned long long before = state.firmwareBytes;
      TransferKind kind;
      if (printer->replay) {
        std::vector<std::string> reports;
        kind = printer->replay->Take(buffer.data(), count, &replies, &reports);
        if (kind == TransferKind::kFirmware) state.firmwareBytes += count;
        for (const std::string &report : reports) {
          AddLog(printer, report);
          printer->replayReports.push_back(report);
          if (setup.replayReport) setup.replayReport(report);
        }
      } else {
        std::vector<Transfer> answer;
        kind = HandleTransfer(state, buffer.data(), count, &answer);
        for (Transfer &block : answer) replies.push_back({std::move(block), 0});
      }
      if (kind == TransferKind::kFirmware) {
        goesAway = !StoreFirmware(printer, buffer.data(),
                                  static_cast<DWORD>(state.firmwareBytes - before));
        restarts = !goesAway && !printer->restarting && RestartDue(state);
      } else {
        printer->packets.emplace_back(buffer.data(), buffer.data() + count);
      }
      AddLog(printer, "<- " + (printer->replay ? DescribeReplayed(kind, count)
                                                : DescribeTransfer(kind, state, count)));
      if (goesAway) AddLog(printer, "disconnected after " +
                                    std::to_string(state.firmwareBytes) +
                                    " firmware bytes");
      if (restarts) {
        printer->restarting = true;
        AddLog(printer, "restarting after " + std::to_string(state.firmwareSinceStart) +
                            " firmware bytes" + (setup.faults.neverBack ? ", never back" : ""));
      }
    }
    if (goesAway) {
      UnplugSimulatedPrinter(printer);
      break;
    }
    if (restarts) {
      BeginRestart(printer);
      break;
    }
    bool delivered = true;
    for (const ReplayReply &replay : replies) {
      const Transfer &reply = replay.block;
      // A recorded reply comes as long after the command as it came from the printer.
      const ULONGLONG due = arrived + replay.delayMs, now = GetTickCount64();
      if (due > now &&
          WaitForSingleObject(printer->stopEvent, static_cast<DWORD>(due - now)) == WAIT_OBJECT_0) {
        delivered = false;
        break;
      }
      // A zero-length transfer ends only a read that is already waiting; in byte mode one that
      // comes later reads on into the next block. Give the tool time to ask first.
      if (reply.empty() && WaitForSingleObject(printer->stopEvent, kEmptyBlockPause) == WAIT_OBJECT_0) {
        delivered = false;
        break;
      }
      const BOOL writing = WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()),
                                     nullptr, &overlapped);
      if (!Finish(printer, pipe, &overlapped, writing, &count)) {
        delivered = false;
        break;
      }
    }
    if (!replies.empty()) {
      std::lock_guard<std::mutex> hold(printer->lock);
      AddLog(printer, "-> " + std::to_string(replies.size()) + " block(s)" +
                          (delivered ? "" : ", not all delivered"));
    }
  }
  DisconnectNamedPipe(pipe);
  CloseHandle(pipe);
  CloseHandle(overlapped.hEvent);
  std::lock_guard<std::mutex> hold(printer->lock);
  --printer->activeServers;
  printer->servedConnections.erase(number);
  printer->serversDone.notify_all();
}

bool OfferInstance(SimulatedPrinter *printer, WaitingInstance &instance) {
  // A printer that takes its time keeps almost no buffer, so the tool's writes really wait.
  const PrinterFaults &faults = printer->setup.faults;
  const DWORD inbound =
      faults.slowWriteMilliseconds || faults.intakeBytesPerSecond ? 1 : kTransferBytes;
  instance.pipe = CreateNamedPipeW(printer->path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                   PIPE_UNLIMITED_INSTANCES, kReplyRoomBytes, inbound, 0, nullptr);
  if (instance.pipe == INVALID_HANDLE_VALUE) return false;
  ResetEvent(instance.overlapped.hEvent);
  instance.connectedAtOnce = false;
  if (!ConnectNamedPipe(instance.pipe, &instance.overlapped) &&
      GetLastError() == ERROR_PIPE_CONNECTED) {
    // Connected between creation and this call: no completion will come, signal it here.
    instance.connectedAtOnce = true;
    SetEvent(instance.overlapped.hEvent);
  }
  return true;
}

// Closes the instances still waiting for a client.
void WithdrawInstances(SimulatedPrinter *printer) {
  for (WaitingInstance &instance : printer->waiting) {
    if (instance.pipe != INVALID_HANDLE_VALUE) {
      CancelIoEx(instance.pipe, &instance.overlapped);
      DWORD unused = 0;
      GetOverlappedResult(instance.pipe, &instance.overlapped, &unused, TRUE);
      CloseHandle(instance.pipe);
    }
    if (instance.overlapped.hEvent) CloseHandle(instance.overlapped.hEvent);
    instance = WaitingInstance();
  }
}

// Offers the first instances before the printer counts as started: the tool may open it at once.
bool OfferFirstInstances(SimulatedPrinter *printer) {
  bool offered = true;
  for (WaitingInstance &instance : printer->waiting) {
    instance.overlapped.hEvent = NewEvent();
    offered = OfferInstance(printer, instance) && offered;
  }
  return offered;
}

void Listen(SimulatedPrinter *printer) {
  WaitingInstance *waiting = printer->waiting;
  HANDLE waits[kWaitingInstances + 1];
  for (int i = 0; i < kWaitingInstances; ++i) waits[i] = waiting[i].overlapped.hEvent;
  waits[kWaitingInstances] = printer->stopEvent;
  for (;;) {
    const DWORD which = WaitForMultipleObjects(kWaitingInstances + 1, waits, FALSE, INFINITE);
    if (which >= WAIT_OBJECT_0 + kWaitingInstances) break;
    WaitingInstance &instance = waiting[which - WAIT_OBJECT_0];
    DWORD unused = 0;
    if (instance.pipe != INVALID_HANDLE_VALUE &&
        (instance.connectedAtOnce ||
         GetOverlappedResult(instance.pipe, &instance.overlapped, &unused, FALSE))) {
      std::lock_guard<std::mutex> hold(printer->lock);
      const int number = ++printer->connections;
      ++printer->activeServers;
      printer->servedConnections.insert(number);
      std::thread(Serve, printer, instance.pipe, number).detach();
    } else if (instance.pipe != INVALID_HANDLE_VALUE) {
      CloseHandle(instance.pipe);
    }
    if (!OfferInstance(printer, instance)) {
      // No instance could be made (should not happen): avoid spinning on a signalled event.
      ResetEvent(instance.overlapped.hEvent);
      if (WaitForSingleObject(printer->stopEvent, 100) == WAIT_OBJECT_0) break;
      SetEvent(instance.overlapped.hEvent);
    }
  }
  WithdrawInstances(printer);
}

std::wstring InstanceId(const SimulatedPrinterSetup &setup) {
  return L"USB\\VID_" + setup.vendorId + L"&PID_" + setup.productId + kSimulatedInstanceMark +
         SimulatedPrinterName(setup);
}

// A printer restarting after its firmware: its connections ended, its pipe closed and out of
// the SetupAPI walk, as when unplugged; after restartSeconds the same pipe and registration
// again, with the state of a printer that has started (Restarted). It stays away for good with
// neverBack, or when stopped meanwhile.
void Restart(SimulatedPrinter *printer) {
  {
    std::lock_guard<std::mutex> hold(printer->lock);
    printer->present = false;
    ++printer->restarts;
  }
  // Unplugged first, then out of the list, as a device goes; coming back the other way round:
  // whoever no longer finds it in the walk cannot open it either, and whoever finds it can.
  UnplugSimulatedPrinter(printer);
  if (printer->registered) UnregisterPrinterInterface(printer->key);
  printer->registered = false;
  {
    // The pipe's name is free again only once every instance of it is closed.
    std::unique_lock<std::mutex> hold(printer->lock);
    printer->serversDone.wait(hold, [printer] { return printer->activeServers == 0; });
  }
  const PrinterFaults &faults = printer->setup.faults;
  const DWORD away = faults.neverBack ? INFINITE : faults.restartSeconds * 1000;
  if (WaitForSingleObject(printer->endEvent, away) != WAIT_TIMEOUT) return;

  ResetEvent(printer->stopEvent);
  {
    std::lock_guard<std::mutex> hold(printer->lock);
    Restarted(printer->state);
  }
  bool back = OfferFirstInstances(printer);
  if (back) {
    std::lock_guard<std::mutex> hold(printer->listenerLock);
    printer->listener = std::thread(Listen, printer);
  } else {
    WithdrawInstances(printer);
  }
  if (back && printer->setup.registerInterface) {
    printer->registered =
        RegisterPrinterInterface(printer->key, InstanceId(printer->setup), printer->path);
    back = printer->registered;
  }
  std::lock_guard<std::mutex> hold(printer->lock);
  printer->present = back;
  printer->restarting = false;
  AddLog(printer, back ? "back, firmware " + printer->state.identity.firmwareVersion
                       : "cannot come back");
}

void BeginRestart(SimulatedPrinter *printer) {
  std::lock_guard<std::mutex> hold(printer->restartLock);
  if (WaitForSingleObject(printer->endEvent, 0) == WAIT_OBJECT_0) return;
  // The last restart is over (the printer came back before it could restart again).
  if (printer->restarter.joinable()) printer->restarter.join();
  printer->restarter = std::thread(Restart, printer);
}

bool SetString(HKEY key, const wchar_t *name, const std::wstring &value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool CreateKey(HKEY parent, const std::wstring &path, HKEY *key) {
  return RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key,
                         nullptr) == ERROR_SUCCESS;
}

// The name of the pipe behind a handle, without "\\.\pipe", or empty for anything else.
std::wstring PipeNameOf(HANDLE device) {
  alignas(FILE_NAME_INFO) unsigned char buffer[2048] = {};
  if (!GetFileInformationByHandleEx(device, FileNameInfo, buffer, sizeof buffer - 2)) return {};
  const auto *info = reinterpret_cast<const FILE_NAME_INFO *>(buffer);
  return std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t));
}

}  // namespace

SimulatedPrinter *StartSimulatedPrinter(const SimulatedPrinterSetup &setup) {
  auto *printer = new SimulatedPrinter;
  printer->setup = setup;
  printer->path = std::wstring(kPipePrefix) + L"id_" + setup.vendorId + L"&pid_" +
                  setup.productId + (setup.port.empty() ? L"" : L"&port_" + setup.port) +
                  L"#sim" + setup.serial + L"#" + kInterfaceGuid;
  printer->key = kSimulatedKeyPrefix + SimulatedPrinterName(setup);
  printer->state = NewPrinterState(setup.identity, setup.faults);
  if (setup.replay) printer->replay.reset(new ReplayEngine(*setup.replay));
  printer->intake = FlashIntake(setup.faults.intakeBytesPerSecond);
  printer->stopEvent = NewEvent();
  printer->endEvent = NewEvent();
  if (!setup.firmwareFile.empty()) {
    printer->firmwareFile = CreateFileW(setup.firmwareFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  // Refuse a pipe name that is already served: two printers on one name would share clients.
  HANDLE probe = CreateNamedPipeW(printer->path.c_str(),
                                  PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                  PIPE_TYPE_MESSAGE, PIPE_UNLIMITED_INSTANCES, 1, 1, 0, nullptr);
  const bool nameFree = probe != INVALID_HANDLE_VALUE;
  if (nameFree) CloseHandle(probe);
  if (!nameFree || (!setup.firmwareFile.empty() && printer->firmwareFile == INVALID_HANDLE_VALUE) ||
      !OfferFirstInstances(printer)) {
    StopSimulatedPrinter(printer);
    return nullptr;
  }
  printer->listener = std::thread(Listen, printer);
  {
    std::lock_guard<std::mutex> hold(runningLock);
    running.push_back(printer);
  }
  if (setup.registerInterface) {
    printer->registered = RegisterPrinterInterface(printer->key, InstanceId(setup), printer->path);
    if (!printer->registered) {
      StopSimulatedPrinter(printer);
      return nullptr;
    }
  }
  return printer;
}

void UnplugSimulatedPrinter(SimulatedPrinter *printer) {
  SetEvent(printer->stopEvent);
  // Once this returns no instance waits any more, so opening the printer fails.
  std::lock_guard<std::mutex> hold(printer->listenerLock);
  if (printer->listener.joinable()) {
    printer->listener.join();
  } else {
    WithdrawInstances(printer);
  }
}

void StopSimulatedPrinter(SimulatedPrinter *printer) {
  if (!printer) return;
  {
    std::lock_guard<std::mutex> hold(runningLock);
    running.erase(std::remove(running.begin(), running.end(), printer), running.end());
  }
  SetEvent(printer->endEvent);
  {
    std::lock_guard<std::mutex> hold(printer->restartLock);
    if (printer->restarter.joinable()) printer->restarter.join();
  }
  if (printer->registered) UnregisterPrinterInterface(printer->key);
  UnplugSimulatedPrinter(printer);
  {
    std::unique_lock<std::mutex> hold(printer->lock);
    printer->serversDone.wait(hold, [printer] { return printer->activeServers == 0; });
  }
  if (printer->firmwareFile != INVALID_HANDLE_VALUE) CloseHandle(printer->firmwareFile);
  CloseHandle(printer->stopEvent);
  CloseHandle(printer->endEvent);
  delete printer;
}

std::wstring SimulatedPrinterPath(const SimulatedPrinter *printer) { return printer->path; }

std::wstring SimulatedPrinterName(const SimulatedPrinterSetup &setup) {
  return setup.port.empty() ? setup.serial : setup.serial + L"-port" + setup.port;
}

SimulatedPrinterRecord ReadSimulatedPrinter(const SimulatedPrinter *printer) {
  auto *editable = const_cast<SimulatedPrinter *>(printer);
  std::lock_guard<std::mutex> hold(editable->lock);
  SimulatedPrinterRecord record;
  record.received = printer->state.received;
  record.packets = printer->packets;
  record.settings = printer->state.settings;
  record.log = printer->log;
  record.firmwareBytes = printer->state.firmwareBytes;
  record.connections = printer->connections;
  record.openConnections = printer->activeServers;
  record.ippMode = printer->state.ippMode;
  record.restarts = printer->restarts;
  record.present = printer->present;
  record.replayReports = printer->replayReports;
  if (printer->replay) {
    record.replaySummary = printer->replay->Summary();
    record.replayClean = printer->replay->Clean();
  }
  return record;
}

bool RegisterPrinterInterface(const std::wstring &key, const std::wstring &instance,
                              const std::wstring &symbolicLink) {
  HKEY interfaceKey = nullptr, referenceKey = nullptr, controlKey = nullptr, enumKey = nullptr;
  bool done = CreateKey(HKEY_LOCAL_MACHINE, std::wstring(kDeviceClassesKey) + L"\\" + key,
                        &interfaceKey) &&
              SetString(interfaceKey, L"DeviceInstance", instance) &&
              CreateKey(interfaceKey, L"#", &referenceKey) &&
              SetString(referenceKey, L"SymbolicLink", symbolicLink) &&
              CreateKey(referenceKey, L"Control", &controlKey);
  if (done) {
    const DWORD linked = 1;
    done = RegSetValueExW(controlKey, L"Linked", 0, REG_DWORD,
                          reinterpret_cast<const BYTE *>(&linked), sizeof linked) == ERROR_SUCCESS;
  }
  done = done && CreateKey(HKEY_LOCAL_MACHINE, std::wstring(kEnumKey) + L"\\" + instance,
                           &enumKey) &&
         SetString(enumKey, L"ClassGUID", kPrinterClassGuid);
  for (HKEY open : {interfaceKey, referenceKey, controlKey, enumKey}) {
    if (open) RegCloseKey(open);
  }
  if (!done) UnregisterPrinterInterface(key);
  return done;
}

namespace {

// The DeviceInstance of an interface key of the class, or empty.
std::wstring InstanceOf(const std::wstring &key) {
  const std::wstring path = std::wstring(kDeviceClassesKey) + L"\\" + key;
  wchar_t instance[512] = {};
  DWORD bytes = sizeof instance - sizeof(wchar_t);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), L"DeviceInstance", RRF_RT_REG_SZ, nullptr,
                   instance, &bytes) != ERROR_SUCCESS) {
    return {};
  }
  return instance;
}

// Simulated instances are "USB\VID_…&PID_…\KORVEXSIM<name>"; Wine writes them upper-case.
bool IsSimulatedInstance(std::wstring instance) {
  CharUpperBuffW(instance.data(), static_cast<DWORD>(instance.size()));
  return instance.find(kSimulatedInstanceMark) != std::wstring::npos;
}

bool SameText(const std::wstring &a, const std::wstring &b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Removes an instance's Enum key and every interface key of the class that names it: besides the
// simulator's own, Wine's SetupAPI adds one for each interface it lists ("##?#usb#vid_…"). Left
// behind, that one still puts its instance into later lists, ahead of the simulator's keys; as
// process ids, and so serials, come again, a new printer would take an old one's place in the
// order of the printer menu.
void RemoveInstance(const std::wstring &instance) {
  const std::wstring instancePath = std::wstring(kEnumKey) + L"\\" + instance;
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, instancePath.c_str());
  // The "VID_…&PID_…" level goes too once no instance is left under it.
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, instancePath.substr(0, instancePath.rfind(L'\\')).c_str());
  for (const auto &[key, named] : InterfaceKeys()) {
    if (SameText(named, instance)) {
      RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kDeviceClassesKey) + L"\\" + key).c_str());
    }
  }
}

}  // namespace

std::vector<std::pair<std::wstring, std::wstring>> InterfaceKeys() {
  std::vector<std::pair<std::wstring, std::wstring>> keys;
  HKEY classKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeviceClassesKey, 0, KEY_READ, &classKey) !=
      ERROR_SUCCESS) {
    return keys;
  }
  wchar_t name[512];
  for (DWORD index = 0;; ++index) {
    DWORD length = 512;
    if (RegEnumKeyExW(classKey, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    keys.emplace_back(name, InstanceOf(name));
  }
  RegCloseKey(classKey);
  return keys;
}

void UnregisterPrinterInterface(const std::wstring &key) {
  const std::wstring instance = InstanceOf(key);
  if (!instance.empty()) RemoveInstance(instance);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kDeviceClassesKey) + L"\\" + key).c_str());
}

int RemoveSimulatedInterfaces() {
  int removed = 0;
  for (const auto &[key, instance] : InterfaceKeys()) {
    if (key.rfind(kSimulatedKeyPrefix, 0) == 0) {
      UnregisterPrinterInterface(key);
      ++removed;
    } else if (IsSimulatedInstance(instance)) {
      RemoveInstance(instance);  // only Wine's key of a simulated printer is left
    }
  }
  return removed;
}

BOOL WINAPI SimulatedDeviceControl(HANDLE device, DWORD code, LPVOID input, DWORD inputBytes,
                                   LPVOID output, DWORD outputBytes, LPDWORD returnedBytes,
                                   LPOVERLAPPED overlapped) {
  const std::wstring name = PipeNameOf(device);
  SimulatedPrinter *printer = nullptr;
  if (!name.empty()) {
    std::lock_guard<std::mutex> hold(runningLock);
    for (SimulatedPrinter *candidate : running) {
      const std::wstring own = candidate->path.substr(std::wcslen(kPipePrefix) - 1);
      if (CompareStringOrdinal(own.c_str(), -1, name.c_str(), -1, TRUE) == CSTR_EQUAL) {
        printer = candidate;
      }
    }
  }
  if (!printer || (code != IOCTL_USBPRINT_GET_PROTOCOL && code != IOCTL_USBPRINT_SET_PROTOCOL)) {
    return DeviceIoControl(device, code, input, inputBytes, output, outputBytes, returnedBytes,
                           overlapped);
  }
  std::lock_guard<std::mutex> hold(printer->lock);
  if (code == IOCTL_USBPRINT_GET_PROTOCOL) {
    if (!output || outputBytes < sizeof(DWORD)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    *static_cast<DWORD *>(output) =
        printer->state.ippMode ? kIppOverUsbProtocol : kBidirectionalProtocol;
    if (returnedBytes) *returnedBytes = sizeof(DWORD);
    AddLog(printer, "protocol asked");
    return TRUE;
  }
  if (!input || inputBytes < sizeof(DWORD)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD protocol = *static_cast<const DWORD *>(input);
  if (protocol == kBidirectionalProtocol) printer->state.ippMode = false;
  if (protocol == kIppOverUsbProtocol) printer->state.ippMode = true;
  if (returnedBytes) *returnedBytes = 0;
  AddLog(printer, "protocol set to " + std::to_string(protocol));
  return TRUE;
}
