/* Linked the way an MSVC application is (lld-link, Kalmorix.lib, no C
 * runtime). The call goes through the import by name with the standard
 * calling convention: a wrong binding fails at load time, a wrong convention
 * unbalances the stack. */
#include "zel.h"

int __stdcall probe_entry(void) {
  return ZEL_open(0) == ZEL_NO_DEVICE_AVAILABLE && ZEL_close(9) == ZEL_CLOSE_FAILED ? 0 : 1;
}
