// Little-endian fields of the wire records, read and written byte by byte so
// that neither the host's byte order nor alignment matters.
#pragma once

#include <cstdint>

struct Le16 {
  uint8_t b[2];
};
struct Le32 {
  uint8_t b[4];
};
static_assert(sizeof(Le16) == 2 && alignof(Le16) == 1);
static_assert(sizeof(Le32) == 4 && alignof(Le32) == 1);

inline uint16_t LoadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline void StoreLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void StoreLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint16_t Get(const Le16& f) { return LoadLe16(f.b); }
inline void Set(Le16& f, uint16_t v) { StoreLe16(f.b, v); }
inline uint32_t Get(const Le32& f) { return LoadLe32(f.b); }
inline void Set(Le32& f, uint32_t v) { StoreLe32(f.b, v); }
