// Symbolic links through the file system's reparse-point interface.
#include "fs/link.h"

#include <atomic>
#include <cstring>

#include "base/unicode.h"
#include "fs/native.h"
#include "fs/path.h"

namespace {

constexpr Error kInvalidReparseData = 4392;
constexpr char kLinkPrivilege[] = "SeCreateSymbolicLinkPrivilege";
constexpr size_t kPrivilegeNameUnits = 100;
constexpr DWORD kNotAllAssigned = 1300;

std::atomic<bool> g_link_privilege_tried{false};

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t get32(const uint8_t* p) { return uint32_t{get16(p)} | uint32_t{get16(p + 2)} << 16; }
void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  put16(p, v);
  put16(p + 2, v >> 16);
}

// UTF-16 copy of a UTF-8 text in the pool; null when out of memory.
wchar16* to_utf16(StringPool* pool, const char* text, size_t* units) {
  const uint64_t n = utf8_to_utf16_measure(text);
  auto* w = static_cast<wchar16*>(pool_allocate(pool, static_cast<size_t>((n + 1) * sizeof(wchar16))));
  if (!w) return nullptr;
  utf8_to_utf16(w, n + 1, text);
  *units = static_cast<size_t>(n);
  return w;
}

// Opens the target as a folder: true when that works. A target that exists
// as a file or not at all makes a file link.
bool target_is_folder(const NtName* target) {
  HANDLE h;
  Error e = native_open_name(target, kOpenProbeTargetFolder, &h);
  native_close(h);
  if (e == err::ok) return true;
  if (e != err::path_not_found && e != err::not_found) {
    native_open_name(target, kOpenProbeTargetFile, &h);
    native_close(h);
  }
  return false;
}

}  // namespace

void link_text_from_system(char* text, size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (text[i] == '\\') text[i] = '/';
  if (length < 6 || (length > 6 && text[6] != '/')) return;
  if (text[0] != '/' || text[2] != '?' || text[3] != '/' || text[5] != ':' || !is_ascii_letter(text[4])) return;
  // "/??/c:" becomes "/mnt/c", in place (the same length).
  const char letter = ascii_lower(text[4]);
  constexpr char kMount[] = {'/', 'm', 'n', 't', '/'};
  std::memcpy(text, kMount, sizeof kMount);
  text[5] = letter;
}

void link_text_to_system(char* text, size_t length, bool drives) {
  if (drives && length >= 6 && (length == 6 || is_path_separator(text[6])) && std::memcmp(text, "/mnt/", 5) == 0 &&
      is_ascii_letter(text[5])) {
    const char letter = ascii_upper(text[5]);
    std::memcpy(text, "//?/", 4);
    text[4] = letter;
    text[5] = ':';
  }
  for (size_t i = 0; i < length; ++i)
    if (text[i] == '/') text[i] = '\\';
}

const char* link_print_name(StringPool* pool, const char* normalized) {
  const size_t length = str_len(normalized);
  if (length < 4 || normalized[0] != '\\' || normalized[2] != '?' || normalized[3] != '\\') return normalized;
  const char* rest = normalized + 4;
  if (length < 8 || ascii_lower(rest[0]) != 'u' || ascii_lower(rest[1]) != 'n' || ascii_lower(rest[2]) != 'c' ||
      rest[3] != '\\')
    return rest;
  // \\?\UNC\srv\shr becomes \\srv\shr.
  char* unc = static_cast<char*>(pool_allocate(pool, length - 8 + 3));
  if (!unc) return nullptr;
  unc[0] = '\\';
  unc[1] = '\\';
  std::memcpy(unc + 2, normalized + 8, length - 8 + 1);
  return unc;
}

Error reparse_link_build(void* buffer, uint32_t capacity, const wchar16* substitute, size_t substitute_units,
                         const wchar16* print, size_t print_units, bool relative, uint32_t* size) {
  *size = 0;
  const uint64_t total = 24 + 2 * (uint64_t{substitute_units} + print_units);
  if (total > kReparseMax || total > capacity) return err::invalid_parameter;
  auto* p = static_cast<uint8_t*>(buffer);
  std::memset(p, 0, static_cast<size_t>(total));
  const uint32_t sub_bytes = static_cast<uint32_t>(substitute_units * 2);
  const uint32_t print_bytes = static_cast<uint32_t>(print_units * 2);
  put32(p, REPARSE_TAG_SYMLINK);
  put16(p + 4, static_cast<uint32_t>(total - 8));
  put16(p + 8, 0);
  put16(p + 10, sub_bytes);
  put16(p + 12, sub_bytes + 2);
  put16(p + 14, print_bytes);
  put32(p + 16, relative ? kReparseLinkRelative : 0);
  std::memcpy(p + kReparseLinkHeader, substitute, sub_bytes);
  std::memcpy(p + kReparseLinkHeader + sub_bytes + 2, print, print_bytes);
  *size = static_cast<uint32_t>(total);
  return err::ok;
}

Error reparse_substitute_name(const void* buffer, uint32_t length, const wchar16** name, size_t* units) {
  *name = nullptr;
  *units = 0;
  const auto* p = static_cast<const uint8_t*>(buffer);
  if (length < 4) return kInvalidReparseData;
  const uint32_t tag = get32(p);
  uint32_t area;
  if (tag == REPARSE_TAG_SYMLINK)
    area = kReparseLinkHeader;
  else if (tag == REPARSE_TAG_MOUNT_POINT)
    area = kReparseMountHeader;
  else
    return err::not_found;
  if (length < area) return kInvalidReparseData;
  const uint32_t offset = get16(p + 8), bytes = get16(p + 10);
  // The names must lie inside the data and on whole units.
  if ((offset | bytes) & 1 || uint64_t{area} + offset + bytes > length) return kInvalidReparseData;
  *name = reinterpret_cast<const wchar16*>(p + area + offset);
  *units = bytes / 2;
  return err::ok;
}

namespace {

// The text of the open link.
Error read_open_link(StringPool* pool, HANDLE link, char** text) {
  void* block = pool_allocate(pool, kReparseMax);
  if (!block) return err::out_of_memory;
  Error e = native_fs_control(link, kFsctlGetReparsePoint, nullptr, 0, block, kReparseMax);
  if (e != err::ok) return e;
  const wchar16* name;
  size_t units;
  e = reparse_substitute_name(block, kReparseMax, &name, &units);
  if (e != err::ok) return e;
  char* t = utf16_to_utf8_alloc(&pool->allocator, name, units);
  if (!t) return err::out_of_memory;
  link_text_from_system(t, str_len(t));
  *text = t;
  return err::ok;
}

}  // namespace

Error link_read(StringPool* pool, const char* path, char** text) {
  *text = nullptr;
  ScopedHandle h;
  const Error e = native_open(path, kOpenReadLink, h.out());
  return e != err::ok ? e : read_open_link(pool, h.get(), text);
}

Error link_read_at(StringPool* pool, HANDLE folder, const char* name, char** text) {
  *text = nullptr;
  ScopedHandle h;
  const Error e = native_open_relative(folder, name, kOpenReadLink, h.out());
  return e != err::ok ? e : read_open_link(pool, h.get(), text);
}

bool link_texts_same_at(StringPool* pool, HANDLE folder_a, const char* a, HANDLE folder_b, const char* b) {
  char* text_a = nullptr;
  char* text_b = nullptr;
  return link_read_at(pool, folder_a, a, &text_a) == err::ok && link_read_at(pool, folder_b, b, &text_b) == err::ok &&
         std::strcmp(text_a, text_b) == 0;
}

namespace {

// Where and how a new link is made: by name within an open folder, or else
// at a path; its kind (file or folder) given, or else probed from what the
// text names.
struct LinkPlace {
  HANDLE folder;
  const char* name;       // within folder, or the link's path
  const char* path;       // the link's full path (relative texts, the fallback call)
  int folder_kind;        // 1 folder, 0 file, -1 probe
};

constexpr DWORD kLinkFlagFolder = 0x1;
constexpr DWORD kLinkFlagUnprivileged = 0x2;  // honoured where developer mode is on

// The create-symbolic-link call for a process without the link privilege.
Error link_create_unprivileged(StringPool* pool, const char* path, const wchar16* text, bool folder) {
  NtName name{};
  const Error e = path_to_nt_name(pool, path, &name);
  if (e != err::ok) return e;
  // The call takes the Win32 long-path form, \\?\ rather than \??\.
  if (name.length >= 4 && name.text[1] == u'?') name.text[1] = u'\\';
  const DWORD flags = kLinkFlagUnprivileged | (folder ? kLinkFlagFolder : 0);
  if (sys::CreateSymbolicLinkW(reinterpret_cast<LPCWSTR>(name.text), reinterpret_cast<LPCWSTR>(text), flags))
    return err::ok;
  return sys::GetLastError();
}

Error make_link(const LinkPlace& at, const char* text) {
  if (!g_link_privilege_tried.exchange(true)) privilege_enable(kLinkPrivilege);
  if (!text) return err::invalid_name;

  ScopedPool scratch;
  char* copy = pool_strdup(scratch.alloc(), text);
  if (!copy) return err::out_of_memory;
  link_text_to_system(copy, str_len(copy), !kSystemNamesAreBytes);
  const char* normalized = path_normalize(scratch.get(), copy);
  if (!normalized) return err::invalid_name;
  bool rooted = false;
  size_t root_length = 0;
  Error e = path_parse_root(normalized, &root_length, &rooted);
  if (e != err::ok) return e;
  // A text rooted without a drive or share (\dir) names a place on the
  // link's own volume: stored as it is with the relative flag, as the
  // create-symbolic-link call stores it, never bound to the current drive.
  const bool volume_rooted = rooted && root_length == 0;
  const bool absolute = rooted && !volume_rooted;

  // Where link texts are bytes (Linux) the link holds the text as given, in
  // both names; the system turns it back into the same bytes.
  const char* print8 = kSystemNamesAreBytes ? copy : link_print_name(scratch.get(), normalized);
  if (!print8) return err::out_of_memory;
  size_t print_units;
  const wchar16* print = to_utf16(scratch.get(), print8, &print_units);
  if (!print) return err::out_of_memory;

  NtName target{};
  const wchar16* substitute = print;
  size_t substitute_units = print_units;
  if (absolute) {
    e = path_to_nt_name(scratch.get(), normalized, &target);
    if (e != err::ok) return e;
    if (!kSystemNamesAreBytes) substitute = target.text, substitute_units = target.length;
  } else if (!kSystemNamesAreBytes) {
    substitute = to_utf16(scratch.get(), normalized, &substitute_units);
    if (!substitute) return err::out_of_memory;
  }
  bool folder_target = at.folder_kind == 1;
  if (at.folder_kind < 0) {
    if (!absolute) {
      const char* folder = path_join(scratch.get(), at.path, "..");
      if (!folder) return err::out_of_memory;
      const char* resolved = path_resolve(scratch.get(), folder, normalized);
      if (!resolved) return scratch->failures ? err::out_of_memory : err::invalid_name;
      e = path_to_nt_name(scratch.get(), resolved, &target);
      if (e != err::ok) return e;
    }
    folder_target = target_is_folder(&target);
  }

  uint32_t size;
  const uint64_t need = 24 + 2 * (uint64_t{substitute_units} + print_units);
  if (need > kReparseMax) return err::invalid_parameter;
  void* data = pool_allocate(scratch.get(), static_cast<size_t>(need));
  if (!data) return err::out_of_memory;
  e = reparse_link_build(data, static_cast<uint32_t>(need), substitute, substitute_units, print, print_units,
                         !absolute, &size);
  if (e != err::ok) return e;

  const OpenProfile& create = folder_target ? kOpenCreateLinkFolder : kOpenCreateLinkFile;
  HANDLE h;
  uint32_t info = 0;
  e = handle_is_none(at.folder) ? native_open(at.name, create, &h, &info)
                                : native_open_relative(at.folder, at.name, create, &h, &info);
  if (e != err::ok) return e;
  e = native_fs_control(h, kFsctlSetReparsePoint, data, size, nullptr, 0);
  native_close(h);
  if (e != err::ok && info == OPEN_RESULT_CREATED) {
    // Remove the half-made link: reopen it to be deleted on close.
    handle_is_none(at.folder) ? native_open(at.name, kOpenRemoveLink, &h)
                              : native_open_relative(at.folder, at.name, kOpenRemoveLink, &h);
    native_close(h);
  }
  // Without the link privilege (or where the reparse data is refused), the
  // create-symbolic-link call may still make the link for a standard user.
  if ((e == err::privilege_not_held || e == err::access_denied) && at.path != nullptr)
    e = link_create_unprivileged(scratch.get(), at.path, print, folder_target);
  return e;
}

}  // namespace

Error link_create(const char* path, const char* text) {
  return make_link(LinkPlace{INVALID_HANDLE_VALUE, path, path, -1}, text);
}

Error link_create_at(HANDLE folder, const char* name, const char* text, bool folder_kind, const char* path) {
  return make_link(LinkPlace{folder, name, path, folder_kind ? 1 : 0}, text);
}

Error privilege_enable(const char* name) {
  wchar16 wide[kPrivilegeNameUnits];
  utf8_to_utf16(wide, kPrivilegeNameUnits, name);
  HANDLE token = nullptr;
  if (!sys::OpenThreadToken(NtCurrentThread(), MAXIMUM_ALLOWED, TRUE, &token) &&
      !sys::OpenProcessToken(NtCurrentProcess(), MAXIMUM_ALLOWED, &token))
    return sys::GetLastError();
  bool ok = false;
  LUID luid{};
  if (sys::LookupPrivilegeValueW(nullptr, wide, &luid)) {
    PRIVILEGE_SET required{};
    required.PrivilegeCount = 1;
    required.Control = PRIVILEGE_SET_ALL_NECESSARY;
    required.Privilege[0].Luid = luid;
    BOOL enabled = FALSE;
    if (sys::PrivilegeCheck(token, &required, &enabled) && enabled) {
      ok = true;
    } else {
      TOKEN_PRIVILEGES wanted{};
      wanted.PrivilegeCount = 1;
      wanted.Privileges[0].Luid = luid;
      wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
      // Success with "not all assigned" means the token lacks the privilege.
      sys::SetLastError(0);
      ok = sys::AdjustTokenPrivileges(token, FALSE, &wanted, 0, nullptr, nullptr) != FALSE &&
           sys::GetLastError() != kNotAllAssigned;
    }
  }
  const Error e = ok ? err::ok : sys::GetLastError();
  sys::CloseHandle(token);
  return e;
}
