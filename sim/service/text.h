// Text for people and for JSON, shared by the daemon and the dpsim command.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace dpsim {

// A JSON string: quotes, backslashes and control characters escaped, bytes
// outside ASCII as \u00XX, so the output stays valid whatever a name holds.
inline std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c > 0x7E) {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// Text for a terminal: control characters as \xNN, so that no name from a
// configuration or a client can send escape sequences to the operator.
inline std::string Printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7F) {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Hex digits of `data`, with a blank between bytes if `spaced`.
inline std::string Hex(const std::vector<uint8_t>& data, bool spaced) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < data.size(); ++i) {
    if (spaced && i > 0) out += ' ';
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

}  // namespace dpsim
