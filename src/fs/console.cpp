// Formatted output to handles; see console.h.
#include "fs/console.h"

#include <atomic>

#include "base/lock.h"
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

// The kept answers of console_is, and the console-mode function that gave
// them.
struct KnownHandle {
  HANDLE handle;
  bool console;
};
constexpr size_t kKnownHandles = 4;
Lock g_known_lock;
KnownHandle g_known[kKnownHandles];
size_t g_known_count = 0;
decltype(sys::g_calls.GetConsoleMode.current) g_known_asker = nullptr;

}  // namespace

bool console_is(HANDLE h) {
  LockGuard guard(&g_known_lock);
  if (g_known_asker != sys::g_calls.GetConsoleMode.current) {
    g_known_asker = sys::g_calls.GetConsoleMode.current;
    g_known_count = 0;
  }
  for (size_t i = 0; i < g_known_count; ++i)
    if (g_known[i].handle == h) return g_known[i].console;
  DWORD mode;
  const bool console = sys::GetConsoleMode(h, &mode) != FALSE;
  // Past the table's size the oldest answer makes room.
  if (g_known_count == kKnownHandles) {
    for (size_t i = 1; i < kKnownHandles; ++i) g_known[i - 1] = g_known[i];
    --g_known_count;
  }
  g_known[g_known_count++] = KnownHandle{h, console};
  return console;
}

void console_forget() {
  LockGuard guard(&g_known_lock);
  g_known_count = 0;
}

void print_vto(HANDLE h, const char* format, FormatArgs args) {
  ScopedPool pool;
  const char* text = pool_vformat(pool.alloc(), format, args);
  // Pipes and files get the UTF-8 bytes as they are.
  const bool console = text != nullptr && console_is(h);
  if (console)
    console_write(h, pool.get(), text, str_len(text));
  else if (text == nullptr || stream_write(h, text, str_len(text)) != err::ok)
    g_write_failures.fetch_add(1);
}

uint64_t print_failures() { return g_write_failures.load(); }

void print_v(const char* format, FormatArgs args) {
  print_vto(sys::GetStdHandle(STD_OUTPUT_HANDLE), format, args);
}
