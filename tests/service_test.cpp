// The daemon's wire protocol and address parsing: what is sent is what is
// read, and whatever is not exactly a message is turned away.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "hex.h"
#include "key.h"
#include "net.h"
#include "protocol.h"
#include "sha256.h"

namespace {

using namespace dpsim;
using wire::Message;

std::vector<Message> Samples() {
  std::vector<Message> all;
  auto add = [&](uint8_t type, const std::function<void(Message&)>& fill) {
    Message m;
    m.type = type;
    fill(m);
    all.push_back(m);
  };
  add(wire::kHello, [](Message& m) {
    m.pid = 4242, m.name = "zelcli";
    for (size_t i = 0; i < wire::kNonceBytes; ++i) m.nonce[i] = static_cast<uint8_t>(i + 1);
  });
  add(wire::kHelloReply, [](Message& m) {
    m.pid = 7, m.name = "dpsim 1.0";
    m.nonce[0] = 0xAA, m.nonce[31] = 0xBB, m.proof[0] = 0xCC, m.proof[31] = 0xDD;
  });
  add(wire::kProof, [](Message& m) { m.proof[0] = 1, m.proof[31] = 0xFF; });
  add(wire::kKnown, [](Message& m) { m.name = "VCP1"; });
  add(wire::kOpen, [](Message& m) { m.lib = wire::kLibFdl, m.name = std::string(255, 'P'); });
  add(wire::kClose, [](Message& m) { m.lib = wire::kLibDp, m.handle = -7; });
  add(wire::kJob, [](Message& m) {
    m.handle = 3, m.write = 1;
    for (size_t i = 0; i < wire::kRecordBytes; ++i) m.record[i] = static_cast<uint8_t>(i);
  });
  add(wire::kFdl, [](Message& m) { m.handle = 256, m.block[339] = 0xEE; });
  add(wire::kStatus, [](Message& m) { m.flags = wire::kFlagJson; });
  add(wire::kGet, [](Message& m) { m.name = "VCP2", m.slave = 255; });
  add(wire::kSet, [](Message& m) { m.name = "VCP1", m.slave = 4, m.data.assign(240, 0xA5); });
  add(wire::kSilence, [](Message& m) { m.name = "VCP1", m.slave = 5, m.on = 1; });
  add(wire::kFault, [](Message& m) { m.name = "VCP1", m.fault = 3, m.rate = 1000000; });
  add(wire::kLoad, [](Message& m) { m.text = "processor X\nslave 1 text a\n"; });
  add(wire::kFollow, [](Message&) {});
  add(wire::kFollow, [](Message& m) { m.flags = wire::kFlagJson | wire::kFlagRecent; });
  add(wire::kReset, [](Message& m) { m.flags = wire::kFlagJson; });
  add(wire::kStatusReply, [](Message& m) { m.status = 0x12, m.handle = 9; });
  add(wire::kJobReply, [](Message& m) {
    m.errClass = 1;
    m.cnfs.resize(wire::kMaxConfirmations);
    m.cnfs[3].kind = 0xFFFF, m.cnfs[3].delayUs = 123456, m.cnfs[3].errCode = 0x11;
    m.cnfs[3].record[261] = 1;
  });
  add(wire::kFdlReply, [](Message& m) {
    m.results.resize(2);
    m.results[1].result = -3, m.results[1].length = 340, m.results[1].block[0] = 9;
  });
  add(wire::kText, [](Message& m) { m.status = 1, m.text = std::string(60000, 'x'); });
  add(wire::kLogLine, [](Message& m) { m.text = ""; });
  return all;
}

std::vector<uint8_t> Frame(const Message& m) {
  std::vector<uint8_t> f;
  EXPECT_TRUE(wire::Encode(m, &f)) << int(m.type);
  return f;
}

bool ParseFrame(const std::vector<uint8_t>& f, Message* out, std::string* why) {
  if (f.size() < wire::kLengthBytes || wire::FrameLength(f.data()) != f.size() - 4) {
    *why = "length field";
    return false;
  }
  return wire::Parse(f.data() + 4, f.size() - 4, out, why);
}

TEST(Wire, EveryMessageReadsBackAsSentAndNoShorterFrameParses) {
  for (const Message& m : Samples()) {
    const std::vector<uint8_t> f = Frame(m);
    Message back;
    std::string why;
    ASSERT_TRUE(ParseFrame(f, &back, &why)) << int(m.type) << ": " << why;
    EXPECT_EQ(Frame(back), f) << int(m.type);
    for (size_t n = wire::kHeaderBytes; n < f.size() - 4; ++n) {
      EXPECT_FALSE(wire::Parse(f.data() + 4, n, &back, &why)) << int(m.type) << " cut to " << n;
    }
  }
}

TEST(Wire, MalformedFramesAreRejected) {
  Message set;
  set.type = wire::kSet;
  set.name = "VCP1";
  set.data = {1, 2};
  const std::vector<uint8_t> good = Frame(set);
  // Offsets in the frame: 4 version, 5 type, 6..7 reserved, 8 flags, 9 name
  // length, 10.. name, 14 slave, 15..16 data length.
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> change;
  } cases[] = {
      {"an older version", [](auto& f) { f[4] = wire::kVersion - 1; }},
      {"a newer version", [](auto& f) { f[4] = wire::kVersion + 1; }},
      {"unknown type", [](auto& f) { f[5] = 0x7F; }},
      {"reserved byte", [](auto& f) { f[7] = 1; }},
      {"unknown flag", [](auto& f) { f[8] = 2; }},
      {"empty name", [](auto& f) { f[9] = 0; }},
      {"unprintable name", [](auto& f) { f[11] = '\n'; }},
      {"data longer than 240", [](auto& f) { f[15] = 241; }},
      {"trailing byte", [](auto& f) { f.push_back(0), f[0] += 1; }},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> f = good;
    c.change(f);
    Message m;
    std::string why;
    EXPECT_FALSE(ParseFrame(f, &m, &why)) << c.what;
    EXPECT_FALSE(why.empty()) << c.what;
  }
  Message bad;
  std::string why;
  Message open;
  open.type = wire::kOpen;
  open.name = "VCP1";
  std::vector<uint8_t> f = Frame(open);
  f[8] = 2;  // neither DP nor FDL
  EXPECT_FALSE(ParseFrame(f, &bad, &why));
  Message fault;
  fault.type = wire::kFault;
  fault.name = "VCP1";
  fault.rate = 1000001;
  EXPECT_FALSE(ParseFrame(Frame(fault), &bad, &why)) << "a rate above one";
  Message reply;
  reply.type = wire::kJobReply;
  reply.cnfs.resize(1);
  f = Frame(reply);
  f[16] = wire::kMaxConfirmations + 1;  // the count, after errClass and errCode
  EXPECT_FALSE(ParseFrame(f, &bad, &why));

  const uint8_t tooLong[] = {0x01, 0x00, 0x01, 0x00};  // 65537
  const uint8_t tooShort[] = {0x03, 0x00, 0x00, 0x00};
  EXPECT_EQ(wire::FrameLength(tooLong), 0u);
  EXPECT_EQ(wire::FrameLength(tooShort), 0u);
}

TEST(Wire, WhatCannotBeSentIsNotEncoded) {
  std::vector<uint8_t> f;
  Message m;
  m.type = wire::kKnown;  // no name
  EXPECT_FALSE(wire::Encode(m, &f));
  m.name = std::string(256, 'a');
  EXPECT_FALSE(wire::Encode(m, &f));
  m.name = "VCP\x01";  // the daemon would turn it away and close the connection
  EXPECT_FALSE(wire::Encode(m, &f));
  EXPECT_TRUE(wire::ValidName("Proze\xdf"));  // a name in a Latin-1 configuration
  m.type = wire::kSet;
  m.name = "VCP1";
  m.data.assign(241, 0);
  EXPECT_FALSE(wire::Encode(m, &f));
  m.type = wire::kJobReply;
  m.cnfs.resize(wire::kMaxConfirmations + 1);
  EXPECT_FALSE(wire::Encode(m, &f));
  m.type = 0x55;
  EXPECT_FALSE(wire::Encode(m, &f));
  EXPECT_TRUE(f.empty()) << "a refused message leaves nothing behind";
}

std::string HexOf(const wire::Digest& d) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : d) out += std::string{digits[b >> 4], digits[b & 15]};
  return out;
}

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

wire::Digest Sha(const std::vector<uint8_t>& data) {
  wire::Sha256 h;
  h.Update(data.data(), data.size());
  return h.Final();
}

// The one reader of hex bytes (dpsim set, zelcli write, configurations): a
// digit that would pair with its neighbour across a blank is refused, never
// merged into another byte.
TEST(Hex, BytesArePairsAndAnythingElseSaysWhatIsWrong) {
  struct Case {
    const char* text;
    std::vector<uint8_t> bytes;  // when read
    const char* why;             // when refused: part of the reason
  } cases[] = {
      {"01A2ff", {0x01, 0xA2, 0xFF}, nullptr},
      {"01 a2 ff", {0x01, 0xA2, 0xFF}, nullptr},
      {"01:a2:ff", {0x01, 0xA2, 0xFF}, nullptr},
      {"01,a2, ff\t", {0x01, 0xA2, 0xFF}, nullptr},
      {"  0102 03  ", {0x01, 0x02, 0x03}, nullptr},
      {"", {}, nullptr},
      {"   ", {}, nullptr},
      {"1 2 3 4", {}, "a byte split by a blank at position 2"},
      {"12 3 4", {}, "a byte split by a blank at position 5"},
      {"1:2", {}, "a byte split by ':' at position 2"},
      {"1 2 3", {}, "a byte split by a blank"},
      {"ABC", {}, "odd number of hex digits in \"ABC\" at position 1"},
      {"01 2", {}, "odd number of hex digits in \"2\" at position 4"},
      {"0x4142", {}, "'x' at position 2 is not a hex digit (no 0x prefix"},
      {"41-42", {}, "'-' at position 3 is not a hex digit"},
      {"4g", {}, "'g' at position 2"},
      {"41\n42", {}, "\\x0a at position 3"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> out = {0xEE};
    std::string why;
    const bool read = wire::ParseHexBytes(c.text, &out, &why);
    if (c.why == nullptr) {
      EXPECT_TRUE(read) << c.text << ": " << why;
      EXPECT_EQ(out, c.bytes) << c.text;
    } else {
      EXPECT_FALSE(read) << c.text;
      EXPECT_NE(why.find(c.why), std::string::npos) << c.text << ": " << why;
      EXPECT_EQ(out, std::vector<uint8_t>{0xEE}) << c.text << ": changed on failure";
    }
  }
}

TEST(Crypto, Sha256Vectors) {
  EXPECT_EQ(HexOf(Sha({})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(HexOf(Sha(Bytes("abc"))),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(HexOf(Sha(Bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"))),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // A million 'a', fed in uneven pieces across block boundaries.
  wire::Sha256 h;
  const std::vector<uint8_t> a(997, 'a');
  size_t left = 1000000;
  while (left > 0) {
    const size_t n = left < a.size() ? left : a.size();
    h.Update(a.data(), n);
    left -= n;
  }
  EXPECT_EQ(HexOf(h.Final()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Crypto, HmacSha256Vectors) {
  auto hmac = [](const std::vector<uint8_t>& key, const std::vector<uint8_t>& data) {
    return HexOf(wire::HmacSha256(key.data(), key.size(), data.data(), data.size()));
  };
  EXPECT_EQ(hmac(std::vector<uint8_t>(20, 0x0b), Bytes("Hi There")),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  EXPECT_EQ(hmac(Bytes("Jefe"), Bytes("what do ya want for nothing?")),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(hmac(std::vector<uint8_t>(20, 0xaa), std::vector<uint8_t>(50, 0xdd)),
            "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe");
  // A key longer than a block is hashed first.
  EXPECT_EQ(hmac(std::vector<uint8_t>(131, 0xaa),
                 Bytes("Test Using Larger Than Block-Size Key - Hash Key First")),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
}

TEST(Crypto, ProofsDependOnSideKeyAndBothNonces) {
  wire::Key key = {};
  key[0] = 1;
  uint8_t a[wire::kNonceBytes] = {1};
  uint8_t b[wire::kNonceBytes] = {2};
  const wire::Digest server = wire::ServerProof(key, a, b);
  EXPECT_NE(server, wire::ClientProof(key, b, a)) << "a server's proof passes for a client's";
  EXPECT_NE(server, wire::ServerProof(key, b, a));
  uint8_t c[wire::kNonceBytes] = {1};
  c[31] = 1;
  EXPECT_NE(server, wire::ServerProof(key, c, b));
  wire::Key other = key;
  other[31] = 1;
  EXPECT_NE(server, wire::ServerProof(other, a, b));
  EXPECT_TRUE(wire::EqualConstantTime(server.data(), server.data(), server.size()));
  wire::Digest changed = server;
  changed[31] ^= 0x80;
  EXPECT_FALSE(wire::EqualConstantTime(server.data(), changed.data(), server.size()));
}

TEST(Net, Addresses) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    uint16_t port;
  } cases[] = {
      {"127.0.0.1:5000", true, "127.0.0.1", 5000},
      {"localhost", true, "localhost", 47213},
      {":6000", true, "127.0.0.1", 6000},
      {"[::1]:7000", true, "::1", 7000},
      {"[::1]", true, "::1", 47213},
      {"host:", false, "", 0},
      {"host:65536", false, "", 0},
      {"host:12a", false, "", 0},
      {"::1:80", false, "", 0},
      {"[::1", false, "", 0},
      {"[::1]x", false, "", 0},
  };
  for (const Case& c : cases) {
    std::string host;
    uint16_t port = 0;
    ASSERT_EQ(net::ParseAddress(c.text, wire::kDefaultPort, &host, &port), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(host, c.host) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
  }
}

// An idle peer may wait between frames; a frame once begun must be whole in
// time, and a frame that comes whole is taken, however long it was awaited.
TEST(Net, AFrameOnceBegunMustBeWholeInTime) {
  uint16_t port = 0;
  std::string why;
  const net::Socket listener = net::Listen("127.0.0.1", 0, false, &port, &why);
  ASSERT_NE(listener, net::kNoSocket) << why;
  const net::Socket client = net::Connect("127.0.0.1", port, 2000, &why);
  ASSERT_NE(client, net::kNoSocket) << why;
  std::string peer;
  const net::Socket server = net::Accept(listener, 2000, &peer);
  ASSERT_NE(server, net::kNoSocket);

  std::vector<uint8_t> body;
  EXPECT_EQ(net::RecvFrame(server, &body, 100), net::Recv::kTimeout) << "idle, with a deadline";

  wire::Message m;
  m.type = wire::kStatus;
  std::vector<uint8_t> frame;
  ASSERT_TRUE(wire::Encode(m, &frame));
  ASSERT_TRUE(net::SendAll(client, frame.data(), frame.size()));
  ASSERT_EQ(net::RecvFrameOnceBegun(server, &body, 100), net::Recv::kFrame);
  EXPECT_EQ(body.size(), frame.size() - wire::kLengthBytes);

  // Half a frame: the length says 64 KiB, a few bytes come.
  const uint8_t half[] = {0x00, 0x00, 0x01, 0x00, 0x01, 0x10, 0x00, 0x00, 'x'};
  ASSERT_TRUE(net::SendAll(client, half, sizeof(half)));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(net::RecvFrameOnceBegun(server, &body, 300), net::Recv::kTimeout);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_LT(waited, std::chrono::seconds(5));

  // Closed by the peer while idle: that, not a time-out.
  net::Close(client);
  EXPECT_EQ(net::RecvFrameOnceBegun(server, &body, 300), net::Recv::kClosed);
  net::Close(server);
  net::Close(listener);
}

}  // namespace
