// Firmware compatibility checks and the failure report.
#include "device/compatibility.h"

#include "device/operation_sink.h"
#include "device/pick_lines.h"
#include "device/transaction.h"
#include "firmware/package.h"
#include "info/model_identification.h"
#include "tables/tables.h"
#include "tables/upgrade_texts.h"

namespace {

constexpr int kProductCodeSlot = 2;
constexpr int kFirmwareVersionSlot = 1;
constexpr int kFirmwareVersionLengthOffset = 6;
constexpr int kFirmwareVersionLengthWidth = 2;

constexpr size_t kDetailUnits = 500;

int ReportMismatch(PrinterConnection &connection, int text) {
  ReportFailure(connection, InternalString(text), InternalString(kNoString),
                InternalString(kNoString));
  return 1;
}

// A check query the printer did not answer: the pane gets the advice lines, the box only the
// first one.
int ReportNoAnswer(PrinterConnection &connection) {
  static const unsigned char paneLines[] = {1, 3, 0};
  static const unsigned char boxLines[] = {1, 0};
  wchar_t paneDetail[kDetailUnits] = {};
  wchar_t boxDetail[kDetailUnits] = {};
  PickLines(UiText(connection, kQueryFailureText), paneDetail, kDetailUnits, paneLines);
  PickLines(UiText(connection, kQueryFailureText), boxDetail, kDetailUnits, boxLines);
  ReportFailure(connection, InternalString(kNoAnswerString), paneDetail, boxDetail);
  return 1;
}

// Runs the slot's query and compares the start of its data block with expected. A data block
// shorter than expected is a mismatch: past its end the reply buffer still holds the reply
// header, which must not take part in the comparison.
int QueryAndCompare(PrinterConnection &connection, int slot, const unsigned char *expected,
                    unsigned int length, int mismatchText) {
  unsigned int received = 0;
  if (RunTransaction(connection, slot, &received, 0) != 0) return ReportNoAnswer(connection);
  if (received < length) return ReportMismatch(connection, mismatchText);
  for (unsigned int i = 0; i < length; ++i) {
    if (expected[i] != connection.reply[i]) return ReportMismatch(connection, mismatchText);
  }
  return 0;
}

}  // namespace

int CheckDeviceId(PrinterConnection &connection, const unsigned char *descriptor) {
  for (size_t i = 0; i < kTargetDeviceIdLength; ++i) {
    if (static_cast<wchar_t>(descriptor[kDescriptorTargetDeviceId + i]) !=
        connection.deviceId[i]) {
      return ReportMismatch(connection, kDeviceIdMismatchString);
    }
  }
  return 0;
}

int CheckProductCode(PrinterConnection &connection, const unsigned char *productCode) {
  connection.protocolFamily = LookUpProtocolFamily(connection.deviceId);
  if (connection.protocolFamily == 0) {
    // A model the tool does not support: said in the pane (and, unattended, in a box), so that
    // a refused upgrade never ends without a word.
    ReportFailure(connection, InternalString(0), InternalString(41), InternalString(41));
    return 1;
  }
  if (IsFirmwareOnlyDevice(connection.deviceId)) return 0;
  // The code's length field sits one byte later in a family-2 reply header.
  PrepareCommandSlot(connection, kProductCodeSlot, 1, connection.protocolFamily + 5, 1,
                     CMD_FF05.data(), static_cast<int>(CMD_FF05.size()));
  return QueryAndCompare(connection, kProductCodeSlot, productCode, kProductCodeLength,
                         kProductCodeMismatchString);
}

int CheckFirmwareVersion(PrinterConnection &connection, const unsigned char *descriptor) {
  // The wildcard comes from the table, as every character the program compares with does.
  const wchar_t wildcard = InternalString(kConstantCharactersString)[4];
  bool anyVersion = true;
  for (size_t position : kWildcardPositions) {
    anyVersion = anyVersion && static_cast<wchar_t>(descriptor[position]) == wildcard;
  }
  if (anyVersion) return 0;
  // Asked in the SSI form whatever the family; the reply is matched with the family the
  // product-code check has just looked up.
  PrepareCommandSlot(connection, kFirmwareVersionSlot, 1, kFirmwareVersionLengthOffset,
                     kFirmwareVersionLengthWidth, CMD_SSI_FW_VERSION.data(),
                     static_cast<int>(CMD_SSI_FW_VERSION.size()));
  return QueryAndCompare(connection, kFirmwareVersionSlot,
                         descriptor + kDescriptorRequiredVersion, kRequiredVersionLength,
                         kVersionMismatchString);
}

int ReportFailure(PrinterConnection &connection, const wchar_t *shortText,
                  const wchar_t *paneDetail, const wchar_t *boxDetail) {
  connection.sink->ReportFailure(shortText, paneDetail, boxDetail);
  return 0;
}

const wchar_t *FailureDetail(int language, const wchar_t *detail) {
  return detail != nullptr && detail[0] != 0 ? detail : UiTextIn(language, kDefaultDetailText);
}
