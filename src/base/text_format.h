// The program's own formatted-text engine.
//
// A printf-like format rendered as UTF-8 into a caller buffer of fixed
// capacity; the full length is always returned. Every argument occupies one
// 64-bit slot; narrower values are read from the low end of their slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "base/memory.h"
#include "platform/platform.h"

// The argument list: 64-bit slots read in order. Reading past the end gives 0
// (a null pointer, the value 0), so a format that asks for more arguments
// than were passed never reads outside the list.
struct FormatArgs {
  const uint64_t* slots;
  size_t count;
  size_t next = 0;
  uint64_t take() { return next < count ? slots[next++] : (next++, 0); }
};

template <typename T>
constexpr uint64_t format_slot(T v) {
  if constexpr (std::is_pointer_v<T>)
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(v));
  else if constexpr (std::is_enum_v<T>)
    return static_cast<uint64_t>(static_cast<std::underlying_type_t<T>>(v));
  else if constexpr (std::is_same_v<T, std::nullptr_t>)
    return 0;
  else {
    static_assert(std::is_integral_v<T>, "format arguments are integers and pointers");
    if constexpr (std::is_signed_v<T>)
      return static_cast<uint64_t>(static_cast<int64_t>(v));
    else
      return static_cast<uint64_t>(v);
  }
}

uint64_t text_vformat(char* buffer, uint64_t capacity, const char* format, FormatArgs args);

template <typename... A>
uint64_t text_format(char* buffer, uint64_t capacity, const char* format, A... a) {
  const uint64_t slots[sizeof...(A) + 1] = {format_slot(a)...};
  return text_vformat(buffer, capacity, format, FormatArgs{slots, sizeof...(A)});
}

// Rendered, terminated text from the allocator, or null.
char* pool_vformat(Allocator* a, const char* format, FormatArgs args);
template <typename... A>
char* pool_format(Allocator* a, const char* format, A... args) {
  const uint64_t slots[sizeof...(A) + 1] = {format_slot(args)...};
  return pool_vformat(a, format, FormatArgs{slots, sizeof...(A)});
}

// Writes "FATAL: <file>:<line> <message>" to standard output and stops the
// process at once with a breakpoint trap.
[[noreturn]] void fatal_error(const char* source_path, int line, const char* message);
#define FATAL(msg) fatal_error(__FILE__, __LINE__, (msg))
