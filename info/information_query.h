// The information query: the printer's identity read over USB into the connection's
// information fields and the seven-line information text.
#pragma once

#include <cstddef>

#include "device/connection.h"

constexpr int kInformationSteps = 6;

// Whether the connection's printer may be queried, and the query set of its family loaded into
// its slots: 0 ready; 1 a firmware-only device (the text of internal string 40 says so); 2 a
// model that is not supported (internal string 41). Sets the protocol family.
int PrepareInformationQuery(PrinterConnection &connection);

// How each of the six questions went, and the device code.
enum class StepResult {
  NotAsked,  // an earlier question was not answered
  NoAnswer,  // the transaction failed: no reply, or not the reply announced
  Unusable,  // answered, but not with a value of this field (the placeholder stays)
  Read,
};
struct InformationQueryResult {
  int failures;  // failed steps; the device code is computed only when there are none
  StepResult steps[kInformationSteps];
  bool deviceCodeComputed;
};

// The questions of a prepared query, one after the other: each answer parsed into its field and
// the information text formatted again and shown; the device code when every step succeeded;
// the final text with the placeholder in every field that was not read. Returns what happened.
InformationQueryResult AskInformationQuestions(PrinterConnection &connection);

// The firmware version alone (the query's second question, of the connection's family, which
// must be known): into connection.fields.firmwareVersion. 0, or 1 when it could not be read.
int AskFirmwareVersion(PrinterConnection &connection);

// The version text's bytes as shown (ParseVersionTextReply) decoded from UTF-8 into the field,
// cut to it, never between the two halves of a surrogate pair.
void ShowVersionText(const unsigned char *bytes, size_t count,
                     wchar_t (&text)[kVersionTextUnits]);
