// Virtual time for one channel's worker. The worker waits up to a second for
// a confirmation before it polls the companion, and pauses three seconds
// after a write confirmation before the read-back; in real time a fuzzer
// would spend nearly all its time in those two waits. Linked into a program
// together with the module's core, this file takes over the platform's
// WaitAnyOfTwo, SleepMs and TickMs (the program's definitions come before
// those of the platform library) and holds the chosen worker at each of the
// two waits, to be let on one step at a time; the clock then runs ahead by
// the time each step skipped. A step from the confirmation wait ends the
// wait at once with what it would end with now: the confirmation signal if
// one is pending, else the timeout (so the companion is polled). A step from
// the pause ends the pause.
//
// Between steps the worker is held outside every lock, so the harness can
// call the exports meanwhile and each run is a fixed interleaving: what a
// run finds, replaying its input finds again. Every other wait and sleep,
// and those of every other thread, run in real time. POSIX only.
#pragma once

#include <cstdint>

struct WorkerContext;

namespace kxfuzz {

enum class Hold { kNone, kWait, kPause };

// Holds the worker of `w` from its next confirmation wait on. Call before
// the channel is opened, so that its first wait is held already.
void ClockTake(const WorkerContext* w);
// Waits until the worker is held; false when it is not within `timeoutMs`.
bool ClockAwaitHeld(uint32_t timeoutMs);
// Where the worker is held now.
Hold ClockWhere();
// Lets the worker run to its next hold; false when it does not get there
// within `timeoutMs` (a worker that hangs, or ended).
bool ClockStep(uint32_t timeoutMs);
// Lets the worker go for good, its pause cut short, so that a close can
// stop it; real time again until the next ClockTake.
void ClockRelease();

}  // namespace kxfuzz
