// The fault table of a test program, and the census of what it holds.
#include "fault_injection.h"

#include "platform.h"

#if defined(KX_FAULT_INJECTION)
#include <cstdlib>
#include <mutex>
#endif
#if defined(_WIN32)
#include <tlhelp32.h>

#include <vector>
#else
#include <dirent.h>
#endif

namespace plat::fault {

#if defined(KX_FAULT_INJECTION)

namespace {

constexpr uint32_t kMaxSchedules = 64;
constexpr uint32_t kMaxMade = 256;
constexpr auto kOpCount = static_cast<size_t>(Op::kCount);

struct Schedule {
  bool used;
  Op op;
  Kind kind;  // closes only
  uint32_t callsLeft;
  uint32_t error;
};

struct MadeHandle {
  const void* handle;  // nullptr: slot free
  Kind kind;
};

struct Table {
  std::mutex lock;
  Schedule schedules[kMaxSchedules];
  uint32_t injected[kOpCount];
  MadeHandle made[kMaxMade];
};

Table& T() {
  static Table table;
  return table;
}

// What the OS reports when such a call fails.
uint32_t UsualError(Op op) {
  switch (op) {
    case Op::kSemaphoreCreate:
    case Op::kEventCreate:
    case Op::kThreadCreate:
      return kErrorNotEnoughMemory;
    case Op::kLibraryLoad:
      return kErrorModNotFound;
    case Op::kSemaphoreRelease:
      return kErrorTooManyPosts;
    case Op::kLibraryFree:
    case Op::kHandleClose:
    case Op::kCount:
      break;
  }
  return kErrorInvalidHandle;
}

// Lock held.
Kind KindOf(const Table& t, const void* handle) {
  if (handle == nullptr) return Kind::kAny;
  for (const MadeHandle& m : t.made) {
    if (m.handle == handle) return m.kind;
  }
  return Kind::kAny;
}

void AddSchedule(Op op, Kind kind, uint32_t nth, uint32_t error) {
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  for (Schedule& s : t.schedules) {
    if (s.used) continue;
    s = Schedule{true, op, kind, nth == 0 ? 1 : nth, error != 0 ? error : UsualError(op)};
    return;
  }
  // A test that schedules this much has a bug of its own; let it know loudly
  // rather than run without the failure it asked for.
  std::abort();
}

}  // namespace

void FailCall(Op op, uint32_t nth, uint32_t error) { AddSchedule(op, Kind::kAny, nth, error); }

void FailClose(Kind kind, uint32_t nth, uint32_t error) {
  AddSchedule(Op::kHandleClose, kind, nth, error);
}

void Clear() {
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  for (Schedule& s : t.schedules) s.used = false;
  for (uint32_t& n : t.injected) n = 0;
}

uint32_t Pending() {
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  uint32_t n = 0;
  for (const Schedule& s : t.schedules) n += s.used ? 1 : 0;
  return n;
}

uint32_t Injected(Op op) {
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  return t.injected[static_cast<size_t>(op)];
}

uint32_t Made(Kind kind) {
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  uint32_t n = 0;
  for (const MadeHandle& m : t.made) {
    n += m.handle != nullptr && (kind == Kind::kAny || m.kind == kind) ? 1 : 0;
  }
  return n;
}

bool Hit(Op op, const void* object) {
  Table& t = T();
  bool fail = false;
  uint32_t error = 0;
  {
    std::lock_guard<std::mutex> g(t.lock);
    const Kind kind = op == Op::kHandleClose ? KindOf(t, object) : Kind::kAny;
    for (Schedule& s : t.schedules) {
      if (!s.used || s.op != op) continue;
      if (s.kind != Kind::kAny && s.kind != kind) continue;
      if (--s.callsLeft != 0) continue;
      s.used = false;
      if (!fail) error = s.error;
      fail = true;
    }
    if (fail) ++t.injected[static_cast<size_t>(op)];
  }
  if (fail) LastErrorSet(error);
  return fail;
}

void* Note(Op op, const void* /*object*/, void* result) {
  Kind kind = Kind::kAny;
  if (op == Op::kSemaphoreCreate) kind = Kind::kSemaphore;
  if (op == Op::kEventCreate) kind = Kind::kEvent;
  if (op == Op::kThreadCreate) kind = Kind::kThread;
  if (result == nullptr || kind == Kind::kAny) return result;
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  for (MadeHandle& m : t.made) {
    if (m.handle != nullptr) continue;
    m = MadeHandle{result, kind};
    return result;
  }
  std::abort();  // more live handles than any test makes: a leak in the test
}

bool Note(Op op, const void* object, bool result) {
  if (op != Op::kHandleClose || !result) return result;
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  for (MadeHandle& m : t.made) {
    if (m.handle == object) m.handle = nullptr;
  }
  return result;
}

#endif  // KX_FAULT_INJECTION

#if defined(_WIN32)

namespace {

// One entry of the system's handle table (information class 16).
struct SystemHandleEntry {
  ULONG ownerPid;
  UCHAR objectType;
  UCHAR flags;
  USHORT value;
  void* object;
  ULONG access;
};

struct SystemHandleTable {
  ULONG count;
  SystemHandleEntry entries[1];
};

using QuerySystemInformationFn = LONG(WINAPI*)(ULONG infoClass, void* buffer, ULONG size,
                                               ULONG* needed);

constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

// Counts this process's entries of the system's handle table: the way to a
// count where GetProcessHandleCount only reports zero (Wine 8).
bool CountFromSystemTable(uint32_t* count) {
  const auto query = reinterpret_cast<QuerySystemInformationFn>(
      LibrarySymbol(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation"));
  if (query == nullptr) return false;
  std::vector<unsigned char> buffer(256 * 1024);
  LONG status;
  for (;;) {
    ULONG needed = 0;
    status =
        query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status != kStatusInfoLengthMismatch || buffer.size() >= (64u << 20)) break;
    buffer.resize(buffer.size() * 2);
  }
  if (status != 0) return false;
  const auto* table = reinterpret_cast<const SystemHandleTable*>(buffer.data());
  const ULONG self = GetCurrentProcessId();
  uint32_t n = 0;
  for (ULONG i = 0; i < table->count; ++i) n += table->entries[i].ownerPid == self ? 1 : 0;
  *count = n;
  return n != 0;
}

bool CountHandles(uint32_t* count) {
  DWORD n = 0;
  // A live process always holds some handles: zero means "not counted".
  if (GetProcessHandleCount(GetCurrentProcess(), &n) && n != 0) {
    *count = n;
    return true;
  }
  return CountFromSystemTable(count);
}

int32_t CountThreads() {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 t = {};
  t.dwSize = sizeof t;
  int32_t n = 0;
  for (BOOL more = Thread32First(snap, &t); more; more = Thread32Next(snap, &t)) {
    n += t.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
  }
  CloseHandle(snap);
  return n;
}

}  // namespace

bool TakeCensus(ProcessCensus* census) {
  // Handles first: the thread snapshot is a handle of its own while it lives.
  const bool counted = CountHandles(&census->handles);
  census->descriptors = -1;
  census->threads = CountThreads();
  return counted && census->threads > 0;
}

#else

namespace {

int32_t EntriesOf(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return -1;
  int32_t n = 0;
  while (const dirent* e = readdir(d)) n += e->d_name[0] != '.' ? 1 : 0;
  closedir(d);
  return n;
}

}  // namespace

bool TakeCensus(ProcessCensus* census) {
  census->handles = os::OpenHandleCount();
  // Each includes the descriptor that reads it.
  census->descriptors = EntriesOf("/proc/self/fd");
  census->threads = EntriesOf("/proc/self/task");
  return census->descriptors > 0 && census->threads > 0;
}

#endif

}  // namespace plat::fault
