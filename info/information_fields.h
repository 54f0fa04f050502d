// What the information query reads of a printer, and the room each field has: the values the
// reply parsers return, and the texts shown and hashed from them.
#pragma once

// Capacities in UTF-16 units, the terminator included.
constexpr int kModelCodeUnits = 9;
constexpr int kFirmwareVersionUnits = 16;
constexpr int kProductCodeUnits = 11;
constexpr int kMacAddressUnits = 18;
constexpr int kMemorySizeUnits = 5;
constexpr int kVersionTextUnits = 128;
constexpr int kDeviceCodeUnits = 42;
constexpr int kInfoTextUnits = 1024;
constexpr int kDisplayNameUnits = 128;  // a printer's name on screen
constexpr int kDeviceIdUnits = 9;       // vendor and product id, 4 upper-case hex digits each

// The fields keep their values after a query until the next one starts.
struct InformationFields {
  wchar_t modelCode[kModelCodeUnits];
  wchar_t firmwareVersion[kFirmwareVersionUnits];
  wchar_t productCode[kProductCodeUnits];
  wchar_t macAddress[kMacAddressUnits];
  wchar_t memorySize[kMemorySizeUnits];
  wchar_t versionText[kVersionTextUnits];
  wchar_t deviceCode[kDeviceCodeUnits];
  wchar_t infoText[kInfoTextUnits];  // the seven-line information text, shown after every answer
};
