// The 340-byte job and result block: the interface's one record, exchanged
// with applications and with the FDL companion library. A wire format:
// little-endian, byte-packed, 16-bit fields at odd offsets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "byte_order.h"

struct JobBlock {
  uint8_t Unused0[4];
  uint8_t BlockTag;  // 0x50 in every block the module builds or fills
  Le16 JobId;
  uint8_t LayerTag;    // 2 in FDL blocks
  uint8_t ResultFlag;  // 0 in requests, 1 in results
  uint8_t Unused9[3];
  uint8_t Subsystem;  // kSubsystemDpc1 or kSubsystemFdl
  uint8_t Operation;  // DPC1: '0' read, '1' write; FDL: 0 request, 1 result
  Le16 ResultCode;
  Le16 DataLength;
  uint8_t Unused18;
  Le16 DataLimit;
  Le16 DataOffset;
  uint8_t Unused23[2];
  Le16 Word25;
  uint8_t Unused27;
  Le16 Word28;
  Le16 Word30;
  uint8_t Unused32[2];
  uint8_t FdlDoneFlag;
  uint8_t Unused35[3];
  // Bytes 38 and 39: SlaveAddress and Dpc1Param1 in DPC1 jobs, the 16-bit
  // FdlService in FDL jobs (see FdlService()).
  uint8_t SlaveAddress;
  uint8_t Dpc1Param1;
  uint8_t Dpc1Param2;
  Le16 Dpc1Param3;
  uint8_t Unused43[9];
  uint8_t FdlLengthByte;
  uint8_t Unused53[7];
  Le16 FdlWord60;
  uint8_t Unused62[18];
  uint8_t Data[260];
};

constexpr size_t kJobBlockSize = 340;
constexpr size_t kJobDataMax = 260;
constexpr size_t kDpc1DataMax = 240;
constexpr uint8_t kBlockTag = 0x50;
constexpr uint8_t kSubsystemDpc1 = 0x28;
constexpr uint8_t kSubsystemFdl = 0x22;
constexpr uint8_t kOperationRead = 0x30;
constexpr uint8_t kOperationWrite = 0x31;
constexpr uint8_t kFdlLayerTag = 2;
constexpr uint16_t kFdlService11 = 11;
constexpr uint16_t kFdlService26 = 26;
constexpr uint16_t kFdlRequestDataLimit = 260;
constexpr uint16_t kResultDataLimit = 240;
constexpr uint16_t kDataOffset = 80;

static_assert(sizeof(JobBlock) == kJobBlockSize);
static_assert(alignof(JobBlock) == 1);
static_assert(offsetof(JobBlock, BlockTag) == 4);
static_assert(offsetof(JobBlock, JobId) == 5);
static_assert(offsetof(JobBlock, LayerTag) == 7);
static_assert(offsetof(JobBlock, ResultFlag) == 8);
static_assert(offsetof(JobBlock, Subsystem) == 12);
static_assert(offsetof(JobBlock, Operation) == 13);
static_assert(offsetof(JobBlock, ResultCode) == 14);
static_assert(offsetof(JobBlock, DataLength) == 16);
static_assert(offsetof(JobBlock, DataLimit) == 19);
static_assert(offsetof(JobBlock, DataOffset) == 21);
static_assert(offsetof(JobBlock, Word25) == 25);
static_assert(offsetof(JobBlock, Word28) == 28);
static_assert(offsetof(JobBlock, Word30) == 30);
static_assert(offsetof(JobBlock, FdlDoneFlag) == 34);
static_assert(offsetof(JobBlock, SlaveAddress) == 38);
static_assert(offsetof(JobBlock, Dpc1Param1) == 39);
static_assert(offsetof(JobBlock, Dpc1Param2) == 40);
static_assert(offsetof(JobBlock, Dpc1Param3) == 41);
static_assert(offsetof(JobBlock, FdlLengthByte) == 52);
static_assert(offsetof(JobBlock, FdlWord60) == 60);
static_assert(offsetof(JobBlock, Data) == kDataOffset);

inline uint16_t FdlService(const JobBlock& b) { return LoadLe16(&b.SlaveAddress); }
inline void SetFdlService(JobBlock& b, uint16_t service) { StoreLe16(&b.SlaveAddress, service); }
