// Opening and closing a channel at the application's request.
#include <cstddef>
#include <cstring>

#include "channel.h"
#include "zel.h"

namespace {

constexpr int32_t kSemaphoreMax = 4096;

// Loads the companion library for the channel; a failure is traced and the
// channel goes on without FDL (its FDL fields stay zero).
void ActivateFdl(Channel& ch) {
  WorkerContext& w = ch.Worker;
  plat::Module lib = plat::LibraryLoad(kFdlLibraryName);
  if (lib) {
    // All four are looked up, so that every missing one is named.
    auto open = reinterpret_cast<FdlOpenFn>(plat::LibrarySymbol(lib, "ZEL_open"));
    if (!open) Trace("Kalmorix.dll: ZEL_open(Could not get proc adr (ZEL_open))");
    auto close = reinterpret_cast<FdlCloseFn>(plat::LibrarySymbol(lib, "ZEL_close"));
    if (!close) Trace("Kalmorix.dll: ZEL_open(Could not get proc adr (ZEL_close))");
    auto send = reinterpret_cast<FdlSendFn>(plat::LibrarySymbol(lib, "ZEL_send"));
    if (!send) Trace("Kalmorix.dll: ZEL_open(Could not get proc adr (ZEL_send))");
    auto receive = reinterpret_cast<FdlReceiveFn>(plat::LibrarySymbol(lib, "ZEL_receive"));
    if (!receive) Trace("Kalmorix.dll: ZEL_open(Could not get proc adr (ZEL_receive))");

    if (open && close && send && receive) {
      const int32_t fdl = open(ch.CpName);
      if (fdl != kFdlOpenFailed) {
        w.FdlHndl = fdl;
        w.hKyDll = lib;
        w.FdlOpen = open;
        w.FdlClose = close;
        w.FdlSend = send;
        w.FdlReceive = receive;
        return;
      }
    }
    plat::LibraryFree(lib);
  }
  Trace("Kalmorix.dll: ZEL_open(Could not activate FDL)");
}

// The last error of a failed step, taken before its trace (a library call)
// can change it.
bool Failed(const char* trace, uint32_t* lastError) {
  *lastError = plat::LastErrorGet();
  Trace(trace);
  return false;
}

// On failure *lastError is the failing step's system error.
bool StartWorker(int index, uint32_t* lastError) {
  Channel& ch = ChannelTable[index];
  WorkerContext& w = ch.Worker;
  w.WorkerDpHandle = ch.DpHandle;
  w.ResetSemaHndl = plat::SemaphoreCreate(0, kSemaphoreMax);
  if (!w.ResetSemaHndl) {
    return Failed("Kalmorix.dll: dpc1_use_messages: CreateSemaphore failed(1)", lastError);
  }
  w.SyncThreadHandle = plat::EventCreate();
  if (!w.SyncThreadHandle) {
    return Failed("Kalmorix.dll: dpc1_use_messages: CreateEvent failed", lastError);
  }
  w.StopAckHndl = plat::EventCreate();
  if (!w.StopAckHndl) {
    return Failed("Kalmorix.dll: dpc1_use_messages: CreateEvent failed", lastError);
  }
  plat::Handle thread = plat::ThreadCreate(ConfirmationWorker, &w);
  if (!thread) return Failed("Kalmorix.dll: dpc1_use_messages: CreateThread failed", lastError);
  StoreShared(w.WorkerActive, uint8_t{1});
  w.Thread = thread;
  plat::ThreadSetPriorityAboveNormal(thread);

  // A worker whose own set-up fails ends without the start-up signal; its
  // end is waited for too, so that the open cannot hang.
  const uint32_t r = plat::WaitAnyOfTwo(w.SyncThreadHandle, thread, plat::kInfinite);
  *lastError = plat::LastErrorGet();
  if (r == plat::kWaitObject0) return true;
  if (r == plat::kWaitObject0 + 1) {
    StoreShared(ch.WorkerGone, uint8_t{1});
    StoreShared(w.WorkerActive, uint8_t{0});
  }
  return false;
}

// Undoes a successful OpenDpHandle after the worker could not be started:
// everything the open took is given back.
void AbandonOpen(int index) {
  Channel& ch = ChannelTable[index];
  if (ch.Worker.Thread && !StopWorker(ch)) {
    // A worker that runs and cannot be stopped keeps what it uses; the
    // record stays taken so that nothing reuses it.
    return;
  }
  DpError err = {};
  DP_close(ch.DpHandle, &err);
  StoreShared(ch.DpHandle, kNoDpHandle);
  ReleaseChannel(index);
}

}  // namespace

extern "C" ZEL_API int32_t ZEL_CALL ZEL_open(const char* cpName) {
  if (!cpName) {
    Trace("Kalmorix.dll: ZEL_open(ZEL_NO_DEVICE_AVAILABLE)");
    return ZEL_NO_DEVICE_AVAILABLE;
  }
  if (cpName[0] == 0) {
    Trace("Kalmorix.dll: ZEL_open(ZEL_NO_DEVICE_AVAILABLE_1)");
    return ZEL_NO_DEVICE_AVAILABLE;
  }
  // A cut name could open a different processor, so a long one is refused.
  char name[kCpNameSize] = {};
  size_t length = 0;
  while (length < kCpNameSize && cpName[length] != 0) ++length;
  if (length >= kCpNameSize) {
    Trace("Kalmorix.dll: ZEL_open(name too long)");
    return ZEL_NO_DEVICE_AVAILABLE;
  }
  std::memcpy(name, cpName, length);

  ChannelLockGuard guard;
  int index = 0;
  while (index < kChannelCount && IsOpen(ChannelTable[index])) ++index;
  if (index == kChannelCount) {
    Trace("Kalmorix.dll: ZEL_open(ZEL_NO_DEVICE_AVAILABLE_2)");
    return ZEL_NO_DEVICE_AVAILABLE;
  }
  Channel& ch = ChannelTable[index];
  // Everything behind DpHandle, which stays -1 (free) until the open succeeds
  // and may be read meanwhile by other threads.
  static_assert(offsetof(Channel, DpHandle) == 0);
  std::memset(reinterpret_cast<char*>(&ch) + sizeof ch.DpHandle, 0, sizeof ch - sizeof ch.DpHandle);
  std::memcpy(ch.CpName, name, kCpNameSize);

  DpError err = {};
  CpPrepare(ch.CpName, 0, &err);
  // The handle is taken into the record only once it is valid, so the record
  // never reads as open with a handle that the library refused.
  int32_t dpHandle = kNoDpHandle;
  OpenDpHandle(ch.CpName, &dpHandle, &err);
  if (err.ErrClass != kErrClassDone) {
    Trace("Kalmorix.dll: ZEL_open(ZEL_NO_DEVICE_AVAILABLE_3)");
    return ZEL_NO_DEVICE_AVAILABLE;
  }
  StoreShared(ch.DpHandle, dpHandle);

  ActivateFdl(ch);

  uint32_t lastError = 0;
  if (!StartWorker(index, &lastError)) {
    Trace("Kalmorix.dll: ZEL_open(ZEL_NO_DEVICE_AVAILABLE_3)");
    AbandonOpen(index);
    // The application asks ZEL_get_errno why: the clean-up's calls must not
    // have changed the answer.
    plat::LastErrorSet(lastError);
    return ZEL_NO_DEVICE_AVAILABLE;
  }
  return index;
}

extern "C" ZEL_API int32_t ZEL_CALL ZEL_close(int32_t handle) {
  if (!IsChannelIndex(handle)) return ZEL_CLOSE_FAILED;
  ChannelLockGuard guard;
  Channel& ch = ChannelTable[handle];
  if (!IsOpen(ch)) return ZEL_CLOSE_FAILED;
  if (!StopWorker(ch)) {
    // The worker may still use the DP handle and the channel's handles; the
    // channel stays open and a later close tries again.
    Trace("Kalmorix.dll: ZEL_close failed(1)");
    return ZEL_CLOSE_FAILED;
  }
  DpError err = {};
  if (DP_close(ch.DpHandle, &err) != 0) {
    Trace("Kalmorix.dll: ZEL_close failed(2)");
    return ZEL_CLOSE_FAILED;
  }
  StoreShared(ch.DpHandle, kNoDpHandle);
  ReleaseChannel(handle);
  return 0;
}
