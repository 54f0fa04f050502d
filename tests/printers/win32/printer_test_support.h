// Shared set-up of the tests on simulated printers: the built-in tables, a main window with an
// information pane, simulated printers that stop with the test, the printer menu driven from a
// helper thread, and the process's handle count.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/printer_state.h"
#include "simulator.h"

// Expands the three built-in tables (English texts) and creates a plain main window with an
// information pane and the notice tip, owned by the calling thread; destroys them again.
class TestWindows {
 public:
  TestWindows();
  ~TestWindows();
  HWND pane() const;
};

// A printer name unique to this process, so that tests running side by side never share a pipe.
std::wstring UniqueSerial(int number);

// Starts a simulated printer for the test's lifetime.
class PrinterUnderTest {
 public:
  explicit PrinterUnderTest(SimulatedPrinterSetup setup);
  ~PrinterUnderTest();
  SimulatedPrinter *get() const { return printer_; }
  std::wstring path() const { return SimulatedPrinterPath(printer_); }
  SimulatedPrinterRecord record() const { return ReadSimulatedPrinter(printer_); }
  // Its count of connections once it reaches `expected`, or after 2 s: the simulator counts a
  // connection on its own thread, a moment after the client's open has returned.
  int ConnectionsReaching(int expected) const;

 private:
  SimulatedPrinter *printer_;
};

SimulatedPrinterSetup FamilyPrinter(int family, int number);

// korvex-printer-sim.exe in a process of its own, ended through its standard input.
class SimulatorProcess {
 public:
  // Starts it with these arguments (--stdin is added) and waits for its "ready" line.
  explicit SimulatorProcess(const std::wstring &arguments);
  ~SimulatorProcess();
  bool ready() const { return ready_; }
  // The device path of each printer, in the order of the --printer arguments.
  const std::vector<std::wstring> &paths() const { return paths_; }
  // Ends it and returns its exit code (or -1 when it had to be killed); the output so far.
  int Stop();
  std::string Output();

 private:
  void ReadOutput();
  PROCESS_INFORMATION process_ = {};
  HANDLE input_ = nullptr;   // our end of its standard input
  HANDLE output_ = nullptr;  // our end of its standard output
  std::thread reader_;
  CRITICAL_SECTION lock_;
  std::string text_;
  bool ready_ = false;
  std::vector<std::wstring> paths_;
  int exitCode_ = -1;
  bool stopped_ = false;
};

// One request/reply transaction of a record with a data block on the selected printer, run from
// a worker thread as the program does while this thread serves its windows. Returns what
// RunTransaction returned; reply receives the bytes read.
int AskSelectedPrinter(int slot, int lengthOffset, int lengthWidth, const unsigned char *record,
                       int recordLength, std::string *reply);

// Open handles of this process, as the system counts them.
int ProcessHandleCount();

// One item of a popup menu as the user sees it.
struct SeenMenuItem {
  std::wstring text;
  UINT id;
  UINT state;  // MF_GRAYED, MF_DISABLED, MF_SEPARATOR bits of GetMenuState
};

struct SeenMenu {
  bool shown = false;
  POINT at = {};
  std::vector<SeenMenuItem> items;
};

// Watches for a popup menu of this process and picks its item at position `pick` with the
// keyboard, or dismisses it when pick is -1. Saves a screenshot of the window and the menu
// when given a name. Gives up after timeoutMs; never leaves the menu open.
class MenuDriver {
 public:
  // The menu belongs to this process, or to the process with the given id.
  explicit MenuDriver(int pick, DWORD timeoutMs = 8000, std::wstring screenshot = L"",
                      DWORD processId = 0);
  ~MenuDriver();
  // Stops watching (for a menu that is not expected) and returns what was seen.
  SeenMenu Finish();
  // Waits until the menu has been handled (or the time is up) and returns what was seen; for a
  // menu of another process, whose thread this one need not serve.
  SeenMenu Result();

 private:
  void Drive();
  int pick_;
  DWORD timeoutMs_;
  DWORD processId_;
  std::wstring screenshot_;
  SeenMenu seen_;
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

// Tests of the program's own window on simulated printers: the real main window (English), the
// simulated protocol switch, and no printers registered before or after.
class ProgramOnPrinters : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  void SetUp() override;
  void TearDown() override;
  // A printer of the family, registered so that the window's discovery finds it.
  static SimulatedPrinterSetup Registered(int family, int number);
};

// The information pane's text.
std::wstring PaneText();
