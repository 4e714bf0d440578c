#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/memory.h"
#include "base/text_format.h"
#include "fs/console.h"
#include "fs/stream.h"
#include "test_os.h"

namespace {

using Slots = std::vector<uint64_t>;

uint64_t P(const void* p) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)); }

std::string render(const char* format, const Slots& args, uint64_t* length = nullptr) {
  char buf[512];
  const uint64_t n = text_vformat(buf, sizeof buf, format, FormatArgs{args.data(), args.size()});
  if (length) *length = n;
  return std::string(buf, n < sizeof buf ? n : sizeof buf - 1);
}

const uint8_t kGuid[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                           0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const char16_t kWide[] = u"h\u00E9\U0001F600";
const char16_t kLoneSurrogate[] = {u'a', 0xD800, u'b', 0};

struct Case {
  const char* format;
  Slots args;
  std::string want;
};

// Every case is also rendered at each smaller capacity: the stored text is
// the rendering cut to capacity - 1 bytes, the length is always the full one.
const std::vector<Case>& cases() {
  static const std::vector<Case> k = {
      // Literal text, '%%', unfinished and unknown directives.
      {"", {}, ""},
      {"plain text", {}, "plain text"},
      {"100%%", {}, "100%"},
      {"%%d", {7}, "%d"},
      {"abc%", {}, "abc"},
      {"ab%-5", {1}, "ab"},
      {"%y%d", {5}, "5"},  // unknown: no output, no argument taken
      {"%*y%d", {9, 5}, "5"},  // arguments taken by '*' stay taken
      {"%I", {5}, ""},
      {"%Ix%d", {3}, "x3"},   // 'I' without 8/16/32/64 is the conversion letter
      {"%I1x", {3}, "1x"},
      {"%hhd", {5}, "d"},     // the second 'h' is the conversion letter
      {"%d %s|", {}, "0 |"},  // missing arguments read as 0
      {"\xC3\xA9\xFF%d", {1}, "\xC3\xA9\xFF" "1"},  // literal bytes are copied as they are
      // Integers: width, flags, precision.
      {"%5d", {42}, "   42"},
      {"%-5d", {42}, "42   "},
      {"%05d", {static_cast<uint64_t>(-42)}, "-0042"},
      {"%-05d", {42}, "00042"},
      {"%.3d", {7}, "007"},
      {"%.0d", {0}, "0"},
      {"%.d", {5}, "5"},
      {"%+d", {5}, "+5"},
      {"% d", {5}, " 5"},
      {"% d", {static_cast<uint64_t>(-5)}, "-5"},
      {"%+ d", {5}, "+5"},
      {"% 5d", {42}, "   42"},
      {"%+05d", {42}, "+0042"},
      {"%-+5d|", {42}, "+42  |"},
      {"%+u", {5}, "5"},
      {"% u", {5}, "5"},
      {"%8.3d", {static_cast<uint64_t>(-7)}, "    -007"},
      {"%08.3d", {static_cast<uint64_t>(-7)}, "-00007"},  // zeros replace the spaces
      {"%#x", {255}, "0xff"},
      {"%#X", {255}, "0XFF"},
      {"%#o", {8}, "010"},
      {"%#x", {0}, "0x0"},
      {"%#o", {0}, "00"},
      {"%#08x", {255}, "0x0000ff"},
      {"%-#6o|", {8}, "010   |"},
      {"%#5o", {0}, "   00"},
      {"%.5x", {0xab}, "000ab"},
      {"%#.5X", {0xab}, "0X000AB"},
      {"%o", {8}, "10"},
      {"%X", {0xBEEF}, "BEEF"},
      {"%*d", {5, 42}, "   42"},
      {"%-*d|", {5, 42}, "42   |"},
      {"%*d", {static_cast<uint64_t>(-5), 42}, "42"},  // negative width fills nothing
      {"%.*d", {3, 7}, "007"},
      {"%.*d", {static_cast<uint64_t>(-3), 7}, "7"},
      {"%*.*d", {6, 3, 7}, "   007"},
      // Integer widths.
      {"%x", {0xFFFFFFFFull}, "ffffffff"},
      {"%x", {static_cast<uint64_t>(-1)}, "ffffffff"},
      {"%llx", {static_cast<uint64_t>(-1)}, "ffffffffffffffff"},
      {"%I64X", {0x123456789ABCDEF0ull}, "123456789ABCDEF0"},
      {"%x", {0x100000010ull}, "10"},
      {"%d", {0xFFFFFFFFull}, "-1"},
      {"%u", {0xFFFFFFFFull}, "4294967295"},
      {"%ld", {0x100000005ull}, "5"},
      {"%Ld", {0x80000000ull}, "-2147483648"},
      {"%lld", {0x8000000000000000ull}, "-9223372036854775808"},
      {"%Lld", {1ull << 40}, "1099511627776"},
      {"%I64u", {UINT64_MAX}, "18446744073709551615"},
      {"%llo", {UINT64_MAX}, "1777777777777777777777"},
      {"%hd", {0x18000}, "-32768"},
      {"%hu", {0x18000}, "32768"},
      {"%I8d", {0xFF}, "-1"},
      {"%I8u", {0x1FF}, "255"},
      {"%I16x", {0x12345}, "2345"},
      {"%I32d", {0x1FFFFFFFFull}, "-1"},
      {"%p", {0x1234}, "1234"},
      {"%P", {0xabcd}, "ABCD"},
      {"%#p", {0x1234}, "0x1234"},
      {"%hp", {UINT64_MAX}, "ffffffffffffffff"},  // always 64 bits
      {"%p", {0}, "0"},
      {"%8p|", {0xff}, "      ff|"},
      // Characters.
      {"%c", {'A'}, "A"},
      {"%c", {0xE9}, "\xC3\xA9"},
      {"%c", {0x141}, "A"},  // 8 bits
      {"[%c]", {0}, std::string("[\0]", 3)},
      {"%5c|%-5c|", {'a', 'b'}, "a|b|"},  // width has no effect
      {"%hc", {0x1E9}, "\xC3\xA9"},
      {"%lc", {0x120AC}, "\xE2\x82\xAC"},  // 16 bits
      {"%I16c", {0x20AC}, "\xE2\x82\xAC"},
      {"%I32c", {0x1F600}, "\xF0\x9F\x98\x80"},
      {"%I32c", {0xFFFFFFFF}, "\xFF"},
      {"%C", {0x1F600}, "\xEF\x98\x80"},  // 16 bits whatever the modifier
      {"%I32C", {0x1F600}, "\xEF\x98\x80"},
      {"%C", {0xD800}, "\xED\xA0\x80"},  // a lone unit is its own value
      {"%w", {0x120AC}, "\xE2\x82\xAC"},  // 16 bits without a modifier
      {"%hw", {0x1E9}, "\xC3\xA9"},       // with one, as 'c'
      {"%I32w", {0x1F600}, "\xF0\x9F\x98\x80"},
      {"%llc%d", {'a', 7}, "7"},  // only an integer width: argument taken, nothing shown
      // Narrow strings.
      {"%s", {0}, ""},
      {"%5s|", {0}, "     |"},
      {"%s", {P("abc")}, "abc"},
      {"%5s", {P("abc")}, "  abc"},
      {"%-5s|", {P("abc")}, "abc  |"},
      {"%.2s", {P("abc")}, "ab"},
      {"%5.2s", {P("abc")}, "  abc"},
      {"%2.5s", {P("abcdefg")}, "abcde"},
      {"%5.5s", {P("ab")}, "   ab"},
      {"%-5.5s|", {P("ab")}, "ab   |"},
      {"%3.4s|", {P("ab")}, " ab|"},
      {"%4.2s", {P("abcdefgh")}, "abcd"},  // a precision below the width: the width is the limit
      {"%05s", {P("ab")}, "   ab"},        // '0' has no effect on strings
      {"%.*s", {static_cast<uint64_t>(-1), P("abc")}, "abc"},
      {"%5.*s", {static_cast<uint64_t>(-1), P("abc")}, "  abc"},
      {"%.*s|", {static_cast<uint64_t>(-2), P("abc")}, "|"},
      {"%5.*s|", {static_cast<uint64_t>(-2), P("abc")}, "|"},  // below -1: nothing at all
      {"%-5.*s|", {static_cast<uint64_t>(-2), P("abc")}, "|"},
      {"%.0s|", {P("abc")}, "|"},
      {"%4s", {P("\xC3\xA9")}, "  \xC3\xA9"},          // padding counts bytes
      {"%.2s", {P("\xC3\xA9\xC3\xA9\xC3\xA9")}, "\xC3\xA9\xC3\xA9"},  // precision counts code points
      {"%s", {P("a\xFF" "b")}, "a\xFF" "b"},
      {"%s", {P("\xE2\x82")}, "\xFF\xFF"},  // each malformed byte becomes 0xFF
      {"%s", {P("\xF8\x88\x80\x80\x80")}, "\xFF\xFF\xFF\xFF\xFF"},
      {"%s|", {P("a\xC0\x80" "b")}, "a|"},  // a decoded zero ends the string
      {"%hs", {P("\xC3\xA9")}, "\xC3\xA9"},
      {"%I8s", {P("x")}, "x"},
      {"%lls|%s", {P("x"), P("y")}, "|y"},  // only an integer width: taken, not shown
      {"%I64s|%s", {P("x"), P("y")}, "|y"},
      {"%I32s|%s", {P("x"), P("y")}, "|y"},
      // Wide strings.
      {"%S", {P(kWide)}, "h\xC3\xA9\xF0\x9F\x98\x80"},
      {"%ls", {P(kWide)}, "h\xC3\xA9\xF0\x9F\x98\x80"},
      {"%I16s", {P(kWide)}, "h\xC3\xA9\xF0\x9F\x98\x80"},
      {"%hS", {P(kWide)}, "h\xC3\xA9\xF0\x9F\x98\x80"},
      {"%S", {P(kLoneSurrogate)}, "a\xFF" "b"},
      {"%S", {0}, ""},
      {"%.2S", {P(kWide)}, "h\xC3\xA9"},
      {"%6S|", {P(kWide)}, "  h\xC3\xA9\xF0\x9F\x98\x80|"},  // 4 units: 2 spaces
      {"%-6ls|", {P(kWide)}, "h\xC3\xA9\xF0\x9F\x98\x80  |"},
      // GUIDs.
      {"%r", {P(kGuid)}, "33221100-5544-7766-8899-aabbccddeeff"},
      {"%R", {P(kGuid)}, "33221100-5544-7766-8899-AABBCCDDEEFF"},
      {"%38r", {P(kGuid)}, "  33221100-5544-7766-8899-aabbccddeeff"},
      {"%.8r", {P(kGuid)}, "33221100"},
      {"%r|", {0}, "|"},
      // Times.
      {"%t", {0}, "1970-01-01 00:00:00"},
      {"%T", {0}, "1601-01-01 00:00:00.000"},
      {"%T", {UINT64_MAX}, "0056-05-28 05:36:10.955"},
      {"%t", {951782400}, "2000-02-29 00:00:00"},
      {"%t", {1700000000}, "2023-11-14 22:13:20"},
      {"%t", {static_cast<uint64_t>(-2203891200ll)}, "1900-03-01 00:00:00"},
      {"%t", {static_cast<uint64_t>(-11644473600ll)}, "1601-01-01 00:00:00"},
      {"%t", {253402300799ull}, "9999-12-31 23:59:59"},
      {"%t", {0xFFFFFFFFull}, "2106-02-07 06:28:15"},   // 64-bit seconds
      {"%lt", {0xFFFFFFFFull}, "1969-12-31 23:59:59"},  // 32-bit seconds
      {"%ht", {0xFFFFFFFFull}, "1969-12-31 23:59:59"},
      {"%I64t", {0xFFFFFFFFull}, "2106-02-07 06:28:15"},
      {"%T", {133444736012340000ull}, "2023-11-14 22:13:21.234"},
      {"%.10t", {0}, "1970-01-01"},
      {"%-21t|", {0}, "1970-01-01 00:00:00  |"},
  };
  return k;
}

TEST(TextFormat, Table) {
  for (const auto& c : cases()) {
    uint64_t n = 0;
    EXPECT_EQ(render(c.format, c.args, &n), c.want) << "format " << c.format;
    EXPECT_EQ(n, c.want.size()) << "format " << c.format;
  }
}

TEST(TextFormat, TruncationAtEveryCapacity) {
  for (const auto& c : cases()) {
    const uint64_t len = c.want.size();
    for (uint64_t cap = 0; cap <= len + 1; ++cap) {
      char buf[600];
      std::memset(buf, '#', sizeof buf);
      const uint64_t n = text_vformat(buf, cap, c.format, FormatArgs{c.args.data(), c.args.size()});
      ASSERT_EQ(n, len) << c.format << " capacity " << cap;
      if (cap == 0) {
        ASSERT_EQ(buf[0], '#') << c.format;
        continue;
      }
      const uint64_t kept = len < cap - 1 ? len : cap - 1;
      ASSERT_EQ(std::string(buf, kept), c.want.substr(0, kept)) << c.format << " capacity " << cap;
      ASSERT_EQ(buf[kept], 0) << c.format << " capacity " << cap;
      ASSERT_EQ(buf[cap], '#') << c.format << " stored beyond capacity " << cap;
    }
    // A null buffer only measures.
    EXPECT_EQ(text_vformat(nullptr, 100, c.format, FormatArgs{c.args.data(), c.args.size()}), len) << c.format;
  }
}

TEST(TextFormat, VariadicPackingAndNullFormat) {
  char buf[64];
  EXPECT_EQ(text_format(buf, sizeof buf, "%d|%x|%lld", -42, -1, int64_t{-5}), 15u);
  EXPECT_STREQ(buf, "-42|ffffffff|-5");
  EXPECT_EQ(text_format(buf, sizeof buf, "%hd %u %c", static_cast<short>(-2), 7u, 'z'), 6u);
  EXPECT_STREQ(buf, "-2 7 z");
  EXPECT_EQ(text_format(buf, sizeof buf, "%s,%S,%p", "n", WSTR("w"), nullptr), 5u);
  EXPECT_STREQ(buf, "n,w,0");
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(text_format(buf, sizeof buf, nullptr), 0u);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(text_format(nullptr, 0, "abc"), 3u);
  // A cut multi-byte sequence may be left at the end of a truncated result.
  EXPECT_EQ(text_format(buf, 3, "a%lc", 0x20AC), 4u);
  EXPECT_EQ(std::string(buf), "a\xE2");
}

TEST(TextFormat, StoresPosition) {
  uint64_t n64 = 0xAAAAAAAAAAAAAAAAull;
  uint32_t n32 = 0xAAAAAAAA;
  uint16_t n16[2] = {0xAAAA, 0xAAAA};
  uint8_t n8[2] = {0xAA, 0xAA};
  char buf[4];
  // Counts every byte produced, also beyond the capacity.
  EXPECT_EQ(text_format(buf, sizeof buf, "abcdef%n%ln%hn%I8ngh", &n64, &n32, &n16[0], &n8[0]), 8u);
  EXPECT_EQ(n64, 6u);
  EXPECT_EQ(n32, 6u);
  EXPECT_EQ(n16[0], 6u);
  EXPECT_EQ(n16[1], 0xAAAA);
  EXPECT_EQ(n8[0], 6u);
  EXPECT_EQ(n8[1], 0xAA);
  EXPECT_STREQ(buf, "abc");
  uint64_t w = 0;
  EXPECT_EQ(text_format(buf, sizeof buf, "%5d%lln", 1, &w), 5u);
  EXPECT_EQ(w, 5u);
  EXPECT_EQ(text_format(buf, sizeof buf, "x%n"), 1u);  // no pointer given: nothing stored
}

TEST(TextFormat, UnterminatedTextWithPrecision) {
  // A precision bounds what is read of a string that has no terminator.
  char* raw = static_cast<char*>(std::malloc(3));
  std::memcpy(raw, "xyz", 3);
  char buf[16];
  EXPECT_EQ(text_format(buf, sizeof buf, "[%.3s]", raw), 5u);
  EXPECT_STREQ(buf, "[xyz]");
  auto* wide = static_cast<wchar16*>(std::malloc(2 * sizeof(wchar16)));
  wide[0] = 'p';
  wide[1] = 'q';
  EXPECT_EQ(text_format(buf, sizeof buf, "[%.2S]", wide), 4u);
  EXPECT_STREQ(buf, "[pq]");
  std::free(raw);
  std::free(wide);
}

// An allocator that serves from the heap, records sizes and can refuse.
struct RecordingAllocator {
  Allocator base;
  bool refuse = false;
  std::vector<size_t>* sizes;
  std::vector<void*>* blocks;
  static void* op(Allocator* self, size_t size) {
    auto* t = reinterpret_cast<RecordingAllocator*>(self);
    t->sizes->push_back(size);
    if (t->refuse) return nullptr;
    void* p = std::calloc(size + 1, 1);
    t->blocks->push_back(p);
    return p;
  }
};
constexpr AllocatorOps kRecordingOps = {RecordingAllocator::op};

TEST(PoolFormat, LocalBufferBoundaryAndFailure) {
  std::vector<size_t> sizes;
  std::vector<void*> blocks;
  RecordingAllocator a{{&kRecordingOps}, false, &sizes, &blocks};
  for (int len : {0, 1, 99, 100, 101, 250}) {
    sizes.clear();
    // The width comes from the argument list, which the second rendering
    // reads again from its start.
    char* text = pool_format(&a.base, "%*d", len, 7);
    ASSERT_NE(text, nullptr);
    const std::string want = len == 0 ? "7" : std::string(len - 1, ' ') + "7";
    EXPECT_EQ(std::string(text), want) << len;
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0], want.size() + 1);
  }
  a.refuse = true;
  EXPECT_EQ(pool_format(&a.base, "%s", "abc"), nullptr);
  EXPECT_EQ(pool_format(&a.base, "%200d", 1), nullptr);
  for (void* p : blocks) std::free(p);

  ScopedPool pool;
  EXPECT_STREQ(pool_format(pool.alloc(), "%s\\%s", "dir", "name"), "dir\\name");
  EXPECT_STREQ(pool_format(pool.alloc(), nullptr), "");
  EXPECT_EQ(pool->failures, 0);
}

std::string read_all(HANDLE h) {
  std::string out;
  char buf[256];
  for (;;) {
    uint64_t n = 0;
    if (stream_read(h, buf, sizeof buf, &n) != 0 || n == 0) break;
    out.append(buf, n);
  }
  return out;
}

TEST(Print, ToHandleAndStandardOutput) {
  HANDLE r, w;
  ASSERT_TRUE(testos::make_pipe(&r, &w));
  print_to(w, "%s=%d\n", "x", 5);
  print_to(w, "%c", 0xE9);
  testos::close(w);
  EXPECT_EQ(read_all(r), "x=5\n\xC3\xA9");
  testos::close(r);

  // The standard output handle is looked up at each call.
  testos::TempDir dir;
  {
    testos::StdoutToFile to(dir.join("one.txt"));
    ASSERT_TRUE(to.ok());
    print("first %d\n", 1);
  }
  {
    testos::StdoutToFile to(dir.join("two.txt"));
    ASSERT_TRUE(to.ok());
    print("second %S\n", WSTR("\u00E9"));
  }
  std::string one, two;
  ASSERT_TRUE(testos::read_file(dir.join("one.txt"), &one));
  ASSERT_TRUE(testos::read_file(dir.join("two.txt"), &two));
  EXPECT_EQ(one, "first 1\n");
  EXPECT_EQ(two, "second \xC3\xA9\n");
}

TEST(Print, WriteErrorsAreIgnored) {
  sys::FaultScope faults;
  ASSERT_TRUE(sys::fault_arm(sys::SysCall::GetStdHandle, 1, 6, 2));
  sys::CallCounter get_std_handle_calls(sys::SysCall::GetStdHandle);
  sys::CallCounter write_file_calls(sys::SysCall::WriteFile);
  print("lost %d\n", 1);
  print("lost %d\n", 2);
  EXPECT_EQ(get_std_handle_calls.count(), 2u);
  EXPECT_EQ(write_file_calls.count(), 0u);  // an invalid handle is refused before the system
  HANDLE r, w;
  ASSERT_TRUE(testos::make_pipe(&r, &w));
  testos::close(r);
  print_to(w, "nobody reads %d\n", 3);  // pipe has ended: ignored
  EXPECT_EQ(write_file_calls.count(), 1u);
  print_to(w, "");  // an empty text is still one write of zero bytes
  EXPECT_EQ(write_file_calls.count(), 2u);
  testos::close(w);
}

#ifdef _WIN32
TEST(FatalError, WritesItsLineAndTraps) {
  // The unhandled breakpoint starts the system debugger there, and the
  // death test never ends.
  GTEST_SKIP() << "breakpoint death tests need a native run";
}
#else
void die_with_output(const std::string& file, const char* path, int line, const char* message) {
  testos::StdoutToFile to(file);
  fatal_error(path, line, message);
}

TEST(FatalError, WritesItsLineAndTraps) {
  // A forked child (the default style) shares the parent's file names; the
  // child does nothing but write and trap.
  testos::TempDir dir;
  const std::string long_message(300, 'm');
  struct Case {
    const char* path;
    int line;
    const char* message;
    std::string want;
  } cases[] = {
      {"src/base/jindex.cpp", 12, "link stack overflow\n", "FATAL: /jindex.cpp:12 link stack overflow\n"},
      {"base\\jindex", 7, "x", "FATAL: base\\jindex:7 x"},
      {"a/b/", -3, nullptr, "FATAL: /:-3 "},
      {"f", 1, long_message.c_str(), ("FATAL: f:1 " + long_message).substr(0, 199)},
  };
  int i = 0;
  for (const auto& c : cases) {
    const std::string file = dir.join("fatal" + std::to_string(i++) + ".txt");
    EXPECT_EXIT(die_with_output(file, c.path, c.line, c.message), testing::KilledBySignal(SIGTRAP), "");
    std::string got;
    ASSERT_TRUE(testos::read_file(file, &got));
    EXPECT_EQ(got, c.want);
  }
}
#endif

}  // namespace
