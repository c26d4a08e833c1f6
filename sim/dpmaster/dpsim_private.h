/* Entry points of dpmaster that only the stand-in's own parts use: the FDL
 * side, reached through the thin companion library ky_dll, and a hook that
 * lets the stand-in's tests load a configuration text. Not for applications. */
#ifndef DPSIM_PRIVATE_H
#define DPSIM_PRIVATE_H

#include <stdint.h>

#include "dpsim.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The companion's ZEL_open, ZEL_close, ZEL_send and ZEL_receive. */
DPSIM_API int32_t DpSimFdl_Open(const char* cpName);
DPSIM_API int32_t DpSimFdl_Close(int32_t fdlHandle);
DPSIM_API int32_t DpSimFdl_Send(int32_t fdlHandle, uint16_t length, const void* block);
DPSIM_API int32_t DpSimFdl_Receive(int32_t fdlHandle, uint32_t unused, uint16_t* length,
                                   uint32_t size, void* block);

/* A companion library instance was loaded (+1) or unloaded (-1). Safe to call
 * from a loader callback: it only counts. */
DPSIM_API void DpSimFdl_LibraryLoaded(int delta);

/* Replaces the configuration with `text` (the configuration file's format;
 * NULL: the built-in default), environment overrides applied on top, then
 * resets as DpSim_Reset does. Returns the number of rejected lines; their
 * diagnostics go to `diag` (NUL-terminated, truncated to diagSize). */
DPSIM_API int DpSimCfg_Apply(const char* text, char* diag, uint32_t diagSize);

/* Bus time in microseconds that the current configuration gives a DPC1 job
 * (write: 1, read: 0) moving `dataLen` bytes; the baud-rate computation,
 * whatever delay override is in force. */
DPSIM_API uint32_t DpSimCfg_Dpc1BusTimeUs(int write, uint32_t dataLen);

#ifdef __cplusplus
}
#endif

#endif /* DPSIM_PRIVATE_H */
