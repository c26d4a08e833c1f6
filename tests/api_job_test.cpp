// Jobs and results through the module's exports: submission, the worker's
// handling of each kind of confirmation, and the result blocks byte by byte.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "support/api_fixture.h"

using namespace kxtest;

namespace {

using Strings = std::vector<std::string>;

Block Counting(size_t n, uint8_t start = 1) {
  Block b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i);
  return b;
}

// Expected DPC1 result: `before` with exactly the bytes a DPC1 result writes.
Block Dpc1Result(Block before, uint16_t jobId, uint8_t op, uint16_t result, const Block& data) {
  before[4] = 0x50;
  PutU16(before, 5, jobId);
  before[8] = 1;
  before[12] = 0x28;
  before[13] = op;
  PutU16(before, 14, result);
  PutU16(before, 16, static_cast<uint16_t>(data.size()));
  PutU16(before, 19, 240);
  PutU16(before, 25, 0);
  PutU16(before, 28, 0);
  std::copy(data.begin(), data.end(), before.begin() + 80);
  return before;
}

// An FDL result block as the companion library hands it over.
Block FdlCnf(uint16_t jobSeq, uint16_t service, uint16_t result, const Block& data,
             uint16_t word60 = 0x6161, uint16_t dataLength = 0xFFFF) {
  Block b(340, 0xCC);
  PutU16(b, 5, jobSeq);
  PutU16(b, 14, result);
  PutU16(b, 16, dataLength == 0xFFFF ? static_cast<uint16_t>(data.size()) : dataLength);
  PutU16(b, 38, service);
  PutU16(b, 60, word60);
  std::copy(data.begin(), data.end(), b.begin() + 80);
  return b;
}

// Waits until the worker has run a timeout pass that saw `block`: the FDL
// poll comes after a full second without a DPC1 confirmation.
void InjectFdl(int32_t fdl, const Block& block) {
  ASSERT_EQ(DpSim_InjectFdlResult(fdl, block.data(), 340, 0), 0);
}

// ---- ZEL_send: refusals ---------------------------------------------------------

TEST_F(ApiTest, SendRefusalsInTheirOrder) {
  const int32_t h = Open();
  ASSERT_EQ(ZEL_close(Open()), 0);  // index 1, now closed
  const Block job = ReadJob(1, 3);
  const struct {
    int32_t handle;
    uint16_t length;
    const uint8_t* block;
    int32_t code;
    const char* trace;
  } cases[] = {
      {99, 0, job.data(), -1, "Kalmorix.dll: ZEL_send: invalid buffer length"},
      {h, 340, nullptr, -1, "Kalmorix.dll: ZEL_send: invalid buffer"},
      {8, 340, job.data(), -1, "Kalmorix.dll: ZEL_send: wrong handle"},
      {8, 340, nullptr, -1, "Kalmorix.dll: ZEL_send: wrong handle"},
      {-1, 340, job.data(), -1, "Kalmorix.dll: ZEL_send: wrong handle"},
      {1, 340, job.data(), -1, "Kalmorix.dll: ZEL_send_1"},
      {1, 340, nullptr, -1, "Kalmorix.dll: ZEL_send_1"},
  };
  for (const auto& c : cases) {
    DpSim_LogClear();
    EXPECT_EQ(ZEL_send(c.handle, c.length, c.block), c.code) << c.trace;
    EXPECT_EQ(Traces(), Strings{c.trace});
    EXPECT_EQ(Ops(), Strings{"TraceMessage"}) << "nothing submitted";
  }
  for (uint8_t subsystem : {0x29, 0x00, 0x27, 0xFF}) {
    Block bad = ReadJob(1, 3);
    bad[12] = subsystem;
    DpSim_LogClear();
    EXPECT_EQ(ZEL_send(h, 340, bad.data()), ZEL_INVALID_SUBSYSTEM);
    EXPECT_EQ(Traces(), Strings{"Kalmorix.dll: ZEL_send: invalid subsystem"});
  }
}

TEST_F(ApiTest, SendAcceptsLengthOneAndAnyChannelUpToSeven) {
  for (int i = 0; i < 8; ++i) ASSERT_EQ(ZEL_open("VCP1"), i);
  EXPECT_EQ(ZEL_send(7, 1, ReadJob(1, 3).data()), 0);
}

TEST_F(ApiTest, UnconvertedOperationsAreAcceptedButSendNothingAndDropTheStoredResult) {
  const int32_t h = Open();
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(1, 3).data()), 0);
  Inject(7, Record(1, {1}), Error(0));
  WaitFetched(1);
  DpSim_LogClear();
  Block op2 = ReadJob(2, 3);
  op2[13] = '2';
  EXPECT_EQ(ZEL_send(h, 340, op2.data()), 0);
  Block opx = ReadJob(3, 3);
  opx[13] = 'x';
  EXPECT_EQ(ZEL_send(h, 340, opx.data()), 0);
  EXPECT_EQ(ZEL_send(h, 340, FdlJob(4, 12).data()), 0);
  EXPECT_EQ(DpSim_LogCount(), 0u) << "nothing sent, nothing traced";
  EXPECT_TRUE(NothingStored(h)) << "the stored result was given up";
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(5, 3).data()), 0);
  EXPECT_EQ(SeqOfLastSubmission(), 2) << "JobSeq did not move for them";
}

TEST_F(ApiTest, RefusedSubmissionsReturnMinusOneAndStillAdvanceTheSequence) {
  const int32_t h = Open();
  DpSim_Script(DPSIM_SUBMIT_ERRCLASS, 0, 1);
  EXPECT_EQ(ZEL_send(h, 340, ReadJob(1, 3).data()), -1);
  DpSim_Script(DPSIM_SUBMIT_ERRCLASS, 2, 1);
  EXPECT_EQ(ZEL_send(h, 340, WriteJob(2, 3, {1}).data()), -1);
  DpSim_Script(DPSIM_FDL_SEND_RESULT, 3, 1);
  EXPECT_EQ(ZEL_send(h, 340, FdlJob(3, 11).data()), -1);
  EXPECT_TRUE(Traces().empty());
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(4, 3).data()), 0);
  EXPECT_EQ(SeqOfLastSubmission(), 4);
}

// ---- ZEL_send: what reaches the libraries ---------------------------------------

TEST_F(ApiTest, ReadRequestAsksFor240BytesOfTheAddressedSlave) {
  const int32_t h = Open();
  Block job = ReadJob(0x4321, 255);
  PutU16(job, 16, 7);  // DataLength of a read job is not looked at
  ASSERT_EQ(ZEL_send(h, 340, job.data()), 0);
  EXPECT_EQ(Ops(), (Strings{"SlaveLookup", "Dpc1Read"}));
  const DpSimCall lookup = CallsOf("SlaveLookup")[0];
  EXPECT_EQ(lookup.args[0], dp_);
  EXPECT_EQ(lookup.args[1], 255) << "the address byte, zero-extended";
  const DpSimCall read = CallsOf("Dpc1Read")[0];
  EXPECT_EQ(read.args[0], dp_);
  ASSERT_EQ(read.dataLen, 262u);
  EXPECT_EQ(read.data[0] | read.data[1] << 8, 1) << "SeqNo is the first JobSeq";
  EXPECT_EQ(read.data[15], 240);
}

TEST_F(ApiTest, WriteRequestCarriesParametersAndAtMost240Bytes) {
  const int32_t h = Open();
  for (size_t n : {0u, 5u, 240u, 241u, 255u, 256u, 260u}) {
    DpSim_LogClear();
    const Block data = Counting(n, 0x10);
    ASSERT_EQ(ZEL_send(h, 340, WriteJob(1, 4, data, 0xA1, 0xB2, 0xD4C3).data()), 0);
    const auto writes = CallsOf("Dpc1Write");
    ASSERT_EQ(writes.size(), 1u);
    const DpSimCall& w = writes[0];
    const size_t expect = n < 240 ? n : 240;
    EXPECT_EQ(w.data[7], 0xA1);
    EXPECT_EQ(w.data[8], 0xB2);
    EXPECT_EQ(w.data[9], 0xC3);
    EXPECT_EQ(w.data[10], 0xD4);
    EXPECT_EQ(w.data[15], expect) << n;
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + expect, w.data + 16)) << n;
    EXPECT_EQ(CallsOf("SlaveLookup")[0].args[1], 4);
  }
  // A DataLength above the block's 260 data bytes is cut, never read past.
  Block big = WriteJob(1, 4, Counting(240));
  PutU16(big, 16, 0xFFFF);
  DpSim_LogClear();
  ASSERT_EQ(ZEL_send(h, 340, big.data()), 0);
  EXPECT_EQ(CallsOf("Dpc1Write")[0].data[15], 240);
}

TEST_F(ApiTest, FdlRequestIsAFreshBlockWithTheSequenceNumber) {
  const int32_t h = Open();
  Block job = FdlJob(0x0BAD, 11);
  PutU16(job, 16, 2);
  job[80] = 0xEE;
  job[81] = 0xFF;
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(1, 3).data()), 0);  // JobSeq 1
  DpSim_LogClear();
  ASSERT_EQ(ZEL_send(h, 340, job.data()), 0);
  const auto sends = CallsOf("ZEL_send", DPSIM_LIB_FDL);
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].args[0], fdl_);
  EXPECT_EQ(sends[0].args[1], 340);
  Block expect(340, 0);
  expect[4] = 0x50;
  PutU16(expect, 5, 2);
  expect[7] = 2;
  expect[12] = 0x22;
  PutU16(expect, 19, 260);
  PutU16(expect, 21, 80);
  PutU16(expect, 38, 11);
  ASSERT_EQ(sends[0].dataLen, 340u);
  EXPECT_EQ(Block(sends[0].data, sends[0].data + 340), expect);
}

// ---- Results ------------------------------------------------------------------------

TEST_F(ApiTest, ReceiveRefusals) {
  const int32_t h = Open();
  ASSERT_EQ(ZEL_close(Open()), 0);  // index 1, closed
  Block b = Patterned();
  const Block before = b;
  uint16_t length = 0x1234;
  DpSim_LogClear();
  EXPECT_EQ(ZEL_receive(-1, 0, &length, 0, b.data()), -1);
  EXPECT_EQ(length, 0x1234) << "handle -1 leaves the length alone";
  EXPECT_EQ(ZEL_receive(8, 0, &length, 0, b.data()), -1);
  EXPECT_EQ(length, 0);
  length = 0x1234;
  EXPECT_EQ(ZEL_receive(1, 0, &length, 0, b.data()), -1);
  EXPECT_EQ(length, 0);
  // Null pointers change nothing of what the handle decides.
  EXPECT_EQ(ZEL_receive(-1, 0, nullptr, 0, nullptr), -1);
  EXPECT_EQ(ZEL_receive(8, 0, nullptr, 0, b.data()), -1);
  EXPECT_EQ(ZEL_receive(1, 0, nullptr, 0, nullptr), -1);
  EXPECT_EQ(ZEL_receive(h, 0, nullptr, 0, b.data()), -1);
  EXPECT_EQ(ZEL_receive(h, 0, &length, 0, nullptr), -1);
  EXPECT_EQ(Traces(), (Strings{"Kalmorix.dll: ZEL_receive", "Kalmorix.dll: ZEL_receive_1",
                               "Kalmorix.dll: ZEL_receive_2", "Kalmorix.dll: ZEL_receive",
                               "Kalmorix.dll: ZEL_receive_1", "Kalmorix.dll: ZEL_receive_2",
                               "Kalmorix.dll: ZEL_receive: invalid buffer",
                               "Kalmorix.dll: ZEL_receive: invalid buffer"}));
  EXPECT_EQ(b, before);
  length = 0x1234;
  EXPECT_EQ(ZEL_receive(h, 0, &length, 0, b.data()), 0);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(b, before) << "nothing stored: the block is not touched";
}

TEST_F(ApiTest, ReadResultByteForByteAndOnlyOnce) {
  const int32_t h = Open();
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(0x0777, 3).data()), 0);
  const Block data = Counting(17, 0x40);
  Inject(7, Record(1, data), Error(0, 0x99));
  Block b = Patterned(0x11);
  const Block before = b;
  ASSERT_TRUE(Receive(h, b));
  EXPECT_EQ(b, Dpc1Result(before, 0x0777, '0', 0, data));
  uint16_t length = 0xBEEF;
  EXPECT_EQ(ZEL_receive(h, 0, &length, 0, b.data()), 0);
  EXPECT_EQ(length, 0) << "a result is fetched once";
  DpSim_LogClear();
  Inject(7, Record(1, data), Error(0, 0x99));  // a duplicate of its confirmation
  ASSERT_TRUE(WaitUntil([] { return !Traces().empty(); }, 3000));
  EXPECT_EQ(Traces(), Strings{"Kalmorix.dll: Confirmation too late"});
  EXPECT_TRUE(NothingStored(h)) << "nor delivered twice";
}

TEST_F(ApiTest, ReadResultEdgeCases) {
  const int32_t h = Open();
  // No data: Data keeps what the application had.
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(1, 3).data()), 0);
  Inject(7, Record(1, {}), Error(2, 5));
  Block b = Patterned(0x22);
  Block before = b;
  ASSERT_TRUE(Receive(h, b));
  EXPECT_EQ(b, Dpc1Result(before, 1, '0', ZEL_DPC1_ERROR, {}));

  // A record claiming more than 240 bytes delivers 240.
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(2, 3).data()), 0);
  Block rec = Record(2, Counting(240, 0x80));
  rec[15] = 250;
  Inject(7, rec, Error(0));
  b = Patterned(0x33);
  before = b;
  ASSERT_TRUE(Receive(h, b));
  EXPECT_EQ(b, Dpc1Result(before, 2, '0', 0, Counting(240, 0x80)));
}

TEST_F(ApiTest, ReadConfirmationWithSequenceZeroRightAfterOpenIsARead) {
  const int32_t h = Open();
  Inject(7, Record(0, {9, 8}), Error(0));
  Block b = Patterned();
  const Block before = b;
  ASSERT_TRUE(Receive(h, b));
  EXPECT_EQ(b, Dpc1Result(before, 0, '0', 0, {9, 8}));
}

// A late or unknown confirmation can only meet the current job's own result:
// it is traced, and the result stays for the application.
TEST_F(ApiTest, LateAndUnknownConfirmationsLeaveTheStoredResult) {
  const int32_t h = Open();
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(1, 3).data()), 0);
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(2, 3).data()), 0);
  Inject(7, Record(2, {1}), Error(0));
  Inject(7, Record(1, {2}), Error(0));  // the first job's, too late
  ASSERT_TRUE(WaitUntil([] { return !Traces().empty(); }, 3000));
  EXPECT_EQ(Traces(), Strings{"Kalmorix.dll: Confirmation too late"});
  Inject(42, Record(2), Error(0));
  WaitFetched(3);
  Block b = Patterned();
  const Block before = b;
  ASSERT_TRUE(Receive(h, b, 0));
  EXPECT_EQ(b, Dpc1Result(before, 2, '0', 0, {1}));
  EXPECT_EQ(Traces().size(), 1u) << "an unknown kind is not traced";
}

TEST_F(ApiTest, WriteFinishesWithItsReadBackAfterThePause) {
  const int32_t h = Open();
  const Block data = Counting(6, 0x61);
  ASSERT_EQ(ZEL_send(h, 340, WriteJob(0x0101, 4, data, 4).data()), 0);
  const DpSimCall write = CallsOf("Dpc1Write")[0];
  Block cnf(write.data, write.data + 262);
  DpSim_LogClear();
  const auto t0 = std::chrono::steady_clock::now();
  Inject(8, cnf, Error(0, 0x55));

  // The read-back: 3000 ms later, 240 bytes, sequence 0, the slave of Param1.
  ASSERT_TRUE(WaitUntil([] { return !CallsOf("Dpc1Read").empty(); }, 6000));
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(waited, std::chrono::milliseconds(2900));
  const DpSimCall readBack = CallsOf("Dpc1Read")[0];
  EXPECT_EQ(readBack.data[0] | readBack.data[1] << 8, 0);
  EXPECT_EQ(readBack.data[15], 240);
  EXPECT_TRUE(std::equal(write.data + 2, write.data + 6, readBack.data + 2)) << "SlaveRef";
  const auto lookups = CallsOf("SlaveLookup");
  ASSERT_EQ(lookups.size(), 1u);
  EXPECT_EQ(lookups[0].args[1], 4);
  EXPECT_LT(lookups[0].seq, readBack.seq);
  EXPECT_TRUE(NothingStored(h)) << "not ready before the read-back is confirmed";

  Inject(7, Record(0, Counting(240)), Error(3, 7));
  Block b = Patterned(0x44);
  const Block before = b;
  ASSERT_TRUE(Receive(h, b));
  EXPECT_EQ(b, Dpc1Result(before, 0x0101, '1', ZEL_DPC1_ERROR, {}))
      << "a write result carries the read-back's status and no data";
}

TEST_F(ApiTest, ARefusedReadBackFinishesTheWriteAtOnce) {
  const int32_t h = Open();
  ASSERT_EQ(ZEL_send(h, 340, WriteJob(5, 3, {1, 2}, 3).data()), 0);
  DpSim_Script(DPSIM_SUBMIT_ERRCLASS, 0, 1);
  Inject(8, Record(1, {1, 2}, 3), Error(0));
  Block b = Patterned();
  const Block before = b;
  ASSERT_TRUE(Receive(h, b, 6000));
  EXPECT_EQ(b, Dpc1Result(before, 5, '1', 0, {})) << "ErrClass 0 of the refusal: success";
}

TEST_F(ApiTest, AWriteConfirmationWithoutAWriteJobIsLate) {
  const int32_t h = Open();
  ASSERT_EQ(ZEL_send(h, 340, WriteJob(1, 3, {1}, 3).data()), 0);
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(2, 3).data()), 0);  // the write is given up
  DpSim_LogClear();
  Inject(8, Record(1, {1}, 3), Error(0));
  ASSERT_TRUE(WaitUntil([] { return !Traces().empty(); }, 3000));
  EXPECT_EQ(Traces(), Strings{"Kalmorix.dll: Confirmation too late"});
  EXPECT_TRUE(CallsOf("SlaveLookup").empty()) << "no read-back for a job given up";
  Inject(7, Record(2, {7}), Error(0));
  Block b = Patterned();
  const Block before = b;
  ASSERT_TRUE(Receive(h, b));
  EXPECT_EQ(b, Dpc1Result(before, 2, '0', 0, {7})) << "the read gets its own result";
}

// Confirmations of write jobs that have been given up must finish neither
// the write job in progress nor finish it twice.
TEST_F(ApiTest, AnEarlierWritesReadBackDoesNotFinishTheNextWrite) {
  const int32_t h = Open();
  // Write 1 is confirmed; its read-back goes out after the pause.
  ASSERT_EQ(ZEL_send(h, 340, WriteJob(1, 3, {1}, 3).data()), 0);
  Inject(8, Record(1, {1}, 3), Error(0));
  ASSERT_TRUE(WaitUntil([] { return CallsOf("Dpc1Read").size() == 1; }, 6000));
  // Write 2 replaces it; write 1's read-back is confirmed during write 2's pause.
  ASSERT_EQ(ZEL_send(h, 340, WriteJob(2, 4, {2}, 4).data()), 0);
  Inject(8, Record(2, {2}, 4), Error(0));
  Inject(7, Record(0), Error(3));
  ASSERT_TRUE(WaitUntil([] { return CallsOf("Dpc1Read").size() == 2; }, 6000));
  ASSERT_TRUE(WaitUntil([] { return !Traces().empty(); }, 3000));
  EXPECT_EQ(Traces(), Strings{"Kalmorix.dll: Confirmation too late"});
  EXPECT_TRUE(NothingStored(h)) << "write 2 is not finished by write 1's read-back";
  Inject(7, Record(0), Error(0));  // write 2's read-back
  Block b = Patterned();
  const Block before = b;
  ASSERT_TRUE(Receive(h, b));
  EXPECT_EQ(b, Dpc1Result(before, 2, '1', 0, {}));
}

// Write confirmations of libraries that carry the job's sequence number, that
// leave 0 there, or that put another value of their own there.
class WriteSeqNo : public ApiTest, public ::testing::WithParamInterface<int> {
 protected:
  // The SeqNo such a library puts into the confirmation of job `seq`.
  uint16_t SeqNo(uint16_t seq) const { return GetParam() < 0 ? seq : GetParam(); }
};
INSTANTIATE_TEST_SUITE_P(Libraries, WriteSeqNo, ::testing::Values(-1, 0, 0x7777));

TEST_P(WriteSeqNo, TheOnlyWriteIsFinishedByItsConfirmation) {
  const int32_t h = Open();
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(1, 3).data()), 0);
  ASSERT_EQ(ZEL_send(h, 340, WriteJob(2, 4, {2}, 4).data()), 0);
  Inject(8, Record(SeqNo(2), {2}, 4), Error(0));
  ASSERT_TRUE(WaitUntil([] { return CallsOf("Dpc1Read").size() == 2; }, 6000));
  Inject(7, Record(0), Error(0));
  Block b = Patterned();
  const Block before = b;
  ASSERT_TRUE(Receive(h, b));
  EXPECT_EQ(b, Dpc1Result(before, 2, '1', 0, {}));
}

// A write whose own confirmation reports an error has failed: it finishes at
// once with that error, and nothing is read back.
TEST_F(ApiTest, AFailedWriteFinishesAtOnceWithItsError) {
  const int32_t h = Open();
  ASSERT_EQ(ZEL_send(h, 340, WriteJob(7, 3, {1}, 3).data()), 0);
  DpSim_LogClear();
  Inject(8, Record(1, {1}, 3), Error(2, 0x11));
  Block b = Patterned();
  const Block before = b;
  ASSERT_TRUE(Receive(h, b, 1500));
  EXPECT_EQ(b, Dpc1Result(before, 7, '1', ZEL_DPC1_ERROR, {}));
  EXPECT_TRUE(CallsOf("SlaveLookup").empty());
  EXPECT_TRUE(CallsOf("Dpc1Read").empty());
}

// A refused read-back finishes its write once: an earlier read-back that is
// still outstanding does not finish it again.
TEST_F(ApiTest, ARefusedReadBackIsNotFollowedByASecondResult) {
  const int32_t h = Open();
  ASSERT_EQ(ZEL_send(h, 340, WriteJob(1, 3, {1}, 3).data()), 0);
  Inject(8, Record(1, {1}, 3), Error(0));
  ASSERT_TRUE(WaitUntil([] { return CallsOf("Dpc1Read").size() == 1; }, 6000));
  ASSERT_EQ(ZEL_send(h, 340, WriteJob(2, 4, {2}, 4).data()), 0);
  DpSim_Script(DPSIM_SUBMIT_ERRCLASS, 2, 1);
  Inject(8, Record(2, {2}, 4), Error(0));
  Block b = Patterned();
  ASSERT_TRUE(Receive(h, b, 6000));
  EXPECT_EQ(U16(b, 14), ZEL_DPC1_ERROR);
  DpSim_LogClear();
  Inject(7, Record(0), Error(0));  // write 1's read-back
  ASSERT_TRUE(WaitUntil([] { return !Traces().empty(); }, 3000));
  EXPECT_EQ(Traces(), Strings{"Kalmorix.dll: Confirmation too late"});
  EXPECT_TRUE(NothingStored(h));
}

TEST_F(ApiTest, ARefusedWriteIsNotFinishedByAnEarlierWrite) {
  const int32_t h = Open();
  ASSERT_EQ(ZEL_send(h, 340, WriteJob(1, 3, {1}, 3).data()), 0);
  DpSim_Script(DPSIM_SUBMIT_ERRCLASS, 2, 1);
  ASSERT_EQ(ZEL_send(h, 340, WriteJob(2, 4, {2}, 4).data()), -1);
  DpSim_LogClear();
  // Write 1's confirmation, from a library that carries no sequence number.
  Inject(8, Record(0, {1}, 3), Error(0));
  ASSERT_TRUE(WaitUntil([] { return !Traces().empty(); }, 3000));
  EXPECT_EQ(Traces(), Strings{"Kalmorix.dll: Confirmation too late"});
  EXPECT_TRUE(CallsOf("SlaveLookup").empty());
  EXPECT_TRUE(NothingStored(h));
}

TEST_F(ApiTest, FdlResultByteForByte) {
  const int32_t h = Open();
  ASSERT_EQ(ZEL_send(h, 340, FdlJob(0x2222, 26).data()), 0);
  InjectFdl(fdl_, FdlCnf(1, 26, 0x0011, Counting(260, 0x20), 0xABCD));
  Block b = Patterned(0x55);
  Block expect = b;
  ASSERT_TRUE(Receive(h, b, 4000));
  expect[4] = 0x50;
  PutU16(expect, 5, 0x2222);
  expect[7] = 2;
  expect[8] = 1;
  expect[12] = 0x22;
  expect[13] = 1;
  PutU16(expect, 14, 0x0011);
  PutU16(expect, 16, 260);
  PutU16(expect, 19, 240);
  PutU16(expect, 21, 80);
  PutU16(expect, 25, 0);
  PutU16(expect, 28, 0);
  PutU16(expect, 30, 0);
  expect[34] = 1;
  PutU16(expect, 38, 26);
  expect[52] = 4;
  PutU16(expect, 60, 0xABCD);
  const Block data = Counting(260, 0x20);
  std::copy(data.begin(), data.end(), expect.begin() + 80);
  EXPECT_EQ(b, expect);
}

TEST_F(ApiTest, FdlResultLongerThanTheBlockIsCut) {
  const int32_t h = Open();
  ASSERT_EQ(ZEL_send(h, 340, FdlJob(3, 11).data()), 0);
  InjectFdl(fdl_, FdlCnf(1, 11, 0, Counting(260), 0, 0xFFFF - 1));
  Block b = Patterned();
  ASSERT_TRUE(Receive(h, b, 4000));
  EXPECT_EQ(U16(b, 16), 260);
  EXPECT_EQ(b[52], 4);
  EXPECT_TRUE(std::equal(b.begin() + 80, b.end(), Counting(260).begin()));
}

TEST_F(ApiTest, FdlBlocksForOtherJobsOrServices) {
  const int32_t h = Open();
  ASSERT_EQ(ZEL_send(h, 340, FdlJob(1, 11).data()), 0);  // JobSeq 1
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(2, 3).data()), 0);  // JobSeq 2
  Inject(7, Record(2, {5}), Error(0));
  WaitFetched(1);
  // Right job, unknown service: traced, the stored read result stays.
  InjectFdl(fdl_, FdlCnf(2, 12, 0, {}));
  ASSERT_TRUE(WaitUntil([] { return !Traces().empty(); }, 4000));
  EXPECT_EQ(Traces(), Strings{"Kalmorix.dll: FDL Confirmation undefined"});
  Block b = Patterned();
  ASSERT_TRUE(Receive(h, b, 0));
  EXPECT_EQ(b[80], 5);

  // The FDL job's result comes too late now: the next read's result stays.
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(3, 3).data()), 0);  // JobSeq 3
  Inject(7, Record(3, {6}), Error(0));
  WaitFetched(2);
  DpSim_LogClear();
  InjectFdl(fdl_, FdlCnf(1, 11, 0, {}));
  ASSERT_TRUE(WaitUntil([] { return !Traces().empty(); }, 4000));
  EXPECT_EQ(Traces(), Strings{"Kalmorix.dll: FDL Confirmation too late"});
  ASSERT_TRUE(Receive(h, b, 0));
  EXPECT_EQ(b[80], 6);
}

TEST_F(ApiTest, AnFdlJobWithoutTheCompanionKeepsTheStoredResult) {
  UseNoCompanion();
  const int32_t h = Open();
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(1, 3).data()), 0);
  Inject(7, Record(1, {4}), Error(0));
  WaitFetched(1);
  EXPECT_EQ(ZEL_send(h, 340, FdlJob(2, 11).data()), -1);
  Block b = Patterned();
  ASSERT_TRUE(Receive(h, b, 0));
  EXPECT_EQ(b[80], 4);
}

// FDL results are polled when the worker's wait has run a full second
// without a DPC1 confirmation.
TEST_F(ApiTest, FdlPollsComeOncePerIdleSecond) {
  Open();
  ASSERT_TRUE(WaitUntil([] { return CallsOf("ZEL_receive", DPSIM_LIB_FDL).size() >= 3; }, 5000));
  const auto polls = CallsOf("ZEL_receive", DPSIM_LIB_FDL);
  EXPECT_GE(polls[2].timeUs - polls[1].timeUs, 950000u);
}

// One thread passes jobs on while another fetches results: every result
// delivered is whole and is the job's that it names.
TEST_F(ApiTest, ResultsFetchedWhileJobsArePassedOnAreWhole) {
  const int32_t h = Open();
  DpSim_SetAutoConfirm(1);
  DpSim_SetDelayUs(0);
  DpSim_SetStamping(1);
  DpSim_SetLogging(0);
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> delivered{0};
  std::thread sender([&] {
    for (uint16_t job = 1; !stop && job < 60000; ++job) {
      const uint32_t before = delivered;
      if (ZEL_send(h, 340, ReadJob(job, 3).data()) != 0) break;
      // Every fourth job waits for its delivery; the others give up their
      // result after a varied spell (busy: sleeps are a millisecond under
      // Wine), so that fetches meet stores at every stage.
      const auto next = std::chrono::steady_clock::now() +
                        std::chrono::microseconds(job % 4 == 0 ? 100000 : job % 13 * 60);
      while (!stop && std::chrono::steady_clock::now() < next &&
             !(job % 4 == 0 && delivered != before)) {
        std::this_thread::yield();
      }
    }
  });
  // Two seconds, and then (on a slow machine, or under valgrind) until a
  // few results have been fetched.
  const auto start = std::chrono::steady_clock::now();
  while (!HasFailure()) {
    const auto spent = std::chrono::steady_clock::now() - start;
    if (spent > std::chrono::seconds(delivered >= 20 ? 2 : 60)) break;
    Block b(340, 0);
    uint16_t length = 0;
    EXPECT_EQ(ZEL_receive(h, 0, &length, 0, b.data()), 0);
    if (length == 0) {
      std::this_thread::yield();
      continue;
    }
    ++delivered;
    DpSimStamp stamp = {};
    EXPECT_EQ(DpSim_StampCheck(b.data() + 80, U16(b, 16), &stamp), 0) << "torn result";
    EXPECT_EQ(stamp.seq, U16(b, 5)) << "data of another job";
  }
  stop = true;
  sender.join();
  DpSim_SetLogging(1);
  EXPECT_GE(delivered, 20u) << DpSim_StampCount() << " stamps";
}

TEST_F(ApiTest, ANewJobGivesUpTheUnfetchedResult) {
  const int32_t h = Open();
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(1, 3).data()), 0);
  Inject(7, Record(1, {1}), Error(0));
  WaitFetched(1);
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(2, 3).data()), 0);
  EXPECT_TRUE(NothingStored(h));
}

TEST_F(ApiTest, CloseDuringTheReadBackPauseEndsAfterThePause) {
  const int32_t h = Open();
  ASSERT_EQ(ZEL_send(h, 340, WriteJob(1, 3, {1}, 3).data()), 0);
  Inject(8, Record(1, {1}, 3), Error(0));
  // The worker's own look-up (after ZEL_send's) starts the pause.
  ASSERT_TRUE(WaitUntil([] { return CallsOf("SlaveLookup").size() == 2; }, 3000));
  DpSim_LogClear();
  EXPECT_EQ(ZEL_close(h), 0);
  // The worker finished its pass first: read-back, then the stop.
  EXPECT_EQ(Ops(), (Strings{"Dpc1Read", "FreeSemaObject", "DP_close", "fdl:ZEL_close"}));
}

}  // namespace
