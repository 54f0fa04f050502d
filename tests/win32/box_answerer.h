// Finds a message box of this process by its caption, reads it, and closes it, so that a test
// never leaves a box blocking.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

struct AnsweredBox {
  bool found = false;
  std::wstring text;
  HWND owner = nullptr;
};

class BoxAnswerer {
 public:
  // Watches for a dialog with this caption for up to timeoutMs and presses the button. The box
  // belongs to this process, or to the process with the given id.
  BoxAnswerer(std::wstring caption, int button = IDOK, DWORD timeoutMs = 10000,
              DWORD processId = 0);
  ~BoxAnswerer();
  // Waits for the watcher and returns what it saw.
  AnsweredBox Result();
  // Stops watching for a box that did not come (Result then returns at once).
  void Stop();

 private:
  void Watch();
  std::wstring caption_;
  int button_;
  DWORD timeoutMs_;
  DWORD processId_;
  std::atomic<bool> stopped_{false};
  AnsweredBox result_;
  std::thread thread_;
};
