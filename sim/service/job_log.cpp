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
    out = "{\"time\":" + JsonString(r.time) + ",\"program\":" + JsonString(r.program) +
          ",\"pid\":" + std::to_string(r.pid) + ",\"client\":" + std::to_string(r.client) +
          ",\"processor\":" + JsonString(r.cp) + ",\"handle\":" + std::to_string(r.handle) +
          ",\"slave\":" + (r.slave < 0 ? std::string("null") : std::to_string(r.slave)) +
          ",\"job\":" + JsonString(r.job);
    if (r.service != 0) out += ",\"service\":" + std::to_string(r.service);
    out += ",\"bytes\":" + std::to_string(r.bytes) + ",\"result\":" + JsonString(r.result) +
           ",\"busUs\":" + std::to_string(r.busUs) + "}";
    return out;
  }
  // Who did it first: the handle alone means nothing to whoever reads along.
  out = r.time + " " + Printable(r.program) + "[" + std::to_string(r.pid) + "] " + Printable(r.cp) +
        " handle " + std::to_string(r.handle) + " ";
  out += r.slave >= 0 ? "slave " + std::to_string(r.slave) + " " + r.job
                      : std::string(r.job) + " " + std::to_string(r.service);
  out += " " + Count(r.bytes, "byte") + " " + r.result + " bus " + std::to_string(r.busUs) + " us";
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
  r.program = client.program;  // written only by this client's thread, at Hello
  r.pid = client.pid;
  r.client = client.id;
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

uint64_t LogPosition() {
  Server& sv = S();
  std::lock_guard<std::mutex> lock(sv.mu);
  return sv.logSeq;
}

void Follow(Client& c, bool json, uint64_t from) {
  Server& sv = S();
  uint64_t next = from;
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

wire::Message Recent(bool json) {
  Server& sv = S();
  std::deque<std::shared_ptr<const JobRecord>> kept;
  {
    std::lock_guard<std::mutex> lock(sv.mu);
    kept = sv.log;
  }
  // The newest first, back to what fits; then in order.
  std::vector<std::string> lines;
  size_t size = 0;
  for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
    std::string line = FormatJob(**it, json) + "\n";
    if (size + line.size() > kMaxText) break;
    size += line.size();
    lines.push_back(std::move(line));
  }
  std::string text;
  text.reserve(size);
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) text += *it;
  return Text(0, std::move(text));
}

}  // namespace dpsim::server
