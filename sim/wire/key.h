// Who may use the daemon: whoever can read its secret. The daemon makes a
// random key at start and writes it to a file only its user can read; both
// sides of a connection prove in the Hello exchange that they hold it, with
// HMAC-SHA-256 over both sides' fresh nonces (so a recorded exchange cannot
// be replayed, and a daemon that does not have the key cannot pass for one).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "net.h"
#include "sha256.h"

namespace dpsim::wire {

using Key = std::array<uint8_t, 32>;

// Random bytes from the system's generator; false when it gives none.
bool RandomBytes(uint8_t* out, size_t size);

// Where a daemon on `port` keeps its key when not told otherwise:
// $XDG_RUNTIME_DIR/kalmorix/ or $HOME/.cache/kalmorix/ (POSIX),
// %LOCALAPPDATA%\Kalmorix\ (Windows); file dpsim-PORT.key. With `create`
// the directory is made (0700) when missing. "" with the reason when there is
// no such place, or (POSIX) the directory is not the user's alone.
std::string DefaultKeyPath(uint16_t port, bool create, std::string* why);

// The key file a client uses: DPSIM_KEY_FILE, else the default for the port.
std::string ClientKeyPath(uint16_t port, std::string* why);

// Writes a new key file at `path`, readable by the user only; one already
// there (a daemon's that did not stop cleanly) is replaced.
bool WriteKeyFile(const std::string& path, const Key& key, std::string* why);
void RemoveKeyFile(const std::string& path);

// Reads a key file; on POSIX refuses one that is not the user's own regular
// file or that others may read.
bool ReadKeyFile(const std::string& path, Key* key, std::string* why);

Digest ServerProof(const Key& key, const uint8_t* clientNonce, const uint8_t* serverNonce);
Digest ClientProof(const Key& key, const uint8_t* serverNonce, const uint8_t* clientNonce);

enum class Hello {
  kOk,
  kLost,      // no reply, closed, or not the protocol: as if nobody listened
  kUnproven,  // the peer could not prove that it holds the key
  kRefused,   // the daemon did not accept our proof (another key)
};

// The client's side of the Hello exchange on a fresh connection. `name` and
// `pid` are what the daemon shows for this client.
Hello ClientHello(net::Socket s, const Key& key, uint32_t pid, const std::string& name,
                  uint32_t timeoutMs, std::string* why);

}  // namespace dpsim::wire
