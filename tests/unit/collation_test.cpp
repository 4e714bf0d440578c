#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "casefold_reference.h"
#include "listing/collation.h"

namespace {

// Reference folding from the generated list of all folding pairs.
uint32_t reference_fold(uint32_t cp) {
  const auto* end = kFoldReference + kFoldReferenceCount;
  const auto* it = std::lower_bound(kFoldReference, end, cp,
                                    [](const uint32_t(&p)[2], uint32_t v) { return p[0] < v; });
  return it != end && (*it)[0] == cp ? (*it)[1] : cp;
}

int sign(int v) { return (v > 0) - (v < 0); }

int folded(const std::string& a, const std::string& b) {
  return name_compare_folded(a.data(), a.size(), b.data(), b.size());
}
int exact(const std::string& a, const std::string& b) {
  return name_compare_exact(a.data(), a.size(), b.data(), b.size());
}

TEST(CaseFold, EveryCodePointMatchesReference) {
  uint32_t mismatches = 0;
  uint32_t changed = 0;
  for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    uint32_t got = case_fold(cp);
    if (got != reference_fold(cp) && ++mismatches <= 5) ADD_FAILURE() << std::hex << "U+" << cp;
    changed += got != cp;
  }
  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(changed, kFoldReferenceCount);
  // Values beyond Unicode, up to the invalid marker, fold to themselves.
  for (uint32_t cp : {0x110000u, 0x1FFFFFu, 0x7FFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFFu})
    EXPECT_EQ(case_fold(cp), cp);
}

TEST(CaseFold, TableLayout) {
  uint32_t escapes = 0;
  for (uint32_t cp = 0; cp < FOLD_DIRECT_SIZE; ++cp) escapes += fold_direct[cp] == FOLD_DIRECT_ESCAPE;
  EXPECT_EQ(escapes, 17u);
  EXPECT_EQ(fold_direct[0xB5], FOLD_DIRECT_ESCAPE);
  EXPECT_EQ(fold_direct[0x178], FOLD_DIRECT_ESCAPE);
  EXPECT_EQ(fold_direct[0x17F], FOLD_DIRECT_ESCAPE);
  for (uint32_t i = 1; i < FOLD_PAIR_COUNT; ++i) EXPECT_LT(fold_pairs[i - 1][0], fold_pairs[i][0]);
  for (uint32_t i = FOLD_PAIR_COUNT; i < FOLD_PAIR_COUNT + FOLD_PAIR_FILLERS; ++i)
    EXPECT_EQ(fold_pairs[i][0], 0xFFFFu);
  EXPECT_EQ(fold_wide_pairs[0][0], 0x10400u);
  EXPECT_EQ(fold_wide_pairs[FOLD_WIDE_COUNT - 1][1], 0x1044Fu);
  EXPECT_EQ(fold_wide_pairs[FOLD_WIDE_COUNT][0], 0xFFFFFFFFu);
}

TEST(CaseFold, KnownFoldings) {
  struct Case {
    uint32_t cp, folded;
  } cases[] = {
      {'A', 'a'},         {'z', 'z'},         {0xB5, 0x3BC},     {0xC0, 0xE0},
      {0xDF, 0xDF},       {0x178, 0xFF},      {0x17F, 's'},      {0x1C4, 0x1C6},
      {0x1C5, 0x1C6},     {0x1C6, 0x1C6},     {0x130, 0x130},    {0x3A3, 0x3C3},
      {0x3C2, 0x3C3},     {0x410, 0x430},     {0x1E9E, 0x1E9E},  {0x2126, 0x3C9},
      {0x212A, 'k'},      {0xFF21, 0xFF41},   {0x10400, 0x10428}, {0x10427, 0x1044F},
      {0x10428, 0x10428}, {0x104B0, 0x104B0}, {0xFFFF, 0xFFFF},  {0xD800, 0xD800},
  };
  for (const auto& c : cases) EXPECT_EQ(case_fold(c.cp), c.folded) << std::hex << c.cp;
}

TEST(Utf8NextFolded, Decoding) {
  struct Case {
    const char* bytes;
    uint64_t length;  // kToTerminator: runs to the terminator
    uint64_t pos;
    uint32_t cp;
    uint64_t next;
  } cases[] = {
      {"A", 1, 0, 'a', 1},
      {"\xC3\x89", 2, 0, 0xE9, 2},               // É folds to é
      {"\xC3\x89", 1, 0, 0xFFFFFFFF, 1},         // cut by the length
      {"\xC3", kToTerminator, 0, 0xFFFFFFFF, 1},  // terminator is no continuation
      {"\xC3" "A", 2, 0, 0xFFFFFFFF, 1},
      {"\x80", 1, 0, 0xFFFFFFFF, 1},
      {"\xF8\x88\x80\x80\x80", 5, 0, 0xFFFFFFFF, 1},
      {"\xFF", 1, 0, 0xFFFFFFFF, 1},
      {"\xC0\x80", 2, 0, 0, 2},                  // overlong zero decodes as zero
      {"\xC1\x81", 2, 0, 'a', 2},                // overlong 'A', folded
      {"\xED\xA0\x80", 3, 0, 0xD800, 3},         // encoded surrogate as it decodes
      {"\xE2\x84\xAA", 3, 0, 'k', 3},            // KELVIN SIGN
      {"\xF0\x90\x90\x80", 4, 0, 0x10428, 4},    // DESERET CAPITAL LONG I
      {"\xF0\x90\x90\x80", 3, 0, 0xFFFFFFFF, 1},
      {"\xF7\xBF\xBF\xBF", 4, 0, 0x1FFFFF, 4},
      {"ab", 2, 1, 'b', 2},
      {"ab", 2, 2, 0, 2},                        // at the length
      {"ab", 2, 7, 0, 7},                        // beyond it
      {"", kToTerminator, 0, 0, 1},          // the terminator decodes as 0
  };
  for (const auto& c : cases) {
    uint64_t next = 99;
    EXPECT_EQ(utf8_next_folded(c.bytes, c.length, c.pos, &next), c.cp) << c.bytes;
    EXPECT_EQ(next, c.next) << c.bytes;
  }
  uint64_t next = 5;
  EXPECT_EQ(utf8_next_folded(nullptr, 10, 0, &next), 0u);
  EXPECT_EQ(next, 0u);
}

TEST(NameCompare, Examples) {
  struct Case {
    std::string a, b;
    int folded, exact;
  } cases[] = {
      {"a", "B", -1, 1},
      {"A", "a", 0, -1},
      {"a", "a.txt", -1, -1},
      {"", "a", -1, -1},
      {"", "", 0, 0},
      {"Stra\xC3\x9F" "e", "STRASSE", 1, 1},      // ß has no simple folding
      {"\xC7\x84", "\xC7\x85", 0, -1},             // U+01C4 / U+01C5
      {"\xC7\x85", "\xC7\x86", 0, -1},
      {"\xC7\x84", "\xC7\x86", 0, -1},
      {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8", 0, -1},  // Deseret pair
      {"\xE1\xBA\x9E", "\xC3\x9F", 1, 1},         // U+1E9E does not fold
      {"ab\xFF", "abz", 1, 1},                     // invalid byte after every character
      {"ab\xFF", "ab\xF4\x8F\xBF\xBF", 1, 1},
      {"ab\xFF", "ab", 1, 1},
      {"ab\x80", "ab\xFF", 0, 0},                  // invalid bytes are all alike
      {"K", "\xE2\x84\xAA", 0, -1},                // KELVIN SIGN folds to k
      {"\xC3\x89t\xC3\xA9", "\xC3\xA9T\xC3\x89", 0, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(folded(c.a, c.b), c.folded) << c.a << " | " << c.b;
    EXPECT_EQ(folded(c.b, c.a), -c.folded) << c.a << " | " << c.b;
    EXPECT_EQ(exact(c.a, c.b), c.exact) << c.a << " | " << c.b;
    EXPECT_EQ(exact(c.b, c.a), -c.exact) << c.a << " | " << c.b;
    // Terminated forms agree with the measured ones.
    EXPECT_EQ(name_compare_folded(c.a.c_str(), kToTerminator, c.b.c_str(), kToTerminator),
              c.folded);
    EXPECT_EQ(name_compare_exact(c.a.c_str(), c.a.size(), c.b.c_str(), kToTerminator), c.exact);
  }
}

TEST(NameCompare, LengthsNullsAndTerminators) {
  // The length bounds the comparison even without a terminator.
  EXPECT_EQ(name_compare_folded("abcX", 3, "ABCY", 3), 0);
  EXPECT_EQ(name_compare_exact("abcX", 3, "abcY", 3), 0);
  EXPECT_EQ(name_compare_exact("abcX", 4, "abcY", 4), -1);
  // A cut multi-byte sequence is an invalid byte, sorting last.
  EXPECT_EQ(name_compare_exact("\xC3\xA9", 1, "\xC3\xA9", 2), 1);
  // Null strings are empty whatever their length.
  EXPECT_EQ(name_compare_folded(nullptr, 5, "", 0), 0);
  EXPECT_EQ(name_compare_exact(nullptr, kToTerminator, nullptr, 3), 0);
  EXPECT_EQ(name_compare_folded(nullptr, 0, "a", 1), -1);
  EXPECT_EQ(name_compare_exact("a", kToTerminator, nullptr, 0), 1);
  // A zero byte inside the length ends the comparison.
  EXPECT_EQ(name_compare_exact("ab\0x", 4, "ab\0y", 4), 0);
}

FileInfo after_info() {
  FileInfo info{};
  info.after_contents = 1;
  return info;
}

TEST(EntryCompare, Examples) {
  const FileInfo plain{};
  const FileInfo after = after_info();
  struct Case {
    const char* a;
    const FileInfo* ia;
    const char* b;
    const FileInfo* ib;
    int result;
  } cases[] = {
      {"a", nullptr, "a\\x", nullptr, -1},
      {"a\\x", nullptr, "a", &after, -1},
      {"a", &after, "a.txt", nullptr, -1},
      {"a", nullptr, "a", &after, -1},
      {"a", nullptr, "a", nullptr, 0},
      {"a", &plain, "a", nullptr, 0},
      {"a", &after, "a", &after, 0},
      {"A\\z", nullptr, "a\\b", nullptr, -1},
      {"a\\b", nullptr, "A\\z", nullptr, 1},
      {"a\\B", nullptr, "a/b", nullptr, -1},     // both separators
      {"a/x", nullptr, "a\\x", nullptr, 0},
      {"a\\x", nullptr, "a.txt", nullptr, -1},   // '\' larger than '.' yet first
      {"", nullptr, "a", nullptr, -1},
      {nullptr, nullptr, "", nullptr, 0},
      {nullptr, &after, "a", nullptr, 1},
      {"a\\b\\c", &after, "a\\b", &after, -1},
      {"a\\b", &after, "a\\b\\c", nullptr, 1},
      {"a\\b", &after, "a\\c", nullptr, -1},
      {"a\\", nullptr, "a", nullptr, 0},         // a trailing separator ends the path
  };
  for (const auto& c : cases) {
    EXPECT_EQ(entry_compare(c.a, c.ia, c.b, c.ib), c.result)
        << (c.a ? c.a : "(null)") << " | " << (c.b ? c.b : "(null)");
    EXPECT_EQ(entry_compare(c.b, c.ib, c.a, c.ia), -c.result)
        << (c.a ? c.a : "(null)") << " | " << (c.b ? c.b : "(null)");
  }
}

// Linux names in listing order. The escape of byte b is U+F700 + b: EF 9C AE
// a dot, EF 9D 9C a backslash, EF 9E or EF 9F and a third byte 0x80..0xFF.
TEST(NameOrder, EscapedNamesByWhatTheyStandFor) {
  const char* const names[] = {
      "\xEF\x9C\xAE\xEF\x9C\xAE\xEF\x9C\xAE", "..a", "x[", "X\xEF\x9D\x9C", "x\xEF\x9D\x9C", "x]", "x_", "xa",
      "x\xEF\x9F\xAF\xEF\x9E\x9C\xEF\x9E\x80",  // bytes EF 9C 80: the character U+F700
      "x\xF0\x9F\x98\x80",                     // U+1F600
      "x\xEF\x9F\xAF\xEF\x9E\x9F",               // bytes EF 9F: no character
      "x\xEF\x9F\xBE", "x\xEF\x9F\xBF",           // bytes 0xFE, 0xFF
  };
  for (size_t i = 0; i < std::size(names); ++i) {
    for (size_t j = 0; j < std::size(names); ++j) {
      const std::string a = std::string("d/") + names[i], b = std::string("d/") + names[j];
      // Where names are characters, escapes are characters too.
      const int want = kSystemNamesAreBytes ? (i < j ? -1 : i > j ? 1 : 0)
                                            : sign(name_compare(names[i], kToTerminator, names[j], kToTerminator));
      EXPECT_EQ(name_order(names[i], kToTerminator, names[j], kToTerminator), want) << i << " " << j;
      EXPECT_EQ(entry_compare(a.c_str(), nullptr, b.c_str(), nullptr), want) << i << " " << j;
    }
  }
}

// Random names built from tokens whose code points are known, so a model of
// the order can be built independently of the decoder.
struct Token {
  const char* bytes;
  uint32_t cp;
};
const Token kTokens[] = {
    {"a", 'a'},          {"A", 'A'},          {"b", 'b'},           {"B", 'B'},
    {".", '.'},          {"-", '-'},          {"\xC3\xA9", 0xE9},   {"\xC3\x89", 0xC9},
    {"\xC3\x9F", 0xDF},  {"s", 's'},          {"S", 'S'},           {"\xC5\xBF", 0x17F},
    {"\xC7\x84", 0x1C4}, {"\xC7\x85", 0x1C5}, {"\xC7\x86", 0x1C6},  {"\xE2\x84\xAA", 0x212A},
    {"k", 'k'},          {"\xF0\x90\x90\x80", 0x10400}, {"\xF0\x90\x90\xA8", 0x10428},
    {"\xFF", 0xFFFFFFFF}, {"\x80", 0xFFFFFFFF},
};

struct Name {
  std::string bytes;
  std::vector<uint32_t> folded, exact;
  bool operator<(const Name& o) const { return std::tie(folded, exact) < std::tie(o.folded, o.exact); }
  bool operator==(const Name& o) const { return exact == o.exact; }
};

Name random_name(std::mt19937& rng) {
  Name n;
  size_t len = 1 + rng() % 3;
  for (size_t i = 0; i < len; ++i) {
    const Token& t = kTokens[rng() % std::size(kTokens)];
    n.bytes += t.bytes;
    n.exact.push_back(t.cp);
    n.folded.push_back(t.cp == 0xFFFFFFFF ? t.cp : reference_fold(t.cp));
  }
  return n;
}

struct Entry {
  std::string path;
  FileInfo info;
};

// Delivers a random tree in listing order: each folder's names in name order,
// a folder's entry, its contents, then its after-contents entry.
void list_tree(std::mt19937& rng, const std::string& prefix, int depth, std::vector<Entry>* out) {
  std::vector<Name> names;
  size_t count = rng() % (depth == 0 ? 8 : 5);
  for (size_t i = 0; i < count; ++i) {
    Name n = random_name(rng);
    if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
  }
  std::sort(names.begin(), names.end());
  for (const Name& n : names) {
    std::string path = prefix + n.bytes;
    out->push_back({path, FileInfo{}});
    if (depth < 3 && rng() % 2 == 0) {
      list_tree(rng, path + (rng() % 2 ? "\\" : "/"), depth + 1, out);
      FileInfo after{};
      after.after_contents = 1;
      out->push_back({path, after});
    }
  }
}

TEST(EntryCompare, MatchesListingOrderOfRandomTrees) {
  std::mt19937 rng(12345);
  size_t checked = 0;
  for (int round = 0; round < 40; ++round) {
    std::vector<Entry> listing;
    list_tree(rng, "", 0, &listing);
    for (size_t i = 0; i < listing.size(); ++i) {
      const Entry& a = listing[i];
      ASSERT_EQ(entry_compare(a.path.c_str(), &a.info, a.path.c_str(), &a.info), 0);
      for (size_t j = i + 1; j < listing.size(); ++j) {
        const Entry& b = listing[j];
        ASSERT_EQ(entry_compare(a.path.c_str(), &a.info, b.path.c_str(), &b.info), -1)
            << a.path << " (" << int(a.info.after_contents) << ") | " << b.path << " ("
            << int(b.info.after_contents) << ")";
        ASSERT_EQ(entry_compare(b.path.c_str(), &b.info, a.path.c_str(), &a.info), 1);
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 1000u);
}

TEST(EntryCompare, StrictWeakOrderOnRandomPaths) {
  // Arbitrary paths (not only well-formed listings): empty elements, stray
  // separators and mixed flags must still give a consistent order.
  std::mt19937 rng(777);
  std::vector<Entry> items;
  for (int i = 0; i < 90; ++i) {
    Entry e{};
    size_t elements = rng() % 4;
    for (size_t k = 0; k < elements; ++k) {
      if (k) e.path += "\\/"[rng() % 2];
      if (rng() % 6) e.path += random_name(rng).bytes;
    }
    e.info.after_contents = rng() % 3 == 0;
    items.push_back(e);
  }
  auto cmp = [](const Entry& a, const Entry& b) {
    return entry_compare(a.path.c_str(), &a.info, b.path.c_str(), &b.info);
  };
  for (const Entry& a : items) {
    ASSERT_EQ(cmp(a, a), 0);
    for (const Entry& b : items) {
      int ab = cmp(a, b);
      ASSERT_TRUE(ab == -1 || ab == 0 || ab == 1);
      ASSERT_EQ(ab, -cmp(b, a));
      for (const Entry& c : items) {
        int bc = cmp(b, c);
        if (ab <= 0 && bc <= 0) {  // transitivity of < and of equivalence
          ASSERT_LE(cmp(a, c), 0) << a.path << " | " << b.path << " | " << c.path;
          if (ab < 0 || bc < 0) {
            ASSERT_EQ(cmp(a, c), -1) << a.path << " | " << b.path << " | " << c.path;
          }
        }
      }
    }
  }
}

TEST(NameCompare, StrictWeakOrderAgreesWithModel) {
  std::mt19937 rng(99);
  std::vector<Name> names;
  for (int i = 0; i < 400; ++i) names.push_back(random_name(rng));
  for (const Name& a : names) {
    for (const Name& b : names) {
      int want_folded = a.folded < b.folded ? -1 : (b.folded < a.folded ? 1 : 0);
      int want_exact = a.exact < b.exact ? -1 : (b.exact < a.exact ? 1 : 0);
      ASSERT_EQ(folded(a.bytes, b.bytes), want_folded) << a.bytes << " | " << b.bytes;
      ASSERT_EQ(exact(a.bytes, b.bytes), want_exact) << a.bytes << " | " << b.bytes;
      ASSERT_EQ(sign(name_compare(a.bytes.data(), a.bytes.size(), b.bytes.data(), b.bytes.size())),
                a < b ? -1 : (b < a ? 1 : 0));
    }
  }
}

}  // namespace

// Sorting by name_order_key, with name_order where keys tie, gives exactly
// the order of sorting by name_order alone, over names meant to mislead a
// key: escapes, bytes that are no UTF-8, values beyond U+10FFFF, overlong
// forms, surrogates, foldings across the ASCII border (U+212A is k), case
// pairs, and long shared starts that leave the key only the tail. Keys are
// taken past the ASCII start every name shares, as a folder's sort does.
TEST(NameOrderKey, SortsAsNameOrder) {
  std::vector<std::string> names = {
      "\xEF\x9C\xAE\xEF\x9C\xAE", "x\xEF\x9D\x9C", "X\xEF\x9D\x9C", "x\xEF\x9F\xAF\xEF\x9E\x9C\xEF\x9E\x80",
      "x\xEF\x9F\xAF\xEF\x9E\x9F", "x\xEF\x9F\xBE", "x\xEF\x9F\xBF", "x\xFF", "x\x80", "x\xF4\x90\x80\x80",
      "x\xF7\xBF\xBF\xBF", "x\xC0\xAF", "x\xED\xA0\x80", "x\xE2\x84\xAA", "xk", "xK", "x\xC3\x9F", "xss",
      "x\xF0\x90\x90\x80", "x\xF0\x90\x90\xA8", "x\xC7\x84", "x\xC7\x85", "x\xC7\x86", "x\xEF\xBF\xBF", "x"};
  std::mt19937 rng(2026);
  const std::string shared = "IMG_20261209_";
  for (int i = 0; i < 400; ++i) {
    std::string name = shared;
    const size_t length = 1 + rng() % 12;
    for (size_t k = 0; k < length; ++k) name += kTokens[rng() % std::size(kTokens)].bytes;
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  auto order = [](const std::string& a, const std::string& b) {
    return name_order(a.c_str(), kToTerminator, b.c_str(), kToTerminator) < 0;
  };
  for (const bool all : {true, false}) {
    // All names, and those of the shared start only (whose keys skip it).
    std::vector<std::string> set;
    for (const std::string& n : names)
      if (all || n.compare(0, shared.size(), shared) == 0) set.push_back(n);
    const uint64_t skip = all ? 0 : shared.size();
    std::vector<std::pair<uint64_t, std::string>> keyed;
    for (const std::string& n : set) keyed.emplace_back(name_order_key(n.c_str(), skip), n);
    std::sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
      return a.first != b.first ? a.first < b.first : order(a.second, b.second);
    });
    std::sort(set.begin(), set.end(), order);
    ASSERT_EQ(keyed.size(), set.size());
    for (size_t i = 0; i < set.size(); ++i) EXPECT_EQ(keyed[i].second, set[i]) << i << (all ? " all" : " shared");
  }
}
