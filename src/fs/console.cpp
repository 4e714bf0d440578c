// Formatted output to handles; see console.h.
#include "fs/console.h"

#include "base/memory.h"
#include "fs/stream.h"

void print_vto(HANDLE h, const char* format, FormatArgs args) {
  ScopedPool pool;
  const char* text = pool_vformat(pool.alloc(), format, args);
  stream_write(h, text, str_len(text));
}

void print_v(const char* format, FormatArgs args) {
  print_vto(sys::GetStdHandle(STD_OUTPUT_HANDLE), format, args);
}
