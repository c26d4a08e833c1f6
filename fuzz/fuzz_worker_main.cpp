// libFuzzer entry of fuzz_worker: the module's core linked in, attached by
// hand, its worker on virtual time.
#include <cstdio>
#include <cstdlib>

#include "channel/channel.h"
#include "worker_harness.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  ModuleAttach();
  kxfuzz::WorkerHarnessInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string failure = kxfuzz::RunWorkerInput(data, size);
  if (!failure.empty()) {
    fprintf(stderr, "fuzz_worker: %s\n", failure.c_str());
    abort();
  }
  return 0;
}
