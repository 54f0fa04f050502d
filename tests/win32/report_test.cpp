// The report actions on the real window: which pane texts they accept, the clipboard text with
// its notice, and the saved file through the save dialog.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/busy_state.h"
#include "app/main_window.h"
#include "app/report.h"
#include "app/startup.h"
#include "box_answerer.h"
#include "gui_support.h"

namespace {

const std::wstring kCompleteText =
    L"KL-1220dnw (4B56002B)\r\nV1.02.a (firmware)\r\nKX12AB34CD (product code)\r\n"
    L"00:1b:4b:56:a0:ff (MAC address)\r\n128 MB (memory)\r\n"
    L"Korvex OS 4.2 \u2014 \u5370\u5237 (version)\r\n"
    L"0102030A-0123456789ABCDEF0123456789ABCDEF (device code)";

std::string Utf8(const std::wstring &text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n,
                      nullptr, nullptr);
  return out;
}


std::wstring TempPath(const wchar_t *name) {
  wchar_t directory[MAX_PATH];
  GetTempPathW(MAX_PATH, directory);
  return std::wstring(directory) + name;
}

std::wstring ClipboardText() {
  std::wstring text = L"<none>";
  if (!OpenClipboard(nullptr)) return text;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    text = static_cast<const wchar_t *>(GlobalLock(data));
    GlobalUnlock(data);
  }
  CloseClipboard();
  return text;
}

void SetClipboardText(const wchar_t *text) {
  OpenClipboard(nullptr);
  EmptyClipboard();
  const size_t bytes = (lstrlenW(text) + 1) * sizeof(wchar_t);
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes);
  CopyMemory(GlobalLock(block), text, bytes);
  GlobalUnlock(block);
  SetClipboardData(CF_UNICODETEXT, block);
  CloseClipboard();
}

// Drives the save dialog from a second thread: reads the proposed name, types a path, saves.
struct SaveDialogDriver {
  std::wstring proposedName;
  bool found = false;
  std::thread thread;

  explicit SaveDialogDriver(std::wstring path) {
    thread = std::thread([this, path] {
      for (int i = 0; i < 200 && !found; ++i) {
        HWND dialog = nullptr;
        EnumThreadWindows(GetWindowThreadProcessId(app.mainWindow, nullptr), FindDialog,
                          reinterpret_cast<LPARAM>(&dialog));
        if (dialog) {
          found = true;
          wchar_t name[MAX_PATH] = {};
          GetDlgItemTextW(dialog, 0x47C, name, MAX_PATH);
          proposedName = name;
          SetDlgItemTextW(dialog, 0x47C, path.c_str());
          PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        }
        Sleep(50);
      }
    });
  }
  ~SaveDialogDriver() {
    if (thread.joinable()) thread.join();
  }
  static BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    if (lstrcmpW(className, L"#32770") == 0 && GetDlgItem(window, 0x47C) && IsWindowVisible(window)) {
      *reinterpret_cast<HWND *>(param) = window;
      return FALSE;
    }
    return TRUE;
  }
};

BOOL CALLBACK FindYesNoBox(HWND window, LPARAM param) {
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  if (lstrcmpW(className, L"#32770") == 0 && GetDlgItem(window, IDYES)) {
    *reinterpret_cast<HWND *>(param) = window;
    return FALSE;
  }
  return TRUE;
}

class Report : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartProgramWindowOnce(); }
  void SetUp() override {
    SendMessageW(app.mainWindow, WM_COMMAND, kFirstLanguageCommand + 1, 0);
    CreateReportTempFileForTest();
  }
  static void CreateReportTempFileForTest() {
    lstrcpyW(app.reportTempPath, TempPath(L"korvex-report-test.tmp").c_str());
    DeleteFileW(app.reportTempPath);
  }
};

TEST_F(Report, IncompleteTextsAreLeftAlone) {
  const std::wstring placeholderLast =
      kCompleteText.substr(0, kCompleteText.rfind(L"\r\n") + 2) + L"? (device code)";
  // Seven lines as written, one of them empty: the grid sees only five breaks.
  const std::wstring emptyLineInside =
      L"a\r\n\r\nc\r\nd\r\ne\r\nf\r\n0102030A-0123456789ABCDEF0123456789ABCDEF";
  struct Case {
    std::wstring text;
    int expected;
  } cases[] = {
      {L"", 1},
      {InternalString(40), 1},
      {InternalString(41), 1},
      {placeholderLast, 2},
      {emptyLineInside, 1},
      {kCompleteText + L"\r\nmore", 1},
  };
  for (const Case &c : cases) {
    SetWindowTextW(app.infoPane, c.text.c_str());
    SetClipboardText(L"untouched");
    for (int kind : {kReportOpen, kReportCopy, kReportSave}) {
      EXPECT_EQ(RunReportAction(kind), c.expected) << "kind " << kind;
    }
    EXPECT_EQ(ClipboardText(), L"untouched");
    EXPECT_EQ(ReadFileBytes(app.reportTempPath), "<missing>");
    EXPECT_EQ(app.noticeShown, 0);
    EXPECT_EQ(CopyReport(), 1);
    EXPECT_EQ(app.noticeShown, 0) << "no notice without a copy";
  }
}

TEST_F(Report, CopyPutsThePaneTextOnTheClipboardAndSaysSo) {
  SetWindowTextW(app.infoPane, kCompleteText.c_str());
  ASSERT_EQ(CopyReport(), 0);
  EXPECT_EQ(ClipboardText(), kCompleteText);
  EXPECT_EQ(app.noticeShown, 1);
  EXPECT_EQ(NoticeText(), UiText(16));
  // Shown by the copy button: at the client area's right edge, s(34) down.
  POINT origin = {0, 0};
  ClientToScreen(app.mainWindow, &origin);
  RECT client, tip;
  GetClientRect(app.mainWindow, &client);
  GetWindowRect(app.noticeTip, &tip);
  EXPECT_NEAR(tip.left, origin.x + client.right - ScaleForDpi(2), 2);
  EXPECT_NEAR(tip.top, origin.y + ScaleForDpi(34), 2);
  PumpUntil([] { return app.noticeShown == 0; }, 3000);
}

TEST_F(Report, SaveWritesTheUtf8TextUnderTheProposedName) {
  SetWindowTextW(app.infoPane, kCompleteText.c_str());
  const std::wstring path = TempPath(L"korvex-saved-report.txt");
  DeleteFileW(path.c_str());
  {
    SaveDialogDriver driver(path);
    EXPECT_EQ(SaveReport(), 0);
    driver.thread.join();
    ASSERT_TRUE(driver.found);
    EXPECT_EQ(driver.proposedName, L"Korvex_KL-1220dnw_KX12AB34CD_report");
  }
  const std::string saved = ReadFileBytes(path);
  EXPECT_EQ(saved, Utf8(kCompleteText)) << "UTF-8, CR LF, no byte-order mark, no terminator";
  EXPECT_NE(saved.substr(0, 3), "\xEF\xBB\xBF");

  // Saving over it asks first; Yes replaces the file.
  SetWindowTextW(app.infoPane, (kCompleteText + L" ").c_str());
  {
    SaveDialogDriver driver(path);
    bool asked = false;
    std::thread confirm([&asked] {
      for (int i = 0; i < 100 && !asked; ++i) {
        HWND dialog = nullptr;
        EnumThreadWindows(GetWindowThreadProcessId(app.mainWindow, nullptr), FindYesNoBox,
                          reinterpret_cast<LPARAM>(&dialog));
        if (dialog) {
          asked = true;
          PostMessageW(dialog, WM_COMMAND, IDYES, 0);
        }
        Sleep(50);
      }
    });
    EXPECT_EQ(SaveReport(), 0);
    confirm.join();
    EXPECT_TRUE(asked) << "the overwrite question";
  }
  EXPECT_EQ(ReadFileBytes(path), Utf8(kCompleteText + L" "));
  DeleteFileW(path.c_str());
}

TEST_F(Report, FirstWordsKeepEachUtf8ByteInTheProposedName) {
  std::wstring text = kCompleteText;
  text.replace(0, 10, L"\u00C9tude");  // first word of line 1 with a non-ASCII letter
  SetWindowTextW(app.infoPane, text.c_str());
  SaveDialogDriver driver(TempPath(L"korvex-unused.txt"));
  // Cancelled by typing nothing sensible is not needed: the proposed name is what matters.
  SaveReport();
  driver.thread.join();
  EXPECT_EQ(driver.proposedName, std::wstring(L"Korvex_\u00C3\u0089tude_KX12AB34CD_report"));
  DeleteFileW(TempPath(L"korvex-unused.txt").c_str());
}

TEST_F(Report, CharactersNoFileNameHoldsBecomeUnderscoresInTheProposedName) {
  std::wstring text = kCompleteText;
  text.replace(0, 10, L"KL:12/2\\0*");                        // first word of line 1
  text.replace(text.find(L"KX12AB34CD"), 10, L"K?X\"<1>|\t2");  // first word of line 3
  SetWindowTextW(app.infoPane, text.c_str());
  const std::wstring path = TempPath(L"korvex-safe-name.txt");
  SaveDialogDriver driver(path);
  EXPECT_EQ(SaveReport(), 0);
  driver.thread.join();
  ASSERT_TRUE(driver.found) << "the dialog took the proposed name";
  EXPECT_EQ(driver.proposedName, L"Korvex_KL_12_2_0__K_X__1___2_report");
  EXPECT_EQ(ReadFileBytes(path), Utf8(text));
  DeleteFileW(path.c_str());
}

TEST_F(Report, OpenWritesTheTemporaryFileForTheViewer) {
  SetWindowTextW(app.infoPane, kCompleteText.c_str());
  ASSERT_EQ(OpenReport(), 0);
  EXPECT_EQ(ReadFileBytes(app.reportTempPath), Utf8(kCompleteText));
  // The shell started the viewer on the file; close it again.
  HWND viewer = nullptr;
  for (int i = 0; i < 100 && !viewer; ++i) {
    viewer = FindWindowW(L"Notepad", nullptr);
    if (!viewer) Sleep(100);
  }
  ASSERT_NE(viewer, nullptr) << "no viewer opened";
  PostMessageW(viewer, WM_CLOSE, 0, 0);
  DeleteFileW(app.reportTempPath);
}

}  // namespace
