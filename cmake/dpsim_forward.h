/* dpsim.h is installed beside zel.h; this is its former place. */
#include "../dpsim.h"
