// Unloading the module with channels open: detach must close them promptly,
// in index order, and release the processor of the highest one.
#include <chrono>

#include "support/test_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

using namespace kxtest;

namespace {

using OpenFn = int32_t(ZEL_CALL*)(const char*);
using CloseFn = int32_t(ZEL_CALL*)(int32_t);

struct Module {
  void* lib = nullptr;
  OpenFn open = nullptr;
  CloseFn close = nullptr;
};

Module Load() {
  Module m;
#if defined(_WIN32)
  HMODULE lib = LoadLibraryA(KX_MODULE_PATH);
  m.lib = lib;
  if (lib) {
    // Through a plain function pointer type, which any other casts to.
    m.open =
        reinterpret_cast<OpenFn>(reinterpret_cast<void (*)()>(GetProcAddress(lib, "ZEL_open")));
    m.close =
        reinterpret_cast<CloseFn>(reinterpret_cast<void (*)()>(GetProcAddress(lib, "ZEL_close")));
  }
#else
  m.lib = dlopen(KX_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  if (m.lib) {
    m.open = reinterpret_cast<OpenFn>(dlsym(m.lib, "ZEL_open"));
    m.close = reinterpret_cast<CloseFn>(dlsym(m.lib, "ZEL_close"));
  }
#endif
  return m;
}

bool Unload(Module& m) {
#if defined(_WIN32)
  return FreeLibrary(static_cast<HMODULE>(m.lib)) != FALSE;
#else
  return dlclose(m.lib) == 0;
#endif
}

class UnloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DpSim_Reset();
    DpSim_SetTrace("off");
    UseCompanion("full");
  }
};

TEST_F(UnloadTest, UnloadWithTwoChannelsOpenIsPromptAndReleasesTheHigherOne) {
  Module m = Load();
  ASSERT_NE(m.lib, nullptr);
  ASSERT_NE(m.open, nullptr);
  ASSERT_EQ(m.open("VCP1"), 0);
  ASSERT_EQ(m.open("VCP2"), 1);
  DpSim_LogClear();

  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(Unload(m));
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  std::printf("unload with 2 channels open: %lld ms\n", static_cast<long long>(ms));
  // Waiting on worker threads under the loader lock would take 10 s each.
  EXPECT_LT(ms, 5000);

  const auto releases = CallsOf("CpRelease");
  ASSERT_EQ(releases.size(), 1u);
  EXPECT_STREQ(releases[0].text, "VCP2");
  EXPECT_EQ(CallsOf("DP_close").size(), 2u);
  EXPECT_EQ(CallsOf("FreeSemaObject").size(), 2u) << "both workers ended their own way";
  EXPECT_EQ(DpSim_OpenDpHandles(), 0);
  EXPECT_EQ(DpSim_OpenFdlHandles(), 0);
  EXPECT_EQ(DpSim_FdlLibrariesLoaded(), 0);
  EXPECT_EQ(DpSim_SignalsOutstanding(), 0);
}

TEST_F(UnloadTest, ReloadStartsAgainWithEveryChannelFree) {
  Module m = Load();
  ASSERT_NE(m.open, nullptr);
  for (int i = 0; i < 8; ++i) ASSERT_EQ(m.open("VCP1"), i);
  ASSERT_TRUE(Unload(m));
  m = Load();
  ASSERT_NE(m.open, nullptr);
  EXPECT_EQ(m.open("VCP1"), 0);
  EXPECT_EQ(m.close(0), 0);
  DpSim_LogClear();
  ASSERT_TRUE(Unload(m));
  EXPECT_EQ(DpSim_LogCount(), 0u) << "nothing open, nothing to do at detach";
}

}  // namespace
