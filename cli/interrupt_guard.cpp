// The guard of a running upgrade against the first Ctrl+C.
#include "cli/interrupt_guard.h"

#include <string>

#include "app/tables.h"
#include "cli/console.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace {

// Made before the guard is set up: a signal handler may only write it out.
std::string warning;
volatile int warned = 0;

#ifdef _WIN32
BOOL WINAPI OnControl(DWORD) {
  if (warned) return FALSE;  // the system's own handling: the program ends
  warned = 1;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), warning.data(), static_cast<DWORD>(warning.size()),
            &written, nullptr);
  return TRUE;
}
#else
struct sigaction previousInterrupt, previousTerminate;

void OnSignal(int number) {
  if (warned) {
    // The second one: the signal's own action, which ends the program.
    sigaction(SIGINT, &previousInterrupt, nullptr);
    sigaction(SIGTERM, &previousTerminate, nullptr);
    raise(number);
    return;
  }
  warned = 1;
  const ssize_t ignored = write(STDERR_FILENO, warning.data(), warning.size());
  (void)ignored;
}
#endif

}  // namespace

InterruptGuard::InterruptGuard() {
  // UI text 36's first sentences, without its question.
  std::string text = Plain(UiText(36));
  const size_t question = text.find("\n\n");
  if (question != std::string::npos) text.resize(question);
  warning = "\nkorvex: " + text + "\nkorvex: press Ctrl+C again to interrupt it all the same.\n";
  warned = 0;
#ifdef _WIN32
  SetConsoleCtrlHandler(OnControl, TRUE);
#else
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &previousInterrupt);
  sigaction(SIGTERM, &action, &previousTerminate);
#endif
}

InterruptGuard::~InterruptGuard() {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnControl, FALSE);
#else
  sigaction(SIGINT, &previousInterrupt, nullptr);
  sigaction(SIGTERM, &previousTerminate, nullptr);
#endif
}
