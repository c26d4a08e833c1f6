// What the daemon's parts share: its clients, its job log, and the requests
// that a connection hands on. The daemon alone includes it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "../wire/key.h"
#include "../wire/net.h"
#include "../wire/protocol.h"

namespace dpsim::server {

constexpr uint32_t kPollMs = 200;           // how soon a stop or a gone follower is noticed
constexpr size_t kMaxClients = 256;         // connections at once; more are closed at once
constexpr uint32_t kHelloMs = 5000;         // a new connection's Hello must arrive by then
constexpr uint32_t kFrameMs = 5000;         // a frame, once begun, must be whole by then
constexpr uint32_t kAcceptBackoffMs = 100;  // after a failed accept
constexpr size_t kMaxHandles = 1024;        // open DP and FDL handles per connection
constexpr int kMaxFollowers = 32;           // log -f connections at once
constexpr uint32_t kFollowPollMs = 50;      // how often a follower looks for new jobs
constexpr size_t kMaxText = 60000;          // what a reply's text may hold, well within a frame

extern std::atomic<bool> g_stop;

struct Client {
  int id = 0;
  net::Socket socket = net::kNoSocket;
  std::string peer;
  std::string program = "?";  // program and pid: what the client says, unchecked
  uint32_t pid = 0;
  bool greeted = false;
  bool proven = false;  // it proved in the Hello exchange that it holds the key
  uint8_t clientNonce[wire::kNonceBytes] = {};
  uint8_t serverNonce[wire::kNonceBytes] = {};
  std::set<int32_t> dp;  // handles it opened, closed when it goes
  std::set<int32_t> fdl;
  uint64_t jobs = 0;
  std::thread thread;
  std::atomic<bool> done{false};
};

struct JobRecord {
  std::string time;
  std::string program;  // the client's, as it says (Hello)
  uint32_t pid = 0;
  int client = 0;
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
  wire::Key key = {};  // whoever holds it may connect; fixed before the first one does
  std::list<std::unique_ptr<Client>> clients;
  int nextClient = 1;
  std::deque<std::shared_ptr<const JobRecord>> log;  // the last kLogKept jobs
  uint64_t logSeq = 0;                               // jobs ever recorded
  int followers = 0;
  uint64_t jobsTotal = 0;
  int64_t second = 0;  // jobs counted per whole second of the steady clock
  uint64_t inSecond = 0;
  uint64_t inLastSecond = 0;
  std::map<std::string, uint64_t> busUsByProcessor;  // bus time of all jobs (the dashboard's plot)
};

Server& S();

// Sends one message on the client's connection; false when it is gone.
bool Send(Client& c, const wire::Message& m);

// ---- Job log (job_log.cpp) --------------------------------------------------

uint64_t JobsPerSecond(Server& sv);
void Record(Client& client, JobRecord r);
// The number of the next job to be recorded: where a follower starts.
uint64_t LogPosition();
// Sends each job from `from` on as it is recorded, until the follower goes or
// the daemon stops.
void Follow(Client& c, bool json, uint64_t from);
// The jobs kept so far, one line each, the newest that fit in a reply.
wire::Message Recent(bool json);

// ---- Library requests (library_requests.cpp) --------------------------------

wire::Message StatusReply(uint32_t status, int32_t handle = -1);
wire::Message Open(Client& client, const wire::Message& req);
wire::Message Close(Client& client, const wire::Message& req);
// Closes a handle the client opened, in the processor and in its list.
void Forget(Client& client, bool fdl, int32_t handle);
wire::Message Job(Client& client, const wire::Message& req);
wire::Message Fdl(Client& client, const wire::Message& req);

// ---- Control requests (control_requests.cpp) --------------------------------

wire::Message Text(uint32_t status, std::string text);
// A refused control request: the sentence, or for --json {"error": why,
// "code": 1} with `more` members (",\"name\":value") inside.
wire::Message Failure(bool json, const std::string& why, const std::string& more = "");
// "1 job", "2 jobs".
std::string Count(uint64_t n, const char* thing);
// Handles joined by commas: "3,7".
std::string HandleList(const std::vector<int32_t>& handles);
// The plant and its programs, copied under the locks so that whoever shows
// them formats after: the jobs wait for the copy only.
struct SlaveView {
  int address;
  std::vector<uint8_t> data;
  bool silent;
};
struct ProcessorView {
  std::string name;
  std::vector<SlaveView> slaves;
  uint32_t faults[DPSIM_FAULT_COUNT];
};
struct ClientView {
  int id;
  std::string program;
  uint32_t pid;
  std::string peer;
  std::vector<int32_t> dp;
  std::vector<int32_t> fdl;
  uint64_t jobs;
};
struct PlantView {
  std::vector<ProcessorView> processors;  // the first that fit the limits
  size_t processorCount = 0;              // all there are
  std::vector<ClientView> clients;
  uint64_t jobsPerSecond = 0;
  uint64_t jobs = 0;
  std::string address;
};
// At most `maxProcessors` processors and `maxSlaves` slaves in all are copied.
PlantView CopyPlant(size_t maxProcessors = SIZE_MAX, size_t maxSlaves = SIZE_MAX);
wire::Message Status(bool json);
wire::Message Get(const wire::Message& req, bool json);
wire::Message Change(const wire::Message& req, bool json);
wire::Message Load(const wire::Message& req, bool json);
// Keeps the configuration as the daemon starts, for Reset; before any client.
void KeepStartupConfig();
wire::Message Reset(bool json);

}  // namespace dpsim::server
