// The window program's state for the one printer it drives, under the names its operations have
// always used: each is a view into the window program's one connection, which the core's steps
// are handed. Its operations keep their names and their calls too: each hands the core that
// connection, whose sink is the window's and which holds no transport (every transaction, block
// and part opens the printer for itself, as the Windows driver lets it).
#pragma once

#include <cstdint>

#include "device/connection.h"
#include "device/discovery.h"
#include "device/maintenance.h"
#include "firmware/package_reader.h"
#include "info/device_code.h"
#include "info/information_query.h"
#include "upgrade/upgrade.h"

extern PrinterConnection windowPrinter;

// ---- Discovery and selection --------------------------------------------------------------------
extern PrinterEntry printerList[kMaxPrinters];
extern wchar_t (&currentDevicePath)[kDevicePathUnits];
extern wchar_t (&currentDeviceId)[kDeviceIdUnits];
extern int printerSelected;  // 1 once SelectPrinter has run for this discovery

// Clears the selection and the list, then lists the USB printer interfaces present now into
// printerList (ListPrinterInterfaces). Each is named with its id made current, as the model table
// is searched through the current id: after the walk the id and name of the last one listed
// stand. Returns how many, or -1 when the system gives no list.
int ListPrinters();
// Makes printerList[index] current and readies the printer for raw traffic. Returns 1 when the
// device cannot be opened for that (the selection stands), else 0.
int SelectPrinter(int index);

// ---- Model identification -----------------------------------------------------------------------
extern int &protocolFamily;  // 2 until the first lookup; every lookup rewrites it
extern wchar_t (&currentDisplayName)[kDisplayNameUnits];
int IsFirmwareOnlyDevice();
// Sets protocolFamily from currentDeviceId; returns 0.
int LookUpProtocolFamily();
// Sets currentDisplayName from currentDeviceId; leaves protocolFamily alone; returns 0.
int ComposeDisplayName();

// ---- The transaction engine ---------------------------------------------------------------------
extern CommandSlot (&slotTable)[kCommandSlots];
extern unsigned char (&replyBuffer)[kReplyBlockBytes];
void ClearCommandSlots();
int PrepareCommandSlot(int slot, int readData, int lengthOffset, int lengthWidth,
                       const unsigned char *record, int recordLength);
int RunTransaction(int slot, unsigned int *outLength, int writeOnly);
// Tests lower the number of reads spent looking for the reply header (default 262,144) to
// reach the end of the search in milliseconds instead of minutes; 0 restores the default.
void SetReplySearchReadsForTesting(unsigned int reads);

// ---- The information query and the device code --------------------------------------------------
extern wchar_t (&modelCode)[9];
extern wchar_t (&firmwareVersion)[16];
extern wchar_t (&productCode)[11];
extern wchar_t (&macAddress)[18];
extern wchar_t (&memorySize)[5];
extern wchar_t (&versionText)[128];
extern wchar_t (&deviceCode)[42];
extern wchar_t (&infoText)[1024];
int PrepareInformationQuery();
InformationQueryResult AskInformationQuestions();
int AssembleDeviceCodeInput(unsigned char input[kDeviceCodeInputBytes]);
int ComputeDeviceCode();

// ---- Compatibility checks and the failure report ------------------------------------------------
int CheckDeviceId(const unsigned char *descriptor);
int CheckProductCode(const unsigned char *productCode);
int CheckFirmwareVersion(const unsigned char *descriptor);
int ReportFailure(const wchar_t *shortText, const wchar_t *paneDetail, const wchar_t *boxDetail);

// ---- Maintenance --------------------------------------------------------------------------------
int CheckMaintenanceModel();
bool ChooseMaintenanceRecord(int command, MaintenanceRecord *chosen);
void LoadMaintenanceSlot(const MaintenanceRecord &chosen);

// ---- The upgrade --------------------------------------------------------------------------------
int SendFirmwareData(const unsigned char *data, uint32_t length, uint32_t total, uint32_t base,
                     int progressOn);
FirmwareOutcome CheckAndSendFirmware(const FirmwareSource &file, unsigned char *fileBuffer,
                                     unsigned char *inflateBuffer, UpgradeRun *run);
FirmwareOutcome CheckAndSendParts(const FirmwareSource &file, unsigned char *partBuffer,
                                  UpgradeRun *run);
void ComposeUpgradeMessage(const UpgradeRun &run, wchar_t *message);
void ComposePartsSentMessage(wchar_t *message);
