// The dashboard where the daemon is built without an HTTP library (the
// Windows build): --http says so instead of doing nothing.
#include "dashboard.h"

namespace dpsim::dashboard {

bool Available(std::string* why) {
  *why = "the dashboard is not available in this build of dpsim (built without an HTTP library)";
  return false;
}

bool Start(const std::string&, uint16_t, bool, std::string*, std::string* why) {
  return Available(why);
}

void Stop() {}

}  // namespace dpsim::dashboard
