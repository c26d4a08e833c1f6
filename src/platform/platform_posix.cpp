// The platform layer on POSIX: Win32 semantics over pthreads and the dynamic
// loader. This library is loaded once per process and never unloaded, so it
// owns every handle, the window registry and the per-thread last error.
//
// Nothing here allocates from the heap after start: waitable objects come from
// a static pool, windows from a static table, and every wait keeps its
// bookkeeping on the waiting thread's stack. All object state is guarded by
// one mutex; the critical sections are a few dozen instructions long.
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <new>

#include "message_window.h"
#include "platform.h"

namespace plat {
namespace {

// Trivially destructible on purpose: a TLS destructor would run code of this
// library at the exit of every thread, including threads of unloaded modules.
thread_local uint32_t t_lastError = 0;

void Fail(uint32_t code) { t_lastError = code; }

class Guard {
 public:
  explicit Guard(pthread_mutex_t* m) : m_(m) { pthread_mutex_lock(m_); }
  ~Guard() { pthread_mutex_unlock(m_); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  pthread_mutex_t* m_;
};

// --- Time -------------------------------------------------------------------

timespec MonotonicDeadline(uint32_t ms) {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += static_cast<time_t>(ms / 1000);
  t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

pthread_once_t g_condAttrOnce = PTHREAD_ONCE_INIT;
pthread_condattr_t g_condAttr;

void InitCondAttr() {
  pthread_condattr_init(&g_condAttr);
  // Timeouts must not jump with the wall clock.
  pthread_condattr_setclock(&g_condAttr, CLOCK_MONOTONIC);
}

const pthread_condattr_t* MonotonicCondAttr() {
  pthread_once(&g_condAttrOnce, InitCondAttr);
  return &g_condAttr;
}

// Waits on `cond` until signalled or, unless infinite, until `deadline`.
int CondWait(pthread_cond_t* cond, pthread_mutex_t* m, bool infinite, const timespec* deadline) {
  return infinite ? pthread_cond_wait(cond, m) : pthread_cond_timedwait(cond, m, deadline);
}

// --- Waitable objects -------------------------------------------------------
//
// A handle encodes a pool index and the slot's generation, so a closed handle
// stays invalid after its slot has been reused, and an arbitrary value is
// rejected without being dereferenced. The two low bits are zero, as in Win32.

constexpr uint32_t kPoolSize = 4096;
constexpr unsigned kIndexShift = 2;
constexpr unsigned kGenShift = 14;  // kIndexShift + log2(kPoolSize)
constexpr uintptr_t kGenMask = UINTPTR_MAX >> kGenShift;
static_assert((1u << (kGenShift - kIndexShift)) == kPoolSize, "index bits match the pool");

enum class Kind : uint8_t { kFree, kSemaphore, kEvent, kThread };

struct Object;
struct Waiter;

// One entry of an object's FIFO of waiting threads.
struct Link {
  Link* prev;
  Link* next;
  Object* object;
  Waiter* waiter;
  uint32_t index;  // position of the object in the wait call
  bool linked;
};

// Lives on the stack of a waiting thread. A signalling thread hands the
// signal over directly (sets `result` and unlinks the waiter from every
// object), so a count is consumed exactly once and never by a thread that has
// already been satisfied by the other object.
struct Waiter {
  pthread_cond_t cond;
  int32_t result;  // -1 while waiting, else the index that satisfied it
  uint32_t count;
  Link links[2];
};

// Ordered so that no padding is left between the fields (the pool holds
// thousands of them).
struct Object {
  uintptr_t gen;
  Kind kind;
  bool open;  // the handle has not been closed
  // Threads only, like where and proc to tid below.
  bool aboveNormal;
  // References: the handle, each wait in progress, a running thread.
  uint32_t refs;
  // Semaphore: count; event: 0 or 1; thread: 1 once ended (never consumed).
  int32_t count;
  int32_t maximum;
  // Threads only: where the thread is (ThreadWhere), atomically.
  // ThreadOutlivesModule can give it up only while it is inside this layer,
  // and it must then never return into its module's code.
  uint32_t where;
  Link* head;
  Link* tail;
  // Threads only.
  ThreadProc proc;
  void* arg;
  uint32_t exitCode;
  pid_t tid;  // 0 until the thread runs
};

enum ThreadWhere : uint32_t { kInModule = 0, kInLayer = 1, kGivenUp = 2 };

pthread_mutex_t g_objLock = PTHREAD_MUTEX_INITIALIZER;
Object g_pool[kPoolSize];
uint32_t g_poolCursor = 0;  // allocation starts here, so freed slots rest a while

Handle MakeHandle(const Object* o) {
  const auto index = static_cast<uintptr_t>(o - g_pool);
  return reinterpret_cast<Handle>((o->gen << kGenShift) | (index << kIndexShift));
}

// Lock held. nullptr for anything but an open handle.
Object* Resolve(Handle h) {
  const auto v = reinterpret_cast<uintptr_t>(h);
  if ((v & ((uintptr_t{1} << kIndexShift) - 1)) != 0) return nullptr;
  Object& o = g_pool[(v >> kIndexShift) & (kPoolSize - 1)];
  const uintptr_t gen = v >> kGenShift;
  if (gen == 0 || o.kind == Kind::kFree || !o.open || o.gen != gen) return nullptr;
  return &o;
}

Object* ResolveKind(Handle h, Kind kind) {
  Object* o = Resolve(h);
  return o != nullptr && o->kind == kind ? o : nullptr;
}

// Lock held.
Object* Allocate(Kind kind) {
  for (uint32_t i = 0; i < kPoolSize; ++i) {
    const uint32_t index = (g_poolCursor + i) % kPoolSize;
    Object& o = g_pool[index];
    if (o.kind != Kind::kFree) continue;
    g_poolCursor = (index + 1) % kPoolSize;
    const uintptr_t gen = o.gen;
    o = Object{};
    o.gen = (gen & kGenMask) == kGenMask ? 1 : gen + 1;
    o.kind = kind;
    o.open = true;
    o.refs = 1;
    return &o;
  }
  return nullptr;
}

// Lock held.
void Unref(Object* o) {
  if (--o->refs == 0) o->kind = Kind::kFree;
}

// Lock held.
void Unlink(Link* l) {
  if (!l->linked) return;
  Object* o = l->object;
  (l->prev ? l->prev->next : o->head) = l->next;
  (l->next ? l->next->prev : o->tail) = l->prev;
  l->linked = false;
}

// Lock held.
void Enqueue(Object* o, Link* l) {
  l->object = o;
  l->next = nullptr;
  l->prev = o->tail;
  (o->tail ? o->tail->next : o->head) = l;
  o->tail = l;
  l->linked = true;
}

// Lock held. Takes one signal from `o` if it has one.
bool TryAcquire(Object* o) {
  if (o->count <= 0) return false;
  if (o->kind != Kind::kThread) --o->count;
  return true;
}

// Lock held. Hands the signals of `o` to its waiters, first come first served.
void Dispatch(Object* o) {
  while (o->head != nullptr && TryAcquire(o)) {
    Link* l = o->head;
    Waiter* w = l->waiter;
    w->result = static_cast<int32_t>(l->index);
    for (uint32_t i = 0; i < w->count; ++i) Unlink(&w->links[i]);
    pthread_cond_signal(&w->cond);
  }
}

uint32_t WaitObjects(const Handle* handles, uint32_t count, uint32_t timeoutMs) {
  const bool infinite = timeoutMs == kInfinite;
  const timespec deadline = MonotonicDeadline(infinite ? 0 : timeoutMs);
  Object* objects[2] = {};
  Waiter w;
  {
    Guard g(&g_objLock);
    for (uint32_t i = 0; i < count; ++i) {
      objects[i] = Resolve(handles[i]);
      if (objects[i] == nullptr) {
        Fail(kErrorInvalidHandle);
        return kWaitFailed;
      }
    }
    // Win32 refuses the same object twice in one wait.
    if (count == 2 && objects[0] == objects[1]) {
      Fail(kErrorInvalidParameter);
      return kWaitFailed;
    }
    for (uint32_t i = 0; i < count; ++i) {
      if (TryAcquire(objects[i])) return kWaitObject0 + i;
    }
    if (timeoutMs == 0) return kWaitTimeout;

    pthread_cond_init(&w.cond, MonotonicCondAttr());
    w.result = -1;
    w.count = count;
    for (uint32_t i = 0; i < count; ++i) {
      ++objects[i]->refs;  // keeps the object while another thread closes it
      w.links[i].waiter = &w;
      w.links[i].index = i;
      Enqueue(objects[i], &w.links[i]);
    }
    while (w.result < 0) {
      const int rc = CondWait(&w.cond, &g_objLock, infinite, &deadline);
      // A signal handed over just before the time-out still counts: it has
      // been taken from the object on this thread's behalf.
      if (rc == ETIMEDOUT && w.result < 0) {
        for (uint32_t i = 0; i < count; ++i) Unlink(&w.links[i]);
        break;
      }
    }
    for (uint32_t i = 0; i < count; ++i) Unref(objects[i]);
  }
  pthread_cond_destroy(&w.cond);
  return w.result < 0 ? kWaitTimeout : kWaitObject0 + static_cast<uint32_t>(w.result);
}

// --- Threads ----------------------------------------------------------------

// The trampoline's jump buffer and the code passed to ThreadSignalAndExit;
// plain pointers and integers, so no TLS destructor is involved.
thread_local jmp_buf* t_exitJump = nullptr;
thread_local uint32_t t_exitCode = 0;
// The thread's own object, for threads made by ThreadCreate.
thread_local Object* t_self = nullptr;
// CallOut calls under way on this thread: a wait made by the library called
// is the library's, and returns into it.
thread_local uint32_t t_callOutDepth = 0;

// A wait, a sleep or a CallOut of a thread made by ThreadCreate enters and
// leaves this layer through these, unless it is made inside a CallOut's
// library call (that call is the library's and returns into it).
bool Tracked() { return t_self != nullptr && t_exitJump != nullptr && t_callOutDepth == 0; }

void EnterLayer() {
  // Only this thread leaves kInModule, and nothing gives it up from there.
  if (Tracked()) __atomic_store_n(&t_self->where, uint32_t{kInLayer}, __ATOMIC_SEQ_CST);
}

// Where this layer returns into the module: a thread given up on while it was
// inside ends here, at the trampoline's landing point, instead of returning
// into code that may be gone.
void LeaveLayer() {
  if (!Tracked()) return;
  uint32_t expected = kInLayer;
  if (__atomic_compare_exchange_n(&t_self->where, &expected, uint32_t{kInModule}, false,
                                  __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    return;
  }
  t_exitCode = 0;
  longjmp(*t_exitJump, 1);
}

// Lock held; `o` is a thread that has not ended.
void ApplyPriority(Object* o) {
  if (!o->aboveNormal || o->tid == 0) return;
  // Best effort: raising priority usually needs privileges we lack, and the
  // caller's errno is none of our business.
  const int savedErrno = errno;
  errno = 0;
  const int base = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
  if (errno == 0) setpriority(PRIO_PROCESS, static_cast<id_t>(o->tid), base - 1);
  errno = savedErrno;
}

// Runs the thread procedure with a landing point for ThreadSignalAndExit.
// Kept apart from the trampoline so that no local lives across setjmp.
uint32_t RunProc(Object* o) {
  jmp_buf jump;
  if (setjmp(jump) != 0) return t_exitCode;
  t_exitJump = &jump;
  const uint32_t code = o->proc(o->arg);
  t_exitJump = nullptr;
  return code;
}

void* ThreadTrampoline(void* param) {
  Object* o = static_cast<Object*>(param);
  {
    Guard g(&g_objLock);
    o->tid = static_cast<pid_t>(syscall(SYS_gettid));
    ApplyPriority(o);
  }
  t_self = o;
  const uint32_t code = RunProc(o);
  t_exitJump = nullptr;
  t_self = nullptr;
  Guard g(&g_objLock);
  o->exitCode = code;
  o->count = 1;
  Dispatch(o);
  Unref(o);
  return nullptr;
}

// --- Libraries --------------------------------------------------------------
//
// Modules handed out are remembered, so that freeing or querying something
// that is not (or no longer) a loaded module fails instead of handing a stale
// pointer to the dynamic loader.

constexpr uint32_t kMaxLibraries = 256;

struct LoadedLibrary {
  void* handle;
  uint32_t loads;  // LibraryLoad calls not yet matched by LibraryFree
};

pthread_mutex_t g_libLock = PTHREAD_MUTEX_INITIALIZER;
LoadedLibrary g_libs[kMaxLibraries];

LoadedLibrary* FindLibrary(void* handle) {
  for (LoadedLibrary& l : g_libs) {
    if (l.loads != 0 && l.handle == handle) return &l;
  }
  return nullptr;
}

// The loader lock is never taken under g_libLock: a library's constructor may
// start threads that use this API.
Module RegisterLibrary(void* handle) {
  {
    Guard g(&g_libLock);
    if (LoadedLibrary* l = FindLibrary(handle)) {
      ++l->loads;
      return handle;
    }
    for (LoadedLibrary& l : g_libs) {
      if (l.loads == 0) {
        l.handle = handle;
        l.loads = 1;
        return handle;
      }
    }
  }
  dlclose(handle);
  Fail(kErrorNotEnoughMemory);
  return nullptr;
}

bool IsLibrary(void* handle) {
  Guard g(&g_libLock);
  return handle != nullptr && FindLibrary(handle) != nullptr;
}

enum class LoadResult { kLoaded, kNotFound, kBadFile };

LoadResult LoadPath(const char* path, void** handle) {
  struct stat st;
  if (stat(path, &st) != 0 || S_ISDIR(st.st_mode)) return LoadResult::kNotFound;
  *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  return *handle != nullptr ? LoadResult::kLoaded : LoadResult::kBadFile;
}

bool JoinPath(char* out, size_t size, const char* dir, size_t dirLen, const char* file) {
  const int n = snprintf(out, size, "%.*s/%s", static_cast<int>(dirLen), dir, file);
  return n > 0 && static_cast<size_t>(n) < size;
}

// Ends a search: the module, or why there is none.
Module Conclude(LoadResult result, void* handle) {
  switch (result) {
    case LoadResult::kLoaded:
      return RegisterLibrary(handle);
    case LoadResult::kBadFile:
      Fail(kErrorBadExeFormat);
      return nullptr;
    case LoadResult::kNotFound:
      break;
  }
  Fail(kErrorModNotFound);
  return nullptr;
}

// The folders of the loader's search path for libraries that this library
// opens: LD_LIBRARY_PATH, its RUNPATH and the system's folders, expanded as
// the loader uses them. Calls `visit` with each absolute one until it returns
// false. Relative entries (an empty LD_LIBRARY_PATH element is the working
// directory) are skipped: a library is never found through the working
// directory, where anyone may have put a file of that name.
template <typename Visit>
void ForEachLoaderDir(Visit visit) {
#if defined(__GLIBC__)  // RTLD_DI_SERINFO is an enumerator there, not a macro
  Dl_info info = {};
  if (dladdr(reinterpret_cast<const void*>(&JoinPath), &info) == 0 || info.dli_fname == nullptr) {
    return;
  }
  void* self = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  if (self == nullptr) return;
  Dl_serinfo size = {};
  Dl_serinfo* dirs = nullptr;
  if (dlinfo(self, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof(Dl_serinfo)) {
    dirs = static_cast<Dl_serinfo*>(operator new(size.dls_size, std::nothrow));
  }
  if (dirs != nullptr) {
    dirs->dls_size = size.dls_size;
    dirs->dls_cnt = size.dls_cnt;
    if (dlinfo(self, RTLD_DI_SERINFO, dirs) == 0) {
      for (unsigned i = 0; i < dirs->dls_cnt; ++i) {
        const char* dir = dirs->dls_serpath[i].dls_name;
        if (dir != nullptr && dir[0] == '/' && !visit(dir)) break;
      }
    }
    operator delete(dirs);
  }
  dlclose(self);
#else
  (void)visit;  // no way to ask this C library's loader: its search path is not used
#endif
}

// Stops at the first file found, usable or not, as the Windows loader does.
// Every candidate is an absolute path: the program's folder, then either
// $KALMORIX_COMPANION_DIR (absolute; tests and users choose a companion with
// it) or the loader's search path. Never the working directory.
Module LoadSearched(const char* file) {
  char path[PATH_MAX];
  void* handle = nullptr;
  LoadResult result = LoadResult::kNotFound;

  // 1. The directory of the program.
  char exe[PATH_MAX];
  const ssize_t exeLen = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (exeLen > 0) {
    exe[exeLen] = '\0';
    const char* slash = strrchr(exe, '/');
    if (slash != nullptr &&
        JoinPath(path, sizeof(path), exe, static_cast<size_t>(slash - exe), file)) {
      result = LoadPath(path, &handle);
    }
  }
  if (result != LoadResult::kNotFound) return Conclude(result, handle);

  // 2. The folder the environment names, in place of the search path.
  const char* chosen = secure_getenv("KALMORIX_COMPANION_DIR");
  if (chosen != nullptr && chosen[0] != '\0') {
    if (chosen[0] == '/' && JoinPath(path, sizeof(path), chosen, strlen(chosen), file)) {
      result = LoadPath(path, &handle);
    }
    return Conclude(result, handle);
  }

  // 3. The loader's search path, each folder as an absolute path.
  ForEachLoaderDir([&](const char* dir) {
    if (JoinPath(path, sizeof(path), dir, strlen(dir), file)) result = LoadPath(path, &handle);
    return result == LoadResult::kNotFound;
  });
  return Conclude(result, handle);
}

// --- Windows ----------------------------------------------------------------

constexpr uint32_t kMaxWindows = 64;
constexpr uint32_t kQueueSize = 256;
constexpr unsigned kWinIndexShift = 2;
constexpr unsigned kWinGenShift = 8;  // kWinIndexShift + log2(kMaxWindows)
constexpr uintptr_t kWinGenMask = UINTPTR_MAX >> kWinGenShift;
static_assert((1u << (kWinGenShift - kWinIndexShift)) == kMaxWindows, "index bits match table");

struct QueuedMessage {
  uint32_t msg;
  uintptr_t wParam;
  intptr_t lParam;
};

struct WindowEntry {
  uintptr_t gen;
  bool live;
  uint32_t first;
  uint32_t size;
  QueuedMessage queue[kQueueSize];
};

pthread_mutex_t g_winLock = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t g_winCondOnce = PTHREAD_ONCE_INIT;
pthread_cond_t g_winCond[kMaxWindows];  // never destroyed: waiters may outlive a window
WindowEntry g_windows[kMaxWindows];
uint32_t g_winCursor = 0;

void InitWindowConds() {
  for (pthread_cond_t& c : g_winCond) pthread_cond_init(&c, MonotonicCondAttr());
}

// Lock held.
WindowEntry* ResolveWindow(Window wnd) {
  const auto v = reinterpret_cast<uintptr_t>(wnd);
  if ((v & ((uintptr_t{1} << kWinIndexShift) - 1)) != 0) return nullptr;
  WindowEntry& e = g_windows[(v >> kWinIndexShift) & (kMaxWindows - 1)];
  const uintptr_t gen = v >> kWinGenShift;
  if (gen == 0 || !e.live || e.gen != gen) return nullptr;
  return &e;
}

void TakeMessage(WindowEntry* e, Window wnd, PostedMessage* out) {
  const QueuedMessage& m = e->queue[e->first];
  out->wnd = wnd;
  out->msg = m.msg;
  out->wParam = m.wParam;
  out->lParam = m.lParam;
  e->first = (e->first + 1) % kQueueSize;
  --e->size;
}

}  // namespace

// --- Critical section -------------------------------------------------------

static_assert(sizeof(pthread_mutex_t) <= sizeof(Lock::storage), "Lock too small for a mutex");
static_assert(alignof(pthread_mutex_t) <= alignof(Lock), "Lock under-aligned for a mutex");

static pthread_mutex_t* MutexOf(Lock* lock) {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(lock->storage));
}

void LockInit(Lock* lock) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(new (lock->storage) pthread_mutex_t, &attr);
  pthread_mutexattr_destroy(&attr);
}

void LockDelete(Lock* lock) { pthread_mutex_destroy(MutexOf(lock)); }
void LockEnter(Lock* lock) { pthread_mutex_lock(MutexOf(lock)); }
void LockLeave(Lock* lock) { pthread_mutex_unlock(MutexOf(lock)); }

// --- Waitable objects -------------------------------------------------------

Handle os::SemaphoreCreate(int32_t initial, int32_t maximum) {
  if (maximum <= 0 || initial < 0 || initial > maximum) {
    Fail(kErrorInvalidParameter);
    return nullptr;
  }
  Guard g(&g_objLock);
  Object* o = Allocate(Kind::kSemaphore);
  if (o == nullptr) {
    Fail(kErrorNotEnoughMemory);
    return nullptr;
  }
  o->count = initial;
  o->maximum = maximum;
  return MakeHandle(o);
}

bool os::SemaphoreRelease(Handle sema, int32_t count) {
  Guard g(&g_objLock);
  Object* o = ResolveKind(sema, Kind::kSemaphore);
  if (o == nullptr) {
    Fail(kErrorInvalidHandle);
    return false;
  }
  if (count <= 0) {
    Fail(kErrorInvalidParameter);
    return false;
  }
  if (int64_t{o->count} + count > o->maximum) {
    Fail(kErrorTooManyPosts);
    return false;
  }
  o->count += count;
  Dispatch(o);
  return true;
}

Handle os::EventCreate() {
  Guard g(&g_objLock);
  Object* o = Allocate(Kind::kEvent);
  if (o == nullptr) {
    Fail(kErrorNotEnoughMemory);
    return nullptr;
  }
  return MakeHandle(o);
}

bool EventSet(Handle event) {
  Guard g(&g_objLock);
  Object* o = ResolveKind(event, Kind::kEvent);
  if (o == nullptr) {
    Fail(kErrorInvalidHandle);
    return false;
  }
  o->count = 1;
  Dispatch(o);
  return true;
}

Handle os::ThreadCreate(ThreadProc proc, void* arg) {
  if (proc == nullptr) {
    Fail(kErrorInvalidParameter);
    return nullptr;
  }
  Object* o;
  Handle handle;
  {
    Guard g(&g_objLock);
    o = Allocate(Kind::kThread);
    if (o == nullptr) {
      Fail(kErrorNotEnoughMemory);
      return nullptr;
    }
    o->refs = 2;  // the handle and the running thread
    o->proc = proc;
    o->arg = arg;
    handle = MakeHandle(o);
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, ThreadTrampoline, o);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    Guard g(&g_objLock);
    o->open = false;
    Unref(o);
    Unref(o);
    Fail(kErrorNotEnoughMemory);
    return nullptr;
  }
  return handle;
}

bool ThreadSetPriorityAboveNormal(Handle thread) {
  Guard g(&g_objLock);
  Object* o = ResolveKind(thread, Kind::kThread);
  if (o == nullptr) {
    Fail(kErrorInvalidHandle);
    return false;
  }
  // While the thread has not ended its kernel id cannot have been reused:
  // ending takes this lock.
  o->aboveNormal = true;
  if (o->count == 0) ApplyPriority(o);
  return true;
}

bool ThreadExitCode(Handle thread, uint32_t* code) {
  Guard g(&g_objLock);
  Object* o = ResolveKind(thread, Kind::kThread);
  if (o == nullptr) {
    Fail(kErrorInvalidHandle);
    return false;
  }
  if (o->count == 0) return false;
  *code = o->exitCode;
  return true;
}

uint32_t WaitOne(Handle object, uint32_t timeoutMs) {
  EnterLayer();
  const uint32_t r = WaitObjects(&object, 1, timeoutMs);
  LeaveLayer();
  return r;
}

uint32_t WaitAnyOfTwo(Handle first, Handle second, uint32_t timeoutMs) {
  const Handle handles[2] = {first, second};
  EnterLayer();
  const uint32_t r = WaitObjects(handles, 2, timeoutMs);
  LeaveLayer();
  return r;
}

bool os::HandleClose(Handle object) {
  Guard g(&g_objLock);
  Object* o = Resolve(object);
  if (o == nullptr) {
    Fail(kErrorInvalidHandle);
    return false;
  }
  o->open = false;
  Unref(o);
  return true;
}

uint32_t os::OpenHandleCount() {
  Guard g(&g_objLock);
  uint32_t n = 0;
  for (const Object& o : g_pool) n += o.kind != Kind::kFree && o.open ? 1 : 0;
  return n;
}

uint32_t TickMs() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                               static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

void SleepMs(uint32_t ms) {
  EnterLayer();
  if (ms == 0) {
    sched_yield();
  } else if (ms == kInfinite) {
    for (;;) pause();
  } else {
    const timespec deadline = MonotonicDeadline(ms);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
  }
  LeaveLayer();
}

bool ThreadOutlivesModule(Handle thread) {
  Guard g(&g_objLock);
  Object* o = ResolveKind(thread, Kind::kThread);
  if (o == nullptr) {
    Fail(kErrorInvalidHandle);
    return false;
  }
  uint32_t expected = kInLayer;
  return __atomic_compare_exchange_n(&o->where, &expected, uint32_t{kGivenUp}, false,
                                     __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

// This library is never unloaded: calls return into it as they are.
bool CallOutSetUp() { return true; }
void CallOutTearDown() {}

bool LibraryPinContaining(const void* address) {
  Dl_info info = {};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return false;
  // The reference is never given back: with RTLD_NODELETE it would not
  // count anyway.
  return dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

// The call is made through a type with six word-sized arguments: under the
// System V calling conventions a callee reads the arguments it has and the
// caller removes them, so this serves every library function that takes up
// to six integers or pointers.
#if defined(__clang__)
__attribute__((no_sanitize("function")))
#endif
uintptr_t
os::CallOut(const void* fn, const uintptr_t* args) {
  using Word6 = uintptr_t (*)(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t);
  EnterLayer();
  ++t_callOutDepth;
  const uintptr_t r = reinterpret_cast<Word6>(const_cast<void*>(fn))(args[0], args[1], args[2],
                                                                     args[3], args[4], args[5]);
  --t_callOutDepth;
  LeaveLayer();
  return r;
}

[[noreturn]] void ThreadSignalAndExit(Handle event, uint32_t code) {
  jmp_buf* jump = t_exitJump;
  t_exitCode = code;
  EventSet(event);
  // From here on only code of this library runs: the trampoline finishes the
  // thread. Not pthread_exit: its unwinder may load libgcc_s, which needs the
  // loader lock that a thread unloading our caller may be holding.
  if (jump != nullptr) longjmp(*jump, 1);
  pthread_exit(reinterpret_cast<void*>(static_cast<uintptr_t>(code)));
}

// --- Libraries --------------------------------------------------------------

Module os::LibraryLoad(const char* baseName) {
  if (baseName == nullptr || baseName[0] == '\0') {
    Fail(kErrorInvalidParameter);
    return nullptr;
  }
  char file[PATH_MAX];
  const int n = snprintf(file, sizeof(file), "%s.so", baseName);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(file)) {
    Fail(kErrorModNotFound);
    return nullptr;
  }
  if (strchr(file, '/') == nullptr) return LoadSearched(file);

  // A name with a directory is taken as it is, without searching, when it is
  // absolute: a relative one would depend on the working directory.
  if (file[0] != '/') {
    Fail(kErrorModNotFound);
    return nullptr;
  }
  void* handle = nullptr;
  const LoadResult result = LoadPath(file, &handle);
  return Conclude(result, handle);
}

Proc LibrarySymbol(Module lib, const char* name) {
  if (!IsLibrary(lib)) {
    Fail(kErrorInvalidHandle);
    return nullptr;
  }
  void* sym = name != nullptr ? dlsym(lib, name) : nullptr;
  if (sym == nullptr) {
    Fail(kErrorProcNotFound);
    return nullptr;
  }
  return reinterpret_cast<Proc>(sym);
}

bool os::LibraryFree(Module lib) {
  {
    Guard g(&g_libLock);
    LoadedLibrary* l = lib != nullptr ? FindLibrary(lib) : nullptr;
    if (l == nullptr) {
      Fail(kErrorInvalidHandle);
      return false;
    }
    --l->loads;
  }
  if (dlclose(lib) != 0) {
    Fail(kErrorInvalidHandle);
    return false;
  }
  return true;
}

// --- Last error -------------------------------------------------------------

uint32_t LastErrorGet() { return t_lastError; }
void LastErrorSet(uint32_t code) { t_lastError = code; }

// --- Windows ----------------------------------------------------------------

bool WindowIsValid(Window wnd) {
  Guard g(&g_winLock);
  return ResolveWindow(wnd) != nullptr;
}

bool WindowPost(Window wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  Guard g(&g_winLock);
  WindowEntry* e = ResolveWindow(wnd);
  if (e == nullptr) {
    Fail(kErrorInvalidWindowHandle);
    return false;
  }
  if (e->size == kQueueSize) {
    Fail(kErrorTooManyPosts);
    return false;
  }
  e->queue[(e->first + e->size) % kQueueSize] = QueuedMessage{msg, wParam, lParam};
  ++e->size;
  pthread_cond_signal(&g_winCond[e - g_windows]);
  return true;
}

Window MessageWindowCreate() {
  pthread_once(&g_winCondOnce, InitWindowConds);
  Guard g(&g_winLock);
  for (uint32_t i = 0; i < kMaxWindows; ++i) {
    const uint32_t index = (g_winCursor + i) % kMaxWindows;
    WindowEntry& e = g_windows[index];
    if (e.live) continue;
    g_winCursor = (index + 1) % kMaxWindows;
    e.gen = (e.gen & kWinGenMask) == kWinGenMask ? 1 : e.gen + 1;
    e.live = true;
    e.first = 0;
    e.size = 0;
    return reinterpret_cast<Window>((e.gen << kWinGenShift) | (uintptr_t{index} << kWinIndexShift));
  }
  Fail(kErrorNotEnoughMemory);
  return nullptr;
}

void MessageWindowDestroy(Window wnd) {
  Guard g(&g_winLock);
  WindowEntry* e = ResolveWindow(wnd);
  if (e == nullptr) {
    Fail(kErrorInvalidWindowHandle);
    return;
  }
  e->live = false;
  e->size = 0;
  // Threads waiting for a message of this window give up.
  pthread_cond_broadcast(&g_winCond[e - g_windows]);
}

bool MessageWindowNext(Window wnd, PostedMessage* out, uint32_t timeoutMs) {
  const bool infinite = timeoutMs == kInfinite;
  const timespec deadline = MonotonicDeadline(infinite ? 0 : timeoutMs);
  Guard g(&g_winLock);
  WindowEntry* e = ResolveWindow(wnd);
  if (e == nullptr) {
    Fail(kErrorInvalidWindowHandle);
    return false;
  }
  pthread_cond_t* cond = &g_winCond[e - g_windows];
  for (;;) {
    if (e->size != 0) {
      TakeMessage(e, wnd, out);
      return true;
    }
    if (timeoutMs == 0) return false;
    const int rc = CondWait(cond, &g_winLock, infinite, &deadline);
    if (ResolveWindow(wnd) != e) return false;  // destroyed meanwhile
    if (rc == ETIMEDOUT) {
      if (e->size == 0) return false;
      TakeMessage(e, wnd, out);
      return true;
    }
  }
}

}  // namespace plat
