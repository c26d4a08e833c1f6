// The 262-byte record in which a DPC1 read or write travels through the DP
// master library. A wire format: little-endian, packed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "byte_order.h"

struct Dpc1Record {
  Le16 SeqNo;  // the channel's JobSeq; 0 for the worker's read-back
  Le32 SlaveRef;
  uint8_t Unused6;
  uint8_t Param1;  // write request: Dpc1Param1; write confirmation: slave to read back
  uint8_t Param2;
  Le16 Param3;
  uint8_t Unused11[4];
  uint8_t DataLen;  // read request 240; write request 0..240; read confirmation: bytes read
  uint8_t RecData[240];
  uint8_t Unused256[6];
};

constexpr size_t kDpc1RecordSize = 262;
// FetchConfirmation writes into an area of this size.
constexpr size_t kDpc1ReceiveArea = 264;
constexpr uint8_t kDpc1ReadLength = 240;

static_assert(sizeof(Dpc1Record) == kDpc1RecordSize);
static_assert(alignof(Dpc1Record) == 1);
static_assert(offsetof(Dpc1Record, SeqNo) == 0);
static_assert(offsetof(Dpc1Record, SlaveRef) == 2);
static_assert(offsetof(Dpc1Record, Param1) == 7);
static_assert(offsetof(Dpc1Record, Param2) == 8);
static_assert(offsetof(Dpc1Record, Param3) == 9);
static_assert(offsetof(Dpc1Record, DataLen) == 15);
static_assert(offsetof(Dpc1Record, RecData) == 16);
static_assert(offsetof(Dpc1Record, Unused256) == 256);
