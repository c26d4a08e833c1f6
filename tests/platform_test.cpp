// The platform layer, held to Win32 behaviour: the same cases run natively
// against the emulation and under Wine against the real calls. Cases named
// *Emulation cover what only the emulation promises.
//
// Built a second way (KX_PLATFORM_PROBE_LIBRARY = n) as the small library the
// loading cases look for.
#include "platform.h"

#if defined(KX_PLATFORM_PROBE_LIBRARY)

#if defined(_WIN32)
#define KX_PROBE_EXPORT extern "C" __declspec(dllexport)
#else
#define KX_PROBE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

KX_PROBE_EXPORT int kx_probe_answer() { return KX_PLATFORM_PROBE_LIBRARY; }

#if defined(KX_PLATFORM_PROBE_MARKER)
#include <fstream>
// A library planted in the working directory: loading it runs this, which
// leaves a file there for the test to find.
__attribute__((constructor)) static void PlantedLibraryRuns() {
  std::ofstream(KX_PLATFORM_PROBE_MARKER) << "loaded\n";
}
#endif

// Ends the calling thread from inside this library, which the test unloads as
// soon as it sees the event.
KX_PROBE_EXPORT void kx_probe_signal_and_exit(plat::Handle event, uint32_t code) {
  plat::ThreadSignalAndExit(event, code);
}

#else  // the test program

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "message_window.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#include <pthread.h>
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using plat::kWaitFailed;
using plat::kWaitObject0;
using plat::kWaitTimeout;

// Waits that must succeed get far more time than they need; waits that must
// not succeed get long enough for a wrong wake-up to show.
constexpr uint32_t kLongMs = 10000;
constexpr uint32_t kShortMs = 200;
// Windows may end a timed wait up to a timer tick early.
constexpr int64_t kEarlyMarginMs = 20;
constexpr uint32_t kNoCode = 0xBADC0DEu;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The last error that `call` leaves behind.
template <typename F>
uint32_t ErrorOf(F call) {
  plat::LastErrorSet(0);
  call();
  return plat::LastErrorGet();
}

struct HandleCloser {
  void operator()(void* h) const { plat::HandleClose(h); }
};
using HandlePtr = std::unique_ptr<void, HandleCloser>;

HandlePtr Semaphore(int32_t initial, int32_t maximum) {
  return HandlePtr(plat::SemaphoreCreate(initial, maximum));
}
HandlePtr Event() { return HandlePtr(plat::EventCreate()); }

uint32_t KX_STDCALL ReleaseOnce(void* sema) {
  plat::SemaphoreRelease(sema, 1);
  return 0;
}

// A plat thread running a function object; waits for it on destruction.
class TestThread {
 public:
  explicit TestThread(std::function<uint32_t()> body)
      : body_(std::move(body)), handle_(plat::ThreadCreate(&Run, this)) {}
  ~TestThread() {
    if (handle_ == nullptr) return;
    plat::WaitOne(handle_, plat::kInfinite);
    plat::HandleClose(handle_);
  }
  TestThread(const TestThread&) = delete;
  TestThread& operator=(const TestThread&) = delete;

  plat::Handle handle() const { return handle_; }
  bool Join() { return plat::WaitOne(handle_, kLongMs) == kWaitObject0; }
  uint32_t ExitCode() {
    uint32_t code = 0;
    return plat::ThreadExitCode(handle_, &code) ? code : kNoCode;
  }

 private:
  static uint32_t KX_STDCALL Run(void* self) { return static_cast<TestThread*>(self)->body_(); }

  std::function<uint32_t()> body_;
  plat::Handle handle_;
};

using TestThreadPtr = std::unique_ptr<TestThread>;

// Joins all and sums their exit codes (kNoCode when one did not end).
uint32_t JoinAll(std::vector<TestThreadPtr>& threads) {
  uint32_t sum = 0;
  for (auto& t : threads) {
    if (!t->Join()) return kNoCode;
    sum += t->ExitCode();
  }
  return sum;
}

// --- Critical section and semaphores ----------------------------------------

TEST(PlatformLock, IsRecursiveAndKeepsOtherThreadsOut) {
  plat::Lock lock;
  plat::LockInit(&lock);
  plat::LockEnter(&lock);
  plat::LockEnter(&lock);
  HandlePtr started = Event();
  std::atomic<bool> acquired{false};
  {
    TestThread t([&]() -> uint32_t {
      plat::EventSet(started.get());
      plat::LockEnter(&lock);
      acquired = true;
      plat::LockLeave(&lock);
      return 0;
    });
    ASSERT_EQ(plat::WaitOne(started.get(), kLongMs), kWaitObject0);
    plat::LockLeave(&lock);
    // Still held once: the other thread must go on waiting.
    EXPECT_EQ(plat::WaitOne(t.handle(), kShortMs), kWaitTimeout);
    EXPECT_FALSE(acquired);
    plat::LockLeave(&lock);
    EXPECT_TRUE(t.Join());
  }
  EXPECT_TRUE(acquired);
  plat::LockDelete(&lock);
}

TEST(PlatformSemaphore, CountsUpToItsMaximum) {
  HandlePtr sema = Semaphore(2, 3);
  ASSERT_NE(sema, nullptr);
  EXPECT_EQ(plat::WaitOne(sema.get(), 0), kWaitObject0);
  EXPECT_EQ(plat::WaitOne(sema.get(), 0), kWaitObject0);
  EXPECT_EQ(plat::WaitOne(sema.get(), 0), kWaitTimeout);
  EXPECT_TRUE(plat::SemaphoreRelease(sema.get(), 1));
  EXPECT_EQ(ErrorOf([&] { EXPECT_FALSE(plat::SemaphoreRelease(sema.get(), 3)); }),
            plat::kErrorTooManyPosts);
  EXPECT_FALSE(plat::SemaphoreRelease(sema.get(), -1));
  // The refused releases left the count alone.
  EXPECT_TRUE(plat::SemaphoreRelease(sema.get(), 2));
  EXPECT_FALSE(plat::SemaphoreRelease(sema.get(), 1));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(plat::WaitOne(sema.get(), 0), kWaitObject0) << i;
  EXPECT_EQ(plat::WaitOne(sema.get(), 0), kWaitTimeout);

  // A count near the top of the range must not overflow into acceptance.
  HandlePtr wide = Semaphore(1, 0x7FFFFFFF);
  EXPECT_TRUE(plat::SemaphoreRelease(wide.get(), 0x7FFFFFFE));
  EXPECT_FALSE(plat::SemaphoreRelease(wide.get(), 0x7FFFFFFF));

  for (auto [initial, maximum] : {std::pair{4, 3}, std::pair{0, 0}, std::pair{-1, 3}}) {
    plat::Handle h = nullptr;
    EXPECT_EQ(ErrorOf([&] { h = plat::SemaphoreCreate(initial, maximum); }),
              plat::kErrorInvalidParameter);
    EXPECT_EQ(h, nullptr) << initial << "/" << maximum;
  }
}

// Threads wait on two semaphores, some on one, some on either; every count
// released must wake exactly one wait.
TEST(PlatformSemaphore, ConcurrentWaitersTakeEachCountOnce) {
  constexpr int32_t kPerSemaphore = 3000;
  HandlePtr a = Semaphore(0, 1 << 30), b = Semaphore(0, 1 << 30), taken = Semaphore(0, 1 << 30);
  ASSERT_TRUE(a && b && taken);
  std::atomic<bool> stop{false};
  std::vector<TestThreadPtr> threads;
  for (int mode : {0, 1, 2, 0, 1, 2}) {
    threads.push_back(std::make_unique<TestThread>([&, mode]() -> uint32_t {
      for (uint32_t got = 0;; ++got) {
        const uint32_t r = mode == 0   ? plat::WaitOne(a.get(), kLongMs)
                           : mode == 1 ? plat::WaitOne(b.get(), kLongMs)
                                       : plat::WaitAnyOfTwo(a.get(), b.get(), kLongMs);
        if (r != kWaitObject0 && r != kWaitObject0 + 1) return kNoCode;
        if (stop) return got;
        plat::SemaphoreRelease(taken.get(), 1);
      }
    }));
  }
  for (int32_t released = 0, batch = 1; released < kPerSemaphore; batch = batch % 3 + 1) {
    const int32_t n = std::min(batch, kPerSemaphore - released);
    ASSERT_TRUE(plat::SemaphoreRelease(a.get(), n));
    ASSERT_TRUE(plat::SemaphoreRelease(b.get(), n));
    released += n;
  }
  for (int32_t i = 0; i < 2 * kPerSemaphore; ++i) {
    ASSERT_EQ(plat::WaitOne(taken.get(), kLongMs), kWaitObject0) << "lost wake-up at " << i;
  }
  EXPECT_EQ(plat::WaitOne(taken.get(), kShortMs), kWaitTimeout) << "a count was taken twice";
  EXPECT_EQ(plat::WaitOne(a.get(), 0), kWaitTimeout);
  EXPECT_EQ(plat::WaitOne(b.get(), 0), kWaitTimeout);
  stop = true;
  ASSERT_TRUE(plat::SemaphoreRelease(a.get(), 6));
  ASSERT_TRUE(plat::SemaphoreRelease(b.get(), 6));
  EXPECT_EQ(JoinAll(threads), 2u * kPerSemaphore);
}

// A count handed to a waiter just as its time runs out must be neither lost
// nor given twice.
TEST(PlatformSemaphore, CountsSurviveWaitsThatTimeOut) {
  constexpr int32_t kReleases = 10000;
  HandlePtr sema = Semaphore(0, 1 << 30), never = Event();
  ASSERT_TRUE(sema && never);
  std::atomic<bool> stop{false};
  std::vector<TestThreadPtr> threads;
  for (bool both : {false, true, false, true}) {
    threads.push_back(std::make_unique<TestThread>([&, both]() -> uint32_t {
      uint32_t got = 0;
      while (!stop) {
        const uint32_t r =
            both ? plat::WaitAnyOfTwo(never.get(), sema.get(), 1) : plat::WaitOne(sema.get(), 1);
        if (r == (both ? kWaitObject0 + 1 : kWaitObject0)) {
          ++got;
        } else if (r != kWaitTimeout) {
          return kNoCode;
        }
      }
      return got;
    }));
  }
  for (int32_t i = 0; i < kReleases; ++i) {
    ASSERT_TRUE(plat::SemaphoreRelease(sema.get(), 1));
    if (i % 10 == 0) plat::SleepMs(1);  // lets the waiters run into their time-outs
  }
  stop = true;
  uint32_t taken = JoinAll(threads);
  while (plat::WaitOne(sema.get(), 0) == kWaitObject0) ++taken;
  EXPECT_EQ(taken, static_cast<uint32_t>(kReleases));
}

// --- Events and waits -------------------------------------------------------

TEST(PlatformEvent, EachSetWakesExactlyOneWaiter) {
  HandlePtr event = Event(), woke = Semaphore(0, 100);
  ASSERT_TRUE(event && woke);
  EXPECT_TRUE(plat::EventSet(event.get()));
  EXPECT_TRUE(plat::EventSet(event.get()));  // a second set does not count twice
  EXPECT_EQ(plat::WaitOne(event.get(), 0), kWaitObject0);
  EXPECT_EQ(plat::WaitOne(event.get(), 0), kWaitTimeout);

  constexpr int kWaiters = 3;
  std::vector<TestThreadPtr> threads;
  for (int i = 0; i < kWaiters; ++i) {
    threads.push_back(std::make_unique<TestThread>([&]() -> uint32_t {
      const uint32_t r = plat::WaitOne(event.get(), kLongMs);
      if (r == kWaitObject0) plat::SemaphoreRelease(woke.get(), 1);
      return r;
    }));
  }
  for (int i = 0; i < kWaiters; ++i) {
    ASSERT_TRUE(plat::EventSet(event.get()));
    ASSERT_EQ(plat::WaitOne(woke.get(), kLongMs), kWaitObject0) << i;
    EXPECT_EQ(plat::WaitOne(woke.get(), kShortMs), kWaitTimeout) << "two woke for set " << i;
  }
  EXPECT_EQ(JoinAll(threads), kWaitObject0 * kWaiters);
}

TEST(PlatformWait, FirstObjectWinsAndOnlyItIsTaken) {
  HandlePtr event = Event(), sema = Semaphore(0, 5);
  ASSERT_TRUE(event && sema);
  ASSERT_TRUE(plat::EventSet(event.get()));
  ASSERT_TRUE(plat::SemaphoreRelease(sema.get(), 1));
  EXPECT_EQ(plat::WaitAnyOfTwo(event.get(), sema.get(), 0), kWaitObject0);
  EXPECT_EQ(plat::WaitAnyOfTwo(event.get(), sema.get(), 0), kWaitObject0 + 1);
  EXPECT_EQ(plat::WaitAnyOfTwo(event.get(), sema.get(), 0), kWaitTimeout);
  ASSERT_TRUE(plat::SemaphoreRelease(sema.get(), 2));
  ASSERT_TRUE(plat::EventSet(event.get()));
  EXPECT_EQ(plat::WaitAnyOfTwo(sema.get(), event.get(), 0), kWaitObject0);
  EXPECT_EQ(plat::WaitAnyOfTwo(sema.get(), event.get(), 0), kWaitObject0);
  EXPECT_EQ(plat::WaitAnyOfTwo(sema.get(), event.get(), 0), kWaitObject0 + 1);

  // Woken by another thread through the second object, which it then takes.
  TestThread t([&]() -> uint32_t { return plat::WaitAnyOfTwo(sema.get(), event.get(), kLongMs); });
  ASSERT_TRUE(plat::EventSet(event.get()));
  ASSERT_TRUE(t.Join());
  EXPECT_EQ(t.ExitCode(), kWaitObject0 + 1);
  EXPECT_EQ(plat::WaitAnyOfTwo(sema.get(), event.get(), 0), kWaitTimeout);
}

TEST(PlatformWait, TimeoutsLastAtLeastTheirTime) {
  HandlePtr event = Event(), sema = Semaphore(0, 1);
  ASSERT_TRUE(event && sema);
  const std::function<uint32_t()> waits[] = {
      [&] { return plat::WaitOne(sema.get(), 150); },
      [&] { return plat::WaitAnyOfTwo(event.get(), sema.get(), 150); },
      [] { return plat::SleepMs(150), kWaitTimeout; },
  };
  for (const auto& wait : waits) {
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(wait(), kWaitTimeout);
    const int64_t ms = MsSince(start);
    EXPECT_GE(ms, 150 - kEarlyMarginMs);
    EXPECT_LT(ms, kLongMs);
  }
}

// --- Handles ----------------------------------------------------------------

TEST(PlatformHandles, BadClosedAndMismatchedHandlesFail) {
  constexpr uint32_t kInvalid = plat::kErrorInvalidHandle;
  // Arbitrary values must be rejected, never followed.
  for (plat::Handle h : {plat::Handle{}, reinterpret_cast<plat::Handle>(uintptr_t{0x12345678})}) {
    EXPECT_EQ(ErrorOf([&] { EXPECT_EQ(plat::WaitOne(h, 0), kWaitFailed); }), kInvalid);
    EXPECT_EQ(ErrorOf([&] { EXPECT_FALSE(plat::HandleClose(h)); }), kInvalid);
  }
  plat::Handle closed = plat::SemaphoreCreate(1, 1);
  HandlePtr event = Event(), sema = Semaphore(0, 1);
  ASSERT_TRUE(closed && event && sema);
  ASSERT_TRUE(plat::HandleClose(closed));
  ASSERT_TRUE(plat::EventSet(event.get()));
  EXPECT_EQ(ErrorOf([&] { EXPECT_EQ(plat::WaitOne(closed, 0), kWaitFailed); }), kInvalid);
  // A bad handle fails a wait on two even when the other one is signalled.
  EXPECT_EQ(ErrorOf([&] { EXPECT_EQ(plat::WaitAnyOfTwo(event.get(), closed, 0), kWaitFailed); }),
            kInvalid);
  EXPECT_EQ(plat::WaitAnyOfTwo(closed, event.get(), 0), kWaitFailed);
  EXPECT_EQ(ErrorOf([&] { EXPECT_FALSE(plat::SemaphoreRelease(closed, 1)); }), kInvalid);
  EXPECT_EQ(ErrorOf([&] { EXPECT_FALSE(plat::HandleClose(closed)); }), kInvalid);
  // A handle of the wrong kind.
  EXPECT_EQ(ErrorOf([&] { EXPECT_FALSE(plat::EventSet(sema.get())); }), kInvalid);
  EXPECT_EQ(ErrorOf([&] { EXPECT_FALSE(plat::SemaphoreRelease(event.get(), 1)); }), kInvalid);
  uint32_t code = 0;
  EXPECT_EQ(ErrorOf([&] { EXPECT_FALSE(plat::ThreadExitCode(sema.get(), &code)); }), kInvalid);
  EXPECT_EQ(ErrorOf([&] { EXPECT_FALSE(plat::ThreadSetPriorityAboveNormal(sema.get())); }),
            kInvalid);
  // None of that took or gave a signal.
  EXPECT_EQ(plat::WaitOne(sema.get(), 0), kWaitTimeout);
  EXPECT_EQ(plat::WaitOne(event.get(), 0), kWaitObject0);
}

TEST(PlatformHandles, ClosingDuringAWaitLeavesTheWaitIntact) {
  plat::Handle sema = plat::SemaphoreCreate(0, 1);
  HandlePtr wake = Event(), ready = Event();
  ASSERT_TRUE(sema && wake && ready);
  TestThread t([&]() -> uint32_t {
    plat::EventSet(ready.get());
    return plat::WaitAnyOfTwo(sema, wake.get(), kLongMs);
  });
  ASSERT_EQ(plat::WaitOne(ready.get(), kLongMs), kWaitObject0);
  plat::SleepMs(50);  // makes the interesting order likely; both are accepted below
  ASSERT_TRUE(plat::HandleClose(sema));
  for (int i = 0; i < 64; ++i) ASSERT_NE(Semaphore(1, 1), nullptr);  // reuse freed objects
  ASSERT_TRUE(plat::EventSet(wake.get()));
  ASSERT_TRUE(t.Join());
  // Closed during the wait: it goes on and sees the event. Closed before it
  // began: it fails on the handle.
  const uint32_t r = t.ExitCode();
  EXPECT_TRUE(r == kWaitObject0 + 1 || r == kWaitFailed) << r;
}

TEST(PlatformHandles, AreRecycled) {
  plat::Handle stale = plat::SemaphoreCreate(1, 1);
  ASSERT_TRUE(plat::HandleClose(stale));
  // Far more than any fixed table holds at once.
  for (int i = 0; i < 20000; ++i) {
    plat::Handle h = (i % 2) ? plat::SemaphoreCreate(1, 1) : plat::EventCreate();
    ASSERT_NE(h, nullptr) << i;
    ASSERT_TRUE(plat::HandleClose(h)) << i;
  }
#if !defined(_WIN32)
  // Windows hands a closed handle's value out again; the emulation keeps it
  // invalid after its slot has been reused.
  EXPECT_EQ(plat::WaitOne(stale, 0), kWaitFailed);
#endif
}

#if !defined(_WIN32)
TEST(PlatformHandlesEmulation, FullPoolFailsCreationUntilAHandleCloses) {
  std::vector<plat::Handle> handles;
  for (plat::Handle h; handles.size() < (1u << 20) && (h = plat::EventCreate()) != nullptr;) {
    handles.push_back(h);
  }
  EXPECT_GE(handles.size(), 1000u);
  EXPECT_LT(handles.size(), 1u << 20);
  EXPECT_EQ(ErrorOf([] { EXPECT_EQ(plat::SemaphoreCreate(0, 1), nullptr); }),
            plat::kErrorNotEnoughMemory);
  EXPECT_EQ(ErrorOf([] { EXPECT_EQ(plat::ThreadCreate(&ReleaseOnce, nullptr), nullptr); }),
            plat::kErrorNotEnoughMemory);
  ASSERT_TRUE(plat::HandleClose(handles.back()));
  handles.back() = plat::SemaphoreCreate(0, 1);
  EXPECT_NE(handles.back(), nullptr);
  for (plat::Handle h : handles) EXPECT_TRUE(plat::HandleClose(h));
}

#endif

// --- Threads and last error -------------------------------------------------

TEST(PlatformThread, HandleIsSignalledAtTheEndAndKeepsTheExitCode) {
  HandlePtr go = Event();
  TestThread t([&]() -> uint32_t { return plat::WaitOne(go.get(), kLongMs) + 42; });
  ASSERT_NE(t.handle(), nullptr);
  EXPECT_TRUE(plat::ThreadSetPriorityAboveNormal(t.handle()));
  uint32_t code = 0;
  EXPECT_FALSE(plat::ThreadExitCode(t.handle(), &code));
  EXPECT_EQ(plat::WaitOne(t.handle(), 50), kWaitTimeout);
  ASSERT_TRUE(plat::EventSet(go.get()));
  ASSERT_TRUE(t.Join());
  // An ended thread stays signalled: waits do not use it up.
  EXPECT_EQ(plat::WaitOne(t.handle(), 0), kWaitObject0);
  EXPECT_EQ(plat::WaitAnyOfTwo(go.get(), t.handle(), 0), kWaitObject0 + 1);
  EXPECT_EQ(plat::WaitAnyOfTwo(t.handle(), go.get(), 0), kWaitObject0);
  ASSERT_TRUE(plat::ThreadExitCode(t.handle(), &code));
  EXPECT_EQ(code, 42u);
}

TEST(PlatformThread, HandlesClosedBeforeOrAfterTheEnd) {
#if defined(_WIN32)
  constexpr int kThreads = 200;  // thread starts are slow under Wine
#else
  constexpr int kThreads = 6000;  // more than the emulation's handle pool
#endif
  HandlePtr done = Semaphore(0, 1 << 20);
  for (int i = 0; i < kThreads; ++i) {
    plat::Handle h = plat::ThreadCreate(&ReleaseOnce, done.get());
    ASSERT_NE(h, nullptr) << i;
    if (i % 2) {
      ASSERT_EQ(plat::WaitOne(h, kLongMs), kWaitObject0);
    }
    ASSERT_TRUE(plat::HandleClose(h));
    ASSERT_EQ(plat::WaitOne(done.get(), kLongMs), kWaitObject0) << i;
  }
}

// Called through a variable so that the compiler keeps the code after it.
void (*volatile g_signalAndExit)(plat::Handle, uint32_t) = &plat::ThreadSignalAndExit;

TEST(PlatformThread, SignalAndExitEndsTheThreadWithItsCode) {
  HandlePtr event = Event();
  std::atomic<bool> returned{false};
  TestThread t([&]() -> uint32_t {
    g_signalAndExit(event.get(), 7);
    returned = true;
    return 1;
  });
  ASSERT_EQ(plat::WaitOne(event.get(), kLongMs), kWaitObject0);
  ASSERT_TRUE(t.Join());
  EXPECT_EQ(t.ExitCode(), 7u);
  EXPECT_FALSE(returned);
}

int32_t KX_STDCALL Digits(int32_t a, uint16_t b, uint8_t c, const char* d, uint32_t e, int32_t f) {
  return a * 100000 + b * 10000 + c * 1000 + (d[0] - '0') * 100 + static_cast<int32_t>(e) * 10 + f;
}

// A library call that blocks until it is released: it announces that it has
// been entered, then returns `result` once `release` is signalled.
uint32_t KX_STDCALL BlockUntilReleased(plat::Handle entered, plat::Handle release,
                                       uint32_t result) {
  plat::EventSet(entered);
  return plat::WaitOne(release, kLongMs) == kWaitObject0 ? result : 0;
}

TEST(PlatformCallOut, PassesEachArgumentInItsPlaceAndReturnsTheResult) {
  ASSERT_TRUE(plat::CallOutSetUp());
  EXPECT_EQ(plat::CallOut(&Digits, 1, uint16_t{2}, uint8_t{3}, "4", 5u, 6), 123456);
  EXPECT_EQ(plat::CallOut(&Digits, -1, uint16_t{0}, uint8_t{0}, "0", 0u, -7), -100007);
  // From several threads at once, each with its own arguments.
  std::vector<TestThreadPtr> threads;
  for (uint32_t i = 0; i < 4; ++i) {
    threads.push_back(std::make_unique<TestThread>([i]() -> uint32_t {
      uint32_t wrong = 0;
      for (int32_t n = 0; n < 2000; ++n) {
        const int32_t r = plat::CallOut(&Digits, n, uint16_t{0}, uint8_t{0}, "0", i, 0);
        wrong += r != n * 100000 + static_cast<int32_t>(i) * 10 ? 1 : 0;
      }
      return wrong;
    }));
  }
  EXPECT_EQ(JoinAll(threads), 0u);
}

// A thread given up on ends where its library call returns: the code after
// the call never runs, whatever the call returned.
TEST(PlatformCallOut, AThreadGivenUpOnEndsWhereItsCallReturns) {
  ASSERT_TRUE(plat::CallOutSetUp());
  HandlePtr entered = Event();
  HandlePtr release = Semaphore(0, 1);
  std::atomic<bool> go{false};
  std::atomic<bool> returned{false};
  TestThread t([&]() -> uint32_t {
    while (!go) {
    }
    const uint32_t r = plat::CallOut(&BlockUntilReleased, entered.get(), release.get(), 5u);
    returned = true;
    return r;
  });
  ASSERT_NE(t.handle(), nullptr);
  // Only a thread inside a call can be kept from coming back.
  EXPECT_FALSE(plat::ThreadOutlivesModule(t.handle())) << "in its own code";
  go = true;
  ASSERT_EQ(plat::WaitOne(entered.get(), kLongMs), kWaitObject0);
  EXPECT_TRUE(plat::ThreadOutlivesModule(t.handle()));
  EXPECT_EQ(plat::WaitOne(t.handle(), kShortMs), kWaitTimeout) << "still inside its call";
  ASSERT_TRUE(plat::SemaphoreRelease(release.get(), 1));
  ASSERT_TRUE(t.Join());
  EXPECT_FALSE(returned);
  EXPECT_EQ(t.ExitCode(), 0u);
}

#if !defined(_WIN32)
TEST(PlatformThreadEmulation, SignalAndExitOnAThreadOfItsOwn) {
  HandlePtr event = Event();
  struct Shared {
    plat::Handle event;
    bool returned;
  } shared{event.get(), false};
  auto body = [](void* p) -> void* {
    auto* s = static_cast<Shared*>(p);
    g_signalAndExit(s->event, 9);
    s->returned = true;
    return nullptr;
  };
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, nullptr, body, &shared), 0);
  void* result = nullptr;
  ASSERT_EQ(pthread_join(thread, &result), 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(result), 9u);
  EXPECT_FALSE(shared.returned);
  EXPECT_EQ(plat::WaitOne(event.get(), 0), kWaitObject0);
}
#endif

TEST(PlatformLastError, BelongsToEachThread) {
  plat::LastErrorSet(1234);
  uint32_t atStart = 1, afterFailure = 1;
  TestThread t([&]() -> uint32_t {
    atStart = plat::LastErrorGet();
    plat::LastErrorSet(77);
    plat::WaitOne(nullptr, 0);
    afterFailure = plat::LastErrorGet();
    return 0;
  });
  ASSERT_TRUE(t.Join());
  EXPECT_EQ(atStart, 0u);
  EXPECT_EQ(afterFailure, plat::kErrorInvalidHandle);
  EXPECT_EQ(plat::LastErrorGet(), 1234u);
}

// --- Libraries --------------------------------------------------------------

constexpr uint32_t kNoLibraryError = plat::kErrorModNotFound;
constexpr uint32_t kBadLibraryError = plat::kErrorBadExeFormat;
#if defined(_WIN32)
constexpr const char* kLibraryExtension = ".dll";
#else
constexpr const char* kLibraryExtension = ".so";
#endif

int Answer(plat::Module lib) {
  auto fn = reinterpret_cast<int (*)()>(plat::LibrarySymbol(lib, "kx_probe_answer"));
  return fn != nullptr ? fn() : -1;
}

// Runs each case with the working directory in platform_cwd/, beside the
// program, which holds kxplat_probe (answer 2) and kxplat_probe_cwd (3); the
// program's directory holds another kxplat_probe (1).
class PlatformLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(_WIN32)
    char path[MAX_PATH];
    const fs::path program(std::string(path, GetModuleFileNameA(nullptr, path, MAX_PATH)));
#else
    const fs::path program = fs::canonical("/proc/self/exe");
#endif
    saved_ = fs::current_path();
    cwd_ = program.parent_path() / "platform_cwd";
    fs::current_path(cwd_);
  }
  void TearDown() override {
    fs::current_path(saved_);
#if !defined(_WIN32)
    if (chosen_ != nullptr) setenv("KALMORIX_COMPANION_DIR", chosen_->c_str(), 1);
#endif
  }

  // The companion folder that the test run chose, restored after each case.
  std::unique_ptr<std::string> chosen_ = [] {
    const char* dir = getenv("KALMORIX_COMPANION_DIR");
    return dir != nullptr ? std::make_unique<std::string>(dir) : nullptr;
  }();
  fs::path saved_;
  fs::path cwd_;
};

TEST_F(PlatformLibrary, SearchesProgramDirectoryFirstAndWorkingDirectoryOnlyOnWindows) {
  plat::Module lib = plat::LibraryLoad("kxplat_probe");
  ASSERT_NE(lib, nullptr) << plat::LastErrorGet();
  EXPECT_EQ(Answer(lib), 1);
  // The same library again is the same module, counted twice.
  plat::Module again = plat::LibraryLoad("kxplat_probe");
  EXPECT_EQ(again, lib);
  EXPECT_TRUE(plat::LibraryFree(again));
  EXPECT_EQ(Answer(lib), 1);
  EXPECT_TRUE(plat::LibraryFree(lib));

#if defined(_WIN32)
  // The Windows search ends in the working directory; applications choose it.
  lib = plat::LibraryLoad("kxplat_probe_cwd");
  ASSERT_NE(lib, nullptr) << plat::LastErrorGet();
  EXPECT_EQ(Answer(lib), 3);
  EXPECT_TRUE(plat::LibraryFree(lib));
#else
  // Natively never, through the chosen folder or the loader's search path.
  for (const bool chosen : {true, false}) {
    if (!chosen) unsetenv("KALMORIX_COMPANION_DIR");
    EXPECT_EQ(ErrorOf([] { EXPECT_EQ(plat::LibraryLoad("kxplat_probe_cwd"), nullptr); }),
              kNoLibraryError)
        << "chosen folder: " << chosen;
  }
  // Nor a relative path.
  EXPECT_EQ(ErrorOf([] { EXPECT_EQ(plat::LibraryLoad("./kxplat_probe_cwd"), nullptr); }),
            kNoLibraryError);
#endif

  // A name with a directory is taken as it is.
  lib = plat::LibraryLoad((cwd_ / "kxplat_probe").string().c_str());
  ASSERT_NE(lib, nullptr) << plat::LastErrorGet();
  EXPECT_EQ(Answer(lib), 2);
  EXPECT_TRUE(plat::LibraryFree(lib));
}

#if !defined(_WIN32)
// A ky_dll.so that someone left in the folder a user works in is never loaded
// (its constructor would run in every program using the module).
TEST_F(PlatformLibrary, CompanionPlantedInWorkingDirectoryIsNotRun) {
  ASSERT_TRUE(fs::exists(cwd_ / "ky_dll.so"));
  fs::remove(cwd_ / "planted_ran");
  // The tests' own choice: a folder without a companion.
  const std::string none = std::string(KX_TEST_KYDLL_DIR) + "/none";
  ASSERT_EQ(setenv("KALMORIX_COMPANION_DIR", none.c_str(), 1), 0);
  EXPECT_EQ(ErrorOf([] { EXPECT_EQ(plat::LibraryLoad("ky_dll"), nullptr); }), kNoLibraryError);
  EXPECT_EQ(ErrorOf([] { EXPECT_EQ(plat::LibraryLoad("./ky_dll"), nullptr); }), kNoLibraryError);
  EXPECT_FALSE(fs::exists(cwd_ / "planted_ran"));
  // The same double by its full path does run: the marker is a real witness.
  plat::Module lib = plat::LibraryLoad((cwd_ / "ky_dll").string().c_str());
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(Answer(lib), 4);
  EXPECT_TRUE(fs::exists(cwd_ / "planted_ran"));
  EXPECT_TRUE(plat::LibraryFree(lib));
  fs::remove(cwd_ / "planted_ran");
}

// Without a chosen folder, a program outside bin/ (Python, say) finds the
// build's own stand-in companion through this library's search path, as an
// installed one finds the stand-in folder; never the planted one.
TEST_F(PlatformLibrary, BuildTreeCompanionIsOnTheSearchPath) {
  unsetenv("KALMORIX_COMPANION_DIR");
  fs::remove(cwd_ / "planted_ran");
  plat::Module lib = plat::LibraryLoad("ky_dll");
  ASSERT_NE(lib, nullptr) << plat::LastErrorGet();
  Dl_info info = {};
  ASSERT_NE(dladdr(reinterpret_cast<const void*>(plat::LibrarySymbol(lib, "ZEL_open")), &info), 0);
  EXPECT_EQ(fs::path(info.dli_fname).parent_path(), fs::path(KX_TEST_BUILD_BIN_DIR));
  EXPECT_FALSE(fs::exists(cwd_ / "planted_ran"));
  EXPECT_TRUE(plat::LibraryFree(lib));
}
#endif

TEST_F(PlatformLibrary, FailuresTellWhatWentWrong) {
  EXPECT_EQ(ErrorOf([] { EXPECT_EQ(plat::LibraryLoad("kxplat_probe_missing"), nullptr); }),
            kNoLibraryError);
  const fs::path bad = cwd_ / (std::string("kxplat_bad") + kLibraryExtension);
  std::ofstream(bad, std::ios::binary) << std::string(4096, 'x');
#if !defined(_WIN32)
  // Natively found there only as the chosen folder, by its absolute path.
  ASSERT_EQ(setenv("KALMORIX_COMPANION_DIR", cwd_.c_str(), 1), 0);
#endif
  EXPECT_EQ(ErrorOf([] { EXPECT_EQ(plat::LibraryLoad("kxplat_bad"), nullptr); }), kBadLibraryError);
  fs::remove(bad);

  plat::Module lib = plat::LibraryLoad("kxplat_probe");
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(ErrorOf([&] { EXPECT_EQ(plat::LibrarySymbol(lib, "kx_probe_none"), nullptr); }),
            plat::kErrorProcNotFound);
  EXPECT_TRUE(plat::LibraryFree(lib));
  EXPECT_EQ(ErrorOf([] { EXPECT_FALSE(plat::LibraryFree(nullptr)); }), plat::kErrorInvalidHandle);
#if !defined(_WIN32)
  // The emulation refuses a module that is no longer loaded.
  EXPECT_EQ(ErrorOf([&] { EXPECT_FALSE(plat::LibraryFree(lib)); }), plat::kErrorInvalidHandle);
  EXPECT_EQ(plat::LibrarySymbol(lib, "kx_probe_answer"), nullptr);
#endif
}

// A thread announces its end from code in a library that is unloaded as soon
// as the announcement is seen.
TEST_F(PlatformLibrary, SignalAndExitSurvivesUnloadingTheCaller) {
  const std::string path = (cwd_ / "kxplat_probe_cwd").string();
  for (uint32_t round = 0; round < 20; ++round) {
    plat::Module lib = plat::LibraryLoad(path.c_str());
    ASSERT_NE(lib, nullptr);
    auto exitFn = reinterpret_cast<void (*)(plat::Handle, uint32_t)>(
        plat::LibrarySymbol(lib, "kx_probe_signal_and_exit"));
    ASSERT_NE(exitFn, nullptr);
    HandlePtr event = Event();
    TestThread t([&]() -> uint32_t { return exitFn(event.get(), 100 + round), 1; });
    ASSERT_EQ(plat::WaitOne(event.get(), kLongMs), kWaitObject0);
    ASSERT_TRUE(plat::LibraryFree(lib));
    ASSERT_TRUE(t.Join());
    EXPECT_EQ(t.ExitCode(), 100 + round);
  }
}

// --- Windows ----------------------------------------------------------------

constexpr uint32_t kAppMessage = 0x8000;  // WM_APP

TEST(PlatformWindow, PostedMessagesArriveInOrder) {
  plat::Window wnd = plat::MessageWindowCreate();
  ASSERT_NE(wnd, nullptr);
  EXPECT_TRUE(plat::WindowIsValid(wnd));
  constexpr int kCount = 50;
  HandlePtr go = Event();
  TestThread poster([&]() -> uint32_t {
    if (plat::WaitOne(go.get(), kLongMs) != kWaitObject0) return 1;
    for (int i = 0; i < kCount; ++i) {
      if (!plat::WindowPost(wnd, kAppMessage + i % 3, i, -i)) return 2;
    }
    return 0;
  });
  ASSERT_TRUE(plat::EventSet(go.get()));
  for (int i = 0; i < kCount; ++i) {
    plat::PostedMessage m{};
    ASSERT_TRUE(plat::MessageWindowNext(wnd, &m, kLongMs)) << i;
    EXPECT_EQ(m.wnd, wnd);
    EXPECT_EQ(m.msg, kAppMessage + i % 3);
    EXPECT_EQ(m.wParam, static_cast<uintptr_t>(i));
    EXPECT_EQ(m.lParam, -i);
  }
  ASSERT_TRUE(poster.Join());
  EXPECT_EQ(poster.ExitCode(), 0u);
  plat::MessageWindowDestroy(wnd);
}

TEST(PlatformWindow, EmptyQueueTimesOutAndDestroyedWindowsAreInvalid) {
  EXPECT_FALSE(plat::WindowIsValid(nullptr));
  plat::Window wnd = plat::MessageWindowCreate();
  ASSERT_NE(wnd, nullptr);
  plat::PostedMessage m{};
  EXPECT_FALSE(plat::MessageWindowNext(wnd, &m, 0));
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(plat::MessageWindowNext(wnd, &m, 150));
  EXPECT_GE(MsSince(start), 150 - kEarlyMarginMs);

  ASSERT_TRUE(plat::WindowPost(wnd, kAppMessage, 1, 2));
  plat::MessageWindowDestroy(wnd);
  EXPECT_FALSE(plat::WindowIsValid(wnd));
  EXPECT_EQ(ErrorOf([&] { EXPECT_FALSE(plat::WindowPost(wnd, kAppMessage, 0, 0)); }),
            plat::kErrorInvalidWindowHandle);
#if !defined(_WIN32)
  // Win32 takes a post to no window as one for the posting thread, which
  // nobody would read; the emulation refuses it.
  EXPECT_FALSE(plat::WindowPost(nullptr, kAppMessage, 0, 0));
#endif
}

#if !defined(_WIN32)
TEST(PlatformWindowEmulation, FullQueueRefusesAndKeepsWhatItHas) {
  plat::Window wnd = plat::MessageWindowCreate();
  ASSERT_NE(wnd, nullptr);
  uintptr_t posted = 0;
  const uint32_t error = ErrorOf([&] {
    while (posted < 100000 && plat::WindowPost(wnd, kAppMessage, posted, 0)) ++posted;
  });
  EXPECT_EQ(error, plat::kErrorTooManyPosts);
  EXPECT_GT(posted, 0u);
  EXPECT_LT(posted, 100000u);
  for (uintptr_t i = 0; i < posted; ++i) {
    plat::PostedMessage m{};
    ASSERT_TRUE(plat::MessageWindowNext(wnd, &m, 0)) << i;
    ASSERT_EQ(m.wParam, i);
  }
  EXPECT_TRUE(plat::WindowPost(wnd, kAppMessage, 0, 0));
  plat::MessageWindowDestroy(wnd);
}

TEST(PlatformWindowEmulation, AnyThreadReadsAndDestroyWakesTheReader) {
  plat::Window wnd = plat::MessageWindowCreate();
  ASSERT_NE(wnd, nullptr);
  HandlePtr ready = Event();
  TestThread reader([&]() -> uint32_t {
    plat::PostedMessage m{};
    if (!plat::MessageWindowNext(wnd, &m, kLongMs) || m.wParam != 5) return 1;
    plat::EventSet(ready.get());
    // Destroyed during (or before) the wait: gives up instead of waiting out.
    return plat::MessageWindowNext(wnd, &m, kLongMs) ? 2 : 0;
  });
  ASSERT_TRUE(plat::WindowPost(wnd, kAppMessage, 5, 0));
  ASSERT_EQ(plat::WaitOne(ready.get(), kLongMs), kWaitObject0);
  const Clock::time_point start = Clock::now();
  plat::MessageWindowDestroy(wnd);
  ASSERT_TRUE(reader.Join());
  EXPECT_EQ(reader.ExitCode(), 0u);
  EXPECT_LT(MsSince(start), kLongMs / 2);
}
#endif

}  // namespace

#endif  // KX_PLATFORM_PROBE_LIBRARY
