// The confirmation worker: one thread per open channel that collects DPC1
// confirmations and FDL result blocks, matches them against the job in
// progress and stores the channel's one result.
#include <cstring>

#include "../channel/channel.h"

namespace {

constexpr uint32_t kSemaMode = 5;
constexpr uint32_t kFetchTimeout = 7000;

// The worker's own state, on its stack for its whole life.
struct WorkerState {
  plat::Handle CnfSignal;
  // Read-backs submitted and not yet confirmed, and the JobSeq of the write
  // job of the last one. Confirmations come in submission order, so only the
  // confirmation that brings the count to 0 is that last read-back's, and it
  // finishes its job only while that is still the job in progress: a result
  // is never completed twice or for another job.
  uint32_t ReadBacksOutstanding;
  uint16_t ReadBackSeq;
};

void StoreError(CnfErrorRecord& to, const DpError& from) {
  to.ErrClass = from.ErrClass;
  to.ErrCode = from.ErrCode;
  to.ErrDetail = from.ErrDetail;
  to.ErrDetail2 = from.ErrDetail2;
}

// Makes the stored result ready, after its data (callers hold the lock).
void MarkReady(WorkerContext& w) {
  StoreShared(w.CnfReady, uint8_t{1});
  StoreShared(w.NotifyPending, uint8_t{1});
}

void DropResult(WorkerContext& w) {
  StoreShared(w.CnfReady, uint8_t{0});
  StoreShared(w.NotifyPending, uint8_t{0});
}

void OnReadConfirmation(WorkerContext& w, WorkerState& s, const uint8_t* area, const DpError& err) {
  const Dpc1Record& record = *reinterpret_cast<const Dpc1Record*>(area);
  const uint16_t seq = Get(record.SeqNo);
  bool late = false;
  {
    ModuleLockGuard lock;
    const uint16_t jobSeq = LoadShared(w.JobSeq);
    if (seq == jobSeq) {
      std::memcpy(&w.Dpc1Cnf, area, kDpc1RecordSize);
      StoreError(w.CnfError, err);
      StoreShared(w.CnfKind, kCnfKindRead);
      MarkReady(w);
    } else if (seq == 0) {
      if (s.ReadBacksOutstanding > 0) --s.ReadBacksOutstanding;
      if (s.ReadBacksOutstanding == 0 && s.ReadBackSeq == jobSeq &&
          LoadShared(w.JobOperation) == kOperationWrite) {
        // The write job finishes with the status of its read-back.
        StoreError(w.CnfError, err);
        MarkReady(w);
        s.ReadBackSeq = 0;
      } else {
        // The read-back of a write job that has been given up: it must not
        // finish the job now in progress, nor drop its result.
        late = true;
      }
    } else {
      DropResult(w);
      late = true;
    }
  }
  if (late) Trace("Kalmorix.dll: Confirmation too late");
}

void OnWriteConfirmation(WorkerContext& w, WorkerState& s, const uint8_t* area,
                         const DpError& err) {
  const Dpc1Record& record = *reinterpret_cast<const Dpc1Record*>(area);
  uint16_t jobSeq;
  bool current;
  {
    ModuleLockGuard lock;
    jobSeq = LoadShared(w.JobSeq);
    const uint32_t outstanding = LoadShared(w.WritesOutstanding);
    if (outstanding > 0) StoreShared(w.WritesOutstanding, outstanding - 1);
    // A library that carries the job's sequence number back in the write
    // confirmation says whose it is. Without it, only the last write
    // outstanding can be the write job in progress; an earlier one's
    // confirmation belongs to a job that has been given up.
    const uint16_t seq = Get(record.SeqNo);
    current = LoadShared(w.JobOperation) == kOperationWrite &&
              (seq != 0 ? seq == jobSeq : outstanding == 1);
    if (!current) DropResult(w);
  }
  if (!current) {
    Trace("Kalmorix.dll: Confirmation too late");
    return;
  }
  const int32_t dp = w.WorkerDpHandle;
  uint32_t slaveRef = 0;
  DpError lookupErr = {};
  SlaveLookup(dp, record.Param1, &slaveRef, &lookupErr);
  plat::SleepMs(kReadBackPauseMs);

  bool givenUp;
  {
    ModuleLockGuard lock;
    // A job passed on during the pause replaces this one; its result slot
    // is not touched.
    givenUp = LoadShared(w.JobSeq) != jobSeq;
    if (!givenUp) {
      StoreShared(w.CnfKind, kCnfKindWrite);
      std::memcpy(&w.Dpc1Cnf, area, kDpc1RecordSize);
      StoreError(w.CnfError, err);
      DropResult(w);
    }
  }
  if (givenUp) {
    Trace("Kalmorix.dll: Confirmation too late");
    return;
  }
  s.ReadBackSeq = jobSeq;

  Dpc1Record readBack = {};
  Set(readBack.SeqNo, 0);
  Set(readBack.SlaveRef, slaveRef);
  readBack.DataLen = kDpc1ReadLength;
  DpError readErr = {};
  Dpc1Read(dp, &readBack, &readErr);
  if (readErr.ErrClass == kErrClassAccepted) {
    ++s.ReadBacksOutstanding;
    return;
  }
  // Refused: the write job finishes at once with the refusal, unless another
  // job has been passed on meanwhile.
  ModuleLockGuard lock;
  if (LoadShared(w.JobSeq) == jobSeq) {
    StoreError(w.CnfError, readErr);
    MarkReady(w);
  }
}

void OnDpc1Confirmation(WorkerContext& w, WorkerState& s) {
  uint16_t kind = 0;
  alignas(4) uint8_t area[kDpc1ReceiveArea] = {};
  DpError err = {};
  FetchConfirmation(w.WorkerDpHandle, kFetchTimeout, &kind, area, &err);
  if (kind == kCnfKindRead) {
    OnReadConfirmation(w, s, area, err);
  } else if (kind == kCnfKindWrite) {
    OnWriteConfirmation(w, s, area, err);
  } else {
    ModuleLockGuard lock;
    DropResult(w);
  }
}

// Polls the companion library once; false when nothing was received.
bool PollFdl(WorkerContext& w) {
  if (!w.hKyDll) return false;
  uint16_t received = 0;
  JobBlock block = {};
  if (w.FdlReceive(w.FdlHndl, 0, &received, kJobBlockSize, &block) != 0 || received == 0) {
    return false;
  }
  const uint16_t service = FdlService(block);
  const char* trace = nullptr;
  {
    ModuleLockGuard lock;
    if (Get(block.JobId) != LoadShared(w.JobSeq)) {
      DropResult(w);
      trace = "Kalmorix.dll: FDL Confirmation too late";
    } else if (service == kFdlService11 || service == kFdlService26) {
      std::memcpy(&w.FdlCnf, &block, kJobBlockSize);
      StoreShared(w.CnfKind, service);
      MarkReady(w);
    } else {
      trace = "Kalmorix.dll: FDL Confirmation undefined";
    }
  }
  if (trace) Trace(trace);
  return true;
}

}  // namespace

uint32_t KX_STDCALL ConfirmationWorker(void* context) {
  WorkerContext& w = *static_cast<WorkerContext*>(context);
  WorkerState s = {};
  DpError semaErr = {};
  if (DP_init_sema_object(w.WorkerDpHandle, kSemaMode, &s.CnfSignal, &semaErr) != 0) {
    Trace("Kalmorix.dll: DP_init_sema_object failed");
    return 0xFFFFFFFFu;  // the thread's end tells the open
  }
  plat::Handle const stop = w.ResetSemaHndl;
  plat::EventSet(w.SyncThreadHandle);

  for (;;) {
    const uint32_t r = plat::WaitAnyOfTwo(s.CnfSignal, stop, kWorkerWaitMs);
    if (r == plat::kWaitFailed) {
      // Keep the stop reachable and the loop from spinning while the
      // confirmation signal cannot be waited on.
      const uint32_t stopWait = plat::WaitOne(stop, kWorkerWaitMs);
      if (stopWait == plat::kWaitObject0) break;
      if (stopWait == plat::kWaitFailed) plat::SleepMs(kWorkerWaitMs);
      continue;
    }
    if (r == plat::kWaitObject0 + 1) break;
    if (r == plat::kWaitTimeout) {
      if (!PollFdl(w)) continue;
    } else {
      OnDpc1Confirmation(w, s);
    }
    NotifyIfReady(w);
  }

  FreeSemaObject(w.WorkerDpHandle, s.CnfSignal, &semaErr);
  StoreShared(w.WorkerActive, uint8_t{0});
  // Last act: from here on the channel and this module's code may be given
  // back (detach waits for this signal, not for the thread's end).
  plat::ThreadSignalAndExit(w.StopAckHndl, 0);
}
