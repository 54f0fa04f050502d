// The information query: six questions to the printer, the text rebuilt after every answer,
// then the device code and the final seven-line text.
#include "info/information_query.h"

#include <array>
#include <cstring>
#include <cwchar>

#include "device/bounded_format.h"
#include "device/operation_sink.h"
#include "device/transaction.h"
#include "info/device_code.h"
#include "info/model_identification.h"
#include "info/reply_parsers.h"
#include "os/text.h"
#include "tables/tables.h"

namespace {

constexpr int kPlaceholderString = 71;
constexpr int kFirstTextFormat = 115;  // 115-120 after steps 0-5, 121 the final text
constexpr int kFirmwareStep = 1;
constexpr int kVersionTextSlot = 5;
constexpr int kKernelVersionSlot = 6;
constexpr int kPrintNameSlot = 7;

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

template <size_t N>
void Load(PrinterConnection &connection, int slot, int readData, int lengthOffset,
          int lengthWidth, const std::array<unsigned char, N> &record) {
  PrepareCommandSlot(connection, slot, readData, lengthOffset, lengthWidth, record.data(),
                     static_cast<int>(N));
}

// The query set of a protocol family, into the connection's slots (all cleared first).
void LoadQuerySet(PrinterConnection &connection, int family) {
  ClearCommandSlots(connection);
  if (family == 1) {
    Load(connection, 0, 0, 0, 0, CMD_F1_FF11);
    Load(connection, 1, 0, 0, 0, CMD_F1_0001);
    Load(connection, 2, 1, 6, 1, CMD_FF05);
    Load(connection, 3, 1, 6, 1, CMD_F1_FF07);
    Load(connection, 4, 0, 0, 0, CMD_F1_FF85);
    Load(connection, 5, 1, 6, 2, CMD_F1_0008);
    return;
  }
  Load(connection, 0, 1, 6, 2, CMD_SSI_PRODUCT_MODEL);
  Load(connection, 1, 1, 6, 2, CMD_SSI_FW_VERSION);
  Load(connection, 2, 1, 7, 1, CMD_FF05);
  Load(connection, 3, 1, 6, 2, CMD_SSI_MAC_ADDRESS);
  Load(connection, 4, 1, 6, 2, CMD_SSI_MEMORY_SIZE);
  Load(connection, 5, 1, 6, 4, CMD_READ_ETC_VERSION);
  Load(connection, 6, 1, 6, 2, CMD_SSI_KERNEL_VERSION);
  Load(connection, 7, 1, 6, 2, CMD_SSI_PRINT_NAME);
}

// Step 0: the model code; a family-2 model the table does not know is asked for its own name.
int ModelStep(PrinterConnection &connection, int length) {
  InformationFields &fields = connection.fields;
  const int family = connection.protocolFamily;
  if (ParseModelReply(family, connection.reply, length, fields.modelCode)) return 1;
  if (family != 2 || connection.displayName[0] != L'U') return 0;
  unsigned int nameLength = 0;
  if (RunTransaction(connection, kPrintNameSlot, &nameLength, 0)) return 1;
  ParsePrintNameReply(connection.reply, connection.deviceId, connection.displayName);
  return 0;
}

// Step 1: the firmware version, with the kernel version in front where the printer's
// generation needs it; a printer that keeps a product date is asked for it in step 5.
int FirmwareStep(PrinterConnection &connection, int length) {
  InformationFields &fields = connection.fields;
  bool needsKernel = false;
  if (ParseFirmwareVersionReply(connection.protocolFamily, connection.reply, length,
                                fields.firmwareVersion, &needsKernel)) {
    return 1;
  }
  if (connection.protocolFamily != 2) return 0;
  if (needsKernel) {
    unsigned char firmware[7];
    std::memcpy(firmware, connection.reply, sizeof firmware);
    unsigned int kernelLength = 0;
    if (RunTransaction(connection, kKernelVersionSlot, &kernelLength, 0)) return 1;
    if (ParseKernelVersionReply(connection.reply, static_cast<int>(kernelLength), firmware,
                                fields.firmwareVersion)) {
      return 1;
    }
  }
  if (ReportsProductDate(fields.firmwareVersion)) {
    Load(connection, kVersionTextSlot, 1, 6, 2, CMD_SSI_PRODUCT_DATE);
  }
  return 0;
}

int Step(PrinterConnection &connection, int step, int length) {
  InformationFields &fields = connection.fields;
  const int family = connection.protocolFamily;
  unsigned char *reply = connection.reply;
  switch (step) {
    case 0: return ModelStep(connection, length);
    case 1: return FirmwareStep(connection, length);
    case 2: return ParseProductCodeReply(reply, length, fields.productCode);
    case 3: return ParseMacAddressReply(family, reply, length, fields.macAddress);
    case 4: return ParseMemorySizeReply(family, reply, length, fields.memorySize);
    default: {
      unsigned char shown[kReplyBlockBytes];
      const size_t count = ParseVersionTextReply(family, reply, length, shown);
      if (length > 0) ShowVersionText(shown, count, fields.versionText);
      return 0;
    }
  }
}

// The information text after a step: one line more per answered question (formats 115-120),
// or all seven lines (121).
void ShowInformationText(PrinterConnection &connection, int lastStep) {
  InformationFields &f = connection.fields;
  const wchar_t *name = connection.displayName;
  const wchar_t *format = InternalString(kFirstTextFormat + lastStep);
  const int units = static_cast<int>(sizeof f.infoText / sizeof f.infoText[0]);
  switch (lastStep) {
    case 0: FormatBounded(f.infoText, units, format, name); break;
    case 1: FormatBounded(f.infoText, units, format, name, f.firmwareVersion); break;
    case 2:
      FormatBounded(f.infoText, units, format, name, f.firmwareVersion, f.productCode);
      break;
    case 3:
      FormatBounded(f.infoText, units, format, name, f.firmwareVersion, f.productCode,
                    f.macAddress);
      break;
    case 4:
      FormatBounded(f.infoText, units, format, name, f.firmwareVersion, f.productCode,
                    f.macAddress, f.memorySize);
      break;
    case 5:
      FormatBounded(f.infoText, units, format, name, f.firmwareVersion, f.productCode,
                    f.macAddress, f.memorySize, f.versionText);
      break;
    default:
      FormatBounded(f.infoText, units, format, name, f.firmwareVersion, f.productCode,
                    f.macAddress, f.memorySize, f.versionText, f.deviceCode);
      break;
  }
  connection.sink->InformationText(f.infoText);
}

}  // namespace

void ShowVersionText(const unsigned char *bytes, size_t count,
                     wchar_t (&text)[kVersionTextUnits]) {
  wchar_t decoded[kReplyBlockBytes + 1] = {};
  const int units = count ? DecodeUtf8(bytes, static_cast<int>(count), decoded, kReplyBlockBytes)
                          : 0;
  // Cut to the field, never between the two halves of a surrogate pair.
  int keep = units < kVersionTextUnits - 1 ? units : kVersionTextUnits - 1;
  if (keep == kVersionTextUnits - 1 && decoded[keep - 1] >= 0xD800 && decoded[keep - 1] <= 0xDBFF) {
    keep -= 1;
  }
  decoded[keep] = 0;
  CopyBounded(text, kVersionTextUnits, decoded);
}

int PrepareInformationQuery(PrinterConnection &connection) {
  if (IsFirmwareOnlyDevice(connection.deviceId)) return 1;
  connection.protocolFamily = LookUpProtocolFamily(connection.deviceId);
  if (connection.protocolFamily == 0) return 2;
  LoadQuerySet(connection, connection.protocolFamily == 1 ? 1 : 2);
  return 0;
}

InformationQueryResult AskInformationQuestions(PrinterConnection &connection) {
  OperationSink &sink = *connection.sink;
  InformationFields &fields = connection.fields;
  sink.QueryBegins(kInformationSteps);

  std::memset(fields.infoText, 0, sizeof fields.infoText);
  std::memset(fields.modelCode, 0, sizeof fields.modelCode);
  ComposeDisplayName(connection.deviceId, connection.displayName);
  SetPlaceholder(fields.firmwareVersion);
  SetPlaceholder(fields.productCode);
  SetPlaceholder(fields.macAddress);
  SetPlaceholder(fields.memorySize);
  SetPlaceholder(fields.versionText);
  SetPlaceholder(fields.deviceCode);

  InformationQueryResult result = {};
  for (int step = 0; step < kInformationSteps; ++step) {
    sink.QueryStep(step);
    unsigned int length = 0;
    if (RunTransaction(connection, step, &length, 0)) {
      ++result.failures;
      result.steps[step] = StepResult::NoAnswer;
      break;
    }
    const int failed = Step(connection, step, static_cast<int>(length));
    result.failures += failed;
    result.steps[step] = failed ? StepResult::Unusable : StepResult::Read;
    // The MAC address and the version text never fail their step; an answer that holds no
    // value leaves the placeholder.
    if ((step == 3 && HoldsPlaceholder(fields.macAddress)) ||
        (step == 5 && HoldsPlaceholder(fields.versionText))) {
      result.steps[step] = StepResult::Unusable;
    }
    ShowInformationText(connection, step);
  }

  if (result.failures == 0) {
    sink.DeviceCodeBegins();
    result.deviceCodeComputed = ComputeDeviceCode(fields, connection.deviceId) == 0;
    sink.DeviceCodeEnds();
  }
  ShowInformationText(connection, kInformationSteps);
  return result;
}

int AskFirmwareVersion(PrinterConnection &connection) {
  LoadQuerySet(connection, connection.protocolFamily == 1 ? 1 : 2);
  SetPlaceholder(connection.fields.firmwareVersion);
  unsigned int length = 0;
  if (RunTransaction(connection, kFirmwareStep, &length, 0)) return 1;
  return FirmwareStep(connection, static_cast<int>(length));
}
