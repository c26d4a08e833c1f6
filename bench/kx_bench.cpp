// kx_bench: the cost Kalmorix adds to the job path, measured against the
// stand-in processor and printed as one table. Built for both targets.
//
//   kx_bench [--quick] [--check]    the table (--quick: short runs; --check:
//                                   exit 1 when a job failed or the module
//                                   allocated, never because of a speed)
//   kx_bench --callgrind N          N notified DPC1 reads and N empty polls,
//                                   for counting instructions under callgrind
//   kx_bench --daemon [--quick]     with DPSIM_SERVER naming a running daemon:
//                                   the polled read round trip through it
//   kx_bench --load CHANNELS MS     with DPSIM_SERVER: reads back to back on
//                                   CHANNELS channels for MS ms; prints the jobs
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_core.h"
#include "channel/channel.h"

#include "alloc_count.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/resource.h>
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define KX_HAVE_CALLGRIND 1
#endif
#endif

using namespace kxbench;

namespace {

constexpr uint32_t kMsgId = 0x8001;  // WM_APP + 1

struct CpuSample {
  double cpuSeconds = 0;
  long voluntarySwitches = -1;  // -1: not known on this target
};

CpuSample ProcessCpu() {
  CpuSample s;
#if defined(_WIN32)
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
    auto seconds = [](const FILETIME& f) {
      return static_cast<double>((uint64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime) / 1e7;
    };
    s.cpuSeconds = seconds(kernel) + seconds(user);
  }
#else
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  s.cpuSeconds = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                 static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  s.voluntarySwitches = u.ru_nvcsw;
#endif
  return s;
}

// Path and size of the loaded module file.
std::string ModuleFile(long* size) {
  char path[1024] = {};
#if defined(_WIN32)
  HMODULE m = GetModuleHandleA("Kalmorix.dll");
  if (!m || !GetModuleFileNameA(m, path, sizeof path)) return "?";
#else
  Dl_info info;
  if (!dladdr(reinterpret_cast<void*>(&ZEL_open), &info) || !info.dli_fname) return "?";
  std::snprintf(path, sizeof path, "%s", info.dli_fname);
#endif
  *size = -1;
  if (FILE* f = std::fopen(path, "rb")) {
    std::fseek(f, 0, SEEK_END);
    *size = std::ftell(f);
    std::fclose(f);
  }
  return path;
}

double Us(double ns) { return ns / 1000.0; }

int Callgrind(int jobs) {
#if !defined(KX_HAVE_CALLGRIND)
  (void)jobs;
  std::fprintf(stderr, "kx_bench: --callgrind needs the native build with valgrind's headers\n");
  return 2;
#else
  FastStandIn();
  const int32_t h = ZEL_open("VCP1");
  plat::Window wnd = plat::MessageWindowCreate();
  if (h < 0 || h > 7 || !wnd || SetTalvoHWndMsg(h, wnd, kMsgId) != 0) {
    std::fprintf(stderr, "kx_bench: cannot open a channel\n");
    return 1;
  }
  int failures = 0;
  uint16_t id = 1;
  for (int i = 0; i < 10; ++i) failures += NotifiedRoundTrip(h, wnd, kMsgId, id++) < 0;
  CALLGRIND_ZERO_STATS;
  for (int i = 0; i < jobs; ++i) failures += NotifiedRoundTrip(h, wnd, kMsgId, id++) < 0;
  CALLGRIND_DUMP_STATS_AT("jobs");
  Block result;
  uint16_t length = 0;
  for (int i = 0; i < jobs; ++i) failures += ZEL_receive(h, 0, &length, 0, result.b) != 0;
  CALLGRIND_DUMP_STATS_AT("polls");
  ZEL_close(h);
  plat::MessageWindowDestroy(wnd);
  if (failures) std::fprintf(stderr, "kx_bench: %d jobs failed\n", failures);
  return failures ? 1 : 0;
#endif
}

bool DaemonNamed() {
  const char* server = std::getenv("DPSIM_SERVER");
  if (server != nullptr && server[0] != '\0') return true;
  std::fprintf(stderr, "kx_bench: --daemon and --load need DPSIM_SERVER naming a running daemon\n");
  return false;
}

// The polled round trip with the virtual processor in the daemon: the same
// job path, plus one exchange with the daemon at each submission.
int Daemon(bool quick) {
  if (!DaemonNamed()) return 2;
  FastStandIn();
  const int32_t h = ZEL_open("VCP1");
  if (h < 0 || h > 7) {
    std::fprintf(stderr, "kx_bench: cannot open a channel through the daemon\n");
    return 1;
  }
  const int rounds = quick ? 1000 : 20000;
  std::vector<double> ns;
  uint16_t id = 0;
  int failures = 0;
  for (int i = 0; i < rounds + rounds / 20; ++i) {
    if (++id == 0) id = 1;
    const double t = PolledRoundTrip(h, id);
    if (t < 0) {
      ++failures;
    } else if (i >= rounds / 20) {
      ns.push_back(t);
    }
  }
  ZEL_close(h);
  const Stats st = Summarize(ns);
  std::printf("%-44s %9.2f us %9.2f us\n", "DPC1 read round trip through the daemon", Us(st.p50),
              Us(st.p99));
  if (failures) std::printf("  %d jobs failed\n", failures);
  return failures ? 1 : 0;
}

int Load(int channels, uint32_t ms) {
  if (!DaemonNamed()) return 2;
  FastStandIn();
  const Throughput t = RunThroughput(channels, ms);
  std::printf("jobs %" PRIu64 " failed %" PRIu64 "\n", t.jobs, t.failures);
  return t.failures || t.jobs == 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false, check = false;
  if (argc >= 2 && !std::strcmp(argv[1], "--daemon")) {
    return Daemon(argc >= 3 && !std::strcmp(argv[2], "--quick"));
  }
  if (argc == 4 && !std::strcmp(argv[1], "--load")) {
    return Load(std::atoi(argv[2]), static_cast<uint32_t>(std::atoi(argv[3])));
  }
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--quick")) {
      quick = true;
    } else if (!std::strcmp(argv[i], "--check")) {
      check = true;
    } else if (!std::strcmp(argv[i], "--callgrind") && i + 1 < argc) {
      return Callgrind(std::atoi(argv[i + 1]));
    } else {
      std::fprintf(stderr,
                   "usage: kx_bench [--quick] [--check] | --callgrind N | --daemon [--quick] | "
                   "--load CHANNELS MS\n");
      return 2;
    }
  }
  const bool counting = AllocCountStart();
  bool failed = false;
  const int rounds = quick ? 100 : 2000;
  const int perRound = 10;
  const uint32_t throughputMs = quick ? 300 : 2000;
  const uint32_t idleMs = quick ? 2000 : 10000;

#if defined(_WIN32)
  const char* target = "win32 (under Wine)";
#else
  const char* target = "native";
#endif
  std::printf("Kalmorix benchmarks, %s%s\n\n", target, quick ? ", quick run" : "");
  std::printf("%-44s %12s %12s %10s\n", "measurement", "median", "p99", "");

  // Round trips against their floor: one channel polled, one notified.
  FastStandIn();
  const int32_t h = ZEL_open("VCP1");
  const int32_t hn = ZEL_open("VCP1");
  const int32_t hi = ZEL_open("VCP1");
  const int32_t hiDp = DpSim_LastDpHandle();
  plat::Window wnd = plat::MessageWindowCreate();
  if (h < 0 || h > 7 || hn < 0 || hn > 7 || hi < 0 || hi > 7 || !wnd ||
      SetTalvoHWndMsg(hn, wnd, kMsgId) != 0 || SetTalvoHWndMsg(hi, wnd, kMsgId) != 0) {
    std::fprintf(stderr, "kx_bench: cannot open three channels, two with a window\n");
    return 1;
  }
  const AllocCounts beforeJobs = AllocCountRead();
  const Comparison c = CompareWithFloor(h, hn, hi, hiDp, wnd, kMsgId, rounds, perRound);
  const AllocCounts afterJobs = AllocCountRead();
  ZEL_close(hi);
  ZEL_close(hn);
  ZEL_close(h);
  plat::MessageWindowDestroy(wnd);
  if (!c.ok) {
    std::printf("DPC1 read round trips: FAILED (a job was refused or had no result)\n");
    failed = true;
  } else {
    std::printf("%-44s %9.2f us %9.2f us\n", "floor: platform handoff", Us(c.floor.p50),
                Us(c.floor.p99));
    std::printf("%-44s %9.2f us %9.2f us\n", "DPC1 read round trip (polled)", Us(c.module.p50),
                Us(c.module.p99));
    std::printf("%-44s %12.3f %12.3f   target <= 1.15 (median)\n", "  ratio to the floor",
                c.module.p50 / c.floor.p50, c.module.p99 / c.floor.p99);
    std::printf("%-44s %9.2f us %9.2f us\n", "floor: stand-in job path without the module",
                Us(c.standIn.p50), Us(c.standIn.p99));
    std::printf("%-44s %12.3f %12.3f   target <= 1.10 (median)\n", "  ratio to the stand-in floor",
                c.module.p50 / c.standIn.p50, c.module.p99 / c.standIn.p99);
    std::printf("%-44s %9.2f us %9.2f us\n", "DPC1 read round trip (window message)",
                Us(c.notified.p50), Us(c.notified.p99));
    std::printf("%-44s %9.2f us %9.2f us\n", "notification: confirmation ready -> seen",
                Us(c.notifyLatency.p50), Us(c.notifyLatency.p99));
  }

  // Throughput, and the same load on bare handoffs.
  const Throughput t1 = RunThroughput(1, throughputMs);
  const Throughput t8 = RunThroughput(8, throughputMs);
  const Throughput f8 = RunFloorThroughput(8, throughputMs);
  std::printf("%-44s %9.0f /s\n", "throughput, 1 channel", t1.jobsPerSecond);
  std::printf("%-44s %9.0f /s   (%.2f x 1 channel)\n", "throughput, 8 channels x 1 thread",
              t8.jobsPerSecond, t1.jobsPerSecond > 0 ? t8.jobsPerSecond / t1.jobsPerSecond : 0.0);
  std::printf("%-44s %9.0f /s\n", "  floor: 8 handoff pairs", f8.jobsPerSecond);
  if (t1.failures || t8.failures || f8.failures || t1.jobs == 0 || t8.jobs == 0) {
    std::printf("  throughput: %" PRIu64 " failed jobs\n", t1.failures + t8.failures + f8.failures);
    failed = true;
  }

  // Idle cost: eight open channels, nothing to do.
  {
    DpSim_Reset();
    DpSim_SetTrace("off");
    int32_t handles[8];
    int open = 0;
    for (; open < 8; ++open) {
      handles[open] = ZEL_open(open % 2 == 0 ? "VCP1" : "VCP2");
      if (handles[open] < 0 || handles[open] > 7) break;
    }
    DpSim_LogClear();
    const CpuSample a = ProcessCpu();
    const Clock::time_point t0 = Clock::now();
    plat::SleepMs(idleMs);
    const double seconds = NsSince(t0) / 1e9;
    const CpuSample b = ProcessCpu();
    const uint32_t polls = CompanionPolls();
    for (int i = 0; i < open; ++i) ZEL_close(handles[i]);
    if (open != 8) failed = true;
    std::printf("%-44s %9.1f ms CPU in %.1f s\n", "idle, 8 channels",
                (b.cpuSeconds - a.cpuSeconds) * 1e3, seconds);
    std::printf("%-44s %9.2f /s   limit 8 /s\n", "  worker wake-ups (companion polls)",
                polls / seconds);
    if (a.voluntarySwitches >= 0)
      std::printf("%-44s %9.2f /s\n", "  voluntary context switches, process",
                  (b.voluntarySwitches - a.voluntarySwitches) / seconds);
  }

  // Memory.
  {
    long size = -1;
    const std::string file = ModuleFile(&size);
    std::printf("%-44s %9zu bytes (%zu per channel)\n", "static footprint: channel table",
                sizeof(Channel) * kChannelCount, sizeof(Channel));
    std::printf("%-44s %9ld bytes   target <= 65536 (DLL)\n", "module file", size);
    std::printf("  %s\n", file.c_str());
    const AllocCounts all = AllocCountRead();
    if (!counting) {
      std::printf("heap allocations: NOT COUNTED (the module's code was not found)\n");
      failed = true;
    } else {
      std::printf("%-44s %9" PRIu64 "\n", "heap allocations after attach: module", all.module);
#if defined(_WIN32)
      std::printf("  (counted through %d allocation imports of the DLL, redirected)\n",
                  AllocSlotsPatched());
      (void)beforeJobs;
      (void)afterJobs;
#else
      std::printf("%-44s %9" PRIu64 "\n", "  platform layer", all.platform);
      std::printf("%-44s %9" PRIu64 "   (stand-in and run time)\n",
                  "  whole process during the round trips", afterJobs.all - beforeJobs.all);
#endif
      if (all.module != 0 || all.platform != 0) failed = true;
    }
  }

  if (failed) std::printf("\nSOME MEASUREMENTS FAILED\n");
  return check && failed ? 1 : 0;
}
