// Firmware compatibility checks (device id, product code, firmware version) and the common
// failure report.
#pragma once

#include "device/connection.h"

// Each check returns 0 when the package fits the connection's printer and 1 when it refuses; a
// refusal has been reported through the connection's sink. They talk to the printer, so the
// window program runs them on the upgrade worker, never on the window's thread.

// Descriptor bytes 17-24 against the device id, letter case included.
int CheckDeviceId(PrinterConnection &connection, const unsigned char *descriptor);
// The 10 product-code bytes (a descriptor will do: only its first 10 bytes are read) against
// the code the printer reports. A family-0 model refuses (reported as not supported); a
// firmware-only device passes without being asked. Sets the protocol family.
int CheckProductCode(PrinterConnection &connection, const unsigned char *productCode);
// Descriptor bytes 10-16 against the firmware version the printer reports, unless they are the
// wildcard.
int CheckFirmwareVersion(PrinterConnection &connection, const unsigned char *descriptor);

// Reports a refusal or failure through the connection's sink: the window program appends "short
// text + pane detail" as a new line to the information pane and, in unattended mode, shows the
// same reason in an error box owned by the main window, followed by the box detail on a line of
// its own unless the reason holds it already. An empty detail stands for UI text 30. Returns 0.
int ReportFailure(PrinterConnection &connection, const wchar_t *shortText,
                  const wchar_t *paneDetail, const wchar_t *boxDetail);
// The detail a failure is told with: the one given, or UI text 30 in the language when it is
// empty.
const wchar_t *FailureDetail(int language, const wchar_t *detail);
