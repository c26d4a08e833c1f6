// The bus between submission and handle: what is due when, the delivery
// thread that moves it to the handles' queues, and the waitable objects it
// signals.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "sim_state.h"

namespace dpsim {
namespace {

std::atomic<LiveEpochFn> g_liveEpoch{nullptr};

uint32_t KX_STDCALL DeliveryThread(void*);

}  // namespace

void SetLiveEpochSource(LiveEpochFn source) { g_liveEpoch.store(source); }

constexpr uint32_t kWholeBus = 0xFFFFFFFFu;  // no SlaveRef has this form

bool QueueConfirmation(int32_t handle, DpHandle* h, const Confirmation& c, uint32_t delayUs) {
  State& s = G();
  if ((delayUs == 0 && h->inFlight == 0) || s.threadState == 2) {
    h->ready.push_back(c);
    ++h->owed;
    return false;
  }
  // On one bus the jobs follow each other; random delays stand for slaves
  // that answer at their own pace, so only one slave's keep their order.
  uint64_t& lastDue = h->lastDueUs[s.delaySpanUs > 0 ? Get32(c.record + kRecSlaveRef) : kWholeBus];
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

// Moves what is due from the bus to the handles' queues; returns the wait
// until the next item is due, in milliseconds.
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

}  // namespace

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

}  // namespace dpsim
