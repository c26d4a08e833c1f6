// The daemon: one virtual bus shared by every program that connects.
#pragma once

#include <string>

namespace dpsim::server {

struct Options {
  std::string listen;       // host:port; "" for DPSIM_SERVER or the default
  bool anyAddress = false;  // listening off the loopback interface was asked for
  std::string keyFile;      // "" for the default path of the port
  int httpPort = -1;        // the dashboard's port (0: any free one); -1: no dashboard
};

// Runs in the foreground until SIGINT or SIGTERM (a console close on
// Windows); the exit code.
int Serve(const Options& options);

}  // namespace dpsim::server
