// What a slave and the bus make of an accepted job: its confirmation or FDL
// result, the extra ones of random faults, and when each is due. The same
// model runs in-process and in the daemon, which sends the outcome back to
// the library that submitted the job.
#pragma once

#include <cstdint>
#include <vector>

#include "sim_state.h"

namespace dpsim {

// What a submission puts on the bus: a confirmation or FDL result, the bus
// time of its job and the delay after which it is due.
struct Queued {
  Confirmation cnf;
  uint32_t busUs = 0;
  uint32_t delayUs = 0;
};
struct QueuedFdl {
  FdlResult res;
  uint32_t busUs = 0;
  uint32_t delayUs = 0;
};

// Under G().lock: what the slave and the bus make of an accepted DPC1
// submission on the open handle `h`: the job's confirmation and the extra
// ones of random faults, in the order they come, each with its delay.
void RunDpc1(State& s, int32_t handle, DpHandle& h, bool write, const uint8_t* record,
             std::vector<Queued>* out);
// Under G().lock: the same for an accepted, well-formed FDL request.
void RunFdl(State& s, int32_t handle, FdlHandle& h, const uint8_t* request,
            std::vector<QueuedFdl>* out);
bool FdlWellFormed(const uint8_t* block);

}  // namespace dpsim
