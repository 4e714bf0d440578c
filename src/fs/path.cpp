// Path syntax: root parsing, canonical form, joining, resolution against the
// current directory and conversion to native object names.
#include "fs/path.h"

#include <cstring>

#include "base/casefold.h"
#include "base/unicode.h"

namespace {

inline bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Fixed buffer for the first rendering pass and for the system queries.
constexpr size_t kNormalizeLocal = 100;
constexpr DWORD kQueryUnits = 300;

// Renders the canonical form into a buffer of fixed capacity. Bytes beyond the
// capacity are counted, not stored; a component that was not stored cannot be
// taken back, so once the count passes the capacity it only grows and stays an
// upper bound of the exact length.
struct Renderer {
  char* buf;
  size_t cap;
  size_t len = 0;
  size_t base = 0;   // where the components start
  size_t floor = 0;  // end of the leading "..": nothing before it is removed
  size_t depth = 0;  // components emitted after the floor

  void put(char c) {
    if (len < cap) buf[len] = c;
    ++len;
  }
  void put(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) put(s[i]);
  }
  bool stored() const { return len <= cap; }

  void component(const char* s, size_t n) {
    if (len > base) put('\\');
    put(s, n);
    ++depth;
  }

  void step_up(bool rooted) {
    if (depth > 0) {
      --depth;
      if (!stored()) return;
      size_t i = len;
      while (i > floor && buf[i - 1] != '\\') --i;
      // i - 1 is the separator in front of the component, or i == floor.
      len = (i > floor) ? i - 1 : floor;
      return;
    }
    if (rooted) return;  // the root absorbs it
    if (len > base) put('\\');
    put("..", 2);
    floor = len;
  }
};

void render_normal(Renderer& r, const char* path, size_t root_length, bool rooted) {
  for (size_t i = 0; i < root_length; ++i) r.put(is_path_separator(path[i]) ? '\\' : path[i]);
  if (rooted) r.put('\\');
  r.base = r.floor = r.len;

  const char* p = path + root_length;
  while (*p) {
    while (is_path_separator(*p)) ++p;
    if (!*p) break;
    const char* start = p;
    bool dots_only = true;
    while (*p && !is_path_separator(*p)) {
      if (*p != '.') dots_only = false;
      ++p;
    }
    const size_t n = static_cast<size_t>(p - start);
    if (dots_only) {
      for (size_t k = 1; k < n; ++k) r.step_up(rooted);
    } else {
      r.component(start, n);
    }
  }
  const size_t path_len = static_cast<size_t>(p - path);
  const bool trailing_sep = path_len > 0 && is_path_separator(path[path_len - 1]);

  // A leading ".." that ends the result is written as "..\".
  if (r.depth == 0 && r.floor > r.base) r.put('\\');
  if (r.len == 0) r.put('.');
  if (trailing_sep) {
    const bool ends_in_sep = r.stored() && r.len > 0 && r.buf[r.len - 1] == '\\';
    if (!ends_in_sep) r.put('\\');
  }
}

char* pool_copy(StringPool* pool, const char* s, size_t n) {
  char* out = static_cast<char*>(pool_allocate(pool, n + 1));
  if (!out) return nullptr;
  std::memcpy(out, s, n);
  out[n] = 0;
  return out;
}

// Reads a UTF-16 answer of a query that returns the units written (without
// terminator) or, when the buffer is too small, the units needed (with it).
// A too-small first buffer is answered by one more query of the size the
// system asked for.
template <typename Query>
char* query_utf8(StringPool* pool, Query query) {
  wchar16 local[kQueryUnits];
  const DWORD n = query(kQueryUnits, local);
  if (n == 0) return nullptr;
  if (n < kQueryUnits) return utf16_to_utf8_alloc(&pool->allocator, local, n);

  ScopedPool scratch;
  auto* big = static_cast<wchar16*>(pool_allocate(scratch.get(), size_t{n} * sizeof(wchar16)));
  if (!big) return nullptr;
  const DWORD m = query(n, big);
  if (m == 0 || m >= n) return nullptr;
  return utf16_to_utf8_alloc(&pool->allocator, big, m);
}

}  // namespace

Error path_parse_root(const char* path, size_t* root_length, bool* rooted) {
  size_t length = 0;
  bool is_rooted = false;
  Error result = err::ok;
  if (str_is_empty(path)) {
    result = err::invalid_name;
  } else if (is_path_separator(path[0])) {
    if (!is_path_separator(path[1])) {
      is_rooted = true;
    } else if (path[2] == '=' && is_path_separator(path[3])) {
      length = 3;
      is_rooted = true;
    } else {
      size_t i = 2;
      while (path[i] && !is_path_separator(path[i])) ++i;
      if (!path[i] || i == 2) {
        result = err::invalid_name;  // no separator after the server, or no server
      } else {
        const size_t share = ++i;
        while (path[i] && !is_path_separator(path[i])) ++i;
        if (i == share) result = err::invalid_name;
        length = i;
        is_rooted = true;
      }
    }
  } else if (is_ascii_letter(path[0]) && path[1] == ':') {
    length = 2;
    is_rooted = is_path_separator(path[2]);
  }
  if (root_length) *root_length = length;
  if (rooted) *rooted = is_rooted;
  return result;
}

char* path_normalize(StringPool* pool, const char* path) {
  size_t root_length;
  bool rooted;
  if (path_parse_root(path, &root_length, &rooted) != err::ok) return nullptr;

  char local[kNormalizeLocal];
  Renderer first{local, sizeof local};
  render_normal(first, path, root_length, rooted);
  if (first.len < sizeof local) return pool_copy(pool, local, first.len);

  // Long result: render again straight into a block sized by the first pass.
  const size_t size = first.len + 1;
  char* out = static_cast<char*>(pool_allocate(pool, size));
  if (!out) return nullptr;
  Renderer exact{out, size};
  render_normal(exact, path, root_length, rooted);
  out[exact.len] = 0;
  return out;
}

namespace {

// Characters a path shows as escapes: controls, line and paragraph
// separators, and the invisible and direction-changing format characters,
// which would make two names (or a whole line) look like others.
bool shown_escaped(uint32_t cp) {
  struct Range {
    uint32_t first, last;
  };
  static constexpr Range kEscaped[] = {
      {0x00, 0x1F},       {0x7F, 0x9F},       {0xAD, 0xAD},       {0x600, 0x605},   {0x61C, 0x61C},
      {0x6DD, 0x6DD},     {0x70F, 0x70F},     {0x890, 0x891},     {0x8E2, 0x8E2},   {0x180E, 0x180E},
      {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F}, {0xFEFF, 0xFEFF},
      {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F},
      {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
      {INVALID_CODE_POINT, INVALID_CODE_POINT},
  };
  for (const Range& r : kEscaped)
    if (cp >= r.first && cp <= r.last) return true;
  return false;
}

// The display form with those characters escaped: \n, \t, \r, else the
// bytes as \xHH. Returns the length; stores what fits below `capacity`.
uint64_t escape_display(const char* shown, char* out, uint64_t capacity) {
  uint64_t o = 0;
  auto put = [&](char c) {
    if (o + 1 < capacity) out[o] = c;
    ++o;
  };
  const uint64_t length = str_len(shown);
  for (uint64_t pos = 0, next = 0; pos < length; pos = next) {
    const uint32_t cp = utf8_decode_next(shown, length, pos, &next);
    if (!shown_escaped(cp)) {
      for (uint64_t i = pos; i < next; ++i) put(shown[i]);
    } else if (cp == '\n' || cp == '\t' || cp == '\r') {
      put('\\'), put(cp == '\n' ? 'n' : cp == '\t' ? 't' : 'r');
    } else {
      constexpr char kDigits[] = "0123456789ABCDEF";
      for (uint64_t i = pos; i < next; ++i) {
        const auto byte = static_cast<unsigned char>(shown[i]);
        put('\\'), put('x'), put(kDigits[byte >> 4]), put(kDigits[byte & 0xF]);
      }
    }
  }
  if (capacity) out[o < capacity ? o : capacity - 1] = 0;
  return o;
}

}  // namespace

const char* path_display(StringPool* pool, const char* path) {
  if (!path) return "";
  const char* shown = alloc_rendered(&pool->allocator, [&](char* buffer, uint64_t capacity) {
    return sys::PathDisplayForm(path, buffer, static_cast<size_t>(capacity));
  });
  if (!shown) return path;
  const char* escaped = alloc_rendered(&pool->allocator, [&](char* buffer, uint64_t capacity) {
    return escape_display(shown, buffer, capacity);
  });
  return escaped ? escaped : shown;
}

char* path_join(StringPool* pool, const char* base, const char* rel) {
  rel = str_or_empty(rel);
  size_t rel_len = str_len(rel);
  if (str_is_empty(base)) return pool_copy(pool, rel, rel_len);
  size_t base_len = str_len(base);
  if (is_path_separator(base[base_len - 1])) --base_len;
  if (rel_len > 0 && is_path_separator(rel[0])) {
    ++rel;
    --rel_len;
  }
  char* out = static_cast<char*>(pool_allocate(pool, base_len + 1 + rel_len + 1));
  if (!out) return nullptr;
  std::memcpy(out, base, base_len);
  out[base_len] = '\\';
  std::memcpy(out + base_len + 1, rel, rel_len);
  out[base_len + 1 + rel_len] = 0;
  return out;
}

char* path_resolve(StringPool* pool, const char* base, const char* path) {
  if (str_is_empty(path)) path = ".";
  size_t root_length;
  bool rooted;
  if (path_parse_root(path, &root_length, &rooted) != err::ok) return nullptr;
  if (root_length > 0 && rooted) return path_normalize(pool, path);

  ScopedPool scratch;
  StringPool* sp = scratch.get();

  // An absolute base B.
  const char* b = "";
  size_t b_root = 0;
  bool b_rooted = false;
  if (!str_is_empty(base)) {
    b = path_normalize(sp, base);
    if (!b) return nullptr;
    path_parse_root(b, &b_root, &b_rooted);
  }
  if (!b_rooted) {
    const char* cwd = current_directory_utf8(sp);
    // \dir needs the current folder only for its drive: without one (the
    // folder was deleted) it stays on the current drive's root.
    if (!cwd && rooted && b[0] == 0) return path_normalize(pool, path);
    if (!cwd) return nullptr;
    b = (b[0] == 0 || std::strcmp(b, ".") == 0) ? cwd : path_join(sp, cwd, b);
    if (!b || path_parse_root(b, &b_root, &b_rooted) != err::ok || !b_rooted) return nullptr;
  }

  // Fit B to the form of the path.
  if (rooted) {
    // \dir: the root of B's drive or share. When B has no prefix it is itself
    // relative to the current drive's root, and so is the path.
    if (b_root == 0) return path_normalize(pool, path);
    b = pool_copy(sp, b, b_root);
    if (!b) return nullptr;
  } else if (root_length == 2) {
    // D:dir: B when it is on drive D, else the current directory of D.
    if (b_root != 2 || name_compare_folded(b, 2, path, 2) != 0) {
      const char* drive_dir = drive_directory_utf8(sp, path[0]);
      b = drive_dir ? drive_dir : pool_copy(sp, path, 2);
      if (!b) return nullptr;
    }
  }

  const char* rest = path + root_length + (rooted ? 1 : 0);
  const char* joined = path_join(sp, b, rest);
  if (!joined) return nullptr;
  return path_normalize(pool, joined);
}

char* current_directory_utf8(StringPool* pool) {
  return query_utf8(pool, [](DWORD units, wchar16* buffer) {
    return sys::GetCurrentDirectoryW(units, buffer);
  });
}

char* drive_directory_utf8(StringPool* pool, char letter) {
  const wchar16 name[4] = {static_cast<wchar16>(static_cast<unsigned char>(letter)), ':', '.', 0};
  return query_utf8(pool, [&name](DWORD units, wchar16* buffer) {
    return sys::GetFullPathNameW(name, units, buffer, nullptr);
  });
}

Error path_to_nt_name(StringPool* pool, const char* path, NtName* out) {
  *out = NtName{};
  ScopedPool scratch;
  const char* r = path_resolve(scratch.get(), nullptr, path);
  if (str_is_empty(r)) return err::invalid_name;

  const char* prefix;
  const char* kept;
  if (is_ascii_letter(r[0]) && r[1] == ':') {
    if (r[2] != 0 && r[2] != '\\') return err::invalid_name;
    prefix = "\\??\\";
    kept = r;
  } else if (r[0] != '\\') {
    return err::invalid_name;
  } else if (r[1] == '\\') {
    if ((r[2] == '.' || r[2] == '?') && r[3] == '\\') {
      prefix = "\\??\\";
      kept = r + 4;
    } else if (r[2] == '=' && r[3] == '\\') {
      prefix = "\\";
      kept = r + 4;
    } else {
      prefix = "\\??\\UNC\\";
      kept = r + 2;
    }
  } else {
    prefix = "";
    kept = r;
  }

  const size_t prefix_units = str_len(prefix);
  const uint64_t units = prefix_units + utf8_to_utf16_measure(kept);
  if (units > kNtNameMaxUnits) return err::invalid_name;

  const size_t size = 2 * units + 22;
  auto* text = static_cast<wchar16*>(pool_allocate(pool, size));
  if (!text) return err::out_of_memory;
  for (size_t i = 0; i < prefix_units; ++i) text[i] = static_cast<wchar16>(prefix[i]);
  utf8_to_utf16(text + prefix_units, units - prefix_units + 1, kept);
  text[units] = 0;

  out->name.Length = static_cast<USHORT>(2 * units);
  out->name.MaximumLength = static_cast<USHORT>(2 * units + 2);
  out->name.Buffer = text;
  out->text = text;
  out->length = static_cast<uint32_t>(units);
  out->block = text;
  out->block_size = size;
  return err::ok;
}
