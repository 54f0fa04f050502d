// The information query: six questions to the printer, the text rebuilt after every answer,
// then the device code and the final seven-line text.
#include "info/information_query.h"

#include <cstring>
#include <cwchar>

#include "app/tables.h"
#include "device/bounded_format.h"
#include "device/discovery.h"
#include "device/operation_sink.h"
#include "device/transaction.h"
#include "info/device_code.h"
#include "info/model_identification.h"
#include "info/reply_parsers.h"

wchar_t modelCode[9];
wchar_t firmwareVersion[16];
wchar_t productCode[11];
wchar_t macAddress[18];
wchar_t memorySize[5];
wchar_t versionText[128];
wchar_t deviceCode[42];
wchar_t infoText[1024];

namespace {

constexpr int kPlaceholderString = 71;
constexpr int kFirstTextFormat = 115;  // 115-120 after steps 0-5, 121 the final text

using Parser = int (*)(unsigned char *, int);
const Parser kParsers[kInformationSteps] = {ParseModelReply,       ParseFirmwareVersionReply,
                                            ParseProductCodeReply, ParseMacAddressReply,
                                            ParseMemorySizeReply,  ParseVersionTextReply};

template <int N>
void SetPlaceholder(wchar_t (&field)[N]) {
  FormatBounded(field, N, InternalString(kPlaceholderString));
}

template <int N>
bool HoldsPlaceholder(const wchar_t (&field)[N]) {
  wchar_t placeholder[N];
  SetPlaceholder(placeholder);
  return std::wcscmp(field, placeholder) == 0;
}

// The information text after a step: one line more per answered question (formats 115-120),
// or all seven lines (121).
void ShowInformationText(int lastStep) {
  const wchar_t *format = InternalString(kFirstTextFormat + lastStep);
  const int units = static_cast<int>(sizeof infoText / sizeof infoText[0]);
  switch (lastStep) {
    case 0: FormatBounded(infoText, units, format, currentDisplayName); break;
    case 1: FormatBounded(infoText, units, format, currentDisplayName, firmwareVersion); break;
    case 2:
      FormatBounded(infoText, units, format, currentDisplayName, firmwareVersion, productCode);
      break;
    case 3:
      FormatBounded(infoText, units, format, currentDisplayName, firmwareVersion, productCode,
                    macAddress);
      break;
    case 4:
      FormatBounded(infoText, units, format, currentDisplayName, firmwareVersion, productCode,
                    macAddress, memorySize);
      break;
    case 5:
      FormatBounded(infoText, units, format, currentDisplayName, firmwareVersion, productCode,
                    macAddress, memorySize, versionText);
      break;
    default:
      FormatBounded(infoText, units, format, currentDisplayName, firmwareVersion, productCode,
                    macAddress, memorySize, versionText, deviceCode);
      break;
  }
  ActiveSink().InformationText(infoText);
}

}  // namespace

int PrepareInformationQuery() {
  if (IsFirmwareOnlyDevice()) return 1;
  LookUpProtocolFamily();
  if (protocolFamily == 0) return 2;
  LoadQuerySet(protocolFamily == 1 ? 1 : 2);
  return 0;
}

InformationQueryResult AskInformationQuestions() {
  OperationSink &sink = ActiveSink();
  sink.QueryBegins(kInformationSteps);

  std::memset(infoText, 0, sizeof infoText);
  std::memset(modelCode, 0, sizeof modelCode);
  ComposeDisplayName();
  SetPlaceholder(firmwareVersion);
  SetPlaceholder(productCode);
  SetPlaceholder(macAddress);
  SetPlaceholder(memorySize);
  SetPlaceholder(versionText);
  SetPlaceholder(deviceCode);

  InformationQueryResult result = {};
  for (int step = 0; step < kInformationSteps; ++step) {
    sink.QueryStep(step);
    unsigned int length = 0;
    if (RunTransaction(step, &length, 0)) {
      ++result.failures;
      result.steps[step] = StepResult::NoAnswer;
      break;
    }
    const int failed = kParsers[step](replyBuffer, static_cast<int>(length));
    result.failures += failed;
    result.steps[step] = failed ? StepResult::Unusable : StepResult::Read;
    // The MAC address and the version text never fail their step; an answer that holds no
    // value leaves the placeholder.
    if ((step == 3 && HoldsPlaceholder(macAddress)) ||
        (step == 5 && HoldsPlaceholder(versionText))) {
      result.steps[step] = StepResult::Unusable;
    }
    ShowInformationText(step);
  }

  if (result.failures == 0) {
    sink.DeviceCodeBegins();
    result.deviceCodeComputed = ComputeDeviceCode() == 0;
    sink.DeviceCodeEnds();
  }
  ShowInformationText(kInformationSteps);
  return result;
}
