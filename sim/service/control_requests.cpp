// What the dpsim command asks of the daemon: status, slave data, silence,
// fault rates, a new configuration and the one it started with.
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

}  // namespace

wire::Message Failure(bool json, const std::string& why, const std::string& more) {
  return Text(1, json ? "{\"error\":" + JsonString(why) + ",\"code\":1" + more + "}" : why);
}

std::string Count(uint64_t n, const char* thing) {
  return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

wire::Message Text(uint32_t status, std::string text) {
  // A reply must fit its frame: a long text is cut after a whole line rather
  // than lost with the connection. (JSON replies are kept within kMaxText by
  // whoever builds them, between whole entries, so they stay valid.)
  if (text.size() > kMaxText) {
    const size_t line = text.rfind('\n', kMaxText);
    text = text.substr(0, line == std::string::npos ? kMaxText : line + 1) + "... (cut)\n";
  }
  wire::Message m;
  m.type = wire::kText;
  m.status = status;
  m.text = std::move(text);
  return m;
}

namespace {

// Entries joined by commas while they fit in `budget` bytes; false when some
// were left out.
bool JoinWithin(const std::vector<std::string>& entries, size_t budget, std::string* out) {
  for (const std::string& e : entries) {
    if (out->size() + e.size() + 1 > budget) return false;
    if (!out->empty()) *out += ",";
    *out += e;
  }
  return true;
}

}  // namespace

std::string HandleList(const std::vector<int32_t>& handles) {
  std::string out;
  for (int32_t h : handles) out += (out.empty() ? "" : ",") + std::to_string(h);
  return out;
}

PlantView CopyPlant(size_t maxProcessors, size_t maxSlaves) {
  PlantView view;
  {
    State& s = G();
    Guard g(&s.lock);
    view.processorCount = s.processors.size();
    size_t slaves = 0;
    for (const auto& [name, p] : s.processors) {
      if (view.processors.size() == maxProcessors || p.slaves.size() > maxSlaves - slaves) break;
      slaves += p.slaves.size();
      ProcessorView v{name, {}, {}};
      for (const auto& [address, data] : p.slaves) {
        v.slaves.push_back({address, data, p.silent.count(address) != 0});
      }
      for (int k = 0; k < DPSIM_FAULT_COUNT; ++k) v.faults[k] = p.faultPerMillion[k];
      view.processors.push_back(std::move(v));
    }
  }
  Server& sv = S();
  std::lock_guard<std::mutex> lock(sv.mu);
  for (const auto& c : sv.clients) {
    if (!c->proven || c->done) continue;
    view.clients.push_back({c->id, c->program, c->pid, c->peer,
                            std::vector<int32_t>(c->dp.begin(), c->dp.end()),
                            std::vector<int32_t>(c->fdl.begin(), c->fdl.end()), c->jobs});
  }
  view.jobsPerSecond = JobsPerSecond(sv);
  view.jobs = sv.jobsTotal;
  view.address = sv.address;
  return view;
}

wire::Message Status(bool json) {
  const PlantView view = CopyPlant();
  const std::vector<ProcessorView>& procs = view.processors;
  const std::vector<ClientView>& clients = view.clients;
  const uint64_t rate = view.jobsPerSecond;
  const uint64_t jobsTotal = view.jobs;
  const std::string& address = view.address;
  if (json) {
    std::vector<std::string> procEntries;
    procEntries.reserve(procs.size());
    for (const ProcessorView& p : procs) {
      std::string slaves;
      for (const SlaveView& v : p.slaves) {
        if (!slaves.empty()) slaves += ",";
        slaves += "{\"address\":" + std::to_string(v.address) +
                  ",\"length\":" + std::to_string(v.data.size()) + ",\"data\":\"" +
                  Hex(v.data, false) + "\",\"silent\":" + (v.silent ? "true" : "false") + "}";
      }
      std::string faults;
      for (int k = 1; k < DPSIM_FAULT_COUNT; ++k) {
        if (p.faults[k] == 0) continue;
        if (!faults.empty()) faults += ",";
        faults += JsonString(kFaultNames[k]) + ":" + std::to_string(p.faults[k]);
      }
      procEntries.push_back("{\"name\":" + JsonString(p.name) + ",\"slaves\":[" + slaves +
                            "],\"faultsPerMillion\":{" + faults + "}}");
    }
    std::vector<std::string> clientEntries;
    clientEntries.reserve(clients.size());
    for (const ClientView& c : clients) {
      clientEntries.push_back(
          "{\"id\":" + std::to_string(c.id) + ",\"program\":" + JsonString(c.program) +
          ",\"pid\":" + std::to_string(c.pid) + ",\"claimed\":true,\"peer\":" + JsonString(c.peer) +
          ",\"dpHandles\":[" + HandleList(c.dp) + "],\"fdlHandles\":[" + HandleList(c.fdl) +
          "],\"jobs\":" + std::to_string(c.jobs) + "}");
    }
    const std::string head =
        "{\"server\":" + JsonString(address) + ",\"version\":" + JsonString(KALMORIX_VERSION_TEXT) +
        ",\"jobsPerSecond\":" + std::to_string(rate) + ",\"jobs\":" + std::to_string(jobsTotal);
    // Whole entries only, so that a cut reply is still valid JSON and says so.
    constexpr size_t kFrame = 200;  // the keys around the two lists
    const size_t budget = kMaxText - head.size() - kFrame;
    std::string procText;
    std::string clientText;
    bool whole = JoinWithin(procEntries, budget, &procText);
    whole = JoinWithin(clientEntries, budget - procText.size(), &clientText) && whole;
    return Text(0, head + ",\"processors\":[" + procText + "],\"clients\":[" + clientText +
                       "],\"truncated\":" + (whole ? "false" : "true") + "}");
  }
  std::string human = "daemon on " + address + ": " + Count(clients.size(), "client") + ", " +
                      std::to_string(rate) + " jobs/s, " + Count(jobsTotal, "job") + " in all\n";
  for (const ProcessorView& p : procs) {
    std::string line;
    for (const SlaveView& v : p.slaves) {
      line += (line.empty() ? " " : ", ") + std::to_string(v.address) + " (" +
              Count(v.data.size(), "byte") + (v.silent ? ", silent" : "") + ")";
    }
    std::string faultText;
    for (int k = 1; k < DPSIM_FAULT_COUNT; ++k) {
      if (p.faults[k] != 0)
        faultText += std::string(", ") + kFaultNames[k] + " " + Percent(p.faults[k]);
    }
    human += "processor " + Printable(p.name) + ": slaves" + (line.empty() ? " none" : line) +
             faultText + "\n";
  }
  for (const ClientView& c : clients) {
    human += "client " + std::to_string(c.id) + ": " + Printable(c.program) + " (claimed pid " +
             std::to_string(c.pid) + ", " + Printable(c.peer) + "), DP handles " +
             (c.dp.empty() ? "-" : HandleList(c.dp)) + ", FDL handles " +
             (c.fdl.empty() ? "-" : HandleList(c.fdl)) + ", " + Count(c.jobs, "job") + "\n";
  }
  return Text(0, human);
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
  std::string fields;  // for --json: what was done, as members
  {
    State& s = G();
    Guard g(&s.lock);
    auto p = s.processors.find(req.name);
    if (p == s.processors.end()) return Failure(json, "no processor " + req.name);
    Processor& cp = p->second;
    const std::string slave = "slave " + std::to_string(req.slave) + " on " + req.name;
    fields = "\"processor\":" + JsonString(req.name);
    if (req.type == wire::kSet) {
      cp.slaves[req.slave] = req.data;
      done = slave + " set, " + Count(req.data.size(), "byte");
      fields += ",\"slave\":" + std::to_string(req.slave) +
                ",\"bytes\":" + std::to_string(req.data.size());
    } else if (req.type == wire::kSilence) {
      if (cp.slaves.count(req.slave) == 0) return Failure(json, "no " + slave);
      if (req.on != 0) {
        cp.silent.insert(req.slave);
      } else {
        cp.silent.erase(req.slave);
      }
      done = slave + (req.on != 0 ? " silent" : " answers");
      fields += ",\"slave\":" + std::to_string(req.slave) +
                ",\"silent\":" + (req.on != 0 ? "true" : "false");
    } else {
      if (req.fault == 0 || req.fault >= DPSIM_FAULT_COUNT) return Failure(json, "no such fault");
      cp.faultPerMillion[req.fault] = req.rate;
      done = std::string("fault ") + kFaultNames[req.fault] + " on " + req.name + ": " +
             Percent(req.rate);
      fields += ",\"fault\":" + JsonString(kFaultNames[req.fault]) +
                ",\"perMillion\":" + std::to_string(req.rate);
    }
  }
  return Text(0, json ? "{" + fields + "}" : done + "\n");
}

wire::Message Load(const wire::Message& req, bool json) {
  Settings settings = DefaultSettings();
  std::string diag;
  const int errors = ParseConfig(req.text, &settings, &diag);
  // Whoever reaches the port must not make the daemon open (or create, or
  // block on) a file of its choosing: the trace stays where it was started.
  const bool traceIgnored = settings.trace != DefaultSettings().trace;
  // The daemon's own environment was judged when it started: reported again,
  // it refuses no configuration.
  ApplyEnvironment(&settings, &diag, true);
  settings.server.clear();
  {
    State& s = G();
    Guard g(&s.lock);
    settings.trace = s.config.trace;
  }
  if (traceIgnored) diag += "trace kept as the daemon was started (not changed over the wire)\n";
  const size_t processors = settings.processors.size();
  // A configuration with a line that cannot be used is not what its writer
  // meant: the running one stays, whole.
  if (errors == 0) ApplySettings(G(), settings);
  const std::string done = errors == 0
                               ? "loaded " + Count(processors, "processor")
                               : "configuration refused, nothing changed: " +
                                     Count(static_cast<uint64_t>(errors), "line") + " rejected";
  if (json) {
    // Whole lines of the diagnosis only, so that the reply stays valid JSON.
    std::string kept;
    size_t keptJson = 0;
    bool whole = true;
    for (size_t at = 0; at < diag.size();) {
      const size_t end = diag.find('\n', at);
      const size_t next = end == std::string::npos ? diag.size() : end + 1;
      const std::string line = diag.substr(at, next - at);
      keptJson += JsonString(line).size() - 2;
      if (keptJson + done.size() + 200 > kMaxText) {
        whole = false;
        break;
      }
      kept += line;
      at = next;
    }
    const std::string notes = JsonString(kept) + ",\"truncated\":" + (whole ? "false" : "true");
    if (errors != 0) {
      return Failure(true, done,
                     ",\"rejectedLines\":" + std::to_string(errors) + ",\"rejected\":" + notes);
    }
    return Text(0, "{\"processors\":" + std::to_string(processors) + ",\"notes\":" + notes + "}");
  }
  // Line by line for the terminal: a rejected line may quote what it held.
  std::string shown;
  for (size_t at = 0; at < diag.size();) {
    const size_t end = diag.find('\n', at);
    const size_t next = end == std::string::npos ? diag.size() : end + 1;
    shown += Printable(diag.substr(at, (end == std::string::npos ? diag.size() : end) - at)) + "\n";
    at = next;
  }
  return Text(errors == 0 ? 0 : 1, done + "\n" + shown);
}

namespace {

// Written once before the first client connects, only read after.
Settings& Startup() {
  static Settings settings;
  return settings;
}

}  // namespace

void KeepStartupConfig() {
  State& s = G();
  Guard g(&s.lock);
  Startup() = s.config;
}

wire::Message Reset(bool json) {
  // As Load: every processor, slave, silence and fault as configured, the
  // queues emptied; the trace is the one it started with anyway.
  ApplySettings(G(), Startup());
  const size_t processors = Startup().processors.size();
  if (json) return Text(0, "{\"processors\":" + std::to_string(processors) + "}");
  return Text(0, "reset to the start-up configuration, " + Count(processors, "processor") + "\n");
}

}  // namespace dpsim::server
