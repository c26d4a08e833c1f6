// White-box tests of the module's core, linked into the test program with
// the module entry called by hand: attach and detach, the channel table, the
// error map and the wire layouts.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>

#include "channel/channel.h"
#include "errors/errors.h"
#include "platform/message_window.h"
#include "support/test_support.h"
#include "zel.h"

using namespace kxtest;

namespace {

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DpSim_Reset();
    DpSim_SetTrace("off");
    UseCompanion("full");
    ModuleAttach();
    attached_ = true;
  }
  void TearDown() override {
    if (attached_) ModuleDetach();
  }
  void Detach() {
    ModuleDetach();
    attached_ = false;
  }
  bool attached_ = false;
};

bool RecordIsFree(int i) {
  const Channel& ch = ChannelTable[i];
  if (ch.DpHandle != kNoDpHandle) return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&ch);
  for (size_t b = sizeof ch.DpHandle; b < sizeof ch; ++b)
    if (bytes[b] != 0) return false;
  return true;
}

size_t IndexOf(const std::vector<DpSimCall>& calls, const std::string& op, int64_t arg0,
               int lib = DPSIM_LIB_DPMASTER) {
  for (size_t i = 0; i < calls.size(); ++i)
    if (op == calls[i].op && calls[i].lib == lib && calls[i].args[0] == arg0) return i;
  return SIZE_MAX;
}

TEST_F(CoreTest, AttachLeavesEveryRecordFreeAndZeroed) {
  for (int i = 0; i < kChannelCount; ++i) EXPECT_TRUE(RecordIsFree(i)) << "record " << i;
}

TEST_F(CoreTest, DetachWithoutOpenChannelsCallsNothing) {
  DpSim_LogClear();
  Detach();
  EXPECT_EQ(DpSim_LogCount(), 0u) << "no library call, so no CpRelease and no pause";
}

TEST_F(CoreTest, DetachClosesOpenChannelsInIndexOrderThenReleasesTheLastName) {
  ASSERT_EQ(ZEL_open("VCP1"), 0);
  ASSERT_EQ(ZEL_open("VCP1"), 1);
  ASSERT_EQ(ZEL_open("VCP1"), 2);
  ASSERT_EQ(ZEL_open("VCP1"), 3);
  ASSERT_EQ(ZEL_open("VCP2"), 4);
  for (int h : {0, 2, 3}) ASSERT_EQ(ZEL_close(h), 0);
  const int32_t h1 = ChannelTable[1].DpHandle;
  const int32_t h4 = ChannelTable[4].DpHandle;
  const int32_t f1 = ChannelTable[1].Worker.FdlHndl;
  const int32_t f4 = ChannelTable[4].Worker.FdlHndl;
  ASSERT_NE(h1, h4);
  DpSim_LogClear();

  Detach();
  const auto calls = Calls();
  const size_t stop1 = IndexOf(calls, "FreeSemaObject", h1);
  const size_t close1 = IndexOf(calls, "DP_close", h1);
  const size_t fdl1 = IndexOf(calls, "ZEL_close", f1, DPSIM_LIB_FDL);
  const size_t stop4 = IndexOf(calls, "FreeSemaObject", h4);
  const size_t close4 = IndexOf(calls, "DP_close", h4);
  const size_t fdl4 = IndexOf(calls, "ZEL_close", f4, DPSIM_LIB_FDL);
  ASSERT_NE(fdl4, SIZE_MAX);
  EXPECT_LT(stop1, close1);
  EXPECT_LT(close1, fdl1);
  EXPECT_LT(fdl1, stop4);
  EXPECT_LT(stop4, close4);
  EXPECT_LT(close4, fdl4);

  const auto releases = CallsOf("CpRelease");
  ASSERT_EQ(releases.size(), 1u);
  EXPECT_STREQ(releases[0].text, "VCP2");
  EXPECT_GT(releases[0].seq, calls[fdl4].seq);
  EXPECT_EQ(CallsOf("DP_close").size(), 2u);
  for (int i = 0; i < kChannelCount; ++i) EXPECT_EQ(ChannelTable[i].DpHandle, kNoDpHandle);
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), 0);
}

TEST_F(CoreTest, DetachPausesAfterCpRelease) {
  ASSERT_EQ(ZEL_open("VCP1"), 0);
  DpSim_LogClear();
  Detach();
  const auto releases = CallsOf("CpRelease");
  ASSERT_EQ(releases.size(), 1u);
  const uint64_t elapsedUs = DpSim_NowUs() - releases[0].timeUs;
  EXPECT_GE(elapsedUs, 40000u) << "the 50 ms pause follows CpRelease";
}

TEST_F(CoreTest, DetachTracesDpCloseErrorAndStillFreesTheChannel) {
  ASSERT_EQ(ZEL_open("VCP1"), 0);
  ASSERT_EQ(ZEL_open("VCP2"), 1);
  DpSim_Script(DPSIM_CLOSE_ERRCLASS, 3, -1);
  DpSim_LogClear();
  Detach();
  const auto traces = Traces();
  EXPECT_EQ(std::count(traces.begin(), traces.end(), "Kalmorix.dll: DP_close(detach failed"), 2);
  for (int i = 0; i < kChannelCount; ++i) EXPECT_EQ(ChannelTable[i].DpHandle, kNoDpHandle);
  EXPECT_EQ(CallsOf("ZEL_close", DPSIM_LIB_FDL).size(), 2u) << "released all the same";
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), 0);
  EXPECT_EQ(CallsOf("CpRelease").size(), 1u);
}

TEST_F(CoreTest, DetachClosesAChannelWhoseCloseFailed) {
  ASSERT_EQ(ZEL_open("VCP1"), 0);
  DpSim_Script(DPSIM_CLOSE_RESULT, 1, 1);
  DpSim_LogClear();
  EXPECT_EQ(ZEL_close(0), ZEL_CLOSE_FAILED);
  EXPECT_EQ(Traces(), std::vector<std::string>{"Kalmorix.dll: ZEL_close failed(2)"});
  EXPECT_NE(ChannelTable[0].DpHandle, kNoDpHandle) << "the channel stays open";
  EXPECT_EQ(LoadShared(ChannelTable[0].Worker.WorkerActive), 0) << "its worker was stopped";
  // Nothing would collect a result any more: jobs are refused.
  DpSim_LogClear();
  EXPECT_EQ(ZEL_send(0, 340, ReadJob(1, 3).data()), -1);
  EXPECT_EQ(Traces(), std::vector<std::string>{"Kalmorix.dll: ZEL_send: worker stopped"});
  EXPECT_TRUE(CallsOf("Dpc1Read").empty());

  DpSim_LogClear();
  Detach();
  EXPECT_EQ(CallsOf("DP_close").size(), 1u);
  EXPECT_EQ(CallsOf("FreeSemaObject").size(), 0u) << "the worker had already ended";
  EXPECT_EQ(ChannelTable[0].DpHandle, kNoDpHandle);
  EXPECT_EQ(CallsOf("CpRelease").size(), 1u);
}

TEST_F(CoreTest, ReleaseWithoutCompanionTouchesNoCompanion) {
  UseNoCompanion();
  ASSERT_EQ(ZEL_open("VCP1"), 0);
  EXPECT_EQ(ChannelTable[0].Worker.hKyDll, nullptr);
  EXPECT_EQ(Traces(), std::vector<std::string>{"Kalmorix.dll: ZEL_open(Could not activate FDL)"});
  DpSim_LogClear();
  EXPECT_EQ(ZEL_close(0), 0);
  for (const DpSimCall& c : Calls()) EXPECT_NE(c.lib, DPSIM_LIB_FDL) << c.op;
  EXPECT_TRUE(Traces().empty());
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), 0);
}

TEST_F(CoreTest, ReleaseClearsTheNameAndGivesEverythingBack) {
  // Relative counts: a handle whose close was scripted to fail stays open in
  // the stand-in.
  const int dpBefore = DpSim_OpenDpHandles();
  const int fdlBefore = DpSim_OpenFdlHandles();
  ASSERT_EQ(ZEL_open("VCP1"), 0);
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), 1);
  EXPECT_EQ(DpSim_SignalsOutstanding(), 1);
  EXPECT_EQ(DpSim_OpenDpHandles(), dpBefore + 1);
  ASSERT_EQ(ZEL_close(0), 0);
  EXPECT_EQ(ChannelTable[0].CpName[0], 0);
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), 0);
  EXPECT_EQ(DpSim_OpenFdlHandles(), fdlBefore);
  EXPECT_EQ(DpSim_OpenDpHandles(), dpBefore);
  EXPECT_EQ(DpSim_SignalsOutstanding(), 0);
}

TEST_F(CoreTest, JobSequenceWrapsFrom65535ToOneNeverZero) {
  DpSim_SetAutoConfirm(0);
  ASSERT_EQ(ZEL_open("VCP1"), 0);
  WorkerContext& w = ChannelTable[0].Worker;
  StoreShared(w.JobSeq, uint16_t{65534});
  DpSim_LogClear();
  const Block job = ReadJob(1, 3);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(ZEL_send(0, 340, job.data()), 0);
  const auto reads = CallsOf("Dpc1Read");
  ASSERT_EQ(reads.size(), 3u);
  std::vector<int> seqs;
  for (const DpSimCall& c : reads) seqs.push_back(c.data[0] | c.data[1] << 8);
  EXPECT_EQ(seqs, (std::vector<int>{65535, 1, 2}));
}

// After 65535 jobs a write gets the sequence number of an earlier one whose
// confirmation was taken: its own is not a duplicate.
TEST_F(CoreTest, AWriteWhoseSequenceNumberCameRoundAgainFinishes) {
  ASSERT_EQ(ZEL_open("VCP1"), 0);
  WorkerContext& w = ChannelTable[0].Worker;
  for (int round = 0; round < 2; ++round) {
    StoreShared(w.JobSeq, uint16_t{0});  // the next job is JobSeq 1 again
    // Slave 99 does not answer: the write fails at once, without a read-back.
    ASSERT_EQ(ZEL_send(0, 340, WriteJob(7, 99, {1}).data()), 0);
    Block b(340);
    uint16_t length = 0;
    ASSERT_TRUE(
        WaitUntil([&] { return ZEL_receive(0, 0, &length, 0, b.data()) == 0 && length; }, 3000))
        << "round " << round;
    EXPECT_EQ(U16(b, ZEL_OFS_RESULT_CODE), ZEL_DPC1_ERROR);
  }
  EXPECT_EQ(ZEL_close(0), 0);
}

TEST_F(CoreTest, ARefusedJobStillBecomesTheJobInProgress) {
  DpSim_SetAutoConfirm(0);
  ASSERT_EQ(ZEL_open("VCP1"), 0);
  DpSim_Script(DPSIM_SUBMIT_ERRCLASS, 0, 1);
  ASSERT_EQ(ZEL_send(0, 340, ReadJob(0x0A0B, 3).data()), -1);
  const WorkerContext& w = ChannelTable[0].Worker;
  EXPECT_EQ(LoadShared(w.JobSeq), 1);
  EXPECT_EQ(LoadShared(w.UserJobId), 0x0A0B);
}

// The worker chooses the window and the message to post under the module
// lock: a registration made meanwhile must wait, or the worker could pair the
// new message with the old window.
TEST_F(CoreTest, RegistrationWaitsWhileTheWorkerChoosesWhatToPost) {
  ASSERT_EQ(ZEL_open("VCP1"), 0);
  const plat::Window wnd = plat::MessageWindowCreate();
  ASSERT_NE(wnd, nullptr);
  std::atomic<int32_t> result{1};
  plat::LockEnter(&ModuleLock);
  std::thread registering([&] { result = SetTalvoHWndMsg(0, wnd, 0x8001); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int32_t whileHeld = result.load();
  const uint32_t msgWhileHeld = LoadShared(ChannelTable[0].Worker.NotifyMsgId);
  plat::LockLeave(&ModuleLock);
  registering.join();
  EXPECT_EQ(whileHeld, 1) << "registered while the lock was held";
  EXPECT_EQ(msgWhileHeld, 0u);
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(LoadShared(ChannelTable[0].Worker.NotifyWnd), wnd);
  EXPECT_EQ(ZEL_close(0), 0);
  plat::MessageWindowDestroy(wnd);
}

// ---- Request pools -------------------------------------------------------------

PendingRequest Req(uint16_t seq, int16_t slave, uint32_t submitMs = 0) {
  return PendingRequest{seq, slave, 0x100u + static_cast<uint32_t>(seq), 0, 0, 0, submitMs, 1};
}
ConfirmationEcho Echo(uint16_t seq = 0, uint32_t ref = 0) {
  return ConfirmationEcho{true, seq, ref, 0, 0, 0};
}

TEST(RequestPool, OrderPerSlaveEchoExpiryAndAFullPool) {
  {  // one slave: confirmations come in order, the first is the older request's
    RequestPool p = {};
    PoolAdd(p, Req(1, 3));
    PoolAdd(p, Req(2, 3));
    EXPECT_EQ(PoolConfirm(p, Echo(), 2), Owner::kOther);
    EXPECT_EQ(PoolConfirm(p, Echo(), 2), Owner::kCurrent);
    EXPECT_EQ(PoolConfirm(p, Echo(), 2), Owner::kNone);
  }
  {  // two slaves: either may come first
    RequestPool p = {};
    PoolAdd(p, Req(1, 3));
    PoolAdd(p, Req(2, 4));
    EXPECT_EQ(PoolConfirm(p, Echo(), 2), Owner::kMaybe);
    EXPECT_TRUE(PoolHolds(p, 2)) << "the job's own is still awaited";
    EXPECT_EQ(PoolConfirm(p, Echo(), 2), Owner::kCurrent);
  }
  {  // an echo is believed after two certain confirmations carried it
    RequestPool p = {};
    for (uint16_t seq = 1; seq <= 2; ++seq) {
      PoolAdd(p, Req(seq, 3));
      EXPECT_EQ(PoolConfirm(p, Echo(seq, 0x100u + seq), seq), Owner::kCurrent);
    }
    PoolAdd(p, Req(3, 3));
    PoolAdd(p, Req(4, 4));
    EXPECT_EQ(PoolConfirm(p, Echo(4, 0x104), 4), Owner::kEchoed);
    EXPECT_EQ(PoolConfirm(p, Echo(3, 0x103), 4), Owner::kOther);
    // Values that name no waiting request end the belief.
    PoolAdd(p, Req(5, 3));
    PoolAdd(p, Req(6, 4));
    EXPECT_EQ(PoolConfirm(p, Echo(9, 0x109), 6), Owner::kMaybe);
    EXPECT_EQ(PoolConfirm(p, Echo(6, 0x106), 6), Owner::kCurrent);
    PoolAdd(p, Req(7, 3));
    PoolAdd(p, Req(8, 4));
    EXPECT_EQ(PoolConfirm(p, Echo(8, 0x108), 8), Owner::kMaybe);
  }
  {  // expiry across the tick counter's wrap, only at a moment 4 s on
    RequestPool p = {};
    PoolAdd(p, Req(1, 3, 0xFFFFF000u));
    EXPECT_FALSE(PoolExpire(p, 0xFFFFF000u + kConfirmationLostMs - 1));
    EXPECT_TRUE(PoolExpire(p, 0xFFFFF000u + kConfirmationLostMs));
    EXPECT_EQ(p.Size, 0);
  }
  {  // a full pool merges its oldest requests and forgets none of them
    RequestPool p = {};
    for (uint16_t seq = 1; seq <= kPoolSize + 3; ++seq) PoolAdd(p, Req(seq, 3, seq));
    EXPECT_EQ(p.Size, kPoolSize);
    int confirmed = 0;
    while (PoolConfirm(p, Echo(), 0) != Owner::kNone) ++confirmed;
    EXPECT_EQ(confirmed, kPoolSize + 3);
  }
}

// ---- Error map --------------------------------------------------------------------

TEST(ErrorMap, EveryRowAndItsNeighbours) {
  const struct {
    uint32_t lastError;
    uint16_t code;
  } rows[] = {
      {0, 0},
      {2, ZEL_NOT_FOUND},
      {3, ZEL_NOT_FOUND},
      {4, ZEL_TOO_MANY_OPEN},
      {5, ZEL_ACCESS_REFUSED},
      {6, ZEL_ACCESS_REFUSED},
      {8, ZEL_NO_MEMORY},
      {9, ZEL_ACCESS_REFUSED},
      {11, ZEL_NO_RESOURCES},
      {23, ZEL_DATA_ERROR},
      {122, ZEL_NO_RESOURCES},
      {170, ZEL_BUSY},
      {234, ZEL_NO_RESOURCES},
      {258, ZEL_TIMEOUT},
      {259, ZEL_DATA_ERROR},
      {998, ZEL_BAD_ADDRESS},
      {1450, ZEL_NO_RESOURCES},
      {0xA0000001u, ZEL_BAD_ADDRESS},
      {0xC0000017u, ZEL_NO_RESOURCES},
      // Neighbours and look-alikes fall through to the general error.
      {1, ZEL_GENERAL_ERROR},
      {7, ZEL_GENERAL_ERROR},
      {10, ZEL_GENERAL_ERROR},
      {12, ZEL_GENERAL_ERROR},
      {22, ZEL_GENERAL_ERROR},
      {24, ZEL_GENERAL_ERROR},
      {121, ZEL_GENERAL_ERROR},
      {123, ZEL_GENERAL_ERROR},
      {169, ZEL_GENERAL_ERROR},
      {171, ZEL_GENERAL_ERROR},
      {233, ZEL_GENERAL_ERROR},
      {235, ZEL_GENERAL_ERROR},
      {240, ZEL_GENERAL_ERROR},
      {257, ZEL_GENERAL_ERROR},
      {260, ZEL_GENERAL_ERROR},
      {997, ZEL_GENERAL_ERROR},
      {999, ZEL_GENERAL_ERROR},
      {1449, ZEL_GENERAL_ERROR},
      {1451, ZEL_GENERAL_ERROR},
      {0xA0000000u, ZEL_GENERAL_ERROR},
      {0xA0000002u, ZEL_GENERAL_ERROR},
      {0xA1000001u, ZEL_GENERAL_ERROR},
      {0xC0000016u, ZEL_GENERAL_ERROR},
      {0xC0000018u, ZEL_GENERAL_ERROR},
      {0xFFFFFFFFu, ZEL_GENERAL_ERROR},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(InterfaceErrorMap(row.lastError), row.code) << "last error " << row.lastError;
  }
}

TEST(ErrorMap, GetErrnoReadsThisThreadsLastErrorWithoutChangingIt) {
  plat::LastErrorSet(170);
  EXPECT_EQ(ZEL_get_errno(), 65531) << "ZEL_BUSY widened without sign extension";
  EXPECT_EQ(plat::LastErrorGet(), 170u);
  int32_t other = -1;
  std::thread worker([&] {
    plat::LastErrorSet(2);
    other = ZEL_get_errno();
  });
  plat::LastErrorSet(258);
  const int32_t mine = ZEL_get_errno();
  worker.join();
  EXPECT_EQ(other, ZEL_NOT_FOUND);
  EXPECT_EQ(mine, ZEL_TIMEOUT) << "another thread's error is its own";
  plat::LastErrorSet(0);
  EXPECT_EQ(ZEL_get_errno(), 0);
}

// ---- Wire layouts ---------------------------------------------------------------

TEST(Layout, JobBlockFieldsLandOnTheirBytes) {
  JobBlock b;
  std::memset(&b, 0, sizeof b);
  b.BlockTag = 0x50;
  Set(b.JobId, 0x1234);
  b.LayerTag = 2;
  b.ResultFlag = 1;
  b.Subsystem = 0x28;
  b.Operation = 0x31;
  Set(b.ResultCode, 0x0016);
  Set(b.DataLength, 0x0104);
  Set(b.DataLimit, 0x00F0);
  Set(b.DataOffset, 0x0050);
  Set(b.Word25, 0xA1B2);
  Set(b.Word28, 0xC3D4);
  Set(b.Word30, 0xE5F6);
  b.FdlDoneFlag = 1;
  b.SlaveAddress = 0x7E;
  b.Dpc1Param1 = 0x11;
  b.Dpc1Param2 = 0x22;
  Set(b.Dpc1Param3, 0x4433);
  b.FdlLengthByte = 0x04;
  Set(b.FdlWord60, 0xBEEF);
  b.Data[0] = 0xD0;
  b.Data[259] = 0xD9;

  Block image(340, 0);
  image[4] = 0x50;
  image[5] = 0x34, image[6] = 0x12;
  image[7] = 2;
  image[8] = 1;
  image[12] = 0x28;
  image[13] = 0x31;
  image[14] = 0x16, image[15] = 0x00;
  image[16] = 0x04, image[17] = 0x01;
  image[19] = 0xF0, image[20] = 0x00;
  image[21] = 0x50, image[22] = 0x00;
  image[25] = 0xB2, image[26] = 0xA1;
  image[28] = 0xD4, image[29] = 0xC3;
  image[30] = 0xF6, image[31] = 0xE5;
  image[34] = 1;
  image[38] = 0x7E;
  image[39] = 0x11;
  image[40] = 0x22;
  image[41] = 0x33, image[42] = 0x44;
  image[52] = 0x04;
  image[60] = 0xEF, image[61] = 0xBE;
  image[80] = 0xD0;
  image[339] = 0xD9;
  EXPECT_EQ(0, std::memcmp(&b, image.data(), 340));
  // Bytes 38-39 read as the FDL service code: low byte first.
  EXPECT_EQ(FdlService(b), 0x117E);
  SetFdlService(b, 26);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&b)[38], 26);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&b)[39], 0);
}

TEST(Layout, Dpc1RecordFieldsLandOnTheirBytes) {
  Dpc1Record r;
  std::memset(&r, 0, sizeof r);
  Set(r.SeqNo, 0xFFFE);
  Set(r.SlaveRef, 0x0A0B0C0D);
  r.Param1 = 0x21;
  r.Param2 = 0x22;
  Set(r.Param3, 0x2423);
  r.DataLen = 240;
  r.RecData[0] = 0x99;
  r.RecData[239] = 0x98;
  r.Unused256[5] = 0x77;

  Block image(262, 0);
  image[0] = 0xFE, image[1] = 0xFF;
  image[2] = 0x0D, image[3] = 0x0C, image[4] = 0x0B, image[5] = 0x0A;
  image[7] = 0x21;
  image[8] = 0x22;
  image[9] = 0x23, image[10] = 0x24;
  image[15] = 240;
  image[16] = 0x99;
  image[255] = 0x98;
  image[261] = 0x77;
  EXPECT_EQ(0, std::memcmp(&r, image.data(), 262));
}

}  // namespace
