// libFuzzer entry of fuzz_api: the exports of the built module, which
// attaches itself when it is loaded.
#include <cstdio>
#include <cstdlib>

#include "api_harness.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  kxfuzz::ApiHarnessInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string failure = kxfuzz::RunApiInput(data, size);
  if (!failure.empty()) {
    fprintf(stderr, "fuzz_api: %s\n", failure.c_str());
    abort();
  }
  return 0;
}
