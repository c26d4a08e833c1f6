#include "worker_harness.h"

#include <algorithm>
#include <vector>

#include "channel/channel.h"
#include "dpsim.h"
#include "harness_support.h"
#include "message_window.h"
#include "ops.h"
#include "worker_clock.h"
#include "zel.h"

namespace kxfuzz {
namespace {

// Far beyond any pass on virtual time: a worker that does not come back to a
// hold within it hangs.
constexpr uint32_t kHangMs = 5000;
// The stand-in's SlaveLookup hands out this base with the address in the low byte.
constexpr uint32_t kSlaveRefBase = 0x51A70000u;
constexpr size_t kRecordSize = 262;
constexpr size_t kRecSeqNo = 0;
constexpr size_t kRecSlaveRef = 2;
constexpr size_t kRecParam1 = 7;
constexpr size_t kRecDataLen = 15;
constexpr size_t kRecData = 16;

plat::Window g_window = nullptr;

void DrainWindow() {
  plat::PostedMessage m;
  while (plat::MessageWindowNext(g_window, &m, 0)) {
  }
}

class WorkerRun {
 public:
  WorkerRun(const uint8_t* data, size_t size, WorkerRunStats* stats, const AfterOp& afterOp)
      : in_(data, size), stats_(stats != nullptr ? *stats : ignored_), afterOp_(afterOp) {}

  std::string Run() {
    DpSim_Reset();
    DpSim_SetTrace(TraceTarget());
    DpSim_SetAutoConfirm(0);
    DrainWindow();
    ClockTake(&ChannelTable[0].Worker);
    const int32_t h = ZEL_open("VCP1");
    if (h != 0) {
      v_.Fail("ZEL_open returned %d, expected channel 0", h);
      ClockRelease();
      if (h >= 0 && h < kChannelCount) ZEL_close(h);
      return v_.Message();
    }
    w_ = &ChannelTable[0].Worker;
    dp_ = ChannelTable[0].DpHandle;
    fdl_ = w_->FdlHndl;
    if (!ClockAwaitHeld(kHangMs)) v_.Fail("the worker did not reach its first wait");
    logPos_ = DpSim_LogCount();

    static const char* const kNames[kWorkerOpCount] = {
        "send-read",  "send-write", "send-fdl", "send-other", "inject-cnf",
        "inject-fdl", "step",       "receive",  "register",   "refuse-next"};
    for (int i = 0; i < kMaxOps && !in_.Done() && !v_.Failed(); ++i) {
      const uint8_t op = in_.U8() % kWorkerOpCount;
      v_.SetOp(i, kNames[op]);
      switch (op) {
        case kWkSendRead:
        case kWkSendWrite:
        case kWkSendFdl:
        case kWkSendOther:
          Send(op);
          break;
        case kWkInjectCnf:
          InjectConfirmation();
          break;
        case kWkInjectFdl:
          InjectFdlResult();
          break;
        case kWkStep:
          Step();
          break;
        case kWkReceive:
          Receive();
          break;
        case kWkRegister:
          Register();
          break;
        case kWkRefuseNext:
          if (in_.U8() & 1) {
            DpSim_Script(DPSIM_FDL_SEND_RESULT, -1, 1);
          } else {
            DpSim_Script(DPSIM_SUBMIT_ERRCLASS, 2, 1);
          }
          break;
      }
      if (afterOp_) afterOp_(i);
    }

    v_.SetOp(-1, "clean-up");
    ClockRelease();
    const int32_t closed = ZEL_close(0);
    if (closed != 0) v_.Fail("ZEL_close returned %d", closed);
    DrainWindow();
    if (DpSim_OpenDpHandles() != 0 || DpSim_OpenFdlHandles() != 0 ||
        DpSim_SignalsOutstanding() != 0) {
      v_.Fail("after the close the stand-in still holds %d DP handles, %d FDL handles, %d signals",
              DpSim_OpenDpHandles(), DpSim_OpenFdlHandles(), DpSim_SignalsOutstanding());
    }
    // Everything the stand-in allocated for this run is given back within it,
    // so that the fuzzer's leak check sees a run that frees what it takes.
    DpSim_Reset();
    return v_.Message();
  }

 private:
  uint16_t PickSeq() {
    switch (in_.U8() % kSeqCount) {
      case kSeqCurrent:
        return seq_;
      case kSeqZero:
        return 0;
      case kSeqPrevious:
        return static_cast<uint16_t>(seq_ - 1);
      default:
        return in_.U16();
    }
  }

  void Send(uint8_t op) {
    std::vector<uint8_t> job(ZEL_BLOCK_SIZE);
    for (size_t i = 0; i < job.size(); ++i) job[i] = static_cast<uint8_t>(i * 5 + 3);
    PutLe16(&job[ZEL_OFS_JOB_ID], in_.U16());
    switch (op) {
      case kWkSendRead:
        job[ZEL_OFS_SUBSYSTEM] = ZEL_SUBSYSTEM_DPC1;
        job[ZEL_OFS_OPERATION] = ZEL_OPERATION_READ;
        job[ZEL_OFS_SLAVE_ADDRESS] = in_.U8();
        break;
      case kWkSendWrite: {
        job[ZEL_OFS_SUBSYSTEM] = ZEL_SUBSYSTEM_DPC1;
        job[ZEL_OFS_OPERATION] = ZEL_OPERATION_WRITE;
        job[ZEL_OFS_SLAVE_ADDRESS] = in_.U8();
        job[ZEL_OFS_DPC1_PARAM1] = in_.U8();
        job[ZEL_OFS_DPC1_PARAM2] = in_.U8();
        PutLe16(&job[ZEL_OFS_DPC1_PARAM3], in_.U16());
        PutLe16(&job[ZEL_OFS_DATA_LENGTH], in_.U16());
        const size_t n = std::min<size_t>(in_.U8(), ZEL_DATA_MAX);
        in_.Bytes(&job[ZEL_OFS_DATA], n);
        break;
      }
      case kWkSendFdl:
        job[ZEL_OFS_SUBSYSTEM] = ZEL_SUBSYSTEM_FDL;
        PutLe16(&job[ZEL_OFS_FDL_SERVICE], in_.U16());
        break;
      default:
        job[ZEL_OFS_SUBSYSTEM] = in_.U8();
        job[ZEL_OFS_OPERATION] = in_.U8();
        PutLe16(&job[ZEL_OFS_FDL_SERVICE], in_.U16());
        break;
    }
    const int32_t r = ZEL_send(0, ZEL_BLOCK_SIZE, job.data());
    if (r != 0 && r != -1 && r != ZEL_INVALID_SUBSYSTEM) v_.Fail("ZEL_send returned %d", r);
    const uint16_t seq = LoadShared(w_->JobSeq);
    if (seq != seq_) {
      if (seq == 0) v_.Fail("a job got sequence number 0, the read-back's");
      // A new job in progress: only what is confirmed from now on can be its result.
      seq_ = seq;
      jobId_ = Le16(&job[ZEL_OFS_JOB_ID]);
      reads_.clear();
      fdls_.clear();
      writeSlaves_.clear();
      readBackOut_ = false;
      readBackOk_ = false;
    }
    logPos_ = DpSim_LogCount();
  }

  void InjectConfirmation() {
    static const uint16_t kKinds[kCnfKindCount] = {7, 8, 0, 0};
    const uint8_t kindSel = in_.U8() % kCnfKindCount;
    const uint16_t kind = kindSel == kCnfKindRaw ? in_.U16() : kKinds[kindSel];
    uint8_t record[kRecordSize] = {};
    if (in_.U8() & 1) {
      in_.Bytes(record, sizeof record);
    } else {
      PutLe16(&record[kRecSeqNo], PickSeq());
      record[kRecDataLen] = in_.U8();
      record[kRecParam1] = in_.U8();
      const size_t n = std::min<size_t>(in_.U8(), kRecordSize - kRecData);
      in_.Bytes(&record[kRecData], n);
    }
    uint8_t error[12] = {};
    static const uint32_t kClasses[kErrClassCount] = {0, 1, 2, 0};
    const uint8_t classSel = in_.U8() % kErrClassCount;
    const uint32_t errClass = classSel == kErrRaw ? in_.U32() : kClasses[classSel];
    const uint32_t errCode = in_.U32();
    for (int i = 0; i < 4; ++i) {
      error[i] = static_cast<uint8_t>(errClass >> (8 * i));
      error[4 + i] = static_cast<uint8_t>(errCode >> (8 * i));
    }
    PutLe16(&error[8], in_.U16());
    error[10] = in_.U8();
    if (DpSim_InjectConfirmation(dp_, kind, record, error) != 0) {
      v_.Fail("the stand-in did not take the confirmation");
    }
  }

  void InjectFdlResult() {
    const uint8_t resultSel = in_.U8() % kFdlResultCount;
    const int32_t result = resultSel == kFdlResultZero     ? 0
                           : resultSel == kFdlResultFailed ? -1
                                                           : static_cast<int32_t>(in_.U32());
    static const uint16_t kLengths[kFdlLengthCount] = {340, 0, 1, 0};
    const uint8_t lengthSel = in_.U8() % kFdlLengthCount;
    const uint16_t length = lengthSel == kFdlLengthRaw ? in_.U16() : kLengths[lengthSel];
    uint8_t block[ZEL_BLOCK_SIZE];
    if (in_.U8() & 1) {
      in_.Bytes(block, sizeof block);
    } else {
      const uint16_t jobId = PickSeq();
      const uint16_t service = in_.U16();
      const uint16_t resultCode = in_.U16();
      const uint16_t dataLength = in_.U16();
      const uint16_t word60 = in_.U16();
      const size_t n = std::min<size_t>(in_.U8(), ZEL_DATA_MAX);
      uint8_t data[ZEL_DATA_MAX];
      in_.Bytes(data, n);
      const uint8_t filler = in_.U8();
      for (size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<uint8_t>(filler ^ (i * 11));
      PutLe16(&block[ZEL_OFS_JOB_ID], jobId);
      PutLe16(&block[ZEL_OFS_FDL_SERVICE], service);
      PutLe16(&block[ZEL_OFS_RESULT_CODE], resultCode);
      PutLe16(&block[ZEL_OFS_DATA_LENGTH], dataLength);
      PutLe16(&block[ZEL_OFS_FDL_WORD60], word60);
      std::memcpy(&block[ZEL_OFS_DATA], data, n);
    }
    if (DpSim_InjectFdlResult(fdl_, block, length, result) != 0) {
      v_.Fail("the stand-in did not take the FDL result");
    }
  }

  void Step() {
    const bool readyBefore = LoadShared(w_->CnfReady) != 0;
    if (!ClockStep(kHangMs)) {
      v_.Fail("the worker did not come back to a wait within %u ms", kHangMs);
      return;
    }
    ++stats_.steps;
    if (ClockWhere() == Hold::kPause) ++stats_.pauses;
    CollectWorkerCalls();
    CheckNotifications(readyBefore);
  }

  // What the worker took from the libraries and submitted during the step.
  void CollectWorkerCalls() {
    DpSimCall c;
    uint32_t i = logPos_;
    for (; DpSim_LogGet(i, &c) == 0 && !v_.Failed(); ++i) {
      if (c.lib == DPSIM_LIB_FDL) {
        if (std::strcmp(c.op, "ZEL_receive") == 0 && c.result == 0 && c.args[5] != 0) {
          fdls_.emplace_back(c.data, c.data + ZEL_BLOCK_SIZE);
        }
        continue;
      }
      if (std::strcmp(c.op, "FetchConfirmation") == 0 && c.result == 0) {
        if (c.args[5] == 7) reads_.emplace_back(c.data, c.data + kRecordSize);
        if (c.args[5] == 8 && c.errClass == 0) writeSlaves_.push_back(c.data[kRecParam1]);
        // A read-back's success, if it came after this job's read-back went out.
        if (c.args[5] == 7 && readBackOut_ && Le16(&c.data[kRecSeqNo]) == 0 && c.errClass == 0) {
          readBackOk_ = true;
        }
      } else if (std::strcmp(c.op, "Dpc1Read") == 0) {
        CheckReadBack(c);
        readBackOut_ = true;
        if (c.errClass == 0) readBackOk_ = true;  // refused with no error: success
      } else if (std::strcmp(c.op, "Dpc1Write") == 0) {
        v_.Fail("the worker submitted a write");
      }
    }
    logPos_ = i;
  }

  // The worker's only submission: reading the written slave back, all of it.
  void CheckReadBack(const DpSimCall& c) {
    if (writeSlaves_.empty()) {
      v_.Fail("a read-back without a successful write confirmation");
      return;
    }
    const uint32_t ref = static_cast<uint32_t>(c.data[kRecSlaveRef]) |
                         static_cast<uint32_t>(c.data[kRecSlaveRef + 1]) << 8 |
                         static_cast<uint32_t>(c.data[kRecSlaveRef + 2]) << 16 |
                         static_cast<uint32_t>(c.data[kRecSlaveRef + 3]) << 24;
    // The slave named by a successful write confirmation of this job: the
    // one the worker took, or one of several that agreed on it.
    bool named = false;
    for (uint8_t slave : writeSlaves_) named = named || ref == (kSlaveRefBase | slave);
    if (Le16(&c.data[kRecSeqNo]) != 0 || c.data[kRecDataLen] != ZEL_DPC1_DATA_MAX || !named) {
      v_.Fail(
          "read-back with SeqNo %u, DataLen %u, SlaveRef 0x%08x; expected 0, 240 and the "
          "slave of one of the job's write confirmations",
          Le16(&c.data[kRecSeqNo]), c.data[kRecDataLen], ref);
    }
  }

  // The message is posted once for each result that becomes ready, with the
  // registered identifier and nothing else.
  void CheckNotifications(bool readyBefore) {
    const bool readyAfter = LoadShared(w_->CnfReady) != 0;
    int posts = 0;
    plat::PostedMessage m;
    while (plat::MessageWindowNext(g_window, &m, 0)) {
      ++posts;
      ++stats_.messages;
      if (!registered_ || m.msg != msg_ || m.wParam != 0 || m.lParam != 0) {
        v_.Fail("posted message 0x%x (%lu, %ld); registered: %d, 0x%x", m.msg,
                static_cast<unsigned long>(m.wParam), static_cast<long>(m.lParam), registered_,
                msg_);
        return;
      }
    }
    if (posts > 1) v_.Fail("%d messages posted in one pass", posts);
    if (posts == 1 && !readyAfter) v_.Fail("a message posted with no result ready");
    if (posts == 0 && registered_ && !readyBefore && readyAfter && ClockWhere() == Hold::kWait) {
      v_.Fail("a result became ready but no message was posted");
    }
  }

  void Receive() {
    const uint8_t fill = in_.U8();
    const bool ready = LoadShared(w_->CnfReady) != 0;
    GuardedBuffer block(ZEL_BLOCK_SIZE);
    block.Fill(fill);
    const std::vector<uint8_t> before(block.data(), block.data() + ZEL_BLOCK_SIZE);
    const uint16_t length = ReceiveInto(block);
    if (v_.Failed()) return;
    if (ready && length != ZEL_BLOCK_SIZE) {
      v_.Fail("a stored result was not delivered (length %u)", length);
      return;
    }
    if (length == ZEL_BLOCK_SIZE) {
      CheckResult(block.data(), before);
    } else if (std::memcmp(block.data(), before.data(), ZEL_BLOCK_SIZE) != 0) {
      v_.Fail("the block was written without a result");
    }
    if (v_.Failed() || length != ZEL_BLOCK_SIZE) return;
    // A result is fetched once.
    GuardedBuffer again(ZEL_BLOCK_SIZE);
    again.Fill(static_cast<uint8_t>(fill + 1));
    const std::vector<uint8_t> untouched(again.data(), again.data() + ZEL_BLOCK_SIZE);
    const uint16_t second = ReceiveInto(again);
    if (!v_.Failed() &&
        (second != 0 || std::memcmp(again.data(), untouched.data(), ZEL_BLOCK_SIZE) != 0)) {
      v_.Fail("a result was delivered twice");
    }
  }

  uint16_t ReceiveInto(GuardedBuffer& block) {
    GuardedBuffer lengthBox(sizeof(uint16_t));
    const uint16_t sentinel = 0xBEEF;
    std::memcpy(lengthBox.data(), &sentinel, sizeof sentinel);
    const int32_t r =
        ZEL_receive(0, 0, reinterpret_cast<uint16_t*>(lengthBox.data()), 0, block.data());
    uint16_t length = 0;
    std::memcpy(&length, lengthBox.data(), sizeof length);
    if (const long at = block.DamagedGuard()) {
      v_.Fail("ZEL_receive wrote outside the block, at offset %ld", at);
    } else if (const long lat = lengthBox.DamagedGuard()) {
      v_.Fail("ZEL_receive wrote outside the length, at offset %ld", lat);
    } else if (r != 0 || (length != 0 && length != ZEL_BLOCK_SIZE)) {
      v_.Fail("ZEL_receive returned %d with length %u", r, length);
    }
    return length;
  }

  // A delivered result against the confirmation it must have come from;
  // every byte that is not one of the result's fields keeps what the
  // application had there.
  void CheckResult(const uint8_t* out, const std::vector<uint8_t>& before) {
    std::vector<bool> mine(ZEL_BLOCK_SIZE, false);
    auto fields = [&](size_t from, size_t n) { std::fill_n(mine.begin() + from, n, true); };
    if (out[ZEL_OFS_BLOCK_TAG] != ZEL_BLOCK_TAG || out[ZEL_OFS_RESULT_FLAG] != 1) {
      v_.Fail("a result without block tag or result flag");
      return;
    }
    if (Le16(out + ZEL_OFS_JOB_ID) != jobId_) {
      v_.Fail("the result carries JobId %u; the job in progress is %u", Le16(out + ZEL_OFS_JOB_ID),
              jobId_);
      return;
    }
    const uint16_t length = Le16(out + ZEL_OFS_DATA_LENGTH);
    if (out[ZEL_OFS_SUBSYSTEM] == ZEL_SUBSYSTEM_DPC1) {
      fields(4, 3);
      fields(8, 1);
      fields(12, 6);
      fields(19, 2);
      fields(25, 2);
      fields(28, 2);
      CheckDpc1Result(out, length);
    } else if (out[ZEL_OFS_SUBSYSTEM] == ZEL_SUBSYSTEM_FDL) {
      fields(4, 5);
      fields(12, 6);
      fields(19, 4);
      fields(25, 2);
      fields(28, 4);
      fields(34, 1);
      fields(38, 2);
      fields(52, 1);
      fields(60, 2);
      CheckFdlResult(out, length);
    } else {
      v_.Fail("a result of subsystem 0x%02x", out[ZEL_OFS_SUBSYSTEM]);
    }
    if (v_.Failed()) return;
    fields(ZEL_OFS_DATA, length);
    for (size_t i = 0; i < ZEL_BLOCK_SIZE; ++i) {
      if (!mine[i] && out[i] != before[i]) {
        v_.Fail("the result changed byte %d, which is none of its fields", static_cast<int>(i));
        return;
      }
    }
  }

  void CheckDpc1Result(const uint8_t* out, uint16_t length) {
    const uint16_t code = Le16(out + ZEL_OFS_RESULT_CODE);
    if (Le16(out + ZEL_OFS_DATA_LIMIT) != ZEL_DPC1_DATA_MAX || Le16(out + 25) != 0 ||
        Le16(out + 28) != 0 || (code != 0 && code != ZEL_DPC1_ERROR)) {
      v_.Fail("DPC1 result header: limit %u, result code %u", Le16(out + ZEL_OFS_DATA_LIMIT), code);
      return;
    }
    if (length > ZEL_DPC1_DATA_MAX) {
      v_.Fail("a DPC1 result with DataLength %u", length);
      return;
    }
    if (out[ZEL_OFS_OPERATION] == ZEL_OPERATION_WRITE) {
      if (length != 0) v_.Fail("a write result with DataLength %u", length);
      // Success only from this job's own successful write confirmation and
      // read-back: never from a confirmation fetched before the job (or its
      // read-back) was passed on, which cannot be its own. A failure may
      // come without any, when none could be told to be its own.
      if (code == 0 && (writeSlaves_.empty() || !readBackOk_)) {
        v_.Fail("a write reported successful without its own successful confirmations");
      }
      ++stats_.writeResults;
      return;
    }
    if (out[ZEL_OFS_OPERATION] != ZEL_OPERATION_READ) {
      v_.Fail("a DPC1 result with operation 0x%02x", out[ZEL_OFS_OPERATION]);
      return;
    }
    // The source: the first read confirmation of the job in progress (a
    // second one is a duplicate, and late).
    const uint8_t* src = nullptr;
    for (const std::vector<uint8_t>& r : reads_) {
      if (Le16(&r[kRecSeqNo]) == seq_) {
        src = r.data();
        break;
      }
    }
    if (src == nullptr) {
      v_.Fail("a read result, but no read confirmation of job %u came", seq_);
      return;
    }
    const uint16_t want = std::min<uint16_t>(src[kRecDataLen], ZEL_DPC1_DATA_MAX);
    if (length != want) {
      v_.Fail("a read result with DataLength %u; the confirmation carried %u", length, want);
    } else if (std::memcmp(out + ZEL_OFS_DATA, src + kRecData, length) != 0) {
      v_.Fail("a read result whose data differ from the confirmation's");
    }
    ++stats_.readResults;
  }

  void CheckFdlResult(const uint8_t* out, uint16_t length) {
    if (out[ZEL_OFS_LAYER_TAG] != 2 || out[ZEL_OFS_OPERATION] != 1 ||
        out[ZEL_OFS_FDL_DONE_FLAG] != 1 || Le16(out + ZEL_OFS_DATA_OFFSET) != ZEL_OFS_DATA ||
        Le16(out + ZEL_OFS_DATA_LIMIT) != ZEL_DPC1_DATA_MAX || Le16(out + 25) != 0 ||
        Le16(out + 28) != 0 || Le16(out + 30) != 0) {
      v_.Fail("FDL result header");
      return;
    }
    if (length > ZEL_DATA_MAX) {
      v_.Fail("an FDL result with DataLength %u", length);
      return;
    }
    // The source: the first result block of the job in progress for service
    // 11 or 26 (a second one is a duplicate, and late).
    const uint8_t* src = nullptr;
    for (const std::vector<uint8_t>& b : fdls_) {
      const uint16_t service = Le16(&b[ZEL_OFS_FDL_SERVICE]);
      if (Le16(&b[ZEL_OFS_JOB_ID]) == seq_ &&
          (service == ZEL_FDL_SERVICE_11 || service == ZEL_FDL_SERVICE_26)) {
        src = b.data();
        break;
      }
    }
    if (src == nullptr) {
      v_.Fail("an FDL result, but no FDL block of job %u came", seq_);
      return;
    }
    const uint16_t want = std::min<uint16_t>(Le16(src + ZEL_OFS_DATA_LENGTH), ZEL_DATA_MAX);
    if (length != want || out[ZEL_OFS_FDL_LENGTH_BYTE] != static_cast<uint8_t>(want)) {
      v_.Fail("an FDL result with DataLength %u (byte %u); the block carried %u", length,
              out[ZEL_OFS_FDL_LENGTH_BYTE], want);
    } else if (std::memcmp(out + ZEL_OFS_DATA, src + ZEL_OFS_DATA, length) != 0) {
      v_.Fail("an FDL result whose data differ from the block's");
    } else if (std::memcmp(out + ZEL_OFS_FDL_SERVICE, src + ZEL_OFS_FDL_SERVICE, 2) != 0 ||
               std::memcmp(out + ZEL_OFS_FDL_WORD60, src + ZEL_OFS_FDL_WORD60, 2) != 0 ||
               std::memcmp(out + ZEL_OFS_RESULT_CODE, src + ZEL_OFS_RESULT_CODE, 2) != 0) {
      v_.Fail("an FDL result whose service, word 60 or result code differ from the block's");
    }
    ++stats_.fdlResults;
  }

  void Register() {
    static const uint32_t kMsgs[kMsgCount] = {0, 0xFFFFFFFFu, 1, 0x8000, 0};
    const uint8_t sel = in_.U8() % kMsgCount;
    const uint32_t msg = sel == kMsgRaw ? in_.U32() : kMsgs[sel];
    const bool valid = msg != 0 && msg != 0xFFFFFFFFu;
    const int32_t r = SetTalvoHWndMsg(0, g_window, msg);
    if (r != (valid ? 0 : -1)) {
      v_.Fail("SetTalvoHWndMsg(0x%x) returned %d", msg, r);
    } else if (valid) {
      registered_ = true;
      msg_ = msg;
    }
    logPos_ = DpSim_LogCount();
  }

  Input in_;
  WorkerRunStats ignored_;
  WorkerRunStats& stats_;
  const AfterOp& afterOp_;
  Verdict v_;
  WorkerContext* w_ = nullptr;
  int32_t dp_ = -1;
  int32_t fdl_ = -1;
  uint32_t logPos_ = 0;  // log entries looked at so far
  // The job in progress as the application sees it, and what the worker
  // took from the libraries since it began.
  uint16_t seq_ = 0;
  uint16_t jobId_ = 0;
  std::vector<std::vector<uint8_t>> reads_;
  std::vector<std::vector<uint8_t>> fdls_;
  std::vector<uint8_t> writeSlaves_;  // Param1 of the job's successful write confirmations
  bool readBackOut_ = false;          // the worker has read back for this job
  bool readBackOk_ = false;           // and a successful read-back confirmation came since
  bool registered_ = false;
  uint32_t msg_ = 0;
};

}  // namespace

void WorkerHarnessInit() {
  g_window = plat::MessageWindowCreate();
  plat::LibraryLoad("ky_dll");
}

std::string RunWorkerInput(const uint8_t* data, size_t size, WorkerRunStats* stats,
                           const AfterOp& afterOp) {
  return WorkerRun(data, size, stats, afterOp).Run();
}

}  // namespace kxfuzz
