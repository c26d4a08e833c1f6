// The bus model: what a slave does with a DPC1 job, how the processor answers
// an FDL request, and the random faults that come with them.
#include "bus.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace dpsim {
namespace {

// What the slave does with a job, decided when it is submitted, so that a
// read submitted after a write sees the written data.
Confirmation Execute(State& s, int32_t handle, const std::string& cp, bool write,
                     const uint8_t* request, uint32_t* busUs) {
  Confirmation c;
  memcpy(c.record, request, kRecordSize);
  c.kind = write ? kCnfKindWrite : kCnfKindRead;
  const uint8_t address = static_cast<uint8_t>(Get32(request + kRecSlaveRef) & 0xFF);
  const uint8_t wanted = request[kRecDataLen];
  std::vector<uint8_t>* data = nullptr;
  auto p = s.processors.find(cp);
  if (p != s.processors.end() && p->second.silent.count(address) == 0) {
    auto slave = p->second.slaves.find(address);
    if (slave != p->second.slaves.end()) data = &slave->second;
  }
  if (write) {
    // The module reads the written slave back from Param1 of the confirmation.
    c.record[kRecParam1] = address;
    if (data != nullptr) data->assign(request + kRecData, request + kRecData + wanted);
    *busUs = Dpc1BusTimeUs(s.config.baud, true, wanted);
  } else {
    memset(c.record + kRecData, 0, kSlaveDataMax);
    uint32_t n = 0;
    const uint32_t stamp = data != nullptr && s.stamping ? StampLength(wanted) : 0;
    if (stamp > 0) {
      n = stamp;
      WriteStamp(c.record + kRecData, n, DPSIM_LIB_DPMASTER, handle, Get16(request + kRecSeqNo),
                 kCnfKindRead);
    } else if (data != nullptr) {
      n = std::min<uint32_t>(wanted, static_cast<uint32_t>(data->size()));
      if (n > 0) memcpy(c.record + kRecData, data->data(), n);
    }
    c.record[kRecDataLen] = static_cast<uint8_t>(n);
    *busUs = Dpc1BusTimeUs(s.config.baud, false, n);
  }
  if (data == nullptr) {
    c.record[kRecDataLen] = 0;
    c.err.ErrClass = kErrClassNegative;
    c.err.ErrCode = kErrNoResponse;
  }
  return c;
}

// Kinds that are neither a read (7) nor a write (8) confirmation.
constexpr uint16_t kUnknownKinds[] = {0, 1, 6, 9, 42, 0x7FFF, 0xFFFF};

// The extra confirmations of the random faults that an accepted submission
// meets, each placed before or after the job's own at random.
void AddFaults(State& s, int32_t handle, DpHandle& h, const uint8_t* request,
               std::vector<Queued>* queue) {
  const uint32_t busUs = queue->front().busUs;
  auto place = [&](Queued q) {
    queue->insert(Random32() % 2 == 0 ? queue->begin() : queue->end(), q);
  };
  if (RollFault(DPSIM_FAULT_LATE, h.cp) && h.newestSeq != 0) {
    // Below the newest SeqNo, so that it cannot be the job the module waits
    // for (the module's own sequence skips 0).
    uint16_t old = static_cast<uint16_t>(h.newestSeq - 1 - Random32() % 8);
    if (old == 0) --old;
    uint8_t read[kRecordSize];
    memcpy(read, request, kRecordSize);
    Put16(read + kRecSeqNo, old);
    read[kRecDataLen] = static_cast<uint8_t>(kSlaveDataMax);
    Queued q;
    q.cnf = Execute(s, handle, h.cp, false, read, &q.busUs);
    place(q);
    CountFault(DPSIM_FAULT_LATE, handle);
  }
  if (RollFault(DPSIM_FAULT_UNKNOWN_KIND, h.cp)) {
    Queued q;
    q.cnf.kind = kUnknownKinds[Random32() % (sizeof(kUnknownKinds) / sizeof(kUnknownKinds[0]))];
    memcpy(q.cnf.record, request, kRecordSize);
    if (const uint32_t n = s.stamping ? StampLength(request[kRecDataLen]) : 0; n > 0) {
      memset(q.cnf.record + kRecData, 0, kSlaveDataMax);
      WriteStamp(q.cnf.record + kRecData, n, DPSIM_LIB_DPMASTER, handle, Get16(request + kRecSeqNo),
                 q.cnf.kind);
      q.cnf.record[kRecDataLen] = static_cast<uint8_t>(n);
    }
    q.busUs = busUs;
    place(q);
    CountFault(DPSIM_FAULT_UNKNOWN_KIND, handle);
  }
}

// Result block for an FDL request: the request echoed, marked as a done
// result, carrying the service's data (or a stamp). Under G().lock.
FdlResult Answer(int32_t fdlHandle, const Processor* cp, const uint8_t* request, uint32_t* busUs,
                 uint32_t baud) {
  FdlResult r;
  memcpy(r.block, request, kBlockSize);
  const uint16_t service = Get16(request + kBlkFdlService);
  const uint16_t requestLength = Get16(request + kBlkDataLength);
  const uint16_t limit = Get16(request + kBlkDataLimit);
  uint16_t code = 0;
  uint32_t stamp = 0;
  std::vector<uint8_t> data;
  if (service == kFdlServiceStatus || service == kFdlServiceSend) {
    if (G().stamping) stamp = StampLength(limit != 0 ? limit : kFdlDataMax);
    if (stamp == 0 && service == kFdlServiceStatus) {
      if (cp != nullptr) data = cp->fdlStatus;
      if (limit != 0 && data.size() > limit) data.resize(limit);
    }
  } else {
    code = kFdlUnsupportedService;
  }
  const uint16_t n =
      static_cast<uint16_t>(stamp > 0 ? stamp : std::min<size_t>(data.size(), kFdlDataMax));
  r.block[kBlkResultFlag] = 1;
  r.block[kBlkOperation] = 1;
  r.block[kBlkFdlDone] = 1;
  Put16(r.block + kBlkResultCode, code);
  Put16(r.block + kBlkDataOffset, kBlkData);
  Put16(r.block + kBlkDataLength, n);
  r.block[kBlkLengthByte] = static_cast<uint8_t>(n);
  memset(r.block + kBlkData, 0, kFdlDataMax);
  if (stamp > 0) {
    WriteStamp(r.block + kBlkData, stamp, DPSIM_LIB_FDL, fdlHandle, Get16(request + kBlkJobId),
               service);
  } else if (n > 0) {
    memcpy(r.block + kBlkData, data.data(), n);
  }
  r.result = 0;
  r.length = static_cast<uint16_t>(kBlockSize);
  *busUs = BusTimeUs(baud, std::min<uint32_t>(requestLength, kFdlDataMax), n);
  return r;
}

}  // namespace

void RunDpc1(State& s, int32_t handle, DpHandle& h, bool write, const uint8_t* rec,
             std::vector<Queued>* out) {
  if (const uint16_t seq = Get16(rec + kRecSeqNo); seq != 0) h.newestSeq = seq;
  out->resize(1);
  (*out)[0].cnf = Execute(s, handle, h.cp, write, rec, &(*out)[0].busUs);
  AddFaults(s, handle, h, rec, out);
  for (Queued& q : *out) q.delayUs = EffectiveDelay(q.busUs);
}

bool FdlWellFormed(const uint8_t* b) {
  return b[kBlkTag] == kBlockTag && b[kBlkLayer] == kFdlLayerTag &&
         b[kBlkSubsystem] == kSubsystemFdl && Get16(b + kBlkDataLength) <= kFdlDataMax;
}

void RunFdl(State& s, int32_t fdlHandle, FdlHandle& h, const uint8_t* request,
            std::vector<QueuedFdl>* out) {
  auto found = s.processors.find(h.cp);
  const Processor* cp = found != s.processors.end() ? &found->second : nullptr;
  out->resize(1);
  (*out)[0].res = Answer(fdlHandle, cp, request, &(*out)[0].busUs, s.config.baud);
  if (RollFault(DPSIM_FAULT_FDL_FOREIGN, h.cp)) {
    // A JobId below the request's, so that it is no job the module still
    // waits for.
    uint8_t other[kBlockSize];
    memcpy(other, request, kBlockSize);
    uint16_t id = static_cast<uint16_t>(Get16(request + kBlkJobId) - 1 - Random32() % 8);
    if (id == 0) --id;
    Put16(other + kBlkJobId, id);
    QueuedFdl q;
    q.res = Answer(fdlHandle, cp, other, &q.busUs, s.config.baud);
    out->insert(Random32() % 2 == 0 ? out->begin() : out->end(), q);
    CountFault(DPSIM_FAULT_FDL_FOREIGN, fdlHandle);
  }
  for (QueuedFdl& q : *out) q.delayUs = EffectiveDelay(q.busUs);
}

}  // namespace dpsim
