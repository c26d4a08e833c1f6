// Helpers shared by the module's tests: the stand-in's call log, job blocks,
// choosing the companion library variant, and waiting with margins.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "dpsim.h"
#include "zel.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace kxtest {

// ---- Call log ---------------------------------------------------------------
inline std::vector<DpSimCall> Calls() {
  std::vector<DpSimCall> out(DpSim_LogCount());
  for (uint32_t i = 0; i < out.size(); ++i) DpSim_LogGet(i, &out[i]);
  return out;
}

inline std::vector<DpSimCall> CallsOf(const std::string& op, int lib = DPSIM_LIB_DPMASTER) {
  std::vector<DpSimCall> out;
  for (const DpSimCall& c : Calls())
    if (op == c.op && c.lib == lib) out.push_back(c);
  return out;
}

// The module's trace lines, in order.
inline std::vector<std::string> Traces() {
  std::vector<std::string> out;
  for (const DpSimCall& c : CallsOf("TraceMessage")) out.push_back(c.text);
  return out;
}

// Operation names in log order, "fdl:" before the companion's.
inline std::vector<std::string> Ops() {
  std::vector<std::string> out;
  for (const DpSimCall& c : Calls())
    out.push_back(std::string(c.lib == DPSIM_LIB_FDL ? "fdl:" : "") + c.op);
  return out;
}

// ---- Waiting ------------------------------------------------------------------
// Polls `done` until it holds or `timeoutMs` has passed; true when it held.
inline bool WaitUntil(const std::function<bool()>& done, uint32_t timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// ---- Blocks ---------------------------------------------------------------------
using Block = std::vector<uint8_t>;

inline uint16_t U16(const Block& b, size_t ofs) {
  return static_cast<uint16_t>(b[ofs] | (b[ofs + 1] << 8));
}
inline void PutU16(Block& b, size_t ofs, uint16_t v) {
  b[ofs] = static_cast<uint8_t>(v);
  b[ofs + 1] = static_cast<uint8_t>(v >> 8);
}

// A block filled with a pattern, so that bytes a call must not touch show.
inline Block Patterned(uint8_t seed = 0xA5) {
  Block b(ZEL_BLOCK_SIZE);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(seed ^ (i * 7));
  return b;
}

inline Block ReadJob(uint16_t jobId, uint8_t slave) {
  Block b = Patterned(0x3C);
  PutU16(b, ZEL_OFS_JOB_ID, jobId);
  b[ZEL_OFS_SUBSYSTEM] = ZEL_SUBSYSTEM_DPC1;
  b[ZEL_OFS_OPERATION] = ZEL_OPERATION_READ;
  b[ZEL_OFS_SLAVE_ADDRESS] = slave;
  return b;
}

inline Block WriteJob(uint16_t jobId, uint8_t slave, const Block& data, uint8_t p1 = 0,
                      uint8_t p2 = 0, uint16_t p3 = 0) {
  Block b = Patterned(0x5A);
  PutU16(b, ZEL_OFS_JOB_ID, jobId);
  b[ZEL_OFS_SUBSYSTEM] = ZEL_SUBSYSTEM_DPC1;
  b[ZEL_OFS_OPERATION] = ZEL_OPERATION_WRITE;
  b[ZEL_OFS_SLAVE_ADDRESS] = slave;
  b[ZEL_OFS_DPC1_PARAM1] = p1;
  b[ZEL_OFS_DPC1_PARAM2] = p2;
  PutU16(b, ZEL_OFS_DPC1_PARAM3, p3);
  PutU16(b, ZEL_OFS_DATA_LENGTH, static_cast<uint16_t>(data.size()));
  std::copy(data.begin(), data.begin() + (data.size() < 260 ? data.size() : 260),
            b.begin() + ZEL_OFS_DATA);
  return b;
}

inline Block FdlJob(uint16_t jobId, uint16_t service) {
  Block b = Patterned(0x77);
  PutU16(b, ZEL_OFS_JOB_ID, jobId);
  b[ZEL_OFS_SUBSYSTEM] = ZEL_SUBSYSTEM_FDL;
  PutU16(b, ZEL_OFS_FDL_SERVICE, service);
  return b;
}

// A 262-byte Dpc1Record as a confirmation carries it.
inline Block Record(uint16_t seq, const Block& data = {}, uint8_t param1 = 0) {
  Block r(262, 0);
  PutU16(r, 0, seq);
  r[7] = param1;
  r[15] = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.begin() + (data.size() < 240 ? data.size() : 240), r.begin() + 16);
  return r;
}

// A 12-byte DpError.
inline Block Error(uint32_t errClass, uint32_t errCode = 0, uint16_t detail = 0,
                   uint8_t detail2 = 0) {
  Block e(12, 0);
  for (int i = 0; i < 4; ++i) e[i] = static_cast<uint8_t>(errClass >> (8 * i));
  for (int i = 0; i < 4; ++i) e[4 + i] = static_cast<uint8_t>(errCode >> (8 * i));
  PutU16(e, 8, detail);
  e[10] = detail2;
  e[11] = 0xEE;
  return e;
}

// ---- Companion library variant ----------------------------------------------------
// The module loads "ky_dll" by name; the test programs keep none next to them,
// so the working directory (Windows) or KALMORIX_COMPANION_DIR (natively, where
// the working directory is never searched) decides which variant, if any, is
// found.
inline void UseCompanion(const std::string& variant) {
  const std::string dir = std::string(KX_TEST_KYDLL_DIR) + "/" + variant;
#if defined(_WIN32)
  ASSERT_TRUE(SetCurrentDirectoryA(dir.c_str())) << dir;
#else
  ASSERT_EQ(setenv("KALMORIX_COMPANION_DIR", dir.c_str(), 1), 0) << dir;
#endif
}

inline void UseNoCompanion() { UseCompanion("none"); }

}  // namespace kxtest
