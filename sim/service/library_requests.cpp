// What the stand-in libraries ask of the daemon: handles, DPC1 jobs and FDL
// requests, each run on the shared processor and recorded in the job log.
#include <cstring>
#include <memory>
#include <vector>

#include "../plant/bus.h"
#include "server_internal.h"

namespace dpsim::server {
namespace {

const char* DpResult(const Confirmation& c) {
  if (c.err.ErrClass == 0) return "ok";
  return c.err.ErrCode == kErrNoResponse ? "no response" : "error";
}

}  // namespace

wire::Message StatusReply(uint32_t status, int32_t handle) {
  wire::Message m;
  m.type = wire::kStatusReply;
  m.status = status;
  m.handle = handle;
  return m;
}

wire::Message Open(Client& client, const wire::Message& req) {
  State& s = G();
  Guard g(&s.lock);
  if (s.processors.count(req.name) == 0) return StatusReply(kErrUnknownProcessor);
  // Each handle costs the daemon memory: one program cannot take it all.
  if (client.dp.size() + client.fdl.size() >= kMaxHandles) return StatusReply(kErrNoResources);
  int32_t id = 0;
  if (req.lib == wire::kLibDp) {
    do {
      id = s.nextDp;
      s.nextDp = s.nextDp == 0x7FFFFFFF ? 1 : s.nextDp + 1;
    } while (s.dp.count(id) != 0);
    s.dp[id].cp = req.name;
    std::lock_guard<std::mutex> lock(S().mu);
    client.dp.insert(id);
  } else {
    do {
      id = s.nextFdl;
      s.nextFdl = s.nextFdl == 0x7FFFFFFF ? 256 : s.nextFdl + 1;
    } while (s.fdl.count(id) != 0);
    auto h = std::make_shared<FdlHandle>();
    h->cp = req.name;
    s.fdl[id] = h;
    std::lock_guard<std::mutex> lock(S().mu);
    client.fdl.insert(id);
  }
  return StatusReply(0, id);
}

void Forget(Client& client, bool fdl, int32_t handle) {
  State& s = G();
  Guard g(&s.lock);
  std::lock_guard<std::mutex> lock(S().mu);
  if (fdl) {
    s.fdl.erase(handle);
    ForgetFaults(s, true, handle);
    client.fdl.erase(handle);
  } else {
    s.dp.erase(handle);
    ForgetFaults(s, false, handle);
    client.dp.erase(handle);
  }
}

wire::Message Close(Client& client, const wire::Message& req) {
  const bool fdl = req.lib == wire::kLibFdl;
  const std::set<int32_t>& mine = fdl ? client.fdl : client.dp;
  if (mine.count(req.handle) == 0) return StatusReply(kErrBadHandle);
  Forget(client, fdl, req.handle);
  return StatusReply(0);
}

wire::Message Job(Client& client, const wire::Message& req) {
  wire::Message reply;
  reply.type = wire::kJobReply;
  reply.errClass = kErrClassNegative;
  const uint32_t ref = Get32(req.record + kRecSlaveRef);
  if (client.dp.count(req.handle) == 0) {
    reply.errCode = kErrBadHandle;  // only its own handles: never another program's
    return reply;
  }
  if ((ref & kSlaveRefMask) != kSlaveRefBase || req.record[kRecDataLen] > kSlaveDataMax) {
    reply.errCode = kErrBadArgument;
    return reply;
  }
  JobRecord r;
  r.handle = req.handle;
  r.slave = static_cast<int>(ref & 0xFF);
  r.job = req.write != 0 ? "write" : "read";
  std::vector<Queued> queue;
  {
    State& s = G();
    Guard g(&s.lock);
    auto it = s.dp.find(req.handle);
    if (it == s.dp.end()) {
      reply.errCode = kErrBadHandle;
      return reply;
    }
    r.cp = it->second.cp;
    if (RefuseAtRandom(DPSIM_FAULT_REFUSE, req.handle, it->second.cp)) {
      reply.errCode = kErrScripted;
      r.result = "refused";
    } else {
      RunDpc1(s, req.handle, it->second, req.write != 0, req.record, &queue);
    }
  }
  const uint16_t kind = req.write != 0 ? kCnfKindWrite : kCnfKindRead;
  for (const Queued& q : queue) {
    wire::Cnf c;
    c.kind = q.cnf.kind;
    c.delayUs = q.delayUs;
    c.errClass = q.cnf.err.ErrClass;
    c.errCode = q.cnf.err.ErrCode;
    memcpy(c.record, q.cnf.record, kRecordSize);
    reply.cnfs.push_back(c);
    // The job's own confirmation, not a random fault's extra one.
    if (q.cnf.kind == kind && Get16(q.cnf.record + kRecSeqNo) == Get16(req.record + kRecSeqNo) &&
        r.result.empty()) {
      r.result = DpResult(q.cnf);
      r.bytes = req.write != 0 ? req.record[kRecDataLen] : q.cnf.record[kRecDataLen];
      r.busUs = q.busUs;
    }
  }
  if (reply.errCode == 0) reply.errClass = kErrClassAccepted;
  Record(client, r);
  return reply;
}

wire::Message Fdl(Client& client, const wire::Message& req) {
  wire::Message reply;
  reply.type = wire::kFdlReply;
  if (client.fdl.count(req.handle) == 0) {
    reply.result = -1;
    return reply;
  }
  if (!FdlWellFormed(req.block)) {
    reply.result = -2;
    return reply;
  }
  JobRecord r;
  r.handle = req.handle;
  r.job = "fdl";
  r.service = Get16(req.block + kBlkFdlService);
  std::vector<QueuedFdl> queue;
  {
    State& s = G();
    Guard g(&s.lock);
    auto it = s.fdl.find(req.handle);
    if (it == s.fdl.end()) {
      reply.result = -1;
      return reply;
    }
    r.cp = it->second->cp;
    if (RefuseAtRandom(DPSIM_FAULT_FDL_REFUSE, req.handle, it->second->cp)) {
      reply.result = -3;
      r.result = "refused";
    } else {
      RunFdl(s, req.handle, *it->second, req.block, &queue);
    }
  }
  for (const QueuedFdl& q : queue) {
    wire::FdlRes w;
    w.delayUs = q.delayUs;
    w.result = q.res.result;
    w.length = q.res.length;
    memcpy(w.block, q.res.block, kBlockSize);
    reply.results.push_back(w);
    if (Get16(q.res.block + kBlkJobId) == Get16(req.block + kBlkJobId) && r.result.empty()) {
      r.result = Get16(q.res.block + kBlkResultCode) == 0 ? "ok" : "unsupported service";
      r.bytes = Get16(q.res.block + kBlkDataLength);
      r.busUs = q.busUs;
    }
  }
  Record(client, r);
  return reply;
}

}  // namespace dpsim::server
