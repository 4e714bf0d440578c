// Raw blocks, the one-operation Allocator interface, the scratch StringPool,
// the heap allocator and the small byte-string helpers.
#pragma once

#include <cstddef>
#include <cstdint>

// Raw blocks: below 4096 bytes from the runtime heap (contents undefined),
// from 4096 up as whole zeroed pages from the system (up to two freed blocks
// of at most 256 KiB are kept, zeroed again and handed out for a request of
// their size). block_free must be given the size that was passed to
// block_alloc.
constexpr size_t kPageBlockMin = 4096;
void* block_alloc(size_t size);
void block_free(void* p, size_t size);

// An allocator is a record whose first field is its table of operations.
struct Allocator;
struct AllocatorOps {
  // Memory of at least `size` bytes whose first `size` bytes are zero,
  // aligned to 16 bytes, or null when memory is exhausted.
  void* (*allocate)(Allocator* self, size_t size);
};
struct Allocator {
  const AllocatorOps* ops;
};

inline void* allocate(Allocator* a, size_t size) { return a->ops->allocate(a, size); }

// Zeroed memory from the runtime heap, owned by the caller (std::free).
extern Allocator heap_allocator;

// Region allocator: serves any number of allocations, released as a whole.
// The failure count is sticky: it survives pool_release.
struct PoolBlockTrailer {
  PoolBlockTrailer* next;
  void* base;
  uint64_t remaining;
};

struct StringPool {
  Allocator allocator;        // table reference (first field)
  PoolBlockTrailer* head;
  int32_t failures;
  uint32_t total;
};

constexpr uint32_t kPoolSmallMax = 65280;   // larger requests get a block of their own
constexpr uint32_t kPoolSpareMax = 130560;  // most spare room in one block

void pool_init(StringPool* pool);
void* pool_allocate(StringPool* pool, size_t size);
void pool_release(StringPool* pool);

// A pool on the stack, released on every way out of its scope.
struct ScopedPool {
  StringPool pool;
  ScopedPool() { pool_init(&pool); }
  ~ScopedPool() { pool_release(&pool); }
  ScopedPool(const ScopedPool&) = delete;
  ScopedPool& operator=(const ScopedPool&) = delete;
  StringPool* operator->() { return &pool; }
  StringPool* get() { return &pool; }
  Allocator* alloc() { return &pool.allocator; }
};

constexpr size_t kNoLimit = SIZE_MAX;

// Text of unknown length into the allocator: `render(buffer, capacity)`
// stores what fits, terminates and returns the full length. A 100-byte local
// buffer is tried first, so a short text is rendered once; a longer one is
// rendered again straight into its memory. Null when the allocation fails.
template <typename Render>
char* alloc_rendered(Allocator* a, Render render) {
  constexpr uint64_t kLocal = 100;
  char local[kLocal];
  const uint64_t n = render(local, kLocal);
  if (n >= SIZE_MAX) return nullptr;
  char* text = static_cast<char*>(allocate(a, static_cast<size_t>(n + 1)));
  if (!text) return nullptr;
  if (n < kLocal) {
    for (uint64_t i = 0; i <= n; ++i) text[i] = local[i];
  } else {
    render(text, n + 1);
  }
  return text;
}

char* pool_strdup(Allocator* a, const char* s);
char* pool_strndup(Allocator* a, const char* s, size_t n);

// Byte-string helpers.
size_t str_len(const char* s);
size_t str_len_bounded(const char* s, size_t n);
inline bool str_is_empty(const char* s) { return s == nullptr || *s == 0; }
inline const char* str_or_empty(const char* s) { return s ? s : ""; }
void mem_move(void* dst, const void* src, size_t n);
void string_copy_bounded(char* dst, size_t capacity, const char* src, size_t src_limit);
inline void string_copy_bounded(char* dst, size_t capacity, const char* src) {
  string_copy_bounded(dst, capacity, src, kNoLimit);
}
inline void string_copy_unbounded(char* dst, const char* src, size_t src_limit = kNoLimit) {
  string_copy_bounded(dst, kNoLimit, src, src_limit);
}
inline char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
