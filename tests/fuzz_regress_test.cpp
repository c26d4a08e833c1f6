// Replays the fuzz targets' inputs through their harnesses: the seed corpora
// (fuzz/corpus), so that every build holds the module to the harnesses'
// invariants, and fuzz/regress, the inputs with which a fuzzer found a fault.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "api_harness.h"
#include "channel/channel.h"
#include "harness_support.h"
#include "ops.h"
#include "support/test_support.h"
#if !defined(_WIN32)
#include "worker_harness.h"
#endif

using namespace kxtest;
namespace fs = std::filesystem;

namespace {

struct FuzzInput {
  std::string name;
  std::vector<uint8_t> bytes;
};

// Every input of one target, from the corpus and from the findings.
std::vector<FuzzInput> InputsOf(const std::string& target) {
  std::vector<FuzzInput> out;
  for (const char* set : {"corpus", "regress"}) {
    const fs::path dir = fs::path(KX_FUZZ_DIR) / set / target;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) continue;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream file(entry.path(), std::ios::binary);
      out.push_back({std::string(set) + "/" + target + "/" + entry.path().filename().string(),
                     {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()}});
    }
  }
  std::sort(out.begin(), out.end(),
            [](const FuzzInput& a, const FuzzInput& b) { return a.name < b.name; });
  return out;
}

class FuzzReplay : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    DpSim_Reset();
    UseCompanion("full");
    ModuleAttach();
    kxfuzz::ApiHarnessInit();
#if !defined(_WIN32)
    kxfuzz::WorkerHarnessInit();
#endif
  }
  static void TearDownTestSuite() { ModuleDetach(); }
};

TEST_F(FuzzReplay, ApiInputsKeepEveryInvariant) {
  const std::vector<FuzzInput> inputs = InputsOf("api");
  ASSERT_GE(inputs.size(), 20u) << "the seed corpus is missing from " << KX_FUZZ_DIR;
  for (const FuzzInput& in : inputs) {
    EXPECT_EQ(kxfuzz::RunApiInput(in.bytes.data(), in.bytes.size()), "") << in.name;
  }
}

#if !defined(_WIN32)
TEST_F(FuzzReplay, WorkerInputsKeepEveryInvariant) {
  const std::vector<FuzzInput> inputs = InputsOf("worker");
  ASSERT_GE(inputs.size(), 20u) << "the seed corpus is missing from " << KX_FUZZ_DIR;
  for (const FuzzInput& in : inputs) {
    EXPECT_EQ(kxfuzz::RunWorkerInput(in.bytes.data(), in.bytes.size()), "") << in.name;
  }
}

// The seeds are what carries the fuzzer to results of every kind and into
// the read-back pause; were the input format or the virtual clock to drift,
// they would pass while checking nothing.
TEST_F(FuzzReplay, WorkerSeedsReachEveryKindOfResultAndThePause) {
  kxfuzz::WorkerRunStats total;
  for (const FuzzInput& in : InputsOf("worker")) {
    kxfuzz::WorkerRunStats one;
    ASSERT_EQ(kxfuzz::RunWorkerInput(in.bytes.data(), in.bytes.size(), &one), "") << in.name;
    if (in.name == "corpus/worker/write") {
      EXPECT_EQ(one.pauses, 1) << "held once in the read-back pause";
      EXPECT_EQ(one.writeResults, 1);
    }
    total.readResults += one.readResults;
    total.writeResults += one.writeResults;
    total.fdlResults += one.fdlResults;
    total.pauses += one.pauses;
    total.messages += one.messages;
  }
  EXPECT_GE(total.readResults, 5);
  EXPECT_GE(total.writeResults, 3);
  EXPECT_GE(total.fdlResults, 4);
  EXPECT_GE(total.pauses, 5);
  EXPECT_GE(total.messages, 3);
}
#endif

// ---- The harnesses notice a fault -------------------------------------------------
// A fault planted in the module's state between two operations, where a
// faulty module would have left it, must come out as a broken invariant.

void Append(std::vector<uint8_t>& input, std::initializer_list<unsigned> bytes) {
  for (unsigned b : bytes) input.push_back(static_cast<uint8_t>(b));
}

// Ops: 0 open VCP1, 1 send a read job (JobId 1, slave 3), 2 receive.
std::vector<uint8_t> ApiReadJob() {
  using namespace kxfuzz;
  std::vector<uint8_t> in;
  Append(in, {kApiOpen, kNameVcp1, kOpenFine});
  Append(in, {kApiSend, 0, kLength340, kBlockFields, kSubsysDpc1, '0', 1, 0, 3, 0, 0, 0, 0});
  Append(in, {0, 0, 0, 0x5A, kSendFine});  // DataLength 0, no data, filler, no fault
  Append(in, {kApiReceive, 0, 0, 0x33, 0, 0, 0, 0, 0, 0, 0, 0});
  return in;
}

TEST_F(FuzzReplay, ApiHarnessReportsPlantedFaults) {
  const std::vector<uint8_t> input = ApiReadJob();
  ASSERT_EQ(kxfuzz::RunApiInput(input.data(), input.size()), "");
  WorkerContext& w = ChannelTable[0].Worker;
  int32_t extra = -1;
  const struct {
    const char* fault;
    int after;
    std::function<void()> plant;
    const char* report;
  } cases[] = {
      {"a job number skipped", 0, [&] { StoreShared(w.JobSeq, uint16_t{40}); },
       "differs from the job at byte 0"},
      {"a result out of nowhere", 1,
       [&] {
         StoreShared(w.CnfKind, uint16_t{7});
         StoreShared(w.CnfReady, uint8_t{1});
       },
       "with length 340"},
      {"a DP handle left open", 0,
       [&] {
         DpError err = {};
         OpenDpHandle("VCP1", &extra, &err);
       },
       "the stand-in holds 1 DP handles"},
  };
  for (const auto& c : cases) {
    const std::string report = kxfuzz::RunApiInput(input.data(), input.size(), [&](int op) {
      if (op == c.after) c.plant();
    });
    EXPECT_NE(report.find(c.report), std::string::npos) << c.fault << ": " << report;
  }
  DpError err = {};
  if (extra != -1) DP_close(extra, &err);
}

#if !defined(_WIN32)
// Ops: 0 send a read job (JobId 0x1234), 1 inject its confirmation with 4
// bytes, 2 step, 3 receive.
std::vector<uint8_t> WorkerReadCycle(std::initializer_list<unsigned> prefix = {}) {
  using namespace kxfuzz;
  std::vector<uint8_t> in;
  Append(in, prefix);
  Append(in, {kWkSendRead, 0x34, 0x12, 3});
  Append(in, {kWkInjectCnf, kCnfRead, 0, kSeqCurrent, 4, 0, 4, 1, 2, 3, 4});  // DataLen 4
  Append(in, {kErrDone, 0, 0, 0, 0, 0, 0, 0});
  Append(in, {kWkStep, kWkReceive, 0x11});
  return in;
}

TEST_F(FuzzReplay, WorkerHarnessReportsFaultsPlantedInTheStoredResult) {
  const std::vector<uint8_t> input = WorkerReadCycle();
  ASSERT_EQ(kxfuzz::RunWorkerInput(input.data(), input.size()), "");
  WorkerContext& w = ChannelTable[0].Worker;
  const struct {
    const char* fault;
    std::function<void()> plant;
    const char* report;
  } cases[] = {
      {"data changed", [&] { w.Dpc1Cnf.RecData[1] ^= 0xFF; }, "data differ"},
      {"length changed", [&] { w.Dpc1Cnf.DataLen = 250; }, "the confirmation carried 4"},
      {"kind mixed up", [&] { StoreShared(w.CnfKind, uint16_t{26}); }, "no FDL block of job"},
      {"result lost", [&] { StoreShared(w.CnfKind, uint16_t{99}); }, "was not delivered"},
      {"job mixed up", [&] { StoreShared(w.UserJobId, uint16_t{0x4321}); }, "carries JobId"},
  };
  for (const auto& c : cases) {
    const std::string report =
        kxfuzz::RunWorkerInput(input.data(), input.size(), nullptr, [&](int op) {
          if (op == 2) c.plant();  // stored by the step, not yet fetched
        });
    EXPECT_NE(report.find(c.report), std::string::npos) << c.fault << ": " << report;
  }
}

TEST_F(FuzzReplay, WorkerHarnessReportsWrongOrMissingMessages) {
  // Op 0 registers message 0x8000; the read cycle follows.
  const std::vector<uint8_t> input = WorkerReadCycle({kxfuzz::kWkRegister, kxfuzz::kMsgUser});
  kxfuzz::WorkerRunStats stats;
  ASSERT_EQ(kxfuzz::RunWorkerInput(input.data(), input.size(), &stats), "");
  ASSERT_EQ(stats.messages, 1);
  WorkerContext& w = ChannelTable[0].Worker;
  const struct {
    const char* fault;
    uint32_t msg;
    const char* report;
  } cases[] = {
      {"another identifier", 0x9999, "posted message 0x9999"},
      {"none", 0, "no message was posted"},
  };
  for (const auto& c : cases) {
    const std::string report =
        kxfuzz::RunWorkerInput(input.data(), input.size(), nullptr, [&](int op) {
          if (op == 0) StoreShared(w.NotifyMsgId, c.msg);
        });
    EXPECT_NE(report.find(c.report), std::string::npos) << c.fault << ": " << report;
  }
}
#endif

// A write just outside the buffer is found, at its offset. Under
// AddressSanitizer the zones are poisoned and such a write stops the run.
TEST(GuardedBuffer, FindsAWriteJustOutsideEitherEnd) {
#if defined(KXFUZZ_ASAN)
  GTEST_SKIP() << "poisoned guard zones: AddressSanitizer catches the write itself";
#else
  kxfuzz::GuardedBuffer inside(340);
  inside.Fill(0x5A);
  std::memset(inside.data(), 0xFF, 340);
  EXPECT_EQ(inside.DamagedGuard(), 0);

  kxfuzz::GuardedBuffer after(340);
  after.data()[340] ^= 1;
  EXPECT_EQ(after.DamagedGuard(), 340);

  kxfuzz::GuardedBuffer before(340);
  before.data()[-1] ^= 1;
  EXPECT_EQ(before.DamagedGuard(), -1);

  kxfuzz::GuardedBuffer twoBytes(2);
  twoBytes.data()[2 + 63] ^= 1;
  EXPECT_EQ(twoBytes.DamagedGuard(), 65);
#endif
}

}  // namespace
