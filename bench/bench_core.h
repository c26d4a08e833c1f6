// Measurements shared by the benchmark programs of both targets: the DPC1
// read round trip through Kalmorix and its floor, the notified round trip,
// throughput over eight channels and the idle cost of open channels.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "dpsim.h"
#include "extlib/dp_master.h"
#include "platform/message_window.h"
#include "platform/platform.h"
#include "zel.h"

namespace kxbench {

using Clock = std::chrono::steady_clock;

inline double NsSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
}

struct Stats {
  double p50 = 0;
  double p99 = 0;
  double mean = 0;
  size_t n = 0;
};

inline Stats Summarize(std::vector<double> ns) {
  Stats s;
  s.n = ns.size();
  if (ns.empty()) return s;
  std::sort(ns.begin(), ns.end());
  const size_t n = ns.size();
  s.p50 = n % 2 ? ns[n / 2] : (ns[n / 2 - 1] + ns[n / 2]) / 2;
  // Nearest rank: the smallest sample with at least 99 % at or below it.
  s.p99 = ns[(n * 99 + 99) / 100 - 1];
  double sum = 0;
  for (double v : ns) sum += v;
  s.mean = sum / static_cast<double>(ns.size());
  return s;
}

// ---- Job blocks -------------------------------------------------------------------
struct Block {
  uint8_t b[ZEL_BLOCK_SIZE];
};

inline uint16_t U16(const Block& x, size_t ofs) {
  return static_cast<uint16_t>(x.b[ofs] | (x.b[ofs + 1] << 8));
}

inline Block ReadJob(uint16_t jobId, uint8_t slave) {
  Block x = {};
  x.b[ZEL_OFS_JOB_ID] = static_cast<uint8_t>(jobId);
  x.b[ZEL_OFS_JOB_ID + 1] = static_cast<uint8_t>(jobId >> 8);
  x.b[ZEL_OFS_SUBSYSTEM] = ZEL_SUBSYSTEM_DPC1;
  x.b[ZEL_OFS_OPERATION] = ZEL_OPERATION_READ;
  x.b[ZEL_OFS_SLAVE_ADDRESS] = slave;
  return x;
}

// A delivered read result of job `jobId`, without error and with data.
inline bool IsReadResult(const Block& r, uint16_t jobId) {
  return U16(r, ZEL_OFS_JOB_ID) == jobId && r.b[ZEL_OFS_SUBSYSTEM] == ZEL_SUBSYSTEM_DPC1 &&
         r.b[ZEL_OFS_OPERATION] == ZEL_OPERATION_READ && U16(r, ZEL_OFS_RESULT_CODE) == 0 &&
         U16(r, ZEL_OFS_DATA_LENGTH) > 0;
}

// The stand-in as fast as it goes: confirmations at once, nothing logged or
// traced, so that what is measured is the module and the handoff.
inline void FastStandIn() {
  DpSim_Reset();
  DpSim_SetTrace("off");
  DpSim_SetDelayUs(0);
  DpSim_SetLogging(0);
}

constexpr uint8_t kSlave = 4;

// Each timed handoff starts after this pause, so that the waiting thread has
// gone back into its wait, as a fieldbus job finds it; back to back, a signal
// would often find the waiter still awake and measure no wake-up at all.
constexpr double kSettleNs = 100e3;

inline void Settle() {
  const Clock::time_point t0 = Clock::now();
  while (NsSince(t0) < kSettleNs) {
  }
}
constexpr uint32_t kResultTimeoutMs = 5000;

// ---- Floor: the same handoff from the platform layer alone ------------------------
// One thread releases a semaphore; a waiting thread, waiting as the worker
// does (on the semaphore and a stop object, with the worker's time-out), takes
// it and stores a flag; the first thread polls for the flag.
struct Floor {
  plat::Handle signal = nullptr;
  plat::Handle stop = nullptr;
  plat::Handle thread = nullptr;
  std::atomic<uint32_t> done{0};

  static uint32_t KX_STDCALL Waiter(void* arg) {
    Floor& f = *static_cast<Floor*>(arg);
    for (;;) {
      const uint32_t r = plat::WaitAnyOfTwo(f.signal, f.stop, 1000);
      if (r == plat::kWaitObject0 + 1 || r == plat::kWaitFailed) return 0;
      if (r == plat::kWaitObject0) f.done.store(1, std::memory_order_release);
    }
  }

  bool Start() {
    signal = plat::SemaphoreCreate(0, 0x7FFFFFFF);
    stop = plat::SemaphoreCreate(0, 1);
    if (!signal || !stop) return false;
    thread = plat::ThreadCreate(&Waiter, this);
    if (!thread) return false;
    plat::ThreadSetPriorityAboveNormal(thread);
    return true;
  }

  // One handoff; < 0 when the flag did not come within 5 s. Without
  // `settle`, handoffs go back to back and the poll yields the processor.
  double Once(bool settle = true) {
    done.store(0, std::memory_order_relaxed);
    if (settle) Settle();
    const Clock::time_point t0 = Clock::now();
    plat::SemaphoreRelease(signal, 1);
    while (done.load(std::memory_order_acquire) == 0) {
      if (NsSince(t0) > 5e9) return -1;
      if (!settle) std::this_thread::yield();
    }
    return NsSince(t0);
  }

  void Stop() {
    if (thread) {
      plat::SemaphoreRelease(stop, 1);
      plat::WaitOne(thread, plat::kInfinite);
      plat::HandleClose(thread);
    }
    if (signal) plat::HandleClose(signal);
    if (stop) plat::HandleClose(stop);
    thread = signal = stop = nullptr;
  }
};

// ---- Stand-in floor: the module's job path without the module ----------------------
// The same stand-in calls the module makes for a polled read, made directly:
// the application thread submits Dpc1Read and polls a flag; a waiter, waiting
// as the worker does on the stand-in's waitable object and a stop object,
// takes the confirmation with FetchConfirmation and sets the flag. What the
// module adds on top of this is its own cost alone.
struct StandInFloor {
  int32_t dp = -1;
  plat::Handle signal = nullptr;
  plat::Handle stop = nullptr;
  plat::Handle thread = nullptr;
  uint32_t slaveRef = 0;
  uint16_t seq = 0;
  std::atomic<uint32_t> done{0};

  static uint32_t KX_STDCALL Waiter(void* arg) {
    StandInFloor& f = *static_cast<StandInFloor*>(arg);
    uint8_t record[262];
    for (;;) {
      const uint32_t r = plat::WaitAnyOfTwo(f.signal, f.stop, 1000);
      if (r == plat::kWaitObject0 + 1 || r == plat::kWaitFailed) return 0;
      if (r != plat::kWaitObject0) continue;
      uint16_t kind = 0;
      DpError err = {};
      if (FetchConfirmation(f.dp, 0, &kind, record, &err) == 0 && kind == kCnfKindRead &&
          err.ErrClass == kErrClassDone && record[15] > 0) {
        f.done.store(1, std::memory_order_release);
      }
    }
  }

  bool Start(const char* cp) {
    DpError err = {};
    if (OpenDpHandle(cp, &dp, &err) != 0 || SlaveLookup(dp, kSlave, &slaveRef, &err) != 0 ||
        DP_init_sema_object(dp, 5, &signal, &err) != 0) {
      return false;
    }
    stop = plat::SemaphoreCreate(0, 1);
    if (!stop) return false;
    thread = plat::ThreadCreate(&Waiter, this);
    if (!thread) return false;
    plat::ThreadSetPriorityAboveNormal(thread);
    return true;
  }

  // One read, submitted to the stand-in and confirmed; < 0 on a refusal or
  // no confirmation within 5 s.
  double Once(bool settle = true) {
    uint8_t record[262] = {};
    if (++seq == 0) seq = 1;
    record[0] = static_cast<uint8_t>(seq);
    record[1] = static_cast<uint8_t>(seq >> 8);
    std::memcpy(record + 2, &slaveRef, 4);
    record[15] = 240;
    done.store(0, std::memory_order_relaxed);
    if (settle) Settle();
    const Clock::time_point t0 = Clock::now();
    DpError err = {};
    if (Dpc1Read(dp, record, &err) != 0 || err.ErrClass != kErrClassAccepted) return -1;
    while (done.load(std::memory_order_acquire) == 0) {
      if (NsSince(t0) > 5e9) return -1;
      if (!settle) std::this_thread::yield();
    }
    return NsSince(t0);
  }

  void Stop() {
    if (thread) {
      plat::SemaphoreRelease(stop, 1);
      plat::WaitOne(thread, plat::kInfinite);
      plat::HandleClose(thread);
    }
    DpError err = {};
    if (signal) FreeSemaObject(dp, signal, &err);
    if (dp >= 0) DP_close(dp, &err);
    if (stop) plat::HandleClose(stop);
    thread = signal = stop = nullptr;
    dp = -1;
  }
};

// ---- Round trips through the module -------------------------------------------------
// ZEL_send of a read, then ZEL_receive polled until the result is there.
// < 0 on a refusal, a wrong result or no result within 5 s.
// Without `settle`, jobs go back to back and an empty poll yields the
// processor (for more application threads than processors).
inline double PolledRoundTrip(int32_t handle, uint16_t jobId, bool settle = true) {
  Block job = ReadJob(jobId, kSlave);
  Block result;
  uint16_t length = 0;
  if (settle) Settle();
  const Clock::time_point t0 = Clock::now();
  if (ZEL_send(handle, ZEL_BLOCK_SIZE, job.b) != 0) return -1;
  for (;;) {
    if (ZEL_receive(handle, 0, &length, 0, result.b) != 0) return -1;
    if (length != 0) break;
    if (NsSince(t0) > kResultTimeoutMs * 1e6) return -1;
    if (!settle) std::this_thread::yield();
  }
  const double ns = NsSince(t0);
  return IsReadResult(result, jobId) ? ns : -1;
}

// ZEL_send of a read, then the registered window message awaited in the
// application's message wait, then one ZEL_receive.
inline double NotifiedRoundTrip(int32_t handle, plat::Window wnd, uint32_t msgId, uint16_t jobId) {
  Block job = ReadJob(jobId, kSlave);
  Block result;
  uint16_t length = 0;
  plat::PostedMessage m;
  Settle();
  const Clock::time_point t0 = Clock::now();
  if (ZEL_send(handle, ZEL_BLOCK_SIZE, job.b) != 0) return -1;
  if (!plat::MessageWindowNext(wnd, &m, kResultTimeoutMs) || m.msg != msgId) return -1;
  if (ZEL_receive(handle, 0, &length, 0, result.b) != 0 || length != ZEL_BLOCK_SIZE) return -1;
  const double ns = NsSince(t0);
  return IsReadResult(result, jobId) ? ns : -1;
}

// Confirmation ready -> window message seen, on a channel whose stand-in
// confirms nothing by itself (auto-confirm off): the job is submitted, the
// worker is let back into its wait, then the confirmation is injected (the
// stand-in signals at once) and the application waits for the message.
// `seq` is the channel's sequence number of this job (1, 2, ... after the
// open). < 0 when no message or a wrong result came.
inline double InjectedNotification(int32_t handle, int32_t dpHandle, plat::Window wnd,
                                   uint32_t msgId, uint16_t jobId, uint16_t seq) {
  constexpr uint16_t kReadConfirmation = 7;
  Block job = ReadJob(jobId, kSlave);
  if (ZEL_send(handle, ZEL_BLOCK_SIZE, job.b) != 0) return -1;
  uint8_t record[262] = {};
  record[0] = static_cast<uint8_t>(seq);
  record[1] = static_cast<uint8_t>(seq >> 8);
  record[15] = 4;  // bytes read
  std::memcpy(record + 16, "DATA", 4);
  Block result;
  uint16_t length = 0;
  plat::PostedMessage m;
  Settle();
  const Clock::time_point t0 = Clock::now();
  if (DpSim_InjectConfirmation(dpHandle, kReadConfirmation, record, nullptr) != 0) return -1;
  if (!plat::MessageWindowNext(wnd, &m, kResultTimeoutMs) || m.msg != msgId) return -1;
  const double ns = NsSince(t0);
  if (ZEL_receive(handle, 0, &length, 0, result.b) != 0 || length != ZEL_BLOCK_SIZE) return -1;
  return IsReadResult(result, jobId) ? ns : -1;
}

// Floor, polled and notified round trips measured side by side, in
// alternating rounds, so that all see the same machine state. The polled
// channel has no window registered (the worker then posts nothing); the
// notified one has `wnd`.
struct Comparison {
  Stats module;
  Stats notified;
  Stats notifyLatency;
  Stats floor;
  Stats standIn;  // the stand-in's job path without the module
  bool ok = false;
};

// `injected` (with `injectedDp`, its DP handle) is a third channel with the
// window registered, fresh from its open, for InjectedNotification.
inline Comparison CompareWithFloor(int32_t polled, int32_t notified, int32_t injected,
                                   int32_t injectedDp, plat::Window wnd, uint32_t msgId, int rounds,
                                   int perRound) {
  Comparison c;
  Floor f;
  StandInFloor sf;
  if (!f.Start() || !sf.Start("VCP1")) {
    f.Stop();
    sf.Stop();
    return c;
  }
  std::vector<double> m, n, inj, fl, sfl;
  uint16_t injectedSeq = 0;
  uint16_t jobId = 0;
  auto next = [&jobId] {
    if (++jobId == 0) jobId = 1;
    return jobId;
  };
  // One round of each; false when a job failed.
  auto round = [&](bool keep) {
    for (int i = 0; i < perRound; ++i) {
      const double ns = f.Once();
      if (ns < 0) return false;
      if (keep) fl.push_back(ns);
    }
    for (int i = 0; i < perRound; ++i) {
      const double ns = sf.Once();
      if (ns < 0) return false;
      if (keep) sfl.push_back(ns);
    }
    for (int i = 0; i < perRound; ++i) {
      const double ns = PolledRoundTrip(polled, next());
      if (ns < 0) return false;
      if (keep) m.push_back(ns);
    }
    for (int i = 0; i < perRound; ++i) {
      const double ns = NotifiedRoundTrip(notified, wnd, msgId, next());
      if (ns < 0) return false;
      if (keep) n.push_back(ns);
    }
    DpSim_SetAutoConfirm(0);
    bool ok = true;
    for (int i = 0; i < perRound && ok; ++i) {
      if (++injectedSeq == 0) injectedSeq = 1;
      const double ns = InjectedNotification(injected, injectedDp, wnd, msgId, next(), injectedSeq);
      ok = ns >= 0;
      if (ok && keep) inj.push_back(ns);
    }
    DpSim_SetAutoConfirm(1);
    return ok;
  };
  // The first rounds warm up: they fault in pages and start the stand-in's thread.
  const int warm = std::max(1, rounds / 20);
  for (int r = 0; r < warm + rounds; ++r) {
    if (!round(r >= warm)) {
      f.Stop();
      sf.Stop();
      return c;
    }
  }
  f.Stop();
  sf.Stop();
  c.standIn = Summarize(sfl);
  c.module = Summarize(m);
  c.notified = Summarize(n);
  c.notifyLatency = Summarize(inj);
  c.floor = Summarize(fl);
  c.ok = true;
  return c;
}

// ---- Throughput -----------------------------------------------------------------------
struct Throughput {
  double jobsPerSecond = 0;
  uint64_t jobs = 0;
  uint64_t failures = 0;
};

// One thread per element of `loads` runs `once(load)` back to back for `ms`
// milliseconds; `once` returns false for a failed job.
template <class Load, class Once>
Throughput RunLoads(std::vector<Load>& loads, uint32_t ms, Once once) {
  std::atomic<bool> go{false}, end{false};
  std::atomic<uint64_t> jobs{0}, failures{0};
  std::vector<std::thread> threads;
  for (Load& load : loads) {
    threads.emplace_back([&, lp = &load] {
      while (!go.load()) std::this_thread::yield();
      uint64_t n = 0, bad = 0;
      while (!end.load(std::memory_order_relaxed)) {
        if (once(*lp))
          ++n;
        else
          ++bad;
      }
      jobs += n;
      failures += bad;
    });
  }
  const Clock::time_point t0 = Clock::now();
  go = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  end = true;
  for (std::thread& th : threads) th.join();
  Throughput t;
  t.jobs = jobs;
  t.failures = failures;
  t.jobsPerSecond = static_cast<double>(t.jobs) / (NsSince(t0) / 1e9);
  return t;
}

// `channels` channels, one application thread each, reads back to back for
// `ms` milliseconds.
inline Throughput RunThroughput(int channels, uint32_t ms) {
  struct Client {
    int32_t handle;
    uint16_t jobId;
  };
  std::vector<Client> open;
  for (int i = 0; i < channels; ++i) {
    const int32_t h = ZEL_open(i % 2 == 0 ? "VCP1" : "VCP2");
    if (h < 0 || h >= 8) break;
    open.push_back({h, 0});
  }
  Throughput t;
  if (static_cast<int>(open.size()) == channels) {
    t = RunLoads(open, ms, [](Client& c) {
      if (++c.jobId == 0) c.jobId = 1;
      return PolledRoundTrip(c.handle, c.jobId, false) >= 0;
    });
  } else {
    t.failures = 1;
  }
  for (const Client& c : open) ZEL_close(c.handle);
  return t;
}

// The same load on the floor: `pairs` handoff pairs back to back, each
// polled by its own thread, for `ms` milliseconds.
inline Throughput RunFloorThroughput(int pairs, uint32_t ms) {
  std::vector<Floor> floors(static_cast<size_t>(pairs));
  bool started = true;
  for (Floor& f : floors) started = f.Start() && started;
  Throughput t;
  if (started) {
    t = RunLoads(floors, ms, [](Floor& f) { return f.Once(false) >= 0; });
  } else {
    t.failures = 1;
  }
  for (Floor& f : floors) f.Stop();
  return t;
}

// Companion polls in the call log since it was last cleared: one per worker
// wake-up of an idle channel (each time-out polls for FDL results once).
inline uint32_t CompanionPolls() {
  uint32_t n = 0;
  const uint32_t count = DpSim_LogCount();
  for (uint32_t i = 0; i < count; ++i) {
    DpSimCall c;
    if (DpSim_LogGet(i, &c) == 0 && c.lib == DPSIM_LIB_FDL && std::strcmp(c.op, "ZEL_receive") == 0)
      ++n;
  }
  return n;
}

}  // namespace kxbench
