// The stand-in libraries on their own: the virtual processor behind the DP
// operations and the companion (loaded from tests/kydll/<variant>), the
// scripts, the injection and the call log of the test double.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "dpsim.h"
#include "dpsim_private.h"
#include "extlib/dp_master.h"
#include "extlib/fdl_companion.h"
#include "platform/platform.h"

#if defined(_WIN32)
#include <direct.h>
#define chdir _chdir
#define getcwd _getcwd
#else
#include <unistd.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kNegative = 2;
constexpr uint32_t kNothingQueued = 3;

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
Bytes Text(const char* s) { return Bytes(s, s + strlen(s)); }

// A DPC1 request; the trailing bytes carry a pattern that must come back.
Bytes Request(uint16_t seq, uint32_t ref, const Bytes& data = {}, bool read = true) {
  Bytes r(262, 0);
  Put16(&r[0], seq);
  Put32(&r[2], ref);
  r[7] = 0x99;  // Param1 as the application set it
  r[8] = 0x22;
  r[15] = read ? 240 : static_cast<uint8_t>(data.size());
  if (!read && !data.empty()) memcpy(&r[16], data.data(), data.size());
  for (int i = 256; i < 262; ++i) r[i] = static_cast<uint8_t>(i);
  return r;
}

struct Cnf {
  int32_t result = -99;
  uint16_t kind = 0xFFFF;
  uint8_t area[264] = {};
  DpError err = {};
  uint16_t Seq() const { return U16(area); }
  uint8_t DataLen() const { return area[15]; }
  Bytes Data() const { return Bytes(area + 16, area + 16 + area[15]); }
};

Cnf Fetch(int32_t h) {
  Cnf c;
  memset(c.area, 0xCD, sizeof(c.area));
  c.result = FetchConfirmation(h, 7000, &c.kind, c.area, &c.err);
  return c;
}

std::vector<DpSimCall> Log() {
  std::vector<DpSimCall> out(DpSim_LogCount());
  for (uint32_t i = 0; i < out.size(); ++i) EXPECT_EQ(DpSim_LogGet(i, &out[i]), 0);
  return out;
}

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char diag[256];
    ASSERT_EQ(DpSimCfg_Apply(nullptr, diag, sizeof(diag)), 0) << diag;
    DpSim_SetDelayUs(0);
  }
  void TearDown() override {
    for (int32_t h : dp_) {
      DpError err;
      DP_close(h, &err);
    }
  }

  int32_t Open(const char* cp = "VCP1") {
    int32_t h = -7;
    DpError err = {};
    EXPECT_EQ(OpenDpHandle(cp, &h, &err), 0);
    EXPECT_EQ(err.ErrClass, 0u);
    EXPECT_NE(h, -1);
    dp_.push_back(h);
    return h;
  }
  static uint32_t Ref(int32_t h, uint32_t address) {
    uint32_t ref = 0;
    DpError err = {};
    EXPECT_EQ(SlaveLookup(h, address, &ref, &err), 0);
    return ref;
  }
  static DpError Read(int32_t h, uint32_t ref, uint16_t seq) {
    Bytes r = Request(seq, ref);
    DpError err = {};
    Dpc1Read(h, r.data(), &err);
    return err;
  }
  static DpError Write(int32_t h, uint32_t ref, uint16_t seq, const Bytes& data) {
    Bytes r = Request(seq, ref, data, false);
    DpError err = {};
    Dpc1Write(h, r.data(), &err);
    return err;
  }
  static plat::Handle Signal(int32_t h) {
    plat::Handle s = nullptr;
    DpError err = {};
    EXPECT_EQ(DP_init_sema_object(h, 5, &s, &err), 0);
    EXPECT_NE(s, nullptr);
    return s;
  }
  // Waits for the signal, then fetches.
  static Cnf Await(int32_t h, plat::Handle signal, uint32_t ms = 5000) {
    EXPECT_EQ(plat::WaitOne(signal, ms), plat::kWaitObject0);
    return Fetch(h);
  }

  std::vector<int32_t> dp_;
};

// ---- The virtual processor ------------------------------------------------------

TEST_F(SimTest, DefaultProcessorsHoldDistinctSlaveData) {
  std::vector<Bytes> seen;
  for (const char* cp : {"VCP1", "VCP2"}) {
    for (uint8_t a : {3, 4, 5}) {
      uint8_t buf[240];
      const int n = DpSim_GetSlave(cp, a, buf);
      ASSERT_GT(n, 0) << cp << " slave " << int{a};
      const Bytes data(buf, buf + n);
      for (const Bytes& other : seen) EXPECT_NE(data, other);
      seen.push_back(data);
    }
    EXPECT_EQ(DpSim_GetSlave(cp, 6, nullptr), -1);
  }
}

TEST_F(SimTest, ProcessorNamesAreChecked) {
  DpError err = {};
  EXPECT_EQ(CpPrepare("VCP1", 0, &err), 0);
  EXPECT_EQ(err.ErrClass, 0u);
  EXPECT_EQ(CpRelease("VCP2", &err), 0);
  EXPECT_NE(CpPrepare("NOPE", 0, &err), 0);
  EXPECT_EQ(err.ErrClass, kNegative);

  int32_t h = 5;
  err = {};
  EXPECT_NE(OpenDpHandle("NOPE", &h, &err), 0);
  EXPECT_NE(err.ErrClass, 0u);
  EXPECT_NE(err.ErrCode, 0u);
  EXPECT_EQ(h, -1);
  EXPECT_NE(OpenDpHandle(nullptr, &h, &err), 0);
  EXPECT_EQ(DpSim_OpenDpHandles(), 0);

  const int32_t a = Open("VCP1");
  const int32_t b = Open("VCP2");
  EXPECT_NE(a, b);
  EXPECT_EQ(DpSim_LastDpHandle(), b);
  EXPECT_EQ(DpSim_OpenDpHandles(), 2);
}

TEST_F(SimTest, ReadDeliversTheSlavesDataWithTheRequestEchoed) {
  const int32_t h = Open("VCP2");
  const plat::Handle sig = Signal(h);
  const uint32_t ref = Ref(h, 4);
  EXPECT_EQ(Read(h, ref, 0x1234).ErrClass, kErrClassAccepted);
  const Cnf c = Await(h, sig);
  EXPECT_EQ(c.result, 0);
  EXPECT_EQ(c.kind, kCnfKindRead);
  EXPECT_EQ(c.err.ErrClass, 0u);
  EXPECT_EQ(c.Seq(), 0x1234);
  EXPECT_EQ(memcmp(c.area + 2, &ref, 4), 0);
  EXPECT_EQ(c.Data(), Text("VCP2 slave 4 ECHO-ECHO"));
  EXPECT_EQ(c.area[7], 0x99) << "Param1 of a read is left as requested";
  for (int i = 256; i < 262; ++i) EXPECT_EQ(c.area[i], i & 0xFF);
  EXPECT_EQ(c.area[262], 0xCD) << "only 262 bytes are written";
  EXPECT_EQ(c.area[263], 0xCD);
}

TEST_F(SimTest, WriteReplacesTheDataAndNamesTheSlaveInParam1) {
  const int32_t h = Open();
  const plat::Handle sig = Signal(h);
  const uint32_t ref = Ref(h, 5);
  EXPECT_EQ(Write(h, ref, 7, Text("new")).ErrClass, kErrClassAccepted);
  EXPECT_EQ(Read(h, ref, 8).ErrClass, kErrClassAccepted);

  const Cnf w = Await(h, sig);
  EXPECT_EQ(w.kind, kCnfKindWrite);
  EXPECT_EQ(w.Seq(), 7);
  EXPECT_EQ(w.err.ErrClass, 0u);
  EXPECT_EQ(w.area[7], 5) << "the written slave's address, for the read-back";
  const Cnf r = Await(h, sig);
  EXPECT_EQ(r.kind, kCnfKindRead);
  EXPECT_EQ(r.Seq(), 8);
  EXPECT_EQ(r.Data(), Text("new")) << "the shorter write replaced the old data entirely";

  EXPECT_EQ(Write(h, ref, 9, {}).ErrClass, kErrClassAccepted);
  EXPECT_EQ(DpSim_GetSlave("VCP1", 5, nullptr), 0);
  uint8_t other[240];
  EXPECT_EQ(DpSim_GetSlave("VCP2", 5, other), 36) << "the other processor's slave untouched";
}

TEST_F(SimTest, SilentSlavesConfirmNegativelyWithoutData) {
  const int32_t h = Open();
  const plat::Handle sig = Signal(h);
  ASSERT_EQ(DpSim_RemoveSlave("VCP1", 3), 0);
  EXPECT_EQ(DpSim_RemoveSlave("VCP1", 3), -1);
  Read(h, Ref(h, 3), 1);
  Write(h, Ref(h, 100), 2, Text("xyz"));
  const Cnf r = Await(h, sig);
  EXPECT_EQ(r.kind, kCnfKindRead);
  EXPECT_EQ(r.err.ErrClass, kNegative);
  EXPECT_EQ(r.DataLen(), 0);
  const Cnf w = Await(h, sig);
  EXPECT_EQ(w.kind, kCnfKindWrite);
  EXPECT_EQ(w.err.ErrClass, kNegative);
  EXPECT_EQ(w.area[7], 100);
  EXPECT_EQ(DpSim_GetSlave("VCP1", 100, nullptr), -1) << "a write creates no slave";

  // A slave with no data answers, positively.
  ASSERT_EQ(DpSim_SetSlave("VCP1", 100, nullptr, 0), 0);
  Read(h, Ref(h, 100), 3);
  const Cnf empty = Await(h, sig);
  EXPECT_EQ(empty.err.ErrClass, 0u);
  EXPECT_EQ(empty.DataLen(), 0);
}

TEST_F(SimTest, BadArgumentsAreRefusedAndQueueNothing) {
  const int32_t h = Open();
  const uint32_t ref = Ref(h, 3);
  DpError err = {};
  EXPECT_NE(Dpc1Read(h, nullptr, &err), 0);
  EXPECT_EQ(err.ErrClass, kNegative);
  EXPECT_EQ(Read(h, 3, 1).ErrClass, kNegative) << "an address is not a SlaveRef";
  EXPECT_EQ(Read(h + 100, ref, 1).ErrClass, kNegative) << "unknown handle";
  Bytes tooLong = Request(1, ref, Bytes(240, 1), false);
  tooLong[15] = 241;
  EXPECT_NE(Dpc1Write(h, tooLong.data(), &err), 0);
  EXPECT_EQ(err.ErrClass, kNegative);
  EXPECT_EQ(DpSim_PendingConfirmations(h), 0);

  uint32_t out = 0;
  EXPECT_NE(SlaveLookup(h, 256, &out, &err), 0);
  EXPECT_NE(SlaveLookup(h + 100, 3, &out, &err), 0);
  EXPECT_NE(SlaveLookup(h, 3, nullptr, &err), 0);
  plat::Handle sig = nullptr;
  EXPECT_NE(DP_init_sema_object(h, 4, &sig, &err), 0) << "mode 5 only";
  EXPECT_EQ(sig, nullptr);
  EXPECT_NE(DP_close(h + 100, &err), 0);
  EXPECT_EQ(err.ErrClass, kNegative);
  uint16_t kind = 1;
  EXPECT_NE(FetchConfirmation(h, 0, &kind, nullptr, &err), 0);
  EXPECT_EQ(DpSim_SetSlave("VCP1", 1, "x", 241), -1);
  EXPECT_EQ(DpSim_SetSlave("VCP1", 1, nullptr, 1), -1);
}

// ---- The waitable object ----------------------------------------------------------

TEST_F(SimTest, SignalledOncePerConfirmationAndFetchNeverBlocks) {
  const int32_t h = Open();
  const uint32_t ref = Ref(h, 3);
  Read(h, ref, 1);  // before the object exists: signalled when it is made
  const plat::Handle sig = Signal(h);
  Read(h, ref, 2);
  Read(h, ref, 3);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(plat::WaitOne(sig, 1000), plat::kWaitObject0) << i;
  EXPECT_EQ(plat::WaitOne(sig, 0), plat::kWaitTimeout);
  for (uint16_t seq = 1; seq <= 3; ++seq) EXPECT_EQ(Fetch(h).Seq(), seq) << "first in, first out";

  const Cnf none = Fetch(h);
  EXPECT_NE(none.result, 0);
  EXPECT_EQ(none.kind, 0);
  EXPECT_EQ(none.err.ErrClass, kNothingQueued);
}

TEST_F(SimTest, WaitableObjectsAreFreedOnceAndOnlyByTheirHandle) {
  const int32_t a = Open();
  const int32_t b = Open();
  const plat::Handle sa = Signal(a);
  const plat::Handle sb = Signal(b);
  plat::Handle again = nullptr;
  DpError err = {};
  EXPECT_NE(DP_init_sema_object(a, 5, &again, &err), 0) << "one object per handle";
  EXPECT_EQ(DpSim_SignalsOutstanding(), 2);
  EXPECT_NE(FreeSemaObject(a, sb, &err), 0) << "not a's object";
  EXPECT_EQ(FreeSemaObject(a, sa, &err), 0);
  EXPECT_NE(FreeSemaObject(a, sa, &err), 0) << "already freed";
  EXPECT_EQ(DpSim_SignalsOutstanding(), 1);
  EXPECT_EQ(DP_close(b, &err), 0) << "closing frees the handle's object";
  EXPECT_EQ(DpSim_SignalsOutstanding(), 0);
  EXPECT_EQ(DpSim_PendingConfirmations(b), -1);
  dp_ = {a};
}

TEST_F(SimTest, SignalsStayOnePerConfirmationWhileObjectsAreReplacedDuringSubmissions) {
  // Submissions release the waitable object outside the stand-in's locks;
  // freeing and remaking the object meanwhile must neither lose a signal nor
  // give one twice.
  const int32_t h = Open();
  const uint32_t ref = Ref(h, 3);
  plat::Handle sig = Signal(h);
  std::atomic<bool> submitting{true};
  std::thread submitter([&] {
    for (uint16_t seq = 1; seq <= 3000; ++seq) Read(h, ref, seq);
    submitting = false;
  });
  int replaced = 0;
  while (submitting || replaced == 0) {
    DpError err = {};
    ASSERT_EQ(FreeSemaObject(h, sig, &err), 0);
    sig = Signal(h);
    ++replaced;
  }
  submitter.join();
  int signals = 0;
  while (plat::WaitOne(sig, 0) == plat::kWaitObject0) ++signals;
  EXPECT_EQ(signals, DpSim_PendingConfirmations(h)) << replaced << " replacements";
  EXPECT_EQ(signals, 3000);
}

TEST_F(SimTest, SignalsStayOnePerConfirmationWhileResetsDrainDuringSubmissions) {
  // A reset takes back the signals of the confirmations it drops; releases
  // for new confirmations made meanwhile must not be taken back with them.
  char diag[256];
  ASSERT_EQ(DpSimCfg_Apply("processor VCP1\nslave 3 text abc\ndelay_us 0\n", diag, sizeof(diag)), 0)
      << diag;
  const int32_t h = Open();
  const uint32_t ref = Ref(h, 3);
  const plat::Handle sig = Signal(h);
  std::atomic<bool> submitting{true};
  std::thread submitter([&] {
    for (uint16_t seq = 1; seq <= 3000; ++seq) Read(h, ref, seq);
    submitting = false;
  });
  int resets = 0;
  while (submitting || resets == 0) {
    DpSim_Reset();
    ++resets;
  }
  submitter.join();
  for (uint16_t seq = 1; seq <= 5; ++seq) Read(h, ref, seq);  // after the last reset
  int signals = 0;
  while (plat::WaitOne(sig, 0) == plat::kWaitObject0) ++signals;
  EXPECT_EQ(signals, DpSim_PendingConfirmations(h)) << resets << " resets";
  EXPECT_GE(signals, 5);
}

TEST_F(SimTest, LoggingCanBeTurnedOffUntilTheNextReset) {
  const int32_t h = Open();
  DpSim_LogClear();
  DpSim_SetLogging(0);
  Ref(h, 3);
  Read(h, Ref(h, 3), 1);
  EXPECT_EQ(DpSim_LogCount(), 0u);
  DpSim_SetLogging(1);
  Ref(h, 3);
  EXPECT_EQ(DpSim_LogCount(), 1u);
  DpSim_SetLogging(0);
  DpSim_Reset();
  Ref(h, 3);
  EXPECT_EQ(DpSim_LogCount(), 1u) << "a reset turns logging on again";
}

// ---- Bus time ---------------------------------------------------------------------

TEST_F(SimTest, BusTimeFollowsTheBaudRate) {
  ASSERT_EQ(DpSimCfg_Apply("baud 9600\n", nullptr, 0), 0);
  // 266 bytes of two telegrams at 11 bits, 200 bits of overhead: 3126 bits.
  EXPECT_EQ(DpSimCfg_Dpc1BusTimeUs(0, 240), 325625u);
  EXPECT_EQ(DpSimCfg_Dpc1BusTimeUs(1, 240), 325625u);
  // 26 bytes, 486 bits.
  EXPECT_EQ(DpSimCfg_Dpc1BusTimeUs(0, 0), 50625u);
  ASSERT_EQ(DpSimCfg_Apply(nullptr, nullptr, 0), 0);
  EXPECT_EQ(DpSimCfg_Dpc1BusTimeUs(0, 240), 2084u) << "1.5 Mbit/s by default";
}

TEST_F(SimTest, ConfirmationComesNoSoonerThanTheBusTime) {
  ASSERT_EQ(DpSimCfg_Apply("baud 9600\n", nullptr, 0), 0);
  const int32_t h = Open();
  const plat::Handle sig = Signal(h);
  ASSERT_EQ(DpSim_SetSlave("VCP1", 9, nullptr, 0), 0);  // 50625 us
  const uint64_t start = DpSim_NowUs();
  Read(h, Ref(h, 9), 1);
  EXPECT_EQ(DpSim_PendingConfirmations(h), 1);
  EXPECT_EQ(Fetch(h).err.ErrClass, kNothingQueued) << "still on the bus";
  ASSERT_EQ(plat::WaitOne(sig, 5000), plat::kWaitObject0);
  EXPECT_GE(DpSim_NowUs() - start, 50625u);
  EXPECT_EQ(Fetch(h).Seq(), 1);

  // A fixed delay replaces the computed one; zero confirms inside the call.
  DpSim_SetDelayUs(30000);
  ASSERT_EQ(DpSim_SetSlave("VCP1", 9, Bytes(240, 1).data(), 240), 0);  // 325625 us computed
  const uint64_t fixed = DpSim_NowUs();
  Read(h, Ref(h, 9), 2);
  ASSERT_EQ(plat::WaitOne(sig, 5000), plat::kWaitObject0);
  const uint64_t elapsed = DpSim_NowUs() - fixed;
  EXPECT_GE(elapsed, 30000u);
  EXPECT_LT(elapsed, 300000u);
  EXPECT_EQ(Fetch(h).Seq(), 2);

  DpSim_SetDelayUs(0);
  Read(h, Ref(h, 9), 3);
  EXPECT_EQ(plat::WaitOne(sig, 0), plat::kWaitObject0);
  EXPECT_EQ(Fetch(h).Seq(), 3);
}

TEST_F(SimTest, ShortJobsDoNotOvertakeLongOnes) {
  DpSim_SetDelayUs(0xFFFFFFFFu);  // computed: a 240-byte read takes longer than a 1-byte write
  ASSERT_EQ(DpSimCfg_Apply("baud 19200\n", nullptr, 0), 0);
  const int32_t h = Open();
  const plat::Handle sig = Signal(h);
  ASSERT_EQ(DpSim_SetSlave("VCP1", 3, Bytes(240, 0x41).data(), 240), 0);
  Read(h, Ref(h, 3), 1);
  Write(h, Ref(h, 4), 2, Text("w"));
  EXPECT_EQ(Await(h, sig).Seq(), 1);
  EXPECT_EQ(Await(h, sig).Seq(), 2);
}

// ---- Test double: manual mode, injection, scripts -----------------------------------

TEST_F(SimTest, ManualModeConfirmsOnlyWhatIsInjected) {
  const int32_t h = Open();
  const plat::Handle sig = Signal(h);
  DpSim_SetAutoConfirm(0);
  EXPECT_EQ(Write(h, Ref(h, 3), 1, Text("manual")).ErrClass, kErrClassAccepted);
  EXPECT_EQ(plat::WaitOne(sig, 50), plat::kWaitTimeout);
  EXPECT_EQ(DpSim_PendingConfirmations(h), 0);
  uint8_t data[240];
  EXPECT_EQ(DpSim_GetSlave("VCP1", 3, data), 18) << "no slave saw the write";

  Bytes record(262);
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(i * 3);
  const uint8_t error[12] = {4, 0, 0, 0, 0x78, 0x56, 0x34, 0x12, 9, 0, 7, 0};
  ASSERT_EQ(DpSim_InjectConfirmation(h, 42, record.data(), error), 0);
  EXPECT_EQ(DpSim_InjectConfirmation(h + 100, 7, nullptr, nullptr), -1);
  const Cnf c = Await(h, sig, 1000);
  EXPECT_EQ(c.kind, 42);
  EXPECT_EQ(Bytes(c.area, c.area + 262), record);
  EXPECT_EQ(c.err.ErrClass, 4u);
  EXPECT_EQ(c.err.ErrCode, 0x12345678u);
  EXPECT_EQ(c.err.ErrDetail, 9);
  EXPECT_EQ(c.err.ErrDetail2, 7);

  ASSERT_EQ(DpSim_InjectConfirmation(h, 8, nullptr, nullptr), 0);
  const Cnf zeros = Await(h, sig, 1000);
  EXPECT_EQ(zeros.kind, 8);
  EXPECT_EQ(zeros.err.ErrClass, 0u);
  EXPECT_EQ(zeros.Seq(), 0);

  DpSim_Reset();
  Read(h, Ref(h, 3), 5);
  EXPECT_EQ(Await(h, sig, 1000).Seq(), 5) << "reset turns automatic confirmation back on";
}

TEST_F(SimTest, ResetDropsQueuedConfirmationsAndTheirSignals) {
  const int32_t h = Open();
  const plat::Handle sig = Signal(h);
  Read(h, Ref(h, 3), 1);
  Read(h, Ref(h, 3), 2);
  ASSERT_EQ(DpSim_SetSlave("VCP1", 3, "changed", 7), 0);
  DpSim_Reset();
  EXPECT_EQ(DpSim_PendingConfirmations(h), 0) << "the handle stays open, its queue empty";
  EXPECT_EQ(plat::WaitOne(sig, 0), plat::kWaitTimeout);
  uint8_t data[240];
  EXPECT_EQ(DpSim_GetSlave("VCP1", 3, data), 18) << "slave data back to the configuration";
}

TEST_F(SimTest, DpScriptsReplaceOutcomesForTheGivenNumberOfCalls) {
  DpError err = {};
  int32_t h = 0;
  DpSim_Script(DPSIM_OPEN_ERRCLASS, 3, 2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_NE(OpenDpHandle("VCP1", &h, &err), 0);
    EXPECT_EQ(err.ErrClass, 3u);
    EXPECT_EQ(h, -1);
  }
  h = Open();

  DpSim_Script(DPSIM_SUBMIT_ERRCLASS, 2, 1);
  EXPECT_EQ(Read(h, Ref(h, 3), 1).ErrClass, 2u);
  EXPECT_EQ(DpSim_PendingConfirmations(h), 0) << "a refused submission confirms nothing";
  DpSim_Script(DPSIM_SUBMIT_ERRCLASS, 0, 1);
  EXPECT_EQ(Read(h, Ref(h, 3), 2).ErrClass, 0u);
  EXPECT_EQ(DpSim_PendingConfirmations(h), 0);
  EXPECT_EQ(Read(h, Ref(h, 3), 3).ErrClass, kErrClassAccepted) << "script used up";
  EXPECT_EQ(DpSim_PendingConfirmations(h), 1);

  DpSim_Script(DPSIM_INITSEMA_RESULT, 9, 1);
  plat::Handle sig = reinterpret_cast<plat::Handle>(1);
  EXPECT_EQ(DP_init_sema_object(h, 5, &sig, &err), 9);
  EXPECT_EQ(sig, nullptr);
  EXPECT_EQ(DpSim_SignalsOutstanding(), 0);

  DpSim_Script(DPSIM_CLOSE_RESULT, 7, 1);
  EXPECT_EQ(DP_close(h, &err), 7);
  DpSim_Script(DPSIM_CLOSE_ERRCLASS, 3, -1);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(DP_close(h, &err), 0) << "the result is scripted apart";
    EXPECT_EQ(err.ErrClass, 3u);
  }
  EXPECT_EQ(DpSim_OpenDpHandles(), 1) << "a close reported as failed leaves the handle open";
  DpSim_Reset();
  EXPECT_EQ(DP_close(h, &err), 0) << "reset ends a script given for ever";
  EXPECT_EQ(DpSim_OpenDpHandles(), 0);
  dp_.clear();
}

// ---- The companion library ----------------------------------------------------------

class CompanionTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
#if defined(_WIN32)
    ASSERT_NE(getcwd(cwd_, sizeof(cwd_)), nullptr);
#else
    const char* chosen = getenv("KALMORIX_COMPANION_DIR");
    hadChoice_ = chosen != nullptr;
    if (hadChoice_) choice_ = chosen;
#endif
  }
  void TearDown() override {
    if (lib_ != nullptr) Unload();
#if defined(_WIN32)
    EXPECT_EQ(chdir(cwd_), 0);
#else
    if (hadChoice_) {
      setenv("KALMORIX_COMPANION_DIR", choice_.c_str(), 1);
    } else {
      unsetenv("KALMORIX_COMPANION_DIR");
    }
#endif
    SimTest::TearDown();
  }
  // Windows finds the variant in the working directory; natively the working
  // directory is never searched and the variable names the folder.
  plat::Module Load(const char* variant) {
    const std::string dir = std::string(KX_TEST_KYDLL_DIR) + "/" + variant;
#if defined(_WIN32)
    EXPECT_EQ(chdir(dir.c_str()), 0) << dir;
#else
    EXPECT_EQ(setenv("KALMORIX_COMPANION_DIR", dir.c_str(), 1), 0) << dir;
#endif
    return plat::LibraryLoad(kFdlLibraryName);
  }
  void LoadFull() {
    lib_ = Load("full");
    ASSERT_NE(lib_, nullptr);
    open_ = reinterpret_cast<FdlOpenFn>(plat::LibrarySymbol(lib_, "ZEL_open"));
    close_ = reinterpret_cast<FdlCloseFn>(plat::LibrarySymbol(lib_, "ZEL_close"));
    send_ = reinterpret_cast<FdlSendFn>(plat::LibrarySymbol(lib_, "ZEL_send"));
    receive_ = reinterpret_cast<FdlReceiveFn>(plat::LibrarySymbol(lib_, "ZEL_receive"));
    ASSERT_TRUE(open_ && close_ && send_ && receive_);
  }
  void Unload() {
    EXPECT_TRUE(plat::LibraryFree(lib_));
    lib_ = nullptr;
  }
  static Bytes Job(uint16_t jobId, uint16_t service) {
    Bytes b(340, 0xEE);
    b[4] = 0x50;
    Put16(&b[5], jobId);
    b[7] = 2;
    b[8] = 0;
    b[12] = 0x22;
    b[13] = 0;
    Put16(&b[16], 0);
    Put16(&b[19], 260);
    Put16(&b[38], service);
    Put16(&b[60], 0xBEAD);
    return b;
  }
  // The result block the stand-in must give for `job`: every byte echoed but
  // the result fields.
  static Bytes Result(const Bytes& job, uint16_t code, const Bytes& data) {
    Bytes r = job;
    r[8] = 1;
    r[13] = 1;
    r[34] = 1;
    Put16(&r[14], code);
    Put16(&r[16], static_cast<uint16_t>(data.size()));
    Put16(&r[21], 80);
    r[52] = static_cast<uint8_t>(data.size());
    std::fill(r.begin() + 80, r.end(), 0);
    std::copy(data.begin(), data.end(), r.begin() + 80);
    return r;
  }
  // Receives with retries; the result's length, 0 when none came.
  uint16_t Receive(int32_t h, Bytes* block, int32_t* result = nullptr) {
    block->assign(340, 0);
    uint16_t length = 0;
    for (int i = 0; i < 500 && length == 0; ++i) {
      const int32_t r = receive_(h, 0, &length, 340, block->data());
      if (result != nullptr) *result = r;
      if (length == 0) plat::SleepMs(2);
    }
    return length;
  }

  char cwd_[4096] = {};
  bool hadChoice_ = false;
  std::string choice_;
  plat::Module lib_ = nullptr;
  FdlOpenFn open_ = nullptr;
  FdlCloseFn close_ = nullptr;
  FdlSendFn send_ = nullptr;
  FdlReceiveFn receive_ = nullptr;
};

TEST_F(CompanionTest, LoadsAreCounted) {
  const int before = DpSim_FdlLibrariesLoaded();
  LoadFull();
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), before + 1);
  Unload();
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), before);
}

TEST_F(CompanionTest, EachVariantLacksExactlyItsEntryPoint) {
  const char* const names[] = {"ZEL_open", "ZEL_close", "ZEL_send", "ZEL_receive"};
  const char* const variants[] = {"no_open", "no_close", "no_send", "no_receive"};
  for (int v = 0; v < 4; ++v) {
    plat::Module lib = Load(variants[v]);
    ASSERT_NE(lib, nullptr) << variants[v];
    for (int n = 0; n < 4; ++n) {
      EXPECT_EQ(plat::LibrarySymbol(lib, names[n]) == nullptr, n == v)
          << variants[v] << " " << names[n];
    }
    // Windows finds a loaded library by its base name: one variant at a time.
    EXPECT_TRUE(plat::LibraryFree(lib));
  }
  EXPECT_EQ(Load("broken"), nullptr);
}

TEST_F(CompanionTest, StatusRequestRoundTrip) {
  LoadFull();
  DpSim_LogClear();
  EXPECT_EQ(open_("NOPE"), kFdlOpenFailed);
  const int32_t h = open_("VCP2");
  ASSERT_GE(h, 0);
  EXPECT_EQ(DpSim_LastFdlHandle(), h);
  EXPECT_EQ(DpSim_OpenFdlHandles(), 1);

  Bytes none(340, 0x11);
  uint16_t length = 77;
  EXPECT_EQ(receive_(h, 0, &length, 340, none.data()), 0);
  EXPECT_EQ(length, 0) << "nothing to receive yet";
  EXPECT_EQ(none, Bytes(340, 0x11));

  const Bytes job = Job(0x4321, 26);
  ASSERT_EQ(send_(h, 340, job.data()), 0);
  Bytes r;
  ASSERT_EQ(Receive(h, &r), 340);
  EXPECT_EQ(r, Result(job, 0, {0x02, 0x00, 0x00, 0x7E})) << "JobId, service, word @60 echoed";

  EXPECT_EQ(close_(h), 0);
  EXPECT_EQ(DpSim_OpenFdlHandles(), 0);

  // The log holds the companion's calls with the blocks passed and handed out.
  const auto log = Log();
  ASSERT_GE(log.size(), 5u);
  EXPECT_STREQ(log[0].op, "ZEL_open");
  EXPECT_STREQ(log[0].text, "NOPE");
  EXPECT_EQ(log[1].result, h);
  EXPECT_STREQ(log[3].op, "ZEL_send");
  EXPECT_EQ(log[3].args[0], h);
  EXPECT_EQ(log[3].args[1], 340);
  EXPECT_EQ(Bytes(log[3].data, log[3].data + log[3].dataLen), job);
  const DpSimCall& got = log[log.size() - 2];
  EXPECT_STREQ(got.op, "ZEL_receive");
  EXPECT_EQ(got.args[5], 340) << "the length handed out";
  EXPECT_EQ(Bytes(got.data, got.data + got.dataLen), r);
  EXPECT_STREQ(log.back().op, "ZEL_close");
  for (const DpSimCall& c : log) EXPECT_EQ(c.lib, DPSIM_LIB_FDL);

  EXPECT_EQ(receive_(h, 0, &length, 340, none.data()), -1);
  EXPECT_EQ(send_(h, 340, job.data()), -1);
  EXPECT_EQ(close_(h), -1);
}

TEST_F(CompanionTest, ServicesAndMalformedBlocks) {
  LoadFull();
  const int32_t h = open_("VCP1");
  ASSERT_GE(h, 0);
  Bytes r;
  ASSERT_EQ(send_(h, 340, Job(1, 11).data()), 0);
  ASSERT_EQ(Receive(h, &r), 340);
  EXPECT_EQ(r, Result(Job(1, 11), 0, {})) << "an empty acknowledgement";
  ASSERT_EQ(send_(h, 340, Job(2, 99).data()), 0);
  ASSERT_EQ(Receive(h, &r), 340);
  EXPECT_EQ(r, Result(Job(2, 99), 3, {})) << "an unknown service fails in its result";
  Bytes limited = Job(3, 26);
  Put16(&limited[19], 2);
  ASSERT_EQ(send_(h, 340, limited.data()), 0);
  ASSERT_EQ(Receive(h, &r), 340);
  EXPECT_EQ(r, Result(limited, 0, {0x02, 0x00})) << "no more than the request's limit";

  Bytes bad = Job(4, 26);
  bad[4] = 0x51;
  EXPECT_NE(send_(h, 340, bad.data()), 0);
  bad = Job(4, 26);
  Put16(&bad[16], 261);
  EXPECT_NE(send_(h, 340, bad.data()), 0);
  EXPECT_NE(send_(h, 339, Job(4, 26).data()), 0);
  EXPECT_NE(send_(h, 340, nullptr), 0);
  uint16_t length = 0;
  EXPECT_EQ(receive_(h, 0, &length, 339, r.data()), -1) << "area too small";
  EXPECT_EQ(receive_(h, 0, &length, 340, r.data()), 0);
  EXPECT_EQ(length, 0) << "nothing was queued for the refused blocks";
  EXPECT_EQ(close_(h), 0);
}

TEST_F(CompanionTest, InjectionAndScripts) {
  LoadFull();
  DpSim_Script(DPSIM_FDL_OPEN_RESULT, -1, 1);
  EXPECT_EQ(open_("VCP1"), -1);
  DpSim_Script(DPSIM_FDL_OPEN_RESULT, 0, 1);
  EXPECT_EQ(open_("VCP1"), 0) << "a scripted number becomes the handle";
  const int32_t h = open_("VCP1");
  ASSERT_GT(h, 0);

  DpSim_SetAutoConfirm(0);
  ASSERT_EQ(send_(h, 340, Job(5, 26).data()), 0);
  uint16_t length = 0;
  Bytes r(340);
  EXPECT_EQ(receive_(h, 0, &length, 340, r.data()), 0);
  EXPECT_EQ(length, 0) << "manual mode: nothing until injected";
  Bytes injected(340);
  for (size_t i = 0; i < injected.size(); ++i) injected[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(DpSim_InjectFdlResult(h, injected.data(), 123, 17), 0);
  EXPECT_EQ(DpSim_InjectFdlResult(h + 1000, injected.data(), 340, 0), -1);
  EXPECT_EQ(receive_(h, 0, &length, 340, r.data()), 17);
  EXPECT_EQ(length, 123);
  EXPECT_EQ(r, injected);
  DpSim_SetAutoConfirm(1);

  DpSim_Script(DPSIM_FDL_SEND_RESULT, 4, 1);
  EXPECT_EQ(send_(h, 340, Job(6, 26).data()), 4);
  EXPECT_EQ(receive_(h, 0, &length, 340, r.data()), 0);
  EXPECT_EQ(length, 0) << "a refused send queues no result";

  DpSim_Script(DPSIM_FDL_CLOSE_RESULT, 5, 1);
  EXPECT_EQ(close_(h), 5);
  EXPECT_EQ(DpSim_OpenFdlHandles(), 2) << "still open";
  EXPECT_EQ(close_(h), 0);
  EXPECT_EQ(close_(0), 0);
}

TEST_F(CompanionTest, SendAndReceiveRunTogetherOnOneHandle) {
  ASSERT_EQ(DpSimCfg_Apply("baud 500000\nfdl_receive_wait_ms 20\n", nullptr, 0), 0);
  LoadFull();
  const int32_t h = open_("VCP1");
  ASSERT_GE(h, 0);
  constexpr int kJobs = 200;
  std::atomic<int> received{0};
  std::atomic<bool> inOrder{true};
  std::thread receiver([&] {
    Bytes r(340);
    for (int tries = 0; received < kJobs && tries < 2000; ++tries) {
      uint16_t length = 0;
      if (receive_(h, 0, &length, 340, r.data()) == 0 && length == 340) {
        if (U16(&r[5]) != received + 1) inOrder = false;
        ++received;
      }
    }
  });
  int refused = 0;
  for (int i = 1; i <= kJobs; ++i) {
    if (send_(h, 340, Job(static_cast<uint16_t>(i), i % 2 ? 26 : 11).data()) != 0) ++refused;
  }
  receiver.join();
  EXPECT_EQ(refused, 0);
  EXPECT_EQ(received, kJobs);
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(close_(h), 0);
}

TEST_F(CompanionTest, CloseWakesAWaitingReceiver) {
  ASSERT_EQ(DpSimCfg_Apply("fdl_receive_wait_ms 5000\n", nullptr, 0), 0);
  LoadFull();
  const int32_t h = open_("VCP1");
  ASSERT_GE(h, 0);
  int32_t result = 0;
  uint64_t waitedUs = 0;
  std::thread receiver([&] {
    Bytes r(340);
    uint16_t length = 0;
    const uint64_t start = DpSim_NowUs();
    result = receive_(h, 0, &length, 340, r.data());
    waitedUs = DpSim_NowUs() - start;
  });
  plat::SleepMs(100);
  EXPECT_EQ(close_(h), 0);
  receiver.join();
  EXPECT_EQ(result, -1);
  EXPECT_LT(waitedUs, 4000000u);
}

// ---- Call log and trace ---------------------------------------------------------------

TEST_F(SimTest, LogRecordsEveryCallInOrderWithItsArguments) {
  const int32_t h = Open();
  const plat::Handle sig = Signal(h);
  const uint32_t ref = Ref(h, 4);
  DpSim_LogClear();
  const uint64_t before = DpSim_NowUs();
  TraceMessage("hello trace", 1, 0, 0, 0);
  const Bytes req = Request(0x55, ref, Text("abc"), false);
  DpError err = {};
  Dpc1Write(h, Bytes(req).data(), &err);
  ASSERT_EQ(plat::WaitOne(sig, 1000), plat::kWaitObject0);
  const Cnf c = Fetch(h);
  DpError err2 = {};
  int32_t none = 0;
  OpenDpHandle("NOPE", &none, &err2);

  const auto log = Log();
  ASSERT_EQ(log.size(), 4u);
  for (uint32_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i].seq, i);
    EXPECT_EQ(log[i].lib, DPSIM_LIB_DPMASTER);
    EXPECT_GE(log[i].timeUs, before);
    EXPECT_EQ(log[i].threadId, log[0].threadId);
  }
  EXPECT_STREQ(log[0].op, "TraceMessage");
  EXPECT_STREQ(log[0].text, "hello trace");
  EXPECT_EQ(log[0].args[1], 1);

  EXPECT_STREQ(log[1].op, "Dpc1Write");
  EXPECT_EQ(log[1].args[0], h);
  EXPECT_EQ(log[1].args[1], 1);
  EXPECT_EQ(log[1].errClass, kErrClassAccepted);
  ASSERT_EQ(log[1].dataLen, 262u);
  EXPECT_EQ(Bytes(log[1].data, log[1].data + 262), req);

  EXPECT_STREQ(log[2].op, "FetchConfirmation");
  EXPECT_EQ(log[2].args[1], 7000);
  EXPECT_EQ(log[2].args[5], kCnfKindWrite) << "the kind handed out";
  EXPECT_EQ(Bytes(log[2].data, log[2].data + 262), Bytes(c.area, c.area + 262));

  EXPECT_STREQ(log[3].op, "OpenDpHandle");
  EXPECT_STREQ(log[3].text, "NOPE");
  EXPECT_EQ(log[3].errClass, err2.ErrClass);
  EXPECT_EQ(log[3].result, -1);

  DpSimCall out;
  EXPECT_EQ(DpSim_LogGet(4, &out), -1);
  DpSim_LogClear();
  EXPECT_EQ(DpSim_LogCount(), 0u);
  TraceMessage("again", 1, 0, 0, 0);
  ASSERT_EQ(DpSim_LogGet(0, &out), 0);
  EXPECT_EQ(out.seq, 0u) << "numbering restarts after a clear";
}

TEST_F(SimTest, LogKeepsTheLatestEntriesAtItsLimit) {
  ASSERT_EQ(DpSimCfg_Apply("log_limit 5\n", nullptr, 0), 0);
  for (int i = 0; i < 8; ++i) TraceMessage(std::to_string(i).c_str(), 1, 0, 0, 0);
  const auto log = Log();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0].seq, 3u) << "the oldest went; the gap shows in the numbers";
  EXPECT_STREQ(log[4].text, "7");
}

TEST_F(SimTest, ConcurrentClientsLoseNeitherConfirmationsNorLogEntries) {
  DpSim_SetDelayUs(0xFFFFFFFFu);
  constexpr int kThreads = 4;
  constexpr int kJobs = 150;
  int32_t handles[kThreads];
  for (int32_t& h : handles) h = Open(dp_.size() % 2 ? "VCP1" : "VCP2");
  DpSim_LogClear();
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const int32_t h = handles[t];
      plat::Handle sig = nullptr;
      DpError err = {};
      if (DP_init_sema_object(h, 5, &sig, &err) != 0) {
        ++wrong;
        return;
      }
      uint32_t ref = 0;
      SlaveLookup(h, 3 + t % 3, &ref, &err);
      for (int i = 1; i <= kJobs; ++i) {
        Bytes r = Request(static_cast<uint16_t>(i), ref);
        Dpc1Read(h, r.data(), &err);
        if (plat::WaitOne(sig, 5000) != plat::kWaitObject0) {
          ++wrong;
          break;
        }
        uint16_t kind = 0;
        uint8_t area[264];
        if (FetchConfirmation(h, 7000, &kind, area, &err) != 0 || U16(area) != i) ++wrong;
      }
      FreeSemaObject(h, sig, &err);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
  // Per thread: init, lookup, free, and a read and a fetch per job.
  EXPECT_EQ(DpSim_LogCount(), static_cast<uint32_t>(kThreads * (3 + 2 * kJobs)));
}

TEST_F(SimTest, TraceLinesGoToTheChosenFile) {
  const std::string path =
      std::string(KX_TEST_BIN_DIR) + "/sim_test_trace_" + std::to_string(DpSim_NowUs()) + ".txt";
  remove(path.c_str());
  DpSim_SetTrace(path.c_str());
  TraceMessage("first line", 1, 0, 0, 0);
  DpSim_SetTrace("OFF");  // the keyword, in any case; not a file
  TraceMessage("not written", 1, 0, 0, 0);
  EXPECT_EQ(fopen("OFF", "r"), nullptr);
  DpSim_SetTrace(path.c_str());
  TraceMessage("second line", 1, 0, 0, 0);
  DpSim_SetTrace("off");

  FILE* f = fopen(path.c_str(), "r");
  ASSERT_NE(f, nullptr);
  std::vector<std::string> lines;
  char buf[512];
  while (fgets(buf, sizeof(buf), f) != nullptr) lines.emplace_back(buf);
  fclose(f);
  remove(path.c_str());
  ASSERT_EQ(lines.size(), 2u);
  // "YYYY-MM-DD HH:MM:SS.uuuuuu text"
  EXPECT_EQ(lines[0].substr(27), "first line\n");
  EXPECT_EQ(lines[1].substr(27), "second line\n");
  EXPECT_EQ(lines[0][4], '-');
  EXPECT_EQ(lines[0][19], '.');
}

// ---- Configuration ----------------------------------------------------------------------

TEST_F(SimTest, ConfigurationTextReplacesTheDefaultProcessors) {
  char diag[512];
  const char* text =
      "# comment\n"
      "baud 93750\n"
      "processor PLANT\n"
      "slave 7 text two words # kept\n"
      "slave 8 hex 0102 ff\n"
      "slave 9\n"
      "fdl_status hex 01,02\n";
  ASSERT_EQ(DpSimCfg_Apply(text, diag, sizeof(diag)), 0) << diag;
  uint8_t data[240];
  EXPECT_EQ(DpSim_GetSlave("VCP1", 3, data), -1) << "the defaults are gone";
  ASSERT_EQ(DpSim_GetSlave("PLANT", 7, data), 16);
  EXPECT_EQ(Bytes(data, data + 16), Text("two words # kept"));
  ASSERT_EQ(DpSim_GetSlave("PLANT", 8, data), 3);
  EXPECT_EQ(Bytes(data, data + 3), (Bytes{1, 2, 0xFF}));
  EXPECT_EQ(DpSim_GetSlave("PLANT", 9, data), 0);
  EXPECT_EQ(DpSimCfg_Dpc1BusTimeUs(0, 0), 5184u) << "486 bits at 93750 bit/s";

  int32_t h = -1;
  DpError err = {};
  EXPECT_NE(OpenDpHandle("VCP1", &h, &err), 0);
  Open("PLANT");
}

TEST_F(SimTest, BadConfigurationLinesAreReportedAndSkipped) {
  char diag[1024];
  const char* text =
      "slave 3 text before any processor\n"
      "processor P\n"
      "slave 256 text address too big\n"
      "slave 4 hex 0g\n"
      "slave 5 base64 AAAA\n"
      "baud 0\n"
      "log_limit many\n"
      "colour blue\n"
      "slave 7 hex 1 2 3 4\n"
      "slave 6 text fine\n";
  EXPECT_EQ(DpSimCfg_Apply(text, diag, sizeof(diag)), 8);
  EXPECT_NE(strstr(diag, "config line 1:"), nullptr) << diag;
  EXPECT_NE(strstr(diag, "config line 8:"), nullptr) << diag;
  EXPECT_NE(strstr(diag, "config line 9: hex bytes: a byte split by a blank"), nullptr) << diag;
  EXPECT_EQ(strstr(diag, "config line 10:"), nullptr) << diag;
  EXPECT_EQ(DpSim_GetSlave("P", 6, nullptr), 4);
  EXPECT_EQ(DpSim_GetSlave("P", 4, nullptr), -1);
  EXPECT_EQ(DpSim_GetSlave("P", 7, nullptr), -1) << "digits paired across blanks";
  EXPECT_EQ(DpSimCfg_Dpc1BusTimeUs(0, 240), 2084u) << "the default baud rate stayed";

  const std::string tooLong = "processor P\nslave 1 hex " + std::string(241 * 2, 'a') + "\n";
  EXPECT_EQ(DpSimCfg_Apply(tooLong.c_str(), nullptr, 0), 1);
}

TEST_F(SimTest, TheExampleConfigurationIsValid) {
  FILE* f = fopen(KX_TEST_EXAMPLE_CFG, "rb");
  ASSERT_NE(f, nullptr) << KX_TEST_EXAMPLE_CFG;
  std::string text;
  char buf[1024];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
  fclose(f);
  char diag[512];
  EXPECT_EQ(DpSimCfg_Apply(text.c_str(), diag, sizeof(diag)), 0) << diag;
  EXPECT_EQ(DpSim_GetSlave("CP_PLANT", 3, nullptr), 20);
  EXPECT_EQ(DpSim_GetSlave("CP_PLANT", 7, nullptr), 8);
  EXPECT_EQ(DpSim_GetSlave("CP_LAB", 12, nullptr), 17);
}

}  // namespace
