// Model identification from a printer's device id: protocol family, display name and the
// firmware-only test, all from the built-in model table without talking to the printer.
#pragma once

#include "device/connection.h"

constexpr int kModelEntries = 161;
constexpr int kModelEntryBytes = 21;  // product id code (4), family (1), model name (16)
constexpr int kModelCodeOffset = 0;
constexpr int kModelCodeBytes = 4;
constexpr int kModelFamilyOffset = 4;
constexpr int kModelNameOffset = 5;
constexpr int kModelNameBytes = 16;  // NUL-padded; a 16-character name has no terminator

// Filled once at start-up from its stored stream; read-only afterwards.
extern unsigned char modelTable[kModelEntries * kModelEntryBytes];

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
