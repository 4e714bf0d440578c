// A literal transcription of the pattern search (the unit tests and the
// filter fuzz target compare the program's searches with it).
#pragma once

#include <string>
#include <utility>
#include <vector>

// A literal transcription of the search, without the memory of failed pairs
// the program keeps: both must give the same answer, also when alternatives
// are lost. Returns -1 when it gives up after `budget` pairs.
inline int literal_search(const std::string& a, const std::string& b, bool both_patterns, long budget,
                          bool* lost) {
  auto at = [](const std::string& s, size_t i) -> char { return i < s.size() ? s[i] : 0; };
  auto sep = [](char c) { return c == '\\' || c == '/'; };
  std::vector<std::pair<size_t, size_t>> pending{{0, 0}};
  auto push = [&](size_t x, size_t y) {
    if (pending.size() < 50) pending.push_back({x, y});
    else *lost = true;
  };
  // Star at i (in s): extends the run, returns whether it is a run of two or
  // more; *i ends on the last star.
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
      if (both_patterns && cb == '*') {
        const bool multi = run(b, &ib, [&](size_t k) { push(ia, k); });
        if (ca != 0 && (!sep(ca) || multi)) push(ia + 1, ib);
        ++ib;
        continue;
      }
      if (ca == cb) {
        if (cb == 0) return 1;
      } else if (ca == '?') {
        if (cb == 0 || sep(cb)) break;
      } else if (both_patterns && cb == '?') {
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
