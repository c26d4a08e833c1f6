// The eleven operations of the DP master library, on the virtual processor.
// Every call is logged, whatever its outcome; no exception leaves a call.
#include <algorithm>
#include <cstring>
#include <vector>

#include "../plant/bus.h"
#include "remote.h"

using namespace dpsim;

namespace {

constexpr int32_t kOk = 0;
constexpr int32_t kFailed = -1;
constexpr uint32_t kSignalMode = 5;  // the only waitable-object mode: a semaphore
constexpr int32_t kSignalMaximum = 0x7FFFFFFF;

int64_t HandleValue(plat::Handle h) { return static_cast<int64_t>(reinterpret_cast<uintptr_t>(h)); }

// Runs `body`; an exception (only out of memory can happen) fails the call.
template <typename Body>
int32_t Guarded(CallEntry& e, DpError* err, Body body) {
  try {
    return body();
  } catch (...) {
    SetErr(err, kErrClassNegative, kErrNoResources);
    return e.Err(kErrClassNegative).Done(kFailed);
  }
}

int32_t Finish(CallEntry& e, DpError* err, uint32_t errClass, uint32_t errCode, int32_t result) {
  SetErr(err, errClass, errCode);
  return e.Err(errClass).Done(result);
}

int32_t KnownProcessorCall(CallEntry& e, const char* cpName, DpError* err) {
  if (cpName == nullptr) return Finish(e, err, kErrClassNegative, kErrBadArgument, kFailed);
  if (remote::On()) {
    remote::Call call;
    const uint32_t code = call.Known(cpName);
    if (code != 0) return Finish(e, err, kErrClassNegative, code, kFailed);
    return Finish(e, err, kErrClassDone, 0, kOk);
  }
  bool known = false;
  {
    State& s = G();
    Guard g(&s.lock);
    known = s.processors.count(cpName) != 0;
  }
  if (!known) return Finish(e, err, kErrClassNegative, kErrUnknownProcessor, kFailed);
  return Finish(e, err, kErrClassDone, 0, kOk);
}

// Queues what the bus delivers for a submission, under G().lock; sets
// `onBus` when the delivery thread must be woken, `ready` when the handle's
// signal is owed now.
void QueueAll(int32_t handle, DpHandle& h, const std::vector<Queued>& queue, bool* onBus,
              bool* ready) {
  for (const Queued& q : queue) {
    if (QueueConfirmation(handle, &h, q.cnf, q.delayUs)) {
      *onBus = true;
    } else {
      *ready = true;
    }
  }
}

int32_t Submit(const char* op, bool write, int32_t handle, void* record, DpError* err) {
  CallEntry e(DPSIM_LIB_DPMASTER, op);
  e.Arg(handle).Ptr(record).Ptr(err);
  return Guarded(e, err, [&]() -> int32_t {
    if (record == nullptr) return Finish(e, err, kErrClassNegative, kErrBadArgument, kFailed);
    const uint8_t* rec = static_cast<const uint8_t*>(record);
    e.Data(rec, kRecordSize);
    const uint32_t ref = Get32(rec + kRecSlaveRef);
    if ((ref & kSlaveRefMask) != kSlaveRefBase || rec[kRecDataLen] > kSlaveDataMax) {
      return Finish(e, err, kErrClassNegative, kErrBadArgument, kFailed);
    }
    State& s = G();
    EnsureDeliveryThread();
    uint32_t errClass = kErrClassAccepted;
    uint32_t errCode = 0;
    bool onBus = false;
    bool ready = false;
    uint32_t epoch = 0;
    {
      Guard g(&s.lock);
      auto it = s.dp.find(handle);
      int32_t scripted = 0;
      if (it == s.dp.end()) {
        errClass = kErrClassNegative;
        errCode = kErrBadHandle;
      } else if (TakeScript(DPSIM_SUBMIT_ERRCLASS, &scripted) &&
                 scripted != static_cast<int32_t>(kErrClassAccepted)) {
        errClass = static_cast<uint32_t>(scripted);
        errCode = scripted == 0 ? 0 : kErrScripted;
      } else if (it->second.epoch != 0) {
        // The daemon's bus, asked below with no lock held; it rolls the faults.
        if (s.autoConfirm) epoch = it->second.epoch;
      } else if (RefuseAtRandom(DPSIM_FAULT_REFUSE, handle, it->second.cp)) {
        errClass = kErrClassNegative;
        errCode = kErrScripted;
      } else if (s.autoConfirm) {
        std::vector<Queued> queue;
        RunDpc1(s, handle, it->second, write, rec, &queue);
        QueueAll(handle, it->second, queue, &onBus, &ready);
      }
    }
    if (epoch != 0) {
      std::vector<Queued> queue;
      remote::Call call;  // held until queued: this process's jobs stay in the daemon's order
      errCode = call.Job(handle, epoch, write, rec, &queue, &errClass);
      if (errCode == 0) {
        Guard g(&s.lock);
        // Closed meanwhile: what the daemon sent has nowhere to go.
        if (auto it = s.dp.find(handle); it != s.dp.end()) {
          QueueAll(handle, it->second, queue, &onBus, &ready);
        }
      }
    }
    if (onBus) WakeDeliveryThread();
    if (ready) FlushSignal(handle);
    return Finish(e, err, errClass, errCode, errCode == 0 ? kOk : kFailed);
  });
}

// OpenDpHandle through the daemon, which numbers the handles.
int32_t OpenRemote(CallEntry& e, const char* cpName, int32_t* handle, DpError* err) {
  remote::Call call;
  int32_t id = -1;
  uint32_t epoch = 0;
  if (const uint32_t code = call.Open(false, cpName, &id, &epoch); code != 0) {
    return Finish(e.Arg(-1), err, kErrClassNegative, code, kFailed);
  }
  State& s = G();
  Guard g(&s.lock);
  // A handle of an earlier daemon still open here keeps its number.
  if (s.dp.count(id) != 0) {
    call.Close(false, id, epoch);
    return Finish(e.Arg(-1), err, kErrClassNegative, kErrNoResources, kFailed);
  }
  DpHandle& h = s.dp[id];
  h.cp = cpName;
  h.epoch = epoch;
  s.lastDp = id;
  *handle = id;
  return Finish(e.Arg(id), err, kErrClassDone, 0, kOk);
}

}  // namespace

DPM_API int32_t KX_STDCALL CpPrepare(const char* cpName, uint32_t zero, DpError* err) {
  CallEntry e(DPSIM_LIB_DPMASTER, "CpPrepare");
  e.Ptr(cpName).Arg(zero).Ptr(err).Text(cpName);
  return Guarded(e, err, [&] { return KnownProcessorCall(e, cpName, err); });
}

DPM_API int32_t KX_STDCALL CpRelease(const char* cpName, DpError* err) {
  CallEntry e(DPSIM_LIB_DPMASTER, "CpRelease");
  e.Ptr(cpName).Ptr(err).Text(cpName);
  return Guarded(e, err, [&] { return KnownProcessorCall(e, cpName, err); });
}

// args[3] of the log entry: the handle handed out.
DPM_API int32_t KX_STDCALL OpenDpHandle(const char* cpName, int32_t* handle, DpError* err) {
  CallEntry e(DPSIM_LIB_DPMASTER, "OpenDpHandle");
  e.Ptr(cpName).Ptr(handle).Ptr(err).Text(cpName);
  return Guarded(e, err, [&]() -> int32_t {
    if (handle != nullptr) *handle = -1;
    if (cpName == nullptr || handle == nullptr) {
      return Finish(e.Arg(-1), err, kErrClassNegative, kErrBadArgument, kFailed);
    }
    State& s = G();
    {
      Guard g(&s.lock);
      int32_t scripted = 0;
      if (TakeScript(DPSIM_OPEN_ERRCLASS, &scripted) && scripted != 0) {
        return Finish(e.Arg(-1), err, static_cast<uint32_t>(scripted), kErrScripted, kFailed);
      }
    }
    if (remote::On()) return OpenRemote(e, cpName, handle, err);
    Guard g(&s.lock);
    if (s.processors.count(cpName) == 0) {
      return Finish(e.Arg(-1), err, kErrClassNegative, kErrUnknownProcessor, kFailed);
    }
    const int32_t id = s.nextDp;
    // Numbers are never reused, so a stale handle cannot reach a newer one.
    s.nextDp = s.nextDp == 0x7FFFFFFF ? 1 : s.nextDp + 1;
    s.dp[id].cp = cpName;
    s.lastDp = id;
    *handle = id;
    return Finish(e.Arg(id), err, kErrClassDone, 0, kOk);
  });
}

DPM_API int32_t KX_STDCALL DP_close(int32_t handle, DpError* err) {
  CallEntry e(DPSIM_LIB_DPMASTER, "DP_close");
  e.Arg(handle).Ptr(err);
  return Guarded(e, err, [&]() -> int32_t {
    State& s = G();
    plat::Handle signal = nullptr;
    int32_t result = kOk;
    uint32_t errClass = kErrClassDone;
    uint32_t errCode = 0;
    uint32_t epoch = 0;
    {
      Guard sg(&s.signalLock);
      {
        Guard g(&s.lock);
        auto it = s.dp.find(handle);
        int32_t scripted = 0;
        if (TakeScript(DPSIM_CLOSE_RESULT, &scripted)) result = scripted;
        if (TakeScript(DPSIM_CLOSE_ERRCLASS, &scripted)) errClass = static_cast<uint32_t>(scripted);
        if (result != kOk || errClass != kErrClassDone) {
          // A close reported as failed leaves the handle open.
          errCode = kErrScripted;
        } else if (it == s.dp.end()) {
          result = kFailed;
          errClass = kErrClassNegative;
          errCode = kErrBadHandle;
        } else {
          AwaitReleases(s, handle);
          it = s.dp.find(handle);  // still there: closers hold signalLock
          // A waitable object not yet freed goes with its handle.
          signal = it->second.signal;
          if (signal != nullptr) --s.signalsOutstanding;
          epoch = it->second.epoch;
          s.dp.erase(it);
          ForgetFaults(s, false, handle);
          for (auto b = s.bus.begin(); b != s.bus.end();) {
            b = (!b->second.fdl && b->second.handle == handle) ? s.bus.erase(b) : std::next(b);
          }
        }
      }
      if (signal != nullptr) plat::HandleClose(signal);
    }
    if (epoch != 0) remote::Call().Close(false, handle, epoch);
    return Finish(e, err, errClass, errCode, result);
  });
}

// Never blocks: `timeout` is logged and otherwise ignored. args[5] of the log
// entry: the kind handed out.
DPM_API int32_t KX_STDCALL FetchConfirmation(int32_t handle, uint32_t timeout, uint16_t* kind,
                                             void* record, DpError* err) {
  CallEntry e(DPSIM_LIB_DPMASTER, "FetchConfirmation");
  e.Arg(handle).Arg(timeout).Ptr(kind).Ptr(record).Ptr(err);
  return Guarded(e, err, [&]() -> int32_t {
    if (kind != nullptr) *kind = 0;
    if (kind == nullptr || record == nullptr) {
      return Finish(e.Arg(0), err, kErrClassNegative, kErrBadArgument, kFailed);
    }
    State& s = G();
    int32_t stallMs = 0;
    Confirmation c;
    {
      Guard g(&s.lock);
      TakeScript(DPSIM_FETCH_STALL_MS, &stallMs);
      auto it = s.dp.find(handle);
      if (it == s.dp.end()) {
        return Finish(e.Arg(0), err, kErrClassNegative, kErrBadHandle, kFailed);
      }
      DpHandle& h = it->second;
      if (h.ready.empty()) {
        return Finish(e.Arg(0), err, kErrClassNothing, kErrNoConfirmation, kFailed);
      }
      c = h.ready.front();
      h.ready.pop_front();
      // Taken before its signal was given: the signal is not given at all.
      if (h.owed > 0) --h.owed;
    }
    // The confirmation is taken (no longer pending) while the call hangs.
    if (stallMs > 0) plat::SleepMs(static_cast<uint32_t>(stallMs));
    *kind = c.kind;
    memcpy(record, c.record, kRecordSize);
    if (err != nullptr) *err = c.err;
    return e.Arg(c.kind).Data(c.record, kRecordSize).Err(c.err.ErrClass).Done(kOk);
  });
}

// args[4] of the log entry: the SlaveRef handed out.
DPM_API int32_t KX_STDCALL SlaveLookup(int32_t handle, uint32_t slaveAddress, uint32_t* slaveRef,
                                       DpError* err) {
  CallEntry e(DPSIM_LIB_DPMASTER, "SlaveLookup");
  e.Arg(handle).Arg(slaveAddress).Ptr(slaveRef).Ptr(err);
  return Guarded(e, err, [&]() -> int32_t {
    if (slaveRef == nullptr || slaveAddress > 255) {
      return Finish(e.Arg(0), err, kErrClassNegative, kErrBadArgument, kFailed);
    }
    State& s = G();
    bool open = false;
    {
      Guard g(&s.lock);
      open = s.dp.count(handle) != 0;
    }
    if (!open) return Finish(e.Arg(0), err, kErrClassNegative, kErrBadHandle, kFailed);
    // Any address has a reference; whether a slave answers shows in the
    // confirmation.
    *slaveRef = kSlaveRefBase | slaveAddress;
    return Finish(e.Arg(*slaveRef), err, kErrClassDone, 0, kOk);
  });
}

// args[4] of the log entry: the waitable object handed out, as a number.
DPM_API int32_t KX_STDCALL DP_init_sema_object(int32_t handle, uint32_t mode, plat::Handle* signal,
                                               DpError* err) {
  CallEntry e(DPSIM_LIB_DPMASTER, "DP_init_sema_object");
  e.Arg(handle).Arg(mode).Ptr(signal).Ptr(err);
  return Guarded(e, err, [&]() -> int32_t {
    if (signal != nullptr) *signal = nullptr;
    if (signal == nullptr || mode != kSignalMode) {
      return Finish(e.Arg(0), err, kErrClassNegative, kErrBadArgument, kFailed);
    }
    State& s = G();
    Guard sg(&s.signalLock);
    plat::Handle made = nullptr;
    uint32_t owed = 0;
    {
      Guard g(&s.lock);
      auto it = s.dp.find(handle);
      int32_t scripted = 0;
      if (TakeScript(DPSIM_INITSEMA_RESULT, &scripted) && scripted != kOk) {
        return Finish(e.Arg(0), err, kErrClassNegative, kErrScripted, scripted);
      }
      if (it == s.dp.end()) {
        return Finish(e.Arg(0), err, kErrClassNegative, kErrBadHandle, kFailed);
      }
      if (it->second.signal != nullptr) {
        return Finish(e.Arg(0), err, kErrClassNegative, kErrSignalExists, kFailed);
      }
      made = plat::SemaphoreCreate(0, kSignalMaximum);
      if (made == nullptr) {
        return Finish(e.Arg(0), err, kErrClassNegative, kErrNoResources, kFailed);
      }
      // Confirmations already waiting are signalled now, once each.
      it->second.signal = made;
      owed = it->second.owed;
      it->second.owed = 0;
      ++s.signalsOutstanding;
    }
    if (owed > 0 && !plat::SemaphoreRelease(made, static_cast<int32_t>(owed))) {
      Guard g(&s.lock);  // not given: still owed, for the next release
      if (auto it = s.dp.find(handle); it != s.dp.end()) it->second.owed += owed;
    }
    *signal = made;
    return Finish(e.Arg(HandleValue(made)), err, kErrClassDone, 0, kOk);
  });
}

DPM_API int32_t KX_STDCALL FreeSemaObject(int32_t handle, plat::Handle signal, DpError* err) {
  CallEntry e(DPSIM_LIB_DPMASTER, "FreeSemaObject");
  e.Arg(handle).Arg(HandleValue(signal)).Ptr(err);
  return Guarded(e, err, [&]() -> int32_t {
    State& s = G();
    Guard sg(&s.signalLock);
    {
      Guard g(&s.lock);
      auto it = s.dp.find(handle);
      if (it == s.dp.end()) {
        return Finish(e, err, kErrClassNegative, kErrBadHandle, kFailed);
      }
      // Only the object this handle was given: never close someone else's.
      if (signal == nullptr || it->second.signal != signal) {
        return Finish(e, err, kErrClassNegative, kErrBadArgument, kFailed);
      }
      AwaitReleases(s, handle);
      DpHandle& h = s.dp.find(handle)->second;  // still there: closers hold signalLock
      h.signal = nullptr;
      h.owed = static_cast<uint32_t>(h.ready.size());
      --s.signalsOutstanding;
    }
    plat::HandleClose(signal);
    return Finish(e, err, kErrClassDone, 0, kOk);
  });
}

DPM_API int32_t KX_STDCALL TraceMessage(const char* text, uint32_t a, uint32_t b, uint32_t c,
                                        uint32_t d) {
  CallEntry e(DPSIM_LIB_DPMASTER, "TraceMessage");
  e.Ptr(text).Arg(a).Arg(b).Arg(c).Arg(d).Text(text);
  try {
    if (text != nullptr) WriteTrace(text);
  } catch (...) {
    // A trace line that cannot be formatted is dropped; the call still counts.
  }
  return e.Done(kOk);
}

DPM_API int32_t KX_STDCALL Dpc1Read(int32_t handle, void* record, DpError* err) {
  return Submit("Dpc1Read", false, handle, record, err);
}

DPM_API int32_t KX_STDCALL Dpc1Write(int32_t handle, void* record, DpError* err) {
  return Submit("Dpc1Write", true, handle, record, err);
}
