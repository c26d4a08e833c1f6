// Whose confirmation is it: the requests of one kind (writes, or the worker's
// read-backs) that the DP master library may still confirm, and the rules by
// which a confirmation is given to one of them.
//
// What is assumed of the library, and nothing more:
// - it confirms each request at most once;
// - it confirms within kConfirmationLostMs of the request, or never;
// - requests to one slave are confirmed in the order they were made (across
//   slaves in any order).
// It may echo the request in its confirmation (SeqNo, SlaveRef, Param1..3),
// or leave zeros or values of its own there. An echo is believed only once
// two confirmations whose request was certain have carried their request's
// values, and none has carried others; then a confirmation whose echo names
// exactly one request on every field is that request's. A library that
// echoes nothing gets every rule right all the same, just more cautiously.
//
// When a confirmation may be the job in progress's or another request's, it
// is counted against one of the others (the oldest, so that no request is
// forgotten sooner than it would be) and kept as a possible result of the
// job in progress: once every request that could share it has been
// confirmed, the job's own status is known if all possible results agree.
// Plain data, no locking: the write pool lives in the channel under the
// module lock, the read-back pool on the worker's stack.
#pragma once

#include <cstdint>

// A request unconfirmed for this long is taken as lost: its confirmation
// never comes. Longer than a library's own time-out for a slave that does not
// answer, shorter than the pause plus the wait of an application that gives a
// write up after four and a half seconds.
constexpr uint32_t kConfirmationLostMs = 4000;
constexpr int kPoolSize = 16;
constexpr int16_t kSlaveUnknown = -1;

struct PendingRequest {
  uint16_t JobSeq;  // the job the request was made for
  int16_t Slave;    // the slave it goes to; kSlaveUnknown for merged entries
  uint32_t SlaveRef;
  uint8_t Param1;
  uint8_t Param2;
  uint16_t Param3;
  uint32_t SubmitMs;  // the newest submission of a merged entry
  uint8_t Count;      // > 1: requests merged when the pool was full
};

struct RequestPool {
  PendingRequest Items[kPoolSize];  // in submission order
  uint8_t Size;
  // A confirmation has been counted against a request it may not have
  // belonged to since the pool was last empty: which requests are still
  // waiting is known only by number, so the per-slave order tells nothing.
  uint8_t Uncertain;
  // The library's echo: confirmations of certain requests that carried their
  // request's values (up to 2, each with a new key), and whether one ever
  // carried other values.
  uint8_t EchoSeen;
  uint8_t EchoBroken;
  uint32_t EchoLastKey;
};

// What a confirmation carries that may name its request.
struct ConfirmationEcho {
  bool Write;  // a write confirmation (else a read-back's)
  uint16_t SeqNo;
  uint32_t SlaveRef;
  uint8_t Param1;
  uint8_t Param2;
  uint16_t Param3;
};

enum class Owner : uint8_t {
  kNone,     // no request was waiting: a confirmation nobody asked for
  kOther,    // certainly not the job in progress's
  kCurrent,  // the job in progress's, by the rules above
  kEchoed,   // the job in progress's, named by its echo
  kMaybe,    // the job in progress's or another request's
};

void PoolAdd(RequestPool& pool, const PendingRequest& request);
// Takes the request of job `jobSeq` out again (a submission the library
// refused); nothing when it is not there.
void PoolRemoveJob(RequestPool& pool, uint16_t jobSeq);
// Forgets the requests that were already older than kConfirmationLostMs when
// the library had nothing queued at `emptyMs`. True when any was forgotten.
bool PoolExpire(RequestPool& pool, uint32_t emptyMs);
bool PoolHolds(const RequestPool& pool, uint16_t jobSeq);
// Counts confirmation `c` against one request; `currentSeq` is the job in
// progress whose request this may be (0: none).
Owner PoolConfirm(RequestPool& pool, const ConfirmationEcho& c, uint16_t currentSeq);
