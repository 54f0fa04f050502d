// korvex_tool.exe run as a user would start it: the command line, the exit codes and the
// temporary report file.
#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "box_answerer.h"
#include "gui_support.h"

namespace {

class ProgramRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ExpandUiTexts(), 0);
    ASSERT_EQ(ExpandInternalStrings(), 0);
    // The program starts in English: the saved language says so.
    app.currentLanguage = 1;
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, InternalString(11), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, InternalString(12), 0, REG_SZ, reinterpret_cast<const BYTE *>(L"1"), 4);
    RegCloseKey(key);
  }
};

std::set<std::wstring> ReportTempFiles() {
  wchar_t directory[MAX_PATH];
  GetTempPathW(MAX_PATH, directory);
  std::set<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((std::wstring(directory) + InternalString(8) + L"*.tmp").c_str(),
                                 &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.insert(std::wstring(directory) + found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

TEST_F(ProgramRun, MoreThanOneArgumentShowsTheErrorBoxAndExitsWith1) {
  for (const wchar_t *arguments : {L"one.bin two.bin", L"a b c"}) {
    ChildProgram program(arguments);
    ASSERT_TRUE(program.started);
    BoxAnswerer answerer(UiText(23), IDOK, 20000, program.process.dwProcessId);
    AnsweredBox box = answerer.Result();
    ASSERT_TRUE(box.found) << "no error box";
    EXPECT_EQ(box.text, UiText(30));
    EXPECT_NE(box.owner, nullptr) << "owned by the main window";
    EXPECT_EQ(program.ExitCode(10000), 1);
  }
}

TEST_F(ProgramRun, NormalEndDeletesTheTemporaryReportFile) {
  const std::set<std::wstring> before = ReportTempFiles();
  ChildProgram program(L"");
  ASSERT_TRUE(program.started);
  HWND window = program.MainWindow(20000);
  ASSERT_NE(window, nullptr);

  std::set<std::wstring> created;
  const DWORD start = GetTickCount();
  while (created.empty() && GetTickCount() - start < 5000) {
    for (const auto &name : ReportTempFiles()) {
      if (!before.count(name)) created.insert(name);
    }
    Sleep(50);
  }
  ASSERT_EQ(created.size(), 1u) << "one empty temporary file while the program runs";

  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(program.ExitCode(10000), 0);
  EXPECT_EQ(GetFileAttributesW(created.begin()->c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
