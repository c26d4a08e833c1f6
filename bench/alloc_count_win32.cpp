// Heap allocations of Kalmorix.dll, counted on Windows by pointing the
// allocation functions in the DLL's import table at counting versions. The
// DLL can allocate only through what it imports; an import that looks like
// an allocation and has no counting version here stops the count.
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "alloc_count.h"

namespace {

std::atomic<uint64_t> g_count{0};
std::atomic<bool> g_counting{false};

void Note() {
  if (g_counting.load(std::memory_order_relaxed)) g_count.fetch_add(1, std::memory_order_relaxed);
}

void* __cdecl CountMalloc(size_t n) {
  Note();
  return std::malloc(n);
}
void* __cdecl CountCalloc(size_t n, size_t size) {
  Note();
  return std::calloc(n, size);
}
void* __cdecl CountRealloc(void* p, size_t n) {
  Note();
  return std::realloc(p, n);
}
char* __cdecl CountStrdup(const char* s) {
  Note();
  return _strdup(s);
}
void* __cdecl CountAlignedMalloc(size_t n, size_t align) {
  Note();
  return _aligned_malloc(n, align);
}
HLOCAL WINAPI CountLocalReAlloc(HLOCAL p, SIZE_T n, UINT flags) {
  Note();
  return LocalReAlloc(p, n, flags);
}
HGLOBAL WINAPI CountGlobalReAlloc(HGLOBAL p, SIZE_T n, UINT flags) {
  Note();
  return GlobalReAlloc(p, n, flags);
}
LPVOID WINAPI CountHeapAlloc(HANDLE heap, DWORD flags, SIZE_T n) {
  Note();
  return HeapAlloc(heap, flags, n);
}
LPVOID WINAPI CountHeapReAlloc(HANDLE heap, DWORD flags, LPVOID p, SIZE_T n) {
  Note();
  return HeapReAlloc(heap, flags, p, n);
}
HLOCAL WINAPI CountLocalAlloc(UINT flags, SIZE_T n) {
  Note();
  return LocalAlloc(flags, n);
}
HGLOBAL WINAPI CountGlobalAlloc(UINT flags, SIZE_T n) {
  Note();
  return GlobalAlloc(flags, n);
}
LPVOID WINAPI CountVirtualAlloc(LPVOID at, SIZE_T n, DWORD type, DWORD protect) {
  Note();
  return VirtualAlloc(at, n, type, protect);
}

struct Replacement {
  const char* name;
  void* fn;
};
const Replacement kReplacements[] = {
    {"malloc", reinterpret_cast<void*>(&CountMalloc)},
    {"calloc", reinterpret_cast<void*>(&CountCalloc)},
    {"realloc", reinterpret_cast<void*>(&CountRealloc)},
    {"_strdup", reinterpret_cast<void*>(&CountStrdup)},
    {"strdup", reinterpret_cast<void*>(&CountStrdup)},
    {"_aligned_malloc", reinterpret_cast<void*>(&CountAlignedMalloc)},
    {"LocalReAlloc", reinterpret_cast<void*>(&CountLocalReAlloc)},
    {"GlobalReAlloc", reinterpret_cast<void*>(&CountGlobalReAlloc)},
    {"HeapAlloc", reinterpret_cast<void*>(&CountHeapAlloc)},
    {"HeapReAlloc", reinterpret_cast<void*>(&CountHeapReAlloc)},
    {"LocalAlloc", reinterpret_cast<void*>(&CountLocalAlloc)},
    {"GlobalAlloc", reinterpret_cast<void*>(&CountGlobalAlloc)},
    {"VirtualAlloc", reinterpret_cast<void*>(&CountVirtualAlloc)},
};

// An import that may allocate but has no counting version here.
bool LooksLikeAllocation(const char* name) {
  char lower[128] = {};
  for (size_t i = 0; name[i] && i + 1 < sizeof lower; ++i)
    lower[i] = static_cast<char>(name[i] >= 'A' && name[i] <= 'Z' ? name[i] + 32 : name[i]);
  return std::strstr(lower, "alloc") || std::strstr(lower, "dup");
}

// Number of import slots redirected; -1 when the import table cannot be read
// or imports something that allocates and cannot be counted.
int PatchImports(HMODULE module) {
  BYTE* base = reinterpret_cast<BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return 0;
  int patched = 0;
  for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name;
       ++d) {
    // The names come from the lookup table: the address table holds the
    // bound addresses by now.
    if (d->OriginalFirstThunk == 0) return -1;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      const char* name = reinterpret_cast<const char*>(byName->Name);
      bool known = false;
      for (const Replacement& r : kReplacements) {
        if (std::strcmp(name, r.name) != 0) continue;
        known = true;
        DWORD old = 0;
        if (!VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &old)) return -1;
        slots->u1.Function = reinterpret_cast<DWORD_PTR>(r.fn);
        VirtualProtect(&slots->u1.Function, sizeof(void*), old, &old);
        ++patched;
      }
      if (!known && LooksLikeAllocation(name)) return -1;
    }
  }
  return patched;
}

int g_patched = -1;

}  // namespace

namespace kxbench {

bool AllocCountStart() {
  HMODULE m = GetModuleHandleA("Kalmorix.dll");
  if (!m) return false;
  g_patched = PatchImports(m);
  g_count = 0;
  g_counting = true;
  return g_patched >= 0;
}

AllocCounts AllocCountRead() {
  AllocCounts c;
  c.module = g_count.load();
  return c;
}

int AllocSlotsPatched() { return g_patched; }

}  // namespace kxbench
