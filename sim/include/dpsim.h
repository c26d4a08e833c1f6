/* Control interface of the stand-in processor: the virtual DP master library
 * (dpmaster) and its FDL companion (ky_dll). Applications run against it
 * without hardware; tests script its outcomes and read its call log.
 *
 * Exported by name (cdecl) from dpmaster. Plain C, fixed-size records only,
 * so that callers built with another runtime can use it. */
#ifndef DPSIM_H
#define DPSIM_H

#include <stdint.h>

#if defined(_WIN32) && !defined(DPM_BUILDING_LIBRARY)
#define DPSIM_API __declspec(dllimport)
#elif defined(_WIN32)
#define DPSIM_API
#else
#define DPSIM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Outcomes that can be scripted with DpSim_Script. */
enum DpSimScript {
  DPSIM_OPEN_ERRCLASS = 1, /* ErrClass that OpenDpHandle leaves (0: opened) */
  DPSIM_CLOSE_RESULT,      /* return value of DP_close (0: closed) */
  DPSIM_CLOSE_ERRCLASS,    /* ErrClass that DP_close leaves */
  DPSIM_INITSEMA_RESULT,   /* return value of DP_init_sema_object (0: success) */
  DPSIM_SUBMIT_ERRCLASS,   /* ErrClass that Dpc1Read and Dpc1Write leave (1: accepted) */
  DPSIM_FDL_OPEN_RESULT,   /* result of the companion's ZEL_open (-1: failure) */
  DPSIM_FDL_SEND_RESULT,   /* result of the companion's ZEL_send (0: accepted) */
  DPSIM_FDL_CLOSE_RESULT,  /* result of the companion's ZEL_close (0: closed) */
  DPSIM_FETCH_STALL_MS,    /* FetchConfirmation first waits this long (a hung library) */
  DPSIM_SCRIPT_COUNT
};

/* The next `times` calls give `value` instead of their normal outcome
 * (`times` < 0: every call until DpSim_Reset). A scripted refusal of a
 * submission queues no confirmation. */
DPSIM_API void DpSim_Script(int what, int32_t value, int32_t times);

/* Back to the state after loading: scripts, queued confirmations and FDL
 * results, call log and slave data reset to the configuration; automatic
 * confirmation on; stamping, delay range and random faults off. Open
 * handles stay valid. */
DPSIM_API void DpSim_Reset(void);

/* When off, submissions are logged and accepted but confirm nothing; tests
 * then inject every confirmation by hand. */
DPSIM_API void DpSim_SetAutoConfirm(int on);

/* Delay from a submission to its confirmation, in microseconds; replaces the
 * delay computed from the baud rate. (uint32_t)-1 returns to the computed one. */
DPSIM_API void DpSim_SetDelayUs(uint32_t delayUs);

/* Where TraceMessage lines go: "stderr", "off" or a file path (appended). */
DPSIM_API void DpSim_SetTrace(const char* target);

/* Queues a DPC1 confirmation on an open DP handle and signals its waitable
 * object. `record` is 262 bytes, `error` 12 bytes (either may be NULL: zeros).
 * Returns 0, or -1 for an unknown handle. */
DPSIM_API int DpSim_InjectConfirmation(int32_t dpHandle, uint16_t kind, const void* record,
                                       const void* error);

/* Queues a result for the companion's ZEL_receive on an FDL handle: the call
 * returns `result`, sets the received length to `length` and copies the 340
 * bytes of `block`. Returns 0, or -1 for an unknown handle. */
DPSIM_API int DpSim_InjectFdlResult(int32_t fdlHandle, const void* block, uint16_t length,
                                    int32_t result);

/* Slave data of the virtual processor `cpName` (created when unknown).
 * At most 240 bytes. A slave with `len` 0 answers with no data; a removed
 * slave does not answer at all. */
DPSIM_API int DpSim_SetSlave(const char* cpName, uint8_t address, const void* data, uint32_t len);
DPSIM_API int DpSim_RemoveSlave(const char* cpName, uint8_t address);
/* Copies at most 240 bytes; returns the length, or -1 when there is no such slave. */
DPSIM_API int DpSim_GetSlave(const char* cpName, uint8_t address, void* data);

/* Handles of the most recent successful OpenDpHandle and companion ZEL_open
 * (-1: none yet). */
DPSIM_API int32_t DpSim_LastDpHandle(void);
DPSIM_API int32_t DpSim_LastFdlHandle(void);
/* Number of DP handles and FDL handles currently open. */
DPSIM_API int DpSim_OpenDpHandles(void);
DPSIM_API int DpSim_OpenFdlHandles(void);
/* Number of companion library instances currently loaded in the process. */
DPSIM_API int DpSim_FdlLibrariesLoaded(void);
/* Waitable objects handed out by DP_init_sema_object and not yet freed. */
DPSIM_API int DpSim_SignalsOutstanding(void);
/* Confirmations queued on a DP handle and not yet fetched (-1: unknown handle). */
DPSIM_API int DpSim_PendingConfirmations(int32_t dpHandle);

/* ---- Stamps, random delays and random faults ----------------------------
 * For long concurrent runs: every confirmation and FDL result identifiable,
 * delivery at random times, faults at random. All of it is off after
 * loading and after DpSim_Reset, and safe to change from any thread. */

/* When on, the data of every read confirmation of a slave that answers (the
 * module's read-backs included) and of every FDL result of service 11 or 26
 * is a stamp instead of the slave's data or the processor's status. Asked
 * for fewer than DPSIM_STAMP_MIN bytes, the data stay as they would be. */
DPSIM_API void DpSim_SetStamping(int on);

/* A stamp is DPSIM_STAMP_MIN to 260 bytes (at most what the request allows,
 * its length drawn at random): a header (little-endian)
 *   0 magic 0xA7 0x5D   2 length (u16)   4 handle (i32)   8 seq (u16)
 *  10 kind (u16)       12 counter (u32) 16 lib (u8)
 * followed by a pattern that depends on every header byte (see
 * DpSim_StampCheck), so a cut, torn or mixed stamp does not check. */
#define DPSIM_STAMP_HEADER 17
#define DPSIM_STAMP_MIN 24
#define DPSIM_STAMP_MAX 260

typedef struct DpSimStamp {
  int32_t lib;      /* DPSIM_LIB_DPMASTER: DPC1 confirmation; DPSIM_LIB_FDL: FDL result */
  int32_t handle;   /* the DP or FDL handle it was queued on */
  uint16_t seq;     /* SeqNo of the confirmation's record / JobId of the FDL block */
  uint16_t kind;    /* confirmation kind / FDL service */
  uint32_t counter; /* 1, 2, 3, ... for the life of the process: no two stamps alike */
  uint32_t length;  /* bytes of the stamp, header included */
} DpSimStamp;

/* 0 when the `len` bytes at `data` are exactly one intact stamp (then *out,
 * if given, describes it); -1 otherwise. */
DPSIM_API int DpSim_StampCheck(const void* data, uint32_t len, DpSimStamp* out);

/* Number of stamps made so far in the process. */
DPSIM_API uint32_t DpSim_StampCount(void);

/* Each job's delay drawn at random from minUs..maxUs (at most 60 s); a
 * handle's confirmations still come in the order of submission. Replaces
 * the delay of DpSim_SetDelayUs, which in turn ends the range. 0, or -1 for
 * a range out of bounds (nothing changes). */
DPSIM_API int DpSim_SetDelayRangeUs(uint32_t minUs, uint32_t maxUs);

/* Faults that the stand-in injects at random. */
enum DpSimFault {
  DPSIM_FAULT_LATE = 1,     /* DPC1: an extra read confirmation with an older SeqNo */
  DPSIM_FAULT_UNKNOWN_KIND, /* DPC1: an extra confirmation of a kind neither 7 nor 8 */
  DPSIM_FAULT_REFUSE,       /* Dpc1Read/Dpc1Write refused: ErrClass 2, ErrCode 0x06 */
  DPSIM_FAULT_FDL_REFUSE,   /* the companion's ZEL_send refused with -3 */
  DPSIM_FAULT_FDL_FOREIGN,  /* FDL: an extra result block with an older JobId */
  DPSIM_FAULT_COUNT
};

/* Each submission (Dpc1Read, Dpc1Write, the companion's ZEL_send) meets fault
 * `what` with probability perMillion / 1000000 (0: never). */
DPSIM_API void DpSim_SetFault(int what, uint32_t perMillion);
/* Seed of the stand-in's random numbers (delays, faults, stamp lengths). */
DPSIM_API void DpSim_SetRandomSeed(uint32_t seed);
/* Faults of kind `what` injected since the last reset: on every handle
 * (`handle` -1), or on the one DP handle (LATE, UNKNOWN_KIND, REFUSE) or FDL
 * handle (FDL_REFUSE, FDL_FOREIGN). */
DPSIM_API uint32_t DpSim_FaultCount(int what, int32_t handle);
/* FDL results queued on an FDL handle and not yet received, including those
 * still on the bus (-1: unknown handle). */
DPSIM_API int DpSim_PendingFdlResults(int32_t fdlHandle);

/* One logged call. */
enum DpSimLib { DPSIM_LIB_DPMASTER = 0, DPSIM_LIB_FDL = 1 };
#define DPSIM_DATA_MAX 340
#define DPSIM_TEXT_MAX 256

typedef struct DpSimCall {
  uint32_t seq;      /* 0, 1, 2, ... since the last reset or clear */
  int32_t lib;       /* enum DpSimLib */
  char op[32];       /* "CpPrepare", "Dpc1Read", ... ; the companion's: "ZEL_open", ... */
  int64_t args[6];   /* integer arguments in order (pointers: 0 if null, else 1) */
  int32_t result;    /* the value returned */
  uint32_t errClass; /* ErrClass left in the DpError, where there is one */
  uint32_t dataLen;  /* bytes in data */
  uint8_t data[DPSIM_DATA_MAX]; /* record or block passed in (submissions, FdlSend)
                                   or handed out (FetchConfirmation, FdlReceive) */
  char text[DPSIM_TEXT_MAX];    /* processor name, or the trace text */
  uint64_t timeUs;              /* monotonic time of the call, microseconds */
  uint64_t threadId;            /* calling thread */
} DpSimCall;

DPSIM_API uint32_t DpSim_LogCount(void);
/* Copies entry `index`; returns 0, or -1 when there is no such entry. */
DPSIM_API int DpSim_LogGet(uint32_t index, DpSimCall* out);
DPSIM_API void DpSim_LogClear(void);
/* Monotonic clock of the log, microseconds. */
DPSIM_API uint64_t DpSim_NowUs(void);
/* 0: calls are no longer logged (and cost no formatting), for benchmarks;
 * 1 (the default, and after DpSim_Reset): logged again. */
DPSIM_API void DpSim_SetLogging(int on);

#ifdef __cplusplus
}
#endif

#endif /* DPSIM_H */
