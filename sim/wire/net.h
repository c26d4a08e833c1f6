// TCP for the stand-in's service: Winsock on Windows, BSD sockets elsewhere.
// Every wait is bounded by a time-out where a caller must not hang.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dpsim::net {

using Socket = intptr_t;
constexpr Socket kNoSocket = -1;

// "host:port", "host" (the default port), ":port" or "[v6 address]:port".
bool ParseAddress(const std::string& text, uint16_t defaultPort, std::string* host, uint16_t* port);

// Connects within `timeoutMs`; kNoSocket, with the reason, on failure.
Socket Connect(const std::string& host, uint16_t port, uint32_t timeoutMs, std::string* why);

// Listens on host:port (port 0: any free one, written to *bound). Refuses an
// address that is not a loopback address unless `anyAddress`.
Socket Listen(const std::string& host, uint16_t port, bool anyAddress, uint16_t* bound,
              std::string* why);

// Waits up to `timeoutMs` for a connection; kNoSocket when none came. The
// peer's address goes to `peer`. `*failed` (if given) tells a failed accept
// (out of descriptors, say) from a wait in which nobody came.
// A frame sent on an accepted socket fails when it is not handed over
// within 10 s (a peer that never reads).
Socket Accept(Socket listener, uint32_t timeoutMs, std::string* peer, bool* failed = nullptr);

bool SendAll(Socket s, const uint8_t* data, size_t size);

enum class Recv { kFrame, kClosed, kTimeout, kTooLong, kFailed };
// Receives one frame and returns its body (what follows the length field),
// within `timeoutMs` (0: no limit) for the whole frame.
Recv RecvFrame(Socket s, std::vector<uint8_t>* body, uint32_t timeoutMs);
// Waits as long as it takes for a frame to begin, then receives all of it
// within `frameMs`: an idle peer may stay, a half-sent frame may not.
Recv RecvFrameOnceBegun(Socket s, std::vector<uint8_t>* body, uint32_t frameMs);

// True when the peer has closed the connection or sent what nobody asked for
// (with no request outstanding, nothing should be there to read). Never blocks.
bool PeerGone(Socket s);

// Ends both directions, so that a thread blocked in a receive returns.
void Shutdown(Socket s);
void Close(Socket s);

}  // namespace dpsim::net
