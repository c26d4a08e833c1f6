/* Kalmorix: the ZEL_ job interface on a PROFIBUS communications processor.
 *
 * An application opens a channel on a named processor, hands in 340-byte job
 * blocks with ZEL_send and fetches 340-byte result blocks with ZEL_receive,
 * polling or after the window message registered with SetTalvoHWndMsg.
 * Usable from C and C++. */
#ifndef KALMORIX_ZEL_H
#define KALMORIX_ZEL_H

#include <stdint.h>

#include "kalmorix_version.h" /* KALMORIX_VERSION_MAJOR, _MINOR, _PATCH, _TEXT */

#if defined(_WIN32)
#define ZEL_CALL __stdcall
#if defined(KALMORIX_BUILDING_DLL)
#define ZEL_API
#else
#define ZEL_API __declspec(dllimport)
#endif
#else
#define ZEL_CALL
#define ZEL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Return codes ------------------------------------------------------ */
#define ZEL_OK 0
#define ZEL_FAILED (-1)             /* bad argument, channel not open, refused job */
#define ZEL_NO_DEVICE_AVAILABLE 244 /* ZEL_open failed */
#define ZEL_INVALID_SUBSYSTEM 245   /* ZEL_send: Subsystem neither DPC1 nor FDL */
#define ZEL_CLOSE_FAILED 251        /* ZEL_close failed */

/* ResultCode of a DPC1 result that failed in the DP master library. */
#define ZEL_DPC1_ERROR 22

/* Codes of ZEL_get_errno. */
#define ZEL_NO_RESOURCES 202
#define ZEL_TOO_MANY_OPEN 203
#define ZEL_GENERAL_ERROR 205
#define ZEL_NOT_FOUND 206
#define ZEL_ACCESS_REFUSED 209
#define ZEL_DATA_ERROR 215
#define ZEL_NO_MEMORY 216
#define ZEL_TIMEOUT 219
#define ZEL_BAD_ADDRESS 234
#define ZEL_BUSY 65531

/* ---- Job and result block ---------------------------------------------
 * 340 bytes, little-endian, byte-packed; 16-bit fields may be unaligned, so
 * read and write them byte by byte (or with memcpy on a little-endian CPU). */
#define ZEL_BLOCK_SIZE 340
#define ZEL_DATA_MAX 260      /* bytes of Data */
#define ZEL_DPC1_DATA_MAX 240 /* bytes a DPC1 job reads or writes */

/* Offsets of the fields. */
#define ZEL_OFS_BLOCK_TAG 4        /* u8: 0x50 in blocks the module fills */
#define ZEL_OFS_JOB_ID 5           /* u16: the application's job number */
#define ZEL_OFS_LAYER_TAG 7        /* u8: 2 in FDL results */
#define ZEL_OFS_RESULT_FLAG 8      /* u8: 1 in results */
#define ZEL_OFS_SUBSYSTEM 12       /* u8: ZEL_SUBSYSTEM_DPC1 or ZEL_SUBSYSTEM_FDL */
#define ZEL_OFS_OPERATION 13       /* u8: DPC1 '0' read, '1' write; FDL results 1 */
#define ZEL_OFS_RESULT_CODE 14     /* u16: 0, ZEL_DPC1_ERROR, or the FDL result */
#define ZEL_OFS_DATA_LENGTH 16     /* u16: bytes in Data */
#define ZEL_OFS_DATA_LIMIT 19      /* u16: 240 in results */
#define ZEL_OFS_DATA_OFFSET 21     /* u16: 80 in FDL results */
#define ZEL_OFS_FDL_DONE_FLAG 34   /* u8: 1 in FDL results */
#define ZEL_OFS_SLAVE_ADDRESS 38   /* u8: DPC1 jobs, address of the DP slave */
#define ZEL_OFS_FDL_SERVICE 38     /* u16: FDL jobs, service 11 or 26 */
#define ZEL_OFS_DPC1_PARAM1 39     /* u8: DPC1 write jobs */
#define ZEL_OFS_DPC1_PARAM2 40     /* u8: DPC1 write jobs */
#define ZEL_OFS_DPC1_PARAM3 41     /* u16: DPC1 write jobs */
#define ZEL_OFS_FDL_LENGTH_BYTE 52 /* u8: FDL results, low byte of DataLength */
#define ZEL_OFS_FDL_WORD60 60      /* u16: FDL results, from the companion */
#define ZEL_OFS_DATA 80            /* Data, ZEL_DATA_MAX bytes */

#define ZEL_SUBSYSTEM_DPC1 0x28  /* '(' */
#define ZEL_SUBSYSTEM_FDL 0x22   /* '"' */
#define ZEL_OPERATION_READ 0x30  /* '0' */
#define ZEL_OPERATION_WRITE 0x31 /* '1' */
#define ZEL_FDL_SERVICE_11 11
#define ZEL_FDL_SERVICE_26 26
#define ZEL_BLOCK_TAG 0x50

typedef struct ZEL_BLOCK {
  uint8_t bytes[ZEL_BLOCK_SIZE];
} ZEL_BLOCK;

/* ---- Operations -------------------------------------------------------
 * Handles are the channel numbers 0 to 7 that ZEL_open returns. */

/* Opens a channel on the named processor (at most 63 characters).
 * Returns the channel handle 0..7, or ZEL_NO_DEVICE_AVAILABLE. */
ZEL_API int32_t ZEL_CALL ZEL_open(const char* cpName);

/* Stops the channel's worker and closes it. 0, or ZEL_CLOSE_FAILED. */
ZEL_API int32_t ZEL_CALL ZEL_close(int32_t handle);

/* Submits the job in `block` (340 bytes); `length` must be non-zero.
 * 0: submitted (or a DPC1 operation / FDL service that is not converted);
 * -1: refused (also a null `block`, or an FDL job on a channel whose
 * companion library could not be activated); ZEL_INVALID_SUBSYSTEM. */
ZEL_API int32_t ZEL_CALL ZEL_send(int32_t handle, uint16_t length, const void* block);

/* Fetches the stored result, if any, into `block` (340 bytes); *length
 * becomes 340 when a result was written, else 0. `unused1` and `unused2` are
 * not looked at. 0, or -1 for a handle that is not an open channel or a null
 * `length` or `block`. */
ZEL_API int32_t ZEL_CALL ZEL_receive(int32_t handle, uint32_t unused1, uint16_t* length,
                                     uint32_t unused2, void* block);

/* Accepted for compatibility; does nothing and returns 0. */
ZEL_API int32_t ZEL_CALL SetTalvoHWnd(void* wnd);

/* Registers the window `wnd` and message `msgId` (not 0, not 0xFFFFFFFF):
 * the message is posted with wParam 0 and lParam 0 once for each result that
 * becomes ready on the channel. 0, or -1. */
ZEL_API int32_t ZEL_CALL SetTalvoHWndMsg(int32_t handle, void* wnd, uint32_t msgId);

/* The interface code for the calling thread's last system error. */
ZEL_API int32_t ZEL_CALL ZEL_get_errno(void);

#ifdef __cplusplus
}
#endif

#endif /* KALMORIX_ZEL_H */
