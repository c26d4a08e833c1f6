// The daemon's dashboard: a page served over HTTP that shows the plant as it
// runs and changes it through the same functions as the control requests.
#pragma once

#include <cstdint>
#include <string>

namespace dpsim::dashboard {

// False, with the reason, when this build of the daemon has no dashboard.
bool Available(std::string* why);

// Serves the dashboard on host:port (port 0: any free one) from threads of
// its own. Off loopback only with `anyAddress`. The URL to open, with the
// run's token, goes to *url.
bool Start(const std::string& host, uint16_t port, bool anyAddress, std::string* url,
           std::string* why);

// Ends every view and request; waits for the dashboard's threads. Nothing
// when it was not started.
void Stop();

}  // namespace dpsim::dashboard
