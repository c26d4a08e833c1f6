// Stamps: data that proves where it came from, so that a test sees any byte
// that went astray, was cut or was handed to the wrong job.
#include <cstring>

#include "sim_state.h"

namespace dpsim {
namespace {

constexpr uint8_t kStampMagic0 = 0xA7;
constexpr uint8_t kStampMagic1 = 0x5D;

// The pattern after the header: a xorshift stream seeded from every header
// byte, so that no byte of a stamp can change without the check noticing.
void StampPattern(const uint8_t* header, uint8_t* out, uint32_t len) {
  uint32_t x = 2166136261u;
  for (size_t i = 0; i < DPSIM_STAMP_HEADER; ++i) x = (x ^ header[i]) * 16777619u;
  if (x == 0) x = 1;
  for (uint32_t i = DPSIM_STAMP_HEADER; i < len; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<uint8_t>((x >> 24) ^ i);
  }
}

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

void WriteStamp(uint8_t* out, uint32_t len, int lib, int32_t handle, uint16_t seq, uint16_t kind) {
  State& s = G();
  // 0 is never a counter value, so that zeroed memory does not pass for a stamp.
  if (++s.stampCounter == 0) s.stampCounter = 1;
  out[0] = kStampMagic0;
  out[1] = kStampMagic1;
  Put16(out + 2, static_cast<uint16_t>(len));
  Put32(out + 4, static_cast<uint32_t>(handle));
  Put16(out + 8, seq);
  Put16(out + 10, kind);
  Put32(out + 12, s.stampCounter);
  out[16] = static_cast<uint8_t>(lib);
  StampPattern(out, out, len);
}

uint32_t StampLength(uint32_t limit) {
  if (limit > DPSIM_STAMP_MAX) limit = DPSIM_STAMP_MAX;
  if (limit < DPSIM_STAMP_MIN) return 0;
  return DPSIM_STAMP_MIN + Random32() % (limit - DPSIM_STAMP_MIN + 1);
}

int CheckStamp(const uint8_t* data, uint32_t len, DpSimStamp* out) {
  if (data == nullptr || len < DPSIM_STAMP_MIN || len > DPSIM_STAMP_MAX) return -1;
  if (data[0] != kStampMagic0 || data[1] != kStampMagic1 || Get16(data + 2) != len) return -1;
  const uint32_t counter = Get32(data + 12);
  if (counter == 0 || (data[16] != DPSIM_LIB_DPMASTER && data[16] != DPSIM_LIB_FDL)) return -1;
  uint8_t expect[DPSIM_STAMP_MAX];
  StampPattern(data, expect, len);
  if (memcmp(expect + DPSIM_STAMP_HEADER, data + DPSIM_STAMP_HEADER, len - DPSIM_STAMP_HEADER) !=
      0) {
    return -1;
  }
  if (out != nullptr) {
    out->lib = data[16];
    out->handle = static_cast<int32_t>(Get32(data + 4));
    out->seq = Get16(data + 8);
    out->kind = Get16(data + 10);
    out->counter = counter;
    out->length = len;
  }
  return 0;
}

}  // namespace dpsim
