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

// A write finished without a confirmation that is certainly its own: the
// status stored in its place (ErrClass kErrClassUnattributed, and why).
constexpr uint32_t kErrClassUnattributed = 0xFFFFFFFFu;
constexpr uint32_t kErrCodeDisagree = 1;  // possible confirmations disagree
constexpr uint32_t kErrCodeMissing = 2;   // none came in time

// Confirmations that may be the job in progress's own, with the status (and
// for a write, the slave to read back) they would give it: only when all
// agree is the job's own status known.
struct Possible {
  uint16_t JobSeq;  // the job they may belong to; other jobs' are void
  uint8_t Count;
  uint8_t Disagree;
  DpError Err;
  alignas(4) uint8_t Area[kDpc1ReceiveArea];
};

// The worker's own state, on its stack for its whole life.
struct WorkerState {
  plat::Handle CnfSignal;
  RequestPool ReadBacks;
  // The write job whose read-back is awaited (0: none), and one whose pause
  // is over, to be read back once the queued confirmations have been seen.
  uint16_t ReadBackSeq;
  uint16_t ReadBackDueSeq;
  uint8_t ReadBackSlave;
  uint32_t ReadBackRef;
  Possible WriteMaybe;
  Possible ReadBackMaybe;
};

void StoreError(CnfErrorRecord& to, const DpError& from) {
  to.ErrClass = from.ErrClass;
  to.ErrCode = from.ErrCode;
  to.ErrDetail = from.ErrDetail;
  to.ErrDetail2 = from.ErrDetail2;
}

bool SameStatus(const DpError& a, const DpError& b) {
  return a.ErrClass == b.ErrClass && a.ErrCode == b.ErrCode && a.ErrDetail == b.ErrDetail &&
         a.ErrDetail2 == b.ErrDetail2;
}

// Makes the stored result ready, after its data (callers hold the lock).
void MarkReady(WorkerContext& w) {
  StoreShared(w.CnfReady, uint8_t{1});
  StoreShared(w.NotifyPending, uint8_t{1});
}

const Dpc1Record& RecordOf(const uint8_t* area) {
  return *reinterpret_cast<const Dpc1Record*>(area);
}

ConfirmationEcho EchoOf(const uint8_t* area, bool write) {
  const Dpc1Record& r = RecordOf(area);
  ConfirmationEcho e = {};
  e.Write = write;
  e.SeqNo = Get(r.SeqNo);
  e.SlaveRef = Get(r.SlaveRef);
  e.Param1 = r.Param1;
  e.Param2 = r.Param2;
  e.Param3 = Get(r.Param3);
  return e;
}

// Adds a possible confirmation of job `jobSeq`; false once they disagree.
bool AddPossible(Possible& p, uint16_t jobSeq, const uint8_t* area, const DpError& err,
                 bool write) {
  if (p.JobSeq != jobSeq) p = Possible{jobSeq, 0, 0, {}, {}};
  if (p.Count == 0) {
    p.Err = err;
    std::memcpy(p.Area, area, kDpc1ReceiveArea);
  } else if (!SameStatus(p.Err, err) ||
             (write && RecordOf(p.Area).Param1 != RecordOf(area).Param1)) {
    p.Disagree = 1;
  }
  if (p.Count < 0xFF) ++p.Count;
  return !p.Disagree;
}

bool HasPossible(const Possible& p, uint16_t jobSeq) { return p.JobSeq == jobSeq && p.Count > 0; }

// Finishes the write job in progress without a status of its own: one that
// is certainly its own cannot be told (callers hold the lock).
void FinishUnattributed(WorkerContext& w, uint32_t why) {
  StoreShared(w.CnfKind, kCnfKindWrite);
  w.CnfError = CnfErrorRecord{kErrClassUnattributed, why, 0, 0};
  MarkReady(w);
  StoreShared(w.JobConfirmed, uint8_t{1});
}

void TraceUnattributed(uint32_t why) {
  Trace(why == kErrCodeMissing ? "Kalmorix.dll: Confirmation missing"
                               : "Kalmorix.dll: Confirmation not attributable");
}

// A write result is the write confirmation's record and, until a read-back
// says otherwise, its status (callers hold the lock).
void StoreWriteConfirmation(WorkerContext& w, const uint8_t* area, const DpError& err) {
  StoreShared(w.CnfKind, kCnfKindWrite);
  std::memcpy(&w.Dpc1Cnf, area, kDpc1RecordSize);
  StoreError(w.CnfError, err);
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
  const Dpc1Record& record = RecordOf(area);
  uint32_t slaveRef = 0;
  DpError lookupErr = {};
  plat::CallOut(SlaveLookup, w.WorkerDpHandle, record.Param1, &slaveRef, &lookupErr);
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
  // Read back once what queued up during the pause has been counted, so
  // that a request lost meanwhile is known as lost before this one goes out.
  s.ReadBackDueSeq = jobSeq;
  s.ReadBackSlave = record.Param1;
  s.ReadBackRef = slaveRef;
}

void SubmitReadBack(WorkerContext& w, WorkerState& s) {
  const uint16_t jobSeq = s.ReadBackDueSeq;
  s.ReadBackDueSeq = 0;
  {
    ModuleLockGuard lock;
    if (LoadShared(w.JobSeq) != jobSeq) return;  // given up since its pause
  }
  Dpc1Record readBack = {};
  Set(readBack.SeqNo, 0);
  Set(readBack.SlaveRef, s.ReadBackRef);
  readBack.DataLen = kDpc1ReadLength;
  DpError readErr = {};
  const uint32_t submitted = plat::TickMs();
  plat::CallOut(Dpc1Read, w.WorkerDpHandle, &readBack, &readErr);
  if (readErr.ErrClass == kErrClassAccepted) {
    PendingRequest request = {};
    request.JobSeq = jobSeq;
    request.Slave = s.ReadBackSlave;
    request.SlaveRef = s.ReadBackRef;
    request.SubmitMs = submitted;
    request.Count = 1;
    PoolAdd(s.ReadBacks, request);
    s.ReadBackSeq = jobSeq;
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

// What a confirmation counted by the pool as `owner` does to the job in
// progress (`jobSeq`): true when the job is decided by it, with `why` set
// when not on a status of its own. A confirmation that may be the job's is
// kept until the job's own status is known.
bool Decide(Owner owner, Possible& maybe, uint16_t jobSeq, const uint8_t* area, const DpError& err,
            bool write, uint32_t& why) {
  switch (owner) {
    case Owner::kNone:
    case Owner::kOther:
      return false;
    case Owner::kEchoed:
      break;
    case Owner::kCurrent:
      if (HasPossible(maybe, jobSeq) && !AddPossible(maybe, jobSeq, area, err, write)) {
        why = kErrCodeDisagree;
      }
      break;
    case Owner::kMaybe:
      if (AddPossible(maybe, jobSeq, area, err, write)) return false;
      why = kErrCodeDisagree;
      break;
  }
  maybe.Count = 0;
  return true;
}

bool IsLate(Owner owner) { return owner == Owner::kNone || owner == Owner::kOther; }

// A read-back's confirmation (callers hold the lock). True when it was late.
bool OnReadBackConfirmation(WorkerContext& w, WorkerState& s, const uint8_t* area,
                            const DpError& err, uint32_t& unattributed) {
  if (s.ReadBackSeq != LoadShared(w.JobSeq)) s.ReadBackSeq = 0;  // that write was given up
  const uint16_t awaited = s.ReadBackSeq;
  const Owner owner = PoolConfirm(s.ReadBacks, EchoOf(area, false), awaited);
  if (!Decide(owner, s.ReadBackMaybe, awaited, area, err, false, unattributed)) {
    return IsLate(owner);
  }
  s.ReadBackSeq = 0;
  if (unattributed != 0) {
    FinishUnattributed(w, unattributed);
  } else {
    StoreError(w.CnfError, err);
    MarkReady(w);
  }
  return false;
}

// A late or unknown confirmation is traced and otherwise ignored: the only
// result stored is the current job's own, which it must not take away.
void OnReadConfirmation(WorkerContext& w, WorkerState& s, const uint8_t* area, const DpError& err) {
  const uint16_t seq = Get(RecordOf(area).SeqNo);
  bool late = false;
  uint32_t unattributed = 0;
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
    } else if (seq == 0) {
      late = OnReadBackConfirmation(w, s, area, err, unattributed);
    } else {
      late = true;
    }
  }
  if (late) Trace("Kalmorix.dll: Confirmation too late");
  if (unattributed != 0) TraceUnattributed(unattributed);
}

void OnWriteConfirmation(WorkerContext& w, WorkerState& s, const uint8_t* area,
                         const DpError& err) {
  uint16_t jobSeq;
  bool take = false;
  bool late = false;
  uint32_t unattributed = 0;
  {
    ModuleLockGuard lock;
    jobSeq = LoadShared(w.JobSeq);
    const bool awaited =
        LoadShared(w.JobOperation) == kOperationWrite && !LoadShared(w.JobConfirmed);
    const uint16_t current = awaited ? jobSeq : 0;
    const Owner owner = PoolConfirm(w.Writes, EchoOf(area, true), current);
    late = IsLate(owner);
    if (Decide(owner, s.WriteMaybe, current, area, err, true, unattributed)) {
      if (unattributed != 0) {
        FinishUnattributed(w, unattributed);
      } else {
        take = true;
        StoreShared(w.JobConfirmed, uint8_t{1});
      }
    }
  }
  if (late) Trace("Kalmorix.dll: Confirmation too late");
  if (unattributed != 0) TraceUnattributed(unattributed);
  if (take) CompleteWrite(w, s, jobSeq, area, err);
}

void OnDpc1Confirmation(WorkerContext& w, WorkerState& s) {
  uint16_t kind = 0;
  alignas(4) uint8_t area[kDpc1ReceiveArea] = {};
  DpError err = {};
  plat::CallOut(FetchConfirmation, w.WorkerDpHandle, kFetchTimeout, &kind, area, &err);
  if (kind == kCnfKindRead) {
    OnReadConfirmation(w, s, area, err);
  } else if (kind == kCnfKindWrite) {
    OnWriteConfirmation(w, s, area, err);
  }
  // Any other kind belongs to no job: ignored.
}

bool Busy(const WorkerContext& w, const WorkerState& s) {
  if (s.ReadBackDueSeq != 0 || s.ReadBacks.Size != 0) return true;
  ModuleLockGuard lock;
  return w.Writes.Size != 0;
}

// The library had nothing queued at `nowMs`: requests older than the bound
// will never be confirmed. A job whose own request is gone that way finishes
// without a status of its own. True when it changed the result slot.
bool OnQueueEmpty(WorkerContext& w, WorkerState& s, uint32_t nowMs) {
  uint32_t why = 0;
  {
    ModuleLockGuard lock;
    PoolExpire(w.Writes, nowMs);
    PoolExpire(s.ReadBacks, nowMs);
    const uint16_t jobSeq = LoadShared(w.JobSeq);
    const bool write = LoadShared(w.JobOperation) == kOperationWrite;
    if (s.ReadBackSeq != jobSeq) s.ReadBackSeq = 0;
    if (write && !LoadShared(w.JobConfirmed) && !PoolHolds(w.Writes, jobSeq)) {
      why = HasPossible(s.WriteMaybe, jobSeq) ? kErrCodeDisagree : kErrCodeMissing;
      s.WriteMaybe.Count = 0;
    } else if (s.ReadBackSeq != 0 && !PoolHolds(s.ReadBacks, s.ReadBackSeq)) {
      why = HasPossible(s.ReadBackMaybe, jobSeq) ? kErrCodeDisagree : kErrCodeMissing;
      s.ReadBackSeq = 0;
      s.ReadBackMaybe.Count = 0;
    }
    if (why != 0) FinishUnattributed(w, why);
  }
  if (why != 0) TraceUnattributed(why);
  const bool due = s.ReadBackDueSeq != 0;
  if (due) SubmitReadBack(w, s);
  return why != 0 || due;
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
    const bool otherJob = Get(block.JobId) != LoadShared(w.JobSeq);
    const bool known = service == kFdlService11 || service == kFdlService26;
    if (!otherJob && !known) {
      trace = "Kalmorix.dll: FDL Confirmation undefined";
    } else if (otherJob || LoadShared(w.JobConfirmed)) {
      trace = "Kalmorix.dll: FDL Confirmation too late";  // another job's, or a duplicate
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
    // While requests await confirmation, see first whether the library has
    // anything queued: when it has not, the oldest may be overdue.
    const bool busy = Busy(w, s);
    if (busy) {
      if (plat::WaitOne(s.CnfSignal, 0) == plat::kWaitObject0) {
        OnDpc1Confirmation(w, s);
        NotifyIfReady(w);
        continue;
      }
      if (OnQueueEmpty(w, s, plat::TickMs())) NotifyIfReady(w);
    }
    const uint32_t r = plat::WaitAnyOfTwo(s.CnfSignal, stop, kWorkerWaitMs);
    // Nothing was queued from the empty look above until this confirmation
    // came. (Without requests then, none made since can be overdue yet.)
    if (busy && r == plat::kWaitObject0 && OnQueueEmpty(w, s, plat::TickMs())) NotifyIfReady(w);
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
      const bool changed = OnQueueEmpty(w, s, plat::TickMs());
      if (!PollFdl(w) && !changed) continue;
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
