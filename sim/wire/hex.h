// Hex bytes as people type them: in configurations, `dpsim set` and
// `zelcli write`. Header only, so that zelcli reads them the same way
// without linking the stand-in.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace dpsim::wire {

// The value of a hex digit, or -1 (keys and configurations are written in hex).
inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

inline bool HexSeparator(char c) { return c == ' ' || c == '\t' || c == ':' || c == ','; }

// Bytes as pairs of hex digits, separated by nothing, blanks, ':' or ','
// ("01a2ff", "01 a2 ff", "01:a2:ff"). Anything else is refused, with what is
// wrong and where (positions from 1) in `why`: a lone digit would otherwise
// pair with its neighbour and change the data. The empty text is no bytes.
inline bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* out, std::string* why) {
  std::vector<uint8_t> bytes;
  size_t i = 0;
  while (i < text.size()) {
    if (HexSeparator(text[i])) {
      ++i;
      continue;
    }
    const size_t start = i;
    while (i < text.size() && HexDigit(text[i]) >= 0) ++i;
    if (i < text.size() && !HexSeparator(text[i])) {
      const unsigned char c = static_cast<unsigned char>(text[i]);
      char shown[8];
      snprintf(shown, sizeof shown, c > 0x20 && c < 0x7F ? "'%c'" : "\\x%02x", c);
      *why = std::string(shown) + " at position " + std::to_string(i + 1) + " is not a hex digit";
      if ((c == 'x' || c == 'X') && i == start + 1 && text[start] == '0') {
        *why += " (no 0x prefix: bytes are plain digit pairs, e.g. 4142)";
      }
      return false;
    }
    const size_t length = i - start;
    if (length % 2 != 0) {
      size_t next = i;
      while (next < text.size() && HexSeparator(text[next])) ++next;
      size_t nextEnd = next;
      while (nextEnd < text.size() && HexDigit(text[nextEnd]) >= 0) ++nextEnd;
      if (next > i && nextEnd > next && (nextEnd - next) % 2 != 0) {
        const std::string by =
            text[i] == ' ' || text[i] == '\t' ? "a blank" : std::string("'") + text[i] + "'";
        *why = "a byte split by " + by + " at position " + std::to_string(i + 1) + " (\"" +
               text.substr(start, nextEnd - start) + "\"): each byte is two hex digits together";
      } else {
        *why = "odd number of hex digits in \"" + text.substr(start, length) + "\" at position " +
               std::to_string(start + 1) + ": each byte is two hex digits";
      }
      return false;
    }
    for (size_t k = start; k < i; k += 2) {
      bytes.push_back(static_cast<uint8_t>(HexDigit(text[k]) * 16 + HexDigit(text[k + 1])));
    }
  }
  *out = std::move(bytes);
  return true;
}

}  // namespace dpsim::wire
