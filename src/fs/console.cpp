// Formatted output to handles; see console.h.
#include "fs/console.h"

#include <atomic>

#include "base/memory.h"
#include "base/unicode.h"
#include "fs/stream.h"

namespace {

std::atomic<uint64_t> g_write_failures{0};

// A console shows UTF-8 bytes in its code page, so non-ASCII names would
// come out wrong: the text goes to it as UTF-16 instead.
void console_write(HANDLE h, StringPool* pool, const char* text, uint64_t length) {
  const uint64_t units = utf8_to_utf16(nullptr, 0, text, length);
  auto* wide = static_cast<wchar16*>(pool_allocate(pool, (units + 1) * sizeof(wchar16)));
  if (wide == nullptr) {
    g_write_failures.fetch_add(1);
    return;
  }
  utf8_to_utf16(wide, units + 1, text, length);
  uint64_t at = 0;
  while (at < units) {
    const uint64_t left = units - at;
    const DWORD piece = static_cast<DWORD>(left < kStreamPieceMax ? left : kStreamPieceMax);
    DWORD done = 0;
    if (!sys::WriteConsoleW(h, wide + at, piece, &done) || done == 0) {
      g_write_failures.fetch_add(1);
      return;
    }
    at += done;
  }
}

bool handle_is_console(HANDLE h) {
  DWORD mode;
  return sys::GetConsoleMode(h, &mode) != FALSE;
}

}  // namespace

void print_vto(HANDLE h, const char* format, FormatArgs args) {
  ScopedPool pool;
  const char* text = pool_vformat(pool.alloc(), format, args);
  // Pipes and files get the UTF-8 bytes as they are.
  const bool console = text != nullptr && handle_is_console(h);
  if (console)
    console_write(h, pool.get(), text, str_len(text));
  else if (text == nullptr || stream_write(h, text, str_len(text)) != err::ok)
    g_write_failures.fetch_add(1);
}

uint64_t print_failures() { return g_write_failures.load(); }

void print_v(const char* format, FormatArgs args) {
  print_vto(sys::GetStdHandle(STD_OUTPUT_HANDLE), format, args);
}
