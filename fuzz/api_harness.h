// The API harness: an input is a sequence of calls of the exports with
// arbitrary handles, lengths, blocks and null pointers, against the stand-in
// processor in manual mode. It checks every answer against what the exports
// promise and the stand-in's view of what was submitted and held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "harness_support.h"

namespace kxfuzz {

// Once per process, before the first run, with the module attached and the
// companion library findable: keeps the companion loaded (so that opening a
// channel does not map it afresh every time) and makes the windows the runs
// register.
void ApiHarnessInit();

// Runs one input and closes every channel it opened. Returns the first
// broken invariant, or an empty string.
std::string RunApiInput(const uint8_t* data, size_t size, const AfterOp& afterOp = nullptr);

}  // namespace kxfuzz
