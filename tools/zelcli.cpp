// zelcli: drives a processor through Kalmorix from the command line.
//
// Exit codes: 0 success; 1 the job ended with an error result (DPC1:
// ZEL_DPC1_ERROR, FDL: a non-zero result code); 2 ZEL_open failed;
// 3 usage; 4 the job was refused or no result came in time.
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "message_window.h"
#include "zel.h"

#if defined(_WIN32)
#include <io.h>
#define KX_ISATTY(f) _isatty(_fileno(f))
#else
#include <unistd.h>
#define KX_ISATTY(f) isatty(fileno(f))
#endif

namespace {

enum Exit { kOk = 0, kJobError = 1, kOpenFailed = 2, kUsage = 3, kNoResult = 4 };

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
    "  write SLAVE HEX       DPC1 write of hex data (e.g. 01A2ff or \"01 a2 ff\"), with its\n"
    "                        result after the read-back\n"
    "  fdl SERVICE           FDL job, service 11 or 26\n"
    "  errno VALUE           the interface code for a system last-error value\n"
    "  watch SLAVE           repeat a read at an interval and show changes\n"
    "\n"
    "options:\n"
    "  -p, --processor NAME  processor to open (default VCP1)\n"
    "  --poll                poll ZEL_receive instead of waiting for the window message\n"
    "  --timeout MS          how long to wait for a result (default 10000)\n"
    "  --param1 N, --param2 N, --param3 N\n"
    "                        Dpc1Param bytes of a write (param1 defaults to the slave)\n"
    "  --interval MS         watch: time between reads (default 1000)\n"
    "  --count N             watch: number of reads (default: until interrupted)\n"
    "  --json                machine-readable output\n"
    "  -h, --help            this text; COMMAND --help for one command\n"
    "\n"
    "exit codes: 0 success, 1 the job ended with an error result, 2 the channel\n"
    "could not be opened, 3 usage, 4 the job was refused or no result came in time.\n";

const char* CommandHelp(const std::string& cmd) {
  if (cmd == "demo")
    return "usage: zelcli [options] demo\n"
           "Opens a channel, registers a window message, reads slave 3, writes to it,\n"
           "reads it again, reads a silent slave, runs FDL services 11 and 26, shows a\n"
           "refused job and closes. Each result block is decoded field by field.\n";
  if (cmd == "read")
    return "usage: zelcli [options] read SLAVE\n"
           "DPC1 read of up to 240 bytes from the DP slave at address SLAVE (0..255).\n";
  if (cmd == "write")
    return "usage: zelcli [options] write SLAVE HEX [--param1 N] [--param2 N] [--param3 N]\n"
           "DPC1 write of the hex bytes (at most 240) to the slave at address SLAVE.\n"
           "The result comes after the slave has been read back, 3 s after the write\n"
           "was confirmed; its ResultCode tells whether the write took.\n";
  if (cmd == "fdl")
    return "usage: zelcli [options] fdl SERVICE\n"
           "FDL job with service 11 or 26 through the companion library ky_dll. FDL\n"
           "results are collected when the channel has been idle for a second.\n";
  if (cmd == "errno")
    return "usage: zelcli errno VALUE\n"
           "Shows the interface code that ZEL_get_errno gives for the system last-error\n"
           "VALUE (decimal or 0x hex), e.g. zelcli errno 258.\n";
  if (cmd == "watch")
    return "usage: zelcli [options] watch SLAVE [--interval MS] [--count N]\n"
           "Reads the slave every MS milliseconds and prints its data whenever it changes.\n";
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

bool ParseHex(const std::string& text, Block* out) {
  std::string digits;
  for (char c : text)
    if (c != ' ' && c != ':' && c != ',') digits += c;
  if (digits.size() % 2 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    long long v = 0;
    const std::string pair = "0x" + digits.substr(i, 2);
    if (!ParseNumber(pair.c_str(), 0, 255, &v)) return false;
    out->push_back(static_cast<uint8_t>(v));
  }
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
      return "success";
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
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "{\"jobId\": %u, \"subsystem\": \"%s\", \"operation\": %u, \"resultCode\": %u, "
                "\"resultFlag\": %u, \"dataLimit\": %u, \"dataLength\": %u",
                U16(b, ZEL_OFS_JOB_ID), fdl ? "FDL" : "DPC1", b[ZEL_OFS_OPERATION],
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

struct Session {
  int32_t channel = -1;
  plat::Window wnd = nullptr;
  uint16_t nextJobId = 1;
};

int Open(Session& s) {
  s.channel = ZEL_open(opts->processor.c_str());
  if (s.channel < 0 || s.channel > 7) {
    const int32_t code = s.channel;
    const int32_t err = ZEL_get_errno();
    Error(
        "cannot open processor \"%s\": ZEL_open returned %d (ZEL_NO_DEVICE_AVAILABLE); "
        "ZEL_get_errno %d (%s)",
        opts->processor.c_str(), code, err, ErrnoName(err));
    s.channel = -1;
    return kOpenFailed;
  }
  if (!opts->poll) {
    s.wnd = plat::MessageWindowCreate();
    if (SetTalvoHWndMsg(s.channel, s.wnd, kResultMessage) != 0) {
      Error("SetTalvoHWndMsg failed; polling instead");
      plat::MessageWindowDestroy(s.wnd);
      s.wnd = nullptr;
    }
  }
  Info("channel %d open on \"%s\" (%s)\n", s.channel, opts->processor.c_str(),
       s.wnd ? "results announced by window message" : "polling for results");
  return kOk;
}

void Close(Session& s) {
  if (s.channel >= 0) {
    const int32_t rc = ZEL_close(s.channel);
    if (rc != 0) Error("ZEL_close(%d) returned %d (ZEL_CLOSE_FAILED)", s.channel, rc);
  }
  if (s.wnd) plat::MessageWindowDestroy(s.wnd);
  s.channel = -1;
  s.wnd = nullptr;
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
  ~WaitIndicator() {
    if (shown_) std::fprintf(stderr, "\r%60s\r", "");
  }
  const char* what_;
  bool tty_;
  bool shown_ = false;
};

bool Fetch(const Session& s, Block& out) {
  uint16_t length = 0;
  return ZEL_receive(s.channel, 0, &length, 0, out.data()) == 0 && length == ZEL_BLOCK_SIZE;
}

// Waits for the result of the job just sent; false on time-out.
bool AwaitResult(const Session& s, Block& out, const char* what) {
  WaitIndicator indicator(what);
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const auto elapsed =
        static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - start)
                                  .count());
    if (elapsed >= opts->timeoutMs) return false;
    indicator.Tick(elapsed);
    const uint32_t slice = opts->timeoutMs - elapsed < 100 ? opts->timeoutMs - elapsed : 100;
    if (s.wnd) {
      plat::PostedMessage m;
      if (plat::MessageWindowNext(s.wnd, &m, slice) && m.msg == kResultMessage) {
        Info("  window message 0x%04x (wParam %lu, lParam %ld) after %u ms: result ready\n",
             static_cast<unsigned>(m.msg), static_cast<unsigned long>(m.wParam),
             static_cast<long>(m.lParam), elapsed);
        if (Fetch(s, out)) return true;
      }
    } else {
      if (Fetch(s, out)) return true;
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
  std::memcpy(&b[ZEL_OFS_DATA], data.data(), data.size());
  return b;
}

Block FdlJob(Session& s, uint16_t service) {
  Block b = NewJob(s, ZEL_SUBSYSTEM_FDL);
  PutU16(b, ZEL_OFS_FDL_SERVICE, service);
  return b;
}

// Sends a job and waits for its result. kOk, kJobError or kNoResult.
int RunJob(Session& s, const Block& job, const char* title, const char* waitingFor, Block& result,
           std::string* json) {
  Info("%s (JobId %u)\n", title, U16(job, ZEL_OFS_JOB_ID));
  const int32_t rc = ZEL_send(s.channel, ZEL_BLOCK_SIZE, job.data());
  if (rc != 0) {
    Error("%s: ZEL_send returned %d (%s)", title, rc,
          rc == ZEL_INVALID_SUBSYSTEM ? "ZEL_INVALID_SUBSYSTEM" : "the job was refused");
    if (json) *json = "{\"error\": \"refused\", \"code\": " + std::to_string(rc) + "}";
    return kNoResult;
  }
  if (!AwaitResult(s, result, waitingFor)) {
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
  std::printf("{\"command\": \"%s\", \"processor\": \"%s\", \"channel\": %d, \"result\": %s}\n",
              command, opts->processor.c_str(), s.channel, body.c_str());
  std::fflush(stdout);
}

// --- Commands --------------------------------------------------------------------

int CmdErrno(const std::vector<std::string>& args) {
  long long value = 0;
  if (args.size() != 1 || !ParseNumber(args[0].c_str(), -2147483648LL, 4294967295LL, &value)) {
    Error("errno needs one number (decimal or 0x hex)");
    return kUsage;
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

bool ParseSlave(const std::string& text, uint8_t* slave) {
  long long v = 0;
  if (!ParseNumber(text.c_str(), 0, 255, &v)) {
    Error("slave address must be 0..255, not \"%s\"", text.c_str());
    return false;
  }
  *slave = static_cast<uint8_t>(v);
  return true;
}

// Opens a channel, runs one job built by `make`, reports it and closes.
int OneJob(const char* command, const std::function<Block(Session&)>& make, const char* title,
           const char* waitingFor) {
  Session s;
  if (int rc = Open(s)) return rc;
  Block result(ZEL_BLOCK_SIZE);
  std::string json;
  const int rc = RunJob(s, make(s), title, waitingFor, result, &json);
  if (rc == kNoResult && !opts->json && std::strcmp(command, "fdl") == 0)
    Error("an FDL job needs the companion library ky_dll next to the program");
  EmitJson(command, s, json);
  Close(s);
  return rc;
}

int CmdRead(const std::vector<std::string>& args) {
  uint8_t slave = 0;
  if (args.size() != 1) {
    Error("read needs SLAVE");
    return kUsage;
  }
  if (!ParseSlave(args[0], &slave)) return kUsage;
  char title[64];
  std::snprintf(title, sizeof title, "DPC1 read of slave %u", slave);
  return OneJob(
      "read", [slave](Session& s) { return ReadJob(s, slave); }, title, "the read");
}

int CmdWrite(const std::vector<std::string>& args) {
  uint8_t slave = 0;
  Block data;
  if (args.size() < 2) {
    Error("write needs SLAVE and HEX data");
    return kUsage;
  }
  if (!ParseSlave(args[0], &slave)) return kUsage;
  std::string hex;
  for (size_t i = 1; i < args.size(); ++i) hex += args[i];
  if (!ParseHex(hex, &data) || data.size() > ZEL_DPC1_DATA_MAX) {
    Error("write data must be at most 240 bytes of hex digits, e.g. 01a2ff");
    return kUsage;
  }
  char title[64];
  std::snprintf(title, sizeof title, "DPC1 write of %zu bytes to slave %u", data.size(), slave);
  Info("(the result comes after the slave has been read back, 3 s after the write)\n");
  return OneJob(
      "write", [slave, &data](Session& s) { return WriteJob(s, slave, data); }, title,
      "the write's read-back");
}

int CmdFdl(const std::vector<std::string>& args) {
  long long service = 0;
  if (args.size() != 1 || !ParseNumber(args[0].c_str(), 0, 65535, &service)) {
    Error("fdl needs SERVICE (11 or 26)");
    return kUsage;
  }
  if (service != ZEL_FDL_SERVICE_11 && service != ZEL_FDL_SERVICE_26) {
    Error("Kalmorix converts FDL services 11 and 26 only, not %lld", service);
    return kUsage;
  }
  char title[64];
  std::snprintf(title, sizeof title, "FDL service %lld", service);
  const auto code = static_cast<uint16_t>(service);
  return OneJob(
      "fdl", [code](Session& s) { return FdlJob(s, code); }, title, "the FDL result");
}

int CmdWatch(const std::vector<std::string>& args) {
  uint8_t slave = 0;
  if (args.size() != 1) {
    Error("watch needs SLAVE");
    return kUsage;
  }
  if (!ParseSlave(args[0], &slave)) return kUsage;
  Session s;
  if (int rc = Open(s)) return rc;
  Block last;
  int rc = kOk;
  for (long n = 0; opts->count < 0 || n < opts->count; ++n) {
    if (n > 0) std::this_thread::sleep_for(std::chrono::milliseconds(opts->intervalMs));
    const Block job = ReadJob(s, slave);
    if (ZEL_send(s.channel, ZEL_BLOCK_SIZE, job.data()) != 0) {
      Error("read %ld of slave %u was refused", n + 1, slave);
      rc = kNoResult;
      break;
    }
    Block result(ZEL_BLOCK_SIZE);
    if (!AwaitResult(s, result, "the read")) {
      Error("read %ld of slave %u: no result within %u ms", n + 1, slave, opts->timeoutMs);
      rc = kNoResult;
      break;
    }
    rc = ResultFailed(result) ? kJobError : kOk;
    const Block data(result.begin() + ZEL_OFS_DATA,
                     result.begin() + ZEL_OFS_DATA + static_cast<long>(DataLength(result)));
    const bool changed = n == 0 || data != last || rc != kOk;
    if (opts->json) {
      std::printf("{\"command\": \"watch\", \"read\": %ld, \"changed\": %s, \"result\": %s}\n",
                  n + 1, changed ? "true" : "false", ResultJson(result).c_str());
      std::fflush(stdout);
    } else if (changed) {
      std::printf("read %ld of slave %u: %s, %zu bytes\n", n + 1, slave,
                  rc == kOk ? "changed" : "ZEL_DPC1_ERROR", data.size());
      if (!data.empty()) HexDump(data.data(), data.size());
      std::fflush(stdout);
    }
    last = data;
  }
  Close(s);
  return rc;
}

int CmdDemo(const std::vector<std::string>& args) {
  if (!args.empty()) {
    Error("demo takes no arguments");
    return kUsage;
  }
  Session s;
  if (int rc = Open(s)) return rc;
  const uint8_t slave = 3;
  Block result(ZEL_BLOCK_SIZE);
  std::string json;
  std::string all = "[";
  int worst = kOk;
  auto step = [&](const Block& job, const char* title, const char* waiting, bool errorExpected) {
    const int rc = RunJob(s, job, title, waiting, result, &json);
    if (!(errorExpected && rc == kJobError) && rc > worst) worst = rc;
    all += (all.size() > 1 ? ", " : "") + json;
  };
  step(ReadJob(s, slave), "DPC1 read of slave 3", "the read", false);
  const char text[] = "Kalmorix was here";
  Info("(a write result comes after the slave has been read back, 3 s after the write)\n");
  step(WriteJob(s, slave, Block(text, text + sizeof text - 1)), "DPC1 write to slave 3",
       "the write's read-back", false);
  step(ReadJob(s, slave), "DPC1 read of slave 3 again", "the read", false);
  step(ReadJob(s, 99), "DPC1 read of slave 99, which does not answer", "the read", true);
  Info("(FDL results are collected when the channel has been idle for a second)\n");
  step(FdlJob(s, ZEL_FDL_SERVICE_11), "FDL service 11", "the FDL result", false);
  step(FdlJob(s, ZEL_FDL_SERVICE_26), "FDL service 26", "the FDL result", false);
  Block bad = NewJob(s, 0x29);
  const int32_t refused = ZEL_send(s.channel, ZEL_BLOCK_SIZE, bad.data());
  Info("a job with Subsystem 0x29 is refused: ZEL_send returned %d%s\n", refused,
       refused == ZEL_INVALID_SUBSYSTEM ? " (ZEL_INVALID_SUBSYSTEM)" : "");
  all += "]";
  EmitJson("demo", s, all);
  const int32_t channel = s.channel;
  Close(s);
  Info("channel %d closed\n", channel);
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  opts = &o;
  std::string command;
  std::vector<std::string> args;
  bool help = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](long long min, long long max, long long* out) {
      if (i + 1 >= argc || !ParseNumber(argv[i + 1], min, max, out)) {
        Error("%s needs a number from %lld to %lld", a.c_str(), min, max);
        return false;
      }
      ++i;
      return true;
    };
    long long v = 0;
    if (a == "-h" || a == "--help") {
      help = true;
    } else if (a == "-p" || a == "--processor") {
      if (i + 1 >= argc) {
        Error("%s needs a name", a.c_str());
        return kUsage;
      }
      o.processor = argv[++i];
    } else if (a == "--poll") {
      o.poll = true;
    } else if (a == "--json") {
      o.json = true;
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
    } else if (a.size() > 1 && a[0] == '-' && !(a.size() > 1 && a[1] >= '0' && a[1] <= '9')) {
      Error("unknown option %s (see zelcli --help)", a.c_str());
      return kUsage;
    } else if (command.empty()) {
      command = a;
    } else {
      args.push_back(a);
    }
  }
  if (command.empty()) {
    std::fputs(kUsageText, help ? stdout : stderr);
    return help ? kOk : kUsage;
  }
  const char* commandHelp = CommandHelp(command);
  if (!commandHelp) {
    Error("unknown command \"%s\" (see zelcli --help)", command.c_str());
    return kUsage;
  }
  if (help) {
    std::fputs(commandHelp, stdout);
    return kOk;
  }
  if (command == "errno") return CmdErrno(args);
  if (command == "read") return CmdRead(args);
  if (command == "write") return CmdWrite(args);
  if (command == "fdl") return CmdFdl(args);
  if (command == "watch") return CmdWatch(args);
  return CmdDemo(args);
}
