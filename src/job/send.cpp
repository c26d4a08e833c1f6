// Job submission: a DPC1 job becomes a Dpc1Record for the DP master library,
// an FDL job a fresh request block for the companion library.
#include <cstring>

#include "../channel/channel.h"
#include "zel.h"

namespace {

// Gives up a stored result and makes the next job current. Done under the
// module lock together with the worker's matching, so that a confirmation of
// the previous job can never be stored as the result of this one.
void BeginJob(WorkerContext& w, const JobBlock& job, uint8_t operation) {
  uint16_t seq = static_cast<uint16_t>(LoadShared(w.JobSeq) + 1);
  if (seq == 0) seq = 1;  // 0 is the worker's read-back
  StoreShared(w.JobSeq, seq);
  StoreShared(w.UserJobId, Get(job.JobId));
  StoreShared(w.JobOperation, operation);
  StoreShared(w.JobConfirmed, uint8_t{0});
}

int32_t SendFdl(WorkerContext& w, const JobBlock& job) {
  // Without the companion library the job is refused like any other, before
  // it changes anything.
  if (!w.hKyDll) {
    Trace("Kalmorix.dll: ZEL_send: FDL not available");
    return -1;
  }
  uint16_t seq;
  {
    ModuleLockGuard lock;
    StoreShared(w.CnfReady, uint8_t{0});
    const uint16_t service = FdlService(job);
    if (service != kFdlService11 && service != kFdlService26) return 0;
    BeginJob(w, job, 0);
    seq = LoadShared(w.JobSeq);
  }
  JobBlock request = {};
  request.BlockTag = kBlockTag;
  Set(request.JobId, seq);
  request.LayerTag = kFdlLayerTag;
  request.Subsystem = kSubsystemFdl;
  Set(request.DataLimit, kFdlRequestDataLimit);
  Set(request.DataOffset, kDataOffset);
  SetFdlService(request, FdlService(job));
  return w.FdlSend(w.FdlHndl, static_cast<uint16_t>(kJobBlockSize), &request) == 0 ? 0 : -1;
}

int32_t SendDpc1(Channel& ch, const JobBlock& job) {
  WorkerContext& w = ch.Worker;
  const uint8_t operation = job.Operation;
  if (operation != kOperationRead && operation != kOperationWrite) {
    ModuleLockGuard lock;
    StoreShared(w.CnfReady, uint8_t{0});
    return 0;
  }
  const int32_t dp = LoadShared(ch.DpHandle);
  DpError err = {};
  uint32_t slaveRef = 0;
  SlaveLookup(dp, job.SlaveAddress, &slaveRef, &err);

  Dpc1Record record = {};
  Set(record.SlaveRef, slaveRef);
  if (operation == kOperationRead) {
    record.DataLen = kDpc1ReadLength;
  } else {
    record.Param1 = job.Dpc1Param1;
    record.Param2 = job.Dpc1Param2;
    record.Param3 = job.Dpc1Param3;
    const uint16_t length = Get(job.DataLength);
    record.DataLen = static_cast<uint8_t>(length < kDpc1DataMax ? length : kDpc1DataMax);
    std::memcpy(record.RecData, job.Data, record.DataLen);
  }
  uint16_t seq;
  {
    ModuleLockGuard lock;
    StoreShared(w.CnfReady, uint8_t{0});
    BeginJob(w, job, operation);
    seq = LoadShared(w.JobSeq);
    // Known to the worker before the library sees it: the confirmation may
    // come before Dpc1Write returns.
    if (operation == kOperationWrite) {
      PendingRequest request = {};
      request.JobSeq = seq;
      request.Slave = job.SlaveAddress;
      request.SlaveRef = slaveRef;
      request.Param1 = record.Param1;
      request.Param2 = record.Param2;
      request.Param3 = Get(record.Param3);
      request.SubmitMs = plat::TickMs();
      request.Count = 1;
      PoolAdd(w.Writes, request);
    }
  }
  Set(record.SeqNo, seq);
  if (operation == kOperationRead) {
    Dpc1Read(dp, &record, &err);
  } else {
    Dpc1Write(dp, &record, &err);
    if (err.ErrClass != kErrClassAccepted) {
      ModuleLockGuard lock;  // refused: no confirmation will come
      PoolRemoveJob(w.Writes, seq);
      // Nor can another write's confirmation finish this job.
      if (LoadShared(w.JobSeq) == seq) StoreShared(w.JobOperation, uint8_t{0});
    }
  }
  return err.ErrClass == kErrClassAccepted ? 0 : -1;
}

}  // namespace

extern "C" ZEL_API int32_t ZEL_CALL ZEL_send(int32_t handle, uint16_t length, const void* block) {
  if (length == 0) {
    Trace("Kalmorix.dll: ZEL_send: invalid buffer length");
    return -1;
  }
  if (!IsChannelIndex(handle)) {
    Trace("Kalmorix.dll: ZEL_send: wrong handle");
    return -1;
  }
  Channel& ch = ChannelTable[handle];
  if (!IsOpen(ch)) {
    Trace("Kalmorix.dll: ZEL_send_1");
    return -1;
  }
  if (LoadShared(ch.StopSignalled) || LoadShared(ch.WorkerGone)) {
    // A close that failed told the worker to stop: nothing would collect a
    // result, whether or not the worker has let go yet.
    Trace("Kalmorix.dll: ZEL_send: worker stopped");
    return -1;
  }
  if (!block) {
    Trace("Kalmorix.dll: ZEL_send: invalid buffer");
    return -1;
  }
  const JobBlock& job = *static_cast<const JobBlock*>(block);
  if (job.Subsystem == kSubsystemFdl) return SendFdl(ch.Worker, job);
  if (job.Subsystem == kSubsystemDpc1) return SendDpc1(ch, job);
  Trace("Kalmorix.dll: ZEL_send: invalid subsystem");
  return ZEL_INVALID_SUBSYSTEM;
}
