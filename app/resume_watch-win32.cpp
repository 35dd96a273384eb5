#include <windows.h>

#include <future>
#include <thread>
#include <utility>

#include "app/resume_watch.h"

namespace {

// The bridge's window for the system's power events; tests find it by it.
constexpr wchar_t kWindowClass[] = L"artnet-serial-bridge-resume";

std::function<void()> g_on_resume;

LRESULT CALLBACK ResumeWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != WM_POWERBROADCAST) return DefWindowProcW(window, message, wparam, lparam);
  // PBT_APMRESUMEAUTOMATIC "is delivered every time the system resumes and
  // does not indicate whether a user is present"; PBT_APMRESUMESUSPEND may
  // follow it for the same resume, so only the first is acted on
  // (https://learn.microsoft.com/windows/win32/power/pbt-apmresumeautomatic).
  if (wparam == PBT_APMRESUMEAUTOMATIC && g_on_resume) g_on_resume();
  return TRUE;
}

// The window's thread: makes the window, says whether it could, and then
// hands it its messages for the rest of the process's life.
void RunResumeWindow(std::promise<bool>* made) {
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = ResumeWindowProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = kWindowClass;
  // A top-level window that is never shown, not a message-only one: the
  // system sends WM_POWERBROADCAST to top-level windows, and a message-only
  // window "does not receive broadcast messages" (Window Features,
  // https://learn.microsoft.com/windows/win32/winmsg/window-features#message-only-windows).
  // A console program has no window of its own to receive it; WM_POWERBROADCAST
  // reaches a window through its window procedure
  // (https://learn.microsoft.com/windows/win32/power/wm-powerbroadcast).
  const HWND window =
      RegisterClassW(&window_class) != 0
          ? CreateWindowExW(0, kWindowClass, L"artnet-serial-bridge", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                            nullptr, window_class.hInstance, nullptr)
          : nullptr;
  made->set_value(window != nullptr);
  if (window == nullptr) return;
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
}

}  // namespace

bool WatchForResume(std::function<void()> on_resume) {
  g_on_resume = std::move(on_resume);
  std::promise<bool> made;
  std::future<bool> result = made.get_future();
  try {
    // Never joined: the window lives as long as the process.
    std::thread(RunResumeWindow, &made).detach();
  } catch (const std::system_error&) {
    return false;
  }
  return result.get();
}
