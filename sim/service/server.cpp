#include "server.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <ctime>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "../plant/bus.h"
#include "../wire/net.h"
#include "../wire/protocol.h"
#include "kalmorix_version.h"
#include "text.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace dpsim::server {
namespace {

constexpr size_t kLogKept = 1000;  // job records kept for followers that lag
constexpr uint32_t kPollMs = 200;  // how soon a stop or a gone follower is noticed
constexpr const char* kFaultNames[] = {"",       "late",       "unknown-kind",
                                       "refuse", "fdl-refuse", "fdl-foreign"};

std::atomic<bool> g_stop{false};

struct Client {
  int id = 0;
  net::Socket socket = net::kNoSocket;
  std::string peer;
  std::string program = "?";
  uint32_t pid = 0;
  bool greeted = false;
  std::set<int32_t> dp;  // handles it opened, closed when it goes
  std::set<int32_t> fdl;
  uint64_t jobs = 0;
  std::thread thread;
  std::atomic<bool> done{false};
};

struct JobRecord {
  uint64_t seq = 0;
  std::string time;
  std::string cp;
  int32_t handle = 0;
  int slave = -1;  // FDL: none
  int service = 0;
  const char* job = "";
  uint32_t bytes = 0;
  std::string result;
  uint32_t busUs = 0;
};

struct Server {
  // Everything below, and each client's handles, jobs and names. Taken
  // after G().lock where both are held, never before it.
  std::mutex mu;
  std::string address;
  std::list<std::unique_ptr<Client>> clients;
  int nextClient = 1;
  std::deque<JobRecord> log;
  uint64_t logSeq = 0;
  std::condition_variable logChanged;
  uint64_t jobsTotal = 0;
  int64_t second = 0;  // jobs counted per whole second of the steady clock
  uint64_t inSecond = 0;
  uint64_t inLastSecond = 0;
};

Server& S() {
  static Server s;
  return s;
}

int64_t SteadySecond() {
  using namespace std::chrono;
  return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
}

uint64_t JobsPerSecond(Server& sv) {
  const int64_t now = SteadySecond();
  if (now == sv.second) return sv.inLastSecond;
  return now == sv.second + 1 ? sv.inSecond : 0;
}

void Record(Client& client, JobRecord r) {
  Server& sv = S();
  r.time = LocalTimeText('T');
  {
    std::lock_guard<std::mutex> lock(sv.mu);
    const int64_t now = SteadySecond();
    if (now != sv.second) {
      sv.inLastSecond = now == sv.second + 1 ? sv.inSecond : 0;
      sv.second = now;
      sv.inSecond = 0;
    }
    ++sv.inSecond;
    ++sv.jobsTotal;
    ++client.jobs;
    r.seq = sv.logSeq++;
    sv.log.push_back(std::move(r));
    if (sv.log.size() > kLogKept) sv.log.pop_front();
  }
  sv.logChanged.notify_all();
}

std::string FormatJob(const JobRecord& r, bool json) {
  std::string out;
  if (json) {
    out = "{\"time\":" + JsonString(r.time) + ",\"processor\":" + JsonString(r.cp) +
          ",\"handle\":" + std::to_string(r.handle) +
          ",\"slave\":" + (r.slave < 0 ? std::string("null") : std::to_string(r.slave)) +
          ",\"job\":" + JsonString(r.job);
    if (r.service != 0) out += ",\"service\":" + std::to_string(r.service);
    out += ",\"bytes\":" + std::to_string(r.bytes) + ",\"result\":" + JsonString(r.result) +
           ",\"busUs\":" + std::to_string(r.busUs) + "}";
    return out;
  }
  out = r.time + " " + r.cp + " handle " + std::to_string(r.handle) + " ";
  out += r.slave >= 0 ? "slave " + std::to_string(r.slave) + " " + r.job
                      : std::string(r.job) + " " + std::to_string(r.service);
  out += " " + std::to_string(r.bytes) + " bytes " + r.result + " bus " + std::to_string(r.busUs) +
         " us";
  return out;
}

// A rate per million as a percentage: "5 %", "0.01 %".
std::string Percent(uint32_t perMillion) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%g %%", perMillion / 1e4);
  return buf;
}

const char* DpResult(const Confirmation& c) {
  if (c.err.ErrClass == 0) return "ok";
  return c.err.ErrCode == kErrNoResponse ? "no response" : "error";
}

// ---- Library requests --------------------------------------------------

wire::Message StatusReply(uint32_t status, int32_t handle = -1) {
  wire::Message m;
  m.type = wire::kStatusReply;
  m.status = status;
  m.handle = handle;
  return m;
}

wire::Message Open(Client& client, const wire::Message& req) {
  State& s = G();
  Guard g(&s.lock);
  if (s.processors.count(req.name) == 0) return StatusReply(kErrUnknownProcessor);
  int32_t id = 0;
  if (req.lib == wire::kLibDp) {
    do {
      id = s.nextDp;
      s.nextDp = s.nextDp == 0x7FFFFFFF ? 1 : s.nextDp + 1;
    } while (s.dp.count(id) != 0);
    s.dp[id].cp = req.name;
    std::lock_guard<std::mutex> lock(S().mu);
    client.dp.insert(id);
  } else {
    do {
      id = s.nextFdl;
      s.nextFdl = s.nextFdl == 0x7FFFFFFF ? 256 : s.nextFdl + 1;
    } while (s.fdl.count(id) != 0);
    auto h = std::make_shared<FdlHandle>();
    h->cp = req.name;
    s.fdl[id] = h;
    std::lock_guard<std::mutex> lock(S().mu);
    client.fdl.insert(id);
  }
  return StatusReply(0, id);
}

void Forget(Client& client, bool fdl, int32_t handle) {
  State& s = G();
  Guard g(&s.lock);
  std::lock_guard<std::mutex> lock(S().mu);
  if (fdl) {
    s.fdl.erase(handle);
    client.fdl.erase(handle);
  } else {
    s.dp.erase(handle);
    client.dp.erase(handle);
  }
}

wire::Message Close(Client& client, const wire::Message& req) {
  const bool fdl = req.lib == wire::kLibFdl;
  const std::set<int32_t>& mine = fdl ? client.fdl : client.dp;
  if (mine.count(req.handle) == 0) return StatusReply(kErrBadHandle);
  Forget(client, fdl, req.handle);
  return StatusReply(0);
}

wire::Message Job(Client& client, const wire::Message& req) {
  wire::Message reply;
  reply.type = wire::kJobReply;
  reply.errClass = kErrClassNegative;
  const uint32_t ref = Get32(req.record + kRecSlaveRef);
  if (client.dp.count(req.handle) == 0) {
    reply.errCode = kErrBadHandle;  // only its own handles: never another program's
    return reply;
  }
  if ((ref & kSlaveRefMask) != kSlaveRefBase || req.record[kRecDataLen] > kSlaveDataMax) {
    reply.errCode = kErrBadArgument;
    return reply;
  }
  JobRecord r;
  r.handle = req.handle;
  r.slave = static_cast<int>(ref & 0xFF);
  r.job = req.write != 0 ? "write" : "read";
  std::vector<Queued> queue;
  {
    State& s = G();
    Guard g(&s.lock);
    auto it = s.dp.find(req.handle);
    if (it == s.dp.end()) {
      reply.errCode = kErrBadHandle;
      return reply;
    }
    r.cp = it->second.cp;
    if (RefuseAtRandom(DPSIM_FAULT_REFUSE, req.handle, it->second.cp)) {
      reply.errCode = kErrScripted;
      r.result = "refused";
    } else {
      RunDpc1(s, req.handle, it->second, req.write != 0, req.record, &queue);
    }
  }
  const uint16_t kind = req.write != 0 ? kCnfKindWrite : kCnfKindRead;
  for (const Queued& q : queue) {
    wire::Cnf c;
    c.kind = q.cnf.kind;
    c.delayUs = q.delayUs;
    c.errClass = q.cnf.err.ErrClass;
    c.errCode = q.cnf.err.ErrCode;
    memcpy(c.record, q.cnf.record, kRecordSize);
    reply.cnfs.push_back(c);
    // The job's own confirmation, not a random fault's extra one.
    if (q.cnf.kind == kind && Get16(q.cnf.record + kRecSeqNo) == Get16(req.record + kRecSeqNo) &&
        r.result.empty()) {
      r.result = DpResult(q.cnf);
      r.bytes = req.write != 0 ? req.record[kRecDataLen] : q.cnf.record[kRecDataLen];
      r.busUs = q.busUs;
    }
  }
  if (reply.errCode == 0) reply.errClass = kErrClassAccepted;
  Record(client, r);
  return reply;
}

wire::Message Fdl(Client& client, const wire::Message& req) {
  wire::Message reply;
  reply.type = wire::kFdlReply;
  if (client.fdl.count(req.handle) == 0) {
    reply.result = -1;
    return reply;
  }
  if (!FdlWellFormed(req.block)) {
    reply.result = -2;
    return reply;
  }
  JobRecord r;
  r.handle = req.handle;
  r.job = "fdl";
  r.service = Get16(req.block + kBlkFdlService);
  std::vector<QueuedFdl> queue;
  {
    State& s = G();
    Guard g(&s.lock);
    auto it = s.fdl.find(req.handle);
    if (it == s.fdl.end()) {
      reply.result = -1;
      return reply;
    }
    r.cp = it->second->cp;
    if (RefuseAtRandom(DPSIM_FAULT_FDL_REFUSE, req.handle, it->second->cp)) {
      reply.result = -3;
      r.result = "refused";
    } else {
      RunFdl(s, req.handle, *it->second, req.block, &queue);
    }
  }
  for (const QueuedFdl& q : queue) {
    wire::FdlRes w;
    w.delayUs = q.delayUs;
    w.result = q.res.result;
    w.length = q.res.length;
    memcpy(w.block, q.res.block, kBlockSize);
    reply.results.push_back(w);
    if (Get16(q.res.block + kBlkJobId) == Get16(req.block + kBlkJobId) && r.result.empty()) {
      r.result = Get16(q.res.block + kBlkResultCode) == 0 ? "ok" : "unsupported service";
      r.bytes = Get16(q.res.block + kBlkDataLength);
      r.busUs = q.busUs;
    }
  }
  Record(client, r);
  return reply;
}

// ---- Control requests ---------------------------------------------------

wire::Message Text(uint32_t status, std::string text) {
  // A reply must fit its frame: a status of many large processors or a long
  // list of rejected lines is cut rather than lost with the connection.
  constexpr size_t kMaxText = 60000;
  if (text.size() > kMaxText) text = text.substr(0, kMaxText) + "\n... (cut)\n";
  wire::Message m;
  m.type = wire::kText;
  m.status = status;
  m.text = std::move(text);
  return m;
}

// A failed control request: a sentence, or {"error": ...} for --json.
wire::Message Failure(bool json, const std::string& why) {
  return Text(1, json ? "{\"error\":" + JsonString(why) + "}" : why);
}

wire::Message Status(bool json) {
  Server& sv = S();
  std::string procs;
  std::string human;
  {
    State& s = G();
    Guard g(&s.lock);
    for (const auto& [name, p] : s.processors) {
      std::string slaves;
      std::string line;
      for (const auto& [address, data] : p.slaves) {
        const bool silent = p.silent.count(address) != 0;
        if (!slaves.empty()) slaves += ",";
        slaves += "{\"address\":" + std::to_string(address) +
                  ",\"length\":" + std::to_string(data.size()) +
                  ",\"silent\":" + (silent ? "true" : "false") + "}";
        line += (line.empty() ? " " : ", ") + std::to_string(address) + " (" +
                std::to_string(data.size()) + " bytes" + (silent ? ", silent" : "") + ")";
      }
      std::string faults;
      std::string faultText;
      for (int k = 1; k < DPSIM_FAULT_COUNT; ++k) {
        const uint32_t rate = p.faultPerMillion[k];
        if (rate == 0) continue;
        if (!faults.empty()) faults += ",";
        faults += JsonString(kFaultNames[k]) + ":" + std::to_string(rate);
        faultText += std::string(", ") + kFaultNames[k] + " " + Percent(rate);
      }
      if (!procs.empty()) procs += ",";
      procs += "{\"name\":" + JsonString(name) + ",\"slaves\":[" + slaves +
               "],\"faultsPerMillion\":{" + faults + "}}";
      human +=
          "processor " + name + ": slaves" + (line.empty() ? " none" : line) + faultText + "\n";
    }
  }
  std::lock_guard<std::mutex> lock(sv.mu);
  std::string clients;
  size_t count = 0;
  for (const auto& c : sv.clients) {
    if (!c->greeted || c->done) continue;
    ++count;
    auto list = [](const std::set<int32_t>& handles) {
      std::string out;
      for (int32_t h : handles) out += (out.empty() ? "" : ",") + std::to_string(h);
      return out;
    };
    if (!clients.empty()) clients += ",";
    clients += "{\"id\":" + std::to_string(c->id) + ",\"program\":" + JsonString(c->program) +
               ",\"pid\":" + std::to_string(c->pid) + ",\"peer\":" + JsonString(c->peer) +
               ",\"dpHandles\":[" + list(c->dp) + "],\"fdlHandles\":[" + list(c->fdl) +
               "],\"jobs\":" + std::to_string(c->jobs) + "}";
    human += "client " + std::to_string(c->id) + ": " + c->program + " (pid " +
             std::to_string(c->pid) + ", " + c->peer + "), DP handles " +
             (c->dp.empty() ? "-" : list(c->dp)) + ", FDL handles " +
             (c->fdl.empty() ? "-" : list(c->fdl)) + ", " + std::to_string(c->jobs) + " jobs\n";
  }
  const uint64_t rate = JobsPerSecond(sv);
  if (json) {
    return Text(0, "{\"server\":" + JsonString(sv.address) +
                       ",\"version\":" + JsonString(KALMORIX_VERSION_TEXT) + ",\"jobsPerSecond\":" +
                       std::to_string(rate) + ",\"jobs\":" + std::to_string(sv.jobsTotal) +
                       ",\"processors\":[" + procs + "],\"clients\":[" + clients + "]}");
  }
  return Text(0, "daemon on " + sv.address + ": " + std::to_string(count) + " clients, " +
                     std::to_string(rate) + " jobs/s, " + std::to_string(sv.jobsTotal) +
                     " jobs in all\n" + human);
}

wire::Message Get(const wire::Message& req, bool json) {
  std::vector<uint8_t> data;
  bool silent = false;
  {
    State& s = G();
    Guard g(&s.lock);
    auto p = s.processors.find(req.name);
    if (p == s.processors.end()) return Failure(json, "no processor " + req.name);
    auto slave = p->second.slaves.find(req.slave);
    if (slave == p->second.slaves.end()) {
      return Failure(json, "no slave " + std::to_string(req.slave) + " on " + req.name);
    }
    data = slave->second;
    silent = p->second.silent.count(req.slave) != 0;
  }
  if (json) {
    return Text(0, "{\"processor\":" + JsonString(req.name) +
                       ",\"slave\":" + std::to_string(req.slave) +
                       ",\"length\":" + std::to_string(data.size()) + ",\"data\":\"" +
                       Hex(data, false) + "\",\"silent\":" + (silent ? "true" : "false") + "}");
  }
  return Text(0, Hex(data, true) + (silent ? "  (silent)" : "") + "\n");
}

wire::Message Change(const wire::Message& req, bool json) {
  std::string done;
  {
    State& s = G();
    Guard g(&s.lock);
    auto p = s.processors.find(req.name);
    if (p == s.processors.end()) return Failure(json, "no processor " + req.name);
    Processor& cp = p->second;
    const std::string slave = "slave " + std::to_string(req.slave) + " of " + req.name;
    if (req.type == wire::kSet) {
      cp.slaves[req.slave] = req.data;
      done = slave + " set, " + std::to_string(req.data.size()) + " bytes";
    } else if (req.type == wire::kSilence) {
      if (cp.slaves.count(req.slave) == 0) return Failure(json, "no " + slave);
      if (req.on != 0) {
        cp.silent.insert(req.slave);
      } else {
        cp.silent.erase(req.slave);
      }
      done = slave + (req.on != 0 ? " silent" : " answers");
    } else {
      if (req.fault == 0 || req.fault >= DPSIM_FAULT_COUNT) return Failure(json, "no such fault");
      cp.faultPerMillion[req.fault] = req.rate;
      done = std::string("fault ") + kFaultNames[req.fault] + " on " + req.name + ": " +
             Percent(req.rate);
    }
  }
  return Text(0, json ? "{\"done\":" + JsonString(done) + "}" : done + "\n");
}

wire::Message Load(const wire::Message& req, bool json) {
  Settings settings = DefaultSettings();
  std::string diag;
  int errors = ParseConfig(req.text, &settings, &diag);
  errors += ApplyEnvironment(&settings, &diag);
  settings.server.clear();
  const size_t processors = settings.processors.size();
  ApplySettings(G(), settings);
  const std::string done = "loaded " + std::to_string(processors) + " processors, " +
                           std::to_string(errors) + " lines rejected";
  if (json) {
    return Text(errors == 0 ? 0 : 1,
                "{\"done\":" + JsonString(done) + ",\"rejected\":" + JsonString(diag) + "}");
  }
  return Text(errors == 0 ? 0 : 1, done + "\n" + diag);
}

// ---- Connections --------------------------------------------------------

bool Send(Client& c, const wire::Message& m) {
  std::vector<uint8_t> frame;
  return wire::Encode(m, &frame) && net::SendAll(c.socket, frame.data(), frame.size());
}

// Sends each job as it is recorded, until the follower goes or the daemon stops.
void Follow(Client& c, bool json) {
  Server& sv = S();
  uint64_t next = 0;
  {
    std::lock_guard<std::mutex> lock(sv.mu);
    next = sv.logSeq;
  }
  while (!g_stop) {
    std::vector<std::string> lines;
    {
      std::unique_lock<std::mutex> lock(sv.mu);
      sv.logChanged.wait_for(lock, std::chrono::milliseconds(kPollMs));
      for (const JobRecord& r : sv.log) {
        if (r.seq >= next) lines.push_back(FormatJob(r, json));
      }
      next = sv.logSeq;
    }
    for (const std::string& line : lines) {
      wire::Message m;
      m.type = wire::kLogLine;
      m.text = line;
      if (!Send(c, m)) return;
    }
    if (net::PeerGone(c.socket)) return;
  }
}

void Say(const Client& c, const std::string& what) {
  fprintf(stderr, "dpsim: client %d (%s, %s pid %u): %s\n", c.id, c.peer.c_str(), c.program.c_str(),
          c.pid, what.c_str());
}

void Serve(Client& c) {
  std::vector<uint8_t> body;
  for (;;) {
    const net::Recv r = net::RecvFrame(c.socket, &body, 0);
    if (r == net::Recv::kClosed || (r != net::Recv::kFrame && g_stop)) break;
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
        reply.type = wire::kHelloReply;
        reply.pid = ProcessId();
        reply.name = "dpsim " KALMORIX_VERSION_TEXT;
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
      case wire::kFollow:
        if (Send(c, Text(0, ""))) Follow(c, json);
        return;
      default:
        Say(c, "a reply where a request belongs; connection closed");
        return;
    }
    if (!Send(c, reply)) break;
  }
}

void RunClient(Client* c) {
  Serve(*c);
  // What it opened goes with it, as when a program ends.
  for (int32_t h : std::set<int32_t>(c->dp)) Forget(*c, false, h);
  for (int32_t h : std::set<int32_t>(c->fdl)) Forget(*c, true, h);
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
    fprintf(stderr, "dpsim: not an address to listen on: %s\n", address.c_str());
    return 2;
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
  Server& sv = S();
  sv.address =
      (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(bound);
#if defined(_WIN32)
  SetConsoleCtrlHandler(OnConsole, TRUE);
#else
  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
#endif
  printf("dpsim: listening on %s\n", sv.address.c_str());
  fflush(stdout);
  while (!g_stop) {
    std::string peer;
    const net::Socket s = net::Accept(listener, kPollMs, &peer);
    ReapFinished(sv);
    if (s == net::kNoSocket) continue;
    auto c = std::make_unique<Client>();
    c->socket = s;
    c->peer = peer;
    Client* raw = c.get();
    std::lock_guard<std::mutex> lock(sv.mu);
    c->id = sv.nextClient++;
    sv.clients.push_back(std::move(c));
    raw->thread = std::thread(RunClient, raw);
  }
  printf("dpsim: stopping\n");
  fflush(stdout);
  net::Close(listener);
  {
    // Every connection ends: a blocked receive or send returns at once.
    std::lock_guard<std::mutex> lock(sv.mu);
    for (const auto& c : sv.clients) {
      if (c->socket != net::kNoSocket) net::Shutdown(c->socket);
    }
  }
  sv.logChanged.notify_all();
  std::list<std::unique_ptr<Client>> all;
  {
    std::lock_guard<std::mutex> lock(sv.mu);
    all.swap(sv.clients);
  }
  for (auto& c : all) c->thread.join();
  return 0;
}

}  // namespace dpsim::server
