// korvex.exe as the tests run it: a console program of its own with its outputs read through
// pipes, waited for or driven while it runs (Ctrl+C at its console).
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct KorvexRun {
  int exitCode = -1;  // -1: it had not ended in time and was killed
  std::string out, err;
  std::string ended;  // when it was killed: what the test ended (a crashed one: Wine's debugger)
};

// The korvex.exe under test: this tree's, or the one the environment variable
// KORVEX_EXE_UNDER_TEST names (a Windows path, or a path of this machine, which Wine sees on
// drive Z:), so that the same tests can be run against another build of it.
std::wstring KorvexExePath();

// korvex.exe started with these arguments in a console of its own that no window shows, its
// standard input empty (it never waits on ours), each output on a pipe with a reader of its own
// (a full pipe never stalls it).
class RunningKorvex {
 public:
  explicit RunningKorvex(const std::wstring &arguments);
  ~RunningKorvex();
  RunningKorvex(const RunningKorvex &) = delete;
  RunningKorvex &operator=(const RunningKorvex &) = delete;

  bool started() const { return process_.hProcess != nullptr; }
  // Ctrl+C pressed at its console. Wine's console delivers Ctrl+C alone (Ctrl+Break it refuses),
  // and only to processes on the console that sends it: this process joins korvex.exe's console
  // for the moment of the event, and takes its own copy of it. False, with the reason, when the
  // event cannot be delivered.
  bool PressCtrlC(std::string *why);
  // Until its standard error holds text (false when it has not after timeoutMs, or it ended).
  bool AwaitErr(const std::string &text, DWORD timeoutMs);
  // Waits for its end, at most timeoutMs (then it is killed), and returns what it did.
  KorvexRun Finish(DWORD timeoutMs = 30000);

 private:
  void Read(HANDLE pipe, std::string *text);
  PROCESS_INFORMATION process_ = {};
  HANDLE outRead_ = nullptr, errRead_ = nullptr;
  std::mutex lock_;  // guards the texts
  std::string out_, err_;
  std::thread outReader_, errReader_;
  std::atomic<bool> ended_{false};
  bool finished_ = false;
  KorvexRun run_;
};

// korvex.exe with these arguments, to its end (at most 30 s).
KorvexRun RunKorvex(const std::wstring &arguments);

// The lines of a program's output, each ended by CR LF. A stray CR or a bare LF (standard output
// left in text mode makes "\r\r\n" of the program's line ends) or an unended last line fails.
std::vector<std::string> CrLfLines(const std::string &text);
