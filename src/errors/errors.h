// The interface's codes and the mapping of the system's last error to them.
#pragma once

#include <cstdint>

#include "zel.h"

// Interface code for a system last-error value (Windows numbering).
uint16_t InterfaceErrorMap(uint32_t lastError);
