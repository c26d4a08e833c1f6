// Fixture for tests that drive the module through its exports, with the
// stand-in processor in manual mode: every confirmation is injected by hand.
#pragma once

#include "support/test_support.h"

namespace kxtest {

class ApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DpSim_Reset();
    DpSim_SetTrace("off");
    DpSim_SetAutoConfirm(0);
    UseCompanion("full");
  }
  void TearDown() override {
    for (int h = 0; h < 8; ++h) ZEL_close(h);
    EXPECT_EQ(DpSim_OpenDpHandles(), 0) << "a test left a channel open";
  }

  // Opens a channel and clears the log; dp_ and fdl_ are its library handles.
  int32_t Open(const char* name = "VCP1") {
    const int32_t h = ZEL_open(name);
    EXPECT_TRUE(h >= 0 && h < 8) << "ZEL_open returned " << h;
    dp_ = DpSim_LastDpHandle();
    fdl_ = DpSim_LastFdlHandle();
    DpSim_LogClear();
    return h;
  }

  // Polls ZEL_receive until a result comes or timeoutMs has passed.
  bool Receive(int32_t h, Block& out, uint32_t timeoutMs = 3000) {
    return WaitUntil(
        [&] {
          uint16_t length = 0xBEEF;
          EXPECT_EQ(ZEL_receive(h, 0, &length, 0, out.data()), 0);
          return length == ZEL_BLOCK_SIZE;
        },
        timeoutMs);
  }

  // True when no result is offered (length 0), checked once.
  bool NothingStored(int32_t h) {
    Block b = Patterned();
    const Block before = b;
    uint16_t length = 0xBEEF;
    EXPECT_EQ(ZEL_receive(h, 0, &length, 0, b.data()), 0);
    return length == 0 && b == before;
  }

  void Inject(uint16_t kind, const Block& record, const Block& error) {
    ASSERT_EQ(DpSim_InjectConfirmation(dp_, kind, record.data(), error.data()), 0);
  }

  // Waits until the worker has fetched every injected confirmation and run
  // the rest of its pass (the pass ends before the next log entry of the
  // worker, so wait for the fetch, then for quiet).
  void WaitFetched(size_t fetches) {
    ASSERT_TRUE(WaitUntil([&] { return CallsOf("FetchConfirmation").size() >= fetches; }, 3000));
    ASSERT_TRUE(WaitUntil([&] { return DpSim_PendingConfirmations(dp_) == 0; }, 3000));
    // The rest of a read pass is a few stores under the module lock;
    // ZEL_receive takes the same lock, so a result stored is seen by it.
  }

  uint16_t SeqOfLastSubmission(const char* op = "Dpc1Read") {
    const auto calls = CallsOf(op);
    EXPECT_FALSE(calls.empty());
    return calls.empty() ? 0
                         : static_cast<uint16_t>(calls.back().data[0] | calls.back().data[1] << 8);
  }

  int32_t dp_ = -1;
  int32_t fdl_ = -1;
};

}  // namespace kxtest
