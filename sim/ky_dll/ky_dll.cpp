// The FDL companion library: four entry points that forward to the virtual
// processor in dpmaster, where the shared state and the call log live. Test
// variants leave one entry point out (KYDLL_OMIT_OPEN, ..._CLOSE, ..._SEND,
// ..._RECEIVE).
#include <cstdint>

#include "../../src/platform/platform.h"
#include "dpsim_private.h"

#if defined(_WIN32)
#define KYDLL_EXPORT extern "C"  // exported through the module-definition file
#else
#define KYDLL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#if !defined(KYDLL_OMIT_OPEN)
KYDLL_EXPORT int32_t KX_STDCALL ZEL_open(const char* cpName) { return DpSimFdl_Open(cpName); }
#endif

#if !defined(KYDLL_OMIT_CLOSE)
KYDLL_EXPORT int32_t KX_STDCALL ZEL_close(int32_t fdlHandle) { return DpSimFdl_Close(fdlHandle); }
#endif

#if !defined(KYDLL_OMIT_SEND)
KYDLL_EXPORT int32_t KX_STDCALL ZEL_send(int32_t fdlHandle, uint16_t length, const void* block) {
  return DpSimFdl_Send(fdlHandle, length, block);
}
#endif

#if !defined(KYDLL_OMIT_RECEIVE)
KYDLL_EXPORT int32_t KX_STDCALL ZEL_receive(int32_t fdlHandle, uint32_t unused, uint16_t* length,
                                            uint32_t size, void* block) {
  return DpSimFdl_Receive(fdlHandle, unused, length, size, block);
}
#endif

// Loaded instances are counted in dpmaster; counting only, which is safe
// under the loader's lock.
#if defined(_WIN32)
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DpSimFdl_LibraryLoaded(1);
  if (reason == DLL_PROCESS_DETACH) DpSimFdl_LibraryLoaded(-1);
  return TRUE;
}
#else
__attribute__((constructor)) static void KyDllLoaded() { DpSimFdl_LibraryLoaded(1); }
__attribute__((destructor)) static void KyDllUnloaded() { DpSimFdl_LibraryLoaded(-1); }
#endif
