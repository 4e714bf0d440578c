// Filter preparation, selection and the two backtracking pattern searches.
#include "listing/filter.h"

#include "base/memory.h"
#include "base/signals.h"
#include "base/text_format.h"
#include "base/unicode.h"
#include "fs/path.h"
#include "platform/conventions.h"

namespace {


// One string of a search with its length, decoded a code point at a time.
struct Text {
  const char* s;
  uint64_t length;

  uint32_t decode(uint64_t pos, uint64_t* next) const { return utf8_decode_next(s, length, pos, next); }
  // The byte at pos, or 0 at the end (enough to test for ASCII '*' and separators).
  char byte(uint64_t pos) const { return (s && pos < length) ? s[pos] : '\0'; }
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

// Memory of failed searches. Taking up a pair starts a search whose
// alternatives all lie above the list level it started from and are taken up
// before the list returns to that level; which ones are lost to the limit
// depends only on the pair and that level. So a pair that failed at some
// level fails again there and at any higher level (the same alternatives or
// fewer, each at a higher level, where they fail as well). The table keeps
// for each pair the lowest level it failed at, plus one (0: not known), and
// a pair taken up at or above that level is skipped with the same answer. A
// pair then starts at most once per level, which bounds a search by pairs x
// levels x one branch: polynomial instead of exponential in the number of
// stars. The open pairs always descend from one another and both positions
// only grow along such a chain, so it never holds more than both lengths
// together. Short strings use local storage, longer ones a scratch pool;
// without either (or beyond kTableMax pairs) the search runs unremembered.
class FailedPairs {
 public:
  // The table is set up only when a search turns out to need it.
  void start(uint64_t a_length, uint64_t b_length) {
    width_ = b_length + 1;
    if (a_length >= kTableMax || b_length >= kTableMax || (a_length + 1) * width_ > kTableMax) return;
    const uint64_t cells = (a_length + 1) * width_;
    const uint64_t open_max = a_length + b_length + 2;
    if (cells <= kLocalCells && open_max <= kLocalOpen) {
      for (uint64_t i = 0; i < cells; ++i) local_cells_[i] = 0;
      cells_ = local_cells_;
      open_ = local_open_;
      return;
    }
    cells_ = static_cast<uint8_t*>(pool_allocate(pool_.get(), cells));  // zeroed
    open_ = static_cast<Open*>(pool_allocate(pool_.get(), open_max * sizeof(Open)));
    if (open_ == nullptr) cells_ = nullptr;
  }
  bool enabled() const { return cells_ != nullptr; }
  // Called before every take: the searches still open at or above the
  // current level have ended, and failed, at their level.
  void close_until(int level) {
    while (open_count_ > 0 && open_[open_count_ - 1].level >= level) {
      const Open& o = open_[--open_count_];
      uint8_t& cell = cells_[o.index];
      if (cell == 0 || cell > o.level + 1) cell = static_cast<uint8_t>(o.level + 1);
    }
  }
  // A pair taken up at this list level; false when it is known to fail there.
  bool begin(uint64_t ia, uint64_t ib, int level) {
    const uint64_t index = ia * width_ + ib;
    const uint8_t cell = cells_[index];
    if (cell != 0 && cell <= level + 1) return false;
    open_[open_count_++] = Open{index, level};
    return true;
  }

 private:
  static constexpr uint64_t kTableMax = uint64_t{1} << 24;
  static constexpr uint64_t kLocalCells = 16384;
  static constexpr uint64_t kLocalOpen = 512;
  struct Open {
    uint64_t index;
    int level;
  };
  uint8_t local_cells_[kLocalCells];
  Open local_open_[kLocalOpen];
  ScopedPool pool_;
  uint8_t* cells_ = nullptr;
  Open* open_ = nullptr;
  uint64_t open_count_ = 0;
  uint64_t width_ = 0;
};

// Searches that take up this many pairs start remembering failed ones.
constexpr uint32_t kRememberAfter = 32;
// Pairs taken up between two looks at the abort request.
constexpr uint32_t kAbortPollInterval = 4096;

// Branch steps of this thread's last search.
thread_local uint64_t t_search_work = 0;

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
    if (is_path_separator(after)) record_skip(*next + 1);
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
  t_search_work = 0;
  while (pending.count > 0) {
    if (taken == kRememberAfter) failed.start(extent(a.s, a.length), extent(b.s, b.length));
    // A search that still runs long (beyond the table) gives way to an abort.
    if (++taken % kAbortPollInterval == 0 && abort_requested()) return 0;
    const bool remember = failed.enabled();
    if (remember) failed.close_until(pending.count);
    --pending.count;
    uint64_t ia = pending.a[pending.count];
    uint64_t ib = pending.b[pending.count];
    if (remember && !failed.begin(ia, ib, pending.count)) continue;
    uint64_t na, nb;
    uint32_t ca = a.decode(ia, &na);
    uint32_t cb = b.decode(ib, &nb);
    for (;; ++t_search_work) {
      while (ca == '*') {
        const bool multi = star_run(a, &ia, &na, [&](uint64_t skip) { pending.push(skip, ib); });
        if (cb != 0 && (!is_path_separator(cb) || multi)) pending.push(ia, nb);
        ia = na;
        ca = a.decode(ia, &na);
      }
      if (kBothPatterns && cb == '*') {
        const bool multi = star_run(b, &ib, &nb, [&](uint64_t skip) { pending.push(ia, skip); });
        if (ca != 0 && (!is_path_separator(ca) || multi)) pending.push(na, ib);
        ib = nb;
        cb = b.decode(ib, &nb);
        continue;
      }
      if (ca == cb) {
        if (cb == 0) return 1;
      } else if (ca == '?') {
        if (cb == 0 || is_path_separator(cb)) break;
      } else if (kBothPatterns && cb == '?') {
        if (ca == 0 || is_path_separator(ca)) break;
      } else if (!(is_path_separator(ca) && is_path_separator(cb))) {
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


}  // namespace

uint64_t pattern_search_work() { return t_search_work; }

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
  while (is_path_separator(*rest)) ++rest;
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
