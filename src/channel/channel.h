// The channel table: all state of the module, in static storage.
#pragma once

#include <atomic>
#include <cstdint>

#include "../extlib/dp_master.h"
#include "../extlib/fdl_companion.h"
#include "../job/dpc1_record.h"
#include "../job/job_block.h"
#include "../platform/platform.h"
#include "../worker/attribution.h"

constexpr int kChannelCount = 8;
constexpr int32_t kNoDpHandle = -1;
constexpr size_t kCpNameSize = 64;

// Timing constants of the job cycle.
constexpr uint32_t kWorkerWaitMs = 1000;
constexpr uint32_t kReadBackPauseMs = 3000;
constexpr uint32_t kStopWaitMs = 10000;
constexpr uint32_t kReleasePauseMs = 50;

// Error information stored with a confirmation: bytes 0-10 of a DpError.
struct CnfErrorRecord {
  uint32_t ErrClass;
  uint32_t ErrCode;
  uint16_t ErrDetail;
  uint8_t ErrDetail2;
};

// The part of a channel that its worker thread sees; the worker gets a
// pointer to it as its only argument.
struct WorkerContext {
  uint8_t WorkerActive;
  plat::Window NotifyWnd;
  uint32_t NotifyMsgId;
  plat::Handle Thread;
  plat::Handle ResetSemaHndl;
  uint16_t CnfKind;
  uint8_t CnfReady;
  uint8_t NotifyPending;
  uint16_t UserJobId;
  uint16_t JobSeq;
  // Operation byte of the DPC1 job in progress (0 for an FDL job): a write
  // confirmation can only belong to a write job.
  uint8_t JobOperation;
  // Writes submitted and not yet confirmed: ZEL_send adds each before the
  // library sees it, the worker counts confirmations against them.
  RequestPool Writes;
  // The job in progress has had its own confirmation (a read's or FDL
  // block's stored, a write's taken) or has been finished without one: a
  // second one is a duplicate. Cleared when the next job is passed on.
  uint8_t JobConfirmed;
  int32_t WorkerDpHandle;
  // Start-up event: the worker signals it once it is ready to wait for
  // confirmations.
  plat::Handle SyncThreadHandle;
  // Stop acknowledgement: the worker signals it, as its very last act, when it
  // lets go of the channel. Under the loader lock a thread handle is not
  // signalled until detach has returned, so detach waits for this instead.
  plat::Handle StopAckHndl;
  Dpc1Record Dpc1Cnf;
  CnfErrorRecord CnfError;
  int32_t FdlHndl;
  plat::Module hKyDll;
  FdlOpenFn FdlOpen;
  FdlCloseFn FdlClose;
  FdlSendFn FdlSend;
  FdlReceiveFn FdlReceive;
  JobBlock FdlCnf;
};

struct Channel {
  int32_t DpHandle;  // kNoDpHandle: the record is free
  char CpName[kCpNameSize];
  // Set once a stop has seen the worker let go; then nothing of the channel
  // is in the worker's use any more. Only the application's side touches it.
  uint8_t WorkerGone;
  // Set once the worker has been told to stop: from then on no job is
  // taken, even before the worker has let go.
  uint8_t StopSignalled;
  WorkerContext Worker;
};

extern Channel ChannelTable[kChannelCount];
// Guards the stored result and the notification registration of every
// channel: the worker's stores, ZEL_send's start of a new job, ZEL_receive's
// delivery, registration and the choice of what to post.
extern plat::Lock ModuleLock;
// Keeps ZEL_open and ZEL_close of different threads from choosing or
// releasing the same record at once.
extern plat::Lock ChannelLock;

struct ModuleLockGuard {
  ModuleLockGuard() { plat::LockEnter(&ModuleLock); }
  ~ModuleLockGuard() { plat::LockLeave(&ModuleLock); }
};
struct ChannelLockGuard {
  ChannelLockGuard() { plat::LockEnter(&ChannelLock); }
  ~ChannelLockGuard() { plat::LockLeave(&ChannelLock); }
};

// Fields shared between the application's threads and a worker go through
// these, so that every access is atomic and ordered.
template <class T>
inline T LoadShared(const T& field) {
  return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_acquire);
}
template <class T>
inline void StoreShared(T& field, T value) {
  std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

// Through plat::CallOut, as workers trace too.
inline void Trace(const char* text) { plat::CallOut(TraceMessage, text, 1, 0, 0, 0); }

inline bool IsChannelIndex(int32_t handle) { return handle >= 0 && handle < kChannelCount; }
inline bool IsOpen(const Channel& ch) { return LoadShared(ch.DpHandle) != kNoDpHandle; }

// Module entry.
void ModuleAttach();
void ModuleDetach();

// Tells the worker to stop and waits at most kStopWaitMs for it to let go.
// False when it has not: then nothing that it may still use may be released.
bool StopWorker(Channel& ch);
// Gives back the handles and the companion library of a channel whose worker
// has let go.
void ReleaseChannel(int index);

// Worker thread and notification step.
uint32_t KX_STDCALL ConfirmationWorker(void* context);
// Posts the registered message if the stored result has not been announced
// yet; true when it did. Takes the module lock itself.
bool NotifyIfReady(WorkerContext& w);
