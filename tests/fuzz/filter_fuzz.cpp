// Filter preparation, selection and the two pattern searches: the searches
// agree with a literal transcription of the backtracking search (no memory
// of failed pairs) on short inputs, and their work stays within a polynomial
// bound on every input.
#include <cstdlib>

#include "base/memory.h"
#include "fuzz_util.h"
#include "listing/filter.h"

namespace {

// Returns 1, 0, or -1 when `budget` pairs are used up.
int literal_search(const std::string& a, const std::string& b, bool both, long budget) {
  auto at = [](const std::string& s, size_t i) -> char { return i < s.size() ? s[i] : 0; };
  auto sep = [](char c) { return c == '\\' || c == '/'; };
  std::vector<std::pair<size_t, size_t>> pending{{0, 0}};
  auto push = [&](size_t x, size_t y) {
    if (pending.size() < kPatternAlternatives) pending.push_back({x, y});
  };
  auto run = [&](const std::string& s, size_t* i, auto skip) {
    bool multi = *i > 0 && s[*i - 1] == '*';
    if (at(s, *i + 1) == '*') {
      while (at(s, *i + 1) == '*') ++*i;
      multi = true;
      if (sep(at(s, *i + 1))) skip(*i + 2);
    }
    return multi;
  };
  while (!pending.empty()) {
    if (--budget < 0) return -1;
    size_t ia = pending.back().first, ib = pending.back().second;
    pending.pop_back();
    for (;;) {
      while (at(a, ia) == '*') {
        const bool multi = run(a, &ia, [&](size_t k) { push(k, ib); });
        const char cb = at(b, ib);
        if (cb != 0 && (!sep(cb) || multi)) push(ia, ib + 1);
        ++ia;
      }
      const char ca = at(a, ia), cb = at(b, ib);
      if (both && cb == '*') {
        const bool multi = run(b, &ib, [&](size_t k) { push(ia, k); });
        if (ca != 0 && (!sep(ca) || multi)) push(ia + 1, ib);
        ++ib;
        continue;
      }
      if (ca == cb) {
        if (cb == 0) return 1;
      } else if (ca == '?') {
        if (cb == 0 || sep(cb)) break;
      } else if (both && cb == '?') {
        if (ca == 0 || sep(ca)) break;
      } else if (!(sep(ca) && sep(cb))) {
        break;
      }
      ++ia;
      ++ib;
    }
  }
  return 0;
}

bool ascii(const std::string& s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto parts = split_input(data, size, 2);
  const std::string& p = parts[0];
  const std::string t = parts.size() > 1 ? parts[1] : "";
  const uint64_t bound = (p.size() + 1) * (t.size() + 1) * kPatternAlternatives * (p.size() + t.size() + 2) + 64;
  for (int both = 0; both < 2; ++both) {
    const uint32_t got = both ? pattern_overlap(p.c_str(), p.size(), t.c_str(), t.size())
                              : pattern_match(p.c_str(), p.size(), t.c_str(), t.size());
    if (pattern_search_work() > bound) std::abort();
    // The literal search decodes bytes; compare where bytes are code points.
    if (p.size() <= 40 && t.size() <= 40 && ascii(p) && ascii(t) && p.find('\0') == std::string::npos) {
      const int expect = literal_search(p, t, both != 0, 200000);
      if (expect >= 0 && static_cast<uint32_t>(expect) != got) std::abort();
    }
  }
  ScopedPool pool;
  const char* prepared = filter_prepare(pool.alloc(), p.c_str());
  if (prepared) {
    const char* filters[] = {prepared, nullptr};
    const std::string rel = t + "\\";
    filter_selects(filters, rel.c_str());
    filter_may_descend(filters, rel.c_str(), (t + "\\**").c_str());
  }
  return 0;
}
