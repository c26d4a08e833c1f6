// zelcli: drives a processor through Kalmorix from the command line.
//
// Exit codes: 0 success; 1 the job ended with an error result (DPC1:
// ZEL_DPC1_ERROR, FDL: a non-zero result code); 2 ZEL_open failed;
// 3 usage; 4 the job was refused or no result came in time; 130 interrupted
// (Ctrl-C or a termination signal; watch then ends with 0).
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "hex.h"
#include "message_window.h"
#include "zel.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#define KX_ISATTY(f) _isatty(_fileno(f))
#else
#include <dlfcn.h>
#include <unistd.h>
#define KX_ISATTY(f) isatty(fileno(f))
#endif

namespace {

enum Exit {
  kOk = 0,
  kJobError = 1,
  kOpenFailed = 2,
  kUsage = 3,
  kNoResult = 4,
  kInterrupted = 130
};

// Set by Ctrl-C or a termination signal: waits end, the channel is closed.
std::atomic<bool> interrupted{false};
// How many times; the second and later say what the program still waits for.
std::atomic<int> interrupts{0};
// Set once the channel has been closed after an interrupt.
std::atomic<bool> closedAfterInterrupt{false};

constexpr uint32_t kResultMessage = 0x8001;  // WM_APP + 1

struct Options {
  std::string processor = "VCP1";
  bool poll = false;
  bool json = false;
  uint32_t timeoutMs = 10000;
  int param1 = -1;  // -1: the slave's address, so the read-back goes to that slave
  int param2 = 0;
  int param3 = 0;
  uint32_t intervalMs = 1000;
  long count = -1;  // watch: -1 = until interrupted
  bool verbose = false;
  int demoSlave = 3;
  int silentSlave = 99;
};

using Block = std::vector<uint8_t>;

uint16_t U16(const Block& b, int ofs) { return static_cast<uint16_t>(b[ofs] | (b[ofs + 1] << 8)); }
void PutU16(Block& b, int ofs, uint16_t v) {
  b[ofs] = static_cast<uint8_t>(v);
  b[ofs + 1] = static_cast<uint8_t>(v >> 8);
}

const char* kUsageText =
    "usage: zelcli [options] COMMAND [arguments]\n"
    "\n"
    "Drives a PROFIBUS processor through Kalmorix (the stand-in processor\n"
    "unless a vendor DP master library takes its place).\n"
    "\n"
    "commands:\n"
    "  demo                  one full job cycle: read, write, read back, FDL 11 and 26\n"
    "  read SLAVE            DPC1 read of a slave's data\n"
    "  write SLAVE HEX       DPC1 write of hex data, with its result after the\n"
    "                        read-back: each byte two hex digits, bytes separated by\n"
    "                        nothing, blanks, ':' or ',' (01A2ff, \"01 a2 ff\", 01:a2:ff)\n"
    "  fdl SERVICE           FDL job, service 11 or 26\n"
    "  errno VALUE           the interface code for a system last-error value\n"
    "  watch SLAVE           repeat a read at an interval and show changes\n"
    "  help [COMMAND]        this text, or one command's\n"
    "\n"
    "options:\n"
    "  -p, --processor NAME  processor to open (default VCP1)\n"
    "  --poll                poll ZEL_receive instead of waiting for the window message\n"
    "  --timeout MS          how long to wait for a result (default 10000)\n"
    "  --param1 N, --param2 N, --param3 N\n"
    "                        Dpc1Param bytes of a write (param1 defaults to the slave)\n"
    "  --interval MS         watch: time between reads (default 1000)\n"
    "  --count N             watch: number of reads (default: until interrupted)\n"
    "  --slave N, --silent-slave N\n"
    "                        demo: the slave it reads and writes (default 3) and one\n"
    "                        that does not answer (default 99)\n"
    "  --verbose             also show each window message (watch)\n"
    "  --json                machine-readable output, also for failures\n"
    "  --version             the version of zelcli and of this Kalmorix\n"
    "  -h, --help            this text; COMMAND --help for one command\n"
    "  --                    ends the options\n"
    "\n"
    "The module's own failure messages go to the DP master library's trace; with\n"
    "the stand-in processor set DPSIM_TRACE=stderr to see them. With DPSIM_SERVER\n"
    "set, the stand-in processor is the shared one of the dpsim daemon there.\n"
    "\n"
    "Ctrl-C ends a wait and closes the channel before zelcli ends. The close\n"
    "takes at most 10 s; it is not skipped, and a further Ctrl-C says so.\n"
    "\n"
    "exit codes: 0 success, 1 the job ended with an error result, 2 the channel\n"
    "could not be opened, 3 usage, 4 the job was refused or no result came in time,\n"
    "130 interrupted (watch: 0).\n";

const char* CommandHelp(const std::string& cmd) {
  if (cmd == "demo")
    return "usage: zelcli [options] demo [--slave N] [--silent-slave N]\n"
           "Opens a channel, registers a window message, reads a slave (default 3),\n"
           "writes to it, reads it again, reads a slave that does not answer (default\n"
           "99), runs FDL services 11 and 26, shows a refused job and closes. Each\n"
           "result block is decoded field by field.\n";
  if (cmd == "read")
    return "usage: zelcli [options] read SLAVE\n"
           "DPC1 read of up to 240 bytes from the DP slave at address SLAVE (0..255).\n";
  if (cmd == "write")
    return "usage: zelcli [options] write SLAVE HEX [--param1 N] [--param2 N] [--param3 N]\n"
           "DPC1 write of the hex bytes (at most 240) to the slave at address SLAVE.\n"
           "Each byte is two hex digits; bytes may be separated by nothing, blanks, ':'\n"
           "or ',' (01A2ff, \"01 a2 ff\", 01:a2:ff); HEX may be several words. A lone\n"
           "digit or a prefix such as 0x is refused. An empty HEX (\"\") is a write of\n"
           "0 bytes, which the interface allows.\n"
           "The result comes after the slave has been read back, 3 s after the write\n"
           "was confirmed; its ResultCode tells whether the write took.\n";
  if (cmd == "fdl")
    return "usage: zelcli [options] fdl SERVICE\n"
           "FDL job with service 11 or 26 through the companion library ky_dll. The\n"
           "channel's worker collects FDL results each time it has waited a full second\n"
           "without a DPC1 confirmation, so a result comes within about a second.\n";
  if (cmd == "errno")
    return "usage: zelcli errno VALUE\n"
           "Shows the interface code that ZEL_get_errno gives for the system last-error\n"
           "VALUE (decimal or 0x hex), e.g. zelcli errno 258.\n";
  if (cmd == "watch")
    return "usage: zelcli [options] watch SLAVE [--interval MS] [--count N] [--verbose]\n"
           "Reads the slave every MS milliseconds and prints its data whenever it changes\n"
           "(and every error), each with the time of the read. Ctrl-C ends it: the\n"
           "channel is closed, exit code 0.\n";
  if (cmd == "help")
    return "usage: zelcli help [COMMAND]\n"
           "Shows the usage of zelcli, or with COMMAND that command's own (as COMMAND\n"
           "--help does).\n";
  return nullptr;
}

bool ParseNumber(const char* text, long long min, long long max, long long* out) {
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text, &end, 0);
  if (errno != 0 || end == text || *end != 0 || v < min || v > max) return false;
  *out = v;
  return true;
}

std::string Hex(const uint8_t* data, size_t n) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", data[i]);
    s += buf;
  }
  return s;
}

const char* ErrnoName(int32_t code) {
  switch (code) {
    case 0:
      return "no system error";
    case ZEL_NO_RESOURCES:
      return "ZEL_NO_RESOURCES";
    case ZEL_TOO_MANY_OPEN:
      return "ZEL_TOO_MANY_OPEN";
    case ZEL_GENERAL_ERROR:
      return "ZEL_GENERAL_ERROR";
    case ZEL_NOT_FOUND:
      return "ZEL_NOT_FOUND";
    case ZEL_ACCESS_REFUSED:
      return "ZEL_ACCESS_REFUSED";
    case ZEL_DATA_ERROR:
      return "ZEL_DATA_ERROR";
    case ZEL_NO_MEMORY:
      return "ZEL_NO_MEMORY";
    case ZEL_TIMEOUT:
      return "ZEL_TIMEOUT";
    case ZEL_BAD_ADDRESS:
      return "ZEL_BAD_ADDRESS";
    case ZEL_BUSY:
      return "ZEL_BUSY";
    default:
      return "unknown";
  }
}

const char* ErrnoMeaning(int32_t code) {
  switch (code) {
    case 0:
      return "no error";
    case ZEL_NO_RESOURCES:
      return "the system ran out of a resource";
    case ZEL_TOO_MANY_OPEN:
      return "too many open files";
    case ZEL_GENERAL_ERROR:
      return "an error without a more specific code";
    case ZEL_NOT_FOUND:
      return "a file or path was not found";
    case ZEL_ACCESS_REFUSED:
      return "access was refused or a handle was invalid";
    case ZEL_DATA_ERROR:
      return "data error";
    case ZEL_NO_MEMORY:
      return "not enough memory";
    case ZEL_TIMEOUT:
      return "a wait timed out";
    case ZEL_BAD_ADDRESS:
      return "a bad address";
    case ZEL_BUSY:
      return "the device is busy";
    default:
      return "";
  }
}

// --- Output ------------------------------------------------------------------

const Options* opts = nullptr;

void Info(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Info(const char* fmt, ...) {
  if (opts->json) return;
  va_list ap;
  va_start(ap, fmt);
  std::vprintf(fmt, ap);
  va_end(ap);
  std::fflush(stdout);
}

void Error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Error(const char* fmt, ...) {
  std::fprintf(stderr, "zelcli: ");
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fprintf(stderr, "\n");
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x80) {  // bytes, not necessarily UTF-8
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// With --json, the one object that a failure prints on stdout.
int JsonFailure(int exit, const std::string& extra, const std::string& message) {
  if (opts->json) {
    std::printf("{\"error\": %s, \"code\": %d%s}\n", JsonString(message).c_str(), exit,
                extra.c_str());
    std::fflush(stdout);
  }
  return exit;
}

// Ends a command with `exit`: the message on stderr and, with --json, one
// object {"error": message, "code": exit} on stdout. `extra` holds further
// members (", \"name\": value"), or is empty.
int Fail(int exit, const std::string& extra, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
int Fail(int exit, const std::string& extra, const char* fmt, ...) {
  char message[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(message, sizeof message, fmt, ap);
  va_end(ap);
  std::fprintf(stderr, "zelcli: %s\n", message);
  return JsonFailure(exit, extra, message);
}

void HexDump(const uint8_t* data, size_t length) {
  for (size_t row = 0; row < length; row += 16) {
    std::printf("      %04zx  ", row);
    for (size_t i = row; i < row + 16; ++i) {
      if (i < length)
        std::printf("%02x ", data[i]);
      else
        std::printf("   ");
    }
    std::printf(" |");
    for (size_t i = row; i < row + 16 && i < length; ++i)
      std::printf("%c", data[i] >= 32 && data[i] < 127 ? data[i] : '.');
    std::printf("|\n");
  }
}

bool IsFdl(const Block& b) { return b[ZEL_OFS_SUBSYSTEM] == ZEL_SUBSYSTEM_FDL; }

size_t DataLength(const Block& b) {
  const size_t n = U16(b, ZEL_OFS_DATA_LENGTH);
  return n > ZEL_DATA_MAX ? ZEL_DATA_MAX : n;
}

bool ResultFailed(const Block& b) { return U16(b, ZEL_OFS_RESULT_CODE) != 0; }

void PrintResult(const Block& b) {
  const bool fdl = IsFdl(b);
  const uint16_t result = U16(b, ZEL_OFS_RESULT_CODE);
  std::printf("    JobId       %u\n", U16(b, ZEL_OFS_JOB_ID));
  std::printf("    Subsystem   0x%02x (%s)\n", b[ZEL_OFS_SUBSYSTEM], fdl ? "FDL" : "DPC1");
  if (fdl) {
    std::printf("    Operation   %u (FDL result)\n", b[ZEL_OFS_OPERATION]);
    std::printf("    FdlService  %u\n", U16(b, ZEL_OFS_FDL_SERVICE));
    std::printf("    ResultCode  0x%04x (%s)\n", result,
                result == 0 ? "success" : "the companion library's error code");
    std::printf("    FdlWord60   0x%04x\n", U16(b, ZEL_OFS_FDL_WORD60));
  } else {
    std::printf("    Operation   '%c' (%s)\n", b[ZEL_OFS_OPERATION],
                b[ZEL_OFS_OPERATION] == ZEL_OPERATION_READ ? "read" : "write");
    std::printf("    ResultCode  %u (%s)\n", result,
                result == 0 ? "success"
                : result == ZEL_DPC1_ERROR
                    ? "ZEL_DPC1_ERROR: the DP master library reported an error"
                    : "?");
  }
  std::printf("    ResultFlag  %u   BlockTag 0x%02x   DataLimit %u\n", b[ZEL_OFS_RESULT_FLAG],
              b[ZEL_OFS_BLOCK_TAG], U16(b, ZEL_OFS_DATA_LIMIT));
  std::printf("    DataLength  %u\n", U16(b, ZEL_OFS_DATA_LENGTH));
  if (DataLength(b) > 0) HexDump(&b[ZEL_OFS_DATA], DataLength(b));
  std::fflush(stdout);
}

std::string ResultJson(const Block& b) {
  const bool fdl = IsFdl(b);
  const char* operation = fdl                                          ? "fdl"
                          : b[ZEL_OFS_OPERATION] == ZEL_OPERATION_READ ? "read"
                                                                       : "write";
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "{\"jobId\": %u, \"subsystem\": \"%s\", \"operation\": \"%s\", "
                "\"resultCode\": %u, \"resultFlag\": %u, \"dataLimit\": %u, \"dataLength\": %u",
                U16(b, ZEL_OFS_JOB_ID), fdl ? "FDL" : "DPC1", operation,
                U16(b, ZEL_OFS_RESULT_CODE), b[ZEL_OFS_RESULT_FLAG], U16(b, ZEL_OFS_DATA_LIMIT),
                U16(b, ZEL_OFS_DATA_LENGTH));
  std::string s = buf;
  if (fdl) {
    std::snprintf(buf, sizeof buf, ", \"fdlService\": %u, \"fdlWord60\": %u",
                  U16(b, ZEL_OFS_FDL_SERVICE), U16(b, ZEL_OFS_FDL_WORD60));
    s += buf;
  }
  s += ", \"data\": \"" + Hex(&b[ZEL_OFS_DATA], DataLength(b)) + "\"}";
  return s;
}

// --- The job cycle -------------------------------------------------------------

// The file of the DP master library that Kalmorix loaded, once a channel has
// been opened; so that nobody takes the stand-in for the real one.
std::string DpMasterPath() {
#if defined(_WIN32)
  HMODULE lib = GetModuleHandleA(KX_DPMASTER_DLL);
  char path[MAX_PATH] = {};
  if (lib && GetModuleFileNameA(lib, path, sizeof path) > 0) return path;
  return KX_DPMASTER_DLL " (not found)";
#else
  Dl_info info = {};
  void* fn = dlsym(RTLD_DEFAULT, "FetchConfirmation");
  if (fn && dladdr(fn, &info) && info.dli_fname) return info.dli_fname;
  return "(not found)";
#endif
}

struct Session {
  int32_t channel = -1;
  plat::Window wnd = nullptr;
  uint16_t nextJobId = 1;
  // A write was passed on and its result not seen: closing waits for its
  // read-back pause.
  bool writeInProgress = false;
};

// An environment variable without surrounding blanks, "" when unset.
std::string Env(const char* name) {
  const char* v = std::getenv(name);
  std::string s = v ? v : "";
  const size_t first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

bool SameWord(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return true;
}

// The dpsim daemon whose shared processors the stand-in uses, when the
// environment names one; "" for the processor in this process (or a vendor
// library, which does not read it).
std::string DaemonAddress() {
  const std::string address = Env("DPSIM_SERVER");
  return SameWord(address, "off") ? "" : address;
}

int Open(Session& s) {
  s.channel = ZEL_open(opts->processor.c_str());
  if (s.channel < 0 || s.channel > 7) {
    const int32_t code = s.channel;
    const int32_t err = ZEL_get_errno();
    s.channel = -1;
    const std::string daemon = DaemonAddress();
    const int rc =
        Fail(kOpenFailed,
             ", \"zelOpen\": " + std::to_string(code) + ", \"zelErrno\": " + std::to_string(err) +
                 (daemon.empty() ? "" : ", \"daemon\": " + JsonString(daemon)),
             "cannot open processor \"%s\": ZEL_open returned %d (ZEL_NO_DEVICE_AVAILABLE); "
             "ZEL_get_errno %d (%s)",
             opts->processor.c_str(), code, err, ErrnoName(err));
    if (!opts->json) {
      if (daemon.empty()) {
        std::fprintf(stderr,
                     "  244 means that the DP master library did not open processor \"%s\"\n"
                     "  (names are case-sensitive; the stand-in's are in its configuration,\n"
                     "  without one VCP1 and VCP2), or that all 8 channels are in use.\n",
                     opts->processor.c_str());
      } else {
        // The daemon is the likelier cause: a processor name that works
        // in-process fails the same way when nothing answers at the address.
        std::fprintf(stderr,
                     "  DPSIM_SERVER is set: the stand-in processor is the one of the dpsim\n"
                     "  daemon at %s. If a \"dpsim:\" line above says it cannot reach the\n"
                     "  daemon, that is why: start it (dpsim serve) or check the address and\n"
                     "  its key file ('dpsim status' tells). Else the daemon has no processor\n"
                     "  \"%s\" (names are case-sensitive), or all 8 channels are in use.\n",
                     daemon.c_str(), opts->processor.c_str());
      }
      const std::string trace = Env("DPSIM_TRACE");
      if (SameWord(trace, "stderr")) {
        std::fprintf(stderr, "  The module's own message is the \"Kalmorix.dll:\" line above.\n");
      } else if (!trace.empty() && !SameWord(trace, "off")) {
        std::fprintf(stderr, "  The module's own message is in the trace file %s (DPSIM_TRACE).\n",
                     trace.c_str());
      } else {
        std::fprintf(stderr,
                     "  The module's own message is in the DP master library's trace: with the\n"
                     "  stand-in, run again with DPSIM_TRACE=stderr.\n");
      }
    }
    return rc;
  }
  if (!opts->poll) {
    s.wnd = plat::MessageWindowCreate();
    if (SetTalvoHWndMsg(s.channel, s.wnd, kResultMessage) != 0) {
      Error("SetTalvoHWndMsg failed; polling instead");
      plat::MessageWindowDestroy(s.wnd);
      s.wnd = nullptr;
    }
  }
  const std::string daemon = DaemonAddress();
  Info("channel %d open on \"%s\" (%s)\n  DP master library: %s%s%s\n", s.channel,
       opts->processor.c_str(),
       s.wnd ? "results announced by window message" : "polling for results",
       DpMasterPath().c_str(), daemon.empty() ? "" : ", through the dpsim daemon at ",
       daemon.empty() ? "" : (daemon + " (DPSIM_SERVER)").c_str());
  return kOk;
}

void Close(Session& s) {
  if (s.channel >= 0 && s.writeInProgress && !opts->json) {
    std::fprintf(stderr, "zelcli: closing: waiting for the write in progress, up to 3 s\n");
  }
  if (s.channel >= 0) {
    const int32_t rc = ZEL_close(s.channel);
    if (rc != 0) Error("ZEL_close(%d) returned %d (ZEL_CLOSE_FAILED)", s.channel, rc);
  }
  if (s.wnd) plat::MessageWindowDestroy(s.wnd);
  s.channel = -1;
  s.wnd = nullptr;
  if (interrupted) closedAfterInterrupt = true;
}

// Shows on a terminal that the program is waiting (the write's read-back,
// FDL polling); silent when the output goes to a file or pipe.
struct WaitIndicator {
  explicit WaitIndicator(const char* what) : what_(what), tty_(KX_ISATTY(stderr) && !opts->json) {}
  void Tick(uint32_t elapsedMs) {
    if (!tty_ || elapsedMs < 500) return;
    std::fprintf(stderr, "\r  waiting for %s ... %.1f s ", what_, elapsedMs / 1000.0);
    shown_ = true;
  }
  // Erased before anything else is printed, so no line runs into it.
  void Clear() {
    if (shown_) std::fprintf(stderr, "\r%60s\r", "");
    shown_ = false;
  }
  ~WaitIndicator() { Clear(); }
  const char* what_;
  bool tty_;
  bool shown_ = false;
};

bool Fetch(const Session& s, Block& out) {
  uint16_t length = 0;
  return ZEL_receive(s.channel, 0, &length, 0, out.data()) == 0 && length == ZEL_BLOCK_SIZE;
}

uint32_t MsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count());
}

// Waits for the result of the job just sent; false on time-out or when
// interrupted. `showMessages`: print a line for each window message.
bool AwaitResult(Session& s, Block& out, const char* what, bool showMessages = true) {
  WaitIndicator indicator(what);
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const uint32_t elapsed = MsSince(start);
    if (elapsed >= opts->timeoutMs || interrupted) return false;
    indicator.Tick(elapsed);
    const uint32_t slice = opts->timeoutMs - elapsed < 100 ? opts->timeoutMs - elapsed : 100;
    if (s.wnd) {
      plat::PostedMessage m;
      if (plat::MessageWindowNext(s.wnd, &m, slice) && m.msg == kResultMessage) {
        const uint32_t seen = MsSince(start);
        indicator.Clear();
        if (showMessages) {
          Info("  window message 0x%04x (wParam %lu, lParam %ld) after %u ms: result ready\n",
               static_cast<unsigned>(m.msg), static_cast<unsigned long>(m.wParam),
               static_cast<long>(m.lParam), seen);
        }
        if (Fetch(s, out)) {
          s.writeInProgress = false;
          return true;
        }
      }
    } else {
      if (Fetch(s, out)) {
        s.writeInProgress = false;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(slice < 10 ? slice : 10));
    }
  }
}

Block NewJob(Session& s, uint8_t subsystem) {
  Block b(ZEL_BLOCK_SIZE, 0);
  PutU16(b, ZEL_OFS_JOB_ID, s.nextJobId++);
  b[ZEL_OFS_SUBSYSTEM] = subsystem;
  return b;
}

Block ReadJob(Session& s, uint8_t slave) {
  Block b = NewJob(s, ZEL_SUBSYSTEM_DPC1);
  b[ZEL_OFS_OPERATION] = ZEL_OPERATION_READ;
  b[ZEL_OFS_SLAVE_ADDRESS] = slave;
  return b;
}

Block WriteJob(Session& s, uint8_t slave, const Block& data) {
  Block b = NewJob(s, ZEL_SUBSYSTEM_DPC1);
  b[ZEL_OFS_OPERATION] = ZEL_OPERATION_WRITE;
  b[ZEL_OFS_SLAVE_ADDRESS] = slave;
  b[ZEL_OFS_DPC1_PARAM1] = static_cast<uint8_t>(opts->param1 < 0 ? slave : opts->param1);
  b[ZEL_OFS_DPC1_PARAM2] = static_cast<uint8_t>(opts->param2);
  PutU16(b, ZEL_OFS_DPC1_PARAM3, static_cast<uint16_t>(opts->param3));
  PutU16(b, ZEL_OFS_DATA_LENGTH, static_cast<uint16_t>(data.size()));
  if (!data.empty()) std::memcpy(&b[ZEL_OFS_DATA], data.data(), data.size());  // 0 bytes: no buffer
  return b;
}

Block FdlJob(Session& s, uint16_t service) {
  Block b = NewJob(s, ZEL_SUBSYSTEM_FDL);
  PutU16(b, ZEL_OFS_FDL_SERVICE, service);
  return b;
}

// Sends a job and waits for its result. kOk, kJobError, kNoResult or
// kInterrupted; *refused tells a refusal from a time-out.
int RunJob(Session& s, const Block& job, const char* title, const char* waitingFor, Block& result,
           std::string* json, bool* refused = nullptr) {
  Info("%s (JobId %u)\n", title, U16(job, ZEL_OFS_JOB_ID));
  const int32_t rc = ZEL_send(s.channel, ZEL_BLOCK_SIZE, job.data());
  if (refused) *refused = rc != 0;
  if (rc != 0) {
    Error("%s: ZEL_send returned %d (%s)", title, rc,
          rc == ZEL_INVALID_SUBSYSTEM ? "ZEL_INVALID_SUBSYSTEM" : "the job was refused");
    if (json) *json = "{\"error\": \"refused\", \"code\": " + std::to_string(rc) + "}";
    return kNoResult;
  }
  s.writeInProgress =
      job[ZEL_OFS_SUBSYSTEM] == ZEL_SUBSYSTEM_DPC1 && job[ZEL_OFS_OPERATION] == ZEL_OPERATION_WRITE;
  if (!AwaitResult(s, result, waitingFor)) {
    if (interrupted) {
      if (json) *json = "{\"error\": \"interrupted\"}";
      return kInterrupted;
    }
    Error("%s: no result within %u ms", title, opts->timeoutMs);
    if (json) *json = "{\"error\": \"timeout\"}";
    return kNoResult;
  }
  if (json) *json = ResultJson(result);
  if (!opts->json) PrintResult(result);
  return ResultFailed(result) ? kJobError : kOk;
}

void EmitJson(const char* command, const Session& s, const std::string& body) {
  if (!opts->json) return;
  std::printf(
      "{\"command\": \"%s\", \"processor\": %s, \"channel\": %d, \"dpMaster\": %s, "
      "\"daemon\": %s, \"result\": %s}\n",
      command, JsonString(opts->processor).c_str(), s.channel, JsonString(DpMasterPath()).c_str(),
      DaemonAddress().empty() ? "null" : JsonString(DaemonAddress()).c_str(), body.c_str());
  std::fflush(stdout);
}

// --- Commands --------------------------------------------------------------------

int CmdErrno(const std::vector<std::string>& args) {
  long long value = 0;
  if (args.size() != 1 || !ParseNumber(args[0].c_str(), -2147483648LL, 4294967295LL, &value)) {
    return Fail(kUsage, "", "errno needs one number (decimal or 0x hex)");
  }
  const uint32_t lastError = static_cast<uint32_t>(value);
  // ZEL_get_errno reads the calling thread's last error: set it, then ask.
  plat::LastErrorSet(lastError);
  const int32_t code = ZEL_get_errno();
  if (opts->json) {
    std::printf("{\"command\": \"errno\", \"lastError\": %lu, \"code\": %d, \"name\": \"%s\"}\n",
                static_cast<unsigned long>(lastError), code, ErrnoName(code));
  } else {
    std::printf("last error %lu (0x%lx) -> %d %s: %s\n", static_cast<unsigned long>(lastError),
                static_cast<unsigned long>(lastError), code, ErrnoName(code), ErrnoMeaning(code));
  }
  return kOk;
}

// A usage failure when `args` has fewer than `min` or more than `max` words.
int CountArgs(const char* command, const std::vector<std::string>& args, size_t min, size_t max,
              const char* what) {
  if (args.size() < min) return Fail(kUsage, "", "%s needs %s", command, what);
  if (args.size() > max) {
    return Fail(kUsage, "", "too many arguments for %s (it takes %s)", command, what);
  }
  return kOk;
}

bool ParseSlave(const std::string& text, uint8_t* slave) {
  long long v = 0;
  if (!ParseNumber(text.c_str(), 0, 255, &v)) {
    Fail(kUsage, "", "slave address must be 0..255, not \"%s\"", text.c_str());
    return false;
  }
  *slave = static_cast<uint8_t>(v);
  return true;
}

// Members that place a JSON object: the command, processor and channel.
std::string Where(const char* command, const Session& s) {
  return ", \"command\": \"" + std::string(command) +
         "\", \"processor\": " + JsonString(opts->processor) +
         ", \"channel\": " + std::to_string(s.channel);
}

// Opens a channel, runs one job built by `make`, reports it and closes.
int OneJob(const char* command, const std::function<Block(Session&)>& make, const char* title,
           const char* waitingFor) {
  Session s;
  if (int rc = Open(s)) return rc;
  Block result(ZEL_BLOCK_SIZE);
  std::string json;
  bool refused = false;
  const int rc = RunJob(s, make(s), title, waitingFor, result, &json, &refused);
  if (refused && !opts->json && std::strcmp(command, "fdl") == 0) {
    Error(
        "a channel has FDL only when the companion library ky_dll is found next to the "
        "program (or on the library path); otherwise the companion refused the job");
  }
  if (rc == kNoResult || rc == kInterrupted) {
    const std::string where = Where(command, s);
    if (rc == kInterrupted) Error("interrupted: closing the channel");
    Close(s);
    return JsonFailure(rc, where,
                       refused ? "the job was refused"
                       : interrupted
                           ? "interrupted"
                           : "no result within " + std::to_string(opts->timeoutMs) + " ms");
  }
  EmitJson(command, s, json);
  Close(s);
  return rc;
}

int CmdRead(const std::vector<std::string>& args) {
  uint8_t slave = 0;
  if (int rc = CountArgs("read", args, 1, 1, "SLAVE")) return rc;
  if (!ParseSlave(args[0], &slave)) return kUsage;
  char title[64];
  std::snprintf(title, sizeof title, "DPC1 read of slave %u", slave);
  return OneJob(
      "read", [slave](Session& s) { return ReadJob(s, slave); }, title, "the read");
}

int CmdWrite(const std::vector<std::string>& args) {
  uint8_t slave = 0;
  Block data;
  if (int rc = CountArgs("write", args, 2, 241, "SLAVE and HEX data")) return rc;
  if (!ParseSlave(args[0], &slave)) return kUsage;
  // Words after SLAVE are one text, as if quoted: "01 02" and 01 02 alike.
  std::string hex;
  for (size_t i = 1; i < args.size(); ++i) hex += (i > 1 ? " " : "") + args[i];
  std::string why;
  if (!dpsim::wire::ParseHexBytes(hex, &data, &why)) {
    return Fail(kUsage, "", "write data: %s", why.c_str());
  }
  if (data.size() > ZEL_DPC1_DATA_MAX) {
    return Fail(kUsage, "", "write data: at most 240 bytes, not %lu",
                static_cast<unsigned long>(data.size()));
  }
  char title[64];
  std::snprintf(title, sizeof title, "DPC1 write of %zu byte%s to slave %u", data.size(),
                data.size() == 1 ? "" : "s", slave);
  Info("(the result comes after the slave has been read back, 3 s after the write)\n");
  return OneJob(
      "write", [slave, &data](Session& s) { return WriteJob(s, slave, data); }, title,
      "the write's read-back");
}

int CmdFdl(const std::vector<std::string>& args) {
  long long service = 0;
  if (int rc = CountArgs("fdl", args, 1, 1, "SERVICE (11 or 26)")) return rc;
  if (!ParseNumber(args[0].c_str(), 0, 65535, &service)) {
    return Fail(kUsage, "", "fdl needs SERVICE (11 or 26), not \"%s\"", args[0].c_str());
  }
  if (service != ZEL_FDL_SERVICE_11 && service != ZEL_FDL_SERVICE_26) {
    return Fail(kUsage, "", "Kalmorix converts FDL services 11 and 26 only, not %lld", service);
  }
  char title[64];
  std::snprintf(title, sizeof title, "FDL service %lld", service);
  const auto code = static_cast<uint16_t>(service);
  return OneJob(
      "fdl", [code](Session& s) { return FdlJob(s, code); }, title, "the FDL result");
}

// Local time of day to the millisecond, for watch lines: when a value changed.
std::string TimeOfDay() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t t = system_clock::to_time_t(now);
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local = {};
#if defined(_WIN32)
  localtime_s(&local, &t);
#else
  localtime_r(&t, &local);
#endif
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ms));
  return buf;
}

int CmdWatch(const std::vector<std::string>& args) {
  uint8_t slave = 0;
  if (int rc = CountArgs("watch", args, 1, 1, "SLAVE")) return rc;
  if (!ParseSlave(args[0], &slave)) return kUsage;
  Session s;
  if (int rc = Open(s)) return rc;
  Block last;
  int rc = kOk;
  for (long n = 0; (opts->count < 0 || n < opts->count) && !interrupted; ++n) {
    if (n > 0) {
      // In slices, so that Ctrl-C ends the wait at once.
      const auto start = std::chrono::steady_clock::now();
      while (!interrupted && MsSince(start) < opts->intervalMs) {
        const uint32_t left = opts->intervalMs - MsSince(start);
        std::this_thread::sleep_for(std::chrono::milliseconds(left < 50 ? left : 50));
      }
      if (interrupted) break;
    }
    const Block job = ReadJob(s, slave);
    if (ZEL_send(s.channel, ZEL_BLOCK_SIZE, job.data()) != 0) {
      const std::string where = Where("watch", s);
      Close(s);
      return Fail(kNoResult, where, "read %ld of slave %u was refused", n + 1, slave);
    }
    Block result(ZEL_BLOCK_SIZE);
    if (!AwaitResult(s, result, "the read", opts->verbose)) {
      if (interrupted) break;
      const std::string where = Where("watch", s);
      Close(s);
      return Fail(kNoResult, where, "read %ld of slave %u: no result within %u ms", n + 1, slave,
                  opts->timeoutMs);
    }
    rc = ResultFailed(result) ? kJobError : kOk;
    const Block data(result.begin() + ZEL_OFS_DATA,
                     result.begin() + ZEL_OFS_DATA + static_cast<long>(DataLength(result)));
    const bool changed = n == 0 || data != last || rc != kOk;
    if (opts->json) {
      std::printf(
          "{\"command\": \"watch\", \"read\": %ld, \"time\": \"%s\", \"changed\": %s, "
          "\"result\": %s}\n",
          n + 1, TimeOfDay().c_str(), changed ? "true" : "false", ResultJson(result).c_str());
      std::fflush(stdout);
    } else if (changed) {
      std::printf("%s read %ld of slave %u: %s, %zu byte%s\n", TimeOfDay().c_str(), n + 1, slave,
                  rc == kOk ? "changed" : "ZEL_DPC1_ERROR", data.size(),
                  data.size() == 1 ? "" : "s");
      if (!data.empty()) HexDump(data.data(), data.size());
      std::fflush(stdout);
    }
    last = data;
  }
  // Ctrl-C is how a watch normally ends.
  if (interrupted && !opts->json) Error("interrupted: closing the channel");
  Close(s);
  return interrupted ? kOk : rc;
}

int CmdDemo(const std::vector<std::string>& args) {
  if (!args.empty()) {
    return Fail(kUsage, "", "demo takes no arguments (but --slave N and --silent-slave N)");
  }
  Session s;
  if (int rc = Open(s)) return rc;
  const auto slave = static_cast<uint8_t>(opts->demoSlave);
  const auto silent = static_cast<uint8_t>(opts->silentSlave);
  char title[4][80];
  std::snprintf(title[0], sizeof title[0], "DPC1 read of slave %u", slave);
  std::snprintf(title[1], sizeof title[1], "DPC1 write to slave %u", slave);
  std::snprintf(title[2], sizeof title[2], "DPC1 read of slave %u again", slave);
  std::snprintf(title[3], sizeof title[3], "DPC1 read of slave %u, which does not answer", silent);
  Block result(ZEL_BLOCK_SIZE);
  std::string json;
  std::string all = "[";
  int worst = kOk;
  auto step = [&](const Block& job, const char* what, const char* waiting, bool errorExpected) {
    if (interrupted) return;
    const int rc = RunJob(s, job, what, waiting, result, &json);
    if (!(errorExpected && rc == kJobError) && rc > worst) worst = rc;
    all += (all.size() > 1 ? ", " : "") + json;
  };
  // Once interrupted, nothing more is started or explained: only the close.
  auto note = [&](const char* text) {
    if (!interrupted) Info("%s", text);
  };
  step(ReadJob(s, slave), title[0], "the read", false);
  const char text[] = "Kalmorix was here";
  note("(a write result comes after the slave has been read back, 3 s after the write)\n");
  step(WriteJob(s, slave, Block(text, text + sizeof text - 1)), title[1], "the write's read-back",
       false);
  step(ReadJob(s, slave), title[2], "the read", false);
  step(ReadJob(s, silent), title[3], "the read", true);
  note(
      "(FDL results are collected each time the channel has waited a second without\n"
      " a DPC1 confirmation)\n");
  step(FdlJob(s, ZEL_FDL_SERVICE_11), "FDL service 11", "the FDL result", false);
  step(FdlJob(s, ZEL_FDL_SERVICE_26), "FDL service 26", "the FDL result", false);
  if (!interrupted) {
    Block bad = NewJob(s, 0x29);
    const int32_t refused = ZEL_send(s.channel, ZEL_BLOCK_SIZE, bad.data());
    Info("a job with Subsystem 0x29 is refused: ZEL_send returned %d%s\n", refused,
         refused == ZEL_INVALID_SUBSYSTEM ? " (ZEL_INVALID_SUBSYSTEM)" : "");
  } else {
    Error("interrupted: closing the channel");
  }
  all += "]";
  EmitJson("demo", s, all);
  const int32_t channel = s.channel;
  Close(s);
  Info("channel %d closed\n", channel);
  return interrupted ? kInterrupted : worst;
}

// What a second Ctrl-C is told: the close is not skipped, since leaving
// while the module closes could leave the processor's handle claimed and the
// wait is bounded (the worker's stop, at most 10 s).
const char kStillClosing[] = "zelcli: closing the channel first (up to 10 s)...\n";

void OnInterrupt() {
  interrupted = true;
  if (interrupts.fetch_add(1) >= 1) {
#if defined(_WIN32)
    _write(2, kStillClosing, sizeof kStillClosing - 1);
#else
    // write() only: it is safe in a signal handler, stdio is not.
    const ssize_t n = write(2, kStillClosing, sizeof kStillClosing - 1);
    (void)n;
#endif
  }
}

void OnSignal(int) { OnInterrupt(); }

#if defined(_WIN32)
BOOL WINAPI OnConsoleCtrl(DWORD event) {
  OnInterrupt();
  // The console ends the process as soon as this returns from a close or
  // log-off: give the main thread the time to close the channel first.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    for (int i = 0; i < 400 && !closedAfterInterrupt; ++i) Sleep(10);
  }
  return TRUE;
}
#endif

// Ctrl-C and termination end waits, so that the channel is closed.
void CatchInterrupts() {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
#if defined(_WIN32)
  SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
#endif
}

int PrintVersion() {
  if (opts->json) {
    std::printf("{\"zelcli\": \"%s\", \"header\": \"%d.%d.%d\"}\n", KALMORIX_VERSION_TEXT,
                KALMORIX_VERSION_MAJOR, KALMORIX_VERSION_MINOR, KALMORIX_VERSION_PATCH);
  } else {
    std::printf("zelcli %s (Kalmorix interface %d.%d.%d)\n", KALMORIX_VERSION_TEXT,
                KALMORIX_VERSION_MAJOR, KALMORIX_VERSION_MINOR, KALMORIX_VERSION_PATCH);
  }
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  // Static: `opts` must not dangle while exit handlers run after main returns.
  static Options o;
  opts = &o;
  // Known before anything can fail, so that every failure can answer in JSON.
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) o.json = true;
  }
  std::string command;
  std::vector<std::string> args;
  bool help = false;
  bool version = false;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](long long min, long long max, long long* out) {
      if (i + 1 >= argc || !ParseNumber(argv[i + 1], min, max, out)) {
        Fail(kUsage, "", "%s needs a number from %lld to %lld", a.c_str(), min, max);
        return false;
      }
      ++i;
      return true;
    };
    long long v = 0;
    if (optionsEnded || (a.size() > 1 && a[0] == '-' && a[1] >= '0' && a[1] <= '9') || a.empty() ||
        a[0] != '-' || a == "-") {
      if (command.empty()) {
        command = a;
      } else {
        args.push_back(a);
      }
    } else if (a == "--") {
      optionsEnded = true;
    } else if (a == "-h" || a == "--help") {
      help = true;
    } else if (a == "--version") {
      version = true;
    } else if (a == "-p" || a == "--processor") {
      if (i + 1 >= argc) return Fail(kUsage, "", "%s needs a name", a.c_str());
      o.processor = argv[++i];
    } else if (a == "--poll") {
      o.poll = true;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--verbose") {
      o.verbose = true;
    } else if (a == "--timeout") {
      if (!value(1, 3600000, &v)) return kUsage;
      o.timeoutMs = static_cast<uint32_t>(v);
    } else if (a == "--interval") {
      if (!value(0, 3600000, &v)) return kUsage;
      o.intervalMs = static_cast<uint32_t>(v);
    } else if (a == "--count") {
      if (!value(1, 1000000000, &v)) return kUsage;
      o.count = v;
    } else if (a == "--param1" || a == "--param2") {
      if (!value(0, 255, &v)) return kUsage;
      (a == "--param1" ? o.param1 : o.param2) = static_cast<int>(v);
    } else if (a == "--param3") {
      if (!value(0, 65535, &v)) return kUsage;
      o.param3 = static_cast<int>(v);
    } else if (a == "--slave" || a == "--silent-slave") {
      if (!value(0, 255, &v)) return kUsage;
      (a == "--slave" ? o.demoSlave : o.silentSlave) = static_cast<int>(v);
    } else {
      return Fail(kUsage, "", "unknown option %s (see zelcli --help)", a.c_str());
    }
  }
  if (version) return PrintVersion();
  if (command == "help") {
    if (args.size() > 1) return Fail(kUsage, "", "help takes at most one COMMAND");
    if (args.empty()) {
      std::fputs(kUsageText, stdout);
      return kOk;
    }
    command = args[0];
    args.clear();
    help = true;
  }
  if (command.empty()) {
    if (help) {
      std::fputs(kUsageText, stdout);
      return kOk;
    }
    std::fputs(kUsageText, stderr);
    return JsonFailure(kUsage, "", "no command given");
  }
  const char* commandHelp = CommandHelp(command);
  if (!commandHelp) {
    return Fail(kUsage, "", "unknown command \"%s\" (see zelcli --help)", command.c_str());
  }
  if (help) {
    std::fputs(commandHelp, stdout);
    return kOk;
  }
  CatchInterrupts();
  if (command == "errno") return CmdErrno(args);
  if (command == "read") return CmdRead(args);
  if (command == "write") return CmdWrite(args);
  if (command == "fdl") return CmdFdl(args);
  if (command == "watch") return CmdWatch(args);
  return CmdDemo(args);
}
