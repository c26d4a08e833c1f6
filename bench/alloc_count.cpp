// Allocation interposer for the native benchmark: every heap allocation of
// the process passes here, and is counted by the library its direct caller
// lies in (so an allocation made for the module inside the C library, such
// as the loader's when a library is loaded, counts for the process only).
#include "alloc_count.h"

#include <dlfcn.h>
#include <link.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {

struct Range {
  uintptr_t lo = 0;
  uintptr_t hi = 0;
};

constexpr int kMaxRanges = 8;
Range g_ranges[2][kMaxRanges];  // [0] the module, [1] the platform layer
int g_rangeCount[2] = {};
std::atomic<bool> g_counting{false};
std::atomic<uint64_t> g_counts[3];  // module, platform layer, all

int FindObjects(dl_phdr_info* info, size_t, void*) {
  const char* name = info->dlpi_name;
  int which = -1;
  if (name && std::strstr(name, "libkalmorix.so")) which = 0;
  if (name && std::strstr(name, "libkxplat.so")) which = 1;
  if (which < 0) return 0;
  for (int i = 0; i < info->dlpi_phnum && g_rangeCount[which] < kMaxRanges; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    Range& r = g_ranges[which][g_rangeCount[which]++];
    r.lo = info->dlpi_addr + ph.p_vaddr;
    r.hi = r.lo + ph.p_memsz;
  }
  return 0;
}

bool In(int which, uintptr_t a) {
  for (int i = 0; i < g_rangeCount[which]; ++i)
    if (a >= g_ranges[which][i].lo && a < g_ranges[which][i].hi) return true;
  return false;
}

void Note(void* caller) {
  if (!g_counting.load(std::memory_order_relaxed)) return;
  const uintptr_t a = reinterpret_cast<uintptr_t>(caller);
  if (In(0, a)) g_counts[0].fetch_add(1, std::memory_order_relaxed);
  if (In(1, a)) g_counts[1].fetch_add(1, std::memory_order_relaxed);
  g_counts[2].fetch_add(1, std::memory_order_relaxed);
}

void* NewOrNull(size_t n, void* caller) {
  Note(caller);
  return __libc_malloc(n ? n : 1);
}

}  // namespace

namespace kxbench {

bool AllocCountStart() {
  g_rangeCount[0] = g_rangeCount[1] = 0;
  dl_iterate_phdr(&FindObjects, nullptr);
  for (auto& c : g_counts) c.store(0);
  g_counting.store(true);
  return g_rangeCount[0] > 0 && g_rangeCount[1] > 0;
}

AllocCounts AllocCountRead() {
  AllocCounts c;
  c.module = g_counts[0].load();
  c.platform = g_counts[1].load();
  c.all = g_counts[2].load();
  return c;
}

}  // namespace kxbench

extern "C" {

void* malloc(size_t n) {
  Note(__builtin_return_address(0));
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
  Note(__builtin_return_address(0));
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
  Note(__builtin_return_address(0));
  return __libc_realloc(p, n);
}
void* memalign(size_t align, size_t n) {
  Note(__builtin_return_address(0));
  return __libc_memalign(align, n);
}
void* aligned_alloc(size_t align, size_t n) {
  Note(__builtin_return_address(0));
  return __libc_memalign(align, n);
}
int posix_memalign(void** out, size_t align, size_t n) {
  Note(__builtin_return_address(0));
  void* p = __libc_memalign(align, n);
  if (!p) return 12;  // ENOMEM
  *out = p;
  return 0;
}
void* valloc(size_t n) {
  Note(__builtin_return_address(0));
  return __libc_memalign(4096, n);
}
void* pvalloc(size_t n) {
  Note(__builtin_return_address(0));
  return __libc_memalign(4096, (n + 4095) & ~size_t{4095});
}
void free(void* p) { __libc_free(p); }

}  // extern "C"

void* operator new(size_t n) {
  void* p = NewOrNull(n, __builtin_return_address(0));
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t n) {
  void* p = NewOrNull(n, __builtin_return_address(0));
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  return NewOrNull(n, __builtin_return_address(0));
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
  return NewOrNull(n, __builtin_return_address(0));
}
void* operator new(size_t n, std::align_val_t a) {
  Note(__builtin_return_address(0));
  void* p = __libc_memalign(static_cast<size_t>(a), n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t n, std::align_val_t a) {
  Note(__builtin_return_address(0));
  void* p = __libc_memalign(static_cast<size_t>(a), n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void operator delete(void* p, std::align_val_t) noexcept { __libc_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { __libc_free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { __libc_free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { __libc_free(p); }
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, size_t) noexcept { __libc_free(p); }
