// The platform layer on Windows: the call stub through which a module's
// threads call out (plat::CallOut, and the waits and sleeps), so that a thread
// whose module was unloaded while it was inside such a call ends when the call
// returns instead of coming back into unmapped code.
//
// The stub is copied once per set-up into two pages of its own that are given
// back only when no thread may still be inside it: a data page (the entries
// below and the address of ExitThread) and a code page, read-only and
// executable once written. Nothing the stub touches after its call returns
// lies in the module's image: the code page, the data page, the thread's own
// stack and ExitThread in kernel32.
//
// Every call through the stub holds an entry of the data page for as long as
// it runs: the calling thread's id. Giving up on a thread (ThreadOutlivesModule)
// turns its entry into the id with kLeftInCall set, with one compare-and-swap
// that can only succeed while the thread is inside the call; the stub's own
// compare-and-swap at the return then fails, and the thread frees the entry and
// goes into ExitThread(0).
#include <string.h>

#include "platform.h"

namespace plat {
namespace {

// stdcall uint32_t (const void* fn, const uint32_t* words, uint32_t count).
using CallStub = uint32_t(__stdcall*)(const void* fn, const uint32_t* words, uint32_t count);
CallStub g_callStub = nullptr;

constexpr uint32_t kPage = 4096;  // on every x86 Windows
constexpr uint32_t kEntriesOffset = 64;
constexpr uint32_t kEntryCount = (kPage - kEntriesOffset) / 4;  // as the stub counts them
// Thread ids stay far below 2^31 (they index the system's client-id table).
constexpr uint32_t kLeftInCall = 0x80000000u;

struct StubData {
  void* exitThread;
  uint8_t unused[kEntriesOffset - sizeof(void*)];
  uint32_t entries[kEntryCount];  // 0: free; else the id of a thread inside a call
};
static_assert(sizeof(StubData) == kPage, "the code page follows the data page");

// Only the thread that attaches or detaches the module touches these.
StubData* g_data = nullptr;
// Looked up, not imported: Windows XP has none, and the module loads there
// all the same (without it no thread can be given up on).
using GetThreadIdFn = DWORD(WINAPI*)(HANDLE);
GetThreadIdFn g_getThreadId = nullptr;

}  // namespace
}  // namespace plat

// The stub, as the bytes to copy. __stdcall uint32_t (const void* fn,
// const uint32_t* words, uint32_t count): calls the __stdcall function `fn`
// with `count` 32-bit arguments words[0..count) and returns its 32-bit
// result. It finds its data page 4096 bytes before itself. When every entry
// is taken (more than a thousand threads inside calls at once) the call is
// made unguarded.
__asm__(
    ".section .rdata,\"dr\"\n"
    ".balign 16\n"
    "kx_call_stub_begin:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %ebx\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  call .Lkx_stub_here\n"
    ".Lkx_stub_here:\n"
    "  popl %edi\n"
    "  leal (64 - 4096 - (.Lkx_stub_here - kx_call_stub_begin))(%edi), %edi\n"
    "  movl %fs:0x24, %ebx\n"  // the thread's id, from its TEB
    "  movl $1008, %ecx\n"
    ".Lkx_stub_claim:\n"
    "  xorl %eax, %eax\n"
    "  lock cmpxchgl %ebx, (%edi)\n"
    "  je .Lkx_stub_claimed\n"
    "  addl $4, %edi\n"
    "  loop .Lkx_stub_claim\n"
    "  xorl %edi, %edi\n"
    ".Lkx_stub_claimed:\n"
    "  movl 16(%ebp), %ecx\n"
    "  movl 12(%ebp), %esi\n"
    "  jecxz .Lkx_stub_call\n"
    ".Lkx_stub_push:\n"
    "  pushl -4(%esi,%ecx,4)\n"
    "  loop .Lkx_stub_push\n"
    ".Lkx_stub_call:\n"
    "  call *8(%ebp)\n"
    "  testl %edi, %edi\n"
    "  jz .Lkx_stub_return\n"
    "  movl %eax, %esi\n"
    "  movl %ebx, %eax\n"
    "  xorl %ecx, %ecx\n"
    "  lock cmpxchgl %ecx, (%edi)\n"
    "  jne .Lkx_stub_left\n"
    "  movl %esi, %eax\n"
    ".Lkx_stub_return:\n"
    "  leal -12(%ebp), %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  ret $12\n"
    // Given up on: the module may be gone. ExitThread(0), with a return
    // address that it never uses.
    ".Lkx_stub_left:\n"
    "  movl $0, (%edi)\n"
    "  call .Lkx_stub_exit\n"
    ".Lkx_stub_exit:\n"
    "  popl %eax\n"
    "  pushl $0\n"
    "  pushl $0\n"
    "  jmp *(-4096 - (.Lkx_stub_exit - kx_call_stub_begin))(%eax)\n"
    "kx_call_stub_end:\n"
    ".text\n");

extern "C" const unsigned char kStubBegin[] __asm__("kx_call_stub_begin");
extern "C" const unsigned char kStubEnd[] __asm__("kx_call_stub_end");

namespace plat {

namespace win {
uint32_t CallWords(const void* fn, const uint32_t* w, uint32_t count) {
  const CallStub stub = __atomic_load_n(&g_callStub, __ATOMIC_ACQUIRE);
  if (stub != nullptr) return stub(fn, w, count);
  using U = uint32_t;
  void* const f = const_cast<void*>(fn);
  switch (count) {
    case 0:
      return reinterpret_cast<U(__stdcall*)()>(f)();
    case 1:
      return reinterpret_cast<U(__stdcall*)(U)>(f)(w[0]);
    case 2:
      return reinterpret_cast<U(__stdcall*)(U, U)>(f)(w[0], w[1]);
    case 3:
      return reinterpret_cast<U(__stdcall*)(U, U, U)>(f)(w[0], w[1], w[2]);
    case 4:
      return reinterpret_cast<U(__stdcall*)(U, U, U, U)>(f)(w[0], w[1], w[2], w[3]);
    case 5:
      return reinterpret_cast<U(__stdcall*)(U, U, U, U, U)>(f)(w[0], w[1], w[2], w[3], w[4]);
    default:
      return reinterpret_cast<U(__stdcall*)(U, U, U, U, U, U)>(f)(w[0], w[1], w[2], w[3], w[4],
                                                                  w[5]);
  }
}
}  // namespace win

bool CallOutSetUp() {
  if (__atomic_load_n(&g_callStub, __ATOMIC_ACQUIRE) != nullptr) return true;
  static_assert(kEntryCount == 1008, "the stub counts 1008 entries");
  const size_t size = static_cast<size_t>(kStubEnd - kStubBegin);
  if (size > kPage) return false;
  auto* base = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (base == nullptr) return false;
  auto* data = reinterpret_cast<StubData*>(base);
  // The address the import table holds: kernel32's (or the system library's
  // it forwards to), which stays mapped.
  data->exitThread = reinterpret_cast<void*>(&ExitThread);
  uint8_t* code = base + kPage;
  memcpy(code, kStubBegin, size);
  DWORD before = 0;
  if (!VirtualProtect(code, kPage, PAGE_EXECUTE_READ, &before)) {
    VirtualFree(base, 0, MEM_RELEASE);
    return false;
  }
  FlushInstructionCache(GetCurrentProcess(), code, size);
  g_getThreadId = reinterpret_cast<GetThreadIdFn>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetThreadId")));
  g_data = data;
  __atomic_store_n(&g_callStub, reinterpret_cast<CallStub>(code), __ATOMIC_RELEASE);
  return true;
}

void CallOutTearDown() {
  if (g_data == nullptr) return;
  __atomic_store_n(&g_callStub, nullptr, __ATOMIC_RELEASE);
  VirtualFree(g_data, 0, MEM_RELEASE);
  g_data = nullptr;
}

bool ThreadOutlivesModule(Handle thread) {
  if (g_data == nullptr || g_getThreadId == nullptr) return false;
  const DWORD id = g_getThreadId(thread);
  if (id == 0 || (id & kLeftInCall) != 0) return false;
  for (uint32_t& entry : g_data->entries) {
    uint32_t expected = id;
    if (__atomic_load_n(&entry, __ATOMIC_RELAXED) == id &&
        __atomic_compare_exchange_n(&entry, &expected, id | kLeftInCall, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
      return true;
    }
  }
  return false;
}

}  // namespace plat
