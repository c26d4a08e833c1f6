#include "protocol.h"

#include <cstring>
#include <type_traits>

namespace dpsim::wire {
namespace {

// Reads fields from a frame body; once a read fails, every later one fails.
class Reader {
 public:
  Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool ok() const { return ok_; }
  bool done() const { return ok_ && pos_ == n_; }
  const char* why = nullptr;

  void U8(uint8_t& v) {
    if (Need(1)) v = p_[pos_++];
  }
  void U16(uint16_t& v) {
    if (!Need(2)) return;
    v = static_cast<uint16_t>(p_[pos_] | (p_[pos_ + 1] << 8));
    pos_ += 2;
  }
  void U32(uint32_t& v) {
    if (!Need(4)) return;
    v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p_[pos_ + i];
    pos_ += 4;
  }
  void I32(int32_t& v) {
    uint32_t u = 0;
    U32(u);
    v = static_cast<int32_t>(u);
  }
  void Bytes(uint8_t* out, size_t n) {
    if (!Need(n)) return;
    memcpy(out, p_ + pos_, n);
    pos_ += n;
  }
  void Name(std::string& s) {
    uint8_t n = 0;
    U8(n);
    if (ok_ && n == 0) Fail("name length out of range");
    if (!Need(n)) return;
    s.assign(reinterpret_cast<const char*>(p_ + pos_), n);
    if (!ValidName(s)) Fail("control character in a name");
    pos_ += n;
  }
  void Text(std::string& s) {
    uint16_t n = 0;
    U16(n);
    if (!Need(n)) return;
    s.assign(reinterpret_cast<const char*>(p_ + pos_), n);
    pos_ += n;
  }
  void Data(std::vector<uint8_t>& d, size_t max) {
    uint16_t n = 0;
    U16(n);
    if (ok_ && n > max) Fail("data too long");
    if (!Need(n)) return;
    d.assign(p_ + pos_, p_ + pos_ + n);
    pos_ += n;
  }
  // A count of items that follow, at most `max`.
  void Count(size_t& count, size_t max) {
    uint8_t n = 0;
    U8(n);
    if (ok_ && n > max) Fail("too many items");
    count = n;
  }
  void Fail(const char* reason) {
    if (ok_) why = reason;
    ok_ = false;
  }

 private:
  bool Need(size_t n) {
    if (ok_ && n_ - pos_ < n) Fail("frame too short");
    return ok_;
  }
  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
  bool ok_ = true;
};

class Writer {
 public:
  explicit Writer(std::vector<uint8_t>* out) : out_(out) {}
  bool ok() const { return ok_; }
  const char* why = nullptr;

  void U8(const uint8_t& v) { out_->push_back(v); }
  void U16(const uint16_t& v) {
    U8(static_cast<uint8_t>(v));
    U8(static_cast<uint8_t>(v >> 8));
  }
  void U32(const uint32_t& v) {
    for (int i = 0; i < 4; ++i) U8(static_cast<uint8_t>(v >> (8 * i)));
  }
  void I32(const int32_t& v) { U32(static_cast<uint32_t>(v)); }
  void Bytes(const uint8_t* p, size_t n) { out_->insert(out_->end(), p, p + n); }
  void Name(const std::string& s) {
    if (!ValidName(s)) return Fail("name out of range");
    U8(static_cast<uint8_t>(s.size()));
    Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  }
  void Text(const std::string& s) {
    if (s.size() > 0xFFFF) return Fail("text too long");
    U16(static_cast<uint16_t>(s.size()));
    Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  }
  void Data(const std::vector<uint8_t>& d, size_t max) {
    if (d.size() > max) return Fail("data too long");
    U16(static_cast<uint16_t>(d.size()));
    Bytes(d.data(), d.size());
  }
  void Count(const size_t& count, size_t max) {
    if (count > max) return Fail("too many items");
    U8(static_cast<uint8_t>(count));
  }
  void Fail(const char* reason) {
    if (ok_) why = reason;
    ok_ = false;
  }

 private:
  std::vector<uint8_t>* out_;
  bool ok_ = true;
};

// The payload of each type, once for reading and writing alike, so that the
// two can never disagree. False for an unknown type.
template <typename IO, typename M>
bool Fields(IO& io, M& m) {
  switch (m.type) {
    case kHello:
      io.U32(m.pid);
      io.Name(m.name);
      io.Bytes(m.nonce, kNonceBytes);
      return true;
    case kHelloReply:
      io.U32(m.pid);
      io.Name(m.name);
      io.Bytes(m.nonce, kNonceBytes);
      io.Bytes(m.proof, kProofBytes);
      return true;
    case kProof:
      io.Bytes(m.proof, kProofBytes);
      return true;
    case kKnown:
      io.Name(m.name);
      return true;
    case kOpen:
      io.U8(m.lib);
      io.Name(m.name);
      return true;
    case kClose:
      io.U8(m.lib);
      io.I32(m.handle);
      return true;
    case kJob:
      io.I32(m.handle);
      io.U8(m.write);
      io.Bytes(m.record, kRecordBytes);
      return true;
    case kFdl:
      io.I32(m.handle);
      io.Bytes(m.block, kBlockBytes);
      return true;
    case kStatus:
    case kFollow:
    case kReset:
      io.U8(m.flags);
      return true;
    case kGet:
      io.U8(m.flags);
      io.Name(m.name);
      io.U8(m.slave);
      return true;
    case kSet:
      io.U8(m.flags);
      io.Name(m.name);
      io.U8(m.slave);
      io.Data(m.data, kMaxSlaveData);
      return true;
    case kSilence:
      io.U8(m.flags);
      io.Name(m.name);
      io.U8(m.slave);
      io.U8(m.on);
      return true;
    case kFault:
      io.U8(m.flags);
      io.Name(m.name);
      io.U8(m.fault);
      io.U32(m.rate);
      return true;
    case kLoad:
      io.U8(m.flags);
      io.Text(m.text);
      return true;
    case kStatusReply:
      io.U32(m.status);
      io.I32(m.handle);
      return true;
    case kJobReply: {
      io.U32(m.errClass);
      io.U32(m.errCode);
      size_t n = m.cnfs.size();
      io.Count(n, kMaxConfirmations);
      if constexpr (std::is_same_v<IO, Reader>) {
        if (io.ok()) m.cnfs.resize(n);
      }
      for (size_t i = 0; i < n && io.ok(); ++i) {
        auto& c = m.cnfs[i];
        io.U16(c.kind);
        io.U32(c.delayUs);
        io.U32(c.errClass);
        io.U32(c.errCode);
        io.Bytes(c.record, kRecordBytes);
      }
      return true;
    }
    case kFdlReply: {
      io.I32(m.result);
      size_t n = m.results.size();
      io.Count(n, kMaxConfirmations);
      if constexpr (std::is_same_v<IO, Reader>) {
        if (io.ok()) m.results.resize(n);
      }
      for (size_t i = 0; i < n && io.ok(); ++i) {
        auto& r = m.results[i];
        io.U32(r.delayUs);
        io.I32(r.result);
        io.U16(r.length);
        io.Bytes(r.block, kBlockBytes);
      }
      return true;
    }
    case kText:
      io.U32(m.status);
      io.Text(m.text);
      return true;
    case kLogLine:
      io.Text(m.text);
      return true;
    default:
      return false;
  }
}

}  // namespace

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > kMaxName) return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

size_t FrameLength(const uint8_t* f) {
  const size_t n = static_cast<size_t>(f[0]) | (static_cast<size_t>(f[1]) << 8) |
                   (static_cast<size_t>(f[2]) << 16) | (static_cast<size_t>(f[3]) << 24);
  return n >= kHeaderBytes && n <= kMaxFrame ? n : 0;
}

bool Parse(const uint8_t* body, size_t size, Message* out, std::string* why) {
  *out = Message();
  if (size < kHeaderBytes || size > kMaxFrame) {
    *why = "frame length out of range";
    return false;
  }
  if (body[0] != kVersion) {
    *why = "protocol version " + std::to_string(body[0]) + " (this side speaks " +
           std::to_string(kVersion) + ")";
    return false;
  }
  if (body[2] != 0 || body[3] != 0) {
    *why = "reserved header bytes not zero";
    return false;
  }
  out->type = body[1];
  Reader r(body + kHeaderBytes, size - kHeaderBytes);
  if (!Fields(r, *out)) {
    *why = "unknown message type " + std::to_string(body[1]);
    return false;
  }
  if (!r.ok()) {
    *why = r.why;
    return false;
  }
  if (!r.done()) {
    *why = "frame longer than its message";
    return false;
  }
  // Values the fields' sizes alone do not bound.
  const bool lib = out->type != kOpen && out->type != kClose ? true : out->lib <= kLibFdl;
  // Recent: only Follow knows it.
  const uint8_t flags = out->type == kFollow ? (kFlagJson | kFlagRecent) : kFlagJson;
  const bool flag = out->on <= 1 && out->write <= 1 && (out->flags & ~flags) == 0;
  const bool rate = out->rate <= 1000000;
  if (!lib || !flag || !rate) {
    *why = "field out of range";
    return false;
  }
  return true;
}

bool Encode(const Message& m, std::vector<uint8_t>* out) {
  const size_t start = out->size();
  Writer w(out);
  w.U32(0);  // the length, filled in below
  w.U8(kVersion);
  w.U8(m.type);
  w.U16(0);
  if (!Fields(w, m) || !w.ok() || out->size() - start - kLengthBytes > kMaxFrame) {
    out->resize(start);
    return false;
  }
  const uint32_t n = static_cast<uint32_t>(out->size() - start - kLengthBytes);
  for (int i = 0; i < 4; ++i) (*out)[start + i] = static_cast<uint8_t>(n >> (8 * i));
  return true;
}

}  // namespace dpsim::wire
