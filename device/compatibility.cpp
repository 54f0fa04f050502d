// Firmware compatibility checks and the failure report.
#include "device/compatibility.h"

#include "app/tables.h"
#include "device/discovery.h"
#include "device/operation_sink.h"
#include "device/pick_lines.h"
#include "device/transaction.h"
#include "firmware/package.h"
#include "firmware/upgrade_texts.h"
#include "info/model_identification.h"

namespace {

constexpr int kProductCodeSlot = 2;
constexpr int kFirmwareVersionSlot = 1;
constexpr int kFirmwareVersionLengthOffset = 6;
constexpr int kFirmwareVersionLengthWidth = 2;

constexpr size_t kDetailUnits = 500;

int ReportMismatch(int text) {
  ReportFailure(InternalString(text), InternalString(kNoString), InternalString(kNoString));
  return 1;
}

// A check query the printer did not answer: the pane gets the advice lines, the box only the
// first one.
int ReportNoAnswer() {
  static const unsigned char paneLines[] = {1, 3, 0};
  static const unsigned char boxLines[] = {1, 0};
  wchar_t paneDetail[kDetailUnits] = {};
  wchar_t boxDetail[kDetailUnits] = {};
  PickLines(UiText(kQueryFailureText), paneDetail, kDetailUnits, paneLines);
  PickLines(UiText(kQueryFailureText), boxDetail, kDetailUnits, boxLines);
  ReportFailure(InternalString(kNoAnswerString), paneDetail, boxDetail);
  return 1;
}

// Runs the slot's query and compares the start of its data block with expected. A data block
// shorter than expected is a mismatch: past its end replyBuffer still holds the reply header,
// which must not take part in the comparison.
int QueryAndCompare(int slot, const unsigned char *expected, unsigned int length,
                    int mismatchText) {
  unsigned int received = 0;
  if (RunTransaction(slot, &received, 0) != 0) return ReportNoAnswer();
  if (received < length) return ReportMismatch(mismatchText);
  for (unsigned int i = 0; i < length; ++i) {
    if (expected[i] != replyBuffer[i]) return ReportMismatch(mismatchText);
  }
  return 0;
}

}  // namespace

int CheckDeviceId(const unsigned char *descriptor) {
  for (size_t i = 0; i < kTargetDeviceIdLength; ++i) {
    if (static_cast<wchar_t>(descriptor[kDescriptorTargetDeviceId + i]) != currentDeviceId[i]) {
      return ReportMismatch(kDeviceIdMismatchString);
    }
  }
  return 0;
}

int CheckProductCode(const unsigned char *productCode) {
  LookUpProtocolFamily();
  if (protocolFamily == 0) {
    // A model the tool does not support: said in the pane (and, unattended, in a box), so that
    // a refused upgrade never ends without a word.
    ReportFailure(InternalString(0), InternalString(41), InternalString(41));
    return 1;
  }
  if (IsFirmwareOnlyDevice()) return 0;
  // The code's length field sits one byte later in a family-2 reply header.
  PrepareCommandSlot(kProductCodeSlot, 1, protocolFamily + 5, 1, CMD_FF05.data(),
                     static_cast<int>(CMD_FF05.size()));
  return QueryAndCompare(kProductCodeSlot, productCode, kProductCodeLength,
                         kProductCodeMismatchString);
}

int CheckFirmwareVersion(const unsigned char *descriptor) {
  // The wildcard comes from the table, as every character the program compares with does.
  const wchar_t wildcard = InternalString(kConstantCharactersString)[4];
  bool anyVersion = true;
  for (size_t position : kWildcardPositions) {
    anyVersion = anyVersion && static_cast<wchar_t>(descriptor[position]) == wildcard;
  }
  if (anyVersion) return 0;
  // Asked in the SSI form whatever the family; the reply is matched with the family the
  // product-code check has just looked up.
  PrepareCommandSlot(kFirmwareVersionSlot, 1, kFirmwareVersionLengthOffset,
                     kFirmwareVersionLengthWidth, CMD_SSI_FW_VERSION.data(),
                     static_cast<int>(CMD_SSI_FW_VERSION.size()));
  return QueryAndCompare(kFirmwareVersionSlot, descriptor + kDescriptorRequiredVersion,
                         kRequiredVersionLength, kVersionMismatchString);
}

int ReportFailure(const wchar_t *shortText, const wchar_t *paneDetail, const wchar_t *boxDetail) {
  ActiveSink().ReportFailure(shortText, paneDetail, boxDetail);
  return 0;
}

const wchar_t *FailureDetail(const wchar_t *detail) {
  return detail != nullptr && detail[0] != 0 ? detail : UiText(kDefaultDetailText);
}
