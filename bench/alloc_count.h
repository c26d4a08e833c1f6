// Heap allocations counted by the library that asks for them. Natively an
// interposer of malloc and operator new sees the whole process; on Windows
// the allocation functions in Kalmorix.dll's import table are redirected, so
// only the module's own are seen (`module`).
#pragma once

#include <cstdint>

namespace kxbench {

struct AllocCounts {
  uint64_t module = 0;    // called from libkalmorix.so
  uint64_t platform = 0;  // called from libkxplat.so
  uint64_t all = 0;       // the whole process (the stand-in, the C++ run time, ...)
};

// Starts counting from zero; false when the libraries were not found.
bool AllocCountStart();
AllocCounts AllocCountRead();
#if defined(_WIN32)
// Import slots of the DLL that were redirected (-1: none could be).
int AllocSlotsPatched();
#endif

}  // namespace kxbench
