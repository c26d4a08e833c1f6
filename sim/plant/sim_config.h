// Configuration of the virtual processor: what the built-in default, the
// configuration file and the environment say. Parsing only; no global state.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace dpsim {

constexpr uint32_t kSlaveDataMax = 240;
constexpr uint32_t kFdlDataMax = 260;
constexpr uint32_t kComputedDelay = 0xFFFFFFFFu;  // no override: delay from the baud rate
// No job takes longer on the bus: a handle's confirmations come in order, so
// one longer delay would hold every later confirmation of the handle.
constexpr uint32_t kMaxDelayUs = 60000000;
constexpr uint32_t kDefaultBaud = 1500000;
constexpr uint32_t kMaxBaud = 100000000;
constexpr uint32_t kDefaultLogLimit = 100000;
constexpr uint32_t kMaxLogLimit = 1000000;
constexpr uint32_t kDefaultReceiveWaitMs = 0;
constexpr uint32_t kMaxReceiveWaitMs = 10000;

constexpr int kFaultKinds = 8;  // room for every random fault kind of dpsim.h

struct Processor {
  std::map<uint8_t, std::vector<uint8_t>> slaves;  // address -> data
  std::vector<uint8_t> fdlStatus;                  // answer to FDL service 26
  std::set<uint8_t> silent;                        // slaves that keep their data but do not answer
  uint32_t faultPerMillion[kFaultKinds] = {};      // random faults of this processor alone
};

struct Settings {
  uint32_t baud = kDefaultBaud;
  uint32_t delayUs = kComputedDelay;
  std::string trace = "off";
  uint32_t logLimit = kDefaultLogLimit;
  uint32_t receiveWaitMs = kDefaultReceiveWaitMs;
  std::map<std::string, Processor> processors;
  std::string server;  // host:port of a daemon holding the processors ("": in-process)
};

// Answer of FDL service 26 on a processor that configures none.
std::vector<uint8_t> DefaultFdlStatus();

// The built-in configuration: processors VCP1 and VCP2, slaves 3, 4 and 5.
Settings DefaultSettings();

// Parses configuration file text over `settings`. Processors named in the text
// replace the ones already there. Each rejected line is counted and described
// in `diag`; the rest still applies.
int ParseConfig(const std::string& text, Settings* settings, std::string* diag);

// Applies DPSIM_BAUD, DPSIM_DELAY_US, DPSIM_TRACE and DPSIM_SERVER. Returns the number of
// rejected values. In the daemon (`daemon`) DPSIM_SERVER is where it listens, which
// `dpsim serve` reads and judges itself (port 0 picks a free one): it is left alone here.
int ApplyEnvironment(Settings* settings, std::string* diag, bool daemon = false);

// Bus time of one exchange of two telegrams carrying `requestBytes` and
// `responseBytes` of payload.
uint32_t BusTimeUs(uint32_t baud, uint32_t requestBytes, uint32_t responseBytes);

// Bus time of a DPC1 read or write moving `dataBytes`: a 4-byte job header
// travels in each direction.
uint32_t Dpc1BusTimeUs(uint32_t baud, bool write, uint32_t dataBytes);

}  // namespace dpsim
