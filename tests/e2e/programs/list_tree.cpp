// Test program: prints the stream of a tree lister, one line per result.
//
//   list_tree [--flags=N] <root> [filter ...]
//
// Lines: "= <relative path>|<marks>" for an entry, marks d (folder), l (link),
// v (read through a link), m (link target missing), a (after contents);
// "! <error> <relative path>" for an error (the path may be empty). An open
// failure prints "open failed <error>" and ends with status 1.
#include <cstdlib>
#include <cstring>

#include "base/memory.h"
#include "base/unicode.h"
#include "listing/tree_lister.h"
#include "platform/platform.h"

namespace {

char g_out[1 << 16];
size_t g_used = 0;

void flush() {
  HANDLE h = sys::GetStdHandle(STD_OUTPUT_HANDLE);
  size_t done = 0;
  while (done < g_used) {
    DWORD n = 0;
    if (!sys::WriteFile(h, g_out + done, static_cast<DWORD>(g_used - done), &n, nullptr) || n == 0) break;
    done += n;
  }
  g_used = 0;
}

void put(const char* s, size_t n) {
  while (n) {
    if (g_used == sizeof g_out) flush();
    const size_t take = n < sizeof g_out - g_used ? n : sizeof g_out - g_used;
    std::memcpy(g_out + g_used, s, take);
    g_used += take;
    s += take;
    n -= take;
  }
}
void put(const char* s) { put(s, str_len(s)); }

void put_number(uint64_t v) {
  char digits[24];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  while (n) put(&digits[--n], 1);
}

}  // namespace

namespace {

int run(int argc, char** args) {
  uint32_t flags = LIST_NO_FOLLOW_LINKS | LIST_DIRS_AFTER_CONTENTS;
  int first = 1;
  if (argc > 1 && std::strncmp(args[1], "--flags=", 8) == 0) {
    flags = 0;
    for (const char* p = args[1] + 8; is_digit(*p); ++p) flags = flags * 10 + static_cast<uint32_t>(*p - '0');
    first = 2;
  }
  if (argc <= first) {
    put("usage: list_tree [--flags=N] <root> [filter ...]\n");
    flush();
    return 2;
  }
  TreeLister* lister = nullptr;
  const Error open = tree_lister_open(&lister, nullptr, args[first], flags, args + first + 1);
  if (open != err::ok) {
    put("open failed ");
    put_number(open);
    put("\n");
    flush();
    return 1;
  }
  uint64_t root_prefix = 0;
  for (;;) {
    const char* path;
    uint64_t offset;
    const FileInfo* info;
    const Error e = tree_lister_next(lister, &path, &offset, &info);
    if (e == err::no_more_files) break;
    if (root_prefix == 0 && path) root_prefix = offset;
    const char* rel = path ? path + (root_prefix ? root_prefix : offset) : "";
    if (e != err::ok) {
      put("! ");
      put_number(e);
      put(" ");
      put(rel);
      put("\n");
      continue;
    }
    put("= ");
    put(rel);
    put("|");
    if (info) {
      if (info->is_dir) put("d");
      if (info->is_link) put("l");
      if (info->via_link) put("v");
      if (info->link_missing) put("m");
      if (info->after_contents) put("a");
    }
    put("\n");
  }
  tree_lister_destroy(lister);
  flush();
  return 0;
}

}  // namespace

#ifdef _WIN32
extern "C" int wmain(int argc, wchar16** argv) {
  char** args = static_cast<char**>(std::calloc(static_cast<size_t>(argc) + 1, sizeof(char*)));
  if (!args) return 3;
  for (int i = 0; i < argc; ++i) args[i] = utf16_to_utf8_alloc(&heap_allocator, argv[i]);
  return run(argc, args);
}
#else
// Linux: the arguments arrive as UTF-8 bytes.
int main(int argc, char** argv) { return run(argc, argv); }
#endif
