// What the dpsim command asks of the daemon: status, slave data, silence,
// fault rates and a new configuration.
#include <string>
#include <vector>

#include "../plant/sim_state.h"
#include "kalmorix_version.h"
#include "server_internal.h"
#include "text.h"

namespace dpsim::server {
namespace {

constexpr const char* kFaultNames[] = {"",       "late",       "unknown-kind",
                                       "refuse", "fdl-refuse", "fdl-foreign"};

// A rate per million as a percentage: "5 %", "0.01 %".
std::string Percent(uint32_t perMillion) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%g %%", perMillion / 1e4);
  return buf;
}

// A failed control request: a sentence, or {"error": ...} for --json.
wire::Message Failure(bool json, const std::string& why) {
  return Text(1, json ? "{\"error\":" + JsonString(why) + "}" : why);
}

}  // namespace

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
  // Whoever reaches the port must not make the daemon open (or create, or
  // block on) a file of its choosing: the trace stays where it was started.
  const bool traceIgnored = settings.trace != DefaultSettings().trace;
  errors += ApplyEnvironment(&settings, &diag);
  settings.server.clear();
  {
    State& s = G();
    Guard g(&s.lock);
    settings.trace = s.config.trace;
  }
  if (traceIgnored) diag += "trace kept as the daemon was started (not changed over the wire)\n";
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

}  // namespace dpsim::server
