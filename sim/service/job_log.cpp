// The daemon's job log: the last jobs of every client, the rate, and the
// followers that watch it (dpsim log -f).
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "../plant/sim_state.h"
#include "server_internal.h"
#include "text.h"

namespace dpsim::server {
namespace {

constexpr size_t kLogKept = 1000;  // job records kept for followers that lag

int64_t SteadySecond() {
  using namespace std::chrono;
  return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
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
  out = r.time + " " + Printable(r.cp) + " handle " + std::to_string(r.handle) + " ";
  out += r.slave >= 0 ? "slave " + std::to_string(r.slave) + " " + r.job
                      : std::string(r.job) + " " + std::to_string(r.service);
  out += " " + std::to_string(r.bytes) + " bytes " + r.result + " bus " + std::to_string(r.busUs) +
         " us";
  return out;
}

}  // namespace

uint64_t JobsPerSecond(Server& sv) {
  const int64_t now = SteadySecond();
  if (now == sv.second) return sv.inLastSecond;
  return now == sv.second + 1 ? sv.inSecond : 0;
}

void Record(Client& client, JobRecord r) {
  Server& sv = S();
  r.time = LocalTimeText('T');
  r.program = client.program;  // set by this client's own thread, at its Hello
  r.pid = client.pid;
  auto kept = std::make_shared<const JobRecord>(std::move(r));
  // Followers look for new records on their own: a job only appends, so
  // their number and their speed never slow it.
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
  sv.busUsByProcessor[kept->cp] += kept->busUs;
  sv.log.push_back(std::move(kept));
  ++sv.logSeq;
  if (sv.log.size() > kLogKept) sv.log.pop_front();
}

void Follow(Client& c, bool json) {
  Server& sv = S();
  uint64_t next = 0;
  {
    std::lock_guard<std::mutex> lock(sv.mu);
    next = sv.logSeq;
  }
  while (!g_stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kFollowPollMs));
    std::vector<std::shared_ptr<const JobRecord>> fresh;
    uint64_t dropped = 0;
    {
      // Only what is new since the last look; the records are shared, so
      // the lock is held for a copy of pointers, and formatting is outside.
      std::lock_guard<std::mutex> lock(sv.mu);
      const uint64_t first = sv.logSeq - sv.log.size();  // seq of log.front()
      if (next < first) {
        dropped = first - next;  // this follower fell behind the kept log
        next = first;
      }
      fresh.assign(sv.log.begin() + static_cast<std::ptrdiff_t>(next - first), sv.log.end());
      next = sv.logSeq;
    }
    wire::Message m;
    m.type = wire::kLogLine;
    if (dropped != 0) {
      m.text =
          json ? "{\"dropped\":" + std::to_string(dropped) + "}"
               : "... " + std::to_string(dropped) + " jobs not shown (this follower fell behind)";
      if (!Send(c, m)) return;
    }
    for (const auto& r : fresh) {
      m.text = FormatJob(*r, json);
      if (!Send(c, m)) return;
    }
    if (net::PeerGone(c.socket)) return;
  }
}

}  // namespace dpsim::server
