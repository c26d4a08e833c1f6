// The daemon's wire protocol and address parsing: what is sent is what is
// read, and whatever is not exactly a message is turned away.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "net.h"
#include "protocol.h"

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
  add(wire::kHello, [](Message& m) { m.pid = 4242, m.name = "zelcli"; });
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
      {"version", [](auto& f) { f[4] = 2; }},
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
