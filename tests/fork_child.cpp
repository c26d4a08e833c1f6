// fork() after a submission: parent and child each get their own job's
// confirmation, with their own slave's data, in time. Run in-process (ctest
// fork) and with DPSIM_SERVER naming a daemon (tools/daemon_test.sh), with a
// bus delay so that the parent's job is still on its way when it forks.
// Exit 0 when both are right; 1 with the reason on stderr.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "extlib/dp_master.h"

namespace {

constexpr int kTimeoutMs = 10000;

struct Job {
  int32_t handle = -1;
  uint16_t seq = 0;
};

bool Open(int32_t* h) {
  DpError err = {};
  return OpenDpHandle("VCP1", h, &err) == 0 && err.ErrClass == 0;
}

bool Submit(int32_t h, uint32_t address, uint16_t seq) {
  uint32_t ref = 0;
  DpError err = {};
  if (SlaveLookup(h, address, &ref, &err) != 0) return false;
  uint8_t r[262] = {};
  r[0] = static_cast<uint8_t>(seq);
  r[1] = static_cast<uint8_t>(seq >> 8);
  memcpy(r + 2, &ref, 4);
  r[15] = 240;
  return Dpc1Read(h, r, &err) == 0 && err.ErrClass == 1;
}

// The job's data, or why there is none.
bool Await(int32_t h, uint16_t seq, std::string* data, std::string* why) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    uint8_t r[262] = {};
    uint16_t kind = 0;
    DpError err = {};
    if (FetchConfirmation(h, 0, &kind, r, &err) == 0) {
      const uint16_t got = static_cast<uint16_t>(r[0] | (r[1] << 8));
      if (got != seq || err.ErrClass != 0) {
        *why = "a confirmation of SeqNo " + std::to_string(got) + ", ErrClass " +
               std::to_string(err.ErrClass) + ", ErrCode " + std::to_string(err.ErrCode);
        return false;
      }
      data->assign(reinterpret_cast<const char*>(r + 16), r[15]);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  *why = "no confirmation within " + std::to_string(kTimeoutMs) + " ms";
  return false;
}

bool ReadNow(int32_t h, uint32_t address, uint16_t seq, std::string* data, std::string* why) {
  if (!Submit(h, address, seq)) {
    *why = "submission refused";
    return false;
  }
  return Await(h, seq, data, why);
}

// A burst of jobs on one slave, all submitted before the first is awaited:
// while the other process does the same, a shared connection would cross
// their replies.
bool Burst(int32_t h, uint32_t address, const std::string& expect, std::string* why) {
  constexpr uint16_t kJobs = 20;
  for (uint16_t i = 0; i < kJobs; ++i) {
    if (!Submit(h, address, static_cast<uint16_t>(100 + i))) {
      *why = "submission " + std::to_string(i) + " refused";
      return false;
    }
  }
  for (uint16_t i = 0; i < kJobs; ++i) {
    std::string data;
    if (!Await(h, static_cast<uint16_t>(100 + i), &data, why)) return false;
    if (data != expect) {
      *why = "slave " + std::to_string(address) + " read back other data";
      return false;
    }
  }
  return true;
}

int Fail(const char* who, const std::string& why) {
  fprintf(stderr, "fork_child: %s: %s\n", who, why.c_str());
  return 1;
}

}  // namespace

int main() {
  int32_t h = -1;
  if (!Open(&h)) return Fail("parent", "cannot open VCP1");
  // What each slave holds, read before any fork.
  std::string three, five, why;
  if (!ReadNow(h, 3, 1, &three, &why) || !ReadNow(h, 5, 2, &five, &why)) {
    return Fail("parent", why);
  }
  if (three == five) return Fail("parent", "slaves 3 and 5 hold the same data");
  if (!Submit(h, 3, 3)) return Fail("parent", "submission before the fork refused");
  fflush(stderr);
  const pid_t child = fork();
  if (child < 0) return Fail("parent", "fork failed");
  if (child == 0) {
    int32_t mine = -1;
    std::string data;
    if (!Open(&mine)) _exit(Fail("child", "cannot open VCP1"));
    if (!ReadNow(mine, 5, 7, &data, &why)) _exit(Fail("child", why));
    if (data != five) _exit(Fail("child", "slave 5 read back other data"));
    if (!Burst(mine, 5, five, &why)) _exit(Fail("child", why));
    _exit(0);
  }
  std::string data;
  const bool parentOk = Await(h, 3, &data, &why);
  if (parentOk && data != three) why = "slave 3 read back other data";
  const bool burstOk = parentOk && data == three && Burst(h, 3, three, &why);
  int status = 0;
  waitpid(child, &status, 0);
  if (!burstOk) return Fail("parent", why);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return Fail("parent", "the child failed");
  // After the child, the parent's connection still serves it.
  if (!ReadNow(h, 5, 4, &data, &why) || data != five)
    return Fail("parent", "after the child: " + why);
  printf("fork_child: parent and child each got their own job\n");
  return 0;
}
