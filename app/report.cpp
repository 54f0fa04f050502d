// The report actions: the pane text as UTF-8, opened in a viewer, copied or saved.
#include "app/report.h"

#include <windows.h>
#include <commdlg.h>
#include <shellapi.h>

#include <cwchar>
#include <vector>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/notice.h"
#include "info/report_lines.h"

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(OPENFILENAMEW) == 88, "the 32-bit program's save dialog takes 88 bytes");
#endif

namespace {

constexpr int kPaneTextUnits = 1024;
constexpr int kClipboardBytes = 1024;  // the first 512 units of the pane text
constexpr int kFileNameUnits = 260;

// One grid is enough: the actions run on the main thread, one at a time.
ReportLineGrid grid;

bool WriteWholeFile(const wchar_t *path, const std::vector<char> &bytes, size_t n) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  DWORD written = 0;
  if (file != INVALID_HANDLE_VALUE) {
    WriteFile(file, bytes.data(), static_cast<DWORD>(n), &written, nullptr);
    CloseHandle(file);
  }
  return written == n;
}

int OpenAction(const std::vector<char> &utf8, size_t n) {
  if (!WriteWholeFile(app.reportTempPath, utf8, n)) return 1;
  ShellExecuteW(nullptr, InternalString(4), InternalString(5), app.reportTempPath, nullptr,
                SW_SHOWNORMAL);
  return 0;
}

int CopyAction() {
  // The block holds 512 units; a longer text is cut, and the last unit stays its terminator.
  wchar_t text[kPaneTextUnits] = {};
  GetWindowTextW(app.infoPane, text, kClipboardBytes / sizeof(wchar_t));
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, kClipboardBytes);
  if (block) {
    void *data = GlobalLock(block);
    if (data) {
      CopyMemory(data, text, kClipboardBytes);
      GlobalUnlock(block);
    }
  }
  OpenClipboard(nullptr);
  EmptyClipboard();
  if (!SetClipboardData(CF_UNICODETEXT, block) && block) GlobalFree(block);
  CloseClipboard();
  return 0;
}

int SaveAction(const std::vector<char> &utf8, size_t n) {
  wchar_t firstWordOfLine1[kFirstWordUnits];
  wchar_t firstWordOfLine3[kFirstWordUnits];
  FirstWordOfLine(grid, 0, firstWordOfLine1);
  FirstWordOfLine(grid, 2, firstWordOfLine3);
  // Formatted with room to spare, then cut to what the dialog's file buffer holds.
  wchar_t formatted[1024];
  wsprintfW(formatted, InternalString(126), InternalString(6), firstWordOfLine1, firstWordOfLine3,
            InternalString(7));
  wchar_t fileName[kFileNameUnits];
  lstrcpynW(fileName, formatted, kFileNameUnits);
  // The words come from the printer: characters a file name cannot hold would make the dialog
  // refuse the proposed name, and the save would end without a word.
  for (wchar_t *c = fileName; *c; ++c) {
    if (*c < 0x20 || std::wcschr(L"\\/:*?\"<>|", *c)) *c = L'_';
  }

  OPENFILENAMEW dialog = {};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = app.mainWindow;
  dialog.lpstrFilter = InternalString(9);
  dialog.lpstrFile = fileName;
  dialog.nMaxFile = kFileNameUnits;
  dialog.Flags = OFN_OVERWRITEPROMPT;
  dialog.lpstrDefExt = InternalString(8);
  if (!GetSaveFileNameW(&dialog)) {
    // Cancelled is the user's choice; a dialog that failed is said.
    if (CommDlgExtendedError() != 0) ShowNotice(-1, -1, UiText(18), UiText(22), kNoticeError);
    return 1;
  }
  if (!WriteWholeFile(fileName, utf8, n)) {
    MessageBoxW(app.mainWindow, UiText(18), UiText(22), MB_ICONERROR);
    return 2;
  }
  return 0;
}

}  // namespace

int RunReportAction(int kind) {
  wchar_t text[kPaneTextUnits] = {};
  GetWindowTextW(app.infoPane, text, kPaneTextUnits);
  const int units = lstrlenW(text);
  const int n = units ? WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr)
                      : 0;
  std::vector<char> utf8(n + 1, 0);
  if (n) WideCharToMultiByte(CP_UTF8, 0, text, units, utf8.data(), n, nullptr, nullptr);

  SplitReportLines(reinterpret_cast<const unsigned char *>(utf8.data()), n, &grid);
  if (grid.lineBreaks != 6) return 1;
  if (grid.entries[6][8] != InternalString(72)[0]) return 2;

  switch (kind) {
    case kReportOpen:
      return OpenAction(utf8, n);
    case kReportCopy:
      return CopyAction();
    case kReportSave:
      return SaveAction(utf8, n);
  }
  return 1;
}

int OpenReport() { return RunReportAction(kReportOpen) ? 1 : 0; }

int CopyReport() {
  if (RunReportAction(kReportCopy)) return 1;
  POINT origin = {0, 0};
  MapWindowPoints(app.mainWindow, GetParent(app.mainWindow), &origin, 1);
  RECT client;
  GetClientRect(app.mainWindow, &client);
  ShowNotice(origin.x + client.right - ScaleForDpi(2), origin.y + ScaleForDpi(34), UiText(16),
             UiText(20), kNoticeInformation);
  return 0;
}

int SaveReport() { return RunReportAction(kReportSave) ? 1 : 0; }
