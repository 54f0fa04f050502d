// Printer discovery and selection.
#include "device/discovery.h"

#include <cstring>
#include <cwchar>

#include "device/bounded_format.h"
#include "device/transport.h"
#include "info/model_identification.h"
#include "tables/tables.h"

namespace {

constexpr int kCopyFormat = 128;
constexpr int kDeviceIdFormat = 110;
constexpr int kFirstAdmitting = 50, kLastAdmitting = 53;
constexpr int kFirstRejecting = 54, kLastRejecting = 55;
// Where a USB printer device path ("\\?\usb#vid_XXXX&pid_YYYY#...") holds the two ids.
constexpr int kVendorDigits[4] = {12, 13, 14, 15};
constexpr int kProductDigits[4] = {21, 22, 23, 24};

// Only ASCII letters change case: device paths are ASCII, and the C library's tolower is not
// defined for UTF-16 units above 255.
wchar_t LowerAscii(wchar_t unit) { return unit >= L'A' && unit <= L'Z' ? unit + 32 : unit; }
wchar_t UpperAscii(wchar_t unit) { return unit >= L'a' && unit <= L'z' ? unit - 32 : unit; }

bool ContainsAnyOf(const wchar_t *text, int first, int last) {
  for (int i = first; i <= last; ++i) {
    if (std::wcsstr(text, InternalString(i))) return true;
  }
  return false;
}

// The path in lower case, in a buffer of kDevicePathUnits; false for a path that does not fit.
bool Lowered(const wchar_t *devicePath, wchar_t *lowered) {
  if (std::wcslen(devicePath) >= static_cast<size_t>(kDevicePathUnits)) return false;
  std::memset(lowered, 0, kDevicePathUnits * sizeof(wchar_t));
  for (int i = 0; i < kDevicePathUnits && devicePath[i]; ++i) lowered[i] = LowerAscii(devicePath[i]);
  return true;
}

bool Admitted(const wchar_t *lowered) {
  return ContainsAnyOf(lowered, kFirstAdmitting, kLastAdmitting) &&
         !ContainsAnyOf(lowered, kFirstRejecting, kLastRejecting);
}

struct Listing {
  PrinterEntry *list;
  int capacity;
  int count;
};

// Adds a reported device path to the list when the patterns admit it; false once the list is
// full, which ends the walk.
bool AcceptDevicePath(void *context, const wchar_t *devicePath) {
  auto *listing = static_cast<Listing *>(context);
  if (MakePrinterEntry(devicePath, &listing->list[listing->count])) ++listing->count;
  return listing->count < listing->capacity;
}

void MakeCurrent(PrinterConnection &connection, const PrinterEntry &entry) {
  FormatBounded(connection.devicePath, kDevicePathUnits, InternalString(kCopyFormat),
                entry.devicePath);
  FormatBounded(connection.deviceId, kDeviceIdUnits, InternalString(kCopyFormat), entry.deviceId);
}

}  // namespace

bool AdmitsDevicePath(const wchar_t *devicePath) {
  wchar_t lowered[kDevicePathUnits];
  return Lowered(devicePath, lowered) && Admitted(lowered);
}

bool MakePrinterEntry(const wchar_t *devicePath, PrinterEntry *entry) {
  wchar_t lowered[kDevicePathUnits];
  if (!Lowered(devicePath, lowered) || !Admitted(lowered)) return false;
  std::memset(entry, 0, sizeof *entry);
  FormatBounded(entry->devicePath, kDevicePathUnits, InternalString(kCopyFormat), devicePath);
  const auto digit = [&](int position) { return static_cast<int>(UpperAscii(lowered[position])); };
  FormatBounded(entry->deviceId, kDeviceIdUnits, InternalString(kDeviceIdFormat),
                digit(kVendorDigits[0]), digit(kVendorDigits[1]), digit(kVendorDigits[2]),
                digit(kVendorDigits[3]), digit(kProductDigits[0]), digit(kProductDigits[1]),
                digit(kProductDigits[2]), digit(kProductDigits[3]));
  ComposeDisplayName(entry->deviceId, entry->displayName);
  return true;
}

int ListPrinterInterfaces(PrinterEntry *list, int capacity) {
  if (capacity > kMaxPrinters) capacity = kMaxPrinters;
  std::memset(list, 0, sizeof(PrinterEntry) * static_cast<size_t>(capacity));
  Listing listing = {list, capacity, 0};
  if (capacity <= 0) return 0;
  if (!EnumeratePrinterInterfaces(AcceptDevicePath, &listing)) return -1;
  return listing.count;
}

int SelectPrinterEntry(PrinterConnection &connection, const PrinterEntry &entry) {
  MakeCurrent(connection, entry);
  return SwitchToBidirectionalProtocol(connection.devicePath);
}

int SelectListedPrinter(PrinterConnection &connection, const PrinterEntry &entry,
                        const ListedInterface &listed) {
  MakeCurrent(connection, entry);
  return SwitchToBidirectionalProtocol(listed);
}
