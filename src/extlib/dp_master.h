// Call interface of the DP master library. On Windows the module imports these
// by ordinal only (dp_master_import.def); the names are ours. On POSIX the
// library exports them by name.
#pragma once

#include <cstdint>

#include "../platform/platform.h"

#if defined(_WIN32) && !defined(DPM_BUILDING_LIBRARY)
#define DPM_API extern "C" __declspec(dllimport)
#elif defined(_WIN32)
#define DPM_API extern "C"
#else
#define DPM_API extern "C" __attribute__((visibility("default")))
#endif

// Error record filled through the last argument of most operations.
struct DpError {
  uint32_t ErrClass;  // 0: done without error; 1: accepted, a confirmation follows
  uint32_t ErrCode;
  uint16_t ErrDetail;
  uint8_t ErrDetail2;
  uint8_t Reserved;
};
static_assert(sizeof(DpError) == 12, "DpError is a 12-byte wire record");

constexpr uint32_t kErrClassDone = 0;
constexpr uint32_t kErrClassAccepted = 1;

// Confirmation kinds delivered by FetchConfirmation.
constexpr uint16_t kCnfKindRead = 7;
constexpr uint16_t kCnfKindWrite = 8;

DPM_API int32_t KX_STDCALL CpPrepare(const char* cpName, uint32_t zero, DpError* err);  // @1
DPM_API int32_t KX_STDCALL CpRelease(const char* cpName, DpError* err);                 // @2
DPM_API int32_t KX_STDCALL OpenDpHandle(const char* cpName, int32_t* handle,
                                        DpError* err);              // @3
DPM_API int32_t KX_STDCALL DP_close(int32_t handle, DpError* err);  // @4
DPM_API int32_t KX_STDCALL FetchConfirmation(int32_t handle, uint32_t timeout, uint16_t* kind,
                                             void* record, DpError* err);  // @14
DPM_API int32_t KX_STDCALL SlaveLookup(int32_t handle, uint32_t slaveAddress, uint32_t* slaveRef,
                                       DpError* err);  // @15
DPM_API int32_t KX_STDCALL DP_init_sema_object(int32_t handle, uint32_t mode, plat::Handle* signal,
                                               DpError* err);  // @17
DPM_API int32_t KX_STDCALL FreeSemaObject(int32_t handle, plat::Handle signal,
                                          DpError* err);  // @18
DPM_API int32_t KX_STDCALL TraceMessage(const char* text, uint32_t a, uint32_t b, uint32_t c,
                                        uint32_t d);                               // @26
DPM_API int32_t KX_STDCALL Dpc1Read(int32_t handle, void* record, DpError* err);   // @50
DPM_API int32_t KX_STDCALL Dpc1Write(int32_t handle, void* record, DpError* err);  // @54
