// The control interface (dpsim.h) and the stand-in's private entry points.
// Control calls are not logged: the log shows what the application did.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "../plant/sim_state.h"
#include "dpsim_private.h"

using namespace dpsim;

namespace {

// Counted from the companion's loader callbacks, so no lock and no state.
std::atomic<int> g_fdlLibrariesLoaded{0};

template <typename Body>
int Guarded(int failure, Body body) {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

}  // namespace

extern "C" {

DPSIM_API void DpSim_Script(int what, int32_t value, int32_t times) {
  if (what <= 0 || what >= DPSIM_SCRIPT_COUNT) return;
  State& s = G();
  Guard g(&s.lock);
  s.scripts[what].value = value;
  s.scripts[what].times = times;
}

DPSIM_API void DpSim_Reset(void) {
  try {
    ResetAll(G());
  } catch (...) {
  }
}

DPSIM_API void DpSim_SetAutoConfirm(int on) {
  State& s = G();
  Guard g(&s.lock);
  s.autoConfirm = on != 0;
}

DPSIM_API void DpSim_SetDelayUs(uint32_t delayUs) {
  State& s = G();
  Guard g(&s.lock);
  s.delayUs = delayUs;
  s.delaySpanUs = 0;
}

DPSIM_API int DpSim_SetDelayRangeUs(uint32_t minUs, uint32_t maxUs) {
  constexpr uint32_t kMaxDelayUs = 60000000;
  if (minUs > maxUs || maxUs > kMaxDelayUs) return -1;
  State& s = G();
  Guard g(&s.lock);
  s.delayUs = minUs;
  s.delaySpanUs = maxUs - minUs;
  return 0;
}

DPSIM_API void DpSim_SetStamping(int on) {
  State& s = G();
  Guard g(&s.lock);
  s.stamping = on != 0;
}

DPSIM_API int DpSim_StampCheck(const void* data, uint32_t len, DpSimStamp* out) {
  return CheckStamp(static_cast<const uint8_t*>(data), len, out);
}

DPSIM_API uint32_t DpSim_StampCount(void) {
  State& s = G();
  Guard g(&s.lock);
  return s.stampCounter;
}

DPSIM_API void DpSim_SetFault(int what, uint32_t perMillion) {
  if (what <= 0 || what >= DPSIM_FAULT_COUNT) return;
  State& s = G();
  Guard g(&s.lock);
  s.faultPerMillion[what] = std::min<uint32_t>(perMillion, 1000000);
}

DPSIM_API void DpSim_SetRandomSeed(uint32_t seed) {
  State& s = G();
  Guard g(&s.lock);
  // xorshift must not start from 0.
  s.rng = kDefaultSeed ^ (uint64_t{seed} * 0xD1B54A32D192ED03ull);
  if (s.rng == 0) s.rng = kDefaultSeed;
}

DPSIM_API uint32_t DpSim_FaultCount(int what, int32_t handle) {
  if (what <= 0 || what >= DPSIM_FAULT_COUNT) return 0;
  State& s = G();
  Guard g(&s.lock);
  if (handle == -1) return s.faultTotal[what];
  auto it = s.faultsOn.find({what, handle});
  return it == s.faultsOn.end() ? 0 : it->second;
}

DPSIM_API int DpSim_PendingFdlResults(int32_t fdlHandle) {
  State& s = G();
  Guard g(&s.lock);
  auto it = s.fdl.find(fdlHandle);
  if (it == s.fdl.end()) return -1;
  return static_cast<int>(it->second->ready.size() + it->second->inFlight);
}

DPSIM_API void DpSim_SetTrace(const char* target) {
  if (target == nullptr) return;
  try {
    SetTraceTarget(G(), target);
  } catch (...) {
  }
}

DPSIM_API int DpSim_InjectConfirmation(int32_t dpHandle, uint16_t kind, const void* record,
                                       const void* error) {
  return Guarded(-1, [&] {
    Confirmation c;
    c.kind = kind;
    if (record != nullptr) memcpy(c.record, record, kRecordSize);
    if (error != nullptr) memcpy(&c.err, error, sizeof(c.err));
    State& s = G();
    {
      Guard g(&s.lock);
      auto it = s.dp.find(dpHandle);
      if (it == s.dp.end()) return -1;
      it->second.ready.push_back(c);
      ++it->second.owed;
    }
    FlushSignal(dpHandle);
    return 0;
  });
}

DPSIM_API int DpSim_InjectFdlResult(int32_t fdlHandle, const void* block, uint16_t length,
                                    int32_t result) {
  return Guarded(-1, [&] {
    FdlResult r;
    r.result = result;
    r.length = length;
    if (block != nullptr) memcpy(r.block, block, kBlockSize);
    State& s = G();
    std::shared_ptr<FdlHandle> h;
    {
      Guard g(&s.lock);
      auto it = s.fdl.find(fdlHandle);
      if (it == s.fdl.end()) return -1;
      h = it->second;
      h->ready.push_back(r);
    }
    plat::EventSet(h->wake);
    return 0;
  });
}

DPSIM_API int DpSim_SetSlave(const char* cpName, uint8_t address, const void* data, uint32_t len) {
  if (cpName == nullptr || len > kSlaveDataMax || (data == nullptr && len > 0)) return -1;
  return Guarded(-1, [&] {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    State& s = G();
    Guard g(&s.lock);
    Processor& cp = s.processors[cpName];
    if (cp.fdlStatus.empty()) cp.fdlStatus = DefaultFdlStatus();
    cp.slaves[address].assign(bytes, bytes + len);
    return 0;
  });
}

DPSIM_API int DpSim_RemoveSlave(const char* cpName, uint8_t address) {
  if (cpName == nullptr) return -1;
  return Guarded(-1, [&] {
    State& s = G();
    Guard g(&s.lock);
    auto cp = s.processors.find(cpName);
    if (cp == s.processors.end() || cp->second.slaves.erase(address) == 0) return -1;
    return 0;
  });
}

DPSIM_API int DpSim_GetSlave(const char* cpName, uint8_t address, void* data) {
  if (cpName == nullptr) return -1;
  return Guarded(-1, [&] {
    State& s = G();
    Guard g(&s.lock);
    auto cp = s.processors.find(cpName);
    if (cp == s.processors.end()) return -1;
    auto slave = cp->second.slaves.find(address);
    if (slave == cp->second.slaves.end()) return -1;
    const size_t n = std::min<size_t>(slave->second.size(), kSlaveDataMax);
    if (data != nullptr && n > 0) memcpy(data, slave->second.data(), n);
    return static_cast<int>(n);
  });
}

DPSIM_API int32_t DpSim_LastDpHandle(void) {
  State& s = G();
  Guard g(&s.lock);
  return s.lastDp;
}

DPSIM_API int32_t DpSim_LastFdlHandle(void) {
  State& s = G();
  Guard g(&s.lock);
  return s.lastFdl;
}

DPSIM_API int DpSim_OpenDpHandles(void) {
  State& s = G();
  Guard g(&s.lock);
  return static_cast<int>(s.dp.size());
}

DPSIM_API int DpSim_OpenFdlHandles(void) {
  State& s = G();
  Guard g(&s.lock);
  return static_cast<int>(s.fdl.size());
}

DPSIM_API int DpSim_FdlLibrariesLoaded(void) { return g_fdlLibrariesLoaded.load(); }

DPSIM_API int DpSim_SignalsOutstanding(void) {
  State& s = G();
  Guard g(&s.lock);
  return s.signalsOutstanding;
}

// Counts both the confirmations ready to fetch and those still on the bus.
DPSIM_API int DpSim_PendingConfirmations(int32_t dpHandle) {
  State& s = G();
  Guard g(&s.lock);
  auto it = s.dp.find(dpHandle);
  if (it == s.dp.end()) return -1;
  return static_cast<int>(it->second.ready.size() + it->second.inFlight);
}

DPSIM_API uint32_t DpSim_LogCount(void) {
  State& s = G();
  Guard g(&s.logLock);
  return static_cast<uint32_t>(s.log.size());
}

DPSIM_API int DpSim_LogGet(uint32_t index, DpSimCall* out) {
  if (out == nullptr) return -1;
  State& s = G();
  Guard g(&s.logLock);
  if (index >= s.log.size()) return -1;
  *out = s.log[index];
  return 0;
}

DPSIM_API void DpSim_LogClear(void) {
  State& s = G();
  Guard g(&s.logLock);
  s.log.clear();
  s.logSeq = 0;
}

DPSIM_API uint64_t DpSim_NowUs(void) { return NowUs(); }

DPSIM_API void DpSim_SetLogging(int on) { G().logging.store(on != 0); }

DPSIM_API void DpSimFdl_LibraryLoaded(int delta) { g_fdlLibrariesLoaded.fetch_add(delta); }

DPSIM_API int DpSimCfg_Apply(const char* text, char* diag, uint32_t diagSize) {
  std::string messages;
  const int errors = Guarded(-1, [&] {
    Settings settings = DefaultSettings();
    int n = 0;
    if (text != nullptr) n += ParseConfig(text, &settings, &messages);
    n += ApplyEnvironment(&settings, &messages);
    ApplySettings(G(), settings);
    return n;
  });
  if (diag != nullptr && diagSize > 0) snprintf(diag, diagSize, "%s", messages.c_str());
  return errors;
}

DPSIM_API uint32_t DpSimCfg_Dpc1BusTimeUs(int write, uint32_t dataLen) {
  State& s = G();
  uint32_t baud = 0;
  {
    Guard g(&s.lock);
    baud = s.config.baud;
  }
  return Dpc1BusTimeUs(baud, write != 0, dataLen);
}

}  // extern "C"
