// korvex-bridge-probe.exe: what a program in the Wine prefix sees of the USB printer interfaces,
// through the same SetupAPI walk and CreateFileW the tool uses. scripts/korvex-linux starts it in
// place of the tool in the bridge tests. Prints one line each time the set changes:
//   present: <device path> opens|fails <error>; ...        or   present: none
// in the order of the paths; --once prints the set once and ends, else it runs until ended.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr GUID kUsbPrinterInterface = {
    0x28D78FAD, 0x5A12, 0x11D1, {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};

std::string Narrow(const wchar_t *text) {
  std::string out;
  for (; *text; ++text) out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
  return out;
}

std::string Opens(const wchar_t *path) {
  HANDLE device = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (device == INVALID_HANDLE_VALUE) return "fails " + std::to_string(GetLastError());
  CloseHandle(device);
  return "opens";
}

std::string PresentInterfaces() {
  HDEVINFO devices = SetupDiGetClassDevsW(&kUsbPrinterInterface, nullptr, nullptr,
                                          DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (devices == INVALID_HANDLE_VALUE) return "no device list";
  std::vector<std::string> seen;
  SP_DEVICE_INTERFACE_DATA interfaceData = {};
  interfaceData.cbSize = sizeof interfaceData;
  for (DWORD index = 0; SetupDiEnumDeviceInterfaces(devices, nullptr, &kUsbPrinterInterface,
                                                    index, &interfaceData);
       ++index) {
    union {
      SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
      unsigned char bytes[4096];
    } buffer = {};
    buffer.detail.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(devices, &interfaceData, &buffer.detail,
                                          sizeof buffer - sizeof(wchar_t), nullptr, nullptr)) {
      continue;
    }
    seen.push_back(Narrow(buffer.detail.DevicePath) + " " + Opens(buffer.detail.DevicePath));
  }
  SetupDiDestroyDeviceInfoList(devices);
  if (seen.empty()) return "none";
  std::sort(seen.begin(), seen.end());
  std::string line = seen[0];
  for (size_t i = 1; i < seen.size(); ++i) line += "; " + seen[i];
  return line;
}

}  // namespace

int main(int argc, char **argv) {
  const bool once = argc > 1 && std::string(argv[1]) == "--once";
  _setmode(_fileno(stdout), _O_BINARY);  // lines end in LF alone, as the test script reads them
  std::string last;
  for (;;) {
    const std::string now = PresentInterfaces();
    if (now != last) {
      std::printf("present: %s\n", now.c_str());
      std::fflush(stdout);
      last = now;
    }
    if (once) return 0;
    Sleep(200);
  }
}
