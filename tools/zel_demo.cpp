// zel_demo: one full job cycle through Kalmorix against whatever processor
// the DP master library provides (the stand-in processor by default).
//
//   zel_demo [processor] [slave]
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "message_window.h"
#include "zel.h"

namespace {

constexpr uint32_t kResultMessage = 0x8001;  // WM_APP + 1
uint16_t nextJobId = 100;

uint16_t U16(const uint8_t* b, int ofs) {
  return static_cast<uint16_t>(b[ofs] | (b[ofs + 1] << 8));
}
void PutU16(uint8_t* b, int ofs, uint16_t v) {
  b[ofs] = static_cast<uint8_t>(v);
  b[ofs + 1] = static_cast<uint8_t>(v >> 8);
}

double Seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}
double startTime = 0;

void Say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* fmt, ...) {
  std::printf("[%7.3f s] ", Seconds() - startTime);
  va_list ap;
  va_start(ap, fmt);
  std::vprintf(fmt, ap);
  va_end(ap);
  std::printf("\n");
  std::fflush(stdout);
}

void HexDump(const uint8_t* data, int length) {
  for (int row = 0; row < length; row += 16) {
    std::printf("      %04x  ", row);
    for (int i = row; i < row + 16; ++i) {
      if (i < length)
        std::printf("%02x ", data[i]);
      else
        std::printf("   ");
    }
    std::printf(" |");
    for (int i = row; i < row + 16 && i < length; ++i)
      std::printf("%c", data[i] >= 32 && data[i] < 127 ? data[i] : '.');
    std::printf("|\n");
  }
}

void PrintResult(const uint8_t* b) {
  const uint8_t subsystem = b[ZEL_OFS_SUBSYSTEM];
  const bool fdl = subsystem == ZEL_SUBSYSTEM_FDL;
  const uint16_t result = U16(b, ZEL_OFS_RESULT_CODE);
  const uint16_t length = U16(b, ZEL_OFS_DATA_LENGTH);
  std::printf("    JobId       %u\n", U16(b, ZEL_OFS_JOB_ID));
  std::printf("    Subsystem   0x%02x (%s)\n", subsystem, fdl ? "FDL" : "DPC1");
  if (fdl) {
    std::printf("    Operation   %u (FDL result)\n", b[ZEL_OFS_OPERATION]);
    std::printf("    FdlService  %u\n", U16(b, ZEL_OFS_FDL_SERVICE));
    std::printf("    ResultCode  0x%04x (from the companion library)\n", result);
  } else {
    std::printf("    Operation   '%c' (%s)\n", b[ZEL_OFS_OPERATION],
                b[ZEL_OFS_OPERATION] == ZEL_OPERATION_READ ? "read" : "write");
    std::printf("    ResultCode  %u (%s)\n", result,
                result == 0                ? "success"
                : result == ZEL_DPC1_ERROR ? "ZEL_DPC1_ERROR"
                                           : "?");
  }
  std::printf("    ResultFlag  %u   BlockTag 0x%02x   DataLimit %u\n", b[ZEL_OFS_RESULT_FLAG],
              b[ZEL_OFS_BLOCK_TAG], U16(b, ZEL_OFS_DATA_LIMIT));
  std::printf("    DataLength  %u\n", length);
  if (length > 0) HexDump(b + ZEL_OFS_DATA, length > ZEL_DATA_MAX ? ZEL_DATA_MAX : length);
}

// Waits for the channel's window message, then fetches the result.
bool AwaitResult(int32_t channel, plat::Window wnd, uint32_t timeoutMs, uint8_t* out) {
  plat::PostedMessage m;
  while (plat::MessageWindowNext(wnd, &m, timeoutMs)) {
    if (m.msg != kResultMessage) continue;
    Say("window message 0x%04x arrived (wParam %lu, lParam %ld)", m.msg,
        static_cast<unsigned long>(m.wParam), static_cast<long>(m.lParam));
    uint16_t length = 0;
    if (ZEL_receive(channel, 0, &length, 0, out) == 0 && length == ZEL_BLOCK_SIZE) return true;
    Say("ZEL_receive gave no result (length %u)", length);
  }
  return false;
}

uint8_t* NewJob(uint8_t* b, uint8_t subsystem) {
  std::memset(b, 0, ZEL_BLOCK_SIZE);
  PutU16(b, ZEL_OFS_JOB_ID, nextJobId++);
  b[ZEL_OFS_SUBSYSTEM] = subsystem;
  return b;
}

bool RunJob(const char* title, int32_t channel, plat::Window wnd, const uint8_t* job,
            uint32_t timeoutMs) {
  Say("%s: ZEL_send(JobId %u)", title, U16(job, ZEL_OFS_JOB_ID));
  const int32_t rc = ZEL_send(channel, ZEL_BLOCK_SIZE, job);
  if (rc != 0) {
    Say("  refused: ZEL_send returned %d", rc);
    return false;
  }
  uint8_t result[ZEL_BLOCK_SIZE];
  if (!AwaitResult(channel, wnd, timeoutMs, result)) {
    Say("  no result within %u ms", timeoutMs);
    return false;
  }
  Say("  result:");
  PrintResult(result);
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  startTime = Seconds();
  const char* processor = argc > 1 ? argv[1] : "VCP1";
  const uint8_t slave = static_cast<uint8_t>(argc > 2 ? std::atoi(argv[2]) : 3);

  Say("ZEL_open(\"%s\")", processor);
  const int32_t channel = ZEL_open(processor);
  if (channel < 0 || channel > 7) {
    Say("ZEL_open failed: %d (ZEL_get_errno %d)", channel, ZEL_get_errno());
    return 2;
  }
  Say("channel %d open", channel);

  plat::Window wnd = plat::MessageWindowCreate();
  const int32_t reg = SetTalvoHWndMsg(channel, wnd, kResultMessage);
  Say("SetTalvoHWndMsg(channel %d, window, 0x%04x) = %d", channel, kResultMessage, reg);

  uint8_t job[ZEL_BLOCK_SIZE];
  bool ok = true;

  // What the slave holds before the write.
  NewJob(job, ZEL_SUBSYSTEM_DPC1);
  job[ZEL_OFS_OPERATION] = ZEL_OPERATION_READ;
  job[ZEL_OFS_SLAVE_ADDRESS] = slave;
  char title[64];
  std::snprintf(title, sizeof title, "DPC1 read of slave %u", slave);
  ok &= RunJob(title, channel, wnd, job, 5000);

  // A DPC1 write is finished only after the slave's data were read back,
  // three seconds after the write was confirmed.
  NewJob(job, ZEL_SUBSYSTEM_DPC1);
  job[ZEL_OFS_OPERATION] = ZEL_OPERATION_WRITE;
  job[ZEL_OFS_SLAVE_ADDRESS] = slave;
  job[ZEL_OFS_DPC1_PARAM1] = slave;
  const char text[] = "Kalmorix was here";
  PutU16(job, ZEL_OFS_DATA_LENGTH, sizeof text - 1);
  std::memcpy(job + ZEL_OFS_DATA, text, sizeof text - 1);
  std::snprintf(title, sizeof title, "DPC1 write of %zu bytes to slave %u", sizeof text - 1, slave);
  Say("(a write result comes after the 3 s read-back pause)");
  ok &= RunJob(title, channel, wnd, job, 10000);

  NewJob(job, ZEL_SUBSYSTEM_DPC1);
  job[ZEL_OFS_OPERATION] = ZEL_OPERATION_READ;
  job[ZEL_OFS_SLAVE_ADDRESS] = slave;
  std::snprintf(title, sizeof title, "DPC1 read of slave %u again", slave);
  ok &= RunJob(title, channel, wnd, job, 5000);

  // A slave that does not answer: the job ends with ZEL_DPC1_ERROR.
  NewJob(job, ZEL_SUBSYSTEM_DPC1);
  job[ZEL_OFS_OPERATION] = ZEL_OPERATION_READ;
  job[ZEL_OFS_SLAVE_ADDRESS] = 99;
  ok &= RunJob("DPC1 read of slave 99, which does not answer", channel, wnd, job, 5000);

  // FDL results are collected when the worker's 1000 ms wait runs out.
  for (uint16_t service : {uint16_t{ZEL_FDL_SERVICE_11}, uint16_t{ZEL_FDL_SERVICE_26}}) {
    NewJob(job, ZEL_SUBSYSTEM_FDL);
    PutU16(job, ZEL_OFS_FDL_SERVICE, service);
    std::snprintf(title, sizeof title, "FDL service %u", service);
    if (!RunJob(title, channel, wnd, job, 5000)) Say("  (FDL needs the companion library ky_dll)");
  }

  NewJob(job, 0x29);
  Say("a job with Subsystem 0x29 is refused: ZEL_send returned %d (ZEL_INVALID_SUBSYSTEM)",
      ZEL_send(channel, ZEL_BLOCK_SIZE, job));
  Say("ZEL_send on channel 9 is refused: %d", ZEL_send(9, ZEL_BLOCK_SIZE, job));

  const int32_t closed = ZEL_close(channel);
  Say("ZEL_close(%d) = %d", channel, closed);
  plat::MessageWindowDestroy(wnd);
  return ok && closed == 0 ? 0 : 1;
}
