// The confirmation worker: one thread per open channel that collects DPC1
// confirmations and FDL result blocks, matches them against the job in
// progress and stores the channel's one result. Its library calls go through
// plat::CallOut: one that returns after an unload gave up on the worker must
// not come back into the module.
#include <cstring>

#include "../channel/channel.h"

namespace {

constexpr uint32_t kSemaMode = 5;
constexpr uint32_t kFetchTimeout = 7000;
// Quiet passes (wait time-outs without any DPC1 confirmation) after which a
// confirmation judged an earlier job's by count alone is taken for the job
// in progress after all: the confirmation it was taken for was lost.
constexpr uint32_t kLostAfterQuietPasses = kReadBackPauseMs / kWorkerWaitMs;

// A confirmation that only the count of earlier ones made late, kept while
// the job it may belong to is still in progress.
struct Candidate {
  uint16_t JobSeq;  // 0: none
  DpError Err;
  alignas(4) uint8_t Area[kDpc1ReceiveArea];
};

// The worker's own state, on its stack for its whole life.
struct WorkerState {
  plat::Handle CnfSignal;
  // Read-backs submitted and not yet confirmed, and the JobSeq of the write
  // job of the last one accepted. Reads are confirmed in submission order,
  // so only the confirmation that brings the count to 0 is that last
  // read-back's, and it finishes its job only while that is still the job in
  // progress: a result is never completed twice or for another job.
  uint32_t ReadBacksOutstanding;
  uint16_t ReadBackSeq;
  uint32_t QuietPasses;
  Candidate WriteCandidate;
  Candidate ReadBackCandidate;
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

void Keep(Candidate& c, uint16_t jobSeq, const uint8_t* area, const DpError& err) {
  c.JobSeq = jobSeq;
  c.Err = err;
  std::memcpy(c.Area, area, kDpc1ReceiveArea);
}

// The write job finishes with the status of its read-back (callers hold the
// lock); every read-back still counted is then confirmed or lost.
void FinishWithReadBack(WorkerContext& w, WorkerState& s, const DpError& err) {
  StoreError(w.CnfError, err);
  MarkReady(w);
  s.ReadBackSeq = 0;
  s.ReadBacksOutstanding = 0;
  s.ReadBackCandidate.JobSeq = 0;
}

// A late or unknown confirmation is traced and otherwise ignored: the only
// result stored is the current job's own, which it must not take away.
void OnReadConfirmation(WorkerContext& w, WorkerState& s, const uint8_t* area, const DpError& err) {
  const Dpc1Record& record = *reinterpret_cast<const Dpc1Record*>(area);
  const uint16_t seq = Get(record.SeqNo);
  bool late = false;
  {
    ModuleLockGuard lock;
    const uint16_t jobSeq = LoadShared(w.JobSeq);
    // A second confirmation of the job (a duplicate) is late too.
    if (seq == jobSeq && !LoadShared(w.JobConfirmed)) {
      std::memcpy(&w.Dpc1Cnf, area, kDpc1RecordSize);
      StoreError(w.CnfError, err);
      StoreShared(w.CnfKind, kCnfKindRead);
      MarkReady(w);
      StoreShared(w.JobConfirmed, uint8_t{1});
      // Reads are confirmed in submission order: every read-back submitted
      // before this job has been confirmed or lost.
      s.ReadBacksOutstanding = 0;
    } else if (seq == 0) {
      if (s.ReadBacksOutstanding > 0) --s.ReadBacksOutstanding;
      const bool awaited = s.ReadBackSeq == jobSeq && LoadShared(w.JobOperation) == kOperationWrite;
      if (awaited && s.ReadBacksOutstanding == 0) {
        FinishWithReadBack(w, s, err);
      } else {
        // An earlier write's read-back; or, if that one was lost, this
        // write's own, which a quiet spell will tell.
        if (awaited) Keep(s.ReadBackCandidate, jobSeq, area, err);
        late = true;
      }
    } else {
      late = true;
    }
  }
  if (late) Trace("Kalmorix.dll: Confirmation too late");
}

// A write result is the write confirmation's record and, until a read-back
// says otherwise, its status (callers hold the lock).
void StoreWriteConfirmation(WorkerContext& w, const uint8_t* area, const DpError& err) {
  StoreShared(w.CnfKind, kCnfKindWrite);
  std::memcpy(&w.Dpc1Cnf, area, kDpc1RecordSize);
  StoreError(w.CnfError, err);
}

// Takes a write confirmation as the write job in progress's own (callers
// hold the lock): every earlier write has then been confirmed or lost.
void TakeWrite(WorkerContext& w, WorkerState& s) {
  StoreShared(w.WritesOutstanding, uint32_t{0});
  StoreShared(w.JobConfirmed, uint8_t{1});
  s.WriteCandidate.JobSeq = 0;
}

// The write job in progress after its own confirmation: a failed write
// finishes at once; otherwise the slave is read back after the pause.
void CompleteWrite(WorkerContext& w, WorkerState& s, uint16_t jobSeq, const uint8_t* area,
                   const DpError& err) {
  if (err.ErrClass != kErrClassDone) {
    // A read-back could only report on data that were never written.
    ModuleLockGuard lock;
    if (LoadShared(w.JobSeq) == jobSeq) {
      StoreWriteConfirmation(w, area, err);
      MarkReady(w);
    }
    return;
  }
  const Dpc1Record& record = *reinterpret_cast<const Dpc1Record*>(area);
  const int32_t dp = w.WorkerDpHandle;
  uint32_t slaveRef = 0;
  DpError lookupErr = {};
  plat::CallOut(SlaveLookup, dp, record.Param1, &slaveRef, &lookupErr);
  plat::SleepMs(kReadBackPauseMs);

  bool current;
  {
    ModuleLockGuard lock;
    // A job passed on during the pause replaces this one; its result slot
    // is not touched.
    current = LoadShared(w.JobSeq) == jobSeq;
    if (current) {
      StoreWriteConfirmation(w, area, err);
      StoreShared(w.CnfReady, uint8_t{0});
      StoreShared(w.NotifyPending, uint8_t{0});
    }
  }
  if (!current) {
    Trace("Kalmorix.dll: Confirmation too late");
    return;
  }
  Dpc1Record readBack = {};
  Set(readBack.SeqNo, 0);
  Set(readBack.SlaveRef, slaveRef);
  readBack.DataLen = kDpc1ReadLength;
  DpError readErr = {};
  plat::CallOut(Dpc1Read, dp, &readBack, &readErr);
  if (readErr.ErrClass == kErrClassAccepted) {
    ++s.ReadBacksOutstanding;
    s.ReadBackSeq = jobSeq;
    return;
  }
  // Refused: the write job finishes at once with the refusal, unless another
  // job has been passed on meanwhile.
  s.ReadBackSeq = 0;
  ModuleLockGuard lock;
  if (LoadShared(w.JobSeq) == jobSeq) {
    StoreError(w.CnfError, readErr);
    MarkReady(w);
  }
}

// True when `seq` names a write passed on before the job in progress, which
// only a library that returns the job's sequence number can say (callers
// hold the lock).
bool IsEarlierWrite(const WorkerContext& w, uint16_t seq, uint16_t jobSeq) {
  if (seq == 0 || seq == jobSeq) return false;
  for (uint16_t recent : w.RecentWriteSeqs)
    if (recent == seq) return true;
  return false;
}

// A library that carries the job's sequence number back in the write
// confirmation says whose it is. With any other value the confirmation is
// the current job's unless an earlier write is still counted as
// unconfirmed: writes are confirmed in submission order, so it is then that
// earlier write's, or the current one's if that earlier one was lost.
void OnWriteConfirmation(WorkerContext& w, WorkerState& s, const uint8_t* area,
                         const DpError& err) {
  const uint16_t seq = Get(reinterpret_cast<const Dpc1Record*>(area)->SeqNo);
  uint16_t jobSeq;
  bool current = false;
  {
    ModuleLockGuard lock;
    jobSeq = LoadShared(w.JobSeq);
    const uint32_t outstanding = LoadShared(w.WritesOutstanding);
    if (outstanding > 0) StoreShared(w.WritesOutstanding, outstanding - 1);
    const bool awaited =
        LoadShared(w.JobOperation) == kOperationWrite && !LoadShared(w.JobConfirmed);
    const bool earlier = IsEarlierWrite(w, seq, jobSeq);
    if (awaited && (seq == jobSeq || (outstanding <= 1 && !earlier))) {
      TakeWrite(w, s);
      current = true;
    } else if (awaited && !earlier) {
      Keep(s.WriteCandidate, jobSeq, area, err);
    }
  }
  if (!current) {
    Trace("Kalmorix.dll: Confirmation too late");
    return;
  }
  CompleteWrite(w, s, jobSeq, area, err);
}

void OnDpc1Confirmation(WorkerContext& w, WorkerState& s) {
  uint16_t kind = 0;
  alignas(4) uint8_t area[kDpc1ReceiveArea] = {};
  DpError err = {};
  plat::CallOut(FetchConfirmation, w.WorkerDpHandle, kFetchTimeout, &kind, area, &err);
  s.QuietPasses = 0;
  if (kind == kCnfKindRead) {
    OnReadConfirmation(w, s, area, err);
  } else if (kind == kCnfKindWrite) {
    OnWriteConfirmation(w, s, area, err);
  }
  // Any other kind belongs to no job: ignored.
}

// A quiet pass: once nothing has come for long enough, a kept confirmation
// is the job in progress's own. True when it changed the result slot.
bool OnQuietPass(WorkerContext& w, WorkerState& s) {
  if (++s.QuietPasses < kLostAfterQuietPasses) return false;
  if (s.WriteCandidate.JobSeq == 0 && s.ReadBackCandidate.JobSeq == 0) return false;
  Candidate write = {};
  {
    ModuleLockGuard lock;
    const uint16_t jobSeq = LoadShared(w.JobSeq);
    const bool writeJob = LoadShared(w.JobOperation) == kOperationWrite;
    if (writeJob && s.ReadBackCandidate.JobSeq == jobSeq && s.ReadBackSeq == jobSeq) {
      FinishWithReadBack(w, s, s.ReadBackCandidate.Err);
      s.WriteCandidate.JobSeq = 0;
      return true;
    }
    s.ReadBackCandidate.JobSeq = 0;
    if (writeJob && s.WriteCandidate.JobSeq == jobSeq && !LoadShared(w.JobConfirmed)) {
      write = s.WriteCandidate;
      TakeWrite(w, s);
    }
    s.WriteCandidate.JobSeq = 0;
  }
  if (write.JobSeq == 0) return false;
  CompleteWrite(w, s, write.JobSeq, write.Area, write.Err);
  return true;
}

// Polls the companion library once; false when nothing was received.
bool PollFdl(WorkerContext& w) {
  if (!w.hKyDll) return false;
  uint16_t received = 0;
  JobBlock block = {};
  if (plat::CallOut(w.FdlReceive, w.FdlHndl, 0, &received, kJobBlockSize, &block) != 0 ||
      received == 0) {
    return false;
  }
  const uint16_t service = FdlService(block);
  const char* trace = nullptr;
  {
    ModuleLockGuard lock;
    if (Get(block.JobId) != LoadShared(w.JobSeq)) {
      trace = "Kalmorix.dll: FDL Confirmation too late";
    } else if (service != kFdlService11 && service != kFdlService26) {
      trace = "Kalmorix.dll: FDL Confirmation undefined";
    } else if (LoadShared(w.JobConfirmed)) {
      trace = "Kalmorix.dll: FDL Confirmation too late";  // a duplicate
    } else {
      std::memcpy(&w.FdlCnf, &block, kJobBlockSize);
      StoreShared(w.CnfKind, service);
      MarkReady(w);
      StoreShared(w.JobConfirmed, uint8_t{1});
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
  if (plat::CallOut(DP_init_sema_object, w.WorkerDpHandle, kSemaMode, &s.CnfSignal, &semaErr) !=
      0) {
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
      const bool taken = OnQuietPass(w, s);
      if (!PollFdl(w) && !taken) continue;
    } else {
      OnDpc1Confirmation(w, s);
    }
    NotifyIfReady(w);
  }

  plat::CallOut(FreeSemaObject, w.WorkerDpHandle, s.CnfSignal, &semaErr);
  StoreShared(w.WorkerActive, uint8_t{0});
  // Last act: from here on the channel and this module's code may be given
  // back (detach waits for this signal, not for the thread's end).
  plat::ThreadSignalAndExit(w.StopAckHndl, 0);
}
