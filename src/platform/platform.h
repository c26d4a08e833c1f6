// The operating system, as the module and the stand-in libraries see it.
//
// Everything here has Win32 semantics. On Windows each function is an inline
// call of the real API, so the module pays nothing for the indirection; only
// the call stub that keeps threads off an unloaded module's code, and what
// goes through it, is compiled once into each user (platform_win32.cpp). On
// POSIX the same functions come from the emulation library (libkxplat.so),
// which the module, the stand-in libraries and the tests share, so that a
// handle made by one of them can be waited on by another, and the window
// registry and the per-thread last-error value exist once per process.
//
// The operations that acquire or give back resources are "faultable": a build
// with KX_FAULT_INJECTION (tests only) lets a test make them fail as the OS
// would. On POSIX they are inline calls of the emulation's plat::os::
// functions, so that the check lands in the caller's objects, not in the
// shared library. Without the definition they compile to the plain call.
#pragma once

#include <cstdint>
#include <type_traits>

#if defined(KX_FAULT_INJECTION)
#include "fault_injection.h"
// `call`, unless the test has scheduled a failure of `op` (on `object`, for a
// close): then `failed`, with the last error set.
#define KX_FAULTABLE(op, object, failed, call)       \
  (::plat::fault::Hit(::plat::fault::Op::op, object) \
       ? (failed)                                    \
       : ::plat::fault::Note(::plat::fault::Op::op, object, (call)))
#else
#define KX_FAULTABLE(op, object, failed, call) (call)
#endif

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#define KX_STDCALL __stdcall
#define KX_PLAT_API inline
#define KX_PLAT_FAULTABLE inline
// Compiled into each program or library that uses it (platform_win32.cpp).
#define KX_PLAT_LINKED
#else
#define KX_STDCALL
#define KX_PLAT_API __attribute__((visibility("default")))
#define KX_PLAT_LINKED KX_PLAT_API
// Inlined even without optimisation, and private to each library, so that a
// test build's checks stay in the objects built for it.
#define KX_PLAT_FAULTABLE inline __attribute__((always_inline, visibility("hidden")))
#endif

namespace plat {

using Handle = void*;  // HANDLE; nullptr is "no handle"
using Window = void*;  // HWND
using Module = void*;  // HMODULE
using Proc = void (*)();

constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitTimeout = 0x102;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Windows error numbers that the emulation reports through GetLastError.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorTooManyOpenFiles = 4;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorBadFormat = 11;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorModNotFound = 126;  // no library file of that name
constexpr uint32_t kErrorProcNotFound = 127;
constexpr uint32_t kErrorBadExeFormat = 193;  // a file that is no loadable library
constexpr uint32_t kErrorTooManyPosts = 298;
constexpr uint32_t kErrorInvalidWindowHandle = 1400;

using ThreadProc = uint32_t(KX_STDCALL*)(void* arg);

#if defined(_WIN32)
struct Lock {
  CRITICAL_SECTION cs;
};
#else
// Storage for a recursive mutex; large enough for glibc and musl.
struct Lock {
  alignas(8) unsigned char storage[64];
};
#endif

// --- Critical section -----------------------------------------------------
KX_PLAT_API void LockInit(Lock* lock);
KX_PLAT_API void LockDelete(Lock* lock);
KX_PLAT_API void LockEnter(Lock* lock);
KX_PLAT_API void LockLeave(Lock* lock);

// --- Waitable objects -----------------------------------------------------
// Unnamed semaphore; nullptr on failure (last error set).
KX_PLAT_FAULTABLE Handle SemaphoreCreate(int32_t initial, int32_t maximum);
// False when the count would pass the maximum or the handle is bad.
KX_PLAT_FAULTABLE bool SemaphoreRelease(Handle sema, int32_t count);
// Unnamed auto-reset event, not signalled; nullptr on failure.
KX_PLAT_FAULTABLE Handle EventCreate();
KX_PLAT_API bool EventSet(Handle event);
// Thread with one pointer argument, running at once; its handle is signalled
// when it has ended. nullptr on failure.
KX_PLAT_FAULTABLE Handle ThreadCreate(ThreadProc proc, void* arg);
KX_PLAT_API bool ThreadSetPriorityAboveNormal(Handle thread);
// Exit code of an ended thread; false while it runs or on a bad handle.
KX_PLAT_API bool ThreadExitCode(Handle thread, uint32_t* code);
// Waits for one object: kWaitObject0, kWaitTimeout or kWaitFailed.
KX_PLAT_API uint32_t WaitOne(Handle object, uint32_t timeoutMs);
// Waits for any of two objects: kWaitObject0 + index, kWaitTimeout or
// kWaitFailed. Index 0 wins when both are signalled.
KX_PLAT_API uint32_t WaitAnyOfTwo(Handle first, Handle second, uint32_t timeoutMs);
KX_PLAT_FAULTABLE bool HandleClose(Handle object);
KX_PLAT_API void SleepMs(uint32_t ms);
// Milliseconds of a monotonic clock, wrapping at 2^32 (compare differences).
KX_PLAT_API uint32_t TickMs();

// --- Libraries ------------------------------------------------------------
// Loads a library by base name, the platform's extension appended
// ("ky_dll" -> ky_dll.dll / ky_dll.so). nullptr on failure.
KX_PLAT_FAULTABLE Module LibraryLoad(const char* baseName);
KX_PLAT_API Proc LibrarySymbol(Module lib, const char* name);
KX_PLAT_FAULTABLE bool LibraryFree(Module lib);

// --- A module unloaded while one of its threads still runs ------------------
// Keeps the library that contains `address` loaded for the rest of the
// process (and on POSIX only outside an unload in progress: the loader
// chooses what it unmaps before it runs a library's destructors).
KX_PLAT_API bool LibraryPinContaining(const void* address);
// The caller's module gives up on `thread`, one of its own that still runs,
// and is about to be unloaded: the thread must never come back into the
// module's code. It ends instead where the CallOut, wait or sleep of this
// layer that it is inside returns: on POSIX in this library, which is never
// unloaded; on Windows in the call stub, which lies outside the module. False
// when the thread is not inside one at the moment (it is running the
// module's own code: try again) or cannot be given up on at all.
KX_PLAT_LINKED bool ThreadOutlivesModule(Handle thread);
// Calls a library function with up to six integer or pointer arguments,
// from code outside the caller's module (see ThreadOutlivesModule). On
// Windows the function is __stdcall and each argument one 32-bit word.
template <class R, class... P, class... A>
R CallOut(R(KX_STDCALL* fn)(P...), A... args);
// On Windows the module makes its call stub before its first CallOut (else
// calls are direct and ThreadOutlivesModule fails), and gives it back when
// no thread it gave up on may still be inside it. True once there is one
// (also when there was one already). Nothing to do on POSIX.
KX_PLAT_LINKED bool CallOutSetUp();
KX_PLAT_LINKED void CallOutTearDown();

// --- Last error, Windows numbering ------------------------------------------
KX_PLAT_API uint32_t LastErrorGet();
KX_PLAT_API void LastErrorSet(uint32_t code);

// --- Windows (user services) -----------------------------------------------
KX_PLAT_API bool WindowIsValid(Window wnd);
KX_PLAT_API bool WindowPost(Window wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam);

#if defined(_WIN32)
inline void LockInit(Lock* lock) { InitializeCriticalSection(&lock->cs); }
inline void LockDelete(Lock* lock) { DeleteCriticalSection(&lock->cs); }
inline void LockEnter(Lock* lock) { EnterCriticalSection(&lock->cs); }
inline void LockLeave(Lock* lock) { LeaveCriticalSection(&lock->cs); }

inline Handle SemaphoreCreate(int32_t initial, int32_t maximum) {
  return KX_FAULTABLE(kSemaphoreCreate, nullptr, nullptr,
                      CreateSemaphoreA(nullptr, initial, maximum, nullptr));
}
inline bool SemaphoreRelease(Handle sema, int32_t count) {
  return KX_FAULTABLE(kSemaphoreRelease, sema, false,
                      ReleaseSemaphore(sema, count, nullptr) != FALSE);
}
inline Handle EventCreate() {
  return KX_FAULTABLE(kEventCreate, nullptr, nullptr, CreateEventA(nullptr, FALSE, FALSE, nullptr));
}
inline bool EventSet(Handle event) { return SetEvent(event) != FALSE; }
inline Handle ThreadCreate(ThreadProc proc, void* arg) {
  return KX_FAULTABLE(
      kThreadCreate, nullptr, nullptr,
      CreateThread(nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(proc), arg, 0, nullptr));
}
inline bool ThreadSetPriorityAboveNormal(Handle thread) {
  return SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL) != FALSE;
}
inline bool ThreadExitCode(Handle thread, uint32_t* code) {
  DWORD c = 0;
  if (!GetExitCodeThread(thread, &c) || c == STILL_ACTIVE) return false;
  *code = c;
  return true;
}
inline bool HandleClose(Handle object) {
  return KX_FAULTABLE(kHandleClose, object, false, CloseHandle(object) != FALSE);
}
inline uint32_t TickMs() { return GetTickCount(); }

inline Module LibraryLoad(const char* baseName) {
  // LoadLibraryA appends ".dll" to a name without an extension.
  return KX_FAULTABLE(kLibraryLoad, nullptr, nullptr, LoadLibraryA(baseName));
}
inline Proc LibrarySymbol(Module lib, const char* name) {
  return reinterpret_cast<Proc>(GetProcAddress(static_cast<HMODULE>(lib), name));
}
inline bool LibraryFree(Module lib) {
  return KX_FAULTABLE(kLibraryFree, lib, false, FreeLibrary(static_cast<HMODULE>(lib)) != FALSE);
}

inline uint32_t LastErrorGet() { return GetLastError(); }
inline void LastErrorSet(uint32_t code) { SetLastError(code); }

inline bool WindowIsValid(Window wnd) { return IsWindow(static_cast<HWND>(wnd)) != FALSE; }
inline bool WindowPost(Window wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  return PostMessageA(static_cast<HWND>(wnd), msg, wParam, lParam) != FALSE;
}
#endif

namespace os {
template <class T>
inline uintptr_t Word(T value) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<uintptr_t>(value);
  } else {
    return static_cast<uintptr_t>(value);
  }
}
}  // namespace os

#if defined(_WIN32)
inline bool LibraryPinContaining(const void* address) {
  HMODULE module = nullptr;
  return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            static_cast<LPCSTR>(address), &module) != FALSE;
}
namespace win {
// Calls the __stdcall function `fn` with words[0..count) as its arguments:
// through the module's call stub once there is one (platform_win32.cpp).
uint32_t CallWords(const void* fn, const uint32_t* words, uint32_t count);
}  // namespace win
template <class R, class... P, class... A>
inline R CallOut(R(KX_STDCALL* fn)(P...), A... args) {
  static_assert(sizeof...(P) == sizeof...(A) && sizeof...(P) <= 6, "up to six arguments");
  static_assert(((std::is_integral_v<P> || std::is_pointer_v<P> || std::is_enum_v<P>)&&...),
                "integer and pointer arguments only");
  static_assert(
      ((sizeof(P) <= 4) && ...) && sizeof(std::conditional_t<std::is_void_v<R>, int, R>) <= 4,
      "each argument and the result one 32-bit word");
  const uint32_t words[sizeof...(P) + 1] = {
      static_cast<uint32_t>(os::Word(static_cast<P>(args)))..., 0};
  return static_cast<R>(win::CallWords(reinterpret_cast<const void*>(fn), words, sizeof...(P)));
}
// Through the stub: a thread given up on may be waiting or sleeping.
inline uint32_t WaitOne(Handle object, uint32_t timeoutMs) {
  return CallOut(&WaitForSingleObject, object, timeoutMs);
}
inline uint32_t WaitAnyOfTwo(Handle first, Handle second, uint32_t timeoutMs) {
  HANDLE set[2] = {first, second};
  return CallOut(&WaitForMultipleObjects, 2, set, FALSE, timeoutMs);
}
inline void SleepMs(uint32_t ms) { CallOut(&Sleep, ms); }
#else
namespace os {
KX_PLAT_API uintptr_t CallOut(const void* fn, const uintptr_t* args);
}  // namespace os
template <class R, class... P, class... A>
inline R CallOut(R (*fn)(P...), A... args) {
  static_assert(sizeof...(P) == sizeof...(A) && sizeof...(P) <= 6, "up to six arguments");
  static_assert(((std::is_integral_v<P> || std::is_pointer_v<P> || std::is_enum_v<P>)&&...),
                "integer and pointer arguments only: each travels in one register");
  const uintptr_t words[6] = {os::Word(static_cast<P>(args))...};
  return static_cast<R>(os::CallOut(reinterpret_cast<const void*>(fn), words));
}
#endif

#if !defined(_WIN32)
// The emulation's own versions of the faultable operations.
namespace os {
KX_PLAT_API Handle SemaphoreCreate(int32_t initial, int32_t maximum);
KX_PLAT_API bool SemaphoreRelease(Handle sema, int32_t count);
KX_PLAT_API Handle EventCreate();
KX_PLAT_API Handle ThreadCreate(ThreadProc proc, void* arg);
KX_PLAT_API bool HandleClose(Handle object);
KX_PLAT_API Module LibraryLoad(const char* baseName);
KX_PLAT_API bool LibraryFree(Module lib);
// Waitable objects whose handle is open: the process's handle count, for
// tests (Windows has GetProcessHandleCount).
KX_PLAT_API uint32_t OpenHandleCount();
}  // namespace os

inline Handle SemaphoreCreate(int32_t initial, int32_t maximum) {
  return KX_FAULTABLE(kSemaphoreCreate, nullptr, nullptr, os::SemaphoreCreate(initial, maximum));
}
inline bool SemaphoreRelease(Handle sema, int32_t count) {
  return KX_FAULTABLE(kSemaphoreRelease, sema, false, os::SemaphoreRelease(sema, count));
}
inline Handle EventCreate() {
  return KX_FAULTABLE(kEventCreate, nullptr, nullptr, os::EventCreate());
}
inline Handle ThreadCreate(ThreadProc proc, void* arg) {
  return KX_FAULTABLE(kThreadCreate, nullptr, nullptr, os::ThreadCreate(proc, arg));
}
inline bool HandleClose(Handle object) {
  return KX_FAULTABLE(kHandleClose, object, false, os::HandleClose(object));
}
inline Module LibraryLoad(const char* baseName) {
  return KX_FAULTABLE(kLibraryLoad, nullptr, nullptr, os::LibraryLoad(baseName));
}
inline bool LibraryFree(Module lib) {
  return KX_FAULTABLE(kLibraryFree, lib, false, os::LibraryFree(lib));
}
#endif

// Signals `event` and ends the calling thread with `code`, without running
// another instruction of the caller's module after the signal. A thread that
// announces its end this way may have its module unloaded as soon as the
// signal is seen, even while the loader lock keeps the thread from ending.
[[noreturn]] KX_PLAT_API void ThreadSignalAndExit(Handle event, uint32_t code);

#if defined(_WIN32)
[[noreturn]] inline void ThreadSignalAndExit(Handle event, uint32_t code) {
#if defined(__i386__)
  // SetEvent is entered with ExitThread as its return address, so the thread
  // goes from the signal straight into ExitThread and never comes back here.
  void* setEvent = reinterpret_cast<void*>(&SetEvent);
  void* exitThread = reinterpret_cast<void*>(&ExitThread);
  __asm__ volatile(
      "pushl %[code]\n\t"
      "pushl $0\n\t"
      "pushl %[event]\n\t"
      "pushl %[exit]\n\t"
      "jmp *%[set]\n\t"
      :
      : [code] "r"(code), [event] "r"(event), [exit] "r"(exitThread), [set] "r"(setEvent)
      : "memory");
  __builtin_unreachable();
#else
  SetEvent(event);
  ExitThread(code);
#endif
}
#endif

}  // namespace plat
