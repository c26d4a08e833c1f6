#include "remote.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "../wire/key.h"
#include "../wire/net.h"
#include "../wire/protocol.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <new>

namespace dpsim::remote {
namespace {

// A daemon that does not answer within this time counts as gone: a
// submission must never hang the application's worker.
constexpr uint32_t kReplyTimeoutMs = 2000;
constexpr uint32_t kConnectTimeoutMs = 2000;

struct Connection {
  std::mutex lock;  // one exchange at a time; the delivery thread only tries it
  net::Socket socket = net::kNoSocket;
  uint32_t epoch = 0;
  std::atomic<uint32_t> live{0};  // epoch while connected, else 0
  std::string address;            // fixed when the process first asks: see On()
  bool complained = false;        // "cannot reach" said once until a connection succeeds
};

Connection& C() {
  // Leaked on purpose, like G(): libraries call in during detach.
  static Connection* const c = new Connection();
  return *c;
}

// The program's name, as the daemon's status shows it.
std::string ProgramName() {
  char name[260] = "";
#if defined(_WIN32)
  GetModuleFileNameA(nullptr, name, sizeof(name));
  std::string text = name;
  if (const size_t slash = text.find_last_of("\\/"); slash != std::string::npos) {
    text = text.substr(slash + 1);
  }
#else
  std::string text;
  if (FILE* f = fopen("/proc/self/comm", "r"); f != nullptr) {
    if (fgets(name, sizeof(name), f) != nullptr) text = name;
    fclose(f);
  }
#endif
  std::string clean;
  for (char c : text) {
    if (c >= 0x20 && c <= 0x7E && clean.size() < 64) clean += c;
  }
  return clean.empty() ? "?" : clean;
}

void Drop(Connection& c, const char* why) {
  if (c.socket == net::kNoSocket) return;
  net::Close(c.socket);
  c.socket = net::kNoSocket;
  c.live = 0;
  fprintf(stderr, "dpsim: lost the daemon at %s (%s)\n", c.address.c_str(), why);
}

// Sends `request` and takes its reply, of type `replyType`. On any failure
// the connection is dropped: a reply out of step can never be trusted again.
bool Exchange(Connection& c, const wire::Message& request, uint8_t replyType,
              wire::Message* reply) {
  if (c.socket == net::kNoSocket) return false;
  std::vector<uint8_t> frame;
  if (!wire::Encode(request, &frame)) return false;
  if (!net::SendAll(c.socket, frame.data(), frame.size())) {
    Drop(c, "cannot send");
    return false;
  }
  std::vector<uint8_t> body;
  switch (net::RecvFrame(c.socket, &body, kReplyTimeoutMs)) {
    case net::Recv::kFrame:
      break;
    case net::Recv::kTimeout:
      Drop(c, "no reply in time");
      return false;
    case net::Recv::kClosed:
      Drop(c, "connection closed");
      return false;
    default:
      Drop(c, "connection broken");
      return false;
  }
  std::string why;
  if (!wire::Parse(body.data(), body.size(), reply, &why)) {
    Drop(c, ("malformed reply: " + why).c_str());
    return false;
  }
  if (reply->type != replyType) {
    Drop(c, "unexpected reply");
    return false;
  }
  return true;
}

// Connects when there is no connection; false when the daemon cannot be
// reached.
bool Ensure(Connection& c) {
  if (c.socket != net::kNoSocket) return true;
  std::string host;
  uint16_t port = 0;
  std::string why = "bad address";
  auto complain = [&](const std::string& what) {
    if (!c.complained) fprintf(stderr, "dpsim: %s\n", what.c_str());
    c.complained = true;
    return false;
  };
  if (!net::ParseAddress(c.address, wire::kDefaultPort, &host, &port)) {
    return complain("cannot reach the daemon at " + c.address + ": " + why);
  }
  // The key is read at each connection: a daemon started anew has a new one.
  why.clear();
  const std::string keyFile = wire::ClientKeyPath(port, &why);
  wire::Key key;
  if (keyFile.empty() || !wire::ReadKeyFile(keyFile, &key, &why)) {
    return complain("cannot reach the daemon at " + c.address + ": no key (" + why +
                    "; DPSIM_KEY_FILE names the daemon's key file)");
  }
  c.socket = net::Connect(host, port, kConnectTimeoutMs, &why);
  if (c.socket == net::kNoSocket) {
    return complain("cannot reach the daemon at " + c.address + ": " + why);
  }
  const wire::Hello hello =
      wire::ClientHello(c.socket, key, ProcessId(), ProgramName(), kReplyTimeoutMs, &why);
  if (hello != wire::Hello::kOk) {
    // Whoever listens there is not our daemon, or not one we can use: as if
    // nobody were there, and nothing of it is believed.
    net::Close(c.socket);
    c.socket = net::kNoSocket;
    if (hello == wire::Hello::kUnproven) {
      return complain("the daemon at " + c.address + " could not prove itself (key file " +
                      keyFile + "); not using it");
    }
    if (hello == wire::Hello::kRefused) {
      return complain("cannot use the daemon at " + c.address + ": " + why + " (key file " +
                      keyFile + ")");
    }
    return complain("cannot reach the daemon at " + c.address + ": " + why);
  }
  c.complained = false;
  if (++c.epoch == 0) c.epoch = 1;  // 0 means in-process
  c.live = c.epoch;
  return true;
}

}  // namespace

bool On() {
  // Decided once, with the address: a configuration applied later (a test's)
  // neither turns the daemon on or off nor points the process elsewhere.
  static const bool on = [] {
    State& s = G();
    Guard g(&s.lock);
    C().address = s.config.server;
    return !IsServer() && !s.config.server.empty();
  }();
  return on;
}

uint32_t LiveEpoch() {
  Connection& c = C();
  // An exchange under way notices a gone daemon itself: delivery never waits
  // for one.
  std::unique_lock<std::mutex> lock(c.lock, std::try_to_lock);
  if (lock.owns_lock() && c.socket != net::kNoSocket && net::PeerGone(c.socket)) {
    Drop(c, "connection closed");
  }
  return c.live;
}

namespace {

uint32_t LiveEpochIfOn() { return On() ? LiveEpoch() : 0; }

#if !defined(_WIN32)
// fork(): the child shares the parent's socket. Replies on it are the
// parent's, so the child closes its copy (only closes it: a shutdown or a
// frame would end or confuse the parent's connection) and connects anew at
// its next open; the handles of the parent's connection are refused in it,
// as those of a lost daemon. The lock is made anew: its holder, if any,
// is a thread the child does not have.
extern "C" void ConnectionAfterForkChild() {
  Connection& c = C();
  new (&c.lock) std::mutex();
  if (c.socket != net::kNoSocket) net::Close(c.socket);
  c.socket = net::kNoSocket;
  c.live = 0;
  if (++c.epoch == 0) c.epoch = 1;
  c.complained = false;
}
#endif

// Set as the library loads, so that delivery asks from its first round on:
// On() is decided by whoever asks first, the delivery thread included.
struct EpochSource {
  EpochSource() {
    SetLiveEpochSource(&LiveEpochIfOn);
#if !defined(_WIN32)
    pthread_atfork(nullptr, nullptr, ConnectionAfterForkChild);
#endif
  }
} g_epochSource;

}  // namespace

Call::Call() { C().lock.lock(); }
Call::~Call() { C().lock.unlock(); }

uint32_t Call::Known(const char* cp) {
  Connection& c = C();
  if (!wire::ValidName(cp)) return kErrUnknownProcessor;  // no processor has such a name
  wire::Message m;
  m.type = wire::kKnown;
  m.name = cp;
  wire::Message reply;
  if (!Ensure(c) || !Exchange(c, m, wire::kStatusReply, &reply)) return kErrNoConnection;
  return reply.status;
}

uint32_t Call::Open(bool fdl, const char* cp, int32_t* handle, uint32_t* epoch) {
  Connection& c = C();
  if (!wire::ValidName(cp)) return kErrUnknownProcessor;
  wire::Message m;
  m.type = wire::kOpen;
  m.lib = fdl ? wire::kLibFdl : wire::kLibDp;
  m.name = cp;
  wire::Message reply;
  if (!Ensure(c) || !Exchange(c, m, wire::kStatusReply, &reply)) return kErrNoConnection;
  if (reply.status == 0 && reply.handle < 0) {
    Drop(c, "a handle out of range");
    return kErrNoConnection;
  }
  *handle = reply.handle;
  *epoch = c.epoch;
  return reply.status;
}

void Call::Close(bool fdl, int32_t handle, uint32_t epoch) {
  Connection& c = C();
  if (c.socket == net::kNoSocket || epoch != c.epoch) return;  // the daemon forgot it already
  wire::Message m;
  m.type = wire::kClose;
  m.lib = fdl ? wire::kLibFdl : wire::kLibDp;
  m.handle = handle;
  wire::Message reply;
  Exchange(c, m, wire::kStatusReply, &reply);
}

uint32_t Call::Job(int32_t handle, uint32_t epoch, bool write, const uint8_t* record,
                   std::vector<Queued>* out, uint32_t* errClass) {
  Connection& c = C();
  *errClass = kErrClassNegative;
  if (c.socket == net::kNoSocket || epoch != c.epoch) return kErrNoConnection;
  wire::Message m;
  m.type = wire::kJob;
  m.handle = handle;
  m.write = write ? 1 : 0;
  memcpy(m.record, record, kRecordSize);
  wire::Message reply;
  if (!Exchange(c, m, wire::kJobReply, &reply)) return kErrNoConnection;
  for (const wire::Cnf& w : reply.cnfs) {
    if (w.record[kRecDataLen] > kSlaveDataMax) {
      Drop(c, "a confirmation out of range");
      return kErrNoConnection;
    }
  }
  *errClass = reply.errClass;
  if (reply.errCode != 0) return reply.errCode;
  for (const wire::Cnf& w : reply.cnfs) {
    Queued q;
    q.cnf.kind = w.kind;
    memcpy(q.cnf.record, w.record, kRecordSize);
    SetErr(&q.cnf.err, w.errClass, w.errCode);
    q.delayUs = w.delayUs;
    out->push_back(q);
  }
  return 0;
}

int32_t Call::Fdl(int32_t handle, uint32_t epoch, const uint8_t* block,
                  std::vector<QueuedFdl>* out) {
  Connection& c = C();
  if (c.socket == net::kNoSocket || epoch != c.epoch) return kFdlNoConnectionResult;
  wire::Message m;
  m.type = wire::kFdl;
  m.handle = handle;
  memcpy(m.block, block, kBlockSize);
  wire::Message reply;
  if (!Exchange(c, m, wire::kFdlReply, &reply)) return kFdlNoConnectionResult;
  for (const wire::FdlRes& w : reply.results) {
    if (w.length > kBlockSize || Get16(w.block + kBlkDataLength) > kFdlDataMax) {
      Drop(c, "an FDL result out of range");
      return kFdlNoConnectionResult;
    }
  }
  if (reply.result != 0) return reply.result;
  for (const wire::FdlRes& w : reply.results) {
    QueuedFdl q;
    q.res.result = w.result;
    q.res.length = w.length;
    memcpy(q.res.block, w.block, kBlockSize);
    q.delayUs = w.delayUs;
    out->push_back(q);
  }
  return 0;
}

}  // namespace dpsim::remote
