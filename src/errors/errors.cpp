#include "errors.h"

#include "../platform/platform.h"

uint16_t InterfaceErrorMap(uint32_t lastError) {
  switch (lastError) {
    case 0:  // ERROR_SUCCESS
      return 0;
    case 2:  // ERROR_FILE_NOT_FOUND
    case 3:  // ERROR_PATH_NOT_FOUND
      return ZEL_NOT_FOUND;
    case 4:  // ERROR_TOO_MANY_OPEN_FILES
      return ZEL_TOO_MANY_OPEN;
    case 5:  // ERROR_ACCESS_DENIED
    case 6:  // ERROR_INVALID_HANDLE
    case 9:  // ERROR_INVALID_BLOCK
      return ZEL_ACCESS_REFUSED;
    case 8:  // ERROR_NOT_ENOUGH_MEMORY
      return ZEL_NO_MEMORY;
    case 11:           // ERROR_BAD_FORMAT
    case 122:          // ERROR_INSUFFICIENT_BUFFER
    case 234:          // ERROR_MORE_DATA
    case 1450:         // ERROR_NO_SYSTEM_RESOURCES
    case 0xC0000017u:  // the system's no-memory status
      return ZEL_NO_RESOURCES;
    case 23:   // ERROR_CRC
    case 259:  // ERROR_NO_MORE_ITEMS
      return ZEL_DATA_ERROR;
    case 170:  // ERROR_BUSY
      return ZEL_BUSY;
    case 258:  // WAIT_TIMEOUT
      return ZEL_TIMEOUT;
    case 998:          // ERROR_NOACCESS
    case 0xA0000001u:  // a bad address reported by the processor's driver
      return ZEL_BAD_ADDRESS;
    default:
      return ZEL_GENERAL_ERROR;
  }
}

extern "C" ZEL_API int32_t ZEL_CALL ZEL_get_errno(void) {
  // Widened without sign extension: ZEL_BUSY arrives as 65531.
  return static_cast<int32_t>(InterfaceErrorMap(plat::LastErrorGet()));
}
