// Simulated USB printers for running the tool without hardware: each printer is a message-mode
// named pipe (one message = one USB transfer) served on threads of the calling process, and,
// when asked, registered in the Wine registry as a present USB printer interface so that the
// tool's SetupAPI walk finds it. Used by korvex-printer-sim.exe and by in-process tests.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "printer_logic.h"
#include "replay.h"

struct SimulatedPrinterSetup {
  std::wstring vendorId = L"4B56";   // 4 hex digits, as they stand in the pipe name
  std::wstring productId = L"0100";  // 4 hex digits
  std::wstring serial = L"0001";     // with port, unique among running printers (see
                                     // SimulatedPrinterName)
  // The USB port it is plugged into, as its own part of the device path (&port_<port> after
  // the product id): two printers whose maker gave them one serial number differ only there,
  // as on two ports of a real machine. Empty: the path has no such part.
  std::wstring port;
  PrinterIdentity identity;
  PrinterFaults faults;
  bool registerInterface = true;  // make it visible to SetupAPI
  std::wstring firmwareFile;      // receives every firmware byte (truncated at start); optional
  std::function<void(const std::string &)> logLine;  // also told each log line as it happens
  // Answers as this recording says (replay.h) instead of as identity says; what differs from it
  // is logged and also told to replayReport as it happens.
  std::shared_ptr<const Recording> replay;
  std::function<void(const std::string &)> replayReport;
};

struct SimulatedPrinter;

// Starts serving the printer; nullptr when its pipe cannot be created or it cannot be
// registered. The pipe always has an instance waiting, so the tool can open it again at once.
SimulatedPrinter *StartSimulatedPrinter(const SimulatedPrinterSetup &setup);
// Unregisters the printer, ends every connection and frees it; a restart it is in the middle of
// ends where it is.
void StopSimulatedPrinter(SimulatedPrinter *printer);
// The printer goes away as if unplugged: its connections end and opening it fails from now on.
// It stays registered until stopped.
void UnplugSimulatedPrinter(SimulatedPrinter *printer);

// \\.\pipe\id_<vid>&pid_<pid>[&port_<port>]#sim<serial>#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}:
// the vendor and product digits stand where the tool reads them in a USB device path, the
// serial number in the field before the GUID field, and that field is delimited as in one.
std::wstring SimulatedPrinterPath(const SimulatedPrinter *printer);

// What tells a printer apart from every other running one: its serial number, and its port when
// it has one ("<serial>-port<port>"). Its registry key, its instance and the file of its
// firmware are named after it.
std::wstring SimulatedPrinterName(const SimulatedPrinterSetup &setup);

// What the printer has seen so far (a copy, safe while it runs).
struct SimulatedPrinterRecord {
  std::vector<std::string> received;  // command record names, in order
  // The bytes of every command packet, known records or not, in the order received: what two
  // programs sent can be compared byte for byte.
  std::vector<Transfer> packets;
  std::vector<std::string> settings;  // assignments received
  std::vector<std::string> log;       // one line per transfer
  unsigned long long firmwareBytes = 0;
  int connections = 0;        // how often the pipe was opened
  int openConnections = 0;    // connections still being served
  bool ippMode = false;
  // The restart after firmware (PrinterFaults::restartAfter): how often it has gone away to
  // restart (one that never comes back included), and whether it is there now: it can be
  // opened and, when registered, is in the SetupAPI walk.
  int restarts = 0;
  bool present = true;
  // With a recording to replay: what differed from it, a line each; its summary; and whether
  // every request came as recorded.
  std::vector<std::string> replayReports;
  std::string replaySummary;
  bool replayClean = false;
};
SimulatedPrinterRecord ReadSimulatedPrinter(const SimulatedPrinter *printer);

// ---- Registration in the registry of the Wine prefix -------------------------------------------
// A present interface of the USB printer class: DeviceClasses\{GUID}\<key> with DeviceInstance,
// "#" holding SymbolicLink (the path the tool opens) and "#\Control" holding Linked = 1, and the
// instance's Enum key with its ClassGUID. The key must not be the name Wine would derive from the
// instance, or Wine replaces the link by a path of its own.
bool RegisterPrinterInterface(const std::wstring &key, const std::wstring &instance,
                              const std::wstring &symbolicLink);
void UnregisterPrinterInterface(const std::wstring &key);
// Every interface key of the class, with the instance it names (empty if none).
std::vector<std::pair<std::wstring, std::wstring>> InterfaceKeys();
// Removes every interface a simulator registered (keys "korvex-sim-…"), also those left behind
// by a simulator that was killed. Returns how many were removed.
int RemoveSimulatedInterfaces();
constexpr wchar_t kSimulatedKeyPrefix[] = L"korvex-sim-";

// ---- The protocol switch ------------------------------------------------------------------------
// A pipe answers no USB printer driver control code. This stands in for DeviceIoControl: on a
// handle of a running simulated printer it answers IOCTL_USBPRINT_GET_PROTOCOL (4 in IPP mode,
// else 2) and takes IOCTL_USBPRINT_SET_PROTOCOL 2 (which ends IPP mode); on anything else it
// calls DeviceIoControl. In-process tests install it as the tool's printerDeviceControl.
BOOL WINAPI SimulatedDeviceControl(HANDLE device, DWORD code, LPVOID input, DWORD inputBytes,
                                   LPVOID output, DWORD outputBytes, LPDWORD returnedBytes,
                                   LPOVERLAPPED overlapped);
