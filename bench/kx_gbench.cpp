// The job path under Google Benchmark (native): each iteration is one timed
// handoff or round trip; the counters give the median and p99 of the
// iterations in microseconds.
#include <benchmark/benchmark.h>

#include "bench_core.h"

using namespace kxbench;

namespace {

constexpr uint32_t kMsgId = 0x8001;

void Report(benchmark::State& state, std::vector<double>& ns) {
  const Stats s = Summarize(ns);
  state.counters["p50_us"] = s.p50 / 1000.0;
  state.counters["p99_us"] = s.p99 / 1000.0;
}

void BM_Floor(benchmark::State& state) {
  Floor f;
  if (!f.Start()) {
    state.SkipWithError("cannot start the floor's thread");
    return;
  }
  std::vector<double> ns;
  for (auto _ : state) {
    const double v = f.Once();
    if (v < 0) {
      state.SkipWithError("handoff lost");
      break;
    }
    ns.push_back(v);
    state.SetIterationTime(v / 1e9);
  }
  f.Stop();
  Report(state, ns);
}

// Runs `roundTrip(jobId)` once per iteration, timed by its own result;
// stops the benchmark at the first failed job.
template <class RoundTrip>
void TimeRoundTrips(benchmark::State& state, RoundTrip roundTrip) {
  std::vector<double> ns;
  uint16_t id = 0;
  for (auto _ : state) {
    if (++id == 0) id = 1;
    const double v = roundTrip(id);
    if (v < 0) {
      state.SkipWithError("job failed");
      break;
    }
    ns.push_back(v);
    state.SetIterationTime(v / 1e9);
  }
  Report(state, ns);
}

void BM_PolledRoundTrip(benchmark::State& state) {
  FastStandIn();
  const int32_t h = ZEL_open("VCP1");
  if (h < 0 || h > 7) {
    state.SkipWithError("ZEL_open failed");
    return;
  }
  TimeRoundTrips(state, [h](uint16_t id) { return PolledRoundTrip(h, id); });
  ZEL_close(h);
}

void BM_NotifiedRoundTrip(benchmark::State& state) {
  FastStandIn();
  const int32_t h = ZEL_open("VCP1");
  plat::Window wnd = plat::MessageWindowCreate();
  if (h < 0 || h > 7 || !wnd || SetTalvoHWndMsg(h, wnd, kMsgId) != 0) {
    state.SkipWithError("cannot open a channel with a window");
    if (h >= 0 && h <= 7) ZEL_close(h);
    if (wnd) plat::MessageWindowDestroy(wnd);
    return;
  }
  TimeRoundTrips(state, [h, wnd](uint16_t id) { return NotifiedRoundTrip(h, wnd, kMsgId, id); });
  ZEL_close(h);
  plat::MessageWindowDestroy(wnd);
}

// Jobs per second over `state.range(0)` channels, one thread each, 1 s.
void BM_Throughput(benchmark::State& state) {
  FastStandIn();
  for (auto _ : state) {
    const Throughput t = RunThroughput(static_cast<int>(state.range(0)), 1000);
    if (t.failures || t.jobs == 0) {
      state.SkipWithError("jobs failed");
      break;
    }
    state.counters["jobs_per_s"] = t.jobsPerSecond;
  }
}

}  // namespace

BENCHMARK(BM_Floor)->UseManualTime()->Iterations(20000);
BENCHMARK(BM_PolledRoundTrip)->UseManualTime()->Iterations(20000);
BENCHMARK(BM_NotifiedRoundTrip)->UseManualTime()->Iterations(20000);
BENCHMARK(BM_Throughput)->Arg(1)->Arg(8)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
