// The module's failure paths under injected platform failures: each failure
// traced as such and in order, the result reported, and everything an open
// had taken given back, with nothing left in the process afterwards.
#include <algorithm>
#include <climits>
#include <ostream>
#include <string>
#include <vector>

#include "channel/channel.h"
#include "dpsim_private.h"
#include "platform/fault_injection.h"
#include "support/test_support.h"

using namespace kxtest;
namespace fault = plat::fault;
using fault::Kind;
using fault::Op;
using Lines = std::vector<std::string>;

namespace {

constexpr const char* kOpenFailed = "Kalmorix.dll: ZEL_open(ZEL_NO_DEVICE_AVAILABLE_3)";
constexpr const char* kNoFdl = "Kalmorix.dll: ZEL_open(Could not activate FDL)";
constexpr uint32_t kSettleMs = 5000;

// What a channel holds, taken before it is given back: a failed release
// leaves some of it to the test.
enum class Slot { kStopSignal, kStartUp, kStopAck, kThread };

struct Kept {
  plat::Handle sema;
  plat::Handle startUp;
  plat::Handle stopAck;
  plat::Handle thread;
  int32_t dp;
  int32_t fdl;
  plat::Module lib;

  explicit Kept(int index)
      : sema(ChannelTable[index].Worker.ResetSemaHndl),
        startUp(ChannelTable[index].Worker.SyncThreadHandle),
        stopAck(ChannelTable[index].Worker.StopAckHndl),
        thread(ChannelTable[index].Worker.Thread),
        dp(ChannelTable[index].DpHandle),
        fdl(ChannelTable[index].Worker.FdlHndl),
        lib(ChannelTable[index].Worker.hKyDll) {}

  plat::Handle Of(Slot slot) const {
    switch (slot) {
      case Slot::kStopSignal:
        return sema;
      case Slot::kStartUp:
        return startUp;
      case Slot::kStopAck:
        return stopAck;
      case Slot::kThread:
        break;
    }
    return thread;
  }
};

// What the process holds that the module could leave behind.
struct Census {
  fault::ProcessCensus process;
  int dpHandles = 0;
  int fdlHandles = 0;
  int fdlLibraries = 0;
  int signals = 0;
  uint32_t moduleHandles = 0;  // made by the module and not closed
  bool operator==(const Census&) const = default;
};

// Everything as before; fewer threads is fine (one that had let go of its
// channel may still have been ending when `before` was taken), and so are a
// few more where the system starts threads of its own.
bool Holds(const Census& now, const Census& before) {
  Census same = now;
  if (now.process.threads <= before.process.threads + fault::kForeignThreads) {
    same.process.threads = before.process.threads;
  }
  return same == before;
}

std::ostream& operator<<(std::ostream& os, const Census& c) {
  return os << "{handles " << c.process.handles << ", descriptors " << c.process.descriptors
            << ", threads " << c.process.threads << ", DP handles " << c.dpHandles
            << ", FDL handles " << c.fdlHandles << ", companions loaded " << c.fdlLibraries
            << ", signals " << c.signals << ", module's handles " << c.moduleHandles << "}";
}

Census Take() {
  Census c;
  EXPECT_TRUE(fault::TakeCensus(&c.process));
  c.dpHandles = DpSim_OpenDpHandles();
  c.fdlHandles = DpSim_OpenFdlHandles();
  c.fdlLibraries = DpSim_FdlLibrariesLoaded();
  c.signals = DpSim_SignalsOutstanding();
  c.moduleHandles = fault::Made();
  return c;
}

// Waits for a result of channel `h`; true when one came.
bool AwaitResult(int32_t h, Block& result) {
  uint16_t length = 0;
  return WaitUntil([&] { return ZEL_receive(h, 0, &length, 0, result.data()) == 0 && length != 0; },
                   kSettleMs);
}

class FaultTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The stand-in and the loader keep a few things of their own after their
    // first use (the stand-in's delivery thread among them); they belong to
    // no test.
    DpSim_Reset();
    DpSim_SetTrace("off");
    UseCompanion("full");
    ModuleAttach();
    const int32_t h = ZEL_open("VCP1");
    if (h >= 0) {
      Block result(ZEL_BLOCK_SIZE);
      if (ZEL_send(h, ZEL_BLOCK_SIZE, ReadJob(1, 3).data()) == 0) AwaitResult(h, result);
      ZEL_close(h);
    }
    ModuleDetach();
  }

  void SetUp() override {
    DpSim_Reset();
    DpSim_SetTrace("off");
    UseCompanion("full");
    fault::Clear();
    ModuleAttach();
    attached_ = true;
    // A worker of the previous test may still be ending: wait for as few
    // threads as seen before, so that the baseline does not count it.
    static int fewestThreads = INT_MAX - fault::kForeignThreads;
    WaitUntil([&] { return Take().process.threads <= fewestThreads + fault::kForeignThreads; },
              1000);
    baseline_ = Take();
    fewestThreads = std::min(fewestThreads, baseline_.process.threads);
    ASSERT_EQ(baseline_.moduleHandles, 0u) << "an earlier test left a handle open";
    DpSim_LogClear();
  }

  void TearDown() override {
    fault::Clear();
    if (attached_) ModuleDetach();
  }

  void Detach() {
    ModuleDetach();
    attached_ = false;
  }

  // The process holds what it held before the test (a worker that has let go
  // may take a moment to end), and every record is free.
  void ExpectNothingLeft() {
    WaitUntil([&] { return Holds(Take(), baseline_); }, kSettleMs);
    const Census now = Take();
    EXPECT_TRUE(Holds(now, baseline_)) << "now " << now << "\nbefore " << baseline_;
    for (int i = 0; i < kChannelCount; ++i) {
      EXPECT_EQ(ChannelTable[i].DpHandle, kNoDpHandle) << "record " << i;
    }
  }

  // The DP handle and the companion's handle were closed, each once.
  static void ExpectClosedOnce(int32_t dp, int32_t fdl) {
    const auto dpCloses = CallsOf("DP_close");
    ASSERT_EQ(dpCloses.size(), 1u);
    EXPECT_EQ(dpCloses[0].args[0], dp);
    const auto fdlCloses = CallsOf("ZEL_close", DPSIM_LIB_FDL);
    ASSERT_EQ(fdlCloses.size(), 1u);
    EXPECT_EQ(fdlCloses[0].args[0], fdl);
  }

  Census baseline_;
  bool attached_ = false;
};

// ---- Starting the worker ---------------------------------------------------

struct StartRow {
  const char* name;
  Op op;
  uint32_t nth;  // the nth call of op in the open fails
  const char* trace;
};

void PrintTo(const StartRow& row, std::ostream* os) { *os << row.name; }

const StartRow kStartRows[] = {
    {"StopSignal", Op::kSemaphoreCreate, 1,
     "Kalmorix.dll: dpc1_use_messages: CreateSemaphore failed(1)"},
    {"StartUpEvent", Op::kEventCreate, 1, "Kalmorix.dll: dpc1_use_messages: CreateEvent failed"},
    {"StopAckEvent", Op::kEventCreate, 2, "Kalmorix.dll: dpc1_use_messages: CreateEvent failed"},
    {"Thread", Op::kThreadCreate, 1, "Kalmorix.dll: dpc1_use_messages: CreateThread failed"},
};

class WorkerStartFailure : public FaultTest,
                           public ::testing::WithParamInterface<std::tuple<StartRow, bool>> {};

TEST_P(WorkerStartFailure, IsTracedAndGivesBackEverythingTheOpenTook) {
  const auto [row, companion] = GetParam();
  if (!companion) UseNoCompanion();
  fault::FailCall(row.op, row.nth);

  EXPECT_EQ(ZEL_open("VCP1"), ZEL_NO_DEVICE_AVAILABLE);
  EXPECT_EQ(fault::Injected(row.op), 1u);
  Lines expected = {row.trace, kOpenFailed};
  if (!companion) expected.insert(expected.begin(), kNoFdl);
  EXPECT_EQ(Traces(), expected);
  EXPECT_TRUE(CallsOf("DP_init_sema_object").empty()) << "no worker ran";
  const auto dpCloses = CallsOf("DP_close");
  ASSERT_EQ(dpCloses.size(), 1u);
  EXPECT_EQ(dpCloses[0].args[0], DpSim_LastDpHandle());
  const auto fdlCloses = CallsOf("ZEL_close", DPSIM_LIB_FDL);
  ASSERT_EQ(fdlCloses.size(), companion ? 1u : 0u);
  if (companion) {
    EXPECT_EQ(fdlCloses[0].args[0], DpSim_LastFdlHandle());
  }
  ExpectNothingLeft();

  // The record serves the next open as if nothing had happened.
  DpSim_LogClear();
  ASSERT_EQ(ZEL_open("VCP1"), 0);
  EXPECT_EQ(Traces(), companion ? Lines{} : Lines{kNoFdl});
  EXPECT_EQ(ZEL_close(0), 0);
  ExpectNothingLeft();
}

std::string StartRowName(const ::testing::TestParamInfo<std::tuple<StartRow, bool>>& info) {
  const auto [row, companion] = info.param;
  return std::string(row.name) + (companion ? "WithCompanion" : "WithoutCompanion");
}

INSTANTIATE_TEST_SUITE_P(Rows, WorkerStartFailure,
                         ::testing::Combine(::testing::ValuesIn(kStartRows), ::testing::Bool()),
                         StartRowName);

TEST_F(FaultTest, WorkerStartFailureLeavesTheOtherChannelsAlone) {
  ASSERT_EQ(ZEL_open("VCP1"), 0);
  const Kept before(0);
  fault::FailCall(Op::kThreadCreate);
  EXPECT_EQ(ZEL_open("VCP1"), ZEL_NO_DEVICE_AVAILABLE);

  EXPECT_EQ(fault::Made(), 4u) << "channel 0 keeps its semaphore, two events and thread";
  EXPECT_EQ(DpSim_OpenDpHandles(), baseline_.dpHandles + 1);
  EXPECT_EQ(ChannelTable[0].Worker.Thread, before.thread);
  EXPECT_EQ(LoadShared(ChannelTable[0].Worker.WorkerActive), 1);
  EXPECT_EQ(ChannelTable[1].DpHandle, kNoDpHandle);
  // Channel 0 still works, and the failed open's record is handed out next.
  ASSERT_EQ(ZEL_send(0, ZEL_BLOCK_SIZE, ReadJob(4, 3).data()), 0);
  Block result(ZEL_BLOCK_SIZE);
  EXPECT_TRUE(AwaitResult(0, result));
  ASSERT_EQ(ZEL_open("VCP1"), 1);
  EXPECT_EQ(ZEL_close(1), 0);
  EXPECT_EQ(ZEL_close(0), 0);
  ExpectNothingLeft();
}

// The one start that fails after the thread exists: the worker gives up on
// its own, and its thread ends and is given back with the rest.
TEST_F(FaultTest, WorkerThatFailsItsOwnSetUpLeavesNothingBehind) {
  DpSim_Script(DPSIM_INITSEMA_RESULT, 1, 1);
  EXPECT_EQ(ZEL_open("VCP1"), ZEL_NO_DEVICE_AVAILABLE);
  EXPECT_EQ(Traces(), (Lines{"Kalmorix.dll: DP_init_sema_object failed", kOpenFailed}));
  ExpectClosedOnce(DpSim_LastDpHandle(), DpSim_LastFdlHandle());
  ExpectNothingLeft();
}

TEST_F(FaultTest, OnlyTheScheduledCallFails) {
  fault::FailCall(Op::kSemaphoreCreate, 2);
  ASSERT_EQ(ZEL_open("VCP1"), 0);
  EXPECT_EQ(fault::Pending(), 1u);
  EXPECT_EQ(ZEL_open("VCP1"), ZEL_NO_DEVICE_AVAILABLE);
  EXPECT_EQ(Traces(),
            (Lines{"Kalmorix.dll: dpc1_use_messages: CreateSemaphore failed(1)", kOpenFailed}));
  EXPECT_EQ(fault::Pending(), 0u);
  EXPECT_EQ(ZEL_close(0), 0);
  ExpectNothingLeft();
}

// ---- The companion library -------------------------------------------------

TEST_F(FaultTest, CompanionThatCannotBeLoadedLeavesTheChannelWithoutFdl) {
  fault::FailCall(Op::kLibraryLoad);
  ASSERT_EQ(ZEL_open("VCP1"), 0);
  EXPECT_EQ(Traces(), Lines{kNoFdl});
  EXPECT_EQ(ChannelTable[0].Worker.hKyDll, nullptr);
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), baseline_.fdlLibraries);
  EXPECT_TRUE(CallsOf("ZEL_open", DPSIM_LIB_FDL).empty());

  DpSim_LogClear();
  EXPECT_EQ(ZEL_send(0, ZEL_BLOCK_SIZE, FdlJob(1, 11).data()), -1);
  EXPECT_EQ(Traces(), Lines{"Kalmorix.dll: ZEL_send: FDL not available"});
  EXPECT_EQ(ZEL_close(0), 0);
  for (const DpSimCall& c : Calls()) EXPECT_NE(c.lib, DPSIM_LIB_FDL) << c.op;
  ExpectNothingLeft();
}

// ---- Giving a channel back -------------------------------------------------

enum class Breaks { kCloseOfKind, kNthClose, kCompanionClose, kCompanionUnload };

struct ReleaseRow {
  const char* name;
  Breaks breaks;
  // The close that fails: the nth close of a handle of `kind` (kCloseOfKind)
  // or of any handle (kNthClose), and the handle that this is.
  Kind kind;
  uint32_t nth;
  Slot slot;
  const char* trace;
};

void PrintTo(const ReleaseRow& row, std::ostream* os) { *os << row.name; }

const ReleaseRow kReleaseRows[] = {
    {"StopSignal", Breaks::kCloseOfKind, Kind::kSemaphore, 1, Slot::kStopSignal,
     "Kalmorix.dll: ResetSemaHndl"},
    {"StartUpEvent", Breaks::kCloseOfKind, Kind::kEvent, 1, Slot::kStartUp,
     "Kalmorix.dll: SyncThreadHandle"},
    {"StopAckEvent", Breaks::kCloseOfKind, Kind::kEvent, 2, Slot::kStopAck,
     "Kalmorix.dll: StopAckHndl"},
    {"Thread", Breaks::kCloseOfKind, Kind::kThread, 1, Slot::kThread, "Kalmorix.dll: Thread"},
    {"FirstClose", Breaks::kNthClose, Kind::kSemaphore, 1, Slot::kStopSignal,
     "Kalmorix.dll: ResetSemaHndl"},
    {"SecondClose", Breaks::kNthClose, Kind::kEvent, 2, Slot::kStartUp,
     "Kalmorix.dll: SyncThreadHandle"},
    {"ThirdClose", Breaks::kNthClose, Kind::kEvent, 3, Slot::kStopAck, "Kalmorix.dll: StopAckHndl"},
    {"FourthClose", Breaks::kNthClose, Kind::kThread, 4, Slot::kThread, "Kalmorix.dll: Thread"},
    {"CompanionClose", Breaks::kCompanionClose, Kind::kAny, 0, Slot::kThread,
     "Kalmorix.dll: FdlHndl"},
    {"CompanionUnload", Breaks::kCompanionUnload, Kind::kAny, 0, Slot::kThread,
     "Kalmorix.dll: hKyDll"},
};

class ReleaseFailure : public FaultTest,
                       public ::testing::WithParamInterface<std::tuple<ReleaseRow, bool>> {};

// A failure while giving back is traced and the release goes on; the one
// thing that stays is what the failed call kept, which the test then gives
// back itself.
TEST_P(ReleaseFailure, IsTracedAndTheRestIsGivenBack) {
  const auto [row, byDetach] = GetParam();
  ASSERT_EQ(ZEL_open("VCP1"), 0);
  const Kept kept(0);
  switch (row.breaks) {
    case Breaks::kCloseOfKind:
      fault::FailClose(row.kind, row.nth);
      break;
    case Breaks::kNthClose:
      fault::FailCall(Op::kHandleClose, row.nth);
      break;
    case Breaks::kCompanionClose:
      DpSim_Script(DPSIM_FDL_CLOSE_RESULT, 7, 1);
      break;
    case Breaks::kCompanionUnload:
      fault::FailCall(Op::kLibraryFree);
      break;
  }
  DpSim_LogClear();

  if (byDetach) {
    Detach();
  } else {
    EXPECT_EQ(ZEL_close(0), 0);
  }
  EXPECT_EQ(Traces(), Lines{row.trace});
  ExpectClosedOnce(kept.dp, kept.fdl);
  EXPECT_EQ(ChannelTable[0].DpHandle, kNoDpHandle);
  EXPECT_EQ(ChannelTable[0].Worker.hKyDll, nullptr);

  switch (row.breaks) {
    case Breaks::kCloseOfKind:
    case Breaks::kNthClose:
      EXPECT_EQ(fault::Made(), 1u);
      EXPECT_EQ(fault::Made(row.kind), 1u) << "the handle whose close failed is still open";
      EXPECT_TRUE(plat::HandleClose(kept.Of(row.slot)));
      break;
    case Breaks::kCompanionClose:
      EXPECT_EQ(DpSim_FdlLibrariesLoaded(), baseline_.fdlLibraries) << "unloaded all the same";
      EXPECT_EQ(DpSim_OpenFdlHandles(), baseline_.fdlHandles + 1);
      EXPECT_EQ(DpSimFdl_Close(kept.fdl), 0);
      break;
    case Breaks::kCompanionUnload:
      EXPECT_EQ(DpSim_FdlLibrariesLoaded(), baseline_.fdlLibraries + 1);
      EXPECT_TRUE(plat::LibraryFree(kept.lib));
      break;
  }
  ExpectNothingLeft();
}

std::string ReleaseRowName(const ::testing::TestParamInfo<std::tuple<ReleaseRow, bool>>& info) {
  const auto [row, byDetach] = info.param;
  return std::string(row.name) + (byDetach ? "OnDetach" : "OnClose");
}

INSTANTIATE_TEST_SUITE_P(Rows, ReleaseFailure,
                         ::testing::Combine(::testing::ValuesIn(kReleaseRows), ::testing::Bool()),
                         ReleaseRowName);

TEST_F(FaultTest, EveryReleaseFailureOfOneCloseIsTracedInOrder) {
  ASSERT_EQ(ZEL_open("VCP1"), 0);
  const Kept kept(0);
  fault::FailClose(Kind::kSemaphore);
  fault::FailClose(Kind::kEvent, 1);
  fault::FailClose(Kind::kEvent, 2);
  fault::FailClose(Kind::kThread);
  fault::FailCall(Op::kLibraryFree);
  DpSim_Script(DPSIM_FDL_CLOSE_RESULT, 7, 1);
  DpSim_LogClear();

  EXPECT_EQ(ZEL_close(0), 0);
  EXPECT_EQ(Traces(), (Lines{"Kalmorix.dll: ResetSemaHndl", "Kalmorix.dll: SyncThreadHandle",
                             "Kalmorix.dll: StopAckHndl", "Kalmorix.dll: Thread",
                             "Kalmorix.dll: FdlHndl", "Kalmorix.dll: hKyDll"}));
  EXPECT_EQ(ChannelTable[0].DpHandle, kNoDpHandle);
  for (plat::Handle h : {kept.sema, kept.startUp, kept.stopAck, kept.thread}) {
    EXPECT_TRUE(plat::HandleClose(h));
  }
  EXPECT_EQ(DpSimFdl_Close(kept.fdl), 0);
  EXPECT_TRUE(plat::LibraryFree(kept.lib));
  ExpectNothingLeft();
}

// An open that gives up after the worker could not be started releases
// through the same steps, and traces their failures after its own.
TEST_F(FaultTest, ReleaseFailuresOfAnAbandonedOpenFollowItsTraces) {
  fault::FailCall(Op::kThreadCreate, 1, 8);
  fault::FailClose(Kind::kSemaphore, 1, 6);
  fault::FailClose(Kind::kEvent, 1, 6);
  fault::FailClose(Kind::kEvent, 2, 6);
  fault::FailCall(Op::kLibraryFree, 1, 126);
  DpSim_Script(DPSIM_FDL_CLOSE_RESULT, 7, 1);

  EXPECT_EQ(ZEL_open("VCP1"), ZEL_NO_DEVICE_AVAILABLE);
  EXPECT_EQ(plat::LastErrorGet(), 8u) << "the thread's failure, not the clean-up's";
  EXPECT_EQ(Traces(),
            (Lines{"Kalmorix.dll: dpc1_use_messages: CreateThread failed", kOpenFailed,
                   "Kalmorix.dll: ResetSemaHndl", "Kalmorix.dll: SyncThreadHandle",
                   "Kalmorix.dll: StopAckHndl", "Kalmorix.dll: FdlHndl", "Kalmorix.dll: hKyDll"}));
  EXPECT_EQ(fault::Pending(), 0u);
  ExpectClosedOnce(DpSim_LastDpHandle(), DpSim_LastFdlHandle());
  EXPECT_EQ(ChannelTable[0].DpHandle, kNoDpHandle);

  const WorkerContext& w = ChannelTable[0].Worker;
  for (plat::Handle h : {w.ResetSemaHndl, w.SyncThreadHandle, w.StopAckHndl}) {
    EXPECT_TRUE(plat::HandleClose(h));
  }
  EXPECT_EQ(DpSimFdl_Close(DpSim_LastFdlHandle()), 0);
  ASSERT_EQ(DpSim_FdlLibrariesLoaded(), baseline_.fdlLibraries + 1);
  // The record no longer names the library; a second load hands out the same
  // module, and two frees balance both loads.
  plat::Module lib = plat::LibraryLoad("ky_dll");
  ASSERT_NE(lib, nullptr);
  EXPECT_TRUE(plat::LibraryFree(lib));
  EXPECT_TRUE(plat::LibraryFree(lib));
  ExpectNothingLeft();
}

// ---- The stop signal -------------------------------------------------------

TEST_F(FaultTest, CloseWhoseStopSignalFailsKeepsTheChannelWorking) {
  ASSERT_EQ(ZEL_open("VCP1"), 0);
  fault::FailCall(Op::kSemaphoreRelease);
  DpSim_LogClear();

  EXPECT_EQ(ZEL_close(0), ZEL_CLOSE_FAILED);
  EXPECT_EQ(Traces(), (Lines{"Kalmorix.dll: StopWorker: stop signal failed",
                             "Kalmorix.dll: ZEL_close failed(1)"}));
  EXPECT_TRUE(CallsOf("DP_close").empty());
  EXPECT_TRUE(CallsOf("ZEL_close", DPSIM_LIB_FDL).empty());
  EXPECT_NE(ChannelTable[0].DpHandle, kNoDpHandle);
  EXPECT_EQ(fault::Made(), 4u);
  EXPECT_EQ(LoadShared(ChannelTable[0].Worker.WorkerActive), 1);

  // Its worker still serves it.
  ASSERT_EQ(ZEL_send(0, ZEL_BLOCK_SIZE, ReadJob(9, 3).data()), 0);
  Block result(ZEL_BLOCK_SIZE);
  ASSERT_TRUE(AwaitResult(0, result));
  EXPECT_EQ(U16(result, ZEL_OFS_JOB_ID), 9);

  DpSim_LogClear();
  EXPECT_EQ(ZEL_close(0), 0);
  EXPECT_TRUE(Traces().empty());
  ExpectNothingLeft();
}

TEST_F(FaultTest, DetachWhoseStopSignalFailsLeavesTheWorkerItsResources) {
  ASSERT_EQ(ZEL_open("VCP1"), 0);
  WorkerContext& w = ChannelTable[0].Worker;
  const int32_t dp = ChannelTable[0].DpHandle;
  fault::FailCall(Op::kSemaphoreRelease);
  DpSim_LogClear();

  Detach();
  EXPECT_EQ(Traces(), (Lines{"Kalmorix.dll: StopWorker: stop signal failed",
                             "Kalmorix.dll: detach: a worker still runs, kept off unloaded code",
                             "Kalmorix.dll: detach: a worker still runs, CpRelease not called"}));
  EXPECT_TRUE(CallsOf("DP_close").empty());
  EXPECT_TRUE(CallsOf("CpRelease").empty());
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), baseline_.fdlLibraries + 1);
  EXPECT_EQ(fault::Made(), 4u);
  EXPECT_EQ(LoadShared(w.WorkerActive), 1);

  // What detach left is the caller's to clean up here. The worker ends where
  // its wait returns (in the platform layer or the call stub).
  ASSERT_TRUE(plat::SemaphoreRelease(w.ResetSemaHndl, 1));
  ASSERT_EQ(plat::WaitOne(w.Thread, kSettleMs), plat::kWaitObject0);
  EXPECT_TRUE(CallsOf("FreeSemaObject").empty()) << "the worker never went on";
  DpError err = {};
  DP_close(dp, &err);
  StoreShared(ChannelTable[0].DpHandle, kNoDpHandle);
  ReleaseChannel(0);
  ModuleDetach();  // nothing open now: the locks are given back
  ExpectNothingLeft();
}

// ---- The fault table itself -------------------------------------------------

TEST_F(FaultTest, AFailedCallFailsAsTheSystemWouldAndOnlyOnce) {
  fault::FailCall(Op::kEventCreate, 2);
  plat::Handle first = plat::EventCreate();
  plat::LastErrorSet(0);
  plat::Handle second = plat::EventCreate();
  const uint32_t error = plat::LastErrorGet();
  plat::Handle third = plat::EventCreate();
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(error, plat::kErrorNotEnoughMemory);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(fault::Injected(Op::kEventCreate), 1u);
  EXPECT_EQ(fault::Made(Kind::kEvent), 2u);
  EXPECT_TRUE(plat::HandleClose(first));
  EXPECT_TRUE(plat::HandleClose(third));
  ExpectNothingLeft();
}

TEST_F(FaultTest, AFailedCloseOfAKindSkipsOtherKindsAndKeepsTheHandle) {
  plat::Handle sema = plat::SemaphoreCreate(0, 1);
  plat::Handle event = plat::EventCreate();
  ASSERT_NE(sema, nullptr);
  ASSERT_NE(event, nullptr);
  fault::FailClose(Kind::kEvent);
  EXPECT_TRUE(plat::HandleClose(sema));
  EXPECT_FALSE(plat::HandleClose(event));
  EXPECT_EQ(plat::LastErrorGet(), plat::kErrorInvalidHandle);
  // Still a working event.
  EXPECT_TRUE(plat::EventSet(event));
  EXPECT_EQ(plat::WaitOne(event, 0), plat::kWaitObject0);
  EXPECT_TRUE(plat::HandleClose(event));
  EXPECT_EQ(fault::Injected(Op::kHandleClose), 1u);
  ExpectNothingLeft();
}

}  // namespace
