/* The smallest complete Kalmorix application, in plain C with only zel.h:
 * open a channel, ask for a window message, submit a DPC1 read, wait for the
 * message, fetch and print the result, close.
 *
 * On Windows the message goes to a message-only window; elsewhere there is
 * no window system, so the program polls ZEL_receive instead.
 *
 *   zel_example [processor] [slave]      (defaults: VCP1 3) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zel.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

#define RESULT_MESSAGE (0x8000 + 1) /* WM_APP + 1 */

static unsigned U16(const uint8_t* b, int ofs) { return (unsigned)(b[ofs] | (b[ofs + 1] << 8)); }

/* Waits up to `ms` for the result; 1 when it was fetched into `result`. */
static int WaitForResult(int32_t channel, void* wnd, unsigned ms, uint8_t* result) {
  uint16_t length = 0;
#if defined(_WIN32)
  UINT_PTR timer = SetTimer((HWND)wnd, 1, ms, NULL);
  MSG msg;
  int got = 0;
  while (!got && GetMessageA(&msg, (HWND)wnd, 0, 0) > 0) {
    if (msg.message == WM_TIMER) break; /* time is up */
    if (msg.message == RESULT_MESSAGE) {
      got = ZEL_receive(channel, 0, &length, 0, result) == 0 && length == ZEL_BLOCK_SIZE;
    }
  }
  KillTimer((HWND)wnd, timer);
  return got;
#else
  struct timespec tick = {0, 10 * 1000 * 1000};
  (void)wnd;
  for (unsigned waited = 0; waited < ms; waited += 10) {
    if (ZEL_receive(channel, 0, &length, 0, result) == 0 && length == ZEL_BLOCK_SIZE) return 1;
    nanosleep(&tick, NULL);
  }
  return 0;
#endif
}

int main(int argc, char** argv) {
  const char* processor = argc > 1 ? argv[1] : "VCP1";
  const int slave = argc > 2 ? atoi(argv[2]) : 3;
  uint8_t job[ZEL_BLOCK_SIZE];
  uint8_t result[ZEL_BLOCK_SIZE];
  void* wnd = NULL;
  int32_t channel;
  int ok;

  channel = ZEL_open(processor);
  if (channel < 0 || channel > 7) {
    printf("ZEL_open(\"%s\") failed: %d, ZEL_get_errno %d\n", processor, (int)channel,
           (int)ZEL_get_errno());
    return 2;
  }
  printf("channel %d open on %s\n", (int)channel, processor);

#if defined(_WIN32)
  wnd = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
  if (SetTalvoHWndMsg(channel, wnd, RESULT_MESSAGE) != 0) printf("SetTalvoHWndMsg failed\n");
#endif

  memset(job, 0, sizeof job);
  job[ZEL_OFS_JOB_ID] = 42; /* JobId 42, little-endian */
  job[ZEL_OFS_SUBSYSTEM] = ZEL_SUBSYSTEM_DPC1;
  job[ZEL_OFS_OPERATION] = ZEL_OPERATION_READ;
  job[ZEL_OFS_SLAVE_ADDRESS] = (uint8_t)slave;
  if (ZEL_send(channel, ZEL_BLOCK_SIZE, job) != 0) {
    printf("ZEL_send refused the job\n");
    ZEL_close(channel);
    return 4;
  }

  ok = WaitForResult(channel, wnd, 5000, result);
  if (ok) {
    unsigned n = U16(result, ZEL_OFS_DATA_LENGTH), i;
    printf("result of job %u: ResultCode %u, %u bytes:", U16(result, ZEL_OFS_JOB_ID),
           U16(result, ZEL_OFS_RESULT_CODE), n);
    for (i = 0; i < n && i < ZEL_DATA_MAX; ++i) printf(" %02x", result[ZEL_OFS_DATA + i]);
    printf("\n");
  } else {
    printf("no result within 5 s\n");
  }
  if (ZEL_close(channel) != 0) printf("ZEL_close failed\n");
#if defined(_WIN32)
  DestroyWindow((HWND)wnd);
#endif
  return ok && U16(result, ZEL_OFS_RESULT_CODE) == 0 ? 0 : 1;
}
