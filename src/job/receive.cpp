// Result delivery: the stored confirmation becomes a result block in the
// application's buffer.
#include <cstring>

#include "../channel/channel.h"
#include "zel.h"

namespace {

uint16_t StatusToResult(const CnfErrorRecord& error) {
  return error.ErrClass == kErrClassDone ? 0 : ZEL_DPC1_ERROR;
}

void WriteDpc1Head(JobBlock& out, const WorkerContext& w, uint8_t operation) {
  Set(out.DataLimit, kResultDataLimit);
  Set(out.Word25, 0);
  Set(out.Word28, 0);
  Set(out.JobId, LoadShared(w.UserJobId));
  out.Operation = operation;
  out.Subsystem = kSubsystemDpc1;
  Set(out.ResultCode, StatusToResult(w.CnfError));
  out.BlockTag = kBlockTag;
  out.ResultFlag = 1;
}

// Writes the result of the stored confirmation; false for a kind that yields
// none. Runs under the module lock, which the worker's stores take too.
bool WriteResult(JobBlock& out, const WorkerContext& w, uint16_t kind) {
  switch (kind) {
    case kCnfKindRead: {
      // A confirmation never delivers more than the record holds.
      uint8_t length = w.Dpc1Cnf.DataLen;
      if (length > kDpc1DataMax) length = kDpc1DataMax;
      std::memcpy(out.Data, w.Dpc1Cnf.RecData, length);
      WriteDpc1Head(out, w, kOperationRead);
      Set(out.DataLength, length);
      return true;
    }
    case kCnfKindWrite:
      WriteDpc1Head(out, w, kOperationWrite);
      Set(out.DataLength, 0);
      return true;
    case kFdlService11:
    case kFdlService26: {
      const JobBlock& cnf = w.FdlCnf;
      uint16_t length = Get(cnf.DataLength);
      if (length > kJobDataMax) length = kJobDataMax;
      std::memcpy(out.Data, cnf.Data, length);
      out.FdlDoneFlag = 1;
      SetFdlService(out, FdlService(cnf));
      out.FdlLengthByte = static_cast<uint8_t>(length);
      out.FdlWord60 = cnf.FdlWord60;
      out.BlockTag = kBlockTag;
      Set(out.JobId, LoadShared(w.UserJobId));
      out.ResultFlag = 1;
      out.Operation = 1;
      out.LayerTag = kFdlLayerTag;
      out.Subsystem = kSubsystemFdl;
      out.ResultCode = cnf.ResultCode;
      Set(out.DataLength, length);
      Set(out.DataLimit, kResultDataLimit);
      Set(out.DataOffset, kDataOffset);
      Set(out.Word25, 0);
      Set(out.Word28, 0);
      Set(out.Word30, 0);
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

extern "C" ZEL_API int32_t ZEL_CALL ZEL_receive(int32_t handle, uint32_t /*unused1*/,
                                                uint16_t* length, uint32_t /*unused2*/,
                                                void* block) {
  if (handle == -1) {
    Trace("Kalmorix.dll: ZEL_receive");
    return -1;
  }
  if (!IsChannelIndex(handle)) {
    if (length) *length = 0;
    Trace("Kalmorix.dll: ZEL_receive_1");
    return -1;
  }
  WorkerContext& w = ChannelTable[handle].Worker;
  if (!IsOpen(ChannelTable[handle])) {
    if (length) *length = 0;
    Trace("Kalmorix.dll: ZEL_receive_2");
    return -1;
  }
  // Both are used from here on; a result stays stored for a call that can
  // take it.
  if (!length || !block) {
    Trace("Kalmorix.dll: ZEL_receive: invalid buffer");
    return -1;
  }
  // A poll that finds nothing leaves the lock alone: a polling application
  // would otherwise contend for it with the worker that is storing its result.
  if (!LoadShared(w.CnfReady)) {
    *length = 0;
    return 0;
  }
  ModuleLockGuard lock;
  if (!LoadShared(w.CnfReady)) {
    *length = 0;
    return 0;
  }
  const uint16_t kind = LoadShared(w.CnfKind);
  StoreShared(w.CnfReady, uint8_t{0});
  const bool written = WriteResult(*static_cast<JobBlock*>(block), w, kind);
  *length = written ? static_cast<uint16_t>(kJobBlockSize) : 0;
  return 0;
}
