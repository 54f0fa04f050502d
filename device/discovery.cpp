// Printer discovery and selection.
#include "device/discovery.h"

#include <setupapi.h>

#include <cwchar>

#include "app/app_state.h"
#include "app/notice.h"
#include "app/tables.h"
#include "device/bounded_format.h"

PrinterEntry printerList[kMaxPrinters];
wchar_t currentDevicePath[kDevicePathUnits];
wchar_t currentDeviceId[kDeviceIdUnits];
int printerSelected;
DeviceControlFunction printerDeviceControl = DeviceIoControl;

namespace {

// GUID_DEVINTERFACE_USBPRINT, spelled out: MinGW's headers do not all carry it.
constexpr GUID kUsbPrinterInterface = {
    0x28D78FAD, 0x5A12, 0x11D1, {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};

// usbprint.sys control codes, CTL_CODE(FILE_DEVICE_UNKNOWN, 17 and 18, METHOD_BUFFERED,
// FILE_ANY_ACCESS). MinGW's usbprint.h stops at code 16.
constexpr DWORD IOCTL_USBPRINT_GET_PROTOCOL = 0x220044;
constexpr DWORD IOCTL_USBPRINT_SET_PROTOCOL = 0x220048;
// bInterfaceProtocol values of the USB printer class.
constexpr DWORD kBidirectionalProtocol = 2;
constexpr DWORD kIppOverUsbProtocol = 4;

constexpr int kCopyFormat = 128;
constexpr int kDeviceIdFormat = 110;
constexpr int kGuidText = 59;
constexpr int kConstants = 72;  // its characters 5 and 6 delimit a device path's GUID field
constexpr int kGuidUnits = 36;
constexpr int kFirstAdmitting = 50, kLastAdmitting = 53;
constexpr int kFirstRejecting = 54, kLastRejecting = 55;
// Where a USB printer device path ("\\?\usb#vid_XXXX&pid_YYYY#...") holds the two ids.
constexpr int kVendorDigits[4] = {12, 13, 14, 15};
constexpr int kProductDigits[4] = {21, 22, 23, 24};
// A detail record far larger than any device path is not one.
constexpr DWORD kMaxDetailBytes = 64 * 1024;

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

// Adds a reported device path to the list when the patterns admit it; returns 1 if added.
int AcceptDevicePath(const wchar_t *devicePath, int count) {
  if (std::wcslen(devicePath) >= static_cast<size_t>(kDevicePathUnits)) return 0;
  wchar_t lowered[kDevicePathUnits] = {};
  for (int i = 0; i < kDevicePathUnits && devicePath[i]; ++i) lowered[i] = LowerAscii(devicePath[i]);
  if (!ContainsAnyOf(lowered, kFirstAdmitting, kLastAdmitting) ||
      ContainsAnyOf(lowered, kFirstRejecting, kLastRejecting)) {
    return 0;
  }

  PrinterEntry &entry = printerList[count];
  FormatBounded(entry.devicePath, kDevicePathUnits, InternalString(kCopyFormat), devicePath);
  const auto digit = [&](int position) { return static_cast<int>(UpperAscii(lowered[position])); };
  FormatBounded(entry.deviceId, kDeviceIdUnits, InternalString(kDeviceIdFormat),
                digit(kVendorDigits[0]), digit(kVendorDigits[1]), digit(kVendorDigits[2]),
                digit(kVendorDigits[3]), digit(kProductDigits[0]), digit(kProductDigits[1]),
                digit(kProductDigits[2]), digit(kProductDigits[3]));
  // The model table is searched through the current id, so name the printer with it current.
  FormatBounded(currentDeviceId, kDeviceIdUnits, InternalString(kCopyFormat), entry.deviceId);
  ComposeDisplayName();
  FormatBounded(entry.displayName, kDisplayNameUnits, InternalString(kCopyFormat),
                currentDisplayName);
  return 1;
}

// Walks the present USB printer interfaces into printerList; returns how many were accepted,
// or -1 when the system gives no device list.
int ListPrinters() {
  HDEVINFO devices = SetupDiGetClassDevsW(&kUsbPrinterInterface, nullptr, nullptr,
                                          DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (devices == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  SP_DEVICE_INTERFACE_DATA interfaceData = {};
  interfaceData.cbSize = sizeof interfaceData;
  // Any failure of the walk, not only ERROR_NO_MORE_ITEMS, ends it: nothing later would work.
  for (DWORD index = 0; count < kMaxPrinters &&
                        SetupDiEnumDeviceInterfaces(devices, nullptr, &kUsbPrinterInterface,
                                                    index, &interfaceData);
       ++index) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(devices, &interfaceData, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || required > kMaxDetailBytes) {
      continue;
    }
    auto *detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, required + sizeof(wchar_t)));
    if (!detail) continue;
    // The size of the fixed part, not of the allocation: the API checks it against its own.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (SetupDiGetDeviceInterfaceDetailW(devices, &interfaceData, detail, required, nullptr,
                                         nullptr)) {
      count += AcceptDevicePath(detail->DevicePath, count);
    }
    HeapFree(GetProcessHeap(), 0, detail);
  }
  SetupDiDestroyDeviceInfoList(devices);
  return count;
}

POINT PopupAnchorPoint(int popupAnchor) {
  POINT origin = {0, 0};
  MapWindowPoints(app.mainWindow, GetParent(app.mainWindow), &origin, 1);
  RECT client = {};
  GetClientRect(app.mainWindow, &client);
  const LONG width = client.right, height = client.bottom;
  switch (popupAnchor) {
    case 1:
      return {origin.x + ScaleForDpi(101), origin.y + height - ScaleForDpi(3)};
    case 2:
      return {origin.x + width - ScaleForDpi(203), origin.y + height - ScaleForDpi(3)};
    case 3:
      return {origin.x + ScaleForDpi(105), origin.y + ScaleForDpi(10)};
    default:
      return {GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 3};
  }
}

// Offers the listed printers in a popup menu; returns the chosen index or -1.
int ChoosePrinter(int count, int popupAnchor) {
  HMENU menu = CreatePopupMenu();
  if (!menu) return -1;
  AppendMenuW(menu, MF_STRING | MF_DISABLED | MF_GRAYED, 0, UiText(27));
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  for (int i = 0; i < count; ++i) {
    AppendMenuW(menu, MF_STRING, kFirstPrinterCommand + i, printerList[i].displayName);
  }
  const POINT at = PopupAnchorPoint(popupAnchor);
  const int command = static_cast<int>(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY, at.x,
                                                      at.y, 0, app.mainWindow, nullptr));
  DestroyMenu(menu);
  const int index = command - kFirstPrinterCommand;
  return index >= 0 && index < count ? index : -1;
}

}  // namespace

int DiscoverPrinters(int popupAnchor) {
  printerSelected = 0;
  ZeroMemory(currentDevicePath, sizeof currentDevicePath);
  ZeroMemory(currentDeviceId, sizeof currentDeviceId);
  ZeroMemory(printerList, sizeof printerList);

  const int count = ListPrinters();
  if (count < 0) return 1;
  if (count == 0) {
    if (app.unattendedMode) {
      MessageBoxW(app.mainWindow, UiText(29), UiText(22), MB_ICONERROR);
    } else {
      ShowNotice(-1, -1, UiText(29), UiText(22), kNoticeError);
    }
  } else if (count == 1) {
    SelectPrinter(0);
  } else {
    const int index = ChoosePrinter(count, popupAnchor);
    if (index >= 0) SelectPrinter(index);
  }
  return 0;
}

int SelectPrinter(int index) {
  if (index < 0 || index >= kMaxPrinters) return 1;
  printerSelected = 1;
  FormatBounded(currentDevicePath, kDevicePathUnits, InternalString(kCopyFormat),
                printerList[index].devicePath);
  FormatBounded(currentDeviceId, kDeviceIdUnits, InternalString(kCopyFormat),
                printerList[index].deviceId);

  // The protocol is asked of the interface path with the USB printer class GUID in its GUID
  // field; a path without a well-formed field gets no check.
  const wchar_t opening = InternalString(kConstants)[5];
  const wchar_t closing = InternalString(kConstants)[6];
  const int length = static_cast<int>(wcsnlen(currentDevicePath, kDevicePathUnits));
  int field = -1;
  for (int i = 0; i < length; ++i) {
    if (currentDevicePath[i] == opening) {
      field = i + 1;
      break;
    }
  }
  // The closing delimiter must stand inside the path, not in what an earlier, longer path
  // left behind the terminator.
  if (field < 0 || field + kGuidUnits >= length ||
      currentDevicePath[field + kGuidUnits] != closing) {
    return 0;
  }
  wchar_t checkPath[kDevicePathUnits];
  CopyMemory(checkPath, currentDevicePath, sizeof checkPath);
  CopyMemory(checkPath + field, InternalString(kGuidText), kGuidUnits * sizeof(wchar_t));

  HANDLE device = CreateFileW(checkPath, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (device == INVALID_HANDLE_VALUE) return 1;
  // Since Windows 10 1903 an IPP-capable interface may start in IPP-over-USB mode, which takes
  // no raw traffic. The answers are not checked further: a device that does not know these
  // codes is in the raw mode already.
  DWORD protocol = 0, returned = 0;
  printerDeviceControl(device, IOCTL_USBPRINT_GET_PROTOCOL, nullptr, 0, &protocol,
                       sizeof protocol, &returned, nullptr);
  if (protocol == kIppOverUsbProtocol) {
    DWORD bidirectional = kBidirectionalProtocol;
    printerDeviceControl(device, IOCTL_USBPRINT_SET_PROTOCOL, &bidirectional,
                         sizeof bidirectional, nullptr, 0, &returned, nullptr);
    Sleep(100);
  }
  CloseHandle(device);
  return 0;
}
