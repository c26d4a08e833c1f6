// Heap allocations of the process, counted by the library that asks for them
// (native build only: an interposer of malloc and operator new).
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

}  // namespace kxbench
