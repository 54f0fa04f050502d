// Model identification from the USB product id.
#include "info/model_identification.h"

#include <cstring>
#include <cwchar>

#include "app/tables.h"
#include "device/bounded_format.h"
#include "device/discovery.h"

unsigned char modelTable[kModelEntries * kModelEntryBytes];
int protocolFamily = 2;
wchar_t currentDisplayName[kDisplayNameUnits];

namespace {

constexpr int kProductIdPosition = 4;  // device id characters 4-7: the product id
constexpr int kVendorIdUnits = 4;      // device id characters 0-3: the vendor id
constexpr int kFirmwareOnlyNotice = 40;
constexpr int kFirmwareOnlyNameUnits = 9;  // the notice's leading words name such a device
constexpr int kInTableNameFormat = 133;    // model name, device id
constexpr int kNotInTableNameFormat = 134; // device id

// The first entry whose product id code equals device id characters 4-7, or nullptr. The code
// bytes are compared as they are, so a lower-case code never matches the upper-case id.
const unsigned char *FindModelEntry() {
  for (int entry = 0; entry < kModelEntries; ++entry) {
    const unsigned char *row = modelTable + entry * kModelEntryBytes;
    bool same = true;
    for (int i = 0; i < kModelCodeBytes && same; ++i) {
      same = row[kModelCodeOffset + i] == currentDeviceId[kProductIdPosition + i];
    }
    if (same) return row;
  }
  return nullptr;
}

}  // namespace

int IsFirmwareOnlyDevice() {
  // Whole boot-loader ids first, then boot-loader vendors whatever the product id.
  for (int i = 42; i <= 44; ++i) {
    if (std::wcscmp(currentDeviceId, InternalString(i)) == 0) return 1;
  }
  for (int i = 45; i <= 47; ++i) {
    if (std::memcmp(currentDeviceId, InternalString(i), kVendorIdUnits * sizeof(wchar_t)) == 0) {
      return 1;
    }
  }
  return 0;
}

int LookUpProtocolFamily() {
  protocolFamily = 2;
  if (const unsigned char *row = FindModelEntry()) protocolFamily = row[kModelFamilyOffset];
  return 0;
}

int ComposeDisplayName() {
  if (const unsigned char *row = FindModelEntry()) {
    wchar_t name[kModelNameBytes + 1] = {};
    for (int i = 0; i < kModelNameBytes && row[kModelNameOffset + i] != 0; ++i) {
      name[i] = row[kModelNameOffset + i];
    }
    FormatBounded(currentDisplayName, kDisplayNameUnits, InternalString(kInTableNameFormat), name,
                  currentDeviceId);
  } else {
    FormatBounded(currentDisplayName, kDisplayNameUnits, InternalString(kNotInTableNameFormat),
                  currentDeviceId);
  }
  if (IsFirmwareOnlyDevice()) {
    // "<first 9 units of the notice> (<device id>)", the 9 units taken as they stand.
    wchar_t *next = currentDisplayName;
    std::memcpy(next, InternalString(kFirmwareOnlyNotice), kFirmwareOnlyNameUnits * sizeof(wchar_t));
    next += kFirmwareOnlyNameUnits;
    *next++ = L' ';
    *next++ = L'(';
    std::memcpy(next, currentDeviceId, 8 * sizeof(wchar_t));
    next += 8;
    *next++ = L')';
    *next = 0;
  }
  return 0;
}
