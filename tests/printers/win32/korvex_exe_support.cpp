// korvex.exe run by the tests.
#include "korvex_exe_support.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdlib>

namespace {

// Ctrl+C events this process is to take as its own copy of one it sent to korvex.exe's console.
std::atomic<int> ownCtrlCs{0};

// Every process on the console gets the event, the sender too: the tests must not end by it.
// Any other Ctrl+C takes its ordinary course.
BOOL WINAPI TakeOwnCtrlC(DWORD type) {
  if (type != CTRL_C_EVENT) return FALSE;
  for (int left = ownCtrlCs.load(); left > 0;) {
    if (ownCtrlCs.compare_exchange_weak(left, left - 1)) return TRUE;
  }
  return FALSE;
}

// Ends the processes the process of that id has started. A korvex.exe that crashed has Wine's
// debugger among them, showing its dialog under the test display until someone answers it; it
// holds the test's output open, so that the test would not end either.
// Returns their names.
std::string EndChildrenOf(DWORD parent) {
  std::string names;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return names;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ParentProcessID != parent) continue;
    HANDLE child = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
    if (!child) continue;
    TerminateProcess(child, 99);
    CloseHandle(child);
    const std::wstring name = entry.szExeFile;
    names += " " + std::string(name.begin(), name.end());
  }
  CloseHandle(snapshot);
  return names;
}

std::string ErrorText(const char *what) {
  return std::string(what) + " failed with error " + std::to_string(GetLastError());
}

}  // namespace

std::wstring KorvexExePath() {
  const wchar_t *chosen = _wgetenv(L"KORVEX_EXE_UNDER_TEST");
  if (!chosen || !*chosen) return KORVEX_CLI_EXE;
  return chosen[0] == L'/' ? L"Z:" + std::wstring(chosen) : std::wstring(chosen);
}

RunningKorvex::RunningKorvex(const std::wstring &arguments) {
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  HANDLE inRead = nullptr, inWrite = nullptr, outWrite = nullptr, errWrite = nullptr;
  if (!CreatePipe(&inRead, &inWrite, &inherited, 0) ||
      !CreatePipe(&outRead_, &outWrite, &inherited, 0) ||
      !CreatePipe(&errRead_, &errWrite, &inherited, 0)) {
    ADD_FAILURE() << "no pipes";
    return;
  }
  for (HANDLE ours : {inWrite, outRead_, errRead_}) {
    SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  const std::wstring program = KorvexExePath();
  std::wstring commandLine = L"\"" + program + L"\" " + arguments;
  const BOOL started = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process_);
  for (HANDLE theirs : {inRead, outWrite, errWrite, inWrite}) CloseHandle(theirs);
  if (!started) {
    ADD_FAILURE() << "cannot start " << std::string(program.begin(), program.end());
    process_ = {};
    return;
  }
  outReader_ = std::thread(&RunningKorvex::Read, this, outRead_, &out_);
  errReader_ = std::thread(&RunningKorvex::Read, this, errRead_, &err_);
}

RunningKorvex::~RunningKorvex() {
  Finish(0);
  for (HANDLE handle : {outRead_, errRead_}) {
    if (handle) CloseHandle(handle);
  }
}

void RunningKorvex::Read(HANDLE pipe, std::string *text) {
  char buffer[4096];
  DWORD quietSince = 0;
  for (;;) {
    DWORD available = 0;
    // Fails once every writer has closed the pipe.
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return;
    if (available == 0) {
      // A process it started may hold its end after it has ended (the debugger Wine starts for
      // a crash, showing its dialog): what it wrote is here by now.
      if (!ended_) {
        quietSince = 0;
      } else if (!quietSince) {
        quietSince = GetTickCount();
      } else if (GetTickCount() - quietSince > 1000) {
        return;
      }
      Sleep(10);
      continue;
    }
    DWORD count = 0;
    if (!ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &count,
                  nullptr) ||
        count == 0) {
      return;
    }
    std::lock_guard<std::mutex> hold(lock_);
    text->append(buffer, count);
  }
}

bool RunningKorvex::PressCtrlC(std::string *why) {
  static const BOOL ownTaken = SetConsoleCtrlHandler(TakeOwnCtrlC, TRUE);
  if (!ownTaken) {
    *why = ErrorText("SetConsoleCtrlHandler");
    return false;
  }
  if (!started() || WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0) {
    *why = "korvex.exe is not running";
    return false;
  }
  // Joining its console makes that console's handles this process's standard handles; the
  // tests' own come back afterwards.
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  FreeConsole();
  bool sent = false;
  if (!AttachConsole(process_.dwProcessId)) {
    *why = ErrorText("AttachConsole to korvex.exe's console");
  } else {
    ++ownCtrlCs;
    // To the process group of this process, which korvex.exe was started in.
    sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != FALSE;
    if (!sent) {
      *why = ErrorText("GenerateConsoleCtrlEvent");
      --ownCtrlCs;
    }
    FreeConsole();
  }
  SetStdHandle(STD_INPUT_HANDLE, input);
  SetStdHandle(STD_OUTPUT_HANDLE, output);
  SetStdHandle(STD_ERROR_HANDLE, error);
  return sent;
}

bool RunningKorvex::AwaitErr(const std::string &text, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (err_.find(text) != std::string::npos) return true;
    }
    if (!started() || GetTickCount() - start >= timeoutMs ||
        WaitForSingleObject(process_.hProcess, 20) == WAIT_OBJECT_0) {
      std::lock_guard<std::mutex> hold(lock_);
      return err_.find(text) != std::string::npos;
    }
  }
}

KorvexRun RunningKorvex::Finish(DWORD timeoutMs) {
  if (finished_ || !started()) return run_;
  finished_ = true;
  if (WaitForSingleObject(process_.hProcess, timeoutMs) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    run_.exitCode = static_cast<int>(code);
  } else {
    run_.ended = "korvex.exe had not ended: ended it and what it had started:" +
                 EndChildrenOf(process_.dwProcessId);
    TerminateProcess(process_.hProcess, 99);
    WaitForSingleObject(process_.hProcess, 5000);
  }
  ended_ = true;
  outReader_.join();
  errReader_.join();
  CloseHandle(process_.hThread);
  CloseHandle(process_.hProcess);
  process_ = {};
  run_.out = out_;
  run_.err = err_;
  return run_;
}

KorvexRun RunKorvex(const std::wstring &arguments) { return RunningKorvex(arguments).Finish(); }

std::vector<std::string> CrLfLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  bool stray = false;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
    stray = stray || lines.back().find_first_of("\r\n") != std::string::npos;
  }
  EXPECT_FALSE(stray) << "a CR or LF inside a line:\n" << ::testing::PrintToString(text);
  EXPECT_EQ(start, text.size()) << "text after the last CR LF";
  return lines;
}
