// Shared set-up of the firmware upgrade tests: the program's main window with its real controls,
// a simulated printer that keeps the firmware it receives, firmware files on disk, and a run
// watched as the user sees it (pane texts, progress bar, message boxes, closing).
#pragma once

#include <windows.h>

#include <cstdarg>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/printer_state.h"
#include "box_answerer.h"
#include "simulator.h"

using Bytes = std::vector<unsigned char>;

// The main window with the program's window procedure and controls, made once per process and
// set up afresh for each test: English texts, empty pane, not busy, interactive unless
// unattended is set. A close request (WM_CLOSE) is counted, not carried out, so that an
// unattended run can be watched to its end and the window serves the next test.
void UseUpgradeWindow(bool unattended = false);

// korvex_tool.exe started on the firmware file at path, as a script starts it, in a process of
// its own: the box with that caption it shows (answered OK, waited for boxWaitMs) and the exit
// code it ends with after it (-1: not within exitWaitMs). The calling thread keeps serving its
// window meanwhile, as the window's thread of a program would.
struct UnattendedRun {
  bool started = false;
  AnsweredBox box;
  int exitCode = -1;
};
UnattendedRun RunUnattended(const std::wstring &path, const std::wstring &caption,
                            DWORD boxWaitMs, DWORD exitWaitMs);

struct SeenBox {
  std::wstring caption;
  std::wstring text;
  HWND owner = nullptr;
};

// What a run showed.
struct SeenRun {
  DWORD exitCode = 0xDEADBEEF;
  DWORD milliseconds = 0;
  std::vector<std::wstring> paneTexts;  // every text the pane was given, in order
  std::wstring pane;                    // its text at the end
  std::wstring heading;
  std::vector<UINT> positions;  // every PBM_SETPOS of the progress bar
  UINT rangeHigh = 0;           // the last PBM_SETRANGE32's upper bound
  std::vector<SeenBox> boxes;   // each answered with its default button
  int closeRequests = 0;
  bool busyAfter = true;
  // The text added to the pane after before.
  std::wstring Added(const std::wstring &before) const;
};

// Runs work (which returns an exit code) on a worker thread while this thread serves the window,
// notes what the user sees and answers every message box of this process.
SeenRun WatchRun(const std::function<DWORD()> &work, DWORD timeoutMs = 30000);
// start() on this thread, as the window starts an upgrade (discovery, the printer menu and the
// open dialog are modal here); then, when it started a run, serves the window until the run has
// shown its box and left the busy state. exitCode is what start returned.
SeenRun WatchStart(const std::function<int()> &start, bool runExpected, DWORD timeoutMs = 30000);
// FirmwareUpgradeThread on the file at path.
SeenRun RunUpgrade(const std::wstring &path);

class UpgradePrinter;
// One row of a table of runs: a fresh window (unattended or not), the printer selected, content
// written to a file of its own for the run. receivedBefore: the firmware bytes the printer held
// before the run.
SeenRun RunFileOn(const UpgradePrinter &printer, const Bytes &content, size_t *receivedBefore,
                  bool unattended = false);

// The selection discovery would have made: the printer's path and 8-character device id.
void AimAt(const std::wstring &devicePath, const std::wstring &deviceId);

// A simulated printer of a model in the table (product id, protocol family), registered for
// discovery or not, that stores every firmware byte it takes in a file of its own.
class UpgradePrinter {
 public:
  UpgradePrinter(const wchar_t *productId, int family, int number, bool registered = false,
                 const wchar_t *vendorId = L"4B56");
  UpgradePrinter(SimulatedPrinterSetup setup, int number);
  ~UpgradePrinter();
  UpgradePrinter(const UpgradePrinter &) = delete;
  UpgradePrinter &operator=(const UpgradePrinter &) = delete;

  bool started() const { return printer_ != nullptr; }
  std::wstring path() const;
  std::wstring deviceId() const { return setup_.vendorId + setup_.productId; }
  // Aims the selection at this printer.
  void Select() const { AimAt(path(), deviceId()); }
  SimulatedPrinterRecord record() const;
  // The firmware bytes received, once the tool has closed every connection.
  Bytes Firmware() const;
  // When each firmware transfer arrived (GetTickCount) and the firmware count after it.
  struct Arrival {
    DWORD tick;
    unsigned long long total;
  };
  std::vector<Arrival> Arrivals() const;
  void Unplug();

 private:
  void Start(int number);
  SimulatedPrinterSetup setup_;
  SimulatedPrinter *printer_ = nullptr;
  struct Log;
  std::shared_ptr<Log> log_;
};

// A firmware file in the temporary folder, deleted with the object.
class FirmwareFile {
 public:
  FirmwareFile(const std::wstring &name, const Bytes &content);
  ~FirmwareFile();
  FirmwareFile(const FirmwareFile &) = delete;
  FirmwareFile &operator=(const FirmwareFile &) = delete;
  const std::wstring &path() const { return path_; }

 private:
  std::wstring path_;
};

// A path in the temporary folder unique to this process.
std::wstring TemporaryPath(const std::wstring &name);

// A multi-part package's descriptor for the printer above: its product code, its firmware
// version or the wildcard, its device id, and the part_count byte.
Bytes MultiPartHeader(const std::string &productCode, const std::string &requiredVersion,
                      const std::string &deviceId, unsigned char partCount);
// One part of the package with the given product code, data encrypted as the format wants.
void AppendPartTo(Bytes &package, const std::string &productCode, unsigned char delaySeconds,
                  const Bytes &data);
// A part's plain data: it begins with "\x1B%" as every part must.
Bytes PartData(size_t length, uint32_t mix);

// Texts as the program composes them: wsprintfW into 1024 units.
std::wstring Format(const wchar_t *format, ...);
// What a failure adds to the pane: reported before the transfer loop (its text, then the
// default detail), or in the loop ("error word: text").
std::wstring FailureBeforeLoop(int text);
std::wstring FailureInLoop(int text);
// The line a format of the form "%s\r\n…" adds after its first argument; pass L"" for that one.
std::wstring LineAfter(const wchar_t *format, ...);

bool EndsWith(const std::wstring &text, const std::wstring &end);
// The index of the first of the run's pane texts that holds piece, or -1.
int FirstPaneTextWith(const SeenRun &run, const std::wstring &piece);

// The product code every upgrade printer reports (the simulator's default).
extern const char kPrinterProductCode[];
