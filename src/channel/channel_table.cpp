// Channel table, module attach and detach, and the two steps that closing a
// channel and detaching share.
#include <cstring>

#include "channel.h"

Channel ChannelTable[kChannelCount];
plat::Lock ModuleLock;
plat::Lock ChannelLock;

namespace {
// False after a detach that had to leave a worker running: the locks (and
// the call stub) stay alive for it.
bool LocksAlive = false;
}  // namespace

void ModuleAttach() {
  plat::LockInit(&ModuleLock);
  plat::LockInit(&ChannelLock);
  LocksAlive = true;
  // Before any worker exists. Without it (no memory that may be made
  // executable) calls are direct: everything works but keeping a worker that
  // an unload gives up on off the unloaded code.
  if (!plat::CallOutSetUp()) Trace("Kalmorix.dll: attach: no call stub");
  // A worker left running by an unload may still be inside the DP master
  // library: it stays loaded for the rest of the process. (The POSIX loader
  // would unmap it with this module if it were pinned only then.)
  plat::LibraryPinContaining(reinterpret_cast<const void*>(&FetchConfirmation));
  for (Channel& ch : ChannelTable) {
    std::memset(&ch, 0, sizeof ch);
    ch.DpHandle = kNoDpHandle;
  }
}

namespace {

enum class Stop { kStopped, kSignalFailed, kTimedOut };

// StopWorker without its traces: a trace is a library call, and detach must
// mark a worker it gives up on before it makes any.
Stop SignalStop(Channel& ch) {
  if (LoadShared(ch.WorkerGone)) return Stop::kStopped;
  WorkerContext& w = ch.Worker;
  // Before the signal, so that no job slips in that nothing would collect.
  const uint8_t signalledBefore = LoadShared(ch.StopSignalled);
  StoreShared(ch.StopSignalled, uint8_t{1});
  if (!plat::SemaphoreRelease(w.ResetSemaHndl, 1)) {
    StoreShared(ch.StopSignalled, signalledBefore);
    return Stop::kSignalFailed;
  }
  // The acknowledgement is what detach can see: under the loader lock the
  // thread handle is not signalled until detach has returned. Outside it,
  // the thread's end tells the same.
  const uint32_t r = plat::WaitAnyOfTwo(w.StopAckHndl, w.Thread, kStopWaitMs);
  if (r == plat::kWaitObject0 || r == plat::kWaitObject0 + 1) {
    StoreShared(ch.WorkerGone, uint8_t{1});
    return Stop::kStopped;
  }
  return Stop::kTimedOut;
}

void TraceStopFailure(Stop stop) {
  Trace(stop == Stop::kSignalFailed ? "Kalmorix.dll: StopWorker: stop signal failed"
                                    : "Kalmorix.dll: StopWorker: worker did not stop");
}

enum class GiveUp { kKept, kStoppedAfterAll, kNotKept };

constexpr uint32_t kGiveUpRetryMs = 10;

// Marks the thread of a worker that did not stop, so that it never comes back
// into this module's code (plat::ThreadOutlivesModule). The mark takes only
// while the worker is inside a library call, a wait or a sleep; one caught
// between two is given up to another stop wait to get into the next one, or
// to stop after all.
GiveUp GiveUpOn(Channel& ch) {
  WorkerContext& w = ch.Worker;
  for (uint32_t waited = 0; waited < kStopWaitMs; waited += kGiveUpRetryMs) {
    if (plat::ThreadOutlivesModule(w.Thread)) return GiveUp::kKept;
    const uint32_t r = plat::WaitAnyOfTwo(w.StopAckHndl, w.Thread, kGiveUpRetryMs);
    if (r == plat::kWaitObject0 || r == plat::kWaitObject0 + 1) {
      StoreShared(ch.WorkerGone, uint8_t{1});
      return GiveUp::kStoppedAfterAll;
    }
    if (r == plat::kWaitFailed) break;
  }
  return GiveUp::kNotKept;
}

}  // namespace

bool StopWorker(Channel& ch) {
  const Stop stop = SignalStop(ch);
  if (stop == Stop::kStopped) return true;
  TraceStopFailure(stop);
  return false;
}

void ReleaseChannel(int index) {
  Channel& ch = ChannelTable[index];
  WorkerContext& w = ch.Worker;
  ch.CpName[0] = 0;
  // Handles are null only after an open that failed half-way.
  if (w.ResetSemaHndl && !plat::HandleClose(w.ResetSemaHndl)) Trace("Kalmorix.dll: ResetSemaHndl");
  if (w.SyncThreadHandle && !plat::HandleClose(w.SyncThreadHandle)) {
    Trace("Kalmorix.dll: SyncThreadHandle");
  }
  if (w.StopAckHndl && !plat::HandleClose(w.StopAckHndl)) Trace("Kalmorix.dll: StopAckHndl");
  if (w.Thread && !plat::HandleClose(w.Thread)) Trace("Kalmorix.dll: Thread");
  if (w.hKyDll) {
    if (w.FdlClose(w.FdlHndl) != 0) Trace("Kalmorix.dll: FdlHndl");
    if (!plat::LibraryFree(w.hKyDll)) Trace("Kalmorix.dll: hKyDll");
    w.hKyDll = nullptr;
  }
}

void ModuleDetach() {
  bool anyOpen = false;
  bool workerLeftRunning = false;
  char lastName[256] = {};
  for (int i = 0; i < kChannelCount; ++i) {
    Channel& ch = ChannelTable[i];
    if (!IsOpen(ch)) continue;
    anyOpen = true;
    std::memcpy(lastName, ch.CpName, kCpNameSize);
    const Stop stop = SignalStop(ch);
    if (stop != Stop::kStopped) {
      // Marked first: a library call that returns from here on, the traces'
      // own included, must not come back into the module.
      const GiveUp givenUp = GiveUpOn(ch);
      if (givenUp != GiveUp::kStoppedAfterAll) {
        // The worker may still use the DP handle, its handles, the companion
        // library and the call stub: they are left to it.
        workerLeftRunning = true;
        TraceStopFailure(stop);
        Trace(givenUp == GiveUp::kKept
                  ? "Kalmorix.dll: detach: a worker still runs, kept off unloaded code"
                  : "Kalmorix.dll: detach: a worker still runs, could not be kept off unloaded "
                    "code");
        continue;
      }
    }
    DpError err = {};
    DP_close(ch.DpHandle, &err);
    if (err.ErrClass != kErrClassDone) Trace("Kalmorix.dll: DP_close(detach failed");
    StoreShared(ch.DpHandle, kNoDpHandle);
    ReleaseChannel(i);
  }
  if (anyOpen && workerLeftRunning) {
    // Releasing the processor could pull it from under that worker.
    Trace("Kalmorix.dll: detach: a worker still runs, CpRelease not called");
  } else if (anyOpen) {
    DpError err = {};
    CpRelease(lastName, &err);
    plat::SleepMs(kReleasePauseMs);
  }
  if (LocksAlive && !workerLeftRunning) {
    plat::LockDelete(&ChannelLock);
    plat::LockDelete(&ModuleLock);
    LocksAlive = false;
    plat::CallOutTearDown();
  }
}
