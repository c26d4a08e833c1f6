// Pieces both harnesses share: reading the fuzz input, buffers with guard
// zones around them, and collecting the first broken invariant of a run.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ops.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KXFUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KXFUZZ_ASAN 1
#endif
#if defined(KXFUZZ_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace kxfuzz {

// Where the stand-in's trace goes during a run: off, unless KXFUZZ_TRACE
// names a target ("stderr" or a file), to see the module's trace lines while
// reproducing a finding.
inline const char* TraceTarget() {
  const char* target = getenv("KXFUZZ_TRACE");
  return target != nullptr && target[0] != 0 ? target : "off";
}

// Reads the input front to back; past its end every read yields zeros, so
// that any prefix of an input is an input too.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Done() const { return pos_ >= size_; }
  uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() {
    const uint16_t lo = U8();
    return static_cast<uint16_t>(lo | (U8() << 8));
  }
  uint32_t U32() {
    const uint32_t lo = U16();
    return lo | (static_cast<uint32_t>(U16()) << 16);
  }
  void Bytes(uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = U8();
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

inline int32_t DecodeHandle(uint8_t b) { return kHandleArgs[b % 16]; }

// Called with each operation's index once it has run, before the next one
// (for the harnesses' own tests: to plant a fault and see it reported).
using AfterOp = std::function<void(int op)>;

inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// A buffer of `size` bytes between two guard zones. The zones hold a known
// pattern and, under AddressSanitizer, are poisoned as well, so that a write
// past the buffer stops the run where it happens.
class GuardedBuffer {
 public:
  static constexpr size_t kGuard = 64;

  explicit GuardedBuffer(size_t size) : size_(size), raw_(kGuard + size + kGuard) {
    for (size_t i = 0; i < kGuard; ++i) {
      raw_[i] = GuardByte(i);
      raw_[kGuard + size_ + i] = GuardByte(kGuard + i);
    }
    Poison(true);
  }
  ~GuardedBuffer() { Poison(false); }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  uint8_t* data() { return raw_.data() + kGuard; }
  const uint8_t* data() const { return raw_.data() + kGuard; }
  size_t size() const { return size_; }

  // Fills the buffer with a pattern derived from `seed`, so that bytes a
  // call must leave alone can be told from bytes it wrote.
  void Fill(uint8_t seed) {
    for (size_t i = 0; i < size_; ++i) data()[i] = static_cast<uint8_t>(seed ^ (i * 13 + 7));
  }

  // Offset (relative to the buffer's start) of the first damaged guard byte,
  // or 0 when both zones are intact.
  long DamagedGuard() {
    Poison(false);
    long damaged = 0;
    for (size_t i = 0; i < kGuard && damaged == 0; ++i) {
      if (raw_[i] != GuardByte(i)) damaged = static_cast<long>(i) - static_cast<long>(kGuard);
    }
    for (size_t i = 0; i < kGuard && damaged == 0; ++i) {
      if (raw_[kGuard + size_ + i] != GuardByte(kGuard + i)) damaged = static_cast<long>(size_ + i);
    }
    Poison(true);
    return damaged;
  }

 private:
  static uint8_t GuardByte(size_t i) { return static_cast<uint8_t>(0xC7 ^ (i * 29)); }

  void Poison(bool on) {
#if defined(KXFUZZ_ASAN)
    uint8_t* front = raw_.data();
    uint8_t* back = raw_.data() + kGuard + size_;
    if (on) {
      ASAN_POISON_MEMORY_REGION(front, kGuard);
      ASAN_POISON_MEMORY_REGION(back, kGuard);
    } else {
      ASAN_UNPOISON_MEMORY_REGION(front, kGuard);
      ASAN_UNPOISON_MEMORY_REGION(back, kGuard);
    }
#else
    (void)on;
#endif
  }

  size_t size_;
  std::vector<uint8_t> raw_;
};

// The first invariant that a run broke, with the operation it broke at.
class Verdict {
 public:
  void SetOp(int index, const char* name) {
    op_ = index;
    opName_ = name;
  }
  bool Failed() const { return !message_.empty(); }
  const std::string& Message() const { return message_; }

#if defined(__GNUC__)
  __attribute__((format(printf, 2, 3)))
#endif
  void
  Fail(const char* format, ...) {
    if (Failed()) return;
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    char where[96];
    snprintf(where, sizeof where, "op %d (%s): ", op_, opName_);
    message_ = std::string(where) + text;
  }

 private:
  int op_ = -1;
  const char* opName_ = "set-up";
  std::string message_;
};

}  // namespace kxfuzz
