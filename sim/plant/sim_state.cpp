#include "sim_state.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>
#include <vector>

#if !defined(_WIN32)
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
std::atomic<LiveEpochFn> g_liveEpoch{nullptr};

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
  ApplyEnvironment(&settings, &diag);
  if (g_server) settings.server.clear();
  // One line per complaint, each marked as the stand-in's.
  for (size_t pos = 0, end; pos < diag.size(); pos = end + 1) {
    end = diag.find('\n', pos);
    if (end == std::string::npos) end = diag.size();
    fprintf(stderr, "dpsim: %.*s\n", static_cast<int>(end - pos), diag.c_str() + pos);
  }
  ApplySettings(*s, settings);
  return s;
}

uint32_t KX_STDCALL DeliveryThread(void*);

}  // namespace

void BecomeServer() { g_server = true; }
bool IsServer() { return g_server; }
void SetLiveEpochSource(LiveEpochFn source) { g_liveEpoch.store(source); }

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

bool RefuseAtRandom(int what, int32_t handle, const std::string& cp) {
  if (!RollFault(what, cp)) return false;
  CountFault(what, handle);
  return true;
}

namespace {

constexpr uint8_t kStampMagic0 = 0xA7;
constexpr uint8_t kStampMagic1 = 0x5D;

// The pattern after the header: a xorshift stream seeded from every header
// byte, so that no byte of a stamp can change without the check noticing.
void StampPattern(const uint8_t* header, uint8_t* out, uint32_t len) {
  uint32_t x = 2166136261u;
  for (size_t i = 0; i < DPSIM_STAMP_HEADER; ++i) x = (x ^ header[i]) * 16777619u;
  if (x == 0) x = 1;
  for (uint32_t i = DPSIM_STAMP_HEADER; i < len; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<uint8_t>((x >> 24) ^ i);
  }
}

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

void WriteStamp(uint8_t* out, uint32_t len, int lib, int32_t handle, uint16_t seq, uint16_t kind) {
  State& s = G();
  // 0 is never a counter value, so that zeroed memory does not pass for a stamp.
  if (++s.stampCounter == 0) s.stampCounter = 1;
  out[0] = kStampMagic0;
  out[1] = kStampMagic1;
  Put16(out + 2, static_cast<uint16_t>(len));
  Put32(out + 4, static_cast<uint32_t>(handle));
  Put16(out + 8, seq);
  Put16(out + 10, kind);
  Put32(out + 12, s.stampCounter);
  out[16] = static_cast<uint8_t>(lib);
  StampPattern(out, out, len);
}

uint32_t StampLength(uint32_t limit) {
  if (limit > DPSIM_STAMP_MAX) limit = DPSIM_STAMP_MAX;
  if (limit < DPSIM_STAMP_MIN) return 0;
  return DPSIM_STAMP_MIN + Random32() % (limit - DPSIM_STAMP_MIN + 1);
}

int CheckStamp(const uint8_t* data, uint32_t len, DpSimStamp* out) {
  if (data == nullptr || len < DPSIM_STAMP_MIN || len > DPSIM_STAMP_MAX) return -1;
  if (data[0] != kStampMagic0 || data[1] != kStampMagic1 || Get16(data + 2) != len) return -1;
  const uint32_t counter = Get32(data + 12);
  if (counter == 0 || (data[16] != DPSIM_LIB_DPMASTER && data[16] != DPSIM_LIB_FDL)) return -1;
  uint8_t expect[DPSIM_STAMP_MAX];
  StampPattern(data, expect, len);
  if (memcmp(expect + DPSIM_STAMP_HEADER, data + DPSIM_STAMP_HEADER, len - DPSIM_STAMP_HEADER) !=
      0) {
    return -1;
  }
  if (out != nullptr) {
    out->lib = data[16];
    out->handle = static_cast<int32_t>(Get32(data + 4));
    out->seq = Get16(data + 8);
    out->kind = Get16(data + 10);
    out->counter = counter;
    out->length = len;
  }
  return 0;
}

bool QueueConfirmation(int32_t handle, DpHandle* h, const Confirmation& c, uint32_t delayUs) {
  State& s = G();
  if ((delayUs == 0 && h->inFlight == 0) || s.threadState == 2) {
    h->ready.push_back(c);
    ++h->owed;
    return false;
  }
  uint64_t& lastDue = h->lastDueUs[Get32(c.record + kRecSlaveRef)];
  const uint64_t due = std::max(NowUs() + delayUs, lastDue);
  lastDue = due;
  ++h->inFlight;
  OnBus item;
  item.handle = handle;
  item.cnf = c;
  s.bus.emplace(due, item);
  return true;
}

bool QueueFdlResult(int32_t handle, FdlHandle* h, const FdlResult& r, uint32_t delayUs) {
  State& s = G();
  if ((delayUs == 0 && h->inFlight == 0) || s.threadState == 2) {
    h->ready.push_back(r);
    return false;
  }
  const uint64_t due = std::max(NowUs() + delayUs, h->lastDueUs);
  h->lastDueUs = due;
  ++h->inFlight;
  OnBus item;
  item.fdl = true;
  item.handle = handle;
  item.res = r;
  s.bus.emplace(due, item);
  return true;
}

void FlushSignal(int32_t handle) {
  State& s = G();
  // The release runs outside every lock: held across it, a lock would make
  // all handles' submissions wait for each other's system calls. `releasing`
  // keeps the object open meanwhile (whoever closes it waits for 0).
  plat::Handle signal = nullptr;
  uint32_t n = 0;
  {
    Guard g(&s.lock);
    auto it = s.dp.find(handle);
    if (it == s.dp.end() || it->second.signal == nullptr || it->second.owed == 0) return;
    // An object about to be closed or drained gets no new release: the
    // closer accounts for what is owed.
    if (it->second.closing || s.draining) return;
    signal = it->second.signal;
    n = it->second.owed;
    it->second.owed = 0;
    ++it->second.releasing;
  }
  const bool released = plat::SemaphoreRelease(signal, static_cast<int32_t>(n));
  Guard g(&s.lock);
  auto it = s.dp.find(handle);  // closers wait for the count, so it is there
  if (it == s.dp.end()) return;
  --it->second.releasing;
  // Not given: still owed, for the next release (or the next object).
  if (!released) it->second.owed += n;
}

void AwaitReleases(State& s, int32_t handle) {
  // The caller holds s.lock once and, so that no other closer runs
  // meanwhile, s.signalLock. While the flag is up no release starts, so the
  // wait ends as soon as those under way are done.
  auto mark = [&](bool on) {
    if (handle == kAllHandles) {
      s.draining = on;
    } else if (auto it = s.dp.find(handle); it != s.dp.end()) {
      it->second.closing = on;
    }
  };
  mark(true);
  for (int round = 0;; ++round) {
    bool busy = false;
    for (const auto& entry : s.dp) {
      if ((handle == kAllHandles || entry.first == handle) && entry.second.releasing > 0)
        busy = true;
    }
    if (!busy) break;
    plat::LockLeave(&s.lock);
    // A releaser may run at a lower priority than a closing worker: yielding
    // alone would not let it finish on a single processor.
    if (round < 16) {
      std::this_thread::yield();
    } else {
      plat::SleepMs(1);
    }
    plat::LockEnter(&s.lock);
  }
  mark(false);  // the caller closes or drains before it lets go of s.lock
}

bool EnsureDeliveryThread() {
  State& s = G();
  if (const int state = s.threadState.load(); state != 0) return state == 1;
  Guard g(&s.threadLock);
  if (s.threadState.load() == 0) {
#if defined(_WIN32)
    // The thread runs code of this library until the process ends, so the
    // library must stay loaded even if whoever loaded it unloads it.
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&EnsureDeliveryThread), &self);
#endif
    s.threadWake = plat::EventCreate();
    plat::Handle thread =
        s.threadWake != nullptr ? plat::ThreadCreate(&DeliveryThread, nullptr) : nullptr;
    if (thread == nullptr) {
      fprintf(stderr, "dpsim: cannot start the delivery thread; confirming at once\n");
      s.threadState.store(2);
    } else {
      plat::HandleClose(thread);
      s.threadState.store(1);
    }
  }
  return s.threadState.load() == 1;
}

void WakeDeliveryThread() {
  State& s = G();
  if (EnsureDeliveryThread()) plat::EventSet(s.threadWake);
}

namespace {

// Moves what is due from the bus to the handles' queues; returns the wait
// until the next item is due, in milliseconds.
// What was on its way from a daemon that has gone since ends as the job of a
// processor that went away: no data, an error.
void Disconnected(Confirmation* c) {
  c->record[kRecDataLen] = 0;
  memset(c->record + kRecData, 0, kSlaveDataMax);
  SetErr(&c->err, kErrClassNegative, kErrNoConnection);
}

void Disconnected(FdlResult* r) {
  Put16(r->block + kBlkResultCode, kFdlNoConnection);
  Put16(r->block + kBlkDataLength, 0);
  r->block[kBlkLengthByte] = 0;
  memset(r->block + kBlkData, 0, kFdlDataMax);
}

uint32_t DeliverDue(std::vector<int32_t>* signalDp, std::vector<std::shared_ptr<FdlHandle>>* wake) {
  State& s = G();
  // Asked before the lock: the connection's lock comes first.
  const LiveEpochFn liveEpoch = g_liveEpoch.load();
  const uint32_t live = liveEpoch != nullptr ? liveEpoch() : 0;
  Guard g(&s.lock);
  const uint64_t now = NowUs();
  while (!s.bus.empty() && s.bus.begin()->first <= now) {
    OnBus& item = s.bus.begin()->second;
    if (item.fdl) {
      auto it = s.fdl.find(item.handle);
      if (it != s.fdl.end()) {
        --it->second->inFlight;
        if (it->second->epoch != 0 && it->second->epoch != live) Disconnected(&item.res);
        it->second->ready.push_back(item.res);
        wake->push_back(it->second);
      }
    } else {
      auto it = s.dp.find(item.handle);
      if (it != s.dp.end()) {
        --it->second.inFlight;
        if (it->second.epoch != 0 && it->second.epoch != live) Disconnected(&item.cnf);
        it->second.ready.push_back(item.cnf);
        ++it->second.owed;
        signalDp->push_back(item.handle);
      }
    }
    s.bus.erase(s.bus.begin());
  }
  if (s.bus.empty()) return plat::kInfinite;
  const uint64_t waitUs = s.bus.begin()->first - now;
  return static_cast<uint32_t>(std::min<uint64_t>((waitUs + 999) / 1000, 60000));
}

uint32_t KX_STDCALL DeliveryThread(void*) {
  State& s = G();
  std::vector<int32_t> signalDp;
  std::vector<std::shared_ptr<FdlHandle>> wake;
  for (;;) {
    uint32_t waitMs = 1;
    try {
      waitMs = DeliverDue(&signalDp, &wake);
      for (int32_t h : signalDp) FlushSignal(h);
      for (const auto& f : wake) plat::EventSet(f->wake);
    } catch (...) {
      // Out of memory: try again shortly rather than end delivery for good.
    }
    signalDp.clear();
    wake.clear();
    plat::WaitOne(s.threadWake, waitMs);
  }
}

void ClearQueues(State& s) {
  Guard sg(&s.signalLock);
  {
    Guard g(&s.lock);
    // A release under way would arrive after the counts below were taken,
    // and one made during the drain could be taken for a stale one: the
    // drain runs under the lock, after the releases under way.
    AwaitReleases(s, kAllHandles);
    s.bus.clear();
    for (auto& [id, h] : s.dp) {
      // Signals already given for confirmations that are now gone are taken
      // back, so the object stays at one signal per queued confirmation
      // (taking one never blocks).
      if (h.signal != nullptr) {
        for (size_t i = h.owed; i < h.ready.size(); ++i) {
          if (plat::WaitOne(h.signal, 0) != plat::kWaitObject0) break;
        }
      }
      h.ready.clear();
      h.inFlight = 0;
      h.owed = 0;
      h.lastDueUs.clear();
    }
    for (auto& [id, f] : s.fdl) {
      f->ready.clear();
      f->inFlight = 0;
      f->lastDueUs = 0;
    }
  }
}

}  // namespace

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

void SetTraceTarget(State& s, const std::string& target) {
  {
    Guard g(&s.traceLock);
    if (target == s.traceTarget) return;
  }
  FILE* file = nullptr;
  // The keywords in any case: a file named STDERR is never what was meant.
  std::string keyword = target;
  for (char& c : keyword) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  std::string actual = keyword == "stderr" || keyword == "off" ? keyword : target;
  if (actual == "stderr") {
    file = stderr;
  } else if (actual != "off") {
    file = fopen(target.c_str(), "a");
    if (file == nullptr) {
      // Losing the trace silently would hide what the application did.
      fprintf(stderr, "dpsim: cannot open trace file %s; tracing to stderr\n", target.c_str());
      file = stderr;
      actual = "stderr";
    }
  }
  FILE* old = nullptr;
  {
    Guard g(&s.traceLock);
    old = s.traceFile;
    s.traceFile = file;
    s.traceTarget = actual;
  }
  if (old != nullptr && old != stderr) fclose(old);
}

void WriteTrace(const char* text) {
  State& s = G();
  const std::string stamp = LocalTimeText(' ');
  Guard g(&s.traceLock);
  if (s.traceFile == nullptr) return;
  fprintf(s.traceFile, "%s %s\n", stamp.c_str(), text);
  fflush(s.traceFile);
}

CallEntry::CallEntry(int lib, const char* op) : on_(G().logging.load(std::memory_order_relaxed)) {
  if (!on_) return;
  memset(&call_, 0, sizeof(call_));
  call_.lib = lib;
  snprintf(call_.op, sizeof(call_.op), "%s", op);
  call_.timeUs = NowUs();
  call_.threadId = ThreadId();
}

CallEntry& CallEntry::Arg(int64_t v) {
  if (!on_) return *this;
  if (nargs_ < 6) call_.args[nargs_++] = v;
  return *this;
}

CallEntry& CallEntry::Text(const char* s) {
  if (!on_) return *this;
  if (s != nullptr) snprintf(call_.text, sizeof(call_.text), "%s", s);
  return *this;
}

CallEntry& CallEntry::Data(const void* p, size_t n) {
  if (!on_ || p == nullptr) return *this;
  if (n > sizeof(call_.data)) n = sizeof(call_.data);
  memcpy(call_.data, p, n);
  call_.dataLen = static_cast<uint32_t>(n);
  return *this;
}

CallEntry& CallEntry::Err(uint32_t errClass) {
  if (!on_) return *this;
  call_.errClass = errClass;
  return *this;
}

int32_t CallEntry::Done(int32_t result) {
  if (!on_) return result;
  call_.result = result;
  State& s = G();
  try {
    Guard g(&s.logLock);
    call_.seq = s.logSeq++;
    // At the limit the oldest entry goes: a long run keeps its latest calls.
    while (s.log.size() >= s.logLimit) s.log.pop_front();
    s.log.push_back(call_);
  } catch (const std::bad_alloc&) {
    // The entry is lost; the gap shows in the sequence numbers.
  }
  return result;
}

}  // namespace dpsim
