// The daemon's dashboard over HTTP: the page (built into the program), a
// JSON API for reading and changing the plant, and server-sent events for
// what changes as it runs. Only the user who started the daemon may use it:
// every API request carries the run's token, and only a Host that names the
// loopback address is answered (no DNS rebinding).
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "../../plant/sim_state.h"
#include "../../wire/key.h"
#include "../../wire/protocol.h"
#include "../../wire/sha256.h"
#include "../server_internal.h"
#include "../text.h"
#include "dashboard.h"
#include "embedded_files.h"

namespace dpsim::dashboard {
namespace {

using server::S;

constexpr size_t kWorkers = 12;     // requests served at once, live views included
constexpr size_t kQueued = 32;      // accepted connections waiting for a worker
constexpr int kMaxViews = 4;        // live views (event streams) at once; fewer than kWorkers
constexpr size_t kMaxBody = 4096;   // a change is a small JSON object
constexpr int kTimeoutMs = 5000;    // each write of a reply; keep-alive idle between requests
constexpr int kRequestMs = 10000;   // a whole request, once begun, headers and body
constexpr size_t kKeepAlive = 100;  // requests on one connection
constexpr uint32_t kViewPollMs = 100;
constexpr size_t kBatch = 500;            // most jobs in one event: a view behind skips older ones
constexpr size_t kBacklog = 200;          // jobs a new view is shown from before it opened
constexpr size_t kHistory = 60;           // seconds of jobs per second and bus time kept
constexpr size_t kMaxShown = 64;          // processors in a state; the rest are counted
constexpr size_t kMaxSlavesShown = 1024;  // and slaves: the copy under the plant's lock stays short
constexpr size_t kTokenBytes = 32;

constexpr const char* kFaultNames[] = {"",       "late",       "unknown-kind",
                                       "refuse", "fdl-refuse", "fdl-foreign"};
constexpr int kFaultNameCount = 6;

// A fixed number of workers and a bounded queue: when both are full the
// listener waits for room, so connections beyond that wait in the system's
// backlog instead of taking a descriptor and memory each. Every request that
// is not a live view ends within the time-outs, and live views are capped
// below the number of workers, so room always comes.
class BoundedPool : public httplib::TaskQueue {
 public:
  BoundedPool() {
    for (size_t i = 0; i < kWorkers; ++i) threads_.emplace_back([this] { Work(); });
  }
  void enqueue(std::function<void()> fn) override {
    std::unique_lock<std::mutex> lock(mu_);
    room_.wait(lock, [this] { return jobs_.size() < kQueued || shutdown_; });
    jobs_.push_back(std::move(fn));
    work_.notify_one();
  }
  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      shutdown_ = true;
    }
    work_.notify_all();
    room_.notify_all();
    for (auto& t : threads_) t.join();
  }

 private:
  void Work() {
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock<std::mutex> lock(mu_);
        work_.wait(lock, [this] { return !jobs_.empty() || shutdown_; });
        if (jobs_.empty()) return;
        fn = std::move(jobs_.front());
        jobs_.pop_front();
        room_.notify_one();
      }
      // One request's failure ends that connection only.
      try {
        fn();
      } catch (...) {
      }
    }
  }
  std::mutex mu_;
  std::condition_variable work_;
  std::condition_variable room_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  bool shutdown_ = false;
};

bool Stopping();

// Waits up to `ms` for the socket, in short slices so that a stop of the
// daemon is not held up by a connection that sends nothing.
bool WaitSocket(socket_t sock, short events, int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          until - std::chrono::steady_clock::now())
                          .count();
    pollfd p{sock, events, 0};
    const int r = poll(&p, 1, static_cast<int>(std::clamp<int64_t>(left, 0, 200)));
    if (r > 0) return true;
    if ((r < 0 && errno != EINTR) || left <= 0 || Stopping()) return false;
  }
}

// A connection's reads with one deadline for the whole request, so that a
// client sending a byte now and then cannot hold a worker for ever (the
// library's own time-out is per read); each write has its own time-out.
class DeadlineStream : public httplib::Stream {
 public:
  DeadlineStream(socket_t sock, std::chrono::steady_clock::time_point readBy)
      : sock_(sock), readBy_(readBy) {}
  bool is_readable() const override { return have_ > at_ || Wait(POLLIN, LeftMs()); }
  bool is_writable() const override { return Wait(POLLOUT, kTimeoutMs); }
  ssize_t read(char* ptr, size_t size) override {
    // Headers are read a byte at a time: buffered, one system call serves many.
    if (have_ == at_) {
      if (!Wait(POLLIN, LeftMs())) {
        expired_ = true;
        return -1;
      }
      ssize_t n = 0;
      do {
        n = recv(sock_, buf_, sizeof(buf_), 0);
      } while (n < 0 && errno == EINTR);
      if (n <= 0) return n;
      have_ = static_cast<size_t>(n);
      at_ = 0;
    }
    const size_t n = std::min(size, have_ - at_);
    memcpy(ptr, buf_ + at_, n);
    at_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    ssize_t n = 0;
    do {
      n = send(sock_, ptr, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    Address(getpeername, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    Address(getsockname, ip, port);
  }
  socket_t socket() const override { return sock_; }
  // The request was not whole by its deadline: the connection goes.
  bool Expired() const { return expired_; }

 private:
  int LeftMs() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          readBy_ - std::chrono::steady_clock::now())
                          .count();
    return static_cast<int>(std::max<int64_t>(0, left));
  }
  bool Wait(short events, int ms) const { return WaitSocket(sock_, events, ms); }
  void Address(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
    sockaddr_storage a{};
    socklen_t len = sizeof(a);
    char text[INET6_ADDRSTRLEN] = "";
    port = 0;
    if (get(sock_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return;
    if (a.ss_family == AF_INET) {
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
      inet_ntop(AF_INET, &v4->sin_addr, text, sizeof(text));
      port = ntohs(v4->sin_port);
    } else if (a.ss_family == AF_INET6) {
      const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
      inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof(text));
      port = ntohs(v6->sin6_port);
    }
    ip = text;
  }
  socket_t sock_;
  std::chrono::steady_clock::time_point readBy_;
  char buf_[4096];
  size_t have_ = 0;
  size_t at_ = 0;
  bool expired_ = false;
};

// The library's server with each connection served over DeadlineStream.
class DashServer : public httplib::Server {
 private:
  bool process_and_close_socket(socket_t sock) override {
    bool closed = false;
    for (size_t n = 0; n < kKeepAlive && !closed && !Stopping(); ++n) {
      // Between requests a connection may idle for the keep-alive time-out.
      if (!WaitSocket(sock, POLLIN, kTimeoutMs)) break;
      DeadlineStream strm(sock,
                          std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestMs));
      if (!process_request(strm, n + 1 == kKeepAlive, closed, [](httplib::Request&) {}) ||
          strm.Expired()) {
        break;
      }
    }
    shutdown(sock, SHUT_RDWR);
    close(sock);
    return true;
  }
};

// One second of the plot: jobs and bus time per processor in that second.
struct Sample {
  int64_t time = 0;  // seconds since the epoch
  uint64_t jobs = 0;
  std::map<std::string, uint64_t> busUs;
};

struct Dashboard {
  DashServer http;
  std::string token;
  std::vector<std::string> hosts;  // Host values answered; empty: any (--allow-remote)
  std::atomic<bool> stop{false};
  std::atomic<int> views{0};
  std::thread listener;
  std::thread sampler;
  std::mutex historyMu;
  std::deque<Sample> history;
};

Dashboard* g_dash = nullptr;

bool Stopping() { return g_dash->stop || server::g_stop; }

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

bool TokenMatches(const std::string& given) {
  const std::string& t = g_dash->token;
  return given.size() == t.size() &&
         wire::EqualConstantTime(reinterpret_cast<const uint8_t*>(given.data()),
                                 reinterpret_cast<const uint8_t*>(t.data()), t.size());
}

void Error(httplib::Response& res, int status, const std::string& why) {
  res.status = status;
  res.set_content("{\"error\":" + JsonString(why) + "}", "application/json");
}

// ---- What the page shows ---------------------------------------------------

std::string JobJson(const server::JobRecord& r) {
  std::string out = "{\"time\":" + JsonString(r.time) + ",\"processor\":" + JsonString(r.cp) +
                    ",\"program\":" + JsonString(r.program) + ",\"pid\":" + std::to_string(r.pid) +
                    ",\"handle\":" + std::to_string(r.handle) +
                    ",\"slave\":" + (r.slave < 0 ? std::string("null") : std::to_string(r.slave)) +
                    ",\"kind\":" + JsonString(r.job);
  if (r.service != 0) out += ",\"service\":" + std::to_string(r.service);
  return out + ",\"bytes\":" + std::to_string(r.bytes) + ",\"result\":" + JsonString(r.result) +
         ",\"busUs\":" + std::to_string(r.busUs) + "}";
}

std::string SampleJson(const Sample& s) {
  std::string bus;
  for (const auto& [cp, us] : s.busUs) {
    bus += (bus.empty() ? "" : ",") + JsonString(cp) + ":" + std::to_string(us);
  }
  return "{\"time\":" + std::to_string(s.time) + ",\"jobs\":" + std::to_string(s.jobs) +
         ",\"busUs\":{" + bus + "}}";
}

std::string HistoryJson() {
  std::string out;
  std::lock_guard<std::mutex> lock(g_dash->historyMu);
  for (const Sample& s : g_dash->history) out += (out.empty() ? "" : ",") + SampleJson(s);
  return "[" + out + "]";
}

// The plant and its programs, copied under the locks and formatted after
// them: the jobs wait for the copy only.
std::string StateJson() {
  const server::PlantView view = server::CopyPlant(kMaxShown, kMaxSlavesShown);
  const std::vector<server::ProcessorView>& procs = view.processors;
  const std::vector<server::ClientView>& clients = view.clients;
  const size_t processors = view.processorCount;
  const uint64_t rate = view.jobsPerSecond;
  const uint64_t total = view.jobs;
  const std::string& address = view.address;
  std::string out = "{\"server\":" + JsonString(address) +
                    ",\"jobsPerSecond\":" + std::to_string(rate) +
                    ",\"jobs\":" + std::to_string(total) +
                    ",\"processorCount\":" + std::to_string(processors) + ",\"processors\":[";
  for (size_t i = 0; i < procs.size(); ++i) {
    const server::ProcessorView& p = procs[i];
    out += (i == 0 ? "" : ",") + std::string("{\"name\":") + JsonString(p.name) + ",\"slaves\":[";
    for (size_t k = 0; k < p.slaves.size(); ++k) {
      const server::SlaveView& v = p.slaves[k];
      out += (k == 0 ? "" : ",") + std::string("{\"address\":") + std::to_string(v.address) +
             ",\"data\":\"" + Hex(v.data, false) +
             "\",\"silent\":" + (v.silent ? "true" : "false") + "}";
    }
    out += "],\"faultsPerMillion\":{";
    for (int k = 1; k < kFaultNameCount && k < DPSIM_FAULT_COUNT; ++k) {
      out += (k == 1 ? "" : ",") + JsonString(kFaultNames[k]) + ":" + std::to_string(p.faults[k]);
    }
    out += "}}";
  }
  out += "],\"clients\":[";
  for (size_t i = 0; i < clients.size(); ++i) {
    const server::ClientView& c = clients[i];
    out += (i == 0 ? "" : ",") + std::string("{\"id\":") + std::to_string(c.id) +
           ",\"program\":" + JsonString(c.program) + ",\"pid\":" + std::to_string(c.pid) +
           ",\"peer\":" + JsonString(c.peer) + ",\"dpHandles\":[" + server::HandleList(c.dp) +
           "],\"fdlHandles\":[" + server::HandleList(c.fdl) +
           "],\"jobs\":" + std::to_string(c.jobs) + "}";
  }
  return out + "]}";
}

// The jobs recorded since `*next` (a sequence number of the daemon's job
// log), at most kBatch of them; what the log no longer holds, or what is
// beyond the batch, is counted in *dropped. Pointers are copied under the
// lock; formatting is left to the caller, outside it.
std::vector<std::shared_ptr<const server::JobRecord>> JobsSince(uint64_t* next, uint64_t* dropped) {
  server::Server& sv = S();
  std::lock_guard<std::mutex> lock(sv.mu);
  const uint64_t first = sv.logSeq - sv.log.size();
  if (*next < first) {
    *dropped += first - *next;
    *next = first;
  }
  if (sv.logSeq - *next > kBatch) {
    *dropped += sv.logSeq - *next - kBatch;
    *next = sv.logSeq - kBatch;
  }
  std::vector<std::shared_ptr<const server::JobRecord>> out(
      sv.log.begin() + static_cast<std::ptrdiff_t>(*next - first), sv.log.end());
  *next = sv.logSeq;
  return out;
}

std::string JobsJson(const std::vector<std::shared_ptr<const server::JobRecord>>& jobs,
                     uint64_t dropped) {
  std::string out = "{\"dropped\":" + std::to_string(dropped) + ",\"jobs\":[";
  for (size_t i = 0; i < jobs.size(); ++i) out += (i == 0 ? "" : ",") + JobJson(*jobs[i]);
  return out + "]}";
}

// Once a second: the jobs and the bus time of each processor in that second.
void Sampler() {
  server::Server& sv = S();
  uint64_t lastJobs = 0;
  std::map<std::string, uint64_t> lastBus;
  bool first = true;
  auto next = std::chrono::steady_clock::now();
  while (!Stopping()) {
    next += std::chrono::seconds(1);
    while (!Stopping() && std::chrono::steady_clock::now() < next) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    uint64_t jobs = 0;
    std::map<std::string, uint64_t> bus;
    {
      std::lock_guard<std::mutex> lock(sv.mu);
      jobs = sv.jobsTotal;
      bus = sv.busUsByProcessor;
    }
    Sample s;
    s.time = std::chrono::duration_cast<std::chrono::seconds>(
                 std::chrono::system_clock::now().time_since_epoch())
                 .count();
    if (!first) {
      s.jobs = jobs - lastJobs;
      for (const auto& [cp, us] : bus) {
        auto was = lastBus.find(cp);
        const uint64_t d = us - (was == lastBus.end() ? 0 : was->second);
        if (d != 0) s.busUs[cp] = d;
      }
    }
    first = false;
    lastJobs = jobs;
    lastBus = std::move(bus);
    std::lock_guard<std::mutex> lock(g_dash->historyMu);
    g_dash->history.push_back(std::move(s));
    if (g_dash->history.size() > kHistory) g_dash->history.pop_front();
  }
}

// ---- Live views ------------------------------------------------------------

struct View {
  bool started = false;
  uint64_t next = 0;
  std::chrono::steady_clock::time_point lastState;
};

bool Event(httplib::DataSink& sink, const char* name, const std::string& data) {
  const std::string e = std::string("event: ") + name + "\ndata: " + data + "\n\n";
  return sink.write(e.data(), e.size());
}

// Called again and again while the view is open: waits a little, then sends
// the jobs since the last call, and the state once a second. A view that
// reads slowly only ever holds up its own thread: the jobs append to the log
// and never wait for it, and it is told what it missed.
bool Pump(View& v, httplib::DataSink& sink) {
  using namespace std::chrono;
  if (!v.started) {
    v.started = true;
    {
      server::Server& sv = S();
      std::lock_guard<std::mutex> lock(sv.mu);
      v.next = sv.logSeq - std::min<uint64_t>(sv.log.size(), kBacklog);
    }
    v.lastState = steady_clock::now();
    return Event(sink, "history", HistoryJson()) && Event(sink, "state", StateJson());
  }
  const auto until = steady_clock::now() + milliseconds(kViewPollMs);
  while (!Stopping() && steady_clock::now() < until) {
    std::this_thread::sleep_for(milliseconds(20));
  }
  if (Stopping() || !sink.is_writable()) return false;
  uint64_t dropped = 0;
  const auto jobs = JobsSince(&v.next, &dropped);
  if ((!jobs.empty() || dropped != 0) && !Event(sink, "jobs", JobsJson(jobs, dropped))) {
    return false;
  }
  if (steady_clock::now() - v.lastState >= seconds(1)) {
    v.lastState = steady_clock::now();
    std::string sample;
    {
      std::lock_guard<std::mutex> lock(g_dash->historyMu);
      if (!g_dash->history.empty()) sample = SampleJson(g_dash->history.back());
    }
    if (!Event(sink, "state", StateJson())) return false;
    if (!sample.empty() && !Event(sink, "sample", sample)) return false;
  }
  return true;
}

// ---- Changes ---------------------------------------------------------------

bool ParseHexData(const std::string& text, std::vector<uint8_t>* out) {
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == ':' || c == '-') continue;
    const int d = wire::HexDigit(c);
    if (d < 0) return false;
    if (high < 0) {
      high = d;
    } else {
      out->push_back(static_cast<uint8_t>(high << 4 | d));
      high = -1;
    }
  }
  return high < 0;
}

// The JSON object of a change, or false with the reply already made.
bool Body(const httplib::Request& req, httplib::Response& res, nlohmann::json* out) {
  const std::string type = Lower(req.get_header_value("Content-Type"));
  if (type.rfind("application/json", 0) != 0) {
    Error(res, 415, "changes are JSON (Content-Type: application/json)");
    return false;
  }
  *out = nlohmann::json::parse(req.body, nullptr, false);
  if (out->is_discarded() || !out->is_object()) {
    Error(res, 400, "the body is not a JSON object");
    return false;
  }
  return true;
}

// Processor and slave of a change into `m`; false with the reply made.
bool Target(const nlohmann::json& j, httplib::Response& res, bool slave, wire::Message* m) {
  auto p = j.find("processor");
  if (p == j.end() || !p->is_string() || !wire::ValidName(p->get<std::string>())) {
    Error(res, 400, "\"processor\": a processor's name");
    return false;
  }
  m->name = p->get<std::string>();
  if (!slave) return true;
  auto s = j.find("slave");
  if (s == j.end() || !s->is_number_integer() || s->get<int64_t>() < 0 || s->get<int64_t>() > 255) {
    Error(res, 400, "\"slave\": an address 0..255");
    return false;
  }
  m->slave = static_cast<uint8_t>(s->get<int64_t>());
  return true;
}

// Hands a change to the control requests' own handler, so that it acts as
// `dpsim set` (and the like) would.
void Apply(const wire::Message& m, httplib::Response& res) {
  const wire::Message reply = server::Change(m, true);
  res.status = reply.status == 0 ? 200 : 404;
  res.set_content(reply.text, "application/json");
}

void PostSet(const httplib::Request& req, httplib::Response& res) {
  nlohmann::json j;
  wire::Message m;
  m.type = wire::kSet;
  if (!Body(req, res, &j) || !Target(j, res, true, &m)) return;
  auto d = j.find("data");
  if (d == j.end() || !d->is_string() || !ParseHexData(d->get<std::string>(), &m.data) ||
      m.data.size() > wire::kMaxSlaveData) {
    Error(res, 400, "\"data\": hex bytes, at most 240");
    return;
  }
  Apply(m, res);
}

void PostSilence(const httplib::Request& req, httplib::Response& res) {
  nlohmann::json j;
  wire::Message m;
  m.type = wire::kSilence;
  if (!Body(req, res, &j) || !Target(j, res, true, &m)) return;
  auto on = j.find("silent");
  if (on == j.end() || !on->is_boolean()) {
    Error(res, 400, "\"silent\": true or false");
    return;
  }
  m.on = on->get<bool>() ? 1 : 0;
  Apply(m, res);
}

void PostFault(const httplib::Request& req, httplib::Response& res) {
  nlohmann::json j;
  wire::Message m;
  m.type = wire::kFault;
  if (!Body(req, res, &j) || !Target(j, res, false, &m)) return;
  auto kind = j.find("kind");
  if (kind != j.end() && kind->is_string()) {
    for (int k = 1; k < kFaultNameCount; ++k) {
      if (kind->get<std::string>() == kFaultNames[k]) m.fault = static_cast<uint8_t>(k);
    }
  }
  if (m.fault == 0) {
    Error(res, 400, "\"kind\": late, unknown-kind, refuse, fdl-refuse or fdl-foreign");
    return;
  }
  auto rate = j.find("rate");
  if (rate == j.end() || !rate->is_number() || !(rate->get<double>() >= 0) ||
      rate->get<double>() > 1) {
    Error(res, 400, "\"rate\": a probability 0..1");
    return;
  }
  m.rate = static_cast<uint32_t>(std::lround(rate->get<double>() * 1e6));
  Apply(m, res);
}

// ---- Access ----------------------------------------------------------------

// Every request: a Host of ours (else a page of another site, whose name
// was pointed at 127.0.0.1, could read the answers), then, for the API, the
// token. The page's own files hold nothing of the plant and need none.
httplib::Server::HandlerResponse Admit(const httplib::Request& req, httplib::Response& res) {
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Referrer-Policy", "no-referrer");
  if (!g_dash->hosts.empty()) {
    const std::string host = Lower(req.get_header_value("Host"));
    if (std::find(g_dash->hosts.begin(), g_dash->hosts.end(), host) == g_dash->hosts.end()) {
      Error(res, 421, "this dashboard answers to " + g_dash->hosts[0] + " only");
      return httplib::Server::HandlerResponse::Handled;
    }
  }
  if (req.path.rfind("/api/", 0) != 0) return httplib::Server::HandlerResponse::Unhandled;
  std::string given = req.get_header_value("X-Dpsim-Token");
  const std::string auth = req.get_header_value("Authorization");
  if (given.empty() && auth.rfind("Bearer ", 0) == 0) given = auth.substr(7);
  // An event stream cannot carry a header: it alone may name the token in
  // its address.
  if (given.empty() && req.path == "/api/events") given = req.get_param_value("token");
  if (!TokenMatches(given)) {
    Error(res, 401, "no valid token: open the address that 'dpsim serve' printed");
    return httplib::Server::HandlerResponse::Handled;
  }
  return httplib::Server::HandlerResponse::Unhandled;
}

const char* MimeType(const std::string& path) {
  if (path.size() >= 5 && path.compare(path.size() - 5, 5, ".html") == 0) {
    return "text/html; charset=utf-8";
  }
  if (path.size() >= 3 && path.compare(path.size() - 3, 3, ".js") == 0) {
    return "text/javascript; charset=utf-8";
  }
  if (path.size() >= 4 && path.compare(path.size() - 4, 4, ".css") == 0) {
    return "text/css; charset=utf-8";
  }
  return "application/octet-stream";
}

void Routes(httplib::Server& http) {
  for (size_t i = 0; i < kEmbeddedFileCount; ++i) {
    const EmbeddedFile& f = kEmbeddedFiles[i];
    const std::string path = f.path;
    auto serve = [f, path](const httplib::Request&, httplib::Response& res) {
      // The page runs its own script only and talks to this daemon only.
      res.set_header("Content-Security-Policy",
                     "default-src 'none'; script-src 'self'; style-src 'self'; "
                     "connect-src 'self'; img-src 'self'; frame-ancestors 'none'");
      res.set_content(reinterpret_cast<const char*>(f.data), f.size, MimeType(path));
    };
    http.Get(path, serve);
    if (path == "/index.html") http.Get("/", serve);
  }
  // Browsers ask for an icon on their own; there is none, and that is no error.
  http.Get("/favicon.ico",
           [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
  http.Get("/api/state", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(StateJson(), "application/json");
  });
  http.Get("/api/history", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(HistoryJson(), "application/json");
  });
  http.Get("/api/log", [](const httplib::Request&, httplib::Response& res) {
    server::Server& sv = S();
    uint64_t next = 0;
    {
      std::lock_guard<std::mutex> lock(sv.mu);
      next = sv.logSeq - std::min<uint64_t>(sv.log.size(), kBacklog);
    }
    uint64_t dropped = 0;
    res.set_content(JobsJson(JobsSince(&next, &dropped), dropped), "application/json");
  });
  http.Get("/api/events", [](const httplib::Request&, httplib::Response& res) {
    if (++g_dash->views > kMaxViews) {
      --g_dash->views;
      Error(res, 503, "too many live views (at most " + std::to_string(kMaxViews) + ")");
      return;
    }
    auto view = std::make_shared<View>();
    res.set_chunked_content_provider(
        "text/event-stream", [view](size_t, httplib::DataSink& sink) { return Pump(*view, sink); },
        [](bool) { --g_dash->views; });
  });
  http.Post("/api/set", PostSet);
  http.Post("/api/silence", PostSilence);
  http.Post("/api/fault", PostFault);
  http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) {
      Error(res, res.status, res.status == 404 ? "no such page" : "request refused");
    }
  });
}

}  // namespace

bool Available(std::string*) { return true; }

bool Start(const std::string& host, uint16_t port, bool anyAddress, std::string* url,
           std::string* why) {
  auto d = std::make_unique<Dashboard>();
  uint8_t raw[kTokenBytes];
  if (!wire::RandomBytes(raw, sizeof(raw))) {
    *why = "no random numbers for the dashboard's token";
    return false;
  }
  d->token = Hex(std::vector<uint8_t>(raw, raw + sizeof(raw)), false);
  g_dash = d.get();
  httplib::Server& http = d->http;
  http.new_task_queue = [] { return new BoundedPool(); };
  http.set_payload_max_length(kMaxBody);
  http.set_pre_routing_handler(Admit);
  Routes(http);
  int bound = port;
  if (port == 0) {
    bound = http.bind_to_any_port(host);
  } else if (!http.bind_to_port(host, port)) {
    bound = -1;
  }
  if (bound <= 0) {
    *why = "the dashboard cannot listen on port " + std::to_string(port) + " of " + host;
    g_dash = nullptr;
    return false;
  }
  // The name a browser is given: a wildcard address is not one to open.
  std::string shown = host == "0.0.0.0" ? "127.0.0.1" : host == "::" ? "::1" : host;
  if (shown.find(':') != std::string::npos) shown = "[" + shown + "]";
  const std::string p = ":" + std::to_string(bound);
  if (!anyAddress) d->hosts = {Lower(shown) + p, "127.0.0.1" + p, "localhost" + p, "[::1]" + p};
  *url = "http://" + shown + p + "/#token=" + d->token;
  d->sampler = std::thread(Sampler);
  d->listener = std::thread([] { g_dash->http.listen_after_bind(); });
  // A stop before the listener runs would not reach it: wait until it does.
  for (int i = 0; i < 5000 && !http.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  static_cast<void>(d.release());  // owned through g_dash until Stop
  return true;
}

void Stop() {
  if (g_dash == nullptr) return;
  g_dash->stop = true;
  g_dash->http.stop();
  g_dash->listener.join();
  g_dash->sampler.join();
  delete g_dash;
  g_dash = nullptr;
}

}  // namespace dpsim::dashboard
