// dpsim: runs the daemon that holds the shared virtual processors, and
// changes and watches it from outside while programs use it.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../plant/sim_state.h"
#include "../wire/key.h"
#include "../wire/net.h"
#include "../wire/protocol.h"
#include "http/dashboard.h"
#include "kalmorix_version.h"
#include "server.h"
#include "text.h"

namespace {

using namespace dpsim;

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;  // the daemon did not do it (no such slave, ...)
constexpr int kExitUsage = 2;
constexpr int kExitNoDaemon = 3;  // not reached, or the connection was lost
constexpr uint32_t kTimeoutMs = 5000;
constexpr size_t kMaxConfigBytes = 60000;

const char kUsage[] =
    "usage: dpsim [--server HOST:PORT] [--json] COMMAND [arguments]\n"
    "\n"
    "The shared virtual processor: a daemon that the stand-in libraries use\n"
    "when DPSIM_SERVER (or 'server' in the configuration) names it.\n"
    "\n"
    "commands:\n"
    "  serve [--listen HOST:PORT] [--allow-remote] [--key-file PATH] [--http PORT]\n"
    "                        run the daemon in the foreground (stop: Ctrl+C);\n"
    "                        it reads DPSIM_CONFIG like the in-process stand-in\n"
    "                        and writes the key its clients need to PATH;\n"
    "                        --http serves a live dashboard on PORT (0: any free\n"
    "                        one) of the same host, at the address it prints\n"
    "                        (it holds this run's token: keep it to yourself)\n"
    "  status                processors, slaves, connected programs, jobs per second\n"
    "  get PROC SLAVE        a slave's data\n"
    "  set PROC SLAVE HEX    replace a slave's data (e.g. 01A2ff or \"01 a2 ff\")\n"
    "  silence PROC SLAVE    the slave stops answering (its data are kept)\n"
    "  answer PROC SLAVE     the slave answers again\n"
    "  fault PROC KIND RATE  random faults on the processor's jobs: KIND late,\n"
    "                        unknown-kind, refuse, fdl-refuse or fdl-foreign; RATE a\n"
    "                        probability (0.05) or a percentage (5%); 0 ends them\n"
    "  load CONFIG           replace the configuration (as DPSIM_CONFIG), reset all\n"
    "  log -f                one line per job as it happens\n"
    "\n"
    "options:\n"
    "  --server HOST:PORT    the daemon (default: DPSIM_SERVER, else 127.0.0.1:47213)\n"
    "                        whose key is read from DPSIM_KEY_FILE, else the file\n"
    "                        that 'dpsim serve' names for its port\n"
    "  --json                machine-readable output, also for failures\n"
    "  --version             the version\n"
    "  -h, --help            this text\n"
    "\n"
    "exit codes: 0 done, 1 the daemon refused, 2 usage, 3 daemon not reached or lost.\n";

bool g_json = false;

int Fail(int code, const std::string& why) {
  if (g_json) {
    printf("{\"error\":%s,\"code\":%d}\n", JsonString(why).c_str(), code);
  } else {
    fprintf(stderr, "dpsim: %s\n", why.c_str());
  }
  return code;
}

int Usage(const std::string& why) {
  if (!g_json) fprintf(stderr, "%s", kUsage);
  return Fail(kExitUsage, why);
}

bool ParseSlave(const std::string& text, uint8_t* out) {
  if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const int v = atoi(text.c_str());
  if (v > 255) return false;
  *out = static_cast<uint8_t>(v);
  return true;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* out) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == '\t') continue;
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.size() % 2 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    out->push_back(static_cast<uint8_t>(strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  }
  return true;
}

// "0.05", "5%", "0": per million.
bool ParseRate(const std::string& text, uint32_t* perMillion) {
  if (text.empty()) return false;
  const bool percent = text.back() == '%';
  const std::string number = percent ? text.substr(0, text.size() - 1) : text;
  if (number.empty() || number.find_first_not_of("0123456789.") != std::string::npos) return false;
  char* end = nullptr;
  double v = strtod(number.c_str(), &end);
  if (end == nullptr || *end != '\0') return false;
  if (percent) v /= 100;
  if (v < 0 || v > 1) return false;
  *perMillion = static_cast<uint32_t>(std::lround(v * 1e6));
  return true;
}

int FaultKind(const std::string& name) {
  const char* names[] = {"late", "unknown-kind", "refuse", "fdl-refuse", "fdl-foreign"};
  for (int i = 0; i < 5; ++i) {
    if (name == names[i]) return i + 1;
  }
  return 0;
}

bool ReadFile(const std::string& path, std::string* text, std::string* why) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *why = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  char buf[4096];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0 && text->size() <= kMaxConfigBytes) {
    text->append(buf, n);
  }
  const bool bad = ferror(f) != 0;
  fclose(f);
  if (bad) {
    *why = "cannot read " + path;
    return false;
  }
  if (text->size() > kMaxConfigBytes) {
    *why = path + " is larger than 60000 bytes";
    return false;
  }
  return true;
}

class Link {
 public:
  ~Link() { net::Close(socket_); }

  int Connect(const std::string& address) {
    std::string host;
    uint16_t port = 0;
    if (!net::ParseAddress(address, wire::kDefaultPort, &host, &port)) {
      return Usage("not a daemon address: " + address);
    }
    std::string why;
    // Without the daemon's key there is nobody to talk to: no daemon of this
    // user runs there, or its key file is not safe to trust.
    const std::string keyFile = wire::ClientKeyPath(port, &why);
    wire::Key key;
    if (keyFile.empty() || !wire::ReadKeyFile(keyFile, &key, &why)) {
      return Fail(kExitNoDaemon, "no key for the daemon at " + address + ": " + why +
                                     " (is 'dpsim serve' running? DPSIM_KEY_FILE names its key)");
    }
    socket_ = net::Connect(host, port, kTimeoutMs, &why);
    if (socket_ == net::kNoSocket) return Fail(kExitNoDaemon, why + " (is 'dpsim serve' running?)");
    switch (wire::ClientHello(socket_, key, ProcessId(), "dpsim", kTimeoutMs, &why)) {
      case wire::Hello::kOk:
        return kExitOk;
      case wire::Hello::kUnproven:
        return Fail(kExitNoDaemon, "the daemon at " + address + " could not prove itself (" + why +
                                       "); not using it");
      case wire::Hello::kRefused:
        return Fail(kExitNoDaemon, why + " (key file " + keyFile + ")");
      default:
        return Fail(kExitNoDaemon, "the daemon at " + address + ": " + why);
    }
  }

  int Exchange(const wire::Message& request, uint8_t replyType, wire::Message* reply) {
    std::vector<uint8_t> frame;
    if (!wire::Encode(request, &frame)) return Usage("request too large");
    if (!net::SendAll(socket_, frame.data(), frame.size())) {
      return Fail(kExitNoDaemon, "lost the daemon");
    }
    return Receive(replyType, reply, kTimeoutMs);
  }

  int Receive(uint8_t type, wire::Message* reply, uint32_t timeoutMs) {
    std::vector<uint8_t> body;
    const net::Recv r = net::RecvFrame(socket_, &body, timeoutMs);
    if (r == net::Recv::kClosed) return Fail(kExitNoDaemon, "the daemon closed the connection");
    if (r == net::Recv::kTimeout) return Fail(kExitNoDaemon, "no reply from the daemon in time");
    if (r != net::Recv::kFrame) return Fail(kExitNoDaemon, "lost the daemon");
    std::string why;
    if (!wire::Parse(body.data(), body.size(), reply, &why)) {
      return Fail(kExitNoDaemon, "malformed reply from the daemon: " + why);
    }
    if (reply->type != type) return Fail(kExitNoDaemon, "unexpected reply from the daemon");
    return kExitOk;
  }

 private:
  net::Socket socket_ = net::kNoSocket;
};

int Serve(const std::vector<std::string>& args) {
  server::Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--listen" && i + 1 < args.size()) {  // the last one holds
      options.listen = args[++i];
    } else if (args[i] == "--key-file" && i + 1 < args.size()) {
      options.keyFile = args[++i];
    } else if (args[i] == "--allow-remote") {
      options.anyAddress = true;
    } else if (args[i] == "--http" && i + 1 < args.size()) {
      const std::string& port = args[++i];
      if (port.empty() || port.size() > 5 ||
          port.find_first_not_of("0123456789") != std::string::npos || atoi(port.c_str()) > 65535) {
        return Usage("serve --http PORT: a port 0..65535 (0: any free one)");
      }
      std::string why;
      if (!dashboard::Available(&why)) return Fail(kExitUsage, "--http: " + why);
      options.httpPort = atoi(port.c_str());
    } else {
      return Usage("serve: unexpected " + args[i]);
    }
  }
  return server::Serve(options);
}

int Control(const std::string& address, const std::vector<std::string>& args) {
  const std::string& command = args[0];
  wire::Message m;
  m.flags = g_json ? wire::kFlagJson : 0;
  auto need = [&](size_t n) { return args.size() == n + 1; };
  auto procSlave = [&]() {
    m.name = args[1];
    if (m.name.empty() || m.name.size() > wire::kMaxName) return false;
    return ParseSlave(args[2], &m.slave);
  };
  if (command == "status" && need(0)) {
    m.type = wire::kStatus;
  } else if (command == "get" && need(2)) {
    m.type = wire::kGet;
    if (!procSlave()) return Usage("get PROC SLAVE: slave 0..255");
  } else if (command == "set" && args.size() >= 3) {
    m.type = wire::kSet;
    std::string hex;
    for (size_t i = 3; i < args.size(); ++i) hex += args[i];
    if (!procSlave() || !ParseHex(hex, &m.data) || m.data.size() > wire::kMaxSlaveData) {
      return Usage("set PROC SLAVE HEX: slave 0..255, at most 240 hex bytes");
    }
  } else if ((command == "silence" || command == "answer") && need(2)) {
    m.type = wire::kSilence;
    m.on = command == "silence" ? 1 : 0;
    if (!procSlave()) return Usage(command + " PROC SLAVE: slave 0..255");
  } else if (command == "fault" && need(3)) {
    m.type = wire::kFault;
    m.name = args[1];
    m.fault = static_cast<uint8_t>(FaultKind(args[2]));
    if (m.name.empty() || m.name.size() > wire::kMaxName || m.fault == 0 ||
        !ParseRate(args[3], &m.rate)) {
      return Usage(
          "fault PROC KIND RATE: KIND late, unknown-kind, refuse, fdl-refuse or "
          "fdl-foreign; RATE 0..1 or 0..100%");
    }
  } else if (command == "load" && need(1)) {
    m.type = wire::kLoad;
    std::string why;
    if (!ReadFile(args[1], &m.text, &why)) return Fail(kExitUsage, why);
  } else if (command == "log" && need(1) && (args[1] == "-f" || args[1] == "--follow")) {
    m.type = wire::kFollow;
  } else {
    return Usage("unknown command or wrong arguments: " + command);
  }
  Link link;
  if (const int code = link.Connect(address); code != kExitOk) return code;
  wire::Message reply;
  if (const int code = link.Exchange(m, wire::kText, &reply); code != kExitOk) return code;
  if (m.type == wire::kFollow && reply.status == 0) {
    for (;;) {
      if (const int code = link.Receive(wire::kLogLine, &reply, 0); code != kExitOk) return code;
      printf("%s\n", reply.text.c_str());
      fflush(stdout);
    }
  }
  FILE* out = reply.status == 0 || g_json ? stdout : stderr;
  fputs(reply.text.c_str(), out);
  if (!reply.text.empty() && reply.text.back() != '\n') fputc('\n', out);
  return reply.status == 0 ? kExitOk : kExitRefused;
}

}  // namespace

int main(int argc, char** argv) {
  std::string address;
  if (const char* env = getenv("DPSIM_SERVER"); env != nullptr && strcmp(env, "off") != 0) {
    address = env;
  }
  std::vector<std::string> args;
  bool options = true;
  bool serverGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (options && a == "--") {
      options = false;
    } else if (options && a == "--json") {
      g_json = true;
    } else if (options && a == "--server") {
      if (i + 1 >= argc) return Usage("--server needs HOST:PORT");
      address = argv[++i];
      serverGiven = true;
    } else if (options && (a == "-h" || a == "--help")) {
      printf("%s", kUsage);
      return kExitOk;
    } else if (options && a == "--version") {
      printf(g_json ? "{\"version\":\"%s\"}\n" : "dpsim %s\n", KALMORIX_VERSION_TEXT);
      return kExitOk;
    } else {
      // The command's own options (serve --listen, log -f) follow it.
      args.assign(argv + i, argv + argc);
      break;
    }
  }
  if (args.empty()) return Usage("no command");
  if (args[0] == "serve") {
    // --server before it says where to listen, as DPSIM_SERVER does; its own
    // --listen after it wins.
    std::vector<std::string> rest;
    if (serverGiven) rest = {"--listen", address};
    rest.insert(rest.end(), args.begin() + 1, args.end());
    return Serve(rest);
  }
  return Control(address, args);
}
