// The Windows backend: the USB printer class interfaces listed through SetupAPI, and a printer's
// device path opened as a file, with overlapped I/O where a transaction waits with time-outs.
#include <windows.h>
#include <setupapi.h>

#include <cwchar>

#include "device/discovery.h"
#include "device/transport.h"
#include "os/text.h"
#include "os/win32/device_control.h"
#include "tables/tables.h"

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

constexpr int kGuidText = 59;
constexpr int kConstants = 72;  // its characters 5 and 6 delimit a device path's GUID field
constexpr int kGuidUnits = 36;
// A detail record far larger than any device path is not one.
constexpr DWORD kMaxDetailBytes = 64 * 1024;

TransportFailure FailureOf(DWORD error) {
  switch (error) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
    case ERROR_PIPE_BUSY: return TransportFailure::Busy;
    case ERROR_ACCESS_DENIED: return TransportFailure::NoAccess;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_PIPE_NOT_CONNECTED:
    case ERROR_BROKEN_PIPE:
    case ERROR_GEN_FAILURE: return TransportFailure::Gone;
    case ERROR_OPERATION_ABORTED: return TransportFailure::Cancelled;
    default: return TransportFailure::Other;
  }
}

class Win32PrinterTransport : public PrinterTransport {
 public:
  explicit Win32PrinterTransport(const wchar_t *devicePath) {
    lstrcpynW(devicePath_, devicePath, kDevicePathUnits);
  }
  ~Win32PrinterTransport() override { Close(); }

  bool Open(TransportMode mode) override {
    failure_ = TransportFailure::None;
    if (cancelled_) return Fail(TransportFailure::Cancelled);
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    if (mode == TransportMode::RequestReply) {
      overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      if (!overlapped_.hEvent) return Fail(TransportFailure::Other);
      flags = FILE_FLAG_OVERLAPPED;
    }
    device_ = CreateFileW(devicePath_, GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                          nullptr);
    if (device_ == INVALID_HANDLE_VALUE) return Fail(FailureOf(GetLastError()));
    return true;
  }

  bool Write(const unsigned char *bytes, uint32_t length, uint32_t timeoutMs,
             uint32_t *written) override {
    return Transfer(true, const_cast<unsigned char *>(bytes), length, timeoutMs, written);
  }

  bool Read(unsigned char *buffer, uint32_t capacity, uint32_t timeoutMs,
            uint32_t *count) override {
    return Transfer(false, buffer, capacity, timeoutMs, count);
  }

  void Cancel() override {
    cancelled_ = 1;
    if (device_ != INVALID_HANDLE_VALUE) CancelIoEx(device_, nullptr);
  }

  void Close() override {
    if (overlapped_.hEvent) CloseHandle(overlapped_.hEvent);
    if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
    overlapped_.hEvent = nullptr;
    device_ = INVALID_HANDLE_VALUE;
  }

  TransportFailure LastFailure() const override { return failure_; }

 private:
  bool Fail(TransportFailure failure) {
    failure_ = failure;
    return false;
  }

  // One write or read: synchronous on a handle opened for writes only, otherwise overlapped and
  // waited for at most timeoutMs.
  bool Transfer(bool writing, unsigned char *bytes, uint32_t length, uint32_t timeoutMs,
                uint32_t *count) {
    *count = 0;
    failure_ = TransportFailure::None;
    if (cancelled_) return Fail(TransportFailure::Cancelled);
    DWORD done = 0;
    BOOL started;
    if (!overlapped_.hEvent) {
      started = writing ? WriteFile(device_, bytes, length, &done, nullptr)
                        : ReadFile(device_, bytes, length, &done, nullptr);
      *count = done;
      return started != FALSE || Fail(cancelled_ ? TransportFailure::Cancelled
                                                  : FailureOf(GetLastError()));
    }
    started = writing ? WriteFile(device_, bytes, length, nullptr, &overlapped_)
                      : ReadFile(device_, bytes, length, nullptr, &overlapped_);
    const bool finished = Finish(started, timeoutMs, &done);
    *count = done;
    return finished;
  }

  // Waits for an overlapped read or write just started (started: what ReadFile or WriteFile
  // returned). On a time-out the operation is cancelled and its end awaited, so that the buffer,
  // the event and the OVERLAPPED structure are no longer in use when the caller releases them.
  bool Finish(BOOL started, DWORD milliseconds, DWORD *count) {
    *count = 0;
    // A message larger than the read is not an error here: the read took what it asked for and
    // the rest waits for the next read, as on a USB printer's byte stream.
    if (!started && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) {
      return Fail(FailureOf(GetLastError()));
    }
    if (WaitForSingleObject(overlapped_.hEvent, milliseconds ? milliseconds : INFINITE) !=
        WAIT_OBJECT_0) {
      CancelIoEx(device_, &overlapped_);
      GetOverlappedResult(device_, &overlapped_, count, TRUE);
      return Fail(cancelled_ ? TransportFailure::Cancelled : TransportFailure::TimedOut);
    }
    if (!GetOverlappedResult(device_, &overlapped_, count, TRUE)) {
      const DWORD error = GetLastError();
      return error == ERROR_MORE_DATA ||
             Fail(cancelled_ ? TransportFailure::Cancelled : FailureOf(error));
    }
    return true;
  }

  wchar_t devicePath_[kDevicePathUnits] = {};
  HANDLE device_ = INVALID_HANDLE_VALUE;
  OVERLAPPED overlapped_ = {};
  volatile LONG cancelled_ = 0;
  TransportFailure failure_ = TransportFailure::None;
};

}  // namespace

std::unique_ptr<PrinterTransport> NewPrinterTransport(const wchar_t *devicePath) {
  return std::unique_ptr<PrinterTransport>(new Win32PrinterTransport(devicePath));
}

bool EnumeratePrinterInterfaces(bool (*visit)(void *context, const wchar_t *devicePath),
                                void *context) {
  HDEVINFO devices = SetupDiGetClassDevsW(&kUsbPrinterInterface, nullptr, nullptr,
                                          DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (devices == INVALID_HANDLE_VALUE) return false;
  SP_DEVICE_INTERFACE_DATA interfaceData = {};
  interfaceData.cbSize = sizeof interfaceData;
  bool more = true;
  // Any failure of the walk, not only ERROR_NO_MORE_ITEMS, ends it: nothing later would work.
  for (DWORD index = 0; more && SetupDiEnumDeviceInterfaces(devices, nullptr,
                                                            &kUsbPrinterInterface, index,
                                                            &interfaceData);
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
      more = visit(context, detail->DevicePath);
    }
    HeapFree(GetProcessHeap(), 0, detail);
  }
  SetupDiDestroyDeviceInfoList(devices);
  return true;
}

int SwitchToBidirectionalProtocol(const wchar_t *devicePath) {
  // The protocol is asked of the interface path with the USB printer class GUID in its GUID
  // field; a path without a well-formed field gets no check.
  const wchar_t opening = InternalString(kConstants)[5];
  const wchar_t closing = InternalString(kConstants)[6];
  const int length = static_cast<int>(wcsnlen(devicePath, kDevicePathUnits));
  int field = -1;
  for (int i = 0; i < length; ++i) {
    if (devicePath[i] == opening) {
      field = i + 1;
      break;
    }
  }
  // The closing delimiter must stand inside the path, not in what an earlier, longer path
  // left behind the terminator.
  if (field < 0 || field + kGuidUnits >= length || devicePath[field + kGuidUnits] != closing) {
    return 0;
  }
  wchar_t checkPath[kDevicePathUnits];
  CopyMemory(checkPath, devicePath, sizeof checkPath);
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

namespace {

PrinterPortInfo Describe(const wchar_t *devicePath) {
  PrinterPortInfo info;
  info.id = EncodeUtf8(devicePath, wcslen(devicePath));
  info.node = info.id;
  info.port = info.id;
  // The serial number is the field before the GUID field: \\?\usb#vid_4b56&pid_0140#SERIAL#{…}
  // on Windows, \\.\pipe\id_4b56&pid_0140#SERIAL#{…} for a simulated printer.
  const size_t last = info.id.rfind('#');
  const size_t before = last == std::string::npos || last == 0 ? std::string::npos
                                                               : info.id.rfind('#', last - 1);
  if (before != std::string::npos) info.serial = info.id.substr(before + 1, last - before - 1);
  return info;
}

bool AddListed(void *context, const wchar_t *devicePath) {
  static_cast<InterfaceListing *>(context)->printers.push_back(
      {devicePath, Describe(devicePath), nullptr});
  return true;
}

}  // namespace

// The system lists only usable interfaces: none is left out.
InterfaceListing ListInterfacesNow() {
  InterfaceListing listing;
  listing.listed = EnumeratePrinterInterfaces(AddListed, &listing);
  return listing;
}

std::unique_ptr<PrinterTransport> NewPrinterTransport(const ListedInterface &printer) {
  return NewPrinterTransport(printer.devicePath.c_str());
}

int SwitchToBidirectionalProtocol(const ListedInterface &printer) {
  return SwitchToBidirectionalProtocol(printer.devicePath.c_str());
}

std::string WhyNoPrinterIsListed() { return std::string(); }

// One way to a printer: the system's printer class driver.
bool ChoosePrinterWay(const std::string &way) { return way.empty(); }

void ReleaseConnectionsBeforeExit() {}
