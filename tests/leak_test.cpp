// Open/close cycles by the thousand, with and without the companion library
// and with and without a job in flight at the close: afterwards the process
// holds what it held after the first cycles. KX_LEAK_CYCLES sets the number
// of measured cycles.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "channel/channel.h"
#include "platform/fault_injection.h"
#include "support/test_support.h"

using namespace kxtest;
namespace fault = plat::fault;

namespace {

// Cycles before the measurement starts: the stand-in, the loader and the
// runtime keep a few things of their own after their first use.
constexpr uint32_t kWarmUpCycles = 100;
#if defined(_WIN32)
// Under Wine a cycle costs 3 to 20 ms (thread start, library load), so the
// default run is short; KX_LEAK_CYCLES=10000 makes the full one.
constexpr uint32_t kDefaultCycles = 1000;
#else
constexpr uint32_t kDefaultCycles = 10000;
#endif
constexpr uint32_t kSettleMs = 5000;

// The measured cycles: KX_LEAK_CYCLES, else the default; 0 when the variable
// holds no positive number.
uint32_t MeasuredCycles() {
  const char* text = std::getenv("KX_LEAK_CYCLES");
  if (text == nullptr || text[0] == 0) return kDefaultCycles;
  char* end = nullptr;
  const unsigned long n = std::strtoul(text, &end, 10);
  return *end == 0 && n > 0 && n <= 10000000ul ? static_cast<uint32_t>(n) : 0;
}

struct Holdings {
  fault::ProcessCensus process;
  int dpHandles = 0;
  int fdlHandles = 0;
  int fdlLibraries = 0;
  int signals = 0;
  bool operator==(const Holdings&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Holdings& h) {
  return os << "{handles " << h.process.handles << ", descriptors " << h.process.descriptors
            << ", threads " << h.process.threads << ", DP handles " << h.dpHandles
            << ", FDL handles " << h.fdlHandles << ", companions loaded " << h.fdlLibraries
            << ", signals " << h.signals << "}";
}

Holdings Take() {
  Holdings h;
  EXPECT_TRUE(fault::TakeCensus(&h.process));
  h.dpHandles = DpSim_OpenDpHandles();
  h.fdlHandles = DpSim_OpenFdlHandles();
  h.fdlLibraries = DpSim_FdlLibrariesLoaded();
  h.signals = DpSim_SignalsOutstanding();
  return h;
}

// Everything as before; fewer threads is fine (the last cycle's worker may
// still have been ending when `before` was taken), and so are a few more
// where the system starts threads of its own.
bool Holds(const Holdings& now, const Holdings& before) {
  Holdings same = now;
  if (now.process.threads <= before.process.threads + fault::kForeignThreads) {
    same.process.threads = before.process.threads;
  }
  return same == before;
}

struct Variant {
  const char* name;
  bool companion;
  bool jobInFlight;
};

void PrintTo(const Variant& v, std::ostream* os) { *os << v.name; }

class LeakTest : public ::testing::TestWithParam<Variant> {
 protected:
  void SetUp() override {
    DpSim_Reset();
    DpSim_SetTrace("off");
    // Submissions are accepted and never confirmed: a job sent stays in flight.
    DpSim_SetAutoConfirm(0);
    if (GetParam().companion) {
      UseCompanion("full");
    } else {
      UseNoCompanion();
    }
    ModuleAttach();
  }
  void TearDown() override { ModuleDetach(); }

  // Opens channel 0, sends its jobs and closes it.
  void Cycle(uint32_t i) {
    const int32_t h = ZEL_open("VCP1");
    ASSERT_EQ(h, 0) << "cycle " << i;
    if (GetParam().jobInFlight) {
      // Reads and writes by turns; with the companion an FDL request as well,
      // which gives up the DPC1 job while that is still with the library.
      const Block& job = i % 2 == 0 ? read_ : write_;
      ASSERT_EQ(ZEL_send(h, ZEL_BLOCK_SIZE, job.data()), 0) << "cycle " << i;
      if (GetParam().companion) {
        ASSERT_EQ(ZEL_send(h, ZEL_BLOCK_SIZE, fdl_.data()), 0) << "cycle " << i;
      }
    }
    ASSERT_EQ(ZEL_close(h), 0) << "cycle " << i;
  }

  // Since the last call: each open without the companion traces that it has
  // none, and nothing else is traced.
  void ExpectOnlyOpenTraces() {
    for (const std::string& line : Traces()) {
      if (GetParam().companion || line != "Kalmorix.dll: ZEL_open(Could not activate FDL)") {
        ADD_FAILURE() << "unexpected trace: " << line;
        break;
      }
    }
    DpSim_LogClear();
  }

  const Block read_ = ReadJob(1, 3);
  const Block write_ = WriteJob(2, 3, {1, 2, 3, 4});
  const Block fdl_ = FdlJob(3, 11);
};

TEST_P(LeakTest, CyclesLeaveNothingBehind) {
  const uint32_t cycles = MeasuredCycles();
  ASSERT_NE(cycles, 0u) << "KX_LEAK_CYCLES is no positive number";
  for (uint32_t i = 0; i < kWarmUpCycles; ++i) {
    ASSERT_NO_FATAL_FAILURE(Cycle(i));
  }
  const Holdings before = Take();

  const auto start = std::chrono::steady_clock::now();
  for (uint32_t i = 0; i < cycles; ++i) {
    ASSERT_NO_FATAL_FAILURE(Cycle(kWarmUpCycles + i));
    if (i % 1000 == 999) ExpectOnlyOpenTraces();
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;

  WaitUntil([&] { return Holds(Take(), before); }, kSettleMs);
  const Holdings after = Take();
  EXPECT_TRUE(Holds(after, before))
      << "after " << cycles << " cycles: " << after << "\nafter the warm-up: " << before;
  ExpectOnlyOpenTraces();
  for (int i = 0; i < kChannelCount; ++i) EXPECT_EQ(ChannelTable[i].DpHandle, kNoDpHandle);
  std::printf(
      "[ figures  ] %s: %u cycles in %.1f s; handles %u -> %u, descriptors %d -> %d, "
      "threads %d -> %d\n",
      GetParam().name, cycles, took.count(), before.process.handles, after.process.handles,
      before.process.descriptors, after.process.descriptors, before.process.threads,
      after.process.threads);
}

INSTANTIATE_TEST_SUITE_P(Variants, LeakTest,
                         ::testing::Values(Variant{"CompanionNoJob", true, false},
                                           Variant{"CompanionJob", true, true},
                                           Variant{"NoCompanionNoJob", false, false},
                                           Variant{"NoCompanionJob", false, true}),
                         [](const ::testing::TestParamInfo<Variant>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
