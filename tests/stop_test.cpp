// A worker that does not stop in time: nothing it may still use is given
// back, close and detach still end, and a later close finishes the job.
#include "channel/channel.h"
#include "support/test_support.h"

using namespace kxtest;

namespace {

class StopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DpSim_Reset();
    DpSim_SetTrace("off");
    DpSim_SetAutoConfirm(0);
    UseCompanion("full");
    ModuleAttach();
  }

  // Opens channel 0 and sends its worker into a FetchConfirmation that
  // hangs for `stallMs`.
  void OpenAndHang(uint32_t stallMs) {
    ASSERT_EQ(ZEL_open("VCP1"), 0);
    dp_ = DpSim_LastDpHandle();
    ASSERT_EQ(ZEL_send(0, 340, ReadJob(1, 3).data()), 0);
    DpSim_Script(DPSIM_FETCH_STALL_MS, static_cast<int32_t>(stallMs), 1);
    DpSim_LogClear();
    ASSERT_EQ(DpSim_InjectConfirmation(dp_, 7, Record(1, {1}).data(), Error(0).data()), 0);
    // Taken, so no longer pending: the worker is inside the hanging call.
    ASSERT_TRUE(WaitUntil([&] { return DpSim_PendingConfirmations(dp_) == 0; }, 3000));
  }

  int32_t dp_ = -1;
};

constexpr uint32_t kHangMs = kStopWaitMs + 2500;

TEST_F(StopTest, CloseGivesUpAfterTheStopWaitAndKeepsTheChannel) {
  OpenAndHang(kHangMs);
  EXPECT_EQ(ZEL_close(0), ZEL_CLOSE_FAILED);
  EXPECT_EQ(Traces(), (std::vector<std::string>{"Kalmorix.dll: StopWorker: worker did not stop",
                                                "Kalmorix.dll: ZEL_close failed(1)"}));
  EXPECT_TRUE(CallsOf("DP_close").empty()) << "the worker may still use the DP handle";
  EXPECT_TRUE(CallsOf("ZEL_close", DPSIM_LIB_FDL).empty());
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), 1);
  EXPECT_NE(ChannelTable[0].DpHandle, kNoDpHandle);
  // Told to stop: no job is taken that nothing would collect.
  DpSim_LogClear();
  EXPECT_EQ(ZEL_send(0, 340, ReadJob(2, 3).data()), -1);
  EXPECT_EQ(Traces(), std::vector<std::string>{"Kalmorix.dll: ZEL_send: worker stopped"});

  // Once the library lets go the worker sees its stop; a close then succeeds.
  ASSERT_TRUE(WaitUntil([] { return !CallsOf("FreeSemaObject").empty(); }, kHangMs));
  DpSim_LogClear();
  EXPECT_EQ(ZEL_close(0), 0);
  EXPECT_EQ(CallsOf("DP_close").size(), 1u);
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), 0);
  ModuleDetach();
  EXPECT_TRUE(CallsOf("CpRelease").empty());
}

TEST_F(StopTest, DetachLeavesAHungWorkerItsResourcesAndStillEnds) {
  OpenAndHang(kHangMs);
  WorkerContext& w = ChannelTable[0].Worker;
  ModuleDetach();
  EXPECT_EQ(Traces(), (std::vector<std::string>{
                          "Kalmorix.dll: StopWorker: worker did not stop",
                          "Kalmorix.dll: detach: a worker still runs, kept off unloaded code",
                          "Kalmorix.dll: detach: a worker still runs, CpRelease not called"}));
  EXPECT_TRUE(CallsOf("DP_close").empty());
  EXPECT_TRUE(CallsOf("CpRelease").empty()) << "the processor stays with the worker";
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), 1) << "the worker may still poll the companion";

  // The worker ends as the library's call returns (in the platform layer or
  // the call stub), without running any more of the module's code.
  EXPECT_EQ(plat::WaitOne(w.Thread, kHangMs), plat::kWaitObject0);
  EXPECT_TRUE(CallsOf("FreeSemaObject").empty()) << "the worker never went on";
  // What detach left is the caller's to clean up here.
  DpError err = {};
  DP_close(ChannelTable[0].DpHandle, &err);
  ReleaseChannel(0);
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), 0);
}

}  // namespace
