#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/memory.h"
#include "base/unicode.h"

namespace {

using U16 = std::u16string;

std::vector<uint32_t> decode8_all(const std::string& s, uint64_t length, std::vector<uint64_t>* nexts) {
  std::vector<uint32_t> out;
  uint64_t pos = 0;
  for (;;) {
    uint64_t next = 0;
    const uint32_t cp = utf8_decode_next(s.c_str(), length, pos, &next);
    if (cp == 0) break;
    out.push_back(cp);
    nexts->push_back(next);
    pos = next;
  }
  return out;
}

U16 to16(const std::string& s, uint64_t length = kToTerminator) {
  uint64_t n = utf8_to_utf16(nullptr, 0, s.c_str(), length);
  U16 out(n + 1, u'\0');
  EXPECT_EQ(utf8_to_utf16(reinterpret_cast<wchar16*>(out.data()), n + 1, s.c_str(), length), n);
  out.resize(n);
  return out;
}

std::string to8(const U16& s, uint64_t length = kToTerminator) {
  const auto* src = reinterpret_cast<const wchar16*>(s.c_str());
  uint64_t n = utf16_to_utf8(nullptr, 0, src, length);
  std::string out(n + 1, '\0');
  EXPECT_EQ(utf16_to_utf8(out.data(), n + 1, src, length), n);
  out.resize(n);
  return out;
}

constexpr uint32_t X = INVALID_CODE_POINT;

TEST(Utf8Decode, Table) {
  struct Case {
    std::string bytes;
    uint64_t length;  // kToTerminator: to the terminator
    std::vector<uint32_t> cps;
    std::vector<uint64_t> nexts;
  } cases[] = {
      {"A", kToTerminator, {0x41}, {1}},
      {"\xC3\xA9", kToTerminator, {0xE9}, {2}},
      {"\xC3", 1, {X}, {1}},                            // cut at the end of the length
      {"\xC3\xA9", 1, {X}, {1}},                        // length cuts the sequence
      {"\xC3\x41", kToTerminator, {X, 0x41}, {1, 2}},   // bad continuation
      {"\xE2\x82\xAC", kToTerminator, {0x20AC}, {3}},
      {"\xE2\x82\xAC", 2, {X, X}, {1, 2}},              // every unit inside the length is bad
      {"\xF4\x80\x80\x80", kToTerminator, {0x100000}, {4}},
      {"\xF7\xBF\xBF\xBF", kToTerminator, {0x1FFFFF}, {4}},  // not range-checked
      {"\xED\xA0\x80", kToTerminator, {0xD800}, {3}},   // encoded surrogate passes
      {"\xC1\xBF", kToTerminator, {0x7F}, {2}},         // overlong passes
      {"\x80\xBF", kToTerminator, {X, X}, {1, 2}},      // stray continuations
      {"\xF8\x88\x80\x80\x80", kToTerminator, {X, X, X, X, X}, {1, 2, 3, 4, 5}},
      {"\xFF\xFE", kToTerminator, {X, X}, {1, 2}},
      {"\xE2\x82", kToTerminator, {X, X}, {1, 2}},      // terminator inside the sequence
      {"ab", 0, {}, {}},
  };
  for (const auto& c : cases) {
    std::vector<uint64_t> nexts;
    EXPECT_EQ(decode8_all(c.bytes, c.length, &nexts), c.cps) << testing::PrintToString(c.bytes);
    EXPECT_EQ(nexts, c.nexts) << testing::PrintToString(c.bytes);
  }
  // C0 80 decodes to 0 and so ends a conversion.
  uint64_t next = 0;
  EXPECT_EQ(utf8_decode_next("\xC0\x80z", kToTerminator, 0, &next), 0u);
  EXPECT_EQ(next, 2u);
  EXPECT_EQ(to16("a\xC0\x80z"), U16(u"a"));
  // Past the end and null text.
  EXPECT_EQ(utf8_decode_next("ab", 2, 5, &next), 0u);
  EXPECT_EQ(next, 5u);
  EXPECT_EQ(utf8_decode_next(nullptr, kToTerminator, 0, &next), 0u);
  EXPECT_EQ(next, 0u);
}

// The strict decoder takes only the shortest form of a scalar value and
// steps one byte past anything else.
TEST(Utf8Decode, StrictRefusesWhatIsNoScalarValue) {
  struct Case {
    const char* bytes;
    uint32_t cp;
    uint64_t next;
  };
  const Case cases[] = {
      {"a", 'a', 1},           {"\xC3\xA9", 0xE9, 2},        {"\xE2\x82\xAC", 0x20AC, 3},
      {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4}, {"\xC1\xBF", INVALID_CODE_POINT, 1},  // overlong
      {"\xE0\x9F\xBF", INVALID_CODE_POINT, 1},   {"\xF0\x8F\xBF\xBF", INVALID_CODE_POINT, 1},
      {"\xED\xA0\x80", INVALID_CODE_POINT, 1},   // surrogate
      {"\xF4\x90\x80\x80", INVALID_CODE_POINT, 1}, {"\xF5\x80\x80\x80", INVALID_CODE_POINT, 1},
      {"\xE2\x82", INVALID_CODE_POINT, 1},        // cut by the terminator
  };
  for (const Case& c : cases) {
    uint64_t next = 0;
    EXPECT_EQ(utf8_decode_strict(c.bytes, kToTerminator, 0, &next), c.cp) << testing::PrintToString(c.bytes);
    EXPECT_EQ(next, c.next) << testing::PrintToString(c.bytes);
  }
}

TEST(Utf16Decode, Table) {
  struct Case {
    U16 units;
    uint64_t length;
    std::vector<uint32_t> cps;
  } cases[] = {
      {u"A\u00E9", kToTerminator, {0x41, 0xE9}},
      {U16{0xD83D, 0xDE00}, kToTerminator, {0x1F600}},
      {U16{0xDBFF, 0xDFFF}, kToTerminator, {0x10FFFF}},
      {U16{0xD800, 0x41}, kToTerminator, {X, 0x41}},
      {U16{0xDC00}, kToTerminator, {X}},
      {U16{0xDC00, 0xD800}, kToTerminator, {X, X}},
      {U16{0xD800, 0xDC00}, 1, {X}},  // high surrogate at the end of the length
      {U16{0xFFFF, 0xFFFE}, kToTerminator, {0xFFFF, 0xFFFE}},
  };
  for (const auto& c : cases) {
    std::vector<uint32_t> got;
    uint64_t pos = 0;
    for (;;) {
      uint64_t next;
      uint32_t cp = utf16_decode_next(reinterpret_cast<const wchar16*>(c.units.c_str()), c.length, pos, &next);
      if (cp == 0) break;
      got.push_back(cp);
      pos = next;
    }
    EXPECT_EQ(got, c.cps);
  }
}

TEST(Utf8Encode, LengthsAndPartialStores) {
  struct Case {
    uint32_t cp;
    std::string bytes;
  } cases[] = {
      {0x7F, "\x7F"},
      {0x80, "\xC2\x80"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0xFFFF, "\xEF\xBF\xBF"},
      {0x10000, "\xF0\x90\x80\x80"},
      {0x1FFFFF, "\xF7\xBF\xBF\xBF"},
      {0x200000, "\xF8\x88\x80\x80\x80"},
      {0x3FFFFFF, "\xFB\xBF\xBF\xBF\xBF"},
      {0x4000000, "\xFC\x84\x80\x80\x80\x80"},
      {0x7FFFFFFE, "\xFD\xBF\xBF\xBF\xBF\xBE"},
      {0x7FFFFFFF, "\xFF"},
      {INVALID_CODE_POINT, "\xFF"},
  };
  for (const auto& c : cases) {
    char buf[8];
    uint64_t pos = 0;
    utf8_encode_put(buf, sizeof buf, &pos, c.cp);
    EXPECT_EQ(std::string(buf, pos), c.bytes) << std::hex << c.cp;
    // With room for only part of the sequence: that part is stored, the
    // position still advances by the whole sequence.
    std::memset(buf, '#', sizeof buf);
    pos = 1;
    utf8_encode_put(buf, 3, &pos, c.cp);
    EXPECT_EQ(pos, 1 + c.bytes.size());
    EXPECT_EQ(buf[0], '#');
    for (size_t i = 0; i < c.bytes.size(); ++i)
      EXPECT_EQ(buf[1 + i], 1 + i < 3 ? c.bytes[i] : '#') << std::hex << c.cp << " byte " << i;
  }
  uint64_t pos = 7;
  utf8_encode_put(nullptr, 100, &pos, 0x20AC);  // null buffer: counts only
  EXPECT_EQ(pos, 10u);
}

TEST(Utf16Encode, UnitsAndStoreRules) {
  struct Case {
    uint32_t cp;
    U16 units;
  } cases[] = {
      {0x41, u"A"},
      {0xD800, U16{0xD800}},  // surrogate values pass through
      {0xFFFF, U16{0xFFFF}},
      {0x10000, U16{0xD800, 0xDC00}},
      {0x100000, U16{0xDBC0, 0xDC00}},
      {0x10FFFF, U16{0xDBFF, 0xDFFF}},
      {0x110000, U16{0xFFFF}},
      {INVALID_CODE_POINT, U16{0xFFFF}},
  };
  for (const auto& c : cases) {
    wchar16 buf[4] = {};
    uint64_t pos = 0;
    utf16_encode_put(buf, 4, &pos, c.cp);
    EXPECT_EQ(U16(reinterpret_cast<const char16_t*>(buf), pos), c.units);
  }
  // Pair store rules: high when position + 1 < capacity, low when
  // position + 2 < capacity.
  const wchar16 kFill = 0x2323;
  for (uint64_t cap = 0; cap <= 3; ++cap) {
    wchar16 buf[3] = {kFill, kFill, kFill};
    uint64_t pos = 0;
    utf16_encode_put(buf, cap, &pos, 0x1F600);
    EXPECT_EQ(pos, 2u);
    EXPECT_EQ(buf[0], cap >= 2 ? 0xD83D : kFill) << cap;
    EXPECT_EQ(buf[1], cap >= 3 ? 0xDE00 : kFill) << cap;
  }
}

TEST(Conversion, MalformedInputTable) {
  struct Case {
    std::string utf8;
    U16 utf16;
  } to16_cases[] = {
      {"\xF4\x80\x80\x80", U16{0xDBC0, 0xDC00}},
      {"\xED\xA0\x80", U16{0xD800}},
      {"\xF8\x88\x80\x80\x80", U16{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}},
      {"a\xC3" "b", U16{u'a', 0xFFFF, u'b'}},
      {"h\xC3\xA9llo", u"h\u00E9llo"},
      {"\xF7\xBF\xBF\xBF", U16{0xFFFF}},  // beyond U+10FFFF
  };
  for (const auto& c : to16_cases) EXPECT_EQ(to16(c.utf8), c.utf16) << testing::PrintToString(c.utf8);

  struct Back {
    U16 utf16;
    std::string utf8;
  } to8_cases[] = {
      {U16{0xDBC0, 0xDC00}, "\xF4\x80\x80\x80"},
      {U16{0xD800, 0x41}, "\xFF\x41"},
      {U16{0xDC00}, "\xFF"},
      {U16{0xFFFF}, "\xEF\xBF\xBF"},
      {u"h\u00E9llo\u20AC", "h\xC3\xA9llo\xE2\x82\xAC"},
  };
  for (const auto& c : to8_cases) EXPECT_EQ(to8(c.utf16), c.utf8);
  // A source length that cuts a sequence: its units inside the length are bad.
  EXPECT_EQ(to16("x\xE2\x82\xAC", 3), (U16{u'x', 0xFFFF, 0xFFFF}));
  EXPECT_EQ(to8(U16{0x41, 0xD83D, 0xDE00}, 2), "A\xFF");
  // A zero unit inside the given length ends the conversion.
  wchar16 z[8];
  EXPECT_EQ(utf8_to_utf16(z, 8, "ab\0cd", 5), 2u);
  EXPECT_EQ(U16(reinterpret_cast<const char16_t*>(z)), U16(u"ab"));
  char zb[8];
  const char16_t with_zero[] = {u'x', 0, u'y'};
  EXPECT_EQ(utf16_to_utf8(zb, 8, reinterpret_cast<const wchar16*>(with_zero), 3), 1u);
  EXPECT_STREQ(zb, "x");
  // Null sources convert to the empty text.
  wchar16 w[4] = {1, 1, 1, 1};
  EXPECT_EQ(utf8_to_utf16(w, 4, nullptr, kToTerminator), 0u);
  EXPECT_EQ(w[0], 0);
  char b[4] = "zz";
  EXPECT_EQ(utf16_to_utf8(b, 4, nullptr, 5), 0u);
  EXPECT_EQ(b[0], 0);
}

TEST(Conversion, ShortBuffersTruncateOnCodePoints) {
  // To UTF-16: "h\u00E9llo" at every capacity.
  const char* hello = "h\xC3\xA9llo";
  const U16 full = u"h\u00E9llo";
  for (uint64_t cap = 0; cap <= 7; ++cap) {
    wchar16 buf[8];
    std::fill(buf, buf + 8, wchar16(0x2323));
    EXPECT_EQ(utf8_to_utf16(buf, cap, hello), 5u) << cap;
    if (cap == 0) {
      EXPECT_EQ(buf[0], 0x2323);
      continue;
    }
    const uint64_t kept = std::min<uint64_t>(cap - 1, 5);
    EXPECT_EQ(U16(reinterpret_cast<const char16_t*>(buf)), full.substr(0, kept)) << cap;
    EXPECT_EQ(buf[cap], 0x2323) << "stored beyond the capacity";
  }
  // A surrogate pair that would reach the capacity is dropped whole.
  const char* emoji = "a\xF0\x9F\x98\x80";
  for (uint64_t cap = 1; cap <= 4; ++cap) {
    wchar16 buf[6];
    std::fill(buf, buf + 6, wchar16(0x2323));
    EXPECT_EQ(utf8_to_utf16(buf, cap, emoji), 3u);
    const U16 want = cap == 1 ? U16() : cap < 4 ? U16(u"a") : U16(u"a\U0001F600");
    EXPECT_EQ(U16(reinterpret_cast<const char16_t*>(buf)), want) << cap;
    EXPECT_EQ(buf[cap], 0x2323);
  }
  // To UTF-8: a first character of 2 bytes with capacity 2 stores only the
  // terminator; at each capacity the result ends on a whole code point.
  const U16 src = u"\u00E9\u20ACz";  // 2 + 3 + 1 bytes
  const std::string src8 = "\xC3\xA9\xE2\x82\xAC" "z";
  const size_t keep_at[] = {0, 0, 0, 2, 2, 2, 5, 6, 6};
  for (uint64_t cap = 1; cap <= 8; ++cap) {
    char buf[10];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(utf16_to_utf8(buf, cap, reinterpret_cast<const wchar16*>(src.c_str()), kToTerminator), 6u);
    EXPECT_EQ(std::string(buf), src8.substr(0, keep_at[cap])) << cap;
    EXPECT_EQ(buf[cap], '#');
  }
}

TEST(Conversion, RandomRoundTrips) {
  std::mt19937 rng(12345);
  auto random_cp = [&]() -> uint32_t {
    switch (rng() % 4) {
      case 0: return 1 + rng() % 0x7F;
      case 1: return 0x80 + rng() % (0x800 - 0x80);
      case 2: {
        uint32_t v = 0x800 + rng() % (0x10000 - 0x800);
        return (v >= 0xD800 && v <= 0xDFFF) ? v - 0x800 : v;  // scalar values only
      }
      default: return 0x10000 + rng() % (0x110000 - 0x10000);
    }
  };
  for (int round = 0; round < 300; ++round) {
    std::string utf8;
    U16 utf16;
    const int count = static_cast<int>(rng() % 40);
    for (int i = 0; i < count; ++i) {
      uint32_t cp = random_cp();
      char b[8];
      uint64_t p8 = 0;
      utf8_encode_put(b, 8, &p8, cp);
      utf8.append(b, p8);
      wchar16 w[3];
      uint64_t p16 = 0;
      utf16_encode_put(w, 3, &p16, cp);
      utf16.append(reinterpret_cast<const char16_t*>(w), p16);
    }
    ASSERT_EQ(to16(utf8), utf16);
    ASSERT_EQ(to8(utf16), utf8);
    ASSERT_EQ(to8(to16(utf8)), utf8);
  }
}

TEST(Conversion, UnboundedAndMeasure) {
  EXPECT_EQ(utf8_to_utf16_measure("h\xC3\xA9llo\xF0\x9F\x98\x80"), 7u);
  EXPECT_EQ(utf16_to_utf8_measure(reinterpret_cast<const wchar16*>(u"h\u00E9")), 3u);
  wchar16 w[16];
  EXPECT_EQ(utf8_to_utf16_unbounded(w, "ab"), 2u);
  EXPECT_EQ(U16(reinterpret_cast<const char16_t*>(w)), U16(u"ab"));
  char b[16];
  EXPECT_EQ(utf16_to_utf8_unbounded(b, reinterpret_cast<const wchar16*>(u"\u20AC")), 3u);
  EXPECT_STREQ(b, "\xE2\x82\xAC");
}

// An allocator that serves from the heap, records sizes and can refuse.
struct TestAllocator {
  Allocator base;
  bool refuse = false;
  std::vector<size_t> sizes;
  std::vector<void*> blocks;
  static void* op(Allocator* self, size_t size) {
    auto* t = reinterpret_cast<TestAllocator*>(self);
    t->sizes.push_back(size);
    if (t->refuse) return nullptr;
    void* p = std::calloc(size ? size : 1, 1);
    t->blocks.push_back(p);
    return p;
  }
  static constexpr AllocatorOps kOps = {op};
  TestAllocator() : base{&kOps} {}
  ~TestAllocator() {
    for (void* p : blocks) std::free(p);
  }
  Allocator* get() { return &base; }
};

TEST(Utf16ToUtf8Alloc, SizesAroundTheLocalBufferAndFailure) {
  for (size_t len : {0, 1, 98, 99, 100, 101, 300}) {
    TestAllocator a;
    U16 src(len, u'x');
    if (len >= 2) src[len - 2] = 0x00E9, src.pop_back();  // one 2-byte character
    std::string want = to8(src);
    char* got = utf16_to_utf8_alloc(a.get(), reinterpret_cast<const wchar16*>(src.c_str()));
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(got), want) << len;
    ASSERT_EQ(a.sizes.size(), 1u);
    EXPECT_EQ(a.sizes[0], want.size() + 1);
  }
  TestAllocator bounded;
  EXPECT_STREQ(utf16_to_utf8_alloc(bounded.get(), reinterpret_cast<const wchar16*>(u"abcdef"), 3), "abc");
  TestAllocator refusing;
  refusing.refuse = true;
  EXPECT_EQ(utf16_to_utf8_alloc(refusing.get(), reinterpret_cast<const wchar16*>(u"abc")), nullptr);
  // In a pool the failure is counted.
  ScopedPool pool;
  EXPECT_STREQ(utf16_to_utf8_alloc(pool.alloc(), reinterpret_cast<const wchar16*>(u"\u00E9")), "\xC3\xA9");
  EXPECT_EQ(pool->failures, 0);
}

TEST(ArgvToUtf8, OneBlockVector) {
  TestAllocator a;
  const wchar16* argv[] = {reinterpret_cast<const wchar16*>(u"tarn"), reinterpret_cast<const wchar16*>(u"-v"),
                           reinterpret_cast<const wchar16*>(u"d\u00E9j\u00E0"), reinterpret_cast<const wchar16*>(u""),
                           nullptr};
  char** v = argv_to_utf8(a.get(), argv);
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v[0], "tarn");
  EXPECT_STREQ(v[1], "-v");
  EXPECT_STREQ(v[2], "d\xC3\xA9j\xC3\xA0");
  EXPECT_STREQ(v[3], "");
  EXPECT_EQ(v[4], nullptr);
  ASSERT_EQ(a.sizes.size(), 1u);
  EXPECT_EQ(a.sizes[0], 5 * sizeof(char*) + (5 + 3 + 7 + 1) + 1);
  // The strings lie back to back inside the one block.
  EXPECT_EQ(v[0], reinterpret_cast<char*>(v) + 5 * sizeof(char*));
  EXPECT_EQ(v[1], v[0] + 5);
  EXPECT_EQ(v[3], v[2] + 7);

  const wchar16* empty[] = {nullptr};
  char** e = argv_to_utf8(a.get(), empty);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e[0], nullptr);
  char** n = argv_to_utf8(a.get(), nullptr);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n[0], nullptr);

  TestAllocator refusing;
  refusing.refuse = true;
  EXPECT_EQ(argv_to_utf8(refusing.get(), argv), nullptr);
}

TEST(WideHelpers, DupLengthsMoveCompare) {
  const auto* abc = reinterpret_cast<const wchar16*>(u"abc");
  TestAllocator a;
  wchar16* d = wide_strdup(a.get(), abc);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(U16(reinterpret_cast<char16_t*>(d)), U16(u"abc"));
  EXPECT_EQ(a.sizes.back(), 8u);
  d = wide_strdup(a.get(), abc, 2);
  EXPECT_EQ(U16(reinterpret_cast<char16_t*>(d)), U16(u"ab"));
  d = wide_strdup(a.get(), nullptr);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d[0], 0);

  TestAllocator refusing;
  refusing.refuse = true;
  EXPECT_EQ(wide_strdup(refusing.get(), abc), nullptr);

  wchar16* h = wide_strdup_heap(abc, 5);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(U16(reinterpret_cast<char16_t*>(h)), U16(u"abc"));
  std::free(h);
  h = wide_strdup_heap(abc, 1);
  EXPECT_EQ(U16(reinterpret_cast<char16_t*>(h)), U16(u"a"));
  std::free(h);
  EXPECT_EQ(wide_strdup_heap(nullptr), nullptr);

  EXPECT_EQ(wide_len(nullptr), 0u);
  EXPECT_EQ(wide_len(abc), 3u);
  EXPECT_EQ(wide_len_bounded(abc, 2), 2u);
  EXPECT_EQ(wide_len_bounded(abc, 9), 3u);
  EXPECT_EQ(wide_len_bounded(nullptr, 9), 0u);

  wchar16 m[6] = {1, 2, 3, 4, 5, 0};
  wide_move(m + 1, m, 4);  // overlapping, destination above source
  EXPECT_EQ(U16(reinterpret_cast<char16_t*>(m)), (U16{1, 1, 2, 3, 4}));
  wide_move(m, m + 1, 4);
  EXPECT_EQ(U16(reinterpret_cast<char16_t*>(m)), (U16{1, 2, 3, 4, 4}));
  wide_move(m, nullptr, 2);
  EXPECT_EQ(m[0], 0);
  EXPECT_EQ(m[1], 0);
  EXPECT_EQ(m[2], 3);
  wide_move(nullptr, m, 2);  // nothing

  EXPECT_EQ(wide_heap_buffer(0), nullptr);
  wchar16* hb = wide_heap_buffer(3);
  ASSERT_NE(hb, nullptr);
  EXPECT_EQ(hb[0], 0);
  EXPECT_EQ(hb[2], 0);
  std::free(hb);

  struct Cmp {
    const char16_t* a;
    const char16_t* b;
    int want;
  } cmps[] = {
      {u"\\Device\\HarddiskVolume3", u"\\device\\harddiskvolume", 0},
      {u"\\DEVICE\\MUP\\server", u"\\Device\\Mup\\", 0},
      {u"\\Device", u"\\Device\\Mup\\", -1},  // shorter string
      {u"\\Device\\Cdrom0", u"\\Device\\Floppy", -1},
      {u"\\Device\\Mup", u"\\Device\\Lanman", 1},
      {u"abc", u"", 0},
      {u"\u00E9", u"\u00C9", 1},          // no folding beyond ASCII
      {u"[", u"a", 1},                    // compared after mapping: '[' > 'A'
      {u"\uFF21", u"a", 1},               // unsigned comparison of units
  };
  for (const auto& c : cmps)
    EXPECT_EQ(wide_prefix_compare(reinterpret_cast<const wchar16*>(c.a), reinterpret_cast<const wchar16*>(c.b)),
              c.want)
        << testing::PrintToString(std::u16string(c.a));
  EXPECT_EQ(wide_prefix_compare(abc, 2, reinterpret_cast<const wchar16*>(u"ABX"), 2), 0);
}

}  // namespace
