// Filter preparation, selection and descent over a small tree, and the two
// pattern searches (matching checked against a regular-expression reference).
#include "listing/filter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "base/memory.h"
#include "pattern_reference.h"

namespace {

constexpr uint64_t kAll = kPatternToTerminator;

// ---- preparation ----

TEST(FilterPrepare, CanonicalPatternWithSignAndTail) {
  struct Case {
    const char* argument;
    const char* prepared;
  } cases[] = {
      {"-**.obj", "-**.obj\\**"},
      {"+tools/**", "+tools\\**\\**"},
      {"*.cpp", "+*.cpp\\**"},
      {"tools", "+tools\\**"},
      {"tools/", "+tools\\**"},
      {"/tools", "+tools\\**"},
      {"-\\/\\x", "-x\\**"},
      {"+", "+\\**"},
      {"-", "-\\**"},
      {"", "+\\**"},
      {"+/", "+\\**"},
      {"a//b/./c", "+a\\b\\c\\**"},
      {"a/../b", "+b\\**"},
      {"..", "+..\\**"},
      {"++x", "++x\\**"},
      {"C:x/y", "+C:x\\y\\**"},
  };
  for (const auto& c : cases) {
    ScopedPool pool;
    const char* p = filter_prepare(pool.alloc(), c.argument);
    ASSERT_NE(p, nullptr) << c.argument;
    EXPECT_STREQ(p, c.prepared) << c.argument;
  }
}

TEST(FilterPrepare, LongPatternIsKeptWhole) {
  std::string arg = "-";
  std::string expect = "-";
  for (int i = 0; i < 40; ++i) {
    arg += "dir" + std::to_string(i) + "/";
    expect += "dir" + std::to_string(i) + "\\";
  }
  expect += "**";
  ScopedPool pool;
  const char* p = filter_prepare(pool.alloc(), arg.c_str());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::string(p), expect);
}

// ---- selection and descent over a small tree ----

struct Entry {
  const char* path;  // relative, '\' separated, no trailing separator
  bool dir;
};

const Entry kTree[] = {
    {"a", true},           {"a\\b", true},      {"a\\b\\c.txt", false}, {"a\\x", true},
    {"a\\x\\y", false},    {"a.cpp", false},    {"b.txt", false},       {"d", true},
    {"d\\x.obj", false},   {"d\\y.c", false},   {"f.obj", true},        {"f.obj\\in.txt", false},
    {"old.cpp", true},     {"old.cpp\\k", false}, {"s", true},          {"s\\a.cpp", false},
    {"tools", true},       {"tools\\sub.obj", true}, {"tools\\sub.obj\\z.c", false},
    {"tools\\t.obj", false}, {"toolsx", true},  {"toolsx\\f", false},   {"x.OBJ", false},
    {"x.lib", false},      {"x.obj", false},    {"x.objects", false},
};

struct Outcome {
  std::vector<std::string> selected;
  std::vector<std::string> entered;
};

// Selection of every entry and descent into every folder, as the lister asks.
Outcome run_filters(const std::vector<const char*>& arguments) {
  ScopedPool pool;
  std::vector<const char*> prepared;
  for (const char* a : arguments) {
    const char* p = filter_prepare(pool.alloc(), a);
    EXPECT_NE(p, nullptr);
    prepared.push_back(p);
  }
  prepared.push_back(nullptr);
  Outcome out;
  for (const Entry& e : kTree) {
    const std::string rel = std::string(e.path) + "\\";
    if (filter_selects(prepared.data(), rel.c_str())) out.selected.push_back(e.path);
    if (e.dir) {
      const std::string tail = std::string(e.path) + "\\**";
      if (filter_may_descend(prepared.data(), rel.c_str(), tail.c_str())) out.entered.push_back(e.path);
    }
  }
  return out;
}

std::vector<std::string> all_paths(bool dirs_only) {
  std::vector<std::string> v;
  for (const Entry& e : kTree)
    if (e.dir || !dirs_only) v.push_back(e.path);
  return v;
}

std::vector<std::string> all_but(bool dirs_only, const std::vector<std::string>& except) {
  std::vector<std::string> v;
  for (const std::string& p : all_paths(dirs_only)) {
    bool skip = false;
    for (const std::string& x : except) skip = skip || x == p;
    if (!skip) v.push_back(p);
  }
  return v;
}

using Paths = std::vector<std::string>;

TEST(FilterSelect, NoFiltersSelectsAndEntersEverything) {
  Outcome o = run_filters({});
  EXPECT_EQ(o.selected, all_paths(false));
  EXPECT_EQ(o.entered, all_paths(true));
  EXPECT_TRUE(filter_selects(nullptr, "x\\"));
  EXPECT_TRUE(filter_may_descend(nullptr, "x\\", "x\\**"));
}

TEST(FilterSelect, ExcludeObjAnywhere) {
  Outcome o = run_filters({"-**.obj"});
  EXPECT_EQ(o.selected, all_but(false, {"d\\x.obj", "f.obj", "f.obj\\in.txt", "tools\\sub.obj",
                                        "tools\\sub.obj\\z.c", "tools\\t.obj", "x.obj"}));
  EXPECT_EQ(o.entered, all_but(true, {"f.obj", "tools\\sub.obj"}));
}

TEST(FilterSelect, ExcludesThenIncludeTools) {
  Outcome o = run_filters({"-**.obj", "-**.lib", "+tools/**"});
  EXPECT_EQ(o.selected, all_but(false, {"d\\x.obj", "f.obj", "f.obj\\in.txt", "x.lib", "x.obj"}));
  EXPECT_EQ(o.entered, all_but(true, {"f.obj"}));
}

TEST(FilterSelect, CppInRootOnly) {
  Outcome o = run_filters({"*.cpp"});
  EXPECT_EQ(o.selected, (Paths{"a.cpp", "old.cpp", "old.cpp\\k"}));
  EXPECT_EQ(o.entered, (Paths{"old.cpp"}));
}

TEST(FilterSelect, IncludeObjAnywhere) {
  Outcome o = run_filters({"+**.obj"});
  EXPECT_EQ(o.selected, (Paths{"d\\x.obj", "f.obj", "f.obj\\in.txt", "tools\\sub.obj",
                               "tools\\sub.obj\\z.c", "tools\\t.obj", "x.obj"}));
  EXPECT_EQ(o.entered, all_paths(true));
}

TEST(FilterSelect, IncludeToolsNotToolsx) {
  Outcome o = run_filters({"+tools/**"});
  EXPECT_EQ(o.selected, (Paths{"tools", "tools\\sub.obj", "tools\\sub.obj\\z.c", "tools\\t.obj"}));
  EXPECT_EQ(o.entered, (Paths{"tools", "tools\\sub.obj"}));
}

TEST(FilterSelect, IncludeOneDeepFile) {
  Outcome o = run_filters({"+a/b/c.txt"});
  EXPECT_EQ(o.selected, (Paths{"a\\b\\c.txt"}));
  EXPECT_EQ(o.entered, (Paths{"a", "a\\b"}));
}

TEST(FilterSelect, ExcludeOneFolder) {
  Outcome o = run_filters({"-a/b"});
  EXPECT_EQ(o.selected, all_but(false, {"a\\b", "a\\b\\c.txt"}));
  EXPECT_EQ(o.entered, all_but(true, {"a\\b"}));
}

TEST(FilterSelect, BarePlusSelectsNothing) {
  for (auto args : {std::vector<const char*>{"+"}, std::vector<const char*>{"+", "-b.txt"}}) {
    Outcome o = run_filters(args);
    EXPECT_TRUE(o.selected.empty());
    EXPECT_TRUE(o.entered.empty());
  }
  // A later include still works after the bare one.
  Outcome o = run_filters({"+", "b.txt"});
  EXPECT_EQ(o.selected, (Paths{"b.txt"}));
}

TEST(FilterSelect, LastMatchingFilterDecides) {
  Outcome o = run_filters({"+d", "-**.obj", "+d/x.obj"});
  EXPECT_EQ(o.selected, (Paths{"d", "d\\x.obj", "d\\y.c"}));
  EXPECT_EQ(o.entered, (Paths{"d"}));
}

TEST(FilterSelect, MatchingIsCaseExact) {
  Outcome o = run_filters({"+X.obj"});
  EXPECT_TRUE(o.selected.empty());
  o = run_filters({"+x.OBJ"});
  EXPECT_EQ(o.selected, (Paths{"x.OBJ"}));
}

// ---- matching ----

TEST(PatternMatch, Cases) {
  struct Case {
    const char* pattern;
    const char* text;
    uint32_t match;
  } cases[] = {
      {"", "", 1},
      {"", "a", 0},
      {"a", "", 0},
      {"*", "", 1},
      {"*", "abc", 1},
      {"*", "a\\b", 0},
      {"**", "a\\b/c", 1},
      {"***", "a\\b", 1},
      {"?", "a", 1},
      {"?", "\\", 0},
      {"?", "", 0},
      {"a?\\**", "a\\b\\", 0},
      {"a?\\**", "ab\\", 1},
      {"**\\x", "x", 1},
      {"**\\x", "a\\b\\x", 1},
      {"**\\x", "ax", 0},
      {"**\\x", "\\x", 1},
      {"*\\x", "x", 0},
      {"*\\x", "a\\x", 1},
      {"a/b", "a\\b", 1},
      {"a\\b", "a/b", 1},
      {"**.obj\\**", "x.obj\\", 1},
      {"**.obj\\**", "d\\x.obj\\", 1},
      {"**.obj\\**", "x.objects\\", 0},
      {"**.obj\\**", "x.OBJ\\", 0},
      {"tools\\**\\**", "tools\\", 1},
      {"tools\\**\\**", "toolsx\\", 0},
      {"*.cpp\\**", "s\\a.cpp\\", 0},
      {"?", "\xc3\xa9", 1},         // one code point, two bytes
      {"??", "\xc3\xa9", 0},
      {"?", "\xff", 1},             // an invalid byte is one character
      {"\xff", "\xff", 1},
      {"\xff", "\xfe", 1},          // every invalid byte decodes to the same value
      {"*", "\xc3", 1},
      {"a*", "a*", 1},
      {"a?c", "a*c", 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(pattern_match(c.pattern, kAll, c.text, kAll), c.match) << c.pattern << " ~ " << c.text;
}

TEST(PatternMatch, ExplicitLengths) {
  EXPECT_EQ(pattern_match("a*bXYZ", 3, "aqqbZZ", 4), 1u);
  EXPECT_EQ(pattern_match("a*bXYZ", 3, "aqqbZZ", 5), 0u);
  EXPECT_EQ(pattern_match("abc", 0, "xyz", 0), 1u);
  EXPECT_EQ(pattern_match(nullptr, kAll, "", kAll), 1u);
  EXPECT_EQ(pattern_match("**", 2, nullptr, 0), 1u);
  // A two-byte character cut by the length is one invalid byte.
  EXPECT_EQ(pattern_match("?", kAll, "\xc3\xa9", 1), 1u);
}

// Reference: the pattern as a regular expression over single-byte text.
std::string to_regex(const std::string& p) {
  std::string r;
  for (size_t i = 0; i < p.size();) {
    const char c = p[i];
    if (c == '*') {
      size_t j = i;
      while (j < p.size() && p[j] == '*') ++j;
      if (j - i == 1) {
        r += "[^\\\\/]*";
      } else if (j < p.size() && (p[j] == '\\' || p[j] == '/')) {
        r += "(?:[\\s\\S]*[\\\\/])?";
        ++j;
      } else {
        r += "[\\s\\S]*";
      }
      i = j;
      continue;
    }
    if (c == '?') r += "[^\\\\/]";
    else if (c == '\\' || c == '/') r += "[\\\\/]";
    else if (c == '.') r += "\\.";
    else r += c;
    ++i;
  }
  return r;
}

std::string random_string(std::mt19937& rng, const char* alphabet, size_t max_len) {
  const size_t n = std::strlen(alphabet);
  std::string s;
  const size_t len = rng() % (max_len + 1);
  for (size_t i = 0; i < len; ++i) s += alphabet[rng() % n];
  return s;
}

TEST(PatternMatch, AgreesWithRegexReference) {
  std::mt19937 rng(20261208);
  int matches = 0;
  for (int i = 0; i < 6000; ++i) {
    const std::string p = random_string(rng, "ab**?\\/.", 9);
    std::string t = random_string(rng, "ab\\/.", 10);
    if (i % 3 == 0) {
      // Texts shaped by the pattern match more often.
      t.clear();
      for (char c : p) {
        if (c == '*') t += random_string(rng, "ab\\", 2);
        else if (c == '?') t += 'b';
        else t += c;
      }
    }
    const bool expect = std::regex_match(t, std::regex(to_regex(p)));
    matches += expect;
    ASSERT_EQ(pattern_match(p.c_str(), kAll, t.c_str(), kAll), expect ? 1u : 0u)
        << "pattern " << p << " text " << t;
  }
  EXPECT_GT(matches, 600);  // the sample exercises both answers
}

// The pending list keeps at most 50 alternatives. Each "*a\" segment leaves
// one alternative pending (which fails at once when taken up); the final star
// must absorb a character, which it can only do through its own alternative,
// and that one is lost once 50 are pending.
TEST(PatternMatch, AlternativesBeyondTheLimitAreLost) {
  auto shape = [](int n) {
    std::string p, t;
    for (int i = 0; i < n; ++i) p += "*a\\";
    for (int i = 0; i < n; ++i) t += "a\\";
    return std::make_pair(p + "*ab", t + "aab");
  };
  for (int n : {0, 10, 49, 50, 60, 200}) {
    const auto [p, t] = shape(n);
    EXPECT_TRUE(std::regex_match(t, std::regex(to_regex(p)))) << n;
    EXPECT_EQ(pattern_match(p.c_str(), kAll, t.c_str(), kAll), n < kPatternAlternatives ? 1u : 0u) << n;
  }
}

TEST(PatternMatch, HugeInputsFinish) {
  std::string stars(100000, '*');
  std::string text(100000, 'a');
  EXPECT_EQ(pattern_match(stars.c_str(), kAll, text.c_str(), kAll), 1u);
  std::string seps(100000, '\\');
  EXPECT_EQ(pattern_match(seps.c_str(), kAll, seps.c_str(), kAll), 1u);
  std::string q(100000, '?');
  EXPECT_EQ(pattern_match(q.c_str(), kAll, text.c_str(), kAll), 1u);
  EXPECT_EQ(pattern_match(q.c_str(), kAll, seps.c_str(), kAll), 0u);
  std::string bad(100000, '\x80');
  EXPECT_EQ(pattern_match(q.c_str(), kAll, bad.c_str(), kAll), 1u);
}

TEST(PatternMatch, SameAnswerAsLiteralSearch) {
  static const char* const kPieces[] = {"*a\\", "*", "**", "a", "?", "**\\", "\\", "b"};
  std::mt19937 rng(99);
  int compared = 0, lost_cases = 0;
  for (int i = 0; i < 1500; ++i) {
    const bool overlap = i % 2 == 1;
    std::string p, t;
    const int n = 5 + static_cast<int>(rng() % 120);
    for (int k = 0; k < n; ++k) p += kPieces[rng() % 8];
    if (i % 4 < 2) {
      // Text shaped by the pattern: the search gets deep and piles up
      // alternatives.
      for (char c : p) {
        if (c == '*') t += random_string(rng, overlap ? "ab*" : "ab", 1);
        else if (c == '?') t += overlap && rng() % 2 ? '?' : 'a';
        else t += c;
      }
      if (rng() % 2) t += 'b';
    } else {
      t = overlap ? random_string(rng, "**aab\\?", 10 + rng() % 60)
                  : random_string(rng, "aaab\\", 10 + rng() % 60);
    }
    bool lost = false;
    const int expect = literal_search(p, t, overlap, 50000, &lost);
    if (expect < 0) continue;
    ++compared;
    lost_cases += lost;
    const uint32_t got = overlap ? pattern_overlap(p.c_str(), kAll, t.c_str(), kAll)
                                 : pattern_match(p.c_str(), kAll, t.c_str(), kAll);
    ASSERT_EQ(got, static_cast<uint32_t>(expect)) << (overlap ? "overlap " : "match ") << p << " / " << t;
  }
  EXPECT_GT(compared, 1000);
  EXPECT_GT(lost_cases, 30);  // the sample includes searches that lose alternatives
}

// Patterns whose plain backtracking search grows exponentially with the
// number of stars (the first two take minutes that way) stay within a work
// bound polynomial in both lengths, with the answers of the literal search
// where it can still finish.
TEST(PatternMatch, ManyStarsStayPolynomial) {
  auto repeat = [](const char* piece, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += piece;
    return s;
  };
  struct Case {
    std::string pattern, text;
    uint32_t match;
  };
  const std::string name57(57, 'x'), name58(58, 'x');
  const Case cases[] = {
      {repeat("**x", 60) + "y\\**", name57 + "\\", 0},
      {repeat("**x", 60) + "y\\**", name58 + "\\", 0},
      {repeat("*x", 60) + "y\\**", name58 + "\\", 0},
      {repeat("*x", 20) + "\\**", name58 + "\\", 1},
      {repeat("*a", 12) + "*b", std::string(200, 'a'), 0},
      {repeat("*a", 12) + "*b", std::string(200, 'a') + "b", 1},
      {repeat("**\\a", 30) + "*b", repeat("a\\", 80), 0},
  };
  for (const Case& c : cases) {
    const uint64_t pairs = (c.pattern.size() + 1) * (c.text.size() + 1);
    const uint64_t bound = pairs * kPatternAlternatives * (c.pattern.size() + c.text.size() + 2);
    EXPECT_EQ(pattern_match(c.pattern.c_str(), kAll, c.text.c_str(), kAll), c.match) << c.pattern;
    EXPECT_LE(pattern_search_work(), bound) << c.pattern;
    EXPECT_EQ(pattern_overlap(c.pattern.c_str(), kAll, c.text.c_str(), kAll), c.match) << c.pattern;
    EXPECT_LE(pattern_search_work(), bound) << c.pattern;
  }
  // The first case in practice: far below the bound.
  pattern_match(cases[0].pattern.c_str(), kAll, cases[0].text.c_str(), kAll);
  EXPECT_LT(pattern_search_work(), 20000000u);
}

// ---- overlap ----

TEST(PatternOverlap, Cases) {
  struct Case {
    const char* a;
    const char* b;
    uint32_t overlap;
  } cases[] = {
      {"a\\b\\c.txt\\**", "a\\**", 1},
      {"a\\b\\c.txt\\**", "a\\b\\**", 1},
      {"a\\b\\c.txt\\**", "a\\x\\**", 0},
      {"**.obj\\**", "d\\**", 1},
      {"**.obj\\**", "d\\e\\f\\**", 1},
      {"*.cpp\\**", "s\\**", 0},
      {"*.cpp\\**", "old.cpp\\**", 1},
      {"tools\\**\\**", "tools\\**", 1},
      {"tools\\**\\**", "toolsx\\**", 0},
      {"tools\\**\\**", "tools\\sub\\**", 1},
      {"\\**", "a\\**", 0},
      {"a?\\**", "ab\\**", 1},
      {"a?\\**", "a\\**", 0},    // ? never meets a separator
      {"?\\**", "\\**", 0},
      {"*", "**", 1},
      {"*", "a\\**", 0},
      {"a*", "*b", 1},
      {"a*c", "?b?", 1},
      {"a*c", "?b", 0},
      {"x", "x", 1},
      {"", "", 1},
      {"", "*", 1},
      {"", "?", 0},
      {"a/b", "a\\b", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pattern_overlap(c.a, kAll, c.b, kAll), c.overlap) << c.a << " / " << c.b;
    EXPECT_EQ(pattern_overlap(c.b, kAll, c.a, kAll), c.overlap) << c.b << " / " << c.a;
  }
}

// Against a text without wildcards, overlap is matching, from either side.
TEST(PatternOverlap, WithPlainTextIsMatching) {
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    const std::string p = random_string(rng, "ab**?\\/", 8);
    const std::string t = random_string(rng, "ab\\/", 8);
    const uint32_t m = pattern_match(p.c_str(), kAll, t.c_str(), kAll);
    ASSERT_EQ(pattern_overlap(p.c_str(), kAll, t.c_str(), kAll), m) << p << " / " << t;
    ASSERT_EQ(pattern_overlap(t.c_str(), kAll, p.c_str(), kAll), m) << t << " / " << p;
  }
}

}  // namespace
