// The FDL side of the virtual processor, reached through the companion
// library's four entry points. Every call is logged as the companion's.
#include <algorithm>
#include <cstring>
#include <vector>

#include "../plant/bus.h"
#include "dpsim_private.h"
#include "remote.h"

using namespace dpsim;

namespace {

constexpr int32_t kFdlFailed = -1;
constexpr int32_t kFdlMalformed = -2;
constexpr int32_t kFdlRefused = -3;  // a random fault

void QueueAll(int32_t handle, FdlHandle& h, const std::vector<QueuedFdl>& queue, bool* onBus,
              bool* ready) {
  for (const QueuedFdl& q : queue) {
    if (QueueFdlResult(handle, &h, q.res, q.delayUs)) {
      *onBus = true;
    } else {
      *ready = true;
    }
  }
}

}  // namespace

extern "C" {

DPSIM_API int32_t DpSimFdl_Open(const char* cpName) {
  CallEntry e(DPSIM_LIB_FDL, "ZEL_open");
  e.Ptr(cpName).Text(cpName);
  try {
    if (cpName == nullptr) return e.Done(kFdlFailed);
    State& s = G();
    auto handle = std::make_shared<FdlHandle>();
    handle->cp = cpName;
    handle->wake = plat::EventCreate();
    if (handle->wake == nullptr) return e.Done(kFdlFailed);
    int32_t scripted = 0;
    int32_t id = -1;
    if (remote::On()) {
      {
        Guard g(&s.lock);
        if (TakeScript(DPSIM_FDL_OPEN_RESULT, &scripted) && scripted < 0) return e.Done(scripted);
      }
      remote::Call call;
      if (call.Open(true, cpName, &id, &handle->epoch) != 0) return e.Done(kFdlFailed);
      Guard g(&s.lock);
      if (s.fdl.count(id) != 0) {  // a handle of an earlier daemon still open here
        call.Close(true, id, handle->epoch);
        return e.Done(kFdlFailed);
      }
      s.fdl[id] = handle;
      s.lastFdl = id;
      return e.Done(id);
    }
    Guard g(&s.lock);
    if (TakeScript(DPSIM_FDL_OPEN_RESULT, &scripted)) {
      // A negative value is the failure; another number becomes the handle.
      if (scripted < 0 || s.fdl.count(scripted) != 0) return e.Done(scripted < 0 ? scripted : -1);
      id = scripted;
    } else {
      id = s.nextFdl;
      while (s.fdl.count(id) != 0) id = id == 0x7FFFFFFF ? 0 : id + 1;
      s.nextFdl = id == 0x7FFFFFFF ? 0 : id + 1;
    }
    if (s.processors.count(cpName) == 0) return e.Done(kFdlFailed);
    s.fdl[id] = handle;
    s.lastFdl = id;
    return e.Done(id);
  } catch (...) {
    return e.Done(kFdlFailed);
  }
}

DPSIM_API int32_t DpSimFdl_Close(int32_t fdlHandle) {
  CallEntry e(DPSIM_LIB_FDL, "ZEL_close");
  e.Arg(fdlHandle);
  try {
    State& s = G();
    std::shared_ptr<FdlHandle> closed;
    int32_t result = 0;
    uint32_t epoch = 0;
    {
      Guard g(&s.lock);
      int32_t scripted = 0;
      if (TakeScript(DPSIM_FDL_CLOSE_RESULT, &scripted) && scripted != 0) {
        result = scripted;  // reported as failed: the handle stays open
      } else if (auto it = s.fdl.find(fdlHandle); it == s.fdl.end()) {
        result = kFdlFailed;
      } else {
        closed = it->second;
        epoch = closed->epoch;
        s.fdl.erase(it);
        ForgetFaults(s, true, fdlHandle);
        for (auto b = s.bus.begin(); b != s.bus.end();) {
          b = (b->second.fdl && b->second.handle == fdlHandle) ? s.bus.erase(b) : std::next(b);
        }
      }
    }
    // A receiver waiting on this handle returns now instead of at its timeout.
    if (closed != nullptr) plat::EventSet(closed->wake);
    if (epoch != 0) remote::Call().Close(true, fdlHandle, epoch);
    return e.Done(result);
  } catch (...) {
    return e.Done(kFdlFailed);
  }
}

DPSIM_API int32_t DpSimFdl_Send(int32_t fdlHandle, uint16_t length, const void* block) {
  CallEntry e(DPSIM_LIB_FDL, "ZEL_send");
  e.Arg(fdlHandle).Arg(length).Ptr(block);
  try {
    if (block == nullptr || length != kBlockSize) return e.Done(kFdlFailed);
    const uint8_t* request = static_cast<const uint8_t*>(block);
    e.Data(request, kBlockSize);
    State& s = G();
    EnsureDeliveryThread();
    std::shared_ptr<FdlHandle> target;
    bool onBus = false;
    bool ready = false;
    int32_t result = 0;
    uint32_t epoch = 0;
    {
      Guard g(&s.lock);
      auto it = s.fdl.find(fdlHandle);
      int32_t scripted = 0;
      if (it == s.fdl.end()) {
        result = kFdlFailed;
      } else if (!FdlWellFormed(request)) {
        result = kFdlMalformed;
      } else if (TakeScript(DPSIM_FDL_SEND_RESULT, &scripted) && scripted != 0) {
        result = scripted;
      } else if (it->second->epoch != 0) {
        // The daemon's bus, asked below with no lock held; it rolls the faults.
        if (s.autoConfirm) epoch = it->second->epoch;
      } else if (RefuseAtRandom(DPSIM_FAULT_FDL_REFUSE, fdlHandle, it->second->cp)) {
        result = kFdlRefused;
      } else if (s.autoConfirm) {
        std::vector<QueuedFdl> queue;
        RunFdl(s, fdlHandle, *it->second, request, &queue);
        QueueAll(fdlHandle, *it->second, queue, &onBus, &ready);
        target = it->second;
      }
    }
    if (epoch != 0) {
      std::vector<QueuedFdl> queue;
      remote::Call call;  // held until queued, as for DPC1 jobs
      result = call.Fdl(fdlHandle, epoch, request, &queue);
      if (result == 0) {
        Guard g(&s.lock);
        if (auto it = s.fdl.find(fdlHandle); it != s.fdl.end()) {
          QueueAll(fdlHandle, *it->second, queue, &onBus, &ready);
          target = it->second;
        }
      }
    }
    if (onBus) WakeDeliveryThread();
    if (ready && target != nullptr) plat::EventSet(target->wake);
    return e.Done(result);
  } catch (...) {
    return e.Done(kFdlFailed);
  }
}

// Waits up to the configured time for a result. Nothing received: 0 with
// *length 0. args[5] of the log entry: the length handed out.
DPSIM_API int32_t DpSimFdl_Receive(int32_t fdlHandle, uint32_t unused, uint16_t* length,
                                   uint32_t size, void* block) {
  CallEntry e(DPSIM_LIB_FDL, "ZEL_receive");
  e.Arg(fdlHandle).Arg(unused).Ptr(length).Arg(size).Ptr(block);
  try {
    if (length != nullptr) *length = 0;
    if (length == nullptr || block == nullptr || size < kBlockSize) {
      return e.Arg(0).Done(kFdlFailed);
    }
    State& s = G();
    uint64_t deadline = 0;
    std::shared_ptr<FdlHandle> h;
    for (;;) {
      FdlResult r;
      {
        Guard g(&s.lock);
        auto it = s.fdl.find(fdlHandle);
        if (it == s.fdl.end()) return e.Arg(0).Done(kFdlFailed);
        if (deadline == 0) deadline = NowUs() + uint64_t{s.config.receiveWaitMs} * 1000;
        h = it->second;
        if (!h->ready.empty()) {
          r = h->ready.front();
          h->ready.pop_front();
          h = nullptr;
        }
      }
      if (h == nullptr) {
        *length = r.length;
        memcpy(block, r.block, kBlockSize);
        return e.Arg(r.length).Data(r.block, kBlockSize).Done(r.result);
      }
      const uint64_t now = NowUs();
      if (now >= deadline) return e.Arg(0).Done(0);
      plat::WaitOne(h->wake, static_cast<uint32_t>((deadline - now + 999) / 1000));
    }
  } catch (...) {
    return e.Done(kFdlFailed);
  }
}

}  // extern "C"
