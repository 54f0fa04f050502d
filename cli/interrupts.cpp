// Ctrl+C and the requests to end, taken in one place.
#include "cli/interrupts.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "cli/console.h"
#include "cli/english_texts.h"
#include "cli/progress_board.h"
#include "device/transport.h"
#include "tables/tables.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace {

// What the upgrades under way are doing, guarded by the mutex.
struct Upgrades {
  std::mutex mutex;
  int running = 0;   // UpgradeInterrupts alive
  int flowing = 0;   // printers that firmware flows to
  bool warned = false;
  std::string warning;
  std::string reason;
  std::vector<PrinterTransport *> watched;
  std::atomic<bool> stop{false};
};

Upgrades &State() {
  static Upgrades state;
  return state;
}

// Above the printers' progress rows, as any message: written past them, it would be drawn over
// at their next redraw. Called with the state's mutex held; the board never asks for that one,
// so taking the board's own here cannot deadlock.
void Tell(const std::string &text) { ProgressBoard::Shared().Message("korvex: " + text + "\n"); }

// Under the mutex.
void StopLocked(Upgrades &state, const std::string &reason) {
  if (!state.stop) state.reason = reason;
  state.stop = true;
  for (PrinterTransport *connection : state.watched) connection->Cancel();
}

enum class Request { Interrupt, End, HangUp, Suspend };

// What a request does to the upgrades under way; false when none runs, and the request is to
// take its ordinary course.
bool Handle(Request request, const std::string &name) {
  Upgrades &state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.running == 0) return false;
  const bool flowing = state.flowing > 0;
  switch (request) {
    case Request::Interrupt:
      if (flowing && !state.warned) {
        state.warned = true;
        Tell(state.warning);
      } else {
        StopLocked(state, flowing ? "a second " + name : name);
      }
      break;
    case Request::End:
      StopLocked(state, name);
      break;
    case Request::HangUp:
      if (flowing) {
        Tell("the terminal has gone; the firmware is still being sent");
      } else {
        StopLocked(state, name);
      }
      break;
    case Request::Suspend:
      Tell("firmware is being checked or sent: korvex cannot be suspended now");
      break;
  }
  return true;
}

#ifdef _WIN32
BOOL WINAPI OnControl(DWORD type) {
  if (type == CTRL_C_EVENT) return Handle(Request::Interrupt, "Ctrl+C") ? TRUE : FALSE;
  const char *name = type == CTRL_BREAK_EVENT ? "Ctrl+Break" : "a request to end";
  return Handle(Request::End, name) ? TRUE : FALSE;
}
#else
struct Taken {
  int number;
  Request request;
  const char *name;
};
constexpr Taken kTaken[] = {
    {SIGINT, Request::Interrupt, "Ctrl+C"}, {SIGTERM, Request::End, "SIGTERM"},
    {SIGQUIT, Request::End, "SIGQUIT"},     {SIGHUP, Request::HangUp, "a hang-up"},
    {SIGTSTP, Request::Suspend, "Ctrl+Z"},  {SIGTTOU, Request::Suspend, "SIGTTOU"},
};

// The signal's ordinary course, outside an upgrade: suspended by Ctrl+Z, ended by the others.
// Before it ends the program, the backend gives back what its connections took from the system
// (a printer interface claimed through libusb, and the usblp driver detached from it), which
// the end of the program alone would not.
void OrdinaryCourse(int number) {
  if (number == SIGTSTP || number == SIGTTOU) {
    kill(getpid(), SIGSTOP);
    return;
  }
  ReleaseConnectionsBeforeExit();
  signal(number, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, number);
  // Unblocked in this thread alone, so that it is this thread the signal ends the program from.
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(number);
}

sigset_t taken;

void *TakeSignals(void *) {
  for (;;) {
    int number = 0;
    if (sigwait(&taken, &number) != 0) continue;
    for (const Taken &signal : kTaken) {
      if (signal.number == number && !Handle(signal.request, signal.name)) OrdinaryCourse(number);
    }
  }
  return nullptr;
}
#endif

}  // namespace

void TakeInterrupts() {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnControl, TRUE);
#else
  signal(SIGPIPE, SIG_IGN);
  sigemptyset(&taken);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGPIPE);
  for (const Taken &signal : kTaken) {
    struct sigaction now = {};
    sigaction(signal.number, nullptr, &now);
    sigaddset(&blocked, signal.number);
    if (now.sa_handler != SIG_IGN) sigaddset(&taken, signal.number);
  }
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  pthread_t thread;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_create(&thread, &attributes, TakeSignals, nullptr);
  pthread_attr_destroy(&attributes);
#endif
}

UpgradeInterrupts::UpgradeInterrupts() {
  // UI text 36's first sentences, without its question.
  std::string text = Plain(UiText(36));
  const size_t question = text.find("\n\n");
  if (question != std::string::npos) text.resize(question);
  Upgrades &state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.running++ == 0) {
    state.warning = text + "\nkorvex: press Ctrl+C again to interrupt it all the same.";
    state.warned = false;
    state.stop = false;
    state.reason.clear();
  }
}

UpgradeInterrupts::~UpgradeInterrupts() {
  Upgrades &state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  --state.running;
}

void UpgradeInterrupts::FirmwareFlows(bool flowing) {
  Upgrades &state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.flowing += flowing ? 1 : -1;
}

void UpgradeInterrupts::Watch(PrinterTransport *connection) {
  Upgrades &state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.watched.push_back(connection);
  if (state.stop) connection->Cancel();
}

void UpgradeInterrupts::Forget(PrinterTransport *connection) {
  Upgrades &state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.watched.erase(std::remove(state.watched.begin(), state.watched.end(), connection),
                      state.watched.end());
}

bool UpgradeInterrupts::StopRequested() { return State().stop; }

std::string UpgradeInterrupts::StopReason() {
  Upgrades &state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.reason;
}
