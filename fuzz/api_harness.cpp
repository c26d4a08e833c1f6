#include "api_harness.h"

#include <memory>

#include "dpsim.h"
#include "harness_support.h"
#include "message_window.h"
#include "ops.h"
#include "platform.h"
#include "zel.h"

namespace kxfuzz {
namespace {

constexpr int kChannels = 8;
// The stand-in's SlaveLookup hands out this base with the address in the low byte.
constexpr uint32_t kSlaveRefBase = 0x51A70000u;
constexpr size_t kRecordSize = 262;

struct Fixtures {
  plat::Window live = nullptr;
  plat::Window destroyed = nullptr;
  std::string name63;
  std::string name64;
  std::string name300;
};

Fixtures& Fix() {
  static Fixtures f;
  return f;
}

struct ChannelModel {
  bool open = false;
  bool workerRunning = false;  // false once a close stopped it but DP_close failed
  bool fdl = false;
  uint16_t seq = 0;  // JobSeq of the job in progress
};

bool IsIndex(int32_t h) { return h >= 0 && h < kChannels; }

uint16_t NextSeq(uint16_t seq) {
  const uint16_t next = static_cast<uint16_t>(seq + 1);
  return next == 0 ? 1 : next;
}

// A submission the stand-in logged: which one and what it was handed.
struct Submission {
  std::string op;
  std::vector<uint8_t> data;
};

std::vector<Submission> SubmissionsSince(uint32_t first) {
  std::vector<Submission> out;
  DpSimCall c;
  for (uint32_t i = first; DpSim_LogGet(i, &c) == 0; ++i) {
    const bool dpc1 = c.lib == DPSIM_LIB_DPMASTER &&
                      (std::strcmp(c.op, "Dpc1Read") == 0 || std::strcmp(c.op, "Dpc1Write") == 0);
    const bool fdl = c.lib == DPSIM_LIB_FDL && std::strcmp(c.op, "ZEL_send") == 0;
    if (dpc1 || fdl) out.push_back({dpc1 ? c.op : "fdl", {c.data, c.data + c.dataLen}});
  }
  return out;
}

void DisarmScripts() {
  for (int what : {DPSIM_OPEN_ERRCLASS, DPSIM_INITSEMA_RESULT, DPSIM_FDL_OPEN_RESULT,
                   DPSIM_CLOSE_RESULT, DPSIM_SUBMIT_ERRCLASS, DPSIM_FDL_SEND_RESULT}) {
    DpSim_Script(what, 0, 0);
  }
}

class ApiRun {
 public:
  ApiRun(const uint8_t* data, size_t size, const AfterOp& afterOp)
      : in_(data, size), afterOp_(afterOp) {}

  std::string Run() {
    DpSim_Reset();
    DpSim_SetTrace(TraceTarget());
    DpSim_SetAutoConfirm(0);
    DpSim_SetSlave(Fix().name63.c_str(), 3, "ab", 2);
    if (DpSim_OpenDpHandles() != 0 || DpSim_OpenFdlHandles() != 0) {
      v_.Fail("the stand-in still holds handles from an earlier run");
    }
    static const char* const kNames[kApiOpCount] = {
        "open", "close", "send", "receive", "set-window", "set-any-window", "get-errno"};
    for (int i = 0; i < kMaxOps && !in_.Done() && !v_.Failed(); ++i) {
      const uint8_t op = in_.U8() % kApiOpCount;
      v_.SetOp(i, kNames[op]);
      switch (op) {
        case kApiOpen:
          Open();
          break;
        case kApiClose:
          Close();
          break;
        case kApiSend:
          Send();
          break;
        case kApiReceive:
          Receive();
          break;
        case kApiSetWindow:
          SetWindow();
          break;
        case kApiSetAnyWindow: {
          const uintptr_t any = in_.U32();
          const int32_t r = SetTalvoHWnd(reinterpret_cast<void*>(any));
          if (r != 0) v_.Fail("SetTalvoHWnd returned %d", r);
          break;
        }
        case kApiGetErrno:
          GetErrno();
          break;
      }
      if (afterOp_) afterOp_(i);
    }
    v_.SetOp(-1, "clean-up");
    CleanUp();
    // Everything the stand-in allocated for this run is given back within it,
    // so that the fuzzer's leak check sees a run that frees what it takes.
    DpSim_Reset();
    return v_.Message();
  }

 private:
  const char* Name(uint8_t sel, bool* valid) {
    *valid = false;
    switch (sel) {
      case kNameNull:
        return nullptr;
      case kNameEmpty:
        return "";
      case kNameVcp1:
        *valid = true;
        return "VCP1";
      case kNameVcp2:
        *valid = true;
        return "VCP2";
      case kNameUnknown:
        return "VCP3";
      case kNameWrongCase:
        return "vcp1";
      case kName63:
        *valid = true;
        return Fix().name63.c_str();
      case kName64:
        return Fix().name64.c_str();
      default:
        return Fix().name300.c_str();
    }
  }

  void Open() {
    const uint8_t nameSel = in_.U8() % kNameCount;
    const uint8_t fault = in_.U8() % kOpenFaultCount;
    bool valid = false;
    const char* name = Name(nameSel, &valid);
    int lowestFree = -1;
    for (int h = kChannels - 1; h >= 0; --h) {
      if (!ch_[h].open) lowestFree = h;
    }
    if (fault == kOpenDpRefused) DpSim_Script(DPSIM_OPEN_ERRCLASS, 2, 1);
    if (fault == kOpenWorkerRefused) DpSim_Script(DPSIM_INITSEMA_RESULT, -1, 1);
    if (fault == kOpenCompanionRefused) DpSim_Script(DPSIM_FDL_OPEN_RESULT, -1, 1);
    const int32_t r = ZEL_open(name);
    DisarmScripts();

    const bool refused = fault == kOpenDpRefused || fault == kOpenWorkerRefused;
    const int32_t want =
        (!valid || lowestFree < 0 || refused) ? ZEL_NO_DEVICE_AVAILABLE : lowestFree;
    if (r != want) {
      v_.Fail("ZEL_open(name %u, fault %u) returned %d, expected %d", nameSel, fault, r, want);
      return;
    }
    if (IsIndex(r)) {
      ch_[r] = ChannelModel();
      ch_[r].open = true;
      ch_[r].workerRunning = true;
      ch_[r].fdl = fault != kOpenCompanionRefused;
    }
    CheckHeld();
  }

  void Close() {
    const int32_t h = DecodeHandle(in_.U8());
    const bool dpCloseFails = (in_.U8() & 1) != 0;
    if (dpCloseFails) DpSim_Script(DPSIM_CLOSE_RESULT, 1, 1);
    const int32_t r = ZEL_close(h);
    DisarmScripts();
    const bool open = IsIndex(h) && ch_[h].open;
    const int32_t want = (!open || dpCloseFails) ? ZEL_CLOSE_FAILED : 0;
    if (r != want) {
      v_.Fail("ZEL_close(%d) returned %d, expected %d", h, r, want);
      return;
    }
    if (open && dpCloseFails) ch_[h].workerRunning = false;  // stopped, but still open
    if (open && !dpCloseFails) ch_[h] = ChannelModel();
    CheckHeld();
  }

  // An exactly 340-byte block on the heap, so that a read past it is caught;
  // null for kBlockNull.
  std::unique_ptr<uint8_t[]> ReadBlock() {
    const uint8_t kind = in_.U8() % kBlockKindCount;
    if (kind == kBlockNull) return nullptr;
    std::unique_ptr<uint8_t[]> b(new uint8_t[ZEL_BLOCK_SIZE]);
    if (kind == kBlockRaw) {
      in_.Bytes(b.get(), ZEL_BLOCK_SIZE);
      return b;
    }
    const uint8_t subsystemSel = in_.U8() % kSubsysCount;
    const uint8_t subsystem = subsystemSel == kSubsysDpc1  ? ZEL_SUBSYSTEM_DPC1
                              : subsystemSel == kSubsysFdl ? ZEL_SUBSYSTEM_FDL
                                                           : in_.U8();
    const uint8_t operation = in_.U8();
    const uint16_t jobId = in_.U16();
    uint8_t addressing[5];
    in_.Bytes(addressing, sizeof addressing);
    const uint16_t dataLength = in_.U16();
    size_t count = in_.U8();
    if (count > ZEL_DATA_MAX) count = ZEL_DATA_MAX;
    uint8_t data[ZEL_DATA_MAX];
    in_.Bytes(data, count);
    const uint8_t filler = in_.U8();
    for (size_t i = 0; i < ZEL_BLOCK_SIZE; ++i) b[i] = static_cast<uint8_t>(filler + i * 3);
    b[ZEL_OFS_SUBSYSTEM] = subsystem;
    b[ZEL_OFS_OPERATION] = operation;
    PutLe16(&b[ZEL_OFS_JOB_ID], jobId);
    std::memcpy(&b[ZEL_OFS_SLAVE_ADDRESS], addressing, sizeof addressing);
    PutLe16(&b[ZEL_OFS_DATA_LENGTH], dataLength);
    std::memcpy(&b[ZEL_OFS_DATA], data, count);
    return b;
  }

  void Send() {
    const int32_t h = DecodeHandle(in_.U8());
    static const uint16_t kLengths[kLengthCount] = {0, 1, 340, 339, 341, 0xFFFF, 0};
    const uint8_t lengthSel = in_.U8() % kLengthCount;
    const uint16_t length = lengthSel == kLengthRaw ? in_.U16() : kLengths[lengthSel];
    const std::unique_ptr<uint8_t[]> block = ReadBlock();
    const uint8_t fault = in_.U8() % kSendFaultCount;
    std::vector<uint8_t> before;
    if (block) before.assign(block.get(), block.get() + ZEL_BLOCK_SIZE);

    if (fault == kSendRefusedClass0) DpSim_Script(DPSIM_SUBMIT_ERRCLASS, 0, 1);
    if (fault == kSendRefusedClass2) DpSim_Script(DPSIM_SUBMIT_ERRCLASS, 2, 1);
    if (fault == kSendFdlRefused) DpSim_Script(DPSIM_FDL_SEND_RESULT, -1, 1);
    const uint32_t logStart = DpSim_LogCount();
    const int32_t r = ZEL_send(h, length, block.get());
    DisarmScripts();

    // What the exports promise for this call, and what must reach the stand-in.
    int32_t want = -1;
    std::vector<uint8_t> expected;
    std::string expectedOp;
    if (length != 0 && block && IsIndex(h) && ch_[h].open && !ch_[h].workerRunning) {
      want = -1;  // a close stopped the worker: nothing would collect a result
    } else if (length != 0 && block && IsIndex(h) && ch_[h].open) {
      ChannelModel& ch = ch_[h];
      const uint8_t* b = block.get();
      if (b[ZEL_OFS_SUBSYSTEM] == ZEL_SUBSYSTEM_FDL) {
        // Without the companion every FDL job is refused.
        const uint16_t service = Le16(b + ZEL_OFS_FDL_SERVICE);
        if (!ch.fdl) {
          want = -1;
        } else if (service != ZEL_FDL_SERVICE_11 && service != ZEL_FDL_SERVICE_26) {
          want = 0;
        } else {
          ch.seq = NextSeq(ch.seq);
          want = fault == kSendFdlRefused ? -1 : 0;
          expectedOp = "fdl";
          expected = FdlRequest(ch.seq, service);
        }
      } else if (b[ZEL_OFS_SUBSYSTEM] == ZEL_SUBSYSTEM_DPC1) {
        const uint8_t operation = b[ZEL_OFS_OPERATION];
        if (operation != ZEL_OPERATION_READ && operation != ZEL_OPERATION_WRITE) {
          want = 0;
        } else {
          ch.seq = NextSeq(ch.seq);
          const bool refused = fault == kSendRefusedClass0 || fault == kSendRefusedClass2;
          want = refused ? -1 : 0;
          expectedOp = operation == ZEL_OPERATION_READ ? "Dpc1Read" : "Dpc1Write";
          expected = Dpc1Request(ch.seq, b);
        }
      } else {
        want = ZEL_INVALID_SUBSYSTEM;
      }
    }
    if (r != want) {
      v_.Fail("ZEL_send(%d, %u, %s) returned %d, expected %d", h, length, block ? "block" : "null",
              r, want);
      return;
    }
    if (block && std::memcmp(block.get(), before.data(), ZEL_BLOCK_SIZE) != 0) {
      v_.Fail("ZEL_send wrote into the application's job block");
      return;
    }
    const std::vector<Submission> sent = SubmissionsSince(logStart);
    if (expectedOp.empty()) {
      if (!sent.empty()) v_.Fail("ZEL_send returned %d but submitted %s", r, sent[0].op.c_str());
      return;
    }
    if (sent.size() != 1 || sent[0].op != expectedOp) {
      v_.Fail("expected one %s submission, the stand-in saw %d", expectedOp.c_str(),
              static_cast<int>(sent.size()));
      return;
    }
    if (sent[0].data != expected) {
      size_t at = 0;
      while (at < expected.size() && at < sent[0].data.size() && sent[0].data[at] == expected[at]) {
        ++at;
      }
      v_.Fail("%s submitted a record that differs from the job at byte %d", expectedOp.c_str(),
              static_cast<int>(at));
    }
  }

  // The record a DPC1 job must reach the DP master library as.
  static std::vector<uint8_t> Dpc1Request(uint16_t seq, const uint8_t* job) {
    std::vector<uint8_t> r(kRecordSize, 0);
    PutLe16(&r[0], seq);
    const uint32_t ref = kSlaveRefBase | job[ZEL_OFS_SLAVE_ADDRESS];
    for (int i = 0; i < 4; ++i) r[2 + i] = static_cast<uint8_t>(ref >> (8 * i));
    if (job[ZEL_OFS_OPERATION] == ZEL_OPERATION_READ) {
      r[15] = ZEL_DPC1_DATA_MAX;
    } else {
      r[7] = job[ZEL_OFS_DPC1_PARAM1];
      r[8] = job[ZEL_OFS_DPC1_PARAM2];
      r[9] = job[ZEL_OFS_DPC1_PARAM3];
      r[10] = job[ZEL_OFS_DPC1_PARAM3 + 1];
      uint16_t n = Le16(job + ZEL_OFS_DATA_LENGTH);
      if (n > ZEL_DPC1_DATA_MAX) n = ZEL_DPC1_DATA_MAX;
      r[15] = static_cast<uint8_t>(n);
      std::memcpy(&r[16], job + ZEL_OFS_DATA, n);
    }
    return r;
  }

  // The fresh request block an FDL job must reach the companion as.
  static std::vector<uint8_t> FdlRequest(uint16_t seq, uint16_t service) {
    std::vector<uint8_t> b(ZEL_BLOCK_SIZE, 0);
    b[ZEL_OFS_BLOCK_TAG] = ZEL_BLOCK_TAG;
    PutLe16(&b[ZEL_OFS_JOB_ID], seq);
    b[ZEL_OFS_LAYER_TAG] = 2;
    b[ZEL_OFS_SUBSYSTEM] = ZEL_SUBSYSTEM_FDL;
    PutLe16(&b[ZEL_OFS_DATA_LIMIT], 260);
    PutLe16(&b[ZEL_OFS_DATA_OFFSET], ZEL_OFS_DATA);
    PutLe16(&b[ZEL_OFS_FDL_SERVICE], service);
    return b;
  }

  void Receive() {
    const int32_t h = DecodeHandle(in_.U8());
    const uint8_t flags = in_.U8();
    const uint8_t fill = in_.U8();
    const uint32_t unused1 = in_.U32();
    const uint32_t unused2 = in_.U32();
    const bool nullLength = (flags & 1) != 0;
    const bool nullBlock = (flags & 2) != 0;

    GuardedBuffer block(ZEL_BLOCK_SIZE);
    block.Fill(fill);
    const std::vector<uint8_t> before(block.data(), block.data() + ZEL_BLOCK_SIZE);
    GuardedBuffer lengthBox(sizeof(uint16_t));
    const uint16_t sentinel = 0xBEEF;
    std::memcpy(lengthBox.data(), &sentinel, sizeof sentinel);

    const int32_t r = ZEL_receive(
        h, unused1, nullLength ? nullptr : reinterpret_cast<uint16_t*>(lengthBox.data()), unused2,
        nullBlock ? nullptr : block.data());
    uint16_t length = 0;
    std::memcpy(&length, lengthBox.data(), sizeof length);

    if (const long at = block.DamagedGuard()) {
      v_.Fail("ZEL_receive wrote outside the block, at offset %ld", at);
      return;
    }
    if (const long at = lengthBox.DamagedGuard()) {
      v_.Fail("ZEL_receive wrote outside the length, at offset %ld", at);
      return;
    }
    const bool open = IsIndex(h) && ch_[h].open;
    const int32_t want = (nullLength || nullBlock || !open) ? -1 : 0;
    if (r != want) {
      v_.Fail("ZEL_receive(%d, flags %u) returned %d, expected %d", h, flags & 3u, r, want);
      return;
    }
    // A failed call leaves the length alone or clears it; a successful one
    // has nothing to deliver here, since nothing is ever confirmed.
    const bool lengthUntouched = nullLength || length == sentinel;
    if (r == 0 ? length != 0 : !(lengthUntouched || length == 0)) {
      v_.Fail("ZEL_receive returned %d with length %u", r, length);
      return;
    }
    if (std::memcmp(block.data(), before.data(), ZEL_BLOCK_SIZE) != 0) {
      v_.Fail("ZEL_receive wrote into the block without a result");
    }
  }

  void SetWindow() {
    const int32_t h = DecodeHandle(in_.U8());
    const uint8_t windowSel = in_.U8() % kWindowCount;
    plat::Window wnd = nullptr;
    if (windowSel == kWindowLive) wnd = Fix().live;
    if (windowSel == kWindowDestroyed) wnd = Fix().destroyed;
    if (windowSel == kWindowRaw) wnd = reinterpret_cast<plat::Window>(uintptr_t{in_.U32()});
    static const uint32_t kMsgs[kMsgCount] = {0, 0xFFFFFFFFu, 1, 0x8000, 0};
    const uint8_t msgSel = in_.U8() % kMsgCount;
    const uint32_t msg = msgSel == kMsgRaw ? in_.U32() : kMsgs[msgSel];

    const int32_t r = SetTalvoHWndMsg(h, wnd, msg);
    const bool accept =
        IsIndex(h) && ch_[h].open && plat::WindowIsValid(wnd) && msg != 0 && msg != 0xFFFFFFFFu;
    if (r != (accept ? 0 : -1)) {
      v_.Fail("SetTalvoHWndMsg(%d, window %u, 0x%x) returned %d", h, windowSel, msg, r);
    }
  }

  void GetErrno() {
    static const int32_t kCodes[] = {0,
                                     ZEL_NO_RESOURCES,
                                     ZEL_TOO_MANY_OPEN,
                                     ZEL_GENERAL_ERROR,
                                     ZEL_NOT_FOUND,
                                     ZEL_ACCESS_REFUSED,
                                     ZEL_DATA_ERROR,
                                     ZEL_NO_MEMORY,
                                     ZEL_TIMEOUT,
                                     ZEL_BAD_ADDRESS,
                                     ZEL_BUSY};
    const int32_t r = ZEL_get_errno();
    for (int32_t code : kCodes) {
      if (r == code) return;
    }
    v_.Fail("ZEL_get_errno returned %d, not an interface code", r);
  }

  // What the stand-in holds for the module must match the channels open:
  // a DP handle each, an FDL handle each that has FDL, a confirmation
  // signal each whose worker runs. More is a leak, less a lost channel.
  void CheckHeld() {
    int dp = 0;
    int fdl = 0;
    int signals = 0;
    for (const ChannelModel& ch : ch_) {
      dp += ch.open;
      fdl += ch.open && ch.fdl;
      signals += ch.open && ch.workerRunning;
    }
    if (DpSim_OpenDpHandles() != dp || DpSim_OpenFdlHandles() != fdl ||
        DpSim_SignalsOutstanding() != signals) {
      v_.Fail("the stand-in holds %d DP handles, %d FDL handles, %d signals; expected %d, %d, %d",
              DpSim_OpenDpHandles(), DpSim_OpenFdlHandles(), DpSim_SignalsOutstanding(), dp, fdl,
              signals);
    }
  }

  void CleanUp() {
    DpSim_Reset();
    DpSim_SetTrace(TraceTarget());
    for (int h = 0; h < kChannels; ++h) {
      const int32_t r = ZEL_close(h);
      if (ch_[h].open && r != 0) v_.Fail("closing channel %d at the end returned %d", h, r);
      ch_[h] = ChannelModel();
    }
    CheckHeld();
  }

  Input in_;
  const AfterOp& afterOp_;
  Verdict v_;
  ChannelModel ch_[kChannels];
};

}  // namespace

void ApiHarnessInit() {
  Fixtures& f = Fix();
  f.name63 = "FUZZ-CP-" + std::string(54, 'x') + "Z";
  f.name64 = f.name63 + "Q";
  f.name300 = std::string(300, 'L');
  f.live = plat::MessageWindowCreate();
  f.destroyed = plat::MessageWindowCreate();
  plat::MessageWindowDestroy(f.destroyed);
  // Held for the life of the process: each open then only counts it up.
  plat::LibraryLoad("ky_dll");
}

std::string RunApiInput(const uint8_t* data, size_t size, const AfterOp& afterOp) {
  return ApiRun(data, size, afterOp).Run();
}

}  // namespace kxfuzz
