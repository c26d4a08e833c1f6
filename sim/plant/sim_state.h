// Shared state of the stand-in: the virtual processors, the open DP and FDL
// handles with their queues, the scripts, the call log and the trace.
//
// Locks, in the only order in which they may nest:
//   signalLock -> lock,  threadLock -> lock,  anything -> logLock | traceLock
// Nothing is taken while logLock or traceLock is held. Under a lock the
// stand-in calls only the C library and the platform's non-blocking
// primitives; every wait happens with no lock held, except that a closer
// holds signalLock while it waits for releases under way (AwaitReleases),
// which never take signalLock.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../../src/extlib/dp_master.h"
#include "dpsim.h"
#include "sim_config.h"

namespace dpsim {

constexpr size_t kRecordSize = 262;
constexpr size_t kBlockSize = 340;

// SlaveLookup hands out kSlaveRefBase | address; submissions check it.
constexpr uint32_t kSlaveRefBase = 0x51A70000u;
constexpr uint32_t kSlaveRefMask = 0xFFFFFF00u;

// DP error classes and codes the stand-in leaves.
constexpr uint32_t kErrClassNegative = 2;
constexpr uint32_t kErrClassNothing = 3;  // FetchConfirmation: nothing queued
constexpr uint32_t kErrUnknownProcessor = 0x01;
constexpr uint32_t kErrBadHandle = 0x02;
constexpr uint32_t kErrBadArgument = 0x03;
constexpr uint32_t kErrSignalExists = 0x04;
constexpr uint32_t kErrNoResources = 0x05;
constexpr uint32_t kErrScripted = 0x06;
constexpr uint32_t kErrNoConfirmation = 0x10;
constexpr uint32_t kErrNoResponse = 0x11;
constexpr uint32_t kErrNoConnection = 0x12;  // the daemon holding the processor is gone

// Record offsets (262-byte DPC1 record).
constexpr size_t kRecSeqNo = 0;
constexpr size_t kRecSlaveRef = 2;
constexpr size_t kRecParam1 = 7;
constexpr size_t kRecDataLen = 15;
constexpr size_t kRecData = 16;

// Block offsets (340-byte job block).
constexpr size_t kBlkTag = 4;
constexpr size_t kBlkJobId = 5;
constexpr size_t kBlkLayer = 7;
constexpr size_t kBlkResultFlag = 8;
constexpr size_t kBlkSubsystem = 12;
constexpr size_t kBlkOperation = 13;
constexpr size_t kBlkResultCode = 14;
constexpr size_t kBlkDataLength = 16;
constexpr size_t kBlkDataLimit = 19;
constexpr size_t kBlkDataOffset = 21;
constexpr size_t kBlkFdlDone = 34;
constexpr size_t kBlkFdlService = 38;
constexpr size_t kBlkLengthByte = 52;
constexpr size_t kBlkData = 80;
constexpr uint8_t kBlockTag = 0x50;
constexpr uint8_t kFdlLayerTag = 2;
constexpr uint8_t kSubsystemFdl = 0x22;
constexpr uint16_t kFdlServiceSend = 11;
constexpr uint16_t kFdlServiceStatus = 26;
constexpr uint16_t kFdlUnsupportedService = 3;  // ResultCode for other services
constexpr uint16_t kFdlNoConnection = 0x12;     // ResultCode when the daemon went away

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

class Guard {
 public:
  explicit Guard(plat::Lock* lock) : lock_(lock) { plat::LockEnter(lock_); }
  ~Guard() { plat::LockLeave(lock_); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  plat::Lock* lock_;
};

struct Confirmation {
  uint16_t kind = 0;
  uint8_t record[kRecordSize] = {};
  DpError err = {};
};

struct FdlResult {
  int32_t result = 0;
  uint16_t length = 0;
  uint8_t block[kBlockSize] = {};
};

struct DpHandle {
  std::string cp;
  std::deque<Confirmation> ready;
  uint32_t inFlight = 0;  // confirmations still on the bus
  // Keeps confirmations in submission order: per slave (by SlaveRef) under
  // random delays, where different slaves' may overtake each other; else all
  // of the handle's (one key).
  std::map<uint32_t, uint64_t> lastDueUs;
  uint32_t owed = 0;  // ready confirmations the waitable object has not been told of
  plat::Handle signal = nullptr;
  uint32_t releasing = 0;  // FlushSignal calls releasing `signal` right now
  bool closing = false;    // a closer waits for them: no new release starts
  uint16_t newestSeq = 0;  // newest non-zero SeqNo submitted: late confirmations go below it
  uint32_t epoch = 0;      // connection to the daemon it was opened on (0: in-process)
};

struct FdlHandle {
  FdlHandle() = default;
  FdlHandle(const FdlHandle&) = delete;
  FdlHandle& operator=(const FdlHandle&) = delete;
  ~FdlHandle() {
    if (wake != nullptr) plat::HandleClose(wake);
  }
  std::string cp;
  std::deque<FdlResult> ready;
  uint32_t inFlight = 0;
  uint64_t lastDueUs = 0;
  uint32_t epoch = 0;  // as DpHandle::epoch
  // Auto-reset event: a result arrived or the handle was closed. Receivers
  // hold a reference while they wait, so closing never frees it under them.
  plat::Handle wake = nullptr;
};

struct OnBus {
  bool fdl = false;
  int32_t handle = 0;
  Confirmation cnf;
  FdlResult res;
};

struct Script {
  int32_t value = 0;
  int32_t times = 0;  // 0: inactive; < 0: until reset
};

constexpr uint64_t kDefaultSeed = 0x9E3779B97F4A7C15ull;

struct State {
  // Under signalLock: the waitable objects' creation, freeing and draining.
  // Releases run under no lock (see FlushSignal).
  plat::Lock signalLock;
  plat::Lock lock;
  Settings config;                              // as loaded
  std::map<std::string, Processor> processors;  // live slave data
  uint32_t delayUs = kComputedDelay;
  bool autoConfirm = true;
  Script scripts[DPSIM_SCRIPT_COUNT];
  std::map<int32_t, DpHandle> dp;
  std::map<int32_t, std::shared_ptr<FdlHandle>> fdl;
  int32_t nextDp = 1;
  int32_t nextFdl = 256;  // apart from DP handles, so that a mix-up shows
  int32_t lastDp = -1;
  int32_t lastFdl = -1;
  int signalsOutstanding = 0;
  std::multimap<uint64_t, OnBus> bus;  // by due time; equal times keep their order
  bool draining = false;               // a reset drains every object: no new release starts

  // Stamps, random delays and random faults (off after a reset).
  bool stamping = false;
  uint32_t stampCounter = 0;  // never reset, so that stamps stay unique in the process
  uint32_t delaySpanUs = 0;   // > 0: delay drawn from delayUs .. delayUs + delaySpanUs
  uint64_t rng = kDefaultSeed;
  uint32_t faultPerMillion[DPSIM_FAULT_COUNT] = {};
  uint32_t faultTotal[DPSIM_FAULT_COUNT] = {};
  std::map<std::pair<int, int32_t>, uint32_t> faultsOn;  // (fault, handle) -> count

  plat::Lock logLock;
  std::deque<DpSimCall> log;
  uint32_t logSeq = 0;
  uint32_t logLimit = kDefaultLogLimit;
  std::atomic<bool> logging{true};  // off: calls leave no entry and cost no formatting

  plat::Lock traceLock;
  std::string traceTarget = "off";
  FILE* traceFile = nullptr;  // nullptr: off

  plat::Lock threadLock;            // starting the delivery thread
  std::atomic<int> threadState{0};  // 0: not started, 1: running, 2: could not start
  plat::Handle threadWake = nullptr;
};

// ---- The state and what resets it (sim_state.cpp) ------------------------

// The one state, made on first use and never destroyed: the module's detach
// calls in after the process's static destructors have run.
State& G();

// Called by the daemon before anything else: its state is the shared one, so
// it never passes jobs on to another daemon.
void BecomeServer();
bool IsServer();

// Resets queues, scripts, log and data to the configuration.
void ResetAll(State& s);
void ApplySettings(State& s, const Settings& settings);

uint64_t NowUs();
uint64_t ThreadId();
uint32_t ProcessId();
// Local wall-clock time to the microsecond, "2026-12-08 15:40:01.123456"
// with `separator` between date and time.
std::string LocalTimeText(char separator);

// Under G().lock: the scripted value for `what`, consuming one use.
bool TakeScript(int what, int32_t* value);

// Under G().lock: delay of a job whose bus time is `busUs`.
uint32_t EffectiveDelay(uint32_t busUs);

// Under G().lock: the stand-in's random numbers.
uint32_t Random32();
// Under G().lock: true when a submission meets fault `what` this time; the
// fault is counted only once injected (CountFault).
bool RollFault(int what, const std::string& cp);
void CountFault(int what, int32_t handle);
// Under G().lock, as a handle closes: its fault counts go with it, or a
// long-running daemon would keep one entry per handle it ever had.
void ForgetFaults(State& s, bool fdl, int32_t handle);
// Under G().lock: true (and counted) when a submission on a handle of
// processor `cp` meets the random refusal `what`.
bool RefuseAtRandom(int what, int32_t handle, const std::string& cp);

void SetErr(DpError* err, uint32_t errClass, uint32_t errCode);

// ---- Stamps (stamp.cpp) ---------------------------------------------------

// Writes a stamp of `len` bytes (DPSIM_STAMP_MIN..DPSIM_STAMP_MAX) under
// G().lock, taking the next counter value.
void WriteStamp(uint8_t* out, uint32_t len, int lib, int32_t handle, uint16_t seq, uint16_t kind);
// Length of a stamp for a request that allows `limit` bytes, drawn at random
// under G().lock; 0 when a stamp does not fit.
uint32_t StampLength(uint32_t limit);
// 0 when data[0..len) is one intact stamp.
int CheckStamp(const uint8_t* data, uint32_t len, DpSimStamp* out);

// ---- Delivery (delivery.cpp) ----------------------------------------------

// The number of the live connection to a daemon holding the processors, 0
// when there is none. Delivery asks it before it hands out what was on the
// bus: a handle opened on another connection gets that as lost. The stand-in
// library's daemon client sets it; unset (in-process, in the daemon) it is 0.
using LiveEpochFn = uint32_t (*)();
void SetLiveEpochSource(LiveEpochFn source);

// Under G().lock: queues a confirmation due after `delayUs`; true when the
// delivery thread must be woken (else it is ready and the handle needs a
// FlushSignal).
bool QueueConfirmation(int32_t handle, DpHandle* h, const Confirmation& c, uint32_t delayUs);
bool QueueFdlResult(int32_t handle, FdlHandle* h, const FdlResult& r, uint32_t delayUs);

// With no lock held: tells the handle's waitable object of the confirmations
// that became ready since.
void FlushSignal(int32_t handle);
// With no lock held: starts the delivery thread if needed and wakes it. False
// when it cannot run; callers then deliver at once.
bool EnsureDeliveryThread();
void WakeDeliveryThread();

// Under s.lock, held once, and s.signalLock: waits until no FlushSignal is
// releasing the waitable object of `handle` (kAllHandles: of any handle),
// letting go of s.lock meanwhile; no new release starts while it waits.
// Whoever closes or drains an object calls it first, and only when it will
// close or drain it (a release skipped meanwhile stays owed).
constexpr int32_t kAllHandles = INT32_MIN;
void AwaitReleases(State& s, int32_t handle);

// Empties the bus and every handle's queue, taking back the signals already
// given for what goes.
void ClearQueues(State& s);

// ---- Call log and trace (call_log.cpp) ------------------------------------

void SetTraceTarget(State& s, const std::string& target);
void WriteTrace(const char* text);

// One entry of the call log, filled while the call runs and appended when it
// ends.
class CallEntry {
 public:
  CallEntry(int lib, const char* op);
  CallEntry& Arg(int64_t v);
  CallEntry& Ptr(const void* p) { return Arg(p != nullptr ? 1 : 0); }
  CallEntry& Text(const char* s);
  CallEntry& Data(const void* p, size_t n);
  CallEntry& Err(uint32_t errClass);
  // Appends the entry with `result` and returns `result`.
  int32_t Done(int32_t result);

 private:
  DpSimCall call_;
  uint32_t nargs_ = 0;
  bool on_;
};

}  // namespace dpsim
