// A window that receives posted messages, for applications, tools and tests
// (the module itself only checks and posts to windows). On Windows a
// message-only window of the calling thread; on POSIX an entry in the
// emulation's window registry, readable from any thread.
#pragma once

#include "platform.h"

namespace plat {

struct PostedMessage {
  Window wnd;
  uint32_t msg;
  uintptr_t wParam;
  intptr_t lParam;
};

KX_PLAT_API Window MessageWindowCreate();
KX_PLAT_API void MessageWindowDestroy(Window wnd);
// Takes the next message posted to `wnd`, waiting up to timeoutMs; false when
// none came. On Windows only the creating thread may call it.
KX_PLAT_API bool MessageWindowNext(Window wnd, PostedMessage* out, uint32_t timeoutMs);

#if defined(_WIN32)
namespace detail {
inline LRESULT CALLBACK MessageWindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  return DefWindowProcA(wnd, msg, wp, lp);
}
}  // namespace detail

inline Window MessageWindowCreate() {
  static const char* const kClass = "KalmorixMessageWindow";
  HINSTANCE instance = GetModuleHandleA(nullptr);
  // Registered once, before any thread creates a window of the class: a
  // thread that raced another's registration could not create its window.
  static const ATOM registered = [instance] {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = detail::MessageWindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = kClass;
    return RegisterClassA(&wc);  // 0 when already registered: harmless
  }();
  (void)registered;
  return CreateWindowExA(0, kClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
}

inline void MessageWindowDestroy(Window wnd) { DestroyWindow(static_cast<HWND>(wnd)); }

inline bool MessageWindowNext(Window wnd, PostedMessage* out, uint32_t timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    MSG m;
    if (PeekMessageA(&m, static_cast<HWND>(wnd), 0, 0, PM_REMOVE)) {
      out->wnd = m.hwnd;
      out->msg = m.message;
      out->wParam = m.wParam;
      out->lParam = m.lParam;
      return true;
    }
    const DWORD elapsed = GetTickCount() - start;
    if (timeoutMs != kInfinite && elapsed >= timeoutMs) return false;
    const DWORD left = timeoutMs == kInfinite ? INFINITE : timeoutMs - elapsed;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, left, QS_POSTMESSAGE);
  }
}
#endif

}  // namespace plat
