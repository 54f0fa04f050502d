// The window program's state for the one printer it drives.
#include "app/printer_state.h"

#include <cstring>

#include "app/window_sink.h"
#include "device/bounded_format.h"
#include "device/compatibility.h"
#include "device/transaction.h"
#include "info/model_identification.h"
#include "tables/tables.h"
#include "upgrade/transfer.h"

PrinterConnection windowPrinter;
PrinterEntry printerList[kMaxPrinters];
int printerSelected;

wchar_t (&currentDevicePath)[kDevicePathUnits] = windowPrinter.devicePath;
wchar_t (&currentDeviceId)[kDeviceIdUnits] = windowPrinter.deviceId;
int &protocolFamily = windowPrinter.protocolFamily;
wchar_t (&currentDisplayName)[kDisplayNameUnits] = windowPrinter.displayName;
CommandSlot (&slotTable)[kCommandSlots] = windowPrinter.slots;
unsigned char (&replyBuffer)[kReplyBlockBytes] = windowPrinter.reply;
wchar_t (&modelCode)[9] = windowPrinter.fields.modelCode;
wchar_t (&firmwareVersion)[16] = windowPrinter.fields.firmwareVersion;
wchar_t (&productCode)[11] = windowPrinter.fields.productCode;
wchar_t (&macAddress)[18] = windowPrinter.fields.macAddress;
wchar_t (&memorySize)[5] = windowPrinter.fields.memorySize;
wchar_t (&versionText)[128] = windowPrinter.fields.versionText;
wchar_t (&deviceCode)[42] = windowPrinter.fields.deviceCode;
wchar_t (&infoText)[1024] = windowPrinter.fields.infoText;

namespace {

constexpr int kCopyFormat = 128;

// The connection, reporting to the window (also before start-up has run any operation).
PrinterConnection &Printer() {
  windowPrinter.sink = &TheWindowSink();
  return windowPrinter;
}

}  // namespace

int ListPrinters() {
  printerSelected = 0;
  std::memset(currentDevicePath, 0, sizeof currentDevicePath);
  std::memset(currentDeviceId, 0, sizeof currentDeviceId);
  const int count = ListPrinterInterfaces(printerList, kMaxPrinters);
  if (count > 0) {
    const PrinterEntry &last = printerList[count - 1];
    FormatBounded(currentDeviceId, kDeviceIdUnits, InternalString(kCopyFormat), last.deviceId);
    FormatBounded(currentDisplayName, kDisplayNameUnits, InternalString(kCopyFormat),
                  last.displayName);
  }
  return count;
}

int SelectPrinter(int index) {
  if (index < 0 || index >= kMaxPrinters) return 1;
  printerSelected = 1;
  return SelectPrinterEntry(Printer(), printerList[index]);
}

int IsFirmwareOnlyDevice() { return IsFirmwareOnlyDevice(currentDeviceId); }

int LookUpProtocolFamily() {
  protocolFamily = LookUpProtocolFamily(currentDeviceId);
  return 0;
}

int ComposeDisplayName() {
  ComposeDisplayName(currentDeviceId, currentDisplayName);
  return 0;
}

void ClearCommandSlots() { ClearCommandSlots(Printer()); }

int PrepareCommandSlot(int slot, int readData, int lengthOffset, int lengthWidth,
                       const unsigned char *record, int recordLength) {
  return PrepareCommandSlot(Printer(), slot, readData, lengthOffset, lengthWidth, record,
                            recordLength);
}

int RunTransaction(int slot, unsigned int *outLength, int writeOnly) {
  return RunTransaction(Printer(), slot, outLength, writeOnly);
}

void SetReplySearchReadsForTesting(unsigned int reads) {
  windowPrinter.replySearchReads = reads ? reads : kReplySearchReads;
}

int PrepareInformationQuery() { return PrepareInformationQuery(Printer()); }

InformationQueryResult AskInformationQuestions() { return AskInformationQuestions(Printer()); }

int AssembleDeviceCodeInput(unsigned char input[kDeviceCodeInputBytes]) {
  return AssembleDeviceCodeInput(windowPrinter.fields, currentDeviceId, input);
}

int ComputeDeviceCode() { return ComputeDeviceCode(windowPrinter.fields, currentDeviceId); }

int CheckDeviceId(const unsigned char *descriptor) { return CheckDeviceId(Printer(), descriptor); }

int CheckProductCode(const unsigned char *code) { return CheckProductCode(Printer(), code); }

int CheckFirmwareVersion(const unsigned char *descriptor) {
  return CheckFirmwareVersion(Printer(), descriptor);
}

int ReportFailure(const wchar_t *shortText, const wchar_t *paneDetail, const wchar_t *boxDetail) {
  return ReportFailure(Printer(), shortText, paneDetail, boxDetail);
}

int CheckMaintenanceModel() { return CheckMaintenanceModel(Printer()); }

bool ChooseMaintenanceRecord(int command, MaintenanceRecord *chosen) {
  return ChooseMaintenanceRecord(protocolFamily, command, chosen);
}

void LoadMaintenanceSlot(const MaintenanceRecord &chosen) {
  LoadMaintenanceSlot(Printer(), chosen);
}

int SendFirmwareData(const unsigned char *data, uint32_t length, uint32_t total, uint32_t base,
                     int progressOn) {
  return SendFirmwareData(Printer(), data, length, total, base, progressOn);
}

FirmwareOutcome CheckAndSendFirmware(const FirmwareSource &file, unsigned char *fileBuffer,
                                     unsigned char *inflateBuffer, UpgradeRun *run) {
  return CheckAndSendFirmware(Printer(), file, fileBuffer, inflateBuffer, run);
}

FirmwareOutcome CheckAndSendParts(const FirmwareSource &file, unsigned char *partBuffer,
                                  UpgradeRun *run) {
  return CheckAndSendParts(Printer(), file, partBuffer, run);
}

void ComposeUpgradeMessage(const UpgradeRun &run, wchar_t *message) {
  ComposeUpgradeMessage(Printer(), run, message);
}

void ComposePartsSentMessage(wchar_t *message) { ComposePartsSentMessage(Printer(), message); }
