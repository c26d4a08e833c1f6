// Writes the seed corpus of the fuzz targets (fuzz/corpus/api,
// fuzz/corpus/worker and fuzz/corpus/wire), one file per seed, in the formats of ops.h. Each seed
// walks one path the fuzzer should start from; the fuzzer mutates them.
//
//   fuzz_make_seeds DIR      (fuzz/run.sh builds it; DIR is normally fuzz/corpus)
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "ops.h"
#include "protocol.h"

using namespace kxfuzz;

namespace {

class Seed {
 public:
  Seed& U8(unsigned v) {
    bytes.push_back(static_cast<uint8_t>(v));
    return *this;
  }
  Seed& U16(unsigned v) { return U8(v & 0xFF).U8((v >> 8) & 0xFF); }
  Seed& U32(uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
  Seed& Data(const std::vector<uint8_t>& data) {
    U8(static_cast<unsigned>(data.size()));
    bytes.insert(bytes.end(), data.begin(), data.end());
    return *this;
  }
  std::vector<uint8_t> bytes;
};

std::vector<uint8_t> Counting(size_t n, uint8_t start) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(start + i);
  return v;
}

// The byte DecodeHandle() turns into `handle`.
unsigned H(int32_t handle) {
  for (unsigned i = 0; i < 16; ++i) {
    if (kHandleArgs[i] == handle) return i;
  }
  return 0;
}

// ---- fuzz_api -------------------------------------------------------------------

Seed& Open(Seed& s, unsigned name = kNameVcp1, unsigned fault = kOpenFine) {
  return s.U8(kApiOpen).U8(name).U8(fault);
}
Seed& Close(Seed& s, int32_t h, bool dpCloseFails = false) {
  return s.U8(kApiClose).U8(H(h)).U8(dpCloseFails);
}

struct Job {
  unsigned subsystem = kSubsysDpc1;
  unsigned rawSubsystem = 0;
  unsigned operation = '0';
  unsigned jobId = 1;
  std::vector<uint8_t> at38 = {3, 0, 0, 0, 0};  // slave / service, params
  unsigned dataLength = 0;
  std::vector<uint8_t> data;
};

Seed& Send(Seed& s, int32_t h, const Job& job, unsigned length = kLength340,
           unsigned fault = kSendFine) {
  s.U8(kApiSend).U8(H(h)).U8(length);
  if (length == kLengthRaw) s.U16(340);
  s.U8(kBlockFields).U8(job.subsystem);
  if (job.subsystem == kSubsysRaw) s.U8(job.rawSubsystem);
  s.U8(job.operation).U16(job.jobId);
  for (uint8_t b : job.at38) s.U8(b);
  return s.U16(job.dataLength).Data(job.data).U8(0x5A).U8(fault);
}
Seed& SendNull(Seed& s, int32_t h) {
  return s.U8(kApiSend).U8(H(h)).U8(kLength340).U8(kBlockNull).U8(kSendFine);
}
Seed& SendRaw(Seed& s, int32_t h, const std::vector<uint8_t>& block) {
  s.U8(kApiSend).U8(H(h)).U8(kLength340).U8(kBlockRaw);
  for (uint8_t b : block) s.U8(b);
  return s.U8(kSendFine);
}
Seed& Receive(Seed& s, int32_t h, unsigned flags = 0) {
  return s.U8(kApiReceive).U8(H(h)).U8(flags).U8(0x33).U32(0).U32(0);
}
Seed& SetWindow(Seed& s, int32_t h, unsigned window, unsigned msg, uint32_t raw = 0) {
  s.U8(kApiSetWindow).U8(H(h)).U8(window);
  if (window == kWindowRaw) s.U32(raw);
  s.U8(msg);
  if (msg == kMsgRaw) s.U32(raw);
  return s;
}

Job Read(unsigned jobId, uint8_t slave) {
  Job j;
  j.jobId = jobId;
  j.at38 = {slave, 0, 0, 0, 0};
  return j;
}
Job Write(unsigned jobId, uint8_t slave, unsigned dataLength, std::vector<uint8_t> data) {
  Job j;
  j.operation = '1';
  j.jobId = jobId;
  j.at38 = {slave, 0x11, 0x22, 0x33, 0x44};
  j.dataLength = dataLength;
  j.data = std::move(data);
  return j;
}
Job Fdl(unsigned jobId, unsigned service) {
  Job j;
  j.subsystem = kSubsysFdl;
  j.operation = 0;
  j.jobId = jobId;
  j.at38 = {static_cast<uint8_t>(service), static_cast<uint8_t>(service >> 8), 0, 0, 0};
  return j;
}

std::vector<std::pair<std::string, Seed>> ApiSeeds() {
  std::vector<std::pair<std::string, Seed>> out;
  auto add = [&](const char* name) -> Seed& { return out.emplace_back(name, Seed()).second; };

  Close(Open(add("open-close")), 0);
  {
    Seed& s = add("open-nine");
    for (int i = 0; i < 9; ++i) Open(s, i % 2 ? kNameVcp2 : kNameVcp1);
    Close(Close(s, 3), 5);
    Open(Open(Open(s)));
  }
  {
    Seed& s = add("open-every-name");
    for (unsigned n = 0; n < kNameCount; ++n) Open(s, n);
  }
  {
    Seed& s = add("open-every-fault");
    for (unsigned f = 0; f < kOpenFaultCount; ++f) Open(s, kNameVcp1, f);
  }
  {
    Seed& s = add("close-every-handle");
    Open(s);
    for (int32_t h : {-1, 1, 7, 8, 9, -2, 255, 256, INT32_MIN, INT32_MAX, 0, 0}) Close(s, h);
  }
  Close(Close(Open(add("close-dp-close-fails")), 0, true), 0);
  Receive(Send(Open(add("send-read")), 0, Read(0x0777, 3)), 0);
  Send(Open(add("send-write")), 0, Write(0x0101, 4, 6, Counting(6, 0x61)));
  Send(Open(add("send-write-240")), 0, Write(2, 4, 240, Counting(240, 1)));
  Send(Open(add("send-write-over-240")), 0, Write(3, 4, 241, Counting(250, 1)));
  Send(Open(add("send-write-length-ffff")), 0, Write(4, 4, 0xFFFF, Counting(255, 9)));
  Send(Send(Send(Open(add("send-fdl")), 0, Fdl(5, 11)), 0, Fdl(6, 26)), 0, Fdl(7, 12));
  Send(Open(add("send-fdl-without-companion"), kNameVcp1, kOpenCompanionRefused), 0, Fdl(8, 26));
  {
    Seed& s = add("send-other-operations");
    Open(s);
    Job j = Read(9, 3);
    j.operation = '2';
    Send(s, 0, j);
    j.operation = 'x';
    Send(s, 0, j);
    Send(s, 0, Read(10, 3));
  }
  {
    Seed& s = add("send-invalid-subsystem");
    Open(s);
    Job j = Read(11, 3);
    j.subsystem = kSubsysRaw;
    for (unsigned sub : {0x29u, 0x00u, 0x27u, 0xFFu}) {
      j.rawSubsystem = sub;
      Send(s, 0, j);
    }
  }
  {
    Seed& s = add("send-lengths");
    Open(s);
    for (unsigned l : {kLength0, kLength1, kLength339, kLength341, kLengthMax, kLengthRaw}) {
      Send(s, 0, Read(12, 3), l);
    }
  }
  SendNull(Open(add("send-null-block")), 0);
  {
    std::vector<uint8_t> raw(340, 0);
    raw[12] = 0x28;
    raw[13] = '1';
    raw[16] = 0xF0;
    raw[38] = 5;
    for (size_t i = 80; i < 340; ++i) raw[i] = static_cast<uint8_t>(i);
    SendRaw(Open(add("send-raw-write")), 0, raw);
  }
  {
    Seed& s = add("send-refused");
    Open(s);
    Send(s, 0, Read(13, 3), kLength340, kSendRefusedClass0);
    Send(s, 0, Write(14, 3, 2, {1, 2}), kLength340, kSendRefusedClass2);
    Send(s, 0, Fdl(15, 11), kLength340, kSendFdlRefused);
  }
  {
    Seed& s = add("send-every-handle");
    Close(Open(Open(s)), 1);
    for (int32_t h : {-1, 1, 7, 8, INT32_MIN, INT32_MAX}) Send(s, h, Read(16, 3));
  }
  {
    Seed& s = add("receive-refusals");
    Close(Open(Open(s)), 1);
    Receive(Receive(Receive(Receive(Receive(s, -1), 8), 1), 0, 1), 0, 2);
    Receive(Receive(s, 0, 3), 0);
  }
  {
    Seed& s = add("set-window");
    Open(s);
    SetWindow(s, 0, kWindowLive, kMsgUser);
    SetWindow(s, 0, kWindowLive, kMsg1);
    SetWindow(s, 0, kWindowLive, kMsgRaw, 0xFFFFFFFE);
    SetWindow(s, 0, kWindowLive, kMsg0);
    SetWindow(s, 0, kWindowLive, kMsgAllOnes);
    SetWindow(s, 0, kWindowNull, kMsgUser);
    SetWindow(s, 0, kWindowDestroyed, kMsgUser);
    SetWindow(s, 0, kWindowRaw, kMsgUser, 0x1234);
    SetWindow(s, -1, kWindowLive, kMsgUser);
    SetWindow(s, 8, kWindowLive, kMsgUser);
    SetWindow(s, 1, kWindowLive, kMsgUser);
  }
  add("set-any-window-and-errno").U8(kApiSetAnyWindow).U32(0x1234).U8(kApiGetErrno);
  {
    Seed& s = add("closed-channel");
    Close(Open(s), 0);
    Send(s, 0, Read(17, 3));
    Receive(s, 0);
    SetWindow(s, 0, kWindowLive, kMsgUser);
    Close(s, 0);
  }
  {
    Seed& s = add("mixed");
    Open(Open(s, kNameVcp2), kName63);
    Send(s, 1, Write(18, 5, 3, {7, 8, 9}));
    SetWindow(s, 1, kWindowLive, kMsgUser);
    Send(s, 0, Fdl(19, 26));
    Receive(s, 1);
    Close(s, 0);
    Open(s, kNameVcp1, kOpenWorkerRefused);
    Open(s, kNameVcp1, kOpenDpRefused);
    Send(s, 0, Read(20, 3));
    Receive(s, 0);
    s.U8(kApiGetErrno);
  }
  return out;
}

// ---- fuzz_worker ----------------------------------------------------------------

Seed& SendRead(Seed& s, unsigned jobId, uint8_t slave = 3) {
  return s.U8(kWkSendRead).U16(jobId).U8(slave);
}
Seed& SendWrite(Seed& s, unsigned jobId, uint8_t slave, const std::vector<uint8_t>& data,
                unsigned dataLength = 0xFFFFFFFF) {
  s.U8(kWkSendWrite).U16(jobId).U8(slave).U8(slave).U8(0x22).U16(0x4433);
  return s.U16(dataLength == 0xFFFFFFFF ? data.size() : dataLength).Data(data);
}
Seed& SendFdl(Seed& s, unsigned jobId, unsigned service) {
  return s.U8(kWkSendFdl).U16(jobId).U16(service);
}
Seed& SendOther(Seed& s, unsigned jobId, unsigned subsystem, unsigned operation,
                unsigned service = 0) {
  return s.U8(kWkSendOther).U16(jobId).U8(subsystem).U8(operation).U16(service);
}
Seed& Cnf(Seed& s, unsigned kind, unsigned seq, unsigned dataLen,
          const std::vector<uint8_t>& data = {}, unsigned errClass = kErrDone, uint8_t param1 = 0,
          unsigned rawKind = 0) {
  s.U8(kWkInjectCnf).U8(kind);
  if (kind == kCnfKindRaw) s.U16(rawKind);
  s.U8(0).U8(seq).U8(dataLen).U8(param1).Data(data);
  return s.U8(errClass).U32(errClass == kErrNegative ? 0x11 : 0).U16(0).U8(0);
}
struct FdlBlock {
  unsigned jobId = kSeqCurrent;
  unsigned service = 26;
  unsigned resultCode = 0;
  unsigned dataLength = 4;
  unsigned word60 = 0x6161;
  std::vector<uint8_t> data = {2, 0, 0, 0x7E};
};
Seed& FdlResult(Seed& s, const FdlBlock& b, unsigned result = kFdlResultZero,
                unsigned length = kFdlLengthFull) {
  s.U8(kWkInjectFdl).U8(result).U8(length).U8(0).U8(b.jobId);
  return s.U16(b.service).U16(b.resultCode).U16(b.dataLength).U16(b.word60).Data(b.data).U8(0xCC);
}
Seed& Step(Seed& s, int n = 1) {
  for (int i = 0; i < n; ++i) s.U8(kWkStep);
  return s;
}
Seed& Take(Seed& s) { return s.U8(kWkReceive).U8(0x11); }
Seed& Register(Seed& s, unsigned msg = kMsgUser) { return s.U8(kWkRegister).U8(msg); }

std::vector<std::pair<std::string, Seed>> WorkerSeeds() {
  std::vector<std::pair<std::string, Seed>> out;
  auto add = [&](const char* name) -> Seed& { return out.emplace_back(name, Seed()).second; };

  Step(add("idle-steps"), 3);
  Take(Step(Cnf(SendRead(add("read"), 0x0777), kCnfRead, kSeqCurrent, 17, Counting(17, 0x40))));
  Take(Step(
      Cnf(SendRead(add("read-over-240"), 2), kCnfRead, kSeqCurrent, 250, Counting(246, 0x80))));
  Take(Step(Cnf(SendRead(add("read-no-answer"), 3), kCnfRead, kSeqCurrent, 0, {}, kErrNegative)));
  Take(Step(Cnf(add("read-before-any-job"), kCnfRead, kSeqZero, 2, {9, 8})));
  {
    Seed& s = add("read-late");
    SendRead(SendRead(s, 1), 2);
    Cnf(s, kCnfRead, kSeqCurrent, 1, {1});
    Cnf(s, kCnfRead, kSeqPrevious, 1, {2});
    Take(Step(s, 2));
  }
  {
    Seed& s = add("write");
    SendWrite(s, 0x0101, 4, Counting(6, 0x61));
    Cnf(s, kCnfWrite, kSeqCurrent, 6, Counting(6, 0x61), kErrDone, 4);
    Step(s, 2);  // into the pause, then through it: the read-back goes out
    Cnf(s, kCnfRead, kSeqZero, 6, Counting(6, 0x61));
    Take(Step(s));
  }
  {
    Seed& s = add("write-notified");
    Register(s);
    SendWrite(s, 0x0102, 5, {1, 2, 3});
    Cnf(s, kCnfWrite, kSeqCurrent, 3, {1, 2, 3}, kErrDone, 5);
    Step(s, 2);
    Cnf(s, kCnfRead, kSeqZero, 3, {1, 2, 3});
    Take(Step(s));
  }
  {
    Seed& s = add("write-given-up-in-pause");
    SendWrite(s, 7, 4, {1});
    Cnf(s, kCnfWrite, kSeqCurrent, 1, {1}, kErrDone, 4);
    Step(s);
    SendRead(s, 8);
    Take(Step(s));
    Cnf(s, kCnfRead, kSeqZero, 1, {1});
    Take(Step(s));
  }
  {
    Seed& s = add("write-read-back-refused");
    SendWrite(s, 9, 4, {1, 2});
    Cnf(s, kCnfWrite, kSeqCurrent, 2, {1, 2}, kErrDone, 4);
    s.U8(kWkRefuseNext).U8(0);
    Take(Step(s, 2));
  }
  {
    Seed& s = add("write-twice-confirmed");
    SendWrite(s, 10, 4, {5});
    Cnf(s, kCnfWrite, kSeqCurrent, 1, {5}, kErrDone, 4);
    Cnf(s, kCnfWrite, kSeqCurrent, 1, {5}, kErrDone, 4);
    Step(s, 4);
    Cnf(s, kCnfRead, kSeqZero, 1, {5});
    Take(Step(s));
    Cnf(s, kCnfRead, kSeqZero, 1, {5}, kErrNegative);
    Take(Step(s));
  }
  Take(Step(Cnf(SendRead(add("write-confirmation-for-a-read"), 11), kCnfWrite, kSeqCurrent, 0)));
  {
    Seed& s = add("write-data-over-240");
    SendWrite(s, 12, 3, Counting(255, 0), 0xFFFF);
    Cnf(s, kCnfWrite, kSeqCurrent, 240, {}, kErrDone, 3);
    Step(s, 2);
    Cnf(s, kCnfRead, kSeqZero, 240, Counting(240, 0));
    Take(Step(s));
  }
  Take(Step(FdlResult(SendFdl(add("fdl-status"), 0x0505, 26), FdlBlock())));
  {
    FdlBlock b;
    b.service = 11;
    b.dataLength = 0;
    b.data = {};
    Take(Step(FdlResult(SendFdl(add("fdl-send"), 0x0606, 11), b)));
  }
  {
    FdlBlock b;
    b.dataLength = 0xFFFF;
    b.data = Counting(255, 3);
    Take(Step(FdlResult(SendFdl(add("fdl-length-ffff"), 13, 26), b)));
  }
  {
    FdlBlock b;
    b.dataLength = 261;
    b.data = Counting(255, 7);
    Take(Step(FdlResult(SendFdl(add("fdl-length-261"), 14, 26), b)));
  }
  {
    Seed& s = add("fdl-late-and-undefined");
    SendFdl(SendFdl(s, 15, 26), 16, 26);
    FdlBlock late;
    late.jobId = kSeqPrevious;
    FdlResult(s, late);
    FdlBlock undefined;
    undefined.service = 12;
    FdlResult(s, undefined);
    Take(Step(s, 2));
  }
  {
    Seed& s = add("fdl-refused-and-empty");
    SendFdl(s, 17, 26);
    FdlResult(s, FdlBlock(), kFdlResultFailed);
    FdlResult(s, FdlBlock(), kFdlResultZero, kFdlLengthZero);
    FdlResult(s, FdlBlock(), kFdlResultZero, kFdlLengthOne);
    Take(Step(s, 3));
  }
  {
    Seed& s = add("fdl-waits-for-dpc1");
    SendFdl(s, 18, 26);
    FdlResult(s, FdlBlock());
    Cnf(s, kCnfRead, kSeqPrevious, 1, {1});
    Step(s);
    Take(s);
    Take(Step(s));
  }
  {
    Seed& s = add("unknown-kind");
    SendRead(s, 19);
    Cnf(s, kCnfRead, kSeqCurrent, 1, {1});
    Step(s);
    Cnf(s, kCnfKindRaw, kSeqCurrent, 1, {1}, kErrDone, 0, 42);
    Take(Step(s));
  }
  {
    Seed& s = add("notify-read");
    Register(s);
    SendRead(s, 20);
    Cnf(s, kCnfRead, kSeqCurrent, 4, {1, 2, 3, 4});
    Take(Step(s));
  }
  {
    Seed& s = add("notify-registered-late");
    SendRead(s, 21);
    Cnf(s, kCnfRead, kSeqCurrent, 1, {1});
    Step(s);
    Register(s, kMsg1);
    FdlResult(s, FdlBlock());  // a pass that stores nothing, then posts the pending result
    Take(Step(s));
    Register(s, kMsg0);
  }
  {
    Seed& s = add("unconverted-job-drops-result");
    SendRead(s, 22);
    Cnf(s, kCnfRead, kSeqCurrent, 1, {1});
    Step(s);
    SendOther(s, 23, 0x28, '2');
    Take(s);
    SendOther(s, 24, 0x22, 0, 12);
    SendOther(s, 25, 0x30, '0');
    Take(s);
  }
  {
    Seed& s = add("refused-fdl-send");
    s.U8(kWkRefuseNext).U8(1);
    SendFdl(s, 26, 26);
    FdlResult(s, FdlBlock());
    Take(Step(s));
  }
  {
    Seed& s = add("raw-record-and-block");
    SendRead(s, 27);
    // A record of the job's first sequence number claiming 255 bytes.
    std::vector<uint8_t> record = Counting(262, 0);
    record[0] = 1;
    record[1] = 0;
    record[15] = 0xFF;
    s.U8(kWkInjectCnf).U8(kCnfRead).U8(1);
    for (uint8_t b : record) s.U8(b);
    s.U8(kErrDone).U32(0).U16(0).U8(0);
    Take(Step(s));
    // A block of the second job, service 11, claiming 0xFFFF bytes.
    std::vector<uint8_t> block = Counting(340, 0);
    block[5] = 2;
    block[6] = 0;
    block[16] = block[17] = 0xFF;
    block[38] = 11;
    block[39] = 0;
    SendFdl(s, 28, 11);
    s.U8(kWkInjectFdl).U8(kFdlResultZero).U8(kFdlLengthFull).U8(1);
    for (uint8_t b : block) s.U8(b);
    Take(Step(s));
  }
  {
    Seed& s = add("mixed");
    Register(s);
    SendWrite(s, 29, 3, {1, 2, 3});
    Cnf(s, kCnfWrite, kSeqCurrent, 3, {1, 2, 3}, kErrDone, 3);
    FdlResult(s, FdlBlock());
    Step(s);
    Take(s);
    Step(s);
    Cnf(s, kCnfRead, kSeqZero, 3, {1, 2, 3}, kErrNegative);
    Step(s);
    Take(s);
    SendFdl(s, 30, 26);
    FdlResult(s, FdlBlock());
    Take(Step(s, 2));
  }
  return out;
}

// fuzz_wire: streams of frames as a connection delivers them, one message
// of each kind, the handshake first.
std::vector<std::pair<std::string, Seed>> WireSeeds() {
  using namespace dpsim::wire;
  std::vector<std::pair<std::string, Seed>> out;
  auto add = [&](const std::string& name, std::vector<Message> messages) {
    Seed s;
    for (const Message& m : messages) Encode(m, &s.bytes);
    out.emplace_back(name, s);
  };
  Message hello;
  hello.type = kHello;
  hello.pid = 1234;
  hello.name = "zelcli";
  for (size_t i = 0; i < sizeof hello.nonce; ++i) hello.nonce[i] = static_cast<uint8_t>(i);
  Message proof;
  proof.type = kProof;
  proof.proof[0] = 0x5A;
  Message open;
  open.type = kOpen;
  open.name = "VCP1";
  Message job;
  job.type = kJob;
  job.handle = 1;
  job.record[2] = 4;
  job.record[15] = 8;
  Message fdl;
  fdl.type = kFdl;
  fdl.handle = 256;
  fdl.block[38] = 26;
  add("library", {hello, proof, open, job, fdl});
  Message set;
  set.type = kSet;
  set.name = "VCP1";
  set.slave = 3;
  set.data = {1, 2, 3};
  Message fault;
  fault.type = kFault;
  fault.flags = kFlagJson;
  fault.name = "VCP1";
  fault.fault = 3;
  fault.rate = 50000;
  Message load;
  load.type = kLoad;
  load.text = "processor VCP1\nslave 3 text abc\n";
  Message status;
  status.type = kStatus;
  add("control", {hello, proof, set, fault, load, status});
  Message reply;
  reply.type = kJobReply;
  reply.errClass = 1;
  reply.cnfs.resize(2);
  reply.cnfs[0].kind = 7;
  reply.cnfs[1].kind = 9;
  Message fdlReply;
  fdlReply.type = kFdlReply;
  fdlReply.results.resize(1);
  Message text;
  text.type = kText;
  text.text = "done";
  Message helloReply;
  helloReply.type = kHelloReply;
  helloReply.proof[0] = 0xA5;
  add("replies", {helloReply, reply, fdlReply, text});
  return out;
}

bool WriteAll(const std::filesystem::path& dir,
              const std::vector<std::pair<std::string, Seed>>& seeds) {
  std::filesystem::create_directories(dir);
  for (const auto& [name, seed] : seeds) {
    const std::filesystem::path file = dir / name;
    FILE* f = fopen(file.string().c_str(), "wb");
    if (f == nullptr || fwrite(seed.bytes.data(), 1, seed.bytes.size(), f) != seed.bytes.size()) {
      fprintf(stderr, "fuzz_make_seeds: cannot write %s\n", file.string().c_str());
      if (f != nullptr) fclose(f);
      return false;
    }
    fclose(f);
  }
  printf("%zu seeds in %s\n", seeds.size(), dir.string().c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: fuzz_make_seeds DIR\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  return WriteAll(dir / "api", ApiSeeds()) && WriteAll(dir / "worker", WorkerSeeds()) &&
                 WriteAll(dir / "wire", WireSeeds())
             ? 0
             : 1;
}
