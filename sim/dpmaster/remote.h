// The stand-in libraries' side of the daemon: when the configuration names a
// server, the processors, their slaves and the bus live in the daemon, and
// the libraries keep only their handles, queues and waitable objects. Each
// submission is one exchange with the daemon, which answers with what the
// bus will deliver and when; delivery, ordering per handle and signalling
// stay local, exactly as in-process.
//
// One connection per process, to the address the configuration named when
// the process first asked. An exchange holds it from request to reply,
// so that whoever queues a reply's confirmations does so in the order of the
// requests. Lock order: the connection's lock, then G().lock.
#pragma once

#include <cstdint>
#include <vector>

#include "../plant/bus.h"

namespace dpsim::remote {

// True when this process reaches its processors through a daemon.
bool On();

// The current connection's number (1, 2, ... for each one made), or 0 when
// there is none. Notices a daemon that has gone. Never blocks for long.
uint32_t LiveEpoch();

// One exchange with the daemon, holding the connection meanwhile. A call on
// a connection that is gone fails with kErrNoConnection (ZEL_send: -4).
class Call {
 public:
  Call();
  ~Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // 0, kErrUnknownProcessor or kErrNoConnection. Connects when needed.
  uint32_t Known(const char* cp);
  // As Known; the handle and the connection's number on success.
  uint32_t Open(bool fdl, const char* cp, int32_t* handle, uint32_t* epoch);
  // Forgets a handle in the daemon (nothing to do when its connection is gone).
  void Close(bool fdl, int32_t handle, uint32_t epoch);
  // A DPC1 submission: 0 and what the bus delivers, or the refusal's
  // ErrClass and ErrCode.
  uint32_t Job(int32_t handle, uint32_t epoch, bool write, const uint8_t* record,
               std::vector<Queued>* out, uint32_t* errClass);
  // An FDL request: ZEL_send's result (0: accepted, then `out`).
  int32_t Fdl(int32_t handle, uint32_t epoch, const uint8_t* block, std::vector<QueuedFdl>* out);
};

constexpr int32_t kFdlNoConnectionResult = -4;

}  // namespace dpsim::remote
