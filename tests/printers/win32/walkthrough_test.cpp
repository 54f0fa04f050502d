// The whole program as a user meets it, on korvex-printer-sim.exe with one printer of each
// family: an information query on both, a firmware upgrade, a maintenance command and a change
// of language. Each step prints what the window shows and leaves a screenshot. `make run`
// without a display runs this walkthrough; `make test` runs it as the end-to-end check.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "firmware/package_builder.h"
#include "gui_support.h"
#include "printer_test_support.h"

namespace {

// The box's message: its static text with the most characters.
std::wstring BoxText(HWND box) {
  std::wstring longest;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t className[16] = {};
    GetClassNameW(child, className, 16);
    if (lstrcmpiW(className, L"Static") == 0) {
      const std::wstring text = WindowTextOf(child);
      if (text.size() > longest.size()) longest = text;
    }
  }
  return longest;
}

void Say(const std::wstring &heading, const std::wstring &text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &utf8[0], n, nullptr, nullptr);
  std::string head(heading.begin(), heading.end());
  std::printf("\n== %s\n%s\n", head.c_str(), utf8.c_str());
  std::fflush(stdout);
}

void Shot(HWND window, const std::wstring &name, int extraRight = 0, int extraBottom = 0) {
  RECT area;
  GetWindowRect(window, &area);
  InflateRect(&area, 4, 4);
  area.right += extraRight;
  area.bottom += extraBottom;
  SaveScreenshot(L"walkthrough_" + name, area);
}

std::wstring WaitForFinalText(HWND pane) {
  std::wstring text;
  for (int waited = 0; waited < 30000; waited += 100) {
    text = WindowTextOf(pane);
    if (text.find(L"(device code)") != std::wstring::npos) break;
    Sleep(100);
  }
  return text;
}


// The program takes a command only when no operation runs: its buttons are enabled again.
bool WaitUntilIdle(HWND window) {
  for (int waited = 0; waited < 10000; waited += 50) {
    if (IsWindowEnabled(GetDlgItem(window, 900))) return true;
    Sleep(50);
  }
  return false;
}

// The firmware image of the sample package: firmware-like bytes that begin as an image must.
std::string SampleImage() {
  std::string image(300000, '\0');
  unsigned state = 12345;
  for (size_t i = 0; i < image.size(); ++i) {
    state = state * 1103515245u + 12345u;
    image[i] = static_cast<char>((i % 64 < 40) ? (state >> 24) : (i & 0xFF));
  }
  image[0] = 0x1B;
  return image;
}

TEST(Walkthrough, EveryOperationOnTwoPrinters) {
  RemoveSimulatedInterfaces();
  ASSERT_EQ(ExpandUiTexts(), 0);
  ASSERT_EQ(ExpandInternalStrings(), 0);
  app.currentLanguage = 1;  // the program runs in English, as saved below
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, InternalString(11), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, InternalString(12), 0, REG_SZ, reinterpret_cast<const BYTE *>(L"1"), 4);
  RegCloseKey(key);

  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring work = std::wstring(temp) + L"korvex-walkthrough";
  CreateDirectoryW(work.c_str(), nullptr);
  std::string image = SampleImage();
  // The sample package: given by `make run` (built by korvex-fwpack from the image it names),
  // or built here.
  std::wstring package;
  const char *givenPackage = std::getenv("KORVEX_SAMPLE_PACKAGE");
  const char *givenImage = std::getenv("KORVEX_SAMPLE_IMAGE");
  if (givenPackage && givenImage) {
    package.assign(givenPackage, givenPackage + std::string(givenPackage).size());
    image = ReadFileBytes(std::wstring(givenImage, givenImage + std::string(givenImage).size()));
    ASSERT_NE(image, "<missing>") << givenImage;
  } else {
    package = work + L"\\sample.kfw";
    const PackageBytes bytes = BuildSingleImagePackage(
        reinterpret_cast<const unsigned char *>("KV30100A01"),
        reinterpret_cast<const unsigned char *>(image.data()), image.size(), 65536, 9);
    HANDLE file = CreateFileW(package.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
  }

  SimulatorProcess simulator(L"--firmware-dir \"" + work + L"\" --printer family=1,pid=0022,serial=" +
                             UniqueSerial(1) + L" --printer family=2,pid=015C,serial=" +
                             UniqueSerial(2));
  ASSERT_EQ(simulator.paths().size(), 2u) << simulator.Output();
  ChildProgram program(L"");
  ASSERT_TRUE(program.started);
  HWND window = program.MainWindow(20000);
  ASSERT_NE(window, nullptr);
  HWND pane = FindWindowExW(window, nullptr, L"Edit", nullptr);
  const DWORD pid = program.process.dwProcessId;
  Shot(window, L"01_start");

  // 1 and 2: the information query on each printer, chosen from the printer menu.
  const int printerItem[2] = {2, 3};  // after the menu's title and its separator
  for (int printer = 0; printer < 2; ++printer) {
    {
      MenuDriver menu(printerItem[printer], 10000,
                      L"walkthrough_0" + std::to_wstring(2 + printer) + L"_printer_menu", pid);
      PostMessageW(window, WM_COMMAND, 900, 0);
      ASSERT_TRUE(menu.Result().shown);
    }
    const std::wstring text = WaitForFinalText(pane);
    Say(L"Information query, printer " + std::to_wstring(printer + 1), text);
    EXPECT_NE(text.find(L"(device code)"), std::wstring::npos);
    EXPECT_EQ(text.substr(0, text.find(L"\r\n")),
              printer == 0 ? L"KL-1020 (4B560022)" : L"Orbis 300 (4B56015C)");
    Shot(window, L"0" + std::to_wstring(4 + printer) + L"_query");
    ASSERT_TRUE(WaitUntilIdle(window));
  }

  // 3: the firmware upgrade of the second printer, the file chosen in the open dialog.
  {
    MenuDriver menu(printerItem[1], 10000, L"", pid);
    PostMessageW(window, WM_COMMAND, 901, 0);
    ASSERT_TRUE(menu.Result().shown);
  }
  HWND open = WaitForDialogOf(pid, L"", 0x47C, 10000);
  if (!open) Shot(window, L"06_no_open_dialog", 300, 200);
  ASSERT_NE(open, nullptr) << "no open dialog";
  SendDlgItemMessageW(open, 0x47C, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(package.c_str()));
  PostMessageW(open, WM_COMMAND, IDOK, 0);
  HWND result = WaitForDialogOf(pid, UiText(26), 0, 30000);
  if (!result) {
    Say(L"Firmware upgrade did not end with its box; the pane shows", WindowTextOf(pane));
    Shot(window, L"06_upgrade_stuck", 300, 200);
  }
  ASSERT_NE(result, nullptr) << "no result box";
  Say(L"Firmware upgrade: pane", WindowTextOf(pane));
  Say(L"Firmware upgrade: result box", BoxText(result));
  Shot(window, L"06_upgrade_result", 200, 150);
  PostMessageW(result, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(WaitUntilIdle(window));
  const std::string received = ReadFileBytes(work + L"\\sim" + UniqueSerial(2) + L".bin");
  EXPECT_EQ(received.size(), image.size());
  EXPECT_TRUE(received == image) << "the printer received the image byte for byte";

  // 4: a maintenance command: the second printer's panel language.
  {
    MenuDriver menu(printerItem[1], 10000, L"", pid);
    PostMessageW(window, WM_COMMAND, 702, 0);
    ASSERT_TRUE(menu.Result().shown);
  }
  bool languageSet = false;
  for (int waited = 0; !languageSet && waited < 10000; waited += 100) {
    Sleep(100);
    languageSet = simulator.Output().find("CMD_SET_LANGUAGE_1") != std::string::npos;
  }
  Sleep(300);  // the notice follows the printer's answer
  Shot(window, L"07_maintenance_notice");
  Say(L"Maintenance command", languageSet ? L"the printer received CMD_SET_LANGUAGE_1"
                                          : L"the printer received nothing");
  EXPECT_TRUE(languageSet);

  // 5: the language changed to Russian, then Chinese.
  // Sent, not posted: the window has changed its language when the call returns.
  SendMessageW(window, WM_COMMAND, 10000, 0);
  Sleep(200);  // for the repaint the screenshot shows
  Shot(window, L"08_russian");
  SendMessageW(window, WM_COMMAND, 10003, 0);
  Sleep(200);
  Shot(window, L"09_chinese");
  Say(L"Language", L"the buttons now read: " + WindowTextOf(GetDlgItem(window, 900)) + L" | " +
                       WindowTextOf(GetDlgItem(window, 901)));
  EXPECT_NE(WindowTextOf(GetDlgItem(window, 900)), L"Printer information");

  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(program.ExitCode(10000), 0);
  EXPECT_EQ(simulator.Stop(), 0);
}

}  // namespace
