// The worker harness: one channel, its worker stepped pass by pass on
// virtual time (worker_clock.h), fed arbitrary DPC1 confirmations and FDL
// result blocks through the stand-in, with jobs sent and results fetched in
// between. Each result fetched is checked against the confirmation it came
// from. POSIX only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "harness_support.h"

namespace kxfuzz {

// Once per process, with the module attached and the companion library
// findable: keeps the companion loaded and makes the window the runs
// register.
void WorkerHarnessInit();

// How far a run got: which results it checked and where its worker went.
struct WorkerRunStats {
  int steps = 0;
  int pauses = 0;  // steps that ended with the worker held in its read-back pause
  int readResults = 0;
  int writeResults = 0;
  int fdlResults = 0;
  int messages = 0;  // window messages posted
};

// Runs one input on a channel of its own, closed again at the end. Returns
// the first broken invariant, or an empty string; adds to `stats` if given.
std::string RunWorkerInput(const uint8_t* data, size_t size, WorkerRunStats* stats = nullptr,
                           const AfterOp& afterOp = nullptr);

}  // namespace kxfuzz
