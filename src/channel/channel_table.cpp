// Channel table, module attach and detach, and the two steps that closing a
// channel and detaching share.
#include <cstring>

#include "channel.h"

Channel ChannelTable[kChannelCount];
plat::Lock ModuleLock;
plat::Lock ChannelLock;

namespace {
// False after a detach that had to leave a worker running: the locks stay
// alive for it.
bool LocksAlive = false;
}  // namespace

void ModuleAttach() {
  plat::LockInit(&ModuleLock);
  plat::LockInit(&ChannelLock);
  LocksAlive = true;
  // A worker left running by an unload may still be inside the DP master
  // library: it stays loaded for the rest of the process. (The POSIX loader
  // would unmap it with this module if it were pinned only then.)
  plat::LibraryPinContaining(reinterpret_cast<const void*>(&FetchConfirmation));
  for (Channel& ch : ChannelTable) {
    std::memset(&ch, 0, sizeof ch);
    ch.DpHandle = kNoDpHandle;
  }
}

bool StopWorker(Channel& ch) {
  if (LoadShared(ch.WorkerGone)) return true;
  WorkerContext& w = ch.Worker;
  // Before the signal, so that no job slips in that nothing would collect.
  const uint8_t signalledBefore = LoadShared(ch.StopSignalled);
  StoreShared(ch.StopSignalled, uint8_t{1});
  if (!plat::SemaphoreRelease(w.ResetSemaHndl, 1)) {
    StoreShared(ch.StopSignalled, signalledBefore);
    Trace("Kalmorix.dll: StopWorker: stop signal failed");
    return false;
  }
  // The acknowledgement is what detach can see: under the loader lock the
  // thread handle is not signalled until detach has returned. Outside it,
  // the thread's end tells the same.
  const uint32_t r = plat::WaitAnyOfTwo(w.StopAckHndl, w.Thread, kStopWaitMs);
  if (r == plat::kWaitObject0 || r == plat::kWaitObject0 + 1) {
    StoreShared(ch.WorkerGone, uint8_t{1});
    return true;
  }
  Trace("Kalmorix.dll: StopWorker: worker did not stop");
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
    if (!StopWorker(ch)) {
      // The worker may still use the DP handle, its handles and the
      // companion library: they are left to it. Nor may the module's code go
      // from under it when its call returns.
      workerLeftRunning = true;
      if (plat::ThreadOutlivesModule(ch.Worker.Thread)) {
        Trace("Kalmorix.dll: detach: a worker still runs, kept off unloaded code");
      } else {
        Trace("Kalmorix.dll: detach: a worker still runs, the module could not be kept");
      }
      continue;
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
  }
}
