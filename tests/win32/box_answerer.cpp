// Message box answering for tests.
#include "box_answerer.h"

namespace {

struct Search {
  const std::wstring *caption;
  DWORD processId;
  HWND box;
};

BOOL CALLBACK MatchBox(HWND window, LPARAM param) {
  auto *search = reinterpret_cast<Search *>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  if (pid != search->processId || lstrcmpW(className, L"#32770") != 0) return TRUE;
  // Only a dialog's title is asked for: asking another window of this process could wait on a
  // thread that is itself waiting for this watcher.
  wchar_t title[256] = {};
  GetWindowTextW(window, title, 256);
  if (*search->caption == title) {
    search->box = window;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK CollectStaticText(HWND child, LPARAM param) {
  wchar_t className[16] = {};
  GetClassNameW(child, className, 16);
  if (lstrcmpiW(className, L"Static") == 0) {
    wchar_t text[1024] = {};
    GetWindowTextW(child, text, 1024);
    if (text[0]) *reinterpret_cast<std::wstring *>(param) = text;
  }
  return TRUE;
}

}  // namespace

BoxAnswerer::BoxAnswerer(std::wstring caption, int button, DWORD timeoutMs, DWORD processId)
    : caption_(std::move(caption)),
      button_(button),
      timeoutMs_(timeoutMs),
      processId_(processId ? processId : GetCurrentProcessId()) {
  thread_ = std::thread([this] { Watch(); });
}

BoxAnswerer::~BoxAnswerer() {
  if (thread_.joinable()) thread_.join();
}

void BoxAnswerer::Stop() { stopped_ = true; }

AnsweredBox BoxAnswerer::Result() {
  if (thread_.joinable()) thread_.join();
  return result_;
}

void BoxAnswerer::Watch() {
  const DWORD start = GetTickCount();
  while (!stopped_ && GetTickCount() - start < timeoutMs_) {
    Search search = {&caption_, processId_, nullptr};
    EnumWindows(MatchBox, reinterpret_cast<LPARAM>(&search));
    if (search.box) {
      result_.found = true;
      result_.owner = GetWindow(search.box, GW_OWNER);
      EnumChildWindows(search.box, CollectStaticText, reinterpret_cast<LPARAM>(&result_.text));
      PostMessageW(search.box, WM_COMMAND, button_, 0);
      return;
    }
    Sleep(20);
  }
}
