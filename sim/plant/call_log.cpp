// The call log that tests read through dpsim.h, and the trace file.
#include <cctype>
#include <cstring>
#include <new>

#include "sim_state.h"

namespace dpsim {

void SetTraceTarget(State& s, const std::string& target) {
  {
    Guard g(&s.traceLock);
    if (target == s.traceTarget) return;
  }
  FILE* file = nullptr;
  // The keywords in any case: a file named STDERR is never what was meant.
  std::string keyword = target;
  for (char& c : keyword) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  std::string actual = keyword == "stderr" || keyword == "off" ? keyword : target;
  if (actual == "stderr") {
    file = stderr;
  } else if (actual != "off") {
    file = fopen(target.c_str(), "a");
    if (file == nullptr) {
      // Losing the trace silently would hide what the application did.
      fprintf(stderr, "dpsim: cannot open trace file %s; tracing to stderr\n", target.c_str());
      file = stderr;
      actual = "stderr";
    }
  }
  FILE* old = nullptr;
  {
    Guard g(&s.traceLock);
    old = s.traceFile;
    s.traceFile = file;
    s.traceTarget = actual;
  }
  if (old != nullptr && old != stderr) fclose(old);
}

void WriteTrace(const char* text) {
  State& s = G();
  const std::string stamp = LocalTimeText(' ');
  Guard g(&s.traceLock);
  if (s.traceFile == nullptr) return;
  fprintf(s.traceFile, "%s %s\n", stamp.c_str(), text);
  fflush(s.traceFile);
}

CallEntry::CallEntry(int lib, const char* op) : on_(G().logging.load(std::memory_order_relaxed)) {
  if (!on_) return;
  memset(&call_, 0, sizeof(call_));
  call_.lib = lib;
  snprintf(call_.op, sizeof(call_.op), "%s", op);
  call_.timeUs = NowUs();
  call_.threadId = ThreadId();
}

CallEntry& CallEntry::Arg(int64_t v) {
  if (!on_) return *this;
  if (nargs_ < 6) call_.args[nargs_++] = v;
  return *this;
}

CallEntry& CallEntry::Text(const char* s) {
  if (!on_) return *this;
  if (s != nullptr) snprintf(call_.text, sizeof(call_.text), "%s", s);
  return *this;
}

CallEntry& CallEntry::Data(const void* p, size_t n) {
  if (!on_ || p == nullptr) return *this;
  if (n > sizeof(call_.data)) n = sizeof(call_.data);
  memcpy(call_.data, p, n);
  call_.dataLen = static_cast<uint32_t>(n);
  return *this;
}

CallEntry& CallEntry::Err(uint32_t errClass) {
  if (!on_) return *this;
  call_.errClass = errClass;
  return *this;
}

int32_t CallEntry::Done(int32_t result) {
  if (!on_) return result;
  call_.result = result;
  State& s = G();
  try {
    Guard g(&s.logLock);
    call_.seq = s.logSeq++;
    // At the limit the oldest entry goes: a long run keeps its latest calls.
    while (s.log.size() >= s.logLimit) s.log.pop_front();
    s.log.push_back(call_);
  } catch (const std::bad_alloc&) {
    // The entry is lost; the gap shows in the sequence numbers.
  }
  return result;
}

}  // namespace dpsim
