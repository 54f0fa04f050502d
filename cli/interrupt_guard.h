// While an upgrade runs, the first Ctrl+C (or termination request) does not end korvex: an
// interrupted transfer can leave the printer unusable, so the user is told so, as the window
// program asks before it closes during an operation; a second one ends korvex.
#pragma once

class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard &) = delete;
  InterruptGuard &operator=(const InterruptGuard &) = delete;
};
