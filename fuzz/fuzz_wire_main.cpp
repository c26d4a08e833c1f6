// libFuzzer entry of fuzz_wire: the daemon's message parser, fed a stream of
// bytes as a connection delivers them. Every frame that parses must encode
// back to exactly the bytes it came from: a field read but not checked, or
// read at a different place than it is written, shows as a difference.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dpsim::wire;
  size_t pos = 0;
  while (size - pos >= kLengthBytes) {
    const size_t n = FrameLength(data + pos);
    if (n == 0 || size - pos - kLengthBytes < n) break;  // the daemon closes here
    Message m;
    std::string why;
    if (Parse(data + pos + kLengthBytes, n, &m, &why)) {
      std::vector<uint8_t> again;
      if (!Encode(m, &again) || again.size() != n + kLengthBytes ||
          memcmp(again.data(), data + pos, again.size()) != 0) {
        fprintf(stderr, "fuzz_wire: a frame of type %u does not encode back as it came\n", m.type);
        abort();
      }
    } else if (why.empty()) {
      fprintf(stderr, "fuzz_wire: a frame rejected without a reason\n");
      abort();
    }
    pos += kLengthBytes + n;
  }
  return 0;
}
