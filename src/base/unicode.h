// Conversions between UTF-8 and UTF-16, built on the codec of platform/utf.h
// (whose code-point steps this header passes on). Conversions take a
// destination and its capacity, store only what fits (ending on a whole code
// point), terminate when the capacity is not zero and return the full size
// needed in output units, without terminator.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/memory.h"
#include "platform/platform.h"
#include "platform/utf.h"

constexpr uint64_t kToTerminator = UINT64_MAX;  // source length: runs to its terminator

// Bounded conversions (source length kToTerminator for a terminated source).
uint64_t utf8_to_utf16(wchar16* dst, uint64_t capacity, const char* src, uint64_t src_length);
inline uint64_t utf8_to_utf16(wchar16* dst, uint64_t capacity, const char* src) {
  return utf8_to_utf16(dst, capacity, src, kToTerminator);
}
inline uint64_t utf8_to_utf16_unbounded(wchar16* dst, const char* src) {
  return utf8_to_utf16(dst, UINT64_MAX, src, kToTerminator);
}
inline uint64_t utf8_to_utf16_measure(const char* src) {
  return utf8_to_utf16(nullptr, 0, src, kToTerminator);
}

uint64_t utf16_to_utf8(char* dst, uint64_t capacity, const wchar16* src, uint64_t src_length);
inline uint64_t utf16_to_utf8_unbounded(char* dst, const wchar16* src) {
  return utf16_to_utf8(dst, UINT64_MAX, src, kToTerminator);
}
inline uint64_t utf16_to_utf8_measure(const wchar16* src) {
  return utf16_to_utf8(nullptr, 0, src, kToTerminator);
}

// Allocating forms; null when the one allocation fails.
char* utf16_to_utf8_alloc(Allocator* a, const wchar16* src, uint64_t src_length);
inline char* utf16_to_utf8_alloc(Allocator* a, const wchar16* src) {
  return utf16_to_utf8_alloc(a, src, kToTerminator);
}
// Null-terminated vector of UTF-8 strings in one allocation.
char** argv_to_utf8(Allocator* a, const wchar16* const* argv);
wchar16* wide_strdup(Allocator* a, const wchar16* src, uint64_t max_length = kToTerminator);
// Heap form, freed by the caller with std::free; null for a null source.
wchar16* wide_strdup_heap(const wchar16* src, uint64_t max_length = kToTerminator);

// UTF-16 helpers.
size_t wide_len(const wchar16* s);
size_t wide_len_bounded(const wchar16* s, size_t n);
void wide_move(wchar16* dst, const wchar16* src, size_t n);
wchar16* wide_heap_buffer(size_t n);  // std::free; null for n == 0
int wide_prefix_compare(const wchar16* a, size_t len_a, const wchar16* b, size_t len_b);
inline int wide_prefix_compare(const wchar16* a, const wchar16* b) {
  return wide_prefix_compare(a, wide_len(a), b, wide_len(b));
}
