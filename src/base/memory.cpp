#include "base/memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

// A few freed page blocks wait for the next request of the same size, so a
// walk that takes and frees its folder reader's block per folder does not
// map and unmap it each time. A kept block holds its size in its first
// bytes. Nothing is kept while a fault plan is armed: then every request
// reaches the system.
constexpr size_t kKeptBlockMax = size_t{256} * 1024;
std::atomic<void*> g_kept[2];

bool may_keep(size_t size) {
  return size <= kKeptBlockMax && sys::g_fault_armed.load(std::memory_order_relaxed) == 0;
}

void release_pages(void* p) {
  PVOID base = p;
  SIZE_T region = 0;
  sys::NtFreeVirtualMemory(NtCurrentProcess(), &base, &region, MEM_RELEASE);
}

}  // namespace

void* block_alloc(size_t size) {
  if (size < kPageBlockMin) return std::malloc(size);
  if (may_keep(size)) {
    for (std::atomic<void*>& slot : g_kept) {
      void* p = slot.exchange(nullptr, std::memory_order_acquire);
      if (p == nullptr) continue;
      size_t kept;
      std::memcpy(&kept, p, sizeof kept);
      if (kept == size) return std::memset(p, 0, size);
      release_pages(p);
    }
  }
  PVOID base = nullptr;
  SIZE_T region = size;
  if (!NT_SUCCESS(sys::NtAllocateVirtualMemory(NtCurrentProcess(), &base, 0, &region, MEM_COMMIT,
                                               PAGE_READWRITE)))
    return nullptr;
  return base;
}

void block_free(void* p, size_t size) {
  if (!p) return;
  if (size < kPageBlockMin) {
    std::free(p);
    return;
  }
  if (may_keep(size)) {
    std::memcpy(p, &size, sizeof size);
    for (std::atomic<void*>& slot : g_kept) {
      void* empty = nullptr;
      if (slot.compare_exchange_strong(empty, p, std::memory_order_release, std::memory_order_relaxed)) return;
    }
  }
  release_pages(p);
}

// ---- heap allocator ----

static void* heap_allocate(Allocator*, size_t size) { return std::calloc(size, 1); }
static constexpr AllocatorOps kHeapOps = {heap_allocate};
Allocator heap_allocator = {&kHeapOps};

// ---- StringPool ----

static void* pool_allocate_op(Allocator* self, size_t size) {
  return pool_allocate(reinterpret_cast<StringPool*>(self), size);
}
static constexpr AllocatorOps kPoolOps = {pool_allocate_op};

void pool_init(StringPool* pool) {
  pool->allocator.ops = &kPoolOps;
  pool->head = nullptr;
  pool->failures = 0;
  pool->total = 0;
}

void* pool_allocate(StringPool* pool, size_t size) {
  // Rounded in 32 bits: requests are limited to below 4 GiB.
  if (size > UINT32_MAX - 15) {
    pool->failures++;
    return nullptr;
  }
  const uint32_t r = (static_cast<uint32_t>(size) + 15u) & ~15u;
  PoolBlockTrailer* head = pool->head;
  char* result;
  if (head && head->remaining >= r) {
    result = reinterpret_cast<char*>(head) - head->remaining;
    head->remaining -= r;
  } else {
    uint64_t extra = 0;
    if (r <= kPoolSmallMax) {
      extra = 2 * (static_cast<uint64_t>(pool->total) + r) + 256;
      if (extra > kPoolSpareMax) extra = kPoolSpareMax;
    }
    char* base = static_cast<char*>(std::malloc(r + extra + sizeof(PoolBlockTrailer)));
    if (!base) {
      pool->failures++;
      return nullptr;
    }
    auto* trailer = reinterpret_cast<PoolBlockTrailer*>(base + r + extra);
    trailer->base = base;
    trailer->remaining = extra;
    if (head && head->remaining > extra) {
      // The head keeps more free room: link the new block behind it.
      trailer->next = head->next;
      head->next = trailer;
    } else {
      trailer->next = head;
      pool->head = trailer;
    }
    result = base;
  }
  std::memset(result, 0, size);
  pool->total += r;
  return result;
}

void pool_release(StringPool* pool) {
  PoolBlockTrailer* block = pool->head;
  pool->head = nullptr;
  pool->total = 0;
  while (block) {
    PoolBlockTrailer* next = block->next;
    std::free(block->base);
    block = next;
  }
}

char* pool_strdup(Allocator* a, const char* s) { return pool_strndup(a, s, kNoLimit); }

char* pool_strndup(Allocator* a, const char* s, size_t n) {
  const size_t len = str_len_bounded(s, n);
  char* copy = static_cast<char*>(allocate(a, len + 1));
  if (copy && len) std::memcpy(copy, s, len);
  return copy;
}

// ---- byte-string helpers ----

size_t str_len(const char* s) { return s ? std::strlen(s) : 0; }

size_t str_len_bounded(const char* s, size_t n) {
  if (!s) return 0;
  size_t i = 0;
  while (i < n && s[i]) ++i;
  return i;
}

void mem_move(void* dst, const void* src, size_t n) {
  if (!dst) return;
  if (!src) {
    std::memset(dst, 0, n);
    return;
  }
  std::memmove(dst, src, n);
}

void string_copy_bounded(char* dst, size_t capacity, const char* src, size_t src_limit) {
  if (!dst || capacity == 0) return;
  size_t n = str_len_bounded(src, src_limit);
  if (n > capacity - 1) n = capacity - 1;
  if (n) std::memcpy(dst, src, n);
  dst[n] = 0;
}
