// Scheduled failures of the platform layer, for tests of the module's
// failure paths, and a census of what the process holds.
//
// The fault table exists only in test programs: it is compiled into the
// object library kalmorix_core_faults, which builds the module's core with
// KX_FAULT_INJECTION, so that every faultable operation of platform.h made
// from those objects (and from the test compiled with the same definition)
// consults the table first. Calls made by other libraries (the stand-ins, the
// emulation itself) are neither failed nor counted. The census needs no
// table; programs without it (leak_test) compile fault_injection.cpp alone.
//
// Deliberately free of platform.h, which includes this header.
#pragma once

#include <cstdint>

namespace plat::fault {

enum class Op : uint8_t {
  kSemaphoreCreate,
  kEventCreate,
  kThreadCreate,
  kLibraryLoad,
  kLibraryFree,
  kHandleClose,
  kSemaphoreRelease,
  kCount
};

// What a handle made through a faultable create is.
enum class Kind : uint8_t { kAny, kSemaphore, kEvent, kThread };

#if defined(KX_FAULT_INJECTION)

// The `nth` next call of `op` fails (1: the very next one), leaving `error` as
// the thread's last error; 0 stands for what the OS reports for such a
// failure. A failed close or free leaves the handle or library as it was.
// Schedules add up; each counts its calls on its own.
void FailCall(Op op, uint32_t nth = 1, uint32_t error = 0);
// The `nth` next close of a handle of `kind` fails. Only handles made through
// this layer have a kind; kAny counts every close.
void FailClose(Kind kind, uint32_t nth = 1, uint32_t error = 0);
// Forgets every schedule and the failure counts (not the handles made).
void Clear();
// Schedules that have not yet made a call fail.
uint32_t Pending();
// Calls of `op` failed since the last Clear.
uint32_t Injected(Op op);
// Handles made through this layer and not yet closed, of `kind`.
uint32_t Made(Kind kind = Kind::kAny);

// The platform layer's side (see KX_FAULTABLE): true when this call of `op`
// on `object` is to fail, the last error then set; and the outcome of a call
// that was let through, which is returned unchanged.
bool Hit(Op op, const void* object);
void* Note(Op op, const void* object, void* result);
bool Note(Op op, const void* object, bool result);

#endif

// What the process holds, as the system counts it: for tests that nothing is
// left behind.
struct ProcessCensus {
  // Windows: all of the process's kernel handles; POSIX: the emulation's open
  // waitable objects.
  uint32_t handles = 0;
  int32_t descriptors = -1;  // open file descriptors (POSIX only)
  int32_t threads = -1;
  bool operator==(const ProcessCensus&) const = default;
};
// False when some count could not be taken.
bool TakeCensus(ProcessCensus* census);

// Threads that the system may start in the process on its own at any time
// and keep for a while (Windows: the loader's and the thread pool's), so a
// thread count that grows by no more than this is no finding there.
#if defined(_WIN32)
constexpr int32_t kForeignThreads = 2;
#else
constexpr int32_t kForeignThreads = 0;
#endif

}  // namespace plat::fault
