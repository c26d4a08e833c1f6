// Module entry: the loader attaches and detaches the module.
#include "channel.h"

#if defined(_WIN32)
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) ModuleAttach();
  if (reason == DLL_PROCESS_DETACH) ModuleDetach();
  return TRUE;
}
#else
__attribute__((constructor)) static void KalmorixAttach() { ModuleAttach(); }
__attribute__((destructor)) static void KalmorixDetach() { ModuleDetach(); }
#endif
