#include "key.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol.h"

#if defined(_WIN32)
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace dpsim::wire {
namespace {

constexpr size_t kKeyTextBytes = 64;  // hex

std::string Hex(const Key& key) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : key) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

bool ParseKey(const std::string& text, Key* key) {
  std::string t = text;
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  if (t.size() != kKeyTextBytes) return false;
  for (size_t i = 0; i < key->size(); ++i) {
    const int hi = HexDigit(t[2 * i]);
    const int lo = HexDigit(t[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    (*key)[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

Digest Proof(const char* side, const Key& key, const uint8_t* first, const uint8_t* second) {
  std::vector<uint8_t> text(side, side + strlen(side));
  text.insert(text.end(), first, first + kNonceBytes);
  text.insert(text.end(), second, second + kNonceBytes);
  return HmacSha256(key.data(), key.size(), text.data(), text.size());
}

#if !defined(_WIN32)
// A directory only the user can use: its own, not a symbolic link, nobody
// else may enter it.
bool PrivateDirectory(const std::string& dir, bool create, std::string* why) {
  if (create && mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    *why = "cannot create " + dir + ": " + strerror(errno);
    return false;
  }
  struct stat st = {};
  if (lstat(dir.c_str(), &st) != 0) {
    *why = "no directory " + dir + ": " + strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
    *why = dir + " is not a directory of this user's alone (mode 0700)";
    return false;
  }
  return true;
}
#endif

}  // namespace

bool RandomBytes(uint8_t* out, size_t size) {
#if defined(_WIN32)
  return BCRYPT_SUCCESS(
      BCryptGenRandom(nullptr, out, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
#else
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t got = 0;
  while (got < size) {
    const ssize_t n = read(fd, out + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  return got == size;
#endif
}

std::string DefaultKeyPath(uint16_t port, bool create, std::string* why) {
  const std::string file = "dpsim-" + std::to_string(port) + ".key";
#if defined(_WIN32)
  const char* base = getenv("LOCALAPPDATA");
  if (base == nullptr || base[0] == '\0') {
    *why = "LOCALAPPDATA is not set";
    return "";
  }
  const std::string dir = std::string(base) + "\\Kalmorix";
  // The profile's folder is the user's own: its default ACL is inherited.
  if (create && !CreateDirectoryA(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    *why = "cannot create " + dir;
    return "";
  }
  return dir + "\\" + file;
#else
  std::string dir;
  if (const char* run = getenv("XDG_RUNTIME_DIR"); run != nullptr && run[0] == '/') {
    dir = std::string(run) + "/kalmorix";
  } else if (const char* home = getenv("HOME"); home != nullptr && home[0] == '/') {
    const std::string cache = std::string(home) + "/.cache";
    if (create && mkdir(cache.c_str(), 0700) != 0 && errno != EEXIST) {
      *why = "cannot create " + cache + ": " + strerror(errno);
      return "";
    }
    dir = cache + "/kalmorix";
  } else {
    *why = "neither XDG_RUNTIME_DIR nor HOME is set";
    return "";
  }
  if (!PrivateDirectory(dir, create, why)) return "";
  return dir + "/" + file;
#endif
}

std::string ClientKeyPath(uint16_t port, std::string* why) {
  if (const char* env = getenv("DPSIM_KEY_FILE"); env != nullptr && env[0] != '\0') return env;
  return DefaultKeyPath(port, false, why);
}

bool WriteKeyFile(const std::string& path, const Key& key, std::string* why) {
  const std::string text = Hex(key) + "\n";
#if defined(_WIN32)
  DeleteFileA(path.c_str());
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    *why = "cannot create " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  DWORD written = 0;
  const bool ok = WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                  written == text.size();
  CloseHandle(f);
#else
  // A stale file goes first; the new one is made afresh, so that nobody can
  // have it open already or have put a link in its place.
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    *why = "cannot replace " + path + ": " + strerror(errno);
    return false;
  }
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    *why = "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  bool ok = fchmod(fd, 0600) == 0 &&
            write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = close(fd) == 0 && ok;
#endif
  if (!ok) {
    RemoveKeyFile(path);
    *why = "cannot write " + path;
    return false;
  }
  return true;
}

void RemoveKeyFile(const std::string& path) {
#if defined(_WIN32)
  DeleteFileA(path.c_str());
#else
  unlink(path.c_str());
#endif
}

bool ReadKeyFile(const std::string& path, Key* key, std::string* why) {
  char buf[kKeyTextBytes + 8];
  size_t n = 0;
#if defined(_WIN32)
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *why = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  n = fread(buf, 1, sizeof(buf), f);
  fclose(f);
#else
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *why = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  struct stat st = {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & 077) != 0) {
    close(fd);
    *why = path + " is not this user's own file, readable by nobody else (mode 0600)";
    return false;
  }
  for (;;) {
    const ssize_t r = read(fd, buf + n, sizeof(buf) - n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    n += static_cast<size_t>(r);
    if (n == sizeof(buf)) break;
  }
  close(fd);
#endif
  if (!ParseKey(std::string(buf, n), key)) {
    *why = path + " does not hold a key";
    return false;
  }
  return true;
}

Digest ServerProof(const Key& key, const uint8_t* clientNonce, const uint8_t* serverNonce) {
  return Proof("server", key, clientNonce, serverNonce);
}

Digest ClientProof(const Key& key, const uint8_t* serverNonce, const uint8_t* clientNonce) {
  return Proof("client", key, serverNonce, clientNonce);
}

Hello ClientHello(net::Socket s, const Key& key, uint32_t pid, const std::string& name,
                  uint32_t timeoutMs, std::string* why) {
  auto exchange = [&](const Message& request, uint8_t replyType, Message* reply) {
    std::vector<uint8_t> frame;
    if (!Encode(request, &frame) || !net::SendAll(s, frame.data(), frame.size())) {
      *why = "cannot send";
      return false;
    }
    std::vector<uint8_t> body;
    switch (net::RecvFrame(s, &body, timeoutMs)) {
      case net::Recv::kFrame:
        break;
      case net::Recv::kTimeout:
        *why = "no reply in time";
        return false;
      case net::Recv::kClosed:
        *why = "connection closed";
        return false;
      default:
        *why = "connection broken";
        return false;
    }
    std::string bad;
    if (!Parse(body.data(), body.size(), reply, &bad) || reply->type != replyType) {
      *why = bad.empty() ? "unexpected reply" : "malformed reply: " + bad;
      return false;
    }
    return true;
  };
  Message hello;
  hello.type = kHello;
  hello.pid = pid;
  hello.name = name;
  if (!RandomBytes(hello.nonce, kNonceBytes)) {
    *why = "no random numbers";
    return Hello::kLost;
  }
  Message reply;
  if (!exchange(hello, kHelloReply, &reply)) return Hello::kLost;
  const Digest expect = ServerProof(key, hello.nonce, reply.nonce);
  if (!EqualConstantTime(expect.data(), reply.proof, kProofBytes)) {
    *why = "the daemon could not prove that it holds the key";
    return Hello::kUnproven;
  }
  Message proof;
  proof.type = kProof;
  const Digest mine = ClientProof(key, reply.nonce, hello.nonce);
  memcpy(proof.proof, mine.data(), kProofBytes);
  Message done;
  if (!exchange(proof, kStatusReply, &done)) {
    *why = "the daemon did not accept this key (" + *why + ")";
    return Hello::kRefused;
  }
  if (done.status != 0) {
    *why = "the daemon did not accept this key";
    return Hello::kRefused;
  }
  return Hello::kOk;
}

}  // namespace dpsim::wire
