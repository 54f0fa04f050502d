// A USB printer interface made in user space through FunctionFS, for the kernel tests' printers
// that the kernel's own printer function cannot play: that function allows four printers at a
// time, and it ends every reply that fills its last packet with a zero-length packet, which
// many printers never send. Here one write is one USB transfer and nothing more.
#pragma once

#include <atomic>
#include <string>

class FunctionFsPort {
 public:
  // Describes a printer-class interface (bidirectional protocol, a bulk IN and a bulk OUT
  // endpoint) to the FunctionFS instance mounted at directory, opens its endpoints and answers
  // its control requests from a thread of its own (the IEEE 1284 device id is deviceId). The
  // gadget can be plugged in once this returns true; a reason on standard error when it fails.
  bool Start(const std::string &directory, const std::string &deviceId);

  int In() const { return in_; }    // writes: transfers to the host
  int Out() const { return out_; }  // reads: what the host sent
  // Whether the gadget has left the bus since it was plugged in.
  bool Unbound() const { return unbound_.load(); }

 private:
  void AnswerControlRequests();

  int ep0_ = -1, in_ = -1, out_ = -1;
  std::string deviceId_;
  std::atomic<bool> unbound_{false};
};
