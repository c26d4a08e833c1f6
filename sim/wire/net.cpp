#include "net.h"

#include <chrono>
#include <cstring>

#include "protocol.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace dpsim::net {
namespace {

#if defined(_WIN32)
using Native = SOCKET;
using IoLength = int;  // recv and send take an int length and return an int
const Native kInvalid = INVALID_SOCKET;
constexpr int kNoSignal = 0;
void CloseNative(Native s) { closesocket(s); }
int LastError() { return WSAGetLastError(); }
bool WouldBlock(int e) { return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS; }

bool Startup() {
  // Once per process; never cleaned up, as other users of Winsock may remain.
  static const bool ok = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ok;
}

void SetBlocking(Native s, bool on) {
  u_long nonBlocking = on ? 0 : 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
}

// Readiness of one socket within `ms`: 1 ready, 0 time-out, -1 failure.
int WaitFor(Native s, bool write, uint32_t ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  fd_set errors = set;
  timeval tv = {static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
  const int n = select(0, write ? nullptr : &set, write ? &set : nullptr, &errors, &tv);
  return n < 0 ? -1 : (n == 0 ? 0 : 1);
}
#else
using Native = int;
using IoLength = size_t;  // recv and send return an ssize_t
const Native kInvalid = -1;
constexpr int kNoSignal = MSG_NOSIGNAL;  // a closed peer must not kill the application
void CloseNative(Native s) { close(s); }
int LastError() { return errno; }
bool WouldBlock(int e) { return e == EINPROGRESS || e == EWOULDBLOCK || e == EAGAIN; }
bool Startup() { return true; }

void SetBlocking(Native s, bool on) {
  const int flags = fcntl(s, F_GETFL, 0);
  fcntl(s, F_SETFL, on ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

int WaitFor(Native s, bool write, uint32_t ms) {
  pollfd p = {s, static_cast<short>(write ? POLLOUT : POLLIN), 0};
  for (;;) {
    const int n = poll(&p, 1, static_cast<int>(ms));
    if (n < 0 && errno == EINTR) continue;  // a signal for someone else: wait on
    return n < 0 ? -1 : (n == 0 ? 0 : 1);
  }
}
#endif

Native N(Socket s) { return static_cast<Native>(s); }

// One recv or send moves at most this much, so that Winsock's int length
// stays positive however large the buffer.
IoLength Chunk(size_t left) {
  constexpr size_t kMax = size_t{1} << 30;
  return static_cast<IoLength>(left < kMax ? left : kMax);
}

uint64_t NowMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string ErrorText(const char* what) {
  const int e = LastError();
#if defined(_WIN32)
  return std::string(what) + " (error " + std::to_string(e) + ")";
#else
  return std::string(what) + ": " + strerror(e);
#endif
}

// A socket of its own: a child process must not keep the daemon's
// connection (or the listener) open after its parent has gone.
Native OpenSocket(int family, int type, int protocol) {
#if defined(_WIN32)
  const Native s = socket(family, type, protocol);
  if (s != kInvalid) SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return s;
#else
  return socket(family, type | SOCK_CLOEXEC, protocol);
#endif
}

bool Loopback(const sockaddr* a) {
  if (a->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(a);
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  }
  if (a->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a);
    return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
  }
  return false;
}

addrinfo* Resolve(const std::string& host, uint16_t port, bool passive, std::string* why) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = passive ? AI_PASSIVE : 0;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || list == nullptr) {
    *why = "cannot resolve " + host;
    return nullptr;
  }
  return list;
}

void NoDelay(Native s) {
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
}

// A send that cannot go on for this long fails: a peer that never reads
// must not hold the sending thread for ever.
constexpr uint32_t kSendTimeoutMs = 10000;

void SendTimeout(Native s) {
#if defined(_WIN32)
  const DWORD ms = kSendTimeoutMs;
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof(ms));
#else
  timeval tv = {};
  tv.tv_sec = kSendTimeoutMs / 1000;
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
#endif
}

// Receives exactly `size` bytes by `deadline` (0: none).
Recv RecvExactly(Native s, uint8_t* out, size_t size, uint64_t deadline) {
  size_t got = 0;
  while (got < size) {
    if (deadline != 0) {
      const uint64_t now = NowMs();
      if (now >= deadline) return Recv::kTimeout;
      const int ready = WaitFor(s, false, static_cast<uint32_t>(deadline - now));
      if (ready == 0) return Recv::kTimeout;
      if (ready < 0) return Recv::kFailed;
    }
    const auto n = recv(s, reinterpret_cast<char*>(out + got), Chunk(size - got), 0);
    if (n == 0) return Recv::kClosed;
    if (n < 0) {
#if !defined(_WIN32)
      if (errno == EINTR) continue;
#endif
      return Recv::kFailed;
    }
    got += static_cast<size_t>(n);
  }
  return Recv::kFrame;
}

}  // namespace

bool ParseAddress(const std::string& text, uint16_t defaultPort, std::string* host,
                  uint16_t* port) {
  std::string h = text;
  std::string p;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos) return false;
    h = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return false;
      p = text.substr(close + 2);
      if (p.empty()) return false;
    }
  } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
    if (text.find(':') != colon) return false;  // a bare IPv6 address needs brackets
    h = text.substr(0, colon);
    p = text.substr(colon + 1);
    if (p.empty()) return false;
  }
  if (h.empty()) h = "127.0.0.1";
  unsigned long value = defaultPort;
  if (!p.empty()) {
    if (p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::stoul(p);
    if (value > 65535) return false;
  }
  *host = h;
  *port = static_cast<uint16_t>(value);
  return true;
}

Socket Connect(const std::string& host, uint16_t port, uint32_t timeoutMs, std::string* why) {
  if (!Startup()) {
    *why = "cannot start Winsock";
    return kNoSocket;
  }
  addrinfo* list = Resolve(host, port, false, why);
  if (list == nullptr) return kNoSocket;
  Native s = kInvalid;
  *why = "no address of " + host;
  for (addrinfo* a = list; a != nullptr && s == kInvalid; a = a->ai_next) {
    s = OpenSocket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == kInvalid) continue;
    SetBlocking(s, false);
    bool connected = connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0;
    if (!connected && WouldBlock(LastError()) && WaitFor(s, true, timeoutMs) == 1) {
      int err = 0;
      socklen_t len = sizeof(err);
      connected =
          getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) == 0 && err == 0;
    }
    if (!connected) {
      *why = "cannot connect to " + host + ":" + std::to_string(port);
      CloseNative(s);
      s = kInvalid;
      continue;
    }
    SetBlocking(s, true);
    NoDelay(s);
  }
  freeaddrinfo(list);
  return s == kInvalid ? kNoSocket : static_cast<Socket>(s);
}

Socket Listen(const std::string& host, uint16_t port, bool anyAddress, uint16_t* bound,
              std::string* why) {
  if (!Startup()) {
    *why = "cannot start Winsock";
    return kNoSocket;
  }
  addrinfo* list = Resolve(host, port, true, why);
  if (list == nullptr) return kNoSocket;
  Native s = kInvalid;
  for (addrinfo* a = list; a != nullptr && s == kInvalid; a = a->ai_next) {
    if (!anyAddress && !Loopback(a->ai_addr)) {
      *why = host + " is not a loopback address (--allow-remote to listen there anyway)";
      continue;
    }
    s = OpenSocket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == kInvalid) continue;
    int one = 1;
#if defined(_WIN32)
    // Nobody else may bind the port while the daemon holds it.
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
               sizeof(one));
#else
    // A restarted daemon takes its port back at once.
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
#endif
    if (bind(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 || listen(s, SOMAXCONN) != 0) {
      *why = ErrorText(("cannot listen on " + host + ":" + std::to_string(port)).c_str());
      CloseNative(s);
      s = kInvalid;
    }
  }
  freeaddrinfo(list);
  if (s == kInvalid) return kNoSocket;
  // A connection reset between the wait and the accept must not block the
  // accept (and with it the daemon's stop).
  SetBlocking(s, false);
  sockaddr_storage addr = {};
  socklen_t len = sizeof(addr);
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  *bound = ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  return static_cast<Socket>(s);
}

Socket Accept(Socket listener, uint32_t timeoutMs, std::string* peer, bool* failed) {
  if (failed != nullptr) *failed = false;
  if (WaitFor(N(listener), false, timeoutMs) != 1) return kNoSocket;
  sockaddr_storage addr = {};
  socklen_t len = sizeof(addr);
#if defined(_WIN32)
  const Native s = accept(N(listener), reinterpret_cast<sockaddr*>(&addr), &len);
  if (s != kInvalid) SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
#else
  const Native s = accept4(N(listener), reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
#endif
  if (s == kInvalid) {
    // A connection that vanished before the accept is no failure of ours.
    const int e = LastError();
    if (failed != nullptr) *failed = !WouldBlock(e);
    return kNoSocket;
  }
  SetBlocking(s, true);  // on Windows it would inherit the listener's mode
  char text[64] = "?";
  char port[16] = "?";
  getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, text, sizeof(text), port, sizeof(port),
              NI_NUMERICHOST | NI_NUMERICSERV);
  *peer = std::string(text) + ":" + port;
  NoDelay(s);
  SendTimeout(s);
  return static_cast<Socket>(s);
}

bool SendAll(Socket s, const uint8_t* data, size_t size) {
  // Each send may hand over a little before its time-out: the whole frame
  // gets the same time, so a peer that never reads cannot stretch it.
  const uint64_t deadline = NowMs() + kSendTimeoutMs;
  size_t sent = 0;
  while (sent < size) {
    if (sent > 0 && NowMs() >= deadline) return false;
    const auto n =
        send(N(s), reinterpret_cast<const char*>(data + sent), Chunk(size - sent), kNoSignal);
    if (n <= 0) {
#if !defined(_WIN32)
      if (n < 0 && errno == EINTR) continue;
#endif
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

Recv RecvFrame(Socket s, std::vector<uint8_t>* body, uint32_t timeoutMs) {
  const uint64_t deadline = timeoutMs == 0 ? 0 : NowMs() + timeoutMs;
  uint8_t length[wire::kLengthBytes];
  if (const Recv r = RecvExactly(N(s), length, sizeof(length), deadline); r != Recv::kFrame) {
    return r;
  }
  const size_t n = wire::FrameLength(length);
  if (n == 0) return Recv::kTooLong;  // or too short: either way not a frame
  body->resize(n);
  return RecvExactly(N(s), body->data(), n, deadline);
}

Recv RecvFrameOnceBegun(Socket s, std::vector<uint8_t>* body, uint32_t frameMs) {
  // A shut-down or closed socket reads as ready, so the stop still ends this.
  for (;;) {
    const int ready = WaitFor(N(s), false, 1000);
    if (ready < 0) return Recv::kFailed;
    if (ready > 0) break;
  }
  return RecvFrame(s, body, frameMs);
}

bool PeerGone(Socket s) { return WaitFor(N(s), false, 0) != 0; }

void Shutdown(Socket s) {
#if defined(_WIN32)
  shutdown(N(s), SD_BOTH);
#else
  shutdown(N(s), SHUT_RDWR);
#endif
}

void Close(Socket s) {
  if (s != kNoSocket) CloseNative(N(s));
}

}  // namespace dpsim::net
