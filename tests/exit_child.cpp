// Opens channels and ends the process with them open, for the test that the
// module's detach at process exit is prompt. Usage: exit_child CHANNELS [write]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "dpsim.h"
#include "zel.h"

int main(int argc, char** argv) {
  const int channels = argc > 1 ? std::atoi(argv[1]) : 8;
  const bool write = argc > 2 && std::strcmp(argv[2], "write") == 0;
  DpSim_SetTrace("off");
  for (int i = 0; i < channels; ++i) {
    if (ZEL_open(i % 2 ? "VCP2" : "VCP1") != i) {
      std::fprintf(stderr, "exit_child: ZEL_open %d failed\n", i);
      return 2;
    }
  }
  if (write) {
    // Its worker is in the read-back pause when the process ends.
    unsigned char job[ZEL_BLOCK_SIZE] = {};
    job[ZEL_OFS_SUBSYSTEM] = ZEL_SUBSYSTEM_DPC1;
    job[ZEL_OFS_OPERATION] = ZEL_OPERATION_WRITE;
    job[ZEL_OFS_SLAVE_ADDRESS] = 3;
    job[ZEL_OFS_DPC1_PARAM1] = 3;
    if (ZEL_send(0, ZEL_BLOCK_SIZE, job) != 0) return 3;
    // The worker's own slave look-up (after ZEL_send's) starts the pause.
    for (int waited = 0;; ++waited) {
      int lookups = 0;
      DpSimCall c;
      for (uint32_t i = 0; DpSim_LogGet(i, &c) == 0; ++i)
        lookups += std::strcmp(c.op, "SlaveLookup") == 0;
      if (lookups >= 2) break;
      if (waited > 3000) return 4;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return 0;  // channels still open: the module's detach closes them
}
