// The input formats of the two fuzz targets. An input is a sequence of
// operations, each an op byte (taken modulo the number of operations)
// followed by its fields; multi-byte fields are little-endian, and reading
// past the end of the input yields zeros. make_seeds.cpp writes the seed
// corpus in these formats.
#pragma once

#include <cstdint>

namespace kxfuzz {

// At most this many operations run per input, so that a run stays short.
constexpr int kMaxOps = 64;

// Handles are one byte each: modulo 16, an index into these, the handle
// arguments worth trying (every channel, the neighbours of the range, the
// extremes).
constexpr int32_t kHandleArgs[16] = {0,  1, 2, 3,  4,   5,   6,         7,
                                     -1, 8, 9, -2, 255, 256, INT32_MIN, INT32_MAX};

// ---- fuzz_api -----------------------------------------------------------------
enum ApiOp : uint8_t {
  kApiOpen,          // name u8 (ApiName), fault u8 (ApiOpenFault)
  kApiClose,         // handle u8, fault u8 (1: DP_close fails)
  kApiSend,          // handle u8, length u8 (ApiLength, kLengthRaw: u16 follows), block (below),
                     //   fault u8 (ApiSendFault)
  kApiReceive,       // handle u8, flags u8 (1: length null, 2: block null), fill u8, unused u32 x2
  kApiSetWindow,     // handle u8, window u8 (ApiWindow, kWindowRaw: u32 follows),
                     //   msg u8 (ApiMsg, kMsgRaw: u32 follows)
  kApiSetAnyWindow,  // u32, passed as the window of SetTalvoHWnd
  kApiGetErrno,      // -
  kApiOpCount
};

enum ApiName : uint8_t {
  kNameNull,
  kNameEmpty,
  kNameVcp1,
  kNameVcp2,
  kNameUnknown,
  kNameWrongCase,
  kName63,   // a known processor with a 63-character name
  kName64,   // that name and one more character: must not open the 63-character one
  kName300,  // far longer than any name
  kNameCount
};

enum ApiOpenFault : uint8_t {
  kOpenFine,
  kOpenDpRefused,         // OpenDpHandle fails
  kOpenWorkerRefused,     // the worker cannot get its confirmation signal
  kOpenCompanionRefused,  // the companion's ZEL_open fails: the channel goes on without FDL
  kOpenFaultCount
};

enum ApiLength : uint8_t {
  kLength0,
  kLength1,
  kLength340,
  kLength339,
  kLength341,
  kLengthMax,
  kLengthRaw,
  kLengthCount
};

enum ApiSendFault : uint8_t {
  kSendFine,
  kSendRefusedClass0,  // the submission leaves ErrClass 0 (done, nothing follows)
  kSendRefusedClass2,  // the submission is refused
  kSendFdlRefused,     // the companion's ZEL_send fails
  kSendFaultCount
};

// A job block: kind u8 (BlockKind), then for kBlockFields: subsystem u8 (kSubsysRaw:
// u8 follows), operation u8, JobId u16, bytes 38..42 (5 x u8), DataLength u16, data count
// u8 and that many data bytes, filler u8 for every other byte; for kBlockRaw: 340 bytes.
enum BlockKind : uint8_t { kBlockNull, kBlockFields, kBlockRaw, kBlockKindCount };
enum BlockSubsystem : uint8_t { kSubsysDpc1, kSubsysFdl, kSubsysRaw, kSubsysCount };

enum ApiWindow : uint8_t { kWindowNull, kWindowLive, kWindowDestroyed, kWindowRaw, kWindowCount };
enum ApiMsg : uint8_t { kMsg0, kMsgAllOnes, kMsg1, kMsgUser, kMsgRaw, kMsgCount };

// ---- fuzz_worker --------------------------------------------------------------
// One channel on VCP1, its worker stepped pass by pass by the harness.
enum WorkerOp : uint8_t {
  kWkSendRead,    // JobId u16, slave u8
  kWkSendWrite,   // JobId u16, slave u8, Param1 u8, Param2 u8, Param3 u16, DataLength u16,
                  //   data count u8 and that many bytes
  kWkSendFdl,     // JobId u16, service u16
  kWkSendOther,   // JobId u16, subsystem u8, operation u8, service u16: any other job
  kWkInjectCnf,   // kind u8 (CnfKind, kCnfKindRaw: u16 follows), record (below), error (below)
  kWkInjectFdl,   // result u8 (FdlResultSel, raw: u32), length u8 (FdlLengthSel, raw: u16),
                  //   block (below)
  kWkStep,        // the worker runs until it waits again (or reaches its read-back pause)
  kWkReceive,     // fill u8
  kWkRegister,    // msg u8 (ApiMsg, kMsgRaw: u32 follows)
  kWkRefuseNext,  // which u8: 0 the next DPC1 submission is refused, 1 the next FDL send
  kWorkerOpCount
};

enum CnfKindSel : uint8_t { kCnfRead, kCnfWrite, kCnfZero, kCnfKindRaw, kCnfKindCount };

// Record: mode u8 (0: fields, 1: 262 raw bytes). Fields: SeqNo u8 (SeqSel, kSeqRaw: u16
// follows), DataLen u8, Param1 u8, data count u8 and that many bytes from RecData on.
// Error: ErrClass u8 (ErrClassSel, raw: u32), then ErrCode u32, detail u16, detail2 u8.
enum SeqSel : uint8_t { kSeqCurrent, kSeqZero, kSeqPrevious, kSeqRaw, kSeqCount };
enum ErrClassSel : uint8_t { kErrDone, kErrAccepted, kErrNegative, kErrRaw, kErrClassCount };

// FDL block: mode u8 (0: fields, 1: 340 raw bytes). Fields: JobId u8 (SeqSel, kSeqRaw:
// u16), service u16, ResultCode u16, DataLength u16, word 60 u16, data count u8 and that
// many bytes from Data on, filler u8 for every other byte.
enum FdlResultSel : uint8_t { kFdlResultZero, kFdlResultFailed, kFdlResultRaw, kFdlResultCount };
enum FdlLengthSel : uint8_t {
  kFdlLengthFull,
  kFdlLengthZero,
  kFdlLengthOne,
  kFdlLengthRaw,
  kFdlLengthCount
};

}  // namespace kxfuzz
