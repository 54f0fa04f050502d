// The window program under Wine on Linux, with printers bridged in from the usblp driver.
#include "app/wine_bridge.h"

#include <cwchar>

namespace {

// What the usblp write guard names in KORVEX_USBLP_GUARD: the architecture it was built for,
// which is this program's when the guard is loaded in this process.
#ifdef _WIN64
constexpr wchar_t kGuardArchitecture[] = L"x86_64";
#else
constexpr wchar_t kGuardArchitecture[] = L"i386";
#endif

constexpr int kGuardValueUnits = 16;

bool IsUsbInterfacePath(const wchar_t *path) {
  static const wchar_t kPrefix[] = L"\\\\?\\usb#";
  for (int i = 0; kPrefix[i]; ++i) {
    wchar_t c = path[i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    // The second form opens the same device as the first.
    const bool same = c == kPrefix[i] || (i == 2 && c == L'.');
    if (!same) return false;
  }
  return true;
}

}  // namespace

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool BridgedPrinterRefused(bool underWine, const wchar_t *devicePath, const wchar_t *guard) {
  if (!underWine || !devicePath || !IsUsbInterfacePath(devicePath)) return false;
  return guard == nullptr || std::wcscmp(guard, kGuardArchitecture) != 0;
}

bool BridgedPrinterRefused(const wchar_t *devicePath) {
  if (!RunningUnderWine()) return false;
  wchar_t guard[kGuardValueUnits] = {};
  const DWORD length = GetEnvironmentVariableW(L"KORVEX_USBLP_GUARD", guard, kGuardValueUnits);
  const bool set = length > 0 && length < kGuardValueUnits;
  return BridgedPrinterRefused(true, devicePath, set ? guard : nullptr);
}
