#include "worker_clock.h"

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "channel/channel.h"

namespace kxfuzz {
namespace {

struct Clock {
  std::mutex m;
  std::condition_variable cv;
  const WorkerContext* target = nullptr;  // whose worker is held
  bool released = false;
  bool known = false;  // the worker's thread has been seen
  std::thread::id worker;
  Hold where = Hold::kNone;
  uint64_t holds = 0;    // times the worker has been held
  uint64_t granted = 0;  // steps granted
  uint64_t taken = 0;    // steps the worker has taken
};

Clock& C() {
  static Clock c;
  return c;
}

// The platform library's own definition, the next one after this program's.
template <class Fn>
Fn Next(const char* symbol) {
  void* f = dlsym(RTLD_NEXT, symbol);
  if (f == nullptr) {
    fprintf(stderr, "worker_clock: %s not found in the platform library\n", symbol);
    abort();
  }
  return reinterpret_cast<Fn>(f);
}

using WaitFn = uint32_t (*)(plat::Handle, plat::Handle, uint32_t);
using SleepFn = void (*)(uint32_t);
using TickFn = uint32_t (*)();

WaitFn RealWait() {
  static const WaitFn f = Next<WaitFn>("_ZN4plat12WaitAnyOfTwoEPvS0_j");
  return f;
}

SleepFn RealSleep() {
  static const SleepFn f = Next<SleepFn>("_ZN4plat7SleepMsEj");
  return f;
}

TickFn RealTick() {
  static const TickFn f = Next<TickFn>("_ZN4plat6TickMsEv");
  return f;
}

// True when the calling thread is the held worker entering its confirmation
// wait, whose second object is its channel's stop signal.
bool IsHeldWait(plat::Handle stop) {
  Clock& c = C();
  std::lock_guard<std::mutex> lock(c.m);
  if (c.target == nullptr || c.released || stop != c.target->ResetSemaHndl) return false;
  c.worker = std::this_thread::get_id();
  c.known = true;
  return true;
}

bool IsHeldWorker() {
  Clock& c = C();
  std::lock_guard<std::mutex> lock(c.m);
  return c.target != nullptr && c.known && c.worker == std::this_thread::get_id();
}

// Time the held worker has been let past: a step from its wait counts as a
// second gone by, one from the pause as the pause.
std::atomic<uint32_t> g_skippedMs{0};

// Holds the calling worker at `where` until a step (true) or the release
// (false).
bool HoldHere(Hold where) {
  Clock& c = C();
  std::unique_lock<std::mutex> lock(c.m);
  if (c.released) return false;
  c.where = where;
  ++c.holds;
  c.cv.notify_all();
  c.cv.wait(lock, [&] { return c.released || c.granted > c.taken; });
  c.where = Hold::kNone;
  if (c.released) return false;
  ++c.taken;
  g_skippedMs += where == Hold::kPause ? kReadBackPauseMs : kWorkerWaitMs;
  return true;
}

}  // namespace

void ClockTake(const WorkerContext* w) {
  Clock& c = C();
  std::lock_guard<std::mutex> lock(c.m);
  c.target = w;
  c.released = false;
  c.known = false;
  c.where = Hold::kNone;
  c.granted = c.taken = 0;
}

bool ClockAwaitHeld(uint32_t timeoutMs) {
  Clock& c = C();
  std::unique_lock<std::mutex> lock(c.m);
  return c.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return c.where != Hold::kNone; });
}

Hold ClockWhere() {
  Clock& c = C();
  std::lock_guard<std::mutex> lock(c.m);
  return c.where;
}

bool ClockStep(uint32_t timeoutMs) {
  Clock& c = C();
  std::unique_lock<std::mutex> lock(c.m);
  if (c.where == Hold::kNone) return false;
  const uint64_t holds = c.holds;
  ++c.granted;
  c.cv.notify_all();
  return c.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return c.holds > holds && c.where != Hold::kNone; });
}

void ClockRelease() {
  Clock& c = C();
  std::lock_guard<std::mutex> lock(c.m);
  c.released = true;
  c.cv.notify_all();
}

}  // namespace kxfuzz

// The two waits, as this program's definitions of the platform's functions.
namespace plat {

uint32_t WaitAnyOfTwo(Handle first, Handle second, uint32_t timeoutMs) {
  if (timeoutMs == kWorkerWaitMs && kxfuzz::IsHeldWait(second) &&
      kxfuzz::HoldHere(kxfuzz::Hold::kWait)) {
    return kxfuzz::RealWait()(first, second, 0);
  }
  return kxfuzz::RealWait()(first, second, timeoutMs);
}

// Real time plus the time the held worker skipped: its overdue requests are
// overdue on virtual time as they would be on real time.
uint32_t TickMs() { return kxfuzz::RealTick()() + kxfuzz::g_skippedMs.load(); }

void SleepMs(uint32_t ms) {
  if (ms == kReadBackPauseMs && kxfuzz::IsHeldWorker()) {
    // Released: the close that follows need not wait out the pause either.
    kxfuzz::HoldHere(kxfuzz::Hold::kPause);
    return;
  }
  kxfuzz::RealSleep()(ms);
}

}  // namespace plat
