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
#include "../wire/hex.h"
#include "../wire/key.h"
#include "../wire/net.h"
#include "../wire/protocol.h"
#include "http/dashboard.h"
#include "kalmorix_version.h"
#include "server.h"
#include "text.h"

namespace {

using namespace dpsim;

// Usage is 3 as in zelcli, so that scripts driving both read one code; 2 is
// no longer used, so that an older script's 2 is never taken for another.
constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;  // the daemon did not do it (no such slave, ...)
constexpr int kExitUsage = 3;
constexpr int kExitNoDaemon = 4;  // not reached, or the connection was lost
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
    "  set PROC SLAVE HEX    replace a slave's data: at most 240 bytes, each two hex\n"
    "                        digits, separated by nothing, blanks, ':' or ','\n"
    "                        (01A2ff, \"01 a2 ff\"); \"\" leaves it no data\n"
    "  silence PROC SLAVE    the slave stops answering (its data are kept)\n"
    "  answer PROC SLAVE     the slave answers again\n"
    "  fault PROC KIND RATE  random faults on the processor's jobs: KIND late,\n"
    "                        unknown-kind, refuse, fdl-refuse or fdl-foreign; RATE a\n"
    "                        probability (0.05) or a percentage (5%); 0 ends them\n"
    "  load CONFIG           replace the configuration (as DPSIM_CONFIG), reset all;\n"
    "                        a file with a line that cannot be used is refused\n"
    "                        whole and changes nothing\n"
    "  reset                 back to the configuration the daemon started with\n"
    "  log [-f]              the jobs the daemon keeps (the last 1000); with -f\n"
    "                        (--follow) one line per job as it happens\n"
    "  help [COMMAND]        this text, or one command's\n"
    "\n"
    "options:\n"
    "  --server HOST:PORT    the daemon (default: DPSIM_SERVER, else 127.0.0.1:47213)\n"
    "                        whose key is read from DPSIM_KEY_FILE, else the file\n"
    "                        that 'dpsim serve' names for its port\n"
    "  --json                machine-readable output, also for failures\n"
    "  --version             the version\n"
    "  -h, --help            this text; COMMAND --help for one command\n"
    "  --                    ends the options\n"
    "\n"
    "Options may come before or after the command.\n"
    "\n"
    "exit codes: 0 done, 1 the daemon refused, 3 usage, 4 daemon not reached or lost.\n";

bool g_json = false;

int Fail(int code, const std::string& why) {
  if (g_json) {
    printf("{\"error\":%s,\"code\":%d}\n", JsonString(why).c_str(), code);
  } else {
    fprintf(stderr, "dpsim: %s\n", why.c_str());
  }
  return code;
}

// One line, and where the rest is: the whole usage would bury the error.
int Usage(const std::string& why) { return Fail(kExitUsage, why + " (see 'dpsim help')"); }

// A command's own part of the usage text: its entry and the lines indented
// under it, so that the two never disagree.
std::string CommandHelp(const std::string& command) {
  const std::string text = kUsage;
  std::string out;
  bool in = false;
  for (size_t at = text.find("commands:\n"); at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line == "options:") break;
    if (line.compare(0, 2, "  ") != 0) continue;
    const size_t first = line.find_first_not_of(' ');
    if (first > 2) {  // a continuation line
      if (in) out += line.substr(first) + "\n";
      continue;
    }
    const size_t gap = line.find("  ", 2);
    const std::string entry = line.substr(2, gap == std::string::npos ? gap : gap - 2);
    in = entry == command || entry.compare(0, command.size() + 1, command + " ") == 0;
    if (!in) continue;
    out += "usage: dpsim [--server HOST:PORT] [--json] " + entry + "\n";
    if (gap != std::string::npos) out += line.substr(line.find_first_not_of(' ', gap)) + "\n";
  }
  return out;
}

bool ParseSlave(const std::string& text, uint8_t* out) {
  if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const int v = atoi(text.c_str());
  if (v > 255) return false;
  *out = static_cast<uint8_t>(v);
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
    const std::string& a = args[i];
    if ((a == "--listen" || a == "--key-file") && i + 1 >= args.size()) {
      return Usage("serve: " + a + " needs a value");
    }
    if (a == "--listen") {  // the last one holds
      options.listen = args[++i];
    } else if (a == "--key-file") {
      options.keyFile = args[++i];
    } else if (a == "--allow-remote") {
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
      return Usage("serve: unexpected " + a);
    }
  }
  return server::Serve(options);
}

// Prints a reply's text: data as it is, a confirmation or a refusal line by
// line with the program's name, like every other message.
void Show(const std::string& text, bool data, FILE* out) {
  if (g_json || data) {
    fputs(text.c_str(), out);
    if (!text.empty() && text.back() != '\n') fputc('\n', out);
    return;
  }
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    fprintf(out, "dpsim: %s\n", text.substr(at, end - at).c_str());
    at = end + 1;
  }
}

int Control(const std::string& address, const std::vector<std::string>& args) {
  const std::string& command = args[0];
  const size_t given = args.size() - 1;
  wire::Message m;
  m.flags = g_json ? wire::kFlagJson : 0;
  auto wrong = [&](const std::string& what) { return Usage(command + ": " + what); };
  auto need = [&](size_t n, const char* what) {
    return given == n ? std::string()
                      : (given < n ? std::string("needs ") : std::string("takes only ")) + what;
  };
  // PROC SLAVE, the first two arguments; "" when they are sound.
  auto procSlave = [&]() -> std::string {
    m.name = args[1];
    if (m.name.empty() || m.name.size() > wire::kMaxName) {
      return "a processor name is 1 to 255 characters";
    }
    if (!ParseSlave(args[2], &m.slave)) return "slave must be 0..255, not \"" + args[2] + "\"";
    return "";
  };
  bool data = false;  // the reply is data (status, get, log), not a message
  if (command == "status") {
    if (given != 0) return wrong("takes no arguments");
    m.type = wire::kStatus;
    data = true;
  } else if (command == "get" || command == "silence" || command == "answer") {
    if (const std::string why = need(2, "PROC SLAVE"); !why.empty()) return wrong(why);
    if (const std::string why = procSlave(); !why.empty()) return wrong(why);
    m.type = command == "get" ? wire::kGet : wire::kSilence;
    m.on = command == "silence" ? 1 : 0;
    data = command == "get";
  } else if (command == "set") {
    if (given < 3) return wrong("needs PROC SLAVE HEX");
    if (const std::string why = procSlave(); !why.empty()) return wrong(why);
    m.type = wire::kSet;
    // Words after SLAVE are one text, as if quoted: "01 02" and 01 02 alike.
    std::string hex;
    for (size_t i = 3; i < args.size(); ++i) hex += (i > 3 ? " " : "") + args[i];
    std::string why;
    if (!wire::ParseHexBytes(hex, &m.data, &why)) return wrong(why);
    if (m.data.size() > wire::kMaxSlaveData) {
      return wrong("at most 240 bytes, not " + std::to_string(m.data.size()));
    }
  } else if (command == "fault") {
    if (const std::string why = need(3, "PROC KIND RATE"); !why.empty()) return wrong(why);
    m.type = wire::kFault;
    m.name = args[1];
    m.fault = static_cast<uint8_t>(FaultKind(args[2]));
    if (m.name.empty() || m.name.size() > wire::kMaxName) {
      return wrong("a processor name is 1 to 255 characters");
    }
    if (m.fault == 0) {
      return wrong("KIND is late, unknown-kind, refuse, fdl-refuse or fdl-foreign, not \"" +
                   args[2] + "\"");
    }
    if (!ParseRate(args[3], &m.rate)) {
      return wrong("RATE is 0..1 or 0..100%, not \"" + args[3] + "\"");
    }
  } else if (command == "load") {
    if (const std::string why = need(1, "CONFIG"); !why.empty()) return wrong(why);
    m.type = wire::kLoad;
    std::string why;
    if (!ReadFile(args[1], &m.text, &why)) return Fail(kExitUsage, why);
  } else if (command == "reset") {
    if (given != 0) return wrong("takes no arguments");
    m.type = wire::kReset;
  } else if (command == "log") {
    const bool follow = given == 1 && (args[1] == "-f" || args[1] == "--follow");
    if (given != 0 && !follow) return wrong("takes only -f (--follow)");
    m.type = wire::kFollow;
    if (!follow) m.flags |= wire::kFlagRecent;
    data = true;
  } else {
    return Usage("unknown command \"" + command + "\"");
  }
  Link link;
  if (const int code = link.Connect(address); code != kExitOk) return code;
  wire::Message reply;
  if (const int code = link.Exchange(m, wire::kText, &reply); code != kExitOk) return code;
  if (m.type == wire::kFollow && reply.status == 0 && (m.flags & wire::kFlagRecent) == 0) {
    for (;;) {
      if (const int code = link.Receive(wire::kLogLine, &reply, 0); code != kExitOk) return code;
      printf("%s\n", reply.text.c_str());
      fflush(stdout);
    }
  }
  if (m.type == wire::kFollow && reply.status == 0 && reply.text.empty() && !g_json) {
    fprintf(stderr, "dpsim: no jobs in the log yet\n");
  }
  const bool ok = reply.status == 0;
  Show(reply.text, data && ok, ok || g_json ? stdout : stderr);
  return ok ? kExitOk : kExitRefused;
}

}  // namespace

int main(int argc, char** argv) {
  std::string address;
  if (const char* env = getenv("DPSIM_SERVER"); env != nullptr && strcmp(env, "off") != 0) {
    address = env;
  }
  // --json first, so that every failure, an option's too, answers in JSON.
  for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i) {
    if (strcmp(argv[i], "--json") == 0) g_json = true;
  }
  // Options may come before or after the command; the command's own (serve
  // --listen, log -f) pass through to it.
  std::vector<std::string> args;
  bool optionsEnded = false;
  bool serverGiven = false;
  bool help = false;
  bool version = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool option = !optionsEnded;
    if (option && a == "--") {
      optionsEnded = true;
    } else if (option && a == "--json") {
      g_json = true;
    } else if (option && a == "--server") {
      if (i + 1 >= argc) return Usage("--server needs HOST:PORT");
      address = argv[++i];
      serverGiven = true;
    } else if (option && (a == "-h" || a == "--help")) {
      help = true;
    } else if (option && a == "--version") {
      version = true;
    } else {
      args.push_back(a);
    }
  }
  if (version) {
    printf(g_json ? "{\"version\":\"%s\"}\n" : "dpsim %s\n", KALMORIX_VERSION_TEXT);
    return kExitOk;
  }
  if (!args.empty() && args[0] == "help") {
    if (args.size() > 2) return Usage("help takes at most one COMMAND");
    help = true;
    args.erase(args.begin());
  }
  if (help) {
    if (args.empty() || args[0] == "help") {
      printf("%s", args.empty() ? kUsage : "usage: dpsim help [COMMAND]\n");
      return kExitOk;
    }
    const std::string text = CommandHelp(args[0]);
    if (text.empty()) return Usage("unknown command \"" + args[0] + "\"");
    printf("%s", text.c_str());
    return kExitOk;
  }
  if (args.empty()) return Usage("no command given");
  if (args[0] == "serve") {
    // --server says where to listen, as DPSIM_SERVER does; --listen wins.
    std::vector<std::string> rest;
    if (serverGiven) rest = {"--listen", address};
    rest.insert(rest.end(), args.begin() + 1, args.end());
    return Serve(rest);
  }
  return Control(address, args);
}
