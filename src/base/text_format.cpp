#include "base/text_format.h"

#include <cstring>

#include "base/unicode.h"

namespace {

constexpr char kDigitsLower[] = "0123456789abcdef0x";
constexpr char kDigitsUpper[] = "0123456789ABCDEF0X";

enum Flag : uint32_t {
  kLeft = 1,     // '-'
  kPlus = 2,     // '+'
  kSpace = 4,    // ' '
  kAlternate = 8,  // '#'
  kZero = 16,    // '0'
};

// The output: a buffer of fixed capacity and the count of every byte the
// rendering produces, stored or not.
struct Output {
  char* buffer;
  uint64_t capacity;
  uint64_t pos;

  void byte(char c) {
    if (pos < capacity) buffer[pos] = c;
    ++pos;
  }
  void repeat(char c, uint64_t n) {
    if (pos < capacity) {
      const uint64_t room = capacity - pos;
      std::memset(buffer + pos, c, static_cast<size_t>(n < room ? n : room));
    }
    pos += n;
  }
  void code_point(uint32_t cp) { utf8_encode_put(buffer, capacity, &pos, cp); }
};

struct Directive {
  uint32_t flags = 0;
  int32_t width = 0;
  int32_t precision = -1;
  uint32_t int_bits = 0;   // 0: not given by a modifier
  uint32_t char_bits = 0;  // 0: not given by a modifier
  bool modifier = false;
};

// Appends a decimal digit to a 32-bit field, saturating instead of wrapping.
int32_t add_digit(int32_t value, char digit) {
  const int64_t v = static_cast<int64_t>(value) * 10 + (digit - '0');
  return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

uint64_t sign_extend(uint64_t v, uint32_t bits) {
  if (bits >= 64) return v;
  const uint64_t sign = uint64_t{1} << (bits - 1);
  const uint64_t mask = (uint64_t{1} << bits) - 1;
  v &= mask;
  return (v ^ sign) - sign;
}

uint64_t zero_extend(uint64_t v, uint32_t bits) {
  return bits >= 64 ? v : v & ((uint64_t{1} << bits) - 1);
}

void render_integer(Output& out, const Directive& d, uint64_t magnitude, char sign, uint32_t base, bool upper) {
  const char* digits = upper ? kDigitsUpper : kDigitsLower;
  char prefix[2];
  int prefix_len = 0;
  if (d.flags & kAlternate) {
    if (base == 8) {
      prefix[prefix_len++] = '0';
    } else if (base == 16) {
      prefix[prefix_len++] = digits[16];
      prefix[prefix_len++] = digits[17];
    }
  }
  char text[24];
  int count = 0;
  do {
    text[count++] = digits[magnitude % base];
    magnitude /= base;
  } while (magnitude);

  const int64_t precision = d.precision < 0 ? 0 : d.precision;
  int64_t zeros = precision - count;
  if (zeros < 0) zeros = 0;
  int64_t spaces =
      static_cast<int64_t>(d.width) - (count > precision ? count : precision) - (sign ? 1 : 0) - prefix_len;
  if (spaces < 0) spaces = 0;
  if (d.flags & kZero) {
    if (spaces > zeros) zeros = spaces;
    spaces = 0;
  }
  if (!(d.flags & kLeft)) out.repeat(' ', static_cast<uint64_t>(spaces));
  if (sign) out.byte(sign);
  for (int i = 0; i < prefix_len; ++i) out.byte(prefix[i]);
  out.repeat('0', static_cast<uint64_t>(zeros));
  while (count) out.byte(text[--count]);
  if (d.flags & kLeft) out.repeat(' ', static_cast<uint64_t>(spaces));
}

// The string rules: width pads, a precision of at least the width cuts the
// output (padding included), every space and code point counts one.
//
// Only what is needed is read: the padding needs the length only up to the
// width, and decoding stops at the terminator or when the limit is reached,
// so a text without terminator is safe with a precision of its length (in
// code points). Without a precision the limit never cuts (a text of L units
// has at most L code points), so it is not computed.
void render_string(Output& out, const Directive& d, const void* text, bool wide) {
  if (d.precision < -1) return;  // below -1: nothing at all
  const int64_t width = d.width;
  const int64_t limit = d.precision < 0 ? INT64_MAX : (d.precision < width ? width : d.precision);
  const size_t measure = width > 0 ? static_cast<size_t>(width) : 0;
  const int64_t length = static_cast<int64_t>(wide ? wide_len_bounded(static_cast<const wchar16*>(text), measure)
                                                   : str_len_bounded(static_cast<const char*>(text), measure));
  // The limit never cuts the padding: a padded text has at most width - pad
  // code points, and width <= limit.
  const int64_t pad = width > length ? width - length : 0;
  if (!(d.flags & kLeft)) out.repeat(' ', static_cast<uint64_t>(pad));
  int64_t emitted = d.flags & kLeft ? 0 : pad;
  uint64_t pos = 0;
  while (emitted < limit) {
    uint64_t next;
    const uint32_t cp = wide ? utf16_decode_next(static_cast<const wchar16*>(text), kToTerminator, pos, &next)
                             : utf8_decode_next(static_cast<const char*>(text), kToTerminator, pos, &next);
    if (cp == 0) break;
    out.code_point(cp);
    ++emitted;
    pos = next;
  }
  if (d.flags & kLeft) out.repeat(' ', static_cast<uint64_t>(pad));
}

void put_hex_byte(char* p, uint8_t b, const char* digits) {
  p[0] = digits[b >> 4];
  p[1] = digits[b & 15];
}

// 8-4-4-4-12 digits; the first three groups are little-endian numbers.
void guid_text(char* text, const uint8_t* g, bool upper) {
  const char* digits = upper ? kDigitsUpper : kDigitsLower;
  static constexpr int8_t kOrder[] = {3, 2, 1, 0, -1, 5, 4, -1, 7, 6, -1, 8, 9, -1, 10, 11, 12, 13, 14, 15};
  char* p = text;
  for (int8_t i : kOrder) {
    if (i < 0) {
      *p++ = '-';
    } else {
      put_hex_byte(p, g[i], digits);
      p += 2;
    }
  }
  *p = 0;
}

void put_number(char*& p, uint64_t v, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    p[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  p += digits;
}

// YYYY-MM-DD HH:MM:SS, with ".mmm" when asked, from 100 ns units since 1601
// in the proleptic Gregorian calendar, without a time zone.
void time_text(char* text, uint64_t value, bool milliseconds) {
  const uint64_t days = value / 864000000000ull;
  const uint64_t ms = (value / 10000) % 86400000;
  // Civil date from a day count (shifted to an era that starts on 0000-03-01).
  const uint64_t z = days + 584694;  // days from 0000-03-01 to 1601-01-01
  const uint64_t era = z / 146097;
  const uint64_t doe = z - era * 146097;
  const uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const uint64_t mp = (5 * doy + 2) / 153;
  const uint64_t day = doy - (153 * mp + 2) / 5 + 1;
  const uint64_t month = mp < 10 ? mp + 3 : mp - 9;
  const uint64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char* p = text;
  put_number(p, year % 10000, 4);
  *p++ = '-';
  put_number(p, month, 2);
  *p++ = '-';
  put_number(p, day, 2);
  *p++ = ' ';
  put_number(p, ms / 3600000, 2);
  *p++ = ':';
  put_number(p, ms / 60000 % 60, 2);
  *p++ = ':';
  put_number(p, ms / 1000 % 60, 2);
  if (milliseconds) {
    *p++ = '.';
    put_number(p, ms % 1000, 3);
  }
  *p = 0;
}

void store_position(uint64_t target, uint32_t bits, uint64_t pos) {
  if (!target) return;
  void* p = reinterpret_cast<void*>(static_cast<uintptr_t>(target));
  switch (bits) {
    case 8: *static_cast<uint8_t*>(p) = static_cast<uint8_t>(pos); break;
    case 16: *static_cast<uint16_t*>(p) = static_cast<uint16_t>(pos); break;
    case 32: *static_cast<uint32_t*>(p) = static_cast<uint32_t>(pos); break;
    default: *static_cast<uint64_t*>(p) = pos; break;
  }
}

template <typename T>
const T* as_pointer(uint64_t slot) {
  return reinterpret_cast<const T*>(static_cast<uintptr_t>(slot));
}

// Flags of a directive; returns the first byte after them.
const char* parse_flags(const char* f, Directive& d) {
  for (;; ++f) {
    if (*f == '-') d.flags |= kLeft;
    else if (*f == '+') d.flags |= kPlus;
    else if (*f == ' ') d.flags |= kSpace;
    else if (*f == '#') d.flags |= kAlternate;
    else if (*f == '0') d.flags |= kZero;
    else return f;
  }
}

// Width and precision, each as digits or '*' (taken from the arguments). A
// '.' followed by neither digits nor '*' sets no precision.
const char* parse_width_precision(const char* f, Directive& d, FormatArgs& args) {
  if (*f == '*') {
    d.width = static_cast<int32_t>(static_cast<uint32_t>(args.take()));
    ++f;
  } else {
    while (is_digit(*f)) d.width = add_digit(d.width, *f++);
  }
  if (*f != '.') return f;
  ++f;
  if (*f == '*') {
    d.precision = static_cast<int32_t>(static_cast<uint32_t>(args.take()));
    return f + 1;
  }
  while (is_digit(*f)) d.precision = add_digit(d.precision < 0 ? 0 : d.precision, *f++);
  return f;
}

// Length modifier: h, l, L, ll, I8, I16, I32, I64. Not followed by one of
// those sizes, an 'I' is the conversion letter.
const char* parse_length(const char* f, Directive& d) {
  if (*f == 'h') {
    d.int_bits = 16, d.char_bits = 8, d.modifier = true;
    return f + 1;
  }
  if (*f == 'l' || *f == 'L') {
    d.modifier = true;
    if (f[1] == 'l') {
      d.int_bits = 64;
      return f + 2;
    }
    d.int_bits = 32, d.char_bits = 16;
    return f + 1;
  }
  if (*f != 'I') return f;
  const char* letter = f;
  if (f[1] == '8') {
    d.int_bits = 8, d.char_bits = 8, f += 2;
  } else if (f[1] == '1' && f[2] == '6') {
    d.int_bits = 16, d.char_bits = 16, f += 3;
  } else if (f[1] == '3' && f[2] == '2') {
    d.int_bits = 32, d.char_bits = 32, f += 3;
  } else if (f[1] == '6' && f[2] == '4') {
    d.int_bits = 64, f += 3;
  }
  d.modifier = f != letter;
  return f;
}

// %d %i: signed, 32 bits unless a modifier says otherwise.
void render_signed(Output& out, const Directive& d, uint64_t arg) {
  const uint64_t v = sign_extend(arg, d.int_bits ? d.int_bits : 32);
  const bool negative = static_cast<int64_t>(v) < 0;
  const char sign = negative ? '-' : (d.flags & kPlus) ? '+' : (d.flags & kSpace) ? ' ' : '\0';
  render_integer(out, d, negative ? 0 - v : v, sign, 10, false);
}

// %c %C %w: one character of the width the conversion and modifier give.
void render_char(Output& out, const Directive& d, char conversion, uint64_t arg) {
  uint32_t bits;
  if (conversion == 'C' || (conversion == 'w' && !d.modifier))
    bits = 16;
  else if (d.char_bits)
    bits = d.char_bits;
  else if (d.int_bits)
    bits = 0;  // only an integer width (%llc, %I64c): the argument is taken, nothing shown
  else
    bits = 8;
  if (bits) out.code_point(static_cast<uint32_t>(zero_extend(arg, bits)));
}

// %s %S: narrow or wide text.
void render_text(Output& out, const Directive& d, char conversion, uint64_t arg) {
  if (conversion == 'S' || d.char_bits == 16)
    render_string(out, d, as_pointer<wchar16>(arg), true);
  else if (d.char_bits == 8 || (d.char_bits == 0 && d.int_bits == 0))
    render_string(out, d, as_pointer<char>(arg), false);
  // %I32s, %lls, %I64s: the argument is taken, nothing is shown.
}

// %t (seconds since 1970, 32 or 64 bits) and %T (file time with milliseconds).
void render_time(Output& out, const Directive& d, char conversion, uint64_t v) {
  if (conversion == 't') {
    const int64_t seconds = (d.int_bits && d.int_bits <= 32)
                                ? static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(v)))
                                : static_cast<int64_t>(v);
    v = file_time_from_unix(seconds);
  }
  char text[32];
  time_text(text, v, conversion == 'T');
  render_string(out, d, text, false);
}

// One parsed directive: takes its argument (if the conversion has one) and
// renders it.
void render_conversion(Output& out, const Directive& d, char conversion, FormatArgs& args) {
  switch (conversion) {
    case 'd':
    case 'i':
      render_signed(out, d, args.take());
      break;
    case 'u':
    case 'o':
    case 'x':
    case 'X': {
      const uint64_t v = zero_extend(args.take(), d.int_bits ? d.int_bits : 32);
      const uint32_t base = conversion == 'u' ? 10 : conversion == 'o' ? 8 : 16;
      render_integer(out, d, v, 0, base, conversion == 'X');
      break;
    }
    case 'p':
    case 'P':
      render_integer(out, d, args.take(), 0, 16, conversion == 'P');
      break;
    case 'c':
    case 'C':
    case 'w':
      render_char(out, d, conversion, args.take());
      break;
    case 's':
    case 'S':
      render_text(out, d, conversion, args.take());
      break;
    case 'n':
      store_position(args.take(), d.int_bits ? d.int_bits : 64, out.pos);
      break;
    case 'r':
    case 'R': {
      const uint8_t* g = as_pointer<uint8_t>(args.take());
      char text[40] = "";
      if (g) guid_text(text, g, conversion == 'R');
      render_string(out, d, text, false);
      break;
    }
    case 't':
    case 'T':
      render_time(out, d, conversion, args.take());
      break;
    default:
      break;  // unknown conversion: nothing, no argument
  }
}

}  // namespace

uint64_t text_vformat(char* buffer, uint64_t capacity, const char* format, FormatArgs args) {
  Output out{buffer, buffer ? capacity : 0, 0};
  const char* f = format ? format : "";
  while (*f) {
    if (*f != '%') {
      out.byte(*f++);
      continue;
    }
    ++f;
    if (*f == '%') {
      out.byte('%');
      ++f;
      continue;
    }
    Directive d;
    f = parse_flags(f, d);
    f = parse_width_precision(f, d, args);
    f = parse_length(f, d);
    const char conversion = *f;
    if (!conversion) break;  // unfinished directive: nothing
    ++f;
    render_conversion(out, d, conversion, args);
  }
  if (out.capacity) out.buffer[out.pos < out.capacity ? out.pos : out.capacity - 1] = 0;
  return out.pos;
}

char* pool_vformat(Allocator* a, const char* format, FormatArgs args) {
  // The argument list is passed by value: a second rendering reads it again
  // from its start.
  return alloc_rendered(a, [&](char* buffer, uint64_t capacity) {
    return text_vformat(buffer, capacity, format, args);
  });
}

void fatal_error(const char* source_path, int line, const char* message) {
  const char* name = source_path;
  for (const char* p = source_path; p && *p; ++p)
    if (*p == '/') name = p;
  char text[200];
  uint64_t n = text_format(text, sizeof text, "FATAL: %s:%d %s", name, line, message);
  if (n > sizeof text - 1) n = sizeof text - 1;
  DWORD done = 0;
  sys::WriteFile(sys::GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(n), &done, nullptr);
#if defined(__x86_64__) || defined(__i386__)
  __asm__ volatile("int3");
#endif
  __builtin_trap();
}
