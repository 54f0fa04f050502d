// Model identification from the USB product id.
#include "info/model_identification.h"

#include <cstring>
#include <cwchar>

#include "device/bounded_format.h"
#include "tables/tables.h"


namespace {

constexpr int kProductIdPosition = 4;  // device id characters 4-7: the product id
constexpr int kVendorIdUnits = 4;      // device id characters 0-3: the vendor id
constexpr int kFirmwareOnlyNotice = 40;
constexpr int kFirmwareOnlyNameUnits = 9;  // the notice's leading words name such a device
constexpr int kInTableNameFormat = 133;    // model name, device id
constexpr int kNotInTableNameFormat = 134; // device id

// The first entry whose product id code equals device id characters 4-7, or nullptr. The code
// bytes are compared as they are, so a lower-case code never matches the upper-case id.
const unsigned char *FindModelEntry(const wchar_t *deviceId) {
  for (int entry = 0; entry < kModelEntries; ++entry) {
    const unsigned char *row = modelTable + entry * kModelEntryBytes;
    bool same = true;
    for (int i = 0; i < kModelCodeBytes && same; ++i) {
      same = row[kModelCodeOffset + i] == deviceId[kProductIdPosition + i];
    }
    if (same) return row;
  }
  return nullptr;
}

}  // namespace

int IsFirmwareOnlyDevice(const wchar_t *deviceId) {
  // Whole boot-loader ids first, then boot-loader vendors whatever the product id.
  for (int i = 42; i <= 44; ++i) {
    if (std::wcscmp(deviceId, InternalString(i)) == 0) return 1;
  }
  for (int i = 45; i <= 47; ++i) {
    if (std::memcmp(deviceId, InternalString(i), kVendorIdUnits * sizeof(wchar_t)) == 0) {
      return 1;
    }
  }
  return 0;
}

int LookUpProtocolFamily(const wchar_t *deviceId) {
  const unsigned char *row = FindModelEntry(deviceId);
  return row ? row[kModelFamilyOffset] : 2;
}

void ComposeDisplayName(const wchar_t *deviceId, wchar_t *displayName) {
  if (const unsigned char *row = FindModelEntry(deviceId)) {
    wchar_t name[kModelNameBytes + 1] = {};
    for (int i = 0; i < kModelNameBytes && row[kModelNameOffset + i] != 0; ++i) {
      name[i] = row[kModelNameOffset + i];
    }
    FormatBounded(displayName, kDisplayNameUnits, InternalString(kInTableNameFormat), name,
                  deviceId);
  } else {
    FormatBounded(displayName, kDisplayNameUnits, InternalString(kNotInTableNameFormat),
                  deviceId);
  }
  if (IsFirmwareOnlyDevice(deviceId)) {
    // "<first 9 units of the notice> (<device id>)", the 9 units taken as they stand.
    wchar_t *next = displayName;
    std::memcpy(next, InternalString(kFirmwareOnlyNotice), kFirmwareOnlyNameUnits * sizeof(wchar_t));
    next += kFirmwareOnlyNameUnits;
    *next++ = L' ';
    *next++ = L'(';
    std::memcpy(next, deviceId, 8 * sizeof(wchar_t));
    next += 8;
    *next++ = L')';
    *next = 0;
  }
}

void IdentifyModel(PrinterConnection &connection) {
  connection.protocolFamily = LookUpProtocolFamily(connection.deviceId);
  ComposeDisplayName(connection.deviceId, connection.displayName);
}
