// Stress: all eight channels busy at once from one to three threads each,
// the stand-in confirming at random times, stamping every confirmation and
// injecting faults at random; every delivered result is checked against the
// job it must belong to. First the stand-in's stamps, delays and faults on
// their own, since the run trusts them.
//
// Run length: --duration=SECONDS or KX_STRESS_SECONDS (default 30, a third
// of it without faults); --seed=N or KX_STRESS_SEED repeats the random
// choices (thread timing still varies).
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "dpsim_private.h"
#include "extlib/dp_master.h"
#include "platform/message_window.h"
#include "support/test_support.h"

using namespace kxtest;

namespace {

using Clock = std::chrono::steady_clock;

double g_seconds = 30.0;
uint32_t g_seed = 0;

int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// ---- The stand-in on its own ----------------------------------------------------

struct Cnf {
  uint16_t kind = 0;
  uint8_t record[264] = {};
  DpError err = {};
  uint16_t Seq() const { return static_cast<uint16_t>(record[0] | record[1] << 8); }
  uint8_t DataLen() const { return record[15]; }
  const uint8_t* Data() const { return record + 16; }
};

class StandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    DpSim_Reset();
    DpSim_SetTrace("off");
    DpSim_SetDelayUs(0);  // confirmed inside the submitting call
    DpSim_SetStamping(1);
  }
  void TearDown() override {
    DpError err = {};
    for (int32_t h : dp_) DP_close(h, &err);
    for (int32_t f : fdl_) DpSimFdl_Close(f);
    DpSim_Reset();
  }

  int32_t OpenDp(const char* cp = "VCP1") {
    int32_t h = -1;
    DpError err = {};
    EXPECT_EQ(OpenDpHandle(cp, &h, &err), 0);
    dp_.push_back(h);
    return h;
  }
  int32_t OpenFdl(const char* cp = "VCP1") {
    const int32_t f = DpSimFdl_Open(cp);
    EXPECT_GE(f, 0);
    fdl_.push_back(f);
    return f;
  }
  static std::vector<uint8_t> Request(uint16_t seq, uint8_t slave, uint8_t dataLen = 240) {
    std::vector<uint8_t> r(262, 0);
    PutU16Raw(&r[0], seq);
    const uint32_t ref = 0x51A70000u | slave;
    for (int i = 0; i < 4; ++i) r[2 + i] = static_cast<uint8_t>(ref >> (8 * i));
    r[15] = dataLen;
    return r;
  }
  static DpError Read(int32_t h, uint16_t seq, uint8_t slave = 3, uint8_t dataLen = 240) {
    std::vector<uint8_t> r = Request(seq, slave, dataLen);
    DpError err = {};
    Dpc1Read(h, r.data(), &err);
    return err;
  }
  // Everything queued on the handle, in order.
  static std::vector<Cnf> FetchAll(int32_t h) {
    std::vector<Cnf> out;
    for (;;) {
      Cnf c;
      if (FetchConfirmation(h, 0, &c.kind, c.record, &c.err) != 0) return out;
      out.push_back(c);
    }
  }
  static std::vector<uint8_t> FdlRequest(uint16_t jobId, uint16_t service, uint16_t limit = 260) {
    std::vector<uint8_t> b(340, 0);
    b[4] = 0x50;
    PutU16Raw(&b[5], jobId);
    b[7] = 2;
    b[12] = 0x22;
    PutU16Raw(&b[19], limit);
    PutU16Raw(&b[38], service);
    return b;
  }
  static std::vector<std::vector<uint8_t>> ReceiveAll(int32_t f) {
    std::vector<std::vector<uint8_t>> out;
    for (;;) {
      std::vector<uint8_t> b(340, 0);
      uint16_t length = 0;
      if (DpSimFdl_Receive(f, 0, &length, 340, b.data()) != 0 || length == 0) return out;
      out.push_back(b);
    }
  }
  static void PutU16Raw(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
  }
  static uint16_t U16Raw(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

  std::vector<int32_t> dp_;
  std::vector<int32_t> fdl_;
};

TEST_F(StandIn, ReadStampNamesItsConfirmationAndEveryByteCounts) {
  const int32_t h = OpenDp();
  const uint32_t before = DpSim_StampCount();
  ASSERT_EQ(Read(h, 0x1234).ErrClass, 1u);
  std::vector<Cnf> cnf = FetchAll(h);
  ASSERT_EQ(cnf.size(), 1u);
  const Cnf& c = cnf[0];
  EXPECT_EQ(c.kind, 7);
  EXPECT_EQ(c.err.ErrClass, 0u);
  const uint32_t n = c.DataLen();
  ASSERT_GE(n, uint32_t{DPSIM_STAMP_MIN});
  ASSERT_LE(n, 240u);
  DpSimStamp s = {};
  ASSERT_EQ(DpSim_StampCheck(c.Data(), n, &s), 0);
  EXPECT_EQ(s.lib, DPSIM_LIB_DPMASTER);
  EXPECT_EQ(s.handle, h);
  EXPECT_EQ(s.seq, 0x1234);
  EXPECT_EQ(s.kind, 7);
  EXPECT_EQ(s.length, n);
  EXPECT_EQ(s.counter, before + 1);
  EXPECT_EQ(DpSim_StampCount(), before + 1);
  EXPECT_TRUE(std::all_of(c.Data() + n, c.record + 256, [](uint8_t b) { return b == 0; }))
      << "zero-filled after the stamp";

  // Any single changed bit, a cut or an extension fails the check.
  std::vector<uint8_t> bytes(c.Data(), c.Data() + n);
  for (uint32_t i = 0; i < n; ++i) {
    for (uint8_t bit : {0x01, 0x80}) {
      bytes[i] ^= bit;
      EXPECT_EQ(DpSim_StampCheck(bytes.data(), n, nullptr), -1) << "byte " << i;
      bytes[i] ^= bit;
    }
  }
  EXPECT_EQ(DpSim_StampCheck(bytes.data(), n - 1, nullptr), -1);
  bytes.push_back(0);
  EXPECT_EQ(DpSim_StampCheck(bytes.data(), n + 1, nullptr), -1);
  EXPECT_EQ(DpSim_StampCheck(nullptr, n, nullptr), -1);
  std::vector<uint8_t> zeros(240, 0);
  EXPECT_EQ(DpSim_StampCheck(zeros.data(), 240, nullptr), -1);
}

TEST_F(StandIn, SplicedStampsOfEqualLengthDoNotCheck) {
  const int32_t h = OpenDp();
  std::map<uint8_t, std::vector<uint8_t>> byLength;
  std::vector<uint8_t> a;
  std::vector<uint8_t> b;
  uint32_t lastCounter = 0;
  for (uint16_t seq = 1; seq < 2000 && a.empty(); ++seq) {
    ASSERT_EQ(Read(h, seq).ErrClass, 1u);
    std::vector<Cnf> cnf = FetchAll(h);
    ASSERT_EQ(cnf.size(), 1u);
    std::vector<uint8_t> data(cnf[0].Data(), cnf[0].Data() + cnf[0].DataLen());
    DpSimStamp s = {};
    ASSERT_EQ(DpSim_StampCheck(data.data(), static_cast<uint32_t>(data.size()), &s), 0);
    EXPECT_GT(s.counter, lastCounter) << "counters only grow";
    lastCounter = s.counter;
    auto [it, fresh] = byLength.emplace(static_cast<uint8_t>(data.size()), data);
    if (!fresh) {
      a = it->second;
      b = data;
    }
  }
  ASSERT_FALSE(a.empty()) << "no two stamps of equal length";
  ASSERT_GT(byLength.size(), 5u) << "lengths vary";
  int spliced = 0;
  for (size_t cut = 1; cut < a.size(); ++cut) {
    std::vector<uint8_t> mixed(a.begin(), a.begin() + cut);
    mixed.insert(mixed.end(), b.begin() + cut, b.end());
    if (mixed == a || mixed == b) continue;  // the two agree on one side of the cut
    ++spliced;
    EXPECT_EQ(DpSim_StampCheck(mixed.data(), static_cast<uint32_t>(mixed.size()), nullptr), -1)
        << "cut at " << cut;
  }
  EXPECT_GT(spliced, 0);
}

TEST_F(StandIn, WithoutStampingOrRoomForAStampTheSlaveDataComeBack) {
  const int32_t h = OpenDp();
  const char kText[] = "VCP1 slave 3 ALPHA";
  ASSERT_EQ(Read(h, 1, 3, 23).ErrClass, 1u);  // too short for a stamp
  DpSim_SetStamping(0);
  ASSERT_EQ(Read(h, 2).ErrClass, 1u);
  DpSim_SetStamping(1);
  ASSERT_EQ(Read(h, 3, 9).ErrClass, 1u);  // nobody at address 9
  std::vector<Cnf> cnf = FetchAll(h);
  ASSERT_EQ(cnf.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(cnf[i].DataLen(), sizeof(kText) - 1);
    EXPECT_EQ(memcmp(cnf[i].Data(), kText, sizeof(kText) - 1), 0);
  }
  EXPECT_EQ(cnf[2].err.ErrClass, 2u);
  EXPECT_EQ(cnf[2].err.ErrCode, 0x11u);
  EXPECT_EQ(cnf[2].DataLen(), 0);

  // A write confirmation is the request echoed, never a stamp.
  std::vector<uint8_t> w = Request(4, 4, 3);
  w[16] = 'x';
  w[17] = 'y';
  w[18] = 'z';
  DpError err = {};
  Dpc1Write(h, w.data(), &err);
  cnf = FetchAll(h);
  ASSERT_EQ(cnf.size(), 1u);
  EXPECT_EQ(cnf[0].kind, 8);
  EXPECT_EQ(cnf[0].DataLen(), 3);
  EXPECT_EQ(memcmp(cnf[0].Data(), "xyz", 3), 0);
}

TEST_F(StandIn, FdlStampsEchoJobIdAndServiceWithinTheDataLimit) {
  const int32_t f = OpenFdl();
  ASSERT_EQ(DpSimFdl_Send(f, 340, FdlRequest(0x0A0B, 26).data()), 0);
  ASSERT_EQ(DpSimFdl_Send(f, 340, FdlRequest(0x0C0D, 11, 30).data()), 0);
  ASSERT_EQ(DpSimFdl_Send(f, 340, FdlRequest(0x0E0F, 26, 20).data()), 0);  // no room: status
  ASSERT_EQ(DpSimFdl_Send(f, 340, FdlRequest(0x1011, 12).data()), 0);      // no such service
  const auto results = ReceiveAll(f);
  ASSERT_EQ(results.size(), 4u);
  const struct {
    uint16_t jobId, service, maxLength;
  } stamped[] = {{0x0A0B, 26, 260}, {0x0C0D, 11, 30}};
  for (int i = 0; i < 2; ++i) {
    const uint8_t* b = results[i].data();
    const uint16_t n = U16Raw(b + 16);
    EXPECT_EQ(U16Raw(b + 14), 0) << i;
    EXPECT_EQ(b[52], static_cast<uint8_t>(n));
    EXPECT_LE(n, stamped[i].maxLength);
    DpSimStamp s = {};
    ASSERT_EQ(DpSim_StampCheck(b + 80, n, &s), 0) << i;
    EXPECT_EQ(s.lib, DPSIM_LIB_FDL);
    EXPECT_EQ(s.handle, f);
    EXPECT_EQ(s.seq, stamped[i].jobId);
    EXPECT_EQ(s.kind, stamped[i].service);
  }
  EXPECT_EQ(U16Raw(results[2].data() + 16), 4);
  const uint8_t status[] = {0x02, 0x00, 0x00, 0x7E};
  EXPECT_EQ(memcmp(results[2].data() + 80, status, 4), 0);
  EXPECT_EQ(U16Raw(results[3].data() + 14), 3);
  EXPECT_EQ(U16Raw(results[3].data() + 16), 0);
}

TEST_F(StandIn, RandomDelaysComeNoSoonerThanTheirMinimumAndKeepTheOrderPerSlave) {
  EXPECT_EQ(DpSim_SetDelayRangeUs(5, 4), -1);
  EXPECT_EQ(DpSim_SetDelayRangeUs(0, 60000001), -1);
  const int32_t h = OpenDp();

  // Odd sequence numbers to slave 3, even ones to slave 4.
  ASSERT_EQ(DpSim_SetDelayRangeUs(0, 20000), 0);
  for (uint16_t seq = 1; seq <= 40; ++seq) {
    ASSERT_EQ(Read(h, seq, static_cast<uint8_t>(3 + seq % 2)).ErrClass, 1u);
  }
  std::vector<Cnf> cnf;
  ASSERT_TRUE(WaitUntil(
      [&] {
        for (const Cnf& c : FetchAll(h)) cnf.push_back(c);
        return cnf.size() >= 40;
      },
      10000));
  ASSERT_EQ(cnf.size(), 40u);
  uint16_t last[2] = {0, 0};
  bool overtaken = false;
  for (size_t i = 0; i < cnf.size(); ++i) {
    const uint16_t seq = cnf[i].Seq();
    EXPECT_GT(seq, last[seq % 2]) << "submission order within a slave";
    last[seq % 2] = seq;
    overtaken = overtaken || (i > 0 && seq < cnf[i - 1].Seq());
  }
  EXPECT_TRUE(overtaken) << "no confirmation of one slave overtook the other's";

  ASSERT_EQ(DpSim_SetDelayRangeUs(150000, 250000), 0);
  const uint64_t t0 = DpSim_NowUs();
  ASSERT_EQ(Read(h, 41).ErrClass, 1u);
  ASSERT_TRUE(WaitUntil([&] { return !FetchAll(h).empty(); }, 10000));
  EXPECT_GE(DpSim_NowUs() - t0, 150000u);

  DpSim_SetDelayUs(0);  // ends the range
  ASSERT_EQ(Read(h, 42).ErrClass, 1u);
  EXPECT_EQ(FetchAll(h).size(), 1u) << "confirmed inside the call again";
}

TEST_F(StandIn, RefusalsQueueNothingAndAreCountedPerHandle) {
  const int32_t h = OpenDp();
  const int32_t other = OpenDp();
  const int32_t f = OpenFdl();
  DpSim_SetFault(DPSIM_FAULT_REFUSE, 1000000);
  DpSim_SetFault(DPSIM_FAULT_FDL_REFUSE, 1000000);
  std::vector<uint8_t> r = Request(1, 3);
  DpError err = {};
  EXPECT_EQ(Dpc1Read(h, r.data(), &err), -1);
  EXPECT_EQ(err.ErrClass, 2u);
  EXPECT_EQ(err.ErrCode, 0x06u);
  EXPECT_EQ(Dpc1Write(h, Request(2, 3, 1).data(), &err), -1);
  EXPECT_EQ(DpSimFdl_Send(f, 340, FdlRequest(1, 26).data()), -3);
  EXPECT_EQ(DpSim_PendingConfirmations(h), 0);
  EXPECT_EQ(DpSim_PendingFdlResults(f), 0);
  EXPECT_EQ(DpSim_FaultCount(DPSIM_FAULT_REFUSE, h), 2u);
  EXPECT_EQ(DpSim_FaultCount(DPSIM_FAULT_REFUSE, other), 0u);
  EXPECT_EQ(DpSim_FaultCount(DPSIM_FAULT_REFUSE, -1), 2u);
  EXPECT_EQ(DpSim_FaultCount(DPSIM_FAULT_FDL_REFUSE, f), 1u);
  EXPECT_EQ(DpSim_FaultCount(DPSIM_FAULT_LATE, -1), 0u);

  // A script decides before the random faults.
  DpSim_Script(DPSIM_SUBMIT_ERRCLASS, 0, 1);
  EXPECT_EQ(Dpc1Read(h, r.data(), &err), 0);
  EXPECT_EQ(err.ErrClass, 0u);

  DpSim_Reset();
  EXPECT_EQ(DpSim_FaultCount(DPSIM_FAULT_REFUSE, -1), 0u);
  EXPECT_EQ(Dpc1Read(h, r.data(), &err), 0) << "faults end with the reset";
  EXPECT_EQ(DpSimFdl_Send(f, 340, FdlRequest(2, 26).data()), 0);
}

TEST_F(StandIn, LateConfirmationsCarryAnOlderSeqNoBeforeOrAfterTheJobsOwn) {
  const int32_t h = OpenDp();
  DpSim_SetFault(DPSIM_FAULT_LATE, 1000000);
  ASSERT_EQ(Read(h, 0).ErrClass, 1u);
  EXPECT_EQ(FetchAll(h).size(), 1u) << "nothing older than the first SeqNo";
  EXPECT_EQ(DpSim_FaultCount(DPSIM_FAULT_LATE, h), 0u);

  ASSERT_EQ(Read(h, 1).ErrClass, 1u);
  std::vector<Cnf> cnf = FetchAll(h);
  ASSERT_EQ(cnf.size(), 2u);
  const Cnf& wrapped = cnf[0].Seq() == 1 ? cnf[1] : cnf[0];
  EXPECT_GE(wrapped.Seq(), 0xFFF7) << "below 1, skipping 0";

  int before = 0;
  int after = 0;
  for (uint16_t seq = 100; seq < 140; ++seq) {
    ASSERT_EQ(Read(h, seq).ErrClass, 1u);
    cnf = FetchAll(h);
    ASSERT_EQ(cnf.size(), 2u);
    const int own = cnf[0].Seq() == seq ? 0 : 1;
    (own == 0 ? after : before)++;
    const Cnf& late = cnf[1 - own];
    EXPECT_EQ(late.kind, 7);
    EXPECT_LT(late.Seq(), seq);
    EXPECT_GE(late.Seq(), seq - 8);
    DpSimStamp s = {};
    ASSERT_EQ(DpSim_StampCheck(late.Data(), late.DataLen(), &s), 0);
    EXPECT_EQ(s.seq, late.Seq());
  }
  EXPECT_GT(before, 0);
  EXPECT_GT(after, 0);
  EXPECT_EQ(DpSim_FaultCount(DPSIM_FAULT_LATE, h), 41u);

  // A read-back (SeqNo 0) gets one below the newest non-zero SeqNo.
  ASSERT_EQ(Read(h, 0).ErrClass, 1u);
  cnf = FetchAll(h);
  ASSERT_EQ(cnf.size(), 2u);
  const Cnf& late = cnf[0].Seq() == 0 ? cnf[1] : cnf[0];
  EXPECT_LT(late.Seq(), 139);
  EXPECT_GE(late.Seq(), 131);
}

TEST_F(StandIn, UnknownKindsAndForeignFdlResultsComeBesideTheRealOnes) {
  const int32_t h = OpenDp();
  const int32_t f = OpenFdl();
  DpSim_SetFault(DPSIM_FAULT_UNKNOWN_KIND, 1000000);
  DpSim_SetFault(DPSIM_FAULT_FDL_FOREIGN, 1000000);
  std::set<uint16_t> kinds;
  for (uint16_t seq = 1; seq <= 60; ++seq) {
    ASSERT_EQ(Read(h, seq).ErrClass, 1u);
    std::vector<Cnf> cnf = FetchAll(h);
    ASSERT_EQ(cnf.size(), 2u);
    const int own = cnf[0].kind == 7 ? 0 : 1;
    const Cnf& odd = cnf[1 - own];
    EXPECT_NE(odd.kind, 7);
    EXPECT_NE(odd.kind, 8);
    kinds.insert(odd.kind);
    DpSimStamp s = {};
    ASSERT_EQ(DpSim_StampCheck(odd.Data(), odd.DataLen(), &s), 0);
    EXPECT_EQ(s.kind, odd.kind);
    EXPECT_EQ(s.seq, seq);
  }
  EXPECT_GT(kinds.size(), 3u);

  for (uint16_t id = 50; id < 60; ++id) {
    ASSERT_EQ(DpSimFdl_Send(f, 340, FdlRequest(id, 26).data()), 0);
    const auto results = ReceiveAll(f);
    ASSERT_EQ(results.size(), 2u);
    const int own = U16Raw(results[0].data() + 5) == id ? 0 : 1;
    const uint8_t* foreign = results[1 - own].data();
    const uint16_t other = U16Raw(foreign + 5);
    EXPECT_LT(other, id);
    EXPECT_GE(other, id - 8);
    DpSimStamp s = {};
    ASSERT_EQ(DpSim_StampCheck(foreign + 80, U16Raw(foreign + 16), &s), 0);
    EXPECT_EQ(s.seq, other);
  }
  EXPECT_EQ(DpSim_FaultCount(DPSIM_FAULT_UNKNOWN_KIND, h), 60u);
  EXPECT_EQ(DpSim_FaultCount(DPSIM_FAULT_FDL_FOREIGN, f), 10u);
}

TEST_F(StandIn, TheSeedRepeatsTheRandomChoices) {
  auto run = [&](uint32_t seed) {
    DpSim_Reset();
    DpSim_SetDelayUs(0);
    DpSim_SetStamping(1);
    DpSim_SetRandomSeed(seed);
    DpSim_SetFault(DPSIM_FAULT_LATE, 300000);
    DpSim_SetFault(DPSIM_FAULT_REFUSE, 200000);
    const int32_t h = OpenDp();
    std::vector<int> trace;
    for (uint16_t seq = 1; seq <= 60; ++seq) {
      const DpError err = Read(h, seq);
      trace.push_back(static_cast<int>(err.ErrClass));
      for (const Cnf& c : FetchAll(h)) trace.push_back(c.Seq() * 1000 + c.DataLen());
    }
    return trace;
  };
  const std::vector<int> first = run(7);
  EXPECT_EQ(run(7), first);
  EXPECT_NE(run(8), first);
}

TEST_F(StandIn, ManyThreadsGetIntactUniqueStamps) {
  DpSim_SetDelayRangeUs(0, 500);
  DpSim_SetFault(DPSIM_FAULT_LATE, 100000);
  DpSim_SetFault(DPSIM_FAULT_UNKNOWN_KIND, 100000);
  constexpr int kThreads = 4;
  constexpr int kReads = 300;
  std::vector<int32_t> handles;
  for (int i = 0; i < kThreads; ++i) handles.push_back(OpenDp(i % 2 ? "VCP2" : "VCP1"));
  std::vector<std::vector<uint32_t>> counters(kThreads);
  std::vector<int> bad(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const int32_t h = handles[t];
      for (uint16_t seq = 1; seq <= kReads; ++seq) {
        if (Read(h, seq, static_cast<uint8_t>(3 + seq % 3)).ErrClass != 1) ++bad[t];
      }
      std::vector<Cnf> all;
      WaitUntil(
          [&] {
            for (const Cnf& c : FetchAll(h)) all.push_back(c);
            return DpSim_PendingConfirmations(h) == 0;
          },
          20000);
      // The next read of each of the three slaves, whose confirmations keep
      // their order per slave.
      uint16_t next[3] = {3, 1, 2};
      uint16_t own = 0;
      for (const Cnf& c : all) {
        DpSimStamp s = {};
        if (DpSim_StampCheck(c.Data(), c.DataLen(), &s) != 0 || s.handle != h) {
          ++bad[t];
          continue;
        }
        counters[t].push_back(s.counter);
        if (c.kind == 7 && s.seq == next[s.seq % 3]) {
          next[s.seq % 3] = static_cast<uint16_t>(s.seq + 3);
          ++own;
        }
      }
      if (own != kReads) ++bad[t];  // every read's own confirmation, in order per slave
    });
  }
  for (std::thread& t : threads) t.join();
  std::unordered_set<uint32_t> seen;
  size_t total = 0;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(bad[t], 0) << "thread " << t;
    for (uint32_t c : counters[t]) seen.insert(c);
    total += counters[t].size();
  }
  EXPECT_GE(total, size_t{kThreads * kReads});
  EXPECT_EQ(seen.size(), total) << "a stamp counter came twice";
}

// ---- The module under stress ----------------------------------------------------

enum class Kind { Read, ReadSilent, Write, Fdl11, Fdl26 };
const char* KindName(Kind k) {
  switch (k) {
    case Kind::Read:
      return "read";
    case Kind::ReadSilent:
      return "read of a silent slave";
    case Kind::Write:
      return "write";
    case Kind::Fdl11:
      return "FDL 11";
    case Kind::Fdl26:
      return "FDL 26";
  }
  return "?";
}
bool IsFdl(Kind k) { return k == Kind::Fdl11 || k == Kind::Fdl26; }

constexpr uint8_t kSilentSlave = 9;

struct Job {
  Kind kind = Kind::Read;
  uint16_t jobId = 0;
  uint16_t seq = 0;  // the channel's JobSeq for it: SeqNo of the record, JobId of the FDL block
  bool accepted = false;
  int32_t dp = -1;
  int32_t fdl = -1;
  uint32_t faultsAtSend = 0;
  // A write passed on while an earlier write of the channel may still be
  // confirmed: when the two may be confirmed in either order, the module may
  // not be able to tell whose status is whose and fails the write.
  bool mayBeUnattributable = false;
  bool behindWrite = false;  // an unfinished write of the channel may still go first
  Clock::time_point sent;
  enum State {
    kPending,
    kDelivered,
    kSuperseded,
    kClosed,
    kGivenUp,
    kTimedOut,
    kLeft,     // its result announced, left unfetched on purpose
    kRefused,  // ZEL_send failed: no result may come
  } state = kPending;
};

struct SlotConfig {
  const char* cp;
  int threads;
  bool notify;   // its first thread fetches only after the window message
  bool reopens;  // its first thread closes it with a job in flight and reopens it
  bool mixed;    // many writes and FDL jobs (slow) rather than mostly reads
};

// Eight channels: one to three threads, polling or notified, some reopened.
constexpr SlotConfig kSlots[8] = {
    {"VCP1", 1, true, false, false}, {"VCP2", 1, false, true, true},
    {"VCP1", 2, true, false, true},  {"VCP2", 3, false, true, false},
    {"VCP1", 1, false, false, true}, {"VCP2", 2, true, true, false},
    {"VCP1", 3, true, false, false}, {"VCP2", 1, true, true, true},
};

struct Slot {
  int id = 0;
  SlotConfig cfg = {};
  // Serializes everything done on the channel: sending (so that "the job
  // last passed on" is one job), receiving with its checks, close and reopen.
  std::mutex mu;
  int32_t handle = -1;
  int32_t dp = -1;
  int32_t fdl = -1;
  uint16_t seq = 0;  // the module's JobSeq, as it must be
  uint16_t nextJobId = 0;
  std::shared_ptr<Job> last;
  Clock::time_point lastWriteUnfinished;  // a write superseded before its result
  plat::Window wnd = nullptr;
  uint32_t msgId = 0;
  std::atomic<uint64_t> jobs{0};
  std::atomic<uint64_t> results{0};
};

struct Counters {
  std::atomic<uint64_t> sent[5] = {};
  std::atomic<uint64_t> refused{0};
  std::atomic<uint64_t> results[5] = {};
  std::atomic<uint64_t> polled{0};
  std::atomic<uint64_t> afterMessage{0};
  std::atomic<uint64_t> messages{0};
  std::atomic<uint64_t> emptyAfterMessage{0};
  std::atomic<uint64_t> superseded{0};
  std::atomic<uint64_t> closedInFlight{0};
  std::atomic<uint64_t> givenUpAfterFault{0};
  std::atomic<uint64_t> fdlBacklog{0};
  std::atomic<uint64_t> unfinished{0};
  std::atomic<uint64_t> left{0};
  std::atomic<uint64_t> reopens{0};
};

struct Violations {
  std::mutex mu;
  std::vector<std::string> first;
  uint64_t count = 0;
  void Add(const std::string& what) {
    std::lock_guard<std::mutex> g(mu);
    ++count;
    if (first.size() < 40) first.push_back(what);
  }
};

// What a thread is doing, for the hang report.
struct Beat {
  std::atomic<const char*> op{"start"};
  std::atomic<int64_t> sinceMs{0};
};

class StressRun {
 public:
  StressRun(double seconds, bool faults, uint32_t seed)
      : seconds_(seconds), faults_(faults), seed_(seed) {}

  void Run();

 private:
  void Thread(Slot& slot, int index, Beat& beat);
  std::shared_ptr<Job> SendLocked(Slot& slot, Kind kind, std::mt19937& rng);
  bool ReceiveLocked(Slot& slot, bool afterMessage, uint32_t fill);
  void Check(Slot& slot, const Job& job, const Block& got, const Block& before);
  void Await(Slot& slot, const std::shared_ptr<Job>& job, plat::Window wnd, Beat& beat,
             std::mt19937& rng, int64_t patienceMs);
  void Linger(Slot& slot, plat::Window wnd, Beat& beat, std::mt19937& rng, uint32_t ms);
  void FetchOnce(Slot& slot, plat::Window wnd, Beat& beat, std::mt19937& rng,
                 const std::shared_ptr<Job>& own = nullptr);
  void WaitTurn(Slot& slot, plat::Window wnd, Beat& beat, std::mt19937& rng, uint32_t maxMs);
  void CloseAndReopen(Slot& slot, std::mt19937& rng);
  void OpenLocked(Slot& slot);
  uint32_t FaultsOn(const Job& job) const;
  void Print() const;
  void Fail(const Slot& slot, const std::string& what) {
    violations_.Add("channel slot " + std::to_string(slot.id) + ": " + what);
  }
  int64_t Now() const { return MsSince(start_); }
  void Mark(Beat& beat, const char* op) {
    beat.sinceMs.store(Now());
    beat.op.store(op);
  }

  const double seconds_;
  const bool faults_;
  const uint32_t seed_;
  Clock::time_point start_ = Clock::now();
  Slot slots_[8];
  std::mutex openMu_;  // ZEL_open and reading the stand-in's newest handles
  std::atomic<bool> stop_{false};
  std::atomic<bool> closed_{false};
  Counters n_;
  Violations violations_;
  mutable std::mutex stampMu_;
  std::unordered_set<uint32_t> stamps_;  // counters of the stamps delivered
  uint32_t stampsBefore_ = 0;
};

uint32_t StressRun::FaultsOn(const Job& job) const {
  return DpSim_FaultCount(DPSIM_FAULT_LATE, job.dp) +
         DpSim_FaultCount(DPSIM_FAULT_UNKNOWN_KIND, job.dp) +
         DpSim_FaultCount(DPSIM_FAULT_REFUSE, job.dp) +
         DpSim_FaultCount(DPSIM_FAULT_FDL_REFUSE, job.fdl) +
         DpSim_FaultCount(DPSIM_FAULT_FDL_FOREIGN, job.fdl);
}

void StressRun::OpenLocked(Slot& slot) {
  std::lock_guard<std::mutex> g(openMu_);
  slot.handle = ZEL_open(slot.cfg.cp);
  if (slot.handle < 0 || slot.handle > 7) {
    Fail(slot, "ZEL_open returned " + std::to_string(slot.handle));
    slot.handle = -1;
    return;
  }
  slot.dp = DpSim_LastDpHandle();
  slot.fdl = DpSim_LastFdlHandle();
  slot.seq = 0;
  slot.last.reset();
  if (slot.wnd != nullptr && SetTalvoHWndMsg(slot.handle, slot.wnd, slot.msgId) != 0) {
    Fail(slot, "SetTalvoHWndMsg refused after reopening");
  }
}

std::shared_ptr<Job> StressRun::SendLocked(Slot& slot, Kind kind, std::mt19937& rng) {
  auto job = std::make_shared<Job>();
  job->kind = kind;
  job->jobId = slot.nextJobId++;
  if (++slot.seq == 0) slot.seq = 1;  // the module skips 0: its read-backs use it
  job->seq = slot.seq;
  job->dp = slot.dp;
  job->fdl = slot.fdl;
  job->faultsAtSend = FaultsOn(*job);
  const uint8_t slave = static_cast<uint8_t>(3 + rng() % 3);
  Block b;
  switch (kind) {
    case Kind::Read:
      b = ReadJob(job->jobId, slave);
      break;
    case Kind::ReadSilent:
      b = ReadJob(job->jobId, kSilentSlave);
      break;
    case Kind::Write: {
      Block data(1 + rng() % 240);
      for (uint8_t& x : data) x = static_cast<uint8_t>(rng());
      b = WriteJob(job->jobId, slave, data, static_cast<uint8_t>(rng()));
      break;
    }
    case Kind::Fdl11:
      b = FdlJob(job->jobId, 11);
      break;
    case Kind::Fdl26:
      b = FdlJob(job->jobId, 26);
      break;
  }
  // Whatever is stored now still belongs to the job last passed on; but a
  // result left on purpose stays for the new job to do away with.
  if (slot.last && slot.last->state != Job::kLeft && rng() % 2 == 0) {
    ReceiveLocked(slot, false, rng());
  }
  if (slot.last && slot.last->state == Job::kPending) {
    slot.last->state = Job::kSuperseded;
    ++n_.superseded;
    if (slot.last->kind == Kind::Write) slot.lastWriteUnfinished = Clock::now();
  }
  // Its write and read-back confirmations come within a few seconds.
  job->mayBeUnattributable = kind == Kind::Write &&
                             slot.lastWriteUnfinished != Clock::time_point{} &&
                             Clock::now() - slot.lastWriteUnfinished < std::chrono::seconds(10);
  // A write passed on may take up to about 13 s when its confirmations go
  // astray; the jobs after it wait for it.
  job->behindWrite = slot.lastWriteUnfinished != Clock::time_point{} &&
                     Clock::now() - slot.lastWriteUnfinished < std::chrono::seconds(14);
  slot.last = job;
  const uint32_t refusalsBefore = DpSim_FaultCount(
      IsFdl(kind) ? DPSIM_FAULT_FDL_REFUSE : DPSIM_FAULT_REFUSE, IsFdl(kind) ? job->fdl : job->dp);
  job->sent = Clock::now();
  const int32_t r = ZEL_send(slot.handle, ZEL_BLOCK_SIZE, b.data());
  ++n_.sent[static_cast<int>(kind)];
  ++slot.jobs;
  job->accepted = r == 0;
  if (r != 0) {
    job->state = Job::kRefused;
    ++n_.refused;
    const uint32_t refusalsAfter =
        DpSim_FaultCount(IsFdl(kind) ? DPSIM_FAULT_FDL_REFUSE : DPSIM_FAULT_REFUSE,
                         IsFdl(kind) ? job->fdl : job->dp);
    if (r != -1) Fail(slot, std::string("ZEL_send returned ") + std::to_string(r));
    if (refusalsAfter == refusalsBefore) {
      Fail(slot, std::string(KindName(kind)) + " refused with no refusal injected");
    }
  }
  return job;
}

void StressRun::Check(Slot& slot, const Job& job, const Block& got, const Block& before) {
  const std::string what = std::string(KindName(job.kind)) + " job " + std::to_string(job.jobId) +
                           " (seq " + std::to_string(job.seq) + "): ";
  auto expect = [&](bool ok, const std::string& text) {
    if (!ok) Fail(slot, what + text);
    return ok;
  };
  if (!expect(U16(got, ZEL_OFS_JOB_ID) == job.jobId,
              "result carries JobId " + std::to_string(U16(got, ZEL_OFS_JOB_ID)))) {
    return;
  }
  expect(job.accepted, "result for a job that ZEL_send refused");
  expect(job.state != Job::kDelivered, "second result for the same job");
  expect(got[ZEL_OFS_BLOCK_TAG] == ZEL_BLOCK_TAG && got[ZEL_OFS_RESULT_FLAG] == 1,
         "not marked as a result");
  const uint16_t length = U16(got, ZEL_OFS_DATA_LENGTH);
  const uint16_t code = U16(got, ZEL_OFS_RESULT_CODE);
  const bool faultSince = FaultsOn(job) != job.faultsAtSend;
  size_t untouchedFrom = ZEL_OFS_DATA;
  auto stamped = [&](int lib, int32_t handle, uint16_t kind) {
    DpSimStamp s = {};
    if (!expect(DpSim_StampCheck(got.data() + ZEL_OFS_DATA, length, &s) == 0,
                "data of " + std::to_string(length) + " bytes are no intact stamp")) {
      return;
    }
    expect(s.lib == lib && s.handle == handle, "stamp of handle " + std::to_string(s.handle) +
                                                   " (lib " + std::to_string(s.lib) +
                                                   "), channel has " + std::to_string(handle));
    expect(s.seq == job.seq, "stamp of seq " + std::to_string(s.seq));
    expect(s.kind == kind, "stamp of kind " + std::to_string(s.kind));
    std::lock_guard<std::mutex> g(stampMu_);
    expect(stamps_.insert(s.counter).second,
           "stamp " + std::to_string(s.counter) + " delivered before");
    untouchedFrom = ZEL_OFS_DATA + length;
  };
  switch (job.kind) {
    case Kind::Read:
      expect(got[ZEL_OFS_SUBSYSTEM] == ZEL_SUBSYSTEM_DPC1 &&
                 got[ZEL_OFS_OPERATION] == ZEL_OPERATION_READ,
             "not a DPC1 read result");
      expect(code == 0, "ResultCode " + std::to_string(code));
      stamped(DPSIM_LIB_DPMASTER, job.dp, 7);
      break;
    case Kind::ReadSilent:
      expect(got[ZEL_OFS_SUBSYSTEM] == ZEL_SUBSYSTEM_DPC1 &&
                 got[ZEL_OFS_OPERATION] == ZEL_OPERATION_READ,
             "not a DPC1 read result");
      expect(code == ZEL_DPC1_ERROR && length == 0, "silent slave: ResultCode " +
                                                        std::to_string(code) + ", " +
                                                        std::to_string(length) + " bytes");
      break;
    case Kind::Write:
      expect(got[ZEL_OFS_SUBSYSTEM] == ZEL_SUBSYSTEM_DPC1 &&
                 got[ZEL_OFS_OPERATION] == ZEL_OPERATION_WRITE,
             "not a DPC1 write result");
      expect(length == 0, std::to_string(length) + " bytes in a write result");
      // A refused read-back (an injected fault) ends the job with an error;
      // so may confirmations of two writes whose order cannot be known.
      expect(code == 0 || (code == ZEL_DPC1_ERROR && (faultSince || job.mayBeUnattributable)),
             "ResultCode " + std::to_string(code));
      break;
    case Kind::Fdl11:
    case Kind::Fdl26: {
      const uint16_t service = job.kind == Kind::Fdl11 ? 11 : 26;
      expect(got[ZEL_OFS_SUBSYSTEM] == ZEL_SUBSYSTEM_FDL && got[ZEL_OFS_OPERATION] == 1 &&
                 got[ZEL_OFS_LAYER_TAG] == 2 && got[ZEL_OFS_FDL_DONE_FLAG] == 1,
             "not an FDL result");
      expect(U16(got, ZEL_OFS_FDL_SERVICE) == service,
             "service " + std::to_string(U16(got, ZEL_OFS_FDL_SERVICE)));
      expect(code == 0, "ResultCode " + std::to_string(code));
      expect(got[ZEL_OFS_FDL_LENGTH_BYTE] == static_cast<uint8_t>(length), "length byte");
      stamped(DPSIM_LIB_FDL, job.fdl, service);
      break;
    }
  }
  expect(std::equal(got.begin() + std::min<size_t>(untouchedFrom, ZEL_BLOCK_SIZE), got.end(),
                    before.begin() + std::min<size_t>(untouchedFrom, ZEL_BLOCK_SIZE)),
         "bytes after the data were written");
}

bool StressRun::ReceiveLocked(Slot& slot, bool afterMessage, uint32_t fill) {
  if (slot.handle < 0) return false;
  Block b = Patterned(static_cast<uint8_t>(fill));
  const Block before = b;
  uint16_t length = 0xBEEF;
  const int32_t r = ZEL_receive(slot.handle, 0, &length, 0, b.data());
  if (r != 0) {
    Fail(slot, "ZEL_receive returned " + std::to_string(r));
    return false;
  }
  if (length == 0) {
    if (b != before) Fail(slot, "ZEL_receive wrote into the block without a result");
    return false;
  }
  if (length != ZEL_BLOCK_SIZE) {
    Fail(slot, "ZEL_receive length " + std::to_string(length));
    return false;
  }
  if (!slot.last) {
    Fail(slot, "a result before any job was passed on (JobId " +
                   std::to_string(U16(b, ZEL_OFS_JOB_ID)) + ")");
    return true;
  }
  Job& job = *slot.last;
  Check(slot, job, b, before);
  if (job.state == Job::kPending || job.state == Job::kGivenUp || job.state == Job::kTimedOut ||
      job.state == Job::kLeft) {
    ++n_.results[static_cast<int>(job.kind)];
    ++slot.results;
    ++(afterMessage ? n_.afterMessage : n_.polled);
  }
  job.state = Job::kDelivered;
  // Taken once, it is gone: at once, as before the next job (SendLocked).
  Block again = Patterned(static_cast<uint8_t>(fill >> 8));
  const Block untouched = again;
  length = 0xBEEF;
  if (ZEL_receive(slot.handle, 0, &length, 0, again.data()) != 0 || length != 0) {
    Check(slot, job, again, untouched);
  }
  return true;
}

// One round of fetching: with a window, whatever its messages announce
// (waiting up to 20 ms for the first); else one poll, and a millisecond's
// pause when it found nothing. Now and then the result of `own`, announced,
// is left where it is: the next job must do away with it.
void StressRun::FetchOnce(Slot& slot, plat::Window wnd, Beat& beat, std::mt19937& rng,
                          const std::shared_ptr<Job>& own) {
  if (wnd != nullptr) {
    // One message per result: each is answered with one fetch, and the
    // queue is emptied so that it cannot overflow.
    plat::PostedMessage m = {};
    Mark(beat, "MessageWindowNext");
    for (uint32_t wait = 20; plat::MessageWindowNext(wnd, &m, wait); wait = 0) {
      ++n_.messages;
      if (m.msg != slot.msgId || m.wParam != 0 || m.lParam != 0) {
        Fail(slot, "unexpected window message " + std::to_string(m.msg));
      }
      Mark(beat, "lock");
      std::lock_guard<std::mutex> g(slot.mu);
      if (own && slot.last == own && own->state == Job::kPending && rng() % 8 == 0) {
        own->state = Job::kLeft;
        ++n_.left;
        return;
      }
      Mark(beat, "ZEL_receive");
      if (!ReceiveLocked(slot, true, rng())) ++n_.emptyAfterMessage;
      Mark(beat, "MessageWindowNext");
    }
    return;
  }
  bool got = false;
  {
    Mark(beat, "lock");
    std::lock_guard<std::mutex> g(slot.mu);
    Mark(beat, "ZEL_receive");
    got = ReceiveLocked(slot, false, rng());
  }
  if (!got) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Until the job in flight on the channel (another thread's) has ended, at
// most `maxMs`; fetching meanwhile as this thread does.
void StressRun::WaitTurn(Slot& slot, plat::Window wnd, Beat& beat, std::mt19937& rng,
                         uint32_t maxMs) {
  const Clock::time_point begin = Clock::now();
  while (!stop_.load() && MsSince(begin) < maxMs) {
    {
      Mark(beat, "lock");
      std::lock_guard<std::mutex> g(slot.mu);
      if (!slot.last || slot.last->state != Job::kPending) return;
    }
    FetchOnce(slot, wnd, beat, rng);
  }
}

// Goes on fetching for `ms` with nothing passed on: whatever comes now is
// a result delivered twice.
void StressRun::Linger(Slot& slot, plat::Window wnd, Beat& beat, std::mt19937& rng, uint32_t ms) {
  const Clock::time_point begin = Clock::now();
  while (!stop_.load() && MsSince(begin) < ms) FetchOnce(slot, wnd, beat, rng);
}

// Until the job's result is fetched (by any thread of the channel) or the
// job has ended otherwise; after `patienceMs` the thread moves on and its
// next job replaces this one. `wnd`: this thread's window, when it fetches
// only after window messages.
void StressRun::Await(Slot& slot, const std::shared_ptr<Job>& job, plat::Window wnd, Beat& beat,
                      std::mt19937& rng, int64_t patienceMs) {
  // Far beyond the worst case: a read waits out another job's 3 s read-back
  // pause, a write its own after another's, FDL a pause, the idle second
  // and results queued before its own.
  const int64_t timeoutMs = (job->kind == Kind::Write ? 14000
                             : IsFdl(job->kind)       ? 12000
                                                      : 9000) +
                            (job->behindWrite ? 14000 : 0);
  const bool byMessage = wnd != nullptr;
  int64_t drainedSince = -1;
  for (;;) {
    {
      Mark(beat, "lock");
      std::lock_guard<std::mutex> g(slot.mu);
      if (job->state != Job::kPending) return;
    }
    FetchOnce(slot, wnd, beat, rng, job);
    if (stop_.load()) {
      std::lock_guard<std::mutex> g(slot.mu);
      if (job->state == Job::kPending) {
        job->state = Job::kTimedOut;
        ++n_.unfinished;
      }
      return;
    }
    const int64_t elapsed = MsSince(job->sent);
    if (elapsed >= patienceMs) return;
    const bool faultSince = FaultsOn(*job) != job->faultsAtSend;
    // After a fault the result may be gone for good; once the handle's
    // queue is empty the module has seen everything there is.
    const int pending =
        IsFdl(job->kind) ? DpSim_PendingFdlResults(job->fdl) : DpSim_PendingConfirmations(job->dp);
    if (pending > 0) {
      drainedSince = -1;
    } else if (drainedSince < 0) {
      drainedSince = elapsed;
    }
    const bool giveUp = faultSince && drainedSince >= 0 && elapsed - drainedSince >= 200 &&
                        (job->kind != Kind::Write || elapsed >= 4500);
    if (!giveUp && elapsed < timeoutMs) continue;
    std::lock_guard<std::mutex> g(slot.mu);
    if (job->state != Job::kPending) return;
    if (faultSince) {
      job->state = Job::kGivenUp;
      ++n_.givenUpAfterFault;
    } else if (IsFdl(job->kind) && DpSim_PendingFdlResults(job->fdl) > 0) {
      job->state = Job::kTimedOut;
      ++n_.fdlBacklog;  // older results still queued ahead of it, one per idle second
    } else {
      job->state = Job::kTimedOut;
      Fail(slot, std::string("no result for accepted ") + KindName(job->kind) + " job " +
                     std::to_string(job->jobId) + " within " + std::to_string(timeoutMs) +
                     " ms, no fault injected" +
                     (byMessage ? " (waited for the window message)" : ""));
    }
    return;
  }
}

void StressRun::CloseAndReopen(Slot& slot, std::mt19937& rng) {
  std::lock_guard<std::mutex> g(slot.mu);
  // A job in flight when the channel closes: nothing of it may surface later.
  auto job = SendLocked(slot, rng() % 4 == 0 ? Kind::Write : Kind::Read, rng);
  const int32_t oldDp = slot.dp;
  const int32_t oldFdl = slot.fdl;
  {
    std::lock_guard<std::mutex> o(openMu_);  // nobody takes the index meanwhile
    const int32_t r = ZEL_close(slot.handle);
    if (r != 0) Fail(slot, "ZEL_close returned " + std::to_string(r));
    uint16_t length = 0xBEEF;
    Block b(ZEL_BLOCK_SIZE);
    if (ZEL_receive(slot.handle, 0, &length, 0, b.data()) != -1 || length != 0) {
      Fail(slot, "ZEL_receive on the closed channel did not fail");
    }
    if (ZEL_send(slot.handle, ZEL_BLOCK_SIZE, ReadJob(1, 3).data()) != -1) {
      Fail(slot, "ZEL_send on the closed channel did not fail");
    }
    if (DpSim_PendingConfirmations(oldDp) != -1 || DpSim_PendingFdlResults(oldFdl) != -1) {
      Fail(slot, "the channel's library handles are still open");
    }
    slot.handle = -1;
  }
  if (job->state == Job::kPending) {
    job->state = Job::kClosed;
    ++n_.closedInFlight;
  }
  ++n_.reopens;
  OpenLocked(slot);
}

void StressRun::Thread(Slot& slot, int index, Beat& beat) {
  std::mt19937 rng(seed_ * 7919u + static_cast<uint32_t>(slot.id * 31 + index));
  const bool reopener = slot.cfg.reopens && index == 0;
  plat::Window wnd = nullptr;
  if (slot.cfg.notify && index == 0) {
    // On Windows a window belongs to the thread that made it: this one.
    wnd = plat::MessageWindowCreate();
    std::lock_guard<std::mutex> g(slot.mu);
    if (wnd == nullptr) {
      Fail(slot, "MessageWindowCreate failed");
    } else if (SetTalvoHWndMsg(slot.handle, wnd, slot.msgId) != 0) {
      Fail(slot, "SetTalvoHWndMsg refused");
      plat::MessageWindowDestroy(wnd);
      wnd = nullptr;
    } else {
      slot.wnd = wnd;  // registered again whenever the channel is reopened
    }
  }
  int64_t nextReopen = Now() + 1000 + static_cast<int64_t>(rng() % 3000);
  while (!stop_.load()) {
    if (reopener && Now() >= nextReopen) {
      Mark(beat, "close and reopen");
      CloseAndReopen(slot, rng);
      nextReopen = Now() + 1000 + static_cast<int64_t>(rng() % 3000);
      continue;
    }
    // Threads of one channel mostly take turns; now and then one barges in
    // and replaces the job in flight.
    if (slot.cfg.threads > 1 && rng() % 10 != 0) WaitTurn(slot, wnd, beat, rng, 15000);
    // Writes (3 s each) and FDL jobs (an idle second each) take most of the
    // time even as a few percent of the jobs.
    const uint32_t pick = rng() % 1000;
    const uint32_t writes = slot.cfg.mixed ? 100 : 2;  // per mille
    const uint32_t fdl = slot.cfg.mixed ? 40 : 2;      // per mille and service
    const Kind kind = pick < writes             ? Kind::Write
                      : pick < writes + fdl     ? Kind::Fdl11
                      : pick < writes + 2 * fdl ? Kind::Fdl26
                      : pick >= 970             ? Kind::ReadSilent
                                                : Kind::Read;
    std::shared_ptr<Job> job;
    bool replacing = false;
    {
      Mark(beat, "lock");
      std::lock_guard<std::mutex> g(slot.mu);
      if (slot.handle < 0) break;  // could not reopen: reported
      replacing = slot.last && slot.last->state == Job::kPending;
      Mark(beat, "ZEL_send");
      job = SendLocked(slot, kind, rng);
    }
    if (!job->accepted) continue;
    // Impatient now and then, so that jobs are replaced at every stage: a
    // read before its confirmation, a write during its read-back pause, an
    // FDL job before its idle second.
    int64_t patience = INT64_MAX;
    if (rng() % (kind == Kind::Write ? 2 : IsFdl(kind) ? 4 : 20) == 0) {
      patience = kind == Kind::Write ? rng() % 3500 : IsFdl(kind) ? rng() % 1500 : rng() % 4;
    }
    Await(slot, job, wnd, beat, rng, patience);
    // A pause before the next job now and then, still fetching; always after
    // replacing a job in flight, whose confirmations may still be coming.
    if (replacing || rng() % 4 == 0) Linger(slot, wnd, beat, rng, 1 + rng() % 30);
  }
  Mark(beat, "done");
  if (wnd != nullptr) {
    // The window lives until every channel is closed, then goes with its thread.
    WaitUntil([&] { return closed_.load(); }, 60000);
    plat::MessageWindowDestroy(wnd);
  }
}

void StressRun::Run() {
  DpSim_Reset();
  DpSim_SetTrace("off");
  DpSim_SetAutoConfirm(1);
  DpSim_SetStamping(1);
  DpSim_SetRandomSeed(seed_);
  DpSim_SetDelayRangeUs(50, 4000);
  if (faults_) {
    DpSim_SetFault(DPSIM_FAULT_LATE, 15000);
    DpSim_SetFault(DPSIM_FAULT_UNKNOWN_KIND, 8000);
    DpSim_SetFault(DPSIM_FAULT_REFUSE, 15000);
    DpSim_SetFault(DPSIM_FAULT_FDL_REFUSE, 30000);
    DpSim_SetFault(DPSIM_FAULT_FDL_FOREIGN, 60000);
  }
  UseCompanion("full");
  stampsBefore_ = DpSim_StampCount();
  start_ = Clock::now();

  int threadCount = 0;
  for (int i = 0; i < 8; ++i) {
    Slot& slot = slots_[i];
    slot.id = i;
    slot.cfg = kSlots[i];
    slot.msgId = 0x8000u + 0x40u + static_cast<uint32_t>(i);    // in the application's range
    slot.nextJobId = static_cast<uint16_t>(0x1000u * (i + 1));  // apart from the JobSeq values
    std::lock_guard<std::mutex> g(slot.mu);
    OpenLocked(slot);
    ASSERT_GE(slot.handle, 0);
    threadCount += slot.cfg.threads;
  }

  // The whole run, closing included, is bounded too: the module's longest
  // waits are the 3 s read-back pause and the 10 s stop.
  std::mutex doneMu;
  std::condition_variable doneCv;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(doneMu);
    const auto limit = std::chrono::milliseconds(static_cast<int64_t>(seconds_ * 1000) + 180000);
    if (!doneCv.wait_for(lock, limit, [&] { return done; })) {
      fprintf(stderr, "stress: HANG: the run did not end within its duration + 180 s\n");
      fflush(stderr);
      std::abort();
    }
  });

  std::vector<std::unique_ptr<Beat>> beats;
  std::vector<std::thread> threads;
  std::atomic<int> finished{0};
  for (Slot& slot : slots_) {
    for (int t = 0; t < slot.cfg.threads; ++t) {
      beats.push_back(std::make_unique<Beat>());
      Beat* beat = beats.back().get();
      threads.emplace_back([this, &slot, t, beat, &finished] {
        Thread(slot, t, *beat);
        ++finished;
      });
    }
  }

  // Runs for the duration; a thread stuck in one call for 60 s is a hang.
  const int64_t runMs = static_cast<int64_t>(seconds_ * 1000);
  auto stuck = [&]() -> std::string {
    for (size_t i = 0; i < beats.size(); ++i) {
      const char* op = beats[i]->op.load();
      if (std::string(op) == "done") continue;
      if (Now() - beats[i]->sinceMs.load() > 60000) {
        return "thread " + std::to_string(i) + " stuck in " + op;
      }
    }
    return "";
  };
  std::string hang;
  while (hang.empty() && Now() < runMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    hang = stuck();
  }
  stop_.store(true);
  // Each thread leaves its loop (notified ones then wait for the close).
  while (hang.empty()) {
    bool allDone = true;
    for (const auto& b : beats) allDone = allDone && std::string(b->op.load()) == "done";
    if (allDone) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    hang = stuck();
  }
  if (!hang.empty()) {
    // Nothing can be joined or closed safely: report and end the program.
    Print();
    fprintf(stderr, "stress: HANG: %s\n", hang.c_str());
    fflush(stderr);
    std::abort();
  }
  for (Slot& slot : slots_) {
    std::lock_guard<std::mutex> g(slot.mu);
    if (slot.handle < 0) continue;
    if (slot.last && slot.last->state == Job::kPending) {
      slot.last->state = Job::kTimedOut;
      ++n_.unfinished;
    }
    const int32_t r = ZEL_close(slot.handle);
    if (r != 0) Fail(slot, "final ZEL_close returned " + std::to_string(r));
    slot.handle = -1;
  }
  closed_.store(true);
  for (std::thread& t : threads) t.join();
  {
    std::lock_guard<std::mutex> g(doneMu);
    done = true;
  }
  doneCv.notify_all();
  watchdog.join();
  EXPECT_EQ(finished.load(), threadCount);

  Print();
  EXPECT_EQ(DpSim_OpenDpHandles(), 0);
  EXPECT_EQ(DpSim_OpenFdlHandles(), 0);
  uint64_t results = 0;
  for (const auto& r : n_.results) results += r.load();
  EXPECT_GT(results, 0u);
  EXPECT_GT(n_.results[static_cast<int>(Kind::Read)].load(), 0u);
  EXPECT_GT(n_.afterMessage.load(), 0u);
  if (!faults_) {
    EXPECT_EQ(n_.refused.load(), 0u);
    EXPECT_EQ(n_.givenUpAfterFault.load(), 0u);
  }
  std::lock_guard<std::mutex> g(violations_.mu);
  for (const std::string& v : violations_.first) ADD_FAILURE() << v;
  EXPECT_EQ(violations_.count, 0u) << "invariant violations";
}

void StressRun::Print() const {
  auto sum = [](const std::atomic<uint64_t>* a) {
    uint64_t s = 0;
    for (int i = 0; i < 5; ++i) s += a[i].load();
    return s;
  };
  int threads = 0;
  for (const SlotConfig& c : kSlots) threads += c.threads;
  printf("stress: %.1f s, %s, seed %u: 8 channels, %d threads\n", MsSince(start_) / 1000.0,
         faults_ ? "faults injected" : "no faults", seed_, threads);
  printf("  jobs passed on %llu:", static_cast<unsigned long long>(sum(n_.sent)));
  for (int k = 0; k < 5; ++k) {
    printf("%s %s %llu", k ? "," : "", KindName(static_cast<Kind>(k)),
           static_cast<unsigned long long>(n_.sent[k].load()));
  }
  printf("\n  results %llu:", static_cast<unsigned long long>(sum(n_.results)));
  for (int k = 0; k < 5; ++k) {
    printf("%s %s %llu", k ? "," : "", KindName(static_cast<Kind>(k)),
           static_cast<unsigned long long>(n_.results[k].load()));
  }
  printf(
      "\n  fetched by polling %llu, after a window message %llu; messages %llu, of them "
      "finding nothing %llu\n",
      static_cast<unsigned long long>(n_.polled.load()),
      static_cast<unsigned long long>(n_.afterMessage.load()),
      static_cast<unsigned long long>(n_.messages.load()),
      static_cast<unsigned long long>(n_.emptyAfterMessage.load()));
  printf(
      "  no result: refused at submission %llu, replaced by the next job %llu, left "
      "unfetched on purpose %llu, channel closed in flight %llu, lost to an injected fault "
      "%llu, behind older FDL results %llu, unfinished at the end %llu\n",
      static_cast<unsigned long long>(n_.refused.load()),
      static_cast<unsigned long long>(n_.superseded.load()),
      static_cast<unsigned long long>(n_.left.load()),
      static_cast<unsigned long long>(n_.closedInFlight.load()),
      static_cast<unsigned long long>(n_.givenUpAfterFault.load()),
      static_cast<unsigned long long>(n_.fdlBacklog.load()),
      static_cast<unsigned long long>(n_.unfinished.load()));
  printf(
      "  faults injected: late %u, unknown kind %u, refused %u, FDL refused %u, FDL foreign "
      "%u\n",
      DpSim_FaultCount(DPSIM_FAULT_LATE, -1), DpSim_FaultCount(DPSIM_FAULT_UNKNOWN_KIND, -1),
      DpSim_FaultCount(DPSIM_FAULT_REFUSE, -1), DpSim_FaultCount(DPSIM_FAULT_FDL_REFUSE, -1),
      DpSim_FaultCount(DPSIM_FAULT_FDL_FOREIGN, -1));
  size_t delivered = 0;
  {
    std::lock_guard<std::mutex> g(stampMu_);
    delivered = stamps_.size();
  }
  printf("  per channel (jobs/results):");
  for (const Slot& slot : slots_) {
    printf(" %llu/%llu", static_cast<unsigned long long>(slot.jobs.load()),
           static_cast<unsigned long long>(slot.results.load()));
  }
  printf("\n  stamps made %u, delivered %zu; reopen cycles %llu; violations %llu\n",
         DpSim_StampCount() - stampsBefore_, delivered,
         static_cast<unsigned long long>(n_.reopens.load()),
         static_cast<unsigned long long>(violations_.count));
  fflush(stdout);
}

// A third of the time without faults, where every accepted job must end
// with its result (or be replaced or closed); the rest with faults.
TEST(Stress, WithoutFaultsEveryJobEndsWithItsResult) {
  StressRun run(std::max(1.0, g_seconds / 3), false, g_seed);
  run.Run();
}

TEST(Stress, WithRandomFaultsResultsStayTrue) {
  StressRun run(std::max(1.0, g_seconds - g_seconds / 3), true, g_seed + 1);
  run.Run();
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* env = getenv("KX_STRESS_SECONDS"); env != nullptr && *env != '\0') {
    g_seconds = atof(env);
  }
  g_seed = static_cast<uint32_t>(Clock::now().time_since_epoch().count());
  if (const char* env = getenv("KX_STRESS_SEED"); env != nullptr && *env != '\0') {
    g_seed = static_cast<uint32_t>(strtoul(env, nullptr, 10));
  }
  // Our options go before gtest sees the command line.
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--duration=", 0) == 0) {
      g_seconds = atof(arg.c_str() + 11);
    } else if (arg.rfind("--seed=", 0) == 0) {
      g_seed = static_cast<uint32_t>(strtoul(arg.c_str() + 7, nullptr, 10));
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  if (!(g_seconds > 0)) {
    fprintf(stderr, "stress_test: the duration must be a positive number of seconds\n");
    return 2;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
