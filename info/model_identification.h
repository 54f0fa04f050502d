// Model identification from the chosen printer's device id: protocol family, display name and
// the firmware-only test, all from the built-in model table without talking to the printer.
#pragma once

constexpr int kModelEntries = 161;
constexpr int kModelEntryBytes = 21;  // product id code (4), family (1), model name (16)
constexpr int kModelCodeOffset = 0;
constexpr int kModelCodeBytes = 4;
constexpr int kModelFamilyOffset = 4;
constexpr int kModelNameOffset = 5;
constexpr int kModelNameBytes = 16;  // NUL-padded; a 16-character name has no terminator

constexpr int kDisplayNameUnits = 128;

// Filled once at start-up from its stored stream; read-only afterwards.
extern unsigned char modelTable[kModelEntries * kModelEntryBytes];

// 0: model known and refused; 1: fixed-record protocol; 2: SSI/OID protocol, also every model
// not in the table. 2 until the first lookup; every lookup rewrites it.
extern int protocolFamily;
// The chosen printer's name on screen: the printer menu, the first line of the information text.
extern wchar_t currentDisplayName[kDisplayNameUnits];

// Each reads currentDeviceId, so a printer must have been chosen (or, during discovery, be the
// one being named).
// 1 when the printer only accepts a firmware upgrade (a boot loader), else 0.
int IsFirmwareOnlyDevice();
// Sets protocolFamily from the first table entry with the device's product id; returns 0.
int LookUpProtocolFamily();
// Sets currentDisplayName; leaves protocolFamily alone; returns 0.
int ComposeDisplayName();
