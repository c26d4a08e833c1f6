// The wire protocol between the stand-in libraries, the dpsim command and the
// daemon that holds the shared virtual processors.
//
// A frame is a little-endian u32 length (of what follows it, 4 to kMaxFrame
// bytes), then version (u8), type (u8), two zero bytes, and the type's
// payload. Integers are little-endian; a string is a u8 length and its bytes
// (1 to kMaxName bytes, no control characters); a text a u16 length and its bytes. Every
// frame is parsed completely before any of it is used: a wrong version, an
// unknown type, a short or long payload or a field out of range rejects the
// whole frame, and whoever receives it closes the connection.
//
// Requests are answered in order, one reply each. Every connection starts
// with Hello, HelloReply, Proof and its StatusReply: both sides prove that
// they hold the daemon's secret (see key.h) before anything else is sent.
// After Follow the daemon sends LogLine frames until the connection closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hex.h"

namespace dpsim::wire {

constexpr uint8_t kVersion = 2;  // 2: the Hello proofs
constexpr size_t kLengthBytes = 4;
constexpr size_t kHeaderBytes = 4;  // after the length: version, type, 0, 0
constexpr size_t kMaxFrame = 65536;
constexpr size_t kMaxName = 255;
constexpr size_t kRecordBytes = 262;
constexpr size_t kBlockBytes = 340;
constexpr size_t kMaxSlaveData = 240;
constexpr size_t kMaxConfirmations = 4;  // a job's own and the random faults' extras
constexpr uint16_t kDefaultPort = 47213;
constexpr size_t kNonceBytes = 32;
constexpr size_t kProofBytes = 32;  // HMAC-SHA-256

enum Type : uint8_t {
  kHello = 0x01,
  kKnown = 0x02,  // is the processor there (CpPrepare, CpRelease)
  kOpen = 0x03,
  kClose = 0x04,
  kJob = 0x05,    // DPC1 read or write
  kFdl = 0x06,    // FDL request block
  kProof = 0x07,  // the client's proof, after HelloReply; answered by StatusReply
  // Control requests: each answered by a Text reply.
  kStatus = 0x10,
  kGet = 0x11,
  kSet = 0x12,
  kSilence = 0x13,
  kFault = 0x14,
  kLoad = 0x15,
  kFollow = 0x16,
  kReset = 0x17,  // back to the configuration the daemon started with
  // Replies and events.
  kHelloReply = 0x81,
  kStatusReply = 0x82,  // Known, Open, Close, Proof
  kJobReply = 0x85,
  kFdlReply = 0x86,
  kText = 0x90,
  kLogLine = 0xA0,
};

enum Lib : uint8_t { kLibDp = 0, kLibFdl = 1 };

// Control requests' flags.
constexpr uint8_t kFlagJson = 1;
constexpr uint8_t kFlagRecent = 2;  // Follow: the jobs kept so far, in one Text reply

struct Cnf {  // a DPC1 confirmation and when it is due
  uint16_t kind = 0;
  uint32_t delayUs = 0;
  uint32_t errClass = 0;
  uint32_t errCode = 0;
  uint8_t record[kRecordBytes] = {};
};

struct FdlRes {  // an FDL result and when it is due
  uint32_t delayUs = 0;
  int32_t result = 0;
  uint16_t length = 0;
  uint8_t block[kBlockBytes] = {};
};

// One parsed frame; only the fields of its type are meaningful.
struct Message {
  uint8_t type = 0;
  uint8_t flags = 0;      // control requests
  uint8_t lib = 0;        // Open, Close
  uint8_t write = 0;      // Job
  uint8_t slave = 0;      // Get, Set, Silence
  uint8_t on = 0;         // Silence: 1 silent, 0 answering
  uint8_t fault = 0;      // Fault: the kind
  uint32_t pid = 0;       // Hello, HelloReply: what the sender says it is
  uint32_t rate = 0;      // Fault: per million
  uint32_t status = 0;    // StatusReply, Text (0: done)
  int32_t handle = -1;    // Open reply, Close, Job, Fdl
  uint32_t errClass = 0;  // JobReply: the submission's outcome
  uint32_t errCode = 0;
  int32_t result = 0;         // FdlReply: ZEL_send's result
  std::string name;           // Hello: program; Known, Open, Get, Set, Silence, Fault: processor
  std::string text;           // Load, Text, LogLine
  std::vector<uint8_t> data;  // Set: slave data
  uint8_t record[kRecordBytes] = {};  // Job
  uint8_t block[kBlockBytes] = {};    // Fdl
  uint8_t nonce[kNonceBytes] = {};    // Hello, HelloReply
  uint8_t proof[kProofBytes] = {};    // HelloReply, Proof
  std::vector<Cnf> cnfs;              // JobReply
  std::vector<FdlRes> results;        // FdlReply
};

// Parses one frame body (what follows the length field). False, with the
// reason in `why`, when any part of it is not as described above.
bool Parse(const uint8_t* body, size_t size, Message* out, std::string* why);

// Appends the frame of `m` (length field included) to `out`. False when a
// field cannot be sent (a name too long, too many confirmations, ...).
bool Encode(const Message& m, std::vector<uint8_t>* out);

// A name that can travel: 1 to kMaxName bytes, no control characters.
bool ValidName(const std::string& name);

// The length that a frame's first four bytes announce; 0 when out of range.
size_t FrameLength(const uint8_t* lengthField);

}  // namespace dpsim::wire
