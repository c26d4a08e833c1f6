#include "sim_config.h"

#include "../wire/net.h"
#include "../wire/protocol.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace dpsim {
namespace {

// Every telegram is framed by header and check bytes around its payload, and
// the bus idles between telegrams and waits for the slave to react.
constexpr uint64_t kFrameBytes = 9;
constexpr uint64_t kBitsPerByte = 11;  // start, 8 data, parity, stop
constexpr uint64_t kTelegramOverheadBits = 100;

constexpr const char* kBlanks = " \t\r";

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(kBlanks);
  if (b == std::string::npos) return std::string();
  const size_t e = s.find_last_not_of(kBlanks);
  return s.substr(b, e - b + 1);
}

// Splits off the first blank-separated word of `s`; `rest` gets the trimmed
// remainder.
std::string FirstWord(const std::string& s, std::string* rest) {
  const size_t e = s.find_first_of(kBlanks);
  if (e == std::string::npos) {
    rest->clear();
    return s;
  }
  *rest = Trim(s.substr(e));
  return s.substr(0, e);
}

// Decimal number in [lo, hi]; nothing else on the text.
bool ParseUnsigned(const std::string& s, uint64_t lo, uint64_t hi, uint64_t* out) {
  if (s.empty() || s.size() > 20) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  errno = 0;
  const unsigned long long v = strtoull(s.c_str(), nullptr, 10);
  if (errno != 0 || v < lo || v > hi) return false;
  *out = v;
  return true;
}

std::vector<uint8_t> Bytes(const char* text) {
  return std::vector<uint8_t>(text, text + strlen(text));
}

void Complain(std::string* diag, const std::string& where, const std::string& what) {
  if (diag == nullptr) return;
  diag->append(where);
  diag->append(": ");
  diag->append(what);
  diag->append("\n");
}

// Slave data: nothing (answers with no data), "text <rest of line>" or
// "hex <bytes>".
bool ParseSlaveData(const std::string& dataText, std::vector<uint8_t>* data, std::string* why) {
  std::string rest;
  const std::string how = FirstWord(dataText, &rest);
  if (how.empty()) {
    data->clear();
  } else if (how == "text") {
    *data = std::vector<uint8_t>(rest.begin(), rest.end());
  } else if (how == "hex") {
    if (!wire::ParseHexBytes(rest, data, why)) {
      *why = "hex bytes: " + *why;
      return false;
    }
  } else {
    *why = "slave data must be 'text ...' or 'hex ...'";
    return false;
  }
  if (data->size() > kSlaveDataMax) {
    *why = "slave data longer than 240 bytes";
    return false;
  }
  return true;
}

bool ValidServer(const std::string& text) {
  std::string host;
  uint16_t port = 0;
  return text == "off" ||
         (!text.empty() && net::ParseAddress(text, wire::kDefaultPort, &host, &port) && port != 0);
}

}  // namespace

std::vector<uint8_t> DefaultFdlStatus() {
  // Own station address 2, state 0 (in the ring), reserved, highest station
  // address 126.
  return {0x02, 0x00, 0x00, 0x7E};
}

Settings DefaultSettings() {
  Settings s;
  Processor vcp1;
  vcp1.slaves[3] = Bytes("VCP1 slave 3 ALPHA");
  vcp1.slaves[4] = Bytes("VCP1 slave 4 BRAVO-BRAVO");
  vcp1.slaves[5] = Bytes("VCP1 slave 5 CHARLIE-CHARLIE-CHARLIE");
  vcp1.fdlStatus = DefaultFdlStatus();
  Processor vcp2;
  vcp2.slaves[3] = Bytes("VCP2 slave 3 DELTA");
  vcp2.slaves[4] = Bytes("VCP2 slave 4 ECHO-ECHO");
  vcp2.slaves[5] = Bytes("VCP2 slave 5 FOXTROT-FOXTROT-FOXTROT");
  vcp2.fdlStatus = DefaultFdlStatus();
  s.processors["VCP1"] = vcp1;
  s.processors["VCP2"] = vcp2;
  return s;
}

int ParseConfig(const std::string& text, Settings* settings, std::string* diag) {
  int errors = 0;
  bool replacedDefaults = false;
  Processor* current = nullptr;
  size_t lineNo = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    ++lineNo;
    if (line.empty() || line[0] == '#') continue;

    const std::string where = "config line " + std::to_string(lineNo);
    std::string rest;
    const std::string key = FirstWord(line, &rest);
    uint64_t v = 0;
    std::string why;
    if (key == "processor") {
      // The wire's rule as well: a name nobody can ask for is of no use, and
      // control characters would reach the operator's terminal.
      if (rest.find_first_of(kBlanks) != std::string::npos || !wire::ValidName(rest)) {
        why =
            "processor needs one name without blanks or control characters, at most 255 "
            "characters";
      } else {
        if (!replacedDefaults) {
          settings->processors.clear();
          replacedDefaults = true;
        }
        current = &settings->processors[rest];
        if (current->fdlStatus.empty()) current->fdlStatus = DefaultFdlStatus();
      }
    } else if (key == "slave") {
      std::string dataText;
      const std::string address = FirstWord(rest, &dataText);
      std::vector<uint8_t> data;
      if (current == nullptr) {
        why = "slave before any processor";
      } else if (!ParseUnsigned(address, 0, 255, &v)) {
        why = "slave address must be 0..255";
      } else if (ParseSlaveData(dataText, &data, &why)) {
        current->slaves[static_cast<uint8_t>(v)] = data;
      }
    } else if (key == "fdl_status") {
      std::string hex;
      std::vector<uint8_t> data;
      if (current == nullptr) {
        why = "fdl_status before any processor";
      } else if (FirstWord(rest, &hex) != "hex") {
        why = "fdl_status needs 'hex <bytes>'";
      } else if (!wire::ParseHexBytes(hex, &data, &why)) {
        why = "fdl_status hex bytes: " + why;
      } else if (data.size() > kFdlDataMax) {
        why = "fdl_status longer than 260 bytes";
      } else {
        current->fdlStatus = data;
      }
    } else if (key == "baud") {
      if (ParseUnsigned(rest, 1, kMaxBaud, &v)) {
        settings->baud = static_cast<uint32_t>(v);
      } else {
        why = "baud must be 1.." + std::to_string(kMaxBaud);
      }
    } else if (key == "delay_us") {
      if (rest == "auto") {
        settings->delayUs = kComputedDelay;
      } else if (ParseUnsigned(rest, 0, kMaxDelayUs, &v)) {
        settings->delayUs = static_cast<uint32_t>(v);
      } else {
        why = "delay_us must be 'auto' or 0.." + std::to_string(kMaxDelayUs) + " microseconds";
      }
    } else if (key == "trace") {
      if (rest.empty()) {
        why = "trace needs stderr, off or a file path";
      } else {
        settings->trace = rest;
      }
    } else if (key == "log_limit") {
      if (ParseUnsigned(rest, 1, kMaxLogLimit, &v)) {
        settings->logLimit = static_cast<uint32_t>(v);
      } else {
        why = "log_limit must be 1.." + std::to_string(kMaxLogLimit);
      }
    } else if (key == "fdl_receive_wait_ms") {
      if (ParseUnsigned(rest, 0, kMaxReceiveWaitMs, &v)) {
        settings->receiveWaitMs = static_cast<uint32_t>(v);
      } else {
        why = "fdl_receive_wait_ms must be 0.." + std::to_string(kMaxReceiveWaitMs);
      }
    } else if (key == "server") {
      if (!ValidServer(rest)) {
        why = "server needs host:port, host or :port";
      } else {
        settings->server = rest == "off" ? std::string() : rest;
      }
    } else {
      why = "unknown keyword '" + key + "'";
    }
    if (!why.empty()) {
      ++errors;
      Complain(diag, where, why);
    }
  }
  return errors;
}

int ApplyEnvironment(Settings* settings, std::string* diag, bool daemon) {
  int errors = 0;
  uint64_t v = 0;
  if (const char* baud = getenv("DPSIM_BAUD"); baud != nullptr && baud[0] != '\0') {
    if (ParseUnsigned(Trim(baud), 1, kMaxBaud, &v)) {
      settings->baud = static_cast<uint32_t>(v);
    } else {
      ++errors;
      Complain(diag, "DPSIM_BAUD", "must be 1.." + std::to_string(kMaxBaud));
    }
  }
  if (const char* delay = getenv("DPSIM_DELAY_US"); delay != nullptr && delay[0] != '\0') {
    const std::string d = Trim(delay);
    if (d == "auto") {
      settings->delayUs = kComputedDelay;
    } else if (ParseUnsigned(d, 0, kMaxDelayUs, &v)) {
      settings->delayUs = static_cast<uint32_t>(v);
    } else {
      ++errors;
      Complain(diag, "DPSIM_DELAY_US",
               "must be 'auto' or 0.." + std::to_string(kMaxDelayUs) + " microseconds");
    }
  }
  if (const char* trace = getenv("DPSIM_TRACE"); trace != nullptr && trace[0] != '\0') {
    settings->trace = Trim(trace);
  }
  if (const char* server = getenv("DPSIM_SERVER");
      !daemon && server != nullptr && server[0] != '\0') {
    const std::string text = Trim(server);
    if (ValidServer(text)) {
      settings->server = text == "off" ? std::string() : text;
    } else {
      ++errors;
      Complain(diag, "DPSIM_SERVER", "must be host:port, host, :port or off");
    }
  }
  return errors;
}

uint32_t BusTimeUs(uint32_t baud, uint32_t requestBytes, uint32_t responseBytes) {
  if (baud == 0) baud = kDefaultBaud;
  const uint64_t bits =
      (2 * kFrameBytes + requestBytes + responseBytes) * kBitsPerByte + 2 * kTelegramOverheadBits;
  const uint64_t us = (bits * 1000000 + baud - 1) / baud;
  return us > kMaxDelayUs ? kMaxDelayUs : static_cast<uint32_t>(us);
}

uint32_t Dpc1BusTimeUs(uint32_t baud, bool write, uint32_t dataBytes) {
  constexpr uint32_t kJobHeader = 4;
  return write ? BusTimeUs(baud, kJobHeader + dataBytes, kJobHeader)
               : BusTimeUs(baud, kJobHeader, kJobHeader + dataBytes);
}

}  // namespace dpsim
