// The one state and what resets it; clocks, scripts, random numbers and
// random faults.
#include "sim_state.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#if !defined(_WIN32)
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace dpsim {
namespace {

constexpr size_t kMaxConfigFile = 1 << 20;

std::string ReadFile(const char* path, std::string* diag) {
  std::string text;
  FILE* f = fopen(path, "rb");
  if (f == nullptr) {
    diag->append(std::string("cannot open configuration file ") + path + "\n");
    return text;
  }
  char buf[4096];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
    text.append(buf, n);
    if (text.size() > kMaxConfigFile) {
      diag->append(std::string("configuration file larger than 1 MiB: ") + path + "\n");
      text.clear();
      break;
    }
  }
  // A folder opens on some systems and then cannot be read.
  if (ferror(f)) {
    diag->append(std::string("cannot read configuration file ") + path + ": " + strerror(errno) +
                 "\n");
    text.clear();
  }
  fclose(f);
  return text;
}

bool g_server = false;

#if !defined(_WIN32)
// fork(): the child has only the thread that forked. The state is taken
// whole (under its lock, so that no change is half done), and in the child
// every lock is made anew, since whoever held one is not there to leave it;
// so are the delivery thread and the releases that other threads had under
// way.
State* g_forking = nullptr;

extern "C" void BeforeFork() { plat::LockEnter(&g_forking->lock); }
extern "C" void AfterForkParent() { plat::LockLeave(&g_forking->lock); }
extern "C" void AfterForkChild() {
  State& s = *g_forking;
  plat::LockInit(&s.signalLock);
  plat::LockInit(&s.lock);
  plat::LockInit(&s.logLock);
  plat::LockInit(&s.traceLock);
  plat::LockInit(&s.threadLock);
  for (auto& entry : s.dp) {
    entry.second.releasing = 0;
    entry.second.closing = false;
  }
  s.draining = false;
  // The parent's event is left alone: its own lock may be held. The next
  // submission starts a delivery thread of the child's.
  s.threadWake = nullptr;
  s.threadState.store(0);
}
#endif

State* Make() {
  // Leaked on purpose: see G().
  State* s = new State();
  plat::LockInit(&s->signalLock);
  plat::LockInit(&s->lock);
  plat::LockInit(&s->logLock);
  plat::LockInit(&s->traceLock);
  plat::LockInit(&s->threadLock);
  Settings settings = DefaultSettings();
  std::string diag;
  if (const char* path = getenv("DPSIM_CONFIG"); path != nullptr && path[0] != '\0') {
    const std::string text = ReadFile(path, &diag);
    ParseConfig(text, &settings, &diag);
  }
  ApplyEnvironment(&settings, &diag, g_server);
  if (g_server) settings.server.clear();
  // One line per complaint, each marked as the stand-in's.
  for (size_t pos = 0, end; pos < diag.size(); pos = end + 1) {
    end = diag.find('\n', pos);
    if (end == std::string::npos) end = diag.size();
    fprintf(stderr, "dpsim: %.*s\n", static_cast<int>(end - pos), diag.c_str() + pos);
  }
  ApplySettings(*s, settings);
#if !defined(_WIN32)
  g_forking = s;
  pthread_atfork(BeforeFork, AfterForkParent, AfterForkChild);
#endif
  return s;
}

}  // namespace

void BecomeServer() { g_server = true; }
bool IsServer() { return g_server; }

State& G() {
  static State* const state = Make();
  return *state;
}

uint64_t NowUs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

uint64_t ThreadId() {
#if defined(_WIN32)
  return GetCurrentThreadId();
#else
  return static_cast<uint64_t>(syscall(SYS_gettid));
#endif
}

std::string LocalTimeText(char separator) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const time_t t = system_clock::to_time_t(now);
  const long us =
      static_cast<long>(duration_cast<microseconds>(now.time_since_epoch()).count() % 1000000);
  struct tm tmv = {};
#if defined(_WIN32)
  localtime_s(&tmv, &t);
#else
  localtime_r(&t, &tmv);
#endif
  char buf[64];
  const size_t n = strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", &tmv);
  if (n > 10) buf[10] = separator;
  snprintf(buf + n, sizeof(buf) - n, ".%06ld", us);
  return buf;
}

uint32_t ProcessId() {
#if defined(_WIN32)
  return GetCurrentProcessId();
#else
  return static_cast<uint32_t>(getpid());
#endif
}

void SetErr(DpError* err, uint32_t errClass, uint32_t errCode) {
  if (err == nullptr) return;
  err->ErrClass = errClass;
  err->ErrCode = errCode;
  err->ErrDetail = 0;
  err->ErrDetail2 = 0;
  err->Reserved = 0;
}

bool TakeScript(int what, int32_t* value) {
  Script& s = G().scripts[what];
  if (s.times == 0) return false;
  *value = s.value;
  if (s.times > 0) --s.times;
  return true;
}

uint32_t EffectiveDelay(uint32_t busUs) {
  State& s = G();
  if (s.delayUs == kComputedDelay) return busUs;
  if (s.delaySpanUs == 0) return s.delayUs;
  return s.delayUs + static_cast<uint32_t>(Random32() % (uint64_t{s.delaySpanUs} + 1));
}

uint32_t Random32() {
  // xorshift64*: cheap, and good enough to spread delays and faults.
  uint64_t& x = G().rng;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  return static_cast<uint32_t>((x * 0x2545F4914F6CDD1Dull) >> 32);
}

bool RollFault(int what, const std::string& cp) {
  State& s = G();
  uint32_t perMillion = s.faultPerMillion[what];
  // A processor's own rate, where it is higher, holds for its handles.
  if (auto p = s.processors.find(cp); p != s.processors.end() && what < kFaultKinds) {
    perMillion = std::max(perMillion, p->second.faultPerMillion[what]);
  }
  return perMillion != 0 && Random32() % 1000000u < perMillion;
}

void CountFault(int what, int32_t handle) {
  State& s = G();
  ++s.faultTotal[what];
  ++s.faultsOn[{what, handle}];
}

void ForgetFaults(State& s, bool fdl, int32_t handle) {
  for (int what = 1; what < DPSIM_FAULT_COUNT; ++what) {
    const bool fdlKind = what == DPSIM_FAULT_FDL_REFUSE || what == DPSIM_FAULT_FDL_FOREIGN;
    if (fdlKind == fdl) s.faultsOn.erase({what, handle});
  }
}

bool RefuseAtRandom(int what, int32_t handle, const std::string& cp) {
  if (!RollFault(what, cp)) return false;
  CountFault(what, handle);
  return true;
}

void ResetAll(State& s) {
  ClearQueues(s);
  uint32_t logLimit = 0;
  std::string trace;
  {
    Guard g(&s.lock);
    s.processors = s.config.processors;
    s.delayUs = s.config.delayUs;
    s.delaySpanUs = 0;
    s.autoConfirm = true;
    for (Script& sc : s.scripts) sc = Script();
    s.stamping = false;
    s.rng = kDefaultSeed;
    for (uint32_t& f : s.faultPerMillion) f = 0;
    for (uint32_t& f : s.faultTotal) f = 0;
    s.faultsOn.clear();
    logLimit = s.config.logLimit;
    trace = s.config.trace;
  }
  {
    Guard g(&s.logLock);
    s.log.clear();
    s.logSeq = 0;
    s.logLimit = logLimit;
    s.logging.store(true);
  }
  SetTraceTarget(s, trace);
}

void ApplySettings(State& s, const Settings& settings) {
  {
    Guard g(&s.lock);
    s.config = settings;
  }
  ResetAll(s);
}

}  // namespace dpsim
