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
  uint32_t dropped = 0;  // alternatives lost so far
  void push(uint64_t pa, uint64_t pb) {
    if (count < kPatternAlternatives) {
      a[count] = pa;
      b[count] = pb;
      ++count;
    } else {
      ++dropped;
    }
  }
};

// Pairs whose whole search ended without a match and without losing an
// alternative. Each branch depends on its pair alone and pushes only above
// the list level it started from, so taking up such a pair again could only
// repeat that failure (or a part of it, if alternatives are lost this time)
// and return the list to the same level: skipping it gives the same answer.
// This keeps patterns with several stars from exploring the same pairs over
// and over, which grows exponentially with the number of stars. Fixed local
// storage: one bit per pair when the two strings are short enough, and the
// most recent searches still open; older ones are forgotten.
class FailedPairs {
 public:
  // The table is set up only when a search turns out to need it.
  void start(uint64_t a_length, uint64_t b_length) {
    width_ = b_length + 1;
    enabled_ = a_length < kBits && b_length < kBits && (a_length + 1) * width_ <= kBits;
    if (!enabled_) return;
    const uint64_t words = ((a_length + 1) * width_ + 63) / 64;
    for (uint64_t i = 0; i < words; ++i) bits_[i] = 0;
  }
  // Called before every take: searches that have ended are closed.
  void close_until(int level, uint32_t dropped) {
    while (open_count_ > 0) {
      const Open& o = open_[(open_top_ + kOpenMax - 1) % kOpenMax];
      if (o.level < level) break;
      if (o.dropped == dropped) bits_[o.index / 64] |= uint64_t{1} << (o.index % 64);
      open_top_ = (open_top_ + kOpenMax - 1) % kOpenMax;
      --open_count_;
    }
  }
  // A pair taken up at this list level; false when it is known to fail.
  bool begin(uint64_t ia, uint64_t ib, int level, uint32_t dropped) {
    if (!enabled_) return true;
    const uint64_t index = ia * width_ + ib;
    if (bits_[index / 64] & (uint64_t{1} << (index % 64))) return false;
    open_[open_top_] = Open{index, level, dropped};
    open_top_ = (open_top_ + 1) % kOpenMax;
    if (open_count_ < kOpenMax) ++open_count_;  // else the oldest is overwritten
    return true;
  }

 private:
  static constexpr uint64_t kBits = uint64_t{1} << 18;
  static constexpr int kOpenMax = 256;
  struct Open {
    uint64_t index;
    int level;
    uint32_t dropped;
  };
  uint64_t bits_[kBits / 64];
  Open open_[kOpenMax];
  int open_top_ = 0;
  int open_count_ = 0;
  uint64_t width_ = 0;
  bool enabled_ = false;
};

// Searches that take up this many pairs start remembering failed ones.
constexpr uint32_t kRememberAfter = 32;

// The extent of a string for the table: positions never pass it.
uint64_t extent(const char* s, uint64_t length) {
  return length == kPatternToTerminator ? str_len(s) : (s ? length : 0);
}

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
  FailedPairs failed;
  pending.push(0, 0);
  uint32_t taken = 0;
  while (pending.count > 0) {
    if (taken == kRememberAfter) failed.start(extent(a.s, a.length), extent(b.s, b.length));
    const bool remember = taken++ >= kRememberAfter;
    if (remember) failed.close_until(pending.count, pending.dropped);
    --pending.count;
    uint64_t ia = pending.a[pending.count];
    uint64_t ib = pending.b[pending.count];
    if (remember && !failed.begin(ia, ib, pending.count, pending.dropped)) continue;
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
