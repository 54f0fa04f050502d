// korvex_tool.exe as shipped, against korvex-printer-sim.exe with two printers attached: the
// information query on the printer chosen from the menu, and the report saved to a file.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "app/built_in_tables.h"
#include "gui_support.h"
#include "printer_test_support.h"

namespace {

HWND PaneOf(HWND window) { return FindWindowExW(window, nullptr, L"Edit", nullptr); }


TEST(ShippedProgram, QueryOnTheChosenOfTwoPrintersAndSaveTheReport) {
  RemoveSimulatedInterfaces();
  ASSERT_EQ(ExpandInternalStrings(), 0);
  // The program starts in English: that is the saved language.
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, InternalString(11), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, InternalString(12), 0, REG_SZ, reinterpret_cast<const BYTE *>(L"1"), 4);
  RegCloseKey(key);

  SimulatorProcess simulator(L"--quiet --printer family=1,pid=0022,serial=" + UniqueSerial(1) +
                             L" --printer family=2,pid=015C,serial=" + UniqueSerial(2));
  ASSERT_EQ(simulator.paths().size(), 2u) << simulator.Output();

  ChildProgram program(L"");
  ASSERT_TRUE(program.started);
  HWND window = program.MainWindow(20000);
  ASSERT_NE(window, nullptr);
  HWND pane = PaneOf(window);
  ASSERT_NE(pane, nullptr);

  // Button 900; the printer menu lists both printers under its title; the second is picked.
  {
    MenuDriver menu(3, 10000, L"shipped_printer_menu", program.process.dwProcessId);
    PostMessageW(window, WM_COMMAND, 900, 0);
    const SeenMenu seen = menu.Result();
    ASSERT_TRUE(seen.shown) << "no printer menu";
    // (Its items, the title and the two printers, are in the screenshot; the query below shows
    // which one was chosen.)
  }
  std::wstring text;
  for (int waited = 0; waited < 30000; waited += 100) {
    text = WindowTextOf(pane);
    if (text.find(L"(device code)") != std::wstring::npos) break;
    Sleep(100);
  }
  ASSERT_EQ(text.substr(0, text.find(L"\r\n")), L"Orbis 300 (4B56015C)") << text;
  EXPECT_NE(text.find(L"0000012D-"), std::wstring::npos) << "family 2 model code and device code";

  // Button 904: the save dialog proposes a name; the file gets the pane text as UTF-8.
  wchar_t directory[MAX_PATH];
  GetTempPathW(MAX_PATH, directory);
  const std::wstring path = std::wstring(directory) + L"korvex-shipped-report.txt";
  DeleteFileW(path.c_str());
  PostMessageW(window, WM_COMMAND, 904, 0);
  HWND dialog = WaitForDialogOf(program.process.dwProcessId, L"", 0x47C, 10000);
  ASSERT_NE(dialog, nullptr) << "no save dialog";
  wchar_t proposed[MAX_PATH] = {};
  GetDlgItemTextW(dialog, 0x47C, proposed, MAX_PATH);
  EXPECT_STREQ(proposed, L"Korvex_Orbis_KV30100A01_report");
  SetDlgItemTextW(dialog, 0x47C, path.c_str());
  PostMessageW(dialog, WM_COMMAND, IDOK, 0);
  std::string saved;
  for (int waited = 0; waited < 10000 && (saved = ReadFileBytes(path)) == "<missing>"; waited += 100) {
    Sleep(100);
  }
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string expected(n - 1, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &expected[0], n, nullptr, nullptr);
  EXPECT_EQ(saved, expected);

  RECT area;
  GetWindowRect(window, &area);
  InflateRect(&area, 4, 4);
  SaveScreenshot(L"shipped_query_final", area);

  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(program.ExitCode(10000), 0);
  EXPECT_EQ(simulator.Stop(), 0);
  DeleteFileW(path.c_str());
}

}  // namespace
