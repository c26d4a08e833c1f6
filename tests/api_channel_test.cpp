// Opening and closing channels, FDL activation and window registration,
// through the module's exports.
#include <string>

#include "message_window.h"
#include "support/api_fixture.h"

using namespace kxtest;

namespace {

using Strings = std::vector<std::string>;

// ---- ZEL_open ---------------------------------------------------------------------

TEST_F(ApiTest, OpenRefusesNullEmptyAndLongNamesWithoutTouchingTheLibrary) {
  DpSim_LogClear();
  EXPECT_EQ(ZEL_open(nullptr), ZEL_NO_DEVICE_AVAILABLE);
  EXPECT_EQ(ZEL_open(""), ZEL_NO_DEVICE_AVAILABLE);
  const std::string name64(64, 'N');
  EXPECT_EQ(ZEL_open(name64.c_str()), ZEL_NO_DEVICE_AVAILABLE);
  EXPECT_EQ(Ops(), Strings(3, "TraceMessage"));
  EXPECT_EQ(Traces(), (Strings{"Kalmorix.dll: ZEL_open(ZEL_NO_DEVICE_AVAILABLE)",
                               "Kalmorix.dll: ZEL_open(ZEL_NO_DEVICE_AVAILABLE_1)",
                               "Kalmorix.dll: ZEL_open(name too long)"}));
}

TEST_F(ApiTest, OpenPassesA63CharacterNameWhole) {
  const std::string name63 = "P" + std::string(61, 'x') + "Z";
  ASSERT_EQ(name63.size(), 63u);
  ASSERT_EQ(DpSim_SetSlave(name63.c_str(), 3, "ab", 2), 0);
  DpSim_LogClear();
  const int32_t h = ZEL_open(name63.c_str());
  ASSERT_EQ(h, 0);
  const auto prepare = CallsOf("CpPrepare");
  const auto open = CallsOf("OpenDpHandle");
  ASSERT_EQ(prepare.size(), 1u);
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(prepare[0].text, name63);
  EXPECT_EQ(prepare[0].args[1], 0);
  EXPECT_LT(prepare[0].seq, open[0].seq);
  EXPECT_EQ(open[0].text, name63);
  const auto fdlOpen = CallsOf("ZEL_open", DPSIM_LIB_FDL);
  ASSERT_EQ(fdlOpen.size(), 1u);
  EXPECT_EQ(fdlOpen[0].text, name63);
}

TEST_F(ApiTest, OpenHandsOutTheLowestFreeIndexAndRefusesANinth) {
  for (int i = 0; i < 8; ++i) ASSERT_EQ(ZEL_open(i % 2 ? "VCP2" : "VCP1"), i);
  DpSim_LogClear();
  EXPECT_EQ(ZEL_open("VCP1"), ZEL_NO_DEVICE_AVAILABLE);
  EXPECT_EQ(Ops(), Strings{"TraceMessage"});
  EXPECT_EQ(Traces(), Strings{"Kalmorix.dll: ZEL_open(ZEL_NO_DEVICE_AVAILABLE_2)"});
  ASSERT_EQ(ZEL_close(1), 0);
  ASSERT_EQ(ZEL_close(5), 0);
  EXPECT_EQ(ZEL_open("VCP1"), 1);
  EXPECT_EQ(ZEL_open("VCP1"), 5);
}

TEST_F(ApiTest, OpenOfARefusedProcessorLeavesTheRecordFree) {
  DpSim_LogClear();
  EXPECT_EQ(ZEL_open("NO-SUCH-CP"), ZEL_NO_DEVICE_AVAILABLE);
  EXPECT_EQ(Ops(), (Strings{"CpPrepare", "OpenDpHandle", "TraceMessage"}));
  EXPECT_EQ(Traces(), Strings{"Kalmorix.dll: ZEL_open(ZEL_NO_DEVICE_AVAILABLE_3)"});
  EXPECT_EQ(ZEL_open("VCP1"), 0) << "index 0 is free again";
}

TEST_F(ApiTest, OpenWhoseWorkerCannotStartReturnsPromptlyAndGivesEverythingBack) {
  DpSim_Script(DPSIM_INITSEMA_RESULT, 1, 1);
  DpSim_LogClear();
  EXPECT_EQ(ZEL_open("VCP1"), ZEL_NO_DEVICE_AVAILABLE);
  EXPECT_EQ(Traces(), (Strings{"Kalmorix.dll: DP_init_sema_object failed",
                               "Kalmorix.dll: ZEL_open(ZEL_NO_DEVICE_AVAILABLE_3)"}));
  EXPECT_EQ(CallsOf("DP_close").size(), 1u) << "the DP handle is closed again";
  EXPECT_EQ(CallsOf("ZEL_close", DPSIM_LIB_FDL).size(), 1u) << "and the FDL handle";
  EXPECT_EQ(DpSim_OpenDpHandles(), 0);
  EXPECT_EQ(DpSim_OpenFdlHandles(), 0);
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), 0);
  EXPECT_EQ(ZEL_open("VCP1"), 0) << "the record is free";
}

// ---- FDL activation --------------------------------------------------------------

TEST_F(ApiTest, OpenWithoutCompanionLibraryStillOpens) {
  for (const char* variant : {"none", "broken"}) {
    UseCompanion(variant);
    DpSim_LogClear();
    const int32_t h = ZEL_open("VCP1");
    EXPECT_EQ(h, 0) << variant;
    EXPECT_EQ(Traces(), Strings{"Kalmorix.dll: ZEL_open(Could not activate FDL)"}) << variant;
    EXPECT_EQ(DpSim_FdlLibrariesLoaded(), 0) << variant;
    // Without FDL an FDL job is refused and the companion never called.
    DpSim_LogClear();
    EXPECT_EQ(ZEL_send(h, 340, FdlJob(1, 11).data()), -1);
    EXPECT_EQ(Traces(), Strings{"Kalmorix.dll: ZEL_send: FDL not available"});
    EXPECT_EQ(ZEL_close(h), 0);
  }
}

TEST_F(ApiTest, OpenNamesEachMissingEntryPointAndGoesOnWithoutFdl) {
  const struct {
    const char* variant;
    const char* trace;
  } cases[] = {
      {"no_open", "Kalmorix.dll: ZEL_open(Could not get proc adr (ZEL_open))"},
      {"no_close", "Kalmorix.dll: ZEL_open(Could not get proc adr (ZEL_close))"},
      {"no_send", "Kalmorix.dll: ZEL_open(Could not get proc adr (ZEL_send))"},
      {"no_receive", "Kalmorix.dll: ZEL_open(Could not get proc adr (ZEL_receive))"},
  };
  for (const auto& c : cases) {
    UseCompanion(c.variant);
    DpSim_LogClear();
    const int32_t h = ZEL_open("VCP1");
    EXPECT_EQ(h, 0) << c.variant;
    EXPECT_EQ(Traces(), (Strings{c.trace, "Kalmorix.dll: ZEL_open(Could not activate FDL)"}))
        << c.variant;
    EXPECT_TRUE(CallsOf("ZEL_open", DPSIM_LIB_FDL).empty()) << c.variant;
    EXPECT_EQ(DpSim_FdlLibrariesLoaded(), 0) << c.variant << ": unloaded again";
    EXPECT_EQ(ZEL_close(h), 0);
  }
}

TEST_F(ApiTest, CompanionOpenResultMinusOneFailsButZeroIsAHandle) {
  DpSim_Script(DPSIM_FDL_OPEN_RESULT, -1, 1);
  DpSim_LogClear();
  int32_t h = ZEL_open("VCP1");
  EXPECT_EQ(h, 0);
  EXPECT_EQ(Traces(), Strings{"Kalmorix.dll: ZEL_open(Could not activate FDL)"});
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), 0);
  ASSERT_EQ(ZEL_close(h), 0);

  DpSim_Script(DPSIM_FDL_OPEN_RESULT, 0, 1);
  DpSim_LogClear();
  h = ZEL_open("VCP1");
  EXPECT_TRUE(Traces().empty());
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), 1);
  DpSim_LogClear();
  EXPECT_EQ(ZEL_send(h, 340, FdlJob(1, 26).data()), 0);
  const auto sends = CallsOf("ZEL_send", DPSIM_LIB_FDL);
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].args[0], 0) << "sent on FDL handle 0";
}

// ---- ZEL_close --------------------------------------------------------------------

TEST_F(ApiTest, CloseOfNoChannelFailsSilently) {
  const int32_t h = Open();
  ASSERT_EQ(ZEL_close(h), 0);
  DpSim_LogClear();
  for (int32_t bad : {8, -1, 0, 3, 0x7FFFFFFF}) EXPECT_EQ(ZEL_close(bad), ZEL_CLOSE_FAILED) << bad;
  EXPECT_EQ(DpSim_LogCount(), 0u);
}

TEST_F(ApiTest, CloseStopsTheWorkerThenClosesAndReleases) {
  const int32_t h = Open();
  EXPECT_EQ(ZEL_close(h), 0);
  EXPECT_EQ(Ops(), (Strings{"FreeSemaObject", "DP_close", "fdl:ZEL_close"}));
  EXPECT_EQ(CallsOf("DP_close")[0].args[0], dp_);
  EXPECT_EQ(CallsOf("ZEL_close", DPSIM_LIB_FDL)[0].args[0], fdl_);
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), 0);
  EXPECT_EQ(DpSim_SignalsOutstanding(), 0);
}

TEST_F(ApiTest, CloseWhoseDpCloseFailsKeepsTheChannelForALaterClose) {
  const int32_t h = Open();
  DpSim_Script(DPSIM_CLOSE_RESULT, 7, 1);
  EXPECT_EQ(ZEL_close(h), ZEL_CLOSE_FAILED);
  EXPECT_EQ(Traces(), Strings{"Kalmorix.dll: ZEL_close failed(2)"});
  // Still open: the handle is valid for the other exports.
  uint16_t length = 0xBEEF;
  Block b = Patterned();
  EXPECT_EQ(ZEL_receive(h, 0, &length, 0, b.data()), 0);
  EXPECT_EQ(length, 0);
  DpSim_LogClear();
  EXPECT_EQ(ZEL_close(h), 0);
  EXPECT_EQ(Ops(), (Strings{"DP_close", "fdl:ZEL_close"}));
  EXPECT_EQ(ZEL_close(h), ZEL_CLOSE_FAILED);
}

TEST_F(ApiTest, CompanionCloseFailureIsTracedButCloseSucceeds) {
  const int32_t h = Open();
  DpSim_Script(DPSIM_FDL_CLOSE_RESULT, 5, 1);
  EXPECT_EQ(ZEL_close(h), 0);
  EXPECT_EQ(Traces(), Strings{"Kalmorix.dll: FdlHndl"});
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), 0);
}

TEST_F(ApiTest, AReopenedChannelStartsFromZero) {
  int32_t h = Open();
  plat::Window wnd = plat::MessageWindowCreate();
  ASSERT_EQ(SetTalvoHWndMsg(h, wnd, 0x8123), 0);
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(1, 3).data()), 0);
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(2, 3).data()), 0);
  Inject(7, Record(2, {1, 2, 3}), Error(0));
  Block b = Patterned();
  ASSERT_TRUE(Receive(h, b));
  ASSERT_EQ(ZEL_close(h), 0);
  plat::PostedMessage m;
  while (plat::MessageWindowNext(wnd, &m, 0)) {
  }

  h = Open();
  EXPECT_EQ(h, 0);
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(9, 3).data()), 0);
  EXPECT_EQ(SeqOfLastSubmission(), 1) << "JobSeq starts again at 1";
  Inject(7, Record(1, {4}), Error(0));
  // A second pass with the result still ready would post, were the old
  // registration still there.
  Inject(7, Record(0), Error(0));
  ASSERT_TRUE(WaitUntil([] { return !Traces().empty(); }, 3000));
  EXPECT_FALSE(plat::MessageWindowNext(wnd, &m, 300)) << "no registration survives the close";
  ASSERT_TRUE(Receive(h, b));
  plat::MessageWindowDestroy(wnd);
}

// ---- Window registration and notification -------------------------------------

TEST_F(ApiTest, RegistrationRefusals) {
  plat::Window wnd = plat::MessageWindowCreate();
  const int32_t h = Open();
  struct Case {
    int32_t handle;
    void* wnd;
    uint32_t msg;
    const char* trace;
  } cases[] = {
      {-1, wnd, 1, "Kalmorix.dll: dpc1_use_messages:invalid handle"},
      {8, wnd, 1, nullptr},
      {-2, wnd, 1, nullptr},
      {5, wnd, 1, "Kalmorix.dll: dpc1_use_messages:close already done"},
      {h, reinterpret_cast<void*>(0x1234), 0,
       "Kalmorix.dll: dpc1_use_messages: invalid window handle"},
      {h, nullptr, 1, "Kalmorix.dll: dpc1_use_messages: invalid window handle"},
      {h, wnd, 0, "Kalmorix.dll:dpc1_use_messages: invalid msg_id"},
      {h, wnd, 0xFFFFFFFFu, "Kalmorix.dll:dpc1_use_messages: invalid msg_id"},
  };
  for (const Case& c : cases) {
    DpSim_LogClear();
    EXPECT_EQ(SetTalvoHWndMsg(c.handle, c.wnd, c.msg), -1) << c.handle << " " << c.msg;
    EXPECT_EQ(Traces(), c.trace ? Strings{c.trace} : Strings{}) << c.handle << " " << c.msg;
  }
  EXPECT_EQ(SetTalvoHWndMsg(h, wnd, 1), 0);
  EXPECT_EQ(SetTalvoHWndMsg(h, wnd, 0xFFFFFFFEu), 0);
  DpSim_LogClear();
  for (void* any : {static_cast<void*>(nullptr), wnd, reinterpret_cast<void*>(0x1234)})
    EXPECT_EQ(SetTalvoHWnd(any), 0);
  EXPECT_EQ(DpSim_LogCount(), 0u);
  plat::MessageWindowDestroy(wnd);
}

TEST_F(ApiTest, EachStoredResultIsAnnouncedOnceWithZeroParameters) {
  plat::Window wnd = plat::MessageWindowCreate();
  const int32_t h = Open();
  ASSERT_EQ(SetTalvoHWndMsg(h, wnd, 0x8042), 0);
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(1, 3).data()), 0);
  Inject(7, Record(1, {1}), Error(0));
  plat::PostedMessage m = {};
  ASSERT_TRUE(plat::MessageWindowNext(wnd, &m, 3000));
  EXPECT_EQ(m.wnd, wnd);
  EXPECT_EQ(m.msg, 0x8042u);
  EXPECT_EQ(m.wParam, 0u);
  EXPECT_EQ(m.lParam, 0);
  // A later pass that stores nothing new posts nothing more, and an unknown
  // confirmation leaves the result stored.
  Inject(9, Record(1), Error(0));
  WaitFetched(2);
  EXPECT_FALSE(plat::MessageWindowNext(wnd, &m, 300));
  Block b = Patterned();
  EXPECT_TRUE(Receive(h, b, 0));
  plat::MessageWindowDestroy(wnd);
}

TEST_F(ApiTest, AResultFetchedBeforeRegistrationIsNotAnnounced) {
  plat::Window wnd = plat::MessageWindowCreate();
  const int32_t h = Open();
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(1, 3).data()), 0);
  Inject(7, Record(1, {1}), Error(0));
  Block b = Patterned();
  ASSERT_TRUE(Receive(h, b));
  ASSERT_EQ(SetTalvoHWndMsg(h, wnd, 0x8044), 0);
  Inject(7, Record(0), Error(0));  // a pass that ends with the notification step
  WaitFetched(2);
  plat::PostedMessage m = {};
  EXPECT_FALSE(plat::MessageWindowNext(wnd, &m, 300)) << "nothing is stored to announce";
  plat::MessageWindowDestroy(wnd);
}

TEST_F(ApiTest, AResultStoredBeforeRegistrationIsAnnouncedByTheNextPass) {
  plat::Window wnd = plat::MessageWindowCreate();
  const int32_t h = Open();
  ASSERT_EQ(ZEL_send(h, 340, ReadJob(1, 3).data()), 0);
  Inject(7, Record(1, {1}), Error(0));
  WaitFetched(1);
  ASSERT_EQ(SetTalvoHWndMsg(h, wnd, 0x8043), 0);
  plat::PostedMessage m = {};
  EXPECT_FALSE(plat::MessageWindowNext(wnd, &m, 200)) << "registration alone posts nothing";
  // A read-back confirmation with nothing outstanding leaves the result alone
  // and ends a pass with the notification step.
  Inject(7, Record(0), Error(0));
  ASSERT_TRUE(plat::MessageWindowNext(wnd, &m, 3000));
  EXPECT_EQ(m.msg, 0x8043u);
  Block b = Patterned();
  EXPECT_TRUE(Receive(h, b));
  plat::MessageWindowDestroy(wnd);
}

}  // namespace

#if defined(_WIN32)
// The DLL carries its version for installers and support: read it back the
// way Windows tools do.
TEST(VersionResource, FileAndProductVersionAndDescription) {
  HMODULE dll = GetModuleHandleA("Kalmorix.dll");
  ASSERT_NE(dll, nullptr);
  char path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(dll, path, sizeof path), 0u);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT len = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &len));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, (KX_VERSION_MAJOR << 16) | KX_VERSION_MINOR);
  EXPECT_EQ(fixed->dwProductVersionMS, (KX_VERSION_MAJOR << 16) | KX_VERSION_MINOR);
  EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), static_cast<unsigned>(KX_VERSION_PATCH));

  auto text = [&](const char* name) {
    char* value = nullptr;
    UINT n = 0;
    const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &n))
      return std::string();
    return std::string(value);
  };
  EXPECT_EQ(text("FileVersion"), KX_VERSION);
  EXPECT_EQ(text("ProductVersion"), KX_VERSION);
  EXPECT_EQ(text("OriginalFilename"), "Kalmorix.dll");
  EXPECT_NE(text("FileDescription").find("Kalmorix"), std::string::npos);
}
#endif
