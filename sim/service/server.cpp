// The daemon's connections: one thread per client, reading its requests and
// handing each to the library's or the command's handlers; the listener, and
// the stop.
#include "server.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../plant/sim_state.h"
#include "../wire/net.h"
#include "../wire/protocol.h"
#include "http/dashboard.h"
#include "kalmorix_version.h"
#include "server_internal.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace dpsim::server {

std::atomic<bool> g_stop{false};

Server& S() {
  static Server s;
  return s;
}

bool Send(Client& c, const wire::Message& m) {
  std::vector<uint8_t> frame;
  return wire::Encode(m, &frame) && net::SendAll(c.socket, frame.data(), frame.size());
}

namespace {

void Say(const Client& c, const std::string& what) {
  fprintf(stderr, "dpsim: client %d (%s, %s pid %u): %s\n", c.id, c.peer.c_str(), c.program.c_str(),
          c.pid, what.c_str());
}

void Serve(Client& c) {
  std::vector<uint8_t> body;
  for (;;) {
    // A connection that never says Hello or proves the key, or sends half a
    // frame and stops, would hold a thread and its buffer for ever.
    const net::Recv r = c.proven ? net::RecvFrameOnceBegun(c.socket, &body, kFrameMs)
                                 : net::RecvFrame(c.socket, &body, kHelloMs);
    if (r == net::Recv::kClosed || (r != net::Recv::kFrame && g_stop)) break;
    if (r == net::Recv::kTimeout) {
      Say(c,
          c.proven ? "a frame not completed within " + std::to_string(kFrameMs) +
                         " ms; connection closed"
          : c.greeted
              ? "no proof of the key within " + std::to_string(kHelloMs) + " ms; connection closed"
              : "no Hello within " + std::to_string(kHelloMs) + " ms; connection closed");
      break;
    }
    wire::Message req;
    std::string why;
    if (r == net::Recv::kTooLong) {
      why = "frame length out of range";
    } else if (r != net::Recv::kFrame) {
      why = "connection broken";
    } else if (!wire::Parse(body.data(), body.size(), &req, &why)) {
    } else if (!c.greeted && req.type != wire::kHello) {
      why = "no Hello first";
    } else if (c.greeted && req.type == wire::kHello) {
      why = "a second Hello";
    } else if (c.greeted && !c.proven && req.type != wire::kProof) {
      why = "no proof of the key after Hello";
    } else if (c.proven && req.type == wire::kProof) {
      why = "a second proof";
    }
    if (!why.empty()) {
      // Only this connection goes: whatever it sent is not trusted further.
      Say(c, "malformed message (" + why + "); connection closed");
      break;
    }
    const bool json = (req.flags & wire::kFlagJson) != 0;
    wire::Message reply;
    switch (req.type) {
      case wire::kHello: {
        std::lock_guard<std::mutex> lock(S().mu);
        c.greeted = true;
        c.program = req.name;
        c.pid = req.pid;
        memcpy(c.clientNonce, req.nonce, wire::kNonceBytes);
        if (!wire::RandomBytes(c.serverNonce, wire::kNonceBytes)) {
          Say(c, "no random numbers for the Hello; connection closed");
          return;
        }
        reply.type = wire::kHelloReply;
        reply.pid = ProcessId();
        reply.name = "dpsim " KALMORIX_VERSION_TEXT;
        memcpy(reply.nonce, c.serverNonce, wire::kNonceBytes);
        const wire::Digest proof = wire::ServerProof(S().key, c.clientNonce, c.serverNonce);
        memcpy(reply.proof, proof.data(), wire::kProofBytes);
        break;
      }
      case wire::kProof: {
        // Nothing else is done for a connection before this passes.
        const wire::Digest expect = wire::ClientProof(S().key, c.serverNonce, c.clientNonce);
        if (!wire::EqualConstantTime(expect.data(), req.proof, wire::kProofBytes)) {
          Say(c, "refused: wrong proof of the key; connection closed");
          return;
        }
        std::lock_guard<std::mutex> lock(S().mu);
        c.proven = true;
        reply = StatusReply(0);
        break;
      }
      case wire::kKnown: {
        State& s = G();
        Guard g(&s.lock);
        reply = StatusReply(s.processors.count(req.name) != 0 ? 0 : kErrUnknownProcessor);
        break;
      }
      case wire::kOpen:
        reply = Open(c, req);
        break;
      case wire::kClose:
        reply = Close(c, req);
        break;
      case wire::kJob:
        reply = Job(c, req);
        break;
      case wire::kFdl:
        reply = Fdl(c, req);
        break;
      case wire::kStatus:
        reply = Status(json);
        break;
      case wire::kGet:
        reply = Get(req, json);
        break;
      case wire::kSet:
      case wire::kSilence:
      case wire::kFault:
        reply = Change(req, json);
        break;
      case wire::kLoad:
        reply = Load(req, json);
        break;
      case wire::kReset:
        reply = Reset(json);
        break;
      case wire::kFollow: {
        if ((req.flags & wire::kFlagRecent) != 0) {
          reply = Recent(json);
          break;
        }
        // Each follower is a thread formatting every job: a few are enough.
        bool full = false;
        {
          std::lock_guard<std::mutex> lock(S().mu);
          full = S().followers >= kMaxFollowers;
          if (!full) ++S().followers;
        }
        if (full) {
          Send(c,
               Failure(json, "too many followers (at most " + std::to_string(kMaxFollowers) + ")"));
          return;
        }
        struct Leave {
          ~Leave() {
            std::lock_guard<std::mutex> lock(S().mu);
            --S().followers;
          }
        } leave;
        // Taken before the reply: a job made as soon as the follower hears
        // it is followed must be shown, not fall between the two.
        const uint64_t from = LogPosition();
        if (Send(c, Text(0, ""))) Follow(c, json, from);
        return;
      }
      default:
        Say(c, "a reply where a request belongs; connection closed");
        return;
    }
    if (!Send(c, reply)) {
      // Gone, or not reading its replies for the send time-out.
      Say(c, "a reply could not be sent; connection closed");
      break;
    }
  }
}

void RunClient(Client* c) {
  // Whatever fails here (out of memory, say) ends this connection only,
  // never the daemon with every other program's channels.
  try {
    Serve(*c);
  } catch (const std::exception& e) {
    Say(*c, std::string("failed (") + e.what() + "); connection closed");
  }
  // What it opened goes with it, as when a program ends.
  while (!c->dp.empty()) Forget(*c, false, *c->dp.begin());
  while (!c->fdl.empty()) Forget(*c, true, *c->fdl.begin());
  {
    std::lock_guard<std::mutex> lock(S().mu);
    net::Close(c->socket);
    c->socket = net::kNoSocket;
  }
  c->done = true;
}

void ReapFinished(Server& sv) {
  std::list<std::unique_ptr<Client>> finished;
  {
    std::lock_guard<std::mutex> lock(sv.mu);
    for (auto it = sv.clients.begin(); it != sv.clients.end();) {
      if ((*it)->done) {
        finished.push_back(std::move(*it));
        it = sv.clients.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& c : finished) c->thread.join();
}

// Gives a new connection its thread, unless there are too many already or
// no thread can be made: then only that connection is closed.
void Admit(Server& sv, net::Socket s, const std::string& peer) {
  std::lock_guard<std::mutex> lock(sv.mu);
  size_t live = 0;
  for (const auto& c : sv.clients) live += c->done ? 0 : 1;
  if (live >= kMaxClients) {
    fprintf(stderr, "dpsim: connection from %s refused: %zu connections already\n", peer.c_str(),
            live);
    net::Close(s);
    return;
  }
  try {
    auto c = std::make_unique<Client>();
    c->socket = s;
    c->peer = peer;
    c->id = sv.nextClient;
    Client* raw = c.get();
    sv.clients.push_back(std::move(c));
    try {
      raw->thread = std::thread(RunClient, raw);
    } catch (...) {
      sv.clients.pop_back();
      throw;
    }
    ++sv.nextClient;
  } catch (const std::exception& e) {
    fprintf(stderr, "dpsim: connection from %s refused: %s\n", peer.c_str(), e.what());
    net::Close(s);
  }
}

#if defined(_WIN32)
BOOL WINAPI OnConsole(DWORD) {
  g_stop = true;
  return TRUE;
}
#else
extern "C" void OnSignal(int) { g_stop = true; }
#endif

}  // namespace

int Serve(const Options& options) {
  BecomeServer();
  std::string address = options.listen;
  if (address.empty()) {
    const char* env = getenv("DPSIM_SERVER");
    address = env != nullptr && env[0] != '\0' && strcmp(env, "off") != 0 ? env : "";
  }
  std::string host;
  uint16_t port = 0;
  if (!net::ParseAddress(address, wire::kDefaultPort, &host, &port)) {
    fprintf(stderr, "dpsim: not an address to listen on: %s (see 'dpsim help serve')\n",
            address.c_str());
    return 3;  // usage, as the dpsim command's own
  }
  std::string why;
  uint16_t bound = 0;
  const net::Socket listener = net::Listen(host, port, options.anyAddress, &bound, &why);
  if (listener == net::kNoSocket) {
    fprintf(stderr, "dpsim: %s\n", why.c_str());
    return 1;
  }
  {
    // The configuration is read (and complained about) before anyone
    // connects. Handle numbers start somewhere new each run, so that a
    // program still holding handles of a daemon that was restarted does not
    // meet its old numbers again.
    State& st = G();
    Guard g(&st.lock);
    const uint64_t seed = NowUs() ^ (uint64_t{static_cast<uint32_t>(ProcessId())} * 2654435761u);
    st.nextDp = 1 + static_cast<int32_t>(seed % 0x3FFF0000u);
    st.nextFdl = 256 + static_cast<int32_t>((seed >> 20) % 0x3FFF0000u);
  }
  KeepStartupConfig();
  Server& sv = S();
  sv.address =
      (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(bound);
  // Only who can read this file may use the daemon: the key is written
  // before anyone can be told the port, and removed when the daemon stops.
  why.clear();
  std::string keyFile = options.keyFile;
  if (keyFile.empty()) keyFile = wire::DefaultKeyPath(bound, true, &why);
  if (keyFile.empty() || !wire::RandomBytes(sv.key.data(), sv.key.size()) ||
      !wire::WriteKeyFile(keyFile, sv.key, &why)) {
    fprintf(stderr, "dpsim: no key file: %s\n", why.empty() ? "no random numbers" : why.c_str());
    net::Close(listener);
    return 1;
  }
#if defined(_WIN32)
  SetConsoleCtrlHandler(OnConsole, TRUE);
#else
  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A log reader that went away (`2>&1 | head`, a dead collector) must not
  // end the daemon: a write to its pipe then fails with EPIPE instead.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, nullptr);
#endif
  std::string dashboard;
  if (options.httpPort >= 0 && !dashboard::Start(host, static_cast<uint16_t>(options.httpPort),
                                                 options.anyAddress, &dashboard, &why)) {
    fprintf(stderr, "dpsim: --http: %s\n", why.c_str());
    wire::RemoveKeyFile(keyFile);
    net::Close(listener);
    return 1;
  }
  printf("dpsim: listening on %s\n", sv.address.c_str());
  printf("dpsim: key file %s (clients need to read it)\n", keyFile.c_str());
  // The address holds the run's token: whoever has it may change the plant.
  if (!dashboard.empty()) printf("dpsim: dashboard at %s\n", dashboard.c_str());
  if (options.anyAddress) {
    fprintf(stderr,
            "dpsim: warning: --allow-remote: a client elsewhere needs a copy of the key file, "
            "and the connection is not encrypted: anyone on the way can read and alter it\n");
  }
  fflush(stdout);
  while (!g_stop) {
    std::string peer;
    bool failed = false;
    const net::Socket s = net::Accept(listener, kPollMs, &peer, &failed);
    ReapFinished(sv);
    if (failed) {
      // Out of descriptors, say: the pending connection stays pending, so
      // trying again at once would only spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptBackoffMs));
      continue;
    }
    if (s == net::kNoSocket) continue;
    Admit(sv, s, peer);
  }
  printf("dpsim: stopping\n");
  fflush(stdout);
  dashboard::Stop();
  net::Close(listener);
  {
    // Every connection ends: a blocked receive or send returns at once.
    std::lock_guard<std::mutex> lock(sv.mu);
    for (const auto& c : sv.clients) {
      if (c->socket != net::kNoSocket) net::Shutdown(c->socket);
    }
  }
  std::list<std::unique_ptr<Client>> all;
  {
    std::lock_guard<std::mutex> lock(sv.mu);
    all.swap(sv.clients);
  }
  for (auto& c : all) c->thread.join();
  wire::RemoveKeyFile(keyFile);
  return 0;
}

}  // namespace dpsim::server
