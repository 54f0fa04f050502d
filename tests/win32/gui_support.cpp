// Helpers for tests that drive the real main window in this process.
#include "gui_support.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/startup.h"
#include "tables/tables.h"

namespace {
bool quitReceived = false;
int quitCode = 0;
}  // namespace

bool QuitReceived(int *code) {
  *code = quitCode;
  return quitReceived;
}

void StartProgramWindowOnce() {
  if (!app.mainWindow) {
    ASSERT_EQ(StartUp(GetModuleHandleW(nullptr)), 0);
  }
}

namespace {

// Set when button 900 is disabled: a worker has entered the busy state. A short operation can
// enter and leave it between two looks at app.isBusy, but not without disabling the button.
volatile LONG queryButtonDisabled = 0;

LRESULT CALLBACK WatchEnable(int code, WPARAM wParam, LPARAM lParam) {
  const auto *call = reinterpret_cast<const CWPSTRUCT *>(lParam);
  if (code == HC_ACTION && call->message == WM_ENABLE && call->hwnd == app.queryButton &&
      !call->wParam) {
    InterlockedExchange(&queryButtonDisabled, 1);
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

bool RunCommandUntilIdle(int commandId, DWORD timeoutMs, const std::function<void()> &meanwhile) {
  InterlockedExchange(&queryButtonDisabled, 0);
  HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, WatchEnable, nullptr, GetCurrentThreadId());
  SendMessageW(app.mainWindow, WM_COMMAND, commandId, 0);
  const bool done = PumpUntil(
      [&] {
        if (meanwhile) meanwhile();
        return (queryButtonDisabled || app.isBusy) && !app.isBusy &&
               IsWindowEnabled(app.queryButton);
      },
      timeoutMs);
  UnhookWindowsHookEx(hook);
  return done;
}

void Pump(DWORD milliseconds) {
  PumpUntil([] { return false; }, milliseconds);
}

bool PumpUntil(const std::function<bool()> &done, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start >= timeoutMs) return done();
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        quitReceived = true;
        quitCode = static_cast<int>(message.wParam);
      } else if (!IsDialogMessageW(app.mainWindow, &message)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return true;
}

void RunOnWorker(const std::function<void()> &work) {
  volatile LONG finished = 0;
  std::thread worker([&] {
    work();
    InterlockedExchange(&finished, 1);
  });
  PumpUntil([&] { return finished != 0; }, 20000);
  worker.join();
}

std::wstring NoticeText() {
  wchar_t text[1024] = {};
  TOOLINFOW tool = {};
  tool.cbSize = sizeof tool;
  tool.hwnd = app.mainWindow;
  tool.uId = reinterpret_cast<UINT_PTR>(app.noticeTip);
  tool.lpszText = text;
  SendMessageW(app.noticeTip, TTM_GETTEXTW, 1024, reinterpret_cast<LPARAM>(&tool));
  return text;
}

std::wstring SavedLanguageValue() {
  HKEY key;
  if (RegOpenKeyW(HKEY_CURRENT_USER, InternalString(11), &key) != ERROR_SUCCESS) return L"<none>";
  wchar_t data[16] = {};
  DWORD size = sizeof data - sizeof(wchar_t);
  const LONG result = RegQueryValueExW(key, InternalString(12), nullptr, nullptr,
                                       reinterpret_cast<BYTE *>(data), &size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS ? std::wstring(data) : L"<none>";
}

std::wstring WindowTextOf(HWND window) {
  wchar_t text[1024] = {};
  SendMessageW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
  return text;
}

namespace {

struct DialogSearch {
  DWORD processId;
  const std::wstring *caption;
  int control;
  HWND found;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM param) {
  auto *search = reinterpret_cast<DialogSearch *>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  if (pid != search->processId || lstrcmpW(className, L"#32770") != 0 || !IsWindowVisible(window)) {
    return TRUE;
  }
  if ((search->control && GetDlgItem(window, search->control)) ||
      (!search->caption->empty() && *search->caption == WindowTextOf(window))) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

HWND WaitForDialogOf(DWORD processId, const std::wstring &caption, int control, DWORD timeoutMs) {
  DialogSearch search = {processId, &caption, control, nullptr};
  for (DWORD waited = 0; !search.found && waited < timeoutMs; waited += 50) {
    EnumWindows(MatchDialog, reinterpret_cast<LPARAM>(&search));
    if (!search.found) Sleep(50);
  }
  return search.found;
}

namespace {

struct ProgramSearch {
  DWORD processId;  // 0: any process running korvex_tool.exe
  HWND window;
};

BOOL CALLBACK MatchProgramWindow(HWND window, LPARAM param) {
  auto *search = reinterpret_cast<ProgramSearch *>(param);
  wchar_t className[64] = {};
  GetClassNameW(window, className, 64);
  if (lstrcmpW(className, L"Korvex Firmware Tool") != 0 || !IsWindowVisible(window)) return TRUE;
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (search->processId != 0 && pid != search->processId) return TRUE;
  if (search->processId == 0) {
    // A test program shows a window of the same class in its own process.
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    wchar_t image[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    const bool shipped = process && QueryFullProcessImageNameW(process, 0, image, &length) &&
                         std::wstring(image).find(L"korvex_tool.exe") != std::wstring::npos;
    if (process) CloseHandle(process);
    if (!shipped) return TRUE;
  }
  search->processId = pid;
  search->window = window;
  return FALSE;
}

}  // namespace

HWND WaitForProgramWindow(DWORD processId, DWORD timeoutMs, DWORD *foundProcessId) {
  ProgramSearch search = {processId, nullptr};
  for (DWORD waited = 0; !search.window && waited < timeoutMs; waited += 50) {
    EnumWindows(MatchProgramWindow, reinterpret_cast<LPARAM>(&search));
    if (!search.window) Sleep(50);
  }
  if (foundProcessId) *foundProcessId = search.window ? search.processId : 0;
  return search.window;
}

std::string ReadFileBytes(const std::wstring &path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes(GetFileSize(file, nullptr), '\0');
  DWORD got = 0;
  if (!bytes.empty()) ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr);
  CloseHandle(file);
  bytes.resize(got);
  return bytes;
}

RECT RectInParent(HWND control) {
  RECT rect;
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT *>(&rect), 2);
  return rect;
}

namespace {

void PutChunk(std::vector<unsigned char> &png, const char *type, const std::vector<unsigned char> &data) {
  auto put32 = [&](uLong v) {
    for (int shift = 24; shift >= 0; shift -= 8) png.push_back(static_cast<unsigned char>(v >> shift));
  };
  put32(static_cast<uLong>(data.size()));
  const size_t typeAt = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  put32(crc32(0, png.data() + typeAt, static_cast<uInt>(png.size() - typeAt)));
}

}  // namespace

void SaveScreenshot(const std::wstring &name, RECT area) {
  // Wine copies nothing at all when the source reaches past the screen.
  RECT screenRect = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  IntersectRect(&area, &area, &screenRect);
  const int width = area.right - area.left, height = area.bottom - area.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down rows, as PNG stores them
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void *bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  GdiFlush();

  std::vector<unsigned char> raw;
  raw.reserve(static_cast<size_t>(height) * (width * 3 + 1));
  const auto *pixels = static_cast<const unsigned char *>(bits);
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);  // no filter
    for (int x = 0; x < width; ++x) {
      const unsigned char *bgra = pixels + (static_cast<size_t>(y) * width + x) * 4;
      raw.insert(raw.end(), {bgra[2], bgra[1], bgra[0]});
    }
  }
  SelectObject(memory, previous);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);

  uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
  std::vector<unsigned char> packed(packedSize);
  compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 6);
  packed.resize(packedSize);

  std::vector<unsigned char> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<unsigned char> header = {
      static_cast<unsigned char>(width >> 24), static_cast<unsigned char>(width >> 16),
      static_cast<unsigned char>(width >> 8), static_cast<unsigned char>(width),
      static_cast<unsigned char>(height >> 24), static_cast<unsigned char>(height >> 16),
      static_cast<unsigned char>(height >> 8), static_cast<unsigned char>(height),
      8, 2, 0, 0, 0};  // 8-bit RGB
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", packed);
  PutChunk(png, "IEND", {});

  const std::wstring directory = KORVEX_SCREENSHOT_DIR;
  CreateDirectoryW(directory.c_str(), nullptr);
  HANDLE file = CreateFileW((directory + L"/" + name + L".png").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, png.data(), static_cast<DWORD>(png.size()), &written, nullptr);
  CloseHandle(file);
}
