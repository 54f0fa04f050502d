// When the window program refuses a firmware upgrade or a maintenance command under Wine: only
// for a printer of scripts/korvex-linux's bridge (a USB printer interface path) in a process
// without the usblp write guard of its own architecture; never on Windows, never for other
// printers.
#include <gtest/gtest.h>
#include <windows.h>

#include "app/wine_bridge.h"

namespace {

#ifdef _WIN64
constexpr wchar_t kOwn[] = L"x86_64";
constexpr wchar_t kOther[] = L"i386";
#else
constexpr wchar_t kOwn[] = L"i386";
constexpr wchar_t kOther[] = L"x86_64";
#endif

constexpr wchar_t kBridged[] =
    L"\\\\?\\usb#vid_4b56&pid_0140#ser9#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

TEST(WineBridge, RefusedOnlyForBridgedPrintersWithoutTheGuard) {
  struct Case {
    const char *what;
    bool underWine;
    const wchar_t *path;
    const wchar_t *guard;
    bool refused;
  } cases[] = {
      {"bridged, no guard", true, kBridged, nullptr, true},
      {"bridged, the other architecture's guard", true, kBridged, kOther, true},
      {"bridged, a value no guard sets", true, kBridged, L"1", true},
      {"bridged, an empty value", true, kBridged, L"", true},
      {"bridged, the guard", true, kBridged, kOwn, false},
      {"the \\\\.\\ form in capitals", true,
       L"\\\\.\\USB#VID_4B56&PID_0140#SER9#{28D78FAD-5A12-11D1-AE5B-0000F803A8C2}", nullptr, true},
      {"a simulated printer's pipe", true,
       L"\\\\.\\pipe\\id_4B56&pid_015C#sim0001#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}", nullptr,
       false},
      {"another device class", true, L"\\\\?\\hid#vid_4b56&pid_0140#ser9#{guid}", nullptr, false},
      {"a path that only holds usb#", true, L"\\\\?\\root#usb#0000", nullptr, false},
      {"shorter than the form", true, L"\\\\?\\us", nullptr, false},
      {"empty", true, L"", nullptr, false},
      {"no path", true, nullptr, nullptr, false},
      {"Windows: its own printer driver", false, kBridged, nullptr, false},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(BridgedPrinterRefused(c.underWine, c.path, c.guard), c.refused) << c.what;
  }
}

}  // namespace
