// Filter preparation, selection and the two backtracking pattern searches.
#include "listing/filter.h"

#include "base/text_format.h"
#include "base/unicode.h"
#include "fs/path.h"

namespace {

inline bool is_sep(uint32_t c) { return c == '\\' || c == '/'; }

// One string of a search with its length, decoded a code point at a time.
struct Text {
  const char* s;
  uint64_t length;

  uint32_t decode(uint64_t pos, uint64_t* next) const { return utf8_decode_next(s, length, pos, next); }
  // The byte at pos, or 0 at the end (enough to test for ASCII '*' and separators).
  char byte(uint64_t pos) const { return (s && pos < length) ? s[pos] : 0; }
};

// Pending (position in A, position in B) pairs; alternatives beyond the limit
// are not recorded.
struct Pending {
  uint64_t a[kPatternAlternatives];
  uint64_t b[kPatternAlternatives];
  int count = 0;
  void push(uint64_t pa, uint64_t pb) {
    if (count < kPatternAlternatives) {
      a[count] = pa;
      b[count] = pb;
      ++count;
    }
  }
};

// The star at *pos (a decoded '*' whose successor is at *next): extends over
// a run of stars, leaving *pos at its last star and *next after the run, and
// records the alternative in which a run directly followed by a separator
// matches nothing together with that separator. Returns whether the star in
// hand belongs to a run of two or more (on a star resumed from an alternative
// the run lies before it).
template <typename Record>
bool star_run(const Text& p, uint64_t* pos, uint64_t* next, Record record_skip) {
  bool multi = *pos > 0 && p.byte(*pos - 1) == '*';
  if (p.byte(*next) == '*') {
    while (p.byte(*next) == '*') *pos = (*next)++;
    multi = true;
    const char after = p.byte(*next);
    if (after == '\\' || after == '/') record_skip(*next + 1);
  }
  return multi;
}

// The search shared by matching (B is a text) and overlap (B is a pattern
// too). A is always a pattern.
template <bool kBothPatterns>
uint32_t search(const Text& a, const Text& b) {
  Pending pending;
  pending.push(0, 0);
  while (pending.count > 0) {
    --pending.count;
    uint64_t ia = pending.a[pending.count];
    uint64_t ib = pending.b[pending.count];
    uint64_t na, nb;
    uint32_t ca = a.decode(ia, &na);
    uint32_t cb = b.decode(ib, &nb);
    for (;;) {
      while (ca == '*') {
        const bool multi = star_run(a, &ia, &na, [&](uint64_t skip) { pending.push(skip, ib); });
        if (cb != 0 && (!is_sep(cb) || multi)) pending.push(ia, nb);
        ia = na;
        ca = a.decode(ia, &na);
      }
      if (kBothPatterns && cb == '*') {
        const bool multi = star_run(b, &ib, &nb, [&](uint64_t skip) { pending.push(ia, skip); });
        if (ca != 0 && (!is_sep(ca) || multi)) pending.push(na, ib);
        ib = nb;
        cb = b.decode(ib, &nb);
        continue;
      }
      if (ca == cb) {
        if (cb == 0) return 1;
      } else if (ca == '?') {
        if (cb == 0 || is_sep(cb)) break;
      } else if (kBothPatterns && cb == '?') {
        if (ca == 0 || is_sep(ca)) break;
      } else if (!(is_sep(ca) && is_sep(cb))) {
        break;
      }
      ia = na;
      ca = a.decode(ia, &na);
      ib = nb;
      cb = b.decode(ib, &nb);
    }
  }
  return 0;
}

inline bool arg_is_sep(char c) { return c == '\\' || c == '/'; }

}  // namespace

uint32_t pattern_match(const char* pattern, uint64_t pattern_length, const char* text,
                       uint64_t text_length) {
  return search<false>(Text{pattern, pattern_length}, Text{text, text_length});
}

uint32_t pattern_overlap(const char* a, uint64_t a_length, const char* b, uint64_t b_length) {
  return search<true>(Text{a, a_length}, Text{b, b_length});
}

char* filter_prepare(Allocator* a, const char* argument) {
  ScopedPool scratch;
  const char* rest = str_or_empty(argument);
  char sign = '+';
  if (*rest == '+' || *rest == '-') sign = *rest++;
  while (arg_is_sep(*rest)) ++rest;
  // What is left cannot start with a separator, so its syntax is valid and
  // only an allocation can fail.
  const char* canonical = *rest ? path_normalize(scratch.get(), rest) : "";
  if (!canonical) return nullptr;
  const char* signed_pattern = pool_format(scratch.alloc(), sign == '+' ? "+%s" : "-%s", canonical);
  if (!signed_pattern) return nullptr;
  const char* prepared = path_join(scratch.get(), signed_pattern, "**");
  return prepared ? pool_strdup(a, prepared) : nullptr;
}

bool filter_selects(const char* const* filters, const char* relative_path) {
  if (!filters || !filters[0]) return true;
  bool selected = filters[0][0] == '-';
  for (const char* const* f = filters; *f; ++f) {
    const char* pattern = *f + 1;
    if ((**f == '-') == selected &&
        pattern_match(pattern, kPatternToTerminator, relative_path, kPatternToTerminator))
      selected = !selected;
  }
  return selected;
}

bool filter_may_descend(const char* const* filters, const char* relative_path,
                        const char* folder_with_tail) {
  if (!filters || !filters[0]) return true;
  bool enter = filters[0][0] == '-';
  for (const char* const* f = filters; *f; ++f) {
    const char* pattern = *f + 1;
    if (**f == '-') {
      if (enter && pattern_match(pattern, kPatternToTerminator, relative_path, kPatternToTerminator))
        enter = false;
    } else if (!enter &&
               pattern_overlap(pattern, kPatternToTerminator, folder_with_tail, kPatternToTerminator)) {
      enter = true;
    }
  }
  return enter;
}
