// The information query: the printer's identity read over USB into the information fields and
// the seven-line information text.
#pragma once

// The information fields; capacities include the terminator. They keep their values after a
// query until the next one starts.
extern wchar_t modelCode[9];
extern wchar_t firmwareVersion[16];
extern wchar_t productCode[11];
extern wchar_t macAddress[18];
extern wchar_t memorySize[5];
extern wchar_t versionText[128];
extern wchar_t deviceCode[42];
// The information text: the buffer from which every worker sets the information pane's text.
extern wchar_t infoText[1024];

constexpr int kInformationSteps = 6;

// Whether the selected printer may be queried, and the query set of its family loaded into the
// slot table: 0 ready; 1 a firmware-only device (the text of internal string 40 says so); 2 a
// model that is not supported (internal string 41).
int PrepareInformationQuery();

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
InformationQueryResult AskInformationQuestions();
