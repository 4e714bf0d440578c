// The entry order of a tree listing: relative paths compared element by
// element with the name order.
#include "listing/collation.h"
#include "platform/conventions.h"

namespace {


inline uint64_t element_length(const char* p) {
  uint64_t n = 0;
  while (p[n] != 0 && !is_path_separator(p[n])) ++n;
  return n;
}

}  // namespace

int entry_compare(const char* path_a, const FileInfo* info_a, const char* path_b,
                  const FileInfo* info_b) {
  const bool fa = info_a != nullptr && info_a->after_contents != 0;
  const bool fb = info_b != nullptr && info_b->after_contents != 0;
  const char* a = path_a != nullptr ? path_a : "";
  const char* b = path_b != nullptr ? path_b : "";
  // Elements that are the same bytes compare equal: start at the element
  // where the two paths first differ, or at the first empty element (which
  // ends a path).
  uint64_t same = 0;
  while (a[same] != 0 && a[same] == b[same] && !(is_path_separator(a[same]) && (same == 0 || is_path_separator(a[same - 1]))))
    ++same;
  while (same > 0 && !is_path_separator(a[same - 1])) --same;
  a += same;
  b += same;
  for (;;) {
    uint64_t la = element_length(a);
    uint64_t lb = element_length(b);
    if (la == 0) {
      if (lb == 0 && fa == fb) return 0;
      return fa ? 1 : -1;
    }
    if (lb == 0) return fb ? -1 : 1;
    int r = name_compare_folded(a, la, b, lb);
    if (r == 0) r = name_compare_exact(a, la, b, lb);
    if (r != 0) return r;
    a += la;
    b += lb;
    if (is_path_separator(*a)) ++a;
    if (is_path_separator(*b)) ++b;
  }
}
