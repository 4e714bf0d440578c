// Linux implementation of the path calls. The POSIX root is the root of the
// program's current drive: the current directory /home/u is reported as
// \home\u. A drive path X:\a stands for /mnt/x/a, so the current directory of
// drive X is the part of the POSIX current directory below /mnt/x, if any.
#include "platform/platform.h"
#include "platform/posix/text.h"
#include "platform/posix/libc_door.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr size_t kMaxUnits = 32768;

inline WCHAR lower(WCHAR c) { return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c + 32) : c; }

// A growing UTF-16 text in a heap buffer of kMaxUnits units.
struct Wide {
  WCHAR* units = static_cast<WCHAR*>(std::malloc(kMaxUnits * sizeof(WCHAR)));
  size_t len = 0;
  bool overflow = false;
  ~Wide() { std::free(units); }
  Wide() = default;
  Wide(const Wide&) = delete;
  Wide& operator=(const Wide&) = delete;
  void put(WCHAR c) {
    if (units && len + 1 < kMaxUnits) units[len++] = c;
    else overflow = true;
  }
};

// A POSIX path as UTF-16, mapped as names are (text.h).
void put_utf8(Wide& w, const char* s) {
  const size_t free_units = w.units && w.len + 1 < kMaxUnits ? kMaxUnits - 1 - w.len : 0;
  const size_t n = posix_units_from_utf8(s, w.units ? w.units + w.len : nullptr, free_units);
  if (n > free_units) {
    w.overflow = true;
    w.len += free_units;
  } else {
    w.len += n;
  }
}

// The POSIX current directory, or false with the last error set.
bool posix_cwd(char* buffer, size_t size) {
  if (!libc::getcwd(buffer, size)) {
    ::SetLastError(posix_error_from_errno(errno));
    return false;
  }
  return true;
}

// Copies a result out as the calls do: the units written, or the units needed
// (with terminator) when the buffer is too small.
DWORD answer(const Wide& w, DWORD length, LPWSTR buffer, LPWSTR* file_part) {
  if (file_part) *file_part = nullptr;
  if (w.overflow || !w.units) {
    ::SetLastError(err::filename_too_long);
    return 0;
  }
  if (w.len + 1 > length || !buffer) return static_cast<DWORD>(w.len + 1);
  std::memcpy(buffer, w.units, w.len * sizeof(WCHAR));
  buffer[w.len] = 0;
  if (file_part) {
    size_t i = w.len;
    while (i > 0 && buffer[i - 1] != u'\\') --i;
    if (i < w.len) *file_part = buffer + i;
  }
  return static_cast<DWORD>(w.len);
}

// Appends the components of `s` to `w` (which holds a root ending in '\'),
// dropping "." and taking ".." back, never above `root`.
void put_components(Wide& w, size_t root, const WCHAR* s) {
  while (*s) {
    while (is_path_separator(*s)) ++s;
    if (!*s) break;
    const WCHAR* start = s;
    while (*s && !is_path_separator(*s)) ++s;
    const size_t n = static_cast<size_t>(s - start);
    if (n == 1 && start[0] == u'.') continue;
    if (n == 2 && start[0] == u'.' && start[1] == u'.') {
      if (w.len > root) {
        --w.len;  // the separator after the last component
        while (w.len > root && w.units[w.len - 1] != u'\\') --w.len;
      }
      continue;
    }
    for (size_t i = 0; i < n; ++i) w.put(start[i]);
    w.put(u'\\');
  }
}

}  // namespace

DWORD GetCurrentDirectoryW(DWORD length, LPWSTR buffer) {
  char cwd[4096];
  if (!posix_cwd(cwd, sizeof cwd)) return 0;
  Wide w;
  put_utf8(w, cwd);
  return answer(w, length, buffer, nullptr);
}

DWORD GetFullPathNameW(LPCWSTR name, DWORD length, LPWSTR buffer, LPWSTR* file_part) {
  if (!name || !*name) {
    ::SetLastError(err::invalid_name);
    return 0;
  }
  // The current directory is asked for only by a name relative to it.
  char cwd[4096] = "";
  const bool drive = posix_is_letter(name[0]) && name[1] == u':';
  const bool relative = drive ? !is_path_separator(name[2]) : !is_path_separator(name[0]);
  if (relative && !posix_cwd(cwd, sizeof cwd)) return 0;
  Wide w;
  size_t root;
  const WCHAR* rest = name;
  if (drive) {
    // Drive path: relative ones start at the drive's current directory.
    w.put(static_cast<WCHAR>(name[0] >= u'a' ? name[0] - 32 : name[0]));
    w.put(u':');
    w.put(u'\\');
    root = w.len;
    rest = name + 2;
    if (!is_path_separator(*rest)) {
      const char mount[] = {'/', 'm', 'n', 't', '/', static_cast<char>(lower(name[0])), 0};
      const size_t m = sizeof mount - 1;
      if (std::strncmp(cwd, mount, m) == 0 && (cwd[m] == '/' || cwd[m] == 0)) {
        Wide below;
        put_utf8(below, cwd + m);
        below.put(0);
        put_components(w, root, below.units);
      }
    }
  } else if (is_path_separator(name[0]) && is_path_separator(name[1])) {
    // Server share: the two names belong to the root.
    w.put(u'\\');
    w.put(u'\\');
    rest = name + 2;
    for (int part = 0; part < 2; ++part) {
      while (*rest && !is_path_separator(*rest)) w.put(*rest++);
      if (*rest) ++rest;
      w.put(u'\\');
    }
    root = w.len;
  } else {
    w.put(u'\\');
    root = w.len;
    if (!is_path_separator(name[0])) {
      Wide current;
      put_utf8(current, cwd);
      current.put(0);
      put_components(w, root, current.units);
    }
  }
  put_components(w, root, rest);
  // No trailing separator unless the name asked for one or it is the root.
  size_t n = 0;
  while (name[n]) ++n;
  if (w.len > root && !is_path_separator(name[n - 1])) --w.len;
  return answer(w, length, buffer, file_part);
}
