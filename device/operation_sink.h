// What the protocol core tells the user while an operation runs: the one way it reports. Each
// front end has its sink (the window program: the information pane, the progress bar, the ticker
// and the message boxes; the command line: a printer's lines on standard error), and hands it to
// the core with each printer's connection. Every method may be called from the thread that runs
// the operation (and the firmware transfer's thread); the defaults do nothing.
#pragma once

#include <cstdint>

#include "firmware/package.h"

class OperationSink {
 public:
  virtual ~OperationSink() = default;

  // The language of the front end's texts: 0 Russian, 1 English, 2 Portuguese, 3 Chinese.
  virtual int Language() const { return 1; }

  // ---- The transaction engine --------------------------------------------------------------
  // A request/reply transaction has opened the printer and waits for it, until WaitEnds, which
  // comes on every way out. Nothing the sink shows for the wait may change once WaitEnds has
  // returned.
  virtual void WaitBegins() {}
  virtual void WaitEnds() {}

  // ---- Failures (ReportFailure) ------------------------------------------------------------
  // A refusal or failure, as a short text and a detail for the pane and one for a box; an
  // empty detail stands for UI text 30.
  virtual void ReportFailure(const wchar_t *, const wchar_t *, const wchar_t *) {}

  // ---- The information query ---------------------------------------------------------------
  virtual void QueryBegins(int /*steps*/) {}
  virtual void QueryStep(int /*step*/) {}
  // The information text, after every answer and at the end.
  virtual void InformationText(const wchar_t *) {}
  // The device code is being computed, until DeviceCodeEnds.
  virtual void DeviceCodeBegins() {}
  virtual void DeviceCodeEnds() {}

  // ---- The firmware upgrade ----------------------------------------------------------------
  // The printer's checks have passed and the file's content is firmware.
  virtual void FileAccepted(FirmwareKind) {}
  // The model's upgrade note (category 1 or 2) belongs in front of the transfer.
  virtual void ModelNote(int /*category*/) {}
  // The whole file is read and checked before anything is sent: read bytes of size so far.
  virtual void FileCheckBegins(uint64_t /*size*/) {}
  virtual void FileCheckProgress(uint64_t /*read*/, uint64_t /*size*/) {}
  virtual void FileCheckEnds() {}
  // The transfer starts: total bytes, or parts of a multi-part package.
  virtual void TransferBegins(FirmwareKind, uint32_t /*total*/) {}
  // Part index (from 0) of count is about to be sent.
  virtual void PartBegins(uint32_t /*index*/, uint32_t /*count*/) {}
  // count of total bytes have been written; due once per progress step of the run.
  virtual void TransferProgress(uint32_t /*count*/, uint32_t /*total*/) {}
  // A write has put bytes of firmware into the printer (each time one does).
  virtual void FirmwareWritten(uint32_t /*bytes*/) {}

  // ---- Stopping --------------------------------------------------------------------------------
  // Whether the front end wants the operation stopped. The core asks at every boundary it may
  // stop at (before each firmware write, block, part and check step, and during a pause between
  // parts), never within a write; the window program never asks to stop.
  virtual bool StopRequested() { return false; }
};
