// Call interface of the FDL companion library, loaded at run time by name.
// Its entry points carry the same names and forms as the module's own exports.
#pragma once

#include <cstdint>

#include "../platform/platform.h"

constexpr const char* kFdlLibraryName = "ky_dll";

using FdlOpenFn = int32_t(KX_STDCALL*)(const char* cpName);
using FdlCloseFn = int32_t(KX_STDCALL*)(int32_t fdlHandle);
using FdlSendFn = int32_t(KX_STDCALL*)(int32_t fdlHandle, uint16_t length, const void* block);
using FdlReceiveFn = int32_t(KX_STDCALL*)(int32_t fdlHandle, uint32_t unused, uint16_t* length,
                                          uint32_t size, void* block);

constexpr int32_t kFdlOpenFailed = -1;
