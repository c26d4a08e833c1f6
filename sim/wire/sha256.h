// SHA-256 and HMAC-SHA-256, for the daemon's Hello proofs: the win32 build
// has no crypto library to borrow them from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace dpsim::wire {

using Digest = std::array<uint8_t, 32>;

class Sha256 {
 public:
  Sha256();
  void Update(const uint8_t* data, size_t size);
  Digest Final();

 private:
  void Block(const uint8_t* block);
  uint32_t h_[8];
  uint8_t buffer_[64];
  size_t buffered_ = 0;
  uint64_t total_ = 0;
};

Digest HmacSha256(const uint8_t* key, size_t keySize, const uint8_t* data, size_t size);

// True when the two are equal; the time taken does not depend on where they
// differ, so that a peer cannot find a proof byte by byte.
bool EqualConstantTime(const uint8_t* a, const uint8_t* b, size_t size);

}  // namespace dpsim::wire
