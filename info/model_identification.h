// Model identification from a printer's device id: protocol family, display name and the
// firmware-only test, all from the built-in model table without talking to the printer.
#pragma once

#include "device/connection.h"
#include "tables/tables.h"  // the model table

// Each reads the 8-character device id (vendor id, then product id).
// 1 when the printer only accepts a firmware upgrade (a boot loader), else 0.
int IsFirmwareOnlyDevice(const wchar_t *deviceId);
// The protocol family of the first table entry with the device's product id: 0 model known and
// refused; 1 fixed-record protocol; 2 SSI/OID protocol, also every model not in the table.
int LookUpProtocolFamily(const wchar_t *deviceId);
// The printer's name on screen (kDisplayNameUnits units): the printer menu, the first line of the
// information text.
void ComposeDisplayName(const wchar_t *deviceId, wchar_t *displayName);

// The connection's protocol family and display name from its device id.
void IdentifyModel(PrinterConnection &connection);
